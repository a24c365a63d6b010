#pragma once
// A stream group: the main stream plus substreams whose data a frame delivers together. Substreams can be
// added and removed while the worker thread emits; a removed substream is destroyed only at the end of
// the next emission, so data that may still refer to it stays valid.

#include "host/Log.h"
#include "host/StreamGroupBase.h"
#include "host/TrackingStream.h"
#include "host/Utilities.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace Halvoren {

template <typename Main>
class StreamGroup : public StreamGroupBase {
public:
    StreamGroup() = default;
    StreamGroup(StreamGroup&& other);
    StreamGroup& operator=(StreamGroup&& other);
    ~StreamGroup() override;

    /// Any thread; a copy taken under the group mutex.
    DataList children() const override;
    /// Any thread, no lock.
    Stream* proxyStream() override;
    /// Any thread; a copy taken under the group mutex.
    std::vector<Stream*> substreams() const override;

protected:
    /// Any thread; group mutex, the added signal after it is released.
    bool addSubstream(std::unique_ptr<SubstreamBase> substream) override;
    /// Any thread; off the main thread the removal is queued to it. Group mutex for the look-up only.
    bool removeSubstream(Stream* stream) override;
    /// Worker thread: emits the main data, the compound data, then each substream datum, and destroys the
    /// substreams removed since the last call. No lock during the emissions; group mutex for the purge.
    void emitMainAndSubSignals(std::shared_ptr<const CompoundStreamData> data, bool emitSubstreams);

private:
    using Owners = std::vector<std::unique_ptr<SubstreamBase>>;

    /// What a removal queued to the main thread acts on. The group clears it when it dies, so a removal
    /// that runs after the group is gone does nothing.
    struct RemovalTarget {
        explicit RemovalTarget(StreamGroup* g) : group(g) {}
        std::mutex mutex;  // guards group; taken before the group's own mutex
        StreamGroup* group;
    };

    // Main thread. The removed signal first, then the lists change under the group mutex.
    void removeSubstreamImpl(Stream* stream);
    /// Destroys the substreams one by one, in order. Destruction closes a substream and so emits its state
    /// signal: never call this with the group mutex held.
    static void destroySubstreams(Owners& owners);

    mutable std::mutex m_mutex;  // guards the three lists only; no signal is emitted while it is held
    Owners m_substreamOwners;
    std::vector<Stream*> m_substreamList;
    Owners m_removedSubstreams;
    std::shared_ptr<RemovalTarget> m_removalTarget = std::make_shared<RemovalTarget>(this);
};

}  // namespace Halvoren

// Template definitions follow.

namespace Halvoren {

template <typename Main>
StreamGroup<Main>::StreamGroup(StreamGroup&& other) : StreamGroup() {
    *this = std::move(other);
}

template <typename Main>
StreamGroup<Main>& StreamGroup<Main>::operator=(StreamGroup&& other) {
    if (&other == this) {
        return *this;
    }
    Owners oldOwners;
    Owners oldRemoved;
    {
        // Always the destination's lock first, then the source's.
        std::lock_guard<std::mutex> lock(m_mutex);
        std::lock_guard<std::mutex> otherLock(other.m_mutex);
        oldOwners = std::move(m_substreamOwners);
        oldRemoved = std::move(m_removedSubstreams);
        m_substreamOwners = std::move(other.m_substreamOwners);
        m_substreamList = std::move(other.m_substreamList);
        m_removedSubstreams = std::move(other.m_removedSubstreams);
        other.m_substreamOwners.clear();
        other.m_substreamList.clear();
        other.m_removedSubstreams.clear();
        for (auto& owner : m_substreamOwners) {
            owner->setParent(this);
        }
        for (auto& owner : m_removedSubstreams) {
            owner->setParent(this);
        }
    }
    // Our former substreams close themselves when destroyed; that emits, so it waits for the unlock.
    destroySubstreams(oldRemoved);
    destroySubstreams(oldOwners);
    return *this;
}

template <typename Main>
StreamGroup<Main>::~StreamGroup() {
    {
        // Waits for a queued removal that is running right now; later ones find no group.
        std::lock_guard<std::mutex> lock(m_removalTarget->mutex);
        m_removalTarget->group = nullptr;
    }
    destroySubstreams(m_removedSubstreams);
    m_substreamList.clear();
    destroySubstreams(m_substreamOwners);
}

// Any thread.
template <typename Main>
DataList StreamGroup<Main>::children() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return DataList(m_substreamList.begin(), m_substreamList.end());
}

