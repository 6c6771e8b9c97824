#!/bin/sh
# The converter on a big-endian 64-bit target (s390x) and a 32-bit one
# (i686): built statically with Debian's cross compilers (the monitor is
# compiled too) and run under qemu-user over the bundled examples, the fuzz
# seed corpus (the damaged-trace table and every record kind) and random
# traces of every record kind, cut at random lengths.  Standard output,
# standard error and the status must be byte for byte the native build's.
# Exits 77 (skipped) where the cross tools are missing outside CI.
#   cross_check.sh NATIVE_BUILD_DIR SOURCE_DIR
set -eu
native=$1
src=$2
targets="s390x-linux-gnu:qemu-s390x i686-linux-gnu:qemu-i386"
for target in $targets; do
    for tool in "${target%%:*}-g++" "${target#*:}"; do
        command -v "$tool" >/dev/null && continue
        [ -n "${CI:-}" ] && { echo "$tool missing in CI"; exit 1; }
        echo "$tool not installed"; exit 77
    done
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

mkdir "$tmp/traces"
cp "$src"/examples/*.aet "$tmp/traces/"
"$native/bin/make_corpus" "$tmp/traces"
n=0
for mix in singles lists whole blend; do
    for format in a0 c0; do
        n=$((n + 1))
        "$native/bin/aetgen" $mix 3000 1 $format $n | head -c $((20000 + n * 7919)) >"$tmp/traces/$mix-$format.aet"
    done
done

# Runs a converter over every trace into DIR: out, err and status of each.
convert_all() {
    mkdir "$2"
    for trace in "$tmp"/traces/*; do
        name=$(basename "$trace")
        status=0
        $1 "$trace" >"$2/$name.out" 2>"$2/$name.err" || status=$?
        echo $status >"$2/$name.status"
    done
}
convert_all "$native/bin/aetconv" "$tmp/native"
count=$(ls "$tmp/traces" | wc -l)

for target in $targets; do
    triple=${target%%:*}
    cmake -S "$src" -B "$tmp/$triple" -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="${triple%%-*}" \
        -DCMAKE_C_COMPILER="$triple-gcc" -DCMAKE_CXX_COMPILER="$triple-g++" -DCMAKE_EXE_LINKER_FLAGS=-static -DAET_TESTS=OFF -DAET_WERROR=ON >/dev/null
    cmake --build "$tmp/$triple" -j2 --target aetconv portlines >/dev/null
    convert_all "${target#*:} $tmp/$triple/bin/aetconv" "$tmp/$triple/out"
    diff -r "$tmp/native" "$tmp/$triple/out"
    echo "$triple: $count traces converted as natively"
done
