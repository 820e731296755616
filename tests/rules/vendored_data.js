// Compares the estimator's vendored data with the npm packages it was taken
// from, as they are installed (nothing of them is altered here): every word
// list word by word and in order, the keyboard graphs key by key, each
// zxcvbn-ts pack's list names, licence files and texts. Prints each difference
// (the first few of a file) and exits 1 on any; exits 77 when a package is
// not installed (the test then reports itself skipped).
//   node vendored_data.js SOURCE_DIR ZXCVBN_MODULE_DIR ZXCVBN_TS_NODE_MODULES
const fs = require("fs");
const path = require("path");
const { createRequire } = require("module");

const [source, zxcvbnDir, tsModules] = process.argv.slice(2).map((a) => path.resolve(a));
if (!source || !zxcvbnDir || !tsModules) {
  console.error("usage: node vendored_data.js SOURCE_DIR ZXCVBN_MODULE_DIR ZXCVBN_TS_NODE_MODULES");
  process.exit(2);
}
const packs = ["common", "en", "de", "fr", "es-es", "it", "nl-be", "pl", "pt-br"];
const missing = [path.join(zxcvbnDir, "package.json"),
  ...packs.map((p) => path.join(tsModules, "@zxcvbn-ts", `language-${p}`, "package.json"))].filter((f) => !fs.existsSync(f));
if (missing.length > 0) {
  console.log(`not installed: ${missing.join(", ")}`);
  process.exit(77);
}

let failures = 0;
let compared = 0;
function fail(what) {
  ++failures;
  console.log(what);
}
// A file of one entry a line against the package's entries, in order.
function sameLines(file, expected) {
  ++compared;
  if (!fs.existsSync(file)) return fail(`${file}: missing`);
  const text = fs.readFileSync(file, "utf8");
  if (!text.endsWith("\n")) return fail(`${file}: no final newline`);
  const lines = text.slice(0, -1).split("\n");
  let shown = 0;
  for (let i = 0; i < Math.max(lines.length, expected.length); ++i) {
    if (lines[i] === expected[i]) continue;
    if (shown++ < 3) fail(`${file}:${i + 1}: ${JSON.stringify(lines[i])} where the package has ${JSON.stringify(expected[i])}`);
  }
  if (shown > 3) fail(`${file}: ${shown} lines differ in all`);
  if (lines.length !== expected.length) fail(`${file}: ${lines.length} lines, the package ${expected.length}`);
}
function sameBytes(file, original) {
  ++compared;
  if (!fs.existsSync(file)) return fail(`${file}: missing`);
  if (!fs.readFileSync(file).equals(fs.readFileSync(original))) fail(`${file}: differs from ${original}`);
}
// Only the files the extraction writes: nothing else may sit among the lists.
function onlyFiles(dir, names) {
  for (const f of fs.readdirSync(dir)) if (!names.has(f)) fail(`${path.join(dir, f)}: not in the package`);
}

// zxcvbn 4.4.2: the frequency lists and the keyboard graphs.
{
  const dir = path.join(source, "third_party", "zxcvbn");
  const lists = require(path.join(zxcvbnDir, "lib", "frequency_lists.js"));
  const names = Object.keys(lists);
  for (const name of names) sameLines(path.join(dir, "frequency_lists", `${name}.txt`), lists[name]);
  onlyFiles(path.join(dir, "frequency_lists"), new Set(names.map((n) => `${n}.txt`)));
  const graphs = require(path.join(zxcvbnDir, "lib", "adjacency_graphs.js"));
  ++compared;
  const vendored = JSON.parse(fs.readFileSync(path.join(dir, "adjacency_graphs.json"), "utf8"));
  if (JSON.stringify(vendored) !== JSON.stringify(graphs)) fail(`${dir}/adjacency_graphs.json: differs from the package`);
}

// zxcvbn-ts: each pack's dictionaries (as its own code decompresses them),
// list names, graphs, licence files and translated texts.
(async () => {
  const load = createRequire(path.join(tsModules, "index.js"));
  for (const pack of packs) {
    const dir = path.join(source, "third_party", "zxcvbn-ts", pack);
    const packDir = path.join(tsModules, "@zxcvbn-ts", `language-${pack}`);
    const module = load(`@zxcvbn-ts/language-${pack}`);
    const names = Object.keys(module.dictionary);
    sameLines(path.join(dir, "dictionaries.txt"), names);
    for (const name of names) sameLines(path.join(dir, `${name}.txt`), module.dictionary[name].map(String));
    const expected = new Set([...names.map((n) => `${n}.txt`), "dictionaries.txt"]);
    for (const file of ["LICENSE.txt", "NOTICE.md", "THIRD_PARTY_LICENSES.md"]) {
      if (!fs.existsSync(path.join(packDir, file))) continue;
      sameBytes(path.join(dir, file), path.join(packDir, file));
      expected.add(file);
    }
    if (module.adjacencyGraphs) {
      const graphNames = Object.keys(module.adjacencyGraphs);
      sameLines(path.join(dir, "graphs", "order.txt"), graphNames);
      for (const name of graphNames) {
        const graph = module.adjacencyGraphs[name];
        sameLines(path.join(dir, "graphs", `${name}.txt`),
          Object.keys(graph).map((key) => [key, ...graph[key].map((n) => n ?? "")].join("\t")));
      }
      expected.add("graphs");
    }
    if (module.translations) {
      ++compared;
      const t = JSON.parse(fs.readFileSync(path.join(dir, "translations.json"), "utf8"));
      const version = JSON.parse(fs.readFileSync(path.join(packDir, "package.json"), "utf8")).version;
      if (t.version !== version) fail(`${dir}/translations.json: version ${t.version}, the pack ${version}`);
      for (const section of ["warnings", "suggestions", "timeEstimation"])
        for (const [key, text] of Object.entries(t[section] || {}))
          if (module.translations[section][key] !== text)
            fail(`${dir}/translations.json: ${section}.${key} ${JSON.stringify(text)} where the pack has ` +
              JSON.stringify(module.translations[section][key]));
      expected.add("translations.json");
    }
    onlyFiles(dir, expected);
  }
  console.log(`${compared} files compared with the installed packages, ${failures} differences`);
  process.exit(failures === 0 ? 0 : 1);
})().catch((e) => {
  console.error(e);
  process.exit(1);
});
