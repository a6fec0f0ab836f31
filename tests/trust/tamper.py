#!/usr/bin/env python3
"""The tamper table: real runs of the keyed launcher (build/keyed: the demo maker key compiled
in) against the stand-in service, which signs its lists with the key's private half. Each row
does one thing to the list, its signature, a package or the remembered versions, and asserts the
exit code and the line an administrator reads: the last line of a run without questions, or the
box of a wizard run (under a private Xvfb). tamper.py --build-dir BUILD [--out DIR] [--only ROW]"""

import argparse, glob, hashlib, json, os, shutil, ssl, subprocess, sys  # noqa: E401
import tempfile, time, traceback  # noqa: E401

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE, "tools", "demo"))
from wizard import DriveError, WizardRun, Xvfb  # noqa: E402

WS25 = "TessalineWorkserver-25.1_2301450-win64.msi"
HARROW = "HarrowQueueManager-25.1_2301450-win64.msi"
NOT_SIGNED = "The product list is not signed by the maker"
UNSIGNED = "Stopped: %s (exit code 10, ProductListRefused)" % NOT_SIGNED
OLDER = "The product list is older than one already seen"
CHANGED = "%s changed after its download: its SHA-256 is "
LIST = ["-list"]
V11 = "11 8037"  # a remembered version as the program writes it, with its CRC-16/X.25
# row: (through the wizard, what is done, arguments, exit code, what the run says, a log line)
ROWS = {
    "good list, no version remembered yet": (False, {}, ["-deselect", "Tessaline"], 0,
                                             "Installed 1 product", "Remembering product list"),
    "one byte changed in the body": (True, {"fault": "sig-flip"}, [], 1, "Could not get a product "
                                     "list from Orrel / " + NOT_SIGNED, "bad signature"),
    "signed by another key": (False, {"fault": "sig-otherkey"}, LIST, 10, UNSIGNED, 0),
    "signature not base64": (False, {"fault": "sig-notbase64"}, LIST, 10, UNSIGNED, "base64"),
    "signature not DER": (False, {"fault": "sig-notder"}, LIST, 10, UNSIGNED, "not DER"),
    "signature missing, the certificate trusted by -trustcert": (  # the transport only
        False, {"fault": "sig-missing", "tls": 1}, ["-trustcert", "PIN"] + LIST, 10, UNSIGNED,
        "signature missing"),
    "a lower version": (False, {"seen": [V11]}, LIST, 10, OLDER, "10 is older than version 11"),
    "expired": (False, {"expires": "2020-01-01T00:00:00Z"}, LIST, 10,
                "Stopped: The product list expired on 2020-01-01 00:00 UTC (exit code 10", 0),
    "an appended unsigned file": (False, {"file": ""}, ["-appendmanifest", "FILE"] + LIST, 10,
                                  UNSIGNED, "list from FILE: signature missing"),
    "a signed manifest file, one offer without SHA256": (
        False, {"file": "signed", "nodigest": "Bare Tool"}, ["-manifest", "FILE"] + LIST, 0,
        "[x] Extra Tool 25.1", "Not offering Bare Tool 25.1: the product list gives no SHA256"),
    "a package changed after its download": (
        False, {"change": HARROW}, [], 9, "Stopped: Not installing Harrow Queue Manager 25.1: "
        + CHANGED % HARROW, 0),
    "a package changed after its download, wizard": (
        True, {"change": WS25}, [], 0, "Not installing Tessaline Workserver 25.1 / " + CHANGED
        % WS25, "Download completed while in the back dialog"),
    "remembered versions unreadable": (False, {"seen": "a folder"}, LIST, 0, "Listed the proposal",
                                       "Cannot read the remembered product list versions"),
    "remembered versions damaged": (  # a line with a wrong check counts for nothing
        False, {"seen": ["9 5c3a", "12 0000", V11]}, LIST, 10, OLDER,
        "damaged (1 unreadable lines); keeping the highest readable: 11"),
}


def check(condition, message, *values):
    if not condition:
        raise AssertionError(message % values if values else message)


