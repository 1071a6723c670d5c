#!/usr/bin/env bash
# Installs the Debian packages a make goal needs, when missing.
#
#   scripts/install-deps.sh GROUP...
#
#   build     compiler, CMake, GoogleTest: all that `make build` needs
#   apache    Apache and htpasswd           (make run, the browser tests)
#   nginx     nginx, fcgiwrap, htpasswd     (make run SERVER=nginx)
#   lighttpd  lighttpd, htpasswd            (make run SERVER=lighttpd)
#   browser   Chromium, curl, node and npm, playwright-core
#   pgsql     PostgreSQL, its client library, and the SQL backends of Apache
#             (mod_authn_dbd's driver) and lighttpd (mod_authn_dbi, libdbi's
#             driver)               (make run STORE=pgsql, the database tests)
#   fuzz      clang and its fuzzer runtime
#   test      everything `make test` runs: the groups above, wrk, clang-format,
#             lintian, and the converter tests' manpages-ja(-dev) and python3
#   bench     what `make bench` runs: Google Benchmark, wrk, Apache, curl,
#             PostgreSQL as in pgsql, manpages-ja(-dev) and python3 for the
#             converter corpus
#
# As root, missing packages are installed (services they bring are not
# started); otherwise they are named and the script fails.
set -euo pipefail

declare -A group=(
  [build]="g++ make cmake libgtest-dev libgmock-dev"
  [apache]="apache2 apache2-utils"
  [nginx]="nginx fcgiwrap apache2-utils"
  [lighttpd]="lighttpd apache2-utils"
  [browser]="chromium curl"
  [fuzz]="clang"
  [pgsql]="postgresql libpq5 libaprutil1-dbd-pgsql lighttpd lighttpd-modules-dbi libdbd-pgsql"
)
group[bench]="libbenchmark-dev wrk apache2 apache2-utils curl ${group[pgsql]} manpages-ja manpages-ja-dev python3"
group[test]="${group[build]} ${group[apache]} ${group[nginx]} ${group[lighttpd]} ${group[browser]} ${group[fuzz]} ${group[pgsql]}
             wrk clang-format lintian manpages-ja manpages-ja-dev python3"

[ $# -gt 0 ] || { echo "usage: install-deps.sh GROUP..." >&2; exit 2; }
requested=" $* "
wanted=()
for name in "$@"; do
  [ -n "${group[$name]:-}" ] || { echo "install-deps: no group $name" >&2; exit 2; }
  # shellcheck disable=SC2206 # a group is a blank-separated list of names
  wanted+=(${group[$name]})
done
# Whether any of the named groups was asked for.
asked() {
  local name
  for name in "$@"; do [[ $requested == *" $name "* ]] && return 0; done
  return 1
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

refreshed=0
install_packages() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages: $*" >&2
    echo "Install them as root: apt-get install $*" >&2
    exit 1
  fi
  echo "Installing: $*"
  if [ $refreshed -eq 0 ]; then
    apt-get update -qq
    refreshed=1
  fi
  # Server packages start their services when installed; a policy that
  # refuses every start keeps them stopped (an existing policy is kept).
  local policy=/usr/sbin/policy-rc.d
  if [ ! -e "$policy" ]; then
    trap 'rm -f /usr/sbin/policy-rc.d' EXIT
    printf '#!/bin/sh\nexit 101\n' > "$policy"
    chmod 755 "$policy"
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" > /dev/null
}

missing=()
for p in "${wanted[@]}"; do
  installed "$p" || case " ${missing[*]} " in *" $p "*) ;; *) missing+=("$p") ;; esac
done
# Node.js may come from outside Debian with its own npm; only a missing
# command asks for Debian's packages.
if asked browser test; then
  command -v node > /dev/null 2>&1 || missing+=(nodejs)
  command -v npm > /dev/null 2>&1 || missing+=(npm)
fi
if [ ${#missing[@]} -gt 0 ]; then install_packages "${missing[@]}"; fi

# The fuzzer runtime belongs to the installed clang: the metapackage where
# the release has one, else the package named after clang's major version.
if asked fuzz test && ! compgen -G "$(clang --print-runtime-dir)/libclang_rt.fuzzer-*.a" > /dev/null; then
  if [ $refreshed -eq 0 ] && [ "$(id -u)" -eq 0 ]; then apt-get update -qq; refreshed=1; fi
  runtime=libclang-rt-dev
  if ! apt-cache show "$runtime" > /dev/null 2>&1; then
    runtime="libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev"
  fi
  install_packages "$runtime"
fi

# The browser tests drive Chromium through playwright-core.
e2e_dir="$(dirname "$0")/../tests/e2e"
if asked browser test && [ ! -d "$e2e_dir/node_modules/playwright-core" ]; then
  (cd "$e2e_dir" && npm ci --no-audit --no-fund --loglevel=error)
fi
exit 0
