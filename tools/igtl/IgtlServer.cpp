#include "igtl/IgtlServer.h"

#include "host/Log.h"

#include <igtlStatusMessage.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <linux/tcp.h>  // the tcp_info that tells the client's receive window
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

namespace Halvoren::Igtl {

namespace {

using Clock = std::chrono::steady_clock;
using Packet = std::shared_ptr<const std::string>;

const char* const kCategory = "OpenIGTLink";
// A client that lets this many replies and status messages pile up is not reading.
constexpr std::size_t kMaxControlMessages = 256;
// Requests are answered this many at a time; the next ones are read once the client took the replies.
constexpr std::size_t kRepliesAhead = 8;
// Bounded, so that what waits for a slow client stays fresh (a newer frame replaces one still queued
// here rather than in the socket), and what it has not taken shows in the unacknowledged bytes soon.
constexpr int kSendBufferBytes = 64 * 1024;
// New connections taken in one go, so that a flood of them does not hold up the connected clients.
constexpr int kAcceptsAtOnce = 64;
constexpr std::chrono::milliseconds kAcceptRetryFirst{50};
constexpr std::chrono::milliseconds kAcceptRetryLast{1000};
// How long a stopping server waits for its clients to acknowledge what it wrote to them.
constexpr std::chrono::milliseconds kFinalAcknowledgements{200};
// Distinct close reasons summed up for the departed clients; further ones count as "other".
constexpr std::size_t kMaxReasons = 8;

/// One frame, packed once for every client: the TRANSFORM messages, then the TDATA message, so that a
/// client that takes tracking data gets the whole frame in one send and one that stopped it the prefix.
struct FramePacket {
    std::string bytes;
    std::size_t transformsSize = 0;
    std::uint64_t exposureUs = 0;  // us since the epoch; 0: unknown
};

/// Bytes to send and what keeps them alive.
struct Segment {
    enum Kind { Control, Frame, Image };
    std::shared_ptr<const void> owner;
    const char* data = nullptr;
    std::size_t size = 0;
    Kind kind = Control;
    std::uint64_t exposureUs = 0;  // of a frame; 0: unknown
};

Segment segmentOf(Packet packet, Segment::Kind kind) {
    const char* data = packet->data();
    const std::size_t size = packet->size();
    return {std::move(packet), data, size, kind};
}

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

struct IgtlServer::Impl {
    struct Client {
        int fd = -1;
        std::uint64_t id = 0;
        std::string peer;
        std::string input;
        bool inputComplete = false;                     // `input` starts with a whole message not yet handled
        std::optional<Clock::time_point> waitingSince;  // since when the first message in `input` lacks bytes
        bool trackingData = true;
        std::deque<Packet> control;
        std::shared_ptr<const FramePacket> frame;
        std::map<std::string, Packet> images;
        std::deque<Segment> output;  // being sent, the first from `offset` on
        std::size_t offset = 0;
        // Bytes written into the socket, how many of them the client's side acknowledged, and where the
        // frames and images among them end: they count as sent once acknowledged.
        std::uint64_t written = 0;
        std::uint64_t acknowledged = 0;
        std::deque<std::pair<std::uint64_t, Segment::Kind>> inSocket;
        // The client's receive window: the widest seen, and whether it is about that wide still.
        std::uint32_t widestWindow = 0;
        std::uint32_t window = 0;
        bool keepingUp = true;
        std::optional<Clock::time_point> idleSince;  // nothing queued nor unacknowledged since
        Clock::time_point lastProgress = Clock::now();
        std::string closeReason;  // set: the client is to be closed

        bool queued() const { return !output.empty() || !control.empty() || frame || !images.empty(); }
        // Something is on its way to the client: the stall clock runs.
        bool waiting() const { return queued() || written > acknowledged; }
    };

