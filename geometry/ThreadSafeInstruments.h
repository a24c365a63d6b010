#pragma once
// The instrument registry: every instrument the stream reports, with an optional special object of the
// plug-in's own kind beside it. One non-recursive lock guards everything and is held by every operation
// for its whole duration; callbacks run under it and must not call back into the registry. Callers that
// also hold the driver lock take it first.

#include "host/Log.h"
#include "host/TrackingInstrument.h"

#include <cstdint>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace Halvoren {

template <typename T>
class ThreadSafeInstruments : public ThreadSafeInstrumentsBase {
public:
    using TypedCallback =
        std::function<void(const std::string& id, TrackingInstrument& instrument, T& special)>;
    using SpecialCallback = std::function<void(const std::string& id, T& special)>;

    ThreadSafeInstruments() = default;
    ~ThreadSafeInstruments() override = default;

    std::vector<TrackingInstrument> instruments() const override;
    std::optional<TrackingInstrument> mainInstrument() const override;
    InstrumentModifications setMainByIndex(std::uint32_t index) override;
    InstrumentModifications setMainById(const std::string& id) override;
    std::uint32_t mainIndex() const override;
    std::string mainId() const override;
    std::string mainName() const override;
    void setActive(const std::string& id, bool active) override;
    bool isActive(const std::string& id) const override;
    InstrumentModifications create(TrackerID id, bool active) override;
    InstrumentModifications create(const std::string& idBase, const std::string& name,
                                   const std::string& modelNumber, bool active) override;
    InstrumentModifications remove(const std::string& id) override;
    InstrumentModifications clear() override;
    InstrumentModifications resetAll(std::uint64_t timestamp) override;
    InstrumentModifications update(const std::string& id, const Eigen::Matrix4d& pose, double quality,
                                   std::uint64_t timestamp, std::uint32_t state) override;
    InstrumentModifications modify(const std::string& id, const Callback& callback) override;
    InstrumentModifications modifyAll(const Callback& callback) override;
    std::int32_t size() const override;
    std::optional<TrackingInstrument> instrument(const std::string& id) const override;

    // Typed operations.
    InstrumentModifications create(TrackerID id, std::unique_ptr<T> special, bool active);
    InstrumentModifications modify(const std::string& id, const TypedCallback& callback);
    void modify(const std::string& id, const SpecialCallback& callback);
    void modifyAll(const SpecialCallback& callback);
    std::map<std::string, std::unique_ptr<T>> specialObjects() const;
    /// A copy of the entry's special object; null when there is no such entry or it has none.
    std::unique_ptr<T> specialObject(const std::string& id) const;
    /// Every instrument in ID order with a copy of its special object (null when it has none): one
    /// snapshot, so no entry is seen without its special object or the other way round.
    std::vector<std::pair<TrackingInstrument, std::unique_ptr<T>>> instrumentsWithSpecialObjects() const;

    /// Position of the ID in ID order (what an index into instruments() would be), or -1 when no entry
    /// has it. Lets a frame find instrument indices without copying the whole list per fiducial.
    std::int32_t indexOf(const std::string& id) const;

private:
    struct InstrumentEntry {
        TrackingInstrument instrument;
        std::unique_ptr<T> special;
    };

    // The helpers below expect m_mutex to be held by the caller.
    InstrumentModifications createLocked(TrackerID id, std::unique_ptr<T> special, bool active);
    InstrumentModifications setMainLocked(const std::string& id);
    std::uint32_t positionLocked(const std::string& id) const;
    /// After an insertion or removal: the main index names the main entry's position again.
    void keepMainIndexLocked();
    // Calls the callback on the live instrument and checks what it changed against a copy.
    template <typename Call>
    static InstrumentModifications modifyChecked(TrackingInstrument& instrument, Call&& call);

    // Guards m_entries, m_mainId and m_mainIndex. Taken by every operation for its whole duration, after
    // the driver lock when the caller holds that; callbacks run under it, the registry takes no other lock.
    mutable std::mutex m_mutex;
    std::map<std::string, InstrumentEntry> m_entries;
    std::string m_mainId;
    std::uint32_t m_mainIndex = 0;
};

}  // namespace Halvoren

// Template definitions follow.

