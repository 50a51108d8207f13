// The station page: a live view of lumbra-cli watch, fed by the server-sent events at "events".
// Every string that came from a controller is hostile: it reaches the page through textContent
// only, and classes are chosen from fixed tables, never built from the data.
"use strict";
(() => {
  const MAX_RECORDS = 50;
  const PHASES = { handshake: "Handshake", download: "Download", verify: "Verify" };

  const $ = (id) => document.getElementById(id);
  function el(tag, cls, text) {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }
  const isNum = (v) => typeof v === "number" && Number.isFinite(v);
  const str = (v) => (v === null || v === undefined ? "" : String(v));
  // Writes only when the text changed, so a progress event touches only what moved.
  function setText(node, v) {
    const s = str(v);
    if (node.textContent !== s) node.textContent = s;
  }
  function setClass(node, cls) {
    if (node.className !== cls) node.className = cls;
  }
  function show(node, yes) {
    if (node.hidden === yes) node.hidden = !yes;
  }
  function mmss(sec) {
    if (!isNum(sec) || sec < 0) return "—";
    const s = Math.round(sec);
    return String(Math.floor(s / 60)).padStart(2, "0") + ":" + String(s % 60).padStart(2, "0");
  }
  const fixed1 = (v, unit = "") => (isNum(v) ? v.toFixed(1) + unit : "—");

  // A verdict's look: the word in large letters, a sign, and the colour, never the colour alone.
  function verdictLook(v) {
    if (v === "verified") return { cls: "ok", head: "✓ VERIFIED" };
    if (v === "interrupted") return { cls: "stopped", head: "■ STOPPED" };
    return { cls: "bad", head: "✗ FAILED" };
  }
  const tileName = (t) => (t.slot ? "Slot " + t.slot : str(t.port) || str(t.device) || str(t.key));

  // ---- tiles ----
  const tiles = new Map(); // key -> view (the tile's elements)
  let tileIds = 0;

  function makeTile() {
    const v = {};
    const id = "tile-" + ++tileIds;
    v.root = el("article", "tile");
    v.root.setAttribute("aria-labelledby", id + "-name");
    const head = el("div", "tile-head");
    v.name = el("h3", "tile-name");
    v.name.id = id + "-name";
    v.port = el("p", "tile-port");
    head.append(v.name, v.port);
    v.serial = el("p", "serial");
    v.waiting = el("p", "waiting", "Waiting for a controller");
    v.verdict = el("div", "verdict");
    v.verdictHead = el("p", "verdict-head");
    v.verdictWords = el("p", "verdict-words");
    v.advice = el("p", "advice");
    v.verdict.append(v.verdictHead, v.verdictWords, v.advice);
    v.run = el("div", "run");
    // The phase and its percentage are written over the bar: one row instead of two.
    const meter = el("div", "meter");
    v.bar = el("progress");
    v.bar.max = 100;
    v.phase = el("p", "phase");
    v.phaseName = el("span");
    v.percent = el("strong", "percent");
    v.phase.append(v.phaseName, v.percent);
    meter.append(v.bar, v.phase);
    const facts = el("dl", "facts");
    const fact = (label, visible = true) => {
      const d = el("div"), dd = el("dd");
      d.append(el("dt", visible ? "" : "sr-only", label), dd);
      facts.append(d);
      return dd;
    };
    v.address = fact("at", false);
    v.resends = fact("resends");
    v.elapsed = fact("elapsed");
    v.eta = fact("ETA");
    v.run.append(meter, facts);
    v.status = el("p", "status");
    v.box = el("p", "box");
    v.remove = el("p", "remove", "Remove the controller to flash the next one");
    v.root.append(head, v.serial, v.waiting, v.verdict, v.run, v.status, v.box, v.remove);
    return v;
  }

  function renderTile(v, t) {
    const state = t.state === "running" || t.state === "done" ? t.state : "empty";
    const look = t.verdict ? verdictLook(t.verdict) : null;
    setClass(v.root, "tile " + state + (look ? " " + look.cls : "") + (t.slot ? "" : " noslot"));
    const name = tileName(t);
    setText(v.name, t.slot ? t.slot : name);
    if (v.name.title !== name) v.name.title = name;
    setText(v.port, t.slot ? t.port || t.device || "" : t.device && t.device !== name ? t.device : "");
    show(v.waiting, state === "empty");
    show(v.serial, state !== "empty");
    setText(v.serial, t.serial ? "SN " + t.serial : "SN unknown");
    show(v.run, state !== "empty");
    if (state !== "empty") {
      const phase = PHASES[t.phase] || str(t.phase);
      setText(v.phaseName, phase);
      const pct = isNum(t.percent) ? Math.min(100, Math.max(0, t.percent)) : 0;
      setText(v.percent, Math.floor(pct) + "%");
      if (v.bar.value !== pct) v.bar.value = pct;
      const label = name + " " + (phase || "progress").toLowerCase();
      if (v.bar.getAttribute("aria-label") !== label) v.bar.setAttribute("aria-label", label);
      setText(v.address, t.unit && isNum(t.address)
        ? t.unit + " 0x" + t.address.toString(16).toUpperCase().padStart(4, "0") : "—");
      setText(v.resends, isNum(t.resends) ? t.resends : "—");
      setText(v.elapsed, mmss(t.elapsed));
      setText(v.eta, mmss(t.eta));
      show(v.eta.parentNode, state === "running");
    }
    show(v.verdict, !!look);
    if (look) {
      setText(v.verdictHead, look.head);
      setText(v.verdictWords, t.verdict === "verified" ? "" : t.verdict);
    }
    show(v.advice, !!t.advice);
    setText(v.advice, t.advice);
    // While running the status line and the last box are both shown (a box that repeats the
    // status line once); after a result the box is the engine's last word and the status line,
    // mostly its short form, is left out.
    const box = state !== "empty" && !!t.box;
    show(v.status, state === "running" ? !!t.status && t.box !== t.status : state === "done" && !!t.status && !box);
    setText(v.status, t.status);
    show(v.box, box);
    setText(v.box, t.box);
    show(v.remove, state === "done");
  }

  function putTile(t) {
    if (!t || typeof t !== "object") return null;
    const key = str(t.key);
    let v = tiles.get(key);
    if (!v) {
      v = makeTile();
      tiles.set(key, v);
      $("tiles").append(v.root);
      show($("no-tiles"), false);
    }
    renderTile(v, t);
    return v;
  }

  // Each verdict is a new line in the polite live region, so that two results close together
  // are both read; the oldest lines go.
  function announce(text) {
    const a = $("announce");
    a.append(el("p", "", text));
    while (a.childElementCount > 5) a.firstElementChild.remove();
  }

  // ---- counters ----
  function renderWindow(box, w) {
    const f = (name) => box.querySelector('[data-field="' + name + '"]');
    w = w && typeof w === "object" ? w : {};
    const failed = w.failed && typeof w.failed === "object" ? w.failed : {};
    const kinds = Object.keys(failed).filter((k) => isNum(failed[k]) && failed[k] > 0);
    setText(f("verified"), isNum(w.verified) ? w.verified : "—");
    setText(f("failed"), isNum(w.verified) ? kinds.reduce((n, k) => n + failed[k], 0) : "—");
    setText(f("yield"), fixed1(w.yield, "%"));
    setText(f("units_per_hour"), fixed1(w.units_per_hour));
    setText(f("mean_cycle"), mmss(w.mean_cycle));
    f("breakdown").replaceChildren(...kinds.map((k) => el("li", "", k + ": " + failed[k])));
  }

  function renderCounters(c) {
    if (!c || typeof c !== "object") return;
    renderWindow($("since_start"), c.since_start);
    renderWindow($("today"), c.today);
    const hasTarget = isNum(c.target) && c.target > 0;
    show($("target"), hasTarget);
    if (hasTarget) {
      const done = c.today && isNum(c.today.verified) ? c.today.verified : 0;
      setText($("target-count"), done + " / " + c.target);
    }
    show($("target-reached"), hasTarget && c.target_reached === true);
  }

  // ---- records ----
  let liveRecords = []; // newest first
  let query = "";
  let searchSeq = 0;
  let records = true; // whether the program keeps a record file

  function timeOf(iso) {
    const d = new Date(str(iso));
    if (isNaN(d)) return str(iso);
    const today = new Date().toDateString() === d.toDateString();
    return (today ? "" : d.toLocaleDateString() + " ") + d.toLocaleTimeString([], { hour12: false });
  }

  function recordRow(r) {
    const tr = el("tr");
    const look = verdictLook(r.verdict);
    const time = el("td", "", timeOf(r.end || r.start));
    time.title = str(r.end || r.start);
    tr.append(time, el("td", "", str(r.slot) || "—"), el("td", "", str(r.port) || "—"),
      el("td", "serial-cell", str(r.serial) || "—"),
      el("td", "verdict-cell " + look.cls, look.head.slice(0, 1) + " " + str(r.verdict)),
      el("td", "num", isNum(r.seconds) ? r.seconds.toFixed(1) : "—"));
    return tr;
  }

  function renderRecords() {
    const list = query ? null : liveRecords;
    if (list) {
      $("records").replaceChildren(...list.map(recordRow));
      setText($("records-title"), "Latest records");
      setText($("records-note"), list.length ? "" : records ? "No record yet." : "No record file is kept (no --report).");
    }
  }

  function addRecord(r) {
    if (!r || typeof r !== "object") return;
    if (r.record_id !== undefined && liveRecords.some((x) => x.record_id === r.record_id)) return;
    liveRecords.unshift(r);
    liveRecords.length = Math.min(liveRecords.length, MAX_RECORDS);
    if (query) search(); else renderRecords();
  }

  // The server filters by substring and sends the matches oldest first, one JSON object a line.
  async function search() {
    const mine = ++searchSeq;
    const q = query;
    setText($("records-title"), "Search results");
    try {
      const res = await fetch("records.jsonl?serial=" + encodeURIComponent(q) + "&last=" + MAX_RECORDS);
      if (!res.ok) throw new Error("HTTP " + res.status);
      const rows = [];
      for (const line of (await res.text()).split("\n")) {
        try { const r = JSON.parse(line); if (r && typeof r === "object") rows.push(r); } catch (_) { /* torn line */ }
      }
      if (mine !== searchSeq) return;
      const shown = rows.reverse().slice(0, MAX_RECORDS);
      $("records").replaceChildren(...shown.map(recordRow));
      setText($("records-note"), (shown.length || "No") + (shown.length === 1 ? " record" : " records") +
        " with a serial number containing “" + q + "”" + (shown.length === MAX_RECORDS ? ", the latest " + MAX_RECORDS : ""));
    } catch (err) {
      if (mine === searchSeq) setText($("records-note"), "The search failed: " + err.message);
    }
  }

  let searchTimer = 0;
  $("search").addEventListener("input", () => {
    clearTimeout(searchTimer);
    searchTimer = setTimeout(() => {
      query = $("search").value.trim();
      if (query) search(); else { ++searchSeq; renderRecords(); }
    }, 250);
  });
  $("search-form").addEventListener("submit", (e) => e.preventDefault());

  // ---- the stream ----
  let snapSeq = null; // the current stream's snapshot seq; null until it came
  const latency = (window.__lumbraLatency = []);

  // watch --db: the line's database and the records waiting for it, as text.
  function renderDatabase(d) {
    show($("database"), !!d && typeof d === "object");
    if (!d || typeof d !== "object") return;
    const waiting = isNum(d.waiting) && d.waiting > 0 ? ", " + d.waiting + " records waiting" : "";
    setText($("database-state"), str(d.state) + waiting);
  }

  function applySnapshot(m) {
    snapSeq = isNum(m.seq) ? m.seq : -Infinity;
    const st = m.station && typeof m.station === "object" ? m.station : {};
    setText($("station-name"), st.name || "—");
    document.title = "Station " + str(st.name) + " – lumbra";
    records = st.records !== false;
    show($("downloads"), records);
    show($("search-form"), records);
    tiles.clear();
    $("tiles").replaceChildren();
    (Array.isArray(m.tiles) ? m.tiles : []).forEach(putTile);
    show($("no-tiles"), tiles.size === 0);
    renderCounters(m.counters);
    renderDatabase(m.database);
    liveRecords = (Array.isArray(m.records) ? m.records : []).filter((r) => r && typeof r === "object")
      .slice(0, MAX_RECORDS);
    if (query) search(); else renderRecords();
  }

  function apply(m) {
    if (m.event === "counters") renderCounters(m.counters);
    else if (m.event === "database") renderDatabase(m.database);
    else if (m.event === "record") addRecord(m.record);
    else if (m.tile) {
      putTile(m.tile);
      if (m.event === "result" && m.tile.verdict) announce(tileName(m.tile) + ": " + str(m.tile.verdict));
    }
  }

  function setConn(isLive) {
    setText($("conn"), isLive ? "live" : "reconnecting…");
    document.body.classList.toggle("offline", !isLive);
  }

  function onMessage(e) {
    let m;
    try { m = JSON.parse(e.data); } catch (_) { return; }
    if (!m || typeof m !== "object") return;
    if (m.event === "snapshot") {
      applySnapshot(m);
      setConn(true);
      return;
    }
    if (snapSeq === null || !isNum(m.seq) || m.seq <= snapSeq) return;
    apply(m);
    if (isNum(m.sent_ms)) {
      latency.push(Date.now() - m.sent_ms);
      if (latency.length > 1000) latency.splice(0, latency.length - 1000);
    }
  }

  // EventSource retries by itself after a dropped stream; when it gives up (CLOSED, e.g. on an
  // error status while the program restarts) a new one is made after 2 s.
  function connect() {
    const es = new EventSource("events");
    es.onmessage = onMessage;
    es.onerror = () => {
      snapSeq = null;
      setConn(false);
      if (es.readyState === EventSource.CLOSED) setTimeout(connect, 2000);
    };
  }
  connect();
})();
