#include "igtl/IgtlClientConnection.h"

#include <igtlStatusMessage.h>

#include <linux/sockios.h>
#include <linux/tcp.h>  // the tcp_info that tells the client's receive window
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <string>
#include <vector>

namespace Halvoren::Igtl {

namespace {

// A client that lets this many replies and status messages pile up is not reading.
constexpr std::size_t kMaxControlMessages = 256;
// Requests are answered this many at a time; the next ones are read once the client took the replies.
constexpr std::size_t kRepliesAhead = 8;

/// The CAPABILITY message that lists what the server sends: the poses' types, the images' or both.
/// Packed once for each: the library's capability packing never frees what it allocates.
const Packet& capabilityReply(bool poses, bool images) {
    static const std::array<Packet, 4> replies = [] {
        std::array<Packet, 4> packed;
        for (std::size_t i = 0; i < packed.size(); ++i) {
            std::vector<std::string> types;
            if ((i & 2) != 0) {
                types = {"TRANSFORM", "TDATA"};
            }
            types.insert(types.end(), {"STATUS", "CAPABILITY"});
            if ((i & 1) != 0) {
                types.push_back("IMAGE");
            }
            std::string reply;
            appendCapability(reply, types);
            packed[i] = std::make_shared<const std::string>(std::move(reply));
        }
        return packed;
    }();
    return replies[(poses ? 2 : 0) + (images ? 1 : 0)];
}

}  // namespace

ClientConnection::ClientConnection(int fd, std::uint64_t id, std::string peer, const Server& server)
    : m_fd(fd), m_id(id), m_peer(std::move(peer)), m_server(server) {}

ClientConnection::~ClientConnection() {
    ::close(m_fd);
}

ClientConnection::Segment ClientConnection::segmentOf(Packet packet, Segment::Kind kind) {
    const char* data = packet->data();
    const std::size_t size = packet->size();
    return {std::move(packet), data, size, kind};
}

short ClientConnection::pollEvents() const {
    return static_cast<short>((m_inputComplete ? 0 : POLLIN) | (queued() ? POLLOUT : 0));
}

void ClientConnection::tend(short events, Clock::time_point now) {
    if (m_closeReason.empty() && (events & POLLIN) != 0) {
        receive(now);
    }
    if (m_closeReason.empty() && (events & (POLLERR | POLLHUP)) != 0 && (events & POLLIN) == 0) {
        m_closeReason = "disconnected";
    }
    if (m_closeReason.empty()) {
        serve();
        takeAcknowledged(now);
    }
    checkTimeouts(now);
}

void ClientConnection::checkTimeouts(Clock::time_point now) {
    const IgtlServer::Options& options = m_server.options;
    if (m_closeReason.empty() && waiting() && now - m_lastProgress > options.stallTimeout) {
        m_closeReason = "stalled: took nothing for " + std::to_string(options.stallTimeout.count()) + " ms";
    }
    if (m_closeReason.empty() && m_waitingSince && now - *m_waitingSince > options.messageTimeout) {
        m_closeReason =
            "left a message unfinished for " + std::to_string(options.messageTimeout.count()) + " ms";
    }
}

void ClientConnection::serve() {
    flush();
    while (m_closeReason.empty() && m_inputComplete && m_control.size() < kRepliesAhead) {
        handleInput(Clock::now());
        flush();
    }
}

// Reads only when the input holds no whole message: a client that sends many requests at once is read
// from as it takes the replies, rather than its replies piling up.
void ClientConnection::receive(Clock::time_point now) {
    char buffer[64 * 1024];
    const ssize_t received = ::recv(m_fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (received == 0) {
        m_closeReason = "disconnected";
        return;
    }
    if (received < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            m_closeReason = "disconnected";
        }
        return;
    }
    m_input.append(buffer, static_cast<std::size_t>(received));
    handleInput(now);
}

// Handles the whole messages of the input while few replies wait.
void ClientConnection::handleInput(Clock::time_point now) {
    std::size_t used = 0;
    m_inputComplete = false;
    while (m_input.size() - used >= kHeaderSize) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(m_input.data()) + used;
        const std::optional<Header> header = readHeader(data);
        if (!header) {
            m_closeReason = "sent a malformed message header";
            return;
        }
        if (header->bodySize > m_server.options.maxBodyBytes) {
            m_closeReason = "announced a message body of " + std::to_string(header->bodySize) + " bytes";
            return;
        }
        const std::size_t size = kHeaderSize + static_cast<std::size_t>(header->bodySize);
        if (m_input.size() - used < size) {
            break;
        }
        if (m_control.size() >= kRepliesAhead) {
            m_inputComplete = true;
            break;
        }
        if (!crcMatches(*header, data + kHeaderSize)) {
            m_closeReason = "sent a " + header->type + " message with a wrong CRC";
            return;
        }
        handle(*header);
        used += size;
    }
    m_input.erase(0, used);
    if (used > 0 || m_input.empty() || m_inputComplete) {
        m_waitingSince.reset();
    }
    if (!m_input.empty() && !m_inputComplete && !m_waitingSince) {
        m_waitingSince = now;
    }
}

