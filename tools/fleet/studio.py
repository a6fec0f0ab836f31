#!/usr/bin/env python3
"""A made-up studio on this machine, rolled out to with the fleet playbook: the maker's stand-in
service (its product list signed), a mirror host, and workstations that are all this computer
(Ansible's local connection), each with its own machine root, home and Downloads folder.
Everything binds 127.0.0.1. Used by the deploy test, bench/fleet and ./run-demo.sh --studio.

    studio.py --tree BUILD/keyed --key KEY.pem --out DIR [--hosts N] [--no-mirror]
              [--full HOST] [--line-rate BYTES] [--workserver-mib MIB]

prints the play's output and ends with the summary's exit code (0: every host installed)."""

import argparse
import getpass
import json
import os
import re
import shutil
from shlex import quote
import socket
import subprocess
import sys
import time
import urllib.request

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOLS = os.path.join(SOURCE, "tools")
PLAYBOOK = os.path.join(SOURCE, "deploy", "ansible", "playbook.yml")
USER, PASSWORD = "studio", "studio-Secret-4711"
# What the made-up workstations have, in turn: a Maya artist, a Houdini artist, a bare render node.
MACHINES = [["--maya", "2024"], ["--houdini", "20.0.547"], []]
RECAP = re.compile(r"^([\w.-]+)\s*:\s*(ok=.*)$", re.M)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def recap(text):
    """PLAY RECAP counts per host: {host: {"ok": n, "changed": n, "failed": n, ...}}."""
    return {h: {k: int(v) for k, v in re.findall(r"(\w+)=(\d+)", line)}
            for h, line in RECAP.findall(text)}


