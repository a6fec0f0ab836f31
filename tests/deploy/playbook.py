#!/usr/bin/env python3
"""The fleet playbook over three made-up hosts on this machine (connection local, each host its
own machine root and home): two healthy hosts end installed, the third has a full Downloads
disk and fails with its exit code; a second play changes nothing.
    playbook.py --build-dir BUILD --out DIR"""

import argparse, json, os, re, shutil, subprocess, sys, tempfile  # noqa: E401

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOLS = os.path.join(SOURCE, "tools")
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
from e2e import Service, check  # noqa: E402

PASSWORD = "e2e-Secret-4711"
HOSTS = {"ws-maya": ["--maya", "2024"], "ws-bare": [], "ws-full": []}


def exit_code(name):
    header = open(os.path.join(SOURCE, "src", "DlrExitCode.h")).read()
    return int(re.search(r"\b%s\s*=\s*(-?\d+)" % name, header).group(1))


def report_of(out, host):
    path = "%s/reports/%s.json" % (out, host)
    check(os.path.exists(path), "no report was collected from %s", host)
    return json.load(open(path))


def play(out, inventory, name):
    log = os.path.join(out, name + ".log")
    env = dict(os.environ, ANSIBLE_NOCOLOR="1", ANSIBLE_LOCAL_TEMP=out + "/.ansible",
               ANSIBLE_REMOTE_TEMP=out + "/.ansible", ANSIBLE_RETRY_FILES_ENABLED="0")
    with open(log, "w") as f:
        subprocess.run(["ansible-playbook", "-i", inventory, "-e", "@" + out + "/vars.json",
                        os.path.join(SOURCE, "deploy", "ansible", "playbook.yml")],
                       stdout=f, stderr=subprocess.STDOUT, env=env, timeout=240)
    text = open(log).read()
    check(PASSWORD not in text, "the password reached the play's output")
    return {h: dict((k, int(v)) for k, v in re.findall(r"(\w+)=(\d+)", line))
            for h, line in re.findall(r"^(ws-\w+)\s*:\s*(ok=.*)$", text, re.M)}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", required=True)
    ap.add_argument("--out", required=True)
    args = ap.parse_args()
    shutil.rmtree(args.out, ignore_errors=True)  # no report of an earlier test run is read
    os.makedirs(args.out, exist_ok=True)
    work = tempfile.mkdtemp(prefix="fleet-", dir=args.out)
    subprocess.run([os.path.join(TOOLS, "products", "build-samples.sh"), work + "/products"],
                   check=True, stdout=subprocess.DEVNULL)
    service = Service(work, work + "/products", args.out + "/service.log")
    mounted = None
    try:
        hosts = []
        for host, machine in HOSTS.items():
            root, home = work + "/" + host + "/root", work + "/" + host + "/home"
            os.makedirs(home + "/Downloads")
            subprocess.run([sys.executable, TOOLS + "/machine/make-machine.py", root, *machine],
                           check=True, stdout=subprocess.DEVNULL)
            hosts.append("%s ansible_connection=local ansible_python_interpreter=/usr/bin/python3"
                          " tessinstaller_home=%s tessinstaller_prefix=%s/opt/tessinstaller"
                          " tessinstaller_environment='{\"TESSINSTALLER_ROOT\": \"%s\"}'"
                          % (host, home, work + "/" + host, root))
        mounted = work + "/ws-full/home/Downloads"
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=32k", "tmpfs", mounted]).returncode:
            mounted = None
            raise AssertionError("a small disk for the full host could not be mounted")
        with open(work + "/inventory.ini", "w") as f:
            f.write("\n".join(hosts) + "\n")
        with open(args.out + "/vars.json", "w") as f:
            json.dump({"tessinstaller_tree": os.path.abspath(args.build_dir),
                       "tessinstaller_user": "e2e-user", "tessinstaller_password": PASSWORD,
                       "tessinstaller_server": "127.0.0.1:%d" % service.port,
                       "tessinstaller_scheme": "http",
                       "tessinstaller_reports_dir": args.out + "/reports"}, f)

        first = play(args.out, work + "/inventory.ini", "first-play")
        check(set(first) == set(HOSTS), "the recap names %s", sorted(first))
        for host in ("ws-maya", "ws-bare"):
            report = report_of(args.out, host)
            installed = [p["label"] for p in report["products"]
                         if p.get("install", {}).get("returnCode") == 0]
            check(first[host]["failed"] == 0 and report["exitCode"] == 0 and installed,
                  "%s: recap %s, report %s", host, first[host], report)
            check(PASSWORD not in json.dumps(report), "the password reached a report")
        full = report_of(args.out, "ws-full")
        check(first["ws-full"]["failed"] == 1
              and full["exitCode"] == exit_code("NotEnoughDiskSpace") and not full["products"],
              "ws-full: recap %s, report %s", first["ws-full"], full)

        second = play(args.out, work + "/inventory.ini", "second-play")
        for host in ("ws-maya", "ws-bare"):
            report = report_of(args.out, host)
            check(second[host]["changed"] == 0 and second[host]["failed"] == 0
                  and report["nothingToDo"], "%s again: recap %s", host, second[host])
        check(second["ws-full"]["failed"] == 1, "ws-full again: %s", second["ws-full"])
        print("fleet ok: %s" % {h: r for h, r in first.items()})
    finally:
        service.close()
        if mounted:
            subprocess.run(["umount", mounted])


if __name__ == "__main__":
    try:
        main()
    except AssertionError as e:
        print("FAIL: %s" % e)
        sys.exit(1)
