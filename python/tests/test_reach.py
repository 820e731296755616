"""The package past English and files: German verdicts equal to klpass's, one call into the
library per estimate and check, user stores by URI with their server key and failure limit, KDBX
files keepassxc-cli made, and protection."""

import json
import os
import pathlib
import shutil
import subprocess

import pytest

import klpassword as klp
from klpassword import _core, _lib

ROOT = pathlib.Path(__file__).resolve().parents[2]
PASSWORDS = (ROOT / "tests" / "capi" / "de-passwords.txt").read_text(encoding="utf-8").splitlines()
HASH_COST = (1024, 1)
PEPPER = "k1 " + "0011223344556677" * 4 + "\n"


def klpass_lines(*args):
    """klpass check's JSON lines for PASSWORDS (KLPASS names the program; run through ctest)."""
    klpass = os.environ.get("KLPASS")
    if not klpass:
        pytest.skip("KLPASS names no built klpass to compare with")
    out = subprocess.run([klpass, "check", *args, "--json", "--stdin"], input="\n".join(PASSWORDS) + "\n",
                         capture_output=True, text=True)
    lines = out.stdout.splitlines()
    assert len(lines) == len(PASSWORDS), out.stderr
    return [json.loads(line) for line in lines]


def test_german_estimates_equal_klpass():
    estimator = klp.Estimator(language="de")
    for password, theirs in zip(PASSWORDS, klpass_lines("--lang", "de")):
        mine = estimator.estimate(password)
        assert (mine.profile, mine.language) == ("zxcvbn-ts", "de")
        assert (mine.score, mine.guesses, round(mine.guesses_log10, 4)) == (theirs["score"], theirs["guesses"],
                                                                            theirs["guesses_log10"]), password
        f = theirs["feedback"]
        assert mine.feedback == klp.Feedback(f["warning"], tuple(f["suggestions"]), f["warning_key"],
                                             tuple(f["suggestion_keys"])), password
        assert list(mine.crack_times_display.values()) == list(theirs["crack_times_display"].values())
        assert list(mine.crack_times_seconds.values()) == list(theirs["crack_times_seconds"].values())
        assert klp.estimate(password, language="de") == mine  # the shared estimator gives the same
        assert json.loads(estimator.estimate_json(password))["feedback"] == f


def test_german_nist_checks_equal_klpass():
    policy = klp.Policy.nist(min_score=3).set_strength_model(language="de")
    for password, theirs in zip(PASSWORDS, klpass_lines("--policy", "nist", "--lang", "de", "--min-score", "3")):
        result = policy.check(password)
        assert result.as_dict() == theirs, password
        assert result.ok is theirs["ok"] and bool(result) is theirs["ok"]
        assert [(f.code, f.message, f.parameters) for f in result.failures] == [
            (f["code"], f["message"], f["parameters"]) for f in theirs["failures"]]
    assert not klp.check("Schmetterling1", language="de").ok  # too short for NIST and too weak in German


@pytest.mark.parametrize("language, score", [(None, 4), ("de", 1), ("fr", 4), (["fr", "de"], 1)])
def test_language_packs_change_the_verdict(language, score):
    assert klp.estimate("Schmetterling", language=language).score == score
    assert "de" in klp.languages() and klp.languages()[0] == "en"


@pytest.mark.parametrize("build", [lambda: klp.Estimator(language="xx"), lambda: klp.Estimator(profile="nope"),
                                   lambda: klp.Policy().set_strength_model(language=["de", "xx"])])
def test_unknown_models_are_refused(build):
    with pytest.raises(klp.InvalidArgument):
        build()


class Counting:
    """Stands in for the library and counts the calls made through it."""

    def __init__(self, lib):
        self.lib, self.calls = lib, []

    def __getattr__(self, name):
        target = getattr(self.lib, name)
        counting = self

        class Wrapper:
            argtypes = target.argtypes

            def __call__(self, *args):
                counting.calls.append(name)
                return target(*args)

        return Wrapper()


