#!/usr/bin/env python3
"""Pelbrook.exe under Wine on Xvfb, driven from outside like a person would:
the window's cases (window_cases.py, window_cancel_cases.py) run against nginx
and the fault server on loopback, through the harness of window_harness.py.
Two screenshots are written: one during a download and one of the finished
window.
"""

import argparse
import os
import shutil
import sys
import tempfile

from e2e_support import MIB, E2eError, FaultServer, Nginx, Results, make_work_dir, require_tools, write_random_file
from product_texts import CANCELED, FAILED
from window_cancel_cases import run_cancel_cases
from window_cases import (case_blank_url, case_cancel_downloading, case_cancel_while_probing,
                          case_close_during_download, case_close_stalled, case_double_click, case_failing_server,
                          case_initial, case_output_held, case_refusals, case_scanner, case_success, case_url_forms)
from window_harness import Session, Xvfb
from winekit import boot, end_processes, pids_with, wineserver, windows_path


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
        write_random_file(os.path.join(files_dir, "f1000003.bin"), 1000003)
        if not os.path.isdir(os.path.join(args.prefix, "drive_c")) and not boot(args.prefix, 300, False):
            raise E2eError("could not make the Wine prefix %s" % args.prefix)
        nginx = Nginx(run_dir, files_dir, slow_rate="1m").start()
        fault = FaultServer().start()
        xvfb = Xvfb(os.path.join(work, "xvfb.log")).start()
        session = Session(args, xvfb, "main")
        for run in (lambda: case_initial(session, results),
                    lambda: case_refusals(session, results, folder),
                    lambda: case_blank_url(session, results, folder),
                    lambda: case_url_forms(session, results, folder, nginx, files_dir, out_dir),
                    lambda: case_cancel_while_probing(session, results, folder, fault, out_dir),
                    lambda: case_cancel_downloading(session, results, folder, nginx, out_dir, "4", CANCELED),
                    lambda: case_cancel_downloading(session, results, folder, nginx, out_dir, "1", FAILED),
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
        case_close_during_download(args, xvfb, results, folder, nginx, out_dir, session_end=True)
        run_cancel_cases(args, xvfb, results, folder + "\\Cancel", fault, os.path.join(out_dir, "Cancel"))
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
