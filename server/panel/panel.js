// The front panel of `vrx5200 serve`: one page over the JSON API under /api/v1, no other
// sources. Plots are drawn on canvases, one path per trace.
'use strict';

const $ = (id) => document.getElementById(id);

// ---- API access ----

// The token comes once, in the page's address (#token=T, as the server printed it) or in the
// form, and is traded at once for a cookie of the browser's session that no script can read:
// it is kept nowhere else, and links, downloads and the event stream carry the cookie only.
let givenToken = '';
{
  const match = /(?:^#|&)token=([^&]*)/.exec(location.hash);
  if (match) {
    givenToken = decodeURIComponent(match[1]);
    history.replaceState(null, '', location.pathname + location.search);
  }
}

class ApiError extends Error {
  constructor(status, body, text) {
    super(body?.error ?? (text || `HTTP ${status}`));
    this.status = status;
    this.code = body?.code ?? null;
    this.meaning = body?.meaning ?? null;
    this.body = body;
  }
}

// Sends a request; a JSON body for objects, raw bytes for an ArrayBuffer. Answers the parsed
// JSON, or throws an ApiError carrying the server's error object.
async function api(method, path, body) {
  const headers = {};
  let payload;
  if (body instanceof ArrayBuffer) {
    headers['Content-Type'] = 'application/octet-stream';
    payload = body;
  } else if (body !== undefined) {
    headers['Content-Type'] = 'application/json';
    payload = JSON.stringify(body);
  }
  let response;
  try {
    response = await fetch(path, { method, headers, body: payload, credentials: 'same-origin' });
  } catch (error) {
    serverGone(error.message);
    throw error;
  }
  const text = await response.text();
  let data = null;
  try {
    data = text ? JSON.parse(text) : null;
  } catch {
    if (response.ok) throw new ApiError(response.status, null, 'the server answered no JSON');
  }
  if (!response.ok) {
    const error = new ApiError(response.status, data, text);
    if ([401, 403, 429].includes(response.status)) refused(error);
    throw error;
  }
  return data;
}

// Trades a token for the session's cookie.
async function startSession(token) {
  const response = await fetch('/api/v1/session', {
    method: 'POST', headers: { Authorization: `Bearer ${token}` }, credentials: 'same-origin',
  });
  if (!response.ok) {
    let data = null;
    try { data = await response.json(); } catch { /* not JSON */ }
    const error = new ApiError(response.status, data, '');
    refused(error);
    throw error;
  }
}

// The routes of the board chosen in the header (the server's default board until one is).
let board = '';
const boardPath = (tail) =>
  (board ? `/api/v1/boards/${encodeURIComponent(board)}${tail}` : `/api/v1${tail}`);

// The first `bytes` bytes of a binary resource, without reading the rest of it.
async function fetchHead(path, bytes) {
  const response = await fetch(path, { credentials: 'same-origin' });
  if (!response.ok) {
    let data = null;
    try { data = await response.json(); } catch { /* not JSON */ }
    throw new ApiError(response.status, data, '');
  }
  const head = new Uint8Array(bytes);
  let filled = 0;
  const reader = response.body.getReader();
  while (filled < bytes) {
    const { done, value } = await reader.read();
    if (done) break;
    const n = Math.min(value.length, bytes - filled);
    head.set(value.subarray(0, n), filled);
    filled += n;
  }
  reader.cancel().catch(() => {});
  return head.buffer.slice(0, filled - (filled % 2));
}

// ---- status line ----

function showStatus(text, kind = 'ok') {
  const status = $('status');
  status.textContent = text;
  status.className = kind;
  status.title = text;
}

function showError(error, what) {
  let text;
  if (error instanceof ApiError) {
    text = `${what ? what + ': ' : ''}${error.message} (HTTP ${error.status})`;
    if (error.code !== null) text += `; code ${error.code}`;
    if (error.meaning) text += `: ${error.meaning}`;
  } else if (error instanceof TypeError) {
    text = `${what ? what + ': ' : ''}no answer from the server (${error.message})`;
  } else {
    text = `${what ? what + ': ' : ''}${error.message}`;
  }
  showStatus(text, 'error');
}

// Runs an action from a button: its errors go to the status line.
function action(what, run) {
  return async (event) => {
    event?.preventDefault();
    try {
      await run();
    } catch (error) {
      showError(error, what);
    }
  };
}

// ---- the link to the server ----

// Always shown in the header: live (the event stream is open), server gone (reconnecting), or
// refused (the page's session is not accepted: it says why and asks for the token).
const link = { state: 'connecting', since: null, retry: null };

const clock = (date) => date.toLocaleTimeString([], { hour12: false });

function setConnection(state, detail = '') {
  const el = $('connection');
  if (state !== link.state) link.since = new Date();
  link.state = state;
  el.dataset.state = state;
  el.textContent = {
    connecting: 'connecting…',
    live: 'live',
    gone: `server gone since ${clock(link.since)}, reconnecting…`,
    refused: 'refused',
  }[state];
  el.title = detail || el.textContent;
}

// No answer from the server: the trace is no longer live; the event stream keeps trying, and
// so does a probe every two seconds.
function serverGone(why) {
  if (link.state === 'refused') return;
  if (link.state !== 'gone') {
    setConnection('gone', why);
    markStale('the server is gone');
  }
  if (!link.retry) link.retry = setTimeout(probe, 2000);
}

async function probe() {
  link.retry = null;
  try {
    const response = await fetch('/api/v1', { credentials: 'same-origin' });
    if (response.ok) {
      if (link.state !== 'live') connectEvents();
      return;
    }
    let data = null;
    try { data = await response.json(); } catch { /* not JSON */ }
    refused(new ApiError(response.status, data, ''));
  } catch (error) {
    serverGone(error.message);
  }
}

// The server will not serve this page as it stands: why, and the token asked for.
function refused(error) {
  const why = error.status === 401
    ? `${error.message}.`
    : error.status === 429 ? `${error.message}.` : `${error.message} (HTTP ${error.status}).`;
  $('refused-why').textContent = why;
  $('refused').hidden = false;
  setConnection('refused', why);
  markStale('refused by the server');
  events?.close();
  events = null;
  $('token').focus();
}

// ---- numbers ----

// "250e6", "250M", "1.5k" and plain numbers.
function parseNumber(text, name) {
  const match = /^\s*([-+]?[\d.]+(?:e[-+]?\d+)?)\s*([kMG]?)\s*(?:Hz)?\s*$/i.exec(text);
  const scale = { '': 1, k: 1e3, m: 1e6, g: 1e9 };
  const value = match ? Number(match[1]) * scale[match[2].toLowerCase()] : NaN;
  if (!Number.isFinite(value)) throw new Error(`${name}: "${text}" is not a number`);
  return value;
}

function parseInteger(text, name, low, high) {
  const value = /^\s*0x[0-9a-f]+\s*$/i.test(text) ? parseInt(text, 16) : Number(text);
  if (!Number.isInteger(value) || value < low || value > high) {
    throw new Error(`${name} must be an integer from ${low} to ${high}`);
  }
  return value;
}

function hzUnit(span) {
  if (span >= 1e6) return [1e6, 'MHz'];
  if (span >= 1e3) return [1e3, 'kHz'];
  return [1, 'Hz'];
}

function formatHz(value, digits = 6) {
  if (value === null || value === undefined) return '–';
  const [scale, unit] = hzUnit(Math.abs(value));
  return `${Number((value / scale).toPrecision(digits))} ${unit}`;
}

const fixed = (value, digits = 2) =>
  (value === null || value === undefined ? '–' : value.toFixed(digits));
const hex = (value) => `0x${value.toString(16).toUpperCase().padStart(2, '0')}`;

// ---- plotting ----

const colors = {
  grid: '#222a31',
  axis: '#3a4550',
  label: '#8d9aa7',
  trace: '#7cf29c',
  stale: '#5d6873',
  hold: '#ff8a65',
  marker: '#e1bee7',
  time: '#4fc3f7',
  fundamental: '#4fc3f7',
  harmonic: '#ffb74d',
  select: 'rgba(79, 195, 247, 0.15)',
  labelBack: 'rgba(10, 13, 16, 0.8)',
  text: '#d5dde5',
};
const FONT = '11px ui-monospace, Menlo, Consolas, monospace';

// Round steps (1, 2, 5 times a power of ten) giving at most about `count` ticks in [low, high].
function ticks(low, high, count) {
  const raw = (high - low) / Math.max(1, count);
  const power = 10 ** Math.floor(Math.log10(raw));
  const step = [1, 2, 5, 10].map((m) => m * power).find((s) => s >= raw) ?? 10 * power;
  const list = [];
  for (let v = Math.ceil(low / step) * step; v <= high + step * 1e-9; v += step) list.push(v);
  return { list, step };
}

function decimals(step) {
  return Math.max(0, -Math.floor(Math.log10(step) + 1e-9));
}

// A canvas sized to its box in device pixels, with a context in CSS pixels.
function prepare(canvas) {
  const ratio = window.devicePixelRatio || 1;
  const width = Math.max(1, Math.round(canvas.clientWidth * ratio));
  const height = Math.max(1, Math.round(canvas.clientHeight * ratio));
  if (canvas.width !== width || canvas.height !== height) {
    canvas.width = width;
    canvas.height = height;
  }
  const ctx = canvas.getContext('2d');
  ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
  ctx.clearRect(0, 0, canvas.clientWidth, canvas.clientHeight);
  ctx.font = FONT;
  return ctx;
}

// The plot area and the mapping of data to it.
class Frame {
  constructor(canvas, x0, x1, y0, y1, left = 48) {
    this.left = left;
    this.top = 8;
    this.right = canvas.clientWidth - 12;
    this.bottom = canvas.clientHeight - 22;
    Object.assign(this, { x0, x1, y0, y1 });
  }
  x(v) { return this.left + ((v - this.x0) / (this.x1 - this.x0)) * (this.right - this.left); }
  y(v) { return this.bottom - ((v - this.y0) / (this.y1 - this.y0)) * (this.bottom - this.top); }
  xValue(px) {
    return this.x0 + ((px - this.left) / (this.right - this.left)) * (this.x1 - this.x0);
  }
  inside(px, py) {
    return px >= this.left && px <= this.right && py >= this.top && py <= this.bottom;
  }
}

// Grid, tick labels and a unit label at the end of each axis.
function drawAxes(ctx, f, xScale, xUnit, yUnit, yTicks = null) {
  const xt = ticks(f.x0 / xScale, f.x1 / xScale, Math.floor((f.right - f.left) / 80));
  const yt = yTicks ?? ticks(f.y0, f.y1, Math.floor((f.bottom - f.top) / 28));
  ctx.strokeStyle = colors.grid;
  ctx.lineWidth = 1;
  ctx.beginPath();
  for (const v of xt.list) {
    const px = Math.round(f.x(v * xScale)) + 0.5;
    ctx.moveTo(px, f.top);
    ctx.lineTo(px, f.bottom);
  }
  for (const v of yt.list) {
    const py = Math.round(f.y(v)) + 0.5;
    ctx.moveTo(f.left, py);
    ctx.lineTo(f.right, py);
  }
  ctx.stroke();
  ctx.strokeStyle = colors.axis;
  ctx.strokeRect(f.left + 0.5, f.top + 0.5, f.right - f.left, f.bottom - f.top);

  ctx.fillStyle = colors.label;
  ctx.textAlign = 'center';
  ctx.textBaseline = 'top';
  const xd = decimals(xt.step);
  for (const v of xt.list) {
    const px = f.x(v * xScale);
    if (px > f.right - 30) continue;  // room for the unit
    ctx.fillText(v.toFixed(xd), px, f.bottom + 5);
  }
  ctx.textAlign = 'right';
  ctx.fillText(xUnit, f.right, f.bottom + 5);
  ctx.textBaseline = 'middle';
  const yd = decimals(yt.step);
  for (const v of yt.list) ctx.fillText(v.toFixed(yd), f.left - 5, f.y(v));
  ctx.save();
  ctx.translate(9, (f.top + f.bottom) / 2);
  ctx.rotate(-Math.PI / 2);
  ctx.textAlign = 'center';
  ctx.fillText(yUnit, 0, 0);
  ctx.restore();
}

// One path through the points whose x lies in the frame (plus one on each side).
function drawTrace(ctx, f, xs, ys, color) {
  let first = lowerBound(xs, f.x0) - 1;
  let last = lowerBound(xs, f.x1) + 1;
  first = Math.max(0, first);
  last = Math.min(xs.length, last);
  ctx.save();
  ctx.beginPath();
  ctx.rect(f.left, f.top, f.right - f.left, f.bottom - f.top);
  ctx.clip();
  ctx.strokeStyle = color;
  ctx.lineWidth = 1;
  ctx.lineJoin = 'round';
  ctx.beginPath();
  const floor = f.y0 - (f.y1 - f.y0);
  for (let i = first; i < last; ++i) {
    const y = Number.isFinite(ys[i]) ? ys[i] : floor;
    if (i === first) ctx.moveTo(f.x(xs[i]), f.y(y));
    else ctx.lineTo(f.x(xs[i]), f.y(y));
  }
  ctx.stroke();
  ctx.restore();
}

// The first index whose value is not below v, in ascending values.
function lowerBound(values, v) {
  let lo = 0;
  let hi = values.length;
  while (lo < hi) {
    const mid = (lo + hi) >> 1;
    if (values[mid] < v) lo = mid + 1;
    else hi = mid;
  }
  return lo;
}

function drawMessage(ctx, f, text) {
  ctx.fillStyle = colors.label;
  ctx.textAlign = 'center';
  ctx.textBaseline = 'middle';
  ctx.fillText(text, (f.left + f.right) / 2, (f.top + f.bottom) / 2);
}

// ---- the spectrum ----

const spectrum = {
  canvas: null,
  freq: null,        // Float64Array, Hz
  dbfs: null,        // Float64Array, dBFS (averaged when asked)
  hold: null,        // Float64Array, the highest dBFS of each point since max hold was turned on
  holdKey: '',       // the settings the held trace belongs to
  traceKey: '',      // the settings of the trace drawn
  metrics: null,
  id: null,          // the capture drawn
  capturedAt: null,  // when it was taken (Date)
  stale: null,       // why the trace is no longer live, or null
  markers: [],       // { hz, delta }: M (absolute) and D (against the first M) markers
  nyquist: 125e6,
  view: null,        // [x0, x1] in Hz when zoomed
  yRange: [-160, 0],
  drag: null,        // { from, to } in CSS pixels while selecting
  hover: null,       // CSS pixel x of the mouse
  frame: null,
  pending: false,
};

// Keeps the dB range steady between captures: it moves only when the trace leaves it or sits
// far inside it.
function updateYRange(dbfs) {
  let low = Infinity;
  let high = -Infinity;
  for (const v of dbfs) {
    if (!Number.isFinite(v)) continue;
    if (v < low) low = v;
    if (v > high) high = v;
  }
  if (!Number.isFinite(low)) return;
  let [y0, y1] = spectrum.yRange;
  const wantedLow = Math.max(-240, Math.floor((low - 5) / 20) * 20);
  if (wantedLow < y0 || wantedLow > y0 + 40) y0 = wantedLow;
  y1 = Math.max(0, Math.ceil(high / 10) * 10);
  spectrum.yRange = [y0, y1];
}

function drawSpectrum() {
  const canvas = spectrum.canvas;
  const ctx = prepare(canvas);
  const [x0, x1] = spectrum.view ?? [0, spectrum.nyquist];
  const f = new Frame(canvas, x0, x1, ...spectrum.yRange);
  spectrum.frame = f;
  canvas.dataset.zoomed = spectrum.view ? 'yes' : 'no';
  canvas.dataset.state = spectrum.freq ? (spectrum.stale ? 'stale' : 'live') : 'none';
  const [scale, unit] = hzUnit(x1);
  drawAxes(ctx, f, scale, unit, 'dBFS');
  if (!spectrum.freq) {
    drawMessage(ctx, f, 'no capture yet');
    return;
  }
  if (spectrum.hold) drawTrace(ctx, f, spectrum.freq, spectrum.hold, colors.hold);
  drawTrace(ctx, f, spectrum.freq, spectrum.dbfs, spectrum.stale ? colors.stale : colors.trace);
  drawMarkers(ctx, f);
  drawUserMarkers(ctx, f);
  if (spectrum.stale) {
    // In the plot, so that a picture of it says so too.
    const text = `NOT LIVE: ${spectrum.stale} · captured ${clock(spectrum.capturedAt)}`;
    ctx.font = FONT;
    const width = Math.min(f.right - f.left - 12, ctx.measureText(text).width + 10);
    ctx.fillStyle = 'rgba(60, 20, 22, 0.9)';
    ctx.fillRect(f.left + 6, f.bottom - 22, width, 16);
    ctx.fillStyle = '#ff6b6b';
    ctx.textAlign = 'left';
    ctx.textBaseline = 'top';
    ctx.fillText(text, f.left + 11, f.bottom - 20, width - 10);
  }
  if (spectrum.drag) {
    const a = Math.max(f.left, Math.min(spectrum.drag.from, spectrum.drag.to));
    const b = Math.min(f.right, Math.max(spectrum.drag.from, spectrum.drag.to));
    ctx.fillStyle = colors.select;
    ctx.fillRect(a, f.top, b - a, f.bottom - f.top);
  } else if (spectrum.hover !== null) {
    drawReadout(ctx, f, spectrum.hover);
  }
  canvas.dataset.points = String(spectrum.freq.length);
}

// The state of the trace in words above the plot: live, or why it is not, with its time.
function showTraceState() {
  const el = $('trace-state');
  if (!spectrum.freq) {
    el.dataset.state = 'none';
    el.textContent = 'no capture yet';
  } else if (spectrum.stale) {
    el.dataset.state = 'stale';
    el.textContent = `not live: ${spectrum.stale} · capture #${spectrum.id} taken at ` +
                     `${clock(spectrum.capturedAt)}`;
  } else {
    el.dataset.state = 'live';
    el.textContent = `live · capture #${spectrum.id} taken at ${clock(spectrum.capturedAt)}`;
  }
  $('metrics').classList.toggle('stale', Boolean(spectrum.stale));
}

// The trace (and its figures) no longer show the board as it is now.
function markStale(why) {
  if (!spectrum.freq || spectrum.stale) return;
  spectrum.stale = why;
  showTraceState();
  requestSpectrumDraw();
}

// The trace's highest level within a few points of frequency `hz`.
function levelNear(hz) {
  const i = lowerBound(spectrum.freq, hz);
  let level = -Infinity;
  for (let k = Math.max(0, i - 2); k < Math.min(spectrum.freq.length, i + 3); ++k) {
    if (Number.isFinite(spectrum.dbfs[k])) level = Math.max(level, spectrum.dbfs[k]);
  }
  return level;
}

// The fundamental and harmonics 2..5: a triangle over each peak, labels kept apart.
function drawMarkers(ctx, f) {
  const m = spectrum.metrics;
  if (!m || m.fundamental_hz === null) return;
  const level = m.fundamental_dbfs === null ? '' : ` ${m.fundamental_dbfs.toFixed(1)} dBFS`;
  const fundamental = `F ${formatHz(m.fundamental_hz, 5)}${level}`;
  const marks = [{ hz: m.fundamental_hz, label: fundamental, color: colors.fundamental }];
  for (const h of m.harmonics ?? []) {
    if (h.order < 2 || h.order > 5 || h.frequency_hz === null) continue;
    // Harmonics against the fundamental: in dBc, which the dBFS axis is not.
    const dbc = h.level_dbc === null ? '' : ` ${h.level_dbc.toFixed(1)} dBc`;
    marks.push({ hz: h.frequency_hz, label: `H${h.order}${dbc}`, color: colors.harmonic });
  }
  const placed = [];
  ctx.textAlign = 'center';
  ctx.textBaseline = 'bottom';
  for (const mark of marks) {
    if (mark.hz < f.x0 || mark.hz > f.x1) continue;
    const px = f.x(mark.hz);
    const level = levelNear(mark.hz);
    const peak = f.y(Number.isFinite(level) ? level : f.y0);
    const py = Math.max(f.top + 6, Math.min(f.bottom, peak) - 3);
    ctx.fillStyle = mark.color;
    ctx.beginPath();
    ctx.moveTo(px, py);
    ctx.lineTo(px - 4, py - 6);
    ctx.lineTo(px + 4, py - 6);
    ctx.fill();
    // The label above the triangle, moved up past labels already placed and kept in the frame.
    const width = ctx.measureText(mark.label).width + 4;
    const overlaps = (b) => placed.some((p) => Math.abs(p.x - b.x) < (p.width + b.width) / 2 &&
                                               Math.abs(p.y - b.y) < 12);
    const x = Math.max(f.left + width / 2, Math.min(f.right - width / 2, px));
    let box = { x, y: py - 8, width };
    while (overlaps(box) && box.y > f.top) box = { ...box, y: box.y - 12 };
    if (box.y - 11 < f.top) {
      // No room above the peak: beside it, on the side with room.
      const right = px + 8 + width <= f.right;
      const side = right ? px + 8 + width / 2 : px - 8 - width / 2;
      box = { x: side, y: Math.max(py, f.top + 12), width };
      while (overlaps(box) && box.y < f.bottom) box = { ...box, y: box.y + 12 };
    }
    placed.push(box);
    ctx.fillStyle = colors.labelBack;
    ctx.fillRect(box.x - width / 2, box.y - 12, width, 12);
    ctx.fillStyle = mark.color;
    ctx.fillText(mark.label, box.x, box.y);
  }
}

// The value of the point nearest the mouse.
function drawReadout(ctx, f, px) {
  const hz = f.xValue(px);
  const freq = spectrum.freq;
  let i = lowerBound(freq, hz);
  if (i > 0 && (i === freq.length || hz - freq[i - 1] < freq[i] - hz)) --i;
  const x = spectrum.freq[i];
  const y = spectrum.dbfs[i];
  if (!Number.isFinite(y)) return;
  ctx.strokeStyle = colors.text;
  ctx.beginPath();
  ctx.arc(f.x(x), f.y(y), 3, 0, 2 * Math.PI);
  ctx.stroke();
  ctx.fillStyle = colors.text;
  ctx.textAlign = 'right';
  ctx.textBaseline = 'top';
  ctx.fillText(`${formatHz(x, 7)}  ${y.toFixed(1)} dBFS`, f.right - 6, f.top + 4);
}

// ---- markers: M at a point of the trace, D a delta against the first M ----

// The index of the trace's point nearest `hz`, moved to the highest of its neighbours so that a
// click near a peak lands on it.
function pointNear(hz) {
  const freq = spectrum.freq;
  let i = lowerBound(freq, hz);
  if (i > 0 && (i === freq.length || hz - freq[i - 1] < freq[i] - hz)) --i;
  let best = i;
  for (let k = Math.max(0, i - 2); k < Math.min(freq.length, i + 3); ++k) {
    if (spectrum.dbfs[k] > spectrum.dbfs[best]) best = k;
  }
  return best;
}

function addMarker(hz, delta) {
  if (!spectrum.freq) return;
  const reference = spectrum.markers.find((m) => !m.delta);
  if (spectrum.markers.length >= 6) spectrum.markers.shift();
  spectrum.markers.push({ hz: spectrum.freq[pointNear(hz)], delta: delta && Boolean(reference) });
  showMarkers();
  requestSpectrumDraw();
}

function peakMarker() {
  if (!spectrum.freq) throw new Error('capture first');
  let best = Math.min(4, spectrum.freq.length - 1);  // past DC
  for (let i = best; i < spectrum.freq.length; ++i) {
    if (spectrum.dbfs[i] > spectrum.dbfs[best]) best = i;
  }
  addMarker(spectrum.freq[best], false);
}

// Each marker's frequency and level on the trace as it is now.
function markerRows() {
  const reference = spectrum.markers.find((m) => !m.delta);
  let m = 0;
  let d = 0;
  return spectrum.markers.map((marker) => {
    const i = pointNear(marker.hz);
    const row = { name: marker.delta ? `D${++d}` : `M${++m}`, hz: spectrum.freq[i],
                  dbfs: spectrum.dbfs[i], delta: marker.delta };
    if (marker.delta && reference) {
      const r = pointNear(reference.hz);
      row.dhz = row.hz - spectrum.freq[r];
      row.ddb = row.dbfs - spectrum.dbfs[r];
    }
    return row;
  });
}

function showMarkers() {
  const body = $('markers').tBodies[0];
  body.replaceChildren();
  const rows = spectrum.freq ? markerRows() : [];
  if (!rows.length) {
    const tr = body.insertRow();
    tr.className = 'empty';
    const td = tr.insertCell();
    td.colSpan = 5;
    td.textContent = 'click the spectrum to place one';
    return;
  }
  for (const r of rows) {
    const tr = body.insertRow();
    tr.dataset.marker = r.name;
    const signed = (v, text) => (v >= 0 ? '+' : '') + text;
    for (const text of [r.name, formatHz(r.hz, 6), r.dbfs.toFixed(1),
                        r.delta ? signed(r.dhz, formatHz(r.dhz, 5)) : '',
                        r.delta ? signed(r.ddb, r.ddb.toFixed(1)) : '']) {
      tr.insertCell().textContent = text;
    }
  }
}

function drawUserMarkers(ctx, f) {
  if (!spectrum.markers.length) return;
  ctx.textAlign = 'center';
  ctx.textBaseline = 'top';
  for (const r of markerRows()) {
    if (r.hz < f.x0 || r.hz > f.x1 || !Number.isFinite(r.dbfs)) continue;
    const px = f.x(r.hz);
    const py = Math.max(f.top, Math.min(f.bottom, f.y(r.dbfs)));
    ctx.strokeStyle = colors.marker;
    ctx.fillStyle = colors.marker;
    ctx.beginPath();
    ctx.moveTo(px, py + 1);
    ctx.lineTo(px - 4, py + 8);
    ctx.lineTo(px + 4, py + 8);
    ctx.closePath();
    ctx.stroke();
    ctx.fillText(r.name, px, py + 9);
  }
}

// ---- export of the spectrum ----

function download(blob, name) {
  const link = document.createElement('a');
  link.href = URL.createObjectURL(blob);
  link.download = name;
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 10000);
}

