#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# VM test: quorvel-cli against simulated bootloaders on a real Linux HID stack.
#
# Boots the Debian kernel under qemu (software emulation, no KVM, no root on
# the host's kernel needed) with an initramfs holding busybox, kernel modules,
# quorvel-cli, the device programs and their libraries, once per pass:
#   uhid    tests/vm/scenarios against quorvel-uhid (hid, uhid, hid-generic)
#   gadget  tests/vm/gadget-scenarios against quorvel-gadget: USB gadgets on
#           dummy_hcd (usbcore, usbhid, configfs, libcomposite, usb_f_hid), so
#           reports travel through USB endpoints
#   scale   tests/vm/scale.sh: 16 boards at once (4 gadgets, 12 uhid devices,
#           one of them hung); counts opens and scans, prints its times
# Every scenario is compared with the same command run here on the simulator.
#
# Usage: scripts/vm-test.sh [--build DIR] [--only uhid|gadget|scale] [--keep] [--verbose]
#   --build DIR   build tree with quorvel-cli and the device programs (default
#                 build/default; configured and built as needed)
#   --only PASS   run one pass only
#   --keep        keep the work directory (initramfs, expectations, guest logs)
#   --verbose     show the guests' full console
# Environment: QUORVEL_VM_CACHE (kernel cache, default ~/.cache/quorvel-vm),
#              QUORVEL_VM_TIMEOUT (seconds for the guest, default 240),
#              QUORVEL_VM_SCALE_TIMEOUT (seconds for the scale guest, default 420).
# Exit status: 0 every scenario passed, 1 a scenario failed or the guest never
# reported, 2 the harness could not be prepared.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD="$ROOT/build/default"
KEEP=0
VERBOSE=0
PASSES="uhid gadget scale"
while [ $# -gt 0 ]; do
  case "$1" in
    --build) BUILD=$(realpath -m "$2"); shift 2 ;;
    --only)
      case "${2:-}" in uhid|gadget|scale) PASSES=$2 ;; *) echo "vm-test: --only uhid|gadget|scale" >&2; exit 2 ;; esac
      shift 2 ;;
    --keep) KEEP=1; shift ;;
    --verbose) VERBOSE=1; shift ;;
    -h|--help) sed -n '2,26p' "$0"; exit 0 ;;
    *) echo "vm-test: unknown option $1" >&2; exit 2 ;;
  esac
done
CACHE=${QUORVEL_VM_CACHE:-${XDG_CACHE_HOME:-${HOME:-$ROOT/build}/.cache}/quorvel-vm}
GUEST_TIMEOUT=${QUORVEL_VM_TIMEOUT:-240}
SCALE_TIMEOUT=${QUORVEL_VM_SCALE_TIMEOUT:-420}
VMDIR="$ROOT/tests/vm"

T0=$(date +%s.%N)
elapsed() { awk -v a="$T0" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }'; }
say() { echo "vm-test [$(elapsed)s]: $*"; }
die() { echo "vm-test: $*" >&2; echo "VM TEST: FAILED (harness: $*)"; exit 2; }

if [ "$(id -u)" -eq 0 ]; then SUDO=(); else SUDO=(sudo); fi

