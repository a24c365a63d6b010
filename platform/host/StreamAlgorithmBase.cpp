#include "StreamAlgorithmBase.h"

namespace Halvoren {

StreamAlgorithmBase::~StreamAlgorithmBase() = default;

}  // namespace Halvoren
