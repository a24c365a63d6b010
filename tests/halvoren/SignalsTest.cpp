// Signals and readers that go away: a closed pipe is a failed write, SIGINT, SIGTERM and SIGHUP stop a
// command alike, and whatever ends the run, the recording is finished whole and unlocked.
#include "AppProcess.h"
#include "halvoren/session/ExitCodes.h"
#include "support/TempFiles.h"

#include "sequence/RecordingLock.h"
#include "sequence/SequenceFile.h"
#include "support/Readers.h"

#include <gtest/gtest.h>
#include <QDeadlineTimer>
#include <QProcess>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

/// The frames the run's summary says it recorded; -1 when it does not say.
long recordedInSummary(const std::string& err) {
    std::smatch match;
    return std::regex_search(err, match, std::regex("recorded (\\d+) frames to ")) ? std::stol(match[1]) : -1;
}

/// The recording opens with the frames the summary names, every one of them whole (the data holds no
/// more and no less than its header names), and no lock is left.
void expectWholeRecording(const std::string& path, const std::string& err, bool images) {
    std::string error;
    const auto reader = TestSupport::openReader(path, error);
    ASSERT_TRUE(reader) << error;
    EXPECT_GT(reader->frameCount(), 0u);
    EXPECT_EQ(static_cast<long>(reader->frameCount()), recordedInSummary(err)) << err;
    if (!images) {  // one byte a frame
        EXPECT_EQ(std::filesystem::file_size(Halvoren::Sequence::SequenceWriter::filesOf(path, false)[1]),
                  reader->frameCount());
    }
    std::vector<std::uint8_t> pixels;
    for (std::size_t i = 0; i < reader->frameCount(); ++i) {
        ASSERT_TRUE(reader->readNextPixels(pixels, error)) << "frame " << i << ": " << error;
    }
    EXPECT_FALSE(std::filesystem::exists(Halvoren::Sequence::RecordingLock::pathOf(path)));
}

/// halvoren with its standard output on `outFd` and its standard error into `errPath`.
pid_t spawnApp(const std::vector<std::string>& args, int outFd, const std::string& errPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> words = {HALVOREN_APP_PATH};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(spawned, 0);
    return spawned == 0 ? pid : -1;
}

/// Its exit code; -1 (after killing it) when it died of a signal or did not end within a generous time.
int exitCodeOf(pid_t pid) {
    const QDeadlineTimer deadline(120000);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (deadline.hasExpired()) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            ADD_FAILURE() << "halvoren did not end";
            return -1;
        }
        ::poll(nullptr, 0, 50);
    }
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/// Reads `fd` until it gave the CSV header and one pose line; false when it ended first or took too long.
bool readFirstPose(int fd) {
    std::string text;
    const QDeadlineTimer deadline(120000);
    while (std::count(text.begin(), text.end(), '\n') < 2 && !deadline.hasExpired()) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 200) <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            return false;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return std::count(text.begin(), text.end(), '\n') >= 2;
}

/// Waits until the running process's recording names its first frame.
bool waitForFirstRecordedFrame(QProcess& app, const std::string& recording) {
    const QDeadlineTimer deadline(120000);
    app.waitForStarted(120000);
    while (readFile(recording).find("Seq_Frame0000_") == std::string::npos) {
        if (deadline.hasExpired() || app.state() != QProcess::Running) {
            return false;
        }
        app.waitForFinished(50);
    }
    return true;
}

}  // namespace

TEST(Signals, AReaderThatGoesAwayEndsTheRunAsAFailedWriteWithTheRecordingWhole) {
    TestSupport::TempFiles files;
    const std::string fifo = files.path("poses.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const bool toFifo : {false, true}) {
        SCOPED_TRACE(toFifo ? "--output FIFO" : "standard output");
        const std::string recording = files.path(toFifo ? "fifo.seq.mhd" : "pipe.seq.mhd");
        const std::string errPath = files.path("err.txt");
        int fds[2] = {-1, -1};
        std::vector<std::string> args = {"stream", "--frames", "0", "--record", recording};
        if (toFifo) {
            fds[0] = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            fds[1] = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
            args.insert(args.end(), {"--output", fifo});
        } else {
            ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        }
        ASSERT_GE(fds[0], 0);
        const pid_t pid = spawnApp(args, fds[1], errPath);
        ::close(fds[1]);
        ASSERT_GT(pid, 0);
        // Without a frame limit only the closed reader can end the run.
        EXPECT_TRUE(readFirstPose(fds[0]));
        ::close(fds[0]);
        EXPECT_EQ(exitCodeOf(pid), 6);
        const std::string err = readFile(errPath);
        EXPECT_NE(err.find("cannot write the poses to " + (toFifo ? fifo : std::string("standard output"))),
                  std::string::npos)
            << err;
        EXPECT_NE(err.find("\nwarnings "), std::string::npos) << err;  // the summary's last line
        expectWholeRecording(recording, err, false);
    }

    // The export too: a closed pipe is a failed write, not the end of the process.
    int fds[2] = {-1, -1};
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    ::close(fds[0]);
    const std::string errPath = files.path("export.txt");
    const pid_t pid = spawnApp({"export", files.path("pipe.seq.mhd")}, fds[1], errPath);
    ::close(fds[1]);
    EXPECT_EQ(exitCodeOf(pid), 6);
    EXPECT_NE(readFile(errPath).find("cannot write the poses to standard output"), std::string::npos);
}

