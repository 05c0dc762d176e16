"""Servers and helpers shared by the end-to-end scripts.

Every server listens on 127.0.0.1 on a port picked at run time and is stopped
by the script that started it; every wait here is bounded.
"""

import json
import os
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
# Wine and processes come from tools/winekit.py; found from here, the scripts
# run the same from CTest, tools/package, bench/run or a shell in any folder.
TOOLS = os.path.normpath(os.path.join(HERE, "..", "..", "tools"))
if TOOLS not in sys.path:
    sys.path.insert(0, TOOLS)

import product_texts  # noqa: E402
from product_texts import MAX_CONNECTIONS  # noqa: E402
from winekit import QUIETLY, KitError, stop_process  # noqa: E402 - after the path above
from winekit import wait_until  # noqa: E402,F401 - fault_server.py takes it from here

MIB = 1024 * 1024
SEGMENT = 2 * MIB  # the engine's segment length


# One error class for the tests' own failures and those of the Wine kit.
E2eError = KitError


def require_tools(*names):
    missing = [name for name in names if shutil.which(name) is None and not os.path.exists("/usr/sbin/" + name)]
    if missing:
        raise E2eError("missing tools: %s (tools/test-all installs them)" % ", ".join(missing))


def tool_path(name):
    found = shutil.which(name)
    if found:
        return found
    if os.path.exists("/usr/sbin/" + name):
        return "/usr/sbin/" + name
    raise E2eError("missing tool: %s" % name)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, seconds, process=None):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process is not None and process.poll() is not None:
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return True
        except OSError:
            time.sleep(0.05)
    return False


def workers_for(connections):
    """The engine's worker count: the connections asked for, at most MaxConnections."""
    return min(connections, MAX_CONNECTIONS)


def segment_count(size, connections):
    """How many segments the engine cuts a file of size bytes into: one per 2 MiB
    started, at most four per worker and 64 in all, at least one."""
    workers = workers_for(connections)
    cap = min(4 * workers, 64)
    count = -(-size // SEGMENT)
    return cap if count >= cap else max(count, 1)


# The probe's mode lines, as the engine names them.
ONE_CONNECTION, NO_RANGES, ACCELERATED_PREFIX = product_texts.texts(
    "engine/server_probe.h", "ModeLineOneConnection", "ModeLineNoRanges", "AcceleratedModePrefix")


def accelerated_line(size, connections):
    return ACCELERATED_PREFIX + "%d workers, %d segments, keep-alive reuse (HTTP Range)." % (
        workers_for(connections), segment_count(size, connections))


def make_work_dir(base, prefix):
    os.makedirs(base, exist_ok=True)
    return tempfile.mkdtemp(prefix=prefix, dir=base)


def write_random_file(path, size):
    with open(path, "wb") as f:
        left = size
        while left > 0:
            piece = min(left, 8 * 1024 * 1024)
            f.write(os.urandom(piece))
            left -= piece


def files_equal(a, b):
    if os.path.getsize(a) != os.path.getsize(b):
        return False
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x = fa.read(4 * 1024 * 1024)
            y = fb.read(4 * 1024 * 1024)
            if x != y:
                return False
            if not x:
                return True


def openssl(*args):
    subprocess.run([tool_path("openssl")] + list(args), check=True, timeout=60, **QUIETLY)


def test_ca(folder):
    """The tests' certificate authority, made once per folder: (certificate, key, DER certificate)."""
    paths = tuple(os.path.join(folder, name) for name in ("test-ca.pem", "test-ca-key.pem", "test-ca.der"))
    if not all(os.path.exists(path) for path in paths):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "3650", "-keyout", paths[1],
                "-out", paths[0], "-subj", "/CN=Pelbrook test CA", "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        openssl("x509", "-in", paths[0], "-outform", "der", "-out", paths[2])
    return paths


class Nginx:
    """nginx from a rendered copy of a template (nginx.conf.in here by default).
    With secure, two HTTPS listeners for localhost as well: one with a
    self-signed certificate, one signed by test_ca(ca_dir)."""

    def __init__(self, run_dir, files_dir, slow_rate="1m", ca_dir=None,
                 template=os.path.join(HERE, "nginx.conf.in"), secure=True):
        self.run_dir = run_dir
        self.files_dir = files_dir
        self.slow_rate = slow_rate
        self.template = template
        self.secure = secure
        self.ca = test_ca(ca_dir or run_dir) if secure else None
        self.process = None
        self.http_port = None
        self.https_port = None
        self.trusted_port = None

    def _make_certificates(self):
        run = self.run_dir
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-keyout", run + "/key.pem",
                "-out", run + "/cert.pem", "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost")
        openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", run + "/localhost-key.pem",
                "-out", run + "/localhost.csr", "-subj", "/CN=localhost")
        with open(run + "/localhost.ext", "w") as f:
            f.write("subjectAltName=DNS:localhost\nextendedKeyUsage=serverAuth\n")
        openssl("x509", "-req", "-in", run + "/localhost.csr", "-CA", self.ca[0], "-CAkey", self.ca[1],
                "-CAcreateserial", "-CAserial", run + "/test-ca.srl", "-days", "2",
                "-extfile", run + "/localhost.ext", "-out", run + "/localhost.pem")

    def start(self):
        os.makedirs(self.run_dir, exist_ok=True)
        if self.secure:
            self._make_certificates()
        with open(self.template) as f:
            template = f.read()
        user_line = ""
        if os.geteuid() == 0:
            import pwd
            user_line = "user %s;" % pwd.getpwuid(os.geteuid()).pw_name
        for attempt in range(5):
            self.http_port = free_port()
            if self.secure:
                self.https_port, self.trusted_port = free_port(), free_port()
                if len({self.http_port, self.https_port, self.trusted_port}) < 3:
                    continue
            ports = (self.http_port, self.https_port, self.trusted_port) if self.secure else (self.http_port,)
            text = (template.replace("@USER_LINE@", user_line).replace("@RUN@", self.run_dir)
                    .replace("@FILES@", self.files_dir).replace("@SLOW_RATE@", self.slow_rate)
                    .replace("@HTTP_PORT@", str(self.http_port)).replace("@HTTPS_PORT@", str(self.https_port))
                    .replace("@TRUSTED_PORT@", str(self.trusted_port)))
            conf = os.path.join(self.run_dir, "nginx.conf")
            with open(conf, "w") as f:
                f.write(text)
            self.process = subprocess.Popen(
                [tool_path("nginx"), "-p", self.run_dir, "-c", conf, "-e", os.path.join(self.run_dir, "error.log")],
                **QUIETLY)
            if all(wait_for_port(port, 15, self.process) for port in ports):
                return self
            stop_process(self.process)
        raise E2eError("nginx did not start; see %s/error.log" % self.run_dir)

    def stop(self):
        stop_process(self.process)

    def url(self, path, secure=None):
        """secure: None for plain HTTP, "trusted" or "untrusted" for HTTPS to localhost
        (Wine matches a certificate's DNS names, not its IP addresses)."""
        if secure:
            port = self.trusted_port if secure == "trusted" else self.https_port
            return "https://localhost:%d%s" % (port, path)
        return "http://127.0.0.1:%d%s" % (self.http_port, path)

    def log_lines(self, case):
        """Access-log entries (connection, method, uri, range, status) of URLs ending in "?c=<case>"."""
        entries = []
        path = os.path.join(self.run_dir, "access.log")
        if not os.path.exists(path):
            return entries
        with open(path) as f:
            for line in f:
                fields = line.split()
                if len(fields) < 6 or not fields[3].endswith("?c=" + case):
                    continue
                entries.append({"connection": fields[0], "method": fields[2], "uri": fields[3],
                                "range": fields[4].strip('"'), "status": fields[5]})
        return entries


