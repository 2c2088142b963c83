#!/usr/bin/env python3
"""Load on korvad-server: a few hundred simulated devices that speak exactly the bytes of
korvad (korvad_server.device), each running job cycles back to back for a while.

A cycle is a GET of the device's job, then one upload of PARTS result parts
(<name>.00001 ... <name>.<k>.end) of PART_SIZE bytes each, then a pause of THINK seconds
(spread at random). Every device has one queued job at the start, which goes out with its
first GET; later jobs come from a fleet park job. At the end the server's database must hold
exactly the uploads whose final part the devices saw answered "OK": none lost, none twice.

  server_load.py [--db sqlite|postgresql] [--devices 300] [--seconds 180] [--think 1.0]
Prints requests per second, p50/p99/max latency of GETs and POSTs, and the upload check.
"""
import argparse
import os
import random
import subprocess
import sys
import tempfile
import threading
import time

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, os.path.join(TOP, "sim", "jobserver"))
sys.path.insert(0, os.path.join(TOP, "tests", "support"))
from korvad_server.device import Device  # noqa: E402
from korvad_server.store import Store  # noqa: E402

SERVER = os.path.join(TOP, "sim", "jobserver", "korvad-server")


def result_body(size):
    """Result lines as korvad writes them (APLI acknowledgements), about size bytes."""
    line = b"APLI;0\r\n"
    return line * max(1, size // len(line))


def percentile(values, share):
    values = sorted(values)
    return values[min(len(values) - 1, int(len(values) * share))] if values else 0.0


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--db", choices=("sqlite", "postgresql"), default="sqlite")
    parser.add_argument("--devices", type=int, default=300)
    parser.add_argument("--seconds", type=float, default=180)
    parser.add_argument("--think", type=float, default=1.0, help="mean pause between cycles")
    parser.add_argument("--parts", type=int, default=2)
    parser.add_argument("--part-size", type=int, default=1000)
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="korvad_load_")
    os.chmod(work, 0o755)  # PostgreSQL runs as nobody when this runs as root
    cluster = None
    if args.db == "postgresql":
        import pg_cluster
        cluster = os.path.join(work, "pg")
        db, why = pg_cluster.start(cluster)
        if db is None:
            subprocess.run(["rm", "-rf", work])
            sys.exit("no PostgreSQL: " + why)
    else:
        db = "sqlite://%s/server.db" % work
    log = open(os.path.join(work, "server.log"), "w")
    server = subprocess.Popen([sys.executable, "-B", SERVER, "serve", "--db", db, "--listen",
                               "127.0.0.1:0", "--quiet"], stdout=subprocess.PIPE, stderr=log,
                              text=True)
    try:
        line = server.stdout.readline()
        port = int(line.split("127.0.0.1:")[1].split()[0])
        devices = ["load%04d" % i for i in range(args.devices)]
        job = os.path.join(work, "job.txt")
        with open(job, "wb") as f:
            f.write(b"FWSW;60\r\nAPLI;\r\n")
        subprocess.run([sys.executable, "-B", SERVER, "queue", "--db", db, ",".join(devices),
                        job], check=True, stdout=subprocess.DEVNULL)
        subprocess.run([sys.executable, "-B", SERVER, "park", "--db", db, "--fleet", job],
                       check=True)

        lock = threading.Lock()
        latency = {"GET": [], "POST": []}
        answered = {d: 0 for d in devices}  # uploads whose final part was answered OK
        failures = []
        stop_at = time.monotonic() + args.seconds

        def run(device):
            client = Device("127.0.0.1", port, timeout=240)
            rng = random.Random(device)
            time.sleep(rng.uniform(0, args.think))
            cycle = 0
            while time.monotonic() < stop_at:
                cycle += 1
                try:
                    began = time.monotonic()
                    reply = client.get("jobs/%s/job.txt" % device)
                    took = [("GET", time.monotonic() - began)]
                    ok = reply.status == 200
                    for n in range(1, args.parts + 1):
                        if not ok:
                            break
                        name = "results/%s/result.txt.%05d%s" % (
                            device, n, ".end" if n == args.parts else "")
                        began = time.monotonic()
                        reply = client.post(name, result_body(args.part_size))
                        took.append(("POST", time.monotonic() - began))
                        ok = reply.status == 200 and reply.body.startswith(b"OK\r\n")
                    with lock:
                        for kind, seconds in took:
                            latency[kind].append(seconds)
                        if ok:
                            answered[device] += 1
                        else:
                            failures.append((device, cycle, reply.status))
                except OSError as why:
                    with lock:
                        failures.append((device, cycle, repr(why)))
                time.sleep(rng.uniform(0, 2 * args.think))

        threads = [threading.Thread(target=run, args=(d,)) for d in devices]
        started = time.monotonic()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        elapsed = time.monotonic() - started

        store = Store(db)
        stored = {d: 0 for d in devices}
        other = 0
        for upload in store.uploads():
            if upload["state"] == "complete" and upload["device"] in stored:
                stored[upload["device"]] += 1
            else:
                other += 1
        lost = sum(max(0, answered[d] - stored[d]) for d in devices)
        doubled = sum(max(0, stored[d] - answered[d]) for d in devices)
        requests = len(latency["GET"]) + len(latency["POST"])
        print("korvad-server on %s: %d devices, %.0f s, %d parts of %d bytes per upload, "
              "think %.1f s" % (args.db, args.devices, elapsed, args.parts, args.part_size,
                                args.think))
        print("  %d requests, %.1f requests/s; %d uploads, %.1f uploads/s"
              % (requests, requests / elapsed, sum(answered.values()),
                 sum(answered.values()) / elapsed))
        for kind in ("GET", "POST"):
            values = latency[kind]
            print("  %-4s p50 %6.1f ms  p99 %6.1f ms  max %6.1f ms  (%d)"
                  % (kind, 1000 * percentile(values, 0.5), 1000 * percentile(values, 0.99),
                     1000 * max(values or [0]), len(values)))
        print("  failed cycles %d; uploads stored %d, answered %d: lost %d, doubled %d, "
              "other %d" % (len(failures), sum(stored.values()), sum(answered.values()), lost,
                            doubled, other))
        for failure in failures[:5]:
            print("    failure:", failure)
        return 0 if lost == 0 and doubled == 0 and other == 0 and not failures else 1
    finally:
        server.terminate()
        server.wait(30)
        log.close()
        if cluster is not None:
            pg_cluster.stop(cluster)
        subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    sys.exit(main())
