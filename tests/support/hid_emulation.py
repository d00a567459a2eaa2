"""The emulated USB HID device of the i.MX serial download ROM.

HidEmulation starts tests/support/hid_harness (built into the build tree)
against the --hid-socket of a running tools/imx_sdp_sim.py. The harness owns
a umockdev testbed with the device 1FC9:0130 and carries its reports to and
from the simulator; a client program sees the device when it runs with the
environment of client_env() (umockdev's preload library and the testbed
directory). No root is needed.

    with HidEmulation(sim_socket) as hid:
        hid.wait_attached()
        subprocess.run([...], env=hid.client_env())
"""

import os
import subprocess
import threading
import time

import updater_test

PRELOAD_LIBRARY = "libumockdev-preload.so.0"
HARNESS = os.path.join(updater_test.BUILD_DIR, "tests", "hid_harness")

_LIBRARY_DIRS = ("/usr/lib/x86_64-linux-gnu", "/usr/lib64", "/usr/lib", "/lib/x86_64-linux-gnu")


def unavailable_reason():
    """Why the emulation cannot run here, or None."""
    if not os.access(HARNESS, os.X_OK):
        return "the HID harness is not built (%s)" % HARNESS
    if not any(os.path.exists(os.path.join(d, PRELOAD_LIBRARY)) for d in _LIBRARY_DIRS):
        return "umockdev's preload library %s is not installed" % PRELOAD_LIBRARY
    return None


class HidEmulation:
    def __init__(self, sim_socket, trace=False):
        self.sim_socket = sim_socket
        self.trace = trace
        self.proc = None
        self.testbed = None
        self.lines = []
        self._cond = threading.Condition()
        self._reader = None
        self._stderr = None

    def start(self, timeout=10):
        """Starts the harness and waits until its testbed exists."""
        cmd = [HARNESS, "--socket", self.sim_socket] + (["--trace"] if self.trace else [])
        self._stderr = open(os.devnull, "wb") if not self.trace else None
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=self._stderr,
                                     stdin=subprocess.DEVNULL)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        prefix = "UMOCKDEV_DIR="
        if not self._wait_for(lambda lines: any(l and l.startswith(prefix) for l in lines),
                              timeout):
            self.stop()
            raise RuntimeError("the HID harness did not start")
        with self._cond:
            line = next(l for l in self.lines if l and l.startswith(prefix))
        self.testbed = line[len(prefix):]
        return self

    def _read(self):
        for raw in self.proc.stdout:
            with self._cond:
                self.lines.append(raw.decode(errors="replace").strip())
                self._cond.notify_all()
        with self._cond:
            self.lines.append(None)  # the harness ended
            self._cond.notify_all()

    def _wait_for(self, done, timeout):
        """Waits until done(lines) holds; False at the time-out or when the
        harness has ended without it."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while not done(self.lines):
                left = deadline - time.monotonic()
                if left <= 0 or None in self.lines:
                    return False
                self._cond.wait(left)
            return True

    def wait_event(self, event, occurrence=1, timeout=10):
        """True once `event` ("ATTACHED", "DETACHED") has been printed
        `occurrence` times."""
        return self._wait_for(lambda lines: lines.count(event) >= occurrence, timeout)

    def wait_attached(self, timeout=10):
        if not self.wait_event("ATTACHED", 1, timeout):
            raise RuntimeError("the emulated HID device did not appear")

    def client_env(self, base=None):
        """The environment under which a program sees the emulated device."""
        env = dict(os.environ if base is None else base)
        preload = env.get("LD_PRELOAD", "")
        env["LD_PRELOAD"] = PRELOAD_LIBRARY + (":" + preload if preload else "")
        env["UMOCKDEV_DIR"] = self.testbed
        return env

    def stop(self):
        """Ends the harness (it removes its testbed) and returns its status."""
        status = None
        if self.proc:
            if self.proc.poll() is None:
                self.proc.terminate()
                try:
                    self.proc.wait(10)
                except subprocess.TimeoutExpired:
                    self.proc.kill()
                    self.proc.wait()
            status = self.proc.returncode
            if self._reader:
                self._reader.join(5)
            self.proc.stdout.close()
            self.proc = None
        if self._stderr:
            self._stderr.close()
            self._stderr = None
        return status

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
