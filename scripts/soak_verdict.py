#!/usr/bin/env python3
"""The verdict of a soak (scripts/soak): reads the samples of the run's processes, the main
job's JSON summary and the faults it went through; prints a few lines of figures and the
verdict line; exits 1 when the run failed (see scripts/soak for what fails it)."""
import argparse
import csv
import json
import re
import sys
from collections import defaultdict

WARM_UP_MIN_S = 30
LONG_RUN_S = 600  # from here on the memory fit is long enough to fail a run
# Thread pools grow and shrink with the load, and a fault may leave a connection open for a while:
# a process fails when its least count late in the run exceeds its most early on by more.
SLACK = 2
# A run shorter than LONG_RUN_S samples a handful of quiet spells: connections that pools open
# and close at their own pace (a pipelined connection, a replaced one) are not yet told apart
# from a leak, so it allows more before it calls descriptors or threads grown.
SHORT_RUN_SLACK = 8
# Threads more so: the thread pool keeps an idle thread 30 s (AsyncTask.h), a quarter of the test
# command's 2-minute run. A frozen server in its middle third fills the pool (every store waits
# out its time-out on a thread of its own), and those threads are still there in the last third,
# while the first third may have seen the pool at rest: seen once in CI, worker threads 16 -> 31.
# A thread leaked per operation still passes this by far; one leaked per fault is the long runs'.
SHORT_RUN_THREAD_SLACK = 24


def read_samples(path):
    """[(t, pid, role, rss_kib, fds, threads, stale, phase)] in time order."""
    rows = []
    with open(path) as f:
        for r in csv.reader(f):
            if len(r) != 8:
                continue
            try:  # a process that ended while it was sampled leaves a field empty
                rows.append((float(r[0]), r[1], r[2], int(r[3]), int(r[4]), int(r[5]),
                             int(r[6]), r[7]))
            except ValueError:
                continue
    return sorted(rows)


def slope_per_hour(points):
    """Least-squares slope of [(t, y)] in y per hour; 0 with fewer than 3 points."""
    if len(points) < 3:
        return 0.0
    n = len(points)
    mt = sum(t for t, _ in points) / n
    my = sum(y for _, y in points) / n
    var = sum((t - mt) ** 2 for t, _ in points)
    if var == 0:
        return 0.0
    return sum((t - mt) * (y - my) for t, y in points) / var * 3600


def memory_growth(rows, start, end):
    """MiB per hour of the processes' total resident memory after the warm-up, its first and
    last totals (MiB) and the samples it is fitted over."""
    warm = start + max(WARM_UP_MIN_S, (end - start) / 5)
    totals = defaultdict(int)
    for t, _, _, rss, *_ in rows:
        if warm <= t <= end:
            totals[round(t)] += rss
    points = sorted((t, kib / 1024) for t, kib in totals.items())
    if not points:
        return 0.0, 0.0, 0.0, 0
    return slope_per_hour(points), points[0][1], points[-1][1], len(points)


def fit_window(start, end):
    """Where each process's slope is fitted: the run's last two thirds, and never before the
    warm-up ends (the first 30 s or fifth of the run, whichever is longer)."""
    warm = start + max(WARM_UP_MIN_S, (end - start) / 5)
    return max(warm, start + (end - start) / 3), warm


def per_process(rows):
    """{label: [(t, rss_kib)]}, one per process; a label is the process's role, with its id
    added when several processes had the same role."""
    by_pid, roles = defaultdict(list), defaultdict(set)
    for t, pid, role, rss, *_ in rows:
        by_pid[(role, pid)].append((t, rss))
        roles[role].add(pid)
    return {(role if len(roles[role]) == 1 else "%s(%s)" % (role, pid)): points
            for (role, pid), points in sorted(by_pid.items())}


