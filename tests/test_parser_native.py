"""Python source extraction, checked through the native driver tests/native/parser_check.

The driver embeds the interpreter, runs PythonAstParser over fixture files and
prints definitions, import records, call sites (and, with --root, the module
map with import and call rows) as JSON.
"""
import hashlib
import json
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[1]
# The embedded interpreter keeps memory until exit by design; only errors count.
ENV = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "detect_leaks=0"))


@pytest.fixture(scope="session")
def driver(native_drivers):
    return native_drivers / "parser_check"


def run(driver, *args, stderr=False):
    done = subprocess.run([str(driver), *map(str, args)], capture_output=True, text=True, timeout=600, env=ENV)
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout)
    return (out, done.stderr) if stderr else out


def write(root: Path, relative: str, text: str) -> Path:
    path = root / relative
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(text))
    return path


def parse_one(driver, path, *args):
    out = run(driver, *args, path)
    item = out["files"][0]
    assert item["ok"], item
    return item["result"]


def line_of(source: str, marker: str) -> int:
    """1-based number of the first line of `source` containing `marker`."""
    for number, line in enumerate(textwrap.dedent(source).splitlines(), 1):
        if marker in line:
            return number
    raise AssertionError(marker)


# ---- definitions ------------------------------------------------------------------

DEFS = '''\
"""Module docstring."""
X = 1
X_Y = 2
_ = 3
x = 4
X1 = 5
A, B = 6, 7
XA: int = 8
ÄÖ = 9
obj.ATTR = 10
if True:
    IN_IF = 11


class Outer:
    """  Outer class.\u3000  """
    INNER_CONST = 1

    def method(self, a):
        def nested():
            pass
        return a

    async def fetch(self):
        """Fetch."""

    class Inner:
        pass

    def after(self):
        pass


def f(a, /, b, *args, c, **kw):
    pass


async def g(x):
    class Local:
        pass


class Blank:
    pass
'''


def test_definitions_order_kinds_lines_signatures(driver, tmp_path):
    path = write(tmp_path, "defs.py", DEFS)
    defs = parse_one(driver, path)["definitions"]
    L = lambda marker: line_of(DEFS, marker)  # noqa: E731
    expected = [
        # name, kind, artifact kind, line_start, line_end, signature, is_async
        ("X", "constant", "constant", 2, 2, None, False),
        ("X_Y", "constant", "constant", 3, 3, None, False),
        ("_", "constant", "constant", 4, 4, None, False),
        ("ÄÖ", "constant", "constant", 9, 9, None, False),
        ("Outer", "class", "class", L("class Outer"), L("def after") + 1, None, False),
        ("method", "method", "method", L("def method"), L("return a"), "method(self, a)", False),
        ("fetch", "method", "method", L("async def fetch"), L('"""Fetch."""'), "fetch(self)", True),
        ("Inner", "class", "class", L("class Inner"), L("class Inner") + 1, None, False),
        ("after", "method", "method", L("def after"), L("def after") + 1, "after(self)", False),
        ("f", "function", "function", L("def f("), L("def f(") + 1, "f(b)", False),
        ("g", "function", "async_function", L("async def g"), L("class Local") + 1, "g(x)", True),
        ("Blank", "class", "class", L("class Blank"), L("class Blank") + 1, None, False),
    ]
    got = [(d["name"], d["kind"], d["artifact_kind"], d["line_start"], d["line_end"], d["signature"], d["is_async"])
           for d in defs]
    assert got == expected
    by_name = {d["name"]: d for d in defs}
    assert by_name["Outer"]["docstring"] == "Outer class."  # Unicode white space trimmed too
    assert by_name["fetch"]["docstring"] == "Fetch."
    assert by_name["Blank"]["docstring"] is None
    assert by_name["X"]["tags"] == [] and by_name["X"]["docstring"] is None
    assert by_name["Outer"]["field_count"] == 0 and by_name["f"]["field_count"] is None


def test_docstring_rule(driver, tmp_path):
    src = '''\
    class S:
        "  text  "
    class Blank:
        """   """
    class Number:
        42
    class Later:
        x = 1
        "not a docstring"
    def fstring():
        f"no {x}"
    def empty_body_doc():
        """
        Multi
        line.
        """
    '''
    defs = {d["name"]: d["docstring"] for d in parse_one(driver, write(tmp_path, "doc.py", src))["definitions"]}
    assert defs == {"S": "text", "Blank": "", "Number": None, "Later": None, "fstring": None,
                    "empty_body_doc": "Multi\n    line."}


