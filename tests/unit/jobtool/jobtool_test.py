"""korvad-jobtool: the text form's exact bytes and refusals, and decoding of hand-built
result parts laid out as korvad uploads them (the daemon's own answers are decoded by the
system test)."""
import os
import random
import subprocess
import sys
import tempfile
import unittest

TOOL = os.path.join(os.path.dirname(__file__), "..", "..", "..", "sim", "jobserver")
sys.path.insert(0, TOOL)
from korvad_jobtool import jobfile  # noqa: E402
from korvad_jobtool.cli import decode_parts  # noqa: E402


def le16(v):
    return bytes((v & 0xFF, v >> 8))


LIST = ("NUMOFVARS=3\nVERSION=2\n[VARIABLE0]\nNAME=speed\nTYPE=UINT16\nADDRESS=0\nSIZE=2\n"
        "[VARIABLE1]\nNAME=temp\nTYPE=FLOAT32\nADDRESS=4\nSIZE=4\n"
        "[VARIABLE2]\nNAME=id\nTYPE=STRING\nADDRESS=8\nSIZE=6\n")


def kfgv(entries, status=0, header=b"H" * 16):
    body = b"".join(le16(ref) + value for ref, value in entries)
    return (b"KFGV;DAT[VL1" + le16(24) + header + le16(6 + len(body)) + le16(4) +
            (1700000000).to_bytes(4, "little") + le16(len(body)) + body +
            b"\0\0];%d\r\n" % status)


def dlgn(name, blocks, status=0):
    pieces = b"".join(le16(len(b) + 2) + le16(len(b)) + b for b in blocks)
    return b"DLGN;DAT[DLN" + le16(16) + name.ljust(16, b"\0") + pieces + b"\0\0];%d\r\n" % status


TEMP = tempfile.TemporaryDirectory()


class Parts:
    """A folder of result parts: the bytes cut at the given offsets."""

    def __init__(self, data, cuts, base="result.txt"):
        self.dir = tempfile.mkdtemp(dir=TEMP.name)
        bounds = [0] + list(cuts) + [len(data)]
        for n in range(1, len(bounds)):
            name = "%s.%05d%s" % (base, n, ".end" if n == len(bounds) - 1 else "")
            with open(os.path.join(self.dir, name), "wb") as f:
                f.write(data[bounds[n - 1]:bounds[n]])

    def path(self, *names):
        return os.path.join(self.dir, *names)


