#!/usr/bin/env bash
# Runs the built program under valgrind's leak checker on a temporary folder
# while four employees log in and list, search and add customers over HTTP
# (with file requests and bad requests among them), then ends it with
# SIGTERM and prints valgrind's summary and the file check.
# Usage: scripts/leak-run.sh [rounds per client]   (after ./test.sh or ./run.sh built build/)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh leak
rounds=${1:-20}
port=18400
while (echo > /dev/tcp/127.0.0.1/$port) 2>/dev/null; do port=$((port + 1)); done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/prog"
cp web/login.htm web/style.css web/common.js web/introduction.htm "$work/prog/"
valgrind --leak-check=full --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect \
  --error-exitcode=9 --log-file="$work/valgrind.log" \
  build/tarnwicke --folder "$work/prog" --port $port --no-browser --console > "$work/out.log" 2>&1 &
server=$!
for _ in $(seq 1 300); do
  grep -q "伺服器已開啟" "$work/out.log" && break
  sleep 0.1
done
base=http://127.0.0.1:$port/
session() { curl -s -m 20 -d "page=checkLogin&id=$1&password=$2" $base | grep -o 'session=[0-9]*' | head -1 | cut -d= -f2; }
admin=$(session admin kwirt)
for c in 1 2 3 4; do
  curl -s -m 20 -d "page=insertEmployee&session=$admin&id=leak$c&password=pw${c}word&name=Leak$c&login=on&customer=on&deleteCustomer=on" $base > /dev/null
done
form=$(curl -s -m 20 "${base}?page=insertCustomerForm&session=$admin")
option() { echo "$form" | grep -o "<select name=$1><option value=[0-9]*" | grep -o '[0-9]*$'; }
choices="createdBy=$(option createdBy)&category=$(option category)&level=$(option level)&area=$(option area)"
client() {
  local c=$1 s
  for i in $(seq 1 "$rounds"); do
    s=$(session leak$c pw${c}word)
    curl -s -m 20 "${base}?page=searchCustomer&session=$s" > /dev/null
    curl -s -m 20 -d "page=insertCustomer&session=$s&id=$c$i&name=leak$c-$i&person=p&telephone=1&fax=2&email=a@b.c&website=w&address=x&remark=r&$choices" $base > /dev/null
    curl -s -m 20 "${base}?page=searchCustomer&session=$s&name=leak$c" > /dev/null
    curl -s -m 20 "${base}?page=listEmployee&session=$s" > /dev/null
    curl -s -m 20 "${base}style.css" > /dev/null
    curl -s -m 20 --path-as-is "${base}../etc/passwd" > /dev/null
    printf 'GARBAGE\r\n\r\n' | curl -s -m 5 telnet://127.0.0.1:$port > /dev/null 2>&1 || true
  done
}
for c in 1 2 3 4; do client $c & done
wait $(jobs -p | grep -v "^$server\$") 2>/dev/null || true
kill -TERM $server
status=0
wait $server || status=$?
echo "program exit code: $status"
grep -E "total heap usage|definitely lost|indirectly lost|possibly lost|still reachable|ERROR SUMMARY" "$work/valgrind.log"
build/tarnwicke-db check "$work/prog/Tarnwicke.zrt"
exit $status
