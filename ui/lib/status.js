// The processor's status file (MobuFullDuplexFIR.statusfile): rewritten by the processor about
// four times a second, a new file renamed over the old one.  A file not rewritten for
// STALE_MS is a processor that stopped (or hangs): its figures are not live.
'use strict';
const fs = require('node:fs');

const STALE_MS = 3000; // twelve of the processor's intervals
const MAX_BYTES = 64 * 1024;

/**
 * Reads the status file: { state, ageMs, doc, error }.  state is 'live' (rewritten within
 * STALE_MS and running), 'stopped' (its last document, written as it stopped), 'stale' (not
 * rewritten for STALE_MS), 'missing' or 'unreadable' (with error).  A FIFO or device under the
 * name is refused without being waited on.
 */
function readStatus(file, now = Date.now()) {
  let fd;
  try {
    fd = fs.openSync(file, fs.constants.O_RDONLY | fs.constants.O_NONBLOCK | fs.constants.O_NOFOLLOW);
    const st = fs.fstatSync(fd);
    if (!st.isFile()) return { state: 'unreadable', error: `${file} is not a regular file` };
    if (st.size > MAX_BYTES) return { state: 'unreadable', error: `${file} is larger than ${MAX_BYTES} bytes` };
    const b = Buffer.alloc(st.size);
    const n = fs.readSync(fd, b, 0, b.length, 0);
    let doc;
    try {
      doc = JSON.parse(b.subarray(0, n).toString('utf8'));
    } catch (e) {
      return { state: 'unreadable', error: `${file}: ${e.message}` };
    }
    if (!doc || typeof doc !== 'object') return { state: 'unreadable', error: `${file} holds no status` };
    const ageMs = Math.max(0, now - st.mtimeMs);
    const state = doc.running === false ? 'stopped' : ageMs > STALE_MS ? 'stale' : 'live';
    return { state, ageMs, doc };
  } catch (e) {
    if (e.code === 'ENOENT') return { state: 'missing' };
    return { state: 'unreadable', error: `${file}: ${e.message}` };
  } finally {
    if (fd !== undefined) fs.closeSync(fd);
  }
}

/** What the page shows of a status: the figures only while it is live. */
function summary(file, read) {
  const out = { source: 'status', file, state: read.state, ageMs: read.ageMs ?? null, error: read.error ?? null };
  const d = read.doc;
  if (!d) return out;
  Object.assign(out, { rate: d.rate ?? null, period: d.period ?? null, latencyMs: d.latencyMs ?? null, time: d.time ?? null,
    restarts: d.restarts ?? null, xruns: d.xruns ?? null, files: d.files ?? {} });
  if (read.state === 'live') Object.assign(out, { cpuLoad: d.cpuLoad ?? null, rms: d.rms ?? null, interval: d.interval ?? null });
  return out;
}

module.exports = { readStatus, summary, STALE_MS };
