#!/usr/bin/env python3
"""Builds a made-up machine for the installer's survey under ROOT.

Point TESSINSTALLER_ROOT at ROOT and the installer sees (Linux mapping of the platform layer):
  ROOT/usr/autodesk/maya<NAME>     Maya registry subkeys       (--maya 2024)
  ROOT/opt/hfs<VERSION>            Houdini registry subkeys    (--houdini 20.0.547)
  ROOT/opt/Katana<NAME>            Katana in Program Files     (--katana 6.0v1)
  ROOT/opt/Orrel/<product folder>  installed Tessaline products

Usage:
  make-machine.py ROOT [--maya NAME]... [--houdini VERSION]... [--katana NAME]...
                       [--workserver VERSION:BUILD[:MODE]]...
                       [--maya-bridge VERSION:BUILD[:MAYA]]...
                       [--atelier VERSION:BUILD:MAYA]...
                       [--json FILE]         (FILE "-" reads standard input)
  make-machine.py --batch FILE   several machines at once: {"ROOT": description, ...}

  A Maya or Katana NAME that does not start with a digit is taken as the whole folder name
  (--maya Capabilities, --katana "Katana Foundry").

Example, the demo machine (Maya 2024 and 2025, Houdini 20.0, Katana 6.0, and an installed
Workserver 24.4 of an older build than the sample products offer):
  tools/machine/make-machine.py /tmp/machine --maya 2024 --maya 2025 --houdini 20.0.547 \\
      --katana 6.0v1 --workserver 24.4:2226589

JSON description (every key optional):
  {"maya": ["2022", "Capabilities"], "houdini": ["19.5.303"], "katana": ["KATANA5.0v2"],
   "dirs": ["opt/Orrel/Random"],                      plain folders
   "links": [{"path": "opt/Orrel/TWS-x", "target": "/nowhere"}],   symbolic links
   "products": [
     {"kind": "workserver", "version": "24.4b2", "build": 2226589, "mode": "ok"},
     {"kind": "maya-bridge", "version": "24.4", "build": 2226589, "maya": "2018",
      "source": "file" | "spool" | "none", "marker": "py" | "mll" | "none"},
     {"kind": "atelier", "version": "22.0", "build": 1234567, "maya": "2018"},
     {"folder": "Any Name", "parent": "opt/Orrel" (or an absolute folder),
      "files": {"bin/tsren.exe": {"exe": MODE, "version": "24.4", "build": 2226589},
                "etc/buildid.txt": {"text": "Tessaline 24.4 @2226589", "pad": 104857600},
                "plug-ins/Tessaline_for_Maya.py": {}}}]}
  Products of a kind take "folder", "parent", "mode" and "files" too (files are added).

Product executables are /bin/sh scripts printing on standard error what the real ones print:
  Tessaline <version>
  linked Mon Jan  1 09:00:00 2024 @<build>
MODE changes that on purpose:
  ok        as above                      stdout    the same text on standard output only
  noid      no build id line              noversion no version line
  hang      never ends (its pid goes to <script>.pid first, so a test can look for it)
  crash     prints the version line, then kills itself with SIGSEGV
  garbage   64 KiB of random bytes, zero bytes included, no version
  mega      the normal text, then 8 MB more on standard error and 8 MB on standard output
  noexec    the normal script without execute permission
  text      prints the "text" field as it is
Every executable appends its pid to the file named by $TESS_PROCESS_LOG when that is set, so
a test or benchmark can count the processes the survey started.
"""

import argparse
import json
import os
import random
import stat
import sys

LINKED = "linked Mon Jan  1 09:00:00 2024 @%s"

SCRIPT_HEAD = """#!/bin/sh
[ -n "$TESS_PROCESS_LOG" ] && echo $$ >> "$TESS_PROCESS_LOG"
"""


def shell_quote(text):
    return "'" + text.replace("'", "'\\''") + "'"


def version_lines(spec):
    version = str(spec.get("version", "24.4"))
    build = str(spec.get("build", "2226589"))
    return "Tessaline %s" % version, LINKED % build


