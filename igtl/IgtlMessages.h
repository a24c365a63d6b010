#pragma once
// OpenIGTLink messages as the tracking server sends and reads them, packed by the protocol's own library.
// Pure functions: no sockets, no threads.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Halvoren::Igtl {

/// One instrument of a frame: its name on the wire and its pose (row-major 4 x 4, millimetres).
struct ToolPose {
    std::string name;
    bool seen = false;
    std::uint64_t timestampMs = 0;  // ms since the epoch
    std::array<float, 16> matrix{};
};

/// One frame of tracking data, as the server hands it to its clients.
struct TrackingFrame {
    std::vector<ToolPose> tools;
};

/// A camera image, 8-bit grey, row by row.
struct GreyImage {
    std::string device;
    int width = 0;
    int height = 0;
    std::uint64_t timestampMs = 0;
    std::vector<std::uint8_t> pixels;
};

/// Size of every message header.
constexpr std::size_t kHeaderSize = 58;

/// Packed messages are appended to `out`, ready to be sent.
void appendTransform(std::string& out, const ToolPose& tool);
/// One TDATA message with an element (type 6D) per seen tool; nothing when no tool is seen.
void appendTrackingData(std::string& out, const std::string& device, const TrackingFrame& frame);
void appendStatus(std::string& out, const std::string& device, int code, const std::string& text);
void appendCapability(std::string& out, const std::vector<std::string>& types);
void appendImage(std::string& out, const GreyImage& image);

/// A message header as read from the wire.
struct Header {
    std::uint16_t version = 0;
    std::string type;
    std::string device;
    std::uint64_t timestamp = 0;
    std::uint64_t bodySize = 0;
    std::uint64_t crc = 0;
};

/// Reads the kHeaderSize bytes at `data`; nothing when they cannot be a header (unknown version, a type
/// that is not printable text).
std::optional<Header> readHeader(const std::uint8_t* data);
/// Whether the body carries the CRC its header announces.
bool crcMatches(const Header& header, const std::uint8_t* body);

}  // namespace Halvoren::Igtl
