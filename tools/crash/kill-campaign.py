#!/usr/bin/env python3
"""Kills runs without questions at random moments and checks what they leave behind.

    tools/crash/kill-campaign.py --build DIR [--kills N] [--seed S] [--work DIR] [--keep]

One world (sample products with heavier payloads, a stand-in service that serves them at a
modest rate, a made-up machine with Maya 2024 and Houdini 20.0) is timed once by a run left to
finish. Then, N times: a fresh home and machine, a run of `tessinstaller -unattended` killed
(SIGKILL) inside one of the phases of one product (downloading it, checking it and putting it
in place, installing it; the phases taken in turn): once the run's log opens that phase, after
a delay drawn from the phase's length in the timed run. Then these checks:

  partial   at most one partial file (.tessdownload) per offer, and no numbered second copy
  bytes     every file under an offer's final name in Downloads has the offer's SHA-256
  installed every product folder is either absent or complete with the right bytes
  next run  a run left alone afterwards ends with exit code 0, every product installed with the
            right bytes and no partial file left

The phase a kill really landed in is read from the run's log (the last phase line before it).
Prints one line per kill and a summary; exits 1 when any check failed.
"""

import argparse
import hashlib
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PASSWORD = "campaign-password"
PAYLOAD = 6 * 1024 * 1024  # bytes added to each product, so each phase lasts a while
RATE = 24_000_000  # bytes a second the service sends each product at
LEAVE_OUT = "Harrow|Katana|24\\.4|2019|Release"

# Log lines that open a phase, in the order a product goes through them.
PHASES = [("download", "downloading "), ("check", "SHA-256 of"),
          ("install", "running installer"), ("between", "Windows Installer returned")]


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


class World:
    def __init__(self, work, build):
        self.work, self.build = work, build
        self.products = os.path.join(work, "products")
        self.samples = json.load(open(os.path.join(ROOT, "tools/products/samples.json")))
        for p in self.samples["products"]:
            p["payload"]["lib/campaign.dat"] = PAYLOAD
        with open(os.path.join(work, "samples.json"), "w") as f:
            json.dump(self.samples, f)
        subprocess.run([os.path.join(ROOT, "tools/products/build-samples.sh"), self.products,
                        "--samples", os.path.join(work, "samples.json")],
                       check=True, stdout=subprocess.DEVNULL)
        self.offers = json.load(open(os.path.join(self.products, "products.json")))["products"]
        for offer in self.offers:
            offer["sha256"] = sha256(os.path.join(self.products, offer["file"]))
        self.folders = {p["file"]: p["folder"] for p in self.samples["products"]}
        with open(os.path.join(work, "users.json"), "w") as f:
            json.dump({"users": {"demo": PASSWORD}}, f)
        port_file = os.path.join(work, "port")
        faults = []
        for offer in self.offers:
            faults += ["--fault", "%s=slow:%d" % (offer["file"], RATE)]
        self.service = subprocess.Popen(
            [sys.executable, os.path.join(ROOT, "tools/standin/serve.py"), "--products",
             self.products, "--users", os.path.join(work, "users.json"), "--port", "0",
             "--port-file", port_file, "--time-limit", "86400"] + faults,
            stderr=open(os.path.join(work, "service.log"), "w"))
        for _ in range(100):
            if os.path.exists(port_file) and open(port_file).read().strip():
                break
            time.sleep(0.1)
        self.port = open(port_file).read().strip()

    def reset(self):
        for name in ("home", "machine"):
            shutil.rmtree(os.path.join(self.work, name), ignore_errors=True)
        os.makedirs(os.path.join(self.work, "home/Downloads"))
        subprocess.run([sys.executable, os.path.join(ROOT, "tools/machine/make-machine.py"),
                        os.path.join(self.work, "machine"), "--maya", "2024", "--houdini",
                        "20.0.547"], check=True, stdout=subprocess.DEVNULL)

    def downloads(self):
        return os.path.join(self.work, "home/Downloads")

    def log(self):
        logs = [f for f in os.listdir(self.downloads()) if f.startswith("tessinstaller.")
                and f.endswith(".txt")]
        logs.sort(key=lambda f: os.path.getmtime(os.path.join(self.downloads(), f)))
        return open(os.path.join(self.downloads(), logs[-1]), errors="replace").read() \
            if logs else ""

    def start(self):
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        env.update(HOME=os.path.join(self.work, "home"),
                   XDG_CONFIG_HOME=os.path.join(self.work, "home/.config"),
                   TESSINSTALLER_ROOT=os.path.join(self.work, "machine"),
                   TESSINSTALLER_RETRY_PAUSE_MS="50")
        return subprocess.Popen(
            [os.path.join(self.build, "bin/tessinstaller"), "-unattended", "-user", "demo",
             "-pass", PASSWORD, "-manifestserver", "127.0.0.1:" + self.port, "-deselect",
             LEAVE_OUT], env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)

    def product_folder(self, name):
        return os.path.join(self.work, "machine/opt", self.folders[name])

    def snapshot(self, name):
        folder = self.product_folder(name)
        files = {}
        for top, _, names in os.walk(folder):
            for n in names:
                path = os.path.join(top, n)
                files[os.path.relpath(path, folder)] = sha256(path)
        return files


