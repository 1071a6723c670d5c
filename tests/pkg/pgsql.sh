#!/usr/bin/env bash
# A fleet that reads its users from PostgreSQL. Apache A is the runner's
# (make run STORE=pgsql: a private cluster in its run directory, mod_authn_dbd
# for the demo directory); Apache B, a second server of the same site on
# another port, is configured with nothing but the server text the form
# shows. Users added, changed and deleted through A's form are admitted and
# refused by both; list and verify answer from the table; 64 parallel adds
# all land; a database stopped in the middle of a create leaves every user
# as it was; directories and user names holding quotes, semicolons and
# comment dashes are stored and found as plain data. Then lighttpd, the
# runner's and a second one configured from its form's text, admits a user
# added through the form, and nginx is told it has no SQL backend. Every
# server and cluster is stopped and removed at the end.
#
#   tests/pkg/pgsql.sh BUILD_DIR
# shellcheck source=tests/pkg/checks.sh
source "$(dirname "$0")/checks.sh"
work="$build/pgsql-test"
cluster="$root/scripts/pg-cluster.sh"
rm -rf "$work"
mkdir -p "$work"
chmod 755 "$work"
as_root=$([ "$(id -u)" -eq 0 ] && echo 1 || echo "")

declare -A pid
stop_everything() {
  local s
  for s in "${!pid[@]}"; do kill -TERM "${pid[$s]}" 2> /dev/null || true; done
  for s in "${!pid[@]}"; do wait "${pid[$s]}" 2> /dev/null || true; done
  [ ! -f "$work/b/httpd.pid" ] || kill -TERM "$(cat "$work/b/httpd.pid")" 2> /dev/null || true
  [ ! -f "$work/lb/pid" ] || kill -TERM "$(cat "$work/lb/pid")" 2> /dev/null || true
}
trap stop_everything EXIT

# A free port from $1 up: other servers may be running on this machine.
free_port() {
  local port=$1
  while (exec 3<> "/dev/tcp/127.0.0.1/$port") 2> /dev/null; do port=$((port + 1)); done
  echo "$port"
}

# start_runner SERVER PORT: the runner with STORE=pgsql, in a session of its
# own (Apache stopping signals its process group), from PORT or the next free
# port; sets port, url, admin, run, db.
start_runner() {
  STORE=pgsql PORT=$2 setsid "$root/scripts/run-$1.sh" "$build" "$work/run-$1" \
    > "$work/$1.txt" 2>&1 &
  pid[$1]=$!
  for _ in $(seq 1 300); do
    grep -q '^Stop with' "$work/$1.txt" && break
    kill -0 "${pid[$1]}" 2> /dev/null || break
    sleep 0.1
  done
  url="$(sed -n 's/^Form: *//p' "$work/$1.txt")"
  port="$(sed -n 's|^Form: *http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$work/$1.txt")"
  for _ in $(seq 1 50); do curl -s -o /dev/null "http://127.0.0.1:$port/" && break; sleep 0.1; done
  admin="admin:$(sed -n 's/^admin password: //p' "$work/$1.txt")"
  run="$(sed -n 's|^Directory to protect: *\([^ ]*\)/htdocs/demo .*|\1|p' "$work/$1.txt")"
  db="$run/pg"
}

# form FIELD=VALUE...: the page of a submit of A's form, the fields
# percent-encoded.
form() {
  local args=() field
  for field in "$@"; do args+=(--data-urlencode "$field"); done
  curl -s -m 60 -u "$admin" "$url" "${args[@]}" -d submit=1
}
# The status line of a page; its result text, HTML unescaped.
status() { sed -n 's/.*<p class="status" role="status">\(.*\)<\/p>.*/\1/p' <<< "$1"; }
result() {
  sed -n '/<textarea id="result-text"/,/<\/textarea>/p' <<< "$1" | sed '1d;$d' |
    sed 's/&lt;/</g; s/&gt;/>/g; s/&quot;/"/g; s/&#39;/'"'"'/g; s/&#37;/%/g; s/&amp;/\&/g'
}
message() { sed -n 's/.*<p class="message" role="alert">\(.*\)<\/p>.*/\1/p' <<< "$1"; }
# code PORT PATH USER:PASSWORD: the status a server answers.
code() { curl -s -m 10 -o /dev/null -w '%{http_code}' -u "$3" "http://127.0.0.1:$1$2"; }
# both PATH USER:PASSWORD CODE: whether A and B answer CODE.
both() { [ "$(code "$a_port" "$1" "$2")" = "$3" ] && [ "$(code "$b_port" "$1" "$2")" = "$3" ]; }
retry_code() {
  for _ in $(seq 1 20); do [ "$(code $b_port "$1" "$2")" = "$3" ] && return 0; sleep 0.5; done
  return 1
}
rows() { "$cluster" psql "$db" -c "SELECT realm || '|' || username FROM hob_users WHERE $1 ORDER BY 1"; }

