"""Traffic signal controller event logs straight into pandas.

The same conversion as the quillon command: a log, a folder or a whole
archive becomes a dataframe of the events table's columns, in its order:

    mode "e" (standard codes): signal_id, timestamp, event_code, event_param
    mode "p" (the controller's): signal_id, timestamp, event_type,
                                 event_name, data

- signal_id: categorical.
- timestamp: datetime64[ns], the controller's local time (no zone): the
  hour of the log's name plus the record's tenths of a second. It covers
  the years 1678 to 2261; a log dated outside them is reported as one
  whose name holds no valid date and hour.
- event_code, event_type: uint8.
- event_param: Int16, missing (<NA>) where the code has none.
- event_name: categorical, the name without its padding.
- data: categorical of bytes, the record's data bytes (b"" when none);
  list(row.data) gives them as numbers.

Damage is data, not an exception: every dataframe carries in
df.attrs["logs"] a dataframe of the logs read (path, signal_id, start,
version, closing, records; closing is "End of Controller Log" for a whole
log, else what was wrong), in df.attrs["messages"] the messages a run of
the command would print, and in df.attrs["status"] its exit status. Bad
arguments raise ValueError, a log or folder that cannot be opened OSError.

A log is read up to max_log_size bytes (plain, or what an archive holds):
32 MiB by default, where real hourly logs take a few; past it the rows
before the limit are kept and the log's closing says so.
"""

import pandas as pd

from . import _quillon

__all__ = ["read_log", "read_bytes", "read_archive", "convert"]

# A log is read up to this many bytes unless told otherwise.
MAX_LOG_SIZE = "32M"


def _mode(mode):
    if mode not in ("e", "p"):
        raise ValueError('mode must be "e" or "p", not %r' % (mode,))
    return mode


def _frame(columns, mode):
    signal = pd.Categorical.from_codes(columns["signal_code"],
                                       categories=columns["signals"])
    timestamp = columns["timestamp"].view("datetime64[ns]")
    if mode == "e":
        param = pd.arrays.IntegerArray(columns["param"],
                                       columns["param_missing"].view(bool))
        frame = pd.DataFrame({"signal_id": signal, "timestamp": timestamp,
                              "event_code": columns["code"],
                              "event_param": param}, copy=False)
    else:
        name = pd.Categorical.from_codes(columns["name_code"],
                                         categories=columns["names"])
        data = pd.Categorical.from_codes(
            columns["data_code"],
            categories=pd.Index(columns["datas"], dtype=object))
        frame = pd.DataFrame({"signal_id": signal, "timestamp": timestamp,
                              "event_type": columns["code"],
                              "event_name": name, "data": data}, copy=False)
    logs = pd.DataFrame(columns["logs"])
    logs["start"] = pd.to_datetime(logs["start"].astype("int64"), unit="ns")
    frame.attrs["logs"] = logs
    frame.attrs["messages"] = list(columns["messages"])
    frame.attrs["status"] = columns["status"]
    return frame


def read_log(path, mode="e", signal_id=None, max_log_size=MAX_LOG_SIZE):
    """One log (.dat or .dat.gz) as a dataframe.

    signal_id defaults to the rule of --signal-id auto: the two fields
    before the date of a name longer than 17 characters, else the name of
    the log's folder.
    """
    columns = _quillon.read_log(str(path), _mode(mode), signal_id,
                                _quillon.size_of(str(max_log_size)))
    return _frame(columns, mode)


def read_bytes(data, name, mode="e", signal_id=None,
               max_log_size=MAX_LOG_SIZE):
    """A log held in memory (bytes) as a dataframe; `name` gives its date,
    and a name ending in .gz says the bytes are gzip-compressed."""
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise ValueError("data must be bytes")
    columns = _quillon.read_bytes(bytes(data), str(name), _mode(mode),
                                  signal_id,
                                  _quillon.size_of(str(max_log_size)))
    return _frame(columns, mode)


def read_archive(dir, mode="e", recursive=True, jobs=0, signal_id="auto",
                 max_log_size=MAX_LOG_SIZE, signal_dir=None):
    """Every log of a folder (and, when recursive, of every folder below
    it) as one dataframe, in the order of the events table, read by `jobs`
    threads (0: one per core).

    signal_id: "auto", "name" or "dir", as --signal-id. By the "dir" rule
    the logs of `dir` itself get the name of `dir` and those below it their
    folder's path below it; with signal_dir, the logs of `dir` get
    signal_dir and those below signal_dir/path: a folder read on its own
    gets the ids it has in a read of the whole archive.
    """
    columns = _quillon.read_archive(str(dir), _mode(mode), bool(recursive),
                                    int(jobs), str(signal_id),
                                    _quillon.size_of(str(max_log_size)),
                                    signal_dir)
    return _frame(columns, mode)


def convert(dir, mode, **options):
    """Runs the quillon command on `dir` in `mode` and returns its exit
    status and its messages, a list of lines; nothing is printed.

    Options are the command's long options, "-" as "_": keep, output,
    recursive, jobs, test, quiet, format, signal_id, max_log_size, update;
    True for an option without a value.
    """
    args = []
    for name, value in options.items():
        flag = "--" + name.replace("_", "-")
        if value is True:
            args.append(flag)
        elif value is False or value is None:
            continue
        else:
            args.append(flag + "=" + str(value))
    args += ["--", str(dir), str(mode)]
    return _quillon.convert(args)
