"""Waits for a file to appear in a folder without polling: inotify through the C library."""
import ctypes
import ctypes.util
import os
import select
import struct
import time

_IN_CREATE = 0x00000100
_IN_MOVED_TO = 0x00000080
_IN_NONBLOCK = 0o4000
_IN_CLOEXEC = 0o2000000
_EVENT = struct.Struct("iIII")

_libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)


class FolderWatch:
    """Reports names created in (or moved into) `folder` from the moment it is made."""

    def __init__(self, folder):
        self.folder = folder
        self.fd = _libc.inotify_init1(_IN_NONBLOCK | _IN_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        if _libc.inotify_add_watch(self.fd, os.fsencode(folder), _IN_CREATE | _IN_MOVED_TO) < 0:
            err = ctypes.get_errno()
            os.close(self.fd)
            raise OSError(err, "inotify_add_watch", folder)

    def close(self):
        os.close(self.fd)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def wait_for(self, prefix, deadline):
        """True as soon as a name starting with `prefix` is in the folder; False at the deadline."""
        # The watch is in place before this look, so a file made in between is not missed.
        if any(name.startswith(prefix) for name in os.listdir(self.folder)):
            return True
        while True:
            left = deadline - time.time()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                return False
            data = os.read(self.fd, 65536)
            offset = 0
            while offset < len(data):
                _, _, _, length = _EVENT.unpack_from(data, offset)
                offset += _EVENT.size
                name = data[offset:offset + length].rstrip(b"\0").decode(errors="replace")
                offset += length
                if name.startswith(prefix):
                    return True
