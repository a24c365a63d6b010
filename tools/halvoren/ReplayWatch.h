#pragma once
// How a replay goes, as the application sees it through the stream and the log: the frames that came and,
// when the driver could not read the recording on, its reason.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <string>

namespace Halvoren::App {

/// The simulated driver delivers every recorded frame once, in order, so a replay is over when all of
/// them came; counting them also ends a recording whose frame numbers restart or end in 0. When the
/// recording cannot be read on, the driver hands over a frame the plug-in cannot use: the plug-in closes
/// the stream and logs the driver's last error, "AtracsysTracking: Replay stopped: <reason>", which is
/// where the reason is caught.
class ReplayWatch {
public:
    /// The text of the plug-in's error line that carries the driver's reason.
    static constexpr const char* kStopPrefix = "AtracsysTracking: Replay stopped: ";
    /// The plug-in's line that names the device the driver enumerated: "<model>, SN 0x<hex>".
    static constexpr const char* kDetectedPrefix = "AtracsysTracking: Detected ";

    /// Control thread: watches the log from now on for a replay of that many frames; `arrived` (any
    /// thread) tells how many came so far.
    ReplayWatch(std::size_t frameCount, std::function<std::uint64_t()> arrived);
    /// Stops watching the log.
    ~ReplayWatch();
    ReplayWatch(const ReplayWatch&) = delete;
    ReplayWatch& operator=(const ReplayWatch&) = delete;

    /// Any thread: every recorded frame came.
    bool ended() const { return m_arrived() >= m_frameCount; }
    /// Once the camera opened: whether the device the driver enumerated is the replay's (the serial number
    /// its settings gave it); false with what the driver found instead (empty when it named no device).
    bool replaysOn(std::uint64_t serialNumber, std::string& found) const;
    /// Any thread: why the driver stopped the replay before its end; empty while it did not.
    std::string stopReason() const;
    /// "halvoren: the replay stopped: <reason>, after N of M frames" when the driver stopped it; nothing
    /// otherwise.
    void writeStop(std::ostream& err) const;

private:
    const std::size_t m_frameCount;
    const std::function<std::uint64_t()> m_arrived;
    mutable std::mutex m_mutex;  // guards m_reason; the log's sink takes it, and nothing else under it
    std::string m_reason;
    std::string m_detected;  // the last device the plug-in said it detected
    int m_sink = -1;
};

}  // namespace Halvoren::App
