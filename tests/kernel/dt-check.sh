#!/bin/bash
# The device-tree description of the analogue card: the fragment that
# drivers/README.md gives, appended to tests/kernel/dt/board-base.dts, must
# compile with dtc without a warning, and the bindings of drivers/bindings
# must be valid schemas that the compiled tree satisfies (dt-schema).
# Prints "dt-check: SKIP: ..." and exits 0 when dtc or dt-schema is missing.
set -u
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BINDINGS=$ROOT/drivers/bindings
for tool in dtc cpp dt-doc-validate dt-mk-schema dt-validate; do
	command -v "$tool" >/dev/null ||
		{ echo "dt-check: SKIP: no $tool (device-tree-compiler, dt-schema)"; exit 0; }
done
WORK=$(mktemp -d /tmp/mobu-dt-check.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
NFAIL=0 NPASS=0
pass() { echo "PASS $*"; NPASS=$((NPASS + 1)); }
fail() { echo "FAIL $*"; NFAIL=$((NFAIL + 1)); }

# The GPIO flags of the kernel's dt-bindings headers, or the same two values.
inc=$(ls -d /usr/src/linux-headers-*-common/include 2>/dev/null | head -n 1)
if [ -z "$inc" ] || [ ! -e "$inc/dt-bindings/gpio/gpio.h" ]; then
	inc=$WORK/include
	mkdir -p "$inc/dt-bindings/gpio"
	printf '#define GPIO_ACTIVE_HIGH 0\n#define GPIO_ACTIVE_LOW 1\n' >"$inc/dt-bindings/gpio/gpio.h"
fi

{
	cat "$ROOT/tests/kernel/dt/board-base.dts"
	sed -n '/^```dts$/,/^```$/p' "$ROOT/drivers/README.md" | sed '1d;$d'
} >"$WORK/board.dts"
if ! grep -q 'mobu,mobu-digi-ana' "$WORK/board.dts"; then
	fail "drivers/README.md has the card's fragment in a dts block"
elif ! cpp -nostdinc -undef -x assembler-with-cpp -P -I "$inc" "$WORK/board.dts" >"$WORK/board.pp.dts" 2>"$WORK/cpp.log"; then
	cat "$WORK/cpp.log"
	fail "the fragment preprocesses"
elif ! dtc -I dts -O dtb -o "$WORK/board.dtb" "$WORK/board.pp.dts" 2>"$WORK/dtc.log" ||
	[ -s "$WORK/dtc.log" ]; then
	cat "$WORK/dtc.log"
	fail "dtc compiles the README's fragment without a warning"
else
	pass "dtc compiles the README's fragment without a warning"
fi

# (one run for all: each run loads the meta-schemas anew)
if dt-doc-validate -u "$BINDINGS" $(find "$BINDINGS" -name '*.yaml' | sort) >"$WORK/doc.log" 2>&1 &&
	[ ! -s "$WORK/doc.log" ]; then
	pass "the bindings are valid schemas"
else
	cat "$WORK/doc.log"
	fail "the bindings are valid schemas"
fi

if [ -e "$WORK/board.dtb" ]; then
	if dt-mk-schema -j "$BINDINGS" >"$WORK/schema.json" 2>"$WORK/mk.log" &&
		dt-validate -s "$WORK/schema.json" "$WORK/board.dtb" >"$WORK/validate.log" 2>&1 &&
		! grep -q . "$WORK/validate.log"; then
		pass "the compiled fragment satisfies the bindings"
	else
		cat "$WORK/mk.log" "$WORK/validate.log"
		fail "the compiled fragment satisfies the bindings"
	fi
fi
echo "dt-check: $NPASS passed, $NFAIL failed"
[ "$NFAIL" = 0 ]
