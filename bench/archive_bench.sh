#!/usr/bin/env bash
# Builds the archive benchmark in release mode and runs it: backup and restore
# of a generated 100 MB database-like file next to gzip -1 and gunzip of the
# same file.  Extra arguments go to the benchmark (e.g. --benchmark_filter=).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh bench
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNWICKE_BENCH=ON -DTARNWICKE_TESTS=OFF >/dev/null
cmake --build build-bench --target archive_bench
exec build-bench/bench/archive_bench "$@"
