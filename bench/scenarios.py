"""Scenarios 1 to 4: speed limited and unthrottled, memory, small files (scenario 5 is changed.py).

Which programs each runs comes from their records in programs.py.
"""

from measure import log
from programs import PELBROOK, PROGRAMS, REF, SINGLE_PEERS, idle_programs, idle_runs, small_programs
from records import Limited, Memory, MemoryRow, Small, Unthrottled, fmt_run, median, median_run
from runner import FILES

LIMIT_RATE = 4 * 1024 * 1024  # nginx.conf.in: limit_rate 4m
LIMITED_COUNTS = (16, 32)
CONNECTIONS = 16  # scenarios 2 and 4, for the programs that take more than one
SMALL_FILES = ("f1k.bin", "f1m.bin")


def ordered(tasks, index):
    """Round index's order: the list turned by index places, and reversed in odd rounds."""
    turn = index % len(tasks)
    tasks = tasks[turn:] + tasks[:turn]
    return tasks[::-1] if index % 2 else tasks


def limited(bench):
    """Scenario 1: 256 MiB at 4 MiB/s per connection, 16 and 32 connections.

    The peers that use one connection whatever the count (curl, wget) run once per round for both counts,
    side by side (each is held to its connection's 4 MiB/s by nginx, not by the machine): one at a time
    they would take twice as long a round."""
    name = "f256m.bin"
    runs = {n: {p.key: [] for p in PROGRAMS} for n in LIMITED_COUNTS}
    single = {p.key: [] for p in SINGLE_PEERS}

    def one(program, n):
        def task():
            if program is REF:
                run = bench.reference_range(name, FILES[name] // n, "/limited/")
            else:
                run = bench.download(program, name, n, "/limited/")
            runs[n][program.key].append(run)
            return "%s %s" % (program.label(n), fmt_run(run))
        return task

    def singles():
        started = [bench.start(p, name, 1, "/limited/") for p in SINGLE_PEERS]
        done = [bench.finish(s, 300) for s in started]
        for program, run in zip(SINGLE_PEERS, done):
            single[program.key].append(run)
        return ", ".join("%s %s" % (p.key, fmt_run(run)) for p, run in zip(SINGLE_PEERS, done))

    tasks = [one(p, n) for n in LIMITED_COUNTS for p in PROGRAMS if p not in SINGLE_PEERS]
    tasks.append(singles)
    for i in range(bench.rounds):
        notes = [task() for task in ordered(tasks, i)]
        log("   round %d: %s" % (i + 1, "; ".join(notes)))
    for n in LIMITED_COUNTS:
        runs[n].update(single)
    return [Limited(connections=n, size=FILES[name], part=FILES[name] // n, nominal=FILES[name] / n / LIMIT_RATE,
                    runs=runs[n]) for n in LIMITED_COUNTS]


def unthrottled(bench):
    """Scenario 2: 1 GiB unthrottled into /dev/shm, 16 connections (one for curl, wget and the ideal)."""
    name = "f1g.bin"
    runs = {p.key: [] for p in PROGRAMS}
    counts = {p.key: (1 if p.single else CONNECTIONS) for p in PROGRAMS}
    for i in range(bench.rounds):
        notes = []
        for program in ordered(PROGRAMS, i):
            run = bench.download(program, name, counts[program.key])
            runs[program.key].append(run)
            cpu = ""
            if run.ok:
                cpu = " CPU %.2f s%s" % (run.cpu, " + wineserver %.2f s" % run.server if run.server is not None
                                            else "")
            notes.append("%s %s%s" % (program.key, fmt_run(run), cpu))
        log("   round %d: %s" % (i + 1, "; ".join(notes)))
    return Unthrottled(size=FILES[name], runs=runs, counts=counts)


def memory(bench, s1):
    """Scenario 3: peak resident memory of the runs of scenario 1 over each program's own idle figure."""
    runs = idle_runs()
    peaks = {p.idle_text: [] for p in runs}
    for i in range(bench.rounds):
        for program in ordered(runs, i):
            peaks[program.idle_text].append(bench.idle_peak(program))
    idle = {p.key: median(peaks[p.idle_text]) for p in idle_programs()}
    log("   idle peaks: %s" % ", ".join("%s %d KiB" % (k, v) for k, v in idle.items()))
    no_threads, with_threads, sixteen, sixteen_native = [], [], [], []
    probe_threads = 32
    for i in range(bench.rounds):
        no_threads.append(bench.thread_probe(0)[0])
        with_threads.append(bench.thread_probe(probe_threads)[0])
        sixteen.append(bench.thread_probe(16)[1])
        sixteen_native.append(bench.thread_probe(16, native=True)[1])
    per_thread = max(0.0, (median(with_threads) - median(no_threads)) / probe_threads)
    log("   Wine's cost of one idle thread: %.0f KiB; to start and join 16 empty threads: %.1f ms (Linux: "
        "%.2f ms)" % (per_thread, median(sixteen) * 1000, median(sixteen_native) * 1000))
    rows = []
    for s in s1:
        n = s.connections
        row = MemoryRow(connections=n, growth={}, peak={})
        for program in idle_programs():
            ok = [r for r in s.runs[program.key] if r.ok]
            if not ok:
                continue
            row.peak[program.key] = median([r.peak for r in ok])
            row.growth[program.key] = (row.peak[program.key] - idle[program.key]) / 1024
            if program is PELBROOK:
                row.above = max(max(0, r.polled - r.exit_peak) for r in ok)
        if PELBROOK.key in row.growth:
            row.net = row.growth[PELBROOK.key] - n * per_thread / 1024
        peers = [(row.growth[p.key], p.key) for p in idle_programs() if p.peer and p.key in row.growth]
        if peers:
            row.best_peer, row.best_peer_key = min(peers)
            row.budget = row.best_peer + n
        rows.append(row)
    return Memory(idle=idle, per_thread=per_thread, start_join16=median(sixteen),
                  start_join16_native=median(sixteen_native), rows=rows)


def small(bench):
    """Scenario 4: small files, Pelbrook at 16 connections against the peers that run it (and the ideal)."""
    out = []
    for name in SMALL_FILES:
        programs = small_programs()
        runs = {p.key: [] for p in programs}
        rtt = []
        for i in range(bench.rounds):
            for program in ordered(programs, i):
                runs[program.key].append(bench.download(program, name, 1 if program.single else CONNECTIONS))
            rtt.append(bench.round_trip(name))
        out.append(Small(name=name, size=FILES[name], runs=runs, rtt=rtt))
        log("   %s: %s" % (name, "; ".join("%s %s" % (p.key, fmt_run(median_run(runs[p.key]))) for p in programs)))
    return out
