#!/usr/bin/env python3
"""End-to-end walk-through of the real launcher under an X server, driven with xdotool the way
a person would use it.

    e2e.py --build-dir BUILD [--out DIR] [--only NAME]...

Run inside an X server (CTest starts it through xvfb-run). The sample packages are built once;
every scenario then gets its own stand-in web service, made-up machine and private home folder,
and asserts on the run's log file, the Downloads folder, the installed files and the exit code.
Every launcher run has a time limit, and every process started here is stopped, also when a
scenario fails. Screenshots and the runs' log files are left in DIR for a look afterwards.
"""

import argparse
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import traceback
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE, "tools", "demo"))
sys.path.insert(0, os.path.join(SOURCE, "tools", "products"))

import expected  # noqa: E402
from build_samples import payload_bytes  # noqa: E402
from wizard import DriveError, WizardRun  # noqa: E402

USER, PASSWORD = "e2e-user", "e2e-Secret-4711"
RUN_LIMIT = 45  # seconds for one launcher run, from start to exit (a good run takes about 3)
SUITE_LIMIT = 240  # below the CTest timeout, so a hang fails here with its story told
# Variables that would point the launcher at something other than this test's own world.
CLEARED_ENV = ("TESSTREE", "TASTREE", "DLR_MANIFEST_FILE", "DLR_APPEND_MANIFEST_FILE",
               "TESSINSTALLER_DEBUG_LOG", "TESSINSTALLER_DEBUG_ENTITLEMENT", "QT_QPA_PLATFORM")
# The success page opens through xdg-open; this one fetches it, so the service counts a visit.
XDG_OPEN = """#!/bin/sh
exec python3 -c 'import sys, urllib.request; urllib.request.urlopen(sys.argv[1], timeout=10).read()' "$1"
"""


def has_line(text, message):
    """True when the log holds a line whose message is exactly message."""
    return re.search(r"^tessinstaller \w+: %s$" % re.escape(message), text, re.M) is not None


def found_records(text):
    """The installed products the survey logged: {(ProductName, Version, BuildId)}."""
    records = set()
    for body in re.findall(r"^tessinstaller Debug: Found QHash\((.*)\)$", text, re.M):
        fields = dict(re.findall(r'\("([^"]*)", "([^"]*)"\)', body))
        records.add((fields["ProductName"], fields["Version"], int(fields["BuildId"])))
    return records


class Samples:
    """The sample packages, built once for every scenario."""

    def __init__(self, work):
        self.dir = os.path.join(work, "products")
        subprocess.run([os.path.join(SOURCE, "tools", "products", "build-samples.sh"), self.dir],
                       check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(self.dir, "products.json")) as f:
            self.offers = json.load(f)["products"]  # manifest order
        with open(os.path.join(SOURCE, "tools", "products", "samples.json")) as f:
            self.described = {p["file"]: p for p in json.load(f)["products"]}

    def size(self, offer):
        return os.path.getsize(os.path.join(self.dir, offer["file"]))

    def by_file(self, file_name):
        return next(o for o in self.offers if o["file"] == file_name)


