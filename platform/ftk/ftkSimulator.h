#pragma once
// Test control of the simulated driver: which devices exist, what each call answers, and a record of
// every driver call with its arguments. Everything here is thread-safe.

#include "ftk.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#define FTKSIM_API __attribute__((visibility("default")))

namespace ftksim {

struct OptionSpec {
    std::uint32_t id = 0;
    std::string name;
};

/// One simulated device and how it answers option calls.
struct DeviceSpec {
    std::uint64_t serialNumber = 0;
    ftkDeviceType type = FTK_DEVICE_SPRYTRACK_300;
    std::vector<OptionSpec> options;
    /// Current int32 values by option id (read with ftkGetInt32, updated by successful ftkSetInt32).
    std::map<std::uint32_t, std::int32_t> int32Values;
    /// Option ids whose writes (int32, float32, data) are refused with FTK_ERR_REFUSED.
    std::set<std::uint32_t> refusedWrites;
    /// Option ids whose reads are refused.
    std::set<std::uint32_t> refusedReads;
};

/// The options every simulated device offers unless a test gives its own list.
FTKSIM_API std::vector<OptionSpec> defaultOptions();
/// A device with the default options and an integration time of 35.
FTKSIM_API DeviceSpec makeDevice(std::uint64_t serialNumber, ftkDeviceType type);

/// Option ids of the default option list.
constexpr std::uint32_t kOptionDistanceMatchingTolerance = 2003;
constexpr std::uint32_t kOptionImageIntegrationTime = 2004;
constexpr std::uint32_t kOptionImageSchedulerPattern = 2005;

/// Everything one ftkGetLastFrame answers in scripted mode. Arrays longer than the frame's capacities
/// are cut to the capacities and then report FTK_PART_OVERFLOW (the markers too, unless markersStatus
/// says otherwise); an array without reserved room reports FTK_PART_SKIPPED. A frame whose status is
/// FTK_WAR_NO_FRAME leaves the caller's frame untouched. Whatever a fetch answers with an error status,
/// the frame then holds nothing: every count 0, every part status FTK_PART_INVALID, image size 0.
struct ScriptedFrame {
    ftkStatus status = FTK_OK;
    ftkPartStatus markersStatus = FTK_PART_OK;
    std::vector<ftkMarkerPose> markers;
    std::vector<ftkFiducial3D> fiducials;
    std::vector<ftkRawDetection> leftRaw;
    std::vector<ftkRawDetection> rightRaw;
    /// Images: both buffers width * height bytes (a shorter buffer is padded with zeros); no images when
    /// the size is 0 or both buffers are empty. Without images, or when the frame's pixels are off, the
    /// image size reads 0 and pixel statuses of FTK_PART_OK become FTK_PART_SKIPPED.
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    std::vector<std::uint8_t> leftPixels;
    std::vector<std::uint8_t> rightPixels;
    ftkPartStatus imageHeaderStatus = FTK_PART_OK;
    ftkPartStatus leftPixelsStatus = FTK_PART_OK;
    ftkPartStatus rightPixelsStatus = FTK_PART_OK;
    /// The image header's counter and time stamp (microseconds since the epoch). Left out, the counter
    /// is the number of frames the library delivered so far and the stamp the time of delivery.
    std::optional<std::uint32_t> counter;
    std::optional<std::uint64_t> timestampUs;
};

/// One recorded driver call. Fields not used by a call stay at their defaults.
struct Call {
    std::string function;  // "ftkSetInt32", ...
    std::uint64_t serialNumber = 0;
    std::uint32_t optionId = 0;
    std::int64_t intValue = 0;            // ftkSetInt32 value, ftkGetInt32 selector, ftkGetLastFrame time-out
    double floatValue = 0.0;              // ftkSetFloat32 value
    std::string data;                     // ftkSetData: the buffer's first `size` bytes
    std::uint32_t dataSize = 0;           // ftkSetData: the size field
    bool dataTailZero = true;             // ftkSetData: all bytes after `size` were zero
    std::optional<ftkGeometry> geometry;  // ftkSetGeometry
    std::uint32_t geometryId = 0;         // ftkClearGeometry, ftkSetGeometry
    std::vector<std::uint32_t> frameOptions;  // ftkSetFrameOptions: pixels, events, left, right, 3D, markers
    const void* handle = nullptr;             // library or frame pointer passed
    ftkStatus result = FTK_OK;
};

class FTKSIM_API Simulator {
public:
    static Simulator& instance();

