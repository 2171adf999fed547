"""A private X desktop for end-to-end tests of the real window: Xvfb (a free display it picks
itself) and the openbox window manager, with xdotool to find windows and type into them as a
user would; with tray=True also a tint2 panel holding a system tray, whose icons are clicked as a
user would. Everything started here is stopped by stop()."""
import ctypes
import ctypes.util
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

from localweb import require

TOOLS = ("Xvfb", "openbox", "xdotool")
TRAY_TOOLS = ("tint2", "xwininfo")

# A panel along the bottom with only a task bar and the system tray, at the right end.
TINT2_CONFIG = """panel_items = TS
panel_position = bottom center horizontal
panel_size = 100% 32
panel_padding = 4 2 4
systray_padding = 4 2 4
systray_icon_size = 24
"""


def available(tray=False):
    """True when the desktop can be started; otherwise this fails the test (`make test`) or
    skips it (`make check`), as a missing server does."""
    missing = [tool for tool in TOOLS + (TRAY_TOOLS if tray else ())
               if shutil.which(tool) is None]
    require(" and ".join(missing) or "Xvfb", not missing)
    return not missing


def dies_with_parent():
    """A preexec_fn: the child gets SIGTERM when the test process ends, however it ends (a
    runner's time-out included), so that no desktop or program outlives its test."""
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def wait_until(condition, timeout, interval=0.05):
    """Polls `condition` until it holds (returns its value) or `timeout` seconds have passed
    (returns the last, false value)."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


class Desktop:
    def __init__(self, size="1024x700", tray=False):
        self._work = tempfile.mkdtemp(prefix="tw-desktop-")
        self._processes = []
        display_file = os.path.join(self._work, "display")
        with open(display_file, "w") as out:
            self._start(["Xvfb", "-displayfd", str(out.fileno()), "-screen", "0", size + "x24",
                         "-nolisten", "tcp"], pass_fds=(out.fileno(),))
        def display_number():
            with open(display_file) as f:
                return f.read().strip()
        number = wait_until(display_number, 30)
        if not number:
            self.stop()
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number
        self.env = dict(os.environ, DISPLAY=self.display)
        self.env.pop("WAYLAND_DISPLAY", None)
        self._start(["openbox", "--sm-disable"], env=self.env)
        if not wait_until(lambda: "window id" in self._xdotool_output(
                ["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"]), 30):
            self.stop()
            raise RuntimeError("openbox did not start")
        if tray:
            config = os.path.join(self._work, "tint2rc")
            with open(config, "w") as f:
                f.write(TINT2_CONFIG)
            self._start(["tint2", "-c", config], env=self.env)
            # The tray is there once someone owns the system tray selection of screen 0.
            if not wait_until(self._tray_owner, 30):
                self.stop()
                raise RuntimeError("tint2 did not provide a system tray")

    def _start(self, command, **options):
        process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   preexec_fn=dies_with_parent, **options)
        self._processes.append(process)
        return process

    def _xdotool_output(self, command):
        result = subprocess.run(command, env=self.env, capture_output=True, text=True)
        return result.stdout if result.returncode == 0 else ""

    def windows(self, title):
        """The visible windows whose title is exactly `title`."""
        out = self._xdotool_output(["xdotool", "search", "--onlyvisible", "--name",
                                    "^" + title + "$"])
        return [line for line in out.split() if line]

    def wait_window(self, title, timeout=60):
        """The id of a visible window titled `title`, once there is one; None at the deadline."""
        found = wait_until(lambda: self.windows(title), timeout)
        return found[0] if found else None

    def wait_gone(self, title, timeout=60):
        return wait_until(lambda: not self.windows(title), timeout)

    def activate(self, window):
        subprocess.run(["xdotool", "windowactivate", "--sync", window], env=self.env,
                       capture_output=True)

    def key(self, window, *keys):
        """Brings `window` to the front and presses `keys` (xdotool names) there."""
        self.activate(window)
        subprocess.run(["xdotool", "key", "--clearmodifiers", *keys], env=self.env, check=True)

    def _tray_owner(self):
        x11 = ctypes.cdll.LoadLibrary(ctypes.util.find_library("X11"))
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        x11.XInternAtom.restype = ctypes.c_ulong
        x11.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        x11.XGetSelectionOwner.restype = ctypes.c_ulong
        x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
        display = x11.XOpenDisplay(self.display.encode())
        if not display:
            return False
        try:
            atom = x11.XInternAtom(display, b"_NET_SYSTEM_TRAY_S0", 0)
            return x11.XGetSelectionOwner(display, atom) != 0
        finally:
            x11.XCloseDisplay(display)

    def geometry(self, window):
        """(x, y, width, height) of the inside of `window` on the screen, frame not counted."""
        out = self._xdotool_output(["xwininfo", "-id", window])
        values = {}
        for line in out.splitlines():
            name, _, value = line.strip().partition(":")
            values[name] = value.strip()
        try:
            return tuple(int(values[name]) for name in (
                "Absolute upper-left X", "Absolute upper-left Y", "Width", "Height"))
        except (KeyError, ValueError):
            return None

    def minimize(self, window):
        subprocess.run(["xdotool", "windowminimize", window], env=self.env, capture_output=True)

    def tray_icon(self):
        """The centre (x, y) of the rightmost icon in the panel's tray, or None."""
        out = self._xdotool_output(["xwininfo", "-root", "-tree"])
        screen_height = int(self._xdotool_output(["xdotool", "getdisplaygeometry"]).split()[1])
        best = None
        for line in out.splitlines():
            # e.g. 0x1a00003 "tarnwick": ()  24x24+0+0  +996+672
            found = re.search(r"(\d+)x(\d+)\+-?\d+\+-?\d+ +\+(-?\d+)\+(-?\d+)", line)
            if not found:
                continue
            width, height, x, y = (int(v) for v in found.groups())
            # The panel is 32 pixels high along the bottom; an icon is a small window in it.
            if width <= 40 and height <= 40 and y >= screen_height - 32 and (
                    best is None or x > best[0]):
                best = (x, y, width, height)
        if best is None:
            return None
        return best[0] + best[2] // 2, best[1] + best[3] // 2

    def click_tray(self, double=False):
        """Clicks the tray icon with the left button (twice in a row for a double-click)."""
        position = wait_until(self.tray_icon, 30)
        if not position:
            raise RuntimeError("no tray icon")
        subprocess.run(["xdotool", "mousemove", str(position[0]), str(position[1])],
                       env=self.env, check=True)
        subprocess.run(["xdotool", "click", *(["--repeat", "2", "--delay", "80"] if double
                                              else []), "1"], env=self.env, check=True)

    def drag(self, x, y, dx, dy):
        """Presses the left button at (x, y), moves by (dx, dy) in a few steps and lets go, as a
        user drags a window by its title bar."""
        steps = 6
        commands = [["mousemove", str(x), str(y)], ["mousedown", "1"]]
        commands += [["mousemove_relative", "--", str(dx // steps), str(dy // steps)]] * steps
        commands += [["mouseup", "1"]]
        for command in commands:
            subprocess.run(["xdotool", *command], env=self.env, check=True)

    def top_windows(self):
        """The visible windows right below the root (a pop-up menu is one of them)."""
        out = self._xdotool_output(["xdotool", "search", "--onlyvisible", "--maxdepth", "1",
                                    "--name", ""])
        return set(out.split())

    def keys(self, *keys):
        """Presses `keys` wherever the focus is (a pop-up menu, say)."""
        subprocess.run(["xdotool", "key", "--clearmodifiers", *keys], env=self.env, check=True)

    def stop(self):
        for process in reversed(self._processes):
            process.terminate()
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        self._processes = []
        shutil.rmtree(self._work, ignore_errors=True)
