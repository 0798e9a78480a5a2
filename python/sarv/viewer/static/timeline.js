"use strict";
// The timeline: one lane per thread, a flame chart of its calls (a row per
// depth), test bands behind them and plugin records as markers on the lane's
// title row. Drawing visits only what is on screen: per row, a binary search
// finds the first visible call, and calls thinner than a pixel are drawn
// once per pixel, skipping the calls that end within it by another search.

const ROW = 17;
const RULER = 22;
const LANE_TITLE = 18;
const LANE_GAP = 6;

function lowerBound(ids, keys, value) {
  // First k with keys[ids[k]] >= value.
  let lo = 0, hi = ids.length;
  while (lo < hi) { const mid = (lo + hi) >> 1; if (keys[ids[mid]] < value) lo = mid + 1; else hi = mid; }
  return lo;
}

function hue(text) {
  let h = 2166136261;
  for (let i = 0; i < text.length; i++) { h ^= text.charCodeAt(i); h = Math.imul(h, 16777619); }
  return (h >>> 0) % 360;
}

class Timeline {
  constructor(model, container, canvas, tooltip, onSelect) {
    this.model = model;
    this.container = container;
    this.canvas = canvas;
    this.tooltip = tooltip;
    this.onSelect = onSelect;
    this.t0 = 0;
    this.t1 = Math.max(model.duration, 1);
    this.scrollY = 0;
    this.selected = null; // {th, i}
    this.highlight = null; // Uint8Array over functions, or null
    this.highlightCalls = null; // Set of value lines (thread base + call), or null
    this.colors = model.functions.map((f) => {
      // Reds are kept for calls that raised.
      const h = 40 + (hue(f.file + "\0" + f.name) % 280);
      return { fill: `hsl(${h},55%,72%)`, faded: `hsl(${h},20%,90%)` };
    });
    this.pending = false;
    this.lastDrawMs = 0;
    this._layout();
    this._bind();
    this._fitHeight();
    this.resize();
  }

  _layout() {
    let y = RULER;
    this.lanes = this.model.threads.map((th) => {
      const lane = { th, top: y, rows: th.maxDepth + 1 };
      y += LANE_TITLE + lane.rows * ROW + LANE_GAP;
      return lane;
    });
    this.contentHeight = y;
  }

  // No taller than the lanes need, so that a small trace leaves the room
  // to the tree.
  _fitHeight() {
    const section = this.container.parentElement;
    const bar = section.firstElementChild.offsetHeight;
    const wanted = this.contentHeight + bar + 8;
    if (wanted < section.offsetHeight) section.style.height = wanted + "px";
  }

  resize() {
    const ratio = window.devicePixelRatio || 1;
    const width = this.container.clientWidth;
    const height = this.container.clientHeight;
    this.width = width;
    this.height = height;
    this.canvas.width = Math.max(1, Math.floor(width * ratio));
    this.canvas.height = Math.max(1, Math.floor(height * ratio));
    this.canvas.style.width = width + "px";
    this.canvas.style.height = height + "px";
    this.ratio = ratio;
    this._clampScroll();
    this.draw();
  }

  request() {
    if (this.pending) return;
    this.pending = true;
    requestAnimationFrame(() => { this.pending = false; this.draw(); });
  }

  _clampScroll() {
    const max = Math.max(0, this.contentHeight - this.height);
    this.scrollY = Math.min(Math.max(this.scrollY, 0), max);
  }

  _clampRange() {
    const total = Math.max(this.model.duration, 1);
    let span = this.t1 - this.t0;
    span = Math.min(Math.max(span, 50), total); // 50 ns: closer than that is noise
    let t0 = Math.min(Math.max(this.t0, 0), total - span);
    this.t0 = t0;
    this.t1 = t0 + span;
  }

  zoom(factor, atX) {
    const x = atX === undefined ? this.width / 2 : atX;
    const t = this.t0 + (x / this.width) * (this.t1 - this.t0);
    this.t0 = t - (t - this.t0) * factor;
    this.t1 = t + (this.t1 - t) * factor;
    this._clampRange();
    this.request();
  }

  pan(dx, dy) {
    const dt = (dx / this.width) * (this.t1 - this.t0);
    this.t0 -= dt;
    this.t1 -= dt;
    this._clampRange();
    this.scrollY -= dy;
    this._clampScroll();
    this.request();
  }

  reset() {
    this.t0 = 0;
    this.t1 = Math.max(this.model.duration, 1);
    this.request();
  }

