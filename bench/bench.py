"""Pelbrook's benchmark (started by bench/run).

Pelbrook's engine (pelbrook_engine_harness.exe under Wine) is measured in one
run, on the same machine and the same nginx, beside the download programs
people would use instead, run natively as black boxes: aria2c (with its own
split size and with 1 MiB pieces), axel, curl and wget. Beside them stand a
bare WinHTTP reader under Wine (winhttp_floor.exe: what any program on this
WinHTTP pays) and the ideal figures (reference_reader.py, one loopback socket;
nginx's per-connection limit). The order of the programs changes from round
to round. Every output file is compared byte for byte with its source; a
program whose file differs, or that fails, is marked failed and not timed.
An output that differs, or any failure of Pelbrook, ends the run with a
non-zero status; a peer that only exits with an error does not.
"""

import argparse
import datetime
import os
import pickle
import platform
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import chart

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from e2e_support import E2eError, Nginx, windows_path, write_random_file  # noqa: E402

MIB = 1024 * 1024
GIB = 1024 * MIB
LIMIT_RATE = 4 * MIB  # nginx.conf.in: limit_rate 4m
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")

FILES = {
    "f256m.bin": 256 * MIB,
    "f1g.bin": GIB,
    "f1k.bin": 1024,
    "f1m.bin": MIB,
}

# The programs of the comparison, in their first round's order. Peers run natively; Pelbrook and the
# bare WinHTTP reader under Wine.
PROGRAMS = ["pel", "floor", "ref", "aria", "ariak", "axel", "curl", "wget"]
PEERS = ["aria", "ariak", "axel", "curl", "wget"]
MULTI_PEERS = ["aria", "ariak", "axel"]
SINGLE_PEERS = ["curl", "wget"]
ARIA2_MAX_PER_SERVER = 16  # aria2c refuses -x above 16


def label(key, connections=None):
    n = "N" if connections is None else str(connections)
    x = n if connections is None else str(min(connections, ARIA2_MAX_PER_SERVER))
    return {"pel": "Pelbrook (Wine)", "floor": "bare WinHTTP (Wine)", "ref": "ideal",
            "aria": "aria2c -x %s -s %s" % (x, n), "ariak": "aria2c -x %s -s %s -k 1M" % (x, n),
            "axel": "axel -n %s" % n, "curl": "curl -o", "wget": "wget -O"}[key]


class BenchError(E2eError):
    pass


def log(text):
    print(text, flush=True)


def median(values):
    return statistics.median(values)


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


class Child:
    """One program started under /usr/bin/time, with its output in a file.

    CPU and peak resident size come from /usr/bin/time (wait4 of its child).
    They are not taken from this script's own wait4: a child forked from this
    Python process starts with Python's resident size in its record, which
    would hide the peak of anything smaller. With poll_hwm, VmHWM of the Wine
    process is also read from /proc while it runs, as a cross-check. The wall
    time runs from the start to the moment a waiting thread sees the exit, so
    that two children can run side by side and each keeps its own time.
    """

    def __init__(self, cmd, env, poll_hwm=False, keep_errors=False):
        self.cmd = cmd
        self.result = Measured()
        self.out = tempfile.TemporaryFile()
        self.usage = tempfile.NamedTemporaryFile("r")
        self.ended = None
        self.start = time.perf_counter()
        self.process = subprocess.Popen(["/usr/bin/time", "-o", self.usage.name, "-f", "rusage %e %U %S %M"] + cmd,
                                        stdin=subprocess.DEVNULL, stdout=self.out,
                                        stderr=subprocess.STDOUT if keep_errors else subprocess.DEVNULL, env=env)
        self.waiter = threading.Thread(target=self._wait, daemon=True)
        self.waiter.start()
        self.stop = threading.Event()
        self.poller = None
        if poll_hwm:
            self.poller = threading.Thread(target=self._poll, daemon=True)
            self.poller.start()

    def _wait(self):
        self.process.wait()
        self.ended = time.perf_counter()

    def _poll(self):
        while not self.stop.is_set():
            for child in _children(self.process.pid):
                self.result.polled_hwm_kib = max(self.result.polled_hwm_kib, _read_hwm(child))
            self.stop.wait(0.01)

    def _kill(self):
        for child in _children(self.process.pid):
            try:
                os.kill(child, signal.SIGKILL)
            except OSError:
                pass
        self.process.kill()

    def finish(self, timeout):
        """Waits at most timeout seconds (from the start); a child still running then is killed."""
        self.waiter.join(max(0.0, self.start + timeout - time.perf_counter()))
        expired = self.waiter.is_alive()
        if expired:
            self._kill()
            self.waiter.join(10)
        self.stop.set()
        if self.poller is not None:
            self.poller.join(5)
        result = self.result
        result.wall = (self.ended if self.ended is not None else time.perf_counter()) - self.start
        result.exit_code = self.process.returncode
        self.out.seek(0)
        result.output = self.out.read().decode("utf-8", "replace")
        usage = self.usage.read()
        self.out.close()
        self.usage.close()
        if expired:
            raise BenchError("timed out after %d s: %s" % (timeout, " ".join(self.cmd)))
        fields = None
        for line in usage.splitlines():
            if line.startswith("rusage "):
                fields = line.split()
        if fields is None:
            raise BenchError("no usage figures from /usr/bin/time for %s" % " ".join(self.cmd))
        result.cpu = float(fields[2]) + float(fields[3])
        result.peak_kib = int(fields[4])
        return result


def run_measured(cmd, env, timeout, poll_hwm=False, keep_errors=False):
    return Child(cmd, env, poll_hwm, keep_errors).finish(timeout)


