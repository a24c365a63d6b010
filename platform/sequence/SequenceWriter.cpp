#include "ParallelDeflate.h"
#include "SequenceFile.h"
#include "SequenceFormat.h"
#include "text/Text.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>

namespace Halvoren::Sequence {

using namespace Format;

namespace {

constexpr const char* kHeaderSuffix = ".mhd";
// Frames the writer accepts are frames the reader accepts with its default limits.
const std::size_t kMaxFrameBytes = SequenceReader::Limits().maxFrameBytes;
// Room kept in the header for its start and the fields added at the end (the run's figures).
constexpr std::uint64_t kHeaderReserve = 1u << 20;

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool checkField(const std::string& name, const std::string& value, bool recording, std::string& error) {
    if (!isTagName(name)) {
        error = "field name '" + name + "' must be letters, digits and _ only";
        return false;
    }
    if (recording && isMetaImageField(name)) {
        error = "field name '" + name + "' is a MetaImage field of the header";
        return false;
    }
    if (recording && name.rfind(kFramePrefix, 0) == 0) {
        error = "field name '" + name + "' is taken for the frames' fields";
        return false;
    }
    if (value.find_first_of("\r\n") != std::string::npos) {
        error = "the value of field " + name + " has a line break";
        return false;
    }
    return true;
}

// Refuses to replace anything but a regular file: a recording started on a FIFO, a folder or a device
// would block, fail late or write where it must not.
bool replaceable(const std::string& path, std::string& error) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return true;  // nothing there yet, or the open reports why not
    }
    if (!S_ISREG(status.st_mode)) {
        error = path + " is " + kindOf(status.st_mode) + ", not a regular file; not replacing it";
        return false;
    }
    return true;
}

// Opens a regular file to write (emptied unless `keep`), without blocking on a FIFO put there meanwhile.
bool openForWriting(const std::string& path, Fd& fd, std::string& error, bool keep = false) {
    fd = Fd(::open(path.c_str(), O_WRONLY | O_CREAT | (keep ? 0 : O_TRUNC) | O_CLOEXEC | O_NONBLOCK, 0666));
    if (fd.get() < 0) {
        error = "cannot create " + path + ": " + errorText(errno);
        return false;
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        error = path + " is " + kindOf(status.st_mode) + ", not a regular file; not writing to it";
        fd.reset();
        return false;
    }
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0) {
        ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    }
    return true;
}

