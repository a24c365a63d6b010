// The recordings' deflate encoder against zlib's inflater: any bytes, cut into pieces at places the input
// chooses (as the recorder cuts a frame among its threads), joined into one zlib stream, must inflate to
// exactly those bytes with the checksum intact.
#include "BlockDeflate.h"

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

std::vector<std::uint8_t> inflateAll(const std::vector<std::uint8_t>& stream, std::size_t expected) {
    std::vector<std::uint8_t> out(expected + 1);
    z_stream z{};
    if (inflateInit(&z) != Z_OK) {
        std::abort();
    }
    z.next_in = const_cast<Bytef*>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int status = inflate(&z, Z_FINISH);
    if (status != Z_STREAM_END || z.avail_in != 0) {
        std::abort();  // not one whole stream, or a bad checksum
    }
    out.resize(z.total_out);
    inflateEnd(&z);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > (1u << 20)) {
        return 0;
    }
    // The first byte sets the piece size, so that pieces of every size, down to one byte, are tried.
    const std::size_t piece = 1 + (static_cast<std::size_t>(data[0]) * 997) % (size + 1);
    const std::uint8_t* bytes = data + 1;
    const std::size_t count = size - 1;
    std::vector<std::uint8_t> stream;
    using namespace Halvoren::Sequence;
    BlockDeflate::zlibHeader(stream);
    for (std::size_t at = 0; at < count; at += piece) {
        BlockDeflate::encode(bytes + at, count - at < piece ? count - at : piece, stream);
    }
    const uLong adler = adler32(adler32(0L, Z_NULL, 0), bytes, static_cast<uInt>(count));
    BlockDeflate::zlibTrailer(static_cast<std::uint32_t>(adler), stream);
    const std::vector<std::uint8_t> back = inflateAll(stream, count);
    if (back.size() != count || (count > 0 && std::vector<std::uint8_t>(bytes, bytes + count) != back)) {
        std::abort();
    }
    return 0;
}
