// The web interface in a real browser (Debian's chromium through puppeteer-core) against
// scripts/ui.sh: the virtual board, a running processor with its programme, and the server.
// One browser for all scenarios; screenshots of the views go to MOBU_UI_ARTEFACTS.
'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const http = require('node:http');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { spawn, execFileSync, spawnSync } = require('node:child_process');
const puppeteer = require('puppeteer-core');
const WebSocket = require('ws');

const root = path.resolve(__dirname, '..', '..');
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'mobu-ui-test-'));
const board = path.join(dir, 'board');
const artefacts = process.env.MOBU_UI_ARTEFACTS || path.join(dir, 'artefacts');
fs.mkdirSync(artefacts, { recursive: true });
const alsaEnv = { ...process.env, ALSA_CONFIG_PATH: `${board}/asound.conf:${board}/measure.conf` };
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// The programme is 200 Hz (left) and 1 kHz (right) at -6.02 dBFS; output c is input c mod 2
// through an impulse of -2c dB (scripts/ui.sh).
const TONE_DB = 20 * Math.log10(0.5);
const expectedOut = (c, gainDb = 0) => TONE_DB - 2 * c + gainDb;

function amixer(...args) {
  return execFileSync('amixer', ['-D', 'board', ...args], { env: alsaEnv, encoding: 'utf8' });
}
const mixerDb = (c) => Number(/\[(-?[\d.]+)dB\]/.exec(amixer('sget', `Gain ${c}`))[1]);

/** Peak in dBFS of each channel of a recording of the board's eight outputs. */
function recordOutputs(seconds) {
  const file = path.join(dir, 'out.wav');
  execFileSync('arecord', ['-q', '-D', 'board_capture', '-f', 'S32_LE', '-c', '8', '-r', '48000', '-d', String(seconds), file], { env: alsaEnv });
  const b = fs.readFileSync(file);
  const data = b.indexOf('data') + 8;
  const peaks = new Array(8).fill(0);
  for (let at = data + 8 * 4 * 4800; at + 32 <= b.length; at += 32) // the first 0.1 s left out
    for (let c = 0; c < 8; ++c) peaks[c] = Math.max(peaks[c], Math.abs(b.readInt32LE(at + 4 * c)));
  return peaks.map((p) => (p > 0 ? 20 * Math.log10(p / 2147483647) : -Infinity));
}

/** Starts a process and waits for the line naming the server's address. */
function startServer(command, args, env) {
  const child = spawn(command, args, { env, stdio: ['ignore', 'pipe', 'pipe'] });
  let out = '';
  const url = new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`no server after 90 s: ${out}`)), 90000);
    const take = (chunk) => {
      out += chunk;
      const m = /listening on (http:\/\/[\d.]+:\d+)\//.exec(out);
      if (m) { clearTimeout(timer); resolve(m[1]); }
    };
    child.stdout.on('data', take);
    child.stderr.on('data', take);
    child.on('exit', (code) => reject(new Error(`${command} exited with ${code}: ${out}`)));
  });
  const stopped = new Promise((resolve) => child.on('exit', resolve));
  return { child, url, stop: async () => { child.kill('SIGTERM'); await stopped; }, output: () => out };
}

async function waitFor(what, seconds, check) {
  const end = Date.now() + seconds * 1000;
  for (;;) {
    const v = await check();
    if (v) return v;
    if (Date.now() > end) assert.fail(`${what}: not within ${seconds} s`);
    await sleep(100);
  }
}

let ui, browser, page, base;
const consoleErrors = [];
const processorLog = () => fs.readFileSync(path.join(board, 'processor.log'), 'utf8');
const filterFile = path.join(board, 'filters.wav');
const filterBytes = 44 + 8 * 4 * 1024; // the board's plain filters: 8 channels of 1024 taps

/** Channels and frames of a 32-bit WAV file's header. */
function wavLayout(file) {
  const b = fs.readFileSync(file);
  const fmt = b.indexOf('fmt '), data = b.indexOf('data');
  const channels = b.readUInt16LE(fmt + 10);
  return { channels, frames: b.readUInt32LE(data + 4) / (4 * channels) };
}
/** The 32-bit samples of a WAV file's bytes, frames x channels, as stored. */
function samples(b) {
  const fmt = b.indexOf('fmt '), data = b.indexOf('data');
  const channels = b.readUInt16LE(fmt + 10), frames = b.readUInt32LE(data + 4) / (4 * channels);
  return Array.from({ length: frames }, (_, t) => Array.from({ length: channels }, (_, c) => b.readInt32LE(data + 8 + 4 * (t * channels + c))));
}
const meterDb = (id) => page.$eval(`.meter[data-meter="${id}"] .db`, (e) => e.textContent);

test.before(async () => {
  ui = startServer(path.join(root, 'scripts', 'ui.sh'), [`--board=${board}`, '--port=0'], { ...process.env, MOBU_UI_REALTIME: '0', MOBU_UI_EXIT_WITH_PARENT: '1' });
  base = await ui.url;
  browser = await puppeteer.launch({
    executablePath: process.env.MOBU_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'],
    defaultViewport: { width: 1400, height: 900 },
  });
  page = await browser.newPage();
  page.on('console', (m) => { if (m.type() === 'error') consoleErrors.push(m.text()); });
  page.on('pageerror', (e) => consoleErrors.push(e.message));
});

test.after(async () => {
  if (browser) await browser.close();
  if (ui) await ui.stop();
  fs.rmSync(dir, { recursive: true, force: true });
});

test('the page loads without errors and its meters show the levels of the FIFO', async () => {
  await page.goto(`${base}/`, { waitUntil: 'load' });
  await page.waitForFunction(() => document.querySelector('#processor').textContent === 'processor running', { timeout: 20000 });
  const want = { in0: TONE_DB, in1: TONE_DB };
  for (let c = 0; c < 8; ++c) want[`out${c}`] = expectedOut(c);
  // Three readings a little apart, each of all ten meters at once (a loaded machine may make
  // the processor start again after an over/under-run, silent for a moment: then read again).
  const shownAll = () => page.$$eval('.meter .db', (es) => es.map((e) => Number(e.textContent)));
  for (let round = 0; round < 3; ++round) {
    await sleep(300);
    let last = [];
    const ok = await waitFor(`the meters at the programme's levels, round ${round}`, 10, async () => {
      last = await shownAll();
      return Object.values(want).every((db, k) => Math.abs(last[k] - db) < 0.5);
    }).catch(() => false);
    assert.ok(ok, `the page shows ${last.join(' ')} dBFS, the programme gives ${Object.values(want).map((d) => d.toFixed(2)).join(' ')}` +
      ` (processor started again after an over/under-run: ${processorLog().split('starting the processor again').length - 1} times)`);
  }
  await page.screenshot({ path: path.join(artefacts, 'levels.png') });
  assert.deepEqual(consoleErrors, []);
});

/** A raw request (any header, any body); resolves to the status. */
function request(url, { method = 'GET', headers = {}, body } = {}) {
  return new Promise((resolve, reject) => {
    const req = http.request(url, { method, headers }, (res) => { res.resume(); res.on('end', () => resolve(res.statusCode)); });
    req.on('error', reject);
    req.end(body);
  });
}

