"use strict";
// The hot functions: calls, total, self, mean and max time per function,
// sortable by any column; clicking a function highlights its calls. Calls
// the trace left out are counted in, and their rows say how many.

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
      const unknown = f.leftOut > 0 && f.leftTime === null; // calls left out whose time the trace does not give
      const tr = el("tr", { class: [f.index === this.picked ? "picked" : "", f.leftOut ? "partial" : ""].join(" ").trim() || null, "data-fn": f.index },
        el("td", { class: "fn" }, el("div", { class: "name", text: f.name }), el("div", { class: "where", text: Format.place(f.file, f.line) }),
          f.leftOut ? el("div", { class: "left-out", text: HotList.leftOutText(f) }) : null),
        el("td", { class: "num", text: f.calls.toLocaleString("en-US") }),
        el("td", { class: "num", text: HotList.time(f, f.total) }),
        el("td", { class: "num", text: Format.duration(f.self) }),
        el("td", { class: "num", text: unknown ? "?" : Format.duration(f.mean) }),
        el("td", { class: "num", text: HotList.time(f, f.max) }));
      tr.addEventListener("click", () => this.pick(this.picked === f.index ? null : f.index));
      body.append(tr);
    }
    const note = rows.length > HOT_ROWS ? el("p", { class: "muted", text: "The " + HOT_ROWS + " first of " + rows.length + " functions." }) : null;
    const leftOut = this.model.header.left_out ? el("p", { class: "muted", text: "Calls the trace left out are counted in calls, total, mean and max, with the time the trace gives for them (each call with its callees); self is of the recorded calls only." }) : null;
    this.container.replaceChildren(
      el("p", { class: "muted", text: "Total counts time inside the function once, even when it calls itself; self leaves out the calls it made. Click a function to highlight its calls." }),
      ...(leftOut ? [leftOut] : []),
      el("table", { class: "hot" }, el("thead", {}, head), body), ...(note ? [note] : []));
  }

  // A time that leaves out calls whose time is not known: a lower bound.
  static time(f, ns) {
    if (!(f.leftOut > 0 && f.leftTime === null)) return Format.duration(ns);
    return f.recorded ? "at least " + Format.duration(ns) : "?";
  }

  // "1,200 of its calls not recorded (3 raised)", "... their time not known".
  static leftOutText(f) {
    let text = f.leftOut.toLocaleString("en-US") + " of its calls not recorded";
    if (f.leftRaised) text += " (" + f.leftRaised.toLocaleString("en-US") + " raised)";
    if (f.leftTime === null) text += ", their time not known";
    return text;
  }

    pick(index) {
    this.picked = index;
    for (const tr of this.container.querySelectorAll("tbody tr")) tr.classList.toggle("picked", +tr.dataset.fn === index);
    this.onPick(index);
  }
}
