// The pose writer as one of the run's outputs, against outputs that block or fail; the stale lines and
// the notes the stream command shows.
#include "halvoren/outputs/PoseWriter.h"
#include "halvoren/outputs/ProgressOutput.h"
#include "host/TrackingStream.h"
#include "output/OutputHub.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <future>
#include <limits>
#include <mutex>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

using namespace Halvoren;
using Halvoren::App::PoseFormat;
using Halvoren::App::PoseWriter;
using Halvoren::Output::FrameItem;

namespace {

constexpr auto kPatience = std::chrono::seconds(20);

// An output that holds every write until released, like a stalled disk.
class GatedBuffer : public std::streambuf {
public:
    bool waitUntilBlocked() {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, kPatience, [this] { return m_blocked; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }
    std::string text() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_text;
    }

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_blocked = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_open; });
        m_text.append(s, static_cast<std::size_t>(n));
        return n;
    }
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            const char ch = traits_type::to_char_type(c);
            xsputn(&ch, 1);
        }
        return traits_type::not_eof(c);
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_blocked = false;
    bool m_open = false;
    std::string m_text;
};

// An output that takes nothing, like a full disk.
class FullBuffer : public std::streambuf {
protected:
    std::streamsize xsputn(const char*, std::streamsize) override { return 0; }
    int_type overflow(int_type) override { return traits_type::eof(); }
};

std::shared_ptr<TrackingStreamData> frame(std::uint64_t timestamp, double x = 0.0,
                                          std::uint32_t counter = 0) {
    TrackingInstrument instrument;
    instrument.id = {"1400", "", "tool"};
    instrument.quality = 1.0;
    instrument.timestamp = timestamp;
    instrument.pose(0, 3) = x;
    auto data = std::make_shared<TrackingStreamData>(nullptr, std::vector<TrackingInstrument>{instrument});
    if (counter != 0) {
        data->components().add(std::make_unique<TrackingFrameInfoData>(counter, 0));
    }
    return data;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::istringstream stream(text);
    std::vector<std::string> lines;
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

}  // namespace

TEST(PoseWriter, FramesAreHandedOverWithoutWaitingForTheOutputAndWhatDoesNotFitIsCounted) {
    GatedBuffer buffer;
    std::ostream out(&buffer);
    auto writer = std::make_shared<PoseWriter>(out, PoseFormat::Csv, 4);
    Output::OutputHub outputs;
    outputs.add(writer);
    outputs.handOver(frame(0));
    ASSERT_TRUE(buffer.waitUntilBlocked());  // the writer's thread holds the header and frame 0

    // Four frames fit in the queue, the next two are dropped; none of it waits for the output.
    auto handOver = std::async(std::launch::async, [&] {
        for (std::uint64_t t = 1; t < 7; ++t) {
            outputs.handOver(frame(t));
        }
    });
    const bool returned = handOver.wait_for(kPatience) == std::future_status::ready;
    EXPECT_TRUE(buffer.text().empty());
    buffer.release();
    ASSERT_TRUE(returned) << "the hand-over waited for the blocked output";
    handOver.get();
    EXPECT_EQ(writer->dropped(), 2u);

    // The end drains the queue: the header, then the frames in order.
    outputs.finish();
    EXPECT_FALSE(writer->failed());
    const std::vector<std::string> lines = linesOf(buffer.text());
    ASSERT_EQ(lines.size(), 6u) << buffer.text();
    EXPECT_EQ(lines[0].rfind("timestamp,id,", 0), 0u);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].rfind(std::to_string(i - 1) + ",1400,tool,1,", 0), 0u) << lines[i];
    }
    EXPECT_EQ(writer->frames(), 5u);
    std::ostringstream summary;
    writer->writeSummary(summary);
    EXPECT_NE(summary.str().find("frames 5\n"), std::string::npos) << summary.str();
    EXPECT_NE(summary.str().find("poses not written: 2 frames (the output could not keep up)\n"),
              std::string::npos)
        << summary.str();
}

