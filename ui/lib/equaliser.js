// The equaliser file: an array of peaking sections {type "BPF", Fc, dB, Q}.  It is saved by
// writing a new file beside it and renaming that over it, so the processor's watcher never
// reads half a file.
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { writeReplacing } = require('./files');

const MAX_SECTIONS = 16;
// The headroom: how far above 0 dB the combined response of an input's sections may rise
// (anywhere from 10 Hz to half the sample rate) before the page warns that the outputs can
// clip.  Files above it stay valid; the output guard is what bounds the level.
const HEADROOM_DB = 12;
const LIMITS = { dB: [-24, 24], Q: [0.1, 20] };

/** Checks a list of sections from a request; returns clean copies or throws with the reason. */
function validate(sections, fs_) {
  if (!Array.isArray(sections)) throw new Error('the sections must be an array');
  if (sections.length > MAX_SECTIONS) throw new Error(`at most ${MAX_SECTIONS} sections`);
  const fc = [10, 0.45 * fs_];
  return sections.map((s, i) => {
    if (typeof s !== 'object' || s === null) throw new Error(`section ${i + 1} is not an object`);
    const out = { type: 'BPF' };
    for (const [key, [lo, hi]] of Object.entries({ Fc: fc, ...LIMITS })) {
      const v = s[key];
      if (typeof v !== 'number' || !Number.isFinite(v)) throw new Error(`section ${i + 1}: ${key} must be a number`);
      if (v < lo || v > hi) throw new Error(`section ${i + 1}: ${key} ${v} is outside ${lo} ... ${hi}`);
      out[key] = v;
    }
    return out;
  });
}

/** Reads the file: { sections, error } (a missing file is an empty equaliser). */
function read(file) {
  let text;
  try {
    text = fs.readFileSync(file, 'utf8');
  } catch (e) {
    if (e.code === 'ENOENT') return { sections: [], error: null, exists: false };
    return { sections: [], error: `cannot read ${file}: ${e.message}`, exists: false };
  }
  if (text.trim() === '') return { sections: [], error: null, exists: true };
  try {
    const doc = JSON.parse(text);
    if (!Array.isArray(doc)) throw new Error('not an array');
    const sections = doc.map((s) => ({ type: String(s && s.type), Fc: Number(s && s.Fc), dB: Number(s && s.dB), Q: Number(s && s.Q) }));
    return { sections, error: null, exists: true };
  } catch (e) {
    return { sections: [], error: `${file} is not a valid equaliser file: ${e.message}`, exists: true };
  }
}

function write(file, sections) {
  fs.mkdirSync(path.dirname(file), { recursive: true, mode: 0o700 });
  writeReplacing(file, JSON.stringify(sections, null, 1) + '\n');
}

module.exports = { validate, read, write, MAX_SECTIONS, LIMITS, HEADROOM_DB };
