#include "device/core/kStream.h"
#include "device/core/kTime.h"
#include "tests/device/core/descriptor_zero.h"
#include "tests/support/PseudoTerminal.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <string>

namespace
{

// A pseudo-terminal stands in for the serial port: the stream opens the
// slave by its path, the test plays the far end on the master. The test
// keeps its own slave descriptor so the settings it checks are those the
// terminal really has.
class SerialStreamTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(OpenPseudoTerminal(master, slave, slavePath));
        struct termios t;
        ASSERT_EQ(tcgetattr(slave, &t), 0);
        t.c_lflag |= ICANON | ECHO;
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        ASSERT_EQ(tcsetattr(slave, TCSANOW, &t), 0);
        ASSERT_EQ(tcgetattr(slave, &before), 0);
    }
    void TearDown() override
    {
        if (stream)
            (void)kStream_Destroy(&stream);
        close(slave);
        close(master);
    }

    struct termios Now()
    {
        struct termios t = {};
        EXPECT_EQ(tcgetattr(slave, &t), 0);
        return t;
    }

    std::string ReadMaster(size_t n)
    {
        std::string out;
        uint64_t end = kTime_GetMSTicks() + 2000;
        char buf[64];
        while (out.size() < n && kTime_GetMSTicks() < end) {
            ssize_t got = read(master, buf, sizeof(buf));
            if (got > 0)
                out.append(buf, (size_t)got);
        }
        return out;
    }

    int master = -1, slave = -1;
    std::string slavePath;
    struct termios before = {};
    kStream* stream = nullptr;
};

TEST_F(SerialStreamTest, AppliesRawSettingsAndRestoresThePortsOwn)
{
    ASSERT_EQ(
        kStream_CreateSerial(slavePath.c_str(), 7, false, kSerialBits8, kSerialStopBits1, &stream),
        kErrNone);
    struct termios t = Now();
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B230400) << "index 7 is 230400 bit/s";
    EXPECT_EQ(cfgetispeed(&t), (speed_t)B230400);
    EXPECT_EQ(t.c_cflag & CSIZE, (tcflag_t)CS8);
    EXPECT_TRUE(t.c_cflag & CREAD);
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB));
    EXPECT_EQ(t.c_lflag, 0u) << "no echo, no canonical mode";
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_iflag, (tcflag_t)IGNBRK);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);

    ASSERT_EQ(kStream_Destroy(&stream), kErrNone);
    t = Now();
    EXPECT_EQ(cfgetospeed(&t), cfgetospeed(&before));
    EXPECT_EQ(t.c_lflag, before.c_lflag);
    EXPECT_EQ(t.c_cflag, before.c_cflag);
    EXPECT_EQ(t.c_iflag, before.c_iflag);
}

TEST_F(SerialStreamTest, ParitySevenBitsAndTwoStopBits)
{
    ASSERT_EQ(
        kStream_CreateSerial(slavePath.c_str(), 2, true, kSerialBits7, kSerialStopBits2, &stream),
        kErrNone);
    struct termios t = Now();
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B9600);
    // A pseudo-terminal keeps CS8 and no PARENB whatever it is told, so the
    // parity shows only in the input flags here.
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_EQ(t.c_iflag, (tcflag_t)(IGNBRK | IGNPAR));
}

TEST_F(SerialStreamTest, AnIndexOutsideTheTableIsTheHangUpSpeed)
{
    ASSERT_EQ(
        kStream_CreateSerial(slavePath.c_str(), 8, false, kSerialBits8, kSerialStopBits1, &stream),
        kErrNone);
    struct termios t = Now();
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B0);
}

TEST_F(SerialStreamTest, RefusesBitsAboveOneAndReportsOpenErrors)
{
    kStream* s = nullptr;
    EXPECT_EQ(
        kStream_CreateSerial(slavePath.c_str(), 6, false, (kSerial_Bits)2, kSerialStopBits1, &s),
        kErrResource);
    EXPECT_EQ(
        kStream_CreateSerial(slavePath.c_str(), 6, false, kSerialBits8, (kSerial_Stop_bits)2, &s),
        kErrResource);
    EXPECT_EQ(kStream_CreateSerial(nullptr, 6, false, kSerialBits8, kSerialStopBits1, &s),
              kErrResource);
    EXPECT_EQ(
        kStream_CreateSerial(slavePath.c_str(), 6, false, kSerialBits8, kSerialStopBits1, nullptr),
        kErrResource);
    EXPECT_EQ(
        kStream_CreateSerial("/dev/no-such-port", 6, false, kSerialBits8, kSerialStopBits1, &s),
        kErrNotFound);
    EXPECT_EQ(kStream_CreateSerial("/dev/null", 6, false, kSerialBits8, kSerialStopBits1, &s),
              kErrIO)
        << "not a terminal";
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(Now().c_lflag, before.c_lflag) << "refused before the port was touched";
}

TEST_F(SerialStreamTest, CarriesBytesBothWays)
{
    ASSERT_EQ(
        kStream_CreateSerial(slavePath.c_str(), 6, false, kSerialBits8, kSerialStopBits1, &stream),
        kErrNone);
    uint8_t byte;
    EXPECT_EQ(kStream_Read(stream, &byte, 1), kErrNotReady) << "a get returns at once";
    EXPECT_EQ(kStream_Wait(stream, 20), kErrTimeout) << "a wait polls the port";
    ASSERT_EQ(write(master, "ping", 4), 4);
    ASSERT_EQ(kStream_Wait(stream, 2000), kErrNone);
    char in[4] = {};
    uint64_t end = kTime_GetMSTicks() + 2000;
    kErr err;
    while ((err = kStream_Read(stream, in, 4)) == kErrNotReady && kTime_GetMSTicks() < end)
        kTime_MSSleep(1);
    ASSERT_EQ(err, kErrNone);
    EXPECT_EQ(std::string(in, 4), "ping");
    EXPECT_EQ(kStream_Write(stream, "pong!", 5), kErrNone);
    EXPECT_EQ(kStream_Write(stream, "\n", 1), kErrNone);
    EXPECT_EQ(ReadMaster(6), "pong!\n") << "no output processing";
}

// With no standard input (as in CI) the port may get descriptor 0: it is an
// open port like any other, and destroying the stream closes it.
TEST_F(SerialStreamTest, ADescriptorOfZeroIsAnOpenPort)
{
    int saved = FreeDescriptorZero();
    kErr err =
        kStream_CreateSerial(slavePath.c_str(), 6, false, kSerialBits8, kSerialStopBits1, &stream);
    bool gotZero = fcntl(0, F_GETFD) != -1;
    EXPECT_EQ(err, kErrNone);
    EXPECT_TRUE(gotZero) << "the port took descriptor 0";
    struct termios t = Now();
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B115200);
    EXPECT_EQ(kStream_Destroy(&stream), kErrNone);
    EXPECT_EQ(fcntl(0, F_GETFD), -1) << "descriptor 0 was closed";
    EXPECT_EQ(Now().c_lflag, before.c_lflag) << "and the settings restored through it";
    RestoreDescriptorZero(saved);
}

} // namespace
