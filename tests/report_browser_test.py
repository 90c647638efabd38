#!/usr/bin/env python3
"""The report's pages, loaded in headless Chromium: each loads with no
console message (so nothing was blocked or failed) and no request leaving
the file, its marks carry the values of the measure tables, and a
screenshot is not blank.

    report_browser_test.py QUILLON GENLOG [SCREENSHOTS]

With SCREENSHOTS, the screenshots of the index and of one page are kept
there. Exits 77 (skipped) when no Chromium can be started, and says why.
"""

import collections
import csv
import html.parser
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zlib

HOSTILE = "<script>alert(1)</script>"


def chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


def browse(browser, page, *args):
    """Loads `page` in headless Chromium; returns its DOM and its console."""
    command = [browser, "--headless", "--disable-gpu", "--enable-logging=stderr",
               "--v=0", "--hide-scrollbars", "--window-size=1280,1600", *args,
               "file://" + os.path.abspath(page)]
    if os.geteuid() == 0:
        command.insert(1, "--no-sandbox")  # root has no sandbox: tests only
    run = subprocess.run(command, capture_output=True, text=True, timeout=120)
    console = [line for line in run.stderr.splitlines() if ":CONSOLE" in line]
    return run.returncode, run.stdout, console


class Marks(html.parser.HTMLParser):
    """The elements of a page with their data- attributes, its links, its
    scripts and its text."""

    def __init__(self):
        super().__init__()
        self.marks, self.links, self.scripts, self.text = [], [], 0, []
        self.headers = []
        self._in_th = False

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        data = {k[5:]: v or "" for k, v in attrs.items() if k.startswith("data-")}
        if data:
            self.marks.append((tag, data))
        if tag == "a":
            self.links.append(attrs.get("href"))
        if tag == "script":
            self.scripts += 1
        self._in_th = tag == "th"
        if self._in_th:
            self.headers.append("")

    def handle_endtag(self, tag):
        if tag == "th":
            self._in_th = False

    def handle_data(self, data):
        self.text.append(data)
        if self._in_th:
            self.headers[-1] += data


def parse(dom):
    marks = Marks()
    marks.feed(dom)
    return marks


def blank(png):
    """Whether a PNG's pixels are all alike (its data, unfiltered or not,
    then holds hardly any distinct bytes)."""
    data, at = b"", 8
    while at < len(png):
        length = int.from_bytes(png[at:at + 4], "big")
        if png[at + 4:at + 8] == b"IDAT":
            data += png[at + 8:at + 8 + length]
        at += 12 + length
    return len(set(zlib.decompress(data))) < 16


def tables(measures):
    out = {}
    for name in ("logs", "actuations", "terminations", "phase_intervals", "ped",
                 "coordination", "preemption", "controller_events", "detector_health",
                 "arrivals", "split_failures", "approach_volume"):
        with open(os.path.join(measures, name + ".csv"), newline="") as f:
            out[name] = list(csv.DictReader(f))
    return out


