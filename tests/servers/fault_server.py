#!/usr/bin/env python3
"""A loopback HTTP server that serves files from a folder and misbehaves on request.

    fault_server.py --root WWW --log FAULT.LOG --port-file PORTFILE [--lifetime SECONDS]

It listens on 127.0.0.1 on a port of the system's choosing and writes that port to PORTFILE.
The first path segment chooses the behaviour; the rest is the file's path under WWW:

    /<path>                         the file as it is (404 when missing)
    /status/<code>/<path>           answers <code> with a short text body
    /cut/<n>/<path>                 announces the whole length, sends n bytes, closes
    /extra/<n>/<path>               announces the file's length, sends the file and n bytes more, closes
    /extra-open/<n>/<path>          no Content-Length: sends the file and n bytes more, closes
    /wrong/<path>                   same length, one byte in the middle changed
    /slow/<bytes-per-second>/<path> the file, paced, with an ETag; a Range from a byte on is honoured
    /stall/<n>/<seconds>/<path>     announces the whole length, sends n bytes, is silent, closes
    /endless/<anything>             200 without a length, bytes until the client leaves (cap 256 MiB)
    /drop/<path>                    closes the connection without answering
    /cuts/<a,b,...>/<path>          answers Range (206, or 200 without one) and closes the connection
                                    when it reaches the next listed offset of the file
    /range200/<n>/<path>            without Range: cut after n bytes; with Range: 200 and the whole file
    /badrange/<n>/<path>            without Range: cut after n bytes; with Range: 206 whose
                                    Content-Range and bytes start one byte later than asked
    /cookie/<path>                  the file, with a Set-Cookie header
    /wrongrange/<path>              without Range: the file; with Range: 206 with the span asked for
                                    and its right Content-Range, one byte in its middle changed

The query never takes part in choosing the file. Every request is logged, before it is answered,
as one JSON line: {"server", "method", "target", "user_agent", "headers": [[name, value], ...]}.
The server ends by itself after --lifetime seconds (default two hours) if nobody stops it.
"""
import argparse
import http.server
import json
import os
import posixpath
import socket
import threading
import time
import urllib.parse
import zlib

