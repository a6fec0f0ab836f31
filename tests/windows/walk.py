#!/usr/bin/env python3
"""The Windows launcher under Wine in a private Xvfb, driven like the Linux end-to-end run:
walk.py --build-dir BUILD_WIN [--out DIR]. A fresh Wine prefix with Maya 2024 and Houdini 20.0
in its registry; the sample products built as Windows programs, the queue manager's package
replaced by random bytes. The first run installs the rest through Wine's Windows Installer; the
second, over https with a self-signed certificate, finds them (tsren.exe -version, build ids)."""

import argparse, glob, os, re, shutil, signal, subprocess, sys, time  # noqa: E401

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path[:0] = [os.path.join(SOURCE, "tests", "e2e")]
from e2e import (HARROW, PASSWORD, TFH25, TFM25, TFM25_2024, TOOLS, USER, WS25,  # noqa: E402
                 Service, Suite, check, check_payload, finish_run, propose, survey, xdg_open)
from wizard import DriveError, WizardRun, Xvfb  # noqa: E402

WINE_RUN = os.path.join(TOOLS, "windows", "wine-run")
RUN_LIMIT = 150  # Wine starts slowly on a busy machine
FIRST = [WS25, TFM25, TFM25_2024, TFH25, HARROW]
# The survey recognises the Workserver (tsren.exe -version) and the any-version bridge (its
# build-id file); it records the Maya 2024 bridge as any-version and knows no Houdini bridge
# nor the queue manager, so those three come again.
SECOND = [TFM25_2024, TFH25, HARROW]
SECOND_SURVEY = {("Tessaline Workserver 25.1", "25.1", "2301450", "TessalineWorkserver-25.1"),
                 ("Tessaline for Maya 25.1", "25.1", "2301450", "TessalineForMaya-25.1"),
                 ("Tessaline for Maya 25.1", "25.1", "2301450", "TessalineForMaya-25.1-maya2024")}
HOSTS = {("Maya", "2024"), ("Houdini", "20.0")}


class Machine:
    """A Wine prefix, the stand-in service (http or https) and the runs made on it."""

    def __init__(self, work, out, exe):
        # runs: those against the running service (it counts their visits); earlier: the rest
        self.work, self.out, self.exe, self.runs, self.earlier = work, out, exe, [], []
        self.home, self.bin = work + "/home", work + "/bin"
        for folder in (self.home, self.bin, out):
            os.makedirs(folder, exist_ok=True)
        xdg_open(self.bin)
        self.env = {k: v for k, v in os.environ.items() if k not in ("QT_QPA_PLATFORM",)}
        self.env.update(HOME=self.home, TESS_WINEPREFIX=work + "/prefix",
                        WINEPREFIX=work + "/prefix", WINEDEBUG="-all",
                        PATH=self.bin + os.pathsep + os.environ["PATH"])
        self.wine("cmd", "/c", "exit")  # makes the prefix
        for key in (r"HKLM\SOFTWARE\Autodesk\Maya\2024",
                    r"HKLM\SOFTWARE\Side Effects Software\Houdini 20.0.547"):
            self.wine("reg", "add", key, "/f")
        users = glob.glob(work + "/prefix/drive_c/users/*/Downloads")
        check(len(users) == 1, "Downloads folders %s", users)
        self.downloads = users[0]
        self.program_files = work + "/prefix/drive_c/Program Files"
        self.service = None

    def wine(self, *args):
        subprocess.run([WINE_RUN, *args], env=self.env, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=120)

    def serve(self, products, tls=None):
        """A new service; the runs so far go to earlier (the new one counts visits afresh)."""
        self.stop_service()
        self.earlier, self.runs = self.earlier + self.runs, []
        self.service = Service(self.work, products, self.out + "/service.log", tls)
        self.port, self.scheme, self.state = self.service.port, self.service.scheme, \
            self.service.state

    def launch(self):
        args = [self.exe, "-manifestserver", "127.0.0.1:%d" % self.port, "-user", USER,
                "-pass", PASSWORD]
        if self.scheme == "https":
            args += ["-manifestserverscheme", "https"]
        env = dict(self.env, QT_QPA_PLATFORM="windows")
        run = WizardRun(WINE_RUN, args, env, self.downloads, self.out, RUN_LIMIT)
        self.runs.append(run)
        run.start()
        run.find_window(timeout=60)
        run.wait_line("Sign in")  # Return may come before Wine maps it: press_until
        return run

    def stop_service(self):
        if self.service:
            self.service.close()

    def close(self):
        self.stop_service()
        runs = self.earlier + self.runs
        for run in runs:
            run.kill()
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
        for n, run in enumerate(runs, 1):
            if run.log_path and os.path.exists(run.log_path):
                shutil.copy(run.log_path, os.path.join(self.out, "run%d.log.txt" % n))
                check(PASSWORD not in run.log_text(), "the log holds a password")


