#include "igtl/IgtlListening.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace Halvoren::Igtl {

namespace {

/// A listening socket on the address; -1 with errno set otherwise.
int listenOn(const sockaddr* address, socklen_t length, bool dualStack) {
    const int fd = ::socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    const int on = 1;
    const int off = 0;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        (dualStack && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off)) != 0) ||
        ::bind(fd, address, length) != 0 || ::listen(fd, 64) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

}  // namespace

std::string peerName(const sockaddr_storage& address) {
    char host[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &in.sin_addr, host, sizeof(host));
        return std::string(host) + ":" + std::to_string(ntohs(in.sin_port));
    }
    if (address.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
        const int port = ntohs(in6.sin6_port);
        if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
            // An IPv4 client of the dual-stack socket: shown as the IPv4 address it is.
            inet_ntop(AF_INET, &in6.sin6_addr.s6_addr[12], host, sizeof(host));
            return std::string(host) + ":" + std::to_string(port);
        }
        inet_ntop(AF_INET6, &in6.sin6_addr, host, sizeof(host));
        return "[" + std::string(host) + "]:" + std::to_string(port);
    }
    return "?";
}

/// Listens on every interface: IPv6 and IPv4 on one socket, IPv4 alone where the machine has no IPv6.
int listenOnAll(int port, std::string& listening) {
    sockaddr_in6 any6{};
    any6.sin6_family = AF_INET6;
    any6.sin6_addr = in6addr_any;
    any6.sin6_port = htons(static_cast<std::uint16_t>(port));
    int fd = listenOn(reinterpret_cast<const sockaddr*>(&any6), sizeof(any6), true);
    listening = "all interfaces";
    if (fd < 0 && errno != EADDRINUSE && errno != EACCES) {
        sockaddr_in any4{};
        any4.sin_family = AF_INET;
        any4.sin_addr.s_addr = htonl(INADDR_ANY);
        any4.sin_port = htons(static_cast<std::uint16_t>(port));
        fd = listenOn(reinterpret_cast<const sockaddr*>(&any4), sizeof(any4), false);
        listening = "all IPv4 interfaces";
    }
    return fd;
}

/// Listens on the address `host` names; -1 with the reason otherwise.
int listenOnHost(const std::string& host, const std::string& port, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int resolved = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (resolved != 0 || found == nullptr) {
        error = ::gai_strerror(resolved);
        return -1;
    }
    const int fd = listenOn(found->ai_addr, found->ai_addrlen, false);
    const int listenError = errno;
    ::freeaddrinfo(found);
    if (fd < 0) {
        error = std::strerror(listenError);
    }
    return fd;
}

}  // namespace Halvoren::Igtl
