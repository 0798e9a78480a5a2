"use strict";
// The trace as the page holds it: per thread, typed columns of its calls in
// call order (so a call's subtree is the `size[i]` calls from i on), calls
// per depth for the timeline, and the statistics per function. Values stay
// compressed until a call is opened (see Values).

const FLAG_NO_START = 1;
const FLAG_NO_END = 2;
const FLAG_RAISED = 4;

class Thread {
  constructor(raw, base) {
    const n = raw.dur.length;
    this.name = raw.name;
    this.nativeId = raw.native_id;
    this.records = raw.records;
    this.base = base; // the calls of the threads before it
    this.count = n;
    this.start = new Float64Array(n);
    this.end = new Float64Array(n);
    this.depth = Int32Array.from(raw.depth);
    this.fn = Int32Array.from(raw.fn);
    this.flags = Uint8Array.from(raw.flags);
    this.val = Int32Array.from(raw.values, (v) => (v === null ? -1 : v)); // the number of each call's values
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
    this.markers = raw.markers; // [time, name text, values number]
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
    // Calls the trace left out (past a call budget or a cap): counted in
    // calls, total, mean and max as the trace sums them; self is of the
    // recorded calls only.
    this.recorded = 0;
    this.leftOut = 0;
    this.leftRaised = 0;
    this.leftTime = null; // null: the trace gave no time for them
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
    this.values = new Values(raw.values, valuesText);
    this._owners = null;
    this._computeStats();
    this._addLeftOut(raw.left_out || []);
  }

  _addLeftOut(rows) {
    for (const [index, calls, raised, total, longest] of rows) {
      const f = this.functions[index];
      if (!f) continue;
      f.leftOut += calls;
      f.leftRaised += raised;
      f.calls += calls;
      if (total !== null) {
        f.leftTime = (f.leftTime || 0) + total;
        f.total += total;
        f.sum += total;
      }
      if (longest !== null && longest > f.max) f.max = longest;
    }
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
        f.recorded++;
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

  // The values of a call: a promise of {"a": arguments, "l": locals at the
  // return, "v": return value, ...}.
  details(th, i) {
    return this.values.get(th.val[i]);
  }

  // A promise of a plugin record's data, by its values number.
  pluginData(n) {
    return this.values.get(n);
  }

  // The call (a number over all threads) whose values each number holds; -1
  // for plugin records and values a later record replaced.
  _valueOwners() {
    if (this._owners === null) {
      const owners = new Int32Array(this.values.count).fill(-1);
      for (const th of this.threads) for (let i = 0; i < th.count; i++) if (th.val[i] >= 0) owners[th.val[i]] = th.base + i;
      this._owners = owners;
    }
    return this._owners;
  }

  callAt(n) {
    for (const th of this.threads) if (n >= th.base && n < th.base + th.count) return [th, n - th.base];
    return null;
  }

  // Calls whose function name or file holds the query, then calls whose
  // values do (their texts, keys and numbers, see SearchText), in call order;
  // at most `limit`, with the number of matches in all. A promise: the values
  // are inflated (once) to be searched.
  async search(query, limit = 500) {
    const q = query.toLowerCase();
    const results = [];
    let total = 0;
    const matching = new Uint8Array(this.functions.length);
    for (const f of this.functions) {
      if (f.name.toLowerCase().includes(q) || f.file.toLowerCase().includes(q)) { matching[f.index] = 1; total += f.recorded; }
    }
    if (total) {
      for (const th of this.threads) {
        for (let i = 0; i < th.count && results.length < limit; i++) {
          if (matching[th.fn[i]]) results.push({ th, i, why: "name" });
        }
      }
    }
    const needle = SearchText.needle(query);
    if (!needle) return { results, total };
    const owners = this._valueOwners();
    const hits = [];
    for (let c = 0; c < this.values.chunks.length; c++) {
      const { text, starts } = await this.values.searchText(c);
      const first = this.values.chunks[c][0];
      let line = 0;
      for (let at = text.indexOf(needle); at >= 0; at = text.indexOf(needle, at + 1)) {
        let lo = line, hi = starts.length - 1;
        while (lo < hi) { const mid = (lo + hi + 1) >> 1; if (starts[mid] <= at) lo = mid; else hi = mid - 1; }
        line = lo;
        // One result per line: go on from the next line.
        at = line + 1 < starts.length ? starts[line + 1] - 1 : text.length;
        const call = owners[first + line];
        if (call >= 0) hits.push(call);
      }
    }
    const ordered = Int32Array.from(hits).sort();
    for (const call of ordered) {
      const [th, i] = this.callAt(call);
      if (matching[th.fn[i]]) continue; // counted by name
      total++;
      if (results.length < limit) results.push({ th, i, why: "value" });
    }
    return { results, total };
  }
}
