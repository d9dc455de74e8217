"""FastAPI and pydantic metadata on definitions, seen through a scan: router
prefixes, dependency parameters, request and response models, pydantic
summaries, and the dependency chains and authentication tags built on them."""
import json
import shutil
import sqlite3
from pathlib import Path

import pytest

SHOP = Path(__file__).resolve().parent.parent / "examples" / "shop"

COLUMNS = ("qualified_name", "kind", "http_method", "route_path", "router_prefix", "direct_dependencies",
           "security_dependencies", "dependency_chain", "request_models", "response_models",
           "pydantic_fields_summary", "pydantic_validators_summary", "tags")
LISTS = {"direct_dependencies", "security_dependencies", "dependency_chain", "request_models", "response_models",
         "tags"}


def scan(project):
    result = project.atlas().scan()
    assert result["files_failed"] == 0, result["failed_files"]
    return stored(project)


def stored(project):
    """qualified name -> dict of the stored columns, lists decoded."""
    con = sqlite3.connect(project.db_path)
    try:
        found = con.execute(f"SELECT {', '.join(COLUMNS)} FROM artifacts").fetchall()
    finally:
        con.close()
    out = {}
    for row in found:
        record = dict(zip(COLUMNS, row))
        for key in LISTS:
            record[key] = json.loads(record[key])
        out[record["qualified_name"]] = record
    return out


def summary(text):
    return None if text is None else json.loads(text)


# ---- router prefixes ---------------------------------------------------------------------


ROUTERS = '''
import fastapi
from fastapi import APIRouter, FastAPI
from . import other

app = FastAPI()
items_router = APIRouter(prefix="/items")
plain_router = APIRouter(prefix="/plain")
dotted_router = fastapi.APIRouter(prefix="/dotted")
parent = APIRouter(prefix="/v1")
child = APIRouter(prefix="/c")
orphan = APIRouter(prefix="/o")
computed = APIRouter(prefix=BASE + "/x")

parent.include_router(child, prefix="/x")
app.include_router(items_router, prefix="/api")
app.include_router(plain_router)
app.include_router(other.router, prefix="/elsewhere")

@items_router.get("/{item_id}")
def get_item(): ...

@plain_router.get("/")
def plain(): ...

@dotted_router.post("/")
def dotted(): ...

@child.get("/leaf")
def leaf(): ...

@orphan.put("/")
def orphaned(): ...

@computed.get("/")
def computed_route(): ...

@app.get("/health")
def health(): ...

@app.middleware("http")
async def timing(request, call_next): ...

def not_a_route(): ...

@unknown.get("/u")
def unknown_router(): ...
'''


@pytest.mark.parametrize("name, method, route, prefix", [
    ("get_item", "get", "/{item_id}", "/api/items"),   # included into app with a prefix
    ("plain", "get", "/", "/plain"),                    # included without a prefix keyword
    ("dotted", "post", "/", "/dotted"),                 # fastapi.APIRouter(...)
    ("leaf", "get", "/leaf", "/v1/x/c"),                # parent prefix, include prefix, own prefix
    ("orphaned", "put", "/", "/o"),
    ("computed_route", "get", "/", None),               # a prefix that is not a string constant
    ("health", "get", "/health", None),                 # routes on the application have none
    ("timing", None, "http", None),                      # any decorator call offers a route path
    ("not_a_route", None, None, None),
    ("unknown_router", "get", "/u", None),              # a router this file never created
])
def test_route_paths_and_router_prefixes(project, name, method, route, prefix):
    project.write("pkg/routes.py", ROUTERS)
    got = scan(project)[f"pkg.routes.{name}"]
    assert (got["http_method"], got["route_path"], got["router_prefix"]) == (method, route, prefix)


def test_router_without_prefix_gains_the_inclusion_prefix(project):
    project.write("s.py", '''
        from fastapi import APIRouter
        router = APIRouter()
        app.include_router(router, prefix="/np")
        app.include_router(router, prefix="/again")

        @router.get("/")
        def f(): ...
    ''')
    # Inclusions stack in source order: the later one prefixes the earlier result.
    assert scan(project)["s.f"]["router_prefix"] == "/again/np"


