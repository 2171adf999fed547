#!/usr/bin/env python3
"""End-to-end: the list commands of the shell (--list, --add, --remove, --check, --export,
--import), with nothing running, against a running headless mode and a running window, and
against a lock held by a process that never answers. Pages come from a server on 127.0.0.1.
"""
import fcntl
import http.server
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib"))
from localweb import tarnwick_env, wait_for_window_program  # noqa: E402

TARNWICK = os.environ.get("TARNWICK_BINARY", "")


class Pages(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = b"<html><head><title>T</title></head><body>page</body></html>"
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def wait_until(condition, what, limit=60):
    """A failsafe against a hang, not a measure of speed."""
    deadline = time.time() + limit
    while time.time() < deadline:
        if condition():
            return
        time.sleep(0.02)
    raise AssertionError(f"no {what}")


class ListCommands(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not TARNWICK or not os.path.exists(TARNWICK):
            raise unittest.SkipTest("tarnwick binary not given")
        cls.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Pages)
        cls.port = cls.server.server_address[1]
        cls.thread = threading.Thread(target=cls.server.serve_forever, daemon=True)
        cls.thread.start()

    @classmethod
    def tearDownClass(cls):
        cls.server.shutdown()
        cls.server.server_close()

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="tw-list-")
        self.home = os.path.join(self.root, "home")
        self.bin = os.path.join(self.root, "bin")
        for d in (self.home, self.bin, os.path.join(self.root, "config"),
                  os.path.join(self.root, "run"), os.path.join(self.root, "data")):
            os.makedirs(d)
        os.chmod(os.path.join(self.root, "run"), 0o700)
        self.running = []

    def tearDown(self):
        for process in self.running:
            if process.poll() is None:
                process.terminate()
                process.wait(timeout=60)
        shutil.rmtree(self.root, ignore_errors=True)

    def url(self, name):
        return f"http://127.0.0.1:{self.port}/{name}"

    def env(self, **extra):
        return dict(tarnwick_env(self.root, self.home, self.bin), **extra)

    def run_command(self, *args, code=0):
        result = subprocess.run([TARNWICK, *args], env=self.env(), capture_output=True,
                                text=True, timeout=120)
        self.assertEqual(result.returncode, code, result.stderr)
        return result

    def rows(self):
        return [line.split("\t") for line in self.run_command("--list").stdout.splitlines()]

    def start_headless(self):
        with open(os.path.join(self.root, "headless.out"), "w") as out:
            process = subprocess.Popen([TARNWICK, "--headless"], env=self.env(), stdout=out,
                                       stderr=subprocess.DEVNULL)
        self.running.append(process)
        # Running once it holds the data folder's lock.
        wait_until(lambda: self.lock_held(), "lock of the headless mode")
        return process

    def lock_held(self):
        path = os.path.join(self.home, ".tarnwick.lock")
        if not os.path.exists(path):
            return False
        with open(path) as f:
            try:
                fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                return True
            fcntl.flock(f, fcntl.LOCK_UN)
            return False

    def request_files(self):
        folder = os.path.join(self.home, "requests")
        return sorted(os.listdir(folder)) if os.path.isdir(folder) else []

    def test_edits_with_nothing_running(self):
        added = self.run_command("--add", self.url("a"), "--name", "エー", "--every", "01:30")
        self.assertEqual(added.stdout.rstrip("\n").split("\t"),
                         ["1", "毎日01時間30分間隔", "エー", self.url("a"), ""])
        self.run_command("--add", self.url("b"), "--at-start", "--name", self.url("b"))
        # Without a name the page's title names it.
        titled = self.run_command("--add", self.url("t"), "--at", "07:05")
        self.assertEqual(titled.stdout.split("\t")[1:3], ["毎日07時05分00秒", "T"])
        self.run_command("--remove", "3")
        refused = self.run_command("--add", "javascript:alert(1)", code=1)
        self.assertIn("javascript", refused.stderr)
        duplicate = self.run_command("--add", self.url("a"), code=1)
        self.assertIn("ウォッチリストにあります", duplicate.stderr)
        self.assertEqual([row[2] for row in self.rows()], ["エー", self.url("b")])
        self.run_command("--remove", "1")
        self.run_command("--remove", "5", code=1)
        self.assertEqual([row[3] for row in self.rows()], [self.url("b")])
        self.assertFalse(self.lock_held())

    def test_check_with_nothing_running(self):
        self.run_command("--add", self.url("c"), "--name", "シー", "--every", "02:00")
        checked = self.run_command("--check", "1")
        self.assertEqual(checked.stdout.split("\t")[2], "シー")
        self.assertIn("更新されています", checked.stdout)
        # Kept in the list: the next check compares with it.
        self.assertIn("更新されていません", self.run_command("--check", "1").stdout)
        self.assertIn("更新されていません", self.rows()[0][4])
        self.run_command("--check", "2", code=1)
        self.assertFalse(self.lock_held())
        # The item's kept versions go with it.
        history = os.path.join(self.home, "history")
        self.assertEqual(len(os.listdir(history)), 1)
        self.run_command("--remove", "1")
        self.assertEqual(os.listdir(history), [])

    def test_export_and_import_back(self):
        for name in ("one", "two", "three"):
            self.run_command("--add", self.url(name), "--name", f"名前 {name}")
        for fmt in ("urls", "opml", "yaml"):
            exported = os.path.join(self.root, f"list.{fmt}")
            self.run_command("--export", exported)
            other = os.path.join(self.root, f"home-{fmt}")
            os.makedirs(other)
            result = subprocess.run([TARNWICK, "--import", exported], capture_output=True,
                                    text=True, timeout=120,
                                    env=dict(self.env(), TARNWICK_HOME=other))
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertIn("3 件を追加しました", result.stdout)
            listed = subprocess.run([TARNWICK, "--list"], capture_output=True, text=True,
                                    env=dict(self.env(), TARNWICK_HOME=other), timeout=120)
            addresses = [line.split("\t")[3] for line in listed.stdout.splitlines()]
            self.assertEqual(addresses, [self.url(n) for n in ("one", "two", "three")])
        again = self.run_command("--import", os.path.join(self.root, "list.yaml"))
        self.assertIn("0 件を追加しました", again.stdout)

    def test_add_and_check_while_headless_runs(self):
        self.start_headless()
        added = self.run_command("--add", self.url("page"), "--name", "ページ")
        self.assertEqual(added.stdout.split("\t")[2], "ページ")
        out = os.path.join(self.root, "headless.out")
        # The running program checked it: its line is printed there.
        def printed():
            with open(out, encoding="utf-8") as f:
                return "ページ" in f.read()
        wait_until(printed, "check of the item")
        checked = self.run_command("--check", "1")
        self.assertEqual(checked.stdout.split("\t")[2], "ページ")
        # Checked again, after the first check: unchanged since.
        self.assertEqual(checked.stdout.rstrip("\n").split("\t")[4], "更新されていません")
        self.assertEqual(self.request_files(), [])

    def test_parallel_adds_lose_nothing(self):
        self.start_headless()
        commands = [subprocess.Popen([TARNWICK, "--add", self.url(f"p{i}")], env=self.env(),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
                    for i in range(20)]
        for command in commands:
            _, err = command.communicate(timeout=120)
            self.assertEqual(command.returncode, 0, err)
        self.assertEqual(sorted(row[3] for row in self.rows()),
                         sorted(self.url(f"p{i}") for i in range(20)))
        self.assertEqual(self.request_files(), [])

    def test_bad_request_files_are_ignored(self):
        self.start_headless()
        folder = os.path.join(self.home, "requests")
        os.makedirs(folder, mode=0o700)
        good = ("tarnwick-list-request 1\nkind=1\naddress=" + self.url("planted") +
                "\nname=\ntiming=0\nseconds=0\nposition=0\nfile=\nformat=urls\n")
        elsewhere = os.path.join(self.root, "elsewhere.req")
        with open(elsewhere, "w") as f:
            f.write(good)
        os.symlink(elsewhere, os.path.join(folder, "1-link.req"))
        with open(os.path.join(folder, "2-big.req"), "w") as f:
            f.write(good + "x" * (70 * 1024))
        with open(os.path.join(folder, "3-junk.req"), "w") as f:
            f.write("not a request\n")
        self.run_command("--add", self.url("real"))
        self.assertEqual([row[3] for row in self.rows()], [self.url("real")])
        self.assertTrue(os.path.exists(elsewhere))
        self.assertEqual(self.request_files(), [])

    def test_silent_lock_holder(self):
        path = os.path.join(self.home, ".tarnwick.lock")
        with open(path, "w") as holder:
            fcntl.flock(holder, fcntl.LOCK_EX)
            started = time.monotonic()
            result = self.run_command("--add", self.url("x"), code=1)
            self.assertLess(time.monotonic() - started, 60)
        self.assertIn("応答がありません", result.stderr)
        self.assertEqual(self.request_files(), [])
        self.assertEqual(self.rows(), [])

    def test_add_while_window_runs(self):
        err = os.path.join(self.root, "window.err")
        with open(err, "w") as f:
            window = subprocess.Popen([TARNWICK], env=self.env(QT_QPA_PLATFORM="offscreen"),
                                      stdout=subprocess.DEVNULL, stderr=f)
        self.running.append(window)
        wait_for_window_program(self, window, err, self.lock_held, "window's lock")
        self.run_command("--add", self.url("w"), "--name", "窓")

        def checked():
            rows = self.rows()
            return len(rows) == 1 and rows[0][4] == "更新されています"
        wait_for_window_program(self, window, err, checked, "check in the window")
        self.assertEqual(self.rows()[0][2], "窓")


if __name__ == "__main__":
    unittest.main()
