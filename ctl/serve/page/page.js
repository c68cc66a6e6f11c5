// Live page of `qx17ctl record serve`.
// Takes the summary from the event stream, or polls for it while the stream is unavailable,
// and renders it. Everything that comes from the record goes into the page as text only.
'use strict';

const POLL_MS = 2000;
const REOPEN_MS = 30000;
const STREAM_SILENCE_MS = 40000;
const FETCH_TIMEOUT_MS = 5000;
const BACK_NOTE_MS = 10000;

// Series colours for the stations; red is left out because red means failure on this page.
const PALETTE = ['#4e79a7', '#f28e2b', '#59a14f', '#b07aa1', '#76b7b2', '#edc948',
  '#9c755f', '#ff9da7', '#bab0ac', '#2f6f9f'];

const $ = (id) => document.getElementById(id);

const state = {
  summary: null,
  source: '',            // 'stream' or 'poll'
  receivedAt: 0,         // performance.now() when the summary arrived
  liveAsOf: null,        // `generated` of the latest summary read while the record was up
  serverDownSince: null, // Date of the first failed poll; null while the server answers
  noticeKey: '',
  backTimer: null,
};

const cards = new Map(); // station name -> {card, figures}
const stationColours = new Map();
let hoursChart = null;

// ---- formatting ----

const pad2 = (n) => String(n).padStart(2, '0');

function parseTime(text) {
  if (!text) return null;
  const d = new Date(text);
  return Number.isNaN(d.getTime()) ? null : d;
}

function clock(d) {
  return d ? `${pad2(d.getHours())}:${pad2(d.getMinutes())}:${pad2(d.getSeconds())}` : '–';
}

function hourMinute(d) {
  return d ? `${pad2(d.getHours())}:${pad2(d.getMinutes())}` : '–';
}

function duration(seconds) {
  const s = Math.max(0, Math.floor(seconds));
  if (s < 60) return `${s} s`;
  const min = Math.floor(s / 60);
  if (min < 60) return `${min} min`;
  const h = Math.floor(min / 60);
  return min % 60 ? `${h} h ${min % 60} min` : `${h} h`;
}

const count = (n) => (Number.isFinite(n) ? String(n) : '–');

// Seconds passed since the current summary arrived; durations count on from the server's figures
// so that a wrong clock on the viewer's machine does not matter.
const sinceReceipt = () => (performance.now() - state.receivedAt) / 1000;

