#!/usr/bin/env python3
"""Download jobs through the real engine under Wine, against nginx and the fault server.

Each case runs the engine harness once and checks the job's message and
success flag, the mode line, the progress it reported, the file on disk, and
the connections and requests the server saw. Whatever the case, a job that
ends as completed must have left a file identical to the source.
"""

import argparse
import os
import shutil
import sys
import time

import test_content
from e2e_support import (MIB, NO_RANGES, ONE_CONNECTION, SEGMENT, E2eError, FaultServer, Nginx, Results,
                         accelerated_line, files_equal, make_work_dir, require_tools, segment_count, workers_for,
                         write_random_file)
from product_texts import CANCELED, FAILED, INCOMPLETE
from product_texts import COMPLETED as DONE, CONNECTIONS_BELOW_ONE as BAD_COUNT, INVALID_URL as INVALID
from product_texts import NO_FILE_SIZE as NO_SIZE, NO_OUTPUT_FILE
from winekit import run_windows, windows_path

CASE_SECONDS = 240
# Past 4 GiB, for PELBROOK_E2E_HUGE=1 runs only: they need 9 GiB of disk.
HUGE = 4608 * MIB
# Under ctest's 600 s, so that a stuck run ends with its own word on what it waited for.
RUN_SECONDS = 540


def mode_for(size, connections, ranges=True):
    if connections <= 1:
        return ONE_CONNECTION
    return accelerated_line(size, connections) if ranges else NO_RANGES


class Case:
    """One job and what must come of it.

    file: "equal" (identical to the source), "absent", "untouched" (a file that
    was there before the job keeps its bytes). In every case the job's
    temporary file is gone afterwards.
    """

    def __init__(self, name, url, connections, message, mode, file, source=None, size=0,
                 server=None, probe_requests=1, requests=None, cancel_at=None, bytes_downloaded=None,
                 preexisting=False):
        self.name = name
        self.url = url
        self.connections = connections
        self.message = message
        self.mode = mode
        self.file = file
        self.source = source
        self.size = size
        self.server = server
        self.probe_requests = probe_requests
        self.requests = requests
        self.cancel_at = cancel_at
        self.bytes_downloaded = bytes_downloaded
        self.preexisting = preexisting or file == "untouched"

    @property
    def accelerated(self):
        return self.mode.startswith("Mode: Accelerated")


def parse_report(text):
    report = {}
    for line in text.splitlines():
        if "=" in line:
            key, value = line.split("=", 1)
            report[key] = value
    return report


def connection_bound(case):
    """TCP connections a job may use: one per worker that gets a segment, plus the probe's."""
    if case.accelerated:
        return min(workers_for(case.connections), segment_count(case.size, case.connections)) + case.probe_requests
    return 1 + case.probe_requests


def server_view(case, nginx, fault):
    """(connections, requests) that the server saw for this case."""
    if case.server == "nginx":
        entries = nginx.log_lines(case.name)
        return len({e["connection"] for e in entries}), len(entries)
    if case.server == "fault":
        stats = fault.stats(case.name)
        return stats["connections"], stats["requests"]
    return None, None


PREEXISTING_BYTES = b"this file was here before the job\n"


