// Times KLPasswordSDK's check beside zxcvbn 4.4.2 and @zxcvbn-ts/core in one
// page: the time from starting to load each to its first estimate, then
// estimates per second over the same passwords, in interleaved rounds so that
// a busy machine slows all three alike. Results go to window.benchResult.
// run.mjs serves the passwords (/corpus/passwords.json) and zxcvbn-ts's
// bundles minified (/min/).
const ROUNDS = 5;
const ROUND_MS = 600;

function loadScript(src) {
  return new Promise((resolve, reject) => {
    const s = document.createElement('script');
    s.src = src;
    s.onload = resolve;
    s.onerror = () => reject(new Error(`cannot load ${src}`));
    document.head.append(s);
  });
}

const estimators = [
  ['KLPasswordSDK', async () => {
    const kl = await import('/klpassword/klpassword.js');
    return (p) => kl.check(p).score;
  }],
  ['zxcvbn 4.4.2', async () => {
    await loadScript('/node_modules/zxcvbn/dist/zxcvbn.js');
    return (p) => window.zxcvbn(p).score;
  }],
  ['@zxcvbn-ts/core', async () => {
    await loadScript('/min/core/zxcvbn-ts.min.js');
    await loadScript('/min/language-common/zxcvbn-ts.min.js');
    await loadScript('/min/language-en/zxcvbn-ts.min.js');
    const { core } = window.zxcvbnts;
    const common = window.zxcvbnts['language-common'];
    const en = window.zxcvbnts['language-en'];
    const factory = new core.ZxcvbnFactory({
      translations: en.translations, graphs: common.adjacencyGraphs,
      dictionary: { ...common.dictionary, ...en.dictionary },
    });
    return (p) => factory.check(p).score;
  }],
];

async function main() {
  const list = await (await fetch('/corpus/passwords.json')).json();
  const results = {};
  const run = {};
  // Loaded one after the other, so that each load has the page to itself.
  for (const [name, load] of estimators) {
    const start = performance.now();
    const estimate = await load();
    estimate(list[0]);
    results[name] = { firstEstimateMs: performance.now() - start, perSecond: [] };
    run[name] = estimate;
  }
  for (let round = 0; round < ROUNDS; ++round) {
    for (const [name] of estimators) {
      let done = 0;
      const start = performance.now();
      while (performance.now() - start < ROUND_MS) {
        for (const p of list) run[name](p);
        done += list.length;
      }
      results[name].perSecond.push(done / ((performance.now() - start) / 1000));
    }
  }
  for (const r of Object.values(results)) {
    const sorted = [...r.perSecond].sort((a, b) => a - b);
    r.medianPerSecond = sorted[Math.floor(sorted.length / 2)];
  }
  window.benchResult = results;
  document.getElementById('out').textContent = JSON.stringify(results, null, 2);
}

main().catch((e) => { window.benchResult = { error: e.message }; });
