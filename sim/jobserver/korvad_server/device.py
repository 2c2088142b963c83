"""A client that sends exactly the bytes a korvad device sends, for checking a deployment
(korvad-server probe), the tests and the load benchmark.

    GET /<path> HTTP/1.1\\r\\nHost: <host>:<port>\\r\\nUser-Agent: httptiny\\r\\n[auth]\\r\\n
    POST http://<host>:<port>/<path> HTTP/1.0\\r\\nContent-Length: <n>\\r\\n
         Content-Type: text/plain\\r\\n[auth]\\r\\n<body>
where [auth] is "Authorization: Basic <base64 of user:password>\\r\\n" when both are set.
The GET reply is read by Content-Length or chunks; the POST reply is read to the end of the
stream, at most 1024 bytes, as the device reads them.
"""
import base64
import socket
import ssl

POST_REPLY_LIMIT = 1024


class Reply:
    def __init__(self, status, body):
        self.status, self.body = status, body


class Device:
    def __init__(self, host, port, user=None, password=None, tls=None, timeout=60):
        self.host, self.port, self.tls, self.timeout = host, port, tls, timeout
        self.auth = b""
        if user and password:
            pair = ("%.32s:%.32s" % (user, password)).encode()
            self.auth = b"Authorization: Basic " + base64.b64encode(pair) + b"\r\n"

    def connect(self):
        sock = socket.create_connection((self.host, self.port), timeout=self.timeout)
        if self.tls is not None:
            sock = self.tls.wrap_socket(sock, server_hostname=self.host)
        return sock

    def get(self, path):
        head = (b"GET /%s HTTP/1.1\r\nHost: %s:%d\r\nUser-Agent: httptiny\r\n%s\r\n"
                % (path.encode()[:256], self.host.encode(), self.port, self.auth))
        return self.exchange(head, b"", post=False)

    def post(self, path, body):
        head = (b"POST http://%s:%d/%s HTTP/1.0\r\nContent-Length: %d\r\n"
                b"Content-Type: text/plain\r\n%s\r\n"
                % (self.host.encode()[:128], self.port, path.encode()[:256], len(body),
                   self.auth))
        return self.exchange(head, body, post=True)

    def exchange(self, head, body, post):
        with self.connect() as sock:
            sock.sendall(head)
            if body:
                sock.sendall(body)
            stream = sock.makefile("rb")
            status_line = stream.readline(512)
            fields = status_line.split()
            if len(fields) < 2 or not fields[0].startswith(b"HTTP/1.") or not fields[1].isdigit():
                raise ValueError("no status line: %r" % status_line)
            status = int(fields[1])
            if status != 200:
                return Reply(status, b"")
            headers = {}
            while True:
                line = stream.readline(512).rstrip(b"\r\n")
                if not line:
                    break
                name, _, value = line.partition(b":")
                headers[name.strip().lower()] = value.strip()
            if post:
                return Reply(status, stream.read(POST_REPLY_LIMIT))
            if int(headers.get(b"content-length", b"-1")) > 0:
                return Reply(status, stream.read(int(headers[b"content-length"])))
            if b"chunked" not in headers.get(b"transfer-encoding", b""):
                raise ValueError("a GET reply without a positive length and not chunked")
            data = b""
            while True:
                size = int(stream.readline(64).split(b";")[0], 16)
                if size == 0:
                    return Reply(status, data)
                data += stream.read(size)
                stream.read(2)


def tls_client(ca_file=None, cert=None, key=None):
    context = ssl.create_default_context(cafile=ca_file)
    if cert:
        context.load_cert_chain(cert, key)
    return context
