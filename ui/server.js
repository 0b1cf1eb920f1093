#!/usr/bin/env node
// The processor's reference web interface: live levels from the metering FIFO, the output
// gains through the mixer, measurements through the measurement add-on, room correction through
// mobu-correct and the equaliser file.
//
//   node server.js [--address=A] [--port=N] [--config=FILE] [--addons=DIR] [--password-file=FILE]
//                  [--measure-playback=DEV] [--measure-capture=DEV] [--status-file=FILE] [--rate=HZ]
//                  (--status-file: where the measurement reports its progress; by default a
//                  file in a new folder of the server's own under the temporary directory)
//                  [--correct-tool=PROGRAM] [--crossover-tool=PROGRAM] [--processor-log=FILE]
//
// Bound to 127.0.0.1 (the default) it is open to the local machine; bound to any other address
// it asks for the password kept in --password-file (see set-password.js).
'use strict';
const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');
const { WebSocketServer } = require('ws');

const { readProcessorConfig } = require('./lib/config');
const { LevelReader } = require('./lib/levels');
const { Mixer } = require('./lib/mixer');
const { Measurement } = require('./lib/measure');
const { Correction, validate: validateCorrection } = require('./lib/correct');
const { Crossover, validate: validateCrossover } = require('./lib/crossover');
const equaliser = require('./lib/equaliser');
const files = require('./lib/files');
const { Access, readPasswordFile } = require('./lib/auth');
const guard = require('./lib/guard');
const backup = require('./lib/backup');
const exporter = require('./lib/export');

const MAX_BODY = 16 * 1024;
const MAX_ARCHIVE = 64 * 1024 * 1024; // a restored backup: coefficient files of a few MiB
const LOCAL = '127.0.0.1';
// Connections: at most SOCKETS_PER_ADDRESS open from one client address (a further one closes
// that address's oldest idle connection, or is refused when none is idle), and WebSockets at
// most WS_PER_ADDRESS per address; those of a logged-in session count apart, up to
// WS_PER_SESSION, so nobody without the password can take the user's place.  A WebSocket that
// answers no ping within PING_MS is closed, and so is one whose session ended.
const SOCKETS_PER_ADDRESS = 32;
const SOCKETS_ALL = 512;
const WS_PER_ADDRESS = 8;
const WS_PER_SESSION = 8;
const PING_MS = 15000;

function defaultAddons() {
  if (process.env.MOBU_NODE_ADDONS) return process.env.MOBU_NODE_ADDONS;
  const built = path.join(__dirname, '..', 'build', 'node');
  return fs.existsSync(built) ? built : path.join(__dirname, '..', '..', 'lib', 'node');
}

/** The tool of this checkout's build beside the interface, else the installed one on the PATH. */
function defaultTool(name) {
  const built = path.join(__dirname, '..', 'build', 'applications', name);
  return fs.existsSync(built) ? built : name;
}

function parseArgs(argv) {
  const o = {
    address: LOCAL, port: 8080, config: '/etc/mobu/mobu-processor.conf', addons: defaultAddons(),
    'password-file': '/etc/mobu/ui-password', 'measure-playback': 'mobu_measure_playback',
    'measure-capture': 'mobu_measure_capture', 'status-file': '', rate: 48000,
    'correct-tool': defaultTool('mobu-correct'), 'crossover-tool': defaultTool('mobu-crossover'), 'processor-log': '',
  };
  for (const a of argv) {
    const m = /^--([a-z-]+)=(.*)$/.exec(a);
    if (!m || !(m[1] in o)) throw new Error(`unknown argument ${a}`);
    o[m[1]] = m[2];
  }
  o.port = Number(o.port);
  o.rate = Number(o.rate);
  if (!Number.isInteger(o.port) || o.port < 0 || o.port > 65535) throw new Error(`--port must be 0 ... 65535`);
  if (!Number.isInteger(o.rate) || o.rate < 8000 || o.rate > 768000) throw new Error(`--rate must be 8000 ... 768000`);
  if (o['status-file'] && !path.isAbsolute(o['status-file'])) throw new Error('--status-file must be an absolute path');
  return o;
}

