#pragma once

#include "IoAlgorithm.h"
#include "StreamAlgorithmBase.h"

namespace Halvoren {

/// An input algorithm whose output is a live stream.
class StreamIoAlgorithm : public StreamAlgorithmBase, public IoAlgorithm {
public:
    StreamIoAlgorithm() = default;
    ~StreamIoAlgorithm() override;

    /// One output for both bases: the stream, as StreamAlgorithmBase hands it over.
    OwningDataList takeOutput() override { return StreamAlgorithmBase::takeOutput(); }
};

}  // namespace Halvoren
