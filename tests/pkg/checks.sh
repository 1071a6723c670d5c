# shellcheck shell=bash
# Sourced by the install and package tests: named checks and the closing
# line. Each check runs a command and counts it as passed when it succeeds.
set -euo pipefail
# shellcheck disable=SC2034 # root and version are for the scripts sourcing this
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)"
# shellcheck disable=SC2034
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
passed=0
failed=0

# check NAME COMMAND...
check() {
  local name=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "ok   $name"
  else
    failed=$((failed + 1))
    echo "FAIL $name"
  fi
}

# The site set in DIR, one path a line, without what the program writes where
# it runs (its lock, scratch file and log).
site_files() {
  (cd "$1" && find . -type f ! -name lockfile.lock ! -name tmp.htpasswd ! -name '*.log' | sort)
}

# Whether the two files hold the same lines once sorted; shows the difference.
same_lines() { diff <(sort "$1") <(sort "$2"); }

# Whether settings file $2 starts with the lines of file $1 and its first
# line for the key of setting $3 is $3.
extends() {
  cmp -s <(head -n "$(wc -l < "$1")" "$2") "$1" && [ "$(grep -m1 "^${3%%=*}=" "$2")" = "$3" ]
}

finish() {
  echo "$passed passed, $failed failed"
  [ $failed -eq 0 ]
}
