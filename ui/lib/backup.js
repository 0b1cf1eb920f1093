// A backup of the processor's files as one tar archive (ustar, plain files only): the
// coefficient file with its scale reference, the equaliser file and the output guard file,
// each under its own name.  A restore checks every member before it writes any (known names
// only, a coefficient file of the same rate and channel count, an equaliser and a guard the
// processor accepts), keeps the coefficient file it replaces as its backup (as mobu-correct
// does, so the page's undo goes back), and writes each file whole through writeReplacing.
'use strict';
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const equaliser = require('./equaliser');
const guard = require('./guard');
const { wavInfo, writeReplacing } = require('./files');

const BLOCK = 512;

function header(name, size, mtime) {
  const h = Buffer.alloc(BLOCK);
  h.write(name, 0, 100, 'utf8');
  h.write('0000644\0', 100);
  h.write('0000000\0', 108);
  h.write('0000000\0', 116);
  h.write(`${size.toString(8).padStart(11, '0')}\0`, 124);
  h.write(`${Math.floor(mtime / 1000).toString(8).padStart(11, '0')}\0`, 136);
  h.write('        ', 148); // the checksum counts itself as spaces
  h.write('0', 156);
  h.write('ustar\0', 257);
  h.write('00', 263);
  let sum = 0;
  for (const b of h) sum += b;
  h.write(`${sum.toString(8).padStart(6, '0')}\0 `, 148);
  return h;
}

/** The archive of the members [{ name, data, mtime }]. */
function tar(members) {
  const parts = [];
  for (const m of members) {
    parts.push(header(m.name, m.data.length, m.mtime), m.data, Buffer.alloc((BLOCK - (m.data.length % BLOCK)) % BLOCK));
  }
  parts.push(Buffer.alloc(2 * BLOCK));
  return Buffer.concat(parts);
}

/** The members of an archive; throws on anything but plain files with well-formed headers. */
function untar(b) {
  const members = [];
  for (let at = 0; at + BLOCK <= b.length;) {
    const h = b.subarray(at, at + BLOCK);
    if (h.every((x) => x === 0)) break;
    let sum = 0;
    for (let k = 0; k < BLOCK; ++k) sum += k >= 148 && k < 156 ? 32 : h[k];
    if (parseInt(h.toString('latin1', 148, 156), 8) !== sum) throw new Error('the archive is damaged (a header checksum is wrong)');
    const name = h.toString('utf8', 0, 100).replace(/\0.*$/s, '');
    const type = h.toString('latin1', 156, 157);
    if (type !== '0' && type !== '\0') throw new Error(`${name} in the archive is not a plain file`);
    const size = parseInt(h.toString('latin1', 124, 136), 8);
    if (!Number.isInteger(size) || at + BLOCK + size > b.length) throw new Error(`${name} in the archive is cut short`);
    members.push({ name, data: b.subarray(at + BLOCK, at + BLOCK + size) });
    at += BLOCK + Math.ceil(size / BLOCK) * BLOCK;
  }
  return members;
}

/** The files a backup holds: [{ name in the archive, path, kind }]. */
function files(config) {
  const list = [
    { name: path.basename(config.filter), path: config.filter, kind: 'coefficients' },
    { name: `${path.basename(config.filter)}.scale`, path: `${config.filter}.scale`, kind: 'scale' },
    { name: path.basename(config.paraeqPath), path: config.paraeqPath, kind: 'equaliser' },
    { name: path.basename(guard.pathFor(config)), path: guard.pathFor(config), kind: 'guard' },
  ];
  const names = new Set();
  return list.filter((f) => !names.has(f.name) && names.add(f.name));
}

/** The archive of the files that exist now. */
function create(config) {
  const members = [];
  for (const f of files(config)) {
    try {
      const st = fs.statSync(f.path);
      if (st.isFile()) members.push({ name: f.name, data: fs.readFileSync(f.path), mtime: st.mtimeMs });
    } catch { /* not there: not in the backup */ }
  }
  return tar(members);
}

/** Checks and writes an archive made by create(); returns the names written, or throws saying what is wrong (nothing written). */
function restore(config, archive, rate) {
  const known = new Map(files(config).map((f) => [f.name, f]));
  const members = untar(archive);
  if (!members.length) throw new Error('the archive holds no files');
  const seen = new Set();
  for (const m of members) {
    const f = known.get(m.name);
    if (!f) throw new Error(`${m.name} is not one of this processor's files (${[...known.keys()].join(', ')})`);
    if (seen.has(m.name)) throw new Error(`${m.name} is in the archive twice`);
    seen.add(m.name);
    if (f.kind === 'equaliser' || f.kind === 'guard') {
      let doc;
      try {
        doc = JSON.parse(m.data.toString('utf8'));
      } catch (e) {
        throw new Error(`${m.name} is not valid JSON: ${e.message}`);
      }
      try {
        if (f.kind === 'equaliser') equaliser.validate(doc, rate);
        else guard.validate(doc, rate);
      } catch (e) {
        throw new Error(`${m.name}: ${e.message}`);
      }
    }
  }
  const coefficients = members.find((m) => known.get(m.name).kind === 'coefficients');
  if (coefficients) {
    const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'mobu-ui-restore-'));
    let info;
    try {
      fs.writeFileSync(path.join(scratch, 'check.wav'), coefficients.data.subarray(0, 4096));
      info = wavInfo(path.join(scratch, 'check.wav'));
    } finally {
      fs.rmSync(scratch, { recursive: true, force: true });
    }
    const now = wavInfo(config.filter);
    if (!info || info.rate !== rate) throw new Error(`${coefficients.name} is not a coefficient file at ${rate} Hz`);
    if (now && info.channels !== now.channels) throw new Error(`${coefficients.name} has ${info.channels} channels, the processor's file ${now.channels}`);
  } else if (members.some((m) => known.get(m.name).kind === 'scale')) {
    throw new Error('a scale reference belongs with its coefficient file');
  }
  // The scale reference before its coefficient file (a reader never pairs a new file with an
  // old reference), and the coefficient file replaced kept as its backup.
  const order = { scale: 0, coefficients: 1, equaliser: 2, guard: 3 };
  const written = [];
  if (coefficients && fs.existsSync(config.filter)) {
    for (const suffix of ['.scale', '']) {
      const from = config.filter + suffix;
      if (fs.existsSync(from)) writeReplacing(`${config.filter}.previous${suffix}`, fs.readFileSync(from));
    }
  }
  for (const m of [...members].sort((a, b) => order[known.get(a.name).kind] - order[known.get(b.name).kind])) {
    writeReplacing(known.get(m.name).path, m.data);
    written.push(m.name);
  }
  return written;
}

module.exports = { create, restore, tar, untar };
