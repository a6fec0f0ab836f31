#!/usr/bin/env python3
"""End-to-end runs of the real launcher under a private Xvfb, driven with xdotool as a person
would: e2e.py --build-dir BUILD [--out DIR] [--only NAME]... Each scenario gets its own stand-in
service, made-up machine and home; its runs' logs and screenshots are left in DIR."""

import argparse, json, os, re, shutil, signal, socket, subprocess, sys, tempfile, time  # noqa
import ssl, traceback, urllib.request  # noqa: E401

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOLS = os.path.join(SOURCE, "tools")
sys.path[:0] = [os.path.join(TOOLS, "demo"), os.path.join(TOOLS, "products")]
from build_samples import payload_bytes  # noqa: E402
from wizard import DriveError, WizardRun, Xvfb, has_line  # noqa: E402

USER, PASSWORD = "e2e-user", "e2e-Secret-4711"
RUN_LIMIT, SUITE_LIMIT = 45, 240  # seconds; the suite's limit is below the CTest timeout
CLEARED_ENV = ("TESSTREE", "TASTREE", "DLR_MANIFEST_FILE", "DLR_APPEND_MANIFEST_FILE",
               "TESSINSTALLER_DEBUG_LOG", "TESSINSTALLER_DEBUG_ENTITLEMENT", "QT_QPA_PLATFORM")

WS25, TFM25, TFM25_2024, TFH25, HARROW = (
    "TessalineWorkserver-25.1_2301450-win64.msi", "TessalineForMaya-25.1_2301450-win64.msi",
    "TessalineForMaya-25.1-maya2024_2301450-win64.msi",
    "TessalineForHoudini-25.1-houdini20.0_2301450-win64.msi",
    "HarrowQueueManager-25.1_2301450-win64.msi")
WS24, TFM24 = "TessalineWorkserver-24.4_2226589-win64.msi", "TessalineForMaya-24.4_2226589-win64.msi"
# Maya 2024 and 2025, Houdini 20.0, no Katana, and a Workserver 24.4 older than the one on offer.
FIRST_MACHINE = ["--maya", "2024", "--maya", "2025", "--houdini", "20.0.547",
                 "--workserver", "24.4:2210417"]
HOSTS = {("Maya", "2024"), ("Maya", "2025"), ("Houdini", "20.0")}
FIRST_SURVEY = {("Tessaline Workserver 24.4", "24.4", "2210417", "TessalineWorkserver-24.4")}
# The 25 group (not the Maya 2019 nor the Katana bridge), the 24 group because a 24 Workserver
# is installed (its newer build and the any-version bridge), and the queue manager ("show").
FIRST_PROPOSAL = [WS25, TFM25, TFM25_2024, TFH25, WS24, TFM24, HARROW]
# Then: the Maya 2024 bridge again (the survey reads a Maya version in a folder name only up to
# 2019, so it records an any-version bridge), the Houdini bridge (not surveyed), the queue
# manager. Both Workservers and both any-version bridges are installed in the offered builds.
SECOND_PROPOSAL = [TFM25_2024, TFH25, HARROW]
SECOND_SURVEY = {("Tessaline Workserver 25.1", "25.1", "2301450", "TessalineWorkserver-25.1"),
                 ("Tessaline for Maya 25.1", "25.1", "2301450", "TessalineForMaya-25.1"),
                 ("Tessaline for Maya 25.1", "25.1", "2301450", "TessalineForMaya-25.1-maya2024"),
                 ("Tessaline Workserver 24.4", "24.4", "2226589", "TessalineWorkserver-24.4"),
                 ("Tessaline for Maya 24.4", "24.4", "2226589", "TessalineForMaya-24.4")}
BARE_PROPOSAL = [WS25, HARROW]  # a machine with nothing on it


def check(condition, message, *values):
    if not condition:
        raise AssertionError(message % values if values else message)


def survey(text):
    """The survey's records from its fixed lines: (hosts, products with their folder name)."""
    hosts = set(re.findall(r"^tessinstaller Debug: Survey: host (.+) (\S+)$", text, re.M))
    return hosts, {(n, v, b, re.split(r"[\\/]", at)[-1]) for n, v, b, at in re.findall(
        r'^tessinstaller Debug: Survey: installed product "(.*)" version (\S*) build (\S*) '
        r'at (.*)$', text, re.M)}


