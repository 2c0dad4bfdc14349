#!/usr/bin/env bash
# Builds a release build, prepares the program folder site/ and starts the
# program in it (web server on the port stored in the database, 8001 at first).
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh build
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNWICKE_TESTS=OFF >/dev/null
cmake --build build-release -j "$(nproc)"
mkdir -p site
# Copy the web files that the folder does not have yet; never overwrite the
# database, backups or files the user has edited.
(cd web && find . -type f -print0) | while IFS= read -r -d '' f; do
  if [ ! -e "site/$f" ]; then mkdir -p "site/$(dirname "$f")"; cp "web/$f" "site/$f"; fi
done
exec build-release/tarnwicke --folder site "$@"
