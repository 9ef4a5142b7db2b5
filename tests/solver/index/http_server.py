#!/usr/bin/env python3
"""Loopback HTTP(S) server for the index download tests.

Serves the files of --root on 127.0.0.1 at an ephemeral port, which it prints as the first line
of its standard output. Whatever the path, the last component names the file. Rules given as
NAME=BEHAVIOUR change how a file is answered:
  status:N   answer with status N and a short body
  redirect   answer 302 with a Location under /redirected/, which is served plainly
  chain:N    N redirects through /hop/1/NAME .. /hop/N/NAME (statuses 301, 302, 303, 307 and
             308 in turn), then the file
  loop       answer 302 with a Location of the request's own path
  goto:URL   answer 302 with the Location URL (any scheme)
  bounce     answer 302 from /ping/NAME to /pong/NAME and from anywhere else to /ping/NAME
             (both give up with status 508 after 100 redirects, so that a client that never
             stops following does not hang its test)
  short      announce the whole file in Content-Length but send only half of it, then close
  slow       announce the whole file, send 70000 bytes, then 1024 bytes every 20 ms
  stall-headers  send the headers announcing the whole file, then nothing
  stall-body     announce the whole file, send 70000 bytes, then nothing
Each request is logged to --log as "GET <path> agent=<User-Agent> cache=<Cache-Control>
pragma=<Pragma>"; a slow answer logs "streaming <name>" once its first bytes are out, a stalled
one "stalling <name>" once it stopped sending.
The server ends itself after --lifetime seconds; the tests end it earlier with SIGTERM.
With --make-certs DIR it only writes a test CA, a server certificate for 127.0.0.1 signed by
it, and a self-signed "rogue" certificate into DIR, using openssl.
"""
import argparse
import http.server
import os
import ssl
import subprocess
import sys
import threading
import time

log_lock = threading.Lock()


def make_certs(directory):
    def openssl(*args):
        subprocess.run(["openssl", *args], check=True, cwd=directory,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    openssl("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.crt", "-days", "2",
            "-subj", "/CN=Kestil Test CA",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    openssl("req", *ec, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1")
    with open(os.path.join(directory, "server.ext"), "w") as ext:
        ext.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n"
                  "basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
            "-CAcreateserial", "-out", "server.crt", "-days", "2", "-extfile", "server.ext")
    openssl("req", "-x509", *ec, "-keyout", "rogue.key", "-out", "rogue.crt", "-days", "2",
            "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1")


class Handler(http.server.BaseHTTPRequestHandler):
    timeout = 30
    server_version = "IndexTestServer"

    def log_message(self, *args):
        pass

    def record(self, line):
        with log_lock:
            with open(self.server.log_path, "a") as log:
                log.write(line + "\n")

    def plain(self, status, body=b""):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        self.record("GET %s agent=%s cache=%s pragma=%s" % (
            self.path, self.headers.get("User-Agent"), self.headers.get("Cache-Control"),
            self.headers.get("Pragma")))
        name = self.path.rsplit("/", 1)[-1]
        rule = "" if self.path.startswith("/redirected/") else self.server.rules.get(name, "")
        if rule.startswith("status:"):
            return self.plain(int(rule[7:]), b"no index here\n")
        if rule == "redirect":
            return self.redirect(302, "/redirected/" + name)
        if rule.startswith("goto:"):
            return self.redirect(302, rule[5:])
        if rule in ("loop", "bounce"):
            with log_lock:
                self.server.loops += 1
                if self.server.loops > 100:
                    return self.plain(508, b"loop detected\n")
        if rule == "loop":
            return self.redirect(302, self.path)
        if rule == "bounce":
            return self.redirect(302, ("/pong/" if self.path.startswith("/ping/") else "/ping/") + name)
        if rule.startswith("chain:"):
            parts = self.path.split("/")
            hop = int(parts[2]) if len(parts) == 4 and parts[1] == "hop" else 0
            if hop < int(rule[6:]):
                status = (301, 302, 303, 307, 308)[hop % 5]
                return self.redirect(status, "/hop/%d/%s" % (hop + 1, name))
        path = os.path.join(self.server.root, name)
        if not name or not os.path.isfile(path):
            return self.plain(404, b"not found\n")
        with open(path, "rb") as f:
            body = f.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if rule == "short":
            self.wfile.write(body[:len(body) // 2])
            self.wfile.flush()
            self.close_connection = True
            return
        if rule == "slow":
            return self.trickle(name, body)
        if rule.startswith("stall-"):
            return self.stall(name, body[:70000] if rule == "stall-body" else b"")
        self.wfile.write(body)

    def redirect(self, status, location):
        self.send_response(status)
        self.send_header("Location", location)
        self.send_header("Content-Length", "9")
        self.end_headers()
        self.wfile.write(b"elsewhere")

    def stall(self, name, sent):
        self.wfile.write(sent)
        self.wfile.flush()
        self.record("stalling " + name)
        time.sleep(3600)  # the server ends first (SIGTERM or its lifetime)

    def trickle(self, name, body):
        self.wfile.write(body[:70000])
        self.wfile.flush()
        self.record("streaming " + name)
        at = 70000
        try:
            while at < len(body):
                time.sleep(0.02)
                self.wfile.write(body[at:at + 1024])
                self.wfile.flush()
                at += 1024
        except OSError:
            self.record("client left " + name)


class QuietServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # clients that go away early are part of the tests


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root")
    parser.add_argument("--log")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--lifetime", type=float, default=120)
    parser.add_argument("--make-certs")
    parser.add_argument("rules", nargs="*")
    args = parser.parse_args()
    if args.make_certs:
        make_certs(args.make_certs)
        return
    server = QuietServer(("127.0.0.1", 0), Handler)
    server.root = args.root
    server.log_path = args.log
    server.loops = 0
    server.rules = dict(rule.split("=", 1) for rule in args.rules)
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Timer(args.lifetime, lambda: os._exit(0)).start()
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
