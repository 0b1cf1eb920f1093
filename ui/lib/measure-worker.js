// The measurement on a thread of its own: the recorder's constructor raises the thread that
// creates it to real-time priority, so it is created here and not on the server's thread.
// Each run has a recorder of its own, which closes its devices when the run ends (done, stopped
// or failed), so that between runs the devices are free for another program.
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { parentPort, workerData } = require('node:worker_threads');

const m = require(path.join(workerData.addons, 'libMobuCal2ImpulseJS.node'));
// The recorder and the identification report to this server's own status file, not to the
// process default every other server on the machine shares.
m.setStatusFile(workerData.statusFile);
const NOT_OPEN = "The pcm device isn't open, open first.";
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
let recorder = null;
let stopRequested = false;

function post(type, data) {
  parentPort.postMessage({ type, ...data });
}

function statusFile() {
  try {
    return JSON.parse(fs.readFileSync(workerData.statusFile, 'utf8'));
  } catch {
    return null; // being replaced, or not written yet
  }
}

// What the page says beside the add-on's code, for the codes a user can cause.
const MEANING = {
  [-16]: 'busy: a recording or an identification is under way',
  [-1350]: 'no such channel on the measurement device',
  [-204]: 'no response for that channel',
};

function check(what, code) {
  if (typeof code === 'number' && code < 0) throw new Error(`${what} returned ${code}${MEANING[code] ? ` (${MEANING[code]})` : ''}`);
  return code;
}

function open() {
  if (!recorder) {
    const r = new m.PlayRecordProcessEmbedded(workerData.playback, workerData.capture);
    if (r.getStateName() === NOT_OPEN)
      throw new Error(`cannot open the measurement device ${workerData.playback} (capture ${workerData.capture})`);
    recorder = r;
  }
  return recorder;
}

async function measure(channels, taps) {
  const r = open();
  r.resetForceStopState();
  stopRequested = false;
  const max = r.getMaxPlayCh();
  for (const c of channels) {
    if (c >= max) throw new Error(`the measurement device ${workerData.playback} has ${max} channels, no channel ${c}`);
    check(`setPlayCh(${c})`, r.setPlayCh(c));
  }
  post('status', { phase: 'measuring', message: 'Starting', progress: 0, progressMax: 0 });
  check('run()', r.run());
  let last = '';
  while (r.threadRunning()) {
    const s = statusFile();
    if (s && JSON.stringify(s) !== last) {
      last = JSON.stringify(s);
      post('status', { phase: 'measuring', message: String(s.message), error: String(s.error || ''),
        progress: Number(s.progress) || 0, progressMax: Number(s.progressMax) || 0 });
    }
    await sleep(100);
  }
  if (typeof r.getRunResult === 'function') check('the recording', r.getRunResult());
  if (r.getForceStopState() || stopRequested) {
    r.resetForceStopState();
    return 'stopped';
  }
  for (const [i, c] of channels.entries()) {
    if (r.isChannelEmpty(c) === 1) throw new Error(`channel ${c}: the microphone recorded nothing`);
    post('status', { phase: 'identifying', message: `Identifying channel ${c}`, progress: i, progressMax: channels.length });
    check(`identification of channel ${c}`, r.getImpulseModelThreaded(taps, c, true, workerData.rate, 0, 0));
    while (!r.isImpulseModuleComputed()) await sleep(50);
    check(`identification of channel ${c}`, r.getImpulseModelResult());
    const n = r.getHLength();
    const h = new Float64Array(n);
    for (let k = 0; k < n; ++k) h[k] = r.getH(k, c);
    post('result', { channel: c, h, tof: r.getTOF(c), peak: r.getMaxVal(c) / 2147483647 });
    if (stopRequested) return 'stopped';
  }
  return 'done';
}

/** Closes the run's devices; the next run opens them again with a new recorder. */
async function release() {
  const r = recorder;
  recorder = null;
  if (!r) return;
  if (r.threadRunning()) r.stop();
  while (r.threadRunning() || !r.isImpulseModuleComputed()) await sleep(50);
  check('releasing the measurement devices', r.releaseDevices());
}

parentPort.on('message', (msg) => {
  if (msg.cmd === 'start') {
    // The devices are closed before the end of the run is told, so that the next run (or
    // another program) finds them free.
    measure(msg.channels, msg.taps).then(async (end) => {
      await release();
      post(end, {});
    }, async (e) => {
      await release().catch(() => {});
      post('error', { message: e.message });
    }).catch((e) => post('error', { message: e.message }));
  } else if (msg.cmd === 'stop') {
    stopRequested = true;
    if (recorder && recorder.threadRunning()) recorder.stop();
  }
});
