#!/usr/bin/env python3
"""Builds Windows Installer packages with wixl: the sample products (see build-samples.sh), or
one package from files given on the command line, as the tests and benchmarks need them:
    build_samples.py --package OUT.msi --name NAME [--version 1.0.0]
                     [--program-files ProgramFilesFolder] INSTALLPATH=SOURCEFILE ...
(INSTALLPATH below Program Files, '/'-separated; SOURCEFILE holds the bytes)."""

import argparse
import hashlib
import json
import os
import random
import shlex
import shutil
import subprocess
import sys
import tempfile
import uuid
from xml.sax.saxutils import quoteattr

HERE = os.path.dirname(os.path.abspath(__file__))


PLATFORM_TEXT = {"linux": "Linux x86-64", "windows": "Windows x64"}
MINGW_CC = "x86_64-w64-mingw32-gcc"


def fill(text, product, platform):
    version = "%s.%s" % (product["versionMajor"], product["versionMinor"])
    return (text.replace("{version}", version).replace("{build}", product["buildId"])
            .replace("{platform}", PLATFORM_TEXT[platform]))


def console_program(lines):
    """A Windows console program that prints the lines on standard error, as the real
    product executables answer -version."""
    source = "#include <stdio.h>\nint main(void)\n{\n%s    return 0;\n}\n" % "".join(
        "    fputs(%s \"\\n\", stderr);\n" % json.dumps(line) for line in lines)
    with tempfile.TemporaryDirectory(prefix="tess-exe-") as work:
        with open(os.path.join(work, "main.c"), "w", encoding="utf-8") as f:
            f.write(source)
        subprocess.run([MINGW_CC, "-Os", "-s", "-Wl,--no-insert-timestamp", "-o", "main.exe",
                        "main.c"], cwd=work, check=True)
        with open(os.path.join(work, "main.exe"), "rb") as f:
            return f.read()


def payload_bytes(path, spec, product, platform="linux"):
    if isinstance(spec, int):
        # Pseudo-random, seeded by the path: incompressible and the same on every build.
        rng = random.Random(hashlib.sha1(path.encode()).hexdigest())
        return bytes(rng.getrandbits(8) for _ in range(spec))
    if isinstance(spec, dict):
        lines = [fill(line, product, platform) for line in spec["stderr"]]
        if platform == "windows":
            return console_program(lines)
        return ("#!/bin/sh\n" + "".join("echo %s >&2\n" % shlex.quote(line) for line in lines)).encode()
    return fill(spec, product, platform).encode()


def stable_uuid(*parts):
    return str(uuid.uuid5(uuid.NAMESPACE_URL, "tessaline:" + "/".join(parts))).upper()


def directory_id(path):
    return "d" + hashlib.md5(path.encode()).hexdigest()[:16]


def wxs_source(name, version, files, program_files="ProgramFiles64Folder"):
    """files: list of (install path below Program Files, payload file). File ids are "file" and
    the file's index; folder ids come from directory_id; the cabinet is payload.cab."""
    tree = {"dirs": {}, "files": []}
    for index, (path, _) in enumerate(files):
        node = tree
        for part in path.split("/")[:-1]:
            node = node["dirs"].setdefault(part, {"dirs": {}, "files": []})
        node["files"].append(index)

    lines, refs = [], []

    def write(node, prefix, depth):
        pad = "  " * depth
        for index in node["files"]:
            path, source = files[index]
            lines.append(
                '%s<Component Id="c%d" Guid="%s" Win64="yes"><File Id="file%d" Name=%s Source=%s '
                'KeyPath="yes"/></Component>'
                % (pad, index, stable_uuid(name, path), index,
                   quoteattr(path.split("/")[-1]), quoteattr(source)))
            refs.append('<ComponentRef Id="c%d"/>' % index)
        for folder in sorted(node["dirs"]):
            child = prefix + "/" + folder if prefix else folder
            lines.append('%s<Directory Id="%s" Name=%s>' % (pad, directory_id(child),
                                                             quoteattr(folder)))
            write(node["dirs"][folder], child, depth + 1)
            lines.append("%s</Directory>" % pad)

    write(tree, "", 3)
    return """<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="*" Name=%s Language="1033" Version="%s" Manufacturer="Orrel" UpgradeCode="%s">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"/>
    <Media Id="1" Cabinet="payload.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="%s">
%s
      </Directory>
    </Directory>
    <Feature Id="Complete" Level="1">%s</Feature>
  </Product>
</Wix>
""" % (quoteattr(name), version, stable_uuid(name), program_files, "\n".join(lines), "".join(refs))


