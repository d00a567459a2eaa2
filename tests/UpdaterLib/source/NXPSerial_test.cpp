#include "UpdaterLib/source/NXPSerial.h"
#include "device/core/kLog.h"
#include "tests/support/LogCapture.h"
#include "tests/support/PseudoTerminal.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace
{

typedef std::vector<uint8_t> Bytes;

std::string Encoded(const Bytes& bytes)
{
    char line[NXPSerialClass::UU_LINE_CAPACITY];
    NXPSerialClass::uuencode(line, bytes.data(), (uint32_t)bytes.size());
    return line;
}

Bytes Pattern(size_t count)
{
    Bytes out(count);
    for (size_t i = 0; i < count; i++)
        out[i] = (uint8_t)(i * 37 + 11);
    return out;
}

TEST(NXPSerialCoding, EncodesTheEdgeCasesOfTheLineFormat)
{
    EXPECT_EQ(Encoded({0x00, 0x00, 0x00}), "\x23\x60\x60\x60\x60");
    EXPECT_EQ(Encoded({0xFF}), "\x21\x5F\x50\x60\x60");
    std::string full = Encoded(Pattern(45));
    EXPECT_EQ(full.size(), 61u);
    EXPECT_EQ(full[0], '\x4D');
    EXPECT_EQ(full.find(' '), std::string::npos) << "zero sextets are grave accents";
    char line[NXPSerialClass::UU_LINE_CAPACITY];
    Bytes many = Pattern(100);
    EXPECT_EQ(NXPSerialClass::uuencode(line, many.data(), 100), 45u) << "one line at most";
    EXPECT_EQ(NXPSerialClass::uuchar(0), '\x60');
    EXPECT_EQ(NXPSerialClass::uuchar(64), '\x60');
    EXPECT_EQ(NXPSerialClass::uuchar(63), '\x5F');
}

TEST(NXPSerialCoding, DecodesWhatItEncodesAndRefusesWhatDoesNotFit)
{
    for (size_t n : {1u, 2u, 3u, 4u, 44u, 45u}) {
        Bytes data = Pattern(n);
        Bytes back(45, 0xAA);
        EXPECT_EQ(NXPSerialClass::uudecode(back.data(), 45, Encoded(data).c_str()), n);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin())) << n << " bytes";
        EXPECT_EQ(back[n < 45 ? n : 44], n < 45 ? 0xAA : data[44]) << "nothing beyond the count";
    }
    Bytes small(4, 0xAA);
    EXPECT_EQ(NXPSerialClass::uudecode(small.data(), 4, Encoded(Pattern(5)).c_str()), 0u);
    EXPECT_EQ(small, Bytes(4, 0xAA));
    EXPECT_EQ(NXPSerialClass::uudecode(small.data(), 4, ""), 0u);
    // A line cut short stops decoding where its characters end.
    Bytes cut(6, 0xAA);
    EXPECT_EQ(NXPSerialClass::uudecode(cut.data(), 6, "&````"), 6u);
    EXPECT_EQ(cut, (Bytes{0, 0, 0, 0xAA, 0xAA, 0xAA}));
}

