// Discovery replies as they arrive from the network: the input is a run of
// datagrams, each a length byte, four bytes of sender address and that many
// bytes. Every datagram is read as a reply, offered to the search
// callbacks, and the modules found are printed as the discover command
// lists them.

#include "UpdaterLib/source/Updater.h"
#include "cli/Printers.h"
#include "device/core/kDiscovery.h"
#include "tests/fuzz/QuietDisplay.h"

#include <stdlib.h>
#include <string.h>

#include <vector>

using namespace Cli;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<DeviceInfo> devices;
    linkSpec wanted = {};
    wanted.serialNumber = 0x40F5849A;
    linkSpec first = {};
    bool searching = true, looking = true;
    for (size_t at = 0; at + 5 <= size;) {
        size_t length = data[at];
        uint32_t address;
        memcpy(&address, data + at + 1, sizeof(address));
        at += 5;
        if (length > size - at)
            length = size - at;
        linkSpec spec;
        kErr err = kDiscovery_ReadReply(data + at, length, address, &spec);
        at += length;
        if ((err == kErrNone) != (length >= 8))
            abort();
        if (err)
            continue;
        if (spec.type != kLinkTypeTCPIP || spec.tcpip.ipAddress != address ||
            spec.tcpip.ipPort > 0xFFFF)
            abort();
        bool count = false;
        if (searching)
            searching = cbSNCallback(&spec, &count, &wanted);
        count = false;
        if (looking)
            looking = cbFirstCallback(&spec, &count, &first);
        DeviceInfo device;
        device.deviceSpec = spec;
        device.error = (int32_t)(spec.serialNumber & 0x3F);
        devices.push_back(device);
    }
    QuietDisplay display;
    _display_device_list(display, devices, kLinkTypeTCPIP);
    return 0;
}
