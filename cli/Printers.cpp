#include "cli/Printers.h"

#include <algorithm>
#include <utility>

using namespace Cli;

static const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;

namespace
{

void _device_line(UpdaterDisplayInterface& display, const DeviceInfo& d)
{
    const linkSpec& s = d.deviceSpec;
    DeviceFields f = Updater::Device_Fields(d);
    const char* model = f.modelName.c_str();
    if (s.type == kLinkTypeTCPIP) {
        display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%u) [%s]",
                        s.serialNumber, s.module, s.router, model, d.versionMajor, d.versionMinor,
                        (int)d.versionPatch, d.build, f.ipAddress.c_str());
    } else if (d.error != 0) {
        display.message(INFO, "    %08X  [Error (%d): Is someone else connected to this device?]",
                        s.serialNumber, d.error);
    } else {
        display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%u)", s.serialNumber,
                        s.module, s.router, model, d.versionMajor, d.versionMinor,
                        (int)d.versionPatch, d.build);
    }
}

} // namespace

void Cli::_display_device_list(UpdaterDisplayInterface& display,
                               const std::vector<DeviceInfo>& devices, linkType type)
{
    // The list's heading names only the two link types a search is made on.
    const char* name =
        type == kLinkTypeUSB || type == kLinkTypeTCPIP ? Updater::Link_Type_Name(type) : "Unknown";
    display.message(INFO, "Discovered Devices: (%s)", name);
    if (devices.empty()) {
        display.message(INFO, "    No devices found.");
        return;
    }
    if (type == kLinkTypeUSB)
        display.message(INFO,
                        "    Device    Module   Router  Model          Firmware Version (Build)");
    else
        display.message(INFO, "    Device    Module   Router  Model          Firmware Version "
                              "(Build)   [IP address]");
    for (const DeviceInfo& d : devices)
        _device_line(display, d);
}

namespace
{

// Text from the server as a terminal may show it: a control character could
// move the cursor or rewrite the screen, so each one is a "?".
std::string _shown(const std::string& text)
{
    std::string shown = text;
    for (char& c : shown) {
        if ((unsigned char)c < 0x20 || c == 0x7F)
            c = '?';
    }
    return shown;
}

} // namespace

void Cli::_display_builds(UpdaterDisplayInterface& display,
                          const std::map<std::string, std::string>& builds, uint32_t serialNumber)
{
    if (builds.empty()) {
        display.message(INFO, "No builds found for device [%08X]", serialNumber);
        return;
    }
    display.message(INFO, "Build List for device [%08X]:\n", serialNumber);
    display.message(INFO, "%-15.15s\t%-15.15s", "Build", "Version");
    std::vector<std::pair<std::string, std::string>> sorted(builds.begin(), builds.end());
    std::stable_sort(
        sorted.begin(), sorted.end(),
        [](const std::pair<std::string, std::string>& a,
           const std::pair<std::string, std::string>& b) { return a.second < b.second; });
    for (const auto& entry : sorted)
        display.message(INFO, "%-15.15s\t%-15.15s", _shown(entry.first).c_str(),
                        _shown(entry.second).c_str());
}

void Cli::_display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint)
{
    display.message(INFO, "[ %08X %08X %08X %08X ]", fingerprint.words[0], fingerprint.words[1],
                    fingerprint.words[2], fingerprint.words[3]);
}