@pytest.mark.parametrize("run", [lambda: klp.Estimator(language="de"), lambda: klp.Policy.nist(min_score=2)])
def test_one_library_call_per_estimate_or_check(monkeypatch, run):
    handle = run()
    counting = Counting(_core.lib)
    monkeypatch.setattr(_core, "lib", counting)
    for password in PASSWORDS[:5] + ["x" * 3000]:  # the last one's long answer still fits
        (handle.estimate if isinstance(handle, klp.Estimator) else handle.check)(password)
    assert len(counting.calls) == 6 and len(set(counting.calls)) == 1


def _policies():
    """Policies whose answers reach every kind of field: failures with numbers and with texts that
    need escaping, suggestions, texts beyond ASCII, guesses from tiny to huge."""
    custom = (klp.Policy().add_length(6, 20).add_rule(klp.Rule.DIGIT).add_rule(klp.Rule.KEYBOARD_SEQUENCE, 4)
              .add_text_rule(klp.TextRule.USERNAME, 'bo"b\\\x01\t')
              .add_text_rule(klp.TextRule.FORBIDDEN_PATTERN, r"\d{4}").add_user_attributes([("user name", "gandalf")]))
    return [klp.Policy.nist(), klp.Policy.nist(min_score=3).set_strength_model(language="de"),
            klp.Policy.nist(multi_factor=True).set_strength_model(language="pl"), custom]


_ODD = ["", "x" * 3000, 'bo"b\\\x01\tx-2024', "Gandalf1", "asdf-qwer", "\u017c\u00f3\u0142\u0107 g\u0119\u015bl\u0105",
        "kx8#Lq2!vZ0pW9r-kx8#Lq2!vZ0pW9r-kx8#Lq2", "\U0001f600\U0001f600"]


@pytest.mark.parametrize("policy", _policies(), ids=["nist", "nist-de", "nist-pl", "custom"])
def test_a_checks_json_line_is_the_librarys_own(policy):
    """A check without a language of its own reads the fields alone and forms the line when asked:
    the very line klp_policy_check_json gives, and the same result as a check the library forms
    the line for."""
    for password in PASSWORDS[:60] + _ODD:
        result = policy.check(password)
        with _lib.Secret(password) as buffer:
            theirs = _lib.read_json(_core.lib.klp_policy_check_json, policy._h, buffer)[1]
        assert result.json == theirs, password
        assert result == policy.check(password, lang=result.strength.language), password


@pytest.mark.parametrize("value, text", [
    (0.0003, "3e-04"), (1e16, "1e+16"), (123.0, "123"), (0.5, "0.5"), (1.2345e-05, "1.2345e-05"),
    (10000.0, "10000"), (100000.0, "1e+05"),  # a tie goes to the fixed form
    (2.0 ** 63, "9223372036854775808"), (123456.7, "123456.7"), (1e-7, "1e-07"), (0.0, "0"), (-2.5, "-2.5")])
def test_json_numbers_are_written_as_the_library_writes_them(value, text):
    assert _core._json_number(value) == text


def test_a_checks_strength_is_the_estimate_and_the_result_keeps_its_shape():
    import dataclasses
    import pickle

    policy, estimator = klp.Policy.nist(), klp.Estimator()
    for password in ["Password", "correct horse battery staple", "x"]:
        result = policy.check(password)
        assert result.strength == estimator.estimate(password)
        assert (result.score, result.guesses_log10, result.feedback) == (
            result.strength.score, result.strength.guesses_log10, result.strength.feedback)
        copy = pickle.loads(pickle.dumps(policy.check(password)))
        assert copy == result and dataclasses.asdict(copy) == dataclasses.asdict(result)
    assert klp.CheckResult.strength is None  # the field's default, as before
    made = klp.CheckResult(True, 4, 12.0, klp.Feedback(), (), "{}")
    assert made.strength is None and made.json == "{}"


