#!/usr/bin/env bash
# Requests per second for the first-visit page through Apache, beside a
# minimal CGI program that writes the same bytes, served by the same Apache.
#
#   scripts/bench-apache.sh BUILD_DIR
#
# BUILD_DIR holds the built program (app/hob-htpasswd.cgi) and the floor
# program (bench/floor_page). Apache is started by run-apache.sh on 127.0.0.1
# (PORT, default 18280) with its run directory under BUILD_DIR, and stopped at
# the end. wrk runs ROUNDS rounds (default 3) of SECONDS_PER_RUN seconds
# (default 4) per client count and program, program and floor alternating.
# Both are behind the runner's admin password, which every request sends.
#
# Every request comes on a connection of its own. On a kept-alive connection
# the Apache process that ran a CGI program serves the next request only
# after it has reaped the program, and when the program has closed its output
# but not yet quite exited, Apache sends it SIGTERM and sleeps 47 ms first.
# Which request hits that race is chance, for the program and the floor
# alike, and it would swamp what is measured here.
#
# Prints one tab-separated row per client count, in the request harness's
# format:
#
#   apache  case  req/s  median  min  max  floor-median  floor-min  floor-max  target
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:?usage: bench-apache.sh BUILD_DIR}" && pwd)"
rounds="${ROUNDS:-3}"
seconds="${SECONDS_PER_RUN:-4}"
floor="$build/bench/floor_page"
check="$root/bench/form_page.lua"
out="$build/bench-out/apache"
mkdir -p "$out"
[ -x "$floor" ] || { echo "bench-apache: $floor is not built" >&2; exit 1; }
command -v wrk >/dev/null || { echo "bench-apache: wrk is not installed (apt-get install wrk)" >&2; exit 1; }

# In a session of its own: Apache stops by signalling its whole process group,
# which must not be this script's.
PORT="${PORT:-18280}" setsid "$root/scripts/run-apache.sh" "$build" "$build/bench-run" \
  > "$out/apache.txt" 2>&1 &
apache=$!
trap 'kill -TERM $apache 2>/dev/null; wait $apache 2>/dev/null || true' EXIT

url=""
for _ in $(seq 1 100); do
  url=$(sed -n 's/^Form: *//p' "$out/apache.txt")
  if [ -n "$url" ] && curl -s -o /dev/null "$url" 2>/dev/null; then break; fi
  if ! kill -0 $apache 2>/dev/null; then cat "$out/apache.txt" >&2; exit 1; fi
  sleep 0.1
done
[ -n "$url" ] || { echo "bench-apache: Apache did not start" >&2; cat "$out/apache.txt" >&2; exit 1; }
run=$(sed -n 's|^Directory to protect: *\([^ ]*\)/htdocs/demo.*|\1|p' "$out/apache.txt")
admin="admin:$(sed -n 's/^admin password: //p' "$out/apache.txt")"
authorization="Authorization: Basic $(printf '%s' "$admin" | base64 -w0)"

# The floor is served from cgi-bin/floor/ under the program's own file name,
# the one name the run directory's configuration lets Apache run, and answers
# with the bytes the program wrote for the same request.
floor_dir="$run/cgi-bin/floor"
mkdir -p "$floor_dir"
cp "$floor" "$floor_dir/hob-htpasswd.cgi"
{ printf 'Content-type: text/html\n\n'; curl -s -u "$admin" "$url"; } > "$floor_dir/floor-page.html"
if [ "$(id -u)" -eq 0 ]; then chown -R www-data:www-data "$floor_dir"; fi
floor_url="${url%/hob-htpasswd.cgi}/floor/hob-htpasswd.cgi"
if ! cmp -s <(curl -s -u "$admin" "$url") <(curl -s -u "$admin" "$floor_url"); then
  echo "bench-apache: the floor does not answer with the program's page" >&2
  exit 1
fi

# Requests per second of one wrk run; fails on any unexpected answer.
rate() {
  local target=$1 clients=$2 log=$3
  local threads=$((clients < 2 ? 1 : 2))
  wrk -t"$threads" -c"$clients" -d"${seconds}s" --timeout 10s -H 'Connection: close' -H "$authorization" \
    -s "$check" "$target" > "$log" 2>&1
  if grep -q 'Socket errors\|Non-2xx' "$log" || ! grep -q '^Unexpected answers: 0$' "$log"; then
    echo "bench-apache: unexpected answers from $target, see $log" >&2
    cat "$log" >&2
    return 1
  fi
  sed -n 's/^Requests\/sec: *//p' "$log"
}

# Median, smallest and largest of the numbers on standard input.
spread() {
  sort -g | awk '{v[NR] = $1} END {
    m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "%.4f\t%.4f\t%.4f", m, v[1], v[NR]
  }'
}

# Apache starts a few server processes and adds more only gradually: 16
# clients at once first, unmeasured, so that every round finds them running.
echo "bench-apache: warming up" >&2
for warm in 1 2; do
  for target in "$url" "$floor_url"; do
    wrk -t2 -c16 -d"${seconds}s" --timeout 10s -H 'Connection: close' -H "$authorization" "$target" \
      > "$out/warm-$warm.txt" 2>&1
  done
done
for clients in 1 4 16; do
  label="$clients clients"
  if [ "$clients" -eq 1 ]; then label="1 client"; fi
  program_rates=()
  floor_rates=()
  for round in $(seq 1 "$rounds"); do
    echo "bench-apache: $label, round $round" >&2
    if [ $((round % 2)) -eq 1 ]; then
      program_rates+=("$(rate "$url" "$clients" "$out/program-$clients-$round.txt")")
      floor_rates+=("$(rate "$floor_url" "$clients" "$out/floor-$clients-$round.txt")")
    else
      floor_rates+=("$(rate "$floor_url" "$clients" "$out/floor-$clients-$round.txt")")
      program_rates+=("$(rate "$url" "$clients" "$out/program-$clients-$round.txt")")
    fi
  done
  printf 'apache\tfirst visit, %s\treq/s\t%s\t%s\t>=0.90\n' "$label" \
    "$(printf '%s\n' "${program_rates[@]}" | spread)" \
    "$(printf '%s\n' "${floor_rates[@]}" | spread)"
done
