// Room correction for the page: the last measurement written as a measurement folder, the
// correction designed from it by mobu-correct (run without a shell, its arguments built from
// checked numbers, within a time limit), its picture kept, and on confirmation the same design
// written as the processor's coefficient file by the tool, which renames it into place.
'use strict';
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { EventEmitter } = require('node:events');
const { wavBytes } = require('./files');

const BUSY = new Set(['designing', 'writing']);
const TAPS = [4096, 8192, 16384, 32768, 65536];
const SMOOTHING = [1, 2, 3, 6, 12, 24];
const DEFAULTS = { taps: 65536, target: 'flat', low: 20, high: 20000, maxBoost: 6, smoothing: 6, phase: 'minimum', align: false };
const LOG_LINES = 12;
const SWITCH_WAIT_MS = 30000;
const backupOf = (file) => `${file}.previous`; // kept by mobu-correct on every write
const EXIT_MEANING = { 1: 'a file or device could not be used', 2: 'a bad option or input' };

/** The settings of a request, each checked and defaulted; throws an Error naming the one that is wrong. */
function validate(request, rate) {
  const s = { ...DEFAULTS };
  for (const key of Object.keys(request)) if (!(key in DEFAULTS)) throw new Error(`unknown setting ${key}`);
  const number = (key, lo, hi) => {
    if (request[key] === undefined) return;
    const v = request[key];
    if (typeof v !== 'number' || !Number.isFinite(v) || v < lo || v > hi) throw new Error(`${key} must be a number ${lo} ... ${hi}`);
    s[key] = v;
  };
  const oneOf = (key, values) => {
    if (request[key] === undefined) return;
    if (!values.includes(request[key])) throw new Error(`${key} must be one of ${values.join(', ')}`);
    s[key] = request[key];
  };
  oneOf('taps', TAPS);
  oneOf('target', ['flat']);
  number('low', 1, rate / 2);
  number('high', 1, rate / 2);
  if (!(s.low < s.high)) throw new Error('the range needs low < high');
  number('maxBoost', 0, 24);
  oneOf('smoothing', SMOOTHING);
  oneOf('phase', ['minimum', 'mixed']);
  oneOf('align', [true, false]);
  return s;
}

/** The tool's design options for checked settings (numbers only, nothing a shell or the tool could read otherwise). */
function designArguments(s) {
  return [`--taps=${s.taps}`, '--target=flat', `--range=${s.low}:${s.high}`, `--max-boost=${s.maxBoost}`,
    `--smoothing=1/${s.smoothing}`, `--phase=${s.phase}`, ...(s.align ? ['--align'] : [])];
}

/** A mono 32-bit WAV of `h` scaled by `scale` (written whole, into a folder of the server's own). */
function writeWav(file, rate, h, scale) {
  fs.writeFileSync(file, wavBytes(rate, [h.map((v) => v * scale)]));
}

class Correction extends EventEmitter {
  /**
   * tool: the mobu-correct program; filter: the processor's coefficient file; rate: the sample
   * rate; timeout: seconds a run may take; processorLog: a file the processor logs to, read after
   * a write for its switching line (optional).
   */
  constructor({ tool, filter, rate, timeout = 180, processorLog = '', running = () => null, logLines = LOG_LINES, name = 'correct' }) {
    super();
    this.o = { tool, filter, rate, timeout, processorLog, running, logLines };
    this.dir = fs.mkdtempSync(path.join(os.tmpdir(), `mobu-ui-${name}-`));
    this.child = null;
    this.designed = null; // the settings of the design in this.dir
    this.watch = null;
    this.state = { phase: 'idle', message: '', error: '', log: [], settings: null, channels: [], picture: 0, written: '', switched: '',
      backup: fs.existsSync(backupOf(filter)) };
  }

  busy() {
    return BUSY.has(this.state.phase);
  }

  update(change) {
    Object.assign(this.state, change);
    this.emit('change', this.summary());
  }

  summary() {
    return { ...this.state, log: [...this.state.log], defaults: DEFAULTS, choices: { taps: TAPS, smoothing: SMOOTHING } };
  }

