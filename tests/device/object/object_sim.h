#pragma once
// What the object-layer tests share on top of the simulator fixture
// (tests/support/VantorSim.h): a module configuration, link specifiers for
// its transports, the frames it received, and frames it is made to send.

#include "device/core/kDiscovery.h"
#include "device/core/kPacket.h"
#include "tests/support/VantorSim.h"

#include <arpa/inet.h>
#include <stdio.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace objtest
{

const uint32_t HUB_SERIAL = 0x1A2B3C4D;

/// One module, "hub", at `address` over loopback TCP and a pseudo-terminal;
/// `extra` adds keys to the module ("\"faults\": {...}, ").
inline std::string HubConfig(int address = 6, const std::string& extra = "")
{
    char text[1024];
    snprintf(text, sizeof(text),
             R"({"frame_timeout_ms": 100, "modules": [{"name": "hub", "serial": "1A2B3C4D",
                 "address": %d, "version": "2.3.45", "identifier": [11, 22, 33, 44], %s
                 "transports": {"tcp": {"bind": "127.0.0.1", "port": 0}, "serial": {}}}]})",
             address, extra.c_str());
    return text;
}

inline linkSpec TcpSpec(uint16_t port, uint32_t serialNumber = HUB_SERIAL)
{
    linkSpec spec = {};
    spec.type = kLinkTypeTCPIP;
    spec.serialNumber = serialNumber;
    spec.tcpip.ipAddress = htonl(INADDR_LOOPBACK);
    spec.tcpip.ipPort = port;
    return spec;
}

inline linkSpec SerialSpec(const std::string& path, uint32_t serialNumber = HUB_SERIAL)
{
    linkSpec spec = {};
    spec.type = kLinkTypeSerial;
    spec.serialNumber = serialNumber;
    spec.serial.baudRate = 115200;
    snprintf(spec.serial.portName, sizeof(spec.serial.portName), "%s", path.c_str());
    return spec;
}

inline std::string Hex(const uint8_t* bytes, size_t length)
{
    std::string out;
    char two[3];
    for (size_t i = 0; i < length; i++) {
        snprintf(two, sizeof(two), "%02x", bytes[i]);
        out += two;
    }
    return out;
}

/// The hexadecimal text of a frame: address, length, data.
inline std::string Frame(uint8_t address, std::initializer_list<uint8_t> data)
{
    std::vector<uint8_t> bytes = {address, (uint8_t)data.size()};
    bytes.insert(bytes.end(), data.begin(), data.end());
    return Hex(bytes.data(), bytes.size());
}

/// The frames the module received, in order, without the start and stop
/// notices, address queries and heartbeat answers.
inline std::vector<std::string> Requests(const VantorSim& sim)
{
    std::vector<std::string> frames;
    for (const std::string& line : sim.FrameLog()) {
        if (line.find("\"kind\": \"frame\"") == std::string::npos ||
            line.find("\"dir\": \"rx\"") == std::string::npos)
            continue;
        std::string hex = VantorSim::Text(line, "hex");
        if (hex.compare(0, 2, "af") != 0 && hex != "ad00" && hex.compare(2, 4, "0200") != 0)
            frames.push_back(hex);
    }
    return frames;
}

/// Waits until the module has received `count` requests; all of them.
inline std::vector<std::string> AwaitRequests(const VantorSim& sim, size_t count)
{
    VantorSim::WaitFor([&] { return Requests(sim).size() >= count; });
    return Requests(sim);
}

/// Makes the module send the frame on each of its links.
inline void SendFrame(VantorSim& sim, const std::string& frame)
{
    sim.Control(R"({"cmd": "send_raw", "module": "hub", "hex": ")" + frame + "\"}");
}

/// Makes the module send one stream sample (type 1-7) of the entity option.
inline void Sample(VantorSim& sim, int command, int option, int index, int type, long long value,
                   int subindex = 0, unsigned long long timestamp = 0)
{
    char request[256];
    snprintf(request, sizeof(request),
             "{\"cmd\": \"sample\", \"module\": \"hub\", \"command\": %d, \"option\": %d, "
             "\"index\": %d, \"type\": %d, \"value\": %lld, \"subindex\": %d, "
             "\"timestamp\": %llu}",
             command, option, index, type, value, subindex, timestamp);
    sim.Control(request);
}

} // namespace objtest
