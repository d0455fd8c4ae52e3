#!/usr/bin/env python3
"""Prints Google Benchmark JSON results (run with repetitions) as one markdown table.

A benchmark named "X/args" is paired with its baseline "X_Baseline/args" from the same program.
Each side is summarised over its repetitions by the median and the spread (min-max); the ratio
is median(ours) / median(baseline), and the ratio spread pairs repetition i of one side with
repetition i of the other. A row with a target gets a verdict: "meets" when the median ratio
is at most the target, "MISSES" otherwise. Figures without a baseline are listed after the
table, with their counters.

Single-threaded CPU-bound figures are compared on CPU time, which the load of other processes
on a shared machine disturbs far less than wall time; everything else (benchmarks that wait for
threads, locks, files or a server, and those registered with real or manual time) on wall time.
"""
import json
import re
import statistics
import sys
from collections import defaultdict

# Programs whose figures run on the calling thread alone and never wait, and single figures of
# other programs that do the same (one thread taking an uncontended lock).
CPU_TIME_PROGRAMS = {"cache_bench", "cascade_bench"}
CPU_TIME_FIGURES = [r"^synchronized_cache_bench:BM_SyncIndexedTryGetEntry(_Baseline)?/.*threads:1$",
                    r"^readthrough_bench:ReadThrough_MemoryHit(_Baseline)?$",
                    r"^readthrough_bench:ReadThrough_TaggedHit(_Baseline)?$",
                    r"^readthrough_bench:ReadThrough_MemoryFill(_Baseline)?/"]

# (pattern on "program:benchmark name", largest acceptable ratio). The first match applies.
TARGETS = [
    (r"^cascade_bench:BM_CascadeOnDirtyOneOfMany/10000/manual_time$", 3.0),
    (r"^cascade_bench:BM_CascadeOnEntryUsed$", 4.0),
    (r"^synchronized_cache_bench:BM_SyncIndexedTryGetEntry/.*threads:1$", 1.5),
    (r"^synchronized_cache_bench:BM_SyncPurgeMru\b", 1.5),
    (r"^external_cache_bench:.*Disk.*Store", 1.5),
    (r"^external_cache_bench:.*Disk.*Load", 1.3),
    (r"^external_cache_bench:.*Redis.*Store", 1.3),
    (r"^external_cache_bench:.*Redis.*Load", 1.3),
    # Throughput of concurrent threads: at least 1.5x raw hiredis, i.e. at most 1/1.5 of its time.
    (r"^redis_client_bench:Pool(Set|Get)/4096/real_time/threads:(8|32)$", 0.67),
    (r"^coherence_bench:BM_CoherencePropagation/durable:0/", 1.2),
    # Cluster pool with shared connections against the same pool without: 1.3x the throughput.
    (r"^redis_cluster_bench:ClusterPipelined_SetGet/", 0.77),
    (r"^readthrough_bench:ReadThrough_MemoryHit$", 1.3),
    # A memory hit through a host beside a shared lock over a hash map of shared_ptrs (the
    # least a thread-safe cache does); on 2 threads the figure that matters is the rows' items
    # per second against the 1-thread row's, which the table prints, not this ratio.
    (r"^hit_bench:Hit_(Alone|Coherent|Lent|CoherentLent)/real_time/threads:1$", 1.2),
    # The auditor on at its default rate: a sampled hit queues a check, the rest draw a number.
    (r"^readthrough_bench:ReadThrough_AuditedHit$", 1.1),
    # A hit on an entry with three tags: nothing is looked up for them on a hit.
    (r"^readthrough_bench:ReadThrough_TaggedHit$", 1.1),
    # A fill into a full layer of 10,000 beside a Get with no memory layer: a pass over the
    # layer per fill made it ~2,300x, the key index ~7x.
    (r"^readthrough_bench:ReadThrough_MemoryFill/10000$", 2.0),
    (r"^readthrough_bench:ReadThrough_DiskHit/", 1.3),
    (r"^redis_tls_bench:Tls\w+/4096/", 1.3),
    (r"^async_task_bench:.*Async.*Get.*(HandOff|Handoff|CondVar|ConditionVariable)", 1.5),
]

UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def target_for(key):
    for pattern, target in TARGETS:
        if re.search(pattern, key):
            return target
    return None


def fmt_time(ns):
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("µs", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}"
    return f"{ns:.3g} ns"


def summary(values):
    return f"{fmt_time(statistics.median(values))} ({fmt_time(min(values))}–{fmt_time(max(values))})"


def load(path):
    program = path.rsplit("/", 1)[-1].removesuffix(".json")
    with open(path) as f:
        text = f.read()
    # A program none of whose benchmarks passed --filter leaves an empty file.
    data = json.loads(text) if text.strip() else {}
    runs = defaultdict(dict)  # name -> repetition index -> run
    for b in data.get("benchmarks", []):
        if b.get("run_type", "iteration") != "iteration" or b.get("error_occurred"):
            continue
        runs[b.get("run_name", b["name"])][b.get("repetition_index", 0)] = b
    return program, runs


def times(program, name, reps):
    cpu_figure = any(re.search(p, f"{program}:{name}") for p in CPU_TIME_FIGURES)
    wall = not cpu_figure and (program not in CPU_TIME_PROGRAMS or
                               name.endswith(("/real_time", "/manual_time")))
    field = "real_time" if wall else "cpu_time"
    return {i: r[field] * UNIT_NS[r.get("time_unit", "ns")] for i, r in reps.items()}, (
        "wall" if wall else "cpu")


def baseline_name(name):
    head, sep, args = name.partition("/")
    return f"{head}_Baseline{sep}{args}"


def main(paths):
    rows, unpaired = [], []
    for path in paths:
        program, runs = load(path)
        for name, reps in runs.items():
            if name.split("/", 1)[0].endswith("_Baseline"):
                continue
            ours, clock = times(program, name, reps)
            base_reps = runs.get(baseline_name(name))
            if not base_reps:
                counters = {k: v for k, v in next(iter(reps.values())).items()
                            if isinstance(v, (int, float)) and k not in (
                                "real_time", "cpu_time", "iterations", "repetitions",
                                "repetition_index", "threads", "family_index",
                                "per_family_instance_index")}
                unpaired.append((program, name, summary(list(ours.values())), counters))
                continue
            base, _ = times(program, baseline_name(name), base_reps)
            ratio = statistics.median(ours.values()) / statistics.median(base.values())
            paired = [ours[i] / base[i] for i in ours if i in base and base[i] > 0]
            key = f"{program}:{name}"
            target = target_for(key)
            verdict = "–" if target is None else ("meets" if ratio <= target else "MISSES")
            rows.append((program, name, clock, summary(list(ours.values())),
                         summary(list(base.values())), ratio,
                         (min(paired), max(paired)) if paired else (ratio, ratio), len(ours),
                         "–" if target is None else f"≤ {target:g}x", verdict))

    rows.sort(key=lambda r: (r[0], r[1]))
    print("| program | figure | clock | ours: median (min–max) | baseline: median (min–max) "
          "| ratio | ratio spread | reps | target | verdict |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for program, name, clock, ours, base, ratio, (lo, hi), n, target, verdict in rows:
        print(f"| {program} | `{name}` | {clock} | {ours} | {base} | {ratio:.3g}x "
              f"| {lo:.3g}–{hi:.3g}x | {n} | {target} | {verdict} |")
    missing = [p for p, _ in TARGETS if not any(re.search(p, f"{r[0]}:{r[1]}") for r in rows)]
    for pattern in missing:
        print(f"\nNo figure matched target pattern `{pattern}` in this run.")
    if unpaired:
        print("\nFigures without a baseline:")
        for program, name, ours, counters in unpaired:
            extra = ", ".join(f"{k}={v:.3g}" for k, v in counters.items())
            print(f"- {program} `{name}`: {ours}" + (f" ({extra})" if extra else ""))


if __name__ == "__main__":
    if not sys.argv[1:] or sys.argv[1] in ("-h", "--help"):
        print("usage: scripts/bench_table.py RESULT.json...  (scripts/bench runs it)\n")
        print(__doc__)
        sys.exit(0 if sys.argv[1:] else 2)
    main(sys.argv[1:])
