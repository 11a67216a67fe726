"""A stand-in release host for the update tests, with nothing on the machine changed.

The test side (`Session`) makes a test CA and server certificates with openssl, copies the harness's
prefix and hands a plan to this same file run as root under `unshare -m -n`. Inside those private
mount and network namespaces the plan side brings loopback up, bind-mounts a hosts file that maps
the release host to 127.0.0.1 and a CA bundle holding the test CA over the system's, and then, step
by step, serves the step's routes over HTTPS on 127.0.0.1:443 and runs the step's command under Wine.
The prefix copy's wineserver starts inside the namespace, so Wine reads that bundle.
"""
import base64
import hashlib
import http.server
import json
import os
import shutil
import signal
import ssl
import subprocess
import sys
import tempfile
import threading

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
HOSTS = ["api.github.com", "github.com"]
FEED_PATH = "/repos/halvard9/tapewright-win/releases/latest"
SYSTEM_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"


# --- test side -------------------------------------------------------------------------------

def _openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, timeout=60,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_certificates(folder):
    """A test CA, a server certificate it signed for the release hosts, and a self-signed one
    for the same names that nothing trusts."""
    san = "subjectAltName=" + ",".join("DNS:" + n for n in HOSTS)
    _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
             "-days", "2", "-subj", "/CN=Tapewright Test CA", cwd=folder)
    _openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr",
             "-subj", "/CN=" + HOSTS[0], cwd=folder)
    with open(os.path.join(folder, "ext.cnf"), "w") as f:
        f.write(san + "\nextendedKeyUsage=serverAuth\n")
    _openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
             "-out", "server.pem", "-days", "2", "-extfile", "ext.cnf", cwd=folder)
    _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "rogue.key", "-out", "rogue.pem",
             "-days", "2", "-subj", "/CN=" + HOSTS[0], "-addext", san, cwd=folder)
    return {name: os.path.join(folder, name) for name in
            ("ca.pem", "server.pem", "server.key", "rogue.pem", "rogue.key")}


def copy_prefix(src, dst):
    """A prefix of its own whose wineserver starts wherever it is first used. The Windows tree is
    hard-linked (Wine does not rewrite those files); the registry and top-level files are copied."""
    subprocess.run(["cp", "-al", os.path.join(src, "drive_c"), os.path.join(dst, "drive_c")], check=True,
                   timeout=120)
    for name in os.listdir(src):
        if name == "drive_c":
            continue
        s, d = os.path.join(src, name), os.path.join(dst, name)
        if os.path.islink(s) or os.path.isdir(s):
            subprocess.run(["cp", "-a", s, d], check=True, timeout=120)
        else:
            shutil.copy2(s, d)


def sha256(data):
    return hashlib.sha256(data).hexdigest().upper()


def feed(tag, assets=(), body="- first\n* second"):
    return json.dumps({"tag_name": tag, "body": body, "assets": [
        {"name": n, "browser_download_url": u, "size": s} for n, u, s in assets]}).encode()


def make_release(folder, x64, arm64):
    """The files tools/release.sh writes for these two executables, as {asset name: bytes}, the
    checksum file included."""
    out = os.path.join(folder, "dist")
    p = subprocess.run([os.path.join(ROOT, "tools", "release.sh"), "--x64", x64, "--arm64", arm64, "--out", out],
                       capture_output=True, timeout=120)
    assert p.returncode == 0, p
    files = {}
    for name in sorted(os.listdir(out)):
        with open(os.path.join(out, name), "rb") as f:
            files[name] = f.read()
    return files


def arm64_build(h):
    """The ARM64 executable that goes into a release beside the x64 one under test."""
    exe = os.environ.get("TWR_ARM64_EXE") or os.path.join(os.path.dirname(h.build_dir.rstrip("/")), "win-arm64",
                                                          "Tapewright.exe")
    if not os.path.exists(exe):
        raise h.Skip("no ARM64 executable at " + exe + " for the release beside the x64 one (tools/build.sh "
                     "makes it)")
    return exe


def route(body=b"", status=200, headers=None):
    return {"status": status, "body": base64.b64encode(body).decode(), "headers": headers or {}}