start_runner apache 18580
a_port=$port
b_port=$(free_port $((a_port + 10)))
check "A: the runner starts a private cluster and names it" grep -q "^Database: host=$db " "$work/apache.txt"
demo="$run/htdocs/demo"

page=$(form "path=$demo" user=alice pass=alice-pw-1 type=3 option=c)
check "A: create sets up the directory's users in the table" \
  test "$(rows "realm = '$demo'")" = "$demo|alice"
check "A: and its self-check finds the directory asking for a password" \
  grep -q "Checked: http://127.0.0.1:$a_port/demo/ asks for a password." <<< "$(result "$page")"
check "A: nothing is written into the demo directory" test -z "$(ls -A "$demo" | grep -v index.html)"

# B: the same site, its users read through the text A's form showed.
mkdir -p "$work/b"
result "$page" | sed -n '/^# Once for the server/,$p' > "$work/b/db.conf"
modules=/usr/lib/apache2/modules
cat > "$work/b/httpd.conf" << EOF
ServerRoot "$work/b"
ServerName 127.0.0.1
Listen 127.0.0.1:$b_port
PidFile "$work/b/httpd.pid"
DefaultRuntimeDir "$work/b"
Mutex file:$work/b default
${as_root:+User www-data
Group www-data}
LoadModule mpm_prefork_module $modules/mod_mpm_prefork.so
LoadModule authz_core_module $modules/mod_authz_core.so
LoadModule authz_user_module $modules/mod_authz_user.so
LoadModule authn_core_module $modules/mod_authn_core.so
LoadModule auth_basic_module $modules/mod_auth_basic.so
LoadModule dbd_module $modules/mod_dbd.so
LoadModule authn_dbd_module $modules/mod_authn_dbd.so
LoadModule dir_module $modules/mod_dir.so
ErrorLog "$work/b/error.log"
DocumentRoot "$run/htdocs"
DirectoryIndex index.html
<Directory "$run/htdocs">
  Require all granted
</Directory>
Include "$work/b/db.conf"
EOF
check "B: Apache takes the form's text as it stands" /usr/sbin/apache2 -t -f "$work/b/httpd.conf"
/usr/sbin/apache2 -f "$work/b/httpd.conf" -k start
for _ in $(seq 1 50); do curl -s -o /dev/null "http://127.0.0.1:$b_port/" && break; sleep 0.1; done

check "A and B admit the user added through A's form" both /demo/ alice:alice-pw-1 200
check "A and B refuse a wrong password" both /demo/ alice:alice-pw-2 401
page=$(form "path=$demo" user=alice pass=alice-pw-2 type=5 option=a)
check "add of a user there says its password was changed" grep -q "was already a user" <<< "$(status "$page")"
check "A and B take the new password" both /demo/ alice:alice-pw-2 200
check "A and B refuse the old one" both /demo/ alice:alice-pw-1 401
form "path=$demo" user=bob pass=bob-pw-123 type=1 option=a > /dev/null
page=$(form "path=$demo" user=alice option=d)
check "delete says the user was deleted" grep -q "User alice was deleted" <<< "$(status "$page")"
check "A and B refuse the deleted user" both /demo/ alice:alice-pw-2 401
check "and admit the other" both /demo/ bob:bob-pw-123 200
form "path=$demo" user=Carl pass=carl-pw-12 type=4 option=a > /dev/null
check "list names the users in order with their hash kinds" \
  test "$(result "$(form "path=$demo" option=l)" | tail -n 2 | tr '\n' ' ')" = "Carl (SHA-256) bob (MD5) "
