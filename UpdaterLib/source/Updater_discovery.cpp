// The discover command: the modules attached over USB or TCP/IP, or those
// on the internal bus behind one router module, each connected once and
// asked for its version, addresses, model and build number. Behind a
// router every address is asked at once, each on a thread of its own.

#include "UpdaterLib/source/Updater.h"
#include "UpdaterLib/source/Updater_flows.h"
#include "device/core/kDefs.h"
#include "device/core/kLog.h"
#include "device/core/kTime.h"
#include "device/core/kUEI.h"
#include "device/core/kVersion.h"
#include "device/object/Module.h"
#include "device/object/SystemClass.h"

#include <memory>
#include <thread>

using namespace Engine;

using Kelvane::Vantor::Link;
using Kelvane::Vantor::Module;
using Kelvane::Vantor::SystemClass;

namespace
{

const uint8_t FIRST_ADDRESS = 2;
const uint8_t LAST_ADDRESS = 252;
const uint8_t CMD_DESCRIPTOR = 73;
const uint8_t DESCRIPTOR_BUILD = 0xFF;
const uint8_t BUILD_REPLY_LENGTH = 6;
const uint8_t PACKET_DATA_MAX = 28;
// The link sends a frame a millisecond: the scan's requests are started
// that far apart, so each one leaves when it is made and its wait of
// 1000 ms is its own.
const uint64_t SCAN_STEP_MS = 1;

struct LinkSearch {
    uint32_t serialNumber;
    linkType found;
};

struct SpecDeleter {
    void operator()(linkSpec* spec) const { (void)kLinkSpec_Destroy(&spec); }
};
typedef std::unique_ptr<linkSpec, SpecDeleter> SpecPtr;

bool _discovered_device(const linkSpec* spec, bool* count, void* context)
{
    DeviceInfo device;
    device.deviceSpec = *spec;
    static_cast<std::vector<DeviceInfo>*>(context)->push_back(device);
    *count = true;
    return true;
}

bool _discovered_link(const linkSpec* spec, bool* count, void* context)
{
    LinkSearch* search = static_cast<LinkSearch*>(context);
    *count = true;
    if (spec->serialNumber != search->serialNumber)
        return true;
    Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", spec->serialNumber,
             (int)spec->type);
    search->found = spec->type;
    return false;
}

// Discovery over TCP/IP finds nothing while another program holds its
// reply port; the user is told once a command.
void _tell_port_in_use(UpdaterDisplayInterface& display, kErr err, bool* told)
{
    if (err != kErrBusy || *told)
        return;
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Discovery reply port %d is in use",
                    kDISCOVERY_REPLY_PORT);
    *told = true;
}

linkType _discover_link_type(uint32_t serialNumber, UpdaterDisplayInterface& display, bool* told)
{
    LinkSearch search = {serialNumber, kLinkTypeStream};
    kDiscovery_EnumerateModules(kLinkTypeUSB, _discovered_link, &search);
    if (search.found == kLinkTypeStream)
        _tell_port_in_use(display,
                          kDiscovery_Enumerate(kLinkTypeTCPIP, _discovered_link, &search, nullptr),
                          told);
    return search.found;
}

} // namespace

kErr Engine::_read_build_number(Module& module, uint32_t& build)
{
    Link* link = module.getLink();
    if (!link)
        return kErrNotReady;
    uint8_t address = module.getModuleAddress();
    const uint8_t request[] = {DESCRIPTOR_BUILD};
    kErr err = link->sendPacket(address, CMD_DESCRIPTOR, sizeof(request), request);
    if (err)
        return err;
    const uint8_t match[] = {CMD_DESCRIPTOR, DESCRIPTOR_BUILD};
    uint8_t length = sizeof(match);
    uint8_t reply[PACKET_DATA_MAX] = {0};
    err = link->receivePacket(address, match, &length, reply);
    if (err)
        return err;
    if (length != BUILD_REPLY_LENGTH)
        return kErrPacket;
    build = kUEI_RetrieveInt(reply + 2);
    return kErrNone;
}

namespace
{

// A module that gives no build number is listed with build 0.
uint32_t _listed_build(Module& module)
{
    uint32_t build = 0;
    return _read_build_number(module, build) == kErrNone ? build : 0;
}

// Fills the version and replaces the addresses with the module's own
// answers; the first failure is returned and what follows is not asked.
kErr _get_version(Module& module, DeviceInfo& device)
{
    SystemClass system;
    kErr err = system.init(&module, 0);
    if (err)
        return err;
    uint32_t version = 0;
    err = system.getVersion(&version);
    if (err)
        return err;
    device.versionMajor = kVersion_ParseMajor(version);
    device.versionMinor = kVersion_ParseMinor(version);
    device.versionPatch = kVersion_ParsePatch(version);
    uint8_t address = 0;
    err = system.getModule(&address);
    if (err)
        return err;
    device.deviceSpec.module = address;
    err = system.getRouter(&address);
    if (err)
        return err;
    device.deviceSpec.router = address;
    return kErrNone;
}

void _query_direct(DeviceInfo& device)
{
    device.modelName = kDefs_GetModelName(device.deviceSpec.model);
    Module module(FIRST_ADDRESS, 0);
    kErr err = module.connectFromSpec(device.deviceSpec);
    if (err) {
        device.error = err;
    } else {
        device.build = _listed_build(module);
        device.error = _get_version(module, device);
    }
    (void)module.disconnect();
}

} // namespace

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type)
{
    std::vector<DeviceInfo> devices;
    bool told = false;
    std::vector<linkType> types = {type};
    if (type == kLinkTypeStream)
        types = {kLinkTypeUSB, kLinkTypeTCPIP};
    for (linkType searched : types)
        _tell_port_in_use(
            display, kDiscovery_Enumerate(searched, _discovered_device, &devices, nullptr), &told);
    for (DeviceInfo& device : devices)
        _query_direct(device);
    return devices;
}

