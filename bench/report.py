#!/usr/bin/env python3
"""Runs every benchmark of the project and prints one table: each measured
figure beside its baseline from the same run, the ratio, the target and
whether it is met.

usage: bench/report.py [--build DIR] [--quick] [--only NAME...]

Google Benchmark programs (DIR/bench/*_bench) run with repetitions; their
medians are paired by benchmark name (PAIRS below). Script benchmarks
(bench/*.sh) print their own rows as lines "ROW {json}". The raw output of
every program is kept in DIR/bench-results/.
"""
import argparse
import json
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Metric kinds:
#   time         ratio = project time / baseline time, met when <= target
#   speed        ratio = baseline time / project time, met when >= target
#   rate:NAME    ratio = project counter NAME / baseline's, met when >= target
# A target of None makes an information row.
PAIRS = {
    "msg_roundtrip_bench": [
        ("request round trip, synchronous (vs raw ping-pong)", "BM_Chs_SyncRoundTrip/real_time",
         "BM_Base_PingPong/real_time", "time", 2.2),
        ("request round trip, synchronous (vs ping-pong with 2 hand-offs)", "BM_Chs_SyncRoundTrip/real_time",
         "BM_Base_PingPongHandOff/real_time", "time", None),
        ("requests answered/s, 96 in flight (vs pipelined echo)", "BM_Chs_AsyncWindow/96/real_time",
         "BM_Base_PipelinedEcho/96/real_time", "rate:answered/s", 0.6),
        ("requests answered/s, 256 in flight, the rest refused at once", "BM_Chs_AsyncWindow/256/real_time",
         "BM_Base_PipelinedEcho/256/real_time", "rate:answered/s", None),
    ],
    "codec_bench": [
        ("10-cell record: build and encode (vs protobuf)", "BM_Chs_Encode10", "BM_Protobuf_Encode10", "speed", 1.0),
        ("10-cell record: build with new and encode (vs protobuf)", "BM_Chs_EncodeNew10", "BM_Protobuf_Encode10",
         "speed", None),
        ("10-cell record: decode (vs protobuf, reused message)", "BM_Chs_Decode10", "BM_Protobuf_Decode10", "speed",
         1.0),
        ("10-cell record: decode into a new object (vs protobuf, new message)", "BM_Chs_DecodeFresh10",
         "BM_Protobuf_DecodeFresh10", "speed", None),
    ],
    "timer_bench": [
        ("timer start and fire, %s timers up to %s ticks, %s (vs priority queue)" % (n, s, mode),
         "BM_Wheel_StartAndFire_%s/%s/%s" % (mode.capitalize(), n, s),
         "BM_PlainQueue_StartAndFire_%s/%s/%s" % (mode.capitalize(), n, s), "time", 1.0)
        for mode in ("tick", "batch") for n in (16, 64, 256) for s in (100, 5000)
    ] + [
        ("timer name check, %s running (vs full scan)" % k, "BM_Wheel_DuplicateNameCheckWithRunning/%s" % k,
         "BM_FullScan_NameCheckWithRunning/%s" % k, "time", None) for k in (16, 256)
    ],
    "exec_cmd_bench": [
        ("command runner, no output, arg %s (vs posix_spawn)" % a, "BM_Ours_NoCapture/%s/real_time" % a,
         "BM_Base_NoCapture/real_time", "time", 1.2) for a in (0, 6000)
    ] + [
        ("command runner, output captured, arg %s (vs posix_spawn + pipe)" % a, "BM_Ours_Capture/%s/real_time" % a,
         "BM_Base_Capture/real_time", "time", 1.2) for a in (1, 1024)
    ],
    "om_db_bench": [
        ("record database, statement (vs open per statement)", "BM_CachedConnection", "BM_OpenPerStatement",
         "speed", 5.0),
        ("record database, query (vs open per query)", "BM_CachedConnectionQuery", "BM_OpenPerQuery", "speed", 5.0),
    ],
    "https_upload_bench": [
        ("HTTPS upload (vs the curl command)", "BM_Ours_HttpsUpload/iterations:2/repeats:4/manual_time",
         "BM_Base_CurlCommand/iterations:2/repeats:4/manual_time", "time", None),
    ],
    "transport_roundtrip_bench": [
        ("round trip between nodes, %s B, TCP+TLS (vs Unix socket)" % b,
         "BM_RoundTrip/tls:1/bytes:%s/real_time" % b, "BM_RoundTrip/tls:0/bytes:%s/real_time" % b, "time", None)
        for b in (64, 4096)
    ],
}

SCRIPTS = [
    ("idle_cost.sh", ["60"], ["10"]),
    ("export_overhead.sh", ["5"], ["1"]),
]


def run_gbench(path, out, quick):
    reps = "3" if quick else "7"
    # Repetitions of all benchmarks of a program run in random order, so that
    # a figure and its baseline meet the same moments of a shared machine.
    args = [path, "--benchmark_out=%s" % out, "--benchmark_out_format=json",
            "--benchmark_repetitions=" + reps, "--benchmark_report_aggregates_only=true",
            "--benchmark_enable_random_interleaving=true",
            "--benchmark_min_time=%s" % ("0.05" if quick else "0.2")]
    with open(out + ".log", "w") as log:
        code = subprocess.call(args, stdout=log, stderr=subprocess.STDOUT)
    if code != 0 or not os.path.exists(out):
        return None
    medians = {}
    with open(out) as f:
        for b in json.load(f).get("benchmarks", []):
            if b.get("aggregate_name") == "median" or b.get("run_type") == "iteration":
                name = b.get("run_name", b["name"])
                if b.get("aggregate_name") == "median" or name not in medians:
                    medians[name] = b
    return medians


