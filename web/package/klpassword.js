// KLPasswordSDK in the browser: the checks, the strength estimate and the
// generator of the C++ library, compiled to WebAssembly. The verdict is the
// library's own JSON (the line `klpass check --json` prints), so a form and its
// server judge a password alike.
//
//   import { check, generate, passphrase, loadLanguage } from './klpassword/klpassword.js';
//   check('Tr0ub4dor&3', { policy: 'nist', user: 'alice' });
//   await loadLanguage('de');  check('Schmetterling', { language: 'de' });
//   generate({ length: 20, count: 3 });  passphrase({ words: 5 });
//
// The estimator's language packs are files of their own (packs/), fetched the
// first time a language is asked for: a page in English never loads German.
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
const PROFILE = { zxcvbn: 0, 'zxcvbn-ts': 4 }; // klw_check's flag of each
const OPTIONS = {
  check: ['policy', 'user', 'userInputs', 'multiFactor', 'minScore', 'language', 'profile'],
  generate: ['length', 'count', 'upper', 'lower', 'digits', 'symbols', 'space', 'custom', 'exclude', 'noLookAlike',
    'each', 'minUpper', 'minLower', 'minDigits', 'minSymbols'],
  passphrase: ['words', 'separator', 'capitalize', 'insert', 'wordList', 'count', 'upper', 'lower', 'digits',
    'symbols', 'space', 'custom', 'exclude', 'noLookAlike'],
};

// An option the function does not know is refused rather than ignored: a
// misspelt one ('noSymbols' for symbols: false) would otherwise change nothing.
function known(options, fn) {
  if (options === null || typeof options !== 'object' || Array.isArray(options)) {
    throw new TypeError(`${fn}: the options must be an object`);
  }
  for (const name of Object.keys(options)) {
    if (!OPTIONS[fn].includes(name)) {
      throw new TypeError(`${fn}: unknown option '${name}' (known: ${OPTIONS[fn].join(', ')})`);
    }
  }
  return options;
}

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
  #languages;
  #loaded = new Set();

  constructor(core) {
    this.#core = core;
    this.#languages = this.#take(core._klw_languages()).split(',').filter((c) => c !== '');
  }

  // A string the core handed out, its buffer wiped and freed.
  #take(out) {
    const core = this.#core;
    if (!out) this.#fail();
    try {
      return core.UTF8ToString(out);
    } finally {
      core._klw_free(out, core.HEAPU8.indexOf(0, out) - out + 1);
    }
  }

  languages() {
    return [...this.#languages];
  }

  isLoaded(code) {
    return this.#loaded.has(code);
  }

  // Hands a pack file's bytes to the core; gives the code the pack names.
  addPack(bytes) {
    const core = this.#core;
    const at = core._malloc(bytes.length || 1);
    if (!at) throw new Error('Out of memory');
    core.HEAPU8.set(bytes, at);
    let code;
    try {
      code = this.#take(core._klw_load_pack(at, bytes.length));
    } finally {
      core._klw_free(at, bytes.length || 1);
    }
    this.#loaded.add(code);
    return code;
  }

  // The codes an estimate in language needs: the common pack, English, then its own.
  packsFor(language) {
    const codes = this.#codes(language);
    return [...new Set(['common', 'en', ...codes])];
  }

  #codes(language) {
    const list = Array.isArray(language) ? language : [language];
    if (list.length === 0) throw new RangeError('language: name at least one language');
    for (const code of list) {
      if (typeof code !== 'string' || !this.#languages.includes(code)) {
        throw new RangeError(`unknown language '${code}' (known: ${this.#languages.join(', ')})`);
      }
    }
    return list;
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
    known(options, 'check');
    const policy = options.policy ?? 'classic';
    if (policy !== 'classic' && policy !== 'nist') throw new RangeError(`unknown policy '${policy}'`);
    const user = text(options.user ?? '', 'user');
    const inputs = words(options.userInputs, 'userInputs');
    // As klpass's --lang: a language chooses the zxcvbn-ts profile, whose packs it adds.
    const languages = options.language === undefined ? [] : this.#codes(options.language);
    const profile = options.profile ?? (languages.length ? 'zxcvbn-ts' : 'zxcvbn');
    if (!(profile in PROFILE)) throw new RangeError(`unknown profile '${profile}' (zxcvbn or zxcvbn-ts)`);
    // Either profile takes its texts from the languages' packs; zxcvbn-ts needs their words too.
    if (profile === 'zxcvbn-ts' || languages.length) {
      const missing = this.packsFor(languages.length ? languages : ['en']).find((c) => !this.#loaded.has(c));
      if (missing) {
        throw new Error(`the language pack '${missing}' is not loaded: await loadLanguage('${languages[0] ?? 'en'}') first`);
      }
    }
    const flags = (policy === 'nist' ? 1 : 0) | (options.multiFactor ? 2 : 0) | PROFILE[profile];
    const minScore = whole(options.minScore, 'minScore', 0);
    const core = this.#core;
    return this.#with([[password], [user], inputs, [languages.join(',')]], (pw, us, ws, ls) => {
      const out = core._klw_check(pw, flags, minScore, us, ws, inputs.length, ls);
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
    known(options, 'generate');
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
    known(options, 'passphrase');
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

// Node's fetch cannot read a file: URL, so under Node the .wasm and the packs
// beside this file are read from disk; a browser (or a worker) fetches them.
// The import is hidden from bundlers, which would otherwise try to bring
// node:fs into a page.
const NODE = typeof process === 'object' && typeof process.versions?.node === 'string' &&
  typeof window === 'undefined' && typeof importScripts !== 'function';

async function readBeside(name) {
  const url = new URL(name, import.meta.url);
  if (NODE) {
    const { readFile } = await import(/* webpackIgnore: true */ 'node:fs/promises');
    return new Uint8Array(await readFile(url));
  }
  const response = await fetch(url);
  if (!response.ok) throw new Error(`cannot load ${url}: HTTP ${response.status}`);
  return new Uint8Array(await response.arrayBuffer());
}

async function coreSettings() {
  return NODE ? { wasmBinary: await readBeside('./klpassword-core.wasm') } : {};
}

// The module is ready when the import is: the .wasm beside this file is
// loaded and compiled while the module loads, and every call after is
// synchronous.
const instance = new KLPassword(await createKLPasswordCore(await coreSettings()));
const loading = new Map(); // pack code -> the promise of its load

function loadPack(code) {
  if (!loading.has(code)) {
    const load = readBeside(`./packs/${code}.klpack`).then((bytes) => {
      const named = instance.addPack(bytes);
      if (named !== code) throw new Error(`packs/${code}.klpack holds the pack '${named}'`);
    });
    // A failed load may be tried again (the network may come back).
    load.catch(() => loading.delete(code));
    loading.set(code, load);
  }
  return loading.get(code);
}

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
// The estimator's languages this build has ('en', 'de', ...), loaded or not.
export function languages() {
  return instance.languages();
}
// Fetches (under Node: reads) what an estimate in the language needs, the
// common pack and English with it, each once; resolves when check may name it.
export async function loadLanguage(language) {
  await Promise.all(instance.packsFor(language).map(loadPack));
}
// Whether check may name the language now, without loading.
export function isLanguageLoaded(language) {
  return instance.packsFor(language).every((code) => instance.isLoaded(code));
}
