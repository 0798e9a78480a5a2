"use strict";
// The page's data as Python wrote it: base64 of zlib streams, inflated by the
// browser's own DecompressionStream, and values packed as MessagePack. A value
// is decoded into the JSON form of `sarv export` (bytes as {"__bytes__":
// base64}, a key that is not text as its JSON text, "~2" on a key seen before,
// NaN and the infinities as {"__float__": ...}, other extension values as
// {"__ext__": code, "data": base64}), so the panels read what they always read.

const Codec = {
  utf8: new TextDecoder("utf-8"),

  bytes(base64) {
    const text = atob(base64);
    const out = new Uint8Array(text.length);
    for (let i = 0; i < text.length; i++) out[i] = text.charCodeAt(i);
    return out;
  },

  base64(bytes) {
    let text = "";
    for (let i = 0; i < bytes.length; i += 0x8000) text += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
    return btoa(text);
  },

  async inflate(base64) {
    const stream = new Blob([Codec.bytes(base64)]).stream().pipeThrough(new DecompressionStream("deflate"));
    return new Uint8Array(await new Response(stream).arrayBuffer());
  },

  async json(base64) {
    return JSON.parse(Codec.utf8.decode(await Codec.inflate(base64)));
  },

  // A float as Python's repr writes it (a key 1.5 is "1.5", 1.0 is "1.0", 1e16 is "1e+16").
  pyFloat(x) {
    const [mantissa, exponent] = x.toExponential().split("e"); // the shortest digits that read back as x
    const e = +exponent;
    const digits = mantissa.replace("-", "").replace(".", "");
    const sign = x < 0 || Object.is(x, -0) ? "-" : "";
    if (e >= -4 && e < 16) {
      if (e < 0) return sign + "0." + "0".repeat(-e - 1) + digits;
      return sign + digits.slice(0, e + 1).padEnd(e + 1, "0") + "." + (digits.slice(e + 1) || "0");
    }
    const head = digits.length > 1 ? digits[0] + "." + digits.slice(1) : digits;
    return sign + head + "e" + (e < 0 ? "-" : "+") + String(Math.abs(e)).padStart(2, "0");
  },

  nonFinite(x) {
    return Number.isNaN(x) ? "nan" : x > 0 ? "inf" : "-inf";
  },

  // An own entry even for "__proto__", which plain assignment would take as the prototype.
  put(object, key, value) {
    if (key === "__proto__") Object.defineProperty(object, key, { value, writable: true, enumerable: true, configurable: true });
    else object[key] = value;
  },
};

class Unpacker {
  constructor(bytes) {
    this.b = bytes;
    this.at = 0;
    this.view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  }

  _need(n) {
    if (this.at + n > this.b.length) throw new Error("the values end early");
  }

  u(n) {
    this._need(n);
    const v = this.view, at = this.at;
    this.at += n;
    if (n === 1) return v.getUint8(at);
    if (n === 2) return v.getUint16(at);
    return v.getUint32(at);
  }

  _float(size) {
    this._need(size);
    const x = size === 4 ? this.view.getFloat32(this.at) : this.view.getFloat64(this.at);
    this.at += size;
    return x;
  }

  _int64(signed) {
    this._need(8);
    const x = signed ? this.view.getBigInt64(this.at) : this.view.getBigUint64(this.at);
    this.at += 8;
    return Number(x); // as JSON.parse reads it: exact up to 2**53
  }

  _take(n) {
    this._need(n);
    const out = this.b.subarray(this.at, this.at + n);
    this.at += n;
    return out;
  }

  _str(n) {
    const bytes = this._take(n);
    if (n < 48) {
      let text = "";
      for (let i = 0; i < n; i++) {
        const c = bytes[i];
        if (c > 127) return Codec.utf8.decode(bytes);
        text += String.fromCharCode(c);
      }
      return text;
    }
    return Codec.utf8.decode(bytes);
  }

  _ext(n) {
    this._need(1);
    const code = this.view.getInt8(this.at++);
    return { __ext__: code, data: Codec.base64(this._take(n)) };
  }

  _array(n) {
    const out = new Array(n);
    for (let i = 0; i < n; i++) out[i] = this.value();
    return out;
  }

  _map(n) {
    const out = {};
    for (let i = 0; i < n; i++) {
      let key = this._key();
      const value = this.value();
      if (Object.prototype.hasOwnProperty.call(out, key)) {
        let k = 2;
        while (Object.prototype.hasOwnProperty.call(out, key + "~" + k)) k++;
        key = key + "~" + k;
      }
      Codec.put(out, key, value);
    }
    return out;
  }

  // A map's key as text, as the export writes it.
  _key() {
    this._need(1);
    const c = this.b[this.at];
    if (c === 0xca || c === 0xcb) {
      this.at++;
      const x = this._float(c === 0xca ? 4 : 8);
      return Number.isFinite(x) ? Codec.pyFloat(x) : Codec.nonFinite(x);
    }
    const key = this.value();
    if (typeof key === "string") return key;
    if (key === null) return "null";
    if (typeof key === "boolean" || typeof key === "number") return String(key);
    if (key.__bytes__ !== undefined) return "__bytes__:" + key.__bytes__;
    if (key.__ext__ !== undefined) return "__ext__:" + key.__ext__ + ":" + key.data;
    return JSON.stringify(key);
  }

