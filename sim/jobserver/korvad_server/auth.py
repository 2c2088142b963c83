"""Basic authorization against a credentials file of hashed passwords.

One entry a line, '#' lines and blank lines ignored:

    USER:HASH[:DEVICES]

HASH is "scrypt$N$r$p$SALT$KEY" (SALT and KEY in base64) or "pbkdf2_sha256$ROUNDS$SALT$KEY".
DEVICES says which devices the user may speak for: "*" (a fleet account: any device, and
the /status page), or device ids separated by commas; without it, the one device whose id
is USER. `korvad-server passwd --users FILE USER [--devices ...]` adds or replaces an entry.
"""
import base64
import hashlib
import hmac
import os
import threading

SCRYPT = (16384, 8, 1)  # about 16 MiB and a few tens of milliseconds per check


def hash_password(password):
    n, r, p = SCRYPT
    salt = os.urandom(16)
    key = hashlib.scrypt(password.encode(), salt=salt, n=n, r=r, p=p, maxmem=64 << 20, dklen=32)
    return "scrypt$%d$%d$%d$%s$%s" % (n, r, p, base64.b64encode(salt).decode(),
                                      base64.b64encode(key).decode())


def check_password(stored, password):
    fields = stored.split("$")
    try:
        if fields[0] == "scrypt" and len(fields) == 6:
            n, r, p = (int(v) for v in fields[1:4])
            salt, key = base64.b64decode(fields[4]), base64.b64decode(fields[5])
            made = hashlib.scrypt(password.encode(), salt=salt, n=n, r=r, p=p,
                                  maxmem=256 << 20, dklen=len(key))
        elif fields[0] == "pbkdf2_sha256" and len(fields) == 4:
            salt, key = base64.b64decode(fields[2]), base64.b64decode(fields[3])
            made = hashlib.pbkdf2_hmac("sha256", password.encode(), salt, int(fields[1]),
                                       len(key))
        else:
            return False
    except (ValueError, MemoryError):
        return False
    return hmac.compare_digest(made, key)


def parse(text):
    """{user: (hash, devices or None for '*')} of a credentials file's text."""
    users = {}
    for line in text.splitlines():
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        user, _, rest = line.partition(":")
        stored, _, devices = rest.partition(":")
        if devices.strip() == "*":
            scope = None
        else:
            scope = frozenset(d.strip() for d in devices.split(",") if d.strip()) or {user}
        users[user] = (stored, scope)
    return users


def add_entry(path, user, password, devices=None):
    """Adds or replaces user's entry, keeping the other lines."""
    if ":" in user or not user:
        raise ValueError("a user name is not empty and holds no ':'")
    lines = []
    if os.path.exists(path):
        with open(path) as f:
            lines = [l for l in f.read().splitlines() if l.partition(":")[0] != user]
    lines.append("%s:%s%s" % (user, hash_password(password), ":" + devices if devices else ""))
    fd = os.open(path + ".new", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w") as f:
        f.write("\n".join(lines) + "\n")
    os.replace(path + ".new", path)


class Users:
    """The credentials file, read again when it changes. Checked passwords are remembered
    (as a keyed digest), so a device pays for the slow hash once, not on every request."""

    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        self.stamp = None
        self.users = {}
        self.good = set()
        self.key = os.urandom(32)

    def load(self):
        stamp = os.stat(self.path)
        stamp = (stamp.st_mtime_ns, stamp.st_size, stamp.st_ino)
        with self.lock:
            if stamp != self.stamp:
                with open(self.path) as f:
                    self.users = parse(f.read())
                self.stamp, self.good = stamp, set()
            return self.users

    def check(self, user, password):
        """The devices user may speak for (None: all), or False when the check fails."""
        entry = self.load().get(user)
        if entry is None:
            return False
        proof = hmac.new(self.key, ("%s\0%s\0%s" % (user, password, entry[0])).encode(),
                         "sha256").digest()
        if proof not in self.good:
            if not check_password(entry[0], password):
                return False
            with self.lock:
                self.good.add(proof)
        return entry[1]
