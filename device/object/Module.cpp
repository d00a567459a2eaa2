#include "device/object/Module.h"

#include "device/core/kTime.h"

#include <string.h>

#include <new>

namespace Kelvane
{
namespace Vantor
{

static const char* const LINK_NAME = "Link";
static const uint32_t STATUS_NO_LINK = 8;
static const int ADDRESS_ATTEMPTS = 4;
static const uint64_t ADDRESS_RETRY_MS = 5;
static const uint8_t CMD_DEBUG = 23;
static const uint8_t CMD_DESCRIPTOR = 73;
static const uint8_t DESCRIPTOR_HAS_UEI = 1;
static const uint8_t DESCRIPTOR_CLASS_QUANTITY = 4;
static const uint8_t DESCRIPTOR_SUBCLASS_QUANTITY = 5;
static const uint8_t DESCRIPTOR_ENTITY_GROUP = 6;
static const uint8_t HAS_UEI_FLAGS_RESERVED = 0x3F;
static const uint8_t HAS_UEI_GET = 0x40;
static const uint8_t HAS_UEI_SET = 0x80;

Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

Module::Module(uint8_t address, bool networkingMode, uint8_t model)
    : link(new (std::nothrow) Link(LINK_NAME)), cancel(nullptr), moduleAddress(address),
      networkingMode(networkingMode), model(model)
{
}

Module::~Module() = default;

kErr Module::ensureLink()
{
    if (!link) {
        link.reset(new (std::nothrow) Link(LINK_NAME));
        if (link)
            link->setCancel(cancel);
    }
    return link ? kErrNone : kErrInitialization;
}

void Module::setCancel(const kCancel* given)
{
    cancel = given;
    if (link)
        link->setCancel(given);
}

const kCancel* Module::getCancel() const
{
    return cancel;
}

// The module answers the address query with the address it really has; a
// module that does not answer keeps the configured one. The connect
// result stands whatever this finds.
void Module::_autoNetwork()
{
    if (!networkingMode || !link)
        return;
    uint8_t address = 0;
    kErr err = kErrNotReady;
    for (int attempt = 0; attempt < ADDRESS_ATTEMPTS && err == kErrNotReady; attempt++) {
        err = link->getModuleAddress(&address);
        if (err == kErrNotReady)
            kTime_MSSleep(ADDRESS_RETRY_MS);
    }
    if (address != 0 && address != moduleAddress)
        moduleAddress = address;
}

kErr Module::connect(linkType type, uint32_t serialNumber)
{
    if (serialNumber == 0)
        return kErrParam;
    return discoverAndConnect(type, serialNumber);
}

kErr Module::discoverAndConnect(linkType type, uint32_t serialNumber)
{
    if (ensureLink())
        return kErrInitialization;
    kErr err = link->discoverAndConnect(type, serialNumber, model);
    _autoNetwork();
    return err;
}

kErr Module::connectFromSpec(linkSpec spec)
{
    if (ensureLink())
        return kErrInitialization;
    if (link->isConnected())
        return kErrBusy;
    kErr err = link->setLinkSpecifier(spec);
    if (err)
        return err;
    err = link->connect();
    _autoNetwork();
    return err;
}

kErr Module::connectThroughLinkModule(Module& other)
{
    linkSpec spec;
    kErr err = other.getLinkSpecifier(&spec);
    if (err)
        return err;
    if (!cancel)
        setCancel(other.cancel);
    if (ensureLink())
        return kErrInitialization;
    err = link->setLinkSpecifier(spec);
    if (err)
        return err;
    err = link->connect();
    if (!err)
        networkingMode = false;
    return err;
}

kErr Module::reconnect()
{
    if (ensureLink())
        return kErrInitialization;
    kErr err = link->connect();
    _autoNetwork();
    return err;
}

bool Module::isConnected() const
{
    return link && link->isConnected();
}

uint32_t Module::getStatus() const
{
    return link ? link->getStatus() : STATUS_NO_LINK;
}

kErr Module::disconnect()
{
    return link ? link->disconnect() : kErrInitialization;
}

uint8_t Module::getModuleAddress() const
{
    return moduleAddress;
}

void Module::setModuleAddress(uint8_t address)
{
    moduleAddress = address;
}

kErr Module::getLinkSpecifier(linkSpec* spec) const
{
    return link ? link->getLinkSpecifier(spec) : kErrNotReady;
}

Link* Module::getLink() const
{
    return link.get();
}

void Module::setNetworkingMode(bool on)
{
    networkingMode = on;
}

kErr Module::enablePacketLog(const char* path)
{
    return link ? link->enablePacketLog(path) : kErrConfiguration;
}

kErr Module::disablePacketLog()
{
    return link ? link->disablePacketLog() : kErrConfiguration;
}

kErr Module::debug(const uint8_t* bytes, uint8_t count)
{
    if (!isConnected())
        return kErrConnection;
    kErr err = link->sendPacket(moduleAddress, CMD_DEBUG, count, bytes);
    if (err)
        return err;
    const uint8_t match[1] = {CMD_DEBUG};
    uint8_t length = sizeof(match);
    uint8_t reply[kPACKET_DATA_MAX];
    err = link->receivePacket(moduleAddress, match, &length, reply);
    if (err)
        return err;
    if (length != count + 1 || (count && memcmp(reply + 1, bytes, count) != 0))
        return kErrIO;
    return kErrNone;
}

// Sends 73 and the request; the reply must have `replyLength` data bytes,
// echo the request's first replyLength - 2 bytes after the 73, and carries
// the answer in its last byte.
kErr Module::descriptor(const uint8_t* request, uint8_t length, uint8_t replyLength,
                        uint8_t* answer)
{
    if (!isConnected())
        return kErrConnection;
    kErr err = link->sendPacket(moduleAddress, CMD_DESCRIPTOR, length, request);
    if (err)
        return err;
    const uint8_t match[1] = {CMD_DESCRIPTOR};
    uint8_t got = sizeof(match);
    uint8_t reply[kPACKET_DATA_MAX];
    err = link->receivePacket(moduleAddress, match, &got, reply);
    if (err)
        return err;
    if (got != replyLength || memcmp(reply + 1, request, (size_t)replyLength - 2) != 0)
        return kErrUnknown;
    *answer = reply[replyLength - 1];
    return kErrNone;
}

kErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags)
{
    if ((flags & HAS_UEI_FLAGS_RESERVED) ||
        (flags & (HAS_UEI_GET | HAS_UEI_SET)) == (HAS_UEI_GET | HAS_UEI_SET))
        return kErrParam;
    const uint8_t request[] = {DESCRIPTOR_HAS_UEI, command, option, index, flags};
    uint8_t answer = 0;
    kErr err = descriptor(request, sizeof(request), 6, &answer);
    return err ? err : (kErr)answer;
}

kErr Module::classQuantity(uint8_t entityClass, uint8_t* quantity)
{
    if (!quantity)
        return kErrParam;
    *quantity = 0;
    const uint8_t request[] = {DESCRIPTOR_CLASS_QUANTITY, entityClass};
    return descriptor(request, sizeof(request), 4, quantity);
}

kErr Module::subClassQuantity(uint8_t entityClass, uint8_t second, uint8_t* quantity)
{
    if (!quantity)
        return kErrParam;
    *quantity = 0;
    const uint8_t request[] = {DESCRIPTOR_SUBCLASS_QUANTITY, entityClass, second};
    return descriptor(request, sizeof(request), 5, quantity);
}

kErr Module::entityGroup(uint8_t entityClass, uint8_t index, uint8_t* group)
{
    if (!group)
        return kErrParam;
    *group = 0;
    const uint8_t request[] = {DESCRIPTOR_ENTITY_GROUP, entityClass, index};
    return descriptor(request, sizeof(request), 5, group);
}

// ---------------------------------------------------------------------------
// Store slots and factory data

kErr Module::loadStoreSlot(uint8_t store, uint8_t slot, const uint8_t* bytes, uint64_t length)
{
    return link ? link->loadStoreSlot(moduleAddress, store, slot, bytes, length)
                : kErrInitialization;
}

kErr Module::unloadStoreSlot(uint8_t store, uint8_t slot, uint8_t* buffer, uint64_t bufferLength,
                             uint64_t* count)
{
    return link ? link->unloadStoreSlot(moduleAddress, store, slot, buffer, bufferLength, count)
                : kErrInitialization;
}

kErr Module::storeSlotSize(uint8_t store, uint8_t slot, uint64_t* size)
{
    return link ? link->storeSlotSize(moduleAddress, store, slot, size) : kErrInitialization;
}

kErr Module::storeSlotCapacity(uint8_t store, uint8_t slot, uint64_t* capacity)
{
    return link ? link->storeSlotCapacity(moduleAddress, store, slot, capacity)
                : kErrInitialization;
}

kErr Module::getFactoryData(uint8_t block, uint8_t* buffer, uint64_t bufferLength, uint64_t* count)
{
    return link ? link->getFactoryData(moduleAddress, block, buffer, bufferLength, count)
                : kErrInitialization;
}

kErr Module::setFactoryData(uint8_t block, const uint8_t* bytes, uint64_t length)
{
    return link ? link->setFactoryData(moduleAddress, block, bytes, length) : kErrInitialization;
}

} // namespace Vantor
} // namespace Kelvane