def test_bases_pydantic_tag_and_counts(driver, tmp_path):
    src = '''\
    class M(BaseModel):
        a: int
        b: str = "x"
        c = 3

        @field_validator("a")
        def check_a(cls, v):
            return v

        @validator
        def old(cls, v):
            return v

        @pydantic.model_validator(mode="after")
        @other
        def whole(self):
            return self

        def plain(self):
            pass
    class N(pydantic.BaseModel, Mixin):
        pass
    class G(Base[T], BaseSettings):
        pass
    class Cfg(BaseConfig):
        pass
    class Plain(object, Base["x"]):
        pass
    @Contract
    class C(BaseModel):
        pass
    @dataclass
    class D:
        x: int
    '''
    defs = {d["name"]: d for d in parse_one(driver, write(tmp_path, "models.py", src))["definitions"]
            if d["kind"] == "class"}
    table = {name: (d["bases"], d["tags"], d["artifact_kind"], d["field_count"], d["validator_count"])
             for name, d in defs.items()}
    assert table == {
        "M": (["BaseModel"], ["pydantic_model"], "model", 2, 3),
        "N": (["BaseModel", "Mixin"], ["pydantic_model"], "model", 0, 0),
        "G": (["BaseSettings"], ["pydantic_model"], "model", 0, 0),
        "Cfg": (["BaseConfig"], ["pydantic_model"], "model", 0, 0),
        "Plain": (["object"], [], "class", 0, 0),
        "C": (["BaseModel"], ["contract", "pydantic_model"], "contract", 0, 0),
        "D": ([], ["dataclass"], "class", 1, 0),
    }


# Decorator source -> tags, route path, artifact kind, http method (functions).
DECORATORS = [
    ('@app.get("/x")', ["http_get", "fastapi_route", "router_app"], "/x", "endpoint", "get"),
    ("@router.get", ["http_get", "fastapi_route", "router_router"], None, "endpoint", "get"),
    ('@items.PATCH("/p", response_model=Item)', ["http_patch", "fastapi_route", "router_items"], "/p", "endpoint",
     "patch"),
    ('@api.v1.delete("/d")', ["http_delete", "fastapi_route"], "/d", "endpoint", "delete"),
    ('@app.head("/h")', ["http_head", "fastapi_route", "router_app"], "/h", "endpoint", "head"),
    ('@app.options("/o")', ["http_options", "fastapi_route", "router_app"], "/o", "endpoint", "options"),
    ('@app.middleware("http")', ["fastapi_middleware", "router_app"], "http", "function", None),
    ('@app.on_event("startup")', ["fastapi_lifespan_startup", "router_app"], "startup", "function", None),
    ('@app.on_event("shutdown")', ["fastapi_lifespan_shutdown", "router_app"], "shutdown", "function", None),
    ('@app.on_event("reload")', ["router_app"], "reload", "function", None),
    ("@app.include_router", ["router_mount"], None, "function", None),
    ("@property", ["property"], None, "function", None),
    ("@staticmethod", ["staticmethod"], None, "function", None),
    ("@classmethod", ["classmethod"], None, "function", None),
    ("@abstractmethod", ["abstractmethod"], None, "function", None),
    ("@override", ["override"], None, "function", None),
    ("@deprecated", ["deprecated"], None, "function", None),
    ("@Contract", ["contract"], None, "contract", None),
    ("@abc.abstractmethod", [], None, "function", None),
    ("@dataclass(frozen=True)", ["dataclass"], None, "function", None),
    ("@cache", [], None, "function", None),
    ("@handlers[0]", [], None, "function", None),
    ("@factory()(3)", [], None, "function", None),
    ('@property\n@app.post("/first")\n@app.put("/second")',
     ["property", "http_post", "fastapi_route", "router_app", "http_put", "fastapi_route", "router_app"],
     "/second", "endpoint", "post"),
    ('@app.get("/a")\n@cached(ttl=3)\n@tracer.span("/b")\n@logged(5)',
     ["http_get", "fastapi_route", "router_app"], "/b", "endpoint", "get"),
]


@pytest.fixture(scope="module")
def decorated(driver, tmp_path_factory):
    root = tmp_path_factory.mktemp("decorators")
    parts = [f"{deco}\ndef f{i}():\n    pass\n" for i, (deco, *_rest) in enumerate(DECORATORS)]
    path = root / "routes.py"
    path.write_text("\n".join(parts))
    return {d["name"]: d for d in parse_one(driver, path)["definitions"]}


