#include "device/core/kPacket.h"
#include "tests/device/core/test_packets.h"

#include <gtest/gtest.h>

#include <string.h>
#include <vector>

namespace
{

PacketPtr newPacket()
{
    return PacketPtr(kPacket_Create());
}

// The record holds padding, so it is compared field by field.
bool isEmpty(const kPacket* p)
{
    static const uint8_t zeros[kPACKET_DATA_MAX] = {};
    return p->magic == kPACKET_MAGIC && p->fill == 0 && p->address == 0 && p->length == 0 &&
           memcmp(p->data, zeros, sizeof(zeros)) == 0;
}

// Feeds the bytes and returns the result of each step.
std::vector<kErr> feed(kPacket* packet, const std::vector<uint8_t>& bytes)
{
    std::vector<kErr> results;
    for (uint8_t byte : bytes)
        results.push_back(kPacket_AddByte(packet, byte));
    return results;
}

} // namespace

TEST(kPacket, StartsFromTheTemplate)
{
    PacketPtr p = newPacket();
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(kVALIDPACKET(p.get()));
    EXPECT_TRUE(isEmpty(p.get()));
    EXPECT_TRUE(isEmpty(&PACK));
    EXPECT_EQ(PACK.magic, 0xBEEF);
    EXPECT_FALSE(kPacket_IsComplete(p.get()));
    EXPECT_FALSE(kVALIDPACKET(nullptr));
}

TEST(kPacket, LengthZeroCompletesAfterTwoBytes)
{
    PacketPtr p = newPacket();
    EXPECT_EQ(feed(p.get(), {0x02, 0x00}), (std::vector<kErr>{kErrNone, kErrNone}));
    EXPECT_TRUE(kPacket_IsComplete(p.get()));
    EXPECT_EQ(p->address, 0x02);
    EXPECT_EQ(p->length, 0);
    // Told by position: the byte after a zero length is not a new length.
    EXPECT_EQ(kPacket_AddByte(p.get(), 0x04), kErrPacket);
    EXPECT_EQ(p->length, 0);
}

TEST(kPacket, RefusesABadFirstByte)
{
    for (uint8_t first : {0x00, 0x01, 0x03, 0xFF}) {
        PacketPtr p = newPacket();
        EXPECT_EQ(kPacket_AddByte(p.get(), first), kErrPacket) << (int)first;
        EXPECT_EQ(p->address, 0);
    }
}

TEST(kPacket, TakesLengthsUpTo28)
{
    PacketPtr p = newPacket();
    EXPECT_EQ(feed(p.get(), {0x04, 29}), (std::vector<kErr>{kErrNone, kErrPacket}));
    EXPECT_EQ(p->length, 29) << "kept for the caller to see";

    ASSERT_EQ(kPacket_Reset(p.get()), kErrNone);
    std::vector<uint8_t> frame = {0x04, 28};
    for (int i = 0; i < 28; i++)
        frame.push_back((uint8_t)(0xA0 + i));
    for (size_t i = 0; i < frame.size(); i++) {
        EXPECT_FALSE(kPacket_IsComplete(p.get())) << i;
        ASSERT_EQ(kPacket_AddByte(p.get(), frame[i]), kErrNone) << i;
    }
    EXPECT_TRUE(kPacket_IsComplete(p.get()));
    EXPECT_EQ(p->fill, 30);
    EXPECT_EQ(p->data[27], 0xA0 + 27);
    EXPECT_EQ(memcmp(&p->address, frame.data(), frame.size()), 0) << "the frame is contiguous";
}

TEST(kPacket, ByteAfterACompletePacket)
{
    PacketPtr full(kPacket_CreateWithData(0x06, 28, std::vector<uint8_t>(28, 7).data()));
    ASSERT_NE(full, nullptr);
    EXPECT_EQ(kPacket_AddByte(full.get(), 0x00), kErrOverrun);

    PacketPtr shorter = newPacket();
    feed(shorter.get(), {0x06, 0x01, 0x10});
    ASSERT_TRUE(kPacket_IsComplete(shorter.get()));
    EXPECT_EQ(kPacket_AddByte(shorter.get(), 0x11), kErrPacket);
}

TEST(kPacket, FillNeverWrapsBackToTheAddress)
{
    PacketPtr p = newPacket();
    feed(p.get(), {0x02, 0x00});
    for (int i = 0; i < 300; i++)
        (void)kPacket_AddByte(p.get(), 0x08);
    EXPECT_EQ(kPacket_AddByte(p.get(), 0x08), kErrOverrun);
    EXPECT_EQ(p->address, 0x02);
}

