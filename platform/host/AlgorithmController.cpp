#include "AlgorithmController.h"

namespace Halvoren {

AlgorithmController::~AlgorithmController() = default;

}  // namespace Halvoren
