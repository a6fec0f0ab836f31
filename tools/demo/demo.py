#!/usr/bin/env python3
"""The headless demo: drives the real installer through every page under Xvfb, takes a
screenshot of each, and writes a short summary.

    demo.py --program build/bin/tessinstaller --out demo-out --downloads DIR --root MACHINE
            [--installed DIR] [--time-limit SECONDS] -- ARGS...

Starts its own Xvfb unless --display is given. The environment (HOME, TESSINSTALLER_ROOT, PATH
with the stand-in xdg-open) is set by run-demo.sh.
"""

import argparse
import os
import re
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wizard import DriveError, WizardRun, Xvfb  # noqa: E402


def installed_products(orrel):
    if not os.path.isdir(orrel):
        return []
    return sorted(os.listdir(orrel))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--downloads", required=True)
    parser.add_argument("--root", help="the made-up machine (its Program Files is opt/)")
    parser.add_argument("--installed", help="where installed products go (default ROOT/opt/Orrel)")
    parser.add_argument("--time-limit", type=float, default=100)
    parser.add_argument("--display", action="store_true", help="use $DISPLAY as it is")
    parser.add_argument("args", nargs=argparse.REMAINDER)
    opts = parser.parse_args()
    args = [a for a in opts.args if a != "--"]
    opts.installed = opts.installed or os.path.join(opts.root, "opt", "Orrel")
    if opts.display:
        return drive(opts, args)
    with Xvfb():
        return drive(opts, args)


def drive(opts, args):
    before = installed_products(opts.installed)
    run = WizardRun(opts.program, args, dict(os.environ), opts.downloads, opts.out,
                    time_limit=opts.time_limit)
    status = None
    error = None
    try:
        run.start()
        run.find_window(timeout=60)
        run.wait_line("Sign in")
        run.screenshot("1-signin")
        # The fields arrive filled from -user and -pass; Return acts as Next.
        run.press_until("Return", "Selection")

        run.wait_proposal()
        run.screenshot("2-selection")
        run.press_until("alt+n", "Download")
        run.wait_log("downloading ")
        run.screenshot("3-downloading", settle=1.4)  # the speed line needs a second of samples
        run.wait_log("running installer", timeout=60)
        run.screenshot("4-installing", settle=0)

        run.wait_line("Finished!", timeout=90)
        run.screenshot("5-finished")
        run.key("Return", focus_main=True)  # Finish
        status = run.wait_exit(timeout=20)
    except DriveError as e:
        error = str(e)
        run.screenshot("failure", whole_screen=True)
        run.kill()
        status = run.proc.returncode if run.proc else None
    elapsed = time.monotonic() - run.started if run.started else 0

    log = run.log_text() if run.log_path else ""
    proposed = re.findall(r'Adding  "([^"]*)" with label  "([^"]*)"', log)
    chose = re.search(r"Chose (\d+) to download", log)
    hidden = re.search(r"There are  (\d+) hidden", log)
    surveyed = re.findall(r"^tessinstaller Debug: Survey: (.*)$", log, re.M)
    downloaded = sorted(f for f in os.listdir(opts.downloads)
                        if f.endswith(".msi") or f.endswith(".tessdownload"))
    after = installed_products(opts.installed)

    lines = ["Tessaline Installer demo",
             "exit code: %s" % status,
             "time taken: %.1f s" % elapsed,
             "proposed (checked): %s" % (chose.group(1) if chose else "?"),
             "behind Show All: %s" % (hidden.group(1) if hidden else "?"),
             "the survey found:"]
    lines += ["  %s" % line for line in surveyed]
    n_chosen = int(chose.group(1)) if chose else 0
    lines += ["  [x] %s" % label for _, label in proposed[:n_chosen]]
    lines.append("downloaded into %s:" % opts.downloads)
    lines += ["  %s (%d bytes)" % (f, os.path.getsize(os.path.join(opts.downloads, f)))
              for f in downloaded]
    lines.append("installed under %s:" % opts.installed)
    lines += ["  %s%s" % (p, "" if p in before else "  (new)") for p in after]
    # What the run made of the product list and of each package before its install.
    lines += ["product list: %s" % line for line in re.findall(
        r"^tessinstaller \w+: (The product list from .*|Product lists are not verified.*|"
        r"Product list refused: .*|Remembering product list .*)$", log, re.M)]
    lines.append("packages read again and checked just before their install: %d"
                 % log.count("Package checked before its install"))
    lines.append("screenshots: %s" % ", ".join(os.path.basename(s) for s in run.shots))
    if run.log_path:
        lines.append("log: %s" % os.path.basename(run.log_path))
    if error:
        lines.append("FAILED: %s" % error)
    summary = "\n".join(lines) + "\n"
    with open(os.path.join(opts.out, "summary.txt"), "w") as f:
        f.write(summary)
    sys.stdout.write(summary)
    return 0 if (status == 0 and not error) else 1


if __name__ == "__main__":
    sys.exit(main())
