"""Atlas.detect_patterns() and Atlas.get_patterns().

Most fixtures write artifact rows straight into the index so that each case
controls exactly the names, kinds and files the detector sees.
"""
import os
import re
import sqlite3
import subprocess
import sys

import pytest

from norvo import norvo_native as nn

KEYS = ["pattern_type", "name", "file_path", "confidence", "artifacts", "indicators", "explanation"]


def art(kind, qualified_name, file_path=None):
    module, _, name = qualified_name.rpartition(".")
    if file_path is None:
        file_path = (module or name).replace(".", "/") + ".py"
    return {"kind": kind, "symbol_name": name, "qualified_name": qualified_name, "file_path": file_path,
            "module_path": module}


def fn(qualified_name, file_path=None):
    return art("function", qualified_name, file_path)


def method(qualified_name):
    return art("method", qualified_name)


def cls(qualified_name):
    return art("class", qualified_name)


def connect(root):
    return sqlite3.connect(root / ".norvo" / "atlas.sqlite")


def write_artifacts(root, rows):
    con = connect(root)
    with con:
        con.execute("DELETE FROM artifacts")
        # Rows are read back by file, then start line: numbering them in list
        # order makes that order the list order within a file.
        for i, r in enumerate(rows):
            r = dict(r, line_start=i + 1, line_end=i + 1)
            con.execute(
                "INSERT INTO artifacts (symbol_name, qualified_name, kind, file_path, module_path, line_start, "
                "line_end) VALUES (:symbol_name, :qualified_name, :kind, :file_path, :module_path, :line_start, "
                ":line_end)",
                r,
            )
    con.close()


@pytest.fixture
def index(tmp_path):
    """An opened Atlas and a function that replaces its artifacts."""
    atlas = nn.Atlas(str(tmp_path))

    def load(rows):
        write_artifacts(tmp_path, rows)
        return atlas

    load.atlas = atlas
    load.root = tmp_path
    return load


def stored(root):
    con = connect(root)
    rows = con.execute(
        "SELECT pattern_type, name, file_path, confidence, artifacts, indicators, explanation FROM patterns ORDER BY id"
    ).fetchall()
    con.close()
    return rows


def brief(patterns):
    return [(p["pattern_type"], p["name"], pytest.approx(p["confidence"])) for p in patterns]


def test_module_crud_pattern_in_full(index):
    atlas = index([fn("app.services.users.create_user"), fn("app.services.users.get_user"),
                   fn("app.services.users.delete_user")])
    patterns = atlas.detect_patterns()
    assert patterns == [{
        "pattern_type": "crud",
        "name": "users",
        "file_path": "app/services/users.py",
        "confidence": 0.75,
        "artifacts": ["app.services.users.create_user", "app.services.users.get_user",
                      "app.services.users.delete_user"],
        "indicators": ["create", "get", "delete"],
        "explanation": "Module 'users' implements CRUD operations: create, get, delete",
    }]
    assert list(patterns[0]) == KEYS
    assert isinstance(patterns[0]["confidence"], float)
    # What was returned is what was stored, lists as compact JSON.
    assert stored(index.root) == [("crud", "users", "app/services/users.py", 0.75,
                                   '["app.services.users.create_user","app.services.users.get_user",'
                                   '"app.services.users.delete_user"]', '["create","get","delete"]',
                                   "Module 'users' implements CRUD operations: create, get, delete")]


