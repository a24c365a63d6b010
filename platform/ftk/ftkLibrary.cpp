// The ftk functions of the simulated driver. Each goes through guarded(), which turns every exception
// into a status and records the call (with its arguments and result) before returning; the bodies check
// their pointers.
#include "DriverState.h"
#include "ReplayCamera.h"
#include "ScriptedFrameSource.h"
#include "SimulatedCamera.h"
#include "ftk.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>

using ftksim::Call;
using ftksim::DeviceSpec;
using ftksim::DriverState;
using ftksim::FrameStorage;
using ftksim::ScriptedFrame;

namespace {

using Lock = std::unique_lock<std::mutex>;

// Written on spryTrack models although they are not in their option lists: onboard processing and
// image sending.
constexpr std::uint32_t kOptionOnboardProcessing = 6000;
constexpr std::uint32_t kOptionImageSending = 6003;

Call makeCall(const char* function, const void* handle = nullptr, std::uint64_t serialNumber = 0,
              std::uint32_t optionId = 0) {
    Call call;
    call.function = function;
    call.handle = handle;
    call.serialNumber = serialNumber;
    call.optionId = optionId;
    return call;
}

// Runs a call's body under the state lock (the body may release it while it waits or calls back),
// turns any exception into FTK_ERR_INTERNAL and records the call with its result.
template <class Body>
ftkStatus guarded(Call& call, Body&& body) noexcept {
    try {
        DriverState& state = DriverState::instance();
        Lock lock(state.mutex);
        ftkStatus status = FTK_ERR_INTERNAL;
        try {
            status = body(state, lock);
        } catch (...) {
            status = FTK_ERR_INTERNAL;
        }
        if (!lock.owns_lock()) {
            lock.lock();
        }
        call.result = status;
        state.record(std::move(call));
        return status;
    } catch (...) {
        return FTK_ERR_INTERNAL;
    }
}

bool isSpryTrack(const DeviceSpec& device) {
    return device.type == FTK_DEVICE_SPRYTRACK_180 || device.type == FTK_DEVICE_SPRYTRACK_300;
}

bool offersOption(const DeviceSpec& device, std::uint32_t optionId) {
    if (isSpryTrack(device) && (optionId == kOptionOnboardProcessing || optionId == kOptionImageSending)) {
        return true;
    }
    return std::any_of(device.options.begin(), device.options.end(),
                       [optionId](const ftksim::OptionSpec& option) { return option.id == optionId; });
}

// The session and device a call names, or the status that says why there is none.
struct Target {
    ftkLibraryImpl* library = nullptr;
    DeviceSpec* device = nullptr;
    ftkStatus status = FTK_OK;
};

Target findTarget(DriverState& state, ftkLibrary handle, std::uint64_t serialNumber) {
    Target target;
    target.library = state.findLibrary(handle);
    if (target.library == nullptr) {
        target.status = FTK_ERR_NO_LIBRARY;
        return target;
    }
    target.device = state.findDevice(*target.library, serialNumber);
    if (target.device == nullptr) {
        state.noteError("No device with serial number " + std::to_string(serialNumber));
        target.status = FTK_ERR_NO_DEVICE;
    }
    return target;
}

// A call on one device: the body runs under the state lock once the session and the device are found.
template <class Body>
ftkStatus onDevice(Call& call, ftkLibrary library, std::uint64_t serialNumber, Body&& body) noexcept {
    return guarded(call, [&](DriverState& state, Lock&) -> ftkStatus {
        const Target target = findTarget(state, library, serialNumber);
        return target.status != FTK_OK ? target.status : body(state, target);
    });
}

// The common checks of an option write: refused or unknown ids fail.
ftkStatus checkWritable(DriverState& state, const Target& target, std::uint32_t optionId) {
    if (target.device->refusedWrites.count(optionId) > 0) {
        state.noteError("Option " + std::to_string(optionId) + " refused the value");
        return FTK_ERR_REFUSED;
    }
    if (!offersOption(*target.device, optionId)) {
        state.noteError("Unknown option " + std::to_string(optionId));
        return FTK_ERR_UNKNOWN_OPTION;
    }
    return FTK_OK;
}

std::uint64_t nowMicroseconds() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

// Hands a frame to the caller, the same way for scripted and camera frames.
ftkStatus deliver(ftkLibraryImpl& library, FrameStorage& storage, const ScriptedFrame& source) {
    if (source.status == FTK_WAR_NO_FRAME || source.status > FTK_OK) {
        return source.status;  // an error's frame is emptied by the caller
    }
    ++library.frameCounter;
    storage.fill(source, source.counter.value_or(library.frameCounter),
                 source.timestampUs ? *source.timestampUs : nowMicroseconds());
    return source.status;
}

// The simulated camera stops sending images when a spryTrack's image sending is switched off.
bool imageSendingOn(const DeviceSpec& device) {
    if (!isSpryTrack(device)) {
        return true;
    }
    const auto value = device.int32Values.find(kOptionImageSending);
    return value == device.int32Values.end() || value->second != 0;
}

// Notes a camera that could not be started where a user running the driver sees it; returns the text.
std::string cameraFailure(std::string text) {
    std::fprintf(stderr, "fusionTrack64: %s\n", text.c_str());
    return text;
}

// The settings of the file FTK_SIMULATOR_SETTINGS names (the defaults without one). False with the error
// text otherwise.
bool readSettingsFile(ftksim::CameraSettings& settings, std::string& text) {
    const char* path = std::getenv("FTK_SIMULATOR_SETTINGS");
    if (path == nullptr || *path == '\0') {
        return true;
    }
    auto read = ftksim::readCameraSettings(path);
    if (!read) {
        text = cameraFailure("Cannot read the simulator settings: " + read.error().message);
        return false;
    }
    settings = *read;
    return true;
}

// A session playing the recording the settings name. Its status, or why it failed, for the replay control.
std::string openReplay(ftkLibraryImpl& library, const ftksim::CameraSettings& settings,
                       std::shared_ptr<const ftksim::ReplayStatus>& status) {
    std::string error;
    std::shared_ptr<ftksim::ReplayCamera> replay = ftksim::ReplayCamera::open(settings, error);
    if (!replay) {
        status = std::make_shared<ftksim::ReplayStatus>(error);
        return cameraFailure("Replay: " + error);
    }
    status = replay->status();
    library.source = std::move(replay);
    library.devices.push_back(ftksim::makeDevice(settings.serialNumber, settings.model));
    return {};
}

// Sets up a session that runs the simulated camera: the replay control's request when there is one, the
// settings file's scene or replay otherwise. Returns an error text when there is no camera (the session
// then has no device); `status` is set when the session opened a replay or failed to.
std::string openCamera(ftkLibraryImpl& library, const std::optional<ftksim::CameraSettings>& requested,
                       std::shared_ptr<const ftksim::ReplayStatus>& status) {
    library.simulated = true;
    ftksim::CameraSettings settings;
    std::string text;
    if (requested) {
        settings = *requested;
    } else if (!readSettingsFile(settings, text)) {
        return text;
    }
    if (!settings.replay.empty()) {
        return openReplay(library, settings, status);
    }
    try {
        library.source = std::make_shared<ftksim::SimulatedCamera>(settings);
    } catch (const std::exception& e) {
        return cameraFailure(std::string("Cannot start the simulated camera: ") + e.what());
    }
    library.devices.push_back(ftksim::makeDevice(settings.serialNumber, settings.model));
    return {};
}

// Gives a simulated camera the geometries now set on its session. The camera-geometry mutex makes
// concurrent hand-overs arrive in order, each with the newest set.
void pushGeometriesToCamera(ftkLibrary handle) noexcept {
    try {
        DriverState& state = DriverState::instance();
        std::lock_guard<std::mutex> order(state.cameraGeometryMutex);
        std::shared_ptr<ftksim::FrameSource> source;
        std::map<std::uint32_t, ftkGeometry> geometries;
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            ftkLibraryImpl* library = state.findLibrary(handle);
            if (library == nullptr || !library->source) {
                return;
            }
            source = library->source;
            for (const auto& device : library->geometries) {
                geometries.insert(device.second.begin(), device.second.end());
            }
        }
        source->setGeometries(geometries);
    } catch (...) {
        // The geometry stays set on the device; the scene shows it with the next change.
    }
}

}  // namespace

