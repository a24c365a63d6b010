#pragma once
// A stream of the given host stream class whose life operations all succeed and whose worker does
// nothing: for tests that only need a stream to exist, to change state or to emit by hand.

#include "host/Stream.h"

#include <optional>
#include <string>
#include <utility>

namespace TestSupport {

template <typename Base>
class NullStream : public Base {
public:
    explicit NullStream(std::string name = "null") : Base(std::move(name)) {}
    ~NullStream() override { this->close(); }

protected:
    bool openImpl() override { return true; }
    bool closeImpl() override { return true; }
    bool startImpl() override { return true; }
    bool stopImpl() override { return true; }
    std::optional<Halvoren::Stream::WorkContinuation> doWork() override { return std::nullopt; }
};

}  // namespace TestSupport
