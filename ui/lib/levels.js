// Reads the processor's metering FIFO: 56-byte records whose layout comes from the level-meter
// add-on.  The processor writes a record only when the previous one was taken, so reading as
// records arrive gives one per period; a FIFO without a writer reads as end of file, which is
// how an absent processor shows.
'use strict';
const fs = require('node:fs');
const net = require('node:net');
const { EventEmitter } = require('node:events');

class LevelReader extends EventEmitter {
  /** layout: the libLevelMeter exports (FIFO_HEADER_CNT, FIFO_OFSET, IN_CHCNT, OUT_CHCNT). */
  constructor(fifoPath, layout) {
    super();
    this.path = fifoPath;
    this.header = layout.FIFO_HEADER_CNT;
    this.offset = layout.FIFO_OFSET;
    this.inputs = layout.IN_CHCNT;
    this.outputs = layout.OUT_CHCNT;
    this.words = this.header + this.inputs + this.outputs;
    this.size = 4 * this.words;
    this.connected = null; // not known until the FIFO was read
    this.pending = Buffer.alloc(0);
    this.retry = null;
    this.socket = null;
    this.stopped = false;
    this.paused = false;
  }

  /**
   * Leaves the records in the FIFO while nobody watches: the reader closes its end, the
   * processor keeps one record waiting (its own descriptor keeps the pipe) and writes again,
   * with the peaks since, once reading resumes.
   */
  pause() {
    this.paused = true;
    clearTimeout(this.retry);
    if (this.socket) this.socket.destroy();
    this.socket = null;
  }

  resume() {
    if (!this.paused) return;
    this.paused = false;
    if (!this.socket && !this.stopped) this.open();
  }

  start() {
    this.stopped = false;
    this.open();
  }

  stop() {
    this.stopped = true;
    clearTimeout(this.retry);
    if (this.socket) this.socket.destroy();
    this.socket = null;
  }

  setConnected(on) {
    if (on === this.connected) return;
    this.connected = on;
    this.emit('writer', on);
  }

  open() {
    if (this.stopped || this.paused) return;
    let fd;
    try {
      const st = fs.statSync(this.path);
      if (!st.isFIFO()) throw new Error(`${this.path} is not a FIFO`);
      // Non-blocking: the open never waits for a writer.
      fd = fs.openSync(this.path, fs.constants.O_RDONLY | fs.constants.O_NONBLOCK);
    } catch (e) {
      this.setConnected(false);
      const text = `metering FIFO ${this.path}: ${e.message}`;
      if (e.code !== 'ENOENT' && text !== this.lastProblem) this.emit('problem', text);
      this.lastProblem = text;
      this.later();
      return;
    }
    this.lastProblem = null;
    // One read tells whether there is a writer: end of file without one, "try again" or data
    // with one.  (A FIFO whose writer never came reports no hang-up to the poll, so the
    // socket below would not see that end of file.)
    const first = Buffer.alloc(this.size);
    let n;
    try {
      n = fs.readSync(fd, first, 0, first.length, null);
    } catch (e) {
      n = e.code === 'EAGAIN' ? -1 : 0;
    }
    if (n === 0) {
      fs.closeSync(fd);
      this.setConnected(false);
      this.later();
      return;
    }
    this.setConnected(true);
    const socket = new net.Socket({ fd, readable: true, writable: false });
    this.socket = socket;
    this.pending = Buffer.alloc(0);
    socket.on('data', (chunk) => this.take(chunk));
    if (n > 0) this.take(first.subarray(0, n));
    socket.on('error', () => {});
    socket.on('close', () => {
      if (this.socket !== socket) return; // closed by pause()
      this.socket = null;
      this.setConnected(false);
      this.later();
    });
  }

  later() {
    clearTimeout(this.retry);
    if (!this.stopped) this.retry = setTimeout(() => this.open(), 500);
  }

  take(chunk) {
    this.setConnected(true);
    let b = this.pending.length ? Buffer.concat([this.pending, chunk]) : chunk;
    while (b.length >= this.size) {
      if (!this.isHeader(b)) {
        // Out of step (a reader that started inside a record): find the next header.
        const at = this.findHeader(b);
        if (at < 0) { b = b.subarray(b.length - (this.size - 1)); break; }
        b = b.subarray(at);
        continue;
      }
      const first = this.header;
      const w = (k) => b.readInt32LE(4 * (this.offset + k));
      const record = {
        inputs: Array.from({ length: this.inputs }, (_, k) => w(first + k)),
        outputs: Array.from({ length: this.outputs }, (_, k) => w(first + this.inputs + k)),
      };
      b = b.subarray(this.size);
      this.emit('record', record);
    }
    this.pending = Buffer.from(b);
  }

  isHeader(b, at = 0) {
    for (let k = 0; k < this.header; ++k) if (b.readInt32LE(at + 4 * (this.offset + k)) !== k) return false;
    return true;
  }

  findHeader(b) {
    for (let at = 4; at + this.size <= b.length; at += 4) if (this.isHeader(b, at)) return at;
    return -1;
  }
}

module.exports = { LevelReader };
