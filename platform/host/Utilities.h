#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Halvoren {

namespace DateTime {
/// Milliseconds since 1970-01-01 UTC.
std::uint64_t currentMillisecondsSinceEpochUtc();
}  // namespace DateTime

namespace String {
enum SplitOptions { KeepEmptyParts = 0, SkipEmptyParts = 1 };
/// Splits at every occurrence of the separator; empty pieces are kept unless SkipEmptyParts is given. An
/// empty text gives no piece; an empty separator gives the whole text as the one piece.
std::vector<std::string> split(const std::string& text, const std::string& separator, int options = 0);
}  // namespace String

namespace Filesystem {
class Path {
public:
    Path() = default;
    explicit Path(std::string path);
    bool exists() const;
    bool isRelative() const;
    /// Makes the path absolute against the current working directory.
    Path& makeAbsolute();
    const std::string& string() const { return m_path; }

private:
    std::string m_path;
};
}  // namespace Filesystem

/// Handle of work queued to the Qt main thread. Dropping it does not cancel the work.
class ScheduledMainThreadCommand {
public:
    struct State;
    explicit ScheduledMainThreadCommand(std::shared_ptr<State> state);
    ~ScheduledMainThreadCommand();
    bool isDone() const;
    /// Blocks until the work has run (or was discarded because the application went away). On the main
    /// thread it processes events meanwhile, since the work waits in that thread's queue.
    void wait() const;

private:
    std::shared_ptr<State> m_state;
};

namespace QtHelpers {
/// Queues the work to the Qt main thread's event loop; it runs later, also when called on the main thread
/// itself, and also when the returned handle is dropped. Without a QCoreApplication it runs at once.
/// Any thread. The mode is reserved (0).
std::unique_ptr<ScheduledMainThreadCommand> runOnMainThread(std::function<void()> work, int mode = 0);
/// True when a QCoreApplication exists and the caller runs on its thread, or when none exists.
bool isMainThread();
}  // namespace QtHelpers

}  // namespace Halvoren
