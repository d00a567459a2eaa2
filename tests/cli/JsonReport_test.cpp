#include "cli/JsonReport.h"

#include <gtest/gtest.h>

using namespace Cli;

// Server texts need not be UTF-8, nor build texts numbers; neither may
// stop the document.
TEST(JsonReport, BuildsByNumberAndServerTextThatIsNotUtf8)
{
    JsonReport report;
    report.Add("builds",
               _json_builds({{"100", "2.9"}, {"20", "\xff"}, {"abc", "1.0"}, {"4294967296", "1"}},
                            0x40F5849A, false));
    EXPECT_EQ(report.Text(), "{\n  \"serial\": \"40F5849A\",\n  \"outcome\": \"ok\",\n"
                             "  \"builds\": [\n    {\n      \"build\": 20,\n"
                             "      \"version\": \"\xEF\xBF\xBD\"\n    },\n    {\n"
                             "      \"build\": 100,\n      \"version\": \"2.9\"\n    }\n  ]\n}\n");
}
