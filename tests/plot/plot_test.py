#!/usr/bin/python3
# tervalo-plot against records: the figures it draws come from the record, and a file that
# is not a record is refused with one line and status 1.
# usage: plot_test.py TERVALO_PLOT [LOG [KEEP]]
# Without LOG the record is made here from a table whose figures are known. With LOG (the
# --log file of a real run) that file is drawn and checked against its own lines and
# summary record; with KEEP too (record-run's), against the run's text summary
# (KEEP.stderr) and metrics file (KEEP.prom).
import datetime
import json
import os
import re
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

PLOT, REAL_LOG, KEEP = (sys.argv[1:] + [None, None])[:3]
CAUSES = ("silent", "noise", "cut", "bad_frame", "other_type")
START = datetime.datetime(2026, 12, 8, 14, 3, 7, 412000,
                          tzinfo=datetime.timezone(datetime.timedelta(hours=1)))
ANSWER = {"result": "response", "payload": "OK"}
# Seconds after the start, then the line's fields. Six round trips, two of them equal, so
# that the median is a nearest rank (412, drawn as its bucket's 413) and not the mean of the
# middle two; 6 of 9 greetings answered, 66.6 % truncated as the tool's summary has it.
TABLE = [
    (0.0, {"event": "start", "port": "COM7", "path": "/dev/pts/9", "version": "0.1.0"}),
    (0.1, {"seq": 1, **ANSWER, "rtt_us": 412}),
    (2.1, {"seq": 2, **ANSWER, "rtt_us": 380}),
    (4.1, {"seq": 3, "result": "no_response", "cause": {"kind": "silent"}, "warnings": []}),
    (6.1, {"seq": 4, **ANSWER, "rtt_us": 950}),
    (8.1, {"seq": 5, "result": "no_response", "warnings": [{"kind": "crc", "got": 1}]}),
    (9.0, {"event": "port_lost", "reason": "Input/output error"}),
    (10.1, {"seq": 6, "result": "port_away"}),
    (13.0, {"event": "port_reopened", "path": "/dev/pts/9"}),
    (14.1, {"seq": 7, **ANSWER, "rtt_us": 412}),
    (16.1, {"seq": 8, "result": "response", "payload": "\u00ff\"", "rtt_us": 600}),
    (18.1, {"seq": 9, **ANSWER, "rtt_us": 500}),
    (18.2, {"event": "summary", "greetings": 9, "responses": 6}),
]
TABLE_FIGURES = {"greetings": "9", "responses": "6", "no_response": "2", "port_away": "1",
                 **{f"cause_{cause}": "0" for cause in CAUSES}, "cause_silent": "1",
                 "cause_bad_frame": "1", "answered_percent": "66.6", "median_us": "413",
                 "p99_us": "947"}
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


def record(rows, port="COM7", run=None):
    return "".join(json.dumps({"t": (START + datetime.timedelta(seconds=s)).isoformat(
        timespec="milliseconds"), **fields, **({"run": run} if run else {}),
        **({"port": port} if fields.get("event") == "start" else {})}) + "\n" for s, fields in rows)


def plot(log, out, *extra):
    run = subprocess.run([PLOT, log, "-o", out, *extra], capture_output=True, text=True,
                         timeout=120)
    drawn = os.path.exists(out) and (open(out, "rb").read().endswith(b"IEND\xaeB`\x82")
                                     if out.endswith(".png") else svg_text(out) != "")
    figures = dict(line.split(" ", 1) for line in run.stdout.splitlines() if run.returncode == 0)
    return run, drawn, figures


def svg_text(path):
    texts = ElementTree.parse(path).getroot().itertext()
    return " | ".join(text.strip() for text in texts if text.strip())