def check_case(case, report, exit_code, out_path, nginx, fault, verbose=False):
    problems = []

    def expect(what, got, wanted):
        if got != wanted:
            problems.append("%s: got %r, wanted %r" % (what, got, wanted))

    if "message" not in report:
        return ["no report from the harness (exit code %d)" % exit_code]
    message = report["message"]
    expect("message", message, case.message)
    expect("success flag", report.get("success"), "1" if case.message == DONE else "0")
    expect("exit code", exit_code, 0 if case.message == DONE else 1)
    expect("mode line", report.get("modeLine"), case.mode)
    expect("status calls", report.get("statusCalls"), "1" if case.mode else "0")
    if case.mode:
        expect("announced line", report.get("statusLine"), case.mode)
    if case.bytes_downloaded is not None:
        expect("bytesDownloaded", int(report.get("bytesDownloaded", "-1")), case.bytes_downloaded)

    if message == DONE and case.size > 0:
        # Workers count every byte they write, so a server that sends more than
        # was asked can push the running count past the total.
        largest = int(report.get("progressMaxDone", "0"))
        if largest < case.size or (largest > case.size and not case.accelerated):
            problems.append("largest progress reported: %d for a file of %d bytes" % (largest, case.size))
        expect("last progress total", int(report.get("progressLastTotal", "0")), case.size)
    if not case.mode:
        expect("progress calls", report.get("progressCalls"), "0")

    exists = os.path.exists(out_path)
    if message == DONE:
        # The one rule that holds for every case.
        if not exists or case.source is None or not files_equal(out_path, case.source):
            problems.append("reported complete but the file differs from the source")
    if case.file == "equal":
        if not exists:
            problems.append("no output file")
    elif case.file == "absent":
        if exists:
            problems.append("an output file was left behind (%d bytes)" % os.path.getsize(out_path))
    elif case.file == "untouched":
        if not exists:
            problems.append("the file that was there before is gone")
        else:
            with open(out_path, "rb") as f:
                if f.read() != PREEXISTING_BYTES:
                    problems.append("the file that was there before was changed")
    left = [n for n in os.listdir(os.path.dirname(out_path)) if n.startswith(os.path.basename(out_path) + ".")]
    if left:
        problems.append("temporary files left behind: %s" % left)

    connections, requests = server_view(case, nginx, fault)
    if connections is not None:
        if verbose:
            print("     server saw %d connection(s), %d request(s)" % (connections, requests))
        if not case.mode and case.message != NO_SIZE and requests != 0:
            problems.append("the server saw %d requests for a job that never asked it" % requests)
        if case.mode and connections > connection_bound(case):
            problems.append("%d connections, more than one per worker plus the probe's (%d)"
                            % (connections, connection_bound(case)))
        wanted_requests = case.requests
        if wanted_requests is None and message == DONE:
            transfers = segment_count(case.size, case.connections) if case.accelerated else 1
            wanted_requests = case.probe_requests + transfers
        if wanted_requests is not None:
            expect("requests seen by the server", requests, wanted_requests)
    return problems


def run_harness(args, results, harness_args):
    seconds = results.time_left(CASE_SECONDS)
    if seconds < 5:
        raise E2eError("not run: the %d s this script allows itself are used up" % RUN_SECONDS)
    return run_windows(args.harness, harness_args, seconds, args.wine_run)


def run_case(case, args, out_dir, nginx, fault, results):
    out_path = os.path.join(out_dir, case.name + ".bin")
    if os.path.exists(out_path):
        os.remove(out_path)
    if case.preexisting:
        with open(out_path, "wb") as f:
            f.write(PREEXISTING_BYTES)
    harness_args = []
    if case.cancel_at is not None:
        harness_args += ["--cancel-at", str(case.cancel_at)]
    harness_args += [case.url, windows_path(out_path), str(case.connections)]
    started = time.monotonic()
    try:
        exit_code, out, err = run_harness(args, results, harness_args)
        problems = check_case(case, parse_report(out), exit_code, out_path, nginx, fault, args.verbose)
        if problems and err.strip():
            problems.append("stderr: " + err.strip()[-500:])
    except E2eError as error:
        problems = [str(error)]
    results.case(case.name, problems, time.monotonic() - started)
    if os.path.exists(out_path) and os.path.getsize(out_path) > 8 * MIB:
        os.remove(out_path)


