// Drives the serial download loader of the library against a ROM (the
// simulator, over a pty or the emulated HID device), one step per argument
// group, and prints one result line per step on standard output:
//
//   sdp_probe (--hid | --serial PATH) [--log] STEP...
//     fingerprint            "fingerprint RESULT 0xVALUE"
//     write FILE ADDRESS     "write RESULT"  (writeLoader with the file's bytes)
//     start ADDRESS          "start"         (startLoader)
//     send HEX TIMEOUT       "send WRITTEN READ ANSWER WORD": one packet through
//                            the transport, then one read with the time-out;
//                            WORD is "-" when the answer holds no data word
//     send-file FILE TIMEOUT the same with report ID 0 and the file's bytes
//     write-register ADDRESS VALUE   the same with the write-register packet
//
// First comes "init RESULT"; the program ends with status 1 when init fails.
// --log writes the loader's debug log to standard error.

#include "UpdaterLib/source/HID_SDPLoader.h"
#include "UpdaterLib/source/SDPLoader.h"
#include "UpdaterLib/source/Serial_SDPLoader_unix.h"
#include "device/core/kLog.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace
{

typedef std::vector<uint8_t> Bytes;

uint32_t Number(const char* text)
{
    return (uint32_t)strtoul(text, nullptr, 0);
}

std::string Hex(const Bytes& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text.empty() ? "-" : text;
}

bool Unhex(const char* text, Bytes& out)
{
    size_t length = strlen(text);
    if (length % 2)
        return false;
    for (size_t i = 0; i < length; i += 2) {
        char pair[3] = {text[i], text[i + 1], 0};
        char* end = nullptr;
        out.push_back((uint8_t)strtoul(pair, &end, 16));
        if (*end)
            return false;
    }
    return true;
}

// Appends the file's bytes to `out`.
bool ReadFile(const char* path, Bytes& out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.insert(out.end(), std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

void Send(SDPLoader_Interface& transport, const Bytes& packet, uint32_t timeout)
{
    ssize_t written = transport.writeData(packet);
    Bytes answer;
    ssize_t got = transport.readData(answer, timeout);
    uint32_t word = 0;
    bool hasWord = transport.getDataFromBuffer(answer, 0, word);
    char text[16] = "-";
    if (hasWord)
        snprintf(text, sizeof(text), "0x%08X", word);
    printf("send %zd %zd %s %s\n", written, got, Hex(answer).c_str(), text);
}

// The steps from argv[at]; false on a malformed step.
bool RunSteps(SDPLoader& loader, SDPLoader_Interface& transport, int argc, char** argv, int at)
{
    while (at < argc) {
        std::string step = argv[at++];
        int left = argc - at;
        if (step == "fingerprint") {
            uint64_t value = 0;
            int result = loader.getFingerprint(value);
            printf("fingerprint %d 0x%016llX\n", result, (unsigned long long)value);
        } else if (step == "write" && left >= 2) {
            Bytes image;
            if (!ReadFile(argv[at], image))
                return false;
            printf("write %d\n", loader.writeLoader(image, Number(argv[at + 1])));
            at += 2;
        } else if (step == "start" && left >= 1) {
            loader.startLoader(Number(argv[at++]));
            printf("start\n");
        } else if (step == "send" && left >= 2) {
            Bytes packet;
            if (!Unhex(argv[at], packet))
                return false;
            Send(transport, packet, Number(argv[at + 1]));
            at += 2;
        } else if (step == "send-file" && left >= 2) {
            Bytes packet(1, 0);
            if (!ReadFile(argv[at], packet))
                return false;
            Send(transport, packet, Number(argv[at + 1]));
            at += 2;
        } else if (step == "write-register" && left >= 2) {
            Send(transport, SDPLoader::writeRegisterPacket(Number(argv[at]), Number(argv[at + 1])),
                 100);
            at += 2;
        } else {
            return false;
        }
        fflush(stdout);
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    int at = 1;
    SDPLoader_Interface* transport = nullptr;
    if (at < argc && strcmp(argv[at], "--hid") == 0) {
        transport = new HID_SDPLoader(IMX1050::VID, IMX1050::PID);
        at++;
    } else if (at + 1 < argc && strcmp(argv[at], "--serial") == 0) {
        transport = new Serial_SDPLoader(argv[at + 1]);
        at += 2;
    }
    if (!transport) {
        fprintf(stderr, "usage: %s (--hid | --serial PATH) [--log] STEP...\n", argv[0]);
        return 2;
    }
    if (at < argc && strcmp(argv[at], "--log") == 0) {
        Log::SetOutput(stderr);
        Log::ActivatePackage(DEBUG_iMXSerial);
        at++;
    }
    SDPLoader loader;
    loader.setLoader(transport);
    int result = loader.init();
    printf("init %d\n", result);
    fflush(stdout);
    if (result != SDPLoader::SDP_OK)
        return 1;
    if (!RunSteps(loader, *transport, argc, argv, at)) {
        fprintf(stderr, "sdp_probe: bad step near argument %d\n", at);
        return 2;
    }
    return 0;
}
