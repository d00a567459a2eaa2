"""Shared helpers for the end-to-end tests.

The tests run the real Updater binary. It takes its home directory from the
user database before HOME, so every run goes through run_updater(), which
starts it in a private mount namespace with a temporary directory mounted
over that home: nothing is ever written into the real home of the user who
runs the tests.
"""

import contextlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE_DIR = os.environ.get(
    "UPDATER_SOURCE_DIR",
    os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
BUILD_DIR = os.environ.get("UPDATER_BUILD_DIR", os.path.join(SOURCE_DIR, "build"))
UPDATER_BIN = os.environ.get("UPDATER_BIN", os.path.join(BUILD_DIR, "cli", "Updater"))
TOOLS_DIR = os.path.join(SOURCE_DIR, "tools")
SCHEMA_DIR = os.path.join(SOURCE_DIR, "docs", "json")

SKIPPED_EXIT = 77

_isolation_checked = None


def is_root():
    return os.geteuid() == 0


def _unshare_prefix():
    if is_root():
        return ["unshare", "--mount", "--propagation", "private"]
    return ["unshare", "--user", "--map-root-user", "--mount", "--propagation", "private"]


def can_isolate():
    """Whether a private mount namespace can be made here."""
    global _isolation_checked
    if _isolation_checked is None:
        try:
            r = subprocess.run(_unshare_prefix() + ["true"], capture_output=True, timeout=10)
            _isolation_checked = r.returncode == 0
        except (OSError, subprocess.TimeoutExpired):
            _isolation_checked = False
    return _isolation_checked


def require_isolation(test):
    return unittest.skipUnless(
        can_isolate(), "needs a private mount namespace (root or unprivileged user namespaces)"
    )(test)


def require_root(test):
    return unittest.skipUnless(is_root(), "needs root (network namespaces)")(test)


# Runs the command after "--" with $1 mounted over the home directory the
# binary will see: the user database's entry for the (possibly mapped) user
# id, else $HOME. The trees named between them that lie in the home (a
# checkout in ~/src, say) stay in sight: each is bound into the temporary
# home at its own place first.
_ISOLATE_SCRIPT = r'''
fake="$1"; shift
home=$(getent passwd "$(id -u)" | cut -d: -f6)
[ -n "$home" ] || home="$HOME"
[ -d "$home" ] || { echo "isolate: no home directory [$home]" >&2; exit 125; }
home=$(realpath "$home")
while [ "$1" != "--" ]; do
    case "$1" in
    "$home"/?*)
        kept="$fake${1#"$home"}"
        mkdir -p "$kept" && mount --bind "$1" "$kept" || exit 125
        ;;
    esac
    shift
done
shift
mount --rbind "$fake" "$home" || exit 125
cd / && exec "$@"
'''


def _kept_trees():
    """The source and build trees, without those inside another."""
    trees = sorted({os.path.realpath(p)
                    for p in (SOURCE_DIR, BUILD_DIR, os.path.dirname(UPDATER_BIN))})
    return [t for i, t in enumerate(trees)
            if not any(t.startswith(outer + os.sep) for outer in trees[:i])]


def isolated_command(cmd, fake_home):
    """The command line that runs `cmd` with `fake_home` over the home."""
    return (_unshare_prefix() + ["sh", "-c", _ISOLATE_SCRIPT, "isolate", fake_home]
            + _kept_trees() + ["--"] + list(cmd))


@contextlib.contextmanager
def temporary_home():
    path = tempfile.mkdtemp(prefix="updater-home-")
    try:
        yield path
    finally:
        shutil.rmtree(path, ignore_errors=True)


def run_updater(args, home, timeout=120, env=None, prefix=None, input_bytes=None):
    """Runs the binary with `args` in an isolated home; returns the
    CompletedProcess with bytes stdout and stderr. `prefix` (for example an
    `ip netns exec NAME`) goes in front of the isolation."""
    cmd = isolated_command([UPDATER_BIN] + list(args), home)
    if prefix:
        cmd = list(prefix) + cmd
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    return subprocess.run(cmd, capture_output=True, timeout=timeout, env=full_env,
                          stdin=subprocess.DEVNULL if input_bytes is None else None,
                          input=input_bytes)


def schema(name):
    """The validator of docs/json/NAME.schema.json."""
    import jsonschema  # python3-jsonschema; only the JSON cases need it
    with open(os.path.join(SCHEMA_DIR, name + ".schema.json"), encoding="utf-8") as f:
        document = json.load(f)
    jsonschema.Draft202012Validator.check_schema(document)
    return jsonschema.Draft202012Validator(document)


def json_document(text, *commands):
    """A -j run's standard output as its one JSON document, checked against
    the schemas of docs/json: the command's own document, or with several
    commands an object of their documents by name."""
    document = json.loads(text)
    parts = {commands[0]: document} if len(commands) == 1 else document
    if sorted(parts) != sorted(commands):
        raise AssertionError("documents %s, not %s" % (sorted(parts), sorted(commands)))
    for command, part in parts.items():
        schema(command).validate(part)
    return document


class Result:
    """A finished run of the binary with its output decoded; its repr, shown
    when an assertion fails, ends with the tail of stderr."""

    STDERR_TAIL = 6000

    def __init__(self, completed):
        self.status = completed.returncode
        self.out = completed.stdout.decode("utf-8", "replace")
        self.err = completed.stderr.decode("utf-8", "replace")

    def __repr__(self):
        return "status %d\n--- stdout\n%s--- stderr\n%s" % (self.status, self.out,
                                                          self.err[-self.STDERR_TAIL:])


def main():
    """unittest.main() that exits 77 when every test was skipped."""
    program = unittest.main(exit=False, verbosity=2)
    result = program.result
    ran = result.testsRun
    if not result.wasSuccessful():
        sys.exit(1)
    if ran > 0 and len(result.skipped) == ran:
        sys.exit(SKIPPED_EXIT)
    sys.exit(0)