def test_inclusion_before_the_router_prefix_is_assigned(project):
    # The router table is complete before inclusions are applied.
    project.write("m.py", '''
        from fastapi import APIRouter
        app.include_router(router, prefix="/api")
        router = APIRouter(prefix="/late")

        @router.get("/")
        def f(): ...
    ''')
    assert scan(project)["m.f"]["router_prefix"] == "/api/late"


# ---- dependency parameters -------------------------------------------------------------------


DEPENDENCIES = '''
from typing import Annotated
import fastapi
from fastapi import Depends, Security, BackgroundTasks
from fastapi.security import OAuth2PasswordBearer
from app import deps

oauth2_scheme = OAuth2PasswordBearer(tokenUrl="token")
dotted_scheme = fastapi.security.OAuth2PasswordBearer(tokenUrl="token")
CurrentUser = Annotated[User, Security(get_current_user)]
DbSession = Annotated[Session, Depends(get_db)]
KeywordOnlyAlias = Annotated[Session, Depends(dependency=get_db)]

def plain(db=Depends(get_db)): ...
def empty_marker(db=Depends()): ...
def keyword_marker(db=Depends(dependency=get_db)): ...
def qualified_marker(db=fastapi.Depends(get_db)): ...
def dotted_callable(db=Depends(deps.get_db)): ...
def security_default(user=Security(get_user, scopes=["a"])): ...
def alias_annotation(user: CurrentUser): ...
def depends_alias(db: DbSession): ...
def keyword_alias(db: KeywordOnlyAlias): ...
def inline_annotated(user: Annotated[User, Depends(get_user)]): ...
def first_named_marker(x: Annotated[str, Depends(), "meta", Security(check)]): ...
def scheme_token(token: str = Depends(oauth2_scheme)): ...
def dotted_scheme_token(token: Annotated[str, Depends(dotted_scheme)]): ...
def alias_wins_over_default(user: DbSession = Depends(other)): ...
def security_default_on_alias(db: DbSession = Security(other)): ...
def aligned_defaults(a, b, c=Depends(first), d=Depends(second)): ...
def positional_only(a=Depends(first), /, b=Depends(second), *args, c=Depends(third), d, e=Depends(fourth), **kw): ...
def repeated(a=Depends(get_db), b=Depends(get_db), c=Security(get_db)): ...
def background(tasks: BackgroundTasks, other=BackgroundTasks()): ...

class Service:
    def method(self, db=Depends(get_db)): ...
'''


@pytest.mark.parametrize("name, direct, security", [
    ("plain", ["get_db"], []),
    ("empty_marker", [], []),                 # a dependency, but no name to record
    ("keyword_marker", [], []),               # only the positional form names the callable
    ("qualified_marker", ["get_db"], []),
    ("dotted_callable", ["deps.get_db"], []),
    ("security_default", ["get_user"], ["get_user"]),
    ("alias_annotation", ["get_current_user"], ["get_current_user"]),
    ("depends_alias", ["get_db"], []),
    ("keyword_alias", [], []),
    ("inline_annotated", ["get_user"], []),
    ("first_named_marker", ["check"], ["check"]),
    ("scheme_token", ["oauth2_scheme"], ["oauth2_scheme"]),
    ("dotted_scheme_token", ["dotted_scheme"], ["dotted_scheme"]),
    ("alias_wins_over_default", ["get_db"], []),
    ("security_default_on_alias", ["get_db"], ["get_db"]),
    ("aligned_defaults", ["first", "second"], []),
    ("positional_only", ["first", "second", "third", "fourth"], []),
    ("repeated", ["get_db"], ["get_db"]),
    ("background", [], []),
    ("method", ["get_db"], []),
])
def test_dependency_parameters(project, name, direct, security):
    project.write("api.py", DEPENDENCIES)
    got = scan(project)[f"api.{name}"]
    assert (got["direct_dependencies"], got["security_dependencies"]) == (direct, security)


