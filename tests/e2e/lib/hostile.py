"""A misbehaving HTTP server of the tests' own on 127.0.0.1 (stdlib only), one thread per
connection. Each path is one misbehaviour; every request is recorded with its headers so that a
test can tell what reached which server."""
import socket
import socketserver
import threading
import time

from localweb import free_port

PAGE = b"<html><body>plain page</body></html>"


class _Handler(socketserver.BaseRequestHandler):
    def handle(self):
        server = self.server.owner
        data = b""
        self.request.settimeout(30)
        try:
            while b"\r\n\r\n" not in data:
                chunk = self.request.recv(4096)
                if not chunk:
                    return
                data += chunk
        except OSError:
            return
        head = data.split(b"\r\n\r\n", 1)[0].decode("latin-1")
        lines = head.split("\r\n")
        method, path = lines[0].split(" ")[:2]
        headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers[name.strip().lower()] = value.strip()
        server.record(method, path, headers)
        try:
            server.answer(self.request, method, path)
        except OSError:
            pass  # the client gave up, which is what most of these paths are for


class HostileServer:
    """`other` is the server a cross-origin redirect leads to (may be None). `drip_gap` is the
    time between two bytes of /drip.html; `trickle_rate` the bytes a second of /trickle.html.
    `pages` maps further paths to (Content-Type, body bytes) served as they are."""

    def __init__(self, other=None, drip_gap=2.0, trickle_rate=1200, pages=None):
        self.port = free_port()
        self.other = other
        self.drip_gap = drip_gap
        self.trickle_rate = trickle_rate
        self.pages = dict(pages or {})
        self.requests = []
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        socketserver.ThreadingTCPServer.allow_reuse_address = True
        self._server = socketserver.ThreadingTCPServer(("127.0.0.1", self.port), _Handler)
        self._server.daemon_threads = True
        self._server.owner = self
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()

    def url(self, name):
        return f"http://127.0.0.1:{self.port}/{name}"

    def record(self, method, path, headers):
        with self._lock:
            self.requests.append((method, path, headers))

    def seen(self, path=None):
        with self._lock:
            return [r for r in self.requests if path is None or r[1] == path]

    def stop(self):
        self._stopping.set()
        self._server.shutdown()
        self._server.server_close()

    def answer(self, sock, method, path):
        def send(text):
            sock.sendall(text if isinstance(text, bytes) else text.encode("latin-1"))

        body = b"" if method == "HEAD" else PAGE
        ok = ("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n"
              f"Content-Length: {len(PAGE)}\r\nConnection: close\r\n\r\n")
        if path == "/endless.html":
            send("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n\r\n")
            block = b"<p>endless</p>" * 4096
            while not self._stopping.is_set():
                send(block)
        elif path == "/trickle.html":
            # A steady body just above the low-speed limit: it never stalls and never ends soon
            # (10 MB). What is sent follows the clock, so a busy machine cannot slow it below the
            # rate.
            send("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 10000000\r\n"
                 "Connection: close\r\n\r\n")
            start = time.monotonic()
            sent = 0
            while not self._stopping.wait(0.1):
                owed = int((time.monotonic() - start) * self.trickle_rate) - sent
                send(b"t" * owed)
                sent += owed
        elif path in self.pages:
            content_type, page = self.pages[path]
            send(f"HTTP/1.1 200 OK\r\nContent-Type: {content_type}\r\n"
                 f"Content-Length: {len(page)}\r\nConnection: close\r\n\r\n")
            send(b"" if method == "HEAD" else page)
        elif path == "/login.html" and self.other is not None:
            # The same file name on another server, which then asks for credentials.
            send(f"HTTP/1.1 302 Found\r\nLocation: {self.other.url('login.html')}\r\n"
                 "Content-Length: 0\r\nConnection: close\r\n\r\n")
        elif path == "/login.html":
            send("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"Other realm\"\r\n"
                 "Content-Length: 0\r\nConnection: close\r\n\r\n")
        elif path == "/drip.html":
            send("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 100000\r\n"
                 "Connection: close\r\n\r\n")
            while not self._stopping.wait(self.drip_gap):
                send(b"x")
        elif path == "/cut.html":
            send("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 10000\r\n"
                 "Connection: close\r\n\r\n")
            send(PAGE)
        elif path == "/huge.html":
            send("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nX-Huge: " + "h" * (1 << 20) +
                 f"\r\nContent-Length: {len(PAGE)}\r\n\r\n")
            send(PAGE)
        elif path == "/away.html" and self.other is not None:
            # Same file name on another server: the engine follows it without asking.
            send(f"HTTP/1.1 302 Found\r\nLocation: {self.other.url('away.html')}\r\n"
                 "Content-Length: 0\r\nConnection: close\r\n\r\n")
        elif path == "/cr.html":
            send("HTTP/1.1 302 Found\r\nLocation: /cr.html\rX-Injected: 1\r\n"
                 "Content-Length: 0\r\nConnection: close\r\n\r\n")
        elif path == "/nohead.html" and method == "HEAD":
            send("HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n"
                 "Connection: close\r\n\r\n")
        else:
            send(ok)
            send(body)
