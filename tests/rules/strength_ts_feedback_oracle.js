// Runs zxcvbn-ts under node configured with the common pack, English and LANG,
// twice over the passwords given one JSON string a line: without translations,
// whose feedback then gives the keys, and with LANG's, for its texts. Writes a line a password, fields tab-separated:
// score, guesses_log10, warning key, suggestion keys, warning, suggestions,
// the four crack times in words (lists joined by U+001E).
//   node strength_ts_feedback_oracle.js NODE_MODULES LANG INPUT OUTPUT
const fs = require("fs");
const { createRequire } = require("module");
const path = require("path");
const [modules, lang, input, output] = process.argv.slice(2);
const load = createRequire(path.join(modules, "index.js"));
const { ZxcvbnFactory } = load("@zxcvbn-ts/core");
const common = load("@zxcvbn-ts/language-common");
const en = load("@zxcvbn-ts/language-en");
const texts = lang === "en" ? en : load(`@zxcvbn-ts/language-${lang}`);
// The packs' own dictionaries, unaltered; a later pack's list of a name takes
// the place of an earlier one's, as in the packs' own dictionaries.
const dictionary = {};
for (const pack of [common, en, ...(lang === "en" ? [] : [texts])]) Object.assign(dictionary, pack.dictionary);
const byKey = new ZxcvbnFactory({ dictionary, graphs: common.adjacencyGraphs });
const inWords = new ZxcvbnFactory({ dictionary, graphs: common.adjacencyGraphs, translations: texts.translations });
const list = (items) => items.join("\u001e");
const passwords = fs.readFileSync(input, "utf8").split("\n").filter((l) => l.length > 0).map((l) => JSON.parse(l));
const lines = passwords.map((p) => {
  const k = byKey.check(p);
  const t = inWords.check(p);
  const d = t.crackTimes;
  return [k.score, k.guessesLog10, k.feedback.warning || "", list(k.feedback.suggestions), t.feedback.warning || "",
    list(t.feedback.suggestions), list([d.onlineThrottlingXPerHour.display, d.onlineNoThrottlingXPerSecond.display,
      d.offlineSlowHashingXPerSecond.display, d.offlineFastHashingXPerSecond.display])].join("\t");
});
fs.writeFileSync(output, lines.join("\n") + "\n");
