#!/usr/bin/env python3
"""The fleet playbook over a made-up studio on this machine: a mirror host and ten workstations
(connection local, each its own machine root and home), the keyed build, a signed product list.
The first play mirrors the release and installs every healthy host from the mirror in waves;
ws-02 has a full Downloads disk and fails its wave without stopping the others. The second play
fetches nothing new, changes nothing, and stops after the wave in which ws-02 fails again,
with a lower threshold; the summary lists the hosts that never ran.
    playbook.py --build-dir BUILD --out DIR"""

import argparse, json, os, re, shutil, subprocess, sys  # noqa: E401

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE, "tools", "fleet"))
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
from e2e import check  # noqa: E402
from studio import PASSWORD, Studio  # noqa: E402

FULL = "ws-02"  # in the second wave (ws-02 to ws-04) of [1, "30%", "100%"]


def exit_code(name):
    header = open(os.path.join(SOURCE, "src", "DlrExitCode.h")).read()
    return int(re.search(r"\b%s\s*=\s*(-?\d+)" % name, header).group(1))


def rows(studio):
    return {r["host"]: r for r in studio.summary()["hosts"]}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", required=True)
    ap.add_argument("--out", required=True)
    args = ap.parse_args()
    shutil.rmtree(args.out, ignore_errors=True)  # no report of an earlier test run is read
    keyed = os.path.join(os.path.abspath(args.build_dir), "keyed")
    studio = Studio(args.out, keyed, keyed + "/demo-maker-key.pem", hosts=10, full=[FULL])
    try:
        first, text = studio.play("first-play", tessinstaller_max_fail_percentage=40)
        check(set(first) == set(studio.hosts) | {"mirror"}, "the recap names %s", sorted(first))
        www = args.out + "/mirror/www"
        check(os.path.isfile(www + "/manifest.xml") and os.path.isfile(www + "/manifest.xml.sig"),
              "the mirror holds %s", sorted(os.listdir(www)) if os.path.isdir(www) else None)
        summary = rows(studio)
        for host in studio.hosts:
            row, report = summary[host], json.load(open("%s/reports/%s.json" % (args.out, host)))
            check(PASSWORD not in json.dumps(report), "the password reached %s's report", host)
            if host == FULL:
                check(first[host]["failed"] == 1 and row["status"] == "failed"
                      and row["exitCode"] == exit_code("NotEnoughDiskSpace"),
                      "%s: recap %s, summary %s", host, first[host], row)
                continue
            check(first[host]["failed"] == 0 and row["status"] == "ok" and row["products"]
                  and row["bytesFromSources"] > 0 and row["bytesFromMaker"] == 0,
                  "%s: recap %s, summary %s", host, first[host], row)
        maker = studio.maker_bytes()
        check(maker <= 1.05 * studio.release_bytes,
              "the maker served %d bytes for a release of %d", maker, studio.release_bytes)
        check("10 hosts: 9 ok, 1 failed" in text and PASSWORD not in text,
              "the play's output has no summary line, or has the password")
        by_hand = subprocess.run([sys.executable, SOURCE + "/tools/fleet/summary.py",
                                  args.out + "/reports"], capture_output=True, text=True)
        check(by_hand.returncode == 1 and re.search(r"^%s\s+5\s+NotEnoughDiskSpace" % FULL,
                                                    by_hand.stdout, re.M),
              "summary.py by hand: %s", by_hand)

        second, text = studio.play("second-play", tessinstaller_max_fail_percentage=30)
        summary = rows(studio)
        check(studio.maker_bytes() == maker,
              "the mirror fetched again: %d bytes after %d", studio.maker_bytes(), maker)
        for host in ("ws-01", "ws-03", "ws-04"):
            check(second[host]["changed"] == 0 and second[host]["failed"] == 0
                  and summary[host]["status"] == "ok", "%s again: %s", host, second[host])
        stopped = ["ws-%02d" % i for i in range(5, 11)]
        check(second[FULL]["failed"] == 1 and not set(stopped) & set(second)
              and all(summary[h]["status"] == "not run" for h in stopped),
              "the rollout went on past %s's wave: recap %s", FULL, sorted(second))
        print("fleet ok: maker sent %d bytes for a release of %d" % (maker, studio.release_bytes))
    finally:
        studio.close()


if __name__ == "__main__":
    try:
        main()
    except AssertionError as e:
        print("FAIL: %s" % e)
        sys.exit(1)
