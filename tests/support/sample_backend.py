#!/usr/bin/env python3
"""A sample plugin-center backend for tests, demos and benchmarks (standard library only).

It serves a release folder made by release_builder.py:

  GET /v3/installer/latest            {"code": 0, "msg": "success", "data": release.json}
  GET <downloadZipUrl>                package.zip (default /v3/installer/download/zip)
  GET <blobDownloadUrlPrefix><sha256> blobs/<sha256> (default /v3/installer/download/blob/)

and a few generated routes that need no release:

  /_test/bytes/N          N bytes of a fixed pattern (byte i is i % 251), with Content-Length
  /_test/nolength/N       the same without Content-Length (the connection end delimits it)
  /_test/cut/N/M          announces N bytes, closes the connection at byte M, every time
  /_test/once/K/N/M       the first request with key K breaks off at byte M (after holding the
                          connection ?stall=MS milliseconds), later ones serve all N bytes;
                          ?range=ignore answers 200 to a Range, ?range=shifted a 206 from 0
  /_test/status/CODE      answers with that status code
  /_test/slow/N/MS        N pattern bytes in 64 KiB pieces, MS milliseconds apart
  /_test/empty            200 with an empty body
  /_test/redirect?to=L    302 (or ?status=) to Location L; /_test/loop redirects to itself
  /_test/echo             JSON: the request path with its query, the User-Agent and headers

Files and the pattern routes answer `Range: bytes=N-` with 206 and Content-Range (416 past
the end). Every request is logged (in memory and, when a log file is given, as one JSON line
per request, written before the answer; "range" holds a Range header); `bytes_sent` counts
body bytes. Faults make chosen routes misbehave:

  status          answer with status (default 404) and no body            (route: any)
  error_envelope  {"code": code, "msg": msg} (data only with with_data)    (route: latest)
  wrong_types     release data with fields replaced, e.g. versionCode 142 (route: latest)
  not_json        a body that is not JSON                                 (route: latest)
  body            any body (str, bytes or a JSON value) with status 200   (route: latest)
  wrong_digest    the file with its last byte changed                     (route: package)
  no_length       the file without Content-Length                         (route: package)
  truncate        Content-Length of the whole file, the connection closed at byte `keep`,
                  every time, ranges included                             (route: package)
  cut_once        like truncate, once (holding the connection `stall` s first), then spent
                                                                          (route: package)
  no_range        Range ignored: the whole file with 200                  (route: package)
  slow            the file in `chunk`-byte pieces, `delay` seconds apart  (route: package)
  redirect        answer `status` (default 302) with the header Location: `location`
                                                                          (route: any)
  latency         wait `delay` seconds (default 0.05) before answering; adds to any other
                  fault                                                   (route: any)

A route is "latest", "package", "blob", "any", an exact path, or a prefix ending in "*".

Python:
    with SampleBackend(release_dir, log_path=...) as backend:
        backend.fail("truncate", keep=100)
        ... backend.origin ... backend.request_paths() ...

Command line (runs until SIGINT/SIGTERM; prints the port on its first line):
    sample_backend.py --release DIR [--port 0] [--port-file F] [--log F]
                      [--fault KIND[@ROUTE][,key=value]...]... [--tls-cert C --tls-key K]
"""

import argparse
import http.server
import json
import os
import signal
import socket
import ssl
import sys
import threading
import time
import urllib.parse

if __package__ in (None, ""):
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import release_builder  # noqa: E402

LATEST_PATH = "/v3/installer/latest"
_PATTERN_BLOCK = bytes(i % 251 for i in range(251 * 4177))  # ~1 MiB, a whole number of periods
_DEFAULT_ROUTES = {
    "status": "any",
    "error_envelope": "latest",
    "wrong_types": "latest",
    "not_json": "latest",
    "body": "latest",
    "wrong_digest": "package",
    "no_length": "package",
    "truncate": "package",
    "cut_once": "package",
    "no_range": "package",
    "slow": "package",
    "redirect": "any",
    "latency": "any",
}


def pattern_bytes(count, offset=0):
    """The bytes /_test/bytes/N serves, for checking downloads."""
    return bytes((offset + i) % 251 for i in range(count))


class Fault:
    def __init__(self, kind, route=None, **params):
        if kind not in _DEFAULT_ROUTES:
            raise ValueError("unknown fault: " + kind)
        self.kind = kind
        self.route = route or _DEFAULT_ROUTES[kind]
        self.params = params


