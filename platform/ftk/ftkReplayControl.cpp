// The replay control's functions: what the application tells the simulated driver before the stream opens,
// and what it reads back of the replay, instead of a settings file and the plug-in's log.
#include "DriverState.h"
#include "ftkReplay.h"

#include <cmath>
#include <filesystem>
#include <mutex>
#include <string>
#include <utility>

using ftksim::DriverState;

namespace {

constexpr double kMaxSpeed = 1000.0;  // as the settings file's replay_speed

// The settings a replay's session opens with: the simulated camera's defaults but for the recording, its
// pace and its serial number. False when the request is no recording to play.
bool settingsOf(const ftkReplayRequest& request, ftksim::CameraSettings& settings) {
    if (request.recording == nullptr || *request.recording == '\0' || !std::isfinite(request.speed) ||
        request.speed < 0.0 || request.speed > kMaxSpeed) {
        return false;
    }
    std::error_code error;
    // Taken from the folder the caller runs in now, not the one a later session opens in.
    const std::filesystem::path absolute = std::filesystem::absolute(request.recording, error);
    settings.replay = error ? std::string(request.recording) : absolute.string();
    settings.replaySpeed = request.speed;
    if (request.serialNumber != 0) {
        settings.serialNumber = request.serialNumber;
    }
    return true;
}

}  // namespace

ftkStatus ftkReplaySet(const ftkReplayRequest* request) {
    try {
        std::optional<ftksim::CameraSettings> settings;
        if (request != nullptr) {
            settings.emplace();
            if (!settingsOf(*request, *settings)) {
                return FTK_ERR_INVALID_ARGUMENT;
            }
        }
        DriverState& state = DriverState::instance();
        std::lock_guard<std::mutex> lock(state.mutex);
        state.replayRequest = std::move(settings);
        state.replayStatus.reset();
        return FTK_OK;
    } catch (...) {
        return FTK_ERR_INTERNAL;
    }
}

ftkStatus ftkReplayGetState(ftkReplayState* result) {
    if (result == nullptr) {
        return FTK_ERR_INVALID_ARGUMENT;
    }
    try {
        DriverState& state = DriverState::instance();
        std::shared_ptr<const ftksim::ReplayStatus> status;
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            status = state.replayStatus;
        }
        *result = status ? status->read() : ftkReplayState{};
        return FTK_OK;
    } catch (...) {
        return FTK_ERR_INTERNAL;
    }
}