class World:
    """A home, a bare machine and the stand-in service signing with the demo key, for one row."""

    def __init__(self, work, out, products, what):
        self.work, self.out, self.key = work, out, BUILD + "/keyed/demo-maker-key.pem"
        self.home, self.root, self.file = work + "/home", work + "/m", work + "/extra.xml"
        for folder in (self.home + "/Downloads", self.home + "/.run", self.root + "/opt", out):
            os.makedirs(folder, mode=0o700, exist_ok=True)
        subprocess.run([sys.executable, SOURCE + "/tools/machine/make-machine.py", self.root],
                       check=True, stdout=subprocess.DEVNULL)
        extra = ["--manifest-fault", what["fault"]] if "fault" in what else []
        extra += ["--fault", WS25 + "=slow:20000"] if "change" in what else []  # about 5 s
        self.scheme, self.pin = ("https", None) if "tls" in what else ("http", None)
        if "tls" in what:  # a certificate of its own, acceptable only through -trustcert
            tls = ["--tls-cert", work + "/tls.crt", "--tls-key", work + "/tls.key"]
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj",
                            "/CN=127.0.0.1", "-keyout", tls[3], "-out", tls[1]], check=True,
                           capture_output=True)
            self.pin = hashlib.sha256(ssl.PEM_cert_to_DER_cert(open(tls[1]).read())).hexdigest()
            extra += tls
        port = work + "/port"
        self.service = subprocess.Popen(
            [sys.executable, SOURCE + "/tools/standin/serve.py", "--products", products,
             "--users", USERS, "--port", "0", "--port-file", port, "--time-limit", "300",
             "--sign-key", self.key, "--manifest-version", "10", "--manifest-expires",
             what.get("expires", "2099-01-01T00:00:00Z"), *extra],
            stdout=subprocess.DEVNULL, stderr=open(out + "/service.log", "w"))
        while not (os.path.exists(port) and os.path.getsize(port)):
            check(self.service.poll() is None, "the stand-in service did not start")
            time.sleep(0.05)
        self.port = int(open(port).read())
        seen, versions = what.get("seen"), self.home + "/tessinstaller.versions"
        if seen == "a folder":
            os.makedirs(versions)
        elif seen:
            open(versions, "w").write("".join(line + "\n" for line in seen))
        if "file" in what:
            self.write_list(what["file"] == "signed")
        if what.get("change") == HARROW:  # complete from an earlier run: used without a download
            shutil.copy(products + "/" + HARROW, self.home + "/Downloads")

    def write_list(self, signed):
        """Two offers, the second without a digest."""
        offer = ("<ProductInfo><Name>%s-25.1.msi</Name><SimpleName>%s 25.1</SimpleName><BuildID>1"
                 "</BuildID><VersionMajor>25</VersionMajor><DefaultBehavior>show</DefaultBehavior>"
                 "<DownloadURL>http://127.0.0.1:%d/products/%s</DownloadURL><FileSize>1</FileSize>"
                 "%s</ProductInfo>\n")
        with open(self.file, "w") as f:
            f.write("<Manifest>\n%s%s<ManifestVersion>10</ManifestVersion>\n<ManifestExpires>2099"
                    "-01-01T00:00:00Z</ManifestExpires>\n</Manifest>\n"
                    % (offer % ("Extra Tool", "Extra Tool", self.port, HARROW,
                                "<SHA256>%s</SHA256>" % ("0" * 64)),
                       offer % ("Bare Tool", "Bare Tool", self.port, HARROW, "")))
        if signed:
            subprocess.run([SOURCE + "/tools/sign-manifest", self.key, self.file], check=True,
                           stdout=subprocess.DEVNULL)

    def launch(self, wizard, arguments):
        env = {k: v for k, v in os.environ.items() if k not in (
            "DISPLAY", "QT_QPA_PLATFORM", "TESSTREE", "TASTREE", "DLR_MANIFEST_FILE",
            "DLR_APPEND_MANIFEST_FILE", "TESSINSTALLER_DEBUG_LOG")}
        env.update(HOME=self.home, XDG_CONFIG_HOME=self.home + "/.config", TMPDIR=self.work,
                   XDG_RUNTIME_DIR=self.home + "/.run", TESSINSTALLER_ROOT=self.root)
        if wizard:
            env.update(DISPLAY=os.environ["DISPLAY"], QT_QPA_PLATFORM="xcb")
        args = ["-manifestserver", "127.0.0.1:%d" % self.port, "-manifestserverscheme",
                self.scheme, "-user", "demo", "-pass", "demo-pw", *arguments]
        program = BUILD + "/keyed/bin/tessinstaller"
        if wizard:
            return WizardRun(program, args, env, self.home + "/Downloads", self.out, 90).start()
        return subprocess.Popen([program, "-unattended", *args], env=env, text=True,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def log(self):
        logs = sorted(glob.glob(self.home + "/Downloads/tessinstaller.*.txt"))
        check(logs, "no log file")
        shutil.copy(logs[-1], self.out + "/run.log.txt")
        return open(logs[-1], encoding="latin-1").read()

    def change(self, name):  # a package in Downloads, still one the installer would install
        with open(self.home + "/Downloads/" + name, "ab") as f:
            f.write(b"\0" * 512)


def run_unattended(world, arguments, what):
    proc = world.launch(False, arguments)
    if "change" in what:  # while the Workserver downloads, the package that waits changes
        for line in iter(proc.stdout.readline, ""):
            if "Downloading Tessaline Workserver 25.1" in line:
                break
        world.change(what["change"])
    out, err = proc.communicate(timeout=90)
    check(err == "", "standard error: %s", err)
    return proc.returncode, out


def run_wizard(world, what):
    run, box = world.launch(True, []), "packageRefused" if "change" in what else "manifestFailed"
    try:
        run.find_window()
        run.wait_line("Sign in")
        run.press_until("Return", "Selection")
        if "change" in what:
            run.wait_proposal()
            run.press_until("alt+n", "Download")
            run.wait_log('downloading  "Tessaline Workserver 25.1"')
            run.key("alt+b", focus_main=True)  # Back while it downloads: its end waits
            run.wait_line("Download completed while in the back dialog")
            world.change(what["change"])
            run.answer_box("backDuringDownload", "Escape")  # Cancel: on to the install
        run.wait_log('Message box "%s" :' % box)
        run.wait_box_focus()
        run.screenshot(box, whole_screen=True)
        run.answer_box(box, "Return")
        if "change" in what:
            run.wait_line("Finished!")
            run.key("Return", focus_main=True)
        return run.wait_exit(20), run.box_text(box)
    finally:
        run.kill()


def run_row(work, out, products, name):
    wizard, what, arguments, code, text, logged = ROWS[name]
    world = World(work, out, products, what)
    try:
        arguments = [{"FILE": world.file, "PIN": world.pin}.get(a, a) for a in arguments]
        got, said = run_wizard(world, what) if wizard else run_unattended(world, arguments, what)
        log = world.log()
        check(got == code, "exit code %s, not %s: %s", got, code, said[-400:])
        check(text in said, "the run said: %s", said)
        check(not logged or logged.replace("FILE", world.file) in log, "no line %r", logged)
        check(what.get("nodigest", "\0") not in said, "offered without a digest: %s", said)
        if "change" in what:  # the package refused was not installed, the other one was
            check(os.path.isdir(world.root + "/opt/Orrel/TessalineWorkserver-25.1")
                  == (what["change"] == HARROW), "the Workserver's install")
    finally:
        world.service.terminate()
        world.service.wait(timeout=10)


def main():
    global BUILD, USERS
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--out", default="tamper-out")
    parser.add_argument("--only", action="append", choices=sorted(ROWS))
    opts = parser.parse_args()
    BUILD, out = os.path.abspath(opts.build_dir), os.path.abspath(opts.out)
    work, names, failed = tempfile.mkdtemp(prefix="tess-tamper."), opts.only or list(ROWS), []
    USERS, products = work + "/users.json", work + "/products"
    shutil.rmtree(out, ignore_errors=True)
    json.dump({"users": {"demo": "demo-pw"}}, open(USERS, "w"))
    try:
        subprocess.run([SOURCE + "/tools/products/build-samples.sh", products], check=True,
                       stdout=subprocess.DEVNULL)
        with Xvfb():
            for n, name in enumerate(names):
                began, result = time.monotonic(), "PASS"
                try:
                    run_row("%s/%d" % (work, n), out + "/" + name.replace(" ", "-"), products,
                            name)
                except (AssertionError, DriveError, subprocess.SubprocessError, OSError):
                    failed.append(name)
                    result = "FAIL"
                    traceback.print_exc()
                print("%s %-58s %5.1f s" % (result, name, time.monotonic() - began), flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("tamper: %d rows, %d failed; logs in %s" % (len(names), len(failed), out))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