@pytest.mark.parametrize("index", range(len(DECORATORS)), ids=[d[0] for d in DECORATORS])
def test_decorator_tags(decorated, index):
    deco, tags, route, kind, method = DECORATORS[index]
    d = decorated[f"f{index}"]
    assert (d["tags"], d["route_path"], d["artifact_kind"], d["http_method"]) == (tags, route, kind, method)


def test_class_decorators_keep_no_route_path(driver, tmp_path):
    src = '''\
    @app.get("/x")
    class Resource:
        @router.post("/y")
        async def create(self):
            pass
    '''
    defs = parse_one(driver, write(tmp_path, "cls.py", src))["definitions"]
    assert [(d["name"], d["route_path"], d["artifact_kind"], d["http_method"]) for d in defs] == [
        ("Resource", None, "endpoint", "get"),
        ("create", "/y", "endpoint", "post"),
    ]


# Function body -> has_yield.
YIELD_BODIES = [
    ("yield 1", True),
    ("x = yield", True),
    ("return (yield from g())", True),
    ("if a:\n    yield", True),
    ("while a:\n    pass\nelse:\n    yield", True),
    ("try:\n    pass\nfinally:\n    yield", True),
    ("try:\n    pass\nexcept E:\n    yield", False),  # handlers are not searched
    ("with a:\n    yield", True),
    ("with (yield):\n    pass", False),  # with items are not searched
    ("for i in (yield):\n    pass", True),
    ("f((yield))", False),  # call arguments are not searched
    ("x = [(yield)]", False),
    ("def inner():\n    yield", False),
    ("class K:\n    x = yield", False),
    ("y = lambda: (yield)", True),  # a lambda's body is its `body`
    ("pass", False),
]


def test_has_yield(driver, tmp_path):
    parts = [f"def f{i}():\n" + textwrap.indent(body, "    ") + "\n" for i, (body, _) in enumerate(YIELD_BODIES)]
    defs = parse_one(driver, write(tmp_path, "gen.py", "\n".join(parts)))["definitions"]
    got = {d["name"]: d["has_yield"] for d in defs}
    assert [got[f"f{i}"] for i in range(len(YIELD_BODIES))] == [want for _, want in YIELD_BODIES]


# ---- imports and import rows ----------------------------------------------------------

ROUTES = '''\
import os
import sys as system
from . import views
from .views import render, helper as h
from .. import models
from ..models import User
from x import *
from typing import List
import app.api.views, json
import app
from app import models as m2
if TYPE_CHECKING:
    import hidden
try:
    import fast
except ImportError:
    pass
def f():
    import inner
class K:
    import in_class
'''


def test_import_records_and_rows(driver, tmp_path):
    root = tmp_path / "proj"
    files = [
        write(root, "app/__init__.py", ""),
        write(root, "app/api/__init__.py", ""),
        write(root, "app/api/routes.py", ROUTES),
        write(root, "app/api/views.py", ""),
        write(root, "app/models.py", ""),
        write(root, "pkg/__init__.py", ""),
        write(root, "pkg/mod.py", ""),
        write(root, "lib.py", ""),
        write(root, "other.py", "import pkg\nfrom pkg import mod\nfrom pkg import missing\nfrom lib import thing\n"),
    ]
    out = run(driver, "--root", root, *files)
    assert out["module_map"] == {
        "app.__init__": "app/__init__.py", "app.api.__init__": "app/api/__init__.py",
        "app.api.routes": "app/api/routes.py", "app.api.views": "app/api/views.py", "app.models": "app/models.py",
        "pkg.__init__": "pkg/__init__.py", "pkg.mod": "pkg/mod.py", "lib": "lib.py", "other": "other.py",
    }

    records = out["files"][2]["result"]["imports"]
    assert [(r["module"], r["names"], r["alias"], r["line_number"], r["level"], r["is_relative"], r["is_wildcard"])
            for r in records] == [
        ("os", [], None, 1, 0, False, False),
        ("sys", [], "system", 2, 0, False, False),
        ("", ["views"], None, 3, 1, True, False),
        ("views", ["render", "helper"], None, 4, 1, True, False),
        ("", ["models"], None, 5, 2, True, False),
        ("models", ["User"], None, 6, 2, True, False),
        ("x", [], None, 7, 0, False, True),
        ("typing", ["List"], None, 8, 0, False, False),
        ("app.api.views", [], None, 9, 0, False, False),
        ("json", [], None, 9, 0, False, False),
        ("app", [], None, 10, 0, False, False),
        ("app", ["models"], None, 11, 0, False, False),
    ]

    rows = {r["file"]: r for r in out["rows"]}
    routes = rows["app/api/routes.py"]
    assert routes["module_path"] == "app.api.routes"
    assert [(r["import_name"], r["target_file"], r["import_type"], r["line_number"], r["alias"], r["is_wildcard"])
            for r in routes["import_rows"]] == [
        ("os", "os.py", "module", 1, None, 0),
        ("sys", "sys.py", "module", 2, "system", 0),
        ("app.api.views", "app/api/views.py", "relative", 3, None, 0),
        ("app.api.views.render", "app/api/views.py", "relative", 4, None, 0),
        ("app.api.views.helper", "app/api/views.py", "relative", 4, None, 0),
        ("app.models", "app/models.py", "relative", 5, None, 0),
        ("app.models.User", "app/models.py", "relative", 6, None, 0),
        ("x", "x.py", "wildcard", 7, None, 1),
        ("typing.List", "typing/List.py", "from", 8, None, 0),
        ("app.api.views", "app/api/views.py", "module", 9, None, 0),
        ("json", "json.py", "module", 9, None, 0),
        ("app", "app.py", "module", 10, None, 0),  # a package's __init__ is never the target
        ("app.models", "app/models.py", "from", 11, None, 0),
    ]
    assert all(r["source_file"] == "app/api/routes.py" for r in routes["import_rows"])
    assert [(r["import_name"], r["target_file"]) for r in rows["other.py"]["import_rows"]] == [
        ("pkg", "pkg.py"), ("pkg.mod", "pkg/mod.py"), ("pkg.missing", "pkg/missing.py"), ("lib.thing", "lib.py"),
    ]