class Service:
    """The stand-in web service on loopback, as a child process."""

    def __init__(self, work, products, faults=()):
        self.work, self.products, self.faults = work, products, faults
        self.proc = None
        self.port = None

    def __enter__(self):
        users = os.path.join(self.work, "users.json")
        with open(users, "w") as f:
            json.dump({"users": {USER: PASSWORD}}, f)
        port_file = os.path.join(self.work, "service.port")
        command = [sys.executable, os.path.join(SOURCE, "tools", "standin", "serve.py"),
                   "--products", self.products, "--users", users, "--port", "0",
                   "--port-file", port_file, "--time-limit", "300"]
        for fault in self.faults:
            command += ["--fault", fault]
        self.log = open(os.path.join(self.work, "service.log"), "w")
        self.proc = subprocess.Popen(command, stderr=self.log, stdout=self.log)
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline and self.proc.poll() is None:
            if os.path.exists(port_file):
                self.port = int(open(port_file).read().strip())
                return self
            time.sleep(0.05)
        self.__exit__()
        raise AssertionError("the stand-in service did not start (see %s)" % self.log.name)

    def __exit__(self, *exc):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()

    def state(self):
        url = "http://127.0.0.1:%d/debug/state" % self.port
        with urllib.request.urlopen(url, timeout=10) as reply:
            return json.load(reply)

    def product_requests(self):
        return {path[len("/products/"):]: n for path, n in self.state()["counts"].items()
                if path.startswith("/products/")}

    def wait_visits(self, count, timeout=15):
        """The success page is fetched by xdg-open after the launcher has gone; give it time."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.state()["visits"] >= count:
                return
            time.sleep(0.1)
        raise AssertionError("the success page was visited %d times, expected %d"
                             % (self.state()["visits"], count))


def unused_port():
    """A loopback port with nothing listening on it: the dead service."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Scenario:
    """One scenario's world: a private home with its Downloads folder, a made-up machine, an
    xdg-open stand-in, and the launcher runs made in it (each stopped at the end, come what may)."""

    def __init__(self, suite, name, machine_args=(), home=None, root=None):
        self.suite, self.name = suite, name
        self.work = tempfile.mkdtemp(prefix=name + ".", dir=suite.work)
        self.out = os.path.join(suite.out, name)
        os.makedirs(self.out, exist_ok=True)
        self.home = home or os.path.join(self.work, "home")
        self.downloads = os.path.join(self.home, "Downloads")
        for sub in ("Downloads", ".config", ".runtime"):
            os.makedirs(os.path.join(self.home, sub), exist_ok=True)
        os.chmod(os.path.join(self.home, ".runtime"), 0o700)
        self.root = root or os.path.join(self.work, "machine")
        if root is None:
            os.makedirs(os.path.join(self.root, "opt"))
            if machine_args:
                subprocess.run([sys.executable,
                                os.path.join(SOURCE, "tools", "machine", "make-machine.py"),
                                self.root, *machine_args], check=True, stdout=subprocess.DEVNULL)
        self.bin = os.path.join(self.work, "bin")
        os.makedirs(self.bin)
        with open(os.path.join(self.bin, "xdg-open"), "w") as f:
            f.write(XDG_OPEN)
        os.chmod(os.path.join(self.bin, "xdg-open"), 0o755)
        self.runs = []

    def env(self):
        env = {k: v for k, v in os.environ.items() if k not in CLEARED_ENV}
        env.update(HOME=self.home, XDG_CONFIG_HOME=os.path.join(self.home, ".config"),
                   XDG_RUNTIME_DIR=os.path.join(self.home, ".runtime"),
                   TESSINSTALLER_ROOT=self.root, QT_QPA_PLATFORM="xcb",
                   PATH=self.bin + os.pathsep + os.environ.get("PATH", "/usr/bin:/bin"))
        return env

    def launch(self, port, password=PASSWORD):
        """Starts the launcher and waits for the sign-in page, fields filled from the options."""
        args = ["-manifestserver", "127.0.0.1:%d" % port, "-user", USER, "-pass", password]
        run = WizardRun(self.suite.program, args, self.env(), self.downloads, self.out,
                        time_limit=RUN_LIMIT)
        self.runs.append(run)
        run.start()
        run.find_window()
        run.wait_log("Sign in")
        return run

    def close(self):
        """Stops every run still alive (a failed scenario) and keeps the logs."""
        for n, run in enumerate(self.runs, 1):
            run.kill()
            if run.log_path and os.path.exists(run.log_path):
                shutil.copy(run.log_path, os.path.join(self.out, "run%d.log.txt" % n))


# -- driving the pages ----------------------------------------------------------------------
def press_until(run, key, message, tries=3, wait=10):
    """Presses key in the wizard until the log shows the line message (a page that has just
    appeared may not take the first press yet)."""
    for _ in range(tries):
        run.key(key, focus_main=True)
        try:
            run.wait_until(lambda text: has_line(text, message), repr(message), timeout=wait)
            return
        except DriveError:
            if run.proc.poll() is not None:
                raise
    raise DriveError("%s did not lead to %r" % (key, message))


