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

namespace Halvoren {

/// A live data source with a state machine. Public operations do the bookkeeping and call the protected
/// hooks. With threading mode 0 the stream owns one worker thread that calls doWork() repeatedly while
/// the stream runs, sleeping until the time point each pass returns.
class Stream : public Data, public Configurable {
public:
    enum State {
        Closed = 0,
        Opening = 1,
        Open = 2,  // open and stopped
        Starting = 3,
        Running = 4,
        Pausing = 5,
        Paused = 6,
        Resuming = 7,
        Stopping = 8,
        Closing = 9,
    };
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
    /// Open -> Starting -> Running; starts the worker thread (threading mode 0).
    bool start();
    /// Running or Paused -> Stopping -> Open; the worker is asked to exit, woken and joined first.
    bool stop();
    bool pause();
    bool resume();
    /// Stops when needed, then Closing -> Closed through closeImpl(). True at once when already closed.
    /// Called on the worker thread (from doWork) it does not join the worker: the worker exits after the
    /// current pass and is joined by the next control operation or the destructor.
    bool close();
    /// Closes without waiting. From the worker thread the close runs right after the current pass.
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

    /// Sets the state and emits signalStateChanged when it differs. Takes no control lock.
    void changeState(State newState);

    /// The stream's own mutex and the flag that a substream sets under it when its destruction begins.
    std::mutex& streamMutex() { return m_streamMutex; }
    bool m_beingDestroyed = false;  // guarded by m_streamMutex

private:
    // Implementation details belong to Stream.cpp; see there.
    struct Worker;
    std::string m_name;
    std::atomic<State> m_state{Closed};
    std::mutex m_streamMutex;
    std::unique_ptr<Worker> m_worker;
};

}  // namespace Halvoren
