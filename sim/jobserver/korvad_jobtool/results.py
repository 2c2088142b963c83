"""The result of one upload: its parts checked and joined, then one record per command.

korvad posts a job's results as "<name>.00001", "<name>.00002", ... and a last part
"<name>.<k>.end"; a result line, and a KFGV or DLGN answer above all, may be cut anywhere
between two parts, so the parts are joined before anything is read.
"""
import os
import re

from . import datapool

PART = re.compile(r"(.*)\.(\d{5,})(\.end)?\Z")
KEYWORDS = ("#", "FWLI", "FWLO", "FWSW", "APLI", "DLGN", "DLCN", "KFGV", "KFSV", "DLTS", "DBUS")
CLOSING = re.compile(rb"\];(-?\d{1,11})\r\n")

COMMON = {0: "done", -1: "failed", -5: "parameter missing, too long or not a number",
          -10: "no usable reply, or refused"}
MEANINGS = {
    "DBUS": {0: "sent, or a text reply received", -1: "message could not be built or sent",
             -5: "parameter missing or invalid, or target too long; nothing sent",
             -10: "no reply within 7 s, or the reply was no text"},
    "KFGV": {0: "values read", -1: "failed: no VL1 DataBlock, an unknown variable, or the "
                                   "datapool could not be read"},
    "KFSV": {0: "everything written", -1: "failed at a variable; the ones before it stay "
                                          "written"},
    "DLGN": {0: "done: end of the file or budget reached", -2: "no DATASTART in the logger file",
             -5: "parameter missing, or the working copy cannot be opened",
             -6: "a block larger than a result part can hold; the download stays there",
             -10: "no logger file obtained"},
    "DLCN": {0: "cleared", -1: "clearing request not created or sent",
             -2: "clearing signal not sent",
             -5: "parameter missing", -10: "logger service gave no usable reply or refused"},
    "FWSW": {0: "wake-up interval set", -5: "parameter missing or not a number; unchanged"},
    "DLTS": {0: "download budget set", -5: "parameter missing or not a number; unchanged"},
}


class Broken(Exception):
    """Input that is not the result of one upload; the text says where and why."""


def meaning(keyword, status):
    if keyword in ("#", "FWLI", "FWLO", "APLI") and status == 0:
        return "acknowledged"
    return MEANINGS.get(keyword, {}).get(status, COMMON.get(status, "unknown status"))


def part_files(paths):
    """The part files of one upload in order: [(name, path)], checked for gaps and the end."""
    files = []
    for path in paths:
        if os.path.isdir(path):
            files += [os.path.join(path, n) for n in sorted(os.listdir(path))]
        else:
            files.append(path)
    parts = {}
    for path in files:
        match = PART.match(os.path.basename(path))
        if match is None:
            if os.path.isdir(path) or os.path.basename(path).startswith("."):
                continue
            raise Broken("%s is no result part: part names end in .00001 ... and .<n>.end"
                         % path)
        base, num, end = match.group(1), int(match.group(2)), bool(match.group(3))
        if num in parts:
            raise Broken("part %d twice (%s and %s): these are parts of more than one upload; "
                         "name the files of one upload" % (num, parts[num][1], path))
        parts[num] = (base, path, end)
    if not parts:
        raise Broken("no result parts given")
    bases = sorted({base for base, _, _ in parts.values()})
    if len(bases) > 1:
        raise Broken("parts of several results (%s); decode one at a time" % ", ".join(bases))
    ends = [n for n, (_, _, end) in parts.items() if end]
    if not ends:
        raise Broken("no part ends in .end: the upload is not complete (last part %d)"
                     % max(parts))
    if len(ends) > 1 or max(parts) != ends[0]:
        raise Broken("parts behind the .end part %d: these are parts of more than one upload"
                     % min(ends))
    missing = [n for n in range(1, ends[0]) if n not in parts]
    if missing:
        raise Broken("part %s missing: parts 1 to %d belong to this upload"
                     % (", ".join(str(n) for n in missing[:10]), ends[0]))
    return [(os.path.basename(parts[n][1]), parts[n][1]) for n in sorted(parts)]


