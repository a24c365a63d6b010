#include "SequenceFile.h"
#include "SequenceFormat.h"
#include "text/Text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace Halvoren::Sequence {

using namespace Format;

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
constexpr std::uint64_t kNoNumber = std::numeric_limits<std::uint64_t>::max();

// Decimal digits only; a number past 64 bits saturates, so that it fails every limit.
bool parseWhole(const std::string& text, std::uint64_t& value) {
    if (text.empty()) {
        return false;
    }
    std::uint64_t result = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        result = result > (kNoNumber - 1 - digit) / 10 ? kNoNumber - 1 : result * 10 + digit;
    }
    value = result;
    return true;
}

bool parseWholeList(const std::string& text, std::vector<std::uint64_t>& values) {
    values.clear();
    std::size_t at = 0;
    for (;;) {
        at = text.find_first_not_of(" \t", at);
        if (at == std::string::npos) {
            return true;
        }
        const std::size_t end = std::min(text.find_first_of(" \t", at), text.size());
        std::uint64_t value = 0;
        if (!parseWhole(text.substr(at, end - at), value)) {
            return false;
        }
        values.push_back(value);
        at = end;
    }
}

// MetaIO reads a boolean by its first letter.
bool parseBool(const std::string& text, bool& value) {
    if (text == "True" || text == "true" || text == "TRUE" || text == "1") {
        value = true;
        return true;
    }
    if (text == "False" || text == "false" || text == "FALSE" || text == "0") {
        value = false;
        return true;
    }
    return false;
}

// A path as messages show it: a data file's name comes from the header, which may hold anything.
std::string shown(const std::string& path) {
    return printable(path, 4096);
}

// Opens a regular file to read, by the rule of every input file: anything else (a FIFO would block, a
// device never ends) is refused at once.
bool openRegular(const std::string& path, Fd& fd, std::uint64_t& size, std::string& error) {
    BoundedFile::Result refused;
    fd = Fd(BoundedFile::openRegular(path, refused));
    struct stat status {};
    if (fd.get() < 0) {
        error = BoundedFile::message(refused, shown(path), 0);
        if (refused.outcome == BoundedFile::Outcome::Folder) {
            error += ", not a regular file";
        }
        return false;
    }
    if (::fstat(fd.get(), &status) != 0) {
        error = "cannot read " + shown(path) + ": " + errorText(errno);
        return false;
    }
    size = static_cast<std::uint64_t>(status.st_size);
    return true;
}

// Reads up to `size` bytes at `offset`; fewer only at the end of the file. -1 with errno on failure.
ssize_t readAt(int fd, void* buffer, std::size_t size, std::uint64_t offset) {
    std::size_t done = 0;
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (done < size) {
        const ssize_t count = ::pread(fd, bytes + done, size - done, static_cast<off_t>(offset + done));
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (count == 0) {
            break;
        }
        done += static_cast<std::size_t>(count);
    }
    return static_cast<ssize_t>(done);
}

// A reason the header is refused, naming the file and the line (when there is one: not 0).
bool headerError(const std::string& path, std::size_t line, const std::string& reason, std::string& error) {
    error = path + (line > 0 ? " line " + std::to_string(line) : std::string()) + ": " + reason;
    return false;
}

// A frame's fields, in the header's order, and the line of the first.
struct FrameFields {
    std::size_t index;
    std::size_t line;
    Fields fields;
};

// The header, line by line, up to ElementDataFile (which MetaImage puts last).
struct Header {
    std::string path;
    std::uint64_t nDims = kNoNumber;
    std::vector<std::uint64_t> dimSize;
    std::size_t dimSizeLine = 0;
    bool compressed = false;
    std::uint64_t compressedSize = kNoNumber;
    std::size_t compressedSizeLine = 0;
    std::string dataFile;
    bool done = false;
    Fields fields;
    // A writer puts each frame's fields together, frame after frame: they are kept so, with no copy.
    // Frames out of order or split are put together once the header is read (mergeFrames).
    std::vector<FrameFields> frames;
    bool framesInOrder = true;

