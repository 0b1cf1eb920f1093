// Crossovers for the page: the drivers measured alone (the last measurement, written as a
// measurement folder), the filters designed from them by mobu-crossover with a loudspeaker
// description from the per-user folder, its table and picture shown, and on confirmation the same
// design written by the tool: the coefficient file merged (the outputs not described keep their
// filters) and the output guard it derives from the description's protection.  The page sends only
// settings and the description's name, never guard entries, so it cannot loosen the guard.
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { Correction } = require('./correct');

const TAPS = [4096, 8192, 16384, 32768, 65536];
const SMOOTHING = [3, 6, 12, 24];
const DEFAULTS = { speakers: 'loudspeakers.json', taps: 16384, phase: 'linear', maxBoost: 6, margin: 1, smoothing: 6 };

/** The loudspeaker descriptions offered: the JSON files in `home` whose name starts with "loudspeaker". */
function descriptions(home) {
  try {
    return fs.readdirSync(home).filter((n) => /^loudspeaker.*\.json$/.test(n)).sort();
  } catch {
    return [];
  }
}

/**
 * A description's real path: a name in `home` or a path, which must be an existing .json file
 * inside `home` once links are followed; throws an Error saying why not.
 */
function descriptionPath(home, name) {
  if (typeof name !== 'string' || !name || name.includes('\0')) throw new Error('speakers must name a description file');
  const given = path.isAbsolute(name) ? name : path.join(home, name);
  if (!given.endsWith('.json')) throw new Error('speakers must be a .json file');
  let real, realHome;
  try {
    realHome = fs.realpathSync(home);
    real = fs.realpathSync(given);
  } catch {
    throw new Error(`no loudspeaker description ${given}`);
  }
  if (path.dirname(path.relative(realHome, real)) !== '.' || !fs.statSync(real).isFile())
    throw new Error(`${given} is outside the allowed folder ${home}: the descriptions are read from there only`);
  return real;
}

/** The settings of a request, each checked and defaulted; throws an Error naming the one that is wrong. */
function validate(request, home) {
  const s = { ...DEFAULTS };
  if (typeof request !== 'object' || request === null || Array.isArray(request)) throw new Error('the settings must be an object');
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
  if (request.speakers !== undefined) s.speakers = request.speakers;
  s.file = descriptionPath(home, s.speakers);
  oneOf('taps', TAPS);
  oneOf('phase', ['linear', 'minimum']);
  number('maxBoost', 0, 24);
  number('margin', 0, 3);
  oneOf('smoothing', SMOOTHING);
  return s;
}

function designArguments(s) {
  return [`--speakers=${s.file}`, `--taps=${s.taps}`, `--phase=${s.phase}`, `--max-boost=${s.maxBoost}`, `--margin=${s.margin}`,
    `--smoothing=1/${s.smoothing}`];
}

class Crossover extends Correction {
  /** As Correction's, plus home: the per-user folder of the descriptions; guard: the guard file. */
  constructor(o) {
    super({ ...o, logLines: 40, name: 'crossover' });
    this.home = o.home;
    this.guard = o.guard;
  }

  summary() {
    return { ...super.summary(), defaults: DEFAULTS, choices: { taps: TAPS, smoothing: SMOOTHING, speakers: descriptions(this.home) },
      home: this.home, guard: this.guard };
  }

  /** Designs into the server's own folder (filters, guard and picture), from the measurement's results. */
  design(request, results) {
    const s = validate(request, this.home);
    if (this.busy()) throw new Error(`the crossover is ${this.state.phase}: wait for it`);
    const folder = this.writeFolder(results);
    this.designed = null;
    const picture = path.join(this.dir, 'design.png');
    fs.rmSync(picture, { force: true });
    const channels = results.map((r) => r.channel);
    this.update({ phase: 'designing', message: `Designing the crossovers of ${path.basename(s.file)} from outputs ${channels.join(', ')}`,
      error: '', log: [], settings: s, channels, picture: 0, switched: '' });
    this.run([`--in=${folder}`, `--out=${path.join(this.dir, 'preview.wav')}`, `--guard=${path.join(this.dir, 'preview-guard.json')}`,
      ...designArguments(s), `--plot=${picture}`], () => {
      this.designed = s;
      this.update({ phase: 'designed', message: 'Designed: check the table and the picture, then write it to the processor', picture: Date.now() });
    });
  }

  /** Writes the design shown: the coefficient file merged, and the guard; throws an Error for the page. */
  apply() {
    if (this.busy()) throw new Error(`the crossover is ${this.state.phase}: wait for it`);
    if (!this.designed) throw new Error('design the crossovers first');
    const logStart = this.logSize();
    this.update({ phase: 'writing', message: `Writing the crossovers into ${this.o.filter} and ${this.guard}`, error: '', log: [], switched: '' });
    this.run([`--in=${path.join(this.dir, 'measurement')}`, `--out=${this.o.filter}`, '--merge', `--guard=${this.guard}`,
      ...designArguments(this.designed)], () => {
      this.written(`Written the crossovers of ${path.basename(this.designed.file)} into ${this.o.filter} (the outputs not described kept their filters) and the guard ${this.guard}`, logStart);
    });
  }
}

module.exports = { Crossover, validate, descriptionPath, DEFAULTS };
