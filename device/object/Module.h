#pragma once
// One module: its link, its address on that link and the module-wide
// exchanges (debug echo, the descriptors of command 73). With networking
// mode on, the connect operations ask the module for its real address
// afterwards and take it over.
//
// A module is used from one thread at a time; its entities must not
// outlive it. Every operation returns a kErr (unless it says otherwise) and
// never throws.

#include "device/core/kDiscovery.h"
#include "device/core/kError.h"
#include "device/object/Link.h"

#include <stdint.h>

#include <memory>

namespace Kelvane
{
namespace Vantor
{

class Module
{
public:
    /// Networking mode on; `model` is the one discoverAndConnect wants (0:
    /// any).
    Module(uint8_t address, uint8_t model);
    Module(uint8_t address, bool networkingMode, uint8_t model);
    virtual ~Module();

    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    /// discoverAndConnect, for a known module: kErrParam for serial number 0.
    kErr connect(linkType type, uint32_t serialNumber);
    /// Finds the module by serial number (0: the first of the model) and
    /// connects; the link's result.
    kErr discoverAndConnect(linkType type, uint32_t serialNumber);
    /// Connects by the given specifier; kErrBusy while connected.
    kErr connectFromSpec(linkSpec spec);
    /// The run's cancellation, which ends the link's waits (Link::setCancel).
    void setCancel(const kCancel* cancel);
    const kCancel* getCancel() const;
    /// Connects over the transport of `other` (a router module), keeping
    /// this module's own address and taking its cancellation when this one
    /// has none: networking mode goes off on success.
    /// kErrNotReady when `other` has no link, kErrBusy while connected.
    kErr connectThroughLinkModule(Module& other);
    /// Connects again with the stored specifier.
    kErr reconnect();
    bool isConnected() const;
    /// The link's status; 8 without a link.
    uint32_t getStatus() const;
    /// kErrInitialization without a link.
    kErr disconnect();

    uint8_t getModuleAddress() const;
    void setModuleAddress(uint8_t address);
    /// kErrNotReady without a link.
    kErr getLinkSpecifier(linkSpec* spec) const;
    /// The link, or null when it could not be made.
    Link* getLink() const;
    void setNetworkingMode(bool on);

    /// Sends command 23 with the bytes (at most 27) and checks that the
    /// module echoes them: kErrIO otherwise.
    kErr debug(const uint8_t* bytes, uint8_t count);
    /// Forwarded to the link; kErrConfiguration without one.
    kErr enablePacketLog(const char* path);
    kErr disablePacketLog();

    /// Whether the module has the UEI: the module's answer byte itself is the
    /// result (1 yes, 0 no). kErrParam for flags with any of bits 0-5 or both
    /// 0x40 and 0x80 set; kErrUnknown for a malformed reply.
    kErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
    /// The number of entities of the class.
    kErr classQuantity(uint8_t entityClass, uint8_t* quantity);
    kErr subClassQuantity(uint8_t entityClass, uint8_t second, uint8_t* quantity);
    kErr entityGroup(uint8_t entityClass, uint8_t index, uint8_t* group);

    /// The link's store-slot and factory-data transfers for this module's
    /// address; kErrInitialization without a link.
    kErr loadStoreSlot(uint8_t store, uint8_t slot, const uint8_t* bytes, uint64_t length);
    kErr unloadStoreSlot(uint8_t store, uint8_t slot, uint8_t* buffer, uint64_t bufferLength,
                         uint64_t* count);
    kErr storeSlotSize(uint8_t store, uint8_t slot, uint64_t* size);
    kErr storeSlotCapacity(uint8_t store, uint8_t slot, uint64_t* capacity);
    kErr getFactoryData(uint8_t block, uint8_t* buffer, uint64_t bufferLength, uint64_t* count);
    kErr setFactoryData(uint8_t block, const uint8_t* bytes, uint64_t length);

private:
    kErr ensureLink();
    void _autoNetwork();
    kErr descriptor(const uint8_t* request, uint8_t length, uint8_t replyLength, uint8_t* answer);

    std::unique_ptr<Link> link;
    const kCancel* cancel;
    uint8_t moduleAddress;
    bool networkingMode;
    uint8_t model;
};

} // namespace Vantor
} // namespace Kelvane