def test_aliases_and_schemes_are_per_file(project):
    project.write("deps.py", '''
        from typing import Annotated
        from fastapi import Depends, Security
        from fastapi.security import OAuth2PasswordBearer
        scheme = OAuth2PasswordBearer(tokenUrl="t")
        CurrentUser = Annotated[User, Security(get_current_user)]
    ''')
    project.write("api.py", '''
        from fastapi import Depends
        from deps import CurrentUser, scheme

        def handler(user: CurrentUser, token=Depends(scheme)): ...
    ''')
    got = scan(project)["api.handler"]
    assert (got["direct_dependencies"], got["security_dependencies"]) == (["scheme"], [])


# ---- request and response models ------------------------------------------------------------


MODELS = '''
from typing import Optional
from fastapi import APIRouter, BackgroundTasks, Body, Depends
from pydantic import BaseModel
from . import schemas
from .other import Imported

router = APIRouter()

class Item(BaseModel):
    name: str

class Tag(BaseModel):
    label: str

class NotAModel:
    pass

@router.post("/items", response_model=list[Item])
def create(item: Item, background: BackgroundTasks, imported: Imported, plain: NotAModel): ...

@router.put("/items", response_model=None)
def replace(tags: list[Tag], item: Optional[Item], again: Item | Tag, user: Item = Depends(get_user),
            jobs: BackgroundTasks = BackgroundTasks()): ...

@router.get("/users", response_model=Optional[schemas.User])
@router.head("/users", response_model="Item")
@router.options("/users", response_model=Optional[schemas.User])
def users(): ...

@router.patch("/union", response_model=Item | Tag, status_code=200)
def union(): ...

@router.get("/tuple", response_model=dict[str, tuple[int, ...]])
def tuples(): ...

@other.route("/x", response_model=Item)
@router.get("/no-model")
def not_a_route_decorator(item: Item): ...

def helper(item: Item): ...
'''


@pytest.mark.parametrize("name, request_models, response_models", [
    ("create", ["Item"], ["list[Item]"]),            # background tasks, imports and plain classes skipped
    ("replace", ["Tag", "Item"], []),                # dependency parameters skipped; None is no model
    ("users", [], ["Optional[schemas.User]", "Item"]),
    ("union", [], ["Item | Tag"]),
    ("tuples", [], ["dict[str, tuple[int, ...]]"]),
    ("not_a_route_decorator", ["Item"], []),         # only route decorators give response models
    ("helper", [], []),                              # not a route: no request models
])
def test_request_and_response_models(project, name, request_models, response_models):
    project.write("pkg/api.py", MODELS)
    got = scan(project)[f"pkg.api.{name}"]
    assert (got["request_models"], got["response_models"]) == (request_models, response_models)


# ---- pydantic summaries ---------------------------------------------------------------------


PYDANTIC = '''
import pydantic
from typing import Literal, Optional
from pydantic import BaseModel, BaseSettings, field_validator, model_validator, validator

class Fields(BaseModel):
    b: int = 1
    a: str
    c: Optional["Fields"] = None
    d: pydantic.types.Json
    e: Literal["x", 2]
    f: "tuple[int, ...]"
    x = 3

    def helper(self):
        pass

class Validators(pydantic.BaseModel):
    @field_validator("y", "x", mode="before")
    @classmethod
    def check(cls, v):
        return v

    @field_validator("z")
    @model_validator(mode="after")
    def both(self):
        return self

    @validator
    def aaa(cls, v):
        return v

    @pydantic.field_validator(FIELD, "k", check_fields=False)
    async def dynamic(cls, v):
        return v

    @property
    def not_a_validator(self):
        return 1

class Settings(BaseSettings):
    url: str

class Empty(BaseModel):
    pass

class Plain:
    a: int
    @validator
    def v(cls, x):
        return x
'''


