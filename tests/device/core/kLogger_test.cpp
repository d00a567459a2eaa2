#include "device/core/kLogger.h"
#include "device/core/kTime.h"
#include "tests/device/core/test_paths.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>

class kLoggerTest : public ScratchDirTest
{
};

static std::atomic<int> gCalls{0};
static std::atomic<kLogger*> gSelf{nullptr};
static std::atomic<int> gSelfDisable{-1};
static std::atomic<int> gSelfDestroy{-1};

static void sWriteLine(kFile* file, int32_t identifier)
{
    if (gCalls.fetch_add(1) < 3)
        (void)kFile_Printf(file, "line %d\n", identifier);
    kTime_MSSleep(1);
}

static void sDisableFromWorker(kFile*, int32_t)
{
    kLogger* self = gSelf.load();
    if (self && gSelfDisable.load() < 0) {
        gSelfDisable = kLogger_Disable(self);
        kLogger* copy = self;
        gSelfDestroy = kLogger_Destroy(&copy);
    }
    kTime_MSSleep(1);
}

TEST_F(kLoggerTest, WorkerRunsUntilDisabledAndIsJoined)
{
    gCalls = 0;
    kLogger* logger = kLogger_Create(7, sWriteLine, Path("log").c_str());
    ASSERT_NE(logger, nullptr);
    EXPECT_EQ(gCalls.load(), 0) << "created disabled";
    EXPECT_EQ(kLogger_Enable(logger), kErrNone);
    EXPECT_EQ(kLogger_Enable(logger), kErrNone);
    while (gCalls.load() < 5)
        kTime_MSSleep(1);
    EXPECT_EQ(kLogger_Disable(logger), kErrNone);
    int calls = gCalls.load();
    kTime_MSSleep(20);
    EXPECT_EQ(gCalls.load(), calls) << "no calls after the join";
    EXPECT_EQ(kLogger_Disable(logger), kErrNone);
    EXPECT_EQ(kLogger_Destroy(&logger), kErrNone);
    EXPECT_EQ(logger, nullptr);

    std::ifstream in(Path("log"));
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "line 7\nline 7\nline 7\n");
}

TEST_F(kLoggerTest, WorkerCannotStopOrFreeItself)
{
    kLogger* logger = kLogger_Create(1, sDisableFromWorker, Path("log").c_str());
    ASSERT_NE(logger, nullptr);
    gSelfDisable = -1;
    gSelfDestroy = -1;
    gSelf = logger;
    EXPECT_EQ(kLogger_Enable(logger), kErrNone);
    while (gSelfDestroy.load() < 0)
        kTime_MSSleep(1);
    EXPECT_EQ(gSelfDisable.load(), kErrNone);
    EXPECT_EQ(gSelfDestroy.load(), kErrBusy);
    gSelf = nullptr;
    EXPECT_EQ(kLogger_Destroy(&logger), kErrNone);
    EXPECT_EQ(logger, nullptr);
}

TEST_F(kLoggerTest, CreateNeedsAWritableFile)
{
    EXPECT_EQ(kLogger_Create(1, sWriteLine, Path("no/such/dir/log").c_str()), nullptr);
    EXPECT_EQ(kLogger_Create(1, nullptr, Path("log").c_str()), nullptr);
    EXPECT_EQ(kLogger_Enable(nullptr), kErrParam);
    kLogger* none = nullptr;
    EXPECT_EQ(kLogger_Destroy(&none), kErrNone);
}
