#include "Stream.h"

#include "Log.h"

#include <algorithm>
#include <exception>
#include <initializer_list>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

namespace Halvoren {

// One run of the worker thread (threading mode 0). The record outlives the thread: it is dropped only
// after the thread has been joined.
struct Stream::Worker {
    std::thread thread;  // moved out by whoever joins it
    std::thread::id id;  // set before the thread can look at the record
    // Set by stop and close, and by the worker itself when its loop ends. A worker with this flag set
    // never waits for another thread: that thread may be joining it. Guarded by m_streamMutex.
    bool exitRequested = false;
    // closeAsync() calls made from doWork(), run right after the pass. Guarded by m_streamMutex.
    std::vector<std::promise<bool>> pendingCloses;
};

// The right to drive the state machine, held for one public operation. It is not a lock: hooks and
// receivers run while it is held, and the holder's own thread may take it again (nested operations).
class Stream::Control {
public:
    explicit Control(Stream& stream) : m_stream(stream), m_acquired(stream.acquireControl()) {}
    ~Control() {
        if (m_acquired) {
            m_stream.releaseControl();
        }
    }
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;
    bool acquired() const { return m_acquired; }
    /// The answer of an operation that has nothing to do: false without control or from a state it
    /// does not act in, true when the stream is in `target` already. Nothing when the operation goes on.
    std::optional<bool> settled(State target, std::initializer_list<State> from) const {
        if (!m_acquired) {
            return false;
        }
        const State state = m_stream.currentState();
        if (state == target) {
            return true;
        }
        if (std::find(from.begin(), from.end(), state) == from.end()) {
            return false;
        }
        return std::nullopt;
    }

private:
    Stream& m_stream;
    bool m_acquired;
};

Stream::Stream(std::string name) : m_name(std::move(name)) {}

// Control thread.
Stream::~Stream() {
    std::unique_lock<std::mutex> lock(m_streamMutex);
    if (!m_worker) {
        return;
    }
    m_worker->exitRequested = true;
    m_changed.notify_all();
    std::thread thread = std::move(m_worker->thread);
    lock.unlock();
    if (thread.joinable()) {
        thread.join();
    }
}

bool Stream::isStateOneOf(std::initializer_list<State> states) const {
    const State current = currentState();
    for (State s : states) {
        if (s == current) {
            return true;
        }
    }
    return false;
}

const char* Stream::stateName(State state) {
    switch (state) {
        case Closed:
            return "Closed";
        case Opening:
            return "Opening";
        case Open:
            return "Open";
        case Starting:
            return "Starting";
        case Running:
            return "Running";
        case Pausing:
            return "Pausing";
        case Paused:
            return "Paused";
        case Resuming:
            return "Resuming";
        case Stopping:
            return "Stopping";
        case Closing:
            return "Closing";
    }
    return "Unknown";
}

// Any thread.
void Stream::changeState(State newState) {
    State oldState;
    {
        std::lock_guard<std::mutex> lock(m_streamMutex);
        oldState = m_state.exchange(newState);
    }
    announce(oldState, newState);
}

// Any thread, no stream lock held: receivers may call back into the stream. The signal would drop an
// emission nested in one of its receivers, so a change made there is queued and delivered afterwards.
void Stream::announce(State oldState, State newState) {
    if (oldState == newState) {
        return;
    }
    const std::thread::id self = std::this_thread::get_id();
    auto mine = [&] {
        return std::find_if(m_announcing.begin(), m_announcing.end(),
                            [&](const auto& entry) { return entry.first == self; });
    };
    StateChange change{oldState, newState};
    {
        std::lock_guard<std::mutex> lock(m_streamMutex);
        auto it = mine();
        if (it != m_announcing.end()) {
            it->second.push_back(change);
            return;
        }
        m_announcing.emplace_back(self, std::vector<StateChange>());
    }
    try {
        for (;;) {
            signalStateChanged.emitSignal(change);
            std::lock_guard<std::mutex> lock(m_streamMutex);
            auto it = mine();
            if (it->second.empty()) {
                m_announcing.erase(it);
                return;
            }
            change = it->second.front();
            it->second.erase(it->second.begin());
        }
    } catch (...) {
        // A throwing receiver must not leave this thread marked as emitting.
        std::lock_guard<std::mutex> lock(m_streamMutex);
        m_announcing.erase(mine());
        throw;
    }
}

// Any thread. Waits while another thread drives the state, except on a worker that was asked to exit:
// the driving thread may be joining it, so waiting could deadlock. Returns false in that case only.
bool Stream::acquireControl() {
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(m_streamMutex);
    if (m_controlDepth > 0 && m_controller == self) {
        ++m_controlDepth;
        return true;
    }
    while (m_controlDepth > 0) {
        if (m_worker && m_worker->id == self && m_worker->exitRequested) {
            return false;
        }
        m_changed.wait(lock);
    }
    m_controller = self;
    m_controlDepth = 1;
    lock.unlock();
    // A worker that ended itself (it closed or stopped the stream, or its loop ended) is joined by the
    // next operation of another thread, before that operation changes anything.
    joinStoppedWorker();
    return true;
}

// Any thread.
void Stream::releaseControl() {
    std::lock_guard<std::mutex> lock(m_streamMutex);
    if (--m_controlDepth == 0) {
        m_controller = std::thread::id();
        m_changed.notify_all();
    }
}

// Any thread.
bool Stream::hasWorker() {
    std::lock_guard<std::mutex> lock(m_streamMutex);
    return m_worker != nullptr;
}

// Control holder. Joins a worker that was asked to exit, unless the caller is that worker. Holds no lock
// while joining: the worker takes m_streamMutex to finish its pass.
void Stream::joinStoppedWorker() {
    std::unique_lock<std::mutex> lock(m_streamMutex);
    if (!m_worker || !m_worker->exitRequested || m_worker->id == std::this_thread::get_id()) {
        return;
    }
    std::thread thread = std::move(m_worker->thread);
    lock.unlock();
    if (thread.joinable()) {
        thread.join();
    }
    lock.lock();
    m_worker.reset();
}

bool Stream::open() {
    Control control(*this);
    if (!control.acquired()) {
        return false;
    }
    switch (currentState()) {
        case Closed:
            break;
        case Open:
        case Running:
        case Paused:
            return true;
        default:
            return false;
    }
    changeState(Opening);
    if (openImpl()) {
        changeState(Open);
        return true;
    }
    // Release whatever the failed open acquired before it gave up.
    closeImpl();
    changeState(Closed);
    return false;
}

bool Stream::start() {
    Control control(*this);
    if (const auto done = control.settled(Running, {Open})) {
        return *done;
    }
    // A worker still there is the caller itself (it stopped its own stream): it cannot replace itself.
    joinStoppedWorker();
    if (hasWorker()) {
        return false;
    }
    changeState(Starting);
    if (!startImpl()) {
        changeState(Open);
        return false;
    }
    const bool withWorker = threadingMode() == WorkerThread;
    State oldState = Starting;
    try {
        std::lock_guard<std::mutex> lock(m_streamMutex);
        if (withWorker) {
            auto worker = std::make_unique<Worker>();
            Worker* raw = worker.get();
            // The new thread blocks on m_streamMutex until the state reads Running and the record is
            // complete.
            worker->thread = std::thread([this, raw] { runWorker(raw); });
            worker->id = worker->thread.get_id();
            m_worker = std::move(worker);
        }
        m_workerPaused = false;
        oldState = m_state.exchange(Running);
    } catch (const std::system_error& e) {
        HALVOREN_LOG(Log::Error, "Stream", m_name << ": cannot start the worker thread: " << e.what());
        stopImpl();
        changeState(Open);
        return false;
    }
    // The worker may already run its first pass; a control operation it makes waits for this one.
    announce(oldState, Running);
    return true;
}

bool Stream::stop() {
    Control control(*this);
    if (const auto done = control.settled(Open, {Running, Paused})) {
        return *done;
    }
    const bool result = stopSteps();
    bool closeNow = false;
    {
        std::lock_guard<std::mutex> lock(m_streamMutex);
        closeNow = std::exchange(m_closeDeferred, false);
    }
    if (closeNow && currentState() == Open) {
        closeSteps();
    }
    return result;
}

// Control holder, in Running or Paused. On the worker thread itself the worker is not joined: it ends
// after the current pass.
bool Stream::stopSteps() {
    State oldState;
    {
        std::lock_guard<std::mutex> lock(m_streamMutex);
        if (m_worker) {
            m_worker->exitRequested = true;
        }
        m_workerPaused = false;
        oldState = m_state.exchange(Stopping);
        m_changed.notify_all();
    }
    announce(oldState, Stopping);
    joinStoppedWorker();
    const bool result = stopImpl();
    changeState(Open);
    return result;
}

bool Stream::pause() {
    Control control(*this);
    if (const auto done = control.settled(Paused, {Running})) {
        return *done;
    }
    if (!supportsPausing()) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_streamMutex);
        m_workerPaused = true;
    }
    changeState(Pausing);
    if (!pauseImpl()) {
        {
            std::lock_guard<std::mutex> lock(m_streamMutex);
            m_workerPaused = false;
            m_changed.notify_all();
        }
        changeState(Running);
        return false;
    }
    changeState(Paused);
    return true;
}

