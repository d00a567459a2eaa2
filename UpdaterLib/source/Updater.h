#pragma once
// The update engine: one per run, owned by main. It keeps only the server
// endpoint, the store's base directory, the display and the chip kind that
// the last fingerprint found.

#include "UpdaterLib/source/UpdaterDisplayInterface.h"
#include "device/core/kCancel.h"
#include "device/core/kDiscovery.h"

#include <stdint.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

class BirdFile;

/// One discovered module.
struct DeviceInfo {
    linkSpec deviceSpec{};
    uint32_t build = 0;
    uint8_t versionMajor = 0;
    uint8_t versionMinor = 0;
    uint32_t versionPatch = 0;
    std::string modelName;
    int32_t error = 0; ///< kErr of the first failed query; 0 when all went well
};

/// A discovered module's record as finished texts, for the list printers and
/// the documents.
struct DeviceFields {
    std::string serial;               ///< "%08X"
    std::string modelName;            ///< the model number's name
    std::string version;              ///< "major.minor.patch"
    const char* linkType = "unknown"; ///< the link type's name
    std::string ipAddress;            ///< dotted quad over TCP/IP; empty otherwise
    const char* errorName = nullptr;  ///< the kErr name of the first failed query; null if none
    const char* errorText = nullptr;  ///< and its description
};

/// A build list's entry whose text is a build number.
using NumberedBuild = std::pair<uint32_t, std::string>;

/// What an update sent and what the module was seen to run afterwards, for
/// callers that report it.
struct UpdateOutcome {
    uint32_t build = 0;         ///< the build sent (a named file's own); 0 unknown
    std::string file;           ///< the file sent, or the build's file name
    uint32_t verifiedBuild = 0; ///< the build the module runs afterwards; 0 unverified
    uint32_t previousBuild = 0; ///< the build the module ran before; 0 unknown
    bool current = false;       ///< left alone: it already ran the file's build
    bool planned = false;       ///< a dry run that a real run could start from
    /// What the file would send: its loader and firmware blocks and their
    /// payload bytes (set by a dry run).
    uint32_t loaderBlocks = 0;
    uint32_t firmwareBlocks = 0;
    uint32_t bytes = 0;
};

/// How an update goes beyond sending the file.
struct UpdateOptions {
    /// Resolve the file, find the module, read its identity and make every
    /// check, then show the plan: no upgrade packet is sent, nothing is
    /// downloaded and nothing is written into the store.
    bool dryRun = false;
    /// A module that already runs the file's build is not flashed.
    bool skipCurrent = false;
};

/// Identifies a processor for recovery; word 0 first.
struct Fingerprint {
    uint32_t words[4] = {0, 0, 0, 0};
};

/// The engine of the commands. Every operation runs on the caller's thread
/// and blocks until its command is done (a download waits on its worker
/// thread, joined before it returns); none throws except load_bird. What
/// the user is to see goes through the display given at construction
/// (information and errors, progress bar and spinner), debug lines through
/// Log; nothing is printed directly. The exit status is the caller's
/// choice: false, 0 or an empty result means the command failed, and the
/// reason was shown.
class Updater
{
public:
    /// What the last fingerprint found answering.
    enum Chip : uint8_t { CHIP_UNKNOWN = 0, CHIP_IMX = 1, CHIP_LPC = 2 };

    /// Keeps the endpoint, the store's base directory, a reference to the
    /// display and the run's cancellation (may be null: nothing cancels),
    /// both of which must outlive the engine. Every operation looks at the
    /// cancellation at each of its waits and ends, failed, at the next safe
    /// point once it asks to stop.
    Updater(const std::string& serverURL, const std::string& updaterDirectory,
            UpdaterDisplayInterface& display, kCancel* cancel = nullptr);

    /// The modules on `type` (USB, TCP/IP, or both for kLinkTypeStream),
    /// each connected once and asked for its version, addresses and build;
    /// a module that did not answer keeps the first error in its record.
    /// May multicast on every interface (TCP/IP). Empty, with `failed` (may
    /// be null) set and the reason shown, when discovery could not run (its
    /// reply port taken, no socket): an empty list otherwise means that
    /// nobody answered.
    std::vector<DeviceInfo> Discover_Devices(linkType type, bool* failed = nullptr);
    /// The modules behind the router, found over `type` (kLinkTypeStream:
    /// USB, then TCP/IP), asked at every bus address; empty when the router
    /// is not found or does not route. `failed` as for Discover_Devices.
    std::vector<DeviceInfo> Discover_VTNetwork_Devices(uint32_t routerSerialNumber, linkType type,
                                                       bool* failed = nullptr);