class Reader:
    """A cursor over the joined bytes that names the part and offset of any position."""

    def __init__(self, chunks):
        self.data = b"".join(data for _, data in chunks)
        self.starts, at = [], 0
        for name, data in chunks:
            self.starts.append((at, name))
            at += len(data)
        self.pos = 0

    def where(self, pos=None):
        pos = self.pos if pos is None else pos
        start, name = [s for s in self.starts if s[0] <= pos][-1] if self.starts else (0, "?")
        return "byte %d (%s, byte %d)" % (pos, name, pos - start)

    def fail(self, what, pos=None):
        raise Broken("%s at %s" % (what, self.where(pos)))

    def take(self, n, what):
        if self.pos + n > len(self.data):
            self.fail("the upload ends inside %s (truncated: %d of %d bytes there)"
                      % (what, len(self.data) - self.pos, n))
        chunk = self.data[self.pos:self.pos + n]
        self.pos += n
        return chunk

    def u16(self, what):
        return int.from_bytes(self.take(2, what), "little")

    def expect(self, text, what):
        if self.data[self.pos:self.pos + len(text)] != text:
            if len(self.data) - self.pos < len(text) and text.startswith(self.data[self.pos:]):
                self.take(len(text), what)
            self.fail("%s: expected %r, found %r"
                      % (what, text, self.data[self.pos:self.pos + len(text)]))
        self.pos += len(text)

    def closing(self, keyword):
        """The status of "];<status>\r\n" at the cursor."""
        match = CLOSING.match(self.data, self.pos)
        if match is None:
            self.take(min(8, len(self.data) - self.pos + 1), "the closing of a %s answer" % keyword)
            self.fail("the %s answer has no closing ']' and status" % keyword)
        self.pos = match.end()
        return int(match.group(1))


def read_line_result(r, keyword, start):
    match = re.compile(rb";(-?\d{1,11})(\r\n|;)").match(r.data, r.pos)
    if match is None:
        if len(r.data) - r.pos < 16 and b"\r\n" not in r.data[r.pos:]:
            r.fail("the upload ends inside a %s result line (truncated)" % keyword, start)
        r.fail("%s result line without ';' and a status" % keyword, start)
    r.pos = match.end()
    result = {"keyword": keyword, "status": int(match.group(1))}
    if match.group(2) == b";":
        if keyword != "DBUS":
            r.fail("%s result line with a text behind its status" % keyword, start)
        end = r.data.find(b"\r\n", r.pos)
        if end < 0:
            r.fail("the upload ends inside a DBUS reply text (truncated)", start)
        result["reply"] = r.data[r.pos:end].decode("utf-8", "replace")
        r.pos = end + 2
    return result


def read_kfgv(r, variables):
    """A KFGV answer behind its keyword: head piece, entries, terminator and closing."""
    r.expect(b";DAT[VL1", "KFGV answer")
    result = {"keyword": "KFGV", "entries": []}
    if r.data[r.pos:r.pos + 2] == b"\0\0":
        r.pos += 2
        result["status"] = r.closing("KFGV")
        return result
    if r.u16("the KFGV answer head") != 24:
        r.fail("KFGV answer whose first piece is not 24 bytes long", r.pos - 2)
    result["header"] = r.take(16, "the KFGV answer head").hex()
    total = r.u16("the KFGV answer head")
    if r.u16("the KFGV answer head") != 4:
        r.fail("KFGV answer without its 4-byte time stamp", r.pos - 2)
    result["time"] = int.from_bytes(r.take(4, "the KFGV time stamp"), "little")
    length = r.u16("the KFGV answer head")
    if total != (length + 6) & 0xFFFF:
        r.fail("KFGV answer whose lengths lie: total %d, but entries %d + 6" % (total, length))
    start = r.pos
    entries = result["entries"]
    while not entries_end(r, r.pos, (r.pos - start) & 0xFFFF == length):
        if (r.pos - start) & 0xFFFF == length and len(r.data) - r.pos < 16:
            r.fail("the upload ends inside the closing of a KFGV answer (truncated)")
        if entries_end(r, r.pos, True):
            r.fail("KFGV answer whose lengths lie: its entries end after %d bytes, its entry "
                   "length says %d" % (r.pos - start, length))
        ref = int.from_bytes(r.data[r.pos:r.pos + 2], "little")
        var = variables.get(ref) if variables is not None else None
        if var is None:
            # Without the variable's size the entries cannot be told apart: take them whole.
            rest = read_raw_entries(r, start, length)
            entries.append({"ref": "0x%04x" % ref, "raw": rest.hex(), "unsplit": True})
            break
        r.pos += 2
        raw = r.take(var.size, "the value of %s/%s" % (var.list_name, var.name))
        entries.append({"ref": "0x%04x" % ref, "name": "%s/%s" % (var.list_name, var.name),
                        "type": var.type_name, "raw": raw.hex(),
                        "value": datapool.value_of(var, raw)})
    r.pos += 2
    result["status"] = r.closing("KFGV")
    return result


