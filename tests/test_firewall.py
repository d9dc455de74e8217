"""The Firewall class under the production defaults: classification,
check_imports, check_typosquat, the policy read-outs and the binding rules."""
import importlib.util
import inspect
import pathlib
import random
import threading

import pytest

from norvo import norvo_native as nn

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def fw(tmp_path_factory):
    return nn.Firewall(str(tmp_path_factory.mktemp("no_policy")))


def blocked_text(package, pattern, reason):
    return f"Package '{package}' blocked by pattern '{pattern}': {reason}"


# ---- classification ---------------------------------------------------------


@pytest.mark.parametrize(
    "path",
    ["requests", "requests.adapters", "json.decoder", "os", "subprocess", "xml", "tomllib", "typing", "pytest_asyncio",
     "python-jose"],
)
def test_allowed(fw, path):
    assert fw.check_import(path) == {"allowed": True, "status": "allowed", "reason": "Import is allowed", "suggestion": ""}


@pytest.mark.parametrize(
    "path, pattern, reason",
    [
        ("os.system", "os.system", "Shell injection vulnerability, command execution"),
        ("os.spawnl", "os.spawn", "Process spawning without proper sanitization"),
        ("os.execv", "os.exec", "Direct process replacement"),
        ("pickle5", "pickle", "Arbitrary code execution via deserialization - CVE-prone"),
        ("pickletools", "pickle", "Arbitrary code execution via deserialization - CVE-prone"),
        ("xml.etree.ElementTree", "xml.etree", "XML parsing vulnerable to XXE attacks by default"),
        ("cryptography", "crypt", "Weak cryptography, platform-dependent"),  # allowed, but blocked first
        ("cgitb", "cgi", "Deprecated CGI module, security issues"),
        ("subprocess.Popen", "subprocess.Popen", "Prefer subprocess.run for safer defaults"),
        ("assert", "assert", "Assertions disabled with -O flag, not for validation"),
    ],
)
def test_blocked(fw, path, pattern, reason):
    assert fw.check_import(path) == {
        "allowed": False,
        "status": "blocked",
        "reason": blocked_text(path, pattern, reason),
        "suggestion": "",
    }


@pytest.mark.parametrize(
    "path, intended, distance",
    [
        ("reqeusts", "requests", 0),  # known typos map to their package
        ("request", "requests", 0),
        ("tenserflow", "tensorflow", 0),  # tensorflow itself is not allowed
        ("requestz", "requests", 1),
        ("numpi", "numpy", 1),
        ("flsk", "flask", 1),
        ("fastap", "fastapi", 1),
        ("reqeusts.sessions", "requests", 0),  # only the top-level name is searched
        ("os.systemx", "csv", 2),  # not the exact row os.system; the top-level name os is not allowed
    ],
)
def test_typosquat(fw, path, intended, distance):
    assert fw.check_import(path) == {
        "allowed": False,
        "status": "typosquat",
        "reason": f"Possible typosquat of '{intended}' (distance: {distance})",
        "suggestion": intended,
    }


@pytest.mark.parametrize("path", ["os.path", ".models", "", "."])
def test_paths_without_allowed_top_level_go_to_typo_search(fw, path):
    # os.path is not compared whole with the allowed entry os.path; relative and
    # empty paths have an empty top-level name, two edits from a two-letter name.
    r = fw.check_import(path)
    assert r["status"] == "typosquat" and r["reason"].endswith("(distance: 2)")
    assert len(r["suggestion"]) == 2 or path == "os.path"


@pytest.mark.parametrize("path", ["subprocess.run", "torch", "app.models", "src.billing.api", "lib.x", "a" * 200_000])
def test_unknown(fw, path):
    assert fw.check_import(path) == {
        "allowed": False,
        "status": "unknown",
        "reason": "Unknown package - not in allowed list",
        "suggestion": "",
    }


def test_internal_prefix_skips_typo_search(fw):
    # "app" is within two edits of allowed names, so only the prefix rule
    # keeps app.* out of the typo search; without the dot it is searched.
    assert fw.check_import("app.models")["status"] == "unknown"
    assert fw.check_import("app")["status"] == "typosquat"


def test_non_ascii_paths_are_compared_per_character(fw):
    # One scalar value is one edit, however many UTF-8 bytes it takes.
    assert fw.check_import("requestś")["reason"] == "Possible typosquat of 'requests' (distance: 1)"
    assert fw.check_import("pickle\u00e9")["status"] == "blocked"
    assert fw.check_import("\U0001f600\U0001f600")["status"] == "typosquat"