def check_installed(machine, described, installed, absent):
    """Every file of the installed products holds the package's bytes; nothing of absent."""
    check_payload(machine.program_files, described, installed, "windows")
    for f in absent:
        path = os.path.join(machine.program_files, described[f]["folder"])
        check(not os.path.exists(path), "%s is there", path)


def installs(text):
    """[(package file, installer result, progress percentages)] in the order they ran."""
    found = []
    for package, lines in re.findall(r'running installer "[^"]*\\\\([^"\\]*)" \(\)\n(.*?)'
                                     r"Subprocess finished", text, re.S):
        result = re.search(r"Windows Installer returned (\d+)", lines)
        found.append((package, result and int(result.group(1)), [float(v) for v in re.findall(
            r'installer stdout: "installer:%([0-9.]+)"', lines)]))
    return found


def check_progress(found):
    """An install that succeeds moves the bar through its install half and never past 100."""
    for package, result, values in found:
        check(result != 0 or (values and all(0 <= v <= 100 for v in values)
                              and values == sorted(values) and values[-1] == 100
                              and any(v < 100 for v in values)),
              "progress of %s: %s", package, values)


def walk(build_dir, out):
    suite = Suite(build_dir, out, "windows")
    work, products, described = suite.work, suite.dir, suite.described
    corrupt = os.urandom(suite.size(HARROW))  # a corrupt package of the announced size
    with open(os.path.join(products, HARROW), "wb") as f:
        f.write(corrupt)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=127.0.0.1", "-keyout", work + "/key.pem", "-out",
                    work + "/cert.pem"], check=True, capture_output=True)
    machine = Machine(work, out, suite.program)
    try:
        machine.serve(products)
        run = machine.launch()
        run.screenshot("1-signin")
        propose(run, suite, FIRST)
        check(survey(run.log_text()) == (HOSTS, set()), "the survey found %s",
              survey(run.log_text()))
        check(finish_run(machine, run) == [], "boxes on the first run")
        found = installs(run.log_text())
        check([(p, r != 0) for p, r, _ in found] == [(f, f == HARROW) for f in FIRST],
              "installs and their results: %s", [(p, r) for p, r, _ in found])
        check_progress(found)
        names = {f for f in os.listdir(machine.downloads) if not f.startswith("tessinstaller.")}
        check(names == set(FIRST), "Downloads holds %s", sorted(names))
        check_installed(machine, described, FIRST[:-1], absent=[HARROW])

        # Again, over https with a self-signed certificate; one product must come again.
        os.remove(os.path.join(machine.downloads, TFH25))
        machine.serve(products, tls=(work + "/cert.pem", work + "/key.pem"))
        run = machine.launch()
        propose(run, suite, SECOND, boxes=[("sslErrors", "Return")])
        check(survey(run.log_text()) == (HOSTS, SECOND_SURVEY), "the survey found %s",
              survey(run.log_text()))
        check(finish_run(machine, run) == [], "boxes while downloading over https")
        check(run.box_answers("sslErrors") == ["Ok"], "certificate boxes %s",
              run.box_answers("sslErrors"))
        check(machine.service.product_requests() == {TFH25: 1}, "requests %s",
              machine.service.product_requests())
        check_progress(installs(run.log_text()))
        check_installed(machine, described, FIRST[:-1], absent=[HARROW])
    finally:
        machine.close()
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--out", default="windows-out")
    opts = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("walk: terminated"))
    out = os.path.abspath(opts.out)
    shutil.rmtree(out, ignore_errors=True)
    started = time.monotonic()
    with Xvfb():
        try:
            walk(os.path.abspath(opts.build_dir), out)
        except (AssertionError, DriveError, subprocess.SubprocessError, OSError) as e:
            print("FAIL windows walk-through %.1f s: %s" % (time.monotonic() - started, e))
            raise
    print("PASS windows walk-through %.1f s; logs and screenshots in %s"
          % (time.monotonic() - started, out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
