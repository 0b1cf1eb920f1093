// Shared pieces of the add-on tests: where the add-ons are, scratch directories, the virtual
// board, and WAV files of 32-bit integer samples.
'use strict';
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { wavBytes } = require('../../ui/lib/files');

const addonDir = process.env.MOBU_NODE_ADDONS;
const testAddonDir = process.env.MOBU_NODE_TEST_ADDONS;

function addon(name) {
  return require(path.join(addonDir, name + '.node'));
}
function testAddon(name) {
  return require(path.join(testAddonDir, name + '.node'));
}

function tempDir(tag) {
  return fs.mkdtempSync(path.join(os.tmpdir(), `mobu-node-${tag}-`));
}

/** A virtual board in dir (mobu-board-config options); returns its ALSA configuration path. */
function makeBoard(dir, options) {
  const r = spawnSync(process.env.MOBU_BOARD_CONFIG, [dir, ...options], { encoding: 'utf8' });
  if (r.status !== 0) throw new Error(`mobu-board-config failed: ${r.stderr}`);
  return path.join(dir, 'asound.conf');
}

/** Removes the board's shared memory (its loops) and the directory. */
function removeBoard(dir) {
  const conf = fs.readFileSync(path.join(dir, 'asound.conf'), 'utf8');
  const shm = /shm "([^"]+)"/.exec(conf);
  if (shm) for (const n of [shm[1], shm[1] + '-programme']) fs.rmSync(`/dev/shm/${n}`, { force: true });
  fs.rmSync(dir, { recursive: true, force: true });
}

/** A WAV file of 32-bit integer samples; channels[c][t] in -1 ... 1. */
function writeWav(file, rate, channels) {
  fs.writeFileSync(file, wavBytes(rate, channels));
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

/** Polls until done() is true or the time runs out; calls each() on every round. */
async function waitFor(done, seconds, each = () => {}) {
  const end = Date.now() + seconds * 1000;
  while (!done()) {
    if (Date.now() > end) return false;
    each();
    await sleep(20);
  }
  return true;
}

module.exports = { addon, testAddon, tempDir, makeBoard, removeBoard, writeWav, sleep, waitFor };
