// The guide's web page sample (examples/tour/meter.html) in headless Chromium:
// served with the built npm package beside it, offline, it moves the meter and
// enables the button only for a password the NIST policy accepts, and shows
// the policy's reasons otherwise.
// Usage: node meter_test.mjs PAGE PACKAGE_DIR NODE_MODULES CHROMIUM
import { copyFileSync, mkdtempSync, rmSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { serve } from '../web/serve.mjs';

const [page, packageDir, modules, chromiumPath] = process.argv.slice(2);
const { chromium } = createRequire(join(modules, 'x.js'))('playwright-core');
const site = mkdtempSync(join(tmpdir(), 'klpassword-meter-'));
copyFileSync(page, join(site, 'index.html'));
const { server, origin } = await serve({ '/': site, '/klpassword/': packageDir });
const profile = mkdtempSync(join(tmpdir(), 'klpassword-chromium-'));
const browser = await chromium.launchPersistentContext(profile, {
  executablePath: chromiumPath, headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking', '--disable-sync'],
});
const problems = [];
try {
  await browser.route('**/*', (route) =>
    route.request().url().startsWith(origin + '/') ? route.continue() : (problems.push(route.request().url()), route.abort()));
  const tab = browser.pages()[0] ?? await browser.newPage();
  tab.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
  await tab.goto(origin + '/');
  await tab.waitForSelector('body[data-ready="true"]', { timeout: 120000 });
  const state = async (typed) => {
    await tab.fill('#password', typed);
    return tab.evaluate(() => ({ score: document.getElementById('meter').value,
      reasons: document.getElementById('reasons').textContent, disabled: document.getElementById('submit').disabled }));
  };
  const weak = await state('Password');
  if (weak.score !== 0 || !weak.disabled || !weak.reasons.includes('at least 15 characters'))
    problems.push(`'Password': ${JSON.stringify(weak)}`);
  const strong = await state('tangerine voltage meadow harbour');
  if (strong.score !== 4 || strong.disabled || strong.reasons !== '')
    problems.push(`a long passphrase: ${JSON.stringify(strong)}`);
} finally {
  await browser.close();
  server.close();
  rmSync(profile, { recursive: true, force: true });
  rmSync(site, { recursive: true, force: true });
}
if (problems.length) {
  console.error(problems.join('\n'));
  process.exit(1);
}
console.log('PASSED');
