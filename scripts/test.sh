#!/usr/bin/env bash
# The test command: installs what is missing, builds every target, and runs
# every test of every runnable target:
#   native  - the unit, fault-injection and end-to-end tests
#   win64   - the same tests under Wine, the dialog tests in Xvfb (English and
#             Japanese), the module's export table
#   win32   - built, its export and import tables checked (cannot run here)
#   asan    - the native tests under AddressSanitizer + UndefinedBehaviorSanitizer
#   tsan    - the native tests under ThreadSanitizer
#   fuzz    - a short bounded run of each fuzz target
# QV7_TEST_TARGETS narrows the list, e.g. QV7_TEST_TARGETS="native win64".
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/setup.sh || exit 1
export WINEDEBUG=-all
targets=${QV7_TEST_TARGETS:-"native win64 win32 asan tsan fuzz"}
passed=0
failed=0
failures=()

# Runs ctest in build/$1 (after it: a command prefix such as xvfb-run, then
# "--" and ctest's own options) and adds its counts to the totals.
run_ctest() {
  local dir=$1; shift
  local prefix=() extra=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do prefix+=("$1"); shift; done
  [ $# -gt 0 ] && shift && extra=("$@")
  local log="$root/build/$dir/ctest.log"
  (cd "build/$dir" && "${prefix[@]}" ctest --output-on-failure --timeout 1200 "${extra[@]}" 2>&1) | tee "$log"
  local line
  line=$(grep -E "tests passed, [0-9]+ tests failed out of [0-9]+" "$log" | tail -1)
  if [ -z "$line" ]; then
    failed=$((failed + 1)); failures+=("$dir: ctest did not finish")
    return
  fi
  local total nfail
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  nfail=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
  passed=$((passed + total - nfail)); failed=$((failed + nfail))
  [ "$nfail" = 0 ] || failures+=("$dir: $nfail of $total failed")
}

for t in $targets; do
  case "$t" in
    native|asan|tsan)
      if bash scripts/build.sh "$t"; then
        if [ "$t" = tsan ]; then
          # the load test's hundreds of processes are left to the plain build;
          # the fault sweep counts calls across threads in the order a plain
          # run makes them, which the thread checker's scheduling reorders
          TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 report_signal_unsafe=0" run_ctest "$t" -- -E "e2e_test_load|test_fault_sweep"
        elif [ "$t" = asan ]; then
          ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" run_ctest "$t" -- -E e2e_test_load
        else
          run_ctest "$t"
        fi
      else
        failed=$((failed + 1)); failures+=("$t: build failed")
      fi ;;
    win64)
      if bash scripts/build.sh win64; then
        run_ctest win64 xvfb-run -a -s "-screen 0 1024x768x24" bash "$root/scripts/wine_session.sh" --
      else
        failed=$((failed + 1)); failures+=("win64: build failed")
      fi ;;
    win32)
      if bash scripts/build.sh win32 && python3 scripts/check_dll.py build/win32/qv7_sock.qv7 i686-w64-mingw32-objdump; then
        passed=$((passed + 1))
      else
        failed=$((failed + 1)); failures+=("win32: build or module check failed")
      fi ;;
    fuzz)
      if [ -x scripts/fuzz.sh ]; then
        if bash scripts/fuzz.sh short; then passed=$((passed + 1)); else failed=$((failed + 1)); failures+=("fuzz: a target found a fault"); fi
      fi ;;
    *) echo "test: unknown target $t" >&2; failed=$((failed + 1)) ;;
  esac
done

echo
for f in "${failures[@]}"; do echo "FAILED: $f"; done
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
