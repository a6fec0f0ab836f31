#!/usr/bin/env python3
"""The trust tests' keys, signed lists and signed packages, made fresh with openssl,
tools/sign-manifest, wixl and osslsigncode:  make_fixtures.py OUT [--wine-run TOOL]
OUT/keys/{maker1,maker2,p384}.pub; OUT/list.xml signed by maker2 (list.xml.sig);
OUT/packages/{unsigned,good,other,untrusted,damaged,changed}.msi with
publishers.txt (the maker's and the untrusted signer's thumbprints) and good.sha256. With
--wine-run the test root is trusted in that tool's Wine prefix."""

import argparse
import hashlib
import os
import shutil
import struct
import subprocess
import sys

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def run(*args, **kw):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, **kw)


def ec_key(path, curve="prime256v1"):
    run("openssl", "ecparam", "-genkey", "-name", curve, "-noout", "-out", path + ".pem")
    run("openssl", "pkey", "-in", path + ".pem", "-pubout", "-out", path + ".pub")


def make_lists(out):
    keys = os.path.join(out, "keys")
    os.makedirs(keys)
    for name in ("maker1", "maker2"):
        ec_key(os.path.join(keys, name))
    ec_key(os.path.join(keys, "p384"), "secp384r1")
    offers = "".join(
        "  <ProductInfo><Name>Tessaline-%d.msi</Name><SHA256>%s</SHA256></ProductInfo>\n"
        % (i, hashlib.sha256(b"%d" % i).hexdigest()) for i in range(3))
    body = ("<?xml version=\"1.0\"?>\n<Manifest>\n%s  <ManifestVersion>42</ManifestVersion>\n"
            "  <ManifestExpires>2027-01-31T00:00:00Z</ManifestExpires>\n</Manifest>\n" % offers)
    with open(os.path.join(out, "list.xml"), "w") as f:
        f.write(body)
    run(os.path.join(SOURCE, "tools", "sign-manifest"), os.path.join(keys, "maker2.pem"),
        os.path.join(out, "list.xml"))


def certificate(work, name, issuer=None):
    """An RSA key and certificate: a root when there is no issuer, else a code-signing leaf."""
    path, config = os.path.join(work, name), os.path.join(work, "req.cnf")
    with open(config, "w") as f:
        f.write("[req]\ndistinguished_name=dn\n[dn]\n")
    ext = ["basicConstraints=critical,CA:TRUE", "keyUsage=critical,keyCertSign"] if not issuer \
        else ["basicConstraints=CA:FALSE", "keyUsage=critical,digitalSignature",
              "extendedKeyUsage=codeSigning"]
    run("openssl", "req", "-x509", "-new", "-newkey", "rsa:2048", "-nodes", "-days", "30",
        "-keyout", path + ".key", "-out", path + ".crt", "-subj", "/CN=%s/O=%s" % (name, name),
        "-config", config, *(["-CA", issuer + ".crt", "-CAkey", issuer + ".key"] if issuer else []),
        *[a for e in ext for a in ("-addext", e)], stderr=subprocess.DEVNULL)
    return path


def der_of(cert):
    return subprocess.run(["openssl", "x509", "-in", cert + ".crt", "-outform", "DER"],
                          check=True, stdout=subprocess.PIPE).stdout


def make_packages(out, wine_run):
    work, pkgs = os.path.join(out, "certs"), os.path.join(out, "packages")
    os.makedirs(work)
    os.makedirs(pkgs)
    pkg = lambda name: os.path.join(pkgs, name + ".msi")
    root, stranger = certificate(work, "Test Root"), certificate(work, "Stranger Root")
    maker = certificate(work, "Orrel Signing", root)
    untrusted = certificate(work, "Orrel Unknown Root", stranger)
    with open(os.path.join(work, "payload.bin"), "wb") as f:
        f.write(os.urandom(8192))
    run(sys.executable, os.path.join(SOURCE, "tools", "products", "build_samples.py"), "--package",
        pkg("unsigned"), "--name", "Tessaline Trust Sample",
        "Orrel/TrustSample-1.0/payload.bin=" + os.path.join(work, "payload.bin"))
    for name, signer, issuer in (("good", maker, root), ("untrusted", untrusted, stranger),
                                 ("other", certificate(work, "Other Publisher", root), root)):
        with open(signer + ".chain", "wb") as f:
            f.write(open(signer + ".crt", "rb").read() + open(issuer + ".crt", "rb").read())
        run("osslsigncode", "sign", "-certs", signer + ".chain", "-key", signer + ".key", "-h",
            "sha256", "-in", pkg("unsigned"), "-out", pkg(name))
    good = open(pkg("good"), "rb").read()
    # A byte of the signer's signature value (the end of the PKCS#7 blob) changed; a byte of the
    # cabinet changed after signing.
    run("osslsigncode", "extract-signature", "-in", pkg("good"), "-out", pkg("good") + ".p7")
    tail = open(pkg("good") + ".p7", "rb").read()[-40:-8]
    for name, at in (("damaged", good.index(tail) + 8), ("changed", good.index(b"MSCF") + 300)):
        with open(pkg(name), "wb") as f:
            f.write(good[:at] + bytes([good[at] ^ 1]) + good[at + 1:])
    with open(os.path.join(pkgs, "good.sha256"), "w") as f:
        f.write(hashlib.sha256(good).hexdigest() + "\n")
    with open(os.path.join(pkgs, "publishers.txt"), "w") as f:
        f.write("".join(hashlib.sha256(der_of(c)).hexdigest() + "\n" for c in (maker, untrusted)))
    if wine_run:
        # The root trusted the way the system keeps it: a serialized certificate (property 32,
        # the encoded certificate) under its SHA-1 in the user's Root store.
        der = der_of(root)
        run(wine_run, "reg", "add", "HKCU\\Software\\Microsoft\\SystemCertificates\\Root\\"
            "Certificates\\" + hashlib.sha1(der).hexdigest().upper(), "/v", "Blob", "/t",
            "REG_BINARY", "/d", (struct.pack("<III", 32, 1, len(der)) + der).hex(), "/f",
            stderr=subprocess.DEVNULL)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("out")
    ap.add_argument("--wine-run")
    args = ap.parse_args()
    shutil.rmtree(args.out, ignore_errors=True)
    os.makedirs(args.out)
    make_lists(args.out)
    make_packages(args.out, args.wine_run)


if __name__ == "__main__":
    main()