ftkLibrary ftkInit(void) {
    ftkLibrary handle = nullptr;
    Call call = makeCall("ftkInit");
    guarded(call, [&](DriverState& state, Lock& lock) -> ftkStatus {
        if (state.initFails) {
            return FTK_ERR_INTERNAL;
        }
        auto library = std::make_unique<ftkLibraryImpl>();
        std::string error;
        if (!state.scripted) {
            // Without the lock: reads the settings file or the recording and starts the camera.
            const std::optional<ftksim::CameraSettings> requested = state.replayRequest;
            std::shared_ptr<const ftksim::ReplayStatus> status;
            lock.unlock();
            error = openCamera(*library, requested, status);
            lock.lock();
            if (status) {
                state.replayStatus = std::move(status);
            }
        }
        ftkLibraryImpl* const created = library.get();
        state.libraries.emplace(created, std::move(library));
        handle = created;
        call.handle = handle;
        if (!error.empty()) {
            state.noteError(error);
        }
        return FTK_OK;
    });
    return handle;
}

ftkStatus ftkClose(ftkLibrary* library) {
    // Destroyed after the state lock is released: a camera may take a moment to stop.
    std::unique_ptr<ftkLibraryImpl> closed;
    Call call = makeCall("ftkClose", library != nullptr ? *library : nullptr);
    return guarded(call, [&](DriverState& state, Lock&) -> ftkStatus {
        if (library == nullptr) {
            return FTK_ERR_INVALID_ARGUMENT;
        }
        if (*library == nullptr) {
            return FTK_OK;  // nothing to close
        }
        const auto it = state.libraries.find(*library);
        if (it == state.libraries.end()) {
            return FTK_ERR_NO_LIBRARY;
        }
        const ftkStatus status = state.scriptedFault("ftkClose", state.closeStatus);
        if (status > FTK_OK) {
            return status;  // a failed close leaves the library open
        }
        closed = std::move(it->second);
        state.libraries.erase(it);
        *library = nullptr;
        state.frameQueued.notify_all();  // a fetch waiting on this library ends
        return status;
    });
}

