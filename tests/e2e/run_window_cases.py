#!/usr/bin/env python3
"""Pelbrook.exe under Wine on Xvfb, driven from outside like a person would.

The window driver (a small Windows program) finds the window, types into its
fields, presses its buttons and reads back texts, enabled states and the
progress bar; this script decides what to do next and judges what it sees.
Downloads go to nginx and the fault server on loopback. Two screenshots are
written: one during a download and one of the finished window.
"""

import argparse
import json
import os
import random
import re
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time

from e2e_support import (MIB, E2eError, FaultServer, Nginx, Results, accelerated_line, files_equal, make_work_dir,
                         require_tools, tool_path, write_random_file)
from winekit import (QUIETLY, boot, end_processes, launcher, pids_with, stop_process, wait_until, wine_env, wineserver,
                     windows_path)

HEADER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src", "window", "app_state.h")


def control_ids(names=("URL_EDIT", "FOLDER_EDIT", "BROWSE", "CONNECTIONS_EDIT", "START", "PROGRESS", "STATUS", "MODE")):
    """The window's control IDs from its own header, which the window driver compiles in too."""
    with open(HEADER) as f:
        found = dict(re.findall(r"constexpr int IDC_(\w+) = (\d+);", f.read()))
    missing = ["IDC_" + name for name in names if name not in found]
    if missing:
        sys.exit("run_window_cases: %s names no %s" % (os.path.normpath(HEADER), ", ".join(missing)))
    return [int(found[name]) for name in names]


URL_EDIT, FOLDER_EDIT, BROWSE, CONNECTIONS, START, PROGRESS, STATUS, MODE = control_ids()
INPUTS = (URL_EDIT, FOLDER_EDIT, BROWSE, CONNECTIONS)

INITIAL_MODE = "Mode: Paste a URL and click Download to check whether acceleration is available."
CHECKING = "Mode: Checking server support..."
DESKTOP_SIZE = (800, 600)
CLOSE_SECONDS = 2.0
DOUBLE_CLICK_SECONDS = 0.6  # Wine's double-click time, 500 ms, and a margin

SIZE = r"\d+(\.\d)? (B|KB|MB|GB)"
SPEED = r"(0 B/s|\d+\.\d (B|KB|MB)/s)"
DURATION = r"\d+:\d\d(:\d\d)?"


def finished_line(message, path):
    return re.compile("^" + re.escape(message + " Saved to: " + path + "  |  Time: ") + DURATION + "$")


