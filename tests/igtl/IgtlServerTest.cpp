// The OpenIGTLink server against clients made with the protocol's library, over the loopback interface.
#include "IgtlTestClient.h"
#include "igtl/IgtlServer.h"
#include "support/LogCapture.h"
#include "support/QtWait.h"

#include <gtest/gtest.h>
#include <igtlCapabilityMessage.h>
#include <igtlStatusMessage.h>
#include <igtlTrackingDataMessage.h>
#include <igtl_header.h>
#include <igtl_util.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using Halvoren::Igtl::GreyImage;
using Halvoren::Igtl::IgtlServer;
using Halvoren::Igtl::ToolPose;
using Halvoren::Igtl::TrackingFrame;
using TestSupport::IgtlMessage;
using TestSupport::IgtlTestClient;

namespace {

ToolPose tool(const std::string& name, bool seen, std::uint64_t timestamp, float x) {
    ToolPose pose;
    pose.name = name;
    pose.seen = seen;
    pose.timestampMs = timestamp;
    pose.matrix = {0, -1, 0, x, 1, 0, 0, -20.5f, 0, 0, 1, 1000.25f, 0, 0, 0, 1};
    return pose;
}

std::unique_ptr<IgtlServer> startServer(IgtlServer::Options options = {}) {
    options.port = 0;
    options.host = "127.0.0.1";
    auto server = std::make_unique<IgtlServer>(options);
    std::string error;
    EXPECT_TRUE(server->start(error)) << error;
    return server;
}

bool waitForClients(const IgtlServer& server, std::size_t count) {
    return TestSupport::waitFor([&] { return server.connectedClients() == count; });
}

/// A socket of our own, to send what the library's client never would.
int rawConnect(int port, int receiveBuffer = 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    return fd;
}

std::string header(const char* type, std::uint64_t bodySize, std::uint64_t crc) {
    igtl_header h{};
    h.version = 1;
    std::memcpy(h.name, type, std::min(std::strlen(type), sizeof(h.name)));
    std::memcpy(h.device_name, "bad", 3);
    h.body_size = bodySize;
    h.crc = crc;
    igtl_header_convert_byte_order(&h);
    return std::string(reinterpret_cast<const char*>(&h), sizeof(h));
}

}  // namespace

TEST(IgtlServer, ClientsGetPosesFromConnectingOnAndStatusWhenAToolDisappearsAndReappears) {
    auto server = startServer();
    IgtlTestClient first(server->port());
    IgtlTestClient second(server->port());
    ASSERT_TRUE(first.connected() && second.connected());
    ASSERT_TRUE(waitForClients(*server, 2));

    server->publish(
        {{tool("pointer", true, 1000, 5.5f), tool("tool", true, 1001, 7.f), tool("hidden", false, 0, 0)}});
    for (IgtlTestClient* client : {&first, &second}) {
        const auto pointer = client->receive();
        const auto seenTool = client->receive();
        const auto tracking = client->receive();
        ASSERT_TRUE(pointer && seenTool && tracking);
        EXPECT_EQ(pointer->type, "TRANSFORM");
        EXPECT_EQ(pointer->device, "pointer");
        EXPECT_EQ(pointer->timestampMs, 1000u);
        EXPECT_EQ(pointer->matrix, tool("pointer", true, 1000, 5.5f).matrix);
        EXPECT_EQ(seenTool->device, "tool");
        ASSERT_EQ(tracking->type, "TDATA");
        EXPECT_EQ(tracking->timestampMs, 1001u);
        ASSERT_EQ(tracking->tools.size(), 2u);  // the unseen tool is not sent
        EXPECT_EQ(tracking->tools[1].first, "tool");
        EXPECT_EQ(tracking->tools[1].second, tool("tool", true, 1001, 7.f).matrix);
    }

    // The tool disappears, then reappears: a STATUS with its name says so each time.
    server->publish(
        {{tool("pointer", true, 1010, 6.f), tool("tool", false, 1010, 0), tool("hidden", false, 0, 0)}});
    auto status = first.receive();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->type, "STATUS");
    EXPECT_EQ(status->device, "tool");
    EXPECT_EQ(status->code, igtl::StatusMessage::STATUS_NOT_PRESENT);
    const auto onlyPointer = first.receive();
    ASSERT_TRUE(onlyPointer);
    EXPECT_EQ(onlyPointer->device, "pointer");
    const auto tracking = first.receive();
    ASSERT_TRUE(tracking);
    EXPECT_EQ(tracking->tools.size(), 1u);

    server->publish(
        {{tool("pointer", true, 1020, 6.f), tool("tool", true, 1020, 1.f), tool("hidden", false, 0, 0)}});
    status = first.receiveType("STATUS");
    ASSERT_TRUE(status);
    EXPECT_EQ(status->device, "tool");
    EXPECT_EQ(status->code, igtl::StatusMessage::STATUS_OK);
    EXPECT_EQ(status->text, "tool is seen again");
    EXPECT_EQ(server->clients().size(), 2u);
}

