#!/usr/bin/env python3
"""A studio's runs, each a real run of the keyed launcher (build/keyed: the demo maker key compiled
in) against the stand-in service signing with the key's private half: -mirror into a folder and
again after the list changed, then a table of runs with -source (a mirror served by Debian's nginx,
good, damaged, down or old, and a folder), a download ahead of an install, and the options that
stop a run before any traffic. Each row asserts the exit code and the line an administrator reads.
studio.py --build-dir BUILD [--only ROW]"""

import argparse, glob, json, os, re, shutil, socket, subprocess, sys, tempfile, time  # noqa: E401
import traceback, urllib.request  # noqa: E401

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WS25 = "TessalineWorkserver-25.1_2301450-win64.msi"
HARROW = "HarrowQueueManager-25.1_2301450-win64.msi"
KATANA = "TessalineForKatana-25.1-katana6.0_2301450-win64.msi"
AHEAD = "Downloading Harrow Queue Manager 25.1"
# row: (arguments, exit code, lines the run prints, where the list and WS25's bytes come from)
# NGINX, DAMAGED, MIRROR, OLD, SILENT, NOWHERE and FILE stand for the world's places.
ROWS = {
    "mirror good": (["-source", "NGINX"], 0, ["Reading the product list from NGINX",
                                              "Installed 1 product"], ("NGINX", "NGINX")),
    "mirror with a damaged package": (
        ["-source", "DAMAGED"], 0, ["Source DAMAGED: %s does not match the product list's "
                                    "SHA-256; fetching it from the maker" % WS25], ("DAMAGED", "maker")),
    "mirror down, the maker answers": (
        ["-source", "SILENT", "-source", "NOWHERE"], 0,
        ["Source SILENT did not answer within 10 s; passed over",
         "No source has a product list; asking the maker", "Signing in to"], ("maker", "maker")),
    "mirror with an old list": (["-source", "OLD"], 10, ["Reading the product list from OLD",
                                                         "older than one already seen"], None),
    "folder source, a missing one passed over": (
        ["-source", "NOWHERE/none", "-source", "MIRROR"], 0,
        ["Source NOWHERE/none does not exist; passed over"], ("MIRROR", "MIRROR")),
    "rate limit": (["-source", "NGINX", "-ratelimit", "40K"], 0, ["Installed 1 product"],
                   ("NGINX", "NGINX")),
    "rate limit not a rate": (["-ratelimit", "20X"], 2, ["Stopped: -ratelimit 20X: not a rate"],
                              None),
    "mirror folder cannot be written": (["-mirror", "FILE/mirror"], 2,
                                        ["Stopped: Mirror folder FILE/mirror cannot be made"], None),
}


