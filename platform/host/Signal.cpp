#include "Signal.h"

namespace Halvoren {

SignalConnection::~SignalConnection() = default;

void SignalConnection::disconnect() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_connected) {
        m_connected = false;
        // The receiver is told under our mutex, so a receiver being destroyed waits for us in
        // forgetReceiver.
        if (m_receiver != nullptr) {
            m_receiver->removeConnection(this);
            m_receiver = nullptr;
        }
        onDisconnect();
    }
    // A second disconnect waits as well: the first may have come from inside the call.
    const std::thread::id self = std::this_thread::get_id();
    m_callEnded.wait(lock, [this, self] { return m_caller == std::thread::id() || m_caller == self; });
}

bool SignalConnection::beginCall() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_connected) {
        return false;
    }
    m_caller = std::this_thread::get_id();
    return true;
}

void SignalConnection::endCall() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_caller = std::thread::id();
    }
    m_callEnded.notify_all();
}

bool SignalConnection::isConnected() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connected;
}

void SignalConnection::setReceiver(SignalReceiver* receiver) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_receiver = receiver;
}

void SignalConnection::forgetReceiver() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_receiver = nullptr;
}

SignalReceiver::~SignalReceiver() {
    disconnectAll();
}

void SignalReceiver::disconnectAll() {
    std::vector<std::shared_ptr<SignalConnection>> connections;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        connections.swap(m_connections);
    }
    // Never hold our mutex while taking a connection's: disconnect() takes them in the other order.
    for (auto& c : connections) {
        c->forgetReceiver();
        c->disconnect();
    }
}

std::size_t SignalReceiver::connectionCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connections.size();
}

void SignalReceiver::addConnection(const std::shared_ptr<SignalConnection>& connection) {
    // No connection lock here: disconnect() takes the connection's mutex first, then ours.
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connections.push_back(connection);
}

void SignalReceiver::removeConnection(SignalConnection* connection) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_connections.begin(); it != m_connections.end(); ++it) {
        if (it->get() == connection) {
            m_connections.erase(it);
            return;
        }
    }
}

}  // namespace Halvoren
