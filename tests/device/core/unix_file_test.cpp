#include "device/core/kFile.h"
#include "tests/device/core/test_paths.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

class kFileTest : public ScratchDirTest
{
protected:
    std::string WriteText(const char* name, const char* text)
    {
        std::string path = Path(name);
        FILE* f = fopen(path.c_str(), "wb");
        fputs(text, f);
        fclose(f);
        return path;
    }
};

TEST_F(kFileTest, OpenRefusesMissingFilesBadModesAndLongPaths)
{
    EXPECT_EQ(kFile_Open(Path("missing").c_str(), kFileModeRead), nullptr);
    EXPECT_EQ(kFile_Open(Path("x").c_str(), 3), nullptr);
    EXPECT_EQ(kFile_Open("", kFileModeWrite), nullptr);
    EXPECT_EQ(kFile_Open(nullptr, kFileModeWrite), nullptr);
    std::string longPath(kFILE_PATH_MAX + 1, 'a');
    EXPECT_EQ(kFile_Open(longPath.c_str(), kFileModeWrite), nullptr);
    EXPECT_FALSE(kFile_Exists(longPath.c_str()));
    EXPECT_FALSE(kFile_Exists(dir.c_str())) << "a directory is not a file";
}

TEST_F(kFileTest, AppendModeCreatesAndPositionsAtTheEnd)
{
    std::string path = Path("log");
    kFile* f = kFile_Open(path.c_str(), kFileModeAppend);
    ASSERT_NE(f, nullptr);
    uint64_t position = 99;
    EXPECT_EQ(kFile_GetPosition(f, &position), kErrNone);
    EXPECT_EQ(position, 0u) << "position 0 is written too";
    EXPECT_EQ(kFile_Printf(f, "%s=%d\n", "a", 1), kErrNone);
    EXPECT_EQ(kFile_Close(&f), kErrNone);
    EXPECT_EQ(f, nullptr);

    f = kFile_Open(path.c_str(), kFileModeAppend);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(kFile_GetPosition(f, &position), kErrNone);
    EXPECT_EQ(position, 4u);
    uint64_t size = 0;
    EXPECT_EQ(kFile_GetSize(f, &size), kErrNone);
    EXPECT_EQ(size, 4u);
    (void)kFile_Close(&f);
}

TEST_F(kFileTest, ReadLineHonoursShortBuffers)
{
    std::string path = WriteText("lines", "12345678\nABCDEFGHIJKL\nlast");
    kFile* f = kFile_Open(path.c_str(), kFileModeRead);
    ASSERT_NE(f, nullptr);
    char buffer[10];
    uint32_t length = 0;
    EXPECT_EQ(kFile_ReadLine(f, buffer, sizeof(buffer), &length), kErrNone);
    EXPECT_STREQ(buffer, "12345678\n");
    EXPECT_EQ(length, 9u);
    EXPECT_EQ(kFile_ReadLine(f, buffer, sizeof(buffer), &length), kErrOverrun);
    EXPECT_STREQ(buffer, "ABCDEFGHI");
    EXPECT_EQ(kFile_ReadLine(f, buffer, sizeof(buffer), &length), kErrNone);
    EXPECT_STREQ(buffer, "JKL\n");
    EXPECT_EQ(kFile_ReadLine(f, buffer, sizeof(buffer), &length), kErrNone);
    EXPECT_STREQ(buffer, "last");
    EXPECT_EQ(kFile_ReadLine(f, buffer, sizeof(buffer), &length), kErrEOF);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(length, 0u);
    (void)kFile_Close(&f);
}

TEST_F(kFileTest, SeekStaysWithinTheFile)
{
    std::string path = WriteText("ten", "0123456789");
    kFile* f = kFile_Open(path.c_str(), kFileModeRead);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(kFile_Seek(f, 10, kFileSeekStart), kErrNone);
    EXPECT_EQ(kFile_Seek(f, 11, kFileSeekStart), kErrRange);
    EXPECT_EQ(kFile_Seek(f, 1, kFileSeekEnd), kErrRange);
    EXPECT_EQ(kFile_Seek(f, -1, kFileSeekStart), kErrRange);
    EXPECT_EQ(kFile_Seek(f, -10, kFileSeekEnd), kErrNone);
    EXPECT_EQ(kFile_Seek(f, 3, kFileSeekCurrent), kErrNone);
    char c = 0;
    uint64_t count = 0;
    EXPECT_EQ(kFile_Read(f, &c, 1, &count), kErrNone);
    EXPECT_EQ(c, '3');
    EXPECT_EQ(kFile_Seek(f, -5, kFileSeekCurrent), kErrRange);
    (void)kFile_Close(&f);
}

