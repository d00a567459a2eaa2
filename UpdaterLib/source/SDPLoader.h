#pragma once
// Client of the i.MX RT1050 boot ROM's serial download protocol: writes a
// loader image into the processor's RAM and starts it, and reads the chip's
// unique-ID fuses. The bytes travel through an SDPLoader_Interface, over USB
// HID (HID_SDPLoader) or a UART (Serial_SDPLoader).

#include "device/core/kCancel.h"

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <memory>
#include <vector>

namespace IMX1050
{
constexpr uint16_t VID = 0x1FC9; ///< the ROM loader in HID mode
constexpr uint16_t PID = 0x0130;
constexpr uint32_t OCOTP_BASE_ADDRESS = 0x401F4000; ///< fuse shadow registers
constexpr uint32_t CFG0_OFFSET = 0x410;             ///< unique-ID word 0
constexpr uint32_t CFG1_OFFSET = 0x420;             ///< unique-ID word 1
/// Where a liveloader starts when its file names no jump address.
constexpr uint32_t DEFAULT_IMX_LOADER_IVT_ADDRESS = 0x20000400;
} // namespace IMX1050

/// One HID input report, report ID included.
constexpr uint16_t MAX_READ_BYTES = 65;
/// Image bytes per data packet of a file write.
constexpr uint16_t MAX_WRITE_BYTES = 1024;

/// The byte transport under SDPLoader. Packets are built for HID: byte 0 is
/// the report ID, which a transport without report IDs leaves out.
class SDPLoader_Interface
{
public:
    virtual ~SDPLoader_Interface() {}
    /// Opens the transport; false when it cannot be opened.
    virtual bool init() = 0;
    /// Sends one packet; the count of bytes sent, or -1.
    virtual ssize_t writeData(const std::vector<uint8_t>& packet) = 0;
    /// Appends what the ROM answers within `timeoutMs` to `buffer`; the count
    /// appended (0 for no answer, also once the run is cancelled).
    virtual ssize_t readData(std::vector<uint8_t>& buffer, uint32_t timeoutMs) = 0;
    /// ORs the answer's first data word (little-endian), `offset` bytes into
    /// the data, into `word`; false when the answer carries no such word.
    virtual bool getDataFromBuffer(const std::vector<uint8_t>& answer, uint32_t offset,
                                   uint32_t& word) = 0;
    /// The run's cancellation: readData looks at it at least every
    /// kCANCEL_SLICE_MS.
    void setCancel(const kCancel* given) { cancel = given; }

protected:
    const kCancel* cancel = nullptr;
};

class SDPLoader
{
public:
    /// Results of the operations; no other report reaches the caller.
    enum Result : int {
        SDP_OK = 0,
        SDP_NO_TRANSPORT = 1,
        SDP_NO_ANSWER = 2,      ///< five status probes unanswered
        SDP_ANSWER_IN_DATA = 3, ///< the ROM spoke while the image was sent
        SDP_NOT_COMPLETED = 4,  ///< no write-complete status after the image
        SDP_INIT_FAILED = 6,    ///< the transport did not open
        SDP_NO_DATA_WORD = 7,   ///< an answer held no data word
    };

    static constexpr uint32_t STATUS_WRITE_COMPLETE = 0x88888888;
    static constexpr uint32_t STATUS_ACK = 0xF0F0F0F0;

    SDPLoader() {}
    ~SDPLoader() {}
    SDPLoader(const SDPLoader&) = delete;
    SDPLoader& operator=(const SDPLoader&) = delete;

    /// Takes ownership of `transport`. False (and nothing taken) when it is
    /// null or a transport is already set.
    bool setLoader(SDPLoader_Interface* transport);
    /// Opens the transport: SDP_OK, SDP_NO_TRANSPORT or SDP_INIT_FAILED.
    int init();
    /// ORs CFG0 into bits 0-31 and CFG1 into bits 32-63 of `fingerprint`:
    /// SDP_OK, SDP_NO_ANSWER, SDP_NO_DATA_WORD (or SDP_NO_TRANSPORT).
    int getFingerprint(uint64_t& fingerprint);
    /// Writes `image` to RAM at `address`: SDP_OK, SDP_NO_ANSWER,
    /// SDP_ANSWER_IN_DATA, SDP_NOT_COMPLETED (or SDP_NO_TRANSPORT).
    int writeLoader(const std::vector<uint8_t>& image, uint32_t address);
    /// Hands the processor over to the image vector table at `address`; the
    /// ROM answers no more afterwards.
    void startLoader(uint32_t address);

    // The packets, 17 bytes for a command (report ID 1 and the big-endian
    // command), report ID 2 and up to MAX_WRITE_BYTES for file data.
    static std::vector<uint8_t> readRegisterPacket(uint32_t address);
    static std::vector<uint8_t> writeRegisterPacket(uint32_t address, uint32_t value);
    static std::vector<uint8_t> writeFilePacket(uint32_t address, uint32_t length);
    static std::vector<uint8_t> errorStatusPacket();
    static std::vector<uint8_t> jumpAddressPacket(uint32_t address);
    /// The data packet with the image bytes from `offset`, at most
    /// MAX_WRITE_BYTES of them.
    static std::vector<uint8_t> dataPacket(const std::vector<uint8_t>& image, size_t offset);

private:
    bool statusProbe();
    int readFuseWord(uint32_t address, uint32_t& word);
    int sendImage(const std::vector<uint8_t>& image);

    std::unique_ptr<SDPLoader_Interface> transport;
};
