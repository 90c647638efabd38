"""The compiled part of quillon: logs into columns."""

from typing import Any, Optional

version_line: str

def read_log(path: bytes, mode: str, signal_id: Optional[str],
             max_log_size: int) -> dict[str, Any]:
    """Reads the log file `path` (.dat or .dat.gz) into columns; raises
    OSError when it cannot be opened."""

def read_bytes(data: bytes, name: bytes, mode: str, signal_id: Optional[str],
               max_log_size: int) -> dict[str, Any]:
    """Reads a log held in `data` into columns; `name` gives its date, and a
    name ending in .gz says the data is gzip-compressed."""

def read_archive(dir: bytes, mode: str, recursive: bool, jobs: int,
                 signal_id: str, max_log_size: int,
                 signal_dir: Optional[str], rows: bool = True,
                 since: Optional[str] = None,
                 until: Optional[str] = None) -> dict[str, Any]:
    """Reads every log of the folder `dir` (and below it, when recursive)
    into columns, in the order of the events table; without `rows`, only
    the facts of each log; with `since` or `until`, only the logs of those
    days (YYYY-MM-DD, today or yesterday)."""

def convert(args: list[bytes], signal_dir: Optional[bytes] = None,
            last_hour: Optional[int] = None) -> tuple[int, list[str]]:
    """Runs quillon with the command-line arguments `args` and returns its
    exit status and its messages, a list of lines. `signal_dir`: the signal
    id of the folder given and the start of those below it, as in a run of a
    folder above it; `last_hour`: the measures' last hour of a larger run,
    in tenths of a second since 1970."""

def log_hour(name: bytes) -> Optional[int]:
    """The start of the hour a log's name gives (its .gz too), in tenths of
    a second since 1970; None for a name of no valid date."""

def measure_table(table: int, data: bytes) -> list[tuple[str, str, Any, list[str]]]:
    """Reads the CSV text of measure table number `table` (as the measures
    write them) into columns (name, kind, values, categories); raises
    ValueError where it is not such a table."""

def measure_schema() -> list[tuple[str, list[tuple[str, str, list[str]]], bool]]:
    """The measure tables in their order: (name, [(column, frame type,
    fixed values), ...], made only with a detector map) each."""

def day_number(text: str) -> int:
    """The day --since takes (YYYY-MM-DD, today or yesterday), counted from
    1970-01-01; raises ValueError for none."""

def size_of(text: str) -> int:
    """Reads a size as --max-log-size does; raises ValueError for none."""
