#pragma once
// The system entity (class 3) that every module has: its identity, routing
// and housekeeping options as named operations, each one exchange of
// EntityClass. Results and out values are those of EntityClass.

#include "device/object/Entity.h"

namespace Kelvane
{
namespace Vantor
{

class SystemClass : public EntityClass
{
public:
    SystemClass() = default;
    ~SystemClass() override = default;

    /// Binds the system entity of the module at `index`.
    kErr init(Module* module, uint8_t index);

    /// The module address as configured in the module.
    kErr getModule(uint8_t* address);
    kErr setRouter(uint8_t address);
    kErr getRouter(uint8_t* address);
    kErr setHBInterval(uint8_t interval);
    kErr getHBInterval(uint8_t* interval);
    /// Any non-zero argument switches the LED on (sends 1).
    kErr setLED(uint8_t on);
    kErr getLED(uint8_t* on);
    kErr setBootSlot(uint8_t slot);
    kErr getBootSlot(uint8_t* slot);
    /// The packed firmware version (major, minor, patch).
    kErr getVersion(uint32_t* version);
    kErr getModel(uint8_t* model);
    kErr getSerialNumber(uint32_t* serialNumber);
    /// getSerialNumber in two halves, for asking many modules at once: the
    /// request, then its reply within `timeoutMS` (at least 1).
    kErr requestSerialNumber();
    kErr awaitSerialNumber(uint32_t* serialNumber, uint32_t timeoutMS);
    kErr save();
    /// The module restarts after its reply.
    kErr reset();
    kErr getInputVoltage(uint32_t* voltage);
    kErr getModuleHardwareOffset(uint8_t* offset);
    kErr getModuleBaseAddress(uint8_t* address);
    kErr setModuleSoftwareOffset(uint8_t offset);
    kErr getModuleSoftwareOffset(uint8_t* offset);
    kErr getRouterAddressSetting(uint8_t* address);
    /// Non-zero: a router passes frames for the modules behind it.
    kErr routeToMe(uint8_t on);
    kErr getInputCurrent(uint32_t* current);
    kErr getUptime(uint32_t* uptime);
    kErr getMaximumTemperature(int32_t* temperature);
    kErr logEvents();
    kErr getUnregulatedVoltage(int32_t* voltage);
    kErr getUnregulatedCurrent(int32_t* current);
    kErr getTemperature(int32_t* temperature);
    kErr getMinimumTemperature(int32_t* temperature);
    kErr getInputPowerSource(uint8_t* source);
    kErr setInputPowerBehavior(uint8_t behavior);
    kErr getInputPowerBehavior(uint8_t* behavior);
    /// `count` 32-bit values, sent most significant byte first.
    kErr setInputPowerBehaviorConfig(const uint32_t* values, uint64_t count);
    /// Up to `capacity` values; *count is the number read. kErrSize when the
    /// module sent a byte count that is not a multiple of 4.
    kErr getInputPowerBehaviorConfig(uint32_t* values, uint64_t capacity, uint64_t* count);
    kErr setName(const uint8_t* name, uint64_t length);
    kErr getName(uint8_t* buffer, uint64_t capacity, uint64_t* length);
    kErr getPowerLimit(uint32_t* limit);
    kErr setPowerLimitMax(uint32_t limit);
    kErr getPowerLimitMax(uint32_t* limit);
    kErr getPowerLimitState(uint32_t* state);
    kErr resetEntityToFactoryDefaults();
    kErr resetDeviceToFactoryDefaults();
    kErr setLinkInterface(uint8_t linkInterface);
    kErr getLinkInterface(uint8_t* linkInterface);
    kErr getHardwareVersion(uint32_t* version);
    kErr getErrors(uint32_t* errors);

    /// The module's store-slot and factory-data transfers (Module); these
    /// are no UEI exchanges. kErrResource without a module or link.
    kErr loadStoreSlot(uint8_t store, uint8_t slot, const uint8_t* bytes, uint64_t length);
    kErr unloadStoreSlot(uint8_t store, uint8_t slot, uint8_t* buffer, uint64_t bufferLength,
                         uint64_t* count);
    kErr storeSlotSize(uint8_t store, uint8_t slot, uint64_t* size);
    kErr storeSlotCapacity(uint8_t store, uint8_t slot, uint64_t* capacity);
    kErr getFactoryData(uint8_t block, uint8_t* buffer, uint64_t bufferLength, uint64_t* count);
    kErr setFactoryData(uint8_t block, const uint8_t* bytes, uint64_t length);
};

} // namespace Vantor
} // namespace Kelvane