const STATIC = {
  '/': ['public/index.html', 'text/html'],
  '/index.html': ['public/index.html', 'text/html'],
  '/login.html': ['public/login.html', 'text/html'],
  '/app.js': ['public/app.js', 'text/javascript'],
  '/dsp.js': ['public/dsp.js', 'text/javascript'],
  '/login.js': ['public/login.js', 'text/javascript'],
  '/style.css': ['public/style.css', 'text/css'],
  '/favicon.svg': ['public/favicon.svg', 'image/svg+xml'],
  '/vendor/uPlot.iife.min.js': ['node_modules/uplot/dist/uPlot.iife.min.js', 'text/javascript'],
  '/vendor/uPlot.min.css': ['node_modules/uplot/dist/uPlot.min.css', 'text/css'],
};
const OPEN_PATHS = new Set(['/login.html', '/login.js', '/style.css', '/favicon.svg']);

class HttpError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

function readBody(req) {
  return new Promise((resolve, reject) => {
    const type = String(req.headers['content-type'] || '');
    if (!type.startsWith('application/json')) {
      reject(new HttpError(415, 'requests must be application/json'));
      req.resume();
      return;
    }
    if (Number(req.headers['content-length'] || 0) > MAX_BODY) {
      reject(new HttpError(413, `requests are limited to ${MAX_BODY} bytes`));
      req.resume();
      return;
    }
    const parts = [];
    let size = 0;
    req.on('data', (chunk) => {
      size += chunk.length;
      if (size > MAX_BODY) {
        reject(new HttpError(413, `requests are limited to ${MAX_BODY} bytes`));
        req.destroy();
        return;
      }
      parts.push(chunk);
    });
    req.on('end', () => {
      let body;
      try {
        body = JSON.parse(Buffer.concat(parts).toString('utf8') || '{}');
      } catch {
        reject(new HttpError(400, 'the request is not valid JSON'));
        return;
      }
      if (typeof body !== 'object' || body === null || Array.isArray(body)) reject(new HttpError(400, 'the request must be a JSON object'));
      else resolve(body);
    });
    req.on('error', reject);
  });
}

/** The raw body of an upload of `type`, at most `limit` bytes. */
function readUpload(req, type, limit) {
  return new Promise((resolve, reject) => {
    if (!String(req.headers['content-type'] || '').startsWith(type)) {
      req.resume();
      reject(new HttpError(415, `uploads must be ${type}`));
      return;
    }
    const parts = [];
    let size = 0;
    req.on('data', (chunk) => {
      size += chunk.length;
      if (size > limit) {
        reject(new HttpError(413, `uploads are limited to ${limit} bytes`));
        req.destroy();
        return;
      }
      parts.push(chunk);
    });
    req.on('end', () => resolve(Buffer.concat(parts)));
    req.on('error', reject);
  });
}

function localHosts(address, port) {
  const names = [];
  if (address === '0.0.0.0' || address === '::') {
    for (const list of Object.values(os.networkInterfaces()))
      for (const i of list || []) names.push(i.family === 'IPv6' ? `[${i.address}]` : i.address);
    names.push(os.hostname(), `${os.hostname()}.local`);
  } else {
    names.push(address.includes(':') ? `[${address}]` : address);
    if (address === LOCAL) names.push('localhost');
  }
  return names.map((n) => `${n}:${port}`.toLowerCase());
}

function processorLogSize(file) {
  try {
    return file ? fs.statSync(file).size : 0;
  } catch {
    return 0;
  }
}

