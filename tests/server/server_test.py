"""korvad-server through its own command line and the bytes a device sends: the job cycle on
SQLite and on a real PostgreSQL server, credentials, and device certificates over TLS."""
import io
import json
import os
import subprocess
import sys
import tempfile
import time
import unittest
from contextlib import redirect_stdout

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sys.path.insert(0, os.path.join(TOP, "sim", "jobserver"))
sys.path.insert(0, os.path.join(TOP, "tests", "support"))
import pg_cluster  # noqa: E402
from korvad_server import cli  # noqa: E402
from korvad_server.device import Device, tls_client  # noqa: E402

TEMP = tempfile.TemporaryDirectory()
SERVER = os.path.join(TOP, "sim", "jobserver", "korvad-server")


def command(*args):
    """What korvad-server prints for args (run in this process)."""
    out = io.StringIO()
    with redirect_stdout(out):
        status = cli.main([str(a) for a in args])
    if status != 0:
        raise AssertionError("korvad-server %s failed" % " ".join(map(str, args)))
    return out.getvalue()


class Server:
    """korvad-server serve on an ephemeral port of 127.0.0.1."""

    def __init__(self, db, *options):
        self.log = open(tempfile.mktemp(dir=TEMP.name), "w+")
        self.process = subprocess.Popen([sys.executable, "-B", SERVER, "serve", "--db", db,
                                         "--listen", "127.0.0.1:0"] + list(options),
                                        stdout=subprocess.PIPE, stderr=self.log, text=True)
        line = self.process.stdout.readline()
        if "listening on" not in line:
            self.log.seek(0)
            raise AssertionError("the server did not start: " + line + self.log.read())
        self.port = int(line.split("127.0.0.1:")[1].split()[0])

    def device(self, **kw):
        return Device("127.0.0.1", self.port, **kw)

    def stop(self):
        self.process.terminate()
        self.process.wait(10)
        self.process.stdout.close()
        self.log.close()


class Cycle:
    """The job cycle against one database; run for SQLite and PostgreSQL below."""

    def test_jobs_go_out_in_order_and_every_upload_is_kept(self):
        db, server = self.db, Server(self.db)
        self.addCleanup(server.stop)
        dev = server.device()
        jobs = [b"FWLO\r\n", b"APLI;\r\n", b"#" * 1021 + b"\r\n", b"FWSW;0\r\n"]
        for job in jobs:
            path = os.path.join(TEMP.name, "job")
            with open(path, "wb") as f:
                f.write(job)
            command("queue", "--db", db, "dev", path)
        final = "results/dev/result.txt.%05d.end"
        steps = [  # (request, part body, expected reply)
            ("get", None, jobs[0]), ("get", None, jobs[0]),  # not done until its upload ends
            ("post", "results/dev/result.txt.00001", b"OK\r\n"),
            ("post", final % 2, b"OK\r\n" + jobs[1]),  # job 0 done, job 1 as the follow-up
            ("post", final % 1, b"OK\r\n"),  # job 1 done; job 2 is too large to follow
            ("get", None, jobs[2]),
            ("post", final % 1, b"OK\r\n" + jobs[3]),
            ("get", None, jobs[3]),  # the device did not take the follow-up: it comes again
            ("post", "results/dev/result.txt.00001", b"OK\r\n"),
            ("post", final % 1, b"OK\r\n"),  # part 1 again: the device started over
            ("get", None, b"FWSW;300\r\n"),  # empty queue: the default park job
            ("post", final % 3, b"OK\r\n"),  # a part 3 out of nowhere: kept, marked broken
            ("post", final % 1, b"OK\r\n"),
        ]
        for number, (kind, path, expected) in enumerate(steps):
            reply = dev.get("jobs/dev/job.txt") if kind == "get" else \
                dev.post(path, b"FWLO;0\r\n" if "00001" in path else b"APLI;0\r\n")
            self.assertEqual((200, expected), (reply.status, reply.body), "step %d" % number)
        uploads = json.loads(command("results", "--db", db, "dev", "--json"))
        self.assertEqual([("complete", 1, 2), ("complete", 2, 1), ("complete", 3, 1),
                          ("abandoned", 4, 1), ("complete", 4, 1), ("broken", None, 1),
                          ("complete", None, 1)],
                         [(u["state"], u["job"], u["parts"]) for u in uploads])
        self.assertEqual(len(uploads), len({u["id"] for u in uploads}))
        self.assertEqual(["FWLO", "APLI"],
                         [r["keyword"] for r in uploads[0]["decoded"]["results"]])
        status = json.loads(command("status", "--db", db, "--json"))[0]
        self.assertEqual((5, 8, [], 2), (status["gets"], status["posts"], status["queued"],
                                         len(status["failed_uploads"])))
        folder = os.path.join(TEMP.name, "parts" + type(self).__name__)
        command("results", "--db", db, "dev", "--last", "1", "--parts", folder)
        self.assertEqual(["result.txt.00001.end"], os.listdir(os.path.join(
            folder, uploads[-1]["id"])))
        command("park", "--db", db, "--fleet", os.path.join(TEMP.name, "job"))
        self.assertEqual(jobs[3], dev.get("jobs/other/job.txt").body)
        self.assertIn(b"korvad fleet: 2 devices", dev.get("status").body)


