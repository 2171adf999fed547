"""A real nginx on 127.0.0.1 for the end-to-end tests, started and stopped by the test."""
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
import unittest

NGINX = shutil.which("nginx") or "/usr/sbin/nginx"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Nginx:
    """Serves `www` on a free port; `locations` is extra configuration inside the server."""

    def __init__(self, folder, www, locations=""):
        self.port = free_port()
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        # As root, the workers would run as nobody and could not read a test's private folders.
        user = "user root root;\n" if os.geteuid() == 0 else ""
        conf = f"""{user}worker_processes 1;
pid {folder}/nginx.pid;
error_log {folder}/error.log;
events {{ worker_connections 256; }}
http {{
    access_log off;
    client_body_temp_path {folder}/body;
    proxy_temp_path {folder}/proxy;
    fastcgi_temp_path {folder}/fastcgi;
    uwsgi_temp_path {folder}/uwsgi;
    scgi_temp_path {folder}/scgi;
    types {{ text/html html; }}
    server {{
        listen 127.0.0.1:{self.port};
        root {www};
{locations}
    }}
}}
"""
        conf_path = os.path.join(folder, "nginx.conf")
        with open(conf_path, "w") as f:
            f.write(conf)
        self.process = subprocess.Popen([NGINX, "-c", conf_path, "-p", folder,
                                         "-g", "daemon off;"], stderr=subprocess.DEVNULL)
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                return
            except OSError:
                time.sleep(0.05)
        self.process.kill()
        raise RuntimeError("nginx did not start")

    def url(self, name):
        return f"http://127.0.0.1:{self.port}/{name}"

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=10)


def missing_servers_allowed():
    """Only `make check` sets this: there a test whose server is missing is skipped."""
    return os.environ.get("TARNWICK_ALLOW_MISSING_SERVERS") == "1"


def require(name, present):
    """Fails (`make test`) or skips (`make check`) a test whose server is not installed."""
    if present:
        return
    if missing_servers_allowed():
        reason = f"{name} is not installed (skipped: TARNWICK_ALLOW_MISSING_SERVERS=1)"
        print(reason, file=sys.stderr, flush=True)
        raise unittest.SkipTest(reason)
    raise RuntimeError(f"{name} is not installed: `scripts/install-deps.sh test` installs it "
                       "(only `make check` skips this test)")


def available():
    """True when nginx is installed. When it is not, this fails the test right here unless
    missing servers may be skipped (`make check`), so that the usual
    `if not available(): raise unittest.SkipTest(...)` never passes `make test` without nginx."""
    present = os.path.exists(NGINX)
    if not present and not missing_servers_allowed():
        require("nginx", present)
    return present


def tarnwick_binary():
    """The program under test, which ctest builds before any end-to-end test runs."""
    binary = os.environ.get("TARNWICK_BINARY", "")
    if not binary or not os.access(binary, os.X_OK):
        raise RuntimeError(f"no tarnwick binary at TARNWICK_BINARY={binary!r}")
    return binary


def tarnwick_env(root, home, path):
    """The environment of a tarnwick run kept inside `root`: data folder `home`, settings store,
    runtime folder and XDG data below root, PATH only `path` (no desktop programs), UTC."""
    return dict(os.environ, TARNWICK_HOME=home,
                XDG_CONFIG_HOME=os.path.join(root, "config"),
                XDG_RUNTIME_DIR=os.path.join(root, "run"),
                XDG_DATA_HOME=os.path.join(root, "data"),
                PATH=path, TZ="UTC")


def wait_for_window_program(test, process, stderr_path, condition, what, limit=120):
    """Waits until `condition()` holds for a run of the window program; `test` skips when the
    program was built without the window (the ThreadSanitizer build) and fails when the program
    ended first or `limit` seconds passed (a failsafe against a hang, not a measure of speed)."""
    deadline = time.time() + limit
    while time.time() < deadline:
        if condition():
            return
        with open(stderr_path, encoding="utf-8", errors="replace") as f:
            if "running the check cycle in this terminal" in f.read():
                test.skipTest("this tarnwick was built without the window")
        if process.poll() is not None:
            test.fail(f"tarnwick ended ({process.returncode}) before {what}")
        time.sleep(0.05)
    test.fail(f"no {what}")
