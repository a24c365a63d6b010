// Recordings come from other machines and other writers: any header, with any data beside it or inside it,
// must open and read or be refused with a reason that names the file, within the limits.
//
// The input is a header, optionally followed by "\n@@DATA\n" and the bytes of its data file. They are
// written as f.mhd beside f.raw and f.zraw (both the data), and the whole input as f.mha (data after the
// header, for ElementDataFile = LOCAL).
#include "sequence/SequenceFile.h"
#include "sequence/TrackingCodec.h"
#include "sequence/TrackingFields.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// A plain array, not a std::string: it must outlive the clean-up at exit.
char folderPath[64];

void removeFolder() {
    for (const char* file : {"f.mhd", "f.raw", "f.zraw", "f.mha"}) {
        ::unlink((std::string(folderPath) + "/" + file).c_str());
    }
    ::rmdir(folderPath);
}

const char* folder() {
    static const bool made = [] {
        // In memory where there is such a folder: four files are written for every input.
        std::snprintf(folderPath, sizeof(folderPath), "%s/fuzz_sequence_XXXXXX",
                      ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
        if (::mkdtemp(folderPath) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        std::atexit(removeFolder);
        return true;
    }();
    static_cast<void>(made);
    return folderPath;
}

void writeFile(const std::string& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        std::perror(path.c_str());
        std::abort();
    }
    ::close(fd);
}

void check(const std::string& path) {
    using Halvoren::Sequence::SequenceReader;
    SequenceReader::Limits limits;
    limits.maxHeaderBytes = 64 * 1024;
    limits.maxFrames = 256;
    limits.maxFrameBytes = 4096;
    limits.maxLineBytes = 8 * 1024;
    auto opened = SequenceReader::open(path, limits);
    std::string error = opened ? std::string() : opened.error().message;
    if (!opened) {
        if (error.find(path) == std::string::npos) {
            std::fprintf(stderr, "refused without naming %s: %s\n", path.c_str(), error.c_str());
            std::abort();
        }
        // What the file holds reaches a terminal escaped.
        for (const char c : error) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                std::fprintf(stderr, "a control character in the reason: %s\n", error.c_str());
                std::abort();
            }
        }
        return;
    }
    const std::unique_ptr<SequenceReader> reader = std::move(*opened);
    // The rules a replay and an export apply to a tracking recording's header and frames, on any fields.
    static_cast<void>(Halvoren::Sequence::TrackingFields::checkFrames(*reader, error));
    const auto recording = Halvoren::Sequence::recordingOf(reader->fields());
    const bool tracking = recording.hasValue();
    const Halvoren::Sequence::RecordingHeader header =
        tracking ? *recording : Halvoren::Sequence::RecordingHeader();
    const auto frameBytes =
        static_cast<std::size_t>(reader->width()) * static_cast<std::size_t>(reader->height());
    if (reader->width() < 1 || reader->height() < 1 || frameBytes > limits.maxFrameBytes ||
        reader->frameCount() > limits.maxFrames) {
        std::fprintf(stderr, "opened past the limits: %d x %d, %zu frames\n", reader->width(),
                     reader->height(), reader->frameCount());
        std::abort();
    }
    std::vector<std::uint8_t> pixels;
    for (std::size_t i = 0; i < reader->frameCount(); ++i) {
        Halvoren::Sequence::RecordedFrame frame;
        if (tracking) {
            static_cast<void>(
                Halvoren::Sequence::frameOf(reader->frameFields(i), header.markers, frame, error));
        }
        if (!reader->readNextPixels(pixels, error)) {
            if (error.empty()) {
                std::fputs("a frame failed without a reason\n", stderr);
                std::abort();
            }
            return;
        }
        if (pixels.size() != frameBytes) {
            std::fprintf(stderr, "frame %zu has %zu bytes, not %zu\n", i, pixels.size(), frameBytes);
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string separator = "\n@@DATA\n";
    const std::size_t split = input.find(separator);
    const std::string header = split == std::string::npos ? input : input.substr(0, split + 1);
    const std::string bytes =
        split == std::string::npos ? std::string() : input.substr(split + separator.size());
    const std::string dir = folder();
    writeFile(dir + "/f.mhd", header);
    writeFile(dir + "/f.raw", bytes);
    writeFile(dir + "/f.zraw", bytes);
    writeFile(dir + "/f.mha", input);
    check(dir + "/f.mhd");
    check(dir + "/f.mha");
    return 0;
}
