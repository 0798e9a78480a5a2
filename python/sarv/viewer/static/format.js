"use strict";
// Texts of durations, times and recorded values. Values are only ever put
// into the page as text nodes: a trace is data, never markup.

const Format = {
  // ns -> "530 µs", "1.25 ms", "2.300 s"
  duration(ns) {
    if (ns < 1000) return ns.toFixed(0) + " ns";
    if (ns < 1e6) return (ns / 1e3).toFixed(ns < 1e4 ? 2 : ns < 1e5 ? 1 : 0) + " µs";
    if (ns < 1e9) return (ns / 1e6).toFixed(ns < 1e7 ? 2 : 1) + " ms";
    return (ns / 1e9).toFixed(3) + " s";
  },

  // A ruler's time: in the unit of the largest time shown (`top`), with as
  // many decimals as its step needs to tell ticks apart.
  tick(ns, step, top) {
    const units = [[1e9, "s"], [1e6, "ms"], [1e3, "µs"], [1, "ns"]];
    const [size, unit] = units.find(([size]) => top >= size) || units[units.length - 1];
    const places = Math.max(0, Math.ceil(-Math.log10(step / size) - 1e-9));
    return (ns / size).toFixed(Math.min(places, 9)) + " " + unit;
  },

  plural(n, word) {
    return n.toLocaleString("en-US") + " " + word + (n === 1 ? "" : "s");
  },

  // "file:line", or the file alone where the line is not known.
  place(file, line) {
    return line > 0 ? file + ":" + line : file;
  },

  // A duration that may be a lower bound.
  span(ns, lowerBound) {
    return (lowerBound ? "at least " : "") + Format.duration(ns);
  },

  localTime(seconds) {
    if (typeof seconds !== "number") return "?";
    const d = new Date(seconds * 1000);
    const pad = (n) => String(n).padStart(2, "0");
    return d.getFullYear() + "-" + pad(d.getMonth() + 1) + "-" + pad(d.getDate()) + " " +
      pad(d.getHours()) + ":" + pad(d.getMinutes()) + ":" + pad(d.getSeconds());
  },

  shortClass(name) {
    const i = name.lastIndexOf(".");
    return i >= 0 && i < name.length - 1 ? name.slice(i + 1) : name;
  },

  // One-line text of a value as the trace holds it (the JSON form of the
  // export: {"__class__": ...} objects, {"__bytes__": base64}, ...), cut
  // after about `budget` characters.
  value(v, budget = 200) {
    const out = [];
    const state = { left: budget };
    Format._value(v, out, state);
    return out.join("");
  },

  _value(v, out, state) {
    if (state.left <= 0) { out.push("…"); return; }
    let text;
    if (v === null || v === undefined) text = "None";
    else if (v === true) text = "True";
    else if (v === false) text = "False";
    else if (typeof v === "number") text = String(v);
    else if (typeof v === "string") text = Format.quote(v);
    else if (Array.isArray(v)) {
      out.push("[");
      state.left -= 1;
      for (let i = 0; i < v.length; i++) {
        if (i) out.push(", ");
        if (state.left <= 0) { out.push("…"); break; }
        Format._value(v[i], out, state);
      }
      out.push("]");
      return;
    } else if (typeof v === "object") {
      const keys = Object.keys(v);
      if (keys.length === 1 && keys[0] === "__bytes__") text = "b64'" + v.__bytes__ + "'";
      else if (keys.length === 1 && keys[0] === "__float__") text = v.__float__;
      else {
        const cls = typeof v.__class__ === "string" ? v.__class__ : null;
        out.push(cls ? Format.shortClass(cls) + "(" : "{");
        state.left -= 1;
        let first = true;
        for (const k of keys) {
          if (cls && k === "__class__") continue;
          if (!first) out.push(", ");
          first = false;
          if (state.left <= 0) { out.push("…"); break; }
          const label = cls ? k + "=" : Format.quote(k) + ": ";
          out.push(label);
          state.left -= label.length;
          Format._value(v[k], out, state);
        }
        out.push(cls ? ")" : "}");
        return;
      }
    } else text = String(v);
    if (text.length > Math.max(state.left, 8)) text = text.slice(0, Math.max(state.left, 8)) + "…";
    state.left -= text.length;
    out.push(text);
  },

  quote(s) {
    return "'" + s.replace(/\\/g, "\\\\").replace(/'/g, "\\'").replace(/\n/g, "\\n") + "'";
  },
};

// A DOM element with text content and optional attributes: the only way the
// viewer makes elements from trace data.
function el(tag, attrs, ...children) {
  const node = document.createElement(tag);
  if (attrs) {
    for (const [k, v] of Object.entries(attrs)) {
      if (v === undefined || v === null || v === false) continue;
      if (k === "class") node.className = v;
      else if (k === "text") node.textContent = v;
      else if (k.startsWith("on")) node.addEventListener(k.slice(2), v);
      else node.setAttribute(k, v === true ? "" : v);
    }
  }
  for (const child of children) {
    if (child === null || child === undefined) continue;
    node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return node;
}
