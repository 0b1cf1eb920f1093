#!/bin/busybox sh
# /init of the kernel driver stage's guests (see scripts/qemu-drivers.sh).
# Loads the project's modules, binds the codecs on i2c-stub chips, registers
# the analogue board's card over two more of them, uses its controls with
# amixer and plays and records through its PCM devices with aplay and
# arecord, reading what the streams wrote into the chips, and reads the
# TLA2528 through its emulator, printing one PASS, FAIL or SKIP line per
# check, then powers the machine off.

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
	# Our register chips, which a check can make refuse a write or lose
	# their registers; the kernel's SMBus stub where ours was not built.
	chips=$DAC,$DAC_BAD,$ADC,$ADC_BAD,$DAC_AB,$CARD_DAC,$CARD_ADC
	if [ -f $M/mobu-i2c-regs.order ]; then
		STUB=mobu-i2c-regs STUB_ADAPTER=mobu-i2c-regs
	else
		STUB=i2c-stub STUB_ADAPTER="SMBus stub driver"
	fi
	REGS=/sys/module/mobu_i2c_regs/parameters
	if ! load $STUB chip_addr=$chips || ! load i2c-dev; then
		fail "$STUB and i2c-dev load"
		return
	fi
	bus=$(adapter_of "$STUB_ADAPTER") || { fail "$STUB adapter present"; return; }
	pass "register chips on $STUB (adapter $bus)"
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
			check "ess9822 register map reaches the status register FD" \
				[ -n "$(regmap_reg "$bus-004a" fd)" ]
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