/** What the processor logged after byte `from` (at most 1 MiB). */
function processorLogSince(file, from) {
  let fd;
  try {
    fd = fs.openSync(file, 'r');
    const size = fs.fstatSync(fd).size;
    const b = Buffer.alloc(Math.max(0, Math.min(size - from, 1 << 20)));
    fs.readSync(fd, b, 0, b.length, from);
    return b.toString('utf8');
  } catch {
    return '';
  } finally {
    if (fd !== undefined) fs.closeSync(fd);
  }
}

class UiServer {
  constructor(options) {
    this.o = options;
    this.config = readProcessorConfig(options.config);
    this.levelMeter = require(path.join(options.addons, 'libLevelMeter.node'));
    this.requirePassword = options.address !== LOCAL;
    this.stored = this.requirePassword ? readPasswordFile(options['password-file']) : null;
    this.clients = new Set();
    this.problems = [];
    this.processor = null; // true: records come; false: the FIFO has no writer; null: not read yet
    // The measurement's progress file: the one given, else one in a folder of this server's own
    // (removed when it stops), so that two servers on one machine never read each other's.
    if (!options['status-file']) {
      this.statusDir = fs.mkdtempSync(path.join(os.tmpdir(), 'mobu-ui-status-'));
      options['status-file'] = path.join(this.statusDir, 'status.json');
    }

    this.levels = new LevelReader(this.config.fifopath, this.levelMeter);
    this.levels.on('record', (r) => this.broadcast({ type: 'levels', inputs: r.inputs, outputs: r.outputs }));
    this.levels.on('writer', (on) => {
      this.processor = on;
      this.broadcast({ type: 'processor', running: on });
    });
    this.levels.on('problem', (text) => this.problem(text));

    this.mixer = new Mixer(this.config.mixerDevice);
    this.mixer.on('change', (state) => this.broadcast({ type: 'mixer', mixer: state }));
    this.mixer.on('problem', (text) => this.problem(text));

    this.measurement = new Measurement({
      addons: options.addons, playback: options['measure-playback'], capture: options['measure-capture'],
      statusFile: options['status-file'], rate: options.rate,
      store: path.join(path.dirname(this.config.paraeqPath), 'measurements'), // beside the equaliser, in ~/.mobu
    });
    this.measurement.on('change', (summary) => this.broadcast({ type: 'measurement', measurement: summary }));

    this.correction = new Correction({ tool: options['correct-tool'], filter: this.config.filter, rate: options.rate,
      processorLog: options['processor-log'], running: () => this.processor });
    this.correction.on('change', (summary) => this.broadcast({ type: 'correction', correction: summary }));
    this.correction.on('written', () => this.broadcast({ type: 'files', files: this.filesState() }));

    this.crossover = new Crossover({ tool: options['crossover-tool'], filter: this.config.filter, rate: options.rate,
      processorLog: options['processor-log'], running: () => this.processor, home: path.dirname(this.config.paraeqPath),
      guard: guard.pathFor(this.config) });
    this.crossover.on('change', (summary) => this.broadcast({ type: 'crossover', crossover: summary }));
    this.crossover.on('written', () => this.broadcast({ type: 'files', files: this.filesState(),
      guard: guard.read(guard.pathFor(this.config), this.o.rate) }));
  }

  problem(text) {
    console.error(text);
    this.broadcast({ type: 'problem', message: text });
  }

  broadcast(msg) {
    if (!this.clients.size) return;
    const text = JSON.stringify(msg);
    for (const ws of this.clients) if (ws.readyState === 1 && ws.bufferedAmount < 1 << 20) ws.send(text);
  }

  filesState() {
    const c = this.config;
    return {
      config: files.describe(c.file),
      filter: files.describe(c.filter, true),
      paraeq: files.describe(c.paraeqPath),
      paraeqName: c.paraeq,
      mixerDevice: c.mixerDevice,
      fifo: files.describe(c.fifopath),
      guard: guard.read(guard.pathFor(this.config), this.o.rate),
      measurePlayback: this.o['measure-playback'],
      measureCapture: this.o['measure-capture'],
      statusFile: this.o['status-file'],
    };
  }

