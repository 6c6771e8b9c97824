#!/bin/sh
# Installs the build into temporary prefixes (plain and with DESTDIR) and
# runs the installed converter on the bundled example.
#   install_test.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
src=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cmake --install "$build" --prefix "$tmp/usr" >/dev/null
for f in bin/aetconv bin/portlines share/man/man1/aetconv.1.gz share/man/man1/portlines.1.gz share/doc/aettools/copyright; do
    [ -f "$tmp/usr/$f" ] || { echo "missing after install: $f"; exit 1; }
done
"$tmp/usr/bin/aetconv" "$src/examples/counter.aet" | cmp - "$src/examples/counter.vcd"

DESTDIR="$tmp/stage" cmake --install "$build" --prefix /opt/aet >/dev/null
[ -x "$tmp/stage/opt/aet/bin/aetconv" ] && [ -f "$tmp/stage/opt/aet/share/man/man1/portlines.1.gz" ] ||
    { echo "DESTDIR not honoured"; exit 1; }
[ ! -e /opt/aet/bin/aetconv ] || { echo "installed outside DESTDIR"; exit 1; }
echo "installed and ran"
