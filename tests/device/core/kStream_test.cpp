#include "device/core/kStream.h"
#include "tests/device/core/test_paths.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

namespace
{

// A scripted transport behind the stream procedures: gets hand out queued
// bytes (or a queued error), puts and writes are recorded.
struct Script {
    std::deque<int> input; ///< a byte, or -(kErr) for an error to return once
    kErr whenEmpty = kErrNotReady;
    std::vector<std::vector<uint8_t>> writes;
    std::vector<uint8_t> puts;
    int putFailsAt = -1;
    int deletes = 0;
    kErr deleteResult = kErrNone;
    std::vector<uint32_t> waits;

    void Feed(const std::string& bytes)
    {
        for (unsigned char c : bytes)
            input.push_back(c);
    }
};

kErr ScriptGet(uint8_t* byte, void* ref)
{
    Script* s = (Script*)ref;
    if (s->input.empty())
        return s->whenEmpty;
    int next = s->input.front();
    s->input.pop_front();
    if (next < 0)
        return (kErr)-next;
    *byte = (uint8_t)next;
    return kErrNone;
}

kErr ScriptPut(uint8_t byte, void* ref)
{
    Script* s = (Script*)ref;
    if ((int)s->puts.size() == s->putFailsAt)
        return kErrIO;
    s->puts.push_back(byte);
    return kErrNone;
}

kErr ScriptWrite(const uint8_t* bytes, size_t length, void* ref)
{
    ((Script*)ref)->writes.emplace_back(bytes, bytes + length);
    return kErrNone;
}

kErr ScriptDelete(void* ref)
{
    Script* s = (Script*)ref;
    s->deletes++;
    return s->deleteResult;
}

class kStreamTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        stream = kStream_Create(ScriptGet, ScriptPut, ScriptWrite, ScriptDelete, &script);
        ASSERT_NE(stream, nullptr);
    }
    void TearDown() override { (void)kStream_Destroy(&stream); }

    std::string ReadAll(size_t n)
    {
        std::string out(n, '\0');
        EXPECT_EQ(kStream_Read(stream, &out[0], n), kErrNone);
        return out;
    }

    Script script;
    kStream* stream = nullptr;
};

TEST_F(kStreamTest, RingKeepsItsSizeUpTo511BytesAndGrowsWithThe512th)
{
    for (int i = 0; i < 511; i++)
        ASSERT_EQ(kStreamBufferChar(stream, (uint8_t)i), kErrNone);
    EXPECT_EQ(stream->bufferSize, 512u);
    ASSERT_EQ(kStreamBufferChar(stream, (uint8_t)511), kErrNone);
    EXPECT_EQ(stream->bufferSize, 1024u);
    EXPECT_EQ(stream->bufferCount, 512u);
    for (int i = 0; i < 512; i++) {
        uint8_t byte = 0;
        ASSERT_EQ(kStream_Read(stream, &byte, 1), kErrNone);
        ASSERT_EQ(byte, (uint8_t)i) << "at " << i;
    }
}

TEST_F(kStreamTest, RingGrowingWhileWrappedKeepsTheOrder)
{
    uint32_t next = 0, expect = 0;
    for (; next < 300; next++)
        ASSERT_EQ(kStreamBufferChar(stream, (uint8_t)next), kErrNone);
    for (; expect < 200; expect++) {
        uint8_t byte;
        ASSERT_EQ(kStream_Read(stream, &byte, 1), kErrNone);
        ASSERT_EQ(byte, (uint8_t)expect);
    }
    // 100 held from position 200; 411 more wrap the write position round.
    for (; next < 711; next++)
        ASSERT_EQ(kStreamBufferChar(stream, (uint8_t)next), kErrNone);
    ASSERT_EQ(stream->bufferSize, 512u);
    ASSERT_LT(stream->bufferWritePos, stream->bufferReadPos) << "the ring has wrapped";
    ASSERT_EQ(kStreamBufferChar(stream, (uint8_t)next++), kErrNone);
    EXPECT_EQ(stream->bufferSize, 1024u);
    EXPECT_EQ(stream->bufferReadPos, 0u);
    EXPECT_EQ(stream->bufferWritePos, 512u);
    for (; expect < next; expect++) {
        uint8_t byte;
        ASSERT_EQ(kStream_Read(stream, &byte, 1), kErrNone);
        ASSERT_EQ(byte, (uint8_t)expect) << "at " << expect;
    }
    EXPECT_EQ(kStream_Read(stream, &next, 1), kErrNotReady);
}

