// The output guard file (~/.mobu/guard.json), read for display only: which outputs the processor
// guards with a protective high-pass and/or low-pass (Butterworth, frequency in Hz and order)
// and a level ceiling in dBFS.  The processor applies it; a file it would refuse is shown
// as refused with the reason, never as guarding.
//
//   { "outputs": [ { "output": 6, "highpass": { "frequency": 1000, "order": 4 }, "maxLevel": -12 } ] }
'use strict';
const fs = require('node:fs');
const path = require('node:path');

const OUTPUTS = 8;
const ENTRY_KEYS = ['output', 'highpass', 'lowpass', 'maxLevel'];
const FILTER_KEYS = ['frequency', 'order'];

/** The processor's guard file: the configuration's `guard` key (an absolute path, or a name in
 * ~/.mobu), else guard.json in the per-user folder ~/.mobu, beside the equaliser file. */
function pathFor(config) {
  const home = path.dirname(config.paraeqPath);
  if (config.guard === undefined) return path.join(home, 'guard.json');
  return path.isAbsolute(config.guard) ? config.guard : path.join(home, config.guard);
}

function unknownKeys(object, allowed, where) {
  for (const key of Object.keys(object)) if (!allowed.includes(key)) throw new Error(`${where}: unknown key "${key}"`);
}

function filter(value, where) {
  if (typeof value !== 'object' || value === null || Array.isArray(value)) throw new Error(`${where} must be an object`);
  unknownKeys(value, FILTER_KEYS, where);
  const { frequency, order } = value;
  if (typeof frequency !== 'number' || !Number.isFinite(frequency) || frequency <= 0)
    throw new Error(`${where}.frequency must be a number of Hz above 0`);
  if (!Number.isInteger(order) || order < 1 || order > 8) throw new Error(`${where}.order must be a whole number 1 ... 8`);
  return { frequency, order };
}

/** Checks a parsed guard document (for a stream at `rate` Hz); returns its outputs sorted, or throws naming the key. */
function validate(doc, rate) {
  if (typeof doc !== 'object' || doc === null || Array.isArray(doc)) throw new Error('the file must hold an object');
  unknownKeys(doc, ['outputs'], 'the file');
  if (!Array.isArray(doc.outputs)) throw new Error('"outputs" must be an array');
  const seen = new Set();
  const outputs = doc.outputs.map((e, i) => {
    const where = `outputs[${i}]`;
    if (typeof e !== 'object' || e === null || Array.isArray(e)) throw new Error(`${where} must be an object`);
    unknownKeys(e, ENTRY_KEYS, where);
    if (!Number.isInteger(e.output) || e.output < 0 || e.output >= OUTPUTS) throw new Error(`${where}.output must be 0 ... ${OUTPUTS - 1}`);
    if (seen.has(e.output)) throw new Error(`${where}: output ${e.output} is guarded twice`);
    seen.add(e.output);
    const out = { output: e.output };
    if (e.highpass !== undefined) out.highpass = filter(e.highpass, `${where}.highpass`);
    if (e.lowpass !== undefined) out.lowpass = filter(e.lowpass, `${where}.lowpass`);
    if (e.maxLevel !== undefined) {
      if (typeof e.maxLevel !== 'number' || !Number.isFinite(e.maxLevel) || e.maxLevel > 0 || e.maxLevel < -200)
        throw new Error(`${where}.maxLevel must be a number of dBFS at most 0 (and at least -200)`);
      out.maxLevel = e.maxLevel;
    }
    if (out.highpass && out.lowpass && !(out.highpass.frequency < out.lowpass.frequency))
      throw new Error(`${where}: the high-pass must lie below the low-pass`);
    for (const key of ['highpass', 'lowpass'])
      if (out[key] && !(out[key].frequency < rate / 2)) throw new Error(`${where}.${key}.frequency must be below half the rate (${rate / 2} Hz)`);
    if (!out.highpass && !out.lowpass && out.maxLevel === undefined) throw new Error(`${where}: names no "highpass", "lowpass" or "maxLevel"`);
    return out;
  });
  return outputs.sort((a, b) => a.output - b.output);
}

/** { path, state: 'none' | 'guarding' | 'refused', outputs, error }. */
function read(file, rate) {
  let text;
  try {
    text = fs.readFileSync(file, 'utf8');
  } catch (e) {
    if (e.code === 'ENOENT') return { path: file, state: 'none', outputs: [], error: '' };
    return { path: file, state: 'refused', outputs: [], error: `cannot read it: ${e.message}` };
  }
  try {
    let doc;
    try {
      doc = JSON.parse(text);
    } catch (e) {
      throw new Error(`not valid JSON (${e.message})`);
    }
    return { path: file, state: 'guarding', outputs: validate(doc, rate), error: '' };
  } catch (e) {
    return { path: file, state: 'refused', outputs: [], error: e.message };
  }
}

module.exports = { pathFor, read, validate };
