"""Atlas.fastapi_scaling_policy(): the built-in policy, .norvo/fastapi_scaling.yaml
with its per-field and per-section defaults, and the errors of a bad file."""
import os

import pytest

RULE_ROWS = {
    # pattern: (category, severity, forbidden_scopes, suggestion)
    "requests.": ("external_http", "Medium", ["endpoint"],
                  "Perform external HTTP work asynchronously or via background jobs where possible"),
    "httpx.": ("external_http", "Medium", ["endpoint"],
               "Ensure outbound HTTP calls are awaited and consider timeouts/retries"),
    "session.commit": ("db_commit", "High", ["endpoint"],
                       "Prefer transactional dependencies and avoid committing directly in endpoints"),
    "Session.commit": ("db_commit", "High", ["endpoint"],
                       "Prefer transactional dependencies and avoid committing directly in endpoints"),
    "sessionmaker": ("db_pooling", "Medium", [],
                     "Ensure sessionmaker/engine are constructed once and reused via dependencies"),
    "async_sessionmaker": ("db_pooling", "Medium", [],
                           "Ensure async_sessionmaker/engine are constructed once and reused via dependencies"),
    "create_engine": ("db_engine", "Medium", [],
                      "Construct engines once at startup and reuse via dependency injection"),
    "async_engine": ("db_engine", "Medium", [],
                     "Construct async engines once at startup and reuse via dependency injection"),
    "session.execute": ("db_query", "High", ["endpoint"],
                        "Use async DB drivers or offload heavy queries to worker contexts"),
    "Session.execute": ("db_query", "High", ["endpoint"],
                        "Use async DB drivers or offload heavy queries to worker contexts"),
    "sqlalchemy.orm.sessionmaker": ("db_pooling", "Medium", [],
                                    "Ensure sessionmaker/engine are constructed once and reused via dependencies"),
    "sqlalchemy.orm.async_sessionmaker": (
        "db_pooling", "Medium", [],
        "Ensure async_sessionmaker/engine are constructed once and reused via dependencies"),
    "sqlalchemy.create_engine": ("db_engine", "Medium", [],
                                 "Construct engines once at startup and reuse via dependency injection"),
    "sqlalchemy.ext.asyncio.create_async_engine": (
        "db_engine", "Medium", [], "Construct async engines once at startup and reuse via dependency injection"),
    "os.getenv": ("env_access", "Medium", [],
                  "Centralize environment access in settings classes and avoid scattering os.getenv"),
    "os.environ.get": ("env_access", "Medium", [],
                       "Centralize environment access in settings classes and avoid scattering os.environ lookups"),
}

SETUP_ROWS = ["session.commit", "Session.commit", "sessionmaker", "async_sessionmaker", "create_engine",
              "async_engine"]
EXPECTED_LISTS = {
    "external_calls": ["requests.", "httpx.", *SETUP_ROWS],
    "db_query_calls": ["session.execute", "Session.execute", *SETUP_ROWS, "sqlalchemy.orm.sessionmaker",
                       "sqlalchemy.orm.async_sessionmaker", "sqlalchemy.create_engine",
                       "sqlalchemy.ext.asyncio.create_async_engine"],
    "env_call_patterns": ["os.getenv", "os.environ.get"],
}

BUILTIN_SECTIONS = {
    "endpoints": {
        "enabled": True, "warn_on_sync_handlers": True, "sync_handler_severity": "Medium",
        "blocking_calls": [], "cpu_bound_calls": [],
        "thresholds": {"max_sync_endpoints": None, "max_endpoints_per_module": None,
                       "max_endpoints_per_router": None},
    },
    "dependencies": {"enabled": True, "resources": [], "require_yield_for_kinds": [],
                     "forbid_inline_resources_in_endpoints": []},
    "routers": {
        "enabled": True, "warn_on_direct_app_routes": True, "direct_app_route_severity": "Medium",
        "thresholds": {"max_endpoints_per_module": None, "max_endpoints_per_router": None},
        "allowed_direct_route_modules": [],
    },
    "lifespan": {"enabled": True, "require_lifespan_for_kinds": [], "ignore_modules": []},
    "middleware": {"enabled": True, "warn_on_base_http_middleware": True, "base_http_middleware_severity": "Medium",
                   "max_middleware_layers": None, "blocking_calls": []},
    "background_tasks": {"enabled": True, "heavy_call_patterns": [], "job_queues": [],
                         "prefer_job_queues_for_heavy_tasks": True},
    "models": {"enabled": True, "thresholds": {"max_fields_per_model": None, "max_nested_model_depth": None,
                                               "max_validators_per_model": None},
               "allowlist": []},
}


