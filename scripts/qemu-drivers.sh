#!/bin/bash
# Kernel driver stage: builds every module directory under drivers/ against
# the distribution's kernel headers, boots that distribution kernel under QEMU
# (software emulation) with a busybox initramfs holding the modules, and runs
# the driver checks of scripts/qemu-drivers-init.sh inside the guest:
#   - the ES9038 and ES9822 codecs bind (or are refused) on register chips of
#     an SMBus stub preset with their identification registers;
#   - the TLA2528 IIO driver reads the channels of the converter emulated by
#     drivers/testing/mobu-tla-emul;
#   - the analogue board's card registers over those codecs, described by the
#     software nodes of drivers/testing/mobu-test-card, amixer (real
#     alsa-lib, copied into the initramfs) reads and writes its controls, and
#     aplay and arecord stream through its PCM devices (the timer-driven PCM
#     of drivers/testing/mobu-test-i2s) while the checks read the chips.
# The modules of a guest that cannot run are still built (and the script fails
# when they do not build warning-free): this is the suite's build of them.
# Two guests run the same checks: the PC's own kernel (x86_64) and, for the
# board's architecture, Debian's arm64 kernel of the same version on an
# emulated Cortex-A72 with the modules cross-built for it.  The arm64 kernel,
# its headers, busybox and alsa-utils for arm64 are downloaded as Debian
# packages (not installed) into a cache directory.
# The guests print PASS/FAIL/SKIP lines; this script repeats them and exits
# non-zero on any FAIL, on a build failure, or when a guest does not finish.
# A guest whose packages cannot be had or whose QEMU cannot start is skipped
# with a message; the script exits 0 with "SKIP:" only when no guest ran.
#
# Environment: MOBU_QEMU_KEEP=1 keeps the scratch directory (its path is
# printed); MOBU_QEMU_TIMEOUT sets each guest's time limit in seconds (900:
# a guest that runs in about a minute on a quiet machine has taken over 150 s
# on a loaded one); MOBU_QEMU_ARCHES chooses the guests ("x86_64 arm64"); MOBU_ARM64_CACHE is
# the arm64 packages' cache (build-aarch64/qemu-arm64).
set -u

ROOT=$(cd "$(dirname "$0")/.." && pwd)
START=$(date +%s)
GUEST_TIMEOUT=${MOBU_QEMU_TIMEOUT:-900}
ARCHES=${MOBU_QEMU_ARCHES:-x86_64 arm64}
CACHE=${MOBU_ARM64_CACHE:-$ROOT/build-aarch64/qemu-arm64}

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

# Can this QEMU start at all?  A machine-less instance answering QMP and
# quitting.
qemu_starts() {
	printf '%s\n' '{"execute":"qmp_capabilities"}' '{"execute":"quit"}' |
		timeout 30 "$1" -accel tcg -M none -display none \
			-monitor none -serial none -qmp stdio >"$WORK/qemu-probe-$1.log" 2>&1 ||
		{ cat "$WORK/qemu-probe-$1.log"; return 1; }
}

# The kernel version is the one the headers meta-package depends on.
apt_install linux-headers-amd64 ||
	{ tail -5 "$WORK/apt.log"; fail "cannot install linux-headers-amd64"; }
V=$(dpkg-query -W -f='${Depends}' linux-headers-amd64 |
	grep -o 'linux-headers-[^ ,]*' | head -n 1)
