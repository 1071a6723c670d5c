#!/usr/bin/env bash
# Runs the browser test under one web server: starts it with the built
# program (as `make run` does, on a free port), checks that the program asks
# for the printed admin password and refuses a Host it does not know, runs
# tests/e2e/e2e.mjs and load.mjs against it with that password, checks that
# no password, access or lock file is served, and stops the server.
#
#   scripts/e2e.sh BUILD_DIR [SERVER [RUN_DIR]]
#
# SERVER is apache (the default), nginx or lighttpd; RUN_DIR defaults to
# BUILD_DIR/run-e2e-SERVER, and what the tests leave (screenshots, shown
# entries, the server's output) goes to RUN_DIR-out. HOB_CGI_DIR and
# HOB_SITE_DIR are handed to the runner (see run-common.sh); HOB_E2E_LOAD=0
# leaves out the load test.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:?usage: e2e.sh BUILD_DIR [SERVER [RUN_DIR]]}" && pwd)"
server="${2:-apache}"
run="${3:-$build/run-e2e-$server}"
out="$run-out"
rm -rf "$out"
mkdir -p "$out"
# Apache reads the access file the program writes into the demo directory;
# nginx and lighttpd protect it by their own configuration.
demo_auth=server
if [ "$server" = apache ]; then demo_auth=htaccess; fi

# A server in the foreground may signal its whole process group when it
# stops, so it gets a session of its own, away from ctest and make; stopping
# that session's process group stops everything the server started.
PORT="${PORT:-18080}" setsid "$root/scripts/run-$server.sh" "$build" "$run" > "$out/server.txt" 2>&1 &
server_pid=$!
trap 'kill -TERM -- -$server_pid 2>/dev/null; wait $server_pid 2>/dev/null || true' EXIT

url=""
for _ in $(seq 1 100); do
  url=$(sed -n 's/^Form: *//p' "$out/server.txt")
  demo=$(sed -n 's/^Directory to protect: *\([^ ]*\).*/\1/p' "$out/server.txt")
  open=$(sed -n 's/^Unprotected directory: *\([^ ]*\).*/\1/p' "$out/server.txt")
  rewrite=$(sed -n 's/^Directory with its own .htaccess: *\([^ ]*\).*/\1/p' "$out/server.txt")
  fileinfo=$(sed -n 's/^Directory without AuthConfig: *\([^ ]*\).*/\1/p' "$out/server.txt")
  admin_password=$(sed -n 's/^admin password: //p' "$out/server.txt")
  if [ -n "$url" ] && curl -s -o /dev/null "$url" 2> /dev/null; then break; fi
  if ! kill -0 $server_pid 2> /dev/null; then cat "$out/server.txt" >&2; exit 1; fi
  sleep 0.1
done
[ -n "$url" ] || { echo "e2e: $server did not start" >&2; cat "$out/server.txt" >&2; exit 1; }
echo "e2e: $server at $url"

# No .ht file is served, to a visitor with or without a valid password,
# however the URL spells its name. The demo directory gets a password file
# of its own for the check, an access file where the server reads one, and
# the lock file the program keeps beside the password file.
ht_files_hidden() {
  local base="${url%%/cgi-bin/*}/demo" body="$out/ht-body" status=0 path auth code
  htpasswd -cb "$demo/.htpasswd" probe probe-pw 2> /dev/null
  printf 'AuthType Basic\nAuthName demo\nAuthUserFile "%s"\nRequire valid-user\n' \
    "$demo/.htpasswd" > "$demo/.htaccess"
  touch "$demo/.htpasswd.lock"
  chmod 644 "$demo/.htpasswd" "$demo/.htaccess" "$demo/.htpasswd.lock"
  code=$(curl -s -o /dev/null -w '%{http_code}' -u probe:probe-pw "$base/")
  if [ "$code" != 200 ]; then
    echo "FAIL the demo directory lets the probe user in: $code"
    status=1
  fi
  for path in .htpasswd .htaccess .htpasswd.lock %2ehtpasswd .%68tpasswd ./.htpasswd /.htpasswd; do
    for auth in "" probe:probe-pw; do
      code=$(curl -s --path-as-is -o "$body" -w '%{http_code}' ${auth:+-u "$auth"} "$base/$path")
      if [ "$code" = 200 ] || grep -q probe "$body"; then
        echo "FAIL /demo/$path is served${auth:+ to a signed-in visitor}: $code"
        status=1
      fi
    done
  done
  rm -f "$demo/.htpasswd" "$demo/.htaccess" "$demo/.htpasswd.lock"
  if [ $status -eq 0 ]; then echo "ok   no .ht file is served"; fi
  return $status
}

