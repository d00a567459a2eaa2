#include "cli/Parameters.h"

#include "UpdaterLib/source/path.h"
#include "device/core/kDirectory.h"
#include "device/core/kLog.h"
#include "updater_config.h"

#include <stdlib.h>
#include <string.h>

#include <vector>

using namespace Cli;

#define OPTION_HELP 0
#define OPTION_COMMAND 1
#define OPTION_PARAMETER 2

enum OptionArgument { ARG_NONE, ARG_REQUIRED };

struct Option {
    const char* word;
    int id;
    OptionArgument argument;
    bool wholeOnly = false; ///< never matched by a prefix
};

static const Option g_rgOptions[] = {
    {"-B", OPTION_COMMAND, ARG_NONE},
    {"-D", OPTION_COMMAND, ARG_NONE},
    {"-G", OPTION_COMMAND, ARG_NONE},
    {"-I", OPTION_COMMAND, ARG_NONE},
    {"-U", OPTION_COMMAND, ARG_NONE},
    {"-OVERRIDE", OPTION_COMMAND, ARG_NONE},
    {"-N", OPTION_COMMAND, ARG_NONE},
    {"-Y", OPTION_COMMAND, ARG_NONE},
    {"-C", OPTION_COMMAND, ARG_NONE},
    {"-h", OPTION_HELP, ARG_NONE},
    {"-H", OPTION_HELP, ARG_NONE},
    {"-n", OPTION_PARAMETER, ARG_NONE},
    {"-X", OPTION_PARAMETER, ARG_REQUIRED},
    {"-Z", OPTION_PARAMETER, ARG_REQUIRED},
    {"-b", OPTION_PARAMETER, ARG_REQUIRED},
    {"-d", OPTION_PARAMETER, ARG_REQUIRED},
    {"-t", OPTION_PARAMETER, ARG_REQUIRED},
    {"-f", OPTION_PARAMETER, ARG_REQUIRED},
    {"-r", OPTION_PARAMETER, ARG_REQUIRED},
    {"-s", OPTION_PARAMETER, ARG_REQUIRED},
    {"-o", OPTION_PARAMETER, ARG_REQUIRED},
    {"-e", OPTION_PARAMETER, ARG_REQUIRED},
    {"-l", OPTION_PARAMETER, ARG_REQUIRED},
    {"-k", OPTION_PARAMETER, ARG_REQUIRED},
    {"-u", OPTION_PARAMETER, ARG_REQUIRED},
    {"--help", OPTION_HELP, ARG_NONE},
    // Taken only whole, so that "--" and "--h" stay prefixes of --help alone.
    {"--json", OPTION_PARAMETER, ARG_NONE, true},
    {"--jobs", OPTION_PARAMETER, ARG_REQUIRED, true},
    {"--dry-run", OPTION_PARAMETER, ARG_NONE, true},
    {"--skip-current", OPTION_PARAMETER, ARG_NONE, true},
    {"--progress", OPTION_PARAMETER, ARG_REQUIRED, true},
    {"-j", OPTION_PARAMETER, ARG_NONE},
    {nullptr, -1, ARG_NONE},
};

namespace
{

const char DEFAULT_SERVER_URL[] = UPDATER_DEFAULT_SERVER_URL;
const uint32_t DEFAULT_JOBS = 4;
const uint32_t MOST_JOBS = 64;

uint64_t _get_arg(const char* text, const char** end, const char* digits, int base)
{
    if (!end || !text)
        return 0;
    if (strspn(text, digits) != strlen(text))
        return 0;
    char* stop = nullptr;
    uint64_t value = strtoull(text, &stop, base);
    *end = stop;
    return value;
}

} // namespace

uint64_t Cli::_get_hex_arg(const char* text, const char** end)
{
    return _get_arg(text, end, "0123456789ABCDEFabcdef", 16);
}

uint64_t Cli::_get_int_arg(const char* text, const char** end)
{
    return _get_arg(text, end, "0123456789", 10);
}

int Cli::_validate_params(const Parameters&)
{
    return 0;
}

void Cli::_release_params(Parameters& params)
{
    params = Parameters();
}

std::string Cli::_build_updater_directory(kErr* error)
{
    char home[kDIR_PATH_MAX];
    kErr err = kDirectory_GetHomeDirectory(home, sizeof(home));
    if (error)
        *error = err;
    if (err) {
        Log::log(DEBUG_APP, "Updater: FailedkDirectory_GetHomeDirectory()==> %d\n", err);
        return std::string();
    }
    return BuildPath(home, ".kelvane", "updater", (const char*)nullptr);
}