@pytest.mark.parametrize(
    "names, verbs",
    [
        (["update_item", "list_items", "get_items"], ["get", "update", "list"]),
        (["created_at", "remove_x", "find_all"], ["create", "remove", "find"]),
        (["CreateUser", "READ_ONE", "Delete"], ["create", "read", "delete"]),  # matched lowered
        (["thread_pool", "get_x", "remove_y"], ["read", "get", "remove"]),  # substrings count
        (["create_or_update_or_delete", "x", "y"], ["create", "update", "delete"]),  # one name, three verbs
        (["create", "read", "get", "update", "delete"], ["create", "read", "get", "update", "delete"]),
        (["create_a", "create_b", "get_c"], None),  # two distinct verbs only
        (["create_a", "get_b"], None),  # two functions: never a module pattern
    ],
)
def test_module_crud_verbs(index, names, verbs):
    atlas = index([fn(f"pkg.mod.{n}") for n in names])
    patterns = atlas.detect_patterns()
    crud = [p for p in patterns if p["pattern_type"] == "crud"]
    if verbs is None:
        assert crud == []
    else:
        assert [p["indicators"] for p in crud] == [verbs]
        assert crud[0]["confidence"] == min(len(verbs) / 4, 1.0)


@pytest.mark.parametrize(
    "file_path, name",
    [
        ("app/services/users.py", "users"),
        ("a/b.tar.gz", "b.tar"),
        ("pkg/.hidden", ".hidden"),
        ("pkg/noext", "noext"),
        ("pkg/trailing.", "trailing"),
        ("pkg/dir/", "dir"),
        ("pkg/./mod.py", "mod"),
        ("pkg/..", "pkg/.."),
    ],
)
def test_module_crud_name_is_file_stem(index, file_path, name):
    atlas = index([fn(f"m.{v}_x", file_path) for v in ("create", "get", "delete")])
    [p] = atlas.detect_patterns()
    assert (p["name"], p["file_path"]) == (name, file_path)
    assert p["explanation"] == f"Module '{name}' implements CRUD operations: create, get, delete"


def test_module_grouping_kinds(index):
    # Functions, async functions and endpoints of one file form a module;
    # constants, models and methods do not count towards it.
    rows = [fn("m.create_a", "m.py"), art("async_function", "m.get_a", "m.py"), art("endpoint", "m.delete_a", "m.py")]
    assert brief(index(rows).detect_patterns()) == [("crud", "m", 0.75)]
    rows = [fn("m.create_a", "m.py"), art("constant", "m.GET_A", "m.py"), art("model", "m.delete_a", "m.py")]
    assert index(rows).detect_patterns() == []


def test_class_grouping_keys(index):
    # A class is grouped under its own name, a method under the last segment
    # of its module path (the class is not part of a method's qualified name).
    rows = [cls("app.users.UserRepo"), method("app.users.create"), method("app.users.get"),
            method("app.users.delete"), method("app.users.update")]
    [p] = index(rows).detect_patterns()
    assert p == {
        "pattern_type": "crud", "name": "users", "file_path": "app/users.py", "confidence": 1.0,
        "artifacts": ["app.users.create", "app.users.get", "app.users.delete", "app.users.update"],
        "indicators": ["create", "get", "update", "delete"],
        "explanation": "Class 'users' implements CRUD operations: create, get, update, delete",
    }


def test_class_crud_includes_the_class_name_itself(index):
    rows = [cls("m.CreateReadDelete")]
    [p] = index(rows).detect_patterns()
    assert (p["pattern_type"], p["name"], p["artifacts"], p["indicators"]) == (
        "crud", "CreateReadDelete", ["m.CreateReadDelete"], ["create", "read", "delete"])


def test_artifacts_without_dotted_name_are_not_grouped(index):
    rows = [art("class", "OrderFactory", "f.py"), art("method", "get_instance", "f.py")]
    assert index(rows).detect_patterns() == []


