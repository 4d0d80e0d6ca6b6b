#!/usr/bin/env bash
# Whole-program figures with the virtual instrument and the headless runner:
#   1. idle: the built-in script waits 60 s for data that never comes; CPU use of the logger.
#   2. stream: the instrument sends a line every 10 ms for 60 s; every line must reach the
#      workbook, and the logger's memory must stay flat after the first seconds.
#   bench/run_load.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${2:-60}
case $build in /*) ;; *) build="$(pwd)/$build" ;; esac
kestrune="$build/src/app/kestrune"
instrument="$build/tools/instrument/kestrune-instrument"
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT

setup_dat() {  # $1 = rows, $2 = minutes
  {
    printf '\x00\x00\x00\x00\x00\x00\x00\x00'            # reserved, no stamps, no script file, no numbering
    printf '\x01\x00\x00\x00\xff\xff'                    # number 1, start at the cell
    printf '\x01\x00A\x01\x00\x00\x00\x01\x00\x00\x00'   # A1, column 1, reserved
    printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(( ($2*60000) & 255 )) $(( ($2*60000 >> 8) & 255 )) $(( ($2*60000 >> 16) & 255 )) $(( ($2*60000 >> 24) & 255 )))"
    printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(( $1 & 255 )) $(( ($1 >> 8) & 255 )) $(( ($1 >> 16) & 255 )) 0)"
    printf '\x0a\x009600,n,8,1'; head -c 14 /dev/zero
    printf '\x01\x00'; head -c 14 /dev/zero; head -c 18 /dev/zero
  } > "$work/setup.dat"
  head -c $((2048 - $(stat -c %s "$work/setup.dat"))) /dev/zero >> "$work/setup.dat"
}

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rss_kb() { awk '/VmRSS/ {print $2}' "/proc/$1/status"; }

"$kestrune" --new-workbook "$work/book.xls"
echo "COM1=$work/tty" > "$work/ports.conf"

echo "== idle: ${seconds} s without data"
"$instrument" --link "$work/tty" > /dev/null &
sleep 0.5
setup_dat 10 "$(( (seconds + 59) / 60 + 1 ))"
"$kestrune" --headless --dir "$work" --workbook "$work/book.xls" > /dev/null 2>&1 &
pid=$!
sleep 2
start=$(cpu_ticks $pid)
sleep "$seconds"
end=$(cpu_ticks $pid)
hz=$(getconf CLK_TCK)
echo "logger CPU: $(awk -v t=$((end - start)) -v hz=$hz -v s=$seconds 'BEGIN {printf "%.2f%% of a core", 100 * t / hz / s}')"
kill -INT $pid; wait $pid || true
kill %1; wait || true

echo "== stream: a line every 10 ms for ${seconds} s"
lines=$((seconds * 100))
"$instrument" --link "$work/tty" --stream '{n},12.5,OK' --interval 10 --count "$lines" --exit-after "$lines" > /dev/null &
instrument_pid=$!
sleep 0.5
rm -f "$work/book.xls"; "$kestrune" --new-workbook "$work/book.xls"
setup_dat 65000 "$(( (seconds + 59) / 60 ))"
"$kestrune" --headless --dir "$work" --workbook "$work/book.xls" > "$work/log.txt" 2>&1 &
pid=$!
samples=()
# Sample the memory once a second until the instrument has sent (and the logger read) every line.
for _ in $(seq $((seconds + 60))); do
  sleep 1
  kill -0 $pid 2>/dev/null && samples+=("$(rss_kb $pid)") || break
  kill -0 $instrument_pid 2>/dev/null || break
done
sleep 1
kill -INT $pid 2>/dev/null || true; wait $pid || true
received=$(grep -c '^○ ' "$work/log.txt" || true)
rows=$("$kestrune" --dump "$work/book.xls" | wc -l)
written=$("$kestrune" --dump "$work/book.xls" | grep -o 'OK' | wc -l)
# Lines streamed before the logger opened the port are discarded by the open itself.
first=$(grep -m1 '^○ ' "$work/log.txt" | sed 's/^○ \([0-9]*\),.*/\1/')
echo "lines sent $lines, sent after the port opened $((lines - first + 1)), received $received," \
     "written $written (in $rows rows: lines that arrive together share a row)"
echo "logger RSS (kB) at 5 s: ${samples[4]:-?}, at the end: ${samples[-1]:-?}, max: $(printf '%s\n' "${samples[@]}" | sort -n | tail -1)"