function el(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

function setText(node, text) {
  if (node.textContent !== text) node.textContent = text;
}

function setTime(node, date, text) {
  setText(node, text);
  if (date) node.dateTime = date.toISOString();
  else node.removeAttribute('datetime');
}

// ---- header and notice ----

function renderHeader() {
  const s = state.summary;
  const asOf = state.liveAsOf || (s.record.up ? parseTime(s.generated) : null);
  const since = parseTime(s.record.since);
  setTime($('as-of'), asOf || since, asOf ? clock(asOf) : `before ${clock(since)}`);
  const dayStart = parseTime(s.day_start);
  setTime($('day-start'), dayStart, hourMinute(dayStart));
}

function figuresFrom() {
  const s = state.summary;
  if (!s) return 'There are no figures yet.';
  if (state.liveAsOf) return `The figures below are from ${clock(state.liveAsOf)}.`;
  if (!s.stations.length && !s.last_trackers.length) return 'There are no figures yet.';
  if (!s.record.up) return `The figures below are from before ${clock(parseTime(s.record.since))}.`;
  return `The figures below are from ${clock(parseTime(s.generated))}.`;
}

function tickSpan(className) {
  // The running duration is hidden from screen readers so the live region does not speak every second.
  const span = el('span', className);
  span.setAttribute('aria-hidden', 'true');
  return span;
}

// Works out which notice applies; returns null when all is well.
function currentNotice() {
  const s = state.summary;
  if (state.serverDownSince) {
    return { kind: 'server', key: `server|${state.serverDownSince.getTime()}|${figuresFrom()}` };
  }
  if (s && !s.record.up) {
    return { kind: 'record', key: `record|${s.record.since}|${s.record.why}|${figuresFrom()}` };
  }
  if (s && s.record.no_tables) return { kind: 'tables', key: 'tables' };
  return null;
}

function buildNotice(kind) {
  const box = $('notice');
  box.replaceChildren();
  const s = state.summary;
  if (kind === 'server') {
    box.append(`The server cannot be reached since ${clock(state.serverDownSince)} `,
      tickSpan('notice-tick'), `. ${figuresFrom()}`);
  } else if (kind === 'record') {
    const why = String(s.record.why || '').trim().replace(/[.\s]+$/, '');
    box.append(`The record cannot be reached since ${clock(parseTime(s.record.since))} `,
      tickSpan('notice-tick'), why ? `: ${why}${/[?!]$/.test(why) ? '' : '.'} ` : '. ',
      figuresFrom());
  } else if (kind === 'tables') {
    box.append('The record has no tables yet: a station\'s first ', el('code', null, 'qx17ctl line'),
      ' or ', el('code', null, 'qx17ctl record CONNECTION'), ' makes them.');
  }
}

function renderNotice() {
  const notice = currentNotice();
  const key = notice ? notice.key : '';
  const stale = notice && notice.kind !== 'tables';
  $('figures').classList.toggle('stale', Boolean(stale));
  if (key === state.noticeKey) return;

  const was = state.noticeKey.split('|')[0];
  state.noticeKey = key;
  const box = $('notice');
  if (notice) {
    buildNotice(notice.kind);
    box.hidden = false;
    setBackNote('');
  } else {
    box.replaceChildren();
    box.hidden = true;
    if (was === 'record') setBackNote('The record is reachable again; the figures are live.');
    if (was === 'server') setBackNote('The server is reachable again; the figures are live.');
  }
  tickNotice();
}

function setBackNote(text) {
  clearTimeout(state.backTimer);
  setText($('back-note'), text);
  if (text) state.backTimer = setTimeout(() => setText($('back-note'), ''), BACK_NOTE_MS);
}

function tickNotice() {
  const tick = $('notice').querySelector('.notice-tick');
  if (!tick) return;
  let seconds = 0;
  if (state.serverDownSince) {
    seconds = (Date.now() - state.serverDownSince.getTime()) / 1000;
  } else {
    const s = state.summary;
    const since = parseTime(s.record.since);
    const generated = parseTime(s.generated);
    if (since && generated) seconds = (generated - since) / 1000 + sinceReceipt();
  }
  setText(tick, `(${duration(seconds)})`);
}

// ---- stations ----

function makeCard(name) {
  const card = el('article', 'station');
  card.setAttribute('data-station', name);
  const figures = {};
  const figure = (key, tag, className) => {
    const node = el(tag, className);
    node.dataset.figure = key;
    figures[key] = node;
    return node;
  };
  const pair = (list, key, label, className) => {
    const wrap = el('div', className);
    wrap.append(el('dt', null, label), figure(key, 'dd'));
    list.append(wrap);
  };

  const stopped = figure('stopped', 'p', 'stopped');
  stopped.hidden = true;
  const big = el('dl', 'big-row');
  pair(big, 'this_hour', 'this hour', 'now');
  pair(big, 'last_hour', 'last hour', 'last');
  const facts = el('dl', 'facts');
  pair(facts, 'today', 'today');
  pair(facts, 'yield', 'yield today');
  pair(facts, 'since_last', 'last tracker');
  pair(facts, 'interrupted', 'claims interrupted today');
  pair(facts, 'failures', 'failures today', 'wide');
  pair(facts, 'last_id', 'last ID written', 'wide');
  card.append(el('h2', null, name), stopped, big, facts);
  return { card, figures };
}

// Plan for the day so far: the plan per hour times the whole hours since the day started.
function plannedSoFar(s) {
  const start = parseTime(s.day_start);
  const now = parseTime(s.generated);
  if (!start || !now || s.plan_per_hour == null) return null;
  return s.plan_per_hour * Math.max(0, Math.floor((now - start) / 3600000));
}

function failureText(failures) {
  const entries = Object.entries(failures || {}).filter(([, n]) => n > 0);
  entries.sort((a, b) => b[1] - a[1] || a[0].localeCompare(b[0]));
  return entries.length ? entries.map(([outcome, n]) => `${outcome} ${n}`).join(', ') : 'none';
}

function renderStations() {
  const s = state.summary;
  const box = $('stations');
  const planned = plannedSoFar(s);
  const seen = new Set();
  s.stations.forEach((st, i) => {
    const name = String(st.name);
    seen.add(name);
    let entry = cards.get(name);
    if (!entry) {
      entry = makeCard(name);
      cards.set(name, entry);
    }
    const f = entry.figures;
    setText(f.this_hour, count(st.this_hour));
    setText(f.last_hour, count(st.last_hour));
    setText(f.today, planned == null ? count(st.today) : `${count(st.today)} of ${planned} planned`);
    setText(f.yield, st.yield_today == null ? 'no tracker ended yet'
      : `${(st.yield_today * 100).toFixed(1)} %`);
    const failures = failureText(st.failures_today);
    setText(f.failures, failures);
    f.failures.classList.toggle('bad', failures !== 'none');
    setText(f.interrupted, count(st.claims_interrupted_today));
    setText(f.last_id, st.last_id_written ? String(st.last_id_written) : 'none');
    entry.station = st;
    // Keep the cards in the server's order without rebuilding them.
    if (box.children[i] !== entry.card) box.insertBefore(entry.card, box.children[i] || null);
  });
  for (const [name, entry] of cards) {
    if (!seen.has(name)) {
      entry.card.remove();
      cards.delete(name);
    }
  }
  const empty = $('stations-empty');
  empty.textContent = s.stations.length ? '' : 'No station has written to the record today.';
  empty.hidden = s.stations.length > 0;
  tickStations();
}

function tickStations() {
  const extra = sinceReceipt();
  for (const { card, figures, station } of cards.values()) {
    if (!station) continue;
    const last = station.seconds_since_last;
    const known = Number.isFinite(last);
    setText(figures.since_last, known ? `${duration(last + extra)} ago` : 'no tracker yet');
    const stopped = Boolean(station.stopped);
    card.classList.toggle('is-stopped', stopped);
    figures.stopped.hidden = !stopped;
    setText(figures.stopped, !stopped ? ''
      : known ? `stopped: no tracker for ${duration(last + extra)}` : 'stopped: no tracker yet');
  }
}

// ---- trackers per hour ----

function stationNames(s) {
  const names = s.stations.map((st) => String(st.name));
  for (const h of s.hours) {
    for (const name of Object.keys(h.by_station || {})) {
      if (!names.includes(name)) names.push(name);
    }
  }
  return names;
}

function colourFor(name) {
  if (!stationColours.has(name)) {
    stationColours.set(name, PALETTE[stationColours.size % PALETTE.length]);
  }
  return stationColours.get(name);
}

const cssVar = (name) => getComputedStyle(document.documentElement).getPropertyValue(name).trim();

function chartTheme() {
  const fg = cssVar('--fg');
  const grid = cssVar('--grid');
  Chart.defaults.color = fg;
  Chart.defaults.borderColor = grid;
  Chart.defaults.font.size = Math.round(parseFloat(getComputedStyle(document.documentElement).fontSize));
  return { fg, grid };
}

function makeChart() {
  const theme = chartTheme();
  return new Chart($('hours-chart'), {
    type: 'bar',
    data: { labels: [], datasets: [] },
    options: {
      responsive: true,
      maintainAspectRatio: false,
      animation: false,
      scales: {
        x: { grid: { color: theme.grid } },
        y: { beginAtZero: true, ticks: { precision: 0 }, grid: { color: theme.grid } },
      },
      // Datasets are replaced on every update, so hiding one by a click would not last.
      plugins: {
        legend: {
          position: 'bottom',
          onClick: null,
          labels: { usePointStyle: true, sort: (a, b) => a.datasetIndex - b.datasetIndex },
        },
      },
    },
  });
}

// Colours come from the page's scheme; on a change of scheme the chart is made anew.
function restyleChart() {
  if (!hoursChart) return;
  hoursChart.destroy();
  hoursChart = makeChart();
  renderHours();
}

function renderHours() {
  const s = state.summary;
  if (!s) return;
  const names = stationNames(s);
  const plan = s.plan_per_hour;
  const labels = s.hours.map((h) => hourMinute(parseTime(h.hour)));
  const rows = s.hours.map((h) => names.map((n) => Number(h.by_station?.[n]) || 0));

  // Text alternative: a table with the same numbers.
  const head = [el('th', null, 'Hour'), ...names.map((n) => el('th', null, n))];
  if (plan != null) head.push(el('th', null, 'Plan'));
  head.forEach((th) => th.setAttribute('scope', 'col'));
  $('hours-head').replaceChildren(...head);
  $('hours-body').replaceChildren(...rows.map((row, i) => {
    const tr = el('tr');
    const th = el('th', null, labels[i]);
    th.setAttribute('scope', 'row');
    tr.append(th, ...row.map((n) => el('td', null, String(n))));
    if (plan != null) tr.append(el('td', null, String(plan)));
    return tr;
  }));

  const span = labels.length ? `from ${labels[0]} to ${labels[labels.length - 1]}` : 'none yet';
  $('hours-chart').setAttribute('aria-label', `Bar chart of trackers per hour by station, ${span}`
    + (plan != null ? `, with the plan of ${plan} per hour as a line` : '')
    + '. The numbers follow as a table.');

  if (!hoursChart) return;
  const fg = cssVar('--fg');
  const datasets = names.map((name, j) => ({
    type: 'bar',
    label: name,
    data: rows.map((row) => row[j]),
    backgroundColor: colourFor(name),
    pointStyle: 'rect',
    order: 2,
  }));
  if (plan != null) {
    datasets.push({
      type: 'line',
      label: `plan (${plan} per hour)`,
      data: labels.map(() => plan),
      borderColor: fg,
      backgroundColor: fg,
      borderDash: [8, 6],
      borderWidth: 2,
      pointRadius: 0,
      pointStyle: 'line',
      order: 1,
    });
  }
  hoursChart.data.labels = labels;
  hoursChart.data.datasets = datasets;
  hoursChart.update('none');
}

// ---- failures and last trackers ----

function renderPareto() {
  const items = state.summary.pareto.filter((p) => p.outcome !== 'ok' && p.count > 0);
  const total = items.reduce((sum, p) => sum + p.count, 0);
  const max = items.length ? Math.max(...items.map((p) => p.count)) : 0;
  $('pareto').replaceChildren(...items.map((p) => {
    const li = el('li');
    const bar = el('span', 'bar');
    bar.setAttribute('aria-hidden', 'true');
    const fill = el('span', 'fill');
    fill.style.width = `${(100 * p.count / max).toFixed(1)}%`;
    bar.append(fill);
    const share = Math.round(100 * p.count / total);
    li.append(el('span', 'outcome bad', String(p.outcome)), ' ',
      el('span', 'count', String(p.count)), ' ', el('span', 'visually-hidden', `(${share} %)`), bar);
    return li;
  }));
  $('pareto-empty').hidden = items.length > 0;
}

function renderLastTrackers() {
  const rows = state.summary.last_trackers.map((t) => {
    const tr = el('tr');
    const time = el('time', null, clock(parseTime(t.time)));
    const when = parseTime(t.time);
    if (when) time.dateTime = when.toISOString();
    const timeCell = el('td');
    timeCell.append(time);
    const outcome = String(t.outcome ?? '');
    tr.append(timeCell, el('td', 'station-cell', String(t.station ?? '')), el('td', null, String(t.port ?? '')),
      el('td', null, String(t.id_before ?? '')), el('td', null, String(t.id_written ?? '')),
      el('td', `outcome-cell ${outcome === 'ok' ? 'ok' : 'bad'}`, outcome));
    return tr;
  });
  if (!rows.length) {
    const td = el('td', 'empty', 'No tracker yet today.');
    td.colSpan = 6;
    const tr = el('tr');
    tr.append(td);
    rows.push(tr);
  }
  $('last-body').replaceChildren(...rows);
}

// ---- applying a summary ----

function normalise(s) {
  return {
    ...s,
    record: { up: true, since: '', why: '', no_tables: false, ...(s.record || {}) },
    stations: Array.isArray(s.stations) ? s.stations : [],
    hours: Array.isArray(s.hours) ? s.hours : [],
    pareto: Array.isArray(s.pareto) ? s.pareto : [],
    last_trackers: Array.isArray(s.last_trackers) ? s.last_trackers : [],
  };
}

function apply(raw, id, source) {
  if (!raw || typeof raw !== 'object') return;
  const s = normalise(raw);
  // A poll answer may overtake a stream event; never go back to older figures.
  if (state.summary && source === 'poll') {
    const mine = parseTime(state.summary.generated);
    const theirs = parseTime(s.generated);
    if (mine && theirs && (theirs < mine || (+theirs === +mine && state.source === 'stream'))) return;
  }
  state.summary = s;
  state.source = source;
  state.receivedAt = performance.now();
  if (s.record.up) state.liveAsOf = parseTime(s.generated);

  renderHeader();
  renderStations();
  renderHours();
  renderPareto();
  renderLastTrackers();
  renderNotice();
  document.body.dataset.summaryId = String(id);
}

// ---- stream, with polling as the fallback ----

const conn = { es: null, lastEventAt: 0, pollTimer: null, reopenTimer: null, polls: 0, polling: false };

function openStream() {
  clearTimeout(conn.reopenTimer);
  conn.reopenTimer = null;
  if (typeof EventSource === 'undefined') {
    startPolling();
    return;
  }
  const es = new EventSource('/api/stream');
  conn.es = es;
  conn.lastEventAt = performance.now();
  es.addEventListener('summary', (ev) => {
    if (conn.es !== es) return;
    conn.lastEventAt = performance.now();
    let data;
    try {
      data = JSON.parse(ev.data);
    } catch {
      return;
    }
    stopPolling();
    serverAnswers();
    apply(data, ev.lastEventId || 'stream', 'stream');
  });
  es.addEventListener('error', () => {
    if (conn.es === es) streamBroken();
  });
}

// Covers errors, a closed stream (for example a 503 when there are too many viewers) and silence.
function streamBroken() {
  if (conn.es) {
    conn.es.close();
    conn.es = null;
  }
  startPolling();
  if (!conn.reopenTimer) conn.reopenTimer = setTimeout(openStream, REOPEN_MS);
}

function startPolling() {
  if (conn.pollTimer) return;
  poll();
  conn.pollTimer = setInterval(poll, POLL_MS);
}

function stopPolling() {
  clearInterval(conn.pollTimer);
  conn.pollTimer = null;
}

async function poll() {
  if (conn.polling) return;
  conn.polling = true;
  const abort = new AbortController();
  const timer = setTimeout(() => abort.abort(), FETCH_TIMEOUT_MS);
  try {
    const response = await fetch('/api/summary', { cache: 'no-store', signal: abort.signal });
    if (!response.ok) throw new Error(`HTTP ${response.status}`);
    const data = await response.json();
    conn.polls += 1;
    serverAnswers();
    apply(data, `poll-${conn.polls}`, 'poll');
  } catch {
    serverUnreachable();
  } finally {
    clearTimeout(timer);
    conn.polling = false;
  }
}

function serverAnswers() {
  if (!state.serverDownSince) return;
  state.serverDownSince = null;
  renderNotice();
}

function serverUnreachable() {
  if (state.serverDownSince) return;
  state.serverDownSince = new Date();
  renderNotice();
}

// Once a second: running durations, and the check for a silent stream.
function tick() {
  if (state.summary) tickStations();
  tickNotice();
  if (conn.es && performance.now() - conn.lastEventAt > STREAM_SILENCE_MS) streamBroken();
}

function start() {
  if (typeof Chart !== 'undefined') {
    hoursChart = makeChart();
    matchMedia('(prefers-color-scheme: dark)').addEventListener('change', restyleChart);
  } else {
    // Without the chart library the hour table is the chart.
    $('hours-box').hidden = true;
    $('hours-table-box').classList.remove('visually-hidden');
  }
  poll();
  openStream();
  setInterval(tick, 1000);
}

start();
