// The stream command's frame sink: a stale line repeats the last frame written, its number and its poses.
#include "halvoren/FrameSink.h"
#include "halvoren/PoseWriter.h"
#include "host/TrackingStream.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

using Halvoren::TrackingInstrument;
using Halvoren::TrackingStreamData;
using Halvoren::App::FrameSink;
using Halvoren::App::PoseFormat;
using Halvoren::App::PoseWriter;

namespace {

std::shared_ptr<const TrackingStreamData> frameAt(double x) {
    TrackingInstrument instrument;
    instrument.id.ID = "tool";
    instrument.id.name = "tool";
    instrument.quality = 1.0;
    instrument.pose(0, 3) = x;
    return std::make_shared<TrackingStreamData>(nullptr, std::vector<TrackingInstrument>{instrument});
}

void write(FrameSink& sink, double x, std::uint32_t counter) {
    std::lock_guard<std::mutex> lock(sink.mutex);
    sink.writeFrame(frameAt(x), counter);
}

}  // namespace

TEST(FrameSink, AStaleLineRepeatsTheLastFrameWrittenAndTheMainThreadGetsTheNote) {
    std::ostringstream out;
    PoseWriter writer(out, PoseFormat::Csv);
    FrameSink sink;
    sink.writer = &writer;
    write(sink, 10.0, 7);
    sink.noteStaleness(true, 60.0);
    write(sink, 20.0, 8);
    sink.noteStaleness(true, 61.0);
    sink.noteStaleness(false, 90.0);
    {
        std::lock_guard<std::mutex> lock(sink.mutex);
        sink.done = true;
    }
    sink.noteStaleness(true, 62.0);  // the run is over: nothing more
    ASSERT_TRUE(writer.flush());

    const std::vector<std::string> expected = {
        // x, then status, stale and frame
        "tool,tool,1,10,0,0,1,0,0,0,OK,0,7",
        "tool,tool,1,10,0,0,1,0,0,0,INVALID,1,7",
        "tool,tool,1,20,0,0,1,0,0,0,OK,0,8",
        "tool,tool,1,20,0,0,1,0,0,0,INVALID,1,8",
    };
    std::istringstream lines(out.str());
    std::vector<std::string> written;
    for (std::string line; std::getline(lines, line);) {
        written.push_back(line.substr(line.find(',') + 1));  // without the time stamp
    }
    EXPECT_EQ(written, expected) << out.str();
    ASSERT_EQ(sink.notes.size(), 3u);
    EXPECT_EQ(sink.notes[0], "halvoren: no new frame from the camera for 60 ms: the poses are stale\n");
    EXPECT_EQ(sink.notes[2], "halvoren: frames from the camera again after 90 ms\n");
    EXPECT_EQ(writer.frames(), 2u);
}