def check(condition, message, *values):
    if not condition:
        raise AssertionError(message % values if values else message)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Studio:
    """The maker's stand-in, a mirror filled by -mirror and served by nginx, and a place to run."""

    def __init__(self, build, work):
        self.build, self.work, self.children = build, work, []
        self.products, self.users = work + "/products", work + "/users.json"
        json.dump({"users": {"demo": "demo-pw"}}, open(self.users, "w"))
        subprocess.run([SOURCE + "/tools/products/build-samples.sh", self.products], check=True,
                       stdout=subprocess.DEVNULL)
        self.silent = socket.socket()  # listens, takes the connection, never answers
        self.silent.bind(("127.0.0.1", 0))
        self.silent.listen(8)
        self.places = {"SILENT": "http://127.0.0.1:%d" % self.silent.getsockname()[1],
                       "NOWHERE": work + "/nowhere", "MIRROR": work + "/www/mirror",
                       "OLD": work + "/old", "FILE": work + "/users.json"}
        self.service = None
        self.serve(5)

    def serve(self, version):
        if self.service:
            self.service.terminate()
            self.service.wait(timeout=10)
        port = self.work + "/standin.port"
        if os.path.exists(port):
            os.remove(port)
        self.service = subprocess.Popen(
            [sys.executable, SOURCE + "/tools/standin/serve.py", "--products", self.products,
             "--users", self.users, "--port", "0", "--port-file", port, "--time-limit", "600",
             "--sign-key", self.build + "/keyed/demo-maker-key.pem", "--manifest-version",
             str(version), "--manifest-expires", "2099-01-01T00:00:00Z"],
            stdout=subprocess.DEVNULL, stderr=open(self.work + "/standin.log", "a"))
        self.children.append(self.service)
        while not (os.path.exists(port) and os.path.getsize(port)):
            check(self.service.poll() is None, "the stand-in service did not start")
            time.sleep(0.05)
        self.port = int(open(port).read())

    def state(self):
        url = "http://127.0.0.1:%d/debug/state" % self.port
        return json.load(urllib.request.urlopen(url, timeout=10))

    def nginx(self):
        conf, port = self.work + "/nginx", free_port()
        os.makedirs(conf, exist_ok=True)
        open(conf + "/nginx.conf", "w").write(
            "daemon off; master_process off; worker_processes 1; error_log %s/error.log;\n"
            "pid %s/nginx.pid; events { worker_connections 64; }\n"
            "http { access_log off; client_body_temp_path %s; proxy_temp_path %s;\n"
            "  fastcgi_temp_path %s; uwsgi_temp_path %s; scgi_temp_path %s;\n"
            "  server { listen 127.0.0.1:%d; root %s/www; autoindex off; } }\n"
            % ((conf,) * 7 + (port, self.work)))
        self.children.append(subprocess.Popen(["nginx", "-c", conf + "/nginx.conf", "-p", conf],
                                              stderr=subprocess.DEVNULL))
        for _ in range(100):
            try:
                urllib.request.urlopen("http://127.0.0.1:%d/mirror/manifest.xml" % port, timeout=2)
                break
            except OSError:
                time.sleep(0.1)
        self.places.update(NGINX="http://127.0.0.1:%d/mirror" % port,
                           DAMAGED="http://127.0.0.1:%d/damaged" % port)

    def fill(self, text):
        for key in sorted(self.places, key=len, reverse=True):
            text = text.replace(key, self.places[key])
        return text

    def run(self, name, arguments, home=None):
        """A run without questions in a home and a bare machine of its own."""
        home = home or "%s/%s/home" % (self.work, re.sub(r"\W+", "-", name))
        root = os.path.dirname(home) + "/machine"
        for folder in (home + "/Downloads", home + "/.run", root):
            os.makedirs(folder, mode=0o700, exist_ok=True)
        if not os.path.isdir(root + "/opt"):
            subprocess.run([sys.executable, SOURCE + "/tools/machine/make-machine.py", root],
                           check=True, stdout=subprocess.DEVNULL)
        env = {k: v for k, v in os.environ.items() if k not in (
            "DISPLAY", "QT_QPA_PLATFORM", "TESSTREE", "TASTREE", "DLR_MANIFEST_FILE",
            "DLR_APPEND_MANIFEST_FILE")}
        env.update(HOME=home, XDG_CONFIG_HOME=home + "/.config", TMPDIR=self.work,
                   XDG_RUNTIME_DIR=home + "/.run", TESSINSTALLER_ROOT=root,
                   TESSINSTALLER_RETRY_PAUSE_MS="20")
        report = os.path.dirname(home) + "/report.json"
        proc = subprocess.run(
            [self.build + "/keyed/bin/tessinstaller", "-unattended", "-manifestserver",
             "127.0.0.1:%d" % self.port, "-user", "demo", "-pass", "demo-pw", "-report", report,
             *[self.fill(a) for a in arguments]], env=env, capture_output=True, text=True,
            timeout=120)
        check(proc.stderr == "", "standard error: %s", proc.stderr)
        logs = sorted(glob.glob(home + "/Downloads/tessinstaller.*.txt"))
        log = open(logs[-1], encoding="latin-1").read() if logs else ""
        result = json.load(open(report)) if os.path.exists(report) else {}
        return proc.returncode, proc.stdout, log, result

    def stop(self):
        for child in self.children:
            child.terminate()
            child.wait(timeout=10)
        self.silent.close()


def expect(run, code, lines):
    got, out, _, report = run
    check(got == code, "exit code %s, not %s: %s", got, code, out[-600:])
    for line in lines:
        check(line in out, "no line %r in: %s", line, out)
    check(report.get("exitCode") == code, "the report's exit code: %s", report.get("exitCode"))


def mirror_twice(studio):
    """A release mirrored, then mirrored again after the list changed: only what changed moves."""
    mirror = studio.places["MIRROR"]
    first = studio.run("mirror", ["-mirror", mirror, "-select", "."])
    expect(first, 0, ["Mirrored 10 products into %s: 10 fetched, 0 kept, 0 removed" % mirror])
    check(sorted(first[3]["mirror"]["fetched"]) == sorted(
        p["file"] for p in json.load(open(studio.products + "/products.json"))["products"]),
        "fetched: %s", first[3]["mirror"])
    # The list and its signature exactly as the maker signed them.
    signature = subprocess.run(["base64", "-d", mirror + "/manifest.xml.sig"], check=True,
                               capture_output=True).stdout
    open(studio.work + "/sig.der", "wb").write(signature)
    subprocess.run(["openssl", "dgst", "-sha256", "-verify",
                    studio.build + "/keyed/demo-maker-key.pub.pem", "-signature",
                    studio.work + "/sig.der", mirror + "/manifest.xml"], check=True,
                   stdout=subprocess.DEVNULL)
    shutil.copytree(mirror, studio.places["OLD"])  # version 5, for the old-list row
    open(mirror + "/README.txt", "w").write("not the mirror's\n")

    # The maker's next list: Harrow withdrawn, the Katana package rebuilt.
    listing = json.load(open(studio.products + "/products.json"))
    listing["products"] = [p for p in listing["products"] if p["file"] != HARROW]
    json.dump(listing, open(studio.products + "/products.json", "w"))
    with open(studio.products + "/" + KATANA, "ab") as f:
        f.write(b"\0" * 4096)
    studio.serve(6)
    second = studio.run("mirror", ["-mirror", mirror, "-select", "."])
    expect(second, 0, ["Mirror: fetched %s" % KATANA, "Mirror: removed %s" % HARROW,
                       "Mirrored 9 products into %s: 1 fetched, 8 kept, 1 removed" % mirror])
    sent = studio.state()["bytes"]
    check(list(sent) == [KATANA], "the maker sent %s", sent)
    check(not os.path.exists(mirror + "/" + HARROW) and os.path.exists(mirror + "/README.txt"),
          "removed more or less than Harrow")
    # A damaged copy beside it, one byte of the Workserver changed.
    shutil.copytree(mirror, studio.work + "/www/damaged")
    with open(studio.work + "/www/damaged/" + WS25, "r+b") as f:
        f.seek(5000)
        byte = f.read(1)
        f.seek(5000)
        f.write(bytes([byte[0] ^ 1]))


