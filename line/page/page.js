// The line's page. Every text that comes from a record or a station is put
// in with textContent or as an attribute value, never as markup.
'use strict';

const SVG = 'http://www.w3.org/2000/svg';
const $ = (id) => document.getElementById(id);

function el(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined && text !== null) node.textContent = String(text);
  return node;
}

function svg(tag, attributes, text) {
  const node = document.createElementNS(SVG, tag);
  for (const [name, value] of Object.entries(attributes || {})) node.setAttribute(name, String(value));
  if (text !== undefined && text !== null) node.textContent = String(text);
  return node;
}

// A name in a chart's label column: cut to fit, whole in its tooltip.
function label(attributes, text, longest) {
  const node = svg('text', attributes, text.length > longest ? text.slice(0, longest - 1) + '\u2026' : text);
  node.appendChild(svg('title', {}, text));
  return node;
}

const percent = (share) => (share === null || share === undefined ? '-' : (100 * share).toFixed(1) + ' %');
const seconds = (ms) => (ms === null || ms === undefined ? '-' : (ms / 1000).toFixed(1) + ' s');
const minuteText = (date) => date.toISOString().slice(0, 16);

function duration(ms) {
  const s = Math.max(0, Math.floor(ms / 1000));
  if (s < 60) return s + ' s';
  if (s < 3600) return Math.floor(s / 60) + ' min ' + (s % 60) + ' s';
  if (s < 86400) return Math.floor(s / 3600) + ' h ' + Math.floor((s % 3600) / 60) + ' min';
  return Math.floor(s / 86400) + ' d ' + Math.floor((s % 86400) / 3600) + ' h';
}

// What the page last loaded; the browser test reads figuresText.
window.lineData = { board: null, figures: null, figuresText: '' };

const view = { hours: 8 };  // a rolling range of the last hours, or null: the inputs'
let serverOffsetMs = 0;  // the server's clock less this browser's

function rangeQuery() {
  const params = new URLSearchParams();
  const since = view.hours ? minuteText(new Date(Date.now() + serverOffsetMs - view.hours * 3600e3)) : $('since').value;
  if (since) params.set('since', since);
  if (!view.hours && $('until').value) params.set('until', $('until').value);
  return params;
}

// --- the station board -----------------------------------------------------

function stateOf(station) {
  const status = station.status;
  if (status && typeof status === 'object' && status.state) return String(status.state);
  return 'no status';
}

function renderBoard(board) {
  const root = $('board');
  const cards = [];
  const approved = board.approved;
  $('approved').textContent = approved && typeof approved === 'object'
    ? 'approved: ' + approved.name + ' ' + approved.checksum + ' sha256 ' + String(approved.sha256).slice(0, 12) + '...'
    : 'approved: (none heard)';
  for (const station of board.stations) {
    const status = station.status && typeof station.status === 'object' ? station.status : {};
    const state = stateOf(station);
    const card = el('div', 'station state-' + (/^[a-z]+$/.test(state) ? state : 'unknown'));
    card.title = state === 'no status' ? 'the page hears the stations\' status when it is served with --line' : '';
    card.dataset.station = station.station;
    card.appendChild(el('div', 'name', station.station));
    const stateLine = el('div', 'state', state);
    const since = status.since || station.status_received;
    if (since) {
      const time = el('span', 'for');
      time.dataset.since = since;
      stateLine.appendChild(time);
    }
    card.appendChild(stateLine);
    if (status.why) card.appendChild(el('div', 'why', status.why));
    if (status.image_name !== undefined) {
      const image = el('div', 'image', status.image_name + '  ' + status.checksum + '  sha256 ' +
        String(status.sha256 || '').slice(0, 12) + '...');
      image.appendChild(el('span', station.approved ? 'ok' : 'bad', station.approved ? 'approved' : 'not approved'));
      card.appendChild(image);
    }
    if (status.passed !== undefined)
      card.appendChild(el('div', 'counts', 'passed ' + status.passed + '   failed ' + status.failed));
    const underWay = station.under_way || [];
    if (underWay.length && state !== 'offline') {
      const list = el('ul', 'underway');
      for (const unit of underWay) {
        const item = el('li', null, unit.device + ' ' + (unit.serial || unit.unit) + ' under way ');
        const time = el('span', 'for');
        time.dataset.since = unit.started;
        item.appendChild(time);
        list.appendChild(item);
      }
      card.appendChild(list);
    }
    if (station.last_time)
      card.appendChild(el('div', 'last', 'last record ' + station.last_time.slice(11, 19) + ' UTC' +
        (station.last_result ? ', last unit ' + station.last_result : '')));
    cards.push(card);
  }
  if (!cards.length) cards.push(el('p', 'small', 'No station has reported yet.'));
  root.replaceChildren(...cards);
  if (board.error) root.appendChild(el('p', 'bad', board.error));
  tickDurations();
}

function tickDurations() {
  const now = Date.now() + serverOffsetMs;
  for (const node of document.querySelectorAll('[data-since]')) {
    const since = Date.parse(node.dataset.since);
    node.textContent = Number.isNaN(since) ? '' : ' for ' + duration(now - since);
  }
}

