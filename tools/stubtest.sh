#!/usr/bin/env bash
# Checks the type stubs installed with corvane (site-packages/corvane-stubs) against the
# installed compiled module with mypy's stubtest, then type-checks the examples against them.
# Expects the environment of tools/setup.sh with the test extra (.venv with mypy).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=${CORVANE_PYTHON:-$root/.venv/bin/python}

# Run from an empty folder so that mypy sees only the installed module and stubs, not this tree.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# The stubs must be the installed ones (site-packages/corvane-stubs).
"$python" - <<'PY'
import pathlib, site, sys
if not any((pathlib.Path(p) / "corvane-stubs" / "__init__.pyi").is_file() for p in site.getsitepackages()):
    sys.exit("corvane-stubs is not installed next to corvane")
PY
"$python" -m mypy.stubtest corvane --allowlist "$root/stubs/stubtest_allowlist.txt"
"$python" -m mypy --no-incremental --ignore-missing-imports "$root/examples"
