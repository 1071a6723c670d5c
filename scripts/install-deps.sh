#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail

packages=(g++ make cmake libgtest-dev libgmock-dev libbenchmark-dev
          apache2 apache2-utils chromium curl clang libclang-rt-14-dev wrk)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

# Node.js may come from outside Debian with its own npm; only a missing
# command asks for Debian's packages.
command -v node >/dev/null 2>&1 || missing+=(nodejs)
command -v npm >/dev/null 2>&1 || missing+=(npm)

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages: ${missing[*]}" >&2
    echo "Install them as root: apt-get install ${missing[*]}" >&2
    exit 1
  fi
  echo "Installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The browser test drives Chromium through playwright-core.
e2e_dir="$(dirname "$0")/../tests/e2e"
if [ -f "$e2e_dir/package.json" ] && [ ! -d "$e2e_dir/node_modules/playwright-core" ]; then
  (cd "$e2e_dir" && npm ci --no-audit --no-fund --loglevel=error)
fi
exit 0
