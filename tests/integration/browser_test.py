#!/usr/bin/env python3
"""Real browser against the real service.

Headless Chromium opens the demo page (web/demo/) from a local origin and lets
it run its automatic mode: echo, certificate listing, a wrong and a right PIN,
a CMS and a raw signature, a shared value stored and read back, the release.
The page writes its outcome into the DOM; this script reads it through the
DevTools protocol (over --remote-debugging-pipe, so no WebSocket client is
needed), verifies both signatures with OpenSSL against the token's
certificate, and checks the service's log.

Everything is isolated: the service runs in fresh folders on free ports
(KESTROVA_PORTS, passed to the page as ?ports=a,b,c) with its own SoftHSM2
token, and the browser has a fresh profile and a throw-away HOME whose NSS
database trusts only the root of this build.

Cases (one per run, chosen with --case):
  local     the page's origin is 127.0.0.1, a local origin: no permission is
            involved, the calls simply go through.
  public    the page's origin is made public (--ip-address-space-overrides);
            the Local Network Access permission ("loopbackNetwork" in the
            DevTools protocol) is granted to it with Browser.grantPermissions,
            as a user's "Allow" or an administrator's policy would. The calls
            go through; the private-network preflight that Chromium before
            version 142 sent first is answered by the service as well (sent
            by this script, since today's Chromium no longer sends one).
  denied    the same public origin with the permission denied: the page must
            show a plain error and the service must see no call at all.
  runscript scripts/run against this build: it makes its token, starts the
            service and the page server, prints what to open, serves the page,
            and Ctrl-C (SIGINT to its process group) stops everything.

Only the Python standard library is used; chromium, openssl and certutil come
from Debian packages (scripts/install-deps).
"""

import argparse
import base64
import fcntl
import functools
import http.client
import http.server
import json
import os
import random
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request

PIN = "735192"       # distinct digits: a leak into the log is easy to spot
BAD_PIN = "999111"
# "+", "=", "&", "%" and non-ASCII survive the trip; the runs of ">" and "?"
# put "+" and "/" into the call's Base64 whatever the alignment.
SIGN_TEXT = "Grüße 王小明: a+b=c & 100% /?# >>>>>?????"
START_CAP = 240      # seconds; only an upper bound for a hang, never an assertion
PAGE_CAP = 300

failures = []


def check(condition, what):
    if condition:
        print(f"ok    {what}")
    else:
        print(f"FAIL  {what}")
        failures.append(what)
    return condition


def fatal(what):
    print(f"FAIL  {what}")
    failures.append(what)
    raise SystemExit(finish())


def finish():
    if failures:
        print(f"\n{len(failures)} check(s) failed:")
        for f in failures:
            print(f"  - {f}")
        return 1
    print("\nall checks passed")
    return 0


# --- ports -------------------------------------------------------------------------


def port_mentioned(port):
    hex_port = f":{port:04X}"
    for name in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(name) as f:
                next(f, None)
                for line in f:
                    fields = line.split()
                    if len(fields) > 1 and fields[1].endswith(hex_port):
                        return True
        except OSError:
            pass
    return False


def bindable(port, family, address):
    s = socket.socket(family, socket.SOCK_STREAM)
    try:
        if family == socket.AF_INET6:
            s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        s.bind((address, port))
        return True
    except OSError:
        return False
    finally:
        s.close()


def free_ports(count, locks):
    """Ports free on 127.0.0.1 and ::1, below the kernel's client range and
    each held by a lock file, as the other black-box tests choose theirs, so
    parallel tests never take the same one."""
    folder = "/tmp/kestrova-itest-ports"
    os.makedirs(folder, exist_ok=True)
    try:
        os.chmod(folder, 0o1777)
    except OSError:
        pass
    ports = []
    rng = random.Random(os.getpid() ^ int(time.time() * 1000))
    for _ in range(5000):
        if len(ports) == count:
            break
        port = rng.randint(20000, 32000)
        if port in ports:
            continue
        fd = os.open(os.path.join(folder, str(port)), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            os.close(fd)
            continue
        if port_mentioned(port) or not bindable(port, socket.AF_INET, "127.0.0.1") \
                or not bindable(port, socket.AF_INET6, "::1"):
            os.close(fd)
            continue
        ports.append(port)
        locks.append(fd)
    if len(ports) != count:
        fatal(f"{count} free ports")
    return ports


def listening(port):
    with socket.socket() as s:
        s.settimeout(5)
        return s.connect_ex(("127.0.0.1", port)) == 0


# --- helpers -------------------------------------------------------------------------


def run(argv, **kw):
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kw)


