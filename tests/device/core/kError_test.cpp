#include "device/core/kError.h"

#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <sstream>
#include <string>

// The code table is part of the library's contract: codes are never
// renumbered. The expected table is checked in beside this test.
TEST(kError, TableMatchesCheckedInList)
{
    std::ostringstream table;
    for (int32_t code = 0; code <= kErrLast; code++) {
        kErr err = (kErr)code;
        table << code << " " << kError_GetErrorText(err) << " " << kError_GetErrorDescription(err)
              << "\n";
    }
    std::ifstream expectedFile(UPDATER_TEST_SOURCE_DIR "/tests/device/core/kError_table.txt");
    ASSERT_TRUE(expectedFile.good());
    std::stringstream expected;
    expected << expectedFile.rdbuf();
    EXPECT_EQ(table.str(), expected.str());
}

TEST(kError, OutOfRangeCodesGiveUnknownTexts)
{
    for (int32_t code : {-1, kErrLast + 1, 99, INT_MAX, INT_MIN}) {
        EXPECT_STREQ(kError_GetErrorText((kErr)code), "kErrUnknown") << code;
        EXPECT_STREQ(kError_GetErrorDescription((kErr)code), "Unknown error") << code;
    }
    EXPECT_STREQ(kError_GetErrorText((kErr)18), "kErrTimeout");
}
