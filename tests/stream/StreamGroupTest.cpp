#include "GroupTestStream.h"

#include "host/Image.h"
#include "host/TrackingStream.h"
#include "support/LogCapture.h"
#include "support/QtWait.h"

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace Halvoren;
using TestSupport::FlaggedSubstream;
using TestSupport::GroupTestStream;

namespace {

using DataPtr = std::shared_ptr<const StreamData>;

/// An image substream that also takes tracking instruments from the group.
class TrackingCamera : public FlaggedSubstream, public TrackingSubstream {
public:
    using FlaggedSubstream::FlaggedSubstream;
    void setInstruments(const std::vector<TrackingInstrument>& instruments) override {
        receivedInstruments = instruments;
    }
    std::vector<TrackingInstrument> receivedInstruments;
};

template <typename T = FlaggedSubstream>
T* addCamera(GroupTestStream& stream, const std::string& name) {
    auto substream = std::make_unique<T>(stream, name);
    T* raw = substream.get();
    EXPECT_TRUE(stream.addSubstream(std::move(substream)));
    return raw;
}

std::shared_ptr<const CompoundStreamData> frame(DataPtr main, std::vector<DataPtr> substreams = {}) {
    return std::make_shared<CompoundStreamData>(std::move(main), std::move(substreams));
}

DataPtr imageData(const Stream* stream) {
    return std::make_shared<ImageStreamData>(stream, nullptr);
}

bool onMainThread() {
    return QThread::currentThread() == QCoreApplication::instance()->thread();
}

}  // namespace

TEST(StreamGroup, RefusesAndDestroysSubstreamOfAnotherGroup) {
    TestSupport::LogCapture log;
    GroupTestStream stream;
    GroupTestStream other("Other Stream");
    int added = 0;
    auto connection = stream.signalSubstreamAdded.connect([&](Stream*) { ++added; });

    auto destroyed = std::make_shared<std::atomic<bool>>(false);
    EXPECT_FALSE(stream.addSubstream(std::make_unique<FlaggedSubstream>(other, "Camera (left)", destroyed)));

    EXPECT_EQ(
        log.count(Log::Warning, "StreamGroup", "Substream parent must be equivalent to this stream group"),
        1);
    EXPECT_TRUE(*destroyed);
    EXPECT_TRUE(stream.substreams().empty());
    EXPECT_TRUE(stream.children().empty());
    EXPECT_EQ(added, 0);
}

TEST(StreamGroup, ListsSubstreamsInTheOrderAdded) {
    TestSupport::LogCapture log;
    GroupTestStream stream;
    std::vector<Stream*> announced;
    auto connection = stream.signalSubstreamAdded.connect([&](Stream* s) {
        // Announced after the lists changed and the lock was released.
        EXPECT_EQ(stream.substreams().back(), s);
        announced.push_back(s);
    });

    Stream* left = addCamera(stream, "Camera (left)");
    Stream* right = addCamera(stream, "Camera (right)");

    EXPECT_EQ(stream.substreams(), (std::vector<Stream*>{left, right}));
    EXPECT_EQ(stream.children(), (DataList{left, right}));
    EXPECT_EQ(announced, (std::vector<Stream*>{left, right}));
    EXPECT_EQ(left->name(), "Camera (left)");
    EXPECT_EQ(stream.proxyStream(), static_cast<Stream*>(&stream));
}

TEST(StreamGroup, RemovingAStreamNotInTheGroupFails) {
    TestSupport::LogCapture log;
    GroupTestStream stream;
    GroupTestStream other("Other Stream");
    Stream* left = addCamera(stream, "Camera (left)");
    int removed = 0;
    auto connection = stream.signalSubstreamRemoved.connect([&](Stream*) { ++removed; });

    EXPECT_FALSE(stream.removeSubstream(&other));
    EXPECT_FALSE(stream.removeSubstream(nullptr));

    EXPECT_EQ(log.count(Log::Warning, "StreamGroup", "Removal of substream failed. Substream not found."), 2);
    EXPECT_EQ(stream.substreams(), (std::vector<Stream*>{left}));
    EXPECT_EQ(removed, 0);
}

