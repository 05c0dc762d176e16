"""Running one program and measuring it: wall time, CPU, peak memory; the bench's own Wine server."""

import os
import signal
import subprocess
import tempfile
import threading
import time

from winekit import KitError, children, cpu_seconds, end_processes, proc, server_pid, status_kib, wineserver

HERE = os.path.dirname(os.path.abspath(__file__))


class BenchError(KitError):
    pass


def log(text):
    print(text, flush=True)


class Measured:
    def __init__(self):
        self.wall = 0.0
        self.exit_code = None
        self.output = ""
        self.cpu = 0.0
        self.peak_kib = 0
        self.polled_hwm_kib = 0


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
            for child in children(self.process.pid):
                if "wine" in proc(child, "exe", link=True):
                    self.result.polled_hwm_kib = max(self.result.polled_hwm_kib, status_kib(child, "VmHWM"))
            self.stop.wait(0.01)

    def finish(self, timeout):
        """Waits at most timeout seconds (from the start); a child still running then is killed."""
        self.waiter.join(max(0.0, self.start + timeout - time.perf_counter()))
        expired = self.waiter.is_alive()
        if expired:
            end_processes(children(self.process.pid), signal.SIGKILL)
            self.process.kill()
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


class WineServer:
    """The wineserver of the bench's own prefix, kept between runs so that no run pays for its start."""

    def __init__(self, prefix, env):
        self.prefix = prefix
        self.env = env
        self.pid = None

    def start(self, warm_up):
        """warm_up: a command that starts and ends one Wine process in this prefix."""
        # The first start of a prefix makes it and starts Wine's own services; none of that is measured.
        run_measured(warm_up, self.env, 300)
        # Then a server for this prefix (only this bench's own prefix) that stays between runs, however long
        # the peers take in between: no run pays for its start, and its CPU can be read across runs. A server
        # that made the prefix would end three seconds after its last client.
        self.stop()
        wineserver(self.prefix, "-p")
        for _ in range(2):
            run_measured(warm_up, self.env, 300)
        self.pid = server_pid(self.prefix)
        if self.pid is None:
            raise BenchError("cannot find the wineserver of %s" % self.prefix)

    def stop(self):
        wineserver(self.prefix, "-k")

    def seconds(self):
        """The CPU it has spent so far."""
        return cpu_seconds(self.pid)
