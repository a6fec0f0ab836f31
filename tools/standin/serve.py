#!/usr/bin/env python3
"""Stand-in for the maker's web service, for tests and the demo (Python 3 standard library only).

    python3 serve.py --products DIR --users FILE --port 0 --port-file F
                     [--tls-cert C --tls-key K] [--manifest-fault SPEC] [--fault FILE=SPEC ...]
                     [--echo-requests] [--time-limit SECONDS] [--stall-seconds SECONDS]
                     [--sign-key KEY.pem] [--manifest-version N] [--manifest-expires TIME]
                     [--download-base URL] [--line-rate BYTES]

Binds 127.0.0.1 only, writes the chosen port to F (atomically), and stops by itself when its
parent process dies or after --time-limit seconds.

Files it reads
--------------
DIR/products.json describes the offers; the package files lie beside it:
    {"products": [{"file": "TessalineWorkserver-25.1_2301450-win64.msi",
                   "name": "<offer Name, normally the same as file>",
                   "simpleName": "Tessaline Workserver 25.1", "buildId": "2301450",
                   "versionMajor": "25", "versionMinor": "1", "versionBeta": "",
                   "defaultBehavior": "", "size": <optional int, used when the file is absent>,
                   "sha256": <optional: 64 hex digits to announce instead, "" for none>}]}
  FileSize is the exact size of DIR/<file> when it exists (else "size"); SHA256 is the file's
  digest unless "sha256" is given; DownloadURL points back at this service (same scheme, host
  and port the client used), or at --download-base URL (another service, say, with a
  certificate of its own); empty texts are left out.

FILE (users) is JSON: {"users": {"demo": "demo-password", "other": "secret"}}

Signed product lists
--------------------
--manifest-version N and --manifest-expires TIME (UTC, 2027-01-31T00:00:00Z) add the top-level
<ManifestVersion> and <ManifestExpires> elements, after DLRSuccessURL. With --sign-key KEY.pem
(an ECDSA P-256 private key) every approved manifest answer carries the header
X-Manifest-Signature: the base64 of `openssl dgst -sha256 -sign KEY.pem` over the exact body
(the same text tools/sign-manifest writes into MANIFEST.sig). The signature faults below tamper
with it.

One office line
---------------
--line-rate BYTES (bytes a second; 12500000 is 100 Mbit/s) sends every product body through one
token bucket shared by all connections, as if the service sat behind one office line: ten
clients at once each get about a tenth of it. Reservations are served in turn, a chunk of at
most 64 KiB at a time, and an idle line saves no credit for later. The per-product slow fault
still applies on top. (Shape here, never the loopback device: other work shares it.)

Endpoints
---------
POST /forum/currentproducts.php   multipart form: platform, username, userpass. Answers with the
                                  "Validation" header: "Approved" and the manifest, or
                                  "Error <reason>" for an unknown user or a wrong password.
GET  /products/<file>             the package, with Content-Length, a strong ETag (it changes
                                  when the file changes) and Accept-Ranges. "Range: bytes=N-"
                                  gives 206 with Content-Range, or 416 when N is not below the
                                  size; with an If-Range that is not the current ETag, the whole
                                  file (200). Each product answer is logged with its status,
                                  range start and body bytes sent.
GET  /view/Install-Success        small page; visits are counted.
GET  /forum/register.php?action=signup   small page.
GET  /debug/state                 JSON: request counts per path, visits, running faults,
                                  body bytes sent per product ("bytes").
GET  /debug/last-request          JSON of the last manifest form exactly as received (its parts'
                                  headers and bodies); only with --echo-requests, because it
                                  holds the password. The password never goes to the log.
GET  /debug/fault?file=F&fault=S  sets the fault of product F (empty S clears it).

Faults
------
Manifest (--manifest-fault SPEC, or ?fault=SPEC on the manifest URL, which wins):
  error:<reason>   "Validation: Error <reason>"     error    "Validation: Error" alone
  novalidation     Approved body, no Validation     lowercase  "Validation: approved"
  malformed        Approved, broken XML             slow:<s>   answer after s seconds
  dead             never answer (until --stall-seconds)        close   close without answering
  500              HTTP 500                         huge:<MiB> Approved, a body of that size
  sig-flip         one byte of the body changed after signing (a hex digit of the first SHA256,
                   else a letter of the first Name, so the XML still reads)
  sig-otherkey     signed by another key (made at the first use)
  sig-missing      no X-Manifest-Signature header
  sig-notbase64    a header that is not base64      sig-notder  base64 of bytes that are not DER
Products (--fault FILE=SPEC, /debug/fault, or ?fault=SPEC on the product URL, which wins; several
faults joined by "+" apply together, e.g. weaketag+reset:50%, written %2B in a query):
  reset:<n>        send n body bytes, then reset the connection
  reset:<p>%       send p percent of the answer's body, then reset the connection
  stall[:<n>]      send n body bytes (default 0), then send nothing (until --stall-seconds)
  slow:<bytes/s>   send at that rate
  short:<n>        send n body bytes of the full Content-Length, then close cleanly
  unsized[:<n>]    no Content-Length: send n body bytes (default all), then close cleanly
  404, 500         that HTTP status
  norange          ignore Range and If-Range: always the whole file (200), no Accept-Ranges
  badrange         a range answer (206) whose Content-Range names the wrong start (0)
  badtotal         a range answer (206) whose Content-Range names a total one byte too large
  shortrange:<n>   a range answer (206) of only n bytes, Content-Range naming just them
  newetag          a different ETag on every answer, as if the file changed each time
  weaketag         a weak ETag (W/"...") and a Last-Modified date, which If-Range must name
  changed          the file changed and the server does not look at If-Range: a new ETag, the
                   range asked for (206), and its first byte differs
  corrupt          flip one byte of the body (the file's middle byte, or the body's first)
  gzip[:<n>]       "Content-Encoding: gzip": the answer's first n bytes (default all), compressed,
                   whatever the request's Accept-Encoding
  redirect:<codes>[:<location>]   answer the first status of the comma-separated codes (301,
                   302, 303, 307, 308) with a Location to the product without this fault, or to
                   the redirect of the codes left; location "self" (the same URL: a loop), a
                   path, or a URL (another port, another scheme) replaces the last hop's target
  Any product fault followed by *<n> (reset:50%*1) applies to the first n requests of that
  product only, counted from when the fault was set; later requests are served normally.
"""

