#include "UpdaterLib/source/UpdaterEntity.h"

#include "UpdaterLib/source/Updater.h"
#include "device/core/kLog.h"
#include "device/core/kPacket.h"
#include "device/core/kTime.h"
#include "device/core/kUEI.h"

#include <string.h>

using Kelvane::Vantor::Module;

static const uint32_t LOAD_RECONNECT_DELAY_MS = 500;
static const uint64_t REBOOT_POLL_MS = 250;
static const uint8_t INIT_REPLY_MIN = 6;
static const uint8_t PREPARE_REPLY_MIN = 5;
static const uint8_t SUM_REPLY_MIN = 7;
static const uint8_t NO_STATUS = 0xFF;

UpdaterEntity::UpdaterEntity() : module(nullptr), validate(true), finder(nullptr) {}

UpdaterEntity::~UpdaterEntity() = default;

kErr UpdaterEntity::init(Module* module, uint8_t index, bool validate)
{
    this->module = module;
    this->validate = validate;
    return EntityClass::init(module, cmdUPGRADE, index);
}

void UpdaterEntity::SetFinder(const ModuleFinder* finder)
{
    this->finder = finder;
}

ModuleFinder UpdaterEntity::_path() const
{
    return finder ? *finder : ModuleFinder::Direct(*module);
}

kErr UpdaterEntity::_send(uint8_t operation, const uint8_t* bytes, uint8_t count)
{
    uint8_t data[kPACKET_DATA_MAX];
    if (count > kPACKET_DATA_MAX - 2)
        return kErrParam;
    // An interrupted run sends nothing more, so the exchange ends between
    // two packets and the module is left where a repeated update picks up.
    if (kCancel_Check(finder ? finder->Cancel() : nullptr) != kErrNone)
        return kErrCancel;
    data[0] = operation;
    if (count)
        memcpy(data + 1, bytes, count);
    return sendPacket(cmdUPGRADE, (uint8_t)(count + 1), data);
}

kErr UpdaterEntity::_await(uint8_t operation, uint8_t* reply, uint8_t& length)
{
    const uint8_t match[2] = {cmdUPGRADE, operation};
    memset(reply, 0, kPACKET_DATA_MAX);
    length = sizeof(match);
    return receivePacket(match, &length, reply);
}

kErr UpdaterEntity::LoaderInit()
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
    kErr err = _send(val_UPGRADE_INIT, nullptr, 0);
    if (err) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", (int)err);
        return err;
    }
    uint8_t reply[kPACKET_DATA_MAX];
    uint8_t length = 0;
    err = _await(val_UPGRADE_INIT, reply, length);
    if (err)
        return err;
    if (length < INIT_REPLY_MIN)
        return kErrPacket;
    uint32_t base = kUEI_RetrieveInt(reply + 2);
    Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", (int)base, base);
    return kErrNone;
}

kErr UpdaterEntity::TransferPrepare(const uint8_t* block, uint32_t length, uint8_t flags,
                                    uint16_t& blockSize)
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", (int)length,
             flags, blockSize);
    if (!block || length < 4)
        return kErrParam;
    uint32_t address = kUEI_RetrieveInt(block);
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X "
             "%02X]} \n",
             flags, block[0], block[1], block[2], block[3]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", (int)address);
    const uint8_t request[5] = {flags, block[0], block[1], block[2], block[3]};
    kErr err = _send(val_UPGRADE_PREPARE, request, sizeof(request));
    if (err) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", (int)err);
        return err;
    }
    uint8_t reply[kPACKET_DATA_MAX];
    uint8_t got = 0;
    err = _await(val_UPGRADE_STATUS, reply, got);
    if (err)
        return err;
    if (got < PREPARE_REPLY_MIN) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Short reply to UPGRADE_PREPARE (%d bytes).\n", got);
        return kErrPacket;
    }
    if (reply[2] != 0) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
        return kErrInvalidOption;
    }
    uint16_t size = kUEI_RetrieveShort(reply + 3);
    // A block size of 0 would never move the firmware transfer forward.
    if (size == 0) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader asked for a block size of 0.\n");
        return kErrInvalidOption;
    }
    blockSize = size;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n",
             blockSize);
    return kErrNone;
}

