"""The report of one run (bench/results/*.md) and the README's table: only what that run measured.

What was measured once by hand stays in bench/notes.md, with its date; the
report links it and never prints its figures.
"""

import datetime
import os
import platform
import subprocess

import changed
from measure import log
from programs import (ARIA, ARIA2_MAX_PER_SERVER, ARIAK, AXEL, CURL, FLOOR, MULTI_PEERS, PELBROOK, PROGRAMS, REF, WGET,
                      program)
from records import GIB, MIB, fmt_s, median, median_of, size_name, spread, time_cell
from scenarios import LIMIT_RATE, LIMITED_COUNTS

README_BEGIN = "<!-- bench table: written by bench/run -->"
README_END = "<!-- end of bench table -->"
WINE_PROGRAMS = [PELBROOK, FLOOR]


def analyse(r):
    """Verdicts and the figures the notes and the chart share."""
    a = {"s1": {}, "s3": {}}
    for s in r.limited:
        pel_wall = median_of(s.runs[PELBROOK.key], "wall")
        pel_job = median_of(s.runs[PELBROOK.key], "job")
        peers = {p.key: median_of(s.runs[p.key]) for p in MULTI_PEERS if median_of(s.runs[p.key]) is not None}
        best = min(peers.items(), key=lambda kv: kv[1]) if peers else None
        a["s1"][s.connections] = {
            "pel_wall": pel_wall, "pel_job": pel_job, "best": best,
            "ok": pel_wall is not None and best is not None and pel_wall <= best[1],
            "ok_job": pel_job is not None and best is not None and pel_job <= best[1]}
    runs = r.unthrottled.runs
    gib = r.unthrottled.size / GIB
    b = {"pel": median_of(runs[PELBROOK.key], "wall"), "pel_job": median_of(runs[PELBROOK.key], "job"),
         "floor": median_of(runs[FLOOR.key], "wall"), "floor_job": median_of(runs[FLOOR.key], "job"),
         "curl": median_of(runs[CURL.key], "wall")}
    for p in PROGRAMS:
        cpu = median_of(runs[p.key], "cpu")
        b["cpu_" + p.key] = cpu / gib if cpu is not None else None
    for p in WINE_PROGRAMS:
        server = median_of(runs[p.key], "server")
        b["server_" + p.key] = server / gib if server is not None else None
    a["s2"] = b
    for row in r.memory.rows:
        if row.net is not None and row.budget is not None:
            a["s3"][row.connections] = {"ok": row.growth[PELBROOK.key] <= row.budget, "ok_net": row.net <= row.budget}
    return a


def gap_text(b):
    """Scenario 2's verdict: Pelbrook's distance to curl, split at the bare WinHTTP reader's time."""
    gap = b["pel"] - b["curl"]
    text = "%.1fx curl's time, %s more; " % (b["pel"] / b["curl"], fmt_s(gap))
    if b["pel"] <= b["floor"]:
        return text + ("all of it is Wine's: the bare WinHTTP reader at 16 connections takes %s, %s more than "
                       "Pelbrook" % (fmt_s(b["floor"]), fmt_s(b["floor"] - b["pel"])))
    return text + ("%s of it is Wine's (the bare WinHTTP reader at 16 connections takes %s) and %s Pelbrook's own"
                   % (fmt_s(b["floor"] - b["curl"]), fmt_s(b["floor"]), fmt_s(b["pel"] - b["floor"])))


def limited_verdict(v, n):
    if v["best"] is None or v["pel_wall"] is None:
        return "missed (a program failed)"
    best = "%s" % program(v["best"][0]).label(n)
    share = v["pel_wall"] / v["best"][1]
    if v["ok"]:
        return "met (%.2f of the best peer, %s)" % (share, best)
    if v["ok_job"]:
        return ("missed by the whole process (%.2f of %s), met by the job's own time (%.2f): the gap is Wine's "
                "start" % (share, best, v["pel_job"] / v["best"][1]))
    return "missed (%.2f of the best peer, %s)" % (share, best)


