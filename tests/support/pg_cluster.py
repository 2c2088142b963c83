"""A throw-away PostgreSQL server from Debian's package, for the tests of korvad-server.

  pg_cluster.py start DIR   prints the database URL (or "skip: <why>" and exits 3)
  pg_cluster.py stop DIR
It listens on a Unix socket in DIR only. PostgreSQL refuses to run as root: then the
cluster belongs to the user nobody, and DIR is handed to it.
"""
import glob
import os
import pwd
import subprocess
import sys

PORT = 5433


def bindir():
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"))
    return os.path.dirname(found[-1]) if found else None


def as_owner(args, **kw):
    if os.geteuid() == 0:
        args = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                "--inh-caps=-all"] + args
    return subprocess.run(args, capture_output=True, text=True, **kw)


def start(folder):
    bin_dir = bindir()
    if bin_dir is None:
        return None, "PostgreSQL is not installed (Debian package postgresql)"
    try:
        import psycopg2  # noqa: F401
    except ImportError:
        return None, "psycopg2 is not installed (Debian package python3-psycopg2)"
    os.makedirs(folder, exist_ok=True)
    if os.geteuid() == 0:
        user = pwd.getpwnam("nobody")
        os.chown(folder, user.pw_uid, user.pw_gid)
    os.chmod(folder, 0o700)
    data = os.path.join(folder, "data")
    steps = [[bin_dir + "/initdb", "-D", data, "-U", "korvad", "--auth=trust", "-E", "UTF8",
              "--no-sync"],
             [bin_dir + "/pg_ctl", "-D", data, "-l", os.path.join(folder, "log"), "-w", "-t",
              "120", "-o", "-k %s -c listen_addresses='' -p %d -c fsync=off "
              "-c max_connections=300" % (folder, PORT), "start"]]
    for step in steps:
        done = as_owner(step)
        if done.returncode != 0:
            return None, "%s failed: %s" % (os.path.basename(step[0]), done.stderr.strip())
    return "postgresql://korvad@/postgres?host=%s&port=%d" % (folder, PORT), None


def stop(folder):
    as_owner([bindir() + "/pg_ctl", "-D", os.path.join(folder, "data"), "-m", "immediate",
              "-w", "stop"])


if __name__ == "__main__":
    if sys.argv[1] == "start":
        url, why = start(sys.argv[2])
        print(url or "skip: " + why)
        sys.exit(0 if url else 3)
    stop(sys.argv[2])
