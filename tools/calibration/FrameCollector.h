#pragma once
// Collects what calibration needs from any host tracking stream, frame by frame: the pose of one
// instrument when it is seen, and the fiducials that no instrument explains. One of the run's outputs,
// drained by the thread that waits for the frames: the worker only hands them over.

#include "output/FrameOutput.h"

#include <Eigen/Core>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Halvoren::Calibration {

class FrameCollector : public Output::FrameOutput {
public:
    struct Frame {
        std::optional<Eigen::Matrix4d> pose;          // of the instrument, when seen
        double quality = 0.0;                         // of the instrument
        std::vector<Eigen::Vector3d> looseFiducials;  // explained by no instrument
        std::vector<Eigen::Vector3d> fiducials;       // all the frame reports
    };

    /// `instrumentId` may be empty when no pose is wanted.
    explicit FrameCollector(std::string instrumentId);

    /// The waiting thread (drain()): one frame collected.
    void take(const Output::FrameItem& item) override;

    /// Control thread: takes the frames handed over until `count` frames arrived (true), the time-out
    /// passed or `keepWaiting` says no (false); calls `progress` with the number so far about four times
    /// a second.
    bool waitFor(std::size_t count, std::chrono::milliseconds timeout,
                 const std::function<void(std::size_t)>& progress = {},
                 const std::function<bool()>& keepWaiting = {});
    /// Control thread: the frames collected so far, handed over.
    std::vector<Frame> takeFrames();
    /// Control thread: how many frames were collected (taken from the queue) so far.
    std::size_t collected() const { return m_frames.size(); }

private:
    const std::string m_instrumentId;
    std::vector<Frame> m_frames;  // the control thread's
};

}  // namespace Halvoren::Calibration