def wait_until(predicate, cap):
    end = time.monotonic() + cap
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.2)
    return predicate()


def make_token(tool, folder):
    out = run([tool, folder, "--pin", PIN])
    if out.returncode != 0:
        print(out.stdout)
        fatal("the SoftHSM2 token is made (tools/make-test-token)")
    return folder


def make_nssdb(home, root_pem):
    """A HOME whose NSS database trusts the service's root and nothing else."""
    db = os.path.join(home, ".pki", "nssdb")
    os.makedirs(db, mode=0o700)
    for argv in (["certutil", "-N", "-d", f"sql:{db}", "--empty-password"],
                 ["certutil", "-A", "-d", f"sql:{db}", "-n", "ARDEQKestrova Local Root",
                  "-t", "C,,", "-i", root_pem]):
        out = run(argv)
        if out.returncode != 0:
            print(out.stdout)
            fatal(f"NSS database: {' '.join(argv[:2])}")
    listing = run(["certutil", "-L", "-d", f"sql:{db}"]).stdout
    names = [l for l in listing.splitlines()[3:] if l.strip()]
    check(len(names) == 1 and "ARDEQKestrova Local Root" in names[0],
          "the browser's NSS database holds only the built root")


class Service:
    """The real ARDEQKestrova in folders of its own."""

    def __init__(self, bin_dir, root, token, ports):
        self.root = root
        self.log_dir = os.path.join(root, "log")
        env = dict(os.environ)
        folders = {
            "KESTROVA_COMMON_APPDATA": "appdata",
            "KESTROVA_SYSCONF_DIR": "etc",
            "KESTROVA_RUNTIME_DIR": "runtime",
            "TMPDIR": "tmp",
            "HOME": "service-home",
            "XDG_CONFIG_HOME": "config",
            "XDG_RUNTIME_DIR": "runtime",
        }
        for name, sub in folders.items():
            path = os.path.join(root, sub)
            os.makedirs(path, mode=0o700, exist_ok=True)
            env[name] = path
        os.makedirs(self.log_dir, exist_ok=True)
        exchange = os.path.join(root, "exchange")
        os.makedirs(exchange)
        os.makedirs(os.path.join(env["XDG_CONFIG_HOME"], "ARDEQKestrova"))
        with open(os.path.join(env["XDG_CONFIG_HOME"], "ARDEQKestrova", "component.conf"), "w") as f:
            f.write(f"folder = {exchange}\n")
        with open(os.path.join(env["KESTROVA_SYSCONF_DIR"], "ARDEQKestrova.ini"), "w") as f:
            f.write(f"[ARDEQKestrova]\nLog File={self.log_dir}/ARDEQKestrova.txt\nLog Level=5\n")
        env["KESTROVA_COM_REGISTRY"] = os.path.join(bin_dir, "com")
        env["KESTROVA_PORTS"] = "port=" + " ".join(str(p) for p in ports)
        env["SOFTHSM2_CONF"] = os.path.join(token, "softhsm2.conf")
        env["KESTROVA_PKCS11_MODULE"] = "/usr/lib/softhsm/libsofthsm2.so"
        self.output = open(os.path.join(root, "service-output.txt"), "w")
        self.proc = subprocess.Popen([os.path.join(bin_dir, "ARDEQKestrova"), "0"], env=env,
                                     stdin=subprocess.DEVNULL, stdout=self.output,
                                     stderr=subprocess.STDOUT)
        if not wait_until(lambda: "ARDEQKestrova initialization: " in self.log()
                          or self.proc.poll() is not None, START_CAP):
            fatal("the service starts")
        if not check("ARDEQKestrova initialization: Success" in self.log(), "the service serves"):
            raise SystemExit(finish())

    def log(self):
        text = []
        try:
            for name in sorted(os.listdir(self.log_dir)):
                with open(os.path.join(self.log_dir, name), encoding="utf-8", errors="replace") as f:
                    text.append(f.read())
        except OSError:
            pass
        return "".join(text)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=120)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.output.close()
        return self.proc.returncode


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def end_headers(self):
        self.send_header("Cache-Control", "no-store")
        super().end_headers()

    def log_message(self, *args):
        pass


