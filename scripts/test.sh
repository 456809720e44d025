#!/usr/bin/env bash
# Builds the project with clang, AddressSanitizer and UndefinedBehaviorSanitizer, and runs every test
# case in that build (a fault the sanitizers find fails its case).
# Usage: scripts/test.sh [build-dir, default ./build-asan] [extra cmake options...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build-asan}"
shift || true
bash "$root/scripts/deps.sh"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
# The remote-agent load test sends fewer messages under the sanitizers' slowdown.
export QUARN_LOAD_MSGS="${QUARN_LOAD_MSGS:-2000}"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
  -DQUARN_SANITIZE=address,undefined -DQUARN_BUILD_BENCH=OFF "$@" >/dev/null
ninja -C "$build"
cd "$build"
ctest --output-on-failure -j "$(nproc)"
