// halvoren export, and a replay of the same recording: what either makes of a recording's frames.
#include "AppProcess.h"
#include "support/TempFiles.h"

#include "sequence/SequenceFile.h"
#include "sequence/TrackingCodec.h"
#include "sequence/TrackingFields.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace Halvoren;
using TestSupport::AppRun;
using TestSupport::lines;
using TestSupport::runApp;
namespace Names = Halvoren::Sequence::TrackingFields;

namespace {

constexpr const char* kRotated = "0 -1 0 10.5 1 0 0 -20.25 0 0 1 900 0 0 0 1";

// A recording of one marker, "tool", seen in every frame at quality 0.99 with status OK, its fields then
// changed as `edits` say: {frame, field, value} (field "Transform" and "Status" stand for the tool's).
struct Edit {
    std::size_t frame;
    std::string field;
    std::string value;
};

std::string writeRecording(const TestSupport::TempFiles& files, const std::string& name, std::size_t frames,
                           const std::vector<Edit>& edits, bool withTip = false) {
    Sequence::RecordedMarker tool;
    tool.name = tool.id = tool.field = "tool";
    tool.geometryId = 1400;
    if (withTip) {
        tool.tip = std::array<double, 3>{1, 2, 3};
    }
    tool.fiducials = {{0.0, 0.0, 0.0}, {50.0, 0.0, 0.0}, {0.0, 50.0, 0.0}, {50.0, 50.0, 0.0}};
    Sequence::SequenceWriter::Options options;
    options.path = files.path(name);
    options.fields = Sequence::recordingFields({0, 0, {tool}});
    std::string error;
    auto writer = Sequence::SequenceWriter::create(options, error);
    EXPECT_TRUE(writer) << error;
    for (std::size_t i = 0; writer && i < frames; ++i) {
        Sequence::RecordedFrame frame;
        frame.frameNumber = static_cast<std::uint32_t>(100 + i);
        frame.timestampSeconds = 0.01 * static_cast<double>(i);
        frame.timestampMs = 1'700'000'000'000u + 10 * i;
        Sequence::RecordedPose pose;
        pose.quality = 0.99;
        pose.statusOk = true;
        frame.poses.push_back(pose);
        Sequence::Frame written{Sequence::frameFields(frame, {tool}), {0}};
        for (const Edit& edit : edits) {
            const std::string field = edit.field == "Transform" ? Names::transformField("tool")
                                      : edit.field == "Status"  ? Names::statusField("tool")
                                                                : edit.field;
            for (auto& [fieldName, value] : written.fields) {
                if (edit.frame == i && fieldName == field) {
                    value = edit.value;
                }
            }
        }
        EXPECT_TRUE(writer->append(written, error)) << error;
    }
    EXPECT_TRUE(writer && writer->finish(error)) << error;
    return options.path;
}

AppRun exportRun(const std::string& recording, const std::vector<std::string>& more = {}) {
    QStringList args{"export", QString::fromStdString(recording)};
    for (const std::string& arg : more) {
        args << QString::fromStdString(arg);
    }
    return runApp(args);
}

// The status column of each CSV line after the header.
std::vector<std::string> statuses(const std::string& csv) {
    std::vector<std::string> result;
    const std::vector<std::string> all = lines(csv);
    for (std::size_t i = 1; i < all.size(); ++i) {
        std::stringstream line(all[i]);
        std::string cell;
        for (int column = 0; column <= 11 && std::getline(line, cell, ','); ++column) {
        }
        result.push_back(cell);
    }
    return result;
}

bool hasNonFinite(const std::string& text) {
    return text.find("nan") != std::string::npos || text.find("inf") != std::string::npos;
}

}  // namespace

TEST(Export, WritesTheRecordedStatusAndNeverAPoseThatIsNoRigidMotion) {
    TestSupport::TempFiles files;
    const std::string nan16 = "nan nan nan nan nan nan nan nan nan nan nan nan nan nan nan nan";
    const std::string recording =
        writeRecording(files, "poses.seq.mhd", 7,
                       {{0, "Transform", kRotated},
                        {1, "Transform", kRotated},
                        {1, "Status", "INVALID"},  // as a run with --min-quality 0.995 recorded it
                        {2, "Transform", nan16},
                        {3, "Transform", "inf 0 0 1 0 1 0 2 0 0 1 3 0 0 0 1"},
                        {4, "Transform", "0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0"},
                        {5, "Transform", "2 0 0 0 0 2 0 0 0 0 2 0 0 0 0 2"},
                        {6, "Transform", "1 0 0 0 0 1 0 0 0 0 -1 0 0 0 0 1"}});  // a reflection

    const AppRun csv = exportRun(recording);
    ASSERT_EQ(csv.exitCode, 0) << csv.err;
    const std::vector<std::string> invalidAfterFirst = {"OK",      "INVALID", "INVALID", "INVALID",
                                                        "INVALID", "INVALID", "INVALID"};
    EXPECT_EQ(statuses(csv.out), invalidAfterFirst) << csv.out;
    EXPECT_FALSE(hasNonFinite(csv.out)) << csv.out;
    EXPECT_NE(lines(csv.out)[1].find(",10.5,-20.25,900,"), std::string::npos) << csv.out;
    EXPECT_NE(csv.err.find("exported 7 frames"), std::string::npos) << csv.err;

    const AppRun jsonl = exportRun(recording, {"--format", "jsonl"});
    ASSERT_EQ(jsonl.exitCode, 0) << jsonl.err;
    EXPECT_FALSE(hasNonFinite(jsonl.out)) << jsonl.out;
    const std::vector<std::string> json = lines(jsonl.out);
    ASSERT_EQ(json.size(), 7u);
    for (std::size_t i = 0; i < json.size(); ++i) {
        EXPECT_EQ(json[i].find("\"status\":\"OK\"") != std::string::npos, i == 0) << json[i];
    }

    // The quality gate makes more poses INVALID, never fewer.
    const AppRun gated = exportRun(recording, {"--min-quality", "0.995"});
    ASSERT_EQ(gated.exitCode, 0) << gated.err;
    EXPECT_EQ(statuses(gated.out), std::vector<std::string>(7, "INVALID"));

    // The replay delivers none of the impossible poses: nothing non-finite reaches the stream's lines.
    const AppRun replay = runApp({"stream", "--replay", QString::fromStdString(recording), "--replay-speed",
                                  "max", "--stale-after", "60000"});
    ASSERT_EQ(replay.exitCode, 0) << replay.err;
    EXPECT_FALSE(hasNonFinite(replay.out)) << replay.out;
    const std::vector<std::string> replayed = statuses(replay.out);
    ASSERT_EQ(replayed.size(), 7u) << replay.out;
    EXPECT_EQ(std::vector<std::string>(replayed.begin() + 2, replayed.end()),
              std::vector<std::string>(5, "INVALID"));
}

