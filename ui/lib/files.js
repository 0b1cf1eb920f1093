// What the page shows about the processor's files: where they are, their size and time, and
// for the coefficient file the layout in its WAV header; and how the server writes a file that
// others read (the equaliser file, the password file).
'use strict';
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');

/** A WAV file's bytes of 32-bit integer samples: columns[c][t] in -1 ... 1, times 2^31, rounded
 * and saturated. */
function wavBytes(rate, columns) {
  const C = columns.length, T = columns[0].length;
  const b = Buffer.alloc(44 + 4 * C * T);
  b.write('RIFF', 0); b.writeUInt32LE(36 + 4 * C * T, 4); b.write('WAVE', 8);
  b.write('fmt ', 12); b.writeUInt32LE(16, 16); b.writeUInt16LE(1, 20); b.writeUInt16LE(C, 22);
  b.writeUInt32LE(rate, 24); b.writeUInt32LE(rate * 4 * C, 28); b.writeUInt16LE(4 * C, 32); b.writeUInt16LE(32, 34);
  b.write('data', 36); b.writeUInt32LE(4 * C * T, 40);
  for (let t = 0; t < T; ++t)
    for (let c = 0; c < C; ++c)
      b.writeInt32LE(Math.max(-2147483648, Math.min(2147483647, Math.round(columns[c][t] * 2147483648))), 44 + 4 * (t * C + c));
  return b;
}

/**
 * Writes data as `file` whole: into a new file of a name nobody can foresee beside it, created
 * exclusively (so a link or anything else already there is never written through), then
 * renamed over `file`.  A reader sees the old file or the new one, never a part.  Throws an
 * Error naming the file when it can't.
 */
function writeReplacing(file, data, mode = 0o644) {
  const tmp = path.join(path.dirname(file), `.${path.basename(file)}.${process.pid}.${crypto.randomBytes(6).toString('hex')}`);
  let fd;
  try {
    fd = fs.openSync(tmp, fs.constants.O_WRONLY | fs.constants.O_CREAT | fs.constants.O_EXCL | fs.constants.O_NOFOLLOW, mode);
    fs.writeSync(fd, data);
    fs.fsyncSync(fd);
    fs.closeSync(fd);
    fd = undefined;
    fs.renameSync(tmp, file);
  } catch (e) {
    if (fd !== undefined) fs.closeSync(fd);
    fs.rmSync(tmp, { force: true });
    throw new Error(`can't write ${file}: ${e.message}`);
  }
}

/** Channels, rate, bits and frames from a WAV header, or null when it is not one. */
function wavInfo(file) {
  let fd;
  try {
    fd = fs.openSync(file, 'r');
    const b = Buffer.alloc(4096);
    const n = fs.readSync(fd, b, 0, b.length, 0);
    if (n < 12 || b.toString('latin1', 0, 4) !== 'RIFF' || b.toString('latin1', 8, 12) !== 'WAVE') return null;
    let at = 12, fmt = null;
    while (at + 8 <= n) {
      const id = b.toString('latin1', at, at + 4), size = b.readUInt32LE(at + 4);
      if (id === 'fmt ' && at + 24 <= n)
        fmt = { channels: b.readUInt16LE(at + 10), rate: b.readUInt32LE(at + 12), bits: b.readUInt16LE(at + 22) };
      if (id === 'data' && fmt) return { ...fmt, frames: Math.floor(size / (fmt.channels * fmt.bits / 8)) };
      at += 8 + size + (size & 1);
    }
    return null;
  } catch {
    return null;
  } finally {
    if (fd !== undefined) fs.closeSync(fd);
  }
}

function describe(file, wav = false) {
  try {
    const st = fs.statSync(file);
    return { path: file, exists: true, size: st.size, modified: st.mtime.toISOString(), wav: wav ? wavInfo(file) : undefined };
  } catch (e) {
    return { path: file, exists: false, error: e.code === 'ENOENT' ? 'missing' : e.message };
  }
}

module.exports = { describe, wavInfo, wavBytes, writeReplacing };
