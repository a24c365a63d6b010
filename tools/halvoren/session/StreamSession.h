#pragma once
// The tracking stream as the application runs it: made by a loaded plug-in's stream algorithm, configured
// from a workspace or the command's options, and taken over from the algorithm once it has run.

#include "halvoren/session/DriverReplay.h"
#include "halvoren/session/RecordingFiles.h"
#include "halvoren/session/StreamSetup.h"

#include "health/TrackingHealth.h"
#include "navigation/NavigationFrame.h"
#include "output/OutputHub.h"

#include "host/Algorithm.h"
#include "host/Properties.h"
#include "host/Stream.h"

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Halvoren::Record {
class Recorder;
}

namespace Halvoren::Igtl {
class IgtlServer;
}  // namespace Halvoren::Igtl

namespace Halvoren {
class PluginManager;
class SignalConnection;
class TrackingStream;
}  // namespace Halvoren

namespace Halvoren::App {

/// The algorithm that makes the tracking stream.
constexpr const char* kStreamAlgorithm = "Atracsys.SpryTrackStream";

/// Reads a workspace file (running the workspace conversions it needs) and gives the stream's settings:
/// the block Algorithms/<kStreamAlgorithm>, or the whole root when the workspace has no "Algorithms".
/// Relative marker paths are taken relative to the workspace's folder. Bad input with the reason otherwise.
Expected<Properties> readStreamSettings(const std::string& path);

/// Registers the marker file at `path` with the stream, its instrument named after the file: the
/// instrument's ID, or why not.
Expected<std::string> addMarkerFile(Stream& stream, const std::string& path);

class StreamSession {
public:
    /// Closes the stream, then destroys the algorithm and the stream.
    ~StreamSession();
    StreamSession(const StreamSession&) = delete;
    StreamSession& operator=(const StreamSession&) = delete;

    /// Control thread. Sets the log level, creates the stream algorithm, configures it from the workspace
    /// and the options, runs it (which opens the camera), takes the stream and adds the markers. With
    /// `startWithPanel` the stream is left for the controller panel to start. Warnings and what it serves
    /// go to `err`; the error otherwise (an empty message when the reason was written to `err` already).
    /// The plug-ins must outlive the session: the algorithm and the stream are their code.
    static Expected<std::unique_ptr<StreamSession>> create(PluginManager& plugins, const StreamSetup& setup,
                                                           bool startWithPanel, std::ostream& err);

    /// Control thread, after create(): one more output of the run, which gets the frames from then on (the
    /// session's own are the health, the recording and the OpenIGTLink clients; the command chooses the
    /// rest, before it starts the stream).
    void addOutput(std::shared_ptr<Output::FrameOutput> output) { m_outputs.add(std::move(output)); }
    /// Control thread, before frames flow: the run ends after this many frames (0: no limit); a replay
    /// ends with its recording's last frame anyway.
    void limitFrames(std::uint64_t frames);
    /// The run's outputs: the frames handed over, the cut, the queues' counts.
    Output::OutputHub& outputs() { return m_outputs; }
    const Output::OutputHub& outputs() const { return m_outputs; }

