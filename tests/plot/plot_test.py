#!/usr/bin/python3
# tervalo-plot against records: it draws, the figures it drew come from the record, and a
# file that is not a record is refused with one line and status 1.
#
# usage: plot_test.py TERVALO_PLOT [LOG [KEEP]]
# Without LOG the record is made here from a table whose figures are known. With LOG (the
# --log file of a real run), that file is drawn instead and the figures are checked
# against its own lines; with KEEP too (record-run's), against the run's text summary
# (KEEP.stderr) and metrics file (KEEP.prom) as well.
import datetime
import json
import os
import re
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

PLOT = sys.argv[1]
REAL_LOG = sys.argv[2] if len(sys.argv) > 2 else None
KEEP = sys.argv[3] if len(sys.argv) > 3 else None
CAUSES = ("silent", "noise", "cut", "bad_frame", "other_type")
ZONE = datetime.timezone(datetime.timedelta(hours=1))
START = datetime.datetime(2026, 12, 8, 14, 3, 7, 412000, tzinfo=ZONE)

# Seconds after the start, then the line's own fields. Six round trips, so that the
# median is a nearest rank (412) and not the mean of the middle two (456).
TABLE = [
    (0.0, {"event": "start", "port": "COM7", "path": "/dev/pts/9", "version": "0.1.0"}),
    (0.1, {"seq": 1, "result": "response", "payload": "OK", "rtt_us": 412}),
    (2.1, {"seq": 2, "result": "response", "payload": "OK", "rtt_us": 380}),
    (4.1, {"seq": 3, "result": "no_response", "cause": {"kind": "silent"}, "warnings": []}),
    (6.1, {"seq": 4, "result": "response", "payload": "OK", "rtt_us": 950}),
    (8.1, {"seq": 5, "result": "no_response", "warnings": [{"kind": "crc", "got": 1}]}),
    (9.0, {"event": "port_lost", "reason": "Input/output error"}),
    (10.1, {"seq": 6, "result": "port_away"}),
    (12.1, {"seq": 7, "result": "port_away"}),
    (13.0, {"event": "port_reopened", "path": "/dev/pts/9"}),
    (14.1, {"seq": 8, "result": "response", "payload": "OK", "rtt_us": 401}),
    (16.1, {"seq": 9, "result": "response", "payload": "\u00ff\"", "rtt_us": 600}),
    (18.1, {"seq": 10, "result": "response", "payload": "OK", "rtt_us": 500}),
    (18.2, {"event": "summary", "greetings": 8, "responses": 6}),
]
# Away cycles are greetings, as the tool counts them; the median and p99 are the middles
# of the tool's histogram buckets (412 lies in 412-415), and the share is truncated.
TABLE_FIGURES = {"greetings": "10", "responses": "6", "no_response": "2", "port_away": "2",
                 **{f"cause_{cause}": "0" for cause in CAUSES},
                 "cause_silent": "1", "cause_bad_frame": "1",
                 "answered_percent": "60.0", "median_us": "413", "p99_us": "947"}
TABLE_TITLE = "10 greetings, 6 answered (60.0 %), 2 unanswered, 2 cycles away"

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


def record(rows, port="COM7", run=None):
    lines = []
    for seconds, fields in rows:
        when = START + datetime.timedelta(seconds=seconds)
        line = {"t": when.isoformat(timespec="milliseconds"), **fields}
        if run is not None:
            line["run"] = run
        if line.get("event") == "start":
            line["port"] = port
        lines.append(json.dumps(line) + "\n")
    return "".join(lines)


def plot(log, out, *extra):
    return subprocess.run([PLOT, log, "-o", out, *extra], capture_output=True, text=True,
                          timeout=120)


def figures_of(run):
    return dict(line.split(" ", 1) for line in run.stdout.splitlines())


def drawn(path):
    """True when path holds a whole PNG or SVG picture."""
    if not os.path.exists(path):
        return False
    with open(path, "rb") as f:
        data = f.read()
    if path.endswith(".png"):
        return data.startswith(b"\x89PNG\r\n\x1a\n") and data.endswith(b"IEND\xaeB`\x82")
    return ElementTree.fromstring(data).tag.endswith("svg")


def svg_text(path):
    texts = ElementTree.parse(path).getroot().itertext()
    return " | ".join(text.strip() for text in texts if text.strip())