def nginx_cases(nginx, files):
    cases = []

    def url(location, name, case_name, secure):
        return nginx.url("/%s/%s?c=%s" % (location, name, case_name), secure)

    def add(name, size, connections, location="files", file_name=None, secure=None, **kw):
        file_name = file_name or "f%d.bin" % size
        ranges = location != "norange"
        kw.setdefault("message", NO_SIZE if size == 0 else DONE)
        kw.setdefault("mode", "" if size == 0 else mode_for(size, connections, ranges))
        kw.setdefault("file", "absent" if size == 0 else "equal")
        kw.setdefault("bytes_downloaded",
                      size if kw["message"] == DONE and kw["mode"].startswith("Mode: Accelerated") else 0)
        cases.append(Case(name, url(location, file_name, name, secure), connections, source=files[size], size=size,
                          server="nginx", **kw))

    for connections in (1, 4, 16, 32):
        add("one-byte-c%d" % connections, 1, connections)
    for size, connections in ((SEGMENT - 1, 4), (SEGMENT - 1, 32), (SEGMENT, 1), (SEGMENT, 4),
                              (SEGMENT + 1, 4), (SEGMENT + 1, 16), (4 * MIB + 1, 16), (5000000, 8)):
        add("size%d-c%d" % (size, connections), size, connections)
    ten = 10 * MIB + 7
    for connections in (1, 4, 16, 32, 40):
        add("ten-mib-c%d" % connections, ten, connections)
    for connections in (1, 4, 16, 32):
        add("no-ranges-c%d" % connections, ten, connections, location="norange")
    for connections in (4, 16):
        add("head-refused-c%d" % connections, ten, connections, location="nohead", probe_requests=2)
    add("empty-file-c1", 0, 1)
    add("empty-file-c16", 0, 16)
    big = 64 * MIB + 5
    add("big-c4", big, 4)
    add("big-c1", big, 1)
    huge = 256 * MIB + 3
    add("huge-c32", huge, 32)

    if HUGE in files:
        add("over-4gib-c32", HUGE, 32)
        # Wine's WinHTTP reads Content-Length as a 32-bit long and ends every
        # body at 2147483647 bytes; the job must fail honestly and keep nothing.
        add("over-2gib-c1-wine", HUGE, 1, message=FAILED, file="absent")

    add("cancel-accelerated", big, 4, message=CANCELED, file="absent", cancel_at=8 * MIB, bytes_downloaded=0)
    add("cancel-single", big, 1, message=FAILED, file="untouched", cancel_at=8 * MIB, bytes_downloaded=0)
    add("cancel-accelerated-existing", big, 4, message=CANCELED, file="untouched", cancel_at=8 * MIB,
        bytes_downloaded=0)
    add("replaces-existing", ten, 4, preexisting=True)

    add("missing-file", ten, 4, file_name="nothing-here.bin", message=NO_SIZE, mode="", file="untouched",
        preexisting=True, requests=2)
    add("count-zero", ten, 0, message=BAD_COUNT, mode="", file="absent", requests=0)
    add("count-negative", ten, -3, message=BAD_COUNT, mode="", file="absent", requests=0)

    for connections in (1, 4):
        add("https-trusted-c%d" % connections, ten, connections, secure="trusted")
    cases.append(Case("https-self-signed", nginx.url("/files/f1.bin?c=https", "untrusted"), 4, NO_SIZE, "",
                      "absent", source=files[1], size=1))
    cases.append(Case("not-http", "ftp://127.0.0.1/files/f1.bin", 4, INVALID, "", "absent"))
    cases.append(Case("not-a-url", "just some words", 4, INVALID, "", "absent"))
    return cases


