// The dashboard: one card per channel, kept up to date over /api/live.
// Which items a card shows comes from the items' metadata
// (/api/topics/{topic}/items): the items named below, the measure's and
// setpoint's unit ("1/320 %": 320 counts are 1 %), the capacity and its
// unit, the alarm bits' meanings, whether the setpoint can be written.
'use strict';

const TREND_MS = 120000; // the trend shows the last two minutes
// Item name (the parameter's short name) -> what the card shows.
const ROLES = { measure: 'measure', setpoint: 'setpoint', capacity: 'capacity', capunit: 'unit',
                usertag: 'tag', alarminfo: 'alarm' };
const channels = new Map(); // topic -> { el, items: {item: role}, meta: {role: metadata}, values, trend }

const $ = (sel, root = document) => root.querySelector(sel);
const item = (topic, name) => `/api/topics/${encodeURIComponent(topic)}/items/${encodeURIComponent(name)}`;

// Counts per percent, from a unit "1/N %"; 320 when the unit says nothing.
function perPercent(meta) {
  const m = /^1\/(\d+(?:\.\d+)?) %$/.exec((meta && meta.unit) || '');
  return m ? Number(m[1]) : 320;
}

function percent(raw, meta) {
  const n = Number(raw);
  return Number.isFinite(n) && raw !== '' ? n / perPercent(meta) : NaN;
}

function inUnits(pct, ch) {
  const cap = Number(ch.values.capacity);
  if (!Number.isFinite(pct) || !Number.isFinite(cap) || cap <= 0) return '';
  const v = pct * cap / 100;
  return `${v.toPrecision(4)} ${(ch.values.unit || '').trim()}`;
}

// The alarm bits that are set, by their meanings.
function alarmText(code, meta) {
  const set = Object.entries((meta && meta.values) || {})
    .filter(([bit]) => Number(bit) > 0 && (code & Number(bit)) === Number(bit)).map(([, meaning]) => meaning);
  return set.length ? set.join(', ') : `code ${code}`;
}

function show(ch) {
  const el = ch.el;
  for (const name of ['measure', 'setpoint']) {
    const pct = percent(ch.values[name], ch.meta[name]);
    const units = inUnits(pct, ch);
    const dd = $(`.${name}`, el);
    dd.textContent = ch.values[name] === undefined ? '–' : `${pct.toFixed(1)} %`;
    if (units && ch.values[name] !== undefined) {
      const span = document.createElement('span');
      span.className = 'units';
      span.textContent = units;
      dd.append(span);
    }
  }
  $('.tag', el).textContent = (ch.values.tag || '').trim();
  const alarm = Number(ch.values.alarm);
  $('.alarm', el).hidden = !(alarm > 0);
  $('.alarm', el).textContent = alarm > 0 ? `Alarm: ${alarmText(alarm, ch.meta.alarm)}` : '';
  $('.write', el).hidden = ch.values.setpoint === undefined || !/W/.test(ch.meta.setpoint.access);
  drawTrend(ch);
}

// Measure and setpoint over time, 0..100 % high, as steps: a value holds
// until the next one, the last one until now.
function drawTrend(ch, now = Date.now()) {
  const x = (t) => (120 * (1 - Math.min(TREND_MS, now - t) / TREND_MS)).toFixed(1);
  const y = (v) => (40 - Math.max(0, Math.min(100, v)) * 0.4).toFixed(1);
  for (const name of ['measure', 'setpoint']) {
    const pts = ch.trend[name];
    while (pts.length > 1 && now - pts[1].t > TREND_MS) pts.shift(); // the first holds from the left edge
    const line = [];
    pts.forEach((p, i) => {
      if (i > 0) line.push(`${x(p.t)},${y(pts[i - 1].v)}`);
      line.push(`${x(p.t)},${y(p.v)}`);
    });
    if (pts.length) line.push(`120,${y(pts[pts.length - 1].v)}`);
    $(`.trend-${name}`, ch.el).setAttribute('points', line.join(' '));
  }
  const m = ch.trend.measure;
  $('.trend', ch.el).setAttribute('aria-label', m.length
    ? `Trend of the measure over two minutes, last ${m[m.length - 1].v.toFixed(1)} %` : 'Trend of the measure, no values yet');
}