V=${V#linux-headers-}
[ -n "$V" ] || fail "cannot tell the kernel version of linux-headers-amd64"
K=${V%-amd64}
log "kernel $K"
apt_install busybox-static cpio kmod alsa-utils ||
	{ tail -5 "$WORK/apt.log"; fail "cannot install the guests' tools"; }

# ---- per guest: kernel, modules, user space and how QEMU boots it ----------
# Each prepare_* sets
#   KBUILD_ARGS  build-drivers.sh's arguments    KERNEL  the kernel image
#   MODROOT      root of the kernel's modules    KREL    their release
#   BB           busybox                         QEMU    the boot command
#   BINROOT      root holding usr/bin/{amixer,aplay}
#   LIBDIRS      where their libraries are
# or return non-zero after printing why the guest is skipped.

prepare_x86_64() {
	if ! apt_install qemu-system-x86 && ! command -v qemu-system-x86_64 >/dev/null; then
		tail -5 "$WORK/apt.log"
		log "x86_64 guest skipped: qemu-system-x86 cannot be installed"
		return 1
	fi
	apt_install "linux-image-$V" "linux-headers-$V" ||
		{ tail -5 "$WORK/apt.log"; fail "cannot install the x86_64 guest's kernel"; }
	qemu_starts qemu-system-x86_64 ||
		{ log "x86_64 guest skipped: qemu-system-x86_64 cannot start"; return 1; }
	KBUILD_ARGS=("/lib/modules/$V/build")
	KERNEL=/boot/vmlinuz-$V
	MODROOT=/
	KREL=$V
	BB=/bin/busybox
	BINROOT=
	LIBDIRS="/lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu"
	QEMU=(qemu-system-x86_64 -accel tcg -m 512 -append "console=ttyS0 panic=-1 quiet")
	[ -r "$KERNEL" ] || fail "no kernel image at $KERNEL"
}

# Downloads (once) and unpacks an arm64 package into the cache.
arm64_unpack() {
	local pkg=$1 dir=$2
	[ -e "$dir/.unpacked-$pkg" ] && return 0
	mkdir -p "$CACHE/debs" "$dir"
	(cd "$CACHE/debs" && apt-get download "$pkg:arm64" >>"$WORK/apt.log" 2>&1) ||
		{ tail -3 "$WORK/apt.log"; return 1; }
	dpkg-deb -x "$(ls -t "$CACHE/debs/${pkg}"_*_arm64.deb | head -n 1)" "$dir" && touch "$dir/.unpacked-$pkg"
}

prepare_arm64() {
	local krel=$K-arm64
	if ! apt_install qemu-system-arm gcc-12-aarch64-linux-gnu libc6-arm64-cross; then
		tail -5 "$WORK/apt.log"
		log "arm64 guest skipped: qemu-system-arm or the arm64 cross compiler cannot be installed"
		return 1
	fi
	if ! dpkg --print-foreign-architectures | grep -qx arm64; then
		dpkg --add-architecture arm64 && apt-get update >>"$WORK/apt.log" 2>&1
	fi
	if ! arm64_unpack "linux-image-$krel-unsigned" "$CACHE/image" ||
		! arm64_unpack busybox-static "$CACHE/busybox" ||
		! arm64_unpack alsa-utils "$CACHE/user" ||
		! arm64_unpack libasound2 "$CACHE/user"; then
		log "arm64 guest skipped: Debian's arm64 packages of kernel $K cannot be downloaded"
		return 1
	fi
	# Dependency lists of the unpacked modules, for modprobe --show-depends.
	[ -e "$CACHE/image/lib/modules/$krel/modules.dep" ] ||
		depmod -b "$CACHE/image" "$krel" || fail "depmod of the arm64 modules"
	qemu_starts qemu-system-aarch64 ||
		{ log "arm64 guest skipped: qemu-system-aarch64 cannot start"; return 1; }
	KBUILD_ARGS=(--arm64)
	export MOBU_ARM64_HEADERS=$CACHE/headers
	KERNEL=$CACHE/image/boot/vmlinuz-$krel
	MODROOT=$CACHE/image
	KREL=$krel
	BB=$CACHE/busybox/bin/busybox
	BINROOT=$CACHE/user
	LIBDIRS="$CACHE/user/usr/lib/aarch64-linux-gnu $CACHE/user/lib/aarch64-linux-gnu /usr/aarch64-linux-gnu/lib"
	QEMU=(qemu-system-aarch64 -M virt -cpu cortex-a72 -accel tcg -m 512
		-append "console=ttyAMA0 panic=-1 quiet")
}

# ---- initramfs ---------------------------------------------------------------

# copy_elf IR FILE DEST: FILE as IR/DEST, with its program interpreter and
# the shared libraries it needs (found in LIBDIRS) under IR/lib, which the
# interpreter searches.
copy_elf() {
	local ir=$1 f=$2 dest=$3 interp lib
	mkdir -p "$ir$(dirname "$dest")"
	cp -L "$f" "$ir$dest"
	interp=$(readelf -l "$f" | sed -n 's/.*Requesting program interpreter: \(.*\)]/\1/p')
	if [ -n "$interp" ] && [ ! -e "$ir$interp" ]; then
		lib=$(find_lib "${interp##*/}") || return 1
		mkdir -p "$ir$(dirname "$interp")"
		cp -L "$lib" "$ir$interp"
	fi
	for lib in $(readelf -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
		[ -e "$ir/lib/$lib" ] && continue
		copy_elf "$ir" "$(find_lib "$lib")" "/lib/$lib" || return 1
	done
}
find_lib() {
	local d
	for d in $LIBDIRS; do
		[ -e "$d/$1" ] && { echo "$d/$1"; return 0; }
	done
	echo "no $1 in $LIBDIRS" >&2
	return 1
}

# Print the files to load, dependencies first, for a module of the
# distribution kernel (by name) or one of ours (by file).
kernel_deps() {
	local out
	out=$(modprobe -d "$MODROOT" -S "$KREL" --show-depends "$1" 2>&1) ||
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
	# (a file of this guest's: the guests are built side by side)
	printf '%s\n' "$files" | awk 'NF && !seen[$0]++' >"$IR.order"
	: >"$MODDIR/$name.order"
	while read -r f; do
		base=${f##*/}
		case $base in
		*.ko.xz) xz -dc "$f" >"$MODDIR/${base%.xz}"; base=${base%.xz} ;;
		*.ko.zst) zstd -qdc "$f" >"$MODDIR/${base%.zst}"; base=${base%.zst} ;;
		*) cp "$f" "$MODDIR/$base" ;;
		esac
		echo "$base" >>"$MODDIR/$name.order"
	done <"$IR.order"
}

