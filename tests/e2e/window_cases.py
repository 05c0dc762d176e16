"""The window's cases: start-up, refusals, what a pasted URL brings around
the address, cancel, failures, a double-click, a scanner and a held output
file, success with its file manager and screenshots, and closing or the
session's end during a download. Each takes the harness's session and servers
and reports through Results."""

import os
import re
import subprocess
import time

from e2e_support import MIB, E2eError, accelerated_line, files_equal, tool_path
from product_texts import CANCELED, COMPLETED, DEFAULT_CONNECTIONS, FAILED, INCOMPLETE, URL_EMPTY
from window_harness import (BROWSE, CANCEL, CANCELING, CHECKING, CLOSE_SECONDS, CONNECTING, CONNECTIONS,
                            CONNECTIONS_OUT_OF_RANGE, DOWNLOAD, DURATION, FOLDER_EDIT, INITIAL_MODE, MODE,
                            PASTE_URL_FIRST, PROGRESS, READY, SIZE, SPEED, START, STATUS, URL_EDIT, Checks, Holder,
                            Session, check_left_alone, close_file_manager, closing_time, finished_line, job_files,
                            put_preexisting, set_fields, text, wait_for, wait_for_end, wait_mid_download)
from winekit import QUIETLY, wait_until


def case_initial(session, results):
    check = Checks()
    state = session.driver.state()
    check.equal("title", state["title"], "Pelbrook")
    check.equal("URL field", text(state, URL_EDIT), "")
    check.true("folder field is empty", text(state, FOLDER_EDIT) != "")
    check.equal("connections field", text(state, CONNECTIONS), str(DEFAULT_CONNECTIONS))
    check.equal("button", text(state, START), DOWNLOAD)
    check.equal("browse button", text(state, BROWSE), "Browse...")
    check.equal("mode line", text(state, MODE), INITIAL_MODE)
    check.equal("status line", text(state, STATUS), READY)
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
    check.equal("empty URL", answer["status"], PASTE_URL_FIRST)
    check.equal("button after a refusal", answer["button"], DOWNLOAD)
    check.equal("mode line after a refusal", answer["mode"], INITIAL_MODE)

    driver.command("settext %d http://127.0.0.1:9/never.bin" % URL_EDIT)
    driver.command("settext %d %s" % (FOLDER_EDIT, folder))
    for count in ("0", "33", "x5", "99999999999"):
        driver.command("settext %d %s" % (CONNECTIONS, count))
        answer = driver.click(START)
        check.equal("connections %r" % count, answer["status"], CONNECTIONS_OUT_OF_RANGE)
        check.equal("button after refusing %r" % count, answer["button"], DOWNLOAD)

    driver.command("type %d x7" % CONNECTIONS)
    state = driver.state()
    check.equal("typing a letter into the connections field", text(state, CONNECTIONS), "7")
    check.equal("mode line after the refusals", text(state, MODE), INITIAL_MODE)
    check.inputs(state, True)
    results.case("window: refusals (empty URL, connection counts, letters)", check.problems)


def case_blank_url(session, results, folder):
    """Blanks pass the window's check and are trimmed off; the engine refuses the empty URL before
    deciding a mode."""
    check = Checks()
    driver = session.driver
    set_fields(driver, "   ", folder, "4")
    driver.click(START)
    state = wait_for_end(driver)
    check.match("finished line", text(state, STATUS), finished_line(URL_EMPTY, folder + "\\download.bin"))
    check.equal("mode line", text(state, MODE), CHECKING)
    check.equal("bar", state["barPos"], 0)
    check.inputs(state, True)
    results.case("window: blank URL ends with the engine's message", check.problems)


def case_url_forms(session, results, folder, nginx, files_dir, out_dir):
    """What a pasted URL brings beyond the address: blanks around it, a fragment, a query with a path
    in it. Each job ends complete under the name of the URL's path; no other file is made or touched."""
    check = Checks()
    name = "f1000003.bin"
    url = nginx.url("/files/" + name)
    out = os.path.join(out_dir, name)
    put_preexisting(out_dir, "other.bin")
    for label, typed in (("a trailing space", url + " "), ("a trailing tab", url + "\t"),
                         ("a trailing no-break space", url + "\u00a0"), ("a leading space", " " + url),
                         ("a fragment", url + "#part2"), ("a path in the query", url + "?next=/other.bin")):
        before = set(os.listdir(out_dir))
        set_fields(session.driver, typed, folder, "4")
        session.driver.click(START)
        state = wait_for_end(session.driver)
        check.match("finished line with %s" % label, text(state, STATUS),
                    finished_line(COMPLETED, folder + "\\" + name))
        check.true("with %s, the file differs from the source" % label,
                   os.path.exists(out) and files_equal(out, os.path.join(files_dir, name)))
        made = sorted(set(os.listdir(out_dir)) - before)
        check.equal("files made with %s" % label, made, [name])
        if text(state, STATUS).startswith(COMPLETED):
            close_file_manager(session)
        for entry in made:
            os.remove(os.path.join(out_dir, entry))
    check_left_alone(check, out_dir, "other.bin")
    results.case("window: blanks, a fragment and a query around the URL", check.problems)


