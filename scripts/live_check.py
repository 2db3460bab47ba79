#!/usr/bin/env python3
"""Checks the figures of the live runs (scripts/live-test.sh) and writes
OUT/summary.md, one table of every run. Exit status 1 when a figure misses
its bound; every miss is named.

Bounds: ERLE on the published track at least 25 dB with the reverse stream,
at most 3 dB without; no pull the bridge left short while its queue held
enough, no block dropped for overflow; every bridge call within 10% of its
device period at p99.9; at most 2 bridge log lines in any second once
settled (the rate over any minute; the most in one second is shown too); under drift, each stream's standing backlog within 5 ms of the
undisturbed run's after the first minute; over the soak, memory flat."""
import json
import statistics
import sys
from pathlib import Path

CI_RUNS = {  # run: (server, reverse stream working)
    "pulse": ("PulseAudio", True),
    "pulse-disabled": ("PulseAudio", False),
    "pulse-drift": ("PulseAudio +1000 ppm", True),
    "jack": ("JACK dummy", True),
    "jack-disabled": ("JACK dummy", False),
}
SOAK_RUNS = {"pulse": ("PulseAudio", True), "soak-drift": ("PulseAudio +1000 ppm, 1 h", True)}


def settled(values, from_block):
    """The blocks from from_block on, or every block of a run too short for it."""
    kept = [v for v in values[from_block:] if v >= 0]
    return kept or [v for v in values if v >= 0]


def check(out, runs, drift_run, drift_from_s):
    misses, rows, figures = [], [], {}
    for name, (server, working) in runs.items():
        path = out / name / "figures.json"
        if not path.exists():
            misses.append(f"{name}: no figures ({path})")
            continue
        f = figures[name] = json.loads(path.read_text())
        erle = f["erle_published_db"] if f["erle_windows"] > 0 else f["erle_canceller_db"]
        if working and not drift_run == name and erle < 25:
            misses.append(f"{name}: ERLE {erle:.1f} dB, under 25 dB")
        if not working and erle > 3:
            misses.append(f"{name}: ERLE {erle:.1f} dB with the reverse stream disabled, over 3 dB")
        for s in f["streams"]:
            if s["short_pulls"]:
                misses.append(f"{name}: {s['name']}: {s['short_pulls']} pulls left short by the bridge")
            if s["overflow_lines"]:
                misses.append(f"{name}: {s['name']}: {s['overflow_lines']} blocks dropped for overflow")
        worst = max(f["calls"], key=lambda c: c["p999_us"] / max(c["period_us"], 1))
        for c in f["calls"]:
            if c["period_us"] > 0 and c["p999_us"] > 0.1 * c["period_us"]:
                misses.append(f"{name}: {c['name']} p99.9 {c['p999_us']:.0f} us, over 10% of "
                              f"{c['period_us']:.0f} us")
        if f["max_log_rate_per_minute"] > 2:
            misses.append(f"{name}: {f['max_log_rate_per_minute']:.2f} log lines a second over a minute")
        xruns = (f"{f['input_overflows']}/{f['input_underflows']} in, "
                 f"{f['output_underflows']}/{f['output_overflows']} out")
        backlog = " / ".join(
            f"{statistics.median(settled(s['backlog_10s_ms'], 1) or [-1]):.1f}" for s in f["streams"])
        actions = sum(s["quiet_removals"] + s["crossfade_removals"] + s["insertions"]
                      for s in f["streams"])
        rows.append(
            f"| {name} | {server} | {f['seconds']:.0f} s | {f['estimated_lead_ms']} ms | "
            f"{erle:.1f} dB | {f['canceller_restarts']} | {xruns} | "
            f"{sum(s['short_pulls'] for s in f['streams'])} | {worst['name']} "
            f"{worst['p50_us']:.0f}/{worst['p99_us']:.0f}/{worst['p999_us']:.0f}/"
            f"{worst['max_us']:.0f} us of {worst['period_us']:.0f} | {backlog} ms | {actions} | "
            f"{f['max_log_rate_per_minute']:.2f} ({f['max_log_lines_per_second']}) | {f['rss_start_mb']:.0f} -> {f['rss_end_mb']:.0f} MB |")

    # Drift: each stream's standing backlog, 10 s blocks from drift_from_s on,
    # against the undisturbed run's settled median.
    if drift_run in figures and "pulse" in figures:
        base, drift = figures["pulse"], figures[drift_run]
        for b, d in zip(base["streams"], drift["streams"]):
            ref = statistics.median(settled(b["backlog_10s_ms"], 1) or [0])
            later = [v for v in d["backlog_10s_ms"][drift_from_s // 10:] if v >= 0]
            worst = max((abs(v - ref) for v in later), default=None)
            if worst is None:
                misses.append(f"{drift_run}: {d['name']}: no backlog after {drift_from_s} s")
            elif worst > 5:
                misses.append(f"{drift_run}: {d['name']}: backlog {worst:.1f} ms from the "
                              f"undisturbed run's {ref:.1f} ms")
            rows.append(f"| {drift_run} vs pulse | {d['name']} | backlog after {drift_from_s} s: "
                        f"{min(later, default=0):.1f}-{max(later, default=0):.1f} ms against "
                        f"{ref:.1f} ms | | | | | | | | | | |")
    if drift_run == "soak-drift" and drift_run in figures:
        rss = figures[drift_run]["rss_minute_mb"]
        if len(rss) > 2 and rss[-1] - rss[1] > 4:
            misses.append(f"soak: resident memory grew {rss[-1] - rss[1]:.1f} MB after minute 2")
    head = ("| run | server | length | lead found | ERLE | restarts | device xruns (over/under) | "
            "short pulls by the bridge | slowest call p50/p99/p99.9/max | backlog up / talkers | "
            "controller actions | log lines/s, most over a minute (in one second) | memory |\n"
            "|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    table = head + "\n" + "\n".join(rows) + "\n"
    (out / "summary.md").write_text(table)
    print(table)
    for m in misses:
        print("live-check: " + m, file=sys.stderr)
    return 1 if misses else 0


def main():
    args = sys.argv[1:]
    soak = bool(args) and args[0] == "--soak"
    if soak:
        args = args[1:]
    if len(args) != 1:
        print("usage: live_check.py [--soak] OUT", file=sys.stderr)
        return 2
    out = Path(args[0])
    if soak:
        return check(out, SOAK_RUNS, "soak-drift", 60)
    return check(out, CI_RUNS, "pulse-drift", 60)


if __name__ == "__main__":
    sys.exit(main())