namespace
{

void _set_defaults(Parameters& params, const char* program)
{
    params = Parameters();
    params.serialNumber = 0;
    params.routerSerialNumber = 0;
    params.transport = TRANSPORT_USB;
    params.transportGiven = false;
    params.baudRate = 115200;
    params.moduleAddress = 0;
    params.echoBytes = false;
    params.serverURL = DEFAULT_SERVER_URL;
    params.flagN = false;
    const char* base = program ? program : "";
    for (const char* p = base; *p; p++) {
        if (*p == '/' || *p == '\\')
            base = p + 1;
    }
    params.appName = base;
    char home[2048];
    if (kDirectory_GetHomeDirectory(home, sizeof(home)) == kErrNone)
        params.homeDirectory = home;
    params.logMode = "a+";
    params.logFileName = "Updater.log";
    params.overrideModelCheck = false;
    params.logPackageMask = 0;
    params.extendedUsage = true;
    params.helpRequested = false;
    params.jsonOutput = false;
    params.jobs = DEFAULT_JOBS;
    params.dryRun = false;
    params.skipCurrent = false;
    params.progressJson = false;
}

// The option a word names: itself, or the one table word it is a proper
// prefix of.
const Option* _lookup(const std::string& word)
{
    const Option* prefixOf = nullptr;
    int prefixCount = 0;
    for (const Option* o = g_rgOptions; o->word; o++) {
        if (word == o->word)
            return o;
        if (!o->wholeOnly && strncmp(o->word, word.c_str(), word.size()) == 0) {
            prefixOf = o;
            prefixCount++;
        }
    }
    return prefixCount == 1 ? prefixOf : nullptr;
}

// A word that begins with "--" and names no option is a parameter error,
// unlike other words that match nothing: a misspelt long option (a safety
// option above all) must never let the command run without it.
bool _unknown_long_word(UpdaterDisplayInterface& display, const char* word)
{
    if (strncmp(word, "--", 2) != 0)
        return false;
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Unknown option [%s]", word);
    return true;
}

void _format_error(UpdaterDisplayInterface& display, const char* word, const char* rest)
{
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Invalid format for \"%s\" parameter, unprocessed characters [%s]", word, rest);
}

// -d and -r: hexadecimal, optionally after "0x"; 0 and values beyond 32 bits
// are refused.
bool _serial_arg(UpdaterDisplayInterface& display, const char* word, const char* arg,
                 const char* prefixLog, const char* invalidFormat, uint32_t& out)
{
    if (arg[0] == '0' && (arg[1] == 'x' || arg[1] == 'X')) {
        Log::log(DEBUG_Updater, "%s", prefixLog);
        arg += 2;
    }
    const char* end = arg + strlen(arg);
    uint64_t value = _get_hex_arg(arg, &end);
    bool ok = true;
    if (*end != '\0') {
        _format_error(display, word, end);
        ok = false;
    }
    if (value == 0 || value > 0xFFFFFFFFu) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, invalidFormat, arg);
        value = 0;
        ok = false;
    }
    out = (uint32_t)value;
    return ok;
}

// -b and -o: decimal, wrapped to 32 bits; a text that is not all digits is 0.
bool _int_arg(UpdaterDisplayInterface& display, const char* word, const char* arg, uint32_t& out)
{
    const char* end = arg + strlen(arg);
    uint64_t value = _get_int_arg(arg, &end);
    out = (uint32_t)value;
    if (*end != '\0') {
        _format_error(display, word, end);
        return false;
    }
    return true;
}

void _log_mask(UpdaterDisplayInterface& display, const char* word, const char* arg,
               Parameters& params)
{
    params.extendedUsage = true;
    bool hex = arg[0] == '0' && (arg[1] == 'x' || arg[1] == 'X');
    char* end = nullptr;
    params.logPackageMask = (uint32_t)strtoul(arg, &end, hex ? 16 : 10);
    if (end && *end != '\0') {
        _format_error(display, word, end);
        return;
    }
    Log::ActivatePackage(params.logPackageMask);
}

bool _transport_arg(UpdaterDisplayInterface& display, const char* arg, Parameters& params)
{
    params.transportGiven = true;
    if (strncmp(arg, "USB", 3) == 0) {
        params.transport = TRANSPORT_USB;
    } else if (strncmp(arg, "TCP", 3) == 0) {
        params.transport = TRANSPORT_TCPIP;
    } else if (strncmp(arg, "RECOVER", 7) == 0) {
        params.transport = TRANSPORT_RECOVER;
    } else {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, "
                        "RECOVER",
                        arg);
        params.transport = 0;
        return false;
    }
    return true;
}

bool _command(UpdaterDisplayInterface& display, const Option& option, Parameters& params)
{
    switch (option.word[1]) {
    case 'B':
        params.commands.Set(CMD_LIST_BUILDS);
        break;
    case 'D':
        params.commands.Set(CMD_DISCOVER);
        break;
    case 'G':
        params.commands.Set(CMD_GET);
        break;
    case 'I':
        params.commands.Set(CMD_INFO);
        break;
    case 'U':
        params.commands.Set(CMD_UPDATE);
        break;
    case 'O':
        params.overrideModelCheck = true;
        break;
    case 'N':
        params.commands.Set(CMD_FINGERPRINT);
        break;
    case 'C':
        params.commands.Set(CMD_CHECK);
        break;
    default:
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Unhandled command: [%s]",
                        option.word);
        return false;
    }
    return true;
}

