#include "igtl/IgtlServer.h"

#include "igtl/IgtlClientConnection.h"
#include "igtl/IgtlListening.h"

#include "host/Log.h"

#include <igtlStatusMessage.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

namespace Halvoren::Igtl {

namespace {

using Clock = std::chrono::steady_clock;

const char* const kCategory = "OpenIGTLink";
// Bounded, so that what waits for a slow client stays fresh (a newer frame replaces one still queued
// here rather than in the socket), and what it has not taken shows in the unacknowledged bytes soon.
constexpr int kSendBufferBytes = 64 * 1024;
// New connections taken in one go, so that a flood of them does not hold up the connected clients.
constexpr int kAcceptsAtOnce = 64;
constexpr std::chrono::milliseconds kAcceptRetryFirst{50};
constexpr std::chrono::milliseconds kAcceptRetryLast{1000};
// How long a stopping server waits for its clients to acknowledge what it wrote to them.
constexpr std::chrono::milliseconds kFinalAcknowledgements{200};
// How much lower a server of images alone runs than the poses.
constexpr int kImageNiceness = 10;
// How long a stopping server goes on writing the messages it began (a 1.3 MB image to a slow client).
constexpr std::chrono::milliseconds kFinishMessages{1000};
// Items a feed delivers in one wake-up at most, so that a feed that never runs dry cannot keep the
// clients' own requests waiting.
constexpr int kDeliveriesAtOnce = 64;
// How long detaching a feed waits for the server's thread to deliver what the feed still holds.
constexpr std::chrono::milliseconds kDeliverBeforeDetach{2000};

}  // namespace

struct IgtlServer::Impl final : IgtlServer::Outlet {
    // The wake-up event lives as long as the server, so that waking it never meets a closed one. The
    // reserve descriptor too; and the STATUS that tells a client none is left is packed while there is no
    // shortage.
    explicit Impl(Options o)
        : options(std::move(o)),
          wakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
          reserveFd(takeReserve()),
          reports(options.departedListed) {
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

    // Guards the two below: publishImage()'s hand-over (the newest image per device) and the image rate.
    mutable std::mutex handoverMutex;
    std::map<std::string, GreyImage> pendingImages;
    std::map<std::string, Clock::time_point> imageAccepted;

    // Guards the four below; held while a feed delivers (which packs, but neither waits nor touches a
    // socket), so that a feed detached is no longer used.
    std::mutex feedsMutex;
    std::condition_variable feedLeft;
    std::vector<Feed*> feeds;
    std::vector<Feed*> leaving;  // detached once they have delivered what they hold
    bool serving = false;        // the server's thread delivers

    ClientReports reports;

    // Server thread only.
    std::vector<std::unique_ptr<ClientConnection>> clients;
    std::uint64_t nextId = 0;
    struct PoseState {
        bool seen = false;
        std::string lost;  // while not seen: the STATUS that says so
    };
    std::map<std::string, PoseState> poses;  // by pose, as of the last frame
    DeviceNames transformNames{kMaxNameSize};
    DeviceNames elementNames;
    DeviceNames imageNames{kMaxNameSize};
    std::set<std::string> failedMessages;  // reported once each
    std::optional<Clock::time_point> acceptPausedUntil;
    std::chrono::milliseconds acceptRetry = kAcceptRetryFirst;
    bool refusing = false;  // refused a client since the last one accepted
    bool stale = false;     // the poses, as told to the clients
    Packet staleStatus;     // while stale: what tells a client so

    ClientConnection::Server connectionContext() {
        return {options, reports, stale, [this](const std::string& what) { failed(what); }};
    }

    // The caller holds handoverMutex.
    bool imageRateAllows(const std::string& device) const {
        if (options.imageRateHz <= 0.0) {
            return false;
        }
        const auto last = imageAccepted.find(device);
        return last == imageAccepted.end() ||
               Clock::now() - last->second >= std::chrono::duration<double>(1.0 / options.imageRateHz);
    }
    // Any thread: whether an image of the device goes out now; if so, the next one waits its turn.
    bool acceptImage(const std::string& device) {
        std::lock_guard<std::mutex> lock(handoverMutex);
        if (!imageRateAllows(device)) {
            return false;
        }
        imageAccepted[device] = Clock::now();
        return true;
    }

    void wake() const {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wakeFd, &one, sizeof(one));
    }

