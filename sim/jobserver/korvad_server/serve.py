"""The built-in server: the WSGI application on a threaded wsgiref server, with TLS from
the ssl module when given a certificate (and device certificates when given a client CA).
For a large fleet, run the application under any WSGI server behind a front web server."""
import socket
import socketserver
import ssl
import sys
import time
from wsgiref.simple_server import WSGIRequestHandler, WSGIServer

HANDSHAKE_TIMEOUT = 60  # seconds; the device gives up on a transfer after 240


class Handler(WSGIRequestHandler):
    timeout = 120  # per read or write: a silent peer does not hold a thread for ever

    def setup(self):
        super().setup()
        if isinstance(self.connection, ssl.SSLSocket):
            failure = None
            try:
                self.connection.do_handshake()
            except (OSError, ssl.SSLError) as why:
                failure = why
                self.log_message("TLS handshake failed: %s", why)
                self.close_connection = True
                self.rfile = _Empty()
            if getattr(self.server.hooks, "handshake", None) is not None:
                self.server.hooks.handshake(self, failure)

    def handle(self):
        hooks = self.server.hooks
        if hooks is not None:
            return hooks.handle(self)
        return super().handle()

    def get_environ(self):
        environ = super().get_environ()
        if self.server.client_ca and isinstance(self.connection, ssl.SSLSocket):
            environ["korvad.peer_names"] = peer_names(self.connection.getpeercert())
        return environ

    def log_message(self, fmt, *args):
        if not self.server.quiet:
            sys.stderr.write("%s %s %s\n" % (time.strftime("%Y-%m-%d %H:%M:%S"),
                                             self.client_address[0], fmt % args))


class _Empty:
    """Stands in for the stream of a connection whose handshake failed: nothing to read."""

    def readline(self, *args):
        return b""

    def read(self, *args):
        return b""


def peer_names(cert):
    """The common name and DNS names of a verified peer certificate."""
    names = set()
    for rdn in (cert or {}).get("subject", ()):
        names.update(value for key, value in rdn if key == "commonName")
    names.update(value for key, value in (cert or {}).get("subjectAltName", ()) if key == "DNS")
    return frozenset(names)


class Server(socketserver.ThreadingMixIn, WSGIServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 256
    hooks = None
    quiet = False
    client_ca = None
    tls = None

    def handle_error(self, request, client_address):
        # One line, not a trace: a peer that vanished mid-request is nothing to alarm about.
        if not self.quiet:
            sys.stderr.write("%s %s connection ended: %r\n" % (
                time.strftime("%Y-%m-%d %H:%M:%S"), client_address[0], sys.exc_info()[1]))

    def get_request(self):
        sock, address = super().get_request()
        if self.tls is not None:
            # The handshake runs in the request's thread, not in the accepting one.
            sock.settimeout(HANDSHAKE_TIMEOUT)
            sock = self.tls.wrap_socket(sock, server_side=True, do_handshake_on_connect=False)
        return sock, address


def tls_context(cert, key, client_ca=None):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(cert, key)
    if client_ca:
        context.verify_mode = ssl.CERT_REQUIRED
        context.load_verify_locations(client_ca)
    return context


def parse_listen(text):
    """(family, host, port) of ADDR:PORT, [IPv6]:PORT or :PORT."""
    host, sep, port = text.rpartition(":")
    if not sep or not port.isdigit():
        raise ValueError("--listen takes ADDR:PORT, e.g. 0.0.0.0:8080 or [::]:8080")
    host = host.strip("[]") or "0.0.0.0"
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    return family, host, int(port)


def make_server(app, listen, tls=None, client_ca=None, hooks=None, quiet=False):
    family, host, port = parse_listen(listen)

    class Bound(Server):
        address_family = family

    server = Bound((host, port), Handler)
    server.set_app(app)
    server.tls, server.client_ca, server.hooks, server.quiet = tls, client_ca, hooks, quiet
    return server
