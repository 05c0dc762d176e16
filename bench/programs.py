"""The programs of the comparison, one record each: how it is named, started, run and drawn.

Pelbrook and the bare WinHTTP reader are Windows programs and run under Wine;
the peers run natively, as black boxes; the ideal is the bench's own reader.
"""

import os
import sys
from dataclasses import dataclass
from typing import Callable, Optional

import chart

HERE = os.path.dirname(os.path.abspath(__file__))
ARIA2_MAX_PER_SERVER = 16  # aria2c refuses -x above 16

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
    key: str  # its name in the results file and the log
    label_text: str  # {n}: the connections; {x}: what aria2c takes of them
    kind: str  # WINE, REFERENCE or PEER
    colour: tuple
    command: Callable[[Tools, Job], list]
    idle: Optional[Callable[[Tools, str], list]] = None  # started for nothing (a Windows output path): its idle peak
    single: bool = False  # one connection whatever the count

    def label(self, connections=None):
        if connections is None:
            return self.label_text.format(n="N", x="N")
        return self.label_text.format(n=connections, x=min(connections, ARIA2_MAX_PER_SERVER))

    @property
    def wine(self):
        return self.kind == WINE

    @property
    def peer(self):
        return self.kind == PEER


def _aria2(tools, job, pieces):
    # --no-conf and -q only keep a personal configuration and the console out of it.
    cmd = ["aria2c", "--no-conf", "-q", "--allow-overwrite=true", "-x", str(min(job.connections, ARIA2_MAX_PER_SERVER)),
           "-s", str(job.connections)] + pieces
    return cmd + ["-d", os.path.dirname(job.out), "-o", os.path.basename(job.out), job.url]


PELBROOK = Program(
    "pel", "Pelbrook (Wine)", WINE, chart.BLUE,
    lambda t, j: [t.wine_run, t.harness, "--quiet", "--elapsed", j.url, j.out_windows, str(j.connections)],
    idle=lambda t, out: [t.wine_run, t.harness, "--elapsed", "", out, "1"])
FLOOR = Program(
    "floor", "bare WinHTTP (Wine)", WINE, chart.GREEN,
    lambda t, j: [t.wine_run, t.floor, str(j.port), j.path, j.out_windows, str(j.size), str(j.connections)],
    idle=lambda t, out: [t.wine_run, t.floor])
REF = Program(
    "ref", "ideal", REFERENCE, chart.RED,
    lambda t, j: [sys.executable, os.path.join(HERE, "reference_reader.py"), str(j.port), j.path, j.out], single=True)
ARIA = Program("aria", "aria2c -x {x} -s {n}", PEER, chart.ORANGE, lambda t, j: _aria2(t, j, []),
               idle=lambda t, out: ["aria2c", "--version"])
ARIAK = Program("ariak", "aria2c -x {x} -s {n} -k 1M", PEER, chart.BROWN, lambda t, j: _aria2(t, j, ["-k", "1M"]),
                idle=lambda t, out: ["aria2c", "--version"])
AXEL = Program("axel", "axel -n {n}", PEER, chart.PURPLE,
               lambda t, j: ["axel", "-q", "-n", str(j.connections), "-o", j.out, j.url],
               idle=lambda t, out: ["axel", "--version"])
CURL = Program("curl", "curl -o", PEER, chart.TEAL, lambda t, j: ["curl", "-q", "-sS", "-f", "-o", j.out, j.url],
               single=True)
WGET = Program("wget", "wget -O", PEER, chart.DARK_GREY, lambda t, j: ["wget", "-q", "-O", j.out, j.url], single=True)

# In their first round's order.
PROGRAMS = [PELBROOK, FLOOR, REF, ARIA, ARIAK, AXEL, CURL, WGET]
BY_KEY = {p.key: p for p in PROGRAMS}
MULTI_PEERS = [ARIA, ARIAK, AXEL]
SINGLE_PEERS = [CURL, WGET]


def program(key):
    return BY_KEY[key]
