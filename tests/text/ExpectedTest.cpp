#include "text/Expected.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using Halvoren::Error;
using Halvoren::ErrorKind;
using Halvoren::Expected;

namespace {

Expected<std::unique_ptr<int>> parsed(const std::string& text) {
    if (text.empty()) {
        return Halvoren::makeError(ErrorKind::BadInput, "nothing to read");
    }
    return std::make_unique<int>(static_cast<int>(text.size()));
}

}  // namespace

TEST(Expected, CarriesAMoveOnlyValueOrTheErrorWithItsKind) {
    auto good = parsed("abc");
    ASSERT_TRUE(good);
    EXPECT_EQ(**good, 3);
    const std::unique_ptr<int> taken = std::move(good).value();
    EXPECT_EQ(*taken, 3);

    const auto bad = parsed("");
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().kind, ErrorKind::BadInput);
    EXPECT_EQ(bad.error().message, "nothing to read");

    const Expected<void> done;
    EXPECT_TRUE(done);
    const Expected<void> failed = Error{ErrorKind::WriteFailed, "disk full"};
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind, ErrorKind::WriteFailed);
}
