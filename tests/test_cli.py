"""The norvo command-line tool, run as a user would: `python -m norvo ...` in a child process."""
import fcntl
import json
import os
import pty
import re
import shutil
import struct
import subprocess
import sys
import termios
import time
from pathlib import Path

import pytest

import norvo
from norvo import norvo_native

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "shop"
# Not resolved: a dev build stages the package as symlinks to the sources.
PACKAGE_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(norvo.__file__)))


def cli_env(**extra):
    env = dict(os.environ)
    for name in ("NO_COLOR", "NORVO_LOG", "TERM"):
        env.pop(name, None)
    # The child must import the same norvo package as this test run.
    env["PYTHONPATH"] = os.pathsep.join([PACKAGE_PARENT, env.get("PYTHONPATH", "")]).rstrip(os.pathsep)
    env.update(extra)
    return env


def run(*args, cwd, env=None, code=None):
    proc = subprocess.run([sys.executable, "-m", "norvo", *map(str, args)], cwd=cwd,
                          env=env or cli_env(), capture_output=True, text=True, timeout=300)
    assert "Traceback" not in proc.stderr, proc.stderr
    if code is not None:
        assert proc.returncode == code, (proc.returncode, proc.stdout, proc.stderr)
    return proc


def run_json(*args, cwd, code=0):
    proc = run(*args, "--json", cwd=cwd, code=code)
    return json.loads(proc.stdout)


def run_on_terminal(*args, cwd, env):
    """Runs the tool with stdout and stderr on a pseudo-terminal; returns (code, output)."""
    master, slave = pty.openpty()
    proc = subprocess.Popen([sys.executable, "-m", "norvo", *args], cwd=cwd, env=env,
                            stdout=slave, stderr=slave, stdin=subprocess.DEVNULL)
    os.close(slave)
    chunks = []
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # EIO once every writer has closed the terminal
            break
        if not chunk:
            break
        chunks.append(chunk)
    os.close(master)
    return proc.wait(timeout=60), b"".join(chunks).decode("utf-8", "replace")


@pytest.fixture
def shop(tmp_path):
    root = tmp_path / "shop"
    shutil.copytree(EXAMPLE, root, ignore=shutil.ignore_patterns(".norvo", "__pycache__"))
    return root


@pytest.fixture
def scanned_shop(shop):
    run("scan", shop, cwd=shop, code=0)
    return shop


def future(*paths, seconds=30):
    """Moves modification times ahead, so the freshness check sees a change
    even within the second of the last scan (it compares whole seconds)."""
    t = time.time() + seconds
    for p in paths:
        os.utime(p, (t, t))


# -- entry points and global options


def test_version_usage_and_in_process_entry_point(tmp_path, capsys):
    proc = run("--version", cwd=tmp_path, code=0)
    assert proc.stdout.strip() == f"norvo {norvo_native.version()}"

    proc = run(cwd=tmp_path, code=2)
    assert "usage: norvo" in proc.stderr and proc.stdout == ""

    proc = run("frobnicate", cwd=tmp_path, code=2)
    assert "invalid choice" in proc.stderr

    for group in ("fastapi", "firewall"):
        proc = run(group, cwd=tmp_path, code=2)
        assert f"'norvo {group}' needs a subcommand" in proc.stderr

    # The console script calls norvo.cli:main, which returns the exit code.
    from norvo.cli import main
    assert main(["--version"]) == 0
    assert capsys.readouterr().out.strip() == f"norvo {norvo_native.version()}"


def test_installed_console_script_matches_module(tmp_path):
    script = shutil.which("norvo")
    if script is None:
        pytest.skip("the norvo console script is not installed on PATH")
    probe = subprocess.run([sys.executable, "-c", "import norvo, sys; print(norvo.__file__)"],
                           env=cli_env(), capture_output=True, text=True, check=True)
    installed = subprocess.run([script, "--version"], env=cli_env(), capture_output=True, text=True)
    if os.path.abspath(probe.stdout.strip()) != os.path.abspath(norvo.__file__):
        pytest.skip("the console script on PATH belongs to another copy of norvo")
    assert installed.returncode == 0 and installed.stdout.strip() == f"norvo {norvo_native.version()}"


def test_global_options_work_before_and_after_the_command(scanned_shop):
    before = run("--json", "health", scanned_shop, cwd=scanned_shop, code=0)
    after = run("health", scanned_shop, "--json", cwd=scanned_shop, code=0)
    assert json.loads(before.stdout) == json.loads(after.stdout)


# -- scan, health, search


