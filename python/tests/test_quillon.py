"""The Python module against the command's events table: every version,
both modes, archives, damaged logs; logs in memory; threads; the command's
run; bad arguments; a gzip bomb; the Dask example."""

import gzip
import io
import os
import resource
import subprocess
import sys

import pandas as pd
import pytest

import quillon

TOOL = os.environ["QUILLON_TOOL"]
GENLOG = os.environ["QUILLON_GENLOG"]
EXAMPLES = os.environ["QUILLON_EXAMPLES"]


def genlog(path, *options):
    subprocess.run([GENLOG, *options, str(path)], check=True)


@pytest.fixture(scope="module")
def archive(tmp_path_factory):
    """Every version, plain and compressed, sound and damaged, in folders."""
    root = tmp_path_factory.mktemp("archive")
    for version in (4, 5, 6, 7):
        folder = root / ("v%d" % version) / "elm_st"
        folder.mkdir(parents=True)
        v = str(version)
        genlog(folder / "2022_12_31_23.dat", "--version", v, "--every-type",
               "--records", "2", "--seed", v)
        genlog(folder / "AB_17_2023_01_01_00.dat.gz", "--version", v,
               "--records", "500", "--gzip", "--seed", v)
        genlog(folder / "2023_01_01_01.dat", "--version", v, "--records", "300",
               "--bad-type")
        genlog(folder / "2023_01_01_02.dat", "--version", v, "--records", "300",
               "--cut")
    return root


def table(*args):
    """The events table the command writes, read back."""
    out = subprocess.run([TOOL, "-f", "events", *map(str, args)],
                         capture_output=True, check=False).stdout
    return pd.read_csv(io.BytesIO(out), dtype=str, keep_default_na=False)


