#pragma once
// An OpenIGTLink tracking server: serves the frames it is handed to every connected client.
//
// The network never slows the camera: a frame's producer only hands it over and wakes the server's own
// thread, which does all packing and socket work. A stream's output is a feed (IgtlStreamOutput): its
// queue is the one hand-over, drained by the server's thread. Each client has a small queue in which a newer
// frame replaces an unsent older one (counted as a drop); a client that takes nothing for the stall time-out,
// that leaves a message unfinished for the message time-out, or that sends what is not a valid message, is
// disconnected without affecting the others. Past the most clients, a newcomer is told so and refused.
//
// While the poses are stale (Outlet::setStale) no frame goes out: the clients are told so by a STATUS
// message and told again when frames flow anew; a frame still queued for a client is withdrawn.

#include "health/LatencyStats.h"
#include "igtl/IgtlClientReports.h"
#include "igtl/IgtlMessages.h"
#include "text/Expected.h"

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Halvoren::Igtl {

class IgtlServer {
public:
    struct Options {
        std::string host;          // address to listen on; empty: all interfaces (IPv6 and IPv4 where it can)
        int port = 18944;          // 0: any free port (see port())
        double imageRateHz = 5.0;  // camera images a second at most, per device; 0: no images are sent
        // Whether poses are served (TRANSFORM, TDATA); false for a server of camera images alone, whose
        // thread then runs at a lower priority than the others. Both tell what a client gets in answer to
        // GET_CAPABIL.
        bool poses = true;
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

    using ClientReport = Igtl::ClientReport;
    using EarlierClients = Igtl::EarlierClients;

    /// What a feed hands the server, on the server's thread while the feed delivers.
    class Outlet {
    public:
        /// Packs the frame once for every client (while the poses are fresh); it goes into their sockets
        /// as soon as the item is delivered.
        virtual void sendFrame(TrackingFrame frame) = 0;
        /// Whether an image for this device would go out now (the image rate allows it): saves copying
        /// an image that would be dropped.
        virtual bool imageDue(const std::string& device) = 0;
        /// The image for every client, when the image rate allows it.
        virtual void sendImage(GreyImage image) = 0;
        /// Whether the poses are stale, and why (or, when fresh again, for how long they were), in the order
        /// of the items. The clients get a STATUS with the reason (code not ready, then OK), and while stale
        /// no frame. A call that does not change the state is ignored.
        virtual void setStale(bool stale, const std::string& reason) = 0;

    protected:
        ~Outlet() = default;
    };

    /// A source of frames the server's thread takes from whenever it is woken (wake()): the hand-over of
    /// a stream's output, which needs no second one in the server.
    class Feed {
    public:
        virtual ~Feed() = default;
        /// The server's thread: hands over the next item that waits, if any; whether there was one. The
        /// server sends each item on to the clients before it asks for the next.
        virtual bool deliver(Outlet& outlet) = 0;
    };

    explicit IgtlServer(Options options);
    /// Stops the server.
    ~IgtlServer();
    IgtlServer(const IgtlServer&) = delete;
    IgtlServer& operator=(const IgtlServer&) = delete;

    /// Control thread. Listens and starts the server's thread; the reason when it cannot.
    Expected<void> start();
    /// Control thread. Disconnects every client and ends the server's thread.
    void stop();
    /// The port listened on (the one chosen for port 0), once started.
    int port() const;
    /// Where it listens, for people: the address, "all interfaces" or "all IPv4 interfaces", once started.
    std::string listeningOn() const;

    /// Any thread: the feed is delivered from whenever the server is woken, until detached.
    void attach(Feed& feed);
    /// Any thread but the server's: while the server runs, waits (a bounded time) for its thread to deliver
    /// what the feed still holds; the feed is not delivered from after.
    void detach(Feed& feed);
    /// Any thread, never waits: the server's thread takes what the feeds hold.
    void wake();

    // A server of camera images alone (Options::poses false) takes its images from the poses' server's
    // thread here: a hand-over of its own, in which a newer image of a device replaces one its thread has
    // not taken yet.

    /// Any thread: whether an image for this device would be sent now (the image rate allows it). Saves
    /// the caller copying an image that would be dropped.
    bool wantsImage(const std::string& device) const;
    /// Any thread: hands an image over to be sent, when the image rate allows it.
    void publishImage(GreyImage image);

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
