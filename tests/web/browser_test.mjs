// The WebAssembly edition in headless Chromium: the demonstration page, served
// on 127.0.0.1 with every other request refused, must give for each password
// typed into it the very verdict klpass gives (same JSON), in each language
// of the estimator (whose packs it fetches only when chosen), show one verdict
// with the meter in its colour, fit a 390-pixel screen, generate what its
// options ask for, refuse bad options with a clear error, and log no error.
// Screenshots at 1280 and 390 pixels go to --shots.
// Usage: node browser_test.mjs --site DIR --klpass PATH --modules DIR --chromium PATH --shots DIR
import { spawnSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { isDeepStrictEqual } from 'node:util';
import { serve } from './serve.mjs';

const args = Object.fromEntries(process.argv.slice(2).reduce((pairs, a, i, all) =>
  (a.startsWith('--') ? [...pairs, [a.slice(2), all[i + 1]]] : pairs), []));
const root = join(dirname(fileURLToPath(import.meta.url)), '../..');
const { chromium } = createRequire(join(args.modules, 'x.js'))('playwright-core');

const problems = [];
const fail = (what) => problems.push(what);

// ---- The corpus: common passwords, their decorated forms, patterns, random
// text, context words, non-ASCII and long passwords; deterministic.
function corpus() {
  let seed = 20261209;
  const next = (n) => { seed = (seed * 1103515245 + 12345) % 2147483648; return seed % n; };
  const lines = (name) => readFileSync(join(root, 'third_party/zxcvbn/frequency_lists', name), 'utf8')
    .split('\n').filter((l) => l !== '');
  const common = lines('passwords.txt');
  const english = lines('english_wikipedia.txt');
  const surnames = lines('surnames.txt');
  const out = [''];
  for (let i = 0; i < 420; ++i) out.push(common[(i * 71) % common.length]);
  const symbols = '!@#$%^&*?-_.';
  for (let i = 0; i < 260; ++i) {
    const word = [english, surnames, common][i % 3][next(20000)] ?? 'word';
    const capital = next(2) ? word[0].toUpperCase() + word.slice(1) : word;
    const leet = next(3) === 0 ? capital.replace(/a/g, '@').replace(/o/g, '0').replace(/e/g, '3') : capital;
    out.push(leet + (next(2) ? String(next(10000)) : '') + (next(2) ? symbols[next(symbols.length)] : ''));
  }
  const sets = ['abcdefghijklmnopqrstuvwxyz', 'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789',
    'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789!@#$%^&*()-_=+[]{};:,.<>/?~ ', '0123456789'];
  for (let i = 0; i < 200; ++i) {
    const set = sets[i % sets.length];
    const length = 1 + next(40);
    out.push(Array.from({ length }, () => set[next(set.length)]).join(''));
  }
  const patterns = ['qwerty', 'asdfgh', 'zxcvbn', '1qaz2wsx', 'poiuyt', '123456', '987654', 'abcdef', '13579'];
  for (let i = 0; i < 120; ++i) {
    const p = patterns[i % patterns.length];
    const year = 1950 + next(80);
    const forms = [p + year, `${p}!${p}`, p.toUpperCase() + next(100), `${next(31) + 1}.${next(12) + 1}.${year}`,
      'aaa'.repeat(1 + next(4)) + p, `${p}${p}${p}`, `Pass${year}word`, `p@ss${p}`, `${year}${year}`];
    out.push(forms[i % forms.length]);
  }
  const context = ['alice', 'Alice1990', 'acme', 'klpass', 'ecila', 'acme-alice', 'AliceAcme!2024', 'klpass123'];
  for (let i = 0; i < 80; ++i) out.push(context[i % context.length] + (i >= context.length ? String(i) : ''));
  const unicode = ['pässwörd', 'Ünïcödé-Pass-1', 'パスワード', '密码123456', 'ſecret', 'Ωmega-2024!', '😀😀😀😀',
    'correct😀horse', 'ǅemal', 'İstanbul34', 'straße!', 'naïve café 9', 'KELVIN\u212Aword', '\u00a0nbsp\u00a0'];
  for (let i = 0; i < 70; ++i) out.push(unicode[i % unicode.length] + (i >= unicode.length ? String(i) : ''));
  for (let i = 0; i < 40; ++i) {
    out.push(`${'correct horse battery staple '.repeat(1 + (i % 7))}${i}`.trim());
  }
  for (let i = 0; i < 20; ++i) out.push(Array.from({ length: 60 + 7 * i }, () => sets[2][next(sets[2].length)]).join(''));
  return out;
}

// The option sets: each password is typed under one of them (in turn). Each
// set differs from the one before in one option, so that a verdict made under
// the previous options would show.
const CONFIGS = [
  { page: { policy: 'classic', user: '', inputs: '', multiFactor: false, minScore: '0' }, cli: [] },
  { page: { policy: 'classic', user: 'alice', inputs: '', multiFactor: false, minScore: '0' }, cli: ['--user', 'alice'] },
  { page: { policy: 'classic', user: 'alice', inputs: 'acme, klpass', multiFactor: false, minScore: '0' },
    cli: ['--user', 'alice'], words: ['acme', 'klpass'] },
  { page: { policy: 'classic', user: 'alice', inputs: 'acme, klpass', multiFactor: false, minScore: '2' },
    cli: ['--user', 'alice', '--min-score', '2'], words: ['acme', 'klpass'] },
  { page: { policy: 'nist', user: 'alice', inputs: 'acme', multiFactor: false, minScore: '0' },
    cli: ['--policy', 'nist', '--user', 'alice'], words: ['acme'] },
  { page: { policy: 'nist', user: '', inputs: '', multiFactor: true, minScore: '3' },
    cli: ['--policy', 'nist', '--multi-factor', '--min-score', '3'] },
  { page: { policy: 'nist', user: '', inputs: '', multiFactor: false, minScore: '3' },
    cli: ['--policy', 'nist', '--min-score', '3'] },
];

// What klpass says of each password under a config, one JSON line each.
function klpassVerdicts(config, passwords, scratch) {
  const cli = ['check', '--json', '--stdin', ...config.cli, ...(config.lang ? ['--lang', config.lang] : [])];
  if (config.words) {
    const dict = join(scratch, 'words.txt');
    writeFileSync(dict, config.words.join('\n') + '\n');
    cli.push('--dict', dict);
  }
  const run = spawnSync(args.klpass, cli, { input: passwords.map((p) => p + '\n').join(''), encoding: 'utf8',
    maxBuffer: 1 << 28 });
  const lines = run.stdout.split('\n').filter((l) => l !== '');
  if (lines.length !== passwords.length) throw new Error(`klpass gave ${lines.length} lines for ${passwords.length}: ${run.stderr}`);
  return lines.map((l) => JSON.parse(l));
}

// What the page shows: its JSON, and the meter, the score's word, the verdict
// and the advice beside it.
async function shownVerdict(page) {
  return page.evaluate(() => {
    const $ = (id) => document.getElementById(id);
    return {
      json: JSON.parse($('json').textContent),
      meterScore: $('meter').dataset.score, meterVerdict: $('meter').dataset.verdict,
      word: $('strength-word').textContent, verdict: $('verdict').dataset.verdict,
      failures: [...$('failures').children].map((li) => li.textContent),
      suggestions: $('advice').hidden ? [] : [...$('suggestions').children].map((li) => li.textContent),
      policy: $('policy').value, language: document.body.dataset.language,
      heading: $('checker-title').textContent, lang: document.documentElement.lang,
    };
  });
}

// The page's words for a score, and its heading, in each language it is switched to.
const SCORE_WORDS = {
  'built-in': ['Very weak', 'Weak', 'Fair', 'Strong', 'Very strong'],
  en: ['Very weak', 'Weak', 'Fair', 'Strong', 'Very strong'],
  de: ['Sehr schwach', 'Schwach', 'Mittel', 'Stark', 'Sehr stark'],
  fr: ['Très faible', 'Faible', 'Moyen', 'Fort', 'Très fort'],
  'es-es': ['Muy débil', 'Débil', 'Aceptable', 'Fuerte', 'Muy fuerte'],
  it: ['Molto debole', 'Debole', 'Discreta', 'Forte', 'Molto forte'],
  'nl-be': ['Zeer zwak', 'Zwak', 'Redelijk', 'Sterk', 'Zeer sterk'],
  pl: ['Bardzo słabe', 'Słabe', 'Średnie', 'Silne', 'Bardzo silne'],
  'pt-br': ['Muito fraca', 'Fraca', 'Razoável', 'Forte', 'Muito forte'],
};
const HEADINGS = {
  en: 'Choose a password', de: 'Passwort wählen', fr: 'Choisissez un mot de passe', 'es-es': 'Elija una contraseña',
  it: 'Scegli una password', 'nl-be': 'Kies een wachtwoord', pl: 'Wybierz hasło', 'pt-br': 'Escolha uma senha',
};

// One verdict, the policy's, with the meter in its colour; nothing before a
// password is typed; no advice that the policy contradicts.
function checkMeter(shown, password, where) {
  const { json } = shown;
  const label = `${where}, password ${JSON.stringify(password)}`;
  if (password === '') {
    if (shown.verdict !== 'empty' || shown.meterVerdict !== 'empty' || shown.word !== '' || shown.failures.length ||
        shown.suggestions.length) fail(`${label}: the empty field shows ${JSON.stringify(shown)}`);
    return;
  }
  const verdict = json.ok ? 'ok' : 'fail';
  if (shown.verdict !== verdict || shown.meterVerdict !== verdict || shown.meterScore !== String(json.score) ||
      shown.word !== (SCORE_WORDS[shown.language] ?? SCORE_WORDS.en)[json.score]) {
    fail(`${label}: verdict ${shown.verdict}, meter ${shown.meterVerdict} ${shown.meterScore} "${shown.word}" for ` +
      `ok ${json.ok}, score ${json.score}`);
  }
  if (!isDeepStrictEqual(shown.failures, json.failures.map((f) => f.message))) fail(`${label}: reasons ${shown.failures}`);
  const noNeed = json.feedback.suggestions.filter((_, i) => json.feedback.suggestion_keys[i] === 'noNeed');
  if (shown.policy === 'classic' && noNeed.some((t) => shown.suggestions.includes(t))) {
    fail(`${label}: the advice "${noNeed[0]}" contradicts the classic policy`);
  }
}

async function setOptions(page, options) {
  await page.evaluate(() => { document.getElementById('settings').open = true; });
  await page.selectOption('#policy', options.policy);
  await page.fill('#user', options.user);
  await page.fill('#inputs', options.inputs);
  await page.setChecked('#multi-factor', options.multiFactor);
  await page.selectOption('#min-score', options.minScore);
}

async function checkCorpus(page, scratch) {
  const passwords = corpus();
  let compared = 0;
  for (const [c, config] of CONFIGS.entries()) {
    const mine = passwords.filter((_, i) => i % CONFIGS.length === c);
    const expected = klpassVerdicts(config, mine, scratch);
    await setOptions(page, config.page);
    for (const [i, password] of mine.entries()) {
      // Most are filled in one step; some are typed key by key, as a user would.
      if (i % 40 === 1 && /^[\x20-\x7e]*$/.test(password)) {
        await page.fill('#password', '');
        await page.locator('#password').pressSequentially(password);
      } else {
        await page.fill('#password', password);
      }
      const shown = await shownVerdict(page);
      if (!isDeepStrictEqual(shown.json, expected[i])) {
        fail(`config ${c}, password ${JSON.stringify(password)}:\n  page   ${JSON.stringify(shown.json)}\n  klpass ${JSON.stringify(expected[i])}`);
      }
      checkMeter(shown, password, `config ${c}`);
      ++compared;
    }
  }
  if (compared < 1000) fail(`only ${compared} passwords compared`);
  return compared;
}

// ---- Each language of the estimator, chosen on the page: 200 passwords of the
// known-answer data each, half under the classic policy, half under NIST's
// with a user name, compared with `klpass check --lang L`. A language's pack
// is fetched when it is first chosen, never before, and once.
// German first: it must bring the common pack and English with it.
const LANGUAGES = ['de', 'en', 'fr', 'es-es', 'it', 'nl-be', 'pl', 'pt-br'];
const PER_LANGUAGE = 200;

function knownAnswerPasswords(language) {
  return readFileSync(join(root, 'tests/data/strength_ts_known_answers.txt'), 'utf8').split('\n')
    .filter((l) => l.startsWith(`${language}\t`)).map((l) => JSON.parse(l.split('\t')[1])).slice(0, PER_LANGUAGE);
}

const packsFetched = (requests) => requests.map((u) => new URL(u).pathname).filter((p) => p.includes('/packs/'))
  .map((p) => p.replace(/^.*\/packs\/(.*)\.klpack$/, '$1'));

async function checkLanguages(page, scratch, requests) {
  if (packsFetched(requests).length) fail(`packs fetched before any language was chosen: ${packsFetched(requests)}`);
  let compared = 0;
  for (const [l, language] of LANGUAGES.entries()) {
    const passwords = knownAnswerPasswords(language);
    if (passwords.length !== PER_LANGUAGE) fail(`${language}: ${passwords.length} known-answer passwords`);
    await page.evaluate(() => { document.getElementById('settings').open = true; });
    await page.selectOption('#language', language);
    await page.waitForSelector(`body[data-language="${language}"]`, { timeout: 120000 });
    const labels = await shownVerdict(page);
    if (labels.heading !== HEADINGS[language] || labels.lang !== language) {
      fail(`${language}: the page's heading "${labels.heading}" (lang ${labels.lang}), expected "${HEADINGS[language]}"`);
    }
    // Each pack once: the common one and English with the first language, then the language's own.
    const wanted = [...new Set(['common', 'en', ...LANGUAGES.slice(0, l + 1)])].sort();
    const fetched = packsFetched(requests).sort();
    if (!isDeepStrictEqual(fetched, wanted)) fail(`after choosing ${language}: packs ${fetched}, expected ${wanted}`);
    const configs = [
      { page: { policy: 'classic', user: '', inputs: '', multiFactor: false, minScore: '0' }, cli: [], lang: language },
      { page: { policy: 'nist', user: 'alice', inputs: '', multiFactor: false, minScore: '2' },
        cli: ['--policy', 'nist', '--user', 'alice', '--min-score', '2'], lang: language },
    ];
    for (const [c, config] of configs.entries()) {
      const mine = passwords.filter((_, i) => i % configs.length === c);
      const expected = klpassVerdicts(config, mine, scratch);
      await setOptions(page, config.page);
      for (const [i, password] of mine.entries()) {
        await page.fill('#password', password);
        const shown = await shownVerdict(page);
        if (shown.json.language !== language) fail(`${language}: the page estimated in ${shown.json.language}`);
        if (!isDeepStrictEqual(shown.json, expected[i])) {
          fail(`${language}, config ${c}, password ${JSON.stringify(password)}:\n  page   ${JSON.stringify(shown.json)}\n  klpass ${JSON.stringify(expected[i])}`);
        }
        checkMeter(shown, password, language);
        ++compared;
      }
    }
  }
  await page.selectOption('#language', '');
  await page.waitForSelector('body[data-language="built-in"]');
  if (compared !== LANGUAGES.length * PER_LANGUAGE) fail(`only ${compared} passwords compared across the languages`);
  return compared;
}

// ---- The layout: nothing wider than a 390-pixel phone's screen, whatever it
// shows (a long password, its reasons, long generated passwords, the settings
// open); screenshots at both widths.
async function checkLayout(page, shots) {
  mkdirSync(shots, { recursive: true });
  await setOptions(page, CONFIGS[0].page);
  await page.evaluate(() => { for (const d of document.querySelectorAll('details')) d.open = true; });
  await page.fill('#password', 'Tr0ub4dor&3-with-a-rather-long-tail-that-goes-on-and-on-and-on-42');
  await page.fill('#length', '64');
  await page.check('input[name="kind"][value="password"]');
  await page.click('#generate');
  for (const width of [1280, 390]) {
    await page.setViewportSize({ width, height: 900 });
    const scroll = await page.evaluate(() => document.documentElement.scrollWidth);
    if (scroll > width) fail(`at ${width} pixels the page is ${scroll} wide (sideways scroll)`);
    await page.screenshot({ path: join(shots, `demo-${width}.png`), fullPage: true });
  }
  await page.fill('#password', '');
  const empty = await shownVerdict(page);
  checkMeter(empty, '', 'cleared');
  await page.setViewportSize({ width: 1280, height: 900 });
}

// ---- The generator, through the module the page loaded.
const EFF = new Set(readFileSync(join(root, 'third_party/eff-long-wordlist/eff_large_wordlist.txt'), 'utf8')
  .split('\n').map((l) => l.split(/\s+/)[1]).filter(Boolean));
const UPPER = /[A-Z]/; const LOWER = /[a-z]/; const DIGIT = /[0-9]/; const SYMBOL = /[^A-Za-z0-9]/;
const count = (s, re) => [...s].filter((c) => re.test(c)).length;

const GENERATED = [
  ['default length and alphabet', 'generate', { count: 50 },
    (p) => p.length === 16 && /^[\x21-\x7e]+$/.test(p)],
  ['a fixed length', 'generate', { length: 37, count: 20 }, (p) => p.length === 37],
  ['letters only', 'generate', { length: 12, digits: false, symbols: false, count: 50 }, (p) => /^[A-Za-z]{12}$/.test(p)],
  ['one of each set', 'generate', { length: 6, each: true, count: 100 },
    (p) => UPPER.test(p) && LOWER.test(p) && DIGIT.test(p) && SYMBOL.test(p)],
  ['minimum counts', 'generate', { length: 16, minDigits: 5, minSymbols: 3, minUpper: 2, count: 50 },
    (p) => count(p, DIGIT) >= 5 && count(p, SYMBOL) >= 3 && count(p, UPPER) >= 2],
  ['look-alikes and excluded characters left out', 'generate', { length: 40, noLookAlike: true, exclude: 'abcXYZ#', count: 50 },
    (p) => !/[0Oo1Il|`'"abcXYZ#]/.test(p)],
  ['custom characters alone', 'generate', { length: 9, upper: false, lower: false, digits: false, symbols: false,
    custom: 'xyzé', count: 30 }, (p) => /^[xyzé]{9}$/.test(p)],
  ['a space when asked', 'generate', { length: 64, space: true, upper: false, lower: false, digits: false,
    symbols: false, custom: 'ab', count: 20 }, (p) => /^[ab ]{64}$/.test(p)],
  ['passphrase words from the EFF list', 'passphrase', { words: 5, separator: '.', count: 30 },
    (p) => p.split('.').length === 5 && p.split('.').every((w) => EFF.has(w))],
  ['passphrase capitalised with one digit', 'passphrase', { words: 4, separator: ' ', capitalize: true,
    insert: 'digit', count: 30 }, (p) => p.split(' ').length === 4 && count(p, DIGIT) === 1 &&
    p.split(' ').every((w) => /^[0-9]?[A-Z]/.test(w))],
  ['passphrase by default: six words joined by hyphens', 'passphrase', { count: 20 },
    (p) => p.split('-').length >= 6 && !/[^a-z-]/.test(p)],
  ['passphrase from an own word list', 'passphrase', { words: 3, wordList: ['alpha', 'beta'], separator: '+', count: 30 },
    (p) => p.split('+').length === 3 && p.split('+').every((w) => w === 'alpha' || w === 'beta')],
];

async function checkGenerator(page) {
  for (const [name, fn, options, holds] of GENERATED) {
    const made = await page.evaluate(async ([f, o]) => (await import('./klpassword/klpassword.js'))[f](o), [fn, options]);
    if (made.length !== options.count) fail(`${name}: ${made.length} made, ${options.count} asked`);
    const bad = made.filter((p) => !holds(p));
    if (bad.length) fail(`${name}: ${JSON.stringify(bad.slice(0, 3))}`);
  }
  // A range of lengths reaches both of its ends; draws do not repeat.
  const ranged = await page.evaluate(async () => (await import('./klpassword/klpassword.js')).generate({ length: [8, 12], count: 300 }));
  const lengths = new Set(ranged.map((p) => p.length));
  if (!lengths.has(8) || !lengths.has(12) || [...lengths].some((n) => n < 8 || n > 12)) fail(`range: lengths ${[...lengths]}`);
  if (new Set(ranged).size !== ranged.length) fail('range: a password came twice');
}

// Bad options are refused with a message that names the problem, and the page
// keeps working after.
const REFUSED = [
  ['generate', [{ length: 0 }], 'Error', /length/i],
  ['generate', [{ length: 5000 }], 'Error', /length/i],
  ['generate', [{ count: 0 }], 'Error', /count/i],
  ['generate', [{ length: 4, minDigits: 3, minSymbols: 3 }], 'Error', /./],
  ['generate', [{ upper: false, lower: false, digits: false, symbols: false }], 'Error', /alphabet/i],
  ['generate', [{ length: 2.5 }], 'TypeError', /whole number/],
  ['passphrase', [{ words: 0 }], 'Error', /words/i],
  ['passphrase', [{ insert: 'emoji' }], 'RangeError', /insert/],
  ['check', ['x', { policy: 'strict' }], 'RangeError', /policy/],
  ['check', ['x', { minScore: 5 }], 'Error', /score/i],
  ['check', [42], 'TypeError', /password/],
  ['check', ['a\0b'], 'TypeError', /NUL/],
  ['generate', [{ noSymbols: true }], 'TypeError', /unknown option 'noSymbols'/],
  ['passphrase', [{ word: 4 }], 'TypeError', /unknown option 'word'/],
  ['check', ['x', { polcy: 'nist' }], 'TypeError', /unknown option 'polcy'/],
  ['generate', ['long'], 'TypeError', /options must be an object/],
  ['check', ['x', { language: 'xx' }], 'RangeError', /unknown language 'xx'/],
  ['check', ['x', { language: 'en', profile: 'zxcvbn5' }], 'RangeError', /profile/],
];

async function checkRefusals(page) {
  for (const [fn, callArgs, type, message] of REFUSED) {
    const got = await page.evaluate(async ([f, a]) => {
      try {
        (await import('./klpassword/klpassword.js'))[f](...a);
        return null;
      } catch (e) {
        return [e.constructor.name, e.message];
      }
    }, [fn, callArgs]);
    if (!got || got[0] !== type || !message.test(got[1])) fail(`${fn}(${JSON.stringify(callArgs)}): ${JSON.stringify(got)}`);
  }
}

// Buffers that held a password are wiped before they are freed: after a check
// and a batch of passwords through the core's own functions (as the module
// calls them), no password is left anywhere in the module's memory.
async function checkWiped(page) {
  const left = await page.evaluate(async () => {
    const core = await (await import('./klpassword/klpassword-core.js')).default();
    const put = (text) => {
      const bytes = new TextEncoder().encode(text + '\0');
      const at = core._malloc(bytes.length);
      core.HEAPU8.set(bytes, at);
      return [at, bytes.length];
    };
    const secret = 'Zq8#never-left-behind-42';
    const [password, passwordSize] = put(secret);
    const [empty, emptySize] = put('');
    const verdict = core._klw_check(password, 1, 2, empty, empty, 0, empty);
    core._klw_free(verdict, core.HEAPU8.indexOf(0, verdict) + 1 - verdict);
    core._klw_free(password, passwordSize);
    const settings = core._malloc(48);
    core.HEAP32.set([24, 24, 60, 0, 0, 0, 0, 0, 6, 0], settings >> 2);
    const out = core._klw_generate(settings, empty, empty, empty, empty, 0, settings + 40);
    const made = [];
    let p = out;
    for (let i = 0; i < 60; ++i) {
      const end = core.HEAPU8.indexOf(0, p);
      made.push(core.UTF8ToString(p, end - p));
      p = end + 1;
    }
    core._klw_free(out, p - out);
    core._klw_free(empty, emptySize);
    core._free(settings);
    const heap = new TextDecoder('latin1').decode(core.HEAPU8);
    return [secret, ...made].filter((s) => heap.includes(s));
  });
  if (left.length) fail(`left in memory: ${JSON.stringify(left.slice(0, 3))} (${left.length} in all)`);
}

// The page's own generator panel, as a user clicks it.
async function checkPanel(page) {
  await page.fill('#length', '20');
  await page.click('#generate');
  const passwords = await page.locator('#generated li').allTextContents();
  if (passwords.length !== 5 || passwords.some((p) => p.length !== 20)) fail(`panel: ${JSON.stringify(passwords)}`);
  await page.check('input[name="kind"][value="passphrase"]');
  await page.fill('#words', '3');
  await page.click('#generate');
  const phrases = await page.locator('#generated li').allTextContents();
  if (phrases.length !== 5 || phrases.some((p) => p.split('-').length < 3)) fail(`panel: ${JSON.stringify(phrases)}`);
}

// ---- A language whose pack cannot be fetched: the page says so in that
// language, keeps saying it, and goes on with the built-in estimate.
async function checkLoadFailure(context, origin) {
  const page = await context.newPage();
  try {
    await page.route('**/packs/de.klpack', (route) => route.fulfill({ status: 404, body: 'gone' }));
    await page.goto(origin + '/');
    await page.waitForSelector('body[data-ready="true"]', { timeout: 120000 });
    await page.evaluate(() => { document.getElementById('settings').open = true; });
    await page.selectOption('#language', 'de');
    await page.waitForSelector('body[data-language="built-in"]', { timeout: 120000 });
    const status = await page.locator('#status').textContent();
    const prefix = 'Die Sprache konnte nicht geladen werden: ';
    if (!status.startsWith(prefix) || status.length <= prefix.length) fail(`a failed load says "${status}"`);
    if (await page.locator('#language').inputValue() !== '') fail('a failed load left its language chosen');
    await page.fill('#password', 'Schmetterling');
    // The built-in estimate rates it 4, German 1.
    const shown = await shownVerdict(page);
    if (shown.json.score !== 4 || shown.json.language !== 'en') {
      fail(`after a failed load the page estimated ${JSON.stringify(shown.json).slice(0, 80)}`);
    }
  } finally {
    await page.close();
  }
}

async function main() {
  const { server, origin } = await serve({ '/': args.site });
  const profile = mkdtempSync(join(tmpdir(), 'klpassword-chromium-'));
  const scratch = mkdtempSync(join(tmpdir(), 'klpassword-web-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: args.chromium, headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
  try {
    // Offline: any request that does not go to our server is refused and noted.
    const outside = [];
    await context.route('**/*', (route) => {
      const url = route.request().url();
      if (url.startsWith(origin + '/')) return route.continue();
      outside.push(url);
      return route.abort();
    });
    const page = context.pages()[0] ?? await context.newPage();
    const errors = [];
    page.on('console', (m) => { if (m.type() === 'error' || m.type() === 'warning') errors.push(`console ${m.type()}: ${m.text()}`); });
    page.on('pageerror', (e) => errors.push(`page error: ${e.message}`));
    const requests = [];
    page.on('request', (r) => requests.push(r.url()));
    await page.goto(origin + '/');
    await page.waitForSelector('body[data-ready="true"]', { timeout: 120000 });
    // Before anything is typed: no verdict, no reasons, no advice.
    checkMeter(await shownVerdict(page), '', 'on load');
    const compared = await checkCorpus(page, scratch);
    const comparedInLanguages = await checkLanguages(page, scratch, requests);
    await checkLayout(page, args.shots);
    await checkGenerator(page);
    await checkRefusals(page);
    await checkWiped(page);
    await checkPanel(page);
    await checkLoadFailure(context, origin);
    for (const url of outside) fail(`request outside the page's server: ${url}`);
    for (const e of errors) fail(e);
    console.log(`${compared} passwords compared with klpass, and ${comparedInLanguages} in ${LANGUAGES.length} ` +
      `languages; ${GENERATED.length + 1} generator cases, ${REFUSED.length} refusals, wiping, the generator panel; ` +
      `screenshots in ${args.shots}`);
  } finally {
    await context.close();
    server.close();
    rmSync(profile, { recursive: true, force: true });
    rmSync(scratch, { recursive: true, force: true });
  }
  if (problems.length) {
    console.error(problems.slice(0, 30).join('\n'));
    console.error(`${problems.length} problem(s)`);
    process.exit(1);
  }
  console.log('PASSED');
}

await main();
