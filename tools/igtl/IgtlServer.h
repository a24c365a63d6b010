#pragma once
// An OpenIGTLink tracking server: serves the frames it is handed to every connected client.
//
// The network never slows the camera: publishing only hands a frame over and wakes the server's own
// thread, which does all socket work. Each client has a small queue in which a newer frame replaces an
// unsent older one (counted as a drop); a client that takes nothing for the stall time-out, that leaves a
// message unfinished for the message time-out, or that sends what is not a valid message, is disconnected
// without affecting the others. Past the most clients, a newcomer is told so and refused.
//
// While the poses are stale (setStale) no frame goes out: the clients are told so by a STATUS message and
// told again when frames flow anew.

#include "health/LatencyStats.h"
#include "igtl/IgtlMessages.h"

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace Halvoren::Igtl {

class IgtlServer {
public:
    struct Options {
        std::string host;  // address to listen on; empty: all interfaces (IPv6 and IPv4 where it can)
        int port = 18944;  // 0: any free port (see port())
        double imageRateHz = 5.0;
        std::chrono::milliseconds stallTimeout{3000};    // a client that acknowledges nothing this long
        std::chrono::milliseconds messageTimeout{3000};  // a message from a client left unfinished this long
        std::size_t maxBodyBytes = 1024 * 1024;          // larger messages from a client end its connection
        std::size_t maxClients = 128;                    // connected at once; further ones are refused
        std::size_t departedListed = 16;      // departed clients listed one by one; earlier ones only summed
        std::string trackerName = "Tracker";  // device name of the TDATA messages (20 characters at most)
        // The text of the answer to GET_STATUS; "tracking" when empty. Called on the server's thread.
        std::function<std::string()> statusText;
        // Takes a new connection as accept4() does; tests make it fail.
        int (*accept)(int, sockaddr*, socklen_t*, int) = ::accept4;
    };

    /// What happened to one client, for the summary.
    struct ClientReport {
        std::string peer;                 // address:port
        std::uint64_t framesSent = 0;     // acknowledged by the client's side of the connection
        std::uint64_t framesDropped = 0;  // replaced by a newer frame before they were sent
        std::uint64_t imagesSent = 0;
        // Exposure to the frame's messages handed whole to the socket, for the frames whose exposure
        // time was known.
        Health::LatencyStats latency;
        bool connected = false;
        std::string closeReason;  // "refused: ..." for one over the most clients
    };

    /// The departed clients no longer listed one by one, summed up.
    struct EarlierClients {
        std::uint64_t count = 0;
        std::uint64_t framesSent = 0;
        std::uint64_t framesDropped = 0;
        std::uint64_t imagesSent = 0;
        std::map<std::string, std::uint64_t> reasons;  // clients by close reason (a few; the rest "other")
    };

    explicit IgtlServer(Options options);
    /// Stops the server.
    ~IgtlServer();
    IgtlServer(const IgtlServer&) = delete;
    IgtlServer& operator=(const IgtlServer&) = delete;

    /// Control thread. Listens and starts the server's thread; false with the reason otherwise.
    bool start(std::string& error);
    /// Control thread. Disconnects every client and ends the server's thread.
    void stop();
    /// The port listened on (the one chosen for port 0), once started.
    int port() const;
    /// Where it listens, for people: the address, "all interfaces" or "all IPv4 interfaces", once started.
    std::string listeningOn() const;

    /// Any thread: hands a frame over to be sent.
    void publish(TrackingFrame frame);
    /// Any thread: whether an image for this device would be sent now (the image rate allows it). Saves
    /// the caller copying an image that would be dropped.
    bool wantsImage(const std::string& device) const;
    /// Any thread: hands an image over to be sent, when the image rate allows it.
    void publishImage(GreyImage image);
    /// Any thread: whether the poses are stale, and why (or, when fresh again, for how long they were).
    /// The clients get a STATUS with the reason (code not ready, then OK), and while stale no frame: one
    /// still queued for a client is withdrawn, and those published meanwhile are not sent. A call that
    /// does not change the state is ignored.
    void setStale(bool stale, std::string reason);

    /// The connected clients and the last departed ones (Options::departedListed), in order of connection.
    std::vector<ClientReport> clients() const;
    /// The clients that departed before those, summed up: memory stays flat however many come and go.
    EarlierClients earlierClients() const;
    std::size_t connectedClients() const;
    /// The entries of every per-client record the server holds (states, reports, departed ones, close
    /// reasons): bounded by the clients connected now, however many came and went. For tests.
    std::size_t recordsHeld() const;
    /// Exposure to client of every frame of the run sent with its exposure time, departed clients included.
    Health::LatencyStats clientLatency() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace Halvoren::Igtl