namespace Halvoren {

namespace ThreadSafeInstrumentsDetail {

inline const char* const category = "ThreadSafeInstruments";

/// Exact comparison of the data members (pose, quality, time stamp, state word); a NaN always differs.
inline bool dataDiffers(const TrackingInstrument& a, const TrackingInstrument& b) {
    if (a.timestamp != b.timestamp || a.quality != b.quality || a.state != b.state) {
        return true;
    }
    for (Eigen::Index i = 0; i < a.pose.size(); ++i) {
        if (a.pose.data()[i] != b.pose.data()[i]) {
            return true;
        }
    }
    return false;
}

}  // namespace ThreadSafeInstrumentsDetail

template <typename T>
std::vector<TrackingInstrument> ThreadSafeInstruments<T>::instruments() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<TrackingInstrument> result;
    result.reserve(m_entries.size());
    for (const auto& entry : m_entries) {
        result.push_back(entry.second.instrument);
    }
    return result;
}

template <typename T>
std::optional<TrackingInstrument> ThreadSafeInstruments<T>::mainInstrument() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_entries.find(m_mainId);
    if (it == m_entries.end()) {
        return std::nullopt;
    }
    return it->second.instrument;
}

template <typename T>
InstrumentModifications ThreadSafeInstruments<T>::setMainByIndex(std::uint32_t index) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (index == m_mainIndex) {
        return {};
    }
    if (index < m_entries.size()) {
        m_mainIndex = index;
        return setMainLocked(std::next(m_entries.begin(), index)->first);
    }
    if (m_entries.empty()) {
        m_mainIndex = index;
        return InstrumentModification::MainChanged;
    }
    HALVOREN_LOG(Log::Error, ThreadSafeInstrumentsDetail::category,
                 "Index " << index << " exceeds size of instruments");
    return {};
}

template <typename T>
InstrumentModifications ThreadSafeInstruments<T>::setMainById(const std::string& id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (id == m_mainId) {
        return {};
    }
    if (m_entries.count(id) == 0) {
        HALVOREN_LOG(Log::Error, ThreadSafeInstrumentsDetail::category,
                     "setMainById: Instrument with ID " << id << " not found");
        return {};
    }
    return setMainLocked(id);
}

template <typename T>
std::uint32_t ThreadSafeInstruments<T>::mainIndex() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_mainIndex;
}

template <typename T>
std::string ThreadSafeInstruments<T>::mainId() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_mainId;
}

template <typename T>
std::string ThreadSafeInstruments<T>::mainName() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_entries.find(m_mainId);
    return it == m_entries.end() ? std::string() : it->second.instrument.id.name;
}

template <typename T>
void ThreadSafeInstruments<T>::setActive(const std::string& id, bool active) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_entries.find(id);
    if (it == m_entries.end()) {
        HALVOREN_LOG(Log::Error, ThreadSafeInstrumentsDetail::category,
                     "setActive: Instrument with ID " << id << " not found");
        return;
    }
    it->second.instrument.active = active;
}

template <typename T>
bool ThreadSafeInstruments<T>::isActive(const std::string& id) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_entries.find(id);
    if (it == m_entries.end()) {
        HALVOREN_LOG(Log::Error, ThreadSafeInstrumentsDetail::category,
                     "isActive: Instrument with ID " << id << " not found");
        return false;
    }
    return it->second.instrument.active;
}

template <typename T>
InstrumentModifications ThreadSafeInstruments<T>::create(TrackerID id, bool active) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return createLocked(std::move(id), nullptr, active);
}

template <typename T>
InstrumentModifications ThreadSafeInstruments<T>::create(const std::string& idBase, const std::string& name,
                                                         const std::string& modelNumber, bool active) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // Generated and inserted under one lock, so two callers with the same base never collide.
    std::string id;
    for (std::uint64_t counter = 0;; ++counter) {
        id = idBase + std::to_string(counter);
        if (m_entries.count(id) == 0) {
            break;
        }
    }
    return createLocked(TrackerID(id, modelNumber, name), nullptr, active);
}

template <typename T>
InstrumentModifications ThreadSafeInstruments<T>::create(TrackerID id, std::unique_ptr<T> special,
                                                         bool active) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return createLocked(std::move(id), std::move(special), active);
}

template <typename T>
InstrumentModifications ThreadSafeInstruments<T>::remove(const std::string& id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_entries.find(id);
    if (it == m_entries.end()) {
        HALVOREN_LOG(Log::Error, ThreadSafeInstrumentsDetail::category,
                     "remove: Instrument with ID " << id << " not found");
        return {};
    }
    const bool wasMain = id == m_mainId;
    m_entries.erase(it);
    InstrumentModifications result = InstrumentModification::InstrumentsChanged;
    if (wasMain) {
        result |= setMainLocked(m_entries.empty() ? std::string() : m_entries.begin()->first);
    } else if (m_entries.empty()) {
        result |= setMainLocked(std::string());
    }
    keepMainIndexLocked();
    return result;
}

