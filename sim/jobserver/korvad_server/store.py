"""The server's state: devices, their job queues and park jobs, uploads and their parts.

One SQLite file by default (no server to run), or a PostgreSQL database that several server
instances share. Every change that reads and writes a device's state runs in one
transaction that holds the device's row (SQLite: the whole database), so that two requests
of one device, or two instances, never interleave: every part lands in exactly one upload,
and every upload is stored once.
"""
import json
import os
import queue
import secrets
import sqlite3
import threading
import time
import urllib.parse

from korvad_jobtool import decode

# The reply to a POST holds at most 1024 bytes, four of them "OK" CR LF.
MAX_FOLLOWUP = 1020

SCHEMA = """
CREATE TABLE IF NOT EXISTS devices (
  device TEXT PRIMARY KEY, first_seen DOUBLE PRECISION,
  last_get DOUBLE PRECISION, last_get_path TEXT, gets BIGINT NOT NULL DEFAULT 0,
  last_post DOUBLE PRECISION, posts BIGINT NOT NULL DEFAULT 0,
  current_job BIGINT, last_refusal DOUBLE PRECISION, last_refusal_text TEXT,
  refusals BIGINT NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS jobs (
  id {serial}, device TEXT NOT NULL, data {blob} NOT NULL, queued DOUBLE PRECISION NOT NULL,
  state TEXT NOT NULL DEFAULT 'queued', gets BIGINT NOT NULL DEFAULT 0,
  followups BIGINT NOT NULL DEFAULT 0, last_sent DOUBLE PRECISION, done DOUBLE PRECISION,
  upload TEXT);
CREATE INDEX IF NOT EXISTS jobs_device ON jobs (device, state, id);
CREATE TABLE IF NOT EXISTS parks (
  device TEXT PRIMARY KEY, data {blob} NOT NULL, set_at DOUBLE PRECISION NOT NULL);
CREATE TABLE IF NOT EXISTS uploads (
  id TEXT PRIMARY KEY, device TEXT NOT NULL, name TEXT NOT NULL,
  started DOUBLE PRECISION NOT NULL, finished DOUBLE PRECISION, state TEXT NOT NULL,
  parts BIGINT NOT NULL DEFAULT 0, bytes BIGINT NOT NULL DEFAULT 0, job BIGINT, note TEXT,
  decoded TEXT);
CREATE INDEX IF NOT EXISTS uploads_device ON uploads (device, started);
CREATE INDEX IF NOT EXISTS uploads_open ON uploads (device, name, state);
CREATE TABLE IF NOT EXISTS parts (
  upload TEXT NOT NULL, number BIGINT NOT NULL, name TEXT NOT NULL, final SMALLINT NOT NULL,
  received DOUBLE PRECISION NOT NULL, data {blob} NOT NULL, PRIMARY KEY (upload, number));
"""

FLEET = "*"  # the device name of the fleet's park job


def upload_id(now):
    """A time-stamped id that sorts by arrival: 20250131T120000.123456Z-3fa2c1."""
    stamp = time.strftime("%Y%m%dT%H%M%S", time.gmtime(now))
    return "%s.%06dZ-%s" % (stamp, int(now % 1 * 1000000), secrets.token_hex(3))


