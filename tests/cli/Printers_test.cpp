#include "cli/Printers.h"
#include "tests/support/RecordingDisplay.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

using namespace Cli;

static DeviceInfo sDevice(linkType type, uint32_t serial, int32_t error)
{
    DeviceInfo d;
    d.deviceSpec.type = type;
    d.deviceSpec.serialNumber = serial;
    d.deviceSpec.module = 2;
    d.deviceSpec.router = 0x10;
    d.deviceSpec.model = 4;
    d.versionMajor = 1;
    d.versionMinor = 2;
    d.versionPatch = 345;
    d.build = 9876;
    d.error = error;
    return d;
}

TEST(Printers, DeviceListLinesPerLinkType)
{
    RecordingDisplay usb;
    _display_device_list(
        usb, {sDevice(kLinkTypeUSB, 0x40F5849A, 0), sDevice(kLinkTypeUSB, 0x2B, 25)}, kLinkTypeUSB);
    ASSERT_EQ(usb.info.size(), 4u);
    EXPECT_EQ(usb.info[0], "Discovered Devices: (USB)");
    EXPECT_EQ(usb.info[1],
              "    Device    Module   Router  Model          Firmware Version (Build)");
    EXPECT_EQ(usb.info[2], "    40F5849A  02       10      PodUsb         1.2.345 (9876)");
    EXPECT_EQ(usb.info[3], "    0000002B  [Error (25): Is someone else connected to this device?]");

    RecordingDisplay tcp;
    DeviceInfo net = sDevice(kLinkTypeTCPIP, 0xA, 18);
    net.deviceSpec.tcpip.ipAddress = inet_addr("10.77.0.2");
    _display_device_list(tcp, {net}, kLinkTypeTCPIP);
    ASSERT_EQ(tcp.info.size(), 3u);
    EXPECT_EQ(tcp.info[1], "    Device    Module   Router  Model          Firmware Version (Build)"
                           "   [IP address]");
    EXPECT_EQ(tcp.info[2], "    0000000A  02       10      PodUsb         1.2.345 (9876) "
                           "[10.77.0.2]")
        << "a TCPIP record prints its line even with an error";
}

TEST(Printers, EmptyListsSaySo)
{
    RecordingDisplay d;
    _display_device_list(d, {}, (linkType)7);
    EXPECT_EQ(d.info,
              (std::vector<std::string>{"Discovered Devices: (Unknown)", "    No devices found."}));
    RecordingDisplay b;
    _display_builds(b, {}, 0x2B);
    EXPECT_EQ(b.info, (std::vector<std::string>{"No builds found for device [0000002B]"}));
}

TEST(Printers, BuildsSortByVersionText)
{
    RecordingDisplay d;
    _display_builds(d, {{"100", "2.9"}, {"200", "2.10"}, {"12345678901234567", "1.0"}}, 0x40F5849A);
    ASSERT_EQ(d.info.size(), 5u);
    EXPECT_EQ(d.info[0], "Build List for device [40F5849A]:\n");
    EXPECT_EQ(d.info[1], "Build          \tVersion        ");
    EXPECT_EQ(d.info[2], "123456789012345\t1.0            ");
    EXPECT_EQ(d.info[3], "200            \t2.10           ");
    EXPECT_EQ(d.info[4], "100            \t2.9            ");

    RecordingDisplay raw;
    _display_builds(raw, {{"7\x1B[2J", std::string("1\t\x7F\0x", 5)}}, 1);
    EXPECT_EQ(raw.info[2], "7?[2J          \t1???x          ") << "no control reaches the terminal";
}

TEST(Printers, Fingerprint)
{
    RecordingDisplay d;
    Fingerprint f;
    f.words[0] = 1;
    f.words[3] = 0xDEADBEEF;
    _display_fingerprint(d, f);
    EXPECT_EQ(d.info, (std::vector<std::string>{"[ 00000001 00000000 00000000 DEADBEEF ]"}));
}

TEST(Printers, MutedDisplayPrintsNothing)
{
    RecordingDisplay d;
    d.mute_messages(true);
    _display_fingerprint(d, Fingerprint());
    d.message(UpdaterDisplayInterface::LEVEL_ERROR, "error");
    EXPECT_TRUE(d.info.empty());
    EXPECT_TRUE(d.errors.empty());
}
