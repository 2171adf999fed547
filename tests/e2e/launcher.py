#!/usr/bin/env python3
"""End-to-end: `tarnwick` itself never loads Qt. A window start becomes the window's program in
the same process, the headless mode runs without Qt mapped, and its first notice loads the
notification module, which reaches the desktop's service on a private session bus.
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
from localweb import free_port, tarnwick_env  # noqa: E402

TARNWICK = os.environ.get("TARNWICK_BINARY", "")
LIMIT = 60  # a failsafe against a hang, not a measure of speed


def item(url, name):
    lines = ["\t//{{TOP-W", "\t//{{TOP", f"Targ: {url}", f"Name: {name}", "\tEND}}//",
             "\tEND-W}}//"]
    return "".join(line + "\r\n" for line in lines)


def wait_until(condition, what):
    deadline = time.time() + LIMIT
    while time.time() < deadline:
        if condition():
            return
        time.sleep(0.05)
    raise AssertionError(f"no {what} within {LIMIT} s")


def mapped(pid, part):
    with open(f"/proc/{pid}/maps", encoding="utf-8", errors="replace") as f:
        return part in f.read()


class Launcher(unittest.TestCase):
    def setUp(self):
        if not TARNWICK or not os.path.exists(TARNWICK):
            self.skipTest("tarnwick binary not given")
        self.root = tempfile.mkdtemp(prefix="tw-launch-")
        self.home = os.path.join(self.root, "home")
        for d in ("home", "config", "run", "data", "bin"):
            os.makedirs(os.path.join(self.root, d))
        # A page nobody serves: every check fails at once.
        with open(os.path.join(self.home, "WatchList.twl"), "wb") as f:
            f.write(item(f"http://127.0.0.1:{free_port()}/gone.html", "gone").encode("ascii"))
        self.env = tarnwick_env(self.root, self.home, os.path.join(self.root, "bin"))
        self.env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        self.processes = []

    def tearDown(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(timeout=LIMIT)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
            for stream in (process.stdout, process.stderr):
                if stream:
                    stream.close()
        shutil.rmtree(self.root, ignore_errors=True)

    def start(self, args, env, **kwargs):
        process = subprocess.Popen(args, env=env, **kwargs)
        self.processes.append(process)
        return process

    def window_program(self):
        path = os.path.join(os.path.dirname(os.path.abspath(TARNWICK)), "tarnwick-window")
        if not os.path.exists(path):
            self.skipTest("this tarnwick was built without the window")
        return path

    def test_headless_checks_without_qt(self):
        process = self.start([TARNWICK, "--headless"], self.env, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True)
        # A finished check proves the cycle ran; nothing of Qt may be mapped by then.
        self.assertIn("gone", process.stdout.readline())
        self.assertFalse(mapped(process.pid, "libQt6"))
        self.assertFalse(mapped(process.pid, "tarnwick-notify"))

    def test_window_start_becomes_the_window_program(self):
        window = self.window_program()
        env = dict(self.env, QT_QPA_PLATFORM="offscreen", DISPLAY=":none")
        process = self.start([TARNWICK, "--tray"], env, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)

        def running_window():
            try:
                return os.readlink(f"/proc/{process.pid}/exe") == os.path.realpath(window)
            except OSError:
                return False
        wait_until(running_window, "window program in the launcher's process")
        with open(f"/proc/{process.pid}/cmdline", "rb") as f:
            self.assertEqual(f.read().split(b"\0")[:-1], [TARNWICK.encode(), b"--tray"])
        wait_until(lambda: mapped(process.pid, "libQt6Widgets"), "widget library")

    def test_first_notice_loads_the_notification_module(self):
        self.window_program()
        bus_folder = os.path.join(self.root, "bus")
        os.makedirs(bus_folder)
        address = f"unix:path={bus_folder}/socket"
        daemon = self.start(["dbus-daemon", "--session", "--nofork", f"--address={address}",
                             "--print-address=1"], os.environ, stdout=subprocess.PIPE, text=True)
        self.assertTrue(daemon.stdout.readline().strip())
        # The service the notice is for need not exist: the call is seen on the bus either way.
        monitor = self.start(["dbus-monitor", "--address", address,
                              "interface='org.freedesktop.Notifications'"], os.environ,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        # The monitor's own name acquisition comes first: once it shows, it is listening.
        self.assertIn("signal", monitor.stdout.readline())
        with open(os.path.join(self.home, "tarnwick.conf"), "w") as f:
            f.write("[notify]\nfailures=1\n")
        env = dict(self.env, DBUS_SESSION_BUS_ADDRESS=address)
        process = self.start([TARNWICK, "--headless"], env, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
        self.assertIn("gone", process.stdout.readline())
        seen = []
        deadline = time.time() + LIMIT
        while time.time() < deadline and not any("member=Notify" in line for line in seen):
            seen.append(monitor.stdout.readline())
        self.assertTrue(any("member=Notify" in line for line in seen), "".join(seen))
        self.assertTrue(mapped(process.pid, "tarnwick-notify.so"))
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(timeout=LIMIT), 0)
        self.assertNotIn("notices cannot reach", process.stderr.read())


if __name__ == "__main__":
    unittest.main()