def test_relative_import_climbing_past_the_top(driver, tmp_path):
    root = tmp_path / "proj"
    files = [write(root, "a/b.py", "from .... import z\nfrom ...deep import *\n"), write(root, "z.py", "")]
    rows = run(driver, "--root", root, *files)["rows"][0]["import_rows"]
    assert [(r["import_name"], r["target_file"], r["import_type"], r["is_wildcard"]) for r in rows] == [
        ("z", "z.py", "relative", 0),
        ("deep", "deep.py", "wildcard", 1),
    ]


def test_module_path_of_files_outside_the_root_and_doubled_suffix(driver, tmp_path):
    root = tmp_path / "proj"
    inside = write(root, "pkg/x.py.py", "import y\n")
    outside = write(tmp_path, "elsewhere/w.py", "")
    out = run(driver, "--root", root, inside, outside)
    assert out["module_map"]["pkg.x"] == "pkg/x.py.py"
    outside_module = str(outside)[:-3].replace("/", ".")
    assert out["module_map"][outside_module] == str(outside)


# ---- calls and call rows -----------------------------------------------------------------

CLIENT = '''\
import httpx
client = httpx.AsyncClient()
setup()

class Api:
    default = make_default()

    async def fetch(self, url):
        data = await client.get(url)
        print(data)
        self.save()
        return [f(i) for i in g()]

    def chain(self):
        foo(bar(1))
        a().b()
        super().save()
        get_db().close()
        self.repo.items.add(x, key=kw_call())
        return obj[0].method()

    class Inner:
        def deep(self):
            helper()

def outer():
    def inner():
        hidden()
    class Local:
        def m(self):
            local_hidden()
    with open(p) as fh, lock():
        fh.read()
    try:
        risky()
    except E:
        handle()
    else:
        ok()
    finally:
        cleanup()
    for x in items():
        use(x)
    else:
        for_else()
    while check():
        step()
    if cond():
        yes()
    else:
        no()
    lam = lambda: ignored()
    d = {key(): val(), **spread()}
    s = a_() if t_() else b_()
    n = not neg()
    v = left() + right()
    c = cmp() < other_cmp()
    z = x_() and y_()
    st = {set_item()}
    gen = (gen_elt() for _ in gen_iter())
    dc = {dk(): dv() for _ in dci()}
    sub = sub_base()[idx()]
    total += aug()
    assert chk()
    t: int = ann()
    fs = f"{fstr()}"
    lst = [*star()]
    tup = (t1(), [t2()])
    raise Error(msg())

async def stream():
    await (await outer_aw())(inner_arg())
    async with session() as s:
        await s.send()
    async for item in feed():
        await asyncio.sleep(0)
'''


