// Access to the interface from the network: a password kept as a salted scrypt hash in a file,
// sessions held in memory and named by a random cookie, and the checks that keep other sites
// and other host names out (Host and Origin must be this server's own address).
'use strict';
const crypto = require('node:crypto');
const fs = require('node:fs');
const { writeReplacing } = require('./files');

const SCRYPT = { N: 16384, r: 8, p: 1 };
const KEY_LENGTH = 32;
const SESSION_SECONDS = 12 * 3600;
const MAX_SESSIONS = 32;
const COOKIE = 'mobu_session';
// Failed logins allowed per minute: from one client address, and from all of them together (a
// ceiling against guessing from many addresses, far above what one person mistypes).
const FAILURES_PER_ADDRESS = 5;
const FAILURES_ALL = 100;
const FAILURE_WINDOW_MS = 60000;

function hashPassword(password, salt = crypto.randomBytes(16)) {
  const hash = crypto.scryptSync(password, salt, KEY_LENGTH, SCRYPT);
  return { algorithm: 'scrypt', ...SCRYPT, salt: salt.toString('base64'), hash: hash.toString('base64') };
}

function writePasswordFile(file, password) {
  writeReplacing(file, JSON.stringify(hashPassword(password)) + '\n', 0o600);
}

/** Reads the password file; throws an Error naming the file when it is missing or malformed. */
function readPasswordFile(file) {
  let doc;
  try {
    doc = JSON.parse(fs.readFileSync(file, 'utf8'));
  } catch (e) {
    throw new Error(`cannot read the password file ${file}: ${e.message}`);
  }
  if (doc.algorithm !== 'scrypt' || typeof doc.salt !== 'string' || typeof doc.hash !== 'string')
    throw new Error(`the password file ${file} holds no scrypt hash`);
  return doc;
}

function parseCookies(header) {
  const out = {};
  for (const part of (header || '').split(';')) {
    const eq = part.indexOf('=');
    if (eq > 0) out[part.slice(0, eq).trim()] = part.slice(eq + 1).trim();
  }
  return out;
}

class Access {
  /**
   * required: whether a password is needed; stored: the password file's content; hosts: a
   * function giving the "address:port" forms this server answers to (asked on every request,
   * since a server on every interface follows their addresses).
   */
  constructor({ required, stored, hosts }) {
    this.required = required;
    this.stored = stored;
    this.hostList = hosts;
    this.sessions = new Map();
    this.failures = new Map(); // client address -> times of its failed logins
    this.allFailures = [];
  }

  hostAllowed(req) {
    return this.hostList().includes(String(req.headers.host || '').toLowerCase());
  }

  /** A state-changing request or a WebSocket must come from a page of this server. */
  originAllowed(req) {
    const origin = req.headers.origin;
    if (!origin) return false;
    return origin.startsWith('http://') && this.hostList().includes(origin.slice('http://'.length).toLowerCase());
  }

  /** The session token of a request when it names a live session (null otherwise). */
  token(req) {
    const token = parseCookies(req.headers.cookie)[COOKIE];
    if (!token) return null;
    const until = this.sessions.get(token);
    if (!until || until < Date.now()) {
      this.sessions.delete(token);
      return null;
    }
    return token;
  }

  session(req) {
    return !this.required || this.token(req) !== null;
  }

  /** Whether a token (from token()) still names a live session. */
  alive(token) {
    if (!this.required) return true;
    const until = this.sessions.get(token);
    return until !== undefined && until >= Date.now();
  }

  /** Too many failed logins lately from this address (or from everywhere): refuse for a while. */
  throttled(address) {
    const now = Date.now();
    const recent = (list) => list.filter((t) => now - t < FAILURE_WINDOW_MS);
    this.allFailures = recent(this.allFailures);
    for (const [a, list] of this.failures) {
      const kept = recent(list);
      if (kept.length) this.failures.set(a, kept);
      else this.failures.delete(a);
    }
    return (this.failures.get(address) || []).length >= FAILURES_PER_ADDRESS || this.allFailures.length >= FAILURES_ALL;
  }

  /** Checks a password from a client address; returns a Set-Cookie value, or null. */
  login(password, address) {
    if (typeof password !== 'string' || password.length > 1024) return null;
    const s = this.stored;
    const want = Buffer.from(s.hash, 'base64');
    const got = crypto.scryptSync(password, Buffer.from(s.salt, 'base64'), want.length, { N: s.N, r: s.r, p: s.p });
    if (!crypto.timingSafeEqual(want, got)) {
      const now = Date.now();
      this.failures.set(address, [...(this.failures.get(address) || []), now]);
      this.allFailures.push(now);
      return null;
    }
    if (this.sessions.size >= MAX_SESSIONS) this.sessions.delete(this.sessions.keys().next().value);
    const token = crypto.randomBytes(32).toString('base64url');
    this.sessions.set(token, Date.now() + SESSION_SECONDS * 1000);
    return `${COOKIE}=${token}; HttpOnly; SameSite=Strict; Path=/; Max-Age=${SESSION_SECONDS}`;
  }

  /** Ends the request's session; returns { cookie: the Set-Cookie value that clears it, token: the ended one }. */
  logout(req) {
    const token = parseCookies(req.headers.cookie)[COOKIE];
    this.sessions.delete(token);
    return { cookie: `${COOKIE}=; HttpOnly; SameSite=Strict; Path=/; Max-Age=0`, token };
  }
}

module.exports = { Access, writePasswordFile, readPasswordFile, hashPassword };
