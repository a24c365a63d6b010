#pragma once
// The instrument registry: every instrument the stream reports, with an optional special object of the
// plug-in's own kind beside it. One non-recursive lock guards everything and is held by every operation
// for its whole duration; callbacks run under it and must not call back into the registry. Callers that
// also hold the driver lock take it first.

#include "host/Log.h"
#include "host/TrackingInstrument.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace Halvoren {

template <typename T>
class ThreadSafeInstruments : public ThreadSafeInstrumentsBase {
public:
    using TypedCallback = std::function<void(const std::string& id, TrackingInstrument& instrument, T& special)>;
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

    /// Position of the ID in ID order (what an index into instruments() would be), or -1 when no entry
    /// has it. Lets a frame find instrument indices without copying the whole list per fiducial.
    std::int32_t indexOf(const std::string& id) const;

private:
    struct InstrumentEntry {
        TrackingInstrument instrument;
        std::unique_ptr<T> special;
    };
    // Definitions below; m_mutex guards everything.
    mutable std::mutex m_mutex;
    std::map<std::string, InstrumentEntry> m_entries;
    std::string m_mainId;
    std::uint32_t m_mainIndex = 0;
};

}  // namespace Halvoren

// Template definitions follow.