    void failed(const std::string& what) {
        if (failedMessages.insert(what).second) {
            HALVOREN_LOG(Log::Error, kCategory, "cannot pack " << what << ": it is not sent");
        }
    }

    // Server thread: the outlet of the feeds.
    void sendFrame(TrackingFrame frame) override {
        if (!stale) {
            distributeFrame(frame);
        }
    }
    bool imageDue(const std::string& device) override {
        std::lock_guard<std::mutex> lock(handoverMutex);
        return imageRateAllows(device);
    }
    void sendImage(GreyImage image) override {
        if (acceptImage(image.device)) {
            const std::string device = image.device;
            distributeImage(device, image);
        }
    }
    void setStale(bool nowStale, const std::string& reason) override {
        if (nowStale != stale) {
            changeStale(nowStale, reason);
        }
    }

    void run();
    int pollTimeoutMs(Clock::time_point now);
    void fillPollSet(std::vector<pollfd>& fds) const;
    void acceptClients();
    void admit(int fd, const std::string& peer);
    // A descriptor held back for when the process runs out of them: a duplicate of one held anyway.
    int takeReserve() const { return ::fcntl(wakeFd, F_DUPFD_CLOEXEC, 0); }
    void pauseAccepting();
    bool refuseWithReserve();
    void refuse(int fd, const std::string& peer, const std::string& reason, const std::string& status);
    void distribute();
    void takePublishedImages();
    void deliverFeeds();
    bool deliverFeedsOnce();
    void setServing(bool nowServing);
    void serveAll();
    void packTool(ToolPose& tool, std::string& bytes, std::string& status);
    void greet(ClientConnection& client) const;
    void nameTool(ToolPose& tool, const std::string& key, const std::string& name);
    void changeStale(bool nowStale, const std::string& reason);
    void distributeFrame(TrackingFrame& frame);
    void distributeImage(const std::string& device, GreyImage& image);
    void closeFinished();
};

// Server thread.
void IgtlServer::Impl::run() {
    if (!options.poses) {
        // A server of camera images alone yields the CPU to the camera's thread and to the poses' server:
        // on a busy computer an image may come late, a pose must not.
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kImageNiceness);
    }
    setServing(true);
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
            clients[i]->tend(fds[i + 2].revents, now);
        }
        closeFinished();
    }
    setServing(false);
    finishBegunMessages(clients, kFinishMessages);
    for (auto& client : clients) {
        client->close("the server stopped");
    }
    awaitAcknowledgements(clients, kFinalAcknowledgements);
    closeFinished();
}

