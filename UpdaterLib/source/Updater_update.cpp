// The update command: choose the build, load and check its BIRD file
// against the connected module (directly, or behind a router), send the
// loader and start it, find the module again in its loader, send the
// firmware and reboot the module, see it run the new build, and record the
// transfer in the unit's settings.

#include "UpdaterLib/source/Updater.h"

#include "UpdaterLib/source/BirdFile.h"
#include "UpdaterLib/source/ModuleFinder.h"
#include "UpdaterLib/source/UpdateServerRequest.h"
#include "UpdaterLib/source/UpdaterEntity.h"
#include "UpdaterLib/source/UpdaterStore.h"
#include "UpdaterLib/source/Updater_flows.h"
#include "UpdaterLib/source/Updater_helpers.h"
#include "device/core/kDefs.h"
#include "device/core/kLog.h"
#include "device/core/kTime.h"
#include "device/core/kVersion.h"
#include "device/object/Module.h"
#include "device/object/SystemClass.h"

#include <ctype.h>
#include <stdlib.h>

#include <exception>
#include <mutex>
#include <stdexcept>

using namespace Engine;

using Kelvane::Vantor::Module;
using Kelvane::Vantor::SystemClass;

namespace
{

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

/// How long the module is given to go away once the loader has started.
const uint64_t LOADER_DROP_WAIT_MS = 1500;
/// Attempts of a second each to find the module again in its loader.
const int LOADER_FIND_ATTEMPTS = 15;
const uint64_t LOADER_FIND_ATTEMPT_MS = 1000;
/// How long a rebooted module is looked for, in attempts of a second each,
/// before the update counts as not verified.
const uint64_t REBOOT_FIND_WINDOW_MS = 30000;
const uint64_t REBOOT_FIND_ATTEMPT_MS = 1000;

std::string _build_file_name(uint32_t build)
{
    return std::to_string(build) + ".bird";
}

// The store entry's value as a build number; a path or a negative number
// gives 0.
uint32_t _recorded_build(UpdaterStoreItem& item, const char* key)
{
    int value = item.Settings().GetInt(key, 0);
    return value > 0 ? (uint32_t)value : 0;
}

// The server's latest build when its file is in the store, else the latest
// download, else the latest transfer; 0 when none of them is known.
uint32_t _choose_build(UpdaterDisplayInterface& display, UpdaterStoreItem& item,
                       uint32_t serialNumber, const std::string& url, const kCancel* cancel)
{
    std::string latest;
    std::string firmware;
    UpdateServerRequest::QueryBuild(serialNumber, latest, firmware, url.c_str(), cancel);
    uint32_t build = _build_or_zero(latest);
    if (build != 0) {
        try {
            item.ReadBirdFile(_build_file_name(build));
        } catch (const std::exception&) {
            build = 0;
            display.message(INFO, "New firmware is available.  Updater will proceed if valid "
                                  "firmware is found locally.");
        }
    }
    if (build == 0) {
        build = _recorded_build(item, "LATEST_DOWNLOAD");
        if (build != 0)
            display.message(INFO, "Updating with the Latest Download");
    }
    if (build == 0) {
        build = _recorded_build(item, "LATEST_TRANSFER");
        if (build != 0)
            display.message(INFO, "Updating with the Latest Transfer");
    }
    return build;
}

bool _insert_serial_number(BirdFile& bird, uint32_t serialNumber)
{
    if (!bird.IsSerialNumberTemplate())
        return true;
    Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
    if (!bird.ReplaceSerialNumber(serialNumber)) {
        Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
        return false;
    }
    Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
    return true;
}

// USB first; a module that is not on USB is looked for over TCP/IP.
kErr _connect_direct(Module& module, uint32_t serialNumber)
{
    kErr err = module.connect(kLinkTypeUSB, serialNumber);
    if (err == kErrNotFound)
        err = module.connect(kLinkTypeTCPIP, serialNumber);
    return err;
}

// While it lives, the router passes the packets for the modules behind
// it; routing is switched off again at the end of the update, also of an
// interrupted one, so that the router serves its own port again.
class Routing
{
public:
    explicit Routing(Module& router) : router(router) { (void)system.init(&router, 0); }
    ~Routing()
    {
        // A router that does not take it keeps routing.
        if (on) {
            router.setCancel(nullptr);
            (void)system.routeToMe(0);
        }
    }
    Routing(const Routing&) = delete;
    Routing& operator=(const Routing&) = delete;

