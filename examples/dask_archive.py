#!/usr/bin/env python3
"""An archive of controller logs converted on a Dask cluster: one partition
per folder of logs, the count of events of each signal, log version and
code, and the logs that were reported.

    /usr/bin/python3 examples/dask_archive.py ARCHIVE [SCHEDULER]

Without SCHEDULER a cluster of two worker processes is started on this
machine; with one (tcp://host:8786, a `dask scheduler` whose workers can
import quillon and read ARCHIVE at the same path) the work goes there.
Version 4 logs number their standard codes apart from the others: the
counts are by version. Exits 1 when any log was reported (damaged, cut
short, or a name without a date), after listing them.
"""

import os
import sys

from dask.distributed import Client, LocalCluster

import quillon.dask


def count_events(archive, client):
    """The number of events of each signal id, version and event code, and
    the logs of the archive."""
    events, logs = quillon.dask.read_archive(archive, "e")
    counts = events.groupby(["signal_id", "version", "event_code"]).size()
    return client.compute(counts).result().sort_index(), logs


def main(argv):
    if len(argv) not in (2, 3):
        print(__doc__, file=sys.stderr)
        return 2
    archive = os.path.abspath(argv[1])
    if len(argv) == 3:
        client = Client(argv[2])
    else:
        client = Client(LocalCluster(n_workers=2, threads_per_worker=1,
                                     processes=True))
    with client:
        counts, logs = count_events(archive, client)
    print(counts.to_string())
    damaged = logs[logs["closing"] != "End of Controller Log"]
    if len(damaged):
        print("\n%d logs reported:" % len(damaged))
        print(damaged[["path", "closing"]].to_string(index=False))
    return 1 if len(damaged) or logs.attrs["status"] != 0 else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
