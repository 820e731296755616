// KLPasswordSDK in the browser: the checks, the strength estimate and the
// generator of the C++ library, compiled to WebAssembly. The verdict is the
// library's own JSON (the line `klpass check --json` prints), so a form and its
// server judge a password alike.
//
//   import { check, generate, passphrase } from './klpassword/klpassword.js';
//   check('Tr0ub4dor&3', { policy: 'nist', user: 'alice' });
//   generate({ length: 20, count: 3 });  passphrase({ words: 5 });
//
// Passwords cross into the module's memory in buffers that are wiped before
// they are released; JavaScript's own strings cannot be wiped.
import createKLPasswordCore from './klpassword-core.js';

const SETTINGS = 10; // klw_generate's settings, in KLWeb.cpp's order
const FLAG = {
  passphrase: 1, noUpper: 2, noLower: 4, noDigits: 8, noSymbols: 16, space: 32, custom: 64,
  noLookAlike: 128, each: 256, capitalize: 512, wordList: 1024,
};
const INSERT = { none: 0, digit: 1, symbol: 2 };

function text(value, name) {
  if (typeof value !== 'string') throw new TypeError(`${name} must be a string`);
  if (value.includes('\0')) throw new TypeError(`${name} must not hold a NUL character`);
  return value;
}

function whole(value, name, fallback) {
  if (value === undefined) return fallback;
  if (!Number.isInteger(value)) throw new TypeError(`${name} must be a whole number`);
  return Math.max(-1, Math.min(value, 0x7fffffff));
}

function words(list, name) {
  if (list === undefined) return [];
  if (!Array.isArray(list)) throw new TypeError(`${name} must be an array of strings`);
  return list.map((w, i) => text(w, `${name}[${i}]`));
}

class KLPassword {
  #core;

  constructor(core) {
    this.#core = core;
  }