    bool Start()
    {
        on = system.routeToMe(1) == kErrNone;
        return on;
    }

private:
    Module& router;
    SystemClass system;
    bool on = false;
};

// The target behind the router: the router connected and routing, the
// target's address the one given or, without one, the one at which the
// router's bus answers with the target's serial number. False, reported,
// when the update cannot go that way.
bool _connect_routed(UpdaterDisplayInterface& display, Module& target, Module& router,
                     Routing& routing, uint32_t serialNumber, uint8_t moduleAddress,
                     uint32_t routerSerialNumber, kErr& err)
{
    if (moduleAddress == 0 && serialNumber == 0) {
        display.message(ERROR, "Module address required for indirect firmware update");
        return false;
    }
    if (_connect_direct(router, routerSerialNumber) != kErrNone || !routing.Start()) {
        if (kCancel_Check(router.getCancel()) != kErrNone)
            display.message(ERROR, "Firmware update interrupted");
        else
            display.message(ERROR, "Failed to connect to link module [%08X]", routerSerialNumber);
        return false;
    }
    uint8_t address = moduleAddress;
    if (address == 0)
        address = _find_behind(router, routerSerialNumber, serialNumber);
    if (kCancel_Check(router.getCancel()) != kErrNone) {
        display.message(ERROR, "Firmware update interrupted");
        return false;
    }
    if (address == 0) {
        display.message(ERROR, "Module %08X not found behind router %08X", serialNumber,
                        routerSerialNumber);
        return false;
    }
    target.setModuleAddress(address);
    err = target.connectThroughLinkModule(router);
    return true;
}

bool _validate_birdfile(UpdaterDisplayInterface& display, const BirdFile& bird, Module& module,
                        uint32_t serialNumber)
{
    if (bird.GetBlockCount() == 0)
        return false;
    if (!bird.IsSerialNumberTemplate() && !bird.ValidateSerialNumber(serialNumber))
        return false;
    Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
    SystemClass system;
    // Binding needs no exchange; a module gone fails the first read.
    (void)system.init(&module, 0);
    uint32_t moduleSerial = 0;
    if (system.getSerialNumber(&moduleSerial) != kErrNone)
        moduleSerial = 0;
    if (moduleSerial != serialNumber) {
        Log::log(DEBUG_Updater, "Bird serial number and connected device don't match.\n");
        return false;
    }
    uint8_t model = 0;
    if (system.getModel(&model) != kErrNone)
        model = 0;
    const char* name = kDefs_GetModelName(model);
    if (!bird.ValidateModel(name)) {
        display.message(ERROR, "Connected device model and Bird file model do not match [%s]",
                        name);
        return false;
    }
    return true;
}

uint32_t _payload_bytes(const std::vector<BirdBlock>& blocks)
{
    uint32_t bytes = 0;
    for (const BirdBlock& block : blocks)
        bytes += block.length;
    return bytes;
}

// A stage's blocks in file order, each announced, prepared (`prepared`
// says what the PREPARE result means for the stage) and handed to `send`.
// The first block that fails ends the stage: a loader that did not arrive
// whole is never started, and firmware that did not is never rebooted into.
template <typename Prepared, typename Send>
kErr _send_blocks(UpdaterDisplayInterface& display, UpdaterEntity& entity, const char* stage,
                  const std::vector<BirdBlock>& blocks, Prepared prepared, Send send)
{
    int number = 1;
    uint32_t total = 0;
    kErr err = kErrNone;
    ProgressEvent event;
    event.stage = stage;
    event.blocks = (uint32_t)blocks.size();
    event.total = _payload_bytes(blocks);
    display.progress_event(event);
    event.kind = ProgressEvent::BLOCK;
    for (const BirdBlock& block : blocks) {
        display.message(INFO, "Transferring %s block %d of %d, %d bytes", stage, number,
                        (int)blocks.size(), (int)block.length);
        uint16_t blockSize = 0;
        err = prepared(entity.TransferPrepare(block.data, block.length, block.flags, blockSize));
        if (!err)
            err = send(block, blockSize);
        if (err)
            break;
        total += block.length;
        event.block = (uint32_t)number;
        event.bytes = total;
        display.progress_event(event);
        number++;
    }
    display.message(INFO, "Transferred %d blocks, %d total bytes", number - 1, (int)total);
    return err;
}

kErr _transfer_loader(UpdaterDisplayInterface& display, Module& module, BirdFile& bird,
                      const ModuleFinder& finder)
{
    UpdaterEntity entity;
    // Binding needs no exchange; a module gone fails the first request.
    (void)entity.init(&module, 0, true);
    entity.SetFinder(&finder);
    kErr err = entity.LoaderInit();
    if (err) {
        Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", (int)err,
                 kError_GetErrorText(err));
        return err;
    }
    display.message(INFO, "Transferring loader to device");
    display.display_progress(true);
    // A PREPARE that times out is let through: some loaders take the image
    // without answering it.
    err = _send_blocks(
        display, entity, "loader", bird.FindBlocks(BirdFile::BIRD_BLOCK_LOADER),
        [](kErr prepared) -> kErr {
            if (!prepared || prepared == kErrTimeout)
                return kErrNone;
            Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", (int)prepared,
                     kError_GetErrorText(prepared));
            return prepared;
        },
        [&](const BirdBlock& block, uint16_t) -> kErr {
            kErr sent = entity.LoaderTransfer(block.data, block.length);
            if (sent)
                Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", (int)sent,
                         kError_GetErrorText(sent));
            return sent;
        });
    display.display_progress(false);
    if (err)
        return err;
    display.message(INFO, "Starting Load on Device");
    err = entity.LoaderStart();
    if (err == kErrTimeout) {
        Log::log(DEBUG_Updater,
                 "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
        err = kErrNone;
    } else if (err == kErrBusy) {
        display.message(ERROR, "More than one module waits in its loader; leave only the one "
                               "being updated attached");
    } else if (err && err != kErrCancel) {
        display.message(ERROR, "Error starting loader [%d, %s]", (int)err,
                        kError_GetErrorText(err));
    }
    return err;
}

