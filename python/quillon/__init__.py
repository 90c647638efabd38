"""Traffic signal controller event logs straight into pandas.

The same conversion as the quillon command: a log, a folder or a whole
archive becomes a dataframe of the events table's columns, in its order:

    mode "e" (standard codes): signal_id, timestamp, event_code,
                               event_param, version
    mode "p" (the controller's): signal_id, timestamp, event_type,
                                 event_name, data, version

columns= chooses and orders them, "log" (the file read, below the folder
read) among them, as pandas' usecols does.

- signal_id: categorical; names that are no UTF-8 are escaped ("\\xff").
- timestamp: datetime64[ns], the controller's local time (no zone): the
  hour of the log's name plus the record's tenths of a second. With tz=
  (the zone of the controllers' clocks, such as "America/Chicago", as the
  command's --tz) it is datetime64[ns, tz], each time the instant it was:
  in the hour shown twice in the fall, the records after the clock stepped
  back take the later offset; times the zone skipped take the offset
  before the change. It covers
  the years 1678 to 2261; a log dated outside them is reported as one
  whose name holds no valid date and hour.
- event_code: int16; event_type: uint8.
- event_param: Int16, missing (<NA>) where the code has none.
- event_name: categorical, the name without its padding.
- data: categorical of bytes, the record's data bytes (b"" when none);
  list(row.data) gives them as numbers.
- version: int32, the header version of the row's log. Version 4 logs
  number their standard codes apart from the others: tell them by it.
- log: categorical, the path of the row's log.

Damage is data, not an exception: every dataframe carries in
df.attrs["logs"] a dataframe of the logs read, damaged and undated ones
included (path, signal_id, start, version, closing, records; start is NaT
for a log whose name holds no date; closing is "End of Controller Log" for
a whole log, else what was wrong), in df.attrs["messages"] the messages a
run of the command would print, and in df.attrs["status"] its exit status.
Paths are str, bytes or os.PathLike. Arguments of the wrong type raise
TypeError, wrong values ValueError, a log or folder that cannot be opened
OSError.

A log is read up to max_log_size bytes (plain, or what an archive holds):
32 MiB by default, where real hourly logs take a few; past it the rows
before the limit are kept and the log's closing says so.
"""

import io
import os
import warnings

try:
    import numpy as np
    import pandas as pd
    from pandas.api.types import union_categoricals
except ImportError as missing:
    raise ImportError(
        "quillon needs pandas and numpy, as Debian's Python has them: run it "
        "with /usr/bin/python3 (apt-get install python3-pandas python3-numpy), "
        "not another python3 that may come first on the PATH") from missing

from . import _quillon

__all__ = ["read_log", "read_bytes", "read_archive", "read_logs", "measures",
           "convert"]

# A log is read up to this many bytes unless told otherwise.
MAX_LOG_SIZE = "32M"


def _mode(mode):
    if mode not in ("e", "p"):
        raise ValueError('mode must be "e" or "p", not %r' % (mode,))
    return mode


def _path(path, what="path"):
    """A path argument as the bytes the file system takes (os.fsencode)."""
    path = os.fsencode(os.fspath(path))  # TypeError for what is no path
    if b"\0" in path:
        raise ValueError("%s holds a NUL character: %r" % (what, path))
    return path


def _text(value, what, choices=None, optional=False):
    """A text argument, checked."""
    if value is None and optional:
        return None
    if not isinstance(value, str):
        raise TypeError("%s must be a str%s, not %s" % (
            what, " or None" if optional else "", type(value).__name__))
    if "\0" in value:
        raise ValueError("%s holds a NUL character" % what)
    if choices is not None and value not in choices:
        raise ValueError("%s must be one of %s, not %r" % (
            what, ", ".join('"%s"' % c for c in choices), value))
    return value


def _flag(value, what):
    if not isinstance(value, bool):
        raise TypeError("%s must be True or False, not %r" % (what, value))
    return value


