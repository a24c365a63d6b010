#pragma once

#include "Flags.h"

#include <Eigen/Core>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace Halvoren {

/// Identity of a tracked instrument.
struct TrackerID {
    TrackerID() = default;
    TrackerID(std::string id, std::string modelNumber, std::string name)
        : ID(std::move(id)), modelNumber(std::move(modelNumber)), name(std::move(name)) {}
    std::string ID;
    std::string modelNumber;
    std::string name;

    bool operator==(const TrackerID& o) const {
        return ID == o.ID && modelNumber == o.modelNumber && name == o.name;
    }
    bool operator!=(const TrackerID& o) const { return !(*this == o); }
};

/// One instrument's identity and its latest pose (4x4, mm, camera coordinates) and quality in [0, 1].
struct TrackingInstrument {
    TrackerID id;
    Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
    double quality = 0.0;
    std::uint64_t timestamp = 0;  // ms since the epoch, UTC
    std::uint32_t state = 0;
    bool active = true;

    /// Exact comparison of every member; a NaN pose element always differs.
    bool operator!=(const TrackingInstrument& o) const;
    bool operator==(const TrackingInstrument& o) const { return !(*this != o); }
};

enum class InstrumentModification : std::uint32_t {
    DataChanged = 1,        // pose, quality, time stamp or state word of an instrument
    MainChanged = 2,        // the main instrument
    InstrumentsChanged = 4  // the set of instruments, or an identity
};
using InstrumentModifications = Flags<InstrumentModification>;

/// Thread-safe store of the instruments a tracking stream reports. Every operation holds the store's
/// lock for its whole duration; results are copies.
class ThreadSafeInstrumentsBase {
public:
    using Callback = std::function<void(const std::string& id, TrackingInstrument& instrument)>;

    virtual ~ThreadSafeInstrumentsBase() = default;
    virtual std::vector<TrackingInstrument> instruments() const = 0;
    virtual std::optional<TrackingInstrument> mainInstrument() const = 0;
    virtual InstrumentModifications setMainByIndex(std::uint32_t index) = 0;
    virtual InstrumentModifications setMainById(const std::string& id) = 0;
    virtual std::uint32_t mainIndex() const = 0;
    virtual std::string mainId() const = 0;
    virtual std::string mainName() const = 0;
    virtual void setActive(const std::string& id, bool active) = 0;
    virtual bool isActive(const std::string& id) const = 0;
    virtual InstrumentModifications create(TrackerID id, bool active) = 0;
    virtual InstrumentModifications create(const std::string& idBase, const std::string& name,
                                           const std::string& modelNumber, bool active) = 0;
    virtual InstrumentModifications remove(const std::string& id) = 0;
    virtual InstrumentModifications clear() = 0;
    virtual InstrumentModifications resetAll(std::uint64_t timestamp) = 0;
    virtual InstrumentModifications update(const std::string& id, const Eigen::Matrix4d& pose, double quality,
                                           std::uint64_t timestamp, std::uint32_t state) = 0;
    virtual InstrumentModifications modify(const std::string& id, const Callback& callback) = 0;
    virtual InstrumentModifications modifyAll(const Callback& callback) = 0;
    virtual std::int32_t size() const = 0;
    virtual std::optional<TrackingInstrument> instrument(const std::string& id) const = 0;
};

}  // namespace Halvoren