def test_scan_text_and_json(shop):
    proc = run("scan", shop, cwd=shop.parent, code=0)
    assert f"Scanning {shop.resolve()} ..." in proc.stderr  # no terminal: a plain announcement
    assert re.search(r"^Scanned (\d+) files in \d+(\.\d+)? m?s: \1 parsed, 0 failed; (\d+) artifacts in the index$",
                     proc.stdout, re.M), proc.stdout

    result = run_json("scan", shop, cwd=shop.parent)
    stats = result["stats"]
    assert result["artifacts_found"] == norvo_native.Atlas(str(shop)).count() > 0
    assert stats["files_scanned"] == len(list(shop.rglob("*.py")))
    # The text table lists every kind with its count.
    for kind, n in stats["artifacts_by_kind"].items():
        assert re.search(rf"^  {kind} +{n}$", proc.stdout, re.M), (kind, proc.stdout)


def test_scan_lists_files_that_fail_to_parse(project):
    project.write("good.py", "def ok():\n    return 1\n")
    project.write("bad.py", "def broken(:\n")
    proc = run("scan", cwd=project.root, code=0)
    assert "1 failed" in proc.stdout
    assert "bad.py" in proc.stdout and "Syntax error in '" in proc.stdout

    result = run_json("scan", cwd=project.root)
    assert [Path(f["path"]).name for f in result["failed_files"]] == ["bad.py"]


def test_health_before_and_after_a_scan(project):
    project.write("app/main.py", "def main():\n    pass\n")
    fresh = run_json("health", project.root, cwd=project.root.parent)
    assert fresh["status"] == "needs_scan" and fresh["last_scan"] is None
    proc = run("health", cwd=project.root, code=0)
    assert "Last scan: never" in proc.stdout and "run 'norvo scan'" in proc.stderr

    run("scan", cwd=project.root, code=0)
    after = run_json("health", cwd=project.root)
    assert after["status"] == "healthy" and after["artifact_count"] == 1
    assert after["db_path"] == str(project.root.resolve() / ".norvo" / "atlas.sqlite")
    proc = run("health", cwd=project.root, code=0)
    assert "Status:    healthy" in proc.stdout and "Artifacts: 1" in proc.stdout


def test_search_scans_an_empty_index_first(project):
    project.write("app/billing.py", "def charge_card(amount: int) -> None:\n    pass\n")
    found = run_json("search", "charge", cwd=project.root)
    assert [a["qualified_name"] for a in found] == ["app.billing.charge_card"]
    proc = run("search", "charge", cwd=project.root, code=0)
    assert re.search(r"^function +app\.billing\.charge_card +app/billing\.py:1$", proc.stdout, re.M)
    assert "1 result for 'charge'" in proc.stdout


def test_search_modes_match_the_module(scanned_shop):
    atlas = norvo_native.Atlas(str(scanned_shop))
    assert run_json("search", "order", cwd=scanned_shop) == atlas.search("order")

    limited = run("search", "order", "--limit", "2", cwd=scanned_shop, code=0)
    assert "2 results for 'order' (limit reached" in limited.stdout
    assert len(run_json("search", "order", "-n", "2", cwd=scanned_shop)) == 2

    endpoints = run_json("search", "endpoint", "--feature", cwd=scanned_shop)
    assert endpoints == atlas.search_by_feature("endpoint") and endpoints
    assert {a["kind"] for a in endpoints} == {"endpoint"}

    spans = run_json("search", "get_order", "--spans", cwd=scanned_shop)
    assert spans and spans[0]["evidence_type"] == "artifact"
    text = run("search", "get_order", "--spans", cwd=scanned_shop, code=0).stdout
    assert "def get_order" in text  # snippets are printed


def test_files_grep_and_show(scanned_shop):
    files = run_json("files", "app/api/*", cwd=scanned_shop)
    assert sorted(files) == ["app/api/__init__.py", "app/api/orders.py", "app/api/users.py"]

    proc = run("grep", "HTTPException(", "--glob", "app/core/*", cwd=scanned_shop, code=0)
    lines = proc.stdout.splitlines()
    assert lines and all(line.startswith("app/core/security.py:") for line in lines)
    assert 'raise HTTPException(status_code=403, detail="Admins only")' in proc.stdout

    proc = run("show", "app/main.py", "1", "2", cwd=scanned_shop, code=0)
    assert proc.stdout.splitlines() == ['1  """Shop API: the application object and its routers."""',
                                        "2  from fastapi import FastAPI"]
    # A path typed from elsewhere is translated to the project-relative one.
    shown = run_json("show", scanned_shop / "app" / "main.py", "2", "2", "-C", scanned_shop, cwd=scanned_shop.parent)
    assert shown == {"file_path": "app/main.py", "line_start": 2, "line_end": 2, "text": "from fastapi import FastAPI\n"}


# -- clean


