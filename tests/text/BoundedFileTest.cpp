// Whole-file reads with a ceiling that holds while reading, whatever the file is.
#include "text/BoundedFile.h"

#include "support/FifoWriter.h"
#include "support/TempFiles.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace Halvoren;

TEST(BoundedFile, StopsAtTheLimitWhateverTheFileIs) {
    TestSupport::TempFiles files;
    constexpr std::size_t kLimit = 1000;

    const BoundedFile::Result exact =
        BoundedFile::read(files.write("exact", std::string(kLimit, 'a')), kLimit);
    EXPECT_EQ(exact.outcome, BoundedFile::Outcome::Read);
    EXPECT_EQ(exact.text, std::string(kLimit, 'a'));
    const std::string over = files.write("over", std::string(kLimit + 1, 'a'));
    EXPECT_EQ(BoundedFile::read(over, kLimit).outcome, BoundedFile::Outcome::TooLarge);

    // Only a regular file is read: a device may never end, a FIFO without a writer would hold the reader
    // in open() for ever, one with a writer until it stops. Each is refused at once, named.
    const BoundedFile::Result zero = BoundedFile::read("/dev/zero", kLimit);
    EXPECT_EQ(zero.outcome, BoundedFile::Outcome::NotRegular);
    EXPECT_EQ(BoundedFile::message(zero, "/dev/zero", kLimit),
              "cannot read /dev/zero: it is a device, not a regular file");
    const std::string idle = files.path("idle-fifo");
    ASSERT_EQ(::mkfifo(idle.c_str(), 0600), 0);
    EXPECT_EQ(BoundedFile::message(BoundedFile::read(idle, kLimit), "f", kLimit),
              "cannot read f: it is a FIFO, not a regular file");
    {
        const TestSupport::FifoWriter fifo(files.path("short-fifo"), 10, 'b');
        EXPECT_EQ(BoundedFile::read(fifo.path(), kLimit).outcome, BoundedFile::Outcome::NotRegular);
    }
    Halvoren::BoundedFile::Result refused;
    EXPECT_EQ(BoundedFile::openRegular(idle, refused), -1);
    EXPECT_EQ(refused.reason, "a FIFO");

    const BoundedFile::Result folder = BoundedFile::read(files.path(""), kLimit);
    EXPECT_EQ(folder.outcome, BoundedFile::Outcome::Folder);
    EXPECT_EQ(BoundedFile::message(folder, "d", kLimit), "cannot read d: it is a folder");
    const BoundedFile::Result missing = BoundedFile::read(files.path("missing"), kLimit);
    EXPECT_EQ(missing.outcome, BoundedFile::Outcome::CannotOpen);
    EXPECT_NE(BoundedFile::message(missing, "m", kLimit).find("No such file"), std::string::npos);
    EXPECT_EQ(BoundedFile::message(BoundedFile::read(over, kLimit), "over", 64 * 1024 * 1024),
              "over is larger than 64 MB");
}
