#!/usr/bin/env bash
# Serves the built program under nginx on 127.0.0.1, in the foreground,
# through fcgiwrap (four processes, on a socket in the run directory).
#
#   scripts/run-nginx.sh BUILD_DIR [RUN_DIR]
#
# The run directory, PORT, HOB_CGI_DIR and HOB_SITE_DIR are described in
# run-common.sh. The program answers only to the user admin of the run's
# admin.htpasswd, with the password printed at start. The demo directory is
# protected by nginx itself with the password file the form writes there;
# the open directory is not protected. Ctrl-C, SIGTERM or SIGHUP stops nginx,
# fcgiwrap and the programs it runs.
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

# One FastCGI location for each form, naming the program and its home,
# behind the admin password. The CGI variables are listed here rather than
# taken from the system's fastcgi_params, which may pass the Host header
# without its port: the program compares HTTP_HOST, port included, with its
# hostnames setting, and asks its own server at SERVER_ADDR:SERVER_PORT.
cgi_location() {
  cat << EOF
    location = $1 {
      auth_basic "hob-htpasswd administration";
      auth_basic_user_file $admin_file;
      fastcgi_param GATEWAY_INTERFACE CGI/1.1;
      fastcgi_param SERVER_SOFTWARE nginx/\$nginx_version;
      fastcgi_param SERVER_PROTOCOL \$server_protocol;
      fastcgi_param SERVER_NAME \$server_name;
      fastcgi_param SERVER_ADDR \$server_addr;
      fastcgi_param SERVER_PORT \$server_port;
      fastcgi_param HTTPS \$https if_not_empty;
      fastcgi_param REQUEST_SCHEME \$scheme;
      fastcgi_param HTTP_HOST \$http_host;
      fastcgi_param REQUEST_METHOD \$request_method;
      fastcgi_param REQUEST_URI \$request_uri;
      fastcgi_param QUERY_STRING \$query_string;
      fastcgi_param CONTENT_TYPE \$content_type;
      fastcgi_param CONTENT_LENGTH \$content_length;
      fastcgi_param DOCUMENT_ROOT \$document_root;
      fastcgi_param SCRIPT_NAME \$fastcgi_script_name;
      fastcgi_param SCRIPT_FILENAME $cgi/hob-htpasswd.cgi;
      fastcgi_param REMOTE_ADDR \$remote_addr;
      fastcgi_param REMOTE_PORT \$remote_port;
      fastcgi_param REMOTE_USER \$remote_user;
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
    # /open/ is served to everyone: nginx reads no access file.
$(cgi_location /cgi-bin/hob-htpasswd.cgi "$run/home/en")
$(cgi_location /cgi-bin/ja/hob-htpasswd.cgi "$run/home/ja")
    location /cgi-bin/ {
      return 404;
    }
  }
}
EOF

# nginx and fcgiwrap each lead a process group of their own (a background
# job of this script is no group leader, so setsid does not fork and $! is
# the group's number): stopping a group stops nginx's workers, fcgiwrap's
# workers and any program one of them runs, which fcgiwrap alone would leave
# behind.
as_user=()
if [ -n "$user" ]; then as_user=(setpriv --reuid="$user" --regid="$user" --clear-groups); fi
groups=()
stop() {
  trap - INT TERM HUP EXIT
  local group
  for group in "${groups[@]}"; do kill -TERM -- "-$group" 2> /dev/null || true; done
  wait 2> /dev/null || true
  for group in "${groups[@]}"; do kill -KILL -- "-$group" 2> /dev/null || true; done
}
trap stop EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
setsid "${as_user[@]}" /usr/sbin/fcgiwrap -c 4 -s "unix:$run/sock/fcgiwrap.sock" \
  2> "$run/logs/fcgiwrap.log" &
fcgiwrap=$!
groups+=("$fcgiwrap")
setsid /usr/sbin/nginx -p "$run" -c "$run/nginx.conf" -e "$run/logs/error.log" -g 'daemon off;' &
nginx=$!
groups+=("$nginx")

for _ in $(seq 1 50); do
  [ -S "$run/sock/fcgiwrap.sock" ] && port_in_use "$port" && break
  if ! kill -0 $nginx 2> /dev/null || ! kill -0 $fcgiwrap 2> /dev/null; then break; fi
  sleep 0.1
done
print_urls
# Either one ending ends both.
wait -n $nginx $fcgiwrap || true
