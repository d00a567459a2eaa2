#include "device/core/kVersion.h"

#include <gtest/gtest.h>

#include <string>

TEST(kVersion, ParsesPackedWords)
{
    uint32_t packed = (2u << 28) | (9u << 24) | 29u;
    EXPECT_EQ(kVersion_ParseMajor(packed), 2);
    EXPECT_EQ(kVersion_ParseMinor(packed), 9);
    EXPECT_EQ(kVersion_ParsePatch(packed), 29u);
    EXPECT_EQ(kVersion_ParsePatch(0xFFFFFFFF), 0xFFFFFFu);
    char text[16];
    EXPECT_EQ(kVersion_ParseString(0xFFFFFFFF, text, sizeof(text)), 14);
    EXPECT_STREQ(text, "15.15.16777215");
    EXPECT_STREQ(kVersion_GetString(), "2.9.29");
}

TEST(kVersion, ComparesLibraryVersion)
{
    EXPECT_TRUE(kVersion_IsAtLeast(2, 9, 29));
    EXPECT_TRUE(kVersion_IsAtLeast(2, 9, 0));
    EXPECT_FALSE(kVersion_IsAtLeast(2, 9, 30));
    EXPECT_FALSE(kVersion_IsAtLeast(2, 10, 0));
    EXPECT_TRUE(kVersion_IsAtLeast(1, 99, 99));
    EXPECT_FALSE(kVersion_IsAtLeast(3, 0, 0));
}

TEST(kVersion, PatchesCompareAs24BitValues)
{
    // A patch above 255 must not be cut to a byte.
    EXPECT_FALSE(kVersion_IsAtLeastCompare(1, 0, 255, 1, 0, 256));
    EXPECT_TRUE(kVersion_IsAtLeastCompare(1, 0, 0x10000, 1, 0, 0xFFFF));
    EXPECT_TRUE(kVersion_IsAtLeastCompare(1, 0, 0xFFFFFF, 1, 0, 0x1FFFFFF)) << "24 bits only";
}

TEST(kVersion, ListsItsFeatures)
{
    EXPECT_TRUE(kVersion_HasFeature("VERSION"));
    EXPECT_FALSE(kVersion_HasFeature("version"));
    EXPECT_FALSE(kVersion_HasFeature(nullptr));
    char* list = kVersion_GetFeatureList();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(std::string(list), "VERSION - Version Query API\n");
    kVersion_DestroyFeatureList(&list);
    EXPECT_EQ(list, nullptr);
}
