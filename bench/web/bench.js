// Times KLPasswordSDK's check beside zxcvbn 4.4.2 and @zxcvbn-ts/core in one
// page: the time from starting to load each to its first estimate, then
// estimates per second over the same passwords, in interleaved rounds so that
// a busy machine slows all three alike. Results go to window.benchResult.
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
    await loadScript('/node_modules/@zxcvbn-ts/core/dist/zxcvbn-ts.js');
    await loadScript('/node_modules/@zxcvbn-ts/language-common/dist/zxcvbn-ts.js');
    await loadScript('/node_modules/@zxcvbn-ts/language-en/dist/zxcvbn-ts.js');
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

function passwords() {
  const words = ['password', 'dragon', 'correct horse battery staple', 'Tr0ub4dor&3', 'qwerty123', 'alice1990!',
    'P@ssw0rd!', 'sunshine', 'xK9#mQ2$vL7&wZ5^', 'iloveyou2024', 'zxcvbnm', 'Summer2019!', 'letmein', 'monkey12',
    'hunter2', '1qaz2wsx', 'ncc1701d', 'Abcdef1!', 'trustno1', 'baseball!'];
  const out = [];
  for (let i = 0; i < 200; ++i) out.push(words[i % words.length] + (i >= words.length ? String(i * 7919 % 1000) : ''));
  return out;
}

async function main() {
  const list = passwords();
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