with tempfile.TemporaryDirectory() as work:
    def write(name, text):
        with open(os.path.join(work, name), "w", encoding="utf-8") as f:
            f.write(text)
        return os.path.join(work, name)

    svg = os.path.join(work, "run.svg")
    if REAL_LOG is None:
        # An earlier run in front of the last one, as --log appends.
        earlier = [(-60.0, {"event": "start"}), (-59.9, {"seq": 1, **ANSWER, "rtt_us": 7000})]
        log = write("run.jsonl", record(earlier, port="COM1") + record(TABLE))
        run, drawn, figures = plot(log, svg, "--figures")
        check(figures == TABLE_FIGURES and drawn, f"table: {run.stdout!r} {run.stderr}")
        title = svg_text(svg) if drawn else ""
        for text in ("COM7", "9 greetings, 6 answered (66.6 %), 2 unanswered, 1 cycle away",
                     "2026-12-08 14:03:07+01:00", "median 0.413 ms", "p99 0.947 ms",
                     "round trip (ms)"):
            check(text in title, f"table: {text!r} not in {title!r}")
        check(plot(log, svg, "--figures", "--run", "1")[2].get("median_us") == "7000", "--run 1")
        # A few slow greetings among many fast ones turn the axis logarithmic.
        plot(write("spread.jsonl", record([TABLE[0]] + [(0.1 + i, {"seq": i + 1, **ANSWER,
             "rtt_us": 40 if i % 10 else 9000}) for i in range(30)])), svg)
        check("round trip (ms, logarithmic)" in svg_text(svg), "wide spread: a linear axis")

        # Two bounded runs appending to one file at once, their lines interleaved: each is
        # drawn alone, with its verdict and loss limit.
        bounded = {"count": 3, "deadline_s": None, "max_loss": 34}
        a = [(0.0, {"event": "start", "options": bounded}), *TABLE[1:4],
             (6.0, {"event": "summary", "passed": True})]
        b = [(0.5, {"event": "start", "options": {**bounded, "max_loss": 0}}),
             (0.6, {"seq": 1, "result": "no_response", "warnings": []}),
             (5.0, {"event": "summary", "passed": False})]
        log = write("mixed.jsonl", "".join(sorted(
            record(a, run="1-1").splitlines(keepends=True) +
            record(b, port="COM8", run="1-2").splitlines(keepends=True), key=lambda line: json.loads(line)["t"])))
        runs = subprocess.run([PLOT, log, "--runs"], capture_output=True, text=True, timeout=120)
        check([line.split("\t")[3:] for line in runs.stdout.splitlines()] == [
            ["COM7", "3 greetings, 2 responses, 1 no response, 0 away", "ended by None, passed"],
            ["COM8", "1 greetings, 0 responses, 1 no response, 0 away", "ended by None, failed"]],
            f"--runs: {runs.stdout!r} {runs.stderr!r}")
        for number, greetings, verdict in (("1", "3", "bounded run passed, loss limit 34 %"),
                                           ("2", "1", "bounded run FAILED, loss limit 0 %")):
            run, drawn, figures = plot(log, svg, "--figures", "--run", number)
            check(figures.get("greetings") == greetings and drawn and verdict in svg_text(svg),
                  f"mixed run {number}: {run.stdout!r}, no {verdict!r}")

        # Records that must still draw, as PNG or SVG.
        for name, text, counts, out in (
                ("one greeting", record(TABLE[:2]), ("1", "1"), "1.png"),
                ("none answered", record([TABLE[0], TABLE[3], TABLE[5]]), ("2", "0"), "2.svg"),
                ("cut short by a kill", record(TABLE) + '{"t": "2026-12-08T14:0', ("9", "6"), "3.png"),
                ("a line cut short by an older tool", "{\n" + record(TABLE), ("9", "6"), "4.svg")):
            run, drawn, figures = plot(write("edge.jsonl", text), os.path.join(work, out), "--figures")
            check(drawn and (figures.get("greetings"), figures.get("responses")) == counts,
                  f"{name}: status {run.returncode}, {run.stderr}, figures {figures}")
    else:
        run, drawn, figures = plot(REAL_LOG, svg, "--figures")
        check(drawn, f"real log: status {run.returncode}: {run.stderr}")
        with open(REAL_LOG, encoding="utf-8") as f:
            lines = [json.loads(line) for line in f]
        last = max(i for i, line in enumerate(lines) if line.get("event") == "start")
        results = [line.get("result") for line in lines[last:]]
        summary = [line for line in lines if line.get("event") == "summary"][-1]
        # The picture's figures are the log's lines and its summary record, to the digit.
        for name, value in (("responses", results.count("response")),
                            ("no_response", results.count("no_response")),
                            ("port_away", results.count("port_away")),
                            ("greetings", summary["greetings"]),
                            ("median_us", (summary["rtt_us"] or {}).get("median", "-")),
                            ("p99_us", (summary["rtt_us"] or {}).get("p99", "-"))):
            check(figures.get(name) == str(value), f"real log: {name} {figures.get(name)}, {value}")
        if KEEP is not None:
            # One run, four accounts of it: the picture's, the summary record's, the text
            # summary's and the metrics file's counts are the same, by one definition.
            names = ["greetings", "responses", "no_response", "port_away",
                     *(f"cause_{c}" for c in CAUSES)]
            with open(KEEP + ".stderr", encoding="utf-8") as f:
                text = re.search(r"greetings (\d+), responses (\d+).*?no response (\d+),.*?port "
                                 r"away (\d+) cycles\nno response by cause: silent (\d+), noise "
                                 r"(\d+), cut (\d+), bad_frame (\d+), other_type (\d+)\n", f.read(), re.S)
            with open(KEEP + ".prom", encoding="utf-8") as f:
                prom = {re.sub(r"\{.*?(?:cause=\"(\w+)\")?\}", lambda m: "_" + (m[1] or ""), key): value.strip()
                        for key, value in (line.rsplit(" ", 1) for line in f if line[0] != "#")}
            seen = {"picture": [figures.get(name) for name in names],
                    "text": list(text.groups()) if text else [],
                    "metrics": [prom.get(f"tervalo_{name}_total_") for name in names[:4]] +
                    [prom.get(f"tervalo_no_response_causes_total_{c}") for c in CAUSES],
                    "record": [str(summary.get(n, summary["causes"].get(n[6:]))) for n in names]}
            n = [int(value or 0) for value in seen["picture"]]
            check(len({tuple(counts) for counts in seen.values()}) == 1 and n[3] > 0 and n[2] > 0
                  and n[0] == n[1] + n[2] + n[3] and n[2] == sum(n[4:]),
                  f"the accounts differ, do not add up, or meet no fault or no port away: {seen}")

    # Not a record, or nothing to draw: one line on standard error, status 1, no picture.
    for name, text in (
            ("text", "hello\n"), ("empty", ""),
            ("a JSON object of something else", '{"name": "tervalo", "version": 1}\n'),
            ("a response without its round trip", record([TABLE[0]]) +
             '{"t": "2026-12-08T14:03:08.000+01:00", "seq": 1, "result": "response"}\n'),
            ("a greeting with a time without offset", record([TABLE[0]]) +
             '{"t": "2026-12-08T14:03:08.000", "seq": 1, "result": "no_response"}\n'),
            ("only a start", record(TABLE[:1]))):
        run = subprocess.run([PLOT, write("bad.jsonl", text), "-o", svg + ".png"],
                             capture_output=True, text=True, timeout=120)
        check(run.returncode == 1 and run.stderr.count("\n") == 1 and
              run.stderr.startswith("tervalo-plot: ") and not os.path.exists(svg + ".png"),
              f"{name}: status {run.returncode}, standard error {run.stderr!r}")

for failure in failures:
    print(f"FAIL: {failure}", file=sys.stderr)
sys.exit(1 if failures else 0)
