// Workspace files: round trip, and malformed files refused with the line and nothing changed.
#include "host/Parameter.h"
#include "host/WorkspaceFile.h"

#include "support/FifoWriter.h"
#include "support/LogCapture.h"
#include "support/TempFiles.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

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

TEST(WorkspaceFile, ARefusedValueIsReportedWithItsLine) {
    TestSupport::LogCapture log;
    const std::string text =
        "<?xml version=\"1.0\"?>\n"
        "<workspace version=\"1\">\n"
        "  <properties name=\"Stream\">\n"
        "    <param name=\"queryMode\" value=\"1\"/>\n"
        "    <param name=\"queryMode\" value=\"7\"/>\n"
        "    <param name=\"time\" value=\"20\"/>\n"
        "  </properties>\n"
        "</workspace>\n";
    Properties root;
    std::string error;
    ASSERT_TRUE(WorkspaceFile::fromText(text, root, error)) << error;
    EXPECT_EQ(root.findParam("queryMode")->line, 5);
    EXPECT_EQ(root.findParam("time")->line, 6);

    Configurable stream;
    Parameter<int> queryMode("queryMode", 0, &stream);
    queryMode.setAttribute("values", "None,Belonging to marker,All in marker vicinity,All");
    Parameter<int> time("time", 0, &stream);
    stream.configure(&root);
    EXPECT_EQ(queryMode.value(), 0);
    EXPECT_EQ(time.value(), 20);
    EXPECT_EQ(
        log.count(
            Log::Warning, "Core.Parameter",
            "Refusing value 7 of parameter 'queryMode' at line 5: not the index of one of its 4 values"),
        1);

    // A value set afterwards no longer comes from the file.
    root.setParam("queryMode", 9);
    EXPECT_EQ(root.findParam("queryMode")->line, 0);
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
    // Far deeper than any workspace: refused, not read until the stack runs out.
    std::string deep = "<workspace version=\"1\">\n";
    for (int i = 0; i < 100000; ++i) {
        deep += "<properties>";
    }
    const std::vector<Case> cases = {
        {truncated, "line "},
        {"", "line 1"},
        {"<?xml version=\"1.0\"?>\n<other/>\n", "<workspace>"},
        {newer, "newer"},
        {badParam, "needs a name"},
        {"<workspace version=\"1\">\n<properties name=\"\">\n<bogus/>\n</properties>\n</workspace>\n",
         "line 3"},
        {deep, "line 2: blocks nested deeper"},
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

TEST(WorkspaceFile, EveryTruncationOfAValidFileIsRefusedWithALine) {
    const std::string good = WorkspaceFile::toText(sample());
    const std::size_t end = good.find_last_not_of(" \n") + 1;  // cutting only trailing blanks is harmless
    for (std::size_t cut = 0; cut < end; ++cut) {
        Properties target = sample();
        std::string error;
        EXPECT_FALSE(WorkspaceFile::fromText(good.substr(0, cut), target, error)) << "cut at " << cut;
        EXPECT_EQ(error.rfind("line ", 0), 0u) << error;
        EXPECT_EQ(target, sample());
    }
}

TEST(WorkspaceFile, SavingReplacesOnlyARegularFile) {
    TestSupport::TempFiles files;
    const std::string fifo = files.path("fifo");
    const std::string device = files.path("null");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::mknod(device.c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);  // a copy of /dev/null
    for (const std::string& path : {fifo, device, files.path("")}) {
        std::string error;
        EXPECT_FALSE(WorkspaceFile::save(sample(), path, error)) << path;
        EXPECT_EQ(error.rfind("cannot write " + path + ": it is ", 0), 0u) << error;
    }
    struct stat status {};
    ASSERT_EQ(::stat(fifo.c_str(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
    ASSERT_EQ(::stat(device.c_str(), &status), 0);
    EXPECT_TRUE(S_ISCHR(status.st_mode));
}

TEST(WorkspaceFile, ReadingStopsAtTheLimitAndNamesFolders) {
    TestSupport::TempFiles files;
    Properties target = sample();
    std::string error;
    {
        // A FIFO is no file to read (one without a writer would hold the reader for ever): refused at once.
        const TestSupport::FifoWriter fifo(files.path("fifo"), WorkspaceFile::kMaxFileBytes + 1024 * 1024);
        EXPECT_FALSE(WorkspaceFile::load(fifo.path(), target, error));
        EXPECT_EQ(error, "cannot read " + fifo.path() + ": it is a FIFO, not a regular file");
    }
    EXPECT_FALSE(WorkspaceFile::load(files.path(""), target, error));
    EXPECT_NE(error.find("it is a folder"), std::string::npos) << error;
    EXPECT_EQ(target, sample());
}

TEST(WorkspaceFile, AWorkspaceVersionThatIsNotAWholeNumberInRangeIsRefused) {
    TestSupport::TempFiles files;
    for (const std::string version : {"3000000000", "1e3", "34abc", "-1", "", " 12"}) {
        Properties root = sample();
        root.setAttributes({{"workspaceVersion", version}});
        std::string error;
        ASSERT_TRUE(WorkspaceFile::save(root, files.path("w.xml"), error)) << error;
        Properties target;
        EXPECT_FALSE(WorkspaceFile::load(files.path("w.xml"), target, error)) << version;
        EXPECT_NE(error.find("workspace version '" + version + "' is not a whole number"), std::string::npos)
            << error;
    }
    for (const std::string version : {"0", "12", "2147483647"}) {
        Properties root = sample();
        root.setAttributes({{"workspaceVersion", version}});
        std::string error;
        ASSERT_TRUE(WorkspaceFile::save(root, files.path("w.xml"), error)) << error;
        Properties target;
        EXPECT_TRUE(WorkspaceFile::load(files.path("w.xml"), target, error)) << error;
    }
}