class Store:
    """The database behind a URL: sqlite:///PATH or postgresql://... (psycopg2)."""

    def __init__(self, url):
        self.url = url
        scheme = urllib.parse.urlsplit(url).scheme
        if scheme == "sqlite":
            self.path = url[len("sqlite://"):]
            if not self.path.startswith("/"):
                raise ValueError("a SQLite URL names an absolute path: sqlite:///PATH")
            os.makedirs(os.path.dirname(self.path) or "/", exist_ok=True)
            self.postgres = False
        elif scheme in ("postgresql", "postgres"):
            try:
                import psycopg2  # noqa: F401  only a PostgreSQL database needs it
            except ImportError:
                raise ValueError("a PostgreSQL database needs psycopg2 (Debian: python3-psycopg2)")
            self.postgres = True
        else:
            raise ValueError("unknown database URL %r: sqlite:///PATH or postgresql://..." % url)
        self.pool = queue.LifoQueue()
        self.lock = threading.Lock()
        with self.transaction() as db:
            # Every command opens the store; on PostgreSQL even a CREATE ... IF NOT EXISTS of
            # something there locks its table, which deadlocks with a serving instance's
            # writes: the schema is made only when it is missing.
            if self.postgres and db.one("SELECT to_regclass('parts')")[0] is not None:
                return
            for statement in SCHEMA.split(";"):
                if statement.strip():
                    db.execute(statement.format(
                        serial="BIGSERIAL PRIMARY KEY" if self.postgres
                        else "INTEGER PRIMARY KEY AUTOINCREMENT",
                        blob="BYTEA" if self.postgres else "BLOB"))

    # ---- connections and transactions ----

    def connect(self):
        if self.postgres:
            import psycopg2
            return psycopg2.connect(self.url)
        connection = sqlite3.connect(self.path, timeout=60, isolation_level=None,
                                     check_same_thread=False)
        connection.execute("PRAGMA journal_mode=WAL")
        connection.execute("PRAGMA synchronous=NORMAL")
        return connection

    def transaction(self, lock=True):
        return Transaction(self, lock)

    # ---- the device's side ----

    def job_for_get(self, device, path, now=None):
        """The JobFile a GET of device gets: the first job not done, else the park job."""
        now = time.time() if now is None else now
        with self.transaction() as db:
            db.device(device, now)
            db.execute("UPDATE devices SET last_get = ?, last_get_path = ?, gets = gets + 1 "
                       "WHERE device = ?", (now, path, device))
            job = db.one("SELECT id, data FROM jobs WHERE device = ? AND state <> 'done' "
                         "ORDER BY id LIMIT 1", (device,))
            if job is not None:
                db.execute("UPDATE jobs SET state = 'sent', gets = gets + 1, last_sent = ? "
                           "WHERE id = ?", (now, job[0]))
            db.execute("UPDATE devices SET current_job = ? WHERE device = ?",
                       (job[0] if job else None, device))
            return bytes(job[1]) if job else db.park(device)

    def store_part(self, device, name, number, final, data, now=None):
        """Stores one posted part: (upload id, follow-up JobFile or None, whether the part
        completed an upload).

        Part 1 opens an upload (an upload of that name still open was abandoned by the
        device: it starts every upload again from part 1); part n continues the open one
        whose last part is n - 1; anything else is kept as an upload of its own, marked
        broken. The final part completes the upload, marks the job it answers done and hands
        out the next queued job as the follow-up, if it fits the reply.
        """
        now = time.time() if now is None else now
        with self.transaction() as db:
            db.device(device, now)
            db.execute("UPDATE devices SET last_post = ?, posts = posts + 1 WHERE device = ?",
                       (now, device))
            current = db.one("SELECT current_job FROM devices WHERE device = ?", (device,))[0]
            open_upload = db.one("SELECT id, parts FROM uploads WHERE device = ? AND name = ? "
                                 "AND state = 'open'", (device, name))
            if open_upload is not None and number != open_upload[1] + 1:
                db.execute("UPDATE uploads SET state = 'abandoned', finished = ?, note = ? "
                           "WHERE id = ?", (now, "part %d came next: the device started over"
                                            % number if number == 1 else
                                            "part %d came next, not part %d"
                                            % (number, open_upload[1] + 1), open_upload[0]))
                open_upload = None
            if open_upload is None:
                uid = upload_id(now)
                broken = number != 1
                db.execute("INSERT INTO uploads (id, device, name, started, state, job, note) "
                           "VALUES (?, ?, ?, ?, ?, ?, ?)",
                           (uid, device, name, now, "broken" if broken else "open",
                            None if broken else current,
                            "begins with part %d" % number if broken else None))
            else:
                uid = open_upload[0]
            db.execute("INSERT INTO parts (upload, number, name, final, received, data) "
                       "VALUES (?, ?, ?, ?, ?, ?)",
                       (uid, number, "%s.%05d%s" % (name, number, ".end" if final else ""),
                        1 if final else 0, now, db.blob(data)))
            db.execute("UPDATE uploads SET parts = parts + 1, bytes = bytes + ? WHERE id = ?",
                       (len(data), uid))
            if not final or open_upload is None and number != 1:
                return uid, None, False
            db.execute("UPDATE uploads SET state = 'complete', finished = ? WHERE id = ?",
                       (now, uid))
            if current is not None:
                db.execute("UPDATE jobs SET state = 'done', done = ?, upload = ? "
                           "WHERE id = ? AND state <> 'done'", (now, uid, current))
            job = db.one("SELECT id, data FROM jobs WHERE device = ? AND state <> 'done' "
                         "ORDER BY id LIMIT 1", (device,))
            followup = None
            if job is not None and len(job[1]) <= MAX_FOLLOWUP:
                # The device takes it only when its next cycle is due; otherwise it fetches
                # it with its next GET, which hands out the same first job not done.
                db.execute("UPDATE jobs SET state = 'offered', followups = followups + 1, "
                           "last_sent = ? WHERE id = ?", (now, job[0]))
                followup = bytes(job[1])
            db.execute("UPDATE devices SET current_job = ? WHERE device = ?",
                       (job[0] if followup is not None else None, device))
            return uid, followup, True

    def decode_upload(self, uid):
        """Decodes a complete upload and stores the results with it."""
        with self.transaction(lock=False) as db:
            chunks = [(name, bytes(data)) for name, data in db.all(
                "SELECT name, data FROM parts WHERE upload = ? ORDER BY number", (uid,))]
        result = decode(chunks)
        with self.transaction(lock=False) as db:
            db.execute("UPDATE uploads SET decoded = ? WHERE id = ?", (json.dumps(result), uid))
        return result

    def refusal(self, device, text, now=None):
        now = time.time() if now is None else now
        with self.transaction() as db:
            db.device(device, now)
            db.execute("UPDATE devices SET last_refusal = ?, last_refusal_text = ?, "
                       "refusals = refusals + 1 WHERE device = ?", (now, text, device))

    # ---- the operator's side ----

    def queue_job(self, device, data, now=None):
        with self.transaction() as db:
            db.device(device, time.time() if now is None else now)
            db.execute("INSERT INTO jobs (device, data, queued) VALUES (?, ?, ?)",
                       (device, db.blob(data), time.time() if now is None else now))
            return db.one("SELECT MAX(id) FROM jobs WHERE device = ?", (device,))[0]

    def set_park(self, device, data):
        with self.transaction() as db:
            db.execute("DELETE FROM parks WHERE device = ?", (device,))
            if data is not None:
                db.execute("INSERT INTO parks (device, data, set_at) VALUES (?, ?, ?)",
                           (device, db.blob(data), time.time()))

    def devices(self):
        with self.transaction(lock=False) as db:
            rows = db.all("SELECT device, first_seen, last_get, last_get_path, gets, last_post, "
                          "posts, last_refusal, last_refusal_text, refusals FROM devices "
                          "ORDER BY device")
        keys = ("device", "first_seen", "last_get", "last_get_path", "gets", "last_post",
                "posts", "last_refusal", "last_refusal_text", "refusals")
        return [dict(zip(keys, row)) for row in rows]

    def jobs(self, device=None, pending_only=False):
        where, args = [], []
        if device is not None:
            where.append("device = ?")
            args.append(device)
        if pending_only:
            where.append("state <> 'done'")
        sql = ("SELECT id, device, data, queued, state, gets, followups, last_sent, done, upload "
               "FROM jobs" + (" WHERE " + " AND ".join(where) if where else "") + " ORDER BY id")
        with self.transaction(lock=False) as db:
            rows = db.all(sql, args)
        keys = ("id", "device", "data", "queued", "state", "gets", "followups", "last_sent",
                "done", "upload")
        return [dict(zip(keys, row[:2] + (bytes(row[2]),) + row[3:])) for row in rows]

    def uploads(self, device=None, with_parts=False):
        sql = ("SELECT id, device, name, started, finished, state, parts, bytes, job, note, "
               "decoded FROM uploads" + (" WHERE device = ?" if device is not None else "") +
               " ORDER BY started, id")
        with self.transaction(lock=False) as db:
            rows = db.all(sql, (device,) if device is not None else ())
            keys = ("id", "device", "name", "started", "finished", "state", "parts", "bytes",
                    "job", "note", "decoded")
            found = [dict(zip(keys, row)) for row in rows]
            for upload in found:
                upload["decoded"] = json.loads(upload["decoded"]) if upload["decoded"] else None
                if with_parts:
                    upload["part_data"] = [(name, bytes(data)) for name, data in db.all(
                        "SELECT name, data FROM parts WHERE upload = ? ORDER BY number",
                        (upload["id"],))]
        return found


