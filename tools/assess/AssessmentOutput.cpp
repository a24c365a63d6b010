#include "assess/AssessmentOutput.h"

#include "host/TrackingStream.h"

#include <chrono>

namespace Halvoren::Assess {

AssessmentOutput::AssessmentOutput(const std::vector<TrackerID>& instruments, Assessor::Options options)
    : FrameOutput("assessment", {Output::DropPolicy::EveryFrame, kQueueFrames}),
      m_assessor(instruments, std::move(options)) {}

// The output's thread.
void AssessmentOutput::take(const Output::FrameItem& item) {
    if (item.kind != Output::FrameItem::Kind::Frame || m_full.load()) {
        return;
    }
    const auto& components = item.tracking->components();
    // The camera's exposure stamp times the readings; without one, the hand-over's time.
    const auto* info = components.get<TrackingFrameInfoData>();
    const double seconds =
        info != nullptr && info->exposureUs != 0
            ? static_cast<double>(info->exposureUs) * 1e-6
            : std::chrono::duration<double>(item.handedOverSystem.time_since_epoch()).count();
    static const std::map<std::string, float> kNoErrors;
    const auto* registration = components.get<TrackingRegistrationData>();
    if (!m_assessor.addFrame(item.tracking->instruments(), registration ? registration->errorsMm : kNoErrors,
                             seconds)) {
        m_full.store(true);
        return;
    }
    m_frames.store(m_assessor.frames());
}

}  // namespace Halvoren::Assess
