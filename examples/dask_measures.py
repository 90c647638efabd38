#!/usr/bin/env python3
"""The signal performance measures of an archive computed on a Dask
cluster, one partition per folder of logs, each table written as a CSV
file into OUT.

    /usr/bin/python3 examples/dask_measures.py ARCHIVE OUT [SCHEDULER] [MAP]

Without SCHEDULER (or with "-") a cluster of two worker processes is
started on this machine; with one (tcp://host:8786, a `dask scheduler`
whose workers can import quillon and read ARCHIVE, and MAP, at the same
paths) the work goes there. MAP, a detector map, adds its tables. The
tables are those of `quillon -r -f measures -o OUT ARCHIVE e`, with the
columns quillon.measures reads them into: times as pandas writes them.
"""

import os
import sys

import dask
from dask.distributed import Client, LocalCluster

import quillon.dask


def measure(archive, client, detectors=None):
    """The measure tables of the archive, computed together on the client's
    cluster (each folder read once): a dict of pandas dataframes."""
    tables = quillon.dask.measures(archive, "e", detectors=detectors)
    names = list(tables)
    futures = client.compute([tables[name] for name in names])
    return {name: future.result() for name, future in zip(names, futures)}


def main(argv):
    if len(argv) not in (3, 4, 5):
        print(__doc__, file=sys.stderr)
        return 2
    archive, out = os.path.abspath(argv[1]), argv[2]
    scheduler = argv[3] if len(argv) >= 4 and argv[3] != "-" else None
    detectors = os.path.abspath(argv[4]) if len(argv) == 5 else None
    if scheduler:
        client = Client(scheduler)
    else:
        client = Client(LocalCluster(n_workers=2, threads_per_worker=1,
                                     processes=True, dashboard_address=None))
    with client:
        tables = measure(archive, client, detectors)
    os.makedirs(out, exist_ok=True)
    for name, frame in tables.items():
        frame.to_csv(os.path.join(out, name + ".csv"), index=False)
    logs = tables["logs"]
    print("%d signals, %d logs: %s" % (logs["signal_id"].nunique(),
                                       int((logs["state"] != "missing").sum()),
                                       ", ".join(sorted(tables))))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