test('bad requests are refused with a reason, change nothing, and the server goes on', async () => {
  const host = new URL(base).host;
  const json = { Origin: base, 'Content-Type': 'application/json' };
  const eqFile = path.join(board, 'home', '.mobu', 'paraEQ0.json');
  const eqBefore = fs.readFileSync(eqFile, 'utf8');
  const gainsBefore = [0, 1, 2, 3].map(mixerDb);
  // Loudspeaker descriptions: one inside ~/.mobu, one outside it and a link to that from inside.
  const home = path.dirname(eqFile);
  fs.writeFileSync(path.join(dir, 'outside.json'), '{}');
  fs.writeFileSync(path.join(home, 'loudspeakers-ok.json'), '{}');
  fs.symlinkSync(path.join(dir, 'outside.json'), path.join(home, 'linked-out.json'));
  const guardFile = path.join(home, 'guard.json');
  const guardBefore = fs.existsSync(guardFile) ? fs.readFileSync(guardFile, 'utf8') : null;
  const cases = [
    ['POST', '/api/gain', json, 'not json', 400],
    ['POST', '/api/gain', json, 'null', 400],
    ['POST', '/api/equaliser', json, '[]', 400],
    ['POST', '/api/gain', { ...json, 'Content-Type': 'text/plain' }, '{"channel":1,"db":-3}', 415],
    ['POST', '/api/gain', json, '{"channel":9,"db":0}', 400],
    ['POST', '/api/gain', json, '{"channel":"1","db":0}', 400],
    ['POST', '/api/gain', json, '{"channel":1,"db":40}', 400],
    ['POST', '/api/gain', json, '{"channel":1,"db":"-3dB; reboot"}', 400],
    ['POST', '/api/gain', json, '{"channel":2,"mute":"yes"}', 400],
    ['POST', '/api/gain', json, '{"channel":3}', 400],
    ['POST', '/api/gain', json, JSON.stringify({ channel: 1, db: -3, pad: 'x'.repeat(20000) }), 413],
    ['POST', '/api/equaliser', json, '{"sections":[{"Fc":100000,"dB":0,"Q":1}]}', 400],
    ['POST', '/api/equaliser', json, '{"sections":[{"Fc":1000,"dB":0}]}', 400],
    ['POST', '/api/equaliser', json, JSON.stringify({ sections: new Array(17).fill({ Fc: 1000, dB: 1, Q: 1 }) }), 400],
    ['POST', '/api/equaliser', json, '{"sections":"all"}', 400],
    ['POST', '/api/measurement', json, '{"channels":[]}', 409],
    ['POST', '/api/measurement', json, '{"channels":[1,1]}', 409],
    ['POST', '/api/measurement', json, '{"channels":[8]}', 409],
    ['POST', '/api/measurement', json, '{"channels":[0],"taps":3}', 409],
    ['POST', '/api/measurement/stop', json, '', 409],
    ['POST', '/api/correction', json, '{"maxBoost":"6; reboot"}', 400],
    ['POST', '/api/correction', json, '{"low":500,"high":100}', 400],
    ['POST', '/api/correction', json, '{"taps":1000}', 400],
    ['POST', '/api/correction', json, '{"target":"/etc/passwd"}', 400],
    ['POST', '/api/correction', json, '{"out":"/etc/passwd"}', 400],
    ['POST', '/api/correction', json, '{}', 409], // nothing measured yet
    ['POST', '/api/correction/apply', json, '', 409],
    ['GET', '/api/correction/design.png', {}, undefined, 404],
    ['POST', '/api/crossover', json, '{"speakers":"/etc/passwd"}', 400],
    ['POST', '/api/crossover', json, '{"speakers":"../../outside.json"}', 400],
    ['POST', '/api/crossover', json, '{"speakers":"linked-out.json"}', 400], // a link in ~/.mobu to a file outside
    ['POST', '/api/crossover', json, '{"speakers":"loudspeakers-ok.json","phase":"mixed"}', 400],
    ['POST', '/api/crossover', json, '{"speakers":"loudspeakers-ok.json","guard":"/tmp/g.json"}', 400],
    ['POST', '/api/crossover', json, '{"speakers":"loudspeakers-ok.json"}', 409], // nothing measured yet
    ['POST', '/api/crossover/apply', json, '', 409],
    ['GET', '/api/crossover/design.png', {}, undefined, 404],
    ['GET', '/../server.js', {}, undefined, 404],
    ['GET', '/api/nothing', {}, undefined, 404],
    ['GET', '/api/state', { Host: `rebound.example:${host.split(':')[1]}` }, undefined, 403],
    ['POST', '/api/gain', { 'Content-Type': 'application/json' }, '{"channel":1,"db":-3}', 403],
  ];
  for (const [method, p, headers, body, status] of cases)
    assert.equal(await request(`${base}${p}`, { method, headers, body }), status, `${method} ${p} ${body ? body.slice(0, 60) : ''}`);
  assert.equal(fs.readFileSync(eqFile, 'utf8'), eqBefore, 'the equaliser file is as it was');
  assert.deepEqual([0, 1, 2, 3].map(mixerDb), gainsBefore, 'the gains are as they were');
  assert.equal(fs.readFileSync(filterFile).length, filterBytes, 'the coefficient file is as it was');
  assert.equal(fs.existsSync(guardFile) ? fs.readFileSync(guardFile, 'utf8') : null, guardBefore, 'the guard is as it was');
  const refused = await fetch(`${base}/api/crossover`, { method: 'POST', headers: json, body: '{"speakers":"linked-out.json"}' });
  assert.match((await refused.json()).error, /linked-out\.json is outside the allowed folder .*\.mobu/);
  fs.rmSync(path.join(home, 'linked-out.json'));
  fs.rmSync(path.join(home, 'loudspeakers-ok.json'));
  assert.equal(await request(`${base}/api/state`), 200, 'the server still answers');

  // On the page a refused value comes back as a message, and the field shows the mixer again.
  const input = await page.$('#gain-db-2');
  await input.click({ clickCount: 3 });
  await input.type('40');
  await page.keyboard.press('Tab');
  await page.waitForFunction(() => /outside -12 \.\.\. 12 dB/.test(document.querySelector('#messages').textContent), { timeout: 5000 });
  await waitFor('the field shows the mixer value again', 5, async () => (await page.$eval('#gain-db-2', (e) => e.value)) === '0.0');
  await page.$$eval('#messages .message button', (bs) => bs.forEach((b) => b.click()));
  // The browser reports the refused request itself; nothing else went wrong.
  assert.deepEqual(consoleErrors.splice(0), ['Failed to load resource: the server responded with a status of 400 (Bad Request)']);
});

test('gains: the page sets the mixer and the output level, and amixer changes show on the page', async () => {
  const input = await page.$('#gain-db-3');
  await input.click({ clickCount: 3 });
  await input.type('-6');
  await page.keyboard.press('Tab');
  await waitFor('Gain 3 at -6 dB in the mixer', 5, () => mixerDb(3) === -6);
  await page.click('#mute-5');
  await waitFor('Gain 5 Mute on', 5, () => /\[on\]/.test(amixer('sget', 'Gain 5 Mute')));
  await sleep(200); // the ramp takes one period
  const peaks = recordOutputs(1);
  assert.ok(Math.abs(peaks[3] - expectedOut(3, -6)) < 0.5, `output 3 recorded at ${peaks[3]} dBFS`);
  assert.ok(Math.abs(peaks[2] - expectedOut(2)) < 0.5, `output 2 (untouched) recorded at ${peaks[2]} dBFS`);
  assert.equal(peaks[5], -Infinity, 'output 5 is muted');
  await waitFor('the meter of output 3 at -18 dBFS', 5, async () => Math.abs(Number(await meterDb('out3')) - expectedOut(3, -6)) < 0.5);

  amixer('--', 'sset', 'Gain 1', '-4.5dB');
  await waitFor('the page shows the amixer change', 3, async () => (await page.$eval('#gain-db-1', (e) => e.value)) === '-4.5');
  await page.screenshot({ path: path.join(artefacts, 'gains.png') });
  amixer('sset', 'Gain 5 Mute', 'off');
  await waitFor('the page shows output 5 unmuted', 3, async () =>
    (await page.$eval('#mute-5', (e) => e.getAttribute('aria-pressed'))) === 'false');

  // A field cleared and left changes nothing (it is no value, not 0 dB), and says so.
  amixer('--', 'sset', 'Gain 2', '-3.5dB');
  await waitFor('the page shows Gain 2 at -3.5 dB', 3, async () => (await page.$eval('#gain-db-2', (e) => e.value)) === '-3.5');
  const field = await page.$('#gain-db-2');
  await field.click({ clickCount: 3 });
  await page.keyboard.press('Backspace');
  await page.keyboard.press('Tab');
  await page.waitForFunction(() => /Gain 2: empty: the gain stays as it is/.test(document.querySelector('#messages').textContent), { timeout: 5000 });
  await waitFor('the field shows the mixer value again', 5, async () => (await page.$eval('#gain-db-2', (e) => e.value)) === '-3.5');
  await sleep(300);
  assert.equal(mixerDb(2), -3.5, 'the mixer is as it was');
  await page.keyboard.press('Escape');
  assert.equal(await page.$$eval('#messages .message', (m) => m.length), 0, 'Escape dismisses the messages');
  amixer('--', 'sset', 'Gain 2', '0dB');
});

