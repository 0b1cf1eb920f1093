// Measurements for the page: checks the request, runs the recorder and the identification on
// the measurement worker and keeps the state and the impulse responses of the last run.
'use strict';
const path = require('node:path');
const { EventEmitter } = require('node:events');
const { Worker } = require('node:worker_threads');

const BUSY = new Set(['starting', 'measuring', 'identifying', 'stopping']);
const TAPS = [1024, 2048, 4096, 8192];

class Measurement extends EventEmitter {
  constructor({ addons, playback, capture, statusFile, rate }) {
    super();
    this.options = { addons, playback, capture, statusFile, rate };
    this.worker = null;
    this.state = { phase: 'idle', message: '', error: '', progress: 0, progressMax: 0, channels: [] };
    this.results = [];
  }

  busy() {
    return BUSY.has(this.state.phase);
  }

  update(change) {
    Object.assign(this.state, change);
    this.emit('change', this.summary());
  }

  summary() {
    return { ...this.state, results: this.results.map((r) => ({ channel: r.channel, tof: r.tof, peak: r.peak, length: r.h.length })) };
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
    this.update({ phase: 'starting', message: 'Starting', error: '', progress: 0, progressMax: 0, channels: sorted });
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
