#!/usr/bin/env bash
# The Debian package that CPack makes: lintian finds no error in it, its control fields carry the
# computed dependencies and the recommendations, and the program unpacked from it answers
# --version without a display.
#   debian_package.sh BUILD_DIR VERSION
set -euo pipefail
build=$1
version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.txt" 2>&1 ||
  { cat "$work/cpack.txt" >&2; fail "cpack failed"; }
deb=$(ls "$work"/pkg/*.deb)

root=()
[ "$(id -u)" -ne 0 ] || root=(--allow-root)
lintian "${root[@]}" --fail-on error "$deb" || fail "lintian reports errors"

[ "$(dpkg-deb -f "$deb" Package)" = halvorine ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "version $(dpkg-deb -f "$deb" Version)"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6widgets6 librtmidi; do
  grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib: $depends"
done
[ "$(dpkg-deb -f "$deb" Recommends)" = "jackd2, qt6-wayland" ] ||
  fail "Recommends: $(dpkg-deb -f "$deb" Recommends)"

dpkg-deb -x "$deb" "$work/root"
out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$work/root/usr/bin/halvorine" --version)
[ "$out" = "halvorine $version" ] || fail "--version of the unpacked program: '$out'"
echo PASS