class Session:
    """Runs steps inside one pair of namespaces; every wait is bounded."""

    def __init__(self, h):
        missing = [t for t in ("unshare", "ip", "openssl") if not shutil.which(t)]
        missing += [] if os.path.exists(SYSTEM_BUNDLE) else [SYSTEM_BUNDLE + " (ca-certificates)"]
        if os.geteuid() != 0 or missing:
            raise h.Skip("needs root, unshare and ip for private namespaces, openssl for the test CA and the "
                         "system CA bundle to add it to; missing: " + (", ".join(missing) or "root"))
        self.h = h
        self.dir = h.scratch()
        self.certs = make_certificates(self.dir)
        self.prefix = os.path.join(self.dir, "prefix")
        os.makedirs(self.prefix)
        copy_prefix(h.prefix, self.prefix)
        self.appdata = os.path.join(self.prefix, os.path.relpath(h.appdata, h.prefix))

    def run(self, steps, timeout=600):
        """steps: dicts with "routes" (path -> route), "args", optional "exe" (unix path), "cert"
        ("server" or "rogue") and "timeout". Returns per step rc, out, err, log and requests."""
        env = dict(self.h._env(None), WINEPREFIX=self.prefix)
        plan = {"env": env, "ca": self.certs["ca.pem"], "certs": self.certs, "appdata": self.appdata,
                "exe": self.h.exe, "steps": steps}
        plan_path = os.path.join(self.dir, "plan.json")
        result_path = os.path.join(self.dir, "result.json")
        with open(plan_path, "w") as f:
            json.dump(plan, f)
        if os.path.exists(result_path):
            os.remove(result_path)
        p = subprocess.run(["unshare", "-m", "-n", "--propagation", "private", sys.executable,
                            os.path.abspath(__file__), plan_path, result_path],
                           capture_output=True, timeout=timeout)
        assert p.returncode == 0 and os.path.exists(result_path), p
        with open(result_path) as f:
            return json.load(f)


# --- namespace side --------------------------------------------------------------------------

class _Handler(http.server.BaseHTTPRequestHandler):
    routes = {}
    requests = []

    def do_GET(self):
        self.requests.append({"path": self.path, "accept": self.headers.get("Accept"),
                              "agent": self.headers.get("User-Agent")})
        r = self.routes.get(self.path)
        if r is None:
            r = route(b"not found", 404)
        body = base64.b64decode(r["body"])
        self.send_response(r["status"])
        for k, v in r["headers"].items():
            self.send_header(k, v)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def _bind(content, target, work):
    path = os.path.join(work, os.path.basename(target))
    with open(path, "w") as f:
        f.write(content)
    subprocess.run(["mount", "--bind", path, target], check=True, timeout=30)


def _serve(cert, key, routes):
    _Handler.routes = routes
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 443), _Handler)
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert, key)
    server.socket = ctx.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def _run_step(plan, step):
    _Handler.requests = []
    kind = step.get("cert", "server")
    server = _serve(plan["certs"][kind + ".pem"], plan["certs"][kind + ".key"], step.get("routes", {}))
    log = os.path.join(plan["appdata"], "twr_diagnostic.log")
    if os.path.exists(log):
        os.remove(log)
    p = subprocess.Popen(["wine", step.get("exe", plan["exe"])] + step["args"], env=plan["env"],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
    try:
        out, err = p.communicate(timeout=step.get("timeout", 90))
        rc = p.returncode
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        out, err = p.communicate()
        rc = "timeout"
    finally:
        server.shutdown()
        server.server_close()
    text = open(log, encoding="utf-8", errors="replace", newline="").read() if os.path.exists(log) else ""
    return {"rc": rc, "out": out.decode("utf-8", "replace"), "err": err.decode("utf-8", "replace"),
            "log": text, "requests": list(_Handler.requests)}


def _main(plan_path, result_path):
    with open(plan_path) as f:
        plan = json.load(f)
    work = tempfile.mkdtemp(prefix="twr-ns-")
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True, timeout=30)
    hosts = open("/etc/hosts").read() + "\n127.0.0.1 " + " ".join(HOSTS) + "\n"
    _bind(hosts, "/etc/hosts", work)
    _bind(open(SYSTEM_BUNDLE).read() + "\n" + open(plan["ca"]).read(), SYSTEM_BUNDLE, work)
    results = []
    try:
        for step in plan["steps"]:
            results.append(_run_step(plan, step))
    finally:
        subprocess.run(["wineserver", "-k"], env=plan["env"], timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(work, ignore_errors=True)
    with open(result_path, "w") as f:
        json.dump(results, f)


if __name__ == "__main__":
    _main(sys.argv[1], sys.argv[2])
