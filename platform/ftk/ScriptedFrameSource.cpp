#include "ScriptedFrameSource.h"

#include <utility>

namespace ftksim {

ScriptedFrameSource::ScriptedFrameSource(DriverState& state, std::unique_lock<std::mutex>& stateLock,
                                         ftkLibrary library, const ftkFrame* frame)
    : m_state(state), m_lock(stateLock), m_library(library), m_frame(frame) {}

// Any thread.
bool ScriptedFrameSource::waitForFrame(std::chrono::milliseconds timeout, bool /*images*/,
                                       ScriptedFrame& frame, std::string& /*ended*/) {
    if (!m_lock.owns_lock()) {
        m_lock.lock();
    }
    DriverState& state = m_state;
    ++state.waitingFetches;
    bool ready = false;
    try {
        // Also ends when the library is closed or the frame deleted meanwhile.
        ready = state.frameQueued.wait_for(m_lock, timeout, [&] {
            return !state.queuedFrames.empty() || state.repeatFrame.has_value() ||
                   state.findLibrary(m_library) == nullptr || state.findFrame(m_frame) == nullptr;
        });
    } catch (...) {
        --state.waitingFetches;
        throw;
    }
    --state.waitingFetches;
    if (!ready) {
        return false;
    }
    if (state.findLibrary(m_library) == nullptr || state.findFrame(m_frame) == nullptr) {
        return true;  // the frame stays queued
    }
    m_repeat = state.queuedFrames.empty();
    if (!m_repeat) {
        frame = std::move(state.queuedFrames.front());
        state.queuedFrames.pop_front();
    }
    const ftkStatus status = toDeliver(frame).status;
    if (status > FTK_OK) {
        state.scriptedFault("ftkGetLastFrame", status);
    }
    return true;
}

// Any thread; the caller holds the state lock.
const ScriptedFrame& ScriptedFrameSource::toDeliver(const ScriptedFrame& filled) const {
    return m_repeat ? *m_state.repeatFrame : filled;
}

}  // namespace ftksim