def sign_in(run):
    # The first focus is the "Need a Forum User ID?" button; with both fields filled from the
    # options, Return acts as Next.
    press_until(run, "Return", "Selection")


def propose(run, offers):
    """Signs in and accepts the proposal after checking that it lists exactly offers."""
    sign_in(run)
    accept_proposal(run)
    check_proposed(run, offers)


def accept_proposal(run):
    run.wait_until(lambda text: "Chose" in text and "hidden" in text, "the proposal")
    run.screenshot("selection")
    # The list has the focus here, so Return would not reach Next; its mnemonic does ("&Next >").
    press_until(run, "alt+n", "Download")


def through_download_page(run, answers=None, limit=50):
    """Answers the boxes that come up (answers: box id -> keys) until the finished page shows.
    Returns [(box id, answer)] in order; an unexpected box fails the run."""
    answers = answers or {}
    seen = []

    def next_event(text):
        page = re.search(r"^tessinstaller Debug: Download$", text, re.M)
        text = text[page.end():]  # boxes of this page only; one may be up already
        opened = re.findall(r'Message box "([^"]*)" :', text)
        if len(opened) > len(seen):
            return opened[len(seen)]
        return "finished" if has_line(text, "Finished!") else None

    while True:
        event = run.wait_until(next_event, "the finished page or a message box", timeout=limit)
        if event == "finished":
            return seen
        if event not in answers:
            run.screenshot("unexpected-box", whole_screen=True)
            raise AssertionError("unexpected message box %r" % event)
        nth = sum(1 for box, _ in seen if box == event) + 1
        seen.append((event, answer_box(run, event, answers[event], nth)))


def answer_box(run, box_id, keys, nth=1):
    """Answers the nth opening of a box with keys, after a screenshot of it."""
    run.wait_log('Message box "%s" :' % box_id, count=nth)
    run.wait_box_focus()
    run.screenshot("box-%s-%d" % (box_id, nth), whole_screen=True, settle=0.1)
    return run.answer_box(box_id, *keys, nth=nth)


def finish_run(run, service, answers=None):
    """Through the download page (answering the boxes given), then Finish: exit code 0 and the
    success page visited. Returns the boxes answered, [(box id, answer)]."""
    boxes = through_download_page(run, answers)
    run.screenshot("finished")
    run.key("Return", focus_main=True)  # Finish is the only button
    status = run.wait_exit(20)
    check(status == 0, "exit code %s", status)
    service.wait_visits(1)
    return boxes


# -- checks ---------------------------------------------------------------------------------
def check(condition, message, *values):
    if not condition:
        raise AssertionError(message % values if values else message)


def check_proposed(run, offers):
    text = run.log_text()
    chose = re.search(r"^tessinstaller Debug: Chose (\d+) to download$", text, re.M)
    check(chose, "no \"Chose N to download\" line")
    check(int(chose.group(1)) == len(offers), "chose %s, expected %d: %s", chose.group(1),
          len(offers), [o["file"] for o in offers])
    rows = re.findall(r'Adding\s+"([^"]*)"\s+with label\s+"([^"]*)"', text)
    check(rows == [(o["name"], expected.label(o)) for o in offers],
          "rows listed %s, expected %s", rows, [o["name"] for o in offers])


def check_downloads(scenario, samples, complete, partial=()):
    """complete: offers whose file must be whole in Downloads; partial: offers whose download
    broke off (a shorter ".tessdownload" may stay, never a file under the final name)."""
    names = {f for f in os.listdir(scenario.downloads) if not f.startswith("tessinstaller.")}
    for offer in partial:
        part = offer["file"] + ".tessdownload"
        if part in names:
            size = os.path.getsize(os.path.join(scenario.downloads, part))
            check(size < samples.size(offer), "%s is %d bytes, not shorter", part, size)
            names.remove(part)
    wanted = {o["file"] for o in complete}
    check(names == wanted, "Downloads holds %s, expected %s", sorted(names), sorted(wanted))
    for offer in complete:
        size = os.path.getsize(os.path.join(scenario.downloads, offer["file"]))
        check(size == samples.size(offer), "%s: %d bytes downloaded, the package has %d",
              offer["file"], size, samples.size(offer))