class FaultServer:
    """fault_server.py in its own process."""

    def __init__(self):
        self.process = None
        self.port = None

    def start(self):
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "fault_server.py"), "--max-seconds", "900"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        ready, _, _ = select.select([self.process.stdout], [], [], 20)
        line = self.process.stdout.readline() if ready else ""
        if not line.startswith("PORT "):
            stop_process(self.process)
            raise E2eError("fault server did not start")
        self.port = int(line.split()[1])
        return self

    def stop(self):
        if self.process is None or self.process.poll() is not None:
            return
        try:
            self.control("/__quit")
        except (OSError, E2eError):
            pass
        try:
            self.process.wait(5)
        except subprocess.TimeoutExpired:
            stop_process(self.process)

    def url(self, case, name, **options):
        query = "&".join("%s=%s" % (k, v) for k, v in options.items())
        return "http://127.0.0.1:%d/%s/%s?%s" % (self.port, case, name, query)

    def control(self, path):
        try:
            with urllib.request.urlopen("http://127.0.0.1:%d%s" % (self.port, path), timeout=10) as answer:
                return answer.read().decode("utf-8")
        except OSError as error:
            raise E2eError("fault server control %s failed: %s" % (path, error))

    def stats(self, case):
        return json.loads(self.control("/__stats?case=" + case))


class DeafListener:
    """A port that listens and never accepts, as on a dead network: with a
    backlog of 0 its queue holds one connection, filled here by one of the
    script's own, and the kernel drops the SYN of every later one, so a
    client's connect hangs until its own time-out. Closed by the script."""

    def __init__(self):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(0)
        self.port = self.listener.getsockname()[1]
        self.filler = socket.create_connection(("127.0.0.1", self.port), timeout=5)
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
            probe.settimeout(1)
            try:
                probe.connect(("127.0.0.1", self.port))
            except socket.timeout:
                return
            except OSError:
                pass
        self.close()
        raise E2eError("a connect to a listener with a full queue did not hang")

    def url(self, name):
        return "http://127.0.0.1:%d/%s" % (self.port, name)

    def close(self):
        self.filler.close()
        self.listener.close()


class Results:
    """Counts checks per case and prints a closing line that ctest's log shows."""

    def __init__(self, seconds=None):
        self.passed = 0
        self.failed = 0
        self.failures = []
        self.deadline = None if seconds is None else time.monotonic() + seconds

    def time_left(self, most):
        """Seconds the next step may take: most, or what is left of the run's own
        time, which ends before ctest's so that a stuck run says where it was."""
        if self.deadline is None:
            return most
        return max(0, min(most, int(self.deadline - time.monotonic())))

    def case(self, name, problems, seconds=None):
        took = "" if seconds is None else " (%.1f s)" % seconds
        if problems:
            self.failed += 1
            self.failures.append(name)
            print("FAIL %s%s" % (name, took))
            for problem in problems:
                print("     - %s" % problem)
        else:
            self.passed += 1
            print("ok   %s%s" % (name, took))
        sys.stdout.flush()

    def finish(self):
        print("%d passed, %d failed" % (self.passed, self.failed))
        if self.failures:
            print("failed: " + ", ".join(self.failures))
        return 0 if self.failed == 0 and self.passed > 0 else 1
