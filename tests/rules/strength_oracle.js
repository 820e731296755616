// Runs the reference strength estimator over passwords given one JSON string a
// line. "score" mode writes "score guesses_log10" a line; "time" mode writes
// the nanoseconds per password of ROUNDS passes.
//   node strength_oracle.js MODULE_DIR INPUT OUTPUT score|time [ROUNDS]
const fs = require("fs");
const [moduleDir, input, output, mode, rounds] = process.argv.slice(2);
const zxcvbn = require(moduleDir);
const passwords = fs.readFileSync(input, "utf8").split("\n").filter(l => l.length > 0).map(l => JSON.parse(l));
if (mode === "time") {
  const n = Number(rounds || 1);
  for (const p of passwords.slice(0, 200)) zxcvbn(p);  // warm up the JIT
  const start = process.hrtime.bigint();
  for (let r = 0; r < n; ++r) for (const p of passwords) zxcvbn(p);
  const ns = Number(process.hrtime.bigint() - start) / (n * passwords.length);
  fs.writeFileSync(output, String(ns) + "\n");
} else {
  fs.writeFileSync(output, passwords.map(p => { const r = zxcvbn(p); return r.score + " " + r.guesses_log10; }).join("\n") + "\n");
}
