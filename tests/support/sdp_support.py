"""The i.MX serial download ROM (tools/imx_sdp_sim.py) and the program that
drives the library's loader against it (sdp_probe, built into the build
tree), for the serial download tests."""

import os
import signal
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import rom_sims  # noqa: E402
import updater_test  # noqa: E402

SIM = os.path.join(updater_test.TOOLS_DIR, "imx_sdp_sim.py")
PROBE = os.path.join(updater_test.BUILD_DIR, "tests", "sdp_probe")

# The loader gives the ROM 100 ms for each answer over the serial line. A
# real ROM answers in microseconds; the simulator, on a machine busy with
# builds and other tests, can be descheduled for longer than that. Running it
# at a higher priority (where allowed) keeps it as prompt as a ROM.
SIM_NICE = -10


def unavailable_reason():
    if not os.path.exists(SIM):
        return "the ROM simulator is missing (%s)" % SIM
    if not os.access(PROBE, os.X_OK):
        return "sdp_probe is not built (%s)" % PROBE
    return None


class SdpRom(rom_sims.RomSim):
    """One simulator on a pseudo-terminal (reached through `tty`) and behind
    the HID socket `hid_socket`."""

    def __init__(self, *options):
        super().__init__("imx_sdp_sim.py", "--pty", "--link", "{dir}/tty",
                         "--hid-socket", "{dir}/hid.sock", *options)
        self.tty = self.path("tty")
        self.hid_socket = self.path("hid.sock")

    def __enter__(self):
        super().__enter__()
        try:
            os.setpriority(os.PRIO_PROCESS, self.proc.pid, SIM_NICE)
        except OSError:
            pass
        return self

    def events_of(self, kind):
        return [e for e in self.events() if e["event"] == kind]

    def received(self, transport):
        """What the host sent over `transport`, in order: the serial byte
        stream, or the list of HID output reports."""
        chunks = [bytes.fromhex(e["hex"]) for e in self.events_of("in")
                  if e.get("transport") == transport]
        return b"".join(chunks) if transport == "serial" else chunks

    def ram(self, address, count):
        return bytes.fromhex(self.control("read", address=address, count=count)["hex"])

    def pause(self):
        """The ROM stops reading: its line fills up."""
        self.proc.send_signal(signal.SIGSTOP)

    def resume(self):
        self.proc.send_signal(signal.SIGCONT)


class ProbeResult:
    def __init__(self, completed):
        self.status = completed.returncode
        self.stdout = completed.stdout.decode(errors="replace")
        self.log = completed.stderr.decode(errors="replace")
        self.lines = [line.split() for line in self.stdout.splitlines()]

    def step(self, name, occurrence=0):
        """The fields after the step name on its `occurrence`-th line."""
        found = [line[1:] for line in self.lines if line and line[0] == name]
        if len(found) <= occurrence:
            raise AssertionError("no %s line in %r" % (name, self.stdout))
        return found[occurrence]


def run_probe(transport_args, steps, env=None, timeout=120, log=False):
    """Runs sdp_probe with `transport_args` (["--hid"] or ["--serial",
    path]) and the steps; returns a ProbeResult."""
    cmd = [PROBE] + list(transport_args) + (["--log"] if log else []) + list(steps)
    completed = subprocess.run(cmd, capture_output=True, timeout=timeout, env=env,
                               stdin=subprocess.DEVNULL)
    return ProbeResult(completed)
