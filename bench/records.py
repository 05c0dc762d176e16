"""What one benchmark run measured, as plain records, and how they are kept.

Each run writes them as JSON into its work folder; --report-only reads that
file back, so a report can be written again without measuring anything.
"""

import dataclasses
import json
import statistics
from dataclasses import dataclass, field
from typing import Dict, List, Optional

MIB = 1024 * 1024
GIB = 1024 * MIB


@dataclass
class Run:
    """One download by one program. Times in seconds, memory in KiB; None where not measured."""
    ok: bool = False
    error: str = ""
    differs: bool = False
    seconds: Optional[float] = None  # the time compared: whole-process wall time, or the reader's own
    wall: Optional[float] = None
    job: Optional[float] = None  # Pelbrook's and the bare reader's own time, inside the process
    cpu: Optional[float] = None
    server: Optional[float] = None  # this prefix's wineserver CPU during the run
    peak: Optional[int] = None
    exit_peak: Optional[int] = None
    polled: Optional[int] = None


Runs = Dict[str, List[Run]]  # by Program.key


@dataclass
class Limited:
    """Scenario 1 at one connection count."""
    connections: int
    size: int
    part: int
    nominal: float
    runs: Runs


@dataclass
class Unthrottled:
    """Scenario 2."""
    size: int
    counts: Dict[str, int]
    runs: Runs


@dataclass
class MemoryRow:
    """Scenario 3 at one connection count: peaks over idle, MiB, by Program.key."""
    connections: int
    growth: Dict[str, float]
    peak: Dict[str, float]
    above: int = 0
    net: Optional[float] = None
    best_peer: Optional[float] = None
    best_peer_key: Optional[str] = None
    budget: Optional[float] = None


@dataclass
class Memory:
    idle: Dict[str, float]  # KiB
    per_thread: float  # KiB Wine commits for one idle thread
    start_join16: float
    start_join16_native: float
    rows: List[MemoryRow]


@dataclass
class Small:
    """Scenario 4 for one file."""
    name: str
    size: int
    runs: Runs
    rtt: List[float]


@dataclass
class Changed:
    """Scenario 5: one download of a file that changed on the server while it was fetched."""
    program: str  # Program.key
    way: str  # a changed.Way's key
    round: int
    reported: str  # exit status, and Pelbrook's message
    completed: bool  # the program said it succeeded
    on_disk: str  # "version 1", "version 2", "stitched", "absent", or a partial size
    leftovers: List[str] = field(default_factory=list)
    connections: int = 0  # as the server counted them
    requests: int = 0


@dataclass
class Results:
    stamp: str
    rounds: int
    load_before: List[float]
    load_after: List[float] = field(default_factory=list)
    minutes: float = 0.0
    limited: List[Limited] = field(default_factory=list)
    unthrottled: Optional[Unthrottled] = None
    memory: Optional[Memory] = None
    small: List[Small] = field(default_factory=list)
    changed: List[Changed] = field(default_factory=list)
    changed_size: int = 0
    changed_rate: int = 0
    failures: List[str] = field(default_factory=list)
    fatal: List[str] = field(default_factory=list)

    def limited_at(self, connections):
        return next(s for s in self.limited if s.connections == connections)

    def memory_at(self, connections):
        return next(row for row in self.memory.rows if row.connections == connections)


def save(results, path):
    with open(path, "w") as f:
        json.dump(dataclasses.asdict(results), f, indent=1)


def _runs(data):
    return {key: [Run(**run) for run in runs] for key, runs in data.items()}


def load(path):
    with open(path) as f:
        data = json.load(f)
    data["limited"] = [Limited(**dict(s, runs=_runs(s["runs"]))) for s in data["limited"]]
    u = data["unthrottled"]
    data["unthrottled"] = Unthrottled(**dict(u, runs=_runs(u["runs"])))
    m = data["memory"]
    data["memory"] = Memory(**dict(m, rows=[MemoryRow(**row) for row in m["rows"]]))
    data["small"] = [Small(**dict(s, runs=_runs(s["runs"]))) for s in data["small"]]
    data["changed"] = [Changed(**c) for c in data["changed"]]
    return Results(**data)


# ---------------------------------------------------------------- figures of runs


def median(values):
    return statistics.median(values)


def good(runs):
    return [r for r in runs if r.ok]


def median_of(runs, name="seconds"):
    """Median of the runs that succeeded, or None when none did."""
    values = [getattr(r, name) for r in good(runs)]
    return median(values) if values else None


def median_run(runs):
    ok = sorted(good(runs), key=lambda r: r.seconds)
    return ok[(len(ok) - 1) // 2] if ok else None


def fmt_s(seconds):
    if seconds < 1:
        return "%.1f ms" % (seconds * 1000)
    return "%.2f s" % seconds


def fmt_run(run):
    if run is None:
        return "failed"
    return fmt_s(run.seconds) if run.ok else "FAILED"


def spread(runs, name="seconds"):
    values = [getattr(r, name) for r in good(runs)]
    if not values:
        return "FAILED in every round"
    text = "%s (%s-%s)" % (fmt_s(median(values)), fmt_s(min(values)), fmt_s(max(values)))
    failed = len(runs) - len(values)
    if failed:
        text += ", FAILED in %d of %d rounds" % (failed, len(runs))
    return text


def time_cell(runs, name="seconds"):
    value = median_of(runs, name)
    if value is None:
        return "FAILED"
    failed = len(runs) - len(good(runs))
    return fmt_s(value) + (" (FAILED in %d of %d)" % (failed, len(runs)) if failed else "")


def size_name(size):
    if size >= GIB:
        return "%d GiB" % (size // GIB)
    if size >= MIB:
        return "%d MiB" % (size // MIB)
    return "%d KiB" % (size // 1024)


def table_row(cells):
    """One row of a Markdown table. A cell None is a column that does not apply to the row, written "| |"; an
    empty string is a cell with nothing to say, written "|  |"."""
    return "|" + "".join(" |" if c is None else " %s |" % c for c in cells)


def table_rule(columns):
    return "|" + "---|" * columns
