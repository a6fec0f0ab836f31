#!/usr/bin/env python3
"""The tamper table: real runs of the keyed launcher (build/keyed: the demo maker key compiled
in) against the stand-in service, which signs its lists with the key's private half. Each row
does one thing to the list, its signature, a package or the remembered versions, and asserts the
exit code and the line an administrator reads: the last line of a run without questions, the box
of a wizard run (under a private Xvfb). tamper.py --build-dir BUILD [--out DIR] [--only NAME]"""

import argparse, json, os, shutil, subprocess, sys, tempfile, time, traceback  # noqa: E401

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE, "tools", "demo"))
from wizard import DriveError, WizardRun, Xvfb  # noqa: E402

WS25, HARROW = "TessalineWorkserver-25.1_2301450-win64.msi", "HarrowQueueManager-25.1_2301450-win64.msi"
NOT_SIGNED = "Stopped: The product list is not signed by the maker (exit code 10, ProductListRefused)"
LIST, VERSION = ["-list"], "10"
SLOW = "slow:20000"  # bytes a second: the sample Workserver takes about five seconds
# name: (wizard?, what is done, arguments, exit code, the line read, a log line that must be there)
ROWS = {
    "good list, no version remembered yet": (
        False, {}, ["-deselect", "Tessaline"], 0, "Installed 1 product",
        "Remembering product list version 10 in"),
    "one byte changed in the body": (
        True, {"fault": "sig-flip"}, [], 1,
        "Could not get a product list from Orrel / The product list is not signed by the maker",
        "signature bad signature"),
    "signed by another key": (False, {"fault": "sig-otherkey"}, LIST, 10, NOT_SIGNED, None),
    "signature missing": (False, {"fault": "sig-missing"}, LIST, 10, NOT_SIGNED, "signature missing"),
    "signature not base64": (False, {"fault": "sig-notbase64"}, LIST, 10, NOT_SIGNED, "not base64"),
    "signature not DER": (False, {"fault": "sig-notder"}, LIST, 10, NOT_SIGNED, "not DER"),
    "signature missing, the certificate trusted by -trustcert": (  # relaxes the transport only
        False, {"fault": "sig-missing", "tls": True}, ["-trustcert", "FINGERPRINT"] + LIST, 10,
        NOT_SIGNED, "signature missing"),
    "a lower version": (
        False, {"seen": ["11"]}, LIST, 10, "The product list is older than one already seen",
        "its version 10 is older than version 11"),
    "expired": (
        False, {"expires": "2020-01-01T00:00:00Z"}, LIST, 10,
        "Stopped: The product list expired on 2020-01-01 00:00 UTC (exit code 10", None),
    "an appended unsigned file": (
        False, {"file": "unsigned"}, ["-appendmanifest", "FILE"] + LIST, 10, NOT_SIGNED,
        "Refusing the product list from FILE: signature missing"),
    "a signed manifest file": (
        False, {"file": "signed"}, ["-manifest", "FILE"] + LIST, 0, "[x] Extra Tool 25.1",
        "The product list from FILE is signed by the maker"),
    "an offer without SHA256": (
        False, {"nodigest": HARROW}, LIST, 0, "Listed the proposal",
        "Not offering Harrow Queue Manager 25.1: the product list gives no SHA256 for it"),
    "a package changed after its download": (
        False, {"change": HARROW}, [], 9,
        "Stopped: Not installing Harrow Queue Manager 25.1: %s changed after its download" % HARROW,
        None),
    "a package changed after its download, wizard": (
        True, {"change": WS25}, [], 0, "Not installing Tessaline Workserver 25.1 / %s changed "
        "after its download: its SHA-256 is " % WS25, "Download completed while in the back dialog"),
    "remembered versions unreadable": (
        False, {"seen": "a folder"}, LIST, 0, "Listed the proposal",
        "Cannot read the remembered product list versions"),
    "remembered versions damaged": (
        False, {"seen": ["9", "12 0000", "11"]}, LIST, 10, "older than one already seen",
        "damaged (1 unreadable lines); keeping the highest readable: 11"),
}


def check(condition, message, *values):
    if not condition:
        raise AssertionError(message % values if values else message)


def versions_line(number):
    """A line of the remembered versions: the number and its CRC-16/X.25, as the program writes."""
    crc = 0xFFFF
    for byte in number.encode():
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    return "%s %04x" % (number, crc ^ 0xFFFF)


