"""The command line: segment listing with body names, states by name or code."""

import subprocess
import sys

import pytest

from kernwerk.__main__ import main


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


@pytest.mark.parametrize("argv, message", [
    (["state", "DE421", "no such body", "399", "0"], "kernwerk: NAIF body name 'no such body' is not in the built-in table"),
    (["state", "DE421", "301", "399", "0", "--frame", "j2000"],
     "kernwerk: unsupported NAIF frame: j2000 (supported: J2000, ECLIPJ2000)"),
])
def test_state_errors_are_reported_not_raised(de421_path, capsys, argv, message):
    argv = [de421_path if a == "DE421" else a for a in argv]
    assert main(argv) == 1
    assert capsys.readouterr().err == message + "\n"


def test_broken_pipe_ends_quietly(de421_path):
    proc = subprocess.run(f"{sys.executable} -m kernwerk segments {de421_path} | head -1",
                          shell=True, capture_output=True, text=True, cwd="/")
    assert proc.stdout.count("\n") == 1
    assert "Traceback" not in proc.stderr
