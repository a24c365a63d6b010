#include "HalvorenLibPlugin.h"

#include "AlgorithmControllerFactory.h"
#include "AlgorithmFactory.h"
#include "DataAnnotationFactory.h"

namespace Halvoren {

HalvorenLibPlugin::HalvorenLibPlugin() = default;

HalvorenLibPlugin::~HalvorenLibPlugin() = default;

void HalvorenLibPlugin::setApplicationController(ApplicationController& controller) {
    m_applicationController = &controller;
}

void HalvorenLibPlugin::registerFactories(std::unique_ptr<AlgorithmFactory> algorithmFactory,
                                          std::unique_ptr<AlgorithmControllerFactory> controllerFactory,
                                          std::unique_ptr<DataAnnotationFactory> annotationFactory) {
    m_algorithmFactory = std::move(algorithmFactory);
    m_controllerFactory = std::move(controllerFactory);
    m_annotationFactory = std::move(annotationFactory);
}

}  // namespace Halvoren