def test_clean_removes_the_index_and_its_companions_only(scanned_shop):
    norvo_dir = scanned_shop / ".norvo"
    for suffix in ("-wal", "-shm", "-journal"):
        (norvo_dir / f"atlas.sqlite{suffix}").write_bytes(b"x")
    (norvo_dir / "firewall.yaml").write_text("mode: audit_only\n")
    (norvo_dir / "notes.txt").write_text("keep me")

    proc = run("clean", scanned_shop, cwd=scanned_shop.parent, code=0)
    removed = re.findall(r"^Removed (\S+) \(", proc.stdout, re.M)
    assert sorted(Path(p).name for p in removed) == [
        "atlas.sqlite", "atlas.sqlite-journal", "atlas.sqlite-shm", "atlas.sqlite-wal"]
    assert sorted(p.name for p in norvo_dir.iterdir()) == ["firewall.yaml", "notes.txt"]
    assert (scanned_shop / "app" / "main.py").exists()

    again = run("clean", cwd=scanned_shop, code=0)
    assert again.stdout.startswith("Nothing to remove: there is no index database at ")
    assert run_json("clean", cwd=scanned_shop) == {"db_path": str(norvo_dir.resolve() / "atlas.sqlite"),
                                                   "removed": []}


@pytest.mark.parametrize("config, expected", [
    ('[atlas]\ndb_filename = "index.db"\n', "index.db"),
    ('[atlas]\ndb_filename = "index.db"\nmax_file_size = 5000\n[security]\nstrict_mode = false\n', "index.db"),
    # A wrongly typed key anywhere discards the whole file, db_filename included.
    ('[atlas]\ndb_filename = "index.db"\n[governance]\nrequire_index = "yes"\n', "atlas.sqlite"),
    ('[atlas]\ndb_filename = "index.db"\nmax_file_size = -1\n', "atlas.sqlite"),
    ('[atlas]\ndb_filename = "index.db"\n[firewall]\ntyposquat_threshold = 1\n', "index.db"),
    ('atlas = "index.db"\n', "atlas.sqlite"),
    ('[atlas\ndb_filename = "index.db"\n', "atlas.sqlite"),
    # Unknown sections and keys are ignored.
    ('[atlas]\ndb_filename = "index.db"\nextra = 1\n[other]\nx = []\n', "index.db"),
])
def test_clean_removes_the_database_the_module_uses(project, config, expected):
    project.write("app/a.py", "X = 1\n")
    project.write(".norvo/config.toml", config)
    used = Path(project.atlas().health()["db_path"])
    assert used.name == expected  # the module's own reading of the file
    proc = run("clean", cwd=project.root, code=0)
    assert f"Removed {used} (" in proc.stdout
    assert not used.exists()
    assert (project.root / ".norvo" / "config.toml").exists()


def test_clean_then_scan_recovers_a_damaged_index(scanned_shop):
    db = scanned_shop / ".norvo" / "atlas.sqlite"
    db.write_bytes(b"this is not a database at all" * 100)
    broken = run("health", cwd=scanned_shop, code=2)
    assert broken.stderr.startswith("norvo: error: ")
    run("clean", cwd=scanned_shop, code=0)
    run("scan", cwd=scanned_shop, code=0)
    assert run_json("health", cwd=scanned_shop)["status"] == "healthy"


def test_clean_refuses_a_file_outside_norvo_that_is_no_database(project):
    source = project.write("app/main.py", "print('precious')\n")
    project.write(".norvo/config.toml", '[atlas]\ndb_filename = "../app/main.py"\n')
    proc = run("clean", cwd=project.root, code=2)
    assert "refusing to remove" in proc.stderr and "not a SQLite database" in proc.stderr
    assert source.read_text() == "print('precious')\n"


# -- graph, impact, patterns, duplicates


def test_impact_of_files_and_functions(scanned_shop):
    atlas = norvo_native.Atlas(str(scanned_shop))
    expected = atlas.analyze_file_impact("app/models.py")
    assert run_json("impact", "app/models.py", cwd=scanned_shop) == expected
    # ./relative and absolute spellings reach the stored relative path.
    assert run_json("impact", "./app/models.py", cwd=scanned_shop) == expected
    assert run_json("impact", scanned_shop / "app" / "models.py", "-C", scanned_shop,
                    cwd=scanned_shop.parent) == expected

    proc = run("impact", "app/models.py", cwd=scanned_shop, code=0)
    assert f"risk: {expected['risk_level']}" in proc.stdout
    for item in expected["affected_items"]:
        assert re.search(rf"^  {item['impact_type']} +{re.escape(item['file_path'])}$", proc.stdout, re.M)

    function = run_json("impact", "compute_vat", cwd=scanned_shop)
    assert function == atlas.analyze_function_impact("compute_vat")
    assert function["risk_level"] == "critical"  # reached from an endpoint
    proc = run("impact", "compute_vat", cwd=scanned_shop, code=0)
    assert "api_exposure" in proc.stdout and "risk: critical" in proc.stdout

    # A qualified name that call sites never spell out: no impact, and a hint why.
    proc = run("impact", "app.features.billing.invoices.compute_vat", cwd=scanned_shop, code=0)
    assert "no detected impact" in proc.stdout and "norvo impact compute_vat" in proc.stderr