  // Copies UTF-8 text (several strings NUL after NUL) into the module's heap.
  #put(strings) {
    const core = this.#core;
    const size = strings.reduce((n, s) => n + core.lengthBytesUTF8(s) + 1, 0) || 1;
    const at = core._malloc(size);
    if (!at) throw new Error('Out of memory');
    let p = at;
    for (const s of strings) {
      core.stringToUTF8(s, p, size - (p - at));
      p += core.lengthBytesUTF8(s) + 1;
    }
    return { at, size };
  }

  // Runs fn with the strings in the heap; every buffer is wiped and freed after.
  #with(groups, fn) {
    const held = [];
    try {
      for (const g of groups) held.push(this.#put(g));
      return fn(...held.map((h) => h.at));
    } finally {
      for (const h of held) this.#core._klw_free(h.at, h.size);
    }
  }

  #fail() {
    throw new Error(this.#core.UTF8ToString(this.#core._klw_last_error()));
  }

  check(password, options = {}) {
    text(password, 'password');
    const policy = options.policy ?? 'classic';
    if (policy !== 'classic' && policy !== 'nist') throw new RangeError(`unknown policy '${policy}'`);
    const user = text(options.user ?? '', 'user');
    const inputs = words(options.userInputs, 'userInputs');
    const flags = (policy === 'nist' ? 1 : 0) | (options.multiFactor ? 2 : 0);
    const minScore = whole(options.minScore, 'minScore', 0);
    const core = this.#core;
    return this.#with([[password], [user], inputs], (pw, us, ws) => {
      const out = core._klw_check(pw, flags, minScore, us, ws, inputs.length);
      if (!out) this.#fail();
      const size = core.HEAPU8.indexOf(0, out) - out + 1;
      try {
        return JSON.parse(core.UTF8ToString(out));
      } finally {
        core._klw_free(out, size);
      }
    });
  }

  #generate(settings, strings, count, wordList) {
    const core = this.#core;
    return this.#with([[strings.custom], [strings.exclude], [strings.separator], wordList], (cu, ex, se, wl) => {
      const block = core._malloc(SETTINGS * 4 + 8);
      if (!block) throw new Error('Out of memory');
      try {
        core.HEAP32.set(settings, block >> 2);
        const entropyAt = block + SETTINGS * 4;
        const out = core._klw_generate(block, cu, ex, se, wl, wordList.length, entropyAt);
        if (!out) this.#fail();
        const passwords = [];
        let p = out;
        for (let i = 0; i < count; ++i) {
          const end = core.HEAPU8.indexOf(0, p);
          passwords.push(core.UTF8ToString(p, end - p));
          p = end + 1;
        }
        core._klw_free(out, p - out);
        return { passwords, entropy: core.HEAPF64[entropyAt >> 3] };
      } finally {
        core._free(block);
      }
    });
  }

  #alphabet(options) {
    let flags = 0;
    if (options.upper === false) flags |= FLAG.noUpper;
    if (options.lower === false) flags |= FLAG.noLower;
    if (options.digits === false) flags |= FLAG.noDigits;
    if (options.symbols === false) flags |= FLAG.noSymbols;
    if (options.space) flags |= FLAG.space;
    if (options.custom !== undefined) flags |= FLAG.custom;
    if (options.noLookAlike) flags |= FLAG.noLookAlike;
    return flags;
  }

  generate(options = {}) {
    const length = options.length ?? 16;
    const [min, max] = Array.isArray(length) ? length : [length, length];
    const count = whole(options.count, 'count', 1);
    const settings = new Int32Array(SETTINGS);
    settings.set([whole(min, 'length', 16), whole(max, 'length', 16), count,
      this.#alphabet(options) | (options.each ? FLAG.each : 0),
      whole(options.minUpper, 'minUpper', 0), whole(options.minLower, 'minLower', 0),
      whole(options.minDigits, 'minDigits', 0), whole(options.minSymbols, 'minSymbols', 0), 6, 0]);
    const strings = { custom: text(options.custom ?? '', 'custom'), exclude: text(options.exclude ?? '', 'exclude'),
      separator: '' };
    return this.#generate(settings, strings, count, []).passwords;
  }

  passphrase(options = {}) {
    const count = whole(options.count, 'count', 1);
    const insert = options.insert ?? 'none';
    if (!(insert in INSERT)) throw new RangeError("insert must be 'none', 'digit' or 'symbol'");
    const list = words(options.wordList, 'wordList');
    const settings = new Int32Array(SETTINGS);
    settings.set([16, 16, count,
      FLAG.passphrase | this.#alphabet(options) | (options.capitalize ? FLAG.capitalize : 0) |
      (options.wordList !== undefined ? FLAG.wordList : 0),
      0, 0, 0, 0, whole(options.words, 'words', 6), INSERT[insert]]);
    const strings = { custom: text(options.custom ?? '', 'custom'), exclude: text(options.exclude ?? '', 'exclude'),
      separator: text(options.separator ?? '-', 'separator') };
    return this.#generate(settings, strings, count, list).passwords;
  }
}

// Node's fetch cannot read a file: URL, so under Node the .wasm beside this
// file is read from disk and handed to the core; a browser (or a worker)
// fetches it. The import is hidden from bundlers, which would otherwise try
// to bring node:fs into a page.
async function coreSettings() {
  const node = typeof process === 'object' && typeof process.versions?.node === 'string' &&
    typeof window === 'undefined' && typeof importScripts !== 'function';
  if (!node) return {};
  const { readFile } = await import(/* webpackIgnore: true */ 'node:fs/promises');
  return { wasmBinary: await readFile(new URL('./klpassword-core.wasm', import.meta.url)) };
}

// The module is ready when the import is: the .wasm beside this file is
// loaded and compiled while the module loads, and every call after is
// synchronous.
const instance = new KLPassword(await createKLPasswordCore(await coreSettings()));

// The verdict on password as klpass check --json gives it: ok, score,
// guesses_log10, guesses, crack_times_seconds, feedback, failures.
export function check(password, options) {
  return instance.check(password, options);
}
// Random passwords with the generator's options.
export function generate(options) {
  return instance.generate(options);
}
// Passphrases of words from the EFF long word list (or one's own).
export function passphrase(options) {
  return instance.passphrase(options);
}