  // Brings a call into view: zoomed to it when it is off screen or too thin.
  reveal(th, i) {
    const s = th.start[i], e = th.end[i];
    const span = this.t1 - this.t0;
    const px = ((e - s) / span) * this.width;
    if (s < this.t0 || e > this.t1 || px < 3) {
      const pad = Math.max(e - s, 1000);
      this.t0 = s - pad;
      this.t1 = e + pad;
      this._clampRange();
    }
    const lane = this.lanes.find((l) => l.th === th);
    const y = lane.top + LANE_TITLE + th.depth[i] * ROW;
    if (y < this.scrollY + RULER || y + ROW > this.scrollY + this.height) this.scrollY = y - this.height / 2;
    this._clampScroll();
    this.request();
  }

  select(th, i) { this.selected = th ? { th, i } : null; this.request(); }
  // Calls of the functions in `mask`, and the calls in `calls`, stand out;
  // the others fade. Both null: nothing fades.
  setHighlight(mask, calls) {
    this.highlight = mask;
    this.highlightCalls = calls && calls.size ? calls : null;
    this.request();
  }

  _lit(th, i) {
    if (!this.highlight && !this.highlightCalls) return true;
    return (this.highlight && this.highlight[th.fn[i]]) || (this.highlightCalls && this.highlightCalls.has(th.base + i));
  }

  _x(t) { return ((t - this.t0) / (this.t1 - this.t0)) * this.width; }

  draw() {
    const began = performance.now();
    const ctx = this.canvas.getContext("2d");
    ctx.setTransform(this.ratio, 0, 0, this.ratio, 0, 0);
    ctx.clearRect(0, 0, this.width, this.height);
    ctx.font = "11px system-ui, sans-serif";
    ctx.textBaseline = "middle";
    for (const lane of this.lanes) {
      const top = lane.top - this.scrollY;
      const bottom = top + LANE_TITLE + lane.rows * ROW;
      if (bottom < RULER || top > this.height) continue;
      this._drawLane(ctx, lane, top, bottom);
    }
    this._drawRuler(ctx);
    this.lastDrawMs = performance.now() - began;
    document.getElementById("timeline-range").textContent =
      Format.duration(this.t1 - this.t0) + " shown of " + Format.duration(this.model.duration);
  }

  _drawLane(ctx, lane, top, bottom) {
    const th = lane.th;
    const texts = this.model.texts;
    const title = th.name + (th.nativeId !== null ? " (" + th.nativeId + ")" : "");
    ctx.font = "bold 11px system-ui, sans-serif";
    const titleEnd = 4 + ctx.measureText(title).width + 10;
    ctx.font = "11px system-ui, sans-serif";
    // Test bands behind everything; their names after the thread's.
    for (const [s, e, name, outcome] of th.bands) {
      const x0 = Math.max(this._x(s === null ? 0 : s), 0), x1 = Math.min(this._x(e), this.width);
      if (x1 < 0 || x0 > this.width) continue;
      const failed = texts[outcome] === "failed";
      ctx.fillStyle = failed ? "rgba(220,60,60,0.10)" : "rgba(60,130,220,0.09)";
      ctx.fillRect(x0, top, Math.max(x1 - x0, 1), bottom - top);
      ctx.fillStyle = failed ? "#b22" : "#2a5da8";
      ctx.fillRect(x0, top, Math.max(x1 - x0, 1), 2);
      const label = texts[name] + (texts[outcome] ? " (" + texts[outcome] + ")" : "");
      const at = Math.max(x0 + 4, titleEnd);
      this._label(ctx, label, at, top + LANE_TITLE / 2, x1 - at - 4, failed ? "#b22" : "#2a5da8");
    }
    ctx.fillStyle = "#333";
    ctx.font = "bold 11px system-ui, sans-serif";
    ctx.fillText(title, 4, top + LANE_TITLE / 2);
    ctx.font = "11px system-ui, sans-serif";
    // Plugin records: a small triangle on the title row, a line through the lane.
    for (const [t, name] of th.markers) {
      const x = this._x(t);
      if (x < -5 || x > this.width + 5) continue;
      ctx.fillStyle = "rgba(120,60,170,0.35)";
      ctx.fillRect(x, top + LANE_TITLE, 1, bottom - top - LANE_TITLE);
      ctx.fillStyle = "#7a3caa";
      ctx.beginPath();
      ctx.moveTo(x - 5, top + 3);
      ctx.lineTo(x + 5, top + 3);
      ctx.lineTo(x, top + LANE_TITLE - 3);
      ctx.fill();
    }
    const span = this.t1 - this.t0;
    const perPixel = span / this.width;
    const first = Math.max(0, Math.floor((RULER - top - LANE_TITLE) / ROW));
    const last = Math.min(lane.rows - 1, Math.floor((this.height - top - LANE_TITLE) / ROW));
    for (let d = first; d <= last; d++) {
      const ids = th.byDepth[d];
      const y = top + LANE_TITLE + d * ROW;
      let k = lowerBound(ids, th.end, this.t0);
      while (k < ids.length) {
        const i = ids[k];
        if (th.start[i] > this.t1) break;
        const x0 = this._x(th.start[i]);
        const x1 = this._x(th.end[i]);
        if (x1 - x0 < 1) {
          // Thinner than a pixel: one mark for this pixel, then the first call past it.
          const px = Math.floor(x0);
          ctx.fillStyle = this._color(th, i);
          ctx.fillRect(px, y, 1, ROW - 1);
          k = lowerBound(ids, th.end, this.t0 + (px + 1) * perPixel);
          if (ids[k] === i) k++;
          continue;
        }
        this._drawCall(ctx, th, i, x0, x1, y);
        k++;
      }
    }
    if (this.selected && this.selected.th === th) {
      const i = this.selected.i;
      const x0 = this._x(th.start[i]), x1 = this._x(th.end[i]);
      const y = top + LANE_TITLE + th.depth[i] * ROW;
      ctx.strokeStyle = "#111";
      ctx.lineWidth = 2;
      ctx.strokeRect(Math.max(x0, -2) + 1, y + 1, Math.max(Math.min(x1, this.width + 2) - Math.max(x0, -2) - 2, 1), ROW - 3);
      ctx.lineWidth = 1;
    }
  }

