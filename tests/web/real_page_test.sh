#!/bin/sh
# The web page in headless Chromium against a real run: the virtual instrument
# streams readings, a headless run serves them on a free loopback port, and
# page_test.py checks the page against it (--url).
#   real_page_test.sh KESTRUNE INSTRUMENT PAGE_TEST
# Exits 77 (skipped) where chromium, its driver or Selenium is missing.
set -eu
kestrune=$1 instrument=$2 page_test=$3
[ -x /usr/bin/chromium ] && [ -x /usr/bin/chromedriver ] || { echo "chromium or chromedriver is missing"; exit 77; }
/usr/bin/python3 -c 'import selenium' 2>/dev/null || { echo "python3-selenium is missing"; exit 77; }

dir=$(mktemp -d)
instrument_pid= run_pid=
cleanup() {
  # The run saves and ends on SIGTERM; a shell's wait in an exit trap may not
  # return, so the run is watched for at most ten seconds instead.
  if [ -n "$run_pid" ] && kill "$run_pid" 2>/dev/null; then
    for _ in $(seq 100); do kill -0 "$run_pid" 2>/dev/null || break; sleep 0.1; done
  fi
  [ -n "$instrument_pid" ] && kill "$instrument_pid" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT

"$instrument" --link "$dir/tty" --stream '{n},{rand:15:35:1}' --interval 40 > /dev/null &
instrument_pid=$!
for _ in $(seq 100); do [ -e "$dir/tty" ] && break; sleep 0.05; done
echo "COM1=$dir/tty" > "$dir/ports.conf"
"$kestrune" --new-workbook "$dir/data.xls" > /dev/null
"$kestrune" config --dir "$dir" minutes=60 rows=10000 numbering=on stamp=datetime script=builtin \
  start=cell start-cell=B2 > /dev/null
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$kestrune" --headless --dir "$dir" --workbook "$dir/data.xls" --serve "127.0.0.1:$port" > /dev/null 2> "$dir/err" &
run_pid=$!
for _ in $(seq 200); do
  /usr/bin/python3 -c "import urllib.request; urllib.request.urlopen('http://127.0.0.1:$port/api/status', timeout=1)" \
    2>/dev/null && break
  sleep 0.1
done
/usr/bin/python3 "$page_test" --url "http://127.0.0.1:$port/" || { cat "$dir/err"; exit 1; }
