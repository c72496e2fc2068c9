#!/bin/busybox sh
# SPDX-License-Identifier: Apache-2.0
# /init of the VM test guest: loads the kernel modules, runs every scenario of
# one kind against its device program and prints one RESULT line per scenario
# and a final VERDICT line, then powers off. Nothing is printed while data is
# transferred: the serial console is slow under emulation.
# The kind comes from the kernel command line (quorvel.kind=...):
#   uhid    /vm/scenarios against quorvel-uhid (/dev/uhid)
#   gadget  /vm/gadget-scenarios against quorvel-gadget: USB gadgets on
#           dummy_hcd, so usbcore and usbhid carry the reports
#   scale   16 boards at once, both kinds (/vm/scale.sh)
/bin/busybox --install -s /bin
export PATH=/bin:/usr/bin
export HOME=/tmp LC_ALL=C.UTF-8 LD_LIBRARY_PATH=/lib/x86_64-linux-gnu:/usr/lib/x86_64-linux-gnu
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
chmod 1777 /tmp

finish() {
  echo "DETAIL guest uptime $(cut -d' ' -f1 /proc/uptime) s"
  echo "VERDICT: $1"
  sync
  poweroff -f
  sleep 5
}

KIND=uhid
for arg in $(cat /proc/cmdline); do
  case $arg in quorvel.kind=*) KIND=${arg#quorvel.kind=} ;; esac
done

# Without hid-generic the device gets no driver and no hidraw node; there is no
# modules.dep, so the order matters. A module the kernel has built in is not
# in /lib/modules. dummy_hcd makes two host/device controller pairs, for two
# gadgets at once.
if [ "$KIND" = gadget ]; then
  MODULES="usb-common usbcore hid hid-generic usbhid configfs udc-core libcomposite usb_f_hid dummy_hcd"
elif [ "$KIND" = scale ]; then
  MODULES="usb-common usbcore hid uhid hid-generic usbhid configfs udc-core libcomposite usb_f_hid dummy_hcd"
else
  MODULES="hid uhid hid-generic"
fi
for m in $MODULES; do
  [ -f /lib/modules/$m.ko ] || continue
  params=""
  [ "$m" = dummy_hcd ] && params="num=4"
  # shellcheck disable=SC2086
  if ! insmod /lib/modules/$m.ko $params 2>/tmp/insmod.err; then
    echo "DETAIL insmod $m: $(cat /tmp/insmod.err)"
    finish "FAIL (kernel modules)"
  fi
done
if [ "$KIND" = gadget ] || [ "$KIND" = scale ]; then
  mount -t configfs configfs /sys/kernel/config 2>/dev/null
  [ -d /sys/kernel/config/usb_gadget ] || finish "FAIL (no configfs usb_gadget)"
  [ -e /sys/class/udc/dummy_udc.1 ] || finish "FAIL (no dummy_udc.1)"
  DEVPROG=quorvel-gadget
  SCENARIOS=/vm/gadget-scenarios
  EXP=/vm/expected-gadget
else
  [ -c /dev/uhid ] || finish "FAIL (no /dev/uhid)"
  DEVPROG=quorvel-uhid
  SCENARIOS=/vm/scenarios
  EXP=/vm/expected
fi
echo "DETAIL modules loaded at $(cut -d' ' -f1 /proc/uptime) s"

. /vm/scenario-lib.sh
export QUORVEL_VM_DATA=/vm/data
ACT=/tmp/act
mkdir -p $ACT

# wait_device PID INCARNATION — until that device program's device of that
# incarnation has its hidraw node(s); prints the (bootloader's) node. Up to 10 s.
wait_device() {
  i=0
  while [ $i -lt 200 ]; do
    if [ "$(cat /tmp/ready.$1 2>/dev/null)" = "$2" ]; then
      if [ "$KIND" = gadget ]; then
        gadget_node "$1" && return 0
      else
        for u in /sys/class/hidraw/hidraw*/device/uevent; do
          [ -f "$u" ] || continue
          if grep -q "^HID_PHYS=quorvel-uhid-$1/$2\$" "$u"; then
            n=${u#/sys/class/hidraw/}
            n=/dev/${n%%/*}
            if [ -c "$n" ]; then echo "$n"; return 0; fi
          fi
        done
      fi
    fi
    usleep 50000
    i=$((i + 1))
  done
  return 1
}

# gadget_node PID — once every interface of that quorvel-gadget's device has
# its hidraw node on the host side of its dummy_hcd, prints the last one (the
# bootloader's). The harness wrote the controller's number and the interface
# count to /tmp/hcd.PID.
gadget_node() {
  read -r gn_hcd gn_want <"/tmp/hcd.$1" || return 1
  gn_count=0
  gn_node=""
  for h in /sys/class/hidraw/hidraw*; do
    [ -e "$h" ] || continue
    case $(readlink -f "$h") in
      */dummy_hcd.$gn_hcd/*)
        [ -c "/dev/${h##*/}" ] || return 1
        gn_count=$((gn_count + 1))
        gn_node=/dev/${h##*/} ;;
    esac
  done
  [ "$gn_count" = "$gn_want" ] || return 1
  echo "$gn_node"
}

stop_uhid() {
  kill -TERM "$1" 2>/dev/null
  i=0
  while kill -0 "$1" 2>/dev/null && [ $i -lt 100 ]; do usleep 50000; i=$((i + 1)); done
  if kill -0 "$1" 2>/dev/null; then
    kill -KILL "$1" 2>/dev/null
    wait "$1" 2>/dev/null
    return 99
  fi
  wait "$1"
}

run_cli() {  # run_cli OUTBASE USER ARGS...
  rc_out=$1
  rc_user=$2
  shift 2
  if [ "$rc_user" = root ]; then
    timeout -s KILL 120 quorvel-cli "$@" >"$rc_out.raw" 2>"$rc_out.err" </dev/null
  else
    timeout -s KILL 120 su -s /bin/sh "$rc_user" -c "/usr/bin/quorvel-cli $*" >"$rc_out.raw" 2>"$rc_out.err" </dev/null
  fi
  echo $? >"$rc_out.rc"
  normalize_output "$rc_out.raw" >"$rc_out.out"
}

# wait_trace FILE WORD — until the bootloader's trace has a WORD line. Up to 10 s.
wait_trace() {
  i=0
  while [ $i -lt 200 ]; do
    grep -q "^$2" "$1" 2>/dev/null && return 0
    usleep 50000
    i=$((i + 1))
  done
  return 1
}

# wait_text FILE TEXT — until FILE holds TEXT. Up to 10 s.
wait_text() {
  i=0
  while [ $i -lt 200 ]; do
    grep -qF "$2" "$1" 2>/dev/null && return 0
    usleep 50000
    i=$((i + 1))
  done
  return 1
}

# make_readable NODE — the node becomes readable again the way a newly
# installed udev rule makes it: through a "change" event.
make_readable() {
  sys=/sys/class/hidraw/${1#/dev/}
  if [ "$UDEV" = 1 ]; then
    mkdir -p /etc/udev/rules.d
    echo 'SUBSYSTEM=="hidraw", MODE="0666"' >/etc/udev/rules.d/70-vm-access.rules
    udevadm control --reload-rules
    udevadm trigger --action=change "$sys"
  else
    chmod 666 "$1"
    echo change >"$sys/uevent"
  fi
}

# start_device K PROFILE — the K-th device of a scenario; its pid is added to $pids.
start_device() {
  if [ "$1" = 1 ]; then tr=$a.trace; opts=$uopts; else tr=$a.$1.trace; opts=""; fi
  # Each gadget gets a dummy_hcd of its own.
  [ "$KIND" = gadget ] && opts="$opts --udc dummy_udc.$(($1 - 1))"
  # The ready file is named after the process, known only once it runs.
  # shellcheck disable=SC2086
  sh -c 'exec "$0" --ready /tmp/ready.$$ "$@"' $DEVPROG --simulate "$2" --trace "$tr" $opts \
    2>"$a.uhid.$1" </dev/null &
  pids="$pids $!"
  case " $opts " in *" --composite "*) ifaces=2 ;; *) ifaces=1 ;; esac
  echo "$(($1 - 1)) $ifaces" >"/tmp/hcd.$!"
}

failed=0
passed=0
UDEV=0
uptime_cs() { read -r up _ </proc/uptime; echo "${up%.*}${up#*.}"; }
seconds_since() { d=$(( $(uptime_cs) - $1 )); printf '%d.%02d' $((d / 100)) $((d % 100)); }

fail() {
  echo "RESULT $name FAIL: $1 ($(seconds_since "$t0") s)"
  shift
  for f in "$@"; do
    [ -f "$f" ] && sed -n '1,25s/^/DETAIL /p' "$f"
  done
  # uhid drops output reports when its queue of 32 is full: say so; and what
  # the USB stack had to say.
  dmesg | grep -i -e "queue is full" -e "uhid" -e "usb" -e "hid" | tail -n 5 | sed 's/^/DETAIL kernel: /'

  failed=$((failed + 1))
}

# run_pass SUFFIX — every scenario once; SUFFIX tells the passes apart.
run_pass() {
while IFS='|' read -r name profile uopts setup args rc compare patterns withudevd; do
  [ "$UDEV" = 1 ] && [ "$withudevd" != yes ] && continue
  ename=$name
  name=$name$1
  t0=$(uptime_cs)
  rm -f /tmp/ready.* /tmp/hcd.*
  dmesg -c >/dev/null
  [ "$uopts" = - ] && uopts=""
  a=$ACT/$name
  # One quorvel-uhid per device profile; the first one's trace is compared and
  # the uhid options apply to it.
  pids=""
  node=""
  unset QUORVEL_NODE1 QUORVEL_NODE2 QUORVEL_NODE3 QUORVEL_NODE4
  ok=1
  k=1
  rest=$profile
  while [ -n "$rest" ]; do
    # during-info: the others come while the command waits for the first one's answer.
    [ "$setup" = during-info ] && [ $k = 2 ] && break
    one=${rest%%;*}
    if [ "$one" = "$rest" ]; then rest=""; else rest=${rest#*;}; fi
    start_device $k "$one"
    # One after the other, so the devices enumerate in the order given.
    if [ "$setup" != wait ]; then
      n=$(wait_device $! 1) || ok=0
      [ $k = 1 ] && node=$n
      # @NODEk in the scenario's arguments.
      [ $k -le 4 ] && eval "QUORVEL_NODE$k=\$n"
    fi
    k=$((k + 1))
  done
  upid=${pids# }
  upid=${upid%% *}
  if [ $ok = 0 ]; then
    for p in $pids; do stop_uhid "$p"; done
    fail "a $DEVPROG device got no hidraw node" "$a.uhid.1" "$a.uhid.2"
    continue
  fi
  [ "$setup" != wait ] && [ "$UDEV" = 1 ] && udevadm settle --timeout=10 >/dev/null 2>&1
  user=root
  if [ "$setup" = locked ] || [ "$setup" = regain ]; then
    chmod 000 "$node"
    user=tester
  fi
  tc=$(uptime_cs)
  case $setup in
    during-info)
      # shellcheck disable=SC2046
      run_cli "$a" root $(expand_args "$args") &
      cli=$!
      wait_trace "$a.trace" INFO
      while [ -n "$rest" ]; do
        one=${rest%%;*}
        if [ "$one" = "$rest" ]; then rest=""; else rest=${rest#*;}; fi
        start_device $k "$one"
        k=$((k + 1))
      done
      wait $cli
      ;;
    regain)
      # shellcheck disable=SC2046
      run_cli "$a" $user $(expand_args "$args") &
      cli=$!
      usleep 1500000
      make_readable "$node"
      wait $cli
      rm -f /etc/udev/rules.d/70-vm-access.rules
      [ "$UDEV" = 1 ] && udevadm control --reload-rules
      ;;
    signals)
      # shellcheck disable=SC2046
      run_cli "$a" root $(expand_args "$args") &
      cli=$!
      if wait_trace "$a.trace" DATA; then
        cpid=$(pidof quorvel-cli)
        kill -TERM $cpid
        wait_text "$a.err" "Stopping after" && kill -TERM $cpid
      fi
      wait $cli
      # The device answers the late chunk before it reads what followed.
      wait_trace "$a.trace" REBOOT
      ;;
    noopen)
      # Every open the command makes, its threads' too, when strace is in the image.
      if command -v strace >/dev/null; then
        # shellcheck disable=SC2046
        timeout -s KILL 120 strace -f -qq -e trace=openat,open -o "$a.strace" quorvel-cli $(expand_args "$args") \
          >"$a.raw" 2>"$a.err" </dev/null
        echo $? >"$a.rc"
        normalize_output "$a.raw" >"$a.out"
        echo "DETAIL $name: hidraw opens: $(grep -c '"/dev/hidraw' "$a.strace")"
      else
        echo "DETAIL $name: strace is not in the image; opens not counted"
        # shellcheck disable=SC2046
        run_cli "$a" root $(expand_args "$args")
      fi
      ;;
    twice)
      # shellcheck disable=SC2046
      run_cli "$a" root $(expand_args "$args") &
      cli=$!
      wait_trace "$a.trace" ERASE
      # shellcheck disable=SC2046
      run_cli "$a.second" root $(expand_args "$args")
      wait $cli
      ;;
    *)
      # shellcheck disable=SC2046
      run_cli "$a" $user $(expand_args "$args")
      ;;
  esac
  tc=$(seconds_since "$tc")
  if [ "$setup" = reboot ]; then
    if wait_device "$upid" 2 >/dev/null; then
      [ "$UDEV" = 1 ] && udevadm settle --timeout=10 >/dev/null 2>&1
      run_cli "$a.2" root info
    else
      echo 99 >"$a.2.rc"
      : >"$a.2.out"
    fi
  fi
  urc=0
  for p in $pids; do
    stop_uhid "$p" || urc=$?
  done

  got=$(cat "$a.rc")
  if [ "$got" != "$rc" ]; then
    fail "exit code $got, expected $rc" "$a.raw" "$a.err"
  elif [ "$setup" = twice ] && [ "$(cat "$a.second.rc")" != 2 ]; then
    fail "the second command exits $(cat "$a.second.rc"), expected 2" "$a.second.raw" "$a.second.err"
  elif [ "$setup" = twice ] && ! cat "$a.second.raw" "$a.second.err" | grep -q "in use by another program"; then
    fail "the second command does not say the board is in use" "$a.second.raw" "$a.second.err"
  elif [ "$setup" = noopen ] && [ -f "$a.strace" ] && grep -q '"/dev/hidraw' "$a.strace"; then
    fail "a hidraw node was opened" "$a.strace"
  elif [ "$setup" = signals ] && { [ "$(tail -n 1 "$a.trace")" != REBOOT ] || grep -q VIOLATION "$a.trace"; }; then
    fail "the device was not restarted at a command boundary" "$a.trace" "$a.raw" "$a.err"
  elif [ $urc -ne 0 ]; then
    fail "$DEVPROG ended with $urc" "$a.uhid.1" "$a.uhid.2"
  elif ! missing=$(cat "$a.raw" "$a.err" >"$a.all"; contains_all "$a.all" "$patterns"); then
    fail "output lacks '$missing'" "$a.raw" "$a.err"
  elif [ "$compare" = out ] && ! diff -u "$EXP/$ename.out" "$a.out" >"$a.diff"; then
    fail "output differs from the simulator's" "$a.diff"
  elif [ "$setup" = reboot ] && [ "$(cat "$a.2.rc")" != "$(cat "$EXP/$ename.2.rc" 2>/dev/null)" ]; then
    fail "after the reboot: exit code $(cat "$a.2.rc")" "$a.2.raw" "$a.2.err" "$a.uhid.1"
  elif [ "$setup" = reboot ] && ! diff -u "$EXP/$ename.2.out" "$a.2.out" >"$a.diff"; then
    fail "after the reboot: output differs from the simulator's" "$a.diff"
  elif [ "$compare" != - ] && ! diff -u "$EXP/$ename.trace" "$a.trace" >"$a.diff"; then
    fail "bootloader trace differs from the simulator's" "$a.diff"
  else
    echo "RESULT $name PASS ($(seconds_since "$t0") s, command $tc s)"
    passed=$((passed + 1))
  fi
