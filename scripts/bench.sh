#!/usr/bin/env bash
# make bench: builds the benchmarks in a Release tree (build-bench), runs them
# and prints one table: the CGI request figures beside their floors
# (bench/request_harness, scripts/bench-apache.sh), the users in PostgreSQL
# beside the same users in a password file (scripts/bench-pgsql.sh), and the
# converter figures beside iconv, each at least twice as fast
# (bench/kanji_bench: every direction among Shift_JIS, EUC-JP, ISO-2022-JP and
# UTF-8 on Debian's Japanese manual pages, and half-width katakana; the
# arguments are passed to it), then a second table: each action on password
# files of SCALE_SIZES users (default 1,000 to 1,000,000) beside the htpasswd
# command (request_harness --scale, on the tmpfs /dev/shm). What each program
# printed is kept in build-bench/bench-out/.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=build-bench
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DHOB_BENCH=ON -DBUILD_TESTING=OFF \
  -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" > /dev/null
cmake --build "$BUILD" -j"$(nproc)" > /dev/null
out="$BUILD/bench-out"
rows="$out/rows.tsv"
mkdir -p "$out"
load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)

# The request harness works on a tmpfs, so that neither the program nor the
# tool waits for the disk: the floors sync nothing, while the program syncs
# each file it writes and its directory (on a disk that is a few ms more per
# change; bench/README.md gives the figures).
scale_root=/dev/shm
if [ "$(stat -f -c %T "$scale_root" 2>/dev/null)" != tmpfs ]; then
  scale_root=/tmp
  echo "bench: /dev/shm is no tmpfs; the request rows are measured in /tmp" >&2
fi

echo "== request_harness: first visit and submits, whole processes" >&2
"$BUILD/bench/request_harness" --cgi "$BUILD/app/hob-htpasswd.cgi" \
  --floor-page "$BUILD/bench/floor_page" --floor-submit "$BUILD/bench/floor_submit" \
  --site site --work-root "$scale_root" > "$rows"

echo "== request_harness --scale: each action on files of growing size" >&2
"$BUILD/bench/request_harness" --cgi "$BUILD/app/hob-htpasswd.cgi" \
  --floor-page "$BUILD/bench/floor_page" --floor-submit "$BUILD/bench/floor_submit" \
  --site site --scale "${SCALE_SIZES:-1000,10000,100000,1000000}" --work-root "$scale_root" \
  > "$out/scale.tsv"

echo "== bench-apache: first visit, a list and bursts of adds through Apache" >&2
scripts/bench-apache.sh "$BUILD" >> "$rows"

echo "== bench-pgsql: 100,000 users in the table beside the same in a file" >&2
scripts/bench-pgsql.sh "$BUILD" >> "$rows"

echo "== kanji_bench: the converter beside iconv" >&2
# Its real text: Debian's Japanese manual pages (package manpages-ja) in
# every code, written afresh by Python's codecs.
python3 tests/data/kanji/manpages.py "$BUILD/kanji-corpus" > /dev/null
"$BUILD/bench/kanji_bench" --corpus="$BUILD/kanji-corpus" "$@" > "$out/kanji_bench.txt"
# Its summary table: conversion, converter MB/s, iconv MB/s, ratio, the
# converter's and iconv's lowest-highest MB/s, input MB, output MB, peak
# added MB, peak ratio.
awk -F'|' 'NF == 12 && $3 ~ /^ *[0-9.]+ *$/ {
  for (i = 2; i <= 11; i++) gsub(/^ +| +$/, "", $i)
  split($6, ours, "-")
  split($7, theirs, "-")
  printf "converter\t%s\tMB/s\t%s\t%s\t%s\t%s\t%s\t%s\t>=2.00\n", $2, $3, ours[1], ours[2], $4,
    theirs[1], theirs[2]
  printf "converter\t%s\tpeak MB\t%.1f\t-\t-\t%.1f\t-\t-\t-\n", $2, $8 + $10, $8 + $9
}' "$out/kanji_bench.txt" >> "$rows"

echo
echo "Machine: $(nproc) cores, $(sed -n 's/^model name[^:]*: *//p' /proc/cpuinfo | head -1)," \
  "$(free -g | awk '/^Mem:/ {print $2}') GiB, $(uname -sr), glibc $(ldd --version | sed -n '1s/.* //p')," \
  "$(/usr/sbin/apache2 -v 2>/dev/null | sed -n 's/^Server version: *//p'); load average at start $load_at_start"
echo
awk -f scripts/bench-table.awk "$rows"
echo
echo "Each action on password files of growing size (scale files in $scale_root):"
echo
awk -f scripts/bench-scale.awk "$out/scale.tsv"