template <typename T>
InstrumentModifications ThreadSafeInstruments<T>::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    InstrumentModifications result;
    if (!m_entries.empty()) {
        m_entries.clear();
        result |= InstrumentModification::InstrumentsChanged;
    }
    result |= setMainLocked(std::string());
    m_mainIndex = 0;
    return result;
}

template <typename T>
InstrumentModifications ThreadSafeInstruments<T>::resetAll(std::uint64_t timestamp) {
    std::lock_guard<std::mutex> lock(m_mutex);
    InstrumentModifications result;
    for (auto& entry : m_entries) {
        TrackingInstrument& instrument = entry.second.instrument;
        const TrackingInstrument before = instrument;
        instrument.pose.setIdentity();
        instrument.quality = 0.0;
        instrument.timestamp = timestamp;
        instrument.state = 0;
        if (instrument != before) {
            result |= InstrumentModification::DataChanged;
        }
    }
    return result;
}

template <typename T>
InstrumentModifications ThreadSafeInstruments<T>::update(const std::string& id, const Eigen::Matrix4d& pose,
                                                         double quality, std::uint64_t timestamp,
                                                         std::uint32_t state) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_entries.find(id);
    if (it == m_entries.end()) {
        return {};
    }
    TrackingInstrument& instrument = it->second.instrument;
    instrument.pose = pose;
    instrument.quality = quality;
    instrument.timestamp = timestamp;
    instrument.state = state;
    return InstrumentModification::DataChanged;
}

template <typename T>
InstrumentModifications ThreadSafeInstruments<T>::modify(const std::string& id, const Callback& callback) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_entries.find(id);
    if (it == m_entries.end()) {
        return {};
    }
    return modifyChecked(it->second.instrument,
                         [&](TrackingInstrument& instrument) { callback(id, instrument); });
}

template <typename T>
InstrumentModifications ThreadSafeInstruments<T>::modifyAll(const Callback& callback) {
    std::lock_guard<std::mutex> lock(m_mutex);
    InstrumentModifications result;
    for (auto& entry : m_entries) {
        const std::string& id = entry.first;
        result |= modifyChecked(entry.second.instrument,
                                [&](TrackingInstrument& instrument) { callback(id, instrument); });
    }
    return result;
}

template <typename T>
std::int32_t ThreadSafeInstruments<T>::size() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<std::int32_t>(m_entries.size());
}

template <typename T>
std::optional<TrackingInstrument> ThreadSafeInstruments<T>::instrument(const std::string& id) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_entries.find(id);
    if (it == m_entries.end()) {
        return std::nullopt;
    }
    return it->second.instrument;
}

template <typename T>
InstrumentModifications ThreadSafeInstruments<T>::modify(const std::string& id,
                                                         const TypedCallback& callback) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_entries.find(id);
    if (it == m_entries.end()) {
        return {};
    }
    InstrumentEntry& entry = it->second;
    if (!entry.special) {
        HALVOREN_LOG(Log::Error, ThreadSafeInstrumentsDetail::category,
                     "modify: Special object for instrument with ID " << id << " does not exist");
        return {};
    }
    return modifyChecked(entry.instrument,
                         [&](TrackingInstrument& instrument) { callback(id, instrument, *entry.special); });
}

template <typename T>
void ThreadSafeInstruments<T>::modify(const std::string& id, const SpecialCallback& callback) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_entries.find(id);
    if (it == m_entries.end()) {
        return;
    }
    if (!it->second.special) {
        HALVOREN_LOG(Log::Error, ThreadSafeInstrumentsDetail::category,
                     "modify: Special object for instrument with ID " << id << " does not exist");
        return;
    }
    callback(id, *it->second.special);
}

template <typename T>
void ThreadSafeInstruments<T>::modifyAll(const SpecialCallback& callback) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& entry : m_entries) {
        if (!entry.second.special) {
            HALVOREN_LOG(
                Log::Error, ThreadSafeInstrumentsDetail::category,
                "modifyAll: Special object for instrument with ID " << entry.first << " does not exist");
            continue;
        }
        callback(entry.first, *entry.second.special);
    }
}

