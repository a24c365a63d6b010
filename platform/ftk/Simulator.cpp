#include "DriverState.h"
#include "ftkSimulator.h"

#include <utility>

namespace ftksim {

std::vector<OptionSpec> defaultOptions() {
    return {
        {1001, "Enable IR strobe"},
        {1002, "Strobe duration"},
        {2001, "Blob Minimum Surface"},
        {2002, "Blob Maximum Surface"},
        {kOptionDistanceMatchingTolerance, "Distance matching tolerance"},
        {kOptionImageIntegrationTime, "Image Integration Time"},
        {kOptionImageSchedulerPattern, "Image Scheduler Pattern"},
        {2006, "Image Compression Threshold"},
        {3001, "Symmetrise coordinates"},
    };
}

DeviceSpec makeDevice(std::uint64_t serialNumber, ftkDeviceType type) {
    DeviceSpec device;
    device.serialNumber = serialNumber;
    device.type = type;
    device.options = defaultOptions();
    device.int32Values[kOptionImageIntegrationTime] = 35;
    return device;
}

Simulator::Simulator() = default;

Simulator& Simulator::instance() {
    static Simulator simulator;
    return simulator;
}

void Simulator::reset() {
    DriverState& state = DriverState::instance();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.clearScript(true);
}

void Simulator::useCamera() {
    DriverState& state = DriverState::instance();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.clearScript(false);
}

bool Simulator::scripted() const {
    DriverState& state = DriverState::instance();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.scripted;
}

void Simulator::setDevices(std::vector<DeviceSpec> devices) {
    DriverState& state = DriverState::instance();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.devices = std::move(devices);
}

void Simulator::addDevice(DeviceSpec device) {
    DriverState& state = DriverState::instance();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.devices.push_back(std::move(device));
}

std::vector<DeviceSpec> Simulator::devices() const {
    DriverState& state = DriverState::instance();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.devices;
}

namespace {

template <class T>
void setMember(T DriverState::*member, T value) {
    DriverState& state = DriverState::instance();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.*member = std::move(value);
}

}  // namespace

void Simulator::setInitFails(bool fails) {
    setMember(&DriverState::initFails, fails);
}
void Simulator::setEnumerateDevicesStatus(ftkStatus status) {
    setMember(&DriverState::enumerateDevicesStatus, status);
}
void Simulator::setEnumerateOptionsStatus(ftkStatus status) {
    setMember(&DriverState::enumerateOptionsStatus, status);
}
void Simulator::setCreateFrameFails(bool fails) {
    setMember(&DriverState::createFrameFails, fails);
}
void Simulator::setFrameOptionsStatus(ftkStatus status) {
    setMember(&DriverState::frameOptionsStatus, status);
}
void Simulator::setCloseStatus(ftkStatus status) {
    setMember(&DriverState::closeStatus, status);
}
void Simulator::setSetGeometryStatus(ftkStatus status) {
    setMember(&DriverState::setGeometryStatus, status);
}
void Simulator::setClearGeometryStatus(ftkStatus status) {
    setMember(&DriverState::clearGeometryStatus, status);
}
void Simulator::setLastErrorText(std::string text) {
    DriverState& state = DriverState::instance();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.lastErrorText = text;
    state.scriptedErrorText = std::move(text);
}
void Simulator::setLastErrorStatus(ftkStatus status) {
    setMember(&DriverState::lastErrorStatus, status);
}

void Simulator::refuseGeometry(std::uint32_t geometryId, bool refuse) {
    DriverState& state = DriverState::instance();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (refuse) {
        state.refusedGeometries.insert(geometryId);
    } else {
        state.refusedGeometries.erase(geometryId);
    }
}

void Simulator::queueFrame(ScriptedFrame frame) {
    DriverState& state = DriverState::instance();
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.queuedFrames.push_back(std::move(frame));
    }
    state.frameQueued.notify_all();
}

void Simulator::setRepeatFrame(std::optional<ScriptedFrame> frame) {
    DriverState& state = DriverState::instance();
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.repeatFrame = std::move(frame);
    }
    state.frameQueued.notify_all();
}

std::size_t Simulator::queuedFrames() const {
    DriverState& state = DriverState::instance();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.queuedFrames.size();
}

int Simulator::waitingFetches() const {
    DriverState& state = DriverState::instance();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.waitingFetches;
}

std::map<std::uint32_t, ftkGeometry> Simulator::geometries() const {
    DriverState& state = DriverState::instance();
    std::lock_guard<std::mutex> lock(state.mutex);
    std::map<std::uint32_t, ftkGeometry> all;
    for (const auto& library : state.libraries) {
        for (const auto& device : library.second->geometries) {
            all.insert(device.second.begin(), device.second.end());
        }
    }
    return all;
}

int Simulator::liveFrames() const {
    DriverState& state = DriverState::instance();
    std::lock_guard<std::mutex> lock(state.mutex);
    return static_cast<int>(state.frames.size());
}

int Simulator::liveLibraries() const {
    DriverState& state = DriverState::instance();
    std::lock_guard<std::mutex> lock(state.mutex);
    return static_cast<int>(state.libraries.size());
}

std::vector<Call> Simulator::calls() const {
    DriverState& state = DriverState::instance();
    std::lock_guard<std::mutex> lock(state.mutex);
    return std::vector<Call>(state.calls.begin(), state.calls.end());
}

std::vector<Call> Simulator::callsTo(const std::string& function) const {
    DriverState& state = DriverState::instance();
    std::lock_guard<std::mutex> lock(state.mutex);
    std::vector<Call> matching;
    for (const Call& call : state.calls) {
        if (call.function == function) {
            matching.push_back(call);
        }
    }
    return matching;
}

std::size_t Simulator::countCalls(const std::string& function) const {
    DriverState& state = DriverState::instance();
    std::lock_guard<std::mutex> lock(state.mutex);
    std::size_t count = 0;
    for (const Call& call : state.calls) {
        count += call.function == function ? 1 : 0;
    }
    return count;
}

void Simulator::clearCalls() {
    DriverState& state = DriverState::instance();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.calls.clear();
}

}  // namespace ftksim
