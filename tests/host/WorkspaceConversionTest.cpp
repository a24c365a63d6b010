// Workspace conversions: which run, in what order, how the version rises, and loading runs them.
#include "host/WorkspaceConversionRegistry.h"
#include "host/WorkspaceFile.h"

#include "support/TempFiles.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace Halvoren;

namespace {

/// A conversion that appends its tag to the workspace's "ran" parameter.
WorkspaceConversionFunction tagging(const std::string& tag, int number) {
    return {tag, number, [tag](Properties& workspace, const Filesystem::Path&) {
                std::string ran;
                workspace.param("ran", ran);
                workspace.setParam("ran", ran + tag);
                return true;
            }};
}

}  // namespace

TEST(WorkspaceConversionRegistry, RunsNeededConversionsInAscendingOrderAndRaisesTheVersion) {
    TestSupport::LogCapture log;
    WorkspaceConversionRegistry registry;
    registry.addConversion(tagging("b", 34));
    registry.addConversion(tagging("a", 12));
    registry.addConversion(tagging("c", 34));
    registry.addConversion({"unchanged", 40, [](Properties&, const Filesystem::Path&) { return false; }});
    registry.addConversion({"throws", 20, [](Properties&, const Filesystem::Path&) -> bool {
                                throw std::runtime_error("bad block");
                            }});
    EXPECT_EQ(registry.currentVersion(), 40);

    Properties legacy("Workspace");
    std::vector<WorkspaceConversionRegistry::Report> ran =
        registry.convert(legacy, Filesystem::Path("w.xml"));
    std::string tags;
    EXPECT_TRUE(legacy.param("ran", tags));
    EXPECT_EQ(tags, "abc");
    ASSERT_EQ(ran.size(), 5u);
    EXPECT_EQ(ran[1].description, "throws");
    EXPECT_FALSE(ran[1].changed);
    EXPECT_EQ(ran[4].number, 40);
    EXPECT_FALSE(ran[4].changed);
    EXPECT_EQ(WorkspaceConversionRegistry::workspaceVersion(legacy), 40);
    EXPECT_EQ(log.count(Log::Error, "WorkspaceConversionRegistry",
                        "Workspace conversion 'throws' failed: bad block"),
              1);

    // Only conversions numbered above the workspace's version run; a current workspace is left alone.
    Properties middle("Workspace");
    WorkspaceConversionRegistry::setWorkspaceVersion(middle, 20);
    EXPECT_EQ(registry.convert(middle, Filesystem::Path()).size(), 3u);
    EXPECT_TRUE(middle.param("ran", tags));
    EXPECT_EQ(tags, "bc");
    const Properties converted = legacy;
    EXPECT_TRUE(registry.convert(legacy, Filesystem::Path()).empty());
    EXPECT_EQ(legacy, converted);

    // Conversions added from a point on can be taken away again.
    const auto from = registry.nextSerial();
    registry.addConversion(tagging("d", 50));
    registry.removeConversions(from, registry.nextSerial());
    EXPECT_EQ(registry.conversions().size(), 5u);
    EXPECT_EQ(registry.conversions().front().number, 12);
}

TEST(WorkspaceConversionRegistry, AConversionThrowingSomethingElseThanAnExceptionIsLoggedLikeAnyFailure) {
    TestSupport::LogCapture log;
    WorkspaceConversionRegistry registry;
    registry.addConversion(tagging("a", 10));
    registry.addConversion({"throws 42", 20, [](Properties&, const Filesystem::Path&) -> bool { throw 42; }});
    registry.addConversion(tagging("b", 30));

    Properties workspace("Workspace");
    const std::vector<WorkspaceConversionRegistry::Report> ran =
        registry.convert(workspace, Filesystem::Path());
    ASSERT_EQ(ran.size(), 3u);
    EXPECT_FALSE(ran[1].changed);
    std::string tags;
    EXPECT_TRUE(workspace.param("ran", tags));
    EXPECT_EQ(tags, "ab");
    EXPECT_EQ(WorkspaceConversionRegistry::workspaceVersion(workspace), 30);
    EXPECT_EQ(log.count(Log::Error, "WorkspaceConversionRegistry",
                        "Workspace conversion 'throws 42' failed: threw an exception of unknown type"),
              1);
}

TEST(WorkspaceFile, LoadingConvertsOldWorkspacesAndKeepsTheFormatVersionApart) {
    WorkspaceConversionRegistry& registry = WorkspaceConversionRegistry::instance();
    const auto from = registry.nextSerial();
    registry.addConversion({"Rename", 34, [](Properties& workspace, const Filesystem::Path& file) {
                                workspace.setParam("file", file.string());
                                return true;
                            }});

    TestSupport::TempFiles files;
    const std::string path = files.path("old.xml");
    std::string error;
    ASSERT_TRUE(WorkspaceFile::save(Properties("Workspace"), path, error)) << error;

    Properties loaded;
    int formatVersion = 0;
    std::vector<WorkspaceConversionRegistry::Report> ran;
    ASSERT_TRUE(WorkspaceFile::load(path, loaded, error, &formatVersion, &ran)) << error;
    EXPECT_EQ(formatVersion, WorkspaceFile::kFormatVersion);
    ASSERT_EQ(ran.size(), 1u);
    EXPECT_EQ(ran[0].description, "Rename");
    EXPECT_TRUE(ran[0].changed);
    std::string file;
    EXPECT_TRUE(loaded.param("file", file));
    EXPECT_EQ(file, path);
    EXPECT_EQ(WorkspaceConversionRegistry::workspaceVersion(loaded), 34);

    // Saved again, the workspace carries its version and is not converted a second time.
    ASSERT_TRUE(WorkspaceFile::save(loaded, path, error)) << error;
    Properties again;
    ASSERT_TRUE(WorkspaceFile::load(path, again, error, nullptr, &ran)) << error;
    EXPECT_TRUE(ran.empty());
    EXPECT_EQ(again, loaded);
    registry.removeConversions(from, registry.nextSerial());
}