  picture() {
    return this.state.picture ? path.join(this.dir, 'design.png') : null;
  }

  /** Designs from the measurement's results; throws an Error with a message for the page. */
  design(request, results) {
    const s = validate(request, this.o.rate);
    if (this.busy()) throw new Error(`the correction is ${this.state.phase}: wait for it`);
    const folder = this.writeFolder(results);
    this.designed = null;
    const picture = path.join(this.dir, 'design.png');
    fs.rmSync(picture, { force: true });
    const channels = results.map((r) => r.channel);
    this.update({ phase: 'designing', message: `Designing the correction of output${channels.length > 1 ? 's' : ''} ${channels.join(', ')}`,
      error: '', log: [], settings: s, channels, picture: 0, switched: '' });
    this.run([`--in=${folder}`, `--out=${path.join(this.dir, 'preview.wav')}`, ...designArguments(s), `--plot=${picture}`], () => {
      this.designed = s;
      this.update({ phase: 'designed', message: 'Designed: check the picture, then write it to the processor', picture: Date.now() });
    });
  }

  /** The measurement folder the tools read, written from the page's responses; throws an Error for the page. */
  writeFolder(results) {
    if (!results.length) throw new Error('measure at least one output first');
    // One response per channel, all at one scale, and the times of flight.
    const folder = path.join(this.dir, 'measurement');
    fs.rmSync(folder, { recursive: true, force: true });
    fs.mkdirSync(folder);
    const peak = Math.max(...results.map((r) => r.h.reduce((m, v) => Math.max(m, Math.abs(v)), 0)));
    if (!(peak > 0)) throw new Error('the measured responses are silent');
    let tof = 'channel,samples,ms\n';
    for (const r of results) {
      writeWav(path.join(folder, `impulse-${r.channel}.wav`), this.o.rate, r.h, 0.5 / peak);
      tof += `${r.channel},${r.tof},${((1000 * r.tof) / this.o.rate).toFixed(3)}\n`;
    }
    fs.writeFileSync(path.join(folder, 'tof.csv'), tof);
    return folder;
  }

  /** Writes the design shown as the processor's coefficient file; throws an Error for the page. */
  apply() {
    if (this.busy()) throw new Error(`the correction is ${this.state.phase}: wait for it`);
    if (!this.designed) throw new Error('design a correction first');
    const logStart = this.logSize();
    this.update({ phase: 'writing', message: `Writing output${this.state.channels.length > 1 ? 's' : ''} ${this.state.channels.join(', ')} into ${this.o.filter}`, error: '', switched: '' });
    // --merge: only the measured outputs' filters change; every other output keeps its own.
    this.run([`--in=${path.join(this.dir, 'measurement')}`, `--out=${this.o.filter}`, '--merge', ...designArguments(this.designed)], () => {
      this.written(`Written output${this.state.channels.length > 1 ? 's' : ''} ${this.state.channels.join(', ')} into ${this.o.filter} (the other outputs kept their filters)`, logStart);
    });
  }

  /** Puts the coefficient file back as it was before the last write; throws an Error for the page. */
  undo() {
    if (this.busy()) throw new Error(`the correction is ${this.state.phase}: wait for it`);
    if (!fs.existsSync(backupOf(this.o.filter))) throw new Error(`there is no earlier coefficient file (${backupOf(this.o.filter)}) to go back to`);
    const logStart = this.logSize();
    this.update({ phase: 'writing', message: `Restoring the coefficient file before the last write`, error: '', switched: '' });
    this.run(['--undo', `--out=${this.o.filter}`], () => {
      this.written(`Restored ${this.o.filter} as it was before the last write (undo again to go back)`, logStart, this.designed ? 'designed' : 'idle');
    });
  }

  /** After a write: says what happened, then whether the processor switched the file in. */
  written(what, logStart, phase = 'written') {
    const running = this.o.running();
    const tail = running === false ? '; not switched in: no processor runs (it reads the file when it starts)'
      : this.o.processorLog ? '; waiting for the processor to switch it in' : '; the processor switches it in when it sees the file';
    this.update({ phase, message: what + tail, written: new Date().toISOString(), backup: fs.existsSync(backupOf(this.o.filter)) });
    this.emit('written');
    if (running !== false) this.awaitSwitch(logStart, what);
  }

