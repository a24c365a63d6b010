#pragma once

#include "host/AlgorithmControllerFactory.h"

#include <memory>

namespace Halvoren {

/// Makes the Atracsys panel for the Atracsys stream algorithm and for no other.
class AtracsysControllerFactory : public AlgorithmControllerFactory {
public:
    AtracsysControllerFactory();
    ~AtracsysControllerFactory() override;

    /// GUI thread. Null for any other algorithm.
    std::unique_ptr<AlgorithmController> createController(Algorithm* algorithm) const override;
};

}  // namespace Halvoren