// -d: one serial number, or several separated by commas, each read as a
// single one is.
bool _serial_list_arg(UpdaterDisplayInterface& display, const char* word, const char* arg,
                      Parameters& params)
{
    params.serialNumbers.clear();
    bool ok = true;
    std::string list(arg);
    size_t from = 0;
    for (;;) {
        size_t comma = list.find(',', from);
        std::string item = list.substr(from, comma == std::string::npos ? comma : comma - from);
        uint32_t serialNumber = 0;
        ok = _serial_arg(display, word, item.c_str(), "Discarding '0x' serial number prefix\n",
                         "Invalid serial number obtained from argument [%s]", serialNumber) &&
             ok;
        params.serialNumbers.push_back(serialNumber);
        if (comma == std::string::npos)
            break;
        from = comma + 1;
    }
    params.serialNumber = params.serialNumbers[0];
    return ok;
}

// The long options beyond --json: each only whole.
bool _long_parameter(UpdaterDisplayInterface& display, const Option& option, const char* arg,
                     Parameters& params)
{
    std::string word(option.word);
    if (word == "--dry-run") {
        params.dryRun = true;
    } else if (word == "--skip-current") {
        params.skipCurrent = true;
    } else if (word == "--progress") {
        params.progressJson = strcmp(arg, "json") == 0;
        if (!params.progressJson) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                            "Invalid progress format [%s]; the one format is json", arg);
            return false;
        }
    } else if (word == "--jobs") {
        const char* end = arg + strlen(arg);
        uint64_t jobs = _get_int_arg(arg, &end);
        if (*end != '\0' || jobs == 0 || jobs > MOST_JOBS) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                            "Invalid number of jobs [%s]; give 1 to %u", arg, MOST_JOBS);
            return false;
        }
        params.jobs = (uint32_t)jobs;
    } else {
        params.jsonOutput = true;
    }
    return true;
}

bool _parameter(UpdaterDisplayInterface& display, const Option& option, const char* arg,
                Parameters& params)
{
    switch (option.word[1]) {
    case 'd':
        return _serial_list_arg(display, option.word, arg, params);
    case 'r':
        return _serial_arg(
            display, option.word, arg, "Discarding '0x' router serial number prefix\n",
            "Invalid router serial number obtained from argument [%s]", params.routerSerialNumber);
    case 'b': {
        uint32_t build = 0;
        if (!_int_arg(display, option.word, arg, build))
            return false;
        params.buildNumber = std::to_string(build);
        return true;
    }
    case 'o':
        return _int_arg(display, option.word, arg, params.baudRate);
    case 'X':
        _log_mask(display, option.word, arg, params);
        return true;
    case 't':
        return _transport_arg(display, arg, params);
    case 'n':
        params.flagN = true;
        return true;
    case 'Z':
        params.commands.Set(CMD_Z);
        return true;
    case 'e':
        params.echoBytes = true;
        return true;
    case 's':
        params.serialPort = arg;
        return true;
    case 'f':
        params.birdFile = arg;
        return true;
    case 'l':
        params.historyMessage = arg;
        return true;
    case 'k':
        params.logFileName = arg;
        return true;
    case 'u':
        params.serverURL = arg;
        return true;
    case 'j':
        params.jsonOutput = true;
        return true;
    case '-':
        return _long_parameter(display, option, arg, params);
    default:
        return true;
    }
}

} // namespace

int Cli::_get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters& params)
{
    _set_defaults(params, argc > 0 ? argv[0] : nullptr);
    bool failed = false;
    // Options with their arguments first, then the other words, as the parse
    // leaves them.
    std::vector<const char*> options;
    std::vector<const char*> others;
    for (int i = 1; i < argc; i++) {
        const char* word = argv[i];
        if (word[0] != '-') {
            others.push_back(word);
            continue;
        }
        options.push_back(word);
        const char* equals = strchr(word, '=');
        std::string name = equals ? std::string(word, (size_t)(equals - word)) : std::string(word);
        const char* arg = equals ? equals + 1 : nullptr;
        const Option* option = _lookup(name);
        if (!option) {
            failed = _unknown_long_word(display, word) || failed;
            continue;
        }
        if (option->argument == ARG_NONE && arg)
            continue;
        if (option->argument == ARG_REQUIRED && !arg) {
            if (i + 1 >= argc || argv[i + 1][0] == '-')
                continue;
            arg = argv[++i];
            options.push_back(arg);
        }
        if (option->id == OPTION_HELP) {
            params.commands.Set(CMD_HELP);
            params.helpRequested = true;
            return 0;
        }
        bool ok = option->id == OPTION_COMMAND ? _command(display, *option, params)
                                               : _parameter(display, *option, arg, params);
        failed = failed || !ok;
    }
    Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params.appName.c_str());
    if (argc > 0)
        Log::log(DEBUG_APP, "\t[%s]\n", argv[0]);
    for (const char* word : options)
        Log::log(DEBUG_APP, "\t[%s]\n", word);
    for (const char* word : others)
        Log::log(DEBUG_APP, "\t[%s]\n", word);
    return failed ? 1 : _validate_params(params);
}
