#pragma once

#include "IoAlgorithm.h"
#include "StreamAlgorithmBase.h"

namespace Halvoren {

/// An input algorithm whose output is a live stream.
class StreamIoAlgorithm : public StreamAlgorithmBase, public IoAlgorithm {
public:
    StreamIoAlgorithm() = default;
    ~StreamIoAlgorithm() override;
};

}  // namespace Halvoren
