#pragma once
// A fast deflate encoder for camera images: each call encodes its bytes as deflate blocks of their own
// (literals and runs of one byte value, dynamic Huffman codes per block, or stored where that is smaller)
// and ends them with an empty stored block, so that the output is whole bytes that refer to nothing before
// them. Pieces encoded apart, on different threads, are thereby joined into one zlib stream by writing
// them one after the other between zlibHeader() and zlibTrailer(), their Adler-32 checksums combined.
//
// zlib's own encoder finds matches at any distance, which infrared images (a dark background with a
// little noise, bright spots) barely reward: runs of one value are nearly all there is to find, and
// looking for them alone is several times faster.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Halvoren::Sequence::BlockDeflate {

/// Appends `size` bytes, deflated, to `out`: non-final blocks ending on a byte boundary.
void encode(const std::uint8_t* bytes, std::size_t size, std::vector<std::uint8_t>& out);

/// The two bytes a zlib stream starts with.
void zlibHeader(std::vector<std::uint8_t>& out);
/// An empty final block and the stream's Adler-32 checksum (of all its bytes): the end of the stream.
void zlibTrailer(std::uint32_t adler32, std::vector<std::uint8_t>& out);

}  // namespace Halvoren::Sequence::BlockDeflate
