// The web interface in a real browser (Debian's chromium through puppeteer-core) against
// scripts/ui.sh: the virtual board, a running processor with its programme, and the server.
// One browser for all scenarios; screenshots of the views go to MOBU_UI_ARTEFACTS.
'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const http = require('node:http');
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
});

test('a measurement of one channel completes and draws its impulse response and magnitude', async () => {
  await page.click('.tab[data-view="measure"]');
  await page.click('#measure-ch-1');
  await page.click('#measure-start');
  await page.waitForFunction(() => ['done', 'error'].includes(document.querySelector('#measure-phase').textContent), { timeout: 150000 });
  assert.equal(await page.$eval('#measure-phase', (e) => e.textContent), 'done', await page.$eval('#measure-message', (e) => e.textContent));
  await page.waitForSelector('.result[data-channel="1"] .magnitude canvas');
  // The room's direct sound is placed 3 ms (144 samples) into the response by the alignment.
  const info = await page.$eval('.result[data-channel="1"] .tof', (e) => e.textContent);
  const at = Number(/peak at sample (\d+)/.exec(info)[1]);
  assert.ok(Math.abs(at - 144) <= 2, info);
  // Something was drawn: the plot canvases are not blank.
  const inked = await page.$$eval('.result[data-channel="1"] canvas', (cs) => cs.map((c) => {
    const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
    let n = 0;
    for (let i = 3; i < d.length; i += 4) if (d[i] > 0) ++n;
    return n;
  }));
  assert.ok(inked.length >= 2 && inked.every((n) => n > 500), `inked pixels ${inked}`);
  await page.screenshot({ path: path.join(artefacts, 'measurement.png'), fullPage: true });
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
  await page.waitForFunction(() => document.querySelector('#eq-message').textContent.startsWith('saved'), { timeout: 5000 });
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
  assert.match(await page.$eval('#correct-log', (e) => e.textContent), /designed 1 channel\(s\): 16384 taps, 1\/6 octave, 20 \.\.\. 20000 Hz, boost at most 6 dB, minimum phase/);
  const picture = await page.waitForFunction(() => {
    const img = document.querySelector('#correct-picture');
    return !img.hidden && img.complete && img.naturalWidth > 0 && [img.naturalWidth, img.naturalHeight];
  }, { timeout: 10000 });
  const [w, h] = await picture.jsonValue();
  assert.ok(w >= 800 && h >= 400, `the design picture is ${w} x ${h}`);
  assert.equal(fs.readFileSync(filterFile).length, filterBytes, 'a design alone leaves the coefficient file');

  await page.click('#correct-apply');
  await page.waitForFunction(() => ['written', 'error'].includes(document.querySelector('#correct-state').textContent), { timeout: 60000 });
  assert.equal(await page.$eval('#correct-state', (e) => e.textContent), 'written', await page.$eval('#correct-message', (e) => e.textContent));
  assert.deepEqual(wavLayout(filterFile), { channels: 8, frames: 16384 });
  await waitFor('the processor logs the switch', 15, () => processorLog().split('switching FIR filter over').length > switchesBefore);
  await page.waitForFunction(() => /switching FIR filter over/.test(document.querySelector('#correct-switched').textContent), { timeout: 10000 });
  await page.$$eval('#messages .message button', (bs) => bs.forEach((b) => b.click()));
  await (await page.$('#room-correction')).screenshot({ path: path.join(artefacts, 'correction.png') });
  assert.deepEqual(consoleErrors, [], 'no console errors on the page');
});

test('on another address than 127.0.0.1 a request without the password is refused and changes nothing; no writer shows as no processor', async () => {
  const env = { ...alsaEnv, MOBU_UI_EXIT_WITH_PARENT: '1', HOME: path.join(board, 'home'), MOBU_NODE_ADDONS: process.env.MOBU_NODE_ADDONS || path.join(root, 'build', 'node') };
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
    assert.equal((await post('/api/login', { password: 'wrong password' })).status, 401, 'a wrong password');
    assert.equal((await fetch(`${url}/api/state`)).status, 401);
    assert.equal((await fetch(`${url}/`, { redirect: 'manual' })).status, 302, 'the page sends to the log-in');
    const ws = new WebSocket(`${url.replace('http', 'ws')}/ws`, { origin: url });
    assert.equal(await new Promise((resolve) => ws.on('unexpected-response', (_, r) => resolve(r.statusCode)).on('open', () => resolve(101))), 401);
    // With a session, a request from another site is still refused.
    const login = await post('/api/login', { password: 'a good password' });
    assert.equal(login.status, 200);
    const cookie = login.headers.get('set-cookie').split(';')[0];
    assert.equal((await post('/api/gain', { channel: 0, db: -9 }, { ...origin, Origin: 'http://evil.example', Cookie: cookie })).status, 403);
    assert.equal((await post('/api/gain', { channel: 0, db: -9 }, { 'Content-Type': 'application/json', Cookie: cookie })).status, 403, 'no Origin');
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
    // A writer comes with one record (output 0 at a quarter of full scale) and goes again.
    const writer = fs.openSync(path.join(dir, 'idle-levels'), fs.constants.O_RDWR | fs.constants.O_NONBLOCK);
    const record = Buffer.alloc(56);
    [0, 1, 2, 3].forEach((w) => record.writeInt32LE(w, 4 * w));
    record.writeInt32LE(536870912, 24);
    fs.writeSync(writer, record);
    await p2.waitForFunction(() => document.querySelector('#processor').textContent === 'processor running' &&
      document.querySelector('.meter[data-meter="out0"] .db').textContent === '-12.0', { timeout: 10000 });
    fs.closeSync(writer);
    await p2.waitForFunction(() => document.querySelector('#processor').textContent === 'no processor', { timeout: 10000 });
    await p2.close();
  } finally {
    await remote.stop();
  }
  assert.deepEqual(consoleErrors, []);
});
