"""Runs tools/update_server.py as a real process on 127.0.0.1 for a test.

    with UpdateServerProcess(catalog="catalog.json") as server:
        run_updater(["-B", "-d", "0000002B", "-u", server.url], home)
        server.fault("status=500@builds")
        server.log_lines()          # every request line received, as bytes
"""

import http.client
import json
import os
import subprocess
import sys
import tempfile
import time
import urllib.parse

TOOLS_DIR = os.environ.get(
    "UPDATER_SOURCE_DIR",
    os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
TOOLS_DIR = os.path.join(TOOLS_DIR, "tools")
SERVER = os.path.join(TOOLS_DIR, "update_server.py")


class UpdateServerProcess:
    """The server with a catalog (or a --dir tree), an ephemeral port and a
    request log in a temporary directory; `faults` are given at start.
    `prefix` (for example `ip netns exec NAME`) runs it inside a network
    namespace, where only clients in that namespace reach it: the control
    requests of this class do not."""

    def __init__(self, catalog=None, bird_dir=None, faults=(), start_timeout=20, prefix=None):
        self.work = tempfile.TemporaryDirectory(prefix="update-server-")
        self.ready_file = os.path.join(self.work.name, "ready.json")
        self.log_path = os.path.join(self.work.name, "requests.log")
        cmd = list(prefix or []) + [sys.executable, SERVER, "--port", "0", "--ready-file", self.ready_file,
               "--log", self.log_path]
        if catalog:
            cmd += ["--catalog", catalog]
        if bird_dir:
            cmd += ["--dir", bird_dir]
        for spec in faults:
            cmd += ["--fault", spec]
        # A file, not a pipe: a server that writes much to an unread pipe
        # would block.
        self.error_path = os.path.join(self.work.name, "server.err")
        with open(self.error_path, "wb") as errors:
            self.process = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=errors)
        self._await_ready(start_timeout)

    def _await_ready(self, timeout):
        deadline = time.monotonic() + timeout
        while not os.path.exists(self.ready_file):
            if self.process.poll() is not None:
                error = self.errors()
                self.work.cleanup()
                raise RuntimeError("update_server.py exited: %s" % error)
            if time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("update_server.py did not get ready")
            time.sleep(0.02)
        with open(self.ready_file, encoding="utf-8") as f:
            ready = json.load(f)
        self.port = ready["port"]
        self.url = ready["url"]

    def request(self, path, timeout=10):
        """(status, headers, body) of one GET of the exact `path`."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            conn.request("GET", path)
            response = conn.getresponse()
            return response.status, dict(response.getheaders()), response.read()
        finally:
            conn.close()

    def control(self, **params):
        query = urllib.parse.urlencode(params, encoding="latin-1")
        status, _, body = self.request("/control?" + query)
        if status != 200:
            raise RuntimeError("control %s: %s" % (query, body.decode(errors="replace")))
        return json.loads(body)

    def fault(self, *specs):
        query = "&".join("fault=" + urllib.parse.quote(s, safe="", encoding="latin-1")
                         for s in specs)
        status, _, body = self.request("/control?" + query)
        if status != 200:
            raise RuntimeError("fault %s: %s" % (specs, body.decode(errors="replace")))

    def clear(self, name="all"):
        self.control(clear=name)

    def errors(self):
        """What the server wrote to its standard error stream."""
        try:
            with open(self.error_path, "rb") as f:
                return f.read().decode(errors="replace")
        except FileNotFoundError:
            return ""

    def log_lines(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.work.cleanup()
        return self.process.returncode

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
