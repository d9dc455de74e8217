"""Atlas.analyze_function_impact and analyze_file_impact over stored call
edges, import edges and artifacts: items, counters, test files, API exposure,
risk levels, summaries and the shapes of the returned dicts."""
import re

import pytest

FUNCTION_KEYS = ["target", "risk_level", "direct_callers", "transitive_callers", "test_files", "api_endpoints",
                 "summary", "affected_items"]
FILE_KEYS = ["target", "risk_level", "direct_importers", "transitive_importers", "test_files", "summary",
             "affected_items"]


def file_of(name):
    """A caller's file as a scan would store it: its module path as a path."""
    parts = name.split(".")
    return "/".join(parts[:-1]) + ".py" if len(parts) > 1 else name + ".py"


class Index:
    def __init__(self, project):
        self.project = project
        self.atlas = project.atlas()
        self.db = project.connect()
        self.line = 0

    def call(self, caller, callee, caller_file=None):
        self.line += 1
        self.db.execute(
            "INSERT INTO calls (caller_qualified_name, callee_qualified_name, caller_file, line_number, call_type) "
            "VALUES (?, ?, ?, ?, 'direct')",
            (caller, callee, caller_file or file_of(caller), self.line),
        )
        return self

    def calls(self, pairs):
        for caller, callee in pairs:
            self.call(caller, callee)
        return self

    def artifact(self, qualified_name, kind="function", file_path=None):
        module, _, symbol = qualified_name.rpartition(".")
        self.db.execute(
            "INSERT INTO artifacts (symbol_name, qualified_name, kind, file_path, module_path, line_start, line_end) "
            "VALUES (?, ?, ?, ?, ?, 1, 2)",
            (symbol, qualified_name, kind, file_path or file_of(qualified_name), module),
        )
        return self

    def imports(self, pairs):
        for source, target in pairs:
            self.line += 1
            self.db.execute(
                "INSERT INTO imports (source_file, target_file, import_name, import_type, line_number) "
                "VALUES (?, ?, 'x', 'module', ?)",
                (source, target, self.line),
            )
        return self

    def function(self, name):
        return self.atlas.analyze_function_impact(name)

    def file(self, path):
        return self.atlas.analyze_file_impact(path)


@pytest.fixture
def index(project):
    idx = Index(project)
    yield idx
    idx.db.close()


def items(report):
    return [(i["qualified_name"], i["file_path"], i["impact_type"], i["distance"]) for i in report["affected_items"]]


# ---- function impact ---------------------------------------------------------------


def test_two_direct_callers(index):
    index.calls([("b.g", "notify"), ("a.f", "notify")])
    report = index.function("notify")
    assert list(report) == FUNCTION_KEYS
    assert report == {
        "target": "notify",
        "risk_level": "low",
        "direct_callers": 2,
        "transitive_callers": 0,
        "test_files": 0,
        "api_endpoints": 0,
        "summary": "Change to 'notify' affects: 2 direct caller(s) [Risk: low]",
        "affected_items": [
            {"qualified_name": "a.f", "file_path": "a.py", "impact_type": "direct_caller", "distance": 1,
             "line_number": None},
            {"qualified_name": "b.g", "file_path": "b.py", "impact_type": "direct_caller", "distance": 1,
             "line_number": None},
        ],
    }
    assert list(report["affected_items"][0]) == ["qualified_name", "file_path", "impact_type", "distance",
                                                 "line_number"]


def test_transitive_callers_have_distance_two_at_any_depth(index):
    # x.h -> a.f -> notify, and a chain five deep: c1 -> c2 -> c3 -> c4 -> a.f
    index.calls([("x.h", "a.f"), ("a.f", "notify"), ("c1.f", "c2.f"), ("c2.f", "c3.f"), ("c3.f", "c4.f"),
                 ("c4.f", "a.f")])
    report = index.function("notify")
    assert items(report) == [
        ("a.f", "a.py", "direct_caller", 1),
        ("c4.f", "c4.py", "transitive_caller", 2),
        ("x.h", "x.py", "transitive_caller", 2),
        ("c3.f", "c3.py", "transitive_caller", 2),
        ("c2.f", "c2.py", "transitive_caller", 2),
        ("c1.f", "c1.py", "transitive_caller", 2),
    ]
    assert (report["direct_callers"], report["transitive_callers"]) == (1, 5)
    assert report["risk_level"] == "medium"
    assert report["summary"] == "Change to 'notify' affects: 1 direct caller(s), 5 transitive caller(s) [Risk: medium]"


def test_callers_beyond_ten_steps_are_not_reported(index):
    # f1 -> f2 -> ... -> f12 -> target: f12 is 1 step away, f1 is 12.
    index.calls([(f"m.f{i}", f"m.f{i + 1}") for i in range(1, 12)] + [("m.f12", "target")])
    report = index.function("target")
    assert [i["qualified_name"] for i in report["affected_items"]] == [f"m.f{i}" for i in range(12, 2, -1)]
    assert (report["direct_callers"], report["transitive_callers"]) == (1, 9)