// How long a poll may wait: a tenth of a second, less while accepting is paused.
int IgtlServer::Impl::pollTimeoutMs(Clock::time_point now) {
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
void IgtlServer::Impl::fillPollSet(std::vector<pollfd>& fds) const {
    fds.clear();
    fds.push_back({wakeFd, POLLIN, 0});
    // Not listened to while accepting fails: the pending connection would wake the poll at once.
    fds.push_back({acceptPausedUntil ? -1 : listenFd, POLLIN, 0});
    for (const auto& client : clients) {
        fds.push_back({client->fd(), client->pollEvents(), 0});
    }
}

void IgtlServer::Impl::acceptClients() {
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

void IgtlServer::Impl::admit(int fd, const std::string& peer) {
    refusing = false;
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSendBufferBytes, sizeof(kSendBufferBytes));
    auto client = std::make_unique<ClientConnection>(fd, nextId++, peer, connectionContext());
    reports.connected(client->id(), peer);
    HALVOREN_LOG(Log::Info, kCategory, "client " << peer << " connected");
    greet(*client);
    clients.push_back(std::move(client));
}

// Out of descriptors or memory: the pending connection stays, so accepting again at once would only spin.
// Try later; the connected clients are served meanwhile. Warned once; the later tries, at most one a
// second, for the curious.
void IgtlServer::Impl::pauseAccepting() {
    HALVOREN_LOG(acceptRetry == kAcceptRetryFirst ? Log::Warning : Log::Debug, kCategory,
                 "cannot accept clients: " << std::strerror(errno) << "; trying again in "
                                           << acceptRetry.count() << " ms, " << clients.size()
                                           << " clients served meanwhile");
    acceptPausedUntil = Clock::now() + acceptRetry;
    acceptRetry = std::min(acceptRetry * 2, kAcceptRetryLast);
}

// Out of descriptors: the reserve one makes room to take the waiting client and tell it why it goes,
// rather than leave it connected and unanswered. False, errno kept, when that did not work out.
bool IgtlServer::Impl::refuseWithReserve() {
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
void IgtlServer::Impl::refuse(int fd, const std::string& peer, const std::string& reason,
                              const std::string& status) {
    if (!status.empty()) {
        // A new connection's empty buffer takes the message whole.
        [[maybe_unused]] const ssize_t sent =
            ::send(fd, status.data(), status.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    ::shutdown(fd, SHUT_WR);
    // What it sent already is read, so that closing does not reset the connection before the client has
    // read the message.
    char buffer[4096];
    [[maybe_unused]] const ssize_t read = ::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    ::close(fd);
    // The first one of a run is worth a warning; a flood of them is not worth as many.
    HALVOREN_LOG(refusing ? Log::Debug : Log::Warning, kCategory, "client " << peer << " " << reason);
    refusing = true;
    reports.refused(nextId++, peer, reason);
}

// Server thread: the images published, then what the feeds hold, each packed once for every client.
void IgtlServer::Impl::distribute() {
    takePublishedImages();
    deliverFeeds();
    // Sent at once rather than after the next poll: the clients see the frame sooner.
    serveAll();
}

void IgtlServer::Impl::takePublishedImages() {
    std::map<std::string, GreyImage> images;
    {
        std::lock_guard<std::mutex> lock(handoverMutex);
        images.swap(pendingImages);
    }
    for (auto& [device, image] : images) {
        distributeImage(device, image);
    }
}

// Each item goes to the clients' sockets before the next is taken, so that none replaces another for a
// client that keeps up.
void IgtlServer::Impl::deliverFeeds() {
    for (int round = 0; round < kDeliveriesAtOnce; ++round) {
        if (!deliverFeedsOnce()) {
            return;
        }
        serveAll();
    }
    wake();  // more waits: taken after the clients had their turn
}

// One item from each feed; a leaving feed that holds nothing more is let go. Whether any delivered.
bool IgtlServer::Impl::deliverFeedsOnce() {
    bool delivered = false;
    bool left = false;
    {
        std::lock_guard<std::mutex> lock(feedsMutex);
        for (auto it = feeds.begin(); it != feeds.end();) {
            if ((*it)->deliver(*this)) {
                delivered = true;
                ++it;
            } else if (std::find(leaving.begin(), leaving.end(), *it) != leaving.end()) {
                leaving.erase(std::remove(leaving.begin(), leaving.end(), *it), leaving.end());
                it = feeds.erase(it);
                left = true;
            } else {
                ++it;
            }
        }
    }
    if (left) {
        feedLeft.notify_all();
    }
    return delivered;
}

void IgtlServer::Impl::setServing(bool nowServing) {
    {
        std::lock_guard<std::mutex> lock(feedsMutex);
        serving = nowServing;
    }
    feedLeft.notify_all();  // no longer waited for: nothing is delivered any more
}

void IgtlServer::Impl::serveAll() {
    for (auto& client : clients) {
        if (client->closeReason().empty()) {
            client->serve();
        }
    }
}

// Names the pose as it goes out, packs its TRANSFORM when seen, and a STATUS into `status` when it is
// invalid from its first frame on, disappeared or came back.
void IgtlServer::Impl::packTool(ToolPose& tool, std::string& bytes, std::string& status) {
    const std::string name = std::move(tool.name);
    // An instrument's poses (its own, its tip's) differ by name; instruments named alike, by their IDs.
    const std::string key = tool.id.empty() ? name : tool.id + '\n' + name;
    nameTool(tool, key, name);
    if (tool.seen && !appendTransform(bytes, tool)) {
        failed("the TRANSFORM message of " + name);
    }
    const auto [known, added] = poses.emplace(key, PoseState{tool.seen, {}});
    if (added ? tool.seen : known->second.seen == tool.seen) {
        return;
    }
    known->second.seen = tool.seen;
    const std::string& label = tool.label.empty() ? name : tool.label;
    std::string told;
    const bool packed =
        tool.seen
            ? appendStatus(told, tool.name, igtl::StatusMessage::STATUS_OK, label + " is seen again")
            : appendStatus(told, tool.name, igtl::StatusMessage::STATUS_NOT_PRESENT,
                           label + (tool.reason.empty() ? " is not seen" : " is invalid: " + tool.reason));
    if (!packed) {
        failed("the STATUS message of " + name);
    }
    status += told;
    // A client that connects later learns of the invalid ones from the same STATUS.
    known->second.lost = tool.seen ? std::string() : std::move(told);
}

// What a client that connects now is told at once: the poses are stale, and which poses are invalid.
void IgtlServer::Impl::greet(ClientConnection& client) const {
    if (staleStatus) {
        client.queueControl(staleStatus);
    }
    std::string lost;
    for (const auto& [key, pose] : poses) {
        lost += pose.lost;
    }
    if (!lost.empty()) {
        client.queueControl(std::make_shared<const std::string>(std::move(lost)));
    }
}

// Device names and TDATA element names that fit the wire; each renaming is told once.
void IgtlServer::Impl::nameTool(ToolPose& tool, const std::string& key, const std::string& name) {
    bool renamed = false;
    tool.name = transformNames.of(key, name, &renamed);
    if (renamed) {
        HALVOREN_LOG(Log::Warning, kCategory,
                     "device name " << name << " is sent as " << tool.name << ": device names are "
                                    << kMaxNameSize << " characters at most and unique");
    }
    if (!tool.tracked) {
        return;
    }
    const std::string element = tool.element.empty() ? name : std::move(tool.element);
    tool.element = elementNames.of(tool.id.empty() ? name : tool.id, element, &renamed);
    if (renamed) {
        HALVOREN_LOG(Log::Warning, kCategory,
                     "TDATA element " << element << " is sent as " << tool.element << ": element names are "
                                      << kMaxElementNameSize << " characters at most and unique");
    }
}

// Tells every client that the poses went stale or are fresh again; going stale withdraws the frames still
// waiting for them. Those do not count as dropped: no client was too slow for them, they are held back
// because they are stale.
void IgtlServer::Impl::changeStale(bool nowStale, const std::string& reason) {
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
            client->withdrawFrame();
        }
        if (packet) {
            client->queueControl(packet);
        }
    }
}

void IgtlServer::Impl::distributeFrame(TrackingFrame& frame) {
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
            client->queueControl(statusPacket);
        }
        client->queueFrame(packet);
    }
}

