#pragma once
// Deflates a recording's frames on several threads into one zlib stream: each frame is cut into pieces
// that are encoded apart (BlockDeflate: each piece ends on a byte boundary and refers to nothing before
// it), written in order, their Adler-32 checksums combined into the stream's. The caller encodes pieces
// too and returns once the frame is whole: one frame at a time, nothing queued.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace Halvoren::Sequence {

class ParallelDeflate {
public:
    /// `threads` encoding in all, the caller's among them; 0: as many as the machine has cores, up to 4.
    explicit ParallelDeflate(unsigned threads = 0);
    /// Stops the threads.
    ~ParallelDeflate();
    ParallelDeflate(const ParallelDeflate&) = delete;
    ParallelDeflate& operator=(const ParallelDeflate&) = delete;

    /// The start of the stream: its header.
    void begin(std::vector<std::uint8_t>& out);
    /// Appends the bytes, deflated, to `out`, ending on a byte boundary: whatever came before decodes
    /// from the bytes written so far.
    void add(const std::uint8_t* bytes, std::size_t size, std::vector<std::uint8_t>& out);
    /// The end of the stream: a final block and the checksum of every byte added.
    void end(std::vector<std::uint8_t>& out);
    unsigned threads() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace Halvoren::Sequence
