"""Each option of the package changes what comes out, each value read back equals what went in, each
default is the library's own, and every buffer that carries a secret to the library is zeroed after use."""

import ctypes

import pytest

import klpassword as klp
from klpassword import _core, _lib

CHEAP = {"memory_kib": 1024, "passes": 1}
FILE_COST = (8192, 1)
SECRET = "Zq7-sekrit-Xy9"
OLD_SALT = "000102030405060708090A0B0C0D0E0F"
OLD_HASH = "67557C0D86179C45199F096D85B7AEB2B8B34BF423C403BA517F72BCC5913C4C"  # SHA-256 of the salt and "secret"


class _Recorder:
    """Stands for the library: forwards each call and keeps every ctypes buffer that held the secret
    before or after it, and every immutable bytes argument that held it."""

    def __init__(self, real, needle):
        self._real, self._needle = real, needle
        self.buffers, self.immutable = [], []

    def _holding(self, args):
        return [a for a in args if isinstance(a, ctypes.Array) and self._needle in bytes(a)]

    def __getattr__(self, name):
        fn = getattr(self._real, name)

        def wrapped(*args):
            before = self._holding(args)
            self.immutable += [a for a in args if isinstance(a, bytes) and self._needle in a]
            status = fn(*args)
            self.buffers += before + [a for a in self._holding(args) if all(a is not b for b in before)]
            return status

        wrapped.argtypes = fn.argtypes
        return wrapped


def _users(tmp_path, secret):
    with klp.UserDatabase.create(tmp_path / "u.db", secret, hash_cost=(8, 1), file_cost=FILE_COST) as users:
        users.add("alice", secret)
        assert users.verify("alice", secret)
        users.change("alice", secret)
    klp.UserDatabase.open(tmp_path / "u.db", secret).close()


def _vault(tmp_path, secret):
    with klp.Vault.create(tmp_path / "v.klv", secret, file_cost=FILE_COST) as vault:
        vault.add("t", password=secret)
        vault.set_field(0, klp.Field.PASSWORD, secret)
        assert vault.get_field(0, klp.Field.PASSWORD) == secret and vault.get(0).password == secret
        assert vault.search(secret, field=klp.Field.PASSWORD, match=klp.Match.EQUALS) == [0]
        vault.set_master_password(secret)
        vault.save()
    klp.Vault.open(tmp_path / "v.klv", secret).close()
    assert klp.Vault.upgrade(tmp_path / "v.klv", secret, memory_kib=8192, passes=2)


_SECRET_VERBS = {
    "hash_password": lambda tmp, s: klp.hash_password(s, **CHEAP),
    "verify_password": lambda tmp, s: klp.verify_password(klp.hash_password("other", **CHEAP), s),
    "check": lambda tmp, s: klp.check(s),
    "estimate": lambda tmp, s: klp.estimate(s),
    "Policy.check": lambda tmp, s: klp.Policy().add_rule(klp.Rule.DIGIT).check(s),
    "derive": lambda tmp, s: klp.derive(s, "example.com", iterations=10),
    "Generator.derive": lambda tmp, s: klp.Generator(iterations=10).derive(s, "example.com"),
    "UserDatabase": _users,
    "Vault": _vault,
}


@pytest.mark.parametrize("verb", list(_SECRET_VERBS))
def test_every_buffer_that_carries_a_secret_is_zeroed(monkeypatch, tmp_path, verb):
    recorder = _Recorder(_core.lib, SECRET.encode())
    monkeypatch.setattr(_core, "lib", recorder)
    _SECRET_VERBS[verb](tmp_path, SECRET)
    assert recorder.buffers, "the secret never passed through a buffer the package could zero"
    assert recorder.immutable == [], "the secret went to the library as bytes, which cannot be zeroed"
    assert all(set(bytes(b)) == {0} for b in recorder.buffers), "a buffer still holds the secret"


def _c_default_hash():
    out = ctypes.create_string_buffer(_lib.HASH_MAX_BYTES)
    size = ctypes.c_size_t(_lib.HASH_MAX_BYTES)
    assert _lib.lib.klp_hash_password(b"pw", 0, 0, out, ctypes.byref(size)) == 0
    return out.value.decode()