TEST(NXPSerialTables, CopyLengthsSectorsAndReturnCodes)
{
    EXPECT_EQ(NXPSerialClass::CopyLength(0), 256u);
    EXPECT_EQ(NXPSerialClass::CopyLength(256), 256u);
    EXPECT_EQ(NXPSerialClass::CopyLength(257), 512u);
    EXPECT_EQ(NXPSerialClass::CopyLength(1024), 1024u);
    EXPECT_EQ(NXPSerialClass::CopyLength(1025), 4096u);
    EXPECT_EQ(NXPSerialClass::CopyLength(4096), 4096u);
    EXPECT_EQ(NXPSerialClass::CopyLength(5000), 5000u);

    EXPECT_EQ(NXPSerialClass::SectorFromAddress(0), 0u);
    EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x00000FFF), 0u);
    EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x00001000), 1u);
    EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x0000FFFF), 15u);
    EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x00010000), 16u);
    EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x00017FFF), 16u);
    EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x00018000), 17u);
    EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x0007FFFF), 29u);
    EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x00080000), 30u);
    EXPECT_EQ(NXPSerialClass::SectorFromAddress(0xFFFFFFFF), 30u);

    EXPECT_STREQ(NXPSerialClass::GetErrorText("0"), "CMD_SUCCESS");
    EXPECT_STREQ(NXPSerialClass::GetErrorText("7"), "INVALID_SECTOR");
    EXPECT_STREQ(NXPSerialClass::GetErrorText("10\r\n"), "COMPARE_ERROR");
    EXPECT_STREQ(NXPSerialClass::GetErrorText("0x13"), "CODE_READ_PROTECTION_ENABLED");
    EXPECT_STREQ(NXPSerialClass::GetErrorText("20"), "Unknown error");
    EXPECT_STREQ(NXPSerialClass::GetErrorText("25"), "Unknown error");
    EXPECT_STREQ(NXPSerialClass::GetErrorText("-1"), "Unknown error");
    EXPECT_STREQ(NXPSerialClass::GetErrorText(nullptr), "Unknown error");
    EXPECT_EQ(NXPSerialClass::sum(Bytes{0xFF, 0xFF, 1}.data(), 3), 0x1FFu);
}

// A stream of the test's own: answers from a script, what is sent kept, and
// every wait the client asks for noted (none of them sleeps).
struct ScriptedLine {
    std::string answers, sent;
    std::vector<uint32_t> waits;

    static kErr Get(uint8_t* byte, void* ref)
    {
        ScriptedLine* line = (ScriptedLine*)ref;
        if (line->answers.empty())
            return kErrNotReady;
        *byte = (uint8_t)line->answers[0];
        line->answers.erase(0, 1);
        return kErrNone;
    }
    static kErr Write(const uint8_t* bytes, size_t length, void* ref)
    {
        ((ScriptedLine*)ref)->sent.append((const char*)bytes, length);
        return kErrNone;
    }
    static kErr Put(uint8_t byte, void* ref) { return Write(&byte, 1, ref); }
    static kErr Wait(uint32_t timeoutMS, void* ref)
    {
        ScriptedLine* line = (ScriptedLine*)ref;
        line->waits.push_back(timeoutMS);
        return line->answers.empty() ? kErrTimeout : kErrNone;
    }
};

TEST(NXPSerialStream, RunsOnAGivenStreamAndWaitsOnlyThroughIt)
{
    ScriptedLine line;
    line.answers = "Synchronized\r\nSynchronized\r\nOK\r\n14746\r\nOK\r\n";
    kStream* stream =
        kStream_Create(ScriptedLine::Get, ScriptedLine::Put, ScriptedLine::Write, nullptr, &line);
    ASSERT_EQ(kStream_SetWait(stream, ScriptedLine::Wait), kErrNone);
    NXPSerialClass nxp;
    ASSERT_EQ(nxp.Connect(stream, 57601), kErrNone);
    EXPECT_EQ(nxp.BaudRate(), 115200u);
    EXPECT_EQ(nxp.Sync(), kErrNone);
    EXPECT_EQ(line.sent, "?Synchronized\r\n14746\r\n");
    EXPECT_EQ(line.waits.size(), 8u) << "after each of 3 sends and before each of 5 answers";
    EXPECT_EQ(nxp.Unlock(), kErrNotReady) << "a silent line, and no sleep: its waits return";
    EXPECT_EQ(nxp.Connect((kStream*)nullptr, 115200), kErrParam);
}

