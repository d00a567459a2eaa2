// The i.MX RT1050 side of the recovery: a liveloader (the loader blocks of
// a BIRD file) goes into the processor's RAM through the boot ROM's serial
// download protocol and is started; it comes up as a module on USB, tells
// the processor's fingerprint, and then takes the firmware over the packet
// link with the upgrade exchange of the update flow.

#include "UpdaterLib/source/Updater_flows.h"
#include "UpdaterLib/source/Updater_helpers.h"

#include "UpdaterLib/source/HID_SDPLoader.h"
#include "UpdaterLib/source/SDPLoader.h"
#include "UpdaterLib/source/Serial_SDPLoader_unix.h"
#include "UpdaterLib/source/UpdaterStore.h"
#include "device/core/kLog.h"
#include "device/core/kTime.h"
#include "device/core/kUEI.h"
#include "device/object/Module.h"
#include "device/object/SystemClass.h"

#include <stdexcept>
#include <vector>

using namespace Engine;

using Kelvane::Vantor::Module;
using Kelvane::Vantor::SystemClass;

static const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

/// The serial number a liveloader from the default image reports, and the
/// store's unit of that image.
static const uint32_t DEFAULT_SERIAL = 0xDEADDEAD;
/// Attempts of a second each to find the started liveloader on USB.
static const int LIVELOADER_ATTEMPTS = 15;
static const uint64_t LIVELOADER_ATTEMPT_MS = 1000;
/// The system option whose sub-indices 0 to 3 give fingerprint words 3 to 0.
static const uint8_t OPTION_IDENTIFIER = 39;

namespace
{
// The display's messages stay off while it lives.
class MutedMessages
{
public:
    explicit MutedMessages(UpdaterDisplayInterface& display) : display(display)
    {
        display.mute_messages(true);
    }
    ~MutedMessages() { display.mute_messages(false); }
    MutedMessages(const MutedMessages&) = delete;
    MutedMessages& operator=(const MutedMessages&) = delete;

private:
    UpdaterDisplayInterface& display;
};

uint32_t _jump_address(const BirdFile& liveloader)
{
    for (const BirdBlock& block : liveloader.FindBlocks(BirdFile::BIRD_BLOCK_LOADER_START)) {
        if (block.HasAddress())
            return kUEI_RetrieveInt(block.data);
    }
    return IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS;
}

SDPLoader_Interface* _transport(const std::string& port)
{
    if (port == "USB")
        return new HID_SDPLoader(IMX1050::VID, IMX1050::PID);
    return new Serial_SDPLoader(port.c_str());
}

// Every loader block needs its load address, and there must be one: a
// liveloader that cannot arrive whole is never started, since the ROM would
// run whatever the RAM holds.
bool _loader_blocks_complete(const std::vector<BirdBlock>& blocks)
{
    if (blocks.empty()) {
        Log::log(DEBUG_Updater, "The liveloader file holds no loader block\n");
        return false;
    }
    for (size_t number = 0; number < blocks.size(); number++) {
        if (!blocks[number].HasAddress()) {
            Log::log(DEBUG_Updater, "Loader block %d has no load address\n", (int)number);
            return false;
        }
    }
    return true;
}

} // namespace

