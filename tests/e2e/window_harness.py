"""The end-to-end window harness: Pelbrook.exe under Wine on Xvfb, driven from
outside like a person would.

The window driver (a small Windows program) finds the window, types into its
fields, presses its buttons and reads back texts, enabled states and the
progress bar; the cases decide what to do next and judge what they see with
the waits and checks here. Control IDs and texts come from the program's own
headers (product_texts.py).
"""

import json
import os
import random
import re
import select
import socket
import subprocess
import time

from e2e_support import E2eError, tool_path
from product_texts import WINDOW, numbers, texts
from winekit import QUIETLY, end_processes, launcher, pids_with, stop_process, wait_until, wine_env, windows_path

URL_EDIT, FOLDER_EDIT, BROWSE, CONNECTIONS, START, PROGRESS, STATUS, MODE = numbers(
    WINDOW, "IDC_URL_EDIT", "IDC_FOLDER_EDIT", "IDC_BROWSE", "IDC_CONNECTIONS_EDIT", "IDC_START", "IDC_PROGRESS",
    "IDC_STATUS", "IDC_MODE")
INPUTS = (URL_EDIT, FOLDER_EDIT, BROWSE, CONNECTIONS)

(INITIAL_MODE, CHECKING, READY, PASTE_URL_FIRST, CONNECTIONS_OUT_OF_RANGE, DOWNLOAD, CANCEL, CONNECTING, CANCELING,
 SAVED_TO, TIME) = texts(
    WINDOW, "TextModeAtStartUp", "TextModeChecking", "TextReady", "TextPasteUrlFirst", "TextConnectionsOutOfRange",
    "TextDownload", "TextCancel", "TextConnecting", "TextCanceling", "TextSavedTo", "TextTime")
DESKTOP_SIZE = (800, 600)
CLOSE_SECONDS = 2.0
DOUBLE_CLICK_SECONDS = 0.6  # Wine's double-click time, 500 ms, and a margin

SIZE = r"\d+(\.\d)? (B|KB|MB|GB)"
SPEED = r"(0 B/s|\d+\.\d (B|KB|MB)/s)"
DURATION = r"\d+:\d\d(:\d\d)?"


def finished_line(message, path):
    return re.compile("^" + re.escape(message + SAVED_TO + path + TIME) + DURATION + "$")


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
    """Waits until the button reads Download again. The window finishes a job
    within one message, so a state read after that sees all of it; the read
    that noticed the button may have seen other controls a moment earlier."""
    wait_for(driver, "the job to end", lambda s: text(s, START) == DOWNLOAD, seconds)
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
    to this run, finds the ones left at the end. Wine's messages (its errors,
    and the channels that wine_debug adds) go to the session's log.
    """

    attempts = 0

    def __init__(self, args, xvfb, label, wine_debug="err+all"):
        self.args = args
        self.xvfb = xvfb
        self.wine_debug = wine_debug
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
                env=dict(self.env, WINEDEBUG=self.wine_debug))
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
            raise E2eError("%s; X server %s; Wine said: %s" % (error, self.xvfb.health(), self.wine_said()[-1500:]))
        self.pid = self.app_pid()

    def wine_said(self):
        with open(self.log, "rb") as log:
            return log.read().decode("utf-8", "replace")

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


def close_file_manager(session):
    """The file manager that a success opens; under Wine it is Wine's own
    explorer window. Closed so that it does not cover the window."""
    opened = wait_until(session.foreign_windows, 20, 0.2)
    time.sleep(0.2)  # a moment for the window just shown to finish opening before it is asked to close
    for window in opened:
        session.driver.command("closewindow %d" % window["hwnd"])
    wait_until(lambda: not session.foreign_windows(), 20, 0.2)
    return opened


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


def closing_time(session):
    """Closes the window and returns how long the process took to end."""
    started = time.monotonic()
    code = session.close()
    return code, time.monotonic() - started
