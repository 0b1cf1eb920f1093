// The measurement module from JavaScript: its constants and argument rules, and a complete
// measurement and identification on the virtual board through a known room.
'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { tempDir, makeBoard, removeBoard, writeWav, waitFor } = require('./support');

// A lock-step board whose microphone hears every output through a room: the direct sound 30
// samples in, reflections at 120 (-0.4 of it) and 260 (+0.2 of it).
const dir = tempDir('measure');
const room = new Array(600).fill(0);
room[30] = 0.5;
room[120] = -0.2;
room[260] = 0.1;
writeWav(path.join(dir, 'room.wav'), 48000, [room]);
process.env.ALSA_CONFIG_PATH = makeBoard(path.join(dir, 'board'), ['--mode', 'lockstep', '--room', path.join(dir, 'room.wav')]);
const m = require('./support').addon('libMobuCal2ImpulseJS');
// A device is held while its object lives (until it is collected): one object on the board.
const board = new m.PlayRecordProcessEmbedded('board_playback', 'board_capture');
test.after(() => {
  removeBoard(path.join(dir, 'board'));
  fs.rmSync(dir, { recursive: true, force: true });
});

/** The status file's object, or null while it is being replaced. */
function status() {
  try { return JSON.parse(fs.readFileSync('/tmp/status.json', 'utf8')); } catch { return null; }
}

test('the constants have their values and cannot be assigned', () => {
  const want = {
    ALSA_DEFAULT_START_FS: 48000, ALSA_DEFAULT_CHANNELS: 2, LEVINSONDURBAN_ERROR_OFFSET: -200,
    LEVINSONDURBAN_FS_MISMATCH_ERROR: -201, LEVINSONDURBAN_CHANNEL_MISMATCH_ERROR: -202,
    LEVINSONDURBAN_N_MISMATCH_ERROR: -203, LEVINSONDURBAN_CHANNEL_COUNT_ERROR: -204,
    LEVINSONDURBAN_FS_VAL_ERROR: -205, DROP_CNT_CHIRPS: 3, FI_HZ: 800.0, FA_HZ: 1200.0, DEFAULT_DELAY: 0.003,
    CR_MAX_PLAY_CH: 8, CR_MAX_REC_CH: 10, CR_MAX_FRAME_COUNT: 48000, CR_FRAME_COUNT_ERROR: -1360,
    LEVINSONDURBAN_NO_SIGNAL_ERROR: -209, LEVINSONDURBAN_NOT_FINITE_ERROR: -210, LEVINSONDURBAN_SIZE_ERROR: -211,
    LEVINSONDURBAN_MAX_SAMPLES: 8388608,
  };
  for (const [name, value] of Object.entries(want)) assert.equal(m[name], value, name);
  assert.throws(() => { m.CR_MAX_PLAY_CH = 2; }, { message: 'Tried to write read-only variable: CR_MAX_PLAY_CH.' });
  assert.equal(m.CR_MAX_PLAY_CH, 8);
  const classes = ['LevinsonDurbanDebug', 'LevinsonDurban', 'ChirpRecorderBase', 'ChirpRecorder', 'PlayRecordProcessEmbedded'];
  for (const name of [...classes, 'changeThreadPriority', 'getThreadPriority']) assert.equal(typeof m[name], 'function', name);
});

