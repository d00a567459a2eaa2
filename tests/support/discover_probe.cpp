// Runs the update engine's direct discovery and prints every record it
// returns whole, for the end-to-end tests of what the command line cannot
// reach or the printed list does not show: both link types in one search,
// the error of a TCP/IP record. Run it inside a private network namespace:
// it multicasts.
//
//   discover_probe TYPE      Updater::Discover_Devices, TYPE 0 (both), 1 (USB)
//                            or 2 (TCPIP)
//
// One line a record, in list order, then "= COUNT":
//
//   record type=T serial=S module=M router=R rserial=S model=N name=TEXT
//          version=A.B.C build=B error=E [ip=A.B.C.D port=P]   (TCP/IP only)

#include "UpdaterLib/source/Updater.h"
#include "tests/support/RecordingDisplay.h"

#include <stdio.h>
#include <stdlib.h>

static void sPrint(const std::vector<DeviceInfo>& devices)
{
    for (const DeviceInfo& d : devices) {
        const linkSpec& s = d.deviceSpec;
        printf("record type=%u serial=%08X module=%u router=%u rserial=%08X model=%u name=%s "
               "version=%u.%u.%u build=%u error=%d",
               (unsigned)s.type, s.serialNumber, s.module, s.router, s.routerSerialNumber, s.model,
               d.modelName.c_str(), d.versionMajor, d.versionMinor, d.versionPatch, d.build,
               d.error);
        if (s.type == kLinkTypeTCPIP) {
            const unsigned char* ip = (const unsigned char*)&s.tcpip.ipAddress;
            printf(" ip=%u.%u.%u.%u port=%u", ip[0], ip[1], ip[2], ip[3], s.tcpip.ipPort);
        }
        printf("\n");
    }
    printf("= %zu\n", devices.size());
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: discover_probe TYPE\n");
        return 2;
    }
    RecordingDisplay display;
    Updater updater("http://127.0.0.1:9/cgi/u", "/nonexistent", display);
    sPrint(updater.Discover_Devices((linkType)strtoul(argv[1], nullptr, 10)));
    return 0;
}
