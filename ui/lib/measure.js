// Measurements for the page: checks the request, runs the recorder and the identification on
// the measurement worker and keeps the state and the impulse responses of the last run.  Each
// completed run is kept on disk (one JSON file per run in `store`, the newest HISTORY of them),
// so a restarted server shows the last run again and a person can pick an earlier one.
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { writeReplacing } = require('./files');
const { EventEmitter } = require('node:events');
const { Worker } = require('node:worker_threads');

const BUSY = new Set(['starting', 'measuring', 'identifying', 'stopping']);
const TAPS = [1024, 2048, 4096, 8192];
const HISTORY = 20;
const RUN_NAME = /^run-(\d{8}T\d{6}(?:\.\d{3})?Z)\.json$/;

class Measurement extends EventEmitter {
  constructor({ addons, playback, capture, statusFile, rate, store = '' }) {
    super();
    this.options = { addons, playback, capture, statusFile, rate };
    this.store = store;
    this.worker = null;
    this.state = { phase: 'idle', message: '', error: '', progress: 0, progressMax: 0, channels: [], taps: 4096, run: '', date: '' };
    this.results = [];
    this.runs = this.history();
    const newest = this.runs[0];
    if (newest) {
      try {
        this.load(newest.id);
      } catch (e) {
        this.state.error = e.message;
      }
    }
  }

  /** The runs kept on disk, newest first: { id, date, channels, taps, rate }. */
  history() {
    if (!this.store) return [];
    let names = [];
    try {
      names = fs.readdirSync(this.store).filter((n) => RUN_NAME.test(n)).sort().reverse();
    } catch {
      return [];
    }
    const out = [];
    for (const name of names) {
      try {
        const doc = JSON.parse(fs.readFileSync(path.join(this.store, name), 'utf8'));
        out.push({ id: name, date: doc.date, channels: doc.channels, taps: doc.taps, rate: doc.rate });
      } catch { /* a file that is not a run: left out */ }
    }
    return out;
  }

  /** A kept run (by its id from history()): { date, channels, taps, rate, results }; throws an Error for the page. */
  run(id) {
    if (typeof id !== 'string' || !RUN_NAME.test(id)) throw new Error('no such measurement');
    let doc;
    try {
      doc = JSON.parse(fs.readFileSync(path.join(this.store, id), 'utf8'));
    } catch (e) {
      throw new Error(`cannot read the measurement ${id}: ${e.message}`);
    }
    if (!Array.isArray(doc.results) || doc.rate !== this.options.rate) throw new Error(`the measurement ${id} does not fit this processor's rate`);
    return doc;
  }

  /** Shows a kept run (by its id from history()); throws an Error for the page. */
  load(id) {
    if (this.busy()) throw new Error('a measurement is running');
    const doc = this.run(id);
    this.results = doc.results.map((r) => ({ channel: r.channel, h: r.h, tof: r.tof, peak: r.peak }));
    this.update({ phase: 'done', message: `Measurement of ${new Date(doc.date).toLocaleString('en-GB')}`, error: '', progress: doc.channels.length,
      progressMax: doc.channels.length, channels: doc.channels, taps: doc.taps, run: id, date: doc.date });
  }

  /** Writes the finished run into the store and drops the oldest beyond HISTORY. */
  keep() {
    if (!this.store) return;
    const date = new Date().toISOString();
    const id = `run-${date.replace(/[-:]/g, '')}.json`;
    const doc = { date, channels: this.state.channels, taps: this.state.taps, rate: this.options.rate, results: this.results };
    try {
      fs.mkdirSync(this.store, { recursive: true, mode: 0o700 });
      writeReplacing(path.join(this.store, id), JSON.stringify(doc));
      this.state.run = id;
      this.state.date = date;
      for (const old of this.history().slice(HISTORY)) fs.rmSync(path.join(this.store, old.id), { force: true });
      this.runs = this.history();
    } catch (e) {
      this.state.error = `the measurement is shown but not kept: ${e.message}`;
    }
  }

  busy() {
    return BUSY.has(this.state.phase);
  }

  update(change) {
    Object.assign(this.state, change);
    this.emit('change', this.summary());
  }

  summary() {
    return { ...this.state, results: this.results.map((r) => ({ channel: r.channel, tof: r.tof, peak: r.peak, length: r.h.length })),
      history: this.runs.map(({ id, date, channels, taps }) => ({ id, date, channels, taps })) };
  }

  spawn() {
    const w = new Worker(path.join(__dirname, 'measure-worker.js'), { workerData: this.options });
    w.on('message', (msg) => this.message(msg));
    w.on('error', (e) => this.update({ phase: 'error', error: `the measurement worker failed: ${e.message}` }));
    w.on('exit', () => {
      if (this.worker === w) this.worker = null;
      if (this.busy()) this.update({ phase: 'error', error: 'the measurement worker ended' });
    });
    this.worker = w;
  }

  message(msg) {
    switch (msg.type) {
      case 'status':
        this.update({ phase: msg.phase, message: msg.message, error: msg.error || '', progress: msg.progress, progressMax: msg.progressMax });
        break;
      case 'result':
        this.results.push({ channel: msg.channel, h: Array.from(msg.h), tof: msg.tof, peak: msg.peak });
        this.emit('change', this.summary());
        break;
      case 'done':
        this.keep();
        this.update({ phase: 'done', message: 'Measurement done', progress: this.state.channels.length, progressMax: this.state.channels.length });
        break;
      case 'stopped':
        this.update({ phase: 'stopped', message: 'Stopped' });
        break;
      case 'error':
        this.update({ phase: 'error', error: msg.message });
        break;
      default:
    }
  }

  /** Starts a measurement of the channels; throws an Error with a message for the page. */
  start(request) {
    const channels = request && request.channels;
    const taps = request && request.taps !== undefined ? request.taps : 4096;
    if (!Array.isArray(channels) || channels.length < 1 || channels.length > 8)
      throw new Error('choose one to eight channels');
    if (!channels.every((c) => Number.isInteger(c) && c >= 0 && c < 8) || new Set(channels).size !== channels.length)
      throw new Error('the channels must be different numbers 0 ... 7');
    if (!TAPS.includes(taps)) throw new Error(`the response length must be one of ${TAPS.join(', ')}`);
    if (this.busy()) throw new Error('a measurement is already running');
    if (!this.worker) this.spawn();
    this.results = [];
    const sorted = [...channels].sort((a, b) => a - b);
    this.update({ phase: 'starting', message: 'Starting', error: '', progress: 0, progressMax: 0, channels: sorted, taps, run: '', date: '' });
    this.worker.postMessage({ cmd: 'start', channels: sorted, taps });
  }

  stop() {
    if (!this.busy()) throw new Error('no measurement is running');
    this.worker.postMessage({ cmd: 'stop' });
    this.update({ phase: 'stopping', message: 'Stopping' });
  }

  close() {
    if (this.worker) this.worker.terminate();
  }
}

module.exports = { Measurement };
