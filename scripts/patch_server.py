#!/usr/bin/env python3
"""Demo and test patch server: serves a folder over HTTP/1.1 as the launcher expects
("/patch/manifest.json", "/patch/<path>") and misbehaves on demand.

Usage: patch_server.py --root FOLDER [--bind 127.0.0.1] [--port 80]
                       [--prefix /patch/] [--log FILE] [--rate BYTES_PER_S]
                       [--tls CERT_AND_KEY.pem]

With --tls it speaks HTTPS with the certificate chain and key in that file.

URL "<prefix><path>" answers with FOLDER/<path> (percent-decoded as UTF-8);
anything outside the prefix, or missing, is a 404 page. Connections are kept
alive between answers. A "Range: bytes=N-" (or "bytes=N-M") request gets a 206 with the rest of
the file (or bytes N to M); several ranges ("bytes=N-M,P-Q") get a multipart/byteranges 206. With --log, the log file is created once the server listens (wait
for it to know the server is up) and every request path is appended to it, one
a line, followed by " bytes=N-" for a range request (LOG.times: the same
lines after the seconds since the server started; LOG.headers: the same
lines with the request's Cache-Control and Accept-Encoding, "-" for none); LOG.stats holds the
connections accepted, the body bytes sent so far and the most requests
being answered at once ("connections N sent M peak P"), counted afresh from
the first request after the log was removed.

A request chooses its behaviour with path segments that start with "~"
(they are removed before the file is looked up), or with a file "<name>.how"
beside the served file holding the same directives, one per line:

  ~chunked           no Content-Length; chunked transfer encoding
  ~chunks=300.300.400  send the body in these pieces, pausing between them
  ~pause=MS          the pause between pieces (default 150)
  ~delay=MS          wait this long after the headers before the body
  ~rtt=MS            wait this long before answering at all (a far server)
  ~status=404        answer with this status and an error page instead
  ~page=json         the error page is JSON (default HTML)
  ~short=N           announce the whole length, send N bytes fewer, close
  ~long=N            announce the whole length, send N extra bytes
  ~drip=MS           send 64-byte pieces with MS between them
  ~stall=N           send N bytes, then hold the connection open until killed
  ~reset=N           send N bytes, then reset the connection
  ~endless           chunked body that never ends
  ~silent            read the request, never answer
  ~piece=N           the piece size of ~drip (default 64)
  ~first=K           misbehave only for the first K requests of this file (~rtt and ~nomulti stay)
  ~retryafter=S      a Retry-After header on a ~status answer
  ~html              answer with Content-Type text/html (default application/octet-stream)
  ~norange           ignore Range: answer 200 with the whole file
  ~nomulti           answer a request for several ranges with 200 and the whole file
  ~badmulti          a multipart answer whose parts each hold one byte more than stated
  ~drop              read the request, reset the connection without an answer
  ~from=K            misbehave only from this file's K-th request on (with first, a window)
  ~badrange          answer Range with a 206 whose Content-Range is off by one
  ~rangelie          answer Range with a 206 as asked, but every byte of it wrong
  redirect=PATH      (in a .how file) answer 302 with Location: PATH

"""
import argparse
import os
import socket
import socketserver
import ssl
import struct
import sys
import threading
import time
import urllib.parse


# Directives after which the connection is closed.
CLOSING = {"short", "long", "reset", "stall", "endless", "silent"}


