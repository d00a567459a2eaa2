// Answers of the update server as the requests receive them: HTTPRequest::GET
// is this file's own and hands out the input's answers in turn, each a
// kind byte (status 200, another status, or a transport failure), a
// two-byte length and that many body bytes; once they run out every GET
// fails as an unreachable server does. Each request reads its answer: the
// ping, the latest build, the build's file (decoded from Base64, checked
// as a BIRD file and loaded), the build list (printed as -B prints it) and
// the recovery information.

#include "UpdaterLib/source/BirdFile.h"
#include "UpdaterLib/source/HTTPRequest.h"
#include "UpdaterLib/source/UpdateServerRequest.h"
#include "UpdaterLib/source/base64.h"
#include "cli/Printers.h"
#include "tests/fuzz/QuietDisplay.h"

#include <stdio.h>
#include <stdlib.h>

#include <stdexcept>

using namespace Cli;

namespace
{

const uint8_t* sAnswer;
size_t sLeft;

const char URL[] = "http://127.0.0.1:1/cgi/u";

} // namespace

HTTPResponse::HTTPResponse(const std::string& request) : request(request), status(0) {}

HTTPResponse HTTPRequest::GET(const char* baseURL, const std::map<std::string, std::string>&,
                              const HTTPLimits&)
{
    HTTPResponse response(baseURL);
    if (sLeft < 3)
        throw std::runtime_error("Couldn't connect to server");
    uint8_t kind = sAnswer[0];
    size_t length = (size_t)sAnswer[1] << 8 | sAnswer[2];
    sAnswer += 3;
    sLeft -= 3;
    if (length > sLeft)
        length = sLeft;
    response.process((const char*)sAnswer, length);
    sAnswer += length;
    sLeft -= length;
    if (kind % 4 == 3)
        throw std::runtime_error("Timeout was reached");
    response.set_status(kind % 4 == 2 ? 500 + kind : 200);
    return response;
}

static void sLoadBuild(const std::string& payload)
{
    size_t count = 0;
    unsigned char* bytes = base64_decode(payload.data(), payload.size(), &count);
    if (!bytes)
        return;
    if (count > payload.size() || bytes[count] != 0)
        abort();
    if (BirdFile::VerifyHeader(bytes, count)) {
        BirdFile file;
        if (file.LoadData(bytes, count))
            file.GetBuild();
    }
    free(bytes);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    sAnswer = data;
    sLeft = size;
    UpdateServerRequest::ping(URL);
    std::string build, firmware, payload;
    UpdateServerRequest::QueryBuild(0x2B, build, firmware, URL);
    UpdateServerRequest::GetBuild(0x2B, firmware.c_str(), build.c_str(), payload, URL, false);
    sLoadBuild(payload);
    std::map<std::string, std::string> builds;
    UpdateServerRequest::GetBuildList(0x2B, builds, URL);
    QuietDisplay display;
    _display_builds(display, builds, 0x2B);
    const uint32_t fingerprint[4] = {1, 2, 3, 4};
    uint32_t serial = 0, recovery = 0;
    UpdateServerRequest::GetRecoveryInfo(fingerprint, &serial, &recovery, URL);
    return 0;
}