TEST(Signals, TermAndHupStopStreamAndAssessWithEveryOutputFinished) {
    TestSupport::TempFiles files;
    for (const int signal : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal == SIGTERM ? "SIGTERM" : "SIGHUP");
        const std::string recording = files.path("run" + std::to_string(signal) + ".seq.mhd");
        const std::string poses = files.path("poses.csv");
        QProcess stream;
        stream.start(QStringLiteral(HALVOREN_APP_PATH),
                     {"stream", "--frames", "0", "--output", QString::fromStdString(poses), "--record",
                      QString::fromStdString(recording)});
        ASSERT_TRUE(waitForFirstRecordedFrame(stream, recording));
        ::kill(static_cast<pid_t>(stream.processId()), signal);
        ASSERT_TRUE(stream.waitForFinished(120000));
        EXPECT_EQ(stream.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(stream.exitCode(), 0);
        const std::string err = stream.readAllStandardError().toStdString();
        EXPECT_NE(err.find("interrupted\n"), std::string::npos) << err;
        EXPECT_NE(err.find("\nwarnings "), std::string::npos) << err;
        expectWholeRecording(recording, err, false);
        EXPECT_NE(readFile(poses).find("atracsys-1200"), std::string::npos);

        const std::string json = files.path("assessment.json");
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("FTK_SIMULATOR_SETTINGS", QStringLiteral(HALVOREN_SOURCE_DIR "/data/cameras/still.txt"));
        QProcess assess;
        assess.setProcessEnvironment(env);
        assess.start(QStringLiteral(HALVOREN_APP_PATH),
                     {"assess", "--frames", "0", "--output", QString::fromStdString(json)});
        std::string assessErr;
        ASSERT_TRUE(TestSupport::waitForErrorText(assess, "assessing: the first frame came", assessErr))
            << assessErr;
        ::kill(static_cast<pid_t>(assess.processId()), signal);
        ASSERT_TRUE(assess.waitForFinished(120000));
        EXPECT_EQ(assess.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(assess.exitCode(), 0) << assessErr;
        assessErr += assess.readAllStandardError().toStdString();
        EXPECT_NE(assessErr.find("interrupted: assessing the "), std::string::npos) << assessErr;
        EXPECT_NE(assess.readAllStandardOutput().toStdString().find("pointer (atracsys-1200)"),
                  std::string::npos);
        EXPECT_EQ(readFile(json).rfind("{", 0), 0u);
    }
}

TEST(Signals, ASecondSignalWhileFinishingStillLeavesAWholeUnlockedRecording) {
    TestSupport::TempFiles files;
    const std::string recording = files.path("images.seq.mhd");
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("FTK_SIMULATOR_SETTINGS",
               QString::fromStdString(files.write("camera.txt", "width = 320\nheight = 256\n")));
    QProcess app;
    app.setProcessEnvironment(env);
    app.start(QStringLiteral(HALVOREN_APP_PATH),
              {"stream", "--frames", "0", "--images", "--output", QString::fromStdString(files.path("p.csv")),
               "--record", QString::fromStdString(recording)});
    ASSERT_TRUE(waitForFirstRecordedFrame(app, recording));
    // Two kinds, so that the second is not merged into the first while that one is pending.
    ::kill(static_cast<pid_t>(app.processId()), SIGTERM);
    ::kill(static_cast<pid_t>(app.processId()), SIGHUP);
    ASSERT_TRUE(app.waitForFinished(120000));
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 0);
    const std::string err = app.readAllStandardError().toStdString();
    EXPECT_NE(err.find("interrupted\n"), std::string::npos) << err;
    expectWholeRecording(recording, err, true);
}