void ClientConnection::handle(const Header& header) {
    if (header.type == "STT_TDATA") {
        m_trackingData = true;
    } else if (header.type == "STP_TDATA") {
        m_trackingData = false;
    } else if (header.type == "GET_STATUS") {
        const IgtlServer::Options& options = m_server.options;
        std::string reply;
        const int code =
            m_server.stale ? igtl::StatusMessage::STATUS_NOT_READY : igtl::StatusMessage::STATUS_OK;
        if (appendStatus(reply, options.trackerName, code,
                         options.statusText ? options.statusText() : "tracking")) {
            queueControl(std::make_shared<const std::string>(std::move(reply)));
        } else {
            m_server.packFailed("the STATUS reply");
        }
    } else if (header.type == "GET_CAPABIL") {
        const Packet& capability =
            capabilityReply(m_server.options.poses, m_server.options.imageRateHz > 0.0);
        if (!capability->empty()) {
            queueControl(capability);
        } else {
            m_server.packFailed("the CAPABILITY reply");
        }
    }
    // Anything else a client may send is not for a tracking server: ignored.
}

void ClientConnection::queueControl(Packet packet) {
    if (m_control.size() >= kMaxControlMessages) {
        m_closeReason = "stalled: does not read its messages";
        return;
    }
    startClock();
    m_control.push_back(std::move(packet));
}

void ClientConnection::queueFrame(std::shared_ptr<const FramePacket> frame) {
    if (m_frame) {
        m_server.reports.dropped(m_id);
    } else {
        startClock();
    }
    m_frame = std::move(frame);
}

void ClientConnection::queueImage(const std::string& device, Packet image) {
    startClock();
    m_images[device] = std::move(image);
}

void ClientConnection::withdrawFrame() {
    m_frame.reset();
    // Nothing of it sent yet: withdrawn as well. One partly sent is finished, as the client could not read
    // on otherwise.
    if (!m_output.empty() && m_output.front().kind == Segment::Frame && m_offset == 0) {
        m_output.pop_front();
    }
}

void ClientConnection::finishBegun() {
    m_control.clear();
    m_frame.reset();
    m_images.clear();
    if (!m_output.empty() && m_offset == 0) {
        m_output.clear();
    }
}

// Moves the next queued messages into the output: replies and status first, then the frame, then images.
bool ClientConnection::refill() {
    if (!m_control.empty()) {
        m_output.push_back(segmentOf(std::move(m_control.front()), Segment::Control));
        m_control.pop_front();
        return true;
    }
    if (m_frame) {
        const std::shared_ptr<const FramePacket> frame = std::move(m_frame);
        m_frame.reset();
        const std::size_t size = m_trackingData ? frame->bytes.size() : frame->transformsSize;
        if (size > 0) {
            m_output.push_back({frame, frame->bytes.data(), size, Segment::Frame, frame->exposureUs});
        } else {
            m_server.reports.sent(m_id, 1, 0);  // nothing in it for this client
        }
        return true;
    }
    if (!m_images.empty()) {
        m_output.push_back(segmentOf(std::move(m_images.begin()->second), Segment::Image));
        m_images.erase(m_images.begin());
        return true;
    }
    return false;
}

void ClientConnection::flush() {
    while (true) {
        if (m_output.empty() && !refill()) {
            return;
        }
        if (m_output.empty()) {
            continue;  // a frame with nothing to send for this client
        }
        const Segment& segment = m_output.front();
        const ssize_t sent =
            ::send(m_fd, segment.data + m_offset, segment.size - m_offset, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                m_closeReason = "disconnected";
            }
            return;
        }
        m_written += static_cast<std::uint64_t>(sent);
        m_offset += static_cast<std::size_t>(sent);
        if (m_offset == segment.size) {
            segmentSent(segment);
            m_output.pop_front();
            m_offset = 0;
        }
    }
}

// A segment went whole into the socket.
void ClientConnection::segmentSent(const Segment& segment) {
    if (segment.kind != Segment::Control) {
        m_inSocket.emplace_back(m_written, segment.kind);
    }
    if (segment.kind == Segment::Frame && segment.exposureUs != 0) {
        recordLatency(segment.exposureUs);
    }
}

// A frame's messages were handed whole to the client's socket: its latency from the exposure.
void ClientConnection::recordLatency(std::uint64_t exposureUs) {
    const auto nowUs = std::chrono::duration_cast<std::chrono::microseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    m_server.reports.latency(m_id, nowUs - static_cast<std::int64_t>(exposureUs));
}

