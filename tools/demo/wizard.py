"""Drives the real installer under an X server (Xvfb) the way a person would: keys typed with
xdotool into the window that has the focus, screenshots with ImageMagick's import, and the run's
log file read to know when a page is ready. Shared by run-demo.sh and the end-to-end test.

Python 3 standard library only. Every wait has a time limit; a run that outlives its limit is
killed and reported, never left behind.
"""

import glob
import os
import re
import signal
import subprocess
import time


class DriveError(Exception):
    pass


def has_line(text, message):  # a line whose message is exactly message
    return re.search(r"^tessinstaller \w+: %s$" % re.escape(message), text, re.M) is not None


def proposal(text):
    """The selection page's proposal once its last row is written: (the number chosen, [(name,
    label)] of the rows listed), or None before. The rows follow "Chose N", one per chosen
    offer; a reader that stopped at the first row would miss the rest on a busy machine."""
    chose = re.search(r"^tessinstaller Debug: Chose (\d+) to download$", text, re.M)
    if not chose:
        return None
    rows = re.findall(r'Adding\s+"([^"]*)"\s+with label\s+"([^"]*)"', text[chose.end():])
    return (int(chose.group(1)), rows) if len(rows) >= int(chose.group(1)) else None


class Xvfb:
    """A private X server for one run: it picks a free display itself (-displayfd), so parallel
    runs never race for one, and -noreset keeps it accepting clients after the last one left.
    Sets DISPLAY while it runs."""

    def __init__(self, screen="1280x800x24"):
        self.screen, self.proc, self.saved = screen, None, False

    def __enter__(self):
        read, write = os.pipe()
        self.proc = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-noreset", "-nolisten",
                                      "tcp", "-screen", "0", self.screen], pass_fds=(write,),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as f:
            number = f.readline().strip()  # written once the server is ready
        if not number:
            self.__exit__()
            raise DriveError("Xvfb did not start")
        self.saved = os.environ.get("DISPLAY")
        os.environ["DISPLAY"] = ":" + number
        return self

    def __exit__(self, *exc):
        if self.saved is None:
            os.environ.pop("DISPLAY", None)
        elif self.saved:
            os.environ["DISPLAY"] = self.saved
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=10)


def xdotool(*args, check=True, timeout=20):
    proc = subprocess.run(["xdotool", *args], capture_output=True, text=True, timeout=timeout)
    if check and proc.returncode != 0:
        raise DriveError("xdotool %s failed: %s" % (" ".join(args), proc.stderr.strip()))
    return proc.stdout.strip()