TEST(Export, AndReplayRefuseFramesTheRecordingDoesNotHaveTheSameWay) {
    TestSupport::TempFiles files;
    // Three frames with fields, a million declared (the data is there: one pixel a frame).
    const std::string declared = writeRecording(files, "declared.seq.mhd", 3, {});
    std::stringstream text;
    text << std::ifstream(declared).rdbuf();
    std::string header = text.str();
    header.replace(header.find("DimSize = 1 1 3"), 15, "DimSize = 1 1 1000000");
    std::ofstream(declared, std::ios::trunc) << header;
    std::filesystem::resize_file(files.path("declared.seq.raw"), 1000000);

    const std::vector<std::pair<std::string, std::string>> cases = {
        {declared, "frame 3 has no fields: the header names 1000000 frames but gives the fields of 3"},
        {writeRecording(files, "huge.seq.mhd", 3, {{1, "Timestamp", "1e308"}}), "frame 1: Timestamp"},
        {writeRecording(files, "far.seq.mhd", 3, {{2, "Timestamp", "1e10"}}), "frame 2: Timestamp"},
        {writeRecording(files, "years.seq.mhd", 3, {{1, "Timestamp", "1e9"}}), "frame 1: Timestamp"},
        {writeRecording(files, "nan.seq.mhd", 3, {{0, "Timestamp", "nan"}}), "frame 0: Timestamp"},
    };
    for (const auto& [recording, reason] : cases) {
        SCOPED_TRACE(recording);
        const AppRun exported = exportRun(recording);
        EXPECT_EQ(exported.exitCode, 3);
        EXPECT_NE(exported.err.find(reason), std::string::npos) << exported.err;
        EXPECT_EQ(exported.out, "");
        const AppRun replay =
            runApp({"stream", "--replay", QString::fromStdString(recording), "--replay-speed", "max"});
        EXPECT_NE(replay.exitCode, 0);
        EXPECT_NE(replay.err.find(reason), std::string::npos) << replay.err;
        EXPECT_EQ(lines(replay.out).size(), 0u) << replay.out;
    }
}

TEST(Export, AndReplayRefuseATipNoMarkerFileWouldGiveTheSameWay) {
    // Read as a marker file's is: a tip at infinity would make every tip position inf, one 100 m away a
    // point no one stands at.
    TestSupport::TempFiles files;
    for (const std::string tip : {"1.79e308 1.79e308 1.79e308", "1e5 0 0"}) {
        SCOPED_TRACE(tip);
        const std::string recording = writeRecording(files, "tip.seq.mhd", 3, {}, true);
        std::stringstream text;
        text << std::ifstream(recording).rdbuf();
        std::string header = text.str();
        const std::string field = Names::markerField(0, "Tip") + " = 1 2 3";
        ASSERT_NE(header.find(field), std::string::npos) << header;
        header.replace(header.find(field), field.size(), Names::markerField(0, "Tip") + " = " + tip);
        std::ofstream(recording, std::ios::trunc) << header;

        const std::string reason =
            Names::markerField(0, "Tip") + ": the tip lies more than 10000 mm from the marker";
        const AppRun exported = exportRun(recording, {"--format", "jsonl"});
        EXPECT_EQ(exported.exitCode, 3);
        EXPECT_NE(exported.err.find(reason), std::string::npos) << exported.err;
        EXPECT_EQ(exported.out, "");
        const AppRun replay =
            runApp({"stream", "--replay", QString::fromStdString(recording), "--replay-speed", "max"});
        EXPECT_EQ(replay.exitCode, 3);
        EXPECT_NE(replay.err.find(reason), std::string::npos) << replay.err;
        EXPECT_EQ(lines(replay.out).size(), 0u) << replay.out;
    }
}

TEST(Export, ThatFailsMidwaySaysWhatItWrote) {
    TestSupport::TempFiles files;
    const std::string recording = writeRecording(files, "broken.seq.mhd", 5, {{2, "Transform", "1 2 3"}});
    const std::string output = files.path("poses.csv");
    const AppRun run = exportRun(recording, {"--output", output});
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_NE(run.err.find("frame 2: toolToTrackerTransform is not 16 numbers"), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("export failed: wrote 2 of 5 frames to " + output), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("exported"), std::string::npos) << run.err;
    std::stringstream written;
    written << std::ifstream(output).rdbuf();
    EXPECT_EQ(lines(written.str()).size(), 1u + 2u);
}
