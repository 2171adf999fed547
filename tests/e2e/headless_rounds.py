#!/usr/bin/env python3
"""End-to-end: tarnwick --headless --until-idle against a real nginx on 127.0.0.1.

Pages change content and Last-Modified between rounds; each round checks the printed result
lines, the saved WatchList.twl, the stored copies in comp and the kept downloads.
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
from localweb import Nginx, available as nginx_available, tarnwick_env  # noqa: E402

TARNWICK = os.environ.get("TARNWICK_BINARY", "")


def block(fetch, watch):
    lines = ["\t//{{TOP-W", "\t//{{TOP"]
    lines += [f"{k}: {v}" for k, v in fetch]
    lines.append("\tEND}}//")
    lines += [f"{k}: {v}" for k, v in watch]
    lines.append("\tEND-W}}//")
    return "".join(line + "\r\n" for line in lines)


class HeadlessRounds(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not TARNWICK or not os.path.exists(TARNWICK):
            raise unittest.SkipTest("tarnwick binary not given")
        if not nginx_available():
            raise unittest.SkipTest("nginx is not installed")
        cls.root = tempfile.mkdtemp(prefix="tw-e2e-")
        os.chmod(cls.root, 0o755)
        cls.www = os.path.join(cls.root, "www")
        os.makedirs(os.path.join(cls.www, "auth"))
        cls.home = os.path.join(cls.root, "home")
        cls.keep = os.path.join(cls.root, "keep")
        for d in (cls.home, cls.keep, os.path.join(cls.root, "config"),
                  os.path.join(cls.root, "run"), os.path.join(cls.root, "nginx")):
            os.makedirs(d)
        # A stand-in for xdg-open records what the display path opens.
        cls.bin = os.path.join(cls.root, "bin")
        cls.opened = os.path.join(cls.root, "opened.txt")
        os.makedirs(cls.bin)
        with open(os.path.join(cls.bin, "xdg-open"), "w") as f:
            f.write(f'#!/bin/sh\necho "$1" >> {cls.opened}\n')
        os.chmod(os.path.join(cls.bin, "xdg-open"), 0o755)
        password = subprocess.run(["openssl", "passwd", "-apr1", "secret"], check=True,
                                  capture_output=True, text=True).stdout.strip()
        with open(os.path.join(cls.root, "htpasswd"), "w") as f:
            f.write(f"user:{password}\n")
        cls.nginx = Nginx(os.path.join(cls.root, "nginx"), cls.www, f"""
        location /auth/ {{
            auth_basic "tw";
            auth_basic_user_file {cls.root}/htpasswd;
        }}""")
        cls.port = cls.nginx.port

    @classmethod
    def tearDownClass(cls):
        cls.nginx.stop()
        shutil.rmtree(cls.root, ignore_errors=True)

    def page(self, name, body, mtime):
        path = os.path.join(self.www, name)
        with open(path, "w") as f:
            f.write(body)
        os.utime(path, (mtime, mtime))

    def url(self, name):
        return self.nginx.url(name)

    def env(self):
        return tarnwick_env(self.root, self.home, self.bin)

    def run_round(self):
        proc = subprocess.run([TARNWICK, "--headless", "--until-idle"], env=self.env(),
                              capture_output=True, timeout=120)
        self.assertEqual(proc.returncode, 0, proc.stderr.decode(errors="replace"))
        rows = {}
        for line in proc.stdout.decode("utf-8").splitlines():
            parts = line.split("\t")
            self.assertEqual(len(parts), 3, line)
            self.assertRegex(parts[0], r"^\d\d:\d\d$")
            rows[parts[1]] = parts[2]
        return rows

    def watch_list(self):
        with open(os.path.join(self.home, "WatchList.twl"), "rb") as f:
            return f.read()

    def test_rounds(self):
        day = 1_790_000_000
        self.page("whole.html", "<html>whole one</html>", day)
        self.page("area.html", "<p>price: 100 yen</p><p>clock 1</p>", day)
        self.page("over.html", "<html>over one</html>", day)
        self.page("series.html", "<html>series one</html>", day)
        self.page("auth/secret.html", "<html>secret one</html>", day)
        keep_over = os.path.join(self.keep, "over.html")
        keep_series = os.path.join(self.keep, "series.html")
        items = [
            block([("Targ", self.url("whole.html")), ("Name", "whole")], [("Show", "1")]),
            block([("Targ", self.url("area.html")), ("Name", "area")],
                  [("Keyw", "price: "), ("CmpS", "3")]),
            block([("Targ", self.url("over.html")), ("Name", "over"),
                   ("Dest", keep_over)], [("Down", "1")]),
            block([("Targ", self.url("series.html")), ("Name", "series"),
                   ("Dest", keep_series)], [("Down", "2")]),
            block([("Targ", self.url("missing.html")), ("Name", "missing")], []),
            block([("Targ", self.url("auth/secret.html")), ("Name", "secret"),
                   ("User", "user"), ("Pass", "secret"), ("Modi", "0")], []),
        ]
        with open(os.path.join(self.home, "WatchList.twl"), "wb") as f:
            f.write("".join(items).encode("ascii"))

        updated, same = "更新されています", "更新されていません"

        # Round 1: everything is new.
        rows = self.run_round()
        self.assertEqual(rows, {"whole": updated, "area": updated, "over": updated,
                                "series": updated, "missing": "エラー(status=404)",
                                "secret": updated})
        # The changed page shown in the last moments of the run is not lost at exit.
        # (xdg-open runs detached: give it a moment to write.)
        deadline = time.time() + 10
        while not os.path.exists(self.opened) and time.time() < deadline:
            time.sleep(0.05)
        with open(self.opened) as f:
            self.assertEqual(f.read().split(), [self.url("whole.html")])
        saved = self.watch_list()
        self.assertIn(b"CmpD: 100\r\n", saved)
        self.assertIn(b"Resu: -1\r\n", saved)
        self.assertEqual(saved.count(b"\t//{{TOP-W\r\n"), 6)
        with open(keep_over) as f:
            self.assertEqual(f.read(), "<html>over one</html>")
        self.assertTrue(os.path.exists(keep_series))
        comp = os.path.join(self.home, "comp")
        stored_before = sorted(os.listdir(comp))

        # Round 2: only the clock on the area page moved; nothing counts as changed.
        self.page("area.html", "<p>price: 100 yen</p><p>clock 2</p>", day + 60)
        rows = self.run_round()
        self.assertEqual(rows, {"whole": same, "area": same, "over": same, "series": same,
                                "missing": "エラー(status=404)", "secret": same})
        self.assertEqual(sorted(os.listdir(comp)), stored_before)

        # Round 3: every page changes.
        self.page("whole.html", "<html>whole two</html>", day + 3600)
        self.page("area.html", "<p>price: 120 yen</p><p>clock 3</p>", day + 3600)
        self.page("over.html", "<html>over two</html>", day + 3600)
        self.page("series.html", "<html>series two</html>", day + 3600)
        self.page("auth/secret.html", "<html>secret two</html>", day + 3600)
        rows = self.run_round()
        self.assertEqual(rows, {"whole": updated, "area": updated, "over": updated,
                                "series": updated, "missing": "エラー(status=404)",
                                "secret": updated})
        saved = self.watch_list()
        self.assertIn(b"CmpD: 120\r\n", saved)
        with open(keep_over) as f:
            self.assertEqual(f.read(), "<html>over two</html>")
        with open(os.path.join(self.keep, "series_1.html")) as f:
            self.assertEqual(f.read(), "<html>series two</html>")
        self.assertIn(("Dest: " + os.path.join(self.keep, "series_1.html") + "\r\n").encode(),
                      saved)
        self.assertEqual(sorted(os.listdir(comp)), sorted(set(os.listdir(comp))))
        for name in os.listdir(comp):
            self.assertFalse(name.startswith("temp") and name.endswith(".tmp.part"), name)


    def test_second_instance_and_sigterm(self):
        # Runs after test_rounds (alphabetical order) on the same data folder.
        first = subprocess.Popen([TARNWICK, "--headless"], env=self.env(),
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            # The first one holds the lock once its message socket exists.
            socket_path = os.path.join(self.root, "run", "orvane", str(first.pid))
            deadline = time.time() + 30
            while not os.path.exists(socket_path) and time.time() < deadline:
                time.sleep(0.05)
            self.assertTrue(os.path.exists(socket_path))
            second = subprocess.run([TARNWICK, "--headless", "--until-idle"], env=self.env(),
                                    capture_output=True, timeout=60)
            self.assertEqual(second.returncode, 0)
            self.assertIn(b"another instance is already running", second.stderr)
            self.assertEqual(second.stdout, b"")
        finally:
            first.send_signal(signal.SIGTERM)
            self.assertEqual(first.wait(timeout=30), 0)
        self.assertTrue(os.path.exists(os.path.join(self.home, "WatchList.twl")))


if __name__ == "__main__":
    unittest.main(verbosity=2)
