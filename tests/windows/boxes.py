#!/usr/bin/env python3
"""Runs the Windows box test (tst_boxes.cpp) under Wine in a private Xvfb and answers every
installer box that shows with Return, as a person would: boxes.py --prefix DIR TEST_EXE. The
wizard's three boxes must show and be answered; a box of the run without questions would show
too, and fail the run. The Wine prefix is the test's own, made inside the Xvfb."""

import argparse, os, subprocess, sys, tempfile, time  # noqa: E401

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE, "tools", "demo"))
from wizard import Xvfb, xdotool  # noqa: E402

WINE_RUN = os.path.join(SOURCE, "tools", "windows", "wine-run")
TITLES = "^(FatalError|Error|Warning)$"
LIMIT = 240  # seconds, below the CTest timeout: Wine may start slowly on a busy machine


def answer_boxes(proc):
    """Presses Return in each box as it shows; returns their titles in order."""
    answered, deadline = [], time.monotonic() + LIMIT
    while proc.poll() is None:
        if time.monotonic() > deadline:
            proc.kill()
            sys.exit("boxes: the test was still running after %d s; killed" % LIMIT)
        shown = xdotool("search", "--onlyvisible", "--name", TITLES, check=False).split()
        for window in shown[:1]:
            title = xdotool("getwindowname", window, check=False)
            xdotool("windowfocus", "--sync", window, check=False)
            xdotool("key", "--clearmodifiers", "Return", check=False)
            # Wait until it has gone: a second press would reach the next box.
            gone = time.monotonic() + 10
            while time.monotonic() < gone and window in xdotool(
                    "search", "--onlyvisible", "--name", TITLES, check=False).split():
                time.sleep(0.05)
            answered.append(title)
        time.sleep(0.05)
    return answered


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--prefix", required=True)
    parser.add_argument("program")
    opts = parser.parse_args()
    env = dict(os.environ, TESS_WINEPREFIX=opts.prefix, WINEPREFIX=opts.prefix)
    with Xvfb():
        env["DISPLAY"] = os.environ["DISPLAY"]
        # A server of this prefix left by an earlier run would serve another display.
        subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
        try:
            # The test library writes its results to a file under Windows (to standard output
            # it would send them to the debugger); Wine's drive Z: is the root folder.
            with tempfile.NamedTemporaryFile("r", suffix=".txt") as results:
                proc = subprocess.Popen([WINE_RUN, opts.program, "-o", "Z:" + results.name.replace(
                    "/", "\\") + ",txt"], env=env, stdout=subprocess.DEVNULL,
                    stderr=subprocess.DEVNULL)
                answered = answer_boxes(proc)
                print(results.read())
        finally:
            subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
    print("boxes answered with Return: %s" % answered)
    wanted = ["FatalError", "Error", "Warning"]  # the wizard's; none without questions
    if proc.returncode != 0 or answered != wanted:
        print("FAIL: exit code %s, boxes %s (wanted %s)" % (proc.returncode, answered, wanted))
        return 1
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