# card_of NAME: number of the sound card with that name
card_of() {
	for i in 1 2 3 4 5 6 7 8 9 10; do
		n=$(sed -n "s/^ *\([0-9]*\) \[.*\]: .* - $1\$/\1/p" /proc/asound/cards)
		[ -n "$n" ] && { echo "$n"; return 0; }
		sleep 1
	done
	return 1
}
# pcm_of CARD NAME: number of the card's PCM device whose name starts with NAME
pcm_of() {
	sed -n "s/^0*\([0-9][0-9]*\)-0*\([0-9][0-9]*\): $2 .*/\1 \2/p" /proc/asound/pcm |
		while read -r c d; do [ "$c" = "$1" ] && echo "$d"; done
}
# chip ADDR REG: the register as the stub chip holds it (two hex digits)
# (forced: the chip's driver holds the address)
chip() { printf %02x $(($(i2cget -f -y "$bus" "$1" "$2") & ${3:-0xff})); }
# stream PROGRAM CARD DEVICE FORMAT RATE: a short stereo stream of silence.
# Its buffer holds a second: the kernel gives up a read or write that waits
# longer than about 1.1 buffers (with a buffer of 4096 frames, 100 ms), and
# an emulated guest on a loaded machine can stall longer than that, which
# failed short-buffered captures beside a playback with EIO.
BUFFER="--buffer-time=1000000 --period-time=100000"
stream() {
	case $1 in
	aplay) io=/dev/zero ;;
	*) io=/dev/null ;;
	esac
	$1 -q -D "hw:$2,$3" -t raw -f "$4" -c 2 -r "$5" -s 4096 $BUFFER "$io" 2>&1
}
# start_playback CARD DEVICE [RATE]: a long 16-bit playback (48 kHz unless
# RATE) in the background, once it runs
start_playback() {
	aplay -q -D "hw:$1,$2" -t raw -f S16_LE -c 2 -r "${3:-48000}" -d 60 $BUFFER /dev/zero &
	PLAYER=$!
	for i in $(seq 600); do
		grep -q "state: RUNNING" "/proc/asound/card$1/pcm${2}p/sub0/status" 2>/dev/null &&
			return 0
		sleep 0.1
	done
	return 1
}
stop_playback() { kill "$PLAYER"; wait "$PLAYER" 2>/dev/null; }

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
	bus=$(adapter_of "$STUB_ADAPTER") || { fail "card: $STUB adapter present"; return; }
	load mobu-test-codec && load mobu-test-i2s && load snd-soc-mobu-digi-ana &&
		load mobu-test-card bus="$bus" dac_addr=$CARD_DAC adc_addr=$CARD_ADC \
			nco_dac_addr=$DAC_AB ||
		{ fail "card modules load"; return; }
	card=$(card_of mobu_digi_anasoundcard) || { fail "the analogue card registers"; cat /proc/asound/cards; return; }
	pass "the analogue card registers (card $card)"
	expect "the card's driver name fits ALSA's field" mobu-digi-ana \
		"$(sed -n "s/^ *$card \[.*\]: \(.*\) - .*/\1/p" /proc/asound/cards)"

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

	# A write of the value a control holds is no change: it sends no event.
	# amixer's event listener writes its output in blocks, so each marker
	# control is changed until its event shows: everything before it has
	# then been written out.
	amixer -c "$card" events >/tmp/events 2>&1 &
	ev=$!
	flood_until() {
		for i in $(seq 20); do
			for v in $(seq 60); do echo "cset name='$1' $((v % 2))"; done |
				amixer -c "$card" -s >/dev/null
			grep -q "'$1'" /tmp/events && return 0
		done
		return 1
	}
	if flood_until "Gain 7 Mute"; then
		amixer -c "$card" cset "name=Gain 4 Volume" 24 >/dev/null
		item=$(amixer -c "$card" cget "name=Analogue Input Selection" | sed -n 's/^ *: values=//p')
		amixer -c "$card" cset "name=Analogue Input Selection" "$item" >/dev/null
		amixer -c "$card" cset "name=Gain 6 Volume" 30 >/dev/null
		flood_until "Gain 6 Mute"
		# (the listener also lists every control as added when it starts)
		expect "writes of unchanged values send no event, a change sends one" "0 0 1" \
			"$(grep -c "^event value: .*'Gain 4 Volume'" /tmp/events) $(grep -c "^event value: .*'Analogue Input Selection'" /tmp/events) $(grep -c "^event value: .*'Gain 6 Volume'" /tmp/events)"
	else
		fail "the control event listener reports events"
	fi
	kill "$ev"
	wait "$ev" 2>/dev/null
	amixer -c "$card" cset "name=Gain 6 Volume" 24 >/dev/null

	# the module answers to its device's modalias (what udev asks modprobe)
	# (the module's alias= records, which depmod turns into modules.alias)
	modalias=$(cat /sys/bus/platform/devices/mobu-digi-ana/modalias)
	expect "the card's module has the alias of its device's modalias" "alias=$modalias" \
		"$(strings $M/snd-soc-mobu-digi-ana.ko | grep -x "alias=$modalias")"

	# a card without selector lines reads back the item last written
	amixer -c "$card" sset "I2S Input Selection" HDMI >/dev/null
	amixer -c "$card" sset "Analogue Input Selection" Mic >/dev/null
	expect "selectors without lines read back HDMI and Mic" "'HDMI' 'Mic'" \
		"$(mixer "I2S Input Selection" | sed -n "s/^ *Item0: //p") $(mixer "Analogue Input Selection" | sed -n "s/^ *Item0: //p")"

	if command -v aplay >/dev/null; then
		stream_checks
	else
		skip "stream checks: no aplay in the guest"
	fi

	suspend_checks

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

