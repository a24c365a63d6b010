#pragma once
// A stream group: the main stream plus substreams whose data a frame delivers together. Substreams can be
// added and removed while the worker thread emits; a removed substream is destroyed only at the end of
// the next emission, so data that may still refer to it stays valid.

#include "host/Log.h"
#include "host/StreamGroupBase.h"

#include <memory>
#include <mutex>
#include <vector>

namespace Halvoren {

template <typename Main>
class StreamGroup : public StreamGroupBase {
public:
    StreamGroup() = default;
    StreamGroup(StreamGroup&& other);
    StreamGroup& operator=(StreamGroup&& other);
    ~StreamGroup() override;

    DataList children() const override;
    Stream* proxyStream() override;
    std::vector<Stream*> substreams() const override;

protected:
    bool addSubstream(std::unique_ptr<SubstreamBase> substream) override;
    /// From any thread; off the main thread the removal is queued to it.
    bool removeSubstream(Stream* stream) override;
    /// Worker thread: emits the main data, the compound data, then each substream datum, and destroys the
    /// substreams removed since the last call.
    void emitMainAndSubSignals(std::shared_ptr<const CompoundStreamData> data, bool emitSubstreams);

private:
    // Main thread.
    void removeSubstreamImpl(Stream* stream);

    mutable std::mutex m_mutex;  // guards the three lists only; no signal is emitted while it is held
    std::vector<std::unique_ptr<SubstreamBase>> m_substreamOwners;
    std::vector<Stream*> m_substreamList;
    std::vector<std::unique_ptr<SubstreamBase>> m_removedSubstreams;
};

}  // namespace Halvoren

// Template definitions follow.