def test_deps_and_dependents(scanned_shop):
    atlas = norvo_native.Atlas(str(scanned_shop))
    deps = run_json("deps", "app/main.py", cwd=scanned_shop)
    assert deps == atlas.get_dependencies("app/main.py")
    proc = run("deps", "./app/main.py", cwd=scanned_shop, code=0)
    assert "  app/models.py" in proc.stdout
    assert "modules outside the project" in proc.stdout and "    fastapi.FastAPI" in proc.stdout

    dependents = run_json("dependents", "app/models.py", cwd=scanned_shop)
    assert dependents == atlas.get_dependents("app/models.py")
    assert "tests/test_orders.py" in dependents

    proc = run("deps", "no/such.py", cwd=scanned_shop, code=0)
    assert "No imports recorded for no/such.py." in proc.stdout
    assert "not a file of the project" in proc.stderr


def test_cycles_exit_codes_and_freshness(project):
    project.write("pkg/__init__.py")
    project.write("pkg/a.py", "import pkg.b\n")
    project.write("pkg/b.py", "X = 1\n")
    run("scan", cwd=project.root, code=0)
    assert run_json("cycles", "--fail-on-cycles", cwd=project.root) == []
    assert "No import cycles found." in run("cycles", cwd=project.root, code=0).stdout

    # The cycle appears after the last scan: the command refreshes the index first.
    future(project.write("pkg/b.py", "import pkg.a\n"))
    proc = run("cycles", cwd=project.root, code=0)
    assert "1 import cycle found:" in proc.stdout
    assert re.search(r"pkg/(a|b)\.py -> pkg/(a|b)\.py -> pkg/\1\.py", proc.stdout)
    cycles = run_json("cycles", "--fail-on-cycles", cwd=project.root, code=1)
    assert sorted(cycles[0]) == ["pkg/a.py", "pkg/b.py"]
    run("cycles", "--fail-on-cycles", cwd=project.root, code=1)


def test_no_refresh_reads_the_index_as_it_is(project):
    project.write("a.py", "X = 1\n")
    run("scan", cwd=project.root, code=0)
    future(project.write("a.py", "import a\n"))
    assert run_json("cycles", "--no-refresh", cwd=project.root) == []
    assert run_json("cycles", cwd=project.root, code=0) == [["a.py"]]


def test_graph_commands_on_an_empty_project_say_so(project):
    proc = run("cycles", cwd=project.root, code=0)
    assert "the index of" in proc.stderr and "is empty" in proc.stderr


def test_patterns(scanned_shop):
    detected = run_json("patterns", cwd=scanned_shop)
    assert detected and all(p["confidence"] >= 0.5 for p in detected)
    stored = run_json("patterns", "--stored", cwd=scanned_shop)
    assert sorted(map(json.dumps, stored)) == sorted(map(json.dumps, detected))
    crud = run_json("patterns", "--type", "crud", cwd=scanned_shop)
    assert crud and {p["pattern_type"] for p in crud} == {"crud"}
    proc = run("patterns", cwd=scanned_shop, code=0)
    assert f"{len(detected)} patterns detected" in proc.stdout
    assert re.search(r"^service_layer +1\.00 +order_service +app/services/order_service\.py$", proc.stdout, re.M)


def test_duplicates(project):
    # Scanned signatures carry no annotations, so the rows are written by hand.
    project.atlas()
    with project.connect() as db:
        for name, path in (("f", "one.py"), ("g", "two.py")):
            db.execute("INSERT INTO artifacts (symbol_name, qualified_name, kind, file_path, module_path, "
                       "signature, line_start, line_end) VALUES (?, ?, 'function', ?, ?, ?, 1, 2)",
                       (name, f"{path[:-3]}.{name}", path, path[:-3], f"{name}(a: float, b: str)"))
    pairs = run_json("duplicates", "--no-refresh", cwd=project.root)
    assert pairs == json.loads(json.dumps(project.atlas().find_duplicates()))  # tuples become lists
    assert [(p["artifact_a"], p["artifact_b"], p["lines_a"]) for p in pairs] == [("one.f", "two.g", [1, 2])]
    proc = run("duplicates", "--no-refresh", cwd=project.root, code=0)
    assert "one.f (one.py:1-2)" in proc.stdout and "two.g (two.py:1-2)" in proc.stdout
    assert "1 pair of functions" in proc.stdout


# -- FastAPI