# build_guest ARCH: the modules and the initramfs $WORK/ARCH/initrd.gz
build_guest() {
	local arch=$1 out=$WORK/$1 ko n files
	mkdir -p "$out"
	if ! MOBU_DRIVERS_OUT=$out/modules "$ROOT/scripts/build-drivers.sh" "${KBUILD_ARGS[@]}" \
		>"$out/build.log" 2>&1; then
		cat "$out/build.log"
		echo "FAIL $arch build of drivers/ without warnings"
		return 1
	fi
	echo "PASS $arch build of drivers/ without warnings"

	IR=$out/initramfs
	MODDIR=$IR/lib/mobu
	mkdir -p "$IR"/bin "$IR"/dev "$IR"/proc "$IR"/sys "$IR"/tmp "$MODDIR"
	cp "$BB" "$IR/bin/busybox"
	cp "$ROOT/scripts/qemu-drivers-init.sh" "$IR/init"
	chmod 755 "$IR/init"
	# amixer, aplay (arecord is aplay by another name) and alsa-lib's
	# configuration, for the checks through real alsa-lib
	for n in amixer aplay; do
		copy_elf "$IR" "$BINROOT/usr/bin/$n" "/usr/bin/$n" || return 1
	done
	ln -s aplay "$IR/usr/bin/arecord"
	mkdir -p "$IR/usr/share"
	cp -a /usr/share/alsa "$IR/usr/share/"
	# (i2cget and i2cset are busybox's)

	# Our modules by module name (dashes as underscores).
	declare -gA OURS=()
	OURS=()
	for ko in "$out"/modules/*/*.ko; do
		[ -e "$ko" ] || continue
		n=$(modinfo -F name "$ko")
		OURS[${n//-/_}]=$ko
	done
	for n in "${!OURS[@]}"; do
		files=$(module_deps "${OURS[$n]}") || { echo "FAIL $arch dependencies of ${OURS[$n]##*/}"; return 1; }
		ko=${OURS[$n]##*/}
		write_order "${ko%.ko}" "$files"
	done
	for n in i2c-stub i2c-dev; do
		# i2c-stub is optional: without it the guest uses mobu-i2c-regs
		files=$(kernel_deps "$n" 2>/dev/null) || {
			[ "$n" = i2c-stub ] && continue
			echo "FAIL $arch kernel module $n of $KREL"
			return 1
		}
		write_order "$n" "$files"
	done
	(cd "$IR" && find . | cpio -o -H newc --quiet | gzip -1) >"$out/initrd.gz" ||
		{ echo "FAIL $arch initramfs"; return 1; }
	log "$arch: built and packed at $(elapsed) s: $(cd "$MODDIR" && ls ./*.ko | wc -l) modules"
}

