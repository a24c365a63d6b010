#pragma once

#include "host/AlgorithmFactory.h"

namespace Halvoren {

/// Offers the host the Atracsys stream algorithm, "Atracsys.SpryTrackStream", which makes the tracking
/// stream when run. Every query is the host factory's.
class AtracsysAlgorithmFactory : public AlgorithmFactory {
public:
    AtracsysAlgorithmFactory();
    ~AtracsysAlgorithmFactory() override;
};

}  // namespace Halvoren