def build_package(target, name, version, files, program_files="ProgramFiles64Folder"):
    """One package from (install path, payload file) pairs; wixl runs in a scratch folder and
    takes only sources relative to it."""
    with tempfile.TemporaryDirectory(prefix="tess-wxs-") as work:
        with open(os.path.join(work, "product.wxs"), "w", encoding="utf-8") as f:
            f.write(wxs_source(name, version, [(p, os.path.relpath(s, work)) for p, s in files],
                               program_files))
        subprocess.run(["wixl", "-a", "x64", "-o", os.path.abspath(target), "product.wxs"],
                       cwd=work, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def build(product, out_dir, scratch, platform):
    work = os.path.join(scratch, product["file"])
    os.makedirs(work)
    files = []
    for index, (relative, spec) in enumerate(sorted(product["payload"].items())):
        install_path = product["folder"] + "/" + relative
        source = os.path.join(work, str(index))
        with open(source, "wb") as f:
            f.write(payload_bytes(install_path, spec, product, platform))
        files.append((install_path, source))
    target = os.path.join(out_dir, product["file"])
    version = "%s.%s.0" % (product["versionMajor"], product["versionMinor"])
    build_package(target, product["simpleName"], version, files)
    return os.path.getsize(target)


def main_package(argv):
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--package", required=True, help="the .msi to write")
    ap.add_argument("--name", required=True)
    ap.add_argument("--version", default="1.0.0")
    ap.add_argument("--program-files", default="ProgramFiles64Folder")
    ap.add_argument("files", nargs="*", metavar="INSTALLPATH=SOURCEFILE")
    args = ap.parse_args(argv)
    files = [tuple(f.split("=", 1)) for f in args.files]
    if any(len(f) != 2 for f in files):
        ap.error("files are given as INSTALLPATH=SOURCEFILE")
    try:
        build_package(args.package, args.name, args.version, files, args.program_files)
    except subprocess.CalledProcessError as e:
        sys.stderr.write("wixl failed for %s:\n%s\n" % (args.package, e.stderr.decode(errors="replace")))
        return 1
    return 0


def main():
    if "--package" in sys.argv[1:]:
        return main_package(sys.argv[1:])
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("out", help="folder for the packages and products.json")
    ap.add_argument("--samples", default=os.path.join(HERE, "samples.json"))
    ap.add_argument("--platform", choices=sorted(PLATFORM_TEXT), default="linux",
                    help="what the product executables are built for")
    args = ap.parse_args()

    with open(args.samples, encoding="utf-8") as f:
        products = json.load(f)["products"]
    os.makedirs(args.out, exist_ok=True)
    listed = []
    scratch = tempfile.mkdtemp(prefix="tess-samples-")
    try:
        for product in products:
            try:
                size = build(product, args.out, scratch, args.platform)
            except subprocess.CalledProcessError as e:
                sys.stderr.write("wixl failed for %s:\n%s\n" % (product["file"], e.stderr.decode(errors="replace")))
                return 1
            print("%-56s %8d bytes  %s" % (product["file"], size, product["simpleName"]))
            listed.append({
                "file": product["file"],
                "name": product.get("name", product["file"]),
                "simpleName": product["simpleName"],
                "buildId": product["buildId"],
                "versionMajor": product["versionMajor"],
                "versionMinor": product["versionMinor"],
                "versionBeta": product.get("versionBeta", ""),
                "defaultBehavior": product.get("defaultBehavior", ""),
            })
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    with open(os.path.join(args.out, "products.json.tmp"), "w", encoding="utf-8") as f:
        json.dump({"products": listed}, f, indent=2)
        f.write("\n")
    os.replace(os.path.join(args.out, "products.json.tmp"), os.path.join(args.out, "products.json"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
