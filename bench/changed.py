"""Scenario 5: the file changes on the server while it is being fetched (its table is report_changed.py).

Served by the end-to-end fault server: two versions of one file with the same
size, each with its own ETag and Last-Modified, either replaced after the
first few requests (a new release published mid-download) or one version per
connection, alternating (back ends of a load balancer during a rollout). Each
program's file is judged by what is on disk: one whole version, stitched from
both, or absent; and by what the program said. A stitched file from a peer is
reported, not failed; one that Pelbrook called complete fails the run.
"""

import os
from dataclasses import dataclass

import test_content
from e2e_support import FaultServer
from measure import BenchError, Child, log, output_value
from programs import PELBROOK, changed_programs
from records import MIB, Changed
from scenarios import ordered

SIZE = 24 * MIB
RATE = 2 * MIB  # per answer: a download of several requests takes a few seconds, and the change lands in it
CONNECTIONS = 16
REPLACED_AFTER = 4  # requests: Pelbrook's probe and its first segments, a peer's first requests


@dataclass(frozen=True)
class Way:
    """One way the file changes."""
    key: str  # in the results file
    query: str  # what asks the fault server for it
    title: str  # its column in the table


WAYS = [Way("replace", "versions=replace%%3A%d" % REPLACED_AFTER,
            "File replaced after the first %d requests" % REPLACED_AFTER),
        Way("alternate", "versions=alternate", "Connections alternating between two versions")]
TIMEOUT = 120


def command(bench, program, url, job):
    if program is PELBROOK:
        # Not quiet: the harness then prints the job's message.
        return [bench.tools.wine_run, bench.tools.harness, url, job.out_windows, str(CONNECTIONS)]
    return program.command(bench.tools, job)


def on_disk(path):
    if not os.path.exists(path):
        return "absent"
    with open(path, "rb") as f:
        data = f.read()
    if len(data) != SIZE:
        return "%d of %d bytes" % (len(data), SIZE)
    version = test_content.which_version(data)
    return "version %d" % version if version else "stitched"


def reported(program, measured):
    if program is PELBROOK:
        try:
            return "\"%s\" (exit %d)" % (output_value(measured.output, "message"), measured.exit_code)
        except BenchError:
            return "exit %d, no message" % measured.exit_code
    last = measured.output.strip().splitlines()[-1:] if measured.exit_code else []
    return "exit %d%s" % (measured.exit_code, (": " + last[0][:80]) if last else "")


def one(bench, fault, program, way, index):
    case = "changed-%s-%s-%d" % (program.key, way.key, index + 1)
    url = fault.url(case, "image.bin", size=SIZE, rate=RATE) + "&" + way.query
    job = bench.job(program, url, "/" + case + "/image.bin", CONNECTIONS, SIZE, tag=case)
    result = Changed(program=program.key, way=way.key, round=index + 1, reported="", completed=False, on_disk="")
    try:
        measured = Child(command(bench, program, url, job), bench.env_for(program), keep_errors=not program.wine) \
            .finish(TIMEOUT)
        result.reported = reported(program, measured)
        result.completed = measured.exit_code == 0
    except BenchError as error:
        result.reported = str(error)
    result.on_disk = on_disk(job.out)
    seen = fault.stats(case)
    result.connections, result.requests = seen["connections"], seen["requests"]
    base = os.path.basename(job.out)
    result.leftovers = [name[len(base):] for name in bench.clear_shm(base) if name != base]
    whole = result.on_disk.startswith("version ")
    what = "%s, %s, round %d: %s, on disk %s" % (program.label(CONNECTIONS), way.title.lower(), index + 1,
                                                  result.reported, result.on_disk)
    if program is PELBROOK and ((result.completed and not whole) or "timed out" in result.reported):
        bench.fail(what, fatal=True)
    return result


def run(bench):
    fault = FaultServer().start()
    try:
        tasks = [(p, way) for way in WAYS for p in changed_programs()]
        out = []
        for i in range(bench.rounds):
            notes = []
            for program, way in ordered(tasks, i):
                out.append(one(bench, fault, program, way, i))
                notes.append("%s/%s %s" % (program.key, way.key, out[-1].on_disk))
            log("   round %d: %s" % (i + 1, "; ".join(notes)))
        return out
    finally:
        fault.stop()
