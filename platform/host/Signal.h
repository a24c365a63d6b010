#pragma once

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace Halvoren {

class SignalReceiver;

/// One connection of a callable to a signal. Shared between the signal, the caller and the receiver.
/// Disconnecting is safe from any thread, also from inside the callable during an emission.
class SignalConnection : public std::enable_shared_from_this<SignalConnection> {
public:
    virtual ~SignalConnection();
    /// Marks the connection inactive and tells its receiver to forget it; then waits until a call of the
    /// callable that runs on another thread has returned (inside that call it returns at once). After it
    /// returns the callable is never entered again, so whatever it uses may be destroyed: the one way for
    /// a receiver to outlive an emission. Never call it while holding a lock the callable may take.
    /// Idempotent.
    void disconnect();
    bool isConnected() const;

protected:
    SignalConnection() = default;
    /// Called by disconnect(); the signal forgets the connection at its next purge.
    virtual void onDisconnect() {}
    void setReceiver(SignalReceiver* receiver);
    /// Emitting thread: true, with the call marked in flight, while connected; endCall() ends it.
    bool beginCall();
    void endCall();

private:
    friend class SignalReceiver;
    void forgetReceiver();

    // Guards the fields below; the receiver's lock is the only one taken under it.
    mutable std::mutex m_mutex;
    std::condition_variable m_callEnded;
    bool m_connected = true;
    SignalReceiver* m_receiver = nullptr;
    // The thread running the callable (emissions of one signal never overlap), or none.
    std::thread::id m_caller;
};

/// Owner of connections: destroying the receiver disconnects everything it was connected with.
class SignalReceiver {
public:
    SignalReceiver() = default;
    SignalReceiver(const SignalReceiver&) = delete;
    SignalReceiver& operator=(const SignalReceiver&) = delete;
    virtual ~SignalReceiver();

    void disconnectAll();
    std::size_t connectionCount() const;

private:
    friend class SignalConnection;
    template <typename... Args>
    friend class SignalImpl;
    void addConnection(const std::shared_ptr<SignalConnection>& connection);
    void removeConnection(SignalConnection* connection);

    mutable std::mutex m_mutex;  // guards m_connections; taken after a connection's mutex is released
    std::vector<std::shared_ptr<SignalConnection>> m_connections;
};

/// Synchronous signal: emitSignal() calls every active, connected callable in connection order on the
/// calling thread, holding the signal's recursive mutex. An emission that starts on the same thread while
/// one of this signal's callables runs is dropped. A connection made during an emission joins after it.
/// Inactive connections are purged after the outermost emission. Never emit while holding a lock that a
/// receiver may want.
template <typename... Args>
class SignalImpl {
public:
    using Function = std::function<void(Args...)>;

    SignalImpl();
    SignalImpl(const SignalImpl&) = delete;
    SignalImpl& operator=(const SignalImpl&) = delete;
    /// Marks every connection disconnected and tells the receivers to forget them.
    ~SignalImpl();

    /// An empty callable yields no connection (null).
    std::shared_ptr<SignalConnection> connect(Function function);
    /// The receiver tracks the connection and disconnects it when destroyed.
    std::shared_ptr<SignalConnection> connect(SignalReceiver* receiver, Function function);

    void emitSignal(Args... args);

    void setBlocked(bool blocked);
    bool isBlocked() const;
    /// Number of active connections.
    std::size_t connectionCount() const;
    void disconnectAll();

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
};

}  // namespace Halvoren

// Template definitions follow.

namespace Halvoren {

template <typename... Args>
struct SignalImpl<Args...>::Shared {
    struct Connection : SignalConnection {
        Connection(Function f, SignalReceiver* receiver) : function(std::move(f)) { setReceiver(receiver); }
        using SignalConnection::beginCall;
        using SignalConnection::endCall;
        Function function;
    };

    std::recursive_mutex mutex;  // held during an emission and for every change of the lists
    std::vector<std::shared_ptr<Connection>> connections;
    std::vector<std::shared_ptr<Connection>> pending;  // connected during an emission
    bool emitting = false;
    bool blocked = false;