def test_fastapi_scaling_report_and_fail_on(scanned_shop):
    report = run_json("fastapi", "scaling", cwd=scanned_shop)
    assert report == norvo_native.Atlas(str(scanned_shop)).analyze_fastapi_scaling()
    severities = {v["severity"] for v in report["violations"]}
    assert severities  # the example has sync handlers and a route on the app

    proc = run("fastapi", "scaling", cwd=scanned_shop, code=0)
    assert f"Violations ({len(report['violations'])}):" in proc.stdout
    assert "sync_handler" in proc.stdout

    order = ["Critical", "High", "Medium", "Low"]
    for threshold in order:
        worse_or_equal = set(order[: order.index(threshold) + 1])
        expected = 1 if severities & worse_or_equal else 0
        run("fastapi", "scaling", "--fail-on", threshold.lower(), cwd=scanned_shop, code=expected)
    proc = run("fastapi", "scaling", "--fail-on", "urgent", cwd=scanned_shop, code=2)
    assert "invalid severity 'urgent'" in proc.stderr


def test_fastapi_scaling_with_a_broken_policy_file(project):
    project.write("app/main.py", "X = 1\n")
    project.write(".norvo/fastapi_scaling.yaml", "endpoints:\n  enabled: true\n")  # no version
    proc = run("fastapi", "scaling", cwd=project.root, code=2)
    assert proc.stderr.startswith("norvo: error: Invalid argument: Analysis config error in '")
    proc = run("fastapi", "policy", cwd=project.root, code=2)
    assert "Analysis config error" in proc.stderr

    project.write(".norvo/fastapi_scaling.yaml", 'version: "2.5"\n')
    policy = run_json("fastapi", "policy", cwd=project.root)
    assert policy["version"] == "2.5" and policy["external_calls"] == []
    assert "Policy 2.5 from " in run("fastapi", "policy", cwd=project.root, code=0).stdout


def test_fastapi_routers_and_capsule(scanned_shop):
    atlas = norvo_native.Atlas(str(scanned_shop))
    topology = run_json("fastapi", "routers", cwd=scanned_shop)
    assert topology == atlas.analyze_fastapi_router_topology()
    proc = run("fastapi", "routers", cwd=scanned_shop, code=0)
    for router in topology["routers"]:
        assert re.search(rf"^{re.escape(router['name'])}\b", proc.stdout, re.M)
    assert "/health" in proc.stdout and "app.main.health" in proc.stdout

    capsule = run_json("fastapi", "capsule", "--handler", "app.api.orders.create_order", cwd=scanned_shop)
    assert capsule["resolved_by"] == "handler_qualified_name"
    assert capsule["endpoint"]["handler_qualified_name"] == "app.api.orders.create_order"
    by_route = run_json("fastapi", "capsule", "GET", "/health", cwd=scanned_shop)
    assert by_route["resolved_by"] == "method_path"
    assert by_route["endpoint"]["handler_qualified_name"] == "app.main.health"
    proc = run("fastapi", "capsule", "GET", "/health", cwd=scanned_shop, code=0)
    assert proc.stdout.startswith("GET /health  app.main.health")
    assert "handler:" in proc.stdout

    for args, message in [
        (["GET"], "give the endpoint as METHOD PATH"),
        (["--handler", "x", "GET", "/health"], "not both"),
        (["--handler", "app.nope"], "did not resolve to a FastAPI endpoint"),
    ]:
        proc = run("fastapi", "capsule", *args, cwd=scanned_shop, code=2)
        assert message in proc.stderr


def test_fastapi_commands_on_a_project_without_fastapi(project):
    project.write("lib.py", "def helper():\n    return 1\n")
    assert "No FastAPI routers or endpoints found." in run("fastapi", "routers", cwd=project.root, code=0).stdout
    report = run_json("fastapi", "scaling", "--fail-on", "low", cwd=project.root)
    assert report["violations"] == [] and report["stats"]["total_endpoints"] == 0
    proc = run("fastapi", "capsule", "GET", "/", cwd=project.root, code=2)
    assert "No FastAPI endpoint artifacts found" in proc.stderr


# -- firewall


@pytest.mark.parametrize("imports, extra, code, statuses", [
    (["requests", "json"], [], 0, ["allowed", "allowed"]),
    (["reqeusts"], [], 1, ["typosquat"]),
    (["os.system"], [], 1, ["blocked"]),
    (["torch"], [], 1, ["unknown"]),
    (["torch", "requests"], ["--ignore-unknown"], 0, ["unknown", "allowed"]),
    (["torch", "pickle"], ["--ignore-unknown"], 1, ["unknown", "blocked"]),
])
def test_firewall_check(tmp_path, imports, extra, code, statuses):
    results = run_json("firewall", "check", *imports, *extra, cwd=tmp_path, code=code)
    fw = norvo_native.Firewall(str(tmp_path))
    assert results == [{"import": name, **fw.check_import(name)} for name in imports]
    assert [r["status"] for r in results] == statuses
    proc = run("firewall", "check", *imports, *extra, cwd=tmp_path, code=code)
    for name, status in zip(imports, statuses):
        assert re.search(rf"^{status} +{re.escape(name)}\b", proc.stdout, re.M)


