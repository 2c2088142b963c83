"""korvad-server: the job server for a fleet of korvad devices.

  serve    answer the devices: GET <jobs prefix>/<device>/<name> gives the device's next
           queued JobFile (or its park job), POST <results prefix>/<device>/<name>.<part>
           stores a result part; the reply to a final part carries the next queued job
  queue    add JobFiles to the queue of a device (or of several)
  park     set the JobFile a device gets while its queue is empty (or the fleet's)
  results  a device's uploads (or every device's), decoded
  status   per device: last GET, last upload, failed uploads, refused requests, queued jobs
  passwd   add or replace an entry of a credentials file

--db is sqlite:///PATH (default: korvad-server.db in the state directory) or a PostgreSQL
URL (postgresql://user@host/db; needs psycopg2), which several instances may share.
"""
import argparse
import getpass
import json
import os
import signal
import sys

from korvad_jobtool import __version__
from korvad_jobtool.jobfile import MAX_JOB_SIZE

from . import auth, report
from .store import FLEET, MAX_FOLLOWUP, Store


def state_dir():
    if os.geteuid() == 0:
        return "/var/lib/korvad-server"
    base = os.environ.get("XDG_STATE_HOME") or os.path.expanduser("~/.local/state")
    return os.path.join(base, "korvad-server")


def read_job(path):
    if path == "-":
        data = sys.stdin.buffer.read()
    else:
        with open(path, "rb") as f:
            data = f.read()
    if not data:
        raise ValueError("%s is empty: the device would post an empty result for it" % path)
    if len(data) > MAX_JOB_SIZE:
        raise ValueError("%s has %d bytes; korvad refuses 2097152 or more" % (path, len(data)))
    return data


def run_serve(args):
    from .app import App, log
    from .serve import make_server, tls_context
    users = None
    if args.users:
        users = auth.Users(args.users)
        users.load()  # a missing or unreadable file stops the start, not the first device
    if bool(args.tls_cert) != bool(args.tls_key) or args.tls_client_ca and not args.tls_cert:
        raise ValueError("--tls-cert and --tls-key go together; --tls-client-ca needs them")
    tls = tls_context(args.tls_cert, args.tls_key, args.tls_client_ca) if args.tls_cert else None
    hooks = None
    if args.test_root:
        from .testing import Hooks
        hooks = Hooks(args.test_root)
    app = App(Store(args.db), users, args.jobs_prefix, args.results_prefix, args.park_interval,
              args.max_part, quiet=args.quiet)
    server = make_server(app, args.listen, tls, args.tls_client_ca, hooks, args.quiet)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    host, port = server.server_address[:2]
    print("korvad-server: listening on %s:%d (%s), database %s%s"
          % ("[%s]" % host if ":" in host else host, port, "https" if tls else "http",
             args.db.split("@")[-1] if "://" in args.db else args.db,
             "" if users else ", no credentials checked"), flush=True)
    if not users:
        log("no --users: every request is taken without authorization")
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


def run_queue(args):
    jobs = [(path, read_job(path)) for path in args.jobfile]
    store = Store(args.db)
    for device in args.device.split(","):
        for path, data in jobs:
            job = store.queue_job(device, data)
            note = "" if len(data) <= MAX_FOLLOWUP else (
                " (%d bytes: too large for a follow-up, it goes out with a GET)" % len(data))
            print("queued job %d for %s: %s%s" % (job, device, path, note))
    return 0


def run_park(args):
    words = list(args.words)
    device = FLEET if args.fleet else (words.pop(0) if words else None)
    if device is None or len(words) != (0 if args.clear else 1):
        raise ValueError("write: park (DEVICE | --fleet) (JOBFILE | --clear)")
    Store(args.db).set_park(device, None if args.clear else read_job(words[0]))
    return 0


def run_results(args):
    uploads = Store(args.db).uploads(args.device, with_parts=bool(args.parts))
    if args.last:
        uploads = uploads[-args.last:]
    for upload in uploads:
        if args.parts:
            folder = os.path.join(args.parts, upload["id"])
            os.makedirs(folder, exist_ok=True)
            for name, data in upload.pop("part_data"):
                with open(os.path.join(folder, os.path.basename(name)), "wb") as f:
                    f.write(data)
    if args.json:
        print(json.dumps(uploads, indent=1))
    else:
        for upload in uploads:
            print("\n".join(report.upload_lines(upload)))
    return 0


def run_status(args):
    devices = report.fleet(Store(args.db))
    print(json.dumps(devices, indent=1) if args.json else "\n".join(report.text(devices)))
    return 0


