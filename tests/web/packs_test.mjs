// The language packs under Node, through the package as built: damaged pack
// files are refused with a message that says why and leave the language
// unloaded; the whole file then loads, once, and its words and texts count.
// Usage: node packs_test.mjs --package DIR
import { readFileSync } from 'node:fs';
import { join } from 'node:path';

const dir = process.argv[process.argv.indexOf('--package') + 1];
const core = await (await import(join(dir, 'klpassword-core.js'))).default({
  wasmBinary: readFileSync(join(dir, 'klpassword-core.wasm')),
});
const problems = [];

function load(bytes) {
  const at = core._malloc(bytes.length || 1);
  core.HEAPU8.set(bytes, at);
  const out = core._klw_load_pack(at, bytes.length);
  core._klw_free(at, bytes.length || 1);
  if (!out) return { error: core.UTF8ToString(core._klw_last_error()) };
  const code = core.UTF8ToString(out);
  core._klw_free(out, code.length + 1);
  return { code };
}

function check(password, language) {
  const put = (s) => {
    const b = new TextEncoder().encode(`${s}\0`);
    const at = core._malloc(b.length);
    core.HEAPU8.set(b, at);
    return at;
  };
  const [pw, empty, langs] = [put(password), put(''), put(language)];
  const out = core._klw_check(pw, 4, 0, empty, empty, 0, langs);
  const result = out ? JSON.parse(core.UTF8ToString(out)) : { error: core.UTF8ToString(core._klw_last_error()) };
  for (const p of [pw, empty, langs, out]) if (p) core._free(p);
  return result;
}

const file = (code) => new Uint8Array(readFileSync(join(dir, 'packs', `${code}.klpack`)));
const text = (bytes) => new TextDecoder().decode(bytes);
const bytes = (s) => new TextEncoder().encode(s);
const de = file('de');
const deText = text(de);
const firstList = deText.indexOf('list ');
const firstSize = deText.slice(firstList).split('\n')[0].split(' ')[2];

// Each damage, and the words its refusal must name.
const DAMAGED = [
  ['empty', new Uint8Array(0), /no pack header/],
  ['another format', bytes('PK\u0003\u0004 not a pack'), /no pack header/],
  ['an unknown pack', bytes(deText.replace('pack de\n', 'pack xx\n')), /unknown pack 'xx'/],
  ['cut short', de.subarray(0, de.length - 200), /cut short|end/],
  ['a list longer than the file', bytes(deText.replace(`list commonWords-de ${firstSize}`, 'list commonWords-de 99999999')),
    /cut short/],
  ['a length that is no number', bytes(deText.replace(`list commonWords-de ${firstSize}`, 'list commonWords-de 12x')),
    /bad length/],
  ['bytes after the end', bytes(`${deText}more`), /bytes after it/],
  ['a byte that is not UTF-8', Uint8Array.from([...de.subarray(0, firstList + 40), 0xff, ...de.subarray(firstList + 41)]),
    /UTF-8/],
];

for (const [what, damaged, reason] of DAMAGED) {
  const got = load(damaged);
  if (!got.error || !reason.test(got.error)) problems.push(`${what}: ${JSON.stringify(got)}`);
}
// Nothing of the damaged files was kept: German is not loaded yet.
if (!/'common' is not loaded/.test(check('Schmetterling', 'de').error ?? '')) {
  problems.push('an estimate in German ran before its packs were loaded');
}
for (const code of ['common', 'en', 'de', 'de']) {
  const got = load(file(code));
  if (got.code !== code) problems.push(`loading ${code}: ${JSON.stringify(got)}`);
}
// The German words and texts are in use: 'Schmetterling' is a common German word.
const german = check('Schmetterling', 'de');
if (german.score !== 1 || german.language !== 'de' || !german.crack_times_display.online_throttling_100_per_hour.endsWith('Tage')) {
  problems.push(`German estimate: ${JSON.stringify(german)}`);
}
if (!/'fr' is not loaded/.test(check('papillon', 'fr').error ?? '')) problems.push('French estimated without its pack');

if (problems.length) {
  console.error(`FAILED:\n  ${problems.join('\n  ')}`);
  process.exit(1);
}
console.log(`language packs: ${DAMAGED.length} damaged files refused, the whole ones loaded and used`);
