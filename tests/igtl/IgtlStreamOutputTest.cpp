// What a host stream emits reaches the OpenIGTLink clients through the output: tracking data as poses,
// the 8-bit camera images it carries as IMAGE messages; instruments below the quality gate as not seen, and
// the latency from the camera's exposure to the clients.
#include "IgtlTestClient.h"
#include "igtl/IgtlServer.h"
#include "igtl/IgtlStreamOutput.h"
#include "output/OutputHub.h"
#include "support/NullStream.h"
#include "support/QtWait.h"

#include "host/Image.h"
#include "host/TrackingStream.h"

#include <gtest/gtest.h>
#include <igtlCapabilityMessage.h>
#include <igtlStatusMessage.h>

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

using namespace Halvoren;

namespace {

using EmittingStream = TestSupport::NullStream<Stream>;

/// The stream's run with the server's output as its one output.
struct ServedStream {
    ServedStream(Igtl::IgtlServer& server, Stream& stream, double minQuality = 0.0) {
        Igtl::IgtlStreamOutput::Options options;
        options.minQuality = minQuality;
        outputs.add(std::make_shared<Igtl::IgtlStreamOutput>(server, options));
        outputs.listen(stream);
    }
    Output::OutputHub outputs;
};

/// A server on any free port of the loopback interface.
Igtl::IgtlServer::Options loopback() {
    Igtl::IgtlServer::Options options;
    options.host = "127.0.0.1";
    options.port = 0;
    return options;
}

}  // namespace

TEST(IgtlStreamOutput, TrackingDataAndImagesOfAHostStreamReachTheClients) {
    Igtl::IgtlServer server(loopback());
    const auto started = server.start();
    ASSERT_TRUE(started) << started.error().message;
    EmittingStream tracker("tracker");
    ServedStream served(server, tracker);
    TestSupport::IgtlTestClient client(server.port());
    ASSERT_TRUE(TestSupport::waitFor([&] { return server.connectedClients() == 1; }));

    TrackingInstrument named;
    named.id = TrackerID("atracsys-1200", "", "pointer");
    named.quality = 0.9;
    named.timestamp = 5000;
    named.pose(0, 3) = 12.5;
    TrackingInstrument unnamed = named;
    unnamed.id = TrackerID("atracsys-1300", "", "");
    TrackingInstrument unseen = named;
    unseen.id = TrackerID("atracsys-1400", "", "tool");
    unseen.quality = 0.0;
    tracker.signalStreamData.emitSignal(std::make_shared<TrackingStreamData>(
        &tracker, std::vector<TrackingInstrument>{named, unnamed, unseen}));

    const auto hidden = client.receive();  // invalid from the first frame: told at once
    ASSERT_TRUE(hidden);
    EXPECT_EQ(hidden->type, "STATUS");
    EXPECT_EQ(hidden->device, "ToolToTracker");
    EXPECT_EQ(hidden->code, igtl::StatusMessage::STATUS_NOT_PRESENT);
    const auto pointer = client.receive();
    const auto byId = client.receive();
    const auto tracking = client.receive();
    ASSERT_TRUE(pointer && byId && tracking);
    EXPECT_EQ(pointer->device, "PointerToTracker");
    EXPECT_EQ(pointer->timestampMs, 5000u);
    EXPECT_FLOAT_EQ(pointer->matrix[3], 12.5f);
    EXPECT_EQ(byId->device, "Atracsys-13~oTracker");  // without a name, the id; shortened to fit the wire
    ASSERT_EQ(tracking->tools.size(), 2u);
    EXPECT_EQ(tracking->tools[0].first, "pointer");  // the elements named by the instruments
    EXPECT_EQ(tracking->tools[1].first, "atracsys-1300");

    std::vector<std::uint8_t> pixels(64 * 32, 200);
    auto image = std::make_shared<SharedImage>(std::shared_ptr<MemImage>(
        MemImage::create(ImageDescriptor(PixelUInt8, 64, 32), pixels.data(), MemImage::Owned)));
    auto withImages = std::make_shared<TrackingStreamData>(&tracker, std::vector<TrackingInstrument>{named});
    withImages->components().add(std::make_unique<TrackingCameraImagesData>(image, nullptr));
    tracker.signalStreamData.emitSignal(withImages);
    const auto received = client.receiveType("IMAGE");
    ASSERT_TRUE(received);
    EXPECT_EQ(received->device, "Camera (left)");
    EXPECT_EQ(received->width, 64);
    EXPECT_EQ(received->height, 32);
}

