#include "igtl/IgtlServer.h"

#include "host/Log.h"

#include <igtlStatusMessage.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace Halvoren::Igtl {

namespace {

using Clock = std::chrono::steady_clock;
using Packet = std::shared_ptr<const std::string>;

const char* const kCategory = "OpenIGTLink";
// A client that lets this many replies and status messages pile up is not reading.
constexpr std::size_t kMaxControlMessages = 256;

/// One frame, packed once for every client: the TRANSFORM messages, then the TDATA message, so that a
/// client that takes tracking data gets the whole frame in one send and one that stopped it the prefix.
struct FramePacket {
    std::string bytes;
    std::size_t transformsSize = 0;
};

/// Bytes to send and what keeps them alive.
struct Segment {
    std::shared_ptr<const void> owner;
    const char* data = nullptr;
    std::size_t size = 0;
};

Segment segmentOf(Packet packet) {
    const char* data = packet->data();
    const std::size_t size = packet->size();
    return {std::move(packet), data, size};
}

std::string peerName(const sockaddr_storage& address) {
    char host[INET6_ADDRSTRLEN] = {};
    int port = 0;
    if (address.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &in.sin_addr, host, sizeof(host));
        port = ntohs(in.sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &in6.sin6_addr, host, sizeof(host));
        port = ntohs(in6.sin6_port);
    }
    return std::string(host) + ":" + std::to_string(port);
}

}  // namespace

struct IgtlServer::Impl {
    struct Client {
        int fd = -1;
        std::size_t report = 0;
        std::string peer;
        std::string input;
        bool trackingData = true;
        std::deque<Packet> control;
        std::shared_ptr<const FramePacket> frame;
        std::map<std::string, Packet> images;
        std::deque<Segment> output;  // being sent, the first from `offset` on
        std::size_t offset = 0;
        Clock::time_point lastProgress = Clock::now();
        std::string closeReason;  // set: the client is to be closed

        bool idle() const { return output.empty() && control.empty() && !frame && images.empty(); }
    };

    // The wake-up event lives as long as the server, so that publishing never meets a closed one.
    explicit Impl(Options o) : options(std::move(o)), wakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~Impl() { ::close(wakeFd); }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    Options options;
    const int wakeFd;
    int listenFd = -1;
    std::atomic<int> boundPort{0};
    std::atomic<bool> stopping{false};
    std::thread thread;

    mutable std::mutex handoverMutex;  // guards the three below
    std::optional<TrackingFrame> pendingFrame;
    std::map<std::string, GreyImage> pendingImages;
    std::map<std::string, Clock::time_point> imageAccepted;

    mutable std::mutex reportsMutex;  // guards reports
    std::vector<ClientReport> reports;

    // Server thread only.
    std::vector<std::unique_ptr<Client>> clients;
    std::map<std::string, bool> seen;  // by tool name, as of the last frame

    // The caller holds handoverMutex.
    bool imageDue(const std::string& device) const {
        if (options.imageRateHz <= 0.0) {
            return false;
        }
        const auto last = imageAccepted.find(device);
        return last == imageAccepted.end() ||
               Clock::now() - last->second >= std::chrono::duration<double>(1.0 / options.imageRateHz);
    }