// The points as drawn: frequency in Hz, level in dBFS, and the held maximum when it is on.
function exportCsv() {
  if (!spectrum.freq) throw new Error('capture first');
  const header = ['frequency_hz', 'dbfs'].concat(spectrum.hold ? ['max_hold_dbfs'] : []);
  const lines = [header.join(',')];
  for (let i = 0; i < spectrum.freq.length; ++i) {
    const row = [spectrum.freq[i], spectrum.dbfs[i]].concat(spectrum.hold ? [spectrum.hold[i]] : []);
    lines.push(row.map((v) => (Number.isFinite(v) ? String(Number(v.toPrecision(12))) : '')).join(','));
  }
  download(new Blob([lines.join('\n') + '\n'], { type: 'text/csv' }), `spectrum-${spectrum.id}.csv`);
}

function exportPng() {
  if (!spectrum.freq) throw new Error('capture first');
  return new Promise((resolve) => spectrum.canvas.toBlob((blob) => {
    download(blob, `spectrum-${spectrum.id}.png`);
    resolve();
  }, 'image/png'));
}

function requestSpectrumDraw() {
  if (spectrum.pending) return;
  spectrum.pending = true;
  requestAnimationFrame(() => {
    spectrum.pending = false;
    drawSpectrum();
  });
}

