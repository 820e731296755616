// Writes the data of the zxcvbn npm package (4.4.2) as plain text files:
// one word a line, most frequent first, for each frequency list, and one key a
// line for each keyboard graph (the key, then its neighbours in the graph's
// order, tab-separated, an empty field where a key has no neighbour).
//   node extract.js <folder holding node_modules/zxcvbn>
const fs = require("fs");
const path = require("path");
const root = path.resolve(process.argv[2] || ".", "node_modules", "zxcvbn");
const version = require(path.join(root, "package.json")).version;
if (version !== "4.4.2") throw new Error("expected zxcvbn 4.4.2, found " + version);
const lists = require(path.join(root, "lib", "frequency_lists"));
const graphs = require(path.join(root, "lib", "adjacency_graphs"));
for (const name of Object.keys(lists)) {
  fs.writeFileSync(path.join(__dirname, name + ".txt"), lists[name].join("\n") + "\n");
}
for (const name of Object.keys(graphs)) {
  const lines = Object.keys(graphs[name]).map(k => [k, ...graphs[name][k].map(n => n || "")].join("\t"));
  fs.writeFileSync(path.join(__dirname, "graph_" + name + ".txt"), lines.join("\n") + "\n");
}
