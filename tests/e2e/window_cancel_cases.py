"""Cancel against servers that never let a job wind down by itself: bodies that
go silent or trickle, a probe whose HEAD is never answered, a listener that
never accepts. The window must give such a job up soon after the press: the
finished line a canceled job of its mode ends with, the inputs back, no file
left, a new job free to start at once, and nothing more from the abandoned
job afterwards, not even once its 60 s time-outs have run out.

Wine keeps the name of a deleted file for as long as a handle holds it, and
the abandoned job holds its temporary file until its time-outs end it: such a
file may stay in the folder after the finished line when Wine's file trace
shows that the window deleted it at once, and must be gone 65 s later."""

import hashlib
import os
import time

import test_content
from e2e_support import MIB, ONE_CONNECTION, DeafListener, E2eError, accelerated_line
from product_texts import CANCELED, COMPLETED, FAILED
from window_harness import (CANCEL, CANCELING, CHECKING, DOWNLOAD, INPUTS, MODE, START, STATUS, Checks, Session,
                            close_file_manager, enabled, finished_line, job_files, open_bytes, set_fields, text,
                            wait_for_end)
from winekit import wait_until

SIZE = 20 * MIB
SILENT_AFTER = 256 * 1024
CANCEL_AFTER_SECONDS = 2.0
# The window stops waiting for the job 1.5 s after the press; the rest is room for a loaded machine.
CANCEL_SECONDS = 3.5
# Bounds the wait for the finished line: a window that waits for the job's
# 60 s WinHTTP time-outs shows it within this too, and says how long it took.
FINISH_WAIT_SECONDS = 90
# Longer than those time-outs: by then every abandoned job has ended.
LATE_SECONDS = 65
# A file deleted while another handle holds it vanishes a moment later.
GONE_SECONDS = 0.5
# Wine's file channel names every DeleteFileW call of the program in the session's log.
FILE_TRACE = "err+all,trace+file"


def cancel_into(session, results, folder, out_dir, title, url, name, connections, mode):
    """Starts a download, presses Cancel 2 s into it and judges how the window ends the job."""
    check = Checks()
    driver = session.driver
    set_fields(driver, url, folder, connections)
    answer = driver.click(START)
    check.equal("button at the start", answer["button"], CANCEL)
    time.sleep(max(0.0, driver.last_start + CANCEL_AFTER_SECONDS - time.monotonic()))
    answer = driver.click(START)
    pressed = time.monotonic()  # the driver's click returns once the window has taken the press
    check.equal("status after Cancel", answer["status"], CANCELING)
    check.equal("mode line at the Cancel", answer["mode"], mode)
    if not wait_until(lambda: text(driver.state(), START) == DOWNLOAD, FINISH_WAIT_SECONDS, 0.05):
        raise E2eError("%s: the window still waited for the job %d s after Cancel" % (title, FINISH_WAIT_SECONDS))
    took = time.monotonic() - pressed
    state = driver.state()
    wait_until(lambda: not job_files(out_dir, name), GONE_SECONDS, 0.05)
    left = job_files(out_dir, name)
    said = session.wine_said()
    deleted = [n for n in left if 'DeleteFileW L"%s"' % (folder + "\\" + n).replace("\\", "\\\\") in said]
    if deleted:
        print("     still in the folder, deleted by the window while the abandoned job holds it: %s" % deleted)
    message = FAILED if mode == ONE_CONNECTION else CANCELED
    check.match("finished line", text(state, STATUS), finished_line(message, folder + "\\" + name))
    check.equal("mode line", text(state, MODE), mode)
    check.equal("bar", state["barPos"], 0)
    check.inputs(state, True)
    check.equal("files in the folder right after the finished line, the window not deleting them",
                [n for n in left if n not in deleted], [])
    check.true("the finished line came %.2f s after Cancel, over %.1f s" % (took, CANCEL_SECONDS),
               took <= CANCEL_SECONDS)
    print("     Cancel to the finished line: %.2f s" % took)
    results.case("window: Cancel %s" % title, check.problems, took)


