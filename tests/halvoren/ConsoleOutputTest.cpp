// Standard error and standard output that nobody reads: the console output drops and counts, and the
// stream command keeps every frame of the camera while its console takes nothing.
#include "halvoren/console/ConsoleOutput.h"
#include "host/Log.h"
#include "support/CsvFields.h"
#include "support/TempFiles.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Halvoren::App::ConsoleOutput;

/// A pipe whose read end the test keeps open and reads only when it says so.
struct Pipe {
    int fds[2] = {-1, -1};
    explicit Pipe(int size = 0) {
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        if (size != 0) {
            EXPECT_GT(::fcntl(fds[1], F_SETPIPE_SZ, size), 0);
        }
    }
    ~Pipe() {
        for (const int fd : fds) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    /// What is in the pipe now; never waits.
    std::string drain() const {
        std::string text;
        char buffer[4096];
        pollfd ready{fds[0], POLLIN, 0};
        while (::poll(&ready, 1, 0) > 0 && (ready.revents & POLLIN) != 0) {
            const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            text.append(buffer, static_cast<std::size_t>(n));
        }
        return text;
    }
};

std::size_t countLines(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

/// Runs halvoren with `stuckFd` (1 or 2) on a small pipe nobody reads and the other one into
/// `otherPath`; its exit code, or -1 after killing it when it did not end within a generous time.
int runWithStuckOutput(const std::vector<std::string>& args, int stuckFd, const std::string& otherPath,
                       const std::string& cameraSettings) {
    Pipe stuck(4096);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, stuck.fds[1], stuckFd);
    posix_spawn_file_actions_addopen(&actions, stuckFd == 1 ? 2 : 1, otherPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> words = {HALVOREN_APP_PATH};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> environment = {"FTK_SIMULATOR_SETTINGS=" + cameraSettings};
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (std::string(*variable).rfind("FTK_SIMULATOR_SETTINGS=", 0) != 0) {
            environment.emplace_back(*variable);
        }
    }
    std::vector<char*> envp;
    for (std::string& variable : environment) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start halvoren";
        return -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            ADD_FAILURE() << "halvoren did not end while its fd " << stuckFd << " took nothing";
            return -1;
        }
        ::poll(nullptr, 0, 50);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(ConsoleOutput, WritesLinesInOrderWithTheLogsAndAFlushedPartLine) {
    Pipe pipe;
    ConsoleOutput console(pipe.fds[1]);
    console.takeOverLog();
    console.stream() << "first line\nsecond ";
    console.stream() << "line\n";
    Halvoren::Log::log(Halvoren::Log::Warning, "Camera", "too hot");
    console.stream() << "\rframes 12" << std::flush;
    EXPECT_EQ(console.finish(), 0u);
    EXPECT_EQ(pipe.drain(), "first line\nsecond line\n[warning] Camera: too hot\n\rframes 12");
    // Once finished the log is its own again and the output takes nothing more.
    console.post("late\n");
    EXPECT_EQ(console.droppedLines(), 1u);
    EXPECT_EQ(pipe.drain(), "");
}

TEST(ConsoleOutput, AReaderThatTakesNothingLosesLinesCountedAndTheEndIsBounded) {
    Pipe pipe(4096);
    ConsoleOutput console(pipe.fds[1], 16 * 1024);
    const std::string line(99, 'x');
    constexpr std::size_t kLines = 2000;  // 200 kB: far more than the pipe and the queue hold
    for (std::size_t i = 0; i < kLines; ++i) {
        console.stream() << line << '\n';
    }
    EXPECT_GT(console.droppedLines(), 0u);
    const std::uint64_t dropped = console.finish(0.2);  // returns although the pipe is still full
    const std::string written = pipe.drain();
    EXPECT_LE(written.size(), 4096u);
    EXPECT_EQ(countLines(written) + dropped, kLines);
    EXPECT_FALSE(ConsoleOutput::writeBounded(pipe.fds[1], std::string(8192, 'y'), 0.1));
}

TEST(ConsoleOutput, AFailedWriteIsSaidAndEveryLineSinceIsCounted) {
    // The writing thread takes the test thread's signal mask: a closed pipe gives EPIPE, not SIGPIPE.
    sigset_t pipeSignal;
    sigset_t previous;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous), 0);
    {
        Pipe pipe;
        ::close(pipe.fds[0]);
        pipe.fds[0] = -1;
        ConsoleOutput console(pipe.fds[1]);
        // Complete lines go over without a flush, whose failure would leave the stream bad before "three".
        console.stream() << "one\ntwo\n";
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!console.failed() && std::chrono::steady_clock::now() < deadline) {
            ::poll(nullptr, 0, 10);
        }
        ASSERT_TRUE(console.failed());
        // From then on writing fails, so that the writer stops, and what it wrote is counted.
        console.stream() << "three\n";
        EXPECT_FALSE(console.stream().good());
        EXPECT_EQ(console.finish(), 3u);
    }
    ASSERT_EQ(pthread_sigmask(SIG_SETMASK, &previous, nullptr), 0);
}

TEST(ConsoleOutput, StreamKeepsEveryFrameWhenStandardErrorOrOutputTakesNothing) {
    TestSupport::TempFiles files;
    const std::string camera = files.write("camera.txt", "rate = 200\n");
    const std::string poses = files.path("poses.csv");
    const std::string other = files.path("other.txt");

    // Standard error stuck: the poses file gets every frame up to the limit, and the run ends.
    const int stuckErr = runWithStuckOutput(
        {"stream", "--frames", "300", "--health-every", "0.01", "--output", poses}, 2, other, camera);
    EXPECT_EQ(stuckErr, 0);
    std::set<std::string> frames;
    std::istringstream lines(readFile(poses));
    for (std::string line; std::getline(lines, line);) {
        frames.insert(TestSupport::csvFields(line).at(13));
    }
    frames.erase("frame");
    EXPECT_EQ(frames.size(), 300u);

    // Standard output stuck: the run still counts every frame and ends; the lines lost are said, and
    // make the exit code (lines standard error lost, above, do not).
    const int stuckOut =
        runWithStuckOutput({"stream", "--frames", "300", "--health-every", "0.01"}, 1, other, camera);
    EXPECT_EQ(stuckOut, 9);
    const std::string err = readFile(other);
    EXPECT_NE(err.find("\nframes 300\n"), std::string::npos) << err;
    EXPECT_NE(err.find("lines not written to standard output: "), std::string::npos) << err;
}
