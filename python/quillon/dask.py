"""An archive of controller logs as Dask dataframes, one partition per
folder of logs:

    events, logs = quillon.dask.read_archive("/data/archive", "e")
    tables = quillon.dask.measures("/data/archive", "e")

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

# Tenths of a second in a day, the unit of _quillon.log_hour.
_TENTHS_A_DAY = 864000


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


def _signal_dir(root, folder):
    """The signal id the logs of `folder` start from in a run of the whole
    archive `root`, None for root itself (its logs take root's name)."""
    relative = os.path.relpath(folder, root)
    return None if relative == b"." else relative.replace(os.sep.encode(), b"/")


def _measure_folder(root, folder, mode, signal_id, max_log_size, bin_minutes,
                    thresholds, detectors, since, until, last_hour, tz):
    """One folder's measure tables, as a run of the whole archive measures
    its logs; signal ids as str."""
    tables = quillon._measures(
        folder, mode, False, 1, signal_id, max_log_size, bin_minutes,
        thresholds, detectors, since, until, _signal_dir(root, folder), last_hour,
        tz=tz)
    for frame in tables.values():
        frame["signal_id"] = frame["signal_id"].astype(str)
        frame.attrs = {}
    return tables


def measures(dir, mode="e", recursive=True, signal_id="auto",
             max_log_size=quillon.MAX_LOG_SIZE, bin_minutes=15,
             thresholds=None, detectors=None, since=None, until=None, tz=None):
    """The measure tables of the logs of the folder `dir` (and below it,
    when recursive), as quillon.measures makes them, each a Dask dataframe
    of one partition per folder of logs, signal_id as str: a dict by table
    name. Computed, each holds the rows quillon.measures gives, in the same
    order where each folder holds one signal's logs (a folder's signals
    come in the order of their ids); a signal whose logs lie in several
    folders is measured in each apart. Every folder's hours are measured up
    to the archive's last hour, told from the logs' names. since and until
    measure only the logs of those days, as quillon.measures. tz, the zone
    of the controllers' clocks, measures in real time with time-zone-aware
    time columns, as quillon.measures. Compute the tables together
    (dask.compute(*tables.values())) to read each folder once."""
    root = os.fsencode(os.fspath(dir))
    folders = _folders(root, recursive)
    since, until = quillon._day(since, "since"), quillon._day(until, "until")
    tz = quillon._zone(tz)
    # The last hour of the logs measured: those of since's and until's days.
    first, last = (None if day is None else quillon._quillon.day_number(day)
                   for day in (since, until))
    last_hour, last_names = None, []
    for folder in folders:
        for name in os.listdir(folder):
            hour = quillon._quillon.log_hour(name)
            if hour is None or (first is not None and hour // _TENTHS_A_DAY < first) or \
                    (last is not None and hour // _TENTHS_A_DAY > last):
                continue
            if last_hour is None or hour > last_hour:
                last_hour, last_names = hour, []
            if hour == last_hour:
                last_names.append((folder, name))
    if tz is not None and last_names:
        # In real time, the last is the last wall hour's start; the later
        # pass where a folder holds two logs of an hour shown twice.
        folders_of = [folder for folder, _ in last_names]
        last_hour = max(quillon._quillon.log_hour(
            name, tz, second_pass=folders_of.count(folder) > 1)
            for folder, name in last_names)
    # In the order of their signal ids, as the whole run writes them: a
    # folder's id is the path below the archive, the archive's own logs
    # take its name.
    top = os.path.basename(os.path.abspath(root))
    folders.sort(key=lambda f: _signal_dir(root, f) or top)
    parts = [dask.delayed(_measure_folder)(root, folder, mode, signal_id,
                                           max_log_size, bin_minutes,
                                           thresholds, detectors, since, until,
                                           last_hour, tz)
             for folder in folders]
    tables = {}
    for number, name in enumerate(quillon._MEASURES):
        if name in quillon._MAPPED and detectors is None:
            continue
        columns = ",".join(quillon._MEASURES[name]).encode() + b"\n"
        meta = quillon._measure_frame(number, columns, tz)
        meta["signal_id"] = meta["signal_id"].astype(str)
        tables[name] = dd.from_delayed(
            [dask.delayed(lambda part, name=name: part[name])(p) for p in parts],
            meta=meta) if parts else dd.from_pandas(meta, npartitions=1)
    return tables
