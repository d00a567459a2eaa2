"""Command-line cases: each file in cases/ gives the arguments, the exit
status and the exact standard output and error of one run of the binary.

Case file format:
    # comment
    args: -d xyz             words, split as a shell would (shlex)
    status: 1
    creates: .kelvane/updater   a path that must exist in the home afterwards
    --- stdout               exact text, one line per line
    --- stderr
    --- stderr contains      each line must occur somewhere in the stream
A line that is only a placeholder (@SHORT_USAGE@, @FULL_USAGE@) stands for
that usage text as it is, newlines included; @BIN@, @BANNER@, @NOTICE@ and
@RELEASE@ are replaced inside lines.
"""

import os
import re
import shlex
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import updater_test  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
USAGE_DIR = os.path.join(HERE, "usage")


def _read(name):
    with open(os.path.join(USAGE_DIR, name), encoding="utf-8") as f:
        return f.read()


def _default_line():
    config = os.path.join(updater_test.BUILD_DIR, "generated", "updater_config.h")
    with open(config, encoding="utf-8") as f:
        url = re.search(r'UPDATER_DEFAULT_SERVER_URL "([^"]*)"', f.read()).group(1)
    host = url.split("://", 1)[-1].split("/", 1)[0]
    if ":" not in host:
        host += ":80"
    return " " * 32 + "Default: " + host


SHORT_USAGE = _read("short.txt")
FULL_USAGE = (SHORT_USAGE + _read("parameters.txt")
              + _read("extended.txt").replace("@DEFAULT_LINE@", _default_line())
              + _read("sample.txt"))
BLOCKS = {"@SHORT_USAGE@": SHORT_USAGE, "@FULL_USAGE@": FULL_USAGE}
INLINE = {
    "@BIN@": updater_test.UPDATER_BIN,
    "@BANNER@": "Updater (Version: 1.1 Apr 26 2023)",
    "@NOTICE@": "(Copyright (C) 2023 Kelvane)",
    "@RELEASE@": "[Vantor Release: 2.9.29]",
}


def _expand_line(line):
    for key, value in INLINE.items():
        line = line.replace(key, value)
    return line


def parse_case(path):
    case = {"args": [], "status": 0, "creates": [], "sections": {}}
    section = None
    with open(path, encoding="utf-8") as f:
        for raw in f.read().split("\n"):
            if raw.startswith("--- "):
                section = raw[4:].strip()
                case["sections"][section] = []
            elif section is not None:
                case["sections"][section].append(raw)
            elif raw.startswith("#") or not raw.strip():
                continue
            else:
                key, _, value = raw.partition(":")
                value = value.strip()
                if key == "args":
                    case["args"] = shlex.split(value)
                elif key == "status":
                    case["status"] = int(value)
                elif key == "creates":
                    case["creates"].append(value)
                else:
                    raise ValueError(f"{path}: unknown key {key}")
    for lines in case["sections"].values():
        while lines and lines[-1] == "":
            lines.pop()
    return case


def exact_text(lines):
    text = ""
    for line in lines:
        text += BLOCKS[line] if line in BLOCKS else _expand_line(line) + "\n"
    return text


class CliCases(unittest.TestCase):
    pass


def _make_test(path):
    @updater_test.require_isolation
    def test(self):
        case = parse_case(path)
        with updater_test.temporary_home() as home:
            result = updater_test.run_updater(case["args"], home)
            stdout = result.stdout.decode("utf-8", "replace")
            stderr = result.stderr.decode("utf-8", "replace")
            for name, lines in case["sections"].items():
                stream = stdout if name.startswith("stdout") else stderr
                if name.endswith("contains"):
                    for line in lines:
                        self.assertIn(_expand_line(line), stream)
                else:
                    self.assertEqual(stream, exact_text(lines), f"{name} differs")
            self.assertEqual(result.returncode, case["status"], stderr)
            for relative in case["creates"]:
                self.assertTrue(os.path.exists(os.path.join(home, relative)), relative)
    return test


for _name in sorted(os.listdir(os.path.join(HERE, "cases"))):
    if _name.endswith(".case"):
        setattr(CliCases, "test_" + _name[:-5], _make_test(os.path.join(HERE, "cases", _name)))


if __name__ == "__main__":
    updater_test.main()