TEST(StreamGroup, RemovedSubstreamLivesUntilTheNextEmissionEvenWithoutSubstreamData) {
    TestSupport::LogCapture log;
    GroupTestStream stream;
    auto* left = addCamera(stream, "Camera (left)");
    auto* right = addCamera(stream, "Camera (right)");
    auto leftDestroyed = left->destroyedFlag();

    std::vector<std::size_t> listedWhenAnnounced;
    auto removedConnection = stream.signalSubstreamRemoved.connect([&](Stream* s) {
        EXPECT_EQ(s, static_cast<Stream*>(left));
        listedWhenAnnounced.push_back(stream.substreams().size());
    });
    std::vector<std::string> emitted;
    auto mainConnection = stream.signalStreamData.connect([&](const DataPtr&) { emitted.push_back("main"); });
    auto compoundConnection = stream.signalCompoundData.connect(
        [&](const std::shared_ptr<const CompoundStreamData>&) { emitted.push_back("compound"); });
    auto rightConnection =
        right->signalStreamData.connect([&](const DataPtr&) { emitted.push_back("right"); });

    EXPECT_TRUE(stream.removeSubstream(left));

    // Announced before the lists change; afterwards only the right camera is listed.
    EXPECT_EQ(listedWhenAnnounced, (std::vector<std::size_t>{2}));
    EXPECT_EQ(stream.substreams(), (std::vector<Stream*>{right}));
    EXPECT_EQ(stream.children(), (DataList{right}));
    EXPECT_FALSE(*leftDestroyed);
    EXPECT_EQ(left->name(), "Camera (left)");

    stream.emitMainAndSubSignals(frame(std::make_shared<StreamData>(&stream), {imageData(right)}), false);

    EXPECT_EQ(emitted, (std::vector<std::string>{"main", "compound"}));
    EXPECT_TRUE(*leftDestroyed);
    EXPECT_EQ(stream.substreams(), (std::vector<Stream*>{right}));
}

TEST(StreamGroup, EmitsMainThenCompoundThenEachSubstreamDatum) {
    TestSupport::LogCapture log;
    GroupTestStream stream;
    auto* left = addCamera(stream, "Camera (left)");
    auto* tracker = addCamera<TrackingCamera>(stream, "Tracker");

    std::vector<std::string> order;
    // Every receiver takes the group lock: none may be called while the group holds it.
    auto record = [&](const std::string& what) {
        EXPECT_EQ(stream.substreams().size(), 2u);
        order.push_back(what);
    };
    auto c1 = stream.signalStreamData.connect([&](const DataPtr&) { record("main"); });
    auto c2 = stream.signalCompoundData.connect(
        [&](const std::shared_ptr<const CompoundStreamData>&) { record("compound"); });
    auto c3 = left->signalStreamData.connect([&](const DataPtr&) { record("left"); });
    auto c4 = tracker->signalStreamData.connect([&](const DataPtr& d) {
        // The instruments reach the substream before its data signal.
        ASSERT_EQ(tracker->receivedInstruments.size(), 1u);
        EXPECT_EQ(tracker->receivedInstruments[0].id.ID, "atracsys-7");
        EXPECT_EQ(d->stream(), static_cast<Stream*>(tracker));
        record("tracker");
    });

    TrackingInstrument instrument;
    instrument.id.ID = "atracsys-7";
    auto trackingData =
        std::make_shared<TrackingStreamData>(tracker, std::vector<TrackingInstrument>{instrument});
    // A datum that belongs to no stream, and an empty element, are skipped.
    stream.emitMainAndSubSignals(
        frame(std::make_shared<StreamData>(&stream), {imageData(left), std::make_shared<StreamData>(nullptr),
                                                      nullptr, trackingData, imageData(left)}),
        true);

    EXPECT_EQ(order, (std::vector<std::string>{"main", "compound", "left", "tracker", "left"}));
}

TEST(StreamGroup, FrameWithoutMainDataStillEmitsTheCompoundData) {
    TestSupport::LogCapture log;
    GroupTestStream stream;
    auto* left = addCamera(stream, "Camera (left)");
    std::vector<std::string> order;
    auto c1 = stream.signalStreamData.connect([&](const DataPtr&) { order.push_back("main"); });
    auto c2 = stream.signalCompoundData.connect(
        [&](const std::shared_ptr<const CompoundStreamData>&) { order.push_back("compound"); });
    auto c3 = left->signalStreamData.connect([&](const DataPtr&) { order.push_back("left"); });

    stream.emitMainAndSubSignals(frame(nullptr, {imageData(left)}), true);

    EXPECT_EQ(order, (std::vector<std::string>{"compound", "left"}));
}