def _cost(hash):
    return hash.split("$")[3]


def test_defaults_are_the_librarys():
    c_cost = _cost(_c_default_hash())
    assert _cost(klp.hash_password("pw")) == c_cost == f"m={_core.DEFAULT_MEMORY_KIB},t={_core.DEFAULT_PASSES},p=1"
    assert klp.needs_rehash(klp.hash_password("pw")) is False
    from klpassword.django import KLPasswordArgon2idHasher  # noqa: PLC0415 (needs Django only here)
    assert (KLPasswordArgon2idHasher.memory_kib, KLPasswordArgon2idHasher.passes) == (
        _core.DEFAULT_MEMORY_KIB, _core.DEFAULT_PASSES)
    with klp.Generator() as generator:  # the C defaults (no setting given)
        assert klp.derive("master", "example.com") == generator.derive("master", "example.com")
        assert len(klp.passphrase().split("-")) >= generator.get("passphrase_words")
        assert len(klp.generate()) == generator.get("default_length")
    # The NIST policy's maximum length, as the library sets it when given 0.
    policy = ctypes.c_void_p()
    assert _lib.lib.klp_policy_init_nist(ctypes.byref(policy), 0, 0, 0, None, 0) == 0
    for length in (64, 65, 128, 129):
        result = ctypes.c_void_p()
        c_ok = _lib.lib.klp_policy_check(policy, b"q" * length, ctypes.byref(result)) == 0
        _lib.lib.klp_check_result_destroy(result)
        assert klp.check("q" * length).ok is c_ok == klp.Policy.nist().check("q" * length).ok
    _lib.lib.klp_policy_destroy(policy)


def _codes(policy, password):
    with policy:
        return {failure.code for failure in policy.check(password).failures}


@pytest.mark.parametrize("make, password, codes", [
    (lambda: klp.Policy.nist(), "vintage kettle", {"TOO_SHORT"}),
    (lambda: klp.Policy.nist(multi_factor=True), "vintage kettle", set()),
    (lambda: klp.Policy.nist(multi_factor=True), "password", {"BLOCKLISTED"}),
    (lambda: klp.Policy.nist(multi_factor=True, common_passwords=False), "password", set()),
    (lambda: klp.Policy.nist(), "vintage kettle mornings " * 3, {"TOO_LONG"}),
    (lambda: klp.Policy.nist(max_length=100), "vintage kettle mornings " * 3, set()),
    (lambda: klp.Policy.nist(context=["zorbacorp-portal"]), "Zorbacorp-Portal", {"BLOCKLISTED"}),
    (lambda: klp.Policy.nist(), "Zorbacorp-Portal", set()),
    (lambda: klp.Policy.nist(min_score=4), "a" * 20, {"TOO_WEAK"}),
    (lambda: klp.Policy().add_min_strength(3, ["zorbacorp-portal"]), "zorbacorp-portal-2024", {"TOO_WEAK"}),
    (lambda: klp.Policy().add_min_strength(3), "zorbacorp-portal-2024", set()),
    (lambda: klp.Policy().add_length(4, 6), "abcdefg", {"TOO_LONG"}),
    (lambda: klp.Policy().add_length(8), "abcdefg", {"TOO_SHORT"}),
    (lambda: klp.Policy().add_blocklist(["Kettle-Morning"]), " kettle-morning ", {"BLOCKLISTED"}),
])
def test_each_policy_option_changes_the_answer(make, password, codes):
    assert _codes(make(), password) == codes


