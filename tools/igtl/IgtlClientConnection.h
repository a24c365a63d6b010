#pragma once
// One client of the OpenIGTLink server: its socket, what waits for it (replies and status messages, the
// newest frame, the newest image of each device), the requests it sends, and how much of what was written
// its side acknowledged. Lives on the server's thread only.

#include "igtl/IgtlClientReports.h"
#include "igtl/IgtlMessages.h"
#include "igtl/IgtlServer.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Halvoren::Igtl {

using Packet = std::shared_ptr<const std::string>;

/// One frame, packed once for every client: the TRANSFORM messages, then the TDATA message, so that a
/// client that takes tracking data gets the whole frame in one send and one that stopped it the prefix.
struct FramePacket {
    std::string bytes;
    std::size_t transformsSize = 0;
    std::uint64_t exposureUs = 0;  // us since the epoch; 0: unknown
};

class ClientConnection {
public:
    using Clock = std::chrono::steady_clock;

    /// What a connection takes from its server.
    struct Server {
        const IgtlServer::Options& options;
        ClientReports& reports;
        const bool& stale;                                   // the poses, as told to the clients
        std::function<void(const std::string&)> packFailed;  // a message that could not be packed
    };

    /// Takes over the connected socket `fd`, closed with the connection.
    ClientConnection(int fd, std::uint64_t id, std::string peer, const Server& server);
    ~ClientConnection();
    ClientConnection(const ClientConnection&) = delete;
    ClientConnection& operator=(const ClientConnection&) = delete;

    int fd() const { return m_fd; }
    std::uint64_t id() const { return m_id; }
    const std::string& peer() const { return m_peer; }
    /// Why the connection is to be closed; empty while it is not.
    const std::string& closeReason() const { return m_closeReason; }
    void close(std::string reason) { m_closeReason = std::move(reason); }

    /// The events to poll its socket for.
    short pollEvents() const;
    /// After a poll: reads, sends, and decides whether it goes.
    void tend(short events, Clock::time_point now);
    /// Sends what is queued, and handles further requests already read as their replies go out.
    void serve();
    /// Counts what the client's side acknowledged as sent.
    void takeAcknowledged(Clock::time_point now);
    /// Written bytes the client's side has not acknowledged yet.
    bool awaitsAcknowledgement() const { return m_written > m_acknowledged; }

    /// A reply or a status message; one that lets too many pile up is to be closed.
    void queueControl(Packet packet);
    /// The newest frame; one still queued is replaced, and counted as dropped.
    void queueFrame(std::shared_ptr<const FramePacket> frame);
    /// The newest image of `device`; one still queued is replaced.
    void queueImage(const std::string& device, Packet image);
    /// The poses went stale: the frame not yet sent is withdrawn (no drop: it is held back, not late).
    void withdrawFrame();
    /// The server stops: nothing is sent any more but the rest of a message partly written, so that the
    /// client does not meet the end of the stream in the middle of one.
    void finishBegun();
    /// Part of a message is still to be written.
    bool midMessage() const { return !m_output.empty(); }
    /// Writes what is queued as far as the socket takes it, reading no further request.
    void write() { flush(); }

private:
    /// Bytes to send and what keeps them alive.
    struct Segment {
        enum Kind { Control, Frame, Image };
        std::shared_ptr<const void> owner;
        const char* data = nullptr;
        std::size_t size = 0;
        Kind kind = Control;
        std::uint64_t exposureUs = 0;  // of a frame; 0: unknown
    };
    static Segment segmentOf(Packet packet, Segment::Kind kind);

    bool queued() const { return !m_output.empty() || !m_control.empty() || m_frame || !m_images.empty(); }
    // Something is on its way to the client: the stall clock runs.
    bool waiting() const { return queued() || m_written > m_acknowledged; }
    void checkTimeouts(Clock::time_point now);
    void receive(Clock::time_point now);
    void handleInput(Clock::time_point now);
    void handle(const Header& header);
    bool refill();
    void flush();
    void segmentSent(const Segment& segment);
    void recordLatency(std::uint64_t exposureUs);
    void startClock();
    void watchProgress(Clock::time_point now, std::uint64_t acknowledged, bool widened);

    const int m_fd;
    const std::uint64_t m_id;
    const std::string m_peer;
    const Server m_server;

    std::string m_input;
    bool m_inputComplete = false;                     // `m_input` starts with a whole message not yet handled
    std::optional<Clock::time_point> m_waitingSince;  // since when the first message in the input lacks bytes
    bool m_trackingData = true;
    std::deque<Packet> m_control;
    std::shared_ptr<const FramePacket> m_frame;
    std::map<std::string, Packet> m_images;
    std::deque<Segment> m_output;  // being sent, the first from `m_offset` on
    std::size_t m_offset = 0;
    // Bytes written into the socket, how many of them the client's side acknowledged, and where the frames
    // and images among them end: they count as sent once acknowledged.
    std::uint64_t m_written = 0;
    std::uint64_t m_acknowledged = 0;
    std::deque<std::pair<std::uint64_t, Segment::Kind>> m_inSocket;
    // The client's receive window: the widest seen, and whether it is about that wide still.
    std::uint32_t m_widestWindow = 0;
    std::uint32_t m_window = 0;
    bool m_keepingUp = true;
    std::optional<Clock::time_point> m_idleSince;  // nothing queued nor unacknowledged since
    Clock::time_point m_lastProgress = Clock::now();
    std::string m_closeReason;  // set: the client is to be closed
};

/// A stopping server: each client's message begun is finished, for `bound` at most, nothing else sent.
void finishBegunMessages(const std::vector<std::unique_ptr<ClientConnection>>& clients,
                         std::chrono::milliseconds bound);
/// A stopping server: waits up to `bound` for the clients' sides to acknowledge what was written to them.
void awaitAcknowledgements(const std::vector<std::unique_ptr<ClientConnection>>& clients,
                           std::chrono::milliseconds bound);

}  // namespace Halvoren::Igtl
