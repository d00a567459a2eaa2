#pragma once
// The host side of a running module's upgrade exchange (command 95). A
// loader image goes to the running firmware and is started; the loader then
// takes the firmware piece by piece, each piece's byte sum checked before it
// is written, and a reboot ends the exchange. Every exchange is stop and
// wait: one request, then its reply awaited for at most 1000 ms, on the
// caller's thread.
//
// The blocks handed over are BIRD block payloads: four load address bytes,
// most significant first, then the image. Every operation returns a kErr and
// never throws; once the run's cancellation (the finder's, SetFinder) asks
// to stop, every operation that would send a packet returns kErrCancel
// instead.

#include "UpdaterLib/source/ModuleFinder.h"
#include "UpdaterLib/source/UpdaterDisplayInterface.h"
#include "device/core/kCancel.h"
#include "device/core/kError.h"
#include "device/object/Entity.h"
#include "device/object/Module.h"

#include <stdint.h>

/// The entity class and command byte of the upgrade exchange.
const uint8_t cmdUPGRADE = 95;

/// The operation byte (data[1]) of an upgrade packet.
enum : uint8_t {
    val_UPGRADE_INIT = 0,
    val_UPGRADE_DATA = 1,
    val_UPGRADE_LOAD = 2,
    val_UPGRADE_PREPARE = 3,
    val_UPGRADE_SUM = 4,
    val_UPGRADE_WRITE = 5,
    val_UPGRADE_REBOOT = 6,
    /// Never sent: the reply to PREPARE, SUM and WRITE.
    val_UPGRADE_STATUS = 7,
};

class UpdaterEntity : public Kelvane::Vantor::EntityClass
{
public:
    /// Image bytes in one DATA packet.
    static const uint32_t DATA_CHUNK_MAX = 26;
    /// How often one chunk is sent again after acknowledgements with a wrong
    /// byte count before the transfer gives up.
    static const int DATA_RESENDS_MAX = 3;
    /// How long LoaderReboot waits for the link to drop.
    static const uint64_t REBOOT_DROP_WAIT_MS = 30000;
    /// Attempts of each of _reconnect's two series.
    static const int RECONNECT_ATTEMPTS = 5;
    /// The serial number of a module that has none of its own.
    static const uint32_t DEFAULT_SERIAL_NUMBER = 0xDEADDEAD;

    UpdaterEntity();
    ~UpdaterEntity() override;

    /// Binds the upgrade entity of the module (not owned, must outlive the
    /// entity); with `validate` every block transfer ends with a SUM check.
    kErr init(Kelvane::Vantor::Module* module, uint8_t index, bool validate);
    /// The path on which _reconnect and LoaderReboot look for the module,
    /// and the run's cancellation it carries (not owned, must outlive the
    /// entity); without one, the module's own kind of link, directly, and
    /// nothing cancels.
    void SetFinder(const ModuleFinder* finder);

    /// INIT: kErrPacket for a reply of 5 data bytes or fewer; the load base
    /// is only logged.
    kErr LoaderInit();
    /// PREPARE for the block at its load address with the block's flags.
    /// Sets `blockSize` to the size the module asks for. kErrParam for a
    /// block without an address; the receive's code without a reply;
    /// kErrPacket for a reply shorter than 5 data bytes; kErrInvalidOption
    /// for a status other than 0 or a block size of 0.
    kErr TransferPrepare(const uint8_t* block, uint32_t length, uint8_t flags, uint16_t& blockSize);
    /// The whole loader image in DATA chunks, then SUM (see _block_transfer).
    /// kErrParam for a block without an address.
    kErr LoaderTransfer(const uint8_t* block, uint32_t length);
    /// LOAD. Without a reply the link is re-opened (_reconnect with 500 ms
    /// per attempt) and the reply awaited once more: kErrTimeout when
    /// either fails, kErrBusy when more than one loader with the default
    /// serial number answers, kErrCancel on an interrupt.
    kErr LoaderStart();
    /// The firmware image in pieces of `blockSize` bytes, each sent with
    /// _block_transfer and then written (FirmwareWrite). The first failure
    /// ends it and is returned; kErrParam for a block without an address or
    /// a block size of 0. Drives the display's progress bar and leaves
    /// Log::timestamped off.
    kErr FirmwareTransfer(const uint8_t* block, uint32_t length, uint16_t blockSize,
                          UpdaterDisplayInterface& display);
    /// WRITE of the last `count` bytes sent (at most 65535, else kErrParam):
    /// kErrInvalidOption without a reply, or for a status other than 0 (a
    /// reply without a status byte counts as status 0xFF).
    kErr FirmwareWrite(uint32_t count);
    /// REBOOT, then waits under the display's spinner until the module has
    /// gone (its link dropped, or behind a router no answer at its address).
    /// kErrTimeout when it is still there after REBOOT_DROP_WAIT_MS; a
    /// failed send gives its code.
    kErr LoaderReboot(UpdaterDisplayInterface& display);

private:
    /// Disconnects, then tries RECONNECT_ATTEMPTS times to connect again
    /// with the stored link specifier and as many times to the one loader
    /// with the default serial number on the same path, each attempt
    /// asking for up to `delayMS`. The last attempt's code; kErrBusy or
    /// kErrCancel end the series at once.
    kErr _reconnect(uint32_t delayMS);
    /// DATA chunks of at most DATA_CHUNK_MAX bytes, each acknowledged with
    /// its byte count before the next is sent, then (with validate) SUM.
    /// `blocks` grows by one per accepted chunk. kErrPacket without an
    /// acknowledgement or SUM reply, or for a SUM reply shorter than 7 data
    /// bytes; kErrTimeout when a chunk's count is still wrong after
    /// DATA_RESENDS_MAX resends; kErrInvalidOption for a SUM status other
    /// than 0 or a byte sum that differs.
    kErr _block_transfer(const uint8_t* bytes, uint32_t length, uint32_t& blocks);
    kErr _sum_check(uint32_t checksum, uint32_t blocks);

    /// One upgrade packet: the operation, then `count` bytes.
    kErr _send(uint8_t operation, const uint8_t* bytes, uint8_t count);
    /// Awaits the reply that begins with 95 and `operation`; the reply's
    /// bytes past its length read as 0.
    kErr _await(uint8_t operation, uint8_t* reply, uint8_t& length);

    /// The finder given, or the module's direct one.
    ModuleFinder _path() const;

    Kelvane::Vantor::Module* module;
    bool validate;
    const ModuleFinder* finder;
};