    void wake() const {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wakeFd, &one, sizeof(one));
    }

    void report(const Client& client, const std::function<void(ClientReport&)>& change) {
        std::lock_guard<std::mutex> lock(reportsMutex);
        change(reports[client.report]);
    }

    void run() {
        std::vector<pollfd> fds;
        while (!stopping.load()) {
            fds.clear();
            fds.push_back({wakeFd, POLLIN, 0});
            fds.push_back({listenFd, POLLIN, 0});
            for (const auto& client : clients) {
                fds.push_back({client->fd, static_cast<short>(POLLIN | (client->idle() ? 0 : POLLOUT)), 0});
            }
            if (::poll(fds.data(), fds.size(), 100) < 0 && errno != EINTR) {
                HALVOREN_LOG(Log::Error, kCategory, "poll failed: " << std::strerror(errno));
                break;
            }
            const std::size_t polled = clients.size();
            if ((fds[0].revents & POLLIN) != 0) {
                std::uint64_t count = 0;
                [[maybe_unused]] const ssize_t read = ::read(wakeFd, &count, sizeof(count));
                distribute();
            }
            if ((fds[1].revents & POLLIN) != 0) {
                acceptClients();
            }
            const Clock::time_point now = Clock::now();
            for (std::size_t i = 0; i < polled; ++i) {
                Client& client = *clients[i];
                const short events = fds[i + 2].revents;
                if (client.closeReason.empty() && (events & POLLIN) != 0) {
                    receive(client);
                }
                if (client.closeReason.empty() && (events & (POLLERR | POLLHUP)) != 0 &&
                    (events & POLLIN) == 0) {
                    client.closeReason = "disconnected";
                }
                if (client.closeReason.empty() && !client.idle()) {
                    flush(client);
                }
                if (client.closeReason.empty() && !client.idle() &&
                    now - client.lastProgress > options.stallTimeout) {
                    client.closeReason =
                        "stalled: took nothing for " + std::to_string(options.stallTimeout.count()) + " ms";
                }
            }
            closeFinished();
        }
        for (auto& client : clients) {
            client->closeReason = "the server stopped";
        }
        closeFinished();
    }

    void acceptClients() {
        while (true) {
            sockaddr_storage address{};
            socklen_t length = sizeof(address);
            const int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&address), &length,
                                     SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                return;  // nothing more waiting (or a client that left at once)
            }
            const std::string peer = peerName(address);
            if (clients.size() >= options.maxClients) {
                HALVOREN_LOG(Log::Warning, kCategory,
                             "refused client " << peer << ": already " << clients.size() << " clients");
                ::close(fd);
                continue;
            }
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
            auto client = std::make_unique<Client>();
            client->fd = fd;
            client->peer = peer;
            {
                std::lock_guard<std::mutex> lock(reportsMutex);
                client->report = reports.size();
                ClientReport entry;
                entry.peer = peer;
                entry.connected = true;
                reports.push_back(entry);
            }
            HALVOREN_LOG(Log::Info, kCategory, "client " << peer << " connected");
            clients.push_back(std::move(client));
        }
    }

    // Packs what was handed over once, and queues it for every client.
    void distribute() {
        std::optional<TrackingFrame> frame;
        std::map<std::string, GreyImage> images;
        {
            std::lock_guard<std::mutex> lock(handoverMutex);
            frame.swap(pendingFrame);
            images.swap(pendingImages);
        }
        if (frame) {
            auto packet = std::make_shared<FramePacket>();
            std::string status;
            for (const ToolPose& tool : frame->tools) {
                if (tool.seen) {
                    appendTransform(packet->bytes, tool);
                }
                const auto [known, added] = seen.emplace(tool.name, tool.seen);
                if (!added && known->second != tool.seen) {
                    known->second = tool.seen;
                    if (tool.seen) {
                        appendStatus(status, tool.name, igtl::StatusMessage::STATUS_OK,
                                     tool.name + " is seen again");
                    } else {
                        appendStatus(status, tool.name, igtl::StatusMessage::STATUS_NOT_PRESENT,
                                     tool.name + " is not seen");
                    }
                }
            }
            packet->transformsSize = packet->bytes.size();
            appendTrackingData(packet->bytes, options.trackerName, *frame);
            const Packet statusPacket =
                status.empty() ? nullptr : std::make_shared<const std::string>(std::move(status));
            for (auto& client : clients) {
                if (statusPacket) {
                    queueControl(*client, statusPacket);
                }
                if (client->frame) {
                    report(*client, [](ClientReport& r) { ++r.framesDropped; });
                } else if (client->idle()) {
                    client->lastProgress = Clock::now();
                }
                client->frame = packet;
            }
        }
        for (auto& [device, image] : images) {
            std::string bytes;
            appendImage(bytes, image);
            const Packet packet = std::make_shared<const std::string>(std::move(bytes));
            for (auto& client : clients) {
                if (client->idle()) {
                    client->lastProgress = Clock::now();
                }
                client->images[device] = packet;
            }
        }
        // Sent at once rather than after the next poll: the clients see the frame sooner.
        for (auto& client : clients) {
            if (client->closeReason.empty()) {
                flush(*client);
            }
        }
    }

    void queueControl(Client& client, Packet packet) {
        if (client.control.size() >= kMaxControlMessages) {
            client.closeReason = "stalled: does not read its messages";
            return;
        }
        if (client.idle()) {
            client.lastProgress = Clock::now();
        }
        client.control.push_back(std::move(packet));
    }

    // Moves the next queued messages into the output: replies and status first, then the frame, then images.
    bool refill(Client& client) {
        if (!client.control.empty()) {
            client.output.push_back(segmentOf(std::move(client.control.front())));
            client.control.pop_front();
            return true;
        }
        if (client.frame) {
            const std::shared_ptr<const FramePacket> frame = std::move(client.frame);
            client.frame.reset();
            const std::size_t size = client.trackingData ? frame->bytes.size() : frame->transformsSize;
            if (size > 0) {
                client.output.push_back({frame, frame->bytes.data(), size});
            }
            report(client, [](ClientReport& r) { ++r.framesSent; });
            return true;
        }
        if (!client.images.empty()) {
            client.output.push_back(segmentOf(std::move(client.images.begin()->second)));
            client.images.erase(client.images.begin());
            report(client, [](ClientReport& r) { ++r.imagesSent; });
            return true;
        }
        return false;
    }

    void flush(Client& client) {
        while (true) {
            if (client.output.empty() && !refill(client)) {
                return;
            }
            if (client.output.empty()) {
                continue;  // a frame with nothing to send for this client
            }
            const Segment& segment = client.output.front();
            const ssize_t sent = ::send(client.fd, segment.data + client.offset, segment.size - client.offset,
                                        MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                    client.closeReason = "disconnected";
                }
                return;
            }
            client.lastProgress = Clock::now();
            client.offset += static_cast<std::size_t>(sent);
            if (client.offset == segment.size) {
                client.output.pop_front();
                client.offset = 0;
            }
        }
    }

    void receive(Client& client) {
        char buffer[64 * 1024];
        const ssize_t received = ::recv(client.fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (received == 0) {
            client.closeReason = "disconnected";
            return;
        }
        if (received < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                client.closeReason = "disconnected";
            }
            return;
        }
        client.input.append(buffer, static_cast<std::size_t>(received));
        std::size_t used = 0;
        while (client.input.size() - used >= kHeaderSize) {
            const auto* data = reinterpret_cast<const std::uint8_t*>(client.input.data()) + used;
            const std::optional<Header> header = readHeader(data);
            if (!header) {
                client.closeReason = "sent a malformed message header";
                return;
            }
            if (header->bodySize > options.maxBodyBytes) {
                client.closeReason =
                    "announced a message body of " + std::to_string(header->bodySize) + " bytes";
                return;
            }
            const std::size_t size = kHeaderSize + static_cast<std::size_t>(header->bodySize);
            if (client.input.size() - used < size) {
                break;
            }
            if (!crcMatches(*header, data + kHeaderSize)) {
                client.closeReason = "sent a " + header->type + " message with a wrong CRC";
                return;
            }
            handle(client, *header);
            used += size;
        }
        client.input.erase(0, used);
    }

    void handle(Client& client, const Header& header) {
        if (header.type == "STT_TDATA") {
            client.trackingData = true;
        } else if (header.type == "STP_TDATA") {
            client.trackingData = false;
        } else if (header.type == "GET_STATUS") {
            std::string reply;
            appendStatus(reply, options.trackerName, igtl::StatusMessage::STATUS_OK, "tracking");
            queueControl(client, std::make_shared<const std::string>(std::move(reply)));
        } else if (header.type == "GET_CAPABIL") {
            // Packed once: the library's capability packing never frees what it allocates.
            static const Packet capability = [] {
                std::string reply;
                appendCapability(reply, {"TRANSFORM", "TDATA", "STATUS", "CAPABILITY", "IMAGE"});
                return std::make_shared<const std::string>(std::move(reply));
            }();
            queueControl(client, capability);
        }
        // Anything else a client may send is not for a tracking server: ignored.
    }

    void closeFinished() {
        for (auto it = clients.begin(); it != clients.end();) {
            Client& client = **it;
            if (client.closeReason.empty()) {
                ++it;
                continue;
            }
            ::close(client.fd);
            const bool normal =
                client.closeReason == "disconnected" || client.closeReason == "the server stopped";
            HALVOREN_LOG(
                normal ? Log::Info : Log::Warning, kCategory,
                "client " << client.peer << " " << (normal ? "" : "dropped: ") << client.closeReason);
            report(client, [&](ClientReport& r) {
                r.connected = false;
                r.closeReason = client.closeReason;
            });
            it = clients.erase(it);
        }
    }
};