  fullState() {
    return {
      type: 'state', rate: this.o.rate, processor: this.processor, mixer: this.mixer.state(),
      measurement: this.measurement.summary(), correction: this.correction.summary(), crossover: this.crossover.summary(), files: this.filesState(),
      passwordRequired: this.requirePassword,
      layout: { inputs: this.levelMeter.IN_CHCNT, outputs: this.levelMeter.OUT_CHCNT },
    };
  }

  async listen() {
    this.http = http.createServer((req, res) => {
      req.socket.mobuBusy = true;
      res.on('close', () => { req.socket.mobuBusy = false; });
      this.handle(req, res).catch((e) => this.fail(res, e));
    });
    this.http.headersTimeout = 10000;
    this.http.requestTimeout = 30000;
    this.http.maxConnections = SOCKETS_ALL;
    this.sockets = new Map(); // client address -> its open connections, oldest first
    this.http.on('connection', (socket) => this.admit(socket));
    this.wss = new WebSocketServer({ noServer: true, maxPayload: 1024 });
    this.http.on('upgrade', (req, socket, head) => {
      try {
        this.upgrade(req, socket, head);
      } catch (e) {
        // Whatever a client sends, the server goes on: this socket alone is closed.
        console.error(`WebSocket request refused: ${e.message}`);
        socket.destroy();
      }
    });
    this.pinger = setInterval(() => this.ping(), PING_MS);
    this.pinger.unref();
    await new Promise((resolve, reject) => {
      this.http.once('error', reject);
      this.http.listen(this.o.port, this.o.address, resolve);
    });
    this.port = this.http.address().port;
    this.access = new Access({ required: this.requirePassword, stored: this.stored, hosts: () => localHosts(this.o.address, this.port) });
    this.levels.pause(); // until a page watches
    this.levels.start();
    await this.mixer.start();
    return this.port;
  }

  /** Keeps one address from holding every connection: its oldest idle one makes room. */
  admit(socket) {
    const address = socket.remoteAddress || '';
    socket.on('error', () => socket.destroy());
    let list = this.sockets.get(address);
    if (!list) this.sockets.set(address, (list = new Set()));
    if (list.size >= SOCKETS_PER_ADDRESS) {
      const idle = [...list].find((s) => !s.mobuBusy && !s.mobuUpgraded);
      if (idle) idle.destroy();
      else {
        socket.destroy();
        return;
      }
    }
    list.add(socket);
    socket.mobuRelease = () => {
      list.delete(socket);
      if (!list.size && this.sockets.get(address) === list) this.sockets.delete(address);
    };
    socket.on('close', socket.mobuRelease);
  }

  /** Pings every WebSocket; one that did not answer the last ping, or whose session ended, is closed. */
  ping() {
    for (const ws of this.clients) {
      if (!this.access.alive(ws.mobuToken)) {
        ws.close(4001, 'logged out');
        continue;
      }
      if (!ws.mobuAlive) {
        ws.terminate();
        continue;
      }
      ws.mobuAlive = false;
      ws.ping();
    }
  }

  close() {
    clearInterval(this.pinger);
    this.levels.stop();
    this.mixer.stop();
    this.measurement.close();
    this.correction.close();
    this.crossover.close();
    for (const ws of this.clients) ws.terminate();
    if (this.http) this.http.close();
    if (this.statusDir) fs.rmSync(this.statusDir, { recursive: true, force: true });
  }

