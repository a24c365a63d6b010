#include "sequence/RecordingLock.h"
#include "sequence/SequenceFile.h"
#include "sequence/TrackingFields.h"
#include "support/Readers.h"
#include "support/TempFiles.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>
#include <QFileInfo>

#include <algorithm>

#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>

using namespace Halvoren::Sequence;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// Pixels that differ from frame to frame and within one.
Frame makeFrame(std::size_t index, std::size_t bytes, Fields fields = {}) {
    Frame frame;
    frame.fields = std::move(fields);
    for (std::size_t i = 0; i < bytes; ++i) {
        frame.pixels.push_back(static_cast<std::uint8_t>(index * 31 + i * 7));
    }
    return frame;
}

std::unique_ptr<SequenceWriter> create(const std::string& path, int width, int height, bool compressed,
                                       double headerEverySeconds = 1.0, Fields fields = {}) {
    SequenceWriter::Options options;
    options.path = path;
    options.width = width;
    options.height = height;
    options.compressed = compressed;
    options.fields = std::move(fields);
    options.headerEverySeconds = headerEverySeconds;
    std::string error;
    auto writer = SequenceWriter::create(options, error);
    EXPECT_TRUE(writer) << error;
    return writer;
}

// Reads every frame the header names and checks them against the frames written.
void expectFrames(const std::string& path, std::size_t count, std::size_t bytes) {
    std::string error;
    const auto reader = TestSupport::openReader(path, error);
    ASSERT_TRUE(reader) << error;
    ASSERT_EQ(reader->frameCount(), count);
    std::vector<std::uint8_t> pixels;
    for (std::size_t i = 0; i < count; ++i) {
        ASSERT_TRUE(reader->readNextPixels(pixels, error)) << error;
        EXPECT_EQ(pixels, makeFrame(i, bytes).pixels) << "frame " << i;
    }
}

void expectRefused(const std::string& path, const std::string& expected,
                   const SequenceReader::Limits& limits = {}) {
    const auto refused = SequenceReader::open(path, limits);
    ASSERT_FALSE(refused) << path;
    EXPECT_EQ(refused.error().kind, Halvoren::ErrorKind::BadInput);
    EXPECT_NE(refused.error().message.find(expected), std::string::npos) << refused.error().message;
}

std::string header(const std::string& dimSize, const std::string& dataFile, const std::string& extra = {}) {
    return "ObjectType = Image\nNDims = 3\nBinaryData = True\nCompressedData = False\nDimSize = " + dimSize +
           "\nElementType = MET_UCHAR\n" + extra + "ElementDataFile = " + dataFile + "\n";
}

}  // namespace

