"""A private X desktop for end-to-end tests of the real window: Xvfb (a free display it picks
itself) and the openbox window manager, with xdotool to find windows and type into them as a
user would. Everything started here is stopped by stop()."""
import ctypes
import os
import shutil
import signal
import subprocess
import tempfile
import time

from localweb import require

TOOLS = ("Xvfb", "openbox", "xdotool")


def available():
    """True when the desktop can be started; otherwise this fails the test (`make test`) or
    skips it (`make check`), as a missing server does."""
    missing = [tool for tool in TOOLS if shutil.which(tool) is None]
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
    def __init__(self, size="1024x700"):
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
