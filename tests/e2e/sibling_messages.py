#!/usr/bin/env python3
"""End-to-end: what the download helper's shared value and the message bus can make the window do.

First on a private X display (Xvfb), the helper's "Identifier" value is pointed at files that
are no hand-over: the watch list, a link list, a symbolic and a hard link to the list, a
hand-over file beyond the 1 MiB cap; each time "brlHelper->Tarnwick" follows on the bus. Each
must be left exactly as it was, while a proper hand-over placed after it is still taken and
opens the site definition sheet. Then, offscreen, the bus is flooded with that message and
SIGTERM sent: the program must end (a failsafe time-out, not a measure of speed) with its watch list saved.
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib"))
from localweb import tarnwick_binary, tarnwick_env, wait_for_window_program  # noqa: E402
from desktop import Desktop, available as desktop_available  # noqa: E402

PICK_UP = b"brlHelper->Tarnwick"
FAR = 4102444800  # 2100-01-01: armed, never due during the run
SHEET = "サイトの定義"
CAP = 1024 * 1024


def watch_block(url):
    lines = ["\t//{{TOP-W", "\t//{{TOP", f"Targ: {url}", "Name: kept", "\tEND}}//",
             "Chec: once", "Timi: define", f"Date: {FAR}", "Time: 0", "\tEND-W}}//"]
    return "".join(line + "\r\n" for line in lines).encode()


def record(url):
    return f"\t//{{{{TOP\r\nTarg: {url}\r\nName: handed over\r\n\tEND}}}}//\r\n".encode()


class SiblingMessages(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="tw-e2e-siblings-")
        self.home = os.path.join(self.root, "home")
        self.config = os.path.join(self.root, "config")
        self.helper = os.path.join(self.root, "helper")
        self.bin = os.path.join(self.root, "bin")
        for d in (self.home, self.config, self.helper, self.bin, os.path.join(self.root, "data")):
            os.makedirs(d)
        os.makedirs(os.path.join(self.root, "run"), mode=0o700)
        self.bus = os.path.join(self.root, "run", "orvane")
        self.list = os.path.join(self.home, "WatchList.twl")
        with open(self.list, "wb") as f:
            f.write(watch_block("http://127.0.0.1:9/kept.html"))
        self.sender = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sender.setblocking(False)
        self.display = None
        self.process = None
        self.sentinels = 0

    def tearDown(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        if self.display:
            self.display.stop()
        self.sender.close()
        shutil.rmtree(self.root, ignore_errors=True)

    # --- the program and its surroundings -------------------------------------------------------

    def start(self, on_display):
        env = tarnwick_env(self.root, self.home, self.bin)
        env.pop("QT_QPA_PLATFORM", None)
        if on_display:
            desktop_available()
            self.display = Desktop()
            env["DISPLAY"] = self.display.display
        else:
            env["QT_QPA_PLATFORM"] = "offscreen"
        # A hand-over waiting at the start: the window takes it once it is up, after it has
        # loaded (and saved) its watch list.
        waiting = self.sentinel()
        self.set_identifier(waiting)
        self.stderr = os.path.join(self.root, "stderr.txt")
        with open(self.stderr, "w") as err:
            self.process = subprocess.Popen([tarnwick_binary()], env=env,
                                            stdout=subprocess.DEVNULL, stderr=err)
        self.wait_for(lambda: self.socket_path() and not os.path.exists(waiting), "the window")

    def socket_path(self):
        path = os.path.join(self.bus, str(self.process.pid))
        return path if os.path.exists(path) else None

    def value(self, key, name):
        try:
            with open(os.path.join(self.config, "Orvane", key, name), "rb") as f:
                return f.read().decode("latin-1")
        except FileNotFoundError:
            return ""

    def set_identifier(self, path):
        folder = os.path.join(self.config, "Orvane", "brlHelper")
        os.makedirs(folder, exist_ok=True)
        # As the helper writes a value: whole, then renamed into place.
        with open(os.path.join(folder, ".Identifier.new"), "wb") as f:
            f.write(path.encode())
        os.rename(os.path.join(folder, ".Identifier.new"), os.path.join(folder, "Identifier"))

    def send(self, name=PICK_UP):
        try:
            self.sender.sendto(name, self.socket_path())
        except BlockingIOError:
            pass

    def wait_for(self, condition, what, limit=120):
        wait_for_window_program(self, self.process, self.stderr, condition, what, limit)

    def hand_over(self, path):
        """Points the helper's value at `path`, tells the program and waits until it took it."""
        self.set_identifier(path)
        self.send()
        self.wait_for(lambda: self.value("brlHelper", "Identifier") == "", f"pick-up of {path}")

    def sentinel(self):
        """A hand-over file as the helper writes one."""
        self.sentinels += 1
        path = os.path.join(self.helper, f"HelpToWatch_{self.sentinels}")
        with open(path, "wb") as f:
            f.write(record(f"http://127.0.0.1:9/handed-{self.sentinels}.html"))
        return path

    def proper_hand_over(self):
        """A proper hand-over must be read and deleted. Pick-ups run one after the other, so
        when it has gone, every earlier one has ended."""
        path = self.sentinel()
        self.hand_over(path)
        self.wait_for(lambda: not os.path.exists(path), f"proper hand-over {path} taken")

    # --- the tests ------------------------------------------------------------------------------

    def test_shared_value_never_takes_the_programs_own_files(self):
        links = os.path.join(self.root, "links")
        os.makedirs(links)
        link_list = os.path.join(links, "brl.hlk")
        with open(link_list, "wb") as f:
            f.write(record("http://127.0.0.1:9/link.html"))
        self.start(on_display=True)
        with open(self.list, "rb") as f:
            saved = f.read()
        self.assertIn(b"kept.html", saved)

        symlink = os.path.join(self.helper, "WatchToHelp")
        os.symlink(self.list, symlink)
        hardlink = os.path.join(self.helper, "FromHelper")
        os.link(self.list, hardlink)
        large = os.path.join(self.helper, "WatchToHelp_7")
        with open(large, "wb") as f:
            body = record("http://127.0.0.1:9/large.html")
            f.write(body + b"x" * (CAP + 1 - len(body)))
        cases = [self.list, link_list, symlink, hardlink, large,
                 os.path.join(self.helper, "..", "home", "WatchList.twl")]
        before = {}
        for path in cases:
            with open(path, "rb") as f:
                before[path] = f.read()
        for path in cases:
            with self.subTest(identifier=path):
                self.hand_over(path)
                self.proper_hand_over()
                for kept, content in before.items():
                    with open(kept, "rb") as f:
                        self.assertEqual(f.read(), content, kept)
                self.assertTrue(os.path.islink(symlink))
                self.assertEqual(os.stat(self.list).st_nlink, 2)

        # The proper hand-overs opened the sheet on a new item; the file over the cap was told
        # in a message box.
        self.wait_for(lambda: self.display.windows(SHEET), "site definition sheet")
        self.wait_for(lambda: self.display.windows("Tarnwick"), "message box")
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=120)
        with open(self.list, "rb") as f:
            self.assertIn(b"kept.html", f.read())

    def test_flood_of_messages_does_not_hold_up_sigterm(self):
        self.start(on_display=False)
        target = self.socket_path()
        stop = threading.Event()
        sent = [0]

        def flood():
            with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as sender:
                sender.setblocking(False)
                while not stop.is_set():
                    try:
                        sender.sendto(PICK_UP, target)
                        sent[0] += 1
                    except (BlockingIOError, ConnectionRefusedError, FileNotFoundError):
                        if not os.path.exists(target):
                            return
                        time.sleep(0)

        flooder = threading.Thread(target=flood)
        flooder.start()
        try:
            deadline = time.time() + 5
            while time.time() < deadline and sent[0] < 100000:
                time.sleep(0.05)
            self.process.send_signal(signal.SIGTERM)
            # The flood goes on until the program has ended.
            try:
                self.process.wait(timeout=90)
            except subprocess.TimeoutExpired:
                self.fail(f"tarnwick still running 90 s after SIGTERM under a flood of "
                          f"{sent[0]} messages")
        finally:
            stop.set()
            flooder.join()
        self.assertEqual(self.process.returncode, 0)
        self.assertEqual(self.value("Tarnwick", "State"), "closed")
        with open(self.list, "rb") as f:
            self.assertIn(b"kept.html", f.read())
        self.assertGreater(sent[0], 1000)


if __name__ == "__main__":
    unittest.main()
