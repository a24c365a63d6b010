// Workspace files: round trip, and malformed files refused with the line and nothing changed.
#include "host/WorkspaceFile.h"

#include "support/DriverScript.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace Halvoren;

namespace {

Properties sample() {
    Properties root("Workspace");
    root.setAttributes({{"hidden", "true"}});
    root.setParam("text", std::string("a <b> & \"c\"\nnext line"));
    root.setParam("number", 2.5, 1.0);
    root.setParamType("number", 8);
    root.setParamAttributes("number", {{"min", "0"}, {"max", "10"}});
    root.setParam("nan", std::nan(""));
    Properties* child = root.addSubProperties("Child");
    child->setParam("flag", true);
    child->addSubProperties("Child");  // repeated names keep their order
    child->addSubProperties("");
    return root;
}

}  // namespace

TEST(WorkspaceFile, RoundTripKeepsEverything) {
    const Properties root = sample();
    Properties back;
    std::string error;
    int version = 0;
    ASSERT_TRUE(WorkspaceFile::fromText(WorkspaceFile::toText(root), back, error, &version)) << error;
    EXPECT_EQ(version, WorkspaceFile::kFormatVersion);
    EXPECT_EQ(back, root);
    double nan = 0;
    ASSERT_TRUE(back.param("nan", nan));
    EXPECT_TRUE(std::isnan(nan));

    TestSupport::TempFiles files;
    ASSERT_TRUE(WorkspaceFile::save(root, files.path("w.xml"), error)) << error;
    Properties loaded;
    ASSERT_TRUE(WorkspaceFile::load(files.path("w.xml"), loaded, error)) << error;
    EXPECT_EQ(loaded, root);
}

TEST(WorkspaceFile, MalformedFilesNameTheLineAndChangeNothing) {
    const std::string good = WorkspaceFile::toText(sample());
    struct Case {
        std::string text;
        std::string errorPiece;
    };
    std::string truncated = good.substr(0, good.size() / 2);
    std::string newer = good;
    newer.replace(newer.find("version=\"1\""), 11, "version=\"99\"");
    std::string badParam = good;
    badParam.replace(badParam.find("<param name=\"number\""), 20, "<param nom=\"number\"");
    const std::vector<Case> cases = {
        {truncated, "line "},
        {"", "line 1"},
        {"<?xml version=\"1.0\"?>\n<other/>\n", "<workspace>"},
        {newer, "newer"},
        {badParam, "needs a name"},
        {"<workspace version=\"1\">\n<properties name=\"\">\n<bogus/>\n</properties>\n</workspace>\n",
         "line 3"},
    };
    for (const Case& c : cases) {
        Properties target = sample();
        std::string error;
        EXPECT_FALSE(WorkspaceFile::fromText(c.text, target, error)) << c.text;
        EXPECT_NE(error.find(c.errorPiece), std::string::npos) << error;
        EXPECT_EQ(error.rfind("line ", 0), 0u) << error;
        EXPECT_EQ(target, sample());
    }
    Properties target;
    std::string error;
    EXPECT_FALSE(WorkspaceFile::load("/nonexistent/w.xml", target, error));
    EXPECT_NE(error.find("/nonexistent/w.xml"), std::string::npos);
}
