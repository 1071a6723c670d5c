#!/usr/bin/env bash
# Builds the Debian package with CPack from the build tree and checks it: its
# name and version, its Depends, its file list against the source tree, the
# Apache configuration marked as a configuration file, and (when lintian is
# installed) that lintian reports no error. As root, it then runs the
# package's maintainer scripts on an unpacked copy (DPKG_ROOT) and checks
# what they make of /var/lib/hob-htpasswd.
#
#   tests/pkg/package.sh BUILD_DIR
# shellcheck source=tests/pkg/checks.sh
source "$(dirname "$0")/checks.sh"
work="$build/package-test"
rm -rf "$work"
mkdir -p "$work"

(cd "$build" && cpack -G DEB -B "$work") > "$work/cpack.log" 2>&1 || cat "$work/cpack.log"
deb="$work/hob-htpasswd_${version}_$(dpkg --print-architecture).deb"
check "the package is named after its version" test -f "$deb"
field() { dpkg-deb -f "$deb" "$1"; }
check "it is version $version" test "$(field Version)" = "$version"
check "it depends on the password tool's package" \
  grep -qx 'apache2-utils\( (.*)\)\?' <(field Depends | tr ',' '\n' | sed 's/^ *//')

# Every file the package must hold, and nothing more.
{
  echo ./usr/lib/cgi-bin/hob-htpasswd.cgi
  site_files "$root/site" | sed 's|^\.|./usr/share/hob-htpasswd/site|'
  echo ./etc/apache2/conf-available/hob-htpasswd.conf
  echo ./usr/share/man/man8/hob-htpasswd.8.gz
  echo ./usr/share/doc/hob-htpasswd/copyright
  echo ./usr/share/doc/hob-htpasswd/changelog.gz
  echo ./usr/share/lintian/overrides/hob-htpasswd
} > "$work/expected"
dpkg-deb -c "$deb" > "$work/contents"
awk '$1 !~ /^d/ {print $6}' "$work/contents" > "$work/files"
check "it holds the program, the site sets, the configuration and the documents" \
  same_lines "$work/expected" "$work/files"
check "the program is executable by all" \
  grep -q '^-rwxr-xr-x root/root .* ./usr/lib/cgi-bin/hob-htpasswd.cgi$' "$work/contents"
dpkg-deb -e "$deb" "$work/control"
check "the Apache configuration is a configuration file" \
  grep -qx /etc/apache2/conf-available/hob-htpasswd.conf "$work/control/conffiles"
if command -v lintian > /dev/null; then
  check "lintian reports no error" lintian --fail-on error "$deb"
else
  echo "skip lintian is not installed"
fi

# The maintainer scripts, run as dpkg runs them, on an unpacked copy.
if [ "$(id -u)" -ne 0 ]; then
  echo "skip the maintainer scripts need root"
  finish
  exit
fi
target="$work/root"
home="$target/var/lib/hob-htpasswd"
dpkg-deb -x "$deb" "$target"
mkdir -p "$target/var/lib"
maint() { DPKG_ROOT="$target" "$work/control/$1" "$2" > /dev/null; }
owned() { test "$(stat -c '%U:%G %a' "$1")" = "$2"; }
maint postinst configure
check "postinst makes the home directory, www-data's, mode 750" owned "$home" "www-data:www-data 750"
check "it copies the default site set there" \
  diff <(site_files "$root/site" | grep -v '^\./ja/') <(site_files "$home")
check "the copies are root's, readable by www-data only" \
  owned "$home/dat-system.dat" "root:www-data 640"

echo "writemode=0" > "$home/dat-system.dat"
rm "$home/templ_info.html" "$home/sys-signature"
ln -s "$work/planted" "$home/sys-signature"
check "configuring again succeeds" maint postinst configure
check "configuring again keeps an edited file" grep -qx writemode=0 "$home/dat-system.dat"
check "it copies a missing file again" cmp -s "$root/site/templ_info.html" "$home/templ_info.html"
check "it follows no link planted in the home directory" \
  test -L "$home/sys-signature" -a ! -e "$work/planted"
check "it leaves no scratch directory" test -z "$(find "$target/var/lib" -maxdepth 1 -name 'hob-htpasswd.*')"
maint postrm remove
check "removing the package keeps the home directory" test -f "$home/dat-system.dat"
maint postrm purge
check "purging deletes it" test ! -e "$home"
finish