    bool refuse(std::size_t line, const std::string& reason, std::string& error) const {
        return headerError(path, line, reason, error);
    }

    bool parseLine(const std::string& raw, std::size_t line, std::string& error) {
        const std::string text = Text::trimmed(raw);
        if (text.empty()) {
            return true;
        }
        const std::size_t equals = text.find('=');
        if (equals == std::string::npos) {
            return refuse(line, "no '=' (a header line is \"Name = value\")", error);
        }
        const std::string name = Text::trimmed(text.substr(0, equals));
        std::string value = Text::trimmed(text.substr(equals + 1));
        if (!isTagName(name)) {
            return refuse(line, "'" + printable(name) + "' is not a field name (letters, digits and _)",
                          error);
        }
        if (name.rfind(kFramePrefix, 0) == 0) {
            return parseFrameField(name, std::move(value), line, error);
        }
        if (!isMetaImageField(name)) {
            fields.emplace_back(name, std::move(value));
            return true;
        }
        return parseMetaImageField(name, value, line, error);
    }

    bool parseFrameField(const std::string& name, std::string value, std::size_t line, std::string& error) {
        const std::size_t digits = std::strlen(kFramePrefix);
        const std::size_t underscore = name.find('_', digits);
        std::uint64_t number = 0;
        if (underscore == std::string::npos || underscore + 1 == name.size() ||
            !parseWhole(name.substr(digits, underscore - digits), number)) {
            return refuse(line, "'" + printable(name) + "' is not a frame's field (Seq_FrameNNNN_Name)",
                          error);
        }
        // Checked against DimSize once the header is read; a number too large for memory fails there.
        const auto index = static_cast<std::size_t>(std::min<std::uint64_t>(number, kNoNumber >> 1));
        std::string field = name.substr(underscore + 1);
        if (frames.empty() || frames.back().index != index) {
            if (!frames.empty()) {
                frames.back().fields.shrink_to_fit();
                framesInOrder = framesInOrder && frames.back().index < index;
            }
            frames.push_back({index, line, Fields()});
        } else if (findField(frames.back().fields, field) != nullptr) {
            return refuse(line,
                          "frame " + std::to_string(index) + " has a field " + printable(field) + " already",
                          error);
        }
        frames.back().fields.emplace_back(std::move(field), std::move(value));
        return true;
    }

    bool parseMetaImageField(const std::string& name, const std::string& value, std::size_t line,
                             std::string& error) {
        bool flag = false;
        if (name == "ObjectType" && value != "Image") {
            return refuse(line, "ObjectType " + printable(value) + " is not an image", error);
        }
        if (name == "NDims") {
            if (!parseWhole(value, nDims) || (nDims != 2 && nDims != 3)) {
                return refuse(line, "NDims must be 3 (or 2 for a single frame)", error);
            }
        } else if (name == "DimSize") {
            dimSizeLine = line;
            const std::string count = nDims == 2 ? "two" : "three";
            if (!parseWholeList(value, dimSize) || dimSize.size() != (nDims == 2 ? 2u : 3u)) {
                return refuse(line, "DimSize needs " + count + " whole numbers", error);
            }
        } else if (name == "ElementType" && value != "MET_UCHAR") {
            return refuse(line, "ElementType " + printable(value) + " is not supported (MET_UCHAR only)",
                          error);
        } else if (name == "ElementNumberOfChannels" && value != "1") {
            return refuse(line, "ElementNumberOfChannels must be 1", error);
        } else if (name == "BinaryData" && (!parseBool(value, flag) || !flag)) {
            return refuse(line, "BinaryData must be True", error);
        } else if (name == "HeaderSize" && value != "0") {
            return refuse(line, "HeaderSize " + printable(value) + " is not supported", error);
        } else if (name == "CompressedData") {
            if (!parseBool(value, compressed)) {
                return refuse(line, "CompressedData must be True or False", error);
            }
        } else if (name == "CompressedDataSize") {
            compressedSizeLine = line;
            if (!parseWhole(value, compressedSize)) {
                return refuse(line, "CompressedDataSize needs a whole number", error);
            }
        } else if (name == "ElementDataFile") {
            // MetaIO reads "LIST ..." as a list of files and a '%' as a numbered series of them.
            if (value.empty() || value.rfind("LIST", 0) == 0 || value.find('%') != std::string::npos) {
                return refuse(line, "ElementDataFile must name one data file or be LOCAL", error);
            }
            dataFile = value;
            done = true;
        }
        return true;
    }
};