// The far end of a pseudo-terminal plays the boot ROM from a script: the
// answers are queued on the master before the call, and what the client
// sent is read from it afterwards. The client reads strictly in order, so
// a queued script is the same exchange as a live one.
class NXPSerialWire : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(OpenPseudoTerminal(master, slave, slavePath));
        ASSERT_EQ(fcntl(master, F_SETFL, O_NONBLOCK), 0);
    }
    void TearDown() override
    {
        nxp.Disconnect();
        close(slave);
        close(master);
    }

    void Connect(uint32_t rate = 115200)
    {
        ASSERT_EQ(nxp.Connect(slavePath.c_str(), rate), kErrNone);
    }
    void Answer(const std::string& text)
    {
        ASSERT_EQ(write(master, text.data(), text.size()), (ssize_t)text.size());
    }
    /// Everything the client has sent since the last call.
    std::string Wire()
    {
        std::string out;
        char buf[4096];
        ssize_t n;
        while ((n = read(master, buf, sizeof(buf))) > 0)
            out.append(buf, (size_t)n);
        return out;
    }
    void EchoOff()
    {
        Answer("A 0\r\n0\r\n");
        ASSERT_EQ(nxp.SetEcho(false), kErrNone);
        ASSERT_FALSE(nxp.Echo());
        ASSERT_EQ(Wire(), "A 0\r\n");
    }
    std::string Logged() { return log.Text(); }
    speed_t Speed()
    {
        struct termios t = {};
        EXPECT_EQ(tcgetattr(slave, &t), 0);
        return cfgetospeed(&t);
    }

    int master = -1, slave = -1;
    std::string slavePath;
    LogCapture log{DEBUG_NXPSerial | DEBUG_NXPSerial_E | DEBUG_NXPSerial_SR};
    NXPSerialClass nxp;
};

TEST_F(NXPSerialWire, ConnectTakesTheFirstTableRateNotBelowTheRequest)
{
    const struct {
        uint32_t asked;
        speed_t speed;
        uint32_t rate;
    } cases[] = {{57601, B115200, 115200},  {2400, B2400, 2400},       {230401, B9600, 9600},
                 {230400, B230400, 230400}, {0, B2400, 2400},          {9601, B19200, 19200},
                 {115200, B115200, 115200}, {4294967295u, B9600, 9600}};
    for (const auto& c : cases) {
        Connect(c.asked);
        EXPECT_EQ(Speed(), c.speed) << c.asked;
        EXPECT_EQ(nxp.BaudRate(), c.rate) << c.asked;
    }
    EXPECT_STREQ(nxp.PortName(), slavePath.c_str());
    EXPECT_NE(
        Logged().find("Creating serial connection: [" + slavePath + "] stream baud:6(115200)\n"),
        std::string::npos);
    EXPECT_EQ(nxp.Connect("/nonexistent/tty", 115200), kErrNotFound);
    EXPECT_NE(Logged().find("Error Creating Serial [/nonexistent/tty] ==> kErrNotFound\n"),
              std::string::npos);
    EXPECT_EQ(nxp.Unlock(), kErrParam) << "no stream after a failed connection";
}

TEST_F(NXPSerialWire, SyncRunsTheThreeStepsAndNeedsTheCrystalAccepted)
{
    Connect();
    Answer("Synchronized\r\nSynchronized\r\nOK\r\n14746\r\nOK\r\n");
    EXPECT_EQ(nxp.Sync(), kErrNone);
    EXPECT_EQ(Wire(), "?Synchronized\r\n14746\r\n");

    Answer("Synchronized\r\nSynchronized\r\nOK\r\n14746\r\nERR\r\n");
    EXPECT_EQ(nxp.Sync(), kErrIO);
    Wire();
    Answer("Synchronized\r\nSynchronized\r\nOK\r\n14746\r\n");
    EXPECT_EQ(nxp.Sync(), kErrIO) << "no answer to the crystal frequency";
    Wire();

    EXPECT_EQ(nxp.Sync(), kErrNotReady) << "a silent line";
    EXPECT_EQ(Wire(), "?") << "nothing more after an unanswered auto-baud";
    EXPECT_NE(Logged().find("Did not receive correct response to opening sync command: "
                            "[kErrNotReady]. Response: []\n"),
              std::string::npos);
}