def start_page_server(web_dir, port):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port),
                                             functools.partial(QuietHandler, directory=web_dir))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


# --- DevTools protocol over a pipe ----------------------------------------------------------


class Browser:
    """Chromium with --remote-debugging-pipe: commands go to its fd 3, answers
    come from its fd 4, each message a JSON text ended by a NUL byte."""

    def __init__(self, chromium, home, profile, extra_args, log_path):
        to_child_r, to_child_w = os.pipe()
        from_child_r, from_child_w = os.pipe()
        # Out of the way of 3 and 4 before they are placed there.
        a = fcntl.fcntl(to_child_r, fcntl.F_DUPFD, 100)
        b = fcntl.fcntl(from_child_w, fcntl.F_DUPFD, 100)
        os.close(to_child_r)
        os.close(from_child_w)

        def place():
            os.dup2(a, 3)
            os.dup2(b, 4)

        env = dict(os.environ, HOME=home)
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        argv = [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--disable-quic", "--no-default-browser-check", f"--user-data-dir={profile}",
                "--remote-debugging-pipe", *extra_args, "about:blank"]
        self.log = open(log_path, "w")
        self.proc = subprocess.Popen(argv, env=env, pass_fds=(3, 4, a, b), preexec_fn=place,
                                     stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT,
                                     start_new_session=True)
        os.close(a)
        os.close(b)
        self.out = to_child_w
        self.inp = from_child_r
        self.counter = 0
        self.replies = {}
        self.events = []
        self.closed = False
        self.cv = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        buf = b""
        while True:
            try:
                chunk = os.read(self.inp, 1 << 16)
            except OSError:
                chunk = b""
            if not chunk:
                with self.cv:
                    self.closed = True
                    self.cv.notify_all()
                return
            buf += chunk
            while b"\0" in buf:
                raw, buf = buf.split(b"\0", 1)
                message = json.loads(raw)
                with self.cv:
                    if "id" in message:
                        self.replies[message["id"]] = message
                    else:
                        self.events.append(message)
                    self.cv.notify_all()

    def send(self, method, params=None, session=None, cap=120):
        self.counter += 1
        ident = self.counter
        message = {"id": ident, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self.out, json.dumps(message).encode() + b"\0")
        end = time.monotonic() + cap
        with self.cv:
            while ident not in self.replies:
                if self.closed:
                    fatal(f"the browser answers {method} (it ended)")
                if time.monotonic() > end:
                    fatal(f"the browser answers {method}")
                self.cv.wait(timeout=1)
            reply = self.replies.pop(ident)
        if "error" in reply:
            fatal(f"{method}: {reply['error']}")
        return reply.get("result", {})

    def open_page(self):
        target = self.send("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = self.send("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        self.send("Runtime.enable", session=session)
        self.send("Page.enable", session=session)
        return session

    def evaluate(self, session, expression):
        result = self.send("Runtime.evaluate", {"expression": expression, "returnByValue": True},
                           session=session)
        return result.get("result", {}).get("value")

    def console(self):
        lines = []
        for e in self.events:
            if e.get("method") == "Runtime.consoleAPICalled":
                args = e["params"].get("args", [])
                lines.append("console: " + " ".join(str(a.get("value", a.get("description", ""))) for a in args))
            elif e.get("method") == "Runtime.exceptionThrown":
                lines.append("exception: " + json.dumps(e["params"].get("exceptionDetails", {}))[:500])
        return lines

    def close(self):
        try:
            if self.proc.poll() is None and not self.closed:
                os.write(self.out, json.dumps({"id": 0, "method": "Browser.close"}).encode() + b"\0")
            self.proc.wait(timeout=60)
        except (OSError, subprocess.TimeoutExpired):
            pass
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        # Renderer and helper processes share the browser's session.
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        for fd in (self.out, self.inp):
            try:
                os.close(fd)
            except OSError:
                pass
        self.log.close()


def run_page(browser, url, cap=PAGE_CAP):
    session = browser.open_page()
    browser.send("Page.navigate", {"url": url}, session=session)
    state = ""
    end = time.monotonic() + cap
    while time.monotonic() < end:
        state = browser.evaluate(session, "document.documentElement.dataset.auto || ''") or ""
        if state in ("done", "failed"):
            break
        time.sleep(0.3)
    report_text = browser.evaluate(session, "document.getElementById('auto-report').textContent") or ""
    report = json.loads(report_text) if report_text.strip() else {}
    return session, state, report


# --- verification outside the browser ----------------------------------------------------------


def pem_of(der_b64):
    body = "\n".join(der_b64[i:i + 64] for i in range(0, len(der_b64), 64))
    return f"-----BEGIN CERTIFICATE-----\n{body}\n-----END CERTIFICATE-----\n"


def der_of_pem_file(path):
    out = subprocess.run(["openssl", "x509", "-in", path, "-outform", "DER"], stdout=subprocess.PIPE, check=True)
    return out.stdout


def verify_signatures(report, token, work, key):
    """Both signatures, checked by OpenSSL: the raw one against the token's
    certificate of the chosen key, the CMS one against the token's authority."""
    cert_file = os.path.join(token, f"{key}.crt.pem")
    data = SIGN_TEXT.encode("utf-8")
    data_path = os.path.join(work, "data.txt")
    with open(data_path, "wb") as f:
        f.write(data)

    pure = report.get("pureSign", {})
    if check(pure.get("ok") is True, f"the page made a raw signature (GPKI_PureSign, {key})"):
        check(pure.get("data") == SIGN_TEXT, "the page signed the text it was given")
        check(base64.b64decode(pure.get("certificate", "")) == der_of_pem_file(cert_file),
              f"the page names the token's {key} certificate as signer")
        sig_path = os.path.join(work, "signature.bin")
        with open(sig_path, "wb") as f:
            f.write(base64.b64decode(pure["signature"]))
        pub_path = os.path.join(work, "signer.pub")
        run(["openssl", "x509", "-in", cert_file, "-pubkey", "-noout", "-out", pub_path])
        out = run(["openssl", "dgst", "-sha256", "-verify", pub_path, "-signature", sig_path, data_path])
        check(out.returncode == 0 and "Verified OK" in out.stdout,
              f"openssl dgst -verify accepts the raw signature ({out.stdout.strip()})")
        tampered = os.path.join(work, "tampered.txt")
        with open(tampered, "wb") as f:
            f.write(data + b".")
        out = run(["openssl", "dgst", "-sha256", "-verify", pub_path, "-signature", sig_path, tampered])
        check(out.returncode != 0, "the same signature does not fit other data")

    cms = report.get("signData", {})
    if check(cms.get("ok") is True, f"the page made a CMS signature (GPKI_SignData, {key})"):
        p7s = os.path.join(work, "signature.p7s")
        with open(p7s, "wb") as f:
            f.write(base64.b64decode(cms["signature"]))
        content = os.path.join(work, "content.out")
        out = run(["openssl", "cms", "-verify", "-binary", "-inform", "DER", "-in", p7s,
                   "-CAfile", os.path.join(token, "ca.crt.pem"), "-purpose", "any", "-out", content])
        check(out.returncode == 0, f"openssl cms -verify accepts the SignedData ({out.stdout.strip()})")
        if os.path.exists(content):
            with open(content, "rb") as f:
                check(f.read() == data, "the SignedData carries the UTF-8 bytes of the text")
        signer = os.path.join(work, "signer-from-cms.pem")
        run(["openssl", "cms", "-verify", "-binary", "-inform", "DER", "-in", p7s, "-noverify",
             "-signer", signer, "-out", "/dev/null"])
        if os.path.exists(signer):
            check(der_of_pem_file(signer) == der_of_pem_file(cert_file),
                  f"the SignedData's signer is the token's {key} certificate")


def check_common(report, service, token, work, key, origin):
    echo = report.get("echo", {})
    check(echo.get("ok") is True and echo.get("serverVersion") == "1.0.22.0804",
          f"echo answers the service version ({echo})")
    check(bool(echo.get("libVersion")), "echo answers the adapter version")
    check(re.fullmatch(r"[0-9A-Z]{8}_SID", echo.get("sessionId") or "") is not None,
          "the page holds the session identifier the service made")

    certs = report.get("certificates", {})
    listed = certs.get("list", []) if certs.get("ok") else []
    check(len(listed) == 2, f"the page lists the token's two certificates ({len(listed)})")
    by_serial = {c.get("serial"): c for c in listed}
    check(set(by_serial) == {"0A1B2C3D4E5F6071", "0B1C2D3E4F506172"}, f"serial numbers {sorted(by_serial)}")
    for c in listed:
        check("王小明" in c.get("subject", "") and "Kestrova Test Authority" in c.get("issuer", ""),
              f"subject and issuer of {c.get('serial')} arrive as UTF-8 text")
        check(re.match(r"\d{4}-\d\d-\d\d", c.get("notBefore", "")) is not None
              and re.match(r"\d{4}-\d\d-\d\d", c.get("notAfter", "")) is not None,
              f"validity of {c.get('serial')} ({c.get('notBefore')} .. {c.get('notAfter')})")
    rsa = by_serial.get("0A1B2C3D4E5F6071")
    if rsa:
        check(base64.b64decode(rsa["certificate"]) == der_of_pem_file(os.path.join(token, "rsa.crt.pem")),
              "the listed RSA certificate is the token's")

    check(report.get("pin", {}).get("ok") is True, "the right PIN is accepted")
    verify_signatures(report, token, work, key)

    check(report.get("storeValue", {}).get("ok") is True, "a shared value is stored")
    check(report.get("readValue", {}).get("value") == report.get("expectedValue")
          and "王小明" in (report.get("expectedValue") or ""),
          "the shared value reads back unchanged (UTF-8)")
    check(report.get("release", {}).get("ok") is True, "the page releases its session")

    log = service.log()
    check(f"Origin: {origin}" in log, f"the service saw the page's origin {origin}")
    check(log.count("Generate new session id") == 1,
          f"every call after the first carried the session ({log.count('Generate new session id')} made)")
    check("Release session index: " in log, "the service released the session's adapter")
    check(PIN not in log and BAD_PIN not in log, "no PIN reaches the service's log")
    check(SIGN_TEXT not in log and "王小明 >>>>>" not in log,
          "neither the signed text nor the shared value reaches the service's log (hidden by the client)")
    check("sData: ****" in log or "sData: *" in log, "the log shows the signed text masked")
    check("Request method error" not in log, "the service refused no request of the browser")


# --- cases ---------------------------------------------------------------------------------------------


def case_page(args, case):
    root = tempfile.mkdtemp(prefix=f"kestrova-browser-{case}-")
    locks = []
    service = server = browser = None
    try:
        token = make_token(args.make_token, os.path.join(root, "token"))
        ports = free_ports(5, locks)
        service_ports, page_port, dead_port = ports[:3], ports[3], ports[4]
        service = Service(args.bin_dir, os.path.join(root, "service"), token, service_ports)
        server = start_page_server(args.web_dir, page_port)
        origin = f"http://127.0.0.1:{page_port}"

        home = os.path.join(root, "browser-home")
        make_nssdb(home, os.path.join(args.bin_dir, "ARDEQKestrovaRootEC.pem"))
        extra = []
        if case in ("public", "denied"):
            # The page server counts as a public web site from here on.
            extra.append(f"--ip-address-space-overrides=127.0.0.1:{page_port}=public")
        browser = Browser(args.chromium, home, os.path.join(root, "profile"), extra,
                          os.path.join(root, "chromium.txt"))
        if case == "public":
            # What the user's "Allow" (or the LoopbackNetworkAllowedForUrls
            # policy) gives the site: the loopback-network permission.
            browser.send("Browser.grantPermissions", {"origin": origin, "permissions": ["loopbackNetwork"]})
        elif case == "denied":
            browser.send("Browser.setPermission", {"origin": origin, "permission": {"name": "loopback-network"},
                                                   "setting": "denied"})

        key = "ec" if case == "public" else "rsa"
        # From a public origin the page is first sent to a port nobody
        # serves: the client must go on to the next one.
        page_ports = [dead_port, *service_ports[1:]] if case == "public" else service_ports
        query = {"ports": ",".join(map(str, page_ports)), "auto": "1", "pin": PIN, "text": SIGN_TEXT, "key": key}
        if case == "local":
            query["badpin"] = BAD_PIN
        url = f"{origin}/demo/?{urllib.parse.urlencode(query)}"
        session, state, report = run_page(browser, url)
        screenshot = browser.send("Page.captureScreenshot", {"format": "png", "captureBeyondViewport": True},
                                  session=session)
        with open(os.path.join(root, "page.png"), "wb") as f:
            f.write(base64.b64decode(screenshot["data"]))

        if case == "denied":
            check(state == "failed", f"the page ends its run ({state})")
            echo = report.get("echo", {})
            check(echo.get("ok") is False and echo.get("code") == "blocked",
                  f"the page reports the denied permission as such ({echo.get('code')})")
            shown = browser.evaluate(session, "document.getElementById('msg-service').textContent") or ""
            check("permission" in shown and "local network" in shown,
                  f"the page shows a plain error: {shown[:120]!r}")
            status = browser.evaluate(session, "document.getElementById('status').textContent") or ""
            check(status == "Service not reachable", f"the status says so ({status!r})")
            check("Release Mode" not in service.log() and "Origin: " not in service.log(),
                  "no call reached the service")
        else:
            check(state == "done", f"the page runs every step ({state})")
            if case == "local":
                bad = report.get("badPin", {})
                check(bad.get("ok") is False and bad.get("code") == "61011" and bad.get("detail") == "63008",
                      f"a wrong PIN is refused as 61011 / 63008 ({bad.get('code')} / {bad.get('detail')})")
                check("PIN incorrect" in (bad.get("message") or ""), f"and shown plainly: {bad.get('message')!r}")
            check_common(report, service, token, os.path.join(root, "service"), key, origin)
            if case == "local":
                check_encoding(browser, session)
            if case == "public":
                check(report.get("echo", {}).get("port") == service_ports[1],
                      "the client skips a port without a service and stays with the one that answered")
                legacy_preflight(args, service_ports[0], origin)

        if failures:
            print("\n".join(browser.console()))
            print(json.dumps(report, ensure_ascii=False)[:4000])
    finally:
        if browser:
            browser.close()
        if server:
            server.shutdown()
            server.server_close()
        if service:
            code = service.stop()
            check(code == 0, f"the service ends with exit code 0 ({code})")
        for fd in locks:
            os.close(fd)
        if failures or os.environ.get("KESTROVA_ITEST_KEEP"):
            print(f"kept: {root}")
        else:
            shutil.rmtree(root, ignore_errors=True)


def check_encoding(browser, session):
    """The form body kestrova.js builds in the browser: "+", "/" and "=" of
    the Base64 text percent-encoded, the JSON intact."""
    value = "ü>>>>>?????王"
    result = browser.send("Runtime.evaluate", {
        "expression": f"import('/kestrova.js').then(m => m.encodeCall({{FunctionName: 'x', value: {json.dumps(value)}, n: 5}}))",
        "awaitPromise": True, "returnByValue": True}, session=session)
    body = result.get("result", {}).get("value") or ""
    check(body.startswith("Parameter=") and "%2B" in body and "%2F" in body and "+" not in body
          and "/" not in body, f"kestrova.js percent-encodes the Base64 text ({body[:60]}...)")
    decoded = json.loads(base64.b64decode(urllib.parse.unquote(body[len("Parameter="):])).decode("utf-8"))
    check(decoded == {"FunctionName": "x", "value": value, "n": "5"},
          "and the JSON inside is the call, numbers as texts")


def legacy_preflight(args, port, origin):
    """The private-network preflight Chromium sent before Local Network Access
    (and still the path of older browsers): answered with 204 and the CORS
    headers for the public origin, then the call itself is served."""
    context = ssl.create_default_context(cafile=os.path.join(args.bin_dir, "ARDEQKestrovaRootEC.pem"))
    conn = http.client.HTTPSConnection("localhost", port, context=context, timeout=120)
    conn.request("OPTIONS", "/", headers={
        "Origin": origin,
        "Access-Control-Request-Method": "POST",
        "Access-Control-Request-Private-Network": "true",
    })
    reply = conn.getresponse()
    body = reply.read()
    check(reply.status == 204 and body == b"", f"the private-network preflight gets 204 ({reply.status})")
    check(reply.getheader("Access-Control-Allow-Origin") == origin
          and reply.getheader("Access-Control-Allow-Private-Network") == "true"
          and reply.getheader("Access-Control-Allow-Methods") == "POST",
          "with Allow-Origin, Allow-Private-Network and Allow-Methods")
    conn.close()


def case_runscript(args):
    """scripts/run as a newcomer meets it: output, page, Ctrl-C."""
    root = tempfile.mkdtemp(prefix="kestrova-browser-runscript-")
    locks = []
    proc = None
    try:
        ports = free_ports(4, locks)
        service_ports, page_port = ports[:3], ports[3]
        build_dir = os.path.dirname(args.bin_dir)
        env = dict(os.environ,
                   HOME=os.path.join(root, "home"),
                   KESTROVA_PORTS="port=" + " ".join(map(str, service_ports)),
                   KESTROVA_DEMO_PORT=str(page_port))
        os.makedirs(env["HOME"])
        output_path = os.path.join(root, "run-output.txt")
        output = open(output_path, "w")
        # The lock files only kept other tests off the ports; the script's
        # service needs them free, which they are.
        proc = subprocess.Popen(["bash", args.run_script, build_dir], env=env, stdin=subprocess.DEVNULL,
                                stdout=output, stderr=subprocess.STDOUT, start_new_session=True)

        def text():
            with open(output_path, encoding="utf-8", errors="replace") as f:
                return f.read()

        # The banner ends with the trust advice.
        if not wait_until(lambda: "certutil -A" in text() or "already trusts" in text()
                          or proc.poll() is not None, START_CAP):
            fatal("scripts/run comes up")
        out = text()
        print(out)
        check(proc.poll() is None, "scripts/run keeps running")
        page = f"http://127.0.0.1:{page_port}/demo/?ports={','.join(map(str, service_ports))}"
        check(page in out, "it prints the page's address with the ports")
        check(re.search(r"PIN=\d+", out) is not None, "it prints the demo token's PIN")
        check("certutil -A -d sql:$HOME/.pki/nssdb" in out and "ARDEQKestrovaRootEC.pem" in out,
              "it prints how to trust the root")
        with urllib.request.urlopen(page, timeout=60) as reply:
            check(reply.status == 200 and b"demo.js" in reply.read(), "the page server serves the demo page")
        with urllib.request.urlopen(f"http://127.0.0.1:{page_port}/kestrova.js", timeout=60) as reply:
            check(reply.status == 200 and "javascript" in (reply.getheader("Content-Type") or ""),
                  "and kestrova.js as JavaScript")
        context = ssl.create_default_context(cafile=os.path.join(args.bin_dir, "ARDEQKestrovaRootEC.pem"))
        conn = http.client.HTTPSConnection("localhost", service_ports[0], context=context, timeout=120)
        call = base64.b64encode(json.dumps({"FunctionName": "KestrovaEcho",
                                            "PathID": "5D21A7C94E3B4F08A6C2917E0B4D3F65",
                                            "minServerVersion": "1.0.0.0"}).encode()).decode()
        conn.request("POST", "/", body="Parameter=" + urllib.parse.quote(call, safe=""),
                     headers={"Content-Type": "application/x-www-form-urlencoded",
                              "Origin": f"http://127.0.0.1:{page_port}"})
        answer = json.loads(conn.getresponse().read())
        conn.close()
        check(base64.b64decode(answer.get("result", "")) == b"0", "the service it started answers an echo")

        # Ctrl-C: SIGINT to the whole process group, as a terminal sends it.
        os.killpg(proc.pid, signal.SIGINT)
        try:
            code = proc.wait(timeout=120)
        except subprocess.TimeoutExpired:
            code = None
        check(code == 0, f"Ctrl-C ends scripts/run with exit code 0 ({code})")
        check(wait_until(lambda: not any(listening(p) for p in [*service_ports, page_port]), 60),
              "nothing listens on the service's or the page's ports any more")
        try:
            os.killpg(proc.pid, 0)
            alive = True
        except ProcessLookupError:
            alive = False
        check(not alive, "no process of the run is left")
        check("stopped" in text(), "it says it stopped")
    finally:
        if proc and proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
        for fd in locks:
            os.close(fd)
        if failures or os.environ.get("KESTROVA_ITEST_KEEP"):
            print(f"kept: {root}")
        else:
            shutil.rmtree(root, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--case", required=True, choices=["local", "public", "denied", "runscript"])
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--web-dir", required=True)
    parser.add_argument("--make-token", required=True)
    parser.add_argument("--run-script", required=True)
    parser.add_argument("--chromium", default=shutil.which("chromium") or "chromium")
    args = parser.parse_args()
    if args.case == "runscript":
        case_runscript(args)
    else:
        case_page(args, args.case)
    return finish()


if __name__ == "__main__":
    sys.exit(main())
