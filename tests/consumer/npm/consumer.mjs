// The npm package as a project that installed it uses it: imported by its
// name from Node, or from a page in headless Chromium (--page), whose module
// loads it from node_modules. Each verdict must be klpass's own, line for
// line, and the generator must give what its options ask for.
// Usage: node consumer.mjs --app DIR --klpass PATH [--page --modules DIR --chromium PATH]
import { spawnSync } from 'node:child_process';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';
import { isDeepStrictEqual } from 'node:util';

const args = Object.fromEntries(process.argv.slice(2).reduce((pairs, a, i, all) =>
  (a.startsWith('--') ? [...pairs, [a.slice(2), all[i + 1]?.startsWith('--') ? true : all[i + 1] ?? true]] : pairs), []));
const PASSWORDS = ['password', 'Tr0ub4dor&3', 'correct horse battery staple', 'kX9#vLm2$Tr8!pZw-Qe4'];

const LANGUAGES = ['de', 'pl'];
const IN_LANGUAGES = [...PASSWORDS, 'Schmetterling', 'Motyl2024!', 'kochanie'];

function klpass(policy, language, profile) {
  const run = spawnSync(args.klpass, ['check', '--json', '--stdin', '--policy', policy,
    ...(language ? ['--lang', language] : []), ...(profile ? ['--profile', profile] : [])],
    { input: (language ? IN_LANGUAGES : PASSWORDS).map((p) => p + '\n').join(''), encoding: 'utf8' });
  return run.stdout.split('\n').filter((l) => l !== '').map((l) => JSON.parse(l));
}

// Runs in Node or in the page alike: the package's answers to compare. The
// language packs are read from the installed package's folder (Node) or
// fetched from it (the page), each when first asked for.
const PROBE = `async (k, passwords, languages, inLanguages) => {
  const before = languages.map((l) => k.isLanguageLoaded(l));
  const byLanguage = {};
  for (const l of languages) {
    await k.loadLanguage(l);
    byLanguage[l] = inLanguages.map((p) => k.check(p, { policy: 'nist', language: l }));
  }
  return {
    before, after: languages.map((l) => k.isLanguageLoaded(l)), byLanguage,
    // The 4.4.2 model with a pack's texts, as klpass --profile zxcvbn --lang gives it.
    oldModel: inLanguages.map((p) => k.check(p, { policy: 'nist', language: languages[1], profile: 'zxcvbn' })),
    classic: passwords.map((p) => k.check(p)),
    nist: passwords.map((p) => k.check(p, { policy: 'nist' })),
    generated: k.generate({ length: 24, count: 3, symbols: false }),
    phrases: k.passphrase({ words: 5, count: 2 }),
  };
}`;

async function fromNode() {
  // A module of the consumer's project imports the package by its name,
  // resolved from the project's node_modules.
  writeFileSync(join(args.app, 'probe.mjs'), "export * from 'klpassword';\n");
  const k = await import(pathToFileURL(join(args.app, 'probe.mjs')).href);
  return (0, eval)(PROBE)(k, PASSWORDS, LANGUAGES, IN_LANGUAGES);
}

async function fromPage() {
  const { serve } = await import(new URL('../../web/serve.mjs', import.meta.url));
  const { chromium } = createRequire(join(args.modules, 'x.js'))('playwright-core');
  const { server, origin } = await serve({ '/': args.app });
  const profile = mkdtempSync(join(tmpdir(), 'klpassword-consumer-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: args.chromium, headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
  try {
    const page = context.pages()[0] ?? await context.newPage();
    const errors = [];
    page.on('pageerror', (e) => errors.push(e.message));
    await page.goto(origin + '/index.html');
    const result = await page.evaluate(`import('/node_modules/klpassword/klpassword.js')
      .then((k) => (${PROBE})(k, ${JSON.stringify(PASSWORDS)}, ${JSON.stringify(LANGUAGES)}, ${JSON.stringify(IN_LANGUAGES)}))`);
    if (errors.length) throw new Error(`page errors: ${errors.join('; ')}`);
    return result;
  } finally {
    await context.close();
    server.close();
    rmSync(profile, { recursive: true, force: true });
  }
}

const where = args.page ? 'page' : 'Node';
const got = args.page ? await fromPage() : await fromNode();
const problems = [];
for (const policy of ['classic', 'nist']) {
  const expected = klpass(policy);
  if (expected.length !== PASSWORDS.length) problems.push(`klpass gave ${expected.length} ${policy} verdicts`);
  got[policy].forEach((verdict, i) => {
    if (!isDeepStrictEqual(verdict, expected[i])) {
      problems.push(`${policy} '${PASSWORDS[i]}': ${JSON.stringify(verdict)} but klpass ${JSON.stringify(expected[i])}`);
    }
  });
}
for (const language of LANGUAGES) {
  const expected = klpass('nist', language);
  got.byLanguage[language].forEach((verdict, i) => {
    if (!isDeepStrictEqual(verdict, expected[i])) {
      problems.push(`${language} '${IN_LANGUAGES[i]}': ${JSON.stringify(verdict)} but klpass ${JSON.stringify(expected[i])}`);
    }
  });
}
const oldModel = klpass('nist', LANGUAGES[1], 'zxcvbn');
got.oldModel.forEach((verdict, i) => {
  if (!isDeepStrictEqual(verdict, oldModel[i])) {
    problems.push(`zxcvbn profile in ${LANGUAGES[1]} '${IN_LANGUAGES[i]}': ${JSON.stringify(verdict)} but klpass ${JSON.stringify(oldModel[i])}`);
  }
});
if (got.before.some(Boolean) || !got.after.every(Boolean)) {
  problems.push(`languages loaded before ${got.before}, after ${got.after}`);
}
if (got.classic[0].ok !== false || got.classic[0].score !== 0) problems.push('"password" is not refused');
if (got.generated.length !== 3 || got.generated.some((p) => p.length !== 24 || !/^[A-Za-z0-9]+$/.test(p))) {
  problems.push(`generated: ${JSON.stringify(got.generated)}`);
}
if (new Set(got.generated).size !== 3) problems.push('generated the same password twice');
if (got.phrases.length !== 2 || got.phrases.some((p) => p.split('-').length !== 5)) {
  problems.push(`passphrases: ${JSON.stringify(got.phrases)}`);
}
if (problems.length) {
  console.error(`FAILED (${where}):\n  ${problems.join('\n  ')}`);
  process.exit(1);
}
console.log(`npm consumer (${where}): ${PASSWORDS.length * 2 + IN_LANGUAGES.length * (LANGUAGES.length + 1)} verdicts ` +
  `as klpass gives them (${LANGUAGES.join(', ')} among them), passwords and passphrases`);
