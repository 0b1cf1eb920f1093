#!/bin/bash
# Kernel driver stage: builds every module directory under drivers/ against the
# distribution's kernel headers, boots that distribution kernel under QEMU
# (software emulation) with a busybox initramfs holding the modules, and runs
# the driver checks of scripts/qemu-drivers-init.sh inside the guest:
#   - the ES9038 and ES9822 codecs bind (or are refused) on i2c-stub chips
#     preset with their identification registers;
#   - the TLA2528 IIO driver reads the channels of the converter emulated by
#     drivers/testing/mobu-tla-emul;
#   - the analogue board's card registers over those codecs, described by the
#     software nodes of drivers/testing/mobu-test-card, and amixer (real
#     alsa-lib, copied into the initramfs) reads and writes its controls.
# The guest prints PASS/FAIL/SKIP lines; this script repeats them and exits
# non-zero on any FAIL, on a build failure, or when the guest does not finish.
# It exits 0 with a SKIP message only when QEMU itself cannot be started.
#
# Environment: MOBU_QEMU_KEEP=1 keeps the scratch directory (its path is
# printed); MOBU_QEMU_TIMEOUT sets the guest's time limit in seconds (150).
set -u

ROOT=$(cd "$(dirname "$0")/.." && pwd)
START=$(date +%s)
GUEST_TIMEOUT=${MOBU_QEMU_TIMEOUT:-150}

log() { echo "qemu-drivers: $*"; }
elapsed() { echo $(($(date +%s) - START)); }

WORK=$(mktemp -d /tmp/mobu-qemu-drivers.XXXXXX)
cleanup() {
	if [ "${MOBU_QEMU_KEEP:-0}" = 1 ]; then
		log "scratch directory kept: $WORK"
	else
		rm -rf "$WORK"
	fi
}
trap cleanup EXIT

fail() {
	echo "FAIL $*"
	log "failed after $(elapsed) s"
	exit 1
}

export DEBIAN_FRONTEND=noninteractive

installed() {
	dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'
}

# Install the packages not yet installed; refresh the package lists only when
# the first attempt fails.
apt_install() {
	local need=() p
	for p in "$@"; do
		installed "$p" || need+=("$p")
	done
	[ ${#need[@]} -eq 0 ] && return 0
	log "installing ${need[*]}"
	apt-get install -y "${need[@]}" >>"$WORK/apt.log" 2>&1 && return 0
	apt-get update >>"$WORK/apt.log" 2>&1
	apt-get install -y "${need[@]}" >>"$WORK/apt.log" 2>&1
}

# The kernel version is the one the headers meta-package depends on.
apt_install linux-headers-amd64 ||
	{ tail -5 "$WORK/apt.log"; fail "cannot install linux-headers-amd64"; }
V=$(dpkg-query -W -f='${Depends}' linux-headers-amd64 |
	grep -o 'linux-headers-[^ ,]*' | head -n 1)
V=${V#linux-headers-}
[ -n "$V" ] || fail "cannot tell the kernel version of linux-headers-amd64"
log "kernel $V"

if ! apt_install qemu-system-x86 && ! command -v qemu-system-x86_64 >/dev/null; then
	tail -5 "$WORK/apt.log"
	log "SKIP: qemu-system-x86 cannot be installed, the kernel driver stage is skipped"
	exit 0
fi
apt_install busybox-static cpio kmod alsa-utils "linux-image-$V" "linux-headers-$V" ||
	{ tail -5 "$WORK/apt.log"; fail "cannot install the guest's packages"; }

KBUILD=/lib/modules/$V/build
KERNEL=/boot/vmlinuz-$V
[ -d "$KBUILD" ] || fail "no kernel build tree at $KBUILD"
[ -r "$KERNEL" ] || fail "no kernel image at $KERNEL"

# Can QEMU start at all?  A machine-less instance answering QMP and quitting.
if ! printf '%s\n' '{"execute":"qmp_capabilities"}' '{"execute":"quit"}' |
	timeout 30 qemu-system-x86_64 -accel tcg -M none -display none \
		-monitor none -serial none -qmp stdio >"$WORK/qemu-probe.log" 2>&1; then
	cat "$WORK/qemu-probe.log"
	log "SKIP: qemu-system-x86_64 cannot start, the kernel driver stage is skipped"
	exit 0
fi

# --- build every module directory in a scratch copy of drivers/ -------------
[ -d "$ROOT/drivers" ] || fail "no drivers/ directory in $ROOT"
SRC=$WORK/src
mkdir -p "$SRC"
cp -a "$ROOT/drivers" "$SRC/"
find "$SRC/drivers" \( -name '*.ko' -o -name '*.o' -o -name '*.mod' -o -name '*.mod.c' \
	-o -name '.*.cmd' -o -name Module.symvers -o -name modules.order \) -delete

BUILD_FAILED=0
for dir in "$SRC"/drivers/*/; do
	dir=${dir%/}
	name=${dir##*/}
	[ -f "$dir/Kbuild" ] || [ -f "$dir/Makefile" ] || continue
	if ! make -C "$KBUILD" M="$dir" modules -j2 >"$WORK/build-$name.log" 2>&1; then
		cat "$WORK/build-$name.log"
		echo "FAIL build drivers/$name"
		BUILD_FAILED=1
		continue
	fi
	if grep -qi 'warning' "$WORK/build-$name.log"; then
		grep -i -B2 -A2 'warning' "$WORK/build-$name.log"
		echo "FAIL build drivers/$name without warnings"
		BUILD_FAILED=1
	else
		echo "PASS build drivers/$name"
	fi
done
[ "$BUILD_FAILED" = 0 ] || fail "module build"

# --- the initramfs ----------------------------------------------------------
IR=$WORK/initramfs
MODDIR=$IR/lib/mobu
mkdir -p "$IR"/bin "$IR"/dev "$IR"/proc "$IR"/sys "$IR"/tmp "$MODDIR"
cp /bin/busybox "$IR/bin/busybox"
cp "$ROOT/scripts/qemu-drivers-init.sh" "$IR/init"
chmod 755 "$IR/init"

# amixer with the libraries it loads and alsa-lib's configuration, for the
# checks of the card's controls through real alsa-lib.
copy_with_libs() {
	local f
	for f in "$1" $(ldd "$1" | awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }'); do
		mkdir -p "$IR$(dirname "$f")"
		cp -L "$f" "$IR$f"
	done
}
if command -v amixer >/dev/null; then
	copy_with_libs "$(command -v amixer)"
	mkdir -p "$IR/usr/share"
	cp -a /usr/share/alsa "$IR/usr/share/"
fi

# Our modules by module name (dashes as underscores).
declare -A OURS=()
for ko in "$SRC"/drivers/*/*.ko; do
	[ -e "$ko" ] || continue
	n=$(modinfo -F name "$ko")
	OURS[${n//-/_}]=$ko
done

# Print the files to load, dependencies first, for a module of the
# distribution kernel (by name) or one of ours (by file).
kernel_deps() {
	local out
	out=$(modprobe -S "$V" --show-depends "$1" 2>&1) ||
		{ echo "$out" >&2; return 1; }
	echo "$out" | awk '$1 == "insmod" { print $2 }'
}
module_deps() {
	local ko=$1 dep d
	dep=$(modinfo -F depends "$ko")
	for d in ${dep//,/ }; do
		d=${d//-/_}
		if [ -n "${OURS[$d]:-}" ]; then
			module_deps "${OURS[$d]}" || return 1
		else
			kernel_deps "$d" || return 1
		fi
	done
	echo "$ko"
}

# One <module>.order file per module the guest loads: the file names in
# load order, the module itself last.
write_order() {
	local name=$1 files=$2 f base
	printf '%s\n' "$files" | awk 'NF && !seen[$0]++' >"$WORK/order"
	: >"$MODDIR/$name.order"
	while read -r f; do
		base=${f##*/}
		case $base in
		*.ko.xz) xz -dc "$f" >"$MODDIR/${base%.xz}"; base=${base%.xz} ;;
		*.ko.zst) zstd -qdc "$f" >"$MODDIR/${base%.zst}"; base=${base%.zst} ;;
		*) cp "$f" "$MODDIR/$base" ;;
		esac
		echo "$base" >>"$MODDIR/$name.order"
	done <"$WORK/order"
}