def policy_file(project, text):
    return project.write(".norvo/fastapi_scaling.yaml", text)


def load(project, text=None):
    if text is not None:
        policy_file(project, text)
    return project.atlas().fastapi_scaling_policy()


def config_error(project, text=None, raw=None):
    if raw is not None:
        project.write_bytes(".norvo/fastapi_scaling.yaml", raw)
    elif text is not None:
        policy_file(project, text)
    with pytest.raises(ValueError) as info:
        project.atlas().fastapi_scaling_policy()
    message = str(info.value)
    prefix = f"Invalid argument: Analysis config error in '{project.root / '.norvo' / 'fastapi_scaling.yaml'}': "
    assert message.startswith(prefix), message
    return message[len(prefix):]


def assert_sorted_keys(value):
    if isinstance(value, dict):
        assert list(value) == sorted(value)
        for v in value.values():
            assert_sorted_keys(v)
    elif isinstance(value, list):
        for v in value:
            assert_sorted_keys(v)


# ---- the built-in policy ------------------------------------------------------------


def test_builtin_policy_without_a_file(project):
    policy = load(project)
    assert policy["version"] == "1.0" and policy["enabled"] is True
    for key, section in BUILTIN_SECTIONS.items():
        assert policy[key] == section, key
    for key, patterns in EXPECTED_LISTS.items():
        assert [p["pattern"] for p in policy[key]] == patterns, key
        for p in policy[key]:
            category, severity, forbidden, suggestion = RULE_ROWS[p["pattern"]]
            assert p == {"pattern": p["pattern"], "category": category, "severity": severity,
                         "suggestion": suggestion, "is_prefix_match": True, "allowed_scopes": [],
                         "forbidden_scopes": forbidden}
    assert list(policy)[:3] == ["background_tasks", "db_query_calls", "dependencies"]
    assert_sorted_keys(policy)


def test_the_policy_is_read_afresh_on_every_call(project):
    atlas = project.atlas()
    assert atlas.fastapi_scaling_policy()["version"] == "1.0"
    path = policy_file(project, "version: broken: [")
    with pytest.raises(ValueError):
        atlas.fastapi_scaling_policy()
    path.write_text("version: '2.5'\n")
    assert atlas.fastapi_scaling_policy()["version"] == "2.5"
    path.unlink()
    assert len(atlas.fastapi_scaling_policy()["external_calls"]) == 8


def test_no_arguments_accepted(project):
    with pytest.raises(TypeError):
        project.atlas().fastapi_scaling_policy(1)


# ---- files that load ------------------------------------------------------------------


def test_version_only_keeps_builtin_sections_but_no_patterns(project):
    policy = load(project, "version: '3'\n")
    assert policy["version"] == "3"
    for key, section in BUILTIN_SECTIONS.items():
        assert policy[key] == section, key
    for key in EXPECTED_LISTS:
        assert policy[key] == []


def test_a_named_section_takes_per_field_defaults(project):
    policy = load(project, """
        version: "1"
        endpoints: {enabled: true}
        routers: {}
        middleware: {enabled: false}
        background_tasks: {enabled: true}
    """)
    assert policy["endpoints"]["warn_on_sync_handlers"] is False
    assert policy["endpoints"]["sync_handler_severity"] == "Medium"
    assert policy["routers"]["warn_on_direct_app_routes"] is False
    assert policy["middleware"] == {**BUILTIN_SECTIONS["middleware"], "enabled": False,
                                    "warn_on_base_http_middleware": False}
    assert policy["background_tasks"]["prefer_job_queues_for_heavy_tasks"] is False
    # Sections the file leaves out stay built-in.
    assert policy["lifespan"] == BUILTIN_SECTIONS["lifespan"]


def test_a_pattern_with_only_its_pattern_key(project):
    policy = load(project, "version: '1'\nexternal_calls:\n  - pattern: boto3.\n")
    assert policy["external_calls"] == [{"pattern": "boto3.", "category": None, "severity": "High",
                                         "suggestion": None, "is_prefix_match": False, "allowed_scopes": [],
                                         "forbidden_scopes": []}]