// The stall clock starts when something is queued for an idle client: from now when it was keeping up or
// idle for long (its window may be as it left it), else it runs on from its last progress, so that a
// client that reads nothing gains nothing from the pauses between frames.
void ClientConnection::startClock() {
    if (waiting()) {
        return;
    }
    const Clock::time_point now = Clock::now();
    if (m_keepingUp || (m_idleSince && now - *m_idleSince >= m_server.options.stallTimeout)) {
        m_lastProgress = now;
    }
}

// What the socket took is not yet what the client took. Only what the client's side acknowledged counts
// as sent; and it counts as progress only while the client's receive window stays about as wide as it
// was: one that reads nothing acknowledges what fills its receive buffer for seconds, but its window
// narrows meanwhile. A window that widens again shows a client that reads, if slowly.
void ClientConnection::takeAcknowledged(Clock::time_point now) {
    tcp_info info{};
    socklen_t length = sizeof(info);
    bool widened = false;
    if (::getsockopt(m_fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 &&
        length >= offsetof(tcp_info, tcpi_snd_wnd) + sizeof(info.tcpi_snd_wnd)) {
        widened = info.tcpi_snd_wnd > m_window && m_widestWindow > 0;
        m_window = info.tcpi_snd_wnd;
        m_widestWindow = std::max(m_widestWindow, info.tcpi_snd_wnd);
        // Some slack for a client that reads in bursts.
        m_keepingUp = info.tcpi_snd_wnd >= m_widestWindow - m_widestWindow / 16;
    }  // else a kernel that does not tell: acknowledgements alone count
    std::uint64_t acknowledged = m_acknowledged;
    if (m_written > m_acknowledged) {
        int unacknowledged = 0;
        if (::ioctl(m_fd, SIOCOUTQ, &unacknowledged) != 0 || unacknowledged < 0) {
            unacknowledged = 0;  // cannot tell: what was written counts
        }
        acknowledged =
            m_written - std::min<std::uint64_t>(m_written, static_cast<std::uint64_t>(unacknowledged));
    }
    watchProgress(now, acknowledged, widened);
    if (acknowledged <= m_acknowledged) {
        return;
    }
    m_acknowledged = acknowledged;
    std::uint64_t frames = 0;
    std::uint64_t images = 0;
    while (!m_inSocket.empty() && m_inSocket.front().first <= acknowledged) {
        ++(m_inSocket.front().second == Segment::Frame ? frames : images);
        m_inSocket.pop_front();
    }
    if (frames + images > 0) {
        m_server.reports.sent(m_id, frames, images);
    }
}

// Progress, and idleness, as of what the client's side acknowledged by now.
void ClientConnection::watchProgress(Clock::time_point now, std::uint64_t acknowledged, bool widened) {
    const bool idle = !queued() && acknowledged == m_written;
    if (widened || (m_keepingUp && (acknowledged > m_acknowledged || idle))) {
        m_lastProgress = now;
    }
    if (!idle) {
        m_idleSince.reset();
    } else if (!m_idleSince) {
        m_idleSince = now;
    }
}

// A connection closed in the middle of a message leaves its client with a message it cannot read to the
// end (and the protocol library's own reader spinning on it): each client's message begun is finished
// first, for a bounded time; a client that takes nothing meanwhile is cut off all the same.
void finishBegunMessages(const std::vector<std::unique_ptr<ClientConnection>>& clients,
                         std::chrono::milliseconds bound) {
    using Clock = ClientConnection::Clock;
    const Clock::time_point deadline = Clock::now() + bound;
    std::vector<pollfd> fds;
    std::vector<ClientConnection*> writing;
    for (auto& client : clients) {
        client->finishBegun();
    }
    while (true) {
        fds.clear();
        writing.clear();
        for (auto& client : clients) {
            if (client->closeReason().empty() && client->midMessage()) {
                fds.push_back({client->fd(), POLLOUT, 0});
                writing.push_back(client.get());
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (writing.empty() || left.count() <= 0) {
            return;
        }
        if (::poll(fds.data(), fds.size(), static_cast<int>(std::min<long long>(left.count(), 50))) < 0 &&
            errno != EINTR) {
            return;
        }
        for (std::size_t i = 0; i < writing.size(); ++i) {
            if (fds[i].revents != 0) {
                writing[i]->write();
            }
        }
    }
}

// The last frames written may not be acknowledged yet (a client's side may delay its acknowledgements by
// tens of milliseconds): they are waited for, briefly, so that what counts as sent is what a client that
// reads everything received.
void awaitAcknowledgements(const std::vector<std::unique_ptr<ClientConnection>>& clients,
                           std::chrono::milliseconds bound) {
    using Clock = ClientConnection::Clock;
    const Clock::time_point deadline = Clock::now() + bound;
    while (true) {
        const Clock::time_point now = Clock::now();
        bool waiting = false;
        for (auto& client : clients) {
            client->takeAcknowledged(now);
            waiting = waiting || client->awaitsAcknowledgement();
        }
        if (!waiting || now >= deadline) {
            return;
        }
        ::poll(nullptr, 0, 5);
    }
}

}  // namespace Halvoren::Igtl
