#!/usr/bin/env python3
"""Job server for tests and the demo: serves JobFiles by GET and keeps posted result parts.

Layout of the root folder:
  <root>/<path>            a JobFile, served for "GET /<path>"
  <root>/posted/<path>     every posted part, stored under its name
  <root>/received/<n>      every posted part again, numbered in arrival order from 00001
                           (a part name repeats with every cycle; this copy stays)
  <root>/requests.log      one JSON line per request: method, path, headers, body length,
                           for posts also their number and the status answered
  <root>/uploads.log       what each complete upload carried, decoded by korvad-jobtool
                           when its ".end" part arrives (one block per upload)
  <root>/control.json      read on every request, optional:
      {"get_status": 404,          answer GETs with this status and no body
       "post_status": 201,         answer POSTs with this status and no body
       "get_mode": "hang"|"close"|"trickle"|"flood"|"chunk-flood",
                                   never answer, close the connection without answering,
                                   send header lines every half second forever, announce a
                                   body of 2147483646 bytes and send it, or send an endless
                                   chunked body (64 KiB chunks; both until the client closes)
       "post_mode": "hang"|"close",
       "post_fail": [3, 7],         answer the posts with these numbers with 500
       "post_close_at": 2,         close the connection of the k-th POST (counted from the
       "post_close_after": 100,    server's start) after that many bytes of its body, without
                                   storing or answering it (0 bytes when left out)
       "followup": "text",         sent after "OK\\r\\n" in the reply to a part whose name
                                   ends with ".end" (or to every part with "followup_all": true)
       "get_size": 2097152,        serve a generated JobFile of comment lines of this size
       "get_delay": 3}             wait this many seconds before answering a GET

Start: korvad-jobserver.py --root DIR [--port N]; it prints "PORT <n>" once it listens.
HTTPS: --tls-cert FILE --tls-key FILE (PEM), and --tls-client-ca FILE to demand a device
certificate issued by one of those authorities. Each handshake is logged as a JSON line in
<root>/tls.log: "full", "resumed" or "failed" (with the error), the version and the
device certificate's subject; a connection whose handshake failed reaches no handler.
"""
import argparse
import json
import os
import re
import socketserver
import ssl
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

sys.path.insert(0, os.path.dirname(os.path.realpath(__file__)))
sys.dont_write_bytecode = True  # it runs from the source tree: leave no caches there
from jobtool import cli as jobtool  # noqa: E402  the decoder of korvad-jobtool

END_PART = re.compile(r"(.*)\.(\d{5,})\.end\Z")


def log_upload(root, path, lock):
    """Appends the decoded results of the upload whose last part was just stored at path.

    Only the part names of this upload are read (a longer earlier upload may have left
    higher-numbered parts behind), and nothing that the decoder meets stops the server.
    """
    match = END_PART.match(path)
    if match is None:
        return
    base, last = match.group(1), int(match.group(2))
    names = ["%s.%05d" % (base, n) for n in range(1, last)] + [path]
    try:
        summary, records, error = jobtool.decode_parts(names)
        lines = jobtool.report(summary, records, error)
    except Exception as why:  # a decoder fault must not cost the upload's answer
        lines = ["error: the decoder failed: %r" % why]
    shown = os.path.relpath(base, os.path.join(root, "posted"))
    with lock, open(os.path.join(root, "uploads.log"), "a") as f:
        f.write("== upload %s, %s\n" % (shown, time.strftime("%H:%M:%S")))
        f.write("".join("   %s\n" % line for line in lines))


