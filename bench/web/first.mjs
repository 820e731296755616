// The first estimate after loading, KLPasswordSDK beside zxcvbn 4.4.2, in
// headless Chromium and in node in one run: each sample is a fresh page (no
// cache) or a fresh node process, timed from the start of loading the
// estimator to the end of its first estimate; the sides take turns, so a busy
// machine slows both alike. Prints the medians and their ratio to zxcvbn's.
// Also times KLPasswordSDK's first estimate in German (the core, then the
// common, English and German packs).
// Needs scripts/build-web.sh and scripts/setup.sh's node packages.
// Usage: node bench/web/first.mjs [--rounds N] [--chromium PATH]
import { spawnSync } from 'node:child_process';
import { createRequire } from 'node:module';
import { dirname, join } from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { serve } from '../../tests/web/serve.mjs';

const root = join(dirname(fileURLToPath(import.meta.url)), '../..');
const option = (name, fallback) => (process.argv.includes(name) ? process.argv[process.argv.indexOf(name) + 1] : fallback);
const rounds = Number(option('--rounds', '7'));
const chromiumPath = option('--chromium', '/usr/bin/chromium');
const modules = process.env.KL_WEB_NODE_DIR ? join(process.env.KL_WEB_NODE_DIR, 'node_modules')
  : join(root, 'build/web-node/node_modules');
const site = process.env.KL_WEB_BUILD ? join(process.env.KL_WEB_BUILD, 'site') : join(root, 'build/web/site');
const { chromium } = createRequire(join(modules, 'x.js'))('playwright-core');
const PASSWORD = 'Tr0ub4dor&3';

// What each side runs, in a page (given the origin's paths) and in node.
const SIDES = {
  'KLPasswordSDK': {
    page: `(async () => { const t = performance.now(); const k = await import('/klpassword/klpassword.js');
      k.check(${JSON.stringify(PASSWORD)}); return performance.now() - t; })()`,
    node: `const t = performance.now(); const k = await import(${JSON.stringify(pathToFileURL(join(site, 'klpassword/klpassword.js')).href)});
      k.check(${JSON.stringify(PASSWORD)}); console.log(performance.now() - t);`,
  },
  'KLPasswordSDK, German': {
    page: `(async () => { const t = performance.now(); const k = await import('/klpassword/klpassword.js');
      await k.loadLanguage('de'); k.check(${JSON.stringify(PASSWORD)}, { language: 'de' }); return performance.now() - t; })()`,
    node: `const t = performance.now(); const k = await import(${JSON.stringify(pathToFileURL(join(site, 'klpassword/klpassword.js')).href)});
      await k.loadLanguage('de'); k.check(${JSON.stringify(PASSWORD)}, { language: 'de' }); console.log(performance.now() - t);`,
  },
  'zxcvbn 4.4.2': {
    page: `new Promise((resolve, reject) => { const t = performance.now(); const s = document.createElement('script');
      s.src = '/node_modules/zxcvbn/dist/zxcvbn.js';
      s.onload = () => { window.zxcvbn(${JSON.stringify(PASSWORD)}); resolve(performance.now() - t); };
      s.onerror = reject; document.head.append(s); })`,
    node: `const t = performance.now(); const { createRequire } = await import('node:module');
      const z = createRequire(${JSON.stringify(join(modules, 'x.js'))})('zxcvbn'); z(${JSON.stringify(PASSWORD)});
      console.log(performance.now() - t);`,
  },
};

const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];

const { server, origin } = await serve({ '/': site, '/node_modules/': modules });
const browser = await chromium.launch({ executablePath: chromiumPath, headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking', '--disable-sync'] });
const samples = Object.fromEntries(Object.keys(SIDES).map((n) => [n, { chromium: [], node: [] }]));
try {
  for (let round = 0; round < rounds; ++round) {
    for (const [name, side] of Object.entries(SIDES)) {
      const context = await browser.newContext();
      const page = await context.newPage();
      await page.goto(`${origin}/index.html`);
      samples[name].chromium.push(await page.evaluate(side.page));
      await context.close();
      const run = spawnSync(process.execPath, ['--input-type=module', '-e', side.node], { encoding: 'utf8' });
      if (run.status !== 0) throw new Error(`${name} under node: ${run.stderr}`);
      samples[name].node.push(Number(run.stdout.trim()));
    }
  }
} finally {
  await browser.close();
  server.close();
}
const base = samples['zxcvbn 4.4.2'];
console.log(`first estimate after loading, median of ${rounds} fresh loads (ms; ratio to zxcvbn 4.4.2's)`);
console.log('estimator                 Chromium           node');
for (const [name, s] of Object.entries(samples)) {
  const cell = (where) => `${median(s[where]).toFixed(0).padStart(6)} ${(median(s[where]) / median(base[where]))
    .toFixed(2).padStart(5)}x`;
  console.log(`${name.padEnd(24)} ${cell('chromium')}   ${cell('node')}`);
}
