"""The report's main table, scenarios 1 to 4, which the README carries too.

Its columns: Pelbrook, then one for each peer of programs.py in their order,
then the ideal; each peer's cells follow from its record.
"""

from programs import FLOOR, MULTI_PEERS, PEERS, PELBROOK, REF, SINGLE_PEERS, YARDSTICK, executables, names, program
from records import GIB, fmt_s, median, median_of, size_name, table_row, table_rule, time_cell
from scenarios import CONNECTIONS, LIMITED_COUNTS

IDEAL_HEADING = "Ideal (reference only)"


def table(r):
    """The table's lines."""
    heads = ["Scenario"] + [p.label() for p in [PELBROOK] + PEERS] + [IDEAL_HEADING, "Target", "Verdict"]
    lines = [table_row(heads), table_rule(len(heads))]
    lines += [limited_row(s) for s in r.limited]
    lines.append(unthrottled_row(r.unthrottled))
    lines += [memory_row(row) for row in r.memory.rows]
    lines += [small_row(s) for s in r.small]
    return lines


def with_one(peers):
    """' (curl and wget 1)': the peers among them that take one connection."""
    singles = executables(p for p in SINGLE_PEERS if p in peers)
    return " (%s 1)" % names(singles) if singles else ""


def pelbrook_cell(runs):
    return "%s (job %s)" % (time_cell(runs[PELBROOK.key], "wall"), time_cell(runs[PELBROOK.key], "job"))


# -- scenario 1: limited


def best_peer(runs):
    """The fastest peer that takes several connections, by median time, and that time; (None, None) if all failed."""
    timed = [(median_of(runs[p.key]), p) for p in MULTI_PEERS if median_of(runs[p.key]) is not None]
    return min(timed, key=lambda pair: pair[0]) if timed else (None, None)


def limited_verdict(s):
    wall, job = median_of(s.runs[PELBROOK.key], "wall"), median_of(s.runs[PELBROOK.key], "job")
    best_seconds, best = best_peer(s.runs)
    if best is None or wall is None:
        return "missed (a program failed)"
    share = wall / best_seconds
    if wall <= best_seconds:
        return "met (%.2f of the best peer, %s)" % (share, best.label(s.connections))
    if job is not None and job <= best_seconds:
        return ("missed by the whole process (%.2f of %s), met by the job's own time (%.2f): the gap is Wine's "
                "start" % (share, best.label(s.connections), job / best_seconds))
    return "missed (%.2f of the best peer, %s)" % (share, best.label(s.connections))


def limited_cell(p, s):
    text = time_cell(s.runs[p.key])
    if p.max_connections is not None and s.connections > p.max_connections:
        text += p.over_max
    if p.single:
        text += " (1 connection; same runs at %s)" % " and ".join(str(c) for c in LIMITED_COUNTS)
    return text


def limited_row(s):
    ideal = "%s (1/%d of the file over one connection; nominal %s)" % (
        time_cell(s.runs[REF.key]), s.connections, fmt_s(s.nominal))
    return table_row(
        ["1. Limited to 4 MiB/s per connection, %s, %d connections" % (size_name(s.size), s.connections),
         pelbrook_cell(s.runs)] + [limited_cell(p, s) for p in PEERS]
        + [ideal, "no slower than the best of %s" % names(executables(MULTI_PEERS)), limited_verdict(s)])


# -- scenario 2: unthrottled


def per_gib(u, p, name):
    """A program's median CPU figure in scenario 2 per GiB downloaded; None when it failed."""
    value = median_of(u.runs[p.key], name)
    return value / (u.size / GIB) if value is not None else None


def gap_text(pel, floor, yardstick):
    """Scenario 2's verdict: Pelbrook's distance to the yardstick peer, split at the bare WinHTTP reader's time."""
    text = "%.1fx %s's time, %s more; " % (pel / yardstick, YARDSTICK.tool, fmt_s(pel - yardstick))
    if pel <= floor:
        return text + ("all of it is Wine's: the bare WinHTTP reader at %d connections takes %s, %s more than "
                       "Pelbrook" % (CONNECTIONS, fmt_s(floor), fmt_s(floor - pel)))
    return text + ("%s of it is Wine's (the bare WinHTTP reader at %d connections takes %s) and %s Pelbrook's own"
                   % (fmt_s(floor - yardstick), CONNECTIONS, fmt_s(floor), fmt_s(pel - floor)))


def unthrottled_row(u):
    runs = u.runs
    pel = median_of(runs[PELBROOK.key], "wall")
    pel_cell = "FAILED"
    if pel is not None:
        cpu, server = per_gib(u, PELBROOK, "cpu"), per_gib(u, PELBROOK, "server")
        pel_cell = "%s, CPU %.2f s/GiB (%.2f in its process + %.2f in wineserver)" % (
            pelbrook_cell(runs), cpu + server, cpu, server)
    peers = ["%s, CPU %.2f s/GiB" % (time_cell(runs[p.key], "wall"), per_gib(u, p, "cpu"))
             if median_of(runs[p.key], "wall") is not None else "FAILED" for p in PEERS]
    floor, yardstick = median_of(runs[FLOOR.key], "wall"), median_of(runs[YARDSTICK.key], "wall")
    verdict = gap_text(pel, floor, yardstick) if pel and yardstick and floor else "a program failed"
    return table_row(
        ["2. Unthrottled, %s into /dev/shm, %d connections%s" % (size_name(u.size), CONNECTIONS, with_one(PEERS)),
         pel_cell] + peers
        + ["%s (one socket)" % time_cell(runs[REF.key]),
           "report the gap to %s and how much of it is Wine's" % YARDSTICK.tool, verdict])


# -- scenario 3: memory


def memory_row(row):
    n, growth = row.connections, row.growth

    def mem(p):
        return "+%.1f MiB" % growth[p.key] if p.key in growth else "FAILED"

    if row.net is not None and row.budget is not None:
        verdict = ("met" if growth[PELBROOK.key] <= row.budget
                   else "missed under Wine; met without Wine's thread cost" if row.net <= row.budget
                   else "missed, with and without Wine's thread cost")
        budget = "at most %.1f MiB (best peer, %s, + 1 MiB per worker)" % (
            row.budget, program(row.best_peer_key).label(n))
        pel = "%s (+%.1f MiB without Wine's thread cost)" % (mem(PELBROOK), row.net)
    else:
        verdict, budget, pel = "missed (a program failed)", "", mem(PELBROOK)
    peers = [mem(p) if p.idle is not None else "not compared" for p in PEERS]
    return table_row(["3. Peak memory over idle, %d connections" % n, pel] + peers + [None, budget, verdict])


# -- scenario 4: small files


def small_row(s):
    runs = s.runs
    ideal, rtt = median_of(runs[REF.key]), median(s.rtt)
    ideal_cell = "%s (one socket, %s, + one round trip, %s)" % (
        fmt_s(ideal + rtt) if ideal is not None else "FAILED", fmt_s(ideal) if ideal is not None else "-",
        fmt_s(rtt))
    ran = [p for p in PEERS if p.key in runs]
    return table_row(
        ["4. Small file %s, %d connections%s" % (size_name(s.size), CONNECTIONS, with_one(ran)), pelbrook_cell(runs)]
        + [time_cell(runs[p.key]) if p in ran else None for p in PEERS] + [ideal_cell, "report", "reported"])