TEST(IgtlStreamOutput, AnInstrumentBelowTheQualityGateGoesOutAsNotSeen) {
    TrackingInstrument good;
    good.id = TrackerID("atracsys-1200", "", "pointer");
    good.quality = 0.9;
    TrackingInstrument poor = good;
    poor.id = TrackerID("atracsys-1300", "", "tool");
    poor.quality = 0.3;
    TrackingInstrument unseen = good;
    unseen.id = TrackerID("atracsys-1400", "", "hidden");
    unseen.quality = 0.0;
    const std::vector<TrackingInstrument> instruments{good, poor, unseen};
    Igtl::IgtlServer server(loopback());
    const Igtl::TrackingFrame ungated = Igtl::IgtlStreamOutput(server).frameOf(instruments);
    EXPECT_TRUE(ungated.tools[0].seen && ungated.tools[1].seen);
    EXPECT_FALSE(ungated.tools[2].seen);
    Igtl::IgtlStreamOutput::Options gate;
    gate.minQuality = 0.5;
    const Igtl::TrackingFrame gated = Igtl::IgtlStreamOutput(server, gate).frameOf(instruments);
    EXPECT_TRUE(gated.tools[0].seen);
    EXPECT_FALSE(gated.tools[1].seen || gated.tools[2].seen);

    // Through the output: the tool falling below the gate is reported as a marker out of view is.
    const auto started = server.start();
    ASSERT_TRUE(started) << started.error().message;
    EmittingStream tracker("tracker");
    ServedStream served(server, tracker, 0.5);
    TestSupport::IgtlTestClient client(server.port());
    ASSERT_TRUE(TestSupport::waitFor([&] { return server.connectedClients() == 1; }));
    TrackingInstrument tool = poor;
    tool.quality = 0.8;
    tracker.signalStreamData.emitSignal(
        std::make_shared<TrackingStreamData>(&tracker, std::vector<TrackingInstrument>{good, tool}));
    const auto first = client.receiveType("TDATA");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->tools.size(), 2u);
    tracker.signalStreamData.emitSignal(
        std::make_shared<TrackingStreamData>(&tracker, std::vector<TrackingInstrument>{good, poor}));
    const auto status = client.receive();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->type, "STATUS");
    EXPECT_EQ(status->device, "ToolToTracker");
    EXPECT_EQ(status->code, igtl::StatusMessage::STATUS_NOT_PRESENT);
    EXPECT_EQ(status->text, "ToolToTracker is not seen");
    const auto second = client.receiveType("TDATA");
    ASSERT_TRUE(second);
    ASSERT_EQ(second->tools.size(), 1u);
    EXPECT_EQ(second->tools[0].first, "pointer");
}

