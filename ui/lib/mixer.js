// The per-output gain, mute and invert controls, through alsa-utils' amixer: the controls are
// read and written by name with arguments checked here and passed without a shell, and
// `amixer events` tells when any process (the page, amixer elsewhere) changed them.
'use strict';
const { execFile, spawn } = require('node:child_process');
const { EventEmitter } = require('node:events');

const CHANNELS = 8;
const TIMEOUT_MS = 5000;
const POLL_MS = 10000; // a backstop: changes come as events

function run(args) {
  return new Promise((resolve, reject) => {
    execFile('amixer', args, { timeout: TIMEOUT_MS, maxBuffer: 1 << 20 }, (err, stdout, stderr) => {
      if (err) {
        const text = (stderr || err.message).trim().split('\n').pop();
        reject(new Error(`amixer ${args.join(' ')}: ${text}`));
      } else resolve(stdout);
    });
  });
}

/** Parses `amixer scontents` into a map from control name to { db, on }. */
function parseContents(text) {
  const controls = new Map();
  let current = null;
  for (const line of text.split('\n')) {
    const head = /^Simple mixer control '(.*)',(\d+)$/.exec(line);
    if (head) {
      current = { db: null, on: null };
      if (head[2] === '0') controls.set(head[1], current);
      continue;
    }
    if (!current) continue;
    // The first channel's value line: "Mono: 24 [50%] [0.00dB]" or "Mono: Playback [on]".
    const value = /^\s+(?:Mono|Front Left):\s*(.*)$/.exec(line);
    if (!value || (current.db !== null || current.on !== null)) continue;
    const db = /\[(-?\d+(?:\.\d+)?)dB\]/.exec(value[1]);
    if (db) current.db = Number(db[1]);
    const sw = /\[(on|off)\]/.exec(value[1]);
    if (sw) current.on = sw[1] === 'on';
  }
  return controls;
}

/** Parses the dB range of `amixer cget` (dBscale or dBminmax forms): { min, max, step } in dB, or null. */
function parseScale(text) {
  const limits = /min=(-?\d+),max=(-?\d+)/.exec(text);
  if (!limits) return null;
  const count = Number(limits[2]) - Number(limits[1]);
  const scale = /dBscale-min=(-?\d+(?:\.\d+)?)dB,step=(\d+(?:\.\d+)?)dB/.exec(text);
  if (scale) {
    const min = Number(scale[1]), step = Number(scale[2]);
    return { min, step, max: min + step * count };
  }
  const minmax = /dBminmax-min=(-?\d+(?:\.\d+)?)dB,max=(-?\d+(?:\.\d+)?)dB/.exec(text);
  if (minmax && count > 0) {
    const min = Number(minmax[1]), max = Number(minmax[2]);
    return { min, max, step: (max - min) / count };
  }
  return null;
}

class Mixer extends EventEmitter {
  constructor(device) {
    super();
    this.device = device;
    this.channels = Array.from({ length: CHANNELS }, () => ({ db: null, mute: null, invert: null, scale: null }));
    this.watcher = null;
    this.stopped = false;
    this.refreshing = null;
    this.again = false;
    this.poll = null;
    this.error = null;
  }

  async start() {
    await Promise.all(this.channels.map(async (ch, c) => {
      try {
        ch.scale = parseScale(await run(['-D', this.device, 'cget', `name=Gain ${c} Volume`]));
      } catch {
        ch.scale = null; // a card without the raw control name: the range is checked by amixer
      }
    }));
    await this.refresh();
    this.watch(true);
    this.polling(POLL_MS);
  }

  /** Reads the controls every `ms` as well, in case an event was missed. */
  polling(ms) {
    clearInterval(this.poll);
    this.poll = setInterval(() => this.refresh(), ms);
  }

  stop() {
    this.stopped = true;
    clearInterval(this.poll);
    if (this.watcher) this.watcher.kill();
  }