def case_cancel_while_probing(session, results, folder, fault, out_dir):
    """The server holds its answer to the probe; Cancel is pressed meanwhile."""
    check = Checks()
    driver = session.driver
    size = 20 * MIB
    name = "held.bin"
    url = fault.url("window-held", name, size=size, hold="g1")
    set_fields(driver, url, folder, "4")
    answer = driver.click(START)
    check.equal("status at the start", answer["status"], CONNECTING)
    check.equal("button at the start", answer["button"], CANCEL)
    check.equal("mode at the start", answer["mode"], CHECKING)
    state = driver.state()
    check.inputs(state, False)
    check.equal("bar range", state["barHigh"], 1000)
    check.equal("bar at the start", state["barPos"], 0)

    state = wait_for(driver, "the first progress tick", lambda s: text(s, STATUS).startswith("Downloading"), 30)
    check.match("first tick", text(state, STATUS), r"^Downloading\.\.\. 0 B  \|  0 B/s  \|  0:0\d$")
    check.equal("mode while probing", text(state, MODE), CHECKING)

    answer = driver.click(START)
    check.equal("status after Cancel", answer["status"], CANCELING)
    check.equal("button after Cancel", answer["button"], CANCEL)
    answer = driver.click(START)
    check.equal("status after a second Cancel", answer["status"], CANCELING)

    fault.control("/__release?gate=g1")
    state = wait_for_end(driver)
    path = folder + "\\" + name
    check.match("finished line", text(state, STATUS), finished_line(CANCELED, path))
    # The job ends at the probe's answer, before it names a mode.
    check.equal("mode line", text(state, MODE), CHECKING)
    check.equal("bar", state["barPos"], 0)
    check.inputs(state, True)
    check.true("the canceled file was left behind", not os.path.exists(os.path.join(out_dir, name)))
    check.equal("segment requests after an early cancel", fault.stats("window-held")["gets"], 0)
    results.case("window: cancel while the server is probed", check.problems)




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
    check.equal("status after Cancel", answer["status"], CANCELING)
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
    for connections, message in (("4", INCOMPLETE),
                                 ("1", FAILED)):
        put_preexisting(out_dir, name)
        set_fields(driver, fault.url("window-failing-" + connections, name, size=5000000, cut=100000), folder,
                   connections)
        driver.click(START)
        state = wait_for_end(driver)
        check.match("finished line", text(state, STATUS), finished_line(message, folder + "\\" + name))
        check_left_alone(check, out_dir, name)
    results.case("window: a failing server leaves the earlier file as it was", check.problems)



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
    wait_for(driver, "the job to start", lambda s: text(s, START) == CANCEL, 10)
    state = wait_for_end(driver)
    check.match("finished line", text(state, STATUS),
                finished_line(COMPLETED, folder + "\\" + name))
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
    check.equal("button at the start", answer["button"], CANCEL)
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
    check.match("finished line", text(state, STATUS), finished_line(COMPLETED, path))
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
        return text(driver.state(), START) == DOWNLOAD

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
        check.match("finished line", text(state, STATUS), finished_line(COMPLETED, folder + "\\" + name))
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
    check.match("finished line", text(state, STATUS), finished_line(FAILED, folder + "\\" + name))
    check_left_alone(check, out_dir, name)
    results.case("window: an output file held by another program stays as it was", check.problems)



def case_close_during_download(args, xvfb, results, folder, nginx, out_dir, session_end=False):
    """Closing the window in the middle of an accelerated job leaves the earlier file as it was. So does
    the end of the session: WM_QUERYENDSESSION, WM_ENDSESSION, then the process ends without WM_DESTROY;
    a session end called off first leaves the job running."""
    check = Checks()
    session = Session(args, xvfb, "endsession" if session_end else "close")
    try:
        name = "slow48.bin"
        put_preexisting(out_dir, name)
        set_fields(session.driver, nginx.url("/slow/" + name), folder, "4")
        session.driver.click(START)
        reached = wait_mid_download(session.driver, "48.0 MB")["barPos"]
        if session_end:
            session.driver.command("endsession 0")
            check.true("the job did not go on after a session end called off",
                       wait_until(lambda: session.driver.state()["barPos"] > reached, 10))
            check.equal("files during the download", len(job_files(out_dir, name)), 2)
            session.driver.command("endsession 1")
            session.driver.command("terminate %d" % session.pid)
        else:
            code, seconds = closing_time(session)
            check.equal("exit code", code, 0)
            check.true("the process took %.1f s to end" % seconds, seconds <= CLOSE_SECONDS)
        check_left_alone(check, out_dir, name)
    finally:
        session.stop()
    results.case("window: %s during a download" % ("the session ends" if session_end else "closing"), check.problems)


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
