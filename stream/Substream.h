#pragma once
// A substream of a stream group: a stream of its own kind whose control goes to the group's main stream
// and whose state follows the main stream's state.

#include "host/Image.h"
#include "host/StreamGroupBase.h"

#include <memory>
#include <optional>
#include <string>

namespace Halvoren {

template <typename S>
class Substream : public SubstreamBase, public S {
public:
    Substream(StreamGroupBase& group, const std::string& name);
    ~Substream() override;

    Stream& stream() override { return *this; }
    bool supportsPausing() const override;
    /// Its data come with the main stream's frames. A worker of its own would have nothing to do, and
    /// could still be entering doWork() while the substream is destroyed.
    Stream::ThreadingMode threadingMode() const override { return Stream::NoThread; }

protected:
    bool openImpl() override;
    bool closeImpl() override;
    bool startImpl() override;
    bool stopImpl() override;
    bool pauseImpl() override;
    bool resumeImpl() override;
    std::optional<Stream::WorkContinuation> doWork() override { return std::nullopt; }

private:
    Stream& mainStream() const { return *parent()->proxyStream(); }

    // The state callable runs on whichever thread changes the main stream's state, possibly while
    // another thread (the worker, purging removed substreams) destroys this one: the destructor's
    // disconnect waits for a call in flight. The state is set, and so announced, with no lock held. A
    // receiver of this substream's own state signal must not wait for the thread that destroys
    // substreams, nor destroy this substream itself.
    std::shared_ptr<SignalConnection> m_stateConnection;
    // Set by the destructor: closing and stopping then leave the main stream alone.
    bool m_destroying = false;
};

}  // namespace Halvoren

// Template definitions follow.

namespace Halvoren {

template <typename S>
Substream<S>::Substream(StreamGroupBase& group, const std::string& name) : SubstreamBase(group), S(name) {
    Stream& main = mainStream();
    this->changeState(main.currentState());
    // Any thread: runs on whichever thread changes the main stream's state.
    m_stateConnection = main.signalStateChanged.connect(
        [this](const Stream::StateChange& change) { this->changeState(change.newState); });
}

// Any thread; waits while another thread announces a state change to this substream.
template <typename S>
Substream<S>::~Substream() {
    if (m_stateConnection) {
        m_stateConnection->disconnect();  // waits for a state change being announced to us
    }
    // Closing ourselves must not close the main stream, which lives on.
    m_destroying = true;
    this->close();
    m_stateConnection.reset();
}

template <typename S>
bool Substream<S>::supportsPausing() const {
    return mainStream().supportsPausing();
}

template <typename S>
bool Substream<S>::openImpl() {
    return mainStream().Stream::open();
}

template <typename S>
bool Substream<S>::closeImpl() {
    if (m_destroying) {
        return true;
    }
    return mainStream().Stream::close();
}

template <typename S>
bool Substream<S>::startImpl() {
    return mainStream().Stream::start();
}

template <typename S>
bool Substream<S>::stopImpl() {
    if (m_destroying) {
        return true;
    }
    return mainStream().Stream::stop();
}

template <typename S>
bool Substream<S>::pauseImpl() {
    return mainStream().Stream::pause();
}

template <typename S>
bool Substream<S>::resumeImpl() {
    return mainStream().Stream::resume();
}

}  // namespace Halvoren
