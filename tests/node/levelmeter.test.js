// The metering record's layout from JavaScript, and a reader that parses the records the
// processor writes to its level FIFO with nothing but the module's constants.
'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { addon, tempDir, makeBoard, removeBoard, writeWav, sleep } = require('./support');

const lm = addon('libLevelMeter');

test('the layout constants and getters, read-only and checked', () => {
  assert.deepEqual(Object.keys(lm), ['FIFO_HEADER_CNT', 'FIFO_OFSET', 'IN_CHCNT', 'CHCNT', 'OUT_CHCNT', 'IOLevels']);
  assert.deepEqual([lm.FIFO_HEADER_CNT, lm.FIFO_OFSET, lm.IN_CHCNT, lm.CHCNT, lm.OUT_CHCNT], [4, 0, 2, 8, 8]);
  const io = new lm.IOLevels();
  assert.deepEqual([io.getFIFOHeaderCnt(), io.getFIFOOffset(), io.getInChCnt(), io.getOutChCnt()], [4, 0, 2, 8]);
  assert.equal(new lm.IOLevels().getInChCnt() + new lm.IOLevels().getOutChCnt() + lm.FIFO_HEADER_CNT, 14);
  assert.ok(io.equals(io) && typeof io.getCPtr() === 'number');

  assert.throws(() => { lm.OUT_CHCNT = 3; }, { message: 'Tried to write read-only variable: OUT_CHCNT.' });
  assert.equal(lm.OUT_CHCNT, 8);
  assert.throws(() => lm.IOLevels(), { message: 'Illegal call of constructor _wrap_new_IOLevels.' });
  assert.throws(() => new lm.IOLevels(1), { message: 'Illegal number of arguments for _wrap_new_IOLevels.' });
  for (const m of ['getFIFOHeaderCnt', 'getFIFOOffset', 'getInChCnt', 'getOutChCnt']) {
    assert.throws(() => io[m](1), { message: `Illegal number of arguments for _wrap_IOLevels_${m}.` });
    assert.throws(() => lm.IOLevels.prototype[m].call({}), { message: `in method 'IOLevels_${m}', argument 1 of type 'IOLevels *'` });
  }
});

test("a reader parses the processor's level records with the module's constants", async (t) => {
  const dir = tempDir('levels');
  const env = { ...process.env, ALSA_CONFIG_PATH: makeBoard(path.join(dir, 'board'), ['--mode', 'realtime']) };
  t.after(() => removeBoard(path.join(dir, 'board')));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  // Filters passing every output at half the input; a programme of 0.25 (left) and 0.5 (right).
  const taps = Array.from({ length: 8 }, () => Object.assign(new Array(1024).fill(0), { 0: 0.5 }));
  writeWav(path.join(dir, 'filters.wav'), 48000, taps);
  const seconds = 3, tone = (a) => Array.from({ length: 48000 * seconds }, (_, k) => a * Math.sin(2 * Math.PI * 997 * k / 48000));
  writeWav(path.join(dir, 'programme.wav'), 48000, [tone(0.25), tone(0.5)]);
  const levels = path.join(dir, 'levels');
  fs.writeFileSync(path.join(dir, 'processor.conf'), `MobuFullDuplexFIR {\n filter "${dir}/filters.wav"\n` +
    ` paraeq "levels.json"\n mixerDevice "board"\n fifopath "${levels}"\n}\n`);

  const processor = spawn(process.env.MOBU_MOBU_PROCESSOR, [`--config=${dir}/processor.conf`], { env, stdio: 'ignore' });
  const exited = new Promise((resolve) => processor.on('exit', resolve));
  t.after(() => processor.kill('SIGKILL'));
  for (let i = 0; i < 250 && !fs.existsSync(levels); ++i) await sleep(20);
  const fifo = fs.createReadStream(levels);
  let bytes = Buffer.alloc(0);
  fifo.on('data', (chunk) => { bytes = Buffer.concat([bytes, chunk]); });
  const size = 4 * (lm.FIFO_HEADER_CNT + lm.IN_CHCNT + lm.OUT_CHCNT);
  // The programme plays once the processor streams (its first record has come), and the
  // processor is stopped once the programme's level has been metered: on a loaded machine
  // building the filters and starting the streams can take seconds.
  const until = async (done) => { for (let i = 0; i < 3000 && !done(); ++i) await sleep(20); };
  await until(() => bytes.length >= size);
  const player = spawn('aplay', ['-q', '-D', 'board_programme', path.join(dir, 'programme.wav')], { env, stdio: 'ignore' });
  assert.equal(await new Promise((resolve) => player.on('exit', resolve)), 0, 'the programme plays');
  const metered = () => {
    for (let at = 0; at + size <= bytes.length; at += size)
      if (bytes.readInt32LE(at + 4 * (lm.FIFO_HEADER_CNT + 1)) > 0.4 * 2147483648) return true;
    return false;
  };
  await until(() => bytes.length >= 10 * size && metered());
  processor.kill('SIGTERM');
  await exited;
  fifo.destroy();

  const words = lm.FIFO_HEADER_CNT + lm.IN_CHCNT + lm.OUT_CHCNT;
  assert.equal(size, 56);
  const records = [];
  for (let at = 0; at + size <= bytes.length; at += size) {
    const w = Array.from({ length: words }, (_, k) => bytes.readInt32LE(at + 4 * k));
    assert.deepEqual(w.slice(lm.FIFO_OFSET, lm.FIFO_OFSET + lm.FIFO_HEADER_CNT), [0, 1, 2, 3], 'every record starts with its header');
    records.push({ in: w.slice(lm.FIFO_HEADER_CNT, lm.FIFO_HEADER_CNT + lm.IN_CHCNT), out: w.slice(lm.FIFO_HEADER_CNT + lm.IN_CHCNT) });
  }
  assert.equal(bytes.length % size, 0, 'whole records');
  // Without real-time priority (the runner drops it) a loaded machine costs the processor
  // over/under-runs and restarts, and so records; a few seconds' worth is not promised.
  assert.ok(records.length >= 10, `${records.length} records`);
  const loudest = (ch) => Math.max(...records.map((r) => r.in[ch])) / 2147483648;
  assert.ok(Math.abs(loudest(0) - 0.25) < 0.005 && Math.abs(loudest(1) - 0.5) < 0.005, `input peaks ${loudest(0)} ${loudest(1)}`);
  assert.ok(records.every((r) => r.out.length === lm.OUT_CHCNT && r.out.every((v) => v >= 0)));
  assert.ok(Math.max(...records.flatMap((r) => r.out)) > 0, 'the outputs are metered');
});