TEST_F(kFileTest, ModesAreEnforced)
{
    std::string path = WriteText("ro", "x");
    kFile* f = kFile_Open(path.c_str(), kFileModeRead);
    ASSERT_NE(f, nullptr);
    uint64_t count = 7;
    EXPECT_EQ(kFile_Write(f, "y", 1, &count), kErrMode);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(kFile_Printf(f, "y"), kErrMode);
    EXPECT_EQ(kFile_SetUnbuffered(f), kErrMode);
    char c;
    EXPECT_EQ(kFile_Read(f, &c, 1, &count), kErrNone);
    EXPECT_EQ(kFile_Read(f, &c, 1, &count), kErrEOF);
    EXPECT_EQ(kFile_Read(f, &c, 0, &count), kErrNone);
    (void)kFile_Close(&f);

    f = kFile_Open(path.c_str(), kFileModeWrite);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(kFile_Read(f, &c, 1, &count), kErrMode);
    (void)kFile_Close(&f);
}

TEST_F(kFileTest, InvalidHandlesAreRefused)
{
    kFile* none = nullptr;
    EXPECT_EQ(kFile_Close(&none), kErrParam);
    EXPECT_EQ(kFile_Close(nullptr), kErrParam);
    uint64_t size;
    EXPECT_EQ(kFile_GetSize(nullptr, &size), kErrParam);
    EXPECT_EQ(kFile_Seek(nullptr, 0, kFileSeekStart), kErrParam);
}

TEST_F(kFileTest, WriteFailsWhenNotEveryByteLands)
{
    kFile* f = kFile_Open("/dev/full", kFileModeWrite);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(kFile_SetUnbuffered(f), kErrNone);
    uint64_t count = 0;
    EXPECT_EQ(kFile_Write(f, "abc", 3, &count), kErrIO);
    (void)kFile_Close(&f);

    // A buffered write only fails when the data is flushed: the close says so.
    f = kFile_Open("/dev/full", kFileModeWrite);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(kFile_Printf(f, "abc"), kErrNone);
    EXPECT_EQ(kFile_Close(&f), kErrIO);
    EXPECT_EQ(f, nullptr);
}

TEST_F(kFileTest, DeleteReportsWhatWentWrong)
{
    std::string path = WriteText("gone", "x");
    EXPECT_EQ(kFile_Delete(path.c_str()), kErrNone);
    EXPECT_EQ(kFile_Delete(path.c_str()), kErrNotFound);
    EXPECT_EQ(kFile_Delete(nullptr), kErrParam);
    std::string longPath(kFILE_PATH_MAX + 1, 'a');
    EXPECT_EQ(kFile_Delete(longPath.c_str()), kErrFileNameLength);
}

TEST_F(kFileTest, TemporaryFileSitsBesideItsTargetAndReplacesIt)
{
    std::string target = WriteText("data.bird", "old");
    char first[kFILE_PATH_MAX];
    char second[kFILE_PATH_MAX];
    kFile* a = kFile_OpenTemporary(target.c_str(), first, sizeof(first));
    kFile* b = kFile_OpenTemporary(target.c_str(), second, sizeof(second));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_STRNE(first, second);
    EXPECT_EQ(std::string(first).rfind(Path(".data.bird."), 0), 0u) << first;

    struct stat st;
    ASSERT_EQ(stat(first, &st), 0);
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);

    EXPECT_EQ(kFile_Printf(a, "new"), kErrNone);
    EXPECT_EQ(kFile_Sync(a), kErrNone);
    EXPECT_EQ(kFile_Close(&a), kErrNone);
    EXPECT_EQ(kFile_Rename(first, target.c_str()), kErrNone);
    EXPECT_FALSE(kFile_Exists(first));
    kFile* f = kFile_Open(target.c_str(), kFileModeRead);
    char text[8] = {0};
    uint64_t count = 0;
    EXPECT_EQ(kFile_Read(f, text, sizeof(text) - 1, &count), kErrNone);
    EXPECT_STREQ(text, "new");
    (void)kFile_Close(&f);
    (void)kFile_Close(&b);
    (void)kFile_Delete(second);
}