def test_call_sites(driver, tmp_path):
    path = write(tmp_path, "app/client.py", CLIENT)
    calls = parse_one(driver, path)["calls"]
    flags = lambda c: ("await" if c["is_await"] else "") + ("attr" if c["is_attribute"] else "")  # noqa: E731
    got = [(c["scope"], c["callee"], flags(c)) for c in calls]
    expected = [
        ("Api.fetch", "client.get", "awaitattr"), ("Api.fetch", "print", ""), ("Api.fetch", "self.save", "attr"),
        ("Api.fetch", "f", ""),
        ("Api.chain", "foo", ""), ("Api.chain", "bar", ""), ("Api.chain", "b", "attr"),
        ("Api.chain", "save", "attr"), ("Api.chain", "close", "attr"),
        ("Api.chain", "self.repo.items.add", "attr"), ("Api.chain", "method", "attr"),
        ("Api.Inner.deep", "helper", ""),
    ] + [("outer", name, "attr" if "." in name else "") for name in [
        "open", "lock", "fh.read", "risky", "ok", "cleanup", "handle", "items", "use", "check", "step",
        "cond", "yes", "no", "val", "spread", "t_", "a_", "b_", "neg", "left", "right", "cmp", "other_cmp", "x_", "y_",
        "set_item", "gen_elt", "dk", "dv", "sub_base", "ann", "t1", "t2", "Error", "msg",
    ]] + [
        # The awaited call's callee is itself an await: no text, and a call's
        # func is never walked, so only its argument is recorded.
        ("stream", "inner_arg", ""),
        ("stream", "session", ""), ("stream", "s.send", "awaitattr"), ("stream", "feed", ""),
        ("stream", "asyncio.sleep", "awaitattr"),
    ]
    assert got == expected
    lines = {c["callee"]: c["line_number"] for c in calls}
    assert lines["client.get"] == line_of(CLIENT, "await client.get")
    assert lines["msg"] == line_of(CLIENT, "raise Error")


def test_call_rows(driver, tmp_path):
    root = tmp_path / "proj"
    path = write(root, "app/client.py", CLIENT)
    rows = run(driver, "--root", root, path)["rows"][0]["call_rows"]
    first = [(r["caller_qualified_name"], r["callee_qualified_name"], r["caller_file"], r["call_type"])
             for r in rows[:3]]
    assert first == [
        ("app.client.Api.fetch", "client.get", "app/client.py", "async"),
        ("app.client.Api.fetch", "print", "app/client.py", "direct"),
        ("app.client.Api.fetch", "self.save", "app/client.py", "method"),
    ]
    assert rows[0]["line_number"] == line_of(CLIENT, "await client.get")
    assert {r["caller_qualified_name"] for r in rows} == {
        "app.client.Api.fetch", "app.client.Api.chain", "app.client.Api.Inner.deep", "app.client.outer",
        "app.client.stream"}


# ---- driver: reading, hashing, line counts, cache, logs ---------------------------------------


@pytest.mark.parametrize("data, lines", [
    (b"", 0), (b"a", 1), (b"a\n", 1), (b"a\n\nb", 3), (b"a\r\nb\r\n", 2), (b"\n\n", 2), ("é = 1\n".encode(), 1),
])
def test_hash_and_line_count(driver, tmp_path, data, lines):
    path = tmp_path / "f.py"
    path.write_bytes(data)
    result = parse_one(driver, path)
    assert result["content_hash"] == hashlib.sha256(data).hexdigest()
    assert result["line_count"] == lines
    assert result["from_cache"] is False


def test_byte_order_mark_is_accepted(driver, tmp_path):
    data = "\ufeffX = 1\ndef f():\n    pass\n".encode()
    path = tmp_path / "bom.py"
    path.write_bytes(data)
    result = parse_one(driver, path)
    assert [(d["name"], d["line_start"]) for d in result["definitions"]] == [("X", 1), ("f", 2)]
    assert result["content_hash"] == hashlib.sha256(data).hexdigest()


def test_empty_file_has_nothing(driver, tmp_path):
    result = parse_one(driver, write(tmp_path, "empty.py", ""))
    assert (result["definitions"], result["imports"], result["calls"], result["line_count"]) == ([], [], [], 0)


def test_cache_answers_same_path_same_content(driver, tmp_path):
    src = "import os\nX = 1\ndef f():\n    g()\n"
    a, b = write(tmp_path, "a.py", src), write(tmp_path, "b.py", src)
    out, log = run(driver, "--log", "trace", "--twice", a, b, stderr=True)
    for item in out["files"]:
        first, second = item["result"], item["second"]["result"]
        assert first["from_cache"] is False and len(first["definitions"]) == 2  # identical content, other path
        assert second["from_cache"] is True
        assert (second["definitions"], second["imports"], second["calls"]) == ([], [], [])
        assert (second["content_hash"], second["line_count"]) == (first["content_hash"], first["line_count"])
    log = re.sub(r"\x1b\[[0-9;]*m", "", log)
    cached = [line for line in log.splitlines() if "Using cached parse result" in line]
    parsed = [line for line in log.splitlines() if "Parsed file" in line]
    assert len(cached) == 2 and len(parsed) == 2
    assert all("TRACE norvo_atlas::parser::python_ast: " in line for line in cached)
    assert f"path={a}" in cached[0]
    assert "DEBUG norvo_atlas::parser::python_ast: Parsed file" in parsed[0]
    assert f"path={a} definitions=2 imports=1 calls=1" in parsed[0]


