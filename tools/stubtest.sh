#!/usr/bin/env bash
# Checks the type stubs that ship inside the installed corvane package (py.typed and the .pyi
# files) against the installed compiled module with mypy's stubtest, with no allowlist,
# then type-checks the examples against them.
# Expects the environment of tools/setup.sh with the test extra (.venv with mypy).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=${CORVANE_PYTHON:-$root/.venv/bin/python}

# Run from an empty folder so that mypy sees only the installed package, not this tree.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$python" - <<'PY'
import pathlib, sys
import corvane
package = pathlib.Path(corvane.__file__).parent
missing = [name for name in ("py.typed", "__init__.pyi", "optimizers.pyi", "callbacks.pyi", "plot.pyi",
                            "parallel.pyi", "sklearn.pyi") if not (package / name).is_file()]
if missing:
    sys.exit(f"the installed corvane package ({package}) lacks {', '.join(missing)}")
PY
"$python" -m mypy.stubtest corvane
"$python" -m mypy --no-incremental --ignore-missing-imports "$root/examples"
