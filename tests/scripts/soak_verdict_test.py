#!/usr/bin/env python3
"""The soak's verdict on made-up samples: a process whose descriptors or threads climb over the
run fails it; descriptors a fault holds for a while, or that were higher early on, do not."""
import os
import subprocess
import sys
import tempfile
import unittest

VERDICT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                       "soak_verdict.py")
START, DURATION = 1000.0, 300.0


def run(fds_of, stale=0, crashes=0, faults=((1010.0, "freeze"),), extra="",
        rss_of=lambda role, t: 50000, inconsistent=0, heap=None, memory=None, wal=None,
        findings=None):
    """fds_of(role, t, phase) -> descriptors, rss_of(role, t) -> KiB; samples every 3 s, a fault
    in every fourth."""
    with tempfile.TemporaryDirectory() as d:
        samples = os.path.join(d, "samples.csv")
        with open(samples, "w") as f:
            for i in range(int(DURATION / 3)):
                t = START + 3 * i
                phase = "freeze" if i % 4 == 3 else "quiet"
                for role in ("parent", "worker-0", "writer-0"):
                    f.write("%.1f,1,%s,%d,%d,%d,0,%s\n" %
                            (t, role, rss_of(role, t), fds_of(role, t, phase), 9, phase))
            f.write(extra)
        with open(os.path.join(d, "summary.json"), "w") as f:
            f.write('{"checks": {"stale_beyond_window": 0}, "settle": {"stale": %d}, '
                    '"auditor": {"inconsistent": %d}}' % (stale, inconsistent))
        heap_args = []
        if heap is not None:
            with open(os.path.join(d, "heap.csv"), "w") as f:
                f.write(heap)
            heap_args = ["--heap", os.path.join(d, "heap.csv")]
        if memory is not None:
            with open(os.path.join(d, "memory.csv"), "w") as f:
                f.write(memory)
            heap_args += ["--memory", os.path.join(d, "memory.csv")]
        if wal is not None:
            with open(os.path.join(d, "wal.csv"), "w") as f:
                f.write(wal)
            heap_args += ["--wal", os.path.join(d, "wal.csv")]
        if findings is not None:
            with open(os.path.join(d, "demo.log"), "w") as f:
                f.write(findings)
            heap_args += ["--findings", os.path.join(d, "demo.log")]
        with open(os.path.join(d, "faults.log"), "w") as f:
            for t, kind in faults:
                f.write("%.1f %s\n" % (t, kind))
        out = subprocess.run(
            [sys.executable, VERDICT, "--samples", samples, "--summary",
             os.path.join(d, "summary.json"), "--faults", os.path.join(d, "faults.log"),
             "--started", str(START), "--duration", str(DURATION), "--crashes", str(crashes)] +
            heap_args,
            capture_output=True, text=True)
        return out.returncode, out.stdout + out.stderr