class Compose(unittest.TestCase):
    def test_every_command_gives_its_exact_bytes(self):
        # The forms that the system test's round trips leave open (the logger lines, fwli
        # and plain lines are composed and run there).
        rows = [
            ("dbus call zielad Echo payload=hex:0a0b", b"DBUS;1;zielad;Echo;2;\n\x0b\r\n"),
            ('dbus signal t Led "payload=text:a; #b"', b"DBUS;0;t;Led;5;a; #b\r\n"),
            ("dbus broadcast Wakeup", b"DBUS;0;;Wakeup;0;\r\n"),
            ("kfgv 0x0102 1 header=text:abc", b"KFGV;DAT[VL1\x14\x00abc" + b"\0" * 13 +
             b"\x02\x01\x01\x00\0\0]\r\n"),
            ("kfsv 0x0102=5 258=0xFFFFFFFF", b"KFSV;0x0102;5;0x0102;-1\r\n"),
            ("kfsv-binary 0x0102=hex:deadbeef 3=text:x",
             b"KFSV;DAT[VL2\x06\x00\x02\x01\xde\xad\xbe\xef\x03\x00\x03\x00x\0\0]\r\n"),
            ("fwsw 0x10", b"FWSW;16\r\n"), ("DBUS;1;t;M;3;abc", b"DBUS;1;t;M;3;abc\r\n"),
        ]
        for line, expected in rows:
            job, problems, _ = jobfile.compose(line)
            self.assertEqual((expected, []), (job, problems), line)

    def test_lines_the_daemon_could_not_take_are_refused_with_the_reason(self):
        rows = [
            ("dbus call " + "n" * 48 + " Echo", "has 48 characters; korvad takes at most 47"),
            ("dbus call a#b Echo", "holds ';' or '#'"),
            ("dbus call t 9x", "no valid name"),
            ("dbus call DATA Echo", "';DAT'"),
            ("dbus call t M payload=text:x;DATy", "';DAT'"),
            ("dbus broadcast M payload=hex:01", "remove payload="),
            ("DBUS;1;t;M;4;abc", "says 4 but 3 bytes follow; write 3"),
            ("DBUS;1;t;M;0x3;abc", "must be a decimal number"),
            ("DBUS;1;t;M", "five ';'"),
            ("dlgn log;1", "holds ';' or '#'"), ("dlgn abcdefghijklmnop", "at most 15"),
            ("kfgv", "at least one VarRef"), ("kfgv 0x10000", "between 0 and 65535"),
            ("kfgv 1 header=text:" + "h" * 17, "holds 16"), ("kfsv 1", "no REF=VALUE"),
            ("kfsv-binary 1=hex:abc", "no even run"), ("fwsw 3000000000", "2147483647"),
            ("fwsw 12x", "not a number"), ("dlgn log1 offst=1", "unknown option"),
        ]
        for line, why in rows:
            job, problems, _ = jobfile.compose("fwlo\n" + line)
            self.assertEqual(b"FWLO\r\n", job, line)
            self.assertEqual(1, len(problems), line)
            self.assertEqual(2, problems[0][0])
            self.assertIn(why, problems[0][1], line)

    def test_a_refused_job_writes_nothing(self):
        out = os.path.join(tempfile.mkdtemp(dir=TEMP.name), "job.txt")
        run = subprocess.run([sys.executable, os.path.join(TOOL, "korvad-jobtool"), "compose",
                              "-o", out], input=b"fwlo\nNOPE;1\nkfgv\n", capture_output=True)
        self.assertEqual(1, run.returncode)
        self.assertIn(b"<stdin>:2: note: matches no command", run.stderr)
        self.assertIn(b"<stdin>:3: 'kfgv' refused: kfgv needs at least one VarRef", run.stderr)
        self.assertFalse(os.path.exists(out))

    def test_datapool_names_sizes_a_second_dlgn_strict_and_version(self):
        pool = make_pool()
        rows = [  # arguments, description, exit status, JobFile, text in the messages
            (["--version"], "", 0, b"", "korvad-jobtool %s" % version_of_daemon()),
            (["--datapool", pool], "kfgv speed c/id 0\nkfsv-binary temp=hex:00002041", 0,
             b"KFGV;DAT[VL1\x16\x00" + b"\0" * 16 + b"\x00\x02\x02\x02\x00\x00\0\0]\r\n"
             b"KFSV;DAT[VL2\x06\x00\x01\x02\x00\x00\x20\x41\0\0]\r\n", ""),
            (["--datapool", pool], "kfsv speed=1", 1, b"", "c/speed has 2 bytes, the value 4"),
            (["--datapool", pool], "kfsv-binary id=text:abc", 1, b"", "c/id has 6 bytes"),
            (["--datapool", pool], "kfgv 0x0105", 1, b"", "VarRef 0x0105 names no variable"),
            (["--datapool", pool], "kfgv nope", 1, b"", "'nope' names no variable"),
            ([], "dlgn log1\ndlgn log2\ndlgn log1 offset=2", 0,
             b"DLGN;log1;;;0\r\nDLGN;log2;;;0\r\nDLGN;log1;;;2\r\n",
             ":3: warning: a second DLGN of logger log1 in one job (first in line 1)"),
            ([], "fwlo\nHELLO;1", 0, b"FWLO\r\nHELLO;1\r\n", ":2: note: matches no command"),
            (["--strict"], "fwlo\nHELLO;1", 1, b"", ":2: 'HELLO;1' refused: matches no"),
        ]
        for args, text, status, job, message in rows:
            command = ["--version"] if args == ["--version"] else ["compose"] + args
            run = subprocess.run([sys.executable, os.path.join(TOOL, "korvad-jobtool")] + command,
                                 input=text.encode(), capture_output=True)
            self.assertEqual(status, run.returncode, (args, text, run.stderr))
            if args != ["--version"]:
                self.assertEqual(job, run.stdout, text)
            self.assertIn(message, (run.stdout + run.stderr).decode(), text)


def version_of_daemon():
    """The daemon's version ("v3_02r5") as the package spells it (3.2.5)."""
    with open(os.path.join(TOOL, "..", "..", "src", "core", "startup.h")) as f:
        major, minor, patch = __import__("re").search(r'"v(\d+)_(\d+)r(\d+)"', f.read()).groups()
    return "%d.%d.%d" % (int(major), int(minor), int(patch))