def test_user_inputs_count_and_crack_times_are_at_their_rates():
    with klp.Policy() as policy:
        plain = policy.check("zorbacorp-portal-2024").guesses_log10
        policy.set_user_inputs(["zorbacorp-portal"])
        assert policy.check("zorbacorp-portal-2024").guesses_log10 < plain - 2
    assert klp.check("Zorbacorp-Portal", user_inputs=["zorbacorp-portal"]).ok is False
    strength = klp.estimate("correct horse battery")
    rates = {"online_throttling": 100 / 3600, "online_no_throttling": 10, "offline_slow_hashing": 1e4,
             "offline_fast_hashing": 1e10}
    assert list(strength.crack_times_seconds) == list(rates)
    for name, rate in rates.items():
        assert strength.crack_times_seconds[name] == pytest.approx(strength.guesses / rate, rel=1e-3), name
    assert klp.estimate("pw").crack_times_display == {"online_throttling": "1 hour", "online_no_throttling": "10 seconds",
                                                      "offline_slow_hashing": "less than a second",
                                                      "offline_fast_hashing": "less than a second"}


@pytest.mark.parametrize("settings, length, test", [
    ({"uppercase": False}, 40, lambda p: not any(c.isupper() for c in p)),
    ({"lowercase": False}, 40, lambda p: not any(c.islower() for c in p)),
    ({"digits": False}, 40, lambda p: not any(c.isdigit() for c in p)),
    ({"symbols": False}, 40, lambda p: p.isalnum()),
    ({"uppercase": False, "lowercase": False, "digits": False, "symbols": False, "space": True}, 8,
     lambda p: p == " " * 8),
    ({"custom": True, "custom_characters": "xy", "uppercase": False, "lowercase": False, "digits": False,
      "symbols": False}, 30, lambda p: set(p) <= {"x", "y"}),
    ({"min_uppercase": 16}, 40, lambda p: sum(c.isupper() for c in p) >= 16),
    ({"min_lowercase": 16}, 40, lambda p: sum(c.islower() for c in p) >= 16),
    ({"min_digits": 8}, 40, lambda p: sum(c.isdigit() for c in p) >= 8),
    ({"min_symbols": 16}, 40, lambda p: sum(not c.isalnum() for c in p) >= 16),
    ({"exclude_lookalikes": True}, 40, lambda p: not set(p) & set("0Oo1Il|`'\"")),
    ({"exclude_characters": "abcdefghijklmnopqrstuvwxyz"}, 40, lambda p: not any(c.islower() for c in p)),
    ({"default_length": 21}, None, lambda p: len(p) == 21),
])
def test_each_generator_setting_shapes_every_password(settings, length, test):
    with klp.Generator(**settings) as generator:
        for _ in range(5):
            assert test(generator.generate(length)), settings


def test_every_generator_setting_reads_back_and_passphrase_settings_apply():
    values = {"uppercase": 0, "lowercase": 0, "digits": 0, "symbols": 0, "space": 1, "custom": 1,
              "require_each_set": 1, "min_uppercase": 5, "min_lowercase": 6, "min_digits": 7, "min_symbols": 8,
              "exclude_lookalikes": 1, "default_length": 21, "iterations": 77, "passphrase_words": 9,
              "capitalize_words": 1, "passphrase_extra": 2}
    assert set(values) == set(_core._OPTIONS)
    with klp.Generator() as generator:
        generator.set(**values)
        assert {name: generator.get(name) for name in values} == values
    with klp.Generator(passphrase_words=3, separator=" ", capitalize_words=True) as generator:
        words = generator.passphrase().split(" ")
        assert len(words) == 3 and all(w[0].isupper() for w in words)
        generator.set(passphrase_extra=1)
        assert any(c.isdigit() for c in generator.passphrase())
    assert klp.passphrase(4, separator="+").count("+") == 3
    derived = {klp.derive("master", "example.com", iterations=n, length=20) for n in (10, 11)}
    assert len(derived) == 2 and all(len(d) == 20 for d in derived)
    assert klp.derive("master", "example.com", iterations=10) != klp.derive("master2", "example.com", iterations=10)
    assert klp.derive("master", "example.com", digits=False, symbols=False, iterations=10).isalpha()


@pytest.mark.parametrize("memory, passes, cost", [(2048, 3, "m=2048,t=3"), (2048, 0, "m=2048,t=2"),
                                                   (0, 1, "m=65536,t=1")])
