"""Pelbrook's benchmark (started by bench/run).

Pelbrook's engine (pelbrook_engine_harness.exe under Wine) is measured
against ideal figures taken in the same run on the same machine: nginx's own
per-connection limit, the file sizes, and reference_reader.py, which reads one
HTTP response over one loopback socket. Every output file is compared byte for
byte with its source; any difference ends the run with a non-zero status.
"""

import argparse
import datetime
import os
import platform
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import chart

HERE = os.path.dirname(os.path.abspath(__file__))
MIB = 1024 * 1024
GIB = 1024 * MIB
LIMIT_RATE = 4 * MIB  # nginx.conf.in: limit_rate 4m
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")

FILES = {
    "f256m.bin": 256 * MIB,
    "f1g.bin": GIB,
    "f1k.bin": 1024,
    "f1m.bin": MIB,
    "f3m.bin": 3 * MIB,
}


class BenchError(Exception):
    pass


def log(text):
    print(text, flush=True)


def median(values):
    return statistics.median(values)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


# ---------------------------------------------------------------- processes


class Measured:
    def __init__(self):
        self.wall = 0.0
        self.exit_code = None
        self.output = ""
        self.cpu = 0.0
        self.peak_kib = 0
        self.polled_hwm_kib = 0


def _children(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return [int(x) for x in f.read().split()]
    except OSError:
        return []


def _read_hwm(pid):
    try:
        if "wine" not in os.readlink("/proc/%d/exe" % pid):
            return 0
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def run_measured(cmd, env, timeout, poll_hwm=False, keep_errors=False):
    """Runs cmd under /usr/bin/time, with its output in a file.

    CPU and peak resident size come from /usr/bin/time (wait4 of its child).
    They are not taken from this script's own wait4: a child forked from this
    Python process starts with Python's resident size in its record, which
    would hide the peak of anything smaller. With poll_hwm, VmHWM of the Wine
    process is also read from /proc while it runs, as a cross-check.
    """
    result = Measured()
    with tempfile.TemporaryFile() as out, tempfile.NamedTemporaryFile("r") as usage:
        start = time.perf_counter()
        process = subprocess.Popen(["/usr/bin/time", "-o", usage.name, "-f", "rusage %e %U %S %M"] + cmd,
                                   stdin=subprocess.DEVNULL, stdout=out,
                                   stderr=subprocess.STDOUT if keep_errors else subprocess.DEVNULL, env=env)
        expired = threading.Event()

        def expire():
            expired.set()
            for child in _children(process.pid):
                try:
                    os.kill(child, signal.SIGKILL)
                except OSError:
                    pass
            process.kill()

        timer = threading.Timer(timeout, expire)
        timer.start()
        stop = threading.Event()
        poller = None
        if poll_hwm:
            def poll():
                while not stop.is_set():
                    for child in _children(process.pid):
                        result.polled_hwm_kib = max(result.polled_hwm_kib, _read_hwm(child))
                    stop.wait(0.01)
            poller = threading.Thread(target=poll, daemon=True)
            poller.start()
        try:
            process.wait(timeout + 60)
        except subprocess.TimeoutExpired:
            raise BenchError("still running 60 s after it was killed at %d s: %s" % (timeout, " ".join(cmd)))
        finally:
            timer.cancel()
            stop.set()
            if poller is not None:
                poller.join(5)
        result.wall = time.perf_counter() - start
        result.exit_code = process.returncode
        out.seek(0)
        result.output = out.read().decode("utf-8", "replace")
        if expired.is_set():
            raise BenchError("timed out after %d s: %s" % (timeout, " ".join(cmd)))
        fields = None
        for line in usage.read().splitlines():
            if line.startswith("rusage "):
                fields = line.split()
        if fields is None:
            raise BenchError("no usage figures from /usr/bin/time for %s" % " ".join(cmd))
        result.cpu = float(fields[2]) + float(fields[3])
        result.peak_kib = int(fields[4])
    return result


def output_value(text, key):
    for line in text.splitlines():
        if line.startswith(key + "="):
            return line[len(key) + 1:].strip()
    raise BenchError("no %s in output: %r" % (key, text[-400:]))


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, seconds, process):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return True
        except OSError:
            time.sleep(0.05)
    return False