kErr UpdaterEntity::LoaderTransfer(const uint8_t* block, uint32_t length)
{
    if (!block || length < 4)
        return kErrParam;
    uint32_t hostOrder = 0;
    memcpy(&hostOrder, block, sizeof(hostOrder));
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", hostOrder,
             (int)(length - 4));
    uint32_t blocks = 0;
    return _block_transfer(block + 4, length - 4, blocks);
}

kErr UpdaterEntity::_block_transfer(const uint8_t* bytes, uint32_t length, uint32_t& blocks)
{
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
    uint32_t remaining = length;
    uint32_t checksum = 0;
    int resends = 0;
    kErr err = kErrNone;
    while (remaining > 0 && !err) {
        uint8_t n = (uint8_t)(remaining < DATA_CHUNK_MAX ? remaining : DATA_CHUNK_MAX);
        Log::log(DEBUG_Network_FIRM,
                 "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n", n);
        err = _send(val_UPGRADE_DATA, bytes, n);
        if (err) {
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", (int)err);
            return err;
        }
        uint8_t reply[kPACKET_DATA_MAX];
        uint8_t got = 0;
        if (_await(val_UPGRADE_DATA, reply, got)) {
            Log::log(DEBUG_Network_FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
            err = kErrPacket;
        } else if (reply[2] != n) {
            Log::log(DEBUG_Network_FIRM,
                     "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", reply[2], n);
            if (resends++ == DATA_RESENDS_MAX) {
                Log::log(DEBUG_Network_FIRM, "\nNETWORK: Chunk refused %d times.\n", resends);
                err = kErrTimeout;
            }
        } else {
            for (uint8_t i = 0; i < n; i++)
                checksum += bytes[i];
            remaining -= n;
            bytes += n;
            blocks++;
            resends = 0;
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                     n, (int)remaining, (int)length);
        }
    }
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n",
             (int)(length - remaining), (int)length);
    if (err || !validate)
        return err;
    return _sum_check(checksum, blocks);
}

kErr UpdaterEntity::_sum_check(uint32_t checksum, uint32_t blocks)
{
    Log::log(DEBUG_Network_FIRM,
             "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
    // A SUM that did not go out shows as its missing reply.
    (void)_send(val_UPGRADE_SUM, nullptr, 0);
    uint8_t reply[kPACKET_DATA_MAX];
    uint8_t got = 0;
    if (_await(val_UPGRADE_STATUS, reply, got)) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
        return kErrPacket;
    }
    if (got < SUM_REPLY_MIN) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Short reply to UPGRADE_SUM (%d bytes).\n", got);
        return kErrPacket;
    }
    uint8_t status = reply[2];
    uint32_t remote = kUEI_RetrieveInt(reply + 3);
    if (status == 0 && remote == checksum) {
        Log::log(DEBUG_Network_FIRM,
                 "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n", status,
                 checksum, remote, (int)blocks);
        return kErrNone;
    }
    Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, checksum,
             remote);
    return kErrInvalidOption;
}

kErr UpdaterEntity::LoaderStart()
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
    kErr err = _send(val_UPGRADE_LOAD, nullptr, 0);
    if (err) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", (int)err);
        return err;
    }
    uint8_t reply[kPACKET_DATA_MAX];
    uint8_t got = 0;
    if (_await(val_UPGRADE_LOAD, reply, got) == kErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
        return kErrNone;
    }
    err = _reconnect(LOAD_RECONNECT_DELAY_MS);
    if (err == kErrBusy || err == kErrCancel)
        return err;
    if (err) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n",
                 (int)err, kError_GetErrorText(err));
        return kErrTimeout;
    }
    err = _await(val_UPGRADE_LOAD, reply, got);
    if (err) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", (int)err,
                 kError_GetErrorText(err));
        return kErrTimeout;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
    return kErrNone;
}