kErr Engine::_transfer_recovery_loader(UpdaterDisplayInterface& display, BirdFile& liveloader,
                                       const std::string& port, const kCancel* cancel)
{
    Log::log(DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
    std::vector<BirdBlock> blocks = liveloader.FindBlocks(BirdFile::BIRD_BLOCK_LOADER);
    if (!_loader_blocks_complete(blocks))
        return kErrConnection;
    // The device is opened by its IDs alone: with two attached, either
    // board could take the other's image.
    if (port == "USB" && HID_SDPLoader::Count(IMX1050::VID, IMX1050::PID) > 1) {
        display.message(ERROR, "More than one device waits in its boot ROM; leave only the one "
                               "being recovered attached");
        return kErrBusy;
    }
    SDPLoader loader;
    SDPLoader_Interface* transport = _transport(port);
    transport->setCancel(cancel);
    loader.setLoader(transport);
    if (loader.init() != SDPLoader::SDP_OK)
        return kErrNotReady;
    int number = 0;
    for (const BirdBlock& block : blocks) {
        std::vector<uint8_t> image(block.data + 4, block.data + block.length);
        Log::log(DEBUG_Updater, "Writting Block: %d, size %zu, address: %d\n", number, image.size(),
                 (int)block.address);
        if (kCancel_Check(cancel) != kErrNone)
            return kErrCancel;
        if (loader.writeLoader(image, block.address) != SDPLoader::SDP_OK)
            return kCancel_Check(cancel) != kErrNone ? kErrCancel : kErrConnection;
        number++;
    }
    loader.startLoader(_jump_address(liveloader));
    return kErrNone;
}

namespace
{

// Up to LIVELOADER_ATTEMPTS of a second each: the first of the serial
// numbers that connects over USB, asked in turn. The default serial number
// takes the one liveloader that reports it, never one of several (kErrBusy,
// shown); 0 is never tried: it would take whichever module came first.
kErr _connect_liveloader(UpdaterDisplayInterface& display, Module& module,
                         const std::vector<uint32_t>& serialNumbers, const kCancel* cancel)
{
    ModuleFinder finder(kLinkTypeUSB, cancel);
    for (int attempt = 1; attempt <= LIVELOADER_ATTEMPTS; attempt++) {
        uint64_t end = kTime_GetMSTicks() + LIVELOADER_ATTEMPT_MS;
        while (kTime_GetMSTicks() < end) {
            for (uint32_t serialNumber : serialNumbers) {
                uint64_t poll = kTime_GetMSTicks() + ModuleFinder::POLL_MS;
                kErr err = serialNumber == DEFAULT_SERIAL ? finder.FindDefaultLoader(module, poll)
                           : serialNumber != 0 ? finder.FindAgain(module, serialNumber, poll)
                                               : kErrNotFound;
                if (err == kErrBusy)
                    display.message(ERROR, "More than one module waits in its loader; leave "
                                           "only the one being updated attached");
                if (err == kErrNone || err == kErrBusy || err == kErrCancel)
                    return err;
            }
        }
    }
    return kErrNotFound;
}

// The unit's current build fetched into the store without a word on the
// console; its file name, or "" when none came.
std::string _download_liveloader(UpdaterDisplayInterface& display, Updater& updater,
                                 UpdaterStore& store, uint32_t serialNumber, UpdaterStoreItem& item)
{
    MutedMessages muted(display);
    Log::log(DEBUG_APP, "Existing loader device not found. Downloading.\n");
    uint32_t build = updater.Download_Firmware(serialNumber, "", false, false);
    if (build == 0)
        return "";
    store.FindDevice(serialNumber, &item);
    return std::to_string(build) + ".bird";
}

// The file named (for a known unit only), else the unit's latest download,
// else its current build downloaded now.
bool _load_liveloader(UpdaterDisplayInterface& display, Updater& updater, uint32_t serialNumber,
                      const std::string& birdFile, BirdFile& liveloader)
{
    try {
        UpdaterStore store(updater.UpdaterDirectory());
        UpdaterStoreItem item;
        bool found = store.FindDevice(serialNumber, &item);
        if (!birdFile.empty()) {
            if (serialNumber == DEFAULT_SERIAL) {
                display.message(ERROR, "Add serial number or remove the bird filename to use a "
                                       "default recovery image.");
                return false;
            }
            liveloader = BirdFile(birdFile.c_str());
            return true;
        }
        if (found && !_settings_readable(display, item))
            return false;
        std::string fileName =
            found ? item.Settings().GetString("LATEST_DOWNLOAD", "")
                  : _download_liveloader(display, updater, store, serialNumber, item);
        liveloader = item.ReadBirdFile(fileName);
        return true;
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_APP, "%s\n", e.what());
        return false;
    }
}

bool _read_fingerprint(Module& module, Fingerprint& fingerprint, bool reset)
{
    SystemClass system;
    // Binding needs no exchange; a module gone fails the first read.
    (void)system.init(&module, 0);
    Fingerprint read;
    for (uint8_t j = 0; j < 4; j++) {
        if (system.getUEI32(OPTION_IDENTIFIER, j, &read.words[3 - j]) != kErrNone) {
            Log::log(DEBUG_APP, "Error getting Identifier %d.\n", (int)j);
            return false;
        }
    }
    fingerprint = read;
    if (reset)
        // The fingerprint is read; a liveloader that does not reset stays
        // in RAM until the board is switched off.
        (void)system.reset();
    return true;
}

} // namespace

bool Engine::_get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater,
                                  const std::string& port, uint32_t serialNumber,
                                  const std::string& birdFile, Fingerprint& fingerprint, bool reset)
{
    if (serialNumber == 0)
        serialNumber = DEFAULT_SERIAL;
    BirdFile liveloader;
    if (!_load_liveloader(display, updater, serialNumber, birdFile, liveloader))
        return false;
    if (_transfer_recovery_loader(display, liveloader, port, updater.Cancel()) != kErrNone) {
        Log::log(DEBUG_APP, "Error loading liveloader.\n");
        return false;
    }
    Module module(0, 0);
    module.setCancel(updater.Cancel());
    if (_connect_liveloader(display, module, {serialNumber}, updater.Cancel()) != kErrNone) {
        Log::log(DEBUG_APP, "Could not connect to device.\n");
        return false;
    }
    return _read_fingerprint(module, fingerprint, reset);
}

bool Engine::_recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& image,
                                   uint32_t serialNumber, uint32_t& verifiedBuild,
                                   const kCancel* cancel)
{
    if (image.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE).empty()) {
        display.message(ERROR, "Recovery image holds no firmware");
        return false;
    }
    std::vector<uint32_t> serialNumbers = {DEFAULT_SERIAL};
    if (serialNumber != DEFAULT_SERIAL)
        serialNumbers.push_back(serialNumber);
    Module module(0, 0);
    module.setCancel(cancel);
    kErr err = _connect_liveloader(display, module, serialNumbers, cancel);
    if (err) {
        if (err != kErrBusy)
            display.message(ERROR, "Could not connect to device");
        return false;
    }
    ModuleFinder finder(kLinkTypeUSB, cancel);
    if (_transfer_firmware(display, module, image, finder) != kErrNone) {
        display.message(ERROR, "Failed to transfer firmware");
        return false;
    }
    // The board counts as recovered only once it runs the image's build.
    return _verify_update(display, module, finder, serialNumber, image, verifiedBuild);
}
