// A client of the USB transport, discovery and streams for the end-to-end
// tests: an ordinary program linked with the real library, driven one
// command per line on standard input. Each command answers one line on
// standard output that starts with "= " and the error name:
//
//   enumerate USB|TCPIP [first]  "= N" after one "module ..." line each;
//                                "first" stops after the first module
//   find USB|TCPIP SERIAL        "= found module ..." or "= none"
//   findfirst USB|TCPIP          likewise
//   create usblib|kernel         a transport record
//   open NAME | close | destroy | state
//   write HEX                    one vtusb_write_to_device
//   get [COUNT]                  COUNT vtusb_get_from_device calls (stops at
//                                an error): "= ERR HEX"
//   await MS                     gets until a byte comes or MS pass
//   call kernel-open|kernel-write|kernel-get|kernel-close|usblib-open|...
//                                a path operation on the record, for mode
//                                checks
//   stream SERIAL                kStream_CreateUSB
//   swrite HEX | sread COUNT MS | swait MS | sdestroy
//   roundtrip COUNT HEX MS       COUNT writes of HEX, each followed by
//                                reads until as many bytes came back;
//                                prints the times in microseconds
//   sleep MS
//
// Modules print as "module type=T serial=%08X module=M router=R
// rserial=%08X model=M usbid=%08X ip=A port=P".