def expected(t, signal, day):
    """What the page of `signal` and `day` must draw, from the tables."""
    def of_day(rows, column):
        return [r for r in rows if r["signal_id"] == signal and r[column][:10] == day]

    def hour(time):
        return str(int(time[11:13]))

    e = {}
    states = {}
    for r in of_day(t["logs"], "hour"):
        if states.get(hour(r["hour"])) != "ok":
            states[hour(r["hour"])] = r["state"]
    e["hours"] = {str(h): states.get(str(h), "none") for h in range(24)}
    e["greens"] = sorted((r["phase"], r["green_start"], r["green"], r["termination"])
                         for r in of_day(t["phase_intervals"], "green_start"))
    e["heat"] = sorted((r["detector"], r["bin_start"], r["actuations"])
                       for r in of_day(t["actuations"], "bin_start"))
    terms = collections.Counter()
    for r in of_day(t["terminations"], "bin_start"):
        for kind in ("gap_out", "max_out", "force_off", "skip"):
            terms[(r["phase"], hour(r["bin_start"]), kind)] += int(r[kind])
    e["terminations"] = {k: v for k, v in terms.items() if v}
    ped = collections.defaultdict(lambda: [0, 0])
    for r in of_day(t["ped"], "bin_start"):
        ped[(r["phase"], hour(r["bin_start"]))][0] += int(r["walks"])
        ped[(r["phase"], hour(r["bin_start"]))][1] += int(r["calls"])
    e["ped"] = {k: tuple(v) for k, v in ped.items() if any(v)}
    # The chart draws the plan: split changes and ring yields are not marks.
    e["coordination"] = sorted((r["item"], r["timestamp"][11:], r["value"])
                               for r in of_day(t["coordination"], "timestamp")
                               if r["item"] in ("pattern", "cycle_length", "offset"))
    service = ("entry", "track_clearance", "dwell", "exit", "gate_down", "max_presence", "link")
    e["preemption"] = sorted((r["preempt"], r["input_on"], r["input_off"], r["duration"]) +
                             tuple(r[c] for c in service)
                             for r in of_day(t["preemption"], "input_on"))
    e["controller"] = sorted((r["event"], r["timestamp"][11:], r["value"])
                             for r in of_day(t["controller_events"], "timestamp"))
    e["health"] = sorted((r["detector"], hour(r["hour"]), r["occupancy"], r["flags"],
                          r["actuations"], r["longest_on"])
                         for r in of_day(t["detector_health"], "hour"))
    greens = of_day(t["phase_intervals"], "green_start")
    programmed = {r["phase"] for r in greens if r["programmed_split"]}
    splits = {}
    for r in greens:
        if r["phase"] not in programmed:
            continue
        h = splits.setdefault((r["phase"], hour(r["green_start"])), [0, 0, 0, ""])
        if r["programmed_split"]:
            h[3] = r["programmed_split"]
        if r["split"]:
            tenths = round(float(r["split"]) * 10)
            h[0], h[1], h[2] = h[0] + 1, h[1] + tenths, max(h[2], tenths)
    e["splits"] = sorted((p, h, str(n), "%.1f" % (total / 10 / n), "%.1f" % (most / 10), s)
                         for (p, h), (n, total, most, s) in splits.items() if n)
    e["plans"] = sorted({r["timestamp"] for r in of_day(t["coordination"], "timestamp")
                         if r["item"] == "pattern"})
    dots = collections.Counter((r["phase"], hour(r["arrival"]), r["state"])
                               for r in of_day(t["arrivals"], "arrival"))
    e["arrivals"] = dict(dots)
    failures = collections.Counter()
    for r in of_day(t["split_failures"], "green_start"):
        if r["split_failure"] == "1":
            failures[(r["phase"], hour(r["green_start"]))] += 1
    e["split_failures"] = dict(failures)
    volumes = collections.Counter()
    for r in of_day(t["approach_volume"], "bin_start"):
        volumes[(r["approach"], hour(r["bin_start"]))] += int(r["volume"])
    e["volumes"] = dict(volumes)
    # The problems the tables show, by kind (the thresholds' problems are
    # the finder's own arithmetic, checked by the measure tests).
    kinds = set()
    for r in e["health"]:
        for flag, kind in (("stuck_on", "detector_stuck_on"), ("chatter", "detector_chatter"),
                           ("silent", "detector_silent"), ("fault", "detector_fault")):
            if flag in r[3].split(";"):
                kinds.add(kind)
    if any(r[0] == "power_interruption_on" for r in e["controller"]):
        kinds.add("power_interruption")
    if e["preemption"]:
        kinds.add("preemption")
    for state, kind in (("missing", "hours_missing"), ("damaged", "hours_damaged")):
        if state in e["hours"].values():
            kinds.add(kind)
    e["problems"] = kinds
    return e


