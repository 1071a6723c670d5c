# shellcheck shell=bash
# Sourced by run-apache.sh, run-nginx.sh and run-lighttpd.sh, with "$@" the
# runner's arguments BUILD_DIR [RUN_DIR] and $server its server's name.
#
# Lays out RUN_DIR (default BUILD_DIR/run-SERVER, so that runners of the
# three servers never share one):
#   cgi-bin/       the program, owned by root when run as root: the program
#                  never writes there
#   hob-htpasswd/  its database helper, where the program looks for it
#   home/en, ja/   the English and Japanese site sets, the program's
#                  HOB_HTPASSWD_HOME for /cgi-bin/ and /cgi-bin/ja/; their
#                  dat-system.dat gets the run's hostnames and basedir
#   admin/         admin.htpasswd: the one user "admin", with a new random
#                  password each run, whom the server asks for before it runs
#                  the program
#   htdocs/        the document root: a start page, the demo directory to
#                  protect (/demo/) and a directory the runner's server does
#                  not protect (/open/), both writable by the program (a
#                  runner may add more, see served_dir)
#   logs/, tmp/    the server's logs and scratch files
#   pg/            with STORE=pgsql: a private PostgreSQL cluster (its data,
#                  log and socket), run as the server's user, which keeps the
#                  users in the table hob_users; the site sets name it
#                  (store, pgconninfo) and the server reads the users of the
#                  demo directory from it
# and sets root, build, run, port, cgi (the program's directory), user (the
# user the server and the program run as, empty when not run as root),
# admin_file, admin_password, and db_conninfo and db_realm_sql (the demo
# directory as an SQL literal) with STORE=pgsql, else empty. A runner ends
# with serve COMMAND..., which runs the server and stops the cluster after
# it.
#
# PORT picks the port (default 8080; the next free one when it is taken).
# HOB_CGI_DIR serves the program already in that directory, as it stands,
# instead of a copy of the built one (its helper in ../hob-htpasswd/);
# HOB_SITE_DIR names the site set to copy (default site/ of the source tree,
# with its ja/). STORE=pgsql keeps the users in PostgreSQL (Apache and
# lighttpd; nginx has no SQL backend).
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:?usage: run-$server.sh BUILD_DIR [RUN_DIR]}" && pwd -P)"
mkdir -p "${2:-$build/run-$server}"
run="$(cd "${2:-$build/run-$server}" && pwd -P)"
site="${HOB_SITE_DIR:-$root/site}"

port_in_use() { (exec 3<> "/dev/tcp/127.0.0.1/$1") 2> /dev/null; }
port="${PORT:-8080}"
while port_in_use "$port"; do port=$((port + 1)); done

# As root, the server and the program run as www-data, which must reach the
# run directory; else it moves to /tmp, under a name of its own for each run
# directory asked for.
user=""
if [ "$(id -u)" -eq 0 ]; then
  user=www-data
  if ! setpriv --reuid=$user --regid=$user --clear-groups test -x "$run"; then
    from="$run"
    run="/tmp/hob-htpasswd-${run##*/}-$(printf '%s' "$run" | cksum | cut -d' ' -f1)"
    echo "run-$server: $user cannot reach $from; serving from $run"
  fi
fi

if [ -n "${HOB_CGI_DIR:-}" ]; then
  cgi="$(cd "$HOB_CGI_DIR" && pwd -P)"
else
  cgi="$run/cgi-bin"
fi
[ -x "$cgi/hob-htpasswd.cgi" ] || [ -z "${HOB_CGI_DIR:-}" ] \
  || { echo "run-$server: $cgi/hob-htpasswd.cgi is missing" >&2; exit 1; }

# Made anew, without -p: a link or directory that someone else planted at the
# name in the meantime stops the runner instead of being used.
rm -rf "$run"
mkdir "$run"
mkdir -p "$run/home/en" "$run/home/ja" "$run/admin" "$run/htdocs" "$run/logs" "$run/tmp"
if [ -z "${HOB_CGI_DIR:-}" ]; then
  program="$build/app/hob-htpasswd.cgi"
  [ -x "$program" ] || { echo "run-$server: $program is not built" >&2; exit 1; }
  mkdir -p "$cgi" "$run/hob-htpasswd"
  cp "$program" "$cgi/"
  cp "$build/hob-htpasswd/hob-htpasswd-pg" "$run/hob-htpasswd/"
fi

# The site sets, without a lock, scratch file or log left where they lie,
# with the settings of this run: the host names the browser may use for the
# server, and the document root as the one place the program may work in.
# Values are percent-encoded in that file ("+" reads as a blank).
setting() { printf '%s' "$1" | sed 's/%/%25/g; s/+/%2B/g'; }
for lang in en ja; do
  from="$site"
  [ $lang = en ] || from="$site/$lang"
  find "$from" -maxdepth 1 -type f ! -name lockfile.lock ! -name tmp.htpasswd ! -name '*.log' \
    -exec cp {} "$run/home/$lang/" \;
  settings="$run/home/$lang/dat-system.dat"
  sed -i '/^hostnames=/d; /^basedir=/d' "$settings"
  [ -z "$(tail -c 1 "$settings")" ] || echo >> "$settings"
  {
    echo "# Written by run-$server.sh for this run."
    echo "hostnames=127.0.0.1:$port localhost:$port"
    echo "basedir=$(setting "$run/htdocs")"
  } >> "$settings"
