#!/usr/bin/env python3
"""Prints a Google Benchmark JSON result as a table of each figure beside its baseline.

A benchmark named "X/..." is paired with the baseline "X_Baseline/..." (same arguments);
the ratio is ours / baseline in real time per iteration."""
import json
import sys


def main(path):
    with open(path) as f:
        data = json.load(f)
    rows = {b["name"]: b for b in data["benchmarks"] if b.get("run_type", "iteration") == "iteration"}
    print(f"{'benchmark':58} {'ours':>12} {'baseline':>12} {'ratio':>7}")
    for name, b in rows.items():
        head, _, args = name.partition("/")
        if head.endswith("_Baseline"):
            continue
        base = rows.get(f"{head}_Baseline/{args}" if args else f"{head}_Baseline")
        ours = f"{b['real_time']:.1f}{b['time_unit']}"
        if base:
            ratio = b["real_time"] / base["real_time"] if base["real_time"] else float("nan")
            print(f"{name:58} {ours:>12} {base['real_time']:>10.1f}{base['time_unit']} {ratio:7.2f}")
        else:
            extra = ", ".join(f"{k}={v:.1f}" for k, v in b.items()
                              if k not in ("real_time", "cpu_time", "iterations", "repetitions",
                                           "repetition_index", "threads", "family_index",
                                           "per_family_instance_index")
                              and isinstance(v, (int, float)))
            print(f"{name:58} {ours:>12} {'-':>12} {'-':>7} {extra}")


if __name__ == "__main__":
    for p in sys.argv[1:]:
        main(p)
