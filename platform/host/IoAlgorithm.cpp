#include "IoAlgorithm.h"

namespace Halvoren {

IoAlgorithm::~IoAlgorithm() = default;

}  // namespace Halvoren