// Reads the header a chunk at a time up to its limit, parsing each line as it is complete; the bytes after
// ElementDataFile (the data of a .mha) are not read.
class HeaderReader {
public:
    HeaderReader(int fd, const SequenceReaderLimits& limits)
        : m_fd(fd), m_maxBytes(limits.maxHeaderBytes), m_maxLineBytes(limits.maxLineBytes) {}

    // `bytes`: the header's size, where the data of a .mha begin.
    bool read(Header& header, std::uint64_t& bytes, std::string& error) {
        while (!header.done) {
            if (!parseLines(header, error)) {
                return false;
            }
            // At the end of the file the last line must finish the header; before it, read on.
            if (!header.done && !(m_atEnd ? parseLastLine(header, error) : readChunk(header.path, error))) {
                return false;
            }
        }
        bytes = m_consumed;
        return true;
    }

private:
    // The complete lines held, up to ElementDataFile.
    bool parseLines(Header& header, std::string& error) {
        while (!header.done) {
            const std::size_t end = m_buffer.find('\n', m_scanned);
            if (end == std::string::npos) {
                return true;
            }
            ++m_line;
            if (!lineFits(header.path, m_line, end - m_start, error) ||
                !header.parseLine(m_buffer.substr(m_start, end - m_start), m_line, error)) {
                return false;
            }
            m_consumed += end + 1 - m_start;
            m_start = m_scanned = end + 1;
        }
        return true;
    }

    // At the end of the file: a last line without a line break, which must be ElementDataFile if no line
    // before it was.
    bool parseLastLine(Header& header, std::string& error) {
        if (m_start < m_buffer.size()) {
            ++m_line;
            if (!lineFits(header.path, m_line, m_buffer.size() - m_start, error) ||
                !header.parseLine(m_buffer.substr(m_start), m_line, error)) {
                return false;
            }
            m_consumed += m_buffer.size() - m_start;
        }
        if (!header.done) {
            error = header.path + ": no ElementDataFile line (the header ends at line " +
                    std::to_string(m_line) + ")";
            return false;
        }
        return true;
    }

    // No line is longer than any field could be: a file that is not a header is refused while it is read.
    bool lineFits(const std::string& path, std::size_t line, std::size_t bytes, std::string& error) const {
        if (bytes <= m_maxLineBytes) {
            return true;
        }
        return headerError(path, line,
                           "the line is longer than " + Text::sizeText(m_maxLineBytes) + " (not a header?)",
                           error);
    }

    // Drops the lines parsed and reads on, at most one byte past the limit, so that a header over it is seen.
    bool readChunk(const std::string& path, std::string& error) {
        m_buffer.erase(0, m_start);
        m_start = 0;
        m_scanned = m_buffer.size();
        const std::uint64_t held = m_consumed + m_buffer.size();
        if (!lineFits(path, m_line + 1, m_buffer.size(), error)) {
            return false;
        }
        if (held > m_maxBytes) {
            error = path + ": the header is larger than " + Text::sizeText(m_maxBytes);
            return false;
        }
        char chunk[kReadChunk];
        ssize_t count = 0;
        do {
            count = ::read(
                m_fd, chunk,
                static_cast<std::size_t>(std::min<std::uint64_t>(sizeof(chunk), m_maxBytes - held + 1)));
        } while (count < 0 && errno == EINTR);
        if (count < 0) {
            error = "cannot read " + path + ": " + errorText(errno);
            return false;
        }
        m_atEnd = count == 0;
        m_buffer.append(chunk, static_cast<std::size_t>(count));
        return true;
    }

