#!/usr/bin/env python3
"""Runs the Windows installer_progress test under Wine in a private Xvfb and presses Return in
every installer box that shows, as a person would: boxes.py --prefix DIR PROGRAM [ARGS...]. The
wizard's three boxes must show; one of the run without questions would show too, and fail."""

import os, subprocess, sys, time  # noqa: E401

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE, "tools", "demo"))
from wizard import Xvfb, xdotool  # noqa: E402

BOXES, LIMIT = "^(FatalError|Error|Warning)$", 240  # seconds: Wine starts slowly when busy


def shown():
    return xdotool("search", "--onlyvisible", "--name", BOXES, check=False).split()


answered, deadline = [], time.monotonic() + LIMIT
with Xvfb():  # the prefix is made inside it: its desktop has this display
    env = dict(os.environ, TESS_WINEPREFIX=sys.argv[2], WINEPREFIX=sys.argv[2])
    # A server of this prefix left by an earlier run would serve another display.
    subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
    proc = subprocess.Popen([os.path.join(SOURCE, "tools", "windows", "wine-run")]
                            + sys.argv[3:], env=env)
    while proc.poll() is None and time.monotonic() < deadline:
        for box in shown()[:1]:
            answered.append(xdotool("getwindowname", box, check=False))
            xdotool("windowfocus", "--sync", box, check=False)
            xdotool("key", "Return", check=False)
            while box in shown() and time.monotonic() < deadline:
                time.sleep(0.05)  # gone before the next press, which is another box's
        time.sleep(0.05)
    if proc.poll() is None:
        proc.kill()
    subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
print("boxes answered with Return: %s" % answered)
sys.exit(0 if proc.wait() == 0 and answered == ["FatalError", "Error", "Warning"] else 1)
