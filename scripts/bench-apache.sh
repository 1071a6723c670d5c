#!/usr/bin/env bash
# Requests per second for the first-visit page through Apache, beside a
# minimal CGI program that writes the same bytes, served by the same Apache;
# the same for the list of a password file of LIST_USERS (default 10,000)
# users; and bursts of 64 adds at once (MD5 to a file of 100,000 users,
# bcrypt at the shipped cost to one of 10,000), which must all land.
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
#
# and for each burst the adds that landed (target: all 64), the answers
# "busy" and the seconds the burst took.
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

# Requests per second of one wrk run; fails on any unexpected answer. BODY
# and EXPECT, when set, reach the wrk script (bench/form_page.lua).
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
# ROUNDS rounds of the program and the floor at each client count, in turn;
# one row each: the case's name, the target, then the client counts.
rounds_of() {
  local name=$1 target=$2 program_url=$3 floor_target=$4 clients label round
  shift 4
  for clients in "$@"; do
    label="$clients clients"
    if [ "$clients" -eq 1 ]; then label="1 client"; fi
    local program_rates=() floor_rates=()
    for round in $(seq 1 "$rounds"); do
      echo "bench-apache: $name, $label, round $round" >&2
      local p="$out/program-$name-$clients-$round.txt" f="$out/floor-$name-$clients-$round.txt"
      if [ $((round % 2)) -eq 1 ]; then
        program_rates+=("$(rate "$program_url" "$clients" "$p")")
        floor_rates+=("$(rate "$floor_target" "$clients" "$f")")
      else
        floor_rates+=("$(rate "$floor_target" "$clients" "$f")")
        program_rates+=("$(rate "$program_url" "$clients" "$p")")
      fi
    done
    printf 'apache\t%s, %s\treq/s\t%s\t%s\t%s\n' "$name" "$label" \
      "$(printf '%s\n' "${program_rates[@]}" | spread)" \
      "$(printf '%s\n' "${floor_rates[@]}" | spread)" "$target"
  done
}
rounds_of "first visit" ">=0.90" "$url" "$floor_url" 1 4 16

# Password files in the directory the runner lets the program work in,
# owned by the server's user as the program leaves them: users entries
# "u0000000" ... of one real entry's hash (MD5, or bcrypt at the shipped
# cost 10).
demo="$run/htdocs/demo"
password="s3cret-Pass"
users_file() {
  local users=$1 options=$2 hash
  hash=$(htpasswd -nb $options x "$password" | sed -n 's/^x://p')
  awk -v n="$users" -v h="$hash" 'BEGIN { for (i = 0; i < n; i++) printf "u%07d:%s\n", i, h }' \
    > "$demo/.htpasswd"
  chmod 640 "$demo/.htpasswd"
  if [ "$(id -u)" -eq 0 ]; then chown www-data:www-data "$demo/.htpasswd"; fi
}

# The list of a file of LIST_USERS users, beside a floor at cgi-bin/floorlist/
# that answers with the page the program wrote for it.
list_users="${LIST_USERS:-10000}"
users_file "$list_users" -m
list_body="path=$demo&option=l&submit=1"
last_user=$(printf 'u%07d (MD5)' $((list_users - 1)))
list_floor_dir="$run/cgi-bin/floorlist"
mkdir -p "$list_floor_dir"
cp "$floor" "$list_floor_dir/hob-htpasswd.cgi"
{ printf 'Content-type: text/html\n\n'; curl -s -u "$admin" -d "$list_body" "$url"; } \
  > "$list_floor_dir/floor-page.html"
if [ "$(id -u)" -eq 0 ]; then chown -R www-data:www-data "$list_floor_dir"; fi
list_floor_url="${url%/hob-htpasswd.cgi}/floorlist/hob-htpasswd.cgi"
if ! grep -qF "$last_user" "$list_floor_dir/floor-page.html"; then
  echo "bench-apache: the list of $list_users users does not name $last_user" >&2
  exit 1
fi
BODY="$list_body" EXPECT="$last_user" \
  rounds_of "list of $list_users users" ">=0.80" "$url" "$list_floor_url" 16