function zoomTo(x0, x1) {
  const full = spectrum.nyquist;
  const minimum = spectrum.freq ? 8 * (spectrum.freq[1] - spectrum.freq[0]) : full / 1000;
  const span = Math.max(minimum, x1 - x0);
  if (span >= full) {
    spectrum.view = null;
  } else {
    const a = Math.max(0, Math.min(full - span, x0));
    spectrum.view = [a, a + span];
  }
  requestSpectrumDraw();
}

function bindSpectrumMouse(canvas) {
  const position = (event) => {
    const r = canvas.getBoundingClientRect();
    return [event.clientX - r.left, event.clientY - r.top];
  };
  canvas.addEventListener('wheel', (event) => {
    const f = spectrum.frame;
    const [px, py] = position(event);
    if (!f || !f.inside(px, py)) return;
    event.preventDefault();
    const at = f.xValue(px);
    const factor = Math.exp(event.deltaY * 0.0015);
    zoomTo(at - (at - f.x0) * factor, at + (f.x1 - at) * factor);
  }, { passive: false });
  canvas.addEventListener('mousedown', (event) => {
    const [px, py] = position(event);
    if (event.button !== 0 || !spectrum.frame?.inside(px, py)) return;
    spectrum.drag = { from: px, to: px };
  });
  canvas.addEventListener('mousemove', (event) => {
    const [px] = position(event);
    if (spectrum.drag) spectrum.drag.to = px;
    spectrum.hover = px;
    requestSpectrumDraw();
  });
  canvas.addEventListener('mouseleave', () => {
    spectrum.hover = null;
    requestSpectrumDraw();
  });
  let click = null;  // a marker waiting to be placed, unless a double-click comes
  window.addEventListener('mouseup', (event) => {
    const drag = spectrum.drag;
    if (!drag) return;
    spectrum.drag = null;
    if (Math.abs(drag.to - drag.from) > 4) {
      const f = spectrum.frame;
      const a = f.xValue(Math.max(f.left, Math.min(drag.from, drag.to)));
      const b = f.xValue(Math.min(f.right, Math.max(drag.from, drag.to)));
      zoomTo(a, b);
    } else {
      const hz = spectrum.frame.xValue(drag.from);
      const delta = event.shiftKey;
      clearTimeout(click);
      click = setTimeout(() => addMarker(hz, delta), 250);
      requestSpectrumDraw();
    }
  });
  canvas.addEventListener('dblclick', () => {
    clearTimeout(click);
    spectrum.view = null;
    requestSpectrumDraw();
  });
}

