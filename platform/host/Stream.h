#pragma once

#include "Configurable.h"
#include "Data.h"
#include "Signal.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace Halvoren {

/// A live data source with a state machine. Public operations do the bookkeeping and call the protected
/// hooks. With threading mode 0 the stream owns one worker thread that calls doWork() repeatedly while
/// the stream runs, sleeping until the time point each pass returns.
///
/// Control operations may be called from any thread; those of different threads run one after the other
/// (a caller waits while another thread drives the state). Hooks and state-change receivers run with no
/// stream lock held and may call the operations again on their own thread; such a nested call acts only
/// from a settled state (Closed, Open, Running, Paused) and returns false in a transitional one.
/// An operation whose goal already holds succeeds without calling a hook: open() when open (Open,
/// Running or Paused), start() when Running, stop() when Open, pause() when Paused, resume() when
/// Running, close() when Closed. Any other state where the operation makes no sense: false, no hook.
class Stream : public Data, public Configurable {
public:
    /// The state codes count from 0 in this order (Open: open and stopped); logs and tests show them as
    /// numbers.
    enum State { Closed, Opening, Open, Starting, Running, Pausing, Paused, Resuming, Stopping, Closing };
    static_assert(Closed == 0 && Open == 2 && Running == 4 && Closing == 9, "the state codes are fixed");
    enum ThreadingMode { WorkerThread = 0, NoThread = 1 };

    struct StateChange {
        State oldState;
        State newState;
    };

    /// What a doWork() pass returns: when to call again. The flag is reserved and always set.
    struct WorkContinuation {
        std::chrono::system_clock::time_point nextCall;
        bool flag = true;
    };

    explicit Stream(std::string name);
    /// Joins the worker if one is left. Derived classes call close() in their own destructor.
    ~Stream() override;

    const std::string& name() const { return m_name; }

    /// Closed -> Opening -> Open. A failed openImpl() is followed by closeImpl() to release what it
    /// acquired, and the stream is Closed again.
    bool open();
    /// Open -> Starting -> Running; starts the worker thread (threading mode 0). A failed startImpl()
    /// leaves the stream Open. Refused on the stream's own worker thread (it cannot replace itself).
    bool start();
    /// Running or Paused -> Stopping -> Open; the worker is asked to exit, woken and joined before
    /// stopImpl(). The stream ends Open whatever stopImpl() returns; its result is returned.
    bool stop();
    /// Running -> Pausing -> Paused when supportsPausing(); the worker holds off doWork() meanwhile.
    bool pause();
    /// Paused -> Resuming -> Running.
    bool resume();
    /// Stops when needed, then Closing -> Closed through closeImpl(); Closed even when closeImpl() fails,
    /// whose result is returned. True at once when already closed.
    /// Called on the worker thread (from doWork) it does not join the worker: the worker exits after the
    /// current pass and is joined by the next control operation or the destructor. If another thread is
    /// stopping the stream at that moment, the worker cannot wait for it (it is being joined): the call
    /// returns false and that thread closes the stream once its stop is done.
    bool close();
    /// Closes without waiting. From the worker thread the close runs on the worker right after the
    /// current pass returns (the future may be dropped); from any other thread it closes at once and
    /// returns a ready future.
    std::future<bool> closeAsync();

    State currentState() const { return m_state.load(); }
    bool isStateOneOf(std::initializer_list<State> states) const;
    static const char* stateName(State state);

    virtual bool supportsPausing() const { return false; }
    virtual ThreadingMode threadingMode() const { return WorkerThread; }

    /// Emitted on every state change, on the thread that changes the state, without stream locks held.
    SignalImpl<const StateChange&> signalStateChanged;
    /// Emitted for every datum the stream delivers.
    SignalImpl<const std::shared_ptr<const StreamData>&> signalStreamData;

protected:
    virtual bool openImpl() = 0;
    virtual bool closeImpl() = 0;
    virtual bool startImpl() = 0;
    virtual bool stopImpl() = 0;
    virtual bool pauseImpl() { return false; }
    virtual bool resumeImpl() { return false; }
    /// Worker thread. An empty result ends the worker's loop.
    virtual std::optional<WorkContinuation> doWork() = 0;

    /// Sets the state and emits signalStateChanged when it differs. Takes no control lock. A change made
    /// by a receiver of that signal is delivered after the current emission, in order.
    void changeState(State newState);

private:
    // Implementation details belong to Stream.cpp; see there.
    struct Worker;
    class Control;

    bool acquireControl();
    void releaseControl();
    bool hasWorker();
    void joinStoppedWorker();
    bool stopSteps();
    bool closeSteps();
    void announce(State oldState, State newState);
    void runWorker(Worker* worker);
    bool runPass(Worker* worker);
    std::optional<WorkContinuation> guardedWork();
    void runPendingCloses(Worker* worker);

    std::string m_name;
    std::atomic<State> m_state{Closed};  // written under m_streamMutex, read anywhere
    // Guards the state's writes, the control owner, the worker record and the flags below. Held only for
    // bookkeeping: never while a hook, doWork() or a signal receiver runs, never while joining.
    std::mutex m_streamMutex;
    // Signalled on every change a waiter may care about: control released, worker asked to exit, pause.
    std::condition_variable m_changed;
    std::thread::id m_controller;      // the thread driving the state machine; guarded by m_streamMutex
    int m_controlDepth = 0;            // its nesting depth (hooks and receivers may re-enter); guarded
    bool m_workerPaused = false;       // the worker holds off doWork(); guarded by m_streamMutex
    bool m_closeDeferred = false;      // the worker asked to close while another thread was stopping; guarded
    std::unique_ptr<Worker> m_worker;  // guarded by m_streamMutex; the thread object only by the controller
    // Threads now emitting signalStateChanged, each with the changes made meanwhile by its receivers
    // (the signal drops a nested emission, so they are delivered after it). Guarded by m_streamMutex.
    std::vector<std::pair<std::thread::id, std::vector<StateChange>>> m_announcing;
};

}  // namespace Halvoren