@pytest.mark.parametrize(
    "rows, expected",
    [
        # A factory hint in the key is enough on its own.
        ([cls("shop.OrderFactory")], [("factory", "OrderFactory", 0.5)]),
        ([cls("shop.WidgetBuilder"), cls("shop.PartCreator")],
         [("factory", "WidgetBuilder", 0.5), ("factory", "PartCreator", 0.5)]),
        # Unhinted keys need two distinct prefixes; hinted ones gain up to 0.5.
        ([method("shop.parts.make_a"), method("shop.parts.build_b")], [("factory", "parts", 0.5)]),
        ([method("shop.parts.make_a"), method("shop.parts.make_b")], []),
        ([method("shop.factory.make_a"), method("shop.factory.build_b"), method("shop.factory.produce_c")],
         [("factory", "factory", 1.0)]),
        ([method("shop.factory.make_a")], [("factory", "factory", 0.5 + 1 / 3)]),
        # Prefix, not substring.
        ([method("shop.parts.remake_a"), method("shop.parts.rebuild_b")], []),
    ],
)
def test_factory(index, rows, expected):
    assert brief(index(rows).detect_patterns()) == expected


def test_factory_explanation(index):
    [p] = index([cls("shop.OrderFactory")]).detect_patterns()
    assert p == {"pattern_type": "factory", "name": "OrderFactory", "file_path": "shop.py", "confidence": 0.5,
                 "artifacts": [], "indicators": [],
                 "explanation": "Class 'OrderFactory' follows Factory pattern (object creation)"}


@pytest.mark.parametrize(
    "rows, expected",
    [
        ([cls("app.UserStore")], []),  # a hint alone is 0.4
        ([method("app.store.save_x"), method("app.store.fetch_y")], [("repository", "store", 0.4 + 2 / 7 * 0.6)]),
        ([method("app.store.save_x")], []),  # 0.4 + 1/7*0.6 is below 0.5
        # Unhinted keys need six of the seven hints.
        ([method(f"app.things.{n}") for n in ("find_by_id", "save", "delete", "get_by_name", "query", "x")],
         [("repository", "things", 6 / 7 * 0.6)]),
        ([method(f"app.things.{n}") for n in ("find", "save", "delete", "query", "fetch")], []),
    ],
)
def test_repository(index, rows, expected):
    patterns = [p for p in index(rows).detect_patterns() if p["pattern_type"] == "repository"]
    assert brief(patterns) == expected
    for p in patterns:
        assert p["explanation"] == f"Class '{p['name']}' follows Repository pattern (data access abstraction)"
        assert p["artifacts"] == [] and p["indicators"] == []


@pytest.mark.parametrize(
    "rows, expected",
    [
        ([cls("app.OrderService"), method("app.OrderService.a"), method("app.OrderService.b")],
         [("service_layer", "OrderService", 0.9, "Class 'OrderService' is a service layer component (3 methods)")]),
        ([cls("app.OrderService")], []),  # one member is not enough
        ([method("app.user_manager.a"), method("app.user_manager.b")],
         [("service_layer", "user_manager", 0.8, "Class 'user_manager' is a service layer component (2 methods)")]),
        ([method(f"app.EventHandler.m{i}") for i in range(7)],
         [("service_layer", "EventHandler", 1.0, "Class 'EventHandler' is a service layer component (7 methods)")]),
        ([method("app.Controller.a"), method("app.Controller.b")],
         [("service_layer", "Controller", 0.8, "Class 'Controller' is a service layer component (2 methods)")]),
        ([method("app.ServiceLocator.a"), method("app.ServiceLocator.b")], []),  # suffix, not substring
    ],
)
def test_service_layer(index, rows, expected):
    patterns = index(rows).detect_patterns()
    assert [(p["pattern_type"], p["name"], pytest.approx(p["confidence"]), p["explanation"]) for p in patterns] == expected


@pytest.mark.parametrize(
    "member, found",
    [("get_instance", True), ("getInstance", True), ("INSTANCE", True), ("_instance", True),
     ("instances_of", True), ("shared", False), ("get_\u0130NSTANCE", False)],
)
def test_singleton(index, member, found):
    rows = [cls("app.cache.Cache"), method(f"app.cache.{member}"), method("app.cache.x")]
    patterns = [p for p in index(rows).detect_patterns() if p["pattern_type"] == "singleton"]
    if found:
        assert patterns == [{"pattern_type": "singleton", "name": "cache", "file_path": "app/cache.py",
                             "confidence": 0.7, "artifacts": [], "indicators": [],
                             "explanation": "Class 'cache' appears to implement Singleton pattern"}]
    else:
        assert patterns == []