  upgrade(req, socket, head) {
    socket.on('error', () => socket.destroy());
    const refuse = (status, text) => {
      socket.end(`HTTP/1.1 ${status} ${text}\r\nConnection: close\r\n\r\n`);
    };
    let pathname;
    try {
      pathname = new URL(req.url, 'http://x').pathname;
    } catch {
      return refuse(400, 'Bad Request');
    }
    if (pathname !== '/ws') return refuse(404, 'Not Found');
    if (!this.access.hostAllowed(req) || !this.access.originAllowed(req)) return refuse(403, 'Forbidden');
    if (!this.access.session(req)) return refuse(401, 'Unauthorized');
    // A session's sockets count apart from its address's, so others at that address can't crowd it out.
    const token = this.requirePassword ? this.access.token(req) : null;
    const address = req.socket.remoteAddress || '';
    const mine = [...this.clients].filter((w) => (token ? w.mobuToken === token : !w.mobuToken && w.mobuAddress === address));
    if (mine.length >= (token ? WS_PER_SESSION : WS_PER_ADDRESS)) mine[0].close(1008, 'too many connections: the oldest is closed');
    socket.mobuUpgraded = true;
    if (socket.mobuRelease) socket.mobuRelease(); // WebSockets are counted apart, by the limits above
    this.wss.handleUpgrade(req, socket, head, (ws) => {
      ws.mobuToken = token;
      ws.mobuAddress = address;
      ws.mobuAlive = true;
      ws.on('pong', () => { ws.mobuAlive = true; });
      this.clients.add(ws);
      this.levels.resume();
      ws.on('close', () => {
        this.clients.delete(ws);
        if (!this.clients.size) this.levels.pause();
      });
      ws.on('error', () => ws.terminate());
      ws.on('message', () => {}); // the page sends its changes as HTTP requests
      ws.send(JSON.stringify(this.fullState()));
    });
  }

  fail(res, e) {
    const status = e instanceof HttpError ? e.status : 400;
    if (!(e instanceof HttpError)) console.error(`request failed: ${e.message}`);
    if (res.headersSent) {
      res.destroy();
      return;
    }
    this.send(res, status, { error: e.message });
  }

  send(res, status, body, headers = {}) {
    res.writeHead(status, {
      'Content-Type': 'application/json', 'Cache-Control': 'no-store', 'X-Content-Type-Options': 'nosniff', ...headers,
    });
    res.end(JSON.stringify(body));
  }

  staticFile(req, res, url) {
    const [file, type] = STATIC[url.pathname];
    const host = String(req.headers.host);
    res.writeHead(200, {
      'Content-Type': `${type}; charset=utf-8`,
      'Cache-Control': 'no-cache',
      'X-Content-Type-Options': 'nosniff',
      'X-Frame-Options': 'DENY',
      'Referrer-Policy': 'no-referrer',
      'Content-Security-Policy': `default-src 'self'; connect-src 'self' ws://${host}; img-src 'self' data:; style-src 'self'; frame-ancestors 'none'`,
    });
    fs.createReadStream(path.join(__dirname, file)).on('error', () => res.destroy()).pipe(res);
  }

