#!/usr/bin/env python3
"""End-to-end: the real window's link update dialog against a server that answers every link
with a page holding a link record of its own (Name: INJECTED, Targ: http://127.0.0.1:9/payload).

The download folder holds a link list whose links are named after the list itself and its two
lock files, and one ordinary link last. The program runs on a private X desktop (Xvfb and
openbox); xdotool types as a user would: "フォルダ更新" in the main window, "全て更新" in the
dialog. Once the ordinary link's file has arrived (the links are refreshed in order), the dialog
is closed with Escape, or the program is killed with the dialog still open. Either way brl.hlk
must hold exactly the user's links, and no lock may be left that the program did not take.
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib"))
from desktop import Desktop, available as desktop_available, dies_with_parent  # noqa: E402
from desktop import wait_until  # noqa: E402
from injecting import INJECTED_ADDRESS, INJECTED_NAME, InjectingServer  # noqa: E402
from localweb import tarnwick_binary, tarnwick_env  # noqa: E402

MAIN_TITLE = "Tarnwick 1.20"
DIALOG_TITLE = "リンク更新"
HOSTILE_NAMES = ("brl.hlk", "dialog.lock", "append.lock")


def records(data):
    """(Dest, Targ, Name) of each record block in a list file."""
    found = []
    for block in data.split(b"\t//{{TOP")[1:]:
        fields = {}
        for line in block.split(b"\n"):
            line = line.rstrip(b"\r")
            if len(line) > 6 and line[4:6] == b": ":
                fields[line[:4].decode()] = line[6:].decode("ascii", "replace")
        found.append((fields.get("Dest"), fields.get("Targ"), fields.get("Name")))
    return found


class LinkNames(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tarnwick = tarnwick_binary()
        if not desktop_available():
            raise unittest.SkipTest("no desktop tools")
        cls.server = InjectingServer()
        cls.desktop = Desktop()

    @classmethod
    def tearDownClass(cls):
        cls.desktop.stop()
        cls.server.stop()

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="tw-links-")
        self.home = os.path.join(self.root, "home")
        self.links = os.path.join(self.root, "Downloads")
        self.config = os.path.join(self.root, "config")
        for d in (self.home, self.links, self.config, os.path.join(self.root, "run"),
                  os.path.join(self.root, "bin"), os.path.join(self.root, "user")):
            os.makedirs(d, mode=0o700)
        # The dialog's folder: the stored default means the desktop's download folder.
        with open(os.path.join(self.config, "user-dirs.dirs"), "w") as f:
            f.write(f'XDG_DOWNLOAD_DIR="{self.links}"\n')
        self.user_links = [(name, self.server.url(name), name)
                           for name in HOSTILE_NAMES + ("page.html",)]
        text = "".join(f"\t//{{{{TOP\r\nDest: {dest}\r\nTarg: {address}\r\nName: {name}\r\n"
                       "\tEND}}//\r\n" for dest, address, name in self.user_links)
        self.list_path = os.path.join(self.links, "brl.hlk")
        with open(self.list_path, "wb") as f:
            f.write(text.encode("ascii"))
        self.program = None

    def tearDown(self):
        if self.program and self.program.poll() is None:
            self.program.kill()
            self.program.wait()
        self.desktop.wait_gone(MAIN_TITLE, 10)
        shutil.rmtree(self.root, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.links, name)

    def start_update_all(self):
        """Starts the program, opens the link dialog and presses "全て更新"; returns the
        dialog's window once the ordinary link has been downloaded."""
        env = dict(tarnwick_env(self.root, self.home, os.path.join(self.root, "bin")),
                   DISPLAY=self.desktop.display, QT_QPA_PLATFORM="xcb",
                   HOME=os.path.join(self.root, "user"))
        stderr = os.path.join(self.root, "stderr")
        with open(stderr, "wb") as out:
            self.program = subprocess.Popen([self.tarnwick], env=env, stdout=subprocess.DEVNULL,
                                            stderr=out, preexec_fn=dies_with_parent)

        def without_window():
            with open(stderr, encoding="utf-8", errors="replace") as f:
                return "running the check cycle in this terminal" in f.read()
        main = wait_until(lambda: self.desktop.windows(MAIN_TITLE) or without_window() or
                          self.program.poll() is not None, 60)
        if without_window():
            self.skipTest("this tarnwick was built without the window")  # the TSan build
        self.assertTrue(main and self.program.poll() is None, "the main window did not open")
        main = self.desktop.windows(MAIN_TITLE)[0]
        # The first button of the main window has the focus: "フォルダ更新".
        self.desktop.key(main, "space")
        dialog = self.desktop.wait_window(DIALOG_TITLE)
        self.assertIsNotNone(dialog, "the link dialog did not open")
        # The list is read once the dialog holds its lock and has given back the append lock.
        self.assertTrue(wait_until(lambda: os.path.exists(self.path("dialog.lock")) and
                                   not os.path.exists(self.path("append.lock")), 60))
        # From "閉じる", which has the focus, to "全て更新".
        self.desktop.key(dialog, "Tab", "space")
        self.assertTrue(wait_until(lambda: os.path.exists(self.path("page.html")), 60),
                        f"the ordinary link was not downloaded; requests: {self.server.seen()}")
        return dialog

    def escape_closes(self, dialog):
        """Escape does nothing while the worker still reports the last link: pressed again
        until the dialog has gone."""
        if not self.desktop.windows(DIALOG_TITLE):
            return True
        self.desktop.key(dialog, "Escape")
        return self.desktop.wait_gone(DIALOG_TITLE, 1)

    def assert_user_links(self):
        with open(self.list_path, "rb") as f:
            data = f.read()
        self.assertFalse(INJECTED_NAME.encode() in data or INJECTED_ADDRESS.encode() in data,
                         "brl.hlk holds the server's link record")
        self.assertEqual(records(data), self.user_links)

    def test_close_after_update_all(self):
        dialog = self.start_update_all()
        self.assertTrue(wait_until(lambda: self.escape_closes(dialog), 60),
                        "the dialog did not close")
        self.assert_user_links()
        self.assertFalse(os.path.exists(self.path("dialog.lock")))
        self.assertFalse(os.path.exists(self.path("append.lock")))
        self.assertEqual(sorted(os.listdir(self.links)), ["brl.hlk", "page.html"])
        self.program.send_signal(signal.SIGTERM)
        self.assertEqual(self.program.wait(timeout=60), 0)

    def test_killed_with_the_dialog_open(self):
        self.start_update_all()
        self.program.kill()
        self.program.wait()
        self.assert_user_links()
        # What a killed dialog leaves: its own lock, and the ordinary link's file.
        self.assertEqual(sorted(os.listdir(self.links)), ["brl.hlk", "dialog.lock", "page.html"])


if __name__ == "__main__":
    unittest.main()