def check_installed(scenario, samples, installed, absent=()):
    """installed: offers whose every payload file must be in place with the package's bytes;
    absent: offers of which nothing may be installed."""
    opt = os.path.join(scenario.root, "opt")
    for offer in installed:
        product = samples.described[offer["file"]]
        for relative, spec in product["payload"].items():
            install_path = product["folder"] + "/" + relative
            path = os.path.join(opt, install_path)
            check(os.path.isfile(path), "%s was not installed", install_path)
            with open(path, "rb") as f:
                check(f.read() == payload_bytes(install_path, spec, product),
                      "%s does not hold the package's bytes", install_path)
            if relative.endswith(".exe"):
                check(os.stat(path).st_mode & 0o111 == 0o111, "%s is not executable",
                      install_path)
    for offer in absent:
        folder = samples.described[offer["file"]]["folder"]
        check(not os.path.exists(os.path.join(opt, folder)), "%s was installed", folder)
    staging = [n for n in os.listdir(opt) if n.startswith(".")]
    check(not staging, "staging left in Program Files: %s", staging)


def check_no_password(run):
    check(PASSWORD not in run.log_text() and "wrong-" + PASSWORD not in run.log_text(),
          "the log holds a password")


def check_box(run, box_id, text, answer, informative=""):
    line = re.search(r'Message box "%s" : "([^"]*)" "([^"]*)"' % re.escape(box_id),
                     run.log_text())
    check(line, "the box %s was not logged", box_id)
    check(line.group(1) == text, "box %s said %r", box_id, line.group(1))
    check(informative in line.group(2), "box %s: %r lacks %r", box_id, line.group(2),
          informative)
    check(run.box_answers(box_id) == [answer], "box %s answered %s, expected [%r]", box_id,
          run.box_answers(box_id), answer)


# -- scenarios ------------------------------------------------------------------------------
# The first machine: Maya 2024 and 2025, Houdini 20.0, no Katana, and a Workserver 24.4 of
# an older build (2210417) than the newest 24.4 build on offer (2226589).
FIRST_MACHINE = ["--maya", "2024", "--maya", "2025", "--houdini", "20.0.547",
                 "--workserver", "24.4:2210417"]


def first_machine_model():
    machine = expected.Machine({"Maya": ["2024", "2025"], "Houdini": ["20.0"]})
    machine.install_folder("Orrel/TessalineWorkserver-24.4", "24.4", 2210417)
    return machine