ftkStatus ftkEnumerateDevices(ftkLibrary library, ftkDeviceCallback callback, void* user) {
    Call call = makeCall("ftkEnumerateDevices", library);
    return guarded(call, [&](DriverState& state, Lock& lock) -> ftkStatus {
        ftkLibraryImpl* session = state.findLibrary(library);
        if (session == nullptr) {
            return FTK_ERR_NO_LIBRARY;
        }
        if (callback == nullptr) {
            return FTK_ERR_INVALID_ARGUMENT;
        }
        std::vector<std::pair<std::uint64_t, ftkDeviceType>> found;
        for (const DeviceSpec& device : state.devicesOf(*session)) {
            found.emplace_back(device.serialNumber, device.type);
        }
        const ftkStatus status = state.scriptedFault("ftkEnumerateDevices", state.enumerateDevicesStatus);
        // The callback may call the driver again.
        lock.unlock();
        for (const auto& device : found) {
            callback(device.first, user, device.second);
        }
        return status;
    });
}

ftkStatus ftkEnumerateOptions(ftkLibrary library, uint64_t serialNumber, ftkOptionCallback callback,
                              void* user) {
    Call call = makeCall("ftkEnumerateOptions", library, serialNumber);
    return guarded(call, [&](DriverState& state, Lock& lock) -> ftkStatus {
        const Target target = findTarget(state, library, serialNumber);
        if (target.status != FTK_OK) {
            return target.status;
        }
        if (callback == nullptr) {
            return FTK_ERR_INVALID_ARGUMENT;
        }
        const std::vector<ftksim::OptionSpec> options = target.device->options;
        const ftkStatus status = state.scriptedFault("ftkEnumerateOptions", state.enumerateOptionsStatus);
        lock.unlock();
        for (const ftksim::OptionSpec& option : options) {
            ftkOptionInfo info{};
            info.id = option.id;
            const std::size_t length = std::min(option.name.size(), sizeof(info.name) - 1);
            std::memcpy(info.name, option.name.data(), length);
            callback(serialNumber, user, &info);
        }
        return status;
    });
}