def test_passes_concatenate_in_order_and_groups_by_first_appearance(index):
    rows = [
        # artifacts are read back ordered by file path, then start line
        method("a.zeta.get_instance"),                                     # singleton "zeta"
        cls("b.MainService"), method("b.MainService.run"),                  # service layer
        fn("c.create_c", "c.py"), fn("c.get_c", "c.py"), fn("c.list_c", "c.py"),  # module CRUD
        method("d.items.create"), method("d.items.read"), method("d.items.delete"),  # class CRUD
        cls("e.PartFactory"),                                              # factory
        method("f.alpha.get_instance"),                                    # singleton "alpha"
    ]
    patterns = index(rows).detect_patterns()
    assert [(p["pattern_type"], p["name"]) for p in patterns] == [
        ("crud", "items"),
        ("crud", "c"),
        ("factory", "PartFactory"),
        ("service_layer", "MainService"),
        ("singleton", "zeta"),
        ("singleton", "alpha"),
    ]
    # The same index always gives the same answer.
    assert index.atlas.detect_patterns() == patterns
    assert [(r[0], r[1]) for r in stored(index.root)] == [(p["pattern_type"], p["name"]) for p in patterns]


def test_get_patterns_orders_by_confidence_then_name(index):
    index([cls("x.ZFactory"), cls("x.AFactory"), method("x.m.get_instance"),
           fn("y.create_y", "y.py"), fn("y.get_y", "y.py"), fn("y.delete_y", "y.py")]).detect_patterns()
    got = index.atlas.get_patterns()
    assert [(p["pattern_type"], p["name"], p["confidence"]) for p in got] == [
        ("crud", "y", 0.75), ("singleton", "m", 0.7), ("factory", "AFactory", 0.5), ("factory", "ZFactory", 0.5)]
    assert all(list(p) == KEYS for p in got)


def test_get_patterns_reads_stored_rows_tolerantly(index):
    con = connect(index.root)
    with con:
        con.executemany(
            "INSERT INTO patterns (pattern_type, name, file_path, confidence, artifacts, indicators, explanation) "
            "VALUES (?, ?, ?, ?, ?, ?, ?)",
            [
                ("observer", "a", "a.py", 0.9, '["q.a"]', '["x"]', "e1"),
                ("Observer", "b", "b.py", 0.8, "[]", "[]", "e2"),
                ("service", "c", "c.py", 1, "not json", '[1, 2]', "e3"),
                ("facade", "d", "d.py", 0.1, "[]", "[]", None),
                ("whatever", "e", "e.py", 0.5, "[]", "[]", "e5"),
            ],
        )
    con.close()
    got = index.atlas.get_patterns()
    assert [(p["pattern_type"], p["name"], p["confidence"], p["artifacts"], p["indicators"], p["explanation"])
            for p in got] == [
        ("service_layer", "c", 1.0, [], [], "e3"),
        ("observer", "a", 0.9, ["q.a"], ["x"], "e1"),
        ("crud", "b", 0.8, [], [], "e2"),
        ("crud", "e", 0.5, [], [], "e5"),
        ("facade", "d", 0.1, [], [], ""),
    ]
    assert isinstance(got[0]["confidence"], float)


def test_empty_index_keeps_stored_patterns(index):
    first = index([cls("x.OrderFactory")]).detect_patterns()
    assert index([]).detect_patterns() == []
    assert index.atlas.get_patterns() == first