def test_a_cycle_back_to_the_target_does_not_list_the_target(index):
    index.calls([("a.f", "a.g"), ("a.g", "a.f")])
    report = index.function("a.f")
    assert items(report) == [("a.g", "a.py", "direct_caller", 1)]


@pytest.mark.parametrize("callers, risk", [(0, "none"), (1, "low"), (2, "low"), (3, "medium"), (9, "medium"),
                                           (10, "high"), (14, "high")])
def test_risk_follows_the_number_of_callers(index, callers, risk):
    # Half direct, half transitive: both count.
    direct = (callers + 1) // 2
    pairs = [(f"d.f{i}", "t") for i in range(direct)]
    pairs += [(f"u.f{i}", "d.f0") for i in range(callers - direct)]
    index.calls(pairs)
    report = index.function("t")
    assert report["direct_callers"] + report["transitive_callers"] == callers
    assert report["risk_level"] == risk


def test_unknown_name_has_no_impact(index):
    index.calls([("a.f", "notify")])
    report = index.function("x.y")
    assert report == {
        "target": "x.y", "risk_level": "none", "direct_callers": 0, "transitive_callers": 0, "test_files": 0,
        "api_endpoints": 0, "summary": "Change to 'x.y' has no detected impact (none)", "affected_items": [],
    }


def test_names_match_exactly(index):
    index.calls([("a.f", "app.notify"), ("a.g", "notify")])
    assert [i["qualified_name"] for i in index.function("notify")["affected_items"]] == ["a.g"]
    assert index.function("Notify")["risk_level"] == "none"


@pytest.mark.parametrize("path, is_test", [
    ("tests/test_orders.py", True),
    ("orders_test.py", True),
    ("app/test_utils/x.py", True),
    ("tests/orders.py", False),
    ("app/Test_orders.py", False),
    ("app/latest.py", False),
    ("app/orders_tests.py", False),
    ("app/orders_test.pyi", True),
])
def test_test_file_rule(index, path, is_test):
    index.call("c.f", "target", caller_file=path)
    report = index.function("target")
    assert report["test_files"] == (1 if is_test else 0)
    assert report["risk_level"] == "low"  # tests never change the risk
    expected = "1 direct caller(s), 1 test file(s)" if is_test else "1 direct caller(s)"
    assert report["summary"] == f"Change to 'target' affects: {expected} [Risk: low]"


def test_test_files_count_items_not_files(index):
    index.call("tests.test_a.t1", "target", "tests/test_a.py").call("tests.test_a.t2", "target", "tests/test_a.py")
    index.call("tests.test_a.t3", "tests.test_a.t1", "tests/test_a.py")
    report = index.function("target")
    assert report["test_files"] == 3
    assert report["summary"] == ("Change to 'target' affects: 2 direct caller(s), 1 transitive caller(s), "
                                 "3 test file(s) [Risk: medium]")


def test_a_callers_file_is_where_it_calls_from_not_where_it_is_called(index):
    # The row where z.f is called (from tests/test_x.py) comes first
    # in loaded order, but the caller lives in app/z.py.
    index.call("a.t", "z.f", "tests/test_x.py").call("z.f", "target", "app/z.py")
    report = index.function("target")
    assert items(report) == [("z.f", "app/z.py", "direct_caller", 1),
                             ("a.t", "tests/test_x.py", "transitive_caller", 2)]
    assert report["test_files"] == 1


def test_endpoint_reaching_the_target_is_critical(index):
    index.artifact("app.routes.get_items", "endpoint", "app/routes.py")
    index.artifact("app.routes.other", "endpoint", "app/routes.py")
    index.artifact("app.svc.list_items", "function", "app/svc.py")
    index.calls([("app.routes.get_items", "app.svc.list_items"), ("app.svc.list_items", "notify"),
                 ("app.routes.other", "print")])
    report = index.function("notify")
    assert report["risk_level"] == "critical"
    assert report["api_endpoints"] == 1
    assert items(report)[-1] == ("app.routes.get_items", "app/routes.py", "api_exposure", 0)
    assert report["summary"] == ("Change to 'notify' affects: 1 direct caller(s), 1 transitive caller(s), "
                                 "1 API endpoint(s) [Risk: critical]")


def test_exposure_needs_an_endpoint_within_ten_calls(index):
    index.artifact("api.far", "endpoint").artifact("api.near", "endpoint").artifact("api.target", "endpoint")
    # api.far -> s1 -> ... -> s10 -> notify is 11 calls; api.near -> s10 -> notify is 2.
    index.calls([("api.far", "s.s1")] + [(f"s.s{i}", f"s.s{i + 1}") for i in range(1, 10)] + [("s.s10", "notify")])
    index.calls([("api.near", "s.s10"), ("api.target", "api.target"), ("api.target", "x.y")])
    report = index.function("notify")
    assert [i["qualified_name"] for i in report["affected_items"] if i["impact_type"] == "api_exposure"] == [
        "api.near"]
    # An endpoint never exposes itself, even through a call cycle.
    assert index.function("api.target")["api_endpoints"] == 0


