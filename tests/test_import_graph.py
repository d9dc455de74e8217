"""Atlas.get_dependents, get_dependencies and detect_cycles over the stored
import edges: walk order, the depth cap, cycles, long chains and bad tables."""
import re

import pytest


def with_imports(project, edges):
    """Opens the index (creating its schema) and stores `edges` (source, target)."""
    atlas = project.atlas()
    db = project.connect()
    db.execute("BEGIN")  # one transaction, not one per row
    db.executemany(
        "INSERT INTO imports (source_file, target_file, import_name, import_type, line_number) "
        "VALUES (?, ?, ?, 'module', ?)",
        [(s, t, t.replace("/", ".").removesuffix(".py"), i + 1) for i, (s, t) in enumerate(edges)],
    )
    db.execute("COMMIT")
    db.close()
    return atlas


def chain(n, prefix="f"):
    return [(f"{prefix}{i}.py", f"{prefix}{i + 1}.py") for i in range(n - 1)]


def test_walks_list_nearer_files_first_and_never_the_start(project):
    atlas = with_imports(project, [("a.py", "b.py"), ("b.py", "c.py")])
    assert atlas.get_dependents("c.py") == ["b.py", "a.py"]
    assert atlas.get_dependencies("a.py") == ["b.py", "c.py"]
    assert atlas.get_dependents("a.py") == []
    assert atlas.get_dependencies("c.py") == []


def test_neighbours_of_one_file_come_in_name_order(project):
    atlas = with_imports(project, [("z.py", "lib.py"), ("m.py", "lib.py"), ("b.py", "lib.py"), ("b0.py", "b.py")])
    assert atlas.get_dependents("lib.py") == ["b.py", "m.py", "z.py", "b0.py"]


def test_several_rows_between_two_files_are_one_edge(project):
    atlas = project.atlas()
    with project.connect() as db:
        db.executemany(
            "INSERT INTO imports (source_file, target_file, import_name, import_type, line_number) "
            "VALUES ('a.py', 'b.py', ?, 'from', ?)",
            [("b.x", 1), ("b.y", 1), ("b.x", 7)],
        )
    assert atlas.get_dependents("b.py") == ["a.py"]
    assert atlas.get_dependencies("a.py") == ["b.py"]


def test_mutual_imports(project):
    atlas = with_imports(project, [("a.py", "b.py"), ("b.py", "a.py")])
    assert atlas.get_dependents("a.py") == ["b.py"]
    assert atlas.get_dependencies("a.py") == ["b.py"]
    assert atlas.detect_cycles() == [["a.py", "b.py"]]


def test_walks_stop_ten_steps_away(project):
    atlas = with_imports(project, chain(12))
    assert atlas.get_dependencies("f0.py") == [f"f{i}.py" for i in range(1, 11)]
    assert atlas.get_dependents("f11.py") == [f"f{i}.py" for i in range(10, 0, -1)]


def test_shorter_path_wins_over_a_long_one(project):
    # f11 is 11 steps down the chain but 1 step away through the shortcut.
    atlas = with_imports(project, chain(12) + [("f0.py", "f11.py")])
    deps = atlas.get_dependencies("f0.py")
    assert deps[:2] == ["f1.py", "f11.py"]
    assert sorted(deps) == sorted(f"f{i}.py" for i in range(1, 12))


@pytest.mark.parametrize("path", ["./b.py", "b.py ", "pkg\\b.py", "/b.py", "B.py", ""])
def test_paths_are_matched_exactly(project, path):
    atlas = with_imports(project, [("a.py", "b.py"), ("pkg/b.py", "a.py")])
    assert atlas.get_dependents(path) == []
    assert atlas.get_dependencies(path) == []


def test_empty_table(project):
    atlas = project.atlas()
    assert atlas.get_dependents("a.py") == []
    assert atlas.get_dependencies("a.py") == []
    assert atlas.detect_cycles() == []


def test_self_import_is_a_one_file_cycle(project):
    atlas = with_imports(project, [("a.py", "a.py"), ("a.py", "b.py")])
    assert atlas.detect_cycles() == [["a.py"]]
    assert atlas.get_dependencies("a.py") == ["b.py"]


def test_cycles_are_reported_in_the_rotation_the_search_meets_them(project):
    # From a (first by name): a -> b -> c; c's edge to a closes [a, b, c], its
    # edge to b closes [b, c]. d -> a leads into the visited part: no cycle.
    atlas = with_imports(project, [("a.py", "b.py"), ("b.py", "c.py"), ("c.py", "a.py"), ("c.py", "b.py"),
                                   ("d.py", "a.py"), ("x.py", "y.py")])
    assert atlas.detect_cycles() == [["a.py", "b.py", "c.py"], ["b.py", "c.py"]]


def test_acyclic_graph_with_shared_targets_has_no_cycle(project):
    atlas = with_imports(project, [("a.py", "c.py"), ("b.py", "c.py"), ("a.py", "b.py"), ("c.py", "os.py")])
    assert atlas.detect_cycles() == []


def test_a_very_long_chain_neither_overflows_nor_loses_the_cycle(project):
    n = 100_000
    atlas = with_imports(project, chain(n, "m") + [(f"m{n - 1}.py", "m0.py")])
    cycles = atlas.detect_cycles()
    assert len(cycles) == 1
    cycle = cycles[0]
    assert len(cycle) == n
    # The rotation starts at the first file by name and follows the imports.
    start = cycle.index("m0.py")
    assert cycle[start:] + cycle[:start] == [f"m{i}.py" for i in range(n)]
    assert len(atlas.get_dependencies("m0.py")) == 10


def test_scanned_project_resolves_imports_to_files(project):
    project.write("app/models.py", "class User:\n    pass\n")
    project.write("app/service.py", "import os\nfrom app.models import User\n")
    project.write("app/api.py", "from app import service\n")
    atlas = project.atlas()
    atlas.scan()
    assert atlas.get_dependents("app/models.py") == ["app/service.py", "app/api.py"]
    assert atlas.get_dependencies("app/api.py") == ["app/service.py", "app/models.py", "os.py"]
    assert atlas.get_dependents("./app/models.py") == []


def test_unreadable_table_is_a_database_error(project):
    atlas = project.atlas()
    with project.connect() as db:
        db.execute("DROP TABLE imports")
    for call in (lambda: atlas.get_dependents("a.py"), lambda: atlas.get_dependencies("a.py"), atlas.detect_cycles):
        with pytest.raises(RuntimeError) as exc:
            call()
        assert re.fullmatch(r"Database error: (prepare|query): no such table: imports", str(exc.value))


def test_arguments_are_bound_like_python_functions(project):
    atlas = project.atlas()
    assert atlas.get_dependents(file_path="a.py") == []
    with pytest.raises(TypeError):
        atlas.get_dependents()
    with pytest.raises(TypeError):
        atlas.get_dependencies(3)
    with pytest.raises(TypeError):
        atlas.detect_cycles("a.py")
