"""The report of one run (bench/results/*.md) and the README's table: only what that run measured.

Its parts: the main table (report_table.py), scenario 5's table
(report_changed.py), the spread of the rounds (here) and the notes
(report_notes.py); the chart is report_chart.py. All of them read the
programs' records (programs.py), the scenarios' fixed figures and the run's
results (records.py), and measure nothing.
What was measured once by hand stays in bench/notes.md, with its date; the
report links it and never prints its figures.
"""

import datetime
import os
import platform
import subprocess

import report_changed
import report_notes
import report_table
from programs import PEERS, PROGRAMS, executables, names
from records import size_name, spread, table_row, table_rule
from scenarios import LIMITED_COUNTS

README_BEGIN = "<!-- bench table: written by bench/run -->"
README_END = "<!-- end of bench table -->"


def build_report(r, versions):
    """The report's text and the README's part of it."""
    stamp = datetime.datetime.strptime(r.stamp, "%Y%m%d-%H%M%S").strftime("%Y-%m-%d %H:%M")
    intro = (
        "Pelbrook benchmark, %s. %s. Pelbrook's engine runs under Wine (through the engine harness); %s run "
        "natively on Linux, as black boxes, against the same nginx on loopback. Medians of %d rounds, the order of "
        "the programs changing from round to round; times are whole-process wall times unless marked \"job\". "
        "Every output of scenarios 1 to 4 was compared byte for byte with its source; %s. %s" % (
            stamp, versions, names(executables(PEERS)), r.rounds,
            "every program that reported success delivered its source exactly" if not r.fatal else
            "%d run(s) FAILED in a way that fails the benchmark (listed at the end)" % len(r.fatal), load_text(r)))
    readme_part = report_table.table(r) + ["", report_changed.block(r)]
    lines = [intro, ""] + readme_part + ["Spread of the rounds, median (min-max):", ""] + spread_table(r) + [""]
    lines += report_notes.notes(r)
    return "\n".join(lines) + "\n", "\n".join(readme_part)


def spread_table(r):
    """Each program's median, least and most time in every scenario, and the Wine programs' job times."""
    heads = (["Program"] + ["1. limited, %d conn." % n for n in LIMITED_COUNTS] + ["2. 1 GiB"]
             + ["4. %s" % size_name(s.size) for s in r.small])
    lines = [table_row(heads), table_rule(len(heads))]
    for p in PROGRAMS:
        for name, label in [("seconds", p.label())] + ([("job", p.label() + ", job's own time")] if p.wine else []):
            cells = [spread(s.runs[p.key], name) for s in r.limited] + [spread(r.unthrottled.runs[p.key], name)]
            cells += [spread(s.runs[p.key], name) if p.key in s.runs else "" for s in r.small]
            lines.append(table_row([label] + cells))
    return lines


def load_text(r):
    cores = os.cpu_count() or 1
    text = "Load average %s at the start, %s at the end" % ("/".join("%.1f" % x for x in r.load_before),
                                                            "/".join("%.1f" % x for x in r.load_after))
    busy = max(r.load_before[0], r.load_after[0]) > cores
    return text + (": above the core count, other work shared the machine and the figures are noisy." if busy
                   else ".")


def update_readme(path, stamp, table):
    """Replaces the README's marked table; False when it has no markers."""
    with open(path) as f:
        text = f.read()
    begin = text.find(README_BEGIN)
    end = text.find(README_END)
    if begin < 0 or end < begin:
        return False
    body = "Latest run (%s, bench/results/bench-%s.md):\n\n%s" % (stamp, stamp, table)
    text = text[:begin + len(README_BEGIN)] + "\n" + body + text[end:]
    with open(path, "w") as f:
        f.write(text)
    return True


def versions_text():
    """The first line of each version: Wine, nginx, every peer's executable; and the kernel and cores."""
    parts = []
    commands = [["/usr/lib/wine/wine64", "--version"], ["nginx", "-v"]]
    for cmd in commands + [[tool, "--version"] for tool in executables(PEERS)]:
        try:
            done = subprocess.run(cmd, capture_output=True, text=True, timeout=30)
            first = (done.stdout + done.stderr).strip().splitlines()
            if first:
                parts.append(first[0].replace("nginx version: ", "").split(" (")[0].split(" built on")[0])
        except (OSError, subprocess.TimeoutExpired):
            pass
    parts.append("Linux %s, %d cores" % (platform.release(), os.cpu_count() or 0))
    return ", ".join(p for p in parts if p)