def test_pydantic_fields_summary(project):
    project.write("models.py", PYDANTIC)
    got = scan(project)
    assert summary(got["models.Fields"]["pydantic_fields_summary"]) == [
        {"name": "a", "type_expr": "str", "has_default": False},
        {"name": "b", "type_expr": "int", "has_default": True},
        {"name": "c", "type_expr": "Optional[Fields]", "has_default": True},   # a default of None counts
        {"name": "d", "type_expr": "pydantic.types.Json", "has_default": False},
        {"name": "e", "type_expr": "Literal[x, 2]", "has_default": False},
        {"name": "f", "type_expr": "tuple[int, ...]", "has_default": False},
    ]
    # Compact, keys in their fixed order.
    assert got["models.Fields"]["pydantic_fields_summary"].startswith('[{"name":"a","type_expr":"str","has_default":false}')
    assert summary(got["models.Settings"]["pydantic_fields_summary"]) == [
        {"name": "url", "type_expr": "str", "has_default": False}]
    for name in ("models.Validators", "models.Empty"):
        assert got[name]["pydantic_fields_summary"] is None  # absent, never "[]"
    assert got["models.Plain"]["pydantic_fields_summary"] is None
    assert got["models.Plain"]["pydantic_validators_summary"] is None


def test_pydantic_validators_summary(project):
    project.write("models.py", PYDANTIC)
    got = scan(project)
    assert summary(got["models.Validators"]["pydantic_validators_summary"]) == [
        {"name": "aaa", "kind": "validator", "fields": [], "mode": None},
        {"name": "both", "kind": "field_validator", "fields": ["z"], "mode": None},
        {"name": "both", "kind": "model_validator", "fields": [], "mode": "after"},
        {"name": "check", "kind": "field_validator", "fields": ["x", "y"], "mode": "before"},
        {"name": "dynamic", "kind": "field_validator", "fields": ["k"], "mode": None},
    ]
    for name in ("models.Fields", "models.Settings", "models.Empty"):
        assert got[name]["pydantic_validators_summary"] is None


def test_validators_sort_absent_mode_first(project):
    project.write("m.py", '''
        from pydantic import BaseModel, field_validator
        class M(BaseModel):
            @field_validator("a", mode="wrap")
            @field_validator("b")
            @field_validator("c", mode="after")
            def v(cls, x):
                return x
    ''')
    text = scan(project)["m.M"]["pydantic_validators_summary"]
    assert text == ('[{"name":"v","kind":"field_validator","fields":["b"],"mode":null},'
                    '{"name":"v","kind":"field_validator","fields":["c"],"mode":"after"},'
                    '{"name":"v","kind":"field_validator","fields":["a"],"mode":"wrap"}]')


def test_summary_text_is_escaped_json_in_byte_order(project):
    project.write("m.py", '''
        from typing import Literal
        from pydantic import BaseModel
        class M(BaseModel):
            ésprit: int
            kind: Literal["quote\\"back\\\\slash", "tab\\t", "é"]
            zed: int
    ''')
    got = summary(scan(project)["m.M"]["pydantic_fields_summary"])
    # Byte order: the two-byte UTF-8 of é sorts after every ASCII letter.
    assert [f["name"] for f in got] == ["kind", "zed", "ésprit"]
    assert got[0] == {"name": "kind", "type_expr": 'Literal[quote"back\\slash, tab\t, é]', "has_default": False}


def test_deeply_nested_annotations(project):
    union = " | ".join(["A"] * 1500)
    nested = "list[" * 150 + "A" + "]" * 150
    project.write("m.py", f'''
from fastapi import APIRouter
from pydantic import BaseModel
router = APIRouter()
class M(BaseModel):
    u: {union}
    n: {nested}

@router.get("/", response_model={nested})
def h(x: {union}): ...
''')
    got = scan(project)
    fields = summary(got["m.M"]["pydantic_fields_summary"])
    assert fields[0]["type_expr"] == nested and fields[1]["type_expr"] == union
    assert got["m.h"]["response_models"] == [nested]