TEST(SequenceFile, RoundTripsFieldsAndPixels) {
    for (const bool compressed : {false, true}) {
        SCOPED_TRACE(compressed ? "compressed" : "raw");
        TestSupport::TempFiles files;
        const std::string path = files.path("my run.seq.mhd");  // a space in the data file's name too
        const Fields fields = {{"ToolToTrackerTransformStatus", "OK"}, {"Camera", "fusionTrack 500 (sn 42)"}};
        auto writer = create(path, 3, 2, compressed, 1.0, fields);
        ASSERT_TRUE(writer);
        std::string error;
        ASSERT_TRUE(writer->append(makeFrame(0, 6, {{"FrameNumber", "1"}, {"Timestamp", "0.5"}}), error))
            << error;
        ASSERT_TRUE(writer->append(makeFrame(1, 6), error)) << error;
        ASSERT_TRUE(writer->append(
            makeFrame(2, 6, {{"ToolToTrackerTransform", "1 0 0 2 0 1 0 3 0 0 1 4 0 0 0 1"}}), error));
        EXPECT_FALSE(writer->append(makeFrame(3, 5), error));
        EXPECT_NE(error.find("5 bytes"), std::string::npos) << error;
        EXPECT_EQ(writer->frames(), 3u);
        EXPECT_FALSE(writer->addFields({{"ElementType", "MET_FLOAT"}}, error));
        ASSERT_TRUE(writer->addFields({{"Halvoren_Health_Missed", "2"}, {"Camera", "replaced"}}, error))
            << error;
        ASSERT_TRUE(writer->finish(error)) << error;

        const std::string text = readFile(path);
        const std::string dataName = compressed ? "my run.seq.zraw" : "my run.seq.raw";
        EXPECT_NE(text.find("DimSize = 3 2 3\n"), std::string::npos) << text;
        EXPECT_NE(text.find("Seq_Frame0002_ToolToTrackerTransform = 1 0 0 2"), std::string::npos) << text;
        EXPECT_EQ(text.substr(text.rfind('\n', text.size() - 2) + 1), "ElementDataFile = " + dataName + "\n");
        EXPECT_EQ(compressed,
                  text.find("CompressedDataSize = " +
                            std::to_string(readFile(files.path(dataName)).size())) != std::string::npos);

        const auto reader = TestSupport::openReader(path, error);
        ASSERT_TRUE(reader) << error;
        EXPECT_EQ(reader->width(), 3);
        EXPECT_EQ(reader->height(), 2);
        EXPECT_EQ(reader->fields(), (Fields{{"ToolToTrackerTransformStatus", "OK"},
                                            {"Camera", "replaced"},
                                            {"Halvoren_Health_Missed", "2"}}));
        EXPECT_EQ(reader->frameFields(0), (Fields{{"FrameNumber", "1"}, {"Timestamp", "0.5"}}));
        EXPECT_TRUE(reader->frameFields(1).empty());
        ASSERT_NE(findField(reader->frameFields(2), "ToolToTrackerTransform"), nullptr);
        EXPECT_EQ(*findField(reader->frameFields(2), "ToolToTrackerTransform"),
                  "1 0 0 2 0 1 0 3 0 0 1 4 0 0 0 1");
        expectFrames(path, 3, 6);

        // The same recording as one .mha, its data after the header.
        const std::string mha = files.path("run.mha");
        std::string local = text.substr(0, text.rfind("ElementDataFile")) + "ElementDataFile = LOCAL\n";
        writeFile(mha, local + readFile(files.path(dataName)));
        expectFrames(mha, 3, 6);
        const auto fromMha = TestSupport::openReader(mha, error);
        ASSERT_TRUE(fromMha) << error;
        EXPECT_EQ(fromMha->frameFields(0), reader->frameFields(0));

        // Single pixels.
        const std::string small = files.path("small.mhd");
        auto tiny = create(small, 1, 1, compressed);
        ASSERT_TRUE(tiny);
        ASSERT_TRUE(tiny->append(makeFrame(0, 1), error)) << error;
        ASSERT_TRUE(tiny->append(makeFrame(1, 1), error)) << error;
        tiny.reset();  // finishes
        expectFrames(small, 2, 1);
    }
}

