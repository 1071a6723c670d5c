#!/usr/bin/env bash
# Runs the browser test: starts Apache with the built program (as `make run`
# does, on a free port), runs tests/e2e/e2e.mjs against it, stops Apache.
#
#   scripts/e2e.sh BUILD_DIR
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:?usage: e2e.sh BUILD_DIR}" && pwd)"
run="$build/run-e2e"
out="$build/e2e-out"
mkdir -p "$out"

# Apache in the foreground signals its whole process group when it stops, so
# it gets a session of its own, away from ctest and make.
PORT="${PORT:-18080}" setsid "$root/scripts/run-apache.sh" "$build" "$run" > "$out/apache.txt" 2>&1 &
apache=$!
trap 'kill -TERM $apache 2>/dev/null; wait $apache 2>/dev/null || true' EXIT

url=""
for _ in $(seq 1 100); do
  url=$(sed -n 's/^Form: *//p' "$out/apache.txt")
  demo=$(sed -n 's/^Directory to protect: *\([^ ]*\).*/\1/p' "$out/apache.txt")
  if [ -n "$url" ] && curl -s -o /dev/null "$url" 2>/dev/null; then break; fi
  if ! kill -0 $apache 2>/dev/null; then cat "$out/apache.txt" >&2; exit 1; fi
  sleep 0.1
done
[ -n "$url" ] || { echo "e2e: Apache did not start" >&2; cat "$out/apache.txt" >&2; exit 1; }

status=0
HOB_FORM_URL="$url" HOB_DEMO_DIR="$demo" HOB_OUT_DIR="$out" \
  node "$root/tests/e2e/e2e.mjs" || status=1
HOB_FORM_URL="$url" HOB_DEMO_DIR="$demo" node "$root/tests/e2e/load.mjs" || status=1
exit $status