void IgtlServer::Impl::distributeImage(const std::string& device, GreyImage& image) {
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
        client->queueImage(device, packet);
    }
}

void IgtlServer::Impl::closeFinished() {
    for (auto it = clients.begin(); it != clients.end();) {
        ClientConnection& client = **it;
        if (client.closeReason().empty()) {
            ++it;
            continue;
        }
        // Its last acknowledgements still count.
        client.takeAcknowledged(Clock::now());
        const std::string& reason = client.closeReason();
        const bool normal = reason == "disconnected" || reason == "the server stopped";
        HALVOREN_LOG(normal ? Log::Info : Log::Warning, kCategory,
                     "client " << client.peer() << " " << (normal ? "" : "dropped: ") << reason);
        reports.closed(client.id(), reason);
        it = clients.erase(it);  // closes its connection
    }
}

IgtlServer::IgtlServer(Options options) : m_impl(std::make_unique<Impl>(std::move(options))) {}

IgtlServer::~IgtlServer() {
    stop();
}

Expected<void> IgtlServer::start() {
    Impl& d = *m_impl;
    if (d.thread.joinable()) {
        return {};
    }
    if (d.options.trackerName.size() > kMaxNameSize) {
        return makeError(ErrorKind::BadInput, "the tracker name " + d.options.trackerName +
                                                  " is longer than " + std::to_string(kMaxNameSize) +
                                                  " characters");
    }
    const std::string port = std::to_string(d.options.port);
    std::string reason;
    int fd = -1;
    if (d.options.host.empty()) {
        fd = listenOnAll(d.options.port, d.listening);
        reason = std::strerror(errno);
    } else {
        fd = listenOnHost(d.options.host, port, reason);
        d.listening = d.options.host;
    }
    if (fd < 0) {
        const std::string where =
            (d.options.host.empty() ? "all interfaces" : d.options.host) + ", port " + port;
        return makeError(ErrorKind::Failure, "cannot listen on " + where + ": " + reason);
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof(bound);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    d.boundPort = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6&>(bound).sin6_port)
                                              : ntohs(reinterpret_cast<sockaddr_in&>(bound).sin_port);
    d.listenFd = fd;
    d.stopping = false;
    d.thread = std::thread([&d] { d.run(); });
    return {};
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

void IgtlServer::attach(Feed& feed) {
    {
        std::lock_guard<std::mutex> lock(m_impl->feedsMutex);
        m_impl->feeds.push_back(&feed);
    }
    m_impl->wake();  // it may hold items already
}

void IgtlServer::detach(Feed& feed) {
    Impl& d = *m_impl;
    std::unique_lock<std::mutex> lock(d.feedsMutex);
    const auto attached = [&] { return std::find(d.feeds.begin(), d.feeds.end(), &feed) != d.feeds.end(); };
    if (d.serving && attached()) {
        // What it still holds goes out first: frames handed over before the run's cut reach the clients.
        d.leaving.push_back(&feed);
        d.wake();
        d.feedLeft.wait_for(lock, kDeliverBeforeDetach, [&] { return !attached() || !d.serving; });
        d.leaving.erase(std::remove(d.leaving.begin(), d.leaving.end(), &feed), d.leaving.end());
    }
    d.feeds.erase(std::remove(d.feeds.begin(), d.feeds.end(), &feed), d.feeds.end());
}

void IgtlServer::wake() {
    m_impl->wake();
}

bool IgtlServer::wantsImage(const std::string& device) const {
    std::lock_guard<std::mutex> lock(m_impl->handoverMutex);
    return m_impl->imageRateAllows(device);
}

void IgtlServer::publishImage(GreyImage image) {
    Impl& d = *m_impl;
    if (!d.acceptImage(image.device)) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(d.handoverMutex);
        const std::string device = image.device;
        d.pendingImages[device] = std::move(image);
    }
    d.wake();
}

std::vector<IgtlServer::ClientReport> IgtlServer::clients() const {
    return m_impl->reports.list();
}

IgtlServer::EarlierClients IgtlServer::earlierClients() const {
    return m_impl->reports.earlier();
}

std::size_t IgtlServer::connectedClients() const {
    return m_impl->reports.connectedCount();
}

std::size_t IgtlServer::recordsHeld() const {
    return m_impl->reports.recordsHeld();
}

Health::LatencyStats IgtlServer::clientLatency() const {
    return m_impl->reports.runLatency();
}

}  // namespace Halvoren::Igtl
