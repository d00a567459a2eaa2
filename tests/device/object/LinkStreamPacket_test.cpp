// Stream keys and the classification and decoding of stream packets, on
// packets built here.

#include "device/object/Link.h"

#include "tests/device/core/test_packets.h"

#include <gtest/gtest.h>

#include <set>

using Kelvane::Vantor::Link;

namespace
{

PacketPtr Packet(std::initializer_list<uint8_t> data)
{
    return PacketPtr(kPacket_CreateWithData(0x06, (uint8_t)data.size(), data.begin()));
}

} // namespace

TEST(StreamKey, HoldsFiveElementsInItsOwnPlaces)
{
    uint64_t key = Link::createStreamKey(0x02, 0x12, 0x01, 0x03, 0x07);
    EXPECT_EQ(key, 0x0702120103ull);
    EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_MODULE), 0x02);
    EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_COMMAND), 0x12);
    EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_OPTION), 0x01);
    EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_INDEX), 0x03);
    EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_SUBINDEX), 0x07);
    EXPECT_EQ(Link::createStreamKey(255, 255, 255, 255, 255), 0xFFFFFFFFFFull)
        << "bits 40-63 stay 0";
}

TEST(StreamKey, GenericMasksCoverEveryCombinationButTheModule)
{
    std::set<uint64_t> masks;
    const uint64_t elements = 0xFF00FFFFFFull;
    for (int i = 0; i < 15; i++) {
        uint64_t mask = Link::_getGenericStreamKeyMask(i);
        EXPECT_NE(mask, 0u) << i;
        EXPECT_EQ(mask & ~elements, 0u) << "only index, option, command, subindex";
        for (int e = 0; e < 5; e++) {
            uint8_t element = Link::getStreamKeyElement(mask, (Link::STREAM_KEY)e);
            EXPECT_TRUE(element == 0 || element == 0xFF);
        }
        masks.insert(mask);
    }
    EXPECT_EQ(masks.size(), 15u) << "all different";
    EXPECT_EQ(Link::_getGenericStreamKeyMask(0), 0xFFull);
    EXPECT_EQ(Link::_getGenericStreamKeyMask(7), 0xFF00000000ull);
    EXPECT_EQ(Link::_getGenericStreamKeyMask(14), 0xFF00FFFFFFull);
    EXPECT_EQ(Link::_getGenericStreamKeyMask(15), 0u);
    EXPECT_EQ(Link::_getGenericStreamKeyMask(-1), 0u);
}

TEST(StreamPacket, IsTakenApartByItsFirstThreeBytes)
{
    EXPECT_TRUE(Link::isStreamPacket(Packet({18, 1, 0x40, 1, 0}).get()));
    EXPECT_FALSE(Link::isStreamPacket(Packet({18, 1, 0x40, 1}).get())) << "length 4";
    EXPECT_FALSE(Link::isStreamPacket(Packet({8, 1, 0x40, 1, 0}).get())) << "command 8";
    EXPECT_FALSE(Link::isStreamPacket(Packet({18, 0x41, 0x40, 1, 0}).get())) << "get bit";
    EXPECT_FALSE(Link::isStreamPacket(Packet({18, 0x81, 0x40, 1, 0}).get())) << "set bit";
    EXPECT_FALSE(Link::isStreamPacket(Packet({18, 1, 0x20, 1, 0}).get())) << "no stream bit";
    EXPECT_FALSE(Link::isStreamPacket(nullptr));

    Link::STREAM_PACKET type = Link::STREAM_PACKET_NONE;
    ASSERT_TRUE(Link::getStreamPacketType(Packet({18, 1, 0x40, 1, 0, 0, 9}).get(), &type));
    EXPECT_EQ(type, Link::STREAM_PACKET_BYTES) << "a non-zero last byte: a bytes chunk";
    EXPECT_FALSE(Link::getStreamPacketType(Packet({18, 1, 0x40, 0, 0}).get(), &type));
    EXPECT_FALSE(Link::getStreamPacketType(Packet({18, 1, 0x40, 8, 0}).get(), &type));
    EXPECT_TRUE(Link::isSubindexType(Link::STREAM_PACKET_SUBINDEX_BYTE));
    EXPECT_TRUE(Link::isSubindexType(Link::STREAM_PACKET_SUBINDEX_INT));
    EXPECT_FALSE(Link::isSubindexType(Link::STREAM_PACKET_INT));
    EXPECT_FALSE(Link::isSubindexType(Link::STREAM_PACKET_BYTES));
}