  async handle(req, res) {
    const a = this.access;
    if (!a.hostAllowed(req)) throw new HttpError(403, 'unknown host name');
    let url;
    try {
      url = new URL(req.url, 'http://x');
    } catch {
      req.resume();
      throw new HttpError(400, 'malformed request path');
    }
    if (req.method === 'GET' && STATIC[url.pathname]) {
      if (!OPEN_PATHS.has(url.pathname) && (url.pathname.endsWith('.html') || url.pathname === '/')) {
        if (!a.session(req)) {
          res.writeHead(302, { Location: '/login.html', 'Cache-Control': 'no-store' });
          res.end();
          return;
        }
      }
      this.staticFile(req, res, url);
      return;
    }
    if (req.method === 'POST') {
      // Every change comes from a page of this server (no other site's form or script).
      if (!a.originAllowed(req)) {
        req.resume();
        throw new HttpError(403, 'cross-site request refused');
      }
      if (url.pathname === '/api/login') return this.login(req, res);
    }
    if (!url.pathname.startsWith('/api/')) throw new HttpError(404, 'not found');
    if (!a.session(req)) {
      req.resume();
      throw new HttpError(401, 'log in first');
    }
    const route = `${req.method} ${url.pathname}`;
    const exported = req.method === 'GET' && /^\/api\/measurement\/(impulse|response)-([0-7])\.(wav|txt)$/.exec(url.pathname);
    if (exported && (exported[1] === 'impulse') === (exported[3] === 'wav')) {
      const r = this.measurement.results.find((x) => x.channel === Number(exported[2]));
      if (!r) throw new HttpError(404, `output ${exported[2]} is not in the measurement shown`);
      const wav = exported[3] === 'wav';
      const body = wav ? exporter.impulseWav(this.o.rate, r.h) : exporter.responseText(this.o.rate, r.h, r.channel, this.measurement.state.date);
      res.writeHead(200, { 'Content-Type': wav ? 'audio/wav' : 'text/plain; charset=utf-8', 'Cache-Control': 'no-store',
        'X-Content-Type-Options': 'nosniff', 'Content-Disposition': `attachment; filename="${exported[1]}-${r.channel}.${exported[3]}"` });
      res.end(body);
      return undefined;
    }
    const kept = req.method === 'GET' && /^\/api\/measurement\/kept\/([^/]+)$/.exec(url.pathname);
    if (kept) {
      try {
        return this.send(res, 200, this.measurement.run(kept[1]));
      } catch (e) {
        throw new HttpError(404, e.message);
      }
    }
    switch (route) {
      case 'GET /api/state':
        return this.send(res, 200, this.fullState());
      case 'POST /api/logout': {
        req.resume();
        const { cookie, token } = a.logout(req);
        // The session's pages stop receiving at once.
        if (token) for (const ws of this.clients) if (ws.mobuToken === token) ws.close(4001, 'logged out');
        return this.send(res, 200, {}, { 'Set-Cookie': cookie });
      }
      case 'POST /api/gain': {
        const body = await readBody(req);
        try {
          return this.send(res, 200, { mixer: await this.mixer.set(body) });
        } catch (e) {
          throw new HttpError(400, e.message);
        }
      }
      case 'GET /api/measurement':
        return this.send(res, 200, { ...this.measurement.summary(), results: this.measurement.results });
      case 'POST /api/measurement': {
        const body = await readBody(req);
        try {
          this.measurement.start(body);
        } catch (e) {
          throw new HttpError(409, e.message);
        }
        this.correction.forget(); // its design belongs to the responses being replaced
        this.crossover.forget();
        return this.send(res, 200, this.measurement.summary());
      }
      case 'POST /api/measurement/load': {
        const body = await readBody(req);
        try {
          this.measurement.load(body.id);
        } catch (e) {
          throw new HttpError(409, e.message);
        }
        this.correction.forget(); // its design belongs to the responses replaced
        this.crossover.forget();
        return this.send(res, 200, this.measurement.summary());
      }
      case 'POST /api/measurement/stop':
        req.resume();
        try {
          this.measurement.stop();
        } catch (e) {
          throw new HttpError(409, e.message);
        }
        return this.send(res, 200, this.measurement.summary());
      case 'GET /api/correction':
        return this.send(res, 200, this.correction.summary());
      case 'GET /api/correction/design.png': {
        const picture = this.correction.picture();
        if (!picture) throw new HttpError(404, 'no correction designed yet');
        res.writeHead(200, { 'Content-Type': 'image/png', 'Cache-Control': 'no-store', 'X-Content-Type-Options': 'nosniff' });
        fs.createReadStream(picture).on('error', () => res.destroy()).pipe(res);
        return undefined;
      }
      case 'POST /api/correction': {
        const body = await readBody(req);
        try {
          validateCorrection(body, this.o.rate);
        } catch (e) {
          throw new HttpError(400, e.message);
        }
        try {
          if (this.measurement.busy()) throw new Error('a measurement is running');
          this.correction.design(body, this.measurement.results);
        } catch (e) {
          throw new HttpError(409, e.message);
        }
        return this.send(res, 200, this.correction.summary());
      }
      case 'POST /api/correction/apply':
        req.resume();
        try {
          this.correction.apply();
        } catch (e) {
          throw new HttpError(409, e.message);
        }
        return this.send(res, 200, this.correction.summary());
      case 'POST /api/correction/undo':
        req.resume();
        try {
          this.correction.undo();
        } catch (e) {
          throw new HttpError(409, e.message);
        }
        return this.send(res, 200, this.correction.summary());
      case 'GET /api/crossover':
        return this.send(res, 200, this.crossover.summary());
      case 'GET /api/crossover/design.png': {
        const picture = this.crossover.picture();
        if (!picture) throw new HttpError(404, 'no crossover designed yet');
        res.writeHead(200, { 'Content-Type': 'image/png', 'Cache-Control': 'no-store', 'X-Content-Type-Options': 'nosniff' });
        fs.createReadStream(picture).on('error', () => res.destroy()).pipe(res);
        return undefined;
      }
      case 'POST /api/crossover': {
        const body = await readBody(req);
        try {
          validateCrossover(body, this.crossover.home);
        } catch (e) {
          throw new HttpError(400, e.message);
        }
        try {
          if (this.measurement.busy() || this.correction.busy()) throw new Error('a measurement or a correction is under way');
          this.crossover.design(body, this.measurement.results);
        } catch (e) {
          throw new HttpError(409, e.message);
        }
        return this.send(res, 200, this.crossover.summary());
      }
      case 'POST /api/crossover/apply':
        req.resume();
        try {
          if (this.correction.busy()) throw new Error('a correction is being written');
          this.crossover.apply();
        } catch (e) {
          throw new HttpError(409, e.message);
        }
        return this.send(res, 200, this.crossover.summary());
      case 'GET /api/backup': {
        const archive = backup.create(this.config);
        const stamp = new Date().toISOString().replace(/[-:]/g, '').replace(/\..*$/, '');
        res.writeHead(200, { 'Content-Type': 'application/x-tar', 'Content-Disposition': `attachment; filename="mobu-backup-${stamp}.tar"`,
          'Cache-Control': 'no-store', 'X-Content-Type-Options': 'nosniff' });
        res.end(archive);
        return undefined;
      }
      case 'POST /api/restore': {
        if (this.measurement.busy() || this.correction.busy()) {
          req.resume();
          throw new HttpError(409, 'a measurement or a correction is under way: restore afterwards');
        }
        const archive = await readUpload(req, 'application/x-tar', MAX_ARCHIVE);
        const logStart = processorLogSize(this.o['processor-log']);
        let written;
        try {
          written = backup.restore(this.config, archive, this.o.rate);
        } catch (e) {
          throw new HttpError(400, `nothing restored: ${e.message}`);
        }
        this.broadcast({ type: 'files', files: this.filesState() });
        this.correction.update({ backup: fs.existsSync(`${this.config.filter}.previous`) });
        return this.send(res, 200, { written, switched: await this.switchedIn(logStart, /switching (FIR filter|paraEQs) over/) });
      }
      case 'GET /api/processor':
        return this.send(res, 200, this.processorStatus());
      case 'GET /api/guard':
        return this.send(res, 200, guard.read(guard.pathFor(this.config), this.o.rate));
      case 'GET /api/equaliser': {
        const r = equaliser.read(this.config.paraeqPath);
        return this.send(res, 200, { ...r, path: this.config.paraeqPath, rate: this.o.rate, limits: equaliser.LIMITS, maxSections: equaliser.MAX_SECTIONS,
          headroomDb: equaliser.HEADROOM_DB });
      }
      case 'POST /api/equaliser': {
        const body = await readBody(req);
        let sections;
        try {
          sections = equaliser.validate(body.sections, this.o.rate);
        } catch (e) {
          throw new HttpError(400, e.message);
        }
        const logStart = processorLogSize(this.o['processor-log']);
        try {
          equaliser.write(this.config.paraeqPath, sections);
        } catch (e) {
          throw new HttpError(500, `cannot write ${this.config.paraeqPath}: ${e.message}`);
        }
        this.broadcast({ type: 'files', files: this.filesState() });
        return this.send(res, 200, { sections, path: this.config.paraeqPath, switched: await this.switchedIn(logStart, /switching paraEQs over/) });
      }
      default:
        req.resume();
        throw new HttpError(404, `no ${route}`);
    }
  }

