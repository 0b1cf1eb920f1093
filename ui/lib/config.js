// The processor's configuration file (ALSA configuration syntax): the four keys of the
// MobuFullDuplexFIR compound, read the way alsa-lib reads them for the processor.
'use strict';
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const KEYS = ['filter', 'paraeq', 'mixerDevice', 'fifopath'];

/** Splits ALSA configuration text into words, strings and the characters { } = ; , */
function tokens(text) {
  const out = [];
  let i = 0;
  while (i < text.length) {
    const c = text[i];
    if (/\s/.test(c)) { ++i; continue; }
    if (c === '#') { while (i < text.length && text[i] !== '\n') ++i; continue; }
    if ('{}=;,[]'.includes(c)) { out.push({ punct: c }); ++i; continue; }
    if (c === '"' || c === "'") {
      let s = '';
      ++i;
      while (i < text.length && text[i] !== c) {
        if (text[i] === '\\' && i + 1 < text.length) ++i;
        s += text[i++];
      }
      if (i >= text.length) throw new Error('unterminated string');
      ++i;
      out.push({ word: s });
      continue;
    }
    let s = '';
    while (i < text.length && !/[\s#{}=;,"'[\]]/.test(text[i])) s += text[i++];
    out.push({ word: s });
  }
  return out;
}

/** The leaves of the file as a map from dotted key to text (nested compounds and dotted ids). */
function leaves(text) {
  const t = tokens(text);
  const result = new Map();
  let i = 0;
  function block(prefix, closing) {
    while (i < t.length) {
      const tok = t[i];
      if (tok.punct === closing) { ++i; return; }
      if (tok.punct) { ++i; continue; } // separators
      const key = prefix + tok.word;
      ++i;
      if (t[i] && t[i].punct === '=') ++i;
      const v = t[i];
      if (!v) throw new Error(`no value for ${key}`);
      if (v.punct === '{') { ++i; block(key + '.', '}'); continue; }
      if (v.punct === '[') { ++i; block(key + '.', ']'); continue; }
      if (v.punct) throw new Error(`no value for ${key}`);
      result.set(key, v.word);
      ++i;
    }
    if (closing) throw new Error('unbalanced braces');
  }
  block('', null);
  return result;
}

/** The home directory from the password database, as the processor finds ~/.mobu. */
function homeDir() {
  try {
    return os.userInfo().homedir;
  } catch {
    return os.homedir();
  }
}

/**
 * Reads the processor's configuration: { file, filter, paraeq, paraeqPath, mixerDevice,
 * fifopath } with paraeqPath the equaliser file in ~/.mobu.  Throws an Error naming the file
 * and the missing key.
 */
function readProcessorConfig(file) {
  let text;
  try {
    text = fs.readFileSync(file, 'utf8');
  } catch (e) {
    throw new Error(`cannot read the processor configuration ${file}: ${e.message}`);
  }
  let map;
  try {
    map = leaves(text);
  } catch (e) {
    throw new Error(`cannot parse the processor configuration ${file}: ${e.message}`);
  }
  const config = { file };
  for (const k of KEYS) {
    const v = map.get(`MobuFullDuplexFIR.${k}`);
    if (v === undefined) throw new Error(`the key MobuFullDuplexFIR.${k} is missing in ${file}`);
    config[k] = v;
  }
  config.paraeqPath = path.join(homeDir(), '.mobu', config.paraeq);
  const guardFile = map.get('MobuFullDuplexFIR.guard'); // optional: the output guard file
  if (guardFile !== undefined) config.guard = guardFile;
  const statusFile = map.get('MobuFullDuplexFIR.statusfile'); // optional: the processor's status file
  if (statusFile !== undefined) config.statusfile = statusFile;
  return config;
}

module.exports = { readProcessorConfig, leaves };
