// Reads the processor's metering FIFO: 56-byte records whose layout comes from the level-meter
// add-on.  The processor writes a record only when the previous one was taken, so reading as
// records arrive gives one per period; a FIFO without a writer reads as end of file, which is
// how an absent processor shows.  The reads are made on a thread of their own (levels-worker.js).
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { EventEmitter } = require('node:events');
const { Worker } = require('node:worker_threads');

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
    this.control = new Int32Array(new SharedArrayBuffer(12)); // [paused, stopped, blocked], shared with the reader
    this.worker = null;
  }

  /**
   * Leaves the records in the FIFO while nobody watches: the reader closes its end (after the
   * record it waits for), the processor keeps one record waiting (its own descriptor keeps the
   * pipe) and writes again, with the peaks since, once reading resumes.
   */
  pause() {
    Atomics.store(this.control, 0, 1);
  }

  resume() {
    Atomics.store(this.control, 0, 0);
    Atomics.notify(this.control, 0);
  }

  start() {
    Atomics.store(this.control, 1, 0);
    const w = new Worker(path.join(__dirname, 'levels-worker.js'), {
      workerData: { path: this.path, recordSize: this.size, control: this.control.buffer },
    });
    w.on('message', (m) => {
      if (m.data) this.take(Buffer.from(m.data.buffer, m.data.byteOffset, m.data.byteLength));
      else if (m.writer !== undefined) {
        this.pending = Buffer.alloc(0);
        this.setConnected(m.writer);
      } else if (m.problem) this.emit('problem', m.problem);
    });
    w.on('error', (e) => this.emit('problem', `the metering reader failed: ${e.message}`));
    w.unref(); // a reader blocked on the FIFO never keeps the server from ending
    this.worker = w;
    if (!this.exitHook) {
      this.exitHook = () => this.stop();
      process.on('exit', this.exitHook); // however the process ends (an uncaught error too)
    }
  }

  /**
   * Ends the reader.  A thread blocked in a read of the FIFO would keep the process from
   * exiting, so one that is blocked gets a record of zeros to return with (it ends without
   * passing it on; should it have gone already, the next reader skips the zeros as it skips any
   * bytes out of step).  Safe to call on the way out of the process ('exit').
   */
  stop() {
    Atomics.store(this.control, 1, 1);
    Atomics.notify(this.control, 0);
    Atomics.notify(this.control, 1);
    if (this.worker && Atomics.load(this.control, 2) === 1) {
      try {
        const fd = fs.openSync(this.path, fs.constants.O_WRONLY | fs.constants.O_NONBLOCK);
        try {
          fs.writeSync(fd, Buffer.alloc(this.size));
        } finally {
          fs.closeSync(fd);
        }
      } catch { /* no reader blocked after all */ }
    }
    if (this.worker) this.worker.terminate();
    this.worker = null;
  }

  setConnected(on) {
    if (on === this.connected) return;
    this.connected = on;
    this.emit('writer', on);
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