def make_pool():
    """A base folder whose first datapool holds a.dpl (list 0) and c.dpl (list 2: the folder
    b0.dpl counts as list 1)."""
    pool = tempfile.mkdtemp(dir=TEMP.name)
    for d in ("pool", "pool/b0.dpl"):
        os.mkdir(os.path.join(pool, d))
    for name, text in (("a.dpl", "NUMOFVARS=1\n[VARIABLE0]\nNAME=n\nTYPE=UINT8\nSIZE=1\n"),
                       ("c.dpl", LIST)):
        with open(os.path.join(pool, "pool", name), "w") as f:
            f.write(text)
    return pool


class Decode(unittest.TestCase):
    def setUp(self):
        self.pool = make_pool()

    def test_dlgn_download_over_many_parts_in_any_order(self):
        blocks = [bytes([i]) * (100 + i) for i in range(30)]
        data = b"FWLO;0\r\n" + dlgn(b"log1", blocks) + b"DLCN;0\r\n"
        parts = Parts(data, range(7, len(data) - 5, 333))  # 11 parts
        files = sorted(os.listdir(parts.path()), reverse=True)
        out = tempfile.mkdtemp(dir=TEMP.name)
        _, records, error = decode_parts([parts.path(f) for f in files], out_dir=out)
        self.assertEqual((None, ["FWLO", "DLGN", "DLCN"]), (error, [r["keyword"] for r in records]))
        self.assertEqual(("log1", [len(b) for b in blocks]),
                         (records[1]["logger"], records[1]["blocks"]))
        with open(os.path.join(out, "log1-2-00030.bin"), "rb") as f:
            self.assertEqual(blocks[29], f.read())

    def test_kfgv_with_its_head_cut_across_two_parts(self):
        answer = kfgv([(0x0200, le16(0x1234)), (0x0201, b"\x00\x00\x80\x3f"),
                       (0x0202, b"ABC\0\0\0")])
        # A read that failed after the head: the entries so far, then the closing.
        failed = kfgv([(0x0200, b"\1\0"), (0x0201, b"TEMP")], -1).replace(b"\1\2TEMP", b"")
        data = b"DBUS;0;hi; there\r\n" + answer + failed + b"KFGV;DAT[VL1\0\0];-1\r\n"
        parts = Parts(data, [30])  # inside the 16 header bytes
        _, records, error = decode_parts([parts.path()], self.pool)
        self.assertIsNone(error)
        self.assertEqual("hi; there", records[0]["reply"])
        values = [(e["name"], e["value"]) for e in records[1]["entries"]]
        self.assertEqual([("c/speed", 0x1234), ("c/temp", 1.0), ("c/id", "ABC")], values)
        self.assertEqual((-1, ["c/speed"]), (records[2]["status"],
                                             [e["name"] for e in records[2]["entries"]]))
        self.assertEqual((-1, []), (records[3]["status"], records[3]["entries"]))
        _, records, error = decode_parts([parts.path()])  # without sizes: one raw run
        self.assertIsNone(error)
        self.assertEqual([True], [e["unsplit"] for e in records[1]["entries"]])

    def test_hostile_input_gives_a_clear_error(self):
        good = b"FWLO;0\r\n" + dlgn(b"log1", [b"x" * 10]) + kfgv([(0x0200, b"\1\2")])
        lying_block = good.replace(le16(12) + le16(10), le16(12) + le16(9))
        lying_total = good.replace(le16(10) + le16(4), le16(11) + le16(4))
        rows = [
            (Parts(good[:-3], [20]), [], "truncated"),
            (Parts(good, [20, 40]), ["result.txt.00002"], "part 2 missing"),
            (Parts(good, [20]), ["result.txt.00002.end"], "no part ends in .end"),
            (Parts(lying_block, []), [], "DLGN block 1 whose lengths lie: piece 12, block 9"),
            (Parts(lying_total, []), [], "KFGV answer whose lengths lie"),
            (Parts(b"FWLO;0\r\nHELLO;0\r\n", [3]), [], "none of korvad's keywords at byte 8"),
        ]
        for parts, removed, why in rows:
            for name in removed:
                os.remove(parts.path(name))
            _, _, error = decode_parts([parts.path()], self.pool)
            self.assertIn(why, error or "")
        rng = random.Random(7)
        for _ in range(300):
            noise = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 200)))
            cut = rng.randrange(len(good))
            for data in (noise, good[:cut] + noise, good[:cut]):
                _, _, error = decode_parts([Parts(data, []).path()], self.pool)
                self.assertTrue(error is None or "at byte" in error, error)


if __name__ == "__main__":
    unittest.main()
