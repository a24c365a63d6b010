#pragma once
// Tracking runs as sequence metafiles: a MetaImage header (.seq.mhd) whose custom fields describe each
// frame ("Seq_Frame0000_FrameNumber = 1"), with the frames' pixels beside it in a .raw file, or a .zraw
// file when zlib-compressed. 3D Slicer's Sequences extension and VTK's MetaImage reader open them.
//
// Written so that a recording cut short (the process killed) still opens: the pixels are appended to the
// data file, and the header, which names only the frames whose pixels are complete, is replaced
// atomically (written beside, then renamed) about once a second. Depends on zlib alone, so that the
// simulated driver (replay) and the tools (recording, export) share it.

#include "text/Expected.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Halvoren::Sequence {

/// Name-value pairs in file order. Names are MetaImage tags: letters, digits and '_' only.
using Fields = std::vector<std::pair<std::string, std::string>>;

/// The value of a field, or nullptr.
const std::string* findField(const Fields& fields, const std::string& name);

/// One frame: its fields, named without the "Seq_FrameNNNN_" prefix ("FrameNumber", "Timestamp",
/// "ToolToTrackerTransform", ...), and its pixels (width * height bytes, row after row).
struct Frame {
    Fields fields;
    std::vector<std::uint8_t> pixels;
};

/// What a reader accepts (SequenceReader::Limits). Outside the class, so that its default member values
/// can serve as a default argument of the class's own functions.
struct SequenceReaderLimits {
    // The header is read to its end, up to this size: more than the writer writes in the longest recording
    // README states (12 hours at 60 frames/s with three markers, about 1.6 KB of header a frame), and
    // little enough that its fields fit in memory (about twice the header's size).
    std::uint64_t maxHeaderBytes = std::uint64_t{4} << 30;
    std::size_t maxFrames = 10'000'000;
    std::size_t maxFrameBytes = 64u << 20;  // width * height
    // A header line: a frame's fiducials (256 at most, 9 numbers each) take some 60 KB.
    std::size_t maxLineBytes = 1u << 20;
};

class SequenceWriter {
public:
    struct Options {
        std::string path;  // the header, ending in ".mhd"; the data file is beside it
        int width = 1;     // of every frame's pixels
        int height = 1;
        bool compressed = false;  // zlib: ".zraw" beside the header, else ".raw"
        // The threads that compress, the writer's own among them; 0: one per core, up to 4.
        unsigned compressionThreads = 0;
        Fields fields;  // fields of the whole recording, written before the frames' fields
        // How often the header is replaced while recording; at least ten times as long as the last one
        // took to write, as the header of a long recording grows large. 0: after every frame.
        double headerEverySeconds = 1.0;
        // What the recording must stay within to be read back: a frame past it is refused and the
        // recording stops there.
        SequenceReaderLimits readers;
    };

    /// Creates the header and the data file (replacing regular files of those names, refusing anything
    /// else), and holds a lock on the data file while it writes: another writer of it is refused. Null
    /// with the reason otherwise.
    static std::unique_ptr<SequenceWriter> create(const Options& options, std::string& error);
    /// The files a recording at `path` is made of: the header, its data file and the header's temporary
    /// sibling (written, then renamed over the header).
    static std::vector<std::string> filesOf(const std::string& path, bool compressed);
    /// Why no recording can be written at `path` for its name alone (not a .mhd, a character the header
    /// cannot hold, a file of it named too long for its folder); empty when its name is fine.
    static std::string nameProblem(const std::string& path, bool compressed);
    /// Finishes, if not done yet.
    ~SequenceWriter();
    SequenceWriter(const SequenceWriter&) = delete;
    SequenceWriter& operator=(const SequenceWriter&) = delete;

    /// One thread. Appends a frame (pixels of another size than the options' are refused); the header is
    /// replaced when it is due. False with the reason once anything failed (a full disk): nothing is
    /// written after that but the last header.
    bool append(const Frame& frame, std::string& error);
    /// Fields of the whole recording known only later (a run's figures at its end): in every header
    /// written from now on, the last one at least. A field of the same name gets the new value. False
    /// with the reason for a name or value that create() would refuse.
    bool addFields(const Fields& fields, std::string& error);
    /// Writes the last header with every frame and closes the files. False with the reason on failure;
    /// the files then hold the frames the last header that could be written names (framesInFile), the
    /// data cut back to them.
    bool finish(std::string& error);
    /// The frames appended.
    std::size_t frames() const;
    /// The frames the last header written names: what the recording opens with.
    std::size_t framesInFile() const;

private:
    struct Impl;
    explicit SequenceWriter(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

class SequenceReader {
public:
    using Limits = SequenceReaderLimits;

    /// Reads the header (a .mhd whose data file is beside it, or a .mha with the data after the header)
    /// and checks it against the data file's size. Bad input with a reason that names the file and the
    /// line otherwise.
    static Expected<std::unique_ptr<SequenceReader>> open(const std::string& path,
                                                          const Limits& limits = Limits());
    ~SequenceReader();
    SequenceReader(const SequenceReader&) = delete;
    SequenceReader& operator=(const SequenceReader&) = delete;

    int width() const;
    int height() const;
    std::size_t frameCount() const;
    /// The recording's own fields (every field that is neither a MetaImage field nor a frame's).
    const Fields& fields() const;
    /// A frame's fields, without the prefix; i < frameCount().
    const Fields& frameFields(std::size_t i) const;
    /// The next frame's pixels, frame after frame from the first (a compressed file is read as one
    /// stream). False with the reason when the data ends early or is corrupt.
    bool readNextPixels(std::vector<std::uint8_t>& pixels, std::string& error);

private:
    struct Impl;
    explicit SequenceReader(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

}  // namespace Halvoren::Sequence