def _count(value, what):
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int, not %s" % (what, type(value).__name__))
    if value < 0:
        raise ValueError("%s must be 0 or more, not %d" % (what, value))
    return value


def _size(value):
    if isinstance(value, bool) or not isinstance(value, (int, str)):
        raise TypeError("max_log_size must be an int or a str such as \"32M\", "
                        "not %s" % type(value).__name__)
    return _quillon.size_of(str(value))


# The columns of each mode's frame, in their order; "log" on request.
_COLUMNS = {
    "e": ("signal_id", "timestamp", "event_code", "event_param", "version", "log"),
    "p": ("signal_id", "timestamp", "event_type", "event_name", "data", "version",
          "log"),
}


def _usecols(columns, mode):
    """The columns asked for, checked against the mode's: None for all."""
    if columns is None:
        return None
    if isinstance(columns, str):
        columns = columns.split(",")
    columns = list(columns)
    for name in columns:
        if name not in _COLUMNS[mode]:
            raise ValueError("no column %r in mode %s; its columns: %s" % (
                name, mode, ", ".join(_COLUMNS[mode])))
    return columns


def _zone(tz):
    """tz= as the compiled part takes it: None or a zone's name."""
    if tz is None:
        return None
    key = getattr(tz, "key", None)  # a zoneinfo.ZoneInfo
    if isinstance(tz, str) or isinstance(key, str):
        return tz if isinstance(tz, str) else key
    raise TypeError("tz must be a zone's name such as \"America/Chicago\", not %s"
                    % type(tz).__name__)


