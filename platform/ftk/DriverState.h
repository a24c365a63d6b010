#pragma once
// Everything the simulated driver knows, shared by the ftk functions and the test-control interface.
// Internal to the driver library (not exported).

#include "CameraSettings.h"
#include "FrameSource.h"
#include "FrameStorage.h"
#include "ReplayStatus.h"
#include "ftk.h"
#include "ftkSimulator.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

/// What an ftkLibrary handle points to: one initialised session of the driver.
struct ftkLibraryImpl {
    /// True when the session runs the simulated camera; false when a test scripts it.
    bool simulated = false;
    /// The camera of a simulated session: the scene, or a recording played when the settings name one.
    /// Shared so that a fetch in progress keeps it alive past a close. Null when it could not be started.
    std::shared_ptr<ftksim::FrameSource> source;
    /// The devices of a simulated session (a scripted session uses the script's devices).
    std::vector<ftksim::DeviceSpec> devices;
    /// Geometries set on the devices of this session, by serial number, then geometry id.
    std::map<std::uint64_t, std::map<std::uint32_t, ftkGeometry>> geometries;
    /// Frames delivered so far: the image header's counter of a scripted frame that names none.
    std::uint32_t frameCounter = 0;
};

namespace ftksim {

/// The driver's state: one per process, never destroyed, so that a driver call made while the process
/// exits (a host closing its stream from a static destructor) still finds it.
struct DriverState {
    static DriverState& instance();

    DriverState() = default;
    DriverState(const DriverState&) = delete;
    DriverState& operator=(const DriverState&) = delete;

    /// Guards every member below. Taken last: the camera-geometry mutex may be held when it is taken;
    /// no other lock is taken while it is held, and it is never held while waiting for a camera frame or
    /// while calling back into the caller.
    mutable std::mutex mutex;
    /// Signalled when a frame is queued, the repeat frame is set, or a library or frame goes away.
    std::condition_variable frameQueued;
    /// Serialises the hand-over of geometries to simulated cameras so that the newest set arrives last.
    /// Taken before `mutex`.
    std::mutex cameraGeometryMutex;

    bool scripted = false;
    std::vector<DeviceSpec> devices;
    bool initFails = false;
    ftkStatus enumerateDevicesStatus = FTK_OK;
    ftkStatus enumerateOptionsStatus = FTK_OK;
    bool createFrameFails = false;
    ftkStatus frameOptionsStatus = FTK_OK;
    ftkStatus closeStatus = FTK_OK;
    ftkStatus setGeometryStatus = FTK_OK;
    std::set<std::uint32_t> refusedGeometries;
    ftkStatus clearGeometryStatus = FTK_OK;
    /// What ftkGetLastErrorString answers: the text of the last call that failed.
    std::string lastErrorText;
    /// The text a fault the test scripted gives (a status set below, a refused geometry, an error status
    /// of a frame); when empty, a text naming the call and its status.
    std::string scriptedErrorText;
    ftkStatus lastErrorStatus = FTK_OK;
    std::deque<ScriptedFrame> queuedFrames;
    std::optional<ScriptedFrame> repeatFrame;
    int waitingFetches = 0;
    /// The replay control's request: the settings every simulated session opened from now on plays with
    /// instead of the settings file's; none: the file's.
    std::optional<CameraSettings> replayRequest;
    /// The newest replay a simulated session opened (or failed to open); null before any.
    std::shared_ptr<const ReplayStatus> replayStatus;

    std::map<const ftkLibraryImpl*, std::unique_ptr<ftkLibraryImpl>> libraries;
    std::map<const ftkFrame*, std::unique_ptr<FrameStorage>> frames;
    std::deque<Call> calls;

    /// Back to the defaults of a scripted driver (or of the camera when `scripted` is false): no devices,
    /// every answer a success, no frames, no calls, no replay requested. Libraries and frames that live stay
    /// alive.
    void clearScript(bool scripted);
    /// Appends a call to the record. Without a script the record keeps only the newest calls, so that a
    /// long run of the application does not grow it without bound.
    void record(Call call);
    /// The live library behind a handle, or null (a null, closed or foreign handle).
    ftkLibraryImpl* findLibrary(ftkLibrary handle);
    /// The live frame storage behind a frame pointer, or null.
    FrameStorage* findFrame(const ftkFrame* frame);
    /// The devices a session sees.
    std::vector<DeviceSpec>& devicesOf(ftkLibraryImpl& library);
    /// The device with this serial number in a session, or null.
    DeviceSpec* findDevice(ftkLibraryImpl& library, std::uint64_t serialNumber);
    /// Makes the text the last error's, as every call that fails does.
    void noteError(std::string text);
    /// Notes the text of a scripted fault of the call when the status is not a success; returns it.
    ftkStatus scriptedFault(const char* function, ftkStatus status);

    /// Calls kept without a script: the newest few, enough to see what a camera-mode test just did,
    /// while an application that runs for hours keeps no more than these.
    static constexpr std::size_t kUnscriptedCallLimit = 64;
};

}  // namespace ftksim