ftkStatus ftkGetInt32(ftkLibrary library, uint64_t serialNumber, uint32_t optionId, int32_t* value,
                      int32_t which) {
    Call call = makeCall("ftkGetInt32", library, serialNumber, optionId);
    call.intValue = which;
    return onDevice(call, library, serialNumber, [&](DriverState& state, const Target& target) -> ftkStatus {
        if (value == nullptr || which != FTK_VALUE_CURRENT) {
            return FTK_ERR_INVALID_ARGUMENT;
        }
        if (target.device->refusedReads.count(optionId) > 0) {
            state.noteError("Option " + std::to_string(optionId) + " cannot be read");
            return FTK_ERR_REFUSED;
        }
        const auto found = target.device->int32Values.find(optionId);
        if (!offersOption(*target.device, optionId) || found == target.device->int32Values.end()) {
            state.noteError("No integer option " + std::to_string(optionId));
            return FTK_ERR_UNKNOWN_OPTION;
        }
        *value = found->second;
        return FTK_OK;
    });
}

ftkStatus ftkSetInt32(ftkLibrary library, uint64_t serialNumber, uint32_t optionId, int32_t value) {
    Call call = makeCall("ftkSetInt32", library, serialNumber, optionId);
    call.intValue = value;
    return onDevice(call, library, serialNumber, [&](DriverState& state, const Target& target) {
        const ftkStatus status = checkWritable(state, target, optionId);
        if (status == FTK_OK) {
            target.device->int32Values[optionId] = value;
        }
        return status;
    });
}

ftkStatus ftkSetFloat32(ftkLibrary library, uint64_t serialNumber, uint32_t optionId, float value) {
    Call call = makeCall("ftkSetFloat32", library, serialNumber, optionId);
    call.floatValue = value;
    return onDevice(call, library, serialNumber, [&](DriverState& state, const Target& target) {
        return checkWritable(state, target, optionId);
    });
}

ftkStatus ftkSetData(ftkLibrary library, uint64_t serialNumber, uint32_t optionId, ftkDataBuffer* buffer) {
    Call call = makeCall("ftkSetData", library, serialNumber, optionId);
    return guarded(call, [&](DriverState& state, Lock&) -> ftkStatus {
        if (buffer == nullptr) {
            return FTK_ERR_INVALID_ARGUMENT;
        }
        call.dataSize = buffer->size;
        const std::size_t used = std::min<std::size_t>(buffer->size, FTK_DATA_BUFFER_SIZE);
        call.data.assign(buffer->data, used);
        call.dataTailZero = std::all_of(buffer->data + used, buffer->data + FTK_DATA_BUFFER_SIZE,
                                        [](char c) { return c == 0; });
        const Target target = findTarget(state, library, serialNumber);
        if (target.status != FTK_OK) {
            return target.status;
        }
        if (buffer->size > FTK_DATA_BUFFER_SIZE) {
            state.noteError("Data size " + std::to_string(buffer->size) + " exceeds the buffer");
            return FTK_ERR_INVALID_ARGUMENT;
        }
        return checkWritable(state, target, optionId);
    });
}

ftkFrame* ftkCreateFrame(void) {
    ftkFrame* frame = nullptr;
    Call call = makeCall("ftkCreateFrame");
    guarded(call, [&](DriverState& state, Lock&) -> ftkStatus {
        if (state.createFrameFails) {
            return state.scriptedFault("ftkCreateFrame", FTK_ERR_INTERNAL);
        }
        auto storage = std::make_unique<FrameStorage>();
        ftkFrame* const created = storage->frame();
        state.frames.emplace(created, std::move(storage));
        frame = created;
        call.handle = frame;
        return FTK_OK;
    });
    return frame;
}

