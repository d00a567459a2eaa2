// The recovery and fingerprint commands: identify the processor through its
// boot ROM, ask the update server which unit it belongs to and which build
// it carries, and write that build. An LPC17xx takes the descrambled image
// straight into flash through its ISP loader (here); an i.MX RT1050 gets a
// liveloader started in RAM, which then takes the firmware over the packet
// link (Updater_recovery_imx.cpp).

#include "UpdaterLib/source/Updater.h"

#include "UpdaterLib/source/BirdFile.h"
#include "UpdaterLib/source/NXPSerial.h"
#include "UpdaterLib/source/UpdateServerRequest.h"
#include "UpdaterLib/source/Updater_flows.h"
#include "device/core/kError.h"
#include "device/core/kLog.h"
#include "device/core/kTime.h"

#include <stdexcept>
#include <vector>

using namespace Engine;

namespace
{

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

/// Bytes staged in RAM and copied to flash at a time.
const uint32_t LPC_CHUNK = 4096;
/// A copy to flash starts on a multiple of this.
const uint32_t LPC_COPY_BOUNDARY = 256;
const uint32_t LPC_FIRST_SECTOR = 0;
const uint32_t LPC_LAST_SECTOR = 29;
/// A firmware block of exactly this many content bytes ends an LPC image.
const uint32_t LPC_END_MARK = 4;
/// What erased flash holds: padding of this leaves the flash as it was.
const uint8_t ERASED_BYTE = 0xFF;

bool _get_fingerprint_lpc(const std::string& port, uint32_t baudRate, Fingerprint& fingerprint,
                          const kCancel* cancel)
{
    NXPSerialClass isp;
    isp.SetCancel(cancel);
    kErr err = isp.Connect(port.c_str(), baudRate);
    if (err) {
        Log::log(DEBUG_APP, "ERROR %d ==> Could not open serial port\n", (int)err);
        return false;
    }
    Log::log(DEBUG_APP, "\n\tSync to Device:\n");
    err = isp.Sync();
    if (err) {
        Log::log(DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n",
                 (int)err);
        return false;
    }
    Log::log(DEBUG_APP, "\n\tGet Info from Device:\n");
    if (isp.GetDeviceID() != kErrNone) {
        Log::log(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
        return false;
    }
    for (int word = 0; word < 4; word++)
        fingerprint.words[word] = isp.DeviceId(word);
    return true;
}

} // namespace

bool Updater::Get_Fingerprint(Fingerprint& fingerprint, const std::string& port,
                              uint32_t serialNumber, const std::string& birdFile, uint32_t baudRate,
                              bool reset)
{
    if (_get_fingerprint_lpc(port, baudRate, fingerprint, cancel)) {
        chipKind = CHIP_LPC;
        return true;
    }
    // An interrupted probe tells nothing about the chip.
    if (kCancel_Check(cancel) != kErrNone)
        return false;
    chipKind = CHIP_IMX;
    return _get_fingerprint_imx(display, *this, port, serialNumber, birdFile, fingerprint, reset);
}

namespace
{

// The firmware blocks that an LPC image writes: those before the first one
// of exactly LPC_END_MARK content bytes.
std::vector<BirdBlock> _lpc_blocks(const BirdFile& image)
{
    std::vector<BirdBlock> blocks;
    for (const BirdBlock& block : image.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE)) {
        if (block.ContentLength() == LPC_END_MARK)
            break;
        blocks.push_back(block);
    }
    return blocks;
}

// The copied range read back and compared with what was staged; a
// difference is reported with the first address that differs.
bool _verify_chunk(UpdaterDisplayInterface& display, NXPSerialClass& isp, uint32_t flashAddress,
                   const std::vector<uint8_t>& staged)
{
    std::vector<uint8_t> flash(staged.size());
    kErr err = isp.Read(flashAddress, (uint32_t)flash.size(), flash.data());
    if (err)
        Log::log(DEBUG_Network, "\t Read back failed [%d, %s]\n", (int)err,
                 kError_GetErrorText(err));
    size_t at = 0;
    while (!err && at < flash.size() && flash[at] == staged[at])
        at++;
    if (!err && at == flash.size())
        return true;
    display.message(ERROR, "Recovery verify failed at 0x%08X", flashAddress + (uint32_t)at);
    return false;
}

bool _copy_chunk(NXPSerialClass& isp, uint32_t flashAddress, uint32_t staging, uint32_t copyLength)
{
    uint32_t first = NXPSerialClass::SectorFromAddress(flashAddress);
    uint32_t last = NXPSerialClass::SectorFromAddress(flashAddress + copyLength - 1);
    Log::log(DEBUG_Updater, "\t Prepare to copy to sector(s) %d to %d\n", (int)first, (int)last);
    if (isp.Prepare(first, last) != kErrNone) {
        Log::log(DEBUG_Network, "\t Prepare failed\n");
        return false;
    }
    Log::log(DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", (int)copyLength, staging,
             flashAddress);
    if (isp.CopyToFlash(flashAddress, staging, copyLength) != kErrNone) {
        Log::log(DEBUG_Network, "\t Transfer to flash failed\n");
        return false;
    }
    return true;
}

// One chunk: staged in RAM, the sectors it is copied to prepared, copied,
// read back. A copy moves a whole copy length, so a short chunk is padded
// with erased bytes to that length: whatever lies beyond it in RAM never
// reaches the flash, and the padding leaves erased flash as it was.
bool _program_chunk(UpdaterDisplayInterface& display, NXPSerialClass& isp, uint32_t flashAddress,
                    const uint8_t* bytes, uint32_t count, kCancel* cancel)
{
    const uint32_t staging = NXPSerialClass::WRITE_ADDRESS;
    uint32_t copyLength = NXPSerialClass::CopyLength(count);
    std::vector<uint8_t> staged(bytes, bytes + count);
    staged.resize(copyLength, ERASED_BYTE);
    Log::log(DEBUG_Updater, "Transferring firmware %d bytes to address 0x%08X\n", (int)count,
             flashAddress);
    Log::log(DEBUG_Updater, "\t Write %d bytes to address 0x%08X\n", (int)copyLength, staging);
    if (isp.Write(staging, copyLength, staged.data()) != kErrNone) {
        Log::log(DEBUG_Network, "\t Write to RAM failed\n");
        return false;
    }
    // The copy into flash is a section that no signal cuts: flash half
    // written cannot be told from a whole chunk.
    kCancel_EnterSection(cancel);
    bool copied = _copy_chunk(isp, flashAddress, staging, copyLength);
    kCancel_LeaveSection(cancel);
    return copied && _verify_chunk(display, isp, flashAddress, staged);
}

// An interrupt after the erase ends the recovery between two chunks, or
// in a chunk's RAM write or read-back, which leave the flash as it was.
bool _interrupted_after_erase(UpdaterDisplayInterface& display, const kCancel* cancel)
{
    if (kCancel_Check(cancel) == kErrNone)
        return false;
    display.message(ERROR, "Recovery interrupted; the chip holds part of the image: repeat the "
                           "recovery to finish it");
    return true;
}

bool _program_block(UpdaterDisplayInterface& display, NXPSerialClass& isp, const BirdBlock& block,
                    int number, int announced, kCancel* cancel)
{
    uint32_t length = block.ContentLength();
    const uint8_t* content = block.Content();
    display.message(INFO, "Transferring firmware block %d of %d, %d bytes", number, announced,
                    (int)length);
    display.display_progress(true);
    Log::log(DEBUG_Updater, "Transferring firmware block: %d bytes to address 0x%08X\n",
             (int)length, block.address);
    bool ok = true;
    for (uint32_t offset = 0; ok && offset < length;) {
        uint32_t count = length - offset < LPC_CHUNK ? length - offset : LPC_CHUNK;
        if (_interrupted_after_erase(display, cancel)) {
            ok = false;
            break;
        }
        ok = _program_chunk(display, isp, block.address + offset, content + offset, count, cancel);
        if (!ok) {
            // Told when the chunk stopped for the interrupt.
            (void)_interrupted_after_erase(display, cancel);
            break;
        }
        offset += count;
        if (ok)
            display.update_progress((double)offset / (double)length, nullptr);
    }
    display.display_progress(false);
    return ok;
}

// Before the unlock an interrupt leaves the chip as it was.
bool _interrupted_before_unlock(UpdaterDisplayInterface& display, const kCancel* cancel)
{
    if (kCancel_Check(cancel) == kErrNone)
        return false;
    display.message(ERROR, "Recovery interrupted; the chip was not changed");
    return true;
}

// The unlock, prepare and erase: a section, so that an interrupt never
// leaves the flash half erased.
bool _erase_flash(NXPSerialClass& isp)
{
    Log::log(DEBUG_Updater, "\n\tUnlock Memory:\n");
    if (isp.Unlock() != kErrNone) {
        Log::log(DEBUG_Network, "Could not unlock\n");
        return false;
    }
    Log::log(DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
    if (isp.Prepare(LPC_FIRST_SECTOR, LPC_LAST_SECTOR) != kErrNone) {
        Log::log(DEBUG_Network, "Could not prepare\n");
        return false;
    }
    Log::log(DEBUG_Updater, "\n\tErase all memory before update:\n");
    if (isp.Erase(LPC_FIRST_SECTOR, LPC_LAST_SECTOR) != kErrNone) {
        Log::log(DEBUG_Network, "Could not erase\n");
        return false;
    }
    return true;
}

// Everything is erased first; nothing else is done before the chip is
// known to take commands.
bool _prepare_flash(UpdaterDisplayInterface& display, NXPSerialClass& isp, const std::string& port,
                    uint32_t baudRate, kCancel* cancel)
{
    if (isp.Connect(port.c_str(), baudRate) != kErrNone) {
        Log::log(DEBUG_Network, "Could not connect to %s\n", port.c_str());
        return false;
    }
    if (_interrupted_before_unlock(display, cancel))
        return false;
    kCancel_EnterSection(cancel);
    bool erased = _erase_flash(isp);
    kCancel_LeaveSection(cancel);
    return erased;
}

// A block's place in the flash: its number as the transfer counts it and
// the bytes its copies cover (whole chunks, the last one padded to its copy
// length). A block without content writes nothing and has none.
struct FlashRange {
    int number;
    uint32_t start;
    uint64_t end;
};

std::vector<FlashRange> _flash_ranges(const std::vector<BirdBlock>& blocks)
{
    std::vector<FlashRange> ranges;
    int number = 1;
    for (const BirdBlock& block : blocks) {
        uint32_t length = block.ContentLength();
        uint32_t rest = length % LPC_CHUNK;
        uint64_t covered =
            (uint64_t)(length - rest) + (rest ? NXPSerialClass::CopyLength(rest) : 0);
        if (length != 0)
            ranges.push_back({number, block.address, block.address + covered});
        number++;
    }
    return ranges;
}

// Whether every copy is one the ROM takes and that spoils nothing already
// written: each block starts on a copy boundary, fits in the flash that is
// erased, and shares no byte with another (padding included).
bool _check_lpc_layout(UpdaterDisplayInterface& display, const std::vector<BirdBlock>& blocks)
{
    const NXPSerialClass::Sector& last = NXPSerialClass::NXP_LPC17XX_sectors[LPC_LAST_SECTOR];
    const uint64_t flashEnd = (uint64_t)last.start + last.size;
    std::vector<FlashRange> ranges = _flash_ranges(blocks);
    for (size_t i = 0; i < ranges.size(); i++) {
        const FlashRange& range = ranges[i];
        const char* fault = nullptr;
        if (range.start % LPC_COPY_BOUNDARY != 0)
            fault = "is not on a 256-byte boundary";
        else if (range.end > flashEnd)
            fault = "does not fit in the flash";
        if (fault) {
            display.message(ERROR, "Recovery image block %d at 0x%08X %s", range.number,
                            range.start, fault);
            return false;
        }
        for (size_t j = 0; j < i; j++) {
            if (range.start < ranges[j].end && ranges[j].start < range.end) {
                display.message(ERROR, "Recovery image block %d at 0x%08X overlaps block %d",
                                range.number, range.start, ranges[j].number);
                return false;
            }
        }
    }
    return true;
}

// What must hold before anything on the chip is unlocked or erased: every
// copy fits the flash, and the image decodes to a vector table the boot
// ROM will start.
bool _check_lpc_image(UpdaterDisplayInterface& display, const BirdFile& image,
                      const std::vector<BirdBlock>& blocks)
{
    if (!_check_lpc_layout(display, blocks))
        return false;
    if (!image.ValidateVectorChecksum()) {
        display.message(ERROR, "Recovery image holds no valid vector table");
        return false;
    }
    return true;
}

bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& image,
                           const std::string& port, uint32_t baudRate, kCancel* cancel)
{
    std::vector<BirdBlock> blocks = _lpc_blocks(image);
    // An image with nothing to write would leave the chip erased and the
    // recovery reported as done.
    if (blocks.empty()) {
        display.message(ERROR, "Recovery image holds no firmware");
        return false;
    }
    if (!_check_lpc_image(display, image, blocks))
        return false;
    NXPSerialClass isp;
    isp.SetCancel(cancel);
    if (!_prepare_flash(display, isp, port, baudRate, cancel))
        return false;
    // Echo on or off, the client follows what the ROM answered.
    (void)isp.SetEcho(false);
    Log::log(DEBUG_Updater, "Updating device firmware: \n");
    Log::log(DEBUG_Updater, "Transferring firmware to device from [%s]\n",
             image.GetFilename().c_str());
    int announced = (int)image.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE).size() - 1;
    uint32_t total = 0;
    int number = 1;
    for (const BirdBlock& block : blocks) {
        if (!_program_block(display, isp, block, number++, announced, cancel))
            return false;
        total += block.ContentLength();
    }
    display.message(INFO, "Transferred %d blocks, %d total bytes", announced, (int)total);
    // A ROM that no longer takes commands may not have taken the image
    // either: the run fails.
    kErr err = isp.SetEcho(true);
    if (err) {
        display.message(ERROR, "Recovery Error transfering data to device ==> [%d, %s]", (int)err,
                        kError_GetErrorText(err));
        return false;
    }
    display.message(INFO, "Rebooting Device");
    // A ROM that jumps into the image answers nothing more.
    (void)isp.ExecuteFrom(0);
    return true;
}

