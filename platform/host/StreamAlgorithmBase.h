#pragma once

#include "Signal.h"

namespace Halvoren {

class Stream;

/// The part of an algorithm that makes a stream: it hands out the stream it made.
class StreamAlgorithmBase : public SignalReceiver {
public:
    StreamAlgorithmBase() = default;
    ~StreamAlgorithmBase() override;

    /// The stream the algorithm made, or null before it ran.
    virtual Stream* stream() const = 0;
};

}  // namespace Halvoren
