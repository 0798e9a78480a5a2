"use strict";
// The call tree: per thread, its calls as nested rows, built when a row is
// opened. Calls of one function among siblings are folded into one row
// ("fib ×465, 530 µs total"), as is a recursive call, counting every call
// of that function beneath; opening the row shows them one by one.

const PAGE = 200; // rows shown at once under one parent; more on request

class CallTree {
  constructor(model, container, onSelect) {
    this.model = model;
    this.container = container;
    this.onSelect = onSelect;
    this.selectedRow = null;
    this.highlight = null;
    this.container.replaceChildren();
    this.container.tabIndex = 0;
    this.container.addEventListener("keydown", (e) => this._key(e));
    for (const th of model.threads) {
      const title = el("div", { class: "thread-title", text: th.name + " · " + Format.plural(th.count, "call") });
      const box = el("div", { class: "children" });
      this.container.append(title, box);
      this._fill(box, th, th.roots(), 0);
    }
  }

  // Rows for sibling calls, one per function (in order of first call).
  _groups(th, calls) {
    const byFn = new Map();
    for (const i of calls) {
      const fn = th.fn[i];
      let g = byFn.get(fn);
      if (!g) { g = []; byFn.set(fn, g); }
      g.push(i);
    }
    return [...byFn.values()];
  }

  _fill(box, th, calls, depth, asCalls = false, from = 0) {
    const groups = asCalls ? calls.map((i) => [i]) : this._groups(th, calls);
    const stop = Math.min(groups.length, from + PAGE);
    for (let g = from; g < stop; g++) box.append(this._row(th, groups[g], depth, asCalls));
    if (stop < groups.length) {
      const more = el("div", { class: "row more", style: "padding-left:" + (depth * 14 + 18) + "px",
        text: "… " + (groups.length - stop) + " more" });
      more.addEventListener("click", () => { more.remove(); this._fill(box, th, calls, depth, asCalls, stop); });
      box.append(more);
    }
  }

  _row(th, calls, depth, single) {
    const first = calls[0];
    const f = this.model.fnOf(th, first);
    let count = 0, total = 0, lower = false, raised = false;
    for (const i of calls) {
      total += th.duration(i);
      lower = lower || (th.flags[i] & (FLAG_NO_START | FLAG_NO_END)) !== 0;
      raised = raised || (th.flags[i] & FLAG_RAISED) !== 0;
      const stop = i + th.size[i];
      for (let j = i; j < stop; j++) if (th.fn[j] === f.index) count++;
    }
    const folded = !single && count > 1;
    const hasChildren = calls.length > 1 || th.size[first] > 1;
    const row = el("div", { class: "row" + (folded ? " folded" : ""), role: "treeitem", "data-fn": f.index,
      style: "padding-left:" + (depth * 14 + 4) + "px" });
    row.sarv = { th, calls, depth };
    const toggle = el("span", { class: "toggle", text: hasChildren ? "▸" : "" });
    const name = el("span", { class: "name", text: f.name });
    const parts = [toggle, name];
    const time = Format.span(total, lower);
    if (folded) parts.push(el("span", { class: "count", text: " ×" + count + ", " + time + " total" }));
    else parts.push(el("span", { class: "time", text: time }));
    if (raised) parts.push(el("span", { class: "badge raised", text: "raised" }));
    if (th.flags[first] & FLAG_NO_END && !folded) parts.push(el("span", { class: "badge", text: "no return" }));
    parts.push(el("span", { class: "where", text: Format.place(f.file, f.line) }));
    row.append(...parts);
    if (this.highlight && this.highlight[f.index]) row.classList.add("hl");
    const kids = el("div", { class: "children", hidden: true });
    const wrap = el("div", {}, row, kids);
    row.addEventListener("click", (e) => {
      if (e.target === toggle) { this.toggle(row); return; }
      this._mark(row);
      this.onSelect(th, first, "tree");
      if (!row.classList.contains("open") && hasChildren) this.toggle(row);
    });
    return wrap;
  }