def test_endpoint_kind_comes_from_the_artifacts_not_the_name(index):
    index.artifact("app.routes.get_items", "function")
    index.call("app.routes.get_items", "notify")
    report = index.function("notify")
    assert report["api_endpoints"] == 0
    assert report["risk_level"] == "low"


def test_scanned_endpoint_exposes_what_it_calls_by_its_written_name(project):
    project.write("app/routes.py", """\
        from fastapi import APIRouter
        router = APIRouter()

        @router.get("/items")
        def get_items():
            return load_items()

        def load_items():
            return []
        """)
    atlas = project.atlas()
    atlas.scan()
    report = atlas.analyze_function_impact("load_items")
    assert report["risk_level"] == "critical"
    assert items(report) == [("app.routes.get_items", "app/routes.py", "direct_caller", 1),
                             ("app.routes.get_items", "app/routes.py", "api_exposure", 0)]
    # The qualified name is not what the call site wrote, so nothing is found.
    assert atlas.analyze_function_impact("app.routes.load_items")["risk_level"] == "none"


# ---- file impact -------------------------------------------------------------------


def test_three_direct_importers(index):
    index.imports([("app/c.py", "app/models.py"), ("app/a.py", "app/models.py"), ("app/b.py", "app/models.py")])
    report = index.file("app/models.py")
    assert list(report) == FILE_KEYS
    assert report["risk_level"] == "medium"
    assert (report["direct_importers"], report["transitive_importers"], report["test_files"]) == (3, 0, 0)
    assert report["affected_items"] == [
        {"qualified_name": p, "file_path": p, "impact_type": "direct_importer", "distance": 1}
        for p in ["app/a.py", "app/b.py", "app/c.py"]
    ]
    assert report["summary"] == "Change to 'app/models.py' affects: 3 direct importer(s) [Risk: medium]"


def test_transitive_importers_and_tests(index):
    index.imports([("app/svc.py", "app/models.py"), ("tests/test_svc.py", "app/svc.py"),
                   ("app/api.py", "app/svc.py"), ("tests/test_models.py", "app/models.py"),
                   ("app/models.py", "app/models.py")])
    report = index.file("app/models.py")
    assert items(report) == [
        ("app/models.py", "app/models.py", "direct_importer", 1),  # imports itself
        ("app/svc.py", "app/svc.py", "direct_importer", 1),
        ("tests/test_models.py", "tests/test_models.py", "direct_importer", 1),
        ("app/api.py", "app/api.py", "transitive_importer", 2),
        ("tests/test_svc.py", "tests/test_svc.py", "transitive_importer", 2),
    ]
    assert report["test_files"] == 2
    assert report["risk_level"] == "medium"
    assert report["summary"] == ("Change to 'app/models.py' affects: 3 direct importer(s), "
                                 "2 transitive importer(s), 2 test file(s) [Risk: medium]")


@pytest.mark.parametrize("importers, risk", [(0, "none"), (2, "low"), (3, "medium"), (10, "high")])
def test_file_risk_follows_the_number_of_importers(index, importers, risk):
    index.imports([(f"m{i}.py", "lib.py") for i in range(importers)])
    report = index.file("lib.py")
    assert report["risk_level"] == risk
    if importers == 0:
        assert report["summary"] == "Change to 'lib.py' has no detected impact (none)"


def test_file_impact_ignores_calls_and_function_impact_ignores_imports(index):
    index.imports([("a.py", "b.py")]).calls([("a.f", "b.py")])
    assert index.file("b.py")["direct_importers"] == 1
    assert index.function("b.py")["direct_callers"] == 1
    assert index.file("a.f")["risk_level"] == "none"


@pytest.mark.parametrize("table, file_report_reads_it", [("calls", True), ("imports", True), ("artifacts", False)])
def test_an_unreadable_table_fails_the_report_without_partial_results(index, table, file_report_reads_it):
    index.call("a.f", "x.y").imports([("a.py", "x.py")])
    index.db.execute(f"DROP TABLE {table}")
    with pytest.raises(RuntimeError) as exc:
        index.function("x.y")
    assert re.fullmatch(rf"Database error: (prepare|query): no such table: {table}", str(exc.value))
    if file_report_reads_it:
        with pytest.raises(RuntimeError) as exc:
            index.file("x.py")
        assert re.fullmatch(rf"Database error: (prepare|query): no such table: {table}", str(exc.value))
    else:
        assert index.file("x.py")["direct_importers"] == 1


def test_arguments(index):
    assert index.atlas.analyze_function_impact(qualified_name="a.b")["target"] == "a.b"
    assert index.atlas.analyze_file_impact(file_path="a.py")["target"] == "a.py"
    with pytest.raises(TypeError):
        index.atlas.analyze_function_impact(None)
    with pytest.raises(TypeError):
        index.atlas.analyze_file_impact()
