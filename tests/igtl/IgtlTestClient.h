#pragma once
// A client for the tests, made with the OpenIGTLink library's messages: connects over the loopback
// interface and reads one message at a time, waiting for it with a deadline generous enough for a busy
// machine.

#include "MessageReader.h"

#include <igtlMessageBase.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace TestSupport {

struct IgtlMessage {
    std::string type;
    std::string device;
    std::uint64_t timestampMs = 0;
    std::array<float, 16> matrix{};                                    // TRANSFORM
    std::vector<std::pair<std::string, std::array<float, 16>>> tools;  // TDATA
    int code = 0;                                                      // STATUS
    std::string text;                                                  // STATUS
    std::vector<std::string> types;                                    // CAPABILITY
    int width = 0;                                                     // IMAGE
    int height = 0;
    std::vector<std::uint8_t> pixels;  // IMAGE, 8-bit, row by row
};

class IgtlTestClient {
public:
    /// How long a message that is due may take; a test that expects none gives its own, short, time.
    static constexpr int kDeadlineMs = 30000;

    explicit IgtlTestClient(int port);
    bool connected() const { return m_reader.connected(); }
    /// The next message; nothing when none came within the time-out or the server closed the connection.
    std::optional<IgtlMessage> receive(int timeoutMs = kDeadlineMs);
    /// The next message of this type, skipping others; nothing when none came in time.
    std::optional<IgtlMessage> receiveType(const std::string& type, int timeoutMs = kDeadlineMs);
    bool send(igtl::MessageBase& message);
    /// Sends these bytes in one write.
    bool sendBytes(const std::string& bytes);

private:
    Halvoren::Igtl::MessageReader m_reader;
};

}  // namespace TestSupport