def test_hash_costs_each_apply(tmp_path, memory, passes, cost):
    assert _cost(klp.hash_password("pw", memory_kib=memory, passes=passes)) == cost + ",p=1"
    with klp.UserDatabase.create(tmp_path / "u.txt", hash_cost=(memory, passes)) as users:
        users.add("alice", "pw")
    assert f"${cost},p=1$" in (tmp_path / "u.txt").read_text()
    with klp.UserDatabase.open(tmp_path / "u.txt", hash_cost=(memory, passes)) as users:
        users.add("bob", "pw")
    assert (tmp_path / "u.txt").read_text().count(f"${cost},p=1$") == 2


@pytest.mark.parametrize("memory, passes, rehash", [(1024, 1, False), (512, 1, False), (2048, 1, True),
                                                    (1024, 2, True)])
def test_needs_rehash_follows_each_cost(memory, passes, rehash):
    assert klp.needs_rehash(klp.hash_password("pw", **CHEAP), memory_kib=memory, passes=passes) is rehash


@pytest.mark.parametrize("cost, expected", [((16384, 2), (16384, 2)), ((8192, 0), (8192, 3)), ((0, 1), (65536, 1))])
def test_file_costs_each_apply(tmp_path, cost, expected):
    klp.UserDatabase.create(tmp_path / "u.db", "m", file_cost=cost).close()
    info = klp.file_info(tmp_path / "u.db")
    assert (info.version, info.memory_kib, info.passes) == (3, *expected)
    klp.Vault.create(tmp_path / "v.klv", "m", file_cost=cost).close()
    assert (klp.file_info(tmp_path / "v.klv").memory_kib, klp.file_info(tmp_path / "v.klv").passes) == expected


def test_vault_cost_changes_and_upgrades_take_effect(tmp_path):
    path = tmp_path / "v.klv"
    with klp.Vault.create(path, "m", file_cost=FILE_COST) as vault:
        vault.add("one", password="pw")
        vault.set_file_cost(16384, 2)
        vault.save()
    assert (klp.file_info(path).memory_kib, klp.file_info(path).passes) == (16384, 2)
    assert klp.Vault.upgrade(path, "m", memory_kib=8192, passes=3) is True
    assert (klp.file_info(path).memory_kib, klp.file_info(path).passes) == (8192, 3)
    assert klp.Vault.upgrade(path, "m") is False
    with klp.Vault.open(path, "m") as vault:
        assert vault.get(0).password == "pw"
        vault.set_master_password("new")
        vault.save()
    with pytest.raises(klp.WrongPassword):
        klp.Vault.open(path, "m")
    klp.Vault.open(path, "new").close()


def test_user_upgrade_wraps_every_old_hash(tmp_path):
    path = tmp_path / "old.txt"
    path.write_text(f"2\n1:alice:{OLD_SALT}:{OLD_HASH}\n2:bob:{OLD_SALT}:{OLD_HASH}\n")
    with klp.UserDatabase.open(path, hash_cost=(1024, 1)) as users:
        assert users.upgrade() == 2
        assert users.upgrade() == 0
    assert OLD_HASH not in path.read_text() and path.read_text().count("$m=1024,t=1,p=1$") == 2
    with klp.UserDatabase.open(path) as users:
        assert users.verify("bob", "secret") and not users.verify("alice", "Secret")