IgtlServer::IgtlServer(Options options) : m_impl(std::make_unique<Impl>(std::move(options))) {}

IgtlServer::~IgtlServer() {
    stop();
}

bool IgtlServer::start(std::string& error) {
    Impl& d = *m_impl;
    if (d.thread.joinable()) {
        return true;
    }
    addrinfo hints{};
    hints.ai_family = d.options.host.empty() ? AF_INET : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(d.options.port);
    const int resolved = ::getaddrinfo(d.options.host.empty() ? nullptr : d.options.host.c_str(),
                                       port.c_str(), &hints, &found);
    if (resolved != 0 || found == nullptr) {
        error = "cannot listen on " + d.options.host + ": " + ::gai_strerror(resolved);
        return false;
    }
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    const bool listening = fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) == 0 &&
                           ::bind(fd, found->ai_addr, found->ai_addrlen) == 0 && ::listen(fd, 64) == 0;
    ::freeaddrinfo(found);
    if (!listening) {
        error = "cannot listen on port " + port + ": " + std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
        }
        return false;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof(bound);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    d.boundPort = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6&>(bound).sin6_port)
                                              : ntohs(reinterpret_cast<sockaddr_in&>(bound).sin_port);
    d.listenFd = fd;
    d.stopping = false;
    d.thread = std::thread([&d] { d.run(); });
    return true;
}

