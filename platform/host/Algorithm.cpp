#include "Algorithm.h"

namespace Halvoren {

Algorithm::~Algorithm() = default;

}  // namespace Halvoren