def race(call, items, change):
    """Runs call(item) for every item on four threads while change() runs on this one, and
    returns every outcome: a result, or the message of the InvalidArgument it raised."""
    import threading
    outcomes, start = [], threading.Barrier(5)

    def work():
        start.wait()
        for item in items:
            try:
                outcomes.append(call(item))
            except klp.InvalidArgument as e:
                outcomes.append(str(e))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    start.wait()
    change()
    for t in threads:
        t.join()
    return outcomes


def test_checks_beside_changes_and_close_lose_nothing():
    """Checks on four threads while the policy gains rules and then closes: each sees the rules
    before or after a change, never half of one, and each failure is the closed policy's."""
    policy = klp.Policy()

    def change():
        policy.add_rule(klp.Rule.DIGIT)
        policy.add_blocklist(["abc"])
        policy.close()

    outcomes = race(lambda _: tuple(f.code for f in policy.check("abc").failures), range(300), change)
    assert len(outcomes) == 4 * 300
    assert set(outcomes) <= {(), ("INSUFFICIENT_DIGIT",), ("INSUFFICIENT_DIGIT", "BLOCKLISTED"),
                             "the Policy is closed"}


def postgres_uri(tmp_path):
    state = os.environ.get("KL_TEST_POSTGRES_FILE")
    if not state or not pathlib.Path(state).read_text().startswith("postgresql://"):
        pytest.skip("no PostgreSQL test cluster (run through ctest)")
    server = pathlib.Path(state).read_text().strip()
    name = f"py_reach_{os.getpid()}_{tmp_path.name}".lower().replace("-", "_")[:60]
    subprocess.run(["psql", "-q", server, "-c", f"CREATE DATABASE {name}"], check=True, capture_output=True)
    return server.replace(":///postgres?", f":///{name}?")


@pytest.fixture(params=["text", "sqlite", "postgresql"])
def store_uri(request, tmp_path):
    if request.param == "text":
        return str(tmp_path / "users.txt")
    return f"sqlite:{tmp_path / 'users.db'}" if request.param == "sqlite" else postgres_uri(tmp_path)


def test_store_by_uri_locks_out_and_unlocks(store_uri):
    with klp.UserDatabase.open_uri(store_uri, create=True, pepper=PEPPER, max_failures=3,
                                   hash_cost=HASH_COST) as db:
        assert db.add("alice", "right-pass-1") == 1
        assert db.verify("alice", "right-pass-1") is True
        assert [db.verify("alice", f"wrong-{i}") for i in range(3)] == [False] * 3
        with pytest.raises(klp.AccountLocked):
            db.verify("alice", "right-pass-1")  # the right password refused once locked
        assert db.failure_count("alice") == 3
        db.unlock("alice")
        assert db.verify("alice", "right-pass-1") is True and db.failure_count("alice") == 0
    with pytest.raises(klp.AlreadyExists):
        klp.UserDatabase.open_uri(store_uri, create=True)
    # Another connection: the limit and the user are in the store, the record needs its key.
    with klp.UserDatabase.open_uri(store_uri, hash_cost=HASH_COST) as again:
        assert again.max_failures == 3 and [u.name for u in again.users()] == ["alice"]
        with pytest.raises(klp.PepperError):
            again.verify("alice", "right-pass-1")
        again.set_pepper(PEPPER)
        assert again.verify("alice", "right-pass-1") is True


def test_unreachable_server_and_bounds():
    with pytest.raises(klp.Unavailable):
        klp.UserDatabase.open_uri("postgresql:///none?host=/nonexistent-klp&port=1&connect_timeout=2")
    before = klp.hash_concurrency()
    try:
        klp.set_hash_concurrency(1, wait_ms=250)
        assert klp.hash_concurrency() == (1, 250)
    finally:
        klp.set_hash_concurrency(0, wait_ms=before[1])
    with pytest.raises(klp.InvalidArgument):
        klp.set_hash_concurrency(-1)


