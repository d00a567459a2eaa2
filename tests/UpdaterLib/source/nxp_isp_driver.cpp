// Runs NXPSerialClass operations named on the command line against a boot
// ROM on a serial port, one result line each on standard output, for the
// tests and benchmark scripts that play the ROM with tools/lpc_rom_sim.py.
//
//   nxp_isp_driver [-X MASK] PORT RATE OPERATION...
//
// Operations: sync, id, part, version, unlock, echo=0|1, baud=RATE,
// prepare=FIRST,LAST, erase=FIRST,LAST, copy=FLASH,RAM,COUNT, go=ADDRESS,
// write=ADDRESS,FILE, read=ADDRESS,COUNT,FILE, connect=RATE, wait (prints
// "wait" and reads a line from standard input) and program=FILE, which
// writes the file into flash from address 0 the way the recovery does:
// unlock, prepare and erase sectors 0-29, echo off, then per 4096-byte chunk
// a write to the staging RAM, prepare of the chunk's sectors and a copy,
// and finally echo on and a start at address 0. Each result line is the
// operation, the kErr name and any values. -X turns the log on (stderr).

#include "UpdaterLib/source/NXPSerial.h"
#include "device/core/kLog.h"
#include "device/core/kTime.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

namespace
{

typedef std::vector<uint8_t> Bytes;

const uint32_t CHUNK = 4096;

std::vector<std::string> sFields(const std::string& text)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        out.push_back(text.substr(start, comma == std::string::npos ? comma : comma - start));
        if (comma == std::string::npos)
            return out;
        start = comma + 1;
    }
}

uint32_t sNumber(const std::string& text)
{
    return (uint32_t)strtoul(text.c_str(), nullptr, 0);
}

bool sLoad(const std::string& path, Bytes& bytes)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    uint8_t buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        bytes.insert(bytes.end(), buf, buf + n);
    fclose(f);
    return true;
}

