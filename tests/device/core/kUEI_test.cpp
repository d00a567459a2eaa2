#include "device/core/kDefs.h"
#include "device/core/kUEI.h"

#include <gtest/gtest.h>

#include <string.h>

TEST(kUEI, BigEndianFields)
{
    uint8_t bytes[4];
    kUEI_StoreInt(bytes, 0x01020304);
    EXPECT_EQ(bytes[0], 1);
    EXPECT_EQ(bytes[3], 4);
    EXPECT_EQ(kUEI_RetrieveInt(bytes), 0x01020304u);
    kUEI_StoreShort(bytes, 0xBEEF);
    EXPECT_EQ(bytes[0], 0xBE);
    EXPECT_EQ(kUEI_RetrieveShort(bytes), 0xBEEF);
    uint32_t words[2];
    const uint8_t raw[8] = {0, 0, 0, 1, 0x12, 0x34, 0x56, 0x78};
    memcpy(words, raw, sizeof(words));
    kUEI_ModifyIntBuffer(words, 2);
    EXPECT_EQ(words[0], 1u);
    EXPECT_EQ(words[1], 0x12345678u);
    kUEI_StoreIntLE(bytes, 0x01020304);
    EXPECT_EQ(bytes[0], 4);
    EXPECT_EQ(kUEI_RetrieveIntLE(bytes), 0x01020304u);
    EXPECT_EQ(kUEI_RetrieveShortLE(bytes), 0x0304);
}

TEST(kDefs, ModelNames)
{
    EXPECT_STREQ(kDefs_GetModelName(4), "PodUsb");
    EXPECT_STREQ(kDefs_GetModelName(24), "HubCee");
    EXPECT_STREQ(kDefs_GetModelName(6), "Unknown");
    EXPECT_STREQ(kDefs_GetModelName(25), "Unknown");
}
