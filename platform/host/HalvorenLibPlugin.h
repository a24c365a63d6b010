#pragma once

#include "AlgorithmControllerFactory.h"
#include "AlgorithmFactory.h"
#include "DataAnnotationFactory.h"
#include "PluginBase.h"

#include <memory>

namespace Halvoren {

class ApplicationController;

/// A plug-in that offers algorithms: in init() it hands the host its factories with registerFactories().
/// It owns them and destroys them with itself, so every algorithm and controller they made must be gone
/// before the plug-in is destroyed.
class HalvorenLibPlugin : public PluginBase {
public:
    HalvorenLibPlugin();
    ~HalvorenLibPlugin() override;

    /// The host calls it once after init(); the controller outlives the plug-in.
    virtual void setApplicationController(ApplicationController& controller);
    ApplicationController* applicationController() const { return m_applicationController; }

    /// What init() registered; null before, or when the plug-in registered none of the kind.
    AlgorithmFactory* algorithmFactory() const { return m_algorithmFactory.get(); }
    AlgorithmControllerFactory* controllerFactory() const { return m_controllerFactory.get(); }
    DataAnnotationFactory* annotationFactory() const { return m_annotationFactory.get(); }

protected:
    /// Takes ownership of the factories; any of them may be empty. A second call replaces the first.
    void registerFactories(std::unique_ptr<AlgorithmFactory> algorithmFactory,
                           std::unique_ptr<AlgorithmControllerFactory> controllerFactory,
                           std::unique_ptr<DataAnnotationFactory> annotationFactory);

private:
    std::unique_ptr<AlgorithmFactory> m_algorithmFactory;
    std::unique_ptr<AlgorithmControllerFactory> m_controllerFactory;
    std::unique_ptr<DataAnnotationFactory> m_annotationFactory;
    ApplicationController* m_applicationController = nullptr;
};

}  // namespace Halvoren
