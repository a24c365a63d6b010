// The algorithm that makes the tracking stream: its flags, its configuration before and after the stream
// exists, and who owns the stream. Runs the real stream against the scripted driver.
#include "plugin/AtracsysStreamAlgorithm.h"

#include "support/DriverScript.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

using namespace Halvoren;
using namespace Halvoren::SpryTrack;
using TestSupport::LogCapture;

namespace {

/// A stream whose settings can be made to throw.
class FragileStream : public AtracsysTrackingStream {
public:
    void configure(const Properties* p) override {
        if (p != nullptr && p->hasParam("breakOnConfigure")) {
            throw std::runtime_error("settings rejected");
        }
        AtracsysTrackingStream::configure(p);
    }
};

}  // namespace

TEST(CreateStreamIoAlgorithm, FlagsFoundFirstDecideWhetherRunOpensAndStarts) {
    LogCapture log;
    struct Case {
        const char* name;
        std::vector<std::pair<const char*, bool>> flags;
        bool device;
        bool open;
        bool start;
        Stream::State state;
        int status;
    };
    const Case cases[] = {
        {"auto", {{"autoOpen", true}, {"autoStart", true}}, true, true, true, Stream::Running, 0},
        {"open false wins", {{"open", false}, {"autoOpen", true}}, true, false, false, Stream::Closed, 0},
        {"connect alone", {{"connect", true}}, true, true, false, Stream::Open, 0},
        {"none of them", {{"queryImages", true}}, true, false, false, Stream::Closed, 0},
        {"start without open", {{"start", true}}, true, false, true, Stream::Closed, 0},
        {"open fails", {{"open", true}, {"start", true}}, false, true, true, Stream::Closed, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestSupport::scriptDevice(c.device ? FTK_DEVICE_SPRYTRACK_300 : -1);
        AtracsysStreamAlgorithm algorithm;
        Properties p;
        for (const auto& [name, value] : c.flags) {
            p.setParam(name, value);
        }
        algorithm.configure(&p);
        EXPECT_EQ(algorithm.openFlag(), c.open);
        EXPECT_EQ(algorithm.startFlag(), c.start);

        algorithm.run();
        ASSERT_NE(algorithm.stream(), nullptr);  // a failed open keeps the stream
        EXPECT_EQ(algorithm.stream()->currentState(), c.state);
        EXPECT_EQ(algorithm.status(), c.status);
        EXPECT_EQ(log.count(Log::Error, "AtracsysTracking: No SpryTrack device connected"), c.device ? 0 : 1);
    }
}

TEST(CreateStreamIoAlgorithm, ConfigurationIsTheReceivedCopyUntilTheStreamExists) {
    LogCapture log;
    TestSupport::scriptDevice();
    AtracsysStreamAlgorithm algorithm;
    Properties untouched("untouched");
    algorithm.configuration(&untouched);
    EXPECT_TRUE(untouched.isEmpty());

    Properties given;
    given.setParam("autoOpen", false);
    given.setParam("queryImages", true);
    given.addSubProperties("TrackingTargets");
    algorithm.configure(&given);
    Properties before;
    algorithm.configuration(&before);
    EXPECT_EQ(before, given);

    algorithm.run();
    auto* stream = dynamic_cast<AtracsysTrackingStream*>(algorithm.stream());
    ASSERT_NE(stream, nullptr);
    EXPECT_TRUE(stream->queryImages());  // the stored configuration reached the new stream
    Properties after;
    algorithm.configuration(&after);
    EXPECT_TRUE(after.hasParam("connect"));
    EXPECT_FALSE(after.hasParam("autoOpen"));  // the algorithm's own flags are never written back

    // Once the stream exists, configuring the algorithm configures it.
    Properties off;
    off.setParam("queryImages", false);
    algorithm.configure(&off);
    EXPECT_FALSE(stream->queryImages());
}

TEST(CreateStreamIoAlgorithm, SecondRunWhileTheStreamLivesThrowsAndATakenStreamIsNeverDestroyedTwice) {
    LogCapture log;
    TestSupport::scriptDevice();
    AtracsysStreamAlgorithm algorithm;
    algorithm.run();
    Stream* first = algorithm.stream();
    ASSERT_NE(first, nullptr);
    EXPECT_THROW(algorithm.run(), std::runtime_error);
    EXPECT_EQ(algorithm.stream(), first);

    OwningDataList output = algorithm.takeOutput();
    ASSERT_EQ(output.size(), 1u);
    EXPECT_EQ(output.get(0), first);
    EXPECT_TRUE(algorithm.streamOwnershipTaken());
    EXPECT_THROW(algorithm.run(), std::runtime_error);

    output = OwningDataList();  // the host lets its stream go
    EXPECT_FALSE(AtracsysTrackingStream::exists());
    algorithm.run();  // forgets the taken stream, makes a new one
    EXPECT_NE(algorithm.stream(), nullptr);
    EXPECT_FALSE(algorithm.streamOwnershipTaken());
    EXPECT_EQ(algorithm.status(), 0);

    algorithm.releaseStream();  // not taken: destroyed
    EXPECT_EQ(algorithm.stream(), nullptr);
    EXPECT_FALSE(AtracsysTrackingStream::exists());
}

TEST(CreateStreamIoAlgorithm, StreamThatThrowsWhileSetUpIsLoggedAndDestroyedSoTheNextRunWorks) {
    LogCapture log;
    TestSupport::scriptDevice();
    CreateStreamIoAlgorithm<FragileStream, 0, 0> algorithm;
    Properties broken;
    broken.setParam("breakOnConfigure", true);
    broken.setParam("autoOpen", true);
    algorithm.configure(&broken);
    algorithm.run();
    EXPECT_EQ(log.count(Log::Error, "CreateStreamIoAlgorithm",
                        "Could not instantiate a new Stream: settings rejected"),
              1);
    EXPECT_EQ(algorithm.stream(), nullptr);
    EXPECT_EQ(algorithm.status(), 1);
    EXPECT_FALSE(AtracsysTrackingStream::exists());

    Properties fixed;
    fixed.setParam("autoOpen", true);
    algorithm.configure(&fixed);
    algorithm.run();
    ASSERT_NE(algorithm.stream(), nullptr);
    EXPECT_EQ(algorithm.stream()->currentState(), Stream::Open);
    EXPECT_EQ(algorithm.status(), 0);
}
