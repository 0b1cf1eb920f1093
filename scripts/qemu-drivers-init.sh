#!/bin/busybox sh
# /init of the kernel driver stage's guest (see scripts/qemu-drivers.sh).
# Loads the project's modules, binds the codecs on i2c-stub chips, registers
# the analogue board's card over two more of them and uses its controls with
# amixer, and reads the TLA2528 through its emulator, printing one PASS, FAIL
# or SKIP line per check, then powers the machine off.

/bin/busybox --install -s /bin
export PATH=/bin:/usr/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t debugfs debugfs /sys/kernel/debug
echo "MOBU-GUEST-START"

M=/lib/mobu
FAILED=0

pass() { echo "PASS $*"; }
fail() { echo "FAIL $*"; FAILED=1; }
skip() { echo "SKIP $*"; }
# check NAME COMMAND...: PASS when the command succeeds
check() {
	name=$1
	shift
	if "$@"; then pass "$name"; else fail "$name"; fi
}
# expect NAME WANTED GOT
expect() {
	if [ "$3" = "$2" ]; then pass "$1"; else fail "$1 (wanted '$2', got '$3')"; fi
}

# load MODULE [PARAMETERS]: loads the module's dependencies not yet loaded,
# then the module with its parameters.
load() {
	order=$M/$1.order
	shift
	[ -f "$order" ] || return 1
	last=$(tail -n 1 "$order")
	for ko in $(cat "$order"); do
		mod=$(echo "${ko%.ko}" | tr - _)
		if [ "$ko" = "$last" ]; then
			insmod "$M/$ko" "$@" || return 1
		elif [ ! -d "/sys/module/$mod" ]; then
			insmod "$M/$ko" || return 1
		fi
	done
}

# adapter_of NAME: number of the I2C adapter with that name
adapter_of() {
	for a in /sys/bus/i2c/devices/i2c-*; do
		if [ "$(cat "$a/name")" = "$1" ]; then
			echo "${a##*/i2c-}"
			return 0
		fi
	done
	return 1
}

bound() { [ -e "/sys/bus/i2c/devices/$1/driver" ]; }
unbound() { [ -d "/sys/bus/i2c/devices/$1" ] && [ ! -e "/sys/bus/i2c/devices/$1/driver" ]; }

# regmap_reg DEVICE REG: value (two hex digits) of REG in the register cache dump
regmap_reg() {
	for d in /sys/kernel/debug/regmap/"$1"*; do
		[ -r "$d/registers" ] || continue
		sed -n "s/^$2: //p" "$d/registers"
		return 0
	done
	return 1
}

