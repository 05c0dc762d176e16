"""The run's chart (bench/results/latest.png): scenarios 1 to 4 as bars, drawn by chart.py.

Each panel has a bar for Pelbrook, each peer that ran the scenario (programs.py, in their order) and the bare
WinHTTP reader; the ideal is a red tick across them.
"""

import chart
from chart import Bar, Panel, Row
from programs import FLOOR, PEERS, PELBROOK, REF, executables
from records import median_of, size_name
from scenarios import CONNECTIONS

CHARTED = [PELBROOK] + PEERS + [FLOOR]


def bars(runs, n, name="seconds", scale=1.0, unit="S"):
    """A bar for each charted program that ran."""
    out = []
    for p in CHARTED:
        if p.key not in runs:
            continue
        value = median_of(runs[p.key], name)
        label = p.label(n).upper()
        if value is None:
            out.append(Bar(0.0, p.colour, "FAILED", label))
            continue
        shown = value * scale
        caption = "%.0f %s" % (shown, unit) if shown >= 100 else (
            "%.1f %s" % (shown, unit) if unit == "MS" else "%.2f %s" % (shown, unit))
        out.append(Bar(shown, p.colour, caption, label))
    return out


def limited_panel(r):
    rows = [Row("1. LIMITED 4 MIB/S, 256 MIB, %d CONN." % s.connections, bars(s.runs, s.connections),
                median_of(s.runs[REF.key])) for s in r.limited]
    # The peers that take one connection need far longer; their bars are cut.
    top = max([0.0] + [median_of(s.runs[p.key]) or 0.0 for s in r.limited for p in CHARTED if not p.single])
    return Panel("1. LIMITED: SECONDS (LOWER IS BETTER)", "SECONDS, AXIS CUT", rows, top * 1.25,
                 [(chart.RED, "IDEAL, ONE REQUEST PER CONNECTION (NOT A BOUND)")])


def unthrottled_panel(r):
    runs = r.unthrottled.runs
    row = Row("2. 1 GIB INTO /DEV/SHM, %d CONN." % CONNECTIONS, bars(runs, CONNECTIONS), median_of(runs[REF.key]))
    return Panel("2. UNTHROTTLED: SECONDS (LOWER IS BETTER)", "SECONDS", [row],
                 max(bar.value for bar in row.bars) * 1.1, [(chart.RED, "IDEAL, ONE SOCKET")])


def memory_panel(r):
    rows = []
    top = 1.0
    for row in r.memory.rows:
        n = row.connections
        items = []
        for p in CHARTED:
            if p.key in row.growth:
                items.append(Bar(row.growth[p.key], p.colour, "+%.1f MIB" % row.growth[p.key], p.label(n).upper()))
            if p is PELBROOK and row.net is not None:
                items.append(Bar(row.net, chart.LIGHT_BLUE, "+%.1f MIB" % row.net, "PELBROOK, NO WINE THREADS"))
        top = max([top, row.budget or 0] + [bar.value for bar in items])
        rows.append(Row("3. PEAK MEMORY OVER IDLE, %d CONN." % n, items, row.budget))
    return Panel("3. PEAK MEMORY OVER IDLE, MIB (LOWER IS BETTER)", "MIB", rows, top * 1.1,
                 [(chart.RED, "TARGET: BEST PEER + 1 MIB PER WORKER")])


def small_panel(r):
    rows = []
    top = 1.0
    for s in r.small:
        items = bars(s.runs, CONNECTIONS, scale=1000, unit="MS")
        job = median_of(s.runs[PELBROOK.key], "job")
        if job is not None:
            items.insert(1, Bar(job * 1000, chart.LIGHT_BLUE, "%.1f MS" % (job * 1000), "PELBROOK, JOB ONLY"))
        top = max([top] + [bar.value for bar in items])
        rows.append(Row("4. SMALL FILE %s" % size_name(s.size).upper(), items))
    return Panel("4. SMALL FILES: MILLISECONDS (LOWER IS BETTER)", "MS", rows, top * 1.1)


def build_chart(r):
    title = "PELBROOK (UNDER WINE) BESIDE %s (NATIVE)" % ", ".join(executables(PEERS)).upper()
    return chart.draw_chart(title, [limited_panel(r), unthrottled_panel(r), memory_panel(r), small_panel(r)])