// Camera-like frames (dark rows, a noisy background, bright spots), one value throughout, and bytes that
// do not shrink, each larger than what one thread or one block takes, on one thread and on several: one
// zlib stream whose checksum holds, the frames read back exactly, the camera's frames made smaller.
TEST(SequenceFile, CompressedFramesAreOneZlibStreamWhateverTheThreads) {
    constexpr int kWidth = 701;  // a frame of several pieces and blocks, cut in odd places
    constexpr int kHeight = 450;
    const std::size_t bytes = static_cast<std::size_t>(kWidth) * kHeight;
    std::vector<Frame> frames(4);
    std::uint32_t bits = 2463534242u;
    for (std::size_t i = 0; i < bytes; ++i) {
        bits ^= bits << 13;
        bits ^= bits >> 17;
        bits ^= bits << 5;
        const std::size_t row = i / kWidth;
        const bool spot = i % kWidth >= 300 && i % kWidth < 313 && row % 60 < 13;
        frames[0].pixels.push_back(spot ? 240 : row < 100 ? 0 : static_cast<std::uint8_t>(8 + (bits & 7)));
        frames[1].pixels.push_back(17);
        frames[2].pixels.push_back(static_cast<std::uint8_t>(bits >> 8));
        frames[3].pixels.push_back(static_cast<std::uint8_t>(i % 3 == 0 ? 5 : (i / 7) % 256));
    }
    for (const unsigned threads : {1u, 3u}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        TestSupport::TempFiles files;
        SequenceWriter::Options options;
        options.path = files.path("run.seq.mhd");
        options.width = kWidth;
        options.height = kHeight;
        options.compressed = true;
        options.compressionThreads = threads;
        std::string error;
        auto writer = SequenceWriter::create(options, error);
        ASSERT_TRUE(writer) << error;
        std::vector<std::uint8_t> all;
        for (std::size_t repeat = 0; repeat < 2; ++repeat) {
            for (const Frame& frame : frames) {
                ASSERT_TRUE(writer->append(frame, error)) << error;
                all.insert(all.end(), frame.pixels.begin(), frame.pixels.end());
            }
        }
        ASSERT_TRUE(writer->finish(error)) << error;

        const std::string data = readFile(files.path("run.seq.zraw"));
        std::vector<std::uint8_t> inflated(all.size() + 1);
        uLongf inflatedSize = static_cast<uLongf>(inflated.size());
        ASSERT_EQ(uncompress(inflated.data(), &inflatedSize, reinterpret_cast<const Bytef*>(data.data()),
                             static_cast<uLong>(data.size())),
                  Z_OK);
        inflated.resize(inflatedSize);
        EXPECT_TRUE(inflated == all);
        const auto reader = TestSupport::openReader(options.path, error);
        ASSERT_TRUE(reader) << error;
        ASSERT_EQ(reader->frameCount(), 2 * frames.size());
        std::vector<std::uint8_t> pixels;
        for (std::size_t i = 0; i < reader->frameCount(); ++i) {
            ASSERT_TRUE(reader->readNextPixels(pixels, error)) << error;
            EXPECT_TRUE(pixels == frames[i % frames.size()].pixels) << "frame " << i;
        }
        // The background's three bits of noise in most of it, the rest runs: well under half; the other
        // frames cost little beyond themselves at most.
        EXPECT_LT(data.size(), 2 * (bytes * 45 / 100 + bytes / 1000 + bytes + bytes + bytes / 2));
    }
}

TEST(SequenceFile, FrameNumbersGrowPastFourDigits) {
    TestSupport::TempFiles files;
    const std::string path = files.path("long.seq.mhd");
    auto writer = create(path, 1, 1, true, 3600.0);
    ASSERT_TRUE(writer);
    std::string error;
    for (std::size_t i = 0; i <= 10000; ++i) {
        ASSERT_TRUE(writer->append(makeFrame(i, 1, {{"FrameNumber", std::to_string(i)}}), error)) << error;
    }
    ASSERT_TRUE(writer->finish(error)) << error;
    const std::string text = readFile(path);
    for (const char* name : {"Seq_Frame0000_FrameNumber = 0\n", "Seq_Frame0999_FrameNumber = 999\n",
                             "Seq_Frame9999_FrameNumber = 9999\n", "Seq_Frame10000_FrameNumber = 10000\n"}) {
        EXPECT_NE(text.find(name), std::string::npos) << name;
    }
    const auto reader = TestSupport::openReader(path, error);
    ASSERT_TRUE(reader) << error;
    ASSERT_EQ(reader->frameCount(), 10001u);
    EXPECT_EQ(*findField(reader->frameFields(10000), "FrameNumber"), "10000");
    EXPECT_EQ(*findField(reader->frameFields(999), "FrameNumber"), "999");
}

