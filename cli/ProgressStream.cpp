#include "cli/ProgressStream.h"

#include "cli/JsonReport.h"
#include "device/core/kTime.h"

using namespace Cli;

namespace
{

const char* const EVENT_NAMES[] = {"stage", "block", "reboot", "verify"};

std::string _serial_text(uint32_t serialNumber)
{
    char text[16];
    snprintf(text, sizeof(text), "%08X", serialNumber);
    return text;
}

} // namespace

ProgressStream::ProgressStream(FILE* stream) : stream(stream), start(kTime_GetMSTicks()) {}

void ProgressStream::_write(const std::string& line)
{
    fprintf(stream, "%s\n", line.c_str());
    fflush(stream);
}

void ProgressStream::Event(uint32_t serialNumber, const ProgressEvent& event)
{
    std::lock_guard<std::mutex> hold(lock);
    uint64_t now = kTime_GetMSTicks();
    JsonDocument line = JsonDocument::object();
    line["event"] = EVENT_NAMES[event.kind];
    line["module"] = _serial_text(serialNumber);
    line["time"] = (double)(now - start) / 1000.0;
    switch (event.kind) {
    case ProgressEvent::STAGE:
        stageStart[serialNumber] = now;
        line["stage"] = event.stage;
        line["blocks"] = event.blocks;
        line["total"] = event.total;
        break;
    case ProgressEvent::BLOCK: {
        uint64_t elapsed = now - stageStart[serialNumber];
        line["stage"] = event.stage;
        line["block"] = event.block;
        line["blocks"] = event.blocks;
        line["bytes"] = event.bytes;
        line["total"] = event.total;
        line["bytesPerSecond"] = elapsed ? event.bytes * 1000 / elapsed : 0;
        break;
    }
    case ProgressEvent::REBOOT:
        break;
    case ProgressEvent::VERIFY:
        line["verified"] = event.verified;
        line["build"] = event.build;
        break;
    }
    _write(line.dump());
}

void ProgressStream::End(uint32_t serialNumber, const char* outcome, uint32_t verifiedBuild)
{
    std::lock_guard<std::mutex> hold(lock);
    JsonDocument line = JsonDocument::object();
    line["event"] = "end";
    line["module"] = _serial_text(serialNumber);
    line["time"] = (double)(kTime_GetMSTicks() - start) / 1000.0;
    line["outcome"] = outcome;
    line["verifiedBuild"] = verifiedBuild;
    _write(line.dump());
}