class SQLite(Cycle, unittest.TestCase):
    def setUp(self):
        self.db = "sqlite://" + tempfile.mkdtemp(dir=TEMP.name) + "/state.db"


class PostgreSQL(Cycle, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="korvad_pg")
        cls.db, why = pg_cluster.start(cls.folder)
        if cls.db is None:
            raise unittest.SkipTest(why)

    @classmethod
    def tearDownClass(cls):
        pg_cluster.stop(cls.folder)
        subprocess.run(["rm", "-rf", cls.folder])


class Access(unittest.TestCase):
    def test_credentials_and_device_certificates(self):
        users = os.path.join(TEMP.name, "users")
        for user, scope in (("dev", None), ("ops", "*"), ("pair", "a,b")):
            subprocess.run([sys.executable, "-B", SERVER, "passwd", "--users", users, user] +
                           (["--devices", scope] if scope else []), input=b"pw-" + user.encode(),
                           check=True)
        with open(users, "a") as f:  # a PBKDF2 entry, made with the standard library alone
            f.write("old:pbkdf2_sha256$1000$c2FsdA==$%s\n" % __import__("base64").b64encode(
                __import__("hashlib").pbkdf2_hmac("sha256", b"pw-old", b"salt", 1000)).decode())
        server = Server("sqlite://%s/auth.db" % TEMP.name, "--users", users)
        self.addCleanup(server.stop)
        rows = [  # user, password, path, status
            (None, None, "jobs/dev/j", 401), ("dev", "wrong", "jobs/dev/j", 401),
            ("dev", "pw-dev", "jobs/dev/j", 200), ("dev", "pw-dev", "jobs/b/j", 403),
            ("pair", "pw-pair", "jobs/b/j", 200), ("ops", "pw-ops", "jobs/x/j", 200),
            ("old", "pw-old", "jobs/old/j", 200), ("dev", "pw-dev", "status", 403),
            ("ops", "pw-ops", "status", 200), ("nobody", "pw", "jobs/nobody/j", 401),
        ]
        for user, password, path, status in rows:
            self.assertEqual(status, server.device(user=user, password=password).get(path).status,
                             (user, path))
        posted = server.device(user="dev", password="pw-dev").post("results/dev/r.00001.end",
                                                                    b"FWLO;0\r\n")
        self.assertEqual((200, b"OK\r\n"), (posted.status, posted.body))
        devices = json.loads(command("status", "--db", "sqlite://%s/auth.db" % TEMP.name,
                                     "--json"))
        self.assertIn("401: user dev not known or wrong password",
                      [d for d in devices if d["device"] == "dev"][0]["last_refusal_text"])

        # TLS with device certificates: a certificate speaks for the device named in it.
        pki = tempfile.mkdtemp(dir=TEMP.name)

        def openssl(*args):
            subprocess.run(["openssl"] + list(args), cwd=pki, check=True, capture_output=True)

        openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                "-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj", "/CN=fleet CA")
        for name, extra in (("server", ["-addext", "subjectAltName=IP:127.0.0.1"]),
                            ("dev", [])):
            openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                    "-keyout", name + ".key", "-out", name + ".csr", "-subj", "/CN=" + name, *extra)
            openssl("x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                    "-CAcreateserial", "-days", "2", "-out", name + ".pem", "-copy_extensions",
                    "copy")
        p = lambda name: os.path.join(pki, name)  # noqa: E731
        tls = Server("sqlite://%s/tls.db" % pki, "--tls-cert", p("server.pem"), "--tls-key",
                     p("server.key"), "--tls-client-ca", p("ca.pem"))
        self.addCleanup(tls.stop)
        with_cert = tls_client(p("ca.pem"), p("dev.pem"), p("dev.key"))
        self.assertEqual((200, b"FWSW;300\r\n"), (lambda r: (r.status, r.body))(
            tls.device(tls=with_cert).get("jobs/dev/j")))
        self.assertEqual(403, tls.device(tls=with_cert).get("jobs/other/j").status)
        with self.assertRaises(OSError):  # no certificate: no handshake
            tls.device(tls=tls_client(p("ca.pem"))).get("jobs/dev/j")


if __name__ == "__main__":
    unittest.main()
