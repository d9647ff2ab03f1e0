#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer + AddressSanitizer + UBSan) and
# runs each one: `short` for the test command (a few seconds each), `long` for a
# real session (default 10 minutes each; QV7_FUZZ_SECONDS overrides).
# Crashes land in build/fuzz/crashes/; a crash found becomes a regression test.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-short}
case "$mode" in
  short) seconds=${QV7_FUZZ_SECONDS:-20} ;;
  long)  seconds=${QV7_FUZZ_SECONDS:-600} ;;
  *) echo "usage: scripts/fuzz.sh [short|long]" >&2; exit 2 ;;
esac
cmake -S . -B build/fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DQV7_SANITIZE=fuzz -DQV7_FUZZ=ON -DQV7_TESTS=OFF -DQV7_BENCH=OFF >/dev/null
cmake --build build/fuzz -j "${QV7_JOBS:-$(nproc)}" --target fuzz_base64 fuzz_recv_line fuzz_conversation
mkdir -p build/fuzz/crashes
status=0
for t in fuzz_base64 fuzz_recv_line fuzz_conversation; do
  corpus=build/fuzz/corpus/$t
  mkdir -p "$corpus"
  [ -d tests/fuzz/corpus/$t ] && cp -n tests/fuzz/corpus/$t/* "$corpus"/ 2>/dev/null || true
  echo "== $t for ${seconds}s"
  if ! ASAN_OPTIONS=detect_leaks=1 build/fuzz/$t -max_total_time="$seconds" -max_len=65536 \
        -artifact_prefix=build/fuzz/crashes/$t- -print_final_stats=1 "$corpus" 2>build/fuzz/$t.log; then
    tail -40 build/fuzz/$t.log
    status=1
  else
    grep -E "stat::number_of_executed_units|Done" build/fuzz/$t.log | tail -2
  fi
done
exit $status
