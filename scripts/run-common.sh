# shellcheck shell=bash
# Sourced by run-apache.sh, run-nginx.sh and run-lighttpd.sh, with "$@" the
# runner's arguments BUILD_DIR [RUN_DIR] and $server its server's name.
#
# Lays out RUN_DIR (default BUILD_DIR/run):
#   cgi-bin/       the program, owned by root when run as root: the program
#                  never writes there
#   home/en, ja/   the English and Japanese site sets, the program's
#                  HOB_HTPASSWD_HOME for /cgi-bin/ and /cgi-bin/ja/
#   htdocs/        a start page and the demo directory to protect, /demo/
#   logs/, tmp/    the server's logs and scratch files
# and sets root, build, run, port, cgi (the program's directory), user (the
# user the server and the program run as, empty when not run as root).
#
# PORT picks the port (default 8080; the next free one when it is taken).
# HOB_CGI_DIR serves the program already in that directory, as it stands,
# instead of a copy of the built one; HOB_SITE_DIR names the site set to copy
# (default site/ of the source tree, with its ja/).
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:?usage: run-$server.sh BUILD_DIR [RUN_DIR]}" && pwd)"
mkdir -p "${2:-$build/run}"
run="$(cd "${2:-$build/run}" && pwd)"
site="${HOB_SITE_DIR:-$root/site}"

port_in_use() { (exec 3<> "/dev/tcp/127.0.0.1/$1") 2> /dev/null; }
port="${PORT:-8080}"
while port_in_use "$port"; do port=$((port + 1)); done

# As root, the server and the program run as www-data, which must reach the
# run directory.
user=""
if [ "$(id -u)" -eq 0 ]; then
  user=www-data
  if ! setpriv --reuid=$user --regid=$user --clear-groups test -x "$run"; then
    run="/tmp/hob-htpasswd-$server-run"
    echo "run-$server: $user cannot reach the build directory; serving from $run"
  fi
fi

if [ -n "${HOB_CGI_DIR:-}" ]; then
  cgi="$(cd "$HOB_CGI_DIR" && pwd)"
else
  cgi="$run/cgi-bin"
fi
[ -x "$cgi/hob-htpasswd.cgi" ] || [ -z "${HOB_CGI_DIR:-}" ] \
  || { echo "run-$server: $cgi/hob-htpasswd.cgi is missing" >&2; exit 1; }

rm -rf "$run"
mkdir -p "$run/home/en" "$run/home/ja" "$run/htdocs/demo" "$run/logs" "$run/tmp"
if [ -z "${HOB_CGI_DIR:-}" ]; then
  program="$build/app/hob-htpasswd.cgi"
  [ -x "$program" ] || { echo "run-$server: $program is not built" >&2; exit 1; }
  mkdir -p "$cgi"
  cp "$program" "$cgi/"
fi
# The site sets, without a lock, scratch file or log left where they lie.
for lang in en ja; do
  from="$site"
  [ $lang = en ] || from="$site/$lang"
  find "$from" -maxdepth 1 -type f ! -name lockfile.lock ! -name tmp.htpasswd ! -name '*.log' \
    -exec cp {} "$run/home/$lang/" \;
done
cat > "$run/htdocs/index.html" << 'EOF'
<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>hob-htpasswd demo</title></head>
<body><h1>hob-htpasswd demo</h1>
<p><a href="/cgi-bin/hob-htpasswd.cgi">The form</a> (<a href="/cgi-bin/ja/hob-htpasswd.cgi">日本語</a>)
&middot; <a href="/demo/">the directory to protect</a></p></body></html>
EOF
cat > "$run/htdocs/demo/index.html" << 'EOF'
<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Protected</title></head>
<body><p>You are in the protected directory.</p></body></html>
EOF
if [ -n "$user" ]; then
  chown -R "$user:$user" "$run/home" "$run/htdocs/demo" "$run/tmp"
  if [ -z "${HOB_CGI_DIR:-}" ]; then chown -R root:root "$cgi"; fi
  setpriv --reuid=$user --regid=$user --clear-groups test -x "$cgi/hob-htpasswd.cgi" \
    || { echo "run-$server: $user cannot run $cgi/hob-htpasswd.cgi" >&2; exit 1; }
fi

# The lines the browser tests and the benchmarks read.
print_urls() {
  echo "Server:               $server"
  echo "Form:                 http://127.0.0.1:$port/cgi-bin/hob-htpasswd.cgi"
  echo "Japanese form:        http://127.0.0.1:$port/cgi-bin/ja/hob-htpasswd.cgi"
  echo "Directory to protect: $run/htdocs/demo  (served at http://127.0.0.1:$port/demo/)"
  echo "Stop with Ctrl-C."
}
