#!/usr/bin/env bash
# Builds the libFuzzer targets (one per tests/fuzz/<name>_fuzz.cpp) with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each for a fixed time, several at once. Each corpus starts from
# the seeds the target makes from the system's own output (its FuzzSeeds()) and from
# tests/fuzz/seeds/<name>/ when that folder exists. A crash, a leak, a hang or a failed check fails
# the script; the input that caused it is kept in the findings folder printed at the end.
#
# Usage: scripts/fuzz.sh [seconds per target, default 30] [build dir, default ./build-fuzz]
# Environment: QUARN_FUZZ_OUT (default <build dir>/fuzz-out), QUARN_FUZZ_JOBS (targets run at once,
# default half the processors).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-30}"
build="${2:-$root/build-fuzz}"
out="${QUARN_FUZZ_OUT:-$build/fuzz-out}"
jobs="${QUARN_FUZZ_JOBS:-$(( ($(nproc) + 1) / 2 ))}"
[[ "$seconds" =~ ^[1-9][0-9]*$ ]] || { echo "fuzz.sh: seconds must be a positive number, not '$seconds'" >&2; exit 2; }
[[ "$jobs" =~ ^[1-9][0-9]*$ ]] || { echo "fuzz.sh: QUARN_FUZZ_JOBS must be a positive number" >&2; exit 2; }

bash "$root/scripts/deps.sh"
targets=()
for source in "$root"/tests/fuzz/*_fuzz.cpp; do
  [ -e "$source" ] && targets+=("$(basename "$source" .cpp)")
done
if ((${#targets[@]} == 0)); then
  echo "fuzz.sh: no targets in tests/fuzz" >&2
  exit 2
fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
  -DQUARN_SANITIZE=address,undefined -DQUARN_BUILD_FUZZ=ON -DQUARN_BUILD_TESTS=OFF -DQUARN_BUILD_BENCH=OFF >/dev/null
ninja -C "$build" "${targets[@]}"

rm -rf "$out"
mkdir -p "$out"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The message file and settings targets write a file for every input: keep them in memory if we can.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi

# Runs one target; its status goes to <out>/<name>/status.
run_target() {
  local name="$1" dir="$out/$1"
  mkdir -p "$dir/corpus" "$dir/findings"
  local corpora=("$dir/corpus")
  [ -d "$root/tests/fuzz/seeds/${name%_fuzz}" ] && corpora+=("$root/tests/fuzz/seeds/${name%_fuzz}")
  local status=0
  QUARN_FUZZ_WRITE_SEEDS="$dir/corpus" "$build/$name" >"$dir/log" 2>&1 || status=$?
  if ((status == 0)); then
    "$build/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
      -artifact_prefix="$dir/findings/" "${corpora[@]}" >>"$dir/log" 2>&1 || status=$?
  fi
  echo "$status" >"$dir/status"
}

echo "fuzzing ${#targets[@]} targets for ${seconds}s each, $jobs at a time; output in $out"
running=0
for name in "${targets[@]}"; do
  run_target "$name" &
  running=$((running + 1))
  if ((running >= jobs)); then
    wait -n || true
    running=$((running - 1))
  fi
done
wait || true

failed=0
for name in "${targets[@]}"; do
  status="$(cat "$out/$name/status" 2>/dev/null || echo missing)"
  runs="$(grep -o 'stat::number_of_executed_units: [0-9]*' "$out/$name/log" | grep -o '[0-9]*$' || true)"
  if [ "$status" = "0" ]; then
    echo "  $name: passed (${runs:-?} runs)"
  else
    failed=1
    echo "  $name: FAILED (status $status); input kept in $out/$name/findings/"
    ls -1 "$out/$name/findings/" 2>/dev/null | sed 's/^/    /'
    tail -n 40 "$out/$name/log" | sed 's/^/    | /'
  fi
done
if ((failed)); then
  echo "fuzzing found faults; the inputs are under $out/*/findings/"
  exit 1
fi
echo "fuzzing passed"
