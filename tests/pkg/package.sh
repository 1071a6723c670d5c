#!/usr/bin/env bash
# Builds the Debian package with CPack from the build tree and checks it: its
# name and version, its Depends, its file list against the source tree, its
# settings, the Apache configuration marked as a configuration file, and
# (when lintian is installed) that lintian reports no error. As root, it
# then runs the package's maintainer scripts on an unpacked copy (DPKG_ROOT)
# and checks what they make of /var/lib/hob-htpasswd and /etc/hob-htpasswd,
# also while the web server's user races them with links.
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
depends() { grep -qx "$1\\( (.*)\\)\\?" <(field Depends | tr ',' '\n' | sed 's/^ *//'); }
check "it depends on the password tool's package and on curl" depends apache2-utils && depends curl
check "it recommends libpq5, which the database helper loads" \
  grep -qx libpq5 <(field Recommends | tr ',' '\n' | sed 's/^ *//')

# Every file the package must hold, and nothing more.
{
  echo ./usr/lib/cgi-bin/hob-htpasswd.cgi
  echo ./usr/lib/hob-htpasswd/hob-htpasswd-pg
  site_files "$root/site" | sed 's|^\.|./usr/share/hob-htpasswd/site|'
  echo ./etc/apache2/conf-available/hob-htpasswd.conf
  echo ./usr/share/man/man8/hob-htpasswd.8.gz
  echo ./usr/share/doc/hob-htpasswd/copyright
  echo ./usr/share/doc/hob-htpasswd/changelog.gz
  echo ./usr/share/doc/hob-htpasswd/README.md.gz
  echo ./usr/share/lintian/overrides/hob-htpasswd
} > "$work/expected"
dpkg-deb -c "$deb" > "$work/contents"
awk '$1 !~ /^d/ {print $6}' "$work/contents" > "$work/files"
check "it holds the program, the site sets, the configuration and the documents" \
  same_lines "$work/expected" "$work/files"
check "the program is executable by all" \
  grep -q '^-rwxr-xr-x root/root .* ./usr/lib/cgi-bin/hob-htpasswd.cgi$' "$work/contents"
shipped="$work/shipped"
dpkg-deb -x "$deb" "$shipped"
for set in "" ja/; do
  check "its ${set:-en/}dat-system.dat is the source's, confined to /var/www" \
    extends "$root/site/${set}dat-system.dat" \
    "$shipped/usr/share/hob-htpasswd/site/${set}dat-system.dat" basedir=/var/www
done
check "its README is the source's" cmp -s "$root/README.md" \
  <(gzip -dc "$shipped/usr/share/doc/hob-htpasswd/README.md.gz")
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
admin="$target/etc/hob-htpasswd"
dpkg-deb -x "$deb" "$target"
mkdir -p "$target/var/lib"
maint() { DPKG_ROOT="$target" "$work/control/$1" "$2" > /dev/null; }
owned() { test "$(stat -c '%U:%G %a' "$1")" = "$2"; }
as_www() { setpriv --reuid=www-data --regid=www-data --clear-groups "$@"; }
fqdn=$(hostname --fqdn 2> /dev/null || hostname)
hostnames="hostnames=$fqdn localhost"
[ "$fqdn" != localhost ] || hostnames=hostnames=localhost
maint postinst configure
check "postinst makes the home directory, www-data's, mode 750" owned "$home" "www-data:www-data 750"
check "and /etc/hob-htpasswd, root's, group www-data, mode 750" owned "$admin" "root:www-data 750"
check "it copies the default site set there" \
  diff <(site_files "$root/site" | grep -v '^\./ja/') <(site_files "$home")
check "the copies are root's, readable by www-data only" \
  owned "$home/dat-system.dat" "root:www-data 640"
shipped_settings="$target/usr/share/hob-htpasswd/site/dat-system.dat"
check "the copied settings name this machine and localhost as the host names" \
  extends "$shipped_settings" "$home/dat-system.dat" "$hostnames"

echo "writemode=0" > "$home/dat-system.dat"
rm "$home/templ_info.html" "$home/sys-signature"
ln -s "$work/planted" "$home/sys-signature"
check "configuring again succeeds" maint postinst configure
check "configuring again keeps an edited file, adding the host names it lacks" \
  test "$(grep -v '^#' "$home/dat-system.dat")" = "writemode=0"$'\n'"$hostnames"
check "the settings stay root's, readable by www-data only" \
  owned "$home/dat-system.dat" "root:www-data 640"
printf 'writemode=0\nhostnames=example.org\n' > "$home/dat-system.dat"
maint postinst configure
check "settings that name host names are kept as they are" \
  test "$(cat "$home/dat-system.dat")" = $'writemode=0\nhostnames=example.org'
check "it copies a missing file again" cmp -s "$root/site/templ_info.html" "$home/templ_info.html"
check "it follows no link planted in the home directory" \
  test -L "$home/sys-signature" -a ! -e "$work/planted"
echo "secret-line" > "$work/secret"
chmod 600 "$work/secret"
rm "$home/dat-system.dat"
ln -s "$work/secret" "$home/dat-system.dat"
maint postinst configure
check "it shows www-data nothing through a link planted as the settings" \
  test -z "$(grep -rl secret-line "$home")"
check "it leaves no scratch directory" test -z "$(find "$target/var/lib" -maxdepth 1 -name 'hob-htpasswd.*')"

# While postinst runs twice, www-data keeps planting links to a directory
# only root may write at every name postinst moves a file to, and removing
# them (and whatever postinst put there), so that each name holds a link
# half of the time. Nothing may land in that directory.
vault="$work/vault"
mkdir -m 700 "$vault"
rm -f "$work/race-over"
mapfile -t names < <(cd "$target/usr/share/hob-htpasswd/site" && find . -maxdepth 1 -type f -printf '%f\n')
# shellcheck disable=SC2016 # the racer's own script
as_www perl -e '
  my ($over, $vault, $home, @names) = @ARGV;
  my $end = time + 60;
  while (!-e $over && time < $end) {
    symlink $vault, "$home/$_" for @names;
    unlink "$home/$_" for @names;
  }' "$work/race-over" "$vault" "$home" "${names[@]}" &
racer=$!
raced=0
maint postinst configure && maint postinst configure || raced=$?
touch "$work/race-over"
wait $racer
check "postinst succeeds while www-data races it" test $raced -eq 0
check "nothing lands in a directory only root may write" test -z "$(ls -A "$vault")"

maint postrm remove
check "removing the package keeps the home directory" test -d "$home"
mkdir -p "$admin"
htpasswd -cbB "$admin/admin.htpasswd" admin admin-pw 2> /dev/null
maint postrm purge
check "purging deletes it" test ! -e "$home"
check "and /etc/hob-htpasswd with the administrators' password file" test ! -e "$admin"
mkdir -p "$admin"
touch "$admin/admin.htpasswd" "$admin/notes"
maint postrm purge
check "but keeps a file of an administrator's own there" \
  test "$(ls -A "$admin")" = notes
finish