def test_each_detection_replaces_the_table(index):
    index([cls("x.OrderFactory")]).detect_patterns()
    second = index([cls("x.WidgetBuilder"), cls("x.PartCreator")]).detect_patterns()
    assert index.atlas.get_patterns() == sorted(second, key=lambda p: p["name"])
    assert [r[1] for r in stored(index.root)] == ["WidgetBuilder", "PartCreator"]
    # Artifacts without any pattern still replace the table: with nothing.
    assert index([fn("x.plain")]).detect_patterns() == []
    assert index.atlas.get_patterns() == [] and stored(index.root) == []


def test_failed_store_keeps_earlier_rows(index):
    first = index([cls("x.OrderFactory")]).detect_patterns()
    con = connect(index.root)
    with con:
        con.execute("CREATE TRIGGER no_more BEFORE INSERT ON patterns BEGIN SELECT RAISE(ABORT, 'refused'); END")
    con.close()
    with pytest.raises(RuntimeError) as exc:
        index([cls("x.WidgetBuilder")]).detect_patterns()
    assert str(exc.value).startswith("Database error: insert_pattern: ")
    assert "refused" in str(exc.value)
    assert index.atlas.get_patterns() == first


@pytest.mark.parametrize("name", ["detect_patterns", "get_patterns"])
def test_methods_take_no_arguments(index, name):
    with pytest.raises(TypeError, match=name):
        getattr(index.atlas, name)(1)
    with pytest.raises(TypeError, match=name):
        getattr(index.atlas, name)(x=1)


def test_scanned_project(project):
    project.write("app/services/users.py", """
        def create_user(name):
            pass

        def get_user(user_id):
            pass

        def delete_user(user_id):
            pass
    """)
    project.write("app/factories.py", """
        class OrderFactory:
            def build(self):
                pass
    """)
    project.write("app/registry.py", """
        class Registry:
            @classmethod
            def get_instance(cls):
                pass
    """)
    atlas = project.atlas()
    # Detection reads what is stored and never scans by itself.
    assert atlas.detect_patterns() == [] and atlas.count() == 0
    atlas.scan()
    patterns = atlas.detect_patterns()
    assert [(p["pattern_type"], p["name"], p["file_path"], p["confidence"]) for p in patterns] == [
        ("crud", "users", "app/services/users.py", 0.75),
        ("factory", "OrderFactory", "app/factories.py", 0.5),
        ("singleton", "registry", "app/registry.py", 0.7),
    ]
    assert patterns[0]["artifacts"] == ["app.services.users.create_user", "app.services.users.get_user",
                                        "app.services.users.delete_user"]


LOG_CHILD = """
from norvo import norvo_native as nn
atlas = nn.Atlas({root!r})
nn.init_logging("norvo_atlas=debug,norvo_native=info")
atlas.detect_patterns()
"""


def detection_records(root):
    env = {k: v for k, v in os.environ.items() if k != "NORVO_LOG"}
    proc = subprocess.run([sys.executable, "-c", LOG_CHILD.format(root=str(root))], capture_output=True, text=True,
                          env=env)
    assert proc.returncode == 0, proc.stderr
    lines = re.sub(r"\x1b\[[0-9;]*m", "", proc.stderr).splitlines()
    # Drop the timestamp; keep level, span context, target, message and fields.
    return [line.split(" ", 1)[1].strip() for line in lines]


def test_log_records_of_a_detection(index):
    index([cls("x.OrderFactory")])
    assert detection_records(index.root) == [
        "DEBUG detect_patterns: norvo_atlas: Retrieved artifacts for pattern detection artifact_count=1",
        "INFO detect_patterns: norvo_atlas: Detected patterns pattern_count=1",
        "DEBUG detect_patterns: norvo_atlas::storage::repository: Stored patterns count=1",
        "INFO norvo_native: Pattern detection complete pattern_count=1",
    ]


def test_log_records_of_an_empty_index(index):
    index([])
    assert detection_records(index.root) == [
        "INFO detect_patterns: norvo_atlas: No artifacts found, skipping pattern detection",
        "INFO norvo_native: Pattern detection complete pattern_count=0",
    ]
