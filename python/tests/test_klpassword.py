"""The Python package over the library: verbs, classes, errors, and hashes shared with argon2-cffi."""

import json
import pathlib
import threading

import pytest

import klpassword as klp

CHEAP = {"memory_kib": 1024, "passes": 1}
HASH_COST = (1024, 1)  # (KiB, passes): cheap hashes for the tests
FILE_COST = (8192, 1)  # the least a file key may cost


@pytest.mark.parametrize("maker, verifier", [("klpassword", "argon2"), ("argon2", "klpassword")])
def test_hashes_verify_across_argon2_cffi(maker, verifier):
    argon2 = pytest.importorskip("argon2")
    other = argon2.PasswordHasher(memory_cost=1024, time_cost=1, parallelism=1)
    password = "pässwörd ☃"
    hashed = klp.hash_password(password, **CHEAP) if maker == "klpassword" else other.hash(password)
    if verifier == "argon2":
        assert other.verify(hashed, password)
        with pytest.raises(argon2.exceptions.VerifyMismatchError):
            other.verify(hashed, password + "x")
    else:
        assert klp.verify_password(hashed, password) is True
        assert klp.verify_password(hashed, password + "x") is False


def test_hash_keeps_its_cost_and_rehash_follows_it():
    hashed = klp.hash_password("secret", memory_kib=2048, passes=2)
    assert "$m=2048,t=2," in hashed
    assert klp.needs_rehash(hashed, memory_kib=2048, passes=2) is False
    assert klp.needs_rehash(hashed, memory_kib=4096, passes=2) is True
    assert klp.needs_rehash(hashed, memory_kib=2048, passes=3) is True
    assert klp.needs_rehash(hashed) is True
    assert "$m=65536,t=2,p=1$" in klp.hash_password("secret")  # the library's defaults
    assert klp.needs_rehash("$argon2id$garbage") is True


@pytest.mark.parametrize("bad", ["", "plain text", "$argon2i$v=19$m=1024,t=1,p=1$c2FsdHNhbHQ$aGFzaGhhc2g",
                                 "$argon2id$v=19$m=4194304,t=1,p=1$c2FsdHNhbHRzYWx0$aGFzaGhhc2hoYXNoaGFzaA"])
def test_malformed_or_costly_hash_raises_invalid_hash(bad):
    with pytest.raises(klp.InvalidHash):
        klp.verify_password(bad, "password")


@pytest.mark.parametrize("password, error", [
    ("a\0b", klp.InvalidArgument),  # C would silently cut the password at the NUL
    ("\ud800", klp.InvalidUtf8),
    ("x" * 65536, klp.TooLong),
    (b"\xff\xfe", klp.InvalidUtf8),
])
def test_bad_text_raises_before_anything_is_done(password, error):
    for call in (lambda: klp.hash_password(password, **CHEAP), lambda: klp.estimate(password),
                 lambda: klp.check(password)):
        with pytest.raises(error):
            call()
    assert issubclass(error, ValueError)


@pytest.mark.parametrize("make", [lambda: klp.hash_password("x", memory_kib=2**32 + 1024, passes=1),
                                  lambda: klp.hash_password("x", memory_kib=1024, passes=-1),
                                  lambda: klp.generate(2**32 + 16), lambda: klp.generate(min_length=-(2**32) + 8)])
def test_numbers_too_large_for_c_are_refused_not_wrapped(make):
    with pytest.raises(klp.InvalidArgument):
        make()


