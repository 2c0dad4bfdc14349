#!/usr/bin/env bash
# Builds everything and runs every test: first a normal build, then the same
# tests built with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh test
jobs=$(nproc)

# The browser test's Node packages, installed afresh when they are missing
# or the lock file changed since they were.
(
  cd tests/browser
  lock=$(sha256sum package-lock.json | cut -d' ' -f1)
  if [ "$(cat node_modules/.lock-sha256 2>/dev/null || true)" != "$lock" ]; then
    PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error
    echo "$lock" > node_modules/.lock-sha256
  fi
)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure --timeout 600 -j "$jobs")

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARNWICKE_SANITIZE=ON >/dev/null
cmake --build build-asan -j "$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --output-on-failure --timeout 900 -j "$jobs")
