#pragma once
// The run's tracking health as one of its outputs: every frame counted on the output's own thread, at the
// time the worker handed it over, so that the accounting never holds up the camera.

#include "health/TrackingHealth.h"
#include "output/FrameOutput.h"

namespace Halvoren::Health {

class HealthOutput : public Output::FrameOutput {
public:
    /// The health must outlive the output's thread.
    explicit HealthOutput(TrackingHealth& health);

    /// The output's thread: counts a frame.
    void take(const Output::FrameItem& item) override;
    /// The output's thread: the run is over; later data is not counted.
    void end() override;

private:
    TrackingHealth& m_health;
};

}  // namespace Halvoren::Health
