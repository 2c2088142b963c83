"""JobFiles from a readable text form, checked line by line against the way korvad reads them.

The text form has one command a line; a line that is not one of the forms below goes into
the JobFile unchanged (upper-case commands, '#' comments). Blank lines are left out.

  dbus call TARGET MEMBER [payload=BYTES]   method call, the reply text comes back
  dbus signal TARGET MEMBER [payload=BYTES] signal from /vel/kem/TARGET/Object
  dbus broadcast MEMBER                     broadcast on vel.kem.broadcast (no payload)
  kfgv REF... [header=BYTES]                read variables (header: 16 bytes, zero-padded)
  kfsv REF=NUMBER...                        write 32-bit variables from numbers
  kfsv-binary REF=BYTES...                  write variables from raw bytes, as they lie
  dlgn LOGGER [offset=N]                    download a logger file (offset in blocks)
  dlcn LOGGER                               clear a logger file
  dlts N | fwsw N | fwli | fwlo | apli      budget, wake-up interval, acknowledgements

BYTES is hex:0a0b (blanks allowed inside quotes) or text:abc; words with blanks go in quotes.
REF is a VarRef: list index * 256 + variable index, decimal or 0x hex. With a datapool
(--datapool DIR) REF may also be a variable's name, "list/variable" or "variable" when only
one list has it, and every REF must name a variable there: kfsv writes 4-byte variables
only, kfsv-binary exactly as many bytes as the variable has.
"""
import re
import shlex
from collections import namedtuple

Composed = namedtuple("Composed", "job problems notes warnings")

MAX_JOB_SIZE = 2097151  # korvad refuses a JobFile of 2 MiB or more

# Keyword and least number of ';' behind it, in the daemon's lookup order.
COMMANDS = [("#", 0), ("FWLI", 3), ("FWLO", 0), ("FWSW", 1), ("APLI", 1), ("DLGN", 4),
            ("DLCN", 1), ("KFGV", 1), ("KFSV", 2), ("DLTS", 1), ("DBUS", 5)]

NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
MAX_TARGET = 47    # /vel/kem/<target>/Object must fit korvad's 63-character field
MAX_MEMBER = 255
MAX_LOGGER = 15
INT32_MAX = 0x7FFFFFFF


class Refused(Exception):
    """A line korvad could not take; the text says why and how to fix it."""


def le16(value):
    return bytes((value & 0xFF, value >> 8 & 0xFF))


# ---- the daemon's reader, as far as the framing of lines is concerned ----

def scan(data, start):
    """(first ";DAT", None) or (None, first CR LF) of the line at start, searched as text up
    to a zero byte; (None, None) when neither comes first."""
    for pos in range(start, len(data)):
        if data[pos] == 0:
            break
        if data[pos:pos + 2] == b"\r\n":
            return None, pos
        if data[pos:pos + 4] == b";DAT":
            return pos, None
    return None, None


def frame(data, start):
    """(form, line bytes, next start) of the line at start, as korvad's reader cuts it.

    Raises Refused with the reason when the reader would end the job there.
    """
    dat, crlf = scan(data, start)
    if dat is not None:
        pos = dat + 8
        while True:
            if pos + 2 > len(data):
                raise Refused("its DataBlock runs past the end of the JobFile")
            piece = data[pos] | data[pos + 1] << 8
            pos += 2 + piece
            if piece == 0:
                break
        if pos >= len(data) or data[pos] != ord("]"):
            raise Refused("its DataBlock has no ']' behind the zero length")
        pos += 1
        while pos < len(data) and data[pos] == 0x20:
            pos += 1
        if data[pos:pos + 2] != b"\r\n":
            raise Refused("its DataBlock is not followed by CR LF")
        return "datablock", data[start:pos + 2], pos + 2
    if data[start:start + 4] == b"DBUS":
        text_end = data.find(b"\0", start)
        text_end = len(data) if text_end < 0 else text_end
        seps = [i for i in range(start, text_end) if data[i] == ord(";")][:5]
        if len(seps) < 5:
            raise Refused("a DBUS line needs five ';' before its payload")
        digits = re.match(rb"\d*", data[seps[3] + 1:seps[4]]).group()
        payload = seps[4] + 1
        end = payload + (int(digits) if digits else 0)
        if data[end:end + 2] != b"\r\n":
            raise Refused("its payload is not followed by CR LF where its length field says")
        return "dbus", data[start:end + 2], end + 2
    if crlf is None:
        raise Refused("it has no CR LF before a zero byte or the end of the JobFile")
    return "ordinary", data[start:crlf], crlf + 2