TEST(IgtlStreamOutput, ClientLatencyCountsTheFramesSentWithTheirExposureOnTheHostClock) {
    Igtl::IgtlServer server(loopback());
    const auto started = server.start();
    ASSERT_TRUE(started) << started.error().message;
    EmittingStream tracker("tracker");
    ServedStream served(server, tracker);
    TestSupport::IgtlTestClient first(server.port());
    TestSupport::IgtlTestClient second(server.port());
    ASSERT_TRUE(TestSupport::waitFor([&] { return server.connectedClients() == 2; }));

    TrackingInstrument pointer;
    pointer.id = TrackerID("atracsys-1200", "", "pointer");
    pointer.quality = 0.9;
    constexpr std::uint64_t kAgeUs = 200000;
    const auto emitFrame = [&](std::optional<std::uint64_t> exposureUs) {
        auto data = std::make_shared<TrackingStreamData>(&tracker, std::vector<TrackingInstrument>{pointer});
        if (exposureUs) {
            data->components().add(std::make_unique<TrackingFrameInfoData>(1, *exposureUs));
        }
        tracker.signalStreamData.emitSignal(data);
        // Each frame read by both, so that none replaces another.
        return first.receiveType("TDATA").has_value() && second.receiveType("TDATA").has_value();
    };
    const auto nowUs = [] {
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                              std::chrono::system_clock::now().time_since_epoch())
                                              .count());
    };
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(emitFrame(nowUs() - kAgeUs));
    }
    ASSERT_TRUE(emitFrame(std::nullopt));
    ASSERT_TRUE(emitFrame(5000000));  // a camera's own clock: not the host's, no latency from it

    // Recorded as the frame went into the socket, so before the clients read it.
    const Health::LatencyStats latency = server.clientLatency();
    EXPECT_EQ(latency.count(), 6u);
    EXPECT_GE(latency.maxUs(), kAgeUs);
    EXPECT_GE(latency.percentileUs(0.5), 0.98 * kAgeUs);  // within the histogram's bucket
    for (const Igtl::IgtlServer::ClientReport& report : server.clients()) {
        EXPECT_EQ(report.latency.count(), 3u);
    }
}

TEST(IgtlStreamOutput, FramesComeBackAfterStalePosesEvenWhenNewerFramesCrowdedOutTheWordOfIt) {
    Igtl::IgtlServer server(loopback());
    const auto started = server.start();
    ASSERT_TRUE(started) << started.error().message;
    auto output = std::make_shared<Igtl::IgtlStreamOutput>(server);
    TestSupport::IgtlTestClient client(server.port());
    ASSERT_TRUE(TestSupport::waitFor([&] { return server.connectedClients() == 1; }));

    Output::FrameItem stale;
    stale.kind = Output::FrameItem::Kind::Stale;
    stale.millisecondsWithoutFrame = 150;
    output->queue().push(stale);
    output->queued();
    const auto notReady = client.receiveType("STATUS");
    ASSERT_TRUE(notReady);
    EXPECT_EQ(notReady->code, igtl::StatusMessage::STATUS_NOT_READY);
    EXPECT_EQ(notReady->text, "no new frame from the camera for 150 ms: the poses are stale");

    // The server's thread is not woken until more frames came than the queue holds.
    Output::FrameItem fresh;
    fresh.kind = Output::FrameItem::Kind::Fresh;
    fresh.millisecondsWithoutFrame = 400;
    output->queue().push(fresh);
    TrackingInstrument pointer;
    pointer.id = TrackerID("atracsys-1200", "", "pointer");
    pointer.quality = 0.9;
    for (int i = 0; i < 8; ++i) {
        Output::FrameItem frame;
        frame.tracking =
            std::make_shared<TrackingStreamData>(nullptr, std::vector<TrackingInstrument>{pointer});
        frame.handedOver = std::chrono::steady_clock::now();
        output->queue().push(frame);
    }
    EXPECT_GT(output->queue().counts().dropped, 0u);
    output->queued();
    const auto ok = client.receiveType("STATUS");
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->code, igtl::StatusMessage::STATUS_OK);
    EXPECT_EQ(ok->text.rfind("frames from the camera again after ", 0), 0u) << ok->text;
    EXPECT_TRUE(client.receiveType("TDATA"));
    output->end();
}