// Each attempt asks for up to `delayMS` and ends as soon as the module
// answers; the first series takes the module where it was, the second the
// one loader that came up with the default serial number on the same path.
kErr UpdaterEntity::_reconnect(uint32_t delayMS)
{
    if (!module)
        return kErrResource;
    ModuleFinder path = _path();
    (void)module->disconnect();
    kErr err = kErrNotFound;
    for (int series = 0; series < 2; series++) {
        for (int attempt = 1; attempt <= RECONNECT_ATTEMPTS; attempt++) {
            uint64_t deadline = kTime_GetMSTicks() + delayMS;
            if (series == 0) {
                Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n",
                         attempt, RECONNECT_ATTEMPTS);
                err = path.Reconnect(*module, deadline);
            } else {
                Log::log(DEBUG_Network,
                         "NETWORK: Attempting to reconnect DEFAULT sn. Attempt: %d of %d\n",
                         attempt, RECONNECT_ATTEMPTS);
                err = path.FindDefaultLoader(*module, deadline);
            }
            if (!err) {
                Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
                return kErrNone;
            }
            if (err == kErrBusy || err == kErrCancel)
                return err;
            Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n",
                     (int)delayMS);
        }
    }
    return err;
}

kErr UpdaterEntity::FirmwareTransfer(const uint8_t* block, uint32_t length, uint16_t blockSize,
                                     UpdaterDisplayInterface& display)
{
    if (!block || length < 4 || blockSize == 0)
        return kErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n",
             kUEI_RetrieveInt(block), (int)(length - 4));
    uint32_t remaining = length - 4;
    const uint8_t* position = block + 4;
    uint32_t blocks = 0;
    kErr err = kErrNone;
    Log::timestamped = false;
    display.display_progress(true);
    while (remaining > 0 && !err) {
        uint32_t n = remaining < blockSize ? remaining : blockSize;
        err = _block_transfer(position, n, blocks);
        if (err)
            break;
        remaining -= n;
        position += n;
        blocks++;
        display.update_progress((double)(length - remaining) / (double)length, nullptr);
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                 (int)n, (int)remaining, (int)length);
        err = FirmwareWrite(n);
    }
    display.display_progress(false);
    Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n", (int)(length - remaining),
             (int)length);
    if (err)
        Log::log(0, "NETWORK: Failed to transfer firmware\n");
    return err;
}

kErr UpdaterEntity::FirmwareWrite(uint32_t count)
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n",
             (int)count);
    if (count > 0xFFFF)
        return kErrParam;
    const uint8_t request[2] = {(uint8_t)(count >> 8), (uint8_t)count};
    kErr err = _send(val_UPGRADE_WRITE, request, sizeof(request));
    if (err) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", (int)err,
                 kError_GetErrorText(err));
        return err;
    }
    uint8_t reply[kPACKET_DATA_MAX];
    uint8_t got = 0;
    err = _await(val_UPGRADE_STATUS, reply, got);
    uint8_t status = got > 2 ? reply[2] : NO_STATUS;
    if (err || status != 0) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: invalid or error reply when loader writing firmware.\n\n");
        return kErrInvalidOption;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
    return kErrNone;
}

// No reply is awaited: the module going away is the acknowledgement.
kErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display)
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
    kErr err = _send(val_UPGRADE_REBOOT, nullptr, 0);
    if (err == kErrCancel)
        return err;
    if (err)
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
    if (!module)
        return err;
    ModuleFinder path = _path();
    uint64_t deadline = kTime_GetMSTicks() + REBOOT_DROP_WAIT_MS;
    for (;;) {
        uint64_t now = kTime_GetMSTicks();
        kErr gone = path.AwaitGone(*module, now + REBOOT_POLL_MS < deadline ? now + REBOOT_POLL_MS
                                                                            : deadline);
        if (gone != kErrTimeout) {
            err = gone == kErrCancel ? gone : err;
            break;
        }
        if (kTime_GetMSTicks() >= deadline) {
            Log::log(DEBUG_Network_FIRM, "NETWORK: Module still there %d ms after REBOOT.\n",
                     (int)REBOOT_DROP_WAIT_MS);
            err = err ? err : kErrTimeout;
            break;
        }
        display.update_spinner(true, "Verifying Update");
        Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
        Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
    }
    display.update_spinner(false, "Verifying Update");
    return err;
}
