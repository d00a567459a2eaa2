#include "UpdaterLib/source/ModuleFinder.h"

#include "device/core/kLog.h"
#include "device/core/kTime.h"
#include "device/object/Module.h"
#include "device/object/SystemClass.h"

#include <memory>
#include <vector>

using Kelvane::Vantor::Module;
using Kelvane::Vantor::SystemClass;

namespace
{

/// A dropped direct link shows in its status within this.
const uint64_t LINK_POLL_MS = 20;
/// How long a routed module is given to answer before it counts as gone: a
/// busy bus must not pass for a restart.
const uint64_t GONE_ANSWER_MS = 250;

struct SpecDeleter {
    void operator()(linkSpec* spec) const { (void)kLinkSpec_Destroy(&spec); }
};

// Every module with the default serial number that one walk finds.
bool _default_loader(const linkSpec* spec, bool* count, void* reference)
{
    if (spec->serialNumber == kDISCOVERY_DEFAULT_SERIAL) {
        static_cast<std::vector<linkSpec>*>(reference)->push_back(*spec);
        *count = true;
    }
    return true;
}

// The time left of the search, at most one poll; 0 once it is over.
uint64_t _slice(uint64_t deadline, uint64_t poll)
{
    uint64_t now = kTime_GetMSTicks();
    if (now >= deadline)
        return 0;
    return deadline - now < poll ? deadline - now : poll;
}

// Sleeps out what is left of a poll that began at `start`.
void _pace(uint64_t start, uint64_t poll, uint64_t deadline)
{
    uint64_t now = kTime_GetMSTicks();
    uint64_t next = start + poll < deadline ? start + poll : deadline;
    if (now < next)
        kTime_MSSleep(next - now);
}

kErr _connect_found(Module& module, const linkSpec& spec)
{
    (void)module.disconnect();
    kErr err = module.connectFromSpec(spec);
    if (!err && module.isConnected())
        return kErrNone;
    // A link that never ran is given back, so the next poll makes a new one.
    (void)module.disconnect();
    return err ? err : kErrConnection;
}

} // namespace

ModuleFinder::ModuleFinder(linkType type, const kCancel* cancel)
    : type(type), router(nullptr), address(0), cancel(cancel)
{
}

ModuleFinder::ModuleFinder(linkType type, Module& router, uint8_t address, const kCancel* cancel)
    : type(type), router(&router), address(address), cancel(cancel)
{
}

ModuleFinder ModuleFinder::Direct(const Module& module, const kCancel* cancel)
{
    linkSpec spec = {};
    if (module.getLinkSpecifier(&spec) == kErrNone && spec.type == kLinkTypeTCPIP)
        return ModuleFinder(kLinkTypeTCPIP, cancel);
    return ModuleFinder(kLinkTypeUSB, cancel);
}

// Asks the module at the finder's address behind the router for its serial
// number, waiting at most `waitMS`; the module's link is made over the
// router's when it has none.
kErr ModuleFinder::_connect_routed(Module& module, uint32_t serialNumber, uint64_t waitMS) const
{
    module.setModuleAddress(address);
    if (!module.isConnected()) {
        kErr err = module.connectThroughLinkModule(*router);
        if (err)
            return err;
    }
    SystemClass system;
    // Binding needs no exchange.
    (void)system.init(&module, 0);
    system.setReplyTimeout(waitMS);
    uint32_t answered = 0;
    kErr err = system.getSerialNumber(&answered);
    if (err)
        return err;
    return serialNumber == 0 || answered == serialNumber ? kErrNone : kErrNotFound;
}

namespace
{

// Makes an attempt every POLL_MS, given what is left of its poll, until one
// finds the module (kErrNone) or ends the search (any code but
// kErrNotFound), the deadline passes (kErrTimeout) or the run is cancelled
// (kErrCancel).
template <typename Attempt>
kErr _every_poll(const kCancel* cancel, uint64_t deadline, Attempt attempt)
{
    for (;;) {
        if (kCancel_Check(cancel) != kErrNone)
            return kErrCancel;
        uint64_t wait = _slice(deadline, ModuleFinder::POLL_MS);
        if (wait == 0)
            return kErrTimeout;
        uint64_t start = kTime_GetMSTicks();
        kErr err = attempt(wait);
        if (err != kErrNotFound)
            return err;
        _pace(start, ModuleFinder::POLL_MS, deadline);
    }
}

} // namespace

kErr ModuleFinder::_poll(Module& module, uint32_t serialNumber, uint64_t deadline,
                         bool discover) const
{
    return _every_poll(cancel, deadline, [&](uint64_t wait) {
        if (router)
            return _connect_routed(module, serialNumber, wait) == kErrNone ? kErrNone
                                                                           : kErrNotFound;
        if (discover) {
            linkSpec* found = nullptr;
            (void)kDiscovery_FindWithin(type, serialNumber, (uint32_t)wait, &found, cancel);
            std::unique_ptr<linkSpec, SpecDeleter> spec(found);
            return spec && _connect_found(module, *spec) == kErrNone ? kErrNone : kErrNotFound;
        }
        (void)module.disconnect();
        if (module.reconnect() == kErrNone && module.isConnected())
            return kErrNone;
        (void)module.disconnect();
        return kErrNotFound;
    });
}

kErr ModuleFinder::FindAgain(Module& module, uint32_t serialNumber, uint64_t deadline) const
{
    Log::log(DEBUG_Network, "NETWORK: Looking for [%08X] %s\n", serialNumber,
             router ? "behind its router" : "by discovery");
    return _poll(module, serialNumber, deadline, true);
}

kErr ModuleFinder::Reconnect(Module& module, uint64_t deadline) const
{
    return _poll(module, 0, deadline, false);
}

kErr ModuleFinder::FindDefaultLoader(Module& module, uint64_t deadline) const
{
    if (router)
        return _poll(module, kDISCOVERY_DEFAULT_SERIAL, deadline, true);
    return _every_poll(cancel, deadline, [&](uint64_t wait) {
        std::vector<linkSpec> loaders;
        (void)kDiscovery_EnumerateWithin(type, _default_loader, &loaders, (uint32_t)wait, nullptr,
                                         cancel);
        if (loaders.size() > 1) {
            Log::log(DEBUG_Network, "NETWORK: %d loaders report the default serial number\n",
                     (int)loaders.size());
            return kErrBusy;
        }
        return loaders.size() == 1 && _connect_found(module, loaders[0]) == kErrNone ? kErrNone
                                                                                     : kErrNotFound;
    });
}

kErr ModuleFinder::AwaitGone(Module& module, uint64_t deadline) const
{
    for (;;) {
        if (router ? _connect_routed(module, 0, GONE_ANSWER_MS) == kErrTimeout
                   : !module.isConnected())
            return kErrNone;
        if (kCancel_Check(cancel) != kErrNone)
            return kErrCancel;
        uint64_t start = kTime_GetMSTicks();
        if (start >= deadline)
            return kErrTimeout;
        _pace(start, router ? POLL_MS : LINK_POLL_MS, deadline);
    }
}
