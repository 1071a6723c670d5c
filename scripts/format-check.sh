#!/usr/bin/env bash
# Checks that every tracked C and C++ file is formatted as the tree's
# .clang-format says, with the clang-format on the PATH (Debian's package of
# that name); names each file that is not. Outside a git checkout, every such
# file of the tree but the build trees counts.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format > /dev/null || { echo "format-check: clang-format is not installed" >&2; exit 1; }
patterns=('*.c' '*.cc' '*.cpp' '*.h' '*.hpp')
if git rev-parse --is-inside-work-tree > /dev/null 2>&1; then
  mapfile -t files < <(git ls-files -- "${patterns[@]}")
else
  mapfile -t files < <(find . -path './build*' -prune -o -path '*/node_modules' -prune -o \
    -type f \( -name '*.c' -o -name '*.cc' -o -name '*.cpp' -o -name '*.h' -o -name '*.hpp' \) -print)
fi
echo "format-check: $(clang-format --version | head -1), ${#files[@]} files"
if ! report=$(clang-format --dry-run --Werror "${files[@]}" 2>&1); then
  sed -n 's/^\([^:]*\):[0-9]*:[0-9]*: error: .*/format-check: not formatted: \1/p' <<< "$report" \
    | uniq >&2
  echo "format-check: run clang-format -i on them" >&2
  exit 1
fi
echo "format-check: every file is formatted"