def drawn(marks):
    """What a page drew, by chart, from its marks' data- attributes."""
    d = {"hours": {}, "greens": [], "heat": [], "terminations": {}, "ped": {},
         "coordination": [], "preemption": [], "controller": [], "health": [], "splits": [],
         "plans": [], "problems": set(), "arrivals": {}, "split_failures": {}, "volumes": {}}
    for tag, m in marks:
        if "arrival-state" in m:
            d["arrivals"][(m["phase"], m["hour"], m["arrival-state"])] = int(m["count"])
        elif "split-failures" in m:
            d["split_failures"][(m["phase"], m["hour"])] = int(m["split-failures"])
        elif "volume" in m:
            d["volumes"][(m["approach"], m["hour"])] = int(m["volume"])
        elif "on-green-share" in m:
            pass  # the hour's dots, checked above
        elif "problem" in m:
            d["problems"].add(m["problem"])
        elif "occupancy" in m:
            d["health"].append((m["detector"], m["hour"], m["occupancy"], m["flags"],
                                m["hour-actuations"], m["longest-on"]))
        elif "split-mean" in m:
            d["splits"].append((m["phase"], m["hour"], m["split-greens"], m["split-mean"],
                                m["split-longest"], m["programmed-split"]))
        elif "plan-pattern" in m:
            if not m["plan-from"].endswith("00:00:00.0"):
                d["plans"].append(m["plan-from"])
        elif "state" in m:
            d["hours"][m["hour"]] = m["state"]
        elif "green" in m:
            d["greens"].append((m["phase"], m["start"], m["green"], m["termination"]))
        elif "actuations" in m:
            d["heat"].append((m["detector"], m["bin"], m["actuations"]))
        elif "count" in m and "termination" in m:
            d["terminations"][(m["phase"], m["hour"], m["termination"])] = int(m["count"])
        elif "walks" in m:
            d["ped"][(m["phase"], m["hour"])] = (int(m["walks"]), int(m["calls"]))
        elif "changes" in m:
            changes = m["changes"].split(" ")
            assert len(changes) == int(m["count"]), m
            for change in changes:
                time, value = change.split("=")
                if "item" in m:
                    d["coordination"].append((m["item"], time, value))
                else:
                    d["controller"].append((m["event"], time, value))
        elif "preempt" in m:
            d["preemption"].append((m["preempt"], m["input-on"], m["input-off"],
                                    m["duration"], m["entry"], m["track-clearance"],
                                    m["dwell"], m["exit"], m["gate-down"], m["max-presence"],
                                    m["link"]))
    for key in ("greens", "heat", "coordination", "preemption", "controller", "health",
                "splits", "plans"):
        d[key].sort()
    return d


def index_problem_links(dom):
    """The index's problem lines as (link, kind)."""
    class Lines(html.parser.HTMLParser):
        def __init__(self):
            super().__init__()
            self.kind, self.lines = None, []

        def handle_starttag(self, tag, attrs):
            attrs = dict(attrs)
            if tag == "li" and "data-problem" in attrs:
                self.kind = attrs["data-problem"]
            elif tag == "a" and self.kind:
                self.lines.append((attrs["href"], self.kind))
                self.kind = None
    lines = Lines()
    lines.feed(dom)
    return lines.lines