template <typename T>
std::map<std::string, std::unique_ptr<T>> ThreadSafeInstruments<T>::specialObjects() const {
    static_assert(std::is_convertible_v<decltype(std::declval<const T&>().clone()), T*>,
                  "the special object's clone() must return a pointer to its own type");
    std::lock_guard<std::mutex> lock(m_mutex);
    std::map<std::string, std::unique_ptr<T>> result;
    for (const auto& entry : m_entries) {
        const auto& special = entry.second.special;
        result.emplace(entry.first, special ? std::unique_ptr<T>(special->clone()) : nullptr);
    }
    return result;
}

template <typename T>
std::unique_ptr<T> ThreadSafeInstruments<T>::specialObject(const std::string& id) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_entries.find(id);
    if (it == m_entries.end() || !it->second.special) {
        return nullptr;
    }
    return std::unique_ptr<T>(it->second.special->clone());
}

template <typename T>
std::vector<std::pair<TrackingInstrument, std::unique_ptr<T>>>
ThreadSafeInstruments<T>::instrumentsWithSpecialObjects() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::pair<TrackingInstrument, std::unique_ptr<T>>> result;
    result.reserve(m_entries.size());
    for (const auto& entry : m_entries) {
        const auto& special = entry.second.special;
        result.emplace_back(entry.second.instrument,
                            special ? std::unique_ptr<T>(special->clone()) : nullptr);
    }
    return result;
}

template <typename T>
std::int32_t ThreadSafeInstruments<T>::indexOf(const std::string& id) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_entries.count(id) == 0) {
        return -1;
    }
    return static_cast<std::int32_t>(positionLocked(id));
}

template <typename T>
InstrumentModifications ThreadSafeInstruments<T>::createLocked(TrackerID id, std::unique_ptr<T> special,
                                                               bool active) {
    if (m_entries.count(id.ID) != 0) {
        HALVOREN_LOG(Log::Error, ThreadSafeInstrumentsDetail::category,
                     "create: Instrument with ID " << id.ID << " already exists");
        special.reset();
        return {};
    }
    const std::string key = id.ID;
    InstrumentEntry entry;
    entry.instrument.id = std::move(id);
    entry.instrument.active = active;
    entry.special = std::move(special);
    m_entries.emplace(key, std::move(entry));

    InstrumentModifications result = InstrumentModification::InstrumentsChanged;
    if (m_entries.size() == 1) {
        result |= setMainLocked(key);
    }
    keepMainIndexLocked();
    return result;
}

template <typename T>
InstrumentModifications ThreadSafeInstruments<T>::setMainLocked(const std::string& id) {
    if (id == m_mainId) {
        return {};
    }
    m_mainId = id;
    m_mainIndex = positionLocked(id);
    return InstrumentModification::MainChanged;
}

template <typename T>
std::uint32_t ThreadSafeInstruments<T>::positionLocked(const std::string& id) const {
    // Entries before the ID in ID order; all of them when no entry has it.
    const auto it = m_entries.find(id);
    return static_cast<std::uint32_t>(it == m_entries.end() ? m_entries.size()
                                                            : std::distance(m_entries.begin(), it));
}

template <typename T>
void ThreadSafeInstruments<T>::keepMainIndexLocked() {
    // Also covers a new entry whose ID already is the main ID (the empty ID), which setting the main
    // instrument skips because the ID did not change.
    if (m_entries.count(m_mainId) != 0) {
        m_mainIndex = positionLocked(m_mainId);
    }
}

template <typename T>
template <typename Call>
InstrumentModifications ThreadSafeInstruments<T>::modifyChecked(TrackingInstrument& instrument, Call&& call) {
    const TrackingInstrument before = instrument;
    try {
        call(instrument);
    } catch (...) {
        // The entry's key and its instrument's ID must agree even when the callback gives up half-way.
        if (instrument.id.ID != before.id.ID) {
            instrument = before;
        }
        throw;
    }
    if (instrument.id.ID != before.id.ID) {
        HALVOREN_LOG(Log::Error, ThreadSafeInstrumentsDetail::category,
                     "ID must not be modified. TrackingInstrument is reset to state before modification");
        instrument = before;
        return {};
    }
    InstrumentModifications result;
    if (instrument.id.name != before.id.name || instrument.id.modelNumber != before.id.modelNumber) {
        result |= InstrumentModification::InstrumentsChanged;
    }
    if (ThreadSafeInstrumentsDetail::dataDiffers(instrument, before)) {
        result |= InstrumentModification::DataChanged;
    }
    return result;
}

}  // namespace Halvoren
