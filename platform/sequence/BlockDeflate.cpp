#include "BlockDeflate.h"

#include <algorithm>
#include <array>
#include <queue>
#include <utility>

namespace Halvoren::Sequence::BlockDeflate {

namespace {

constexpr int kMaxCodeBits = 15;
// One Huffman code per block, so that the codes follow the image's regions; as many bytes as a stored
// block holds, for the blocks that do not shrink.
constexpr std::size_t kBlockBytes = 65535;
constexpr int kLiteralSymbols = 286;
constexpr int kEndOfBlock = 256;
constexpr int kLengthSymbols = 29;
constexpr std::size_t kMinRun = 3;
constexpr std::size_t kMaxRun = 258;
// The order the code length code's lengths are written in.
constexpr std::array<int, 19> kCodeLengthOrder = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                  11, 4,  12, 3, 13, 2, 14, 1, 15};
constexpr std::array<std::uint16_t, kLengthSymbols> kLengthBase = {
    3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
    31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<std::uint8_t, kLengthSymbols> kLengthExtraBits = {
    0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};

// A run's length symbol and the value of its extra bits, by length.
struct LengthTable {
    std::array<std::uint16_t, kMaxRun + 1> symbol{};
    std::array<std::uint16_t, kMaxRun + 1> extra{};
};

const LengthTable& lengthTable() {
    static const LengthTable table = [] {
        LengthTable t;
        for (int s = 0; s < kLengthSymbols; ++s) {
            const int last = s + 1 < kLengthSymbols ? kLengthBase[s + 1] - 1 : kLengthBase[s];
            for (int length = kLengthBase[s]; length <= last; ++length) {
                t.symbol[length] = static_cast<std::uint16_t>(257 + s);
                t.extra[length] = static_cast<std::uint16_t>(length - kLengthBase[s]);
            }
        }
        return t;
    }();
    return table;
}

// Bits are packed from the least significant end of each byte, as deflate reads them, into room the
// caller made.
class BitWriter {
public:
    explicit BitWriter(std::uint8_t* next) : m_next(next) {}
    void put(std::uint32_t bits, int count) {
        m_buffer |= static_cast<std::uint64_t>(bits) << m_count;
        m_count += count;
        if (m_count >= 32) {
            for (int k = 0; k < 4; ++k) {
                m_next[k] = static_cast<std::uint8_t>(m_buffer >> (8 * k));
            }
            m_next += 4;
            m_buffer >>= 32;
            m_count -= 32;
        }
    }
    void align() {
        while (m_count > 0) {
            *m_next++ = static_cast<std::uint8_t>(m_buffer);
            m_buffer >>= 8;
            m_count = std::max(0, m_count - 8);
        }
        m_buffer = 0;
    }
    // After align() only.
    void bytes(const std::uint8_t* bytes, std::size_t size) {
        std::copy(bytes, bytes + size, m_next);
        m_next += size;
    }
    std::uint8_t* next() const { return m_next; }

private:
    std::uint8_t* m_next;
    std::uint64_t m_buffer = 0;
    int m_count = 0;
};

std::uint32_t reversed(std::uint32_t code, int bits) {
    std::uint32_t result = 0;
    for (int k = 0; k < bits; ++k) {
        result = (result << 1) | ((code >> k) & 1u);
    }
    return result;
}

// Huffman code lengths of at most kMaxCodeBits for the frequencies: when the code gets too long, the
// frequencies are flattened and it is built again. Two symbols at least get a code, so that it is complete.
void codeLengths(const std::array<std::uint32_t, kLiteralSymbols>& frequencies,
                 std::array<std::uint8_t, kLiteralSymbols>& lengths) {
    std::array<std::uint64_t, kLiteralSymbols> weights{};
    std::copy(frequencies.begin(), frequencies.end(), weights.begin());
    for (int s = 0; std::count_if(weights.begin(), weights.end(), [](auto w) { return w != 0; }) < 2; ++s) {
        weights[static_cast<std::size_t>(s)] =
            std::max<std::uint64_t>(weights[static_cast<std::size_t>(s)], 1);
    }
    for (;;) {
        // Nodes: the symbols, then the inner nodes as they are made; parent[] of each.
        std::vector<int> parent(2 * kLiteralSymbols, -1);
        using Entry = std::pair<std::uint64_t, int>;
        std::priority_queue<Entry, std::vector<Entry>, std::greater<>> queue;
        for (int s = 0; s < kLiteralSymbols; ++s) {
            if (weights[static_cast<std::size_t>(s)] != 0) {
                queue.emplace(weights[static_cast<std::size_t>(s)], s);
            }
        }
        int next = kLiteralSymbols;
        while (queue.size() > 1) {
            const Entry a = queue.top();
            queue.pop();
            const Entry b = queue.top();
            queue.pop();
            parent[static_cast<std::size_t>(a.second)] = next;
            parent[static_cast<std::size_t>(b.second)] = next;
            queue.emplace(a.first + b.first, next++);
        }
        std::vector<int> depth(static_cast<std::size_t>(next), 0);
        for (int node = next - 2; node >= 0; --node) {  // parents come after their children
            const int up = parent[static_cast<std::size_t>(node)];
            depth[static_cast<std::size_t>(node)] = up < 0 ? 0 : depth[static_cast<std::size_t>(up)] + 1;
        }
        int longest = 0;
        for (int s = 0; s < kLiteralSymbols; ++s) {
            const int d = weights[static_cast<std::size_t>(s)] != 0 ? depth[static_cast<std::size_t>(s)] : 0;
            lengths[static_cast<std::size_t>(s)] = static_cast<std::uint8_t>(d);
            longest = std::max(longest, d);
        }
        if (longest <= kMaxCodeBits) {
            return;
        }
        for (std::uint64_t& w : weights) {
            w = w != 0 ? (w + 1) / 2 : 0;
        }
    }
}

// The canonical code of each symbol, bit-reversed for the writer.
void canonicalCodes(const std::array<std::uint8_t, kLiteralSymbols>& lengths,
                    std::array<std::uint16_t, kLiteralSymbols>& codes) {
    std::array<int, kMaxCodeBits + 1> count{};
    for (const std::uint8_t length : lengths) {
        ++count[length];
    }
    count[0] = 0;
    std::array<std::uint32_t, kMaxCodeBits + 1> next{};
    std::uint32_t code = 0;
    for (int bits = 1; bits <= kMaxCodeBits; ++bits) {
        code = (code + static_cast<std::uint32_t>(count[static_cast<std::size_t>(bits - 1)])) << 1;
        next[static_cast<std::size_t>(bits)] = code;
    }
    for (std::size_t s = 0; s < lengths.size(); ++s) {
        if (lengths[s] != 0) {
            codes[s] = static_cast<std::uint16_t>(reversed(next[lengths[s]]++, lengths[s]));
        }
    }
}

// Literals, and runs of the byte before (distance 1) as 256 + their length; counts the symbols. Returns
// the tokens' count. A run is looked for where the next two bytes repeat the one before, in one test: in a
// noisy background, a branch that is seldom taken.
std::size_t tokenize(const std::uint8_t* bytes, std::size_t size, std::uint16_t* tokens,
                     std::array<std::uint32_t, kLiteralSymbols>& frequencies) {
    const LengthTable& table = lengthTable();
    std::size_t count = 0;
    std::size_t i = 0;
    const auto literal = [&](std::uint8_t byte) {
        tokens[count++] = byte;
        ++frequencies[byte];
    };
    if (size > 0) {
        literal(bytes[i++]);
    }
    while (i + 1 < size) {
        const std::uint8_t before = bytes[i - 1];
        if (((bytes[i] ^ before) | (bytes[i + 1] ^ before)) == 0) {
            const std::size_t limit = std::min(kMaxRun, size - i);
            std::size_t run = kMinRun - 1;
            while (run < limit && bytes[i + run] == before) {
                ++run;
            }
            if (run >= kMinRun) {
                tokens[count++] = static_cast<std::uint16_t>(256 + run);
                ++frequencies[table.symbol[run]];
                i += run;
                continue;
            }
        }
        literal(bytes[i++]);
    }
    while (i < size) {
        literal(bytes[i++]);
    }
    frequencies[kEndOfBlock] = 1;
    return count;
}

void storedBlock(const std::uint8_t* bytes, std::size_t size, BitWriter& writer) {
    writer.put(0, 3);  // not final, stored
    writer.align();
    const auto length = static_cast<std::uint16_t>(size);
    const auto complement = static_cast<std::uint16_t>(~length);
    const std::uint8_t lengths[4] = {
        static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
        static_cast<std::uint8_t>(complement), static_cast<std::uint8_t>(complement >> 8)};
    writer.bytes(lengths, sizeof(lengths));
    writer.bytes(bytes, size);
}

// The block's header: its literal/length code lengths through a code length code that gives each of the
// lengths 0 to 15 four bits, and a distance code of two one-bit codes, of which distance 1 is used.
void dynamicHeader(const std::array<std::uint8_t, kLiteralSymbols>& lengths, int literals,
                   BitWriter& writer) {
    writer.put(0, 1);  // not final
    writer.put(2, 2);  // dynamic Huffman codes
    writer.put(static_cast<std::uint32_t>(literals - 257), 5);
    writer.put(2 - 1, 5);
    writer.put(static_cast<std::uint32_t>(kCodeLengthOrder.size() - 4), 4);
    for (const int symbol : kCodeLengthOrder) {
        writer.put(symbol < 16 ? 4 : 0, 3);
    }
    for (int s = 0; s < literals; ++s) {
        writer.put(reversed(lengths[static_cast<std::size_t>(s)], 4), 4);
    }
    writer.put(reversed(1, 4), 4);
    writer.put(reversed(1, 4), 4);
}

void encodeBlock(const std::uint8_t* bytes, std::size_t size, std::uint16_t* tokens, BitWriter& writer) {
    std::array<std::uint32_t, kLiteralSymbols> frequencies{};
    const std::size_t tokenCount = tokenize(bytes, size, tokens, frequencies);
    std::array<std::uint8_t, kLiteralSymbols> lengths{};
    codeLengths(frequencies, lengths);
    int literals = kLiteralSymbols;
    while (literals > 257 && lengths[static_cast<std::size_t>(literals - 1)] == 0) {
        --literals;
    }
    std::uint64_t bits = 3 + 5 + 5 + 4 + 3 * kCodeLengthOrder.size() + 4 * (literals + 2);
    for (int s = 0; s < kLiteralSymbols; ++s) {
        const std::uint64_t each =
            lengths[static_cast<std::size_t>(s)] +
            (s > kEndOfBlock ? kLengthExtraBits[static_cast<std::size_t>(s - 257)] + 1 : 0);
        bits += frequencies[static_cast<std::size_t>(s)] * each;
    }
    if (bits / 8 >= size + 5) {
        storedBlock(bytes, size, writer);
        return;
    }
    std::array<std::uint16_t, kLiteralSymbols> codes{};
    canonicalCodes(lengths, codes);
    dynamicHeader(lengths, literals, writer);
    const LengthTable& table = lengthTable();
    for (std::size_t t = 0; t < tokenCount; ++t) {
        const std::uint16_t token = tokens[t];
        if (token < 256) {
            writer.put(codes[token], lengths[token]);
        } else {
            const std::size_t run = token - 256u;
            const std::uint16_t symbol = table.symbol[run];
            writer.put(codes[symbol], lengths[symbol]);
            writer.put(table.extra[run], kLengthExtraBits[symbol - 257u]);
            writer.put(0, 1);  // distance 1
        }
    }
    writer.put(codes[kEndOfBlock], lengths[kEndOfBlock]);
}

}  // namespace

void encode(const std::uint8_t* bytes, std::size_t size, std::vector<std::uint8_t>& out) {
    // A block is stored when it would not shrink: none takes more than its bytes, its stored block's five
    // and the bits of the block before.
    const std::size_t blocks = (size + kBlockBytes - 1) / kBlockBytes;
    const std::size_t start = out.size();
    out.resize(start + size + 16 * (blocks + 1));
    BitWriter writer(out.data() + start);
    std::vector<std::uint16_t> tokens(std::min(size, kBlockBytes));
    for (std::size_t offset = 0; offset < size; offset += kBlockBytes) {
        encodeBlock(bytes + offset, std::min(kBlockBytes, size - offset), tokens.data(), writer);
    }
    // An empty stored block: the output ends on a byte boundary.
    writer.put(0, 3);
    writer.align();
    const std::uint8_t empty[4] = {0x00, 0x00, 0xff, 0xff};
    writer.bytes(empty, sizeof(empty));
    out.resize(static_cast<std::size_t>(writer.next() - out.data()));
}

void zlibHeader(std::vector<std::uint8_t>& out) {
    // Deflate with a 32 KB window, no dictionary; the check bits make the pair a multiple of 31.
    out.insert(out.end(), {0x78, 0x01});
}

void zlibTrailer(std::uint32_t adler32, std::vector<std::uint8_t>& out) {
    // A final block of fixed codes holding only the end of block (seven zero bits), then the checksum,
    // most significant byte first.
    out.insert(out.end(), {0x03, 0x00, static_cast<std::uint8_t>(adler32 >> 24),
                           static_cast<std::uint8_t>(adler32 >> 16), static_cast<std::uint8_t>(adler32 >> 8),
                           static_cast<std::uint8_t>(adler32)});
}

}  // namespace Halvoren::Sequence::BlockDeflate