def rss_per_minute(processes, start, end):
    """{label: [MiB or None per minute of the run]}: the mean of each minute's samples."""
    minutes = max(1, int((end - start + 59) // 60))
    table = {}
    for label, points in processes.items():
        sums, counts = [0] * minutes, [0] * minutes
        for t, kib in points:
            m = int((t - start) // 60)
            if 0 <= m < minutes:
                sums[m] += kib
                counts[m] += 1
        table[label] = [s / c / 1024 if c else None for s, c in zip(sums, counts)]
    return table


def read_heap(path):
    """{label: [(t, in-use KiB)]}, {label: [(t, free KiB)]} and {label: [(t, SQLite's KiB)]} from
    the processes' allocator samples ("unix time,role,allocator,in use,free,mapped[,sqlite]"),
    and the allocators named; a missing file reads as none."""
    in_use, free, sqlite, allocators = defaultdict(list), defaultdict(list), defaultdict(list), set()
    try:
        with open(path) as f:
            for row in csv.reader(f):
                if len(row) not in (6, 7) or not row[-1]:
                    continue  # a line cut short when its process was killed
                t, role, allocator = float(row[0]), row[1], row[2]
                in_use[role].append((t, int(row[3]) / 1024))
                free[role].append((t, int(row[4]) / 1024))
                if len(row) == 7:
                    sqlite[role].append((t, int(row[6]) / 1024))
                allocators.add(allocator)
    except OSError:
        pass
    return (dict(sorted(in_use.items())), dict(sorted(free.items())), dict(sqlite),
            sorted(allocators))


def print_heap(path, table_path, start, end):
    in_use, free, sqlite, allocators = read_heap(path)
    if not in_use:
        return
    cell = lambda v: "-" if v is None else "%.1f" % v
    rows = []
    for label in in_use:
        rows.append((label + " in use", rss_per_minute({label: in_use[label]}, start, end)[label]))
        if label in sqlite:  # the part of "in use" the host's database holds
            rows.append((label + " sqlite", rss_per_minute({label: sqlite[label]}, start,
                                                           end)[label]))
        rows.append((label + " free", rss_per_minute({label: free[label]}, start, end)[label]))
    minutes = max(len(v) for _, v in rows)
    print("  allocator (%s) MiB per minute, in use (of which SQLite's) and held free, minutes "
          "1-%d:" %
          (", ".join(allocators), minutes))
    for label, values in rows:
        print("    %-18s %s" % (label, " ".join(cell(v) for v in values)))
    slopes = process_slopes(in_use, start, end)
    print("  heap in use, slope per process over the same window as resident memory: %s" %
          ", ".join("%s %+.1f MiB/h" % (label, v) for label, (v, _) in slopes.items()))
    if table_path:
        with open(table_path, "w") as f:
            f.write("process," + ",".join("m%d" % (i + 1) for i in range(minutes)) + "\n")
            for label, values in rows:
                f.write(label + "," + ",".join("" if v is None else "%.1f" % v
                                               for v in values) + "\n")


def print_memory_kinds(path, start, end):
    """Each process's resident memory by kind ("unix time,role,anon KiB,file KiB,shmem KiB"): the
    first and last minute of the fit window, and the slope of each kind over it."""
    kinds = ("anon", "file", "shmem")
    series = defaultdict(lambda: {k: [] for k in kinds})
    try:
        with open(path) as f:
            for row in csv.reader(f):
                if len(row) != 5 or not all(row[2:]):
                    continue
                for k, v in zip(kinds, row[2:]):
                    series[row[1]][k].append((float(row[0]), int(v)))
    except OSError:
        return
    if not series:
        return
    since, _ = fit_window(start, end)
    print("  resident MiB by kind over the fit window (first minute -> last minute, slope MiB/h):")
    for role in sorted(series):
        cells = []
        for k in kinds:
            points = [(t, kib) for t, kib in series[role][k] if since <= t <= end]
            if not points:
                continue
            first = [kib for t, kib in points if t < points[0][0] + 60]
            last = [kib for t, kib in points if t > points[-1][0] - 60]
            slope = slope_per_hour([(t, kib / 1024) for t, kib in points])
            cells.append("%s %.1f -> %.1f (%+.1f)" % (k, sum(first) / len(first) / 1024,
                                                      sum(last) / len(last) / 1024, slope))
        print("    %-12s %s" % (role, ", ".join(cells)))


def process_slopes(processes, start, end):
    """{label: (MiB per hour, samples)} over the fit window (fit_window) of each process."""
    since, _ = fit_window(start, end)
    return {label: (slope_per_hour([(t, kib / 1024) for t, kib in points if since <= t <= end]),
                    sum(1 for t, _ in points if since <= t <= end))
            for label, points in processes.items()}


def first_round_over(faults):
    """When every kind of fault in [(t, kind)] has run once: the start of the fault after the
    last kind's first, or None. Until then a pool may still meet the fault that fills it to its
    bound (a frozen server makes every thread take a connection of its own)."""
    first = {}
    for t, kind in faults:
        first.setdefault(kind, t)
    if not first:
        return None
    last_new = max(first.values())
    later = [t for t, _ in faults if t > last_new]
    return min(later) if later else None


def growth_by_role(rows, start, end, column, faults=()):
    """Per role: (most in the first third after the warm-up, least in the last third), over
    quiet samples only; column 4 is descriptors, 5 threads. The warm-up lasts at least until
    every kind of fault has run once."""
    warm = start + max(WARM_UP_MIN_S, (end - start) / 5)
    round_over = first_round_over(faults)
    if round_over is not None and round_over < end:
        warm = max(warm, round_over)
    third = (end - warm) / 3
    early, late = defaultdict(list), defaultdict(list)
    for row in rows:
        t, role, phase = row[0], row[2], row[7]
        if phase != "quiet" or t < warm or t > end:
            continue
        if t <= warm + third:
            early[role].append(row[column])
        elif t >= end - third:  # up to the end of the workload; settling is not sampled
            late[role].append(row[column])
    return {role: (max(early[role]), min(late[role])) for role in early if late.get(role)}


# A log past this holds frames no checkpoint could copy back: some connection keeps an old
# snapshot open. With checkpoints getting through, it stays at a few MiB.
WAL_LIMIT_MIB = 64


def largest_wal_mib(path):
    """The largest size of the log sampled ("time,bytes" lines), in MiB; None without samples."""
    if not path:
        return None
    try:
        with open(path) as f:
            sizes = [int(line.split(",")[1]) for line in f if line.count(",") == 1]
    except (OSError, ValueError):
        return None
    return max(sizes) / 2**20 if sizes else None


def fault_under_way(faults, at):
    """The fault of [(t, kind)] last begun at or before `at`, as words."""
    before = [(t, kind) for t, kind in faults if t <= at]
    if not before:
        return "before the first fault"
    t, kind = before[-1]
    return "%s begun %.3f s before" % (kind, at - t)


def print_findings(path, faults, most=10):
    """The judge's first findings of the main job's log, each beside the fault under way; then
    every fault's start, when there was a finding."""
    try:
        with open(path, errors="replace") as f:
            findings = [line.rstrip("\n") for line in f if line.startswith("[check]")]
    except OSError:
        return
    if not findings:
        return
    print("  the judge's findings (first ones), each with the fault under way:", file=sys.stderr)
    for line in findings[:most]:
        match = re.search(r" at ([0-9]+\.[0-9]+):", line)
        where = fault_under_way(faults, float(match.group(1))) if match else "no time given"
        print("    " + line + "\n      fault: " + where, file=sys.stderr)
    print("  the faults (wall-clock start, name):", file=sys.stderr)
    for t, kind in faults:
        print("    %.3f %s" % (t, kind), file=sys.stderr)


def main():
    p = argparse.ArgumentParser()
    for name in ("samples", "summary", "faults"):
        p.add_argument("--" + name, required=True)
    p.add_argument("--started", type=float, required=True)
    p.add_argument("--duration", type=float, required=True)
    p.add_argument("--crashes", type=int, default=0)
    p.add_argument("--workers", type=int, default=0)
    p.add_argument("--max-growth", type=float, default=64)
    p.add_argument("--exit-status", type=int, default=0)
    p.add_argument("--rss-table", help="writes resident MiB per process per minute here (CSV)")
    p.add_argument("--heap", help="the processes' allocator samples (CSV)")
    p.add_argument("--heap-table", help="writes allocator MiB per process per minute here (CSV)")
    p.add_argument("--memory", help="the processes' resident memory by kind (CSV)")
    p.add_argument("--wal", help="the database's write-ahead log size over the run (CSV)")
    p.add_argument("--findings", help="the main job's log: its judge's findings are printed")
    a = p.parse_args()

    rows = read_samples(a.samples)
    end = a.started + a.duration
    try:
        with open(a.summary) as f:
            summary = json.load(f)
    except (OSError, ValueError):
        summary = {}
    stale_window = summary.get("checks", {}).get("stale_beyond_window", -1)
    stale_settled = summary.get("settle", {}).get("stale", -1)
    inconsistent = summary.get("auditor", {}).get("inconsistent", 0)
    fault_counts = defaultdict(int)
    faults = []
    with open(a.faults) as f:
        for line in f:
            t, kind = line.split()[:2]
            fault_counts[kind] += 1
            faults.append((float(t), kind))
    if a.findings:
        print_findings(a.findings, faults)

    growth, mem_first, mem_last, fitted = memory_growth(rows, a.started, end)
    fds = growth_by_role(rows, a.started, end, 4, faults)
    threads = growth_by_role(rows, a.started, end, 5, faults)
    long_run = a.duration >= LONG_RUN_S
    slack = SLACK if long_run else SHORT_RUN_SLACK
    thread_slack = SLACK if long_run else SHORT_RUN_THREAD_SLACK
    fd_leaks = [r for r, (s, e) in fds.items() if e > s + slack]
    thread_leaks = [r for r, (s, e) in threads.items() if e > s + thread_slack]

    for role in sorted(fds):
        print("  %-9s descriptors %3d -> %3d, threads %3d -> %3d" %
              (role, fds[role][0], fds[role][1], threads.get(role, (0, 0))[0],
               threads.get(role, (0, 0))[1]))
    processes = per_process(rows)
    table = rss_per_minute(processes, a.started, end)
    cell = lambda v: "-" if v is None else "%.1f" % v
    minutes = max((len(v) for v in table.values()), default=0)
    print("  resident MiB per minute (mean of the minute's samples), minutes 1-%d:" % minutes)
    for label, values in table.items():
        print("    %-12s %s" % (label, " ".join(cell(v) for v in values)))
    if a.rss_table:
        with open(a.rss_table, "w") as f:
            f.write("process," + ",".join("m%d" % (i + 1) for i in range(minutes)) + "\n")
            for label, values in table.items():
                f.write(label + "," + ",".join("" if v is None else "%.1f" % v
                                               for v in values) + "\n")
    since, warm = fit_window(a.started, end)
    slopes = process_slopes(processes, a.started, end)
    print("  resident memory slope per process, least squares over the last two thirds of the run "
          "(from %.1f min; warm-up %.1f min; reported, never fails a run): %s" %
          ((since - a.started) / 60, (warm - a.started) / 60,
           ", ".join("%s %+.1f MiB/h (%d samples)" % (label, v, n)
                     for label, (v, n) in slopes.items()) or "no samples"))
    if a.heap:
        print_heap(a.heap, a.heap_table, a.started, end)
    if a.memory:
        print_memory_kinds(a.memory, a.started, end)
    print("  faults: " + ", ".join("%s %d" % kv for kv in sorted(fault_counts.items())))
    print("  main job exit status %d; library warnings %s; failed external operations %s" %
          (a.exit_status, summary.get("library_warnings", {}).get("workers", "?"),
           summary.get("failed_external_ops", {}).get("workers", "?")))

    wal_mib = largest_wal_mib(a.wal)
    if wal_mib is not None:
        print("  the database's write-ahead log: at most %.1f MiB (limit %d)" %
              (wal_mib, WAL_LIMIT_MIB))

    failures = []
    if wal_mib is not None and wal_mib > WAL_LIMIT_MIB:
        failures.append("the database's log grew to %.0f MiB: no checkpoint gets through" %
                        wal_mib)
    if a.crashes:
        failures.append("crashes")
    if stale_window != 0 or stale_settled != 0:
        failures.append("stale answers" if min(stale_window, stale_settled) >= 0 else
                        "no summary")
    if inconsistent:
        failures.append("the auditor found %d inconsistent answers" % inconsistent)
    if fd_leaks:
        failures.append("descriptors grew in " + " ".join(sorted(fd_leaks)))
    if thread_leaks:
        failures.append("threads grew in " + " ".join(sorted(thread_leaks)))
    if long_run and growth > a.max_growth:
        failures.append("memory grows %.1f MiB/h (limit %.0f)" % (growth, a.max_growth))
    sum_pair = lambda d, i: sum(v[i] for v in d.values())
    print("soak verdict: %.1f min, %d workers, %d faults; memory %+.1f MiB/h (fit over %d samples "
          "after warm-up, %.0f -> %.0f MiB%s); descriptors %d -> %d, threads %d -> %d (all "
          "processes); stale beyond the window %d, after settling %d; inconsistent %d; crashes %d => %s" %
          (a.duration / 60, a.workers, sum(fault_counts.values()), growth, fitted, mem_first,
           mem_last, "" if long_run else ", informative in a short run", sum_pair(fds, 0),
           sum_pair(fds, 1), sum_pair(threads, 0), sum_pair(threads, 1), stale_window,
           stale_settled, inconsistent, a.crashes, "FAIL (" + "; ".join(failures) + ")" if failures else "PASS"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
