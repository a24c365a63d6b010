// Writes recordings with SequenceWriter and has VTK read them (tests/sequence/vtk_read.py): a finished
// one, and ones whose writer was killed, which must open with the frames their header names. Exits 77
// (skipped) when VTK for Python is not installed.
// Usage: sequence_vtk_check VTK_READ_PY SCRATCH_FOLDER
#include "sequence/SequenceFile.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace Halvoren::Sequence;

namespace {

constexpr std::size_t kFrames = 5;

struct Size {
    int width;
    int height;
};
constexpr Size kSmall{8, 6};
// Frames the writer compresses in several pieces, on several threads.
constexpr Size kLarge{800, 700};

Frame makeFrame(std::size_t index, Size size) {
    Frame frame;
    const auto width = static_cast<std::size_t>(size.width);
    for (std::size_t i = 0; i < width * static_cast<std::size_t>(size.height); ++i) {
        // Every third row dark, as much of a camera image is.
        frame.pixels.push_back(static_cast<std::uint8_t>((i / width) % 3 == 2 ? 0 : index * 40 + i * 3));
    }
    // A translation that moves with the frame, as a tracked tool's would.
    frame.fields = {{"FrameNumber", std::to_string(index + 1)},
                    {"ToolToTrackerTransform", "1 0 0 " + std::to_string(10 + index) + " 0 1 0 -2.5 0 0 1 " +
                                                   std::to_string(index * 0.25) + " 0 0 0 1"}};
    return frame;
}

// What VTK must read back of the first `frames` frames.
std::string expected(std::size_t frames, Size size) {
    std::vector<std::uint8_t> pixels;
    std::string transforms;
    for (std::size_t i = 0; i < frames; ++i) {
        const Frame frame = makeFrame(i, size);
        pixels.insert(pixels.end(), frame.pixels.begin(), frame.pixels.end());
        transforms += "frame " + std::to_string(i) + " ToolToTrackerTransform " +
                      *findField(frame.fields, "ToolToTrackerTransform") + "\n";
    }
    char checksum[16];
    std::snprintf(checksum, sizeof(checksum), "%08lx",
                  crc32(0L, pixels.data(), static_cast<uInt>(pixels.size())) & 0xFFFFFFFFul);
    return "dimensions " + std::to_string(size.width) + " " + std::to_string(size.height) + " " +
           std::to_string(frames) + "\nchecksum " + checksum + "\n" + transforms;
}

// Records kFrames frames; `kill` ends the process (SIGKILL) instead of finishing, in a child, as a crash
// would, and the recording is left as it was at that moment.
bool record(const std::string& path, bool compressed, double headerEverySeconds, bool kill, Size size) {
    const pid_t child = kill ? ::fork() : 0;
    if (child < 0) {
        std::perror("fork");
        return false;
    }
    if (child == 0) {
        SequenceWriter::Options options;
        options.path = path;
        options.width = size.width;
        options.height = size.height;
        options.compressed = compressed;
        options.headerEverySeconds = headerEverySeconds;
        options.fields = {{"ToolToTrackerTransformStatus", "OK"}};
        std::string error;
        auto writer = SequenceWriter::create(options, error);
        bool written = writer != nullptr;
        for (std::size_t i = 0; written && i < kFrames; ++i) {
            written = writer->append(makeFrame(i, size), error);
        }
        if (kill) {
            if (!written) {
                std::fprintf(stderr, "%s\n", error.c_str());
                ::_exit(1);
            }
            ::raise(SIGKILL);
        }
        if (!written || !writer->finish(error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return false;
        }
        return true;
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFSIGNALED(status) || WTERMSIG(status) != SIGKILL) {
        std::fprintf(stderr, "the recording process did not end by SIGKILL\n");
        return false;
    }
    return true;
}

bool runs(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

std::string output(const std::string& command) {
    std::string text;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char chunk[4096];
        std::size_t count = 0;
        while ((count = std::fread(chunk, 1, sizeof(chunk), pipe)) > 0) {
            text.append(chunk, count);
        }
        ::pclose(pipe);
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s VTK_READ_PY SCRATCH_FOLDER\n", argv[0]);
        return 2;
    }
    const std::string script = argv[1];
    const std::string folder = argv[2];
    // The interpreter on the path may be another than the system's, which the VTK package serves.
    std::string python;
    for (const char* candidate : {"python3", "/usr/bin/python3"}) {
        if (runs(std::string(candidate) + " -c 'import vtk'")) {
            python = candidate;
            break;
        }
    }
    if (python.empty()) {
        std::printf("VTK for Python is not installed: skipped\n");
        return 77;
    }
    ::mkdir(folder.c_str(), 0777);

    struct Case {
        const char* name;
        bool compressed;
        double headerEverySeconds;
        bool kill;
        std::size_t frames;  // that the header names
        Size size = kSmall;
    };
    const Case cases[] = {
        {"finished", true, 1.0, false, kFrames},
        {"finished-raw", false, 1.0, false, kFrames},
        {"killed", true, 0.0, true, kFrames},     // the header replaced at every frame, no end of stream
        {"killed-early", true, 3600.0, true, 1},  // the header of the first frame, more data after it
        {"killed-early-raw", false, 3600.0, true, 1},
        {"finished-large", true, 1.0, false, kFrames, kLarge},
        {"killed-large", true, 0.0, true, kFrames, kLarge},
    };
    int failures = 0;
    for (const Case& c : cases) {
        const std::string path = folder + "/" + c.name + ".seq.mhd";
        if (!record(path, c.compressed, c.headerEverySeconds, c.kill, c.size)) {
            std::fprintf(stderr, "%s: cannot record\n", c.name);
            ++failures;
            continue;
        }
        const std::string read = output(python + " '" + script + "' '" + path + "'");
        const std::string want = expected(c.frames, c.size);
        if (read != want) {
            std::fprintf(stderr, "%s: VTK read\n%s\ninstead of\n%s\n", c.name, read.c_str(), want.c_str());
            ++failures;
        } else {
            std::printf("%s: VTK reads %zu frames as written\n", c.name, c.frames);
        }
    }
    return failures == 0 ? 0 : 1;
}
