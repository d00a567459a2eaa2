"""Where the binary keeps its files: home directory from the user database,
then HOME, and nothing at all when neither gives one."""

import os
import stat
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import updater_test  # noqa: E402

NO_SUCH_UID = "54321"


def _run_as_unknown_user(args, home_env):
    env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"}
    if home_env is not None:
        env["HOME"] = home_env
    cmd = ["setpriv", "--reuid", NO_SUCH_UID, "--regid", NO_SUCH_UID, "--clear-groups",
           updater_test.UPDATER_BIN] + args
    return subprocess.run(cmd, capture_output=True, env=env, timeout=30,
                          stdin=subprocess.DEVNULL, cwd="/")


class HomeDirectory(unittest.TestCase):
    @updater_test.require_isolation
    def test_updater_directory_is_made_in_the_home(self):
        with updater_test.temporary_home() as home:
            result = updater_test.run_updater(["-I"], home)
            self.assertEqual(result.returncode, 0, result.stderr)
            path = os.path.join(home, ".kelvane", "updater")
            self.assertTrue(os.path.isdir(path))
            mode = stat.S_IMODE(os.stat(path).st_mode)
            self.assertEqual(mode & 0o700, 0o700)
            self.assertEqual(mode & 0o022, 0, "never writable by others")

    @updater_test.require_root
    def test_home_variable_when_the_user_database_has_no_entry(self):
        with tempfile.TemporaryDirectory() as home:
            os.chown(home, int(NO_SUCH_UID), int(NO_SUCH_UID))
            result = _run_as_unknown_user(["-I"], home)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertTrue(os.path.isdir(os.path.join(home, ".kelvane", "updater")))

    @updater_test.require_root
    def test_a_home_longer_than_its_buffer_is_refused_not_cut(self):
        with tempfile.TemporaryDirectory() as top:
            os.chown(top, int(NO_SUCH_UID), int(NO_SUCH_UID))
            # Cut to its first 2047 characters, it would name a directory
            # that could be made in `top`.
            result = _run_as_unknown_user(["-I"], top + ("/" + "d" * 200) * 11)
            self.assertEqual(result.returncode, 1)
            self.assertEqual(result.stderr.decode(),
                             "Home directory path is longer than 2047 characters\n")
            self.assertEqual(os.listdir(top), [])

    @updater_test.require_root
    def test_no_home_at_all_stops_before_anything_is_made(self):
        result = _run_as_unknown_user(["-I"], None)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr.decode(), "Could not find updater directory at \n")
        self.assertFalse(os.path.exists("/.kelvane"))


if __name__ == "__main__":
    updater_test.main()
