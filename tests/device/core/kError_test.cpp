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
    for (kErr err = 0; err <= kErrLast; err++)
        table << err << " " << kError_GetErrorText(err) << " " << kError_GetErrorDescription(err)
              << "\n";
    std::ifstream expectedFile(UPDATER_TEST_SOURCE_DIR "/tests/device/core/kError_table.txt");
    ASSERT_TRUE(expectedFile.good());
    std::stringstream expected;
    expected << expectedFile.rdbuf();
    EXPECT_EQ(table.str(), expected.str());
}

TEST(kError, OutOfRangeCodesGiveUnknownTexts)
{
    for (kErr err : {-1, kErrLast + 1, 99, INT_MAX, INT_MIN}) {
        EXPECT_STREQ(kError_GetErrorText(err), "kErrUnknown") << err;
        EXPECT_STREQ(kError_GetErrorDescription(err), "Unknown error") << err;
    }
    EXPECT_STREQ(kError_GetErrorText(18), "kErrTimeout");
}