def fault_cases(fault, sources):
    size = 5000000
    cases = []

    def add(name, connections, message, mode, file, probe_requests=1, requests=None, case_size=size, **options):
        options.setdefault("size", case_size)
        cases.append(Case(name, fault.url(name, "data.bin", **options), connections, message, mode, file,
                          source=sources[case_size], size=case_size, server="fault",
                          probe_requests=probe_requests, requests=requests,
                          bytes_downloaded=case_size if message == DONE and mode.startswith("Mode: Acc") else None))

    accelerated = accelerated_line(size, 4)
    add("head-refused", 4, DONE, accelerated, "equal", probe_requests=2, head=405)
    add("head-refused-c32", 32, DONE, accelerated_line(size, 32), "equal", probe_requests=2, head=405)
    add("head-refused-one-byte", 4, DONE, accelerated_line(1, 4), "equal", probe_requests=2, case_size=1, head=405)
    add("head-refused-empty", 4, NO_SIZE, "", "absent", probe_requests=2, requests=2, case_size=0, head=405)
    add("size-unknown-star", 4, NO_SIZE, "", "absent", requests=2, head=405, probe="star")
    add("head-without-length", 4, NO_SIZE, "", "absent", requests=1, nolength=1)
    add("range-answered-416", 4, NO_SIZE, "", "absent", requests=2, head=405, get_status=416)
    add("not-found-404", 4, NO_SIZE, "", "untouched", requests=2, status=404)
    cases[-1].preexisting = True
    add("probe-get-200", 4, DONE, NO_RANGES, "equal", probe_requests=2, head=405, ignore_range=1, ranges="absent")
    add("ranges-ignored", 4, INCOMPLETE, accelerated, "absent", ignore_range=1)
    add("lower-case-names", 4, DONE, accelerated, "equal", lower=1)
    add("lower-case-probe", 4, DONE, accelerated, "equal", probe_requests=2, lower=1, head=405)
    add("ranges-in-capitals", 4, DONE, accelerated, "equal", ranges="BYTES")
    add("ranges-none", 4, DONE, NO_RANGES, "equal", ranges="none")
    add("cut-single", 1, FAILED, ONE_CONNECTION, "absent", cut=1000000)
    add("cut-single-existing", 1, FAILED, ONE_CONNECTION, "untouched", cut=1000000)
    add("cut-one-segment", 4, INCOMPLETE, accelerated, "untouched", where=1666667, cut=100000)
    add("cut-every-segment", 4, INCOMPLETE, accelerated, "untouched", cut=1000)
    add("short-segment", 4, INCOMPLETE, accelerated, "untouched", where=1666667, short=10)
    add("long-segments", 4, DONE, accelerated, "equal", where="notfirst0", long=1000)
    add("shifted-range", 4, INCOMPLETE, accelerated, "absent", where="notfirst0", shift=1)
    add("wrong-total", 4, INCOMPLETE, accelerated, "absent", where="notfirst0", badtotal=1)
    add("segment-404", 4, INCOMPLETE, accelerated, "absent", where=3333334, fail=404)
    add("segment-200", 4, INCOMPLETE, accelerated, "untouched", where=1666667, fail=200)
    # A 200 to the first segment stands for the whole file only at the probe's size; this one comes
    # once the other segments are under way, with the first 3,000,000 bytes alone.
    add("first-segment-short-200", 4, INCOMPLETE, accelerated, "untouched", where="first0", delay=1, fail=200,
        length=3000000)
    # One transfer ends complete only at the size the probe learnt, whatever its Content-Length says.
    for value, extra in (("0", {}), ("abc", {"cut": 2000000}), ("4000000", {})):
        add("get-length-%s-single" % value, 1, FAILED, ONE_CONNECTION, "untouched", length=value, **extra)
        add("get-length-%s-no-ranges" % value, 4, FAILED, NO_RANGES, "untouched", ranges="absent", length=value,
            **extra)
    add("chunked-single", 1, DONE, ONE_CONNECTION, "equal", chunked=1)
    add("chunked-single-cut", 1, FAILED, ONE_CONNECTION, "absent", chunked=1, chunkcut=2000000)
    add("chunked-segments", 4, DONE, accelerated, "equal", chunked=1)
    add("chunked-segment-cut", 4, INCOMPLETE, accelerated, "untouched", chunked=1, where=1666667, chunkcut=500000)
    add("redirect-302", 4, DONE, accelerated, "equal", requests=8, redirect=302)
    add("redirect-307-single", 1, DONE, ONE_CONNECTION, "equal", requests=4, redirect=307)

    # The file changes on the server during the job, keeping its size: no job
    # may stitch the versions together, and one connection fetches one whole.
    for connections in (4, 16):
        line = accelerated_line(size, connections)
        add("changed-replaced-c%d" % connections, connections, INCOMPLETE, line, "absent", versions="replace:3")
        add("changed-alternating-c%d" % connections, connections, INCOMPLETE, line, "absent", versions="alternate")
        add("run-on-c%d" % connections, connections, INCOMPLETE, line, "absent", chunked=1, where=1666667,
            runon=MIB)
    add("changed-last-modified", 4, INCOMPLETE, accelerated, "absent", versions="replace:3", validators="lastmod")
    add("changed-single", 1, DONE, ONE_CONNECTION, "equal", versions="replace:1")
    cases[-1].source = sources["version 2"]
    return cases


def run_quiet_cases(args, out_dir, nginx, files, results):
    """The harness as a benchmark uses it: no output, the exit code alone tells."""
    size = 10 * MIB + 7
    for name, path, wanted_code in (("quiet-success", "/files/f%d.bin" % size, 0),
                                    ("quiet-failure", "/files/nothing-here.bin", 1)):
        out_path = os.path.join(out_dir, name + ".bin")
        problems = []
        try:
            code, out, _ = run_harness(args, results,
                                       ["--quiet", nginx.url(path + "?c=" + name), windows_path(out_path), "4"])
            if code != wanted_code:
                problems.append("exit code %d, wanted %d" % (code, wanted_code))
            if out:
                problems.append("printed %r" % out[:200])
            if wanted_code == 0 and not (os.path.exists(out_path) and files_equal(out_path, files[size])):
                problems.append("the file differs from the source")
        except E2eError as error:
            problems.append(str(error))
        results.case(name, problems)