// The module restarts into its loader after the LOAD reply, so it goes
// away a moment later and is then looked for again on the same path. A
// module that stays is used as it is. False when it did not come back.
bool _find_loader(Module& module, const ModuleFinder& finder, uint32_t serialNumber)
{
    kErr gone = finder.AwaitGone(module, kTime_GetMSTicks() + LOADER_DROP_WAIT_MS);
    if (gone == kErrTimeout)
        return true;
    for (int attempt = 1;
         attempt <= LOADER_FIND_ATTEMPTS && kCancel_Check(finder.Cancel()) == kErrNone; attempt++) {
        Log::log(DEBUG_Updater, "Looking for the device in its loader, attempt %d of %d\n", attempt,
                 LOADER_FIND_ATTEMPTS);
        if (finder.FindAgain(module, serialNumber, kTime_GetMSTicks() + LOADER_FIND_ATTEMPT_MS) ==
            kErrNone)
            return true;
    }
    return false;
}

} // namespace

kErr Engine::_transfer_firmware(UpdaterDisplayInterface& display, Module& module, BirdFile& bird,
                                const ModuleFinder& finder)
{
    UpdaterEntity entity;
    // Binding needs no exchange; a module gone fails the first request.
    (void)entity.init(&module, 0, true);
    entity.SetFinder(&finder);
    Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", bird.GetFilename().c_str());
    kErr err = _send_blocks(
        display, entity, "firmware", bird.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE),
        [](kErr prepared) -> kErr {
            if (prepared)
                Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", (int)prepared,
                         kError_GetErrorText(prepared));
            return prepared;
        },
        [&](const BirdBlock& block, uint16_t blockSize) -> kErr {
            kErr sent = entity.FirmwareTransfer(block.data, block.length, blockSize, display);
            if (sent)
                Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", (int)sent,
                         kError_GetErrorText(sent));
            return sent;
        });
    // A stage that failed sends no REBOOT: the module stays in its loader,
    // and the update can be repeated.
    if (!err) {
        ProgressEvent reboot;
        reboot.kind = ProgressEvent::REBOOT;
        display.progress_event(reboot);
        err = entity.LoaderReboot(display);
    }
    return err;
}

