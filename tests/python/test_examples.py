"""The example scripts, each run with --quick in a subprocess: it must finish, exit 0 and report
that training improved on where it started. Examples whose optional packages are missing are
skipped."""

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"

# script, packages it needs besides corvane and numpy, text its output must hold
CASES = [
    ("xor.py", [], "IMPROVED"),
    ("diabetes.py", ["sklearn"], "IMPROVED"),
    ("sklearn_compare.py", ["sklearn"], "IMPROVED"),
    ("sequence.py", [], "IMPROVED"),
    ("cartpole.py", ["gymnasium"], "IMPROVED"),
    ("parallel_cartpole.py", ["gymnasium"], "IMPROVED"),
    ("keras_roundtrip.py", ["keras"], "IMPROVED"),
    ("demo.py", [], "same predictions: True"),
    ("pictures.py", ["matplotlib"], "IMPROVED"),
]


def missing(packages):
    return [name for name in packages if importlib.util.find_spec(name) is None]


@pytest.mark.parametrize("script, packages, marker", CASES, ids=[case[0] for case in CASES])
@pytest.mark.skipif(os.environ.get("CORVANE_SANITIZED") == "1",
                    reason="the sanitizer run covers the module through the unit tests")
def test_example_runs_and_improves(script, packages, marker):
    absent = missing(packages)
    if absent:
        pytest.skip("needs " + ", ".join(absent))
    arguments = [] if script == "demo.py" else ["--quick"]
    env = dict(os.environ, KERAS_BACKEND="numpy")
    result = subprocess.run([sys.executable, str(EXAMPLES / script), *arguments], capture_output=True, text=True,
                            env=env, timeout=600)
    report = f"exit code {result.returncode}\nstdout:\n{result.stdout[-3000:]}\nstderr:\n{result.stderr[-3000:]}"
    assert result.returncode == 0, report
    assert marker in result.stdout, report