def test_firewall_check_explains_typosquats_and_internal_imports(tmp_path):
    proc = run("firewall", "check", "reqeusts", "app.models", cwd=tmp_path, code=1)
    assert "did you mean 'requests'?" in proc.stdout
    assert "(internal prefix 'app.')" in proc.stdout
    assert "2 imports checked: 0 allowed, 2 refused" in proc.stdout


def test_firewall_scan_files_and_directories(project, monkeypatch):
    clean = project.write("src/clean.py", "import os\nimport json\nfrom requests import get\n")
    risky = project.write("src/risky.py", "import json\n\ndef load(data):\n    import pickle\n")
    proc = run("firewall", "scan", clean, cwd=project.root, code=0)
    assert "1 file checked: 1 passed, 0 failed" in proc.stdout

    proc = run("firewall", "scan", "src", cwd=project.root, code=1)
    assert re.search(r"^  4 +blocked +pickle +Package 'pickle' blocked by pattern 'pickle'", proc.stdout, re.M)
    assert "2 files checked: 1 passed, 1 failed" in proc.stdout
    reports = run_json("firewall", "scan", "src", cwd=project.root, code=1)
    other = project.write("src/other.py", "import torch\n")
    run("firewall", "scan", other, cwd=project.root, code=1)
    proc = run("firewall", "scan", other, "--ignore-unknown", cwd=project.root, code=0)
    assert proc.stdout == "1 file checked: 1 passed, 0 failed (1 unknown import ignored)\n"
    other.unlink()

    monkeypatch.chdir(project.root)  # the reports keep the paths as given, relative to the working directory
    fw = norvo_native.Firewall(str(project.root))
    assert reports == [fw.analyze_file("src/clean.py"), fw.analyze_file("src/risky.py")]
    assert risky.exists()


def test_firewall_scan_reports_unreadable_files_and_goes_on(project):
    good = project.write("good.py", "import json\n")
    latin1 = project.write_bytes("latin.py", "# caf\xe9\nimport json\n".encode("latin-1"))
    proc = run("firewall", "scan", "missing.py", latin1, good, cwd=project.root, code=2)
    assert "norvo: error: missing.py: Failed to parse file: Cannot read file: " in proc.stderr
    assert f"norvo: error: {latin1}: Failed to parse file: Cannot read file: " in proc.stderr
    assert "1 file checked: 1 passed, 0 failed, 2 files could not be read" in proc.stdout
    reports = run_json("firewall", "scan", "missing.py", good, cwd=project.root, code=2)
    assert reports[0]["file_path"] == "missing.py" and "Cannot read file" in reports[0]["error"]
    assert reports[1]["passed"] is True


@pytest.mark.skipif(hasattr(os, "geteuid") and os.geteuid() == 0, reason="root reads files whatever their mode")
def test_firewall_scan_of_a_file_without_read_permission(project):
    locked = project.write("locked.py", "import json\n")
    locked.chmod(0)
    try:
        proc = run("firewall", "scan", locked, cwd=project.root, code=2)
        assert "Permission denied" in proc.stderr
    finally:
        locked.chmod(0o644)


def test_firewall_rules_and_policy_sources(project):
    proc = run("firewall", "rules", cwd=project.root, code=0)
    assert "Policy:   production defaults (no .norvo/firewall.yaml)" in proc.stdout
    assert "Blocked patterns (27):" in proc.stdout
    rules = run_json("firewall", "rules", cwd=project.root)
    assert rules == norvo_native.Firewall(str(project.root)).list_rules()

    policy = project.write(".norvo/firewall.yaml", "mode: audit_only\nallowed_packages: [requests]\n")
    proc = run("firewall", "rules", cwd=project.root, code=0)
    assert f"Policy:   {policy}" in proc.stdout and "production defaults are in force" not in proc.stdout
    assert "mode: audit_only" in proc.stdout and "Allowed packages (1):" in proc.stdout
    run("firewall", "check", "requests", cwd=project.root, code=0)
    run("firewall", "check", "flask", cwd=project.root, code=1)  # no longer allowed

    # Rejected (strict without allowed packages): the module falls back to the
    # defaults while still naming the file as the source; the tool says so.
    policy.write_text('version: "1.0"\n')
    proc = run("firewall", "rules", cwd=project.root, code=0)
    assert "production defaults are in force" in proc.stdout
    assert run_json("firewall", "rules", cwd=project.root)["config_source"] == "file"


