#!/usr/bin/env bash
# A comparison run in a few seconds (one worker, short set-ups) on a private redis-server, with
# its report and its database at a path of ours, and --db at a file that is not ours.
# - The JSON shows every set-up in order with the TTLs asked for; the database alone loads every
#   answer and the long-lived caches load fewer; the library's set-up holds nothing stale after
#   settling. Stale answers and speeds are the run's own verdict (times, on a shared machine).
# - The report, read by a real HTML parser, loads nothing; it opens with the comparison, a bar
#   per set-up at its answers per second and one at its stale share for each set-up checked,
#   then each chart with a point per second of data; the comparison and summary tables.
# - --db at a file the main job did not write: refused with exit status 2, the file unchanged.
# - A short chaos run's report marks every fault the JSON lists on the time axis of every chart.
set -euo pipefail
demo="$1"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

echo "my notes" >"$dir/notes.txt"
status=0
"$demo" --db "$dir/notes.txt" --duration 1 2>"$dir/refused" >/dev/null || status=$?
[ "$status" -eq 2 ] || { echo "--db over a file of someone else's: exit $status"; exit 1; }
grep -q "will not replace" "$dir/refused"
[ "$(cat "$dir/notes.txt")" = "my notes" ]

status=0
"$demo" --compare --ttl 30 --processes 1 --duration 3 --rows 20000 --json \
  --db "$dir/sales.db" --report "$dir/report.html" >"$dir/out.json" 2>"$dir/err" || status=$?
cat "$dir/out.json"
case "$status" in 0 | 1 | 3) ;; *) echo "exit $status"; cat "$dir/err"; exit 1 ;; esac
jq -e '
  (.comparison.rows | map(.setup)) ==
    ["database", "redis-ttl", "local-ttl", "redis-ttl", "local-ttl", "velcache"] and
  (.comparison.rows | map(.ttl_ms)) == [0, 30000, 30000, 1000, 1000, 0] and
  (.comparison.rows | all(.answers > 0 and .p99_us >= .p50_us)) and
  (.comparison.rows[0] | .database_queries == .answers and .vs_database == 1) and
  (.comparison.rows[1:3] | all(.database_queries < .answers and .checked > 0)) and
  .comparison.memory_entries == 200 and
  .velcache.settle.stale == 0 and .velcache.settle.checked > 0
' "$dir/out.json" >/dev/null

python3 - "$dir/report.html" "$dir/out.json" <<'PY'
import json, sys
from html.parser import HTMLParser

class Charts(HTMLParser):
    def __init__(self):
        super().__init__()
        self.charts, self.chart, self.series, self.table, self.text = {}, None, None, None, {}
    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag in ("link", "script", "img", "iframe") and ("src" in a or "href" in a):
            raise SystemExit("the report loads " + tag)
        if tag == "svg" and "chart" in a.get("class", ""):
            self.chart = a["id"]
            self.charts[self.chart] = {}
        elif tag == "g" and self.chart and a.get("class") == "series":
            self.series = a["data-name"]
            self.charts[self.chart][self.series] = []
        elif tag in ("circle", "rect") and self.series and "point" in a.get("class", ""):
            self.charts[self.chart][self.series].append((int(a.get("data-t", 0)), float(a["data-v"])))
        elif tag == "table":
            self.table = a.get("id")
    def handle_endtag(self, tag):
        if tag == "svg": self.chart = None
        if tag == "g": self.series = None
        if tag == "table": self.table = None
    def handle_data(self, data):
        if self.table: self.text[self.table] = self.text.get(self.table, "") + data

page = Charts()
page.feed(open(sys.argv[1]).read())
run = json.load(open(sys.argv[2]))
seconds = len(run["velcache"]["timeline"]["answers"])
assert seconds >= 2, seconds
assert list(page.charts)[0] == "comparison", list(page.charts)
bars = page.charts.pop("comparison")
rows = run["comparison"]["rows"]
rates = [v for _, v in bars["answers per second"]]
assert len(rates) == len(rows) and all(
    abs(v - r["answers_per_s"]) <= 1e-3 * r["answers_per_s"] for v, r in zip(rates, rows)), rates
stale = [v for _, v in bars["stale beyond 1 s"]]
checked = [r for r in rows if r["checked"] > 0]
assert len(stale) == len(checked) and all(
    abs(v - 100 * r["stale_beyond_window"] / r["checked"]) < 1e-3 for v, r in zip(stale, checked)), stale
expected = {"answers": ["memory", "disk", "redis", "sqlite"], "hit-ratio": ["hit ratio"],
            "latency": ["p50", "p99"], "lag": ["p50", "p99"],
            "checks": ["fresh", "stale within 1 s", "stale beyond 1 s"],
            "auditor": ["consistent", "undecided", "inconsistent"]}
assert sorted(page.charts) == sorted(expected), page.charts.keys()
for chart, names in expected.items():
    assert list(page.charts[chart]) == names, (chart, list(page.charts[chart]))
    for name, points in page.charts[chart].items():
        times = [t for t, _ in points]
        assert times == sorted(set(times)) and all(1 <= t <= seconds for t in times), (chart, times)
        if chart in ("answers", "checks"):  # counted every second
            assert len(points) == seconds, (chart, name, len(points), seconds)
        elif chart != "lag":  # every second with answers
            assert len(points) >= seconds - 1, (chart, name, len(points))
answered = [v for _, v in page.charts["answers"]["memory"]]
assert sum(answered) > 0, answered
assert "Redis cache-aside" in page.text["comparison-table"], page.text.keys()
assert "answers/s" in page.text["comparison-table"]
assert "memory hit" in page.text["layers"] and "worker process" in page.text["run"], page.text
# The verdict of the library's set-up heads the page.
headed = "Result of velcache's set-up:</b> correct" in open(sys.argv[1]).read()
assert headed == run["velcache"]["correct"], (headed, run["velcache"]["correct"])
PY

status=0
"$demo" --chaos --processes 1 --duration 8 --rows 20000 --json --report "$dir/chaos.html" \
  >"$dir/chaos.json" 2>"$dir/chaos.err" || status=$?
case "$status" in 0 | 1 | 3) ;; *) echo "chaos run: exit $status"; cat "$dir/chaos.err"; exit 1 ;; esac
python3 - "$dir/chaos.html" "$dir/chaos.json" <<'PY'
import json, sys
from html.parser import HTMLParser

faults = json.load(open(sys.argv[2]))["timeline"]["faults"]
kinds = {f["what"].split(":")[0].split(" ")[0] for f in faults}
assert {"herd", "database", "Redis"} <= kinds, faults

class Marks(HTMLParser):
    def __init__(self):
        super().__init__()
        self.chart, self.marks = None, {}
    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "svg":
            self.chart = a["id"]
            self.marks[self.chart] = 0
        elif tag == "line" and a.get("class") == "fault":
            self.marks[self.chart] += 1
    def handle_endtag(self, tag):
        if tag == "svg": self.chart = None

page = Marks()
page.feed(open(sys.argv[1]).read())
assert len(page.marks) == 6 and all(n == len(faults) for n in page.marks.values()), (page.marks, faults)
PY
