#!/usr/bin/env node
// The virtual board's side of scripts/ui.sh on a PC.
//
//   pc-board.js files DIR     writes into DIR what the processor and the interface use:
//                             filters.wav (output c: an impulse of -2c dB), home/.mobu/paraEQ0.json
//                             (no sections, kept when present), processor.conf and measure.conf
//                             (the measurement devices: a lock-step loop through a small room)
//   pc-board.js programme     writes an endless stereo programme to standard output (S32_LE,
//                             48 kHz): 200 Hz left and 1 kHz right at -6 dBFS
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { wavBytes, writeReplacing } = require('../lib/files');

const RATE = 48000;

function wav(file, rate, columns) {
  writeReplacing(file, wavBytes(rate, columns));
}

function files(dir) {
  dir = path.resolve(dir);
  fs.mkdirSync(path.join(dir, 'home', '.mobu'), { recursive: true });
  const taps = 1024;
  wav(path.join(dir, 'filters.wav'), RATE, Array.from({ length: 8 }, (_, c) => {
    const h = new Array(taps).fill(0);
    h[0] = 10 ** ((-2 * c) / 20);
    return h;
  }));
  // A room for the measurement loop: the direct sound 30 samples in and two reflections.
  const room = new Array(600).fill(0);
  room[30] = 0.5;
  room[120] = -0.2;
  room[260] = 0.1;
  wav(path.join(dir, 'room.wav'), RATE, [room]);
  const eq = path.join(dir, 'home', '.mobu', 'paraEQ0.json');
  if (!fs.existsSync(eq)) fs.writeFileSync(eq, '[]\n');
  fs.writeFileSync(path.join(dir, 'processor.conf'), `MobuFullDuplexFIR {
    filter "${dir}/filters.wav"
    paraeq "paraEQ0.json"
    mixerDevice "board"
    fifopath "${dir}/levels"
    statusfile "${dir}/processor-status.json"
}
`);
  const shm = `mobuloop-${process.getuid()}-ui-measure-${Buffer.from(dir).toString('hex').slice(-12)}`;
  const loop = (name, description) => `pcm.${name} {
    type mobuloop
    shm "${shm}"
    mode "lockstep"
    rate ${RATE}
    playback_channels 8
    capture_channels 2
    room "${dir}/room.wav"
    hint.description "${description}"
}
`;
  fs.writeFileSync(path.join(dir, 'measure.conf'),
    '# The measurement devices of the interface on the virtual board: a lock-step loop whose\n' +
    '# microphone hears every output through a small room.\n' +
    loop('mobu_measure_playback', 'Virtual loudspeakers (measurement)') + loop('mobu_measure_capture', 'Virtual microphone (measurement)'));
  console.log(shm);
}

function programme() {
  const frames = RATE / 10; // whole cycles of both tones in each block
  const b = Buffer.alloc(frames * 8);
  for (let t = 0; t < frames; ++t) {
    b.writeInt32LE(Math.round(0.5 * Math.sin((2 * Math.PI * 200 * t) / RATE) * 2147483647), 8 * t);
    b.writeInt32LE(Math.round(0.5 * Math.sin((2 * Math.PI * 1000 * t) / RATE) * 2147483647), 8 * t + 4);
  }
  const write = () => {
    while (process.stdout.write(b));
    process.stdout.once('drain', write);
  };
  process.stdout.on('error', () => process.exit(0)); // the player has gone
  write();
}

if (process.argv[2] === 'files' && process.argv[3]) files(process.argv[3]);
else if (process.argv[2] === 'programme') programme();
else {
  console.error('usage: pc-board.js files DIR | pc-board.js programme');
  process.exit(2);
}