def test_vault_groups_nest_take_notes_and_survive_a_save_in_either_format(tmp_path):
    for kdbx in (False, True):
        path = tmp_path / ("v.kdbx" if kdbx else "v.klv")
        with klp.Vault.create(path, "m", file_cost=FILE_COST) as vault:
            vault.kdbx = kdbx
            if kdbx:
                vault.kdbx_settings = klp.KdbxSettings(kdf="aes-kdf", iterations=1)
            vault.add("Mail", password="pw", group="Work/Dev")
            vault.put_group("Work", "the parent")
            vault.put_group("C:\\/D")
            with pytest.raises(klp.InvalidArgument):
                vault.put_group("a//b", "x")
            made = vault.groups()  # the root too, and the record's group
            assert [g.path for g in made] == ["", "Work", "C:\\/D", "Work/Dev"]
            assert [g.notes for g in made] == ["", "the parent", "", ""]
            assert all(len(g.uuid) == 32 and g.uuid != "0" * 32 and g.created > 0 and g.expires == 0 for g in made)
            assert len({g.uuid for g in made}) == 4
            vault.save()
        with klp.Vault.open(path, "m") as vault:
            # A KDBX file lists its groups in document order, each after its parent.
            assert sorted(vault.groups(), key=lambda g: g.path) == sorted(made, key=lambda g: g.path), kdbx
            assert vault.get(0).group == "Work/Dev"
            work = next(g for g in made if g.path == "Work")
            vault.move_group("Work", "Old/Job")
            with pytest.raises(klp.InvalidArgument):
                vault.move_group("Old/Job", "Old/Job/Dev/X")
            moved = {g.path: g.uuid for g in vault.groups()}
            assert "Work" not in moved and moved["Old/Job"] == work.uuid and vault.get(0).group == "Old/Job/Dev"


def test_vault_fields_read_back_and_searches_answer_only_matches(tmp_path):
    values = {klp.Field.TITLE: "Título", klp.Field.USERNAME: "user-1", klp.Field.PASSWORD: "pw-1",
              klp.Field.URL: "https://one.example", klp.Field.NOTE: "note\nline two", klp.Field.GROUP: "Group One"}
    with klp.Vault.create(tmp_path / "v.klv", "m", file_cost=FILE_COST) as vault:
        vault.add("Mail", username="alice", password="m-pw", url="https://mail.example")
        vault.add("Bank", username="bob", password="b-pw", note="PIN 1234", group="Money")
        for field, value in values.items():
            vault.set_field(0, field, value)
        record = vault.get(0)
        assert [getattr(record, f.name.lower()) for f in values] == list(values.values())
        searches = [("ank", klp.Field.TITLE, klp.Match.CONTAINS, [1]), ("ank", klp.Field.TITLE, klp.Match.EQUALS, []),
                    ("Bank", klp.Field.TITLE, klp.Match.EQUALS, [1]),
                    ("Bank", klp.Field.TITLE, klp.Match.NOT_EQUALS, [0]),
                    ("bob", klp.Field.USERNAME, klp.Match.EQUALS, [1]), ("PIN", klp.Field.NOTE, klp.Match.CONTAINS, [1]),
                    ("b-pw", klp.Field.PASSWORD, klp.Match.EQUALS, [1]),
                    ("nowhere", klp.Field.URL, klp.Match.CONTAINS, []),
                    ("nobody", klp.Field.USERNAME, klp.Match.EQUALS, [])]
        for value, field, match, found in searches:
            assert vault.search(value, field=field, match=match) == found, (value, field, match)
        assert vault.search("Bank") == [1]  # title, contains: the defaults
        assert vault.list("Nowhere") == [] and vault.list("Money") == [1] and vault.list() == [0, 1]
        vault.set_field(1, klp.Field.NOTE, "=1+2")
        vault.export(tmp_path / "plain.csv", klp.Format.CSV)
        vault.export(tmp_path / "safe.csv", klp.Format.CSV, spreadsheet_safe=True)
        vault.export(tmp_path / "out.json")
        vault.save()
    assert ",=1+2" in (tmp_path / "plain.csv").read_text() or '"=1+2' in (tmp_path / "plain.csv").read_text()
    assert ",=1+2" not in (tmp_path / "safe.csv").read_text() and '"=1+2' not in (tmp_path / "safe.csv").read_text()
    with klp.Vault.open(tmp_path / "v.klv", "m") as vault:
        record = vault.get(0)
        assert [getattr(record, f.name.lower()) for f in values] == list(values.values())
    with klp.Vault() as copy:
        assert copy.import_file(tmp_path / "out.json", group="Imported") == 2
        assert copy.import_file(tmp_path / "plain.csv", klp.Format.CSV) == 2
        assert [copy.get(i).group for i in copy.list("Imported")] == ["Imported", "Imported"]
        assert len(copy.list("Imported")) == 2 and len(copy) == 4
