"use strict";
// The hot functions: calls, total, self, mean and max time per function,
// sortable by any column; clicking a function highlights its calls.

const HOT_ROWS = 300;

class HotList {
  constructor(model, container, onPick) {
    this.model = model;
    this.container = container;
    this.onPick = onPick;
    this.sortKey = "self";
    this.picked = null;
    this.render();
  }

  render() {
    const columns = [
      ["name", "Function"], ["calls", "Calls"], ["total", "Total"], ["self", "Self"], ["mean", "Mean"], ["max", "Max"],
    ];
    const key = this.sortKey;
    const rows = this.model.functions.filter((f) => f.calls > 0);
    rows.sort(key === "name" ? (a, b) => a.name.localeCompare(b.name) : (a, b) => b[key] - a[key]);
    const head = el("tr", {}, ...columns.map(([k, label]) => el("th", {
      class: k === key ? "sorted" : null, title: "Sort by " + label.toLowerCase(),
      onclick: () => { this.sortKey = k; this.render(); },
    }, label)));
    const body = el("tbody");
    for (const f of rows.slice(0, HOT_ROWS)) {
      const tr = el("tr", { class: f.index === this.picked ? "picked" : null, "data-fn": f.index },
        el("td", { class: "fn" }, el("div", { class: "name", text: f.name }), el("div", { class: "where", text: Format.place(f.file, f.line) })),
        el("td", { class: "num", text: f.calls.toLocaleString("en-US") }),
        el("td", { class: "num", text: Format.duration(f.total) }),
        el("td", { class: "num", text: Format.duration(f.self) }),
        el("td", { class: "num", text: Format.duration(f.mean) }),
        el("td", { class: "num", text: Format.duration(f.max) }));
      tr.addEventListener("click", () => this.pick(this.picked === f.index ? null : f.index));
      body.append(tr);
    }
    const note = rows.length > HOT_ROWS ? el("p", { class: "muted", text: "The " + HOT_ROWS + " first of " + rows.length + " functions." }) : null;
    this.container.replaceChildren(
      el("p", { class: "muted", text: "Total counts time inside the function once, even when it calls itself; self leaves out the calls it made. Click a function to highlight its calls." }),
      el("table", { class: "hot" }, el("thead", {}, head), body), ...(note ? [note] : []));
  }

  pick(index) {
    this.picked = index;
    for (const tr of this.container.querySelectorAll("tbody tr")) tr.classList.toggle("picked", +tr.dataset.fn === index);
    this.onPick(index);
  }
}
