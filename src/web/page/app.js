// Kestrune's web view: follows a running logger through /api/status, /api/rows and the
// event stream /api/events, and shows its state, the last rows and a live chart.
// Plain script, no libraries: the logger serves it under a strict Content-Security-Policy
// (no inline code or style, no eval), so everything is built through the DOM.
(() => {
  "use strict";

  const TEXT = {
    lost: "ロガーとの接続が切れました。再接続しています…",
    back: "再接続しました",
    states: { idle: "待機中", running: "取得中", paused: "一時停止", ended: "終了" },
    channel: { connected: "接続中", lost: "切断中" },
    mqtt: { off: "使用しない", connecting: "接続しています", connected: "接続中", disconnected: "切断中" },
    queued: (n) => `（未送信 ${n} 件）`,
    rows: (done, limit) => (limit ? `${done} / ${limit} 行` : `${done} 行`),
    perMinute: "行/分",
    noAlarmRules: "設定なし",
    noAlarm: "なし",
    alarmsActive: (n) => `${n} 件発生中`,
    notSaved: "未保存",
    none: "—",
    column: (i) => `列${i + 1}`,
    number: "番号",
    stamp: "日時",
  };

  const TABLE_ROWS = 50; // rows in the table, newest first
  const INITIAL_ROWS = 2000; // rows loaded for the chart when the page opens
  const PAGE_LIMIT = 5000; // rows asked for per /api/rows request
  const RENDER_INTERVAL_MS = 250; // at most four redraws a second
  const BACK_BANNER_MS = 3000;
  const RETRY_MS = 2000;
  const MAX_CHART_ROWS = 262144; // beyond this the oldest quarter is dropped
  const DAY_MS = 86400000;

  const $ = (id) => document.getElementById(id);
  const els = {
    banner: $("banner"),
    titleWorkbook: $("title-workbook"),
    origin: $("origin"),
    state: $("state"),
    workbook: $("workbook"),
    sheet: $("sheet"),
    rows: $("rows"),
    progress: $("progress"),
    elapsed: $("elapsed"),
    remaining: $("remaining"),
    rate: $("rate"),
    alarms: $("alarms"),
    channels: $("channels"),
    mqtt: $("mqtt"),
    saved: $("saved"),
    chart: $("chart"),
    legend: $("legend"),
    tableHead: $("table-head"),
    tableBody: $("table-body"),
  };

  // ---- Stamps -------------------------------------------------------------------------

  const FULL_STAMP = /^(\d{4})-(\d\d)-(\d\d)(?:[T ](\d\d):(\d\d)(?::(\d\d)(?:\.(\d{1,3})\d*)?)?)?(?:Z|[+-]\d\d:?\d\d)?$/;
  const TIME_STAMP = /^(\d\d):(\d\d)(?::(\d\d)(?:\.(\d{1,3})\d*)?)?$/;
  const millis = (fraction) => (fraction ? Number(fraction.padEnd(3, "0")) : 0);

  // A stamp as the logger's wall-clock time in milliseconds, counted as if it were UTC:
  // the chart labels its axis with the logger's local time whatever the browser's zone.
  // A time-only stamp gives the time of day. NaN for anything else, and for a date without
  // a time, too coarse to spread a run's rows over.
  function parseStamp(stamp) {
    if (typeof stamp !== "string") return { x: NaN, timeOnly: false };
    let m = FULL_STAMP.exec(stamp);
    if (m && m[4] !== undefined) {
      const x = Date.UTC(+m[1], +m[2] - 1, +m[3], +(m[4] || 0), +(m[5] || 0), +(m[6] || 0), millis(m[7]));
      return { x, timeOnly: false };
    }
    m = TIME_STAMP.exec(stamp);
    if (m) return { x: ((+m[1] * 60 + +m[2]) * 60 + +(m[3] || 0)) * 1000 + millis(m[4]), timeOnly: true };
    return { x: NaN, timeOnly: false };
  }

  // The stamps carry milliseconds; the page shows them as the logger's cells do, to the
  // second unless the status says "stampPrecision":"ms".
  const stampMillis = () => Boolean(status && status.stampPrecision === "ms");

  // "2026-12-08T09:05:03.120+09:00" shown as "2026-12-08 09:05:03.120" (or "2026-12-08 09:05:03").
  const showStamp = (stamp) => {
    if (typeof stamp !== "string") return "";
    const text = stamp.replace("T", " ").replace(/(Z|[+-]\d\d:?\d\d)$/, "");
    return stampMillis() ? text : text.replace(/(:\d\d)\.\d+$/, "$1");
  };

  // ---- The rows the chart holds -------------------------------------------------------

  // Columns of numbers in typed arrays that grow by doubling; NaN where a row has no number.
  class ChartData {
    constructor() {
      this.clear();
    }

    clear() {
      this.length = 0;
      this.capacity = 0;
      this.seq = new Float64Array(0);
      this.time = new Float64Array(0);
      this.columns = [];
      this.low = []; // each column's lowest and highest number, kept as rows come
      this.high = [];
      this.timeLow = Infinity;
      this.timeHigh = -Infinity;
      this.timeMissing = 0; // rows without a usable stamp: then the chart counts rows instead
      this.timeOnly = false;
      this.lastTime = NaN;
      this.dayCarry = 0; // time-only stamps passing midnight
    }

    grow(width) {
      if (this.length === this.capacity) {
        if (this.capacity >= MAX_CHART_ROWS) this.dropOldest(this.capacity >> 2);
        else this.resize(Math.min(MAX_CHART_ROWS, Math.max(1024, this.capacity * 2)));
      }
      while (this.columns.length < width) {
        const column = new Float64Array(this.capacity).fill(NaN);
        this.columns.push(column);
        this.low.push(Infinity);
        this.high.push(-Infinity);
      }
    }

    resize(capacity) {
      const copy = (old) => {
        const next = new Float64Array(capacity).fill(NaN);
        next.set(old.subarray(0, this.length));
        return next;
      };
      this.seq = copy(this.seq);
      this.time = copy(this.time);
      this.columns = this.columns.map(copy);
      this.capacity = capacity;
    }

    dropOldest(count) {
      for (const array of [this.seq, this.time, ...this.columns]) array.copyWithin(0, count, this.length);
      this.length -= count;
      this.timeMissing = 0;
      this.timeLow = Infinity;
      this.timeHigh = -Infinity;
      for (let i = 0; i < this.length; i++) this.note(this.time[i]);
      this.columns.forEach((column, c) => {
        this.low[c] = Infinity;
        this.high[c] = -Infinity;
        for (let i = 0; i < this.length; i++) this.noteNumber(c, column[i]);
      });
    }

    note(t) {
      if (Number.isNaN(t)) {
        this.timeMissing++;
        return;
      }
      if (t < this.timeLow) this.timeLow = t;
      if (t > this.timeHigh) this.timeHigh = t;
    }

    noteNumber(c, v) {
      if (v < this.low[c]) this.low[c] = v;
      if (v > this.high[c]) this.high[c] = v;
    }

    hasNumber(c) {
      return this.low[c] <= this.high[c];
    }

    append(row) {
      const numbers = Array.isArray(row.numbers) ? row.numbers : [];
      this.grow(numbers.length);
      const i = this.length;
      const { x, timeOnly } = parseStamp(row.stamp);
      let t = x;
      if (timeOnly && !Number.isNaN(x)) {
        if (x + this.dayCarry < this.lastTime - DAY_MS / 2) this.dayCarry += DAY_MS;
        t = x + this.dayCarry;
        this.timeOnly = true;
      }
      this.note(t);
      if (!Number.isNaN(t)) this.lastTime = t;
      this.seq[i] = row.sequence;
      this.time[i] = t;
      for (let c = 0; c < this.columns.length; c++) {
        const v = numbers[c];
        const ok = typeof v === "number" && Number.isFinite(v);
        this.columns[c][i] = ok ? v : NaN;
        if (ok) this.noteNumber(c, v);
      }
      this.length = i + 1;
    }
  }

  // ---- State --------------------------------------------------------------------------

  let status = null;
  let runStartedAt = null; // the start of the run the rows belong to
  let statusAt = 0; // performance.now() when the status arrived, for the running clock
  let columns = []; // [{column, header}] from the status
  const data = new ChartData();
  let recent = []; // the last TABLE_ROWS rows, oldest first
  let lastSeq = 0; // the highest sequence taken
  let loading = false; // rows from the stream wait in pending while /api/rows answers
  let pending = [];
  let loadGeneration = 0;
  const dirty = { status: false, columns: false, rows: false, chart: false };

  // ---- Rendering ----------------------------------------------------------------------

  let renderTimer = 0;
  let lastRender = -Infinity;

  function invalidate(...parts) {
    for (const part of parts) dirty[part] = true;
    if (renderTimer) return;
    const wait = Math.max(0, lastRender + RENDER_INTERVAL_MS - performance.now());
    renderTimer = setTimeout(render, wait);
  }

  function render() {
    renderTimer = 0;
    lastRender = performance.now();
    if (dirty.status) renderStatus();
    if (dirty.columns) renderTableHead();
    if (dirty.rows || dirty.columns) renderTableBody();
    if (dirty.chart || dirty.columns) drawChart();
    for (const part in dirty) dirty[part] = false;
  }

  function setText(el, text) {
    if (el.textContent !== text) el.textContent = text;
  }

  function formatDuration(ms) {
    if (typeof ms !== "number" || !Number.isFinite(ms)) return TEXT.none;
    const s = Math.max(0, Math.floor(ms / 1000));
    const h = Math.floor(s / 3600);
    const mm = String(Math.floor(s / 60) % 60).padStart(2, "0");
    const ss = String(s % 60).padStart(2, "0");
    return `${h}:${mm}:${ss}`;
  }

  function renderClock() {
    if (!status) return;
    const running = status.state === "running";
    const since = running ? performance.now() - statusAt : 0;
    setText(els.elapsed, formatDuration(typeof status.elapsedMs === "number" ? status.elapsedMs + since : null));
    setText(els.remaining, formatDuration(typeof status.remainingMs === "number" ? status.remainingMs - since : null));
  }

  function renderStatus() {
    const s = status;
    document.title = s.workbook ? `Kestrune — ${s.workbook}` : "Kestrune";
    setText(els.titleWorkbook, s.workbook || TEXT.none);
    setText(els.origin, [s.host, s.program].filter(Boolean).join(" · "));
    setText(els.state, TEXT.states[s.state] || String(s.state));
    els.state.className = `state-${s.state}`;
    setText(els.workbook, s.workbook || TEXT.none);
    setText(els.sheet, s.sheet || TEXT.none);

    const done = Number(s.rows) || 0;
    setText(els.rows, TEXT.rows(done, s.rowLimit));
    els.progress.hidden = !(s.rowLimit > 0);
    if (s.rowLimit > 0) {
      els.progress.max = s.rowLimit;
      els.progress.value = Math.min(done, s.rowLimit);
    }
    renderClock();
    setText(els.rate, typeof s.rate === "number" ? `${(s.rate * 60).toFixed(1)} ${TEXT.perMinute}` : TEXT.none);

    const alarms = s.alarms;
    const active = alarms && alarms.active > 0;
    let alarmText = TEXT.noAlarmRules;
    if (alarms) {
      alarmText = active ? TEXT.alarmsActive(alarms.active) : TEXT.noAlarm;
      if (alarms.latest) alarmText += ` — ${alarms.latest}`;
    }
    setText(els.alarms, alarmText);
    els.alarms.classList.toggle("alarm-active", Boolean(active));

    const channels = Array.isArray(s.channels) ? s.channels : [];
    const parts = channels.map((c) => {
      const span = document.createElement("span");
      span.textContent = `CH${c.channel} ${TEXT.channel[c.state] || c.state}`;
      if (c.state !== "connected") span.className = "lost";
      return span;
    });
    const channelKey = parts.map((p) => p.textContent).join(" / ");
    if (els.channels.dataset.key !== channelKey) {
      els.channels.dataset.key = channelKey;
      els.channels.replaceChildren();
      parts.forEach((p, i) => {
        if (i > 0) els.channels.append(" / ");
        els.channels.append(p);
      });
      if (!parts.length) els.channels.textContent = TEXT.none;
    }

    const mqtt = s.mqtt || { state: "off" };
    let mqttText = TEXT.mqtt[mqtt.state] || String(mqtt.state);
    if (mqtt.queued > 0) mqttText += TEXT.queued(mqtt.queued);
    setText(els.mqtt, mqttText);
    els.mqtt.classList.toggle("lost", mqtt.state === "disconnected");

    setText(els.saved, s.savedAt ? showStamp(s.savedAt) : TEXT.notSaved);
  }

  const columnName = (i) => (columns[i] && (columns[i].header || columns[i].column)) || TEXT.column(i);

  function tableWidth() {
    let width = columns.length;
    for (const row of recent) if (Array.isArray(row.values)) width = Math.max(width, row.values.length);
    return width;
  }

  function renderTableHead() {
    const cells = [TEXT.number, TEXT.stamp];
    for (let i = 0; i < tableWidth(); i++) cells.push(columnName(i));
    const key = cells.join("\u0000");
    if (els.tableHead.dataset.key === key) return;
    els.tableHead.dataset.key = key;
    els.tableHead.replaceChildren(
      ...cells.map((text) => {
        const th = document.createElement("th");
        th.textContent = text;
        return th;
      }),
    );
  }

  // The row's sequence is kept on each table row and the chart's counts on the canvas, for tools
  // and tests that watch the page.
  function renderTableBody() {
    const width = tableWidth();
    if (width + 2 !== els.tableHead.childElementCount) renderTableHead();
    const fragment = document.createDocumentFragment();
    for (let r = recent.length - 1; r >= 0; r--) {
      const row = recent[r];
      const tr = document.createElement("tr");
      tr.dataset.seq = row.sequence;
      const values = Array.isArray(row.values) ? row.values : [];
      const cells = [row.number ?? "", showStamp(row.stamp)];
      for (let i = 0; i < width; i++) cells.push(values[i] ?? "");
      for (const text of cells) {
        const td = document.createElement("td");
        td.textContent = text;
        tr.append(td);
      }
      fragment.append(tr);
    }
    els.tableBody.replaceChildren(fragment);
  }

  // ---- Chart --------------------------------------------------------------------------

  const TIME_STEPS = [
    100, 200, 500, 1e3, 2e3, 5e3, 10e3, 15e3, 30e3, 60e3, 120e3, 300e3, 600e3, 900e3, 1800e3, 3600e3,
    7200e3, 10800e3, 21600e3, 43200e3, DAY_MS, 2 * DAY_MS, 7 * DAY_MS, 14 * DAY_MS, 28 * DAY_MS,
  ];

  // A round step (1, 2 or 5 times a power of ten) giving at most about maxCount ticks over span.
  function niceStep(span, maxCount) {
    const raw = span / Math.max(1, maxCount);
    const magnitude = 10 ** Math.floor(Math.log10(raw));
    for (const m of [1, 2, 5]) if (m * magnitude >= raw) return m * magnitude;
    return 10 * magnitude;
  }

  function ticksBetween(lo, hi, step) {
    const ticks = [];
    const first = Math.ceil(lo / step - 1e-9);
    for (let k = first; k * step <= hi + step * 1e-9; k++) ticks.push(Math.abs(k * step) < step * 1e-9 ? 0 : k * step);
    return ticks;
  }

  // Value axis: the range widened to whole steps, so the lines never touch the frame unlabelled.
  function valueAxis(lo, hi, maxCount) {
    if (!(hi > lo)) {
      const pad = lo === 0 ? 1 : Math.abs(lo) * 0.1;
      lo -= pad;
      hi += pad;
    }
    const step = niceStep(hi - lo, maxCount);
    const decimals = Math.max(0, -Math.floor(Math.log10(step) + 1e-9));
    lo = Math.floor(lo / step + 1e-9) * step;
    hi = Math.ceil(hi / step - 1e-9) * step;
    return { lo, hi, ticks: ticksBetween(lo, hi, step), label: (v) => v.toFixed(decimals) };
  }

  const two = (n) => String(n).padStart(2, "0");

  function timeAxis(lo, hi, maxCount, timeOnly) {
    if (!(hi > lo)) {
      lo -= 1000;
      hi += 1000;
    }
    const step = TIME_STEPS.find((s) => (hi - lo) / s <= maxCount) || niceStep(hi - lo, maxCount);
    const withDate = !timeOnly && (step >= DAY_MS || Math.floor(lo / DAY_MS) !== Math.floor(hi / DAY_MS));
    const label = (v) => {
      const d = new Date(v);
      const date = `${d.getUTCMonth() + 1}/${d.getUTCDate()}`;
      if (step >= DAY_MS) return date;
      let text = `${two(d.getUTCHours())}:${two(d.getUTCMinutes())}`;
      if (step < 60e3) text += `:${two(d.getUTCSeconds())}`;
      if (step < 1e3)
        text += stampMillis()
          ? `.${String(d.getUTCMilliseconds()).padStart(3, "0")}`
          : `.${Math.floor(d.getUTCMilliseconds() / 100)}`;
      return withDate ? `${date} ${text}` : text;
    };
    return { lo, hi, ticks: ticksBetween(lo, hi, step), label };
  }

  function sequenceAxis(lo, hi, maxCount) {
    if (!(hi > lo)) {
      lo -= 1;
      hi += 1;
    }
    const step = Math.max(1, niceStep(hi - lo, maxCount));
    return { lo, hi, ticks: ticksBetween(lo, hi, step), label: (v) => String(v) };
  }

  const cssVar = (style, name) => style.getPropertyValue(name).trim();

  function renderLegend(shown) {
    const key = shown.map((c) => `${c}:${columnName(c)}`).join("\u0000");
    if (els.legend.dataset.key === key) return;
    els.legend.dataset.key = key;
    els.legend.replaceChildren(
      ...shown.map((c, i) => {
        const li = document.createElement("li");
        li.className = `s${i % 8}`;
        li.textContent = columnName(c);
        return li;
      }),
    );
  }

  // One line per column, drawn from at most four points per pixel column (first, lowest,
  // highest, last), so that a run of tens of thousands of rows costs a pass over the data
  // and a path the width of the chart. A row without a number breaks the line.
  function traceLine(ctx, xs, ys, n, xOffset, xScale, toY) {
    ctx.beginPath();
    let bucket = NaN;
    let first = 0;
    let low = 0;
    let high = 0;
    let last = 0;
    let pen = false;
    const flush = () => {
      if (Number.isNaN(bucket)) return;
      if (pen) ctx.lineTo(bucket, toY(first));
      else ctx.moveTo(bucket, toY(first));
      if (low !== high) {
        ctx.lineTo(bucket, toY(low));
        ctx.lineTo(bucket, toY(high));
      }
      ctx.lineTo(bucket, toY(last));
      pen = true;
      bucket = NaN;
    };
    for (let i = 0; i < n; i++) {
      const y = ys[i];
      if (Number.isNaN(y)) {
        flush();
        pen = false;
        continue;
      }
      const px = Math.round(xOffset + xs[i] * xScale);
      if (px !== bucket) {
        flush();
        bucket = px;
        first = low = high = last = y;
      } else {
        if (y < low) low = y;
        if (y > high) high = y;
        last = y;
      }
    }
    flush();
    ctx.stroke();
  }

  function drawChart() {
    const canvas = els.chart;
    const ratio = window.devicePixelRatio || 1;
    const width = canvas.clientWidth;
    const height = canvas.clientHeight;
    if (canvas.width !== Math.round(width * ratio) || canvas.height !== Math.round(height * ratio)) {
      canvas.width = Math.round(width * ratio);
      canvas.height = Math.round(height * ratio);
    }
    const ctx = canvas.getContext("2d");
    ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
    ctx.clearRect(0, 0, width, height);

    const n = data.length;
    canvas.dataset.points = n;
    canvas.dataset.firstSequence = n ? data.seq[0] : 0;
    canvas.dataset.lastSequence = n ? data.seq[n - 1] : 0;

    const style = getComputedStyle(document.documentElement);
    const shown = [];
    for (let c = 0; c < data.columns.length; c++) if (data.hasNumber(c)) shown.push(c);
    renderLegend(shown);

    const useTime = n > 0 && data.timeMissing === 0;
    const xs = useTime ? data.time : data.seq;
    let xMin = useTime ? data.timeLow : data.seq[0];
    let xMax = useTime ? data.timeHigh : data.seq[n - 1];
    let yMin = Math.min(...shown.map((c) => data.low[c]));
    let yMax = Math.max(...shown.map((c) => data.high[c]));
    if (!Number.isFinite(xMin)) {
      xMin = 0;
      xMax = 1;
    }
    if (!Number.isFinite(yMin)) {
      yMin = 0;
      yMax = 1;
    }

    ctx.font = `12px ${style.fontFamily}`;
    const top = 10;
    const bottom = height - 24;
    const yAxis = valueAxis(yMin, yMax, Math.max(2, Math.floor((bottom - top) / 40)));
    const labelWidth = Math.max(...yAxis.ticks.map((v) => ctx.measureText(yAxis.label(v)).width), 0);
    const left = Math.ceil(labelWidth) + 12;
    const right = width - 12;
    if (right - left < 20 || bottom - top < 20) return;
    // As many time or row labels as fit side by side: a first guess, then again with the labels' width.
    const xAxisFor = (count) =>
      useTime ? timeAxis(xMin, xMax, count, data.timeOnly) : sequenceAxis(xMin, xMax, count);
    let xAxis = xAxisFor(Math.max(2, Math.floor((right - left) / 80)));
    const xLabelWidth = Math.max(...xAxis.ticks.map((v) => ctx.measureText(xAxis.label(v)).width), 0) + 16;
    if (xAxis.ticks.length * xLabelWidth > right - left) {
      xAxis = xAxisFor(Math.max(1, Math.floor((right - left) / xLabelWidth)));
    }

    const sx = (right - left) / (xAxis.hi - xAxis.lo);
    const sy = (bottom - top) / (yAxis.hi - yAxis.lo);
    const toX = (x) => left + (x - xAxis.lo) * sx;
    const toY = (y) => bottom - (y - yAxis.lo) * sy;

    // Grid and tick labels.
    ctx.lineWidth = 1;
    ctx.strokeStyle = cssVar(style, "--chart-grid");
    ctx.fillStyle = cssVar(style, "--muted");
    ctx.beginPath();
    ctx.textAlign = "right";
    ctx.textBaseline = "middle";
    for (const v of yAxis.ticks) {
      const y = Math.round(toY(v)) + 0.5;
      ctx.moveTo(left, y);
      ctx.lineTo(right, y);
      ctx.fillText(yAxis.label(v), left - 6, y);
    }
    ctx.textAlign = "center";
    ctx.textBaseline = "top";
    for (const v of xAxis.ticks) {
      const x = Math.round(toX(v)) + 0.5;
      ctx.moveTo(x, top);
      ctx.lineTo(x, bottom);
      ctx.fillText(xAxis.label(v), Math.min(Math.max(x, left + 20), right - 20), bottom + 6);
    }
    ctx.stroke();
    ctx.strokeStyle = cssVar(style, "--chart-axis");
    ctx.strokeRect(left + 0.5, top + 0.5, right - left, bottom - top);

    ctx.save();
    ctx.beginPath();
    ctx.rect(left, top, right - left + 1, bottom - top + 1);
    ctx.clip();
    ctx.lineWidth = 1.5;
    ctx.lineJoin = "round";
    shown.forEach((c, i) => {
      ctx.strokeStyle = cssVar(style, `--series-${i % 8}`);
      traceLine(ctx, xs, data.columns[c], n, left - xAxis.lo * sx, sx, toY);
    });
    ctx.restore();
  }

  // ---- Rows and status from the logger -----------------------------------------------

  function applyStatus(next) {
    if (!next || typeof next !== "object") return;
    // A different start time means a new run, even when its "run" event was missed while
    // the connection was down.
    if (runStartedAt && next.startedAt && next.startedAt !== runStartedAt) newRun();
    if (next.startedAt) runStartedAt = next.startedAt;
    const millisBefore = stampMillis();
    status = next;
    if (stampMillis() !== millisBefore) dirty.rows = true;
    statusAt = performance.now();
    const nextColumns = Array.isArray(next.columns) ? next.columns : [];
    if (JSON.stringify(nextColumns) !== JSON.stringify(columns)) {
      columns = nextColumns;
      dirty.columns = true;
      els.legend.dataset.key = "";
    }
    invalidate("status");
  }

  // Rows are taken once each, in order of sequence: a row the page has (a replay after
  // reconnecting, or the overlap between /api/rows and the stream) is skipped.
  function takeRow(row, fromLoad) {
    if (!row || typeof row.sequence !== "number") return;
    if (loading && !fromLoad) {
      pending.push(row);
      return;
    }
    if (row.sequence <= lastSeq) return;
    lastSeq = row.sequence;
    data.append(row);
    recent.push(row);
    if (recent.length > TABLE_ROWS) recent.splice(0, recent.length - TABLE_ROWS);
    invalidate("rows", "chart");
  }

  async function getJSON(url) {
    const response = await fetch(url, { cache: "no-store", credentials: "same-origin" });
    if (!response.ok) throw new Error(`${url}: ${response.status}`);
    return response.json();
  }

  // Loads the rows after the last one the page has (the last INITIAL_ROWS of the run when it
  // has none), following "more"; rows from the stream meanwhile wait and are taken after.
  async function load() {
    const generation = ++loadGeneration;
    loading = true;
    try {
      let after = lastSeq;
      if (after === 0) {
        const current = await getJSON("api/status");
        if (generation !== loadGeneration) return;
        applyStatus(current);
        after = Math.max(0, (Number(current.lastSequence) || 0) - INITIAL_ROWS);
      }
      for (;;) {
        const page = await getJSON(`api/rows?after=${after}&limit=${PAGE_LIMIT}`);
        if (generation !== loadGeneration) return;
        const rows = Array.isArray(page.rows) ? page.rows : [];
        for (const row of rows) takeRow(row, true);
        if (!page.more || rows.length === 0) break;
        after = rows[rows.length - 1].sequence;
      }
    } catch (error) {
      if (generation === loadGeneration) setTimeout(() => generation === loadGeneration && load(), RETRY_MS);
      return;
    }
    loading = false;
    const waiting = pending.sort((a, b) => a.sequence - b.sequence);
    pending = [];
    for (const row of waiting) takeRow(row, false);
  }

  function newRun() {
    runStartedAt = null;
    data.clear();
    recent = [];
    lastSeq = 0;
    pending = [];
    invalidate("rows", "chart", "columns");
    load();
  }

  // ---- The event stream and the banner ------------------------------------------------

  let source = null;
  let lost = false;
  let bannerTimer = 0;
  let reopenTimer = 0;

  function showBanner(kind) {
    clearTimeout(bannerTimer);
    els.banner.textContent = kind === "lost" ? TEXT.lost : TEXT.back;
    els.banner.className = `banner ${kind}`;
    els.banner.hidden = false;
    if (kind === "back") bannerTimer = setTimeout(() => (els.banner.hidden = true), BACK_BANNER_MS);
  }

  function connect() {
    reopenTimer = 0;
    source = new EventSource("api/events");
    source.addEventListener("open", () => {
      if (lost) {
        lost = false;
        showBanner("back");
      }
      // Only now is the stream sure to carry every new row, so the rows before it are
      // asked for after it opened: on the first open and after each reconnection.
      load();
    });
    source.addEventListener("error", () => {
      if (!lost) {
        lost = true;
        showBanner("lost");
      }
      // The browser retries by itself unless the answer was an error; then start again here.
      if (source.readyState === EventSource.CLOSED && !reopenTimer) {
        source.close();
        reopenTimer = setTimeout(connect, RETRY_MS);
      }
    });
    source.addEventListener("status", (event) => applyStatus(JSON.parse(event.data)));
    source.addEventListener("row", (event) => takeRow(JSON.parse(event.data), false));
    source.addEventListener("run", () => newRun());
  }

  new ResizeObserver(() => invalidate("chart")).observe(els.chart);
  window.matchMedia("(prefers-color-scheme: dark)").addEventListener("change", () => invalidate("chart"));
  setInterval(renderClock, 1000);
  getJSON("api/status").then(applyStatus, () => {});
  connect();
})();
