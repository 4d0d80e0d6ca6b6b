#!/usr/bin/env bash
# Pictures of Kestrune for the README.
#
#   tools/screenshots.sh [OUT_DIR]        (default: docs/ in the source tree)
#
# Writes into OUT_DIR:
#   main.png        the main window              (the program's own --screenshot, off screen)
#   conditions.png  the acquisition conditions panel           (same, --panel conditions)
#   serial.png      the serial settings panel                  (same, --panel serial)
#   run.png         the run window of a run talking to the virtual instrument, and
#   run-sheet.png   the sheet window filling up meanwhile, and
#   chart.png       the chart window (when xdotool can press グラフ); taken from a virtual X
#                   server (xvfb-run) with ImageMagick's import (xwininfo finds the
#                   windows); skipped with a note when xvfb-run, import or
#                   kestrune-instrument is missing
#
# The programs come from the build folder unless KESTRUNE and KESTRUNE_INSTRUMENT
# name others. Settings go to a temporary folder (--dir), never to yours.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$here/docs}
kestrune=${KESTRUNE:-$here/build/src/app/kestrune}
instrument=${KESTRUNE_INSTRUMENT:-$here/build/tools/instrument/kestrune-instrument}
run_seconds=${KESTRUNE_SHOT_SECONDS:-6}

if [ ! -x "$kestrune" ]; then
  echo "screenshots: no program at $kestrune (build first, or set KESTRUNE)" >&2
  exit 1
fi
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrune-shots.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# --- Off-screen pictures: the program draws its own window into a file.
shot() {
  local file=$1
  shift
  QT_QPA_PLATFORM=offscreen "$kestrune" --dir "$work/offscreen" "$@" --screenshot "$out/$file"
  echo "screenshots: $out/$file"
}
mkdir -p "$work/offscreen"
shot main.png
shot conditions.png --panel conditions
shot serial.png --panel serial

# --- A run: the virtual instrument on a pseudo-terminal, a workbook, a script.
missing=()
command -v xvfb-run >/dev/null 2>&1 || missing+=(xvfb-run)
command -v import >/dev/null 2>&1 || missing+=("import (ImageMagick)")
[ -x "$instrument" ] || missing+=("kestrune-instrument at $instrument")
if [ ${#missing[@]} -ne 0 ]; then
  echo "screenshots: run.png skipped; missing: ${missing[*]}" >&2
  exit 0
fi

demo=$work/demo
mkdir -p "$demo"
"$kestrune" --new-workbook "$demo/demo.xls" --overwrite >/dev/null

# The script file beside the workbook: code page 932 text with CR LF line ends.
printf '%s\r\n' '; 0.5 秒ごとに測定値を問い合わせる' 'ITM:0.5' 'SSS' 'CLR' 'SND:MEAS?%CR%LF' 'RCV' 'SET' 'EEE' |
  iconv -f UTF-8 -t CP932 >"$demo/demo.txt"

# setup.dat, one 2048-byte record: time stamps, script file on, numbering from 1,
# start at A1, no time limit, 1000 rows, Com1 at 9600,n,8,1 without flow control.
le16() { printf '%b' "$(printf '\\0%03o\\0%03o' $(($1 & 255)) $((($1 >> 8) & 255)))"; }
le32() { le16 $(($1 & 65535)); le16 $((($1 >> 16) & 65535)); }
text() { le16 ${#1}; printf '%s' "$1"; }
{
  le16 0          # reserved
  le16 2          # stamp: time of day
  le16 65535      # script file: on (-1)
  le16 65535      # numbering: on
  le32 1          # acquisition number
  le16 65535      # start at the given cell
  text A          # start column
  le32 1          # start row
  le16 1          # start column number
  le16 0          # reserved
  le32 0          # acquisition time: no limit
  le32 1000       # rows
  text 9600,n,8,1 # serial settings, slot 0
  for _ in 1 2 3 4 5 6 7; do le16 0; done
  le16 1          # port Com1, slot 0
  for _ in 1 2 3 4 5 6 7; do le16 0; done
  for _ in 1 2 3 4 5 6 7 8; do le16 0; done  # flow control
  le16 0          # reserved text
} >"$demo/setup.head"
head -c 2048 <(cat "$demo/setup.head" /dev/zero) >"$demo/setup.dat"
rm "$demo/setup.head"
echo "COM1=$demo/instrument" >"$demo/ports.conf"

"$instrument" --link "$demo/instrument" --on 'MEAS?=+{rand:20:25:3},{rand:40:60:1}' --eol CR \
  >"$demo/instrument.out" 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -e "$demo/instrument" ] && break; sleep 0.1; done
if [ ! -e "$demo/instrument" ]; then
  echo "screenshots: the virtual instrument did not start:" >&2
  cat "$demo/instrument.out" >&2
  exit 1
fi

# Inside the virtual X server: start a run, let it write some rows, then take
# the run window and the sheet window, each on its own. The screen is wide
# enough for the two windows not to overlap (there is no window manager).
cat >"$demo/inside.sh" <<'INSIDE'
set -u
kestrune=$1 demo=$2 seconds=$3
"$kestrune" --dir "$demo" --workbook "$demo/demo.xls" --start --spreadsheet embedded &
pid=$!
sleep "$seconds"
window() { xwininfo -root -tree 2>/dev/null | grep -F "$1" | awk '{print $1}' | head -n 1; }
run=$(window '"Kestrune（通信処理）')  # the title goes on with the progress
# Show the communication log when xdotool can tick its box.
if [ -n "$run" ] && command -v xdotool >/dev/null 2>&1; then
  xdotool mousemove --window "$run" 15 11 click 1
  sleep 2
fi
sheet=$(window 'Kestrune シート"')
if [ -n "$run" ]; then import -window "$run" "$demo/run.png"; fi
# The chart window, opened with the run window's グラフ button (bottom right).
if [ -n "$run" ] && command -v xdotool >/dev/null 2>&1; then
  read -r w h < <(xwininfo -id "$run" | awk '/Width:/ {w = $2} /Height:/ {h = $2} END {print w, h}')
  xdotool mousemove --window "$run" $((w - 70)) $((h - 18)) click 1
  sleep 3
  chart=$(window '"Kestrune（グラフ）"')
  if [ -n "$chart" ]; then import -window "$chart" "$demo/chart.png"; fi
fi
if [ -n "$sheet" ]; then import -window "$sheet" "$demo/sheet.png"; fi
import -window root "$demo/root.png"
kill "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
exit 0
INSIDE
xvfb-run -a -s '-screen 0 2400x900x24 -br' bash "$demo/inside.sh" "$kestrune" "$demo" "$run_seconds"
if [ -f "$demo/run.png" ]; then
  cp "$demo/run.png" "$out/run.png"
  echo "screenshots: $out/run.png"
else
  # Without xwininfo: the whole screen less its empty black border.
  convert "$demo/root.png" -trim +repage "$out/run.png"
  echo "screenshots: $out/run.png (whole screen)"
fi
if [ -f "$demo/sheet.png" ]; then
  cp "$demo/sheet.png" "$out/run-sheet.png"
  echo "screenshots: $out/run-sheet.png"
fi
if [ -f "$demo/chart.png" ]; then
  cp "$demo/chart.png" "$out/chart.png"
  echo "screenshots: $out/chart.png"
fi