void IgtlServer::stop() {
    Impl& d = *m_impl;
    if (!d.thread.joinable()) {
        return;
    }
    d.stopping = true;
    d.wake();
    d.thread.join();
    ::close(d.listenFd);
    d.listenFd = -1;
}

int IgtlServer::port() const {
    return m_impl->boundPort.load();
}

void IgtlServer::publish(TrackingFrame frame) {
    Impl& d = *m_impl;
    {
        std::lock_guard<std::mutex> lock(d.handoverMutex);
        d.pendingFrame = std::move(frame);
    }
    d.wake();
}

bool IgtlServer::wantsImage(const std::string& device) const {
    std::lock_guard<std::mutex> lock(m_impl->handoverMutex);
    return m_impl->imageDue(device);
}

void IgtlServer::publishImage(GreyImage image) {
    Impl& d = *m_impl;
    {
        std::lock_guard<std::mutex> lock(d.handoverMutex);
        if (!d.imageDue(image.device)) {
            return;
        }
        d.imageAccepted[image.device] = Clock::now();
        const std::string device = image.device;
        d.pendingImages[device] = std::move(image);
    }
    d.wake();
}

std::vector<IgtlServer::ClientReport> IgtlServer::clients() const {
    std::lock_guard<std::mutex> lock(m_impl->reportsMutex);
    return m_impl->reports;
}

std::size_t IgtlServer::connectedClients() const {
    std::lock_guard<std::mutex> lock(m_impl->reportsMutex);
    std::size_t count = 0;
    for (const ClientReport& r : m_impl->reports) {
        count += r.connected ? 1 : 0;
    }
    return count;
}

}  // namespace Halvoren::Igtl
