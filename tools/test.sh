#!/usr/bin/env bash
# Sets up everything and runs all the tests: the C++ core tests through CTest, then the Python
# tests against the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."
# Ray is installed when it can be; without it the Ray evaluator tests are skipped, and said so.
if bash tools/setup.sh test,keras,examples,plot,ray; then
  echo "Ray is installed: the Ray evaluator tests run on a local Ray of 2 CPUs."
else
  echo "NOTE: Ray could not be installed; the Ray evaluator tests are skipped." >&2
  bash tools/setup.sh test,keras,examples,plot
fi

cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_TESTS=ON \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python" > /dev/null
cmake --build build/tests -j 2
ctest --test-dir build/tests --output-on-failure -E '^pytest$'

.venv/bin/python -m pytest -q -rs tests/python
# The memory-error test needs the test build's fault injection.
PYTHONPATH="$PWD/build/tests/python" .venv/bin/python -m pytest -q -p no:cacheprovider tests/python/test_memory_errors.py

# The installed type stubs against the installed module.
bash tools/stubtest.sh

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
bash tools/sanitize.sh

# The same tests under ThreadSanitizer: the evolution runs on a pool of threads.
bash tools/tsan.sh