// ---- power averaging over the last K captures ----

const averaging = { key: '', powers: [] };

// Averages the linear power of the last `count` spectra taken with the same settings; answers
// the average in dB.
function averaged(trace, count, settings) {
  const n = trace.dbfs.length;
  const key = `${settings}|${trace.bin_hz}|${n}`;
  if (key !== averaging.key) {
    averaging.key = key;
    averaging.powers = [];
  }
  const power = new Float64Array(n);
  for (let i = 0; i < n; ++i) {
    const d = trace.dbfs[i];
    power[i] = d === null ? 0 : 10 ** (d / 10);
  }
  averaging.powers.push(power);
  while (averaging.powers.length > count) averaging.powers.shift();
  const k = averaging.powers.length;
  const out = new Float64Array(n);
  for (const p of averaging.powers) for (let i = 0; i < n; ++i) out[i] += p[i];
  for (let i = 0; i < n; ++i) out[i] = 10 * Math.log10(out[i] / k);
  $('average-state').textContent = count > 1 ? `average ${k}/${count}` : '';
  return out;
}

// ---- the time plot ----

const timeplot = { canvas: null, samples: null, busy: false, fetchedAt: 0 };

function drawTime() {
  const canvas = timeplot.canvas;
  const ctx = prepare(canvas);
  const s = timeplot.samples;
  // The vertical range: the smallest power of two of codes holding the samples.
  let peak = 0;
  if (s) for (const v of s) peak = Math.max(peak, Math.abs(v));
  const top = 2 ** Math.max(8, Math.min(15, Math.ceil(Math.log2(peak + 1))));
  const n = s ? s.length : 1024;
  const f = new Frame(canvas, 0, Math.max(1, n - 1), -top, top, 62);
  drawAxes(ctx, f, 1, 'sample', 'code', { list: [-top, -top / 2, 0, top / 2, top], step: 1 });
  if (!s) {
    drawMessage(ctx, f, $('time-on').checked ? 'no capture yet' : 'hidden');
    return;
  }
  ctx.save();
  ctx.beginPath();
  ctx.rect(f.left, f.top, f.right - f.left, f.bottom - f.top);
  ctx.clip();
  ctx.strokeStyle = colors.time;
  ctx.beginPath();
  for (let i = 0; i < n; ++i) {
    if (i === 0) ctx.moveTo(f.x(i), f.y(s[i]));
    else ctx.lineTo(f.x(i), f.y(s[i]));
  }
  ctx.stroke();
  ctx.restore();
  canvas.dataset.points = String(n);
}

