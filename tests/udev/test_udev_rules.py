"""The udev rules that give the logged-in user access to the modules: made
from the build's vendor ID, installed under lib/udev/rules.d."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import updater_test  # noqa: E402
import usb_emulation  # noqa: E402

RULES = os.path.join(updater_test.BUILD_DIR, "udev", "70-vantor.rules")


def rules(text):
    return [line for line in text.splitlines() if line.strip() and not line.startswith("#")]


class UdevRules(unittest.TestCase):
    def test_the_rules_name_the_build_vendor_and_the_recovery_device(self):
        with open(RULES, encoding="utf-8") as f:
            lines = rules(f.read())
        vendor = "%04x" % usb_emulation.vendor_id()
        usb = [line for line in lines if 'SUBSYSTEM=="usb"' in line]
        self.assertEqual(len(usb), 1)
        self.assertIn('ATTR{idVendor}=="%s"' % vendor, usb[0])
        hid = [line for line in lines if 'SUBSYSTEM=="hidraw"' in line]
        self.assertEqual(len(hid), 1)
        self.assertIn('ATTRS{idVendor}=="1fc9", ATTRS{idProduct}=="0130"', hid[0])
        for line in lines:
            self.assertTrue(line.endswith('TAG+="uaccess"'), line)
            self.assertNotIn("@", line, "every placeholder is filled")
            for key in re.findall(r'(\w+(?:\{\w+\})?)(?:==|\+=)', line):
                self.assertRegex(key, r"^(SUBSYSTEM|KERNEL|ENV\{\w+\}|ATTRS?\{\w+\}|TAG)$")

    def test_cmake_install_puts_them_under_lib_udev(self):
        prefix = tempfile.mkdtemp(prefix="updater-install-")
        self.addCleanup(shutil.rmtree, prefix, True)
        r = subprocess.run(["cmake", "--install", updater_test.BUILD_DIR, "--prefix", prefix],
                           capture_output=True, text=True, timeout=120)
        self.assertEqual(r.returncode, 0, r.stderr)
        installed = os.path.join(prefix, "lib", "udev", "rules.d", "70-vantor.rules")
        with open(installed, encoding="utf-8") as a, open(RULES, encoding="utf-8") as b:
            self.assertEqual(a.read(), b.read())


if __name__ == "__main__":
    updater_test.main()