// --- the shift's figures ---------------------------------------------------

// The hours of the range (to now when it is open), or of the data when the
// range has no start; a quiet hour shows as a gap.
function hourList(figures) {
  const seen = [];
  for (const s of figures.stations) for (const h of s.hours) seen.push(h.hour);
  seen.sort();
  const first = figures.since ? Date.parse(figures.since) : seen.length ? Date.parse(seen[0] + ':00:00Z') : NaN;
  const last = figures.until ? Date.parse(figures.until) - 1 : Date.now() + serverOffsetMs;
  const hours = [];
  for (let t = Math.floor(first / 3600e3) * 3600e3; t <= last && hours.length < 24 * 31; t += 3600e3)
    hours.push(new Date(t).toISOString().slice(0, 13));
  return hours;
}

function renderHours(figures) {
  const hours = hourList(figures);
  const rowHeight = 56, labelWidth = 150, width = 760, chartWidth = width - labelWidth - 40;
  const height = Math.max(1, figures.stations.length) * rowHeight + 24;
  const chart = svg('svg', { viewBox: `0 0 ${width} ${height}`, width, height, role: 'img' });
  let most = 1;
  for (const s of figures.stations) for (const h of s.hours) most = Math.max(most, h.passed + h.failed);
  const step = hours.length ? chartWidth / hours.length : chartWidth;
  figures.stations.forEach((station, row) => {
    const top = row * rowHeight + 4, base = top + rowHeight - 12;
    chart.appendChild(label({ x: 0, y: top + rowHeight / 2, class: 'label' }, station.station, 20));
    chart.appendChild(svg('line', { x1: labelWidth, x2: labelWidth + chartWidth, y1: base, y2: base, class: 'axis' }));
    const byHour = new Map(station.hours.map((h) => [h.hour, h]));
    hours.forEach((hour, i) => {
      const h = byHour.get(hour);
      if (!h) return;
      const w = Math.max(1, Math.min(step * 0.8, 48)), x = labelWidth + i * step + (step - w) / 2;
      const passed = (h.passed / most) * (rowHeight - 20), failed = (h.failed / most) * (rowHeight - 20);
      const bar = svg('g');
      bar.appendChild(svg('title', {}, `${station.station} ${hour}:00 UTC: ${h.passed} passed, ${h.failed} failed`));
      bar.appendChild(svg('rect', { x, y: base - passed, width: w, height: passed, class: 'pass' }));
      bar.appendChild(svg('rect', { x, y: base - passed - failed, width: w, height: failed, class: 'fail' }));
      chart.appendChild(bar);
      if (hours.length <= 24)
        chart.appendChild(svg('text', { x: x + w / 2, y: base - passed - failed - 2, class: 'value' }, h.passed + h.failed));
    });
  });
  if (hours.length) {
    const y = height - 4;
    chart.appendChild(svg('text', { x: labelWidth, y, class: 'tick' }, hours[0].replace('T', ' ') + ':00'));
    chart.appendChild(svg('text', { x: labelWidth + chartWidth, y, class: 'tick end' }, hours[hours.length - 1].replace('T', ' ') + ':00'));
  } else {
    chart.appendChild(svg('text', { x: labelWidth, y: 30, class: 'label' }, 'no unit ended in this range'));
  }
  $('hours').replaceChildren(chart);
}

function renderPareto(figures) {
  const rowHeight = 26, labelWidth = 220, width = 560;
  const rows = figures.pareto;
  const height = Math.max(1, rows.length) * rowHeight + 8;
  const chart = svg('svg', { viewBox: `0 0 ${width} ${height}`, width, height, role: 'img' });
  const most = rows.length ? rows[0].count : 1;
  let cumulative = 0;
  rows.forEach((row, i) => {
    cumulative += row.count;
    const y = i * rowHeight + 4, w = (row.count / most) * (width - labelWidth - 150);
    chart.appendChild(label({ x: 0, y: y + 16, class: 'label' }, row.reason, 30));
    chart.appendChild(svg('rect', { x: labelWidth, y, width: Math.max(1, w), height: rowHeight - 8, class: 'fail' }));
    chart.appendChild(svg('text', { x: labelWidth + w + 6, y: y + 16, class: 'value start' },
      `${row.count}  (${percent(cumulative / figures.failed)} cumulative)`));
  });
  if (!rows.length) chart.appendChild(svg('text', { x: 0, y: 20, class: 'label' }, 'no failure in this range'));
  $('pareto').replaceChildren(chart);
}