# A create through the form, which writes the password file and the access
# file and then, with the shipped selfcheck=1, asks Apache whether the demo
# directory now wants a password; beside the same create with selfcheck=0.
# CREATES creates (default 20) each way, alternating; the figure is curl's
# time per request in ms, and every answer must say the file was made (and,
# with the check, that Apache asked for a password).
creates="${CREATES:-20}"
settings="$run/home/en/dat-system.dat"
create_ms() {
  local check=$1 expect=$2
  sed -i "s/^selfcheck=.*/selfcheck=$check/" "$settings"
  curl -s -u "$admin" -o "$out/create-$check.html" -w '%{time_total}\n' \
    -d "path=$demo&user=owner&pass=$password&pass2=$password&type=1&option=c&replace=1&submit=1" \
    "$url" | awk '{ printf "%.3f\n", $1 * 1000 }'
  if ! grep -qF "$expect" "$out/create-$check.html"; then
    echo "bench-apache: a create with selfcheck=$check did not answer \"$expect\"" >&2
    cat "$out/create-$check.html" >&2
    exit 1
  fi
}
checked=() unchecked=()
echo "bench-apache: $creates creates with the check from outside and without" >&2
for i in $(seq 1 "$creates"); do
  if [ $((i % 2)) -eq 1 ]; then
    checked+=("$(create_ms 1 'The directory now asks for a password')")
    unchecked+=("$(create_ms 0 'were written into the access file')")
  else
    unchecked+=("$(create_ms 0 'were written into the access file')")
    checked+=("$(create_ms 1 'The directory now asks for a password')")
  fi
done
sed -i 's/^selfcheck=.*/selfcheck=1/' "$settings"
printf 'apache\tcreate with the check from outside, beside without\twall ms\t%s\t%s\t-\n' \
  "$(printf '%s\n' "${checked[@]}" | spread)" "$(printf '%s\n' "${unchecked[@]}" | spread)"

# A burst of 64 adds of new users at once, with the shipped settings (lock
# wait 10 s): the answers that say the user was added, and those that say
# the server is busy, must be 64 and 0, and the file must hold every user.
burst() {
  local name=$1 users=$2 type=$3 options=$4 i start seconds landed busy entries clients=()
  users_file "$users" "$options"
  rm -f "$out"/burst-*.html
  echo "bench-apache: 64 $name adds at once to $users users" >&2
  start=$(date +%s.%N)
  for i in $(seq 1 64); do
    curl -s -m 120 -u "$admin" -o "$out/burst-$i.html" \
      -d "path=$demo&user=new$i&pass=$password&type=$type&option=a&submit=1" "$url" &
    clients+=($!)
  done
  # Apache is a child of this script too: only the clients are waited for.
  wait "${clients[@]}" || true
  seconds=$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }')
  landed=$(grep -l "was added" "$out"/burst-*.html | wc -l || true)
  busy=$(grep -l "busy with another request" "$out"/burst-*.html | wc -l || true)
  entries=$(grep -c '^new[0-9]*:' "$demo/.htpasswd")
  if [ "$entries" -ne "$landed" ] || [ "$(wc -l < "$demo/.htpasswd")" -ne $((users + landed)) ]; then
    echo "bench-apache: $landed adds were answered, the file holds $entries of them" >&2
    exit 1
  fi
  printf 'apache\t64 %s adds at once, %s users\tlanded\t%s\t-\t-\t64\t-\t-\t>=1.00\n' \
    "$name" "$users" "$landed"
  printf 'apache\t64 %s adds at once, %s users\tbusy\t%s\t-\t-\t-\t-\t-\t-\n' \
    "$name" "$users" "$busy"
  printf 'apache\t64 %s adds at once, %s users\tseconds\t%s\t-\t-\t-\t-\t-\t-\n' \
    "$name" "$users" "$seconds"
}
burst MD5 "${BURST_MD5_USERS:-100000}" 1 -m
burst bcrypt "${BURST_BCRYPT_USERS:-10000}" 3 "-B -C 10"
