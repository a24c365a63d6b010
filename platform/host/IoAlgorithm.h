#pragma once

#include "Algorithm.h"

namespace Halvoren {

/// An algorithm that brings data into the host from outside (files, devices) rather than from data the
/// host already holds.
class IoAlgorithm : public Algorithm {
public:
    IoAlgorithm() = default;
    ~IoAlgorithm() override;
};

}  // namespace Halvoren