def test_every_field_is_read(project):
    policy = load(project, """
        version: "2.0"
        enabled: false
        endpoints:
          enabled: true
          warn_on_sync_handlers: true
          sync_handler_severity: Low
          blocking_calls:
            - {pattern: time.sleep, category: blocking, severity: Critical, suggestion: use asyncio.sleep,
               is_prefix_match: false, allowed_scopes: [background_task], forbidden_scopes: [endpoint, lifespan]}
          cpu_bound_calls: [{pattern: hashlib.}]
          thresholds: {max_sync_endpoints: 3, max_endpoints_per_module: 0x10, max_endpoints_per_router: ~}
        dependencies:
          resources:
            - kind: db_session
              create_call_patterns: [{pattern: SessionLocal}]
              module_prefixes: [app.db]
              allowed_scopes: [dependency]
              severity_outside_allowed: Critical
          require_yield_for_kinds: [db_session]
          forbid_inline_resources_in_endpoints: [db_session]
        routers:
          warn_on_direct_app_routes: true
          direct_app_route_severity: High
          thresholds: {max_endpoints_per_module: 4, max_endpoints_per_router: 5}
          allowed_direct_route_modules: [app.main]
        lifespan: {require_lifespan_for_kinds: [db_session], ignore_modules: [app.scripts]}
        middleware: {max_middleware_layers: 2, blocking_calls: [{pattern: requests.get}]}
        background_tasks:
          heavy_call_patterns: [{pattern: pandas.read_csv}]
          job_queues: [{name: celery, package: tasks, enqueue_functions: [delay, apply_async]}]
          prefer_job_queues_for_heavy_tasks: true
        models: {thresholds: {max_fields_per_model: 20, max_nested_model_depth: 3, max_validators_per_model: 4},
                 allowlist: [LegacyModel]}
        env_call_patterns: [{pattern: os.environ, is_prefix_match: true}]
    """)
    assert policy["enabled"] is False and policy["version"] == "2.0"
    e = policy["endpoints"]
    assert e["sync_handler_severity"] == "Low"
    assert e["blocking_calls"] == [{"pattern": "time.sleep", "category": "blocking", "severity": "Critical",
                                    "suggestion": "use asyncio.sleep", "is_prefix_match": False,
                                    "allowed_scopes": ["background_task"],
                                    "forbidden_scopes": ["endpoint", "lifespan"]}]
    assert e["cpu_bound_calls"][0]["pattern"] == "hashlib."
    assert e["thresholds"] == {"max_sync_endpoints": 3, "max_endpoints_per_module": 16,
                               "max_endpoints_per_router": None}
    assert policy["dependencies"]["resources"] == [{
        "kind": "db_session", "module_prefixes": ["app.db"], "allowed_scopes": ["dependency"],
        "severity_outside_allowed": "Critical",
        "create_call_patterns": [{"pattern": "SessionLocal", "category": None, "severity": "High",
                                  "suggestion": None, "is_prefix_match": False, "allowed_scopes": [],
                                  "forbidden_scopes": []}]}]
    assert policy["dependencies"]["require_yield_for_kinds"] == ["db_session"]
    assert policy["routers"]["thresholds"] == {"max_endpoints_per_module": 4, "max_endpoints_per_router": 5}
    assert policy["routers"]["direct_app_route_severity"] == "High"
    assert policy["lifespan"]["ignore_modules"] == ["app.scripts"]
    assert policy["middleware"]["max_middleware_layers"] == 2
    assert policy["background_tasks"]["job_queues"] == [
        {"name": "celery", "package": "tasks", "enqueue_functions": ["delay", "apply_async"]}]
    assert policy["models"]["thresholds"]["max_nested_model_depth"] == 3
    assert policy["models"]["allowlist"] == ["LegacyModel"]
    assert policy["env_call_patterns"][0]["is_prefix_match"] is True
    assert policy["external_calls"] == [] and policy["db_query_calls"] == []
    assert_sorted_keys(policy)


def test_unknown_keys_are_ignored_at_every_level(project):
    policy = load(project, """
        version: "1"
        comment: {anything: [1, 2]}
        endpoints: {enabled: true, colour: blue, thresholds: {max_sync_endpoints: 1, extra: x}}
        external_calls: [{pattern: a, note: b}]
    """)
    assert policy["endpoints"]["thresholds"]["max_sync_endpoints"] == 1
    assert policy["external_calls"][0]["pattern"] == "a"
    assert "comment" not in policy


def test_anchors_and_aliases_are_followed(project):
    policy = load(project, """
        version: "1"
        patterns: &p [{pattern: requests., forbidden_scopes: [endpoint]}]
        external_calls: *p
        db_query_calls: *p
    """)
    assert policy["external_calls"] == policy["db_query_calls"]
    assert policy["external_calls"][0]["forbidden_scopes"] == ["endpoint"]


# ---- files that are refused ------------------------------------------------------------


