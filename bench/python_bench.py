#!/usr/bin/env python3
"""How fast the Python module reads logs, against pandas reading the events
table of the same logs; how fast quillon.measures is, against the same
tables computed in pandas from read_archive's frame (checked equal first).
Prints figures; asserts only that the two measures agree.

    python3 bench/python_bench.py [--quick] [--rounds N] BUILD

BUILD is a build folder holding quillon, tools/quillon-genlog and the module
(python/quillon). The corpus (a busy day of 24 logs, or 2 with --quick) is
made in /dev/shm when there is one.
"""

import os
import shutil

import numpy as np
import statistics
import subprocess
import sys
import tempfile
import time


def busy_day_types():
    """The event types of a busy current-version day, repeats as weights
    (as the command's benchmark has them)."""
    types = [25] * 300
    for t in (1, 3, 4, 5, 6, 7, 8, 9, 10, 11, 16, 18, 19, 20, 21, 22):
        types += [t] * 4
    for t in (42, 44, 46, 47, 48, 49, 57):
        types += [t] * 2
    types += [37, 39, 40, 41, 72, 75, 79, 80, 85, 88, 89, 91, 99]
    return ",".join(map(str, types))


# The measures in pandas, as an analyst would write them from the frame of
# read_archive in mode p: events by name, their values from their data.
KINDS = {"Phase Green Begin": "green", "Begin Phase Green": "green",
         "Phase Yellow Begin": "yellow", "Begin Phase Yellow": "yellow",
         "Phase Yellow Complt": "yellow_end", "Phase Red Begin": "red",
         "Begin Phase Red Clr": "red", "Phase Red Clr Complt": "red_end",
         "Phase Term Gap Out": "gap_out", "Phase Term Max Out": "max_out",
         "Phase Term Force Off": "force_off", "Phase Ped Walk Begin": "walk",
         "Begin Ped Walk": "walk", "Ped call on/off": "ped_call",
         "Veh Detector on/off": "detector", "Preempt Input on/off": "preempt",
         "Patt Status Change": "pattern", "Cycle Length Change": "cycle_length",
         "Offset Length Change": "offset", "PHASE_SKIPPED": "skip",
         "Ped Detector on/off": "ped_press", "Split Change": "split",
         "Coord Ring Yield": "yield", "Preempt State Chng": "preempt_state",
         "Prmpt Gate Dn on/off": "gate_down", "Preempt Link on/off": "preempt_link",
         "Preempt Max Presence": "max_presence", "Veh Det Alarm Change": "det_alarm",
         "Veh Det RAlarm Chng": "det_ralarm"}
ON_OFF = ("ped_call", "detector", "preempt", "ped_press", "gate_down", "preempt_link")
# "Preempt State Chng": its standard code by D2 (2 only where D1 is 0).
PREEMPT_STATES = {2: 105, 3: 107, 5: 107, 8: 105, 9: 106, 10: 111}
COORDINATION = ("pattern", "cycle_length", "offset", "split", "yield")
TENTHS_PER_HOUR = 36000
TERMINATIONS = ("gap_out", "max_out", "force_off")