done

# The password the server asks for before it runs the program. Anyone who
# can open the form can write password files wherever the program may, so
# it is never served without one. The password is random and long, so the
# file keeps it in the quick APR1-MD5 form that every server checks on each
# request without a slow hash's cost.
admin_file="$run/admin/admin.htpasswd"
admin_password="$(head -c 18 /dev/urandom | base64 | tr '+/' '-_')"
printf '%s' "$admin_password" | htpasswd -ci -m "$admin_file" admin 2> /dev/null

cat > "$run/htdocs/index.html" << 'HTML'
<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>hob-htpasswd demo</title></head>
<body><h1>hob-htpasswd demo</h1>
<p><a href="/cgi-bin/hob-htpasswd.cgi">The form</a> (<a href="/cgi-bin/ja/hob-htpasswd.cgi">日本語</a>)
&middot; <a href="/demo/">the directory to protect</a>
&middot; <a href="/open/">a directory the server does not protect</a></p></body></html>
HTML
# served_dir NAME: htdocs/NAME with a page of its own, which the program may
# write (a runner adds its own directories this way).
served_dir() {
  mkdir -p "$run/htdocs/$1"
  cat > "$run/htdocs/$1/index.html" << HTML
<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>/$1/</title></head>
<body><p>You are in /$1/.</p></body></html>
HTML
  if [ -n "$user" ]; then chown -R "$user:$user" "$run/htdocs/$1"; fi
}
served_dir demo
served_dir open
if [ -n "$user" ]; then
  chown -R "$user:$user" "$run/home" "$run/tmp"
  chown -R root:"$user" "$run/admin"
  chmod 750 "$run/admin"
  chmod 640 "$admin_file"
  if [ -z "${HOB_CGI_DIR:-}" ]; then chown -R root:root "$cgi" "$run/hob-htpasswd"; fi
  setpriv --reuid=$user --regid=$user --clear-groups test -x "$cgi/hob-htpasswd.cgi" \
    || { echo "run-$server: $user cannot run $cgi/hob-htpasswd.cgi" >&2; exit 1; }
fi

# STORE=pgsql: the cluster, the table (the servers prepare their query when
# they connect, so it must be there before them) and the settings.
db_conninfo=""
db_realm_sql=""
if [ "${STORE:-file}" = pgsql ]; then
  [ "$server" != nginx ] || { echo "run-nginx: nginx has no SQL backend for Basic authentication; use STORE=pgsql with Apache or lighttpd" >&2; exit 1; }
  db_conninfo="$("$root/scripts/pg-cluster.sh" start "$run/pg" "${user:-nobody}")"
  "$root/scripts/pg-cluster.sh" psql "$run/pg" -c 'CREATE TABLE IF NOT EXISTS hob_users (realm text,
    username text, hash text, changed timestamptz DEFAULT now(), PRIMARY KEY (realm, username))'
  realm="$run/htdocs/demo"
  db_realm_sql="'${realm//"'"/"''"}'"
  for lang in en ja; do
    printf 'store=pgsql\npgconninfo=%s\n' "$(setting "$db_conninfo")" >> "$run/home/$lang/dat-system.dat"
  done
elif [ "${STORE:-file}" != file ]; then
  echo "run-$server: STORE is file or pgsql" >&2
  exit 1
fi

# Runs the server's command in the foreground until it ends or the runner
# is stopped; the cluster of the run, if any, is stopped after it.
serve() {
  if [ -z "$db_conninfo" ]; then exec "$@"; fi
  "$@" &
  served=$!
  # Apache stopping signals its whole process group, this runner included.
  trap 'trap - EXIT; trap "" INT TERM HUP; kill -TERM $served 2> /dev/null || true
        wait $served 2> /dev/null || true; "$root/scripts/pg-cluster.sh" stop "$run/pg" || true' EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  trap 'exit 129' HUP
  wait $served || true
}

# The lines the browser tests and the benchmarks read, with the runner's own
# (more_lines) before the last.
more_lines=()
print_urls() {
  echo "Server:               $server"
  echo "Form:                 http://127.0.0.1:$port/cgi-bin/hob-htpasswd.cgi"
  echo "Japanese form:        http://127.0.0.1:$port/cgi-bin/ja/hob-htpasswd.cgi"
  echo "admin password: $admin_password"
  echo "Directory to protect: $run/htdocs/demo  (served at http://127.0.0.1:$port/demo/)"
  echo "Unprotected directory: $run/htdocs/open  (served at http://127.0.0.1:$port/open/)"
  local line
  for line in "${more_lines[@]}"; do echo "$line"; done
  if [ -n "$db_conninfo" ]; then echo "Database: $db_conninfo  (table hob_users)"; fi
  echo "Stop with Ctrl-C."
}