def entries_end(r, pos, complete):
    """Whether the entries end at pos: with the terminator and a closing, where the entry
    length says, or earlier when a failure closing follows."""
    if r.data[pos:pos + 2] != b"\0\0":
        return False
    closing = CLOSING.match(r.data, pos + 2)
    return closing is not None and (complete or closing.group(1).startswith(b"-"))


def read_raw_entries(r, start, length):
    """The entries up to the terminator: where the length says, else at a failure closing."""
    at = start + length
    while at <= len(r.data):
        if at >= r.pos and r.data[at:at + 2] == b"\0\0" and CLOSING.match(r.data, at + 2):
            break
        at += 0x10000
    else:
        failed = re.compile(rb"\0\0\];-\d{1,11}\r\n").search(r.data, r.pos)
        if failed is None:
            r.take(start + length + 2 - r.pos, "the KFGV entries")
            r.fail("KFGV answer whose lengths lie: no terminator where its entry length %d "
                   "says" % length)
        at = failed.start()
    raw = r.data[r.pos:at]
    r.pos = at
    return raw


def read_dlgn(r, out_blocks):
    """A DLGN answer behind its keyword: logger name piece, one piece per block, closing."""
    r.expect(b";DAT[DLN", "DLGN answer")
    if r.u16("the DLGN logger name piece") != 16:
        r.fail("DLGN answer whose first piece is not the 16-byte logger name", r.pos - 2)
    name = r.take(16, "the DLGN logger name").split(b"\0", 1)[0].decode("utf-8", "replace")
    sizes = []
    while True:
        piece = r.u16("a DLGN block piece")
        if piece == 0:
            break
        at = r.pos - 2
        block = r.u16("a DLGN block head")
        if block + 2 != piece:
            r.fail("DLGN block %d whose lengths lie: piece %d, block %d (a piece is its "
                   "block + 2)" % (len(sizes) + 1, piece, block), at)
        data = r.take(block, "DLGN block %d" % (len(sizes) + 1))
        sizes.append(block)
        out_blocks.append(data)
    return {"keyword": "DLGN", "logger": name, "blocks": sizes, "status": r.closing("DLGN")}


def decode(chunks, variables=None):
    """(records, error) for the joined parts [(name, bytes)]; error is None or the reason
    why decoding stopped, with the records read up to there."""
    r = Reader(chunks)
    records = []
    try:
        while r.pos < len(r.data):
            start = r.pos
            keyword = next((k for k in KEYWORDS if r.data.startswith(k.encode() + b";", start)),
                           None)
            if keyword is None:
                r.fail("no result line: %r is none of korvad's keywords"
                       % r.data[start:start + 12])
            r.pos += len(keyword)
            blocks = []
            if keyword == "KFGV" and r.data.startswith(b";DAT[", r.pos):
                record = read_kfgv(r, variables)
            elif keyword == "DLGN" and r.data.startswith(b";DAT[", r.pos):
                record = read_dlgn(r, blocks)
            else:
                record = read_line_result(r, keyword, start)
            record["meaning"] = meaning(keyword, record["status"])
            record["at"] = start
            records.append((record, blocks))
    except Broken as why:
        return records, str(why)
    return records, None