test('bad arguments throw an Error naming the method, the argument and its type', () => {
  const p = new m.PlayRecordProcessEmbedded('null');
  const ld = new m.LevinsonDurban();
  const cases = [
    [() => new m.ChirpRecorderBase(), 'Class ChirpRecorderBase can not be instantiated'],
    [() => p.setPlayCh('a'), "in method 'ChirpRecorderBase_setPlayCh', argument 2 of type 'int'"],
    [() => p.setPlayCh(1, 2), 'Illegal number of arguments for _wrap_ChirpRecorderBase_setPlayCh.'],
    [() => p.zeroChannel(-1), "in method 'ChirpRecorderBase_zeroChannel', argument 2 of type 'unsigned int'"],
    // Numbers that are not whole numbers of the parameter's type are refused, never wrapped or cut.
    [() => p.setPlayCh(NaN), "in method 'ChirpRecorderBase_setPlayCh', argument 2 of type 'int'"],
    [() => p.setPlayCh(-Infinity), "in method 'ChirpRecorderBase_setPlayCh', argument 2 of type 'int'"],
    [() => p.setPlayCh(2 ** 32 + 6), "in method 'ChirpRecorderBase_setPlayCh', argument 2 of type 'int'"],
    [() => p.setFrameCount(4800.9), "in method 'ChirpRecorderBase_setFrameCount', argument 2 of type 'int'"],
    [() => p.getChirpVal(NaN, 0), "in method 'PlayRecordProcessEmbedded_getChirpVal', argument 2 of type 'int'"],
    [() => p.zeroChannel(2 ** 32), "in method 'ChirpRecorderBase_zeroChannel', argument 2 of type 'unsigned int'"],
    [() => ld.getX(0.5, 0), "in method 'LevinsonDurban_getX', argument 2 of type 'unsigned int'"],
    [() => ld.setStatus(null, 'm', 0, 0), "invalid null reference in method 'LevinsonDurban_setStatus', argument 2 of type 'std::string'"],
    [() => ld.setStatus('', 7, 0, 0), "in method 'LevinsonDurban_setStatus', argument 3 of type 'std::string'"],
    [() => ld.getImpulseModel('a'), 'Illegal arguments for function getImpulseModel.'],
    [() => ld.getImpulseModelThreaded(ld, 1, 0, false, 48000, 0, 0), "in method 'LevinsonDurban_getImpulseModelThreaded', argument 2 of type 'Calibration *'"],
    [() => p.getImpulseModel(1024, 0, false, 48000, 0), 'Illegal number of arguments for _wrap_PlayRecordProcessEmbedded_getImpulseModel.'],
    [() => p.getImpulseModel(1024, 0, false, 48000, 0, 0), 'Illegal number of arguments for _wrap_PlayRecordProcessEmbedded_getImpulseModel.'],
    [() => m.LevinsonDurban(), 'Illegal call of constructor _wrap_new_LevinsonDurban.'],
    [() => m.PlayRecordProcessEmbedded('null'), 'Illegal arguments for construction of _exports_PlayRecordProcessEmbedded'],
    [() => new m.PlayRecordProcessEmbedded(1), 'Illegal arguments for construction of _exports_PlayRecordProcessEmbedded'],
    [() => new m.PlayRecordProcessEmbedded(), 'Illegal arguments for construction of _exports_PlayRecordProcessEmbedded'],
    [() => new m.ChirpRecorder('null', 44100), 'Illegal arguments for construction of _exports_ChirpRecorder'],
  ];
  for (const [call, message] of cases) assert.throws(call, (e) => e instanceof Error && e.message === message, message);
});

test('results are numbers: codes, a fresh object, a closed device, indices outside the matrices', () => {
  const p = board;
  assert.equal(p.getMaxPlayCh(), 8);
  assert.equal(p.setPlayCh(99), -1350);
  assert.equal(p.isImpulseModuleComputed(), true);
  assert.equal(p.isGetImpulseModelRunning(), false);
  assert.equal(p.getDefaultDelay(), 0.003);
  assert.equal(p.getFS(), 48000);
  assert.deepEqual([p.getAllLeftChIndex(), p.getAllRightChIndex()], [-1, -2]);
  assert.equal(new m.PlayRecordProcessEmbedded('no_such_device').getStateName(), "The pcm device isn't open, open first.");
  assert.equal(p.getTOF(0), -204, 'no time of flight before an identification');

  assert.equal(p.prepare(), 0);
  const L = p.getChirpsSampleCount() / 9;
  assert.equal(L, 48000);
  assert.equal(p.getMicrophoneSampleCount(), 10 * L);
  assert.ok(Math.abs(p.getChirpVal(L >> 1, 0)) <= 1 && Number.isFinite(p.getChirpVal(0, 0)));
  for (const v of [p.getChirpVal(-1, 0), p.getChirpVal(L, 0), p.getMicVal(0, 8), p.getMicVal(10 * L, 0), p.getMicVal(-1, 0), p.getH(0, 0)])
    assert.ok(Number.isNaN(v));

  assert.equal(m.changeThreadPriority(1000), -41003);
  assert.ok(m.changeThreadPriority(0) < 0, 'below the lowest real-time priority');
});