done <<EOF
$(scenario_lines $SCENARIOS)
EOF
}

# measure_round_trip — information requests written straight to one device's
# hidraw node, each waiting for its answer: what the kernel's stack and the
# device program cost per report, without quorvel on the host side.
measure_round_trip() {
  command -v hidraw_roundtrip >/dev/null || return 0
  rm -f /tmp/ready.* /tmp/hcd.*
  mopts=""
  [ "$KIND" = gadget ] && mopts="--udc dummy_udc.0"
  # shellcheck disable=SC2086
  sh -c 'exec "$0" --ready /tmp/ready.$$ "$@"' $DEVPROG --simulate family=37 $mopts 2>/dev/null </dev/null &
  mpid=$!
  echo "0 1" >"/tmp/hcd.$mpid"
  if mnode=$(wait_device $mpid 1); then
    hidraw_roundtrip "$mnode" 500 2>&1 | sed "s/^/DETAIL $DEVPROG /"
  else
    echo "DETAIL $DEVPROG round trip not measured: no hidraw node"
  fi
  stop_uhid $mpid
}

if [ "$KIND" = scale ]; then
  [ -c /dev/uhid ] || finish "FAIL (no /dev/uhid)"
  [ -e /sys/class/udc/dummy_udc.3 ] || finish "FAIL (no dummy_udc.3)"
  . /vm/scale.sh
  run_scale
  if [ $failed -eq 0 ] && [ $passed -gt 0 ]; then finish "PASS ($passed scenarios)"; fi
  finish "FAIL ($failed of $((passed + failed)) scenarios failed)"
fi
run_pass ""
measure_round_trip
if [ -x /lib/systemd/systemd-udevd ]; then
  # Second pass with udevd: devices are announced on the "udev" monitor only
  # once processed, and libudev reports them as initialized.
  mkdir -p /run/udev
  if /lib/systemd/systemd-udevd --daemon 2>/tmp/udevd.err; then
    udevadm trigger --action=add >/dev/null 2>&1
    udevadm settle --timeout=10 >/dev/null 2>&1
    echo "DETAIL systemd-udevd running at $(cut -d' ' -f1 /proc/uptime) s"
    UDEV=1
    run_pass "+udevd"
  else
    echo "DETAIL systemd-udevd did not start: $(head -n 3 /tmp/udevd.err)"
    failed=$((failed + 1))
  fi
fi

if [ $failed -eq 0 ] && [ $passed -gt 0 ]; then
  finish "PASS ($passed scenarios)"
else
  finish "FAIL ($failed of $((passed + failed)) scenarios failed)"
fi
