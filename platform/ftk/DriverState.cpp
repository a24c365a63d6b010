#include "DriverState.h"

#include <string>
#include <utility>

namespace ftksim {

DriverState& DriverState::instance() {
    // Deliberately never destroyed (see the class comment); it stays reachable, so it is no leak.
    static DriverState* const state = new DriverState();
    return *state;
}

void DriverState::clearScript(bool isScripted) {
    scripted = isScripted;
    devices.clear();
    initFails = false;
    enumerateDevicesStatus = FTK_OK;
    enumerateOptionsStatus = FTK_OK;
    createFrameFails = false;
    frameOptionsStatus = FTK_OK;
    closeStatus = FTK_OK;
    setGeometryStatus = FTK_OK;
    refusedGeometries.clear();
    clearGeometryStatus = FTK_OK;
    lastErrorText.clear();
    scriptedErrorText.clear();
    lastErrorStatus = FTK_OK;
    queuedFrames.clear();
    repeatFrame.reset();
    calls.clear();
    replayRequest.reset();
    replayStatus.reset();
}

void DriverState::record(Call call) {
    calls.push_back(std::move(call));
    if (!scripted && calls.size() > kUnscriptedCallLimit) {
        calls.pop_front();
    }
}

ftkLibraryImpl* DriverState::findLibrary(ftkLibrary handle) {
    // Looked up by address only: a stale handle is never dereferenced.
    const auto it = libraries.find(handle);
    return it == libraries.end() ? nullptr : it->second.get();
}

FrameStorage* DriverState::findFrame(const ftkFrame* frame) {
    const auto it = frames.find(frame);
    return it == frames.end() ? nullptr : it->second.get();
}

std::vector<DeviceSpec>& DriverState::devicesOf(ftkLibraryImpl& library) {
    return library.simulated ? library.devices : devices;
}

DeviceSpec* DriverState::findDevice(ftkLibraryImpl& library, std::uint64_t serialNumber) {
    for (DeviceSpec& device : devicesOf(library)) {
        if (device.serialNumber == serialNumber) {
            return &device;
        }
    }
    return nullptr;
}

void DriverState::noteError(std::string text) {
    lastErrorText = std::move(text);
}

ftkStatus DriverState::scriptedFault(const char* function, ftkStatus status) {
    if (status != FTK_OK) {
        noteError(!scriptedErrorText.empty()
                      ? scriptedErrorText
                      : std::string(function) + " failed with status " + std::to_string(status));
    }
    return status;
}

}  // namespace ftksim
