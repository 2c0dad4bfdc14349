#!/usr/bin/env bash
# Requests per second of the web server on loopback, next to nginx serving
# the same file with keep-alive off (both close after each reply).
#
# Usage: bench/http_bench.sh [SECONDS] [CONNECTIONS] [ROUNDS]
# Builds bench/http_bench_server in build-bench/, runs wrk against
#   1. a small static file served by this server,
#   2. a trivial page of this server,
#   3. the same static file served by nginx,
# and prints the figures. Everything listens on 127.0.0.1 only.
set -euo pipefail
cd "$(dirname "$0")/.."
duration=${1:-5}
connections=${2:-50}
rounds=${3:-3}
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

measure() {  # URL -> prints "requests/s socket-errors non-2xx"
    local out
    out=$(wrk -t "$threads" -c "$connections" -d "${duration}s" "$1")
    local rps errors non2xx
    rps=$(awk '/Requests\/sec/ {print $2}' <<<"$out")
    errors=$(awk '/Socket errors/ {gsub(",", ""); print $4 + $6 + $8 + $10}' <<<"$out")
    non2xx=$(awk '/Non-2xx/ {print $5}' <<<"$out")
    echo "${rps:-0} ${errors:-0} ${non2xx:-0}"
}

echo "wrk: $threads threads, $connections connections, ${duration}s a run, $rounds rounds," \
     "keep-alive off on both servers"
# Warm-up, not counted.
wrk -t 1 -c 10 -d 1s "http://127.0.0.1:$ourPort/style.css" >/dev/null
wrk -t 1 -c 10 -d 1s "http://127.0.0.1:$nginxPort/style.css" >/dev/null
# The rounds alternate the servers, so that load from elsewhere on the
# machine falls on both alike.
declare -A total=() errs=()
for round in $(seq 1 "$rounds"); do
    for name in ours_static nginx_static ours_page; do
        case $name in
            ours_static) url="http://127.0.0.1:$ourPort/style.css" ;;
            nginx_static) url="http://127.0.0.1:$nginxPort/style.css" ;;
            ours_page) url="http://127.0.0.1:$ourPort/?page=hello&name=wrk" ;;
        esac
        read -r rps e n < <(measure "$url")
        printf 'round %d  %-13s %10s req/s  socket errors %s  non-2xx %s\n' "$round" "$name" "$rps" "$e" "$n"
        total[$name]=$(awk -v a="${total[$name]:-0}" -v b="$rps" 'BEGIN { print a + b }')
        errs[$name]=$(( ${errs[$name]:-0} + e + n ))
    done
done
echo "mean over $rounds rounds:"
for name in ours_static ours_page nginx_static; do
    awk -v t="${total[$name]}" -v r="$rounds" -v n="$name" -v e="${errs[$name]}" \
        'BEGIN { printf "  %-13s %10.0f req/s  errors %d\n", n, t / r, e }'
done
awk -v a="${total[ours_static]}" -v b="${total[nginx_static]}" \
    'BEGIN { printf "static file: %.0f%% of nginx\n", 100 * a / b }'
