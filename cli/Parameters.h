#pragma once
// The command line: the option table, the parsed parameters and the parser.

#include "UpdaterLib/source/UpdaterDisplayInterface.h"
#include "device/core/kError.h"

#include <stdint.h>

#include <string>
#include <vector>

enum COMMANDS : uint32_t {
    CMD_DISCOVER = 0x1,
    CMD_UPDATE = 0x2,
    CMD_LIST_BUILDS = 0x4,
    CMD_GET = 0x8,
    CMD_INFO = 0x10,
    CMD_CHECK = 0x20,
    CMD_FINGERPRINT = 0x40,
    CMD_Z = 0x80,
    CMD_HELP = 0x80000000,
};

/// A run has a command when any of these bits is set.
#define CMD_ANY_MASK 0x305FFu

class CommandsClass
{
public:
    void Set(uint32_t command) { bits |= command; }
    bool IsSet(uint32_t mask) const { return (bits & mask) != 0; }

private:
    uint32_t bits = 0;
};

#define TRANSPORT_USB 1u
#define TRANSPORT_TCPIP 2u
#define TRANSPORT_RECOVER 255u

struct Parameters {
    CommandsClass commands;
    uint32_t serialNumber;
    uint32_t routerSerialNumber;
    uint32_t transport;
    bool transportGiven;
    std::string serialPort;
    uint32_t baudRate;
    uint8_t moduleAddress;
    std::string birdFile;
    std::string historyMessage;
    std::string buildNumber;
    bool echoBytes;
    std::string serverURL;
    bool flagN;
    std::string appName;
    std::string homeDirectory;
    std::string logMode;
    std::string logFileName;
    bool overrideModelCheck;
    uint32_t logPackageMask;
    bool extendedUsage;
    bool helpRequested;
    bool jsonOutput; ///< -j, --json: one JSON document on the standard output
    /// -d: every serial number given (comma-separated); serialNumber is the
    /// first.
    std::vector<uint32_t> serialNumbers;
    uint32_t jobs;     ///< --jobs: the most modules updated at once
    bool dryRun;       ///< --dry-run: the plan, nothing sent, fetched or written
    bool skipCurrent;  ///< --skip-current: a module on the file's build is left alone
    bool progressJson; ///< --progress=json: the update's steps as JSON lines on stderr
};

namespace Cli
{

/// Fills `params` from the argument vector, reporting parameter errors
/// through the display as they are met. 0 when the run may go on, 1 after
/// any parameter error.
int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters& params);

/// Accepts every record (0).
int _validate_params(const Parameters& params);

void _release_params(Parameters& params);

/// The value of an all-hexadecimal text, `*end` set behind its last digit;
/// 0 with `*end` untouched when another character occurs or `end` is null.
uint64_t _get_hex_arg(const char* text, const char** end);

/// The same for decimal digits.
uint64_t _get_int_arg(const char* text, const char** end);

/// home/.kelvane/updater, or an empty text when there is no home directory
/// or it is longer than kDIR_PATH_MAX - 1 characters; `*error` (may be null)
/// gets the home directory lookup's result (kErrOverrun for the latter).
std::string _build_updater_directory(kErr* error = nullptr);

} // namespace Cli