def output_value(text, key):
    for line in text.splitlines():
        if line.startswith(key + "="):
            return line[len(key) + 1:].strip()
    raise BenchError("no %s in output: %r" % (key, text[-400:]))


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
        # Peers run with an empty home and no proxy settings, so no personal configuration changes what
        # they do and every request stays on loopback.
        self.peer_home = os.path.join(self.work, "peer-home")
        os.makedirs(self.peer_home, exist_ok=True)
        self.peer_env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
        self.peer_env.update(HOME=self.peer_home, LC_ALL="C")
        self.nginx = Nginx(os.path.join(self.work, "nginx"), self.files, template=os.path.join(HERE, "nginx.conf.in"),
                           secure=False)
        self.wineserver_pid = None
        self.failures = []
        # What ends the run with a non-zero status: an output that differs from its source although its
        # program reported success, and any failure of Pelbrook or of the bench's own readers. A peer that
        # exits with an error (axel now and then dies of a segmentation fault) is marked failed and not timed.
        self.fatal = []

    # -- set-up and tear-down

    def make_files(self):
        os.makedirs(self.files, exist_ok=True)
        for name, size in FILES.items():
            path = os.path.join(self.files, name)
            if os.path.exists(path) and os.path.getsize(path) == size:
                continue
            log("== making %s (%d bytes of random data)" % (name, size))
            write_random_file(path + ".part", size)
            os.replace(path + ".part", path)
        # Into the page cache, so the first round does not pay for the disk.
        for name in FILES:
            with open(os.path.join(self.files, name), "rb") as f:
                while f.read(8 * MIB):
                    pass

    def source(self, name):
        return os.path.join(self.files, name)

    def start_wine(self):
        # The first start of a prefix makes it and starts Wine's own services; none of that is measured.
        run_measured([self.args.wine_run, self.args.harness, "", windows_path(os.path.join(self.shm, "x")), "1"],
                     self.env, 300)
        # Then a server for this prefix (only this bench's own prefix) that stays between runs, however long
        # the peers take in between: no run pays for its start, and its CPU can be read across runs. A server
        # that made the prefix would end three seconds after its last client.
        self.stop_wine()
        subprocess.run(["wineserver", "-p"], env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60, check=False)
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

    def clear_shm(self):
        for name in os.listdir(self.shm):
            os.remove(os.path.join(self.shm, name))

    def cleanup(self):
        self.nginx.stop()
        self.stop_wine()
        self.clear_shm()
        os.rmdir(self.shm)

    # -- one download by one program

    def command(self, key, path, connections, out, size):
        url = self.nginx.url(path)
        n = str(connections)
        x = str(min(connections, ARIA2_MAX_PER_SERVER))
        if key == "pel":
            return [self.args.wine_run, self.args.harness, "--quiet", "--elapsed", url, windows_path(out), n]
        if key == "floor":
            return [self.args.wine_run, self.args.floor, str(self.nginx.http_port), path, windows_path(out), str(size), n]
        if key == "ref":
            return [sys.executable, os.path.join(HERE, "reference_reader.py"), str(self.nginx.http_port), path, out]
        if key in ("aria", "ariak"):
            # --no-conf and -q only keep a personal configuration and the console out of it.
            cmd = ["aria2c", "--no-conf", "-q", "--allow-overwrite=true", "-x", x, "-s", n]
            if key == "ariak":
                cmd += ["-k", "1M"]
            return cmd + ["-d", os.path.dirname(out), "-o", os.path.basename(out), url]
        if key == "axel":
            return ["axel", "-q", "-n", n, "-o", out, url]
        if key == "curl":
            return ["curl", "-q", "-sS", "-f", "-o", out, url]
        if key == "wget":
            return ["wget", "-q", "-O", out, url]
        raise ValueError(key)

    def start(self, key, name, connections, path_prefix="/files/"):
        """Starts one download of files/name; finish() waits for it and judges it."""
        out = os.path.join(self.shm, "%s-%d-%s" % (key, connections, name))
        size = FILES[name]
        wine = key in ("pel", "floor")
        env = self.env if wine else (os.environ if key == "ref" else self.peer_env)
        server_before = self.wineserver_seconds() if wine else 0.0
        child = Child(self.command(key, path_prefix + name, connections, out, size), env, poll_hwm=wine,
                      keep_errors=not wine)
        return (key, name, connections, out, child, server_before)

    def finish(self, started, timeout=600):
        key, name, connections, out, child, server_before = started
        what = "%s, %s, %d connection%s" % (label(key, connections), name, connections,
                                             "s" if connections > 1 else "")
        run = {"ok": False, "error": ""}
        try:
            measured = child.finish(timeout)
            run.update(wall=measured.wall, cpu=measured.cpu, peak=max(measured.peak_kib, measured.polled_hwm_kib),
                       exit_peak=measured.peak_kib, polled=measured.polled_hwm_kib, seconds=measured.wall)
            if key in ("pel", "floor"):
                run["server"] = self.wineserver_seconds() - server_before
            if measured.exit_code != 0:
                run["error"] = "exit status %s %s" % (measured.exit_code, measured.output.strip()[-300:])
            else:
                if key in ("pel", "floor"):
                    run["job"] = float(output_value(measured.output, "elapsedSeconds"))
                elif key == "ref":
                    run["seconds"] = float(output_value(measured.output.replace(" ", "\n"), "seconds"))
                run["error"] = self.differs(self.source(name), out)
                run["ok"] = not run["error"]
                run["differs"] = not run["ok"]
        except BenchError as error:
            run["error"] = str(error)
        for leftover in os.listdir(self.shm):
            if leftover.startswith(os.path.basename(out)):
                os.remove(os.path.join(self.shm, leftover))
        if not run["ok"]:
            self.failures.append("%s: %s" % (what, run["error"]))
            if key not in PEERS or run.get("differs"):
                self.fatal.append(self.failures[-1])
            log("   FAILED: %s: %s" % (what, run["error"]))
        return run

    def download(self, key, name, connections, path_prefix="/files/"):
        return self.finish(self.start(key, name, connections, path_prefix))

    def differs(self, source, out):
        """Empty when out holds exactly the bytes of source, else what is wrong."""
        if not os.path.exists(out):
            return "no output file"
        if os.path.getsize(out) != os.path.getsize(source):
            return "output has %d bytes, %d expected" % (os.path.getsize(out), os.path.getsize(source))
        if subprocess.run(["cmp", "-s", out, source], timeout=300).returncode != 0:
            return "output differs from its source"
        return ""

    def round_trip(self, name):
        run = run_measured([sys.executable, os.path.join(HERE, "reference_reader.py"), "--head",
                            str(self.nginx.http_port), "/files/" + name, "-"], os.environ, 60, keep_errors=True)
        if run.exit_code != 0:
            raise BenchError("the reference reader's HEAD failed: %s" % run.output.strip())
        return float(output_value(run.output.replace(" ", "\n"), "seconds"))

    def idle_peak(self, key):
        """Peak resident size of the program started for nothing: its own idle figure."""
        if key == "pel":
            run = run_measured([self.args.wine_run, self.args.harness, "--elapsed", "",
                                windows_path(os.path.join(self.shm, "idle.bin")), "1"], self.env, 120, poll_hwm=True)
            if output_value(run.output, "message") != "URL is empty.":
                raise BenchError("the idle run did not end at once: %r" % run.output)
        elif key == "floor":
            run = run_measured([self.args.wine_run, self.args.floor], self.env, 120, poll_hwm=True)
        else:
            program = {"aria": "aria2c", "ariak": "aria2c", "axel": "axel"}[key]
            run = run_measured([program, "--version"], self.peer_env, 60)
        return max(run.peak_kib, run.polled_hwm_kib)

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

    # -- scenarios

    @staticmethod
    def ordered(tasks, index):
        """Round index's order: the list turned by index places, and reversed in odd rounds."""
        turn = index % len(tasks)
        tasks = tasks[turn:] + tasks[:turn]
        return tasks[::-1] if index % 2 else tasks

    def throttled(self):
        """Scenario 1: 256 MiB at 4 MiB/s per connection, 16 and 32 connections.

        curl and wget use one connection whatever the count, so they run once per round for both counts,
        side by side (8 MiB/s in all; each is held to its connection's 4 MiB/s by nginx, not by the machine):
        one at a time they would take two minutes a round."""
        name = "f256m.bin"
        runs = {n: {key: [] for key in PROGRAMS} for n in (16, 32)}
        single = {key: [] for key in SINGLE_PEERS}

        def one(key, n):
            def task():
                if key == "ref":
                    # The ideal: one connection for 1/n of the file, read whole by one plain reader.
                    part = FILES[name] // n
                    child = Child([sys.executable, os.path.join(HERE, "reference_reader.py"), "--range",
                                   "0-%d" % (part - 1), str(self.nginx.http_port), "/limited/" + name,
                                   os.path.join(self.shm, "ref.bin")], os.environ, keep_errors=True)
                    done = child.finish(300)
                    if done.exit_code != 0:
                        raise BenchError("the reference reader failed: %s" % done.output.strip())
                    if subprocess.run(["cmp", "-s", "-n", str(part), os.path.join(self.shm, "ref.bin"),
                                       self.source(name)], timeout=120).returncode != 0:
                        raise BenchError("the reference reader's output differs from its source")
                    os.remove(os.path.join(self.shm, "ref.bin"))
                    runs[n]["ref"].append({"ok": True, "seconds": float(output_value(
                        done.output.replace(" ", "\n"), "seconds"))})
                    return "ideal/%d %.2f s" % (n, runs[n]["ref"][-1]["seconds"])
                run = self.download(key, name, n, "/limited/")
                runs[n][key].append(run)
                return "%s %s" % (label(key, n), fmt_run(run))
            return task

        def pair():
            started = [self.start(key, name, 1, "/limited/") for key in SINGLE_PEERS]
            done = [self.finish(s, 300) for s in started]
            for key, run in zip(SINGLE_PEERS, done):
                single[key].append(run)
            return ", ".join("%s %s" % (key, fmt_run(run)) for key, run in zip(SINGLE_PEERS, done))

        tasks = [one(key, n) for n in (16, 32) for key in ("pel", "floor", "ref", "aria", "ariak", "axel")]
        tasks.append(pair)
        for i in range(self.rounds):
            notes = [task() for task in self.ordered(tasks, i)]
            log("   round %d: %s" % (i + 1, "; ".join(notes)))
        for n in (16, 32):
            runs[n].update(single)
        return {n: {"connections": n, "size": FILES[name], "part": FILES[name] // n,
                    "nominal": FILES[name] / n / LIMIT_RATE, "runs": runs[n]} for n in (16, 32)}

    def unthrottled(self):
        """Scenario 2: 1 GiB unthrottled into /dev/shm, 16 connections (one for curl, wget and the ideal)."""
        name = "f1g.bin"
        runs = {key: [] for key in PROGRAMS}
        counts = {key: (1 if key in ("curl", "wget", "ref") else 16) for key in PROGRAMS}
        for i in range(self.rounds):
            notes = []
            for key in self.ordered(PROGRAMS, i):
                run = self.download(key, name, counts[key])
                runs[key].append(run)
                cpu = ""
                if run["ok"]:
                    cpu = " CPU %.2f s%s" % (run["cpu"], " + wineserver %.2f s" % run["server"] if "server" in run
                                                else "")
                notes.append("%s %s%s" % (key, fmt_run(run), cpu))
            log("   round %d: %s" % (i + 1, "; ".join(notes)))
        return {"size": FILES[name], "runs": runs, "counts": counts}

    def memory(self, s1):
        """Scenario 3: peak resident memory of the runs of scenario 1 over each program's own idle figure."""
        idle = {key: [] for key in ("pel", "floor", "aria", "axel")}
        for i in range(self.rounds):
            for key in self.ordered(list(idle), i):
                idle[key].append(self.idle_peak(key))
        idle = {key: median(values) for key, values in idle.items()}
        idle["ariak"] = idle["aria"]
        log("   idle peaks: %s" % ", ".join("%s %d KiB" % (k, v) for k, v in idle.items()))
        no_threads, with_threads, sixteen, sixteen_native = [], [], [], []
        probe_threads = 32
        for i in range(self.rounds):
            no_threads.append(self.thread_probe(0)["peak"])
            with_threads.append(self.thread_probe(probe_threads)["peak"])
            sixteen.append(self.thread_probe(16)["start_join"])
            sixteen_native.append(self.thread_probe(16, native=True)["start_join"])
        per_thread = max(0.0, (median(with_threads) - median(no_threads)) / probe_threads)
        log("   Wine's cost of one idle thread: %.0f KiB; to start and join 16 empty threads: %.1f ms (Linux: "
            "%.2f ms)" % (per_thread, median(sixteen) * 1000, median(sixteen_native) * 1000))
        rows = {}
        for n in (16, 32):
            row = {"connections": n, "growth": {}, "peak": {}}
            above = 0
            for key in ("pel", "floor") + tuple(MULTI_PEERS):
                good = [r for r in s1[n]["runs"][key] if r["ok"]]
                if not good:
                    continue
                row["peak"][key] = median([r["peak"] for r in good])
                row["growth"][key] = (row["peak"][key] - idle[key]) / 1024
                if key == "pel":
                    above = max(max(0, r["polled"] - r["exit_peak"]) for r in good)
            row["above"] = above
            row["threads"] = n
            if "pel" in row["growth"]:
                row["net"] = row["growth"]["pel"] - n * per_thread / 1024
            peers = [row["growth"][k] for k in MULTI_PEERS if k in row["growth"]]
            if peers:
                row["best_peer"] = min(peers)
                row["best_peer_key"] = min((row["growth"][k], k) for k in MULTI_PEERS if k in row["growth"])[1]
                row["budget"] = row["best_peer"] + n
            rows[n] = row
        return {"idle": idle, "per_thread": per_thread, "start_join16": median(sixteen),
                "start_join16_native": median(sixteen_native), "rows": rows}

    def small(self):
        """Scenario 4: small files, Pelbrook at 16 connections against curl and aria2c (and the ideal)."""
        out = {}
        for name in ("f1k.bin", "f1m.bin"):
            runs = {key: [] for key in ("pel", "curl", "aria", "ref")}
            rtt = []
            for i in range(self.rounds):
                for key in self.ordered(list(runs), i):
                    runs[key].append(self.download(key, name, 1 if key in ("curl", "ref") else 16))
                rtt.append(self.round_trip(name))
            out[name] = {"size": FILES[name], "runs": runs, "rtt": rtt}
            log("   %s: %s" % (name, "; ".join("%s %s" % (key, fmt_run(median_run(runs[key]))) for key in runs)))
        return out

    def run(self):
        load_before = os.getloadavg()
        started = time.monotonic()
        self.make_files()
        self.nginx.start()
        log("== nginx on 127.0.0.1:%d; Wine prefix %s" % (self.nginx.http_port, self.prefix))
        self.start_wine()
        results = {"load_before": load_before, "rounds": self.rounds}
        log("== 1. limited to 4 MiB/s per connection, 256 MiB, 16 and 32 connections")
        results["s1"] = self.throttled()
        log("== 2. unthrottled, 1 GiB into /dev/shm, 16 connections (1 for curl and wget)")
        results["s2"] = self.unthrottled()
        log("== 3. peak resident memory over idle")
        results["s3"] = self.memory(results["s1"])
        log("== 4. small files, 16 connections")
        results["s4"] = self.small()
        results["load_after"] = os.getloadavg()
        results["minutes"] = (time.monotonic() - started) / 60
        results["failures"] = self.failures
        results["stamp"] = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
        results["fatal"] = self.fatal
        return results


