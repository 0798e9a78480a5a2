"use strict";
// The diff page: the aligned calls of two runs as one tree (each row a call of
// both runs, or of one), the differences marked, the first one opened. Uses
// Format and el() of the trace viewer's format.js; trace data only ever
// becomes text nodes.

const DiffPage = {
  init() {
    this.data = JSON.parse(document.getElementById("sarv-diff").textContent);
    this.rowOf = []; // difference number -> its row element
    this.current = -1;
    this.header();
    this.tree();
    this.times();
    document.getElementById("next").addEventListener("click", () => this.show(this.current + 1));
    document.getElementById("previous").addEventListener("click", () => this.show(this.current - 1));
    if (this.data.differences.length) this.show(0);
    else this.position();
    document.body.dataset.state = "ready";
  },

  header() {
    const d = this.data;
    const runs = document.getElementById("runs");
    for (const [name, side] of [["A", d.a], ["B", d.b]]) {
      const parts = [side.trace_id || "(document)"];
      if (side.test) parts.push(side.test);
      else if (side.command) parts.push(side.command);
      parts.push(side.records.toLocaleString("en-US") + " records");
      const dd = el("dd", null, parts.join(" · "));
      if (side.outcome) dd.append(" · ", el("span", { class: side.outcome, text: side.outcome }));
      runs.append(el("dt", { text: "run " + name }), dd);
    }
    const verdict = document.getElementById("verdict");
    if (d.same) {
      verdict.className = "same";
      verdict.textContent = "The runs went the same way.";
    } else {
      verdict.className = "differ";
      verdict.textContent = Format.plural(d.count, "difference") + ": calls added " + d.added +
        ", removed " + d.removed + ", changed " + d.changed;
    }
    for (const note of d.notes) runs.append(el("dt", { text: "note" }), el("dd", { text: note }));
  },

  tree() {
    const tree = document.getElementById("tree");
    for (const thread of this.data.threads) {
      const only = thread.only ? " (run " + thread.only.toUpperCase() + " only)" : "";
      tree.append(el("div", { class: "thread-title", text: "thread " + thread.name + only }));
      const box = el("div", { role: "group" });
      this.rows(box, thread.rows, 0);
      tree.append(box);
    }
    if (this.data.cut) tree.append(el("p", { class: "empty", text: "… more calls than a page holds" }));
  },

  rows(box, rows, depth) {
    for (const row of rows) {
      if (row.fold !== undefined) {
        box.append(el("div", { class: "row fold", style: "padding-left:" + (depth * 16 + 20) + "px" },
          "… " + Format.plural(row.fold, "call") + " that went the same way"));
        continue;
      }
      const hasKids = !!(row.kids && row.kids.length);
      const toggle = el("span", { class: "toggle", text: hasKids ? (row.open ? "▾" : "▸") : "" });
      const label = el("span", { class: "label" }, toggle, el("span", { class: "name", text: row.name }));
      if (row.where) label.append(el("span", { class: "where", text: row.where }));
      if (row.below) label.append(el("span", { class: "below", text: "+" + row.below.toLocaleString("en-US") + " inside" }));
      for (const mark of row.marks) label.append(" ", el("span", { class: "marker", text: "#" + (mark + 1) }));
      const time = (t) => el("span", { class: "time", text: t === null || t === undefined ? "" : Format.duration(t * 1e9) });
      const line = el("div", {
        class: "row " + row.state,
        role: "treeitem",
        style: "padding-left:" + (depth * 16 + 4) + "px",
        title: DiffPage.stateText(row),
      }, label, time(row.time[0]), time(row.time[1]));
      box.append(line);
      let kidsBox = null;
      if (hasKids) {
        kidsBox = el("div", { role: "group" });
        this.rows(kidsBox, row.kids, depth + 1);
        kidsBox.hidden = !row.open;
        box.append(kidsBox);
      }
      line.addEventListener("click", () => {
        if (kidsBox) {
          kidsBox.hidden = !kidsBox.hidden;
          toggle.textContent = kidsBox.hidden ? "▸" : "▾";
        }
        if (row.marks.length) this.show(row.marks[0]);
        else this.describe(row, line);
      });
      for (const mark of row.marks) if (!this.rowOf[mark]) this.rowOf[mark] = line;
    }
  },

  stateText(row) {
    return {
      same: "went the same way in both runs",
      inner: "the same call, with calls inside it that went differently",
      changed: "went differently",
      "only-a": "made in run A only",
      "only-b": "made in run B only",
    }[row.state] || "";
  },

  select(line) {
    for (const old of document.querySelectorAll("#tree .row.selected")) old.classList.remove("selected");
    if (!line) return;
    line.classList.add("selected");
    // Open the groups it is in, then bring it into view.
    for (let group = line.parentElement; group && group.id !== "tree"; group = group.parentElement) {
      if (group.hidden) {
        group.hidden = false;
        const toggle = group.previousElementSibling && group.previousElementSibling.querySelector(".toggle");
        if (toggle) toggle.textContent = "▾";
      }
    }
    line.scrollIntoView({ block: "center" });
  },

  position() {
    const n = this.data.differences.length;
    document.getElementById("position").textContent = n ? (this.current + 1) + " of " + n +
      (this.data.more ? " shown (" + this.data.count.toLocaleString("en-US") + " in all)" : "") : "";
  },

  describe(row, line) {
    this.select(line);
    const detail = document.getElementById("detail");
    detail.replaceChildren(
      el("h2", { text: row.name }),
      el("p", { class: "chain", text: row.where || "" }),
      el("p", { text: "This call " + DiffPage.stateText(row) + "." }),
    );
  },

  show(n) {
    const list = this.data.differences;
    if (n < 0 || n >= list.length) return;
    this.current = n;
    this.position();
    const d = list[n];
    this.select(this.rowOf[n]);
    const detail = document.getElementById("detail");
    detail.dataset.difference = String(n);
    // A recursion's run of one name is said once: "walk ×400".
    const runs = [];
    for (const name of d.callers.concat([d.function])) {
      if (runs.length && runs[runs.length - 1][0] === name) runs[runs.length - 1][1]++;
      else runs.push([name, 1]);
    }
    const chain = runs.map(([name, n]) => (n > 1 ? name + " ×" + n : name)).join(" › ");
    const parts = [
      el("h2", { text: (n === 0 ? "First difference: " : "") + d.text }),
      el("p", { class: "chain", text: chain + (d.where ? "  (" + d.where + ")" : "") + (d.thread && d.thread !== "MainThread" ? " · thread " + d.thread : "") }),
    ];
    if (d.changes.length) {
      const table = el("table", { class: "changes" },
        el("tr", null, el("th", { text: "where" }), el("th", { text: "run A" }), el("th", { text: "run B" })));
      for (const c of d.changes) {
        table.append(el("tr", null,
          el("td", { class: "path", text: c.path }),
          el("td", { class: "value a", text: DiffPage.text(c.a) }),
          el("td", { class: "value b", text: DiffPage.text(c.b) })));
      }
      parts.push(el("h3", { text: "Values that differ" }), table);
    }
    for (const [name, records] of [["A", d.a], ["B", d.b]]) {
      if (!records) continue;
      parts.push(el("h3", { text: "Run " + name }));
      parts.push(DiffPage.call(records[0], records[1]));
    }
    detail.replaceChildren(...parts);
  },

  text(change) {
    return change.absent ? "(absent)" : Format.value(change.value, 400);
  },

  // A call's arguments and how it ended, from its records.
  call(call, ret) {
    const table = el("table", { class: "values" });
    const add = (label, value) => table.append(el("tr", null, el("th", { text: label }), el("td", { class: "value", text: value })));
    if (call && call.locals && typeof call.locals === "object") {
      for (const [k, v] of Object.entries(call.locals)) add(k, Format.value(v, 300));
    }
    if (call && call.type && call.type !== "frame") {
      for (const [k, v] of Object.entries(call)) if (k !== "type") add(k, Format.value(v, 300));
    }
    if (ret) {
      if (ret.end === "raised") add("raised", ret.exception ? Format.value(ret.exception, 300) : "an exception");
      else add(ret.end && ret.end !== "returned" ? ret.end : "returned", Format.value(ret.arg, 300));
    }
    return table;
  },

  times() {
    const box = document.getElementById("times");
    const table = el("table", null, el("tr", null,
      el("th", { text: "function" }), el("th", { text: "A" }), el("th", { text: "B" }),
      el("th", { text: "calls A" }), el("th", { text: "calls B" }), el("th", { text: "+ / − / ~" })));
    for (const f of this.data.functions) {
      table.append(el("tr", null,
        el("td", { text: f.name }),
        el("td", { class: "num", text: Format.duration(f.seconds[0] * 1e9) }),
        el("td", { class: "num", text: Format.duration(f.seconds[1] * 1e9) }),
        el("td", { class: "num", text: f.calls[0].toLocaleString("en-US") }),
        el("td", { class: "num", text: f.calls[1].toLocaleString("en-US") }),
        el("td", { class: "num", text: f.added + " / " + f.removed + " / " + f.changed })));
    }
    box.append(table);
  },
};

window.sarvDiff = DiffPage;
DiffPage.init();
