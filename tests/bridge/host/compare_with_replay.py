#!/usr/bin/env python3
"""What the plug-in posts, found two ways for the same notifications,
properties file, user locale and event server answers: the real qelevent.dll
under Windows (the test host's replay mode, recorded by the stand-in
vnxsdevt.dll) and the hosted platform's account of it (qelevent-tool replay of
the native build). Fails unless both posted the same events in the same order,
the DLL passed zeros where the event library expects them, every call returned
what the replay's call returned, and every call waited what the replay's call
waited: no less, and no wait where the replay has none.

Usage: compare_with_replay.py --tool TOOL --notifications FILE --properties FILE
         --results LIST --lcid LCID --work FOLDER -- HOST_COMMAND...
HOST_COMMAND runs the test host (through the emulator); the host sees this
machine's files on drive Z:.
"""
import argparse
import json
import os
import re
import subprocess
import sys

# Tick counts under Windows move in steps of about 16 ms.
TICK_SLACK_MS = 50
# The most a call may take besides its waits: its own work (string loads, the
# desktop switch, the posts) under Wine in the emulated machine, with room to
# spare. Half the only wait the plug-in makes (the 120000 ms before a repost),
# so that a wait the replay does not make cannot pass for work.
CALL_WORK_MS = 60000


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def escape(field):
    return (str(field).replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n")
            .replace("\r", "\\r"))


def write_calls(notifications, calls):
    """One tab-separated line per notification, numbered like the replay's."""
    with open(notifications, encoding="utf-8-sig") as source, \
            open(calls, "w", encoding="utf-8", newline="\n") as out:
        for number, line in enumerate(source, start=1):
            if not line.strip():
                continue
            n = json.loads(line)
            fields = [number, n["eventCode"], n["className"], n["eventText"],
                      n["categoryAttribute"], n["target"]]
            out.write("\t".join(escape(f) for f in fields) + "\n")


def common(event):
    """The fields that both accounts of a post carry."""
    return {
        "source": event["source"],
        "typePath": event["typePath"],
        "text": event["text"],
        "language": event["language"],
        "eventCode": event["eventCode"],
        "attributes": [{k: a[k] for k in ("name", "type", "value")} for a in event["attributes"]],
        "destination": event["destination"],
        "result": event["result"],
    }


def run(command):
    """The command's standard output and error."""
    result = subprocess.run(command, capture_output=True, text=True, encoding="utf-8",
                            errors="replace")
    sys.stdout.write(result.stdout)
    sys.stderr.write(result.stderr)
    if result.returncode != 0:
        sys.exit(f"FAIL {command[0]} ... exited with {result.returncode}")
    return result.stdout, result.stderr


def replay_returns(replayed, replay_errors):
    """What ProcessEvent returned in the replay, by line. The replay reports the
    result only of a call that posted nothing; a call that posted returns 0."""
    returned = {int(line): int(result) for line, result in re.findall(
        r"^.*:(\d+): nothing posted: ProcessEvent returned (-?\d+)", replay_errors, re.M)}
    for event in replayed:
        returned[event["line"]] = 0
    return returned


def main():
    parser = argparse.ArgumentParser()
    for option in ("tool", "notifications", "properties", "results", "lcid", "work"):
        parser.add_argument("--" + option, required=True)
    parser.add_argument("host", nargs="+")
    args = parser.parse_args()
    if not os.access(args.tool, os.X_OK):
        sys.exit(f"FAIL {args.tool} is missing: build the native preset first "
                 "(cmake --preset native && cmake --build --preset native)")
    os.makedirs(args.work, exist_ok=True)
    calls = os.path.join(args.work, "calls.tsv")
    host_events = os.path.join(args.work, "host-events.jsonl")
    write_calls(args.notifications, calls)

    replay_output, replay_errors = run(
        [args.tool, "replay", "--properties", args.properties, "--results", args.results,
         "--lcid", args.lcid, args.notifications])
    replayed = [json.loads(line) for line in replay_output.splitlines()]
    host_output, _ = run(args.host + [
        "--replay", windows_path(calls), "--properties", windows_path(args.properties),
        "--results", args.results, "--events", windows_path(host_events)])
    with open(host_events, encoding="utf-8") as recorded:
        posted = [json.loads(line) for line in recorded]

    problems = []
    if not replayed:
        problems.append("the replay posted nothing: nothing to compare")
    if len(posted) != len(replayed):
        problems.append(f"the DLL posted {len(posted)} events, the replay {len(replayed)}")
    for number, (want, got) in enumerate(zip(replayed, posted), start=1):
        if common(got) != common(want):
            problems.append(f"event {number} (line {want['line']}, attempt {want['attempt']})\n"
                            f"  replay {json.dumps(common(want), ensure_ascii=False)}\n"
                            f"  DLL    {json.dumps(common(got), ensure_ascii=False)}")
        zeros = [got[k] for k in ("arg5", "arg8", "arg9", "arg11")]
        zeros += [r for a in got["attributes"] for r in a["reserved"]]
        if any(zeros):
            problems.append(f"event {number}: the DLL passed non-zero reserved arguments")

    waited = {}
    for event in replayed:
        waited[event["line"]] = waited.get(event["line"], 0) + event["waitMs"]
    returned = replay_returns(replayed, replay_errors)
    calls = {int(line): (int(result), int(ms)) for line, result, ms in
             re.findall(r"^call (\d+): returned (-?\d+) after (\d+) ms$", host_output, re.M)}
    for line, want in sorted(returned.items()):
        if line not in calls:
            problems.append(f"the host did not report its call for line {line}")
            continue
        result, took = calls[line]
        if result != want:
            problems.append(f"line {line}: the replay returns {want}, the DLL's call {result}")
        wait = waited.get(line, 0)
        if not wait - TICK_SLACK_MS <= took <= wait + CALL_WORK_MS:
            problems.append(f"line {line}: the replay waits {wait} ms, the DLL's call took "
                            f"{took} ms")
    for line in sorted(calls.keys() - returned.keys()):
        problems.append(f"the host reported a call for line {line}, the replay made none")
    if not any(waited.values()):
        problems.append("the replay reports no wait: the event server's answers were not used")

    for problem in problems:
        print("FAIL " + problem)
    print(f"{len(posted)} events posted by the DLL, {len(replayed)} by the replay, "
          f"{sum(waited.values())} ms waited; " + ("they differ" if problems else "they agree"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
