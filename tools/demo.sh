#!/usr/bin/env bash
# A demonstration without hardware: a virtual instrument on a pseudo-terminal
# stands in for Com1, a sample workbook and script are made, and Kestrune runs
# an acquisition into it (in its window where a display exists, headless
# otherwise). The rows written are printed at the end.
#   tools/demo.sh [--two] [BUILD_DIR]
# With --two a second instrument, a balance at 19200,e,7,1 whose answers end
# in LF, stands in for Com2, and each row holds both instruments' values.
set -euo pipefail
cd "$(dirname "$0")/.."
two=
if [ "${1:-}" = --two ]; then two=1; shift; fi
build=${1:-build}
kestrune="$build/src/app/kestrune"
instrument="$build/tools/instrument/kestrune-instrument"
demo="$build/demo"
rm -rf "$demo"
mkdir -p "$demo"
demo=$(cd "$demo" && pwd)

# The instrument answers each MEAS? with a running number, two readings and OK.
"$instrument" --link "$demo/ttyDEMO" --reply '{n},{rand:20:25:2},{rand:40:60:1},OK' > "$demo/instrument.out" &
pids=$!
trap 'kill $pids 2>/dev/null || true' EXIT
links=("$demo/ttyDEMO")
if [ -n "$two" ]; then
  "$instrument" --link "$demo/ttyBALANCE" --on 'W=+{rand:100:101:3} g' --eol LF > "$demo/balance.out" &
  pids="$pids $!"
  links+=("$demo/ttyBALANCE")
fi
for link in "${links[@]}"; do
  for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done
done

echo "COM1=$demo/ttyDEMO" > "$demo/ports.conf"
"$kestrune" --new-workbook "$demo/demo.xls" --overwrite
# Script lines end in CR LF: the loader ends a line at CR only.
printf '%s\r\n' \
  '; Kestrune demo: ask the instrument once a second, one row per answer' \
  'ITM:1' 'SSS' 'CLR' 'SND:MEAS?%CR' 'RCV' 'SET' 'EEE' > "$demo/demo.txt"
if [ -n "$two" ]; then
  # The balance's line end and time-out are set once, before the loop; both
  # instruments are asked before either answer is taken.
  printf '%s\r\n' \
    '; Kestrune demo: a thermometer on CH1 and a balance on CH2, one row for both' \
    'CHN:2' 'ECD:%LF' 'RTM:5' 'CHN:1' 'ITM:1' 'SSS' 'CLR' 'SND:MEAS?%CR' \
    'CHN:2' 'CLR' 'SND:W%LF' 'CHN:1' 'RCV' 'CHN:2' 'RCV' 'SET' 'CHN:1' 'EEE' > "$demo/demo.txt"
fi
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
if [ -n "$two" ]; then
  "$kestrune" config --dir "$demo" port.2=2 line.2=19200,e,7,1 device.2="$demo/ttyBALANCE" > /dev/null
fi

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