def as_table(frame, mode):
    """A dataframe written as the events table's text, column by column."""
    text = pd.DataFrame({
        "signal_id": frame["signal_id"].astype(str),
        "timestamp": frame["timestamp"].dt.strftime("%Y-%m-%d %H:%M:%S.")
                     + (frame["timestamp"].dt.microsecond // 100000).astype(str)})
    if mode == "e":
        text["event_code"] = frame["event_code"].astype(str)
        text["event_param"] = frame["event_param"].astype(str).replace("<NA>", "")
    else:
        text["event_type"] = frame["event_type"].astype(str)
        text["event_name"] = frame["event_name"].astype(str)
        text["data"] = [" ".join(str(b) for b in d) for d in frame["data"]]
    text["version"] = frame["version"].astype(str)
    return text.reset_index(drop=True)


@pytest.mark.parametrize("mode", ["e", "p"])
def test_archive_is_the_events_table(archive, mode):
    frame = quillon.read_archive(archive, mode)
    expected = table("-r", archive, mode)
    pd.testing.assert_frame_equal(as_table(frame, mode), expected)
    assert frame["timestamp"].dtype == "datetime64[ns]"
    assert str(frame["signal_id"].dtype) == "category"
    if mode == "e":
        assert str(frame["event_param"].dtype) == "Int16"
        assert frame["event_code"].dtype == "int16"
    logs = frame.attrs["logs"]
    assert len(logs) == 16
    closings = dict(zip(logs["path"], logs["closing"]))
    assert closings["v6/elm_st/2022_12_31_23.dat"] == "End of Controller Log"
    assert closings["v6/elm_st/2023_01_01_01.dat"] == "Error: bad event type 102"
    assert closings["v6/elm_st/2023_01_01_02.dat"] == "Error: bad file read"
    assert frame.attrs["status"] == 1
    assert frame.attrs["messages"] == [
        line for line in subprocess.run(
            [TOOL, "-f", "events", "-o", os.devnull, "-r", str(archive), mode],
            capture_output=True, text=True).stderr.splitlines()]
    # Several threads read the same rows.
    pd.testing.assert_frame_equal(quillon.read_archive(archive, mode, jobs=3),
                                  frame)


@pytest.mark.parametrize("mode", ["e", "p"])
def test_one_log_from_a_file_or_memory(archive, tmp_path, mode):
    folder = archive / "v7" / "elm_st"
    for name in ("2022_12_31_23.dat", "AB_17_2023_01_01_00.dat.gz",
                 "2023_01_01_02.dat"):
        # The command's table of a folder that holds only this log.
        alone = tmp_path / name / "elm_st"
        alone.mkdir(parents=True)
        (alone / name).write_bytes((folder / name).read_bytes())
        frame = quillon.read_log(folder / name, mode)
        pd.testing.assert_frame_equal(as_table(frame, mode), table(alone, mode))
        signal_id = frame["signal_id"].cat.categories[0]
        from_memory = quillon.read_bytes((folder / name).read_bytes(), name,
                                         mode, signal_id=signal_id)
        pd.testing.assert_frame_equal(from_memory.drop(columns="signal_id"),
                                      frame.drop(columns="signal_id"))
    # A name gives the date; without a valid one there are no rows.
    undated = quillon.read_bytes((folder / "2022_12_31_23.dat").read_bytes(),
                                 "log.dat", mode)
    assert len(undated) == 0
    assert undated.attrs["messages"] == [
        "Error: log.dat: the name holds no valid date and hour"]
    assert undated.attrs["status"] == 1


def test_damage_is_data(tmp_path):
    # Past the hour, past midnight; an archive whose second member fails
    # its check keeps the rows of the first.
    genlog(tmp_path / "2022_12_31_23.dat", "--version", "6", "--every-type",
           "--records", "1")
    raw = (tmp_path / "2022_12_31_23.dat").read_bytes()
    head, tail = raw[:len(raw) // 2], raw[len(raw) // 2:]
    bad = bytearray(gzip.compress(tail))
    bad[-6] ^= 0x55
    frame = quillon.read_bytes(gzip.compress(head) + bytes(bad),
                               "2022_12_31_23.dat.gz", "p")
    assert frame.attrs["logs"]["closing"][0] == \
        "Error: invalid compressed data: incorrect data check"
    whole = quillon.read_bytes(raw, "2022_12_31_23.dat", "p")
    assert 0 < len(frame) < len(whole)
    assert (whole["timestamp"] >= pd.Timestamp("2023-01-01")).any()
    # A year datetime64[ns] cannot hold is a name without a valid date.
    old = quillon.read_bytes(raw, "1500_01_01_00.dat", "e")
    assert len(old) == 0 and old.attrs["status"] == 1


def test_bad_arguments(tmp_path):
    with pytest.raises(ValueError):
        quillon.read_log(tmp_path / "x.dat", mode="x")
    with pytest.raises(OSError) as missing:
        quillon.read_log(tmp_path / "2022_06_08_13.dat")
    assert missing.value.filename == str(tmp_path / "2022_06_08_13.dat")
    with pytest.raises(OSError):
        quillon.read_archive(tmp_path / "nowhere")
    with pytest.raises(ValueError):
        quillon.read_archive(tmp_path, signal_id="street")
    with pytest.raises(ValueError):
        quillon.read_bytes("text", "2022_06_08_13.dat")
    with pytest.raises(ValueError):
        quillon.read_log(tmp_path / "x.dat", max_log_size="lots")
    with pytest.raises(ValueError):
        quillon.convert(tmp_path, "e", format="spreadsheet")


def test_convert_is_the_command(archive, tmp_path):
    status, messages = quillon.convert(archive, "e", recursive=True, keep=True,
                                       output=tmp_path / "csv")
    assert status == 1
    assert messages == subprocess.run(
        [TOOL, "-t", "-r", str(archive), "e"], capture_output=True,
        text=True).stderr.splitlines()
    assert (tmp_path / "csv" / "v5" / "elm_st" / "2022_12_31_23.csv").exists()


def test_gzip_bomb_in_bounded_memory(tmp_path):
    # A gigabyte of 3-byte records in a megabyte: past 32 MiB the log is cut
    # off and says so, and memory stays far from the gigabyte.
    header = (tmp_path / "h.dat")
    genlog(header, "--version", "6", "--records", "0")
    block = bytes([101, 0x8c, 0x9f]) * ((16 << 20) // 3)
    member = gzip.compress(block, 6)
    bomb = tmp_path / "2022_06_08_13.dat.gz"
    with open(bomb, "wb") as out:
        out.write(gzip.compress(header.read_bytes()))
        for _ in range(64):
            out.write(member)
    script = ("import quillon, resource; df = quillon.read_log(%r, 'p'); "
              "print(len(df), df.attrs['logs']['closing'][0], "
              "resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)" % str(bomb))
    out = subprocess.run([sys.executable, "-c", script], capture_output=True,
                         text=True, check=True).stdout.split()
    rows, peak_kib = int(out[0]), int(out[-1])
    assert rows == ((32 << 20) - len(header.read_bytes())) // 3
    assert " ".join(out[1:-1]) == \
        "Error: larger than --max-log-size (32 MiB) once decompressed"
    assert peak_kib < 1 << 20
    # Through a file-like object (gzip.open gives the bytes decompressed,
    # /dev/zero never ends): read no further than the limit.
    for opened, name in (("gzip.open(%r)" % str(bomb), "2022_06_08_13.dat"),
                         ("open('/dev/zero', 'rb')", "2022_06_08_14.dat")):
        script = ("import gzip, quillon, resource; "
                  "df = quillon.read_log(%s, 'p', name=%r, max_log_size='8M'); "
                  "print(df.attrs['logs']['closing'][0], "
                  "resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)" % (opened, name))
        out = subprocess.run([sys.executable, "-c", script], capture_output=True,
                             text=True, check=True, timeout=120).stdout.split()
        assert " ".join(out[:-1]) == "Error: larger than --max-log-size (8 MiB)", out
        assert int(out[-1]) < 256 << 10, out


def test_dask_example_on_a_local_cluster(archive):
    sys.path.insert(0, EXAMPLES)
    import dask_archive
    from dask.distributed import Client, LocalCluster

    # The workers import quillon from where this process does.
    os.environ["PYTHONPATH"] = os.pathsep.join(sys.path)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        counts, logs = dask_archive.count_events(str(archive), client)
    frame = quillon.read_archive(archive, "e")
    frame["signal_id"] = frame["signal_id"].astype(str)
    expected = frame.groupby(["signal_id", "version", "event_code"]).size()
    pd.testing.assert_series_equal(counts, expected.sort_index(),
                                   check_names=False)
    pd.testing.assert_frame_equal(logs, frame.attrs["logs"])
    # The example lists the damaged logs and says so in its status.
    run = subprocess.run([sys.executable, os.path.join(EXAMPLES, "dask_archive.py"),
                          str(archive)], capture_output=True, text=True,
                         env=dict(os.environ))
    assert run.returncode == 1
    assert "8 logs reported:" in run.stdout
    assert any(line.split() == ["v6/elm_st/2023_01_01_02.dat", "Error:", "bad",
                                "file", "read"] for line in run.stdout.splitlines())


def test_dask_measures_on_a_local_cluster(tmp_path):
    # Two signal folders and logs at the top, one folder's day ending
    # hours before the other's: every table of quillon.measures, those of
    # the detector map too, and the missing hours up to the archive's last.
    root = tmp_path / "archive"
    genlog(root / "north" / "elm_st", "--day", "2022_06_08", "--detectors", "16",
           "--map", tmp_path / "day.csv")
    genlog(root / "south", "--day", "2022_06_08", "--detectors", "4")
    for hour in range(14, 24):
        (root / "south" / ("2022_06_08_%02d.dat" % hour)).unlink()
    genlog(root / "2022_06_08_03.dat", "--records", "200")
    detectors = tmp_path / "map.csv"
    detectors.write_text((tmp_path / "day.csv").read_text().replace(
        "\nelm_st,", "\nnorth/elm_st,"))
    sys.path.insert(0, EXAMPLES)
    import dask_measures
    from dask.distributed import Client, LocalCluster

    # The workers import quillon from where this process does.
    os.environ["PYTHONPATH"] = os.pathsep.join(sys.path)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        got = dask_measures.measure(str(root), client, str(detectors))
    expected = quillon.measures(root, detectors=detectors)
    assert sorted(got) == sorted(expected) and "arrivals" in got
    for name, frame in expected.items():
        frame["signal_id"] = frame["signal_id"].astype(str)
        frame.attrs = {}
        pd.testing.assert_frame_equal(got[name].reset_index(drop=True), frame, obj=name)
    logs = got["logs"]
    assert sorted(logs["signal_id"].unique()) == ["archive", "north/elm_st", "south"]
    assert len(logs[(logs["signal_id"] == "south") & (logs["state"] == "missing")]) == 10
    assert len(got["arrivals"]) > 1000
    # The example writes each table.
    run = subprocess.run([sys.executable, os.path.join(EXAMPLES, "dask_measures.py"),
                          str(root), str(tmp_path / "out"), "-", str(detectors)],
                         capture_output=True, text=True, env=dict(os.environ))
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("3 signals, 39 logs: "), run.stdout
    assert (tmp_path / "out" / "split_failures.csv").exists()


def test_dask_measures_in_a_zone(tmp_path):
    # With tz, each folder's partition is measured in real time up to the
    # archive's last instant: a fall-back day of 25 hours in one folder, a
    # shorter day in another (its hours missing up to the last), equal to
    # quillon.measures with the same zone, time columns zone-aware.
    import quillon.dask
    genlog(tmp_path / "north", "--day", "2026_11_01", "--fall-back", "--detectors", "8")
    genlog(tmp_path / "south", "--day", "2026_11_01", "--detectors", "4", "--seed", "3")
    for hour in range(9, 24):
        (tmp_path / "south" / ("2026_11_01_%02d.dat" % hour)).unlink()
    for tz in ("America/Chicago", None):
        tables = quillon.measures(tmp_path, tz=tz)
        got = quillon.dask.measures(tmp_path, tz=tz)
        assert sorted(got) == sorted(tables)
        for name, expected in tables.items():
            expected["signal_id"] = expected["signal_id"].astype(str)
            expected.attrs = {}
            pd.testing.assert_frame_equal(got[name].compute(scheduler="synchronous")
                                          .reset_index(drop=True), expected, obj=name)
        logs = tables["logs"]
        south = logs[logs["signal_id"] == "south"]
        # From 09:00 to 23:00 of the wall clock; in real time one hour more.
        assert len(south[south["state"] == "missing"]) == (16 if tz else 15)
        if tz:
            assert str(logs["hour"].dt.tz) == tz


def test_days_to_read(tmp_path):
    # since and until read the logs of those days alone, in every reader,
    # as the command's --since and --until; a day is a date or its text.
    import datetime
    import quillon.dask
    for folder, seed in (("north", 1), ("south", 2)):
        (tmp_path / folder).mkdir()
        for name in ("2022_06_07_23.dat", "2022_06_08_00.dat", "2022_06_08_05.dat.gz",
                     "2022_06_09_00.dat"):
            genlog(tmp_path / folder / name, "--records", "300", "--seed", str(seed),
                   *(("--gzip",) if name.endswith(".gz") else ()))
    frame = quillon.read_archive(tmp_path, since="2022-06-08", until=datetime.date(2022, 6, 8))
    assert sorted(frame.attrs["logs"]["path"]) == [
        "north/2022_06_08_00.dat", "north/2022_06_08_05.dat.gz",
        "south/2022_06_08_00.dat", "south/2022_06_08_05.dat.gz"]
    assert (frame["timestamp"].dt.strftime("%Y-%m-%d") == "2022-06-08").all()
    assert len(quillon.read_logs(tmp_path, until="2022-06-07")) == 2
    tables = quillon.measures(tmp_path, since=datetime.date(2022, 6, 8))
    logs = tables["logs"]
    assert logs["hour"].min() == pd.Timestamp("2022-06-08 00:00")
    assert logs["hour"].max() == pd.Timestamp("2022-06-09 00:00")
    got = quillon.dask.measures(tmp_path, since="2022-06-08")
    for name, expected in tables.items():
        expected["signal_id"] = expected["signal_id"].astype(str)
        expected.attrs = {}
        pd.testing.assert_frame_equal(got[name].compute(scheduler="synchronous")
                                      .reset_index(drop=True), expected, obj=name)
    with pytest.raises(ValueError, match="since must be a date"):
        quillon.read_archive(tmp_path, since="2022-02-30")
    with pytest.raises(ValueError, match="2022-02-30"):
        quillon.measures(tmp_path, until="2022-02-30")
    with pytest.raises(TypeError, match="since must be a date or a str"):
        quillon.measures(tmp_path, since=20220608)


def test_paths_and_arguments_as_python_takes_them(archive, tmp_path):
    log = archive / "v6" / "elm_st" / "2022_12_31_23.dat"
    ref = quillon.read_log(log)
    assert quillon.read_log(os.fsencode(log)).equals(ref)
    assert quillon.read_log(str(log)).equals(ref)
    fifo = tmp_path / "2022_12_31_22.dat"
    os.mkfifo(fifo)
    for call, error in [
            (lambda: quillon.read_log(None), TypeError),
            (lambda: quillon.read_log(5), TypeError),
            (lambda: quillon.read_log(str(log) + "\0x"), ValueError),
            (lambda: quillon.read_log(log, signal_id=5), TypeError),
            (lambda: quillon.read_archive(archive, recursive="no"), TypeError),
            (lambda: quillon.read_archive(archive, jobs="2"), TypeError),
            (lambda: quillon.read_archive(archive, signal_dir=3), TypeError),
            (lambda: quillon.read_log(tmp_path), IsADirectoryError),
            (lambda: quillon.read_log(fifo), OSError),
            (lambda: quillon.read_log(tmp_path / "none.dat"), FileNotFoundError)]:
        with pytest.raises(error) as raised:
            call()
        if error is OSError:
            assert raised.value.errno != 0
    with pytest.raises(TypeError, match="bogus"):
        quillon.convert(archive, "e", bogus=1)


def test_names_that_are_no_utf8(archive, tmp_path):
    # A folder whose name is no UTF-8 among sound ones: every table reads,
    # its name escaped as messages show it.
    root = os.fsencode(tmp_path)
    for folder in (b"\xff\xfe", b"sound"):
        os.mkdir(os.path.join(root, folder))
        genlog(os.fsdecode(os.path.join(root, folder, b"2022_12_31_23.dat")),
               "--records", "20")
    frame = quillon.read_archive(tmp_path, "p")
    assert sorted(frame["signal_id"].cat.categories) == ["\\xff\\xfe", "sound"]
    assert len(frame) == 40 and frame.attrs["status"] == 0
    one = quillon.read_log(os.path.join(root, b"\xff\xfe", b"2022_12_31_23.dat"))
    assert list(one["signal_id"].unique()) == ["\\xff\\xfe"]
    events = table("-r", tmp_path, "e")
    assert sorted(events["signal_id"].unique()) == ["\\xff\\xfe", "sound"]


def test_versions_undated_logs_and_columns(tmp_path):
    # A controller upgraded overnight, and a log whose name holds no date.
    genlog(tmp_path / "2022_06_08_23.dat", "--version", "4", "--records", "50")
    genlog(tmp_path / "2022_06_09_00.dat", "--version", "6", "--records", "50")
    genlog(tmp_path / "undated.dat", "--records", "5")
    with pytest.warns(UserWarning, match="mix version 4"):
        frame = quillon.read_archive(tmp_path, "e")
    with pytest.warns(UserWarning, match="mix version 4"):
        quillon.read_log([tmp_path / "2022_06_08_23.dat", tmp_path / "2022_06_09_00.dat"])
    assert frame["version"].dtype == "int32"
    assert sorted(frame["version"].unique()) == [4, 6]
    assert frame.attrs["messages"][-1].startswith("Note: these logs mix version 4")
    logs = frame.attrs["logs"]
    assert list(logs["path"]) == ["2022_06_08_23.dat", "2022_06_09_00.dat",
                                  "undated.dat"]
    assert pd.isna(logs["start"][2]) and logs["records"][2] == 0
    assert logs["closing"][2] == "Error: the name holds no valid date and hour"
    with pytest.warns(UserWarning):
        picked = quillon.read_archive(tmp_path, "e",
                                      columns=["log", "version", "event_code"])
    expected = table("--columns", "log,version,event_code", tmp_path, "e")
    assert list(picked.columns) == list(expected.columns)
    assert (picked.astype(str).values == expected.values).all()
    with pytest.warns(UserWarning):
        assert quillon.read_logs(tmp_path).equals(logs)
    # The measures of log files, as of their folder; the undated one a row.
    files = quillon.measures([tmp_path / "2022_06_08_23.dat", tmp_path / "undated.dat"])
    assert list(files["logs"]["state"]) == ["ok", "undated"]
    assert list(files["logs"]["version"]) == [4, 0]  # not read, as --logs gives it
    with pytest.raises(ValueError, match="event_name"):
        quillon.read_archive(tmp_path, "e", columns=["event_name"])


def test_habits_of_pandas_and_storage(archive, tmp_path):
    log = archive / "v6" / "elm_st" / "2022_12_31_23.dat"
    raw = log.read_bytes()
    ref = quillon.read_log(log)
    # An object key: its folders give the signal id, its last part the date.
    keyed = quillon.read_bytes(raw, "main_3rd/2022_12_31_23.dat")
    assert list(keyed["signal_id"].unique()) == ["main_3rd"]
    assert keyed["timestamp"].equals(ref["timestamp"])
    assert list(quillon.read_bytes(raw, "2022_12_31_23.dat")["signal_id"]
                .unique()) == [""]
    # File-like objects and lists of paths.
    with open(log, "rb") as f:
        assert quillon.read_log(f)["timestamp"].equals(ref["timestamp"])
    assert quillon.read_log(io.BytesIO(raw), name="2022_12_31_23.dat")[
        "event_code"].equals(ref["event_code"])
    two = quillon.read_log([log, archive / "v4" / "elm_st" / "2022_12_31_23.dat"])
    assert len(two) > len(ref) and len(two.attrs["logs"]) == 2
    assert sorted(two["signal_id"].cat.categories) == ["elm_st"]
    assert (ref["event_code"] * 2).max() > 255
    # convert leaves the archive as it is and prints nothing.
    copy = tmp_path / "copy"
    copy.mkdir()
    (copy / "2022_12_31_23.dat.gz").write_bytes(gzip.compress(raw))
    status, _ = quillon.convert(copy, "e")
    assert status == 0 and (copy / "2022_12_31_23.dat.gz").exists()
    with pytest.raises(ValueError, match="output"):
        quillon.convert(copy, "e", format="events")
    # A Python without pandas is told which one to use.
    run = subprocess.run([sys.executable, "-c",
                          "import sys; sys.modules['pandas'] = None; import quillon"],
                         capture_output=True, text=True, env=dict(os.environ))
    assert run.returncode == 1 and "/usr/bin/python3" in run.stderr


def test_measures_are_the_commands_tables(tmp_path):
    archive = tmp_path / "archive"
    for folder, version in (("north", "6"), ("south", "4")):
        (archive / folder).mkdir(parents=True)
        subprocess.run([GENLOG, "--day", "2022_06_08", "--version", version,
                        "--detectors", "4", str(archive / folder)], check=True)
    (archive / "north" / "2022_06_08_05.dat").unlink()
    tables = quillon.measures(archive, bin_minutes=30)
    out = tmp_path / "out"
    run = subprocess.run([TOOL, "-f", "measures", "--bin", "30", "-r", "-o",
                          str(out), str(archive), "e"], capture_output=True)
    assert run.returncode == 0 and tables["logs"].attrs["status"] == 0
    for name, frame in tables.items():
        text = pd.read_csv(out / (name + ".csv"), dtype=str, keep_default_na=False)
        assert list(frame.columns) == list(text.columns), name
        assert len(frame) == len(text), name
        assert list(frame["signal_id"].astype(str)) == list(text["signal_id"]), name
    assert (tables["logs"]["state"] == "missing").sum() == 1
    assert tables["phase_intervals"]["green_start"].dtype == "datetime64[ns]"
    # Fixed values are the columns' categories whatever the rows hold, so
    # that two runs concatenate as categories; a missing hour has no path.
    logs = tables["logs"]
    assert list(logs["state"].cat.categories) == [
        "ok", "damaged", "missing", "duplicate", "undated", "gap"]
    assert logs[logs["state"] == "missing"]["path"].isna().all()
    assert logs[logs["state"] == "ok"]["path"].notna().all()
    for table, column, fixed in (
            ("phase_intervals", "termination", ["gap_out", "max_out", "force_off", "none"]),
            ("coordination", "item", ["pattern", "cycle_length", "offset", "split", "yield"])):
        assert list(tables[table][column].cat.categories) == fixed, (table, column)
    only_ok = logs[logs["state"] == "ok"]
    assert pd.concat([only_ok, logs])["state"].dtype == "category"
    south = tables["phase_intervals"][tables["phase_intervals"]["signal_id"] == "south"]
    assert south["red_clearance"].isna().all() and south["yellow"].notna().all()
    with pytest.raises(ValueError):
        quillon.measures(archive, bin_minutes=7)
    with pytest.raises(ValueError, match="--threshold: 'stuck=5'"):
        quillon.measures(archive, thresholds={"stuck": 5})


def test_measures_thresholds(tmp_path):
    # A detector on for 20 minutes: stuck at 20, not at the default 60.
    log = tmp_path / "2022_06_08_13.dat"
    genlog(log, "--records", "0")
    with open(log, "ab") as f:
        for t, d0 in ((100, 3 << 1 | 1), (12100, 3 << 1)):  # version 6 Detector on/off
            f.write(bytes([25, t >> 8, t & 0xFF, d0]))
    flags = {}
    for thresholds in (None, {"stuck_on": 20}):
        health = quillon.measures(log, thresholds=thresholds)["detector_health"]
        assert health["occupancy"].tolist() == [0.3333]
        flags[thresholds is None] = health["flags"].fillna("").tolist()
    assert flags == {True: [""], False: ["stuck_on"]}


def test_measures_of_years_pandas_cannot_hold(tmp_path):
    genlog(tmp_path / "2300_06_08_13.dat", "--records", "20")
    with pytest.raises(ValueError, match="2300_06_08_13.dat: the time 2300-06-08 13:00:00 is outside"):
        quillon.measures(tmp_path)


def test_dask_reads_what_read_archive_reads(tmp_path):
    # Folders whose names are no UTF-8, and a bytes path.
    root = os.fsencode(tmp_path)
    for folder in (b"\xff\xfe", b"north"):
        os.makedirs(os.path.join(root, folder))
        genlog(os.path.join(root, folder, b"2022_06_08_13.dat").decode(errors="surrogateescape"),
               "--records", "30", "--seed", str(len(folder)))
    import quillon.dask
    for path in (root, os.fsdecode(root)):
        events, logs = quillon.dask.read_archive(path, "e")
        frame = quillon.read_archive(path, "e")
        frame["signal_id"] = frame["signal_id"].astype(str)
        frame.attrs = {}
        got = events.compute(scheduler="synchronous").reset_index(drop=True)
        pd.testing.assert_frame_equal(got, frame)
        assert sorted(got["signal_id"].unique()) == ["\\xff\\xfe", "north"]


def test_a_ctrl_c_stops_a_run_between_logs(tmp_path):
    # Thousands of logs; a SIGINT while they are read raises
    # KeyboardInterrupt there, long before the run would end.
    log = tmp_path / "one.dat"
    genlog(log, "--records", "2000")
    data = log.read_bytes()
    log.unlink()
    for i in range(6000):
        (tmp_path / ("S%04d_01_2022_06_08_13.dat" % i)).write_bytes(data)
    for call in ("quillon.read_archive(%r, jobs=1)" % str(tmp_path),
                 "quillon.convert(%r, 'e', format='events', output=os.devnull, jobs=1)"
                 % str(tmp_path)):
        script = ("import os, signal, threading, time, quillon\n"
                  "threading.Timer(0.02, os.kill, (os.getpid(), signal.SIGINT)).start()\n"
                  "start = time.time()\n"
                  "try:\n    %s\n    print('ended')\n"
                  "except KeyboardInterrupt:\n    print('interrupted', time.time() - start)\n"
                  % call)
        out = subprocess.run([sys.executable, "-c", script], capture_output=True,
                             text=True, timeout=300).stdout.split()
        assert out and out[0] == "interrupted", (call, out)


def test_measures_of_a_detector_map(tmp_path):
    day = tmp_path / "north"
    subprocess.run([GENLOG, "--day", "2022_06_08", "--detectors", "4", str(day)], check=True)
    mapped = tmp_path / "map.csv"
    mapped.write_text("signal_id,channel,phase,approach,roles,distance_m,speed_kmh\n"
                      "north,1,1,NB,stopbar+count,,\n"
                      "north,2,2,\"Main St, EB\",advance,100,36\n")
    plain = quillon.measures(day)
    assert "cycles" not in plain and "detector_health" in plain
    tables = quillon.measures(day, detectors=mapped)
    for name in ("cycles", "arrivals", "arrivals_on_green", "split_failures",
                 "approach_volume", "yellow_red_actuations"):
        assert len(tables[name]) > 0, name
    arrivals = tables["arrivals"]
    assert set(arrivals["state"].cat.categories) == {"red", "green", "yellow"}
    assert (arrivals["seconds_into_cycle"] >= 0).all()
    assert set(tables["approach_volume"]["approach"]) == {"NB"}
    assert tables["split_failures"]["gor"].between(0, 1).all()
    mapped.write_text("signal_id,channel\n")
    with pytest.raises(ValueError, match="--detectors: .*line 1: the column phase is missing"):
        quillon.measures(day, detectors=mapped)


# Days around both changes of a zone in each hemisphere: the events table
# with --tz and --utc, and read_archive(tz=), against Python's zoneinfo.
ZONE_DAYS = [
    ("America/Chicago", "2026_11_01", ["--fall-back"]),
    ("America/Chicago", "2026_03_08", ["--spring-forward"]),
    ("Australia/Sydney", "2026_04_05", ["--fall-back", "--change-hour", "2"]),
    ("Australia/Sydney", "2026_10_04", ["--spring-forward"]),
]


def expected_instants(rows, zone):
    """Each row of the table without a zone (in file order, by log) as an
    aware datetime: within a log, a step back from a time the zone shows
    twice to one it shows twice, of no more than the change, is where the
    clock went back; later such times take the later offset."""
    import datetime
    from zoneinfo import ZoneInfo
    tz = ZoneInfo(zone)

    def offsets(dt):
        return (dt.replace(tzinfo=tz, fold=0).utcoffset(),
                dt.replace(tzinfo=tz, fold=1).utcoffset())

    out, last_log, last, stepped = [], None, None, False
    for text, log in zip(rows["timestamp"], rows["log"]):
        dt = datetime.datetime.strptime(text, "%Y-%m-%d %H:%M:%S.%f")
        if log != last_log:
            last_log, last, stepped = log, None, False
        first, second = offsets(dt)
        twice = first > second
        if (twice and not stepped and last is not None and dt < last
                and last - dt <= first - second):
            before = offsets(last)
            stepped = before[0] > before[1]
        out.append(dt.replace(tzinfo=tz, fold=1 if twice and stepped else 0))
        last = dt
    return out


def iso(dt, utc):
    """A time as the events table writes it in a zone."""
    import datetime
    if utc:
        dt = dt.astimezone(datetime.timezone.utc)
    text = dt.strftime("%Y-%m-%dT%H:%M:%S.") + str(dt.microsecond // 100000)
    if utc:
        return text + "Z"
    offset = dt.utcoffset()
    sign = "-" if offset < datetime.timedelta(0) else "+"
    minutes = abs(int(offset.total_seconds())) // 60
    return text + "%s%02d:%02d" % (sign, minutes // 60, minutes % 60)


@pytest.mark.parametrize("zone,day,change", ZONE_DAYS)
def test_times_in_a_zone_match_zoneinfo(tmp_path, zone, day, change):
    folder = tmp_path / "sig"
    genlog(folder, "--day", day, "--detectors", "2", *change)
    for mode in ("p", "e"):
        plain = table("--columns", "timestamp,log", folder, mode)
        expected = expected_instants(plain, zone)
        for utc in (False, True):
            got = table("--tz", zone, *(["--utc"] if utc else []),
                        "--columns", "timestamp", folder, mode)
            assert got["timestamp"].tolist() == [iso(dt, utc) for dt in expected], (mode, utc)
    frame = quillon.read_archive(folder, tz=zone)
    assert str(frame["timestamp"].dtype) == "datetime64[ns, %s]" % zone
    assert [t.value for t in frame["timestamp"]] == [
        int(dt.timestamp() * 10) * 10**8 for dt in expected]
    # The clocks went back once on a fall day: its times are not in order as
    # walls show them, and in order as instants.
    instants = frame["timestamp"].array.asi8
    assert (instants[1:] >= instants[:-1]).all() or "--spring-forward" in change


def test_a_log_of_an_hour_the_zone_skipped(tmp_path):
    folder = tmp_path / "sig"
    folder.mkdir()
    genlog(folder / "2026_03_08_02.dat", "--records", "50")
    result = subprocess.run([TOOL, "-f", "events", "--tz", "America/Chicago", folder, "p"],
                            capture_output=True, check=True, text=True)
    assert "2026_03_08_02.dat: 50 of its times do not exist in America/Chicago" in result.stderr
    assert "T02:" in result.stdout and "-06:00," in result.stdout
    for args, message in ((["--tz", "Mars/Olympus"], "unknown time zone Mars/Olympus"),
                          (["--utc"], "--utc needs"),
                          (["--tz", "UTC", "-f", "csv"], "--tz is for -f events")):
        bad = subprocess.run([TOOL, "-f", "events", *args, folder, "e"],
                             capture_output=True, text=True)
        assert bad.returncode == 2 and message in bad.stderr, bad.stderr
    with pytest.raises(ValueError, match="unknown time zone Mars"):
        quillon.read_archive(folder, tz="Mars/Olympus")


def test_measures_in_a_zone(tmp_path):
    """measures(tz=) gives the command's tables with --tz, every time the
    instant its text says, shown in the zone; the fall's hour shown twice
    has two rows of each detector."""
    folder = tmp_path / "sig"
    genlog(folder, "--day", "2026_11_01", "--detectors", "2", "--fall-back")
    out = tmp_path / "out"
    subprocess.run([TOOL, "-f", "measures", "--tz", "America/Chicago", "-o", out, folder, "e"],
                   check=True)
    tables = quillon.measures(folder, tz="America/Chicago")
    compared = 0
    for name, frame in tables.items():
        text = pd.read_csv(out / (name + ".csv"), dtype=str, keep_default_na=False)
        for column in frame.columns:
            if str(frame[column].dtype) != "datetime64[ns, America/Chicago]":
                continue
            want = pd.to_datetime(text[column].replace("", None),
                                  utc=True).dt.tz_convert("America/Chicago")
            assert frame[column].reset_index(drop=True).equals(want), (name, column)
            compared += 1
    assert compared >= 8
    health = tables["detector_health"]
    assert (health["hour"].dt.strftime("%H%z") == "01-0500").sum() == 2
    assert (health["hour"].dt.strftime("%H%z") == "01-0600").sum() == 2