namespace
{

// The module at `address` behind the router, or false when it does not
// answer its serial number there. Until its own answers replace them, the
// record holds the address it answered at and the router's address.
bool _query_behind(Module& router, const linkSpec& routerSpec, uint32_t routerSerialNumber,
                   linkType type, uint8_t address, DeviceInfo& device)
{
    Module module(address, 0);
    // A link that did not come up fails the first request below.
    (void)module.connectThroughLinkModule(router);
    SystemClass system;
    uint32_t serialNumber = 0;
    if (system.init(&module, 0) != kErrNone || system.getSerialNumber(&serialNumber) != kErrNone)
        return false;
    device.deviceSpec = routerSpec;
    device.deviceSpec.type = type;
    device.deviceSpec.serialNumber = serialNumber;
    device.deviceSpec.module = address;
    device.deviceSpec.router = router.getModuleAddress();
    device.deviceSpec.routerSerialNumber = routerSerialNumber;
    device.deviceSpec.model = 0;
    device.build = _listed_build(module);
    device.error = _get_version(module, device);
    uint8_t model = 0;
    kErr err = system.getModel(&model);
    if (!err) {
        device.deviceSpec.model = model;
        device.modelName = kDefs_GetModelName(model);
    } else if (device.error == kErrNone) {
        device.error = err;
    }
    return true;
}

// One address of the router scan.
struct BehindQuery {
    uint8_t address = 0;
    bool found = false;
    DeviceInfo device;
};

// Asks every address behind the router with its requests in flight at
// once, so the absent ones are waited on side by side rather than one after
// the other. Every reply filter takes only the replies from the address it
// asked, and the records come out in address order, as one by one. An
// address whose thread cannot be made is asked on this one.
std::vector<DeviceInfo> _scan_behind(Module& router, const linkSpec& routerSpec,
                                     uint32_t routerSerialNumber, linkType type)
{
    std::vector<BehindQuery> queries((LAST_ADDRESS - FIRST_ADDRESS) / 2 + 1);
    std::vector<std::thread> workers;
    workers.reserve(queries.size());
    for (size_t i = 0; i < queries.size(); i++) {
        BehindQuery& query = queries[i];
        query.address = (uint8_t)(FIRST_ADDRESS + 2 * i);
        auto ask = [&router, &routerSpec, routerSerialNumber, type, &query] {
            query.found = _query_behind(router, routerSpec, routerSerialNumber, type, query.address,
                                        query.device);
        };
        try {
            workers.emplace_back(ask);
        } catch (...) {
            ask();
        }
        kTime_MSSleep(SCAN_STEP_MS);
    }
    for (std::thread& worker : workers)
        worker.join();
    std::vector<DeviceInfo> devices;
    for (const BehindQuery& query : queries)
        if (query.found)
            devices.push_back(query.device);
    return devices;
}

} // namespace

uint8_t Engine::_find_behind(Module& router, uint32_t routerSerialNumber, uint32_t serialNumber)
{
    linkSpec routerSpec = {};
    if (router.getLinkSpecifier(&routerSpec) != kErrNone)
        return 0;
    for (const DeviceInfo& device :
         _scan_behind(router, routerSpec, routerSerialNumber, routerSpec.type))
        if (device.deviceSpec.serialNumber == serialNumber)
            return (uint8_t)device.deviceSpec.module;
    return 0;
}

std::vector<DeviceInfo> Updater::Discover_VTNetwork_Devices(uint32_t routerSerialNumber,
                                                            linkType type)
{
    std::vector<DeviceInfo> devices;
    bool told = false;
    if (type == kLinkTypeStream)
        type = _discover_link_type(routerSerialNumber, display, &told);
    linkSpec* found = nullptr;
    _tell_port_in_use(display, kDiscovery_Find(type, routerSerialNumber, &found), &told);
    SpecPtr routerSpec(found);
    if (!routerSpec)
        return devices;
    Module router(FIRST_ADDRESS, 0);
    // A link that did not come up fails the first request below.
    (void)router.connectFromSpec(*routerSpec);
    SystemClass routerSystem;
    if (routerSystem.init(&router, 0) != kErrNone || routerSystem.routeToMe(1) != kErrNone)
        return devices;
    devices = _scan_behind(router, *routerSpec, routerSerialNumber, type);
    // The records are made; a router that does not take it keeps routing.
    (void)routerSystem.routeToMe(0);
    (void)router.disconnect();
    return devices;
}
