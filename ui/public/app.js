// The page: meters, gains, measurement, equaliser and files, kept up to date over a WebSocket;
// every change is an HTTP request whose errors are shown as messages.
'use strict';
(() => {
  const FULL_SCALE = 2147483647;
  const FLOOR_DB = -60; // bottom of the meters
  const HOLD_MS = 2000, FALL_DB_PER_S = 20;
  const $ = (sel, root = document) => root.querySelector(sel);
  const el = (tag, attrs = {}, ...children) => {
    const e = document.createElement(tag);
    for (const [k, v] of Object.entries(attrs)) {
      if (k === 'text') e.textContent = v;
      else if (k.startsWith('on')) e.addEventListener(k.slice(2), v);
      else e.setAttribute(k, v);
    }
    e.append(...children);
    return e;
  };

  const state = { rate: 48000, processor: false, mixer: null, measurement: null, files: null, eq: [], eqPath: '', limits: null };
  const charts = { eq: null, results: new Map() };

  // ---- messages ---------------------------------------------------------------------------
  function message(text, kind = 'error') {
    const box = $('#messages');
    const item = el('div', { class: `message ${kind}` }, el('span', { text }),
      el('button', { class: 'link', text: 'dismiss', onclick: () => item.remove() }));
    box.append(item);
    while (box.children.length > 5) box.firstChild.remove();
    if (kind !== 'error') setTimeout(() => item.remove(), 4000);
  }

  document.addEventListener('keydown', (ev) => {
    if (ev.key === 'Escape') for (const m of document.querySelectorAll('#messages .message')) m.remove();
  });

  async function api(method, url, body) {
    let r;
    try {
      r = await fetch(url, {
        method, headers: body ? { 'Content-Type': 'application/json' } : {}, body: body ? JSON.stringify(body) : undefined,
      });
    } catch (e) {
      throw new Error(`cannot reach the server: ${e.message}`);
    }
    if (r.status === 401) {
      location.href = '/login.html';
      throw new Error('log in first');
    }
    const data = await r.json().catch(() => ({}));
    if (!r.ok) throw new Error(data.error || `${method} ${url}: ${r.status}`);
    return data;
  }

  // ---- tabs -------------------------------------------------------------------------------
  function show(view) {
    for (const t of document.querySelectorAll('.tab')) t.setAttribute('aria-selected', String(t.dataset.view === view));
    for (const v of document.querySelectorAll('.view')) v.hidden = v.id !== `view-${view}`;
    if (view === 'equaliser') drawEq();
    if (view === 'measure') drawResults();
    if (view === 'files') {
      api('GET', '/api/guard').then(showGuard, (e) => message(e.message));
      api('GET', '/api/processor').then(showProcessor, (e) => message(e.message));
    }
    history.replaceState(null, '', `#${view}`);
  }
  for (const t of document.querySelectorAll('.tab')) t.addEventListener('click', () => show(t.dataset.view));

  // ---- meters -----------------------------------------------------------------------------
  const meters = [];
  function buildMeters(inputs, outputs) {
    const box = $('#meters');
    box.textContent = '';
    meters.length = 0;
    const names = [...Array.from({ length: inputs }, (_, k) => [`in${k}`, inputs === 2 ? ['In L', 'In R'][k] : `In ${k}`]),
      ...Array.from({ length: outputs }, (_, k) => [`out${k}`, `Out ${k}`])];
    for (const [id, label] of names) {
      const fill = el('div', { class: 'fill' }), hold = el('div', { class: 'hold' });
      const db = el('div', { class: 'db', text: '–' }), max = el('div', { class: 'max', text: '' });
      const clips = el('div', { class: 'clips', text: 'clips 0', title: 'periods with a sample at full scale since the page opened (or the last reset)' });
      const slot = el('div', { class: 'gain-slot', id: id.startsWith('out') ? `gain-slot-${id.slice(3)}` : `slot-${id}` });
      box.append(el('div', { class: `column ${id.startsWith('in') ? 'input' : 'output'}` },
        el('div', { class: 'meter', 'data-meter': id },
          el('div', { class: 'label', text: label }), el('div', { class: 'bar' }, fill, hold, scaleMarks()), db, max, clips), slot));
      meters.push({ id, fill, hold, db, max, clips, clipCount: 0, level: -Infinity, held: -Infinity, heldAt: 0, fresh: false });
    }
  }
  function scaleMarks() {
    const s = el('div', { class: 'marks' });
    for (const d of [0, -6, -12, -24, -36, -48]) {
      const mark = el('span', { text: String(d) });
      mark.style.bottom = `${pos(d)}%`; // through the style object: the page allows no inline styles
      s.append(mark);
    }
    return s;
  }
  const pos = (db) => Math.max(0, Math.min(100, ((db - FLOOR_DB) / -FLOOR_DB) * 100));
  const toDb = (peak) => (peak > 0 ? 20 * Math.log10(peak / FULL_SCALE) : -Infinity);
  const fmtDb = (db) => (db === -Infinity ? '-inf' : db.toFixed(1));

  function takeLevels(msg) {
    const now = performance.now();
    [...msg.inputs, ...msg.outputs].forEach((peak, k) => {
      const m = meters[k];
      if (!m) return;
      m.level = toDb(peak);
      m.fresh = true;
      if (peak >= FULL_SCALE) { // a sample at full scale: the period clipped (or came within one step of it)
        m.clipCount += 1;
        m.clips.textContent = `clips ${m.clipCount}`;
        m.clips.classList.add('hot');
      }
      if (m.level >= m.held || now - m.heldAt > HOLD_MS) {
        if (m.level >= m.held) { m.held = m.level; m.heldAt = now; }
      }
    });
  }
  let lastFrame = performance.now();
  function frame(now) {
    const dt = (now - lastFrame) / 1000;
    lastFrame = now;
    for (const m of meters) {
      if (now - m.heldAt > HOLD_MS && m.held > m.level) m.held = Math.max(m.level, m.held - FALL_DB_PER_S * dt);
      if (!m.fresh && !state.processor) continue;
      m.fresh = false;
      m.fill.style.height = `${pos(m.level)}%`;
      m.fill.classList.toggle('hot', m.level > -3);
      m.hold.style.bottom = `${pos(m.held)}%`;
      m.hold.hidden = m.held === -Infinity;
      m.db.textContent = fmtDb(m.level);
      m.max.textContent = m.held === -Infinity ? '' : `max ${fmtDb(m.held)}`;
    }
    requestAnimationFrame(frame);
  }

  $('#clips-reset').addEventListener('click', () => {
    for (const m of meters) { m.clipCount = 0; m.clips.textContent = 'clips 0'; m.clips.classList.remove('hot'); }
  });

  function setProcessor(running) {
    state.processor = running === true;
    const b = $('#processor');
    b.textContent = running === null ? 'reading levels' : running ? 'processor running' : 'no processor';
    b.className = `badge ${running ? 'on' : 'off'}`;
    $('#no-processor').hidden = running !== false;
    if (!running) for (const m of meters) { m.level = -Infinity; m.held = -Infinity; m.fresh = true; }
  }

  // ---- gains ------------------------------------------------------------------------------
  const gainRows = [];
  function buildGains(n) {
    gainRows.length = 0;
    for (let c = 0; c < n; ++c) {
      const number = el('input', { type: 'number', id: `gain-db-${c}`, step: '0.5', 'aria-label': `Gain ${c} in dB` });
      const slider = el('input', { type: 'range', id: `gain-slider-${c}`, step: '0.5', 'aria-label': `Gain ${c}` });
      const mute = el('button', { id: `mute-${c}`, class: 'toggle', 'aria-pressed': 'false', text: 'Mute' });
      const invert = el('button', { id: `invert-${c}`, class: 'toggle', 'aria-pressed': 'false', text: 'Invert' });
      const row = { c, number, slider, mute, invert, box: null };
      const sendDb = (v) => setGain({ channel: c, db: Number(v) });
      number.addEventListener('change', () => {
        // An empty field (or one the browser can't read as a number) is no value: nothing changes.
        const text = number.value.trim();
        if (text === '' || !Number.isFinite(Number(text))) {
          message(`Gain ${c}: ${number.validity.badInput || text !== '' ? 'not a number' : 'empty'}: the gain stays as it is`);
          if (state.mixer) showMixer(state.mixer, true);
          return;
        }
        sendDb(text);
      });
      slider.addEventListener('input', () => { number.value = slider.value; });
      slider.addEventListener('change', () => sendDb(slider.value));
      mute.addEventListener('click', () => setGain({ channel: c, mute: mute.getAttribute('aria-pressed') !== 'true' }));
      invert.addEventListener('click', () => setGain({ channel: c, invert: invert.getAttribute('aria-pressed') !== 'true' }));
      row.box = el('div', { class: 'gain', 'data-channel': String(c) }, el('div', { class: 'label', text: `Gain ${c}` }),
        slider, el('div', { class: 'num' }, number, el('span', { text: 'dB' })), el('div', { class: 'buttons' }, mute, invert));
      const slot = $(`#gain-slot-${c}`);
      slot.textContent = '';
      slot.append(row.box);
      gainRows.push(row);
    }
  }
  async function setGain(request) {
    try {
      showMixer((await api('POST', '/api/gain', request)).mixer);
    } catch (e) {
      message(e.message);
      if (state.mixer) showMixer(state.mixer);
    }
  }
  function showMixer(mixer, refill = false) {
    state.mixer = mixer;
    $('#mixer-device').textContent = mixer.device;
    mixer.channels.forEach((ch, c) => {
      const row = gainRows[c];
      if (!row) return;
      const s = ch.scale || { min: -12, max: 12, step: 0.5 };
      for (const i of [row.number, row.slider]) { i.min = s.min; i.max = s.max; i.step = s.step; }
      const missing = ch.db === null;
      row.number.disabled = row.slider.disabled = missing;
      if (!missing && (refill || document.activeElement !== row.number)) row.number.value = ch.db.toFixed(1);
      if (!missing && document.activeElement !== row.slider) row.slider.value = ch.db;
      for (const [b, on] of [[row.mute, ch.mute], [row.invert, ch.invert]]) {
        b.disabled = on === null;
        b.setAttribute('aria-pressed', String(on === true));
      }
      row.box.classList.toggle('muted', ch.mute === true);
    });
  }

  // ---- measurement ------------------------------------------------------------------------
  function buildMeasure() {
    const fs = $('#measure-channels');
    for (let c = 0; c < 8; ++c)
      fs.append(el('label', { class: 'check' }, el('input', { type: 'checkbox', id: `measure-ch-${c}`, value: String(c) }), ` ${c}`));
    $('#measure-start').addEventListener('click', async () => {
      const channels = [...document.querySelectorAll('#measure-channels input:checked')].map((i) => Number(i.value));
      try {
        showMeasurement(await api('POST', '/api/measurement', { channels, taps: Number($('#measure-taps').value) }));
      } catch (e) {
        message(e.message);
      }
    });
    // The form shows the run on the server until the person changes it.
    $('#measure-channels').addEventListener('change', () => { measureFormTouched = true; });
    $('#measure-smoothing').addEventListener('change', drawResults);
    $('#measure-detail').addEventListener('change', drawResults);
    for (const sel of ['#measure-window-left', '#measure-window-right']) $(sel).addEventListener('change', drawResults);
    $('#measure-import').addEventListener('change', async () => {
      const input = $('#measure-import');
      for (const file of input.files) {
        try {
          if (file.size > 64 << 20) throw new Error(`${file.name}: larger than 64 MiB`);
          state.imports = [...(state.imports || []), parseImport(file.name, await file.arrayBuffer())];
          showHistory(state.measurement || {});
        } catch (e) {
          message(`import: ${e.message}`);
        }
      }
      input.value = '';
      drawResults();
    });
    $('#measure-overlay').addEventListener('change', async () => {
      const id = $('#measure-overlay').value;
      state.overlay = null;
      try {
        if (id.startsWith('import:')) {
          const imported = state.imports[Number(id.slice(7))];
          state.overlay = { label: imported.name, imported };
        } else if (id) {
          const run = await api('GET', `/api/measurement/kept/${encodeURIComponent(id)}`);
          const before = id === state.verifiedFrom ? 'before the write, ' : ''; // the run a correction was designed from
          state.overlay = { label: `${before}${new Date(run.date).toLocaleString('en-GB')}`, results: run.results };
        }
      } catch (e) {
        message(e.message);
      }
      drawResults();
    });
    $('#measure-taps').addEventListener('change', () => { measureFormTouched = true; });
    $('#measure-show').addEventListener('click', async () => {
      try {
        measureFormTouched = false;
        showMeasurement(await api('POST', '/api/measurement/load', { id: $('#measure-history').value }));
      } catch (e) {
        message(e.message);
      }
    });
    $('#measure-stop').addEventListener('click', async () => {
      try {
        showMeasurement(await api('POST', '/api/measurement/stop'));
      } catch (e) {
        message(e.message);
      }
    });
  }
  const BUSY = ['starting', 'measuring', 'identifying', 'stopping'];
  let fetchedResults = '';
  let measureFormTouched = false;
  function showHistory(m) {
    const select = $('#measure-history');
    const options = (m.history || []).map((h) => el('option', { value: h.id,
      text: `${new Date(h.date).toLocaleString('en-GB')}: output${h.channels.length > 1 ? 's' : ''} ${h.channels.join(', ')}, ${h.taps} samples` }));
    select.textContent = '';
    select.append(...options);
    if (m.run) select.value = m.run;
    const overlay = $('#measure-overlay'), chosen = overlay.value;
    overlay.textContent = '';
    overlay.append(el('option', { value: '', text: 'none' }), ...options.map((o) => el('option', { value: o.value, text: o.textContent })),
      ...(state.imports || []).map((x, k) => el('option', { value: `import:${k}`, text: `imported: ${x.name}` })));
    overlay.value = [...overlay.options].some((o) => o.value === chosen) ? chosen : '';
    $('#measure-history-row').hidden = !options.length && !(state.imports || []).length;
  }
  async function showMeasurement(m) {
    const before = state.measurement;
    state.measurement = m;
    const busy = BUSY.includes(m.phase);
    $('#measure-start').disabled = busy;
    $('#measure-stop').disabled = !busy;
    if (!measureFormTouched) {
      for (const box of document.querySelectorAll('#measure-channels input')) box.checked = m.channels.includes(Number(box.value));
      if (m.taps) $('#measure-taps').value = String(m.taps);
    }
    showHistory(m);
    if (state.verifyBefore && m.phase === 'done' && m.run && m.run !== state.verifyBefore) {
      const overlay = $('#measure-overlay');
      overlay.value = state.verifyBefore;
      state.verifiedFrom = state.verifyBefore;
      state.verifyBefore = '';
      overlay.dispatchEvent(new Event('change'));
    } else if (state.verifyBefore && ['error', 'stopped'].includes(m.phase)) state.verifyBefore = '';
    $('#measure-show').disabled = busy;
    $('#measure-phase').textContent = m.phase;
    $('#measure-phase').className = `phase ${m.phase}`;
    $('#measure-message').textContent = m.error ? m.error : m.message + (m.progressMax ? ` (${m.progress} of ${m.progressMax})` : '');
    const p = $('#measure-progress');
    if (m.phase === 'done') { p.max = 1; p.value = 1; } else if (m.progressMax) { p.max = m.progressMax; p.value = m.progress; } else if (busy) p.removeAttribute('value');
    else p.value = 0;
    if (m.phase === 'error' && (!before || before.phase !== 'error' || before.error !== m.error)) message(`measurement: ${m.error}`);
    const key = JSON.stringify([m.run, m.results.map((r) => [r.channel, r.tof])]);
    if (m.results.length && key !== fetchedResults) {
      fetchedResults = key;
      try {
        const full = await api('GET', '/api/measurement');
        state.results = full.results;
        drawResults();
      } catch (e) {
        message(e.message);
      }
    } else if (!m.results.length && fetchedResults) {
      fetchedResults = '';
      state.results = [];
      drawResults();
    }
  }

  function chartWidth(node) {
    return Math.max(280, node.clientWidth - 8);
  }

  /** The time window of the form in samples: { left, right }, null for a side left empty. */
  function windowSamples(rate) {
    const side = (sel) => {
      const x = $(sel), v = Number(x.value);
      const ok = x.value === '' || (Number.isFinite(v) && v >= 0.1 && v <= 1000);
      x.classList.toggle('invalid', !ok);
      x.setAttribute('aria-invalid', String(!ok));
      return x.value === '' || !ok ? null : Math.round((v * rate) / 1000);
    };
    return { left: side('#measure-window-left'), right: side('#measure-window-right') };
  }

  /**
   * A response for the charts: its impulse response (windowed as the form says) and the curves
   * at log frequencies; or, for an imported frequency response, its own curves.
   */
  function curves(item, smoothing) {
    if (!item.h) {
      const freqs = Dsp.logFreqs(20, 20000, 400);
      const db = Dsp.interpolate(item.freqs, item.db, freqs);
      const phase = item.phase ? Dsp.interpolate(item.freqs, item.phase, freqs) : null;
      // The group delay of a text response: -dphase/dw of its unwrapped phase, at its own points.
      let delay = null;
      if (item.phase) {
        const un = [item.phase[0]];
        for (let k = 1; k < item.phase.length; ++k) {
          let d = item.phase[k] - item.phase[k - 1];
          d -= 360 * Math.round(d / 360);
          un.push(un[k - 1] + d);
        }
        const gd = un.map((_, k) => {
          const i = Math.max(0, k - 1), j = Math.min(un.length - 1, k + 1);
          return i === j ? 0 : (-1000 * (un[j] - un[i])) / 360 / (item.freqs[j] - item.freqs[i]);
        });
        delay = Dsp.interpolate(item.freqs, gd, freqs);
      }
      return { freqs, raw: db, smooth: db, phase, delay, delaySmooth: delay, h: null, rate: state.rate };
    }
    const rate = item.rate || state.rate;
    const peak = Dsp.peakIndex(item.h);
    const { left, right } = windowSamples(rate);
    const w = left === null && right === null ? null : Dsp.timeWindow(item.h.length, peak, left, right);
    const h = w ? item.h.map((v, k) => v * w[k]) : item.h;
    return { ...Dsp.response(h, rate, smoothing || 6), h: item.h, window: w, rate };
  }

  /** Draws one card: the impulse response with its window, the magnitude and the phase or group delay. */
  function drawCard(box, key, title, item, info, exportsLine, overlay) {
    const smoothing = Number($('#measure-smoothing').value); // 0: none
    const detail = $('#measure-detail').value;
    const c = curves(item, smoothing);
    const o = overlay ? curves(overlay.item, smoothing) : null;
    const chartsBox = el('div', { class: 'charts' });
    const card = el('div', { class: 'panel result', 'data-channel': String(key) }, el('h2', { text: title }), ...(info ? [info] : []),
      ...(exportsLine ? [exportsLine] : []), chartsBox);
    box.append(card);
    const list = [];
    if (c.h) {
      const impulse = el('div', { class: 'chart impulse' });
      chartsBox.append(impulse);
      const t = c.h.map((_, k) => (1000 * k) / c.rate);
      const top = c.h.reduce((m, x) => Math.max(m, Math.abs(x)), 0);
      const series = [{ label: 'ms' }, { label: 'h', stroke: '#1f6fb2', width: 1 }];
      const data = [t, c.h];
      if (c.window) {
        series.push({ label: 'window', stroke: '#e0a82e', width: 2 });
        data.push(Array.from(c.window, (v) => v * top));
      }
      list.push(new uPlot({
        title: c.window ? 'Impulse response and its time window' : 'Impulse response', width: chartWidth(impulse), height: 240,
        scales: { x: { time: false } }, axes: [{ label: 'ms' }, { label: 'amplitude', size: 60 }], series, legend: { show: Boolean(c.window) },
      }, data, impulse));
    }
    const mag = el('div', { class: 'chart magnitude' }), second = el('div', { class: `chart ${detail}` });
    chartsBox.append(mag, second);
    const overlayLabel = overlay ? `overlay ${overlay.label}` : '';
    const smoothedNote = c.h ? (smoothing ? `1/${smoothing} octave smoothed` : 'unsmoothed') : 'imported';
    const magSeries = [{ label: 'Hz' }, { label: 'raw', stroke: smoothing && c.h ? '#b8c7d9' : '#c0392b', width: smoothing && c.h ? 1 : 2 }];
    const magData = [c.freqs, c.raw];
    if (smoothing && c.h) { magSeries.push({ label: 'smoothed', stroke: '#c0392b', width: 2 }); magData.push(c.smooth); }
    if (o) { magSeries.push({ label: overlayLabel, stroke: '#2e8b57', width: 2, dash: [6, 4] }); magData.push(Dsp.interpolate(o.freqs, smoothing ? o.smooth : o.raw, c.freqs)); }
    list.push(new uPlot({
      title: `Magnitude (${smoothedNote})`, width: chartWidth(mag), height: 240,
      scales: { x: { time: false, distr: 3, range: [20, 20000] } },
      axes: [{ label: 'Hz' }, { label: c.h ? 'dB re the played level' : 'dB as imported', size: 50 }], series: magSeries, legend: { show: true },
    }, magData, mag));
    const phase = detail === 'phase';
    const mine = phase ? c.phase : smoothing ? c.delaySmooth : c.delay;
    const secondSeries = [{ label: 'Hz' }, { label: phase ? 'phase' : 'group delay', stroke: '#7b52ab', width: 2 }];
    const secondData = [c.freqs, mine || c.freqs.map(() => null)];
    if (o && (phase ? o.phase : o.delay)) {
      secondSeries.push({ label: overlayLabel, stroke: '#2e8b57', width: 2, dash: [6, 4] });
      secondData.push(Dsp.interpolate(o.freqs, phase ? o.phase : smoothing ? o.delaySmooth : o.delay, c.freqs));
    }
    const name = phase ? (c.h ? "Phase (the peak's delay taken out)" : 'Phase') : `Group delay${c.h && smoothing ? ` (1/${smoothing} octave smoothed)` : ''}`;
    list.push(new uPlot({
      title: mine ? name : `${name}: not in the imported file`, width: chartWidth(second), height: 240,
      scales: { x: { time: false, distr: 3, range: [20, 20000] }, y: phase ? { range: [-180, 180] } : {} },
      axes: [{ label: 'Hz' }, { label: phase ? 'degrees' : 'ms', size: 50 }], series: secondSeries, legend: { show: Boolean(o) },
    }, secondData, second));
    return list;
  }

  function drawResults() {
    const box = $('#measure-results');
    const results = state.results || [];
    if ($('#view-measure').hidden) return;
    for (const c of charts.results.values()) c.forEach((u) => u.destroy());
    charts.results.clear();
    box.textContent = '';
    $('#measure-imported').textContent = '';
    const earliest = Math.min(...results.map((r) => r.tof));
    const ms = (samples) => ((1000 * samples) / state.rate).toFixed(2);
    const overlayFor = (channel) => {
      if (!state.overlay) return null;
      if (state.overlay.imported) return { label: state.overlay.label, item: state.overlay.imported };
      const other = state.overlay.results.find((x) => x.channel === channel);
      return other ? { label: state.overlay.label, item: { h: other.h } } : null;
    };
    for (const r of results) {
      const peakAt = Dsp.peakIndex(r.h);
      // The delay found holds the devices' own latency as well as the sound's travel: beside
      // other outputs the difference to the earliest one is what the room adds.
      const info = el('p', { class: 'tof', text:
        `arrival ${results.length > 1 ? `+${r.tof - earliest} samples (+${ms(r.tof - earliest)} ms) after the earliest output; ` : ''}` +
        `delay ${r.tof} samples (${ms(r.tof)} ms, mostly the devices' latency); ` +
        `response peak at sample ${peakAt} (${ms(peakAt)} ms); ` +
        `recorded peak ${fmtDb(20 * Math.log10(r.peak))} dBFS` });
      const exportsLine = el('p', { class: 'exports' }, 'Export: ',
        el('a', { href: `/api/measurement/impulse-${r.channel}.wav`, download: '', text: 'impulse response (WAV)' }), ', ',
        el('a', { href: `/api/measurement/response-${r.channel}.txt`, download: '', text: 'frequency response (text: Hz, dB, degrees)' }));
      charts.results.set(r.channel, drawCard(box, r.channel, `Output ${r.channel}`, { h: r.h }, info, exportsLine, overlayFor(r.channel)));
    }
    (state.imports || []).forEach((item, k) => {
      const info = el('p', { class: 'hint', text: item.h ? `impulse response, ${item.h.length} samples at ${item.rate} Hz` :
        `frequency response, ${item.freqs.length} points from ${item.freqs[0]} to ${item.freqs[item.freqs.length - 1]} Hz${item.phase ? ' with phase' : ''}` });
      charts.results.set(`import-${k}`, drawCard($('#measure-imported'), `import-${k}`, `Imported: ${item.name}`, item, info, null, null));
    });
  }

  /** An imported file: an impulse response WAV (its first channel) or a text response (Hz, dB[, degrees]). */
  function parseImport(name, bytes) {
    const v = new DataView(bytes);
    const tag = (at) => String.fromCharCode(...new Uint8Array(bytes, at, 4));
    if (bytes.byteLength >= 12 && tag(0) === 'RIFF' && tag(8) === 'WAVE') {
      let fmt = null;
      for (let at = 12; at + 8 <= bytes.byteLength;) {
        const id = tag(at), size = v.getUint32(at + 4, true);
        if (id === 'fmt ') {
          fmt = { format: v.getUint16(at + 8, true), channels: v.getUint16(at + 10, true), rate: v.getUint32(at + 12, true), bits: v.getUint16(at + 22, true) };
          if (fmt.format === 0xfffe && size >= 40) fmt.format = v.getUint16(at + 8 + 24, true); // the sub-format of an extensible WAV
        }
        if (id === 'data') {
          if (!fmt) throw new Error(`${name}: no format before the samples`);
          const step = (fmt.bits / 8) * fmt.channels, frames = Math.floor(Math.min(size, bytes.byteLength - at - 8) / (step || 1));
          const read = {
            '1/16': (o) => v.getInt16(o, true) / 32768, '1/24': (o) => (v.getUint8(o) | (v.getUint8(o + 1) << 8) | (v.getInt8(o + 2) << 16)) / 8388608,
            '1/32': (o) => v.getInt32(o, true) / 2147483648, '3/32': (o) => v.getFloat32(o, true), '3/64': (o) => v.getFloat64(o, true),
          }[`${fmt.format}/${fmt.bits}`];
          if (!(fmt.rate >= 1000 && fmt.rate <= 768000)) throw new Error(`${name}: a rate of ${fmt.rate} Hz`);
          if (!read || !fmt.channels) throw new Error(`${name}: a WAV of format ${fmt.format}, ${fmt.bits} bits can't be read (16, 24, 32-bit or float)`);
          if (frames < 2 || frames > 1 << 20) throw new Error(`${name}: ${frames} samples: an impulse response has 2 ... 1048576`);
          const h = Array.from({ length: frames }, (_, t) => read(at + 8 + t * step));
          if (!h.every(Number.isFinite)) throw new Error(`${name}: samples that are not numbers`);
          return { name, h, rate: fmt.rate };
        }
        at += 8 + size + (size & 1);
      }
      throw new Error(`${name}: a WAV without samples`);
    }
    const freqs = [], db = [], phase = [];
    let withPhase = true;
    new TextDecoder().decode(bytes).split(/\r?\n/).forEach((line) => {
      const t = line.trim();
      if (!t || /^[*#;"a-zA-Z]/.test(t)) return; // comment and header lines
      const cols = t.split(/[\s,;]+/).map(Number);
      if (cols.length < 2 || !cols.slice(0, 3).every(Number.isFinite) || !(cols[0] > 0)) return;
      if (freqs.length && cols[0] <= freqs[freqs.length - 1]) return; // the frequencies rise
      freqs.push(cols[0]);
      db.push(cols[1]);
      if (cols.length >= 3) phase.push(cols[2]); else withPhase = false;
    });
    if (freqs.length < 2) throw new Error(`${name}: neither a WAV nor lines of Hz, dB[, degrees]`);
    return { name, freqs, db, phase: withPhase ? phase : null };
  }

  // ---- room correction --------------------------------------------------------------------
  let correctionFormFilled = false;
  function buildCorrection() {
    $('#correct-design').addEventListener('click', async () => {
      const request = {
        target: $('#correct-target').value, low: Number($('#correct-low').value), high: Number($('#correct-high').value),
        maxBoost: Number($('#correct-boost').value), smoothing: Number($('#correct-smoothing').value),
        phase: $('#correct-phase').value, taps: Number($('#correct-taps').value), align: $('#correct-align').checked,
      };
      try {
        showCorrection(await api('POST', '/api/correction', request));
      } catch (e) {
        message(`room correction: ${e.message}`);
      }
    });
    $('#correct-undo').addEventListener('click', async () => {
      try {
        showCorrection(await api('POST', '/api/correction/undo'));
      } catch (e) {
        message(`room correction: ${e.message}`);
      }
    });
    // Verify: the same outputs measured again, with the run the correction was designed from
    // drawn over the new one (before and after the write).
    $('#correct-verify').addEventListener('click', async () => {
      const m = state.measurement;
      if (!m || !m.run) return;
      try {
        state.verifyBefore = m.run;
        measureFormTouched = false;
        showMeasurement(await api('POST', '/api/measurement', { channels: m.channels, taps: m.taps }));
      } catch (e) {
        state.verifyBefore = '';
        message(`verify: ${e.message}`);
      }
    });
    $('#correct-apply').addEventListener('click', async () => {
      try {
        showCorrection(await api('POST', '/api/correction/apply'));
      } catch (e) {
        message(`room correction: ${e.message}`);
      }
    });
  }
  // ---- crossovers --------------------------------------------------------------------------
  let crossoverFormFilled = false;
  function setupCrossover() {
    $('#xo-design').addEventListener('click', async () => {
      const request = {
        speakers: $('#xo-speakers').value.trim(), phase: $('#xo-phase').value, maxBoost: Number($('#xo-boost').value),
        margin: Number($('#xo-margin').value), smoothing: Number($('#xo-smoothing').value), taps: Number($('#xo-taps').value),
      };
      try {
        showCrossover(await api('POST', '/api/crossover', request));
      } catch (e) {
        message(`crossovers: ${e.message}`);
      }
    });
    $('#xo-apply').addEventListener('click', async () => {
      try {
        showCrossover(await api('POST', '/api/crossover/apply'));
      } catch (e) {
        message(`crossovers: ${e.message}`);
      }
    });
  }
  function showCrossover(c) {
    const before = state.crossover;
    state.crossover = c;
    const d = c.defaults;
    const list = $('#xo-speakers-list');
    list.textContent = '';
    for (const name of c.choices.speakers) list.append(el('option', { value: name }));
    if (!crossoverFormFilled) {
      crossoverFormFilled = true;
      const options = (select, values, label, chosen) => {
        select.textContent = '';
        for (const v of values) select.append(el('option', { value: String(v), text: label(v) }));
        select.value = String(chosen);
      };
      options($('#xo-smoothing'), c.choices.smoothing, (k) => `1/${k}`, d.smoothing);
      options($('#xo-taps'), c.choices.taps, (t) => `${t} taps (${Math.round((1000 * t) / state.rate)} ms)`, d.taps);
      $('#xo-speakers').value = c.choices.speakers.includes(d.speakers) ? d.speakers : c.choices.speakers[0] || d.speakers;
      $('#xo-phase').value = d.phase;
      $('#xo-boost').value = d.maxBoost;
      $('#xo-margin').value = d.margin;
      $('#xo-home').textContent = c.home;
      $('#xo-guard').textContent = c.guard;
    }
    const busy = ['designing', 'writing'].includes(c.phase);
    const measured = state.measurement && state.measurement.results.length > 0 && !BUSY.includes(state.measurement.phase);
    $('#xo-design').disabled = busy || !measured;
    $('#xo-apply').disabled = busy || !['designed', 'written'].includes(c.phase);
    $('#xo-state').textContent = c.phase;
    $('#xo-state').className = `phase ${c.phase}`;
    $('#xo-message').textContent = c.error || c.message || (measured ? 'Choose the description and design.' : 'Measure every driver first.');
    $('#xo-log').hidden = !c.log.length;
    $('#xo-log').textContent = c.log.join('\n');
    $('#xo-switched').hidden = !c.switched;
    $('#xo-switched').textContent = c.switched ? 'The processor switched to the coefficient file as written.' : '';
    const img = $('#xo-picture');
    img.hidden = !c.picture;
    if (c.picture && img.dataset.stamp !== String(c.picture)) {
      img.dataset.stamp = String(c.picture);
      img.src = `/api/crossover/design.png?${c.picture}`;
    }
    if (c.phase === 'error' && (!before || before.phase !== 'error' || before.error !== c.error)) message(`crossovers: ${c.error}`);
    if (c.phase !== 'error' && c.phase !== 'writing' && before && before.phase === 'writing') message(c.message, 'info');
  }
  function fillCorrectionForm(c) {
    const d = c.defaults;
    const options = (select, values, label, chosen) => {
      select.textContent = '';
      for (const v of values) select.append(el('option', { value: String(v), text: label(v) }));
      select.value = String(chosen);
    };
    options($('#correct-smoothing'), c.choices.smoothing, (k) => `1/${k}`, d.smoothing);
    options($('#correct-taps'), c.choices.taps, (t) => `${t} taps (${Math.round((1000 * t) / state.rate)} ms)`, d.taps);
    $('#correct-low').value = d.low;
    $('#correct-high').value = d.high;
    $('#correct-boost').value = d.maxBoost;
    $('#correct-phase').value = d.phase;
    $('#correct-align').checked = d.align;
    correctionFormFilled = true;
  }
  function showCorrection(c) {
    const before = state.correction;
    state.correction = c;
    if (!correctionFormFilled) fillCorrectionForm(c);
    const busy = ['designing', 'writing'].includes(c.phase);
    const measured = state.measurement && state.measurement.results.length > 0 && !BUSY.includes(state.measurement.phase);
    $('#correct-design').disabled = busy || !measured;
    $('#correct-apply').disabled = busy || !['designed', 'written'].includes(c.phase);
    $('#correct-undo').disabled = busy || !c.backup;
    $('#correct-verify').disabled = busy || c.phase !== 'written' || !measured || !state.measurement.run;
    $('#correct-state').textContent = c.phase;
    $('#correct-state').className = `phase ${c.phase}`;
    $('#correct-message').textContent = c.error || c.message || (measured ? 'Choose the settings and design.' : 'Measure one or more outputs first.');
    $('#correct-log').hidden = !c.log.length;
    $('#correct-log').textContent = c.log.join('\n');
    $('#correct-switched').hidden = !c.switched;
    $('#correct-switched').textContent = c.switched ? 'The processor switched to the coefficient file as written.' : '';
    const img = $('#correct-picture');
    img.hidden = !c.picture;
    if (c.picture && img.dataset.stamp !== String(c.picture)) {
      img.dataset.stamp = String(c.picture);
      img.src = `/api/correction/design.png?${c.picture}`;
    }
    if (c.phase === 'error' && (!before || before.phase !== 'error' || before.error !== c.error)) message(`room correction: ${c.error}`);
    if (c.phase !== 'error' && c.phase !== 'writing' && before && before.phase === 'writing') message(c.message, 'info');
  }

  // ---- equaliser --------------------------------------------------------------------------
  async function loadEq() {
    try {
      const r = await api('GET', '/api/equaliser');
      state.eq = r.sections.map((s) => ({ Fc: s.Fc, dB: s.dB, Q: s.Q }));
      state.eqPath = r.path;
      state.limits = r.limits;
      state.maxSections = r.maxSections;
      state.headroomDb = r.headroomDb;
      state.eqSaved = JSON.stringify(state.eq);
      $('#eq-path').textContent = r.path;
      if (r.error) message(r.error);
      buildEqTable();
      drawEq();
    } catch (e) {
      message(e.message);
    }
  }
  const EQ_LIMITS = (key) => (key === 'Fc' ? [10, 0.45 * state.rate] : (state.limits && state.limits[key]) || [-Infinity, Infinity]);
  function buildEqTable() {
    const body = $('#eq-table tbody');
    body.textContent = '';
    state.eq.forEach((s, i) => {
      const input = (key, cls, step) => {
        const [lo, hi] = EQ_LIMITS(key);
        const x = el('input', { type: 'number', class: cls, step, min: String(lo), max: String(hi), value: String(s[key]), 'aria-label': `${key} of section ${i + 1}` });
        const check = () => {
          const v = Number(x.value);
          const ok = x.value !== '' && Number.isFinite(v) && v >= lo && v <= hi;
          x.classList.toggle('invalid', !ok);
          x.setAttribute('aria-invalid', String(!ok));
          x.title = ok ? '' : `${key} must be ${lo} ... ${hi}`;
          s[key] = ok ? v : NaN; // a field out of range is no value: the curve and Save show it
          drawEq();
        };
        x.addEventListener('input', check);
        return x;
      };
      body.append(el('tr', { class: 'eq-row' }, el('td', { text: String(i + 1) }),
        el('td', {}, input('Fc', 'eq-fc', '1')), el('td', {}, input('dB', 'eq-db', '0.1')), el('td', {}, input('Q', 'eq-q', '0.1')),
        el('td', {}, el('button', { class: 'link', text: 'remove', onclick: () => { state.eq.splice(i, 1); buildEqTable(); drawEq(); } }))));
    });
    if (!state.eq.length) body.append(el('tr', {}, el('td', { colspan: '5', class: 'hint', text: 'No sections: the equaliser passes the inputs unchanged.' })));
  }
  const eqComplete = () => state.eq.every((s) => ['Fc', 'dB', 'Q'].every((k) => Number.isFinite(s[k])));
  /** The highest point of the combined response from 10 Hz to half the rate: { db, hz }. */
  function eqPeak() {
    const freqs = [...Dsp.logFreqs(10, state.rate / 2, 2000), ...state.eq.map((s) => s.Fc)].filter((f) => f >= 10 && f <= state.rate / 2);
    const db = Dsp.cascadeDb(state.eq, freqs, state.rate);
    let best = { db: 0, hz: 0 };
    db.forEach((d, k) => { if (d > best.db) best = { db: d, hz: freqs[k] }; });
    return best;
  }
  function showHeadroom() {
    const box = $('#eq-headroom');
    const over = eqComplete() && state.eq.length ? eqPeak() : { db: 0 };
    const limit = state.headroomDb || 12;
    box.hidden = !(over.db > limit);
    if (!box.hidden)
      $('#eq-headroom-text').textContent = `The combined response reaches +${over.db.toFixed(1)} dB at ${Math.round(over.hz)} Hz, ` +
        `above the +${limit} dB headroom: a loud programme clips at the outputs.`;
    return !box.hidden;
  }
  function drawEq() {
    const box = $('#eq-chart');
    if ($('#view-equaliser').hidden) return;
    const freqs = Dsp.logFreqs(20, 20000, 300);
    showHeadroom();
    const valid = state.eq.filter((s) => s.Fc > 0 && s.Fc < state.rate / 2 && s.Q > 0 && Number.isFinite(s.dB));
    const db = Dsp.cascadeDb(valid, freqs, state.rate);
    const data = [freqs, db];
    if (charts.eq && charts.eq.width === chartWidth(box)) {
      charts.eq.setData(data);
      return;
    }
    if (charts.eq) charts.eq.destroy();
    charts.eq = new uPlot({
      title: 'Response of the equaliser', width: chartWidth(box), height: 320,
      scales: { x: { time: false, distr: 3, range: [20, 20000] }, y: { range: (u, lo, hi) => [Math.min(-12, lo - 1), Math.max(12, hi + 1)] } },
      axes: [{ label: 'Hz' }, { label: 'dB', size: 50 }],
      series: [{ label: 'Hz' }, { label: 'gain', stroke: '#1f6fb2', width: 2 }],
      legend: { show: false },
    }, data, box);
  }
  function buildEq() {
    $('#eq-add').addEventListener('click', () => {
      if (state.eq.length >= (state.maxSections || 16)) { message(`at most ${state.maxSections} sections`); return; }
      state.eq.push({ Fc: 1000, dB: 0, Q: 1 });
      buildEqTable();
      drawEq();
    });
    $('#eq-revert').addEventListener('click', loadEq);
    const save = async () => {
      $('#eq-message').textContent = '';
      try {
        const r = await api('POST', '/api/equaliser', { sections: state.eq });
        state.eqSaved = JSON.stringify(state.eq);
        $('#eq-headroom').hidden = true;
        const saved = `saved ${r.sections.length} section${r.sections.length === 1 ? '' : 's'}`;
        const said = {
          switched: 'the processor switched it in',
          'no processor': 'not switched in: no processor runs (it reads the file when it starts)',
          'not yet': 'the processor has not reported switching it in yet (see its log)',
          unknown: 'the processor switches it in when it sees the file',
        }[r.switched] || '';
        $('#eq-message').textContent = `${saved}; ${said}`;
        message(`equaliser saved to ${r.path}; ${said}`, r.switched === 'switched' || r.switched === 'unknown' ? 'info' : 'error');
      } catch (e) {
        message(e.message);
      }
    };
    $('#eq-save').addEventListener('click', () => {
      if (!eqComplete()) {
        message('the equaliser has fields out of range (marked): nothing saved');
        return;
      }
      if (showHeadroom()) {
        $('#eq-save-anyway').hidden = false; // saved only when confirmed
        $('#eq-save-anyway').focus();
        return;
      }
      save();
    });
    $('#eq-save-anyway').addEventListener('click', () => { $('#eq-save-anyway').hidden = true; save(); });
    window.addEventListener('beforeunload', (ev) => {
      if (state.eqSaved !== undefined && JSON.stringify(state.eq) !== state.eqSaved) {
        ev.preventDefault();
        ev.returnValue = ''; // the browser asks before the unsaved sections are lost
      }
    });
  }

  // ---- files ------------------------------------------------------------------------------
  function showFiles(f) {
    state.files = f;
    const body = $('#files-table tbody');
    body.textContent = '';
    const when = (d) => (d.exists ? `${d.size} bytes, modified ${new Date(d.modified).toLocaleString()}` : d.error);
    const rows = [
      ['Processor configuration', f.config.path, when(f.config)],
      ['Coefficient file (one channel per output)', f.filter.path, when(f.filter) +
        (f.filter.wav ? `; ${f.filter.wav.channels} channels, ${f.filter.wav.frames} taps at ${f.filter.wav.rate} Hz, ${f.filter.wav.bits}-bit` : '')],
      ['Equaliser file', f.paraeq.path, when(f.paraeq)],
      ['Mixer device', f.mixerDevice, ''],
      ['Metering FIFO', f.fifo.path, f.fifo.exists ? 'present' : f.fifo.error],
      ['Measurement devices', `${f.measurePlayback} / ${f.measureCapture}`, ''],
      ['Measurement status file', f.statusFile, ''],
    ];
    for (const [what, where, detail] of rows)
      body.append(el('tr', {}, el('th', { text: what }), el('td', {}, el('code', { text: where })), el('td', { text: detail })));
    showGuard(f.guard);
    $('#measure-devices').textContent = `${f.measurePlayback} (playback), ${f.measureCapture} (capture)`;
    $('#correct-filter').textContent = f.filter.path;
  }

  $('#restore-file').addEventListener('change', async () => {
    const file = $('#restore-file').files[0];
    if (!file) return;
    $('#restore-message').textContent = '';
    try {
      const r = await fetch('/api/restore', { method: 'POST', headers: { 'Content-Type': 'application/x-tar' }, body: file });
      const data = await r.json().catch(() => ({}));
      if (!r.ok) throw new Error(data.error || `restore: ${r.status}`);
      const said = data.switched === 'switched' ? 'the processor switched them in' : data.switched === 'no processor'
        ? 'not switched in: no processor runs' : 'the processor switches them in when it sees them';
      $('#restore-message').textContent = `restored ${data.written.join(', ')}; ${said}`;
      loadEq();
    } catch (e) {
      message(e.message);
    } finally {
      $('#restore-file').value = '';
    }
  });

  function showProcessor(p) {
    const parts = [p.running === true ? 'running' : p.running === false ? 'not running' : 'not known yet'];
    if (!p.log) parts.push("rate and period not known here (the server is not given the processor's log)");
    else {
      if (p.rate) parts.push(`${p.rate} Hz, periods of ${p.period} frames (${p.latencyMs.toFixed(1)} ms)`);
      parts.push(`started again after an over/under-run: ${p.restarts} time${p.restarts === 1 ? '' : 's'}`);
    }
    parts.push('CPU load per period: not reported by the processor');
    $('#processor-status').textContent = parts.join('; ');
  }

  function showGuard(g) {
    const box = $('#guard');
    box.textContent = '';
    $('#guard-path').textContent = g.path;
    if (g.state === 'none') {
      box.append(el('p', { class: 'guard-none', text: 'no output guard: the outputs are bounded only by their filters and gains' }));
      return;
    }
    if (g.state === 'refused') {
      box.append(el('p', { class: 'guard-refused', text: `refused: ${g.error}` }),
        el('p', { class: 'hint', text: 'The processor does not start with this file; mend it (the format is in the README).' }));
      return;
    }
    const filterText = (f) => (f ? `${f.frequency} Hz, order ${f.order} (${6 * f.order} dB per octave)` : '–');
    const rows = g.outputs.map((o) => el('tr', { 'data-output': String(o.output) }, el('th', { text: `Out ${o.output}` }),
      el('td', { text: filterText(o.highpass) }), el('td', { text: filterText(o.lowpass) }),
      el('td', { text: o.maxLevel === undefined ? '–' : `${o.maxLevel} dBFS` })));
    const guarded = new Set(g.outputs.map((o) => o.output));
    const free = Array.from({ length: 8 }, (_, k) => k).filter((k) => !guarded.has(k));
    box.append(el('table', { class: 'files guard-table' },
      el('thead', {}, el('tr', {}, el('th', { text: 'Output' }), el('th', { text: 'High-pass' }), el('th', { text: 'Low-pass' }), el('th', { text: 'Largest level' }))),
      el('tbody', {}, ...rows)));
    if (free.length) box.append(el('p', { class: 'hint', text: `Not guarded: ${free.map((k) => `Out ${k}`).join(', ')}` }));
  }

  // ---- the connection ---------------------------------------------------------------------
  let ws = null;
  function connect() {
    ws = new WebSocket(`ws://${location.host}/ws`);
    ws.onmessage = (ev) => {
      const msg = JSON.parse(ev.data);
      switch (msg.type) {
        case 'levels': takeLevels(msg); break;
        case 'processor': setProcessor(msg.running); break;
        case 'mixer': showMixer(msg.mixer); break;
        case 'measurement': showMeasurement(msg.measurement); if (state.correction) showCorrection(state.correction); if (state.crossover) showCrossover(state.crossover); break;
        case 'correction': showCorrection(msg.correction); break;
        case 'crossover': showCrossover(msg.crossover); break;
        case 'files': showFiles(msg.files); break;
        case 'problem': message(msg.message); break;
        case 'state':
          state.rate = msg.rate;
          if (meters.length !== msg.layout.inputs + msg.layout.outputs) {
            buildMeters(msg.layout.inputs, msg.layout.outputs);
            gainRows.length = 0;
          }
          if (gainRows.length !== msg.mixer.channels.length) buildGains(Math.min(msg.mixer.channels.length, msg.layout.outputs));
          $('#logout').hidden = !msg.passwordRequired;
          setProcessor(msg.processor);
          showMixer(msg.mixer);
          showFiles(msg.files);
          showMeasurement(msg.measurement);
          showCorrection(msg.correction);
          showCrossover(msg.crossover);
          break;
        default:
      }
    };
    ws.onclose = async () => {
      $('#processor').textContent = 'server unreachable';
      $('#processor').className = 'badge off';
      try {
        await api('GET', '/api/state'); // a lost session goes to the log-in page
      } catch { /* the server is down: try again */ }
      setTimeout(connect, 1000);
    };
  }

  $('#logout').addEventListener('click', async () => {
    await api('POST', '/api/logout').catch(() => {});
    location.href = '/login.html';
  });
  window.addEventListener('resize', () => { if (charts.eq) { charts.eq.destroy(); charts.eq = null; } drawEq(); drawResults(); });

  buildMeasure();
  buildCorrection();
  setupCrossover();
  buildEq();
  connect();
  loadEq();
  requestAnimationFrame(frame);
  const initial = location.hash.slice(1);
  if (['levels', 'measure', 'equaliser', 'files'].includes(initial)) show(initial);
})();