bool Stream::resume() {
    Control control(*this);
    if (const auto done = control.settled(Running, {Paused})) {
        return *done;
    }
    changeState(Resuming);
    if (!resumeImpl()) {
        changeState(Paused);
        return false;
    }
    State oldState;
    {
        std::lock_guard<std::mutex> lock(m_streamMutex);
        m_workerPaused = false;
        oldState = m_state.exchange(Running);
        m_changed.notify_all();
    }
    announce(oldState, Running);
    return true;
}

bool Stream::close() {
    Control control(*this);
    if (!control.acquired()) {
        // An exiting worker while another thread drives the state. If that thread is stopping the
        // stream, it closes it too once it is done (see stop()).
        std::lock_guard<std::mutex> lock(m_streamMutex);
        if (m_state == Stopping) {
            m_closeDeferred = true;
        }
        return m_state == Closed;
    }
    State state = currentState();
    if (state == Running || state == Paused) {
        stopSteps();
        state = currentState();  // a receiver of the stop may have changed it
    }
    if (state == Open) {
        return closeSteps();
    }
    return state == Closed;
}

// Control holder, in Open.
bool Stream::closeSteps() {
    {
        std::lock_guard<std::mutex> lock(m_streamMutex);
        m_closeDeferred = false;  // this is the close that was asked for
    }
    changeState(Closing);
    const bool result = closeImpl();
    changeState(Closed);
    return result;
}

