#!/usr/bin/env bash
# Serves the built program under nginx on 127.0.0.1, in the foreground,
# through fcgiwrap (four processes, on a socket in the run directory).
#
#   scripts/run-nginx.sh BUILD_DIR [RUN_DIR]
#
# The run directory, PORT, HOB_CGI_DIR and HOB_SITE_DIR are described in
# run-common.sh. The demo directory is protected by nginx itself with the
# password file the form writes there. Ctrl-C stops nginx and fcgiwrap.
server=nginx
# shellcheck source=scripts/run-common.sh
source "$(dirname "$0")/run-common.sh"

for tool in /usr/sbin/nginx /usr/sbin/fcgiwrap; do
  [ -x "$tool" ] || { echo "run-nginx: $tool is not installed (apt-get install nginx fcgiwrap)" >&2; exit 1; }
done
mkdir -p "$run/sock"
user_line=""
if [ -n "$user" ]; then
  chown "$user:$user" "$run/sock"
  user_line="user $user;"
fi

# One FastCGI location for each form, naming the program and its home.
cgi_location() {
  cat << EOF
    location = $1 {
      include /etc/nginx/fastcgi_params;
      fastcgi_param SCRIPT_FILENAME $cgi/hob-htpasswd.cgi;
      fastcgi_param HOB_HTPASSWD_HOME $2;
      fastcgi_pass unix:$run/sock/fcgiwrap.sock;
    }
EOF
}

cat > "$run/nginx.conf" << EOF
$user_line
worker_processes 2;
pid $run/logs/nginx.pid;
error_log $run/logs/error.log;
events { worker_connections 256; }
http {
  include /etc/nginx/mime.types;
  default_type application/octet-stream;
  charset utf-8;
  access_log $run/logs/access.log;
  client_body_temp_path $run/tmp/body;
  fastcgi_temp_path $run/tmp/fastcgi;
  proxy_temp_path $run/tmp/proxy;
  scgi_temp_path $run/tmp/scgi;
  uwsgi_temp_path $run/tmp/uwsgi;
  server {
    listen 127.0.0.1:$port;
    server_name 127.0.0.1;
    root $run/htdocs;
    index index.html;
    # Password and access files, in any directory: never served.
    location ~ /\.ht {
      deny all;
    }
    location /demo/ {
      auth_basic "hob-htpasswd demo";
      auth_basic_user_file $run/htdocs/demo/.htpasswd;
    }
$(cgi_location /cgi-bin/hob-htpasswd.cgi "$run/home/en")
$(cgi_location /cgi-bin/ja/hob-htpasswd.cgi "$run/home/ja")
    location /cgi-bin/ {
      return 404;
    }
  }
}
EOF

as_user=()
if [ -n "$user" ]; then as_user=(setpriv --reuid="$user" --regid="$user" --clear-groups); fi
"${as_user[@]}" /usr/sbin/fcgiwrap -c 4 -s "unix:$run/sock/fcgiwrap.sock" 2> "$run/logs/fcgiwrap.log" &
fcgiwrap=$!
/usr/sbin/nginx -p "$run" -c "$run/nginx.conf" -e "$run/logs/error.log" -g 'daemon off;' &
nginx=$!
# fcgiwrap's workers leave with it only when told.
stop() {
  trap - INT TERM EXIT
  kill -TERM $nginx 2> /dev/null || true
  pkill -TERM -P $fcgiwrap 2> /dev/null || true
  kill -TERM $fcgiwrap 2> /dev/null || true
  wait 2> /dev/null || true
}
trap stop INT TERM EXIT

for _ in $(seq 1 50); do
  [ -S "$run/sock/fcgiwrap.sock" ] && port_in_use "$port" && break
  if ! kill -0 $nginx 2> /dev/null || ! kill -0 $fcgiwrap 2> /dev/null; then break; fi
  sleep 0.1
done
print_urls
# Either one ending ends both.
wait -n $nginx $fcgiwrap || true