def control(root):
    try:
        with open(os.path.join(root, "control.json")) as f:
            return json.load(f)
    except (OSError, ValueError):
        return {}


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    root = "."
    log_lock = threading.Lock()
    posts = 0  # POSTs received since the start, under log_lock

    def log_message(self, fmt, *args):  # quiet: requests.log has everything
        pass

    posts = 0

    def record(self, body, extra=None):
        entry = {"method": self.command, "path": self.request_path(), "target": self.path,
                 "headers": {k: v for k, v in self.headers.items()},
                 "length": len(body), "time": time.time()}
        if isinstance(self.connection, ssl.SSLSocket):
            entry["tls"] = True
        entry.update(extra or {})
        with self.log_lock, open(os.path.join(self.root, "requests.log"), "a") as f:
            f.write(json.dumps(entry) + "\n")

    def request_path(self):
        # POSTs use the absolute form "http://host:port/path"; GETs the origin form.
        return urllib.parse.urlsplit(self.path).path if "://" in self.path else self.path

    def local_path(self, *prefix):
        rel = self.request_path().lstrip("/").split("?", 1)[0]
        full = os.path.normpath(os.path.join(self.root, *prefix, rel))
        if not full.startswith(os.path.abspath(self.root)):
            return None
        return full

    def misbehave(self, mode):
        if mode == "hang":
            while True:
                time.sleep(3600)
        if mode == "trickle":
            self.wfile.write(b"HTTP/1.1 200 OK\r\n")
            while True:
                self.wfile.write(b"X-Wait: more\r\n")
                self.wfile.flush()
                time.sleep(0.5)
        if mode in ("flood", "chunk-flood"):
            chunked = mode == "chunk-flood"
            self.wfile.write(b"HTTP/1.1 200 OK\r\n" +
                             (b"Transfer-Encoding: chunked\r\n" if chunked
                              else b"Content-Length: 2147483646\r\n") + b"\r\n")
            block = (b"# flood\r\n" * 7282)[:65536]
            try:
                while True:
                    self.wfile.write(b"10000\r\n" + block + b"\r\n" if chunked else block)
            except OSError:
                pass
            self.close_connection = True
            return True
        if mode == "close":
            self.close_connection = True
            self.connection.close()
            return True
        return False

    def answer(self, status, body=b"", chunked_when_empty=False):
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        if chunked_when_empty and not body:
            # An empty JobFile goes out chunked: a GET reply must carry a positive length
            # or be chunked.
            self.send_header("Transfer-Encoding", "chunked")
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(b"0\r\n\r\n")
            self.close_connection = True
            return
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        if body:
            self.wfile.write(body)
        self.close_connection = True

    def do_GET(self):
        ctl = control(self.root)
        self.record(b"")
        time.sleep(float(ctl.get("get_delay", 0)))
        if self.misbehave(ctl.get("get_mode")):
            return
        if "get_status" in ctl:
            return self.answer(int(ctl["get_status"]))
        if "get_size" in ctl:
            size = int(ctl["get_size"])
            line = b"# padding line of a large JobFile\r\n"
            body = (line * (size // len(line) + 1))[:size]
            return self.answer(200, body)
        path = self.local_path()
        if path is None or not os.path.isfile(path):
            return self.answer(404)
        with open(path, "rb") as f:
            self.answer(200, f.read(), chunked_when_empty=True)

    def do_POST(self):
        ctl = control(self.root)
        length = int(self.headers.get("Content-Length", "0") or 0)
        with self.log_lock:
            Handler.posts += 1
            number = Handler.posts
        if number == ctl.get("post_close_at"):
            taken = min(length, int(ctl.get("post_close_after", 0)))
            self.record(self.rfile.read(taken) if taken > 0 else b"", {"closed": True})
            self.close_connection = True
            self.connection.close()
            return
        body = self.rfile.read(length) if length > 0 else b""
        status = 500 if number in ctl.get("post_fail", []) else ctl.get("post_status", 200)
        os.makedirs(os.path.join(self.root, "received"), exist_ok=True)
        with open(os.path.join(self.root, "received", "%05d" % number), "wb") as f:
            f.write(body)
        path = self.local_path("posted")
        if path is not None:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            # Written aside and renamed: a reader never sees half a part, even when a later
            # cycle posts the same name again.
            with open(path + ".new", "wb") as f:
                f.write(body)
            os.replace(path + ".new", path)
            log_upload(self.root, path, self.log_lock)
        # Logged once stored: whoever sees the request in the log finds the part in place.
        self.record(body, {"post": number, "status": int(status)})
        if self.misbehave(ctl.get("post_mode")):
            return
        if status != 200:
            return self.answer(int(status))
        reply = b"OK\r\n"
        if "followup" in ctl and (self.request_path().endswith(".end") or ctl.get("followup_all")):
            reply += ctl["followup"].encode()
        self.answer(200, reply)


class TlsServer(ThreadingHTTPServer):
    """The job server over TLS: the handshake runs in the connection's own thread."""
    context = None

    def finish_request(self, request, client_address):
        entry = {"time": time.time()}
        try:
            conn = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as why:
            entry.update(handshake="failed", error=str(why))
            return log_tls(entry)
        subject = dict(item for rdn in (conn.getpeercert() or {}).get("subject", ()) for item in rdn)
        entry.update(handshake="resumed" if conn.session_reused else "full",
                     version=conn.version(), client=subject.get("commonName"))
        log_tls(entry)
        try:
            self.RequestHandlerClass(conn, client_address, self)
        finally:
            conn.close()


def log_tls(entry):
    with Handler.log_lock, open(os.path.join(Handler.root, "tls.log"), "a") as f:
        f.write(json.dumps(entry) + "\n")


def tls_context(args):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(args.tls_cert, args.tls_key)
    if args.tls_client_ca:
        context.verify_mode = ssl.CERT_REQUIRED
        context.load_verify_locations(args.tls_client_ca)
    return context


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--tls-cert")
    parser.add_argument("--tls-key")
    parser.add_argument("--tls-client-ca")
    args = parser.parse_args()
    Handler.root = os.path.abspath(args.root)
    os.makedirs(Handler.root, exist_ok=True)
    socketserver.TCPServer.allow_reuse_address = True
    server_class = TlsServer if args.tls_cert else ThreadingHTTPServer
    server = server_class(("127.0.0.1", args.port), Handler)
    if args.tls_cert:
        server.context = tls_context(args)
    server.daemon_threads = True
    print("PORT %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