import argparse
import base64
import email.utils
import gzip
import hashlib
import html
import json
import os
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

MANIFEST_PATH = "/forum/currentproducts.php"
CHUNK = 256 * 1024


def log(*parts):
    print("standin:", *parts, file=sys.stderr, flush=True)


class State:
    """What the service knows and has seen; shared by all request threads."""

    def __init__(self, args):
        self.args = args
        self.lock = threading.Lock()
        self.counts = {}
        self.visits = 0
        self.last_request = None
        self.product_faults = {}
        self.fault_uses = {}  # requests a limited fault has met, per product
        self.bytes_sent = {}
        self.etag_serial = 0
        self.digests = {}  # (path, size, mtime) -> hex digest
        for item in args.fault or []:
            name, _, spec = item.partition("=")
            self.product_faults[name] = spec
        self.stopping = threading.Event()
        self.line = Line(args.line_rate) if args.line_rate else None
        self.sign_key = None
        self.other_key = None  # made when a fault first asks for it
        if args.sign_key:
            with open(args.sign_key, "rb") as f:
                self.sign_key = f.read()

    def count(self, path):
        with self.lock:
            self.counts[path] = self.counts.get(path, 0) + 1

    def digest(self, path):
        st = os.stat(path)
        key = (path, st.st_size, st.st_mtime_ns)
        with self.lock:
            if key in self.digests:
                return self.digests[key]
        h = hashlib.sha256()
        with open(path, "rb") as f:
            for block in iter(lambda: f.read(1 << 20), b""):
                h.update(block)
        with self.lock:
            self.digests[key] = h.hexdigest()
        return h.hexdigest()

    def fault_for(self, name, requested):
        """The fault of this product request, "" when none or when its count is used up."""
        with self.lock:
            spec = requested or self.product_faults.get(name, "")
            spec, star, times = spec.partition("*")
            if star:
                key = (name, spec + "*" + times)
                used = self.fault_uses.get(key, 0)
                self.fault_uses[key] = used + 1
                if used >= int(times or 0):
                    return ""
            return spec

    def products(self):
        path = os.path.join(self.args.products, "products.json")
        try:
            with open(path, "r", encoding="utf-8") as f:
                return json.load(f).get("products", [])
        except (OSError, ValueError) as e:
            log("cannot read", path, ":", e)
            return []

    def users(self):
        try:
            with open(self.args.users, "r", encoding="utf-8") as f:
                return json.load(f).get("users", {})
        except (OSError, ValueError, TypeError) as e:
            log("cannot read users file:", e)
            return {}