for n in "${!OURS[@]}"; do
	files=$(module_deps "${OURS[$n]}") || fail "dependencies of ${OURS[$n]##*/}"
	ko=${OURS[$n]##*/}
	write_order "${ko%.ko}" "$files"
done
for n in i2c-stub i2c-dev; do
	files=$(kernel_deps "$n") || fail "kernel module $n of $V"
	write_order "$n" "$files"
done

(cd "$IR" && find . | cpio -o -H newc --quiet | gzip -1) >"$WORK/initrd.gz" ||
	fail "initramfs"
log "built and packed in $(elapsed) s: $(cd "$MODDIR" && ls ./*.ko | wc -l) modules"

# --- boot -------------------------------------------------------------------
BOOT=$(date +%s)
timeout "$GUEST_TIMEOUT" qemu-system-x86_64 -accel tcg -m 512 -nographic -no-reboot \
	-kernel "$KERNEL" -initrd "$WORK/initrd.gz" \
	-append "console=ttyS0 panic=-1 quiet" </dev/null >"$WORK/console.log" 2>&1
QRC=$?
tr -d '\r' <"$WORK/console.log" >"$WORK/console.txt"
log "guest ran $(($(date +%s) - BOOT)) s (qemu exit $QRC)"

grep -E '^(PASS|FAIL|SKIP) ' "$WORK/console.txt"
NPASS=$(grep -c '^PASS ' "$WORK/console.txt")
NFAIL=$(grep -c '^FAIL ' "$WORK/console.txt")
NSKIP=$(grep -c '^SKIP ' "$WORK/console.txt")

RESULT=0
if ! grep -q '^MOBU-GUEST-DONE' "$WORK/console.txt"; then
	echo "--- guest console ---"
	tail -n 60 "$WORK/console.txt"
	echo "FAIL guest did not finish its checks (qemu exit $QRC)"
	NFAIL=$((NFAIL + 1))
fi
[ "$NFAIL" -eq 0 ] && [ "$NPASS" -gt 0 ] || RESULT=1
if [ "$RESULT" != 0 ] && grep -q '^--- dmesg' "$WORK/console.txt"; then
	sed -n '/^--- dmesg/,/^--- end of dmesg/p' "$WORK/console.txt"
fi
echo "qemu-drivers: $NPASS passed, $NFAIL failed, $NSKIP skipped"
log "total $(elapsed) s"
exit "$RESULT"