// Fetches the head of the capture for the time plot, when the plot is shown; while captures
// run continuously, at most four times a second.
async function updateTime(capture, continuous) {
  if (!$('time-on').checked || timeplot.busy) return;
  const now = performance.now();
  if (continuous && now - timeplot.fetchedAt < 250) return;
  timeplot.busy = true;
  timeplot.fetchedAt = now;
  try {
    const count = Math.min(1024, capture.samples);
    const bytes = await fetchHead(boardPath(`/captures/${capture.id}`), 2 * count);
    const view = new DataView(bytes);
    const samples = new Int16Array(bytes.byteLength / 2);
    for (let i = 0; i < samples.length; ++i) samples[i] = view.getInt16(2 * i, true);
    timeplot.samples = samples;
    const t = samples.length / capture.rate_hz;
    $('time-info').textContent =
      `first ${samples.length} of ${capture.samples} samples (${formatTime(t)})`;
    requestAnimationFrame(drawTime);
  } catch (error) {
    showError(error, 'time plot');
  } finally {
    timeplot.busy = false;
  }
}

function formatTime(seconds) {
  if (seconds >= 1e-3) return `${Number((seconds * 1e3).toPrecision(4))} ms`;
  if (seconds >= 1e-6) return `${Number((seconds * 1e6).toPrecision(4))} µs`;
  return `${Number((seconds * 1e9).toPrecision(4))} ns`;
}

