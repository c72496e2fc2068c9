#!/usr/bin/env bash
# VM test: quorvel-cli against quorvel-uhid on a real Linux HID stack.
#
# Boots the Debian kernel under qemu (software emulation, no KVM, no root on
# the host's kernel needed) with an initramfs holding busybox, the hid, uhid
# and hid-generic modules, quorvel-cli, quorvel-uhid and their libraries. The
# guest runs every scenario of tests/vm/scenarios against a uhid bootloader
# and compares it with the same command run here on the simulator.
#
# Usage: scripts/vm-test.sh [--build DIR] [--keep] [--verbose]
#   --build DIR   build tree with quorvel-cli and quorvel-uhid (default build/default;
#                 configured and built as needed)
#   --keep        keep the work directory (initramfs, expectations, guest log)
#   --verbose     show the guest's full console
# Environment: QUORVEL_VM_CACHE (kernel cache, default ~/.cache/quorvel-vm),
#              QUORVEL_VM_TIMEOUT (seconds for the guest, default 240).
# Exit status: 0 every scenario passed, 1 a scenario failed or the guest never
# reported, 2 the harness could not be prepared.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD="$ROOT/build/default"
KEEP=0
VERBOSE=0
while [ $# -gt 0 ]; do
  case "$1" in
    --build) BUILD=$(realpath -m "$2"); shift 2 ;;
    --keep) KEEP=1; shift ;;
    --verbose) VERBOSE=1; shift ;;
    -h|--help) sed -n '2,20p' "$0"; exit 0 ;;
    *) echo "vm-test: unknown option $1" >&2; exit 2 ;;
  esac
done
CACHE=${QUORVEL_VM_CACHE:-${XDG_CACHE_HOME:-${HOME:-$ROOT/build}/.cache}/quorvel-vm}
GUEST_TIMEOUT=${QUORVEL_VM_TIMEOUT:-240}
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
cmake --build "$BUILD" --target quorvel-cli quorvel-uhid -j "$(nproc 2>/dev/null || echo 2)" >/dev/null ||
  die "building quorvel-cli and quorvel-uhid failed"
CLI=$(find "$BUILD" -type f -name quorvel-cli -perm -u+x | head -n1)
UHID=$(find "$BUILD" -type f -name quorvel-uhid -perm -u+x | head -n1)
[ -n "$CLI" ] && [ -n "$UHID" ] || die "quorvel-cli or quorvel-uhid not found under $BUILD"

# --- kernel: vmlinux and the three HID modules, cached -------------------------
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
if [ ! -f "$KDIR/ready" ]; then
  say "preparing kernel $PKG"
  rm -rf "$KDIR" && mkdir -p "$KDIR/modules"
  DL=$(mktemp -d)
  chmod 777 "$DL"  # apt's download sandbox user must be able to write here
  (cd "$DL" && apt-get download -qq "$PKG" >/dev/null 2>&1) || { rm -rf "$DL"; die "apt-get download $PKG failed"; }
  DEB=$(ls "$DL"/*.deb)
  mkdir "$DL/x"
  dpkg-deb --fsys-tarfile "$DEB" |
    tar -x -C "$DL/x" --wildcards './boot/vmlinuz-*' '*/drivers/hid/hid.ko*' '*/drivers/hid/uhid.ko*' \
      '*/drivers/hid/hid-generic.ko*' || { rm -rf "$DL"; die "cannot extract $DEB"; }
  for m in hid uhid hid-generic; do
    f=$(find "$DL/x" -name "$m.ko*" | head -n1)
    [ -n "$f" ] || { rm -rf "$DL"; die "module $m not in $PKG"; }
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
  touch "$KDIR/ready"
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
mkdir -p "$R"/{bin,dev,proc,sys,tmp,run,etc,vm/data,vm/expected,lib/modules}

# --- expectations: the same commands on the simulator ---------------------------
say "recording expectations on the simulator"
# shellcheck source=../tests/vm/scenario-lib.sh
. "$VMDIR/scenario-lib.sh"
cp "$VMDIR"/data/* "$R/vm/data/"
cp "$VMDIR/scenarios" "$VMDIR/scenario-lib.sh" "$R/vm/"
export QUORVEL_VM_DATA="$VMDIR/data"
record_expectations "$CLI" "$VMDIR/scenarios" "$R/vm/expected" || die "recording expectations failed"

# --- initramfs ---------------------------------------------------------------
say "building initramfs"
cp /bin/busybox "$R/bin/busybox"
cp "$KDIR"/modules/*.ko "$R/lib/modules/"
cp "$VMDIR/init.sh" "$R/init"
chmod 755 "$R/init"
mkdir -p "$R/usr/bin"
objcopy --strip-debug "$CLI" "$R/usr/bin/quorvel-cli"
objcopy --strip-debug "$UHID" "$R/usr/bin/quorvel-uhid"
copy_closure() {
  ldd "$1" | awk '/=> \// { print $3 } /^\t\// { print $1 }' | while read -r lib; do
    [ -e "$R$lib" ] && continue
    mkdir -p "$R$(dirname "$lib")"
    cp -L "$lib" "$R$lib"
  done
}
copy_closure "$CLI"
copy_closure "$UHID"
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

# --- boot ---------------------------------------------------------------------
say "booting $(basename "$KERNEL") ($PKG) under qemu (TCG)"
LOG="$WORK/guest.log"
set +e
timeout --kill-after=10 "$GUEST_TIMEOUT" qemu-system-x86_64 \
  -machine pc -accel tcg -cpu max -m 768 -smp 1 \
  -nodefaults -no-user-config -display none -serial stdio -no-reboot \
  -kernel "$KERNEL" -initrd "$WORK/initrd.gz" \
  -append "console=ttyS0 quiet loglevel=1 panic=-1 rdinit=/init" </dev/null >"$LOG" 2>&1
QEMU_RC=$?
set -e
tr -d '\r' <"$LOG" >"$LOG.txt"
if [ "$VERBOSE" = 1 ]; then cat "$LOG.txt"; else grep -E '^(RESULT|DETAIL|VERDICT)' "$LOG.txt" || true; fi

NPASS=$(grep -c '^RESULT .* PASS' "$LOG.txt" || true)
NFAIL=$(grep -c '^RESULT .* FAIL' "$LOG.txt" || true)
# qemu exits 0 after a guest panic too: only the verdict line counts.
if grep -q '^VERDICT: PASS' "$LOG.txt"; then
  say "all scenarios passed"
  echo "VM TEST: PASSED ($NPASS scenarios, $(elapsed) s)"
  echo "vm-test: $NPASS passed, 0 failed"
  exit 0
fi
if ! grep -q '^VERDICT:' "$LOG.txt"; then
  [ "$QEMU_RC" = 124 ] && say "the guest timed out after ${GUEST_TIMEOUT}s"
  say "no verdict from the guest; last console lines:"
  tail -n 40 "$LOG.txt"
fi
echo "VM TEST: FAILED"
# A guest that never reported counts as one failure.
[ "$NFAIL" -gt 0 ] || NFAIL=1
echo "vm-test: $NPASS passed, $NFAIL failed"
exit 1
