#pragma once
// OpenIGTLink messages as the tracking server sends and reads them, packed by the protocol's own library.
// Pure functions: no sockets, no threads.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace Halvoren::Igtl {

/// One pose of a frame: a TRANSFORM message while it is seen (row-major 4 x 4, millimetres), a STATUS when
/// it is lost or back, and, for an instrument's own pose, an element of the TDATA message.
struct ToolPose {
    std::string name;  // the device name of its TRANSFORM and STATUS messages
    std::string id;    // what tells instruments apart when their names are alike; the name when empty
    bool seen = false;
    std::uint64_t timestampMs = 0;  // ms since the epoch
    std::array<float, 16> matrix{};
    /// Its TDATA element's name: the name when empty.
    std::string element;
    /// Whether it is a TDATA element: a tool's tip goes out as a TRANSFORM only.
    bool tracked = true;
    /// Why it is not seen when that is more than being out of view ("reference not seen").
    std::string reason;
    /// What the STATUS text calls it: the name when empty (a name shortened to fit the wire is given in
    /// full).
    std::string label;
};

/// One frame of tracking data, as the server hands it to its clients.
struct TrackingFrame {
    std::vector<ToolPose> tools;
    /// When the camera exposed the frame: us since the epoch on the host's system clock; 0 when unknown.
    /// What the clients' latency is measured from.
    std::uint64_t exposureUs = 0;
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
/// Longest device name the wire holds.
constexpr std::size_t kMaxNameSize = 20;
/// Longest TDATA element name: the protocol's library reads one of 20 characters back as empty.
constexpr std::size_t kMaxElementNameSize = 19;

/// Packed messages are appended to `out`, ready to be sent. False, with `out` unchanged, when the library
/// refuses the message (a name longer than kMaxNameSize, ...).
bool appendTransform(std::string& out, const ToolPose& tool);
/// One TDATA message with an element (type 6D) per seen tracked tool; nothing (and true) when there is none.
bool appendTrackingData(std::string& out, const std::string& device, const TrackingFrame& frame);
bool appendStatus(std::string& out, const std::string& device, int code, const std::string& text);
bool appendCapability(std::string& out, const std::vector<std::string>& types);
bool appendImage(std::string& out, const GreyImage& image);

/// Gives names device names that fit the wire and are unique among those it gave: the name itself when it
/// fits and is free, else the name shortened with a distinguishing suffix (its end, or a number). A name
/// once given stays, so an instrument keeps its device name for the whole run.
class DeviceNames {
public:
    /// Element names of TDATA messages by default; device names take kMaxNameSize.
    explicit DeviceNames(std::size_t maxSize = kMaxElementNameSize)
        : m_maxSize(std::max<std::size_t>(maxSize, 8)) {}
    /// The device name for `name`. `renamed`, when given, is set when the name was given just now and
    /// differs from `name`.
    const std::string& of(const std::string& name, bool* renamed = nullptr) {
        return of(name, name, renamed);
    }
    /// The same for the thing `key` names (an instrument's ID), made from its `name`: two things named
    /// alike get two device names.
    const std::string& of(const std::string& key, const std::string& name, bool* renamed);

private:
    std::size_t m_maxSize;
    std::map<std::string, std::string> m_given;
    std::set<std::string> m_taken;
};

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
