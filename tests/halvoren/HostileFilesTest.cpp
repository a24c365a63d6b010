// Files that are not what a command expects: special files, folders, endless or oversized input.
#include "AppProcess.h"
#include "support/FifoWriter.h"
#include "support/TempFiles.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

using TestSupport::AppRun;
using TestSupport::runApp;

namespace {

const QString kLegacy = HALVOREN_SOURCE_DIR "/data/workspaces/legacy-spytrack.xml";

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

mode_t typeOf(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? (status.st_mode & S_IFMT) : 0;
}

}  // namespace

TEST(HostileFiles, SavingAWorkspaceReplacesOnlyARegularFile) {
    TestSupport::TempFiles files;
    const std::string fifo = files.path("fifo");
    const std::string device = files.path("null");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::mknod(device.c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);  // a copy of /dev/null

    for (const std::string& target : {fifo, device}) {
        const AppRun convert = runApp({"convert", kLegacy, q(target)});
        EXPECT_EQ(convert.exitCode, 3) << target;
        EXPECT_NE(convert.err.find("cannot write " + target + ": it is not a regular file"),
                  std::string::npos)
            << convert.err;
    }
    const AppRun stream = runApp({"stream", "--frames", "1", "--quiet", "--save-workspace", q(fifo)});
    EXPECT_EQ(stream.exitCode, 3);
    EXPECT_NE(stream.err.find("cannot write " + fifo + ": it is not a regular file"), std::string::npos)
        << stream.err;
    EXPECT_EQ(typeOf(fifo), S_IFIFO);
    EXPECT_EQ(typeOf(device), S_IFCHR);
}

TEST(HostileFiles, ConvertRefusesWhatIsNoWorkspaceNamingTheCause) {
    TestSupport::TempFiles files;
    const std::string out = files.path("out.xml");

    const std::string folder = files.path("folder");
    std::filesystem::create_directory(folder);
    const AppRun fromFolder = runApp({"convert", q(folder), q(out)});
    EXPECT_EQ(fromFolder.exitCode, 3);
    EXPECT_EQ(fromFolder.err, "halvoren: cannot read " + folder + ": it is a folder, not a workspace file\n");

    // Refused by its size, not read whole and then found malformed.
    const std::string big = files.write("big.xml", "");
    std::filesystem::resize_file(big, 100 * 1024 * 1024);
    const AppRun fromBig = runApp({"convert", q(big), q(out)});
    EXPECT_EQ(fromBig.exitCode, 3);
    EXPECT_EQ(fromBig.err, "halvoren: " + big + " is larger than 64 MB: not a workspace\n");
    {
        // A FIFO is no file to read, whatever its writer sends: refused at once.
        const TestSupport::FifoWriter fifo(files.path("fifo"), 65 * 1024 * 1024);
        const AppRun fromFifo = runApp({"convert", q(fifo.path()), q(out)});
        EXPECT_EQ(fromFifo.exitCode, 3);
        EXPECT_EQ(fromFifo.err,
                  "halvoren: cannot read " + fifo.path() + ": it is a FIFO, not a regular file\n");
    }

    // A version beyond an int would be read as 0, get every conversion and come out as 34.
    std::ifstream legacy(kLegacy.toStdString());
    std::stringstream text;
    text << legacy.rdbuf();
    std::string huge = text.str();
    const std::string version = "key=\"workspaceVersion\" value=\"12\"";
    ASSERT_NE(huge.find(version), std::string::npos);
    huge.replace(huge.find(version), version.size(), "key=\"workspaceVersion\" value=\"3000000000\"");
    const AppRun fromHuge = runApp({"convert", q(files.write("huge.xml", huge)), q(out)});
    EXPECT_EQ(fromHuge.exitCode, 3);
    EXPECT_NE(fromHuge.err.find("workspace version '3000000000' is not a whole number"), std::string::npos)
        << fromHuge.err;
    EXPECT_FALSE(std::filesystem::exists(out));
}

TEST(HostileFiles, AnEndlessMarkerFileIsRefusedAtOnce) {
    // A device may never end: read, it would be read for ever.
    TestSupport::TempFiles files;
    const QStringList commands[] = {
        {"stream", "--frames", "1", "--marker", "/dev/zero"},
        // Here the ids the markers take are read first.
        {"define-marker", "--output", q(files.path("new.ini")), "--marker", "/dev/zero"},
    };
    for (const QStringList& args : commands) {
        const AppRun run = runApp(args);
        EXPECT_EQ(run.exitCode, 3) << args.join(' ').toStdString();
        EXPECT_NE(run.err.find("cannot use the marker file /dev/zero: it is a device, not a regular file"),
                  std::string::npos)
            << run.err;
    }
}

TEST(HostileFiles, EveryInputFileThatIsNoRegularFileIsRefusedAtOnceWithItsName) {
    // A FIFO that no program writes holds a reader in open() for ever; a device may never end; a folder
    // holds no text. Each, given as any input file to any command, is refused before the camera opens.
    TestSupport::TempFiles files;
    const std::string fifo = files.path("fifo.ini");
    const std::string device = files.path("null.ini");
    const std::string folder = files.path("folder.ini");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::mknod(device.c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);  // a copy of /dev/null
    std::filesystem::create_directory(folder);
    const std::pair<std::string, std::string> kinds[] = {{fifo, "is a FIFO, not a regular file"},
                                                         {device, "is a device, not a regular file"},
                                                         {folder, "is a folder"}};
    for (const auto& [path, kind] : kinds) {
        const QString p = q(path);
        const QStringList commands[] = {
            {"stream", "--frames", "1", "--marker", p},
            {"pivot", "--frames", "10", "--marker", p},
            {"assess", "--frames", "10", "--marker", p},
            {"stream", "--frames", "1", "--workspace", p},
            {"stream", "--replay", p},
            {"export", p},
            {"stream", "--frames", "1", "--reference", "reference", "--registration", p},
            {"register", "--reference", "reference", "--pointer", "pointer", "--landmarks", p, "--output",
             q(files.path("image.tfm"))},
        };
        for (const QStringList& args : commands) {
            const AppRun run = runApp(args);
            EXPECT_EQ(run.exitCode, 3) << args.join(' ').toStdString() << '\n' << run.err;
            EXPECT_NE(run.err.find(path), std::string::npos) << run.err;
            EXPECT_NE(run.err.find(kind.substr(3)), std::string::npos) << run.err;
        }
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("FTK_SIMULATOR_SETTINGS", p);
        const AppRun settings = runApp({"stream", "--frames", "1"}, env);
        EXPECT_EQ(settings.exitCode, 3) << settings.err;
        EXPECT_NE(settings.err.find("cannot use the camera settings file " + path +
                                    " (FTK_SIMULATOR_SETTINGS): it " + kind),
                  std::string::npos)
            << settings.err;
    }
    // A registration is written beside and renamed into place: it must not replace a FIFO or a device.
    for (const std::string& target : {fifo, device}) {
        const AppRun run = runApp({"register", "--reference", "reference", "--pointer", "pointer",
                                   "--landmarks", q(folder), "--output", q(target)});
        EXPECT_EQ(run.exitCode, 3) << run.err;
        EXPECT_NE(run.err.find(target + " is not a regular file"), std::string::npos) << run.err;
    }
    EXPECT_EQ(typeOf(fifo), S_IFIFO);
    EXPECT_EQ(typeOf(device), S_IFCHR);
}