def test_changed_file_is_parsed_again(driver, tmp_path):
    path = write(tmp_path, "a.py", "X = 1\n")
    item = run(driver, "--twice", "--touch-between", path)["files"][0]
    first, second = item["result"], item["second"]["result"]
    assert second["from_cache"] is False
    assert second["content_hash"] != first["content_hash"]
    assert second["line_count"] == 2 and [d["name"] for d in second["definitions"]] == ["X"]


def test_failed_parse_is_not_cached(driver, tmp_path):
    path = write(tmp_path, "bad.py", "def f(:\n")
    item = run(driver, "--twice", path)["files"][0]
    assert not item["ok"] and not item["second"]["ok"]
    assert item["second"]["error"]["kind"] == "SyntaxError"


@pytest.mark.parametrize("source, line, message_start, message_end", [
    ("x = 1\ny = 2\ndef f(:\n", 3, "SyntaxError: invalid syntax", "(<unknown>, line 3)"),
    ("x = (\n", 1, "SyntaxError: '(' was never closed", "(<unknown>, line 1)"),
    # An earlier "line " without digits does not hide the position.
    ("a = 1\nx = 1 \\ y\n", 2, "SyntaxError: unexpected character after line continuation character",
     "(<unknown>, line 2)"),
    # The first "line " followed by digits decides.
    ("def f():\nreturn 1\n", 1, "IndentationError: expected an indented block after function definition on line 1",
     "(<unknown>, line 2)"),
    ("x = 1\x00\n", 0, "SyntaxError: source code string cannot contain null bytes", "null bytes"),
])
def test_syntax_errors(driver, tmp_path, source, line, message_start, message_end):
    path = tmp_path / "bad.py"
    path.write_bytes(source.encode())
    error = run(driver, path)["files"][0]["error"]
    assert error["kind"] == "SyntaxError"
    assert error["line"] == line
    assert error["message"].startswith(message_start) and error["message"].endswith(message_end)
    assert error["path"] == str(path)
    assert error["text"] == f"Syntax error in '{path}' at line {line}: {error['message']}"


def test_read_failures(driver, tmp_path):
    latin = tmp_path / "latin.py"
    latin.write_bytes(b'name = "caf\xe9"\n')
    missing = tmp_path / "missing.py"
    directory = tmp_path / "pkg.py"
    directory.mkdir()
    errors = [item["error"] for item in run(driver, latin, missing, directory)["files"]]
    assert [(e["kind"], e["path"], e["message"]) for e in errors] == [
        ("ParseFailed", str(latin), "Failed to read file: stream did not contain valid UTF-8"),
        ("ParseFailed", str(missing), "Failed to read file: No such file or directory (os error 2)"),
        ("ParseFailed", str(directory), "Failed to read file: Is a directory (os error 21)"),
    ]
    assert errors[0]["text"] == f"Failed to parse Python file '{latin}': Failed to read file: " \
                                "stream did not contain valid UTF-8"


def test_ast_import_failures(driver, tmp_path):
    path = write(tmp_path, "a.py", "X = 1\n")
    halt = "import sys; sys.modules['ast'] = None"
    created = run(driver, "--python", halt, path)["create_error"]
    assert (created["kind"], created["path"]) == ("ParseFailed", "")
    assert created["message"] == ("Failed to import Python ast module: ModuleNotFoundError: "
                                  "import of ast halted; None in sys.modules")
    error = run(driver, "--python-after", halt, path)["files"][0]["error"]
    assert (error["kind"], error["path"]) == ("ParseFailed", str(path))
    assert error["message"] == "Failed to import ast: ModuleNotFoundError: import of ast halted; None in sys.modules"


def test_parser_takes_the_lock_when_the_caller_does_not_hold_it(driver, tmp_path):
    path = write(tmp_path, "defs.py", DEFS)
    held = run(driver, "--root", tmp_path, path)
    released = run(driver, "--release-gil", "--root", tmp_path, path)
    assert released == held and held["files"][0]["ok"]