// The unit and build the server names for the fingerprint: its serial
// number replaces the one given, a build given wins over its build. False,
// reported, when the server names no unit and none was given: there is
// nothing to look for in the store, nor a unit to check the image against.
bool _ask_server(UpdaterDisplayInterface& display, const Fingerprint& fingerprint,
                 const std::string& url, uint32_t& serialNumber, uint32_t& build,
                 const kCancel* cancel)
{
    uint32_t serverSerial = 0;
    uint32_t serverBuild = 0;
    bool answered = UpdateServerRequest::GetRecoveryInfo(fingerprint.words, &serverSerial,
                                                         &serverBuild, url.c_str(), cancel);
    if (!answered && kCancel_Check(cancel) != kErrNone) {
        display.message(ERROR, "Recovery interrupted; the chip was not changed");
        return false;
    }
    if (!answered || serverSerial == 0)
        display.message(
            ERROR, "Could not get recovery information from the server [%08X %08X %08X %08X]",
            fingerprint.words[0], fingerprint.words[1], fingerprint.words[2], fingerprint.words[3]);
    if (serverSerial != 0)
        serialNumber = serverSerial;
    if (build == 0)
        build = serverBuild;
    return serialNumber != 0;
}

// What any recovery image must be before the chip is given anything: a
// whole file made for the unit the chip belongs to (when that is known),
// not a template that would need the unit's serial number written in.
bool _recoverable(UpdaterDisplayInterface& display, const BirdFile& image, uint32_t unit)
{
    if (image.IsSerialNumberTemplate()) {
        display.message(ERROR, "Updater does not support offline recovery");
        return false;
    }
    if (!image.LayoutMatched()) {
        display.message(ERROR, "Birdfile failed validation");
        return false;
    }
    if (unit != 0 && image.GetSerialNumber() != unit) {
        display.message(ERROR, "Recovery image is for unit %08X, not %08X", image.GetSerialNumber(),
                        unit);
        return false;
    }
    return true;
}

} // namespace

