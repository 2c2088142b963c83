"""Server-side helpers for korvad: compose JobFiles, decode the result parts it uploads.

The API for programs (the command line korvad-jobtool is a thin layer over it):

    from korvad_jobtool import compose, decode

    composed = compose("fwsw 60\\nkfgv speed\\n", datapool="/srv/fleet/datapool")
    composed.job        # the JobFile bytes: send them only when problems is empty
    composed.problems   # [(line number, reason)]: refused lines; nothing to send then
    composed.notes      # [(line number, text)]: lines korvad answers nothing for
    composed.warnings   # [(line number, text)]: e.g. a second DLGN of one logger

    upload = decode([("result.txt.00001", b"..."), ("result.txt.00002.end", b"...")])
    upload["results"]   # one dict per command: keyword, status, meaning, reply/entries/...
    upload["error"]     # None, or why decoding stopped (the results before it are kept)

Both take datapool=DIR (a base folder of the datapools, or one datapool folder): compose
then accepts variable names ("list/variable") in place of VarRefs and checks the size of
each written value; decode names the KFGV entries and decodes their values.
"""
__version__ = "3.2.5"  # the daemon's kKorvadVersion "v3_02r5"; a test keeps them equal


def compose(text, datapool=None, strict=False):
    """The JobFile of a job description; see the module text."""
    from . import datapool as pool, jobfile
    variables = pool.load(datapool) if datapool else None
    return jobfile.compose_job(text, variables, strict)


def decode(parts, datapool=None):
    """The results of one upload from its parts [(name, bytes)] or part file paths."""
    from . import cli
    if parts and not isinstance(parts[0], tuple):  # file or folder paths
        summary, records, error = cli.decode_parts(list(parts), datapool)
    else:
        summary, records, error = cli.decode_chunks(list(parts), datapool)
    summary.update(results=records, error=error)
    return summary
