#!/usr/bin/env python3
"""An archive of controller logs converted on a Dask cluster: one task per
folder of logs, the dataframes put together as one Dask dataframe, and the
count of events of each signal and code.

    python3 examples/dask_archive.py ARCHIVE [SCHEDULER]

Without SCHEDULER a cluster of two worker processes is started on this
machine; with one (tcp://host:8786, a `dask scheduler` whose workers can
import quillon and read ARCHIVE at the same path) the work goes there.
"""

import os
import sys

import dask
import dask.dataframe as dd
from dask.distributed import Client, LocalCluster

import quillon


def folders(archive):
    """The folders of the archive that hold logs, the archive's own first."""
    found = []
    for folder, subfolders, names in os.walk(archive):
        subfolders.sort()
        subfolders[:] = [s for s in subfolders if not s.startswith("csv_files_")]
        if any(n.lower().endswith((".dat", ".dat.gz")) for n in names):
            found.append(folder)
    return found


def read_folder(archive, folder):
    """One folder's logs, with the signal ids they have in a read of the
    whole archive (a name's leading fields, or the folder's path below the
    archive)."""
    relative = os.path.relpath(folder, archive)
    frame = quillon.read_archive(
        folder, "e", recursive=False, jobs=1,
        signal_dir=None if relative == "." else relative.replace(os.sep, "/"))
    frame["signal_id"] = frame["signal_id"].astype(str)
    frame.attrs = {}
    return frame


def count_events(archive, client):
    """The number of events of each signal id and event code."""
    meta = read_folder(archive, archive).iloc[:0]
    parts = [dask.delayed(read_folder)(archive, f) for f in folders(archive)]
    events = dd.from_delayed(parts, meta=meta)
    counts = events.groupby(["signal_id", "event_code"]).size()
    return client.compute(counts).result().sort_index()


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
        print(count_events(archive, client).to_string())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
