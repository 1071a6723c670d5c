#!/usr/bin/env bash
# Serves the built program under lighttpd (mod_cgi) on 127.0.0.1, in the
# foreground.
#
#   scripts/run-lighttpd.sh BUILD_DIR [RUN_DIR]
#
# The run directory, PORT, HOB_CGI_DIR and HOB_SITE_DIR are described in
# run-common.sh. The program answers only to the user admin of the run's
# admin.htpasswd, with the password printed at start. The demo directory is
# protected by lighttpd itself (mod_auth) with the password file the form
# writes there; the open directory is not protected. With STORE=pgsql,
# mod_authn_dbi reads the users of the demo directory from the run's
# database instead. Ctrl-C or SIGTERM stops lighttpd and the programs it runs.
server=lighttpd
# shellcheck source=scripts/run-common.sh
source "$(dirname "$0")/run-common.sh"

lighttpd=/usr/sbin/lighttpd
[ -x "$lighttpd" ] || { echo "run-lighttpd: lighttpd is not installed (apt-get install lighttpd)" >&2; exit 1; }
user_lines=""
if [ -n "$user" ]; then
  # lighttpd opens its log after leaving root.
  chown "$user:$user" "$run/logs"
  user_lines="server.username = \"$user\""$'\n'"server.groupname = \"$user\""
fi

modules='"mod_access", "mod_alias", "mod_auth", "mod_authn_file", "mod_setenv", "mod_cgi"'
demo_auth="auth.backend.htpasswd.userfile = \"$run/htdocs/demo/.htpasswd\""
if [ -n "$db_conninfo" ]; then
  modules="$modules, \"mod_authn_dbi\""
  db_port="$(sed 's/.*port=\([0-9]*\).*/\1/' <<< "$db_conninfo")"
  demo_auth="auth.backend = \"dbi\"
  auth.backend.dbi = (
    \"sql\" => \"SELECT hash FROM hob_users WHERE realm = $db_realm_sql AND username = '?'\",
    \"dbtype\" => \"pgsql\", \"host\" => \"$run/pg\", \"port\" => \"$db_port\",
    \"dbname\" => \"postgres\", \"username\" => \"hob\"
  )"
fi

# One CGI location for each form, naming its home.
cgi_location() {
  cat << EOF
\$HTTP["url"] == "$1" {
    cgi.assign = ("" => "")
    setenv.set-environment = ("HOB_HTPASSWD_HOME" => "$2", "DOCUMENT_ROOT" => "$run/htdocs")
  }
EOF
}

cat > "$run/lighttpd.conf" << EOF
server.modules = ($modules)
server.bind = "127.0.0.1"
server.port = $port
server.document-root = "$run/htdocs"
server.errorlog = "$run/logs/error.log"
server.upload-dirs = ("$run/tmp")
$user_lines
index-file.names = ("index.html")
mimetype.assign = (".html" => "text/html; charset=utf-8", ".png" => "image/png")

# Password and access files, in any directory: never served.
\$HTTP["url"] =~ "/\\.ht" {
  url.access-deny = ("")
}
auth.backend = "htpasswd"
alias.url = ("/cgi-bin/ja/" => "$cgi/", "/cgi-bin/" => "$cgi/")
# Everything under /cgi-bin/ asks for the admin password; only the two URLs
# of the program run it.
\$HTTP["url"] =~ "^/cgi-bin/" {
  auth.backend.htpasswd.userfile = "$admin_file"
  auth.require = ("" => ("method" => "basic", "realm" => "hob-htpasswd administration",
                         "require" => "valid-user"))
  $(cgi_location /cgi-bin/hob-htpasswd.cgi "$run/home/en")
  else $(cgi_location /cgi-bin/ja/hob-htpasswd.cgi "$run/home/ja")
  else \$HTTP["url"] =~ "" {
    url.access-deny = ("")
  }
}
# /demo/ with the password file the form writes there (or the users in the
# database); /open/ is served to everyone, as lighttpd reads no access file.
else \$HTTP["url"] =~ "^/demo/" {
  $demo_auth
  auth.require = ("" => ("method" => "basic", "realm" => "hob-htpasswd demo",
                         "require" => "valid-user"))
}
EOF

"$lighttpd" -tt -f "$run/lighttpd.conf"
print_urls
serve "$lighttpd" -D -f "$run/lighttpd.conf"