TEST(IgtlStreamOutput, TheFramesStillQueuedWhenTheRunEndsReachTheClients) {
    Igtl::IgtlServer server(loopback());
    const auto started = server.start();
    ASSERT_TRUE(started) << started.error().message;
    auto output = std::make_shared<Igtl::IgtlStreamOutput>(server);
    Output::OutputHub outputs;
    outputs.add(output);
    TestSupport::IgtlTestClient client(server.port());
    ASSERT_TRUE(TestSupport::waitFor([&] { return server.connectedClients() == 1; }));

    // Queued without waking the server's thread: they are all still there when the run ends.
    TrackingInstrument pointer;
    pointer.id = TrackerID("atracsys-1200", "", "pointer");
    pointer.quality = 0.9;
    for (std::uint64_t stamp = 1; stamp <= 3; ++stamp) {
        pointer.timestamp = stamp;
        Output::FrameItem frame;
        frame.tracking =
            std::make_shared<TrackingStreamData>(nullptr, std::vector<TrackingInstrument>{pointer});
        output->queue().push(frame);
    }
    outputs.finish();
    for (std::uint64_t stamp = 1; stamp <= 3; ++stamp) {
        const auto tracking = client.receiveType("TDATA");
        ASSERT_TRUE(tracking);
        EXPECT_EQ(tracking->timestampMs, stamp);
    }
    EXPECT_EQ(outputs.reports().at(0).counts.dropped, 0u);
}

namespace {

/// A pointer, the reference and a tool of a long name, all seen; the pointer turned about z.
std::vector<TrackingInstrument> navigatedInstruments() {
    TrackingInstrument pointer;
    pointer.id = TrackerID("atracsys-1200", "", "pointer");
    pointer.quality = 0.9;
    pointer.timestamp = 7000;
    pointer.pose.topLeftCorner<3, 3>() << 0, -1, 0, 1, 0, 0, 0, 0, 1;  // 90 degrees about z
    pointer.pose.topRightCorner<3, 1>() << 10, 20, 30;
    TrackingInstrument reference = pointer;
    reference.id = TrackerID("atracsys-1300", "", "reference");
    reference.pose = Eigen::Matrix4d::Identity();
    reference.pose(0, 3) = 100;
    TrackingInstrument longName = reference;
    longName.id = TrackerID("atracsys-1400", "", "LongInstrumentName");
    return {pointer, reference, longName};
}

}  // namespace

