"""Wine and processes for the project's Python scripts: Wine's launcher, a prefix's
environment, boot and server, Windows programs run with a bounded wait, bounded
polls, and every read of /proc. A prefix boots through tools/wine-run, under its
lock, as CTest's runs do. bench/run puts tools/ on PYTHONPATH; the end-to-end
scripts find it through tests/e2e/e2e_support.py."""

import os
import shutil
import signal
import subprocess
import tempfile
import time

WINE_RUN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "wine-run")
# What tools/wine-run sets when the caller has not: quiet, and no offer to install Mono or Gecko.
QUIET = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
QUIETLY = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class KitError(Exception):
    pass


def launcher():
    """Wine's 64-bit launcher, found as tools/wine-run finds it."""
    wine = "/usr/lib/wine/wine64"
    return wine if os.access(wine, os.X_OK) else shutil.which("wine64") or shutil.which("wine") or wine


def wine_env(prefix, **extra):
    return dict(os.environ, WINEPREFIX=prefix, **QUIET, **extra)


def windows_path(path):
    """The path under Wine's Z: drive, which maps the Unix root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def boot(prefix, seconds=600, keep_server=True):
    """Makes and boots the prefix as tools/wine-run does before a program, without a display so that
    nothing of it shows; without keep_server, its server is stopped after. True when the prefix is made."""
    env = wine_env(prefix)
    env.pop("DISPLAY", None)
    try:
        subprocess.run([WINE_RUN], env=env, timeout=seconds, **QUIETLY)
    except subprocess.TimeoutExpired:
        pass
    if not keep_server:
        wineserver(prefix, "-k")
    return os.path.isdir(os.path.join(prefix, "drive_c"))


def wineserver(prefix, flag, seconds=60):
    """Tells the prefix's server flag (-p: keep one running, -k: stop, -w: wait for its end); False past seconds."""
    try:
        subprocess.run(["wineserver", flag], env=dict(os.environ, WINEPREFIX=prefix), timeout=seconds, **QUIETLY)
        return True
    except subprocess.TimeoutExpired:
        return False


def run_windows(program, args, seconds, wine_run=WINE_RUN):
    """Runs a Windows program under Wine; returns (exit code, stdout text, stderr text). The output goes
    to files, not pipes: Wine's background services, should this program be the one that starts them,
    keep whatever it was given open as long as the prefix's server lives, so a pipe would never end."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        process = subprocess.Popen([wine_run, program] + list(args), stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        try:
            process.wait(seconds)
        except subprocess.TimeoutExpired:
            stop_process(process)
            raise KitError("%s %s did not end within %d s" % (os.path.basename(program), " ".join(args), seconds))
        out.seek(0)
        err.seek(0)
        return process.returncode, out.read().decode("utf-8", "replace"), err.read().decode("utf-8", "replace")


def stop_process(process, seconds=10):
    if process is None or process.poll() is not None:
        return
    process.terminate()
    try:
        process.wait(seconds)
    except subprocess.TimeoutExpired:
        process.kill()
        try:
            process.wait(seconds)
        except subprocess.TimeoutExpired:
            print("     %s (pid %d) still runs %d s after it was killed"
                  % (os.path.basename(process.args[0]), process.pid, seconds), flush=True)


def wait_until(condition, seconds, step=0.1):
    """Calls condition until it gives a true value or seconds have passed; returns its last value."""
    deadline = time.monotonic() + seconds
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(step)


def proc(pid, name, link=False):
    """/proc/<pid>/<name>, its text or with link where it points; empty once the process has gone."""
    path = "/proc/%d/%s" % (pid, name)
    try:
        if link:
            return os.readlink(path)
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")
    except OSError:
        return ""


def children(pid):
    return [int(x) for x in proc(pid, "task/%d/children" % pid).split()]


def status_kib(pid, key):
    """A figure of /proc/<pid>/status in KiB (VmHWM: the peak resident size), 0 when absent."""
    for line in proc(pid, "status").splitlines():
        if line.startswith(key + ":"):
            return int(line.split()[1])
    return 0


def cpu_seconds(pid):
    """User and system CPU the process has spent so far."""
    fields = proc(pid, "stat").rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def pids_with(token):
    """The processes but this one whose command line holds token."""
    found = (int(entry) for entry in os.listdir("/proc") if entry.isdigit() and int(entry) != os.getpid())
    return [pid for pid in found if token in proc(pid, "cmdline")]


def end_processes(found, how=signal.SIGTERM):
    for pid in found:
        try:
            os.kill(pid, how)
        except OSError:
            pass


def server_pid(prefix):
    """The pid of the prefix's running wineserver, None when there is none: the
    server works in a folder named after the prefix's device and inode."""
    stat = os.stat(prefix)
    wanted = "server-%x-%x" % (stat.st_dev, stat.st_ino)
    found = [pid for pid in pids_with("wineserver") if proc(pid, "comm").startswith("wineserver")
             and os.path.basename(proc(pid, "cwd", link=True)) == wanted]
    return found[0] if found else None
