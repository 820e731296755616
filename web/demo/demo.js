// The demonstration page: a strength meter over the library's check, and the
// generator. Everything runs in this page; nothing is sent anywhere. The
// verdict shown is the policy's (the server's); the meter beside it shows the
// estimate's score in the verdict's colour, so the two never disagree.
import { check, generate, isLanguageLoaded, loadLanguage, passphrase } from './klpassword/klpassword.js';

const $ = (id) => document.getElementById(id);

// The page's own words in each language of the estimator; the built-in
// estimate ('') is English. {time} and {count} are filled in where they stand.
const LABELS = {
  en: {
    title: 'KLPasswordSDK in the browser', choose: 'Choose a password', password: 'Password', show: 'Show',
    hide: 'Hide', strength: 'Strength', settings: 'Settings', generate: 'Generate', ready: 'Ready.',
    loading: 'Loading the word lists…', failed: 'The language could not be loaded: {reason}',
    scores: ['Very weak', 'Weak', 'Fair', 'Strong', 'Very strong'],
    empty: 'Type a password to see how it fares.', accepted: 'Accepted: this password meets the policy.',
    refusedOne: 'Not accepted yet: one thing to change.', refused: 'Not accepted yet: {count} things to change.',
    crack: 'An attacker with a slow hash would need about {time}.',
  },
  de: {
    title: 'KLPasswordSDK im Browser', choose: 'Passwort wählen', password: 'Passwort', show: 'Anzeigen',
    hide: 'Verbergen', strength: 'Stärke', settings: 'Einstellungen', generate: 'Erzeugen', ready: 'Bereit.',
    loading: 'Die Wortlisten werden geladen…', failed: 'Die Sprache konnte nicht geladen werden: {reason}',
    scores: ['Sehr schwach', 'Schwach', 'Mittel', 'Stark', 'Sehr stark'],
    empty: 'Geben Sie ein Passwort ein, um zu sehen, wie es abschneidet.',
    accepted: 'Angenommen: Dieses Passwort erfüllt die Richtlinie.',
    refusedOne: 'Noch nicht angenommen: Eine Sache ist zu ändern.',
    refused: 'Noch nicht angenommen: {count} Dinge sind zu ändern.',
    crack: 'Ein Angreifer bräuchte bei einem langsamen Hash etwa {time}.',
  },
  fr: {
    title: 'KLPasswordSDK dans le navigateur', choose: 'Choisissez un mot de passe', password: 'Mot de passe',
    show: 'Afficher', hide: 'Masquer', strength: 'Robustesse', settings: 'Paramètres', generate: 'Générer',
    ready: 'Prêt.',
    loading: 'Chargement des listes de mots…', failed: 'La langue n\'a pas pu être chargée\u00a0: {reason}', scores: ['Très faible', 'Faible', 'Moyen', 'Fort', 'Très fort'],
    empty: 'Saisissez un mot de passe pour voir ce qu\'il vaut.',
    accepted: 'Accepté\u00a0: ce mot de passe respecte la politique.',
    refusedOne: 'Pas encore accepté\u00a0: une chose à changer.',
    refused: 'Pas encore accepté\u00a0: {count} choses à changer.',
    crack: 'Avec un hachage lent, un attaquant aurait besoin d\'environ {time}.',
  },
  'es-es': {
    title: 'KLPasswordSDK en el navegador', choose: 'Elija una contraseña', password: 'Contraseña', show: 'Mostrar',
    hide: 'Ocultar', strength: 'Fortaleza', settings: 'Ajustes', generate: 'Generar', ready: 'Listo.',
    loading: 'Cargando las listas de palabras…', failed: 'No se pudo cargar el idioma: {reason}',
    scores: ['Muy débil', 'Débil', 'Aceptable', 'Fuerte', 'Muy fuerte'],
    empty: 'Escriba una contraseña para ver cómo resulta.',
    accepted: 'Aceptada: esta contraseña cumple la política.',
    refusedOne: 'Aún no aceptada: hay una cosa que cambiar.',
    refused: 'Aún no aceptada: hay {count} cosas que cambiar.',
    crack: 'Con un hash lento, un atacante necesitaría aproximadamente {time}.',
  },
  it: {
    title: 'KLPasswordSDK nel browser', choose: 'Scegli una password', password: 'Password', show: 'Mostra',
    hide: 'Nascondi', strength: 'Robustezza', settings: 'Impostazioni', generate: 'Genera', ready: 'Pronto.',
    loading: 'Caricamento degli elenchi di parole…', failed: 'Impossibile caricare la lingua: {reason}',
    scores: ['Molto debole', 'Debole', 'Discreta', 'Forte', 'Molto forte'],
    empty: 'Digita una password per vedere come se la cava.',
    accepted: 'Accettata: questa password rispetta i criteri.',
    refusedOne: 'Non ancora accettata: una cosa da cambiare.',
    refused: 'Non ancora accettata: {count} cose da cambiare.',
    crack: 'Con un hash lento, un aggressore impiegherebbe circa {time}.',
  },
  'nl-be': {
    title: 'KLPasswordSDK in de browser', choose: 'Kies een wachtwoord', password: 'Wachtwoord', show: 'Tonen',
    hide: 'Verbergen', strength: 'Sterkte', settings: 'Instellingen', generate: 'Genereren', ready: 'Klaar.',
    loading: 'De woordenlijsten worden geladen…', failed: 'De taal kon niet worden geladen: {reason}',
    scores: ['Zeer zwak', 'Zwak', 'Redelijk', 'Sterk', 'Zeer sterk'],
    empty: 'Typ een wachtwoord om te zien hoe sterk het is.',
    accepted: 'Aanvaard: dit wachtwoord voldoet aan het beleid.',
    refusedOne: 'Nog niet aanvaard: één ding te wijzigen.', refused: 'Nog niet aanvaard: {count} dingen te wijzigen.',
    crack: 'Met een trage hash zou een aanvaller ongeveer {time} nodig hebben.',
  },
  pl: {
    title: 'KLPasswordSDK w przeglądarce', choose: 'Wybierz hasło', password: 'Hasło', show: 'Pokaż', hide: 'Ukryj',
    strength: 'Siła', settings: 'Ustawienia', generate: 'Generuj', ready: 'Gotowe.',
    loading: 'Wczytywanie list słów…', failed: 'Nie udało się wczytać języka: {reason}',
    scores: ['Bardzo słabe', 'Słabe', 'Średnie', 'Silne', 'Bardzo silne'],
    empty: 'Wpisz hasło, aby zobaczyć, jak wypada.', accepted: 'Przyjęte: to hasło spełnia zasady.',
    refusedOne: 'Jeszcze nie przyjęte: jedna rzecz do zmiany.',
    refused: 'Jeszcze nie przyjęte: {count} rzeczy do zmiany.',
    crack: 'Przy wolnym haszowaniu atakujący potrzebowałby około {time}.',
  },
  'pt-br': {
    title: 'KLPasswordSDK no navegador', choose: 'Escolha uma senha', password: 'Senha', show: 'Mostrar',
    hide: 'Ocultar', strength: 'Força', settings: 'Configurações', generate: 'Gerar', ready: 'Pronto.',
    loading: 'Carregando as listas de palavras…', failed: 'Não foi possível carregar o idioma: {reason}',
    scores: ['Muito fraca', 'Fraca', 'Razoável', 'Forte', 'Muito forte'],
    empty: 'Digite uma senha para ver como ela se sai.', accepted: 'Aceita: esta senha cumpre a política.',
    refusedOne: 'Ainda não aceita: uma coisa a mudar.', refused: 'Ainda não aceita: {count} coisas a mudar.',
    crack: 'Com um hash lento, um atacante precisaria de cerca de {time}.',
  },
};
let labels = LABELS.en;

