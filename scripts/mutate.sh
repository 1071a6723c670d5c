#!/usr/bin/env bash
# Deliberate faults, to show that the tests catch what they claim to catch.
# Every fault listed in scripts/mutations/*.txt is applied to a copy of the
# sources, the test it names is rebuilt and run, and the test must fail; the
# copy is then restored. The work tree itself is never changed.
#
#   scripts/mutate.sh [PATTERN]
#
# PATTERN (a grep -E expression) picks faults by their description. Prints a
# line per fault and, last, "N caught, M survived"; exits non-zero when a
# fault survives or no longer applies to the sources. MUTATE_BUILD names the
# scratch tree (default build-mutate).
#
# A fault is a block of lines, blocks separated by a blank line:
#   ## what the fault is
#   file: path from the repository root
#   from: text that occurs exactly once in that file
#   to: the text that replaces it
#   test: test-target gtest-filter
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
scratch=${MUTATE_BUILD:-$root/build-mutate}
pattern=${1:-}
src="$scratch/src"
build="$scratch/build"
jobs=$(nproc)

# A private copy of the sources, refreshed on every run, built with the
# address and undefined-behaviour sanitizers so that a fault that only reads
# or writes out of bounds is caught too. Only files whose bytes changed are
# copied, with the time of the copy, so a second run rebuilds what changed
# and nothing else, even when the change brought back an older file.
mkdir -p "$src"
for entry in CMakeLists.txt README.md lib app tests site packaging docs scripts; do
  while IFS= read -r file; do
    if ! cmp -s "$root/$file" "$src/$file"; then
      mkdir -p "$src/$(dirname "$file")"
      cp "$root/$file" "$src/$file"
    fi
  done < <(cd "$root" && find "$entry" -type f -not -path "*/node_modules/*")
  while IFS= read -r file; do
    [ -e "$root/$file" ] || rm -f "$src/$file"
  done < <(cd "$src" && find "$entry" -type f 2>/dev/null)
done
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DHOB_SANITIZE=ON >/dev/null
echo "mutate: building the unmutated tree" >&2
cmake --build "$build" -j"$jobs" >/dev/null

# The faults, one record a line: description, file, from, to, test (tab-separated).
faults=$(perl -ne '
  chomp;
  if (/^## (.*)/) { $name = $1; %f = (); next }
  if (/^(file|from|to|test): ?(.*)$/) { $f{$1} = $2 }
  if (defined $name && exists $f{test} && exists $f{file} && exists $f{from} && exists $f{to}) {
    print join("\t", $name, @f{qw(file from to test)}), "\n";
    undef $name;
  }' "$root"/scripts/mutations/*.txt)

caught=0
survived=0
broken=0
while IFS=$'\t' read -r name file from to test; do
  [ -n "$pattern" ] && ! grep -qE -- "$pattern" <<<"$name" && continue
  target=${test%% *}
  filter=${test#* }
  cp "$src/$file" "$scratch/original"
  if ! FROM="$from" TO="$to" perl -0777 -i -pe '
      $n = () = /\Q$ENV{FROM}\E/g;
      die "occurs $n times\n" if $n != 1;
      s/\Q$ENV{FROM}\E/$ENV{TO}/' "$src/$file" 2>"$scratch/apply.log"; then
    echo "BROKEN   $name: the text to change $(cat "$scratch/apply.log")in $file"
    broken=$((broken + 1))
    continue
  fi
  verdict="SURVIVED"
  if ! cmake --build "$build" --target "$target" -j"$jobs" >"$scratch/build.log" 2>&1; then
    verdict="BROKEN  "  # the fault does not even build
  elif ! (cd "$build/tests" &&
          timeout 300 "./$target" --gtest_filter="$filter" >"$scratch/test.log" 2>&1); then
    verdict="caught  "
  elif ! grep -q '^\[  PASSED  \] [1-9]' "$scratch/test.log"; then
    verdict="BROKEN  "  # the filter named no test
  fi
  cp "$scratch/original" "$src/$file"
  touch "$src/$file"
  case "$verdict" in
    caught*) caught=$((caught + 1)) ;;
    SURVIVED) survived=$((survived + 1)) ;;
    *) broken=$((broken + 1)) ;;
  esac
  echo "$verdict $name ($test)"
done <<<"$faults"

# Leave the scratch tree built as the sources are.
cmake --build "$build" -j"$jobs" >/dev/null 2>&1 || true
[ "$broken" -eq 0 ] || echo "mutate: $broken faults no longer apply or name no test" >&2
echo "$caught caught, $survived survived"
[ "$survived" -eq 0 ] && [ "$broken" -eq 0 ]
