"""The WSGI application that korvad devices talk to.

    GET  <jobs prefix>/<device>/<name>              the device's next JobFile
    POST <results prefix>/<device>/<name>.<part>    one result part (".end" on the last)
    GET  /status                                    the fleet at a glance (HTML; ?json)

The device sends its POST with the absolute URL as the request target and without a Host
header ("POST http://host:port/results/dev/r.txt.00001.end HTTP/1.0"); some WSGI servers
(wsgiref among them) pass that URL on whole as PATH_INFO, so the path is taken out of it.
"""
import base64
import json
import re
import sys
import time
import urllib.parse

from . import report
from .store import MAX_FOLLOWUP  # noqa: F401  (re-exported for the README's readers)

PART = re.compile(r"(.+)\.(\d{5,10})(\.end)?\Z")
DEVICE = re.compile(r"[\x21-\x7e]{1,64}\Z")  # a client id: printable, no blank, no '/'
TEXT = [("Content-Type", "text/plain")]


def request_path(environ):
    """The path of the request, also when the request target was an absolute URL."""
    path = environ.get("PATH_INFO", "") or "/"
    if path.startswith(("http://", "https://")):
        rest = path.split("/", 3)
        path = "/" + (rest[3] if len(rest) > 3 else "")
    return path


def log(text):
    sys.stderr.write("%s korvad-server: %s\n" % (time.strftime("%Y-%m-%d %H:%M:%S"), text))
    sys.stderr.flush()


def shown(text):
    """Outside text as it may reach the log: printable ASCII, the rest escaped."""
    return text.encode("utf-8", "surrogateescape").decode("ascii", "backslashreplace")[:200]


class App:
    def __init__(self, store, users=None, jobs_prefix="/jobs", results_prefix="/results",
                 park_interval=300, max_part=16 << 20, status_path="/status", quiet=False):
        self.store, self.users = store, users
        self.jobs_prefix = "/" + jobs_prefix.strip("/") + "/"
        self.results_prefix = "/" + results_prefix.strip("/") + "/"
        self.park = b"FWSW;%d\r\n" % park_interval
        self.max_part, self.status_path, self.quiet = max_part, status_path, quiet

    def __call__(self, environ, start_response):
        path = request_path(environ)
        method = environ.get("REQUEST_METHOD", "GET")
        try:
            if path.startswith(self.jobs_prefix) and method == "GET":
                status, headers, body = self.get_job(environ, path[len(self.jobs_prefix):])
            elif path.startswith(self.results_prefix) and method == "POST":
                status, headers, body = self.post_part(environ, path[len(self.results_prefix):])
            elif path.rstrip("/") == self.status_path and method in ("GET", "HEAD"):
                status, headers, body = self.status(environ)
            else:
                status, headers, body = "404 Not Found", TEXT, b"no such resource\n"
        except Exception as why:  # the device retries the whole cycle; nothing half-stored
            log("%s %s failed: %r" % (method, shown(path), why))
            status, headers, body = "500 Internal Server Error", TEXT, b"server error\n"
        start_response(status, headers + [("Content-Length", str(len(body)))])
        return [body] if method != "HEAD" else []

    # ---- authorization ----

    def refuse(self, environ, device):
        """None when the request may go on, else the reply that refuses it."""
        names = environ.get("korvad.peer_names")
        if names is not None and device is not None and device not in names:
            return self.refused(device, "403 Forbidden", "device certificate of %s"
                                % (", ".join(sorted(names)) or "no name"))
        if self.users is None:
            return None
        header = environ.get("HTTP_AUTHORIZATION", "")
        try:
            user, _, password = base64.b64decode(header[6:], validate=True).decode(
                "utf-8").partition(":") if header.startswith("Basic ") else (None, "", "")
        except (ValueError, UnicodeDecodeError):
            user = None
        scope = self.users.check(user, password) if user is not None else False
        if scope is False:
            return self.refused(device, "401 Unauthorized",
                                "user %s not known or wrong password" % shown(user or "-"),
                                [("WWW-Authenticate", 'Basic realm="korvad"')])
        if scope is not None and (device is None or device not in scope):
            return self.refused(device, "403 Forbidden", "user %s may not speak for it"
                                % shown(user))
        return None

    def refused(self, device, status, why, extra=()):
        log("%s refused for %s: %s" % (status[:3], shown(device or "the status page"), why))
        if device is not None:
            self.store.refusal(device, "%s: %s" % (status[:3], why))
        return status, TEXT + list(extra), status.encode() + b"\n"

    # ---- the device's requests ----

    def get_job(self, environ, rest):
        device, _, name = rest.partition("/")
        if not DEVICE.match(device) or not name:
            return "404 Not Found", TEXT, b"no such job\n"
        refused = self.refuse(environ, device)
        if refused:
            return refused
        job = self.store.job_for_get(device, name)
        if job is None:
            job = self.park
        if not job:
            # A 200 reply needs a positive length (or chunks); 201 is the device's empty job.
            return "201 Created", TEXT, b""
        return "200 OK", TEXT, job

    def post_part(self, environ, rest):
        device, _, part_name = rest.partition("/")
        match = PART.match(part_name)
        if not DEVICE.match(device) or match is None:
            return "404 Not Found", TEXT, b"part names end in .00001 ... or .<n>.end\n"
        refused = self.refuse(environ, device)
        if refused:
            return refused
        try:
            length = int(environ.get("CONTENT_LENGTH") or "")
        except ValueError:
            return "411 Length Required", TEXT, b"Content-Length required\n"
        if length < 0 or length > self.max_part:
            return "413 Payload Too Large", TEXT, b"part too large\n"
        body = environ["wsgi.input"].read(length) if length else b""
        if len(body) != length:
            return "400 Bad Request", TEXT, b"body shorter than its Content-Length\n"
        name, number, final = match.group(1), int(match.group(2)), bool(match.group(3))
        uid, followup, complete = self.store.store_part(device, name, number, final, body)
        if complete:
            try:
                decoded = self.store.decode_upload(uid)
                if decoded.get("error") and not self.quiet:
                    log("upload %s of %s: %s" % (uid, shown(device), shown(decoded["error"])))
            except Exception as why:  # stored whole all the same; decoded again on demand
                log("upload %s of %s not decoded: %r" % (uid, shown(device), why))
        return "200 OK", TEXT, b"OK\r\n" + (followup or b"")

    # ---- the operator's page ----

    def status(self, environ):
        refused = self.refuse(environ, None)
        if refused:
            return refused
        data = report.fleet(self.store)
        if "json" in urllib.parse.parse_qs(environ.get("QUERY_STRING", ""),
                                           keep_blank_values=True):
            return "200 OK", [("Content-Type", "application/json")], \
                json.dumps(data, indent=1).encode()
        return "200 OK", [("Content-Type", "text/html; charset=utf-8")], \
            report.html(data).encode()