def main_rows(r, a, add):
    for s in r.limited:
        n, runs = s.connections, s.runs
        aria, ariak = time_cell(runs[ARIA.key]), time_cell(runs[ARIAK.key])
        if n > ARIA2_MAX_PER_SERVER:
            aria += " (-x 16: its most)"
            ariak += " (-x 16)"
        single = " (1 connection; same runs at %s)" % " and ".join(str(c) for c in LIMITED_COUNTS)
        add("| 1. Limited to 4 MiB/s per connection, %s, %d connections | %s (job %s) | %s | %s | %s | %s | "
            "%s | %s (1/%d of the file over one connection; nominal %s) | no slower than the best of aria2c and "
            "axel | %s |" % (
                size_name(s.size), n, time_cell(runs[PELBROOK.key], "wall"), time_cell(runs[PELBROOK.key], "job"),
                aria, ariak,
                time_cell(runs[AXEL.key]), time_cell(runs[CURL.key]) + single, time_cell(runs[WGET.key]) + single,
                time_cell(runs[REF.key]), n, fmt_s(s.nominal), limited_verdict(a["s1"][n], n)))
    b = a["s2"]
    runs = r.unthrottled.runs

    def cpu_cell(key):
        if median_of(runs[key], "wall") is None:
            return "FAILED"
        return "%s, CPU %.2f s/GiB" % (time_cell(runs[key], "wall"), b["cpu_" + key])

    pel_cell = "FAILED"
    if b["pel"] is not None:
        pel_cell = "%s (job %s), CPU %.2f s/GiB (%.2f in its process + %.2f in wineserver)" % (
            time_cell(runs[PELBROOK.key], "wall"), time_cell(runs[PELBROOK.key], "job"),
            b["cpu_pel"] + b["server_pel"], b["cpu_pel"], b["server_pel"])
    add("| 2. Unthrottled, %s into /dev/shm, 16 connections (curl and wget 1) | %s | %s | %s | %s | %s | %s | "
        "%s (one socket) | report the gap to curl and how much of it is Wine's | %s |" % (
            size_name(r.unthrottled.size), pel_cell, *[cpu_cell(p.key) for p in (ARIA, ARIAK, AXEL, CURL, WGET)],
            time_cell(runs[REF.key]), gap_text(b) if b["pel"] and b["curl"] and b["floor"] else "a program failed"))
    for row in r.memory.rows:
        n, g = row.connections, row.growth

        def mem(key):
            return "+%.1f MiB" % g[key] if key in g else "FAILED"

        if n in a["s3"]:
            v = a["s3"][n]
            word = ("met" if v["ok"] else "missed under Wine; met without Wine's thread cost" if v["ok_net"]
                    else "missed, with and without Wine's thread cost")
            budget = "at most %.1f MiB (best peer, %s, + 1 MiB per worker)" % (
                row.budget, program(row.best_peer_key).label(n))
            pel = "%s (+%.1f MiB without Wine's thread cost)" % (mem(PELBROOK.key), row.net)
        else:
            word, budget, pel = "missed (a program failed)", "", mem(PELBROOK.key)
        add("| 3. Peak memory over idle, %d connections | %s | %s | %s | %s | not compared | not compared | | %s "
            "| %s |" % (n, pel, mem(ARIA.key), mem(ARIAK.key), mem(AXEL.key), budget, word))
    for s in r.small:
        runs = s.runs
        ideal = median_of(runs[REF.key])
        rtt = median(s.rtt)
        add("| 4. Small file %s, 16 connections (curl 1) | %s (job %s) | %s | | | %s | | %s (one socket, %s, + one "
            "round trip, %s) | report | reported |" % (
                size_name(s.size), time_cell(runs[PELBROOK.key], "wall"), time_cell(runs[PELBROOK.key], "job"),
                time_cell(runs[ARIA.key]), time_cell(runs[CURL.key]),
                fmt_s(ideal + rtt) if ideal is not None else "FAILED", fmt_s(ideal) if ideal is not None else "-",
                fmt_s(rtt)))


def changed_block(r):
    return ("5. The file changes on the server during the download: %s, sent at %s/s per answer by the "
            "end-to-end fault server; %d rounds.\n\n%s\n%s\n" % (
                size_name(r.changed_size), size_name(r.changed_rate), r.rounds, changed.table(r), changed.sentence(r)))


