"""What the operator sees of the fleet: per device the last GET, the last upload with its
decoded results, failed uploads, refused requests and the queued jobs; as data (JSON), as
text (korvad-server status) and as a plain HTML page (/status)."""
import html as markup
import time

from korvad_jobtool import cli as jobtool

FAILED = ("abandoned", "broken")


def stamp(t):
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(t)) if t else "-"


def job_view(job):
    return {k: job[k] for k in ("id", "state", "queued", "gets", "followups", "last_sent",
                                "done", "upload")} | {"bytes": len(job["data"])}


def fleet(store):
    """[{device..., "last_upload": {...}, "failed_uploads": [...], "queued": [...]}]."""
    uploads, jobs = {}, {}
    for upload in store.uploads():
        uploads.setdefault(upload["device"], []).append(upload)
    for job in store.jobs(pending_only=True):
        jobs.setdefault(job["device"], []).append(job_view(job))
    devices = []
    for device in store.devices():
        mine = uploads.get(device["device"], [])
        complete = [u for u in mine if u["state"] == "complete"]
        device["uploads"] = len(complete)
        device["last_upload"] = complete[-1] if complete else None
        device["failed_uploads"] = [u for u in mine if u["state"] in FAILED or
                                    u["decoded"] and u["decoded"].get("error")]
        device["open_upload"] = next((u for u in mine if u["state"] == "open"), None)
        device["queued"] = jobs.get(device["device"], [])
        devices.append(device)
    return devices


def upload_lines(upload):
    decoded = upload["decoded"] or {}
    head = "upload %s of %s %s: %d part%s, %d bytes%s" % (
        upload["id"], upload["device"], upload["state"], upload["parts"], "s"[upload["parts"] == 1:],
        upload["bytes"], ", job %s" % upload["job"] if upload["job"] else "")
    if upload["note"]:
        head += " (%s)" % upload["note"]
    if not decoded:
        return [head]
    return [head] + ["  " + line for line in
                     jobtool.report(decoded, decoded.get("results", []), decoded.get("error"))]


def text(devices):
    lines = []
    for d in devices:
        lines.append("%s: last GET %s (%s), %d GETs, %d POSTs, %d uploads, %d failed"
                     % (d["device"], stamp(d["last_get"]), d["last_get_path"] or "-", d["gets"],
                        d["posts"], d["uploads"], len(d["failed_uploads"])))
        if d["refusals"]:
            lines.append("  %d refused, last %s: %s" % (d["refusals"], stamp(d["last_refusal"]),
                                                        d["last_refusal_text"]))
        if d["last_upload"]:
            lines += ["  " + line for line in upload_lines(d["last_upload"])]
        for u in d["failed_uploads"]:
            lines += ["  failed " + line for line in upload_lines(u)[:1]]
        for job in d["queued"]:
            lines.append("  queued job %d (%s, %d bytes, %d GETs, %d follow-ups)"
                         % (job["id"], job["state"], job["bytes"], job["gets"], job["followups"]))
    return lines or ["no device has been seen"]


def html(devices):
    rows = []
    for d in devices:
        detail = "\n".join(upload_lines(d["last_upload"])) if d["last_upload"] else "-"
        failed = "\n".join(upload_lines(u)[0] for u in d["failed_uploads"]) or "-"
        queued = "\n".join("job %d %s, %d bytes" % (j["id"], j["state"], j["bytes"])
                           for j in d["queued"]) or "-"
        cells = [d["device"], "%s\n%s" % (stamp(d["last_get"]), d["last_get_path"] or ""),
                 detail, failed, queued,
                 "%d, last: %s" % (d["refusals"], d["last_refusal_text"]) if d["refusals"]
                 else "-"]
        rows.append("<tr>%s</tr>" % "".join("<td><pre>%s</pre></td>" % html_text(c)
                                            for c in cells))
    return ("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>korvad fleet</title>"
            "<style>td{vertical-align:top;border-top:1px solid #999}pre{margin:0}</style>"
            "</head><body><h1>korvad fleet: %d devices</h1><p>%s</p><table><tr><th>device</th>"
            "<th>last GET</th><th>last upload</th><th>failed uploads</th><th>queued jobs</th>"
            "<th>refused</th></tr>%s</table></body></html>\n"
            % (len(devices), stamp(time.time()), "".join(rows)))


def html_text(value):
    return markup.escape(str(value))
