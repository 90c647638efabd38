"""An archive of controller logs as a Dask dataframe, one partition per
folder of logs:

    events, logs = quillon.dask.read_archive("/data/archive", "e")

events is the Dask dataframe of read_archive's columns (signal_id as str);
logs is a pandas dataframe of every log the archive holds, damaged and
undated ones included, as read_archive's attrs["logs"] (its attrs hold the
messages and the exit status a run of the command gives). Partitions come
in the order of the events table; their divisions are unknown, as the rows
of a partition are in the order of its logs' files, not of an index.
"""

import os

import dask
import dask.dataframe as dd

import quillon


def _folders(root, recursive):
    """The folders of `root` (bytes, as every name here: a name need not be
    UTF-8) that hold logs, in the order of the command's walk: each before
    its sub-folders, those in name order; output folders and links to
    folders passed over."""
    found = []
    for folder, subfolders, names in os.walk(root):
        subfolders[:] = sorted(s for s in subfolders if not s.startswith(b"csv_files_"))
        if any(n.lower().endswith((b".dat", b".dat.gz")) for n in names):
            found.append(folder)
        if not recursive:
            break
    return found


def _read_folder(root, folder, mode, signal_id, max_log_size, columns):
    """One folder's logs, with the signal ids they have in a read of the
    whole archive."""
    relative = os.path.relpath(folder, root)
    frame = quillon.read_archive(
        folder, mode, recursive=False, jobs=1, signal_id=signal_id,
        max_log_size=max_log_size,
        signal_dir=None if relative == b"." else relative.replace(os.sep.encode(), b"/"),
        columns=columns)
    if "signal_id" in frame:
        frame["signal_id"] = frame["signal_id"].astype(str)
    frame.attrs = {}
    return frame


def read_archive(dir, mode="e", recursive=True, signal_id="auto",
                 max_log_size=quillon.MAX_LOG_SIZE, columns=None):
    """The logs of the folder `dir` (and below it, when recursive) as a pair:
    a Dask dataframe of their rows, one partition per folder, and a pandas
    dataframe of the logs, damage included. The logs are read once here for
    their facts, and again by the partitions when they are computed."""
    root = os.fsencode(os.fspath(dir))
    logs = quillon.read_logs(root, mode, recursive=recursive,
                             signal_id=signal_id, max_log_size=max_log_size)
    meta = quillon.read_bytes(b"", "2000_01_01_00.dat", mode,
                              columns=columns).iloc[:0]
    if "signal_id" in meta:
        meta["signal_id"] = meta["signal_id"].astype(str)
    meta.attrs = {}
    parts = [dask.delayed(_read_folder)(root, folder, mode, signal_id,
                                        max_log_size, columns)
             for folder in _folders(root, recursive)]
    events = dd.from_delayed(parts, meta=meta) if parts else dd.from_pandas(
        meta, npartitions=1)
    return events, logs