def parse_multipart(content_type, body):
    """The parts of a multipart/form-data body: [{"headers": {...}, "name": ..., "body": ...}]."""
    boundary = None
    for piece in content_type.split(";"):
        key, _, value = piece.strip().partition("=")
        if key.lower() == "boundary":
            boundary = value.strip('"')
    if not boundary:
        return []
    delimiter = b"--" + boundary.encode("latin-1")
    parts = []
    for chunk in body.split(delimiter)[1:]:
        if chunk.startswith(b"--"):
            break
        chunk = chunk[2:] if chunk.startswith(b"\r\n") else chunk
        if chunk.endswith(b"\r\n"):
            chunk = chunk[:-2]
        head, _, content = chunk.partition(b"\r\n\r\n")
        headers = {}
        for line in head.split(b"\r\n"):
            if b":" in line:
                k, _, v = line.partition(b":")
                headers[k.decode("latin-1").strip()] = v.decode("latin-1").strip()
        name = None
        for piece in headers.get("Content-Disposition", "").split(";"):
            k, _, v = piece.strip().partition("=")
            if k == "name":
                name = v.strip('"')
        parts.append({"headers": headers, "name": name, "body": content.decode("utf-8", "replace")})
    return parts


def manifest_xml(state, base_url):
    downloads = state.args.download_base.rstrip("/") or base_url
    e = html.escape
    out = ['<?xml version="1.0" encoding="UTF-8"?>', "<Manifest>"]
    for p in state.products():
        file_name = p.get("file", "")
        size = p.get("size", 0)
        path = os.path.join(state.args.products, os.path.basename(file_name))
        sha = p.get("sha256")
        if file_name and os.path.isfile(path):
            size = os.path.getsize(path)
            if sha is None:
                sha = state.digest(path)
        fields = [
            ("Name", p.get("name") or file_name),
            ("SimpleName", p.get("simpleName", "")),
            ("BuildID", p.get("buildId", "")),
            ("VersionMajor", p.get("versionMajor", "")),
            ("VersionMinor", p.get("versionMinor", "")),
            ("VersionBeta", p.get("versionBeta", "")),
            ("DefaultBehavior", p.get("defaultBehavior", "")),
            ("DownloadURL", downloads + "/products/" + urllib.parse.quote(file_name)),
            ("FileSize", str(size)),
            ("SHA256", sha or ""),
        ]
        out.append("  <ProductInfo>")
        # An empty element would hand the reader's next text (the indentation) to its field.
        out += ["    <%s>%s</%s>" % (k, e(str(v)), k) for k, v in fields if str(v) != ""]
        out.append("  </ProductInfo>")
    out.append("  <DLRSuccessURL>%s</DLRSuccessURL>" % e(base_url + "/view/Install-Success"))
    if state.args.manifest_version is not None:
        out.append("  <ManifestVersion>%s</ManifestVersion>" % e(state.args.manifest_version))
    if state.args.manifest_expires is not None:
        out.append("  <ManifestExpires>%s</ManifestExpires>" % e(state.args.manifest_expires))
    out.append("</Manifest>")
    return ("\n".join(out) + "\n").encode("utf-8")


def openssl_sign(key_pem, data):
    """The DER ECDSA signature of data, made by openssl (the key goes through a pipe)."""
    read_end, write_end = os.pipe()
    os.write(write_end, key_pem)
    os.close(write_end)
    try:
        return subprocess.run(["openssl", "dgst", "-sha256", "-sign", "/dev/fd/%d" % read_end],
                              input=data, pass_fds=(read_end,), capture_output=True,
                              check=True).stdout
    finally:
        os.close(read_end)


