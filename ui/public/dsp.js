// Signal processing of the page: the equaliser's peaking sections (designed as the processor
// designs them) and their response; the magnitude, phase and group delay of a measured impulse
// response and its time window.
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

  /** The DFT X(k), k = 0 ... n - 1, of x zero-padded to n (a power of two): { re, im }. */
  function fft(x, n) {
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
    return { re, im };
  }

  /** The index of the largest absolute value of h. */
  function peakIndex(h) {
    let best = 0;
    for (let k = 1; k < h.length; ++k) if (Math.abs(h[k]) > Math.abs(h[best])) best = k;
    return best;
  }

  /**
   * The time window around the peak of h: 1 from `left` samples before the peak to `right`
   * samples after it, falling to 0 at both ends as half a Hann window over each side.  Left or
   * right null: that side is not windowed (1 up to the response's end).
   */
  function timeWindow(length, peak, left, right) {
    const w = new Float64Array(length).fill(1);
    for (let k = 0; k < length; ++k) {
      const d = k - peak;
      if (d < 0 && left !== null) w[k] = -d >= left ? 0 : 0.5 * (1 + Math.cos((Math.PI * d) / left));
      if (d > 0 && right !== null) w[k] = d >= right ? 0 : 0.5 * (1 + Math.cos((Math.PI * d) / right));
    }
    return w;
  }

  /**
   * The frequency response of an impulse response at log-spaced frequencies from 20 Hz: the
   * magnitude in dB, raw and smoothed over `fraction` of an octave (power averaged over the band
   * around each frequency); the phase in degrees with the delay of the response's peak taken out
   * (so that a response arriving late still shows its own phase); the group delay in ms, raw and
   * smoothed (weighted by the power in the band), from the DFTs of h and n h.
   */
  function response(h, fs, fraction = 6, points = 400) {
    let n = 1;
    while (n < Math.max(h.length, 8192)) n <<= 1;
    const X = fft(h, n), Y = fft(Array.from(h, (v, k) => k * v), n);
    const half = n / 2 + 1;
    const p = new Float64Array(half), tau = new Float64Array(half);
    for (let k = 0; k < half; ++k) {
      p[k] = X.re[k] * X.re[k] + X.im[k] * X.im[k];
      tau[k] = p[k] > 0 ? (Y.re[k] * X.re[k] + Y.im[k] * X.im[k]) / p[k] : 0; // Re(Y / X), in samples
    }
    const prefix = new Float64Array(half + 1), prefixTau = new Float64Array(half + 1);
    for (let k = 0; k < half; ++k) {
      prefix[k + 1] = prefix[k] + p[k];
      prefixTau[k + 1] = prefixTau[k] + p[k] * tau[k];
    }
    const df = fs / n, band = 2 ** (1 / (2 * fraction)), peak = peakIndex(h);
    const freqs = logFreqs(20, Math.min(20000, fs / 2), points);
    const out = { freqs, raw: [], smooth: [], phase: [], delay: [], delaySmooth: [], peak };
    for (const f of freqs) {
      const k = Math.min(Math.round(f / df), half - 1);
      out.raw.push(10 * Math.log10(p[k] + 1e-30));
      const lo = Math.max(0, Math.floor(f / band / df)), hi = Math.min(half - 1, Math.ceil((f * band) / df));
      const power = prefix[hi + 1] - prefix[lo];
      out.smooth.push(10 * Math.log10(power / (hi - lo + 1) + 1e-30));
      const shift = (2 * Math.PI * k * peak) / n; // the peak's delay taken out: X(k) e^{+j w peak}
      const re = X.re[k] * Math.cos(shift) - X.im[k] * Math.sin(shift), im = X.re[k] * Math.sin(shift) + X.im[k] * Math.cos(shift);
      out.phase.push((180 / Math.PI) * Math.atan2(im, re));
      out.delay.push((1000 * tau[k]) / fs);
      out.delaySmooth.push(power > 0 ? (1000 * (prefixTau[hi + 1] - prefixTau[lo])) / power / fs : 0);
    }
    return out;
  }

  /** The magnitude of an impulse response (see response()): { freqs, raw, smooth } in dB. */
  function magnitude(h, fs, fraction = 6, points = 400) {
    const r = response(h, fs, fraction, points);
    return { freqs: r.freqs, raw: r.raw, smooth: r.smooth };
  }

  /** ys (at ascending xs) at the frequencies f, linearly in log frequency; null outside xs. */
  function interpolate(xs, ys, f) {
    return f.map((x) => {
      if (!(x >= xs[0] && x <= xs[xs.length - 1])) return null;
      let lo = 0, hi = xs.length - 1;
      while (hi - lo > 1) {
        const mid = (lo + hi) >> 1;
        if (xs[mid] <= x) lo = mid; else hi = mid;
      }
      if (hi === lo || xs[hi] === xs[lo]) return ys[lo];
      const t = Math.log(x / xs[lo]) / Math.log(xs[hi] / xs[lo]);
      return ys[lo] + t * (ys[hi] - ys[lo]);
    });
  }

  return { peaking, cascadeDb, logFreqs, fft, peakIndex, timeWindow, response, magnitude, interpolate };
})();
