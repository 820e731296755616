// The demonstration page: a live meter over the library's check, and the
// generator. Everything runs in this page; nothing is sent anywhere.
import { check, generate, passphrase } from './klpassword/klpassword.js';

const $ = (id) => document.getElementById(id);

function crackTime(seconds) {
  const units = [['century', 3155760000], ['year', 31557600], ['month', 2629800], ['day', 86400],
    ['hour', 3600], ['minute', 60], ['second', 1]];
  if (seconds < 1) return 'less than a second';
  if (seconds >= 100 * 3155760000) return 'centuries';
  for (const [name, size] of units) {
    if (seconds >= size) {
      const n = Math.round(seconds / size);
      return `${n} ${name}${n === 1 ? '' : name === 'century' ? '' : 's'}`.replace('centurys', 'centuries');
    }
  }
  return 'less than a second';
}

function list(element, items) {
  element.replaceChildren(...items.map((item) => {
    const li = document.createElement('li');
    li.textContent = item;
    return li;
  }));
}

function checkOptions() {
  return {
    policy: $('policy').value,
    user: $('user').value,
    userInputs: $('inputs').value.split(',').map((w) => w.trim()).filter((w) => w !== ''),
    multiFactor: $('multi-factor').checked,
    minScore: Number($('min-score').value),
  };
}

function update() {
  const password = $('password').value;
  let result;
  try {
    result = check(password, checkOptions());
  } catch (e) {
    $('json').textContent = '';
    $('warning').textContent = e.message;
    return;
  }
  $('json').textContent = JSON.stringify(result);
  $('meter').value = result.score;
  $('score').textContent = result.score;
  $('verdict').textContent = result.ok ? 'accepted' : 'refused';
  $('verdict').className = `verdict ${result.ok ? 'ok' : 'fail'}`;
  $('crack-time').textContent = crackTime(result.crack_times_seconds.offline_slow_hashing_1e4_per_second);
  $('warning').textContent = result.feedback.warning;
  list($('suggestions'), result.feedback.suggestions);
  list($('failures'), result.failures.map((f) => f.message));
}

function kind() {
  return document.querySelector('input[name="kind"]:checked').value;
}

function showKind() {
  $('password-options').hidden = kind() !== 'password';
  $('passphrase-options').hidden = kind() !== 'passphrase';
}

function runGenerator() {
  const alphabet = {
    upper: $('upper').checked, lower: $('lower').checked, digits: $('digits').checked,
    symbols: $('symbols').checked, noLookAlike: $('no-lookalike').checked, exclude: $('exclude').value,
  };
  const count = Number($('count').value);
  $('generate-error').textContent = '';
  try {
    const made = kind() === 'password'
      ? generate({ ...alphabet, length: Number($('length').value), count, each: $('each').checked })
      : passphrase({ ...alphabet, words: Number($('words').value), separator: $('separator').value,
        capitalize: $('capitalize').checked, insert: $('insert').value, count });
    list($('generated'), made);
  } catch (e) {
    $('generated').replaceChildren();
    $('generate-error').textContent = e.message;
  }
}

for (const id of ['password', 'user', 'inputs']) $(id).addEventListener('input', update);
for (const id of ['policy', 'multi-factor', 'min-score']) $(id).addEventListener('change', update);
$('show').addEventListener('change', () => { $('password').type = $('show').checked ? 'text' : 'password'; });
for (const radio of document.querySelectorAll('input[name="kind"]')) radio.addEventListener('change', showKind);
$('generate').addEventListener('click', runGenerator);
showKind();
update();
$('status').textContent = 'Ready.';
document.body.dataset.ready = 'true';