def _frame(columns, mode, usecols=None, tz=None):
    signal = pd.Categorical.from_codes(columns["signal_code"],
                                       categories=columns["signals"])
    timestamp = columns["timestamp"].view("datetime64[ns]")
    if tz is not None:
        # Instants, shown in the zone.
        timestamp = pd.DatetimeIndex(timestamp).tz_localize("UTC").tz_convert(tz).array
    if mode == "e":
        param = pd.arrays.IntegerArray(columns["param"],
                                       columns["param_missing"].view(bool))
        frame = pd.DataFrame({"signal_id": signal, "timestamp": timestamp,
                              "event_code": columns["code"].astype("int16"),
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
    frame["version"] = columns["version"]
    logs = pd.DataFrame(columns["logs"])
    # NaT for a log whose name holds no date.
    logs["start"] = pd.to_datetime(logs["start"].astype("int64"), unit="ns")
    if tz is not None:
        logs["start"] = logs["start"].dt.tz_localize("UTC").dt.tz_convert(tz)
    if usecols is not None:
        if "log" in usecols:
            frame["log"] = pd.Categorical.from_codes(
                columns["log_code"], categories=pd.Index(logs["path"], dtype=object))
        frame = frame[list(usecols)]
    frame.attrs["logs"] = logs
    frame.attrs["messages"] = list(columns["messages"])
    frame.attrs["status"] = columns["status"]
    _warn_mixed(frame, mode)
    return frame


def _warn_mixed(frame, mode):
    """Warns where the logs of a frame in mode e mix version 4 with others,
    whose standard codes are numbered apart, as the command notes it."""
    versions = set(frame.attrs["logs"]["version"])
    if mode == "e" and 4 in versions and versions - {4}:
        warnings.warn("these logs mix version 4 with other versions, whose standard "
                      "codes are numbered apart: tell them by the version column",
                      UserWarning, stacklevel=3)


def read_log(path, mode="e", signal_id=None, max_log_size=MAX_LOG_SIZE,
             columns=None, name=None, tz=None):
    """One log (.dat or .dat.gz) as a dataframe: a path, a file-like object
    whose read() gives its bytes (its name from name=, else the object's
    name), or a list of either, read in the order given into one frame.

    signal_id defaults to the rule of --signal-id auto: the two fields
    before the date of a name longer than 17 characters, else the name of
    the log's folder (none for a file-like object).
    """
    if isinstance(path, (list, tuple)):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", UserWarning)  # warned once, joined
            frames = [read_log(p, mode, signal_id, max_log_size, columns, name, tz)
                      for p in path]
        frame = _joined(frames)
        _warn_mixed(frame, mode)
        return frame
    if hasattr(path, "read"):
        # In pieces, and no further than the limit: what lies past it is
        # cut, as the command cuts a log (a stream may never end).
        limit = _size(max_log_size)
        pieces, size = [], 0
        while not limit or size <= limit:
            piece = path.read(1 << 20 if not limit else min(1 << 20, limit + 1 - size))
            if not isinstance(piece, (bytes, bytearray, memoryview)):
                raise TypeError("the file-like object must be opened in binary "
                                "mode: read() gave %s" % type(piece).__name__)
            if not piece:
                break
            pieces.append(bytes(piece))
            size += len(piece)
        data = b"".join(pieces)
        name = name if name is not None else getattr(path, "name", None)
        if name is None:
            raise ValueError("a file-like object needs name=, which gives the "
                             "log's date")
        return read_bytes(data, os.path.basename(os.fsdecode(_path(name, "name"))),
                          mode, signal_id, max_log_size, columns, tz)
    usecols = _usecols(columns, _mode(mode))
    columns = _quillon.read_log(_path(path), mode,
                                _text(signal_id, "signal_id", optional=True),
                                _size(max_log_size), _zone(tz))
    return _frame(columns, mode, usecols, _zone(tz))


def _joined(frames):
    """Frames of logs read one by one as one frame, their categories and
    attrs joined."""
    if not frames:
        raise ValueError("no log to read")
    for column in frames[0].columns:
        if str(frames[0][column].dtype) == "category":
            joined = union_categoricals([f[column] for f in frames])
            for f in frames:
                f[column] = pd.Categorical(f[column], categories=joined.categories)
    attrs = [f.attrs for f in frames]
    for f in frames:
        f.attrs = {}
    frame = pd.concat(frames, ignore_index=True)
    frame.attrs = {
        "logs": pd.concat([a["logs"] for a in attrs], ignore_index=True),
        "messages": [m for a in attrs for m in a["messages"]],
        "status": max(a["status"] for a in attrs)}
    return frame


def read_bytes(data, name, mode="e", signal_id=None,
               max_log_size=MAX_LOG_SIZE, columns=None, tz=None):
    """A log held in memory (bytes) as a dataframe; `name` gives its date,
    and a name ending in .gz says the bytes are gzip-compressed. A name with
    folders is an object's key ("main_3rd/2024_03_09_07.dat.gz"): its last
    part is the log's name, and its folders give the signal id where the
    name has no leading fields; without either the id is empty."""
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise ValueError("data must be bytes")
    usecols = _usecols(columns, _mode(mode))
    columns = _quillon.read_bytes(bytes(data), _path(name, "name"), mode,
                                  _text(signal_id, "signal_id", optional=True),
                                  _size(max_log_size), _zone(tz))
    return _frame(columns, mode, usecols, _zone(tz))


def _day(value, what):
    """A day for since= or until=: None, a datetime.date (or datetime), or a
    str as the command's --since takes it (YYYY-MM-DD, today, yesterday)."""
    import datetime
    if value is None:
        return None
    if isinstance(value, datetime.date):
        return value.strftime("%Y-%m-%d")
    if not isinstance(value, str):
        raise TypeError("%s must be a date or a str, not %s" % (what, type(value).__name__))
    return value


def read_logs(dir, mode="e", recursive=True, jobs=0, signal_id="auto",
              max_log_size=MAX_LOG_SIZE, signal_dir=None, since=None, until=None,
              tz=None):
    """The dataframe of the logs that read_archive would read, damaged and
    undated ones included (its attrs["logs"]), without their rows; its
    attrs hold the messages and the status."""
    columns = _quillon.read_archive(
        _path(dir, "dir"), _mode(mode), _flag(recursive, "recursive"),
        _count(jobs, "jobs"),
        _text(signal_id, "signal_id", ("auto", "name", "dir")),
        _size(max_log_size), None if signal_dir is None else _path(signal_dir, "signal_dir"),
        False, _day(since, "since"), _day(until, "until"), _zone(tz))
    frame = _frame(columns, mode, tz=_zone(tz))
    logs = frame.attrs["logs"]
    logs.attrs = {"messages": frame.attrs["messages"],
                  "status": frame.attrs["status"]}
    return logs


def read_archive(dir, mode="e", recursive=True, jobs=0, signal_id="auto",
                 max_log_size=MAX_LOG_SIZE, signal_dir=None, columns=None,
                 since=None, until=None, tz=None):
    """Every log of a folder (and, when recursive, of every folder below
    it) as one dataframe, in the order of the events table, read by `jobs`
    threads (0: one per core).

    signal_id: "auto", "name" or "dir", as --signal-id. By the "dir" rule
    the logs of `dir` itself get the name of `dir` and those below it their
    folder's path below it; with signal_dir, the logs of `dir` get
    signal_dir and those below signal_dir/path: a folder read on its own
    gets the ids it has in a read of the whole archive. since and until
    (a date, or YYYY-MM-DD, "today" or "yesterday") read only the logs of
    those days, as the command's --since and --until. tz: the zone of the
    controllers' clocks, as the command's --tz (see the module's help).
    """
    usecols = _usecols(columns, _mode(mode))
    columns = _quillon.read_archive(
        _path(dir, "dir"), mode, _flag(recursive, "recursive"),
        _count(jobs, "jobs"),
        _text(signal_id, "signal_id", ("auto", "name", "dir")),
        _size(max_log_size), None if signal_dir is None else _path(signal_dir, "signal_dir"),
        True, _day(since, "since"), _day(until, "until"), _zone(tz))
    return _frame(columns, mode, usecols, _zone(tz))


# The measure tables, in the order the compiled part numbers them, and the
# frame type of each column.
_MEASURES = {name: {column: (dtype, values) for column, dtype, values in columns}
             for name, columns, mapped in _quillon.measure_schema()}

# The tables made only with a detector map.
_MAPPED = {name for name, columns, mapped in _quillon.measure_schema() if mapped}

# What the compiled part puts where a field is empty.
_MISSING = np.iinfo(np.int64).min

# The times, in tenths of a second since 1970, that datetime64[ns] holds
# (1677-09-21 to 2262-04-11); the tables hold every year from 1 to 9999.
_LAST_TENTH = np.iinfo(np.int64).max // 10**8
_FIRST_TENTH = -_LAST_TENTH


class _TimeOutOfRange(ValueError):
    """A time of a measure table that pandas cannot hold: its row (from 0)."""
    def __init__(self, column, row):
        ValueError.__init__(self, column, row)
        self.column, self.row = column, row


def _measure_frame(table, data, tz=None):
    """The frame of a measure table's CSV text; raises _TimeOutOfRange for
    a time that datetime64[ns] cannot hold."""
    frame = {}
    for name, kind, values, categories in _quillon.measure_table(table, data):
        dtype, fixed = _MEASURES[list(_MEASURES)[table]][name]
        if kind == "text":
            labels = np.array(categories, dtype=object)
            if dtype == "string":
                # An empty field (a missing hour's path) is missing.
                texts = np.array([c if c else None for c in categories], dtype=object)
                frame[name] = pd.array(texts[values], dtype="string")
                continue
            if fixed:
                # The column's fixed categories, whatever the rows hold, so
                # that the frames of two runs concatenate as categories; an
                # empty field is missing.
                code = np.array([fixed.index(c) if c else -1 for c in categories],
                                dtype=np.int64)
                frame[name] = pd.Categorical.from_codes(
                    code[values] if len(values) else values, fixed)
                continue
            # Categories in sorted order, as pandas makes them.
            order = np.argsort(labels, kind="stable")
            recode = np.empty(len(order), dtype=np.int64)
            recode[order] = np.arange(len(order))
            frame[name] = pd.Categorical.from_codes(recode[values], labels[order])
        elif kind == "time":
            missing = values == _MISSING
            bad = ~missing & ((values < _FIRST_TENTH) | (values > _LAST_TENTH))
            if bad.any():
                raise _TimeOutOfRange(name, int(np.argmax(bad)))
            frame[name] = np.where(missing, _MISSING, values * 10**8).view("datetime64[ns]")
            if tz is not None:
                # Instants, shown in the zone.
                frame[name] = pd.DatetimeIndex(frame[name]).tz_localize("UTC").tz_convert(tz)
        elif kind == "seconds":
            frame[name] = np.where(values == _MISSING, np.nan, values / 10)
        elif kind == "share":
            frame[name] = np.where(values == _MISSING, np.nan, values / 10000)
        elif kind == "ratio":
            frame[name] = np.where(values == _MISSING, np.nan, values / 100)
        elif dtype == "Int64":
            frame[name] = pd.arrays.IntegerArray(values, values == _MISSING)
        else:
            frame[name] = values.astype(dtype)
    return pd.DataFrame(frame)


def measures(dir, mode="e", recursive=True, jobs=0, signal_id="auto",
             max_log_size=MAX_LOG_SIZE, bin_minutes=15, thresholds=None,
             detectors=None, since=None, until=None, tz=None):
    """The signal performance measures of the logs of `dir` (a folder, a log
    file, or a list of them), as the command's -f measures writes them: a
    dict of dataframes by table name (logs, actuations, terminations,
    phase_intervals, ped, coordination, preemption, controller_events,
    detector_health), with typed columns,
    categorical ids and datetime times; columns of fixed values (state,
    termination, item) are categoricals of all their values. `thresholds`
    sets those of the command's --threshold: {"stuck_on": 30}. `detectors`,
    the file of a detector map, adds the tables made from it (cycles,
    arrivals, arrivals_on_green, split_failures, approach_volume,
    yellow_red_actuations). since and until (a date, or YYYY-MM-DD, "today"
    or "yesterday") measure only the logs of those days. tz, the zone of
    the controllers' clocks as the command's --tz, measures in real time
    and makes every time column time-zone-aware (datetime64[ns, tz]). Every
    frame's attrs["messages"] holds the messages of the run, its lines, and
    attrs["status"] its exit status."""
    return _measures(dir, mode, recursive, jobs, signal_id, max_log_size,
                     bin_minutes, thresholds, detectors, since, until, tz=_zone(tz))


def _measures(dir, mode, recursive, jobs, signal_id, max_log_size,
              bin_minutes, thresholds, detectors, since=None, until=None,
              signal_dir=None, last_hour=None, tz=None):
    """measures(); `signal_dir` and `last_hour` as _quillon.convert takes
    them, for a folder of an archive measured apart."""
    import tempfile
    _mode(mode)
    if isinstance(bin_minutes, bool) or not isinstance(bin_minutes, int):
        raise TypeError("bin_minutes must be an int, not %s"
                        % type(bin_minutes).__name__)
    with tempfile.TemporaryDirectory() as out:
        status, messages = _convert(dir, mode, dict(
            format="measures", output=out,
            recursive=_flag(recursive, "recursive"), jobs=_count(jobs, "jobs"),
            signal_id=_text(signal_id, "signal_id", ("auto", "name", "dir")),
            max_log_size=max_log_size, bin=bin_minutes, quiet=True,
            threshold=_thresholds(thresholds),
            detectors=None if detectors is None else _path(detectors, "detectors"),
            since=_day(since, "since"), until=_day(until, "until"), tz=tz),
            signal_dir, last_hour)
        if not os.path.exists(os.path.join(out, "logs.csv")):
            raise ValueError("; ".join(messages) or "no measures were made")
        tables = {}
        for table, name in enumerate(_MEASURES):
            if not os.path.exists(os.path.join(out, name + ".csv")):
                continue  # a table of a detector map, made only with one
            with open(os.path.join(out, name + ".csv"), "rb") as f:
                data = f.read()
            try:
                frame = _measure_frame(table, data, tz)
            except _TimeOutOfRange as far:
                raise ValueError(_far_time(name, data, far)) from None
            frame.attrs = {"messages": messages, "status": status}
            tables[name] = frame
    return tables


def _thresholds(thresholds):
    """The --threshold arguments of a dict of thresholds, NAME=VALUE."""
    if thresholds is None:
        return None
    if not isinstance(thresholds, dict):
        raise TypeError("thresholds must be a dict, not %s"
                        % type(thresholds).__name__)
    return ["%s=%s" % (name, value) for name, value in thresholds.items()]


def _far_time(table, data, far):
    """What to say of a time of `table` that pandas cannot hold: the log it
    comes of where the table names it, else the row and its signal."""
    import csv
    rows = list(csv.reader(io.StringIO(data.decode("utf-8", "replace"))))
    header, row = rows[0], rows[far.row + 1]
    value = row[header.index(far.column)]
    where = row[header.index("path")] if "path" in header and row[header.index("path")] \
        else "%s.csv row %d (signal %s)" % (table, far.row + 2, row[0])
    return ("%s: the time %s is outside the times pandas holds (1677-09-21 to "
            "2262-04-11); the command's -f measures writes it" % (where, value))


# The command's long options that convert() takes.
_CONVERT_OPTIONS = ("keep", "output", "recursive", "jobs", "test", "quiet",
                    "format", "signal_id", "max_log_size", "update", "bin",
                    "threshold", "detectors", "since", "until", "tz", "utc")


def convert(dir, mode, **options):
    """Runs the quillon command on `dir` (a folder, a log file, or a list of
    them) in `mode` and returns its exit status and its messages, a list of
    lines; nothing is printed.

    Options are the command's long options, "-" as "_": keep, output,
    recursive, jobs, test, quiet, format, signal_id, max_log_size, update,
    bin, threshold, detectors, since, until, tz, utc;
    True for an option without a value. Unlike the command, the archive is
    left as it is (keep=True) unless keep=False is given, which decompresses
    its .gz files in place. Nothing goes to the standard output unless
    output="-" is given: format="events" needs output=.
    """
    return _convert(dir, mode, options)


def _convert(dir, mode, options, signal_dir=None, last_hour=None):
    """convert() of the dict `options`; `signal_dir` and `last_hour` as
    _quillon.convert takes them, for a folder of an archive run apart."""
    options.setdefault("keep", True)
    if options.get("format") == "events" and options.get("output") is None:
        raise ValueError('convert(format="events") needs output=, a file, or '
                         'output="-" for the standard output')
    args = []
    for name, value in options.items():
        if name not in _CONVERT_OPTIONS:
            raise TypeError("convert() got an unexpected keyword argument %r"
                            % name)
        flag = "--" + name.replace("_", "-")
        if value is True:
            args.append(flag)
        elif value is False or value is None:
            continue
        elif isinstance(value, (str, bytes, os.PathLike)):
            args.append(flag + "=" + os.fsdecode(value))
        elif isinstance(value, list):
            args += [flag + "=" + str(v) for v in value]
        else:
            args.append(flag + "=" + str(value))
    dirs = dir if isinstance(dir, (list, tuple)) else [dir]
    if not dirs:
        raise ValueError("no log or folder to read")
    args += ["--"] + [os.fsdecode(_path(d, "dir")) for d in dirs] + [_text(mode, "mode")]
    return _quillon.convert([os.fsencode(arg) for arg in args],
                            None if signal_dir is None else os.fsencode(signal_dir),
                            last_hour)
