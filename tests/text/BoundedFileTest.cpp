// Whole-file reads with a ceiling that holds while reading, whatever the file is.
#include "text/BoundedFile.h"

#include "support/FifoWriter.h"
#include "support/TempFiles.h"

#include <gtest/gtest.h>

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

    // Neither claims a size: the limit holds while reading.
    EXPECT_EQ(BoundedFile::read("/dev/zero", kLimit).outcome, BoundedFile::Outcome::TooLarge);
    {
        const TestSupport::FifoWriter fifo(files.path("fifo"), 1024 * 1024);
        EXPECT_EQ(BoundedFile::read(fifo.path(), kLimit).outcome, BoundedFile::Outcome::TooLarge);
    }
    {
        const TestSupport::FifoWriter fifo(files.path("short-fifo"), 10, 'b');
        const BoundedFile::Result read = BoundedFile::read(fifo.path(), kLimit);
        EXPECT_EQ(read.outcome, BoundedFile::Outcome::Read);
        EXPECT_EQ(read.text, std::string(10, 'b'));
    }

    const BoundedFile::Result folder = BoundedFile::read(files.path(""), kLimit);
    EXPECT_EQ(folder.outcome, BoundedFile::Outcome::Folder);
    EXPECT_EQ(BoundedFile::message(folder, "d", kLimit), "cannot read d: it is a folder");
    const BoundedFile::Result missing = BoundedFile::read(files.path("missing"), kLimit);
    EXPECT_EQ(missing.outcome, BoundedFile::Outcome::CannotOpen);
    EXPECT_NE(BoundedFile::message(missing, "m", kLimit).find("No such file"), std::string::npos);
    EXPECT_EQ(BoundedFile::message(BoundedFile::read(over, kLimit), "over", 64 * 1024 * 1024),
              "over is larger than 64 MB");
}