    int m_fd;
    std::uint64_t m_maxBytes;
    std::size_t m_maxLineBytes;
    std::string m_buffer;
    std::uint64_t m_consumed =
        0;                    // bytes of the lines parsed, which `m_buffer` no longer holds from `m_start` on
    std::size_t m_start = 0;  // where the next line begins in `m_buffer`
    std::size_t m_scanned = 0;  // where to look for its end
    std::size_t m_line = 0;
    bool m_atEnd = false;
};

struct FrameSize {
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    std::uint64_t frames = 0;
};

// The frames' size and number as NDims and DimSize give them, within the limits.
bool frameSizeOf(const Header& header, const SequenceReaderLimits& limits, FrameSize& size,
                 std::string& error) {
    const std::string& path = header.path;
    if (header.nDims == kNoNumber) {
        return headerError(path, 0, "no NDims", error);
    }
    if (header.dimSize.empty()) {
        return headerError(path, 0, "no DimSize", error);
    }
    if (header.dimSize.size() != header.nDims) {
        return headerError(
            path, header.dimSizeLine,
            std::string("DimSize needs ") + (header.nDims == 2 ? "two" : "three") + " whole numbers", error);
    }
    const std::uint64_t width = header.dimSize[0];
    const std::uint64_t height = header.dimSize[1];
    const std::uint64_t frames = header.nDims == 2 ? 1 : header.dimSize[2];
    const std::uint64_t maxSide =
        std::min<std::uint64_t>(limits.maxFrameBytes, std::numeric_limits<int>::max());
    if (width == 0 || height == 0) {
        return headerError(path, header.dimSizeLine, "DimSize has a frame of no pixels", error);
    }
    if (width > maxSide || height > maxSide || width > limits.maxFrameBytes / height) {
        return headerError(path, header.dimSizeLine,
                           "frames of " + std::to_string(width) + " x " + std::to_string(height) +
                               " pixels are larger than " + Text::sizeText(limits.maxFrameBytes),
                           error);
    }
    if (frames > limits.maxFrames) {
        return headerError(
            path, header.dimSizeLine,
            std::to_string(frames) + " frames are more than " + std::to_string(limits.maxFrames), error);
    }
    size = {width, height, frames};
    return true;
}

// Every frame's field belongs to a frame DimSize has.
bool frameFieldsFit(const Header& header, std::uint64_t frames, std::string& error) {
    for (const FrameFields& frame : header.frames) {
        if (frame.index >= frames) {
            return headerError(header.path, frame.line,
                               "a field of frame " + std::to_string(frame.index) + ", but DimSize has " +
                                   std::to_string(frames) + " frames",
                               error);
        }
    }
    return true;
}

// Puts the fields of each frame together, by frame index, when the header had them out of order or split.
bool mergeFrames(Header& header, std::string& error) {
    if (header.framesInOrder) {
        return true;
    }
    auto& frames = header.frames;
    std::stable_sort(frames.begin(), frames.end(),
                     [](const FrameFields& a, const FrameFields& b) { return a.index < b.index; });
    std::size_t kept = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (kept > 0 && frames[kept - 1].index == frames[i].index) {
            Fields& into = frames[kept - 1].fields;
            for (auto& field : frames[i].fields) {
                if (findField(into, field.first) != nullptr) {
                    return headerError(header.path, frames[i].line,
                                       "frame " + std::to_string(frames[i].index) + " has a field " +
                                           printable(field.first) + " already",
                                       error);
                }
                into.push_back(std::move(field));
            }
        } else {
            if (kept != i) {
                frames[kept] = std::move(frames[i]);
            }
            ++kept;
        }
    }
    frames.resize(kept);
    return true;
}

}  // namespace

struct SequenceReader::Impl {
    std::string path;
    std::string dataPath;
    int width = 0;
    int height = 0;
    std::size_t frameBytes = 0;
    std::size_t frameCount = 0;
    Fields fields;
    std::vector<FrameFields> frames;  // by frame index; frames without fields are absent
    Fd data;
    std::uint64_t dataOffset = 0;
    std::uint64_t dataSize = 0;  // the bytes of the data the header covers (compressed or not)
    bool compressed = false;
    z_stream inflater{};
    bool inflaterReady = false;
    bool streamEnded = false;
    std::vector<unsigned char> input;
    std::uint64_t inputRead = 0;  // bytes of the data read so far
    std::size_t next = 0;
    std::string failure;

