#include "StreamIoAlgorithm.h"

namespace Halvoren {

StreamIoAlgorithm::~StreamIoAlgorithm() = default;

}  // namespace Halvoren