# ---- codecs on i2c-stub ----------------------------------------------------
codec_checks() {
	if [ ! -f $M/es9038-codec-i2c.order ] && [ ! -f $M/es9822-codec-i2c.order ]; then
		skip "codec checks: drivers/analogue was not built"
		return
	fi
	DAC=0x48 DAC_BAD=0x49 ADC=0x4a ADC_BAD=0x4b DAC_AB=0x4c
	if ! load i2c-stub chip_addr=$DAC,$DAC_BAD,$ADC,$ADC_BAD,$DAC_AB,$CARD_DAC,$CARD_ADC ||
		! load i2c-dev; then
		fail "i2c-stub and i2c-dev load"
		return
	fi
	bus=$(adapter_of "SMBus stub driver") || { fail "i2c-stub adapter present"; return; }
	nd=/sys/bus/i2c/devices/i2c-$bus/new_device

	# identification registers of the stub chips
	i2cset -y "$bus" $DAC 0x40 0xa8 &&
		i2cset -y "$bus" $DAC_BAD 0x40 0xa4 &&
		i2cset -y "$bus" $ADC 0xe1 0x81 &&
		i2cset -y "$bus" $ADC_BAD 0xe1 0x80 &&
		i2cset -y "$bus" $DAC_AB 0x40 0xab &&
		i2cset -y "$bus" $CARD_DAC 0x40 0xa8 &&
		i2cset -y "$bus" $CARD_ADC 0xe1 0x81 ||
		{ fail "stub identification registers preset"; return; }

	if [ -f $M/es9038-codec-i2c.order ]; then
		if load es9038-codec-i2c; then
			echo ess9038 $DAC >"$nd"
			echo ess9038 $DAC_BAD >"$nd"
			echo ess9038 $DAC_AB >"$nd"
			check "ess9038 binds to a chip identifying as 0xA8" bound "$bus-0048"
			check "ess9038 refuses a chip identifying as 0xA4" unbound "$bus-0049"
			check "ess9038 binds to a chip identifying as 0xAB" bound "$bus-004c"
			r07=$(regmap_reg "$bus-0048" 07)
			if [ -n "$r07" ] && [ $((0x$r07 & 1)) = 1 ]; then
				pass "ess9038 muted after probe (register 07 = $r07)"
			else
				fail "ess9038 muted after probe (register 07 = '$r07')"
			fi
		else
			fail "es9038-codec-i2c load"
		fi
	else
		skip "ess9038 checks: es9038-codec-i2c was not built"
	fi

	if [ -f $M/es9822-codec-i2c.order ]; then
		if load es9822-codec-i2c; then
			echo ess9822 $ADC >"$nd"
			echo ess9822 $ADC_BAD >"$nd"
			check "ess9822 binds to a chip identifying as 0x81" bound "$bus-004a"
			check "ess9822 refuses a chip identifying as 0x80" unbound "$bus-004b"
		else
			fail "es9822-codec-i2c load"
		fi
	else
		skip "ess9822 checks: es9822-codec-i2c was not built"
	fi
}

# ---- the analogue board's card, used through alsa-lib ----------------------
# The DAC and ADC of the card: i2c-stub chips that codec_checks presets.
CARD_DAC=0x4d CARD_ADC=0x4e

# mixer NAME: the amixer output of simple control NAME of the card
mixer() { amixer -c "$card" sget "$1" 2>&1; }
# has TEXT NAME...: every simple control NAME's output contains TEXT
has() {
	text=$1
	shift
	for n in "$@"; do
		out=$(mixer "$n")
		echo "$out" | grep -q -- "$text" && continue
		echo "$out" | sed 's/^/  | /'
		return 1
	done
}

