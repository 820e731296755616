// Writes <pack>/translations.json beside this script from the installed
// zxcvbn-ts language packs: every warning, suggestion and time text of each
// pack, in the order of the core's key table, with the pack's version and
// licence. The library compiles these files in (cmake/EmbedStrengthTexts.cmake).
//
//   node third_party/zxcvbn-ts/extract-translations.mjs NODE_MODULES_DIR
//
// NODE_MODULES_DIR holds @zxcvbn-ts/core and the language packs (scripts/setup.sh
// installs them); without it, node's own look-up from the working folder is used.
// A pack whose texts are not plain strings for every key of the core is refused:
// the library fills in the count itself and has no place for code.
import { createRequire } from 'node:module';
import { mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

const packs = ['en', 'de', 'fr', 'es-es', 'it', 'nl-be', 'pl', 'pt-br'];
const here = dirname(fileURLToPath(import.meta.url));
const base = process.argv[2] ? resolve(process.argv[2], '..', 'package.json') : join(process.cwd(), 'package.json');
const require = createRequire(base);

const keys = require('@zxcvbn-ts/core/dist/data/translationKeys.cjs');
const sections = Object.keys(keys);

function packageFile(name, file) {
  return join(dirname(require.resolve(`${name}/package.json`)), file);
}

function extract(code) {
  const name = `@zxcvbn-ts/language-${code}`;
  const { version } = JSON.parse(readFileSync(packageFile(name, 'package.json'), 'utf8'));
  const { translations } = require(name);
  const out = { package: name, version };
  for (const section of sections) {
    out[section] = {};
    for (const key of Object.keys(keys[section])) {
      const text = translations?.[section]?.[key];
      if (typeof text !== 'string' || text.length === 0)
        throw new Error(`${name} ${version}: ${section}.${key} is not a text`);
      out[section][key] = text;
    }
  }
  out.license = readFileSync(packageFile(name, 'LICENSE.txt'), 'utf8').replace(/\r\n/g, '\n').trim().split('\n');
  return out;
}

for (const code of packs) {
  const texts = extract(code);
  mkdirSync(join(here, code), { recursive: true });
  writeFileSync(join(here, code, 'translations.json'), `${JSON.stringify(texts, null, 2)}\n`);
  console.log(`${code}: ${texts.package} ${texts.version}`);
}
