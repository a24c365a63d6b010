#pragma once
// The tracking stream as the application runs it: made by a loaded plug-in's stream algorithm, configured
// from a workspace or the command's options, and taken over from the algorithm once it has run.

#include "halvoren/StreamSetup.h"

#include "host/Algorithm.h"
#include "host/Properties.h"
#include "host/Stream.h"

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace Halvoren::Igtl {
class IgtlServer;
class IgtlStreamOutput;
}  // namespace Halvoren::Igtl

namespace Halvoren {
class PluginManager;
class TrackingStream;
}  // namespace Halvoren

namespace Halvoren::App {

/// The algorithm that makes the tracking stream.
constexpr const char* kStreamAlgorithm = "Atracsys.SpryTrackStream";

/// Reads a workspace file (running the workspace conversions it needs) and gives the stream's settings:
/// the block Algorithms/<kStreamAlgorithm>, or the whole root when the workspace has no "Algorithms".
/// Relative marker paths are taken relative to the workspace's folder. False with the reason otherwise.
bool readStreamSettings(const std::string& path, Properties& settings, std::string& error);

class StreamSession {
public:
    /// The plug-ins must outlive the session: the algorithm and the stream are their code.
    explicit StreamSession(PluginManager& plugins);
    /// Closes the stream, then destroys the algorithm and the stream.
    ~StreamSession();
    StreamSession(const StreamSession&) = delete;
    StreamSession& operator=(const StreamSession&) = delete;

    /// Control thread. Sets the log level, creates the stream algorithm, configures it from the workspace
    /// and the options, runs it (which opens the camera), takes the stream and adds the markers. With
    /// `startWithPanel` the stream is left for the controller panel to start. On failure writes the
    /// reason, sets the exit code and returns false.
    bool create(const StreamSetup& setup, bool startWithPanel, std::ostream& err, int& exitCode);

    Algorithm* algorithm() const { return m_algorithm.get(); }
    /// Valid after a successful create().
    Stream& stream() const { return *m_stream; }
    /// The stream as tracking stream, when it is one.
    TrackingStream* trackingStream() const;
    /// The OpenIGTLink server, when the set-up asked for one.
    Igtl::IgtlServer* igtlServer() const { return m_igtlServer.get(); }
    /// Disconnects the OpenIGTLink clients once the stream is closed; the summary stays.
    void stopIgtl();
    /// One line per OpenIGTLink client: frames sent and dropped, and how it left; the clients that left
    /// before the last few summed up in one line.
    void writeIgtlSummary(std::ostream& out) const;

private:
    /// Configures and runs the algorithm (which opens the camera) and takes the stream it made.
    bool makeStream(Properties& settings, std::ostream& err, int& exitCode);
    /// Adds the marker files to the stream; refuses a workspace none of whose markers loaded, and a
    /// camera that did not open.
    bool registerMarkers(std::size_t workspaceMarkerCount, const std::vector<std::string>& markers,
                         std::ostream& err, int& exitCode);
    /// Serves the stream to OpenIGTLink clients.
    bool startIgtl(const StreamSetup& setup, std::ostream& err);

    PluginManager& m_plugins;
    std::unique_ptr<Algorithm> m_algorithm;
    std::unique_ptr<Stream> m_stream;
    std::unique_ptr<Igtl::IgtlServer> m_igtlServer;
    std::unique_ptr<Igtl::IgtlStreamOutput> m_igtlOutput;
};

}  // namespace Halvoren::App