// A process killed while recording leaves the files as they are at that moment: the header then names the
// frames up to its last replacement, and the data file may hold more.
TEST(SequenceFile, CutRecordingOpensWithTheFramesItsHeaderNames) {
    for (const bool compressed : {false, true}) {
        SCOPED_TRACE(compressed ? "compressed" : "raw");
        TestSupport::TempFiles files;
        const std::string dataName = compressed ? ".seq.zraw" : ".seq.raw";
        for (const double every : {0.0, 3600.0}) {
            const std::string name = every == 0.0 ? "every" : "first";
            auto writer = create(files.path(name + ".seq.mhd"), 4, 3, compressed, every);
            ASSERT_TRUE(writer);
            std::string error;
            for (std::size_t i = 0; i < 5; ++i) {
                ASSERT_TRUE(writer->append(makeFrame(i, 12, {{"Index", std::to_string(i)}}), error)) << error;
            }
            // Copied as a reader would find them: the header, then the data, which only grows.
            writeFile(files.path("cut-" + name + ".seq.mhd"), readFile(files.path(name + ".seq.mhd")));
            writeFile(files.path("cut-" + name + dataName), readFile(files.path(name + dataName)));
            writer.reset();
        }
        expectFrames(files.path("cut-every.seq.mhd"), 5, 12);
        expectFrames(files.path("cut-first.seq.mhd"), 1, 12);  // four more frames of data after it
        std::string error;
        const auto reader = TestSupport::openReader(files.path("cut-first.seq.mhd"), error);
        ASSERT_TRUE(reader) << error;
        EXPECT_EQ(reader->frameFields(0), (Fields{{"Index", "0"}}));
        expectFrames(files.path("first.seq.mhd"), 5, 12);  // finished when destroyed
    }
}

TEST(SequenceFile, AWriterStopsWhereAReaderCouldNoLongerOpenTheRecording) {
    TestSupport::TempFiles files;
    SequenceWriter::Options options;
    options.path = files.path("long.seq.mhd");
    options.readers.maxFrames = 3;
    std::string error;
    auto writer = SequenceWriter::create(options, error);
    ASSERT_TRUE(writer) << error;
    for (std::size_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(writer->append(makeFrame(i, 1, {{"Index", std::to_string(i)}}), error)) << error;
    }
    EXPECT_FALSE(writer->append(makeFrame(3, 1), error));
    EXPECT_NE(error.find("as many frames as a reader opens (3)"), std::string::npos) << error;
    EXPECT_FALSE(writer->finish(error));  // the recording did not take every frame
    std::string opened;
    const auto reader = TestSupport::openReader(options.path, opened, options.readers);
    ASSERT_TRUE(reader) << opened;
    EXPECT_EQ(reader->frameCount(), 3u);

    // A field line no reader takes is refused with the frame, and the recording goes on.
    options.path = files.path("wide.seq.mhd");
    options.readers = {};
    options.readers.maxLineBytes = 64;
    writer = SequenceWriter::create(options, error);
    ASSERT_TRUE(writer) << error;
    EXPECT_FALSE(writer->append(makeFrame(0, 1, {{"Wide", std::string(80, '7')}}), error));
    EXPECT_NE(error.find("more than a reader takes"), std::string::npos) << error;
    EXPECT_TRUE(writer->append(makeFrame(1, 1, {{"Narrow", "7"}}), error)) << error;
    EXPECT_TRUE(writer->finish(error)) << error;
}