    void purge() {
        auto inactive = [](const std::shared_ptr<Connection>& c) { return !c->isConnected(); };
        connections.erase(std::remove_if(connections.begin(), connections.end(), inactive),
                          connections.end());
        for (auto& c : pending) {
            if (c->isConnected()) {
                connections.push_back(std::move(c));
            }
        }
        pending.clear();
    }
};

template <typename... Args>
SignalImpl<Args...>::SignalImpl() : m_shared(std::make_shared<Shared>()) {}

template <typename... Args>
SignalImpl<Args...>::~SignalImpl() {
    disconnectAll();
}

template <typename... Args>
std::shared_ptr<SignalConnection> SignalImpl<Args...>::connect(Function function) {
    return connect(nullptr, std::move(function));
}

template <typename... Args>
std::shared_ptr<SignalConnection> SignalImpl<Args...>::connect(SignalReceiver* receiver, Function function) {
    if (!function) {
        return nullptr;
    }
    auto connection = std::make_shared<typename Shared::Connection>(std::move(function), receiver);
    // The receiver learns of the connection before the signal can call or disconnect it: a disconnect
    // in between would otherwise leave the receiver holding a dead connection.
    if (receiver != nullptr) {
        receiver->addConnection(connection);
    }
    std::lock_guard<std::recursive_mutex> lock(m_shared->mutex);
    if (m_shared->emitting) {
        m_shared->pending.push_back(connection);
    } else {
        m_shared->purge();
        m_shared->connections.push_back(connection);
    }
    return connection;
}

template <typename... Args>
void SignalImpl<Args...>::emitSignal(Args... args) {
    // A callable may destroy the object that owns this signal: keep the shared state alive until the end.
    const std::shared_ptr<Shared> shared = m_shared;
    std::lock_guard<std::recursive_mutex> lock(shared->mutex);
    // Holding the recursive mutex, a running emission can only be our own thread's: drop re-entry.
    if (shared->emitting || shared->blocked) {
        return;
    }
    struct Guard {
        Shared& shared;
        ~Guard() {
            shared.emitting = false;
            shared.purge();
        }
    };
    shared->emitting = true;
    Guard guard{*shared};
    const std::size_t count = shared->connections.size();
    for (std::size_t i = 0; i < count; ++i) {
        auto connection = shared->connections[i];  // keep alive across a disconnect in the callable
        if (connection->beginCall()) {
            struct CallEnd {
                typename Shared::Connection& connection;
                ~CallEnd() { connection.endCall(); }
            } callEnd{*connection};
            connection->function(args...);
        }
    }
}

template <typename... Args>
void SignalImpl<Args...>::setBlocked(bool blocked) {
    std::lock_guard<std::recursive_mutex> lock(m_shared->mutex);
    m_shared->blocked = blocked;
}

template <typename... Args>
bool SignalImpl<Args...>::isBlocked() const {
    std::lock_guard<std::recursive_mutex> lock(m_shared->mutex);
    return m_shared->blocked;
}

template <typename... Args>
std::size_t SignalImpl<Args...>::connectionCount() const {
    std::lock_guard<std::recursive_mutex> lock(m_shared->mutex);
    std::size_t n = 0;
    for (const auto& c : m_shared->connections) {
        n += c->isConnected() ? 1 : 0;
    }
    for (const auto& c : m_shared->pending) {
        n += c->isConnected() ? 1 : 0;
    }
    return n;
}

template <typename... Args>
void SignalImpl<Args...>::disconnectAll() {
    std::vector<std::shared_ptr<typename Shared::Connection>> all;
    {
        std::lock_guard<std::recursive_mutex> lock(m_shared->mutex);
        all = m_shared->connections;
        all.insert(all.end(), m_shared->pending.begin(), m_shared->pending.end());
    }
    for (auto& c : all) {
        c->disconnect();
    }
    std::lock_guard<std::recursive_mutex> lock(m_shared->mutex);
    if (!m_shared->emitting) {
        m_shared->purge();
    }
}

}  // namespace Halvoren