    ~Impl() {
        if (inflaterReady) {
            inflateEnd(&inflater);
        }
    }

    // The data: after the header in its own file (LOCAL), or in the file it names, beside it unless the
    // name is absolute. `file` is the header's; `available`, the bytes of data there are.
    bool openData(const std::string& dataFile, Fd& file, std::uint64_t fileSize, std::uint64_t headerBytes,
                  std::uint64_t& available, std::string& error) {
        if (dataFile == "LOCAL") {
            dataPath = path;
            data = std::move(file);
            dataOffset = headerBytes;
            available = fileSize > headerBytes ? fileSize - headerBytes : 0;
            return true;
        }
        const std::size_t slash = path.rfind('/');
        dataPath = dataFile[0] == '/' || slash == std::string::npos ? dataFile
                                                                    : path.substr(0, slash + 1) + dataFile;
        if (!openRegular(dataPath, data, available, error)) {
            error = path + ": " + error;
            return false;
        }
        return true;
    }

    // Compressed data: CompressedDataSize bytes of it (all there are without it), inflated as frames are
    // read.
    bool startInflating(const Header& header, std::uint64_t available, std::string& error) {
        dataSize = header.compressedSize == kNoNumber ? available : header.compressedSize;
        if (available < dataSize) {
            return headerError(path, header.compressedSizeLine,
                               shown(dataPath) + " holds " + std::to_string(available) +
                                   " bytes of data, fewer than CompressedDataSize " +
                                   std::to_string(dataSize),
                               error);
        }
        if (inflateInit2(&inflater, MAX_WBITS + 32) != Z_OK) {
            error = path + ": cannot start decompressing";
            return false;
        }
        inflaterReady = true;
        input.resize(kReadChunk);
        return true;
    }

    // Raw data: at least every frame's bytes.
    bool checkRawSize(std::uint64_t available, std::string& error) {
        const std::uint64_t frames = frameCount;
        // frameBytes and frames are within the limits: the product may still pass 64 bits with odd limits.
        const std::uint64_t needed =
            frameBytes == 0 || frames <= kNoNumber / frameBytes ? frames * frameBytes : kNoNumber;
        if (available < needed) {
            return headerError(path, 0,
                               shown(dataPath) + " holds " + std::to_string(available) +
                                   " bytes of data, fewer than the " + std::to_string(frames) +
                                   " frames of " + std::to_string(width) + " x " + std::to_string(height) +
                                   " pixels the header names",
                               error);
        }
        dataSize = needed;
        return true;
    }

    bool fail(const std::string& reason, std::string& error) {
        failure = reason;
        error = reason;
        return false;
    }

    bool readRaw(std::vector<std::uint8_t>& pixels, std::string& error) {
        pixels.resize(frameBytes);
        const ssize_t count = readAt(data.get(), pixels.data(), frameBytes, dataOffset + inputRead);
        if (count < 0) {
            return fail("cannot read " + shown(dataPath) + ": " + errorText(errno), error);
        }
        if (static_cast<std::size_t>(count) < frameBytes) {
            return fail(shown(dataPath) + " ends in frame " + std::to_string(next), error);
        }
        inputRead += frameBytes;
        return true;
    }