TEST_F(kStreamTest, ShortReadIsUndoneAndReadAgain)
{
    script.Feed("ab");
    char out[4] = {'-', '-', '-', '-'};
    EXPECT_EQ(kStream_Read(stream, out, 4), kErrNotReady);
    EXPECT_EQ(std::string(out, 4), "----") << "nothing is copied";
    EXPECT_EQ(stream->bufferCount, 2u);
    script.Feed("cdef");
    EXPECT_EQ(ReadAll(4), "abcd");
    EXPECT_EQ(ReadAll(2), "ef");
}

TEST_F(kStreamTest, EndOfDataCopiesThePartAndOtherErrorsDropIt)
{
    script.Feed("xy");
    script.input.push_back(-kErrEOF);
    char out[4] = {};
    EXPECT_EQ(kStream_Read(stream, out, 4), kErrEOF);
    EXPECT_EQ(std::string(out, 2), "xy");

    script.Feed("z");
    script.input.push_back(-kErrIO);
    EXPECT_EQ(kStream_Read(stream, out, 4), kErrIO);
    EXPECT_EQ(stream->bufferCount, 0u) << "bytes of a failed read are not given back";
}

kErr ScriptWait(uint32_t timeoutMS, void* ref)
{
    Script* s = (Script*)ref;
    s->waits.push_back(timeoutMS);
    return s->input.empty() ? kErrTimeout : kErrNone;
}

TEST_F(kStreamTest, WaitAsksTheProcedureOnlyWhenNothingIsGivenBack)
{
    EXPECT_EQ(kStream_Wait(stream, 0), kErrNone) << "without a procedure it cannot tell";
    EXPECT_FALSE(kStream_CanWait(stream));
    ASSERT_EQ(kStream_SetWait(stream, ScriptWait), kErrNone);
    EXPECT_TRUE(kStream_CanWait(stream));
    EXPECT_EQ(kStream_Wait(stream, 7), kErrTimeout);
    script.Feed("a");
    EXPECT_EQ(kStream_Wait(stream, 8), kErrNone);
    char out[2];
    EXPECT_EQ(kStream_Read(stream, out, 2), kErrNotReady);
    EXPECT_EQ(kStream_Wait(stream, 9), kErrNone) << "the byte given back is there";
    EXPECT_EQ(script.waits, (std::vector<uint32_t>{7, 8}));
    EXPECT_EQ(kStream_Wait(nullptr, 1), kErrParam);
    EXPECT_EQ(kStream_SetWait(nullptr, ScriptWait), kErrParam);
}

