"""Atlas.analyze_fastapi_router_topology(): routers, their prefixes, modules and
endpoints, the inferred include tree, and the routes declared on the app."""
import textwrap

import pytest

from norvo import norvo_native


def topology(project):
    return project.atlas().analyze_fastapi_router_topology()


def routers(result):
    return {r["name"]: r for r in result["routers"]}


def entry(qn, file_path, methods, route, prefix=None):
    return {"qualified_name": qn, "file_path": file_path, "http_methods": methods, "route_path": route,
            "router_prefix": prefix}


@pytest.fixture(scope="module")
def fastapi_metadata(tmp_path_factory):
    """Skips tests that need router prefixes from the parser when this build
    does not extract FastAPI metadata yet."""
    root = tmp_path_factory.mktemp("probe")
    (root / "probe.py").write_text(textwrap.dedent("""
        from fastapi import APIRouter
        router = APIRouter(prefix="/p")
        @router.get("/x")
        def probe_handler():
            pass
    """))
    hits = norvo_native.Atlas(str(root)).search("probe_handler")
    if not any(h["router_prefix"] == "/p" for h in hits):
        pytest.skip("the parser does not extract router prefixes in this build")


def test_no_endpoints(project):
    project.write("lib/util.py", "def helper():\n    pass\n")
    assert topology(project) == {"direct_app_routes": [], "routers": []}


def test_app_routes_unscoped_routes_and_a_router_in_two_modules(project):
    project.write("app/main.py", """
        from fastapi import FastAPI
        app = FastAPI()

        @app.get("/health")
        async def health():
            return {}

        @app.post("/echo")
        @app.get("/echo")
        async def echo():
            return {}
    """)
    project.write("app/items.py", """
        from fastapi import APIRouter
        router = APIRouter()

        @router.get("/items")
        async def list_items():
            return []
    """)
    project.write("app/more_items.py", """
        from app.items import router

        @router.delete("/items/{item_id}")
        async def delete_item(item_id: int):
            return None
    """)
    project.write("app/legacy.py", """
        @api.v1.get("/old")
        def old():
            return None
    """)
    result = topology(project)
    echo = entry("app.main.echo", "app/main.py", ["get", "post"], "/echo")
    health = entry("app.main.health", "app/main.py", ["get"], "/health")
    assert result["direct_app_routes"] == [echo, health]
    assert result["routers"] == [
        {"name": "app", "prefix": None, "modules": ["app.main"], "includes": ["router", "unscoped"],
         "endpoints": [echo, health], "is_app": True},
        {"name": "router", "prefix": None, "modules": ["app.items", "app.more_items"], "includes": [],
         "endpoints": [entry("app.items.list_items", "app/items.py", ["get"], "/items"),
                       entry("app.more_items.delete_item", "app/more_items.py", ["delete"], "/items/{item_id}")],
         "is_app": False},
        {"name": "unscoped", "prefix": None, "modules": ["app.legacy"], "includes": [],
         "endpoints": [entry("app.legacy.old", "app/legacy.py", ["get"], "/old")], "is_app": False},
    ]
    assert all(list(r) == sorted(r) for r in result["routers"])


def test_without_an_app_router_nothing_is_included(project):
    project.write("app/items.py", """
        from fastapi import APIRouter
        items = APIRouter()

        @items.get("/items")
        def list_items():
            return []
    """)
    assert routers(topology(project))["items"]["includes"] == []


def test_denied_and_unparsable_files_are_skipped(project):
    project.write("app/ok.py", "@router.get('/a')\ndef a():\n    pass\n")
    project.write("app/private/internal.py", "@router.get('/b')\ndef b():\n    pass\n")
    project.write("app/broken.py", "@router.get('/c')\ndef c(:\n    pass\n")
    result = topology(project)
    assert [e["qualified_name"] for e in routers(result)["router"]["endpoints"]] == ["app.ok.a"]


def test_no_arguments_accepted(project):
    with pytest.raises(TypeError):
        project.atlas().analyze_fastapi_router_topology(None)


# ---- prefixes and include inference (need router prefixes from the parser) -----------------


def test_longest_covering_prefix_is_the_parent(project, fastapi_metadata):
    for name, prefix in [("api", "/api"), ("v1", "/api/v1"), ("users", "/api/v1/users"), ("apix", "/apix")]:
        project.write(f"app/{name}.py", f"""
            from fastapi import APIRouter
            {name} = APIRouter(prefix="{prefix}")

            @{name}.get("/")
            async def index_{name}():
                return []
        """)
    table = routers(topology(project))
    assert {n: (r["prefix"], r["includes"]) for n, r in table.items()} == {
        # "/api" is a byte prefix of "/apix": the rule compares text, not segments.
        "api": ("/api", ["apix", "v1"]),
        "apix": ("/apix", []),
        "v1": ("/api/v1", ["users"]),
        "users": ("/api/v1/users", []),
    }
    assert table["users"]["endpoints"][0]["router_prefix"] == "/api/v1/users"


def test_a_lone_nested_prefix_gets_a_parent(project, fastapi_metadata):
    project.write("app/admin.py", """
        from fastapi import APIRouter
        users = APIRouter(prefix="/api/admin/users")

        @users.get("/")
        async def list_users():
            return []
    """)
    result = topology(project)
    assert result["routers"][0] == {"name": "api", "prefix": "/api/admin", "modules": [], "includes": ["users"],
                                    "endpoints": [], "is_app": False}
    assert [r["name"] for r in result["routers"]] == ["api", "users"]


def test_included_prefixes_and_the_first_prefix_decides(project, fastapi_metadata):
    project.write("app/main.py", """
        from fastapi import APIRouter, FastAPI
        app = FastAPI()
        items_router = APIRouter(prefix="/items")
        app.include_router(items_router, prefix="/api")

        @items_router.get("/{item_id}")
        async def get_item(item_id: int):
            return {}
    """)
    project.write("app/more.py", """
        from app.main import items_router

        @items_router.get("/")
        async def list_items():
            return []
    """)
    table = routers(topology(project))
    assert table["items_router"]["prefix"] == "/api/items"
    assert table["items_router"]["modules"] == ["app.main", "app.more"]
    # The app has no endpoint, so it is no router here and includes nothing.
    assert "app" not in table


def test_same_router_name_with_different_prefixes_are_different_routers(project, fastapi_metadata):
    project.write("app/main.py", """
        from fastapi import FastAPI
        app = FastAPI()

        @app.get("/health")
        async def health():
            return {}
    """)
    for module, prefix in [("orders", "/orders"), ("users", "/users")]:
        project.write(f"app/{module}.py", f"""
            from fastapi import APIRouter
            router = APIRouter(prefix="{prefix}")

            @router.get("/")
            async def list_{module}():
                return []
        """)
    table = routers(topology(project))
    assert sorted(table) == ["app", "app.orders.router", "app.users.router"]
    assert table["app.orders.router"]["prefix"] == "/orders"
    assert table["app.users.router"]["prefix"] == "/users"
    assert [e["qualified_name"] for e in table["app.users.router"]["endpoints"]] == ["app.users.list_users"]
    assert table["app"]["includes"] == ["app.orders.router", "app.users.router"]