namespace
{

// The packed version of an identity block's "a.b.c" text; false for any
// other text.
bool _parse_version(const std::string& text, uint32_t& packed)
{
    unsigned long parts[3] = {0, 0, 0};
    const unsigned long limits[3] = {15, 15, 0xFFFFFF};
    const char* p = text.c_str();
    for (int i = 0; i < 3; i++) {
        if (!isdigit((unsigned char)*p))
            return false;
        char* end = nullptr;
        parts[i] = strtoul(p, &end, 10);
        if (parts[i] > limits[i] || *end != (i < 2 ? '.' : '\0'))
            return false;
        p = end + 1;
    }
    packed = (uint32_t)(parts[0] << 28 | parts[1] << 24 | parts[2]);
    return true;
}

// The rebooted module, found again on its path and asked which build and
// version it runs; false when it gave no answer within the window.
bool _find_rebooted(UpdaterDisplayInterface& display, Module& module, const ModuleFinder& finder,
                    uint32_t serialNumber, uint32_t& build, uint32_t& version)
{
    SystemClass system;
    uint64_t deadline = kTime_GetMSTicks() + REBOOT_FIND_WINDOW_MS;
    for (int attempt = 1;; attempt++) {
        Log::log(DEBUG_Updater, "Looking for the device after its reboot, attempt %d\n", attempt);
        display.update_spinner(true, "Verifying Update");
        uint64_t now = kTime_GetMSTicks();
        uint64_t until =
            now + REBOOT_FIND_ATTEMPT_MS < deadline ? now + REBOOT_FIND_ATTEMPT_MS : deadline;
        if (finder.FindAgain(module, serialNumber, until) == kErrNone &&
            _read_build_number(module, build) == kErrNone && system.init(&module, 0) == kErrNone &&
            system.getVersion(&version) == kErrNone)
            return true;
        if (kTime_GetMSTicks() >= deadline || kCancel_Check(finder.Cancel()) != kErrNone)
            return false;
    }
}

} // namespace

namespace
{

// Whether the module came back running what the file holds; the reason
// shown when not.
bool _compare_identity(UpdaterDisplayInterface& display, bool back, bool interrupted,
                       uint32_t serialNumber, const BirdFile& bird, uint32_t build,
                       uint32_t version)
{
    if (!back) {
        display.message(ERROR, "Firmware update not verified [%08X %s]", serialNumber,
                        interrupted ? "interrupted" : "did not come back");
        return false;
    }
    // Only a comparison verifies: the module coming back proves nothing of
    // what it runs.
    uint32_t fileBuild = bird.GetBuild();
    if (fileBuild == 0) {
        display.message(ERROR, "Firmware update not verified [the file names no build]");
        return false;
    }
    if (build != fileBuild) {
        display.message(ERROR, "Firmware update not verified [%08X runs build %u, not %u]",
                        serialNumber, build, fileBuild);
        return false;
    }
    uint32_t fileVersion = 0;
    if (_parse_version(bird.GetVersion(), fileVersion) && version != fileVersion) {
        char running[32];
        kVersion_ParseString(version, running, sizeof(running));
        display.message(ERROR, "Firmware update not verified [%08X runs version %s, not %s]",
                        serialNumber, running, bird.GetVersion().c_str());
        return false;
    }
    display.message(INFO, "Update verified: module %08X runs build %u", serialNumber, build);
    return true;
}

} // namespace

bool Engine::_verify_update(UpdaterDisplayInterface& display, Module& module,
                            const ModuleFinder& finder, uint32_t serialNumber, const BirdFile& bird,
                            uint32_t& verifiedBuild)
{
    uint32_t build = 0;
    uint32_t version = 0;
    bool back = _find_rebooted(display, module, finder, serialNumber, build, version);
    display.update_spinner(false, "Verifying Update");
    (void)module.disconnect();
    ProgressEvent event;
    event.kind = ProgressEvent::VERIFY;
    event.verified = _compare_identity(display, back, kCancel_Check(finder.Cancel()) != kErrNone,
                                       serialNumber, bird, build, version);
    event.build = back ? build : 0;
    display.progress_event(event);
    if (event.verified)
        verifiedBuild = build;
    return event.verified;
}

