"use strict";
// Puts the page together: inflates the embedded trace, fills the header, and
// keeps the timeline, the tree, the hot functions and the detail panel on
// the same selection.

class Viewer {
  constructor(raw, values) {
    this.model = new Model(raw, values);
    this.searches = 0;
    this._header();
    const select = (th, i, from) => this.select(th, i, from);
    this.timeline = new Timeline(this.model, document.getElementById("timeline"),
      document.getElementById("timeline-canvas"), document.getElementById("tooltip"), select);
    this.tree = new CallTree(this.model, document.getElementById("tree"), select);
    this.detail = new DetailPanel(this.model, document.getElementById("detail"), select);
    this.hot = null; // built when its tab is first shown
    this._bindTabs();
    this._bindSearch();
    this._bindKeys();
  }

  _header() {
    const h = this.model.header;
    document.getElementById("trace-id").textContent = h.trace_id;
    const facts = document.getElementById("facts");
    const fact = (label, value, cls) => {
      if (value === null || value === undefined || value === "") return;
      facts.append(el("div", { class: cls || null }, el("dt", { text: label }), el("dd", { text: value })));
    };
    fact("Command", h.command ? h.command.join(" ") : null, "wide");
    fact("Test", h.test_id, "wide");
    fact("Outcome", h.outcome, h.outcome === "failed" ? "failed" : h.outcome === "passed" ? "passed" : null);
    if (h.dropped) {
      const d = h.dropped;
      const caps = [];
      if (d.max_records) caps.push("max_records " + d.max_records);
      if (d.max_bytes) caps.push("max_bytes " + d.max_bytes);
      const how = d.mode === "stop" ? "the records past " : "the oldest records, to keep within ";
      fact("Dropped", String(d.dropped) + " records: " + how + (caps.join(" or ") || "the caps"), "failed");
    }
    if (h.left_out) {
      const l = h.left_out;
      const why = l.budget ? "past the budget of " + l.budget.toLocaleString("en-US") + " calls each" : "once recording stopped at a cap";
      fact("Left out", Format.plural(l.calls, "call") + " of " + Format.plural(l.functions, "function") + " " + why, "failed");
    }
    fact("Source", h.source);
    fact("Commit", h.commit ? h.commit.slice(0, 12) : null);
    fact("Recorded", h.started !== null ? Format.localTime(h.started) : null);
    fact("Length", Format.duration(h.duration));
    fact("Records", h.records.toLocaleString("en-US"));
    fact("Calls", this.model.callCount.toLocaleString("en-US"));
    fact("Threads", String(this.model.threads.length));
    if (h.version) fact("sarv", h.version);
  }

  select(th, i, from) {
    this.selected = { th, i };
    this.detail.show(th, i);
    this.showTab("detail");
    this.timeline.select(th, i);
    if (from !== "timeline") this.timeline.reveal(th, i);
    if (from !== "tree") this.tree.reveal(th, i);
  }

  highlight(mask, calls) {
    this.timeline.setHighlight(mask, calls || null);
    this.tree.setHighlight(mask);
  }

  showTab(name) {
    for (const tab of document.querySelectorAll(".tab")) tab.classList.toggle("active", tab.dataset.tab === name);
    for (const pane of document.querySelectorAll(".tab-pane")) pane.hidden = pane.id !== name;
    if (name === "hot" && !this.hot) {
      this.hot = new HotList(this.model, document.getElementById("hot"), (index) => {
        if (index === null) { this.highlight(null); return; }
        const mask = new Uint8Array(this.model.functions.length);
        mask[index] = 1;
        this.highlight(mask);
      });
    }
  }

  _bindTabs() {
    for (const tab of document.querySelectorAll(".tab")) tab.addEventListener("click", () => this.showTab(tab.dataset.tab));
  }

  _bindSearch() {
    const input = document.getElementById("search");
    let timer = null;
    input.addEventListener("input", () => {
      clearTimeout(timer);
      timer = setTimeout(() => this.search(input.value.trim()), 200);
    });
    input.addEventListener("keydown", (e) => {
      if (e.key === "Enter") { clearTimeout(timer); this.search(input.value.trim()); }
      if (e.key === "Escape") { input.value = ""; this.search(""); }
    });
  }