# The program's URLs answer only to the printed admin password.
form_needs_password() {
  local form status=0 codes
  for form in "$url" "${url%/hob-htpasswd.cgi}/ja/hob-htpasswd.cgi"; do
    codes=$(curl -s -o /dev/null -w '%{http_code}' "$form")
    codes+=" $(curl -s -o /dev/null -w '%{http_code}' -u admin:wrong "$form")"
    codes+=" $(curl -s -o /dev/null -w '%{http_code}' -u "admin:$admin_password" "$form")"
    if [ "$codes" != "401 401 200" ]; then
      echo "FAIL $form without, with a wrong and with the printed password: $codes"
      status=1
    fi
  done
  if [ $status -eq 0 ]; then echo "ok   the forms answer 401 without the printed admin password"; fi
  return $status
}

# A page at a name that resolves to this server (DNS rebinding) sends that
# name as Host: the program refuses it, even the first visit, and writes
# nothing.
rebinding_refused() {
  local port="${url#http://127.0.0.1:}" body="$out/rebind-body" status=0 refusal
  port="${port%%/*}"
  refusal=$(sed -n 's/^msg12=//p' "$root/site/dat-message.dat")
  curl -s -o "$body" -u "admin:$admin_password" -H "Host: rebind.test:$port" "$url"
  if ! grep -qF "$refusal" "$body"; then
    echo "FAIL a first visit with Host rebind.test:$port is not refused"
    status=1
  fi
  curl -s -o "$body" -u "admin:$admin_password" -H "Host: rebind.test:$port" \
    --data-urlencode "path=$open" -d 'user=mallory&pass=mallory-password&type=1&option=c&submit=Run' \
    "$url"
  if ! grep -qF "$refusal" "$body" || [ -e "$open/.htpasswd" ]; then
    echo "FAIL a create with Host rebind.test:$port is not refused"
    status=1
  fi
  rm -f "$open/.htpasswd"
  if [ $status -eq 0 ]; then echo "ok   a Host the settings do not name is refused"; fi
  return $status
}

status=0
form_needs_password || status=1
rebinding_refused || status=1
# The English site set, the program's working directory, lies beside htdocs.
export HOB_SERVER="$server" HOB_DEMO_AUTH="$demo_auth" HOB_FORM_URL="$url" HOB_DEMO_DIR="$demo"
export HOB_OPEN_DIR="$open" HOB_REWRITE_DIR="$rewrite" HOB_FILEINFO_DIR="$fileinfo"
export HOB_ADMIN_USER=admin HOB_ADMIN_PASSWORD="$admin_password"
export HOB_HOME_DIR="${demo%/htdocs/demo}/home/en"
# Each part says how long it took, the figure to watch as the tests grow.
SECONDS=0
HOB_OUT_DIR="$out" node "$root/tests/e2e/e2e.mjs" || status=1
echo "e2e: the browser session took $SECONDS s"
if [ "${HOB_E2E_LOAD:-1}" != 0 ]; then
  SECONDS=0
  node "$root/tests/e2e/load.mjs" || status=1
  echo "e2e: the load test took $SECONDS s"
fi
ht_files_hidden || status=1
exit $status
