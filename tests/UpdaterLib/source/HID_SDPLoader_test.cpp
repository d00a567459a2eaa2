#include "UpdaterLib/source/HID_SDPLoader.h"

#include <gtest/gtest.h>

typedef std::vector<uint8_t> Bytes;

TEST(HID_SDPLoader, HidTakesTheWordOnlyFromSeventyBytes)
{
    HID_SDPLoader hid(IMX1050::VID, IMX1050::PID);
    Bytes answer(70, 0);
    answer[0] = 3;
    answer[5] = 4;
    answer[6] = 0x88;
    answer[7] = 0x88;
    answer[8] = 0x88;
    answer[9] = 0x88;
    uint32_t word = 0;
    EXPECT_TRUE(hid.getDataFromBuffer(answer, 0, word));
    EXPECT_EQ(word, 0x88888888u);
    for (size_t size : {69u, 71u, 5u, 135u}) {
        Bytes other = answer;
        other.resize(size);
        word = 0;
        EXPECT_FALSE(hid.getDataFromBuffer(other, 0, word)) << size;
        EXPECT_EQ(word, 0u);
    }
    word = 0x1;
    answer[9] = 0x12;
    EXPECT_TRUE(hid.getDataFromBuffer(answer, 0, word));
    EXPECT_EQ(word, 0x12888889u);
}
