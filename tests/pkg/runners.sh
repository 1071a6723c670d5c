#!/usr/bin/env bash
# The three runners behind `make run`, started at once from one build tree
# with a stand-in program that prints its environment: each lays out a run
# directory of its own and serves from it, hands the program the CGI
# variables it needs, and, stopped by Ctrl-C (SIGINT to its process group)
# or by SIGTERM to the runner alone, leaves no process behind, not even one
# running a request at that moment.
#
#   tests/pkg/runners.sh BUILD_DIR
# shellcheck source=tests/pkg/checks.sh
source "$(dirname "$0")/checks.sh"
work="$build/runners-test"
servers=(apache nginx lighttpd)
rm -rf "$work"
mkdir -p "$work/cgi"
chmod 755 "$work" "$work/cgi"
# The stand-in: "?wait" makes it note its process number and sleep.
cat > "$work/cgi/hob-htpasswd.cgi" << 'EOF'
#!/bin/sh
printf 'Content-Type: text/plain\n\n'
if [ "$QUERY_STRING" = wait ]; then
  echo $$ > "$HOB_HTPASSWD_HOME/waiting.pid"
  exec sleep 60
fi
env
EOF
chmod 755 "$work/cgi/hob-htpasswd.cgi"

declare -A pid port password
trap 'for s in "${!pid[@]}"; do kill -TERM -- "-${pid[$s]}" 2> /dev/null || true; done' EXIT
# Starts each server's runner as a shell starts a job: in a process group of
# its own, which Ctrl-C signals, with SIGINT not ignored (as it is for a
# background command without job control). Reads the lines it prints.
set -m
start() {
  local s i=0
  for s in "${servers[@]}"; do
    PORT=$((18380 + 10 * i)) HOB_CGI_DIR="$work/cgi" "$root/scripts/run-$s.sh" "$work" \
      > "$work/$s.txt" 2>&1 &
    pid[$s]=$!
    i=$((i + 1))
  done
  for s in "${servers[@]}"; do
    for _ in $(seq 1 100); do
      port[$s]=$(sed -n 's|^Form: *http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$work/$s.txt")
      password[$s]=$(sed -n 's/^admin password: //p' "$work/$s.txt")
      [ -z "${port[$s]}" ] || ! curl -s -o /dev/null "http://127.0.0.1:${port[$s]}/" || break
      sleep 0.1
    done
  done
}
get() { curl -s -m 5 -u "admin:${password[$1]}" "http://127.0.0.1:${port[$1]}$2"; }

# The processes a runner started, however far down, itself included.
descendants() {
  ps -e -o pid=,ppid= | awk -v top="$1" '
    { parent[$1] = $2 }
    END {
      found[top] = 1
      do {
        grew = 0
        for (p in parent) if (!(p in found) && (parent[p] in found)) { found[p] = 1; grew = 1 }
      } while (grew)
      for (p in found) print p
    }'
}
# Whether process p is alive (a zombie waits only for its parent to reap it).
alive() {
  local state
  state=$(ps -o stat= -p "$1") && [ "${state:0:1}" != Z ]
}
# Whether every process listed in file has ended, within ten seconds.
all_gone() {
  local p
  for _ in $(seq 1 50); do
    while read -r p; do
      if alive "$p"; then
        sleep 0.2
        continue 2
      fi
    done < "$1"
    return 0
  done
  return 1
}

# stop_all SIGNAL TARGET: TARGET "group" signals the runner's process group,
# "runner" the runner alone; each runner is busy with a request meanwhile.
stop_all() {
  local signal=$1 target=$2 s home
  for s in "${servers[@]}"; do
    home="$work/run-$s/home/en"
    curl -s -m 20 -u "admin:${password[$s]}" "http://127.0.0.1:${port[$s]}/cgi-bin/hob-htpasswd.cgi?wait" \
      > /dev/null &
    for _ in $(seq 1 100); do [ -s "$home/waiting.pid" ] && break; sleep 0.1; done
    check "$s: a request is running before the stop" test -s "$home/waiting.pid"
    descendants "${pid[$s]}" > "$work/$s.processes"
    rm -f "$home/waiting.pid"
    if [ "$target" = group ]; then
      kill -"$signal" -- "-${pid[$s]}"
    else
      kill -"$signal" "${pid[$s]}"
    fi
  done
  for s in "${servers[@]}"; do
    check "$s: SIG$signal to the $target leaves none of its $(wc -l < "$work/$s.processes") processes" \
      all_gone "$work/$s.processes"
    wait "${pid[$s]}" 2> /dev/null || true
    unset "pid[$s]"
  done
  wait
}

start
for s in "${servers[@]}"; do
  run="$work/run-$s"
  check "$s: serves from a run directory of its own, run-$s" grep -q "^Directory to protect: $run/htdocs/demo " "$work/$s.txt"
  get "$s" /cgi-bin/ja/hob-htpasswd.cgi > "$work/$s.env"
  check "$s: the program gets DOCUMENT_ROOT, the document root" \
    grep -qx "DOCUMENT_ROOT=$run/htdocs/\?" "$work/$s.env"
  check "$s: and SERVER_ADDR, SERVER_PORT, HTTP_HOST" \
    test "$(grep -E '^(SERVER_ADDR|SERVER_PORT|HTTP_HOST)=' "$work/$s.env" | sort | tr '\n' ' ')" \
    = "HTTP_HOST=127.0.0.1:${port[$s]} SERVER_ADDR=127.0.0.1 SERVER_PORT=${port[$s]} "
  check "$s: and SERVER_SOFTWARE naming the server" \
    grep -qi "^SERVER_SOFTWARE=$s/" "$work/$s.env"
  check "$s: and its Japanese home" grep -qx "HOB_HTPASSWD_HOME=$run/home/ja" "$work/$s.env"
  for lang in en ja; do
    check "$s: the $lang settings name the run's host names and document root" \
      test "$(grep -E '^(hostnames|basedir)=' "$run/home/$lang/dat-system.dat" | tr '\n' ' ')" \
      = "hostnames=127.0.0.1:${port[$s]} localhost:${port[$s]} basedir=$run/htdocs "
  done
done
stop_all INT group
start
stop_all TERM runner
finish