def notes(r, a, add):
    s1 = {s.connections: s for s in r.limited}
    small = r.small[0].runs[PELBROOK.key]
    start_cost = (median_of(small, "wall") or 0) - (median_of(small, "job") or 0)
    add("- Where they run: Pelbrook and the bare WinHTTP reader are Windows programs and run under Wine; "
        "aria2c, axel, curl and wget run natively. Pelbrook's whole-process time includes starting and ending a "
        "Wine process (%s for the %s file: %s in all against a job of %s), which the natively run peers do "
        "not pay; its job time is `RunDownload` alone, timed inside the harness." % (
            fmt_s(start_cost), size_name(r.small[0].size), fmt_s(median_of(small, "wall") or 0),
            fmt_s(median_of(small, "job") or 0)))
    cpu_parts = []
    for n, s in s1.items():
        items = []
        for p in WINE_PROGRAMS + MULTI_PEERS:
            cpu = median_of(s.runs[p.key], "cpu")
            if cpu is None:
                continue
            server = median_of(s.runs[p.key], "server") if p.wine else None
            items.append("%s %.2f s%s" % (p.label(n), cpu, " + %.2f s wineserver" % server if server is not None
                                           else ""))
        cpu_parts.append("%d connections: %s" % (n, ", ".join(items)))
    add("- CPU of one run of scenario 1 (user+sys; for Wine programs also the wineserver's share): %s." %
        "; ".join(cpu_parts))
    add("- aria2c takes at most 16 connections to one server (`-x` above 16 is refused), so at 32 it runs as "
        "`-x 16 -s 32`. Its default split size (20 MiB) is what users get; `-k 1M` lets it cut the file finer. "
        "curl and wget use one connection whatever the count: in scenario 1 one run of each serves both counts, "
        "and the two run side by side (each held to its connection's 4 MiB/s by nginx, 8 MiB/s in all). All "
        "peers get an empty HOME and no proxy settings.")
    d1 = s1[LIMITED_COUNTS[0]]
    ideal = median_of(d1.runs[REF.key])
    if ideal is not None:
        add("- The ideal is not a bound: nginx's `limit_rate` lets every request start with a burst (about %.1f "
            "MiB here: 1/%d of the file over one request takes %s, not the nominal %s at 4 MiB/s), so a program "
            "that makes several requests per connection, as Pelbrook's segments and aria2c's and axel's pieces "
            "do, can beat one long request per connection. The yardstick of scenario 1 is the best peer." % (
                (d1.nominal - ideal) * LIMIT_RATE / MIB, d1.connections, fmt_s(ideal), fmt_s(d1.nominal)))
    add("- The bare WinHTTP reader (bench/winhttp_floor.cpp) is the least a program on this WinHTTP can do: one "
        "ranged GET per connection for an equal share, 1 MiB reads into its own file handle, nothing else. Under "
        "Wine it shows the platform's cost apart from Pelbrook's own.")
    b = a["s2"]
    add("- CPU (scenario 2): user+sys from `/usr/bin/time` for each program; for Pelbrook and the bare reader, "
        "plus the CPU this Wine prefix's wineserver spent during the run (`/proc/<pid>/stat`). Bare WinHTTP "
        "reader: %.2f s/GiB in its process + %.2f s/GiB in wineserver. nginx is not counted for anyone." % (
            b["cpu_floor"] or 0, b["server_floor"] or 0))
    m = r.memory
    nan = float("nan")
    rows = {row.connections: row for row in m.rows}
    add("- Memory (scenario 3): peak resident size (`%%M` of `/usr/bin/time`, the final VmHWM; for Wine "
        "processes also the highest VmHWM read from /proc while they ran, which was up to %d KiB above) of the runs "
        "of scenario 1, less the same program's idle peak: Pelbrook's harness given an empty URL (%.1f MiB), "
        "the bare reader given no arguments (%.1f MiB), `aria2c --version` (%.1f MiB), `axel --version` "
        "(%.1f MiB). Wine commits about %.0f KiB for every thread, even one that does nothing "
        "(bench/thread_cost.cpp, 32 idle threads against none); \"without Wine's thread cost\" takes that off "
        "once per worker. The bare WinHTTP reader, which holds a 1 MiB buffer per thread as Pelbrook's workers "
        "do, grows by %s; so Pelbrook's own share above what any program on this WinHTTP holds under Wine is %s." % (
            max(row.above for row in m.rows), *[m.idle[p.key] / 1024 for p in (PELBROOK, FLOOR, ARIA, AXEL)],
            m.per_thread,
            ", ".join("+%.1f MiB at %d connections" % (row.growth.get(FLOOR.key, nan), n)
                      for n, row in rows.items()),
            ", ".join("%+.1f MiB at %d" % (row.growth.get(PELBROOK.key, nan) - row.growth.get(FLOOR.key, nan), n)
                      for n, row in rows.items())))
    add("- Small files (scenario 4): Wine needs %.1f ms to start and join 16 threads that do nothing "
        "(bench/thread_cost.cpp), a Linux build of the same code %.2f ms." % (
            m.start_join16 * 1000, m.start_join16_native * 1000))
    add("- Changed file (scenario 5): each download gets its own case on the fault server, which counts its "
        "connections and requests; \"on disk\" is what the output path held afterwards (\"stitched\": the right "
        "size, but neither version whole), \"left\" the other files the program left beside it.")
    add("- Measured once by hand, not in this run: where Wine's time goes in a download (`strace`, `perf`) and "
        "where Pelbrook's memory goes beyond the bare reader's, in bench/notes.md with their dates.")
    if r.failures:
        add("- FAILED runs, not timed (a peer that exits with an error is marked failed; an output that differs "
            "from its source, any failure of Pelbrook, or a stitched file Pelbrook called complete also makes "
            "bench/run exit non-zero): " + "; ".join(r.failures))
    add("- The machine has %d cores; the whole run took %.1f minutes." % (os.cpu_count() or 0, r.minutes))


