"use strict";
// The panel of one call: its name and place, the caller, the arguments, the
// locals at the return (the changed ones marked), the return value or the
// exception, and how long it took. The values come compressed: the panel
// is drawn once they are read (data-state "loading", then "ready").

class DetailPanel {
  constructor(model, container, onSelect) {
    this.model = model;
    this.container = container;
    this.onSelect = onSelect;
    this.shown = 0;
  }

  show(th, i) {
    const ticket = ++this.shown;
    this.container.dataset.state = "loading";
    this.model.details(th, i).then(
      (d) => { if (ticket === this.shown) this._render(th, i, d, null); },
      (error) => { if (ticket === this.shown) this._render(th, i, {}, error); });
  }

  _render(th, i, d, error) {
    const model = this.model;
    const f = model.fnOf(th, i);
    const flags = th.flags[i];
    const out = [];
    out.push(el("h2", { class: "qualname", text: f.name }));
    out.push(el("div", { class: "where", text: Format.place(f.file, f.line) }));
    const facts = el("dl", { class: "facts" });
    const fact = (label, ...value) => facts.append(el("dt", { text: label }), el("dd", {}, ...value));
    let duration = Format.span(th.duration(i), flags & (FLAG_NO_START | FLAG_NO_END));
    fact("Duration", duration);
    const kids = th.children(i);
    if (kids.length) {
      const inCalls = kids.reduce((sum, j) => sum + th.duration(j), 0);
      fact("Self", Format.duration(Math.max(th.duration(i) - inCalls, 0)) + " in its own code");
    }
    fact("Started", Format.duration(th.start[i]) + " into the trace, thread " + th.name);
    const p = th.parent[i];
    if (p >= 0) {
      const caller = model.fnOf(th, p);
      const site = typeof d.s === "number" ? " at line " + d.s : "";
      fact("Called by", el("a", { href: "#", class: "caller", onclick: (e) => { e.preventDefault(); this.onSelect(th, p, "detail"); } },
        caller.name), site);
    } else {
      fact("Called by", el("span", { class: "muted", text: "not recorded (a call at the top of the thread)" }));
    }
    if (kids.length) fact("Calls made", kids.length + " direct, " + (th.size[i] - 1) + " in all");
    if (flags & FLAG_NO_START) {
      // Where the oldest records were dropped (ring mode), its call record may be among them.
      const dropped = model.header.dropped;
      fact("Note", (dropped && dropped.mode === "ring" ? "called before the oldest record kept (older records were dropped)"
        : "called before recording began") + ": it started earlier and ran at least this long");
    }
    if (flags & FLAG_NO_END) fact("Note", "no return recorded: it ran at least this long");
    out.push(facts);
    if (error) out.push(el("p", { class: "fatal", text: "The values of this call could not be read: " + error }));

    const args = d.a && typeof d.a === "object" ? d.a : null;
    if (args) out.push(this._values("Arguments", args, null));
    // Changes are marked only against arguments the trace holds.
    const before = "a" in d ? args || {} : null;
    if (d.l && typeof d.l === "object") out.push(this._values("Locals at return", d.l, before));
    if ("x" in d) {
      // A raise that ended the program without failing (SystemExit(0)) says so, not in red.
      out.push(el("h3", { text: d.e ? "Ended (" + d.e + ")" : "Raised" }), el("pre", { class: d.e ? "value" : "value raised",
        text: typeof d.x === "string" ? d.x : Format.value(d.x, 2000) }));
    } else if ("v" in d) {
      const label = d.e ? "Ended (" + d.e + ") with" : "Returned";
      out.push(el("h3", { text: label }), el("pre", { class: "value", text: Format.value(d.v, 2000) }));
    }
    if (d.t) out.push(el("div", { class: "muted", text: "returned at " + d.t }));
    this.container.replaceChildren(...out);
    this.container.scrollTop = 0;
    this.container.dataset.state = "ready";
  }

  // A table of names and values; with `before`, values that differ from it
  // (or are new) are marked.
  _values(title, values, before) {
    const keys = Object.keys(values);
    const table = el("table", { class: "values" });
    for (const k of keys) {
      let changed = false;
      if (before) changed = !(k in before) || JSON.stringify(before[k]) !== JSON.stringify(values[k]);
      table.append(el("tr", { class: changed ? "changed" : null },
        el("th", { text: k }),
        el("td", {}, el("code", { text: Format.value(values[k], 600) }), changed ? el("span", { class: "badge changed", text: k in before ? "changed" : "new" }) : null)));
    }
    const body = keys.length ? table : el("p", { class: "muted", text: "none" });
    return el("section", { class: "values-section" }, el("h3", { text: title }), body);
  }
}
