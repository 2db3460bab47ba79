#!/usr/bin/env python3
"""Turns kivra_bench's JSON and kivra_latency's JSON into a short Markdown
report and SVG plots of the latency distributions (CCDF). Standard library
only.

usage: report.py BENCH_JSON LATENCY_JSON OUT_DIR
"""
import html
import json
import math
import os
import sys

FLOOR = "floor/memcpy/1920"

# Figures to beat, as ratios to one 1920-byte memcpy (medians).
GOAL_DUPLEX = 15.0
GOAL_RING = 3.0
GOAL_P999_NS = 2000.0
GOAL_MAX_NS = 100000.0


def to_ns(value, unit):
    return value * {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[unit]


def load_bench(path):
    with open(path) as f:
        data = json.load(f)
    rows = {}
    order = []
    for b in data["benchmarks"]:
        if b.get("error_occurred"):
            continue
        aggregate = b.get("run_type") == "aggregate"
        if aggregate and b.get("aggregate_name") != "median":
            continue
        if not aggregate and b.get("repetitions", 1) > 1:
            continue
        name = b.get("run_name", b["name"]).replace("/manual_time", "")
        blocks = b.get("blocks", 1.0) or 1.0
        # The median batch per block when the benchmark reports it.
        ns = b.get("ns_per_block", to_ns(b["real_time"], b["time_unit"]) / blocks)
        if name not in rows:
            order.append(name)
        rows[name] = {"ns": ns, "allocs": b.get("allocs_per_block", 0.0)}
    return data.get("context", {}), rows, order


def fmt(v, digits=1):
    return f"{v:.{digits}f}"


def bench_tables(rows, order):
    floor = rows[FLOOR]["ns"]
    out = [f"Per 10 ms block (480 frames x 2 channels); ratio to one 1920-byte memcpy "
           f"({fmt(floor)} ns) of the same run.", "",
           "| benchmark | ns per block | x memcpy | heap allocations per block |",
           "|---|---:|---:|---:|"]
    for name in order:
        r = rows[name]
        out.append(f"| `{name}` | {fmt(r['ns'])} | {fmt(r['ns'] / floor, 2)} | "
                   f"{r['allocs']:g} |")
    return out, floor


def scaling(rows, floor):
    out = []
    talkers = sorted(int(n.split(":")[-1]) for n in rows if n.startswith("scale/talkers/n:"))
    if talkers:
        out += ["", "Cost per 10 ms against the number of remote talkers (Wwise frame 1024):",
                "", "| talkers | ns per 10 ms | x memcpy | ns per talker beyond the first |",
                "|---:|---:|---:|---:|"]
        base = rows[f"scale/talkers/n:{talkers[0]}"]["ns"]
        for n in talkers:
            ns = rows[f"scale/talkers/n:{n}"]["ns"]
            extra = (ns - base) / (n - talkers[0]) if n != talkers[0] else 0.0
            out.append(f"| {n} | {fmt(ns)} | {fmt(ns / floor, 1)} | "
                       f"{fmt(extra) if n != talkers[0] else '-'} |")
        # Least-squares line through the points.
        xs = talkers
        ys = [rows[f"scale/talkers/n:{n}"]["ns"] for n in xs]
        mx, my = sum(xs) / len(xs), sum(ys) / len(ys)
        sxx = sum((x - mx) ** 2 for x in xs)
        slope = sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sxx if sxx else 0
        out += ["", f"Least-squares fit: {fmt(my - slope * mx)} ns + {fmt(slope)} ns per talker "
                f"per 10 ms ({fmt(slope / floor, 2)} memcpy per talker)."]
    frames = [n for n in rows if n.startswith("scale/wwise_frame/")]
    if frames:
        def key(n):
            parts = dict(p.split(":") for p in n.split("/")[2:])
            return int(parts["talkers"]), int(parts["frames"])
        out += ["", "Cost per 10 ms against the Wwise frame size:", "",
                "| talkers | Wwise frame | ns per 10 ms | x memcpy |", "|---:|---:|---:|---:|"]
        for n in sorted(frames, key=key):
            t, f = key(n)
            out.append(f"| {t} | {f} | {fmt(rows[n]['ns'])} | {fmt(rows[n]['ns'] / floor, 1)} |")
    return out


def latency_tables(lat):
    out = ["", f"Latency per call, {lat['calls']} engine blocks per scenario, "
           f"{lat['talkers']} talkers, Wwise frame {lat['wwise_frames']}; "
           f"load average at start {lat['load_average']}.", "",
           "| scenario | callback | calls | p50 ns | p99 ns | p99.9 ns | p99.99 ns | max ns "
           "| > 100 us | allocations | false results |",
           "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for sc in lat["scenarios"]:
        for s in sc["series"]:
            out.append(f"| {sc['name']} | {s['name']} | {s['calls']} | {s['p50']:.0f} | "
                       f"{s['p99']:.0f} | {s['p999']:.0f} | {s['p9999']:.0f} | {s['max']:.0f} | "
                       f"{s['over100us']} | {s['allocations']} | {s['false_results']} |")
    return out


def find_series(lat, scenario, name):
    for sc in lat["scenarios"]:
        if sc["name"] == scenario:
            for s in sc["series"]:
                if s["name"] == name:
                    return s
    return None


def goals(rows, floor, lat):
    out = ["", "| goal | measured | met |", "|---|---|---|"]

    def line(goal, measured, ok):
        out.append(f"| {goal} | {measured} | {'yes' if ok else 'NO'} |")

    if "duplex/one_stream" in rows:
        r = rows["duplex/one_stream"]["ns"] / floor
        line(f"one stream's full duplex per 10 ms <= {GOAL_DUPLEX:g}x memcpy", f"{r:.1f}x",
             r <= GOAL_DUPLEX)
    if "duplex/block/talkers:1" in rows:
        r = rows["duplex/block/talkers:1"]["ns"] / floor
        line("everything per 10 ms, 1 talker (for reference)", f"{r:.1f}x", True)
    for name in ("ring/push_pop_mutex/steady", "ring/push_pop/steady"):
        if name in rows:
            r = rows[name]["ns"] / floor
            line(f"`{name}` <= {GOAL_RING:g}x memcpy", f"{r:.2f}x", r <= GOAL_RING)
    allocs = max((r["allocs"] for n, r in rows.items()
                  if n.startswith(("path/", "duplex/", "scale/"))), default=0)
    lat_allocs = 0
    if lat:
        lat_allocs = sum(s["allocations"] for sc in lat["scenarios"] for s in sc["series"]
                         if not s["name"].startswith("game"))
    line("heap allocations per block on every audio path: 0",
         f"{allocs:g} per block (benchmarks), {lat_allocs} in all latency runs",
         allocs == 0 and lat_allocs == 0)
    if lat:
        for cb in ("onRecordAudioFrame", "onPlaybackAudioFrameBeforeMixing"):
            s = find_series(lat, "bridge/real", cb)
            if s:
                ok = s["p999"] < GOAL_P999_NS and s["over100us"] == 0
                line(f"`{cb}` at the real cadence: p99.9 < 2 us, none > 100 us",
                     f"p99.9 {s['p999']:.0f} ns, max {s['max']:.0f} ns, "
                     f"{s['over100us']} over 100 us in {s['calls']}", ok)
    return out


COLORS = ["#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2",
          "#17becf", "#7f7f7f", "#bcbd22"]


def ccdf_svg(path, title, curves):
    """curves: list of (label, [[ns, fraction], ...]). Log-log axes."""
    w, h, ml, mr, mt, mb = 1060, 540, 70, 420, 40, 50
    pw, ph = w - ml - mr, h - mt - mb
    xs = [p[0] for _, pts in curves for p in pts if p[1] > 0]
    if not xs:
        return
    x0 = 10 ** math.floor(math.log10(max(10, min(xs))))
    x1 = 10 ** math.ceil(math.log10(max(xs) * 1.01))
    fr = [p[1] for _, pts in curves for p in pts if p[1] > 0]
    y0 = 10 ** math.floor(math.log10(min(fr)))
    y1 = 1.0

    def px(x):
        return ml + (math.log10(x) - math.log10(x0)) / (math.log10(x1) - math.log10(x0)) * pw

    def py(y):
        return mt + (math.log10(y1) - math.log10(y)) / (math.log10(y1) - math.log10(y0)) * ph

    s = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{w}" height="{h}" '
         f'font-family="sans-serif" font-size="12">',
         f'<rect width="{w}" height="{h}" fill="white"/>',
         f'<text x="{ml}" y="22" font-size="15">{title}</text>']
    d = int(math.log10(x0))
    while 10 ** d <= x1:
        x = px(10 ** d)
        s.append(f'<line x1="{x:.1f}" y1="{mt}" x2="{x:.1f}" y2="{mt + ph}" stroke="#ddd"/>')
        label = {0: "1 ns", 1: "10 ns", 2: "100 ns", 3: "1 us", 4: "10 us", 5: "100 us",
                 6: "1 ms", 7: "10 ms", 8: "100 ms", 9: "1 s"}.get(d, f"1e{d} ns")
        s.append(f'<text x="{x:.1f}" y="{mt + ph + 18}" text-anchor="middle">{label}</text>')
        d += 1
    e = int(math.log10(y0))
    while e <= 0:
        y = py(10 ** e)
        s.append(f'<line x1="{ml}" y1="{y:.1f}" x2="{ml + pw}" y2="{y:.1f}" stroke="#ddd"/>')
        s.append(f'<text x="{ml - 6}" y="{y + 4:.1f}" text-anchor="end">1e{e}</text>')
        e += 1
    s.append(f'<rect x="{ml}" y="{mt}" width="{pw}" height="{ph}" fill="none" stroke="#444"/>')
    s.append(f'<text x="{ml + pw / 2}" y="{h - 10}" text-anchor="middle">latency per call '
             f'(log)</text>')
    s.append(f'<text x="16" y="{mt + ph / 2}" transform="rotate(-90 16 {mt + ph / 2})" '
             f'text-anchor="middle">fraction of calls slower (log)</text>')
    for i, (label, pts) in enumerate(curves):
        c = COLORS[i % len(COLORS)]
        poly = []
        for x, y in pts:
            if y <= 0:
                # The curve drops to zero just past the slowest call.
                poly.append(f"{px(max(x, x0)):.1f},{mt + ph:.1f}")
                break
            poly.append(f"{px(max(x, x0)):.1f},{py(y):.1f}")
        s.append(f'<polyline fill="none" stroke="{c}" stroke-width="1.6" '
                 f'points="{" ".join(poly)}"/>')
        ly = mt + 14 + i * 18
        s.append(f'<line x1="{ml + pw + 12}" y1="{ly - 4}" x2="{ml + pw + 34}" y2="{ly - 4}" '
                 f'stroke="{c}" stroke-width="2"/>')
        s.append(f'<text x="{ml + pw + 40}" y="{ly}">{html.escape(label)}</text>')
    s.append("</svg>")
    with open(path, "w") as f:
        f.write("\n".join(s) + "\n")


def main():
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    bench_path, lat_path, out_dir = sys.argv[1:]
    os.makedirs(out_dir, exist_ok=True)
    context, rows, order = load_bench(bench_path)
    lat = None
    if os.path.exists(lat_path):
        with open(lat_path) as f:
            lat = json.load(f)
    if FLOOR not in rows:
        print(f"report.py: {FLOOR} missing from {bench_path}", file=sys.stderr)
        return 1
    lines = ["# KivraWwiseWrapper benchmark report", ""]
    if lat:
        lines.append(f"Machine: {lat['machine']}.")
    lines.append(f"Run: {context.get('date', '?')}, {context.get('num_cpus', '?')} CPUs at "
                 f"{context.get('mhz_per_cpu', '?')} MHz, library build type "
                 f"{context.get('library_build_type', '?')} (Google Benchmark's own build).")
    lines += ["", "## Goals", ""]
    table, floor = bench_tables(rows, order)
    lines += goals(rows, floor, lat)[1:]
    lines += ["", "## Cost per block", ""] + table
    lines += ["", "## Scaling"] + scaling(rows, floor)
    if lat:
        lines += ["", "## Real-time behaviour"] + latency_tables(lat)
        engine = []
        wwise = []
        for sc in lat["scenarios"]:
            for s in sc["series"]:
                label = f"{sc['name']}: {s['name']}"
                if s["name"] in ("onRecordAudioFrame", "onPlaybackAudioFrameBeforeMixing",
                                 "push 960"):
                    engine.append((label, s["ccdf"]))
                elif s["name"].startswith(("Get", "Push", "pop")):
                    wwise.append((label, s["ccdf"]))
        ccdf_svg(os.path.join(out_dir, "latency_engine_ccdf.svg"),
                 "Engine-thread calls: fraction slower than x", engine)
        ccdf_svg(os.path.join(out_dir, "latency_wwise_ccdf.svg"),
                 "Wwise-thread calls: fraction slower than x", wwise)
        lines += ["", "Plots: `latency_engine_ccdf.svg` (engine-thread calls and the reference "
                  "queues' push side), `latency_wwise_ccdf.svg` (Wwise-thread calls)."]
    with open(os.path.join(out_dir, "report.md"), "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
