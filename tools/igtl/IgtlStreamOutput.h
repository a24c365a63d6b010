#pragma once
// Feeds an OpenIGTLink server from a host tracking stream: an output of the stream's run whose queue the
// server's thread drains. The stream's worker only queues the frame and wakes the server; turning it into
// poses and copying its camera images happen on the server's thread. Knows the host's stream data only,
// so it serves any tracking stream.
//
// The poses go out in the run's navigation frame: each instrument's as the TRANSFORM "<Name>To<Frame>"
// and as its TDATA element (named by the instrument), a tool's tip as the TRANSFORM "<Name>TipTo<Frame>".
// A pose that is not valid (the instrument or the reference out of view or below the quality gate) goes
// out as an instrument out of view always did: no TRANSFORM, no element, a STATUS when it is lost and back.

#include "igtl/IgtlNavigationNames.h"
#include "igtl/IgtlServer.h"
#include "navigation/NavigationFrame.h"
#include "output/FrameOutput.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace Halvoren {
class SharedImage;
class TrackingStreamData;
struct TrackingInstrument;
}  // namespace Halvoren

namespace Halvoren::Igtl {

/// What IgtlStreamOutput::Options holds. Outside the class, so that its default member values can serve as
/// a default argument of the class's own constructor.
struct IgtlStreamOutputOptions {
    /// An instrument whose quality is below this counts as not seen (0: no gate).
    double minQuality = 0.0;
    /// The frame the poses are given in, and the tools' tips: camera coordinates and no tips by default.
    Navigation::NavigationFrame navigation;
    /// The stream's instruments, named before the frames flow so that the names shortened to fit the wire
    /// are known at start (shortenedNames()). Others are named when they come.
    std::vector<TrackerID> instruments;
    /// The device names of the camera images (TrackingCameraImagesData), as the stream's camera
    /// image streams are named.
    std::string leftDevice = "Camera (left)";
    std::string rightDevice = "Camera (right)";
    /// Where the camera images go when they have a server of their own (a second port), so that no pose
    /// waits behind an image on a client's connection: handed over to it, packed and sent on its thread.
    /// None: the images go with the poses. It must outlive the output.
    IgtlServer* imageServer = nullptr;
};

class IgtlStreamOutput : public Output::FrameOutput, private IgtlServer::Feed {
public:
    using Options = IgtlStreamOutputOptions;

    /// Control thread: the server takes the frames from here on. The server must outlive the output, or
    /// its end().
    explicit IgtlStreamOutput(IgtlServer& server, Options options = {});
    ~IgtlStreamOutput() override;

    /// The server's thread: a frame goes out as poses (and camera images when the image rate lets one
    /// go); word of stale poses as a STATUS to the clients.
    void take(const Output::FrameItem& item) override;
    /// True: each client's line names the frames it dropped.
    bool reportsOwnLosses() const override { return true; }
    /// Control thread: the server's thread sends what the queue still holds (while the server runs), then
    /// takes from this output no more.
    void end() override;
    /// Worker thread: wakes the server's thread unless a wake-up is on its way already; never waits.
    void queued() override;

    /// The names of Options::instruments that go out shortened. Control thread.
    const std::vector<ShortenedName>& shortenedNames() const { return m_shortenedAtStart; }

    /// The server's thread (or a test's, while no frame flows): the frame the clients get for these
    /// instruments, in the navigation frame; a pose is seen when it is valid.
    TrackingFrame frameOf(const std::vector<TrackingInstrument>& instruments);
    /// What the clients are told when the poses go stale or are fresh again.
    static std::string staleReason(bool stale, double millisecondsWithoutFrame);

private:
    bool deliver(IgtlServer::Outlet& outlet) override;
    void sendFrame(const Output::FrameItem& item, IgtlServer::Outlet& outlet);
    void sendImages(const TrackingStreamData& tracking, IgtlServer::Outlet& outlet);
    bool imageDue(const std::string& device, IgtlServer::Outlet& outlet) const;
    void sendImage(const std::shared_ptr<SharedImage>& image, const std::string& device,
                   std::uint64_t timestampMs, IgtlServer::Outlet& outlet);
    void detach();
    const InstrumentDeviceNames& namesOf(const TrackerID& instrument, bool hasTip);

    IgtlServer& m_server;
    const Options m_options;
    std::atomic<bool> m_attached{true};
    // A wake-up was written and the server's thread has not looked at the queue since: the items queued
    // meanwhile need no system call of their own.
    std::atomic<bool> m_wakePending{false};
    std::vector<ShortenedName> m_shortenedAtStart;

    // The server's thread, after construction.
    IgtlNavigationNames m_names;
    std::vector<Navigation::FramePose> m_poses;  // reused from frame to frame

    // The server's thread, while it delivers.
    IgtlServer::Outlet* m_outlet = nullptr;
    bool m_stale = false;  // as the last word taken said
    std::chrono::steady_clock::time_point m_lastFrame;
    std::shared_ptr<const TrackingStreamData> m_imagesOf;  // the frame whose camera images go out next
};

}  // namespace Halvoren::Igtl