check "verify: the right password matches" \
  grep -q "The password matches" <<< "$(status "$(form "path=$demo" user=bob pass=bob-pw-123 option=v)")"
check "verify: a wrong one does not" \
  grep -q "does NOT match" <<< "$(status "$(form "path=$demo" user=bob pass=bob-pw-124 option=v)")"

# 64 adds at once through A's form.
for i in $(seq 1 64); do
  form "path=$demo" "user=many$i" pass=many-pw-123 type=1 option=a > "$work/add-$i.html" &
done
wait_adds() { local p; for p in $(jobs -p); do [ "$p" = "${pid[apache]}" ] || wait "$p" || true; done; }
wait_adds
check "64 parallel adds: each page says its user was added" \
  test "$(grep -l 'was added' "$work"/add-*.html | wc -l)" = 64
check "none of them was busy" test -z "$(grep -l 'busy' "$work"/add-*.html)"
check "the table holds the 64 users" \
  test "$("$cluster" psql "$db" -c "SELECT count(*) FROM hob_users WHERE realm = '$demo' AND username LIKE 'many%'")" = 64

# The database stops while a create that replaces the users waits inside
# its transaction: its delete is done, its insert waits for another
# session's row of the same user.
before="$(rows "realm = '$demo'")"
coproc other { "$cluster" psql "$db" > /dev/null 2>&1; }
echo "BEGIN; INSERT INTO hob_users VALUES ('$demo', 'dave', 'x');" >&"${other[1]}"
awaits() {
  for _ in $(seq 1 100); do
    [ "$("$cluster" psql "$db" -c "SELECT count(*) FROM pg_stat_activity WHERE $1")" = 1 ] && return 0
    sleep 0.1
  done
  return 1
}
awaits "state = 'idle in transaction'"
form "path=$demo" user=dave pass=dave-pw-123 type=3 option=c replace=1 > "$work/stopped.html" &
create=$!
check "a create waits for another session's row" awaits "wait_event_type = 'Lock'"
"$cluster" stop "$db" immediate
wait $create || true
check "the database stopped: the page says it cannot be reached" \
  grep -q '<p class="message" role="alert">The database that keeps the users cannot be reached' \
  "$work/stopped.html"
"$cluster" start "$db" > /dev/null
check "after a restart every user is as it was" test "$(rows "realm = '$demo'")" = "$before"
# Apache's kept connections lost their prepared query with the database
# (the server text says so): a reload.
/usr/sbin/apache2 -f "$run/httpd.conf" -k graceful
/usr/sbin/apache2 -f "$work/b/httpd.conf" -k graceful
retry_both() { for _ in $(seq 1 20); do both "$@" && return 0; sleep 0.5; done; return 1; }
check "A and B admit users again once the database is back and they reloaded" \
  retry_both /demo/ bob:bob-pw-123 200

# Quotes, semicolons and comment dashes, in directories and user names.
odd_dirs=("it's; --" "' OR '1'='1")
odd_paths=("it%27s%3B%20--" "%27%20OR%20%271%27%3D%271")
odd_users=("o'brien; --" "' OR '1'='1")
for i in 0 1; do
  dir="$run/htdocs/${odd_dirs[$i]}"
  mkdir -p "$dir"
  echo "<p>${odd_dirs[$i]}</p>" > "$dir/index.html"
  page=$(form "path=$dir" "user=${odd_users[$i]}" pass=odd-pw-1234 type=5 option=c)
  result "$page" | sed -n '/^<Directory/,/^<\/Directory>/p' >> "$work/b/db.conf"