# ---- a system sleep that cuts the chips' power -------------------------------
# The register chips lose their registers (mobu-i2c-regs' reset) while the
# machine sleeps (freeze with the PM core's device test level: devices are
# suspended and resumed); the codecs write their registers back on resume.
suspend_checks() {
	if [ ! -d "$REGS" ] || [ ! -w /sys/power/pm_test ]; then
		skip "suspend checks: no mobu-i2c-regs or no PM test levels"
		return
	fi
	amixer -c "$card" cset "name=DAC 0 1 Volume" 200 >/dev/null
	before="$(chip $CARD_DAC 0x10) $(chip $CARD_ADC 0x01) $(chip $CARD_ADC 0x17)"
	echo $CARD_DAC >$REGS/reset_addr && echo $CARD_ADC >$REGS/reset_addr
	lost="$(chip $CARD_DAC 0x10) $(chip $CARD_ADC 0x01) $(chip $CARD_ADC 0x17)"
	echo devices >/sys/power/pm_test
	echo 0 >/sys/module/suspend/parameters/pm_test_delay 2>/dev/null
	if ! echo freeze >/sys/power/state; then
		echo none >/sys/power/pm_test
		fail "a suspend and resume cycle (freeze, devices test level) runs"
		return
	fi
	echo none >/sys/power/pm_test
	pass "a suspend and resume cycle (freeze, devices test level) runs"
	# ASoC resumes the card's components from a work queue
	for i in $(seq 600); do
		[ "$(chip $CARD_DAC 0x10)" = 37 ] && break
		sleep 0.1
	done
	expect "the codecs write their registers back on resume (DAC 10, ADC 01, 17)" \
		"37 33 0a / 00 00 00 / 37 33 0a" \
		"$before / $lost / $(chip $CARD_DAC 0x10) $(chip $CARD_ADC 0x01) $(chip $CARD_ADC 0x17)"
	if out=$(stream aplay "$card" "$dacpcm" S32_LE 96000); then
		expect "a stream after the resume programs the DAC (word length, divider)" "10 20" \
			"$(chip $CARD_DAC 0x02 0x30) $(chip $CARD_DAC 0x0a 0x60)"
	else
		fail "aplay after the resume: $out"
	fi
	# the identification registers are read at probe only: preset them again
	i2cset -f -y "$bus" $CARD_DAC 0x40 0xa8 && i2cset -f -y "$bus" $CARD_ADC 0xe1 0x81 ||
		fail "identification registers preset again after the power cut"
}

