#pragma once
// The pointer's tip in the reference's frame, frame by frame, for a command that waits for touches: one
// of the run's outputs, drained by the waiting thread, which runs the navigation chain; the worker only
// hands the frames over.

#include "halvoren/outputs/QueueWaker.h"

#include "navigation/NavigationFrame.h"
#include "output/FrameOutput.h"

#include <Eigen/Core>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace Halvoren::App {

class TipSampler : public Output::FrameOutput {
public:
    struct Sample {
        double seconds = 0.0;                // when the frame was handed over (steady clock)
        std::optional<Eigen::Vector3d> tip;  // none when the pointer or the reference was not seen
    };

    /// `navigation` relative to the reference, with the pointer's tip; `pointerId` the pointer's ID.
    /// `wake` (the worker's, now and then) tells the waiting thread that there are frames to take.
    TipSampler(Navigation::NavigationFrame navigation, std::string pointerId, double minQuality,
               std::function<void()> wake = {});

    void take(const Output::FrameItem& item) override;
    void queued() override { m_waker.queued(); }
    /// The waiting thread: the next frame's sample, or nothing when none came within `timeout`.
    std::optional<Sample> next(std::chrono::milliseconds timeout);

private:
    const Navigation::NavigationFrame m_navigation;
    const std::string m_pointerId;
    const double m_minQuality;
    std::vector<Navigation::FramePose> m_poses;  // reused
    std::optional<Sample> m_taken;
    QueueWaker m_waker;
};

}  // namespace Halvoren::App
