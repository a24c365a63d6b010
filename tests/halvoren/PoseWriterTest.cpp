// The pose writer's hand-over to its own thread, against outputs that block or fail.
#include "halvoren/PoseWriter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

using Halvoren::TrackingInstrument;
using Halvoren::App::PoseFormat;
using Halvoren::App::PoseWriter;

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

std::vector<TrackingInstrument> frame(std::uint64_t timestamp) {
    TrackingInstrument instrument;
    instrument.id = {"1400", "", "tool"};
    instrument.quality = 1.0;
    instrument.timestamp = timestamp;
    return {instrument};
}

}  // namespace

TEST(PoseWriter, FramesAreHandedOverWithoutWaitingForTheOutputAndWhatDoesNotFitIsCounted) {
    GatedBuffer buffer;
    std::ostream out(&buffer);
    PoseWriter writer(out, PoseFormat::Csv, 4);
    writer.begin();
    ASSERT_TRUE(buffer.waitUntilBlocked());  // the writer's thread holds the header; the queue is empty

    // Four frames fit in the queue, the next two are dropped; none of it waits for the output.
    auto handOver = std::async(std::launch::async, [&] {
        for (std::uint64_t t = 0; t < 6; ++t) {
            EXPECT_TRUE(writer.writeFrame(frame(t)));
        }
    });
    const bool returned = handOver.wait_for(kPatience) == std::future_status::ready;
    EXPECT_TRUE(buffer.text().empty());
    buffer.release();
    ASSERT_TRUE(returned) << "writeFrame waited for the blocked output";
    handOver.get();
    EXPECT_EQ(writer.frames(), 4u);
    EXPECT_EQ(writer.dropped(), 2u);

    // The flush drains the queue: the header, then the queued frames in order.
    EXPECT_TRUE(writer.flush());
    std::istringstream text(buffer.text());
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) {
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 5u) << buffer.text();
    EXPECT_EQ(lines[0].rfind("timestamp,id,", 0), 0u);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].rfind(std::to_string(i - 1) + ",1400,tool,1,", 0), 0u) << lines[i];
    }
    std::ostringstream summary;
    writer.writeSummary(summary);
    EXPECT_NE(summary.str().find("frames 4\n"), std::string::npos) << summary.str();
    EXPECT_NE(summary.str().find("poses not written: 2 frames (the output could not keep up)\n"),
              std::string::npos)
        << summary.str();
}

TEST(PoseWriter, AFailedWriteIsLearnedAtTheNextHandOverAndByTheFlush) {
    FullBuffer buffer;
    std::ostream out(&buffer);
    PoseWriter writer(out, PoseFormat::JsonLines);
    EXPECT_TRUE(writer.writeFrame(frame(1)));  // handed over; the write has not happened yet
    EXPECT_FALSE(writer.flush());
    EXPECT_TRUE(writer.failed());
    EXPECT_FALSE(writer.writeFrame(frame(2)));
    EXPECT_EQ(writer.frames(), 1u);
    EXPECT_FALSE(writer.flush());
}
