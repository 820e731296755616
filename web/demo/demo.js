// The demonstration page: a strength meter over the library's check, and the
// generator. Everything runs in this page; nothing is sent anywhere. The
// verdict shown is the policy's (the server's); the meter beside it shows the
// estimate's score in the verdict's colour, so the two never disagree.
import { check, generate, isLanguageLoaded, loadLanguage, passphrase } from './klpassword/klpassword.js';

const $ = (id) => document.getElementById(id);

const SCORE_WORDS = ['Very weak', 'Weak', 'Fair', 'Strong', 'Very strong'];
function list(element, items) {
  element.replaceChildren(...items.map((item) => {
    const li = document.createElement('li');
    li.textContent = item;
    return li;
  }));
}

function checkOptions() {
  const options = {
    policy: $('policy').value,
    user: $('user').value,
    userInputs: $('inputs').value.split(',').map((w) => w.trim()).filter((w) => w !== ''),
    multiFactor: $('multi-factor').checked,
    minScore: Number($('min-score').value),
  };
  if ($('language').value !== '') options.language = $('language').value;
  return options;
}

function showEmpty() {
  $('meter').dataset.score = '';
  $('meter').dataset.verdict = 'empty';
  $('meter').setAttribute('aria-valuenow', '0');
  $('strength-word').textContent = '';
  $('verdict').dataset.verdict = 'empty';
  $('verdict').textContent = 'Type a password to see how it fares.';
  list($('failures'), []);
  $('advice').hidden = true;
  $('crack').hidden = true;
}

function update() {
  const password = $('password').value;
  const options = checkOptions();
  let result;
  try {
    result = check(password, options);
  } catch (e) {
    $('json').textContent = '';
    showEmpty();
    $('verdict').dataset.verdict = 'error';
    $('verdict').textContent = e.message;
    return;
  }
  $('json').textContent = JSON.stringify(result);
  if (password === '') {
    showEmpty();
    return;
  }
  const verdict = result.ok ? 'ok' : 'fail';
  $('meter').dataset.score = String(result.score);
  $('meter').dataset.verdict = verdict;
  $('meter').setAttribute('aria-valuenow', String(result.score));
  $('meter').setAttribute('aria-valuetext', SCORE_WORDS[result.score]);
  $('strength-word').textContent = SCORE_WORDS[result.score];
  $('verdict').dataset.verdict = verdict;
  const reasons = result.failures.length;
  $('verdict').textContent = result.ok ? 'Accepted: this password meets the policy.'
    : `Not accepted yet: ${reasons === 1 ? 'one thing' : `${reasons} things`} to change.`;
  list($('failures'), result.failures.map((f) => f.message));
  // The advice is the estimator's about this password. Its general advice
  // ("no need for symbols, digits or upper case", which the classic policy
  // contradicts) comes for an empty password only, which gets none here.
  const { warning, suggestions } = result.feedback;
  $('warning').textContent = warning;
  list($('suggestions'), suggestions);
  $('advice').hidden = warning === '' && suggestions.length === 0;
  $('crack-time').textContent = result.crack_times_display.offline_slow_hashing_1e4_per_second;
  $('crack').hidden = false;
}

// A language is loaded (fetched once) before the check names it; meanwhile
// the choice is held and the page says so.
async function changeLanguage() {
  const language = $('language').value;
  document.body.dataset.language = '';
  if (language !== '' && !isLanguageLoaded(language)) {
    $('status').textContent = `Loading the ${$('language').selectedOptions[0].textContent} word lists…`;
    $('language').disabled = true;
    try {
      await loadLanguage(language);
    } catch (e) {
      $('status').textContent = `The language could not be loaded: ${e.message}`;
      $('language').value = '';
    } finally {
      $('language').disabled = false;
    }
  }
  $('status').textContent = 'Ready.';
  update();
  document.body.dataset.language = $('language').value || 'built-in';
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
$('language').addEventListener('change', changeLanguage);
$('show').addEventListener('click', () => {
  const shown = $('password').type === 'password';
  $('password').type = shown ? 'text' : 'password';
  $('show').textContent = shown ? 'Hide' : 'Show';
  $('show').setAttribute('aria-pressed', String(shown));
});
for (const radio of document.querySelectorAll('input[name="kind"]')) radio.addEventListener('change', showKind);
$('generate').addEventListener('click', runGenerator);
showKind();
update();
$('status').textContent = 'Ready.';
document.body.dataset.language = 'built-in';
document.body.dataset.ready = 'true';
// A browser that restores the form may come back with a language chosen.
if ($('language').value !== '') changeLanguage();
