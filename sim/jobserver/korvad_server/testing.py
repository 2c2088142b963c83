"""Test-only behaviour of the built-in server (serve --test-root DIR), for the daemon's
system tests: the fault injection and the file views that they rely on. Never for a fleet.

Layout of DIR:
  DIR/<path>            a JobFile served for "GET /<path>" in place of the device's queue
  DIR/posted/<path>     every posted part under its name (the last one of that name)
  DIR/received/<n>      every posted part again, numbered in arrival order from 00001
  DIR/requests.log      one JSON line per request: method, path, headers, body length,
                        for posts also their number and the status answered
  DIR/uploads.log       what each complete upload carried, decoded (one block per upload)
  DIR/tls.log           over HTTPS, one JSON line per handshake: "full", "resumed" or
                        "failed" (with the error), the version and the device certificate's
                        common name; requests that came over TLS carry "tls": true
  DIR/control.json      read on every request, optional:
      {"get_status": 404,          answer GETs with this status and no body
       "post_status": 201,         answer POSTs with this status and no body
       "get_mode": "hang"|"close"|"trickle"|"flood"|"chunk-flood",
                                   never answer, close without answering, send header lines
                                   every half second forever, announce a body of 2147483646
                                   bytes and send it, or send an endless chunked body
       "post_mode": "hang"|"close",
       "post_fail": [3, 7],        answer the posts with these numbers with 500
       "post_close_at": 2,         close the connection of the k-th POST (counted from the
       "post_close_after": 100,    server's start) after that many bytes of its body, without
                                   storing or answering it (0 bytes when left out)
       "followup": "text",         sent after "OK\\r\\n" in the reply to a part whose name
                                   ends with ".end" (or to every part with "followup_all": true)
       "get_size": 2097152,        serve a generated JobFile of comment lines of this size
       "get_delay": 3}             wait this many seconds before answering a GET
Every part that is answered is also handed to the application, so it is stored and decoded
in the database as in production.
"""
import io
import json
import os
import re
import ssl
import threading
import time
import urllib.parse

from korvad_jobtool import cli as jobtool

END_PART = re.compile(r"(.*)\.(\d{5,})\.end\Z")