def lookup(text, form):
    """The keyword korvad finds for a line, or None when it answers nothing for it."""
    text = text.lstrip(b" ")
    if text.startswith(b"#") or text.startswith(b"\r\n"):
        return "#"
    for keyword, least in COMMANDS:
        k = keyword.encode()
        after = text[len(k):len(k) + 1]
        if text.startswith(k) and not (after.isalpha() or after.isdigit()):
            rest = text[len(k):].split(b"\0", 1)[0]
            if keyword == "KFSV" and form == "datablock" or rest.count(b";") >= least:
                return keyword
            return None
    return None


# ---- the text form ----

def number(text, what, low=0, high=INT32_MAX):
    """A decimal or 0x number within [low, high]."""
    try:
        value = int(text, 16) if text.lower().startswith("0x") else int(text, 10)
    except ValueError:
        raise Refused("%s '%s' is not a number: write it in decimal or as 0x hex" % (what, text))
    if not low <= value <= high:
        raise Refused("%s %s is out of range: it must lie between %d and %d"
                      % (what, text, low, high))
    return value


def data_bytes(text, what):
    """hex:... or text:... as bytes."""
    kind, _, body = text.partition(":")
    if kind == "hex":
        try:
            return bytes.fromhex(body)
        except ValueError:
            raise Refused("%s 'hex:%s' is no even run of hex digits" % (what, body))
    if kind == "text":
        return body.encode("utf-8", "surrogateescape")
    raise Refused("%s '%s' needs a form: hex:0a0b or text:abc" % (what, text))


def name_text(text, what, longest, pattern=NAME):
    if ";" in text or "#" in text:
        raise Refused("%s '%s' holds ';' or '#': korvad ends a name there; rename it"
                      % (what, text))
    if len(text) > longest:
        raise Refused("%s '%s' has %d characters; korvad takes at most %d"
                      % (what, text, len(text), longest))
    if not pattern.match(text):
        raise Refused("%s '%s' is no valid name: use letters, digits and '_', not beginning "
                      "with a digit" % (what, text))
    return text.encode()


def options(words, allowed):
    """Splits KEY=VALUE options (only the allowed keys) from plain words."""
    plain, opts = [], {}
    for w in words:
        key, eq, value = w.partition("=")
        if eq and key in allowed:
            opts[key] = value
        elif eq and key.isalpha() and key.islower():
            raise Refused("unknown option '%s='; this command takes %s"
                          % (key, ", ".join(k + "=" for k in allowed) or "no options"))
        else:
            plain.append(w)
    return plain, opts


def compose_dbus(words):
    if not words or words[0] not in ("call", "signal", "broadcast"):
        raise Refused("dbus needs call, signal or broadcast: dbus call TARGET MEMBER")
    kind, words = words[0], words[1:]
    words, opts = options(words, ["payload"])
    payload = data_bytes(opts["payload"], "payload") if "payload" in opts else b""
    if kind == "broadcast":
        if len(words) != 1:
            raise Refused("write: dbus broadcast MEMBER")
        if payload:
            raise Refused("korvad sends a broadcast without its payload; remove payload=")
        target, member = b"", name_text(words[0], "member", MAX_MEMBER)
    else:
        if len(words) != 2:
            raise Refused("write: dbus %s TARGET MEMBER [payload=...]" % kind)
        target = name_text(words[0], "target", MAX_TARGET)
        member = name_text(words[1], "member", MAX_MEMBER)
    flag = b"1" if kind == "call" else b"0"
    return b"DBUS;%s;%s;%s;%d;%s\r\n" % (flag, target, member, len(payload), payload)


