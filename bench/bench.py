"""Pelbrook's benchmark (started by bench/run).

Pelbrook's engine (pelbrook_engine_harness.exe under Wine) is measured in one
run, on the same machine and the same nginx, beside the download programs
people would use instead, run natively as black boxes: aria2c (with its own
split size and with 1 MiB pieces), axel, curl and wget. Beside them stand a
bare WinHTTP reader under Wine (winhttp_floor.exe: what any program on this
WinHTTP pays) and the ideal figures (reference_reader.py, one loopback socket;
nginx's per-connection limit). The order of the programs changes from round
to round. Every output file of scenarios 1 to 4 is compared byte for byte
with its source; a program whose file differs, or that fails, is marked
failed and not timed. Scenario 5 serves a file that changes during the
download and says what each program made of it (changed.py).
An output that differs, any failure of Pelbrook, or a stitched file that
Pelbrook called complete ends the run with a non-zero status; a peer that
only exits with an error, or stitches, does not.

The modules: programs.py (one record per program: adding a peer is adding
its record there), scenarios.py and changed.py (the scenarios), runner.py
(the surroundings and one judged download), measure.py (timing, CPU, memory,
the Wine server), records.py (the results, kept as JSON), report.py with
report_table.py, report_changed.py and report_notes.py (the report's text)
and report_chart.py with chart.py (its chart). bench/run puts tools/
(winekit.py) and tests/e2e/ (nginx, the fault server) on PYTHONPATH.
With --report-only only the report is written, from the figures the last
run kept: nothing is started and the bench's own programs are not needed.
"""

import argparse
import datetime
import os
import signal
import sys
import time

import changed
import records
import report
import report_chart
import scenarios
from measure import KitError, log
from runner import Bench


def measure_all(bench):
    results = records.Results(stamp="", rounds=bench.rounds, load_before=list(os.getloadavg()))
    started = time.monotonic()
    bench.make_files()
    bench.nginx.start()
    log("== nginx on 127.0.0.1:%d; Wine prefix %s" % (bench.nginx.http_port, bench.prefix))
    bench.start_wine()
    log("== 1. limited to 4 MiB/s per connection, 256 MiB, 16 and 32 connections")
    results.limited = scenarios.limited(bench)
    log("== 2. unthrottled, 1 GiB into /dev/shm, 16 connections (1 for curl and wget)")
    results.unthrottled = scenarios.unthrottled(bench)
    log("== 3. peak resident memory over idle")
    results.memory = scenarios.memory(bench, results.limited)
    log("== 4. small files, 16 connections")
    results.small = scenarios.small(bench)
    log("== 5. the file changes on the server during the download")
    results.changed = changed.run(bench)
    results.changed_size, results.changed_rate = changed.SIZE, changed.RATE
    results.load_after = list(os.getloadavg())
    results.minutes = (time.monotonic() - started) / 60
    results.failures = bench.failures
    results.fatal = bench.fatal
    results.stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    return results


def write(results, args):
    text, readme_part = report.build_report(results, report.versions_text())
    os.makedirs(args.results, exist_ok=True)
    for name in ("latest.md", "bench-%s.md" % results.stamp):
        with open(os.path.join(args.results, name), "w") as f:
            f.write(text)
    with open(os.path.join(args.results, "latest.png"), "wb") as f:
        f.write(report_chart.build_chart(results))
    if args.readme and not report.update_readme(args.readme, results.stamp, readme_part):
        log("bench: %s has no benchmark markers; left as it is" % args.readme)
    log("")
    log(text)
    log("bench: wrote %s/latest.md, latest.png and bench-%s.md" % (args.results, results.stamp))


def main():
    parser = argparse.ArgumentParser()
    tool_options = ["--harness", "--floor", "--thread-probe", "--native-thread-probe", "--wine-run"]
    for name in tool_options:
        parser.add_argument(name, help="needed unless --report-only")
    parser.add_argument("--work", required=True)
    parser.add_argument("--results", required=True)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--readme", help="README whose marked benchmark table is replaced with this run's")
    parser.add_argument("--report-only", action="store_true",
                        help="measure nothing: write the report again from the last run's figures in --work")
    args = parser.parse_args()
    if args.rounds < 3:
        parser.error("at least 3 rounds")
    if not args.report_only:
        missing = [name for name in tool_options if getattr(args, name[2:].replace("-", "_")) is None]
        if missing:
            parser.error("the bench's programs are needed to measure: %s" % ", ".join(missing))

    def on_signal(number, frame):
        raise SystemExit("bench: stopped by signal %d" % number)

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGHUP, on_signal)
    figures = os.path.join(os.path.abspath(args.work), "last-run.json")
    if args.report_only:
        if not os.path.exists(figures):
            print("bench: no figures of a run in %s; run bench/run first" % figures, file=sys.stderr, flush=True)
            return 1
        results = records.load(figures)
    else:
        bench = Bench(args)
        try:
            results = measure_all(bench)
        except KitError as error:
            print("bench: FAILED: %s" % error, file=sys.stderr, flush=True)
            return 1
        finally:
            bench.cleanup()
        records.save(results, figures)
    write(results, args)
    if results.fatal:
        log("bench: FAILED: %s" % "; ".join(results.fatal))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