ENDLESS_CAP = 256 << 20
CHUNK = 64 << 10


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "fault"
    sys_version = ""

    def log_message(self, fmt, *args):  # the JSON log replaces the default stderr lines
        pass

    def log_request_json(self):
        entry = {
            "server": "fault",
            "method": self.command,
            "target": self.path,
            "user_agent": self.headers.get("User-Agent", ""),
            "headers": [[k, v] for k, v in self.headers.items()],
        }
        line = json.dumps(entry, ensure_ascii=True) + "\n"
        with self.server.log_lock:
            with open(self.server.log_path, "a", encoding="ascii") as f:
                f.write(line)

    def file_bytes(self, rel):
        rel = urllib.parse.unquote(rel)
        norm = posixpath.normpath("/" + rel).lstrip("/")
        full = os.path.join(self.server.root, norm)
        if norm.startswith("..") or not os.path.isfile(full):
            return None
        with open(full, "rb") as f:
            return f.read()

    def head(self, code, length=None, close=False):
        self.send_response(code)
        self.send_header("Content-Type", "application/octet-stream")
        if length is not None:
            self.send_header("Content-Length", str(length))
        if close or length is None:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()

    def not_found(self):
        body = b"not found\n"
        self.head(404, len(body))
        self.wfile.write(body)

    def hard_close(self):
        self.wfile.flush()
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.close_connection = True

    def do_GET(self):
        self.log_request_json()
        path = urllib.parse.urlsplit(self.path).path
        parts = path.lstrip("/").split("/")
        try:
            self.dispatch(parts)
        except (BrokenPipeError, ConnectionResetError, ConnectionAbortedError):
            self.close_connection = True
        except ValueError:
            body = b"bad fault parameters\n"
            self.head(400, len(body))
            self.wfile.write(body)

    def dispatch(self, parts):
        kind = parts[0]
        if kind == "drop":
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            return
        if kind == "endless":
            self.head(200)
            block = bytes(range(256)) * (CHUNK // 256)
            sent = 0
            while sent < ENDLESS_CAP:
                self.wfile.write(block)
                sent += len(block)
            return
        if kind == "status":
            code = int(parts[1])
            body = ("status %d\n" % code).encode()
            self.head(code, len(body))
            self.wfile.write(body)
            return
        if kind in ("cuts", "range200", "badrange"):
            return self.ranged(kind, parts)
        if kind == "wrongrange":
            return self.wrong_range(parts[1:])
        if kind == "cookie":
            data = self.file_bytes("/".join(parts[1:]))
            if data is None:
                return self.not_found()
            self.send_response(200)
            self.send_header("Set-Cookie", "visit=%s; Path=/" % "-".join(parts[1:]))
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)
            return
        takes = {"cut": 1, "extra": 1, "extra-open": 1, "wrong": 0, "slow": 1, "stall": 2}
        if kind not in takes:
            data = self.file_bytes("/".join(parts))
            if data is None:
                return self.not_found()
            self.head(200, len(data))
            self.wfile.write(data)
            return
        args = [int(a) for a in parts[1:1 + takes[kind]]]
        data = self.file_bytes("/".join(parts[1 + takes[kind]:]))
        if data is None:
            return self.not_found()
        if kind == "cut":
            self.head(200, len(data), close=True)
            self.wfile.write(data[:args[0]])
            self.hard_close()
        elif kind == "extra":
            self.head(200, len(data), close=True)
            self.wfile.write(data + filler(args[0]))
            self.hard_close()
        elif kind == "extra-open":
            self.head(200)
            self.wfile.write(data + filler(args[0]))
            self.hard_close()
        elif kind == "wrong":
            if data:
                mid = len(data) // 2
                data = data[:mid] + bytes([data[mid] ^ 0x5A]) + data[mid + 1:]
            self.head(200, len(data))
            self.wfile.write(data)
        elif kind == "slow":
            # With a validator, and a Range from a byte on honoured while If-Range (if sent) matches it,
            # so a download stopped half-way can go on.
            rate = max(1, args[0])
            etag = '"%08x-%x"' % (zlib.crc32(data), len(data))
            asked = self.requested_range()
            start = 0
            if asked and asked[1] is None and asked[0] < len(data) and self.headers.get("If-Range", etag) == etag:
                start = asked[0]
                self.send_response(206)
                self.send_header("Content-Range", "bytes %d-%d/%d" % (start, len(data) - 1, len(data)))
            else:
                self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(len(data) - start))
            self.send_header("ETag", etag)
            self.end_headers()
            step = max(1, min(CHUNK, rate // 10))
            for at in range(start, len(data), step):
                self.wfile.write(data[at:at + step])
                self.wfile.flush()
                time.sleep(step / rate)
        elif kind == "stall":
            self.head(200, len(data), close=True)
            self.wfile.write(data[:args[0]])
            self.wfile.flush()
            time.sleep(min(args[1], 600))
            self.hard_close()


    def requested_range(self):
        """(first, last) of a "bytes=first-[last]" Range header, last None when open; None without one."""
        value = self.headers.get("Range")
        if not value:
            return None
        unit, _, span = value.partition("=")
        first, _, last = span.partition("-")
        if unit.strip() != "bytes" or not first.strip().isdigit():
            raise ValueError("range")
        return int(first), int(last) if last.strip().isdigit() else None

    def ranged(self, kind, parts):
        cuts = sorted(int(a) for a in parts[1].split(",") if a)
        data = self.file_bytes("/".join(parts[2:]))
        if data is None:
            return self.not_found()
        size = len(data)
        asked = self.requested_range()
        if asked is None or kind == "range200":
            end = size if asked is not None else next((c for c in cuts if c > 0), size)
            self.head(200, size, close=True)
            self.wfile.write(data[:min(end, size)])
            return self.hard_close()
        start, last = asked
        if start >= size:
            self.send_response(416)
            self.send_header("Content-Range", "bytes */%d" % size)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        last = size - 1 if last is None else min(last, size - 1)
        if kind == "badrange":
            start = min(start + 1, last)
        end = next((c for c in cuts if c > start), size) if kind == "cuts" else size
        self.send_response(206)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Range", "bytes %d-%d/%d" % (start, last, size))
        self.send_header("Content-Length", str(last + 1 - start))
        self.send_header("Connection", "close")
        self.close_connection = True
        self.end_headers()
        self.wfile.write(data[start:min(end, last + 1)])
        self.hard_close()

    def wrong_range(self, parts):
        data = self.file_bytes("/".join(parts))
        if data is None:
            return self.not_found()
        asked = self.requested_range()
        if asked is None or asked[0] >= len(data):
            self.head(200, len(data))
            self.wfile.write(data)
            return
        start, last = asked
        last = len(data) - 1 if last is None else min(last, len(data) - 1)
        span = bytearray(data[start:last + 1])
        span[len(span) // 2] ^= 0x5A
        self.send_response(206)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Range", "bytes %d-%d/%d" % (start, last, len(data)))
        self.send_header("Content-Length", str(len(span)))
        self.end_headers()
        self.wfile.write(bytes(span))


def filler(n):
    return (b"surplus!" * (n // 8 + 1))[:n]


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--root", required=True)
    ap.add_argument("--log", required=True)
    ap.add_argument("--port-file", required=True)
    ap.add_argument("--lifetime", type=float, default=7200)
    a = ap.parse_args()

    server = Server(("127.0.0.1", 0), Handler)
    server.root = os.path.abspath(a.root)
    server.log_path = a.log
    server.log_lock = threading.Lock()
    open(a.log, "a").close()
    tmp = a.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write("%d\n" % server.server_address[1])
    os.replace(tmp, a.port_file)

    timer = threading.Timer(a.lifetime, lambda: os._exit(0))
    timer.daemon = True
    timer.start()
    server.serve_forever()


if __name__ == "__main__":
    main()
