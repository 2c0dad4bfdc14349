#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Usage: scripts/install-deps.sh [build|test|bench|leak]
set -euo pipefail
# qt6-base-dev: the desktop window (and its offscreen platform for the tests);
# qt6-translations-l10n: Qt's file dialogs in Chinese; fonts-noto-cjk: the
# glyphs of the window's Chinese texts.
need=(g++ cmake ninja-build pkg-config zlib1g-dev qt6-base-dev qt6-translations-l10n fonts-noto-cjk)
case "${1:-build}" in
  # chromium, nodejs, npm: the browser test (tests/browser).
  test)  need+=(libgtest-dev libgmock-dev python3 chromium nodejs)
         # A Node.js from elsewhere that brings its own npm conflicts with
         # Debian's npm package, so that one is only wanted without an npm.
         command -v npm >/dev/null 2>&1 || need+=(npm) ;;
  leak)  need+=(valgrind curl) ;;
  bench) need+=(libbenchmark-dev libsqlite3-dev gzip wrk nginx python3 python3-matplotlib) ;;
esac
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
