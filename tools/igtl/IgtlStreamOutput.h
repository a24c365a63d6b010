#pragma once
// Feeds an OpenIGTLink server from a host tracking stream: every frame of tracking data, and the images of
// the given image streams. Knows the host's stream data only, so it serves any tracking stream.
// An instrument below the quality gate goes out as not seen, as one out of view does.

#include "igtl/IgtlServer.h"

#include <memory>
#include <vector>

namespace Halvoren {
class SignalConnection;
class Stream;
struct TrackingInstrument;
}  // namespace Halvoren

namespace Halvoren::Igtl {

class IgtlStreamOutput {
public:
    /// Listens to the streams; the server must outlive this object. Destroying it waits for a frame being
    /// handed over on a stream's worker thread, so the streams may go on running. An instrument whose
    /// quality is below `minQuality` counts as not seen (0: no gate).
    IgtlStreamOutput(IgtlServer& server, Stream& tracking, const std::vector<Stream*>& imageStreams,
                     double minQuality = 0.0);
    ~IgtlStreamOutput();
    IgtlStreamOutput(const IgtlStreamOutput&) = delete;
    IgtlStreamOutput& operator=(const IgtlStreamOutput&) = delete;

    /// The frame the clients get for these instruments: named by name, else by id; seen when the
    /// quality is above 0 and passes the gate.
    static TrackingFrame frameOf(const std::vector<TrackingInstrument>& instruments, double minQuality = 0.0);

private:
    std::vector<std::shared_ptr<SignalConnection>> m_connections;
};

}  // namespace Halvoren::Igtl