def var_ref(text, variables, size=None):
    """The VarRef of a number or, with a datapool, of a variable name; with a datapool the
    variable must exist (and have size bytes when size is given)."""
    if variables is None or re.match(r"(0x[0-9a-fA-F]+|\d+)\Z", text):
        ref = number(text, "VarRef", 0, 0xFFFF)
        var = variables.get(ref) if variables is not None else None
        if variables is not None and var is None:
            raise Refused("VarRef %s names no variable of the datapool" % text)
    else:
        found = [v for v in variables.values()
                 if "%s/%s" % (v.list_name, v.name) == text or v.name == text]
        if not found:
            raise Refused("'%s' names no variable of the datapool (write list/variable)" % text)
        if len(found) > 1:
            raise Refused("'%s' is in several lists (%s): write list/variable"
                          % (text, ", ".join(v.list_name for v in found)))
        var, ref = found[0], found[0].ref
    if size is not None and var is not None and var.size != size:
        raise Refused("%s/%s has %d bytes, the value %d: korvad would refuse the write"
                      % (var.list_name, var.name, var.size, size))
    return ref


def compose_kfgv(words, variables=None):
    words, opts = options(words, ["header"])
    header = data_bytes(opts["header"], "header") if "header" in opts else b""
    if len(header) > 16:
        raise Refused("the header has %d bytes; it holds 16 (shorter ones are zero-padded)"
                      % len(header))
    if not words:
        raise Refused("kfgv needs at least one VarRef: kfgv 0x0102")
    refs = [var_ref(w, variables) for w in words]
    piece = 16 + 2 * len(refs)
    if piece > 0xFFFF:
        raise Refused("%d VarRefs do not fit one DataBlock piece; split them over lines"
                      % len(refs))
    body = header.ljust(16, b"\0") + b"".join(le16(r) for r in refs)
    return b"KFGV;DAT[VL1" + le16(piece) + body + b"\0\0]\r\n"


def pairs(words, what):
    if not words:
        raise Refused("%s needs at least one REF=VALUE pair" % what)
    for w in words:
        ref, eq, value = w.partition("=")
        if not eq:
            raise Refused("'%s' is no REF=VALUE pair" % w)
        yield ref, value


def compose_kfsv(words, variables=None):
    out = b"KFSV"
    for name, value in pairs(words, "kfsv"):
        ref = var_ref(name, variables, 4)  # the text form writes 32-bit numbers
        # The daemon clamps numbers to signed 32 bits, so a pattern above 0x7FFFFFFF is
        # written as the negative number with the same 32 bits.
        v = number(value, "value", -0x80000000, 0xFFFFFFFF)
        out += b";0x%04X;%d" % (ref, v - 0x100000000 if v > INT32_MAX else v)
    return out + b"\r\n"


def compose_kfsv_binary(words, variables=None):
    out = b"KFSV;DAT[VL2"
    for name, value in pairs(words, "kfsv-binary"):
        raw = data_bytes(value, "value")
        ref = var_ref(name, variables, len(raw))
        if not raw or len(raw) > 0xFFFD:
            raise Refused("a value has 1 to 65533 bytes, as many as its variable's size")
        out += le16(2 + len(raw)) + bytes((ref & 0xFF, ref >> 8)) + raw
    return out + b"\0\0]\r\n"


def compose_logger(keyword, words):
    words, opts = options(words, ["offset"] if keyword == "DLGN" else [])
    if len(words) != 1:
        raise Refused("write: %s LOGGER%s" % (keyword.lower(),
                                               " [offset=N]" if keyword == "DLGN" else ""))
    name = name_text(words[0], "logger name", MAX_LOGGER, re.compile(r"[^\s;#]+\Z"))
    if keyword == "DLCN":
        return b"DLCN;%s\r\n" % name
    offset = number(opts.get("offset", "0"), "offset")
    return b"DLGN;%s;;;%d\r\n" % (name, offset)


def compose_number(keyword, words):
    if len(words) != 1:
        raise Refused("write: %s N" % keyword.lower())
    return b"%s;%d\r\n" % (keyword.encode(), number(words[0], keyword.lower() + " value"))


