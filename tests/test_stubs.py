"""norvo_native.pyi against the runtime module: names and signatures (mypy's
stubtest), the result dicts the stub promises, and the CLI type-checked with it."""
import ast
import os
import sqlite3
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import norvo
from norvo import norvo_native

PACKAGE_DIR = os.path.dirname(os.path.abspath(norvo.__file__))  # not resolved: dev builds stage symlinks
STUB = Path(PACKAGE_DIR) / "norvo_native.pyi"
EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "shop"


def mypy_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(PACKAGE_DIR), env.get("PYTHONPATH", "")]).rstrip(os.pathsep)
    return env


def require_mypy():
    try:
        import mypy  # noqa: F401
    except ImportError:
        pytest.skip("mypy is not installed (pip install mypy); the stub checks need it")


def run_mypy(*args, cwd):
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=mypy_env(),
                          capture_output=True, text=True, timeout=600)


def test_package_ships_the_stub_and_the_typed_marker():
    assert STUB.is_file()
    assert (Path(PACKAGE_DIR) / "py.typed").is_file()


def test_stubtest_finds_no_difference(tmp_path):
    require_mypy()
    proc = run_mypy("mypy.stubtest", "norvo.norvo_native", cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "Success: no issues found in 1 module" in proc.stdout


def test_stubtest_notices_a_wrong_stub(tmp_path):
    """The check above is only worth something if stubtest reads this stub."""
    require_mypy()
    fake = tmp_path / "pkg" / "norvo"
    fake.mkdir(parents=True)
    for item in Path(PACKAGE_DIR).iterdir():
        if item.suffix in (".so", ".py", ".typed"):
            (fake / item.name).symlink_to(item.resolve())
    stub = STUB.read_text().replace("def count(self) -> int: ...", "def count(self, limit: int) -> int: ...")
    (fake / "norvo_native.pyi").write_text(stub)
    env = mypy_env()
    env["PYTHONPATH"] = str(fake.parent)
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "norvo.norvo_native"], cwd=tmp_path,
                          env=env, capture_output=True, text=True, timeout=600)
    assert proc.returncode != 0
    assert "norvo.norvo_native.Atlas.count is inconsistent" in proc.stdout


def test_cli_and_typical_use_type_check_against_the_stub(tmp_path):
    require_mypy()
    usage = tmp_path / "usage.py"
    usage.write_text(
        "from norvo import norvo_native as nn\n"
        "atlas = nn.Atlas('.')\n"
        "files: int = atlas.scan()['stats']['files_scanned']\n"
        "names: list[str] = [a['qualified_name'] for a in atlas.search('x', limit=3)]\n"
        "status: str = nn.Firewall('.').check_imports(['requests'])[0]['status']\n"
        "capsule = atlas.fastapi_truth_capsule(method='GET', path='/', strict=True)\n"
        "ok: bool = capsule['is_partial']\n"
    )
    for target in ([str(usage)], ["-p", "norvo"]):  # user code, and the package with its CLI
        proc = run_mypy("mypy", "--strict", *target, cwd=tmp_path)
        assert proc.returncode == 0, proc.stdout + proc.stderr

    # A misspelt key or a wrong argument type is caught: the results are typed, not Any.
    wrong = tmp_path / "wrong.py"
    wrong.write_text(
        "from norvo import norvo_native as nn\n"
        "path = nn.Atlas('.').health()['db_paht']\n"
        "nn.Atlas('.').search('x', limit='3')\n"
    )
    proc = run_mypy("mypy", "--strict", str(wrong), cwd=tmp_path)
    assert 'TypedDict "_Health" has no key "db_paht"' in proc.stdout, proc.stdout
    assert 'Argument "limit" to "search" of "Atlas" has incompatible type "str"' in proc.stdout, proc.stdout


# -- the TypedDicts of the stub against real results (stubtest does not look at return values)


def stub_typed_dicts():
    """TypedDict name -> (required keys, optional keys), read from the stub's source."""
    tree = ast.parse(STUB.read_text())
    shapes = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and any(getattr(b, "id", "") == "TypedDict" for b in node.bases):
            keys = [s.target.id for s in node.body if isinstance(s, ast.AnnAssign)]
            shapes[node.name] = (set(keys), set())
        elif isinstance(node, ast.Assign) and isinstance(node.value, ast.Call) and \
                getattr(node.value.func, "id", "") == "TypedDict":
            fields = node.value.args[1]
            required, optional = set(), set()
            for key, value in zip(fields.keys, fields.values):
                notreq = isinstance(value, ast.Subscript) and getattr(value.value, "id", "") == "NotRequired"
                (optional if notreq else required).add(key.value)
            shapes[node.targets[0].id] = (required, optional)
    return shapes