bool Updater::Recover_Firmware(const std::string& port, uint32_t build, uint32_t baudRate,
                               uint32_t serialNumber, const std::string& birdFile, bool,
                               UpdateOutcome* outcome)
{
    UpdateOutcome ignored;
    if (!outcome)
        outcome = &ignored;
    *outcome = UpdateOutcome();
    uint64_t start = kTime_GetMSTicks();
    Fingerprint fingerprint;
    // The probe runs at the programming rate: an LPC boot ROM keeps the rate
    // it synchronised at, and programming does not synchronise again.
    if (!Get_Fingerprint(fingerprint, port, serialNumber, birdFile, baudRate, false)) {
        if (kCancel_Check(cancel) != kErrNone)
            display.message(ERROR, "Recovery interrupted; the chip was not changed");
        else
            display.message(ERROR, "Could not get Device Identifier");
        return false;
    }
    if (birdFile.empty() &&
        !_ask_server(display, fingerprint, serverURL, serialNumber, build, cancel))
        return false;
    BirdFile image;
    try {
        image = load_bird("Recovering", birdFile, serialNumber, build, true);
    } catch (const std::runtime_error&) {
        display.message(ERROR, "Failed to load bird file");
        return false;
    }
    if (!_recoverable(display, image, serialNumber))
        return false;
    bool ok = false;
    if (chipKind == CHIP_IMX) {
        ok = _recover_firmware_imx(display, image, serialNumber, outcome->verifiedBuild, cancel);
    } else if (chipKind == CHIP_LPC) {
        image.DecodeFirmwareBlocks(fingerprint.words);
        ok = _recover_firmware_lpc(display, image, port, baudRate, cancel);
    } else {
        display.message(ERROR, "Unknown device");
    }
    display.message(INFO, "Update time: %.4f sec", (double)(kTime_GetMSTicks() - start) / 1000.0);
    return ok;
}
