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
                 signal_dir: Optional[str], rows: bool = True) -> dict[str, Any]:
    """Reads every log of the folder `dir` (and below it, when recursive)
    into columns, in the order of the events table; without `rows`, only
    the facts of each log."""

def convert(args: list[bytes]) -> tuple[int, list[str]]:
    """Runs quillon with the command-line arguments `args` and returns its
    exit status and its messages, a list of lines."""

def measure_table(table: int, data: bytes) -> list[tuple[str, str, Any, list[str]]]:
def measure_schema() -> list[tuple[str, list[tuple[str, str, list[str]]]]]: ...
    """Reads the CSV text of measure table number `table` (as the measures
    write them) into columns (name, kind, values, categories); raises
    ValueError where it is not such a table."""

def size_of(text: str) -> int:
    """Reads a size as --max-log-size does; raises ValueError for none."""