def test_firewall_typo(tmp_path):
    results = run_json("firewall", "typo", "reqests", "flask", cwd=tmp_path, code=1)
    assert results[0] == {"package": "reqests", "is_typosquat": True, "intended_package": "requests",
                          "similarity": 0.875}
    assert results[1]["is_typosquat"] is False
    run("firewall", "typo", "flask", cwd=tmp_path, code=0)


# -- errors


@pytest.mark.parametrize("args", [
    ["scan", "{missing}"], ["health", "{missing}"], ["clean", "{missing}"],
    ["search", "x", "-C", "{missing}"], ["cycles", "-C", "{missing}"],
    ["fastapi", "routers", "-C", "{missing}"], ["firewall", "rules", "-C", "{missing}"],
])
def test_missing_project_directory(tmp_path, args):
    missing = tmp_path / "does" / "not" / "exist"
    argv = [a.format(missing=missing) for a in args]
    proc = run(*argv, cwd=tmp_path, code=2)
    assert proc.stderr == f"norvo: error: no such directory: {missing}\n"
    assert proc.stdout == ""
    assert not missing.parent.exists()  # nothing was created on the way


def test_project_path_that_is_a_file(project):
    path = project.write("main.py", "X = 1\n")
    proc = run("scan", path, cwd=project.root, code=2)
    assert proc.stderr == f"norvo: error: not a directory: {path}\n"
    proc = run("scan", project.root, "-C", project.root.parent, cwd=project.root, code=2)
    assert "two different projects given" in proc.stderr


@pytest.mark.parametrize("args", [["files", "["], ["files", "a/**b"], ["grep", "x", "--glob", "["]])
def test_bad_glob(project, args):
    project.write("a.py", "x = 1\n")
    proc = run(*args, cwd=project.root, code=2)
    assert proc.stderr.startswith("norvo: error: I/O error: Failed to walk ")
    assert "Invalid glob pattern '" in proc.stderr


def test_unreadable_files_for_the_span_tools(project):
    project.write("ok.py", "one = 1\ntwo = 2\n")
    project.write_bytes("latin.py", "name = 'caf\xe9'\n".encode("latin-1"))
    project.write(".env", "SECRET=1\n")
    cases = [
        (["grep", "name"], "Failed to read line 1"),
        (["show", "latin.py"], "Failed to read line 1"),
        (["show", ".env"], "is denied by security configuration"),
        (["show", "ok.py", "5", "9"], "produced no content (file may be shorter)"),
        (["show", "missing.py"], "I/O error: "),
    ]
    for args, message in cases:
        proc = run(*args, cwd=project.root, code=2)
        assert proc.stderr.startswith("norvo: error: ") and message in proc.stderr, (args, proc.stderr)
    proc = run("show", "ok.py", "0", cwd=project.root, code=2)
    assert "line numbers start at 1" in proc.stderr
    proc = run("search", "x", "--limit", "-1", cwd=project.root, code=2)
    assert "must not be negative" in proc.stderr


# -- terminal behaviour: colour, progress, logging


def test_colour_only_on_a_terminal_and_never_with_no_color(scanned_shop):
    code, output = run_on_terminal("firewall", "check", "os.system", cwd=scanned_shop, env=cli_env())
    assert code == 1 and "\x1b[" in output and "blocked" in output
    code, output = run_on_terminal("firewall", "check", "os.system", cwd=scanned_shop, env=cli_env(NO_COLOR="1"))
    assert code == 1 and "\x1b[" not in output and "blocked" in output
    code, output = run_on_terminal("firewall", "check", "os.system", "--no-color", cwd=scanned_shop, env=cli_env())
    assert code == 1 and "\x1b[" not in output
    piped = run("firewall", "check", "os.system", cwd=scanned_shop, code=1)
    assert "\x1b[" not in piped.stdout + piped.stderr


@pytest.mark.parametrize("label, columns", [("Scanning demo", 0), ("Scanning /a/very/long/path/" + "x" * 80, 40)])
def test_progress_spinner_runs_while_a_native_style_call_holds_the_lock(tmp_path, label, columns):
    # A regular expression with catastrophic backtracking runs in C for about a
    # second without releasing the interpreter lock, like a native scan does.
    code = ("import re, sys\nfrom norvo.cli import Ui\n"
            "ui = Ui(json_mode=False, no_color=False, verbose=0)\n"
            "with ui.progress(sys.argv[1]):\n"
            "    re.match(r'(a+)+$', 'a' * 26 + 'b')\n"
            "print('finished')\n")
    master, slave = pty.openpty()
    if columns:  # a new terminal reports 0 columns, which means unknown
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    proc = subprocess.Popen([sys.executable, "-c", code, label], env=cli_env(), cwd=tmp_path,
                            stdout=subprocess.PIPE, stderr=slave)
    os.close(slave)
    chunks = []
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:
            break
        if not chunk:
            break
        chunks.append(chunk)
    os.close(master)
    assert proc.wait(timeout=120) == 0 and proc.stdout.read() == b"finished\n"
    shown = b"".join(chunks).decode()
    frames = re.findall(r"\r([|/\\-] [^\r]*?) \.\.\. (\d+\.\d)s", shown)
    assert len(frames) >= 2 and float(frames[-1][1]) > float(frames[0][1]), shown
    width = (columns or 80) - 1
    for text, _ in frames:
        assert text[2:] == label[: len(text) - 2] and len(text) + len(" ... 0.0s") <= width, text
    assert shown.endswith("\r"), "the spinner erases its line when done"


