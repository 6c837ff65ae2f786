#!/bin/bash
# Installs what building and testing kuvet needs on Debian 12, skipping what is there.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
for pkg in build-essential cmake libgtest-dev python3 openssl libssl3 ca-certificates strace; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
# Node.js may come from elsewhere than Debian; only install it when there is none at all.
command -v node >/dev/null 2>&1 || need+=(nodejs)
command -v npm >/dev/null 2>&1 || need+=(npm)
for pkg in "$@"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done

if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${need[@]}"
fi

# The local S3-compatible store used by the tests and the demo, pinned in package-lock.json.
if [ -f package-lock.json ] && ! npm ls --silent >/dev/null 2>&1; then
  npm ci --no-audit --no-fund --loglevel=error
fi
