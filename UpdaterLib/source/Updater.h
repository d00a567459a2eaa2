#pragma once
// The update engine: one per run, owned by main. It keeps only the server
// endpoint, the store's base directory, the display and the chip kind that
// the last fingerprint found.

#include "UpdaterLib/source/UpdaterDisplayInterface.h"
#include "device/core/kDiscovery.h"

#include <stdint.h>

#include <map>
#include <string>
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

/// What an update sent and what the module was seen to run afterwards, for
/// callers that report it.
struct UpdateOutcome {
    uint32_t build = 0;         ///< the build sent (a named file's own); 0 unknown
    std::string file;           ///< the file sent, or the build's file name
    uint32_t verifiedBuild = 0; ///< the build the module runs afterwards; 0 unverified
};

/// Identifies a processor for recovery; word 0 first.
struct Fingerprint {
    uint32_t words[4] = {0, 0, 0, 0};
};

class Updater
{
public:
    /// What the last fingerprint found answering.
    enum Chip : uint8_t { CHIP_UNKNOWN = 0, CHIP_IMX = 1, CHIP_LPC = 2 };

    Updater(const std::string& serverURL, const std::string& updaterDirectory,
            UpdaterDisplayInterface& display);

    std::vector<DeviceInfo> Discover_Devices(linkType type);
    std::vector<DeviceInfo> Discover_VTNetwork_Devices(uint32_t routerSerialNumber, linkType type);

    /// `outcome` (may be null) gets what was chosen and sent, whatever the
    /// result.
    bool Update_Firmware(uint32_t serialNumber, uint32_t build, const std::string& birdFile,
                         uint8_t moduleAddress, uint32_t routerSerialNumber, bool overrideModel,
                         UpdateOutcome* outcome = nullptr);

    /// The build number downloaded into the store; 0 on failure.
    uint32_t Download_Firmware(uint32_t serialNumber, const std::string& buildText,
                               bool overrideModel, bool noCal);
    uint32_t Download_Firmware(const Fingerprint& fingerprint, const std::string& buildText,
                               bool overrideModel);

    /// Build text to version text; empty on failure. `requestFailed` (may be
    /// null) tells a failed request from a server that lists no builds.
    std::map<std::string, std::string> Get_BuildList(uint32_t serialNumber,
                                                     bool* requestFailed = nullptr);

    /// Throws std::runtime_error when the file cannot be had.
    BirdFile load_bird(const char* prefix, const std::string& birdFile, uint32_t serialNumber,
                       uint32_t build, bool downloadIfMissing);

    bool Recover_Firmware(const std::string& port, uint32_t build, uint32_t baudRate,
                          uint32_t serialNumber, const std::string& birdFile, bool overrideModel);
    bool Get_Fingerprint(Fingerprint& fingerprint, const std::string& port, uint32_t serialNumber,
                         const std::string& birdFile, uint32_t baudRate, bool reset);

    /// Asks the running command to stop at its next safe point: between two
    /// packets of an update, or as soon as a download's transfer notices.
    /// Async-signal-safe, for the handler of SIGINT and SIGTERM.
    static void Interrupt();
    /// Whether Interrupt was called during this run.
    static bool Interrupted();

    const std::string& ServerURL() const { return serverURL; }
    const std::string& UpdaterDirectory() const { return updaterDirectory; }
    UpdaterDisplayInterface& Display() { return display; }
    uint8_t ChipKind() const { return chipKind; }

private:
    std::string serverURL;
    std::string updaterDirectory;
    UpdaterDisplayInterface& display;
    uint8_t chipKind = CHIP_UNKNOWN;
};