// Puts the page's own words in the language chosen ('' or unknown: English).
function showLabels(language) {
  labels = LABELS[language] ?? LABELS.en;
  document.documentElement.lang = LABELS[language] ? language : 'en';
  document.title = labels.title;
  const texts = { title: 'title', 'checker-title': 'choose', 'password-label': 'password',
    'settings-summary': 'settings', 'generator-title': 'generate', generate: 'generate' };
  for (const [id, key] of Object.entries(texts)) $(id).textContent = labels[key];
  $('show').textContent = $('password').type === 'password' ? labels.show : labels.hide;
  $('meter').setAttribute('aria-label', labels.strength);
  const [lead, tail] = labels.crack.split('{time}');
  $('crack-lead').textContent = lead;
  $('crack-tail').textContent = tail;
}

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
  $('verdict').textContent = labels.empty;
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
  $('meter').setAttribute('aria-valuetext', labels.scores[result.score]);
  $('strength-word').textContent = labels.scores[result.score];
  $('verdict').dataset.verdict = verdict;
  const reasons = result.failures.length;
  $('verdict').textContent = result.ok ? labels.accepted
    : reasons === 1 ? labels.refusedOne : labels.refused.replace('{count}', String(reasons));
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
  let failure = '';
  if (language !== '' && !isLanguageLoaded(language)) {
    // In the language chosen: its words are at hand before its lists are.
    const chosen = LABELS[language] ?? LABELS.en;
    $('status').textContent = chosen.loading;
    $('language').disabled = true;
    try {
      await loadLanguage(language);
    } catch (e) {
      // Said in the language asked for, and left standing: the page goes on
      // with the built-in estimate.
      failure = chosen.failed.replace('{reason}', e.message);
      $('language').value = '';
    } finally {
      $('language').disabled = false;
    }
  }
  showLabels($('language').value);
  $('status').textContent = failure || labels.ready;
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
  $('show').textContent = shown ? labels.hide : labels.show;
  $('show').setAttribute('aria-pressed', String(shown));
});
for (const radio of document.querySelectorAll('input[name="kind"]')) radio.addEventListener('change', showKind);
$('generate').addEventListener('click', runGenerator);
showKind();
update();
$('status').textContent = labels.ready;
document.body.dataset.language = 'built-in';
document.body.dataset.ready = 'true';
// A browser that restores the form may come back with a language chosen.
if ($('language').value !== '') changeLanguage();