TEST_F(kFileTest, TemporaryFileFailuresLeaveNothingBehind)
{
    char path[kFILE_PATH_MAX];
    EXPECT_EQ(kFile_OpenTemporary(Path("missing/x").c_str(), path, sizeof(path)), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_STREQ(path, "");
    char tiny[8];
    EXPECT_EQ(kFile_OpenTemporary(Path("x").c_str(), tiny, sizeof(tiny)), nullptr);
    EXPECT_EQ(kFile_OpenTemporary(nullptr, path, sizeof(path)), nullptr);

    // The name of a target in the working directory has no directory part.
    char cwd[kFILE_PATH_MAX];
    ASSERT_EQ(kDirectory_CWD(cwd, sizeof(cwd)), kErrNone);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    kFile* f = kFile_OpenTemporary("plain", path, sizeof(path));
    EXPECT_EQ(std::string(path).rfind(".plain.", 0), 0u) << path;
    (void)kFile_Close(&f);
    (void)kFile_Delete(path);
    ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(kFileTest, SyncAndRenameReportFailures)
{
    std::string path = WriteText("r", "x");
    kFile* f = kFile_Open(path.c_str(), kFileModeRead);
    EXPECT_EQ(kFile_Sync(f), kErrMode);
    (void)kFile_Close(&f);
    EXPECT_EQ(kFile_Sync(nullptr), kErrParam);

    f = kFile_Open("/dev/full", kFileModeWrite);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(kFile_Printf(f, "abc"), kErrNone);
    EXPECT_EQ(kFile_Sync(f), kErrIO) << "the flush fails on a full device";
    (void)kFile_Close(&f);

    EXPECT_EQ(kFile_Rename(Path("none").c_str(), Path("other").c_str()), kErrNotFound);
    EXPECT_EQ(kFile_Rename(nullptr, path.c_str()), kErrParam);
    ASSERT_EQ(mkdir(Path("d").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(Path("d/inner").c_str(), 0755), 0);
    EXPECT_NE(kFile_Rename(path.c_str(), Path("d").c_str()), kErrNone);
    EXPECT_TRUE(kFile_Exists(path.c_str()));
}

TEST_F(kFileTest, CommitReplacesTheTargetOrLeavesItAlone)
{
    std::string target = WriteText("t", "old");
    char temporary[kFILE_PATH_MAX];
    kFile* f = kFile_OpenTemporary(target.c_str(), temporary, sizeof(temporary));
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(kFile_Printf(f, "discarded"), kErrNone);
    EXPECT_EQ(kFile_CommitTemporary(&f, temporary, target.c_str(), kErrWrite), kErrWrite);
    EXPECT_EQ(f, nullptr);
    EXPECT_FALSE(kFile_Exists(temporary));

    f = kFile_OpenTemporary(target.c_str(), temporary, sizeof(temporary));
    ASSERT_EQ(kFile_Printf(f, "new"), kErrNone);
    EXPECT_EQ(kFile_CommitTemporary(&f, temporary, target.c_str(), kErrNone), kErrNone);
    EXPECT_FALSE(kFile_Exists(temporary));
    f = kFile_Open(target.c_str(), kFileModeRead);
    char text[8] = {0};
    ASSERT_EQ(kFile_Read(f, text, sizeof(text) - 1, nullptr), kErrNone);
    EXPECT_STREQ(text, "new");
    (void)kFile_Close(&f);

    // A rename that fails (over a non-empty directory) removes the
    // temporary file too.
    ASSERT_EQ(mkdir(Path("d").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(Path("d/inner").c_str(), 0755), 0);
    f = kFile_OpenTemporary(Path("d").c_str(), temporary, sizeof(temporary));
    ASSERT_NE(f, nullptr);
    EXPECT_NE(kFile_CommitTemporary(&f, temporary, Path("d").c_str(), kErrNone), kErrNone);
    EXPECT_FALSE(kFile_Exists(temporary));
    EXPECT_TRUE(kDirectory_Exists(Path("d/inner").c_str()));
}
