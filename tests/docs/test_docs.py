"""The option table, the usage texts and the man page agree, and an install
into a fresh prefix gives a working binary and a man page that renders."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import updater_test  # noqa: E402

MAN_PAGE = os.path.join(updater_test.SOURCE_DIR, "docs", "Updater.1")


def _option_table():
    with open(os.path.join(updater_test.SOURCE_DIR, "cli", "Parameters.cpp")) as f:
        return re.findall(r'\{"(-[-A-Za-z]+)", OPTION_', f.read())


def _man_text():
    r = subprocess.run(["groff", "-man", "-Tutf8", "-P-c", "-ww", MAN_PAGE], capture_output=True,
                       check=True)
    return re.sub(r".\x08", "", r.stdout.decode()), r.stderr.decode()


class Documentation(unittest.TestCase):
    def test_every_option_is_documented(self):
        options = _option_table()
        self.assertGreater(len(options), 20)
        text, _ = _man_text()
        text = text.replace("\u2010", "-").replace("\u2212", "-")
        for option in options:
            if option == "-Y":  # reserved word, refused by the parser
                continue
            self.assertRegex(text, r"(^|[\s,(\[])" + re.escape(option) + r"\b", option)

    def test_usage_names_only_known_options_and_every_option(self):
        known = set(_option_table())
        usage = ""
        for name in ("short.txt", "parameters.txt", "extended.txt", "sample.txt"):
            with open(os.path.join(updater_test.SOURCE_DIR, "tests", "cli", "usage", name)) as f:
                usage += f.read()
        for word in re.findall(r"^\s+(-[A-Za-z-]+)\b", usage, re.M):
            self.assertIn(word, known)
        for option in known - {"-Y", "-n", "-Z"}:  # the verbatim texts never named these
            self.assertRegex(usage, r"(^|[\s,(\[|])" + re.escape(option) + r"\b", option)

    def test_man_page_renders_without_warnings(self):
        _, warnings = _man_text()
        self.assertEqual(warnings, "")

    def test_install_into_a_temporary_prefix(self):
        prefix = tempfile.mkdtemp(prefix="updater-install-")
        try:
            subprocess.run(["cmake", "--install", updater_test.BUILD_DIR, "--prefix", prefix],
                           check=True, capture_output=True)
            binary = os.path.join(prefix, "bin", "Updater")
            page = os.path.join(prefix, "share", "man", "man1", "Updater.1")
            self.assertTrue(os.access(binary, os.X_OK))
            r = subprocess.run(["man", "-l", page], capture_output=True,
                               env=dict(os.environ, MANPAGER="cat", MANWIDTH="80"))
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertIn("SYNOPSIS", r.stdout.decode())
            r = subprocess.run([binary], capture_output=True, stdin=subprocess.DEVNULL)
            self.assertEqual(r.returncode, 0)
            self.assertIn(b"Application Usage:", r.stderr)
        finally:
            shutil.rmtree(prefix, ignore_errors=True)


if __name__ == "__main__":
    updater_test.main()