class Nginx:
    def __init__(self, run_dir, files_dir):
        self.run_dir = run_dir
        self.files_dir = files_dir
        self.process = None
        self.port = None

    def start(self):
        os.makedirs(self.run_dir, exist_ok=True)
        with open(os.path.join(HERE, "nginx.conf.in")) as f:
            template = f.read()
        user_line = ""
        if os.geteuid() == 0:
            import pwd
            user_line = "user %s;" % pwd.getpwuid(os.geteuid()).pw_name
        nginx = "/usr/sbin/nginx" if os.path.exists("/usr/sbin/nginx") else "nginx"
        for _ in range(5):
            self.port = free_port()
            text = (template.replace("@USER_LINE@", user_line).replace("@RUN@", self.run_dir)
                    .replace("@FILES@", self.files_dir).replace("@PORT@", str(self.port)))
            conf = os.path.join(self.run_dir, "nginx.conf")
            with open(conf, "w") as f:
                f.write(text)
            self.process = subprocess.Popen(
                [nginx, "-p", self.run_dir, "-c", conf, "-e", os.path.join(self.run_dir, "error.log")],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if wait_for_port(self.port, 15, self.process):
                return
            self.stop()
        raise BenchError("nginx did not start; see %s/error.log" % self.run_dir)

    def stop(self):
        if self.process is None or self.process.poll() is not None:
            return
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(10)

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)


# ---------------------------------------------------------------- the bench