test('sizes beyond the limits are refused with a code and change nothing', () => {
  const ld = new m.LevinsonDurban();
  assert.equal(ld.loadReference(1, 0, 0, 8, 1), 0);
  assert.equal(ld.loadReference(1, 0, 0, 100000000, 100), -211, 'more than 2^23 samples');
  assert.equal(ld.loadResponse(1, 0, 0, 4096, 4096), -211);
  assert.deepEqual([ld.getXN(), ld.getXM(), ld.getYN()], [8, 1, 0]);
  for (const frames of [0, -100, 48001, 2147483647]) assert.equal(board.setFrameCount(frames), -1360, `${frames} frames`);
  assert.equal(board.setFrameCount(4800), 0, 'the default period (the measurement below runs with it)');
});

test('stackData(P, M) is a method of the object', () => {
  const ld = new m.LevinsonDurban();
  for (let r = 0; r < 12; ++r) {
    ld.loadReference(1, r, 0, 12, 1);
    ld.loadResponse(r, r, 0, 12, 1);
  }
  // 5 periods of 3: the reference keeps 3 rows, the response averages 2 periods from row 2 on.
  assert.equal(ld.stackData(3, 5), 0);
  assert.deepEqual([ld.getXN(), ld.getYN(), ld.getY(0, 0), ld.getY(2, 0)], [3, 3, 3.5, 5.5]);
  assert.equal(ld.stackData(3, 3), -207, 'too few periods');
});

test('a run on a device another process holds fails, in its result and in the status file', async () => {
  const held = new m.PlayRecordProcessEmbedded('board_playback', 'board_capture'); // the board is in use
  new m.LevinsonDurban().setStatus('', 'before the run', 0, 0);
  assert.equal(held.run(), 0, 'the thread starts');
  assert.ok(await waitFor(() => !held.threadRunning(), 60));
  assert.ok(held.getRunResult() < 0, `result ${held.getRunResult()}`);
  const s = status();
  assert.equal(s.message, 'Chirping ... done.');
  assert.match(s.error, /^ChirpRecorder: the measurement failed with error -\d+/);
});

test("the alignment moves every channel's arrival 3 ms in (the channels in parallel)", () => {
  const ld = new m.LevinsonDurban();
  const L = 2048, C = 6;
  assert.equal(ld.loadReference(1, 0, 0, L, 1), 0);
  for (let c = 0; c < C; ++c) assert.equal(ld.loadResponse(c + 1, 400 + 37 * c, c, L, C), 0);
  assert.deepEqual([ld.getXN(), ld.getXM(), ld.getYN(), ld.getYM()], [L, 1, L, C]);
  assert.equal(ld.alignData(48000), 0);
  for (let c = 0; c < C; ++c) {
    // Only the loaded samples were set: the rest is silence, and the whole column has moved.
    const energy = Array.from({ length: L }, (_, k) => ld.getY(k, c) ** 2).reduce((a, b) => a + b, 0);
    assert.ok(Math.abs(ld.getY(144, c) - (c + 1)) < 1e-9 && Math.abs(energy - (c + 1) ** 2) < 1e-9, `channel ${c}`);
  }
});

