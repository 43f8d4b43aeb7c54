#!/usr/bin/env python3
"""Turns Google Benchmark JSON into the Markdown figures of the Performance
section, and fails when the category map loading does not scale linearly or
the replay misses its goals."""
import json
import subprocess
import sys

# 100 000 lines may cost at most this many times 10 000 lines.
MAX_RATIO_100K_TO_10K = 11.0
# Replay, as ratios within one run: time per notification against the
# plug-in's own work per event, 1 000 000 notifications against 100 000, and
# the growth of the peak memory from 100 000 to 1 000 000.
MAX_REPLAY_TO_OWN_WORK = 10.0
MAX_RATIO_1M_TO_100K = 11.0
MAX_PEAK_GROWTH = 0.10


def machine():
    cpus = subprocess.run(["nproc"], capture_output=True, text=True).stdout.strip()
    model = "unknown"
    for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
        if line.startswith("Model name:"):
            model = line.split(":", 1)[1].strip()
    return cpus, model


def medians(results):
    """Benchmark name -> its median row (or its only row without repetitions)."""
    rows = {}
    for row in results["benchmarks"]:
        name = row.get("run_name", row["name"])
        if row.get("aggregate_name") == "median" or row.get("run_type") == "iteration":
            rows.setdefault(name, row)
            if row.get("aggregate_name") == "median":
                rows[name] = row
    return rows


def seconds(row, column="cpu_time"):
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[row["time_unit"]]
    return row[column] * scale


def replay_figures(rows, counted):
    """The replay table and its goals; the time of a replay row is the tool's
    CPU time, reported as manual time."""
    runs = {}
    for name, row in rows.items():
        if name.startswith("ReplayNotifications/") and "error_occurred" not in row:
            runs[int(name.split("/")[1])] = (seconds(row, "real_time"), row)
    if not runs:
        return [], []
    own = seconds(counted) if counted else None
    out = ["| `qelevent-tool replay`, sample installation | time per notification "
           "| notifications/s | peak memory | × the plug-in's own work |",
           "|---|---|---|---|---|"]
    for count in sorted(runs):
        time, row = runs[count]
        per = time / count
        times = f"{per / own:.1f}×" if own else "-"
        out.append(f"| {count:,} notifications | {per * 1e6:,.2f} µs "
                   f"| {row['notifications_per_second']:,.0f} | {row['peak_kb'] / 1024:,.1f} MB "
                   f"| {times} |")
    if own:
        out.append(f"| the plug-in's own work per event (`counted_platform`) | {own * 1e6:,.2f} µs "
                   f"| {1 / own:,.0f} | | 1× |")
    out += ["", "| replay goal (ratios in this run) | measured | |", "|---|---|---|"]
    failures = []

    def goal(text, measured, met, failure):
        out.append(f"| {text} | {measured} | {'met' if met else 'MISSED'} |")
        if not met:
            failures.append(failure)

    large = [count for count in sorted(runs) if count >= 100000]
    if own:
        for count in large:
            ratio = runs[count][0] / count / own
            goal(f"time per notification at {count:,}: at most {MAX_REPLAY_TO_OWN_WORK:g}× "
                 "the plug-in's own work", f"{ratio:.1f}×", ratio <= MAX_REPLAY_TO_OWN_WORK,
                 f"replay of {count:,} takes {ratio:.1f}× the plug-in's own work per notification")
    if 100000 in runs and 1000000 in runs:
        ratio = runs[1000000][0] / runs[100000][0]
        goal(f"1,000,000 notifications: at most {MAX_RATIO_1M_TO_100K:g}× the time of 100,000",
             f"{ratio:.2f}×", ratio <= MAX_RATIO_1M_TO_100K,
             f"replay of 1,000,000 costs {ratio:.2f}× 100,000")
        small, big = runs[100000][1]["peak_kb"], runs[1000000][1]["peak_kb"]
        growth = big / small - 1
        goal(f"peak memory at 1,000,000: within {MAX_PEAK_GROWTH:.0%} of 100,000",
             f"{growth:+.1%}", abs(growth) <= MAX_PEAK_GROWTH,
             f"replay's peak memory grows {growth:+.1%} from 100,000 to 1,000,000")
    return out + [""], failures


