#include "halvoren/session/DriverReplay.h"

#include <dlfcn.h>

namespace Halvoren::App {

Expected<DriverReplay> DriverReplay::find(const char* library) {
    // The library the plug-in brought in, by the name the loader knows it by: the plug-in loads it with
    // local scope, so a global lookup would not see its functions. Never loaded here.
    void* handle = ::dlopen(library, RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr) {
        return makeError(ErrorKind::NoDevice, std::string("no driver library ") + library + " is loaded");
    }
    auto* const set = reinterpret_cast<ftkReplaySetFunction>(::dlsym(handle, FTK_REPLAY_SET_NAME));
    auto* const getState =
        reinterpret_cast<ftkReplayGetStateFunction>(::dlsym(handle, FTK_REPLAY_GET_STATE_NAME));
    // The library stays loaded with the plug-in (and the simulated driver never unloads).
    ::dlclose(handle);
    if (set == nullptr || getState == nullptr) {
        return makeError(ErrorKind::NoDevice, std::string("the loaded driver ") + library + " has no replay");
    }
    return DriverReplay(set, getState);
}

Expected<void> DriverReplay::request(const std::string& recording, double speed,
                                     std::uint64_t serialNumber) const {
    const ftkReplayRequest request{recording.c_str(), speed, serialNumber};
    const ftkStatus status = m_set(&request);
    if (status != FTK_OK) {
        return makeError(ErrorKind::BadInput, "the driver refused to replay " + recording + " (status " +
                                                  std::to_string(status) + ")");
    }
    return {};
}

void DriverReplay::withdraw() const {
    static_cast<void>(m_set(nullptr));
}

ftkReplayState DriverReplay::state() const {
    ftkReplayState state{};
    if (m_getState(&state) != FTK_OK) {
        state = ftkReplayState{};
    }
    return state;
}

}  // namespace Halvoren::App