namespace
{

// USB loaders may all come up with the default serial number, which only
// one at a time may do: the USB updates of one run take their turn in the
// loader, from LOAD until REBOOT has taken the module out of it again. Over
// TCP/IP and behind a router they run side by side.
std::mutex g_usbLoaderStage;

// The loader sent and started, and the module found again in it.
kErr _loader_stage(UpdaterDisplayInterface& display, Module& module, BirdFile& bird,
                   uint32_t serialNumber, const ModuleFinder& finder)
{
    kErr err = _transfer_loader(display, module, bird, finder);
    if (err)
        return err;
    if (_find_loader(module, finder, serialNumber))
        return kErrNone;
    if (kCancel_Check(finder.Cancel()) != kErrNone)
        return kErrCancel;
    display.message(ERROR,
                    "Module did not come back in its loader [%08X]; repeat the update to finish it",
                    serialNumber);
    return kErrNotFound;
}

// Loader, then firmware, then the module seen running the file's build;
// the first stage that fails ends the update and is reported.
bool _update_module(UpdaterDisplayInterface& display, Module& module, BirdFile& bird,
                    uint32_t serialNumber, const ModuleFinder& finder, uint32_t& verifiedBuild)
{
    std::unique_lock<std::mutex> turn(g_usbLoaderStage, std::defer_lock);
    if (!finder.Routed() && finder.Type() == kLinkTypeUSB)
        turn.lock();
    kErr err = _loader_stage(display, module, bird, serialNumber, finder);
    if (err == kErrNotFound)
        return false;
    if (!err)
        err = kCancel_Check(finder.Cancel()) != kErrNone
                  ? kErrCancel
                  : _transfer_firmware(display, module, bird, finder);
    // Out of its loader (or left in it by a failure): the next may go.
    if (turn.owns_lock())
        turn.unlock();
    if (err == kErrBusy)
        return false;
    if (err == kErrCancel) {
        display.message(ERROR, "Firmware update interrupted");
        return false;
    }
    if (err) {
        display.message(ERROR, "Firmware update failed [%d, %s]", (int)err,
                        kError_GetErrorText(err));
        return false;
    }
    return _verify_update(display, module, finder, serialNumber, bird, verifiedBuild);
}

void _record_transfer(UpdaterStoreItem& item, const std::string& path)
{
    item.Settings().Add("LATEST_TRANSFER", path);
    item.Settings().Add("LAST_TRANSFER_DATE", _date_text());
    if (!item.Settings().Save())
        Log::log(DEBUG_Updater, "Could not record the transfer of %s\n", path.c_str());
}

} // namespace

BirdFile Updater::load_bird(const char* prefix, const std::string& birdFile, uint32_t serialNumber,
                            uint32_t build, bool downloadIfMissing)
{
    if (!birdFile.empty()) {
        display.message(INFO, "%s from Birdfile: %s", prefix, birdFile.c_str());
        return BirdFile(birdFile.c_str());
    }
    UpdaterStore store(updaterDirectory);
    UpdaterStoreItem item = store.AddDevice(serialNumber);
    display.message(INFO, "%s firmware with build: %u", prefix, build);
    std::string name = _build_file_name(build);
    try {
        return item.ReadBirdFile(name);
    } catch (const std::runtime_error&) {
        if (!downloadIfMissing)
            throw std::runtime_error("Error reading birdfile");
    }
    display.message(INFO, "Downloading firmware build %u", build);
    Download_Firmware(serialNumber, std::to_string(build), false, false);
    return item.ReadBirdFile(name);
}

namespace
{

// Whether the file may go into the connected module. A file without
// firmware would leave the module in its loader, and one whose blocks do
// not add up is damaged, so the override never lets either through.
bool _accept_birdfile(UpdaterDisplayInterface& display, const BirdFile& bird, Module& module,
                      uint32_t serialNumber, bool overrideModel)
{
    if (bird.ValidateLayout() &&
        (overrideModel || _validate_birdfile(display, bird, module, serialNumber)))
        return true;
    display.message(ERROR, "Birdfile failed validation");
    return false;
}

// The file for the update: the one named, or the build's from the store
// (the build chosen when none was given), with the unit's serial number
// written into a template. False, reported or logged, when there is none.
bool _update_file(Updater& updater, BirdFile& bird, uint32_t serialNumber, uint32_t& build,
                  const std::string& birdFile, UpdaterStoreItem& item, bool dryRun)
{
    UpdaterDisplayInterface& display = updater.Display();
    if (birdFile.empty() && build == 0) {
        build = _choose_build(display, item, serialNumber, updater.ServerURL(), updater.Cancel());
        if (build == 0) {
            display.message(ERROR, "Could not find valid build for this device.");
            return false;
        }
    }
    try {
        if (dryRun && birdFile.empty()) {
            // The store's file is read where it is: a dry run makes no
            // store item.
            display.message(INFO, "Updating firmware with build: %u", build);
            bird = item.ReadBirdFile(_build_file_name(build));
        } else {
            bird = updater.load_bird("Updating", birdFile, serialNumber, build, false);
        }
    } catch (const std::exception&) {
        display.message(ERROR, "Failed to load bird file");
        return false;
    }
    return _insert_serial_number(bird, serialNumber);
}

// The unit's store item as it is, made by nothing: a dry run writes
// nothing, and an unknown unit reads as one with empty settings.
bool _existing_item(const std::string& directory, uint32_t serialNumber, UpdaterStoreItem& item)
{
    try {
        UpdaterStore store(directory);
        (void)store.FindDevice(serialNumber, &item);
        return true;
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_Updater, "%s\n", e.what());
        return false;
    }
}

