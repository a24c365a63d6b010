#include "host/TrackingStream.h"
#include "support/NullStream.h"

#include "host/Utilities.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace Halvoren;

namespace {

/// A registry holding a fixed list of instruments; it only answers instruments(). Counts destructions.
class FixedRegistry : public ThreadSafeInstrumentsBase {
public:
    FixedRegistry(std::vector<TrackingInstrument> instruments, int* destroyed = nullptr)
        : m_instruments(std::move(instruments)), m_destroyed(destroyed) {}
    ~FixedRegistry() override {
        if (m_destroyed != nullptr) {
            ++*m_destroyed;
        }
    }

    std::vector<TrackingInstrument> instruments() const override { return m_instruments; }
    std::optional<TrackingInstrument> mainInstrument() const override { return std::nullopt; }
    InstrumentModifications setMainByIndex(std::uint32_t) override { return {}; }
    InstrumentModifications setMainById(const std::string&) override { return {}; }
    std::uint32_t mainIndex() const override { return 0; }
    std::string mainId() const override { return {}; }
    std::string mainName() const override { return {}; }
    void setActive(const std::string&, bool) override {}
    bool isActive(const std::string&) const override { return false; }
    InstrumentModifications create(TrackerID, bool) override { return {}; }
    InstrumentModifications create(const std::string&, const std::string&, const std::string&,
                                   bool) override {
        return {};
    }
    InstrumentModifications remove(const std::string&) override { return {}; }
    InstrumentModifications clear() override { return {}; }
    InstrumentModifications resetAll(std::uint64_t) override { return {}; }
    InstrumentModifications update(const std::string&, const Eigen::Matrix4d&, double, std::uint64_t,
                                   std::uint32_t) override {
        return {};
    }
    InstrumentModifications modify(const std::string&, const Callback&) override { return {}; }
    InstrumentModifications modifyAll(const Callback&) override { return {}; }
    std::int32_t size() const override { return static_cast<std::int32_t>(m_instruments.size()); }
    std::optional<TrackingInstrument> instrument(const std::string&) const override { return std::nullopt; }

private:
    std::vector<TrackingInstrument> m_instruments;
    int* m_destroyed;
};

using TestTrackingStream = TestSupport::NullStream<TrackingStream>;

TrackingInstrument instrument(const std::string& id, double x, std::uint64_t timestamp) {
    TrackingInstrument i;
    i.id = TrackerID(id, "model", "name " + id);
    i.pose(0, 3) = x;
    i.quality = 0.5;
    i.timestamp = timestamp;
    return i;
}

}  // namespace

TEST(TrackingStream, DataCopiesEveryInstrumentAndTakesTheNewestTimestamp) {
    TestTrackingStream stream;
    const std::vector<TrackingInstrument> instruments = {instrument("a", 1.0, 300), instrument("b", 2.0, 500),
                                                         instrument("c", 3.0, 100)};
    stream.setInstrumentsRegistry(std::make_unique<FixedRegistry>(instruments));

    const std::uint64_t before = DateTime::currentMillisecondsSinceEpochUtc();
    const auto data = stream.createTrackingStreamData();
    const std::uint64_t after = DateTime::currentMillisecondsSinceEpochUtc();

    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->stream(), &stream);
    EXPECT_EQ(data->instruments(), instruments);
    EXPECT_EQ(data->timestampDevice(), 500u);
    EXPECT_GE(data->timestampArrival(), before);
    EXPECT_LE(data->timestampArrival(), after);
    EXPECT_TRUE(data->components().empty());
}

TEST(TrackingStream, WithoutInstrumentsTheDeviceTimestampIsNow) {
    TestTrackingStream stream;
    for (bool withRegistry : {false, true}) {
        SCOPED_TRACE(withRegistry ? "empty registry" : "no registry");
        if (withRegistry) {
            stream.setInstrumentsRegistry(std::make_unique<FixedRegistry>(std::vector<TrackingInstrument>()));
        }
        EXPECT_EQ(stream.hasInstrumentsRegistry(), withRegistry);
        EXPECT_TRUE(stream.instruments().empty());

        const std::uint64_t before = DateTime::currentMillisecondsSinceEpochUtc();
        const auto data = stream.createTrackingStreamData();
        const std::uint64_t after = DateTime::currentMillisecondsSinceEpochUtc();
        EXPECT_TRUE(data->instruments().empty());
        EXPECT_GE(data->timestampDevice(), before);
        EXPECT_LE(data->timestampDevice(), after);
        EXPECT_EQ(data->timestampDevice(), data->timestampArrival());
    }
}

TEST(TrackingStream, SettingARegistryDestroysThePreviousOne) {
    int destroyedFirst = 0;
    int destroyedSecond = 0;
    {
        TestTrackingStream stream;
        EXPECT_THROW(stream.instrumentsRegistry(), std::logic_error);

        stream.setInstrumentsRegistry(std::make_unique<FixedRegistry>(
            std::vector<TrackingInstrument>{instrument("a", 1, 1)}, &destroyedFirst));
        stream.setInstrumentsRegistry(std::make_unique<FixedRegistry>(
            std::vector<TrackingInstrument>{instrument("b", 2, 2), instrument("c", 3, 3)}, &destroyedSecond));
        EXPECT_EQ(destroyedFirst, 1);
        EXPECT_EQ(destroyedSecond, 0);
        EXPECT_EQ(stream.instrumentsRegistry().size(), 2);
        EXPECT_EQ(stream.instruments().size(), 2u);
    }
    EXPECT_EQ(destroyedSecond, 1);
}

TEST(TrackingStream, EmitSignalsOnlyForChanges) {
    TestTrackingStream stream;
    std::vector<std::uint32_t> received;
    auto connection = stream.signalInstrumentsChanged.connect(
        [&](InstrumentModifications f) { received.push_back(f.value()); });

    stream.emitSignals(InstrumentModifications());
    stream.emitSignals(InstrumentModifications(InstrumentModification::DataChanged) |
                       InstrumentModification::MainChanged);
    EXPECT_EQ(received, std::vector<std::uint32_t>{3u});
}
