#pragma once
// Collects what calibration needs from any host tracking stream, frame by frame: the pose of one
// instrument when it is seen, and the fiducials that no instrument explains.

#include <Eigen/Core>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace Halvoren {
class SignalConnection;
class Stream;
}  // namespace Halvoren

namespace Halvoren::Calibration {

class FrameCollector {
public:
    struct Frame {
        std::optional<Eigen::Matrix4d> pose;          // of the instrument, when seen
        double quality = 0.0;                         // of the instrument
        std::vector<Eigen::Vector3d> looseFiducials;  // explained by no instrument
        std::vector<Eigen::Vector3d> fiducials;       // all the frame reports
    };

    /// Listens to the stream's data; `instrumentId` may be empty when no pose is wanted.
    FrameCollector(Stream& stream, std::string instrumentId);
    /// Waits for a frame being handed over on the worker thread; the stream may go on running.
    ~FrameCollector();
    FrameCollector(const FrameCollector&) = delete;
    FrameCollector& operator=(const FrameCollector&) = delete;

    /// Control thread: waits until `count` frames arrived (true), the time-out passed or `keepWaiting`
    /// says no (false); calls `progress` with the number so far about four times a second.
    bool waitFor(std::size_t count, std::chrono::milliseconds timeout,
                 const std::function<void(std::size_t)>& progress = {},
                 const std::function<bool()>& keepWaiting = {});
    /// The frames collected so far, handed over.
    std::vector<Frame> take();

private:
    std::mutex m_mutex;  // guards m_frames
    std::condition_variable m_arrived;
    std::vector<Frame> m_frames;
    std::shared_ptr<SignalConnection> m_connection;
};

}  // namespace Halvoren::Calibration
