#!/bin/sh
# portlines on a real serial driver: a virtual machine (QEMU, TCG) boots
# Debian's current kernel, whose 8250 driver serves an emulated 16550 UART at
# /dev/ttyS1, with busybox and a static portlines as its user space.  The
# guest's console (ttyS0) goes to a file that the test reads; ttyS1's far end
# is a Unix socket that the test writes the lines into.  Each row of the
# table is one run of the monitor: the entries on its standard output, its
# status and the port's settings before, during and after it.  Exits 77
# (skipped) where QEMU, busybox-static, cpio or the kernel package cannot be
# had outside CI; in CI that is a failure.
#   uart_test.sh PORTLINES_STATIC WORKDIR   (the kernel is kept in WORKDIR)
set -u
bin=$1 dir=$2 start=$(date +%s)
skip() {
    [ -n "${CI:-}" ] && { echo "$1 (in CI)"; exit 1; }
    echo "$1: skipped"; exit 77
}
for tool in qemu-system-x86_64 cpio python3 apt-get dpkg; do
    command -v $tool >/dev/null || skip "$tool missing"
done
[ "$(dpkg-query -W -f '${db:Status-Status}' busybox-static 2>/dev/null)" = installed ] ||
    skip "busybox-static missing"

# The kernel of linux-image-amd64, unpacked once per build tree, never installed.
if [ ! -f "$dir/vmlinuz" ]; then
    pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-.*\)/\1/p' | head -n 1)
    [ -n "$pkg" ] || skip "no kernel package known (apt-get update)"
    rm -rf "$dir/deb" && mkdir -p "$dir/deb"
    (cd "$dir/deb" && apt-get download "$pkg" && dpkg -x ./*.deb x) >"$dir/fetch.log" 2>&1 ||
        { cat "$dir/fetch.log"; skip "could not fetch $pkg"; }
    mv "$dir"/deb/x/boot/vmlinuz-* "$dir/vmlinuz" && echo "$pkg" >"$dir/package" && rm -rf "$dir/deb"
fi

tmp=$(mktemp -d) qemu=0 far=0
trap 'for p in $qemu $far; do [ $p -eq 0 ] || kill $p 2>/dev/null; done; rm -rf "$tmp"' EXIT
trap 'exit 1' INT TERM HUP

# One row a run: its name | what the guest does meanwhile (second: starts
# a second monitor; term: sends SIGTERM) | the bytes the test sends
# (printf, - for none; \040 for a space) | the entries (printf) | status.
a45=$(printf '%45s' | tr ' ' a) a255=$(printf '%255s' | tr ' ' a)
cases=$(cat <<EOF
plain | second | one\rtwo\040words\nz\r | :one\n:4\n:two\040words\n:10\n:z\n:2\n | 0
crlf  | -      | crlf\r\nz\r | :crlf\n:5\n:\n:1\n:z\n:2\n | 0
long  | -      | $a255${a45}\rz\r | :$a255:255\n:$a45\n:46\n:z\n:2\n | 0
stop  | -      | zebra\r | :zebra\n:6\n | 0
term  | term   | - | - | 143
EOF
)

# The guest: runs the rows in turn, each announced by "NAME ready" once the
# monitor's settings are on the port, and reports on the console; then the
# driver's own lines, and the monitor on /dev/tty with the port as
# controlling terminal.
mkdir -p "$tmp/root/bin" && cp /bin/busybox "$tmp/root/bin/" && cp "$bin" "$tmp/root/bin/portlines"
printf '%s\n' "$cases" >"$tmp/root/cases"
cat >"$tmp/root/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mkdir -p /proc /sys /tmp && mount -t proc proc /proc && mount -t devtmpfs dev /dev
settings() { stty -F /dev/ttyS1 -a 2>/dev/null | tr '\n' ' '; }
stty -F /dev/ttyS1 1200 cs7 parenb cstopb   # settings of the test's own, to be put back
for row in $(sed 's/ //g' /cases | cut -d'|' -f1,2); do
    name=${row%|*} act=${row#*|}
    before=$(settings)
    portlines >/tmp/out 2>/tmp/err & pid=$!
    for i in $(seq 100); do settings | grep -q ' crtscts' && break; sleep 0.05; done
    echo "$name during: $(settings) $(grep '^1:' /proc/tty/driver/serial)"
    if [ "$act" = second ]; then portlines >/dev/null 2>/tmp/err2; echo "$name second: $? $(cat /tmp/err2)"; fi
    echo "$name ready"
    if [ "$act" = term ]; then kill -TERM $pid; fi
    wait $pid
    echo "$name status: $?"
    echo "$name out: $(od -An -v -tx1 /tmp/out | tr -d ' \n')"
    echo "$name err: $(cat /tmp/err)"
    echo "$name before: $before"
    echo "$name after: $(settings)"
    echo "$name done"
done
setsid -c sh -c 'exec portlines </dev/null >/dev/tty 2>/tmp/err' </dev/ttyS1
echo "tty: $? $(cat /tmp/err)"
dmesg | grep ttyS | sed 's/^/dmesg: /'
echo "counts: $(grep '^1:' /proc/tty/driver/serial)"
echo "all done"
poweroff -f
EOF
chmod +x "$tmp/root/init"
(cd "$tmp/root" && find . | cpio -o -H newc --quiet) >"$tmp/initrd" || exit 1

: >"$tmp/console"
qemu-system-x86_64 -accel tcg -m 256M -nodefaults -no-user-config -display none -no-reboot \
    -kernel "$dir/vmlinuz" -initrd "$tmp/initrd" -append "console=ttyS0 quiet panic=-1" \
    -serial "file:$tmp/console" -chardev "socket,id=line,path=$tmp/line,server=on,wait=off" \
    -serial chardev:line >"$tmp/qemu.log" 2>&1 &
qemu=$!
# The far end of the line: one connection for the whole run (QEMU drops what
# it has not read yet when its peer closes), fed through a FIFO.
mkfifo "$tmp/send" && exec 4<>"$tmp/send"
python3 -c '
import os, socket, sys, time
s = socket.socket(socket.AF_UNIX)
for i in range(100):
    try: s.connect(sys.argv[1]); break
    except OSError: time.sleep(0.1)
while data := os.read(0, 65536): s.sendall(data)' "$tmp/line" <"$tmp/send" &
far=$!

failed=0
fail() {
    echo "FAIL: $*"
    failed=1
}
# Waits up to $2 seconds for a console line that begins with $1.
wait_for() {
    i=0
    until tr -d '\r' <"$tmp/console" 2>/dev/null | grep -q "^$1"; do
        [ $i -lt $(($2 * 10)) ] && kill -0 $qemu 2>/dev/null || { fail "no '$1' within $2 s"; return 1; }
        sleep 0.1; i=$((i + 1))
    done
}
field() { tr -d '\r' <"$tmp/console" | sed -n "s/^$1: //p"; }
hex() { printf "$1" | od -An -v -tx1 | tr -d ' \n'; }
same() { [ "$2" = "$3" ] || fail "$1: got '$2', want '$3'"; }

limit=40 # the first wait includes the boot
while IFS=' |' read -r name act send want status <&3; do
    wait_for "$name ready" $limit || break
    limit=15
    [ "$send" = - ] || printf "$send" >&4
    wait_for "$name done" $limit || break
    [ "$want" = - ] && want=
    same "$name entries" "$(field "$name out")" "$(hex "$want")"
    same "$name status" "$(field "$name status")" "$status"
    same "$name standard error" "$(field "$name err")" ""
    same "$name settings after" "$(field "$name after")" "$(field "$name before")"
    during=$(field "$name during")
    for flag in 'speed 38400 baud;' ' cs8 ' ' -parenb ' ' -cstopb ' ' crtscts ' ' clocal ' ' cread ' \
        ' icanon ' ' -echo ' ' RTS|CTS'; do
        case "$during" in *"$flag"*) ;; *) fail "$name during: no '$flag' in '$during'" ;; esac
    done
done 3<<EOF
$cases
EOF
same "second monitor" "$(field "plain second")" "255 /dev/ttyS1: in use by another program"
if wait_for "all done" 15; then
    same "/dev/tty as standard output" "$(field tty)" "255 standard output: is the port /dev/ttyS1 itself"
    case "$(field counts)" in *" tx:0 "*) ;; *) fail "the monitor wrote onto the port: $(field counts)" ;; esac
    case "$(field dmesg)" in *"ttyS1 at I/O 0x2f8"*16550A*) ;; *) fail "no 16550A at ttyS1" ;; esac
fi
i=0
while kill -0 $qemu 2>/dev/null && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done

echo "kernel: $(cat "$dir/package"), guest settings while the monitor ran:"
field "plain during"
field dmesg
field counts
[ $failed -eq 0 ] || { echo "--- guest console:"; tr -d '\r' <"$tmp/console"; cat "$tmp/qemu.log"; }
echo "uart test: $([ $failed -eq 0 ] && echo passed || echo failed) in $(($(date +%s) - start)) s"
exit $failed