TEST_F(NXPSerialWire, TheStatusIsTheWholeNumberEndingTheLine)
{
    Connect();
    Answer("U 23130\r\n0\r\n");
    EXPECT_EQ(nxp.Unlock(), kErrNone);
    Answer("U 23130\r\n10\r\n");
    EXPECT_EQ(nxp.Unlock(), kErrParam) << "COMPARE_ERROR with echo on";
    Answer("P 0 29\r\n9\r\n");
    EXPECT_EQ(nxp.Prepare(0, 29), kErrParam);
    EXPECT_NE(Logged().find("Error response ==>[SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION]\n"),
              std::string::npos);
    Wire();
    EchoOff();
    Answer("10\r\n");
    EXPECT_EQ(nxp.Erase(0, 29), kErrParam) << "COMPARE_ERROR with echo off";
    Answer("0\r\n");
    EXPECT_EQ(nxp.Erase(0, 29), kErrNone);
    Answer("x\r\n");
    EXPECT_EQ(nxp.Unlock(), kErrParam) << "no number at all";
    EXPECT_EQ(nxp.Unlock(), kErrNotReady) << "no answer at all";
    EXPECT_EQ(Wire(), "E 0 29\r\nE 0 29\r\nU 23130\r\nU 23130\r\n");
    Answer("0\r\n"); // the ROM does not echo the line that turns echo on
    EXPECT_EQ(nxp.SetEcho(true), kErrNone);
    EXPECT_TRUE(nxp.Echo());
    Answer("A 0\r\n15\r\n");
    EXPECT_EQ(nxp.SetEcho(false), kErrParam);
    EXPECT_TRUE(nxp.Echo()) << "a refused switch changes nothing";
}

TEST_F(NXPSerialWire, AnOverlongLineIsCutWithinTheBuffer)
{
    Connect();
    EchoOff();
    Answer(std::string(2000, 'x') + "\r\n");
    EXPECT_EQ(nxp.Unlock(), kErrParam);
    EXPECT_NE(Logged().find("] 1023 non-term [kErrNone]\n"), std::string::npos);
}

TEST_F(NXPSerialWire, IdentificationNeedsItsReturnCodeAndEveryNumber)
{
    Connect();
    Answer("N\r\n0\r\n10\r\n0x1F\r\n4294967295\r\n7\r\n");
    ASSERT_EQ(nxp.GetDeviceID(), kErrNone);
    EXPECT_EQ(nxp.DeviceId(0), 10u);
    EXPECT_EQ(nxp.DeviceId(1), 0x1Fu);
    EXPECT_EQ(nxp.DeviceId(2), 0xFFFFFFFFu);
    EXPECT_EQ(nxp.DeviceId(3), 7u);
    EXPECT_EQ(Wire(), "N\r\n");

    Answer("N\r\n0\r\n1\r\n2\r\n");
    EXPECT_EQ(nxp.GetDeviceID(), kErrNotReady) << "a number line missing";
    Answer("N\r\n0\r\n1\r\nabc\r\n3\r\n4\r\n");
    EXPECT_EQ(nxp.GetDeviceID(), kErrNotReady) << "a line that is no number";
    Wire();
    EchoOff();
    Answer("19\r\n");
    EXPECT_EQ(nxp.GetDeviceID(), kErrParam) << "a refusing return code";
    EXPECT_EQ(nxp.GetDeviceID(), kErrNotReady) << "no answer";
    EXPECT_EQ(nxp.DeviceId(0), 10u) << "the words change only on success";

    int64_t part = 0;
    Answer("0\r\n637615927\r\n");
    EXPECT_EQ(nxp.GetPartNumber(part), kErrNone);
    EXPECT_EQ(part, 0x26013F37);
    Answer("0\r\n");
    EXPECT_EQ(nxp.GetPartNumber(part), kErrNotReady);
    uint8_t major = 0, minor = 0;
    Answer("0\r\n4\r\n1\r\n");
    EXPECT_EQ(nxp.GetBootLoaderVersion(major, minor), kErrNone);
    EXPECT_EQ(major, 4);
    EXPECT_EQ(minor, 1);
    EXPECT_EQ(Wire(), "N\r\nN\r\nJ\r\nJ\r\nK\r\n");
    std::string logged = Logged();
    EXPECT_NE(logged.find("Device responded with part number: 637615927\n"), std::string::npos);
    EXPECT_NE(logged.find("Device responded with version: 4.1\n"), std::string::npos);
}