TEST(StreamPacket, SamplesOfEveryTypeAreDecoded)
{
    struct Case {
        PacketPtr packet;
        uint32_t value;
        uint8_t subindex;
    };
    Case cases[] = {
        {Packet({18, 1, 0x40, 1, 1, 2, 3, 4, 5, 6, 7, 8, 0xAB, 0}), 0xAB, 0},
        {Packet({18, 1, 0x40, 2, 1, 2, 3, 4, 5, 6, 7, 8, 0xAB, 0xCD, 0}), 0xABCD, 0},
        {Packet({18, 1, 0x40, 3, 1, 2, 3, 4, 5, 6, 7, 8, 0xAB, 0xCD, 0xEF, 0x01, 0}), 0xABCDEF01,
         0},
        {Packet({18, 1, 0x40, 5, 9, 1, 2, 3, 4, 5, 6, 7, 8, 0xAB, 0}), 0xAB, 9},
        {Packet({18, 1, 0x40, 6, 9, 1, 2, 3, 4, 5, 6, 7, 8, 0xAB, 0xCD, 0}), 0xABCD, 9},
        {Packet({18, 1, 0x40, 7, 9, 1, 2, 3, 4, 5, 6, 7, 8, 0xAB, 0xCD, 0xEF, 0x01, 0}), 0xABCDEF01,
         9},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.packet->data[3]);
        EXPECT_TRUE(Link::isStreamSample(c.packet.get()));
        uint64_t timestamp = 0;
        uint32_t value = 0;
        uint8_t subindex = 0xFF;
        ASSERT_EQ(Link::getStreamSample(c.packet.get(), &timestamp, &value, &subindex), kErrNone);
        EXPECT_EQ(timestamp, 0x0102030405060708ull);
        EXPECT_EQ(value, c.value);
        EXPECT_EQ(subindex, c.subindex);
        EXPECT_EQ(Link::getStreamSample(c.packet.get(), nullptr, nullptr, nullptr), kErrNone);
    }
    uint32_t high = 0, low = 0;
    Link::getTimestampParts(0x0102030405060708ull, &high, &low);
    EXPECT_EQ(high, 0x01020304u);
    EXPECT_EQ(low, 0x05060708u);
}

TEST(StreamPacket, WhatIsNoSampleIsSaidSo)
{
    uint32_t value = 77;
    PacketPtr shortByte = Packet({18, 1, 0x40, 1, 1, 2, 3, 4, 5, 6, 7, 8, 0});
    EXPECT_FALSE(Link::isStreamSample(shortByte.get())) << "one byte short";
    EXPECT_EQ(Link::getStreamSample(shortByte.get(), nullptr, &value, nullptr), kErrPacket);
    PacketPtr chunk = Packet({18, 1, 0x40, 'a', 'b', 0x81});
    EXPECT_FALSE(Link::isStreamSample(chunk.get()));
    EXPECT_EQ(Link::getStreamSample(chunk.get(), nullptr, &value, nullptr), kErrSize);
    PacketPtr reply = Packet({18, 0x41, 0x40, 1, 1, 2, 3, 4, 5, 6, 7, 8, 0xAB, 0});
    EXPECT_EQ(Link::getStreamSample(reply.get(), nullptr, &value, nullptr), kErrPacket);
    EXPECT_EQ(value, 77u) << "untouched";
    EXPECT_TRUE(Link::_checkStreamSampleLength(Link::STREAM_PACKET_SUBINDEX_INT, 18));
    EXPECT_FALSE(Link::_checkStreamSampleLength(Link::STREAM_PACKET_BYTES, 14));
}
