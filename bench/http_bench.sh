#!/usr/bin/env bash
# Requests per second of the web server on loopback, next to nginx serving
# the same file with keep-alive off (both close after each reply).
#
# Usage: bench/http_bench.sh [SECONDS] [CONNECTIONS]
# Builds bench/http_bench_server in build-bench/, runs wrk against
#   1. a small static file served by this server,
#   2. a trivial page of this server,
#   3. the same static file served by nginx,
# and prints the figures. Everything listens on 127.0.0.1 only.
set -euo pipefail
cd "$(dirname "$0")/.."
duration=${1:-10}
connections=${2:-50}
threads=2

scripts/install-deps.sh bench
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNWICKE_BENCH=ON -DTARNWICKE_TESTS=OFF >/dev/null
cmake --build build-bench --target http_bench_server >/dev/null

work=$(mktemp -d /tmp/tarnwicke-bench-XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/site" "$work/nginx"
# A small style sheet, as the pages load on every view.
head -c 1024 /dev/zero | tr '\0' 'a' | fold -w 64 | sed 's/^/.x { b: /; s/$/ }/' > "$work/site/style.css"
chmod 644 "$work/site/style.css"

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}
ourPort=$(free_port)
nginxPort=$(free_port)

build-bench/bench/http_bench_server "$ourPort" "$work/site" > "$work/server.log" 2>&1 &
pids+=($!)

cat > "$work/nginx/nginx.conf" <<CONF
worker_processes auto;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log warn;
user root;
events { worker_connections 1024; }
http {
    access_log off;
    keepalive_timeout 0;
    client_body_temp_path $work/nginx/body;
    proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    types { text/css css; }
    server {
        listen 127.0.0.1:$nginxPort;
        root $work/site;
    }
}
CONF
nginx -e "$work/nginx/error.log" -p "$work/nginx" -c "$work/nginx/nginx.conf" &
pids+=($!)

wait_for() {
    for _ in $(seq 1 50); do
        python3 -c "import socket,sys; socket.create_connection(('127.0.0.1', $1), 0.2)" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "nothing listens on port $1" >&2
    return 1
}
wait_for "$ourPort"
wait_for "$nginxPort"

run() {  # NAME URL
    local out
    out=$(wrk -t "$threads" -c "$connections" -d "${duration}s" "$2")
    local rps errors non2xx
    rps=$(awk '/Requests\/sec/ {print $2}' <<<"$out")
    errors=$(awk '/Socket errors/ {gsub(",", ""); print $4 + $6 + $8 + $10}' <<<"$out")
    non2xx=$(awk '/Non-2xx/ {print $5}' <<<"$out")
    printf '%-28s %12s req/s   socket errors %s   non-2xx %s\n' "$1" "$rps" "${errors:-0}" "${non2xx:-0}"
    echo "$rps" > "$work/$3"
}

echo "wrk: $threads threads, $connections connections, ${duration}s each, keep-alive off on both servers"
# Warm-up, not counted.
wrk -t 1 -c 10 -d 1s "http://127.0.0.1:$ourPort/style.css" >/dev/null
wrk -t 1 -c 10 -d 1s "http://127.0.0.1:$nginxPort/style.css" >/dev/null
run "tarnwicke static file" "http://127.0.0.1:$ourPort/style.css" ours_static
run "tarnwicke trivial page" "http://127.0.0.1:$ourPort/?page=hello&name=wrk" ours_page
run "nginx static file" "http://127.0.0.1:$nginxPort/style.css" nginx_static
awk -v a="$(cat "$work/ours_static")" -v b="$(cat "$work/nginx_static")" \
    'BEGIN { printf "static file: %.0f%% of nginx\n", 100 * a / b }'
