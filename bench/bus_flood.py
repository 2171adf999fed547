#!/usr/bin/env python3
"""The window under a flood of "brlHelper->Tarnwick" messages on the message bus.

Runs each given tarnwick on Qt's offscreen platform with a data folder of its own, floods its
bus socket for S seconds from one sender (as fast as the socket takes them), then sends SIGTERM
and stops the flood. Prints, per binary: the datagrams the socket took, the resident memory
before the flood and at its peak (sampled every 50 ms, and the kernel's high-water mark), and
the time from SIGTERM to the end of the process (given up after the limit, then killed).

    bench/bus_flood.py [-s SECONDS] [-l LIMIT] BINARY [BINARY ...]
    e.g. bench/bus_flood.py -s 10 old/tarnwick build-bench/src/tarnwick

The binaries need the window (a build without -DTARNWICK_GUI=OFF).
"""
import argparse
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

MESSAGE = b"brlHelper->Tarnwick"
FAR = 4102444800  # 2100-01-01: an item that is never due during the run


def status_kb(pid, field):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except (FileNotFoundError, ProcessLookupError):
        pass
    return -1


def run(binary, seconds, limit):
    root = tempfile.mkdtemp(prefix="tw-bench-flood-")
    try:
        home = os.path.join(root, "home")
        os.makedirs(home)
        os.makedirs(os.path.join(root, "run"), mode=0o700)
        with open(os.path.join(home, "WatchList.twl"), "wb") as f:
            f.write("".join(line + "\r\n" for line in [
                "\t//{{TOP-W", "\t//{{TOP", "Targ: http://127.0.0.1:9/", "\tEND}}//",
                "Chec: once", "Timi: define", f"Date: {FAR}", "Time: 0", "\tEND-W}}//"]).encode())
        env = dict(os.environ, TARNWICK_HOME=home, XDG_CONFIG_HOME=os.path.join(root, "config"),
                   XDG_RUNTIME_DIR=os.path.join(root, "run"),
                   XDG_DATA_HOME=os.path.join(root, "data"), QT_QPA_PLATFORM="offscreen")
        process = subprocess.Popen([binary], env=env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        target = os.path.join(root, "run", "orvane", str(process.pid))
        state = os.path.join(root, "config", "Orvane", "Tarnwick", "State")
        deadline = time.time() + 60
        while not (os.path.exists(target) and os.path.exists(state)) and time.time() < deadline:
            time.sleep(0.05)
        time.sleep(1)  # the window settles
        before = status_kb(process.pid, "VmRSS")

        stop = threading.Event()
        sent = [0]

        def flood():
            with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as sender:
                sender.setblocking(False)
                while not stop.is_set():
                    try:
                        sender.sendto(MESSAGE, target)
                        sent[0] += 1
                    except BlockingIOError:
                        time.sleep(0)
                    except OSError:
                        return

        flooder = threading.Thread(target=flood)
        flooder.start()
        peak = before
        end = time.time() + seconds
        while time.time() < end:
            peak = max(peak, status_kb(process.pid, "VmRSS"))
            time.sleep(0.05)
        at_term = status_kb(process.pid, "VmRSS")
        high_water = status_kb(process.pid, "VmHWM")
        process.send_signal(signal.SIGTERM)
        term = time.time()
        stop.set()
        flooder.join()
        try:
            process.wait(timeout=limit)
            exit_s = f"{time.time() - term:.2f} s"
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            exit_s = f"> {limit} s (killed)"
        print(f"{binary}")
        print(f"  flood                 {seconds} s, {sent[0]} datagrams taken by the socket")
        print(f"  RSS before the flood  {before / 1024:.1f} MiB")
        print(f"  RSS peak (sampled)    {peak / 1024:.1f} MiB, at SIGTERM {at_term / 1024:.1f} MiB,"
              f" high-water mark {high_water / 1024:.1f} MiB")
        print(f"  SIGTERM to exit       {exit_s}")
    finally:
        shutil.rmtree(root, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("-s", "--seconds", type=float, default=10)
    parser.add_argument("-l", "--limit", type=float, default=300)
    parser.add_argument("binaries", nargs="+")
    args = parser.parse_args()
    for binary in args.binaries:
        run(binary, args.seconds, args.limit)


if __name__ == "__main__":
    main()
