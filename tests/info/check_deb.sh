#!/bin/sh
# Builds the Debian package with CPack and checks what it holds.
#   check_deb.sh BUILD_DIR CPACK VERSION INSTRUMENT(yes|no)
# Exit 77 (skipped) where cpack or dpkg-deb is missing.
set -eu

build_dir=$1
cpack=$2
version=$3
instrument=$4

if [ ! -x "$cpack" ] || ! command -v dpkg-deb >/dev/null 2>&1; then
  echo "check_deb: cpack or dpkg-deb not available; skipped"
  exit 77
fi
if [ ! -f "$build_dir/CPackConfig.cmake" ]; then
  echo "check_deb: $build_dir/CPackConfig.cmake is missing (packaging/ not configured)" >&2
  exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kestrune-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT

if ! "$cpack" -G DEB --config "$build_dir/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  echo "check_deb: cpack failed" >&2
  exit 1
fi
set -- "$work"/kestrune_*.deb
if [ "$#" -ne 1 ] || [ ! -f "$1" ]; then
  echo "check_deb: expected one kestrune_*.deb in $work" >&2
  ls -l "$work" >&2
  exit 1
fi
deb=$1
failures=0
fail() {
  echo "check_deb: $*" >&2
  failures=$((failures + 1))
}

# Control fields.
[ "$(dpkg-deb -f "$deb" Package)" = kestrune ] || fail "Package is not kestrune"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "Version is not $version"
case "$(dpkg-deb -f "$deb" Maintainer)" in "Kestrune developers <"*">") ;; *) fail "Maintainer is not Kestrune developers <address>" ;; esac
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6core6 libqt6gui6 libqt6widgets6 libqt6serialport6 libqt6dbus6 libqt6charts6 libqt6svg6; do
  case "$depends" in *"$lib"*) ;; *) fail "Depends lacks $lib: $depends" ;; esac
done

# Contents.
dpkg-deb -c "$deb" >"$work/contents"
expect() {
  grep -q -- "$1" "$work/contents" || fail "the package lacks $2"
}
expect ' \./usr/lib/kestrune/kestrune$' "the program"
expect ' \./usr/lib/kestrune/manual/help\.html$' "the manual"
expect ' \./usr/share/applications/kestrune\.desktop$' "the desktop entry"
expect ' \./usr/share/icons/hicolor/scalable/apps/kestrune\.svg$' "the icon"
expect ' \./usr/bin/kestrune -> \.\./lib/kestrune/kestrune$' "the link in /usr/bin"
if [ "$instrument" = yes ]; then
  expect ' \./usr/bin/kestrune-instrument$' "the virtual instrument"
fi

# Unpacked, the link leads to a program whose folder holds the manual.
dpkg-deb -x "$deb" "$work/root"
program=$(readlink -f "$work/root/usr/bin/kestrune")
[ -x "$program" ] || fail "usr/bin/kestrune does not lead to an executable"
[ -f "$(dirname "$program")/manual/help.html" ] || fail "no manual/help.html beside the program"
cmp -s "$(dirname "$program")/manual/help.html" "$work/root/usr/lib/kestrune/manual/help.html" || fail "manual differs"

if [ "$failures" -ne 0 ]; then
  echo "--- package contents" >&2
  cat "$work/contents" >&2
  exit 1
fi
echo "check_deb: $(basename "$deb") holds the program, the manual, the desktop entry and the icon"