def source_row(studio, name):
    arguments, code, lines, origins = ROWS[name]
    home = None
    if name == "mirror with an old list":  # this user has seen version 6 from the maker
        home = studio.work + "/old-list/home"
        expect(studio.run(name, ["-list"], home), 0, ["Listed the proposal"])
    before = studio.state()
    run = studio.run(name, arguments, home)
    expect(run, code, [studio.fill(line) for line in lines])
    after, report = studio.state(), run[3]
    if code == 2:  # stopped before any traffic
        check(after["counts"].get("/forum/currentproducts.php")
              == before["counts"].get("/forum/currentproducts.php"), "traffic: %s", after)
    if origins:
        ws = [p for p in report["products"] if p["name"] == WS25][0]["download"]
        check((report["productList"], ws["from"]) == tuple(map(studio.fill, origins)),
              "list from %s, the Workserver from %s", report["productList"], ws["from"])
        maker = after["bytes"].get(WS25, 0) - before["bytes"].get(WS25, 0)
        check(ws["bytesBySource"].get("maker", 0) == maker == report["bytesFromMaker"],
              "the maker's bytes: %s, the stand-in sent %d", ws["bytesBySource"], maker)
        check(report["bytesFromSources"] == sum(
            v for k, v in ws["bytesBySource"].items() if k != "maker"), "bytesFromSources")
    if name == "rate limit":  # 40 kB/s: the 109 kB Workserver takes 2.7 s
        check(ws["seconds"] >= 2.2, "the capped download took %s s", ws["seconds"])


def ahead_row(studio):
    """While the Workserver installs, the Harrow package downloads (slowly: about 4 s)."""
    urllib.request.urlopen("http://127.0.0.1:%d/debug/fault?file=%s&fault=slow:12000"
                           % (studio.port, HARROW), timeout=10)
    run = studio.run("ahead", [])
    expect(run, 0, ["Installed 2 products"])
    times = {}
    for match in re.finditer(r"Unattended: \+([0-9.]+) s \[...%\] (.*)", run[2]):
        times.setdefault(match.group(2), float(match.group(1)))
    installing, installed = times["Installing Tessaline Workserver 25.1"], \
        times["Installed Tessaline Workserver 25.1"]
    fetch = [t for line, t in times.items() if line.startswith(AHEAD)]
    done = [t for line, t in times.items() if line.startswith("Downloaded Harrow")]
    check(fetch and done and fetch[0] < installed and done[0] > installing,
          "the Workserver installed %s to %s, Harrow downloaded %s to %s",
          installing, installed, fetch, done)
    urllib.request.urlopen("http://127.0.0.1:%d/debug/fault?file=%s&fault=" % (studio.port, HARROW),
                           timeout=10)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--only", action="append", choices=sorted(ROWS))
    opts = parser.parse_args()
    work = tempfile.mkdtemp(prefix="tess-studio.")
    studio, failed = Studio(os.path.abspath(opts.build_dir), work), []
    steps = [("downloads ahead of the install", lambda: ahead_row(studio)),
             ("-mirror, then again after the list changed", lambda: mirror_twice(studio)),
             ("nginx serves the mirror", studio.nginx)]
    steps += [(name, lambda name=name: source_row(studio, name)) for name in opts.only or ROWS]
    try:
        for name, step in steps:
            began, result = time.monotonic(), "PASS"
            try:
                step()
            except (AssertionError, KeyError, OSError, subprocess.SubprocessError):
                failed.append(name)
                result = "FAIL"
                traceback.print_exc()
            print("%s %-50s %5.1f s" % (result, name, time.monotonic() - began), flush=True)
    finally:
        studio.stop()
        shutil.rmtree(work, ignore_errors=True)
    print("studio: %d steps, %d failed" % (len(steps), len(failed)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