class _Handler(http.server.BaseHTTPRequestHandler):
    server_version = "KelSampleBackend/1.0"
    protocol_version = "HTTP/1.0"

    def log_message(self, fmt, *args):  # quiet: the request log is ours
        pass

    def do_GET(self):
        backend = self.server.backend
        backend._record(self)
        try:
            backend._serve(self)
        except (BrokenPipeError, ConnectionResetError, ConnectionAbortedError):
            pass

    def do_HEAD(self):
        self.do_GET()

    # Helpers used by the backend.
    def send_bytes(self, status, data, content_type="application/octet-stream",
                   length=True):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        if length:
            self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)

    def send_json(self, value, status=200):
        data = json.dumps(value, ensure_ascii=False).encode("utf-8")
        self.send_bytes(status, data, "application/json; charset=utf-8")


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


class SampleBackend:
    def __init__(self, release_dir=None, log_path=None, host="127.0.0.1", port=0,
                 tls_cert=None, tls_key=None):
        self.release_dir = release_dir
        self.log_path = log_path
        self.faults = []
        self._log = []
        self._lock = threading.Lock()
        self._server = _Server((host, port), _Handler)
        self._server.backend = self
        self.tls = bool(tls_cert)
        if self.tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(tls_cert, tls_key)
            self._server.socket = context.wrap_socket(self._server.socket, server_side=True)
        self.host = host
        self.port = self._server.server_address[1]
        self._thread = None
        self.bytes_sent = 0
        self._spent_keys = set()
        # Optional hook called with (route, path) before a request is answered, on the
        # server's thread: lets a test pace or hold particular requests.
        self.on_request = None

    # Life cycle.
    @property
    def origin(self):
        return "%s://%s:%d" % ("https" if self.tls else "http", self.host, self.port)

    def start(self):
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()
        return self

    def stop(self):
        if self._thread is not None:
            self._server.shutdown()
            self._thread.join()
            self._thread = None
        self._server.server_close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # Faults.
    def fail(self, kind, route=None, **params):
        fault = Fault(kind, route, **params)
        with self._lock:
            self.faults.append(fault)
        return fault

    def clear_faults(self):
        with self._lock:
            self.faults = []

    # The request log.
    def requests(self):
        with self._lock:
            return list(self._log)

    def request_paths(self):
        return [entry["path"] for entry in self.requests()]

    def clear_log(self):
        with self._lock:
            self._log = []

    def _record(self, handler):
        entry = {
            "time": time.time(),
            "method": handler.command,
            "path": handler.path,
            "userAgent": handler.headers.get("User-Agent", ""),
        }
        if handler.headers.get("Range") is not None:
            entry["range"] = handler.headers.get("Range")
        with self._lock:
            self._log.append(entry)
            if self.log_path:
                with open(self.log_path, "a", encoding="utf-8") as stream:
                    stream.write(json.dumps(entry, ensure_ascii=False) + "\n")

    # Routing.
    def _release(self):
        if not self.release_dir:
            return None
        try:
            return release_builder.load_release(self.release_dir)
        except (OSError, ValueError):
            return None

    def _route_of(self, path, release):
        if path == LATEST_PATH:
            return "latest"
        zip_path = (release or {}).get("downloadZipUrl", release_builder.DEFAULT_ZIP_PATH)
        prefix = (release or {}).get("blobDownloadUrlPrefix", release_builder.DEFAULT_BLOB_PREFIX)
        if isinstance(zip_path, str) and path == zip_path:
            return "package"
        if isinstance(prefix, str) and prefix and path.startswith(prefix):
            return "blob"
        return None

    @staticmethod
    def _matches(fault, path, route):
        wanted = fault.route
        return (wanted == "any" or wanted == route or wanted == path
                or (wanted.endswith("*") and path.startswith(wanted[:-1])))

    def _latency(self, path, route):
        with self._lock:
            delays = [float(f.params.get("delay", 0.05)) for f in self.faults
                      if f.kind == "latency" and self._matches(f, path, route)]
        if delays:
            time.sleep(sum(delays))

    def _fault_for(self, path, route):
        with self._lock:
            for fault in reversed(self.faults):
                if fault.kind != "latency" and self._matches(fault, path, route):
                    if fault.kind == "cut_once":
                        self.faults.remove(fault)  # spent: the retry is served normally
                    return fault
        return None

    def _first_use(self, key):
        with self._lock:
            if key in self._spent_keys:
                return False
            self._spent_keys.add(key)
            return True

    def _count_sent(self, count):
        with self._lock:
            self.bytes_sent += count

    def _serve(self, handler):
        parsed = urllib.parse.urlsplit(handler.path)
        path = urllib.parse.unquote(parsed.path)
        release = self._release()
        route = None if path.startswith("/_test/") else self._route_of(path, release)
        self._latency(path, route)
        if path.startswith("/_test/"):
            return self._serve_test_route(handler, path,
                                          urllib.parse.parse_qs(parsed.query))
        if self.on_request is not None:
            self.on_request(route, path)
        fault = self._fault_for(path, route)
        if fault is not None and fault.kind == "status":
            return handler.send_bytes(int(fault.params.get("status", 404)), b"")
        if fault is not None and fault.kind == "redirect":
            return self._send_redirect(handler, fault)
        if route == "latest":
            return self._serve_latest(handler, release, fault)
        if route == "package":
            return self._serve_file(handler, os.path.join(self.release_dir,
                                                          release_builder.PACKAGE_ZIP), fault)
        if route == "blob":
            prefix = release.get("blobDownloadUrlPrefix", release_builder.DEFAULT_BLOB_PREFIX)
            digest = path[len(prefix):]
            if len(digest) != 64 or any(c not in "0123456789abcdef" for c in digest):
                return handler.send_bytes(404, b"")
            return self._serve_file(handler, os.path.join(
                self.release_dir, release_builder.BLOBS_DIR, digest), fault)
        return handler.send_bytes(404, b"")

    @staticmethod
    def _send_redirect(handler, fault):
        handler.send_response(int(fault.params.get("status", 302)))
        handler.send_header("Location", fault.params.get("location", "/"))
        handler.send_header("Content-Length", "0")
        handler.end_headers()

    def _serve_latest(self, handler, release, fault):
        kind = fault.kind if fault else None
        if kind == "not_json":
            body = fault.params.get("body", "<html><body>502 Bad Gateway</body></html>")
            return handler.send_bytes(200, body.encode("utf-8"), "text/html")
        if kind == "body":
            body = fault.params.get("body", "")
            if isinstance(body, str):
                body = body.encode("utf-8")
            elif not isinstance(body, bytes):
                body = json.dumps(body, ensure_ascii=False).encode("utf-8")
            return handler.send_bytes(200, body, "application/json; charset=utf-8")
        if kind == "error_envelope":
            envelope = {"code": fault.params.get("code", 1001)}
            if "msg" in fault.params or "code" not in fault.params:
                envelope["msg"] = fault.params.get("msg", "暂无可用版本")
            if fault.params.get("with_data"):
                envelope["data"] = release or {}
            return handler.send_json(envelope)
        if release is None:
            return handler.send_json({"code": 404, "msg": "no release"})
        data = dict(release)
        if kind == "wrong_types":
            data.update(fault.params.get("fields", {"versionCode": 142,
                                                    "fileSizeBytes": "many"}))
        return handler.send_json({"code": 0, "msg": "success", "data": data})

    def _serve_file(self, handler, path, fault):
        if not os.path.isfile(path):
            return handler.send_bytes(404, b"")
        size = os.path.getsize(path)
        kind = fault.kind if fault else None
        if kind == "wrong_digest":
            with open(path, "rb") as stream:
                data = bytearray(stream.read())
            if data:
                data[-1] ^= 0xFF
            else:
                data = bytearray(b"x")
            return handler.send_bytes(200, bytes(data))
        with open(path, "rb") as stream:
            self._stream(handler, size, stream, fault)

    @staticmethod
    def _range_start(handler):
        """N of "Range: bytes=N-" or "bytes=N-M" (the end is ignored: the rest is sent)."""
        value = handler.headers.get("Range", "")
        unit, _, spec = value.partition("=")
        start = spec.split("-", 1)[0].strip()
        if unit.strip().lower() != "bytes" or "," in spec or not start.isdigit():
            return None
        return int(start)

    def _stream(self, handler, size, source, fault, ranges="honour"):
        """Sends size bytes read from source (read(count), seek(offset)), shaped by the fault;
        ranges is "honour", "ignore" or "shifted" (206 from byte 0 whatever was asked)."""
        kind = fault.kind if fault else None
        start = self._range_start(handler)
        if kind in ("no_range", "no_length") or ranges == "ignore":
            start = None
        elif start is not None and ranges == "shifted":
            start = 0
        if start is not None and start >= size:
            handler.send_response(416)
            handler.send_header("Content-Range", "bytes */%d" % size)
            handler.send_header("Content-Length", "0")
            handler.end_headers()
            return
        offset = start or 0
        handler.send_response(200 if start is None else 206)
        handler.send_header("Content-Type", "application/octet-stream")
        if start is not None:
            handler.send_header("Content-Range", "bytes %d-%d/%d" % (start, size - 1, size))
        if kind != "no_length":
            handler.send_header("Content-Length", str(size - offset))
        handler.end_headers()
        if handler.command == "HEAD":
            return
        source.seek(offset)
        end = size
        chunk = 1 << 20
        delay = 0.0
        cut = kind in ("truncate", "cut_once")
        if cut:
            end = max(offset, min(size, int(fault.params.get("keep", size // 2))))
        if kind == "slow":
            chunk = int(fault.params.get("chunk", 65536))
            delay = float(fault.params.get("delay", 0.05))
        sent = 0
        while offset + sent < end:
            block = source.read(min(chunk, end - offset - sent))
            if not block:
                break
            self._count_sent(len(block))  # before the peer can see it
            handler.wfile.write(block)
            sent += len(block)
            if delay:
                handler.wfile.flush()
                time.sleep(delay)
        handler.wfile.flush()
        if cut:
            stall = float(fault.params.get("stall", 0))
            if stall:
                time.sleep(stall)
            # Closing early is the whole point: make sure the peer sees the end now.
            handler.close_connection = True
            try:
                handler.connection.shutdown(socket.SHUT_WR)
            except OSError:
                pass

    def _serve_test_route(self, handler, path, query):
        parts = [p for p in path.split("/") if p][1:]
        name, args = (parts[0] if parts else ""), parts[1:]
        try:
            numbers = [int(a) for a in args]
        except ValueError:
            return handler.send_bytes(400, b"")
        if name == "echo":
            headers = {k: v for k, v in handler.headers.items()}
            return handler.send_json({"path": handler.path,
                                      "userAgent": handler.headers.get("User-Agent", ""),
                                      "headers": headers})
        if name == "empty":
            return handler.send_bytes(200, b"")
        if name == "loop":
            return self._send_redirect(handler, Fault("redirect", location="/_test/loop"))
        if name == "redirect":
            return self._send_redirect(handler, Fault(
                "redirect", location=query.get("to", ["/"])[0],
                status=query.get("status", ["302"])[0]))
        if name == "status" and len(numbers) == 1:
            return handler.send_bytes(numbers[0], b"error page")
        if name == "once" and len(numbers) == 3:
            key, size, keep = numbers
            ranges = query.get("range", ["honour"])[0]
            fault = None
            if self._first_use(key):
                stall = int(query.get("stall", ["0"])[0]) / 1000.0
                fault = Fault("cut_once", keep=keep, stall=stall)
            return self._stream(handler, size, _PatternReader(), fault, ranges)
        if name in ("bytes", "nolength", "cut", "slow") and numbers:
            size = numbers[0]
            fault = None
            if name == "nolength":
                fault = Fault("no_length")
            elif name == "cut" and len(numbers) == 2:
                fault = Fault("truncate", keep=numbers[1])
            elif name == "slow" and len(numbers) == 2:
                fault = Fault("slow", chunk=65536, delay=numbers[1] / 1000.0)
            return self._stream(handler, size, _PatternReader(), fault)
        return handler.send_bytes(404, b"")


class _PatternReader:
    """Reads the endless i % 251 pattern in blocks, cheaply for large sizes."""

    def __init__(self):
        self.offset = 0

    def seek(self, offset):
        self.offset = offset

    def read(self, count):
        start = self.offset % 251
        out = bytearray()
        while len(out) < count:
            piece = _PATTERN_BLOCK[start:start + (count - len(out))]
            out += piece
            start = 0
        self.offset += count
        return bytes(out)


def parse_fault(text):
    """KIND[@ROUTE][,key=value]... (values that look like numbers become numbers)."""
    head, *pairs = text.split(",")
    kind, _, route = head.partition("@")
    params = {}
    for pair in pairs:
        key, _, value = pair.partition("=")
        for convert in (int, float):
            try:
                value = convert(value)
                break
            except ValueError:
                continue
        params[key] = value
    return Fault(kind, route or None, **params)


def main(argv=None):
    parser = argparse.ArgumentParser(description="Sample plugin-center backend.")
    parser.add_argument("--release", help="release folder made by release_builder.py")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--port-file", help="write the port number here once listening")
    parser.add_argument("--log", help="append one JSON line per request to this file")
    parser.add_argument("--fault", action="append", default=[], help="KIND[@ROUTE][,k=v]...")
    parser.add_argument("--tls-cert")
    parser.add_argument("--tls-key")
    args = parser.parse_args(argv)
    backend = SampleBackend(args.release, args.log, args.host, args.port, args.tls_cert,
                            args.tls_key)
    for text in args.fault:
        fault = parse_fault(text)
        backend.fail(fault.kind, fault.route, **fault.params)
    stop = threading.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: stop.set())
    backend.start()
    if args.port_file:
        temporary = args.port_file + ".tmp"
        with open(temporary, "w") as stream:
            stream.write("%d\n" % backend.port)
        os.replace(temporary, args.port_file)
    print(backend.port, flush=True)
    stop.wait()
    backend.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
