#pragma once
// A substream of a stream group: a stream of its own kind whose control goes to the group's main stream
// and whose state follows the main stream's state.

#include "host/Image.h"
#include "host/StreamGroupBase.h"

#include <memory>
#include <string>

namespace Halvoren {

template <typename S>
class Substream : public SubstreamBase, public S {
public:
    Substream(StreamGroupBase& group, const std::string& name);
    ~Substream() override;

    Stream& stream() override { return *this; }
    bool supportsPausing() const override;

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

    std::shared_ptr<SignalConnection> m_stateConnection;
    bool m_destroying = false;
};

}  // namespace Halvoren

// Template definitions follow.