// Any thread.
template <typename Main>
Stream* StreamGroup<Main>::proxyStream() {
    return static_cast<Main*>(this);
}

// Any thread.
template <typename Main>
std::vector<Stream*> StreamGroup<Main>::substreams() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_substreamList;
}

// Any thread.
template <typename Main>
bool StreamGroup<Main>::addSubstream(std::unique_ptr<SubstreamBase> substream) {
    if (!substream) {
        return false;
    }
    if (substream->parent() != this) {
        HALVOREN_LOG(Log::Warning, "StreamGroup", "Substream parent must be equivalent to this stream group");
        substream.reset();
        return false;
    }
    Stream* stream = &substream->stream();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_substreamOwners.push_back(std::move(substream));
        m_substreamList.push_back(stream);
    }
    signalSubstreamAdded.emitSignal(stream);
    return true;
}

// Any thread.
template <typename Main>
bool StreamGroup<Main>::removeSubstream(Stream* stream) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (std::find(m_substreamList.begin(), m_substreamList.end(), stream) == m_substreamList.end()) {
            HALVOREN_LOG(Log::Warning, "StreamGroup", "Removal of substream failed. Substream not found.");
            return false;
        }
    }
    if (QtHelpers::isMainThread()) {
        removeSubstreamImpl(stream);
    } else {
        // The handle is dropped: the removal runs on the main thread whenever it gets there.
        QtHelpers::runOnMainThread(
            [target = m_removalTarget, stream] {
                std::lock_guard<std::mutex> lock(target->mutex);
                if (target->group != nullptr) {
                    target->group->removeSubstreamImpl(stream);
                }
            },
            0);
    }
    return true;
}

// Main thread.
template <typename Main>
void StreamGroup<Main>::removeSubstreamImpl(Stream* stream) {
    // Only the main thread takes streams out of the list, so the answer holds until the removal below.
    // A second queued removal of the same stream must not announce a stream that may already be destroyed.
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (std::find(m_substreamList.begin(), m_substreamList.end(), stream) == m_substreamList.end()) {
            return;
        }
    }
    signalSubstreamRemoved.emitSignal(stream);

    std::lock_guard<std::mutex> lock(m_mutex);
    m_substreamList.erase(std::remove(m_substreamList.begin(), m_substreamList.end(), stream),
                          m_substreamList.end());
    Owners kept;
    for (auto& owner : m_substreamOwners) {
        if (&owner->stream() == stream) {
            m_removedSubstreams.push_back(std::move(owner));
        } else {
            kept.push_back(std::move(owner));
        }
    }
    m_substreamOwners = std::move(kept);
}

// Worker thread.
template <typename Main>
void StreamGroup<Main>::emitMainAndSubSignals(std::shared_ptr<const CompoundStreamData> data,
                                              bool emitSubstreams) {
    if (data) {
        if (const auto& mainData = data->proxyStreamData()) {
            proxyStream()->signalStreamData.emitSignal(mainData);
        }
        signalCompoundData.emitSignal(data);
        if (emitSubstreams) {
            for (const auto& element : data->substreamsStreamData()) {
                // A datum that names no stream has nowhere to go.
                if (!element || element->stream() == nullptr) {
                    continue;
                }
                // The substreams a frame refers to live at least until the purge below.
                auto* stream = const_cast<Stream*>(element->stream());
                const auto* tracking = dynamic_cast<const TrackingStreamData*>(element.get());
                auto* trackingSubstream = dynamic_cast<TrackingSubstream*>(stream);
                if (tracking != nullptr && trackingSubstream != nullptr) {
                    trackingSubstream->setInstruments(tracking->instruments());
                }
                stream->signalStreamData.emitSignal(element);
            }
        }
    }

    Owners removed;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        removed.swap(m_removedSubstreams);
    }
    destroySubstreams(removed);
}

template <typename Main>
void StreamGroup<Main>::destroySubstreams(Owners& owners) {
    for (auto& owner : owners) {
        owner.reset();
    }
    owners.clear();
}

}  // namespace Halvoren