def scenario_first_and_second_run(suite):
    samples = suite.samples
    model = first_machine_model()
    scenario = suite.scenario("first-run", FIRST_MACHINE)
    proposed, _ = expected.choose(samples.offers, model)
    # Worked out by hand from the sample list, to keep the model itself honest: the 25 group
    # (Workserver, the any-version and 2024 Maya bridges, Houdini 20.0; not Maya 2019 nor
    # Katana), the 24 group because a 24 Workserver is installed (its newer build, and the
    # any-version Maya bridge), and the queue manager whose default behaviour is "show".
    check(len(proposed) == 7, "the model proposes %s", [o["file"] for o in proposed])
    with Service(scenario.work, samples.dir) as service:
        try:
            run = scenario.launch(service.port)
            run.screenshot("signin")
            propose(run, proposed)
            boxes = finish_run(run, service)
            check(boxes == [], "boxes on a clean run: %s", boxes)
        finally:
            scenario.close()
        check_no_password(run)
        check_downloads(scenario, samples, proposed)
        hidden = [o for o in samples.offers if o not in proposed]
        kept = {samples.described[o["file"]]["folder"] for o in proposed} | {
            "Orrel/TessalineWorkserver-24.4"}
        check_installed(scenario, samples, proposed,
                        [o for o in hidden if samples.described[o["file"]]["folder"] not in kept])
        check(service.product_requests() == {o["file"]: 1 for o in proposed},
              "product requests %s", service.product_requests())

    # The second run on the same machine and home: the survey finds what the first installed.
    for offer in proposed:
        described = samples.described[offer["file"]]
        model.install_folder(described["folder"], expected.version(offer), offer["buildId"])
    again, decisions = expected.choose(samples.offers, model)
    # What the rules still call for: the Maya 2024 bridge, because its folder name carries a
    # Maya version above 2019, which the survey records as an any-version bridge, so nothing
    # installed answers to "Maya.*2024"; the Houdini bridge, which the survey does not look
    # for at all; and the queue manager, shown by its default behaviour. Both Workservers and
    # the any-version Maya bridges are now installed in exactly the offered builds.
    check([o["file"] for o in again] == [
        "TessalineForMaya-25.1-maya2024_2301450-win64.msi",
        "TessalineForHoudini-25.1-houdini20.0_2301450-win64.msi",
        "HarrowQueueManager-25.1_2301450-win64.msi"], "the model proposes %s",
        [o["file"] for o in again])
    second = suite.scenario("second-run", home=scenario.home, root=scenario.root)
    with Service(second.work, samples.dir) as service:
        try:
            run = second.launch(service.port)
            propose(run, again)
            text = run.log_text()
            found = found_records(text)
            wanted = {(r["ProductName"], r["Version"], r["BuildId"]) for r in model.installed}
            check(found == wanted, "the survey found %s, expected %s", sorted(found),
                  sorted(wanted))
            workservers = [f for f, d in decisions.items()
                           if d == expected.ALREADY and "Workserver" in f]
            bridges = [f for f, d in decisions.items()
                       if d == expected.ALREADY and "Workserver" not in f]
            check(text.count("is already installed") == len(workservers) == 2,
                  "Workservers already installed: log %d, expected %s",
                  text.count("is already installed"), workservers)
            check(text.count("Offer already installed") == len(bridges) == 2,
                  "bridges already installed: log %d, expected %s",
                  text.count("Offer already installed"), bridges)
            check(text.count("Found existing download") == len(again),
                  "files from the first run not reused")
            check(finish_run(run, service) == [], "boxes on the second run")
        finally:
            second.close()
        check_no_password(run)
        check(service.product_requests() == {},
              "downloaded again although complete on disk: %s", service.product_requests())
        check_installed(second, samples, again)