    /// Scripted mode with no devices, default answers, no queued frames, no replay asked for and an empty
    /// call record.
    void reset();
    /// True once a test used the control interface (reset() called): the driver is then scripted and the
    /// simulated camera scene is off.
    bool scripted() const;
    /// Back to the simulated camera, as if no test had scripted the driver: libraries initialised from
    /// now on run the camera scene (settings from the file named by FTK_SIMULATOR_SETTINGS). Clears the
    /// script, the call record and a replay asked for (ftkReplay.h) like reset(). For tests of the
    /// unscripted driver.
    void useCamera();

    void setDevices(std::vector<DeviceSpec> devices);
    void addDevice(DeviceSpec device);
    std::vector<DeviceSpec> devices() const;

    /// The status answers below apply to every library. An error status (above 0) means the call changed
    /// nothing: a failed ftkClose leaves the library open, failed frame options allocate nothing, a failed
    /// ftkSetGeometry or ftkClearGeometry leaves the geometries as they were. Warnings (below 0) are
    /// answered after the call did its work; enumerations call back in either case.
    void setInitFails(bool fails);
    void setEnumerateDevicesStatus(ftkStatus status);
    void setEnumerateOptionsStatus(ftkStatus status);
    void setCreateFrameFails(bool fails);
    void setFrameOptionsStatus(ftkStatus status);
    void setCloseStatus(ftkStatus status);
    void setSetGeometryStatus(ftkStatus status);
    /// Refuses ftkSetGeometry (FTK_ERR_REFUSED) for this geometry id until allowed again.
    void refuseGeometry(std::uint32_t geometryId, bool refuse = true);
    /// Answered by ftkClearGeometry for a geometry set on the device; one that is not set is refused
    /// with FTK_ERR_INVALID_ARGUMENT whatever this says.
    void setClearGeometryStatus(ftkStatus status);
    /// The last error text from now on, and the text every scripted fault (a status above, a refused
    /// geometry, an error status of a frame) then gives. Without it a scripted fault's text names the
    /// call and its status. A call that fails on a device (a scripted fault, an unknown option, device or
    /// geometry, a refused value) replaces the last error text with its own, in camera mode as in
    /// scripted mode; a success leaves it.
    void setLastErrorText(std::string text);
    void setLastErrorStatus(ftkStatus status);

    /// Frames answered by ftkGetLastFrame, in order. When none is queued the call waits up to its
    /// time-out for one and answers FTK_WAR_NO_FRAME.
    void queueFrame(ScriptedFrame frame);
    /// Answered whenever the queue is empty (instead of FTK_WAR_NO_FRAME); nullopt clears it.
    void setRepeatFrame(std::optional<ScriptedFrame> frame);
    std::size_t queuedFrames() const;
    /// Number of scripted ftkGetLastFrame calls now waiting for a frame to be queued.
    int waitingFetches() const;

    /// Geometries currently set on the devices of the open libraries, by id. Closing a library forgets
    /// the geometries set through it.
    std::map<std::uint32_t, ftkGeometry> geometries() const;
    /// Number of frames created and not deleted.
    int liveFrames() const;
    /// Number of libraries initialised and not closed.
    int liveLibraries() const;

    /// Calls in the order they returned. Without a script only the newest 64 calls are kept.
    std::vector<Call> calls() const;
    std::vector<Call> callsTo(const std::string& function) const;
    std::size_t countCalls(const std::string& function) const;
    void clearCalls();

private:
    Simulator();
};

}  // namespace ftksim
