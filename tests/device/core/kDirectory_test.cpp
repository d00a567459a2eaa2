#include "device/core/kDirectory.h"
#include "tests/device/core/test_paths.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <set>
#include <string>

class kDirectoryTest : public ScratchDirTest
{
};

TEST_F(kDirectoryTest, EnsureCreatesEveryMissingParent)
{
    std::string deep = Path("a/b/c");
    EXPECT_EQ(kDirectory_Ensure(deep.c_str(), 0755), kErrNone);
    EXPECT_TRUE(kDirectory_Exists(deep.c_str()));
    EXPECT_TRUE(kDirectory_Exists(Path("a/b").c_str()));
    EXPECT_EQ(kDirectory_Ensure(deep.c_str(), 0755), kErrNone) << "existing directory";
    EXPECT_EQ(kDirectory_Ensure((deep + "/").c_str(), 0755), kErrNone);
}

TEST_F(kDirectoryTest, EnsureRefusesAFileInThePath)
{
    std::string file = Path("plain");
    FILE* f = fopen(file.c_str(), "w");
    fclose(f);
    EXPECT_NE(kDirectory_Ensure(file.c_str(), 0755), kErrNone);
    EXPECT_NE(kDirectory_Ensure((file + "/below").c_str(), 0755), kErrNone);
    EXPECT_NE(kDirectory_Ensure("", 0755), kErrNone);
}

TEST(kDirectoryBuildPath, JoinsWithSingleSeparators)
{
    char buffer[64];
    EXPECT_EQ(kDirectory_BuildPath(buffer, sizeof(buffer), "/home/u", ".kelvane", "updater",
                                   (const char*)nullptr),
              kErrNone);
    EXPECT_STREQ(buffer, "/home/u/.kelvane/updater");
    EXPECT_EQ(kDirectory_JoinPath(buffer, sizeof(buffer), "/a/", "b"), kErrNone);
    EXPECT_STREQ(buffer, "/a/b");
    EXPECT_EQ(kDirectory_JoinPath(buffer, sizeof(buffer), "/a", "/b"), kErrNone);
    EXPECT_STREQ(buffer, "/a/b");
    EXPECT_EQ(kDirectory_BuildPath(buffer, sizeof(buffer), "only", (const char*)nullptr), kErrNone);
    EXPECT_STREQ(buffer, "only");
}

TEST(kDirectoryBuildPath, ReportsOverrunsWithoutWritingPastTheBuffer)
{
    char buffer[8];
    memset(buffer, 'x', sizeof(buffer));
    // The first part must be shorter than size - 1.
    EXPECT_EQ(kDirectory_BuildPath(buffer, 8, "abcdef", (const char*)nullptr), kErrNone);
    EXPECT_EQ(kDirectory_BuildPath(buffer, 8, "abcdefg", (const char*)nullptr), kErrOverrun);
    // "abc" + "/" leaves room 3 for the part, which must be shorter than that.
    EXPECT_EQ(kDirectory_JoinPath(buffer, 8, "abc", "de"), kErrNone);
    EXPECT_STREQ(buffer, "abc/de");
    EXPECT_EQ(kDirectory_JoinPath(buffer, 8, "abc", "def"), kErrOverrun);

    char guarded[16];
    memset(guarded, 'G', sizeof(guarded));
    EXPECT_EQ(kDirectory_JoinPath(guarded, 8, "abcde", "fghijklmn"), kErrOverrun);
    for (size_t i = 8; i < sizeof(guarded); i++)
        EXPECT_EQ(guarded[i], 'G') << i;
}

TEST(kDirectoryBuildPath, RefusesBadArguments)
{
    char buffer[64] = "self";
    EXPECT_EQ(kDirectory_JoinPath(nullptr, 64, "a", "b"), kErrParam);
    EXPECT_EQ(kDirectory_JoinPath(buffer, sizeof(buffer), buffer, "b"), kErrParam);
    EXPECT_EQ(kDirectory_JoinPath(buffer, sizeof(buffer), "a", buffer), kErrParam);
    EXPECT_EQ(kDirectory_BuildPath(buffer, sizeof(buffer), "1", "2", "3", "4", "5", "6", "7", "8",
                                   "9", "10", (const char*)nullptr),
              kErrNone);
    EXPECT_EQ(kDirectory_BuildPath(buffer, sizeof(buffer), "1", "2", "3", "4", "5", "6", "7", "8",
                                   "9", "10", "11", (const char*)nullptr),
              kErrParam);
}

static bool sCollect(const kDirectoryListData* entry, void* reference)
{
    std::set<std::string>* names = (std::set<std::string>*)reference;
    const char* slash = strrchr(entry->path, '/');
    names->insert(std::string(slash ? slash + 1 : entry->path) + (entry->isDirectory ? "/" : ""));
    return true;
}

static bool sStopAtFirst(const kDirectoryListData*, void* reference)
{
    (*(int*)reference)++;
    return false;
}

TEST_F(kDirectoryTest, ListVisitsEveryEntryAndStopsWhenAsked)
{
    ASSERT_EQ(kDirectory_Ensure(Path("sub").c_str(), 0755), kErrNone);
    FILE* f = fopen(Path("file").c_str(), "w");
    fputs("12345", f);
    fclose(f);
    std::set<std::string> names;
    EXPECT_EQ(kDirectory_List(dir.c_str(), sCollect, &names), kErrNone);
    EXPECT_EQ(names, (std::set<std::string>{"./", "../", "sub/", "file"}));
    int calls = 0;
    EXPECT_EQ(kDirectory_List(dir.c_str(), sStopAtFirst, &calls), kErrNone);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(kDirectory_List(Path("none").c_str(), sCollect, &names), kErrNotFound);
}

TEST_F(kDirectoryTest, DeleteTreeRemovesEverything)
{
    std::string top = Path("t");
    ASSERT_EQ(kDirectory_Ensure((top + "/x/y").c_str(), 0755), kErrNone);
    FILE* f = fopen((top + "/x/y/z").c_str(), "w");
    fclose(f);
    EXPECT_EQ(kDirectory_DeleteTree(top.c_str()), kErrNone);
    EXPECT_FALSE(kDirectory_Exists(top.c_str()));
    EXPECT_EQ(kDirectory_DeleteTree(top.c_str()), kErrNotFound);
}

TEST(kDirectory, HomeAndExecutableAreTerminatedWithinTheBuffer)
{
    char small[4];
    memset(small, 'x', sizeof(small));
    EXPECT_EQ(kDirectory_GetHomeDirectory(small, sizeof(small)), kErrOverrun)
        << "a home that does not fit is refused, not cut";
    EXPECT_EQ(small[0], '\0');
    char path[2048];
    EXPECT_EQ(kDirectory_ExecutableFilePath(path, sizeof(path)), kErrNone);
    EXPECT_NE(strstr(path, "updater_tests"), nullptr);
    EXPECT_EQ(kDirectory_ExecutableFilePath(small, sizeof(small)), kErrNone);
    EXPECT_EQ(strlen(small), 3u);
}