# ---- dependency chains and authentication tags across files ----------------------------------


def test_chains_resolve_by_module_proximity_and_dotted_names(project):
    project.write("billing/deps.py", '''
        from fastapi import Depends, HTTPException
        def get_db(settings=Depends(billing_settings)): ...
        def billing_settings(): ...
        def require_admin(db=Depends(get_db)):
            raise HTTPException(status_code=403)
    ''')
    project.write("shipping/deps.py", '''
        from fastapi import Depends
        def get_db(settings=Depends(shipping_settings)): ...
        def shipping_settings(): ...
    ''')
    project.write("billing/api.py", '''
        from fastapi import APIRouter, Depends
        from billing import deps
        router = APIRouter(prefix="/billing")

        @router.get("/near")
        def near(db=Depends(get_db)): ...

        @router.get("/dotted")
        def dotted(admin=Depends(deps.require_admin)): ...
    ''')
    got = scan(project)
    # get_db exists in both packages; the one sharing the most leading segments wins.
    assert got["billing.api.near"]["dependency_chain"] == ["get_db", "billing_settings"]
    assert got["billing.api.near"]["tags"] == ["http_get", "fastapi_route", "router_router"]
    # A dotted dependency resolves through the qualified names that end with it.
    assert got["billing.api.dotted"]["dependency_chain"] == ["deps.require_admin", "get_db", "billing_settings"]
    assert got["billing.api.dotted"]["tags"][3:] == ["auth_enforced", "auth_http_exception",
                                                     "auth_enforced_by:deps.require_admin"]


def test_security_dependency_alone_tags_auth(project):
    project.write("api.py", '''
        from typing import Annotated
        from fastapi import APIRouter, Security
        from fastapi.security import OAuth2PasswordBearer
        router = APIRouter()
        scheme = OAuth2PasswordBearer(tokenUrl="t")
        Token = Annotated[str, Security(scheme)]

        @router.get("/a")
        def secured(token: Token): ...

        @router.get("/b")
        def open_route(): ...

        def not_an_endpoint(token: Token): ...
    ''')
    for _ in range(2):
        got = scan(project)
        assert got["api.secured"]["tags"] == ["http_get", "fastapi_route", "router_router", "auth_enforced",
                                              "auth_security"]
        assert got["api.open_route"]["tags"] == ["http_get", "fastapi_route", "router_router"]
        assert got["api.not_an_endpoint"]["tags"] == []  # only endpoints get authentication tags


def test_chain_depth_is_capped(project):
    links = "\n".join(f"def d{i}(x=Depends(d{i + 1})): ..." for i in range(40))
    project.write("chain.py", "from fastapi import Depends\n" + links + "\n")
    chain = scan(project)["chain.d0"]["dependency_chain"]
    assert chain == [f"d{i}" for i in range(1, 26)]


# ---- a realistic application ---------------------------------------------------------------------