  /**
   * Follows `amixer events`.  Its output to a pipe is block-buffered, so each event would
   * wait for kilobytes of others: it runs under `stdbuf -oL` (coreutils), line by line.
   * Without stdbuf the controls are read every second instead.
   */
  watch(lineBuffered) {
    if (this.stopped) return;
    const args = ['-D', this.device, 'events'];
    const w = lineBuffered ? spawn('stdbuf', ['-oL', 'amixer', ...args], { stdio: ['ignore', 'pipe', 'ignore'] })
      : spawn('amixer', args, { stdio: ['ignore', 'pipe', 'ignore'] });
    this.watcher = w;
    let tail = '';
    w.stdout.on('data', (chunk) => {
      const lines = (tail + chunk).split('\n');
      tail = lines.pop();
      if (lines.some((l) => /^event value: .*name='Gain \d/.test(l))) this.refresh();
    });
    let failed = false;
    w.on('error', (e) => {
      failed = true;
      if (lineBuffered && e.code === 'ENOENT') {
        this.polling(1000);
        this.watch(true);
      }
    });
    w.on('exit', () => {
      if (this.watcher === w) this.watcher = null;
      if (!this.stopped && !failed) setTimeout(() => this.watch(lineBuffered), 2000);
    });
  }

  /** Reads every control again; concurrent calls share one read and one more after it. */
  refresh() {
    if (this.refreshing) {
      this.again = true;
      return this.refreshing;
    }
    this.refreshing = (async () => {
      try {
        do {
          this.again = false;
          const controls = parseContents(await run(['-D', this.device, 'scontents']));
          this.channels.forEach((ch, c) => {
            const v = controls.get(`Gain ${c}`), m = controls.get(`Gain ${c} Mute`), i = controls.get(`Gain ${c} Invert`);
            ch.db = v ? v.db : null;
            ch.mute = m ? m.on : null;
            ch.invert = i ? i.on : null;
          });
          if (this.error) {
            this.error = null;
          }
          this.emit('change', this.state());
        } while (this.again && !this.stopped);
      } catch (e) {
        if (this.error !== e.message) {
          this.error = e.message;
          this.emit('problem', `mixer ${this.device}: ${e.message}`);
        }
      } finally {
        this.refreshing = null;
      }
    })();
    return this.refreshing;
  }

  state() {
    return {
      device: this.device,
      error: this.error,
      channels: this.channels.map((ch) => ({ db: ch.db, mute: ch.mute, invert: ch.invert, scale: ch.scale })),
    };
  }

  /**
   * Sets what the request names for output `channel`: db (a number in the control's range),
   * mute and invert (booleans).  Throws an Error with a message for the page.
   */
  async set(request) {
    const c = request.channel;
    if (!Number.isInteger(c) || c < 0 || c >= CHANNELS) throw new Error(`no output channel ${JSON.stringify(c)}`);
    const ch = this.channels[c];
    const steps = [];
    if (request.db !== undefined) {
      const db = request.db;
      if (typeof db !== 'number' || !Number.isFinite(db)) throw new Error('the gain must be a number of dB');
      const s = ch.scale;
      if (s && (db < s.min - 1e-9 || db > s.max + 1e-9)) throw new Error(`Gain ${c}: ${db} dB is outside ${s.min} ... ${s.max} dB`);
      if (!s && Math.abs(db) > 200) throw new Error(`Gain ${c}: ${db} dB is out of range`);
      steps.push([`Gain ${c}`, `${db.toFixed(2)}dB`]);
    }
    for (const [key, name] of [['mute', 'Mute'], ['invert', 'Invert']]) {
      if (request[key] === undefined) continue;
      if (typeof request[key] !== 'boolean') throw new Error(`${key} must be true or false`);
      steps.push([`Gain ${c} ${name}`, request[key] ? 'on' : 'off']);
    }
    if (!steps.length) throw new Error('nothing to set: give db, mute or invert');
    try {
      for (const [control, value] of steps) await run(['-q', '-D', this.device, '--', 'sset', control, value]);
    } finally {
      await this.refresh();
    }
    return this.state();
  }
}

module.exports = { Mixer, parseContents, parseScale };