class WizardRun:
    """One run of the installer: start, wait for log lines, type keys, take screenshots."""

    def __init__(self, program, args, env, downloads, out_dir=None, time_limit=150):
        self.program = program
        self.args = list(args)
        self.env = env
        self.downloads = downloads
        self.out_dir = out_dir
        self.time_limit = time_limit
        self.proc = None
        self.window = None
        self.log_path = None
        self.started = None
        self.shots = []
        self.under_wine = os.path.basename(program) == "wine-run"
        self.windows_at_start = []

    # -- lifetime ---------------------------------------------------------------------------
    def start(self):
        before = set(glob.glob(os.path.join(self.downloads, "tessinstaller.*.txt")))
        self.started = time.monotonic()
        # No GL: the toolkit's GL integration would load whatever driver the machine has, and
        # one that is unloaded before the exit leaves a leak report in a sanitizer build.
        env = dict(self.env, QT_XCB_GL_INTEGRATION="none")
        self.proc = subprocess.Popen([self.program, *self.args], env=env,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     start_new_session=True)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            now = set(glob.glob(os.path.join(self.downloads, "tessinstaller.*.txt")))
            new = sorted(now - before)
            if new:
                self.log_path = new[0]
                break
            if self.proc.poll() is not None:
                raise DriveError("the installer ended at once with %s" % self.proc.returncode)
            time.sleep(0.05)
        if not self.log_path:
            raise DriveError("no log file appeared in %s" % self.downloads)
        return self

    def find_window(self, timeout=20):
        out = xdotool("search", "--sync", "--onlyvisible", "--name", "Tessaline Installer",
                      timeout=timeout)
        self.window = out.splitlines()[0]
        self.windows_at_start = xdotool("search", "--onlyvisible", "--name", ".",
                                        check=False).split()
        return self.window

    def remaining(self):
        return self.time_limit - (time.monotonic() - self.started)

    def wait_exit(self, timeout=None):
        timeout = self.remaining() if timeout is None else min(timeout, self.remaining())
        try:
            return self.proc.wait(timeout=max(timeout, 0.1))
        except subprocess.TimeoutExpired:
            self.kill()
            raise DriveError("the installer was still running after its time limit; killed")

    def kill(self):
        if self.proc and self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait(timeout=10)

    def output(self):
        if self.proc and self.proc.stdout and self.proc.poll() is not None:
            return self.proc.stdout.read().decode("utf-8", "replace")
        return ""

    # -- the log ----------------------------------------------------------------------------
    def log_text(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("latin-1")

    def log_lines(self):
        return self.log_text().splitlines()

    def wait_log(self, text, timeout=60, count=1):
        deadline = time.monotonic() + min(timeout, self.remaining())
        while time.monotonic() < deadline:
            if self.log_text().count(text) >= count:
                return True
            if self.proc.poll() is not None:
                # One last look: the line may have been written just before the end.
                if self.log_text().count(text) >= count:
                    return True
                raise DriveError("the installer ended (%s) before logging %r"
                                 % (self.proc.returncode, text))
            time.sleep(0.05)
        raise DriveError("timed out waiting for the log line %r" % text)

    # -- the keyboard and the screen ----------------------------------------------------------
    def focus_window(self):
        xdotool("windowfocus", "--sync", self.window, check=False)

    def key(self, *keys, focus_main=False):
        """Types keys into the window that has the focus (a message box when one is open)."""
        if focus_main:
            self.focus_window()
        for k in keys:
            xdotool("key", k)
            time.sleep(0.15)

    def type_text(self, text):
        xdotool("type", "--delay", "20", text)

    def screenshot(self, name, whole_screen=False, settle=0.4):
        if not self.out_dir:
            return None
        time.sleep(settle)  # let the window repaint
        path = os.path.join(self.out_dir, name + ".png")
        target = "root" if whole_screen or not self.window else self.window
        if subprocess.run(["import", "-window", target, path],
                          capture_output=True).returncode != 0:
            subprocess.run(["import", "-window", "root", path], capture_output=True)
        self.shots.append(path)
        return path

    # -- waiting on the log for more than one thing ------------------------------------------
    def wait_until(self, found, what, timeout=60):
        """Polls found(log text) until it gives something true and returns that; fails when
        the installer ends first or the time runs out. what names the wait in the error."""
        deadline = time.monotonic() + min(timeout, self.remaining())
        while time.monotonic() < deadline:
            ended = self.proc.poll() is not None
            result = found(self.log_text())  # after the poll: an end cannot hide a last line
            if result:
                return result
            if ended:
                raise DriveError("the installer ended (%s) before %s"
                                 % (self.proc.returncode, what))
            time.sleep(0.05)
        raise DriveError("timed out waiting for %s" % what)

    def wait_line(self, message, timeout=60):
        """Waits for a line whose message is exactly message."""
        return self.wait_until(lambda text: has_line(text, message), repr(message), timeout)

    def press_until(self, key, message, tries=3):
        """Presses key in the wizard until the log shows the line message (a page just shown
        may miss the first press on a busy machine)."""
        for attempt in range(tries):
            self.key(key, focus_main=True)
            try:
                return self.wait_line(message, 10)
            except DriveError:
                if self.proc.poll() is not None or attempt == tries - 1:
                    raise

    def wait_proposal(self, timeout=60):
        """Waits until the selection page has listed every row it proposes; returns
        proposal()."""
        return self.wait_until(proposal, "every row of the proposal", timeout)

    # -- message boxes ------------------------------------------------------------------------
    # Every box is logged as it opens ('Message box "ID" : text ...') and as it closes
    # ('Message box "ID" answered with "Ignore"'), so the log proves which button a key reached.
    def box_answers(self, box_id):
        pattern = r'Message box "%s" answered(?: automatically)? with "?(\w+)' % re.escape(box_id)
        return re.findall(pattern, self.log_text())

    def box_text(self, box_id):
        """The first box box_id's text and informative text, as "text / informative"."""
        line = re.search(r'Message box "%s" : "([^"]*)" "([^"]*)"' % re.escape(box_id),
                         self.log_text())
        if not line:
            raise DriveError("the box %s was not logged" % box_id)
        return line.group(1) + " / " + line.group(2)

    def wait_box_focus(self, timeout=10):
        """Waits until the box is up: a window other than the wizard has the keyboard focus
        (there is no window manager under Xvfb; Qt gives a modal box the focus itself), or,
        under Wine, which keeps the X focus on its first window and routes keys to its active
        one, a new window of the same title as the box's owner shows."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            focused = xdotool("getwindowfocus", check=False)
            shown = xdotool("search", "--onlyvisible", "--name", ".", check=False).split()
            if (focused and focused != self.window) or (
                    self.under_wine and set(shown) - set(self.windows_at_start)):
                time.sleep(0.2)  # let the box finish laying out its buttons
                return focused
            time.sleep(0.05)
        raise DriveError("no message box took the keyboard focus")

    def answer_box(self, box_id, *keys, nth=1, timeout=60):
        """Waits for the nth opening of the box box_id, types keys into it and returns the
        answer that the log reports (a button name such as "Ignore")."""
        self.wait_log('Message box "%s" :' % box_id, timeout=timeout, count=nth)
        self.wait_box_focus()
        self.key(*keys)
        self.wait_log('Message box "%s" answered' % box_id, timeout=20, count=nth)
        return self.box_answers(box_id)[nth - 1]