    // The wake-up event lives as long as the server, so that publishing never meets a closed one.
    // The reserve descriptor too; and the STATUS that tells a client none is left is packed while there is
    // no shortage.
    explicit Impl(Options o)
        : options(std::move(o)), wakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), reserveFd(takeReserve()) {
        appendStatus(outOfDescriptors, options.trackerName, igtl::StatusMessage::STATUS_BUSY,
                     "out of file descriptors");
    }
    ~Impl() {
        ::close(wakeFd);
        if (reserveFd >= 0) {
            ::close(reserveFd);
        }
    }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    Options options;
    const int wakeFd;
    int listenFd = -1;
    int reserveFd = -1;            // closed to make room for a client refused when out of descriptors
    std::string outOfDescriptors;  // the STATUS that tells it so
    std::string listening;         // for people; set before the thread starts
    std::atomic<int> boundPort{0};
    std::atomic<bool> stopping{false};
    std::thread thread;

    mutable std::mutex handoverMutex;  // guards the five below
    std::optional<TrackingFrame> pendingFrame;
    std::map<std::string, GreyImage> pendingImages;
    std::map<std::string, Clock::time_point> imageAccepted;
    bool staleRequested = false;                             // as the last setStale() said
    std::vector<std::pair<bool, std::string>> staleChanges;  // not yet told to the clients

    mutable std::mutex reportsMutex;                // guards the five below
    std::map<std::uint64_t, ClientReport> reports;  // connected and last departed clients, by id
    std::deque<std::uint64_t> departed;             // the departed ones of them, oldest first
    EarlierClients earlier;
    std::size_t connected = 0;
    Health::LatencyStats latency;  // of every client of the run

    // Server thread only.
    std::vector<std::unique_ptr<Client>> clients;
    std::uint64_t nextId = 0;
    std::map<std::string, bool> seen;  // by instrument, as of the last frame
    DeviceNames toolNames;
    DeviceNames imageNames{kMaxNameSize};
    std::set<std::string> failedMessages;  // reported once each
    std::optional<Clock::time_point> acceptPausedUntil;
    std::chrono::milliseconds acceptRetry = kAcceptRetryFirst;
    bool refusing = false;  // refused a client since the last one accepted
    bool stale = false;     // the poses, as told to the clients
    Packet staleStatus;     // while stale: what tells a client so

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
        change(reports[client.id]);
    }

    // The caller holds reportsMutex.
    void depart(std::uint64_t id) {
        departed.push_back(id);
        while (departed.size() > options.departedListed) {
            const auto old = reports.find(departed.front());
            departed.pop_front();
            if (old == reports.end()) {
                continue;
            }
            const ClientReport& r = old->second;
            ++earlier.count;
            earlier.framesSent += r.framesSent;
            earlier.framesDropped += r.framesDropped;
            earlier.imagesSent += r.imagesSent;
            const bool known = earlier.reasons.count(r.closeReason) != 0;
            ++earlier.reasons[known || earlier.reasons.size() < kMaxReasons ? r.closeReason : "other"];
            reports.erase(old);
        }
    }

    void failed(const std::string& what) {
        if (failedMessages.insert(what).second) {
            HALVOREN_LOG(Log::Error, kCategory, "cannot pack " << what << ": it is not sent");
        }
    }

    void run() {
        std::vector<pollfd> fds;
        while (!stopping.load()) {
            fillPollSet(fds);
            if (::poll(fds.data(), fds.size(), pollTimeoutMs(Clock::now())) < 0 && errno != EINTR) {
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
                tend(*clients[i], fds[i + 2].revents, now);
            }
            closeFinished();
        }
        for (auto& client : clients) {
            client->closeReason = "the server stopped";
        }
        awaitAcknowledgements();
        closeFinished();
    }

    // The last frames written may not be acknowledged yet (a client's side may delay its acknowledgements
    // by tens of milliseconds): they are waited for, briefly, so that what counts as sent is what a client
    // that reads everything received.
    void awaitAcknowledgements() {
        const Clock::time_point deadline = Clock::now() + kFinalAcknowledgements;
        while (true) {
            const Clock::time_point now = Clock::now();
            bool waiting = false;
            for (auto& client : clients) {
                takeAcknowledged(*client, now);
                waiting = waiting || client->written > client->acknowledged;
            }
            if (!waiting || now >= deadline) {
                return;
            }
            ::poll(nullptr, 0, 5);
        }
    }

