// The metering FIFO read on a thread of its own with blocking reads: a record is taken as soon
// as the processor writes it, whatever the server's own thread is doing (sending pages, JSON,
// garbage collection), so the processor rarely finds its last record still unread.  Control
// words shared with the server: [0] paused, [1] stopped, [2] 1 while blocked in the FIFO (the
// server then wakes it to stop: see LevelReader.stop).  Messages: { writer: bool },
// { data: Uint8Array }, { problem: text }.
'use strict';
const fs = require('node:fs');
const { parentPort, workerData } = require('node:worker_threads');

const control = new Int32Array(workerData.control);
const PAUSED = 0, STOPPED = 1, BLOCKED = 2;
/** Runs a call that may block on the FIFO, marked so the server can wake it. */
const blocking = (call) => {
  Atomics.store(control, BLOCKED, 1);
  try {
    return call();
  } finally {
    Atomics.store(control, BLOCKED, 0);
  }
};
const file = workerData.path;
const buffer = Buffer.alloc(workerData.recordSize * 64);
let connected = null, lastProblem = null;

const writer = (on) => {
  if (on !== connected) parentPort.postMessage({ writer: on });
  connected = on;
};
const pause = (ms) => Atomics.wait(control, STOPPED, 0, ms);
const send = (n) => parentPort.postMessage({ data: Uint8Array.from(buffer.subarray(0, n)) });

while (!control[STOPPED]) {
  if (control[PAUSED]) {
    Atomics.wait(control, PAUSED, 1, 1000); // until resumed (or a second passed)
    continue;
  }
  // Non-blocking first: the open never waits for a writer, and one read tells whether there is
  // one (end of file without one; "try again" or data with one).
  let probe;
  try {
    if (!fs.statSync(file).isFIFO()) throw new Error(`${file} is not a FIFO`);
    probe = fs.openSync(file, fs.constants.O_RDONLY | fs.constants.O_NONBLOCK);
  } catch (e) {
    writer(false);
    const text = `metering FIFO ${file}: ${e.message}`;
    if (e.code !== 'ENOENT' && text !== lastProblem) parentPort.postMessage({ problem: text });
    lastProblem = text;
    pause(500);
    continue;
  }
  lastProblem = null;
  let n;
  try {
    n = fs.readSync(probe, buffer, 0, buffer.length, null);
  } catch (e) {
    n = e.code === 'EAGAIN' ? -1 : 0;
  }
  if (n === 0) {
    fs.closeSync(probe);
    writer(false);
    pause(500);
    continue;
  }
  // A writer is there: a blocking descriptor opens at once and waits for each record.
  let fd;
  try {
    fd = blocking(() => fs.openSync(file, fs.constants.O_RDONLY));
  } finally {
    fs.closeSync(probe);
  }
  writer(true);
  if (n > 0) send(n);
  while (!control[STOPPED] && !control[PAUSED]) {
    let got;
    try {
      got = blocking(() => fs.readSync(fd, buffer, 0, buffer.length, null));
    } catch {
      got = 0;
    }
    if (got === 0) break; // the writer went
    send(got);
  }
  fs.closeSync(fd);
  if (!control[PAUSED]) writer(false);
}
