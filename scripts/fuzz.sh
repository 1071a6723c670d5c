#!/usr/bin/env bash
# Builds the libFuzzer targets in build-fuzz (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs them one after another for SECONDS
# each: first every saved regression input of the target, then fuzzing from a
# scratch copy of its seed corpus under build-fuzz, so the work tree stays
# clean. Prints each target's executions; fails when any target finds
# anything (a crash, a sanitizer report, a leak, a timeout, a failed check).
#
#   scripts/fuzz.sh SECONDS [TARGET...]
#
# Without targets every target under fuzz/corpus runs.
#
# FUZZ_BUILD names another build directory; FUZZ_SEED another libFuzzer seed
# (0 lets libFuzzer pick one).
set -euo pipefail

seconds=${1:?usage: scripts/fuzz.sh SECONDS [TARGET...]}
shift
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD:-$root/build-fuzz}
seed=${FUZZ_SEED:-1}

# The largest input each target is given. The form decoder gets room for
# many fields, and with them arrays past a thousand slots. Inputs of hundreds
# of path or token pieces reach no new branch: those targets stay small.
# The settings reader needs lines longer than its 2048-byte read pieces, and
# the line reader lines longer than its 64 KiB window.
declare -A max_len=(
  [fuzz_form]=65536
  [fuzz_config]=3072
  [fuzz_path]=256
  [fuzz_codec]=8192
  [fuzz_token]=512
  [fuzz_kanji]=8192
  [fuzz_lines]=140000
)

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DHOB_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target fuzz_all -j"$(nproc)" >/dev/null

# Every report ends the run. A smaller quarantine and shorter allocation
# stacks make each run cheaper; a freed block still stays poisoned for far
# longer than one input takes.
export ASAN_OPTIONS="detect_leaks=1:quarantine_size_mb=16:malloc_context_size=10${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for corpus in "$root"/fuzz/corpus/*/; do targets+=("$(basename "$corpus")"); done
fi

failed=()
summary=()
for target in "${targets[@]}"; do
  corpus="$root/fuzz/corpus/$target/"
  binary="$build/fuzz/$target"
  scratch="$build/fuzz-run/$target"
  rm -rf "$scratch"
  mkdir -p "$scratch/corpus"
  cp -r "$corpus." "$scratch/corpus/"
  regressions="$root/fuzz/regressions/$target"

  # Each saved input runs once; any of them failing fails the target.
  if compgen -G "$regressions/*" >/dev/null; then
    if ! (cd "$scratch" && "$binary" "$regressions"/* >"$scratch/regressions.log" 2>&1); then
      echo "$target: a regression input fails again:" >&2
      tail -n 40 "$scratch/regressions.log" >&2
      failed+=("$target")
      summary+=("$target: regression failed")
      continue
    fi
  fi

  log="$scratch/fuzz.log"
  status=0
  options=(-max_total_time="$seconds" -max_len="${max_len[$target]:-4096}" -timeout=30
           -seed="$seed" -print_final_stats=1 -artifact_prefix="$scratch/")
  [ -f "$root/fuzz/$target.dict" ] && options+=(-dict="$root/fuzz/$target.dict")
  corpora=("$scratch/corpus")
  [ -d "$regressions" ] && corpora+=("$regressions")
  (cd "$scratch" && "$binary" "${options[@]}" "${corpora[@]}" >"$log" 2>&1) || status=$?
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  if [ "$status" -ne 0 ]; then
    echo "$target: finding (exit $status), log $log:" >&2
    tail -n 40 "$log" >&2
    ls "$scratch"/crash-* "$scratch"/leak-* "$scratch"/timeout-* "$scratch"/oom-* 2>/dev/null >&2 || true
    failed+=("$target")
    summary+=("$target: ${executions:-?} executions, FINDING")
  else
    summary+=("$target: $executions executions, 0 findings")
  fi
  echo "${summary[-1]}"
done

echo "fuzz: ${#summary[@]} targets, ${seconds} s each"
printf '  %s\n' "${summary[@]}"
echo "fuzz: $((${#summary[@]} - ${#failed[@]})) passed, ${#failed[@]} failed"
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in ${failed[*]}" >&2
  exit 1
fi
