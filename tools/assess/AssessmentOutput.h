#pragma once
// The assessment as one of a run's outputs: takes every frame on its own thread and feeds the assessor, so
// that the camera's worker only hands the frame over.

#include "assess/Assessor.h"
#include "output/FrameOutput.h"

#include <atomic>
#include <cstddef>

namespace Halvoren::Assess {

class AssessmentOutput : public Output::FrameOutput {
public:
    static constexpr std::size_t kQueueFrames = 1024;

    AssessmentOutput(const std::vector<TrackerID>& instruments, Assessor::Options options);

    /// The output's thread.
    void take(const Output::FrameItem& item) override;
    /// True: the assessment names the frames it did not assess.
    bool reportsOwnLosses() const override { return true; }

    /// Any thread: the frames taken so far; whether the readings' limit stopped the taking.
    std::size_t frames() const { return m_frames.load(); }
    bool full() const { return m_full.load(); }
    /// Once the run's outputs finished: frames dropped because the queue was full.
    std::uint64_t dropped() const { return queue().counts().dropped; }
    /// Once the run's outputs finished.
    const Assessor& assessor() const { return m_assessor; }

private:
    Assessor m_assessor;  // the output's thread's while the run lasts
    std::atomic<std::size_t> m_frames{0};
    std::atomic<bool> m_full{false};
};

}  // namespace Halvoren::Assess