function renderCycle(figures) {
  const rowHeight = 26, labelWidth = 150, width = 560, barWidth = width - labelWidth - 110;
  const stations = figures.stations.filter((s) => s.cycle_median_ms !== null);
  const height = Math.max(1, stations.length) * rowHeight + 8;
  const chart = svg('svg', { viewBox: `0 0 ${width} ${height}`, width, height, role: 'img' });
  const most = Math.max(1, ...stations.map((s) => s.cycle_p90_ms));
  stations.forEach((s, i) => {
    const y = i * rowHeight + 4;
    chart.appendChild(label({ x: 0, y: y + 16, class: 'label' }, s.station, 20));
    chart.appendChild(svg('rect', { x: labelWidth, y, width: Math.max(1, (s.cycle_median_ms / most) * barWidth), height: rowHeight - 8, class: 'median' }));
    const p90 = labelWidth + (s.cycle_p90_ms / most) * barWidth;
    chart.appendChild(svg('line', { x1: p90, x2: p90, y1: y - 2, y2: y + rowHeight - 6, class: 'p90' }));
    chart.appendChild(svg('text', { x: labelWidth + barWidth + 8, y: y + 16, class: 'value start' },
      `${seconds(s.cycle_median_ms)} / ${seconds(s.cycle_p90_ms)}`));
  });
  if (!stations.length) chart.appendChild(svg('text', { x: 0, y: 20, class: 'label' }, 'no unit ended in this range'));
  $('cycle').replaceChildren(chart);
}

function renderFigures(figures) {
  $('yield').textContent = percent(figures.yield);
  $('yield-detail').textContent = `${figures.passed} passed, ${figures.failed} failed, ${figures.skipped} skipped`;
  $('fpy').textContent = percent(figures.first_pass_yield);
  $('fpy-detail').textContent = `${figures.first_pass} of ${figures.units} units at their first attempt, ${figures.retried} retried`;
  $('units').textContent = String(figures.passed);
  $('units-detail').textContent = 'from ' + (figures.since ? figures.since.slice(0, 16).replace('T', ' ') + ' UTC' : 'the start') +
    ' to ' + (figures.until ? figures.until.slice(0, 16).replace('T', ' ') + ' UTC' : 'now');
  renderHours(figures);
  renderPareto(figures);
  renderCycle(figures);
}

// --- loading, live ------------------------------------------------------------

let loading = null;
let again = false;

async function load() {
  if (loading) {
    again = true;
    return loading;
  }
  loading = (async () => {
    do {
      again = false;
      const query = rangeQuery();
      $('csv').href = '/api/figures.csv?' + query;
      const [board, figures] = await Promise.all([fetch('/api/board'), fetch('/api/figures?' + query)]);
      const boardData = await board.json();
      const figuresText = await figures.text();
      if (!figures.ok) throw new Error(figuresText);
      serverOffsetMs = Date.parse(boardData.now) - Date.now();
      window.lineData = { board: boardData, figures: JSON.parse(figuresText), figuresText };
      renderBoard(boardData);
      renderFigures(window.lineData.figures);
    } while (again);
  })();
  try {
    await loading;
  } catch (error) {
    $('live').textContent = 'error: ' + error.message;
    $('live').className = 'live off';
  } finally {
    loading = null;
  }
}

function listen() {
  const events = new EventSource('/api/events');
  events.addEventListener('change', () => load());
  events.onopen = () => {
    $('live').textContent = 'live';
    $('live').className = 'live on';
  };
  events.onerror = () => {
    $('live').textContent = 'reconnecting';
    $('live').className = 'live off';
  };
}

// --- the range and the unit search ------------------------------------------

function chooseHours(hours) {
  view.hours = hours;
  $('since').value = minuteText(new Date(Date.now() + serverOffsetMs - hours * 3600e3));
  $('until').value = '';
  load();
}

async function search(event) {
  event.preventDefault();
  const params = new URLSearchParams();
  for (const [name, id] of [['serial', 'q-serial'], ['identity', 'q-identity'], ['station', 'q-station'],
    ['since', 'q-since'], ['until', 'q-until']])
    if ($(id).value) params.set(name, $(id).value);
  const response = await fetch('/api/units?' + params);
  if (!response.ok) {
    $('found').textContent = await response.text();
    return;
  }
  const found = await response.json();
  const rows = found.records.map((r) => {
    const row = el('tr', r.record === 'unit-end' ? 'end ' + (r.result === 'passed' ? 'ok' : r.result === 'failed' ? 'bad' : '') : 'start');
    for (const value of [r.time, r.record, r.station, r.unit, r.device, r.serial, r.identity, r.result,
      r.exit_name, r.duration_ms !== undefined ? seconds(r.duration_ms) : '', r.message])
      row.appendChild(el('td', null, value === undefined || value === null ? '' : value));
    return row;
  });
  $('records').tBodies[0].replaceChildren(...rows);
  const units = new Set(found.records.map((r) => r.unit)).size;
  $('found').textContent = `${found.records.length} records of ${units} units` +
    (units >= found.limit ? ` (the newest ${found.limit} units)` : '');
}

document.addEventListener('DOMContentLoaded', () => {
  for (const button of document.querySelectorAll('button[data-hours]'))
    button.addEventListener('click', () => chooseHours(Number(button.dataset.hours)));
  for (const id of ['since', 'until'])
    $(id).addEventListener('change', () => {
      view.hours = null;
      load();
    });
  $('search').addEventListener('submit', search);
  $('since').value = minuteText(new Date(Date.now() - view.hours * 3600e3));
  setInterval(tickDurations, 1000);
  listen();
  load();
});
