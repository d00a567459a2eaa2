"""A module's kernel device node, "/dev/vantor.%08X", for the tests.

No kernel driver exists here: a pseudo-terminal in raw mode stands in for
the node. It becomes visible under the node's name only inside a private
mount namespace: /dev is overlaid there with a temporary upper layer that
holds the symlink, and /dev/pts is mounted again inside, so nothing is
ever created in the real /dev. Needs root.

    with NodePty(0x1A2B3C4D) as node:
        subprocess.run(node.prefix() + ["program"])   # sees /dev/vantor.1A2B3C4D
        os.write(node.master, b"...")                  # the module's side
"""

import os
import select
import shutil
import subprocess
import tempfile
import termios
import tty

import updater_test

# Runs "$@" with /dev overlaid and the node's symlink in the overlay.
_SCRIPT = r'''
set -e
w="$1"; name="$2"; target="$3"; shift 3
mkdir -p "$w/upper" "$w/work" "$w/pts"
mount --bind /dev/pts "$w/pts"
mount -t overlay overlay -o "lowerdir=/dev,upperdir=$w/upper,workdir=$w/work" /dev
mount --move "$w/pts" /dev/pts
ln -s "$target" "/dev/$name"
exec "$@"
'''


def node_name(serial):
    return "vantor.%08X" % serial


class NodePty:
    """A raw pseudo-terminal whose slave is the node of module `serial`."""

    def __init__(self, serial):
        self.serial = serial
        self.master, self.slave = os.openpty()
        self.slave_path = os.ttyname(self.slave)
        tty.setraw(self.slave)
        attrs = termios.tcgetattr(self.slave)
        attrs[6][termios.VMIN] = 0  # a read with no data returns 0 bytes
        attrs[6][termios.VTIME] = 0
        termios.tcsetattr(self.slave, termios.TCSANOW, attrs)
        os.set_blocking(self.master, False)
        self.dir = tempfile.mkdtemp(prefix="vantor-node-")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def prefix(self):
        """The command prefix that runs a program with the node in /dev."""
        return ["unshare", "--mount", "--propagation", "private", "sh", "-c", _SCRIPT, "node",
                self.dir, node_name(self.serial), self.slave_path]

    def read(self, count, timeout=2.0):
        """Up to `count` bytes the program wrote to the node."""
        out = b""
        while len(out) < count:
            ready, _, _ = select.select([self.master], [], [], timeout)
            if not ready:
                break
            out += os.read(self.master, count - len(out))
        return out

    def close(self):
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass
        shutil.rmtree(self.dir, ignore_errors=True)


def why_not_available():
    """None when node namespaces can be made here, else the reason."""
    if not updater_test.is_root():
        return "needs root (a private mount namespace with /dev overlaid)"
    with NodePty(1) as node:
        r = subprocess.run(node.prefix() + ["test", "-c", "/dev/" + node_name(1)],
                           capture_output=True, timeout=20)
        if r.returncode != 0:
            return "cannot overlay /dev in a private mount namespace: %s" % r.stderr.decode().strip()
    return None
