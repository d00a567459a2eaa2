// The discover command: the modules attached over USB or TCP/IP, or those
// on the internal bus behind one router module, each connected once and
// asked for its version, addresses, model and build number. Behind a
// router every address is asked at once, from one thread.

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
// The link sends a frame a millisecond: the scan's requests are made that
// far apart, so each one leaves when it is made and its wait of 1000 ms is
// its own.
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

// Discovery over TCP/IP cannot run while another program holds its reply
// port, nor without a reply socket: the user is told once a command, and the
// command fails, since an empty list must mean that nobody answered. An
// interrupted discovery fails the same way.
void _tell_cannot_run(UpdaterDisplayInterface& display, kErr err, bool* failed)
{
    if ((err != kErrBusy && err != kErrIO && err != kErrCancel) || *failed)
        return;
    if (err == kErrBusy)
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Discovery reply port %d is in use",
                        kDISCOVERY_REPLY_PORT);
    else if (err == kErrIO)
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Discovery reply socket could not be made");
    else
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Discovery interrupted");
    *failed = true;
}

linkType _discover_link_type(uint32_t serialNumber, UpdaterDisplayInterface& display,
                             const kCancel* cancel, bool* failed)
{
    LinkSearch search = {serialNumber, kLinkTypeStream};
    kDiscovery_EnumerateModules(kLinkTypeUSB, _discovered_link, &search);
    if (search.found == kLinkTypeStream)
        _tell_cannot_run(
            display,
            kDiscovery_Enumerate(kLinkTypeTCPIP, _discovered_link, &search, nullptr, cancel),
            failed);
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

void _query_direct(DeviceInfo& device, const kCancel* cancel)
{
    device.modelName = kDefs_GetModelName(device.deviceSpec.model);
    Module module(FIRST_ADDRESS, 0);
    module.setCancel(cancel);
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

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type, bool* failed)
{
    std::vector<DeviceInfo> devices;
    bool cannotRun = false;
    std::vector<linkType> types = {type};
    if (type == kLinkTypeStream)
        types = {kLinkTypeUSB, kLinkTypeTCPIP};
    for (linkType searched : types)
        _tell_cannot_run(
            display, kDiscovery_Enumerate(searched, _discovered_device, &devices, nullptr, cancel),
            &cannotRun);
    for (DeviceInfo& device : devices) {
        _tell_cannot_run(display, kCancel_Check(cancel), &cannotRun);
        if (cannotRun)
            break;
        _query_direct(device, cancel);
    }
    if (failed)
        *failed = cannotRun;
    return cannotRun ? std::vector<DeviceInfo>() : devices;
}

namespace
{

// The module that answered its serial number at `address` behind the
// router: until its own answers replace them, the record holds the address
// it answered at and the router's address.
DeviceInfo _describe_behind(Module& module, SystemClass& system, const linkSpec& routerSpec,
                            uint8_t router, uint32_t routerSerialNumber, linkType type,
                            uint32_t serialNumber)
{
    DeviceInfo device;
    device.deviceSpec = routerSpec;
    device.deviceSpec.type = type;
    device.deviceSpec.serialNumber = serialNumber;
    device.deviceSpec.module = module.getModuleAddress();
    device.deviceSpec.router = router;
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
    return device;
}

// One address of the router scan: its module on the router's link, and
// when the wait for its serial number ends.
struct BehindQuery {
    explicit BehindQuery(uint8_t address) : module(address, 0) {}
    Module module;
    SystemClass system;
    bool asked = false;
    uint64_t deadline = 0;
};

// Asks every address behind the router with its requests in flight at
// once, all on this thread: the link's matcher hands each reply to the
// address that sent it and keeps it until its turn, so the absent addresses
// are waited on side by side, each until 1000 ms after its own request.
// The modules found are then described one by one, in address order. The
// modules take the router's cancellation, which ends every wait.
std::vector<DeviceInfo> _scan_behind(Module& router, const linkSpec& routerSpec,
                                     uint32_t routerSerialNumber, linkType type)
{
    const kCancel* cancel = router.getCancel();
    std::vector<std::unique_ptr<BehindQuery>> queries;
    uint64_t due = kTime_GetMSTicks();
    for (uint8_t address = FIRST_ADDRESS;
         address <= LAST_ADDRESS && kCancel_Check(cancel) == kErrNone; address += 2) {
        queries.emplace_back(new BehindQuery(address));
        BehindQuery& query = *queries.back();
        // A link that did not come up fails the request.
        (void)query.module.connectThroughLinkModule(router);
        query.asked = query.system.init(&query.module, 0) == kErrNone;
        // The requests keep their step whatever the connects cost.
        due += SCAN_STEP_MS;
        uint64_t now = kTime_GetMSTicks();
        if (due > now)
            (void)kCancel_Sleep(cancel, due - now);
        query.asked = query.asked && query.system.requestSerialNumber() == kErrNone;
        query.deadline = kTime_GetMSTicks() + Link::REPLY_TIMEOUT_MS;
    }
    std::vector<uint32_t> serialNumbers(queries.size(), 0);
    std::vector<bool> answered(queries.size(), false);
    for (size_t i = 0; i < queries.size(); i++) {
        uint64_t now = kTime_GetMSTicks();
        uint64_t left = queries[i]->deadline > now ? queries[i]->deadline - now : 0;
        answered[i] = queries[i]->asked && queries[i]->system.awaitSerialNumber(
                                               &serialNumbers[i], (uint32_t)left) == kErrNone;
    }
    std::vector<DeviceInfo> devices;
    for (size_t i = 0; i < queries.size() && kCancel_Check(cancel) == kErrNone; i++)
        if (answered[i])
            devices.push_back(_describe_behind(queries[i]->module, queries[i]->system, routerSpec,
                                               router.getModuleAddress(), routerSerialNumber, type,
                                               serialNumbers[i]));
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
                                                            linkType type, bool* failed)
{
    std::vector<DeviceInfo> devices;
    bool cannotRun = false;
    if (type == kLinkTypeStream)
        type = _discover_link_type(routerSerialNumber, display, cancel, &cannotRun);
    linkSpec* found = nullptr;
    if (!cannotRun)
        _tell_cannot_run(display, kDiscovery_Find(type, routerSerialNumber, &found, cancel),
                         &cannotRun);
    if (failed)
        *failed = cannotRun;
    SpecPtr routerSpec(found);
    if (!routerSpec)
        return devices;
    Module router(FIRST_ADDRESS, 0);
    router.setCancel(cancel);
    // A link that did not come up fails the first request below.
    (void)router.connectFromSpec(*routerSpec);
    SystemClass routerSystem;
    if (routerSystem.init(&router, 0) == kErrNone && routerSystem.routeToMe(1) == kErrNone) {
        devices = _scan_behind(router, *routerSpec, routerSerialNumber, type);
        // Routing goes off also after an interrupt, so that the router
        // serves its own port again; one that does not take it keeps routing.
        router.setCancel(nullptr);
        (void)routerSystem.routeToMe(0);
    }
    (void)router.disconnect();
    _tell_cannot_run(display, kCancel_Check(cancel), &cannotRun);
    if (failed)
        *failed = cannotRun;
    return cannotRun ? std::vector<DeviceInfo>() : devices;
}