ftkStatus ftkSetFrameOptions(bool pixels, uint32_t eventsCount, uint32_t leftRawCount, uint32_t rightRawCount,
                             uint32_t fiducialsCount, uint32_t markersCount, ftkFrame* frame) {
    Call call = makeCall("ftkSetFrameOptions", frame);
    call.frameOptions = {pixels ? 1u : 0u, eventsCount,    leftRawCount,
                         rightRawCount,    fiducialsCount, markersCount};
    return guarded(call, [&](DriverState& state, Lock&) -> ftkStatus {
        FrameStorage* storage = state.findFrame(frame);
        if (storage == nullptr) {
            return FTK_ERR_INVALID_ARGUMENT;
        }
        const ftkStatus status = state.scriptedFault("ftkSetFrameOptions", state.frameOptionsStatus);
        if (status > FTK_OK) {
            return status;  // nothing allocated
        }
        storage->setOptions(pixels, eventsCount, leftRawCount, rightRawCount, fiducialsCount, markersCount);
        return status;
    });
}

ftkStatus ftkDeleteFrame(ftkFrame* frame) {
    Call call = makeCall("ftkDeleteFrame", frame);
    return guarded(call, [&](DriverState& state, Lock&) -> ftkStatus {
        const auto it = state.frames.find(frame);
        if (it == state.frames.end()) {
            return FTK_ERR_INVALID_ARGUMENT;  // null, foreign or already deleted: never freed twice
        }
        state.frames.erase(it);
        state.frameQueued.notify_all();  // a fetch waiting to fill this frame ends
        return FTK_OK;
    });
}

namespace {

// After the state lock was released the session or the frame may have gone: finds both again.
ftkStatus findAgain(DriverState& state, ftkLibrary library, const ftkFrame* frame, ftkLibraryImpl*& session,
                    FrameStorage*& storage) {
    session = state.findLibrary(library);
    storage = state.findFrame(frame);
    if (session == nullptr) {
        return FTK_ERR_NO_LIBRARY;
    }
    return storage == nullptr ? FTK_ERR_INVALID_ARGUMENT : FTK_OK;
}

// The body of ftkGetLastFrame. Any thread; waits without holding the state lock (the scripted queue's wait
// takes it and releases it while it waits), then delivers under it.
ftkStatus fetchFrame(DriverState& state, Lock& lock, ftkLibrary library, uint64_t serialNumber,
                     ftkFrame* frame, uint32_t timeoutMs) {
    const Target target = findTarget(state, library, serialNumber);
    if (target.status != FTK_OK) {
        return target.status;
    }
    FrameStorage* storage = state.findFrame(frame);
    if (storage == nullptr) {
        return FTK_ERR_INVALID_ARGUMENT;
    }
    // The session's camera, kept alive while it waits even if the session is closed meanwhile.
    const std::shared_ptr<ftksim::FrameSource> camera = target.library->source;
    ftksim::ScriptedFrameSource scripted(state, lock, library, frame);
    ftksim::FrameSource* const source = target.library->simulated ? camera.get() : &scripted;
    if (source == nullptr) {
        return FTK_WAR_NO_FRAME;
    }
    const bool images = storage->pixelsEnabled() && imageSendingOn(*target.device);
    ScriptedFrame next;
    std::string ended;
    lock.unlock();
    const bool arrived = source->waitForFrame(std::chrono::milliseconds(timeoutMs), images, next, ended);
    if (!lock.owns_lock()) {
        lock.lock();
    }
    if (!ended.empty()) {
        state.noteError(ended);
    }
    if (!arrived) {
        return FTK_WAR_NO_FRAME;
    }
    ftkLibraryImpl* session = nullptr;
    if (const ftkStatus found = findAgain(state, library, frame, session, storage); found != FTK_OK) {
        return found;
    }
    const ScriptedFrame& delivered = source->toDeliver(next);
    const std::string fault = source->faultOf(delivered);
    if (!fault.empty()) {
        state.noteError(fault);
    }
    return deliver(*session, *storage, delivered);
}

}  // namespace