# --- tools -------------------------------------------------------------------
need=()
command -v qemu-system-x86_64 >/dev/null || need+=(qemu-system-x86)
dpkg-query -W -f='${Status}' busybox-static 2>/dev/null | grep -q "ok installed" || need+=(busybox-static)
command -v xz >/dev/null || need+=(xz-utils)
command -v cpio >/dev/null || need+=(cpio)
command -v objcopy >/dev/null || need+=(binutils)
if [ ${#need[@]} -gt 0 ]; then
  say "installing ${need[*]}"
  "${SUDO[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${need[@]}" \
    >/dev/null || die "cannot install ${need[*]}"
fi

# --- the programs under test ---------------------------------------------------
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  say "configuring $BUILD"
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUORVEL_WERROR=ON >/dev/null ||
    die "cmake configure failed"
fi
cmake --build "$BUILD" --target quorvel-cli quorvel-uhid quorvel-gadget -j "$(nproc 2>/dev/null || echo 2)" \
  >/dev/null || die "building quorvel-cli and the device programs failed"
CLI=$(find "$BUILD" -type f -name quorvel-cli -perm -u+x | head -n1)
UHID=$(find "$BUILD" -type f -name quorvel-uhid -perm -u+x | head -n1)
GADGET=$(find "$BUILD" -type f -name quorvel-gadget -perm -u+x | head -n1)
[ -n "$CLI" ] && [ -n "$UHID" ] && [ -n "$GADGET" ] || die "quorvel-cli or a device program not found under $BUILD"
# The round-trip measurement is optional: benchmarks may be switched off.
cmake --build "$BUILD" --target hidraw_roundtrip >/dev/null 2>&1 || true
ROUNDTRIP=$(find "$BUILD" -type f -name hidraw_roundtrip -perm -u+x | head -n1)

# --- kernel: vmlinux and the HID and USB modules, cached -----------------------
# name and path in the package; a module the kernel has built in may be missing.
MODULES="hid:drivers/hid/hid uhid:drivers/hid/uhid hid-generic:drivers/hid/hid-generic
  usbhid:drivers/hid/usbhid/usbhid usb-common:drivers/usb/common/usb-common usbcore:drivers/usb/core/usbcore
  configfs:fs/configfs/configfs udc-core:drivers/usb/gadget/udc/udc-core
  libcomposite:drivers/usb/gadget/libcomposite usb_f_hid:drivers/usb/gadget/function/usb_f_hid
  dummy_hcd:drivers/usb/gadget/udc/dummy_hcd"
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ { print $2; exit }'
}
PKG=$(kernel_package)
if [ -z "$PKG" ]; then
  "${SUDO[@]}" apt-get update -qq || true
  PKG=$(kernel_package)
fi
if [ -z "$PKG" ]; then
  # Offline: fall back to whatever kernel was prepared before.
  PKG=$(ls -1 "$CACHE" 2>/dev/null | grep '^linux-image-' | sort -V | tail -n1 || true)
fi
[ -n "$PKG" ] || die "cannot tell which kernel package linux-image-amd64 depends on"
KDIR="$CACHE/$PKG"
# A cache made before a module was added to the list is made again.
[ "$(cat "$KDIR/ready" 2>/dev/null)" = "$MODULES" ] || rm -f "$KDIR/ready"
if [ ! -f "$KDIR/ready" ]; then
  say "preparing kernel $PKG"
  rm -rf "$KDIR" && mkdir -p "$KDIR/modules"
  DL=$(mktemp -d)
  chmod 777 "$DL"  # apt's download sandbox user must be able to write here
  (cd "$DL" && apt-get download -qq "$PKG" >/dev/null 2>&1) || { rm -rf "$DL"; die "apt-get download $PKG failed"; }
  DEB=$(ls "$DL"/*.deb)
  mkdir "$DL/x"
  patterns=()
  for e in $MODULES; do patterns+=("*/kernel/${e#*:}.ko*"); done
  dpkg-deb --fsys-tarfile "$DEB" |
    tar -x -C "$DL/x" --wildcards './boot/vmlinuz-*' '*/modules.builtin' "${patterns[@]}" ||
    { rm -rf "$DL"; die "cannot extract $DEB"; }
  for e in $MODULES; do
    m=${e%%:*}
    f=$(find "$DL/x" -path "*/kernel/${e#*:}.ko*" | head -n1)
    if [ -z "$f" ]; then
      grep -q "/${e#*:}.ko\$" "$DL"/x/lib/modules/*/modules.builtin 2>/dev/null && continue
      rm -rf "$DL"
      die "module $m not in $PKG"
    fi
    case "$f" in
      *.ko.xz) xz -dc "$f" >"$KDIR/modules/$m.ko" ;;
      *.ko.zst) zstd -qdc "$f" >"$KDIR/modules/$m.ko" ;;
      *.ko.gz) gzip -dc "$f" >"$KDIR/modules/$m.ko" ;;
      *) cp "$f" "$KDIR/modules/$m.ko" ;;
    esac
  done
  # The uncompressed ELF kernel boots in about half the time of the bzImage
  # under software emulation (no in-guest decompression).
  VMLINUZ=$(ls "$DL"/x/boot/vmlinuz-*)
  off=$(set +o pipefail; LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$VMLINUZ" | head -n1 | cut -d: -f1)
  # xz stops after the first stream and tail then dies of SIGPIPE: judge xz alone.
  if [ -n "$off" ] && (set +o pipefail; tail -c +$((off + 1)) "$VMLINUZ" | xz -dc --single-stream >"$KDIR/vmlinux") \
       2>/dev/null && [ "$(head -c 4 "$KDIR/vmlinux" | od -An -c | tr -d ' ')" = '177ELF' ]; then
    :
  else
    say "no xz payload found; booting the compressed kernel"
    rm -f "$KDIR/vmlinux"
    cp "$VMLINUZ" "$KDIR/vmlinuz"
  fi
  rm -rf "$DL"
  echo "$MODULES" >"$KDIR/ready"
fi
KERNEL="$KDIR/vmlinux"
[ -f "$KERNEL" ] || KERNEL="$KDIR/vmlinuz"

# --- udevd: the scenarios run once with only the kernel's uevents and once with
# systemd-udevd, whose "udev" monitor and database are what desktops have. The
# host need not run udev: the daemon comes from the package, not installed.
UDEVADM=""
if [ -x /bin/udevadm ] && [ -e /lib/systemd/systemd-udevd ]; then
  UDEVADM=/bin/udevadm
else
  UPKG=$(apt-cache policy udev 2>/dev/null | awk '/Candidate:/ { print $2; exit }')
  UDIR="$CACHE/udev-${UPKG:-unknown}"
  if [ ! -x "$UDIR/udevadm" ] && [ -n "$UPKG" ] && [ "$UPKG" != "(none)" ]; then
    say "fetching udevd from the udev package $UPKG"
    DL=$(mktemp -d)
    chmod 777 "$DL"
    if (cd "$DL" && apt-get download -qq udev >/dev/null 2>&1) && dpkg-deb -x "$DL"/udev_*.deb "$DL/x"; then
      mkdir -p "$UDIR" && cp "$DL/x/bin/udevadm" "$UDIR/udevadm"
    fi
    rm -rf "$DL"
  fi
  [ -x "$UDIR/udevadm" ] && UDEVADM="$UDIR/udevadm"
fi
if [ -n "$UDEVADM" ] && ! ldd "$UDEVADM" | grep -q "not found"; then
  :
else
  say "systemd-udevd not available: scenarios run with kernel uevents only"
  UDEVADM=""
fi

# --- work directory -----------------------------------------------------------
WORK=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-vm.XXXXXX")
cleanup() { if [ "$KEEP" = 1 ]; then say "work directory kept: $WORK"; else rm -rf "$WORK"; fi; }
trap cleanup EXIT
R="$WORK/root"
mkdir -p "$R"/{bin,dev,proc,sys,tmp,run,etc,vm/data,vm/expected,vm/expected-gadget,lib/modules}

# --- expectations: the same commands on the simulator ---------------------------
say "recording expectations on the simulator"
# shellcheck source=../tests/vm/scenario-lib.sh
. "$VMDIR/scenario-lib.sh"
cp "$VMDIR"/data/* "$R/vm/data/"
cp "$VMDIR/scenarios" "$VMDIR/gadget-scenarios" "$VMDIR/scenario-lib.sh" "$VMDIR/scale.sh" "$R/vm/"
export QUORVEL_VM_DATA="$VMDIR/data"
case " $PASSES " in *" uhid "*)
  record_expectations "$CLI" "$VMDIR/scenarios" "$R/vm/expected" || die "recording expectations failed" ;;
esac
case " $PASSES " in *" gadget "*)
  record_expectations "$CLI" "$VMDIR/gadget-scenarios" "$R/vm/expected-gadget" ||
    die "recording expectations failed" ;;
esac

# --- initramfs ---------------------------------------------------------------
say "building initramfs"
cp /bin/busybox "$R/bin/busybox"
cp "$KDIR"/modules/*.ko "$R/lib/modules/"
cp "$VMDIR/init.sh" "$R/init"
chmod 755 "$R/init"
mkdir -p "$R/usr/bin"
objcopy --strip-debug "$CLI" "$R/usr/bin/quorvel-cli"
objcopy --strip-debug "$UHID" "$R/usr/bin/quorvel-uhid"
objcopy --strip-debug "$GADGET" "$R/usr/bin/quorvel-gadget"
[ -n "$ROUNDTRIP" ] && objcopy --strip-debug "$ROUNDTRIP" "$R/usr/bin/hidraw_roundtrip"
# strace, when the host has it, counts the hidraw opens of the noopen scenarios.
STRACE=$(command -v strace || true)
[ -n "$STRACE" ] && cp "$STRACE" "$R/usr/bin/strace"
copy_closure() {
  ldd "$1" | awk '/=> \// { print $3 } /^\t\// { print $1 }' | while read -r lib; do
    [ -e "$R$lib" ] && continue
    mkdir -p "$R$(dirname "$lib")"
    cp -L "$lib" "$R$lib"
  done
}
copy_closure "$CLI"
copy_closure "$UHID"
copy_closure "$GADGET"
[ -n "$STRACE" ] && copy_closure "$STRACE"
if [ -n "$UDEVADM" ]; then
  mkdir -p "$R/lib/systemd" "$R/etc/udev/rules.d" "$R/lib/udev/rules.d"
  cp "$UDEVADM" "$R/bin/udevadm.real"
  # udevadm is multi-call: it acts by the name it was started with.
  ln -s /bin/udevadm.real "$R/lib/systemd/systemd-udevd"
  ln -s /bin/udevadm.real "$R/bin/udevadm"
  copy_closure "$UDEVADM"
fi
# Qt refuses to guess an encoding in the plain C locale; C.UTF-8 is small.
if [ -d /usr/lib/locale/C.utf8 ]; then
  mkdir -p "$R/usr/lib/locale" && cp -r /usr/lib/locale/C.utf8 "$R/usr/lib/locale/"
fi
printf 'root:x:0:0:root:/tmp:/bin/sh\ntester:x:1000:1000:tester:/tmp:/bin/sh\n' >"$R/etc/passwd"
printf 'root:x:0:\ntester:x:1000:\n' >"$R/etc/group"
(cd "$R" && find . | cpio -o -H newc --quiet | gzip -1 >"$WORK/initrd.gz")
say "initramfs $(du -h "$WORK/initrd.gz" | cut -f1)"

# --- boot: one guest per pass ----------------------------------------------------
# boot PASS — runs the guest and judges it by its VERDICT line only (qemu exits
# 0 after a guest panic too). Prints the pass's closing line; adds to the counts.
TOTAL_PASS=0
TOTAL_FAIL=0
boot() {
  local pass=$1 title log t0 rc npass nfail limit=$GUEST_TIMEOUT memory=768
  case "$pass" in uhid) title="VM TEST" ;; gadget) title="VM TEST (USB gadget)" ;; esac
  # One emulated CPU serves 16 device programs and 17 quorvel-cli processes.
  [ "$pass" = scale ] && title="VM TEST (16 boards)" limit=$SCALE_TIMEOUT memory=1024
  t0=$(date +%s.%N)
  say "$pass pass: booting $(basename "$KERNEL") ($PKG) under qemu (TCG)"
  log="$WORK/guest-$pass.log"
  set +e
  timeout --kill-after=10 "$limit" qemu-system-x86_64 \
    -machine pc -accel tcg -cpu max -m "$memory" -smp 1 \
    -nodefaults -no-user-config -display none -serial stdio -no-reboot \
    -kernel "$KERNEL" -initrd "$WORK/initrd.gz" \
    -append "console=ttyS0 quiet loglevel=1 panic=-1 rdinit=/init quorvel.kind=$pass" </dev/null >"$log" 2>&1
  rc=$?
  set -e
  tr -d '\r' <"$log" >"$log.txt"
  if [ "$VERBOSE" = 1 ]; then cat "$log.txt"; else grep -E '^(RESULT|DETAIL|VERDICT)' "$log.txt" || true; fi
  sed -n 's/^FIGURES //p' "$log.txt"
  npass=$(grep -c '^RESULT .* PASS' "$log.txt" || true)
  nfail=$(grep -c '^RESULT .* FAIL' "$log.txt" || true)
  local seconds
  seconds=$(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
  # The first pass's time counts the preparation too, as it always did.
  [ "$pass" = uhid ] && seconds=$(elapsed)
  if grep -q '^VERDICT: PASS' "$log.txt"; then
    echo "$title: PASSED ($npass scenarios, $seconds s)"
    TOTAL_PASS=$((TOTAL_PASS + npass))
    return 0
  fi
  if ! grep -q '^VERDICT:' "$log.txt"; then
    [ "$rc" = 124 ] && say "the $pass guest timed out after ${limit}s"
    say "no verdict from the $pass guest; last console lines:"
    tail -n 40 "$log.txt"
  fi
  echo "$title: FAILED"
  # A guest that never reported counts as one failure.
  [ "$nfail" -gt 0 ] || nfail=1
  TOTAL_PASS=$((TOTAL_PASS + npass))
  TOTAL_FAIL=$((TOTAL_FAIL + nfail))
  return 1
}

status=0
for pass in $PASSES; do boot "$pass" || status=1; done
[ "$status" = 0 ] && say "all scenarios passed"
echo "vm-test: $TOTAL_PASS passed, $TOTAL_FAIL failed"
exit "$status"