# ---- node reads on hand-built trees ------------------------------------------------------------------

# ast.parse is replaced by a function that evaluates the file's text, so each
# fixture below is an expression that builds the tree handed to the walks.
FAKE_PARSE = """
import ast
def _fake_parse(source):
    return eval(source)
ast.parse = _fake_parse
"""

M = "ast.Module(type_ignores=[], body={})"
FN = "ast.FunctionDef(name='f', args=ast.arguments(posonlyargs=[], args=[], kwonlyargs=[], kw_defaults=[], " \
     "defaults=[]), body=[ast.Pass()], decorator_list=[]{})"

FATAL_TREES = [
    (M.format("[ast.ClassDef(lineno=1, body=[], bases=[], decorator_list=[])]"),
     "Failed to get attribute 'name': AttributeError: 'ClassDef' object has no attribute 'name'"),
    (M.format("[ast.ClassDef(name=5, lineno=1, body=[], bases=[], decorator_list=[])]"),
     "Failed to extract string from 'name': TypeError: "),
    (M.format("[ast.ClassDef(name='C', body=[], bases=[], decorator_list=[])]"),
     "Failed to get attribute 'lineno': AttributeError: 'ClassDef' object has no attribute 'lineno'"),
    (M.format("[" + FN.format(", lineno='x'") + "]"),
     "Failed to extract int from 'lineno': TypeError: 'str' object cannot be interpreted as an integer"),
    (M.format("[ast.FunctionDef(name='f', lineno=1, body=[], decorator_list=[])]"),
     "Failed to get function args: AttributeError: 'FunctionDef' object has no attribute 'args'"),
    (M.format("[ast.Assign(targets=[ast.Name(id='X')], value=ast.Constant(1))]"),
     "Failed to get attribute 'lineno': AttributeError: 'Assign' object has no attribute 'lineno'"),
    # A fatal read in a nested class ends the whole file.
    (M.format("[ast.ClassDef(name='C', lineno=1, bases=[], decorator_list=[], body=[" + FN.format("") + "])]"),
     "Failed to get attribute 'lineno': AttributeError: 'FunctionDef' object has no attribute 'lineno'"),
    ("ast.Module(type_ignores=[])", "Failed to get AST body: AttributeError: 'Module' object has no attribute 'body'"),
    ("5", "Failed to get AST body: AttributeError: 'int' object has no attribute 'body'"),
]


@pytest.fixture(scope="module")
def fatal_outcomes(driver, tmp_path_factory):
    root = tmp_path_factory.mktemp("fatal")
    paths = []
    for i, (tree, _) in enumerate(FATAL_TREES):
        paths.append(root / f"t{i}.py")
        paths[-1].write_text(tree)
    return run(driver, "--python", FAKE_PARSE, *paths)["files"]


@pytest.mark.parametrize("index", range(len(FATAL_TREES)), ids=[m for _, m in FATAL_TREES])
def test_fatal_node_reads(fatal_outcomes, index):
    error = fatal_outcomes[index]["error"]
    assert (error["kind"], error["path"]) == ("ParseFailed", "")
    assert error["message"].startswith(FATAL_TREES[index][1])
    assert error["text"] == f"Failed to parse Python file '': {error['message']}"


def test_optional_reads_are_skipped(driver, tmp_path):
    tree = M.format("[" + ", ".join([
        # no end_lineno: the end is the start
        FN.format(", lineno=4"),
        # a body that is not a list reads as empty; a non-string base name is skipped
        "ast.ClassDef(name='C', lineno=5, end_lineno=6, body=5, bases=[ast.Name(id=7), ast.Name(id='B')], "
        "decorator_list=None)",
        # a non-string target id is simply not a constant
        "ast.Assign(targets=[ast.Name(id=5)], value=ast.Constant(1), lineno=7)",
        "ast.Assign(targets=[], value=ast.Constant(1), lineno=8)",
        # unreadable import names are skipped; a missing lineno reads as 0
        "ast.Import(names=[ast.alias(name=None), ast.alias(name=''), ast.alias(name='os')])",
        "ast.ImportFrom(module=None, names=[ast.alias(name=3), ast.alias(name='*')])",
        # a call without lineno records line 0; an argument that is not a parameter name is left out
        "ast.FunctionDef(name='g', lineno=9, decorator_list=[], body=[ast.Expr(value=ast.Call("
        "func=ast.Name(id='h'), args=[], keywords=[]))], args=ast.arguments(posonlyargs=[], "
        "args=[ast.arg(arg='a'), ast.arg(arg=None), ast.arg(arg='b')], kwonlyargs=[], kw_defaults=[], defaults=[]))",
    ]) + "]")
    path = tmp_path / "tree.py"
    path.write_text(tree)
    result = parse_one(driver, path, "--python", FAKE_PARSE)
    assert [(d["name"], d["line_start"], d["line_end"], d["bases"], d["signature"]) for d in result["definitions"]] == [
        ("f", 4, 4, [], "f()"), ("C", 5, 6, ["B"], None), ("g", 9, 9, [], "g(a, b)"),
    ]
    assert [(r["module"], r["names"], r["line_number"], r["is_relative"], r["is_wildcard"])
            for r in result["imports"]] == [("os", [], 0, False, False), ("", [], 0, False, True)]
    assert [(c["scope"], c["callee"], c["line_number"]) for c in result["calls"]] == [("g", "h", 0)]