  _color(th, i) {
    const fn = th.fn[i];
    if (!this._lit(th, i)) return this.colors[fn].faded;
    return th.flags[i] & FLAG_RAISED ? "#e8837c" : this.colors[fn].fill;
  }

  _drawCall(ctx, th, i, x0, x1, y) {
    const flags = th.flags[i];
    const left = Math.max(x0, -1), right = Math.min(x1, this.width + 1);
    ctx.fillStyle = this._color(th, i);
    ctx.fillRect(left, y, right - left - 0.5, ROW - 1);
    if (flags & FLAG_RAISED) {
      ctx.fillStyle = "#b3261e";
      ctx.fillRect(left, y + ROW - 4, right - left - 0.5, 3);
    }
    if (flags & (FLAG_NO_START | FLAG_NO_END)) {
      // A bound that is not known: a dashed edge on that side.
      ctx.strokeStyle = "#555";
      ctx.setLineDash([3, 2]);
      ctx.beginPath();
      if (flags & FLAG_NO_START) { ctx.moveTo(x0 + 0.5, y); ctx.lineTo(x0 + 0.5, y + ROW - 1); }
      if (flags & FLAG_NO_END) { ctx.moveTo(x1 - 1, y); ctx.lineTo(x1 - 1, y + ROW - 1); }
      ctx.stroke();
      ctx.setLineDash([]);
    }
    if (right - left > 24) {
      const f = this.model.fnOf(th, i);
      const faded = !this._lit(th, i);
      this._label(ctx, this._fitName(f.name, right - left - 6), left + 3, y + ROW / 2, right - left - 6, faded ? "#999" : "#111");
    }
  }

  // The qualified name, or its last parts when the whole does not fit.
  _fitName(name, room) {
    const chars = Math.floor(room / 6);
    if (name.length <= chars) return name;
    const parts = name.split(".");
    for (let k = parts.length - 1; k >= 1; k--) {
      const tail = parts.slice(-k).join(".");
      if (tail.length <= chars || k === 1) return tail;
    }
    return name;
  }

  _label(ctx, text, x, y, room, color) {
    if (room < 8) return;
    const chars = Math.floor(room / 6);
    if (chars < 1) return;
    ctx.fillStyle = color;
    ctx.fillText(text.length > chars ? text.slice(0, Math.max(chars - 1, 1)) + "…" : text, x, y);
  }

  _drawRuler(ctx) {
    ctx.fillStyle = "#f6f6f4";
    ctx.fillRect(0, 0, this.width, RULER);
    ctx.fillStyle = "#ccc";
    ctx.fillRect(0, RULER - 1, this.width, 1);
    const span = this.t1 - this.t0;
    const raw = span / Math.max(this.width / 110, 1);
    const power = Math.pow(10, Math.floor(Math.log10(raw)));
    const step = [1, 2, 5, 10].map((m) => m * power).find((s) => s >= raw);
    ctx.fillStyle = "#555";
    ctx.font = "10px system-ui, sans-serif";
    for (let t = Math.ceil(this.t0 / step) * step; t <= this.t1; t += step) {
      const x = this._x(t);
      ctx.fillRect(x, RULER - 6, 1, 5);
      ctx.fillText(Format.tick(t, step, this.t1), x + 3, RULER / 2 - 1);
    }
  }

