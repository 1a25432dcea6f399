#!/usr/bin/env bash
# Builds the core tests and the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs the C++ tests and the Python tests under them. Any report fails the run.
# Expects the environment of tools/setup.sh (.venv with the test extras).
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/sanitize
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_TESTS=ON -DCORVANE_SANITIZE=ON \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python" > /dev/null
cmake --build "$build" -j 2

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The core tests are all ours: leaks count.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 "$build/corvane_core_tests" --gtest_brief=1

# The interpreter is not built with the sanitizer: preload its runtime, and leave leak
# detection off (the interpreter keeps memory at exit by design).
# libstdc++ is preloaded too: the interpreter does not link it, and ASan must find its
# exception functions at start-up.
asan_runtime="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libstdc++.so)"
LD_PRELOAD="$asan_runtime" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 PYTHONPATH="$build" \
  CORVANE_SANITIZED=1 .venv/bin/python -m pytest -q -p no:cacheprovider tests/python