def signature_headers(state, body, fault):
    """The body as sent and its X-Manifest-Signature header, tampered with as the fault says."""
    if not state.args.sign_key or fault == "sig-missing":
        return body, []
    key = state.sign_key
    if fault == "sig-otherkey":
        with state.lock:
            if state.other_key is None:
                state.other_key = subprocess.run(
                    ["openssl", "ecparam", "-genkey", "-name", "prime256v1", "-noout"],
                    capture_output=True, check=True).stdout
            key = state.other_key
    value = base64.b64encode(openssl_sign(key, body)).decode("ascii")
    if fault == "sig-notbase64":
        value = "not base64!"
    elif fault == "sig-notder":
        value = base64.b64encode(b"this is not a DER signature").decode("ascii")
    elif fault == "sig-flip":
        changed = bytearray(body)
        digest = body.find(b"<SHA256>")
        if digest >= 0:
            at = digest + len(b"<SHA256>")
            changed[at] = ord("1") if changed[at] == ord("0") else ord("0")
        else:
            at = body.find(b"<Name>") + len(b"<Name>")
            changed[at] ^= 0x20  # the letter's case
        body = bytes(changed)
    return body, [("X-Manifest-Signature", value)]


class Line:
    """One token bucket for all connections: each chunk books the next free stretch of the
    line and its sender waits until that stretch has passed."""

    CHUNK = 64 * 1024

    def __init__(self, rate):
        self.rate = float(rate)
        self.lock = threading.Lock()
        self.free_at = 0.0

    def book(self, size):
        """Seconds the caller must wait before sending size more bytes."""
        with self.lock:
            now = time.monotonic()
            self.free_at = max(now, self.free_at) + size / self.rate
            return self.free_at - now


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "TessalineStandin/1.0"

    @property
    def state(self):
        return self.server.state

    def log_message(self, fmt, *args):
        # Paths and statuses only: the request line never holds a password (it is in the form).
        log(self.address_string(), fmt % args)

    def base_url(self):
        scheme = "https" if self.server.tls else "http"
        host = self.headers.get("Host") or "127.0.0.1:%d" % self.server.server_address[1]
        return "%s://%s" % (scheme, host)

    def send_simple(self, status, body, content_type="text/plain; charset=utf-8", headers=()):
        if isinstance(body, str):
            body = body.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for k, v in headers:
            self.send_header(k, v)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def wait(self, seconds):
        """Sleeps, but gives up when the service stops."""
        self.state.stopping.wait(seconds)

    def reset_connection(self):
        self.wfile.flush()
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.close_connection = True
        self.connection.close()

    # --- routing ----------------------------------------------------------------------------

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query)
        path = urllib.parse.unquote(url.path)
        self.state.count(path)
        if path.startswith("/products/"):
            return self.product(path[len("/products/"):], query.get("fault", [None])[0])
        if path == "/view/Install-Success":
            with self.state.lock:
                self.state.visits += 1
            return self.send_simple(200, "<html><body><h1>Thank you for installing Tessaline"
                                    "</h1></body></html>", "text/html; charset=utf-8")
        if path == "/forum/register.php":
            return self.send_simple(200, "<html><body><h1>Sign up for the Tessaline forum</h1>"
                                    "</body></html>", "text/html; charset=utf-8")
        if path == "/debug/state":
            with self.state.lock:
                body = {"counts": self.state.counts, "visits": self.state.visits,
                        "faults": self.state.product_faults, "bytes": self.state.bytes_sent}
                return self.send_simple(200, json.dumps(body), "application/json")
        if path == "/debug/last-request":
            if not self.state.args.echo_requests:
                return self.send_simple(404, "echo is off\n")
            with self.state.lock:
                return self.send_simple(200, json.dumps(self.state.last_request),
                                        "application/json")
        if path == "/debug/fault":
            name = query.get("file", [""])[0]
            spec = query.get("fault", [""])[0]
            with self.state.lock:
                if spec:
                    self.state.product_faults[name] = spec
                else:
                    self.state.product_faults.pop(name, None)
                # A limited fault counts its requests from now.
                self.state.fault_uses = {k: v for k, v in self.state.fault_uses.items()
                                         if k[0] != name}
            return self.send_simple(200, "ok\n")
        return self.send_simple(404, "not found\n")

    def do_HEAD(self):
        return self.do_GET()

    def do_POST(self):
        url = urllib.parse.urlsplit(self.path)
        path = urllib.parse.unquote(url.path)
        self.state.count(path)
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length > 0 else b""
        if path != MANIFEST_PATH:
            return self.send_simple(404, "not found\n")
        fault = urllib.parse.parse_qs(url.query).get("fault", [None])[0]
        return self.manifest(body, fault or self.state.args.manifest_fault or "")

    # --- manifest ---------------------------------------------------------------------------

    def manifest(self, body, fault):
        parts = parse_multipart(self.headers.get("Content-Type", ""), body)
        with self.state.lock:
            self.state.last_request = {"contentType": self.headers.get("Content-Type", ""),
                                       "parts": parts}
        form = {p["name"]: p["body"] for p in parts if p["name"]}
        user = form.get("username", "").replace("&amp;", "&")
        log("manifest request: platform", repr(form.get("platform")), "user", repr(user),
            "fault", repr(fault))

        kind, _, arg = fault.partition(":")
        if kind == "dead":
            self.wait(self.state.args.stall_seconds)
            self.close_connection = True
            return None
        if kind == "close":
            self.close_connection = True
            return None
        if kind == "500":
            return self.send_simple(500, "internal server error\n")
        if kind == "slow":
            self.wait(float(arg or 2))
        if kind == "error":
            value = ("Error " + arg) if arg else "Error"
            return self.send_simple(200, "denied\n", headers=[("Validation", value)])

        users = self.state.users()
        if user not in users or users[user] != form.get("userpass"):
            log("manifest request denied for user", repr(user))
            return self.send_simple(200, "denied\n", headers=[
                ("Validation", "Error Invalid forum user ID or password")])

        xml = manifest_xml(self.state, self.base_url())
        validation = [("Validation", "Approved")]
        if kind == "novalidation":
            validation = []
        elif kind == "lowercase":
            validation = [("Validation", "approved")]
        elif kind == "malformed":
            # One whole offer, then one whose name tag is never closed properly.
            cut = xml.find(b"</ProductInfo>")
            xml = xml[: cut + len(b"</ProductInfo>") if cut >= 0 else len(xml) // 2]
            xml += b"\n  <ProductInfo><Name>broken</Nme>"
        elif kind == "huge":
            return self.huge_manifest(int(float(arg or 64) * 1024 * 1024))
        xml, signature = signature_headers(self.state, xml, fault)
        return self.send_simple(200, xml, "text/xml; charset=utf-8", validation + signature)

    def huge_manifest(self, size):
        head = b'<?xml version="1.0"?>\n<Manifest>\n<ProductInfo><Name>'
        tail = b"</Name></ProductInfo>\n</Manifest>\n"
        filler = size - len(head) - len(tail)
        self.send_response(200)
        self.send_header("Content-Type", "text/xml")
        self.send_header("Content-Length", str(len(head) + filler + len(tail)))
        self.send_header("Validation", "Approved")
        self.end_headers()
        try:
            self.wfile.write(head)
            block = b"x" * CHUNK
            while filler > 0 and not self.state.stopping.is_set():
                n = min(filler, CHUNK)
                self.wfile.write(block[:n])
                filler -= n
            self.wfile.write(tail)
        except OSError:
            self.close_connection = True

    # --- products ---------------------------------------------------------------------------

    def product(self, requested, requested_fault):
        name = os.path.basename(requested)
        path = os.path.join(self.state.args.products, name)
        if not name or name != requested or not os.path.isfile(path):
            return self.send_simple(404, "no such product\n")
        spec = self.state.fault_for(name, requested_fault)
        faults = dict(f.partition(":")[::2] for f in spec.split("+") if f)
        for code in ("404", "500"):
            if code in faults:
                return self.send_simple(int(code), "fault %s\n" % code)
        if "redirect" in faults:
            return self.redirect(name, faults["redirect"])

        st = os.stat(path)
        size = st.st_size
        etag = '"%x-%x"' % (size, st.st_mtime_ns)
        if "newetag" in faults or "changed" in faults:
            with self.state.lock:
                self.state.etag_serial += 1
                etag = '"%x-%x-%d"' % (size, st.st_mtime_ns, self.state.etag_serial)
        validator, headers = etag, [("ETag", etag)]
        if "weaketag" in faults:  # If-Range may only name the date then
            validator = email.utils.formatdate(st.st_mtime, usegmt=True)
            headers = [("ETag", "W/" + etag), ("Last-Modified", validator)]
        start = self.range_start()
        if "norange" in faults or ("changed" not in faults
                                   and self.headers.get("If-Range") not in (None, validator)):
            start = None
        if start is not None and start >= size:
            self.log_product(name, 416, start, 0)
            return self.send_simple(416, "", headers=[("Content-Range", "bytes */%d" % size)])

        first = start or 0
        status = 200 if start is None else 206
        limit = size - first
        if status == 206 and "shortrange" in faults:
            limit = min(limit, int(faults["shortrange"] or 1))
        length = limit
        if "gzip" in faults:
            with open(path, "rb") as f:
                f.seek(first)
                packed = gzip.compress(f.read(int(faults["gzip"] or limit)))
            length = len(packed)
            headers.append(("Content-Encoding", "gzip"))
        if "unsized" in faults:
            length = None
            headers.append(("Connection", "close"))
            self.close_connection = True
        if "norange" not in faults:
            headers.append(("Accept-Ranges", "bytes"))
        if status == 206:
            claimed = 0 if "badrange" in faults else first
            total = size + 1 if "badtotal" in faults else size
            headers.append(("Content-Range",
                            "bytes %d-%d/%d" % (claimed, first + limit - 1, total)))
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        if length is not None:
            self.send_header("Content-Length", str(length))
        for k, v in headers:
            self.send_header(k, v)
        self.end_headers()
        if self.command == "HEAD":
            return None
        for kind in ("reset", "short", "stall", "unsized"):
            arg = faults.get(kind)
            if arg and arg.endswith("%"):
                limit = int(limit * float(arg[:-1]) / 100)
            elif arg or (arg is not None and kind == "stall"):
                limit = min(limit, int(arg or 0))
        rate = float(faults.get("slow") or 0)
        flip = (max(first, size // 2) if "corrupt" in faults
                else first if "changed" in faults else -1)
        self.sent = 0
        try:
            if "gzip" in faults:
                self.wfile.write(packed)
                self.sent = len(packed)
                return None
            with open(path, "rb") as f:
                f.seek(first)
                if not faults and not self.server.tls and not self.state.line:
                    self.wfile.flush()
                    self.sent = self.connection.sendfile(f, first, limit)
                    return None
                self.copy(f, limit, rate, flip - first)
            if "reset" in faults:
                self.reset_connection()
            elif "short" in faults:
                self.close_connection = True
            elif "stall" in faults:
                self.wfile.flush()
                self.wait(self.state.args.stall_seconds)
                self.close_connection = True
        except (OSError, ssl.SSLError) as e:
            log("transfer of", name, "ended:", e)
            self.close_connection = True
        finally:
            self.log_product(name, status, first, self.sent)
        return None

    def redirect(self, name, arg):
        """Answers the first of the codes with a Location to the rest of the chain."""
        codes, _, location = arg.partition(":")
        code, _, rest = codes.partition(",")
        own = "/products/" + urllib.parse.quote(name)
        if rest:
            location = own + "?fault=" + urllib.parse.quote(
                "redirect:" + rest + (":" + location if location else ""), safe="")
        elif location == "self":
            location = self.path
        self.log_product(name, int(code or 302), None, 0)
        return self.send_simple(int(code or 302), "moved\n",
                                headers=[("Location", location or own)])

    def range_start(self):
        """N of "Range: bytes=N-" (an end is ignored: the rest of the file is sent), else None."""
        value = self.headers.get("Range", "").strip()
        if not value.startswith("bytes="):
            return None
        first = value[len("bytes="):].partition("-")[0].strip()
        return int(first) if first.isdigit() else None

    def log_product(self, name, status, start, sent):
        with self.state.lock:
            self.state.bytes_sent[name] = self.state.bytes_sent.get(name, 0) + sent
        log("product", name, "status", status, "range start", start, "sent", sent, "bytes")

    def copy(self, f, limit, rate, flip=-1):
        """Sends up to limit bytes of f, the byte at offset flip of them inverted, counting them
        in self.sent as they go."""
        sent = 0
        started = time.monotonic()
        block = min(CHUNK, max(1024, int(rate / 10))) if rate else CHUNK
        line = self.state.line
        if line:
            block = min(block, line.CHUNK)
        while sent < limit and not self.state.stopping.is_set():
            data = f.read(min(block, limit - sent))
            if not data:
                break
            if line:
                self.wait(line.book(len(data)))
            if 0 <= flip - sent < len(data):
                data = bytearray(data)
                data[flip - sent] ^= 0xFF
            self.wfile.write(data)
            sent += len(data)
            self.sent = sent
            if rate:
                ahead = sent / rate - (time.monotonic() - started)
                if ahead > 0:
                    self.wait(ahead)
        self.wfile.flush()


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, state, tls_context):
        super().__init__(address, Handler)
        self.state = state
        self.tls = tls_context is not None
        if tls_context:
            # The handshake happens in the request's thread, so a silent client blocks nobody.
            self.socket = tls_context.wrap_socket(self.socket, server_side=True,
                                                  do_handshake_on_connect=False)

    def handle_error(self, request, client_address):
        log("request from", client_address, "failed:", sys.exc_info()[1])


def watch_parent(state, parent, deadline):
    while not state.stopping.is_set():
        if os.getppid() != parent:
            log("parent gone, stopping")
            os._exit(0)
        if time.monotonic() > deadline:
            log("time limit reached, stopping")
            os._exit(0)
        time.sleep(0.3)


def main():
    ap = argparse.ArgumentParser(
        description="Stand-in of the Tessaline web service on 127.0.0.1 (the module's docstring, "
                    "pydoc3 tools/standin/serve.py, describes its endpoints and every fault)")
    ap.add_argument("--products", required=True, metavar="DIR",
                    help="folder holding products.json and the package files it names")
    ap.add_argument("--users", required=True, metavar="FILE",
                    help='JSON file of accounts: {"users": {"demo": "demo-password"}}')
    ap.add_argument("--port", type=int, default=0,
                    help="port to listen on, on 127.0.0.1 only (default 0: one the system picks)")
    ap.add_argument("--port-file", metavar="FILE",
                    help="where to write the port it listens on, once it listens")
    ap.add_argument("--tls-cert", metavar="PEM",
                    help="serve https with this certificate chain (leaf first)")
    ap.add_argument("--tls-key", metavar="PEM", help="the private key of --tls-cert")
    ap.add_argument("--manifest-fault", default="", metavar="SPEC",
                    help="misbehave on every manifest request (faults in the docstring)")
    ap.add_argument("--fault", action="append", metavar="FILE=SPEC",
                    help="misbehave when serving one product file; repeatable")
    ap.add_argument("--echo-requests", action="store_true",
                    help="keep the last manifest form for GET /debug/last-request (it holds "
                         "the password: tests only)")
    ap.add_argument("--time-limit", type=float, default=900.0, metavar="SECONDS",
                    help="stop by itself after this long (default 900)")
    ap.add_argument("--stall-seconds", type=float, default=20.0, metavar="SECONDS",
                    help="how long the dead and stall faults keep a connection silent "
                         "(default 20)")
    ap.add_argument("--sign-key", metavar="PEM",
                    help="ECDSA P-256 private key that signs each manifest answer "
                         "(header X-Manifest-Signature)")
    ap.add_argument("--manifest-version", metavar="N",
                    help="text of the manifest's <ManifestVersion>")
    ap.add_argument("--manifest-expires", metavar="TIME",
                    help="text of the manifest's <ManifestExpires>, e.g. 2027-01-31T00:00:00Z")
    ap.add_argument("--download-base", default="", metavar="URL",
                    help="start the manifest's DownloadURLs with this instead of this service's "
                         "own address (a second stand-in, say)")
    ap.add_argument("--line-rate", type=float, default=0, metavar="BYTES",
                    help="bytes a second of one line shared by all connections' product bodies "
                         "(12500000 is 100 Mbit/s; default: no limit)")
    args = ap.parse_args()

    context = None
    if args.tls_cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls_cert, args.tls_key)

    state = State(args)
    server = Server(("127.0.0.1", args.port), state, context)
    port = server.server_address[1]
    if args.port_file:
        temp = args.port_file + ".part"
        with open(temp, "w") as f:
            f.write("%d\n" % port)
        os.replace(temp, args.port_file)
    log("serving", "https" if context else "http", "on 127.0.0.1:%d" % port,
        "products", args.products)

    threading.Thread(target=watch_parent,
                     args=(state, os.getppid(), time.monotonic() + args.time_limit),
                     daemon=True).start()
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    finally:
        state.stopping.set()
        server.server_close()


if __name__ == "__main__":
    main()