TEST(PoseWriter, AFailedWriteEndsTheRunAndNothingMoreIsWritten) {
    FullBuffer buffer;
    std::ostream out(&buffer);
    auto writer = std::make_shared<PoseWriter>(out, PoseFormat::JsonLines);
    Output::OutputHub outputs;
    writer->setFailureListener([&outputs] { outputs.cut(); });
    outputs.add(writer);
    outputs.handOver(frame(1));
    EXPECT_TRUE(outputs.waitForCut(kPatience));
    EXPECT_TRUE(writer->failed());
    outputs.handOver(frame(2));  // after the cut: no output gets it
    outputs.finish();
    EXPECT_EQ(writer->frames(), 1u);
    EXPECT_EQ(outputs.frames(), 1u);
}

TEST(PoseWriter, AStaleLineRepeatsTheLastFrameWrittenAndTheProgressGetsTheNotes) {
    std::ostringstream out;
    auto writer = std::make_shared<PoseWriter>(out, PoseFormat::Csv);
    auto progress = std::make_shared<App::ProgressOutput>(0.0);
    Output::OutputHub outputs;
    outputs.add(writer);
    outputs.add(progress);
    outputs.handOver(frame(1, 10.0, 7));
    outputs.notify(FrameItem::Kind::Stale, 60.0);
    outputs.handOver(frame(2, 20.0, 8));
    outputs.notify(FrameItem::Kind::Stale, 61.0);
    outputs.notify(FrameItem::Kind::Fresh, 90.0);
    outputs.cut();
    outputs.notify(FrameItem::Kind::Stale, 62.0);  // the run is over: nothing more
    progress->drain();
    outputs.finish();

    const std::vector<std::string> expected = {
        // x, then status, stale, frame, no tip and the reason
        "1400,tool,1,10,0,0,1,0,0,0,OK,0,7,,,,",
        "1400,tool,1,10,0,0,1,0,0,0,INVALID,1,7,,,,stale",
        "1400,tool,1,20,0,0,1,0,0,0,OK,0,8,,,,",
        "1400,tool,1,20,0,0,1,0,0,0,INVALID,1,8,,,,stale",
    };
    std::vector<std::string> written;
    for (const std::string& line : linesOf(out.str())) {
        written.push_back(line.substr(line.find(',') + 1));  // without the time stamp
    }
    written.erase(written.begin());  // the header
    EXPECT_EQ(written, expected) << out.str();
    const std::deque<std::string> notes = progress->takeNotes();
    ASSERT_EQ(notes.size(), 3u);
    EXPECT_EQ(notes[0], "halvoren: no new frame from the camera for 60 ms: the poses are stale\n");
    EXPECT_EQ(notes[2], "halvoren: frames from the camera again after 90 ms\n");
    EXPECT_EQ(writer->frames(), 2u);
    EXPECT_EQ(progress->takeFrameCount(), 2u);
}

// A line is strict JSON whatever the instrument holds: a name with what JSON must escape or that is no
// UTF-8, and numbers that are not finite (null, as a JSON reader takes them).
TEST(PoseWriter, AJsonLineIsStrictWhateverTheNameAndNumbers) {
    TrackingInstrument instrument;
    instrument.id = {"id\\1", "", std::string("po\"inter\n\x01\xe9") + '\0'};
    instrument.quality = std::numeric_limits<double>::quiet_NaN();
    instrument.pose(0, 3) = std::numeric_limits<double>::infinity();
    Navigation::FramePose pose;
    pose.hasTip = true;
    const std::string line = PoseWriter::formatLine(instrument, pose, PoseFormat::JsonLines,
                                                    PoseWriter::LineContext{false, true, 7});
    nlohmann::json json;
    ASSERT_NO_THROW(json = nlohmann::json::parse(line)) << line;
    EXPECT_EQ(json["id"], "id\\1");
    EXPECT_EQ(json["name"], std::string("po\"inter\n\x01\xEF\xBF\xBD") + '\0');
    EXPECT_TRUE(json["quality"].is_null());
    EXPECT_EQ(json["position"], nlohmann::json::parse("[null,0,0]"));
    EXPECT_EQ(json["rotation"], nlohmann::json::parse("[1,0,0,0]"));
    EXPECT_TRUE(json["tip"].is_null());
    EXPECT_EQ(json["frame"], 7);
    EXPECT_EQ(json["reason"], "stale");
}