test('a measurement of outputs 0 and 1 completes and draws their impulse responses and magnitudes', async () => {
  await page.click('.tab[data-view="measure"]');
  await page.click('#measure-ch-0');
  await page.click('#measure-ch-1');
  await page.select('#measure-taps', '2048');
  await page.click('#measure-start');
  await page.waitForFunction(() => ['done', 'error'].includes(document.querySelector('#measure-phase').textContent), { timeout: 150000 });
  assert.equal(await page.$eval('#measure-phase', (e) => e.textContent), 'done', await page.$eval('#measure-message', (e) => e.textContent));
  await page.waitForSelector('.result[data-channel="1"] .magnitude canvas');
  // The recorder reported to this server's own status file (another server on the machine
  // has its own), and the run's end closed the measurement devices: the server maps no part
  // of the measurement loop any more, so another program can open them.
  assert.match(fs.readFileSync(path.join(board, 'status.json'), 'utf8'), /^\{"error" : "","message" : "[^"]+","progressMax" : \d+,"progress" : \d+\}$/);
  const serverPid = childOf(ui.child.pid, /server\.js/);
  assert.doesNotMatch(fs.readFileSync(`/proc/${serverPid}/maps`, 'utf8'), /ui-measure-/, 'the measurement devices are closed');
  // The room's direct sound is placed 3 ms (144 samples) into the response by the alignment.
  const info = await page.$eval('.result[data-channel="1"] .tof', (e) => e.textContent);
  const at = Number(/peak at sample (\d+)/.exec(info)[1]);
  assert.ok(Math.abs(at - 144) <= 2, info);
  // The delay found is mostly the devices' latency: the page says so, and gives the arrival
  // relative to the earliest output (both outputs reach the microphone through the same room).
  assert.match(info, /arrival \+\d+ samples \(\+[\d.]+ ms\) after the earliest output; delay \d+ samples \([\d.]+ ms, mostly the devices' latency\)/);
  // Something was drawn: the plot canvases are not blank.
  const inked = await page.$$eval('.result[data-channel="1"] canvas', (cs) => cs.map((c) => {
    const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
    let n = 0;
    for (let i = 3; i < d.length; i += 4) if (d[i] > 0) ++n;
    return n;
  }));
  assert.ok(inked.length >= 2 && inked.every((n) => n > 500), `inked pixels ${inked}`);
  await page.screenshot({ path: path.join(artefacts, 'measurement.png'), fullPage: true });
  // The smoothing chosen is drawn: one curve unsmoothed, raw and smoothed otherwise.
  const curves = async () => page.$eval('.result[data-channel="1"] .magnitude', (e) =>
    [e.querySelector('.u-title').textContent, e.querySelectorAll('.u-legend .u-series').length - 1]);
  assert.deepEqual(await curves(), ['Magnitude (1/6 octave smoothed)', 2]);
  for (const [value, want] of [['0', ['Magnitude (unsmoothed)', 1]], ['48', ['Magnitude (1/48 octave smoothed)', 2]], ['6', ['Magnitude (1/6 octave smoothed)', 2]]]) {
    await page.select('#measure-smoothing', value);
    assert.deepEqual(await curves(), want);
  }
  // Beside the magnitude: the phase or the group delay; a time window around the peak is drawn
  // on the impulse response, and a window side out of range is marked and not used.
  const titles = () => page.$$eval('.result[data-channel="1"] .u-title', (ts) => ts.map((t) => t.textContent));
  assert.deepEqual(await titles(), ['Impulse response', 'Magnitude (1/6 octave smoothed)', "Phase (the peak's delay taken out)"]);
  await page.select('#measure-detail', 'delay');
  assert.deepEqual((await titles())[2], 'Group delay (1/6 octave smoothed)');
  for (const [sel, value] of [['#measure-window-left', '1'], ['#measure-window-right', '5']]) {
    await page.$eval(sel, (e, v) => { e.value = v; e.dispatchEvent(new Event('change')); }, value);
  }
  assert.equal((await titles())[0], 'Impulse response and its time window');
  await page.$eval('#measure-window-right', (e) => { e.value = '0'; e.dispatchEvent(new Event('change')); });
  assert.equal(await page.$eval('#measure-window-right', (e) => e.getAttribute('aria-invalid')), 'true');
  await page.screenshot({ path: path.join(artefacts, 'measurement-window.png'), fullPage: true });
  for (const sel of ['#measure-window-left', '#measure-window-right']) await page.$eval(sel, (e) => { e.value = ''; e.dispatchEvent(new Event('change')); });
  await page.select('#measure-detail', 'phase');

  // The exports read by another tool: the WAV holds the response shown, the text its spectrum.
  const { h } = (await (await fetch(`${base}/api/measurement`)).json()).results.find((r) => r.channel === 1);
  const href = await page.$eval('.result[data-channel="1"] .exports a', (a) => a.href);
  fs.writeFileSync(path.join(dir, 'impulse-1.wav'), Buffer.from(await (await fetch(href)).arrayBuffer()));
  fs.writeFileSync(path.join(dir, 'response-1.txt'), await (await fetch(`${base}/api/measurement/response-1.txt`)).text());
  fs.writeFileSync(path.join(dir, 'h-1.json'), JSON.stringify(h));
  // The phase and group delay the page draws, unsmoothed, against scipy's at the same bins.
  fs.writeFileSync(path.join(dir, 'curves-1.json'), JSON.stringify(await page.evaluate((x) => {
    const r = Dsp.response(x, 48000, 6); // eslint-disable-line no-undef
    return { freqs: r.freqs, phase: r.phase, delay: r.delay, peak: r.peak };
  }, h)));
  const check = spawnSync('/usr/bin/python3', ['-c', `
import json, sys, numpy as np
from scipy.io import wavfile
rate, x = wavfile.read(sys.argv[1] + '/impulse-1.wav')
h = np.array(json.load(open(sys.argv[1] + '/h-1.json')))
assert rate == 48000 and x.dtype == np.float32 and len(x) == len(h), (rate, x.dtype, len(x))
assert np.max(np.abs(x - h)) < 1e-6 * max(1, np.max(np.abs(h))), 'the WAV is the response'
rows = np.array([[float(v) for v in l.split()] for l in open(sys.argv[1] + '/response-1.txt') if not l.startswith('*')])
H = np.exp(-2j * np.pi * np.outer(rows[:, 0], np.arange(len(h))) / 48000) @ h
assert rows[0, 0] >= 10 and rows[-1, 0] <= 24000 and len(rows) > 400, rows.shape
assert np.max(np.abs(rows[:, 1] - 20 * np.log10(np.abs(H)))) < 0.01, np.max(np.abs(rows[:, 1] - 20 * np.log10(np.abs(H))))
assert np.max(np.abs(np.angle(np.exp(1j * (np.radians(rows[:, 2]) - np.angle(H)))))) < 0.01, 'the phase'
from scipy.signal import freqz, group_delay
c = json.load(open(sys.argv[1] + '/curves-1.json'))
n = 8192
while n < len(h): n *= 2
f = np.round(np.array(c['freqs']) * n / 48000) * 48000 / n
_, Hb = freqz(h, 1, worN=f, fs=48000)
ok = np.abs(Hb) > 1e-2 * np.max(np.abs(Hb))  # away from the response's nulls
_, gd = group_delay((h, [1]), w=f, fs=48000)
assert ok.sum() > 300, ok.sum()
assert np.max(np.abs(np.array(c['delay'])[ok] - 1000 * gd[ok] / 48000)) < 1e-3, 'the group delay in ms'
want = np.angle(Hb * np.exp(2j * np.pi * f * c['peak'] / 48000))
assert np.max(np.abs(np.angle(np.exp(1j * (np.radians(c['phase']) - want))))[ok]) < 1e-3, 'the phase without the peak delay'
print('ok')
`, dir], { encoding: 'utf8' });
  assert.equal(check.stdout.trim(), 'ok', check.stderr);

  // The exports imported again (as a file another tool wrote), and a file that is neither.
  fs.writeFileSync(path.join(dir, 'notes.txt'), 'a shopping list\nmilk\n');
  const upload = await page.$('#measure-import');
  await upload.uploadFile(path.join(dir, 'response-1.txt'), path.join(dir, 'impulse-1.wav'));
  await page.waitForSelector('.result[data-channel="import-1"]', { timeout: 10000 });
  const said = await page.$$eval('#measure-imported .result', (cs) => cs.map((c) => [c.querySelector('h2').textContent, c.querySelector('.hint').textContent]));
  const hz = fs.readFileSync(path.join(dir, 'response-1.txt'), 'utf8').split('\n').filter((l) => /^\d/.test(l)).map((l) => Number(l.split(/\s+/)[0]));
  assert.deepEqual(said, [['Imported: response-1.txt', `frequency response, ${hz.length} points from ${hz[0]} to ${hz[hz.length - 1]} Hz with phase`],
    ['Imported: impulse-1.wav', `impulse response, ${h.length} samples at 48000 Hz`]]);
  await page.select('#measure-overlay', 'import:0');
  await page.waitForFunction(() => [...document.querySelectorAll('.result[data-channel="1"] .magnitude .u-legend .u-series')]
    .some((x) => x.textContent.trim().startsWith('overlay response-1.txt')), { timeout: 10000 });
  await page.screenshot({ path: path.join(artefacts, 'measurement-import.png'), fullPage: true });
  await page.select('#measure-overlay', '');
  await upload.uploadFile(path.join(dir, 'notes.txt'));
  await page.waitForFunction(() => /import: notes\.txt: neither a WAV nor lines of Hz, dB\[, degrees\]/.test(document.querySelector('#messages').textContent), { timeout: 5000 });
  await page.keyboard.press('Escape');
});

test('the equaliser warns before saving a response above the headroom, and marks a field out of range', async () => {
  await page.click('.tab[data-view="equaliser"]');
  const eqFile = path.join(board, 'home', '.mobu', 'paraEQ0.json');
  const warning = () => page.$eval('#eq-headroom', (e) => (e.hidden ? '' : e.textContent));
  // A peaking section's highest point is its gain at its frequency: +12 dB is the headroom.
  for (const [sections, warns] of [
    [[{ type: 'BPF', Fc: 1000, dB: 11.5, Q: 1 }], false],
    [[{ type: 'BPF', Fc: 1000, dB: 12.5, Q: 1 }], true],
    [[{ type: 'BPF', Fc: 100, dB: 7, Q: 0.7 }, { type: 'BPF', Fc: 110, dB: 7, Q: 0.7 }], true],
    [new Array(16).fill({ type: 'BPF', Fc: 200, dB: 24, Q: 1 }), true],
  ]) {
    fs.writeFileSync(eqFile, JSON.stringify(sections));
    await page.click('#eq-revert');
    const gains = JSON.stringify(sections.map((x) => String(x.dB)));
    await waitFor('the file loaded', 5, async () => JSON.stringify(await page.$$eval('.eq-row .eq-db', (es) => es.map((e) => e.value))) === gains);
    if (warns) assert.match(await warning(), /combined response reaches \+[\d.]+ dB at \d+ Hz, above the \+12 dB headroom/, JSON.stringify(sections[0]));
    else assert.equal(await warning(), '', JSON.stringify(sections));
  }
  // Saving asks first; the format allows it, so it is saved when confirmed.
  const before = fs.readFileSync(eqFile, 'utf8');
  await page.click('#eq-save');
  await page.waitForSelector('#eq-save-anyway:not([hidden])', { timeout: 5000 });
  assert.equal(fs.readFileSync(eqFile, 'utf8'), before, 'nothing saved before the confirmation');
  await page.screenshot({ path: path.join(artefacts, 'equaliser-headroom.png') });
  await page.click('#eq-save-anyway');
  await page.waitForFunction(() => document.querySelector('#eq-message').textContent.startsWith('saved 16 sections'), { timeout: 10000 });
  assert.equal(JSON.parse(fs.readFileSync(eqFile, 'utf8')).length, 16);

  // Q = 0 is marked, and Save refuses with a message.
  fs.writeFileSync(eqFile, '[]');
  await page.click('#eq-revert');
  await waitFor('the empty file loaded', 5, async () => (await page.$$('.eq-row')).length === 0);
  await page.click('#eq-add');
  const q = await page.$('.eq-row .eq-q');
  await q.click({ clickCount: 3 });
  await q.type('0');
  assert.equal(await page.$eval('.eq-row .eq-q', (e) => e.classList.contains('invalid') && e.getAttribute('aria-invalid')), 'true');
  await page.click('#eq-save');
  await page.waitForFunction(() => /fields out of range \(marked\): nothing saved/.test(document.querySelector('#messages').textContent), { timeout: 5000 });
  assert.equal(fs.readFileSync(eqFile, 'utf8'), '[]');
  // Unsaved sections: leaving the page asks first.
  let asked = '';
  page.once('dialog', (d) => { asked = d.type(); d.dismiss(); });
  await page.evaluate(() => { location.reload(); });
  await waitFor('the browser asks before the page goes', 5, () => asked === 'beforeunload');
  await page.keyboard.press('Escape');
  await page.click('#eq-revert');
  await waitFor('the empty file loaded', 5, async () => (await page.$$('.eq-row')).length === 0);
});

test('a saved equaliser is written and switched in by the processor', async () => {
  await page.click('.tab[data-view="equaliser"]');
  const switchesBefore = processorLog().split('switching paraEQs over').length;
  // A link planted beside the file, where a writer with a fixed scratch name would write through it.
  const eqDir = path.join(board, 'home', '.mobu');
  const victim = path.join(dir, 'victim');
  fs.writeFileSync(victim, 'untouched');
  fs.symlinkSync(victim, path.join(eqDir, 'paraEQ0.json.new'));
  const entriesBefore = fs.readdirSync(eqDir).sort();
  await page.click('#eq-add');
  for (const [cls, value] of [['.eq-fc', '200'], ['.eq-db', '-6'], ['.eq-q', '2']]) {
    const input = await page.$(`.eq-row ${cls}`);
    await input.click({ clickCount: 3 });
    await input.type(value);
  }
  await page.click('#eq-save');
  await page.waitForFunction(() => document.querySelector('#eq-message').textContent.startsWith('saved'), { timeout: 10000 });
  assert.match(await page.$eval('#eq-message', (e) => e.textContent), /^saved 1 section; the processor switched it in$/);
  const file = JSON.parse(fs.readFileSync(path.join(eqDir, 'paraEQ0.json'), 'utf8'));
  assert.deepEqual(file, [{ type: 'BPF', Fc: 200, dB: -6, Q: 2 }]);
  assert.equal(fs.readFileSync(victim, 'utf8'), 'untouched', 'the planted link is not written through');
  assert.deepEqual(fs.readdirSync(eqDir).sort(), entriesBefore, 'nothing is left beside the file');
  await waitFor('the processor logs the switch', 10, () => processorLog().split('switching paraEQs over').length > switchesBefore);
  // Output 0 carries the 200 Hz tone: 6 dB down now.
  await page.click('.tab[data-view="levels"]');
  await waitFor('output 0 6 dB down on the meter', 5, async () => Math.abs(Number(await meterDb('out0')) - expectedOut(0, -6)) < 0.5);
  await page.click('.tab[data-view="equaliser"]');
  await page.screenshot({ path: path.join(artefacts, 'equaliser.png') });
  await page.click('.tab[data-view="files"]');
  await page.screenshot({ path: path.join(artefacts, 'files.png') });
  assert.deepEqual(consoleErrors, [], 'no console errors on the page');
});

test('a room correction designed from the measurement is drawn, written as the coefficient file and switched in', async () => {
  await page.click('.tab[data-view="measure"]');
  const switchesBefore = processorLog().split('switching FIR filter over').length;
  await page.waitForFunction(() => !document.querySelector('#correct-design').disabled, { timeout: 5000 });
  assert.equal(await page.$eval('#correct-apply', (e) => e.disabled), true, 'nothing to write before a design');
  await page.select('#correct-taps', '16384');
  await page.click('#correct-design');
  await page.waitForFunction(() => ['designed', 'error'].includes(document.querySelector('#correct-state').textContent), { timeout: 60000 });
  assert.equal(await page.$eval('#correct-state', (e) => e.textContent), 'designed', await page.$eval('#correct-message', (e) => e.textContent));
  assert.match(await page.$eval('#correct-log', (e) => e.textContent), /designed 2 channel\(s\): 16384 taps, 1\/6 octave, 20 \.\.\. 20000 Hz, boost at most 6 dB, minimum phase/);
  const picture = await page.waitForFunction(() => {
    const img = document.querySelector('#correct-picture');
    return !img.hidden && img.complete && img.naturalWidth > 0 && [img.naturalWidth, img.naturalHeight];
  }, { timeout: 10000 });
  const [w, h] = await picture.jsonValue();
  assert.ok(w >= 800 && h >= 400, `the design picture is ${w} x ${h}`);
  assert.equal(fs.readFileSync(filterFile).length, filterBytes, 'a design alone leaves the coefficient file');

  const original = fs.readFileSync(filterFile);
  await page.click('#correct-apply');
  await page.waitForFunction(() => ['written', 'error'].includes(document.querySelector('#correct-state').textContent), { timeout: 60000 });
  assert.equal(await page.$eval('#correct-state', (e) => e.textContent), 'written', await page.$eval('#correct-message', (e) => e.textContent));
  assert.deepEqual(wavLayout(filterFile), { channels: 8, frames: 16384 });
  // Outputs 0 and 1 carry the correction; every other output keeps its filter sample for
  // sample, padded with zeros to the new length.
  const kept = samples(original), merged = samples(fs.readFileSync(filterFile));
  for (let t = 0; t < 16384; ++t)
    for (let c = 2; c < 8; ++c)
      if (merged[t][c] !== (t < kept.length ? kept[t][c] : 0)) assert.fail(`output ${c} tap ${t}: ${merged[t][c]}, was ${t < kept.length ? kept[t][c] : 0}`);
  assert.ok([0, 1].every((c) => kept.some((row, t) => row[c] !== merged[t][c])), 'outputs 0 and 1 are corrected');
  assert.ok(fs.readFileSync(`${filterFile}.previous`).equals(original), 'the file before is kept beside it');
  await waitFor('the processor logs the switch', 15, () => processorLog().split('switching FIR filter over').length > switchesBefore);
  await page.waitForFunction(() => /switched to the coefficient file as written/.test(document.querySelector('#correct-switched').textContent), { timeout: 10000 });
  await waitFor('the page says what was written and that the processor switched to it', 10, async () =>
    /the other outputs kept their filters\); the processor switched to it/.test(await page.$eval('#correct-message', (e) => e.textContent)))
    .catch(async (e) => assert.fail(`${e.message}: the page says "${await page.$eval('#correct-message', (m) => m.textContent)}"`));
  // What the page shows is for a person: no scratch paths, no lines of the processor's code.
  const text = await page.evaluate(() => document.body.innerText);
  assert.doesNotMatch(text, /mobu-ui-correct-|FullDuplexFIR::/);
  await page.$$eval('#messages .message button', (bs) => bs.forEach((b) => b.click()));
  await (await page.$('#room-correction')).screenshot({ path: path.join(artefacts, 'correction.png') });

  // Verify: the same outputs measured again, the run before the write drawn over the new one.
  const before = await page.$eval('#measure-history', (e) => e.value);
  await page.click('#correct-verify');
  await page.waitForFunction((id) => document.querySelector('#measure-phase').textContent === 'error' ||
    (document.querySelector('#measure-phase').textContent === 'done' && document.querySelector('#measure-history').value !== id), { timeout: 150000 }, before);
  assert.equal(await page.$eval('#measure-phase', (e) => e.textContent), 'done', await page.$eval('#measure-message', (e) => e.textContent));
  assert.equal(await page.$eval('#measure-overlay', (e) => e.value), before, 'the run before the write is the overlay');
  for (const c of ['0', '1'])
    await page.waitForFunction((ch) => [...document.querySelectorAll(`.result[data-channel="${ch}"] .magnitude .u-legend .u-series`)]
      .some((x) => /^overlay before the write, \d/.test(x.textContent.trim())), { timeout: 10000 }, c);
  await page.screenshot({ path: path.join(artefacts, 'correction-verify.png'), fullPage: true });
  await page.select('#measure-overlay', '');

  // Undo puts the file before back as it was, and the processor switches to it.
  const written = fs.readFileSync(filterFile);
  const undoSwitches = processorLog().split('switching FIR filter over').length;
  await page.click('#correct-undo');
  await page.waitForFunction(() => /^Restored .* as it was before the last write/.test(document.querySelector('#correct-message').textContent), { timeout: 30000 });
  assert.ok(fs.readFileSync(filterFile).equals(original), 'the coefficient file is as before the write');
  assert.ok(fs.readFileSync(`${filterFile}.previous`).equals(written), 'the undone file is kept in turn');
  await waitFor('the processor switches back', 15, () => processorLog().split('switching FIR filter over').length > undoSwitches);
  await page.$$eval('#messages .message button', (bs) => bs.forEach((b) => b.click()));
  assert.deepEqual(consoleErrors, [], 'no console errors on the page');
});

test('crossovers designed from the measured outputs are drawn, and written with the guard from the description', async () => {
  const home = path.join(board, 'home', '.mobu');
  const guardFile = path.join(home, 'guard.json');
  const speaker = (output, loudspeaker) => ({ output, loudspeaker, role: 'woofer', band: { high: { frequency: 2000, slope: 'LR24' } },
    protection: { highpass: { frequency: 25, order: 2 } } });
  fs.writeFileSync(path.join(home, 'loudspeakers-test.json'), JSON.stringify({ outputs: [speaker(0, 'left'), speaker(1, 'right')] }));
  await page.click('.tab[data-view="measure"]');
  await page.reload();
  await page.waitForFunction(() => !document.querySelector('#xo-design').disabled, { timeout: 10000 });
  await page.$eval('#xo-speakers', (e) => { e.value = 'loudspeakers-test.json'; });
  await page.select('#xo-taps', '4096');
  await page.click('#xo-design');
  await page.waitForFunction(() => ['designed', 'error'].includes(document.querySelector('#xo-state').textContent), { timeout: 60000 });
  assert.equal(await page.$eval('#xo-state', (e) => e.textContent), 'designed', await page.$eval('#xo-message', (e) => e.textContent));
  const table = await page.$eval('#xo-log', (e) => e.textContent);
  assert.match(table, /\b0\b[^\n]*left/, table);
  assert.match(table, /\b1\b[^\n]*right/, table);
  const picture = await page.waitForFunction(() => {
    const img = document.querySelector('#xo-picture');
    return !img.hidden && img.complete && img.naturalWidth > 0 && img.naturalWidth;
  }, { timeout: 10000 });
  assert.ok((await picture.jsonValue()) >= 600);
  const original = fs.readFileSync(filterFile);
  await page.click('#xo-apply');
  await page.waitForFunction(() => ['written', 'error'].includes(document.querySelector('#xo-state').textContent), { timeout: 60000 });
  const said = await page.$eval('#xo-message', (e) => e.textContent);
  assert.equal(await page.$eval('#xo-state', (e) => e.textContent), 'written', said);
  assert.match(said, /^Written the crossovers of loudspeakers-test\.json into .*filters\.wav \(the outputs not described kept their filters\) and the guard .*guard\.json/);
  const kept = samples(original), merged = samples(fs.readFileSync(filterFile));
  assert.equal(merged[0].length, 8);
  for (let t = 0; t < merged.length; ++t)
    for (let c = 2; c < 8; ++c)
      if (merged[t][c] !== (t < kept.length ? kept[t][c] : 0)) assert.fail(`output ${c} tap ${t}: ${merged[t][c]}, was ${t < kept.length ? kept[t][c] : 0}`);
  const written = JSON.parse(fs.readFileSync(guardFile, 'utf8')).outputs;
  for (const c of [0, 1])
    assert.deepEqual(written.find((g) => g.output === c).highpass, { frequency: 25, order: 2 }, `the guard of output ${c}`);
  for (const [w, h, name] of [[1280, 800, 'crossover-desktop.png'], [390, 844, 'crossover-phone.png']]) {
    await page.setViewport({ width: w, height: h });
    await (await page.$('#crossover')).screenshot({ path: path.join(artefacts, name) });
  }
  await page.setViewport({ width: 1400, height: 900 });
  fs.writeFileSync(filterFile, original); // the board's filters again for the scenarios after
  fs.rmSync(guardFile);
  fs.rmSync(path.join(home, 'loudspeakers-test.json'));
  await page.$$eval('#messages .message button', (bs) => bs.forEach((b) => b.click()));
  assert.deepEqual(consoleErrors, [], 'no console errors on the page');
});

test('every view fits a desktop (1280 x 800) and a phone (390 x 844): nothing off-screen, charts one beside or below the other', async () => {
  const views = ['levels', 'measure', 'equaliser', 'files'];
  for (const [width, height] of [[1280, 800], [390, 844]]) {
    await page.setViewport({ width, height });
    for (const view of views) {
      await page.click(`.tab[data-view="${view}"]`);
      await sleep(100); // the charts are drawn again for the new width
      const layout = await page.evaluate(() => {
        const right = (sel) => Math.max(0, ...[...document.querySelectorAll(sel)].filter((e) => e.offsetParent).map((e) => e.getBoundingClientRect().right));
        const overlaps = [];
        for (const r of document.querySelectorAll('.result')) {
          const boxes = [...r.querySelectorAll('.chart')].map((c) => c.getBoundingClientRect());
          boxes.forEach((a, i) => boxes.slice(i + 1).forEach((b) => {
            if (a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom) overlaps.push(r.dataset.channel);
          }));
        }
        return { page: document.documentElement.scrollWidth, tabs: right('.tab'), badge: right('#processor'), panels: right('.panel'),
          table: right('#eq-table, .meters .column'), overlaps, width: innerWidth };
      });
      const where = `${view} at ${width} x ${height}: ${JSON.stringify(layout)}`;
      assert.ok(layout.page <= layout.width && layout.tabs <= layout.width && layout.badge <= layout.width, where);
      assert.ok(layout.panels <= layout.width && layout.table <= layout.width, where);
      assert.deepEqual(layout.overlaps, [], where);
      await page.screenshot({ path: path.join(artefacts, `${view}-${width}x${height}.png`), fullPage: true });
    }
  }
  await page.setViewport({ width: 1400, height: 900 });
  await page.click('.tab[data-view="levels"]');
});

test('the Files view says how the processor runs: its rate, period and restarts after over/under-runs', async () => {
  await page.click('.tab[data-view="levels"]');
  await page.click('.tab[data-view="files"]');
  const log = processorLog();
  const [, latency, , frames] = [...log.matchAll(/requested latency : ([\d.]+) fs: ([\d.]+) setting N = (\d+)/g)].pop();
  const restarts = log.split('starting the processor again').length - 1;
  const want = `running; 48000 Hz, periods of ${frames} frames (${(1000 * Number(latency)).toFixed(1)} ms); started again after an over/under-run: ${restarts} time${restarts === 1 ? '' : 's'}; CPU load per period: not reported by the processor`;
  await waitFor('the processor panel', 10, async () => (await page.$eval('#processor-status', (e) => e.textContent)) === want)
    .catch(async (e) => assert.fail(`${e.message}: "${await page.$eval('#processor-status', (x) => x.textContent)}", want "${want}"`));
});

test('a backup downloads the processor files as one archive, and restoring it puts them back; a wrong archive changes nothing', async () => {
  const eqFile = path.join(board, 'home', '.mobu', 'paraEQ0.json');
  const res = await fetch(`${base}/api/backup`);
  assert.equal(res.status, 200);
  assert.match(res.headers.get('content-disposition'), /attachment; filename="mobu-backup-\d{8}T\d{6}\.tar"/);
  const unpacked = path.join(dir, 'unpacked');
  fs.mkdirSync(unpacked);
  fs.writeFileSync(path.join(dir, 'backup.tar'), Buffer.from(await res.arrayBuffer()));
  execFileSync('tar', ['-xf', path.join(dir, 'backup.tar'), '-C', unpacked]);
  const present = ['filters.wav', 'filters.wav.scale', 'home/.mobu/guard.json', 'home/.mobu/paraEQ0.json'].filter((f) => fs.existsSync(path.join(board, f)));
  assert.deepEqual(fs.readdirSync(unpacked).sort(), present.map((f) => path.basename(f)).sort());
  assert.ok(fs.readFileSync(path.join(unpacked, 'filters.wav')).equals(fs.readFileSync(filterFile)));
  const eqBefore = fs.readFileSync(eqFile, 'utf8');
  assert.equal(fs.readFileSync(path.join(unpacked, 'paraEQ0.json'), 'utf8'), eqBefore);

  const upload = (file) => fetch(`${base}/api/restore`, { method: 'POST', headers: { Origin: base, 'Content-Type': 'application/x-tar' }, body: fs.readFileSync(file) });
  fs.writeFileSync(eqFile, '[]');
  // Refused whole: a file that is not the processor's, or an equaliser the processor would refuse.
  const bad = path.join(dir, 'bad');
  fs.mkdirSync(bad);
  fs.copyFileSync(path.join(unpacked, 'paraEQ0.json'), path.join(bad, 'paraEQ0.json'));
  fs.writeFileSync(path.join(bad, 'notes.txt'), 'hello');
  execFileSync('tar', ['--format=ustar', '-cf', path.join(dir, 'bad1.tar'), '-C', bad, 'paraEQ0.json', 'notes.txt']);
  fs.writeFileSync(path.join(bad, 'paraEQ0.json'), '[{"type":"BPF","Fc":1000,"dB":99,"Q":1}]');
  execFileSync('tar', ['--format=ustar', '-cf', path.join(dir, 'bad2.tar'), '-C', bad, 'paraEQ0.json']);
  for (const [file, says] of [['bad1.tar', /nothing restored: notes.txt is not one of this processor's files/], ['bad2.tar', /nothing restored: paraEQ0.json: section 1: dB 99 is outside/]]) {
    const r = await upload(path.join(dir, file));
    assert.equal(r.status, 400, file);
    assert.match((await r.json()).error, says);
    assert.equal(fs.readFileSync(eqFile, 'utf8'), '[]', `${file} changed nothing`);
  }
  const good = await upload(path.join(dir, 'backup.tar'));
  assert.equal(good.status, 200);
  assert.deepEqual((await good.json()).written.sort(), present.map((f) => path.basename(f)).sort());
  assert.equal(fs.readFileSync(eqFile, 'utf8'), eqBefore, 'the equaliser is back');
  assert.ok(fs.readFileSync(filterFile).equals(fs.readFileSync(path.join(unpacked, 'filters.wav'))));
});

/** Sends raw bytes on a new connection; resolves to what came back before the server closed it. */
function rawRequest(url, bytes) {
  const { hostname, port } = new URL(url);
  return new Promise((resolve, reject) => {
    let got = '';
    const socket = net.connect(Number(port), hostname, () => socket.end(bytes));
    socket.on('data', (d) => { got += d; });
    socket.on('close', () => resolve(got));
    socket.on('error', reject);
  });
}

/** The child of process `parent` whose command line matches `pattern` (its process id), or 0. */
function childOf(parent, pattern) {
  const out = spawnSync('pgrep', ['-P', String(parent)], { encoding: 'utf8' }).stdout.split('\n').filter(Boolean);
  for (const pid of out) {
    let cmd = '';
    try { cmd = fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8'); } catch { continue; }
    if (pattern.test(cmd)) return Number(pid);
  }
  return 0;
}

test('no request ends the server, and the end of the server does not stop the processor', async () => {
  const answer = await rawRequest(base, 'GET //[ HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n');
  assert.match(answer, /^HTTP\/1.1 400/, 'a malformed WebSocket request is refused');
  assert.equal(await request(`${base}/api/state`), 200, 'the server answers');
  assert.doesNotMatch(ui.output(), /server ended/, 'the same server');

  // The server killed: the processor plays on, and the server comes back.
  const serverPid = childOf(ui.child.pid, /server\.js/), processorPid = childOf(ui.child.pid, /mobu-processor/);
  assert.ok(serverPid > 0 && processorPid > 0, `server ${serverPid}, processor ${processorPid}`);
  process.kill(serverPid, 'SIGKILL');
  await waitFor('the server answers again', 30, async () => (await request(`${base}/api/state`).catch(() => 0)) === 200);
  assert.notEqual(childOf(ui.child.pid, /server\.js/), serverPid, 'a new server');
  assert.doesNotThrow(() => process.kill(processorPid, 0), 'the processor runs on');
  await page.waitForFunction(() => document.querySelector('#processor').textContent === 'processor running', { timeout: 20000 });

  // The new server shows the last measurement again (kept on disk), and the page's form shows its settings.
  await page.reload();
  await page.click('.tab[data-view="measure"]');
  await page.waitForSelector('.result[data-channel="1"] .magnitude canvas', { timeout: 20000 });
  assert.deepEqual(await page.$$eval('#measure-channels input', (bs) => bs.filter((b) => b.checked).map((b) => b.value)), ['0', '1']);
  assert.equal(await page.$eval('#measure-taps', (e) => e.value), '2048');
  assert.match(await page.$eval('#measure-history', (e) => e.selectedOptions[0].textContent), /: outputs 0, 1, 2048 samples$/);
  // A kept measurement drawn over the one shown.
  await page.select('#measure-overlay', await page.$eval('#measure-history', (e) => e.value));
  await page.waitForFunction(() => [...document.querySelectorAll('.result[data-channel="1"] .magnitude .u-legend .u-series')]
    .some((s) => /^overlay \d/.test(s.textContent.trim())), { timeout: 10000 });
  await page.screenshot({ path: path.join(artefacts, 'measurement-overlay.png'), fullPage: true });
  consoleErrors.splice(0); // the page saw its server go
});

test('idle connections and open WebSockets from one address do not shut out the next client', async () => {
  const { hostname, port } = new URL(base);
  const idle = await Promise.all(Array.from({ length: 70 }, () => new Promise((resolve) => {
    const s = net.connect(Number(port), hostname, () => resolve(s));
    s.on('error', () => resolve(s));
  })));
  const open = (headers = {}) => new Promise((resolve) => {
    const ws = new WebSocket(`${base.replace('http', 'ws')}/ws`, { origin: base, headers });
    ws.on('open', () => resolve(ws)).on('error', () => resolve(ws)).on('unexpected-response', () => resolve(ws));
  });
  const sockets = [];
  try {
    for (let k = 0; k < 63; ++k) sockets.push(await open());
    const t0 = Date.now();
    assert.equal(await request(`${base}/api/state`), 200, 'a request goes through');
    const next = await open();
    sockets.push(next);
    assert.equal(next.readyState, WebSocket.OPEN, 'and so does a new WebSocket');
    assert.ok(Date.now() - t0 < 5000, `answered after ${Date.now() - t0} ms`);
  } finally {
    idle.forEach((s) => s.destroy());
    sockets.forEach((ws) => ws.terminate());
  }
});

test('on another address than 127.0.0.1 a request without the password is refused and changes nothing; no writer shows as no processor', async () => {
  // A home of its own (through the password database, as the server finds ~/.mobu), holding a guard file.
  const home = path.join(dir, 'home2');
  fs.mkdirSync(path.join(home, '.mobu'), { recursive: true });
  const id = (flag) => execFileSync('id', [flag], { encoding: 'utf8' }).trim();
  fs.writeFileSync(path.join(dir, 'passwd'), `${id('-un')}:x:${id('-u')}:${id('-g')}:mobu:${home}:/bin/sh\n`);
  fs.writeFileSync(path.join(dir, 'group'), `${id('-gn')}:x:${id('-g')}:\n`);
  const wrapper = execFileSync(path.join(root, 'scripts', 'nss-wrapper.sh'), [path.join(dir, 'passwd'), path.join(dir, 'group')], { encoding: 'utf8' }).trim();
  const guardFile = path.join(home, '.mobu', 'guard.json');
  fs.writeFileSync(guardFile, JSON.stringify({ outputs: [
    { output: 6, highpass: { frequency: 1000, order: 4 }, maxLevel: -12 },
    { output: 7, highpass: { frequency: 1000, order: 4 }, lowpass: { frequency: 20000, order: 2 } }] }));
  const env = { ...alsaEnv, MOBU_UI_EXIT_WITH_PARENT: '1', HOME: home, LD_PRELOAD: wrapper, NSS_WRAPPER_PASSWD: path.join(dir, 'passwd'),
    NSS_WRAPPER_GROUP: path.join(dir, 'group'), MOBU_NODE_ADDONS: process.env.MOBU_NODE_ADDONS || path.join(root, 'build', 'node') };
  const server = path.join(root, 'ui', 'server.js');
  const passwordFile = path.join(dir, 'ui-password');
  // This server reads a FIFO that no processor writes.
  const idle = fs.readFileSync(path.join(board, 'processor.conf'), 'utf8').replace(/fifopath ".*"/, `fifopath "${dir}/idle-levels"`);
  fs.writeFileSync(path.join(dir, 'idle.conf'), idle);
  execFileSync('mkfifo', [path.join(dir, 'idle-levels')]);
  const args = ['--address=127.0.0.2', '--port=0', `--config=${dir}/idle.conf`, `--password-file=${passwordFile}`];
  const none = spawnSync('node', [server, ...args], { env, encoding: 'utf8', timeout: 20000 });
  assert.notEqual(none.status, 0, 'no password set: the server does not start');
  assert.match(none.stderr, /password file/);
  const set = spawnSync('node', [path.join(root, 'ui', 'set-password.js'), `--password-file=${passwordFile}`], { input: 'a good password\n', encoding: 'utf8' });
  assert.equal(set.status, 0, set.stderr);
  assert.doesNotMatch(fs.readFileSync(passwordFile, 'utf8'), /a good password/);

  const remote = startServer('node', [server, ...args], env);
  try {
    const url = await remote.url;
    const origin = { Origin: url, 'Content-Type': 'application/json' };
    const before = mixerDb(0);
    const post = (p, body, headers = origin) => fetch(`${url}${p}`, { method: 'POST', headers, body: JSON.stringify(body), redirect: 'manual' });
    assert.equal((await post('/api/gain', { channel: 0, db: -9 })).status, 401, 'no session');
    assert.equal((await post('/api/crossover', { speakers: 'loudspeakers.json' })).status, 401, 'no session: no crossover design');
    assert.equal((await post('/api/crossover/apply', {})).status, 401, 'no session: no crossover write');
    assert.equal((await post('/api/login', { password: 'wrong password' })).status, 401, 'a wrong password');
    // Failed logins are counted per client address: another address guessing does not lock this one out.
    const fromElsewhere = () => new Promise((resolve, reject) => {
      const req = http.request(`${url}/api/login`, { method: 'POST', headers: origin, localAddress: '127.0.0.3' }, (res) => { res.resume(); resolve(res.statusCode); });
      req.on('error', reject);
      req.end(JSON.stringify({ password: 'a guess' }));
    });
    const guesses = [];
    for (let k = 0; k < 6; ++k) guesses.push(await fromElsewhere());
    assert.deepEqual(guesses, [401, 401, 401, 401, 401, 429]);
    assert.equal((await fetch(`${url}/api/state`)).status, 401);
    assert.equal((await fetch(`${url}/`, { redirect: 'manual' })).status, 302, 'the page sends to the log-in');
    const ws = new WebSocket(`${url.replace('http', 'ws')}/ws`, { origin: url });
    assert.equal(await new Promise((resolve) => ws.on('unexpected-response', (_, r) => resolve(r.statusCode)).on('open', () => resolve(101))), 401);
    // With a session, a request from another site is still refused.
    const login = await post('/api/login', { password: 'a good password' });
    assert.equal(login.status, 200);
    const cookie = login.headers.get('set-cookie').split(';')[0];
    // Logging out closes the session's WebSockets at once.
    const live = new WebSocket(`${url.replace('http', 'ws')}/ws`, { origin: url, headers: { Cookie: cookie } });
    await new Promise((resolve, reject) => live.on('open', resolve).on('error', reject));
    const closed = new Promise((resolve) => live.on('close', (code) => resolve(code)));
    assert.equal((await post('/api/logout', {}, { ...origin, Cookie: cookie })).status, 200);
    assert.equal(await Promise.race([closed, sleep(3000).then(() => 'still open')]), 4001);
    const relogin = await post('/api/login', { password: 'a good password' });
    assert.equal(relogin.status, 200);
    const session = relogin.headers.get('set-cookie').split(';')[0];
    // Two servers on one machine: this one measures on the same devices (free again after the
    // other's runs), and its recorder reports to a file of its own, not to the other server's.
    const other = path.join(board, 'status.json'), otherBefore = [fs.readFileSync(other, 'utf8'), fs.statSync(other).mtimeMs];
    const own = (await (await fetch(`${url}/api/state`, { headers: { Cookie: session } })).json()).files.statusFile;
    assert.equal((await post('/api/measurement', { channels: [0], taps: 1024 }, { ...origin, Cookie: session })).status, 200);
    const run = await waitFor('the second server measured', 120, async () => {
      const m = await (await fetch(`${url}/api/measurement`, { headers: { Cookie: session } })).json();
      return ['done', 'error'].includes(m.phase) && m;
    });
    assert.equal(run.phase, 'done', run.error);
    assert.match(fs.readFileSync(own, 'utf8'), /^\{"error" : "","message" : "[^"]+","progressMax" : \d+,"progress" : \d+\}$/, own);
    assert.deepEqual([fs.readFileSync(other, 'utf8'), fs.statSync(other).mtimeMs], otherBefore, "the other server's status file is untouched");
    assert.equal((await post('/api/gain', { channel: 0, db: -9 }, { ...origin, Origin: 'http://evil.example', Cookie: session })).status, 403);
    assert.equal((await post('/api/gain', { channel: 0, db: -9 }, { 'Content-Type': 'application/json', Cookie: session })).status, 403, 'no Origin');
    await sleep(300);
    assert.equal(mixerDb(0), before, 'nothing changed');

    // A person logs in with the password and sets a gain.
    const p2 = await browser.newPage();
    p2.on('pageerror', (e) => consoleErrors.push(e.message));
    await p2.goto(`${url}/`);
    assert.equal(new URL(p2.url()).pathname, '/login.html');
    await p2.screenshot({ path: path.join(artefacts, 'login.png') });
    await p2.type('#password', 'a good password');
    await Promise.all([p2.waitForNavigation(), p2.click('button[type=submit]')]);
    await p2.waitForFunction(() => document.querySelector('#processor').textContent === 'no processor' &&
      !document.querySelector('#no-processor').hidden, { timeout: 10000 });
    assert.equal(await p2.$eval('.meter[data-meter="out0"] .db', (e) => e.textContent), '-inf');
    const input = await p2.$('#gain-db-0');
    await input.click({ clickCount: 3 });
    await input.type('-9');
    await p2.keyboard.press('Tab');
    await waitFor('Gain 0 at -9 dB after logging in', 5, () => mixerDb(0) === -9);
    await p2.screenshot({ path: path.join(artefacts, 'no-processor.png') });
    // Without a processor a saved equaliser is written, and the page says it is not switched in.
    await p2.click('.tab[data-view="equaliser"]');
    await p2.click('#eq-add');
    await p2.click('#eq-save');
    await p2.waitForFunction(() => /^saved 1 section; not switched in: no processor runs/.test(document.querySelector('#eq-message').textContent), { timeout: 10000 });
    assert.equal(JSON.parse(fs.readFileSync(path.join(home, '.mobu', 'paraEQ0.json'), 'utf8')).length, 1);
    // The output guard: which outputs are guarded and at what; a file that can't be used is refused, with the reason.
    await p2.click('.tab[data-view="files"]');
    await p2.waitForSelector('.guard-table tr[data-output="7"]', { timeout: 5000 });
    assert.deepEqual(await p2.$$eval('.guard-table tbody tr', (rows) => rows.map((r) => r.innerText.split('\t').map((c) => c.trim()))), [
      ['Out 6', '1000 Hz, order 4 (24 dB per octave)', '–', '-12 dBFS'],
      ['Out 7', '1000 Hz, order 4 (24 dB per octave)', '20000 Hz, order 2 (12 dB per octave)', '–']]);
    await p2.screenshot({ path: path.join(artefacts, 'guard.png'), fullPage: true });
    for (const [content, says] of [
      [{ outputs: [{ output: 6, highpass: { frequency: 1000, order: 4 }, gain: 3 }] }, /refused: outputs\[0\]: unknown key "gain"/],
      [{ outputs: [{ output: 6, maxLevel: 3 }] }, /refused: outputs\[0\]\.maxLevel must be a number of dBFS at most 0/],
      [{ outputs: [{ output: 6, highpass: { frequency: 1000, order: 9 } }] }, /refused: outputs\[0\]\.highpass\.order must be a whole number 1 \.\.\. 8/],
      ['{"outputs": [', /refused: not valid JSON/],
      [null, /^no output guard/],
    ]) {
      if (content === null) fs.rmSync(guardFile);
      else fs.writeFileSync(guardFile, typeof content === 'string' ? content : JSON.stringify(content));
      await p2.click('.tab[data-view="levels"]');
      await p2.click('.tab[data-view="files"]');
      await p2.waitForFunction((re) => new RegExp(re).test(document.querySelector('#guard').textContent), { timeout: 5000 }, says.source);
    }
    // A writer comes with one record (output 0 at a quarter of full scale) and goes again.
    const writer = fs.openSync(path.join(dir, 'idle-levels'), fs.constants.O_RDWR | fs.constants.O_NONBLOCK);
    const record = Buffer.alloc(56);
    [0, 1, 2, 3].forEach((w) => record.writeInt32LE(w, 4 * w));
    record.writeInt32LE(536870912, 24);
    fs.writeSync(writer, record);
    await p2.waitForFunction(() => document.querySelector('#processor').textContent === 'processor running' &&
      document.querySelector('.meter[data-meter="out0"] .db').textContent === '-12.0', { timeout: 10000 });
    // A record with output 1 at full scale counts one clip there, none elsewhere.
    const clipped = Buffer.from(record);
    clipped.writeInt32LE(2147483647, 28);
    fs.writeSync(writer, clipped);
    await p2.waitForFunction(() => document.querySelector('.meter[data-meter="out1"] .clips').textContent === 'clips 1', { timeout: 10000 });
    assert.deepEqual(await p2.$$eval('.meter .clips', (cs) => cs.map((c) => c.textContent)),
      ['clips 0', 'clips 0', 'clips 0', 'clips 1', 'clips 0', 'clips 0', 'clips 0', 'clips 0', 'clips 0', 'clips 0']);
    fs.closeSync(writer);
    await p2.waitForFunction(() => document.querySelector('#processor').textContent === 'no processor', { timeout: 10000 });
    await p2.close();
  } finally {
    await remote.stop();
  }
  assert.deepEqual(consoleErrors, []);
});