  value() {
    this._need(1);
    const c = this.b[this.at++];
    if (c < 0x80) return c;
    if (c < 0x90) return this._map(c & 15);
    if (c < 0xa0) return this._array(c & 15);
    if (c < 0xc0) return this._str(c & 31);
    if (c >= 0xe0) return c - 256;
    switch (c) {
      case 0xc0: return null;
      case 0xc2: return false;
      case 0xc3: return true;
      case 0xc4: case 0xc5: case 0xc6:
        return { __bytes__: Codec.base64(this._take(this.u(1 << (c - 0xc4)))) };
      case 0xc7: case 0xc8: case 0xc9:
        return this._ext(this.u(1 << (c - 0xc7)));
      case 0xca: case 0xcb: {
        const x = this._float(c === 0xca ? 4 : 8);
        return Number.isFinite(x) ? x : { __float__: Codec.nonFinite(x) };
      }
      case 0xcc: return this.u(1);
      case 0xcd: return this.u(2);
      case 0xce: return this.u(4);
      case 0xcf: return this._int64(false);
      case 0xd0: this._need(1); return this.view.getInt8(this.at++);
      case 0xd1: this._need(2); this.at += 2; return this.view.getInt16(this.at - 2);
      case 0xd2: this._need(4); this.at += 4; return this.view.getInt32(this.at - 4);
      case 0xd3: return this._int64(true);
      case 0xd4: case 0xd5: case 0xd6: case 0xd7: case 0xd8:
        return this._ext(1 << (c - 0xd4));
      case 0xd9: case 0xda: case 0xdb:
        return this._str(this.u(1 << (c - 0xd9)));
      case 0xdc: return this._array(this.u(2));
      case 0xdd: return this._array(this.u(4));
      case 0xde: return this._map(this.u(2));
      case 0xdf: return this._map(this.u(4));
    }
    throw new Error("not MessagePack: 0x" + c.toString(16));
  }

  // Past one value without making it: how a chunk's values are found.
  skip() {
    let left = 1;
    while (left > 0) {
      left--;
      this._need(1);
      const c = this.b[this.at++];
      if (c < 0x80 || c >= 0xe0 || c === 0xc0 || c === 0xc2 || c === 0xc3) continue;
      if (c < 0x90) { left += 2 * (c & 15); continue; }
      if (c < 0xa0) { left += c & 15; continue; }
      if (c < 0xc0) { this.at += c & 31; continue; }
      let n = 0; // bytes to pass
      switch (c) {
        case 0xc4: case 0xd9: n = this.u(1); break;
        case 0xc5: case 0xda: n = this.u(2); break;
        case 0xc6: case 0xdb: n = this.u(4); break;
        case 0xc7: n = this.u(1) + 1; break;
        case 0xc8: n = this.u(2) + 1; break;
        case 0xc9: n = this.u(4) + 1; break;
        case 0xcc: case 0xd0: n = 1; break;
        case 0xcd: case 0xd1: n = 2; break;
        case 0xca: case 0xce: case 0xd2: n = 4; break;
        case 0xcb: case 0xcf: case 0xd3: n = 8; break;
        case 0xd4: case 0xd5: case 0xd6: case 0xd7: case 0xd8: n = 1 + (1 << (c - 0xd4)); break;
        case 0xdc: left += this.u(2); break;
        case 0xdd: left += this.u(4); break;
        case 0xde: left += 2 * this.u(2); break;
        case 0xdf: left += 2 * this.u(4); break;
        default: throw new Error("not MessagePack: 0x" + c.toString(16));
      }
      this.at += n; // after u() has moved past the length
    }
    if (this.at > this.b.length) throw new Error("the values end early");
  }
}

// The values of the calls and plugin records, by number: each chunk is
// inflated when one of its values is first asked for (a few are kept), and
// only the value asked for is decoded.
class Values {
  constructor(raw, text) {
    this.count = raw ? raw.count : 0;
    this.chunks = raw ? raw.chunks : []; // [first number, count]
    this.texts = text ? text.split("\n") : [];
    this._open = new Map(); // chunk -> promise of { bytes, offsets }
    this._search = new Map(); // chunk -> { text, starts }: its values' lowercase JSON, a line each
  }

  chunkOf(n) {
    let lo = 0, hi = this.chunks.length - 1;
    while (lo < hi) { const mid = (lo + hi + 1) >> 1; if (this.chunks[mid][0] <= n) lo = mid; else hi = mid - 1; }
    return lo;
  }