def run_alias_cases(args, out_dir, nginx, results):
    """The output path's last segment is another file's short 8.3 name, which Windows resolves to that
    file: the job must write nothing and leave that file as it was."""
    folder = os.path.join(out_dir, "alias")
    os.makedirs(folder)
    report = os.path.join(folder, "Quarterly report 2025.pdf")
    with open(report, "wb") as f:
        f.write(PREEXISTING_BYTES)
    _, said, _ = run_windows(args.holder, ["short", windows_path(report)], CASE_SECONDS, args.wine_run)
    short = said.strip()[len("short "):] if said.startswith("short ") else ""
    for connections, message in ((1, FAILED), (4, NO_OUTPUT_FILE)):
        name = "alias-short-name-c%d" % connections
        problems = []
        if not short or short.lower() == os.path.basename(report).lower():
            problems.append("Wine gave no short name other than the long one for %s: %r" % (report, said))
        else:
            url = nginx.url("/files/f%d.bin?c=%s" % (10 * MIB + 7, name))
            try:
                _, out, _ = run_harness(args, results, [url, windows_path(os.path.join(folder, short)),
                                                        str(connections)])
                got = parse_report(out).get("message")
                if got != message:
                    problems.append("message: got %r, wanted %r" % (got, message))
            except E2eError as error:
                problems.append(str(error))
            if sorted(os.listdir(folder)) != [os.path.basename(report)]:
                problems.append("files in the folder: %s" % sorted(os.listdir(folder)))
            with open(report, "rb") as f:
                if f.read() != PREEXISTING_BYTES:
                    problems.append("%s was changed" % os.path.basename(report))
        results.case(name, problems)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--harness", required=True)
    parser.add_argument("--trust-ca", required=True, help="the program that trusts the tests' certificate authority")
    parser.add_argument("--holder", required=True, help="the file holder, which names a file's short name")
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--only", help="run only the cases whose name contains this text")
    parser.add_argument("--verbose", action="store_true", help="show what the server saw")
    args = parser.parse_args()

    require_tools("nginx", "openssl")
    work = make_work_dir(args.work, "engine-")
    files_dir = os.path.join(work, "files")
    out_dir = os.path.join(work, "out")
    run_dir = os.path.join(work, "nginx")
    for folder in (files_dir, out_dir, run_dir):
        os.makedirs(folder)

    results = Results(RUN_SECONDS)
    nginx = fault = None
    try:
        files = {}
        sizes = [0, 1, SEGMENT - 1, SEGMENT, SEGMENT + 1, 4 * MIB + 1, 5000000, 10 * MIB + 7, 64 * MIB + 5,
                 256 * MIB + 3] + ([HUGE] if os.environ.get("PELBROOK_E2E_HUGE") == "1" else [])
        for size in sizes:
            files[size] = os.path.join(files_dir, "f%d.bin" % size)
            write_random_file(files[size], size)
        sources = {}
        for size in (0, 1, 5000000, "version 2"):
            sources[size] = os.path.join(work, "fault%s.bin" % size)
            with open(sources[size], "wb") as f:
                f.write(test_content.version_content(2, 0, 5000000) if size == "version 2"
                        else test_content.content(0, size))

        # The authority lives as long as the build folder, so its prefix trusts one, not one per run.
        nginx = Nginx(run_dir, files_dir, ca_dir=args.work).start()
        code, _, err = run_windows(args.trust_ca, [windows_path(nginx.ca[2])], CASE_SECONDS, args.wine_run)
        if code != 0:
            raise E2eError("could not trust the test certificate authority: %s" % err.strip())
        fault = FaultServer().start()
        cases = nginx_cases(nginx, files) + fault_cases(fault, sources)
        for case in cases:
            if args.only and args.only not in case.name:
                continue
            run_case(case, args, out_dir, nginx, fault, results)
        if not args.only or "quiet" in args.only:
            run_quiet_cases(args, out_dir, nginx, files, results)
        if not args.only or "alias" in args.only:
            run_alias_cases(args, out_dir, nginx, results)
    except E2eError as error:
        results.case("setup", [str(error)])
    finally:
        if fault is not None:
            fault.stop()
        if nginx is not None:
            nginx.stop()
    code = results.finish()
    if code == 0:
        shutil.rmtree(work, ignore_errors=True)
    else:
        shutil.rmtree(files_dir, ignore_errors=True)
        print("logs kept in %s" % work)
    return code


if __name__ == "__main__":
    sys.exit(main())
