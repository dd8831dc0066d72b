#!/usr/bin/env bash
# Builds the libFuzzer target with clang in its own tree, makes the seed
# corpus from the virtual board, and fuzzes for a bounded time, then prints
# the executions and the coverage reached. Exits 77 (a skip for CTest) with
# the reason when clang or its libFuzzer runtime is missing, 0 when no input
# broke an invariant, and libFuzzer's status otherwise (the input that did is
# saved in the build tree as crash-*, timeout-* or oom-*).
#
#   fuzz/run.sh SOURCE_DIR BUILD_DIR SECONDS
set -u
src=${1:?source directory}
build=${2:?build directory}
seconds=${3:?seconds}
jobs=${JOBS:-2}

skip() {
  echo "fuzz: skipped: $*"
  exit 77
}

command -v clang++ >/dev/null 2>&1 || skip "clang++ is not installed (Debian package: clang)"
mkdir -p "$build"
probe=$build/probe
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
  >"$probe.cpp"
clang++ -fsanitize=fuzzer,address,undefined "$probe.cpp" -o "$probe" >"$probe.log" 2>&1 ||
  skip "clang++ cannot link a libFuzzer target (Debian package: libclang-rt-14-dev); see $probe.log"

echo "fuzz: building in $build"
cmake -S "$src" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUARNPROG_FUZZ=ON >"$build/configure.log" 2>&1 || {
  cat "$build/configure.log"
  exit 1
}
cmake --build "$build" -j "$jobs" --target quarnprog_fuzz fuzz_make_seeds >"$build/build.log" 2>&1 || {
  tail -50 "$build/build.log"
  exit 1
}

# Seeds: real conversations with the virtual board, made afresh each time.
seeds=$build/seeds
rm -rf "$seeds"
mkdir -p "$seeds" "$build/corpus"
echo "fuzz: seed corpus"
"$build/fuzz/fuzz_make_seeds" "$seeds" || exit 1

echo "fuzz: fuzzing for $seconds s"
log=$build/fuzz.log
(cd "$build" && ./fuzz/quarnprog_fuzz -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -max_len=4096 -print_final_stats=1 corpus seeds) >"$log" 2>&1
status=$?

# libFuzzer's progress lines: "#N  REDUCE cov: C ft: F corp: ..." ; the last
# one and the final statistics say how far it got.
grep -E '^#[0-9]+' "$log" | tail -1
grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log"
if [ "$status" -ne 0 ]; then
  echo "fuzz: FAILED (status $status); the report:"
  grep -vE '^#[0-9]+' "$log" | tail -60
  ls "$build"/crash-* "$build"/timeout-* "$build"/oom-* 2>/dev/null
fi
[ "$status" -eq 0 ] || exit "$status"

# Which lines of the program the corpus reaches (with FUZZ_COVERAGE=1): the
# corpus replayed once by a build with source-based coverage.
if [ "${FUZZ_COVERAGE:-0}" = 1 ]; then
  profdata=$(command -v llvm-profdata-14 || command -v llvm-profdata)
  cov=$(command -v llvm-cov-14 || command -v llvm-cov)
  if [ -z "$profdata" ] || [ -z "$cov" ]; then
    echo "fuzz: no line coverage: llvm-profdata and llvm-cov are missing (Debian package: llvm)"
    exit 0
  fi
  cover=$build-coverage
  cmake -S "$src" -B "$cover" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUARNPROG_FUZZ=ON -DQUARNPROG_FUZZ_COVERAGE=ON >"$build/coverage-build.log" 2>&1 &&
    cmake --build "$cover" -j "$jobs" --target quarnprog_fuzz_replay >>"$build/coverage-build.log" 2>&1 || {
    tail -30 "$build/coverage-build.log"
    exit 1
  }
  rm -f "$cover"/*.profraw
  LLVM_PROFILE_FILE="$cover/replay.profraw" "$cover/fuzz/quarnprog_fuzz_replay" \
    "$build/corpus" "$seeds" 2>&1 | tail -1
  "$profdata" merge -sparse "$cover/replay.profraw" -o "$cover/replay.profdata"
  echo "fuzz: lines of the program reached by the corpus:"
  (cd "$src" && "$cov" report "$cover/fuzz/quarnprog_fuzz_replay" \
    -instr-profile="$cover/replay.profdata" driver serial monitor transfer)
fi
exit 0
