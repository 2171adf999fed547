#!/usr/bin/env python3
"""End-to-end: tarnwick --headless --until-idle started on a damaged or unreadable WatchList.twl.

Each framing line of the middle item is damaged in turn: the run must keep the original aside
as WatchList.twl.damaged (byte for byte) and say so. A list the user cannot read (mode 000, run
as an unprivileged user, dropping to nobody via setpriv when the suite runs as root) must be
reported and left exactly as it was. No item is due, so no server is needed.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib"))
from localweb import tarnwick_env  # noqa: E402

TARNWICK = os.environ.get("TARNWICK_BINARY", "")
NOBODY = 65534
FAR = 4102444800  # 2100-01-01: armed, never due during the run


def block(url):
    lines = ["\t//{{TOP-W", "\t//{{TOP", f"Targ: {url}", "\tEND}}//",
             "Chec: once", "Timi: define", f"Date: {FAR}", "Time: 0", "\tEND-W}}//"]
    return [line + "\r\n" for line in lines]


class DamagedLists(unittest.TestCase):
    def setUp(self):
        if not TARNWICK or not os.path.exists(TARNWICK):
            self.fail("tarnwick binary not given")
        self.root = tempfile.mkdtemp(prefix="tw-e2e-damaged-")
        os.chmod(self.root, 0o755)
        self.home = os.path.join(self.root, "home")
        self.bin = os.path.join(self.root, "bin")
        for d in (self.home, self.bin, os.path.join(self.root, "config"),
                  os.path.join(self.root, "data")):
            os.makedirs(d)
        os.makedirs(os.path.join(self.root, "run"), mode=0o700)
        self.list = os.path.join(self.home, "WatchList.twl")

    def tearDown(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def run_tarnwick(self, as_nobody=False):
        command = [TARNWICK, "--headless", "--until-idle"]
        if as_nobody:
            for folder, _, files in os.walk(self.root):
                os.chown(folder, NOBODY, NOBODY)
                for name in files:
                    os.chown(os.path.join(folder, name), NOBODY, NOBODY)
            command = [shutil.which("setpriv"), f"--reuid={NOBODY}", f"--regid={NOBODY}",
                       "--clear-groups", "--"] + command
        return subprocess.run(command, env=tarnwick_env(self.root, self.home, self.bin),
                              capture_output=True, timeout=60)

    def test_each_damaged_framing_line_of_the_middle_item(self):
        first, middle, last = block("http://a/"), block("http://b/"), block("http://c/")
        for index in (0, 1, 3, 8):  # TOP-W, TOP, END, END-W
            for damaged in (middle[index].replace("}", ")").replace("{", "("), ""):
                with self.subTest(line=middle[index], damaged=damaged):
                    for name in os.listdir(self.home):
                        if name.startswith("WatchList.twl"):
                            os.remove(os.path.join(self.home, name))
                    lines = list(middle)
                    lines[index] = damaged
                    original = "".join(first + lines + last).encode()
                    with open(self.list, "wb") as f:
                        f.write(original)
                    proc = self.run_tarnwick()
                    copy = self.list + ".damaged"
                    self.assertTrue(os.path.exists(copy), proc.stderr)
                    with open(copy, "rb") as f:
                        self.assertEqual(f.read(), original)
                    self.assertIn(b"WatchList.twl.damaged", proc.stderr)

    def test_unreadable_list_is_reported_and_left_alone(self):
        original = "".join(block("http://a/") + block("http://b/")).encode()
        with open(self.list, "wb") as f:
            f.write(original)
        as_nobody = os.geteuid() == 0
        if as_nobody and not shutil.which("setpriv"):
            self.fail("setpriv is needed to run as an unprivileged user")
        os.chmod(self.list, 0)
        proc = self.run_tarnwick(as_nobody)
        os.chmod(self.list, 0o600)
        with open(self.list, "rb") as f:
            self.assertEqual(f.read(), original, proc.stderr)
        self.assertIn(self.list.encode(), proc.stderr)
        self.assertFalse(os.path.exists(self.list + ".damaged"))


if __name__ == "__main__":
    unittest.main()
