// Every JSON the application writes, read back by a strict parser, with a marker whose name holds what
// JSON must escape.
#include "AppProcess.h"
#include "support/TempFiles.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using TestSupport::AppRun;
using TestSupport::runApp;

namespace {

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

/// Each line parsed strictly; a failure names the line.
std::vector<nlohmann::json> jsonLines(const std::string& text) {
    std::vector<nlohmann::json> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        try {
            lines.push_back(nlohmann::json::parse(line));
        } catch (const nlohmann::json::exception& e) {
            ADD_FAILURE() << e.what() << ": " << line;
        }
    }
    return lines;
}

nlohmann::json jsonFile(const std::string& path) {
    try {
        return nlohmann::json::parse(fileText(path));
    } catch (const nlohmann::json::exception& e) {
        ADD_FAILURE() << e.what() << ": " << fileText(path);
        return nullptr;
    }
}

}  // namespace

TEST(JsonOutputs, AreStrictWhateverTheMarkersNameHolds) {
    TestSupport::TempFiles files;
    // A quote, a backslash, a tab, a control character and a letter beyond ASCII.
    const std::string name = "po\"in\\ter\t\x01\xC3\xA9";
    const QString marker = QString::fromStdString(
        files.write(name + ".ini", fileText(HALVOREN_SOURCE_DIR "/data/markers/pointer.ini")));
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("FTK_SIMULATOR_SETTINGS",
               QString::fromStdString(files.write("pivot.txt", "rate = 100\npivot_marker = 1200\n")));
    const QString recording = QString::fromStdString(files.path("run.seq.mhd"));

    const AppRun stream = runApp(
        {"stream", "--frames", "20", "--format", "jsonl", "--marker", marker, "--record", recording}, env);
    ASSERT_EQ(stream.exitCode, 0) << stream.err;
    const std::vector<nlohmann::json> lines = jsonLines(stream.out);
    ASSERT_GE(lines.size(), 20u) << stream.out;
    EXPECT_EQ(lines.front()["name"], name);

    const AppRun exported = runApp({"export", recording, "--format", "jsonl"});
    ASSERT_EQ(exported.exitCode, 0) << exported.err;
    const std::vector<nlohmann::json> exportedLines = jsonLines(exported.out);
    ASSERT_FALSE(exportedLines.empty());
    EXPECT_EQ(exportedLines.front()["name"], name);

    const std::string pivot = files.path("pivot.json");
    const AppRun calibrated = runApp(
        {"pivot", "--marker", marker, "--frames", "200", "--output", QString::fromStdString(pivot)}, env);
    ASSERT_EQ(calibrated.exitCode, 0) << calibrated.err;
    EXPECT_EQ(jsonFile(pivot)["marker"], name);

    // The pivoting marker refuses the assessment (7), whose figures are written all the same.
    const std::string assessment = files.path("assessment.json");
    const AppRun assessed = runApp(
        {"assess", "--marker", marker, "--frames", "20", "--output", QString::fromStdString(assessment)},
        env);
    EXPECT_TRUE(assessed.exitCode == 0 || assessed.exitCode == 7) << assessed.err;
    EXPECT_EQ(jsonFile(assessment)["points"][0]["label"], name);
}