// ---- capture ----

const run = { continuous: false, looping: false, drawn: [] };

function captureRequest() {
  const samples = parseInteger($('samples').value, 'samples', 32, 16777216);
  if (samples % 32 !== 0) throw new Error('samples must be a multiple of 32');
  return {
    samples,
    rate: parseNumber($('rate').value, 'rate'),
    window: $('window').value,
    harmonics: 5,
    spectrum: 2048,
  };
}

function nextFrame() {
  return new Promise((resolve) => requestAnimationFrame(resolve));
}

// One capture, analysed by the server and drawn in the next frame.
async function captureOnce(request, continuous) {
  const started = performance.now();
  let result;
  try {
    result = await api('POST', boardPath('/capture'), request);
  } catch (error) {
    markStale(`capture failed: ${error.message}` +
              (error instanceof ApiError ? ` (HTTP ${error.status})` : ''));
    throw error;
  }
  await nextFrame();
  showCapture(result, request);
  const now = performance.now();
  $('latency').textContent = (now - started).toFixed(1);
  $('elapsed').textContent = result.elapsed_ms === null ? '–' : result.elapsed_ms.toFixed(1);
  const drawn = run.drawn;
  drawn.push(now);
  while (drawn.length > 2 && drawn[0] < now - 1000) drawn.shift();
  if (continuous && drawn.length > 1) {
    $('sps').textContent = ((drawn.length - 1) / ((now - drawn[0]) / 1000)).toFixed(1);
  }
  updateTime(result, continuous);
  return result;
}

function showCapture(result, request) {
  const trace = result.spectrum;
  spectrum.nyquist = result.rate_hz / 2;
  spectrum.metrics = result.metrics;
  if (trace) {
    const count = parseInteger($('average').value, 'average', 1, 256);
    spectrum.freq = Float64Array.from(trace.frequency_hz);
    const settings = `${request.samples}|${request.window}|${result.rate_hz}`;
    spectrum.dbfs = averaged(trace, count, settings);
    if (spectrum.view && spectrum.view[1] > spectrum.nyquist) spectrum.view = null;
    updateYRange(spectrum.dbfs);
    spectrum.traceKey = `${settings}|${trace.dbfs.length}`;
    holdMaximum(spectrum.traceKey);
  }
  spectrum.id = result.id;
  spectrum.capturedAt = new Date();
  spectrum.stale = null;
  drawSpectrum();
  showTraceState();
  showMarkers();
  spectrum.canvas.dataset.capture = String(result.id);
  showMetrics(result.metrics);
  $('capture-id').textContent =
    `#${result.id} · ${result.samples} @ ${formatHz(result.rate_hz, 5)}`;
  const links = [['download-raw', '', 'bin'], ['download-npy', '?format=npy', 'npy']];
  for (const [id, suffix, name] of links) {
    const link = $(id);
    link.href = boardPath(`/captures/${result.id}${suffix}`);
    link.download = `capture-${result.id}.${name}`;
    link.classList.remove('disabled');
  }
}

// Max hold: the highest level of each point over the captures since it was turned on, while
// the settings stay the same.
function holdMaximum(key) {
  if (!$('max-hold').checked) {
    spectrum.hold = null;
    return;
  }
  if (!spectrum.hold || spectrum.holdKey !== key) {
    spectrum.hold = Float64Array.from(spectrum.dbfs);
    spectrum.holdKey = key;
    return;
  }
  for (let i = 0; i < spectrum.hold.length; ++i) {
    if (spectrum.dbfs[i] > spectrum.hold[i]) spectrum.hold[i] = spectrum.dbfs[i];
  }
}

function showMetrics(m) {
  const text = {
    snr_db: fixed(m?.snr_db),
    sinad_db: fixed(m?.sinad_db),
    sfdr_dbc: fixed(m?.sfdr_dbc),
    thd_dbc: fixed(m?.thd_dbc),
    enob: fixed(m?.enob),
    fundamental_dbfs: fixed(m?.fundamental_dbfs),
    fundamental_hz: formatHz(m?.fundamental_hz, 7),
    noise_floor_dbfs: fixed(m?.noise_floor_dbfs),
    nsd_dbfs_hz: fixed(m?.nsd_dbfs_hz),
    worst_spur_hz: formatHz(m?.worst_spur_hz, 7),
    worst_spur_dbfs: fixed(m?.worst_spur_dbfs),
  };
  for (const cell of $('metrics').querySelectorAll('td[data-key]')) {
    cell.textContent = text[cell.dataset.key];
  }
  $('metrics').dataset.filled = m ? 'yes' : 'no';
}

// Board operations open the board when none is: the header follows.
function boardUsed() {
  if ($('board-info').dataset.open !== 'yes') refreshBoard().catch(() => {});
}

async function capture() {
  const request = captureRequest();
  showStatus('capturing…', 'busy');
  const result = await captureOnce(request, false);
  boardUsed();
  showStatus(`capture #${result.id}: ${result.samples} samples` +
             (result.metrics ? '' : ' (too short to analyse)'));
}

// Captures one after another, each asked for as soon as the previous one is drawn.
async function continuousLoop() {
  if (run.looping) return;
  run.looping = true;
  run.drawn = [];
  $('capture').disabled = true;
  showStatus('continuous capture', 'busy');
  try {
    while (run.continuous) await captureOnce(captureRequest(), true);
    showStatus('continuous capture stopped');
  } catch (error) {
    run.continuous = false;
    $('continuous').checked = false;
    showError(error, 'continuous capture');
  } finally {
    run.looping = false;
    $('capture').disabled = false;
  }
}

// ---- generator ----

