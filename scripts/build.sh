#!/usr/bin/env bash
# Configures and builds the targets named (default: native win64 win32) into
# build/<target>. Extra native variants: asan (address + undefined behaviour)
# and tsan (threads), used by the test command.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${QV7_JOBS:-$(nproc)}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(native win64 win32)
for t in "${targets[@]}"; do
  case "$t" in
    native) args=() ;;
    win64)  args=(-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake) ;;
    win32)  args=(-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake -DQV7_TESTS=OFF -DQV7_BENCH=OFF) ;;
    asan)   args=(-DQV7_SANITIZE=address -DQV7_BENCH=OFF) ;;
    tsan)   args=(-DQV7_SANITIZE=thread -DQV7_BENCH=OFF) ;;
    *) echo "build: unknown target $t" >&2; exit 2 ;;
  esac
  echo "== build $t"
  cmake -S . -B "build/$t" -G Ninja "${args[@]}" >/dev/null
  cmake --build "build/$t" -j "$jobs"
done
