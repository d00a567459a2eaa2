#include "device/core/internal/kMutex.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

static bool sUnderThreadSanitizer()
{
#if defined(__SANITIZE_THREAD__)
    return true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

TEST(kMutex, NamesUpTo255Characters)
{
    std::string name(255, 'n');
    kMutex* m = kMutex_Create(name.c_str());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(std::string(kMutex_Identifier(m)), name);
    EXPECT_EQ(kMutex_Destroy(&m), kErrNone);
    EXPECT_EQ(m, nullptr);
    name += 'n';
    EXPECT_EQ(kMutex_Create(name.c_str()), nullptr);
    m = kMutex_Create(nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(kMutex_Identifier(m), "");
    (void)kMutex_Destroy(&m);
    EXPECT_EQ(kMutex_Destroy(&m), kErrParam);
}

// Misuse is reported instead of hanging the process.
TEST(kMutex, ReportsRelockingAndForeignUnlock) K_NO_THREAD_SAFETY_ANALYSIS
{
    if (sUnderThreadSanitizer())
        GTEST_SKIP() << "ThreadSanitizer reports the deliberate misuse itself";
    kMutex* m = kMutex_Create("m");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(kMutex_Lock(m), kErrNone);
    EXPECT_EQ(kMutex_Lock(m), kErrDuplicate);
    kErr tried = kErrNone, unlocked = kErrNone;
    std::thread other([&]() K_NO_THREAD_SAFETY_ANALYSIS {
        tried = kMutex_TryLock(m);
        unlocked = kMutex_Unlock(m);
    });
    other.join();
    EXPECT_EQ(tried, kErrBusy);
    EXPECT_EQ(unlocked, kErrPermission);
    EXPECT_EQ(kMutex_Unlock(m), kErrNone);
    EXPECT_EQ(kMutex_Unlock(m), kErrPermission);
    EXPECT_EQ(kMutex_TryLock(m), kErrNone);
    EXPECT_EQ(kMutex_Unlock(m), kErrNone);
    EXPECT_EQ(kMutex_Lock(nullptr), kErrParam);
    (void)kMutex_Destroy(&m);
}