def figures_from_lines(log):
    """What the log's own lines say: the count of each result, and the round trips."""
    counts = {"response": 0, "no_response": 0, "port_away": 0}
    rtts = []
    with open(log, encoding="utf-8", errors="replace") as f:
        for raw in f:
            try:
                line = json.loads(raw)
            except json.JSONDecodeError:
                continue  # a last line cut short
            if line.get("event") == "start":
                counts = {key: 0 for key in counts}
                rtts = []
            if line.get("result") in counts:
                counts[line["result"]] += 1
            if line.get("result") == "response":
                rtts.append(line["rtt_us"])
    return counts, rtts


with tempfile.TemporaryDirectory() as work:
    def path(name):
        return os.path.join(work, name)

    def write(name, text):
        with open(path(name), "w", encoding="utf-8") as f:
            f.write(text)
        return path(name)

    if REAL_LOG is None:
        # An earlier run in front of the last one, as --log appends.
        earlier = [(-60.0, {"event": "start"}),
                   (-59.9, {"seq": 1, "result": "response", "payload": "OK", "rtt_us": 7000})]
        log = write("run.jsonl", record(earlier, port="COM1") + record(TABLE))
        svg = path("run.svg")
        run = plot(log, svg, "--figures")
        check(run.returncode == 0, f"table record: status {run.returncode}: {run.stderr}")
        check(figures_of(run) == TABLE_FIGURES, f"table record: figures {run.stdout!r}")
        check(drawn(svg), "table record: no SVG")
        if drawn(svg):
            title = svg_text(svg)
            check("COM7" in title and TABLE_TITLE in title, f"table record: title in {title!r}")
            check("2026-12-08 14:03:07+01:00" in title, "table record: start time in the title")
            check("median 0.413 ms" in title and "p99 0.947 ms" in title,
                  "table record: median and p99 marks")
        # A few slow greetings among many fast ones turn the axis logarithmic, not these.
        check("round trip (ms)" in svg_text(svg), "table record: a linear axis")
        plot(write("spread.jsonl", record([TABLE[0]] + [(0.1 + i, {"seq": i + 1, "result": "response",
             "payload": "", "rtt_us": 40 if i % 10 else 9000}) for i in range(30)])), path("spread.svg"))
        check("round trip (ms, logarithmic)" in svg_text(path("spread.svg")), "wide spread: linear")
        first = plot(log, path("first.png"), "--figures", "--run", "1")
        check(figures_of(first).get("median_us") == "7000", f"--run 1: {first.stdout!r}")

        # Two bounded runs appending to one file at once, their lines interleaved: each
        # is drawn alone, with its verdict and loss limit.
        bounded = {"count": 3, "deadline_s": None, "max_loss": 34}
        a = [(0.0, {"event": "start", "options": bounded}), *TABLE[1:4],
             (6.0, {"event": "summary", "passed": True})]
        b = [(0.5, {"event": "start", "options": {**bounded, "max_loss": 0}}),
             (0.6, {"seq": 1, "result": "no_response", "warnings": []}),
             (5.0, {"event": "summary", "passed": False})]
        mixed = sorted(record(a, run="1-1").splitlines(keepends=True) +
                       record(b, port="COM8", run="1-2").splitlines(keepends=True),
                       key=lambda line: json.loads(line)["t"])
        log = write("mixed.jsonl", "".join(mixed))
        runs = subprocess.run([PLOT, log, "--runs"], capture_output=True, text=True, timeout=120)
        check([line.split("\t")[3:] for line in runs.stdout.splitlines()] == [
            ["COM7", "3 greetings, 2 responses, 1 no response, 0 away", "ended by None, passed"],
            ["COM8", "1 greetings, 0 responses, 1 no response, 0 away", "ended by None, failed"]],
            f"--runs: {runs.stdout!r} {runs.stderr!r}")
        for number, greetings, verdict in (("1", "3", "bounded run passed, loss limit 34 %"),
                                           ("2", "1", "bounded run FAILED, loss limit 0 %")):
            svg = path(f"mixed{number}.svg")
            run = plot(log, svg, "--figures", "--run", number)
            check(figures_of(run).get("greetings") == greetings, f"mixed run {number}: {run.stdout!r}")
            check(drawn(svg) and verdict in svg_text(svg), f"mixed run {number}: no {verdict!r}")

        # Records that must still draw, each as PNG and SVG.
        one = record(TABLE[:2])
        unanswered = record([TABLE[0], TABLE[3], TABLE[5]])
        cut_short = record(TABLE) + '{"t": "2026-12-08T14:0'
        still_drawn = [("one greeting", one, "1", "1"),
                       ("none answered", unanswered, "2", "0"),
                       ("cut short by a kill", cut_short, "10", "6"),
                       ("a line cut short by an older tool", "{\n" + record(TABLE), "10", "6")]
        for name, text, greetings, responses in still_drawn:
            log = write("edge.jsonl", text)
            for out in (path("edge.png"), path("edge.svg")):
                run = plot(log, out, "--figures")
                figures = figures_of(run) if run.returncode == 0 else {}
                check(run.returncode == 0 and drawn(out),
                      f"{name}: status {run.returncode}, {run.stderr}")
                check(figures.get("greetings") == greetings and
                      figures.get("responses") == responses, f"{name}: figures {figures}")
                if os.path.exists(out):
                    os.remove(out)
    else:
        counts, rtts = figures_from_lines(REAL_LOG)
        svg = path("real.svg")
        run = plot(REAL_LOG, svg, "--figures")
        figures = figures_of(run) if run.returncode == 0 else {}
        check(run.returncode == 0 and drawn(svg),
              f"real log: status {run.returncode}: {run.stderr}")
        check(figures.get("responses") == str(counts["response"]) and
              figures.get("no_response") == str(counts["no_response"]) and
              figures.get("port_away") == str(counts["port_away"]),
              f"real log: figures {figures}, lines {counts}")
        # The picture's figures are the tool's own summary record's, to the digit.
        with open(REAL_LOG, encoding="utf-8") as f:
            summary = [json.loads(line) for line in f if '"summary"' in line][-1]
        for name, value in (("greetings", summary["greetings"]),
                            ("responses", summary["responses"]),
                            ("median_us", (summary["rtt_us"] or {}).get("median", "-")),
                            ("p99_us", (summary["rtt_us"] or {}).get("p99", "-"))):
            check(figures.get(name) == str(value),
                  f"real log: {name} {figures.get(name)}, the summary record's {value}")

        if KEEP is not None:
            # One run, four accounts of it: the picture's, the summary record's, the text
            # summary's and the metrics file's counts are the same, by one definition.
            names = ["greetings", "responses", "no_response", "port_away",
                     *(f"cause_{c}" for c in CAUSES)]
            with open(KEEP + ".stderr", encoding="utf-8") as f:
                said = re.search(r"greetings (\d+), responses (\d+).*?no response (\d+),.*?"
                                 r"port away (\d+) cycles\nno response by cause: ([^\n]*)\n",
                                 f.read(), re.S)
            said = said.groups() if said else ("",) * 5
            text = [*said[:4], *(part.split(" ")[1] for part in said[4].split(", ") if part)]
            with open(KEEP + ".prom", encoding="utf-8") as f:
                samples = dict(re.sub(r"\{.*?(?:cause=\"(\w+)\")?\}", lambda m: "_" + (m[1] or ""),
                                      line).rsplit(" ", 1) for line in f if not line.startswith("#"))
            metrics = [samples.get(f"tervalo_{name}_total_") for name in names[:4]] + \
                [samples.get(f"tervalo_no_response_causes_total_{c}") for c in CAUSES]
            logged = [summary.get(name, summary["causes"].get(name[6:])) for name in names]
            seen = {"picture": [figures.get(name) for name in names], "text": text,
                    "metrics": [m and m.strip() for m in metrics], "record": list(map(str, logged))}
            check(len({tuple(counts) for counts in seen.values()}) == 1, f"the accounts differ: {seen}")
            n = [int(value or 0) for value in seen["picture"]]
            check(n[0] == n[1] + n[2] + n[3] and n[2] == sum(n[4:]) and n[3] > 0 and n[2] > 0,
                  f"greetings = responses + no response + away, the causes add up, the port "
                  f"away and a fault met: {dict(zip(names, n))}")

    # Files that are not a record, or hold nothing to draw: one line on standard error,
    # status 1, nothing drawn.
    not_records = [
        ("text", "hello\n"),
        ("empty", ""),
        ("a JSON object of something else", '{"name": "tervalo", "version": 1}\n'),
        ("a response without its round trip", record([TABLE[0]]) +
         '{"t": "2026-12-08T14:03:08.000+01:00", "seq": 1, "result": "response"}\n'),
        ("a greeting with a time without offset", record([TABLE[0]]) +
         '{"t": "2026-12-08T14:03:08.000", "seq": 1, "result": "no_response"}\n'),
        ("only a start", record(TABLE[:1])),
    ]
    for name, text in not_records:
        log = write("bad.jsonl", text)
        run = plot(log, path("bad.png"))
        check(run.returncode == 1, f"{name}: status {run.returncode}")
        check(run.stderr.count("\n") == 1 and run.stderr.startswith("tervalo-plot: "),
              f"{name}: standard error {run.stderr!r}")
        check(not os.path.exists(path("bad.png")), f"{name}: a picture was written")

for failure in failures:
    print(f"FAIL: {failure}", file=sys.stderr)
sys.exit(1 if failures else 0)
