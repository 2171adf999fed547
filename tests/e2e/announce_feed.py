#!/usr/bin/env python3
"""End-to-end: the window's announcement feed against a real nginx on 127.0.0.1.

The settings store names a local announcement file; the program runs offscreen with the delay
shortened and the dialog answering "はい" itself (test hooks). The announced address must reach
the display bridge as a record tagged "__Watch_Ann", and "AnnID" must hold the announced ID.
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib"))
from localweb import Nginx, available as nginx_available, tarnwick_binary  # noqa: E402
from localweb import tarnwick_env, wait_for_window_program  # noqa: E402

ANNOUNCED = "http://127.0.0.1:9/news/7.html"


def write_value(config, key, name, value):
    folder = os.path.join(config, "Orvane", *key)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "w") as f:
        f.write(value)


def read_value(config, key, name):
    try:
        with open(os.path.join(config, "Orvane", *key, name), encoding="latin-1") as f:
            return f.read()
    except FileNotFoundError:
        return ""


class AnnounceFeed(unittest.TestCase):
    def setUp(self):
        if not nginx_available():
            raise unittest.SkipTest("nginx is not installed")
        self.root = tempfile.mkdtemp(prefix="tw-e2e-ann-")
        os.chmod(self.root, 0o755)
        self.www = os.path.join(self.root, "www")
        self.home = os.path.join(self.root, "home")
        self.config = os.path.join(self.root, "config")
        self.bin = os.path.join(self.root, "bin")
        for d in (self.www, self.home, self.config, self.bin, os.path.join(self.root, "run"),
                  os.path.join(self.root, "nginx")):
            os.makedirs(d)
        # Served as the maker's server would: CR LF lines.
        with open(os.path.join(self.www, "announce.dat"), "wb") as f:
            f.write(f"Url_: {ANNOUNCED}\r\nID__: 7\r\nVers: 999\r\nCate: beta,free\r\n".encode())
        self.nginx = Nginx(os.path.join(self.root, "nginx"), self.www)
        self.process = None

    def tearDown(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.nginx.stop()
        shutil.rmtree(self.root, ignore_errors=True)

    def wait_for(self, condition, what):
        wait_for_window_program(self, self.process, self.stderr, condition, what)

    def test_yes_hands_the_address_to_the_display_bridge(self):
        write_value(self.config, ("AutoAnn", "Tarnwick"), "Location",
                    self.nginx.url("announce.dat"))
        write_value(self.config, ("AutoAnn", "Tarnwick"), "AnnID", "6")
        # A download helper that takes whole records and is running: the bridge hands over.
        write_value(self.config, ("brlHelper",), "Version", "1.50")
        write_value(self.config, ("brlHelper",), "State", "open")
        env = dict(tarnwick_env(self.root, self.home, self.bin), QT_QPA_PLATFORM="offscreen",
                   TARNWICK_TEST_ANNOUNCE_DELAY_MS="0", TARNWICK_TEST_ANNOUNCE_ANSWER="yes")
        self.stderr = os.path.join(self.root, "stderr.txt")
        with open(self.stderr, "w") as err:
            self.process = subprocess.Popen([tarnwick_binary()], env=env,
                                            stdout=subprocess.DEVNULL, stderr=err)

        self.wait_for(lambda: read_value(self.config, ("Tarnwick",), "Identifier"),
                      "hand-over to the download helper")
        handed = read_value(self.config, ("Tarnwick",), "Identifier")
        with open(handed, encoding="latin-1") as f:
            record = f.read()
        self.assertIn(f"Targ: {ANNOUNCED}\n", record)
        self.assertNotIn("\r", record.split("Targ: ")[1].split("\n")[0])
        self.assertIn("Fram: __Watch_Ann", record)
        self.assertEqual(read_value(self.config, ("AutoAnn", "Tarnwick"), "AnnID"), "7")
        with open(os.path.join(self.home, "announce.dat"), "rb") as f:
            self.assertIn(b"ID__: 7", f.read())


if __name__ == "__main__":
    unittest.main()
