// The dashboard: one card per channel, kept up to date over /api/live.
// Measure (P(8)) and setpoint (P(9)) run 0..32000 for 0..100 % of the
// capacity (P(17), in the unit P(18)); P(33) is the user's tag, P(28) the
// alarm information. A channel with a setpoint item takes a new setpoint.
'use strict';

const FULL_SCALE = 32000;
const TREND_POINTS = 120;
const ITEMS = { 'P(8)': 'measure', 'P(9)': 'setpoint', 'P(17)': 'capacity', 'P(18)': 'unit',
                'P(33)': 'tag', 'P(28)': 'alarm' };
const channels = new Map(); // topic -> { el, values, trend: {measure: [], setpoint: []} }

const $ = (sel, root = document) => root.querySelector(sel);

function percent(raw) {
  const n = Number(raw);
  return Number.isFinite(n) ? n * 100 / FULL_SCALE : NaN;
}

function inUnits(pct, ch) {
  const cap = Number(ch.values.capacity);
  if (!Number.isFinite(pct) || !Number.isFinite(cap) || cap <= 0) return '';
  const v = pct * cap / 100;
  return `${v.toPrecision(4)} ${(ch.values.unit || '').trim()}`;
}

function show(ch) {
  const el = ch.el;
  for (const name of ['measure', 'setpoint']) {
    const pct = percent(ch.values[name]);
    const units = inUnits(pct, ch);
    $(`.${name}`, el).textContent =
      ch.values[name] === undefined ? '–' : `${pct.toFixed(1)} %${units ? ` · ${units}` : ''}`;
  }
  $('.tag', el).textContent = (ch.values.tag || '').trim();
  const alarm = Number(ch.values.alarm);
  $('.alarm', el).hidden = !(alarm > 0);
  $('.alarm', el).textContent = alarm > 0 ? `Alarm (code ${alarm})` : '';
  $('.write', el).hidden = ch.values.setpoint === undefined;
  drawTrend(ch);
}

function drawTrend(ch) {
  for (const name of ['measure', 'setpoint']) {
    const pts = ch.trend[name];
    const step = 120 / (TREND_POINTS - 1);
    const from = TREND_POINTS - pts.length;
    $(`.trend-${name}`, ch.el).setAttribute('points', pts.map((p, i) =>
      `${((from + i) * step).toFixed(1)},${(40 - Math.max(0, Math.min(100, p)) * 0.4).toFixed(1)}`).join(' '));
  }
  const m = ch.trend.measure;
  $('.trend', ch.el).setAttribute('aria-label',
    m.length ? `Trend of the measure, last ${m[m.length - 1].toFixed(1)} %` : 'Trend of the measure, no values yet');
}

function addCard(t) {
  const el = $('#card').content.firstElementChild.cloneNode(true);
  const id = `ch-${t.channel}`;
  $('h2', el).id = id;
  el.setAttribute('aria-labelledby', id);
  $('.topic', el).textContent = t.topic;
  $('.device', el).textContent = t.device;
  const ch = { el, values: {}, trend: { measure: [], setpoint: [] } };
  const form = $('.write', el);
  $('input', form).setAttribute('aria-describedby', id);
  form.addEventListener('submit', async (ev) => {
    ev.preventDefault();
    const pct = Number(form.setpoint.value);
    const out = $('.result', form);
    out.textContent = 'writing…';
    try {
      const r = await fetch(`/api/topics/${encodeURIComponent(t.topic)}/items/P(9)`, {
        method: 'PUT', headers: { 'Content-Type': 'text/plain' }, body: String(Math.round(pct * FULL_SCALE / 100)) });
      const body = await r.json();
      out.textContent = r.ok ? `Setpoint ${pct} % written` : `Not written: ${body.error}`;
    } catch (e) {
      out.textContent = `Not written: ${e.message}`;
    }
  });
  channels.set(t.topic, ch);
  $('#channels').append(el);
  show(ch);
}

function onValue(v) {
  const ch = channels.get(v.topic);
  if (!ch) return;
  const name = ITEMS[v.item];
  if (!name) return;
  ch.values[name] = v.value === null ? undefined : v.value;
  if ((name === 'measure' || name === 'setpoint') && v.value !== null) {
    const t = ch.trend[name];
    t.push(percent(v.value));
    if (t.length > TREND_POINTS) t.shift();
  }
  show(ch);
}

let ws = null;
function connect() {
  if (ws) {
    ws.onclose = null;
    ws.close();
  }
  ws = new WebSocket(`${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/api/live`);
  ws.onopen = () => {
    const names = [];
    for (const topic of channels.keys())
      for (const item of Object.keys(ITEMS)) names.push(`${topic}/${item}`);
    ws.send(JSON.stringify({ subscribe: names }));
  };
  ws.onmessage = (ev) => {
    const data = JSON.parse(ev.data);
    if (Array.isArray(data)) data.forEach(onValue);
    else if (data.error) $('#message').textContent = data.error;
  };
  ws.onclose = (ev) => {
    ws = null;
    $('#message').textContent = `Live values interrupted${ev.reason ? `: ${ev.reason}` : ''}; reconnecting…`;
    setTimeout(() => start(), 2000);
  };
}

async function refreshServer() {
  try {
    const r = await fetch('/api/server');
    if (!r.ok) throw new Error((await r.json()).error);
    const s = await r.json();
    $('#status').textContent = s.status || '–';
    $('#comstatus').textContent = s.comStatus || '–';
    $('#interface').textContent = s.interface || '–';
    $('#reason').hidden = s.polling;
    $('#reason').textContent = s.polling ? '' : `Not polling: ${s.notPollingReason}`;
    return s;
  } catch (e) {
    $('#status').textContent = `server not reachable (${e.message})`;
    return null;
  }
}

async function start() {
  $('#message').textContent = '';
  await refreshServer();
  try {
    const r = await fetch('/api/topics');
    const topics = await r.json();
    const wanted = topics.filter((t) => t.channel > 0);
    // Channels come and go with the communication: the cards follow.
    const same = wanted.length === channels.size && wanted.every((t) => channels.has(t.topic));
    if (!same) {
      channels.clear();
      $('#channels').replaceChildren();
      wanted.forEach(addCard);
    }
    if (!wanted.length) $('#message').textContent = 'No channels: the communication is not open.';
  } catch (e) {
    $('#message').textContent = `Channels not read: ${e.message}`;
  }
  connect();
}

setInterval(async () => {
  const s = await refreshServer();
  // A scan finished or the communication opened or closed: the channels follow.
  if (s && s.channels !== channels.size) start();
}, 2000);
start();
