#!/bin/sh
# Makes the Debian package from a build, checks its file list, converts the
# bundled example with the unpacked aetconv and runs lintian on it.  Exits 77
# (skipped) where the Debian tools are missing outside CI.
#   deb_test.sh BUILD_DIR SOURCE_DIR
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

(cd "$build" && cpack -G DEB -B "$tmp" >/dev/null)
deb=$(echo "$tmp"/aettools_*_*.deb)
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' >"$tmp/files"
printf '%s\n' ./usr/bin/aetconv ./usr/bin/portlines ./usr/share/doc/aettools/changelog.gz \
    ./usr/share/doc/aettools/copyright ./usr/share/man/man1/aetconv.1.gz \
    ./usr/share/man/man1/portlines.1.gz | diff -u - "$tmp/files"
dpkg-deb -x "$deb" "$tmp/root"
"$tmp/root/usr/bin/aetconv" "$src/examples/counter.aet" | cmp - "$src/examples/counter.vcd"
lintian --fail-on error,warning "$deb" 2>/dev/null
echo "package $(basename "$deb") checked"
