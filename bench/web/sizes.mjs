// What a page transfers for the web build, file by file compressed as a server
// would send it (gzip -9, and brotli at its highest quality): the core (the
// ES module, emscripten's glue and the .wasm) and each language pack, beside
// the ES module files of the zxcvbn-ts language package with the same data.
// Needs scripts/build-web.sh and the zxcvbn-ts packages of scripts/setup.sh
// (build/ts-oracle, or KL_TS_ORACLE_DIR).
// Usage: node bench/web/sizes.mjs
import { readdirSync, readFileSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { brotliCompressSync, constants, gzipSync } from 'node:zlib';

const root = join(dirname(fileURLToPath(import.meta.url)), '../..');
const pkg = process.env.KL_WEB_BUILD ? join(process.env.KL_WEB_BUILD, 'package') : join(root, 'build/web/package');
const ts = join(process.env.KL_TS_ORACLE_DIR ?? join(root, 'build/ts-oracle'), 'node_modules/@zxcvbn-ts');

const gzip = (b) => gzipSync(b, { level: 9 }).length;
const brotli = (b) => brotliCompressSync(b, { params: { [constants.BROTLI_PARAM_QUALITY]: 11 } }).length;
const sum = (files, f) => files.reduce((n, file) => n + f(readFileSync(file)), 0);
const kb = (n) => (n / 1024).toFixed(0).padStart(6);

// A zxcvbn-ts package's ES modules: *.mjs (4.x) or *.esm.js (3.x).
function tsFiles(name) {
  const dist = join(ts, name, 'dist');
  let files;
  try {
    files = readdirSync(dist);
  } catch {
    return null;
  }
  const modern = files.filter((f) => f.endsWith('.mjs'));
  return (modern.length ? modern : files.filter((f) => f.endsWith('.esm.js'))).map((f) => join(dist, f));
}

const row = (label, mine, theirs) => {
  const t = theirs ? `${kb(sum(theirs, gzip))} ${kb(sum(theirs, brotli))}` : '     –      –';
  console.log(`${label.padEnd(28)} ${kb(sum(mine, gzip))} ${kb(sum(mine, brotli))}   ${t}`);
};

console.log('KB transferred                 gzip brotli   zxcvbn-ts package: gzip brotli');
row('core (module, glue, .wasm)', ['klpassword.js', 'klpassword-core.js', 'klpassword-core.wasm'].map((f) => join(pkg, f)),
  null);
for (const code of ['common', 'en', 'de', 'fr', 'es-es', 'it', 'nl-be', 'pl', 'pt-br']) {
  row(`packs/${code}.klpack`, [join(pkg, 'packs', `${code}.klpack`)], tsFiles(`language-${code}`));
}