def executable_script(path, spec):
    mode = spec.get("exe", "ok")
    first, second = version_lines(spec)
    body = SCRIPT_HEAD
    if mode in ("ok", "noexec"):
        body += "printf '%%s\\n%%s\\n' %s %s >&2\n" % (shell_quote(first), shell_quote(second))
    elif mode == "stdout":
        body += "printf '%%s\\n%%s\\n' %s %s\n" % (shell_quote(first), shell_quote(second))
    elif mode == "noid":
        body += "printf '%%s\\n' %s >&2\n" % shell_quote(first)
    elif mode == "noversion":
        body += "printf '%%s\\n' %s >&2\n" % shell_quote(second)
    elif mode == "hang":
        # exec keeps the pid, so the pid written is the process that hangs.
        body += 'echo $$ > "$0.pid"\nexec sleep 3600\n'
    elif mode == "crash":
        # No core file left behind in whatever folder the survey runs from.
        body += "printf '%%s\\n' %s >&2\nulimit -c 0\nkill -SEGV $$\nsleep 5\n" % shell_quote(first)
    elif mode == "garbage":
        rng = random.Random(path)
        with open(path + ".out", "wb") as f:
            f.write(bytes(rng.randrange(256) for _ in range(64 * 1024)))
        body += 'cat "$0.out" >&2\n'
    elif mode == "mega":
        body += "printf '%%s\\n%%s\\n' %s %s >&2\n" % (shell_quote(first), shell_quote(second))
        body += "head -c 8000000 /dev/zero | tr '\\0' 'x' >&2\n"
        body += "head -c 8000000 /dev/zero | tr '\\0' 'y'\n"
    elif mode == "text":
        body += "printf '%%s' %s >&2\n" % shell_quote(spec.get("text", ""))
    else:
        raise SystemExit("make-machine: unknown executable mode %r" % mode)
    with open(path, "w", encoding="utf-8") as f:
        f.write(body)
    perms = 0o644 if mode == "noexec" else 0o755
    os.chmod(path, perms)


def plain_file(path, spec):
    text = spec.get("text")
    if text is None and "build" in spec:
        text = "Tessaline %s %s\n" % (spec.get("version", "24.4"), LINKED % spec["build"])
    data = (text or "").encode("utf-8")
    with open(path, "wb") as f:
        f.write(data)
        pad = int(spec.get("pad", 0)) - len(data)
        chunk = spec.get("padbyte", "x").encode("latin-1") * (1 << 20)
        while pad > 0:
            f.write(chunk[: min(pad, len(chunk))])
            pad -= len(chunk)
    if "perms" in spec:
        os.chmod(path, int(str(spec["perms"]), 8))


def under_root(root, relative):
    return relative if os.path.isabs(relative) else os.path.join(root, relative)


def major_minor(version):
    major, rest = str(version).split(".", 1)
    minor = "".join(ch for ch in rest if ch.isdigit())[:1] or "0"
    return "%s.%s" % (major, minor)


def kind_files(product):
    """Folder name and files of a product given by kind."""
    kind = product["kind"]
    version = str(product.get("version", "24.4"))
    build = product.get("build", 2226589)
    mode = product.get("mode", "ok")
    exe = {"exe": mode, "version": version, "build": build}
    files = {}
    if kind == "workserver":
        folder = "TessalineWorkserver-%s" % major_minor(version)
        files["bin/tsren.exe"] = exe
    elif kind == "atelier":
        folder = "TessalineAtelier-%s-maya%s" % (major_minor(version), product["maya"])
        files["plug-ins/Tessaline_for_Maya.mll"] = {}
        files["tesstree/bin/tsren.exe"] = exe
    elif kind == "maya-bridge":
        maya = product.get("maya")
        folder = "TessalineForMaya-%s" % major_minor(version)
        if maya:
            folder += "-maya%s" % maya
        marker = product.get("marker", "py")
        if marker == "py":
            files["plug-ins/Tessaline_for_Maya.py"] = {}
        elif marker == "mll":
            files["plug-ins/Tessaline_for_Maya.mll"] = {}
        source = product.get("source", "file")
        if source == "file":
            files["etc/buildid.txt"] = {"version": version, "build": build}
        elif source == "spool":
            files["bin/LocalSpool.exe"] = exe
    else:
        raise SystemExit("make-machine: unknown product kind %r" % kind)
    return folder, files