TEST(SequenceFile, RefusesHostileFilesWithTheirReason) {
    TestSupport::TempFiles files;
    std::string error;
    SequenceWriter::Options options;
    const auto refused = [&](const std::string& expected) {
        EXPECT_FALSE(SequenceWriter::create(options, error)) << options.path;
        EXPECT_NE(error.find(expected), std::string::npos) << error;
    };

    // Writer: what is not a regular file is never replaced, and bad names or values are refused.
    ASSERT_EQ(::mkfifo(files.path("fifo.mhd").c_str(), 0600), 0);
    options.path = files.path("fifo.mhd");
    refused("fifo.mhd is a FIFO, not a regular file");
    ASSERT_EQ(::mkdir(files.path("folder.raw").c_str(), 0700), 0);
    options.path = files.path("folder.mhd");
    refused("folder.raw is a folder");
    options.path = files.path("missing/run.mhd");
    refused("cannot create");
    options.path = files.path("run.txt");
    refused("ending in .mhd");
    options.path = files.path("run.mhd");
    options.fields = {{"Bad name", "1"}};
    refused("'Bad name' must be letters, digits and _ only");
    options.fields = {{"DimSize", "1"}};
    refused("MetaImage field");
    options.fields = {{"Note", "two\nlines"}};
    refused("line break");
    options.fields = {};
    auto writer = SequenceWriter::create(options, error);
    ASSERT_TRUE(writer) << error;
    EXPECT_FALSE(writer->append(makeFrame(0, 1, {{"A", "x\ny"}}), error));
    EXPECT_NE(error.find("line break"), std::string::npos) << error;
    EXPECT_TRUE(writer->append(makeFrame(0, 1), error)) << error;  // a refused frame leaves it usable
    writer.reset();

    // Reader.
    expectRefused(files.path("fifo.mhd"), "fifo.mhd: it is a FIFO");
    const std::string truncated = files.write("truncated.mhd", header("2 2 3", "truncated.raw"));
    writeFile(files.path("truncated.raw"), std::string(11, 'x'));
    expectRefused(truncated, "truncated.raw holds 11 bytes of data, fewer than the 3 frames of 2 x 2");
    const std::string large = files.write("large.mhd", header("2 2 11", "truncated.raw"));
    expectRefused(large, "large.mhd line 5: 11 frames are more than 10", {1024, 10, 64});
    const std::string wide = files.write("wide.mhd", header("65536 65536 1", "truncated.raw"));
    expectRefused(wide, "wide.mhd line 5: frames of 65536 x 65536 pixels are larger than 64 MB");
    const std::string noEquals =
        files.write("noequals.mhd", "ObjectType = Image\nNDims = 3\nDimSize 1 1 1\n");
    expectRefused(noEquals, "noequals.mhd line 3: no '='");
    const std::string badDims = files.write("dims.mhd", header("2 x 3", "truncated.raw"));
    expectRefused(badDims, "dims.mhd line 5: DimSize needs three whole numbers");
    const std::string endless = files.write("endless.mhd", std::string(3000, '\n'));
    expectRefused(endless, "endless.mhd: the header is larger than 1 KB", {1024, 10, 64});

    // A corrupt compressed stream opens (its size is right) and fails when read, with its frame.
    const std::string corrupt = files.write(
        "corrupt.mhd", header("2 2 2", "corrupt.zraw", "CompressedData = True\nCompressedDataSize = 40\n"));
    writeFile(files.path("corrupt.zraw"), std::string("\x78\x01") + std::string(38, '\xff'));
    const auto reader = TestSupport::openReader(corrupt, error);
    ASSERT_TRUE(reader) << error;
    std::vector<std::uint8_t> pixels;
    EXPECT_FALSE(reader->readNextPixels(pixels, error));
    EXPECT_NE(error.find("corrupt.zraw, frame 0: the compressed data is corrupt"), std::string::npos)
        << error;
    EXPECT_FALSE(reader->readNextPixels(pixels, error));
    writeFile(files.path("corrupt.zraw"), "\x78\x01");
    expectRefused(corrupt, "corrupt.mhd line 8: " + files.path("corrupt.zraw") +
                               " holds 2 bytes of data, fewer than CompressedDataSize 40");
}