class Transaction:
    """One transaction on a pooled connection; with lock, a write transaction that holds
    the device rows it touches (SQLite: the database) until it ends."""

    def __init__(self, store, lock=True):
        self.store, self.lock = store, lock

    def __enter__(self):
        try:
            self.connection = self.store.pool.get_nowait()
        except queue.Empty:
            self.connection = self.store.connect()
        self.cursor = self.connection.cursor()
        if not self.store.postgres:
            self.cursor.execute("BEGIN IMMEDIATE" if self.lock else "BEGIN")
        return self

    def __exit__(self, kind, value, trace):
        try:
            if kind is None:
                self.connection.commit()
            else:
                self.connection.rollback()
            self.cursor.close()
            self.store.pool.put(self.connection)
        except Exception:
            self.connection.close()
            if kind is None:
                raise
        return False

    def execute(self, sql, args=()):
        if self.store.postgres:
            sql = sql.replace("?", "%s")
        self.cursor.execute(sql, tuple(args))
        return self.cursor

    def one(self, sql, args=()):
        return self.execute(sql, args).fetchone()

    def all(self, sql, args=()):
        return self.execute(sql, args).fetchall()

    def blob(self, data):
        if self.store.postgres:
            import psycopg2
            return psycopg2.Binary(data)
        return sqlite3.Binary(data)

    def device(self, device, now):
        """Makes sure the device has its row, and holds it for this transaction."""
        self.execute("INSERT INTO devices (device, first_seen) VALUES (?, ?) "
                     "ON CONFLICT DO NOTHING", (device, now))
        if self.store.postgres:
            self.execute("SELECT device FROM devices WHERE device = ? FOR UPDATE", (device,))

    def park(self, device):
        row = self.one("SELECT data FROM parks WHERE device = ?", (device,))
        if row is None:
            row = self.one("SELECT data FROM parks WHERE device = ?", (FLEET,))
        return bytes(row[0]) if row is not None else None