TEST_F(NXPSerialWire, ParametersAreRefusedBeforeAnythingIsSent)
{
    Connect();
    Bytes data = Pattern(8);
    EXPECT_EQ(nxp.CopyToFlash(0x1080, NXPSerialClass::WRITE_ADDRESS, 256), kErrParam);
    EXPECT_EQ(nxp.CopyToFlash(0x1000, NXPSerialClass::WRITE_ADDRESS, 2048), kErrParam);
    EXPECT_EQ(nxp.CopyToFlash(0x1000, NXPSerialClass::WRITE_ADDRESS, 0), kErrParam);
    EXPECT_EQ(nxp.Prepare(3, 2), kErrParam);
    EXPECT_EQ(nxp.Erase(3, 2), kErrParam);
    EXPECT_EQ(nxp.Write(NXPSerialClass::WRITE_ADDRESS, 0, data.data()), kErrParam);
    EXPECT_EQ(nxp.Write(NXPSerialClass::WRITE_ADDRESS, 6, data.data()), kErrParam);
    EXPECT_EQ(nxp.Write(NXPSerialClass::WRITE_ADDRESS, 8, nullptr), kErrParam);
    EXPECT_EQ(nxp.Read(0, 0, data.data()), kErrParam);
    EXPECT_EQ(nxp.Read(0, 3, data.data()), kErrParam);
    EXPECT_EQ(Wire(), "");
    Answer("C 4096 268439552 4096\r\n0\r\n");
    EXPECT_EQ(nxp.CopyToFlash(0x1000, NXPSerialClass::WRITE_ADDRESS, 4096), kErrNone);
    EXPECT_EQ(Wire(), "C 4096 268439552 4096\r\n");
}

TEST_F(NXPSerialWire, ARefusedBlockIsSentAgainWithinTheSharedBudget)
{
    Connect();
    EchoOff();
    Bytes data = Pattern(8);
    std::string block =
        Encoded(data) + "\r\n" + std::to_string(NXPSerialClass::sum(data.data(), 8)) + "\r\n";
    Answer("0\r\nRESEND\r\nRESEND\r\nOK\r\n");
    EXPECT_EQ(nxp.Write(NXPSerialClass::WRITE_ADDRESS, 8, data.data()), kErrNone);
    EXPECT_EQ(Wire(), "W 268439552 8\r\n" + block + block + block);

    Answer("0\r\nRESEND\r\nRESEND\r\nRESEND\r\n");
    EXPECT_EQ(nxp.Write(NXPSerialClass::WRITE_ADDRESS, 8, data.data()), kErrTimeout);
    EXPECT_EQ(Wire(), "W 268439552 8\r\n" + block + block + block);
    EXPECT_NE(Logged().find("Write() exceeded retries\n"), std::string::npos);

    Answer("0\r\nOK?\r\n");
    EXPECT_EQ(nxp.Write(NXPSerialClass::WRITE_ADDRESS, 8, data.data()), kErrIO);
    EXPECT_NE(Logged().find("Write() unexpected response [OK?\\r\\n]\n"), std::string::npos);
    Wire();
    Answer("13\r\n");
    EXPECT_EQ(nxp.Write(NXPSerialClass::WRITE_ADDRESS, 8, data.data()), kErrParam);
    EXPECT_EQ(Wire(), "W 268439552 8\r\n") << "no data after a refused W";
    EXPECT_NE(Logged().find("Write() Error response ==>[ADDR_ERROR]\n"), std::string::npos);
}

