#pragma once

#include "host/OpticalTrackingStreamController.h"

#include <memory>

namespace Halvoren {

class AtracsysRenderer;
class AtracsysTrackingStreamBase;
class StreamIoAlgorithm;

/// The panel of the Atracsys stream algorithm: the host's optical tracking panel, plus the camera views
/// when the stream queries images, and the start of a stream restored as running.
class AtracsysOpticalTrackingController : public OpticalTrackingStreamController {
    Q_OBJECT

public:
    explicit AtracsysOpticalTrackingController(StreamIoAlgorithm* algorithm);
    /// Removes the camera views before the panel goes.
    ~AtracsysOpticalTrackingController() override;

    /// GUI thread. Sets up the host panel, makes the camera views when images are queried (or later, once
    /// they are), and starts a stream that was saved while running.
    void init() override;

    AtracsysTrackingStreamBase* atracsysStream() const { return m_atracsysStream; }
    AtracsysRenderer* renderer() const { return m_renderer.get(); }

private:
    void createRenderer();

    AtracsysTrackingStreamBase* m_atracsysStream = nullptr;
    std::unique_ptr<AtracsysRenderer> m_renderer;
};

}  // namespace Halvoren
