#include "halvoren/session/StreamSession.h"

#include "halvoren/console/Interrupts.h"
#include "halvoren/session/FileChecks.h"
#include "halvoren/session/NavigationSetup.h"

#include "health/HealthOutput.h"
#include "host/DataList.h"
#include "host/Log.h"
#include "host/OpticalTracking.h"
#include "host/OwningDataList.h"
#include "host/PluginManager.h"
#include "host/StreamAlgorithmBase.h"
#include "host/StreamGroupBase.h"
#include "host/TrackingStream.h"
#include "host/WorkspaceConversionRegistry.h"
#include "host/WorkspaceFile.h"
#include "igtl/IgtlServer.h"
#include "igtl/IgtlStreamOutput.h"
#include "record/Recorder.h"
#include "text/BoundedFile.h"
#include "text/FileDescriptor.h"

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iomanip>
#include <map>
#include <ostream>
#include <sstream>
#include <vector>

namespace Halvoren::App {

namespace {

/// Makes the relative marker paths of the settings relative to the workspace's folder, as its author
/// meant them, rather than to the folder the application happens to run in.
void resolveMarkerPaths(Properties& settings, const std::filesystem::path& folder) {
    Properties* targets = settings.subProperties("TrackingTargets", false);
    if (targets == nullptr) {
        return;
    }
    for (Properties* target : targets->subProperties()) {
        std::string path;
        if (!target->param("Path", path) || path.empty() || path.rfind(":/", 0) == 0 ||
            std::filesystem::path(path).is_absolute()) {
            continue;
        }
        std::error_code error;
        const std::filesystem::path beside =
            std::filesystem::absolute(folder / path, error).lexically_normal();
        if (!error && std::filesystem::exists(beside, error)) {
            target->setParam("Path", beside.string());
        }
    }
}

/// Every marker the stream registers, named as its instrument is: the workspace's and the files given.
std::vector<MarkerSource> markerSources(std::vector<MarkerSource> named,
                                        const std::vector<std::string>& files) {
    for (const std::string& path : files) {
        named.push_back({std::filesystem::path(path).stem().string(), path});
    }
    return named;
}

std::vector<MarkerSource> workspaceMarkers(const Properties& settings) {
    std::vector<MarkerSource> markers;
    if (const Properties* targets = settings.subProperties("TrackingTargets")) {
        for (const Properties* target : targets->subProperties()) {
            std::string path;
            target->param("Path", path);
            markers.push_back({target->name(), path});
        }
    }
    return markers;
}

/// The clients of one OpenIGTLink server, under `heading`.
void writeIgtlClients(std::ostream& out, const char* heading, const Igtl::IgtlServer& server) {
    const auto clients = server.clients();
    const auto earlier = server.earlierClients();
    out << heading << clients.size() + earlier.count << '\n';
    // The departed clients before the last few in one line, so that a long run's summary stays short.
    if (earlier.count > 0) {
        out << "  " << earlier.count << " earlier: " << earlier.framesSent << " frames sent, "
            << earlier.framesDropped << " dropped, " << earlier.imagesSent << " images";
        for (const auto& [reason, count] : earlier.reasons) {
            out << ", " << count << " " << reason;
        }
        out << '\n';
    }
    for (const Igtl::IgtlServer::ClientReport& client : clients) {
        out << "  " << client.peer << ": " << client.framesSent << " frames sent, " << client.framesDropped
            << " dropped, " << client.imagesSent << " images, "
            << (client.connected ? std::string("connected") : client.closeReason) << '\n';
    }
}

}  // namespace

Expected<Properties> readStreamSettings(const std::string& path) {
    Properties workspace;
    std::vector<WorkspaceConversionRegistry::Report> conversions;
    if (std::string error; !WorkspaceFile::load(path, workspace, error, nullptr, &conversions)) {
        return makeError(ErrorKind::BadInput, error);
    }
    for (const WorkspaceConversionRegistry::Report& conversion : conversions) {
        if (conversion.changed) {
            HALVOREN_LOG(Log::Info, "halvoren",
                         "Workspace " << path << " converted: " << conversion.description);
        }
    }
    const Properties* block = &workspace;
    if (const Properties* algorithms = workspace.subProperties("Algorithms")) {
        block = algorithms->subProperties(kStreamAlgorithm);
        if (block == nullptr) {
            return makeError(ErrorKind::BadInput, path + ": the workspace holds no " + kStreamAlgorithm);
        }
    }
    Properties settings;
    settings.copyFrom(*block);
    resolveMarkerPaths(settings, std::filesystem::path(path).parent_path());
    return settings;
}

StreamSession::StreamSession(PluginManager& plugins) : m_plugins(plugins) {}

StreamSession::~StreamSession() {
    if (m_stream) {
        m_stream->close();
    }
    if (m_driverReplay) {
        m_driverReplay->withdraw();  // a camera opened later in this process shows the scene again
    }
    m_outputs.finish();  // every output takes what it holds, while what it uses is still there
    for (const auto& connection : m_healthConnections) {
        connection->disconnect();
    }
    if (m_health) {
        m_health->pause();  // no word of staleness after this
    }
    // Nothing emits any more: the clients can be let go.
    m_igtlServer.reset();
    m_igtlImageServer.reset();
    // The algorithm only forgets a stream it handed over.
    m_algorithm.reset();
    m_stream.reset();
}

TrackingStream* StreamSession::trackingStream() const {
    return dynamic_cast<TrackingStream*>(m_stream.get());
}

namespace {

/// The marker files to register: the options' or, with neither markers nor a workspace, the examples.
/// Refuses a file that cannot be used, with the reason; names what may go wrong with one that can.
Expected<std::vector<std::string>> checkMarkerFiles(const StreamSetup& setup, std::ostream& err) {
    std::vector<std::string> markers = setup.markers;
    if (markers.empty() && setup.workspace.empty()) {
        markers = exampleMarkers();
        if (markers.empty()) {
            return makeError(ErrorKind::BadInput,
                             "no example markers found in " + exampleDataDirectory() + "/markers");
        }
    }
    for (const std::string& path : markers) {
        const std::string reason = unreadableFileReason(path);
        if (!reason.empty()) {
            return makeError(ErrorKind::BadInput, "cannot use the marker file " + path + ": it " + reason);
        }
        const Expected<std::vector<std::string>> warnings = checkMarkerGeometry(path);
        if (!warnings) {
            return makeError(ErrorKind::BadInput,
                             "cannot use the marker file " + path + ": " + warnings.error().message);
        }
        for (const std::string& warning : *warnings) {
            err << "halvoren: warning: the marker file " << path << ' ' << warning << '\n';
        }
    }
    return markers;
}

/// The simulated driver reads its settings file as the camera opens; one that is no file to read (a
/// FIFO that would be waited for, a device, a folder) is refused before, as every input file is. A replay
/// does not read it.
bool checkCameraSettingsFile(const StreamSetup& setup, std::ostream& err) {
    const char* path = std::getenv("FTK_SIMULATOR_SETTINGS");
    if (!setup.replay.empty() || path == nullptr || *path == '\0') {
        return true;
    }
    // What the driver can name itself (a missing file, one it may not read) is left to it.
    BoundedFile::Result refused;
    if (FileDescriptor(BoundedFile::openRegular(path, refused)).get() < 0 &&
        (refused.outcome == BoundedFile::Outcome::Folder ||
         refused.outcome == BoundedFile::Outcome::NotRegular)) {
        err << "halvoren: cannot use the camera settings file " << path << " (FTK_SIMULATOR_SETTINGS): it is "
            << (refused.outcome == BoundedFile::Outcome::Folder ? "a folder"
                                                                : refused.reason + ", not a regular file")
            << '\n';
        return false;
    }
    return true;
}

/// The stream skips a marker of the workspace it cannot load; the user hears which, and why. Refuses a
/// workspace marker that cannot be used, and a marker file whose id another marker holds.
Expected<void> checkWorkspaceMarkers(const std::vector<MarkerSource>& named,
                                     const std::vector<std::string>& markers, std::ostream& err) {
    std::map<std::uint32_t, std::string> takenIds;
    for (const MarkerSource& marker : named) {
        const std::string reason = marker.path.empty() ? "names no file" : unreadableFileReason(marker.path);
        if (!reason.empty()) {
            err << "halvoren: warning: the workspace's marker " << marker.name
                << " is skipped: " << (marker.path.empty() ? "it " : marker.path + " ") << reason << '\n';
            continue;
        }
        const Expected<std::vector<std::string>> warnings = checkMarkerGeometry(marker.path);
        if (!warnings) {
            return makeError(ErrorKind::BadInput, "cannot use the workspace's marker " + marker.name + " (" +
                                                      marker.path + "): " + warnings.error().message);
        }
        for (const std::string& warning : *warnings) {
            err << "halvoren: warning: the workspace's marker " << marker.name << " (" << marker.path << ") "
                << warning << '\n';
        }
        if (const auto id = declaredMarkerId(marker.path)) {
            takenIds.emplace(*id, "the workspace's marker " + marker.name);
        }
    }
    for (const std::string& path : markers) {
        if (const auto id = declaredMarkerId(path)) {
            const auto [taken, added] = takenIds.emplace(*id, path);
            if (!added) {
                return makeError(ErrorKind::BadInput, "cannot use the marker file " + path + ": its id " +
                                                          std::to_string(*id) + " is already used by " +
                                                          taken->second);
            }
        }
    }
    return {};
}

/// The options' part of the stream's settings. The algorithm opens the camera when it runs; the
/// application starts the stream once it listens, or leaves that to the panel.
void applySetup(const StreamSetup& setup, bool startWithPanel, Properties& settings) {
    if (setup.images) {
        settings.setParam("queryImages", true);
    }
    if (setup.fiducialMode) {
        settings.setParam("fiducialQueryMode", *setup.fiducialMode);
    }
    settings.setParam("open", true);
    settings.setParam("start", false);
    if (startWithPanel) {
        settings.setParam("connect", true);
    }
}

/// The markers as the stream will name their instruments, before the camera opens: the stream knows an
/// instrument by its marker's geometry id, as the camera does.
std::vector<Record::RecordedMarker> expectedMarkers(const std::vector<MarkerSource>& sources) {
    std::vector<Record::RecordedMarker> expected;
    for (const MarkerSource& source : sources) {
        Record::RecordedMarker marker;
        marker.name = source.name;
        if (const auto id = declaredMarkerId(source.path)) {
            marker.id = "atracsys-" + std::to_string(*id);
        }
        expected.push_back(std::move(marker));
    }
    return expected;
}

}  // namespace

Expected<std::unique_ptr<StreamSession>> StreamSession::create(PluginManager& plugins,
                                                               const StreamSetup& setup, bool startWithPanel,
                                                               std::ostream& err) {
    std::unique_ptr<StreamSession> session(new StreamSession(plugins));
    if (const Expected<void> built = session->build(setup, startWithPanel, err); !built) {
        return built.error();
    }
    return Expected<std::unique_ptr<StreamSession>>(std::move(session));
}

Expected<void> StreamSession::build(const StreamSetup& given, bool startWithPanel, std::ostream& err) {
    Log::setGlobalLevel(given.logLevel);
    StreamSetup setup = given;
    // The recording's and the replay's preparation say why themselves.
    if (!prepareCameraAndRecording(setup, err)) {
        return makeError(ErrorKind::BadInput, "");
    }
    const Expected<std::vector<std::string>> markers = checkMarkerFiles(setup, err);
    if (!markers) {
        return markers.error();
    }
    const auto imageToReference = readRegistration(setup.registration);
    if (!imageToReference) {
        return imageToReference.error();
    }
    m_imageToReference = *imageToReference;
    // Without the plug-in an old workspace would not be converted either: say what is missing first.
    m_algorithm = m_plugins.algorithmFactory().instantiateAlgorithm(kStreamAlgorithm, DataList());
    if (dynamic_cast<StreamAlgorithmBase*>(m_algorithm.get()) == nullptr) {
        return makeError(ErrorKind::NoPlugin, std::string("no loaded plug-in offers the tracking stream ") +
                                                  kStreamAlgorithm + " (see halvoren plugins)");
    }
    Properties settings;
    if (!setup.workspace.empty()) {
        Expected<Properties> read = readStreamSettings(setup.workspace);
        if (!read) {
            return read.error();
        }
        settings = std::move(*read);
    }
    const std::vector<MarkerSource> named = workspaceMarkers(settings);
    if (const Expected<void> checked = checkWorkspaceMarkers(named, *markers, err); !checked) {
        return checked;
    }
    const std::vector<MarkerSource> sources = markerSources(named, *markers);
    // Refused before the camera opens when the files' markers cannot give the frame asked for.
    if (const auto expected = makeNavigation({setup.reference, setup.frameName, setup.names},
                                             expectedMarkers(sources), m_imageToReference);
        !expected) {
        return expected.error();
    }
    applySetup(setup, startWithPanel, settings);
    if (const Expected<void> requested = requestReplay(setup); !requested) {
        return requested;
    }
    if (const Expected<void> opened = openStream(settings, named.size(), *markers); !opened) {
        return opened;
    }
    if (const Expected<void> navigated = navigate(setup, sources, err); !navigated) {
        return navigated;
    }
    if (const Expected<void> started = startOutputs(setup, err); !started) {
        return started;
    }
    m_outputs.listen(*m_stream);
    return {};
}

Expected<void> StreamSession::startOutputs(const StreamSetup& setup, std::ostream& err) {
    startHealth(setup);
    if (!setup.record.empty()) {
        if (const Expected<void> recording = startRecording(setup); !recording) {
            return recording;
        }
    }
    if (setup.igtlPort) {
        if (const Expected<void> serving = startIgtl(setup, err); !serving) {
            return serving;
        }
    }
    return {};
}

Expected<void> StreamSession::openStream(Properties& settings, std::size_t workspaceMarkerCount,
                                         const std::vector<std::string>& markers) {
    if (const Expected<void> made = makeStream(settings); !made) {
        return made;
    }
    if (const Expected<void> registered = registerMarkers(workspaceMarkerCount, markers); !registered) {
        return registered;
    }
    return checkReplayDevice();
}

bool StreamSession::prepareCameraAndRecording(StreamSetup& setup, std::ostream& err) {
    if (!checkCameraSettingsFile(setup, err)) {
        return false;
    }
    if (!setup.record.empty() && !prepareRecording(setup, m_recordLock, err)) {
        return false;
    }
    if (!setup.replay.empty()) {
        if (!prepareReplay(setup, m_replay, err)) {
            return false;
        }
        // The replay ends with its last frame: the driver plays every frame once, in order.
        limitFrames(m_replay.frameCount);
    }
    return true;
}

Expected<void> StreamSession::makeStream(Properties& settings) {
    m_algorithm->configure(&settings);
    try {
        m_algorithm->run();
    } catch (const std::exception& e) {
        return makeError(ErrorKind::Failure, std::string("cannot create the tracking stream: ") + e.what());
    }
    OwningDataList output = dynamic_cast<StreamAlgorithmBase&>(*m_algorithm).takeOutput();
    std::unique_ptr<Data> data = output.take(0);
    m_stream.reset(dynamic_cast<Stream*>(data.get()));
    if (!m_stream) {
        return makeError(ErrorKind::Failure, std::string(kStreamAlgorithm) + " made no stream");
    }
    static_cast<void>(data.release());
    return {};
}

Expected<void> StreamSession::requestReplay(const StreamSetup& setup) {
    if (setup.replay.empty()) {
        return {};
    }
    Expected<DriverReplay> driver = DriverReplay::find();
    if (!driver) {
        return makeError(ErrorKind::NoDevice,
                         "cannot replay: --replay works with the simulated camera driver only, and " +
                             driver.error().message);
    }
    // The driver takes a relative path from the folder the application runs in.
    if (const Expected<void> requested =
            driver->request(setup.replay, setup.replaySpeed, m_replay.serialNumber);
        !requested) {
        return makeError(requested.error().kind, "cannot replay: " + requested.error().message);
    }
    m_driverReplay = std::move(*driver);
    return {};
}

Expected<void> StreamSession::checkReplayDevice() const {
    if (!m_driverReplay) {
        return {};
    }
    const ftkReplayState state = m_driverReplay->state();
    if (state.phase != FTK_REPLAY_NONE && state.phase != FTK_REPLAY_FAILED &&
        state.serialNumber == m_replay.serialNumber) {
        return {};
    }
    return makeError(
        ErrorKind::NoDevice,
        "cannot replay: the driver opened no device of the replay's" +
            (state.phase == FTK_REPLAY_FAILED ? std::string(": ") + state.reason : std::string()));
}

Expected<void> StreamSession::registerMarkers(std::size_t workspaceMarkerCount,
                                              const std::vector<std::string>& markers) {
    TrackingStream* tracking = trackingStream();
    if (workspaceMarkerCount != 0 && tracking != nullptr && tracking->instruments().empty()) {
        return makeError(ErrorKind::BadInput, "none of the " + std::to_string(workspaceMarkerCount) +
                                                  " markers that the workspace names could be loaded");
    }
    for (const std::string& path : markers) {
        if (const Expected<std::string> added = addMarkerFile(*m_stream, path); !added) {
            return added.error();
        }
    }
    if (m_algorithm->status() != Algorithm::Success || !m_stream->isStateOneOf({Stream::Open})) {
        return makeError(ErrorKind::NoDevice, "cannot open the tracking camera");
    }
    return {};
}

Expected<void> StreamSession::startIgtl(const StreamSetup& setup, std::ostream& err) {
    Igtl::IgtlServer::Options options;
    options.host = setup.igtlHost;
    options.port = *setup.igtlPort;
    options.imageRateHz = setup.images && !setup.igtlImagePort ? setup.igtlImageRate : 0.0;
    options.maxClients = setup.igtlMaxClients;
    // GET_STATUS answers with the health, counted on the stream's thread, read on the server's.
    options.statusText = [health = m_health.get()] { return Health::healthLine(health->figures()); };
    m_igtlServer = std::make_unique<Igtl::IgtlServer>(options);
    if (const Expected<void> started = m_igtlServer->start(); !started) {
        m_igtlServer.reset();
        return makeError(ErrorKind::Failure, "cannot serve OpenIGTLink: " + started.error().message);
    }
    if (setup.images && setup.igtlImagePort) {
        if (const Expected<void> images = startIgtlImages(setup); !images) {
            m_igtlServer.reset();
            return images;
        }
    }
    Igtl::IgtlStreamOutput::Options output;
    output.minQuality = setup.minQuality;
    output.navigation = m_navigation;
    output.imageServer = m_igtlImageServer.get();
    for (const Sequence::RecordedMarker& marker : m_markers) {
        output.instruments.emplace_back(marker.id, "", marker.name);
    }
    // The server's thread takes the frames, and their camera images, from the output's own queue.
    auto igtl = std::make_shared<Igtl::IgtlStreamOutput>(*m_igtlServer, std::move(output));
    for (const Igtl::ShortenedName& name : igtl->shortenedNames()) {
        err << "halvoren: warning: " << Igtl::shortenedWarning(name) << '\n';
        ++m_warnings;
    }
    m_outputs.add(std::move(igtl));
    err << "halvoren: serving OpenIGTLink on " << m_igtlServer->listeningOn() << ", port "
        << m_igtlServer->port() << std::endl;
    if (m_igtlImageServer) {
        err << "halvoren: serving the OpenIGTLink images on " << m_igtlImageServer->listeningOn() << ", port "
            << m_igtlImageServer->port() << std::endl;
    }
    return {};
}

// The camera images on a server of their own: its thread packs and sends them, and no pose waits behind
// one on a client's connection.
Expected<void> StreamSession::startIgtlImages(const StreamSetup& setup) {
    Igtl::IgtlServer::Options options;
    options.host = setup.igtlHost;
    options.port = *setup.igtlImagePort;
    options.imageRateHz = setup.igtlImageRate;
    options.poses = false;
    options.maxClients = setup.igtlMaxClients;
    options.statusText = [health = m_health.get()] { return Health::healthLine(health->figures()); };
    m_igtlImageServer = std::make_unique<Igtl::IgtlServer>(options);
    if (const Expected<void> started = m_igtlImageServer->start(); !started) {
        m_igtlImageServer.reset();
        return makeError(ErrorKind::Failure,
                         "cannot serve the OpenIGTLink images: " + started.error().message);
    }
    return {};
}

void StreamSession::limitFrames(std::uint64_t frames) {
    if (frames != 0 && (m_frameLimit == 0 || frames < m_frameLimit)) {
        m_frameLimit = frames;
        m_outputs.setFrameLimit(frames);
    }
}

void StreamSession::startHealth(const StreamSetup& setup) {
    Health::TrackingHealth::Options options;
    options.minQuality = setup.minQuality;
    options.staleAfter = std::chrono::milliseconds(setup.staleAfterMs);
    m_health = std::make_unique<Health::TrackingHealth>(
        options, [this](bool stale, double milliseconds) { onStale(stale, milliseconds); });
    Health::TrackingHealth* health = m_health.get();
    m_outputs.add(std::make_shared<Health::HealthOutput>(*health));
    // A stream stopped on purpose delivers no frames, and that is no staleness.
    m_healthConnections.push_back(
        m_stream->signalStateChanged.connect([health](const Stream::StateChange& change) {
            if (change.newState != Stream::Running) {
                health->pause();
            }
        }));
}

void StreamSession::onStale(bool stale, double millisecondsWithoutFrame) {
    m_outputs.notify(stale ? Output::FrameItem::Kind::Stale : Output::FrameItem::Kind::Fresh,
                     millisecondsWithoutFrame);
}

void StreamSession::writeHealth(std::ostream& out) const {
    if (!m_health) {
        return;
    }
    if (!m_igtlServer) {
        Health::writeHealthBlock(out, m_health->figures());
        return;
    }
    const Health::LatencyStats clients = m_igtlServer->clientLatency();
    Health::writeHealthBlock(out, m_health->figures(), &clients);
}

void StreamSession::writeOutputLosses(std::ostream& out) const {
    for (const Output::OutputHub::Report& report : m_outputs.reports()) {
        if (report.counts.dropped != 0 && !report.reportsOwnLosses) {
            out << "halvoren: the " << report.name << " output could not keep up: " << report.counts.dropped
                << " frames or notes not taken\n";
        }
    }
}

Expected<void> StreamSession::navigate(const StreamSetup& setup, const std::vector<MarkerSource>& sources,
                                       std::ostream& err) {
    const TrackingStream* tracking = trackingStream();
    const auto* optical = dynamic_cast<const OpticalTrackingInterface*>(m_stream.get());
    const GeometryIdOf geometryIdOf = [optical](const std::string& id) -> std::optional<std::uint32_t> {
        const auto marker = optical != nullptr ? optical->trackingMarker(id) : nullptr;
        return marker ? marker->markerId : std::nullopt;
    };
    m_markers =
        recordedMarkers(tracking != nullptr ? tracking->instruments() : std::vector<TrackingInstrument>(),
                        sources, geometryIdOf);
    // The instruments the stream made may differ from the files' (a workspace's marker was skipped).
    auto made =
        makeNavigation({setup.reference, setup.frameName, setup.names}, m_markers, m_imageToReference);
    if (!made) {
        return made.error();
    }
    m_navigation = std::move(*made);
    nameMarkerFields(m_navigation, m_markers);
    writeNavigation(m_navigation, m_markers, err);
    return {};
}

Expected<void> StreamSession::startRecording(const StreamSetup& setup) {
    Record::Recorder::Options options;
    options.path = setup.record;
    options.images = setup.images;
    options.minQuality = setup.minQuality;
    options.markers = m_markers;
    options.navigation = m_navigation;
    // A second signal while the run finishes: the recording ends with the frames it has.
    options.giveUp = [] { return Interrupts::cutShort(); };
    std::string error;
    m_recorder = Record::Recorder::create(options, error);
    if (!m_recorder) {
        return makeError(ErrorKind::BadInput, "cannot record: " + error);
    }
    m_recordPath = setup.record;
    m_outputs.add(m_recorder);  // it finds the frame's camera images in the frame
    return {};
}

std::string StreamSession::replayStopReason() const {
    if (!m_driverReplay) {
        return std::string();
    }
    const ftkReplayState state = m_driverReplay->state();
    return state.phase == FTK_REPLAY_STOPPED ? std::string(state.reason) : std::string();
}

void StreamSession::writeReplayStop(std::ostream& err) const {
    const std::string reason = replayStopReason();
    if (!reason.empty()) {
        err << "halvoren: the replay stopped: " << reason << ", after " << m_outputs.frames() << " of "
            << m_replay.frameCount << " frames\n";
    }
}

bool StreamSession::endRun() {
    m_outputs.finish();  // the frames handed over before the cut are all written, counted and recorded
    if (m_health) {
        m_health->pause();  // the stream is closed: no word of staleness after this
    }
    if (m_igtlServer) {
        m_igtlServer->stop();
    }
    if (m_igtlImageServer) {
        m_igtlImageServer->stop();
    }
    if (m_recorder && m_recordError.empty()) {
        std::string error;
        if (!m_recorder->finish(healthFields(m_health->figures()), error)) {
            m_recordError = error.empty() ? std::string("the recording could not be finished") : error;
        }
    }
    return m_recordError.empty();
}

void StreamSession::writeRecordingSummary(std::ostream& out) const {
    if (!m_recorder) {
        return;
    }
    out << "recorded " << m_recorder->framesRecorded() << " frames to " << m_recordPath << '\n';
    if (m_recorder->framesDropped() != 0) {
        out << "frames not recorded: " << m_recorder->framesDropped() << " (the disk could not keep up)\n";
    }
    if (m_recorder->framesGivenUp() != 0) {
        out << "frames not recorded: " << m_recorder->framesGivenUp()
            << " (a second signal cut the finish short)\n";
    }
    if (!m_recordError.empty()) {
        out << "halvoren: the recording failed: " << m_recordError << '\n';
    }
}

Expected<std::string> addMarkerFile(Stream& stream, const std::string& path) {
    auto* optical = dynamic_cast<OpticalTrackingInterface*>(&stream);
    if (optical == nullptr) {
        return makeError(ErrorKind::BadInput, "the stream takes no markers");
    }
    // The stream logs why it refuses a file.
    std::string id = optical->addTrackingMarker(std::filesystem::path(path).stem().string(), path);
    if (id.empty()) {
        return makeError(ErrorKind::BadInput, "cannot use the marker file " + path);
    }
    return id;
}

void StreamSession::writeIgtlSummary(std::ostream& out) const {
    if (m_igtlServer) {
        writeIgtlClients(out, "OpenIGTLink clients ", *m_igtlServer);
    }
    if (m_igtlImageServer) {
        writeIgtlClients(out, "OpenIGTLink image clients ", *m_igtlImageServer);
    }
}

}  // namespace Halvoren::App