  _chunk(c) {
    let found = this._open.get(c);
    if (found) {
      this._open.delete(c);
      this._open.set(c, found); // the most recent last
      return found;
    }
    const count = this.chunks[c][1];
    found = Codec.inflate(this.texts[c]).then((bytes) => {
      const offsets = new Int32Array(count + 1);
      const reader = new Unpacker(bytes);
      for (let k = 0; k < count; k++) { offsets[k] = reader.at; reader.skip(); }
      offsets[count] = reader.at;
      return { bytes, offsets };
    });
    this._open.set(c, found);
    if (this._open.size > 8) this._open.delete(this._open.keys().next().value);
    return found;
  }

  // The value of number n ({} when the page has none).
  async get(n) {
    if (!(n >= 0 && n < this.count) || !this.texts.length) return {};
    const c = this.chunkOf(n);
    const { bytes, offsets } = await this._chunk(c);
    const k = n - this.chunks[c][0];
    return new Unpacker(bytes.subarray(offsets[k], offsets[k + 1])).value();
  }

  // A chunk's values as text to search ({ text, starts }: where each value
  // begins), made once.
  async searchText(c) {
    let found = this._search.get(c);
    if (found) return found;
    found = new SearchText(await Codec.inflate(this.texts[c])).values(this.chunks[c][1]);
    this._search.set(c, found);
    return found;
  }
}

// The text a search looks through: the values' texts, keys and numbers as
// they are written in Python, each followed by a NUL, with ASCII letters in
// lowercase; a character stays its UTF-8 bytes, one character of text each
// (so that no value is decoded into objects to be searched).
class SearchText {
  constructor(bytes) {
    this.b = bytes;
    this.at = 0;
    this.view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    this.out = new Uint8Array(bytes.length + 4096);
    this.n = 0;
  }

  static decoder = new TextDecoder("latin1");

  // The query as the same text: lowercase, as UTF-8 bytes a character each.
  static needle(query) {
    return SearchText.decoder.decode(new TextEncoder().encode(query.toLowerCase()));
  }

  _room(n) {
    if (this.n + n <= this.out.length) return;
    const bigger = new Uint8Array(Math.max(this.out.length * 2, this.n + n));
    bigger.set(this.out.subarray(0, this.n));
    this.out = bigger;
  }

  _word(text) {
    this._room(text.length + 1);
    for (let i = 0; i < text.length; i++) this.out[this.n++] = text.charCodeAt(i);
    this.out[this.n++] = 0;
  }

  _bytes(n, lower) {
    if (this.at + n > this.b.length) throw new Error("the values end early");
    this._room(n + 1);
    const b = this.b, out = this.out;
    let k = this.n;
    for (let i = this.at, stop = this.at + n; i < stop; i++) {
      const c = b[i];
      out[k++] = lower && c >= 65 && c <= 90 ? c + 32 : c;
    }
    out[k++] = 0;
    this.n = k;
    this.at += n;
  }

  // A number as Python writes it: 0xca and 0xcb are floats, the others ints.
  _number(reader, c) {
    reader.at = this.at;
    const value = reader.value();
    this.at = reader.at;
    if (typeof value !== "number") this._word(value.__float__);
    else this._word(c === 0xca || c === 0xcb ? Codec.pyFloat(value) : String(value));
  }

  values(count) {
    const starts = new Int32Array(count);
    const reader = new Unpacker(this.b);
    for (let k = 0; k < count; k++) {
      starts[k] = this.n;
      let left = 1;
      while (left > 0) {
        left--;
        if (this.at >= this.b.length) throw new Error("the values end early");
        const c = this.b[this.at];
        if (c < 0x80) { this.at++; this._word(String(c)); continue; }
        if (c >= 0xe0) { this.at++; this._word(String(c - 256)); continue; }
        if (c < 0x90) { this.at++; left += 2 * (c & 15); continue; }
        if (c < 0xa0) { this.at++; left += c & 15; continue; }
        if (c < 0xc0) { this.at++; this._bytes(c & 31, true); continue; }
        if (c === 0xc0) { this.at++; this._word("none"); continue; }
        if (c === 0xc2 || c === 0xc3) { this.at++; this._word(c === 0xc3 ? "true" : "false"); continue; }
        if (c >= 0xd9 && c <= 0xdb) { this.at++; reader.at = this.at; const n = reader.u(1 << (c - 0xd9)); this.at = reader.at; this._bytes(n, true); continue; }
        if (c >= 0xdc && c <= 0xdf) {
          this.at++;
          reader.at = this.at;
          const n = reader.u(c === 0xdc || c === 0xde ? 2 : 4);
          this.at = reader.at;
          left += c >= 0xde ? 2 * n : n;
          continue;
        }
        if (c >= 0xca && c <= 0xd3) { this._number(reader, c); continue; }
        // Bytes and extension values: the text the panel shows of them.
        reader.at = this.at;
        const value = reader.value();
        this.at = reader.at;
        this._word(value.__bytes__ !== undefined ? value.__bytes__ : "");
      }
    }
    const text = SearchText.decoder.decode(this.out.subarray(0, this.n));
    return { text, starts };
  }
}
