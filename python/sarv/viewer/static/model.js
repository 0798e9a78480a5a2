"use strict";
// The trace as the page holds it: per thread, typed columns of its calls in
// call order (so a call's subtree is the `size[i]` calls from i on), calls
// per depth for the timeline, and the statistics per function. Values stay
// one text, a line per call, parsed when a call is opened.

const FLAG_NO_START = 1;
const FLAG_NO_END = 2;
const FLAG_RAISED = 4;

class Thread {
  constructor(raw, base) {
    const n = raw.dur.length;
    this.name = raw.name;
    this.nativeId = raw.native_id;
    this.records = raw.records;
    this.base = base; // the first call's line in the values text
    this.count = n;
    this.start = new Float64Array(n);
    this.end = new Float64Array(n);
    this.depth = Int32Array.from(raw.depth);
    this.fn = Int32Array.from(raw.fn);
    this.flags = Uint8Array.from(raw.flags);
    this.parent = new Int32Array(n);
    this.size = new Int32Array(n);
    let t = 0;
    for (let i = 0; i < n; i++) {
      t += raw.start[i];
      this.start[i] = t;
      this.end[i] = t + raw.dur[i];
    }
    // Parents and subtree sizes from the depths of a pre-order walk.
    const stack = [];
    let maxDepth = -1;
    for (let i = 0; i < n; i++) {
      const d = this.depth[i];
      while (stack.length > d) { const j = stack.pop(); this.size[j] = i - j; }
      this.parent[i] = stack.length ? stack[stack.length - 1] : -1;
      stack.push(i);
      if (d > maxDepth) maxDepth = d;
    }
    while (stack.length) { const j = stack.pop(); this.size[j] = n - j; }
    this.maxDepth = maxDepth;
    // Calls of each depth, in time order (calls of one depth never overlap).
    const perDepth = new Int32Array(maxDepth + 1);
    for (let i = 0; i < n; i++) perDepth[this.depth[i]]++;
    this.byDepth = Array.from(perDepth, (c) => new Int32Array(c));
    perDepth.fill(0);
    for (let i = 0; i < n; i++) { const d = this.depth[i]; this.byDepth[d][perDepth[d]++] = i; }
    this.markers = raw.markers; // [time, name text, plugin line]
    this.bands = raw.bands; // [start, end, test id text, outcome text]
  }

  children(i) {
    const out = [];
    const stop = i + this.size[i];
    for (let j = i + 1; j < stop; j += this.size[j]) out.push(j);
    return out;
  }

  roots() {
    const out = [];
    for (let j = 0; j < this.count; j += this.size[j]) out.push(j);
    return out;
  }

  duration(i) { return this.end[i] - this.start[i]; }
}

class FunctionStats {
  constructor(index, name, file, line) {
    this.index = index;
    this.name = name;
    this.file = file;
    this.line = line;
    this.calls = 0;
    this.total = 0; // time inside the function, recursive calls counted once
    this.self = 0; // time in its own code, not in the calls it made
    this.sum = 0; // durations of all its calls, for the mean
    this.max = 0;
  }
  get mean() { return this.calls ? this.sum / this.calls : 0; }
}

class Model {
  constructor(raw, valuesText) {
    this.header = raw.header;
    this.texts = raw.texts;
    this.callCount = raw.calls;
    this.functions = raw.functions.map(([name, file, line], i) =>
      new FunctionStats(i, raw.texts[name], raw.texts[file], line));
    let base = 0;
    this.threads = raw.threads.map((t) => { const th = new Thread(t, base); base += th.count; return th; });
    this.duration = raw.header.duration;
    this.valuesText = valuesText;
    this._lineStarts = null;
    this._lowerValues = null;
    this._computeStats();
  }

  _computeStats() {
    const active = new Int32Array(this.functions.length);
    for (const th of this.threads) {
      const stack = [];
      for (let i = 0; i < th.count; i++) {
        while (stack.length > th.depth[i]) active[th.fn[stack.pop()]]--;
        const f = this.functions[th.fn[i]];
        const d = th.duration(i);
        f.calls++;
        f.sum += d;
        if (d > f.max) f.max = d;
        if (active[f.index] === 0) f.total += d;
        f.self += d;
        const p = th.parent[i];
        if (p >= 0) this.functions[th.fn[p]].self -= d;
        active[f.index]++;
        stack.push(i);
      }
      while (stack.length) active[th.fn[stack.pop()]]--;
    }
    for (const f of this.functions) if (f.self < 0) f.self = 0;
  }

  fnOf(th, i) { return this.functions[th.fn[i]]; }

  // One line of the values text: the details of a call or a plugin record.
  _line(n) {
    if (this._lineStarts === null) {
      const text = this.valuesText;
      const starts = [0];
      for (let at = text.indexOf("\n"); at >= 0; at = text.indexOf("\n", at + 1)) starts.push(at + 1);
      this._lineStarts = Int32Array.from(starts);
    }
    const starts = this._lineStarts;
    if (n >= starts.length) return null;
    const stop = n + 1 < starts.length ? starts[n + 1] - 1 : this.valuesText.length;
    return this.valuesText.slice(starts[n], stop);
  }

  details(th, i) {
    const text = this._line(th.base + i);
    return text ? JSON.parse(text) : {};
  }

  pluginData(line) {
    const text = this._line(this.callCount + line);
    return text ? JSON.parse(text) : {};
  }

  // (thread, call) of a line of the values text, or null for a plugin record.
  callOfLine(n) {
    for (const th of this.threads) if (n >= th.base && n < th.base + th.count) return [th, n - th.base];
    return null;
  }

  // Calls whose function name or file holds the query, then calls whose
  // values do; at most `limit`, with the number of matches in all.
  search(query, limit = 500) {
    const q = query.toLowerCase();
    const results = [];
    let total = 0;
    const matching = new Uint8Array(this.functions.length);
    for (const f of this.functions) {
      if (f.name.toLowerCase().includes(q) || f.file.toLowerCase().includes(q)) { matching[f.index] = 1; total += f.calls; }
    }
    if (total) {
      for (const th of this.threads) {
        for (let i = 0; i < th.count && results.length < limit; i++) {
          if (matching[th.fn[i]]) results.push({ th, i, why: "name" });
        }
      }
    }
    if (this._lineStarts === null) this._line(0);
    if (this._lowerValues === null) this._lowerValues = this.valuesText.toLowerCase();
    const needle = Format.jsonText(q);
    if (!needle) return { results, total };
    const text = this._lowerValues;
    const starts = this._lineStarts;
    let line = -1;
    for (let at = text.indexOf(needle); at >= 0; at = text.indexOf(needle, at + 1)) {
      let lo = line < 0 ? 0 : line, hi = starts.length - 1;
      while (lo < hi) { const mid = (lo + hi + 1) >> 1; if (starts[mid] <= at) lo = mid; else hi = mid - 1; }
      line = lo;
      // One result per line: go on from the next line.
      at = line + 1 < starts.length ? starts[line + 1] - 1 : text.length;
      const found = this.callOfLine(line);
      if (!found || matching[found[0].fn[found[1]]]) continue; // a plugin record, or counted by name
      total++;
      if (results.length < limit) results.push({ th: found[0], i: found[1], why: "value" });
    }
    return { results, total };
  }
}