def test_bytes_and_bytearray_passwords_equal_their_text():
    hashed = klp.hash_password("ünïcode", **CHEAP)
    assert klp.verify_password(hashed, "ünïcode".encode())
    assert klp.verify_password(hashed, bytearray("ünïcode".encode()))
    with pytest.raises(TypeError):
        klp.verify_password(hashed, 42)
    longest = "é" * (klp.MAX_TEXT_BYTES // 2) + "x"  # exactly the most bytes a text may have
    assert klp.verify_password(klp.hash_password(longest, **CHEAP), longest)


def test_secret_copies_are_zeroed_after_the_call():
    from klpassword._lib import Secret

    for secret in ("hunter2 ☃", bytearray(b"hunter2")):
        with Secret(secret) as buffer:
            assert buffer.value.startswith(b"hunter2")
        assert set(buffer.raw) == {0}


@pytest.mark.parametrize("password, user_inputs, ok, codes", [
    ("Password", (), False, {"TOO_SHORT", "BLOCKLISTED"}),
    ("correct horse battery staple", (), True, set()),
    ("Wonderland-Shop-2024", ("wonderland-shop-2024",), False, {"BLOCKLISTED"}),  # a context word
    ("q" * 65, (), False, {"TOO_LONG"}),
])
def test_check_reports_each_failure_with_code_and_parameters(password, user_inputs, ok, codes):
    result = klp.check(password, user_inputs=user_inputs)
    assert result.ok is ok and bool(result) is ok
    assert {f.code for f in result.failures} == codes
    parsed = json.loads(result.json)
    assert parsed["ok"] is ok and parsed["score"] == result.score
    assert [f["code"] for f in parsed["failures"]] == [f.code for f in result.failures]
    for failure in result.failures:
        assert failure.message and failure.code.isupper()
        assert all(isinstance(v, (int, float, str)) for v in failure.parameters.values())
        assert password not in failure.message and password not in str(failure.parameters)
    if "TOO_SHORT" in codes:
        short = next(f for f in result.failures if f.code == "TOO_SHORT")
        assert short.parameters == {"minimum": 15, "maximum": 64, "length": len(password)}


def test_pieces_of_the_password_stay_out_of_failures():
    with klp.Policy() as policy:
        policy.add_rule(klp.Rule.REPEATED_CHARACTERS, 3).add_rule(klp.Rule.KEYBOARD_SEQUENCE, 4)
        failures = policy.check("qwerty-zzzz").failures
    assert len(failures) == 2 and all(f.parameters == {"minimum": f.parameters["minimum"]} for f in failures)
    assert all("qwerty" not in f.message and "zzz" not in f.message and "***" in f.message for f in failures)


def test_policy_rules_and_context_manager():
    with klp.Policy() as policy:
        policy.add_length(10).add_rule(klp.Rule.DIGIT).add_blocklist(["Letmein-Please"])
        assert len(policy) == 3
        assert policy.check("no digits at all").failures[0].code
        assert not policy.check("letmein-please").ok
        assert policy.check("has digits 123").ok
    with pytest.raises(klp.InvalidArgument):
        policy.check("anything")  # closed
    with pytest.raises(klp.InvalidArgument):
        klp.Policy.nist(min_score=5)
    with klp.Policy.nist(multi_factor=True) as mfa:
        assert mfa.check("Xq7#kP2!").ok != klp.check("Xq7#kP2!").ok


def test_estimate_ranks_guessable_passwords_lower():
    weak, strong = klp.estimate("password"), klp.estimate("o4Vp-3xQ!r9Zk@2mW8")
    assert weak.score == 0 and strong.score == 4
    assert weak.guesses_log10 < strong.guesses_log10
    assert weak.feedback.warning and weak.feedback.suggestions
    assert strong.feedback.warning == ""
    assert set(weak.crack_times_seconds) == set(weak.crack_times_display)
    named = "zebulon-barnaby"
    assert klp.estimate(named, user_inputs=[named]).guesses_log10 < klp.estimate(named).guesses_log10


def test_generator_settings_shape_what_it_makes():
    assert len(klp.generate()) == 16
    digits = klp.generate(30, uppercase=False, lowercase=False, symbols=False)
    assert len(digits) == 30 and digits.isdigit()
    ranged = klp.generate(min_length=8, max_length=10)
    assert 8 <= len(ranged) <= 10
    words = klp.passphrase(5, separator="+")
    assert len(words.split("+")) == 5
    first = klp.derive("master key", "example.com")
    assert first == klp.derive("master key", "example.com") != klp.derive("master key", "example.org")
    assert len(first) == 16
    # A secret is decoded in place from the library's block: every character, wide ones too.
    wide = klp.generate(40, uppercase=False, lowercase=False, digits=False, symbols=False, custom=True,
                        custom_characters="éß€")
    assert len(wide) == 40 and set(wide) <= set("éß€") and len(set(wide)) == 3
    with klp.Generator(default_length=12) as generator:
        assert generator.get("default_length") == 12 and len(generator.generate()) == 12
        assert generator.entropy(20) > generator.entropy(10) > 0
    for bad, error in [({"colour": 1}, TypeError), ({"min_digits": 65}, klp.InvalidArgument),
                       ({"uppercase": 0, "lowercase": 0, "digits": 0, "symbols": 0}, klp.InvalidArgument)]:
        with pytest.raises(error):
            klp.generate(**bad)


@pytest.mark.parametrize("master", [None, "master password"])
def test_user_database_round_trip(tmp_path, master):
    path = tmp_path / "users.db"
    with klp.UserDatabase.create(path, master, hash_cost=HASH_COST, file_cost=FILE_COST) as users:
        uid = users.add("alice", "first secret")
        users.add("bob", "second secret")
        with pytest.raises(klp.AlreadyExists):
            users.add("alice", "again")
    with klp.UserDatabase.open(path, master) as users:  # saved when the block ended
        assert [u.name for u in users.users()] == ["alice", "bob"] and users.users()[0].uid == uid
        assert users.verify("alice", "first secret") is True
        assert users.verify("alice", "second secret") is False
        with pytest.raises(klp.NotFound):
            users.verify("carol", "x")
        users.change("bob", "new secret")
        users.delete("alice")
        users.save()
    with klp.UserDatabase.open(path, master) as users:
        assert len(users) == 1 and users.verify("bob", "new secret")


def test_files_raise_by_kind(tmp_path):
    path = tmp_path / "users.db"
    klp.UserDatabase.create(path, "right", file_cost=FILE_COST).close()
    with pytest.raises(klp.WrongPassword):
        klp.UserDatabase.open(path, "wrong")
    data = bytearray(path.read_bytes())
    data[-5] ^= 1
    path.write_bytes(bytes(data))
    with pytest.raises(klp.DamagedFile):
        klp.UserDatabase.open(path, "right")
    with pytest.raises(klp.FileUnusable):
        klp.Vault.open(tmp_path / "missing" / "vault", "x")
    for error in (klp.WrongPassword, klp.DamagedFile, klp.NotFound, klp.AlreadyExists, klp.FileUnusable,
                  klp.InvalidHash, klp.LegacyFormat, klp.FileChanged):
        assert issubclass(error, klp.KLPasswordError)


def test_vault_keeps_records_across_save_and_open(tmp_path):
    path = tmp_path / "vault.klv"
    with klp.Vault.create(path, "master", file_cost=FILE_COST) as vault:
        vault.add("Mail", username="alice", password="pw1", url="https://mail.example", group="Work")
        vault.add("Bank", username="alice", password="pw2", note="savings ☃" * 100)  # longer than a first buffer
        vault.save()
    with pytest.raises(klp.WrongPassword):
        klp.Vault.open(path, "not master")
    with klp.Vault.open(path, "master") as vault:
        assert len(vault) == 2
        mail = vault.get(vault.search("Mail", match=klp.Match.EQUALS)[0])
        assert (mail.password, mail.group, mail.url) == ("pw1", "Work", "https://mail.example")
        assert vault.list("Work") == [mail.index]
        assert vault.get(1 - mail.index).note == "savings ☃" * 100
        vault.set_field(mail.index, klp.Field.PASSWORD, "pw3")
        vault.export(tmp_path / "out.json")
        vault.delete(mail.index)
        assert len(vault) == 1
        with pytest.raises(klp.NotFound):
            vault.get(5)
    with klp.Vault() as copy:
        assert copy.import_file(tmp_path / "out.json") == 2
        assert sorted(copy.get(i).password for i in range(2)) == ["pw2", "pw3"]


def test_guide_sample_runs_and_prints_what_it_says(capsys):
    page = (pathlib.Path(__file__).parents[2] / "docs" / "guide" / "python.md").read_text(encoding="utf-8")
    sample = page.split("```python\n", 1)[1].split("```", 1)[0]
    exec(compile(sample, "docs/guide/python.md", "exec"), {})
    assert capsys.readouterr().out.startswith("False 0 ['TOO_SHORT', 'BLOCKLISTED']\n")


def test_threads_share_handles_without_loss():
    results, errors = [], []
    with klp.Generator() as generator, klp.Policy.nist() as policy:
        def work():
            try:
                for _ in range(50):
                    results.append((len(generator.generate(20)), policy.check("correct horse battery staple").ok))
            except Exception as e:  # every failure is kept and reported
                errors.append(e)

        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert errors == [] and results == [(20, True)] * 200


def test_close_waits_for_a_call_under_way(tmp_path):
    users = klp.UserDatabase.create(tmp_path / "users", hash_cost=(65536, 3))
    outcome = []
    adder = threading.Thread(target=lambda: outcome.append(users.add("alice", "secret")))
    adder.start()
    while users._owner is None and adder.is_alive():
        threading.Event().wait(0.001)
    users.close()  # waits for the hash; without that the library would free what add is using
    adder.join()
    assert len(outcome) == 1 and isinstance(outcome[0], int)  # the add completed
    with pytest.raises(klp.InvalidArgument):
        len(users)


def _kdbx_header_only(memory: int, passes: int) -> bytes:
    """A KDBX 4 header (Argon2d of the given cost) with its hash right, then nothing that opens."""
    import hashlib
    import struct

    def field(kind: int, data: bytes) -> bytes:
        return struct.pack("<BI", kind, len(data)) + data

    def item(kind: int, name: bytes, value: bytes) -> bytes:
        return struct.pack("<BI", kind, len(name)) + name + struct.pack("<I", len(value)) + value

    kdf = (b"\x00\x01" + item(0x42, b"$UUID", bytes.fromhex("ef636ddf8c29444b91f7a9a403e30a0c"))
           + item(0x42, b"S", b"\x01" * 32) + item(0x04, b"P", struct.pack("<I", 1))
           + item(0x05, b"M", struct.pack("<Q", memory)) + item(0x05, b"I", struct.pack("<Q", passes))
           + item(0x04, b"V", struct.pack("<I", 0x13)) + b"\x00")
    header = (struct.pack("<III", 0x9AA2D903, 0xB54BFB67, 0x00040000)
              + field(2, bytes.fromhex("31c1f2e6bf714350be5805216afc5aff")) + field(3, struct.pack("<I", 1))
              + field(4, b"\x02" * 32) + field(7, b"\x03" * 16) + field(11, kdf) + field(0, b"\r\n\r\n"))
    return header + hashlib.sha256(header).digest() + b"\x00" * 32 + b"\x00" * 36


def test_vault_refuses_a_kdbx_key_derivation_above_its_cost_limit(tmp_path):
    path = tmp_path / "costly.kdbx"
    path.write_bytes(_kdbx_header_only(1 << 20, 3))  # 1 MiB and 3 passes: 3 mebibyte-passes
    with pytest.raises(klp.DamagedFile, match="costs 3 mebibyte-passes, the limit is 2"):
        klp.Vault.open(path, "pw", kdbx_cost_limit=2)
    # Accepted at its cost: derived, then refused further on (its MAC is no MAC).
    with pytest.raises(klp.KLPasswordError) as refused:
        klp.Vault.open(path, "pw", kdbx_cost_limit=3)
    assert "mebibyte-passes" not in str(refused.value)
