// The OpenIGTLink server against clients made with the protocol's library, over the loopback interface,
// fed as a stream's output feeds it.
#include "IgtlTestClient.h"
#include "IgtlTestFeed.h"
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
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
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
using TestSupport::IgtlTestFeed;

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
    const auto started = server->start();
    EXPECT_TRUE(started) << started.error().message;
    return server;
}

bool waitForClients(const IgtlServer& server, std::size_t count) {
    return TestSupport::waitFor([&] { return server.connectedClients() == count; });
}

/// Connects a socket of our own to the server on loopback.
void connectTo(int fd, int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0)
        << std::strerror(errno);
}

/// A socket of our own, to send what the library's client never would.
int rawConnect(int port, int receiveBuffer = 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    }
    connectTo(fd, port);
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
    IgtlTestFeed feed(*server);
    IgtlTestClient first(server->port());
    IgtlTestClient second(server->port());
    ASSERT_TRUE(first.connected() && second.connected());
    ASSERT_TRUE(waitForClients(*server, 2));

    feed.publish(
        {{tool("pointer", true, 1000, 5.5f), tool("tool", true, 1001, 7.f), tool("hidden", false, 0, 0)}});
    for (IgtlTestClient* client : {&first, &second}) {
        const auto hidden = client->receive();  // invalid from the first frame on
        ASSERT_TRUE(hidden);
        EXPECT_EQ(hidden->type, "STATUS");
        EXPECT_EQ(hidden->device, "hidden");
        EXPECT_EQ(hidden->code, igtl::StatusMessage::STATUS_NOT_PRESENT);
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
    feed.publish(
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

    feed.publish(
        {{tool("pointer", true, 1020, 6.f), tool("tool", true, 1020, 1.f), tool("hidden", false, 0, 0)}});
    status = first.receiveType("STATUS");
    ASSERT_TRUE(status);
    EXPECT_EQ(status->device, "tool");
    EXPECT_EQ(status->code, igtl::StatusMessage::STATUS_OK);
    EXPECT_EQ(status->text, "tool is seen again");
    EXPECT_EQ(server->clients().size(), 2u);

    // A client that connects while poses are invalid is told of each at once, before any frame.
    feed.publish(
        {{tool("pointer", true, 1030, 6.f), tool("tool", false, 1030, 0), tool("hidden", false, 0, 0)}});
    ASSERT_TRUE(second.receiveType("STATUS"));  // the tool is lost again: the server knows it by now
    IgtlTestClient third(server->port());
    std::vector<std::string> told;
    while (const auto message = third.receive(500)) {
        ASSERT_EQ(message->type, "STATUS");
        EXPECT_EQ(message->code, igtl::StatusMessage::STATUS_NOT_PRESENT);
        told.push_back(message->device + ": " + message->text);
    }
    EXPECT_EQ(told, (std::vector<std::string>{"hidden: hidden is not seen", "tool: tool is not seen"}));
}

TEST(IgtlServer, TrackingDataStopsAndRestartsAndRequestsAreAnswered) {
    IgtlServer::Options noImages;
    noImages.imageRateHz = 0.0;
    auto server = startServer(noImages);
    IgtlTestFeed feed(*server);
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
    feed.publish({{tool("pointer", true, 2000, 1.f)}});
    feed.publish({{tool("pointer", true, 2001, 1.f)}});
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
    // Only what is sent: this server sends no images.
    EXPECT_EQ(std::find(message->types.begin(), message->types.end(), "IMAGE"), message->types.end());
    EXPECT_FALSE(types.empty());
    EXPECT_EQ(std::count(types.begin(), types.end(), "TDATA"), 0);

    igtl::StartTrackingDataMessage::Pointer start = igtl::StartTrackingDataMessage::New();
    ASSERT_TRUE(client.send(*start));
    ASSERT_TRUE(client.send(*getStatus));
    ASSERT_TRUE(client.receiveType("STATUS"));
    feed.publish({{tool("pointer", true, 2002, 1.f)}});
    const auto tracking = client.receiveType("TDATA");
    ASSERT_TRUE(tracking);
    EXPECT_EQ(tracking->timestampMs, 2002u);
}

TEST(IgtlServer, BadClientsLoseOnlyTheirOwnConnection) {
    TestSupport::LogCapture log;
    auto server = startServer();
    IgtlTestFeed feed(*server);
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
        feed.publish({{tool("pointer", true, t, 1.f)}});
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
    for (const auto& [reason, count] : server->earlierClients().reasons) {
        reasons.push_back(reason);  // the crowd that left after them pushed them out of the list
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
    // Long enough that a reader descheduled on a busy machine is not taken for a stalled one.
    options.stallTimeout = std::chrono::milliseconds(1000);
    options.imageRateHz = 1000.0;
    auto server = startServer(options);
    IgtlTestFeed feed(*server);
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
        feed.publishImage(image);
        feed.publish({{tool("pointer", true, ++t, 1.f)}});
        return !server->clients()[0].connected;
    });
    const int imagesWhenDropped = images.load();
    EXPECT_TRUE(TestSupport::waitFor([&] {
        feed.publishImage(image);
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

TEST(IgtlServer, AClientThatReadsNothingIsDroppedWithinSecondsAndNotCreditedWithFrames) {
    TestSupport::LogCapture log;
    auto server = startServer();  // the usual stall time-out, 3 s
    IgtlTestFeed feed(*server);
    const int silent = rawConnect(server->port());  // usual buffers; never reads
    ASSERT_TRUE(waitForClients(*server, 1));
    using Clock = std::chrono::steady_clock;
    std::uint64_t published = 0;
    const auto start = Clock::now();
    const bool dropped = TestSupport::waitFor(
        [&] {
            // A camera's rate, with three instruments.
            if (Clock::now() - start >= published * std::chrono::microseconds(16667)) {
                ++published;
                feed.publish({{tool("pointer", true, published, 1.f), tool("reference", true, published, 2.f),
                               tool("tool", true, published, 3.f)}});
            }
            return !server->clients()[0].connected;
        },
        std::chrono::seconds(20));
    ASSERT_TRUE(dropped);  // within about 5 s; the kernel's buffers alone would have taken it for 90 s
    const auto report = server->clients()[0];
    EXPECT_NE(report.closeReason.find("stalled"), std::string::npos) << report.closeReason;
    // What its side never acknowledged is not counted as sent.
    EXPECT_LT(report.framesSent + report.framesDropped, published);
    EXPECT_EQ(log.countContaining("dropped: stalled"), 1);
    ::close(silent);
}

TEST(IgtlServer, LongInstrumentNamesGetDistinctStableDeviceNames) {
    TestSupport::LogCapture log;
    auto server = startServer();
    IgtlTestFeed feed(*server);
    IgtlTestClient client(server->port());
    ASSERT_TRUE(waitForClients(*server, 1));

    feed.publish({{tool("patient_reference_marker_1", true, 1, 1.f),
                   tool("patient_reference_marker_2", true, 1, 2.f)}});
    const auto first = client.receive();
    const auto second = client.receive();
    const auto tracking = client.receive();
    ASSERT_TRUE(first && second && tracking);
    // Device names hold 20 characters, TDATA element names 19.
    EXPECT_EQ(first->device, "patient_ref~marker_1");
    EXPECT_EQ(second->device, "patient_ref~marker_2");
    EXPECT_EQ(first->matrix[3], 1.f);
    EXPECT_EQ(second->matrix[3], 2.f);
    ASSERT_EQ(tracking->tools.size(), 2u);  // not empty
    EXPECT_EQ(tracking->tools[0].first, "patient_re~marker_1");
    EXPECT_EQ(tracking->tools[1].first, "patient_re~marker_2");
    EXPECT_EQ(tracking->tools[1].second, second->matrix);
    EXPECT_EQ(log.countContaining("device name patient_reference_marker_1 is sent as patient_ref~marker_1"),
              1);
    EXPECT_EQ(log.countContaining("TDATA element patient_reference_marker_2 is sent as patient_re~marker_2"),
              1);

    // One added while running whose end is taken too gets a number; the others keep theirs.
    feed.publish(
        {{tool("patient_reference_marker_1", true, 2, 1.f), tool("patient_reference_marker_2", false, 2, 0.f),
          tool("patient_reference_2nd_marker_1", true, 2, 3.f)}});
    const auto status = client.receive();
    const auto kept = client.receive();
    const auto added = client.receive();
    ASSERT_TRUE(status && kept && added);
    EXPECT_EQ(status->device, "patient_ref~marker_2");
    EXPECT_EQ(status->text, "patient_reference_marker_2 is not seen");
    EXPECT_EQ(kept->device, "patient_ref~marker_1");
    EXPECT_EQ(added->device, "patient_reference_~2");
    EXPECT_EQ(log.countContaining("is sent as patient_reference~2"), 1);  // its TDATA element
    EXPECT_EQ(log.countContaining("is sent as"), 6);                      // each said once, not per frame

    // A name that fits but is taken is numbered as well.
    Halvoren::Igtl::DeviceNames names;
    EXPECT_EQ(names.of("patient_reference_marker_1"), "patient_re~marker_1");
    bool renamed = true;
    EXPECT_EQ(names.of("pointer", &renamed), "pointer");
    EXPECT_FALSE(renamed);
    EXPECT_EQ(names.of("patient_re~marker_1", &renamed), "patient_re~marker~2");
    EXPECT_TRUE(renamed);
    // Two instruments of one name are told apart by their IDs.
    EXPECT_EQ(names.of("atracsys-1200", "tool", &renamed), "tool");
    EXPECT_EQ(names.of("atracsys-1300", "tool", &renamed), "tool~2");
    EXPECT_TRUE(renamed);
    EXPECT_EQ(names.of("atracsys-1200", "tool", &renamed), "tool");
}

TEST(IgtlServer, PipelinedRequestsAreAnsweredAsTheClientReadsTheReplies) {
    auto server = startServer();
    IgtlTestClient client(server->port());
    ASSERT_TRUE(waitForClients(*server, 1));
    igtl::GetStatusMessage::Pointer request = igtl::GetStatusMessage::New();
    request->Pack();
    std::string requests;
    for (int i = 0; i < 300; ++i) {
        requests.append(static_cast<const char*>(request->GetPackPointer()),
                        static_cast<std::size_t>(request->GetPackSize()));
    }
    ASSERT_TRUE(client.sendBytes(requests));
    int replies = 0;
    while (replies < 300 && client.receiveType("STATUS")) {
        ++replies;
    }
    EXPECT_EQ(replies, 300);
    EXPECT_EQ(server->connectedClients(), 1u);
    EXPECT_EQ(server->clients()[0].closeReason, "");
}

TEST(IgtlServer, DepartedClientsAreSummedUpRatherThanKeptOneByOne) {
    IgtlServer::Options options;
    options.departedListed = 4;
    auto server = startServer(options);
    IgtlTestClient staying(server->port());
    ASSERT_TRUE(waitForClients(*server, 1));
    for (int i = 0; i < 40; ++i) {
        ::close(rawConnect(server->port()));
    }
    ASSERT_TRUE(TestSupport::waitFor([&] {
        return server->clients().size() + server->earlierClients().count == 41 &&
               server->connectedClients() == 1;
    }));
    const auto listed = server->clients();
    ASSERT_EQ(listed.size(), 1u + 4u);
    EXPECT_TRUE(listed[0].connected);  // connected clients are never summed up
    const auto earlier = server->earlierClients();
    EXPECT_EQ(earlier.count, 36u);
    EXPECT_EQ(earlier.reasons.at("disconnected"), 36u);
}

TEST(IgtlServer, PerClientRecordsStayBoundedHoweverManyClientsComeAndGo) {
    TestSupport::LogCapture log;
    IgtlServer::Options options;
    options.departedListed = 4;
    auto server = startServer(options);
    IgtlTestFeed feed(*server);
    IgtlTestClient staying(server->port());
    ASSERT_TRUE(waitForClients(*server, 1));
    std::uint64_t came = 1;
    // Clients that leave quietly, and clients dropped each for a reason of its own.
    const auto comeAndGo = [&](std::uint64_t round) {
        for (int i = 0; i < 100; ++i) {
            ::close(rawConnect(server->port()));
        }
        for (std::uint64_t i = 0; i < 12; ++i) {
            const int fd = rawConnect(server->port());
            const std::string oversize = header("GET_STATUS", options.maxBodyBytes + round * 100 + i + 1, 0);
            ::send(fd, oversize.data(), oversize.size(), MSG_NOSIGNAL);
            ::close(fd);
        }
        came += 112;
        return TestSupport::waitFor([&] {
            return server->clients().size() + server->earlierClients().count == came &&
                   server->connectedClients() == 1;
        });
    };
    ASSERT_TRUE(comeAndGo(1));
    const std::size_t held = server->recordsHeld();
    EXPECT_LE(held, 20u);  // one connected, four listed, a few reasons
    ASSERT_TRUE(comeAndGo(2));
    EXPECT_EQ(server->recordsHeld(), held);
    EXPECT_EQ(log.countContaining("dropped: announced a message body"), 24);
    feed.publish({{tool("pointer", true, 1, 1.f)}});
    EXPECT_TRUE(staying.receiveType("TDATA"));
}

TEST(IgtlServer, ClientsOverTheLimitAreToldAndCountedAndUnfinishedMessagesTimeOut) {
    TestSupport::LogCapture log;
    IgtlServer::Options options;
    options.maxClients = 2;
    options.messageTimeout = std::chrono::milliseconds(300);
    auto server = startServer(options);
    IgtlTestFeed feed(*server);
    // Two clients hold the places with half a message each.
    const std::string half = header("GET_STATUS", 0, 0).substr(0, 20);
    std::vector<int> holders;
    for (int i = 0; i < 2; ++i) {
        holders.push_back(rawConnect(server->port()));
        ASSERT_EQ(::send(holders.back(), half.data(), half.size(), MSG_NOSIGNAL), 20);
        ASSERT_TRUE(waitForClients(*server, holders.size()));
    }
    IgtlTestClient refused(server->port());
    const auto told = refused.receive();
    ASSERT_TRUE(told);
    EXPECT_EQ(told->type, "STATUS");
    EXPECT_EQ(told->code, igtl::StatusMessage::STATUS_BUSY);
    EXPECT_FALSE(refused.receive(2000));  // then closed

    // The holders time out, and a new client is served again.
    ASSERT_TRUE(waitForClients(*server, 0));
    IgtlTestClient later(server->port());
    ASSERT_TRUE(waitForClients(*server, 1));
    feed.publish({{tool("pointer", true, 1, 1.f)}});
    EXPECT_TRUE(later.receiveType("TDATA"));
    int unfinished = 0;
    int refusedCount = 0;
    for (const auto& report : server->clients()) {
        unfinished += report.closeReason == "left a message unfinished for 300 ms" ? 1 : 0;
        refusedCount += report.closeReason == "refused: at the limit of 2 clients" ? 1 : 0;
    }
    EXPECT_EQ(unfinished, 2);
    EXPECT_EQ(refusedCount, 1);
    EXPECT_EQ(log.countContaining("refused: at the limit of 2 clients"), 1);
    EXPECT_EQ(log.countContaining("dropped: left a message unfinished"), 2);
    for (const int fd : holders) {
        ::close(fd);
    }
}

TEST(IgtlServer, ListensOnIPv6AndIPv4AndNamesTheAddressItCannotListenOn) {
    IgtlServer::Options options;
    options.port = 0;  // all interfaces, talked to on the loopback ones only
    IgtlServer server(options);
    const auto started = server.start();
    ASSERT_TRUE(started) << started.error().message;
    IgtlTestFeed feed(server);
    IgtlTestClient overIPv4(server.port());
    ASSERT_TRUE(waitForClients(server, 1));
    const int v6 = ::socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 loopback6{};
    loopback6.sin6_family = AF_INET6;
    loopback6.sin6_addr = in6addr_loopback;
    loopback6.sin6_port = htons(static_cast<std::uint16_t>(server.port()));
    const bool hasIPv6 = v6 >= 0 && server.listeningOn() == "all interfaces";
    if (hasIPv6) {
        EXPECT_EQ(::connect(v6, reinterpret_cast<sockaddr*>(&loopback6), sizeof(loopback6)), 0);
        ASSERT_TRUE(waitForClients(server, 2));
        feed.publish({{tool("pointer", true, 1, 1.f)}});
        timeval wait{5, 0};
        ::setsockopt(v6, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
        std::uint8_t bytes[Halvoren::Igtl::kHeaderSize];
        ASSERT_EQ(::recv(v6, bytes, sizeof(bytes), MSG_WAITALL), static_cast<ssize_t>(sizeof(bytes)));
        const auto received = Halvoren::Igtl::readHeader(bytes);
        ASSERT_TRUE(received);
        EXPECT_EQ(received->type, "TRANSFORM");
        EXPECT_EQ(server.clients()[1].peer.rfind("[::1]:", 0), 0u) << server.clients()[1].peer;
    } else {
        EXPECT_EQ(server.listeningOn(), "all IPv4 interfaces");
    }
    EXPECT_TRUE(overIPv4.receiveType("TRANSFORM"));
    EXPECT_EQ(server.clients()[0].peer.rfind("127.0.0.1:", 0), 0u) << server.clients()[0].peer;
    if (v6 >= 0) {
        ::close(v6);
    }

    IgtlServer::Options elsewhere;
    elsewhere.host = "192.0.2.1";  // a documentation address no machine has
    elsewhere.port = 18944;
    IgtlServer absent(elsewhere);
    const auto refused = absent.start();
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().message.find("cannot listen on 192.0.2.1, port 18944: "), std::string::npos)
        << refused.error().message;
}

namespace {

// Accepting fails as when the process is out of descriptors while `outOfDescriptors` is set.
std::atomic<bool> outOfDescriptors{false};
std::atomic<int> acceptCalls{0};

int acceptOrFail(int fd, sockaddr* address, socklen_t* length, int flags) {
    ++acceptCalls;
    if (outOfDescriptors.load()) {
        errno = EMFILE;
        return -1;
    }
    return ::accept4(fd, address, length, flags);
}

}  // namespace

TEST(IgtlServer, AcceptFailuresBackOffWhileTheConnectedClientsAreServed) {
    TestSupport::LogCapture log;
    IgtlServer::Options options;
    options.accept = acceptOrFail;
    auto server = startServer(options);
    IgtlTestFeed feed(*server);
    IgtlTestClient served(server->port());
    ASSERT_TRUE(waitForClients(*server, 1));

    outOfDescriptors = true;
    const int waiting = rawConnect(server->port());
    ASSERT_TRUE(TestSupport::waitFor([&] { return log.countContaining("cannot accept clients") > 0; }));
    // Meanwhile the server does not spin on the waiting connection (a few tries a second at most), and
    // serves the connected client.
    const int callsBefore = acceptCalls.load();
    EXPECT_FALSE(served.receive(1000));  // nothing published: a second of waiting
    EXPECT_LT(acceptCalls.load() - callsBefore, 30);
    feed.publish({{tool("pointer", true, 1, 1.f)}});
    EXPECT_TRUE(served.receiveType("TDATA"));

    outOfDescriptors = false;
    EXPECT_TRUE(waitForClients(*server, 2));  // the waiting client is taken once descriptors are free
    EXPECT_EQ(log.countContaining("accepting clients again"), 1);
    log.countContaining("cannot accept clients");
    ::close(waiting);
}

TEST(IgtlServer, StalePosesAreWithheldWithAStatusUntilFramesFlowAgain) {
    IgtlServer::Options options;
    options.trackerName = "Camera";
    options.statusText = [] { return std::string("60.0 Hz, 0 missed"); };
    auto server = startServer(options);
    IgtlTestFeed feed(*server);
    IgtlTestClient first(server->port());
    IgtlTestClient second(server->port());
    ASSERT_TRUE(waitForClients(*server, 2));

    // Frames go on being published throughout, as the camera's stream would.
    std::atomic<bool> publishing{true};
    std::atomic<int> published{0};
    std::thread publisher([&] {
        while (publishing) {
            feed.publish({{tool("pointer", true, 3000, 1.f)}});
            ++published;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const auto next = [](IgtlTestClient& client) {
        const auto message = client.receive();
        return message ? message->type + " " + message->device + " " + std::to_string(message->code) + " " +
                             message->text
                       : std::string("nothing");
    };
    const std::string notReady = "STATUS Camera " + std::to_string(igtl::StatusMessage::STATUS_NOT_READY);
    for (IgtlTestClient* client : {&first, &second}) {
        EXPECT_TRUE(client->receiveType("TDATA"));
    }

    feed.setStale(true, "no frame for 150 ms");
    for (IgtlTestClient* client : {&first, &second}) {
        // What was on its way before may still come; then the status, and nothing more.
        const auto status = client->receiveType("STATUS");
        ASSERT_TRUE(status);
        EXPECT_EQ(status->device, "Camera");
        EXPECT_EQ(status->code, igtl::StatusMessage::STATUS_NOT_READY);
        EXPECT_EQ(status->text, "no frame for 150 ms");
    }
    IgtlTestClient late(server->port());
    EXPECT_EQ(next(late), notReady + " no frame for 150 ms");
    igtl::GetStatusMessage::Pointer getStatus = igtl::GetStatusMessage::New();
    ASSERT_TRUE(first.send(*getStatus));
    EXPECT_EQ(next(first), notReady + " 60.0 Hz, 0 missed");
    const int before = published;
    ASSERT_TRUE(TestSupport::waitFor([&] { return published >= before + 20; }));

    feed.setStale(false, "frames again after 523 ms");
    const std::string ok = "STATUS Camera " + std::to_string(igtl::StatusMessage::STATUS_OK);
    for (IgtlTestClient* client : {&first, &second, &late}) {
        EXPECT_EQ(next(*client), ok + " frames again after 523 ms");  // no frame came while stale
        EXPECT_EQ(next(*client), "TRANSFORM pointer 0 ");
    }
    ASSERT_TRUE(first.send(*getStatus));
    const auto fresh = first.receiveType("STATUS");
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->code, igtl::StatusMessage::STATUS_OK);
    publishing = false;
    publisher.join();
}

TEST(IgtlServer, TheFramesCountedSentAreThoseAClientThatReadsEverythingReceived) {
    auto server = startServer();
    IgtlTestFeed feed(*server);
    IgtlTestClient client(server->port());
    ASSERT_TRUE(waitForClients(*server, 1));
    constexpr int kFrames = 40;
    std::atomic<int> received{0};
    // Answering the frames, as an interactive client would, makes its side delay its acknowledgements
    // to send them along with its answers; the last one is not answered.
    std::thread reader([&] {
        igtl::StartTrackingDataMessage::Pointer start = igtl::StartTrackingDataMessage::New();
        while (const auto message = client.receive()) {
            if (message->type == "TDATA" && ++received < kFrames) {
                client.send(*start);
            }
        }
    });
    for (int i = 1; i <= kFrames; ++i) {
        feed.publish({{tool("pointer", true, static_cast<std::uint64_t>(i), 1.f)}});
        ASSERT_TRUE(TestSupport::waitFor([&] { return received >= i; }));
    }
    server->stop();  // at once: the last frame's acknowledgement may still be on its way
    reader.join();   // the connection ends
    const auto report = server->clients().at(0);
    EXPECT_EQ(received.load(), kFrames);
    EXPECT_EQ(report.framesSent, static_cast<std::uint64_t>(kFrames));
    EXPECT_EQ(report.framesDropped, 0u);
}

namespace {

/// Uses up the process's descriptors under a lowered limit, all but `spare`, and gives everything back.
class DescriptorsUsedUp {
public:
    explicit DescriptorsUsedUp(int spare) : m_source(::eventfd(0, EFD_CLOEXEC)) {
        ::getrlimit(RLIMIT_NOFILE, &m_limit);
        rlimit lowered = m_limit;
        lowered.rlim_cur = std::min<rlim_t>(m_limit.rlim_cur, 512);
        ::setrlimit(RLIMIT_NOFILE, &lowered);
        for (int fd; m_held.size() < 512 && (fd = ::fcntl(m_source, F_DUPFD_CLOEXEC, 0)) >= 0;) {
            m_held.push_back(fd);
        }
        for (int i = 0; i < spare && !m_held.empty(); ++i) {
            ::close(m_held.back());
            m_held.pop_back();
        }
    }
    ~DescriptorsUsedUp() {
        for (const int fd : m_held) {
            ::close(fd);
        }
        ::close(m_source);
        ::setrlimit(RLIMIT_NOFILE, &m_limit);
    }
    DescriptorsUsedUp(const DescriptorsUsedUp&) = delete;
    DescriptorsUsedUp& operator=(const DescriptorsUsedUp&) = delete;

private:
    int m_source;
    rlimit m_limit{};
    std::vector<int> m_held;
};

/// Everything the server sends until it closes the connection (or the deadline for a busy machine passes).
std::string readToEnd(int fd) {
    std::string bytes;
    char buffer[4096];
    pollfd poller{fd, POLLIN, 0};
    while (::poll(&poller, 1, IgtlTestClient::kDeadlineMs) == 1) {
        const ssize_t got = ::recv(fd, buffer, sizeof(buffer), 0);
        if (got <= 0) {
            break;
        }
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    return bytes;
}

}  // namespace

TEST(IgtlServer, ClientsWaitingWhileOutOfDescriptorsAreToldAndClosedWhileTheOthersAreServed) {
    TestSupport::LogCapture log;
    auto server = startServer();
    IgtlTestFeed feed(*server);
    IgtlTestClient served(server->port());
    ASSERT_TRUE(waitForClients(*server, 1));
    // A frame served before: the sanitizers' type checks need descriptors the first time only.
    feed.publish({{tool("pointer", true, 1, 1.f)}});
    ASSERT_TRUE(served.receiveType("TDATA"));
    std::vector<std::string> told;
    // The waiting clients' sockets exist before the descriptors run out, so that no other thread of this
    // process can take one the test needs: only the server is short of them.
    const int waiting[2] = {::socket(AF_INET, SOCK_STREAM, 0), ::socket(AF_INET, SOCK_STREAM, 0)};
    {
        const DescriptorsUsedUp usedUp(0);
        for (const int fd : waiting) {
            connectTo(fd, server->port());
            told.push_back(readToEnd(fd));
        }
        feed.publish({{tool("pointer", true, 2, 1.f)}});
        EXPECT_TRUE(served.receiveType("TDATA"));
    }
    for (const int fd : waiting) {
        ::close(fd);
    }
    for (const std::string& bytes : told) {
        ASSERT_GT(bytes.size(), Halvoren::Igtl::kHeaderSize);
        const auto header = Halvoren::Igtl::readHeader(reinterpret_cast<const std::uint8_t*>(bytes.data()));
        ASSERT_TRUE(header);
        EXPECT_EQ(header->type, "STATUS");
        EXPECT_EQ(bytes[Halvoren::Igtl::kHeaderSize + 1], igtl::StatusMessage::STATUS_BUSY);
        EXPECT_NE(bytes.find("out of file descriptors"), std::string::npos);
    }
    // The server counts a refusal once it has let the client go.
    const auto refused = [&] {
        int n = 0;
        for (const auto& report : server->clients()) {
            n += report.closeReason == "refused: out of file descriptors" ? 1 : 0;
        }
        return n;
    };
    EXPECT_TRUE(TestSupport::waitFor([&] { return refused() == 2; })) << refused();
    EXPECT_GE(log.countContaining("refused: out of file descriptors"), 1);
    // Descriptors free again: clients are served as before.
    IgtlTestClient later(server->port());
    ASSERT_TRUE(waitForClients(*server, 2));
    feed.publish({{tool("pointer", true, 3, 1.f)}});
    EXPECT_TRUE(later.receiveType("TDATA"));
}

TEST(IgtlServer, StoppingFinishesTheMessageEachClientHasBegunWithinABoundAndThenCloses) {
    auto server = startServer();
    IgtlTestFeed feed(*server);
    const int reading = rawConnect(server->port(), 16 * 1024);
    const int idle = rawConnect(server->port(), 16 * 1024);
    ASSERT_TRUE(waitForClients(*server, 2));
    GreyImage image;
    image.device = "Camera (left)";
    image.width = 2048;
    image.height = 1024;
    image.pixels.assign(2048 * 1024, 7);
    feed.publishImage(image);
    // Both have begun to receive the image, which their sockets cannot hold whole.
    ASSERT_TRUE(TestSupport::waitFor([&] {
        int reads = 0;
        int idles = 0;
        return ::ioctl(reading, FIONREAD, &reads) == 0 && ::ioctl(idle, FIONREAD, &idles) == 0 && reads > 0 &&
               idles > 0;
    }));
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        server->stop();
        stopped = true;
    });
    const std::string bytes = readToEnd(reading);
    // The client that reads gets the image whole, then the end of the stream; the one that reads nothing
    // holds the stop up for a bounded time only.
    EXPECT_TRUE(TestSupport::waitFor([&] { return stopped.load(); }));
    stopper.join();
    ASSERT_GE(bytes.size(), Halvoren::Igtl::kHeaderSize);
    const auto header = Halvoren::Igtl::readHeader(reinterpret_cast<const std::uint8_t*>(bytes.data()));
    ASSERT_TRUE(header);
    EXPECT_EQ(header->type, "IMAGE");
    EXPECT_EQ(bytes.size(), Halvoren::Igtl::kHeaderSize + header->bodySize);
    EXPECT_LT(readToEnd(idle).size(), bytes.size());
    ::close(reading);
    ::close(idle);
}
