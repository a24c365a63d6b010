// What a host stream emits reaches the OpenIGTLink clients: tracking data as poses, the image streams'
// 8-bit images as IMAGE messages.
#include "IgtlTestClient.h"
#include "igtl/IgtlServer.h"
#include "igtl/IgtlStreamOutput.h"
#include "support/NullStream.h"
#include "support/QtWait.h"

#include "host/Image.h"
#include "host/TrackingStream.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace Halvoren;

namespace {

using EmittingStream = TestSupport::NullStream<Stream>;

}  // namespace

TEST(IgtlStreamOutput, TrackingDataAndImagesOfAHostStreamReachTheClients) {
    Igtl::IgtlServer::Options options;
    options.host = "127.0.0.1";
    options.port = 0;
    Igtl::IgtlServer server(options);
    std::string error;
    ASSERT_TRUE(server.start(error)) << error;
    EmittingStream tracker("tracker");
    EmittingStream left("Camera (left)");
    Igtl::IgtlStreamOutput output(server, tracker, {&left});
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

    const auto pointer = client.receive();
    const auto byId = client.receive();
    const auto tracking = client.receive();
    ASSERT_TRUE(pointer && byId && tracking);
    EXPECT_EQ(pointer->device, "pointer");
    EXPECT_EQ(pointer->timestampMs, 5000u);
    EXPECT_FLOAT_EQ(pointer->matrix[3], 12.5f);
    EXPECT_EQ(byId->device, "atracsys-1300");  // without a name, the id
    EXPECT_EQ(tracking->tools.size(), 2u);

    std::vector<std::uint8_t> pixels(64 * 32, 200);
    auto image = std::make_shared<SharedImage>(std::shared_ptr<MemImage>(
        MemImage::create(ImageDescriptor(PixelUInt8, 64, 32), pixels.data(), MemImage::Owned)));
    left.signalStreamData.emitSignal(std::make_shared<ImageStreamData>(&left, image));
    const auto received = client.receiveType("IMAGE");
    ASSERT_TRUE(received);
    EXPECT_EQ(received->device, "Camera (left)");
    EXPECT_EQ(received->width, 64);
    EXPECT_EQ(received->height, 32);
}