# ---- streams through the card ----------------------------------------------
# What aplay and arecord make the ASoC core, the machine driver and the codecs
# write into the stub chips: word lengths, clock dividers, the NCO, and the
# DAC's mute around streams and under the mute controls.
stream_checks() {
	dacpcm=$(pcm_of "$card" "Mobu DAC")
	adcpcm=$(pcm_of "$card" "Mobu ADC")
	[ -n "$dacpcm" ] && [ -n "$adcpcm" ] ||
		{ fail "the card has the DAC and ADC PCM devices"; cat /proc/asound/pcm; return; }
	pass "the card has PCM devices 'Mobu DAC' ($dacpcm) and 'Mobu ADC' ($adcpcm)"

	# DAC (slave): register 02 bits 5:4 word length, 0A bits 6:5 divider
	# MCLK/(64 fs) of 22.5792 or 24.576 MHz
	for row in S16_LE:44100:00:40 S32_LE:48000:10:40 S16_LE:96000:00:20 \
		S32_LE:192000:10:00 S16_LE:48000:00:40; do
		IFS=:
		set -- $row
		unset IFS
		f=$1 r=$2 w=$3 d=$4
		if out=$(stream aplay "$card" "$dacpcm" "$f" "$r"); then
			expect "aplay $f at $r Hz: DAC word length $w, divider field $d" "$w $d" \
				"$(chip $CARD_DAC 0x02 0x30) $(chip $CARD_DAC 0x0a 0x60)"
		else
			fail "aplay $f at $r Hz on the DAC: $out"
		fi
	done
	expect "a DAC stream exchanges the DAC's first channel pairs (26, 27)" "32 10" \
		"$(chip $CARD_DAC 0x26) $(chip $CARD_DAC 0x27)"
	expect "the DAC is a clock slave on the card (0A bit 3)" 00 "$(chip $CARD_DAC 0x0a 0x08)"

	# ADC (master): 0B word length, 02 and 09 the divider MCLK/(128 fs) - 1
	for row in S16_LE:192000:21:00 S32_LE:96000:01:01 S16_LE:44100:21:03 \
		S32_LE:48000:01:03 S16_LE:176400:21:00; do
		IFS=:
		set -- $row
		unset IFS
		f=$1 r=$2 w=$3 d=$4
		if out=$(stream arecord "$card" "$adcpcm" "$f" "$r"); then
			expect "arecord $f at $r Hz: ADC word length $w, dividers $d" "$w $d $d" \
				"$(chip $CARD_ADC 0x0b 0x3f) $(chip $CARD_ADC 0x02 0x1f) $(chip $CARD_ADC 0x09 0x7f)"
		else
			fail "arecord $f at $r Hz on the ADC: $out"
		fi
	done

	# formats and rates the DAIs do not offer
	check "aplay refuses 24-bit samples on the DAC" \
		sh -c "! aplay -q -D hw:$card,$dacpcm -t raw -f S24_LE -c 2 -r 48000 -s 256 /dev/zero 2>/dev/null"
	check "arecord refuses 24-bit samples on the ADC" \
		sh -c "! arecord -q -D hw:$card,$adcpcm -t raw -f S24_LE -c 2 -r 48000 -s 256 /dev/null 2>/dev/null"
	for r in 8000 32000; do
		out=$(aplay -D "hw:$card,$dacpcm" -t raw -f S16_LE -c 2 -r $r -s 256 /dev/zero 2>&1)
		if echo "$out" | grep -q "got = 44100Hz"; then
			pass "the DAC refuses $r Hz (the nearest rate it offers is 44100 Hz)"
		else
			fail "the DAC refuses $r Hz (aplay: $out)"
		fi
	done

	two_stream_checks

	# the NCO of a DAC mastering the clocks, 24.576 or 22.5792 MHz
	ncocard=$(card_of mobu_test_nco)
	if [ -z "$ncocard" ]; then
		fail "the card with the DAC as clock master registers"
	else
		for row in 96000:00000001 48000:00008000 192000:00000002 44100:00008000; do
			r=${row%%:*}
			if out=$(stream aplay "$ncocard" 0 S32_LE "$r"); then
				expect "master DAC at $r Hz: NCO bytes 2A-2D" "${row#*:}" \
					"$(chip $DAC_AB 0x2a)$(chip $DAC_AB 0x2b)$(chip $DAC_AB 0x2c)$(chip $DAC_AB 0x2d)"
			else
				fail "aplay at $r Hz on the master DAC: $out"
			fi
		done
		expect "the master DAC's clock master bit (0A bit 3)" 08 "$(chip $DAC_AB 0x0a 0x08)"
	fi

	# the stream mute: off while a stream plays, on once it stops
	mute_during() {
		start_playback "$card" "$dacpcm" || { echo x; return; }
		during=$(chip $CARD_DAC 0x07 0x01)
		stop_playback
		echo "$during $(chip $CARD_DAC 0x07 0x01)"
	}
	expect "without a user mute the DAC plays during a stream and mutes after it" \
		"00 01" "$(mute_during)"
	amixer -c "$card" sset "Master Mute" on >/dev/null
	expect "Master Mute on mutes the DAC (register 07 bit 0)" 01 "$(chip $CARD_DAC 0x07 0x01)"
	expect "Master Mute holds through a stream" "01 01" "$(mute_during)"
	# the card unbound and bound again keeps the user's mute
	drv=/sys/bus/platform/drivers/mobu-digi-ana
	echo mobu-digi-ana >"$drv/unbind" && echo mobu-digi-ana >"$drv/bind"
	card=$(card_of mobu_digi_anasoundcard) || { fail "the card binds again"; return; }
	dacpcm=$(pcm_of "$card" "Mobu DAC")
	check "Master Mute reads on after the card is bound again" has "Playback \[on\]" "Master Mute"
	expect "Master Mute holds through a stream after the re-bind" "01 01" "$(mute_during)"
	amixer -c "$card" sset "Master Mute" off >/dev/null
	expect "Master Mute off: the DAC plays during a stream and mutes after it" \
		"00 01" "$(mute_during)"
	amixer -c "$card" sset "DAC DIT Mute" on >/dev/null
	expect "DAC DIT Mute holds through a stream" "01 01" "$(mute_during)"
	amixer -c "$card" sset "DAC DIT Mute" off >/dev/null

	# a mute the DAC does not take is an error, and the control stays off
	# (during a playback, which has the DAC unmuted: the mute is a write)
	if [ -d "$REGS" ] && start_playback "$card" "$dacpcm"; then
		echo $CARD_DAC >$REGS/fail_addr && echo 7 >$REGS/fail_reg
		if amixer -c "$card" cset "name=Master Mute" on >/dev/null 2>&1; then
			fail "a Master Mute the DAC refuses is an error to amixer"
		else
			pass "a Master Mute the DAC refuses is an error to amixer"
		fi
		echo -1 >$REGS/fail_reg
		check "the refused Master Mute reads off" has "Playback \[off\]" "Master Mute"
		amixer -c "$card" cset "name=Master Mute" on >/dev/null
		expect "Master Mute on once the DAC takes it again" 01 "$(chip $CARD_DAC 0x07 0x01)"
		amixer -c "$card" cset "name=Master Mute" off >/dev/null
		stop_playback
	else
		skip "refused mute: no mobu-i2c-regs"
	fi
}