  toggle(row, open) {
    const kids = row.nextSibling;
    const { th, calls, depth } = row.sarv;
    const want = open === undefined ? !row.classList.contains("open") : open;
    if (want === row.classList.contains("open")) return kids;
    row.classList.toggle("open", want);
    row.firstChild.textContent = row.firstChild.textContent ? (want ? "▾" : "▸") : "";
    kids.hidden = !want;
    if (want && !kids.firstChild) {
      if (calls.length > 1) this._fill(kids, th, calls, depth + 1, true);
      else this._fill(kids, th, th.children(calls[0]), depth + 1);
    }
    return kids;
  }

  // Opens the rows down to a call and selects its row.
  reveal(th, i) {
    const chain = [];
    for (let j = i; j >= 0; j = th.parent[j]) chain.unshift(j);
    const titleIndex = this.model.threads.indexOf(th);
    let box = this.container.querySelectorAll(":scope > .children")[titleIndex];
    let row = null;
    for (let level = 0; level < chain.length && box; level++) {
      const target = chain[level];
      row = this._findRow(box, th, target);
      if (!row) return;
      if (row.sarv.calls.length > 1) {
        // A fold of several calls: its own rows hold the one we want.
        const kids = this.toggle(row, true);
        row = this._findRow(kids, th, target);
        if (!row) return;
      }
      if (level < chain.length - 1) box = this.toggle(row, true);
    }
    if (row) this._mark(row);
  }

  _findRow(box, th, target) {
    for (;;) {
      for (const wrap of box.children) {
        const row = wrap.firstChild;
        if (row && row.sarv && row.sarv.calls.includes(target)) return row;
      }
      const more = box.lastChild;
      if (!more || !more.classList || !more.classList.contains("more")) return null;
      more.click(); // the call is further down: show the next page
    }
  }

  // Arrows move through the shown rows (opening each call), right and left
  // open and close a row or go to its first child or its parent, Enter
  // opens or closes.
  _key(e) {
    const rows = [...this.container.querySelectorAll(".row")].filter((r) => r.offsetParent !== null);
    if (!rows.length) return;
    const at = rows.indexOf(this.selectedRow);
    const row = at >= 0 ? rows[at] : null;
    let next = null;
    if (e.key === "ArrowDown") next = rows[Math.min(at + 1, rows.length - 1)];
    else if (e.key === "ArrowUp") next = rows[Math.max(at - 1, 0)];
    else if (e.key === "ArrowRight" && row && row.sarv) {
      if (row.firstChild.textContent && !row.classList.contains("open")) this.toggle(row, true);
      else next = rows[at + 1] && rows[at + 1].sarv && rows[at + 1].sarv.depth > row.sarv.depth ? rows[at + 1] : null;
    } else if (e.key === "ArrowLeft" && row && row.sarv) {
      if (row.classList.contains("open")) this.toggle(row, false);
      else next = rows.slice(0, at).reverse().find((r) => r.sarv && r.sarv.depth < row.sarv.depth) || null;
    } else if (e.key === "Enter" && row) {
      if (row.sarv) this.toggle(row);
      else row.click();
    } else return;
    e.preventDefault();
    if (!next || next === row) return;
    if (!next.sarv) { this._mark(next); return; } // "… more": Enter shows them
    this._mark(next);
    this.onSelect(next.sarv.th, next.sarv.calls[0], "tree");
  }

  _mark(row) {
    if (this.selectedRow) this.selectedRow.classList.remove("selected");
    this.selectedRow = row;
    row.classList.add("selected");
    row.scrollIntoView({ block: "nearest" });
  }

  setHighlight(mask) {
    this.highlight = mask;
    for (const row of this.container.querySelectorAll(".row[data-fn]")) {
      row.classList.toggle("hl", !!(mask && mask[+row.dataset.fn]));
    }
  }
}
