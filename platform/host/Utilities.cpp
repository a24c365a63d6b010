#include "Utilities.h"

#include "Log.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <filesystem>
#include <mutex>
#include <system_error>

namespace Halvoren {

std::uint64_t DateTime::currentMillisecondsSinceEpochUtc() {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count());
}

std::vector<std::string> String::split(const std::string& text, const std::string& separator, int options) {
    std::vector<std::string> pieces;
    if (text.empty()) {
        return pieces;
    }
    if (separator.empty()) {
        pieces.push_back(text);
        return pieces;
    }
    const bool skipEmpty = (options & SkipEmptyParts) != 0;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(separator, start);
        std::string piece = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!(skipEmpty && piece.empty())) {
            pieces.push_back(std::move(piece));
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + separator.size();
    }
    return pieces;
}

namespace Filesystem {

Path::Path(std::string path) : m_path(std::move(path)) {}

bool Path::exists() const {
    if (m_path.empty()) {
        return false;
    }
    std::error_code error;
    return std::filesystem::exists(std::filesystem::path(m_path), error);
}

bool Path::isRelative() const {
    return std::filesystem::path(m_path).is_relative();
}

Path& Path::makeAbsolute() {
    if (m_path.empty()) {
        return *this;
    }
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(std::filesystem::path(m_path), error);
    if (!error) {
        m_path = absolute.string();
    }
    return *this;
}

}  // namespace Filesystem

struct ScheduledMainThreadCommand::State {
    mutable std::mutex mutex;  // guards done
    mutable std::condition_variable finished;
    bool done = false;

    void finish() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
        }
        finished.notify_all();
    }
};

ScheduledMainThreadCommand::ScheduledMainThreadCommand(std::shared_ptr<State> state)
    : m_state(std::move(state)) {}

ScheduledMainThreadCommand::~ScheduledMainThreadCommand() = default;

bool ScheduledMainThreadCommand::isDone() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->done;
}

void ScheduledMainThreadCommand::wait() const {
    if (QtHelpers::isMainThread()) {
        // The work waits in this thread's own event queue: blocking would never end, so run the queue.
        while (!isDone()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        return;
    }
    std::unique_lock<std::mutex> lock(m_state->mutex);
    m_state->finished.wait(lock, [this] { return m_state->done; });
}

namespace {

/// Queued work. Finishes its command when it has run, and also when Qt discards the queued call without
/// running it (the application went away), so that a waiter is never left hanging.
class MainThreadTask {
public:
    MainThreadTask(std::function<void()> work, std::shared_ptr<ScheduledMainThreadCommand::State> state)
        : m_work(std::move(work)), m_state(std::move(state)) {}
    MainThreadTask(const MainThreadTask&) = delete;
    MainThreadTask& operator=(const MainThreadTask&) = delete;
    ~MainThreadTask() { m_state->finish(); }

    // Main thread.
    void run() {
        // An exception must not unwind through Qt's event loop; nobody else can catch it here.
        try {
            m_work();
        } catch (const std::exception& e) {
            HALVOREN_LOG(Log::Error, "QtHelpers", "Work run on the main thread threw: " << e.what());
        } catch (...) {
            HALVOREN_LOG(Log::Error, "QtHelpers", "Work run on the main thread threw an unknown exception");
        }
        m_state->finish();
    }

private:
    std::function<void()> m_work;
    std::shared_ptr<ScheduledMainThreadCommand::State> m_state;
};

}  // namespace

bool QtHelpers::isMainThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app == nullptr || QThread::currentThread() == app->thread();
}

std::unique_ptr<ScheduledMainThreadCommand> QtHelpers::runOnMainThread(std::function<void()> work,
                                                                       int /*mode*/) {
    auto state = std::make_shared<ScheduledMainThreadCommand::State>();
    auto command = std::make_unique<ScheduledMainThreadCommand>(state);
    if (!work) {
        state->finish();
        return command;
    }
    QCoreApplication* app = QCoreApplication::instance();
    // Queued even on the main thread itself: the caller may hold locks the work wants, and callers rely on
    // it running later. Only without an application is there no queue to wait in.
    if (app == nullptr) {
        struct FinishOnExit {
            ScheduledMainThreadCommand::State& state;
            ~FinishOnExit() { state.finish(); }
        } finishOnExit{*state};
        work();
        return command;
    }
    // The task is owned by the queued functor alone, so dropping the returned handle cancels nothing.
    auto task = std::make_shared<MainThreadTask>(std::move(work), std::move(state));
    // Qt's event queue hands the functor over under a lock that race checkers cannot see; this lock makes
    // the hand-over visible, so the task's contents are known to be published before the main thread reads
    // them.
    static std::mutex handover;
    std::lock_guard<std::mutex> lock(handover);
    const bool queued = QMetaObject::invokeMethod(
        app,
        [task]() {
            { std::lock_guard<std::mutex> published(handover); }
            task->run();
        },
        Qt::QueuedConnection);
    if (!queued) {
        HALVOREN_LOG(Log::Error, "QtHelpers", "Could not queue work to the main thread");
    }
    return command;
}

}  // namespace Halvoren
