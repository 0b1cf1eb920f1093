#!/usr/bin/env node
// Sets the web interface's password: reads it from the terminal (not echoed) or from standard
// input, and stores a salted scrypt hash of it, readable by its owner only.
//
//   node set-password.js [--password-file=FILE]     (default /etc/mobu/ui-password)
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { writePasswordFile } = require('./lib/auth');

const MIN_LENGTH = 8;

function fromTerminal(prompt) {
  return new Promise((resolve) => {
    process.stdout.write(prompt);
    const stdin = process.stdin;
    stdin.setRawMode(true);
    stdin.resume();
    let text = '';
    const onData = (buf) => {
      for (const ch of buf.toString('utf8')) {
        if (ch === '\r' || ch === '\n') {
          stdin.setRawMode(false);
          stdin.pause();
          stdin.off('data', onData);
          process.stdout.write('\n');
          resolve(text);
          return;
        }
        if (ch === '\u0003') process.exit(130);
        if (ch === '\u007f') text = text.slice(0, -1);
        else text += ch;
      }
    };
    stdin.on('data', onData);
  });
}

async function main() {
  let file = '/etc/mobu/ui-password';
  for (const a of process.argv.slice(2)) {
    const m = /^--password-file=(.+)$/.exec(a);
    if (!m) {
      console.error(`set-password: unknown argument ${a}`);
      process.exit(2);
    }
    file = m[1];
  }
  let password;
  if (process.stdin.isTTY) {
    password = await fromTerminal('New password: ');
    if ((await fromTerminal('Again: ')) !== password) {
      console.error('set-password: the two entries differ; nothing changed');
      process.exit(1);
    }
  } else {
    password = fs.readFileSync(0, 'utf8').split('\n')[0];
  }
  if (password.length < MIN_LENGTH) {
    console.error(`set-password: the password needs at least ${MIN_LENGTH} characters; nothing changed`);
    process.exit(1);
  }
  try {
    fs.mkdirSync(path.dirname(file), { recursive: true });
    writePasswordFile(file, password);
  } catch (e) {
    console.error(`set-password: cannot write ${file}: ${e.message}`);
    process.exit(1);
  }
  console.log(`set-password: the password hash is in ${file}`);
}

main();