  /** Drops the design (a new measurement is coming); a run under way is left to finish. */
  forget() {
    if (this.busy()) return;
    this.designed = null;
    this.update({ phase: 'idle', message: '', error: '', log: [], settings: null, channels: [], picture: 0, written: '', switched: '',
      backup: fs.existsSync(backupOf(this.o.filter)) });
  }

  /** Runs the tool; its lines go to the page as they come, its failure with its last line. */
  run(args, done) {
    const child = spawn(this.o.tool, args, { stdio: ['ignore', 'pipe', 'pipe'] });
    this.child = child;
    let errors = '', timedOut = false;
    const partial = { out: '', err: '' };
    const lines = (chunk, from) => {
      const text = partial[from] + String(chunk);
      if (from === 'err') errors = (errors + String(chunk)).slice(-4096);
      const complete = text.split('\n');
      partial[from] = complete.pop(); // the rest of that line comes with the next chunk
      // The server's own scratch folder means nothing to the user: its files are named plainly.
      const shown = complete.filter((l) => l.trim() && !l.startsWith('picture: ')).map((l) => l.split(this.dir + path.sep).join(''));
      const log = [...this.state.log, ...shown].slice(-this.o.logLines);
      if (complete.length) this.update({ log });
    };
    child.stdout.on('data', (c) => lines(c, 'out'));
    child.stderr.on('data', (c) => lines(c, 'err'));
    const timer = setTimeout(() => {
      timedOut = true;
      child.kill('SIGTERM');
      setTimeout(() => child.kill('SIGKILL'), 5000).unref();
    }, this.o.timeout * 1000);
    const finish = (error) => {
      clearTimeout(timer);
      if (this.child === child) this.child = null;
      if (error === null) done();
      else this.update({ phase: 'error', error });
    };
    child.on('error', (e) => finish(`cannot run ${this.o.tool}: ${e.message}`));
    child.on('close', (code, signal) => {
      if (this.child !== child) return; // 'error' came first
      for (const from of ['out', 'err']) if (partial[from].trim()) lines('\n', from);
      const last = errors.trim().split('\n').pop() || '';
      if (timedOut) finish(`${path.basename(this.o.tool)} took longer than ${this.o.timeout} s and was stopped`);
      else if (code === 0) finish(null);
      else finish(`${path.basename(this.o.tool)} ${signal ? `ended by ${signal}` : `failed (status ${code}: ${EXIT_MEANING[code] || 'see its output'})`}${last ? `: ${last}` : ''}`);
    });
  }

  logSize() {
    try {
      return this.o.processorLog ? fs.statSync(this.o.processorLog).size : 0;
    } catch {
      return 0;
    }
  }

  /** Looks for the processor's switching line in its log for a while after a write. */
  awaitSwitch(from, what) {
    if (!this.o.processorLog) return;
    clearInterval(this.watch);
    const end = Date.now() + SWITCH_WAIT_MS;
    this.watch = setInterval(() => {
      let text = '';
      try {
        const fd = fs.openSync(this.o.processorLog, 'r');
        const size = fs.fstatSync(fd).size;
        const b = Buffer.alloc(Math.max(0, Math.min(size - from, 1 << 20)));
        fs.readSync(fd, b, 0, b.length, from);
        fs.closeSync(fd);
        text = b.toString('utf8');
      } catch { /* not there (yet) */ }
      const line = text.split('\n').find((l) => /switching FIR filter over/.test(l));
      if (line) this.update({ switched: line.trim(), message: `${what}; the processor switched to it` });
      else if (Date.now() > end)
        this.update({ message: `${what}; the processor has not reported switching to it within ${SWITCH_WAIT_MS / 1000} s (see its log)` });
      if (line || Date.now() > end) clearInterval(this.watch);
    }, 250);
  }

  close() {
    clearInterval(this.watch);
    if (this.child) this.child.kill('SIGTERM');
    fs.rmSync(this.dir, { recursive: true, force: true });
  }
}

module.exports = { Correction, validate, DEFAULTS, backupOf };
