// Runs bench.html in headless Chromium and prints, for KLPasswordSDK (the
// WebAssembly edition in build/web), zxcvbn 4.4.2 and @zxcvbn-ts/core with its
// common and English data: transferred size of what the page loads (gzip
// and brotli at their highest levels), time to the first estimate and
// estimates per second (median of 5 rounds).
// Each side is sized and loaded as a site would ship it, minified: the
// library's build is (emcc -O3 minifies its glue), zxcvbn's dist/zxcvbn.js is;
// zxcvbn-ts's packages ship readable bundles only, so they are minified here
// with terser (compress and mangle) and the page loads those.
// The passwords: 1,000 real ones, every 30th of zxcvbn's list of the 30,000
// most common leaked passwords (third_party/zxcvbn), from the most to the least
// common, the same for all three.
// Needs scripts/build-web.sh and scripts/setup.sh's node packages (terser among them).
// Usage: node bench/web/run.mjs [--chromium PATH]
import { mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { createRequire } from 'node:module';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { brotliCompressSync, constants, gzipSync } from 'node:zlib';
import { serve } from '../../tests/web/serve.mjs';

const root = join(dirname(fileURLToPath(import.meta.url)), '../..');
const modules = process.env.KL_WEB_NODE_DIR ? join(process.env.KL_WEB_NODE_DIR, 'node_modules')
  : join(root, 'build/web-node/node_modules');
const chromiumPath = process.argv.includes('--chromium') ? process.argv[process.argv.indexOf('--chromium') + 1]
  : '/usr/bin/chromium';
const load = createRequire(join(modules, 'x.js'));
const { chromium } = load('playwright-core');
const { minify } = load('terser');

const site = process.env.KL_WEB_BUILD ? join(process.env.KL_WEB_BUILD, 'site') : join(root, 'build/web/site');
const work = mkdtempSync(join(tmpdir(), 'kl-web-bench-'));
const TS_PACKS = ['core', 'language-common', 'language-en'];
for (const pack of TS_PACKS) {
  const bundle = readFileSync(join(modules, '@zxcvbn-ts', pack, 'dist/zxcvbn-ts.js'), 'utf8');
  const { code } = await minify(bundle, { compress: true, mangle: true, ecma: 2020 });
  mkdirSync(join(work, 'min', pack), { recursive: true });
  writeFileSync(join(work, 'min', pack, 'zxcvbn-ts.min.js'), code);
}
const common = readFileSync(join(root, 'third_party/zxcvbn/frequency_lists/passwords.txt'), 'utf8').split('\n')
  .filter((l) => l.length > 0);
const corpus = common.filter((_, i) => i % 30 === 0);
mkdirSync(join(work, 'corpus'));
writeFileSync(join(work, 'corpus', 'passwords.json'), JSON.stringify(corpus));
const FILES = {
  'KLPasswordSDK': ['klpassword/klpassword.js', 'klpassword/klpassword-core.js', 'klpassword/klpassword-core.wasm']
    .map((f) => join(site, f)),
  'zxcvbn 4.4.2': [join(modules, 'zxcvbn/dist/zxcvbn.js')],
  '@zxcvbn-ts/core': TS_PACKS.map((p) => join(work, 'min', p, 'zxcvbn-ts.min.js')),
};
const size = (files, pack) => files.reduce((n, f) => n + pack(readFileSync(f)).length, 0);

const { server, origin } = await serve({ '/': site, '/node_modules/': modules, '/bench/': join(root, 'bench/web'),
  '/min/': join(work, 'min'), '/corpus/': join(work, 'corpus') });
const browser = await chromium.launch({ executablePath: chromiumPath, headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync'] });
try {
  const page = await browser.newPage();
  await page.goto(`${origin}/bench/bench.html`);
  const result = await page.waitForFunction(() => window.benchResult, null, { timeout: 300000 }).then((h) => h.jsonValue());
  if (result.error) throw new Error(result.error);
  const base = result['zxcvbn 4.4.2'];
  console.log(`${corpus.length} passwords; sizes of the minified files`);
  console.log('estimator          raw KB  gzip KB  brotli KB  first estimate ms  estimates/s  vs zxcvbn');
  for (const [name, files] of Object.entries(FILES)) {
    const r = result[name];
    console.log(`${name.padEnd(18)} ${(size(files, (b) => b) / 1024).toFixed(0).padStart(6)}  ` +
      `${(size(files, (b) => gzipSync(b, { level: 9 })) / 1024).toFixed(0).padStart(7)}  ` +
      `${(size(files, (b) => brotliCompressSync(b, { params: { [constants.BROTLI_PARAM_QUALITY]: 11 } })) / 1024)
        .toFixed(0).padStart(9)}  ` +
      `${r.firstEstimateMs.toFixed(0).padStart(17)}  ${r.medianPerSecond.toFixed(0).padStart(11)}  ` +
      `${(r.medianPerSecond / base.medianPerSecond).toFixed(2).padStart(8)}x`);
  }
} finally {
  await browser.close();
  server.close();
  rmSync(work, { recursive: true, force: true });
}