    /// Sends a loader and then the firmware to the module (the named file,
    /// else the build given or chosen from the store) and verifies that it
    /// came back running the file's build. True only then, with the
    /// transfer recorded in the module's settings; false, with the reason
    /// shown and nothing recorded, otherwise. Blocks for the whole update
    /// (seconds to minutes; up to about 30 s more when the module does not
    /// come back). `outcome` (may be null) gets what was chosen and sent,
    /// whatever the result.
    bool Update_Firmware(uint32_t serialNumber, uint32_t build, const std::string& birdFile,
                         uint8_t moduleAddress, uint32_t routerSerialNumber, bool overrideModel,
                         UpdateOutcome* outcome = nullptr,
                         const UpdateOptions& options = UpdateOptions());

    /// Fetches the build (decimal text; empty: the server's latest) into the
    /// module's store directory under a spinner, and records it as the
    /// latest download. The build number stored; 0 on failure (nothing
    /// written or recorded), with the reason shown. Without the override a
    /// build the server does not list is refused.
    uint32_t Download_Firmware(uint32_t serialNumber, const std::string& buildText,
                               bool overrideModel, bool noCal);
    /// The same for the unit and build that the server names for a
    /// processor's fingerprint; 0 when it names none.
    uint32_t Download_Firmware(const Fingerprint& fingerprint, const std::string& buildText,
                               bool overrideModel);

    /// Build text to version text; empty on failure (shown). `requestFailed`
    /// (may be null) tells a failed request from a server that lists no
    /// builds.
    std::map<std::string, std::string> Get_BuildList(uint32_t serialNumber,
                                                     bool* requestFailed = nullptr);

    /// The named file, else the build's file from the module's store
    /// directory (downloaded first when missing and `downloadIfMissing`).
    /// Shows which it loads. Throws std::runtime_error when the file cannot
    /// be had.
    BirdFile load_bird(const char* prefix, const std::string& birdFile, uint32_t serialNumber,
                       uint32_t build, bool downloadIfMissing);

    /// Brings back a processor through its boot ROM on `port` (a serial
    /// device, or "USB" for an i.MX over HID): identifies it, asks the server
    /// which unit and build it carries (unless a file is named), checks the
    /// image and writes it (LPC: into flash, read back; i.MX: to a liveloader,
    /// then verified as an update is). True only when the image went in and
    /// was checked; false, with the reason shown, otherwise. `outcome` (may
    /// be null) gets the build an i.MX board was seen to run afterwards.
    bool Recover_Firmware(const std::string& port, uint32_t build, uint32_t baudRate,
                          uint32_t serialNumber, const std::string& birdFile, bool overrideModel,
                          UpdateOutcome* outcome = nullptr);
    /// Reads the processor's fingerprint through its boot ROM (an LPC
    /// answers its ISP probe; otherwise an i.MX liveloader is started and
    /// asked) and records the chip kind. False when no processor answered;
    /// with `reset` a started liveloader is reset afterwards.
    bool Get_Fingerprint(Fingerprint& fingerprint, const std::string& port, uint32_t serialNumber,
                         const std::string& birdFile, uint32_t baudRate, bool reset);

    /// The record's texts.
    static DeviceFields Device_Fields(const DeviceInfo& device);
    /// "USB", "TCPIP", "serial", else "unknown".
    static const char* Link_Type_Name(linkType type);
    /// The build list's entries whose text is a build number, by build
    /// number (version text for equal builds); each other entry is logged
    /// and left out.
    static std::vector<NumberedBuild>
    Numbered_Builds(const std::map<std::string, std::string>& builds);
    /// True for 1 to 10 decimal digits within 32 bits, with `build` set;
    /// otherwise `build` is left as it was.
    static bool Parse_Build(const std::string& text, uint32_t& build);

    const std::string& ServerURL() const { return serverURL; }
    const std::string& UpdaterDirectory() const { return updaterDirectory; }
    UpdaterDisplayInterface& Display() { return display; }
    uint8_t ChipKind() const { return chipKind; }
    kCancel* Cancel() const { return cancel; }

private:
    std::string serverURL;
    std::string updaterDirectory;
    UpdaterDisplayInterface& display;
    kCancel* cancel;
    uint8_t chipKind = CHIP_UNKNOWN;
};
