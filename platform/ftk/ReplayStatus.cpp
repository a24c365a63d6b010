#include "ReplayStatus.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace ftksim {

ReplayStatus::ReplayStatus(std::uint64_t serialNumber, ftkDeviceType deviceType, std::uint64_t frameCount) {
    m_state.phase = FTK_REPLAY_PLAYING;
    m_state.serialNumber = serialNumber;
    m_state.deviceType = deviceType;
    m_state.frameCount = frameCount;
}

ReplayStatus::ReplayStatus(std::string failure) : m_reason(std::move(failure)) {
    m_state.phase = FTK_REPLAY_FAILED;
}

void ReplayStatus::delivered(std::uint64_t frames) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_state.framesDelivered = frames;
}

void ReplayStatus::ended() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_state.phase = FTK_REPLAY_ENDED;
}

void ReplayStatus::stopped(std::string reason) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_state.phase = FTK_REPLAY_STOPPED;
    m_reason = std::move(reason);
}

ftkReplayState ReplayStatus::read() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    ftkReplayState state = m_state;
    const std::size_t length = std::min(m_reason.size(), sizeof(state.reason) - 1);
    std::memcpy(state.reason, m_reason.data(), length);
    state.reason[length] = '\0';
    return state;
}

}  // namespace ftksim