TEST_F(kStreamTest, ReadRefusesBadArgumentsAndAMissingGet)
{
    char out[1];
    EXPECT_EQ(kStream_Read(nullptr, out, 1), kErrParam);
    EXPECT_EQ(kStream_Read(stream, nullptr, 1), kErrParam);
    kStream* writeOnly = kStream_Create(nullptr, ScriptPut, nullptr, nullptr, &script);
    EXPECT_EQ(kStream_Read(writeOnly, out, 1), kErrMode);
    EXPECT_EQ(kStream_Write(writeOnly, "ab", 2), kErrNone) << "byte by byte without a write";
    EXPECT_EQ(script.puts.size(), 2u);
    (void)kStream_Destroy(&writeOnly);
    kStream* none = kStream_Create(nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(kStream_Write(none, "a", 1), kErrMode);
    (void)kStream_Destroy(&none);
}

TEST_F(kStreamTest, WriteChoosesPutOrWriteByLength)
{
    EXPECT_EQ(kStream_Write(stream, "a", 1), kErrNone);
    EXPECT_EQ(script.puts, std::vector<uint8_t>{'a'});
    EXPECT_TRUE(script.writes.empty());
    EXPECT_EQ(kStream_Write(stream, "bc", 2), kErrNone);
    ASSERT_EQ(script.writes.size(), 1u);
    EXPECT_EQ(script.writes[0], (std::vector<uint8_t>{'b', 'c'}));
    EXPECT_EQ(kStream_Write(stream, "", 0), kErrNone);
    EXPECT_EQ(script.puts.size() + script.writes.size(), 2u) << "length 0 writes nothing";
    EXPECT_EQ(kStream_Write(stream, nullptr, 1), kErrParam);
}

TEST_F(kStreamTest, PutByPutStopsAtTheFirstFailure)
{
    kStream* s = kStream_Create(nullptr, ScriptPut, nullptr, nullptr, &script);
    script.putFailsAt = 2;
    EXPECT_EQ(kStream_Write(s, "abcd", 4), kErrIO);
    EXPECT_EQ(script.puts, (std::vector<uint8_t>{'a', 'b'}));
    (void)kStream_Destroy(&s);
}

TEST_F(kStreamTest, RecordDelimiterBytesMatchInOrderWhereverTheyStand)
{
    script.Feed("ab\rcd\nxy");
    char out[16] = {};
    uint32_t length = 0;
    ASSERT_EQ(kStream_ReadRecord(stream, out, &length, sizeof(out), "\r\n", 2), kErrNone);
    EXPECT_EQ(std::string(out, length), "abcd");
    EXPECT_EQ(ReadAll(2), "xy");
}

TEST_F(kStreamTest, RecordReadThatStopsShortGivesBackEveryByteInOrder)
{
    script.Feed("ab\rc");
    char out[16] = {};
    uint32_t length = 77;
    EXPECT_EQ(kStream_ReadRecord(stream, out, &length, sizeof(out), "\r\n", 2), kErrNotReady);
    EXPECT_EQ(length, 77u) << "no length on a short record";
    EXPECT_EQ(stream->bufferCount, 4u) << "the matched CR goes back too";
    script.Feed("d\n");
    ASSERT_EQ(kStream_ReadRecord(stream, out, &length, sizeof(out), "\r\n", 2), kErrNone);
    EXPECT_EQ(std::string(out, length), "abcd");
}

TEST_F(kStreamTest, RecordEndsAtItsMaximumOrAtTheEndOfData)
{
    script.Feed("abcdef");
    char out[8] = {};
    uint32_t length = 0;
    ASSERT_EQ(kStream_ReadRecord(stream, out, &length, 4, "\n", 1), kErrNone);
    EXPECT_EQ(std::string(out, length), "abcd");
    script.whenEmpty = kErrEOF;
    ASSERT_EQ(kStream_ReadRecord(stream, out, &length, 4, "\n", 1), kErrNone);
    EXPECT_EQ(std::string(out, length), "ef");
    EXPECT_EQ(kStream_ReadRecord(stream, out, &length, 4, "\n", 1), kErrEOF);
    EXPECT_EQ(kStream_ReadRecord(stream, out, &length, 0, "\n", 1), kErrParam);
    EXPECT_EQ(kStream_ReadRecord(stream, out, &length, 4, "\n", 0), kErrParam);
    EXPECT_EQ(kStream_ReadRecord(stream, out, &length, 4, nullptr, 1), kErrParam);
}

TEST_F(kStreamTest, CStringHelpersCarryTheTerminator)
{
    EXPECT_EQ(kStream_WriteCString(stream, "hi"), kErrNone);
    EXPECT_EQ(kStream_WriteCStringRecord(stream, "OK", "\r\n"), kErrNone);
    ASSERT_EQ(script.writes.size(), 3u);
    EXPECT_EQ(script.writes[0], (std::vector<uint8_t>{'h', 'i', 0}));
    EXPECT_EQ(script.writes[1], (std::vector<uint8_t>{'O', 'K'}));
    EXPECT_EQ(script.writes[2], (std::vector<uint8_t>{'\r', '\n', 0}));

    script.Feed(std::string("name\0", 5) + "OK\r\n");
    char text[8];
    ASSERT_EQ(kStream_ReadCString(stream, text, sizeof(text)), kErrNone);
    EXPECT_STREQ(text, "name");
    ASSERT_EQ(kStream_ReadCStringRecord(stream, text, sizeof(text), "\r\n"), kErrNone);
    EXPECT_STREQ(text, "OK");
    script.Feed("0123456789");
    ASSERT_EQ(kStream_ReadCString(stream, text, 4), kErrNone) << "capacity - 1 characters";
    EXPECT_STREQ(text, "012");
    EXPECT_EQ(kStream_ReadCString(stream, text, 1), kErrParam);
}

TEST_F(kStreamTest, DestroyRunsTheDeleteProcAndClearsThePointer)
{
    script.deleteResult = kErrCancel;
    ASSERT_EQ(kStreamBufferChar(stream, 'x'), kErrNone);
    EXPECT_EQ(kStream_Destroy(&stream), kErrCancel);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(script.deletes, 1);
    EXPECT_EQ(kStream_Destroy(&stream), kErrParam);
    kStream fake = {};
    kStream* bad = &fake;
    EXPECT_EQ(kStream_Destroy(&bad), kErrParam) << "no check value";
    EXPECT_EQ(bad, nullptr);
    EXPECT_EQ(kStreamBufferChar(nullptr, 'x'), kErrParam);
}

class kStreamFileTest : public ScratchDirTest
{
};

TEST_F(kStreamFileTest, FileStreamsWriteReadAndFlush)
{
    kStream* out = nullptr;
    ASSERT_EQ(kStream_CreateFileOutput(Path("a").c_str(), &out), kErrNone);
    EXPECT_EQ(kStream_WriteCStringRecord(out, "line", "\n"), kErrNone);
    EXPECT_EQ(kStream_Write(out, "!", 1), kErrNone);
    EXPECT_EQ(out->get, nullptr);
    EXPECT_EQ(kStream_Destroy(&out), kErrNone);

    kStream* in = nullptr;
    ASSERT_EQ(kStream_CreateFileInput(Path("a").c_str(), &in), kErrNone);
    EXPECT_EQ(in->put, nullptr);
    EXPECT_EQ(in->write, nullptr);
    char first;
    ASSERT_EQ(kStream_Read(in, &first, 1), kErrNone);
    ASSERT_EQ(kStreamBufferChar(in, 'X'), kErrNone);
    ASSERT_EQ(kStream_CreateFileOutput(Path("b").c_str(), &out), kErrNone);
    EXPECT_EQ(kStream_Flush(in, out), kErrNone);
    EXPECT_EQ(kStream_Flush(out, in), kErrMode);
    (void)kStream_Destroy(&out);
    (void)kStream_Destroy(&in);

    ASSERT_EQ(kStream_CreateFileInput(Path("b").c_str(), &in), kErrNone);
    char rest[16] = {};
    EXPECT_EQ(kStream_Read(in, rest, sizeof(rest)), kErrEOF);
    EXPECT_EQ(std::string(rest, 6), std::string("ine\n\0!", 6)) << "the ring is not flushed";
    (void)kStream_Destroy(&in);
}

TEST_F(kStreamFileTest, FileConstructorsReportEveryFailureAsResource)
{
    kStream* s = (kStream*)0x1;
    EXPECT_EQ(kStream_CreateFileInput(Path("missing").c_str(), &s), kErrResource);
    EXPECT_EQ(s, (kStream*)0x1) << "set only on success";
    EXPECT_EQ(kStream_CreateFileInput(nullptr, &s), kErrResource);
    EXPECT_EQ(kStream_CreateFileOutput(Path("x").c_str(), nullptr), kErrResource);
    EXPECT_EQ(kStream_CreateFileOutput((dir + "/no/such/dir").c_str(), &s), kErrResource);
}

} // namespace
