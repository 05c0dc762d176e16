"""The bench's surroundings (files, nginx, Wine, the peers' environment) and one judged download."""

import os
import subprocess
import sys
import tempfile

from e2e_support import Nginx, write_random_file
from measure import HERE, BenchError, Child, WineServer, log, output_value, run_measured
from programs import PELBROOK, REF, Job, Tools
from records import MIB, Run
from winekit import wine_env, windows_path

FILES = {
    "f256m.bin": 256 * MIB,
    "f1g.bin": 1024 * MIB,
    "f1k.bin": 1024,
    "f1m.bin": MIB,
}


class Bench:
    def __init__(self, args):
        self.rounds = args.rounds
        self.tools = Tools(harness=args.harness, floor=args.floor, thread_probe=args.thread_probe,
                           native_thread_probe=args.native_thread_probe, wine_run=args.wine_run)
        self.work = os.path.abspath(args.work)
        self.files = os.path.join(self.work, "files")
        self.shm = tempfile.mkdtemp(prefix="pelbrook-bench-", dir="/dev/shm")
        self.prefix = os.path.join(self.work, "wineprefix")
        self.env = wine_env(self.prefix)
        # Peers run with an empty home and no proxy settings, so no personal configuration changes what
        # they do and every request stays on loopback.
        self.peer_home = os.path.join(self.work, "peer-home")
        os.makedirs(self.peer_home, exist_ok=True)
        self.peer_env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
        self.peer_env.update(HOME=self.peer_home, LC_ALL="C")
        self.nginx = Nginx(os.path.join(self.work, "nginx"), self.files, template=os.path.join(HERE, "nginx.conf.in"),
                           secure=False)
        self.wine = WineServer(self.prefix, self.env)
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
        self.wine.start([self.tools.wine_run, self.tools.harness, "", windows_path(os.path.join(self.shm, "x")), "1"])

    def env_for(self, program):
        return self.env if program.wine else (os.environ if program.kind == REF.kind else self.peer_env)

    def clear_shm(self, prefix=""):
        """Removes the outputs in /dev/shm, those whose names start with prefix; returns their names."""
        names = sorted(n for n in os.listdir(self.shm) if n.startswith(prefix))
        for name in names:
            os.remove(os.path.join(self.shm, name))
        return names

    def cleanup(self):
        self.nginx.stop()
        self.wine.stop()
        self.clear_shm()
        os.rmdir(self.shm)

    # -- one download by one program

    def job(self, program, url, path, connections, size, tag=""):
        out = os.path.join(self.shm, "%s-%d-%s" % (program.key, connections, tag or os.path.basename(path)))
        return Job(url=url, port=self.nginx.http_port, path=path, out=out, out_windows=windows_path(out), size=size,
                   connections=connections)

    def start(self, program, name, connections, path_prefix="/files/"):
        """Starts one download of files/name; finish() waits for it and judges it."""
        path = path_prefix + name
        job = self.job(program, self.nginx.url(path), path, connections, FILES[name])
        server_before = self.wine.seconds() if program.wine else 0.0
        child = Child(program.command(self.tools, job), self.env_for(program), poll_hwm=program.wine,
                      keep_errors=not program.wine)
        return (program, name, job, child, server_before)

    def finish(self, started, timeout=600):
        program, name, job, child, server_before = started
        what = "%s, %s, %d connection%s" % (program.label(job.connections), name, job.connections,
                                             "s" if job.connections > 1 else "")
        run = Run()
        try:
            measured = child.finish(timeout)
            run.wall = run.seconds = measured.wall
            run.cpu = measured.cpu
            run.peak = max(measured.peak_kib, measured.polled_hwm_kib)
            run.exit_peak, run.polled = measured.peak_kib, measured.polled_hwm_kib
            if program.wine:
                run.server = self.wine.seconds() - server_before
            if measured.exit_code != 0:
                run.error = "exit status %s %s" % (measured.exit_code, measured.output.strip()[-300:])
            else:
                if program.wine:
                    run.job = float(output_value(measured.output, "elapsedSeconds"))
                elif program is REF:
                    run.seconds = float(output_value(measured.output.replace(" ", "\n"), "seconds"))
                run.error = self.differs(self.source(name), job.out)
                run.ok = not run.error
                run.differs = not run.ok
        except BenchError as error:
            run.error = str(error)
        self.clear_shm(os.path.basename(job.out))
        if not run.ok:
            self.fail(what + ": " + run.error, fatal=not program.peer or run.differs)
        return run

    def fail(self, text, fatal):
        self.failures.append(text)
        if fatal:
            self.fatal.append(text)
        log("   FAILED: " + text)

    def download(self, program, name, connections, path_prefix="/files/"):
        return self.finish(self.start(program, name, connections, path_prefix))

    def differs(self, source, out):
        """Empty when out holds exactly the bytes of source, else what is wrong."""
        if not os.path.exists(out):
            return "no output file"
        if os.path.getsize(out) != os.path.getsize(source):
            return "output has %d bytes, %d expected" % (os.path.getsize(out), os.path.getsize(source))
        if subprocess.run(["cmp", "-s", out, source], timeout=300).returncode != 0:
            return "output differs from its source"
        return ""

    def reference_range(self, name, part, path_prefix):
        """The ideal of scenario 1: one connection for the first part bytes, read whole by one plain reader."""
        out = os.path.join(self.shm, "ref.bin")
        done = Child([sys.executable, os.path.join(HERE, "reference_reader.py"), "--range", "0-%d" % (part - 1),
                      str(self.nginx.http_port), path_prefix + name, out], os.environ, keep_errors=True).finish(300)
        if done.exit_code != 0:
            raise BenchError("the reference reader failed: %s" % done.output.strip())
        if subprocess.run(["cmp", "-s", "-n", str(part), out, self.source(name)], timeout=120).returncode != 0:
            raise BenchError("the reference reader's output differs from its source")
        os.remove(out)
        return Run(ok=True, seconds=float(output_value(done.output.replace(" ", "\n"), "seconds")))

    def round_trip(self, name):
        run = run_measured([sys.executable, os.path.join(HERE, "reference_reader.py"), "--head",
                            str(self.nginx.http_port), "/files/" + name, "-"], os.environ, 60, keep_errors=True)
        if run.exit_code != 0:
            raise BenchError("the reference reader's HEAD failed: %s" % run.output.strip())
        return float(output_value(run.output.replace(" ", "\n"), "seconds"))

    def idle_peak(self, program):
        """Peak resident size of the program started for nothing: its own idle figure."""
        run = run_measured(program.idle(self.tools, windows_path(os.path.join(self.shm, "idle.bin"))),
                           self.env_for(program), 120, poll_hwm=program.wine)
        if program is PELBROOK and output_value(run.output, "message") != "URL is empty.":
            raise BenchError("the idle run did not end at once: %r" % run.output)
        return max(run.peak_kib, run.polled_hwm_kib)

    def thread_probe(self, count, native=False):
        """The thread probe's peak and its time to start and join count empty threads."""
        if native:
            run = run_measured([self.tools.native_thread_probe, str(count)], os.environ, 120)
        else:
            run = run_measured([self.tools.wine_run, self.tools.thread_probe, str(count)], self.env, 120,
                               poll_hwm=True)
        if run.exit_code != 0:
            raise BenchError("thread_cost.exe %d failed" % count)
        return max(run.peak_kib, run.polled_hwm_kib), float(output_value(run.output, "startJoinSeconds"))