class Service:
    """The stand-in service on 127.0.0.1 (https with tls=(cert, key)), its log appended to log."""

    def __init__(self, work, products, log, tls=None, faults=()):
        self.scheme, port_file = "https" if tls else "http", work + "/port"
        with open(work + "/users.json", "w") as f:
            json.dump({"users": {USER: PASSWORD}}, f)
        if os.path.exists(port_file):
            os.remove(port_file)
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(TOOLS, "standin", "serve.py"), "--products", products,
             "--users", work + "/users.json", "--port", "0", "--port-file", port_file,
             "--time-limit", "600"] + (["--tls-cert", tls[0], "--tls-key", tls[1]] if tls else [])
            + [a for f in faults for a in ("--fault", f)],
            stdout=subprocess.DEVNULL, stderr=open(log, "a"))
        deadline = time.monotonic() + 15
        while not (os.path.exists(port_file) and os.path.getsize(port_file)):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                self.close()
                raise AssertionError("the stand-in service did not start")
            time.sleep(0.05)
        self.port = int(open(port_file).read())

    def state(self):
        url = "%s://127.0.0.1:%d/debug/state" % (self.scheme, self.port)
        with urllib.request.urlopen(url, None, 10, context=ssl._create_unverified_context()) as r:
            return json.load(r)

    def product_requests(self):
        return {p[10:]: n for p, n in self.state()["counts"].items() if p.startswith("/products/")}

    def close(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)


def xdg_open(folder):
    """The success page opens through xdg-open (under Wine, through Wine's browser); this one
    fetches it whatever its certificate, so the service counts a visit."""
    with open(folder + "/xdg-open", "w") as f:
        f.write('#!/bin/sh\nexec curl -sk -m 10 -o /dev/null "$1"\n')
    os.chmod(folder + "/xdg-open", 0o755)


def check_payload(program_files, described, files, platform="linux"):
    """Every file of the products (package file names) holds the package's bytes."""
    for f in files:
        product = described[f]
        for relative, spec in product["payload"].items():
            name = product["folder"] + "/" + relative
            path = os.path.join(program_files, name)
            check(os.path.isfile(path), "%s was not installed", path)
            with open(path, "rb") as data:
                check(data.read() == payload_bytes(name, spec, product, platform), "%s differs",
                      path)
            check(platform != "linux" or not path.endswith(".exe") or os.access(path, os.X_OK),
                  "%s mode", path)


class Scenario:
    """The stand-in service, a home, a made-up machine, an xdg-open stand-in and the runs made
    in them; at the end, come what may, every run and the service stop."""

    def __init__(self, suite, name, machine_args=(), products=None, faults=()):
        self.suite, self.runs, work = suite, [], tempfile.mkdtemp(prefix=name, dir=suite.work)
        self.out, self.home, self.root, self.bin, self.downloads = (
            os.path.join(suite.out, name), work + "/home", work + "/m", work + "/bin",
            work + "/home/Downloads")
        for folder in (self.out, self.downloads, self.home + "/.config", self.home + "/.run",
                       self.bin, self.root + "/opt"):
            os.makedirs(folder, mode=0o700, exist_ok=True)
        subprocess.run([sys.executable, os.path.join(TOOLS, "machine", "make-machine.py"),
                        self.root, *machine_args], check=True, stdout=subprocess.DEVNULL)
        xdg_open(self.bin)
        self.service = Service(work, products or suite.dir, self.out + "/service.log",
                               faults=faults)
        self.port, self.state = self.service.port, self.service.state

    def __enter__(self):
        return self

    def __exit__(self, failure, *_):
        self.service.close()
        for n, run in enumerate(self.runs, 1):
            run.kill()
            if run.log_path and os.path.exists(run.log_path):
                shutil.copy(run.log_path, os.path.join(self.out, "run%d.log.txt" % n))
                check(failure or PASSWORD not in run.log_text(), "the log holds a password")

    def launch(self, port=None, password=PASSWORD):
        env = {k: v for k, v in os.environ.items() if k not in CLEARED_ENV}
        env.update(HOME=self.home, XDG_CONFIG_HOME=self.home + "/.config",
                   XDG_RUNTIME_DIR=self.home + "/.run", TESSINSTALLER_ROOT=self.root,
                   QT_QPA_PLATFORM="xcb", PATH=self.bin + os.pathsep + os.environ["PATH"])
        args = ["-manifestserver", "127.0.0.1:%d" % (port or self.port), "-user", USER, "-pass",
                password]
        run = WizardRun(self.suite.program, args, env, self.downloads, self.out, RUN_LIMIT)
        self.runs.append(run)
        run.start()
        run.find_window()
        run.wait_line("Sign in")
        return run

    def check_files(self, downloaded, installed, broken=()):
        """Downloads whole (broken: a shorter ".tessdownload" at most); the machine holds the
        installed products alone, every file with the package's bytes (.exe executable)."""
        names = {f for f in os.listdir(self.downloads) if not f.startswith("tessinstaller.")}
        for f in broken:
            part = os.path.join(self.downloads, f + ".tessdownload")
            check(not os.path.exists(part) or os.path.getsize(part) < self.suite.size(f),
                  "%s is not shorter", part)
            names -= {f + ".tessdownload", f + ".tessdownload.validator"}  # kept to resume
        check(names == set(downloaded) and all(os.path.getsize(self.downloads + "/" + f) ==
                                               self.suite.size(f) for f in downloaded),
              "Downloads holds %s", sorted(names))
        opt = os.path.join(self.root, "opt")
        check_payload(opt, self.suite.described, installed)
        there = {f for folder in (opt, opt + "/Orrel") if os.path.isdir(folder)
                 for f in os.listdir(folder) if f.startswith(".") or folder != opt}
        check(there == {self.suite.described[f]["folder"][6:] for f in installed},
              "the machine holds %s", there)  # staging folders start with "."


