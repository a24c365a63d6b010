#include "plugin/AtracsysAlgorithmFactory.h"

#include "plugin/AtracsysStreamAlgorithm.h"

#include <string>

namespace Halvoren {

AtracsysAlgorithmFactory::AtracsysAlgorithmFactory() : AlgorithmFactory("Atracsys") {
    const std::string model = "SpryTrack";
    registerAlgorithm<AtracsysStreamAlgorithm>(model + "Stream", "IO;Atracsys Tracking;" + model, 0);
}

AtracsysAlgorithmFactory::~AtracsysAlgorithmFactory() = default;

}  // namespace Halvoren