class Xvfb:
    def __init__(self, log_path):
        self.process = None
        self.display = None
        self.log = open(log_path, "ab")
        self.pipe = None

    def start(self):
        # A display number of our own, away from the low ones that other
        # servers on this machine may hold or have left behind.
        for attempt in range(8):
            number = random.randrange(200, 1000)
            if os.path.exists("/tmp/.X%d-lock" % number) or os.path.exists("/tmp/.X11-unix/X%d" % number):
                continue
            read_end, write_end = os.pipe()
            # -noreset: without it the server starts over when its last client
            # leaves and writes its number again, to a pipe nobody reads.
            self.process = subprocess.Popen(
                [tool_path("Xvfb"), ":%d" % number, "-displayfd", str(write_end), "-noreset",
                 "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT)
            os.close(write_end)
            ready, _, _ = select.select([read_end], [], [], 30)
            reported = os.read(read_end, 64).decode().strip() if ready else ""
            if reported == str(number) and self._answers(number):
                self.display = ":%d" % number
                self.pipe = read_end
                return self
            os.close(read_end)
            stop_process(self.process)
        raise E2eError("Xvfb did not start")

    def health(self):
        alive = self.process is not None and self.process.poll() is None
        number = int(self.display[1:]) if self.display else -1
        return "%s %s, %s" % (self.display, "running" if alive else "ended",
                              "answering" if self._answers(number) else "not answering")

    @staticmethod
    def _answers(number):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(5)
            try:
                s.connect("/tmp/.X11-unix/X%d" % number)
                return True
            except OSError:
                return False

    def stop(self):
        stop_process(self.process)
        if self.pipe is not None:
            os.close(self.pipe)
            self.pipe = None
        self.log.close()

    def screenshot(self, path, rect=None):
        command = [tool_path("import"), "-display", self.display, "-window", "root"]
        if rect is not None:
            left, top, right, bottom = rect
            command += ["-crop", "%dx%d+%d+%d" % (right - left, bottom - top, left, top), "+repage"]
        subprocess.run(command + [path], check=True, timeout=60, **QUIETLY)


class Talker:
    """A program of the prefix spoken to through its standard input and output, line by line."""

    def __init__(self, args, env):
        self.process = subprocess.Popen([launcher()] + args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, env=env)
        self.buffer = b""
        self.lines = []

    def read(self, seconds=0.0):
        """Takes in what it says within seconds: None when it said nothing, empty once it has ended."""
        ready, _, _ = select.select([self.process.stdout], [], [], seconds)
        chunk = os.read(self.process.stdout.fileno(), 65536) if ready else b""
        *lines, self.buffer = (self.buffer + chunk).split(b"\n")
        self.lines += [line.decode("utf-8").rstrip("\r") for line in lines]
        return chunk if ready else None


class Driver(Talker):
    """The window driver program."""

    def __init__(self, driver, env):
        super().__init__([driver], env)
        self.last_start = 0.0

    def command(self, line, seconds=30):
        self.process.stdin.write((line + "\n").encode("utf-8"))
        self.process.stdin.flush()
        deadline = time.monotonic() + seconds
        while not self.lines:
            chunk = self.read(max(0.0, deadline - time.monotonic()))
            if chunk is None:
                raise E2eError("window driver gave no answer to %r" % line)
            if not chunk:
                raise E2eError("window driver ended during %r" % line)
        text = self.lines.pop(0)
        if not text.startswith("ok"):
            raise E2eError("driver: %s -> %s" % (line, text))
        return text[3:]

    def state(self):
        return json.loads(self.command("state"))

    def settle(self):
        """Waits out the double-click time after the last press of Download: the
        window takes a press within it for the second click of a double-click."""
        time.sleep(max(0.0, self.last_start + DOUBLE_CLICK_SECONDS - time.monotonic()))

    def pressed_start(self):
        """Marks a press of Download once the window has taken it: timed from the
        send instead, a press that the window took late on a busy machine would
        leave the next one inside the window's double-click time."""
        self.last_start = time.monotonic()

    def click(self, control):
        if control == START:
            self.settle()
        answer = json.loads(self.command("click %d" % control))
        if control == START:
            self.pressed_start()
        return answer

    def windows(self):
        return json.loads(self.command("windows"))

    def stop(self):
        if self.process.poll() is None:
            try:
                self.command("quit", 10)
            except E2eError:
                pass
        stop_process(self.process, 5)


def text(state, control):
    return state[str(control)]["text"]


def enabled(state, control):
    return state[str(control)]["enabled"]


def wait_for(driver, what, condition, seconds):
    """Polls the window until condition(state) holds; bounded."""
    deadline = time.monotonic() + seconds
    state = driver.state()
    while not condition(state):
        if time.monotonic() > deadline:
            raise E2eError("timed out waiting for %s; status %r, mode %r, bar %r" % (
                what, text(state, STATUS), text(state, MODE), state["barPos"]))
        time.sleep(0.1)
        state = driver.state()
    return state


def wait_for_end(driver, seconds=120):
    """Waits until the button reads "Download" again. The window finishes a job
    within one message, so a state read after that sees all of it; the read
    that noticed the button may have seen other controls a moment earlier."""
    wait_for(driver, "the job to end", lambda s: text(s, START) == "Download", seconds)
    return driver.state()


class Checks:
    def __init__(self):
        self.problems = []

    def equal(self, what, got, wanted):
        if got != wanted:
            self.problems.append("%s: got %r, wanted %r" % (what, got, wanted))

    def match(self, what, got, pattern):
        if not re.match(pattern, got):
            self.problems.append("%s: %r does not match %r" % (what, got, pattern if isinstance(pattern, str)
                                                                  else pattern.pattern))

    def true(self, what, value):
        if not value:
            self.problems.append(what)

    def inputs(self, state, wanted):
        for control in INPUTS:
            self.equal("control %d enabled" % control, enabled(state, control), wanted)
        self.equal("button enabled", enabled(state, START), True)


class Session:
    """One Pelbrook process on a virtual desktop of its own, with the driver attached.

    Wine starts the desktop's explorer and the program as processes of their
    own, no longer children of the one started here; the desktop's name, unique
    to this run, finds the ones left at the end.
    """

    attempts = 0

    def __init__(self, args, xvfb, label):
        self.args = args
        self.xvfb = xvfb
        self.env = wine_env(args.prefix, DISPLAY=xvfb.display)
        self.app = self.driver = None
        self.pid = None
        problems = []
        for _ in range(2):
            Session.attempts += 1
            self.desktop = "e2e-%d-%s-%d" % (os.getpid(), label, Session.attempts)
            try:
                self._start()
                return
            except E2eError as error:
                problems.append(str(error))
                self.stop()
        raise E2eError("Pelbrook did not show its window: " + " / ".join(problems))

    def _start(self):
        self.log = os.path.join(self.args.logs, "%s.log" % self.desktop)
        with open(self.log, "wb") as log:
            self.app = subprocess.Popen(
                [launcher(), "explorer", "/desktop=%s,%dx%d" % ((self.desktop,) + DESKTOP_SIZE),
                 windows_path(self.args.app)],
                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                env=dict(self.env, WINEDEBUG="err+all"))
        self.driver = Driver(self.args.driver, self.env)
        deadline = time.monotonic() + 60
        while True:
            try:
                self.driver.command("desktop " + self.desktop)
                break
            except E2eError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.2)
        try:
            self.driver.command("find 60000", 90)
        except E2eError as error:
            with open(self.log, "rb") as log:
                tail = log.read()[-1500:].decode("utf-8", "replace")
            raise E2eError("%s; X server %s; Wine said: %s" % (error, self.xvfb.health(), tail))
        self.pid = self.app_pid()

    def app_pid(self):
        for window in self.driver.windows():
            if window["class"] == "PelbrookWindow":
                return window["pid"]
        raise E2eError("no Pelbrook window listed")

    def foreign_windows(self):
        return [w for w in self.driver.windows() if w["pid"] != self.pid and w["class"] != "#32769"]

    def close(self):
        """Closes the window as a user would and returns the exit code."""
        self.driver.command("close")
        return int(self.driver.command("waitprocess %d 90000" % self.pid, 100))

    def stop(self):
        if self.driver is not None:
            if self.pid is not None:
                try:
                    self.driver.command("terminate %d" % self.pid)
                except E2eError:
                    pass
            self.driver.stop()
        if self.app is not None:
            wait_until(lambda: not pids_with("/desktop=" + self.desktop), 20, 0.2)
            end_processes(pids_with("/desktop=" + self.desktop))
            stop_process(self.app, 5)
        self.app = self.driver = None
        self.pid = None


def set_fields(driver, url, folder, connections):
    driver.command("settext %d %s" % (URL_EDIT, url))
    driver.command("settext %d %s" % (FOLDER_EDIT, folder))
    driver.command("settext %d %s" % (CONNECTIONS, connections))


def case_initial(session, results):
    check = Checks()
    state = session.driver.state()
    check.equal("title", state["title"], "Pelbrook")
    check.equal("URL field", text(state, URL_EDIT), "")
    check.true("folder field is empty", text(state, FOLDER_EDIT) != "")
    check.equal("connections field", text(state, CONNECTIONS), "16")
    check.equal("button", text(state, START), "Download")
    check.equal("browse button", text(state, BROWSE), "Browse...")
    check.equal("mode line", text(state, MODE), INITIAL_MODE)
    check.equal("status line", text(state, STATUS), "Ready.")
    check.equal("progress bar class", state[str(PROGRESS)]["class"].lower(), "msctls_progress32")
    check.inputs(state, True)
    left, top, right, bottom = (int(v) for v in session.driver.command("rect").split())
    check.equal("outer size", (right - left, bottom - top), (620, 330))
    results.case("window: initial state", check.problems)


def case_refusals(session, results, folder):
    check = Checks()
    driver = session.driver
    driver.command("settext %d " % URL_EDIT)
    answer = driver.click(START)
    check.equal("empty URL", answer["status"], "Paste a download URL first.")
    check.equal("button after a refusal", answer["button"], "Download")
    check.equal("mode line after a refusal", answer["mode"], INITIAL_MODE)

    driver.command("settext %d http://127.0.0.1:9/never.bin" % URL_EDIT)
    driver.command("settext %d %s" % (FOLDER_EDIT, folder))
    for count in ("0", "33", "x5", "99999999999"):
        driver.command("settext %d %s" % (CONNECTIONS, count))
        answer = driver.click(START)
        check.equal("connections %r" % count, answer["status"], "Connections must be between 1 and 32.")
        check.equal("button after refusing %r" % count, answer["button"], "Download")

    driver.command("type %d x7" % CONNECTIONS)
    state = driver.state()
    check.equal("typing a letter into the connections field", text(state, CONNECTIONS), "7")
    check.equal("mode line after the refusals", text(state, MODE), INITIAL_MODE)
    check.inputs(state, True)
    results.case("window: refusals (empty URL, connection counts, letters)", check.problems)


def case_blank_url(session, results, folder):
    """Blanks pass the window's check; the engine refuses them before deciding a mode."""
    check = Checks()
    driver = session.driver
    set_fields(driver, "   ", folder, "4")
    driver.click(START)
    state = wait_for_end(driver)
    check.match("finished line", text(state, STATUS), finished_line("Invalid URL.", folder + "\\download.bin"))
    check.equal("mode line", text(state, MODE), CHECKING)
    check.equal("bar", state["barPos"], 0)
    check.inputs(state, True)
    results.case("window: blank URL ends with the engine's message", check.problems)


def case_cancel_while_probing(session, results, folder, fault, out_dir):
    """The server holds its answer to the probe; Cancel is pressed meanwhile."""
    check = Checks()
    driver = session.driver
    size = 20 * MIB
    name = "held.bin"
    url = fault.url("window-held", name, size=size, hold="g1")
    set_fields(driver, url, folder, "4")
    answer = driver.click(START)
    check.equal("status at the start", answer["status"], "Connecting to server...")
    check.equal("button at the start", answer["button"], "Cancel")
    check.equal("mode at the start", answer["mode"], CHECKING)
    state = driver.state()
    check.inputs(state, False)
    check.equal("bar range", state["barHigh"], 1000)
    check.equal("bar at the start", state["barPos"], 0)

    state = wait_for(driver, "the first progress tick", lambda s: text(s, STATUS).startswith("Downloading"), 30)
    check.match("first tick", text(state, STATUS), r"^Downloading\.\.\. 0 B  \|  0 B/s  \|  0:0\d$")
    check.equal("mode while probing", text(state, MODE), CHECKING)

    answer = driver.click(START)
    check.equal("status after Cancel", answer["status"], "Canceling...")
    check.equal("button after Cancel", answer["button"], "Cancel")
    answer = driver.click(START)
    check.equal("status after a second Cancel", answer["status"], "Canceling...")

    fault.control("/__release?gate=g1")
    state = wait_for_end(driver)
    path = folder + "\\" + name
    check.match("finished line", text(state, STATUS), finished_line("Download canceled.", path))
    check.equal("mode line", text(state, MODE), accelerated_line(size, 4))
    check.equal("bar", state["barPos"], 0)
    check.inputs(state, True)
    check.true("the canceled file was left behind", not os.path.exists(os.path.join(out_dir, name)))
    check.equal("segment requests after an early cancel", fault.stats("window-held")["gets"], 0)
    results.case("window: cancel while the server is probed", check.problems)


def wait_mid_download(driver, total_text):
    return wait_for(driver, "a progress line with a total",
                    lambda s: (" / " + total_text) in text(s, STATUS) and 0 < s["barPos"] < 1000, 60)


PREEXISTING = b"this file was here before the job\n"


def open_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def put_preexisting(out_dir, name):
    with open(os.path.join(out_dir, name), "wb") as f:
        f.write(PREEXISTING)


def job_files(out_dir, name):
    """The output file and the temporary files beside it."""
    return [n for n in os.listdir(out_dir) if n == name or n.startswith(name + ".")]


def check_left_alone(check, out_dir, name, seconds=5):
    """The file that stood at the output path keeps its bytes, and no temporary
    file of the job stays beside it (a file deleted while open vanishes when
    its last handle closes, so allow a moment)."""
    wait_until(lambda: job_files(out_dir, name) in ([], [name]), seconds)
    left = [n for n in job_files(out_dir, name) if n != name]
    check.equal("temporary files left beside %s" % name, left, [])
    path = os.path.join(out_dir, name)
    check.true("the file that was there before was changed", os.path.exists(path) and open_bytes(path) == PREEXISTING)
    if os.path.exists(path):
        os.remove(path)


def case_cancel_downloading(session, results, folder, nginx, out_dir, connections, message):
    check = Checks()
    driver = session.driver
    name = "slow48.bin"
    put_preexisting(out_dir, name)
    set_fields(driver, nginx.url("/slow/" + name), folder, connections)
    driver.click(START)
    state = wait_mid_download(driver, "48.0 MB")
    check.inputs(state, False)
    answer = driver.click(START)
    check.equal("status after Cancel", answer["status"], "Canceling...")
    state = wait_for_end(driver)
    check.match("finished line", text(state, STATUS), finished_line(message, folder + "\\" + name))
    check.equal("bar", state["barPos"], 0)
    check.inputs(state, True)
    check_left_alone(check, out_dir, name)
    results.case("window: cancel during a download with %s connection(s) keeps the earlier file" % connections,
                 check.problems)


def case_failing_server(session, results, folder, fault, out_dir):
    """A server that breaks off leaves the earlier file of that name as it was."""
    check = Checks()
    driver = session.driver
    name = "failing.bin"
    for connections, message in (("4", "Download incomplete. Try fewer connections (e.g. 4 or 1)."),
                                 ("1", "Download failed.")):
        put_preexisting(out_dir, name)
        set_fields(driver, fault.url("window-failing-" + connections, name, size=5000000, cut=100000), folder,
                   connections)
        driver.click(START)
        state = wait_for_end(driver)
        check.match("finished line", text(state, STATUS), finished_line(message, folder + "\\" + name))
        check_left_alone(check, out_dir, name)
    results.case("window: a failing server leaves the earlier file as it was", check.problems)


def close_file_manager(session):
    """The file manager that a success opens; under Wine it is Wine's own
    explorer window. Closed so that it does not cover the window."""
    opened = wait_until(session.foreign_windows, 20, 0.2)
    time.sleep(0.2)  # a moment for the window just shown to finish opening before it is asked to close
    for window in opened:
        session.driver.command("closewindow %d" % window["hwnd"])
    wait_until(lambda: not session.foreign_windows(), 20, 0.2)
    return opened


def case_double_click(session, results, folder, nginx, files_dir, out_dir, xvfb):
    """A double-click on Download with the real mouse starts one job and does not cancel it."""
    check = Checks()
    driver = session.driver
    name = "sample-24MB.bin"
    set_fields(driver, nginx.url("/slow/" + name), folder, "4")
    left, top, right, bottom = (int(v) for v in driver.command("screenrect %d" % START).split())
    env = dict(os.environ, DISPLAY=xvfb.display)
    found = subprocess.run([tool_path("xdotool"), "search", "--name", session.desktop], env=env,
                           capture_output=True, text=True, timeout=30).stdout.split()
    if not found:
        raise E2eError("no X window for the Wine desktop %s" % session.desktop)
    driver.settle()
    subprocess.run([tool_path("xdotool"), "mousemove", "--sync", "--window", found[0], str((left + right) // 2),
                    str((top + bottom) // 2), "click", "--repeat", "2", "--delay", "80", "1"],
                   env=env, check=True, timeout=30, **QUIETLY)
    driver.pressed_start()
    wait_for(driver, "the job to start", lambda s: text(s, START) == "Cancel", 10)
    state = wait_for_end(driver)
    check.match("finished line", text(state, STATUS),
                finished_line("Download completed.", folder + "\\" + name))
    out = os.path.join(out_dir, name)
    check.true("the file differs from the source",
               os.path.exists(out) and files_equal(out, os.path.join(files_dir, name)))
    close_file_manager(session)
    if os.path.exists(out):
        os.remove(out)
    results.case("window: a double-click on Download runs the job to the end", check.problems)


def case_success(session, results, folder, nginx, files_dir, out_dir, xvfb, shots):
    check = Checks()
    driver = session.driver
    name = "sample-24MB.bin"
    size = 24 * MIB
    set_fields(driver, nginx.url("/slow/" + name), folder, "4")
    answer = driver.click(START)
    check.equal("button at the start", answer["button"], "Cancel")
    state = wait_mid_download(driver, "24.0 MB")
    check.equal("mode line", text(state, MODE), accelerated_line(size, 4))
    check.match("progress line", text(state, STATUS),
                r"^Downloading\.\.\. %s / 24\.0 MB  \|  %s  \|  %s(  \|  Left: (%s|--:--))?$"
                % (SIZE, SPEED, DURATION, DURATION))
    check.inputs(state, False)
    rect = tuple(int(v) for v in driver.command("rect").split())
    xvfb.screenshot(os.path.join(shots, "pelbrook-downloading.png"), rect)

    state = wait_for_end(driver)
    path = folder + "\\" + name
    check.match("finished line", text(state, STATUS), finished_line("Download completed.", path))
    check.equal("bar", state["barPos"], 1000)
    check.equal("mode line after the job", text(state, MODE), accelerated_line(size, 4))
    check.inputs(state, True)
    check.true("the file differs from the source",
               files_equal(os.path.join(out_dir, name), os.path.join(files_dir, name)))

    # The file manager is opened with the file selected.
    opened = close_file_manager(session)
    print("     file manager windows seen after the success: %s"
          % ([w["class"] + " " + repr(w["title"]) for w in opened] or "none"))
    xvfb.screenshot(os.path.join(shots, "pelbrook-finished.png"), rect)
    results.case("window: download to the end, file manager, screenshots", check.problems)


class Holder(Talker):
    """The file holder program, which plays a virus scanner: it holds files
    without sharing their deletion, from a process of its own in the prefix."""

    def __init__(self, session, mode, path):
        super().__init__([session.args.holder, mode, path], session.env)
        self.wait_for("held " + path if mode == "hold" else "scanning ")

    def wait_for(self, start, seconds=30):
        deadline = time.monotonic() + seconds
        while not any(line.startswith(start) for line in self.lines):
            if time.monotonic() > deadline or (not self.read(0.2) and self.process.poll() is not None):
                raise E2eError("the file holder did not say %r: %r" % (start, self.lines))

    def stop(self):
        """Lets go of everything and returns what it said."""
        self.process.stdin.close()
        wait_until(lambda: not self.read(0.2) and self.process.poll() is not None, 10, 0)
        stop_process(self.process, 5)
        self.read()
        return self.lines


def run_watching_writes(driver, out_dir, name):
    """Runs the job to its end; returns the final state and the seconds from
    the last write to the job's temporary file to the end of the job."""
    writes = [0.0]

    def ended():
        for entry in job_files(out_dir, name):
            try:
                writes.append(os.stat(os.path.join(out_dir, entry)).st_mtime)
            except OSError:
                pass
        return text(driver.state(), START) == "Download"

    driver.click(START)
    if not wait_until(ended, 120, 0.05):
        raise E2eError("timed out waiting for the job to end")
    return driver.state(), time.time() - max(writes)


def case_scanner(session, results, folder, nginx, files_dir, out_dir):
    """Another program holds each new temporary file until 1 s after its last
    write, as a virus scanner does: the job still ends with the whole file.
    Unthrottled, so that the writes come without a pause of a second."""
    check = Checks()
    name = "sample-24MB.bin"
    out = os.path.join(out_dir, name)
    for connections in ("4", "1"):
        holder = Holder(session, "scan", folder)
        try:
            set_fields(session.driver, nginx.url("/files/" + name), folder, connections)
            state, seconds = run_watching_writes(session.driver, out_dir, name)
        finally:
            said = holder.stop()
        print("     %s connection(s): the job ended %.2f s after the last write; the holder said %s"
              % (connections, seconds, said))
        check.match("finished line", text(state, STATUS), finished_line("Download completed.", folder + "\\" + name))
        check.true("the temporary file was not held", any(re.match(r"^held %s\.\d+-\d+\.part$" % re.escape(name), line)
                                                           for line in said))
        check.true("the file differs from the source",
                   os.path.exists(out) and files_equal(out, os.path.join(files_dir, name)))
        check.equal("files beside the output", job_files(out_dir, name), [name])
        close_file_manager(session)
        if os.path.exists(out):
            os.remove(out)
    results.case("window: a scanner holding the new file for a moment does not spoil the download", check.problems)


def case_output_held(session, results, folder, nginx, out_dir):
    """Another program holds the file at the output path for the whole job:
    the job fails soon after the transfer and leaves that file as it was."""
    check = Checks()
    name = "sample-24MB.bin"
    put_preexisting(out_dir, name)
    holder = Holder(session, "hold", folder + "\\" + name)
    try:
        set_fields(session.driver, nginx.url("/files/" + name), folder, "4")
        state, seconds = run_watching_writes(session.driver, out_dir, name)
    finally:
        holder.stop()
    print("     the job ended %.2f s after the last write" % seconds)
    check.match("finished line", text(state, STATUS), finished_line("Download failed.", folder + "\\" + name))
    check_left_alone(check, out_dir, name)
    results.case("window: an output file held by another program stays as it was", check.problems)


def closing_time(session):
    """Closes the window and returns how long the process took to end."""
    started = time.monotonic()
    code = session.close()
    return code, time.monotonic() - started


def case_close_during_download(args, xvfb, results, folder, nginx, out_dir):
    """Closing the window in the middle of an accelerated job leaves the earlier file as it was."""
    check = Checks()
    session = Session(args, xvfb, "close")
    try:
        name = "slow48.bin"
        put_preexisting(out_dir, name)
        set_fields(session.driver, nginx.url("/slow/" + name), folder, "4")
        session.driver.click(START)
        wait_mid_download(session.driver, "48.0 MB")
        code, seconds = closing_time(session)
        check.equal("exit code", code, 0)
        check.true("the process took %.1f s to end" % seconds, seconds <= CLOSE_SECONDS)
        check_left_alone(check, out_dir, name)
    finally:
        session.stop()
    results.case("window: closing during a download", check.problems)


def case_close_stalled(args, xvfb, results, folder, fault, out_dir):
    """The server stops sending in the middle of every segment; closing the
    window still ends the process at once and leaves no file at all."""
    check = Checks()
    session = Session(args, xvfb, "stalled")
    try:
        name = "stalled.bin"
        set_fields(session.driver, fault.url("window-stalled", name, size=20 * MIB, stall=MIB), folder, "4")
        session.driver.click(START)
        wait_for(session.driver, "the workers to stall",
                 lambda s: s["barPos"] >= 200 and " / 20.0 MB" in text(s, STATUS), 60)
        time.sleep(1)  # every worker now waits in a read
        code, seconds = closing_time(session)
        check.equal("exit code", code, 0)
        check.true("the process took %.1f s to end" % seconds, seconds <= CLOSE_SECONDS)
        print("     the process ended %.2f s after the close" % seconds)
        wait_until(lambda: not job_files(out_dir, name), 5)
        check.equal("files the job left", job_files(out_dir, name), [])
    finally:
        session.stop()
    results.case("window: closing while the server has stopped sending", check.problems)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--app", required=True)
    parser.add_argument("--driver", required=True)
    parser.add_argument("--holder", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--shots", required=True)
    args = parser.parse_args()

    require_tools("nginx", "openssl", "Xvfb", "import", "xdotool")
    # A Wine prefix for these tests alone, kept in the build folder. Its server is not kept alive between
    # runs: it ends a few seconds after the last program of the run, so no window, desktop or display of
    # one run is left for the next, and programs of other tests never share its desktops.
    args.prefix = os.path.join(args.work, "wine-prefix")
    work = make_work_dir(args.work, "window-")
    args.logs = work
    files_dir = os.path.join(work, "files")
    run_dir = os.path.join(work, "nginx")
    # A short download folder keeps the texts in the screenshots readable.
    downloads_root = tempfile.mkdtemp(prefix="pelbrook-")
    out_dir = os.path.join(downloads_root, "Downloads")
    for folder in (files_dir, out_dir, run_dir, args.shots):
        os.makedirs(folder, exist_ok=True)
    folder = windows_path(out_dir)

    results = Results()
    xvfb = nginx = fault = session = None
    try:
        write_random_file(os.path.join(files_dir, "sample-24MB.bin"), 24 * MIB)
        write_random_file(os.path.join(files_dir, "slow48.bin"), 48 * MIB)
        if not os.path.isdir(os.path.join(args.prefix, "drive_c")) and not boot(args.prefix, 300, False):
            raise E2eError("could not make the Wine prefix %s" % args.prefix)
        nginx = Nginx(run_dir, files_dir, slow_rate="1m").start()
        fault = FaultServer().start()
        xvfb = Xvfb(os.path.join(work, "xvfb.log")).start()
        session = Session(args, xvfb, "main")
        for run in (lambda: case_initial(session, results),
                    lambda: case_refusals(session, results, folder),
                    lambda: case_blank_url(session, results, folder),
                    lambda: case_cancel_while_probing(session, results, folder, fault, out_dir),
                    lambda: case_cancel_downloading(session, results, folder, nginx, out_dir, "4",
                                                    "Download canceled."),
                    lambda: case_cancel_downloading(session, results, folder, nginx, out_dir, "1",
                                                    "Download failed."),
                    lambda: case_failing_server(session, results, folder, fault, out_dir),
                    lambda: case_double_click(session, results, folder, nginx, files_dir, out_dir, xvfb),
                    lambda: case_scanner(session, results, folder, nginx, files_dir, out_dir),
                    lambda: case_output_held(session, results, folder, nginx, out_dir),
                    lambda: case_success(session, results, folder, nginx, files_dir, out_dir, xvfb, args.shots)):
            try:
                run()
            except E2eError as error:
                results.case("window: step failed", [str(error)])
        try:
            results.case("window: closing ends the process with 0", [] if session.close() == 0 else ["exit code"])
        except E2eError as error:
            results.case("window: closing ends the process with 0", [str(error)])
        session.stop()
        session = None
        case_close_during_download(args, xvfb, results, folder, nginx, out_dir)
        case_close_stalled(args, xvfb, results, folder, fault, out_dir)
    except E2eError as error:
        results.case("window: setup", [str(error)])
    finally:
        if session is not None:
            session.stop()
        # The file manager that a success opened, should it still run.
        end_processes(pids_with(downloads_root))
        wineserver(args.prefix, "-w", 30)  # until the server has ended with the last program
        for server in (fault, nginx, xvfb):
            if server is not None:
                server.stop()
    code = results.finish()
    shutil.rmtree(files_dir, ignore_errors=True)
    shutil.rmtree(downloads_root, ignore_errors=True)
    if code == 0:
        shutil.rmtree(work, ignore_errors=True)
    print("screenshots in %s" % args.shots)
    return code


if __name__ == "__main__":
    sys.exit(main())
