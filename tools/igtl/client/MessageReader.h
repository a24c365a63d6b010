#pragma once
// A client's side of an OpenIGTLink connection, read with deadlines: whole messages, never a wait past the
// time given, never a loop at the end of the stream. The protocol library's own socket reads a body with
// Receive/Skip that, at the end of the stream in the middle of a message, returns short or spins; what
// this reads is buffered across calls instead, so a message cut by a time-out is finished by the next call.

#include <igtlMessageBase.h>
#include <igtlMessageHeader.h>

#include <chrono>
#include <cstddef>
#include <string>

namespace Halvoren::Igtl {

class MessageReader {
public:
    enum class Outcome {
        Message,   // a whole message was read
        TimedOut,  // none came whole in time; what came is kept for the next call
        Closed,    // the server closed the connection (or it failed)
        Malformed  // a header that cannot be one, or a body larger than the reader takes
    };

    /// A connection to `host` (a name or an address) and `port`; -1 with the reason otherwise.
    static int connectTo(const std::string& host, int port, std::string& error);

    /// Takes over the connected socket `fd` (closed with the reader; -1: none).
    explicit MessageReader(int fd, std::size_t maxBodyBytes = 64 * 1024 * 1024);
    ~MessageReader();
    MessageReader(const MessageReader&) = delete;
    MessageReader& operator=(const MessageReader&) = delete;

    bool connected() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

    /// Sends the bytes whole; false when the connection failed.
    bool send(const void* data, std::size_t size);
    /// Packs and sends the message.
    bool send(igtl::MessageBase& message);

    /// The next message, waiting at most `timeout` for it to be whole: its header, unpacked, into
    /// `header`, its body's bytes into `body`.
    Outcome receive(igtl::MessageHeader& header, std::string& body, std::chrono::milliseconds timeout);
    /// Unpacks a body read by receive() into `message` (made for the header's type); false on a wrong CRC.
    static bool unpack(igtl::MessageHeader& header, const std::string& body, igtl::MessageBase& message);

private:
    /// Reads until the buffer holds `size` bytes; false when the deadline passed or the stream ended.
    bool fill(std::size_t size, std::chrono::steady_clock::time_point deadline);

    int m_fd;
    const std::size_t m_maxBodyBytes;
    std::string m_buffer;
    bool m_ended = false;
};

}  // namespace Halvoren::Igtl