def scenario_download_fails_ignore(suite):
    """A download broken off mid-way, answered with Ignore: the queue goes on to the end."""
    samples = suite.samples
    proposed, _ = expected.choose(samples.offers, expected.Machine({}))
    broken = proposed[0]  # a bare machine: the newest Workserver and the queue manager
    scenario = suite.scenario("download-ignored")
    fault = "%s=reset:%d" % (broken["file"], samples.size(broken) // 2)
    with Service(scenario.work, samples.dir, [fault]) as service:
        try:
            run = scenario.launch(service.port)
            propose(run, proposed)
            # The box's buttons in focus order are Retry (the default), Ignore, Abort; there are
            # no mnemonics, so Tab moves to Ignore and Return presses the focused button.
            boxes = finish_run(run, service, {"downloadFailed": ["Tab", "Return"]})
            check(boxes == [("downloadFailed", "Ignore")], "boxes %s", boxes)
            check_box(run, "downloadFailed", "Product download failed", "Ignore",
                      "Press Abort to exit, Retry or Ignore to try the next product")
            check("Requesting retry" not in run.log_text(), "Ignore was taken as Retry")
        finally:
            scenario.close()
        rest = [o for o in proposed if o is not broken]
        check_downloads(scenario, samples, rest, partial=[broken])
        check_installed(scenario, samples, rest, absent=[broken])
        check(service.product_requests() == {o["file"]: 1 for o in proposed},
              "product requests %s", service.product_requests())


def scenario_manifest_refused(suite, name, password=PASSWORD, dead=False):
    """No product list (a wrong password, nothing listening): the box, then exit code 1."""
    scenario = suite.scenario(name)
    with Service(scenario.work, suite.samples.dir) as service:
        port = unused_port() if dead else service.port
        try:
            run = scenario.launch(port, password=password)
            sign_in(run)
            check(answer_box(run, "manifestFailed", ["Return"]) == "Ok", "the box was not Ok")
            status = run.wait_exit(20)
            check(status == 1, "exit code %s", status)
        finally:
            scenario.close()
        check_box(run, "manifestFailed", "Could not get a product list from Orrel", "Ok",
                  "Unknown manifest Validation" if dead else "Invalid forum user ID or password")
        check_no_password(run)
        check(not any(f.endswith(".msi") for f in os.listdir(scenario.downloads)),
              "something was downloaded")
        check(service.state()["counts"].get("/forum/currentproducts.php", 0) == (0 if dead else 1),
              "manifest requests %s", service.state()["counts"])


def scenario_corrupt_package(suite):
    """A package of random bytes: the installer's error box, the queue goes on, exit code 0,
    nothing of that product installed."""
    samples = suite.samples
    proposed, _ = expected.choose(samples.offers, expected.Machine({}))
    bad = proposed[0]
    scenario = suite.scenario("corrupt-package")
    products = os.path.join(scenario.work, "products")
    shutil.copytree(samples.dir, products)
    with open(os.path.join(products, bad["file"]), "wb") as f:
        f.write(os.urandom(samples.size(bad)))  # same size: products.json stays right
    with Service(scenario.work, products) as service:
        try:
            run = scenario.launch(service.port)
            propose(run, proposed)
            boxes = finish_run(run, service, {"Error": ["Return"]})
            check(boxes == [("Error", "Ok")], "boxes %s", boxes)
            check(re.search(r'Message box "Error" : "This installation package could not be '
                            r'opened', run.log_text()), "the box did not say what went wrong")
        finally:
            scenario.close()
        check_downloads(scenario, samples, proposed)
        check_installed(scenario, samples, [o for o in proposed if o is not bad], absent=[bad])


SCENARIOS = {
    "first-and-second-run": scenario_first_and_second_run,
    "download-ignored": scenario_download_fails_ignore,
    "wrong-password": lambda suite: scenario_manifest_refused(
        suite, "wrong-password", password="wrong-" + PASSWORD),
    "dead-service": lambda suite: scenario_manifest_refused(suite, "dead-service", dead=True),
    "corrupt-package": scenario_corrupt_package,
}


class Suite:
    def __init__(self, build_dir, out):
        self.program = os.path.join(build_dir, "bin", "tessinstaller")
        self.out = out
        self.work = tempfile.mkdtemp(prefix="tess-e2e.")
        self.samples = None

    def scenario(self, name, machine_args=(), **kw):
        return Scenario(self, name, machine_args, **kw)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--out", default=None)
    parser.add_argument("--only", action="append", choices=sorted(SCENARIOS))
    opts = parser.parse_args()
    if not os.environ.get("DISPLAY"):
        print("e2e: no X display (run under xvfb-run)")
        return 1
    # A termination from outside (a CTest timeout) still runs every cleanup below.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("e2e: terminated"))
    out = opts.out or os.path.join(opts.build_dir, "tests", "e2e-out")
    shutil.rmtree(out, ignore_errors=True)
    suite = Suite(opts.build_dir, out)
    failed = []
    started = time.monotonic()
    try:
        suite.samples = Samples(suite.work)
        for name in opts.only or SCENARIOS:
            began = time.monotonic()
            if began - started > SUITE_LIMIT - 2 * RUN_LIMIT:
                failed.append(name)
                print("FAIL %-22s not run: no time left" % name, flush=True)
                continue
            try:
                SCENARIOS[name](suite)
                print("PASS %-22s %5.1f s" % (name, time.monotonic() - began), flush=True)
            except (AssertionError, DriveError, subprocess.SubprocessError, OSError) as e:
                failed.append(name)
                print("FAIL %-22s %5.1f s: %s" % (name, time.monotonic() - began, e), flush=True)
                traceback.print_exc()
    finally:
        shutil.rmtree(suite.work, ignore_errors=True)
    print("e2e: %d scenarios, %d failed, %.1f s; screenshots and logs in %s"
          % (len(opts.only or SCENARIOS), len(failed), time.monotonic() - started, out))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
