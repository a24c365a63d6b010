#pragma once
// The result of an operation that a user's mistake or the machine can make fail: either its value or an
// error with a kind and a message for people. One shape at every boundary an error crosses, so that the
// application turns a kind into its exit code in one place. (C++17 has no std::expected.)

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace Halvoren {

/// What went wrong, as far as the one who called can act on it.
enum class ErrorKind {
    Usage,        // the options given contradict each other or name nothing there is
    BadInput,     // a file or value given was unreadable or wrong
    NoDevice,     // the camera (or what stands for it) could not be opened
    NoPlugin,     // nothing offers what was asked for
    WriteFailed,  // an output could not be written
    Refused,      // the input is readable but cannot give a result
    Interrupted,  // stopped by a signal before it was done
    Failure,      // anything else: the message says what
};

struct Error {
    ErrorKind kind = ErrorKind::Failure;
    std::string message;  // whole sentences for people, without a program name in front
};

inline Error makeError(ErrorKind kind, std::string message) {
    return Error{kind, std::move(message)};
}

/// A value of type T, or the error that stopped it from being made.
template <typename T>
class [[nodiscard]] Expected {
public:
    Expected(T value) : m_state(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit on purpose
    Expected(Error error) : m_state(std::in_place_index<1>, std::move(error)) {}  // NOLINT

    bool hasValue() const { return m_state.index() == 0; }
    explicit operator bool() const { return hasValue(); }

    T& value() & { return std::get<0>(m_state); }
    const T& value() const& { return std::get<0>(m_state); }
    T&& value() && { return std::get<0>(std::move(m_state)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    const Error& error() const { return std::get<1>(m_state); }

private:
    std::variant<T, Error> m_state;
};

/// Success without a value, or the error.
template <>
class [[nodiscard]] Expected<void> {
public:
    Expected() = default;
    Expected(Error error) : m_error(std::move(error)) {}  // NOLINT: implicit on purpose

    bool hasValue() const { return !m_error; }
    explicit operator bool() const { return hasValue(); }
    const Error& error() const { return *m_error; }

private:
    std::optional<Error> m_error;
};

}  // namespace Halvoren
