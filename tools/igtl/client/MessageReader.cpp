#include "MessageReader.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace Halvoren::Igtl {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kHeaderBytes = 58;

}  // namespace

int MessageReader::connectTo(const std::string& host, int port, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int resolved = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (resolved != 0 || found == nullptr) {
        error = ::gai_strerror(resolved);
        return -1;
    }
    int fd = -1;
    error = "no address";
    for (const addrinfo* address = found; address != nullptr && fd < 0; address = address->ai_next) {
        fd = ::socket(address->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && ::connect(fd, address->ai_addr, address->ai_addrlen) != 0) {
            error = std::strerror(errno);
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    return fd;
}

MessageReader::MessageReader(int fd, std::size_t maxBodyBytes) : m_fd(fd), m_maxBodyBytes(maxBodyBytes) {}

MessageReader::~MessageReader() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

bool MessageReader::send(const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0 && m_fd >= 0) {
        const ssize_t sent = ::send(m_fd, bytes, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        bytes += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return size == 0;
}

bool MessageReader::send(igtl::MessageBase& message) {
    message.Pack();
    return send(message.GetPackPointer(), static_cast<std::size_t>(message.GetPackSize()));
}

bool MessageReader::fill(std::size_t size, Clock::time_point deadline) {
    char chunk[64 * 1024];
    while (m_buffer.size() < size) {
        if (m_ended || m_fd < 0) {
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd entry{m_fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(std::max<long long>(0, left.count())));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready == 0) {
            return false;  // the deadline passed
        }
        const ssize_t got = ready < 0 ? -1 : ::recv(m_fd, chunk, sizeof(chunk), MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            continue;
        }
        if (got <= 0) {
            m_ended = true;  // the end of the stream, or a failed connection: nothing more comes
            return false;
        }
        m_buffer.append(chunk, static_cast<std::size_t>(got));
    }
    return true;
}

MessageReader::Outcome MessageReader::receive(igtl::MessageHeader& header, std::string& body,
                                              std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    if (!fill(kHeaderBytes, deadline)) {
        return m_ended || m_fd < 0 ? Outcome::Closed : Outcome::TimedOut;
    }
    header.InitPack();
    std::memcpy(header.GetPackPointer(), m_buffer.data(), kHeaderBytes);
    header.Unpack();
    const igtlUint64 bodySize = header.GetBodySizeToRead();
    if (std::string(header.GetDeviceType()).empty() || bodySize > m_maxBodyBytes) {
        return Outcome::Malformed;
    }
    if (!fill(kHeaderBytes + bodySize, deadline)) {
        return m_ended || m_fd < 0 ? Outcome::Closed : Outcome::TimedOut;
    }
    body.assign(m_buffer, kHeaderBytes, bodySize);
    m_buffer.erase(0, kHeaderBytes + bodySize);
    return Outcome::Message;
}

bool MessageReader::unpack(igtl::MessageHeader& header, const std::string& body, igtl::MessageBase& message) {
    message.SetMessageHeader(&header);
    message.AllocatePack();
    if (static_cast<std::size_t>(message.GetPackBodySize()) != body.size()) {
        return false;
    }
    std::memcpy(message.GetPackBodyPointer(), body.data(), body.size());
    return (message.Unpack(1) & igtl::MessageHeader::UNPACK_BODY) != 0;
}

}  // namespace Halvoren::Igtl