@pytest.mark.parametrize("raised, line", [
    ("ValueError('boom')", 0),
    ("RuntimeError('bad at line 12 here')", 12),
    ("ValueError('line 99999999999999999999999 overflows')", 0),
])
def test_any_exception_from_parse_is_a_syntax_error(driver, tmp_path, raised, line):
    path = tmp_path / "raises.py"
    path.write_text(f"(_ for _ in ()).throw({raised})")
    error = run(driver, "--python", FAKE_PARSE, path)["files"][0]["error"]
    assert (error["kind"], error["line"]) == ("SyntaxError", line)
    assert error["message"] == f"{raised.split('(')[0]}: {eval(raised.split('(', 1)[1][:-1])}"


def test_deep_expressions_are_walked_without_exhausting_the_stack(driver, tmp_path):
    # Only a raised recursion limit lets the host build trees this deep.
    src = ("def f():\n    return g()" + ".b" * 8000 + "\n"
           "def h():\n    return (yield)" + ".b" * 8000 + "\n"
           '@app.get("/x")' + "(1)" * 3000 + "\ndef k():\n    pass\n")
    path = write(tmp_path, "deep.py", src)
    result = parse_one(driver, path, "--python", "import sys; sys.setrecursionlimit(200000)")
    assert [(d["name"], d["has_yield"], d["tags"], d["route_path"]) for d in result["definitions"]] == [
        ("f", False, [], None),
        ("h", True, [], None),
        ("k", False, ["http_get", "fastapi_route", "router_app"], None),  # the outermost call has no string
    ]
    assert [(c["scope"], c["callee"]) for c in result["calls"]] == [("f", "g")]


def test_definitions_nested_beyond_reason_fail_the_file(driver, tmp_path):
    tree = M.format("[__import__('functools').reduce(lambda inner, _: ast.ClassDef(name='C', lineno=1, bases=[], "
                    "decorator_list=[], body=[inner]), range(1500), ast.Pass())]")
    path = tmp_path / "nested.py"
    path.write_text(tree)
    error = run(driver, "--python", FAKE_PARSE, path)["files"][0]["error"]
    assert (error["kind"], error["path"]) == ("ParseFailed", "")
    assert error["message"] == "Failed to walk AST: definitions nested deeper than 1000 levels"


# ---- reference counts ------------------------------------------------------------------------------


def test_repeated_parses_release_every_reference(driver, tmp_path):
    """Allocated interpreter blocks and tracked objects stay flat across rounds
    of parsing (fresh parser each round, each file twice), on success paths,
    cached paths and every kind of failure."""
    files = [
        write(tmp_path, "defs.py", DEFS), write(tmp_path, "client.py", CLIENT), write(tmp_path, "routes.py", ROUTES),
        write(tmp_path, "bad.py", "def f(:\n"),
    ]
    (tmp_path / "latin.py").write_bytes(b"x = '\xe9'\n")
    files += [tmp_path / "latin.py", tmp_path / "missing.py"]
    for i, (tree, _) in enumerate(FATAL_TREES):
        files.append(tmp_path / f"fatal{i}.py")
        files[-1].write_text(tree)
    # Trees that parse normally through the replaced ast.parse too.
    real = "import ast as _a\n_real = _a.parse\n"
    dispatch = FAKE_PARSE.replace("return eval(source)",
                                  "return eval(source) if source.startswith(('ast.', '5')) else _real(source)")
    out = run(driver, "--python", real + dispatch, "--leak", 6, *files)
    assert out["ok"] > 0 and out["failed"] > 0
    settled = out["blocks"][1:]
    assert max(settled) - min(settled) <= 10, out["blocks"]
    assert len(set(out["gc_objects"][1:])) == 1, out["gc_objects"]
