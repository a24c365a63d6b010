#include "plugin/AtracsysControllerFactory.h"

#include "plugin/AtracsysStreamAlgorithm.h"

#include "gui/AtracsysOpticalTrackingController.h"

#include <new>

namespace Halvoren {

AtracsysControllerFactory::AtracsysControllerFactory() : AlgorithmControllerFactory("Atracsys") {}

AtracsysControllerFactory::~AtracsysControllerFactory() = default;

std::unique_ptr<AlgorithmController> AtracsysControllerFactory::createController(Algorithm* algorithm) const {
    auto* streamAlgorithm = dynamic_cast<AtracsysStreamAlgorithm*>(algorithm);
    if (streamAlgorithm == nullptr) {
        return nullptr;
    }
    return std::unique_ptr<AlgorithmController>(new (std::nothrow)
                                                    AtracsysOpticalTrackingController(streamAlgorithm));
}

}  // namespace Halvoren