function playRequest() {
  const kind = $('gen-kind').value;
  const words = parseInteger($('gen-words').value, 'words', 32, 1 << 30);
  const rate = parseNumber($('gen-rate').value, 'DAC rate');
  const amplitude = parseNumber($('gen-amplitude').value, 'level');
  const body = { kind, words, rate, amplitude_dbfs: amplitude };
  const loopback = !$('loopback-label').hidden && $('loopback').checked;
  if (kind === 'tone') {
    if ($('gen-freq').value.trim()) {
      // The nearest odd number of cycles: coherent with a power-of-two record. Looped back, the
      // ADC reads one pattern word per sample: the frequency is the one to capture, at its rate.
      const hz = parseNumber($('gen-freq').value, 'frequency');
      const at = loopback ? parseNumber($('rate').value, 'rate') : rate;
      const cycles = Math.max(1, 2 * Math.round((hz * words / at - 1) / 2) + 1);
      $('gen-cycles').value = String(cycles);
    }
    body.cycles = parseInteger($('gen-cycles').value, 'cycles', 1, words / 2);
  } else {
    body.tones = $('gen-tones').value.split(',').filter((t) => t.trim())
      .map((t) => parseInteger(t.trim(), 'cycles', 1, words / 2));
    if (!body.tones.length) throw new Error('give the tones as a list of cycles');
  }
  if (!$('loopback-label').hidden) body.loopback = loopback;
  return body;
}

async function play() {
  const body = playRequest();
  showStatus('playing…', 'busy');
  const result = await api('POST', boardPath('/play'), body);
  boardUsed();
  const what = body.kind === 'tone'
    ? `tone of ${body.cycles} cycles (${formatHz(body.cycles * body.rate / body.words, 6)})`
    : `${body.tones.length} tones`;
  // Looped back, the ADC reads one pattern word per sample: the tone is at the capture's rate.
  const looped = body.loopback && body.kind === 'tone'
    ? `; looped back: ${formatHz(body.cycles / body.words * parseNumber($('rate').value, 'rate'))}`
    : '';
  $('gen-result').textContent = `${what}, ${result.words} words${looped}`;
  showStatus(`playing ${what}`);
}

// ---- registers ----

async function readRegister() {
  const address = parseInteger($('reg-addr').value, 'address', 0, 15);
  const result = await api('GET', boardPath(`/registers/${address}`));
  boardUsed();
  $('reg-value').value = String(result.value);
  $('reg-result').textContent = `reg ${result.address} = ${hex(result.value)}`;
  showStatus(`register ${result.address} reads ${hex(result.value)} (${result.value})`);
}

async function writeRegister() {
  const address = parseInteger($('reg-addr').value, 'address', 0, 15);
  const value = parseInteger($('reg-value').value, 'value', 0, 255);
  const result = await api('PUT', boardPath(`/registers/${address}`), { value });
  boardUsed();
  $('reg-result').textContent = `wrote ${hex(result.value)}, status ${hex(result.status)}`;
  showStatus(`register ${result.address} written with ${hex(result.value)} (${result.value})`);
}

// ---- FPGA load ----

const load = { active: false, job: null };

function transcriptLine(text, kind) {
  const line = document.createElement('div');
  line.textContent = text;
  if (kind) line.className = kind;
  $('transcript').append(line);
  $('transcript').scrollTop = $('transcript').scrollHeight;
}

async function loadFpga() {
  const file = $('load-file').files[0];
  if (!file) throw new Error('choose a programming file first');
  const bytes = await file.arrayBuffer();
  $('transcript').replaceChildren();
  $('load-progress').value = 0;
  $('load').disabled = true;
  $('transcript').dataset.outcome = 'running';
  load.active = true;
  load.job = null;
  showStatus(`loading ${file.name} (${bytes.byteLength} bytes)…`, 'busy');
  try {
    const result = await api('POST', boardPath('/fpga'), bytes);
    $('transcript').replaceChildren();
    for (const line of result.transcript ?? []) transcriptLine(line);
    transcriptLine(`loaded ${file.name}: result ${result.result}`, 'done');
    $('load-progress').value = 1;
    $('transcript').dataset.outcome = 'done';
    showStatus(`FPGA loaded from ${file.name} (result ${result.result})`);
  } catch (error) {
    if (error.body?.transcript) {
      $('transcript').replaceChildren();
      for (const line of error.body.transcript) transcriptLine(line);
    }
    transcriptLine(`failed: ${error.message}`, 'error');
    $('transcript').dataset.outcome = 'failed';
    throw error;
  } finally {
    load.active = false;
    $('load').disabled = false;
  }
}

// ---- jobs and server events ----

// Queued and running jobs, one row each, updated in place so that a Cancel button stays put
// while its job moves on.
const jobRows = new Map();

function jobRow(id) {
  let row = jobRows.get(id);
  if (!row) {
    const item = document.createElement('li');
    item.dataset.job = id;
    const label = document.createElement('span');
    label.className = 'kind';
    const progress = document.createElement('progress');
    progress.max = 1;
    const cancel = document.createElement('button');
    cancel.textContent = 'Cancel';
    cancel.addEventListener('click', action('cancel', () => cancelJob(id)));
    item.append(label, progress, cancel);
    $('jobs').append(item);
    row = { item, label, progress };
    jobRows.set(id, row);
  }
  return row;
}

async function cancelJob(id) {
  await api('POST', `/api/v1/jobs/${id}/cancel`);
  showStatus(`job #${id} cancelled`);
}

function onJob(job) {
  if (job.state === 'queued' || job.state === 'running') {
    const row = jobRow(job.id);
    row.label.textContent = `#${job.id} ${job.kind} ${job.state}`;
    row.progress.value = job.progress ?? 0;
  } else {
    jobRows.get(job.id)?.item.remove();
    jobRows.delete(job.id);
  }
  $('jobs-empty').hidden = jobRows.size > 0;
  if (job.kind === 'fpga' && load.active) {
    load.job = job.id;
    $('load-progress').value = job.state === 'done' ? 1 : job.progress ?? 0;
  }
}

function onTranscript(event) {
  if (load.active && (load.job === null || event.job === load.job)) transcriptLine(event.line);
}

let events = null;

// The chosen board's events; its state tells the link's.
function connectEvents() {
  events?.close();
  const stream = new EventSource(boardPath('/events'));
  events = stream;
  const parse = (handler) => (message) => {
    try {
      handler(JSON.parse(message.data));
    } catch (error) {
      console.warn('bad server event', error);
    }
  };
  stream.addEventListener('open', () => {
    if (link.state !== 'refused') setConnection('live');
  });
  stream.addEventListener('error', () => {
    if (events !== stream) return;
    if (stream.readyState === EventSource.CLOSED) {
      // Refused (the session ended?) or a server that will not stream: a probe says which.
      events = null;
      probe();
    } else {
      serverGone('the event stream was cut');
    }
  });
  stream.addEventListener('job', parse(onJob));
  stream.addEventListener('transcript', parse(onTranscript));
  stream.addEventListener('board', parse((info) => {
    showBoard(info);
    refreshBoards().catch(() => {});
  }));
}