TEST(SequenceFile, ReaderRefusesWhatNoWriterWritesWhileReadingIt) {
    TestSupport::TempFiles files;
    writeFile(files.path("one.raw"), std::string(2, 'x'));

    // A file without line breaks is refused at the first line's limit, not read whole first.
    const std::string binary = files.write("binary.mhd", std::string(3u << 20, 'A'));
    expectRefused(binary, "binary.mhd line 1: the line is longer than 1 MB");

    // Control characters of the file reach no message as they are.
    const std::string escape = files.write("escape.mhd", "ObjectType = \x1b[31mRed\x07\n");
    std::string error;
    EXPECT_FALSE(TestSupport::openReader(escape, error));
    EXPECT_NE(error.find("ObjectType \\x1b[31mRed\\x07 is not an image"), std::string::npos) << error;
    EXPECT_EQ(error.find('\x1b'), std::string::npos);

    // A frame's field given twice is refused with its line, also when the frame's fields are apart.
    const std::string twice =
        files.write("twice.mhd",
                    header("1 1 2", "one.raw", "Seq_Frame0000_Timestamp = 0\nSeq_Frame0000_Timestamp = 5\n"));
    expectRefused(twice, "twice.mhd line 8: frame 0 has a field Timestamp already");
    const std::string apart =
        "Seq_Frame0001_A = 1\nSeq_Frame0000_A = 0\nSeq_Frame0001_B = 2\nSeq_Frame0000_B = 3\n";
    const std::string split = files.write("split.mhd", header("1 1 2", "one.raw", apart));
    const auto reader = TestSupport::openReader(split, error);
    ASSERT_TRUE(reader) << error;
    EXPECT_EQ(reader->frameFields(0), (Fields{{"A", "0"}, {"B", "3"}}));
    EXPECT_EQ(reader->frameFields(1), (Fields{{"A", "1"}, {"B", "2"}}));
    const std::string splitTwice =
        files.write("split-twice.mhd", header("1 1 2", "one.raw", apart + "Seq_Frame0001_A = 4\n"));
    expectRefused(splitTwice, "split-twice.mhd line 11: frame 1 has a field A already");
}

TEST(TrackingFields, RefusesTimeStampsAndPosesNoCameraGives) {
    namespace Names = TrackingFields;
    double seconds = -1.0;
    std::string why;
    EXPECT_TRUE(Names::timestampOf({{"Timestamp", "0.25"}}, seconds, why)) << why;
    EXPECT_EQ(seconds, 0.25);
    EXPECT_TRUE(Names::timestampOf({{"Timestamp", "-0.5"}}, seconds, why)) << why;  // a clock set back
    EXPECT_TRUE(Names::timestampOf({{"Timestamp", "2592000"}}, seconds, why)) << why;
    for (const char* stamp : {"1e308", "1e10", "1e9", "2592000.5", "-1e9", "nan", "inf", "1 2", "", "soon"}) {
        EXPECT_FALSE(Names::timestampOf({{"Timestamp", stamp}}, seconds, why)) << stamp;
        EXPECT_NE(why.find("Timestamp"), std::string::npos) << why;
    }
    EXPECT_FALSE(Names::timestampOf({{"FrameNumber", "1"}}, seconds, why));

    const double c = std::cos(0.3);
    const double s = std::sin(0.3);
    EXPECT_TRUE(Names::isRigidMotion({1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}));
    EXPECT_TRUE(Names::isRigidMotion({c, -s, 0, 1e6, s, c, 0, -20.5, 0, 0, 1, 900, 0, 0, 0, 1}));
    const double nan = std::nan("");
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<std::vector<double>> refused = {
        std::vector<double>(16, nan),
        {inf, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1},
        {1, 0, 0, nan, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1},
        std::vector<double>(16, 0.0),
        {2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2},
        {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, -1, 0, 0, 0, 0, 1},   // a reflection
        {1, 0.1, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1},  // sheared
        {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 1, 1},    // not the last row of a motion
        {1, 0, 0, 1e300, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1},
        {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0},
    };
    for (std::size_t i = 0; i < refused.size(); ++i) {
        EXPECT_FALSE(Names::isRigidMotion(refused[i])) << "case " << i;
    }
}

