"""The variables of a datapool, read from its DatapoolListFiles as korvad reads them.

KFGV answers carry only VarRefs and raw values; the list files give each VarRef its name,
type and size, without which the entries of an answer cannot even be told apart.
"""
import os
import re
import struct
from collections import namedtuple

Variable = namedtuple("Variable", "ref list_name name type_name type_id size")

# Type name, size (0: any) and id, in lookup order; the end row's id 10 means invalid input.
TYPES = [("UNKOWN", 0, 0), ("UINT8", 1, 1), ("SINT8", 1, 2), ("UINT16", 2, 3),
         ("SINT16", 2, 4), ("UINT32", 4, 5), ("SINT32", 4, 6), ("FLOAT32", 4, 7),
         ("AOBYTE", 0, 8), ("STRING", 0, 9)]
INVALID_TYPE = 10


def type_id(name, size):
    """The id of the first row whose name begins with name and whose size fits (0: none)."""
    if not name:
        return INVALID_TYPE
    for row_name, row_size, row_id in TYPES:
        if row_id != 0 and row_name.startswith(name) and row_size in (0, size):
            return row_id
    return 0


def leading_number(text):
    """The decimal number at the start of text (blanks and a sign allowed), or None."""
    match = re.match(r"\s*([+-]?\d+)", text)
    return int(match.group(1)) if match else None


def word(text):
    parts = text.split()
    return parts[0] if parts else ""


def parse_list(path, list_index, list_name):
    """The usable variables of one list file; an invalid file has none."""
    try:
        with open(path, "rb") as f:
            lines = [raw.decode("latin-1").rstrip("\r\n") for raw in f]
    except OSError:
        return []
    sections, numofvars = [], None
    for line in lines:
        if line.startswith("[VARIABLE"):
            sections.append({})
        elif line.startswith("NUMOFVARS="):
            numofvars = leading_number(line[10:])
        elif sections:
            for key in ("NAME", "TYPE", "SIZE", "ADDRESS"):
                if line.startswith(key + "="):
                    sections[-1][key] = line[len(key) + 1:]
    if not sections or numofvars != len(sections):
        return []
    found = []
    for var_index, section in enumerate(sections):
        type_name = word(section.get("TYPE", ""))
        size = leading_number(section.get("SIZE", "")) or 0
        tid = type_id(type_name, size)
        if tid == INVALID_TYPE:
            break  # a section without a type ends the list for korvad as well
        if size > 0:
            ref = list_index * 256 + var_index
            found.append(Variable(ref, list_name, word(section.get("NAME", "")), type_name,
                                  tid, size))
    return found


def load(directory):
    """{VarRef: Variable} of datapool 0 below a base directory, or of a datapool directory.

    korvad always uses the first datapool of the base directory in byte order; a directory
    that itself holds list files is taken as that datapool.
    """
    names = sorted(os.listdir(directory))
    if not any(".dpl" in name for name in names):
        pools = [n for n in names if os.path.isdir(os.path.join(directory, n))]
        if not names or not pools or names[0] != pools[0]:
            raise ValueError("%s holds no datapool: neither list files (*.dpl) nor, as its "
                             "first entry, a datapool directory" % directory)
        directory = os.path.join(directory, names[0])
        names = sorted(os.listdir(directory))
    variables = {}
    lists = [n for n in names if ".dpl" in n]
    for list_index, name in enumerate(lists):
        path = os.path.join(directory, name)
        if os.path.isfile(path):
            for var in parse_list(path, list_index, name[:-4]):
                variables[var.ref] = var
    return variables


def value_of(var, raw):
    """A value as it arrived in a KFGV answer (numbers little-endian), for people and JSON."""
    tid = var.type_id
    if tid in (1, 2, 3, 4, 5, 6) and len(raw) in (1, 2, 4):
        return int.from_bytes(raw, "little", signed=tid in (2, 4, 6))
    if tid == 7 and len(raw) == 4:
        return struct.unpack("<f", raw)[0]
    if tid == 9:
        return raw.split(b"\0", 1)[0].decode("utf-8", "replace")
    return raw.hex()
