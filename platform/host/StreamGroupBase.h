#pragma once

#include "Data.h"
#include "Signal.h"
#include "Stream.h"
#include "TrackingInstrument.h"

#include <memory>
#include <vector>

namespace Halvoren {

class StreamGroupBase;

/// A stream that lives inside a stream group and is controlled through the group's main stream.
class SubstreamBase {
public:
    explicit SubstreamBase(StreamGroupBase& parent) : m_parent(&parent) {}
    SubstreamBase(const SubstreamBase&) = delete;
    SubstreamBase& operator=(const SubstreamBase&) = delete;
    virtual ~SubstreamBase() = default;

    /// The substream as a stream.
    virtual Stream& stream() = 0;
    StreamGroupBase* parent() const { return m_parent; }
    void setParent(StreamGroupBase* parent) { m_parent = parent; }

private:
    StreamGroupBase* m_parent;
};

/// A substream that delivers tracking data; the group hands it the instruments of its data.
class TrackingSubstream {
public:
    virtual ~TrackingSubstream() = default;
    virtual void setInstruments(const std::vector<TrackingInstrument>& instruments) = 0;
};

/// A group of streams: a main stream and its substreams, whose data arrive together.
class StreamGroupBase : public CompoundData, public SignalReceiver {
public:
    StreamGroupBase() = default;
    StreamGroupBase(const StreamGroupBase&) = delete;
    StreamGroupBase& operator=(const StreamGroupBase&) = delete;
    ~StreamGroupBase() override = default;

    /// The stream that contains the group.
    virtual Stream* proxyStream() = 0;
    virtual std::vector<Stream*> substreams() const = 0;

    SignalImpl<Stream*> signalSubstreamAdded;
    SignalImpl<Stream*> signalSubstreamRemoved;
    SignalImpl<const std::shared_ptr<const CompoundStreamData>&> signalCompoundData;

protected:
    virtual bool addSubstream(std::unique_ptr<SubstreamBase> substream) = 0;
    virtual bool removeSubstream(Stream* stream) = 0;
};

}  // namespace Halvoren