def test_classification_has_no_memory(fw):
    first = [fw.check_import(p) for p in ("reqeusts", "torch", "os.system")]
    assert [fw.check_import(p) for p in ("reqeusts", "torch", "os.system")] == first


# ---- check_imports ------------------------------------------------------------


def test_check_imports_items(fw):
    out = fw.check_imports(["requests", "os.system", "reqeusts", "torch"])
    assert out == [
        {"import": "requests", "allowed": True, "status": "allowed", "reason": "Import is allowed"},
        {"import": "os.system", "allowed": False, "status": "blocked",
         "reason": blocked_text("os.system", "os.system", "Shell injection vulnerability, command execution")},
        {"import": "reqeusts", "allowed": False, "status": "typosquat", "reason": "Possible typosquat of 'requests'"},
        {"import": "torch", "allowed": False, "status": "unknown", "reason": "Unknown package"},
    ]
    assert [list(d) for d in out] == [["import", "allowed", "status", "reason"]] * 4


class Seq:
    """A sequence that is neither list nor tuple."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize("make", [list, tuple, Seq], ids=["list", "tuple", "sequence"])
def test_check_imports_accepts_sequences(fw, make):
    assert [d["status"] for d in fw.check_imports(make(["json", "torch"]))] == ["allowed", "unknown"]
    assert fw.check_imports(make([])) == []


def test_check_imports_keeps_the_passed_text(fw):
    class S(str):
        pass

    out = fw.check_imports([S("reqeusts"), "os"])
    assert out[0]["import"] == "reqeusts" and type(out[0]["import"]) is str
    assert out[1]["import"] == "os"


@pytest.mark.parametrize(
    "arg, message",
    [
        ("requests", r"^argument 'imports': Can't extract `str` into a list$"),
        (5, r"^argument 'imports': 'int' object cannot be cast as 'Sequence'$"),
        ({"a": 1}, r"^argument 'imports': 'dict' object cannot be cast as 'Sequence'$"),
        (iter(["a"]), r"^argument 'imports': 'list_iterator' object cannot be cast as 'Sequence'$"),
        (["ok", 3], r"^argument 'imports': 'int' object cannot be cast as 'str'$"),
        ([b"os"], r"^argument 'imports': 'bytes' object cannot be cast as 'str'$"),
    ],
)
def test_check_imports_refuses(fw, arg, message):
    with pytest.raises(TypeError, match=message):
        fw.check_imports(arg)


def test_check_imports_surrogate_propagates_unicode_error(fw):
    with pytest.raises(UnicodeEncodeError):
        fw.check_imports(["ok", "\udc80"])


def test_check_imports_sequence_errors_propagate(fw):
    class Broken(Seq):
        def __getitem__(self, i):
            raise ValueError("boom")

    with pytest.raises(ValueError, match="boom"):
        fw.check_imports(Broken(["a"]))


def test_reentrant_calls_take_shared_holds(fw):
    # A sequence that calls back into the same firewall while check_imports
    # holds it: shared holds never conflict.
    seen = []

    class Calling(Seq):
        def __getitem__(self, i):
            if i < len(self.items):
                seen.append(fw.check_import("os.system")["status"])
                seen.append(fw.policy_mode)
            return self.items[i]

    assert fw.check_imports(Calling(["json"]))[0]["status"] == "allowed"
    assert seen[:2] == ["blocked", "strict"]


# ---- check_typosquat ----------------------------------------------------------


@pytest.mark.parametrize(
    "name, expected",
    [
        ("reqests", (True, "requests", 0.875)),
        ("REQESTS", (True, "requests", 0.875)),  # lower-cased first
        ("Requests", (False, "", 0.0)),  # exact match after lower-casing
        ("httpy", (True, "httpx", 0.8)),  # the lower bound is inclusive
        ("numb", (False, "", 0.0)),  # 0.6
        (".models", (False, "", 0.0)),
        ("zzzzzzzz", (False, "", 0.0)),
        ("", (False, "", 0.0)),
        ("REQUÊSTS", (True, "requests", 1 - 1 / 9)),  # distance in characters, length in bytes
        ("x" * 100_000, (False, "", 0.0)),
    ],
)
def test_check_typosquat(fw, name, expected):
    r = fw.check_typosquat(name)
    assert list(r) == ["is_typosquat", "intended_package", "similarity"]
    assert (r["is_typosquat"], r["intended_package"]) == expected[:2]
    assert r["similarity"] == pytest.approx(expected[2], abs=1e-12)
    assert isinstance(r["similarity"], float)


def test_check_typosquat_uses_no_policy(tmp_path):
    (tmp_path / ".norvo").mkdir()
    (tmp_path / ".norvo" / "firewall.yaml").write_text("mode: disabled\n")
    assert nn.Firewall(str(tmp_path)).check_typosquat(package_name="reqests")["is_typosquat"] is True


# ---- read-outs and text forms ------------------------------------------------


def test_policy_read_outs(fw, tmp_path):
    assert fw.policy_mode == "strict"
    info = fw.get_policy_info()
    assert info == {
        "version": "2.0",
        "mode": "Strict",
        "allowed_packages_count": 120,
        "blocked_patterns_count": 27,
        "internal_prefixes_count": 3,
        "typo_detection_enabled": True,
        "atlas_enabled": True,
        "config_source": "production_defaults",
        "config_path": "",
    }
    assert list(info) == list(info.keys())  # insertion order is the documented order

    allowed = fw.get_allowed_packages()
    assert len(allowed) == 120 and allowed[:3] == ["abc", "asyncio", "base64"] and allowed[-1] == "toolz"
    assert "os.path" in allowed and "python-dateutil" in allowed

    patterns = fw.get_blocked_patterns()
    assert len(patterns) == 27
    assert patterns[0] == {
        "pattern": "pickle",
        "reason": "Arbitrary code execution via deserialization - CVE-prone",
        "severity": "Critical",
    }
    assert patterns[-1]["pattern"] == "assert" and patterns[-1]["severity"] == "Low"
    assert [p["pattern"] for p in patterns[8:13]] == ["os.system", "os.popen", "os.spawn", "os.exec", "subprocess.Popen"]

    rules = fw.list_rules()
    assert list(rules) == ["allowed_packages", "blocked_patterns", "internal_prefixes", "policy_mode",
                           "typo_detection_enabled", "atlas_enabled", "version", "config_source", "config_path"]
    assert rules["allowed_packages"] == allowed and rules["blocked_patterns"] == patterns
    assert rules["internal_prefixes"] == ["app.", "src.", "lib."]
    assert (rules["policy_mode"], rules["version"], rules["config_source"]) == ("strict", "2.0", "production_defaults")


def test_repr_and_missing_root():
    fw = nn.Firewall("does/not/exist")
    assert repr(fw) == str(fw) == "Firewall(project_root='does/not/exist', mode='strict')"
    assert fw.check_import("os.system")["status"] == "blocked"
    assert repr(nn.Firewall(project_root="")) == "Firewall(project_root='', mode='strict')"


def test_read_only_state(fw):
    with pytest.raises(AttributeError):
        fw.policy_mode = "disabled"
    with pytest.raises(AttributeError):
        fw.project_root = "x"


def test_docstrings_and_signatures(fw):
    F = nn.Firewall
    assert F.__doc__.startswith("Firewall - Python interface to the Norvo Dependency Firewall.\n\n")
    assert 'firewall = Firewall("/path/to/project")' in F.__doc__
    assert str(inspect.signature(F)) == "(project_root)"
    sigs = {
        "check_import": "(import_path)",
        "check_imports": "(imports)",
        "analyze_file": "(file_path)",
        "check_typosquat": "(package_name)",
        "get_blocked_patterns": "()",
        "get_policy_info": "()",
        "list_rules": "()",
        "get_allowed_packages": "()",
    }
    for name, sig in sigs.items():
        assert str(inspect.signature(getattr(fw, name))) == sig
        assert getattr(F, name).__text_signature__.startswith("($self")
    assert F.check_import.__doc__.startswith("Check if a single import is allowed.\n\nArgs:\n    import_path:")
    assert F.get_policy_info.__doc__ == "Get policy information for debugging"
    assert F.check_typosquat.__doc__.endswith("        - distance: int - Edit distance")
    assert F.policy_mode.__doc__.startswith("Get the current policy mode.")
    # The members appear in the documented order.
    members = [m for m in vars(F) if not m.startswith("__")]
    assert members[:8] == list(sigs)


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: nn.Firewall(), TypeError, "Firewall.__new__() missing 1 required positional argument: 'project_root'"),
        (lambda: nn.Firewall(1), TypeError, "argument 'project_root': 'int' object cannot be cast as 'str'"),
        (lambda: nn.Firewall("a", "b"), TypeError, "Firewall.__new__() takes 1 positional arguments but 2 were given"),
        (lambda fw: fw.check_import(), TypeError,
         "Firewall.check_import() missing 1 required positional argument: 'import_path'"),
        (lambda fw: fw.check_import(None), TypeError,
         "argument 'import_path': 'NoneType' object cannot be cast as 'str'"),
        (lambda fw: fw.check_import("a", import_path="b"), TypeError,
         "Firewall.check_import() got multiple values for argument 'import_path'"),
        (lambda fw: fw.check_import(path="a"), TypeError,
         "Firewall.check_import() got an unexpected keyword argument 'path'"),
        (lambda fw: fw.analyze_file(b"x.py"), TypeError, "argument 'file_path': 'bytes' object cannot be cast as 'str'"),
        (lambda fw: fw.check_typosquat(1.5), TypeError,
         "argument 'package_name': 'float' object cannot be cast as 'str'"),
        (lambda fw: fw.list_rules(1), TypeError, "Firewall.list_rules() takes 0 positional arguments but 1 was given"),
        (lambda fw: fw.get_policy_info(x=1), TypeError,
         "Firewall.get_policy_info() got an unexpected keyword argument 'x'"),
        (lambda fw: fw.check_import("\ud800"), UnicodeEncodeError, None),
    ],
)
def test_binding_errors(fw, call, exc, message):
    with pytest.raises(exc) as e:
        call() if call.__code__.co_argcount == 0 else call(fw)
    if message is not None:
        assert str(e.value) == message


def test_keyword_arguments(fw, tmp_path):
    f = tmp_path / "m.py"
    f.write_text("import torch\n")
    assert fw.check_import(import_path="os")["allowed"] is True
    assert fw.check_imports(imports=["os"])[0]["allowed"] is True
    assert fw.analyze_file(file_path=str(f))["passed"] is False


# ---- thread affinity ----------------------------------------------------------


def test_use_from_another_thread_is_refused(fw):
    caught = {}

    def worker():
        for name, call in [
            ("check_import", lambda: fw.check_import("os")),
            ("policy_mode", lambda: fw.policy_mode),
            ("repr", lambda: repr(fw)),
        ]:
            try:
                call()
            except Exception as e:  # must not catch it
                caught[name] = ("Exception", e)
            except BaseException as e:
                caught[name] = ("BaseException", e)

    t = threading.Thread(target=worker)
    t.start()
    t.join()
    assert set(caught) == {"check_import", "policy_mode", "repr"}
    for kind, e in caught.values():
        assert kind == "BaseException"
        assert "norvo_native::Firewall is unsendable, but sent to another thread" in str(e)
    assert fw.check_import("os")["allowed"] is True  # still usable on its own thread


def test_drop_on_another_thread_is_reported_and_leaked(monkeypatch):
    reported = []
    monkeypatch.setattr("sys.unraisablehook", lambda u: reported.append((type(u.exc_value), str(u.exc_value))))
    box = [nn.Firewall("dropped")]
    t = threading.Thread(target=box.clear)  # the last reference dies on the other thread
    t.start()
    t.join()
    assert reported == [(RuntimeError, "norvo_native::Firewall is unsendable, but is being dropped on another thread")]


def test_firewalls_of_other_threads_are_independent():
    results = []

    def worker():
        own = nn.Firewall("elsewhere")
        results.append(own.check_import("numpi")["suggestion"])

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == ["numpy"] * 4


# ---- agreement with an independent model of the rules -----------------------


def load_bench_model():
    spec = importlib.util.spec_from_file_location("firewall_throughput", ROOT / "bench" / "firewall_throughput.py")
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


def random_paths(rng, count):
    words = ["requests", "numpy", "os", "xml", "pickle", "crypt", "flask", "app", "io", "re", "django", "json",
             "pandas", "typing", "subprocess", "fastapi", "yaml", "jwt", "rq", "toml"]
    alphabet = "abcdeiklmnopqrstuxyz._-"
    out = []
    for _ in range(count):
        w = rng.choice(words)
        for _ in range(rng.randint(0, 3)):  # random edits make near misses
            i = rng.randint(0, len(w))
            op = rng.random()
            if op < 0.4:
                w = w[:i] + rng.choice(alphabet) + w[i:]
            elif op < 0.7:
                w = w[:i] + w[i + 1:]
            else:
                w = w[:i] + rng.choice(alphabet) + w[i + 1:]
        if rng.random() < 0.3:
            w += "." + rng.choice(words)
        out.append(w)
    return out


def test_agrees_with_pure_python_model(fw):
    bench = load_bench_model()
    model = bench.defaults_model(fw)
    paths = random_paths(random.Random(7), 3000) + bench.workload(2000)
    native = [fw.check_import(p) for p in paths]
    expected = [model.classify(p) for p in paths]
    for p, n, (status, _, reason, suggestion) in zip(paths, native, expected):
        assert (n["status"], n["reason"], n["suggestion"]) == (status, reason, suggestion), p
    assert fw.check_imports(paths) == model.check_imports(paths)
