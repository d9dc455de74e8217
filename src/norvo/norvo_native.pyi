"""Type stubs of the native module `norvo.norvo_native`.

The TypedDicts below (names with a leading underscore) exist only for type
checkers: they describe the dicts the module returns and are not attributes of
the module at run time. Import them under `typing.TYPE_CHECKING` if needed.
"""

from collections.abc import Sequence
from typing import Any, Final, Literal, NotRequired, TypedDict, final

__all__ = [
    "__version__",
    "Atlas",
    "ArtifactKind",
    "version",
    "init_logging",
    "compute_file_hash",
    "Firewall",
]

__version__: Final[str]

def version() -> str: ...
def init_logging(level: str | None = None) -> None: ...
def compute_file_hash(file_path: str) -> str: ...

@final
class ArtifactKind:
    FUNCTION: Final = "function"
    ASYNC_FUNCTION: Final = "async_function"
    CLASS: Final = "class"
    METHOD: Final = "method"
    ENDPOINT: Final = "endpoint"
    CONTRACT: Final = "contract"
    MODEL: Final = "model"
    CONSTANT: Final = "constant"

_Severity = Literal["Critical", "High", "Medium", "Low"]
_Scope = Literal["endpoint", "dependency", "lifespan", "middleware", "background_task"]

# -- Atlas results

class _ScanStats(TypedDict):
    files_scanned: int
    files_parsed: int
    files_failed: int
    files_skipped: int
    files_cached: int
    artifacts_found: int
    artifacts_by_kind: dict[str, int]

class _FailedFile(TypedDict):
    path: str
    error: str | None

class _ScanResult(TypedDict):
    stats: _ScanStats
    artifacts_found: int
    files_scanned: int
    files_parsed: int
    files_failed: int
    duration_ms: int
    failed_files: list[_FailedFile]

class _Artifact(TypedDict):
    symbol_name: str
    qualified_name: str
    kind: str
    file_path: str
    module_path: str
    line_start: int
    line_end: int
    signature: str | None
    docstring: str | None
    feature: str | None
    hash: str | None
    http_method: str | None
    route_path: str | None
    router_prefix: str | None
    direct_dependencies: list[str]
    dependency_chain: list[str]
    security_dependencies: list[str]
    tags: list[str]

class _Health(TypedDict):
    artifact_count: int
    last_scan: int | None
    db_path: str
    status: Literal["healthy", "needs_scan"]

_RiskLevel = Literal["none", "low", "medium", "high", "critical"]

class _FunctionImpactItem(TypedDict):
    qualified_name: str
    file_path: str
    impact_type: Literal["direct_caller", "transitive_caller", "api_exposure"]
    distance: int
    line_number: None

class _FunctionImpact(TypedDict):
    target: str
    risk_level: _RiskLevel
    direct_callers: int
    transitive_callers: int
    test_files: int
    api_endpoints: int
    summary: str
    affected_items: list[_FunctionImpactItem]

class _FileImpactItem(TypedDict):
    qualified_name: str
    file_path: str
    impact_type: Literal["direct_importer", "transitive_importer"]
    distance: int

class _FileImpact(TypedDict):
    target: str
    risk_level: _RiskLevel
    direct_importers: int
    transitive_importers: int
    test_files: int
    summary: str
    affected_items: list[_FileImpactItem]

class _Pattern(TypedDict):
    pattern_type: str
    name: str
    file_path: str
    confidence: float
    artifacts: list[str]
    indicators: list[str]
    explanation: str

class _DuplicateMatch(TypedDict):
    artifact_a: str
    artifact_b: str
    file_a: str
    file_b: str
    lines_a: tuple[int, int]
    lines_b: tuple[int, int]
    similarity: float
    match_type: str
    suggestion: str

class _Span(TypedDict):
    evidence_type: Literal["grep", "artifact"]
    file_path: str
    kind: str | None
    line_end: int
    line_start: int
    score: float | None
    snippet: str | None

class _ScalingStats(TypedDict):
    async_endpoints: int
    modules_with_endpoints: int
    sync_endpoints: int
    total_definitions: int
    total_endpoints: int

class _ScalingViolation(TypedDict):
    category: str | None
    file_path: str | None
    message: str
    qualified_name: str | None
    scope: _Scope
    severity: _Severity
    suggestion: str | None

class _ScalingReport(TypedDict):
    auth_wiring: list[dict[str, Any]]
    background_insights: list[dict[str, Any]]
    config_env_links: list[dict[str, Any]]
    db_patterns: list[dict[str, Any]]
    db_queries: list[dict[str, Any]]
    env_links: list[dict[str, Any]]
    external_calls: list[dict[str, Any]]
    lifespan_map: list[dict[str, Any]]
    middleware_stack: list[dict[str, Any]]
    policy_version: str
    side_effects: list[dict[str, Any]]
    stats: _ScalingStats
    test_links: list[dict[str, Any]]
    violations: list[_ScalingViolation]

class _RouterEndpoint(TypedDict):
    file_path: str
    http_methods: list[str]
    qualified_name: str
    route_path: str | None
    router_prefix: str | None

class _Router(TypedDict):
    endpoints: list[_RouterEndpoint]
    includes: list[str]
    is_app: bool
    modules: list[str]
    name: str
    prefix: str | None

class _RouterTopology(TypedDict):
    direct_app_routes: list[_RouterEndpoint]
    routers: list[_Router]

class _CapsuleSpan(TypedDict):
    end_line: int
    file_path: str
    hash: str | None
    kind: str
    snippet: str | None
    start_line: int
    symbol: str | None

class _CapsuleItem(TypedDict):
    evidence: list[str]
    score: float
    span: _CapsuleSpan

