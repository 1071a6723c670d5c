#!/usr/bin/env bash
# Serves the built program under Apache on 127.0.0.1, in the foreground.
#
#   scripts/run-apache.sh BUILD_DIR [RUN_DIR]
#
# The run directory, PORT, HOB_CGI_DIR and HOB_SITE_DIR are described in
# run-common.sh. The program answers only to the user admin of the run's
# admin.htpasswd, with the password printed at start. The demo directory is
# protected by the .htaccess the form writes there (AllowOverride AuthConfig);
# the open directory reads no .htaccess. Two more directories show what the
# program does with an access file Apache reads only in part: /rewrite/
# (AllowOverride AuthConfig Options FileInfo) starts with an access file of
# the owner's, rewrite rules without a final newline, which must survive
# every change byte for byte; /fileinfo/ (AllowOverride FileInfo) answers
# 500 to the program's lines, which must then be taken back. With
# STORE=pgsql, mod_authn_dbd reads the users of the demo directory from the
# run's database instead (the text the program shows, in the server
# configuration). Apache passes the program DOCUMENT_ROOT, SERVER_ADDR,
# SERVER_PORT, SERVER_SOFTWARE and HTTP_HOST itself. Ctrl-C or SIGTERM stops
# Apache and its children.
server=apache
# shellcheck source=scripts/run-common.sh
source "$(dirname "$0")/run-common.sh"

apache=/usr/sbin/apache2
modules=/usr/lib/apache2/modules
[ -x "$apache" ] || { echo "run-apache: Apache is not installed (apt-get install apache2 apache2-utils)" >&2; exit 1; }
served_dir rewrite
served_dir fileinfo
printf 'Options -Indexes\nRewriteEngine On\nRewriteRule ^old$ /new [R=301,L]' \
  > "$run/htdocs/rewrite/.htaccess"
if [ -n "$user" ]; then chown "$user:$user" "$run/htdocs/rewrite/.htaccess"; fi
user_lines=""
if [ -n "$user" ]; then user_lines=$'User '$user$'\nGroup '$user; fi
db_lines=""
if [ -n "$db_conninfo" ]; then
  db_lines="LoadModule dbd_module $modules/mod_dbd.so
LoadModule authn_dbd_module $modules/mod_authn_dbd.so
DBDriver pgsql
DBDParams \"$db_conninfo\"
<Directory \"$run/htdocs/demo\">
  AuthType Basic
  AuthName \"hob-htpasswd demo\"
  AuthBasicProvider dbd
  AuthDBDUserPWQuery \"SELECT hash FROM hob_users WHERE realm = $db_realm_sql AND username = %s\"
  Require valid-user
</Directory>"
fi

cat > "$run/httpd.conf" << EOF
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
LoadModule env_module $modules/mod_env.so
LoadModule mime_module $modules/mod_mime.so
LoadModule dir_module $modules/mod_dir.so
LoadModule cgi_module $modules/mod_cgi.so
LoadModule rewrite_module $modules/mod_rewrite.so

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
<Directory "$run/htdocs/open">
  AllowOverride None
</Directory>
<Directory "$run/htdocs/rewrite">
  AllowOverride AuthConfig Options FileInfo
</Directory>
<Directory "$run/htdocs/fileinfo">
  AllowOverride FileInfo
</Directory>
<Files ".ht*">
  Require all denied
</Files>
$db_lines

ScriptAlias /cgi-bin/ja/ "$cgi/"
ScriptAlias /cgi-bin/ "$cgi/"
# Both URLs of the program lead to this directory: its password holds for
# every spelling of them.
<Directory "$cgi">
  AllowOverride None
  Options +ExecCGI
  AuthType Basic
  AuthName "hob-htpasswd administration"
  AuthBasicProvider file
  AuthUserFile "$admin_file"
  Require valid-user
  <FilesMatch "^(?!hob-htpasswd\.cgi$)">
    Require all denied
  </FilesMatch>
</Directory>
<Location "/cgi-bin/">
  SetEnv HOB_HTPASSWD_HOME "$run/home/en"
</Location>
<Location "/cgi-bin/ja/">
  SetEnv HOB_HTPASSWD_HOME "$run/home/ja"
</Location>
EOF

at="http://127.0.0.1:$port"
more_lines=(
  "Directory with its own .htaccess: $run/htdocs/rewrite  (served at $at/rewrite/; AllowOverride AuthConfig Options FileInfo)"
  "Directory without AuthConfig: $run/htdocs/fileinfo  (served at $at/fileinfo/; AllowOverride FileInfo)"
)
print_urls
serve "$apache" -f "$run/httpd.conf" -DFOREGROUND
