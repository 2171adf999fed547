"""A server of the tests' own on 127.0.0.1 (stdlib only) that answers every path with a page
holding a link record of its own, after enough bytes to outgrow a short link list. It is sent as
a download (application/octet-stream, so no file type check stops it) and without
Last-Modified: a client that cannot judge by time compares and takes the page. Every request is
recorded."""
import http.server
import threading

from localweb import free_port

INJECTED_NAME = "INJECTED"
INJECTED_ADDRESS = "http://127.0.0.1:9/payload"
PAGE = ("<html><body>" + "x" * 8192 + "</body></html>\r\n"
        "\t//{{TOP\r\nDest: payload.html\r\n"
        f"Targ: {INJECTED_ADDRESS}\r\nName: {INJECTED_NAME}\r\n\tEND}}}}//\r\n").encode("ascii")


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def _answer(self, body):
        self.server.owner.record(self.command, self.path)
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(PAGE)))
        self.end_headers()
        if body:
            self.wfile.write(PAGE)

    def do_GET(self):
        self._answer(True)

    def do_HEAD(self):
        self._answer(False)

    def log_message(self, *args):
        pass


class InjectingServer:
    def __init__(self):
        self.port = free_port()
        self.requests = []
        self._lock = threading.Lock()
        http.server.ThreadingHTTPServer.allow_reuse_address = True
        self._server = http.server.ThreadingHTTPServer(("127.0.0.1", self.port), _Handler)
        self._server.daemon_threads = True
        self._server.owner = self
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()

    def url(self, name):
        return f"http://127.0.0.1:{self.port}/{name}"

    def record(self, method, path):
        with self._lock:
            self.requests.append((method, path))

    def seen(self):
        with self._lock:
            return list(self.requests)

    def stop(self):
        self._server.shutdown()
        self._server.server_close()