// Any thread. A failed fetch leaves nothing in the frame that could pass for tracking data.
ftkStatus ftkGetLastFrame(ftkLibrary library, uint64_t serialNumber, ftkFrame* frame, uint32_t timeoutMs) {
    Call call = makeCall("ftkGetLastFrame", library, serialNumber);
    call.intValue = timeoutMs;
    return guarded(call, [&](DriverState& state, Lock& lock) -> ftkStatus {
        ftkStatus status = FTK_ERR_INTERNAL;
        try {
            status = fetchFrame(state, lock, library, serialNumber, frame, timeoutMs);
        } catch (...) {
            status = FTK_ERR_INTERNAL;
        }
        if (!lock.owns_lock()) {
            lock.lock();
        }
        if (status > FTK_OK) {
            if (FrameStorage* storage = state.findFrame(frame)) {
                storage->invalidate();
            }
        }
        return status;
    });
}

ftkStatus ftkSetGeometry(ftkLibrary library, uint64_t serialNumber, ftkGeometry* geometry) {
    bool toCamera = false;
    Call call = makeCall("ftkSetGeometry", library, serialNumber);
    const ftkStatus result = guarded(call, [&](DriverState& state, Lock&) -> ftkStatus {
        if (geometry == nullptr) {
            return FTK_ERR_INVALID_ARGUMENT;
        }
        call.geometry = *geometry;
        call.geometryId = geometry->geometryId;
        const Target target = findTarget(state, library, serialNumber);
        if (target.status != FTK_OK) {
            return target.status;
        }
        if (geometry->pointsCount > FTK_MAX_GEOMETRY_FIDUCIALS) {
            state.noteError("A geometry has at most " + std::to_string(FTK_MAX_GEOMETRY_FIDUCIALS) +
                            " fiducials");
            return FTK_ERR_INVALID_ARGUMENT;
        }
        if (state.refusedGeometries.count(geometry->geometryId) > 0) {
            return state.scriptedFault("ftkSetGeometry", FTK_ERR_REFUSED);
        }
        const ftkStatus status = state.scriptedFault("ftkSetGeometry", state.setGeometryStatus);
        if (status > FTK_OK) {
            return status;
        }
        target.library->geometries[serialNumber][geometry->geometryId] = *geometry;
        toCamera = target.library->simulated;
        return status;
    });
    if (toCamera) {
        pushGeometriesToCamera(library);
    }
    return result;
}

ftkStatus ftkClearGeometry(ftkLibrary library, uint64_t serialNumber, uint32_t geometryId) {
    bool toCamera = false;
    Call call = makeCall("ftkClearGeometry", library, serialNumber);
    call.geometryId = geometryId;
    const ftkStatus result = guarded(call, [&](DriverState& state, Lock&) -> ftkStatus {
        const Target target = findTarget(state, library, serialNumber);
        if (target.status != FTK_OK) {
            return target.status;
        }
        const auto set = target.library->geometries.find(serialNumber);
        if (set == target.library->geometries.end() || set->second.count(geometryId) == 0) {
            state.noteError("Geometry " + std::to_string(geometryId) + " is not set on device " +
                            std::to_string(serialNumber));
            return FTK_ERR_INVALID_ARGUMENT;
        }
        const ftkStatus status = state.scriptedFault("ftkClearGeometry", state.clearGeometryStatus);
        if (status > FTK_OK) {
            return status;
        }
        set->second.erase(geometryId);
        toCamera = target.library->simulated;
        return status;
    });
    if (toCamera) {
        pushGeometriesToCamera(library);
    }
    return result;
}

ftkStatus ftkGetLastErrorString(ftkLibrary library, size_t bufferSize, char* buffer) {
    Call call = makeCall("ftkGetLastErrorString", library);
    call.intValue = static_cast<std::int64_t>(bufferSize);
    return guarded(call, [&](DriverState& state, Lock&) -> ftkStatus {
        if (state.findLibrary(library) == nullptr) {
            return FTK_ERR_NO_LIBRARY;
        }
        if (buffer == nullptr || bufferSize == 0) {
            return FTK_ERR_INVALID_ARGUMENT;
        }
        const std::size_t length = std::min(state.lastErrorText.size(), bufferSize - 1);
        std::memcpy(buffer, state.lastErrorText.data(), length);
        buffer[length] = '\0';
        return state.lastErrorStatus;
    });
}