#include "device/core/internal/vtusb.h"
#include "device/core/kDiscovery.h"
#include "device/core/kError.h"
#include "device/core/kStream.h"
#include "device/core/kTime.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace
{

vtusb* usb = nullptr;
kStream* stream = nullptr;

std::string Hex(const std::vector<uint8_t>& bytes)
{
    std::string out;
    char two[3];
    for (uint8_t b : bytes) {
        snprintf(two, sizeof(two), "%02x", b);
        out += two;
    }
    return out;
}

std::vector<uint8_t> Bytes(const std::string& hex)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back((uint8_t)strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
    return out;
}

std::string State()
{
    return std::to_string(vtusb_get_state(usb));
}

void Answer(kErr err, const std::string& extra = "")
{
    std::cout << "= " << kError_GetErrorText(err) << (extra.empty() ? "" : " ") << extra
              << std::endl;
}

std::string Describe(const linkSpec* s)
{
    char line[256];
    char ip[INET_ADDRSTRLEN] = "-";
    uint32_t usbId = 0, port = 0;
    if (s->type == kLinkTypeTCPIP) {
        struct in_addr a = {s->tcpip.ipAddress};
        inet_ntop(AF_INET, &a, ip, sizeof(ip));
        port = s->tcpip.ipPort;
    } else {
        usbId = s->usb.usbId;
    }
    snprintf(line, sizeof(line),
             "module type=%d serial=%08X module=%u router=%u rserial=%08X model=%u usbid=%08X "
             "ip=%s port=%u",
             (int)s->type, s->serialNumber, s->module, s->router, s->routerSerialNumber, s->model,
             usbId, ip, port);
    return line;
}

linkType Type(const std::string& word)
{
    return word == "TCPIP" ? kLinkTypeTCPIP : word == "USB" ? kLinkTypeUSB : (linkType)99;
}

bool PrintModule(const linkSpec* spec, bool* count, void* reference)
{
    std::cout << Describe(spec) << std::endl;
    *count = true;
    return !*(bool*)reference;
}

void Enumerate(std::istringstream& in)
{
    std::string type, first;
    in >> type >> first;
    bool stopAtFirst = first == "first";
    uint8_t n = kDiscovery_EnumerateModules(Type(type), PrintModule, &stopAtFirst);
    std::cout << "= " << (int)n << std::endl;
}

void Found(linkSpec* spec)
{
    if (!spec) {
        std::cout << "= none" << std::endl;
        return;
    }
    std::cout << "= found " << Describe(spec) << std::endl;
    (void)kLinkSpec_Destroy(&spec);
}

void Get(std::istringstream& in)
{
    int count = 1;
    in >> count;
    std::vector<uint8_t> got;
    kErr err = kErrNone;
    for (int i = 0; i < count && !err; i++) {
        uint8_t byte;
        err = vtusb_get_from_device(usb, &byte);
        if (!err)
            got.push_back(byte);
    }
    Answer(err, Hex(got));
}

// Gets until a byte comes or `ms` pass.
void Await(std::istringstream& in)
{
    uint64_t ms = 1000;
    in >> ms;
    uint64_t end = kTime_GetMSTicks() + ms;
    uint8_t byte = 0;
    kErr err;
    while ((err = vtusb_get_from_device(usb, &byte)) == kErrNotReady && kTime_GetMSTicks() < end)
        ;
    Answer(err, err ? "" : Hex({byte}));
}

kErr Call(const std::string& op)
{
    uint8_t byte = 0;
    if (op == "kernel-open")
        return vtusb_open_vantor_kernel_device(usb, "00000001");
    if (op == "kernel-write")
        return vtusb_write_to_kernel_device(usb, &byte, 1);
    if (op == "kernel-get")
        return vtusb_get_from_kernel_device(usb, &byte);
    if (op == "kernel-close")
        return vtusb_close_vantor_kernel_device(usb);
    if (op == "usblib-open")
        return vtusb_open_vantor_USBlib_device(usb, "00000001");
    if (op == "usblib-write")
        return vtusb_write_to_USBlib_device(usb, &byte, 1);
    if (op == "usblib-get")
        return vtusb_get_from_USBlib_device(usb, &byte);
    if (op == "usblib-close")
        return vtusb_close_vantor_USBlib_device(usb);
    return kErrParam;
}

// Reads `count` bytes from the stream, retrying while not ready, for `ms`;
// in between it waits for the stream, as the link's reader does.
kErr StreamRead(size_t count, uint64_t ms, std::vector<uint8_t>* got)
{
    got->assign(count, 0);
    uint64_t end = kTime_GetMSTicks() + ms;
    kErr err;
    uint64_t now;
    while ((err = kStream_Read(stream, got->data(), count)) == kErrNotReady &&
           (now = kTime_GetMSTicks()) < end) {
        if (kStream_CanWait(stream))
            (void)kStream_Wait(stream, (uint32_t)(end - now));
    }
    if (err)
        got->clear();
    return err;
}

void RoundTrip(std::istringstream& in)
{
    int count = 0;
    std::string hex;
    uint64_t ms = 1000;
    in >> count >> hex >> ms;
    std::vector<uint8_t> out = Bytes(hex), back;
    std::vector<double> times;
    kErr err = kErrNone;
    for (int i = 0; i < count && !err; i++) {
        struct timespec a, b;
        clock_gettime(CLOCK_MONOTONIC, &a);
        err = kStream_Write(stream, out.data(), out.size());
        if (!err)
            err = StreamRead(out.size(), ms, &back);
        clock_gettime(CLOCK_MONOTONIC, &b);
        times.push_back((double)(b.tv_sec - a.tv_sec) * 1e6 +
                        (double)(b.tv_nsec - a.tv_nsec) / 1e3);
    }
    std::ostringstream line;
    for (double t : times)
        line << (long)t << ",";
    Answer(err, line.str());
}

std::string Word(std::istringstream& in)
{
    std::string word;
    in >> word;
    return word;
}

uint32_t Serial(std::istringstream& in)
{
    return (uint32_t)strtoul(Word(in).c_str(), nullptr, 16);
}

void Find(std::istringstream& in)
{
    linkType type = Type(Word(in));
    Found(kDiscovery_FindModule(type, Serial(in)));
}

void FindFirst(std::istringstream& in)
{
    Found(kDiscovery_FindFirstModule(Type(Word(in))));
}

void Create(std::istringstream& in)
{
    usb = vtusb_create_usb(Word(in) == "kernel" ? kVTUSB_MODE_KERNEL : kVTUSB_MODE_USBLIB);
    Answer(usb ? kErrNone : kErrResource, State());
}

void Open(std::istringstream& in)
{
    kErr err = vtusb_open_vantor_device(usb, Word(in).c_str());
    Answer(err, State());
}

void Write(std::istringstream& in)
{
    std::vector<uint8_t> bytes = Bytes(Word(in));
    kErr err = vtusb_write_to_device(usb, bytes.data(), bytes.size());
    Answer(err, State());
}

void Close(std::istringstream&)
{
    kErr err = vtusb_close_vantor_device(usb);
    Answer(err, State());
}

void StreamCreate(std::istringstream& in)
{
    Answer(kStream_CreateUSB(Serial(in), &stream));
}

void StreamWrite(std::istringstream& in)
{
    std::vector<uint8_t> bytes = Bytes(Word(in));
    Answer(kStream_Write(stream, bytes.data(), bytes.size()));
}

void StreamReadCommand(std::istringstream& in)
{
    size_t count = 1;
    uint64_t ms = 1000;
    in >> count >> ms;
    std::vector<uint8_t> got;
    kErr err = StreamRead(count, ms, &got);
    Answer(err, Hex(got));
}

void Sleep(std::istringstream& in)
{
    uint64_t ms = 0;
    in >> ms;
    kTime_MSSleep(ms);
    Answer(kErrNone);
}

typedef void (*Command)(std::istringstream& in);

const std::map<std::string, Command> COMMANDS = {
    {"enumerate", Enumerate},
    {"find", Find},
    {"findfirst", FindFirst},
    {"create", Create},
    {"open", Open},
    {"state", [](std::istringstream&) { Answer(kErrNone, State()); }},
    {"write", Write},
    {"get", Get},
    {"await", Await},
    {"close", Close},
    {"destroy", [](std::istringstream&) { Answer(vtusb_destroy(&usb)); }},
    {"call", [](std::istringstream& in) { Answer(Call(Word(in))); }},
    {"stream", StreamCreate},
    {"swrite", StreamWrite},
    {"sread", StreamReadCommand},
    {"swait",
     [](std::istringstream& in) {
         uint32_t ms = 0;
         in >> ms;
         Answer(kStream_Wait(stream, ms));
     }},
    {"sdestroy", [](std::istringstream&) { Answer(kStream_Destroy(&stream)); }},
    {"roundtrip", RoundTrip},
    {"sleep", Sleep},
};

} // namespace

int main()
{
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string command;
        if (!(in >> command))
            continue;
        if (command == "quit")
            break;
        auto found = COMMANDS.find(command);
        if (found == COMMANDS.end())
            Answer(kErrParam, "unknown command");
        else
            found->second(in);
    }
    if (stream)
        (void)kStream_Destroy(&stream);
    if (usb)
        (void)vtusb_destroy(&usb);
    return 0;
}