bool sSave(const std::string& path, const Bytes& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

void sResult(const std::string& op, kErr err, const std::string& values = "")
{
    printf("%s %s%s%s\n", op.c_str(), kError_GetErrorText(err), values.empty() ? "" : " ",
           values.c_str());
    fflush(stdout);
}

/// One chunk as the recovery writes it: staging RAM, prepare, copy.
kErr sProgramChunk(NXPSerialClass& nxp, const uint8_t* bytes, uint32_t length, uint32_t flash,
                   std::string& step)
{
    step = "write";
    kErr err = nxp.Write(NXPSerialClass::WRITE_ADDRESS, length, bytes);
    if (err)
        return err;
    step = "prepare";
    err = nxp.Prepare(NXPSerialClass::SectorFromAddress(flash),
                      NXPSerialClass::SectorFromAddress(flash + length - 1));
    if (err)
        return err;
    step = "copy";
    return nxp.CopyToFlash(flash, NXPSerialClass::WRITE_ADDRESS,
                           NXPSerialClass::CopyLength(length));
}

kErr sStep(std::string& step, const char* name, kErr err)
{
    step = name;
    return err;
}

kErr sProgram(NXPSerialClass& nxp, const Bytes& image, std::string& step, uint32_t& done)
{
    done = 0;
    kErr err = sStep(step, "unlock", nxp.Unlock());
    if (!err)
        err = sStep(step, "prepare all", nxp.Prepare(0, 29));
    if (!err)
        err = sStep(step, "erase all", nxp.Erase(0, 29));
    if (!err)
        err = sStep(step, "echo off", nxp.SetEcho(false));
    while (!err && done < image.size()) {
        uint32_t length = (uint32_t)std::min<size_t>(CHUNK, image.size() - done);
        err = sProgramChunk(nxp, image.data() + done, length, done, step);
        if (!err)
            done += length;
    }
    if (!err)
        err = sStep(step, "echo on", nxp.SetEcho(true));
    if (!err)
        err = sStep(step, "go", nxp.ExecuteFrom(0));
    return err;
}

void sRunProgram(NXPSerialClass& nxp, const std::string& op, const std::string& path)
{
    Bytes image;
    if (!sLoad(path, image))
        return sResult(op, kErrNotFound);
    std::string step;
    uint32_t done = 0;
    uint64_t start = kTime_GetMSTicks();
    kErr err = sProgram(nxp, image, step, done);
    char values[128];
    snprintf(values, sizeof(values), "bytes=%u ms=%llu step=%s", done,
             (unsigned long long)(kTime_GetMSTicks() - start), err ? step.c_str() : "done");
    sResult(op, err, values);
}

void sRunData(NXPSerialClass& nxp, const std::string& op, const std::vector<std::string>& args)
{
    if (op == "write" && args.size() == 2) {
        Bytes bytes;
        if (!sLoad(args[1], bytes))
            return sResult(op, kErrNotFound);
        return sResult(op, nxp.Write(sNumber(args[0]), (uint32_t)bytes.size(), bytes.data()));
    }
    if (op == "read" && args.size() == 3) {
        Bytes bytes(sNumber(args[1]) + 1);
        kErr err = nxp.Read(sNumber(args[0]), sNumber(args[1]), bytes.data());
        bytes.pop_back();
        if (!err && !sSave(args[2], bytes))
            err = kErrIO;
        return sResult(op, err);
    }
    sResult(op, kErrInvalidOption);
}

void sRunIdentity(NXPSerialClass& nxp, const std::string& op)
{
    char values[128] = "";
    kErr err = kErrInvalidOption;
    if (op == "id") {
        err = nxp.GetDeviceID();
        snprintf(values, sizeof(values), "0x%08X 0x%08X 0x%08X 0x%08X", nxp.DeviceId(0),
                 nxp.DeviceId(1), nxp.DeviceId(2), nxp.DeviceId(3));
    } else if (op == "part") {
        int64_t part = 0;
        err = nxp.GetPartNumber(part);
        snprintf(values, sizeof(values), "%lld", (long long)part);
    } else if (op == "version") {
        uint8_t major = 0, minor = 0;
        err = nxp.GetBootLoaderVersion(major, minor);
        snprintf(values, sizeof(values), "%d.%d", major, minor);
    }
    sResult(op, err, err ? "" : values);
}

void sRun(NXPSerialClass& nxp, const std::string& word, const std::string& port)
{
    size_t eq = word.find('=');
    std::string op = word.substr(0, eq);
    std::vector<std::string> a =
        eq == std::string::npos ? std::vector<std::string>() : sFields(word.substr(eq + 1));
    if (op == "sync")
        sResult(op, nxp.Sync());
    else if (op == "id" || op == "part" || op == "version")
        sRunIdentity(nxp, op);
    else if (op == "unlock")
        sResult(op, nxp.Unlock());
    else if (op == "echo" && a.size() == 1)
        sResult(op, nxp.SetEcho(sNumber(a[0]) != 0));
    else if (op == "baud" && a.size() == 1)
        sResult(op, nxp.SetBaudRate(sNumber(a[0])));
    else if (op == "prepare" && a.size() == 2)
        sResult(op, nxp.Prepare(sNumber(a[0]), sNumber(a[1])));
    else if (op == "erase" && a.size() == 2)
        sResult(op, nxp.Erase(sNumber(a[0]), sNumber(a[1])));
    else if (op == "copy" && a.size() == 3)
        sResult(op, nxp.CopyToFlash(sNumber(a[0]), sNumber(a[1]), sNumber(a[2])));
    else if (op == "go" && a.size() == 1)
        sResult(op, nxp.ExecuteFrom(sNumber(a[0])));
    else if (op == "connect" && a.size() == 1)
        sResult(op, nxp.Connect(port.c_str(), sNumber(a[0])), std::to_string(nxp.BaudRate()));
    else if (op == "program" && a.size() == 1)
        sRunProgram(nxp, op, a[0]);
    else if (op == "wait") {
        sResult(op, kErrNone);
        char line[16];
        if (!fgets(line, sizeof(line), stdin))
            clearerr(stdin);
    } else
        sRunData(nxp, op, a);
}

} // namespace

int main(int argc, char** argv)
{
    int first = 1;
    if (argc > 2 && strcmp(argv[1], "-X") == 0) {
        Log::SetOutput(stderr);
        Log::ActivatePackage((uint32_t)strtoul(argv[2], nullptr, 0));
        first = 3;
    }
    if (argc - first < 2) {
        fprintf(stderr, "usage: %s [-X MASK] PORT RATE OPERATION...\n", argv[0]);
        return 2;
    }
    std::string port = argv[first];
    NXPSerialClass nxp;
    kErr err = nxp.Connect(port.c_str(), sNumber(argv[first + 1]));
    sResult("connect", err, std::to_string(nxp.BaudRate()));
    if (err)
        return 1;
    for (int i = first + 2; i < argc; i++)
        sRun(nxp, argv[i], port);
    return 0;
}