// The data file, opened and locked before anything is emptied or replaced: a second writer of the same
// file (another program recording to it, whatever path it took) is refused before it touches it. The
// lock is the open file's: `lock`, a duplicate of `fd`, keeps it once `fd` is closed.
bool openLockedData(const std::string& path, Fd& fd, Fd& lock, std::string& error) {
    if (!openForWriting(path, fd, error, true)) {
        return false;
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? path + " is being written by another recording; not writing to it"
                                     : "cannot lock " + path + ": " + errorText(errno);
        fd.reset();
        return false;
    }
    lock = Fd(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
    if (lock.get() < 0) {
        error = "cannot lock " + path + ": " + errorText(errno);
        fd.reset();
        return false;
    }
    return true;
}

std::string fileNameOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

struct SequenceWriter::Impl {
    Options options;
    std::string dataPath;
    std::string dataName;  // as the header names it: beside the header
    std::string temporaryPath;
    std::size_t frameBytes = 0;
    Fd data;
    Fd dataLock;  // the data file's lock, held until the last header is written
    // Camera frames must be compressed as fast as they come, on a machine that has other work too: on
    // several threads, by an encoder that looks for runs only.
    std::unique_ptr<ParallelDeflate> deflater;
    std::vector<std::uint8_t> deflated;
    std::uint64_t dataBytes = 0;  // up to the end of the last complete frame
    // What the last header written names: the recording as it opens.
    std::atomic<std::size_t> headerFrames{0};
    std::uint64_t headerDataBytes = 0;
    Fields fields;           // the recording's own
    std::string fieldLines;  // the same, as header lines
    std::string frameLines;  // the fields of every complete frame
    std::atomic<std::size_t> frames{0};
    std::chrono::steady_clock::time_point lastHeader;
    std::chrono::steady_clock::duration lastHeaderCost{};  // how long the last header took to write
    std::string failure;  // the first failure of the files; nothing is written after it
    bool finished = false;

    std::string headerStart() const {
        const std::string count = std::to_string(frames.load());
        std::string text =
            "ObjectType = Image\nNDims = 3\nAnatomicalOrientation = RAI\nBinaryData = True\n"
            "BinaryDataByteOrderMSB = False\nCenterOfRotation = 0 0 0\n";
        if (options.compressed) {
            text += "CompressedData = True\nCompressedDataSize = " + std::to_string(dataBytes) + "\n";
        } else {
            text += "CompressedData = False\n";
        }
        text += "DimSize = " + std::to_string(options.width) + " " + std::to_string(options.height) + " " +
                count + "\n";
        text +=
            "ElementNumberOfChannels = 1\nElementSpacing = 1 1 1\nElementType = MET_UCHAR\n"
            "Offset = 0 0 0\nTransformMatrix = 1 0 0 0 1 0 0 0 1\nKinds = domain domain list\n";
        return text;
    }

    // The header of the frames complete so far, written beside and renamed over the old one, so that a
    // reader (or a crash) finds either the old header or the new one, never a part of one.
    bool writeHeader(std::string& error) {
        const auto begun = std::chrono::steady_clock::now();
        const std::string start = headerStart();
        const std::string end = "ElementDataFile = " + dataName + "\n";
        Fd file;
        if (!replaceable(temporaryPath, error) || !openForWriting(temporaryPath, file, error)) {
            return false;
        }
        const bool written = writeAll(file.get(), start.data(), start.size()) &&
                             writeAll(file.get(), fieldLines.data(), fieldLines.size()) &&
                             writeAll(file.get(), frameLines.data(), frameLines.size()) &&
                             writeAll(file.get(), end.data(), end.size());
        int failed = written ? 0 : errno;
        const int closeError = file.reset();
        failed = failed != 0 ? failed : closeError;
        if (failed != 0) {
            error = "cannot write " + temporaryPath + ": " + errorText(failed);
            ::unlink(temporaryPath.c_str());
            return false;
        }
        if (::rename(temporaryPath.c_str(), options.path.c_str()) != 0) {
            error = "cannot rename " + temporaryPath + " to " + options.path + ": " + errorText(errno);
            ::unlink(temporaryPath.c_str());
            return false;
        }
        lastHeader = std::chrono::steady_clock::now();
        lastHeaderCost = lastHeader - begun;
        headerFrames.store(frames.load());
        headerDataBytes = dataBytes;
        return true;
    }

    // After a failure: the data file keeps the bytes a header names and no more, so that it holds what
    // the recording opens with (and a full disk gets back the rest).
    void cutData(std::uint64_t bytes) {
        if (::truncate(dataPath.c_str(), static_cast<off_t>(bytes)) != 0) {
            failure += "; cannot cut " + dataPath + " back to its last header: " + errorText(errno);
        }
    }

    bool addFields(const Fields& added, std::string& error) {
        for (const auto& [name, value] : added) {
            if (!checkField(name, value, true, error)) {
                return false;
            }
        }
        for (const auto& [name, value] : added) {
            const auto same = std::find_if(fields.begin(), fields.end(),
                                           [&name = name](const auto& field) { return field.first == name; });
            if (same != fields.end()) {
                same->second = value;
            } else {
                fields.emplace_back(name, value);
            }
        }
        fieldLines.clear();
        for (const auto& [name, value] : fields) {
            fieldLines += name + " = " + value + "\n";
        }
        return true;
    }

    /// A frame whose fields would take the header past what a reader opens is refused, and so is every
    /// later one: the recording stops where it can still be read back.
    bool fitsReaders(const std::string& lines, std::string& error) {
        const SequenceReader::Limits& limits = options.readers;
        std::size_t longest = 0;
        for (std::size_t start = 0, end = 0; start < lines.size(); start = end + 1) {
            end = lines.find('\n', start);
            longest = std::max(longest, end - start);
        }
        if (longest >= limits.maxLineBytes) {
            error = "a frame's field of " + std::to_string(longest) + " bytes, more than a reader takes";
            return false;
        }
        const std::uint64_t header = fieldLines.size() + frameLines.size() + lines.size() + kHeaderReserve;
        if (frames.load() + 1 > limits.maxFrames || header > limits.maxHeaderBytes) {
            return fail(options.path + " holds as many frames as a reader opens (" +
                            std::to_string(frames.load()) + "); the recording stops there",
                        error);
        }
        return true;
    }

    bool fail(const std::string& reason, std::string& error) {
        if (failure.empty()) {
            failure = reason;
        }
        error = failure;
        return false;
    }

    bool writeData(const void* bytes, std::size_t size, std::string& error) {
        if (!writeAll(data.get(), bytes, size)) {
            return fail("cannot write " + dataPath + ": " + errorText(errno), error);
        }
        return true;
    }

    // Deflates the frame's pixels and writes them, ending on a byte boundary, so that every frame before
    // decodes from the bytes written so far; the stream's header comes with the first.
    bool deflateAndWrite(const std::vector<std::uint8_t>& pixels, std::size_t& written, std::string& error) {
        deflated.clear();
        if (dataBytes == 0) {
            deflater->begin(deflated);
        }
        deflater->add(pixels.data(), pixels.size(), deflated);
        written = deflated.size();
        return writeData(deflated.data(), deflated.size(), error);
    }

    // The end of the stream; the stream's header too when no frame came.
    bool endStream(std::size_t& written, std::string& error) {
        deflated.clear();
        if (dataBytes == 0) {
            deflater->begin(deflated);
        }
        deflater->end(deflated);
        written = deflated.size();
        return writeData(deflated.data(), deflated.size(), error);
    }
};

SequenceWriter::SequenceWriter(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

SequenceWriter::~SequenceWriter() {
    std::string ignored;
    finish(ignored);
}

std::vector<std::string> SequenceWriter::filesOf(const std::string& path, bool compressed) {
    const std::string name = fileNameOf(path);
    const std::string base =
        endsWith(name, kHeaderSuffix) ? name.substr(0, name.size() - std::strlen(kHeaderSuffix)) : name;
    const std::string folder = path.substr(0, path.size() - name.size());
    return {path, folder + base + (compressed ? ".zraw" : ".raw"), path + ".tmp"};
}

std::string SequenceWriter::nameProblem(const std::string& path, bool compressed) {
    const std::string name = fileNameOf(path);
    if (!endsWith(name, kHeaderSuffix) || name.size() == std::strlen(kHeaderSuffix)) {
        return "a recording's header must be a file ending in .mhd: " + path;
    }
    // The data file's name goes into the header, where MetaIO reads "LIST..." and '%' otherwise.
    if (path.find_first_of("\r\n") != std::string::npos || name.find('%') != std::string::npos ||
        name.rfind("LIST", 0) == 0) {
        return "a recording's file name must not hold a line break or '%', nor begin with LIST: " + path;
    }
    // Every file of it, the temporary one too, must be possible in its folder: found out now, not when
    // the first header is replaced.
    const std::string folder = path.size() > name.size() ? path.substr(0, path.size() - name.size()) : ".";
    const long limit = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    const std::size_t maxName = limit > 0 ? static_cast<std::size_t>(limit) : NAME_MAX;
    for (const std::string& file : filesOf(path, compressed)) {
        if (fileNameOf(file).size() > maxName) {
            return "the name of " + file + " is longer than the " + std::to_string(maxName) +
                   " characters a file name may have there";
        }
    }
    return std::string();
}

std::unique_ptr<SequenceWriter> SequenceWriter::create(const Options& options, std::string& error) {
    const std::string& path = options.path;
    if (std::string problem = nameProblem(path, options.compressed); !problem.empty()) {
        error = std::move(problem);
        return nullptr;
    }
    if (options.width < 1 || options.height < 1 ||
        static_cast<std::size_t>(options.width) > kMaxFrameBytes / static_cast<std::size_t>(options.height)) {
        error = "frames of " + std::to_string(options.width) + " x " + std::to_string(options.height) +
                " pixels: each side must be at least 1 and a frame at most " + Text::sizeText(kMaxFrameBytes);
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->options = options;
    impl->frameBytes = static_cast<std::size_t>(options.width) * static_cast<std::size_t>(options.height);
    const std::vector<std::string> files = filesOf(path, options.compressed);
    impl->dataPath = files[1];
    impl->dataName = fileNameOf(files[1]);
    impl->temporaryPath = files[2];
    if (!impl->addFields(options.fields, error)) {
        return nullptr;
    }
    if (!replaceable(path, error) || !replaceable(impl->dataPath, error) ||
        !replaceable(impl->temporaryPath, error)) {
        return nullptr;
    }
    if (options.compressed) {
        impl->deflater = std::make_unique<ParallelDeflate>(options.compressionThreads);
    }
    // The new header (no frames) replaces the old one before the old data goes: a crash in between leaves
    // an empty recording, not an old header over new data.
    if (!openLockedData(impl->dataPath, impl->data, impl->dataLock, error) || !impl->writeHeader(error)) {
        return nullptr;
    }
    if (::ftruncate(impl->data.get(), 0) != 0) {
        error = "cannot empty " + impl->dataPath + ": " + errorText(errno);
        return nullptr;
    }
    return std::unique_ptr<SequenceWriter>(new SequenceWriter(std::move(impl)));
}

bool SequenceWriter::append(const Frame& frame, std::string& error) {
    Impl& d = *m_impl;
    if (!d.failure.empty()) {
        error = d.failure;
        return false;
    }
    if (d.finished) {
        error = d.options.path + " is finished; no more frames";
        return false;
    }
    if (frame.pixels.size() != d.frameBytes) {
        error = "a frame of " + std::to_string(frame.pixels.size()) + " bytes in a recording of " +
                std::to_string(d.options.width) + " x " + std::to_string(d.options.height) + " pixels";
        return false;
    }
    const std::string prefix = framePrefix(d.frames.load());
    std::string lines;
    for (const auto& [name, value] : frame.fields) {
        if (!checkField(name, value, false, error)) {
            return false;
        }
        lines += prefix + name + " = " + value + "\n";
    }
    if (!d.fitsReaders(lines, error)) {
        return false;
    }
    std::size_t written = 0;
    if (d.options.compressed) {
        if (!d.deflateAndWrite(frame.pixels, written, error)) {
            return false;
        }
    } else if (!d.writeData(frame.pixels.data(), frame.pixels.size(), error)) {
        return false;
    }
    written = d.options.compressed ? written : frame.pixels.size();
    d.dataBytes += written;
    d.frameLines += lines;
    const std::size_t count = d.frames.load() + 1;
    d.frames.store(count);
    // The header holds every frame's fields, so it grows with the recording: at least ten times as long
    // between two as one takes to write, so that rewriting it never takes more than a tenth of the time.
    const std::chrono::duration<double> since = std::chrono::steady_clock::now() - d.lastHeader;
    const double interval = d.options.headerEverySeconds > 0.0
                                ? std::max(d.options.headerEverySeconds,
                                           10.0 * std::chrono::duration<double>(d.lastHeaderCost).count())
                                : 0.0;
    if (count == 1 || since.count() >= interval) {
        std::string reason;
        if (!d.writeHeader(reason)) {
            return d.fail(reason, error);
        }
    }
    return true;
}

bool SequenceWriter::addFields(const Fields& fields, std::string& error) {
    return m_impl->addFields(fields, error);
}

bool SequenceWriter::finish(std::string& error) {
    Impl& d = *m_impl;
    if (d.finished) {
        if (!d.failure.empty()) {
            error = d.failure;
        }
        return d.failure.empty();
    }
    d.finished = true;
    if (d.failure.empty() && d.options.compressed) {
        std::size_t written = 0;
        if (d.endStream(written, error)) {
            d.dataBytes += written;
        }
    }
    if (d.failure.empty()) {
        if (const int closeError = d.data.reset(); closeError != 0) {
            d.fail("cannot write " + d.dataPath + ": " + errorText(closeError), error);
        }
    }
    // After a failure the header still gets every frame that was completed before it, without the part
    // of a frame after them; when not even that header can be written (a full disk), the data goes back
    // to what the last header names.
    if (!d.failure.empty()) {
        d.cutData(d.dataBytes);
    }
    std::string reason;
    if (!d.writeHeader(reason)) {
        d.fail(reason, error);
        d.cutData(d.headerDataBytes);
    }
    d.data.reset();
    d.dataLock.reset();
    if (!d.failure.empty()) {
        error = d.failure;
        return false;
    }
    return true;
}

std::size_t SequenceWriter::frames() const {
    return m_impl->frames.load();
}

std::size_t SequenceWriter::framesInFile() const {
    return m_impl->headerFrames.load();
}

}  // namespace Halvoren::Sequence