def test_example_shop_endpoints(tmp_path):
    from norvo import norvo_native

    root = tmp_path / "shop"
    shutil.copytree(SHOP, root, ignore=shutil.ignore_patterns(".norvo", "__pycache__"))
    norvo_native.Atlas(str(root)).scan()
    endpoints = {a["qualified_name"]: a for a in norvo_native.Atlas(str(root)).search_by_feature("endpoint")}
    got = {q: (a["http_method"], a["router_prefix"], a["route_path"], a["direct_dependencies"],
               a["security_dependencies"]) for q, a in endpoints.items()}
    assert got == {
        "app.api.orders.create_order": ("post", "/orders", "/", ["get_current_user", "create_order_service"], []),
        "app.api.orders.get_order": ("get", "/orders", "/{order_id}", ["get_current_user", "create_order_service"],
                                     []),
        "app.api.orders.list_orders": ("get", "/orders", "/", ["oauth2_scheme", "create_order_service"],
                                       ["oauth2_scheme"]),
        "app.api.orders.delete_order": ("delete", "/orders", "/{order_id}", ["get_admin_user", "create_order_service"],
                                        []),
        "app.api.orders.update_order_status": ("patch", "/orders", "/{order_id}",
                                               ["create_order_service", "get_admin_user"], ["get_admin_user"]),
        # The alias is imported from another module; aliases are read per file.
        "app.api.users.read_me": ("get", "/users", "/me", [], []),
        "app.features.billing.invoices.get_invoice": ("get", "/billing", "/invoices/{order_id}",
                                                      ["get_current_user"], []),
        "app.features.billing.invoices.request_refund": ("post", "/billing/invoices/refunds", "/{order_id}",
                                                         ["get_current_user"], []),
        "app.main.health": ("get", None, "/health", [], []),
    }
    assert endpoints["app.api.orders.delete_order"]["dependency_chain"] == [
        "get_admin_user", "get_current_user", "oauth2_scheme", "get_repository", "create_order_service"]
    assert endpoints["app.api.orders.update_order_status"]["tags"] == [
        "http_patch", "fastapi_route", "router_router", "auth_enforced", "auth_security", "auth_http_exception",
        "auth_enforced_by:get_admin_user", "auth_enforced_by:get_current_user"]

    con = sqlite3.connect(root / ".norvo" / "atlas.sqlite")
    try:
        models = dict(((q, (json.loads(r), json.loads(s))) for q, r, s in con.execute(
            "SELECT qualified_name, request_models, response_models FROM artifacts WHERE kind = 'endpoint'")))
        summaries = dict(((q, (f, v)) for q, f, v in con.execute(
            "SELECT qualified_name, pydantic_fields_summary, pydantic_validators_summary FROM artifacts "
            "WHERE kind = 'model'")))
    finally:
        con.close()
    assert models["app.api.orders.update_order_status"] == (["StatusUpdate"], ["OrderOut"])
    assert models["app.api.orders.create_order"] == ([], ["OrderOut"])  # OrderCreate lives in another module
    assert models["app.api.orders.list_orders"] == ([], ["list[OrderOut]"])
    assert models["app.features.billing.invoices.request_refund"] == ([], [])
    fields, validators = summaries["app.models.OrderCreate"]
    assert json.loads(fields) == [{"name": "items", "type_expr": "list[OrderItem]", "has_default": False},
                                  {"name": "note", "type_expr": "str | None", "has_default": True}]
    assert json.loads(validators) == [
        {"name": "not_empty", "kind": "field_validator", "fields": ["items"], "mode": None},
        {"name": "note_is_short", "kind": "model_validator", "fields": [], "mode": "after"}]


# ---- through the native driver: roles, parameters, failures, reference counts ----------------------

# The driver fixture builds tests/native/parser_check once per session.
from test_parser_native import FAKE_PARSE, driver, parse_one, run  # noqa: E402,F401

ROLES = '''
from fastapi import FastAPI
app = FastAPI()

@app.get("/")
def route(a, /, b, *args, c, d=1, **kw): ...

@app.middleware("http")
async def middleware(request, call_next): ...

@app.on_event("startup")
@app.on_event("shutdown")
async def lifespan(): ...

@app.on_event("other")
def other_event(): ...

@app.get("/double")
@app.middleware("http")
def both(self): ...

@app.post
class RoutedClass:
    def method(self, x): ...
'''


def test_roles_and_parameter_counts(driver, tmp_path):
    path = tmp_path / "roles.py"
    path.write_text(ROLES)
    defs = {d["name"]: d for d in parse_one(driver, path)["definitions"]}
    got = {name: (d["fastapi_roles"], d["params"]) for name, d in defs.items()}
    assert got == {
        "route": (["route_handler"], 6),   # a, b, *args, c, d, **kw
        "middleware": (["middleware"], 2),
        "lifespan": (["lifespan_startup", "lifespan_shutdown"], 0),
        "other_event": ([], 0),
        "both": (["route_handler", "middleware"], 1),
        "RoutedClass": (["route_handler"], 0),
        "method": ([], 2),
    }


