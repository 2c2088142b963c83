"""korvad-jobtool: compose JobFiles for korvad and decode the result parts it uploads."""
import argparse
import json
import os
import sys
import time

from . import __version__, datapool, jobfile, results


def run_compose(args):
    source = sys.stdin.buffer if args.description == "-" else open(args.description, "rb")
    with source:
        lines = source.read().decode("utf-8", "surrogateescape")
    try:
        variables = datapool.load(args.datapool) if args.datapool else None
    except (OSError, ValueError) as why:
        print("compose: %s" % why, file=sys.stderr)
        return 1
    job, problems, notes, warnings = jobfile.compose_job(lines, variables, args.strict)
    where = "<stdin>" if args.description == "-" else args.description
    text_lines = lines.split("\n")
    for number, note in notes:
        print("%s:%d: note: %s" % (where, number, note), file=sys.stderr)
    for number, warning in warnings:
        print("%s:%d: warning: %s" % (where, number, warning), file=sys.stderr)
    for number, problem in problems:
        shown = " '%s'" % text_lines[number - 1].strip()[:60] if number else ""
        print("%s:%d:%s refused: %s" % (where, number, shown, problem), file=sys.stderr)
    if problems:
        print("compose: nothing written, %d line(s) refused" % len(problems), file=sys.stderr)
        return 1
    if args.output == "-":
        sys.stdout.buffer.write(job)
    else:
        with open(args.output, "wb") as f:
            f.write(job)
    return 0


def describe(record, number):
    """The text lines of one result record."""
    head = "[%d] %s %d (%s)" % (number, record["keyword"], record["status"], record["meaning"])
    if "reply" in record:
        head += ": %s" % record["reply"]
    lines = [head]
    if record["keyword"] == "KFGV" and "header" in record:
        stamp = time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(record["time"]))
        split = not any(e.get("unsplit") for e in record["entries"])
        count = "%d entries" % len(record["entries"]) if split else "entries not split"
        lines.append("    header %s, time %s, %s" % (record["header"], stamp, count))
    for entry in record.get("entries", []):
        if entry.get("unsplit"):
            lines.append("    %s ... %d bytes of entries: %s (--datapool DIR tells them apart)"
                         % (entry["ref"], len(entry["raw"]) // 2, entry["raw"][:64]))
        else:
            lines.append("    %s %s %s = %r" % (entry["ref"], entry["name"], entry["type"],
                                                entry["value"]))
    if "blocks" in record:
        lines.append("    logger %s, %d blocks, %d bytes: %s"
                     % (record["logger"], len(record["blocks"]), sum(record["blocks"]),
                        " ".join(str(b) for b in record["blocks"][:20])
                        + (" ..." if len(record["blocks"]) > 20 else "")))
    for path in record.get("files", []):
        lines.append("    -> %s" % path)
    return lines


def decode_parts(paths, datapool_dir=None, out_dir=None):
    """(summary dict, records, error) of the parts of one upload; never raises on bad input."""
    try:
        files = results.part_files(paths)
        chunks = []
        for name, path in files:
            with open(path, "rb") as f:
                chunks.append((name, f.read()))
    except (results.Broken, OSError) as why:
        return {"parts": [], "bytes": 0}, [], str(why)
    return decode_chunks(chunks, datapool_dir, out_dir)


def decode_chunks(chunks, datapool_dir=None, out_dir=None):
    """decode_parts for the parts' names and bytes [(name, bytes)] in part order."""
    summary = {"parts": [], "bytes": 0}
    try:
        variables = datapool.load(datapool_dir) if datapool_dir else None
    except (OSError, ValueError) as why:
        return summary, [], str(why)
    summary["parts"] = [name for name, _ in chunks]
    summary["bytes"] = sum(len(data) for _, data in chunks)
    pairs, error = results.decode(chunks, variables)
    records = []
    for number, (record, blocks) in enumerate(pairs, 1):
        if out_dir and blocks:
            os.makedirs(out_dir, exist_ok=True)
            record["files"] = []
            for index, block in enumerate(blocks, 1):
                path = os.path.join(out_dir, "%s-%d-%05d.bin" % (record["logger"] or "logger",
                                                                number, index))
                with open(path, "wb") as f:
                    f.write(block)
                record["files"].append(path)
        records.append(record)
    return summary, records, error


def report(summary, records, error):
    """The text form of a decoded upload."""
    parts = summary["parts"]
    lines = []
    if parts:
        names = parts[0] if len(parts) == 1 else "%s .. %s" % (parts[0], parts[-1])
        lines.append("%d part%s (%s), %d bytes, %d result%s"
                     % (len(parts), "s"[len(parts) == 1:], names, summary["bytes"],
                        len(records), "s"[len(records) == 1:]))
    for number, record in enumerate(records, 1):
        lines += describe(record, number)
    if error:
        lines.append("error: %s" % error)
    return lines


def run_decode(args):
    summary, records, error = decode_parts(args.parts, args.datapool, args.out)
    if args.json:
        summary.update(results=records, error=error)
        print(json.dumps(summary, indent=1))
    else:
        for line in report(summary, records, None):
            print(line)
        if error:
            print("decode: error: %s" % error, file=sys.stderr)
    return 1 if error else 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="korvad-jobtool", description=__doc__)
    parser.add_argument("--version", action="version", version="korvad-jobtool " + __version__)
    sub = parser.add_subparsers(dest="command", required=True)
    compose = sub.add_parser("compose", help="write a JobFile from its text form",
                             description=jobfile.__doc__,
                             formatter_class=argparse.RawDescriptionHelpFormatter)
    compose.add_argument("description", nargs="?", default="-",
                         help="job description, one command a line (default: standard input)")
    compose.add_argument("-o", "--output", default="-", help="JobFile to write (default: "
                         "standard output); nothing is written when a line is refused")
    compose.add_argument("--datapool", metavar="DIR", help="base directory of the datapools (or "
                         "one datapool directory): variable names in place of VarRefs, and "
                         "every variable and the size of every write checked against it")
    compose.add_argument("--strict", action="store_true", help="refuse lines that match no "
                         "command instead of noting them")
    compose.set_defaults(run=run_compose)
    decode = sub.add_parser("decode", help="check, join and decode the result parts of one "
                            "upload", description=results.__doc__,
                            formatter_class=argparse.RawDescriptionHelpFormatter)
    decode.add_argument("parts", nargs="+", help="part files (.00001 ... .end) in any order, "
                        "or a directory of them")
    decode.add_argument("--datapool", metavar="DIR", help="base directory of the datapools (or "
                        "one datapool directory): names KFGV entries and decodes their values")
    decode.add_argument("--out", metavar="DIR", help="write each DLGN block to a file in DIR")
    decode.add_argument("--json", action="store_true", help="print JSON for scripts")
    decode.set_defaults(run=run_decode)
    args = parser.parse_args(argv)
    try:
        return args.run(args)
    except OSError as why:
        print("%s: %s" % (args.command, why), file=sys.stderr)
        return 1