    Algorithm* algorithm() const { return m_algorithm.get(); }
    /// The run's tracking health, counted from the stream's start. Valid after a successful create().
    Health::TrackingHealth& health() const { return *m_health; }
    /// The health block, with the latency to the OpenIGTLink clients when serving them.
    void writeHealth(std::ostream& out) const;
    /// "halvoren: the NAME output could not keep up: ..." for each output that lost frames and does not
    /// report its own losses (the health, the progress, a calibration's collector).
    void writeOutputLosses(std::ostream& out) const;
    /// Valid after a successful create().
    Stream& stream() const { return *m_stream; }
    /// The frame the run's poses are given in (--reference) and the tools' tips, fixed by create().
    const Navigation::NavigationFrame& navigation() const { return m_navigation; }
    /// The stream's markers as a recording keeps them (the files' geometries and tips), fixed by create().
    const std::vector<Sequence::RecordedMarker>& markers() const { return m_markers; }
    /// The stream as tracking stream, when it is one.
    TrackingStream* trackingStream() const;
    /// The OpenIGTLink server, when the set-up asked for one.
    Igtl::IgtlServer* igtlServer() const { return m_igtlServer.get(); }
    /// Any thread, also the stream's: the run is over; the frames that come while the stream stops reach
    /// no output (they are neither written, counted nor recorded).
    void cutRun() { m_outputs.cut(); }
    /// Once the stream is closed: every output takes what it holds and ends, no staleness is reported any
    /// more (the stream ended on purpose), the OpenIGTLink clients are disconnected and the recording is
    /// finished; the summaries stay. False when the recording could not be finished (the reason is in its
    /// summary).
    bool endRun();
    /// Whether the camera plays a recording.
    bool replaying() const { return m_driverReplay.has_value(); }
    /// Any thread: whether every frame of the replayed recording came (the driver delivers each once, in
    /// order); false when not replaying.
    bool replayEnded() const { return m_driverReplay && m_outputs.frames() >= m_replay.frameCount; }
    /// Any thread: why the driver stopped the replay before its end; empty while it did not, and when not
    /// replaying.
    std::string replayStopReason() const;
    /// Once the stream stopped: "halvoren: the replay stopped: <reason>, after N of M frames" when the
    /// recording could not be read on; nothing otherwise.
    void writeReplayStop(std::ostream& err) const;
    /// "recorded N frames to FILE", with the frames dropped and a failure; nothing when not recording.
    void writeRecordingSummary(std::ostream& out) const;
    /// One line per OpenIGTLink client: frames sent and dropped, and how it left; the clients that left
    /// before the last few summed up in one line.
    void writeIgtlSummary(std::ostream& out) const;
    /// The warnings create() wrote rather than logged (names shortened to fit the wire), for the run's
    /// summary.
    int warnings() const { return m_warnings; }

private:
    explicit StreamSession(PluginManager& plugins);
    /// What create() does once the session is there.
    Expected<void> build(const StreamSetup& setup, bool startWithPanel, std::ostream& err);
    /// The camera settings file checked, the recording locked and the replay prepared (its frame limit).
    bool prepareCameraAndRecording(StreamSetup& setup, std::ostream& err);
    /// When replaying, before the camera opens: asks the loaded driver to play the recording; refuses a
    /// driver without a replay control (a camera maker's).
    Expected<void> requestReplay(const StreamSetup& setup);
    /// The stream made, its markers added and its camera checked.
    Expected<void> openStream(Properties& settings, std::size_t workspaceMarkerCount,
                              const std::vector<std::string>& markers);
    /// Configures and runs the algorithm (which opens the camera) and takes the stream it made.
    Expected<void> makeStream(Properties& settings);
    /// Adds the marker files to the stream; refuses a workspace none of whose markers loaded, and a
    /// camera that did not open.
    Expected<void> registerMarkers(std::size_t workspaceMarkerCount, const std::vector<std::string>& markers);
    /// When replaying, once the camera opened: refuses a camera the driver says is not the replay's
    /// device.
    Expected<void> checkReplayDevice() const;
    /// The session's own outputs: the health, the recording and the OpenIGTLink clients.
    Expected<void> startOutputs(const StreamSetup& setup, std::ostream& err);
    /// Serves the stream to OpenIGTLink clients.
    Expected<void> startIgtl(const StreamSetup& setup, std::ostream& err);
    Expected<void> startIgtlImages(const StreamSetup& setup);
    /// Counts the stream's frames (an output) and watches for staleness; stopping the stream pauses the
    /// watch.
    void startHealth(const StreamSetup& setup);
    /// Matches the stream's instruments to their marker files and makes the navigation frame from them;
    /// a reference that names none of the stream's instruments is refused as a usage error.
    Expected<void> navigate(const StreamSetup& setup, const std::vector<MarkerSource>& sources,
                            std::ostream& err);
    /// Records the stream's frames (with its images when the set-up queries them).
    Expected<void> startRecording(const StreamSetup& setup);
    /// The watchdog's thread, or the health output's: the poses went stale or are fresh again; word to
    /// every output.
    void onStale(bool stale, double millisecondsWithoutFrame);

    PluginManager& m_plugins;
    std::unique_ptr<Algorithm> m_algorithm;
    std::unique_ptr<Stream> m_stream;
    std::unique_ptr<Igtl::IgtlServer> m_igtlServer;
    std::unique_ptr<Igtl::IgtlServer> m_igtlImageServer;  // the camera images on a port of their own
    std::unique_ptr<Health::TrackingHealth> m_health;
    std::vector<std::shared_ptr<SignalConnection>> m_healthConnections;
    ReplaySetup m_replay;
    std::optional<DriverReplay> m_driverReplay;  // while replaying
    std::string m_recordPath;
    std::unique_ptr<Sequence::RecordingLock> m_recordLock;  // held until the recorder is gone
    std::shared_ptr<Record::Recorder> m_recorder;
    std::string m_recordError;  // why the recording failed; empty when it did not
    std::uint64_t m_frameLimit = 0;
    std::vector<Sequence::RecordedMarker> m_markers;
    Navigation::NavigationFrame m_navigation;
    int m_warnings = 0;
    std::optional<Eigen::Matrix4d> m_imageToReference;  // --registration
    // Last: its threads end first, while everything its outputs use is still there.
    Output::OutputHub m_outputs;
};

}  // namespace Halvoren::App
