"""A private pair of network namespaces for tests that multicast.

    with NetnsPair() as pair:
        sim = Simulator(config, prefix=pair.module_prefix())
        subprocess.run(pair.host_prefix() + ["some", "command"])

Two namespaces are joined by a veth pair: the host side has 10.77.0.1/24,
the module side 10.77.0.2/24, loopback is up in both, and the host side
routes 232.0.0.0/8 (the discovery group) over the veth, so a multicast
sent without a chosen interface goes there too. Neither namespace has any
other interface or route: nothing sent in them leaves them. Everything is
torn down when the context ends, and at exit if a test died before that.
Needs root (CAP_SYS_ADMIN and CAP_NET_ADMIN).
"""

import atexit
import itertools
import os
import subprocess

HOST_ADDRESS = "10.77.0.1"
MODULE_ADDRESS = "10.77.0.2"
_counter = itertools.count()
_live = set()


def _ip(*args, check=True):
    return subprocess.run(["ip"] + list(args), capture_output=True, text=True, check=check,
                          timeout=30)


def available():
    """Whether namespaces can be made here (root and a working `ip`)."""
    if os.geteuid() != 0:
        return False
    try:
        return _ip("netns", "list", check=False).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


class NetnsPair:
    def __init__(self):
        tag = "%d%d" % (os.getpid() % 100000, next(_counter))
        self.host = "vsh" + tag
        self.module = "vsm" + tag
        # Interface names have at most 15 characters.
        self.host_if = ("vh" + tag)[:15]
        self.module_if = ("vm" + tag)[:15]
        self.up = False

    def host_prefix(self):
        return ["ip", "netns", "exec", self.host]

    def module_prefix(self):
        return ["ip", "netns", "exec", self.module]

    def run_host(self, cmd, **kwargs):
        return subprocess.run(self.host_prefix() + list(cmd), **kwargs)

    def _in(self, ns, *args):
        return _ip("-n", ns, *args)

    def create(self):
        _live.add(self)
        _ip("netns", "add", self.host)
        _ip("netns", "add", self.module)
        _ip("link", "add", self.host_if, "netns", self.host, "type", "veth",
            "peer", "name", self.module_if, "netns", self.module)
        for ns, ifname, address in ((self.host, self.host_if, HOST_ADDRESS),
                                    (self.module, self.module_if, MODULE_ADDRESS)):
            self._in(ns, "link", "set", "lo", "up")
            self._in(ns, "addr", "add", address + "/24", "dev", ifname)
            self._in(ns, "link", "set", ifname, "up")
            self._in(ns, "route", "add", "232.0.0.0/8", "dev", ifname)
        self.up = True
        return self

    def destroy(self):
        for ns in (self.host, self.module):
            _ip("netns", "del", ns, check=False)
        self.up = False
        _live.discard(self)

    def __enter__(self):
        try:
            return self.create()
        except BaseException:
            self.destroy()
            raise

    def __exit__(self, *exc):
        self.destroy()
        return False


@atexit.register
def _cleanup():
    for pair in list(_live):
        pair.destroy()
