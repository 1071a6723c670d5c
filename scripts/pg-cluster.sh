#!/usr/bin/env bash
# A private PostgreSQL cluster for the runners, the tests and the benchmarks,
# reached only through a Unix socket in its own directory.
#
#   scripts/pg-cluster.sh start DIR [USER]
#       Makes a cluster in DIR/data when there is none (initdb, as USER when
#       run as root: nobody unless named; PostgreSQL refuses to run as root)
#       and starts it with its socket in DIR, on a port whose TCP port and
#       socket are free (from PGPORT, default 15432, up). Prints the
#       connection string: "host=DIR port=PORT dbname=postgres user=hob". The
#       role hob, a superuser, connects without a password; every other role
#       needs its password.
#   scripts/pg-cluster.sh stop DIR [MODE]
#       Stops it: MODE fast (the default) or immediate, as pg_ctl says.
#   scripts/pg-cluster.sh psql DIR ARGS...
#       psql as hob, quiet, unaligned, tuples only, stopping at an error.
#
# DIR must be an absolute path short enough for a socket name (about 90
# bytes). The cluster keeps its settings, so a stopped one starts again with
# "start DIR".
set -euo pipefail

action="${1:?usage: pg-cluster.sh start|stop|psql DIR ...}"
dir="${2:?usage: pg-cluster.sh start|stop|psql DIR ...}"
bin="$(ls -d /usr/lib/postgresql/*/bin 2> /dev/null | sort -V | tail -1)"
[ -x "$bin/initdb" ] || { echo "pg-cluster: PostgreSQL is not installed (apt-get install postgresql)" >&2; exit 1; }

# Runs a command as the cluster's owner.
as_owner() {
  local owner
  owner="$(stat -c %U "$dir/data")"
  if [ "$(id -u)" -eq 0 ]; then
    setpriv --reuid="$owner" --regid="$(id -g "$owner")" --clear-groups "$@"
  else
    "$@"
  fi
}

port_in_use() { (exec 3<> "/dev/tcp/127.0.0.1/$1") 2> /dev/null || [ -e "$dir/.s.PGSQL.$1" ]; }

case "$action" in
  start)
    if [ ! -d "$dir/data" ]; then
      mkdir -p "$dir"
      if [ "$(id -u)" -eq 0 ]; then
        owner="${3:-nobody}"
        chown "$owner:$(id -g "$owner")" "$dir"
      fi
      chmod 755 "$dir"
      mkdir "$dir/data"
      [ "$(id -u)" -ne 0 ] || chown "$owner:$(id -g "$owner")" "$dir/data"
      as_owner "$bin/initdb" -D "$dir/data" -U hob -A trust -E UTF8 --locale=C.UTF-8 --no-sync \
        > "$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; rm -rf "$dir/data"; exit 1; }
      port="${PGPORT:-15432}"
      while port_in_use "$port"; do port=$((port + 1)); done
      # The superuser hob on the socket alone; any other role with its
      # password. The socket directory is the cluster's own, and readable by
      # the web server's user.
      printf 'local all hob trust\nlocal all all scram-sha-256\n' > "$dir/data/pg_hba.conf"
      {
        echo "port = $port"
        echo "listen_addresses = ''"
        echo "unix_socket_directories = '$dir'"
        echo "unix_socket_permissions = 0777"
      } >> "$dir/data/postgresql.conf"
    fi
    port="$(sed -n 's/^port = //p' "$dir/data/postgresql.conf" | tail -1)"
    as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/log" -w -t 60 start > /dev/null \
      || { tail -20 "$dir/log" >&2; exit 1; }
    echo "host=$dir port=$port dbname=postgres user=hob"
    ;;
  stop)
    [ -f "$dir/data/postmaster.pid" ] || exit 0
    as_owner "$bin/pg_ctl" -D "$dir/data" -m "${3:-fast}" -w -t 60 stop > /dev/null
    ;;
  psql)
    shift 2
    port="$(sed -n 's/^port = //p' "$dir/data/postgresql.conf" | tail -1)"
    "$bin/psql" -h "$dir" -p "$port" -U hob -d postgres -qAtX -v ON_ERROR_STOP=1 "$@"
    ;;
  *)
    echo "pg-cluster: unknown action $action" >&2
    exit 2
    ;;
esac