    // How long a poll may wait: a tenth of a second, less while accepting is paused.
    int pollTimeoutMs(Clock::time_point now) {
        int timeoutMs = 100;
        if (acceptPausedUntil && now >= *acceptPausedUntil) {
            acceptPausedUntil.reset();
        }
        if (acceptPausedUntil) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(*acceptPausedUntil - now).count();
            timeoutMs = static_cast<int>(std::clamp<long long>(left + 1, 1, timeoutMs));
        }
        return timeoutMs;
    }

    // The wake-up descriptor, the listening socket, then one entry per client.
    void fillPollSet(std::vector<pollfd>& fds) const {
        fds.clear();
        fds.push_back({wakeFd, POLLIN, 0});
        // Not listened to while accepting fails: the pending connection would wake the poll at once.
        fds.push_back({acceptPausedUntil ? -1 : listenFd, POLLIN, 0});
        for (const auto& client : clients) {
            const short events =
                static_cast<short>((client->inputComplete ? 0 : POLLIN) | (client->queued() ? POLLOUT : 0));
            fds.push_back({client->fd, events, 0});
        }
    }

    // One client after a poll: reads, sends, and decides whether it goes.
    void tend(Client& client, short events, Clock::time_point now) {
        if (client.closeReason.empty() && (events & POLLIN) != 0) {
            receive(client, now);
        }
        if (client.closeReason.empty() && (events & (POLLERR | POLLHUP)) != 0 && (events & POLLIN) == 0) {
            client.closeReason = "disconnected";
        }
        if (client.closeReason.empty()) {
            serve(client);
            takeAcknowledged(client, now);
        }
        if (client.closeReason.empty() && client.waiting() &&
            now - client.lastProgress > options.stallTimeout) {
            client.closeReason =
                "stalled: took nothing for " + std::to_string(options.stallTimeout.count()) + " ms";
        }
        if (client.closeReason.empty() && client.waitingSince &&
            now - *client.waitingSince > options.messageTimeout) {
            client.closeReason =
                "left a message unfinished for " + std::to_string(options.messageTimeout.count()) + " ms";
        }
    }

    void acceptClients() {
        for (int taken = 0; taken < kAcceptsAtOnce; ++taken) {
            sockaddr_storage address{};
            socklen_t length = sizeof(address);
            const int fd = options.accept(listenFd, reinterpret_cast<sockaddr*>(&address), &length,
                                          SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if ((errno == EMFILE || errno == ENFILE) && refuseWithReserve()) {
                    continue;
                }
                // Also after the reserve was tried: out of descriptors is told before an empty queue.
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    return;
                }
                if (errno == EINTR || errno == ECONNABORTED) {
                    continue;  // a client that left at once
                }
                pauseAccepting();
                return;
            }
            if (acceptRetry != kAcceptRetryFirst) {
                HALVOREN_LOG(Log::Info, kCategory, "accepting clients again");
                acceptRetry = kAcceptRetryFirst;
            }
            const std::string peer = peerName(address);
            if (clients.size() >= options.maxClients) {
                const std::string count = std::to_string(clients.size());
                std::string status;
                appendStatus(status, options.trackerName, igtl::StatusMessage::STATUS_BUSY,
                             "too many clients: " + count + " connected");
                refuse(fd, peer, "refused: at the limit of " + count + " clients", status);
                continue;
            }
            admit(fd, peer);
        }
    }

    void admit(int fd, const std::string& peer) {
        refusing = false;
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSendBufferBytes, sizeof(kSendBufferBytes));
        auto client = std::make_unique<Client>();
        client->fd = fd;
        client->id = nextId++;
        client->peer = peer;
        {
            std::lock_guard<std::mutex> lock(reportsMutex);
            ClientReport& entry = reports[client->id];
            entry.peer = peer;
            entry.connected = true;
            ++connected;
        }
        HALVOREN_LOG(Log::Info, kCategory, "client " << peer << " connected");
        if (staleStatus) {
            queueControl(*client, staleStatus);
        }
        clients.push_back(std::move(client));
    }

    // A descriptor held back for when the process runs out of them: a duplicate of one held anyway.
    int takeReserve() const { return ::fcntl(wakeFd, F_DUPFD_CLOEXEC, 0); }

    // Out of descriptors or memory: the pending connection stays, so accepting again at once would only
    // spin. Try later; the connected clients are served meanwhile. Warned once; the later tries, at most
    // one a second, for the curious.
    void pauseAccepting() {
        HALVOREN_LOG(acceptRetry == kAcceptRetryFirst ? Log::Warning : Log::Debug, kCategory,
                     "cannot accept clients: " << std::strerror(errno) << "; trying again in "
                                               << acceptRetry.count() << " ms, " << clients.size()
                                               << " clients served meanwhile");
        acceptPausedUntil = Clock::now() + acceptRetry;
        acceptRetry = std::min(acceptRetry * 2, kAcceptRetryLast);
    }

    // Out of descriptors: the reserve one makes room to take the waiting client and tell it why it goes,
    // rather than leave it connected and unanswered. False, errno kept, when that did not work out.
    bool refuseWithReserve() {
        if (reserveFd < 0) {
            reserveFd = takeReserve();  // gone the last time: another thread took its place meanwhile
        }
        if (reserveFd < 0) {
            return false;
        }
        ::close(reserveFd);
        sockaddr_storage address{};
        socklen_t length = sizeof(address);
        const int fd = options.accept(listenFd, reinterpret_cast<sockaddr*>(&address), &length,
                                      SOCK_NONBLOCK | SOCK_CLOEXEC);
        const int error = errno;
        if (fd >= 0) {
            refuse(fd, peerName(address), "refused: out of file descriptors", outOfDescriptors);
        }
        reserveFd = takeReserve();
        errno = error;
        return fd >= 0;
    }

    // Tells a client that cannot be served why it goes, and closes its connection; the summary counts it.
    // `status` is the packed STATUS that tells it (empty: none could be packed).
    void refuse(int fd, const std::string& peer, const std::string& reason, const std::string& status) {
        if (!status.empty()) {
            // A new connection's empty buffer takes the message whole.
            [[maybe_unused]] const ssize_t sent =
                ::send(fd, status.data(), status.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        ::shutdown(fd, SHUT_WR);
        // What it sent already is read, so that closing does not reset the connection before the client
        // has read the message.
        char buffer[4096];
        [[maybe_unused]] const ssize_t read = ::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        ::close(fd);
        // The first one of a run is worth a warning; a flood of them is not worth as many.
        HALVOREN_LOG(refusing ? Log::Debug : Log::Warning, kCategory, "client " << peer << " " << reason);
        refusing = true;
        std::lock_guard<std::mutex> lock(reportsMutex);
        const std::uint64_t id = nextId++;
        ClientReport& entry = reports[id];
        entry.peer = peer;
        entry.closeReason = reason;
        depart(id);
    }

    // Packs what was handed over once, and queues it for every client.
    void distribute() {
        std::optional<TrackingFrame> frame;
        std::map<std::string, GreyImage> images;
        std::vector<std::pair<bool, std::string>> changes;
        {
            std::lock_guard<std::mutex> lock(handoverMutex);
            frame.swap(pendingFrame);
            images.swap(pendingImages);
            changes.swap(staleChanges);
        }
        // Before the frame: a frame handed over now was published after these changes.
        for (const auto& [nowStale, reason] : changes) {
            changeStale(nowStale, reason);
        }
        if (frame) {
            distributeFrame(*frame);
        }
        for (auto& [device, image] : images) {
            distributeImage(device, image);
        }
        // Sent at once rather than after the next poll: the clients see the frame sooner.
        for (auto& client : clients) {
            if (client->closeReason.empty()) {
                serve(*client);
            }
        }
    }

    // Names the tool as it goes out, packs its TRANSFORM when seen, and a STATUS into `status` when it
    // disappeared or came back.
    void packTool(ToolPose& tool, std::string& bytes, std::string& status) {
        const std::string name = std::move(tool.name);
        const std::string key = tool.id.empty() ? name : tool.id;
        bool renamed = false;
        tool.name = toolNames.of(key, name, &renamed);
        if (renamed) {
            HALVOREN_LOG(Log::Warning, kCategory,
                         "instrument " << name << " goes out as " << tool.name << ": instrument names are "
                                       << kMaxElementNameSize << " characters at most and unique");
        }
        if (tool.seen && !appendTransform(bytes, tool)) {
            failed("the TRANSFORM message of " + name);
        }
        const auto [known, added] = seen.emplace(key, tool.seen);
        if (!added && known->second != tool.seen) {
            known->second = tool.seen;
            const bool packed =
                tool.seen
                    ? appendStatus(status, tool.name, igtl::StatusMessage::STATUS_OK, name + " is seen again")
                    : appendStatus(status, tool.name, igtl::StatusMessage::STATUS_NOT_PRESENT,
                                   name + " is not seen");
            if (!packed) {
                failed("the STATUS message of " + name);
            }
        }
    }

    // Tells every client that the poses went stale or are fresh again; going stale withdraws the frames
    // still waiting for them. Those do not count as dropped: no client was too slow for them, they are
    // held back because they are stale.
    void changeStale(bool nowStale, const std::string& reason) {
        std::string bytes;
        if (!appendStatus(bytes, options.trackerName,
                          nowStale ? igtl::StatusMessage::STATUS_NOT_READY : igtl::StatusMessage::STATUS_OK,
                          reason)) {
            failed("the STATUS message of stale poses");
        }
        const Packet packet = bytes.empty() ? nullptr : std::make_shared<const std::string>(std::move(bytes));
        stale = nowStale;
        staleStatus = stale ? packet : nullptr;
        for (auto& client : clients) {
            if (stale) {
                client->frame.reset();
                // Nothing of it sent yet: withdrawn as well. One partly sent is finished, as the client
                // could not read on otherwise.
                if (!client->output.empty() && client->output.front().kind == Segment::Frame &&
                    client->offset == 0) {
                    client->output.pop_front();
                }
            }
            if (packet) {
                queueControl(*client, packet);
            }
        }
    }

    void distributeFrame(TrackingFrame& frame) {
        auto packet = std::make_shared<FramePacket>();
        packet->exposureUs = frame.exposureUs;
        std::string status;
        for (ToolPose& tool : frame.tools) {
            packTool(tool, packet->bytes, status);
        }
        packet->transformsSize = packet->bytes.size();
        if (!appendTrackingData(packet->bytes, options.trackerName, frame)) {
            failed("the TDATA message");
        }
        const Packet statusPacket =
            status.empty() ? nullptr : std::make_shared<const std::string>(std::move(status));
        for (auto& client : clients) {
            if (statusPacket) {
                queueControl(*client, statusPacket);
            }
            if (client->frame) {
                report(*client, [](ClientReport& r) { ++r.framesDropped; });
            } else {
                startClock(*client);
            }
            client->frame = packet;
        }
    }

    void distributeImage(const std::string& device, GreyImage& image) {
        bool renamed = false;
        image.device = imageNames.of(device, &renamed);
        if (renamed) {
            HALVOREN_LOG(Log::Warning, kCategory,
                         "images of " << device << " go out as " << image.device << ": device names are "
                                      << kMaxNameSize << " characters at most");
        }
        std::string bytes;
        if (!appendImage(bytes, image)) {
            failed("the IMAGE message of " + device);
            return;
        }
        const Packet packet = std::make_shared<const std::string>(std::move(bytes));
        for (auto& client : clients) {
            startClock(*client);
            client->images[device] = packet;
        }
    }

    void queueControl(Client& client, Packet packet) {
        if (client.control.size() >= kMaxControlMessages) {
            client.closeReason = "stalled: does not read its messages";
            return;
        }
        startClock(client);
        client.control.push_back(std::move(packet));
    }

    // Moves the next queued messages into the output: replies and status first, then the frame, then images.
    bool refill(Client& client) {
        if (!client.control.empty()) {
            client.output.push_back(segmentOf(std::move(client.control.front()), Segment::Control));
            client.control.pop_front();
            return true;
        }
        if (client.frame) {
            const std::shared_ptr<const FramePacket> frame = std::move(client.frame);
            client.frame.reset();
            const std::size_t size = client.trackingData ? frame->bytes.size() : frame->transformsSize;
            if (size > 0) {
                client.output.push_back(
                    {frame, frame->bytes.data(), size, Segment::Frame, frame->exposureUs});
            } else {
                report(client, [](ClientReport& r) { ++r.framesSent; });  // nothing in it for this client
            }
            return true;
        }
        if (!client.images.empty()) {
            client.output.push_back(segmentOf(std::move(client.images.begin()->second), Segment::Image));
            client.images.erase(client.images.begin());
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
            client.written += static_cast<std::uint64_t>(sent);
            client.offset += static_cast<std::size_t>(sent);
            if (client.offset == segment.size) {
                if (segment.kind != Segment::Control) {
                    client.inSocket.emplace_back(client.written, segment.kind);
                }
                if (segment.kind == Segment::Frame && segment.exposureUs != 0) {
                    recordLatency(client, segment.exposureUs);
                }
                client.output.pop_front();
                client.offset = 0;
            }
        }
    }

    // A frame's messages were handed whole to the client's socket: its latency from the exposure.
    void recordLatency(const Client& client, std::uint64_t exposureUs) {
        const auto nowUs = std::chrono::duration_cast<std::chrono::microseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
        const std::int64_t us = nowUs - static_cast<std::int64_t>(exposureUs);
        std::lock_guard<std::mutex> lock(reportsMutex);
        reports[client.id].latency.add(us);
        latency.add(us);
    }

    // The stall clock starts when something is queued for an idle client: from now when it was keeping up
    // or idle for long (its window may be as it left it), else it runs on from its last progress, so that a
    // client that reads nothing gains nothing from the pauses between frames.
    void startClock(Client& client) {
        if (client.waiting()) {
            return;
        }
        const Clock::time_point now = Clock::now();
        if (client.keepingUp || (client.idleSince && now - *client.idleSince >= options.stallTimeout)) {
            client.lastProgress = now;
        }
    }

    // What the socket took is not yet what the client took. Only what the client's side acknowledged
    // counts as sent; and it counts as progress only while the client's receive window stays about as wide
    // as it was: one that reads nothing acknowledges what fills its receive buffer for seconds, but its
    // window narrows meanwhile. A window that widens again shows a client that reads, if slowly.
    void takeAcknowledged(Client& client, Clock::time_point now) {
        tcp_info info{};
        socklen_t length = sizeof(info);
        bool widened = false;
        if (::getsockopt(client.fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 &&
            length >= offsetof(tcp_info, tcpi_snd_wnd) + sizeof(info.tcpi_snd_wnd)) {
            widened = info.tcpi_snd_wnd > client.window && client.widestWindow > 0;
            client.window = info.tcpi_snd_wnd;
            client.widestWindow = std::max(client.widestWindow, info.tcpi_snd_wnd);
            // Some slack for a client that reads in bursts.
            client.keepingUp = info.tcpi_snd_wnd >= client.widestWindow - client.widestWindow / 16;
        }  // else a kernel that does not tell: acknowledgements alone count
        std::uint64_t acknowledged = client.acknowledged;
        if (client.written > client.acknowledged) {
            int unacknowledged = 0;
            if (::ioctl(client.fd, SIOCOUTQ, &unacknowledged) != 0 || unacknowledged < 0) {
                unacknowledged = 0;  // cannot tell: what was written counts
            }
            acknowledged = client.written - std::min<std::uint64_t>(
                                                client.written, static_cast<std::uint64_t>(unacknowledged));
        }
        const bool idle = !client.queued() && acknowledged == client.written;
        if (widened || (client.keepingUp && (acknowledged > client.acknowledged || idle))) {
            client.lastProgress = now;
        }
        if (!idle) {
            client.idleSince.reset();
        } else if (!client.idleSince) {
            client.idleSince = now;
        }
        if (acknowledged <= client.acknowledged) {
            return;
        }
        client.acknowledged = acknowledged;
        std::uint64_t frames = 0;
        std::uint64_t images = 0;
        while (!client.inSocket.empty() && client.inSocket.front().first <= acknowledged) {
            ++(client.inSocket.front().second == Segment::Frame ? frames : images);
            client.inSocket.pop_front();
        }
        if (frames + images > 0) {
            report(client, [&](ClientReport& r) {
                r.framesSent += frames;
                r.imagesSent += images;
            });
        }
    }

    // Sends what is queued, and handles further requests already read as their replies go out.
    void serve(Client& client) {
        flush(client);
        while (client.closeReason.empty() && client.inputComplete && client.control.size() < kRepliesAhead) {
            handleInput(client, Clock::now());
            flush(client);
        }
    }

    // Reads only when the input holds no whole message: a client that sends many requests at once is
    // read from as it takes the replies, rather than its replies piling up.
    void receive(Client& client, Clock::time_point now) {
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
        handleInput(client, now);
    }

    // Handles the whole messages of the input while few replies wait.
    void handleInput(Client& client, Clock::time_point now) {
        std::size_t used = 0;
        client.inputComplete = false;
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
            if (client.control.size() >= kRepliesAhead) {
                client.inputComplete = true;
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
        if (used > 0 || client.input.empty() || client.inputComplete) {
            client.waitingSince.reset();
        }
        if (!client.input.empty() && !client.inputComplete && !client.waitingSince) {
            client.waitingSince = now;
        }
    }

    void handle(Client& client, const Header& header) {
        if (header.type == "STT_TDATA") {
            client.trackingData = true;
        } else if (header.type == "STP_TDATA") {
            client.trackingData = false;
        } else if (header.type == "GET_STATUS") {
            std::string reply;
            const int code = stale ? igtl::StatusMessage::STATUS_NOT_READY : igtl::StatusMessage::STATUS_OK;
            if (appendStatus(reply, options.trackerName, code,
                             options.statusText ? options.statusText() : "tracking")) {
                queueControl(client, std::make_shared<const std::string>(std::move(reply)));
            } else {
                failed("the STATUS reply");
            }
        } else if (header.type == "GET_CAPABIL") {
            // Packed once: the library's capability packing never frees what it allocates.
            static const Packet capability = [] {
                std::string reply;
                appendCapability(reply, {"TRANSFORM", "TDATA", "STATUS", "CAPABILITY", "IMAGE"});
                return std::make_shared<const std::string>(std::move(reply));
            }();
            if (!capability->empty()) {
                queueControl(client, capability);
            } else {
                failed("the CAPABILITY reply");
            }
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
            // Its last acknowledgements still count.
            takeAcknowledged(client, Clock::now());
            ::close(client.fd);
            const bool normal =
                client.closeReason == "disconnected" || client.closeReason == "the server stopped";
            HALVOREN_LOG(
                normal ? Log::Info : Log::Warning, kCategory,
                "client " << client.peer << " " << (normal ? "" : "dropped: ") << client.closeReason);
            {
                std::lock_guard<std::mutex> lock(reportsMutex);
                ClientReport& r = reports[client.id];
                r.connected = false;
                r.closeReason = client.closeReason;
                --connected;
                depart(client.id);
            }
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
    if (d.options.trackerName.size() > kMaxNameSize) {
        error = "the tracker name " + d.options.trackerName + " is longer than " +
                std::to_string(kMaxNameSize) + " characters";
        return false;
    }
    const std::string port = std::to_string(d.options.port);
    const std::string where = (d.options.host.empty() ? "all interfaces" : d.options.host) + ", port " + port;
    int fd = -1;
    if (d.options.host.empty()) {
        // Both IPv6 and IPv4 on one socket; IPv4 alone where the machine has no IPv6.
        sockaddr_in6 any6{};
        any6.sin6_family = AF_INET6;
        any6.sin6_addr = in6addr_any;
        any6.sin6_port = htons(static_cast<std::uint16_t>(d.options.port));
        fd = listenOn(reinterpret_cast<const sockaddr*>(&any6), sizeof(any6), true);
        d.listening = "all interfaces";
        if (fd < 0 && errno != EADDRINUSE && errno != EACCES) {
            sockaddr_in any4{};
            any4.sin_family = AF_INET;
            any4.sin_addr.s_addr = htonl(INADDR_ANY);
            any4.sin_port = htons(static_cast<std::uint16_t>(d.options.port));
            fd = listenOn(reinterpret_cast<const sockaddr*>(&any4), sizeof(any4), false);
            d.listening = "all IPv4 interfaces";
        }
    } else {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
        addrinfo* found = nullptr;
        const int resolved = ::getaddrinfo(d.options.host.c_str(), port.c_str(), &hints, &found);
        if (resolved != 0 || found == nullptr) {
            error = "cannot listen on " + where + ": " + ::gai_strerror(resolved);
            return false;
        }
        fd = listenOn(found->ai_addr, found->ai_addrlen, false);
        const int listenError = errno;
        ::freeaddrinfo(found);
        errno = listenError;
        d.listening = d.options.host;
    }
    if (fd < 0) {
        error = "cannot listen on " + where + ": " + std::strerror(errno);
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

std::string IgtlServer::listeningOn() const {
    return m_impl->listening;
}

void IgtlServer::publish(TrackingFrame frame) {
    Impl& d = *m_impl;
    {
        std::lock_guard<std::mutex> lock(d.handoverMutex);
        if (d.staleRequested) {
            return;  // stale poses are not sent
        }
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

void IgtlServer::setStale(bool stale, std::string reason) {
    Impl& d = *m_impl;
    {
        std::lock_guard<std::mutex> lock(d.handoverMutex);
        if (stale == d.staleRequested) {
            return;
        }
        d.staleRequested = stale;
        d.staleChanges.emplace_back(stale, std::move(reason));
        if (stale) {
            d.pendingFrame.reset();  // published before, but not yet sent: stale by now
        }
    }
    d.wake();
}

std::vector<IgtlServer::ClientReport> IgtlServer::clients() const {
    std::lock_guard<std::mutex> lock(m_impl->reportsMutex);
    std::vector<ClientReport> listed;
    listed.reserve(m_impl->reports.size());
    for (const auto& [id, report] : m_impl->reports) {
        listed.push_back(report);
    }
    return listed;
}

IgtlServer::EarlierClients IgtlServer::earlierClients() const {
    std::lock_guard<std::mutex> lock(m_impl->reportsMutex);
    return m_impl->earlier;
}

std::size_t IgtlServer::connectedClients() const {
    std::lock_guard<std::mutex> lock(m_impl->reportsMutex);
    return m_impl->connected;
}

std::size_t IgtlServer::recordsHeld() const {
    const Impl& d = *m_impl;
    std::lock_guard<std::mutex> lock(d.reportsMutex);
    // One client state per connected client, counted alike.
    return d.connected + d.reports.size() + d.departed.size() + d.earlier.reasons.size();
}

Health::LatencyStats IgtlServer::clientLatency() const {
    std::lock_guard<std::mutex> lock(m_impl->reportsMutex);
    return m_impl->latency;
}

}  // namespace Halvoren::Igtl