FIXED = {"fwli": b"FWLI;;;\r\n", "fwlo": b"FWLO\r\n", "apli": b"APLI;\r\n"}


def plain(line):
    raw = line.encode("utf-8", "surrogateescape")  # bytes that are no UTF-8 pass unchanged
    if raw.startswith(b"DBUS"):
        fields = raw.split(b";", 5)
        if len(fields) == 6:
            if not re.match(rb"\d+\Z", fields[4]):
                raise Refused("the DBUS length field '%s' must be a decimal number"
                              % fields[4].decode())
            if int(fields[4]) != len(fields[5]):
                raise Refused("the DBUS length field says %d but %d bytes follow; write %d, "
                              "or use: dbus call TARGET MEMBER payload=text:..."
                              % (int(fields[4]), len(fields[5]), len(fields[5])))
    return raw + b"\r\n"


COMMAND_WORDS = ("dbus", "kfgv", "kfsv", "kfsv-binary", "dlgn", "dlcn", "dlts", "fwsw", "fwli",
                 "fwlo", "apli")


def compose_line(line, variables=None):
    """The JobFile bytes of one line of the text form."""
    raw = compose_words(line, variables)
    if scan(raw, 0)[0] is not None and not raw.startswith((b"KFGV;DAT[", b"KFSV;DAT[")):
        raise Refused("it holds ';DAT' before its line end, which makes korvad read it as a "
                      "DataBlock and end the job; avoid ';DAT' in names and payloads")
    return raw


def compose_words(line, variables=None):
    head = line.split(None, 1)[0] if line.strip() else ""
    words = shlex.split(line) if head in COMMAND_WORDS else []
    if head == "dbus":
        return compose_dbus(words[1:])
    if head == "kfgv":
        return compose_kfgv(words[1:], variables)
    if head == "kfsv":
        return compose_kfsv(words[1:], variables)
    if head == "kfsv-binary":
        return compose_kfsv_binary(words[1:], variables)
    if head in ("dlgn", "dlcn"):
        return compose_logger(head.upper(), words[1:])
    if head in ("dlts", "fwsw"):
        return compose_number(head.upper(), words[1:])
    if head in FIXED and len(words) == 1:
        return FIXED[head]
    return plain(line)


def compose(text):
    """(JobFile bytes, problems, notes); problems are (line number, text) and mean refusal."""
    job, problems, notes, _ = compose_job(text)
    return job, problems, notes


def compose_job(text, variables=None, strict=False):
    """Composed(job, problems, notes, warnings) of a description: problems mean refusal (and
    an empty job); strict makes every note a problem."""
    lines, problems, notes, warnings = [], [], [], []
    downloads = {}
    for line_number, line in enumerate(text.split("\n"), 1):
        line = line.rstrip("\r")
        if not line.strip():
            continue
        try:
            raw = compose_line(line, variables)
            form, framed, end = frame(raw, 0)
            if end != len(raw):
                raise Refused("korvad would read it as more than one line")
            keyword = lookup(framed, form)
        except Refused as why:
            problems.append((line_number, str(why)))
            continue
        except ValueError as why:  # unbalanced quotes
            problems.append((line_number, "cannot split it into words: %s" % why))
            continue
        if keyword is None:
            text_of = "matches no command (or lacks ';'): korvad answers nothing"
            (problems if strict else notes).append((line_number, text_of))
        if keyword == "DLGN":
            logger = framed.split(b";")[1] if framed.count(b";") else b""
            if logger in downloads:
                warnings.append((line_number, "a second DLGN of logger %s in one job (first in "
                                 "line %d): if the upload fails, the blocks of the first can be "
                                 "lost; keep one DLGN per logger and job"
                                 % (logger.decode("utf-8", "replace"), downloads[logger])))
            downloads.setdefault(logger, line_number)
        lines.append(raw)
    job = b"".join(lines)
    if len(job) > MAX_JOB_SIZE:
        problems.append((0, "the JobFile has %d bytes; korvad refuses 2097152 or more: split "
                         "it into several jobs" % len(job)))
    return Composed(job, problems, notes, warnings)
