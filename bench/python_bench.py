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
         "Coord Ring Yield": "yield"}
ON_OFF = ("ped_call", "detector", "preempt", "ped_press")
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
    keep = kind >= 0
    codes = events["data"].cat.codes.to_numpy()[keep]
    ev = pd.DataFrame({
        "log": log_of_row[keep], "kind": np.array(kind_names)[kind[keep]],
        "t": events["timestamp"].to_numpy()[keep].astype("int64") // 10**8,
        "first": first[codes], "second": second[codes],
        "split_phase": split_phase[codes], "split": split[codes]})
    ev = ev.join(logs[["signal_id", "rank", "segment", "whole", "ends"]], on="log",
                 how="inner")
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
        for (s, v), on in preempts.items():
            preemptions.append((s, v, on, None))
        preempts.clear()

    for s, k, t, v, on, seg, whole, ends, b, sp in zip(
            sequence["signal_id"], sequence["kind"], sequence["t"], sequence["value"],
            sequence["on"], sequence["segment"], sequence["whole"], sequence["ends"],
            sequence["bin"], sequence["split_phase"]):
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
        elif k == "preempt":
            if on:
                preempts.setdefault((s, v), t)
            elif (s, v) in preempts:
                preemptions.append((s, v, preempts.pop((s, v)), t))
    end_all()
    intervals.sort(key=lambda i: (i[0], i[2], i[1]))
    tables["phase_intervals"] = [
        (s, v, stamp(start), green / 10, None if y is None else y / 10,
         None if r is None else r / 10, term,
         None if y is None or r is None else (green + y + r) / 10, pat, split)
        for s, v, start, green, y, r, term, pat, split in intervals]
    preemptions.sort(key=lambda p: (p[0], p[2], p[1]))
    tables["preemption"] = [
        (s, v, stamp(on), None if off is None else stamp(off),
         None if off is None else (off - on) / 10)
        for s, v, on, off in preemptions]

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
    return tables


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
                return round(v, 1)
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