def test_verbose_turns_on_native_logging_without_spoiling_json(tmp_path):
    proc = run("firewall", "check", "requests", "-v", "--json", cwd=tmp_path, code=0)
    assert json.loads(proc.stdout)[0]["status"] == "allowed"
    assert "Import checked" in proc.stderr and "norvo_native::firewall" in proc.stderr
    quiet = run("firewall", "check", "requests", "--json", cwd=tmp_path, code=0)
    assert quiet.stderr == ""


# -- the README's configuration examples do what the README says


def readme_files():
    """The indented example blocks of README.md whose first line names a file: path -> text."""
    readme = (Path(__file__).resolve().parent.parent / "README.md").read_text()
    files = {}
    for block in re.findall(r"(?:^    .*\n|^\n)+", readme, re.M):
        lines = [line[4:] for line in block.strip("\n").split("\n")]
        m = re.fullmatch(r"# (\.norvo/[\w.]+|\.norvoignore)", lines[0])
        if m:
            files[m.group(1)] = "\n".join(lines) + "\n"
    return files


def test_readme_config_examples(shop):
    files = readme_files()
    assert set(files) == {".norvo/config.toml", ".norvoignore", ".norvo/firewall.yaml",
                          ".norvo/fastapi_scaling.yaml"}
    (shop / ".norvo").mkdir()
    for name, text in files.items():
        (shop / name).write_text(text)
    excluded = ["migrations/v1.py", "app/orders_pb2.py", "fixtures/data.py", "app/generated_models.py",
                "legacy/a.py", "legacy/sub/b.py"]
    for path in excluded:
        (shop / path).parent.mkdir(parents=True, exist_ok=True)
        (shop / path).write_text("def placeholder():\n    pass\n")
    listed = run_json("files", "--limit", "500", cwd=shop)
    assert "app/main.py" in listed and not set(excluded) & set(listed)
    assert norvo_native.Atlas(str(shop)).health()["db_path"].endswith("/.norvo/atlas.sqlite")

    # firewall.yaml: the statuses the README lists.
    expected = {"requests": "allowed", "fastapi.security": "allowed", "json": "allowed", "pickle5": "blocked",
                "os.system": "blocked", "reqeusts": "typosquat", "flask": "unknown", "app.models": "unknown"}
    results = run_json("firewall", "check", *expected, cwd=shop, code=1)
    assert {r["import"]: r["status"] for r in results} == expected
    assert "production defaults" not in run("firewall", "rules", cwd=shop, code=0).stdout

    # fastapi_scaling.yaml: sync handlers raised to High, the module threshold, app.main allowed.
    report = run_json("fastapi", "scaling", "--fail-on", "high", cwd=shop, code=1)
    categories = [v["category"] for v in report["violations"]]
    assert "direct_app_route" not in categories
    assert {v["severity"] for v in report["violations"] if v["category"] == "sync_handler"} == {"High"}
    assert any(v["category"] == "threshold_module_endpoints" and "'app.api.orders'" in v["message"]
               for v in report["violations"])
    users = shop / "app" / "api" / "users.py"
    users.write_text(users.read_text().replace('    """The signed-in user."""\n',
                                               '    """The signed-in user."""\n    time.sleep(0.1)\n')
                     .replace("from fastapi import APIRouter", "import time\n\nfrom fastapi import APIRouter"))
    future(users)
    report = run_json("fastapi", "scaling", cwd=shop)
    assert [v["qualified_name"] for v in report["violations"] if v["category"] == "blocking_sleep"] == [
        "app.api.users.read_me"]


def test_readme_python_tour_runs(tmp_path):
    readme = (Path(__file__).resolve().parent.parent / "README.md").read_text()
    code = re.search(r"^    from norvo import Atlas, Firewall\n(?:^    .*\n|^\n)+", readme, re.M).group(0)
    code = "\n".join(line[4:] for line in code.split("\n"))
    shutil.copytree(EXAMPLE, tmp_path / "examples" / "shop", ignore=shutil.ignore_patterns(".norvo", "__pycache__"))
    proc = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=cli_env(),
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert re.fullmatch(r"\d+ files, \d+ artifacts", lines[0])
    assert "'status': 'typosquat'" in proc.stdout and lines[-1] == "False"
