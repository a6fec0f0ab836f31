#!/usr/bin/env python3
"""One summary of a rollout from the reports of `tessinstaller -unattended -report`: each host
with its exit code, the products installed and the bytes fetched from sources (a mirror) and
from the maker; a table on standard output, and JSON with --json. Python standard library only.

    summary.py REPORTS_DIR [--hosts JSON] [--json FILE] [--table FILE] [--title TEXT]

REPORTS_DIR holds one report per host, named <host>.json (the playbook collects them so).
--hosts '{"ws-01": 0, "ws-02": 5, "ws-03": null}' names every host of the rollout with the exit
code of its run, null for a host that did not run (its wave was stopped or has not started);
only then is a host's report file read, so a report left from an earlier rollout never counts.
Without --hosts every report in the folder is summed up (by hand, after the fact).
Exit code 0 when every host listed installed what it should, 1 when any did not, 2 for bad use.
"""

import argparse
import glob
import json
import os
import sys

NOT_RUN = "not run"
NO_REPORT = "no report"


def size_text(count):
    value = float(count or 0)
    for unit in ("B", "KB", "MB", "GB"):
        if value < 1000 or unit == "GB":
            return ("%d %s" % (value, unit)) if unit == "B" else ("%.1f %s" % (value, unit))
        value /= 1000
    return ""


def host_row(host, report, ran, exit_code):
    """What one host's rollout came to; report is None when there is none."""
    row = {"host": host, "exitCode": exit_code, "exit": "", "message": "", "products": [],
           "bytesFromSources": 0, "bytesFromMaker": 0}
    if not ran:
        row.update(status=NOT_RUN, message="its wave did not run")
        return row
    if report is None:
        row.update(status=NO_REPORT, message="the run left no report")
        return row
    installed = [p.get("label") or p.get("name", "")
                 for p in report.get("products", [])
                 if isinstance(p, dict) and (p.get("install") or {}).get("returnCode") in
                 (0, 3010, 1641)]
    code = report.get("exitCode", exit_code)
    if code == 0 and report.get("nothingToDo"):
        report = dict(report, exit="nothing to do")
    row.update(exitCode=code, exit=report.get("exit", ""), message=report.get("message", ""),
               products=installed, bytesFromSources=int(report.get("bytesFromSources") or 0),
               bytesFromMaker=int(report.get("bytesFromMaker") or 0),
               status="ok" if code == 0 and (exit_code in (None, 0)) else "failed")
    if report.get("productList"):
        row["productList"] = report["productList"]
    return row


def read_report(path):
    try:
        with open(path, encoding="utf-8") as f:
            report = json.load(f)
        return report if isinstance(report, dict) else None
    except (OSError, ValueError):
        return None


def summarize(folder, hosts=None):
    """Rows for the hosts given ({host: exit code or None}), or for every report in folder."""
    if hosts is None:
        names = sorted(os.path.basename(p)[:-5] for p in glob.glob(os.path.join(folder, "*.json"))
                       if not os.path.basename(p).startswith("summary"))
        hosts = {name: 0 for name in names}
    rows = []
    for host, code in hosts.items():
        ran = code is not None
        report = read_report(os.path.join(folder, host + ".json")) if ran else None
        rows.append(host_row(host, report, ran, code))
    counts = {}
    for row in rows:
        counts[row["status"]] = counts.get(row["status"], 0) + 1
    totals = {"hosts": len(rows), "ok": counts.get("ok", 0), "failed": counts.get("failed", 0),
              NO_REPORT: counts.get(NO_REPORT, 0), NOT_RUN: counts.get(NOT_RUN, 0),
              "bytesFromSources": sum(r["bytesFromSources"] for r in rows),
              "bytesFromMaker": sum(r["bytesFromMaker"] for r in rows)}
    return {"hosts": rows, "totals": totals}


def table(summary, title=""):
    head = ("host", "exit", "outcome", "products", "from sources", "from maker")
    lines = []
    for r in summary["hosts"]:
        code = "-" if r["exitCode"] is None else str(r["exitCode"])
        outcome = r["status"] if r["status"] in (NOT_RUN, NO_REPORT) else (r["exit"] or r["status"])
        lines.append((r["host"], code, outcome, str(len(r["products"])),
                      size_text(r["bytesFromSources"]), size_text(r["bytesFromMaker"]),
                      "" if r["status"] == "ok" else r["message"]))
    widths = [max(len(x[i]) for x in lines + [head]) for i in range(len(head))]
    out = [title] if title else []
    for cells in [head] + lines:
        text = "  ".join(c.ljust(w) for c, w in zip(cells, widths))
        out.append((text + "  " + (cells[6] if len(cells) > 6 else "")).rstrip())
    t = summary["totals"]
    out.append("%d hosts: %d ok, %d failed, %d without a report, %d not run; "
               "%s from sources, %s from the maker"
               % (t["hosts"], t["ok"], t["failed"], t[NO_REPORT], t[NOT_RUN],
                  size_text(t["bytesFromSources"]), size_text(t["bytesFromMaker"])))
    return "\n".join(out)


def write_atomically(path, text):
    temp = path + ".part"
    with open(temp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(temp, path)


def main(argv):
    ap = argparse.ArgumentParser(description="Sum up a rollout's tessinstaller reports.")
    ap.add_argument("reports", metavar="REPORTS_DIR")
    ap.add_argument("--hosts", metavar="JSON",
                    help='every host of the rollout with its exit code, null when it did not run')
    ap.add_argument("--json", metavar="FILE", help="also write the summary as JSON")
    ap.add_argument("--table", metavar="FILE", help="also write the table as text")
    ap.add_argument("--title", default="", help="a first line for the table")
    args = ap.parse_args(argv)
    hosts = None
    if args.hosts:
        try:
            hosts = json.loads(args.hosts)
            if not isinstance(hosts, dict):
                raise ValueError("not an object")
        except ValueError as e:
            ap.error("--hosts is not a JSON object of hosts: %s" % e)
    summary = summarize(args.reports, hosts)
    text = table(summary, args.title)
    if args.json:
        write_atomically(args.json, json.dumps(summary, indent=1, sort_keys=True) + "\n")
    if args.table:
        write_atomically(args.table, text + "\n")
    print(text)
    return 0 if summary["totals"]["ok"] == summary["totals"]["hosts"] else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
