#!/usr/bin/env bash
# Builds the core tests and the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs the C++ tests and the Python tests under them. Any report fails the run: every
# sanitizer stops the process at its first report, and the reports are also written to log
# files, so that one from a child interpreter (the tests run risky calls in subprocesses) or one
# hidden by pytest's output capture still fails it.
# Expects the environment of tools/setup.sh (.venv with the test extras); CORVANE_PYTHON names
# another interpreter that has them.
#   tools/sanitize.sh [pytest arguments]   (default: the whole Python suite)
set -euo pipefail
cd "$(dirname "$0")/.."
python="${CORVANE_PYTHON:-$PWD/.venv/bin/python}"
build=build/sanitize
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_TESTS=ON -DCORVANE_SANITIZE=ON \
  -DPython_EXECUTABLE="$python" > /dev/null
cmake --build "$build" -j 2

logs="$PWD/$build/reports"
rm -rf "$logs"
mkdir -p "$logs"
# Prints the reports and fails when any sanitizer wrote one. The warning for a huge allocation
# refused with NULL is no report: the interpreter turns it into MemoryError.
check_reports() {
  local reports
  reports=$(grep -lv 'WARNING: AddressSanitizer failed to allocate' "$logs"/* 2> /dev/null || true)
  if [ -n "$reports" ]; then
    echo "sanitizer reports ($1):" >&2
    cat $reports >&2
    exit 1
  fi
}

export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan"
# The core tests are all ours: leaks count.
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:log_path=$logs/asan" "$build/corvane_core_tests" --gtest_brief=1 ||
  { check_reports "C++ tests"; exit 1; }
check_reports "C++ tests"

# The interpreter is not built with the sanitizer: preload its runtime, with the C++ runtime
# beside it (the interpreter does not link it, and the runtime must find the real __cxa_throw
# when it starts, or the first C++ exception aborts). Leak detection stays off: the interpreter
# keeps memory at exit by design (tests/python/test_leaks.py covers leaks). A huge allocation
# gives NULL (MemoryError in Python) instead of a report. A small quarantine of freed memory
# keeps the resident size meaningful for the tests that check that memory is released.
preload="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libstdc++.so)"
status=0
LD_PRELOAD="$preload" \
  ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:quarantine_size_mb=16:log_path=$logs/asan" \
  PYTHONPATH="$build/python" CORVANE_SANITIZED=1 \
  "$python" -m pytest -q -p no:cacheprovider "${@:-tests/python}" || status=$?
check_reports "Python tests"
exit "$status"
