"""The programs of the comparison, one record each. Adding a peer is adding one record to PROGRAMS.

Everything else reads the records: the scenarios run each program its record
takes part in, and the report's columns and rows, the chart's bars, scenario
5's table and the versions line follow them, in PROGRAMS' order.
Pelbrook and the bare WinHTTP reader are Windows programs and run under Wine;
the peers run natively, as black boxes; the ideal is the bench's own reader.
"""

import os
import sys
from dataclasses import dataclass
from typing import Callable, Optional

import chart

HERE = os.path.dirname(os.path.abspath(__file__))

WINE = "wine"
REFERENCE = "reference"
PEER = "peer"


@dataclass(frozen=True)
class Tools:
    """The bench's own programs, as bench/run built them."""
    harness: str
    floor: str
    thread_probe: str
    native_thread_probe: str
    wine_run: str


@dataclass(frozen=True)
class Job:
    """One download to start: what every command builder is given."""
    url: str
    port: int
    path: str  # the URL's path on nginx
    out: str  # the output file as Linux sees it
    out_windows: str
    size: int
    connections: int


@dataclass(frozen=True)
class Program:
    """One program of the comparison. Scenarios 1 and 2 run every program; the fields from tool on say what
    else a peer takes part in and how the report words it (CURL's record is a peer of one connection, AXEL's one
    of several)."""
    key: str  # its name in the results file and the log
    label_text: str  # its name in the report; {connections}: the count asked, {per_server}: what it takes of them
    kind: str  # WINE, REFERENCE or PEER
    colour: tuple  # of its bars in the chart
    command: Callable[[Tools, Job], list]
    tool: str = ""  # a peer's executable: the report names it so and prints the first line of its --version
    single: bool = False  # one connection whatever the count
    max_connections: Optional[int] = None  # per server; a larger count is asked for as this many
    over_max: str = ""  # added to its scenario 1 cell when the count is above max_connections
    # Scenario 3: started for nothing (given a Windows output path), its peak is its idle figure; without it the
    # program's memory is not compared. Programs with the same idle_text share one idle figure.
    idle: Optional[Callable[[Tools, str], list]] = None
    idle_text: str = ""  # that idle run as the report's notes describe it
    small: bool = False  # run in scenario 4 (small files)
    changed_row: Optional[int] = None  # its row in scenario 5's table (the file changes); None: not run there
    remark: str = ""  # a peer's sentences in the report's notes

    def label(self, connections=None):
        if connections is None:
            return self.label_text.format(connections="N", per_server="N")
        per_server = connections if self.max_connections is None else min(connections, self.max_connections)
        return self.label_text.format(connections=connections, per_server=per_server)

    @property
    def wine(self):
        return self.kind == WINE

    @property
    def peer(self):
        return self.kind == PEER


ARIA2_MAX_PER_SERVER = 16  # aria2c refuses -x above 16


def _aria2(job, pieces):
    # --no-conf and -q only keep a personal configuration and the console out of it.
    per_server = min(job.connections, ARIA2_MAX_PER_SERVER)
    cmd = ["aria2c", "--no-conf", "-q", "--allow-overwrite=true", "-x", str(per_server), "-s", str(job.connections)]
    return cmd + pieces + ["-d", os.path.dirname(job.out), "-o", os.path.basename(job.out), job.url]


PELBROOK = Program(
    "pel", "Pelbrook (Wine)", WINE, chart.BLUE,
    lambda t, j: [t.wine_run, t.harness, "--quiet", "--elapsed", j.url, j.out_windows, str(j.connections)],
    idle=lambda t, out: [t.wine_run, t.harness, "--elapsed", "", out, "1"],
    idle_text="Pelbrook's harness given an empty URL", small=True, changed_row=0)
FLOOR = Program(
    "floor", "bare WinHTTP (Wine)", WINE, chart.GREEN,
    lambda t, j: [t.wine_run, t.floor, str(j.port), j.path, j.out_windows, str(j.size), str(j.connections)],
    idle=lambda t, out: [t.wine_run, t.floor], idle_text="the bare reader given no arguments")
REF = Program(
    "ref", "ideal", REFERENCE, chart.RED,
    lambda t, j: [sys.executable, os.path.join(HERE, "reference_reader.py"), str(j.port), j.path, j.out],
    single=True, small=True)
ARIA = Program(
    "aria", "aria2c -x {per_server} -s {connections}", PEER, chart.ORANGE, lambda t, j: _aria2(j, []),
    tool="aria2c", max_connections=ARIA2_MAX_PER_SERVER, over_max=" (-x 16: its most)",
    idle=lambda t, out: ["aria2c", "--version"], idle_text="`aria2c --version`", small=True, changed_row=2,
    remark="aria2c takes at most 16 connections to one server (`-x` above 16 is refused), so at 32 it runs as "
           "`-x 16 -s 32`. Its default split size (20 MiB) is what users get; `-k 1M` lets it cut the file finer.")
ARIAK = Program(
    "ariak", "aria2c -x {per_server} -s {connections} -k 1M", PEER, chart.BROWN,
    lambda t, j: _aria2(j, ["-k", "1M"]),
    tool="aria2c", max_connections=ARIA2_MAX_PER_SERVER, over_max=" (-x 16)",
    idle=lambda t, out: ["aria2c", "--version"], idle_text="`aria2c --version`", changed_row=1)
AXEL = Program(
    "axel", "axel -n {connections}", PEER, chart.PURPLE,
    lambda t, j: ["axel", "-q", "-n", str(j.connections), "-o", j.out, j.url],
    tool="axel", idle=lambda t, out: ["axel", "--version"], idle_text="`axel --version`", changed_row=3)
CURL = Program(
    "curl", "curl -o", PEER, chart.TEAL, lambda t, j: ["curl", "-q", "-sS", "-f", "-o", j.out, j.url],
    tool="curl", single=True, small=True)
WGET = Program(
    "wget", "wget -O", PEER, chart.DARK_GREY, lambda t, j: ["wget", "-q", "-O", j.out, j.url],
    tool="wget", single=True)

# In their first round's order; the peers' order is that of the report's columns.
PROGRAMS = [PELBROOK, FLOOR, REF, ARIA, ARIAK, AXEL, CURL, WGET]
PEERS = [p for p in PROGRAMS if p.peer]
MULTI_PEERS = [p for p in PEERS if not p.single]
SINGLE_PEERS = [p for p in PEERS if p.single]
WINE_PROGRAMS = [p for p in PROGRAMS if p.wine]
YARDSTICK = CURL  # scenario 2 reports Pelbrook's gap to it
BY_KEY = {p.key: p for p in PROGRAMS}


def program(key):
    return BY_KEY[key]


def idle_programs():
    """Scenario 3's programs: those with an idle run."""
    return [p for p in PROGRAMS if p.idle is not None]


def idle_runs():
    """One program for each distinct idle run, which measures it for all that share it."""
    firsts = {}
    for p in idle_programs():
        firsts.setdefault(p.idle_text, p)
    return list(firsts.values())


def small_programs():
    return [p for p in PROGRAMS if p.small]


def changed_programs():
    """Scenario 5's programs, in its table's order."""
    return sorted((p for p in PROGRAMS if p.changed_row is not None), key=lambda p: p.changed_row)


def executables(programs):
    """The executables of programs, each once, in their order."""
    return list(dict.fromkeys(p.tool for p in programs if p.tool))


def names(words):
    """'a, b and c'."""
    return words[0] if len(words) == 1 else ", ".join(words[:-1]) + " and " + words[-1]