def run_passwd(args):
    if sys.stdin.isatty():
        password = getpass.getpass("password for %s: " % args.user)
        if password != getpass.getpass("again: "):
            raise ValueError("the passwords differ")
    else:
        password = sys.stdin.readline().rstrip("\r\n")
    if not password or len(password) > 32 or len(args.user) > 32:
        raise ValueError("the device sends at most 32 characters of user and password; the "
                         "password must not be empty")
    auth.add_entry(args.users, args.user, password, args.devices)
    return 0


def main(argv=None):
    db = argparse.ArgumentParser(add_help=False)
    db.add_argument("--db", default=None, help="sqlite:///PATH or postgresql://... (default: "
                    "sqlite in %s)" % state_dir())
    parser = argparse.ArgumentParser(prog="korvad-server", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version="korvad-server " + __version__)
    sub = parser.add_subparsers(dest="command", required=True)

    serve = sub.add_parser("serve", parents=[db], help="answer the devices")
    serve.add_argument("--listen", default="127.0.0.1:8080", metavar="ADDR:PORT",
                       help="address and port (default 127.0.0.1:8080; 0.0.0.0:80 for all)")
    serve.add_argument("--users", metavar="FILE", help="credentials file: check Basic "
                       "authorization (see korvad_server/auth.py for the format)")
    serve.add_argument("--tls-cert", metavar="FILE", help="serve HTTPS with this certificate "
                       "chain (PEM)")
    serve.add_argument("--tls-key", metavar="FILE", help="its private key (PEM)")
    serve.add_argument("--tls-client-ca", metavar="FILE", help="demand device certificates "
                       "from this CA; a certificate speaks only for the device named in it")
    serve.add_argument("--jobs-prefix", default="/jobs", help="path of the JobFiles (/jobs)")
    serve.add_argument("--results-prefix", default="/results", help="path of the result "
                       "parts (/results)")
    serve.add_argument("--park-interval", type=int, default=300, metavar="S", help="without a "
                       "park job a device with an empty queue gets FWSW;S (default 300)")
    serve.add_argument("--max-part", type=int, default=16 << 20, metavar="BYTES",
                       help="largest result part taken (default 16 MiB)")
    serve.add_argument("--quiet", action="store_true", help="log refusals and errors only")
    serve.add_argument("--test-root", metavar="DIR", help=argparse.SUPPRESS)
    serve.set_defaults(run=run_serve)

    queue = sub.add_parser("queue", parents=[db], help="queue a JobFile for a device")
    queue.add_argument("device", help="the device, or several separated by commas")
    queue.add_argument("jobfile", nargs="+", help="the JobFiles, queued in this order ('-': "
                       "standard input)")
    queue.set_defaults(run=run_queue)

    park = sub.add_parser("park", parents=[db], help="set the job of an empty queue")
    park.add_argument("words", nargs="*", metavar="[DEVICE] JOBFILE",
                      help="the device (none with --fleet) and the JobFile ('-': standard input)")
    park.add_argument("--fleet", action="store_true", help="for every device without its own")
    park.add_argument("--clear", action="store_true", help="remove it")
    park.set_defaults(run=run_park)

    results = sub.add_parser("results", parents=[db], help="a device's uploads, decoded")
    results.add_argument("device", nargs="?", help="the device (default: every device)")
    results.add_argument("--json", action="store_true")
    results.add_argument("--last", type=int, metavar="N", help="only the last N uploads")
    results.add_argument("--parts", metavar="DIR", help="also write each upload's parts to "
                         "DIR/<upload id>/ (for korvad-jobtool decode --datapool)")
    results.set_defaults(run=run_results)

    status = sub.add_parser("status", parents=[db], help="the fleet at a glance")
    status.add_argument("--json", action="store_true")
    status.set_defaults(run=run_status)

    passwd = sub.add_parser("passwd", help="add or replace a credentials entry (the password "
                            "from standard input, or asked for)")
    passwd.add_argument("--users", required=True, metavar="FILE")
    passwd.add_argument("--devices", help="'*' for a fleet account, or device ids separated by "
                        "commas (default: the device named like the user)")
    passwd.add_argument("user")
    passwd.set_defaults(run=run_passwd)

    args = parser.parse_args(argv)
    if getattr(args, "db", "") is None:
        args.db = "sqlite:///" + os.path.join(state_dir(), "korvad-server.db").lstrip("/")
    try:
        return args.run(args)
    except (OSError, ValueError) as why:
        print("korvad-server %s: %s" % (args.command, why), file=sys.stderr)
        return 1