def make_product(root, product):
    folder, files = (None, {})
    if "kind" in product:
        folder, files = kind_files(product)
    folder = product.get("folder", folder)
    if not folder:
        raise SystemExit("make-machine: a product needs a kind or a folder")
    files.update(product.get("files", {}))
    location = os.path.join(under_root(root, product.get("parent", "opt/Orrel")), folder)
    os.makedirs(location, exist_ok=True)
    for relative, spec in files.items():
        path = os.path.join(location, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if "exe" in spec:
            executable_script(path, spec)
        else:
            plain_file(path, spec)
    return location


def host_folder(prefix, name):
    return prefix + name if name[:1].isdigit() else name


def build(root, description):
    made = []
    for name in description.get("maya", []):
        made.append(os.path.join(root, "usr/autodesk", host_folder("maya", str(name))))
    for version in description.get("houdini", []):
        made.append(os.path.join(root, "opt", "hfs" + str(version)))
    for name in description.get("katana", []):
        made.append(os.path.join(root, "opt", host_folder("Katana", str(name))))
    for relative in description.get("dirs", []):
        made.append(under_root(root, relative))
    for path in made:
        os.makedirs(path, exist_ok=True)
    for link in description.get("links", []):
        path = under_root(root, link["path"])
        os.makedirs(os.path.dirname(path), exist_ok=True)
        os.symlink(link["target"], path)
        made.append(path)
    os.makedirs(os.path.join(root, "opt", "Orrel"), exist_ok=True)
    for product in description.get("products", []):
        made.append(make_product(root, product))
    return made


def split_spec(text, names):
    parts = text.split(":")
    if len(parts) < 2 or len(parts) > len(names):
        raise SystemExit("make-machine: expected %s, got %r" % (":".join(names), text))
    return dict(zip(names, parts))


def read_json(name):
    source = sys.stdin if name == "-" else open(name, encoding="utf-8")
    with source:
        return json.load(source)


def main():
    parser = argparse.ArgumentParser(
        description="Build a made-up machine for the installer's survey.",
        epilog="See the top of this file for the JSON description and the executable modes.")
    parser.add_argument("root", nargs="?")
    parser.add_argument("--maya", action="append", default=[])
    parser.add_argument("--houdini", action="append", default=[])
    parser.add_argument("--katana", action="append", default=[])
    parser.add_argument("--workserver", action="append", default=[],
                        metavar="VERSION:BUILD[:MODE]")
    parser.add_argument("--maya-bridge", action="append", default=[],
                        metavar="VERSION:BUILD[:MAYA]")
    parser.add_argument("--atelier", action="append", default=[], metavar="VERSION:BUILD:MAYA")
    parser.add_argument("--json", metavar="FILE")
    parser.add_argument("--batch", metavar="FILE")
    args = parser.parse_args()

    if args.batch:
        # One interpreter for many machines: tests build dozens and start-up dominates.
        for root, description in read_json(args.batch).items():
            for path in build(os.path.abspath(root), description):
                print("made", path)
        return
    if not args.root:
        parser.error("ROOT is required")

    description = read_json(args.json) if args.json else {}
    description.setdefault("maya", []).extend(args.maya)
    description.setdefault("houdini", []).extend(args.houdini)
    description.setdefault("katana", []).extend(args.katana)
    products = description.setdefault("products", [])
    for text in args.workserver:
        products.append(dict(kind="workserver",
                             **split_spec(text, ["version", "build", "mode"])))
    for text in args.maya_bridge:
        products.append(dict(kind="maya-bridge",
                             **split_spec(text, ["version", "build", "maya"])))
    for text in args.atelier:
        products.append(dict(kind="atelier", **split_spec(text, ["version", "build", "maya"])))

    root = os.path.abspath(args.root)
    for path in build(root, description):
        print("made", path)


if __name__ == "__main__":
    main()