test('a measurement and its identification from JavaScript recover the room', async () => {
  const p = board;
  assert.equal(p.setPlayCh(2), 0);
  new m.LevinsonDurban().setStatus('', 'before the run', 0, 0);
  assert.equal(p.run(), 0);
  assert.equal(p.prepare(), -16, 'the signals are in use: EBUSY');
  assert.equal(p.setFrameCount(2400), -16, 'the period stays during a run');
  assert.equal(p.getImpulseModelThreaded(4096, 2, true, 48000, 0, 0), -16, 'no identification of a recording under way');
  assert.equal(p.getImpulseModel(4096, 2, true, 48000), -16);
  const ended = await waitFor(() => !p.threadRunning(), 300);
  assert.ok(ended, 'the recorder thread ends');
  assert.equal(p.getForceStopState(), false);
  assert.equal(p.getRunResult(), 1, 'the last channel ended the run');
  assert.deepEqual(status(), { error: '', message: 'Chirping ... done.', progressMax: 0, progress: 0 }, "this run's end");
  assert.equal(p.isChannelEmpty(2), 0);
  assert.ok(p.getMaxVal(2) > 0.1 * 2147483647);

  assert.equal(p.getImpulseModelThreaded(4096, 2, true, 48000, 0, 0), 0);
  assert.equal(p.getImpulseModel(4096, 2, true, 48000), -16, 'the identification thread owns the matrices');
  assert.equal(p.run(), -16, 'no measurement while the identification reads the recording');
  assert.deepEqual([p.zeroChannel(2), p.setPlayCh(3), p.setFrameCount(2400)], [-16, -16, -16], 'nor changes to it');
  assert.ok(!p.isImpulseModuleComputed(), 'the calls above were made during the identification');
  assert.ok(await waitFor(() => p.isImpulseModuleComputed(), 300), 'the identification ends');
  assert.equal(p.getImpulseModelResult(), 0);
  assert.equal(p.getHLength(), 4096);
  const h = Array.from({ length: 4096 }, (_, k) => p.getH(k, 2));
  let peak = 0;
  h.forEach((v, k) => { if (Math.abs(v) > Math.abs(h[peak])) peak = k; });
  // The arrival sits 3 ms (144 samples) into the window, the reflections follow as in the room.
  assert.ok(Math.abs(peak - 144) <= 2, `arrival at ${peak}`);
  assert.ok(Math.abs(h[peak + 90] / h[peak] + 0.4) < 0.02, `first reflection ${h[peak + 90] / h[peak]}`);
  assert.ok(Math.abs(h[peak + 230] / h[peak] - 0.2) < 0.02, `second reflection ${h[peak + 230] / h[peak]}`);
  const rest = h.reduce((e, v, k) => ([peak, peak + 90, peak + 230].some((q) => Math.abs(k - q) <= 8) ? e : e + v * v), 0);
  assert.ok(rest < 1e-3 * h[peak] * h[peak] * 4096, 'little energy away from the three arrivals');
  assert.ok(p.getTOF(2) > 0);
  // The band the identification was limited to: what channel 2's chirp excited (40 dB down).
  assert.ok(p.getBandLow(2) > 0 && p.getBandLow(2) <= 20, `low edge ${p.getBandLow(2)}`);
  assert.ok(p.getBandHigh(2) >= 23000 && p.getBandHigh(2) <= 24000, `high edge ${p.getBandHigh(2)}`);
  assert.ok(Number.isNaN(p.getBandLow(3)), 'no band for a channel not identified');
  assert.equal(p.getXN(), 48000);
  assert.equal(p.getYM(), 8);
});

test('identifying nothing, or with arguments that are not numbers, fails with a code', async () => {
  const p = board; // channel 2 recorded above, channel 5 not
  const cases = [
    [() => p.getImpulseModel(4096, 5, true, 48000), -209, 'an unrecorded channel, aligned'],
    [() => p.getImpulseModel(4096, 5, false, 48000), -209, 'an unrecorded channel'],
    [() => p.getImpulseModel(4096, 2, true, Infinity), -210, 'an infinite rate'],
    [() => new m.PlayRecordProcessEmbedded('null').getImpulseModel(4096, 0, true, 48000), -209, 'an empty recording'],
  ];
  for (const [call, code, what] of cases) assert.equal(call(), code, what);
  assert.equal(p.getImpulseModelThreaded(4096, 2, true, 48000, NaN, 0), 0);
  assert.ok(await waitFor(() => p.isImpulseModuleComputed(), 60));
  assert.equal(p.getImpulseModelResult(), -210, 'a band centre that is not a number');
});

test("calls on a LevinsonDurban during its identification are refused, never a crash", async () => {
  const ld = new m.LevinsonDurban();
  assert.equal(ld.getImpulseModelThreaded(board, 4096, 2, true, 48000, 0, 0), 0);
  const refused = [
    ld.getImpulseModel(4096, 2, true, 48000, 0, 0), ld.getImpulseModel(board, 4096, 2, true, 48000, 0, 0),
    ld.getImpulseModel(64), ld.loadReference(1, 0, 0, 8, 1), ld.loadResponse(1, 0, 0, 8, 1), ld.stackData(48000, 9),
    ld.alignData(48000), ld.getXN(), ld.getTOF(2),
  ];
  const nan = ld.getH(0, 2);
  assert.ok(ld.isGetImpulseModelRunning(), 'the calls above were made during the identification');
  assert.deepEqual(refused, refused.map(() => -16));
  assert.ok(Number.isNaN(nan));
  assert.ok(await waitFor(() => !ld.isGetImpulseModelRunning(), 300));
  assert.equal(ld.getImpulseModelResult(), 0, 'the identification itself was undisturbed');
  assert.equal(ld.getHLength(), 4096);
  assert.ok(Math.abs(ld.getTOF(2) - board.getTOF(2)) <= 1, 'the same time of flight as the first identification');
});
