#!/usr/bin/env bash
# Builds the model-file fuzz target with clang (libFuzzer, AddressSanitizer, UndefinedBehavior-
# Sanitizer) and runs it for the given number of seconds (default 60) on one core.
#   fuzz/run.sh [SECONDS] [libFuzzer options...]
# The corpus grows in build/fuzz/corpus (seeded from fuzz/seeds); crashing inputs land in
# build/fuzz/artifacts. Keep each one as a regression case in tests/data/fuzz/.
# Needs clang and its runtime: apt-get install clang libclang-rt-14-dev (or the version at hand).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
out=build/fuzz
mkdir -p "$out/corpus" "$out/artifacts"

clang="${CLANGXX:-$(command -v clang++ || true)}"
if [ -z "$clang" ]; then
  echo "fuzz/run.sh: clang++ not found (apt-get install clang libclang-rt-14-dev)" >&2
  exit 2
fi
sources=(src/random/random.cpp src/network/network.cpp src/network/model_file.cpp src/variation/mutation.cpp
  src/variation/crossover.cpp src/variation/population.cpp fuzz/fuzz_model_file.cpp)
binary="$out/fuzz_model_file"
if [ ! -x "$binary" ] || [ -n "$(find "${sources[@]}" src -name '*.hpp' -newer "$binary" | head -1)" ]; then
  "$clang" -std=c++20 -g -O1 -Wall -Wextra -ffp-contract=off -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -Isrc "${sources[@]}" -o "$binary"
fi

cp -n fuzz/seeds/* "$out/corpus/" 2>/dev/null || true
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Stdout is closed for the target: a refused mutation prints its message there.
"$binary" "$out/corpus" -max_total_time="$seconds" -max_len=4096 -rss_limit_mb=2048 -timeout=10 \
  -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$out/artifacts/" "$@"
