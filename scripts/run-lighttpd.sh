#!/usr/bin/env bash
# Serves the built program under lighttpd (mod_cgi) on 127.0.0.1, in the
# foreground.
#
#   scripts/run-lighttpd.sh BUILD_DIR [RUN_DIR]
#
# The run directory, PORT, HOB_CGI_DIR and HOB_SITE_DIR are described in
# run-common.sh. The demo directory is protected by lighttpd itself (mod_auth)
# with the password file the form writes there. Ctrl-C stops lighttpd.
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

# One CGI location for each form, naming its home.
cgi_location() {
  cat << EOF
\$HTTP["url"] == "$1" {
  cgi.assign = ("" => "")
  setenv.add-environment = ("HOB_HTPASSWD_HOME" => "$2")
}
EOF
}

cat > "$run/lighttpd.conf" << EOF
server.modules = ("mod_access", "mod_alias", "mod_auth", "mod_authn_file", "mod_setenv", "mod_cgi")
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
auth.backend.htpasswd.userfile = "$run/htdocs/demo/.htpasswd"
auth.require = ("/demo/" => ("method" => "basic", "realm" => "hob-htpasswd demo",
                             "require" => "valid-user"))

alias.url = ("/cgi-bin/ja/" => "$cgi/", "/cgi-bin/" => "$cgi/")
$(cgi_location /cgi-bin/hob-htpasswd.cgi "$run/home/en")
else $(cgi_location /cgi-bin/ja/hob-htpasswd.cgi "$run/home/ja")
else \$HTTP["url"] =~ "^/cgi-bin/" {
  url.access-deny = ("")
}
EOF

"$lighttpd" -tt -f "$run/lighttpd.conf"
print_urls
exec "$lighttpd" -D -f "$run/lighttpd.conf"