def propose(run, suite, files, boxes=()):
    """Signs in (Return is Next once the fields are filled), answers the boxes asked on the
    way (id, keys), checks the proposal, accepts it with Next's mnemonic (the list has the
    focus: Return would not reach Next)."""
    run.press_until("Return", "Selection")
    for box_id, *keys in boxes:
        run.answer_box(box_id, *keys)
    chosen, rows = run.wait_proposal()
    wanted = [(suite.offers[f]["name"], suite.offers[f]["simpleName"]) for f in files]
    check(chosen == len(files) and rows == wanted, "proposed %s, expected %s", rows, files)
    run.press_until("alt+n", "Download")


def finish_run(scenario, run, answers=None):
    """Answers boxes (id -> keys) until the finished page, then Finish: exit code 0 and the
    success page visited. Returns [(box id, answer)]; an unexpected box fails the run."""
    answers, seen = answers or {}, []

    def next_event(text):
        text = text[re.search(r"^tessinstaller Debug: Download$", text, re.M).end():]
        opened = re.findall(r'Message box "([^"]*)" :', text)
        if len(opened) > len(seen):
            return opened[len(seen)]
        return "finished" if has_line(text, "Finished!") else None

    while True:
        event = run.wait_until(next_event, "the finished page or a message box", timeout=50)
        if event == "finished":
            break
        check(event in answers, "unexpected message box %r", event)
        nth = sum(1 for box, _ in seen if box == event) + 1
        seen.append((event, run.answer_box(event, *answers[event], nth=nth)))
    run.screenshot("finished")
    run.key("Return", focus_main=True)  # Finish is the only button
    check(run.wait_exit(20) == 0, "exit code %s", run.proc.returncode)
    deadline = time.monotonic() + 15  # xdg-open fetches the page after the launcher has gone
    while scenario.state()["visits"] < len(scenario.runs):
        check(time.monotonic() < deadline, "the success page was not visited")
        time.sleep(0.1)
    return seen


def scenario_first_and_second_run(suite):
    with Scenario(suite, "first-and-second-run", FIRST_MACHINE) as scenario:
        run = scenario.launch()
        propose(run, suite, FIRST_PROPOSAL)
        check(survey(run.log_text()) == (HOSTS, FIRST_SURVEY), "the survey found %s",
              survey(run.log_text()))
        check(finish_run(scenario, run) == [], "boxes on a clean run")
        scenario.check_files(FIRST_PROPOSAL, FIRST_PROPOSAL)
        requests = scenario.service.product_requests()
        check(requests == {f: 1 for f in FIRST_PROPOSAL}, "product requests %s", requests)

        # Again on the same machine: the survey finds what the first run installed.
        run = scenario.launch()
        propose(run, suite, SECOND_PROPOSAL)
        text = run.log_text()
        check(survey(text) == (HOSTS, SECOND_SURVEY), "the survey found %s", survey(text))
        seen = [text.count(t) for t in ("is already installed", "Offer already installed",
                                        "Found existing download")]
        check(seen == [2, 2, 3], "servers, bridges installed, downloads reused: %s", seen)
        check(finish_run(scenario, run) == [], "boxes on the second run")
        check(scenario.service.product_requests() == requests, "downloaded again")
        scenario.check_files(FIRST_PROPOSAL, FIRST_PROPOSAL)


