#!/usr/bin/env bash
# Kestrune build script for Debian 12.
#   ./build.sh deps   install the Debian packages the build and the tests need (as root)
#   ./build.sh run    deps, build, then a demonstration acquisition (tools/demo.sh)
#   ./build.sh test   deps, build with warnings as errors, run every test
#   ./build.sh build  build only
#   ./build.sh deb    deps, build, then the Debian package (build/kestrune_*.deb) checked by lintian
set -euo pipefail
cd "$(dirname "$0")"

# libqt6opengl6-dev: Qt Charts' CMake package looks for Qt OpenGL's, which
# qt6-charts-dev does not pull in. appstream and lintian check the package's
# metadata and the package itself. libmosquitto-dev builds the MQTT sink;
# mosquitto and mosquitto-clients are the broker and tools its tests use.
# libmicrohttpd-dev serves the web view; openssl makes the certificates its tests use.
# libssl-dev: MD5 and SHA-1 (libcrypto) for workbooks encrypted with Excel's default password.
# e2fsprogs and strace inject disk faults and crashes at chosen system calls in the tests;
# systemd's systemd-analyze checks the service unit and its exposure score.
# chromium, chromium-driver and python3-selenium run the web page's test in a headless browser.
PACKAGES=(g++ cmake ninja-build pkg-config qt6-base-dev qt6-serialport-dev qt6-charts-dev qt6-svg-dev
          libqt6opengl6-dev qt6-translations-l10n libgl-dev libgtest-dev libgmock-dev
          libbenchmark-dev python3-xlrd python3-xlwt gnumeric xvfb xauth fonts-noto-cjk imagemagick
          libreoffice-calc libreoffice-dev appstream lintian clang-format libmosquitto-dev mosquitto
          mosquitto-clients libssl-dev e2fsprogs strace systemd libmicrohttpd-dev openssl chromium
          chromium-driver python3-selenium)
BUILD_DIR=${KESTRUNE_BUILD_DIR:-build}

deps() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -eq 0 ]; then return; fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "build.sh: missing packages ${missing[*]}; run as root (or with sudo) to install them" >&2
    exit 1
  fi
  echo "build.sh: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
}

build() {
  cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  cmake --build "$BUILD_DIR" -j"$(nproc)"
}

case "${1:-run}" in
  deps) deps ;;
  build) build ;;
  run)
    deps
    build
    exec tools/demo.sh "$BUILD_DIR"
    ;;
  test)
    deps
    # Every C++ file laid out as .clang-format says.
    find src tests bench tools fuzz \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 clang-format --dry-run --Werror
    build -DKESTRUNE_WERROR=ON -DKESTRUNE_BUILD_TESTS=ON
    QT_QPA_PLATFORM=offscreen ctest --test-dir "$BUILD_DIR" --output-on-failure -j"$(nproc)"
    # The .xls engine against hostile files once more, under AddressSanitizer and UBSan.
    cmake -S . -B "$BUILD_DIR-asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTRUNE_SANITIZE=ON -DKESTRUNE_WERROR=ON
    cmake --build "$BUILD_DIR-asan" -j"$(nproc)" --target xls_tests
    QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1 \
      "$BUILD_DIR-asan/tests/xls_tests" --gtest_brief=1
    ;;
  deb)
    deps
    build
    (cd "$BUILD_DIR" && cpack -G DEB)
    # Errors fail the build; warnings are shown (see packaging/README.md).
    lintian --fail-on error --info "$BUILD_DIR"/kestrune_*.deb
    ;;
  *) echo "usage: $0 [deps|run|test|build|deb]" >&2; exit 2 ;;
esac
