#!/usr/bin/env bash
# Installs the build as an administrator does, with DESTDIR and a prefix,
# into a tree the web server cannot write; checks what went where; serves the
# installed program from there under Apache with HOB_HTPASSWD_HOME naming a
# writable copy of the installed site set, runs the browser test against it
# and checks that the installed tree was not written. Then serves it behind
# the installed Apache configuration and checks that only the administrators
# it names get the form.
#
#   tests/pkg/install.sh BUILD_DIR
# shellcheck source=tests/pkg/checks.sh
source "$(dirname "$0")/checks.sh"
work="$build/install-test"
stage="$work/stage"
prefix=/usr
cgi="$stage$prefix/lib/cgi-bin"
share="$stage$prefix/share/hob-htpasswd/site"
conf="$stage/etc/apache2/conf-available/hob-htpasswd.conf"
[ -d "$work" ] && chmod -R u+w "$work"
rm -rf "$work"
mkdir -p "$work"

DESTDIR="$stage" cmake --install "$build" --prefix "$prefix" > "$work/install.log"
check "the program is installed to lib/cgi-bin" test -x "$cgi/hob-htpasswd.cgi"
check "its database helper to lib/hob-htpasswd, where the program looks for it" \
  test -x "$cgi/../hob-htpasswd/hob-htpasswd-pg"
check "the site sets are installed as they stand in the source, but for the settings" \
  diff -r -x lockfile.lock -x tmp.htpasswd -x '*.log' -x dat-system.dat "$root/site" "$share"
for set in "" ja/; do
  check "the ${set:-en/}settings are the source's, confined to /var/www" \
    extends "$root/site/${set}dat-system.dat" "$share/${set}dat-system.dat" basedir=/var/www
done
check "the man page is installed" test -s "$stage$prefix/share/man/man8/hob-htpasswd.8.gz"
check "the Apache configuration names the installed program's directory" \
  grep -q "<Directory \"$prefix/lib/cgi-bin\">" "$conf"
check "the signatures carry the version $version" \
  grep -q " $version " "$share/sys-signature" "$share/ja/sys-signature"

# Nobody may write the installed tree; as root, the server runs as www-data.
apache=""
trap '[ -z "$apache" ] || { kill -TERM $apache; wait $apache; } 2>/dev/null; chmod -R u+w "$stage"' EXIT
chmod -R a-w "$stage"
listing() { (cd "$stage" && find . -printf '%p %s %m %u %T@\n' | sort); }
listing > "$work/before"
e2e=0
HOB_E2E_LOAD=0 HOB_CGI_DIR="$cgi" HOB_SITE_DIR="$share" PORT=18180 \
  "$root/scripts/e2e.sh" "$build" apache "$work/run" > "$work/e2e.log" 2>&1 || e2e=$?
[ $e2e -eq 0 ] || cat "$work/e2e.log"
check "the browser test passes with the installed program" test $e2e -eq 0
listing > "$work/after"
check "the installed tree is not written" diff "$work/before" "$work/after"

# Behind the installed configuration, as Debian's Apache serves /cgi-bin/,
# its paths moved into the test's directory.
home="$work/home"
admin="$work/admin"
mkdir -p "$home" "$admin"
cp "$share"/* "$home/" 2> /dev/null || true
htpasswd -cbB "$admin/admin.htpasswd" admin admin-pw 2> /dev/null
chmod 644 "$admin/admin.htpasswd"
[ "$(id -u)" -ne 0 ] || chown -R www-data:www-data "$home"
sed -e "s|\"$prefix/lib/cgi-bin\"|\"$cgi\"|" -e "s|/var/lib/hob-htpasswd|$home|g" \
  -e "s|/etc/hob-htpasswd|$admin|g" "$conf" > "$work/hob-htpasswd.conf"
port=18190
while (exec 3<> "/dev/tcp/127.0.0.1/$port") 2> /dev/null; do port=$((port + 1)); done
user_lines=""
[ "$(id -u)" -ne 0 ] || user_lines=$'User www-data\nGroup www-data'
modules=/usr/lib/apache2/modules
cat > "$work/httpd.conf" << EOF
ServerRoot "$work"
ServerName 127.0.0.1
Listen 127.0.0.1:$port
PidFile "$work/httpd.pid"
DefaultRuntimeDir "$work"
ErrorLog "$work/error.log"
$user_lines
$(for m in mpm_prefork authz_core authz_user authn_core authn_file auth_basic alias env cgi; do
  echo "LoadModule ${m}_module $modules/mod_$m.so"
done)
<Directory />
  Require all denied
</Directory>
ScriptAlias /cgi-bin/ "$cgi/"
<Directory "$cgi">
  Options +ExecCGI
  Require all granted
</Directory>
Include "$work/hob-htpasswd.conf"
EOF
setsid /usr/sbin/apache2 -f "$work/httpd.conf" -DFOREGROUND > "$work/apache.txt" 2>&1 &
apache=$!
base="http://127.0.0.1:$port/cgi-bin"
for _ in $(seq 1 100); do
  curl -s -o /dev/null "$base/" && break
  sleep 0.1
done
status() { curl -s -o "$work/body" -w '%{http_code}' --path-as-is "$@"; }
check "without a password the program is refused" test "$(status "$base/hob-htpasswd.cgi")" = 401
check "with a wrong password it is refused" \
  test "$(status -u admin:wrong "$base/hob-htpasswd.cgi")" = 401
check "behind other spellings of its URL it is refused" \
  test "$(status "$base/hob%2Dhtpasswd.cgi")$(status "$base/./hob-htpasswd.cgi/x")" = 401401
check "an administrator gets the form from the configured home" \
  test "$(status -u admin:admin-pw "$base/hob-htpasswd.cgi")" = 200
check "the form page is the installed one" grep -q 'name="submit"' "$work/body"
finish
