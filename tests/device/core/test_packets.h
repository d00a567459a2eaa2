#pragma once
// Packet records owned by the test, freed however the test ends.

#include "device/core/kPacket.h"

#include <initializer_list>
#include <memory>

struct PacketDeleter {
    void operator()(kPacket* packet) const { (void)kPacket_Destroy(&packet); }
};
using PacketPtr = std::unique_ptr<kPacket, PacketDeleter>;

/// A complete packet at address 0x02 with the data bytes given.
inline PacketPtr makePacket(std::initializer_list<uint8_t> data)
{
    return PacketPtr(kPacket_CreateWithData(0x02, (uint8_t)data.size(), data.begin()));
}
