"""The report's notes under its tables: where the programs run and what each figure counts."""

import os

from programs import (FLOOR, MULTI_PEERS, PEERS, PELBROOK, REF, SINGLE_PEERS, WINE_PROGRAMS, executables, idle_runs,
                      names)
from records import GIB, MIB, fmt_s, median_of, size_name
from scenarios import LIMIT_RATE, LIMITED_COUNTS

COUNT_WORDS = {2: "two", 3: "three", 4: "four"}  # "the two run side by side"

FLOOR_NOTE = (
    "- The bare WinHTTP reader (bench/winhttp_floor.cpp) is the least a program on this WinHTTP can do: one ranged "
    "GET per connection for an equal share, 1 MiB reads into its own file handle, nothing else. Under Wine it shows "
    "the platform's cost apart from Pelbrook's own.")
CHANGED_NOTE = (
    "- Changed file (scenario 5): each download gets its own case on the fault server, which counts its connections "
    "and requests; \"on disk\" is what the output path held afterwards (\"stitched\": the right size, but neither "
    "version whole), \"left\" the other files the program left beside it.")
BY_HAND_NOTE = (
    "- Measured once by hand, not in this run: where Wine's time goes in a download (`strace`, `perf`) and where "
    "Pelbrook's memory goes beyond the bare reader's, in bench/notes.md with their dates.")


def notes(r):
    """The notes' lines."""
    lines = [where_they_run(r), limited_cpu(r), peers_note(), ideal_note(r), FLOOR_NOTE, unthrottled_cpu(r),
             memory_note(r), small_note(r), CHANGED_NOTE, BY_HAND_NOTE, failures_note(r),
             "- The machine has %d cores; the whole run took %.1f minutes." % (os.cpu_count() or 0, r.minutes)]
    return [line for line in lines if line]


def where_they_run(r):
    small = r.small[0]
    wall = median_of(small.runs[PELBROOK.key], "wall") or 0
    job = median_of(small.runs[PELBROOK.key], "job") or 0
    return ("- Where they run: Pelbrook and the bare WinHTTP reader are Windows programs and run under Wine; "
            "%s run natively. Pelbrook's whole-process time includes starting and ending a Wine process (%s for "
            "the %s file: %s in all against a job of %s), which the natively run peers do not pay; its job time "
            "is `RunDownload` alone, timed inside the harness." % (
                names(executables(PEERS)), fmt_s(wall - job), size_name(small.size), fmt_s(wall), fmt_s(job)))


def limited_cpu(r):
    parts = []
    for s in r.limited:
        items = []
        for p in WINE_PROGRAMS + MULTI_PEERS:
            cpu = median_of(s.runs[p.key], "cpu")
            if cpu is None:
                continue
            server = median_of(s.runs[p.key], "server") if p.wine else None
            items.append("%s %.2f s%s" % (p.label(s.connections), cpu,
                                           " + %.2f s wineserver" % server if server is not None else ""))
        parts.append("%d connections: %s" % (s.connections, ", ".join(items)))
    return ("- CPU of one run of scenario 1 (user+sys; for Wine programs also the wineserver's share): %s." %
            "; ".join(parts))


def peers_note():
    """The peers' own remarks, and how those that take one connection run in scenario 1."""
    singles = executables(SINGLE_PEERS)
    parts = [p.remark for p in PEERS if p.remark]
    if singles:
        parts.append("%s use one connection whatever the count: in scenario 1 one run of each serves both counts, "
                     "and the %s run side by side (each held to its connection's 4 MiB/s by nginx, %d MiB/s in "
                     "all)." % (names(singles), COUNT_WORDS.get(len(singles), len(singles)),
                                len(singles) * LIMIT_RATE // MIB))
    parts.append("All peers get an empty HOME and no proxy settings.")
    return "- " + " ".join(parts)


def ideal_note(r):
    first = next(s for s in r.limited if s.connections == LIMITED_COUNTS[0])
    ideal = median_of(first.runs[REF.key])
    if ideal is None:
        return None
    return ("- The ideal is not a bound: nginx's `limit_rate` lets every request start with a burst (about %.1f "
            "MiB here: 1/%d of the file over one request takes %s, not the nominal %s at 4 MiB/s), so a program "
            "that makes several requests per connection, as Pelbrook's segments and %s pieces do, can beat one "
            "long request per connection. The yardstick of scenario 1 is the best peer." % (
                (first.nominal - ideal) * LIMIT_RATE / MIB, first.connections, fmt_s(ideal), fmt_s(first.nominal),
                names([tool + "'s" for tool in executables(MULTI_PEERS)])))


def unthrottled_cpu(r):
    u = r.unthrottled
    cpu, server = (median_of(u.runs[FLOOR.key], name) for name in ("cpu", "server"))
    gib = u.size / GIB
    return ("- CPU (scenario 2): user+sys from `/usr/bin/time` for each program; for Pelbrook and the bare reader, "
            "plus the CPU this Wine prefix's wineserver spent during the run (`/proc/<pid>/stat`). Bare WinHTTP "
            "reader: %.2f s/GiB in its process + %.2f s/GiB in wineserver. nginx is not counted for anyone." % (
                cpu / gib if cpu is not None else 0, server / gib if server is not None else 0))


def memory_note(r):
    m = r.memory
    nan = float("nan")
    return ("- Memory (scenario 3): peak resident size (`%%M` of `/usr/bin/time`, the final VmHWM; for Wine "
            "processes also the highest VmHWM read from /proc while they ran, which was up to %d KiB above) of the "
            "runs of scenario 1, less the same program's idle peak: %s. Wine commits about %.0f KiB for every "
            "thread, even one that does nothing (bench/thread_cost.cpp, 32 idle threads against none); \"without "
            "Wine's thread cost\" takes that off once per worker. The bare WinHTTP reader, which holds a 1 MiB "
            "buffer per thread as Pelbrook's workers do, grows by %s; so Pelbrook's own share above what any "
            "program on this WinHTTP holds under Wine is %s." % (
                max(row.above for row in m.rows),
                ", ".join("%s (%.1f MiB)" % (p.idle_text, m.idle[p.key] / 1024) for p in idle_runs()),
                m.per_thread,
                ", ".join("+%.1f MiB at %d connections" % (row.growth.get(FLOOR.key, nan), row.connections)
                          for row in m.rows),
                ", ".join("%+.1f MiB at %d" % (row.growth.get(PELBROOK.key, nan) - row.growth.get(FLOOR.key, nan),
                                               row.connections) for row in m.rows)))


def small_note(r):
    return ("- Small files (scenario 4): Wine needs %.1f ms to start and join 16 threads that do nothing "
            "(bench/thread_cost.cpp), a Linux build of the same code %.2f ms." % (
                r.memory.start_join16 * 1000, r.memory.start_join16_native * 1000))


def failures_note(r):
    if not r.failures:
        return None
    return ("- FAILED runs, not timed (a peer that exits with an error is marked failed; an output that differs from "
            "its source, any failure of Pelbrook, or a stitched file Pelbrook called complete also makes bench/run "
            "exit non-zero): " + "; ".join(r.failures))
