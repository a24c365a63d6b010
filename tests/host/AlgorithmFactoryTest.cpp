// Algorithm factories: registration, creation with factory information, compatibility queries, and the
// stream algorithm's hand-over of its stream.
#include "host/AlgorithmFactory.h"
#include "host/Parameter.h"
#include "host/Stream.h"
#include "host/StreamIoAlgorithm.h"
#include "support/NullStream.h"

#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace Halvoren;

namespace {

class Reader : public IoAlgorithm {
public:
    Parameter<int> size{"size", 1, this};
    void run() override {}
    std::vector<std::string> supportedFileExtensions() const override { return {"csv", "Tsv"}; }
};

class Filter : public Algorithm {
public:
    static bool isCompatible(const DataList& data) { return data.size() == 1; }
    Parameter<double> strength{"strength", 0.5, this};
    void run() override {}
};

class Broken : public IoAlgorithm {
public:
    Broken() { throw std::runtime_error("boom"); }
    void run() override {}
};

class TestFactory : public AlgorithmFactory {
public:
    explicit TestFactory(const std::string& name) : AlgorithmFactory(name) {
        registerAlgorithm<Reader>("Reader", "IO;Vendor;Reader", 2);
        auto preset = std::make_shared<Properties>();
        preset->setParam("strength", 0.9);
        registerAlgorithm<Filter>("Filter", "Filters", 0, preset);
        registerAlgorithm<Broken>("Broken", "IO;Vendor;Broken", 0);
    }
    void registerReaderAgain() { registerAlgorithm<Reader>("Reader", "elsewhere", 0); }
};

using NullStream = TestSupport::NullStream<Stream>;

/// Owns the stream it made until the output is taken, as stream-making algorithms do.
class MakingAlgorithm : public StreamIoAlgorithm {
public:
    ~MakingAlgorithm() override { releaseStream(); }
    Stream* stream() const override { return m_stream; }
    void run() override {
        releaseStream();
        m_stream = new NullStream;
    }
    void releaseStream() override {
        if (!streamOwnershipTaken()) {
            delete m_stream;
        }
        m_stream = nullptr;
        setStreamOwnershipTaken(false);
    }

private:
    Stream* m_stream = nullptr;
};

std::vector<std::string> names(const std::vector<const AlgorithmFactory::Descriptor*>& descriptors) {
    std::vector<std::string> result;
    for (const auto* d : descriptors) {
        result.push_back(d->name);
    }
    return result;
}

}  // namespace

TEST(AlgorithmFactory, RegistersUnderTheFullNameAndIgnoresADuplicate) {
    TestSupport::LogCapture log;
    TestFactory factory("Vendor");
    factory.registerReaderAgain();
    EXPECT_EQ(log.count(Log::Warning, "AlgorithmFactory", "Algorithm already registered: Vendor.Reader"), 1);

    EXPECT_EQ(names(factory.algorithmDescriptors()),
              (std::vector<std::string>{"Vendor.Reader", "Vendor.Filter", "Vendor.Broken"}));
    EXPECT_EQ(names(factory.ioAlgorithmDescriptors()),
              (std::vector<std::string>{"Vendor.Reader", "Vendor.Broken"}));
    const AlgorithmFactory::Descriptor* reader = factory.algorithmDescriptor("Vendor.Reader");
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->category, "IO;Vendor;Reader");  // the first registration stays
    EXPECT_EQ(reader->priority, 2);
    EXPECT_TRUE(reader->ioAlgorithm);
    EXPECT_EQ(factory.algorithmDescriptor("Reader"), nullptr);
    EXPECT_EQ(factory.algorithmName(Filter()), "Vendor.Filter");

    TestFactory unnamed("");
    EXPECT_NE(unnamed.algorithmDescriptor("Reader"), nullptr);
}