class World:
    """A home, a bare machine and a stand-in service signing with the demo key, for one row."""

    def __init__(self, suite, name, what):
        self.work = tempfile.mkdtemp(prefix="row.", dir=suite.work)
        self.home, self.root, self.out = self.work + "/home", self.work + "/m", suite.out + "/" + name
        for folder in (self.home + "/Downloads", self.home + "/.run", self.root + "/opt", self.out):
            os.makedirs(folder, mode=0o700, exist_ok=True)
        subprocess.run([sys.executable, SOURCE + "/tools/machine/make-machine.py", self.root],
                       check=True, stdout=subprocess.DEVNULL)
        products = suite.products
        if "nodigest" in what:  # the same packages, one announced without a digest
            products = self.work + "/products"
            shutil.copytree(suite.products, products, symlinks=True)
            listed = json.load(open(products + "/products.json"))
            for offer in listed["products"]:
                offer.update({"sha256": ""} if offer["file"] == what["nodigest"] else {})
            json.dump(listed, open(products + "/products.json", "w"))
        port_file, self.key = self.work + "/port", suite.build + "/keyed/demo-maker-key.pem"
        faults = ["--manifest-fault", what["fault"]] if "fault" in what else []
        faults += ["--fault", WS25 + "=" + SLOW] if "change" in what else []
        self.scheme, self.fingerprint = "http", None
        if what.get("tls"):  # a certificate of its own, which only -trustcert makes acceptable
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                            "-subj", "/CN=127.0.0.1", "-keyout", self.work + "/tls.key", "-out",
                            self.work + "/tls.crt"], check=True, capture_output=True)
            self.fingerprint = subprocess.run(
                ["openssl", "x509", "-in", self.work + "/tls.crt", "-noout", "-fingerprint",
                 "-sha256"], check=True, capture_output=True, text=True).stdout.split("=")[1].strip()
            self.scheme, faults = "https", faults + ["--tls-cert", self.work + "/tls.crt",
                                                     "--tls-key", self.work + "/tls.key"]
        self.service = subprocess.Popen(
            [sys.executable, SOURCE + "/tools/standin/serve.py", "--products", products, "--users",
             suite.users, "--port", "0", "--port-file", port_file, "--time-limit", "300",
             "--sign-key", self.key, "--manifest-version", VERSION,
             "--manifest-expires", what.get("expires", "2099-01-01T00:00:00Z")] + faults,
            stdout=subprocess.DEVNULL, stderr=open(self.out + "/service.log", "w"))
        while not (os.path.exists(port_file) and os.path.getsize(port_file)):
            check(self.service.poll() is None, "the stand-in service did not start")
            time.sleep(0.05)
        self.port = int(open(port_file).read())
        seen = what.get("seen")
        if seen == "a folder":
            os.makedirs(self.home + "/tessinstaller.versions")
        elif seen:
            with open(self.home + "/tessinstaller.versions", "w") as f:
                f.writelines((line if " " in line else versions_line(line)) + "\n" for line in seen)
        self.file = self.work + "/extra.xml"
        if "file" in what:
            self.write_list(what["file"] == "signed")
        if what.get("change") == HARROW:  # complete from an earlier run, reused without a download
            shutil.copy(suite.products + "/" + HARROW, self.home + "/Downloads")

    def write_list(self, signed):
        offer = {"Name": "ExtraTool-25.1.msi", "SimpleName": "Extra Tool 25.1", "BuildID": "2301450",
                 "VersionMajor": "25", "VersionMinor": "1", "DefaultBehavior": "show",
                 "DownloadURL": "http://127.0.0.1:%d/products/%s" % (self.port, HARROW),
                 "FileSize": "1", "SHA256": "0" * 64}
        with open(self.file, "w") as f:
            f.write("<Manifest>\n  <ProductInfo>%s</ProductInfo>\n  <ManifestVersion>%s"
                    "</ManifestVersion>\n  <ManifestExpires>2099-01-01T00:00:00Z</ManifestExpires>"
                    "\n</Manifest>\n" % ("".join("<%s>%s</%s>" % (k, v, k) for k, v in offer.items()),
                                         VERSION))
        if signed:
            subprocess.run([SOURCE + "/tools/sign-manifest", self.key, self.file], check=True,
                           stdout=subprocess.DEVNULL)

    def env(self, wizard):
        env = {k: v for k, v in os.environ.items() if k not in (
            "DISPLAY", "QT_QPA_PLATFORM", "TESSTREE", "TASTREE", "DLR_MANIFEST_FILE",
            "DLR_APPEND_MANIFEST_FILE", "TESSINSTALLER_DEBUG_LOG")}
        env.update(HOME=self.home, XDG_CONFIG_HOME=self.home + "/.config", TMPDIR=self.work,
                   XDG_RUNTIME_DIR=self.home + "/.run", TESSINSTALLER_ROOT=self.root)
        if wizard:
            env.update(DISPLAY=os.environ["DISPLAY"], QT_QPA_PLATFORM="xcb")
        return env

    def close(self):
        self.service.terminate()
        self.service.wait(timeout=10)

    def log(self):
        logs = sorted(f for f in os.listdir(self.home + "/Downloads") if f.startswith("tessinstaller."))
        check(logs, "no log file")
        shutil.copy(self.home + "/Downloads/" + logs[-1], self.out + "/run.log.txt")
        return open(self.home + "/Downloads/" + logs[-1], encoding="latin-1").read()

    def change(self, name):
        """Changes a package in Downloads, keeping it a package the installer would install."""
        with open(self.home + "/Downloads/" + name, "ab") as f:
            f.write(b"\0" * 512)

    def installed(self):
        return os.path.isdir(self.root + "/opt/Orrel/TessalineWorkserver-25.1")


