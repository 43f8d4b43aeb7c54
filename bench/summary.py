#!/usr/bin/env python3
"""Turns Google Benchmark JSON into the Markdown figures of the Performance
section, and fails when the category map loading does not scale linearly."""
import json
import subprocess
import sys

# 100 000 lines may cost at most this many times 10 000 lines.
MAX_RATIO_100K_TO_10K = 11.0


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


def seconds(row):
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[row["time_unit"]]
    return row["cpu_time"] * scale


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