def make_archive(genlog, root):
    """Two signals over two days (a missing hour, a damaged log, a version
    4 day) and a third whose id is markup."""
    def day(path, date, *args):
        subprocess.run([genlog, "--day", date, "--detectors", "6", *args, path], check=True)

    north, south = os.path.join(root, "north"), os.path.join(root, "south")
    hostile = os.path.join(root, "<script>alert(1)<", "script>")
    # North's detectors mapped: its coordination diagrams, split failures
    # and volumes.
    mapped = os.path.join(os.path.dirname(root), "map.csv")
    day(north, "2022_06_08", "--map", mapped, "--detectors", "10")
    day(north, "2022_06_09", "--seed", "2", "--map", mapped, "--detectors", "10")
    day(south, "2022_06_08", "--version", "4", "--seed", "3")
    day(hostile, "2022_06_08", "--seed", "4")
    os.remove(os.path.join(north, "2022_06_08_05.dat"))
    cut = os.path.join(north, "2022_06_09_10.dat")
    os.truncate(cut, os.path.getsize(cut) // 2 + 1)
    with open(cut, "ab") as f:
        f.write(b"\x01")  # a record cut short, wherever the half fell
    for h in range(3, 24):  # a short day keeps the test quick
        os.remove(os.path.join(hostile, "2022_06_08_%02d.dat" % h))


def main(argv):
    quillon, genlog = argv[0], argv[1]
    keep = argv[2] if len(argv) > 2 else None
    browser = chromium()
    if browser is None:
        print("SKIPPED: no Chromium on the PATH (apt-get install chromium): the "
              "report's pages were not checked in a browser")
        return 77
    root = tempfile.mkdtemp(prefix="quillon-report-")
    failures = []
    try:
        archive, out = os.path.join(root, "archive"), os.path.join(root, "report")
        make_archive(genlog, archive)
        run = subprocess.run([quillon, "-q", "-r", "--signal-id", "dir", "-f", "report",
                              "--detectors", os.path.join(root, "map.csv"),
                              "-o", out, archive, "e"], capture_output=True, text=True)
        assert run.returncode == 1 and "bad file read" in run.stderr, run
        t = tables(os.path.join(out, "measures"))
        code, dom, console = browse(browser, os.path.join(out, "index.html"), "--dump-dom")
        if code != 0 or "<body" not in dom:
            print("SKIPPED: Chromium could not load a page (status %d)" % code)
            return 77
        index = parse(dom)
        # The index's problem lines: (folder, day, kind).
        index_problems = {(href.split("/")[0], href.split("/")[1][:10], kind)
                          for href, kind in index_problem_links(dom)}
        if console:
            failures.append("index.html: console: %s" % console)
        # The matrix's heads: signal, years, a day each, then a signal a row.
        heads = [h for h in index.headers
                 if h not in ("Signal", "Years", "Its last day with a detector map")
                 and not re.fullmatch(r"\d\d-\d\d", h)]
        signals = [h.split(" \u26a0")[0].strip() for h in heads]
        assert sorted(signals) == sorted(["north", "south", HOSTILE]), signals
        # Each says its problems and the worst in words: here every one has
        # a missing or damaged hour (south and the third miss the hours
        # after their last log up to the run's last).
        assert all(re.search(r"\u26a0 \d+ problems?, the worst: [a-z ]+$", h) for h in heads), heads
        # The index links each signal's pages of a year; those, its days.
        years = [link for link in index.links if re.search(r"/\d{4}\.html$", link)]
        # Its matrix links each of the days.
        days_linked = {link for link in index.links if re.search(r"/\d{4}-\d\d-\d\d\.html$", link)}
        assert len(days_linked) == 4, days_linked
        assert len(years) == 3, years
        pages = []
        for year in years:
            code, dom, console = browse(browser, os.path.join(out, year), "--dump-dom")
            if console:
                failures.append("%s: console: %s" % (year, console))
            folder = os.path.dirname(year)
            pages += [folder + "/" + link for link in parse(dom).links
                      if link.endswith(".html") and link != "../index.html"]
        assert len(pages) == 4, pages
        for link in pages:
            path = os.path.normpath(os.path.join(out, link))
            assert path.startswith(os.path.join(out, "")), link
            code, dom, console = browse(browser, path, "--dump-dom")
            marks = parse(dom)
            text = "".join(marks.text)
            signal = next(s for s in signals if "Signal %s, " % s in text)
            day = os.path.basename(link)[:-5]
            if console:
                failures.append("%s: console: %s" % (link, console))
            if marks.scripts:
                failures.append("%s: %d script elements" % (link, marks.scripts))
            want, got = expected(t, signal, day), drawn(marks.marks)
            # The page lists at least the problems the tables show, and
            # the index each of them.
            if want["problems"] - got["problems"]:
                failures.append("%s: problems not listed: %s" % (
                    link, want["problems"] - got["problems"]))
            got["problems"] = want["problems"] & got["problems"]
            for kind in got["problems"]:
                if (link.split("/")[0], day, kind) not in index_problems:
                    failures.append("%s: the index lists no %s" % (link, kind))
            for chart in want:
                if want[chart] != got[chart]:
                    failures.append("%s: %s: drawn %d, the tables have %d" % (
                        link, chart, len(got[chart]), len(want[chart])))
            if not want["greens"] or not want["heat"]:
                failures.append("%s: the archive drew no greens or no detectors" % link)
            if signal == "north" and not (want["arrivals"] and want["volumes"]):
                failures.append("%s: the map drew no arrivals or volumes" % link)
        for name, page in (("index", "index.html"), ("day", pages[0])):
            shot = os.path.join(root, name + ".png")
            browse(browser, os.path.join(out, page), "--screenshot=" + shot)
            with open(shot, "rb") as f:
                if blank(f.read()):
                    failures.append("%s: the screenshot is blank" % page)
            if keep:
                shutil.copy(shot, os.path.join(keep, "report-%s.png" % name))
        if keep:
            # North's coordination diagram of phase 2, scrolled to in a frame.
            north_day = next(p for p in pages if p.startswith("north/"))
            frame = os.path.join(out, "frame.html")
            with open(frame, "w") as f:
                f.write("<body style='margin:0'><iframe src='%s#diagram-2' "
                        "style='border:0;width:1280px;height:900px'></iframe>" % north_day)
            shot = os.path.join(root, "diagram.png")
            browse(browser, frame, "--screenshot=" + shot, "--window-size=1280,900",
                   "--allow-file-access-from-files", "--virtual-time-budget=3000")
            shutil.copy(shot, os.path.join(keep, "report-diagram.png"))
    finally:
        shutil.rmtree(root)
    for failure in failures:
        print("FAILED:", failure)
    if not failures:
        print("%d pages and the index checked in %s" % (len(pages), browser))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