  /**
   * What the processor's log (--processor-log) tells of it: its rate, period and latency as it
   * set them at its last start, and how often it started again after an over/under-run.
   */
  processorStatus() {
    const status = { running: this.processor, log: Boolean(this.o['processor-log']), rate: null, period: null, latencyMs: null, restarts: null };
    if (!status.log) return status;
    const size = processorLogSize(this.o['processor-log']);
    const text = processorLogSince(this.o['processor-log'], Math.max(0, size - (1 << 20)));
    const set = [...text.matchAll(/requested latency : ([\d.]+) fs: ([\d.]+) setting N = (\d+)/g)].pop();
    if (set) Object.assign(status, { rate: Number(set[2]), period: Number(set[3]), latencyMs: 1000 * Number(set[1]) });
    status.restarts = text.split('starting the processor again').length - 1;
    return status;
  }

  /**
   * After a file write: 'switched' when the processor logged the switch (pattern) within a few
   * seconds, 'no processor' when none runs, 'unknown' when its log is not known here, 'not yet'.
   */
  async switchedIn(from, pattern) {
    if (this.processor === false) return 'no processor';
    const log = this.o['processor-log'];
    if (!log) return 'unknown';
    const end = Date.now() + 5000;
    while (Date.now() < end) {
      if (pattern.test(processorLogSince(log, from))) return 'switched';
      await new Promise((resolve) => setTimeout(resolve, 100));
    }
    return 'not yet';
  }