BAD_REPR = FAKE_PARSE + '''
class RaisingRepr(ast.Name):
    def __repr__(self):
        raise ValueError("no repr")

class SurrogateRepr(ast.Name):
    def __repr__(self):
        return "\\ud800"
'''

ARGS = ("ast.arguments(posonlyargs=[], args=[{}], kwonlyargs=[], kw_defaults=[], defaults=[{}])")
FUNCTION = ("ast.FunctionDef(name='f', lineno=1, decorator_list=[], body=[ast.Pass()], args=" + ARGS + ")")
DEPENDS = "ast.Call(func=ast.Name(id='Depends'), args=[{}], keywords=[])"
REPR_FAILURES = [
    # an annotation, a default, a dependency argument that is not a plain name (the
    # subclasses of Name count as other expressions)
    (FUNCTION.format("ast.arg(arg='x', annotation=RaisingRepr(id='T'))", ""),
     "Failed to get repr for expression: ValueError: no repr"),
    (FUNCTION.format("ast.arg(arg='x')", "RaisingRepr(id='d')"),
     "Failed to get repr for expression: ValueError: no repr"),
    (FUNCTION.format("ast.arg(arg='x')", DEPENDS.format("RaisingRepr(id='g')")),
     "Failed to get repr for expression: ValueError: no repr"),
    (FUNCTION.format("ast.arg(arg='x', annotation=SurrogateRepr(id='T'))", ""),
     "Failed to extract string from repr: UnicodeEncodeError: "),
    # the alias pre-pass reads the marker's argument before any definition
    ("ast.Assign(targets=[ast.Name(id='Alias')], lineno=1, value=ast.Subscript(value=ast.Name(id='Annotated'), "
     "slice=ast.Tuple(elts=[ast.Name(id='T'), " + DEPENDS.format("ast.Lambda()") + "])))",
     "Failed to get repr for expression: TypeError: "),
]


def test_failing_repr_ends_the_parse(driver, tmp_path):
    paths = []
    for i, (statement, _) in enumerate(REPR_FAILURES):
        paths.append(tmp_path / f"t{i}.py")
        paths[-1].write_text(f"ast.Module(type_ignores=[], body=[{statement}])")
    # A lambda node without its fields still has the generic repr; make that one fail too.
    code = BAD_REPR + "\nast.Lambda.__repr__ = lambda self: 5\n"
    files = run(driver, "--python", code, *paths)["files"]
    for outcome, (_, message) in zip(files, REPR_FAILURES):
        assert not outcome["ok"]
        assert (outcome["error"]["kind"], outcome["error"]["path"]) == ("ParseFailed", "")
        assert outcome["error"]["message"].startswith(message), outcome["error"]["message"]


def test_repeated_parses_release_every_reference(driver, tmp_path):
    """Allocated interpreter blocks and tracked objects stay flat across rounds
    of parsing FastAPI-heavy files, on success and on repr failures."""
    files = []
    for name, text in (("routes.py", ROUTERS), ("deps.py", DEPENDENCIES), ("models.py", MODELS),
                       ("pyd.py", PYDANTIC), ("roles.py", ROLES)):
        files.append(tmp_path / name)
        files[-1].write_text(text)
    files += sorted(SHOP.rglob("*.py"))
    for i, (statement, _) in enumerate(REPR_FAILURES[:4]):
        files.append(tmp_path / f"bad{i}.py")
        files[-1].write_text(f"ast.Module(type_ignores=[], body=[{statement}])")
    dispatch = BAD_REPR.replace("import ast\n", "import ast\n_real = ast.parse\n", 1).replace(
        "return eval(source)", "return eval(source) if source.startswith('ast.') else _real(source)")
    out = run(driver, "--python", dispatch, "--leak", 6, *files)
    assert out["ok"] > 0 and out["failed"] > 0
    settled = out["blocks"][1:]
    assert max(settled) - min(settled) <= 10, out["blocks"]
    assert len(set(out["gc_objects"][1:])) == 1, out["gc_objects"]