// ---- boards ----

// This page's use of each board it opened (the server closes a board when its last use ends).
const uses = new Map();

async function refreshBoards() {
  const boards = await api('GET', '/api/v1/boards');
  const select = $('boards');
  select.replaceChildren();
  for (const b of boards) {
    const option = document.createElement('option');
    option.value = b.key;
    option.textContent = `${b.number}: ${b.key}${b.open ? ' (open)' : ''}` +
                         `${b.default ? ' · default' : ''}`;
    select.append(option);
  }
  if (!boards.length) {
    const option = document.createElement('option');
    option.textContent = 'no board';
    option.value = '';
    select.append(option);
  }
  const shown = board || boards.find((b) => b.default)?.key || '';
  if (boards.some((b) => b.key === shown)) select.value = shown;
}

function showBoard(info) {
  if (info?.board && board && info.board !== board) return;  // another board's news
  const open = info?.open;
  $('info-key').textContent = open ? info.key : '–';
  $('info-family').textContent = open ? hex(info.family_id) : '–';
  $('info-firmware').textContent = open ? hex(info.firmware_version) : '–';
  $('info-busy').textContent = open ? (info.busy ? 'yes' : 'no') : '–';
  $('board-info').dataset.open = open ? 'yes' : 'no';
}

async function refreshBoard() {
  try {
    showBoard(await api('GET', boardPath('/board')));
  } catch (error) {
    if (!(error instanceof ApiError && error.status === 409)) throw error;
    showBoard(null);
  }
}

// Another board chosen: its routes, its events, and nothing of the last board's trace.
async function chooseBoard() {
  board = $('boards').value;
  spectrum.freq = null;
  spectrum.hold = null;
  spectrum.markers = [];
  spectrum.stale = null;
  showTraceState();
  showMarkers();
  showMetrics(null);
  drawSpectrum();
  jobRows.forEach((row) => row.item.remove());
  jobRows.clear();
  connectEvents();
  await refreshBoard();
  for (const job of await api('GET', boardPath('/jobs'))) onJob(job);
  showStatus(`board ${board}`);
}

async function openBoard() {
  const key = $('boards').value;
  if (!key) throw new Error('no board to open');
  const info = await api('POST', `/api/v1/boards/${encodeURIComponent(key)}/open`, {});
  if (uses.has(key)) {
    // One use per page: the one taken before ends.
    await api('POST', `/api/v1/boards/${encodeURIComponent(key)}/close`, { use: uses.get(key) });
  }
  uses.set(key, info.use);
  showBoard(info);
  await refreshBoards();
  showStatus(`board ${info.key} open (${info.uses} use${info.uses === 1 ? '' : 's'})`);
}

async function closeBoard() {
  const key = $('boards').value;
  if (!key) throw new Error('no board to close');
  const body = uses.has(key) ? { use: uses.get(key) } : {};
  const answer = await api('POST', `/api/v1/boards/${encodeURIComponent(key)}/close`, body);
  uses.delete(key);
  if (!answer.open) showBoard(null);
  await refreshBoards();
  showStatus(answer.open ? `board ${key} stays open for ${answer.uses} other use(s)`
                         : `board ${key} closed`);
}

// ---- start ----

async function connect() {
  if (givenToken) {
    const token = givenToken;
    givenToken = '';
    await startSession(token);
  }
  const about = await api('GET', '/api/v1');
  $('refused').hidden = true;
  if (link.state === 'refused') setConnection('connecting');
  $('api-info').replaceChildren(`server ${about.version} · library ${about.library}`);
  if (about.simulated) {
    const badge = document.createElement('span');
    badge.className = 'badge';
    badge.textContent = 'simulated';
    $('api-info').append(' ', badge);
  }
  $('loopback-label').hidden = !about.simulated;
  connectEvents();
  await refreshBoards();
  await refreshBoard();
  for (const job of await api('GET', boardPath('/jobs'))) onJob(job);
  showStatus('connected');
}

function start() {
  spectrum.canvas = $('spectrum');
  timeplot.canvas = $('timeplot');
  bindSpectrumMouse(spectrum.canvas);
  new ResizeObserver(() => {
    drawSpectrum();
    drawTime();
  }).observe($('plots'));

  $('capture').addEventListener('click', action('capture', capture));
  $('continuous').addEventListener('change', (event) => {
    run.continuous = event.target.checked;
    if (run.continuous) continuousLoop();
  });
  $('time-on').addEventListener('change', () => {
    if (!$('time-on').checked) timeplot.samples = null;
    drawTime();
  });
  $('gen-kind').addEventListener('change', () => {
    const tone = $('gen-kind').value === 'tone';
    for (const el of document.querySelectorAll('.tone-only')) el.hidden = !tone;
    for (const el of document.querySelectorAll('.multi-only')) el.hidden = tone;
  });
  $('gen-cycles').addEventListener('input', () => { $('gen-freq').value = ''; });
  $('play').addEventListener('click', action('play', play));
  $('reg-read').addEventListener('click', action('register read', readRegister));
  $('reg-write').addEventListener('click', action('register write', writeRegister));
  $('load').addEventListener('click', action('FPGA load', loadFpga));
  $('boards').addEventListener('change', action('board', chooseBoard));
  $('board-open').addEventListener('click', action('open', openBoard));
  $('board-close').addEventListener('click', action('close', closeBoard));
  $('max-hold').addEventListener('change', () => {
    const on = $('max-hold').checked && spectrum.dbfs;
    spectrum.hold = on ? Float64Array.from(spectrum.dbfs) : null;
    spectrum.holdKey = spectrum.traceKey;
    requestSpectrumDraw();
  });
  $('peak-marker').addEventListener('click', action('marker', peakMarker));
  $('clear-markers').addEventListener('click', () => {
    spectrum.markers = [];
    showMarkers();
    requestSpectrumDraw();
  });
  $('export-csv').addEventListener('click', action('CSV export', exportCsv));
  $('export-png').addEventListener('click', action('PNG export', exportPng));
  $('token-form').addEventListener('submit', action('connect', async () => {
    const token = $('token').value.trim();
    $('token').value = '';
    await startSession(token);
    await connect();
  }));

  drawSpectrum();
  drawTime();
  action('connect', connect)();
}

start();
