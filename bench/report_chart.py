"""The run's chart (bench/results/latest.png): scenarios 1 to 4 as bars, drawn by chart.py."""

import chart
from programs import ARIA, ARIAK, AXEL, CURL, FLOOR, PELBROOK, REF, WGET
from records import median_of, size_name

TIMED = [PELBROOK, ARIA, ARIAK, AXEL, CURL, WGET, FLOOR]


def bars(runs, programs, n, name="seconds", scale=1.0, unit="S"):
    out = []
    for p in programs:
        value = median_of(runs[p.key], name)
        label = p.label(n).upper()
        if value is None:
            out.append((0.0, p.colour, "FAILED", label))
            continue
        shown = value * scale
        caption = "%.0f %s" % (shown, unit) if shown >= 100 else (
            "%.1f %s" % (shown, unit) if unit == "MS" else "%.2f %s" % (shown, unit))
        out.append((shown, p.colour, caption, label))
    return out


def build_chart(r):
    rows1 = []
    top1 = 0.0
    for s in r.limited:
        row = bars(s.runs, TIMED, s.connections)
        top1 = max([top1] + [v for v, _, _, label in row if not label.startswith(("CURL", "WGET"))])
        rows1.append(("1. LIMITED 4 MIB/S, 256 MIB, %d CONN." % s.connections, row, median_of(s.runs[REF.key])))
    runs = r.unthrottled.runs
    rows2 = [("2. 1 GIB INTO /DEV/SHM, 16 CONN.", bars(runs, TIMED, 16), median_of(runs[REF.key]))]
    top2 = max(v for v, _, _, _ in rows2[0][1])
    rows3 = []
    top3 = 1.0
    for row in r.memory.rows:
        n = row.connections
        items = []
        for p in [PELBROOK, ARIA, ARIAK, AXEL, FLOOR]:
            if p.key in row.growth:
                items.append((row.growth[p.key], p.colour, "+%.1f MIB" % row.growth[p.key], p.label(n).upper()))
            if p is PELBROOK and row.net is not None:
                items.append((row.net, chart.LIGHT_BLUE, "+%.1f MIB" % row.net, "PELBROOK, NO WINE THREADS"))
        top3 = max([top3, row.budget or 0] + [v for v, _, _, _ in items])
        rows3.append(("3. PEAK MEMORY OVER IDLE, %d CONN." % n, items, row.budget))
    rows4 = []
    top4 = 1.0
    for s in r.small:
        items = bars(s.runs, [PELBROOK, ARIA, CURL], 16, scale=1000, unit="MS")
        job = median_of(s.runs[PELBROOK.key], "job")
        if job is not None:
            items.insert(1, (job * 1000, chart.LIGHT_BLUE, "%.1f MS" % (job * 1000), "PELBROOK, JOB ONLY"))
        top4 = max([top4] + [v for v, _, _, _ in items])
        rows4.append(("4. SMALL FILE %s" % size_name(s.size).upper(), items, None))
    panels = [
        {"title": "1. LIMITED: SECONDS (LOWER IS BETTER)", "unit": "SECONDS, AXIS CUT", "rows": rows1,
         "scale_max": top1 * 1.25, "legend": [(chart.RED, "IDEAL, ONE REQUEST PER CONNECTION (NOT A BOUND)")]},
        {"title": "2. UNTHROTTLED: SECONDS (LOWER IS BETTER)", "unit": "SECONDS", "rows": rows2,
         "scale_max": top2 * 1.1, "legend": [(chart.RED, "IDEAL, ONE SOCKET")]},
        {"title": "3. PEAK MEMORY OVER IDLE, MIB (LOWER IS BETTER)", "unit": "MIB", "rows": rows3,
         "scale_max": top3 * 1.1, "legend": [(chart.RED, "TARGET: BEST PEER + 1 MIB PER WORKER")]},
        {"title": "4. SMALL FILES: MILLISECONDS (LOWER IS BETTER)", "unit": "MS", "rows": rows4,
         "scale_max": top4 * 1.1},
    ]
    return chart.draw_chart("PELBROOK (UNDER WINE) BESIDE ARIA2C, AXEL, CURL, WGET (NATIVE)", panels)
