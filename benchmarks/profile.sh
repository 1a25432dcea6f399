#!/usr/bin/env bash
# Where the time of the evolution loops goes, by stage (breeding, mutation, loss measurement,
# selection, copies, random sources).
#
#   benchmarks/profile.sh [output file]      (default benchmarks/profile.txt)
#
# Builds the module once more with the Release flags plus -g (debug information only: the code
# is the same) in $PROFILE_BUILD (default /tmp/corvane-profile-build), then profiles the
# workloads of profile_workload.py:
#   - valgrind --tool=callgrind: instruction counts and call counts, repeatable from run to run;
#   - perf record -e cpu-clock (sampled time), when perf can record here; it sees the time of
#     the random-device reads and of memory stalls that instruction counts do not.
# Python: $PYTHON, or python3 (it needs numpy). Takes a few minutes on 2 cores.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
out="${1:-$here/profile.txt}"
python="${PYTHON:-python3}"
build="${PROFILE_BUILD:-/tmp/corvane-profile-build}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

command -v valgrind > /dev/null || { echo "valgrind is needed (apt-get install valgrind)" >&2; exit 1; }
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS="-g -fno-omit-frame-pointer" -DCORVANE_TESTS=OFF \
  -DPython_EXECUTABLE="$(command -v "$python")" > "$work/cmake.log"
cmake --build "$build" -j 2 > "$work/build.log"

{
  echo "# corvane profile, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
  echo "# module: $build (CMAKE_BUILD_TYPE=Release, CMAKE_CXX_FLAGS="-g -fno-omit-frame-pointer"); load average: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "# module imported: $(PYTHONPATH="$build/python" "$python" -c 'import corvane; print(corvane._core.__file__)')"
  for workload in evolve-full evolve-batch func; do
    echo
    echo "## callgrind: profile_workload.py $workload"
    PYTHONPATH="$build/python" valgrind --tool=callgrind --callgrind-out-file="$work/cg.$workload" \
      "$python" "$here/profile_workload.py" "$workload" 1 2> "$work/valgrind.$workload.log"
    "$python" "$here/profile_summary.py" callgrind "$work/cg.$workload"
  done
  if perf record -q -e cpu-clock -o "$work/probe.data" true > /dev/null 2>&1; then
    for workload in evolve-full func; do
      echo
      echo "## perf (cpu-clock, 2000 Hz, frame-pointer call graphs): profile_workload.py $workload 5"
      PYTHONPATH="$build/python" perf record -q -e cpu-clock -F 2000 --call-graph fp -o "$work/perf.$workload" \
        "$python" "$here/profile_workload.py" "$workload" 5 > /dev/null 2>&1
      # perf may fail to resolve the module's symbols (seen here): the callgrind figures stand alone then.
      "$python" "$here/profile_summary.py" perf "$work/perf.$workload" 2>&1 || echo "(no time profile of this workload)"
    done
  else
    echo
    echo "## perf cannot record here: time profile skipped"
  fi
} | tee "$out"