TEST(IgtlStreamOutput, PosesGoOutRelativeToTheReferenceWithTipsUnderNamesThatFitTheWire) {
    std::vector<TrackingInstrument> instruments = navigatedInstruments();
    Igtl::IgtlStreamOutput::Options options;
    options.navigation.chain.setReference("reference");
    options.navigation.chain.setTip("atracsys-1200", Eigen::Vector3d(0, 10, 0));
    options.navigation.chain.setTip("atracsys-1400", Eigen::Vector3d(0, 0, 5));
    options.navigation.frame = "Reference";
    for (const TrackingInstrument& instrument : instruments) {
        options.instruments.push_back(instrument.id);
    }
    Igtl::IgtlServer server({});
    Igtl::IgtlStreamOutput output(server, options);

    // Named at start: the transform names over 20 characters shortened by the wire's rule, two of like
    // shortening still two names.
    std::vector<std::vector<std::string>> shortened;
    for (const Igtl::ShortenedName& name : output.shortenedNames()) {
        shortened.push_back({name.name, name.sent, name.hint});
    }
    EXPECT_EQ(
        shortened,
        (std::vector<std::vector<std::string>>{
            {"PointerTipToReference", "PointerTipT~eference", "--frame-name Ref"},
            {"LongInstrumentNameToReference", "LongInstrum~eference", "--name LongInstrumentName=LongInstr"},
            {"LongInstrumentNameTipToReference", "LongInstrumentName~2",
             "--name LongInstrumentName=LongIn"}}));

    const Igtl::TrackingFrame seen = output.frameOf(instruments);
    std::vector<std::string> names, elements;
    for (const Igtl::ToolPose& tool : seen.tools) {
        names.push_back(tool.name);
        elements.push_back(tool.tracked ? tool.element : "-");
        EXPECT_TRUE(tool.seen) << tool.name;
        EXPECT_EQ(tool.timestampMs, 7000u);
    }
    EXPECT_EQ(names,
              (std::vector<std::string>{"PointerToReference", "PointerTipT~eference", "ReferenceToReference",
                                        "LongInstrum~eference", "LongInstrumentName~2"}));
    EXPECT_EQ(elements, (std::vector<std::string>{"pointer", "-", "reference", "LongInstrumentName", "-"}));
    // Its STATUS says the name it goes out under, not the name before it was shortened.
    EXPECT_EQ(seen.tools[4].label, "");
    // The pointer in the reference's frame, rotated; its tip moved along the pointer's own y axis.
    const std::array<float, 16> relative{0, -1, 0, -90, 1, 0, 0, 20, 0, 0, 1, 30, 0, 0, 0, 1};
    EXPECT_EQ(seen.tools[0].matrix, relative);
    std::array<float, 16> tip = relative;
    tip[3] = -100;
    EXPECT_EQ(seen.tools[1].matrix, tip);
    const std::array<float, 16> identity{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    EXPECT_EQ(seen.tools[2].matrix, identity);
    EXPECT_FLOAT_EQ(seen.tools[4].matrix[11], 5.f);

    // The reference out of view: no pose is known in its frame, and the clients are told why.
    instruments[1].quality = 0.0;
    const Igtl::TrackingFrame unseen = output.frameOf(instruments);
    ASSERT_EQ(unseen.tools.size(), 5u);
    for (const Igtl::ToolPose& tool : unseen.tools) {
        EXPECT_FALSE(tool.seen) << tool.name;
        EXPECT_EQ(tool.reason, "reference not seen") << tool.name;
    }
    EXPECT_EQ(unseen.tools[3].name, "LongInstrum~eference");  // kept for the run
}

TEST(IgtlStreamOutput, ChosenNamesGoOutWholeInEveryMessage) {
    const std::vector<TrackingInstrument> instruments = navigatedInstruments();
    Igtl::IgtlStreamOutput::Options options;
    options.navigation.chain.setReference("atracsys-1300");
    options.navigation.chain.setTip("atracsys-1200", Eigen::Vector3d(0, 10, 0));
    options.navigation.names.chooseName("atracsys-1400", "probe");
    options.navigation.names.chooseFrame("Ref");
    options.navigation.frame = "Ref";
    for (const TrackingInstrument& instrument : instruments) {
        options.instruments.push_back(instrument.id);
    }
    Igtl::IgtlServer server({});
    Igtl::IgtlStreamOutput output(server, options);
    EXPECT_TRUE(output.shortenedNames().empty());
    std::vector<std::string> names, elements;
    for (const Igtl::ToolPose& tool : output.frameOf(instruments).tools) {
        names.push_back(tool.name);
        elements.push_back(tool.tracked ? tool.element : "-");
    }
    EXPECT_EQ(names,
              (std::vector<std::string>{"PointerToRef", "PointerTipToRef", "ReferenceToRef", "ProbeToRef"}));
    EXPECT_EQ(elements, (std::vector<std::string>{"pointer", "-", "reference", "probe"}));

    // What is still too long says how to make it fit, and the warning counts its characters.
    const Igtl::ShortenedName tip{"PointerTipToReference", "PointerTipT~eference", false, "--frame-name Ref"};
    EXPECT_EQ(
        Igtl::shortenedWarning(tip),
        "OpenIGTLink device name \"PointerTipToReference\" is sent as \"PointerTipT~eference\" (at most 20 "
        "characters); --frame-name Ref makes it fit");
    const Igtl::ShortenedName twin{"tool", "tool~2", true, ""};
    EXPECT_EQ(Igtl::shortenedWarning(twin),
              "OpenIGTLink TDATA element name \"tool\" is sent as \"tool~2\" (another pose has its name)");
}

TEST(IgtlStreamOutput, ImagesOnAServerOfTheirOwnLeaveThePosesConnectionsToThePoses) {
    Igtl::IgtlServer::Options poseOptions = loopback();
    poseOptions.imageRateHz = 0.0;
    Igtl::IgtlServer poses(poseOptions);
    Igtl::IgtlServer::Options imageOptions = loopback();
    imageOptions.poses = false;
    Igtl::IgtlServer images(imageOptions);
    const auto posesStarted = poses.start();
    const auto imagesStarted = images.start();
    ASSERT_TRUE(posesStarted && imagesStarted);
    EmittingStream tracker("tracker");
    Output::OutputHub outputs;
    Igtl::IgtlStreamOutput::Options options;
    options.imageServer = &images;
    outputs.add(std::make_shared<Igtl::IgtlStreamOutput>(poses, options));
    outputs.listen(tracker);
    TestSupport::IgtlTestClient poseClient(poses.port());
    TestSupport::IgtlTestClient imageClient(images.port());
    ASSERT_TRUE(TestSupport::waitFor(
        [&] { return poses.connectedClients() == 1 && images.connectedClients() == 1; }));

    TrackingInstrument pointer;
    pointer.id = TrackerID("atracsys-1200", "", "pointer");
    pointer.quality = 0.9;
    pointer.timestamp = 100;
    std::vector<std::uint8_t> pixels(64 * 32, 9);
    auto image = std::make_shared<SharedImage>(std::shared_ptr<MemImage>(
        MemImage::create(ImageDescriptor(PixelUInt8, 64, 32), pixels.data(), MemImage::Owned)));
    auto withImages =
        std::make_shared<TrackingStreamData>(&tracker, std::vector<TrackingInstrument>{pointer});
    withImages->components().add(std::make_unique<TrackingCameraImagesData>(image, image));
    tracker.signalStreamData.emitSignal(withImages);
    std::vector<std::string> devices;
    for (int i = 0; i < 2; ++i) {
        const auto received = imageClient.receive();
        ASSERT_TRUE(received);
        EXPECT_EQ(received->type, "IMAGE");
        EXPECT_EQ(received->width, 64);
        devices.push_back(received->device);
    }
    EXPECT_EQ(devices, (std::vector<std::string>{"Camera (left)", "Camera (right)"}));
    pointer.timestamp = 200;
    tracker.signalStreamData.emitSignal(
        std::make_shared<TrackingStreamData>(&tracker, std::vector<TrackingInstrument>{pointer}));
    std::vector<std::string> onPoses;
    while (const auto message = poseClient.receive()) {
        onPoses.push_back(message->type);
        if (message->type == "TDATA" && message->timestampMs == 200) {
            break;
        }
    }
    EXPECT_EQ(onPoses, (std::vector<std::string>{"TRANSFORM", "TDATA", "TRANSFORM", "TDATA"}));

    // Each server says what it sends.
    igtl::GetCapabilityMessage::Pointer ask = igtl::GetCapabilityMessage::New();
    ASSERT_TRUE(poseClient.send(*ask) && imageClient.send(*ask));
    const auto poseTypes = poseClient.receiveType("CAPABILITY");
    const auto imageTypes = imageClient.receiveType("CAPABILITY");
    ASSERT_TRUE(poseTypes && imageTypes);
    EXPECT_EQ(poseTypes->types, (std::vector<std::string>{"TRANSFORM", "TDATA", "STATUS", "CAPABILITY"}));
    EXPECT_EQ(imageTypes->types, (std::vector<std::string>{"STATUS", "CAPABILITY", "IMAGE"}));
    outputs.finish();
}
