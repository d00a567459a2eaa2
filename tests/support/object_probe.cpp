// A client of the object layer for the end-to-end tests of the connect
// operations that start discovery: an ordinary program linked with the real
// library, run once per case (inside a private network namespace, as
// discovery multicasts). It prints one line:
//
//   = ERR address=A serial=%08X port=P
//
// with the module address the object uses, the serial number read from the
// connected module's system entity (0 when none could be read) and the TCP
// port of the link specifier. Cases:
//
//   link TYPE SERIAL MODEL          Link::discoverAndConnect
//   link-twice TYPE SERIAL SERIAL2  the same again while connected, for SERIAL2
//   module TYPE SERIAL ADDRESS      Module(ADDRESS, 0)::connect
//   module-model TYPE MODEL ADDRESS Module(ADDRESS, MODEL)::discoverAndConnect(TYPE, 0)
//
// TYPE is USB or TCPIP; SERIAL is hexadecimal.

#include "device/core/kError.h"
#include "device/object/Link.h"
#include "device/object/Module.h"
#include "device/object/SystemClass.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

using namespace Kelvane::Vantor;

namespace
{

uint32_t Serial(Module& module)
{
    SystemClass system;
    (void)system.init(&module, 0);
    uint32_t serial = 0;
    (void)system.getSerialNumber(&serial);
    return serial;
}

void Print(kErr err, Module& module)
{
    linkSpec spec = {};
    (void)module.getLinkSpecifier(&spec);
    printf("= %s address=%u serial=%08X port=%u\n", kError_GetErrorText(err),
           module.getModuleAddress(), Serial(module), spec.tcpip.ipPort);
}

// A Link of its own, read through a module object that shares its engine
// link by the same specifier.
void PrintLink(kErr err, Link& link)
{
    linkSpec spec = {};
    uint8_t address = 0;
    (void)link.getModuleAddress(&address);
    Module reader(address, false, 0);
    if (link.getLinkSpecifier(&spec) == kErrNone && address)
        (void)reader.connectFromSpec(spec);
    uint32_t serial = reader.isConnected() ? Serial(reader) : 0;
    printf("= %s address=%u serial=%08X port=%u\n", kError_GetErrorText(err), address, serial,
           spec.tcpip.ipPort);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: object_probe CASE TYPE SERIAL|MODEL ARG\n");
        return 2;
    }
    const char* which = argv[1];
    linkType type = strcmp(argv[2], "USB") == 0 ? kLinkTypeUSB : kLinkTypeTCPIP;
    bool model = strcmp(which, "module-model") == 0;
    uint32_t first = (uint32_t)strtoul(argv[3], nullptr, model ? 0 : 16);
    uint32_t arg = (uint32_t)strtoul(argv[4], nullptr, strcmp(which, "link-twice") == 0 ? 16 : 0);
    if (strcmp(which, "link") == 0 || strcmp(which, "link-twice") == 0) {
        Link link("probe");
        bool twice = strcmp(which, "link-twice") == 0;
        kErr err = link.discoverAndConnect(type, first, twice ? 0 : (uint8_t)arg);
        if (twice && !err)
            err = link.discoverAndConnect(type, arg, 0);
        PrintLink(err, link);
    } else if (strcmp(which, "module") == 0) {
        Module module((uint8_t)arg, 0);
        Print(module.connect(type, first), module);
    } else if (model) {
        Module module((uint8_t)arg, (uint8_t)first);
        Print(module.discoverAndConnect(type, 0), module);
    } else {
        fprintf(stderr, "unknown case %s\n", which);
        return 2;
    }
    return 0;
}