// Data bytes that look like addresses or lengths are data all the same.
TEST(kPacket, DataBytesAreToldByPosition)
{
    PacketPtr p = newPacket();
    EXPECT_EQ(feed(p.get(), {0x08, 0x03, 0x08, 0x00, 0x02}), (std::vector<kErr>(5, kErrNone)));
    ASSERT_TRUE(kPacket_IsComplete(p.get()));
    EXPECT_EQ(p->address, 0x08);
    EXPECT_EQ(p->length, 3);
    EXPECT_EQ(p->data[0], 0x08);
    EXPECT_EQ(p->data[1], 0x00);
    EXPECT_EQ(p->data[2], 0x02);
}

TEST(kPacket, ResetKeepsTheMagic)
{
    PacketPtr p = newPacket();
    feed(p.get(), {0x04, 0x02, 0x55, 0x66});
    EXPECT_EQ(kPacket_Reset(p.get()), kErrNone);
    EXPECT_TRUE(isEmpty(p.get()));
    EXPECT_EQ(feed(p.get(), {0x02, 0x00}), (std::vector<kErr>{kErrNone, kErrNone}));
    EXPECT_EQ(kPacket_Reset(nullptr), kErrParam);
}

TEST(kPacket, CommandOptionAndIndex)
{
    const uint8_t bytes[] = {0x42, 0xC5, 0xE3};
    uint8_t value = 0;
    PacketPtr one(kPacket_CreateWithData(0x02, 1, bytes));
    EXPECT_EQ(kPacket_GetCmd(one.get(), &value), kErrNone);
    EXPECT_EQ(value, 0x42);
    EXPECT_EQ(kPacket_GetOption(one.get(), &value), kErrPacket);

    PacketPtr three(kPacket_CreateWithData(0x02, 3, bytes));
    EXPECT_EQ(kPacket_GetOption(three.get(), &value), kErrNone);
    EXPECT_EQ(value, 0x05);
    EXPECT_EQ(kPacket_GetIndex(three.get(), &value), kErrNone);
    EXPECT_EQ(value, 0x03);
    EXPECT_EQ(kPacket_GetIndex(nullptr, &value), kErrPacket);
    EXPECT_EQ(kPacket_GetCmd(three.get(), nullptr), kErrParam);

    PacketPtr empty(kPacket_CreateWithData(0x02, 0, nullptr));
    EXPECT_EQ(kPacket_GetCmd(empty.get(), &value), kErrPacket);
}

TEST(kPacket, CreateWithDataStaysInsideTheRecord)
{
    std::vector<uint8_t> bytes(29, 0x5A);
    EXPECT_EQ(kPacket_CreateWithData(0x02, 29, bytes.data()), nullptr);
    EXPECT_EQ(kPacket_CreateWithData(0x02, 255, bytes.data()), nullptr);
    EXPECT_EQ(kPacket_CreateWithData(0x02, 1, nullptr), nullptr);
    PacketPtr p(kPacket_CreateWithData(0x03, 28, bytes.data()));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->address, 0x03) << "the address is not checked";
    EXPECT_TRUE(kPacket_IsComplete(p.get()));
}

TEST(kPacket, CopyIsCompleteAndIndependent)
{
    PacketPtr partial = newPacket();
    feed(partial.get(), {0x0A, 0x03, 0x01});
    PacketPtr copy(kPacket_Copy(partial.get()));
    ASSERT_NE(copy, nullptr);
    EXPECT_TRUE(kPacket_IsComplete(copy.get()));
    EXPECT_EQ(copy->address, 0x0A);
    EXPECT_EQ(copy->data[0], 0x01);
    copy->data[0] = 0x77;
    EXPECT_EQ(partial->data[0], 0x01);

    EXPECT_EQ(kPacket_Copy(nullptr), nullptr);
    kPacket forged = PACK;
    forged.magic = 0xBEEE;
    EXPECT_EQ(kPacket_Copy(&forged), nullptr);
    EXPECT_EQ(kPacket_AddByte(&forged, 0x02), kErrParam);
    EXPECT_FALSE(kPacket_IsComplete(&forged));
}

TEST(kPacket, DestroyClearsTheCallersPointer)
{
    kPacket* p = kPacket_Create();
    EXPECT_EQ(kPacket_Destroy(&p), kErrNone);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(kPacket_Destroy(&p), kErrParam);
    EXPECT_EQ(kPacket_Destroy(nullptr), kErrParam);
}