done
/usr/sbin/apache2 -f "$work/b/httpd.conf" -k graceful
sleep 1
check "the odd names are stored as typed" \
  test "$(rows "username IN ('o''brien; --', ''' OR ''1''=''1')" | tr '\n' '#')" \
  = "$run/htdocs/' OR '1'='1|' OR '1'='1#$run/htdocs/it's; --|o'brien; --#"
for i in 0 1; do
  check "B admits ${odd_users[$i]} in ${odd_dirs[$i]}" \
    retry_code "/${odd_paths[$i]}/" "${odd_users[$i]}:odd-pw-1234" 200
  check "B refuses a wrong password there" \
    test "$(code $b_port "/${odd_paths[$i]}/" "${odd_users[$i]}:odd-pw-1235")" = 401
  check "B refuses a name that would widen a query built from text" \
    test "$(code $b_port "/${odd_paths[$i]}/" "x' OR '1'='1:odd-pw-1234")" = 401
done

kill -TERM "${pid[apache]}"
wait "${pid[apache]}" 2> /dev/null || true
unset "pid[apache]"
kill -TERM "$(cat "$work/b/httpd.pid")"
check "the runner stopped its cluster" test ! -f "$db/data/postmaster.pid"

# lighttpd: only the hashes its SQL backend checks, and the users read
# through mod_authn_dbi, by the runner's configuration and by the form's.
start_runner lighttpd 18600
l_port=$port
lb_port=$(free_port $((l_port + 10)))
demo="$run/htdocs/demo"
first=$(curl -s -u "$admin" "$url")
check "lighttpd: the form offers bcrypt, SHA-256 and SHA-512 only" \
  test "$(grep -o 'id="type[0-9]"' <<< "$first" | sort | tr '\n' ' ')" = 'id="type3" id="type4" id="type5" '
check "lighttpd: MD5 is refused" grep -q "hash types the form offers" \
  <<< "$(message "$(form "path=$demo" user=erin pass=erin-pw-12 type=1 option=a)")"
page=$(form "path=$demo" user=erin pass=erin-pw-12 type=4 option=c)
check "lighttpd admits a user added through its form" test "$(code $l_port /demo/ erin:erin-pw-12)" = 200
check "lighttpd refuses a wrong password" test "$(code $l_port /demo/ erin:erin-pw-13)" = 401
mkdir -p "$work/lb"
{
  echo "server.modules = (\"mod_access\")"
  echo "server.bind = \"127.0.0.1\""
  echo "server.port = $lb_port"
  echo "server.document-root = \"$run/htdocs\""
  echo "server.errorlog = \"$work/lb/error.log\""
  echo "server.pid-file = \"$work/lb/pid\""
  echo "index-file.names = (\"index.html\")"
  result "$page" | sed -n '/^# Debian: apt install lighttpd-modules-dbi/,$p'
} > "$work/lb/lighttpd.conf"
check "a second lighttpd takes the form's text as it stands" /usr/sbin/lighttpd -tt -f "$work/lb/lighttpd.conf"
/usr/sbin/lighttpd -f "$work/lb/lighttpd.conf"
for _ in $(seq 1 50); do curl -s -o /dev/null "http://127.0.0.1:$lb_port/" && break; sleep 0.1; done
check "and admits the user" test "$(code $lb_port /demo/ erin:erin-pw-12)" = 200
check "and refuses a wrong password" test "$(code $lb_port /demo/ erin:erin-pw-13)" = 401

# nginx reads users from password files only.
check "nginx: the page says it has no SQL backend" grep -q "nginx has no SQL backend" <<< "$(
  body="path=$demo&user=fay&pass=fay-pw-123&type=3&option=a&submit=1"
  env -i PATH=/usr/bin:/bin HOB_HTPASSWD_HOME="$run/home/en" REQUEST_METHOD=POST CONTENT_LENGTH=${#body} \
    CONTENT_TYPE=application/x-www-form-urlencoded SERVER_SOFTWARE=nginx/1.22.1 \
    HTTP_HOST="127.0.0.1:$l_port" SERVER_PORT=$l_port DOCUMENT_ROOT="$run/htdocs" \
    "$build/app/hob-htpasswd.cgi" <<< "$body" |
    sed -n '/<textarea/,/<\/textarea>/p')"

stop_everything
trap - EXIT
pid=()
check "no cluster is left running" test -z "$(pgrep -f "postgres -D $work" || true)"
# What a failed run leaves is kept for a look.
[ "$failed" -gt 0 ] || rm -rf "$work"
finish
