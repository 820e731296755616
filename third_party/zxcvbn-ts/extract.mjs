// Regenerates the data files of this folder from the installed zxcvbn-ts
// language packs, decompressed by the packs' own code (their modules are loaded
// as they are). Usage: node extract.mjs NODE_MODULES_DIR
// Writes lowercase.txt and casing.txt (below) and, for each pack, one file per dictionary (one word a line, most
// frequent first, named as the pack names the list), dictionaries.txt (the
// pack's list names in the pack's own order), the keyboard graphs of the common
// pack (graphs/NAME.txt: one key a line, the key then its neighbours,
// tab-separated, empty for none; graphs/order.txt), and each pack's licence and
// notices. Every list is written whole, as the pack ships it: the tests compare
// these files with the installed packs word by word (tests/rules/vendored_data.js).
import fs from 'node:fs';
import path from 'node:path';
import { pathToFileURL } from 'node:url';

const [modules] = process.argv.slice(2);
if (!modules) throw new Error('usage: node extract.mjs NODE_MODULES_DIR');
const here = path.dirname(new URL(import.meta.url).pathname);
export const packs = ['common', 'en', 'de', 'fr', 'es-es', 'it', 'nl-be', 'pl', 'pt-br'];

async function load(pack) {
  const dir = path.join(modules, '@zxcvbn-ts', `language-${pack}`);
  const json = JSON.parse(fs.readFileSync(path.join(dir, 'package.json'), 'utf8'));
  const entry = path.join(dir, json.module || json.main);
  return { dir, version: json.version, module: await import(pathToFileURL(entry).href) };
}

const versions = [];
for (const pack of packs) {
  const { dir, version, module } = await load(pack);
  versions.push(`${pack} ${version}`);
  const out = path.join(here, pack);
  fs.mkdirSync(out, { recursive: true });
  const names = Object.keys(module.dictionary);
  for (const name of names) {
    const words = module.dictionary[name].map(String);
    if (words.some((w) => w.includes('\n') || w.length === 0)) throw new Error(`${pack}/${name}: bad word`);
    fs.writeFileSync(path.join(out, `${name}.txt`), words.join('\n') + '\n');
  }
  fs.writeFileSync(path.join(out, 'dictionaries.txt'), names.join('\n') + '\n');
  for (const file of ['LICENSE.txt', 'NOTICE.md', 'THIRD_PARTY_LICENSES.md']) {
    if (fs.existsSync(path.join(dir, file))) fs.copyFileSync(path.join(dir, file), path.join(out, file));
  }
  if (module.adjacencyGraphs) {
    fs.mkdirSync(path.join(out, 'graphs'), { recursive: true });
    const graphNames = Object.keys(module.adjacencyGraphs);
    for (const name of graphNames) {
      const graph = module.adjacencyGraphs[name];
      const lines = Object.keys(graph).map((key) => [key, ...graph[key].map((n) => n ?? '')].join('\t'));
      fs.writeFileSync(path.join(out, 'graphs', `${name}.txt`), lines.join('\n') + '\n');
    }
    fs.writeFileSync(path.join(out, 'graphs', 'order.txt'), graphNames.join('\n') + '\n');
  }
}
// Lower case as the oracle's JavaScript gives it (String.prototype.toLowerCase
// of each code point on its own; the context rule of the final sigma is
// applied by the library): one line a changed code point, "hex<TAB>hex hex".
const lower = [];
for (let cp = 0; cp <= 0x10ffff; cp += 1) {
  if (cp >= 0xd800 && cp <= 0xdfff) continue;
  const s = String.fromCodePoint(cp);
  const l = s.toLowerCase();
  if (l !== s) lower.push(`${cp.toString(16)}\t${[...l].map((c) => c.codePointAt(0).toString(16)).join(' ')}`);
}
fs.writeFileSync(path.join(here, 'lowercase.txt'), lower.join('\n') + '\n');
// The letters with case and the characters case ignores (Unicode's Cased and
// Case_Ignorable, as node's engine knows them), for the final sigma: one range
// a line, "c" or "i", first and last code point (hexadecimal), tab-separated.
const ranges = [];
for (const [kind, re] of [['c', /\p{Cased}/u], ['i', /\p{Case_Ignorable}/u]]) {
  let start = -1;
  for (let cp = 0; cp <= 0x110000; cp += 1) {
    const inside = cp <= 0x10ffff && !(cp >= 0xd800 && cp <= 0xdfff) && re.test(String.fromCodePoint(cp));
    if (inside && start < 0) start = cp;
    if (!inside && start >= 0 && !(cp >= 0xd800 && cp <= 0xdfff)) {
      ranges.push(`${kind}\t${start.toString(16)}\t${(cp - 1).toString(16)}`);
      start = -1;
    }
  }
}
fs.writeFileSync(path.join(here, 'casing.txt'), ranges.join('\n') + '\n');
const core = JSON.parse(fs.readFileSync(path.join(modules, '@zxcvbn-ts', 'core', 'package.json'), 'utf8'));
fs.writeFileSync(path.join(here, 'VERSIONS'), [`core ${core.version}`, ...versions].join('\n') + '\n');