  async login(req, res) {
    const a = this.access;
    const body = await readBody(req);
    if (!this.requirePassword) return this.send(res, 200, {});
    const address = req.socket.remoteAddress || '';
    if (a.throttled(address)) throw new HttpError(429, 'too many failed logins: wait a minute');
    const cookie = a.login(body.password, address);
    if (!cookie) {
      await new Promise((resolve) => setTimeout(resolve, 500));
      throw new HttpError(401, 'wrong password');
    }
    return this.send(res, 200, {}, { 'Set-Cookie': cookie });
  }
}

async function main() {
  let options;
  try {
    options = parseArgs(process.argv.slice(2));
  } catch (e) {
    console.error(`mobu-ui: ${e.message}`);
    process.exit(2);
  }
  let server;
  try {
    server = new UiServer(options);
    await server.listen();
  } catch (e) {
    console.error(`mobu-ui: ${e.message}`);
    if (/password file/.test(e.message)) console.error('Set one with: node ui/set-password.js --password-file=FILE (or scripts/ui.sh --set-password)');
    process.exit(1);
  }
  const shown = options.address.includes(':') ? `[${options.address}]` : options.address;
  console.log(`mobu-ui: listening on http://${shown}:${server.port}/${server.requirePassword ? ' (password required)' : ''}`);
  const stop = () => {
    server.close();
    process.exit(0);
  };
  process.on('SIGINT', stop);
  process.on('SIGTERM', stop);
  // MOBU_UI_EXIT_WITH_PARENT=1: a server started by a test or a script goes when they go.
  if (process.env.MOBU_UI_EXIT_WITH_PARENT === '1') {
    const parent = process.ppid;
    setInterval(() => { if (process.ppid !== parent) stop(); }, 1000).unref();
  }
}

if (require.main === module) main();

module.exports = { UiServer, parseArgs };