# boot_guest ARCH: runs the guest; its console goes to $WORK/ARCH/console.log
boot_guest() {
	local out=$WORK/$1 b
	b=$(date +%s)
	timeout "$GUEST_TIMEOUT" "${QEMU[@]}" -nographic -no-reboot \
		-kernel "$KERNEL" -initrd "$out/initrd.gz" </dev/null >"$out/console.log" 2>&1
	echo "$? $(($(date +%s) - b))" >"$out/qemu.rc"
}

# Each guest is built and booted in the background as soon as its packages
# are there, so that one guest's build overlaps the other's.
# A guest that cannot run still has its modules built, warning-free: this
# stage is the only build of them in the test suite.
modules_only() {
	local args=("/lib/modules/$V/build")
	[ "$1" = arm64 ] && args=(--arm64)
	if ! MOBU_ARM64_HEADERS=$CACHE/headers "$ROOT/scripts/build-drivers.sh" "${args[@]}" >"$WORK/build-$1.log" 2>&1; then
		cat "$WORK/build-$1.log"
		fail "$1 build of drivers/ without warnings"
	fi
	echo "PASS $1 build of drivers/ without warnings (no guest)"
}

RAN=()
for arch in $ARCHES; do
	if ! "prepare_$arch"; then
		modules_only "$arch"
		continue
	fi
	mkdir -p "$WORK/$arch"
	(build_guest "$arch" >"$WORK/$arch/stage.log" 2>&1 && boot_guest "$arch" ||
		touch "$WORK/$arch/failed") &
	RAN+=("$arch")
done
wait

if [ ${#RAN[@]} -eq 0 ]; then
	log "SKIP: no guest can run, the kernel driver stage is skipped"
	exit 0
fi

NPASS=0 NFAIL=0 NSKIP=0
for arch in "${RAN[@]}"; do
	out=$WORK/$arch
	cat "$out/stage.log"
	[ -e "$out/failed" ] && fail "$arch guest"
	tr -d '\r' <"$out/console.log" >"$out/console.txt"
	read -r qrc secs <"$out/qemu.rc"
	log "$arch guest ran $secs s (qemu exit $qrc)"
	grep -E '^(PASS|FAIL|SKIP) ' "$out/console.txt" | sed "s/^\([A-Z]*\) /\1 $arch: /"
	NPASS=$((NPASS + $(grep -c '^PASS ' "$out/console.txt")))
	f=$(grep -c '^FAIL ' "$out/console.txt")
	NSKIP=$((NSKIP + $(grep -c '^SKIP ' "$out/console.txt")))
	if ! grep -q '^MOBU-GUEST-DONE' "$out/console.txt"; then
		echo "--- $arch guest console ---"
		tail -n 60 "$out/console.txt"
		echo "FAIL $arch: guest did not finish its checks (qemu exit $qrc)"
		f=$((f + 1))
	fi
	if [ "$f" -gt 0 ] && grep -q '^--- dmesg' "$out/console.txt"; then
		sed -n '/^--- dmesg/,/^--- end of dmesg/p' "$out/console.txt"
	fi
	NFAIL=$((NFAIL + f))
done
echo "qemu-drivers: $NPASS passed, $NFAIL failed, $NSKIP skipped"
log "total $(elapsed) s"
[ "$NFAIL" -eq 0 ] && [ "$NPASS" -gt 0 ]
