#!/usr/bin/env bash
# The main job's metrics endpoint, scraped over HTTP while the run goes and read by the
# Prometheus client library's own parser: every worker answers on its port, on loopback only;
# external cache operations are counters and cumulative latency histograms labelled by
# namespace, outcome and layer; the coherence service's health figures are gauges.
set -euo pipefail
demo="$1"
py=/usr/bin/python3  # Debian's, with python3-prometheus-client
dir=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$dir"' EXIT

# Two free neighbouring loopback ports, as the kernel hands them out.
port=$("$py" - <<'PY'
import socket
while True:
    a = socket.socket(); a.bind(("127.0.0.1", 0)); p = a.getsockname()[1]
    b = socket.socket()
    try:
        b.bind(("127.0.0.1", p + 1)); print(p); break
    except OSError:
        pass
    finally:
        a.close(); b.close()
PY
)
# Long enough for a loaded machine or a sanitizer build to reach a hit in every worker; the run
# is stopped as soon as both have been read.
"$demo" --processes 2 --duration 60 --rows 20000 --metrics-port "$port" >"$dir/out" 2>"$dir/err" &
pid=$!

"$py" - "$port" "$pid" <<'PY'
import os, sys, time, urllib.request
from prometheus_client.parser import text_string_to_metric_families

port, pid = int(sys.argv[1]), int(sys.argv[2])

def scrape(p):
    return urllib.request.urlopen(f"http://127.0.0.1:{p}/metrics", timeout=5).read().decode()

def ready(p):  # a scrape once the worker has loaded through its external caches
    deadline = time.time() + 90
    while time.time() < deadline:
        os.kill(pid, 0)  # the run is still going
        try:
            text = scrape(p)
            if "velcache_ec_load_total{" in text and 'outcome="hit"' in text and \
                    "redispubsub_health_received" in text:
                return text
        except OSError:
            pass
        time.sleep(0.5)
    raise SystemExit(f"no metrics at port {p}")

def listening_addresses(p):  # the local addresses listening on port p, from the kernel's table
    found = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        for line in open(table).read().splitlines()[1:]:
            local, state = line.split()[1], line.split()[3]
            address, hexport = local.rsplit(":", 1)
            if int(hexport, 16) == p and state == "0A":
                found.add(address)
    return found

for p in (port, port + 1):
    text = ready(p)
    assert listening_addresses(p) == {"0100007F"}, listening_addresses(p)  # 127.0.0.1 only
    families = {f.name: f for f in text_string_to_metric_families(text)}
    loads = families["velcache_ec_load"]
    assert loads.type == "counter", loads.type
    assert all({"namespace", "outcome"} <= set(s.labels) for s in loads.samples), loads.samples
    assert any(s.labels["outcome"] == "hit" and s.value > 0 for s in loads.samples)
    latency = families["velcache_ec_load_seconds"]
    assert latency.type == "histogram"
    series = {}
    for s in latency.samples:
        key = tuple(sorted((k, v) for k, v in s.labels.items() if k != "le"))
        series.setdefault(key, {"buckets": []})
        if s.name.endswith("_bucket"):
            series[key]["buckets"].append((float(s.labels["le"]), s.value))
        else:
            series[key][s.name.rsplit("_", 1)[1]] = s.value
    for key, s in series.items():
        counts = [n for _, n in sorted(s["buckets"])]
        assert counts == sorted(counts), (key, counts)  # cumulative
        assert sorted(s["buckets"])[-1][0] == float("inf") and counts[-1] == s["count"], key
    layers = {s.labels.get("layer") for s in families["velcache_diskexternalcache_tryload"].samples}
    assert layers == {"disk"}, layers
    # Counts that only grow are counters (name_total) with their own help; levels are gauges.
    health = families["velcache_redispubsub_health_received"]
    assert health.type == "counter" and health.samples[0].value > 0, health.samples
    assert health.samples[0].name == "velcache_redispubsub_health_received_total"
    assert health.documentation == "Messages delivered live by the subscription.", health
    assert families["velcache_redispubsub_health_lag_p99_seconds"].type == "gauge"
    assert families["velcache_readthroughcache_counters_memory_hits"].type == "counter"
    assert families["velcache_readthroughcache_counters_layer_0_hits"].type == "counter"
    assert families["velcache_readthroughcache_counters_audit_nines"].type == "gauge"
PY
kill "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true
pid=