TEST(IgtlServer, TrackingDataStopsAndRestartsAndRequestsAreAnswered) {
    auto server = startServer();
    IgtlTestClient client(server->port());
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(waitForClients(*server, 1));

    igtl::StopTrackingDataMessage::Pointer stop = igtl::StopTrackingDataMessage::New();
    ASSERT_TRUE(client.send(*stop));
    igtl::GetStatusMessage::Pointer getStatus = igtl::GetStatusMessage::New();
    ASSERT_TRUE(client.send(*getStatus));
    const auto status = client.receive();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->type, "STATUS");
    EXPECT_EQ(status->code, igtl::StatusMessage::STATUS_OK);

    // Stopped: transforms only. The request was answered, so the stop was read before this frame.
    server->publish({{tool("pointer", true, 2000, 1.f)}});
    server->publish({{tool("pointer", true, 2001, 1.f)}});
    igtl::GetCapabilityMessage::Pointer getCapability = igtl::GetCapabilityMessage::New();
    ASSERT_TRUE(client.send(*getCapability));
    std::vector<std::string> types;
    std::optional<IgtlMessage> message;
    while ((message = client.receive()) && message->type != "CAPABILITY") {
        types.push_back(message->type);
    }
    ASSERT_TRUE(message);
    EXPECT_NE(std::find(message->types.begin(), message->types.end(), "TDATA"), message->types.end());
    EXPECT_NE(std::find(message->types.begin(), message->types.end(), "TRANSFORM"), message->types.end());
    EXPECT_FALSE(types.empty());
    EXPECT_EQ(std::count(types.begin(), types.end(), "TDATA"), 0);

    igtl::StartTrackingDataMessage::Pointer start = igtl::StartTrackingDataMessage::New();
    ASSERT_TRUE(client.send(*start));
    ASSERT_TRUE(client.send(*getStatus));
    ASSERT_TRUE(client.receiveType("STATUS"));
    server->publish({{tool("pointer", true, 2002, 1.f)}});
    const auto tracking = client.receiveType("TDATA");
    ASSERT_TRUE(tracking);
    EXPECT_EQ(tracking->timestampMs, 2002u);
}

TEST(IgtlServer, BadClientsLoseOnlyTheirOwnConnection) {
    TestSupport::LogCapture log;
    auto server = startServer();
    IgtlTestClient good(server->port());
    ASSERT_TRUE(waitForClients(*server, 1));

    const std::string garbage(Halvoren::Igtl::kHeaderSize, '\x7f');
    const std::string wrongCrc = header("GET_STATUS", 4, 12345) + "body";
    const std::string huge = header("STRING", 4ULL * 1024 * 1024 * 1024, 0);
    std::vector<int> bad;
    for (const std::string* bytes : {&garbage, &wrongCrc, &huge}) {
        const int fd = rawConnect(server->port());
        ASSERT_EQ(::send(fd, bytes->data(), bytes->size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes->size()));
        bad.push_back(fd);
    }
    ::close(rawConnect(server->port()));  // connects and leaves at once
    std::vector<int> crowd;
    for (int i = 0; i < 50; ++i) {
        crowd.push_back(rawConnect(server->port()));
    }
    EXPECT_TRUE(TestSupport::waitFor([&] { return server->clients().size() == 1 + 3 + 1 + 50; }));

    for (std::uint64_t t = 1; t <= 3; ++t) {
        server->publish({{tool("pointer", true, t, 1.f)}});
        const auto tracking = good.receiveType("TDATA");
        ASSERT_TRUE(tracking);
        EXPECT_EQ(tracking->timestampMs, t);
    }
    for (const int fd : crowd) {
        ::close(fd);
    }
    EXPECT_TRUE(waitForClients(*server, 1 + 0));
    std::vector<std::string> reasons;
    for (const auto& client : server->clients()) {
        reasons.push_back(client.closeReason);
    }
    const auto has = [&](const std::string& text) {
        return std::any_of(reasons.begin(), reasons.end(),
                           [&](const std::string& r) { return r.find(text) != std::string::npos; });
    };
    EXPECT_TRUE(has("sent a malformed message header"));
    EXPECT_TRUE(has("sent a GET_STATUS message with a wrong CRC"));
    EXPECT_TRUE(has("announced a message body of 4294967296 bytes"));
    EXPECT_EQ(log.countContaining("dropped: "), 3);
    for (const int fd : bad) {
        ::close(fd);
    }
}

TEST(IgtlServer, AStalledClientIsDroppedAndItsDropsCounted) {
    IgtlServer::Options options;
    options.stallTimeout = std::chrono::milliseconds(300);
    options.imageRateHz = 1000.0;
    auto server = startServer(options);
    const int stalled = rawConnect(server->port(), 4096);  // connects, then never reads
    ASSERT_TRUE(waitForClients(*server, 1));
    IgtlTestClient reader(server->port());
    ASSERT_TRUE(waitForClients(*server, 2));
    std::atomic<bool> done{false};
    std::atomic<int> images{0};
    std::thread reading([&] {
        while (!done.load()) {
            if (const auto message = reader.receive(200); message && message->type == "IMAGE") {
                ++images;
            }
        }
    });

    GreyImage image;
    image.device = "Camera (left)";
    image.width = 1024;
    image.height = 1024;
    image.pixels.assign(1024 * 1024, 7);
    std::uint64_t t = 0;
    const bool dropped = TestSupport::waitFor([&] {
        server->publishImage(image);
        server->publish({{tool("pointer", true, ++t, 1.f)}});
        return !server->clients()[0].connected;
    });
    const int imagesWhenDropped = images.load();
    EXPECT_TRUE(TestSupport::waitFor([&] {
        server->publishImage(image);
        return images.load() > imagesWhenDropped;
    }));
    done = true;
    reading.join();
    ASSERT_TRUE(dropped);
    const auto report = server->clients()[0];
    EXPECT_NE(report.closeReason.find("stalled"), std::string::npos) << report.closeReason;
    EXPECT_GT(report.framesDropped, 0u);
    // The client that reads was not held up by the one that does not.
    EXPECT_TRUE(server->clients()[1].connected);
    ::close(stalled);
}