@pytest.fixture
def kdbx_files(tmp_path):
    if not shutil.which("keepassxc-cli"):
        pytest.fail("keepassxc-cli (Debian package keepassxc) is not installed")
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")

    def kpx(stdin, *args):
        subprocess.run(["keepassxc-cli", *args], input=stdin, env=env, check=True, capture_output=True, text=True)

    kpx("kp-pass\nkp-pass\n", "db-create", "-p", "-t", "100", str(tmp_path / "pw.kdbx"))
    kpx("kp-pass\nsecret-mail\n", "add", "-p", "-u", "bob", str(tmp_path / "pw.kdbx"), "Mail")
    kpx("", "db-create", "-t", "100", "--set-key-file", str(tmp_path / "key.keyx"), str(tmp_path / "key.kdbx"))
    kpx("pw-key\n", "add", "--no-password", "-k", str(tmp_path / "key.keyx"), "-p", "-u", "carol",
        str(tmp_path / "key.kdbx"), "Bank")
    return tmp_path


def test_kdbx_files_of_keepassxc_open(kdbx_files):
    with pytest.raises(klp.WrongPassword):
        klp.Vault.open(kdbx_files / "pw.kdbx", "not-it")
    with klp.Vault.open(kdbx_files / "pw.kdbx", "kp-pass") as vault:
        record = vault.get(0)
        assert (len(vault), record.title, record.username, record.password) == (1, "Mail", "bob", "secret-mail")
        assert vault.kdbx and vault.kdbx_version in (0x00030001, 0x00040000, 0x00040001)
    with pytest.raises(klp.WrongPassword):
        klp.Vault.open(kdbx_files / "key.kdbx")
    key = kdbx_files / "key.keyx"
    settings = klp.KdbxSettings("argon2id", "chacha20", 2, 8 << 20, 1)
    with klp.Vault.open(kdbx_files / "key.kdbx", key_file=key) as vault:
        assert (vault.get(0).title, vault.get(0).password) == ("Bank", "pw-key")
        with pytest.raises(klp.InvalidArgument):
            vault.kdbx_settings = klp.KdbxSettings("argon2id", "aes256", 0, 8 << 20, 1)
        vault.kdbx_settings = settings
        vault.add("Added", username="dave", password="pw-added")
        vault.save()
    with klp.Vault.open(kdbx_files / "key.kdbx", key_file=key) as vault:
        assert [vault.get(i).password for i in range(len(vault))] == ["pw-key", "pw-added"]
        assert vault.kdbx_settings == settings


@pytest.mark.parametrize("scope", ["user", "machine"])
def test_protect_round_trips_and_refuses_tampering(tmp_path, monkeypatch, scope):
    monkeypatch.setenv("KLPASSWORD_KEY_DIR", str(tmp_path / "keys"))
    monkeypatch.setenv("KLPASSWORD_MACHINE_ID_FILE", str(tmp_path / "machine-id"))
    monkeypatch.setenv("KLPASSWORD_MACHINE_KEY_FILE", str(tmp_path / "machine.key"))
    (tmp_path / "machine-id").write_text("0123456789abcdef0123456789abcdef\n")
    data = klp.protect("pässwörd ☃", scope=scope)
    assert b"p\xc3\xa4ssw" not in data and klp.unprotect(data) == "pässwörd ☃"
    with pytest.raises(klp.DamagedFile):
        klp.unprotect(data[:-1] + bytes([data[-1] ^ 1]))
    file = tmp_path / "secret.bin"
    klp.protect_file(file, "file-secret", scope=scope)
    assert klp.unprotect_file(file) == "file-secret" and (file.stat().st_mode & 0o077) == 0
    with pytest.raises(klp.InvalidArgument):
        klp.protect("x", scope="everyone")


def test_estimator_close_waits_for_estimates_and_refuses_later_ones():
    estimator = klp.Estimator(language="de")
    assert estimator.estimate(bytearray(b"Schmetterling")) == estimator.estimate("Schmetterling")
    outcomes = race(lambda password: estimator.estimate(password).language, PASSWORDS * 3, estimator.close)
    assert len(outcomes) == 4 * 3 * len(PASSWORDS)  # nothing lost, every failure explained
    assert set(outcomes) <= {"de", "the Estimator is closed"}
    with pytest.raises(klp.InvalidArgument):
        estimator.estimate("x")
