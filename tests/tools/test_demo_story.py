"""The README's first command tells its story on simulated hardware: the
demo's run against the local update server and the simulated module ends
with the module on its new firmware, and leaves no namespace behind."""

import os
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import netns  # noqa: E402
import updater_test  # noqa: E402

DEMO = os.path.join(updater_test.TOOLS_DIR, "demo_story.py")


def namespaces():
    out = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
    return {line.split()[0] for line in out.splitlines() if line.strip()}


@unittest.skipUnless(netns.available(), "needs root and ip netns (the demo's namespaces)")
class DemoStory(unittest.TestCase):
    def test_the_module_ends_on_its_new_firmware(self):
        result = subprocess.run([sys.executable, DEMO, "--updater", updater_test.UPDATER_BIN],
                                capture_output=True, text=True, timeout=300,
                                stdin=subprocess.DEVNULL)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        out = result.stdout
        self.assertIn("reports version 1.0.1, build 1001, in its firmware", out)
        self.assertIn("1002           \t1.1.0", out, "the build list")
        self.assertIn("Build 1002 is valid\n", out)
        self.assertIn("Updating firmware with build: 1002\n", out)
        self.assertIn("## The update ended with status 0", out)
        self.assertIn("reports version 1.1.0, build 1002, in its firmware", out)
        self.assertRegex(out, r'\$ Updater -D -t TCPIP --json\n\[\n  \{\n    "serial": "40F5849A",'
                         r'[^\]]*\n    "version": "1.1.0",\n    "build": 1002,')
        self.assertIn("    LATEST_TRANSFER=1002.bird\n", out)
        # Other tests may have namespaces of their own meanwhile: only the
        # demo's, as it names them, must be gone.
        own = set(re.findall(r"in namespace (\w+)", out))
        self.assertEqual(len(own), 2, out)
        self.assertEqual(own & namespaces(), set(), "torn down")


if __name__ == "__main__":
    updater_test.main()