def run_unattended(world, program, arguments, what):
    proc = subprocess.Popen([program, "-unattended", "-manifestserver", "127.0.0.1:%d" % world.port,
                             "-manifestserverscheme", world.scheme, "-user", "demo", "-pass", "demo-pw",
                             *arguments], env=world.env(False), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    if "change" in what:  # while the Workserver downloads, the package that waits changes
        line = proc.stdout.readline()
        while line and "Downloading Tessaline Workserver 25.1" not in line:
            line = proc.stdout.readline()
        world.change(what["change"])
    out, err = proc.communicate(timeout=90)
    check(err == "", "standard error: %s", err)
    return proc.returncode, out


def answer_with_picture(run, box):
    run.wait_log('Message box "%s" :' % box)
    run.wait_box_focus()
    run.screenshot(box, whole_screen=True)
    run.answer_box(box, "Return")


def run_wizard(world, program, what):
    run = WizardRun(program, ["-manifestserver", "127.0.0.1:%d" % world.port, "-manifestserverscheme",
                              "http", "-user", "demo", "-pass", "demo-pw"], world.env(True),
                    world.home + "/Downloads", world.out, 90)
    try:
        run.start()
        run.find_window()
        run.wait_line("Sign in")
        run.press_until("Return", "Selection")
        if "change" not in what:
            answer_with_picture(run, "manifestFailed")
            return run.wait_exit(20), run.box_text("manifestFailed")
        run.wait_proposal()
        run.press_until("alt+n", "Download")
        run.wait_log("downloading  \"Tessaline Workserver 25.1\"")
        run.key("alt+b", focus_main=True)  # Back while it downloads: its end waits for the answer
        run.wait_log('Message box "backDuringDownload" :')
        run.wait_line("Download completed while in the back dialog")
        world.change(what["change"])
        run.answer_box("backDuringDownload", "Escape")  # Cancel: on with the install
        answer_with_picture(run, "packageRefused")
        run.wait_line("Finished!")
        run.key("Return", focus_main=True)
        return run.wait_exit(20), run.box_text("packageRefused")
    finally:
        run.kill()


def run_row(suite, name):
    wizard, what, arguments, code, text, logged = ROWS[name]
    world = World(suite, name.replace(" ", "-").replace(",", ""), what)
    try:
        arguments = [{"FILE": world.file, "FINGERPRINT": world.fingerprint}.get(a, a)
                     for a in arguments]
        program = suite.build + "/keyed/bin/tessinstaller"
        got, said = (run_wizard(world, program, what) if wizard
                     else run_unattended(world, program, arguments, what))
        log = world.log()
        check(got == code, "exit code %s, not %s: %s", got, code, said[-400:])
        check(text in said, "the run said: %s", said)
        check(logged is None or logged.replace("FILE", world.file) in log, "no log line %r", logged)
        check(what.get("nodigest", "none") not in said, "offered without a digest: %s", said)
        if "change" in what:  # the package refused was not installed, the other one was
            check(world.installed() == (what["change"] == HARROW), "the Workserver installed")
    finally:
        world.close()


class Suite:
    def __init__(self, build, out):
        self.build, self.out = os.path.abspath(build), out
        self.work = tempfile.mkdtemp(prefix="tess-tamper.")
        self.products, self.users = self.work + "/products", self.work + "/users.json"
        subprocess.run([SOURCE + "/tools/products/build-samples.sh", self.products], check=True,
                       stdout=subprocess.DEVNULL)
        json.dump({"users": {"demo": "demo-pw"}}, open(self.users, "w"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--out", default="tamper-out")
    parser.add_argument("--only", action="append", choices=sorted(ROWS))
    opts = parser.parse_args()
    out = os.path.abspath(opts.out)
    shutil.rmtree(out, ignore_errors=True)
    names, failed, started = opts.only or list(ROWS), [], time.monotonic()
    with Xvfb():
        suite = Suite(opts.build_dir, out)
        try:
            for name in names:
                began = time.monotonic()
                try:
                    run_row(suite, name)
                    print("PASS %-46s %5.1f s" % (name, time.monotonic() - began), flush=True)
                except (AssertionError, DriveError, subprocess.SubprocessError, OSError) as e:
                    failed.append(name)
                    print("FAIL %-46s %5.1f s: %s" % (name, time.monotonic() - began, e), flush=True)
                    traceback.print_exc()
        finally:
            shutil.rmtree(suite.work, ignore_errors=True)
    print("tamper: %d rows, %d failed, %.1f s; logs in %s"
          % (len(names), len(failed), time.monotonic() - started, out))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
