"""A private X display (Xvfb) for end-to-end tests that must see which windows a program shows."""
import os
import select
import shutil
import subprocess
import time

from localweb import require


class VirtualDisplay:
    """Xvfb on a free display number; `windows()` lists the titles of the mapped windows."""

    def __init__(self):
        xvfb = shutil.which("Xvfb")
        self.xwininfo = shutil.which("xwininfo")
        require("Xvfb (package xvfb)", xvfb is not None)
        require("xwininfo (package x11-utils)", self.xwininfo is not None)
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            [xvfb, "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten",
             "tcp"], pass_fds=(write_end,), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        deadline = time.time() + 30
        while not number.endswith(b"\n") and time.time() < deadline:
            if select.select([read_end], [], [], deadline - time.time())[0]:
                chunk = os.read(read_end, 16)
                if not chunk:
                    break
                number += chunk
        os.close(read_end)
        if not number.strip():
            self.process.kill()
            self.process.wait()
            raise RuntimeError("Xvfb did not start")
        self.name = ":" + number.decode().strip()

    def windows(self):
        """Titles of the windows on the display that are mapped and viewable."""
        tree = subprocess.run([self.xwininfo, "-display", self.name, "-root", "-tree"],
                              capture_output=True, timeout=30).stdout.decode("utf-8", "replace")
        titles = []
        for line in tree.splitlines():
            parts = line.strip().split(" ", 1)
            if len(parts) < 2 or not parts[0].startswith("0x") or not parts[1].startswith('"'):
                continue
            title = parts[1][1:].split('"', 1)[0]
            info = subprocess.run([self.xwininfo, "-display", self.name, "-id", parts[0]],
                                  capture_output=True, timeout=30).stdout.decode("utf-8",
                                                                                  "replace")
            if "IsViewable" in info:
                titles.append(title)
        return titles

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)
