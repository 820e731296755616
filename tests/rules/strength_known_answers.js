// Writes the reference estimator's answers for the known-answer test: reads
// passwords one JSON string a line and writes, a line each, the password as
// JSON, guesses_log10, and the chosen covering as pattern:i-j:guesses_log10
// parts (tab-separated). Run by hand when the password list changes:
//   node strength_known_answers.js MODULE_DIR INPUT OUTPUT
const fs = require("fs");
const [moduleDir, input, output] = process.argv.slice(2);
const zxcvbn = require(moduleDir);
const passwords = fs.readFileSync(input, "utf8").split("\n").filter(l => l.length > 0).map(l => JSON.parse(l));
const year = new Date().getFullYear();
const lines = [`# password\tguesses_log10\tcovering (pattern:i-j:guesses_log10), reference year ${year}`];
for (const p of passwords) {
  const r = zxcvbn(p);
  const parts = r.sequence.map(m => `${m.pattern}:${m.i}-${m.j}:${m.guesses_log10.toPrecision(12)}`);
  lines.push([JSON.stringify(p), r.guesses_log10.toPrecision(12), parts.join(" ")].join("\t"));
}
fs.writeFileSync(output, lines.join("\n") + "\n");
