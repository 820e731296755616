// Runs zxcvbn-ts under node, configured with the common pack, English and a
// language (as the library's zxcvbn-ts profile with SetLanguages({LANG})), over
// passwords given one JSON string a line. "score" mode writes
// "score guesses_log10" a line; "detail" mode adds the covering as JSON; "time"
// mode writes the processor and the wall nanoseconds per password of ROUNDS passes.
//   node strength_ts_oracle.js NODE_MODULES LANG INPUT OUTPUT score|detail|time [ROUNDS]
const fs = require("fs");
const { createRequire } = require("module");
const path = require("path");
const [modules, lang, input, output, mode, rounds] = process.argv.slice(2);
const load = createRequire(path.join(modules, "index.js"));
const { ZxcvbnFactory } = load("@zxcvbn-ts/core");
const common = load("@zxcvbn-ts/language-common");
const en = load("@zxcvbn-ts/language-en");
const packs = [common, en];
for (const code of lang.split(",").filter((c) => c && c !== "en")) packs.push(load(`@zxcvbn-ts/language-${code}`));
// The packs' own dictionaries, unaltered; a later pack's list of a name takes
// the place of an earlier one's.
const dictionary = {};
for (const pack of packs) Object.assign(dictionary, pack.dictionary);
const zxcvbn = new ZxcvbnFactory({ dictionary, graphs: common.adjacencyGraphs, translations: en.translations });
const passwords = fs.readFileSync(input, "utf8").split("\n").filter((l) => l.length > 0).map((l) => JSON.parse(l));
if (mode === "time") {
  // Processor time (user and system, every thread of node), which a busy
  // machine does not inflate as it does the wall time; the wall time follows.
  const n = Number(rounds || 1);
  for (const p of passwords.slice(0, 200)) zxcvbn.check(p); // warm up the JIT
  const start = process.hrtime.bigint();
  const cpuStart = process.cpuUsage();
  for (let r = 0; r < n; ++r) for (const p of passwords) zxcvbn.check(p);
  const cpu = process.cpuUsage(cpuStart);
  const wall = Number(process.hrtime.bigint() - start) / (n * passwords.length);
  fs.writeFileSync(output, `${((cpu.user + cpu.system) * 1000) / (n * passwords.length)} ${wall}\n`);
} else {
  const lines = passwords.map((p) => {
    const r = zxcvbn.check(p);
    let line = `${r.score} ${r.guessesLog10}`;
    if (mode === "detail")
      line += " " + JSON.stringify(r.sequence.map((m) => [m.pattern, m.i, m.j, m.guesses, m.dictionaryName || m.graph || ""]));
    return line;
  });
  fs.writeFileSync(output, lines.join("\n") + "\n");
}