namespace {

// Writes frames of `bytes` pixels, each with the fields given, in a child process whose files may grow to
// `limit` bytes only (as on a full disk, without one); the child's exit code is the frames the writer
// says its files hold, or 255 when it did not fail as a full disk makes it.
std::size_t writeUntilFull(const std::string& path, bool compressed, double headerEvery, std::size_t bytes,
                           const Fields& fields, rlim_t limit) {
    const pid_t child = ::fork();
    if (child == 0) {
        const rlimit size{limit, limit};
        ::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead
        SequenceWriter::Options options;
        options.path = path;
        options.width = static_cast<int>(bytes);
        options.compressed = compressed;
        options.headerEverySeconds = headerEvery;
        std::string error;
        auto writer =
            ::setrlimit(RLIMIT_FSIZE, &size) == 0 ? SequenceWriter::create(options, error) : nullptr;
        bool failed = false;
        for (std::size_t i = 0; writer && i < 1000 && !failed; ++i) {
            failed = !writer->append(makeFrame(i, bytes, fields), error);
        }
        const bool finished = writer && writer->finish(error);
        ::_exit(failed && !finished && error.find("File too large") != std::string::npos
                    ? static_cast<int>(std::min<std::size_t>(writer->framesInFile(), 254))
                    : 255);
    }
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << status;
    return WIFEXITED(status) ? static_cast<std::size_t>(WEXITSTATUS(status)) : 255;
}

}  // namespace

// A full disk stops the recording; its files open with the frames the writer says they hold, each intact:
// every complete frame when the last header still fits, else those of the last header that did, the
// data cut back to them.
TEST(SequenceFile, AFullDiskLeavesARecordingOfTheFramesItSaysItHolds) {
    for (const bool compressed : {false, true}) {
        SCOPED_TRACE(compressed ? "compressed" : "raw");
        TestSupport::TempFiles files;
        const std::string dataName = compressed ? "data.seq.zraw" : "data.seq.raw";
        // The data fills the disk, in the middle of a frame: the last header names every complete one.
        const std::size_t dataFull =
            writeUntilFull(files.path("data.seq.mhd"), compressed, 3600.0, 20000, {}, 110000);
        EXPECT_GE(dataFull, 4u);
        EXPECT_LT(dataFull, 254u);
        expectFrames(files.path("data.seq.mhd"), dataFull, 20000);
        if (!compressed) {
            EXPECT_EQ(readFile(files.path(dataName)).size(), dataFull * 20000);
        }

        // The header fills it: the one before stays, and the data goes back to its frames.
        const Fields large = {{"Note", std::string(1000, 'n')}};
        const std::size_t headerFull =
            writeUntilFull(files.path("header.seq.mhd"), compressed, 0.0, 10, large, 16384);
        EXPECT_GE(headerFull, 5u);
        EXPECT_LT(headerFull, 20u);
        expectFrames(files.path("header.seq.mhd"), headerFull, 10);
        if (!compressed) {
            EXPECT_EQ(readFile(files.path("header.seq.raw")).size(), headerFull * 10);
        }
    }
}

// One writer of a recording at a time: a second writer of its data file, or a second program taking the
// recording's lock, is refused before it touches a file, and told who holds it.
TEST(SequenceFile, ARecordingHasOneWriterAtATime) {
    TestSupport::TempFiles files;
    const std::string path = files.path("one.seq.mhd");
    auto first = create(path, 2, 1, false);
    ASSERT_TRUE(first);
    std::string error;
    ASSERT_TRUE(first->append(makeFrame(0, 2), error)) << error;
    SequenceWriter::Options options;
    options.path = path;
    options.width = 2;
    EXPECT_FALSE(SequenceWriter::create(options, error));
    EXPECT_NE(error.find(files.path("one.seq.raw") + " is being written by another recording"),
              std::string::npos)
        << error;
    ASSERT_TRUE(first->append(makeFrame(1, 2), error)) << error;
    ASSERT_TRUE(first->finish(error)) << error;
    expectFrames(path, 2, 2);

    auto lock = RecordingLock::acquire(path, error);
    ASSERT_TRUE(lock) << error;
    EXPECT_EQ(readFile(RecordingLock::pathOf(path)), std::to_string(::getpid()) + "\n");
    EXPECT_FALSE(RecordingLock::acquire(path, error));
    EXPECT_EQ(error, path + " is being recorded by another program (process " + std::to_string(::getpid()) +
                         "); not recording to it");
    lock.reset();
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(RecordingLock::pathOf(path))));
    // A lock file its holder left behind (killed) holds nothing.
    writeFile(RecordingLock::pathOf(path), "999999999\n");
    EXPECT_TRUE(RecordingLock::acquire(path, error)) << error;
}