def pandas_measures(events, bin_minutes=15):
    """The measure tables of read_archive(dir, "p"), as lists of row tuples."""
    import pandas as pd
    logs = events.attrs["logs"].reset_index(drop=True)
    log_of_row = np.repeat(np.arange(len(logs)), logs["records"].to_numpy())
    assert len(log_of_row) == len(events)
    # Each log's steps back and the largest, within it (the events table's
    # timestamps are the true times, in file order).
    times = events["timestamp"].to_numpy().astype("int64") // 10**8
    back = np.zeros(len(times), dtype=bool)
    back[1:] = (times[1:] < times[:-1]) & (log_of_row[1:] == log_of_row[:-1])
    size = np.zeros(len(times), dtype=np.int64)
    size[1:] = np.where(back[1:], times[:-1] - times[1:], 0)
    logs["steps"] = np.bincount(log_of_row, weights=back, minlength=len(logs)).astype(int)
    logs["largest"] = 0
    if len(times):
        np.maximum.at(logs["largest"].to_numpy(), log_of_row, size)
    firsts = np.full(len(logs), -1, dtype=np.int64)
    lasts = np.full(len(logs), -1, dtype=np.int64)
    firsts[log_of_row[::-1]] = times[::-1]
    lasts[log_of_row] = times
    logs["first_t"], logs["last_t"] = firsts, lasts
    run_last = logs["start"].dropna().astype("int64").max() // 10**8 \
        if logs["start"].notna().any() else None
    logs = logs[logs["start"].notna()].copy()
    logs["t"] = logs["start"].astype("int64") // 10**8
    logs["whole"] = logs["closing"] == "End of Controller Log"
    logs["ends"] = logs["version"] != 4
    logs = logs.sort_values(["signal_id", "t"], kind="stable")
    previous = logs.groupby("signal_id", sort=False)
    gap = (logs["t"] != previous["t"].shift() + TENTHS_PER_HOUR) | \
        ~previous["whole"].shift(fill_value=False).astype(bool)
    logs["segment"] = gap.cumsum()
    logs["rank"] = np.arange(len(logs))

    # The events the measures use, in each signal's time order.
    names = [n.strip() for n in events["event_name"].cat.categories]
    kind_names = sorted(set(KINDS.values()))
    kind_of = np.array([kind_names.index(KINDS[n]) if n in KINDS else -1
                        for n in names])
    kind = kind_of[events["event_name"].cat.codes.to_numpy()]
    data = list(events["data"].cat.categories)
    first = np.array([d[0] if d else 0 for d in data], dtype=np.int64)
    second = np.array([d[1] if len(d) > 1 else (d[0] if d else 0) for d in data],
                      dtype=np.int64)
    # A split change: its phase and split (version 4: the first two bytes).
    split_phase = np.array([d[1] if len(d) > 2 else (d[0] if d else 0) for d in data],
                           dtype=np.int64)
    split = np.array([d[2] if len(d) > 2 else (d[1] if len(d) > 1 else 0) for d in data],
                     dtype=np.int64)
    d1 = np.array([d[1] if len(d) > 1 else 0 for d in data], dtype=np.int64)
    d2 = np.array([d[2] if len(d) > 2 else 0 for d in data], dtype=np.int64)
    keep = kind >= 0
    codes = events["data"].cat.codes.to_numpy()[keep]
    ev = pd.DataFrame({
        "log": log_of_row[keep], "kind": np.array(kind_names)[kind[keep]],
        "t": events["timestamp"].to_numpy()[keep].astype("int64") // 10**8,
        "first": first[codes], "second": second[codes],
        "split_phase": split_phase[codes], "split": split[codes],
        "d1": d1[codes], "d2": d2[codes]})
    ev = ev.join(logs[["signal_id", "rank", "segment", "whole", "ends", "version"]],
                 on="log", how="inner")
    ev = ev.sort_values("rank", kind="stable")
    on_off = ev["kind"].isin(ON_OFF)
    byte = ev["first"].to_numpy()
    ev["value"] = np.where(on_off, byte >> 1,
                           np.where(ev["kind"] == "split", ev["split"],
                                    np.where(ev["kind"].isin(COORDINATION), ev["second"], byte)))
    ev["on"] = on_off & (byte & 1 == 1)
    bin_tenths = bin_minutes * 600
    ev["bin"] = ev["t"] // bin_tenths * bin_tenths

    def stamp(t):
        return pd.Timestamp(int(t) * 10**8)

    tables = {}
    rows = []

    def put_missing(signal, start, end):
        """A row an hour, or one gap row for more than 72 hours."""
        if end - start > 72 * TENTHS_PER_HOUR:
            rows.append((signal, stamp(start), "gap") + (None,) * 6 + (stamp(end),))
            return
        for h in range(start, end, TENTHS_PER_HOUR):
            rows.append((signal, stamp(h), "missing") + (None,) * 7)

    for signal, group in logs.groupby("signal_id", sort=True):
        last = None
        for log in group.itertuples():
            steps, largest = log.steps, log.largest
            if last is not None:
                put_missing(signal, last.t + TENTHS_PER_HOUR, log.t)
                if last.last_t >= 0 and log.first_t >= 0 and log.first_t < last.last_t:
                    steps, largest = steps + 1, max(largest, last.last_t - log.first_t)
            rows.append((signal, stamp(log.t), "ok" if log.whole else "damaged",
                         log.records, log.path, log.version, log.closing, steps,
                         largest / 10 if steps else None, None))
            last = log
        put_missing(signal, last.t + TENTHS_PER_HOUR, run_last + TENTHS_PER_HOUR)
    tables["logs"] = rows

    # Actuations: every detector seen, every bin of the covered hours.
    detectors = ev[(ev["kind"] == "detector") & ev["on"]]
    counts = detectors.groupby(["signal_id", "bin", "value"]).size()
    counts = counts[counts > 0]
    covered = logs[logs["whole"]]
    bins = pd.DataFrame({
        "signal_id": np.repeat(covered["signal_id"].to_numpy(), 3600 // (bin_minutes * 60)),
        "bin": (covered["t"].to_numpy()[:, None] +
                np.arange(0, TENTHS_PER_HOUR, bin_tenths)[None, :]).ravel()})
    seen = detectors[["signal_id", "value"]].drop_duplicates()
    grid = bins.merge(seen, on="signal_id").set_index(["signal_id", "bin", "value"])
    index = grid.index.union(counts.index)
    counts = counts.reindex(index, fill_value=0).sort_index()
    tables["actuations"] = [(s, stamp(b), d, n) for (s, b, d), n in counts.items()]

    # Terminations, skips and greens, and the pedestrian counts, per phase
    # and bin.
    counted = TERMINATIONS + ("skip", "green")
    terms = ev[ev["kind"].isin(counted)]
    terms = terms.groupby(["signal_id", "bin", "value", "kind"]).size().unstack(
        fill_value=0).reindex(columns=list(counted), fill_value=0)
    terms = terms[terms.sum(axis=1) > 0].sort_index()
    tables["terminations"] = [(s, stamp(b), p) + tuple(n)
                              for (s, b, p), n in zip(terms.index, terms.to_numpy())]

    # Greens, pedestrian delays and preemptions: state by phase, in order.
    intervals, preemptions, delays = [], [], {}
    sequence = ev[~ev["kind"].isin(("detector",) + TERMINATIONS + COORDINATION) |
                  ev["kind"].isin(TERMINATIONS + ("pattern", "split"))]
    phases, calls, preempts, segment = {}, {}, {}, None
    pattern, programmed = {}, {}  # in force: by signal; by signal and phase

    def end_all():
        for key, p in phases.items():
            if p.get("pending"):
                intervals.append(p["pending"])
            phases[key] = {}
        calls.clear()
        for p in preempts.values():
            close_preempt(p)
        preempts.clear()

    def close_preempt(p):
        preemptions.append(p)  # a state not yet ended is not counted

    for s, k, t, v, on, seg, whole, ends, b, sp, d1_, d2_, version in zip(
            sequence["signal_id"], sequence["kind"], sequence["t"], sequence["value"],
            sequence["on"], sequence["segment"], sequence["whole"], sequence["ends"],
            sequence["bin"], sequence["split_phase"], sequence["d1"], sequence["d2"],
            sequence["version"]):
        if k == "pattern":
            pattern[s] = v
            continue
        if k == "split":
            programmed[(s, sp)] = v
            continue
        if seg != segment:
            end_all()
            segment = seg
        p = phases.setdefault((s, v), {})
        if k == "green":
            if p.get("pending"):
                intervals.append(p["pending"])
            p.clear()
            p.update(green=t, green_whole=whole, pattern=pattern.get(s),
                     programmed=programmed.get((s, v)))
        elif k in TERMINATIONS:
            if "green" in p:
                p["termination"] = k
            elif p.get("pending") and t == p["pending"][2] + p["pending"][3]:
                p["pending"][6] = k  # logged in its yellow's tenth, after it
        elif k == "yellow":
            if "green" not in p:
                continue
            green = p.pop("green")
            if not (p.pop("green_whole") and whole):
                continue
            if p.get("pending"):
                intervals.append(p["pending"])
            p["pending"] = [s, v, green, t - green, None, None, p.pop("termination", "none"),
                            p.get("pattern"), p.get("programmed")]
            p.update(yellow=t, ends=ends)
        elif k == "yellow_end":
            if p.get("pending") and "yellow" in p and p["ends"]:
                p["pending"][4] = t - p.pop("yellow")
        elif k == "red":
            if not p.get("pending"):
                continue
            if "yellow" in p and not p["ends"]:
                p["pending"][4] = t - p["yellow"]
            p.pop("yellow", None)
            p.pop("red", None)
            if p["ends"]:
                p["red"] = t
        elif k == "red_end":
            if p.get("pending") and "red" in p:
                p["pending"][5] = t - p.pop("red")
        elif k == "walk":
            d = delays.setdefault((s, b, v), [0, 0, 0])
            call = calls.pop((s, v), None)
            if call is not None and call[1] and whole:
                d[0] += 1
                d[1] += t - call[0]
                d[2] = max(d[2], t - call[0])
        elif k == "ped_call" and on:
            calls.setdefault((s, v), (t, whole))
        elif k == "preempt" and on:
            p = preempts.get((s, v))
            if p is not None and p["off"] is None:
                continue  # on already
            if p is not None:
                close_preempt(p)
            # Version 4 has no max presence or link rows.
            flag = None if version == 4 else 0
            preempts[(s, v)] = dict(s=s, v=v, on=t, off=None, entry=None, track=None,
                                    dwell=None, exit=None, gate=None, max=flag,
                                    link=flag, state=None)
        elif k in ("preempt", "preempt_state", "gate_down", "max_presence",
                   "preempt_link") and (s, v) in preempts:
            p = preempts[(s, v)]
            if k == "preempt":
                if p["off"] is None:
                    p["off"] = t
            elif k == "preempt_state":
                if p["state"] is not None:
                    name, since = p["state"]
                    p[name] = (p[name] or 0) + t - since
                    p["state"] = None
                code = PREEMPT_STATES.get(d2_, 0) if d2_ != 2 or d1_ == 0 else 0
                if code == 105 and p["entry"] is None:
                    p["entry"] = t - p["on"]
                elif code == 111 and p["exit"] is None:
                    p["exit"] = t - p["on"]
                elif code in (106, 107):
                    p["state"] = ("track" if code == 106 else "dwell", t)
            elif k == "gate_down":
                if on and p["gate"] is None:
                    p["gate"] = t - p["on"]
            elif k == "max_presence":
                p["max"] = 1
            elif on:
                p["link"] = 1
    end_all()
    intervals.sort(key=lambda i: (i[0], i[2], i[1]))
    tables["phase_intervals"] = [
        (s, v, stamp(start), green / 10, None if y is None else y / 10,
         None if r is None else r / 10, term,
         None if y is None or r is None else (green + y + r) / 10, pat, split)
        for s, v, start, green, y, r, term, pat, split in intervals]
    preemptions.sort(key=lambda p: (p["s"], p["on"], p["v"]))

    def seconds(t):
        return None if t is None else t / 10
    tables["preemption"] = [
        (p["s"], p["v"], stamp(p["on"]), None if p["off"] is None else stamp(p["off"]),
         None if p["off"] is None else (p["off"] - p["on"]) / 10)
        + tuple(seconds(p[c]) for c in ("entry", "track", "dwell", "exit", "gate"))
        + (p["max"], p["link"])
        for p in preemptions]

    ped = ev[ev["kind"].isin(("walk", "ped_call", "ped_press")) &
             (ev["on"] | (ev["kind"] == "walk"))]
    ped = ped.groupby(["signal_id", "bin", "value", "kind"]).size().unstack(
        fill_value=0).reindex(columns=["walk", "ped_call", "ped_press"], fill_value=0)
    ped = ped[ped.sum(axis=1) > 0].sort_index()
    tables["ped"] = []
    for (s, b, v), (walks, calls, presses) in zip(ped.index, ped.to_numpy()):
        samples, total, longest = delays.get((s, b, v), (0, 0, 0))
        mean = (total + samples // 2) // samples / 10 if samples else None
        tables["ped"].append((s, stamp(b), v, walks, calls, mean, samples,
                              longest / 10 if samples else None, presses))

    coordination = ev[ev["kind"].isin(COORDINATION)].sort_values(
        ["signal_id", "rank"], kind="stable")
    tables["coordination"] = [(s, stamp(t), k, v, p if k == "split" else None)
                              for s, t, k, v, p in zip(
        coordination["signal_id"], coordination["t"], coordination["kind"],
        coordination["value"], coordination["split_phase"])]
    tables["detector_health"] = detector_health(ev, logs)
    return tables


def detector_health(ev, logs, stuck=36000, chatter_pairs=100, chatter_gap=1):
    """detector_health.csv's rows from the events, vectorised."""
    import pandas as pd
    H = TENTHS_PER_HOUR
    det = ev[ev["kind"] == "detector"][["signal_id", "segment", "rank", "t", "value", "on"]]
    seen = det[det["on"]][["signal_id", "value"]].drop_duplicates()
    det = det.merge(seen, on=["signal_id", "value"])  # channels seen only
    det = det.sort_values(["signal_id", "value", "rank"], kind="stable")
    group = (det["signal_id"].astype(str) + "/" + det["value"].astype(str) + "/" +
             det["segment"].astype(str)).to_numpy()
    on = det["on"].to_numpy()
    t = det["t"].to_numpy()
    same = np.zeros(len(det), dtype=bool)
    same[1:] = group[1:] == group[:-1]
    prev_on = np.zeros(len(det), dtype=bool)
    prev_on[1:] = on[:-1]
    opens = on & ~(same & prev_on)     # an on after an off or a group's start
    closes = ~on & same & prev_on      # an off after an on
    # The end of each on-time: its close, else the end of the covered hours
    # up to its segment.
    covered_end = logs[logs["whole"]].groupby(["signal_id", "segment"])["t"].max() + H
    covered_end = covered_end.groupby(level=0).cummax()
    start_idx = np.flatnonzero(opens)
    # Opens and closes alternate within a group: an on-time's close is the
    # first close after its open, where that is of the same group.
    close_idx = np.append(np.flatnonzero(closes), len(det))
    group = np.append(group, "")
    c = close_idx[np.searchsorted(close_idx, start_idx)]
    closed = group[c] == group[start_idx]
    ends = np.where(closed, np.append(t, 0)[c], -1)
    for i in np.flatnonzero(~closed):
        s = start_idx[i]
        sig, seg = det["signal_id"].iat[s], det["segment"].iat[s]
        ce = covered_end.loc[sig] if sig in covered_end.index.get_level_values(0) else None
        ce = ce[ce.index <= seg] if ce is not None else None
        ends[i] = int(ce.iloc[-1]) if ce is not None and len(ce) else -1
    starts = t[start_idx]
    keep = ends > starts
    zero = ends == starts
    rows = []
    span = pd.DataFrame({"signal_id": det["signal_id"].to_numpy()[start_idx],
                         "value": det["value"].to_numpy()[start_idx],
                         "s": starts, "e": ends})[keep | zero]
    first_h = span["s"] // H * H
    last_h = np.where(span["e"] > span["s"], (span["e"] - 1) // H * H, first_h)
    n = ((last_h - first_h) // H + 1).astype(int)
    spread = span.loc[span.index.repeat(n)].copy()
    spread["hour"] = np.repeat(first_h.to_numpy(), n) + \
        (np.arange(n.sum()) - np.repeat(np.cumsum(n.to_numpy()) - n.to_numpy(), n)) * H
    spread["on_t"] = np.minimum(spread["e"], spread["hour"] + H) - \
        np.maximum(spread["s"], spread["hour"])
    spread["length"] = spread["e"] - spread["s"]
    spread["stuck"] = spread["length"] >= stuck
    by_hour = spread.groupby(["signal_id", "value", "hour"]).agg(
        on_t=("on_t", "sum"), longest=("length", "max"), stuck=("stuck", "any"))
    ons = det[det["on"]].copy()
    ons["hour"] = ons["t"] // H * H
    actuations = ons.groupby(["signal_id", "value", "hour"]).size().rename("actuations")
    gap = np.diff(ons["t"].to_numpy(), prepend=-10**9)
    og = (ons["signal_id"].astype(str) + "/" + ons["value"].astype(str) + "/" +
          ons["segment"].astype(str)).to_numpy()
    pair = np.zeros(len(ons), dtype=bool)
    pair[1:] = (og[1:] == og[:-1]) & (gap[1:] <= chatter_gap)
    ons["pair"] = pair
    chatter = ons.groupby(["signal_id", "value", "hour"])["pair"].sum().rename("pairs")
    alarm = ev[ev["kind"].isin(("det_alarm", "det_ralarm"))].copy()
    # Faults by the row's own conversion: versions 5 and 6 convert the
    # "R" row, the current one the other; a bit of D2 from 0x01 to 0x10.
    own = np.where(alarm["version"].isin((5, 6)), alarm["kind"] == "det_ralarm",
                   (alarm["version"] > 6) & (alarm["kind"] == "det_alarm"))
    alarm = alarm[own & ((alarm["d2"] & 0x1F) != 0)]
    alarm["hour"] = alarm["t"] // H * H
    faults = alarm.groupby(["signal_id", "value", "hour"]).size().rename("faults")
    covered = logs[logs["whole"]][["signal_id", "t"]].rename(columns={"t": "hour"})
    grid = covered.merge(seen, on="signal_id").set_index(["signal_id", "value", "hour"])
    grid = grid.join(actuations).join(by_hour).join(chatter).join(faults)
    grid = grid.reorder_levels(["signal_id", "hour", "value"]).sort_index()
    for (s, h, v), a, on_t, longest, st, pairs, f in zip(
            grid.index, grid["actuations"], grid["on_t"], grid["longest"], grid["stuck"],
            grid["pairs"], grid["faults"]):
        a = 0 if a != a else int(a)
        on_t = 0 if on_t != on_t else int(on_t)
        longest = 0 if longest != longest else int(longest)
        st = st is True or st == 1
        flags = [name for name, set_ in (
            ("stuck_on", st), ("chatter", pairs == pairs and pairs > chatter_pairs),
            ("silent", a == 0 and not st), ("fault", f == f and f > 0)) if set_]
        occupancy = (on_t * 20000 + H) // (2 * H) / 10000
        rows.append((s, pd.Timestamp(int(h) * 10**8), v, a, on_t / 10, occupancy,
                     longest / 10, ";".join(flags) or None))
    return rows


def same_measures(ours, theirs):
    """The tables that differ between quillon.measures and pandas_measures."""
    import pandas as pd
    differ = []
    for name, rows in theirs.items():
        mine = [tuple(None if (isinstance(v, float) and v != v) or v is pd.NaT
                      or v is pd.NA else v for v in row)
                for row in ours[name].astype(object).itertuples(index=False)]
        theirs_rows = [tuple(None if v is pd.NaT else v for v in row) for row in rows]

        def norm(v):
            if isinstance(v, float):
                return round(v, 4)
            if isinstance(v, (np.integer,)):
                return int(v)
            return v
        a = [tuple(map(norm, r)) for r in mine]
        b = [tuple(map(norm, r)) for r in theirs_rows]
        if a != b:
            # The first row that differs, to say where.
            at = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
            differ.append("%s (row %d: %r against %r)" % (
                name, at + 1, a[at] if at < len(a) else None, b[at] if at < len(b) else None))
    return differ


def median_time(fn, rounds):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main(argv):
    quick = "--quick" in argv
    rounds = 3 if quick else 7
    if "--rounds" in argv:
        rounds = int(argv[argv.index("--rounds") + 1])
    build = os.path.abspath(argv[-1])
    sys.path.insert(0, os.path.join(build, "python"))
    import pandas as pd
    import quillon

    tool = os.path.join(build, "quillon")
    genlog = os.path.join(build, "tools", "quillon-genlog")
    base = "/dev/shm" if os.path.isdir("/dev/shm") else None
    root = tempfile.mkdtemp(prefix="quillon-pybench-", dir=base)
    try:
        day = os.path.join(root, "day")
        os.mkdir(day)
        logs, records = (2, 20000) if quick else (24, 200000)
        types = busy_day_types()
        for hour in range(logs):
            subprocess.run([genlog, "--version", "7", "--records", str(records),
                            "--types", types, "--seed", str(100 + hour),
                            os.path.join(day, "2022_06_08_%02d.dat" % hour)],
                           check=True)
        one = os.path.join(day, "2022_06_08_00.dat")
        table = os.path.join(root, "table.csv")
        alone = os.path.join(root, "one")
        os.mkdir(alone)
        shutil.copy(one, alone)
        subprocess.run([tool, "-f", "events", "-o", table, alone, "e"], check=True)

        events = len(quillon.read_log(one))
        ours = median_time(lambda: quillon.read_log(one), rounds)
        theirs = median_time(lambda: pd.read_csv(table), rounds)
        print("read_log, a %d-record log, mode e (%d events), %d rounds:"
              % (records, events, rounds))
        print("  %.2f ms, %.1f M events/s; pandas.read_csv of its events table "
              "%.2f ms (%.1f times as long)"
              % (ours * 1e3, events / ours / 1e6, theirs * 1e3, theirs / ours))
        total = len(quillon.read_archive(day, jobs=1))
        one_job = median_time(lambda: quillon.read_archive(day, jobs=1), rounds)
        two_jobs = median_time(lambda: quillon.read_archive(day, jobs=2), rounds)
        print("read_archive, %d logs (%d events): jobs=1 %.3f s, jobs=2 %.3f s "
              "(%.2f times as fast)" % (logs, total, one_job, two_jobs,
                                        one_job / two_jobs))

        # The measures against pandas: a realistic day beside the busy one,
        # and for the check, a version 4 day with a missing hour and a
        # damaged log.
        realistic, checked = os.path.join(root, "realistic"), os.path.join(root, "checked")
        subprocess.run([genlog, "--day", "2022_06_08", "--detectors", "32", realistic],
                       check=True)
        subprocess.run([genlog, "--day", "2022_06_08", "--version", "4", "--seed", "5",
                        checked], check=True)
        os.remove(os.path.join(checked, "2022_06_08_05.dat"))
        cut = os.path.join(checked, "2022_06_08_09.dat")
        os.truncate(cut, os.path.getsize(cut) // 2 + 1)
        for corpus in (checked, realistic, day):
            differ = same_measures(quillon.measures(corpus),
                                   pandas_measures(quillon.read_archive(corpus, "p")))
            assert not differ, "measures differ from pandas in %s: %s" % (corpus, differ)
        for name, corpus in (("realistic", realistic), ("busy", day)):
            ours = median_time(lambda: quillon.measures(corpus), rounds)
            theirs = median_time(
                lambda: pandas_measures(quillon.read_archive(corpus, "p")), rounds)
            print("measures, %s day: quillon.measures %.3f s, the same tables in pandas "
                  "from read_archive %.3f s (%.1f times as long; tables equal)"
                  % (name, ours, theirs, theirs / ours))
    finally:
        shutil.rmtree(root)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
