#include "plugin/AtracsysPlugin.h"

#include "plugin/AtracsysAlgorithmFactory.h"
#include "plugin/AtracsysControllerFactory.h"
#include "plugin/RenameLegacyStreamAlgorithms.h"

#include "host/AlgorithmControllerFactory.h"
#include "host/DataAnnotationFactory.h"
#include "host/WorkspaceConversionRegistry.h"

#include <memory>

namespace Halvoren::SpryTrack {

AtracsysPlugin::~AtracsysPlugin() = default;

std::string AtracsysPlugin::vendor() const {
    return "Halvoren GmbH";
}

std::string AtracsysPlugin::description() const {
    return "Plugin for real-time streaming Atracsys tracking systems";
}

std::vector<std::string> AtracsysPlugin::dependencies() const {
    return {"Halvoren.Stream", "Halvoren.Navigation"};
}

int AtracsysPlugin::init() {
    auto controllerFactory = std::make_unique<AtracsysControllerFactory>();
    auto algorithmFactory = std::make_unique<AtracsysAlgorithmFactory>();
    registerFactories(std::move(algorithmFactory), std::move(controllerFactory), nullptr);
    WorkspaceConversionFunction conversion{"Renamed Atracsys tracking stream to standardized naming scheme",
                                           34, renameLegacyStreamAlgorithms};
    WorkspaceConversionRegistry::instance().addConversion(std::move(conversion));
    return 0;
}

}  // namespace Halvoren::SpryTrack
