#!/usr/bin/env python3
"""How fast the Python module reads logs, against pandas reading the events
table of the same logs. Prints figures; asserts nothing.

    python3 bench/python_bench.py [--quick] [--rounds N] BUILD

BUILD is a build folder holding quillon, tools/quillon-genlog and the module
(python/quillon). The corpus (a busy day of 24 logs, or 2 with --quick) is
made in /dev/shm when there is one.
"""

import os
import shutil
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
    finally:
        shutil.rmtree(root)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