class Studio:
    """The service, the hosts and the inventory; close() stops and unmounts what it started."""

    def __init__(self, work, tree, key, hosts=10, full=(), mirror=True, line_rate=0,
                 workserver_mib=0):
        self.work, self.tree, self.mirror = os.path.abspath(work), os.path.abspath(tree), mirror
        self.procs, self.mounted = [], []
        os.makedirs(self.work, exist_ok=True)
        os.chmod(self.work, 0o755)  # nginx's workers read the mirror below it
        self.hosts = ["ws-%02d" % (i + 1) for i in range(hosts)]
        try:
            self._samples(workserver_mib)
            self._service(key, line_rate)
            self._inventory(set(full))
        except BaseException:
            self.close()
            raise

    def _samples(self, workserver_mib):
        samples = json.load(open(os.path.join(TOOLS, "products", "samples.json")))
        if workserver_mib:  # a heavy release, so that the line is what a rollout waits for
            for p in samples["products"]:
                if p["file"].startswith("TessalineWorkserver-25.1"):
                    p["payload"]["lib/tessaline-core.dat"] = workserver_mib * 1024 * 1024
        with open(self.work + "/samples.json", "w") as f:
            json.dump(samples, f)
        subprocess.run([TOOLS + "/products/build-samples.sh", self.work + "/products",
                        "--samples", self.work + "/samples.json"],
                       check=True, stdout=subprocess.DEVNULL)
        described = json.load(open(self.work + "/products/products.json"))["products"]
        self.release_bytes = sum(os.path.getsize(self.work + "/products/" + p["file"])
                                 for p in described)

    def _service(self, key, line_rate):
        with open(self.work + "/users.json", "w") as f:
            json.dump({"users": {USER: PASSWORD}}, f)
        port_file = self.work + "/service.port"
        if os.path.exists(port_file):
            os.remove(port_file)
        command = [sys.executable, TOOLS + "/standin/serve.py", "--products",
                   self.work + "/products", "--users", self.work + "/users.json",
                   "--port-file", port_file, "--time-limit", "1800",
                   "--sign-key", key, "--manifest-version", time.strftime("%Y%m%d%H%M"),
                   "--manifest-expires",
                   time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() + 30 * 86400))]
        if line_rate:
            command += ["--line-rate", str(line_rate)]
        self.procs.append(subprocess.Popen(command, stdout=subprocess.DEVNULL,
                                           stderr=open(self.work + "/service.log", "a")))
        deadline = time.monotonic() + 20
        while not os.path.exists(port_file):
            if time.monotonic() > deadline or self.procs[-1].poll() is not None:
                raise AssertionError("the stand-in service did not start")
            time.sleep(0.05)
        self.port = int(open(port_file).read())

    def _inventory(self, full):
        local = " ansible_connection=local ansible_python_interpreter=%s" % sys.executable
        lines = []
        for i, host in enumerate(self.hosts):
            base = "%s/%s" % (self.work, host)
            os.makedirs(base + "/home/Downloads", exist_ok=True)
            subprocess.run([sys.executable, TOOLS + "/machine/make-machine.py", base + "/root",
                            *MACHINES[i % len(MACHINES)]], check=True, stdout=subprocess.DEVNULL)
            if host in full:  # a disk too small for any package
                downloads = base + "/home/Downloads"
                if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=32k", "tmpfs",
                                   downloads]).returncode:
                    raise AssertionError("a small disk for %s could not be mounted" % host)
                self.mounted.append(downloads)
            lines.append("%s%s tessinstaller_home=%s tessinstaller_prefix=%s"
                         " tessinstaller_environment=%s"
                         % (host, local, quote(base + "/home"), quote(base + "/opt"),
                            quote(json.dumps({"TESSINSTALLER_ROOT": base + "/root"}))))
        if self.mirror:
            self.mirror_port = free_port()
            os.makedirs(self.work + "/mirror/home", exist_ok=True)
            lines += ["[tessinstaller_mirror]",
                      "mirror%s tessinstaller_home=%s tessinstaller_prefix=%s"
                      " tessinstaller_mirror_folder=%s"
                      " tessinstaller_mirror_listen=127.0.0.1 tessinstaller_mirror_port=%d"
                      # the workers read as this user: the studio may sit below a private folder
                      " tessinstaller_mirror_nginx_user=%s"
                      % (local, quote(self.work + "/mirror/home"), quote(self.work + "/mirror/opt"),
                         quote(self.work + "/mirror/www"), self.mirror_port,
                         getpass.getuser())]
        with open(self.work + "/inventory.ini", "w") as f:
            f.write("\n".join(lines) + "\n")

    def play(self, name, **extra):
        """Runs the playbook once; its output in WORK/<name>.log. Returns (recap, output)."""
        variables = {"tessinstaller_tree": self.tree, "tessinstaller_user": USER,
                     "tessinstaller_password": PASSWORD,
                     "tessinstaller_server": "127.0.0.1:%d" % self.port,
                     "tessinstaller_scheme": "http",
                     "tessinstaller_reports_dir": self.work + "/reports"}
        variables.update(extra)
        with open(self.work + "/vars.json", "w") as f:
            json.dump(variables, f)
        env = dict(os.environ, ANSIBLE_NOCOLOR="1", ANSIBLE_FORKS=str(len(self.hosts)),
                   ANSIBLE_LOCAL_TEMP=self.work + "/.ansible",
                   ANSIBLE_REMOTE_TEMP=self.work + "/.ansible",
                   ANSIBLE_RETRY_FILES_ENABLED="0", ANSIBLE_PIPELINING="1")
        log = "%s/%s.log" % (self.work, name)
        with open(log, "w") as f:
            subprocess.run(["ansible-playbook", "-i", self.work + "/inventory.ini",
                            "-e", "@" + self.work + "/vars.json", PLAYBOOK],
                           stdout=f, stderr=subprocess.STDOUT, env=env, timeout=900)
        text = open(log).read()
        return recap(text), text

    def maker_bytes(self):
        """Body bytes the maker's service sent, all packages together."""
        url = "http://127.0.0.1:%d/debug/state" % self.port
        with urllib.request.urlopen(url, None, 10) as r:
            return sum(json.load(r)["bytes"].values())

    def summary(self):
        with open(self.work + "/reports/summary.json") as f:
            return json.load(f)

    def close(self):
        pid_file = self.work + "/mirror/www.nginx/nginx.pid"
        if os.path.exists(pid_file):  # the mirror's own nginx, which the role started
            subprocess.run(["nginx", "-c", self.work + "/mirror/www.nginx/nginx.conf",
                            "-p", self.work + "/mirror/www.nginx", "-s", "stop"],
                           stderr=subprocess.DEVNULL)
        for proc in self.procs:
            proc.terminate()
            proc.wait(timeout=10)
        for mounted in self.mounted:
            subprocess.run(["umount", mounted])
        self.procs, self.mounted = [], []


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--tree", required=True, help="the installer's tree (bin/, lib/)")
    ap.add_argument("--key", required=True, help="the maker's private key the list is signed with")
    ap.add_argument("--out", required=True, help="a folder for the studio; emptied first")
    ap.add_argument("--hosts", type=int, default=3)
    ap.add_argument("--full", action="append", default=[], help="a host with a full disk")
    ap.add_argument("--no-mirror", action="store_true", help="every host fetches from the maker")
    ap.add_argument("--line-rate", type=int, default=0, help="the maker's line, bytes a second")
    ap.add_argument("--workserver-mib", type=int, default=0)
    args = ap.parse_args()
    shutil.rmtree(args.out, ignore_errors=True)
    studio = Studio(args.out, args.tree, os.path.abspath(args.key), args.hosts, args.full,
                    not args.no_mirror, args.line_rate, args.workserver_mib)
    try:
        print("== the play (its whole output in %s/play.log)" % args.out, flush=True)
        _, text = studio.play("play")
        # What an administrator reads: the mirror's line, the last summary, the recap.
        mirrored = re.findall(r'"msg": "(.*: \d+ fetched, .*)"', text)
        print("\n".join("mirror: " + line for line in mirrored))
        summary = args.out + "/reports/summary.txt"
        print(open(summary).read() if os.path.exists(summary) else "no summary was made")
        print(text[text.rfind("PLAY RECAP"):].strip())
        rows = studio.summary()["hosts"] if os.path.exists(summary) else []
        return 0 if rows and all(r["status"] == "ok" for r in rows) else 1
    finally:
        studio.close()


if __name__ == "__main__":
    sys.exit(main())