    // Inflates one frame's bytes, reading the compressed data a chunk at a time.
    bool readCompressed(std::vector<std::uint8_t>& pixels, std::string& error) {
        pixels.resize(frameBytes);
        inflater.next_out = pixels.data();
        inflater.avail_out = static_cast<uInt>(frameBytes);
        const std::string where = shown(dataPath) + ", frame " + std::to_string(next);
        while (inflater.avail_out > 0) {
            if (streamEnded) {
                return fail(where + ": the compressed data ends before the frames the header names", error);
            }
            if (inflater.avail_in == 0) {
                const std::uint64_t left = dataSize - inputRead;
                if (left == 0) {
                    return fail(where + ": the compressed data ends early", error);
                }
                const std::size_t size =
                    static_cast<std::size_t>(std::min<std::uint64_t>(left, input.size()));
                const ssize_t count = readAt(data.get(), input.data(), size, dataOffset + inputRead);
                if (count < 0) {
                    return fail("cannot read " + shown(dataPath) + ": " + errorText(errno), error);
                }
                if (count == 0) {
                    return fail(where + ": the file ends early", error);
                }
                inputRead += static_cast<std::uint64_t>(count);
                inflater.next_in = input.data();
                inflater.avail_in = static_cast<uInt>(count);
            }
            const int result = inflate(&inflater, Z_NO_FLUSH);
            if (result == Z_STREAM_END) {
                streamEnded = true;
            } else if (result != Z_OK && !(result == Z_BUF_ERROR && inflater.avail_in == 0)) {
                const std::string detail =
                    inflater.msg != nullptr ? inflater.msg : "error " + std::to_string(result);
                return fail(where + ": the compressed data is corrupt (" + detail + ")", error);
            }
        }
        return true;
    }
};

SequenceReader::SequenceReader(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

SequenceReader::~SequenceReader() = default;

Expected<std::unique_ptr<SequenceReader>> SequenceReader::open(const std::string& path,
                                                               const Limits& limits) {
    std::string error;
    const auto refused = [&error] { return makeError(ErrorKind::BadInput, error); };
    Fd file;
    std::uint64_t fileSize = 0;
    if (!openRegular(path, file, fileSize, error)) {
        return refused();
    }
    Header header;
    header.path = path;
    std::uint64_t headerBytes = 0;
    FrameSize size;
    if (!HeaderReader(file.get(), limits).read(header, headerBytes, error) ||
        !frameSizeOf(header, limits, size, error) || !frameFieldsFit(header, size.frames, error) ||
        !mergeFrames(header, error)) {
        return refused();
    }

    auto impl = std::make_unique<Impl>();
    Impl& d = *impl;
    d.path = path;
    d.width = static_cast<int>(size.width);
    d.height = static_cast<int>(size.height);
    d.frameBytes = static_cast<std::size_t>(size.width * size.height);
    d.frameCount = static_cast<std::size_t>(size.frames);
    d.fields = std::move(header.fields);
    d.frames = std::move(header.frames);
    d.compressed = header.compressed;
    std::uint64_t available = 0;
    if (!d.openData(header.dataFile, file, fileSize, headerBytes, available, error) ||
        !(d.compressed ? d.startInflating(header, available, error) : d.checkRawSize(available, error))) {
        return refused();
    }
    return Expected<std::unique_ptr<SequenceReader>>(
        std::unique_ptr<SequenceReader>(new SequenceReader(std::move(impl))));
}

int SequenceReader::width() const {
    return m_impl->width;
}

int SequenceReader::height() const {
    return m_impl->height;
}

std::size_t SequenceReader::frameCount() const {
    return m_impl->frameCount;
}

const Fields& SequenceReader::fields() const {
    return m_impl->fields;
}

const Fields& SequenceReader::frameFields(std::size_t i) const {
    static const Fields none;
    const auto& all = m_impl->frames;
    const auto found =
        std::lower_bound(all.begin(), all.end(), i,
                         [](const FrameFields& frame, std::size_t index) { return frame.index < index; });
    return found != all.end() && found->index == i ? found->fields : none;
}

bool SequenceReader::readNextPixels(std::vector<std::uint8_t>& pixels, std::string& error) {
    Impl& d = *m_impl;
    if (!d.failure.empty()) {
        error = d.failure;
        return false;
    }
    if (d.next >= d.frameCount) {
        error = d.path + " names " + std::to_string(d.frameCount) + " frames; all are read";
        return false;
    }
    if (!(d.compressed ? d.readCompressed(pixels, error) : d.readRaw(pixels, error))) {
        return false;
    }
    ++d.next;
    return true;
}

}  // namespace Halvoren::Sequence