class Bench:
    def __init__(self, args):
        self.args = args
        self.rounds = args.rounds
        self.work = os.path.abspath(args.work)
        self.files = os.path.join(self.work, "files")
        self.shm = tempfile.mkdtemp(prefix="pelbrook-bench-", dir="/dev/shm")
        self.prefix = os.path.join(self.work, "wineprefix")
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all")
        self.nginx = Nginx(os.path.join(self.work, "nginx"), self.files)
        self.wineserver_pid = None

    # -- set-up and tear-down

    def make_files(self):
        os.makedirs(self.files, exist_ok=True)
        for name, size in FILES.items():
            path = os.path.join(self.files, name)
            if os.path.exists(path) and os.path.getsize(path) == size:
                continue
            log("== making %s (%d bytes of random data)" % (name, size))
            with open(path + ".part", "wb") as f:
                left = size
                while left > 0:
                    piece = min(left, 8 * MIB)
                    f.write(os.urandom(piece))
                    left -= piece
            os.replace(path + ".part", path)
        # Into the page cache, so the first round does not pay for the disk.
        for name in FILES:
            with open(os.path.join(self.files, name), "rb") as f:
                while f.read(8 * MIB):
                    pass

    def source(self, name):
        return os.path.join(self.files, name)

    def start_wine(self):
        # A persistent server for this prefix, so no run pays for its start.
        subprocess.run(["wineserver", "-p"], env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60, check=False)
        # The first start of a prefix makes it and starts Wine's own services; none of that is measured.
        for _ in range(2):
            run_measured([self.args.wine_run, self.args.harness, "", windows_path(os.path.join(self.shm, "x")), "1"],
                         self.env, 300)
        stat = os.stat(self.prefix)
        wanted = "server-%x-%x" % (stat.st_dev, stat.st_ino)
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                if os.path.basename(os.readlink("/proc/%s/cwd" % entry)) == wanted:
                    with open("/proc/%s/comm" % entry) as f:
                        if f.read().startswith("wineserver"):
                            self.wineserver_pid = int(entry)
                            break
            except OSError:
                continue
        if self.wineserver_pid is None:
            raise BenchError("cannot find the wineserver of %s" % self.prefix)

    def stop_wine(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60, check=False)

    def wineserver_seconds(self):
        with open("/proc/%d/stat" % self.wineserver_pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS

    def cleanup(self):
        self.nginx.stop()
        self.stop_wine()
        for name in os.listdir(self.shm):
            os.remove(os.path.join(self.shm, name))
        os.rmdir(self.shm)

    # -- single runs

    def pelbrook(self, path, connections, source=None):
        out = os.path.join(self.shm, "out.bin")
        before = self.wineserver_seconds()
        run = run_measured([self.args.wine_run, self.args.harness, "--quiet", "--elapsed", self.nginx.url(path),
                            windows_path(out), str(connections)], self.env, 600, poll_hwm=True)
        server = self.wineserver_seconds() - before
        if run.exit_code != 0:
            raise BenchError("Pelbrook failed (exit %s) on %s with %d connections" % (run.exit_code, path,
                                                                                        connections))
        if source is not None:
            self.verify(source, out, 0, os.path.getsize(source))
        os.remove(out)
        return {"job": float(output_value(run.output, "elapsedSeconds")), "wall": run.wall, "cpu": run.cpu,
                "server": server, "peak": max(run.peak_kib, run.polled_hwm_kib), "exit_peak": run.peak_kib,
                "polled": run.polled_hwm_kib}

    def idle(self):
        run = run_measured([self.args.wine_run, self.args.harness, "--elapsed", "",
                            windows_path(os.path.join(self.shm, "idle.bin")), "1"], self.env, 120, poll_hwm=True)
        if output_value(run.output, "message") != "URL is empty.":
            raise BenchError("the idle run did not end at once: %r" % run.output)
        return {"peak": max(run.peak_kib, run.polled_hwm_kib), "wall": run.wall}

    def thread_probe(self, count, native=False):
        if native:
            run = run_measured([self.args.native_thread_probe, str(count)], os.environ, 120)
        else:
            run = run_measured([self.args.wine_run, self.args.thread_probe, str(count)], self.env, 120,
                               poll_hwm=True)
        if run.exit_code != 0:
            raise BenchError("thread_cost.exe %d failed" % count)
        return {"peak": max(run.peak_kib, run.polled_hwm_kib),
                "start_join": float(output_value(run.output, "startJoinSeconds"))}

    def reference(self, path, source=None, first=0, length=None, head=False):
        out = os.path.join(self.shm, "ref.bin")
        cmd = [sys.executable, os.path.join(HERE, "reference_reader.py")]
        if head:
            cmd += ["--head"]
        elif length is not None:
            cmd += ["--range", "%d-%d" % (first, first + length - 1)]
        cmd += [str(self.nginx.port), path, "-" if head else out]
        run = run_measured(cmd, os.environ, 600, keep_errors=True)
        if run.exit_code != 0:
            raise BenchError("the reference reader failed on %s: %s" % (path, run.output.strip()))
        seconds = float(output_value(run.output.replace(" ", "\n"), "seconds"))
        if not head:
            self.verify(source, out, first, length if length is not None else os.path.getsize(source))
            os.remove(out)
        return {"seconds": seconds, "cpu": run.cpu}

    def verify(self, source, out, first, length):
        if os.path.getsize(out) != length:
            raise BenchError("%s has %d bytes, %d expected (from %s at %d)" % (out, os.path.getsize(out), length,
                                                                                source, first))
        code = subprocess.run(["cmp", "-s", "-i", "0:%d" % first, "-n", str(length), out, source],
                              timeout=300).returncode
        if code != 0:
            raise BenchError("%s differs from %s (bytes %d..%d)" % (out, source, first, first + length - 1))

    def alternate(self, index, first, second):
        """Runs both in turn, Pelbrook first in even rounds, the reference first in odd ones."""
        if index % 2 == 0:
            a = first()
            b = second()
        else:
            b = second()
            a = first()
        return a, b

    # -- scenarios

    def throttled(self, connections):
        name = "f256m.bin"
        size = FILES[name]
        part = size // connections
        pel, ref = [], []
        for i in range(self.rounds):
            a, b = self.alternate(
                i,
                lambda: self.pelbrook("/limited/" + name, connections, source=self.source(name)),
                lambda: self.reference("/limited/" + name, self.source(name), 0, part))
            pel.append(a)
            ref.append(b)
            log("   round %d: Pelbrook %.3f s, one connection for 1/%d %.3f s" % (i + 1, a["job"], connections,
                                                                                 b["seconds"]))
        return {"connections": connections, "size": size, "part": part, "nominal": part / LIMIT_RATE,
                "pel": pel, "ref": ref}

    def unthrottled(self, connections):
        name = "f1g.bin"
        pel, ref = [], []
        for i in range(self.rounds):
            a, b = self.alternate(
                i,
                lambda: self.pelbrook("/files/" + name, connections, source=self.source(name)),
                lambda: self.reference("/files/" + name, self.source(name)))
            pel.append(a)
            ref.append(b)
            log("   round %d: Pelbrook %.3f s (CPU %.2f s + wineserver %.2f s), reference %.3f s" % (
                i + 1, a["job"], a["cpu"], a["server"], b["seconds"]))
        return {"connections": connections, "size": FILES[name], "pel": pel, "ref": ref}

    def memory(self, s1, s2):
        idle = []
        single = []
        for i in range(self.rounds):
            idle.append(self.idle())
            single.append(self.pelbrook("/files/f256m.bin", 1, source=self.source("f256m.bin")))
            log("   round %d: idle %d KiB, 1 connection %d KiB" % (i + 1, idle[-1]["peak"], single[-1]["peak"]))
        no_threads, with_threads, sixteen, sixteen_native = [], [], [], []
        probe_threads = 32
        for i in range(self.rounds):
            no_threads.append(self.thread_probe(0)["peak"])
            with_threads.append(self.thread_probe(probe_threads)["peak"])
            sixteen.append(self.thread_probe(16)["start_join"])
            sixteen_native.append(self.thread_probe(16, native=True)["start_join"])
        per_thread = max(0.0, (median(with_threads) - median(no_threads)) / probe_threads)
        start_join = median(sixteen)
        start_join_native = median(sixteen_native)
        log("   Wine's cost of one idle thread: %.0f KiB; to start and join 16 empty threads: %.1f ms (Linux: "
            "%.2f ms)" % (per_thread, start_join * 1000, start_join_native * 1000))
        idle_kib = median([r["peak"] for r in idle])
        rows = []
        for connections, runs in ((1, single), (16, s1["pel"]), (32, s2["pel"])):
            peak = median([r["peak"] for r in runs])
            polled = max(r["polled"] for r in runs)
            above = max(max(0, r["polled"] - r["exit_peak"]) for r in runs)
            threads = connections if connections > 1 else 0
            growth = (peak - idle_kib) / 1024
            net = growth - threads * per_thread / 1024
            budget = connections * 1 + 8
            rows.append({"connections": connections, "peak": peak, "above": above, "polled": polled,
                         "growth": growth, "threads": threads, "net": net, "budget": budget})
        return {"idle": idle_kib, "per_thread": per_thread, "start_join16": start_join,
                "start_join16_native": start_join_native, "rows": rows}

    def small(self):
        out = []
        for name in ("f1k.bin", "f1m.bin", "f3m.bin"):
            pel, ref, rtt = [], [], []
            for i in range(self.rounds):
                a, b = self.alternate(
                    i,
                    lambda: self.pelbrook("/files/" + name, 16, source=self.source(name)),
                    lambda: (self.reference("/files/" + name, self.source(name)),
                             self.reference("/files/" + name, head=True)))
                pel.append(a)
                ref.append(b[0])
                rtt.append(b[1])
            out.append({"name": name, "size": FILES[name], "pel": pel, "ref": ref, "rtt": rtt})
            log("   %s: Pelbrook %.1f ms, reference %.1f ms + round trip %.1f ms" % (
                name, 1000 * median([r["job"] for r in pel]), 1000 * median([r["seconds"] for r in ref]),
                1000 * median([r["seconds"] for r in rtt])))
        return out

    def run(self):
        load_before = os.getloadavg()
        started = time.monotonic()
        self.make_files()
        self.nginx.start()
        log("== nginx on 127.0.0.1:%d; Wine prefix %s" % (self.nginx.port, self.prefix))
        self.start_wine()
        results = {"load_before": load_before, "rounds": self.rounds}
        log("== 1. throttled, 256 MiB, 16 connections")
        results["s1"] = self.throttled(16)
        log("== 2. throttled, 256 MiB, 32 connections")
        results["s2"] = self.throttled(32)
        log("== 3. unthrottled, 1 GiB into /dev/shm, 16 connections")
        results["s3"] = self.unthrottled(16)
        log("== 3. unthrottled, 1 GiB into /dev/shm, 1 connection")
        results["s3single"] = self.unthrottled(1)
        log("== 4. peak resident memory")
        results["s4"] = self.memory(results["s1"], results["s2"])
        log("== 5. small files, 16 connections")
        results["s5"] = self.small()
        results["load_after"] = os.getloadavg()
        results["minutes"] = (time.monotonic() - started) / 60
        return results


# ---------------------------------------------------------------- report


def fmt_s(seconds):
    if seconds < 1:
        return "%.1f ms" % (seconds * 1000)
    return "%.2f s" % seconds


def verdict(ok):
    return "met" if ok else "missed"


def build_report(results, versions):
    r = results
    s1, s2, s3, s3single, s4, s5 = r["s1"], r["s2"], r["s3"], r["s3single"], r["s4"], r["s5"]
    lines = []
    add = lines.append
    stamp = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    add("Pelbrook benchmark, %s. %s. Medians of %d rounds; Pelbrook and the reference alternate "
        "which goes first. Every output file was compared byte for byte with its source." % (
            stamp, versions, r["rounds"]))
    add("")
    add("| Scenario | Pelbrook | Ideal, measured in the same run | Ratio | Target | Verdict |")
    add("|---|---|---|---|---|---|")
    chart_rows = []
    for number, s in (("1", s1), ("2", s2)):
        pel = median([x["job"] for x in s["pel"]])
        ref = median([x["seconds"] for x in s["ref"]])
        ratio = pel / ref
        add("| %s. Limited to 4 MiB/s per connection, 256 MiB, %d connections | %s | %s (one connection, 1/%d of "
            "the file; nominal %s) | %.2f | within 5%% of the ideal | %s |" % (
                number, s["connections"], fmt_s(pel), fmt_s(ref), s["connections"], fmt_s(s["nominal"]), ratio,
                verdict(ratio <= 1.05)))
        chart_rows.append(("%s. LIMITED, %d CONN." % (number, s["connections"]), ratio))
    for s, label in ((s3, "16 connections"), (s3single, "1 connection")):
        pel = median([x["job"] for x in s["pel"]])
        ref = median([x["seconds"] for x in s["ref"]])
        gib = s["size"] / GIB
        cpu = median([x["cpu"] for x in s["pel"]]) / gib
        server = median([x["server"] for x in s["pel"]]) / gib
        add("| 3. Unthrottled loopback, 1 GiB into /dev/shm, %s | %s (%.0f MiB/s); CPU %.2f s/GiB in the "
            "process + %.2f s/GiB in wineserver | %s (reference reader, one stream, %.0f MiB/s) | %.2f | none "
            "stated | reported |" % (
                label, fmt_s(pel), s["size"] / MIB / pel, cpu, server, fmt_s(ref), s["size"] / MIB / ref,
                pel / ref))
        chart_rows.append(("3. 1 GIB, %s" % label.upper().replace("CONNECTIONS", "CONN.").replace(
            "CONNECTION", "CONN."), pel / ref))
    for row in s4["rows"]:
        ok = row["growth"] <= row["budget"]
        net_ok = row["net"] <= row["budget"]
        if ok:
            word = "met"
        elif net_ok:
            word = "missed under Wine; met without Wine's thread cost"
        else:
            word = "missed"
        add("| 4. Peak memory over idle, %d connection%s | +%.1f MiB (+%.1f MiB without Wine's %d idle "
            "thread%s) | idle: %.1f MiB | | at most %d MiB (1 MiB per worker + 8 MiB) | %s |" % (
                row["connections"], "s" if row["connections"] > 1 else "", row["growth"], row["net"],
                row["threads"], "s" if row["threads"] != 1 else "", s4["idle"] / 1024, row["budget"], word))
    for s in s5:
        pel = median([x["job"] for x in s["pel"]])
        ref = median([x["seconds"] for x in s["ref"]])
        rtt = median([x["seconds"] for x in s["rtt"]])
        add("| 5. Small file %s, 16 connections | %s | %s (reference %s + one round trip %s) | %.1f | none "
            "stated | reported |" % (
                size_name(s["size"]), fmt_s(pel), fmt_s(ref + rtt), fmt_s(ref), fmt_s(rtt), pel / (ref + rtt)))
        chart_rows.append(("5. %s FILE, 16 CONN." % size_name(s["size"]).upper(), pel / (ref + rtt)))
    add("| Against other download programs | not measured (peer programs are not run here) | | | | |")
    main_table = "\n".join(lines[2:]) + "\n"
    add("")
    add("Times are the job's own time (the engine's `RunDownload`, timed inside the harness) against the "
        "reference reader's connect-to-last-byte time; neither includes starting a process. Whole-process "
        "times under Wine and the spread of the rounds are below.")
    add("")
    add("| Measurement | Pelbrook job, median (min-max) | Pelbrook process under Wine | Reference |")
    add("|---|---|---|---|")
    for label, s in (("1. limited, 16 connections", s1), ("2. limited, 32 connections", s2),
                     ("3. 1 GiB, 16 connections", s3), ("3. 1 GiB, 1 connection", s3single)):
        add("| %s | %s | %s | %s (%s-%s) |" % (
            label, spread([x["job"] for x in s["pel"]]), fmt_s(median([x["wall"] for x in s["pel"]])),
            fmt_s(median([x["seconds"] for x in s["ref"]])), fmt_s(min(x["seconds"] for x in s["ref"])),
            fmt_s(max(x["seconds"] for x in s["ref"]))))
    for s in s5:
        add("| 5. %s, 16 connections | %s | %s | %s |" % (
            size_name(s["size"]), spread([x["job"] for x in s["pel"]]),
            fmt_s(median([x["wall"] for x in s["pel"]])), fmt_s(median([x["seconds"] for x in s["ref"]]))))
    add("")
    ref_cpu = median([x["cpu"] for x in s3single["ref"]])
    add("- CPU (scenario 3): user+sys of the harness process and all its threads as `/usr/bin/time` reports "
        "it (it includes the short `wineserver -p` call of `tools/wine-run`), plus the CPU that this prefix's own "
        "wineserver spent during the run, from `/proc/<pid>/stat`. nginx and Wine's idle service processes are "
        "not counted. The reference reader (Python) spends %.2f s/GiB." % (ref_cpu / (s3single["size"] / GIB)))
    add("- Memory (scenario 4): peak resident size of the harness process under Wine, as the kernel recorded it "
        "at exit (`%%M` of `/usr/bin/time`, the process's final VmHWM) or the highest VmHWM read from "
        "`/proc/<pid>/status` while it ran, whichever is larger (a reading while it ran was up to %d KiB above "
        "the record at exit: the kernel keeps these counts per CPU and sums them loosely). Idle is the "
        "same harness given an empty URL, which returns at once. 1 connection is an unthrottled 256 MiB job; "
        "16 and 32 are the runs of scenarios 1 and 2, where all workers are busy at once. Peaks: %s." % (
            max(row["above"] for row in s4["rows"]),
            ", ".join("%d conn. %.1f MiB" % (row["connections"], row["peak"] / 1024) for row in s4["rows"])))
    add("- Wine commits about %.0f KiB of stack for every thread, even one that does nothing (measured here "
        "with bench/thread_cost.cpp: 32 idle threads against none), which Windows does not; the column "
        "\"without Wine's thread cost\" takes that off once per worker thread." % s4["per_thread"])
    add("- Small files (scenario 5): the engine starts all 16 workers however small the file, and Wine needs "
        "%.1f ms to start and join 16 threads that do nothing (bench/thread_cost.cpp), where a Linux build of "
        "the same code needs %.2f ms. Pelbrook also opens two connections (the probe's and the worker's) "
        "where the reference opens one." % (s4["start_join16"] * 1000, s4["start_join16_native"] * 1000))
    add("- Unthrottled (scenario 3): seen with strace and perf, Wine's WinHTTP reads the socket 8 KiB at a "
        "time, whatever size is asked for, with wineserver round trips around each read; that, not the "
        "engine's loop, is where the CPU goes.")
    burst = (s1["nominal"] - median([x["seconds"] for x in s1["ref"]])) * LIMIT_RATE / MIB
    add("- nginx's `limit_rate` lets every request start with a burst (about %.1f MiB here: 1/16 of the file over "
        "one request takes %s, not the nominal %s at 4 MiB/s), so several requests per connection, as "
        "Pelbrook's segments make, beat one long request. With 32 connections those bursts arrive at once "
        "and Wine's receive path, which is bound by CPU on this machine, takes them in more slowly." % (
            burst, fmt_s(median([x["seconds"] for x in s1["ref"]])), fmt_s(s1["nominal"])))
    add("- Load average (1, 5, 15 min) at the start: %s; at the end: %s. The machine has %d cores and may be "
        "shared; the whole run took %.1f minutes." % (
            ", ".join("%.2f" % x for x in r["load_before"]), ", ".join("%.2f" % x for x in r["load_after"]),
            os.cpu_count() or 0, r["minutes"]))
    return "\n".join(lines) + "\n", main_table, chart_rows


def spread(values):
    return "%s (%s-%s)" % (fmt_s(median(values)), fmt_s(min(values)), fmt_s(max(values)))


def size_name(size):
    if size >= GIB:
        return "%d GiB" % (size // GIB)
    if size >= MIB:
        return "%d MiB" % (size // MIB)
    return "%d KiB" % (size // 1024)


def build_chart(chart_rows, s4):
    time_rows = [(label, [(ratio, chart.BLUE, "%.2f" % ratio)], None) for label, ratio in chart_rows]
    memory_rows = []
    for row in s4["rows"]:
        memory_rows.append(("4. MEMORY, %d CONN." % row["connections"],
                            [(row["growth"], chart.BLUE, "+%.1f" % row["growth"]),
                             (row["net"], chart.GREEN, "+%.1f" % row["net"])],
                            row["budget"]))
    memory_max = max(max(r["growth"] for r in s4["rows"]), max(r["budget"] for r in s4["rows"])) * 1.1
    panels = [
        {"title": "TIME / IDEAL (LOWER IS BETTER)", "unit": "RATIO, AXIS CUT AT 4", "rows": time_rows,
         "scale_max": 4.0, "reference": (1.0, "IDEAL")},
        {"title": "PEAK MEMORY OVER IDLE, MIB", "unit": "MIB", "rows": memory_rows, "scale_max": memory_max,
         "legend": [(chart.BLUE, "AS MEASURED UNDER WINE"),
                    (chart.GREEN, "WITHOUT WINE'S COST OF IDLE THREADS"),
                    (chart.ORANGE, "BUDGET: 1 MIB PER WORKER + 8 MIB")]},
    ]
    return chart.draw_chart("PELBROOK BENCHMARK", panels)


README_BEGIN = "<!-- bench table: written by bench/run -->"
README_END = "<!-- end of bench table -->"


def update_readme(path, stamp, table):
    with open(path) as f:
        text = f.read()
    begin = text.find(README_BEGIN)
    end = text.find(README_END)
    if begin < 0 or end < begin:
        print("bench: %s has no benchmark markers; left as it is" % path)
        return
    body = "Latest run (%s, bench/results/bench-%s.md):\n\n%s" % (stamp, stamp, table)
    text = text[:begin + len(README_BEGIN)] + "\n" + body + text[end:]
    with open(path, "w") as f:
        f.write(text)


def versions_text():
    parts = []
    for cmd in (["/usr/lib/wine/wine64", "--version"], ["nginx", "-v"]):
        try:
            done = subprocess.run(cmd, capture_output=True, text=True, timeout=30)
            parts.append((done.stdout + done.stderr).strip().replace("nginx version: ", ""))
        except (OSError, subprocess.TimeoutExpired):
            pass
    parts.append("Linux %s, %d cores" % (platform.release(), os.cpu_count() or 0))
    return ", ".join(p for p in parts if p)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--harness", required=True)
    parser.add_argument("--thread-probe", required=True)
    parser.add_argument("--native-thread-probe", required=True)
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--results", required=True)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--readme", help="README whose marked benchmark table is replaced with this run's")
    args = parser.parse_args()
    if args.rounds < 3:
        parser.error("at least 3 rounds")

    def on_signal(number, frame):
        raise SystemExit("bench: stopped by signal %d" % number)

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGHUP, on_signal)
    bench = Bench(args)
    try:
        results = bench.run()
    except BenchError as error:
        print("bench: FAILED: %s" % error, file=sys.stderr, flush=True)
        return 1
    finally:
        bench.cleanup()

    report, main_table, chart_rows = build_report(results, versions_text())
    os.makedirs(args.results, exist_ok=True)
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    with open(os.path.join(args.results, "latest.md"), "w") as f:
        f.write(report)
    with open(os.path.join(args.results, "bench-%s.md" % stamp), "w") as f:
        f.write(report)
    with open(os.path.join(args.results, "latest.png"), "wb") as f:
        f.write(build_chart(chart_rows, results["s4"]))
    if args.readme:
        update_readme(args.readme, stamp, main_table)
    print()
    print(report)
    print("bench: wrote %s/latest.md, latest.png and bench-%s.md" % (args.results, stamp))
    return 0


if __name__ == "__main__":
    sys.exit(main())
