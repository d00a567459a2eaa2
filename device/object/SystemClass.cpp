#include "device/object/SystemClass.h"

#include "device/core/kUEI.h"
#include "device/object/Module.h"

#include <vector>

namespace Kelvane
{
namespace Vantor
{

// Options of the system entity.
enum : uint8_t {
    OPT_MODULE = 1,
    OPT_ROUTER = 2,
    OPT_HB_INTERVAL = 3,
    OPT_LED = 4,
    OPT_BOOT_SLOT = 6,
    OPT_VERSION = 7,
    OPT_MODEL = 8,
    OPT_SERIAL_NUMBER = 9,
    OPT_SAVE = 10,
    OPT_RESET = 11,
    OPT_INPUT_VOLTAGE = 12,
    OPT_HARDWARE_OFFSET = 13,
    OPT_BASE_ADDRESS = 14,
    OPT_SOFTWARE_OFFSET = 15,
    OPT_ROUTER_ADDRESS_SETTING = 16,
    OPT_ROUTE_TO_ME = 20,
    OPT_INPUT_CURRENT = 21,
    OPT_UPTIME = 22,
    OPT_MAXIMUM_TEMPERATURE = 23,
    OPT_LOG_EVENTS = 24,
    OPT_UNREGULATED_VOLTAGE = 25,
    OPT_UNREGULATED_CURRENT = 26,
    OPT_TEMPERATURE = 27,
    OPT_MINIMUM_TEMPERATURE = 28,
    OPT_INPUT_POWER_SOURCE = 29,
    OPT_INPUT_POWER_BEHAVIOR = 31,
    OPT_NAME = 32,
    OPT_POWER_LIMIT = 33,
    OPT_POWER_LIMIT_MAX = 34,
    OPT_POWER_LIMIT_STATE = 35,
    OPT_RESET_ENTITY_DEFAULTS = 36,
    OPT_RESET_DEVICE_DEFAULTS = 37,
    OPT_LINK_INTERFACE = 38,
    OPT_HARDWARE_VERSION = 40,
    OPT_ERRORS = 41,
};

kErr SystemClass::init(Module* module, uint8_t index)
{
    return EntityClass::init(module, UEI_CLASS_SYSTEM, index);
}

// The signed options travel as 32-bit words.
static kErr sGetSigned(SystemClass& system, uint8_t option, int32_t* value)
{
    if (!value)
        return kErrParam;
    uint32_t word = 0;
    kErr err = system.getUEI32(option, &word);
    if (err == kErrNone || err == kErrStreamStale)
        *value = (int32_t)word;
    return err;
}

kErr SystemClass::getModule(uint8_t* address)
{
    return getUEI8(OPT_MODULE, address);
}

kErr SystemClass::setRouter(uint8_t address)
{
    return setUEI8(OPT_ROUTER, address);
}

kErr SystemClass::getRouter(uint8_t* address)
{
    return getUEI8(OPT_ROUTER, address);
}

kErr SystemClass::setHBInterval(uint8_t interval)
{
    return setUEI8(OPT_HB_INTERVAL, interval);
}

kErr SystemClass::getHBInterval(uint8_t* interval)
{
    return getUEI8(OPT_HB_INTERVAL, interval);
}

kErr SystemClass::setLED(uint8_t on)
{
    return setUEI8(OPT_LED, on ? 1 : 0);
}

kErr SystemClass::getLED(uint8_t* on)
{
    return getUEI8(OPT_LED, on);
}

kErr SystemClass::setBootSlot(uint8_t slot)
{
    return setUEI8(OPT_BOOT_SLOT, slot);
}

kErr SystemClass::getBootSlot(uint8_t* slot)
{
    return getUEI8(OPT_BOOT_SLOT, slot);
}

kErr SystemClass::getVersion(uint32_t* version)
{
    return getUEI32(OPT_VERSION, version);
}

kErr SystemClass::getModel(uint8_t* model)
{
    return getUEI8(OPT_MODEL, model);
}

kErr SystemClass::getSerialNumber(uint32_t* serialNumber)
{
    return getUEI32(OPT_SERIAL_NUMBER, serialNumber);
}

kErr SystemClass::requestSerialNumber()
{
    return requestUEI(OPT_SERIAL_NUMBER);
}

kErr SystemClass::awaitSerialNumber(uint32_t* serialNumber, uint32_t timeoutMS)
{
    return awaitUEI32Val(OPT_SERIAL_NUMBER, serialNumber, timeoutMS ? timeoutMS : 1);
}

kErr SystemClass::save()
{
    return callUEI(OPT_SAVE);
}

kErr SystemClass::reset()
{
    return callUEI(OPT_RESET);
}

kErr SystemClass::getInputVoltage(uint32_t* voltage)
{
    return getUEI32(OPT_INPUT_VOLTAGE, voltage);
}

kErr SystemClass::getModuleHardwareOffset(uint8_t* offset)
{
    return getUEI8(OPT_HARDWARE_OFFSET, offset);
}

kErr SystemClass::getModuleBaseAddress(uint8_t* address)
{
    return getUEI8(OPT_BASE_ADDRESS, address);
}

kErr SystemClass::setModuleSoftwareOffset(uint8_t offset)
{
    return setUEI8(OPT_SOFTWARE_OFFSET, offset);
}

kErr SystemClass::getModuleSoftwareOffset(uint8_t* offset)
{
    return getUEI8(OPT_SOFTWARE_OFFSET, offset);
}

kErr SystemClass::getRouterAddressSetting(uint8_t* address)
{
    return getUEI8(OPT_ROUTER_ADDRESS_SETTING, address);
}

kErr SystemClass::routeToMe(uint8_t on)
{
    return setUEI8(OPT_ROUTE_TO_ME, on);
}

kErr SystemClass::getInputCurrent(uint32_t* current)
{
    return getUEI32(OPT_INPUT_CURRENT, current);
}

kErr SystemClass::getUptime(uint32_t* uptime)
{
    return getUEI32(OPT_UPTIME, uptime);
}

kErr SystemClass::getMaximumTemperature(int32_t* temperature)
{
    return sGetSigned(*this, OPT_MAXIMUM_TEMPERATURE, temperature);
}

kErr SystemClass::logEvents()
{
    return callUEI(OPT_LOG_EVENTS);
}

kErr SystemClass::getUnregulatedVoltage(int32_t* voltage)
{
    return sGetSigned(*this, OPT_UNREGULATED_VOLTAGE, voltage);
}

kErr SystemClass::getUnregulatedCurrent(int32_t* current)
{
    return sGetSigned(*this, OPT_UNREGULATED_CURRENT, current);
}

kErr SystemClass::getTemperature(int32_t* temperature)
{
    return sGetSigned(*this, OPT_TEMPERATURE, temperature);
}

kErr SystemClass::getMinimumTemperature(int32_t* temperature)
{
    return sGetSigned(*this, OPT_MINIMUM_TEMPERATURE, temperature);
}

kErr SystemClass::getInputPowerSource(uint8_t* source)
{
    return getUEI8(OPT_INPUT_POWER_SOURCE, source);
}

kErr SystemClass::setInputPowerBehavior(uint8_t behavior)
{
    return setUEI8(OPT_INPUT_POWER_BEHAVIOR, behavior);
}

kErr SystemClass::getInputPowerBehavior(uint8_t* behavior)
{
    return getUEI8(OPT_INPUT_POWER_BEHAVIOR, behavior);
}

// Multi-byte values in module packets are big-endian, words in a bytes
// value too.
kErr SystemClass::setInputPowerBehaviorConfig(const uint32_t* values, uint64_t count)
{
    if ((!values && count) || count > UEI_BYTES_MAX / 4)
        return kErrParam;
    std::vector<uint8_t> bytes;
    try {
        bytes.resize((size_t)count * 4);
    } catch (...) {
        return kErrMemory;
    }
    for (uint64_t i = 0; i < count; i++)
        kUEI_StoreInt(bytes.data() + 4 * i, values[i]);
    return setUEIBytes(OPT_INPUT_POWER_BEHAVIOR, bytes.data(), bytes.size());
}

kErr SystemClass::getInputPowerBehaviorConfig(uint32_t* values, uint64_t capacity, uint64_t* count)
{
    if (!values || !count || capacity > UINT64_MAX / 4)
        return kErrParam;
    kErr err = getUEIBytes(OPT_INPUT_POWER_BEHAVIOR, (uint8_t*)values, capacity * 4, count);
    if (err)
        return err;
    err = getUEIBytesCheck(count, 4);
    if (!err)
        kUEI_ModifyIntBuffer(values, (size_t)*count);
    return err;
}

kErr SystemClass::setName(const uint8_t* name, uint64_t length)
{
    return setUEIBytes(OPT_NAME, name, length);
}

kErr SystemClass::getName(uint8_t* buffer, uint64_t capacity, uint64_t* length)
{
    return getUEIBytes(OPT_NAME, buffer, capacity, length);
}

kErr SystemClass::getPowerLimit(uint32_t* limit)
{
    return getUEI32(OPT_POWER_LIMIT, limit);
}

kErr SystemClass::setPowerLimitMax(uint32_t limit)
{
    return setUEI32(OPT_POWER_LIMIT_MAX, limit);
}

kErr SystemClass::getPowerLimitMax(uint32_t* limit)
{
    return getUEI32(OPT_POWER_LIMIT_MAX, limit);
}

kErr SystemClass::getPowerLimitState(uint32_t* state)
{
    return getUEI32(OPT_POWER_LIMIT_STATE, state);
}

kErr SystemClass::resetEntityToFactoryDefaults()
{
    return callUEI(OPT_RESET_ENTITY_DEFAULTS);
}

kErr SystemClass::resetDeviceToFactoryDefaults()
{
    return callUEI(OPT_RESET_DEVICE_DEFAULTS);
}

kErr SystemClass::setLinkInterface(uint8_t linkInterface)
{
    return setUEI8(OPT_LINK_INTERFACE, linkInterface);
}

kErr SystemClass::getLinkInterface(uint8_t* linkInterface)
{
    return getUEI8(OPT_LINK_INTERFACE, linkInterface);
}

kErr SystemClass::getHardwareVersion(uint32_t* version)
{
    return getUEI32(OPT_HARDWARE_VERSION, version);
}

kErr SystemClass::getErrors(uint32_t* errors)
{
    return getUEI32(OPT_ERRORS, errors);
}

// ---------------------------------------------------------------------------
// Store slots and factory data: transfers of the module as a whole

static Module* sLinked(Module* module)
{
    return module && module->getLink() ? module : nullptr;
}

kErr SystemClass::loadStoreSlot(uint8_t store, uint8_t slot, const uint8_t* bytes, uint64_t length)
{
    Module* module = sLinked(boundModule());
    return module ? module->loadStoreSlot(store, slot, bytes, length) : kErrResource;
}

kErr SystemClass::unloadStoreSlot(uint8_t store, uint8_t slot, uint8_t* buffer,
                                  uint64_t bufferLength, uint64_t* count)
{
    Module* module = sLinked(boundModule());
    return module ? module->unloadStoreSlot(store, slot, buffer, bufferLength, count)
                  : kErrResource;
}

kErr SystemClass::storeSlotSize(uint8_t store, uint8_t slot, uint64_t* size)
{
    Module* module = sLinked(boundModule());
    return module ? module->storeSlotSize(store, slot, size) : kErrResource;
}

kErr SystemClass::storeSlotCapacity(uint8_t store, uint8_t slot, uint64_t* capacity)
{
    Module* module = sLinked(boundModule());
    return module ? module->storeSlotCapacity(store, slot, capacity) : kErrResource;
}

kErr SystemClass::getFactoryData(uint8_t block, uint8_t* buffer, uint64_t bufferLength,
                                 uint64_t* count)
{
    Module* module = sLinked(boundModule());
    return module ? module->getFactoryData(block, buffer, bufferLength, count) : kErrResource;
}

kErr SystemClass::setFactoryData(uint8_t block, const uint8_t* bytes, uint64_t length)
{
    Module* module = sLinked(boundModule());
    return module ? module->setFactoryData(block, bytes, length) : kErrResource;
}

} // namespace Vantor
} // namespace Kelvane
