#pragma once
// The one way the update engine finds a module again after it restarts:
// into its loader after LOAD, into its new firmware after REBOOT, or as the
// liveloader that a boot ROM started. The finder knows the path the module
// is reached by. On a direct link (USB or TCP/IP) the module is found again
// by discovery over the same kind of link, never over another. Behind a
// router the router's link stays up while the module restarts, so the
// module is asked at its bus address until it answers with its serial
// number again.
//
// Every search takes one deadline (kTime_GetMSTicks), stops when the run's
// cancellation says so (kErrCancel), and asks often enough to find a module within about 0.1 s of
// its return. Searches run on the caller's thread and block until they end.

#include "device/core/kCancel.h"
#include "device/core/kDiscovery.h"
#include "device/core/kError.h"

#include <stdint.h>

namespace Kelvane
{
namespace Vantor
{
class Module;
}
} // namespace Kelvane

class ModuleFinder
{
public:
    /// How far apart the searches ask.
    static const uint64_t POLL_MS = 50;

    /// A module on a direct link of `type` (kLinkTypeUSB or kLinkTypeTCPIP).
    /// `cancel` (not owned, may be null) is the run's cancellation.
    explicit ModuleFinder(linkType type, const kCancel* cancel = nullptr);
    /// A module at `address` behind `router`, which is connected and must
    /// outlive the finder; `type` is the router's kind of link.
    ModuleFinder(linkType type, Kelvane::Vantor::Module& router, uint8_t address,
                 const kCancel* cancel = nullptr);
    /// The direct path of a connected module: over its kind of link (USB
    /// unless it is reached over TCP/IP).
    static ModuleFinder Direct(const Kelvane::Vantor::Module& module,
                               const kCancel* cancel = nullptr);

    linkType Type() const { return type; }
    bool Routed() const { return router != nullptr; }
    uint8_t Address() const { return address; }
    const kCancel* Cancel() const { return cancel; }

    /// Connects `module` to the module with `serialNumber`: found by
    /// discovery (direct), or answering that serial number at its address
    /// (routed). kErrNone once connected, kErrTimeout at the deadline,
    /// kErrCancel on an interrupt; `module` is left disconnected unless
    /// found.
    kErr FindAgain(Kelvane::Vantor::Module& module, uint32_t serialNumber, uint64_t deadline) const;
    /// As FindAgain, but a direct module is connected again by the link
    /// specifier it has stored, without a discovery, and a routed one may
    /// answer with any serial number.
    kErr Reconnect(Kelvane::Vantor::Module& module, uint64_t deadline) const;
    /// Connects `module` to the loader that reports the default serial
    /// number on the same path, only while exactly one can be found:
    /// kErrBusy as soon as two or more answer; otherwise as FindAgain.
    kErr FindDefaultLoader(Kelvane::Vantor::Module& module, uint64_t deadline) const;
    /// Waits until the module has gone: its link dropped (direct), or no
    /// answer at its address (routed). kErrNone once gone, kErrTimeout while
    /// still there at the deadline, kErrCancel on an interrupt.
    kErr AwaitGone(Kelvane::Vantor::Module& module, uint64_t deadline) const;

private:
    kErr _poll(Kelvane::Vantor::Module& module, uint32_t serialNumber, uint64_t deadline,
               bool discover) const;
    /// serialNumber 0: any answer will do.
    kErr _connect_routed(Kelvane::Vantor::Module& module, uint32_t serialNumber,
                         uint64_t waitMS) const;

    linkType type;
    Kelvane::Vantor::Module* router;
    uint8_t address;
    const kCancel* cancel;
};
