// Writes the known answers of zxcvbn-ts for the profile's test
// (tests/data/strength_ts_known_answers.txt): for each language, zxcvbn-ts
// configured with the common pack, English and the language, as the packs
// ship them, over SAMPLE_DIR/<language>.txt (one JSON string a line). Run by
// tests/rules/strength_ts_known_answers.sh.
//   node strength_ts_known_answers.js NODE_MODULES SAMPLE_DIR OUTPUT
// A line an answer, tab-separated: language, password (JSON), score,
// guesses_log10, warning key, suggestion keys (space-separated), and the four
// crack times in the language's words (online throttled, online, offline slow
// hashing, offline fast hashing). Keys come from a run without translations.
const fs = require("fs");
const { createRequire } = require("module");
const path = require("path");
const [modules, sampleDir, output] = process.argv.slice(2).map((a) => path.resolve(a));
const load = createRequire(path.join(modules, "index.js"));
const core = load("@zxcvbn-ts/core");
const common = load("@zxcvbn-ts/language-common");
const en = load("@zxcvbn-ts/language-en");
const languages = ["en", "de", "fr", "es-es", "it", "nl-be", "pl", "pt-br"];
const version = (name) => JSON.parse(fs.readFileSync(path.join(modules, name, "package.json"), "utf8")).version;
const year = new Date().getFullYear();
const lines = [`# zxcvbn-ts ${version("@zxcvbn-ts/core")} with @zxcvbn-ts/language-common ${version("@zxcvbn-ts/language-common")}` +
  ` and English, reference year ${year}: language, password, score, guesses_log10, warning key, suggestion keys,` +
  " crack times (online throttled, online, offline slow, offline fast)"];
for (const lang of languages) {
  const pack = lang === "en" ? en : load(`@zxcvbn-ts/language-${lang}`);
  if (lang !== "en") lines.push(`# ${lang}: @zxcvbn-ts/language-${lang} ${version(`@zxcvbn-ts/language-${lang}`)}`);
  // A later pack's list of a name takes the place of an earlier one's.
  const dictionary = Object.assign({}, common.dictionary, en.dictionary, lang === "en" ? {} : pack.dictionary);
  const byKey = new core.ZxcvbnFactory({ dictionary, graphs: common.adjacencyGraphs });
  const inWords = new core.ZxcvbnFactory({ dictionary, graphs: common.adjacencyGraphs, translations: pack.translations });
  const passwords = fs.readFileSync(path.join(sampleDir, `${lang}.txt`), "utf8").split("\n").filter((l) => l.length > 0)
    .map((l) => JSON.parse(l));
  for (const p of passwords) {
    const k = byKey.check(p);
    const t = inWords.check(p);
    const d = t.crackTimes;
    const fields = [lang, JSON.stringify(p), k.score, k.guessesLog10, k.feedback.warning || "", k.feedback.suggestions.join(" "),
      d.onlineThrottlingXPerHour.display, d.onlineNoThrottlingXPerSecond.display, d.offlineSlowHashingXPerSecond.display,
      d.offlineFastHashingXPerSecond.display];
    if (fields.some((f) => String(f).includes("\t") && f !== fields[1])) throw new Error(`a tab in an answer of ${JSON.stringify(p)}`);
    lines.push(fields.join("\t"));
  }
}
fs.writeFileSync(output, lines.join("\n") + "\n");
