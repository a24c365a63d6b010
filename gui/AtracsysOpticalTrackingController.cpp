#include "gui/AtracsysOpticalTrackingController.h"

#include "gui/AtracsysRenderer.h"
#include "stream/AtracsysTrackingStreamBase.h"

#include "host/DisplayWidgetMulti.h"
#include "host/StreamIoAlgorithm.h"

namespace Halvoren {

AtracsysOpticalTrackingController::AtracsysOpticalTrackingController(StreamIoAlgorithm* algorithm)
    : OpticalTrackingStreamController(algorithm) {}

AtracsysOpticalTrackingController::~AtracsysOpticalTrackingController() {
    // No late renderer may be made while the views are taken down.
    SignalReceiver::disconnectAll();
    m_renderer.reset();
}

void AtracsysOpticalTrackingController::init() {
    OpticalTrackingStreamController::init();
    m_atracsysStream = dynamic_cast<AtracsysTrackingStreamBase*>(stream());
    if (m_atracsysStream == nullptr) {
        // Not a stream of ours (or none): the host panel alone serves.
        return;
    }
    if (m_atracsysStream->queryImages() && displayWidget() != nullptr) {
        createRenderer();
    }
    // Images may be switched on later: the views appear then, and stay when they are switched off again.
    m_atracsysStream->signalParametersChanged.connect(this, [this] {
        if (m_atracsysStream->queryImages() && displayWidget() != nullptr && !m_renderer) {
            createRenderer();
        }
    });
    if (m_atracsysStream->startAfterInit() && m_atracsysStream->isInitialized() &&
        !m_atracsysStream->isStateOneOf({Stream::Starting, Stream::Running})) {
        m_atracsysStream->start();
    }
}

void AtracsysOpticalTrackingController::createRenderer() {
    m_renderer.reset();  // its views go before the new ones are made
    m_renderer = std::make_unique<AtracsysRenderer>(*m_atracsysStream, *displayWidget());
}

}  // namespace Halvoren