def timed_phases(world):
    """Runs once to its end, noting when each phase line of each product appeared."""
    world.reset()
    start = time.monotonic()
    run = world.start()
    seen, marks = 0, []
    while run.poll() is None:
        log = world.log()
        lines = log.splitlines()
        for line in lines[seen:]:
            for phase, marker in PHASES:
                if marker in line:
                    marks.append((time.monotonic() - start, phase))
        seen = len(lines)
        time.sleep(0.002)
    out = run.stdout.read().decode(errors="replace")
    if run.returncode != 0:
        sys.exit("the timed run ended with %d:\n%s" % (run.returncode, out))
    end = time.monotonic() - start
    windows = {"download": [], "check": [], "install": []}
    for (t, phase), nxt in zip(marks, marks[1:] + [(end, "end")]):
        if phase in windows:
            windows[phase].append((t, nxt[0]))
    return windows, world.log()


def kill_in_phase(world, phase, occurrence, delay):
    """Starts a run and kills it delay seconds after its log opens the phase for the
    occurrence-th time (or at its end, should it finish first). Returns when, from the start."""
    marker = dict(PHASES)[phase].encode()
    start = time.monotonic()
    run = world.start()
    seen, text, log = 0, b"", None
    while run.poll() is None:
        if log is None:
            names = [f for f in os.listdir(world.downloads()) if f.startswith("tessinstaller.")]
            log = open(os.path.join(world.downloads(), names[0]), "rb") if names else None
        if log:
            text += log.read()
            lines = text.split(b"\n")
            text = lines.pop()
            seen += sum(1 for line in lines if marker in line)
            if seen > occurrence:
                time.sleep(delay)
                break
        time.sleep(0.0005)
    moment = time.monotonic() - start
    run.send_signal(signal.SIGKILL)
    run.wait()
    if log:
        log.close()
    return moment


def landed_in(log):
    last = "start"
    for line in log.splitlines():
        for phase, marker in PHASES:
            if marker in line:
                last = phase
    return last


def check_after_kill(world, expected):
    problems = []
    by_name = {o["file"]: o for o in world.offers}
    files = os.listdir(world.downloads())
    for name in expected:
        base, dot, suffix = name.rpartition(".")
        partial = [f for f in files if f.startswith(base) and f.endswith(".tessdownload")]
        numbered = [f for f in files if f.startswith(base + "-") and f != name]
        if len(partial) > 1 or numbered:
            problems.append("partial: %s has %s" % (name, sorted(partial + numbered)))
        final = os.path.join(world.downloads(), name)
        if os.path.exists(final) and sha256(final) != by_name[name]["sha256"]:
            problems.append("bytes: %s under its final name has the wrong bytes" % name)
        present = world.snapshot(name) if os.path.isdir(world.product_folder(name)) else {}
        if present and present != world.reference[name]:
            problems.append("installed: %s is half-installed (%d of %d files right)" % (
                name, sum(1 for k, v in present.items() if world.reference[name].get(k) == v),
                len(world.reference[name])))
    return problems


def check_next_run(world, expected):
    run = world.start()
    out = run.communicate(timeout=300)[0].decode(errors="replace")
    problems = []
    if run.returncode != 0:
        problems.append("next run: exit code %d: %s" % (run.returncode,
                                                        out.strip().splitlines()[-1:]))
    for name in expected:
        if world.snapshot(name) != world.reference[name]:
            problems.append("next run: %s not installed with the right bytes" % name)
    left = [f for f in os.listdir(world.downloads()) if f.endswith(".tessdownload")]
    if left:
        problems.append("next run: partial files left: %s" % left)
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", required=True, help="build tree holding bin/tessinstaller")
    parser.add_argument("--kills", type=int, default=300, help="runs to kill (default 300)")
    parser.add_argument("--seed", type=int, default=None, help="random seed (default: time)")
    parser.add_argument("--work", help="folder to work in (default: a new temporary folder)")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else int(time.time())
    rng = random.Random(seed)
    work = args.work or tempfile.mkdtemp(prefix="tess-kill-campaign.")
    world = World(work, os.path.abspath(args.build))
    try:
        windows, log = timed_phases(world)
        expected = [o["file"] for o in world.offers if os.path.isdir(world.product_folder(
            o["file"]))]
        world.reference = {name: world.snapshot(name) for name in expected}
        print("seed %d; the timed run installed %d products; phases seen: %s" % (
            seed, len(expected), ", ".join("%s %d" % (k, len(v)) for k, v in windows.items())))
        aimed, landed, failures = {}, {}, 0
        order = [p for p in ("download", "check", "install") if windows[p]]
        for k in range(args.kills):
            phase = order[k % len(order)]
            occurrence = rng.randrange(len(windows[phase]))
            begin, end = windows[phase][occurrence]
            delay = rng.uniform(0, end - begin)
            world.reset()
            moment = kill_in_phase(world, phase, occurrence, delay)
            where = landed_in(world.log())
            aimed[phase] = aimed.get(phase, 0) + 1
            landed[where] = landed.get(where, 0) + 1
            problems = check_after_kill(world, expected) + check_next_run(world, expected)
            failures += 1 if problems else 0
            print("kill %3d at %6.3f s, aimed at %-8s %d, landed in %-8s %s" % (
                k + 1, moment, phase, occurrence + 1, where, "; ".join(problems) or "ok"),
                flush=True)
        print("summary: %d kills (aimed: %s; landed: %s), %d with a failed check" % (
            args.kills, ", ".join("%s %d" % kv for kv in sorted(aimed.items())),
            ", ".join("%s %d" % kv for kv in sorted(landed.items())), failures))
        return 1 if failures else 0
    finally:
        world.service.terminate()
        if not args.keep and not args.work:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