def load_text(r):
    cores = os.cpu_count() or 1
    text = "Load average %s at the start, %s at the end" % ("/".join("%.1f" % x for x in r.load_before),
                                                            "/".join("%.1f" % x for x in r.load_after))
    busy = max(r.load_before[0], r.load_after[0]) > cores
    return text + (": above the core count, other work shared the machine and the figures are noisy." if busy
                   else ".")


def build_report(r, versions):
    """The report's text and the README's part of it."""
    a = analyse(r)
    lines = []
    add = lines.append
    stamp = datetime.datetime.strptime(r.stamp, "%Y%m%d-%H%M%S").strftime("%Y-%m-%d %H:%M")
    add("Pelbrook benchmark, %s. %s. Pelbrook's engine runs under Wine (through the engine harness); aria2c, "
        "axel, curl and wget run natively on Linux, as black boxes, against the same nginx on loopback. Medians "
        "of %d rounds, the order of the programs changing from round to round; times are whole-process wall "
        "times unless marked \"job\". Every output of scenarios 1 to 4 was compared byte for byte with its "
        "source; %s. %s" % (
            stamp, versions, r.rounds,
            "every program that reported success delivered its source exactly" if not r.fatal else
            "%d run(s) FAILED in a way that fails the benchmark (listed at the end)" % len(r.fatal), load_text(r)))
    add("")
    add("| Scenario | Pelbrook (Wine) | aria2c -x N -s N | aria2c -x N -s N -k 1M | axel -n N | curl -o | wget -O "
        "| Ideal (reference only) | Target | Verdict |")
    add("|---|---|---|---|---|---|---|---|---|---|")
    main_rows(r, a, add)
    add("")
    add(changed_block(r))
    readme_part = "\n".join(lines[2:])
    add("Spread of the rounds, median (min-max):")
    add("")
    add("| Program | %s | 2. 1 GiB | %s |" % (" | ".join("1. limited, %d conn." % n for n in LIMITED_COUNTS),
                                          " | ".join("4. %s" % size_name(s.size) for s in r.small)))
    add("|---|---|---|---|---|---|")
    for p in PROGRAMS:
        cells = [spread(s.runs[p.key]) for s in r.limited] + [spread(r.unthrottled.runs[p.key])]
        cells += [spread(s.runs[p.key]) if p.key in s.runs else "" for s in r.small]
        add("| %s | %s |" % (p.label(), " | ".join(cells)))
        if p.wine:
            cells = [spread(s.runs[p.key], "job") for s in r.limited] + [spread(r.unthrottled.runs[p.key], "job")]
            cells += [spread(s.runs[p.key], "job") if p is PELBROOK else "" for s in r.small]
            add("| %s, job's own time | %s |" % (p.label(), " | ".join(cells)))
    add("")
    notes(r, a, add)
    return "\n".join(lines) + "\n", readme_part, a


def update_readme(path, stamp, table):
    with open(path) as f:
        text = f.read()
    begin = text.find(README_BEGIN)
    end = text.find(README_END)
    if begin < 0 or end < begin:
        log("bench: %s has no benchmark markers; left as it is" % path)
        return
    body = "Latest run (%s, bench/results/bench-%s.md):\n\n%s" % (stamp, stamp, table)
    text = text[:begin + len(README_BEGIN)] + "\n" + body + text[end:]
    with open(path, "w") as f:
        f.write(text)


def versions_text():
    parts = []
    for cmd in (["/usr/lib/wine/wine64", "--version"], ["nginx", "-v"], ["aria2c", "--version"], ["axel", "--version"],
                ["curl", "--version"], ["wget", "--version"]):
        try:
            done = subprocess.run(cmd, capture_output=True, text=True, timeout=30)
            first = (done.stdout + done.stderr).strip().splitlines()
            if first:
                parts.append(first[0].replace("nginx version: ", "").split(" (")[0].split(" built on")[0])
        except (OSError, subprocess.TimeoutExpired):
            pass
    parts.append("Linux %s, %d cores" % (platform.release(), os.cpu_count() or 0))
    return ", ".join(p for p in parts if p)