# ---------------------------------------------------------------- report


def fmt_s(seconds):
    if seconds < 1:
        return "%.1f ms" % (seconds * 1000)
    return "%.2f s" % seconds


def fmt_run(run):
    if run is None:
        return "failed"
    return fmt_s(run["seconds"]) if run["ok"] else "FAILED"


def good(runs):
    return [r for r in runs if r["ok"]]


def median_of(runs, field="seconds"):
    """Median of the runs that succeeded, or None when none did."""
    values = [r[field] for r in good(runs)]
    return median(values) if values else None


def median_run(runs):
    ok = good(runs)
    if not ok:
        return None
    ok = sorted(ok, key=lambda r: r["seconds"])
    return ok[(len(ok) - 1) // 2]


def spread(runs, field="seconds"):
    values = [r[field] for r in good(runs)]
    if not values:
        return "FAILED in every round"
    text = "%s (%s-%s)" % (fmt_s(median(values)), fmt_s(min(values)), fmt_s(max(values)))
    failed = len(runs) - len(values)
    if failed:
        text += ", FAILED in %d of %d rounds" % (failed, len(runs))
    return text


def time_cell(runs, field="seconds"):
    value = median_of(runs, field)
    if value is None:
        return "FAILED"
    failed = len(runs) - len(good(runs))
    return fmt_s(value) + (" (FAILED in %d of %d)" % (failed, len(runs)) if failed else "")


def size_name(size):
    if size >= GIB:
        return "%d GiB" % (size // GIB)
    if size >= MIB:
        return "%d MiB" % (size // MIB)
    return "%d KiB" % (size // 1024)


def analyse(results):
    """Verdicts and the figures the notes and the chart share."""
    r = results
    a = {"s1": {}, "s3": {}}
    for n in (16, 32):
        runs = r["s1"][n]["runs"]
        pel_wall = median_of(runs["pel"], "wall")
        pel_job = median_of(runs["pel"], "job")
        peers = {k: median_of(runs[k]) for k in MULTI_PEERS if median_of(runs[k]) is not None}
        best = min(peers.items(), key=lambda kv: kv[1]) if peers else None
        ok_wall = pel_wall is not None and best is not None and pel_wall <= best[1]
        ok_job = pel_job is not None and best is not None and pel_job <= best[1]
        a["s1"][n] = {"pel_wall": pel_wall, "pel_job": pel_job, "best": best, "ok": ok_wall, "ok_job": ok_job}
    s2 = r["s2"]
    gib = s2["size"] / GIB
    runs = s2["runs"]
    b = {"pel": median_of(runs["pel"], "wall"), "pel_job": median_of(runs["pel"], "job"),
         "floor": median_of(runs["floor"], "wall"), "floor_job": median_of(runs["floor"], "job"),
         "curl": median_of(runs["curl"], "wall")}
    for key in PROGRAMS:
        b["cpu_" + key] = median_of(runs[key], "cpu")
        if b["cpu_" + key] is not None:
            b["cpu_" + key] /= gib
    for key in ("pel", "floor"):
        b["server_" + key] = median_of(runs[key], "server")
        if b["server_" + key] is not None:
            b["server_" + key] /= gib
    a["s2"] = b
    for n, row in r["s3"]["rows"].items():
        if "net" in row and "budget" in row:
            a["s3"][n] = {"ok": row["growth"]["pel"] <= row["budget"], "ok_net": row["net"] <= row["budget"]}
    return a


def gap_text(b):
    """Scenario 2's verdict: Pelbrook's distance to curl, split at the bare WinHTTP reader's time."""
    gap = b["pel"] - b["curl"]
    text = "%.1fx curl's time, %s more; " % (b["pel"] / b["curl"], fmt_s(gap))
    if b["pel"] <= b["floor"]:
        return text + ("all of it is Wine's: the bare WinHTTP reader at 16 connections takes %s, %s more than "
                       "Pelbrook" % (fmt_s(b["floor"]), fmt_s(b["floor"] - b["pel"])))
    return text + ("%s of it is Wine's (the bare WinHTTP reader at 16 connections takes %s) and %s Pelbrook's own"
                   % (fmt_s(b["floor"] - b["curl"]), fmt_s(b["floor"]), fmt_s(b["pel"] - b["floor"])))


def build_report(results, versions):
    r = results
    s1, s2, s3, s4 = r["s1"], r["s2"], r["s3"], r["s4"]
    a = analyse(r)
    lines = []
    add = lines.append
    stamp = datetime.datetime.strptime(r["stamp"], "%Y%m%d-%H%M%S").strftime("%Y-%m-%d %H:%M")
    add("Pelbrook benchmark, %s. %s. Pelbrook's engine runs under Wine (through the engine harness); aria2c, "
        "axel, curl and wget run natively on Linux, as black boxes, against the same nginx on loopback. Medians "
        "of %d rounds, the order of the programs changing from round to round; times are whole-process wall "
        "times unless marked \"job\". Every output was compared byte for byte with its source; %s. Load average "
        "%s at the start, %s at the end: above the core count, other work shared the machine and the figures "
        "are noisy." % (
            stamp, versions, r["rounds"],
            "every program that reported success delivered its source exactly" if not r["fatal"] else
            "%d output(s) DIFFERED or Pelbrook failed (listed at the end)" % len(r["fatal"]),
            "/".join("%.1f" % x for x in r["load_before"]), "/".join("%.1f" % x for x in r["load_after"])))
    add("")
    add("| Scenario | Pelbrook (Wine) | aria2c -x N -s N | aria2c -x N -s N -k 1M | axel -n N | curl -o | wget -O "
        "| Ideal (reference only) | Target | Verdict |")
    add("|---|---|---|---|---|---|---|---|---|---|")
    for n in (16, 32):
        s = s1[n]
        runs = s["runs"]
        v = a["s1"][n]
        if v["best"] is None or v["pel_wall"] is None:
            word = "missed (a program failed)"
        elif v["ok"]:
            word = "met (%.2f of the best peer, %s)" % (v["pel_wall"] / v["best"][1], label(v["best"][0], n))
        elif v["ok_job"]:
            word = ("missed by the whole process (%.2f of %s), met by the job's own time (%.2f): the gap is "
                    "Wine's start" % (v["pel_wall"] / v["best"][1], label(v["best"][0], n), v["pel_job"] /
                                      v["best"][1]))
        else:
            word = "missed (%.2f of the best peer, %s)" % (v["pel_wall"] / v["best"][1], label(v["best"][0], n))
        aria, ariak = time_cell(runs["aria"]), time_cell(runs["ariak"])
        if n > ARIA2_MAX_PER_SERVER:
            aria += " (-x 16: its most)"
            ariak += " (-x 16)"
        add("| 1. Limited to 4 MiB/s per connection, 256 MiB, %d connections | %s (job %s) | %s | %s | %s | %s | "
            "%s | %s (1/%d of the file over one connection; nominal %s) | no slower than the best of aria2c and "
            "axel | %s |" % (
                n, time_cell(runs["pel"], "wall"), time_cell(runs["pel"], "job"), aria, ariak,
                time_cell(runs["axel"]), time_cell(runs["curl"]) + " (1 connection; same runs at 16 and 32)",
                time_cell(runs["wget"]) + " (1 connection; same runs at 16 and 32)", time_cell(runs["ref"]), n,
                fmt_s(s["nominal"]), word))
    b = a["s2"]
    runs = s2["runs"]

    def cpu_cell(key):
        if median_of(runs[key], "wall") is None:
            return "FAILED"
        return "%s, CPU %.2f s/GiB" % (time_cell(runs[key], "wall"), b["cpu_" + key])

    gap = b["pel"] / b["curl"] if b["pel"] and b["curl"] else None
    pel_cell = "FAILED"
    if b["pel"] is not None:
        pel_cell = "%s (job %s), CPU %.2f s/GiB (%.2f in its process + %.2f in wineserver)" % (
            time_cell(runs["pel"], "wall"), time_cell(runs["pel"], "job"), b["cpu_pel"] + b["server_pel"],
            b["cpu_pel"], b["server_pel"])
    add("| 2. Unthrottled, 1 GiB into /dev/shm, 16 connections (curl and wget 1) | %s | %s | %s | %s | %s | %s | "
        "%s (one socket) | report the gap to curl and how much of it is Wine's | %s |" % (
            pel_cell, cpu_cell("aria"), cpu_cell("ariak"), cpu_cell("axel"), cpu_cell("curl"),
            cpu_cell("wget"), time_cell(runs["ref"]),
            gap_text(b) if gap and b["floor"] else "a program failed"))
    for n in (16, 32):
        row = s3["rows"][n]
        g = row["growth"]

        def mem(key):
            return "+%.1f MiB" % g[key] if key in g else "FAILED"

        if n in a["s3"]:
            v = a["s3"][n]
            word = ("met" if v["ok"] else "missed under Wine; met without Wine's thread cost" if v["ok_net"]
                    else "missed, with and without Wine's thread cost")
            budget = "at most %.1f MiB (best peer, %s, + 1 MiB per worker)" % (row["budget"],
                                                                                label(row["best_peer_key"], n))
            pel = "%s (+%.1f MiB without Wine's thread cost)" % (mem("pel"), row["net"])
        else:
            word, budget, pel = "missed (a program failed)", "", mem("pel")
        add("| 3. Peak memory over idle, %d connections | %s | %s | %s | %s | not compared | not compared | | %s "
            "| %s |" % (n, pel, mem("aria"), mem("ariak"), mem("axel"), budget, word))
    for name, s in s4.items():
        runs = s["runs"]
        ideal = median_of(runs["ref"])
        rtt = median(s["rtt"])
        add("| 4. Small file %s, 16 connections (curl 1) | %s (job %s) | %s | | | %s | | %s (one socket, %s, + one "
            "round trip, %s) | report | reported |" % (
                size_name(s["size"]), time_cell(runs["pel"], "wall"), time_cell(runs["pel"], "job"),
                time_cell(runs["aria"]), time_cell(runs["curl"]),
                fmt_s(ideal + rtt) if ideal is not None else "FAILED", fmt_s(ideal) if ideal is not None else "-",
                fmt_s(rtt)))
    main_table = "\n".join(lines[2:]) + "\n"

    add("")
    add("Spread of the rounds, median (min-max):")
    add("")
    add("| Program | 1. limited, 16 conn. | 1. limited, 32 conn. | 2. 1 GiB | 4. 1 KiB | 4. 1 MiB |")
    add("|---|---|---|---|---|---|")
    for key in PROGRAMS:
        cells = [spread(s1[n]["runs"][key]) for n in (16, 32)]
        cells.append(spread(s2["runs"][key]))
        for name in ("f1k.bin", "f1m.bin"):
            cells.append(spread(s4[name]["runs"][key]) if key in s4[name]["runs"] else "")
        add("| %s | %s |" % (label(key), " | ".join(cells)))
        if key in ("pel", "floor"):
            cells = [spread(s1[n]["runs"][key], "job") for n in (16, 32)] + [spread(s2["runs"][key], "job")]
            if key == "pel":
                cells += [spread(s4[name]["runs"]["pel"], "job") for name in ("f1k.bin", "f1m.bin")]
            else:
                cells += ["", ""]
            add("| %s, job's own time | %s |" % (label(key), " | ".join(cells)))
    add("")
    small = s4["f1k.bin"]["runs"]["pel"]
    start_cost = (median_of(small, "wall") or 0) - (median_of(small, "job") or 0)
    add("- Where they run: Pelbrook and the bare WinHTTP reader are Windows programs and run under Wine; "
        "aria2c, axel, curl and wget run natively. Pelbrook's whole-process time includes starting and ending a "
        "Wine process (%s for the 1 KiB file: %s in all against a job of %s), which the natively run peers do "
        "not pay; its job time is `RunDownload` alone, timed inside the harness." % (
            fmt_s(start_cost), fmt_s(median_of(small, "wall") or 0), fmt_s(median_of(small, "job") or 0)))
    cpu_parts = []
    for n in (16, 32):
        runs = s1[n]["runs"]
        items = []
        for key in ("pel", "floor") + tuple(MULTI_PEERS):
            cpu = median_of(runs[key], "cpu")
            if cpu is None:
                continue
            server = median_of(runs[key], "server") if key in ("pel", "floor") else None
            items.append("%s %.2f s%s" % (label(key, n), cpu, " + %.2f s wineserver" % server if server is not None
                                           else ""))
        cpu_parts.append("%d connections: %s" % (n, ", ".join(items)))
    add("- CPU of one run of scenario 1 (user+sys; for Wine programs also the wineserver's share): %s. Under "
        "Wine each connection's bytes cost wineserver round trips (below), so on a busy machine Pelbrook's pace "
        "at 32 connections is set by the CPU it gets, as the bare WinHTTP reader's is." % "; ".join(cpu_parts))
    add("- aria2c takes at most 16 connections to one server (`-x` above 16 is refused), so at 32 it runs as "
        "`-x 16 -s 32`. Its default split size (20 MiB) is what users get; `-k 1M` lets it cut the file finer. "
        "curl and wget use one connection whatever the count: in scenario 1 one run of each serves both counts, "
        "and the two run side by side (each held to its connection's 4 MiB/s by nginx, 8 MiB/s in all, far "
        "below what the machine moves), which keeps a round near one minute rather than two. All peers get an "
        "empty HOME and no proxy settings.")
    d1 = s1[16]
    burst = (d1["nominal"] - (median_of(d1["runs"]["ref"]) or d1["nominal"])) * LIMIT_RATE / MIB
    add("- The ideal is not a bound: nginx's `limit_rate` lets every request start with a burst (about %.1f MiB "
        "here: 1/16 of the file over one request takes %s, not the nominal %s at 4 MiB/s), so a program that "
        "makes several requests per connection, as Pelbrook's segments and aria2c's and axel's pieces do, can "
        "beat one long request per connection. The yardstick of scenario 1 is the best peer." % (
            burst, fmt_s(median_of(d1["runs"]["ref"]) or 0), fmt_s(d1["nominal"])))
    add("- The bare WinHTTP reader (bench/winhttp_floor.cpp) is the least a program on this WinHTTP can do: one "
        "ranged GET per connection for an equal share, 1 MiB reads into its own file handle, nothing else. Under "
        "Wine it shows the platform's cost apart from Pelbrook's own.")
    add("- CPU (scenario 2): user+sys from `/usr/bin/time` for each program; for Pelbrook and the bare reader, "
        "plus the CPU this Wine prefix's wineserver spent during the run (`/proc/<pid>/stat`). Bare WinHTTP "
        "reader: %.2f s/GiB in its process + %.2f s/GiB in wineserver. nginx is not counted for anyone." % (
            b["cpu_floor"] or 0, b["server_floor"] or 0))
    add("- Where the time goes under Wine (Wine 8.0, measured by hand on this machine with `strace -f` and "
        "`perf record` on one unthrottled 256 MiB download, 1 and 16 connections): Wine's WinHTTP reads the "
        "socket 8 KiB at a time however much is asked for (32,768 `recvmsg` of 8,192 bytes for 256 MiB) and "
        "makes two wineserver requests around each read (66,548 64-byte writes to the server's pipe; the "
        "wineserver answers with about 67,000 reads, writes and `epoll_ctl` calls each); WinHttpReadData still "
        "hands the engine full 1 MiB buffers (256 writes of 1 MiB to the file). Of the process's CPU samples, "
        "78% are in the kernel (18% in task switching alone), 11% in libc and 4% in Wine's ntdll; the "
        "engine's own code has none of the 7,000 samples. The bare WinHTTP reader shows the same counts, read "
        "for read. So the gap to curl is Wine's, and what stands between Pelbrook and the bare reader is not "
        "its code's CPU (Pelbrook makes 64 ranged requests and a HEAD where the bare reader makes 16 requests) "
        "but the extra requests and the noise of a shared machine (see the spread of the rounds).")
    idle = s3["idle"]
    add("- Memory (scenario 3): peak resident size (`%%M` of `/usr/bin/time`, the final VmHWM; for Wine "
        "processes also the highest VmHWM read from /proc while they ran, which was up to %d KiB above) of the runs "
        "of scenario 1, less the same program's idle peak: Pelbrook's harness given an empty URL (%.1f MiB), "
        "the bare reader given no arguments (%.1f MiB), `aria2c --version` (%.1f MiB), `axel --version` "
        "(%.1f MiB). Wine commits about %.0f KiB for every thread, even one that does nothing "
        "(bench/thread_cost.cpp, 32 idle threads against none), which Windows does not; \"without Wine's thread "
        "cost\" takes that off once per worker. The bare WinHTTP reader, which holds a 1 MiB buffer per thread "
        "as Pelbrook's workers do, grows by %s; so Pelbrook's own share above what any program on this WinHTTP "
        "holds under Wine is %s." % (
            max(row["above"] for row in s3["rows"].values()), idle["pel"] / 1024, idle["floor"] / 1024,
            idle["aria"] / 1024, idle["axel"] / 1024, s3["per_thread"],
            ", ".join("+%.1f MiB at %d connections" % (s3["rows"][n]["growth"].get("floor", float("nan")), n)
                      for n in (16, 32)),
            ", ".join("%+.1f MiB at %d" % (s3["rows"][n]["growth"].get("pel", float("nan")) -
                                           s3["rows"][n]["growth"].get("floor", float("nan")), n)
                      for n in (16, 32))))
    add("- Small files (scenario 4): the engine probes with a HEAD and then starts all 16 workers however small "
        "the file; Wine needs %.1f ms to start and join 16 threads that do nothing (bench/thread_cost.cpp), a "
        "Linux build of the same code %.2f ms." % (s3["start_join16"] * 1000, s3["start_join16_native"] * 1000))
    if r["failures"]:
        add("- FAILED runs, not timed (a peer that exits with an error is marked failed; an output that differs "
            "from its source, or any failure of Pelbrook, also makes bench/run exit non-zero): " +
            "; ".join(r["failures"]))
    add("- The machine has %d cores; the whole run took %.1f minutes." % (os.cpu_count() or 0, r["minutes"]))
    return "\n".join(lines) + "\n", main_table, a


PROGRAM_COLOURS = {"pel": chart.BLUE, "floor": chart.GREEN, "ref": chart.RED, "aria": chart.ORANGE,
                   "ariak": chart.BROWN, "axel": chart.PURPLE, "curl": chart.TEAL, "wget": chart.DARK_GREY}


def build_chart(results, analysis):
    r = results

    def bars(runs, keys, n, field="seconds", scale=1.0, unit="S"):
        out = []
        for key in keys:
            value = median_of(runs[key], field)
            name = label(key, n).upper()
            if value is None:
                out.append((0.0, PROGRAM_COLOURS[key], "FAILED", name))
            else:
                shown = value * scale
                caption = "%.0f %s" % (shown, unit) if shown >= 100 else (
                    "%.1f %s" % (shown, unit) if unit == "MS" else "%.2f %s" % (shown, unit))
                out.append((shown, PROGRAM_COLOURS[key], caption, name))
        return out

    keys1 = ["pel", "aria", "ariak", "axel", "curl", "wget", "floor"]
    rows1 = []
    top1 = 0.0
    for n in (16, 32):
        runs = r["s1"][n]["runs"]
        row = bars(runs, keys1, n)
        top1 = max([top1] + [v for v, _, _, name in row if not name.startswith(("CURL", "WGET"))])
        rows1.append(("1. LIMITED 4 MIB/S, 256 MIB, %d CONN." % n, row, median_of(runs["ref"])))
    runs = r["s2"]["runs"]
    rows2 = [("2. 1 GIB INTO /DEV/SHM, 16 CONN.", bars(runs, ["pel", "aria", "ariak", "axel", "curl", "wget",
                                                               "floor"], 16), median_of(runs["ref"]))]
    top2 = max(v for v, _, _, _ in rows2[0][1])
    rows3 = []
    top3 = 1.0
    for n in (16, 32):
        row = r["s3"]["rows"][n]
        g = row["growth"]
        items = []
        for key in ["pel", "aria", "ariak", "axel", "floor"]:
            if key in g:
                items.append((g[key], PROGRAM_COLOURS[key], "+%.1f MIB" % g[key], label(key, n).upper()))
            if key == "pel" and "net" in row:
                items.append((row["net"], chart.LIGHT_BLUE, "+%.1f MIB" % row["net"], "PELBROOK, NO WINE THREADS"))
        top3 = max([top3, row.get("budget", 0)] + [v for v, _, _, _ in items])
        rows3.append(("3. PEAK MEMORY OVER IDLE, %d CONN." % n, items, row.get("budget")))
    rows4 = []
    top4 = 1.0
    for name, s in r["s4"].items():
        runs = s["runs"]
        items = bars(runs, ["pel", "aria", "curl"], 16, scale=1000, unit="MS")
        job = median_of(runs["pel"], "job")
        if job is not None:
            items.insert(1, (job * 1000, chart.LIGHT_BLUE, "%.1f MS" % (job * 1000), "PELBROOK, JOB ONLY"))
        top4 = max([top4] + [v for v, _, _, _ in items])
        rows4.append(("4. SMALL FILE %s" % size_name(s["size"]).upper(), items, None))
    panels = [
        {"title": "1. LIMITED: SECONDS (LOWER IS BETTER)", "unit": "SECONDS, AXIS CUT", "rows": rows1,
         "scale_max": top1 * 1.25, "legend": [(chart.RED, "IDEAL, ONE REQUEST PER CONNECTION (NOT A BOUND)")]},
        {"title": "2. UNTHROTTLED: SECONDS (LOWER IS BETTER)", "unit": "SECONDS", "rows": rows2,
         "scale_max": top2 * 1.1, "legend": [(chart.RED, "IDEAL, ONE SOCKET")]},
        {"title": "3. PEAK MEMORY OVER IDLE, MIB (LOWER IS BETTER)", "unit": "MIB", "rows": rows3,
         "scale_max": top3 * 1.1, "legend": [(chart.RED, "TARGET: BEST PEER + 1 MIB PER WORKER")]},
        {"title": "4. SMALL FILES: MILLISECONDS (LOWER IS BETTER)", "unit": "MS", "rows": rows4,
         "scale_max": top4 * 1.1},
    ]
    return chart.draw_chart("PELBROOK (UNDER WINE) BESIDE ARIA2C, AXEL, CURL, WGET (NATIVE)", panels)


README_BEGIN = "<!-- bench table: written by bench/run -->"
README_END = "<!-- end of bench table -->"


def update_readme(path, stamp, table):
    with open(path) as f:
        text = f.read()
    begin = text.find(README_BEGIN)
    end = text.find(README_END)
    if begin < 0 or end < begin:
        log("bench: %s has no benchmark markers; left as it is" % path)
        return
    body = "Latest run (%s, bench/results/bench-%s.md):\n\n%s" % (stamp, stamp, table)
    text = text[:begin + len(README_BEGIN)] + "\n" + body + text[end:]
    with open(path, "w") as f:
        f.write(text)


def versions_text():
    parts = []
    for cmd in (["/usr/lib/wine/wine64", "--version"], ["nginx", "-v"], ["aria2c", "--version"], ["axel", "--version"],
                ["curl", "--version"], ["wget", "--version"]):
        try:
            done = subprocess.run(cmd, capture_output=True, text=True, timeout=30)
            first = (done.stdout + done.stderr).strip().splitlines()
            if first:
                parts.append(first[0].replace("nginx version: ", "").split(" (")[0].split(" built on")[0])
        except (OSError, subprocess.TimeoutExpired):
            pass
    parts.append("Linux %s, %d cores" % (platform.release(), os.cpu_count() or 0))
    return ", ".join(p for p in parts if p)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--harness", required=True)
    parser.add_argument("--floor", required=True, help="winhttp_floor.exe")
    parser.add_argument("--thread-probe", required=True)
    parser.add_argument("--native-thread-probe", required=True)
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--results", required=True)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--readme", help="README whose marked benchmark table is replaced with this run's")
    parser.add_argument("--report-only", action="store_true",
                        help="measure nothing: write the report again from the last run's figures in --work")
    args = parser.parse_args()
    if args.rounds < 3:
        parser.error("at least 3 rounds")

    def on_signal(number, frame):
        raise SystemExit("bench: stopped by signal %d" % number)

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGHUP, on_signal)
    figures = os.path.join(os.path.abspath(args.work), "last-run.pickle")
    if args.report_only:
        with open(figures, "rb") as f:
            results = pickle.load(f)
    else:
        bench = Bench(args)
        try:
            results = bench.run()
        except E2eError as error:
            print("bench: FAILED: %s" % error, file=sys.stderr, flush=True)
            return 1
        finally:
            bench.cleanup()
        with open(figures, "wb") as f:
            pickle.dump(results, f)

    report, main_table, analysis = build_report(results, versions_text())
    os.makedirs(args.results, exist_ok=True)
    stamp = results["stamp"]
    with open(os.path.join(args.results, "latest.md"), "w") as f:
        f.write(report)
    with open(os.path.join(args.results, "bench-%s.md" % stamp), "w") as f:
        f.write(report)
    with open(os.path.join(args.results, "latest.png"), "wb") as f:
        f.write(build_chart(results, analysis))
    if args.readme:
        update_readme(args.readme, stamp, main_table)
    log("")
    log(report)
    log("bench: wrote %s/latest.md, latest.png and bench-%s.md" % (args.results, stamp))
    if results["fatal"]:
        log("bench: FAILED: %s" % "; ".join(results["fatal"]))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