card_checks() {
	if [ ! -f $M/mobu-test-card.order ] || [ ! -f $M/snd-soc-mobu-digi-ana.order ]; then
		skip "card checks: the card's modules were not built"
		return
	fi
	if ! command -v amixer >/dev/null; then
		skip "card checks: no amixer in the guest"
		return
	fi
	bus=$(adapter_of "SMBus stub driver") || { fail "card: i2c-stub adapter present"; return; }
	load mobu-test-codec && load snd-soc-mobu-digi-ana &&
		load mobu-test-card bus="$bus" dac_addr=$CARD_DAC adc_addr=$CARD_ADC ||
		{ fail "card modules load"; return; }
	card=
	for i in 1 2 3 4 5 6 7 8 9 10; do
		card=$(sed -n 's/^ *\([0-9]*\) \[.*\]: .* - mobu_digi_anasoundcard$/\1/p' /proc/asound/cards)
		[ -n "$card" ] && break
		sleep 1
	done
	[ -n "$card" ] || { fail "the analogue card registers"; cat /proc/asound/cards; return; }
	pass "the analogue card registers (card $card)"

	gains="Gain 0,Gain 1,Gain 2,Gain 3,Gain 4,Gain 5,Gain 6,Gain 7"
	IFS=,
	set -- $gains
	unset IFS
	# Volumes without a direction: the simple mixer counts them as playback.
	check "Gain 0 ... Gain 7 are playback volumes" \
		sh -c 'for n in "$@"; do amixer -c "$0" sget "$n" | grep -q "Playback channels: Mono" || exit 1; done' "$card" "$@"
	check "Gain 0 ... Gain 7 range over 0 ... 48" has "Limits: 0 - 48" "$@"
	check "Gain 0 ... Gain 7 start at 24 (0 dB)" has "Mono: 24 \[50%\] \[0.00dB\]" "$@"
	amixer -c "$card" sset "Gain 3" 0 >/dev/null
	check "Gain 3 at its minimum is -12 dB" has "Mono: 0 \[0%\] \[-12.00dB\]" "Gain 3"
	amixer -c "$card" sset "Gain 5" 48 >/dev/null
	check "Gain 5 at its maximum is +12 dB" has "Mono: 48 \[100%\] \[12.00dB\]" "Gain 5"
	check "the other gains keep 0 dB" has "\[0.00dB\]" "Gain 4" "Gain 6"

	mutes= inverts=
	for n in 0 1 2 3 4 5 6 7; do
		mutes="$mutes,Gain $n Mute"
		inverts="$inverts,Gain $n Invert"
	done
	IFS=,
	set -- ${mutes#,} ${inverts#,}
	unset IFS
	check "Gain N Mute and Gain N Invert are playback switches" has "Capabilities: pswitch" "$@"
	amixer -c "$card" sset "Gain 2 Invert" on >/dev/null
	check "Gain 2 Invert switches on" has "Playback \[on\]" "Gain 2 Invert"
	check "Gain 1 Invert stays off" has "Playback \[off\]" "Gain 1 Invert"

	expect "Master Volume starts at 0" 0 "$(amixer -c "$card" cget "name=Master Volume" | sed -n 's/^ *: values=//p')"
	expect "Sensitivity Gain 0 Volume starts at 48" 48 \
		"$(amixer -c "$card" cget 'name=Sensitivity Gain 0 Volume' | sed -n 's/^ *: values=//p')"

	# the mute control reaches the DAC's mute bit (register 07, bit 0); the
	# DAC is muted from its probe and the control starts off, so it is
	# switched on first, then off
	dac=$bus-$(printf %04x $CARD_DAC)
	amixer -c "$card" sset "Master Mute" on >/dev/null
	r1=$(regmap_reg "$dac" 07)
	amixer -c "$card" sset "Master Mute" off >/dev/null
	r0=$(regmap_reg "$dac" 07)
	expect "Master Mute on and off reach the DAC's mute" "1 0" \
		"$((0x${r1:-fe} & 1)) $((0x${r0:-ff} & 1))"

	# one client writes the remote's button, another reads it
	amixer -c "$card" cset name=RemoteButton REMOTE_BUTTON_OK_PRESSED >/dev/null ||
		fail "RemoteButton written"
	expect "RemoteButton written by one client is read by another" \
		"REMOTE_BUTTON_OK_PRESSED" \
		"$(amixer -c "$card" sget RemoteButton | sed -n "s/^ *Item0: '\(.*\)'$/\1/p")"

	# The bound card holds the modules of its components.
	rmmod snd_soc_mobu_digi_ana
	check "removing the machine driver removes the card" \
		sh -c "! grep -q mobu_digi_anasoundcard /proc/asound/cards"
	rmmod mobu_test_card
	check "the description unloads once the card is gone" [ ! -d /sys/module/mobu_test_card ]
}

# ---- TLA2528 through its emulator ------------------------------------------
PROBE_LINES="enter
finding vref
vref found
i2s write reg TLA2528_PIN_CFG
i2s write reg TLA2528_DATA_CFG
i2s write reg TLA2528_SEQUENCE_CFG
iio_device_register
exit"

adc_checks() {
	VALUES=100,1234,2047,2048,3000,4095,7,4095
	load mobu-tla-emul values=$VALUES || { fail "mobu-tla-emul load"; return; }
	load tla2528-adc || { fail "tla2528-adc load"; return; }
	P=/sys/module/mobu_tla_emul/parameters
	bus=$(adapter_of mobu-tla-emul) || { fail "emulator adapter present"; return; }
	dev=$bus-$(printf %04x "$(cat $P/addr)")
	check "tla2528 binds to the emulated converter" bound "$dev"

	got=$(dmesg | sed -n 's/.*tla2528_probe : //p')
	expect "tla2528 probe log lines in order" "$PROBE_LINES" "$got"

	iio=
	for d in /sys/bus/iio/devices/iio:device*; do
		[ "$(cat "$d/name" 2>/dev/null)" = tla2528 ] && iio=$d
	done
	[ -n "$iio" ] || { fail "IIO device named tla2528"; return; }
	pass "IIO device named tla2528 (${iio##*/})"

	regs=$(cat $P/regs)
	expect "probe sets DATA_CFG to append the channel tag" 16 "$(echo "$regs" | cut -d, -f3)"
	expect "probe sets all pins analogue (PIN_CFG)" 0 "$(echo "$regs" | cut -d, -f6)"
	expect "probe sets manual sequencing (SEQUENCE_CFG)" 0 "$(echo "$regs" | cut -d, -f17)"
	expect "vref enabled by probe" Y "$(cat $P/vref_enabled)"

	# every channel reads the emulator's value; the tag never shows
	n=0
	for v in $(cat $P/values | tr , ' '); do
		word=$(printf 0x%04x $(((v & 4095) << 4 | n)))
		expect "in_voltage${n}_raw reads the converter's word $word" \
			$((v & 4095)) "$(cat "$iio/in_voltage${n}_raw")"
		n=$((n + 1))
	done
	check "eight channels only" [ ! -e "$iio/in_voltage8_raw" ]

	# the select register is written on a change of channel only
	s0=$(cat $P/select_writes)
	a=$(cat "$iio/in_voltage3_raw")
	b=$(cat "$iio/in_voltage3_raw")
	s1=$(cat $P/select_writes)
	expect "two reads of channel 3 write the select register once" 1 $((s1 - s0))
	expect "two reads of channel 3 agree" "$a" "$b"
	echo 100,1234,2047,555,3000,4095,7,4095 >$P/values
	expect "a read converts again without selecting again" \
		"555 $s1" "$(cat "$iio/in_voltage3_raw") $(cat $P/select_writes)"
	cat "$iio/in_voltage4_raw" >/dev/null
	expect "a read of another channel selects it" $((s1 + 1)) "$(cat $P/select_writes)"

	expect "in_voltage_scale with a 3.3 V vref" 0.805664062 "$(cat "$iio/in_voltage_scale")"

	# a failing conversion read reaches user space as an error
	echo 1 >$P/fail_reads
	if cat "$iio/in_voltage0_raw" >/dev/null 2>&1; then
		fail "a failing conversion read is an error"
	else
		pass "a failing conversion read is an error"
	fi
	echo 0 >$P/fail_reads
	check "the failed read is logged" sh -c 'dmesg | grep -q "i2c_master_recv failed"'
	expect "reads work again after the failure" 100 "$(cat "$iio/in_voltage0_raw")"

	rmmod tla2528_adc
	check "remove unregisters the IIO device" [ ! -e "$iio" ]
	expect "remove disables vref" N "$(cat $P/vref_enabled)"
	check "remove unbinds the converter" unbound "$dev"

	# a probe whose register writes fail gives the supply back
	echo 1 >$P/fail_writes
	load tla2528-adc
	echo 0 >$P/fail_writes
	check "probe fails when the converter refuses writes" unbound "$dev"
	check "the failed probe is logged" sh -c 'dmesg | grep -q "tla2528_probe : error exit"'
	expect "the failed probe disables vref" N "$(cat $P/vref_enabled)"
	echo "$dev" >/sys/bus/i2c/drivers/tla2528/bind
	check "the converter binds again once writes work" bound "$dev"
	expect "the rebound converter reads channel 2" 2047 "$(cat /sys/bus/iio/devices/iio:device*/in_voltage2_raw)"

	rmmod tla2528_adc && rmmod mobu_tla_emul
	check "driver and emulator unload" [ ! -d /sys/module/mobu_tla_emul ]
}

codec_checks
card_checks
adc_checks

if [ "$FAILED" != 0 ]; then
	echo "--- dmesg"
	dmesg | tail -n 80
	echo "--- end of dmesg"
fi
echo "MOBU-GUEST-DONE"
poweroff -f