def download_again(session, results, folder, out_dir, fault, name):
    """Download pressed again right after the window gave a job up: same folder, same name, a healthy server."""
    check = Checks()
    driver = session.driver
    earlier = set(job_files(out_dir, name))
    set_fields(driver, fault.url("cancel-again", name, size=SIZE), folder, "4")
    driver.click(START)  # after the double-click time, which the driver waits out
    state = wait_for_end(driver)
    check.match("finished line", text(state, STATUS), finished_line(COMPLETED, folder + "\\" + name))
    path = os.path.join(out_dir, name)
    check.true("the file differs from the source",
               os.path.exists(path) and open_bytes(path) == test_content.content(0, SIZE))
    check.equal("files the new job left", [n for n in job_files(out_dir, name) if n not in earlier], [name])
    close_file_manager(session)
    results.case("window: a new job with the same name right after the window gave one up", check.problems)


def snapshot(driver, out_dir):
    """What the abandoned jobs must leave alone: the window's texts, bar and inputs, and the folder's files."""
    state = driver.state()
    window = {"status": text(state, STATUS), "mode line": text(state, MODE), "bar": state["barPos"],
              "button": text(state, START), "inputs enabled": [enabled(state, c) for c in INPUTS + (START,)]}
    files = {}
    for name in sorted(os.listdir(out_dir)):
        path = os.path.join(out_dir, name)
        files[name] = hashlib.sha256(open_bytes(path)).hexdigest() if os.path.isfile(path) else "folder"
    return window, files


def nothing_late(session, results, out_dir):
    """The window and the folder stay as they are while the abandoned jobs run
    out their time-outs; temporary files they still held must be gone."""
    check = Checks()
    window, files = snapshot(session.driver, out_dir)
    held = [name for name in files if name.endswith(".part")]
    started = time.monotonic()
    gone = {}
    while time.monotonic() < started + LATE_SECONDS:
        time.sleep(0.5)
        gone.update((n, time.monotonic() - started) for n in held
                    if n not in gone and not os.path.exists(os.path.join(out_dir, n)))
    if held:
        print("     temporary files still there when the wait began, gone after: %s" % ", ".join(
            "%s %s" % (n, "%.0f s" % gone[n] if n in gone else "never") for n in held))
    later_window, later_files = snapshot(session.driver, out_dir)
    for what in window:
        check.equal(what + " %d s later" % LATE_SECONDS, later_window[what], window[what])
    check.equal("files in the folder %d s later" % LATE_SECONDS, later_files,
                {name: digest for name, digest in files.items() if name not in held})
    results.case("window: nothing from the abandoned jobs %d s later" % LATE_SECONDS, check.problems)


def run_cancel_cases(args, xvfb, results, folder, fault, out_dir):
    """The cases, in one window of their own and a download folder of their own (folder, out_dir)."""
    os.makedirs(out_dir, exist_ok=True)
    session = Session(args, xvfb, "cancel", FILE_TRACE)
    deaf = None
    accelerated = accelerated_line(SIZE, 4)

    def cancel(title, url, name, connections, mode):
        return lambda: cancel_into(session, results, folder, out_dir, title, url, name, connections, mode)

    try:
        deaf = DeafListener()
        steps = (cancel("2 s into bodies that go silent, 4 connections",
                        fault.url("cancel-silent-c4", "silent.bin", size=SIZE, stall=SILENT_AFTER), "silent.bin",
                        "4", accelerated),
                 lambda: download_again(session, results, folder, out_dir, fault, "silent.bin"),
                 cancel("2 s into a body that goes silent, 1 connection",
                        fault.url("cancel-silent-c1", "silent1.bin", size=SIZE, stall=SILENT_AFTER), "silent1.bin",
                        "1", ONE_CONNECTION),
                 cancel("2 s into bodies that trickle, 4 connections",
                        fault.url("cancel-trickle", "trickle.bin", size=SIZE, trickle=SILENT_AFTER), "trickle.bin",
                        "4", accelerated),
                 cancel("2 s into a probe whose HEAD is never answered, 8 connections",
                        fault.url("cancel-unanswered", "unanswered.bin", size=SIZE, headhang=1), "unanswered.bin",
                        "8", CHECKING),
                 cancel("2 s into a connect to a listener that never accepts, 4 connections",
                        deaf.url("deaf.bin"), "deaf.bin", "4", CHECKING),
                 lambda: nothing_late(session, results, out_dir))
        for step in steps:
            try:
                step()
            except E2eError as error:
                results.case("window: cancel step failed", [str(error)])
    finally:
        session.stop()
        if deaf is not None:
            deaf.close()
