import ctypes

import pytest

_libc = ctypes.CDLL(None)


@pytest.fixture
def c_output(capfd):
    """Returns a function that flushes C stdio and gives what was written to stdout since the last call."""

    def read():
        _libc.fflush(None)
        return capfd.readouterr().out

    return read

