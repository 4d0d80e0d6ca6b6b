#!/usr/bin/env bash
# A demonstration without hardware: a virtual instrument on a pseudo-terminal
# stands in for Com1, a sample workbook and script are made, and Kestrune runs
# an acquisition into it (in its window where a display exists, headless
# otherwise). The rows written are printed at the end.
#   tools/demo.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
kestrune="$build/src/app/kestrune"
instrument="$build/tools/instrument/kestrune-instrument"
demo="$build/demo"
rm -rf "$demo"
mkdir -p "$demo"
demo=$(cd "$demo" && pwd)

# The instrument answers each MEAS? with a running number, two readings and OK.
"$instrument" --link "$demo/ttyDEMO" --reply '{n},{rand:20:25:2},{rand:40:60:1},OK' > "$demo/instrument.out" &
instrument_pid=$!
trap 'kill $instrument_pid 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -e "$demo/ttyDEMO" ] && break; sleep 0.1; done

echo "COM1=$demo/ttyDEMO" > "$demo/ports.conf"
"$kestrune" --new-workbook "$demo/demo.xls" --overwrite
# Script lines end in CR LF: the loader ends a line at CR only.
printf '%s\r\n' \
  '; Kestrune demo: ask the instrument once a second, one row per answer' \
  'ITM:1' 'SSS' 'CLR' 'SND:MEAS?%CR' 'RCV' 'SET' 'EEE' > "$demo/demo.txt"
# Settings: script file on, numbering from 1, date and time stamps, start at B2,
# ten rows, 9600,n,8,1 on Com1: the 2048-byte setup.dat record, field by field.
{
  printf '\x00\x00\x03\x00\xff\xff\xff\xff'   # reserved, stamps 3, script file, numbering
  printf '\x01\x00\x00\x00\xff\xff'           # acquisition number 1, start at the cell
  printf '\x01\x00B\x02\x00\x00\x00\x02\x00'   # column B, row 2, column number 2
  printf '\x00\x00\x80\xee\x36\x00'           # reserved, 60 minutes
  printf '\x0a\x00\x00\x00'                   # 10 rows
  printf '\x0a\x009600,n,8,1'                 # slot 0 settings
  head -c 14 /dev/zero                        # slots 1 to 7
  printf '\x01\x00'; head -c 14 /dev/zero     # ports: Com1, then 0s
  head -c 18 /dev/zero                        # flow control 0s, empty tail
} > "$demo/setup.dat"
head -c $((2048 - $(stat -c %s "$demo/setup.dat"))) /dev/zero >> "$demo/setup.dat"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "demo: the run window shows the acquisition; press 終了 when it has finished, then close Kestrune."
  "$kestrune" --dir "$demo" --workbook "$demo/demo.xls" --start
else
  echo "demo: no display, running headless (Ctrl+C ends the run)"
  "$kestrune" --headless --dir "$demo" --workbook "$demo/demo.xls"
fi
echo
echo "demo: rows in $demo/demo.xls:"
"$kestrune" --dump "$demo/demo.xls"