// A card for channel topic t, from its items and what they are.
async function addCard(t) {
  const el = $('#card').content.firstElementChild.cloneNode(true);
  const id = `ch-${t.channel}`;
  $('h2', el).id = id;
  el.setAttribute('aria-labelledby', id);
  $('.topic', el).textContent = t.topic;
  $('.device', el).textContent = t.device;
  const ch = { el, items: {}, meta: {}, values: {}, trend: { measure: [], setpoint: [] } };
  channels.set(t.topic, ch);
  $('#channels').append(el); // in the order of the topics, whichever answer comes first
  const r = await fetch(`/api/topics/${encodeURIComponent(t.topic)}/items`);
  if (!r.ok) throw new Error((await r.json()).error);
  for (const i of await r.json()) {
    const role = ROLES[i.name];
    if (!role) continue;
    ch.items[i.item] = role;
    ch.meta[role] = i;
    if (i.value !== '' && i.value !== i.name) ch.values[role] = i.value; // the name: no value yet
  }
  // What the instrument does not have is not shown (an interface has no measure).
  for (const role of ['measure', 'setpoint']) {
    const dd = $(`.${role}`, el);
    dd.parentElement.hidden = !ch.meta[role];
    if (ch.meta[role]) dd.previousElementSibling.textContent = ch.meta[role].longName;
    const p = percent(ch.values[role], ch.meta[role]);
    if (Number.isFinite(p)) ch.trend[role].push({ t: Date.now(), v: p });
  }
  $('.trend', el).toggleAttribute('hidden', !ch.meta.measure);
  if (ch.meta.alarm) {
    // The meanings of the alarm bits come with the single item.
    const a = await fetch(item(t.topic, ch.meta.alarm.item));
    if (a.ok) ch.meta.alarm = await a.json();
  }
  const form = $('.write', el);
  $('input', form).setAttribute('aria-describedby', id);
  const sp = ch.meta.setpoint;
  if (sp && sp.min !== undefined) {
    form.setpoint.min = percent(sp.min, sp);
    form.setpoint.max = percent(sp.max, sp);
  }
  form.addEventListener('submit', async (ev) => {
    ev.preventDefault();
    const pct = Number(form.setpoint.value);
    const out = $('.result', form);
    out.textContent = 'writing…';
    try {
      const r = await fetch(item(t.topic, sp.item), {
        method: 'PUT', headers: { 'Content-Type': 'text/plain' }, body: String(Math.round(pct * perPercent(sp))) });
      const body = await r.json();
      out.textContent = r.ok ? `Setpoint ${pct} % written` : `Not written: ${body.error}`;
    } catch (e) {
      out.textContent = `Not written: ${e.message}`;
    }
  });
  show(ch);
}

function onValue(v) {
  const ch = channels.get(v.topic);
  if (!ch) return;
  const name = ch.items[v.item];
  // Until its first value an item shows the parameter's name.
  if (!name || v.value === ch.meta[name].name) return;
  ch.values[name] = v.value === null ? undefined : v.value;
  if ((name === 'measure' || name === 'setpoint') && v.value !== null) {
    const p = percent(v.value, ch.meta[name]);
    if (Number.isFinite(p)) ch.trend[name].push({ t: Date.now(), v: p });
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
    for (const [topic, ch] of channels)
      for (const name of Object.keys(ch.items)) names.push(`${topic}/${name}`);
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
      await Promise.all(wanted.map(addCard));
    }
    if (!wanted.length) $('#message').textContent = 'No channels: the communication is not open.';
  } catch (e) {
    $('#message').textContent = `Channels not read: ${e.message}`;
  }
  connect();
}

// The trends move on with the time.
setInterval(() => {
  const now = Date.now();
  for (const ch of channels.values()) drawTrend(ch, now);
}, 1000);

setInterval(async () => {
  const s = await refreshServer();
  // A scan finished or the communication opened or closed: the channels follow.
  if (s && s.channels !== channels.size) start();
}, 2000);
start();