def nanoseconds(b):
    scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b.get("time_unit", "ns")]
    return b["real_time"] * scale


def show_time(ns):
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= scale:
            return "%.3g %s" % (ns / scale, unit)
    return "%.3g ns" % ns


def show_rate(value):
    return "%.3gk/s" % (value / 1e3) if value >= 1e3 else "%.3g/s" % value


def gbench_rows(name, medians):
    rows = []
    for what, ours, base, kind, target in PAIRS.get(name, []):
        p, b = medians.get(ours), medians.get(base)
        if p is None or b is None:
            rows.append({"what": what, "missing": ours if p is None else base})
            continue
        if kind.startswith("rate:"):
            counter = kind[5:]
            pv, bv = p.get(counter, 0.0), b.get(counter, 0.0)
            ratio = pv / bv if bv else 0.0
            row = {"what": what, "project": show_rate(pv), "baseline": show_rate(bv), "ratio": ratio,
                   "target": None if target is None else ">= %.1fx" % target,
                   "met": None if target is None else ratio >= target}
            if "refused" in p:
                row["what"] += " (%d refused)" % p["refused"]
            rows.append(row)
            continue
        pt, bt = nanoseconds(p), nanoseconds(b)
        if kind == "time":
            ratio = pt / bt if bt else 0.0
            target_text, met = "<= %.1fx" % (target or 0), target is not None and ratio <= target
        else:
            ratio = bt / pt if pt else 0.0
            target_text, met = ">= %.1fx as fast" % (target or 0), target is not None and ratio >= target
        rows.append({"what": what, "project": show_time(pt), "baseline": show_time(bt), "ratio": ratio,
                     "target": target_text if target is not None else None,
                     "met": met if target is not None else None})
    return rows


def script_rows(path, args, log_path):
    env = dict(os.environ, CHS_BUILD_DIR=BUILD)
    with open(log_path, "w") as log:
        proc = subprocess.run([path] + args, stdout=subprocess.PIPE, stderr=log, env=env, text=True)
        log.write(proc.stdout)
    rows = []
    for line in proc.stdout.splitlines():
        if line.startswith("ROW "):
            try:
                row = json.loads(line[4:])
            except ValueError:
                continue
            for key in ("project", "baseline"):
                if isinstance(row.get(key), (int, float)):
                    row[key] = "%.3g %s" % (row[key], row.get("unit", ""))
            rows.append(row)
    if proc.returncode != 0 and not rows:
        rows.append({"what": os.path.basename(path), "missing": "exit %d" % proc.returncode})
    return rows


def print_table(rows):
    head = ("what", "project", "baseline", "ratio", "target", "met")
    lines = []
    for r in rows:
        if "missing" in r:
            lines.append((r["what"], "-", "-", "-", "-", "NOT RUN (%s)" % r["missing"]))
            continue
        ratio = r.get("ratio")
        met = r.get("met")
        lines.append((r["what"], str(r.get("project", "")), str(r.get("baseline", "")),
                      "%.2fx" % ratio if isinstance(ratio, (int, float)) else "-",
                      r.get("target") or "(information)",
                      "" if met is None else ("met" if met else "MISSED")))
    widths = [max(len(h), *(len(l[i]) for l in lines)) for i, h in enumerate(head)]
    fmt = " | ".join("%%-%ds" % w for w in widths)
    print(fmt % head)
    print("-+-".join("-" * w for w in widths))
    for l in lines:
        print(fmt % l)
    missed = sum(1 for r in rows if r.get("met") is False or "missing" in r)
    print("\n%d rows, %d with a target, %d missed or not run" %
          (len(rows), sum(1 for r in rows if r.get("target")), missed))


def main():
    global BUILD
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.environ.get("CHS_BUILD_DIR", os.path.join(ROOT, "build")))
    parser.add_argument("--quick", action="store_true", help="fewer repetitions, shorter idle span")
    parser.add_argument("--only", nargs="*", help="benchmark programs or scripts to run")
    options = parser.parse_args()
    BUILD = os.path.abspath(options.build)
    results = os.path.join(BUILD, "bench-results")
    os.makedirs(results, exist_ok=True)
    rows = []
    for name in sorted(PAIRS):
        if options.only and name not in options.only:
            continue
        path = os.path.join(BUILD, "bench", name)
        if not os.access(path, os.X_OK):
            rows.append({"what": name, "missing": "not built"})
            continue
        print("== %s" % name, file=sys.stderr)
        medians = run_gbench(path, os.path.join(results, name + ".json"), options.quick)
        if medians is None:
            rows.append({"what": name, "missing": "failed, see %s.json.log" % os.path.join(results, name)})
            continue
        rows += gbench_rows(name, medians)
    for script, args, quick_args in SCRIPTS:
        if options.only and script not in options.only:
            continue
        print("== %s" % script, file=sys.stderr)
        rows += script_rows(os.path.join(ROOT, "bench", script), quick_args if options.quick else args,
                            os.path.join(results, script + ".log"))
    print_table(rows)


BUILD = ""
if __name__ == "__main__":
    main()
