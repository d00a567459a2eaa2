#include "device/core/kLog.h"

#include <gtest/gtest.h>

#include <stdio.h>

#include <string>

class LogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        out = tmpfile();
        Log::SetOutput(out);
        Log::DeactivatePackage(0xFFFFFFFF);
    }
    void TearDown() override
    {
        Log::SetOutput(nullptr);
        Log::DeactivatePackage(0xFFFFFFFF);
        fclose(out);
    }
    std::string Written()
    {
        fflush(out);
        std::string text;
        rewind(out);
        int c;
        while ((c = fgetc(out)) != EOF)
            text += (char)c;
        return text;
    }
    FILE* out = nullptr;
};

TEST_F(LogTest, LevelZeroIsAlwaysWritten)
{
    Log::log(0, "always %d\n", 1);
    Log::log(DEBUG_Network, "filtered\n");
    EXPECT_EQ(Written(), "always 1\n");
}

TEST_F(LogTest, PackagesFilterByAnySharedBit)
{
    Log::ActivatePackage(DEBUG_Network | DEBUG_APP);
    Log::log(DEBUG_Network, "a\n");
    Log::log(DEBUG_Network_FIRM, "b\n");
    Log::log(DEBUG_Network_FIRM | DEBUG_APP, "c\n");
    Log::DeactivatePackage(DEBUG_Network);
    Log::log(DEBUG_Network, "d\n");
    EXPECT_EQ(Written(), "a\nc\n");
    EXPECT_EQ(Log::package_bitmask, (uint32_t)DEBUG_APP);
}

TEST_F(LogTest, LongMessagesAreCutNotOverrun)
{
    std::string big(5000, 'x');
    Log::log(0, "%s", big.c_str());
    EXPECT_EQ(Written(), std::string(2047, 'x'));
}

TEST_F(LogTest, NothingWithoutAnOutput)
{
    Log::SetOutput(nullptr);
    Log::log(0, "lost\n");
    Log::SetOutput(out);
    EXPECT_EQ(Written(), "");
}
