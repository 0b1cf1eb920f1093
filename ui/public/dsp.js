// Signal processing of the page: the equaliser's peaking sections (designed as the processor
// designs them) and their response, and the magnitude of a measured impulse response.
'use strict';
const Dsp = (() => {
  /** One peaking section at fc (fraction of half the sample rate): { b: [b0, b1, b2], a: [1, a1, a2] }. */
  function peaking(fc, dB, Q) {
    const G0 = 1, G = 10 ** (dB / 20), wc = Math.PI * fc, GB = Math.sqrt(G * G0);
    const s = G === G0 ? 1 : Math.sqrt((GB * GB - G0 * G0) / (G * G - GB * GB));
    const r = (1 + Math.sqrt(1 + 4 * Q * Q)) / (2 * Q); // upper band edge over the centre
    let beta;
    if (fc * r * r > 1) { // the upper edge above half the sample rate
      const t1 = Math.tan(wc / (2 * r)), t2 = Math.tan(wc / 2), t3 = (t2 * t2) / t1;
      beta = (s * (t3 - t1)) / (1 + t1 * t3);
    } else beta = s * Math.tan(wc / (2 * Q));
    return {
      b: [(G0 + G * beta) / (1 + beta), (-2 * G0 * Math.cos(wc)) / (1 + beta), (G0 - G * beta) / (1 + beta)],
      a: [1, (-2 * Math.cos(wc)) / (1 + beta), (1 - beta) / (1 + beta)],
    };
  }

  /** |H| in dB of a cascade of sections {Fc, dB, Q} at each frequency in Hz. */
  function cascadeDb(sections, freqs, fs) {
    const coeffs = sections.map((s) => peaking((2 * s.Fc) / fs, s.dB, s.Q));
    return freqs.map((f) => {
      const w = (2 * Math.PI * f) / fs;
      const c1 = Math.cos(w), s1 = Math.sin(w), c2 = Math.cos(2 * w), s2 = Math.sin(2 * w);
      let db = 0;
      for (const { b, a } of coeffs) {
        const nr = b[0] + b[1] * c1 + b[2] * c2, ni = -(b[1] * s1 + b[2] * s2);
        const dr = a[0] + a[1] * c1 + a[2] * c2, di = -(a[1] * s1 + a[2] * s2);
        db += 10 * Math.log10((nr * nr + ni * ni) / (dr * dr + di * di));
      }
      return db;
    });
  }

  function logFreqs(lo, hi, n) {
    return Array.from({ length: n }, (_, k) => lo * (hi / lo) ** (k / (n - 1)));
  }

  /** Power spectrum |X(k)|^2, k = 0 ... n/2, of x zero-padded to n (a power of two). */
  function powerSpectrum(x, n) {
    const re = new Float64Array(n), im = new Float64Array(n);
    re.set(x.slice(0, n));
    for (let i = 1, j = 0; i < n; ++i) { // bit-reversed order
      let bit = n >> 1;
      for (; j & bit; bit >>= 1) j ^= bit;
      j ^= bit;
      if (i < j) { [re[i], re[j]] = [re[j], re[i]]; }
    }
    for (let len = 2; len <= n; len <<= 1) {
      const ang = (-2 * Math.PI) / len, wr = Math.cos(ang), wi = Math.sin(ang);
      for (let i = 0; i < n; i += len) {
        let cr = 1, ci = 0;
        for (let k = 0; k < len / 2; ++k) {
          const a = i + k, b = a + len / 2;
          const tr = re[b] * cr - im[b] * ci, ti = re[b] * ci + im[b] * cr;
          re[b] = re[a] - tr; im[b] = im[a] - ti;
          re[a] += tr; im[a] += ti;
          const nr = cr * wr - ci * wi;
          ci = cr * wi + ci * wr;
          cr = nr;
        }
      }
    }
    return Float64Array.from({ length: n / 2 + 1 }, (_, k) => re[k] * re[k] + im[k] * im[k]);
  }

  /**
   * The magnitude of an impulse response at log-spaced frequencies: raw and smoothed over
   * `fraction` of an octave (power averaged over the band around each frequency), in dB.
   */
  function magnitude(h, fs, fraction = 6, points = 400) {
    let n = 1;
    while (n < Math.max(h.length, 8192)) n <<= 1;
    const p = powerSpectrum(h, n);
    const prefix = new Float64Array(p.length + 1);
    for (let k = 0; k < p.length; ++k) prefix[k + 1] = prefix[k] + p[k];
    const df = fs / n, half = 2 ** (1 / (2 * fraction));
    const freqs = logFreqs(20, Math.min(20000, fs / 2), points);
    const raw = [], smooth = [];
    for (const f of freqs) {
      const k = Math.round(f / df);
      raw.push(10 * Math.log10(p[Math.min(k, p.length - 1)] + 1e-30));
      const lo = Math.max(0, Math.floor(f / half / df)), hi = Math.min(p.length - 1, Math.ceil((f * half) / df));
      smooth.push(10 * Math.log10((prefix[hi + 1] - prefix[lo]) / (hi - lo + 1) + 1e-30));
    }
    return { freqs, raw, smooth };
  }

  return { peaking, cascadeDb, logFreqs, magnitude };
})();