class Hooks:
    def __init__(self, root):
        self.root = os.path.abspath(root)
        os.makedirs(self.root, exist_ok=True)
        self.lock = threading.Lock()
        self.posts = 0

    def control(self):
        try:
            with open(os.path.join(self.root, "control.json")) as f:
                return json.load(f)
        except (OSError, ValueError):
            return {}

    def handle(self, h):
        h.protocol_version = "HTTP/1.1"
        h.raw_requestline = h.rfile.readline(65537)
        if not h.raw_requestline or not h.parse_request():
            return
        if h.command == "GET":
            self.get(h)
        elif h.command == "POST":
            self.post(h)
        else:
            self.answer(h, *self.app(h, b""))

    # ---- views ----

    def request_path(self, h):
        # POSTs use the absolute form "http://host:port/path"; GETs the origin form.
        return urllib.parse.urlsplit(h.path).path if "://" in h.path else h.path

    def local_path(self, h, *prefix):
        rel = self.request_path(h).lstrip("/").split("?", 1)[0]
        full = os.path.normpath(os.path.join(self.root, *prefix, rel))
        return full if full.startswith(self.root + os.sep) else None

    def record(self, h, body, extra=None):
        entry = {"method": h.command, "path": self.request_path(h), "target": h.path,
                 "headers": dict(h.headers.items()), "length": len(body), "time": time.time()}
        if isinstance(h.connection, ssl.SSLSocket):
            entry["tls"] = True
        entry.update(extra or {})
        with self.lock, open(os.path.join(self.root, "requests.log"), "a") as f:
            f.write(json.dumps(entry) + "\n")

    def handshake(self, h, error):
        entry = {"time": time.time()}
        if error is not None:
            entry.update(handshake="failed", error=str(error))
        else:
            conn = h.connection
            subject = dict(item for rdn in (conn.getpeercert() or {}).get("subject", ())
                           for item in rdn)
            entry.update(handshake="resumed" if conn.session_reused else "full",
                         version=conn.version(), client=subject.get("commonName"))
        with self.lock, open(os.path.join(self.root, "tls.log"), "a") as f:
            f.write(json.dumps(entry) + "\n")

    def log_upload(self, path):
        match = END_PART.match(path)
        if match is None:
            return
        base, last = match.group(1), int(match.group(2))
        names = ["%s.%05d" % (base, n) for n in range(1, last)] + [path]
        try:
            lines = jobtool.report(*jobtool.decode_parts(names))
        except Exception as why:  # a decoder fault must not cost the upload's answer
            lines = ["error: the decoder failed: %r" % why]
        shown = os.path.relpath(base, os.path.join(self.root, "posted"))
        with self.lock, open(os.path.join(self.root, "uploads.log"), "a") as f:
            f.write("== upload %s, %s\n" % (shown, time.strftime("%H:%M:%S")))
            f.write("".join("   %s\n" % line for line in lines))

    # ---- the application, and answers written by hand ----

    def app(self, h, body):
        """(status, reply body) of the application for this request."""
        environ = h.get_environ()
        environ["wsgi.input"] = io.BytesIO(body)
        environ["CONTENT_LENGTH"] = str(len(body))
        started = []
        reply = b"".join(h.server.get_app()(environ, lambda s, hd, e=None: started.append(s)))
        return int(started[0][:3]), reply

    def answer(self, h, status, body=b"", chunked_when_empty=False):
        h.send_response(status)
        h.send_header("Content-Type", "text/plain")
        if chunked_when_empty and not body:
            # An empty JobFile goes out chunked: a GET reply must carry a positive length
            # or be chunked.
            h.send_header("Transfer-Encoding", "chunked")
            h.send_header("Connection", "close")
            h.end_headers()
            h.wfile.write(b"0\r\n\r\n")
            h.close_connection = True
            return
        h.send_header("Content-Length", str(len(body)))
        h.send_header("Connection", "close")
        h.end_headers()
        if body:
            h.wfile.write(body)
        h.close_connection = True

    def misbehave(self, h, mode):
        if mode == "hang":
            while True:
                time.sleep(3600)
        if mode == "trickle":
            h.wfile.write(b"HTTP/1.1 200 OK\r\n")
            while True:
                h.wfile.write(b"X-Wait: more\r\n")
                h.wfile.flush()
                time.sleep(0.5)
        if mode in ("flood", "chunk-flood"):
            chunked = mode == "chunk-flood"
            h.wfile.write(b"HTTP/1.1 200 OK\r\n" +
                          (b"Transfer-Encoding: chunked\r\n" if chunked
                           else b"Content-Length: 2147483646\r\n") + b"\r\n")
            block = (b"# flood\r\n" * 7282)[:65536]
            try:
                while True:
                    h.wfile.write(b"10000\r\n" + block + b"\r\n" if chunked else block)
            except OSError:
                pass
            h.close_connection = True
            return True
        if mode == "close":
            h.close_connection = True
            h.connection.close()
            return True
        return False

    # ---- requests ----

    def get(self, h):
        ctl = self.control()
        self.record(h, b"")
        time.sleep(float(ctl.get("get_delay", 0)))
        if self.misbehave(h, ctl.get("get_mode")):
            return
        if "get_status" in ctl:
            return self.answer(h, int(ctl["get_status"]))
        if "get_size" in ctl:
            size = int(ctl["get_size"])
            line = b"# padding line of a large JobFile\r\n"
            return self.answer(h, 200, (line * (size // len(line) + 1))[:size])
        path = self.local_path(h)
        if path is not None and os.path.isfile(path):
            with open(path, "rb") as f:
                return self.answer(h, 200, f.read(), chunked_when_empty=True)
        self.answer(h, *self.app(h, b""))

    def post(self, h):
        ctl = self.control()
        length = int(h.headers.get("Content-Length", "0") or 0)
        with self.lock:
            self.posts += 1
            number = self.posts
        if number == ctl.get("post_close_at"):
            taken = min(length, int(ctl.get("post_close_after", 0)))
            self.record(h, h.rfile.read(taken) if taken > 0 else b"", {"closed": True})
            h.close_connection = True
            h.connection.close()
            return
        body = h.rfile.read(length) if length > 0 else b""
        status = 500 if number in ctl.get("post_fail", []) else ctl.get("post_status", 200)
        os.makedirs(os.path.join(self.root, "received"), exist_ok=True)
        with open(os.path.join(self.root, "received", "%05d" % number), "wb") as f:
            f.write(body)
        path = self.local_path(h, "posted")
        if path is not None:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            # Written aside and renamed: a reader never sees half a part, even when a later
            # cycle posts the same name again.
            with open(path + ".new", "wb") as f:
                f.write(body)
            os.replace(path + ".new", path)
            self.log_upload(path)
        app_status, reply = self.app(h, body) if status == 200 else (status, b"")
        if app_status == 404:  # a path outside the device layout: kept as a file only
            app_status, reply = 200, b"OK\r\n"
        # Logged once stored: whoever sees the request in the log finds the part in place.
        self.record(h, body, {"post": number, "status": int(status)})
        if self.misbehave(h, ctl.get("post_mode")):
            return
        if status != 200:
            return self.answer(h, int(status))
        if "followup" in ctl and (self.request_path(h).endswith(".end") or ctl.get("followup_all")):
            reply = b"OK\r\n" + ctl["followup"].encode()
        self.answer(h, app_status, reply)
