#include "cli/Usage.h"

#include "device/core/kVersion.h"
#include "updater_config.h"

#include <stdio.h>
#include <string.h>

using namespace Cli;

// The usage texts, verbatim; the short usage is split where the program's
// name goes.
static const char SHORT_USAGE_HEAD[] = R"(
Application Usage:
)";
static const char SHORT_USAGE_TAIL[] = R"( <-B | -D | -G | -U > [-Hh | --help] [-b build_num]
    [-d serial_num]
    [-t transport] [-r router_serial]
    [-s serial_port] [-o baud_rate]

  Vantor Update and Maintenance Application
    -H -h or --help for full usage information.

)";

static const char PARAMETERS_USAGE[] = R"(  Parameters to commands:
     -b <build number>        - Build version of the firmware to transfer.
                                [Default: latest version available].
     -d <device>              - Device serial number of the device to access.
     -t <transport type>      - communications method [USB,TCP,RECOVER].
     -r <router serial>       - indirect connection through router device
     -s <serial port>         - name of serial port to use for recovery
     -o <baud rate>           - baud rate for serial port (2400, 4800, 9600,
                                19200, 38400, 57600, 115200, 230400)
  Commands:
     -B                       - list the Builds available for given device.

     -D                       - Discover devices that are currently connected.

     -G                       - Get build file from the Kelvane server and
                                store on local machine for download to device.
                                Must specify a specific device ["-d" option].
                                Default is to obtain the latest build for the
                                given device, override with "-b" option.

     -U                       - Update the firmware on device specified.
                                Must specify a specific device ["-d" option].
                                Default is to download the latest build for the
                                given device, override with "-b" option or
                                specify specific BIRD file using "-f" option.
     -H or -h                 - Display extended usage information.

)";

static const char EXTENDED_USAGE_HEAD[] = R"(  Extended Parameters:
     -f <bird file>           - Firmware file to be transferred to device.
     -e                       - echoing of bytes enabled during recovery.

     -l 'log message'         - message to place in device history log
     -k <filename>            - log messages written into given filename
                                Default:[APP.log]
     -u <host:port>           - The hostname and port of the update server
)";
static const char EXTENDED_USAGE_TAIL[] =
    R"(     -j or --json             - Write the result as one JSON document on the
                                standard output (-D, -B, -G, -U, -N); all
                                messages go to the standard error stream.
     -d <serial>,<serial>...  - With -G and -U: several devices, updated at
                                once, then one summary line each.
     --jobs <n>               - At most n devices at once [Default: 4].
     --dry-run                - Check everything and show the plan; send,
                                download and store nothing.
     --skip-current           - Leave a device that already runs the build.
     --progress=json          - The update's steps as JSON lines on the
                                standard error stream.
  Extended Commands:
     -I                       - View stored device information.
                                Must either use DISCOVER command ["-D"] or
                                specify a specific device ["-d" option].

     -OVERRIDE                - Override the model checks for BIRD firmware files.
                                This option should only be used when authorized by
                                Kelvane development engineers.

     -N                       - Get fingerprint from a device, requires -s

     -X <BIT_MASK>            - Bitmask for Logging
                                DEBUG_Updater       0x00000001
                                DEBUG_History       0x00000002
                                DEBUG_Attributes    0x00000004
                                DEBUG_BirdFile      0x00000008
                                DEBUG_Network       0x00000010
                                DEBUG_ServerComm    0x00000020

                                DEBUG_Network       0x00000100
                                DEBUG_Network_SR    0x00000200
                                DEBUG_Network_FIRM  0x00000400

                                DEBUG_NXPSerial     0x00001000
                                DEBUG_NXPSerial_E   0x00002000
                                DEBUG_NXPSerial_SR  0x00004000

                                DEBUG_APP           0x00010000

                                DEBUG_iMXSerial     0x10000000

     -C                       - Check the given BIRDFILE

)";

static const char SAMPLE_USAGE[] = R"( Sample usage:

-D                             Discover all devices connected by either USB or TCPIP.
                               Records the device information into the settings for that device.

-D -t USB                      Discover all the devices connected by USB. Records the
                               device information into the settings for that device.

-D -t USB -d 0F5849A           Discover settings of the specific device (serial number 0x40F5849A)

-G -d 40F5849A                 Get the latest firmware for the given device.
                               Downloads the firmware file into the updater specific device directory.

-U -d 40F5849A                 Update the firmware on the specific device.
                               Without other options, this command will try to locate
                               the latest firmware version to be used for updating the device.

-G -d 40F5849A -b 99528558     Get the specified build's firmware for the given device.
                               Downloads the firmware file into the updater's specific
                               device directory with the build number as the filename.

-G -U -d 40F5849A              Get the latest firmware for the given device.
                               Downloads the firmware file into the updater specific
                               device directory. After download, update the firmware
                               using the latest release.

-U -t RECOVER -s /dev/serial   Update the firmware as described above, but uses the serial interface
                               in communicating with the device to install the latest firmware.

 Sample usage for network discovery and updates:

-D -r D272031D                 Discover all devices connected to the I2C Vantor network
                               of the given routing device D272031D.

-U -d 0000DA01 -r D272031D     Update the firmware of device 0000DA01 on the network of
                               the routing device D272031D, through the router's link.

-U -d 40F5849A,0BADCAFE        Update both devices at once; the run ends with one line
                               per device and exits 0 only when every update was verified.

)";

static const char APP_NAME[] = "Updater";
static const char APP_VERSION[] = "Version: 1.1 Apr 26 2023";
static const char COPYRIGHT_NOTICE[] = "Copyright (C) 2023 Kelvane";

void Cli::_display_app_version(UpdaterDisplayInterface& display)
{
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s (%s)", APP_NAME, APP_VERSION);
}

void Cli::_display_copyright(UpdaterDisplayInterface& display)
{
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "(%s)", COPYRIGHT_NOTICE);
}

void Cli::_display_vt_version(UpdaterDisplayInterface& display)
{
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "[Vantor Release: %d.%d.%d]",
                    kVersion_GetMajor(), kVersion_GetMinor(), (int)kVersion_GetPatch());
}

std::string Cli::_server_host_and_port(const char* url)
{
    const char* host = strstr(url, "://");
    host = host ? host + 3 : url;
    size_t length = strcspn(host, "/");
    std::string hostPort(host, length);
    if (hostPort.find(':') == std::string::npos)
        hostPort += ":80";
    return hostPort;
}

void Cli::_display_usage(bool extended, bool full)
{
    fprintf(stderr, "%s%s%s", SHORT_USAGE_HEAD, APP_NAME, SHORT_USAGE_TAIL);
    if (!full)
        return;
    fputs(PARAMETERS_USAGE, stderr);
    if (extended) {
        fputs(EXTENDED_USAGE_HEAD, stderr);
        fprintf(stderr, "                                Default: %s\n",
                _server_host_and_port(UPDATER_DEFAULT_SERVER_URL).c_str());
        fputs(EXTENDED_USAGE_TAIL, stderr);
    }
    fputs(SAMPLE_USAGE, stderr);
}