@pytest.mark.parametrize("text, expected", [
    ("enabled: true\n", "missing field `version`"),
    ("version: '1'\nendpoints:\n  sync_handler_severity: medium\n",
     "endpoints.sync_handler_severity: unknown variant `medium`, expected one of `Critical`, `High`, `Medium`, `Low`"),
    ("version: '1'\nexternal_calls: [{pattern: a, forbidden_scopes: [Endpoint]}]\n",
     "external_calls[0].forbidden_scopes[0]: unknown variant `Endpoint`, expected one of `endpoint`, `dependency`, "
     "`lifespan`, `middleware`, `background_task`"),
    ("version: '1'\nenabled: 'yes'\n", "enabled: invalid type: string \"yes\", expected a boolean"),
    ("version: '1'\nendpoints: [1]\n", "endpoints: invalid type: sequence, expected struct EndpointRules"),
    ("version: '1'\nexternal_calls: requests.\n", "external_calls: invalid type: string \"requests.\", expected a sequence"),
    ("version: '1'\nmiddleware: {max_middleware_layers: -1}\n", "middleware.max_middleware_layers: invalid value"),
    ("version: '1'\nmodels: {thresholds: {max_fields_per_model: many}}\n",
     "models.thresholds.max_fields_per_model: invalid type: string \"many\""),
    ("version: [1]\n", "version: invalid type: sequence, expected a string"),
    ("version:\n", "version: invalid type: unit value, expected a string"),
    ("version: '1'\nexternal_calls: [{category: http}]\n", "external_calls[0]: missing field `pattern`"),
    ("version: '1'\ndependencies: {resources: [{allowed_scopes: []}]}\n",
     "dependencies.resources[0]: missing field `kind`"),
    ("version: '1'\nbackground_tasks: {job_queues: [{name: rq}]}\n",
     "background_tasks.job_queues[0]: missing field `package`"),
    ("version: '1'\nbackground_tasks: {job_queues: [{package: rq}]}\n",
     "background_tasks.job_queues[0]: missing field `name`"),
    ("version: '1'\nversion: '2'\n", "duplicate field `version`"),
    ("- a\n- b\n", "invalid type: sequence, expected struct FastapiScalingPolicy"),
    ("", "empty document"),
    ("version: '1'\n---\nversion: '2'\n", "content after the end of the first YAML document"),
    ("version: [unclosed\n", "end of sequence flow not found"),
    ("  version: '1'\n  enabled: true\nendpoints: {}\n", "content after the end of the first YAML document"),
])
def test_bad_files_are_analysis_config_errors(project, text, expected):
    assert expected in config_error(project, text)


def test_bad_severity_in_a_nested_pattern_names_the_variants(project):
    detail = config_error(project, "version: '1'\nmiddleware:\n  blocking_calls:\n    - {pattern: x, severity: high}\n")
    assert detail.startswith("middleware.blocking_calls[0].severity: unknown variant `high`")
    assert "`Critical`, `High`, `Medium`, `Low`" in detail and "at line 4" in detail


def test_unreadable_and_non_utf8_files(project):
    assert "valid UTF-8" in config_error(project, raw=b"version: '\xff'\n")
    path = project.root / ".norvo" / "fastapi_scaling.yaml"
    path.unlink()
    path.mkdir()
    assert "Is a directory" in config_error(project)


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files regardless of their mode")
def test_a_file_without_read_permission(project):
    path = policy_file(project, "version: '1'\n")
    path.chmod(0)
    assert "Permission denied" in config_error(project)


# ---- hostile files ------------------------------------------------------------------------


@pytest.mark.parametrize("text, expected", [
    ("version: '1'\nendpoints: " + "[" * 50_000 + "]" * 50_000 + "\n", "recursion limit exceeded"),
    ("version: '1'\nendpoints: " + "{a: " * 50_000 + "1" + "}" * 50_000 + "\n", "recursion limit exceeded"),
    # A small file standing for a million patterns once its aliases are followed.
    ("version: '1'\npatterns: &p [" + ", ".join(["{pattern: a}"] * 1000) + "]\n"
     "rule: &r {kind: k, create_call_patterns: *p}\n"
     "dependencies: {resources: [" + ", ".join(["*r"] * 1000) + "]}\n", "repetition limit exceeded"),
])
def test_hostile_yaml_is_refused_without_crashing(project, text, expected):
    assert expected in config_error(project, text)


def test_oversized_file_is_refused(project):
    big = "version: '1'\n" + "# padding\n" * 1_000_000
    assert "larger than" in config_error(project, big)
