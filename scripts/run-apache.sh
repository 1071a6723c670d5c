#!/usr/bin/env bash
# Serves the built program under Apache on 127.0.0.1, in the foreground.
#
#   scripts/run-apache.sh BUILD_DIR [RUN_DIR]
#
# Lays out RUN_DIR (default BUILD_DIR/run): cgi-bin/ with the program and the
# default site files (cgi-bin/ja/ with the Japanese set), htdocs/ with a demo
# directory to protect, and an Apache configuration of its own. PORT picks the
# port (default 8080; the next free one when it is taken). Ctrl-C stops Apache
# and its children.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:?usage: run-apache.sh BUILD_DIR [RUN_DIR]}" && pwd)"
run="${2:-$build/run}"
program="$build/app/hob-htpasswd.cgi"
[ -x "$program" ] || { echo "run-apache: $program is not built" >&2; exit 1; }

apache=/usr/sbin/apache2
modules=/usr/lib/apache2/modules
[ -x "$apache" ] || { echo "run-apache: Apache is not installed (apt-get install apache2 apache2-utils)" >&2; exit 1; }

port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
port="${PORT:-8080}"
while port_in_use "$port"; do port=$((port + 1)); done

# As root, Apache serves as www-data, which must reach the run directory.
user_lines=""
if [ "$(id -u)" -eq 0 ]; then
  mkdir -p "$run"
  if ! runuser -u www-data -- test -x "$run"; then
    run="/tmp/hob-htpasswd-run"
    echo "run-apache: www-data cannot reach the build directory; serving from $run"
  fi
  user_lines=$'User www-data\nGroup www-data'
fi

rm -rf "$run"
mkdir -p "$run/cgi-bin/ja" "$run/htdocs/demo" "$run/logs"
cp "$program" "$run/cgi-bin/"
cp "$program" "$run/cgi-bin/ja/"
find "$root/site" -maxdepth 1 -type f -exec cp {} "$run/cgi-bin/" \;
cp "$root"/site/ja/* "$run/cgi-bin/ja/"
cat > "$run/htdocs/index.html" <<'EOF'
<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>hob-htpasswd demo</title></head>
<body><h1>hob-htpasswd demo</h1>
<p><a href="/cgi-bin/hob-htpasswd.cgi">The form</a> (<a href="/cgi-bin/ja/hob-htpasswd.cgi">日本語</a>)
&middot; <a href="/demo/">the directory to protect</a></p></body></html>
EOF
cat > "$run/htdocs/demo/index.html" <<'EOF'
<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Protected</title></head>
<body><p>You are in the protected directory.</p></body></html>
EOF
if [ "$(id -u)" -eq 0 ]; then chown -R www-data:www-data "$run/cgi-bin" "$run/htdocs/demo"; fi

cat > "$run/httpd.conf" <<EOF
ServerRoot "$run"
ServerName 127.0.0.1
Listen 127.0.0.1:$port
PidFile "$run/logs/httpd.pid"
DefaultRuntimeDir "$run/logs"
Mutex file:$run/logs default
$user_lines

LoadModule mpm_prefork_module $modules/mod_mpm_prefork.so
LoadModule authz_core_module $modules/mod_authz_core.so
LoadModule authz_user_module $modules/mod_authz_user.so
LoadModule authn_core_module $modules/mod_authn_core.so
LoadModule authn_file_module $modules/mod_authn_file.so
LoadModule auth_basic_module $modules/mod_auth_basic.so
LoadModule alias_module $modules/mod_alias.so
LoadModule mime_module $modules/mod_mime.so
LoadModule dir_module $modules/mod_dir.so
LoadModule cgi_module $modules/mod_cgi.so

StartServers 4
MinSpareServers 4
MaxSpareServers 32
MaxRequestWorkers 64
ErrorLog "$run/logs/error.log"
LogFormat "%h %l %u %t \"%r\" %>s %b" common
CustomLog "$run/logs/access.log" common
TypesConfig /etc/mime.types
DirectoryIndex index.html
AddDefaultCharset UTF-8

DocumentRoot "$run/htdocs"
<Directory />
  AllowOverride None
  Require all denied
</Directory>
<Directory "$run/htdocs">
  AllowOverride AuthConfig
  Require all granted
</Directory>
<Files ".ht*">
  Require all denied
</Files>

ScriptAlias /cgi-bin/ "$run/cgi-bin/"
<Directory "$run/cgi-bin">
  AllowOverride None
  Options +ExecCGI
  Require all granted
  <FilesMatch "^(?!hob-htpasswd\.cgi$)">
    Require all denied
  </FilesMatch>
</Directory>
EOF

echo "Form:                 http://127.0.0.1:$port/cgi-bin/hob-htpasswd.cgi"
echo "Japanese form:        http://127.0.0.1:$port/cgi-bin/ja/hob-htpasswd.cgi"
echo "Directory to protect: $run/htdocs/demo  (served at http://127.0.0.1:$port/demo/)"
echo "Stop with Ctrl-C."
exec "$apache" -f "$run/httpd.conf" -DFOREGROUND
