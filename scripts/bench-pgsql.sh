#!/usr/bin/env bash
# The users in a PostgreSQL table beside the same users in a password file,
# 100,000 of them: add, list and verify through the program
# (bench/store_harness), and one sign-in through Apache (wrk), mod_authn_dbd
# reading the table beside mod_authn_file reading the file.
#
#   scripts/bench-pgsql.sh BUILD_DIR
#
# BUILD_DIR holds the built program, its helper and store_harness. Apache is
# started by run-apache.sh with STORE=pgsql (PORT, default 18780), whose
# private cluster holds the table; the demo directory's .htpasswd holds the
# same users, and a directory beside it, /filedemo/, asks for them through an
# access file. The users are made up (names user000000..., hashes of bcrypt's
# form that no password matches), loaded with COPY; "bench" (MD5) is the one
# the program adds and verifies, "signin" (SHA-1, the cheapest hash, so
# that the lookup is what is measured) the one who signs in, both last in
# the file. wrk runs ROUNDS rounds (default 3) of SECONDS_PER_RUN seconds
# (default 4) per client count, table and file alternating, on kept-alive
# connections. Prints rows in the request harness's format, the file as the
# floor.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:?usage: bench-pgsql.sh BUILD_DIR}" && pwd)"
rounds="${ROUNDS:-3}"
seconds="${SECONDS_PER_RUN:-4}"
users="${USERS:-100000}"
out="$build/bench-out/pgsql"
work="$build/bench-pgsql"
mkdir -p "$out"
rm -rf "$work"
mkdir -p "$work"
chmod 755 "$work"

STORE=pgsql PORT="${PORT:-18780}" setsid "$root/scripts/run-apache.sh" "$build" "$work/run" \
  > "$out/apache.txt" 2>&1 &
apache=$!
trap 'kill -TERM $apache 2> /dev/null; wait $apache 2> /dev/null || true' EXIT
for _ in $(seq 1 300); do
  grep -q '^Stop with' "$out/apache.txt" && break
  kill -0 $apache 2> /dev/null || { cat "$out/apache.txt" >&2; exit 1; }
  sleep 0.1
done
port="$(sed -n 's|^Form: *http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$out/apache.txt")"
run="$(sed -n 's|^Directory to protect: *\([^ ]*\)/htdocs/demo .*|\1|p' "$out/apache.txt")"
dir="$run/htdocs/demo"
psql() { "$root/scripts/pg-cluster.sh" psql "$run/pg" "$@"; }

echo "bench-pgsql: $users users into the file and the table" >&2
python3 - "$users" "$dir" "$work/users.tsv" "$dir/.htpasswd" << 'PY'
import random, sys
count, realm, tsv, htpasswd = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
random.seed(24)
letters = "./ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
with open(tsv, "w") as t, open(htpasswd, "w") as h:
    for i in range(count):
        user = "user%06d" % i
        digest = "$2y$10$" + "".join(random.choice(letters) for _ in range(53))
        t.write("%s\t%s\t%s\n" % (realm, user, digest))
        h.write("%s:%s\n" % (user, digest))
PY
for who in "bench m s3cret-Pass" "signin s signin-Pass"; do
  read -r name type pass <<< "$who"
  entry="$(printf '%s' "$pass" | htpasswd -ni"$type" "$name")"
  echo "$entry" >> "$dir/.htpasswd"
  printf '%s\t%s\t%s\n' "$dir" "$name" "${entry#*:}" >> "$work/users.tsv"
done
psql -c "\\copy hob_users (realm, username, hash) FROM '$work/users.tsv'"
# Vacuumed as the autovacuum leaves a table that has settled: the count
# reads the index alone.
psql -c "VACUUM (ANALYZE) hob_users"
mkdir -p "$run/htdocs/filedemo"
echo "<p>filedemo</p>" > "$run/htdocs/filedemo/index.html"
printf 'AuthType Basic\nAuthName "file"\nAuthUserFile "%s"\nRequire valid-user\n' "$dir/.htpasswd" \
  > "$run/htdocs/filedemo/.htaccess"
if [ "$(id -u)" -eq 0 ]; then chown -R www-data:www-data "$run/htdocs/filedemo" "$dir"; fi

# The program's homes: the run's English site set, the one with the table,
# the other without; any host name.
for home in db file; do
  cp -r "$run/home/en" "$work/$home-home"
  sed -i '/^hostnames=/d' "$work/$home-home/dat-system.dat"
done
sed -i '/^store=/d; /^pgconninfo=/d' "$work/file-home/dat-system.dat"
echo "bench-pgsql: add, list and verify" >&2
label="$(printf '%d' "$users" | sed ':a; s/\([0-9]\)\([0-9]\{3\}\)\($\|,\)/\1,\2\3/; ta') users"
"$build/bench/store_harness" --cgi "$build/app/hob-htpasswd.cgi" --file-home "$work/file-home" \
  --db-home "$work/db-home" --dir "$dir" --label "$label"

# One sign-in, on kept-alive connections: the request is a small static page.
authorization="Authorization: Basic $(printf 'signin:signin-Pass' | base64 -w0)"
rate() {
  wrk -t1 -c"$2" -d"${seconds}s" --timeout 10s -H "$authorization" "http://127.0.0.1:$port$1" \
    > "$3" 2>&1
  if grep -q 'Socket errors\|Non-2xx' "$3"; then
    echo "bench-pgsql: unexpected answers from $1, see $3" >&2
    cat "$3" >&2
    return 1
  fi
  sed -n 's/^Requests\/sec: *//p' "$3"
}
spread() {
  sort -g | awk '{v[NR] = $1} END {
    m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "%.4f\t%.4f\t%.4f", m, v[1], v[NR]
  }'
}
for path in /demo/ /filedemo/; do
  [ "$(curl -s -o /dev/null -w '%{http_code}' -H "$authorization" "http://127.0.0.1:$port$path")" = 200 ] \
    || { echo "bench-pgsql: $path does not admit the user" >&2; exit 1; }
  wrk -t1 -c4 -d2s -H "$authorization" "http://127.0.0.1:$port$path" > /dev/null 2>&1
done
for clients in 1 4; do
  clients_label="$clients clients"
  if [ "$clients" -eq 1 ]; then clients_label="1 client"; fi
  table=()
  file=()
  for round in $(seq 1 "$rounds"); do
    echo "bench-pgsql: Apache sign-in, $clients_label, round $round" >&2
    table+=("$(rate /demo/ "$clients" "$out/table-$clients-$round.txt")")
    file+=("$(rate /filedemo/ "$clients" "$out/file-$clients-$round.txt")")
  done
  printf 'pgsql\tApache sign-in, %s, %s\treq/s\t%s\t%s\t-\n' "$label" "$clients_label" \
    "$(printf '%s\n' "${table[@]}" | spread)" "$(printf '%s\n' "${file[@]}" | spread)"
done