  // The call (or marker) under a point of the canvas.
  hit(x, y) {
    const t = this.t0 + (x / this.width) * (this.t1 - this.t0);
    const slack = (3 / this.width) * (this.t1 - this.t0);
    for (const lane of this.lanes) {
      const top = lane.top - this.scrollY;
      if (y >= top && y < top + LANE_TITLE) {
        for (const m of lane.th.markers) if (Math.abs(this._x(m[0]) - x) <= 5) return { th: lane.th, marker: m };
        return null;
      }
      const d = Math.floor((y - top - LANE_TITLE) / ROW);
      if (d < 0 || d >= lane.rows) continue;
      const th = lane.th;
      const ids = th.byDepth[d];
      const k = lowerBound(ids, th.end, t - slack);
      if (k < ids.length && th.start[ids[k]] <= t + slack) return { th, i: ids[k] };
      return null;
    }
    return null;
  }

  _bind() {
    const canvas = this.canvas;
    canvas.addEventListener("wheel", (e) => {
      e.preventDefault();
      if (e.shiftKey) { this.pan(-e.deltaY, 0); return; }
      const rect = canvas.getBoundingClientRect();
      this.zoom(Math.exp(e.deltaY * 0.0015), e.clientX - rect.left);
    }, { passive: false });
    let drag = null;
    canvas.addEventListener("mousedown", (e) => { drag = { x: e.clientX, y: e.clientY, moved: 0 }; });
    window.addEventListener("mousemove", (e) => {
      if (drag) {
        const dx = e.clientX - drag.x, dy = e.clientY - drag.y;
        drag.moved += Math.abs(dx) + Math.abs(dy);
        drag.x = e.clientX;
        drag.y = e.clientY;
        this.pan(dx, dy);
        this.tooltip.hidden = true;
        return;
      }
      if (e.target !== canvas) return;
      this._hover(e);
    });
    window.addEventListener("mouseup", (e) => {
      const was = drag;
      drag = null;
      if (!was || was.moved > 3 || e.target !== canvas) return;
      const rect = canvas.getBoundingClientRect();
      const found = this.hit(e.clientX - rect.left, e.clientY - rect.top);
      if (found && found.i !== undefined) this.onSelect(found.th, found.i, "timeline");
    });
    canvas.addEventListener("dblclick", (e) => {
      // Zoom to the call: it fills most of the view.
      const rect = canvas.getBoundingClientRect();
      const found = this.hit(e.clientX - rect.left, e.clientY - rect.top);
      if (!found || found.i === undefined) return;
      const { th, i } = found;
      const pad = Math.max((th.end[i] - th.start[i]) * 0.05, 20);
      this.t0 = th.start[i] - pad;
      this.t1 = th.end[i] + pad;
      this._clampRange();
      this.request();
    });
    canvas.addEventListener("mouseleave", () => { this.tooltip.hidden = true; });
    window.addEventListener("resize", () => this.resize());
  }

  _hover(e) {
    const rect = this.canvas.getBoundingClientRect();
    const x = e.clientX - rect.left, y = e.clientY - rect.top;
    const found = this.hit(x, y);
    this._tip = null;
    if (!found) { this.tooltip.hidden = true; this.canvas.style.cursor = "grab"; return; }
    this.canvas.style.cursor = "pointer";
    const tip = this.tooltip;
    tip.replaceChildren();
    if (found.marker) {
      const [t, name, line] = found.marker;
      tip.append(el("strong", { text: this.model.texts[name] }), el("div", { text: "at " + Format.duration(t) }));
      // Its data arrives once read; by then the pointer may be elsewhere.
      const box = el("div");
      tip.append(box);
      const ticket = this._tip = {};
      this.model.pluginData(line).then((data) => {
        if (this._tip !== ticket) return;
        for (const [k, v] of Object.entries(data)) box.append(el("div", { text: k + " = " + Format.value(v, 80) }));
      }, (error) => { if (this._tip === ticket) box.append(el("div", { text: "its data could not be read: " + error })); });
    } else {
      const { th, i } = found;
      const f = this.model.fnOf(th, i);
      const flags = th.flags[i];
      tip.append(
        el("strong", { text: f.name }),
        el("div", { text: Format.span(th.duration(i), flags & (FLAG_NO_START | FLAG_NO_END)) + (flags & FLAG_RAISED ? " · raised" : "") }),
        el("div", { class: "muted", text: Format.place(f.file, f.line) }),
      );
    }
    tip.hidden = false;
    const left = Math.min(x + 14, this.width - tip.offsetWidth - 4);
    tip.style.left = Math.max(left, 0) + "px";
    tip.style.top = (y + 16) + "px";
  }
}