def main(path):
    with open(path) as f:
        results = json.load(f)
    rows = medians(results)
    cpus, model = machine()
    out = [f"Machine: {model}, {cpus} CPUs (`nproc`); {results['context'].get('date', '')}.", ""]
    failures = []

    codec = [(kind, op) for kind in ("ascii", "mixed") for op in ("Utf8ToWide", "WideToUtf8", "Memcpy")]
    if any(f"{op}/{kind}" in rows for kind, op in codec):
        out += ["| UTF-8 codec, 64 KB of text | ASCII | mixed |", "|---|---|---|"]
        for op in ("Utf8ToWide", "WideToUtf8", "Memcpy"):
            cells = []
            for kind in ("ascii", "mixed"):
                row = rows.get(f"{op}/{kind}")
                cells.append(f"{row['bytes_per_second'] / 1e6:,.0f} MB/s" if row else "-")
            label = "memcpy of the same UTF-8 bytes" if op == "Memcpy" else f"`{op}`"
            out.append(f"| {label} | {cells[0]} | {cells[1]} |")
        out.append("")

    hosted = rows.get("ProcessEvent/hosted")
    counted = rows.get("ProcessEvent/counted_platform")
    if hosted and counted:
        whole, own = seconds(hosted), seconds(counted)
        out += ["| `ProcessEvent`, instant post | time per event | events/s |",
                "|---|---|---|",
                f"| on the hosted platform | {whole * 1e6:,.2f} µs "
                f"| {hosted['items_per_second']:,.0f} |",
                f"| the plug-in's own work (platform calls answered at once) "
                f"| {own * 1e6:,.2f} µs | {counted['items_per_second']:,.0f} |",
                f"| the hosted platform's {counted['platform_calls']:.0f} calls per event "
                f"| {(whole - own) * 1e6:,.2f} µs ({(whole - own) / whole:.0%}) | |",
                ""]
        layout = rows.get("CallerLayoutAfterFirst")
        if layout:
            out += ["| finding the caller's layout, after its first call | time per call "
                    "| × the plug-in's own work |",
                    "|---|---|---|",
                    f"| the remembered modules' ranges looked through under a lock "
                    f"| {seconds(layout) * 1e9:,.1f} ns | {seconds(layout) / own:.3f}× |",
                    ""]
        kept = rows.get("KeepEvent")
        if kept:
            added = seconds(kept) - whole
            out += ["| keeping an event the server refused (answer 7) | time per event "
                    "| × the plug-in's own work |",
                    "|---|---|---|",
                    f"| posted and kept, on the hosted platform | {seconds(kept) * 1e6:,.2f} µs "
                    f"| {seconds(kept) / own:.1f}× |",
                    f"| what keeping adds (one append of one record, the rate limit) "
                    f"| {added * 1e6:,.2f} µs | {added / own:.1f}× |",
                    ""]

    table, replay_failures = replay_figures(rows, counted)
    out += table
    failures += replay_failures

    if any(name.startswith("BuildAndReadRequest/") for name in rows):
        out += ["| IPC request, built and read back | messages/s | MB/s "
                "| memcpy of the message, copies/s | memcpy MB/s |",
                "|---|---|---|---|---|"]
        for size in ("small", "64KB"):
            row = rows.get(f"BuildAndReadRequest/{size}")
            copy = rows.get(f"MessageMemcpy/{size}")
            if not row:
                continue
            copied = (f"{copy['items_per_second']:,.0f} | {copy['bytes_per_second'] / 1e6:,.0f}"
                      if copy else "- | -")
            out.append(f"| {size} ({row['message_bytes']:,.0f} bytes) "
                       f"| {row['items_per_second']:,.0f} | {row['bytes_per_second'] / 1e6:,.0f} "
                       f"| {copied} |")
        out.append("")

    for variant in ("plain", "marked"):
        sizes = {}
        for name, row in rows.items():
            prefix = f"LoadCategoryMap/{variant}/lines:"
            if name.startswith(prefix) and "error_occurred" not in row:
                sizes[int(name[len(prefix):])] = seconds(row)
        if not sizes:
            continue
        out += [f"| category map loading, {variant} file | time per load | time per line |",
                "|---|---|---|"]
        for lines in sorted(sizes):
            out.append(f"| {lines:,} lines | {sizes[lines] * 1e3:,.3f} ms "
                       f"| {sizes[lines] / lines * 1e6:,.3f} µs |")
        if 10000 in sizes and 100000 in sizes:
            ratio = sizes[100000] / sizes[10000]
            verdict = "linear" if ratio <= MAX_RATIO_100K_TO_10K else "NOT LINEAR"
            out.append(f"| 100 000 / 10 000 lines | {ratio:.2f}× | {verdict} "
                       f"(at most {MAX_RATIO_100K_TO_10K:g}×) |")
            if ratio > MAX_RATIO_100K_TO_10K:
                failures.append(f"{variant} file: 100 000 lines cost {ratio:.2f}× 10 000")
        out.append("")

    failures += [f"{row['name']}: {row.get('error_message', 'failed')}"
                 for row in results["benchmarks"] if row.get("error_occurred")]
    print("\n".join(out))
    for failure in failures:
        print(f"bench: {failure}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