class Handler(socketserver.StreamRequestHandler):
    def setup(self):
        # On this connection's thread, so a slow or refused handshake holds up no other.
        if isinstance(self.request, ssl.SSLSocket):
            self.request.do_handshake()
        super().setup()

    def handle(self):
        self.server.count(connections=1)
        while self.handle_one():
            pass

    def handle_one(self):
        """Answers one request; True when the connection stays open."""
        line = self.rfile.readline(65537).decode("latin-1").rstrip("\r\n")
        if not line:
            return False
        headers = {}
        while True:
            header = self.rfile.readline(65537)
            if header in (b"\r\n", b"\n", b""):
                break
            name, _, value = header.decode("latin-1").partition(":")
            headers[name.strip().lower()] = value.strip()
        parts = line.split(" ")
        if len(parts) != 3 or parts[0] != "GET":
            self.answer(400, b"bad request")
            return False
        wanted = headers.get("range", "")
        if self.server.log:
            with self.server.lock:
                line = parts[1] + (" " + wanted if wanted else "") + "\n"
                # A log removed starts a new count of the requests answered at
                # once; requests still held from before it (a stalled answer
                # of an earlier test) are not counted.
                if not os.path.exists(self.server.log):
                    self.server.counts["peak"] = self.server.counts["busy"] = 0
                    self.server.generation += 1
                    for kept in (".times", ".headers"):
                        if os.path.exists(self.server.log + kept):
                            os.unlink(self.server.log + kept)
                with open(self.server.log, "a", encoding="utf-8") as log:
                    log.write(line)
                with open(self.server.log + ".times", "a", encoding="utf-8") as log:
                    log.write("%.3f %s" % (time.monotonic() - self.server.started, line))
                with open(self.server.log + ".headers", "a", encoding="utf-8") as log:
                    log.write("%s cache-control=%s accept-encoding=%s\n" % (line.rstrip("\n"),
                              headers.get("cache-control", "-"), headers.get("accept-encoding", "-")))
        with self.server.lock:
            generation = self.server.generation
        self.server.count(busy=1)
        try:
            return self.answer_request(parts, wanted)
        finally:
            self.server.count(busy=-1 if generation == self.server.generation else 0)

    def answer_request(self, parts, wanted):
        raw_path = urllib.parse.unquote(parts[1].split("?", 1)[0], errors="surrogateescape")
        segments = raw_path.split("/")
        how = [s[1:] for s in segments if s.startswith("~")]
        plain = "/".join(s for s in segments if not s.startswith("~"))
        names = []
        if plain.startswith(self.server.prefix):
            names = [s for s in plain[len(self.server.prefix):].split("/") if s]
        # Nothing outside the root is ever served.
        if not names or any(n in (".", "..") for n in names):
            return self.answer(404, b"<html><body>Not Found</body></html>", "text/html")
        local = os.path.join(self.server.root, *names)
        if os.path.isfile(local + ".how"):
            with open(local + ".how", encoding="utf-8") as f:
                how += [l.strip().lstrip("~") for l in f if l.strip()]
        opts = {}
        for item in how:
            key, _, value = item.partition("=")
            opts[key] = value
        with self.server.lock:
            self.server.hits[local] = seen = self.server.hits.get(local, 0) + 1
        if ("first" in opts and seen > int(opts["first"])) or seen < int(opts.get("from", "0")):
            opts = {k: v for k, v in opts.items() if k in ("rtt", "nomulti")}
        if "rtt" in opts:
            time.sleep(int(opts["rtt"]) / 1000.0)
        if "silent" in opts:
            self.hold()
            return False
        if "drop" in opts:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            return False
        if "redirect" in opts:
            return self.answer(302, b"<html><body>Moved</body></html>", "text/html",
                               ["Location: " + opts["redirect"]])
        if "status" in opts:
            status = int(opts["status"])
            extra = []
            if "retryafter" in opts:
                extra.append("Retry-After: " + opts["retryafter"])
            if 300 <= status < 400:
                extra.append("Location: /elsewhere/" + names[-1])
            if opts.get("page") == "json":
                return self.answer(status, b'{"error": "not here", "files": []}', "application/json", extra)
            return self.answer(status, b"<html><body><h1>%d</h1></body></html>" % status, "text/html", extra)
        if "endless" in opts:
            self.head(200, None, close=True)
            piece = b"\0" * 65536
            try:
                while True:
                    self.chunk(piece)
            except OSError:
                return False
        if not os.path.isfile(local):
            return self.answer(404, b"<html><body>Not Found</body></html>", "text/html")
        with open(local, "rb") as f:
            body = f.read()
        self.send_body(body, opts, wanted)
        return not (CLOSING & opts.keys())

    def send_body(self, body, opts, wanted):
        chunked = "chunked" in opts
        kind = "text/html" if "html" in opts else "application/octet-stream"
        pause = int(opts.get("pause", "150")) / 1000.0
        close = bool(CLOSING & opts.keys())
        start, _, end = wanted[6:].partition("-") if wanted.startswith("bytes=") else ("", "", "")
        if "," in wanted and "norange" not in opts and "nomulti" not in opts:
            body = self.multipart(body, wanted[6:].split(","), opts, kind)
            self.head(206, None if chunked else len(body), "multipart/byteranges; boundary=BOUNDARY",
                      close=close)
        elif "," not in wanted and start.isdigit() and int(start) < len(body) and "norange" not in opts and (end == "" or end.isdigit()):
            first, size = int(start), len(body)
            last = min(int(end), size - 1) if end else size - 1
            body = body[first:last + 1]
            if "rangelie" in opts:
                body = bytes(b ^ 0x5A for b in body)
            if "badrange" in opts:
                last += 1
            extra = ["Content-Range: bytes %d-%d/%d" % (first, last, size)]
            self.head(206, None if chunked else len(body), kind, extra=extra, close=close)
        else:
            self.head(200, None if chunked else len(body), kind, close=close)
        if "short" in opts:
            body = body[: max(0, len(body) - int(opts["short"]))]
        if "long" in opts:
            body = body + b"X" * int(opts["long"])
        pieces = []
        if "chunks" in opts:
            sizes = [int(s) for s in opts["chunks"].split(".") if s]
            at = 0
            for size in sizes:
                pieces.append(body[at : at + size])
                at += size
            if at < len(body):
                pieces.append(body[at:])
        elif "drip" in opts:
            pause = int(opts["drip"]) / 1000.0
            step = int(opts.get("piece", "64"))
            pieces = [body[i : i + step] for i in range(0, len(body), step)]
        else:
            pieces = [body[i : i + 65536] for i in range(0, len(body), 65536)]
        rate = self.server.rate
        cut = None
        if "reset" in opts:
            cut = ("reset", int(opts["reset"]))
        elif "stall" in opts:
            cut = ("stall", int(opts["stall"]))
        sent = 0
        try:
            if "delay" in opts:
                time.sleep(int(opts["delay"]) / 1000.0)
            for index, piece in enumerate(pieces):
                if cut and sent + len(piece) >= cut[1]:
                    piece = piece[: cut[1] - sent]
                    self.send(piece, chunked)
                    self.wfile.flush()
                    self.cut_off(cut[0])
                    return
                if index and ("chunks" in opts or "drip" in opts):
                    time.sleep(pause)
                elif index and rate:
                    time.sleep(len(piece) / rate)
                self.send(piece, chunked)
                sent += len(piece)
            if cut:
                self.cut_off(cut[0])
                return
            if chunked:
                self.wfile.write(b"0\r\n\r\n")
                self.wfile.flush()
        except OSError:
            pass

    @staticmethod
    def multipart(body, ranges, opts, kind):
        """The parts of a multi-range answer, misbehaving as the range answers do."""
        out = b""
        for item in ranges:
            first, last = (int(v) for v in item.split("-"))
            part = body[first:last + 2 if "badmulti" in opts else last + 1]
            if "rangelie" in opts:
                part = bytes(b ^ 0x5A for b in part)
            shown = last + 1 if "badrange" in opts else last
            out += b"\r\n--BOUNDARY\r\nContent-Type: %s\r\nContent-Range: bytes %d-%d/%d\r\n\r\n%s" % (
                kind.encode(), first, shown, len(body), part)
        return out + b"\r\n--BOUNDARY--\r\n"

    def cut_off(self, how):
        if how == "reset":
            # Long enough for the client to read what was sent: a reset
            # discards whatever it has not read yet.
            time.sleep(0.3)
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            return
        self.hold()

    def hold(self):
        self.server.count()  # what was sent before the hold is saved now
        while not self.server.stopping.wait(0.5):
            pass

    def send(self, piece, chunked):
        if chunked:
            self.chunk(piece)
        else:
            self.wfile.write(piece)
            self.wfile.flush()
        self.server.count(sent=len(piece), save=False)

    def chunk(self, piece):
        if piece:
            self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            self.wfile.flush()

    def head(self, status, length, kind="application/octet-stream", extra=(), close=False):
        reason = {200: "OK", 206: "Partial Content", 302: "Found", 400: "Bad Request", 404: "Not Found",
                  500: "Internal Server Error", 503: "Service Unavailable"}
        lines = ["HTTP/1.1 %d %s" % (status, reason.get(status, "Status")), "Content-Type: " + kind]
        lines += list(extra) + (["Connection: close"] if close else [])
        lines.append("Content-Length: %d" % length if length is not None else "Transfer-Encoding: chunked")
        self.wfile.write(("\r\n".join(lines) + "\r\n\r\n").encode("ascii"))
        self.wfile.flush()

    def answer(self, status, body, kind="text/plain", extra=()):
        """An error page; True (the connection stays open) unless sending failed."""
        try:
            self.head(status, len(body), kind, extra)
            self.wfile.write(body)
            self.wfile.flush()
            return True
        except OSError:
            return False


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, root, prefix="/patch/", log=None, rate=0, tls=None):
        super().__init__(address, Handler)
        self.tls = None
        if tls:
            self.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.tls.load_cert_chain(tls)
        self.root = root
        self.prefix = prefix if prefix.endswith("/") else prefix + "/"
        self.log = log
        self.rate = rate
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self.hits = {}
        self.counts = {"connections": 0, "sent": 0, "busy": 0, "peak": 0}
        self.generation = 0
        self.started = time.monotonic()
        self.socket.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def count(self, save=True, **more):
        """Adds to the counts; they are saved when a connection or a request begins or ends
        (and so are right once every answer is over), not for every piece sent."""
        with self.lock:
            for key, value in more.items():
                self.counts[key] += value
            self.counts["peak"] = max(self.counts["peak"], self.counts["busy"])
            if self.log and save:
                with open(self.log + ".stats", "w") as f:
                    f.write("connections %(connections)d sent %(sent)d peak %(peak)d\n" % self.counts)

    def get_request(self):
        conn, addr = super().get_request()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if self.tls:
            conn = self.tls.wrap_socket(conn, server_side=True, do_handshake_on_connect=False)
        return conn, addr

    def handle_error(self, request, client_address):
        # A client refusing the certificate is what the TLS tests expect.
        if not isinstance(sys.exc_info()[1], (ssl.SSLError, ConnectionError)):
            super().handle_error(request, client_address)


def start(root, address="127.0.0.1", port=80, prefix="/patch/", log=None, tls=None):
    """Starts a server on a thread; returns it (call .shutdown() to stop)."""
    server = Server((address, port), root, prefix, log, tls=tls)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True, help="the folder served under the prefix")
    parser.add_argument("--bind", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=80)
    parser.add_argument("--prefix", default="/patch/", help="URL path of the root (default /patch/)")
    parser.add_argument("--log", help="request log; created once the server listens")
    parser.add_argument("--rate", type=float, default=0, help="bytes a second per answer (0: no limit)")
    parser.add_argument("--tls", help="PEM file with the certificate chain and key: serve HTTPS")
    args = parser.parse_args()
    log = os.path.abspath(args.log) if args.log else None
    server = Server((args.bind, args.port), os.path.abspath(args.root), args.prefix, log, args.rate,
                    args.tls)
    if log:
        open(log, "a").close()
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.stopping.set()


if __name__ == "__main__":
    sys.exit(main())
