#!/usr/bin/env bash
# Builds the fuzz harnesses (tests/fuzz/) as libFuzzer programs with clang,
# AddressSanitizer and UndefinedBehaviorSanitizer into build-fuzz/, and runs
# each for a fixed time on a copy of its corpus (tests/fuzz/corpus/NAME/).
#
#   scripts/run_fuzz.sh [SECONDS]      (default 20 s per harness)
#
# One line per harness: "fuzz NAME: ok (...)" or "fuzz NAME: FAILED (...)";
# the input that broke a harness is kept as build-fuzz/artifacts/NAME-*
# (replay it with build-fuzz/bin/fuzz_NAME FILE). Exits 1 on any crash,
# sanitizer report or broken property, 2 when the build fails, and 0 with
# "skipped: no clang/libFuzzer" where clang++ or its fuzzer runtime is
# missing.
set -uo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."

seconds=${1:-20}
if [[ ! $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/run_fuzz.sh [SECONDS]" >&2
  exit 2
fi

probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' \
  >"$probe/probe.cpp"
if ! command -v clang++ >/dev/null ||
  ! clang++ -fsanitize=fuzzer "$probe/probe.cpp" -o "$probe/probe" 2>"$probe/cc.log"; then
  echo "run_fuzz: skipped: no clang/libFuzzer (Debian packages clang and libclang-rt-14-dev)"
  exit 0
fi

harnesses=()
for folder in tests/fuzz/corpus/*/; do harnesses+=("$(basename "$folder")"); done

cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATE_SANITIZE=ON -DUPDATE_BUILD_FUZZERS=ON \
  -DUPDATE_BUILD_TESTS=ON -DUPDATE_BUILD_TOOLS=ON -DUPDATE_BUILD_BENCH=OFF >/dev/null &&
  cmake --build build-fuzz -j2 --target "${harnesses[@]/#/fuzz_}" || exit 2

# Leak checks only where LeakSanitizer can work (it needs ptrace).
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
rm -rf build-fuzz/artifacts build-fuzz/logs
mkdir -p build-fuzz/artifacts build-fuzz/logs
failed=0
for name in "${harnesses[@]}"; do
  corpus="$probe/$name"
  cp -r "tests/fuzz/corpus/$name" "$corpus"
  log="build-fuzz/logs/$name.log"
  # -close_fd_mask=3: the daemon's console and log lines are not wanted here.
  build-fuzz/bin/"fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
    -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="build-fuzz/artifacts/$name-" \
    "$corpus" >"$log" 2>&1
  status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  if ((status == 0)); then
    echo "fuzz $name: ok (${runs:-0} inputs in $seconds s, corpus $(ls "$corpus" | wc -l) files)"
  else
    failed=1
    echo "fuzz $name: FAILED (status $status after ${runs:-?} inputs; log $log)"
    grep -E 'property broken|ERROR: |runtime error|SUMMARY|Test unit written' "$log" |
      head -n 8 | sed 's/^/  /'
  fi
done
exit "$failed"
