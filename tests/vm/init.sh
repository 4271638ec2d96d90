#!/bin/busybox sh
# The guest's /init: mounts the kernel's file systems, loads the initramfs's
# drivers (in the order of their names), moves to the console a driver
# provides (TRELVANE_CONSOLE, if set), then runs the lines the host types.
# Every answer to the host is one line starting with "@@": nothing else the
# console shows (kernel messages, a shell error) is taken for one.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t devtmpfs dev /dev
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t tmpfs tmp /tmp
dmesg -n 1
failed=
for m in /lib/modules/*.ko; do
  insmod $m || failed="$failed $m"
done
# A virtio console's device node comes a little after its module, and
# before its port: until the port is there, opening it fails ("No such
# device"). Only a plain read open tries it, which makes no file.
if [ -n "$TRELVANE_CONSOLE" ]; then
  until [ -c /dev/$TRELVANE_CONSOLE ] && (: </dev/$TRELVANE_CONSOLE) 2>/dev/null; do
    usleep 20000
  done
  exec </dev/$TRELVANE_CONSOLE >/dev/$TRELVANE_CONSOLE 2>&1
fi
for m in $failed; do echo "@@FAIL insmod $m"; done
stty -echo

# start TAG COMMAND...: runs an updater without a terminal, as a script would
# (its console text to /tmp/TAG.out), and when it ends says
# "@@END TAG STATUS" at once, then "@@EXIT TAG STATUS HEX", HEX being its
# whole console text.
start() {
  tag=$1; shift
  (
    "$@" </dev/null >/tmp/$tag.out 2>/tmp/$tag.err &
    echo $! >/tmp/$tag.pid
    wait $!
    st=$?
    echo "@@END $tag $st"
    echo "@@EXIT $tag $st $(od -An -tx1 -v /tmp/$tag.out | tr -d ' \n')"
  ) &
}

# emu TAG ARGS...: runs the device emulator, each of its lines said as
# "@@EMU TAG LINE", and its exit status as "@@EMU TAG @@STATUS N".
emu() {
  tag=$1; shift
  (
    (
      trelvane-emu "$@" </dev/null 2>&1 &
      echo $! >/tmp/$tag.pid
      wait $!
      echo "@@STATUS $?"
    ) | while IFS= read -r l; do echo "@@EMU $tag $l"; done
  ) &
}

# cpu TAG: says "@@CPU TAG TICKS", the CPU time the process has used, in
# clock ticks.
cpu() { echo "@@CPU $1 $(cut -d' ' -f14,15 /proc/$(cat /tmp/$1.pid)/stat | tr ' ' +)"; }

# ignoring SIGNAL COMMAND...: runs the command with the signal ignored, as
# nohup does for SIGHUP (busybox has no nohup).
ignoring() {
  trap '' $1; shift
  exec "$@"
}

# seen TAG TEXT: says "@@SEEN TAG" once the updater's console shows TEXT.
seen() {
  (
    until grep -qF "$2" /tmp/$1.out 2>/dev/null; do usleep 20000; done
    echo "@@SEEN $1"
  ) &
}

# stop TAG SIGNAL: sends the updater the signal.
stop() { kill -$2 "$(cat /tmp/$1.pid)"; }

# modem PORT: says "@@MODEM PORT LINES", the modem lines COMport's UART
# drives, as its driver shows them without opening it (an open would raise
# them): "RTS", "DTR", both, or "-" for none; "?" when the driver shows no
# such port.
modem() {
  dev=$(eval echo "\${TRELVANE_COM$1:-/dev/ttyS$(($1 - 1))}")
  n=${dev##*[!0-9]}
  driver=$(awk -v p="${dev%$n}" '$2 == p { print $1 }' /proc/tty/drivers)
  info=$(grep "^$n:" "/proc/tty/driver/$driver" 2>/dev/null)
  lines=$(echo "$info" | grep -oE 'RTS|DTR' | tr '\n' ' ')
  [ -n "$info" ] || lines="?"
  echo "@@MODEM $1 ${lines:--}"
}

# present DEVICE yes|no: says "@@PRESENT DEVICE yes|no" once it is so.
present() {
  (
    until [ "$([ -c "$1" ] && echo yes || echo no)" = "$2" ]; do usleep 20000; done
    echo "@@PRESENT $1 $2"
  ) &
}

echo "@@READY $(cat /proc/uptime)"
while read -r line; do
  eval "$line"
done
echo "@@CONSOLE CLOSED"
poweroff -f
