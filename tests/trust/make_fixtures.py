#!/usr/bin/env python3
"""Makes the trust tests' keys, signed lists and signed packages, fresh on each
run, with openssl, tools/sign-manifest, wixl and osslsigncode:
    make_fixtures.py OUT [--wine-run TOOL]
OUT/keys: maker1.pub, maker2.pub (a rotated pair), other.pub, p384.pub (not a P-256 key).
OUT/list.xml with list.xml.sig (maker2, through tools/sign-manifest); OUT/other/list.xml.sig (the
same bytes signed by another key). OUT/packages/{unsigned,good,other,untrusted,
damaged,changed}.msi, publishers.txt (the maker's and the untrusted signer's thumbprints) and
good.sha256; with --wine-run, the test root is trusted in that Wine prefix."""

import argparse
import hashlib
import os
import shutil
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))


def run(*args, **kw):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, **kw)


def ec_key(path, curve="prime256v1"):
    run("openssl", "ecparam", "-genkey", "-name", curve, "-noout", "-out", path + ".pem")
    run("openssl", "pkey", "-in", path + ".pem", "-pubout", "-out", path + ".pub")


def make_lists(out):
    keys = os.path.join(out, "keys")
    os.makedirs(keys)
    for name in ("maker1", "maker2", "other"):
        ec_key(os.path.join(keys, name))
    ec_key(os.path.join(keys, "p384"), "secp384r1")
    offers = "".join(
        "  <ProductInfo><Name>Tessaline-%d.msi</Name><SHA256>%s</SHA256></ProductInfo>\n"
        % (i, hashlib.sha256(b"%d" % i).hexdigest()) for i in range(3))
    body = ("<?xml version=\"1.0\"?>\n<Manifest>\n%s  <ManifestVersion>42</ManifestVersion>\n"
            "  <ManifestExpires>2027-01-31T00:00:00Z</ManifestExpires>\n</Manifest>\n" % offers)
    os.makedirs(os.path.join(out, "other"))
    for folder, key in ((out, "maker2"), (os.path.join(out, "other"), "other")):
        with open(os.path.join(folder, "list.xml"), "w") as f:
            f.write(body)
        run(os.path.join(SOURCE, "tools", "sign-manifest"), os.path.join(keys, key + ".pem"),
            os.path.join(folder, "list.xml"))


def certificate(work, name, issuer=None, ca=False):
    """An RSA key and certificate; self-signed when there is no issuer."""
    key, crt = os.path.join(work, name + ".key"), os.path.join(work, name + ".crt")
    subject = "/CN=%s/O=%s" % (name, name)
    ext = os.path.join(work, name + ".ext")
    with open(ext, "w") as f:
        f.write("basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n" if ca
                else "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                     "extendedKeyUsage=codeSigning\n")
    run("openssl", "genrsa", "-out", key, "2048", stderr=subprocess.DEVNULL)
    if issuer is None:
        run("openssl", "req", "-new", "-x509", "-key", key, "-out", crt, "-days", "30", "-subj",
            subject, "-extensions", "v3", "-config", "/dev/stdin", "-sha256",
            input=b"[req]\ndistinguished_name=dn\n[dn]\n[v3]\n" + open(ext, "rb").read())
    else:
        csr = os.path.join(work, name + ".csr")
        run("openssl", "req", "-new", "-key", key, "-out", csr, "-subj", subject)
        run("openssl", "x509", "-req", "-in", csr, "-CA", issuer + ".crt", "-CAkey",
            issuer + ".key", "-CAcreateserial", "-out", crt, "-days", "30", "-sha256",
            "-extfile", ext, stderr=subprocess.DEVNULL)
    return os.path.join(work, name)


def der_of(cert):
    return subprocess.run(["openssl", "x509", "-in", cert + ".crt", "-outform", "DER"],
                          check=True, stdout=subprocess.PIPE).stdout


def flip(data, offset):
    data = bytearray(data)
    data[offset] ^= 0x01
    return bytes(data)


def make_packages(out, wine_run):
    work = os.path.join(out, "certs")
    pkgs = os.path.join(out, "packages")
    os.makedirs(work)
    os.makedirs(pkgs)
    root = certificate(work, "Test Root", ca=True)
    stranger = certificate(work, "Stranger Root", ca=True)
    maker = certificate(work, "Orrel Signing", root)
    other = certificate(work, "Other Publisher", root)
    untrusted = certificate(work, "Orrel Unknown Root", stranger)

    payload = os.path.join(work, "payload.bin")
    with open(payload, "wb") as f:
        f.write(os.urandom(8192))
    unsigned = os.path.join(pkgs, "unsigned.msi")
    run(sys.executable, os.path.join(SOURCE, "tools", "products", "build_samples.py"),
        "--package", unsigned, "--name", "Tessaline Trust Sample",
        "Orrel/TrustSample-1.0/payload.bin=" + payload)

    def sign(name, signer, issuer):
        chain = os.path.join(work, name + ".chain")
        with open(chain, "wb") as f:
            f.write(open(signer + ".crt", "rb").read() + open(issuer + ".crt", "rb").read())
        run("osslsigncode", "sign", "-certs", chain, "-key", signer + ".key", "-h", "sha256",
            "-n", "Tessaline Trust Sample", "-in", unsigned, "-out",
            os.path.join(pkgs, name + ".msi"))
        return open(os.path.join(pkgs, name + ".msi"), "rb").read()

    good = sign("good", maker, root)
    sign("other", other, root)
    sign("untrusted", untrusted, stranger)

    # A byte of the signature value (the end of the signer's RSA signature) changed.
    extracted = os.path.join(work, "good.p7")
    run("osslsigncode", "extract-signature", "-in", os.path.join(pkgs, "good.msi"),
        "-out", extracted)
    blob = open(extracted, "rb").read()
    where = -1
    for end in range(len(blob) - 8, 64, -16):
        where = good.find(blob[end - 24:end])
        if where >= 0 and good.count(blob[end - 24:end]) == 1:
            break
    if where < 0:
        sys.exit("make_fixtures: the signature blob is not in good.msi")
    with open(os.path.join(pkgs, "damaged.msi"), "wb") as f:
        f.write(flip(good, where + 12))
    # A byte of the cabinet changed after signing.
    cabinet = good.find(b"MSCF")
    with open(os.path.join(pkgs, "changed.msi"), "wb") as f:
        f.write(flip(good, cabinet + 300))

    with open(os.path.join(pkgs, "good.sha256"), "w") as f:
        f.write(hashlib.sha256(good).hexdigest() + "\n")
    with open(os.path.join(pkgs, "publishers.txt"), "w") as f:
        for cert in (maker, untrusted):
            f.write(hashlib.sha256(der_of(cert)).hexdigest() + "\n")

    if wine_run:
        # The root trusted the way the system keeps it: a serialized certificate (property 32,
        # the encoded certificate) under its SHA-1 in the user's Root store.
        der = der_of(root)
        blob = struct.pack("<III", 32, 1, len(der)) + der
        sha1 = hashlib.sha1(der).hexdigest().upper()
        run(wine_run, "reg", "add",
            "HKCU\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\" + sha1,
            "/v", "Blob", "/t", "REG_BINARY", "/d", blob.hex(), "/f", stderr=subprocess.DEVNULL)


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