def scenario_broken_download_and_package(suite):
    """A download broken off half-way, answered with Ignore, then a package of random bytes:
    the queue goes on past both, the installer's error box, exit code 0, nothing installed."""
    products = os.path.join(suite.work, "bad-products")
    shutil.copytree(suite.dir, products)
    with open(os.path.join(products, HARROW), "wb") as f:
        f.write(os.urandom(suite.size(HARROW)))  # same size: products.json stays right
    fault = "%s=reset:%d" % (WS25, suite.size(WS25) // 2)
    with Scenario(suite, "bad-day", products=products, faults=[fault]) as scenario:
        run = scenario.launch()
        propose(run, suite, BARE_PROPOSAL)
        # Download box buttons in focus order: Retry (the default), Ignore, Abort.
        boxes = finish_run(scenario, run, {"downloadFailed": ["Tab", "Return"],
                                           "Error": ["Return"]})
        check(boxes == [("downloadFailed", "Ignore"), ("Error", "Ok")], "boxes %s", boxes)
        check(run.box_text("downloadFailed").startswith("Product download failed / ")
              and "package could not be opened" in run.box_text("Error"), "the boxes' texts")
        check("Requesting retry" not in run.log_text(), "Ignore was taken as Retry")
        scenario.check_files([HARROW], [], broken=[WS25])
        check(scenario.service.product_requests() == {WS25: 1, HARROW: 1}, "requests")


def scenario_manifest_refused(suite, name, password=PASSWORD, dead=False):
    """No product list (a wrong password, nothing listening): the box, then exit code 1."""
    with Scenario(suite, name) as scenario, socket.socket() as unused:
        unused.bind(("127.0.0.1", 0))  # bound, never listening: the dead service
        run = scenario.launch(unused.getsockname()[1] if dead else None, password)
        run.press_until("Return", "Selection")
        check(run.answer_box("manifestFailed", "Return") == "Ok", "the box was not Ok")
        check(run.wait_exit(20) == 1, "exit code %s", run.proc.returncode)
        said, why = run.box_text("manifestFailed").split(" / ", 1)
        check(said == "Could not get a product list from Orrel" and ("Unknown manifest Validation"
              if dead else "Invalid forum user ID or password") in why, "the box: %s", why)
        scenario.check_files([], [])
        counts = scenario.state()["counts"]
        check(counts.get("/forum/currentproducts.php", 0) == int(not dead), "requests %s", counts)


SCENARIOS = {
    "first-and-second-run": scenario_first_and_second_run,
    "bad-day": scenario_broken_download_and_package,
    "wrong-password": lambda s: scenario_manifest_refused(s, "wrong-password", "x" + PASSWORD),
    "dead-service": lambda s: scenario_manifest_refused(s, "dead-service", dead=True),
}


class Suite:
    """The launcher, the output folder, and the sample packages built once for every scenario."""

    def __init__(self, build_dir, out, platform="linux"):
        self.program = os.path.join(build_dir, "bin", "tessinstaller")
        self.program += ".exe" if platform == "windows" else ""
        self.out, self.work = out, tempfile.mkdtemp(prefix="tess-%s." % platform)
        self.dir = os.path.join(self.work, "products")
        subprocess.run([os.path.join(TOOLS, "products", "build-samples.sh"), self.dir,
                        "--platform", platform], check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(self.dir, "products.json")) as f:
            self.offers = {o["file"]: o for o in json.load(f)["products"]}
        with open(os.path.join(TOOLS, "products", "samples.json")) as f:
            self.described = {p["file"]: p for p in json.load(f)["products"]}

    def size(self, file_name):
        return os.path.getsize(os.path.join(self.dir, file_name))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--out", default="e2e-out")
    parser.add_argument("--only", action="append", choices=sorted(SCENARIOS))
    opts = parser.parse_args()
    # A termination from outside (a CTest timeout) still runs every cleanup below.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("e2e: terminated"))
    out = os.path.abspath(opts.out)
    shutil.rmtree(out, ignore_errors=True)
    names, failed, started = opts.only or list(SCENARIOS), [], time.monotonic()
    with Xvfb():
        suite = Suite(opts.build_dir, out)
        try:
            for name in names:
                began = time.monotonic()
                try:
                    check(began - started < SUITE_LIMIT - 2 * RUN_LIMIT, "not run: no time left")
                    SCENARIOS[name](suite)
                    print("PASS %-22s %5.1f s" % (name, time.monotonic() - began), flush=True)
                except (AssertionError, DriveError, subprocess.SubprocessError, OSError) as e:
                    failed.append(name)
                    print("FAIL %-22s %5.1f s: %s" % (name, time.monotonic() - began, e))
                    traceback.print_exc()
        finally:
            shutil.rmtree(suite.work, ignore_errors=True)
    print("e2e: %d scenarios, %d failed, %.1f s; logs and screenshots in %s"
          % (len(names), len(failed), time.monotonic() - started, out))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