std::future<bool> Stream::closeAsync() {
    std::promise<bool> promise;
    std::future<bool> future = promise.get_future();
    {
        std::lock_guard<std::mutex> lock(m_streamMutex);
        if (m_worker && m_worker->id == std::this_thread::get_id()) {
            m_worker->pendingCloses.push_back(std::move(promise));
            return future;
        }
    }
    promise.set_value(close());
    return future;
}

// Worker thread.
void Stream::runWorker(Worker* worker) {
    while (runPass(worker)) {
    }
    std::lock_guard<std::mutex> lock(m_streamMutex);
    worker->exitRequested = true;
    m_changed.notify_all();
}

// Worker thread. Waits for its turn, runs one doWork() and the closes it asked for; false ends the loop.
bool Stream::runPass(Worker* worker) {
    {
        std::unique_lock<std::mutex> lock(m_streamMutex);
        m_changed.wait(lock, [&] { return worker->exitRequested || !m_workerPaused; });
        if (worker->exitRequested) {
            return false;
        }
    }
    const std::optional<WorkContinuation> next = guardedWork();
    if (!next) {
        // From here on nobody may wait for this thread, not even the closes below.
        std::lock_guard<std::mutex> lock(m_streamMutex);
        worker->exitRequested = true;
        m_changed.notify_all();
    }
    runPendingCloses(worker);
    std::unique_lock<std::mutex> lock(m_streamMutex);
    if (worker->exitRequested) {
        return false;
    }
    m_changed.wait_until(lock, next->nextCall, [&] { return worker->exitRequested; });
    return !worker->exitRequested;
}

// Worker thread. One doWork() call; an exception ends the worker like an empty result. The result is
// built here and never assigned over an existing value: an optimiser may hand doWork() the caller's
// variable as its return slot, so a pass that wrote its continuation and then threw would leave it set.
std::optional<Stream::WorkContinuation> Stream::guardedWork() {
    try {
        return doWork();
    } catch (const std::exception& e) {
        HALVOREN_LOG(Log::Error, "Stream",
                     m_name << ": the worker pass failed and the worker ends: " << e.what());
    } catch (...) {
        HALVOREN_LOG(Log::Error, "Stream", m_name << ": the worker pass failed and the worker ends");
    }
    return std::nullopt;
}

// Worker thread.
void Stream::runPendingCloses(Worker* worker) {
    for (;;) {
        std::vector<std::promise<bool>> closes;
        {
            std::lock_guard<std::mutex> lock(m_streamMutex);
            closes.swap(worker->pendingCloses);
        }
        if (closes.empty()) {
            return;
        }
        const bool result = close();
        for (auto& promise : closes) {
            promise.set_value(result);
        }
    }
}

}  // namespace Halvoren
