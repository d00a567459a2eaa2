#include "UpdaterLib/source/Serial_SDPLoader_unix.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

typedef std::vector<uint8_t> Bytes;

TEST(Serial_SDPLoader, SerialTakesBytesFourToSeven)
{
    Serial_SDPLoader serial("/dev/null");
    uint32_t word = 0;
    EXPECT_FALSE(serial.getDataFromBuffer(Bytes{1, 2, 3, 4, 5, 6, 7}, 0, word));
    EXPECT_TRUE(serial.getDataFromBuffer(Bytes{1, 2, 3, 4, 0x1E, 0x0F, 0x3C, 0x5A, 9}, 0, word));
    EXPECT_EQ(word, 0x5A3C0F1Eu);
}

TEST(Serial_SDPLoader, OnlyATerminalOpens)
{
    char path[] = "/tmp/sdp-serial-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    Serial_SDPLoader file(path);
    EXPECT_FALSE(file.init());
    unlink(path);
    Serial_SDPLoader nothing("/nonexistent/tty");
    EXPECT_FALSE(nothing.init());
    Serial_SDPLoader null("/dev/null");
    EXPECT_FALSE(null.init());
    // Closed, nothing goes anywhere.
    Bytes answer;
    EXPECT_EQ(null.writeData(Bytes(17, 1)), -1);
    EXPECT_EQ(null.readData(answer, 0), 0);
}

TEST(Serial_SDPLoader, HungUpLineFailsAtOnce)
{
    int master = -1, slave = -1;
    char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    std::string path = name;
    Serial_SDPLoader serial(path.c_str());
    ASSERT_TRUE(serial.init());
    Bytes packet = {1, 5, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(serial.writeData(packet), 16);
    Bytes seen(64);
    EXPECT_EQ(read(master, seen.data(), seen.size()), 16);
    EXPECT_EQ(write(master, "\x56\x78\x78\x56\xF0\xF0\xF0\xF0", 8), 8);
    Bytes answer;
    EXPECT_EQ(serial.readData(answer, 50), 8);
    ASSERT_EQ(write(master, "\x12\x8A\x8A\x12\x01\x02\x03\x04", 8), 8);
    EXPECT_EQ(serial.readData(answer, 5000), 8) << "a long time-out still reads the answer";
    close(master);
    close(slave);
    EXPECT_EQ(serial.writeData(packet), -1);
}