TEST_F(NXPSerialWire, WriteWithEchoTakesEveryEchoBack)
{
    Connect();
    Bytes data = Pattern(48);
    std::string lines = Encoded(Bytes(data.begin(), data.begin() + 45)) + "\r\n" +
                        Encoded(Bytes(data.begin() + 45, data.end())) + "\r\n";
    std::string checksum = std::to_string(NXPSerialClass::sum(data.data(), 48)) + "\r\n";
    Answer("W 268439552 48\r\n0\r\n" + lines + checksum + "OK\r\n");
    EXPECT_EQ(nxp.Write(NXPSerialClass::WRITE_ADDRESS, 48, data.data()), kErrNone);
    EXPECT_EQ(Wire(), "W 268439552 48\r\n" + lines + checksum);
}

TEST_F(NXPSerialWire, ReadAcceptsGoodBlocksAndAsksAgainForBadOnes)
{
    Connect();
    EchoOff();
    Bytes data = Pattern(8);
    std::string block =
        Encoded(data) + "\r\n" + std::to_string(NXPSerialClass::sum(data.data(), 8)) + "\r\n";
    Bytes got(8);
    Answer("0\r\n" + Encoded(data) + "\r\n999\r\n" + block);
    EXPECT_EQ(nxp.Read(0x2000, 8, got.data()), kErrNone);
    EXPECT_EQ(got, data);
    EXPECT_EQ(Wire(), "R 8192 8\r\nRESEND\r\nOK\r\n");
    Answer("0\r\n" + Encoded(data) + "\r\n");
    EXPECT_EQ(nxp.Read(0x2000, 8, got.data()), kErrNotReady) << "the checksum never came";
}

// The far end says `prefix` once, then `pattern` over and over until the
// object goes.
class Chatter
{
public:
    Chatter(int master, const std::string& prefix, const std::string& pattern)
        : feeder([=] {
              std::string text = prefix;
              while (!stop) {
                  while (text.size() < 4096)
                      text += pattern;
                  ssize_t n = write(master, text.data(), text.size());
                  if (n > 0)
                      text.erase(0, (size_t)n);
                  else
                      usleep(200);
              }
          })
    {
    }
    ~Chatter()
    {
        stop = true;
        feeder.join();
    }

private:
    std::atomic<bool> stop{false};
    std::thread feeder;
};

TEST_F(NXPSerialWire, ALineThatNeverStopsTalkingEndsEveryAnswer)
{
    Connect();
    {
        Chatter talk(master, "", "x");
        EXPECT_EQ(nxp.Unlock(), kErrParam) << "an echo that never matches";
    }
    tcflush(slave, TCIFLUSH);
    {
        Chatter talk(master, "", "\n");
        EXPECT_EQ(nxp.Sync(), kErrIO) << "line ends dropped before every answer";
    }
    tcflush(slave, TCIFLUSH);
    Wire();
    EchoOff();
    Chatter talk(master, "0\r\n", "\r\n");
    uint8_t got[8];
    EXPECT_EQ(nxp.Read(0x2000, 8, got), kErrTimeout) << "blocks of empty lines";
}

TEST_F(NXPSerialWire, OtherCommandsSendTheirLines)
{
    Connect();
    EchoOff();
    Answer("0\r\n");
    EXPECT_EQ(nxp.SetBaudRate(57600), kErrNone);
    Answer("17\r\n");
    EXPECT_EQ(nxp.SetBaudRate(1234), kErrParam);
    EXPECT_EQ(nxp.ExecuteFrom(0), kErrNone);
    EXPECT_EQ(Wire(), "B 57600 1\r\nB 1234 1\r\nG 0 T\r\n");
    EXPECT_EQ(nxp.BaudRate(), 115200u) << "this side keeps its rate";
}

} // namespace