  async search(query) {
    const ticket = ++this.searches;
    const count = document.getElementById("search-count");
    const results = document.getElementById("results");
    count.textContent = "";
    if (!query) {
      count.textContent = "";
      results.replaceChildren(el("p", { class: "empty", text: "Type in the search box above." }));
      this.highlight(this.hot && this.hot.picked !== null ? this._mask([this.hot.picked]) : null);
      return;
    }
    results.replaceChildren(el("p", { class: "muted", text: "Searching…" }));
    let found, total;
    try {
      ({ results: found, total } = await this.model.search(query));
    } catch (error) {
      if (ticket === this.searches) results.replaceChildren(el("p", { class: "fatal", text: "The values could not be searched: " + error }));
      return;
    }
    if (ticket !== this.searches) return; // a later search replaced this one
    count.textContent = Format.plural(total, "call");
    const list = el("ol", { class: "results" });
    for (const { th, i, why } of found) {
      const f = this.model.fnOf(th, i);
      list.append(el("li", { onclick: () => this.select(th, i, "results") },
        el("span", { class: "name", text: f.name }),
        el("span", { class: "time", text: Format.span(th.duration(i), th.flags[i] & (FLAG_NO_START | FLAG_NO_END)) }),
        el("span", { class: "badge", text: why === "value" ? "in values" : "in name or file" }),
        el("span", { class: "where", text: Format.place(f.file, f.line) })));
    }
    const shown = found.length < total ? el("p", { class: "muted", text: "The first " + found.length + " of " + total.toLocaleString("en-US") + " calls." }) : null;
    results.replaceChildren(el("p", { class: "muted", text: "Calls whose name, file or values hold " + JSON.stringify(query) + "." }),
      found.length ? list : el("p", { class: "empty", text: "Nothing found." }), ...(shown ? [shown] : []));
    // Functions found by name stand out whole; values, call by call.
    const byName = found.filter((r) => r.why === "name").map(({ th, i }) => th.fn[i]);
    const byValue = new Set(found.filter((r) => r.why === "value").map(({ th, i }) => th.base + i));
    this.highlight(byName.length ? this._mask(byName) : null, byValue);
    this.showTab("results");
  }

  _mask(indexes) {
    const mask = new Uint8Array(this.model.functions.length);
    for (const k of indexes) mask[k] = 1;
    return mask;
  }

  _bindKeys() {
    document.getElementById("zoom-in").addEventListener("click", () => this.timeline.zoom(0.5));
    document.getElementById("zoom-out").addEventListener("click", () => this.timeline.zoom(2));
    document.getElementById("zoom-reset").addEventListener("click", () => this.timeline.reset());
    window.addEventListener("keydown", (e) => {
      if (e.target instanceof HTMLInputElement) return;
      if (e.key === "+" || e.key === "=") this.timeline.zoom(0.5);
      else if (e.key === "-") this.timeline.zoom(2);
      else if (e.key === "0") this.timeline.reset();
      else if (e.key === "/") { e.preventDefault(); document.getElementById("search").focus(); }
    });
  }
}

window.addEventListener("DOMContentLoaded", async () => {
  try {
    if (typeof DecompressionStream === "undefined") {
      throw new Error("this browser cannot inflate the page's data (it needs DecompressionStream: Chrome 80, Firefox 113, Safari 16.4 or later)");
    }
    const raw = await Codec.json(document.getElementById("sarv-trace").textContent.trim());
    window.sarvViewer = new Viewer(raw, document.getElementById("sarv-values").textContent);
    performance.mark("sarv-ready");
    document.body.dataset.state = "ready";
    requestAnimationFrame(() => performance.mark("sarv-painted"));
  } catch (error) {
    document.body.dataset.state = "failed";
    document.body.prepend(el("p", { class: "fatal", text: "This trace could not be shown: " + error }));
    throw error;
  }
});