class SoakVerdict(unittest.TestCase):
    def test_a_database_log_no_checkpoint_gets_through_fails(self):
        growing = "".join("%.1f,%d\n" % (START + 3 * i, i * 2**20) for i in range(100))
        code, out = run(lambda role, t, phase: 20, wal=growing)
        self.assertEqual(code, 1, out)
        self.assertIn("the database's log grew to 99 MiB", out)
        bounded = "".join("%.1f,%d\n" % (START + 3 * i, (i % 5) * 2**20) for i in range(100))
        code, out = run(lambda role, t, phase: 20, wal=bounded)
        self.assertEqual(code, 0, out)
        self.assertIn("write-ahead log: at most 4.0 MiB", out)

    def test_descriptors_held_during_faults_or_early_pass(self):
        code, out = run(lambda role, t, phase: 20 + (5 if phase != "quiet" else 0) +
                        (3 if t < START + 120 else 0))
        self.assertEqual(code, 0, out)
        self.assertIn("=> PASS", out)

    def test_a_process_that_ended_while_sampled_crashed_the_verdict(self):
        code, out = run(lambda role, t, phase: 20, extra="1100.0,7,worker-1,50000,20,,0,quiet\n")
        self.assertEqual(code, 0, out)
        self.assertIn("=> PASS", out)

    def test_descriptor_climbing_in_one_process_fails(self):
        code, out = run(lambda role, t, phase: 20 + (int((t - START) / 10)
                                                     if role == "worker-0" else 0))
        self.assertEqual(code, 1, out)
        self.assertIn("descriptors grew in worker-0", out)

    def test_pools_filled_by_the_first_round_of_faults_read_as_growth(self):
        # A kind of fault first met after the usual warm-up fills a pool to its bound, once.
        faults = [(START + 10, "freeze"), (START + 150, "restart"), (START + 170, "freeze"),
                  (START + 250, "restart")]
        code, out = run(lambda role, t, phase: 20 + (12 if t >= START + 150 else 0),
                        faults=faults)
        self.assertEqual(code, 0, out)
        # A climb after that round still fails.
        code, out = run(lambda role, t, phase: 20 + (int((t - START - 170) / 3)
                                                     if t > START + 170 else 0),
                        faults=faults)
        self.assertIn("descriptors grew in", out)

    def test_each_process_slope_is_fitted_after_its_first_third_and_never_fails(self):
        # worker-0 doubles in its first minute, then stays flat; writer-0 grows 1 MiB a minute
        # throughout (60 MiB/h), a short run's memory being informative only.
        def rss(role, t):
            if role == "worker-0":
                return 50000 + min(t - START, 60) * 800
            return 50000 + (t - START) / 60 * 1024 if role == "writer-0" else 50000
        code, out = run(lambda *_: 20, rss_of=rss)
        self.assertEqual(code, 0, out)
        self.assertIn("worker-0 +0.0 MiB/h", out)
        self.assertIn("writer-0 +60.0 MiB/h", out)
        self.assertIn("parent +0.0 MiB/h", out)
        # Minute 1 of worker-0 is the mean of its climb; minute 5 is flat at its top.
        row = next(line.split() for line in out.splitlines() if line.strip().startswith("worker-0 ")
                   and "descriptors" not in line)
        self.assertEqual(len(row), 1 + 5)
        self.assertEqual(row[5], "%.1f" % ((50000 + 48000) / 1024))

    def test_stale_after_settling_or_a_crash_fails(self):
        self.assertIn("stale answers", run(lambda *_: 20, stale=1)[1])
        self.assertIn("FAIL (crashes)", run(lambda *_: 20, crashes=1)[1])
        self.assertIn("FAIL (the auditor found 2 inconsistent answers)",
                      run(lambda *_: 20, inconsistent=2)[1])

    def test_allocator_figures_per_minute_skip_a_line_cut_short(self):
        mib = 1024 * 1024
        heap = "".join("%d,worker-0,jemalloc,%d,%d,%d\n" % (START + 3 * i, (10 + i // 20) * mib,
                                                          4 * mib, 64 * mib)
                       for i in range(100)) + "%d,worker-0,jem" % (START + 301)
        out = run(lambda *_: 20, heap=heap)[1]
        self.assertIn("allocator (jemalloc)", out)
        in_use = next(line.split() for line in out.splitlines() if "worker-0 in use" in line)
        self.assertEqual(in_use[3:], ["10.0", "11.0", "12.0", "13.0", "14.0"])
        free = next(line.split() for line in out.splitlines() if "worker-0 free" in line)
        self.assertEqual(free[2:], ["4.0"] * 5)

    def test_the_databases_share_of_the_heap_is_shown_beside_it(self):
        mib = 1024 * 1024
        heap = "".join("%d,worker-0,glibc,%d,%d,%d,%d\n" % (START + 3 * i, 12 * mib, mib,
                                                            16 * mib, (2 + i // 20) * mib)
                       for i in range(100))
        out = run(lambda *_: 20, heap=heap)[1]
        sqlite = next(line.split() for line in out.splitlines() if "worker-0 sqlite" in line)
        self.assertEqual(sqlite[2:], ["2.0", "3.0", "4.0", "5.0", "6.0"])

    def test_resident_memory_by_kind_tells_file_growth_from_anonymous(self):
        # Anonymous memory flat at 20 MiB, file-backed pages growing 1 MiB a minute (60 MiB/h).
        memory = "".join("%d,worker-0,%d,%d,0\n" % (START + 3 * i, 20 * 1024,
                                                    (5 + i * 3 / 60) * 1024)
                         for i in range(100))
        out = run(lambda *_: 20, memory=memory)[1]
        line = next(line for line in out.splitlines() if line.split()[:2] == ["worker-0", "anon"])
        self.assertIn("anon 20.0 -> 20.0 (+0.0)", line)
        self.assertIn("(+60.0)", line.split("file")[1])

    def test_a_short_run_tells_a_pool_filled_late_from_threads_leaked_per_operation(self):
        # The short run's check once failed on a frozen server's pool threads still idle at the
        # end (16 -> 31): the threads column is 9 unless a sample's row says otherwise.
        def threads(grown):
            return "".join("%.1f,1,worker-1,50000,20,%d,0,quiet\n" %
                           (START + 3 * i + 1, 9 + grown(START + 3 * i + 1))
                           for i in range(int(DURATION / 3)))
        code, out = run(lambda *_: 20, extra=threads(lambda t: 15 if t > START + 200 else 0))
        self.assertEqual(code, 0, out)
        code, out = run(lambda *_: 20, extra=threads(lambda t: int(t - START) // 3))
        self.assertIn("threads grew in worker-1", out)

    def test_each_finding_names_the_fault_under_way(self):
        log = ("progress stale>1s 1\n"
               "[check] stale beyond the window at 1011.250: query 7 (versions 1@v2) rows\n"
               "[check] stale beyond the window at 1005.000: query 8 (versions 1@v3) rows\n")
        out = run(lambda *_: 20, faults=((1010.0, "freeze"), (1020.0, "restart")),
                  findings=log)[1]
        lines = out.splitlines()
        first = lines.index(next(line for line in lines if "query 7" in line))
        self.assertIn("fault: freeze begun 1.250 s before", lines[first + 1])
        self.assertIn("fault: before the first fault", lines[first + 3])


if __name__ == "__main__":
    unittest.main()