class _CapsuleEndpoint(TypedDict):
    handler_qualified_name: str
    method: str | None
    operation_id: str | None
    path_template: str | None

class _CapsuleGroups(TypedDict):
    call_slice: list[_CapsuleItem]
    dependencies: list[_CapsuleItem]
    exceptions: list[_CapsuleItem]
    handler: list[_CapsuleItem]
    middleware: list[_CapsuleItem]
    route_wiring: list[_CapsuleItem]
    schemas: list[_CapsuleItem]
    tests: list[_CapsuleItem]

class _CapsuleUnresolved(TypedDict):
    detail: str
    kind: str
    location: None

class _CapsuleStats(TypedDict):
    cache_hit: bool
    db_queries: int
    elapsed_ms: int
    files_parsed: int
    files_read: int

class _TruthCapsule(TypedDict):
    capsule_id: str
    endpoint: _CapsuleEndpoint
    groups: _CapsuleGroups
    is_partial: bool
    mode: str
    resolved_by: Literal["handler_qualified_name", "method_path"]
    stats: _CapsuleStats
    strict: bool
    unresolved: list[_CapsuleUnresolved]

@final
class Atlas:
    def __new__(cls, project_root: str) -> Atlas: ...
    @property
    def project_root(self) -> str: ...
    def scan(self) -> _ScanResult: ...
    def search(self, query: str, limit: int | None = None) -> list[_Artifact]: ...
    def search_by_feature(self, feature: str) -> list[_Artifact]: ...
    def count(self) -> int: ...
    def health(self) -> _Health: ...
    def detect_patterns(self) -> list[_Pattern]: ...
    def get_patterns(self) -> list[_Pattern]: ...
    def analyze_function_impact(self, qualified_name: str) -> _FunctionImpact: ...
    def analyze_file_impact(self, file_path: str) -> _FileImpact: ...
    def get_dependents(self, file_path: str) -> list[str]: ...
    def get_dependencies(self, file_path: str) -> list[str]: ...
    def find_duplicates(self) -> list[_DuplicateMatch]: ...
    def detect_cycles(self) -> list[list[str]]: ...
    def glob_python_files(self, pattern: str, limit: int | None = None) -> list[str]: ...
    def grep_spans(self, query: str, limit: int | None = None, path_glob: str | None = None) -> list[_Span]: ...
    def read_span(self, file_path: str, line_start: int, line_end: int, max_bytes: int | None = None) -> str: ...
    def search_spans(self, query: str, limit: int | None = None) -> list[_Span]: ...
    def fastapi_scaling_policy(self) -> dict[str, Any]: ...
    def analyze_fastapi_scaling(self) -> _ScalingReport: ...
    def analyze_fastapi_router_topology(self) -> _RouterTopology: ...
    def fastapi_truth_capsule(
        self,
        *,
        method: str | None = ...,
        path: str | None = ...,
        operation_id: str | None = ...,
        handler_qualified_name: str | None = ...,
        mode: str | None = ...,
        strict: bool | None = ...,
        max_spans: int | None = ...,
        max_dependency_depth: int | None = ...,
        max_call_depth: int | None = ...,
        max_call_nodes: int | None = ...,
        include_snippets: bool | None = ...,
        snippet_max_lines: int | None = ...,
        **kwargs: Any,
    ) -> _TruthCapsule: ...

# -- Firewall results

_ImportStatus = Literal["allowed", "blocked", "typosquat", "unknown"]

class _ImportCheck(TypedDict):
    allowed: bool
    status: _ImportStatus
    reason: str
    suggestion: str

_ImportsCheckItem = TypedDict(
    "_ImportsCheckItem", {"import": str, "allowed": bool, "status": _ImportStatus, "reason": str}
)

_FileViolation = TypedDict(
    "_FileViolation",
    {
        "import": str,
        "line": int,
        "status": Literal["blocked", "typosquat", "unknown"],
        "reason": str,
        "suggestion": NotRequired[str],
    },
)

class _FileReport(TypedDict):
    file_path: str
    imports_found: int
    violations: list[_FileViolation]
    passed: bool

class _TyposquatCheck(TypedDict):
    is_typosquat: bool
    intended_package: str
    similarity: float

class _BlockedPattern(TypedDict):
    pattern: str
    reason: str
    severity: _Severity

_ConfigSource = Literal["file", "production_defaults"]
_PolicyMode = Literal["strict", "audit_only", "disabled"]

class _PolicyInfo(TypedDict):
    version: str
    mode: Literal["Strict", "AuditOnly", "Disabled"]
    allowed_packages_count: int
    blocked_patterns_count: int
    internal_prefixes_count: int
    typo_detection_enabled: bool
    atlas_enabled: bool
    config_source: _ConfigSource
    config_path: str

class _Rules(TypedDict):
    allowed_packages: list[str]
    blocked_patterns: list[_BlockedPattern]
    internal_prefixes: list[str]
    policy_mode: _PolicyMode
    typo_detection_enabled: bool
    atlas_enabled: bool
    version: str
    config_source: _ConfigSource
    config_path: str

@final
class Firewall:
    def __new__(cls, project_root: str) -> Firewall: ...
    def check_import(self, import_path: str) -> _ImportCheck: ...
    # Any sequence of str is accepted, except a bare str.
    def check_imports(self, imports: Sequence[str]) -> list[_ImportsCheckItem]: ...
    def analyze_file(self, file_path: str) -> _FileReport: ...
    def check_typosquat(self, package_name: str) -> _TyposquatCheck: ...
    @property
    def policy_mode(self) -> _PolicyMode: ...
    def get_blocked_patterns(self) -> list[_BlockedPattern]: ...
    def get_policy_info(self) -> _PolicyInfo: ...
    def list_rules(self) -> _Rules: ...
    def get_allowed_packages(self) -> list[str]: ...
