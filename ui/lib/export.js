// A measured response in files other tools read: the impulse response as a 32-bit float WAV
// (its values as identified, no scaling), and the frequency response as text, one line per
// frequency: "Hz dB degrees", 1/48 octave apart from 10 Hz to half the rate, computed by a
// direct DFT of the whole response at each frequency (no smoothing).
'use strict';

function impulseWav(rate, h) {
  const n = h.length;
  const b = Buffer.alloc(44 + 4 * n);
  b.write('RIFF', 0); b.writeUInt32LE(36 + 4 * n, 4); b.write('WAVE', 8);
  b.write('fmt ', 12); b.writeUInt32LE(16, 16); b.writeUInt16LE(3, 20); b.writeUInt16LE(1, 22); // IEEE float, mono
  b.writeUInt32LE(rate, 24); b.writeUInt32LE(rate * 4, 28); b.writeUInt16LE(4, 32); b.writeUInt16LE(32, 34);
  b.write('data', 36); b.writeUInt32LE(4 * n, 40);
  for (let t = 0; t < n; ++t) b.writeFloatLE(h[t], 44 + 4 * t);
  return b;
}

function responseText(rate, h, channel, date) {
  const lines = [`* frequency response of output ${channel}${date ? `, measured ${date}` : ''}`,
    `* ${h.length} samples at ${rate} Hz; dB re the played level (0 dB: the microphone receives what the output plays)`,
    '* Freq(Hz) SPL(dB) Phase(degrees)'];
  for (let f = 10; f <= rate / 2; f *= 2 ** (1 / 48)) {
    const w = (2 * Math.PI * f) / rate;
    let re = 0, im = 0;
    for (let t = 0; t < h.length; ++t) {
      re += h[t] * Math.cos(w * t);
      im -= h[t] * Math.sin(w * t);
    }
    const db = 10 * Math.log10(re * re + im * im + 1e-30);
    lines.push(`${f.toFixed(3)} ${db.toFixed(3)} ${((Math.atan2(im, re) * 180) / Math.PI).toFixed(2)}`);
  }
  return lines.join('\n') + '\n';
}

module.exports = { impulseWav, responseText };