TEST(StreamGroup, RemovalFromAnotherThreadTakesEffectOnTheMainThread) {
    TestSupport::LogCapture log;
    GroupTestStream stream;
    auto* left = addCamera(stream, "Camera (left)");
    auto* right = addCamera(stream, "Camera (right)");
    auto leftDestroyed = left->destroyedFlag();
    std::atomic<bool> removalOnMainThread{false};
    auto removedConnection =
        stream.signalSubstreamRemoved.connect([&](Stream*) { removalOnMainThread = onMainThread(); });

    bool result = false;
    std::thread caller([&] { result = stream.removeSubstream(left); });
    caller.join();

    // Nothing has run the main thread's queue yet.
    EXPECT_TRUE(result);
    EXPECT_EQ(stream.substreams().size(), 2u);

    ASSERT_TRUE(TestSupport::waitFor([&] { return stream.substreams().size() == 1; }));
    EXPECT_EQ(stream.substreams(), (std::vector<Stream*>{right}));
    EXPECT_TRUE(removalOnMainThread);
    EXPECT_FALSE(*leftDestroyed);

    // The worker's next frame still reaches the removed substream; it is destroyed once the frame is out.
    std::atomic<bool> leftAliveWhenEmitted{false};
    auto leftConnection =
        left->signalStreamData.connect([&](const DataPtr&) { leftAliveWhenEmitted = !*leftDestroyed; });
    std::thread worker([&] { stream.emitMainAndSubSignals(frame(nullptr, {imageData(left)}), true); });
    worker.join();

    EXPECT_TRUE(leftAliveWhenEmitted);
    EXPECT_TRUE(*leftDestroyed);
    EXPECT_EQ(stream.substreams(), (std::vector<Stream*>{right}));
}

TEST(StreamGroup, QueuedRemovalIsHarmlessOnceTheGroupIsGone) {
    TestSupport::LogCapture log;
    auto stream = std::make_unique<GroupTestStream>();
    auto* left = addCamera(*stream, "Camera (left)");
    auto leftDestroyed = left->destroyedFlag();

    std::thread caller([&] { EXPECT_TRUE(stream->removeSubstream(left)); });
    caller.join();
    stream.reset();
    EXPECT_TRUE(*leftDestroyed);

    // The queued removal now runs against nothing.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

TEST(StreamGroup, RepeatedRemovalAnnouncesTheSubstreamOnce) {
    TestSupport::LogCapture log;
    GroupTestStream stream;
    auto* left = addCamera(stream, "Camera (left)");
    int removed = 0;
    auto connection = stream.signalSubstreamRemoved.connect([&](Stream*) { ++removed; });

    // Both removals pass the check before the main thread runs either.
    std::thread caller([&] {
        EXPECT_TRUE(stream.removeSubstream(left));
        EXPECT_TRUE(stream.removeSubstream(left));
    });
    caller.join();
    ASSERT_TRUE(TestSupport::waitFor([&] { return stream.substreams().empty(); }));
    QCoreApplication::sendPostedEvents();

    EXPECT_EQ(removed, 1);
}

TEST(StreamGroup, DestroyingRemovedSubstreamsHappensOutsideTheGroupLock) {
    TestSupport::LogCapture log;
    GroupTestStream stream;
    ASSERT_TRUE(stream.open());
    auto* left = addCamera(stream, "Camera (left)");
    ASSERT_EQ(left->currentState(), Stream::Open);
    ASSERT_TRUE(stream.removeSubstream(left));

    // The dying substream closes itself and announces it; its receiver may ask the group for its lists.
    std::vector<Stream::State> states;
    auto connection = left->signalStateChanged.connect([&](const Stream::StateChange& change) {
        EXPECT_TRUE(stream.substreams().empty());
        states.push_back(change.newState);
    });
    stream.emitMainAndSubSignals(frame(nullptr), false);

    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back(), Stream::Closed);
    EXPECT_EQ(stream.currentState(), Stream::Open);
}

TEST(StreamGroup, MoveAssignmentHandsOverTheSubstreams) {
    TestSupport::LogCapture log;
    GroupTestStream source("Source");
    GroupTestStream target("Target");
    auto* moved = addCamera(source, "Camera (left)");
    auto* replaced = addCamera(target, "Camera (right)");
    auto replacedDestroyed = replaced->destroyedFlag();

    static_cast<GroupTestStream::Group&>(target) = std::move(static_cast<GroupTestStream::Group&>(source));

    EXPECT_EQ(target.substreams(), (std::vector<Stream*>{moved}));
    EXPECT_EQ(moved->parent(), static_cast<StreamGroupBase*>(&target));
    EXPECT_TRUE(source.substreams().empty());
    EXPECT_TRUE(*replacedDestroyed);
    EXPECT_FALSE(*moved->destroyedFlag());
}