// What a run with the options does instead of an update, once the module
// and the file passed every check: true when it ends the run there, with
// its outcome set.
bool _instead_of_update(UpdaterDisplayInterface& display, const UpdateOptions& options,
                        const BirdFile& bird, uint32_t serialNumber, UpdateOutcome& outcome)
{
    if (options.skipCurrent && bird.GetBuild() != 0 && outcome.previousBuild == bird.GetBuild()) {
        display.message(INFO, "Module %08X already runs build %u", serialNumber,
                        outcome.previousBuild);
        outcome.current = true;
        return true;
    }
    if (!options.dryRun)
        return false;
    std::vector<BirdBlock> loaders = bird.FindBlocks(BirdFile::BIRD_BLOCK_LOADER);
    std::vector<BirdBlock> firmware = bird.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE);
    outcome.loaderBlocks = (uint32_t)loaders.size();
    outcome.firmwareBlocks = (uint32_t)firmware.size();
    outcome.bytes = _payload_bytes(loaders) + _payload_bytes(firmware);
    display.message(INFO,
                    "Would update module %08X from build %u to build %u with %s (%u loader "
                    "blocks, %u firmware blocks, %u bytes)",
                    serialNumber, outcome.previousBuild, outcome.build, outcome.file.c_str(),
                    outcome.loaderBlocks, outcome.firmwareBlocks, outcome.bytes);
    outcome.planned = true;
    return true;
}

} // namespace

bool Updater::Update_Firmware(uint32_t serialNumber, uint32_t build, const std::string& birdFile,
                              uint8_t moduleAddress, uint32_t routerSerialNumber,
                              bool overrideModel, UpdateOutcome* outcome,
                              const UpdateOptions& options)
{
    UpdateOutcome ignored;
    if (!outcome)
        outcome = &ignored;
    *outcome = UpdateOutcome();
    if (serialNumber == 0) {
        display.message(ERROR, "Update command must specify the specific device");
        return false;
    }
    // A new unit gets its directory first: what is read and recorded below
    // always goes through a real store item.
    UpdaterStoreItem item;
    if (!(options.dryRun ? _existing_item(updaterDirectory, serialNumber, item)
                         : _device_item(updaterDirectory, serialNumber, item))) {
        display.message(ERROR, "Could not create directory for storing BIRD file");
        return false;
    }
    if (!_settings_readable(display, item))
        return false;
    uint64_t start = kTime_GetMSTicks();
    BirdFile bird;
    if (!_update_file(*this, bird, serialNumber, build, birdFile, item, options.dryRun))
        return false;
    outcome->build = birdFile.empty() ? build : bird.GetBuild();
    outcome->file = birdFile.empty() ? _build_file_name(build) : birdFile;
    // The router, when there is one, outlives every use of its link.
    Module router(0, 0);
    router.setCancel(cancel);
    Routing routing(router);
    Module target(moduleAddress, 0);
    target.setCancel(cancel);
    kErr err = kErrNone;
    if (routerSerialNumber == 0)
        err = _connect_direct(target, serialNumber);
    else if (!_connect_routed(display, target, router, routing, serialNumber, moduleAddress,
                              routerSerialNumber, err))
        return false;
    bool updated = false;
    if (err == kErrCancel || kCancel_Check(cancel) != kErrNone) {
        display.message(ERROR, "Firmware update interrupted");
    } else if (err) {
        display.message(ERROR, "Failed to connect to module [%08X]", serialNumber);
    } else {
        if (!_accept_birdfile(display, bird, target, serialNumber, overrideModel))
            return false;
        if (_read_build_number(target, outcome->previousBuild) != kErrNone)
            outcome->previousBuild = 0;
        if (_instead_of_update(display, options, bird, serialNumber, *outcome))
            return true;
        ModuleFinder finder = routerSerialNumber == 0
                                  ? ModuleFinder::Direct(target, cancel)
                                  : ModuleFinder(ModuleFinder::Direct(router).Type(), router,
                                                 target.getModuleAddress(), cancel);
        updated =
            _update_module(display, target, bird, serialNumber, finder, outcome->verifiedBuild);
    }
    if (updated)
        _record_transfer(item, outcome->file);
    Log::log(DEBUG_Updater, "Updating device firmware: \n");
    display.message(INFO, "Update time: %.4f sec", (double)(kTime_GetMSTicks() - start) / 1000.0);
    return updated;
}
