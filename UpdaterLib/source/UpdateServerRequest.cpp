#include "UpdaterLib/source/UpdateServerRequest.h"

#include "UpdaterLib/source/HTTPRequest.h"
#include "device/core/kLog.h"
#include "updater_config.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <stdexcept>
#include <vector>

typedef std::map<std::string, std::string> Parameters;
typedef std::vector<std::string> Lines;

const char* const UpdateServerRequest::default_url = UPDATER_DEFAULT_SERVER_URL;

namespace
{

std::string _hex(uint32_t value)
{
    char text[12];
    snprintf(text, sizeof(text), "%08X", value);
    return text;
}

// Lines separated by "\n"; empty lines do not count.
Lines _split_lines(const char* body, size_t size)
{
    Lines lines;
    size_t start = 0;
    for (size_t i = 0; i <= size; i++) {
        if (i == size || body[i] == '\n') {
            if (i > start)
                lines.emplace_back(body + start, i - start);
            start = i + 1;
        }
    }
    return lines;
}

// Numbers may come with a CR of a CR LF line end.
std::string _number_text(const std::string& line)
{
    if (!line.empty() && line.back() == '\r')
        return line.substr(0, line.size() - 1);
    return line;
}

// The answer's lines when the request succeeded: status 200 and a first line
// that begins with "ok".
bool _request(const char* name, const char* url, const Parameters& parameters, Lines& lines,
              const kCancel* cancel)
{
    const char* base = url ? url : UpdateServerRequest::default_url;
    HTTPLimits limits;
    limits.cancel = cancel;
    try {
        HTTPResponse response = HTTPRequest::GET(base, parameters, limits);
        if (response.get_status() != 200) {
            if (strcmp(name, "ping") == 0)
                Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", (int)response.get_status(),
                         response.get_response());
            else
                Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name, (int)response.get_status(),
                         response.get_response());
            return false;
        }
        lines = _split_lines(response.get_response(), response.get_response_size());
        if (lines.empty() || lines[0].compare(0, 2, "ok") != 0) {
            Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name,
                     response.get_request());
            return false;
        }
        return true;
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
        return false;
    }
}

} // namespace

bool UpdateServerRequest::ping(const char* url, const kCancel* cancel)
{
    Lines lines;
    return _request("ping", url, {{"op", "hi"}, {"rv", "2"}}, lines, cancel);
}

bool UpdateServerRequest::QueryBuild(uint32_t serialNumber, std::string& build,
                                     std::string& firmware, const char* url, const kCancel* cancel)
{
    Lines lines;
    if (!_request("QueryBuild", url, {{"op", "qu"}, {"sn", _hex(serialNumber)}}, lines, cancel))
        return false;
    if (lines.size() > 1)
        build = _number_text(lines[1]);
    if (lines.size() > 2)
        firmware = lines[2].substr(0, lines[2].find_first_of("\r\n"));
    return true;
}

bool UpdateServerRequest::GetBuild(uint32_t serialNumber, const char* firmware, const char* build,
                                   std::string& payload, const char* url, bool noCal,
                                   const kCancel* cancel)
{
    payload.clear();
    Parameters parameters = {{"op", "bird"},
                             {"sn", _hex(serialNumber)},
                             {"fw", firmware ? firmware : ""},
                             {"bld", build ? build : ""},
                             {"no_cal", noCal ? "true" : "false"}};
    Lines lines;
    if (!_request("GetBuild", url, parameters, lines, cancel))
        return false;
    if (lines.size() > 1)
        payload = lines[1];
    return true;
}

namespace
{

// Fields split at ";", CR and LF; runs of separators count as one.
Lines _fields(const std::string& line)
{
    Lines fields;
    size_t start = line.find_first_not_of(";\r\n");
    while (start != std::string::npos && fields.size() < 2) {
        size_t end = line.find_first_of(";\r\n", start);
        fields.push_back(line.substr(start, end == std::string::npos ? end : end - start));
        start = end == std::string::npos ? end : line.find_first_not_of(";\r\n", end);
    }
    return fields;
}

void _add_build(const std::string& line, std::map<std::string, std::string>& builds)
{
    size_t content = 0;
    for (char c : line)
        content += (c != '\r' && c != '\n');
    if (content < 2)
        return;
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", line.c_str());
    Lines fields = _fields(line);
    if (fields.empty())
        return;
    std::string version = fields.size() > 1 ? fields[1] : "";
    builds.emplace(fields[0], version);
    Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", fields[0].c_str(),
             version.c_str());
}

} // namespace

bool UpdateServerRequest::GetBuildList(uint32_t serialNumber,
                                       std::map<std::string, std::string>& builds, const char* url,
                                       const kCancel* cancel)
{
    builds.clear();
    Lines lines;
    if (!_request("GetBuildList", url, {{"op", "builds"}, {"sn", _hex(serialNumber)}}, lines,
                  cancel))
        return false;
    for (size_t i = 1; i < lines.size(); i++)
        _add_build(lines[i], builds);
    return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const uint32_t fingerprint[4], uint32_t* serialNumber,
                                          uint32_t* build, const char* url, const kCancel* cancel)
{
    // The blanks go out percent-encoded, as %20.
    char words[48];
    snprintf(words, sizeof(words), "%08X %08X %08X %08X", fingerprint[0], fingerprint[1],
             fingerprint[2], fingerprint[3]);
    Lines lines;
    if (!_request("GetRecoveryInfo", url, {{"op", "fix"}, {"fp", words}, {"brief", "true"}}, lines,
                  cancel))
        return false;
    std::string serialText = lines.size() > 1 ? _number_text(lines[1]) : "";
    std::string buildText = lines.size() > 2 ? _number_text(lines[2]) : "";
    if (lines.size() > 1 && serialNumber)
        *serialNumber = (uint32_t)strtoul(serialText.c_str(), nullptr, 16);
    if (lines.size() > 2 && build)
        *build = (uint32_t)strtoul(buildText.c_str(), nullptr, 0);
    Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", lines[0].c_str(),
             serialText.c_str(), buildText.c_str());
    return true;
}
