#pragma once

#include "OwningDataList.h"
#include "Signal.h"

namespace Halvoren {

class Stream;
class StreamGroupBase;

/// The part of an algorithm that makes a stream: it hands out the stream it made, and hands over its
/// ownership with takeOutput().
class StreamAlgorithmBase : public SignalReceiver {
public:
    StreamAlgorithmBase() = default;
    ~StreamAlgorithmBase() override;

    /// The stream the algorithm made, or null before it ran.
    virtual Stream* stream() const = 0;
    /// The stream as a stream group, when it is one; otherwise null.
    virtual StreamGroupBase* dataGroup() const;
    /// Hands the stream to the caller, who owns it from now on, and sets the ownership mark. Empty when
    /// there is no stream or it was already taken.
    virtual OwningDataList takeOutput();
    /// Lets go of the stream: an algorithm that owns its stream destroys it unless the ownership mark says
    /// the stream was taken; either way it then holds none and clears the mark. The base only clears it.
    virtual void releaseStream() { setStreamOwnershipTaken(false); }

    /// Whether takeOutput() handed the current stream over.
    bool streamOwnershipTaken() const { return m_streamOwnershipTaken; }

protected:
    void setStreamOwnershipTaken(bool taken) { m_streamOwnershipTaken = taken; }

private:
    bool m_streamOwnershipTaken = false;
};

}  // namespace Halvoren
