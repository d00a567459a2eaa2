#include "device/core/kFile.h"
#include "tests/device/core/test_paths.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

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
    kFile_Close(&f);
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
    kFile_Close(&f);
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
    kFile_Close(&f);
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
    kFile_Close(&f);

    f = kFile_Open(path.c_str(), kFileModeWrite);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(kFile_Read(f, &c, 1, &count), kErrMode);
    kFile_Close(&f);
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
    kFile_Close(&f);

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