TEST(AlgorithmFactory, CreatesWithFactoryInfoGlobalSettingsAndPreset) {
    TestSupport::LogCapture log;
    TestFactory factory("Vendor");
    Properties global;
    global.setParam("size", 7);
    IoAlgorithm::setGlobalSettings("Vendor.Reader", global);

    std::unique_ptr<IoAlgorithm> reader = factory.instantiateIoAlgorithm("Vendor.Reader");
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->factoryInfo().name, "Vendor.Reader");
    EXPECT_EQ(reader->factoryInfo().shortName, "Reader");
    EXPECT_TRUE(reader->factoryInfo().input.empty());
    EXPECT_EQ(static_cast<Reader&>(*reader).size.value(), 7);
    reader->configureDefaults();
    EXPECT_EQ(static_cast<Reader&>(*reader).size.value(), 1);
    IoAlgorithm::clearGlobalSettings();

    NullStream datum;
    const DataList one{&datum};
    std::unique_ptr<Algorithm> filter = factory.instantiateAlgorithm("Vendor.Filter", one);
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(filter->factoryInfo().shortName, "Filters");  // a category without ";" is its own last piece
    EXPECT_EQ(filter->factoryInfo().input, one);
    EXPECT_DOUBLE_EQ(static_cast<Filter&>(*filter).strength.value(), 0.9);

    // Incompatible data, unknown names and the wrong kind give nothing, quietly.
    EXPECT_EQ(factory.instantiateAlgorithm("Vendor.Filter", {}), nullptr);
    EXPECT_EQ(factory.instantiateAlgorithm("Vendor.Reader", one), nullptr);
    EXPECT_EQ(factory.instantiateAlgorithm("Vendor.Nothing", {}), nullptr);
    EXPECT_EQ(factory.instantiateIoAlgorithm("Vendor.Filter"), nullptr);
    EXPECT_TRUE(log.recordsAtLeast(Log::Warning).empty());

    EXPECT_EQ(factory.instantiateAlgorithm("Vendor.Broken", {}), nullptr);
    EXPECT_EQ(log.count(Log::Error, "", "Cannot create algorithm IO;Vendor;Broken: boom"), 1);
}

TEST(AlgorithmFactory, CompatibilityQueriesIncludeFrontFactoriesFirst) {
    TestFactory factory("Vendor");
    NullStream datum;
    EXPECT_EQ(names(factory.compatibleDescriptors({})),
              (std::vector<std::string>{"Vendor.Reader", "Vendor.Broken"}));
    EXPECT_EQ(names(factory.compatibleDescriptors({&datum})), (std::vector<std::string>{"Vendor.Filter"}));
    EXPECT_TRUE(factory.compatibleIoDescriptors({&datum}).empty());

    TestSupport::LogCapture log;  // the broken algorithm is probed for its extensions
    EXPECT_EQ(names(factory.compatibleIoDescriptors(Filesystem::Path("/data/a.b/TABLE.CSV"))),
              (std::vector<std::string>{"Vendor.Reader"}));
    EXPECT_EQ(names(factory.compatibleIoDescriptors(Filesystem::Path("/data/t.tsv"))),
              (std::vector<std::string>{"Vendor.Reader"}));
    EXPECT_TRUE(factory.compatibleIoDescriptors(Filesystem::Path("/data.csv/readme")).empty());
    EXPECT_EQ(log.count(Log::Error, "", "Cannot create algorithm IO;Vendor;Broken: boom"), 2);

    TestFactory other("Other");
    AlgorithmFactory all("");
    all.addAlgorithmFactoryToFront(&factory);
    all.addAlgorithmFactoryToFront(&other);
    EXPECT_EQ(names(all.compatibleDescriptors({&datum})),
              (std::vector<std::string>{"Other.Filter", "Vendor.Filter"}));
    EXPECT_NE(all.instantiateAlgorithm("Vendor.Filter", {&datum}), nullptr);
    EXPECT_EQ(all.algorithmName(Reader()), "Other.Reader");
    all.removeAlgorithmFactory(&other);
    EXPECT_EQ(all.algorithmDescriptor("Other.Reader"), nullptr);
    EXPECT_EQ(all.algorithmName(Reader()), "Vendor.Reader");
}

TEST(StreamAlgorithm, TakeOutputHandsTheStreamOverOnce) {
    MakingAlgorithm algorithm;
    EXPECT_TRUE(algorithm.takeOutput().empty());
    algorithm.run();
    Stream* made = algorithm.stream();
    EXPECT_EQ(algorithm.dataGroup(), nullptr);  // a plain stream is no group
    EXPECT_EQ(algorithm.ioMode(), Algorithm::Input);

    OwningDataList output = static_cast<Algorithm&>(algorithm).takeOutput();
    ASSERT_EQ(output.size(), 1u);
    EXPECT_EQ(output.get(0), made);
    EXPECT_TRUE(algorithm.streamOwnershipTaken());
    EXPECT_TRUE(algorithm.takeOutput().empty());  // no second owner

    // The algorithm now only forgets the stream: the output list still owns it (ASan would see a double
    // delete otherwise).
    algorithm.run();
    EXPECT_FALSE(algorithm.streamOwnershipTaken());
    EXPECT_NE(algorithm.stream(), nullptr);
    std::unique_ptr<Data> taken = output.take(0);
    EXPECT_EQ(taken.get(), made);
    EXPECT_TRUE(output.empty());
}