# Two streams at once: a capture beside a running playback on the same link
# (the DAC's Capture A) and on the ADC's link, in both rate families.
two_stream_checks() {
	for fam in 48000:44100 44100:48000; do
		run=${fam%%:*} other=${fam#*:}
		start_playback "$card" "$dacpcm" "$run" || { fail "a $run Hz playback starts"; continue; }
		# first, while the playback alone has set the shared I2S controller
		stream arecord "$card" "$dacpcm" S32_LE "$run" >/dev/null
		expect "a 32-bit capture leaves the DAC's 16-bit word length under its $run Hz playback" 00 \
			"$(chip $CARD_DAC 0x02 0x30)"
		if out=$(stream arecord "$card" "$dacpcm" S16_LE "$run"); then
			pass "arecord S16_LE at $run Hz on the DAC device beside its playback"
		else
			fail "arecord S16_LE at $run Hz on the DAC device beside its playback: $out"
		fi
		if out=$(stream arecord "$card" "$adcpcm" S32_LE "$run"); then
			pass "arecord at $run Hz on the ADC beside a $run Hz playback"
		else
			fail "arecord at $run Hz on the ADC beside a $run Hz playback: $out"
		fi
		out=$(arecord -D "hw:$card,$adcpcm" -t raw -f S32_LE -c 2 -r "$other" -s 4096 $BUFFER /dev/null 2>&1)
		if echo "$out" | grep -q "got = ${run}Hz"; then
			pass "beside a $run Hz playback the ADC offers its family only ($other Hz gives $run Hz)"
		else
			fail "beside a $run Hz playback the ADC offers its family only (arecord: $out)"
		fi
		stop_playback
	done

	# a storm of mixer writes beside a playback and a capture
	start_playback "$card" "$dacpcm" || { fail "a playback starts for the mixer storm"; return; }
	arecord -q -D "hw:$card,$adcpcm" -t raw -f S32_LE -c 2 -r 48000 -d 60 $BUFFER /dev/null &
	rec=$!
	for i in $(seq 100); do
		echo "cset name='Gain $((i % 8)) Volume' $((i % 49))"
		echo "cset name='Master Mute' $((i % 2))"
		echo "cset name='Analogue Input Selection' $((i % 4))"
	done >/tmp/storm
	echo "cset name='Master Mute' 0" >>/tmp/storm
	errors=$(amixer -c "$card" -s </tmp/storm 2>&1 >/dev/null)
	running=$(grep -c "state: RUNNING" "/proc/asound/card$card/pcm${dacpcm}p/sub0/status" \
		"/proc/asound/card$card/pcm${adcpcm}c/sub0/status" | grep -c ':1$')
	kill "$rec"
	wait "$rec" 2>/dev/null
	expect "a playback and a capture beside 301 mixer writes: no write fails, both streams run, the DAC plays" \
		"/2/00" "$errors/$running/$(chip $CARD_DAC 0x07 0x01)"
	stop_playback
}

# ---- the card's GPIO lines ---------------------------------------------------
# The card given lines on a controller that is not there yet waits for it,
# then drives them.
gpio_checks() {
	if [ ! -f $M/mobu-test-gpio.order ] || [ ! -f $M/snd-soc-mobu-digi-ana.order ] ||
		! command -v aplay >/dev/null; then
		skip "GPIO checks: the modules or aplay are missing"
		return
	fi
	bus=$(adapter_of "$STUB_ADAPTER") || { fail "GPIO checks: $STUB adapter present"; return; }
	load snd-soc-mobu-digi-ana &&
		load mobu-test-card bus="$bus" dac_addr=$CARD_DAC adc_addr=$CARD_ADC gpio_lines=1 ||
		{ fail "card modules load with GPIO lines"; return; }
	sleep 1
	check "the card waits (deferred) while its GPIO controller is missing" \
		sh -c '! grep -q mobu_digi_anasoundcard /proc/asound/cards &&
			grep -q mobu-digi-ana /sys/kernel/debug/devices_deferred'
	load mobu-test-gpio || { fail "mobu-test-gpio load"; return; }
	card=$(card_of mobu_digi_anasoundcard) ||
		{ fail "the card binds once its GPIO controller is there"; return; }
	pass "the card binds once its GPIO controller is there (card $card)"
	L=/sys/module/mobu_test_gpio/parameters/levels
	expect "probe runs the 48 kHz oscillator: clk-pen, led, clk-pen44, clk-pen48" \
		1,1,0,1 "$(cut -d, -f1-4 $L)"
	amixer -c "$card" sset "I2S Input Selection" HDMI >/dev/null
	expect "HDMI drives nxsel, nasel, nhsel to 1, 1, 0" 1,1,0 "$(cut -d, -f9-11 $L)"
	amixer -c "$card" sset "Analogue Input Selection" Phono >/dev/null
	expect "Phono drives rsli, rsmic, rspho, nppe to 0, 0, 1, 1" 0,0,1,1 "$(cut -d, -f5-8 $L)"
	expect "the selectors read their lines back" "'HDMI' 'Phono'" \
		"$(mixer "I2S Input Selection" | sed -n "s/^ *Item0: //p") $(mixer "Analogue Input Selection" | sed -n "s/^ *Item0: //p")"
	if out=$(stream aplay "$card" "$(pcm_of "$card" "Mobu DAC")" S16_LE 44100); then
		expect "a 44.1 kHz stream switches to the 44.1 kHz oscillator (clk-pen44, clk-pen48)" \
			1,0 "$(cut -d, -f3-4 $L)"
	else
		fail "aplay at 44100 Hz with the card's lines: $out"
	fi
	if start_playback "$card" "$(pcm_of "$card" "Mobu DAC")" 48000; then
		during=$(cut -d, -f3-4 $L)
		stream arecord "$card" "$(pcm_of "$card" "Mobu ADC")" S32_LE 44100 >/dev/null
		expect "a 44.1 kHz capture beside a 48 kHz playback keeps the 48 kHz oscillator" \
			"0,1 0,1" "$during $(cut -d, -f3-4 $L)"
		stop_playback
	else
		fail "a 48 kHz playback starts with the card's lines"
	fi
	rmmod snd_soc_mobu_digi_ana && rmmod mobu_test_card && rmmod mobu_test_gpio
	check "card, description and GPIO controller unload" [ ! -d /sys/module/mobu_test_gpio ]
}

# ---- TLA2528 through its emulator ------------------------------------------

adc_checks() {
	VALUES=100,1234,2047,2048,3000,4095,7,4095
	load mobu-tla-emul values=$VALUES || { fail "mobu-tla-emul load"; return; }
	load tla2528-adc || { fail "tla2528-adc load"; return; }
	P=/sys/module/mobu_tla_emul/parameters
	bus=$(adapter_of mobu-tla-emul) || { fail "emulator adapter present"; return; }
	dev=$bus-$(printf %04x "$(cat $P/addr)")
	check "tla2528 binds to the emulated converter" bound "$dev"

	# its progress lines are debug output: the default log level shows none
	got=$(dmesg | sed -n 's/.*tla2528_probe : //p')
	expect "tla2528 probe writes nothing to the log at the default level" "" "$got"

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

mark() { echo "MOBU-GUEST-TIME $1 $(cut -d' ' -f1 /proc/uptime) s"; }
mark start
codec_checks
mark codecs
card_checks
gpio_checks
mark card
adc_checks
mark adc

if [ "$FAILED" != 0 ]; then
	echo "--- dmesg"
	dmesg | tail -n 80
	echo "--- end of dmesg"
fi
echo "MOBU-GUEST-DONE"
poweroff -f