@pytest.fixture(scope="module")
def results(tmp_path_factory):
    """One real result of every method that returns a dict, on the example project."""
    root = tmp_path_factory.mktemp("stubs") / "shop"
    shutil.copytree(EXAMPLE, root, ignore=shutil.ignore_patterns(".norvo", "__pycache__"))
    (root / "broken.py").write_text("def broken(:\n")
    (root / "risky.py").write_text("import reqeusts\nimport pickle\n")
    atlas = norvo_native.Atlas(str(root))
    scan = atlas.scan()
    fw = norvo_native.Firewall(str(root))
    capsule = atlas.fastapi_truth_capsule(handler_qualified_name="app.api.orders.get_order")
    scaling = atlas.analyze_fastapi_scaling()
    topology = atlas.analyze_fastapi_router_topology()
    with atlas_connection(root) as db:  # two annotated signatures for one duplicate pair
        for name, path in (("f", "one.py"), ("g", "two.py")):
            db.execute("INSERT INTO artifacts (symbol_name, qualified_name, kind, file_path, module_path, "
                       "signature, line_start, line_end) VALUES (?, ?, 'function', ?, ?, ?, 1, 2)",
                       (name, f"{path[:-3]}.{name}", path, path[:-3], f"{name}(a: float, b: str)"))
    return {
        "_ScanResult": [scan], "_ScanStats": [scan["stats"]], "_FailedFile": scan["failed_files"],
        "_Artifact": atlas.search("order"), "_Health": [atlas.health()],
        "_FunctionImpact": [atlas.analyze_function_impact("compute_vat")],
        "_FunctionImpactItem": atlas.analyze_function_impact("compute_vat")["affected_items"],
        "_FileImpact": [atlas.analyze_file_impact("app/models.py")],
        "_FileImpactItem": atlas.analyze_file_impact("app/models.py")["affected_items"],
        "_Pattern": atlas.detect_patterns(), "_DuplicateMatch": atlas.find_duplicates(),
        "_Span": atlas.search_spans("get_order") + atlas.grep_spans("import"),
        "_ScalingReport": [scaling], "_ScalingStats": [scaling["stats"]],
        "_ScalingViolation": scaling["violations"],
        "_RouterTopology": [topology], "_Router": topology["routers"],
        "_RouterEndpoint": topology["direct_app_routes"] + [e for r in topology["routers"] for e in r["endpoints"]],
        "_TruthCapsule": [capsule], "_CapsuleEndpoint": [capsule["endpoint"]], "_CapsuleGroups": [capsule["groups"]],
        "_CapsuleItem": [i for g in capsule["groups"].values() for i in g],
        "_CapsuleSpan": [i["span"] for g in capsule["groups"].values() for i in g],
        "_CapsuleUnresolved": capsule["unresolved"], "_CapsuleStats": [capsule["stats"]],
        "_ImportCheck": [fw.check_import(n) for n in ("requests", "reqeusts", "os.system", "torch")],
        "_ImportsCheckItem": fw.check_imports(["requests", "reqeusts", "os.system", "torch"]),
        "_FileReport": [fw.analyze_file(str(root / "risky.py"))],
        "_FileViolation": fw.analyze_file(str(root / "risky.py"))["violations"],
        "_TyposquatCheck": [fw.check_typosquat("reqests"), fw.check_typosquat("flask")],
        "_BlockedPattern": fw.get_blocked_patterns(), "_PolicyInfo": [fw.get_policy_info()],
        "_Rules": [fw.list_rules()],
    }


def atlas_connection(root):
    return sqlite3.connect(root / ".norvo" / "atlas.sqlite", isolation_level=None)


def test_every_typed_dict_of_the_stub_is_checked(results):
    assert set(results) == set(stub_typed_dicts())


@pytest.mark.parametrize("name", sorted(stub_typed_dicts()))
def test_result_keys_match_the_stub(results, name):
    required, optional = stub_typed_dicts()[name]
    samples = results[name]
    assert samples, f"no sample of {name}"
    for sample in samples:
        keys = set(sample)
        assert required <= keys <= required | optional, (name, sorted(keys ^ required))
    # The optional suggestion of a file violation is there for typosquats only.
    if optional:
        assert any(optional <= set(s) for s in samples) and any(not optional & set(s) for s in samples)


def test_stub_literals_match_runtime_values(results):
    """Literal types of the stub that are easy to get wrong: the values seen at run time are members."""
    tree = ast.parse(STUB.read_text())
    literals = {}
    for node in tree.body:
        if isinstance(node, ast.Assign) and isinstance(node.value, ast.Subscript) and \
                getattr(node.value.value, "id", "") == "Literal":
            elts = node.value.slice.elts if isinstance(node.value.slice, ast.Tuple) else [node.value.slice]
            literals[node.targets[0].id] = {e.value for e in elts}
    assert {v["severity"] for v in results["_ScalingViolation"]} <= literals["_Severity"]
    assert {v["scope"] for v in results["_ScalingViolation"]} <= literals["_Scope"]
    assert {r["risk_level"] for r in results["_FileImpact"] + results["_FunctionImpact"]} <= literals["_RiskLevel"]
    assert {r["status"] for r in results["_ImportCheck"]} == literals["_ImportStatus"]
    assert {r["policy_mode"] for r in results["_Rules"]} <= literals["_PolicyMode"]
    assert results["_Health"][0]["status"] == "healthy"
