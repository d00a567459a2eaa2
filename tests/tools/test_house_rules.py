"""The banned-call checker of tools/ on small trees of its own: a banned
call is found however it is reached, in a checkout and in an unpacked tree
alike, and a tree without sources is no pass; and the layering of the tree
itself: the engine and the device library include nothing of cli/."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import updater_test  # noqa: E402

SCRIPT = os.path.join(updater_test.SOURCE_DIR, "tools", "check-banned.sh")


class BannedCalls(unittest.TestCase):
    def check(self, files, checkout):
        with tempfile.TemporaryDirectory(prefix="banned-") as top:
            for name, text in files.items():
                os.makedirs(os.path.join(top, os.path.dirname(name)), exist_ok=True)
                with open(os.path.join(top, name), "w", encoding="utf-8") as f:
                    f.write(text)
            if checkout:
                if not shutil.which("git"):
                    self.skipTest("git not found: the checkout case needs it "
                                  "(tools/install-deps.sh installs it)")
                subprocess.run(["git", "init", "-q"], cwd=top, check=True)
                subprocess.run(["git", "add", "."], cwd=top, check=True)
            return subprocess.run([SCRIPT, top], capture_output=True, text=True)

    def test_calls_after_a_scope_a_member_or_a_pointer_are_found(self):
        files = {"src/a.cpp": "int f(const char* s) { return std::atoi(s); }\n",
                 "src/b.c": "void g(struct t* x) { x->sprintf(b, f); ::strcpy(d, s); }\n",
                 "src/ok.cpp": "int h() { return snprintf(b, n, f) + my_atoi(s); }\n",
                 "build/gen.cpp": "int k() { return atoi(s); }\n", ".gitignore": "build/\n"}
        for checkout in (True, False):
            with self.subTest(checkout=checkout):
                result = self.check(files, checkout)
                self.assertEqual(result.returncode, 1, result.stdout)
                self.assertIn("a.cpp:1:", result.stdout)
                self.assertIn("b.c:1:", result.stdout)
                self.assertNotIn("ok.cpp", result.stdout)
                self.assertNotIn("gen.cpp", result.stdout, "build trees are not sources")

    def test_a_tree_without_sources_is_no_pass(self):
        result = self.check({"README": "text\n"}, False)
        self.assertEqual(result.returncode, 2)
        self.assertNotIn("no banned calls", result.stdout)


class Layers(unittest.TestCase):
    def test_the_engine_and_the_device_library_include_nothing_of_cli(self):
        found = subprocess.run(["grep", "-rnE", r'#include[[:space:]]*"cli/', "UpdaterLib", "device"],
                               cwd=updater_test.SOURCE_DIR, capture_output=True, text=True)
        self.assertEqual((found.returncode, found.stdout), (1, ""))


if __name__ == "__main__":
    updater_test.main()
