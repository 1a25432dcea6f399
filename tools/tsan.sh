#!/usr/bin/env bash
# Builds the core tests and the extension with ThreadSanitizer and runs the C++ tests and the
# Python tests under it; any data race report fails the run. The reports are written to log
# files, so that one from a child interpreter or one hidden by pytest's capture still counts.
# Expects the environment of tools/setup.sh (.venv with the test extras); CORVANE_PYTHON names
# another interpreter that has them.
#   tools/tsan.sh [pytest arguments]   (default: the whole Python suite)
set -euo pipefail
cd "$(dirname "$0")/.."
python="${CORVANE_PYTHON:-$PWD/.venv/bin/python}"
build=build/tsan
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_TESTS=ON -DCORVANE_TSAN=ON \
  -DPython_EXECUTABLE="$python" > /dev/null
cmake --build "$build" -j 2

logs="$PWD/$build/reports"
rm -rf "$logs"
mkdir -p "$logs"
# A huge allocation refused with NULL (MemoryError in Python) is no report.
check_reports() {
  local reports
  reports=$(grep -lv 'WARNING: ThreadSanitizer failed to allocate' "$logs"/* 2> /dev/null || true)
  if [ -n "$reports" ]; then
    echo "ThreadSanitizer reports ($1):" >&2
    cat $reports >&2
    exit 1
  fi
}

TSAN_OPTIONS="halt_on_error=1:log_path=$logs/tsan" "$build/corvane_core_tests" --gtest_brief=1 ||
  { check_reports "C++ tests"; exit 1; }
check_reports "C++ tests"

# The interpreter is not instrumented: preload the runtime (with the C++ runtime, as for the
# other sanitizers). Only the module's own accesses are checked; the interpreter's are not seen,
# which hides no race of ours (the module touches Python objects only with the lock held).
preload="$(g++ -print-file-name=libtsan.so):$(g++ -print-file-name=libstdc++.so)"
status=0
LD_PRELOAD="$preload" \
  TSAN_OPTIONS="halt_on_error=1:report_signal_unsafe=0:allocator_may_return_null=1:log_path=$logs/tsan" \
  PYTHONPATH="$build/python" CORVANE_SANITIZED=1 \
  "$python" -m pytest -q -p no:cacheprovider "${@:-tests/python}" || status=$?
check_reports "Python tests"
exit "$status"
