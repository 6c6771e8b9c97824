#!/bin/sh
# Installs the build with cmake --install (into a prefix, and with DESTDIR)
# and makes the Debian package: both hold exactly the files listed here, and
# the installed converter converts the bundled example.  lintian checks the
# package.  Exits 77 (skipped) where the Debian tools are missing outside CI.
#   install_test.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
src=$2
for tool in cpack dpkg-deb dpkg-shlibdeps lintian; do
    command -v "$tool" >/dev/null && continue
    [ -n "${CI:-}" ] && { echo "$tool missing in CI"; exit 1; }
    echo "$tool not installed"; exit 77
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
files() { (cd "$1" && find . -type f | sort); }
# aetfst and its manual page are there when the build has aetfst (where the
# FST writer library's sources and zlib were found).
fst=
[ -x "$build/bin/aetfst" ] && fst="bin/aetfst share/man/man1/aetfst.1.gz"
printf './usr/%s\n' bin/aetconv bin/portlines share/doc/aettools/changelog.gz share/doc/aettools/copyright \
    share/man/man1/aetconv.1.gz share/man/man1/portlines.1.gz $fst | sort >"$tmp/want"

cmake --install "$build" --prefix "$tmp/prefix/usr" >/dev/null
files "$tmp/prefix" | diff -u "$tmp/want" -
DESTDIR="$tmp/stage" cmake --install "$build" --prefix /usr >/dev/null
files "$tmp/stage" | diff -u "$tmp/want" -
(cd "$build" && cpack -G DEB -B "$tmp" >/dev/null)
deb=$(echo "$tmp"/aettools_*_*.deb)
dpkg-deb -x "$deb" "$tmp/package"
files "$tmp/package" | diff -u "$tmp/want" -
for root in prefix stage package; do
    "$tmp/$root/usr/bin/aetconv" "$src/examples/counter.aet" | cmp - "$src/examples/counter.vcd"
done
lintian --fail-on error,warning "$deb" 2>/dev/null
echo "installed, packaged ($(basename "$deb")) and ran"
