"""Loading .norvo/firewall.yaml: per-field defaults, validation, the fall-back
to the production defaults, hostile files, and the live config_source report."""
import os

import pytest

from norvo import norvo_native as nn

DEFAULTS_VERSION = "2.0"


def project(tmp_path, text=None, raw=None):
    (tmp_path / ".norvo").mkdir(exist_ok=True)
    path = tmp_path / ".norvo" / "firewall.yaml"
    if raw is not None:
        path.write_bytes(raw)
    elif text is not None:
        path.write_text(text, encoding="utf-8")
    return str(tmp_path)


def firewall(tmp_path, text):
    return nn.Firewall(project(tmp_path, text))


def uses_defaults(fw):
    info = fw.get_policy_info()
    return info["version"] == DEFAULTS_VERSION and info["allowed_packages_count"] == 120


# ---- files that load -----------------------------------------------------------


def test_minimal_file_takes_every_default(tmp_path):
    fw = firewall(tmp_path, "mode: audit_only\n")
    assert fw.policy_mode == "audit_only"
    assert fw.get_policy_info() == {
        "version": "1.0",
        "mode": "AuditOnly",
        "allowed_packages_count": 0,
        "blocked_patterns_count": 0,
        "internal_prefixes_count": 0,
        "typo_detection_enabled": True,
        "atlas_enabled": True,
        "config_source": "file",
        "config_path": os.path.join(str(tmp_path), ".norvo", "firewall.yaml"),
    }
    # The standard library is always consulted; nothing else is allowed or blocked.
    assert fw.check_import("os")["status"] == "allowed"
    assert fw.check_import("os.system")["status"] == "unknown"
    assert fw.check_import("requests")["status"] == "unknown"  # empty typo index
    assert repr(fw) == f"Firewall(project_root='{tmp_path}', mode='audit_only')"


def test_full_policy(tmp_path):
    fw = firewall(
        tmp_path,
        """
version: 3            # any scalar is kept as text
mode: disabled
allowed_packages: [requests>=2.0, "pydantic[email]", uvicorn ~=0.30, flask]
blocked_patterns:
  - pattern: foo.bar
    reason: no foo
  - {pattern: evil, reason: "very bad", severity: Critical, is_prefix_match: true, alternatives: [good]}
allowed_internal_patterns: ["corp.*"]
typo_detection:
  enabled: true
  max_edit_distance: 0x1
  known_typos:
    - {actual: flask, typos: [flsk_]}
atlas: {enabled: false, fail_open: false, db_path: other.db, cache_ttl: 10}
internal_prefixes: [corp.]
""",
    )
    assert fw.get_allowed_packages() == ["requests>=2.0", "pydantic[email]", "uvicorn ~=0.30", "flask"]
    assert fw.get_blocked_patterns() == [
        {"pattern": "foo.bar", "reason": "no foo", "severity": "Medium"},  # default severity
        {"pattern": "evil", "reason": "very bad", "severity": "Critical"},
    ]
    info = fw.get_policy_info()
    assert (info["version"], info["mode"], info["atlas_enabled"], info["internal_prefixes_count"]) == (
        "3", "Disabled", False, 1)
    rules = fw.list_rules()
    assert (rules["policy_mode"], rules["internal_prefixes"], rules["atlas_enabled"]) == ("disabled", ["corp."], False)

    status = lambda p: fw.check_import(p)["status"]  # noqa: E731
    assert [status(p) for p in ["requests", "pydantic.fields", "uvicorn", "flask"]] == ["allowed"] * 4
    assert status("foo.bar") == "blocked" and status("foo.barx") != "blocked"  # not a prefix row by default
    assert status("evilness") == "blocked"
    assert status("corp.flsk") == "unknown"  # internal prefix: no typo search
    assert fw.check_import("flsk_")["reason"] == "Possible typosquat of 'flask' (distance: 0)"
    assert fw.check_import("flaskx")["reason"] == "Possible typosquat of 'flask' (distance: 1)"
    assert status("flaskxy") == "unknown"  # beyond max_edit_distance 1
    # The mode changes no decision, even "disabled".
    assert fw.check_import("evil")["allowed"] is False


def test_unknown_keys_anchors_and_bom_are_accepted(tmp_path):
    fw = firewall(
        tmp_path,
        "\ufeffextra: {deep: [1, 2, {x: y}]}\n"
        "shared: &pkgs [requests, numpy]\n"
        "allowed_packages: *pkgs\n"
        "blocked_patterns:\n  - {pattern: x, reason: y, colour: red}\n"
        "atlas: {enabled: true, unknown: 1}\n",
    )
    assert fw.get_allowed_packages() == ["requests", "numpy"]
    assert fw.get_blocked_patterns() == [{"pattern": "x", "reason": "y", "severity": "Medium"}]


@pytest.mark.parametrize(
    "path, reason",
    [
        ("a", "A"),
        ("ax", "A"),
        ("a.b", "AB"),
        ("a.bx", "AB"),  # the longest prefix wins
        ("a.b.c", "ABC"),  # an exact match at the end beats the prefixes on the way
        ("a.b.cd", "AB"),  # exact rows do not extend
        ("dup", "second"),  # a later row at the same node replaces the earlier one
        ("dupx", None),  # ... including its prefix flag
        ("café.x", "C"),  # compared per character, not per byte
        ("cafe", None),
    ],
)
def test_pattern_matching(tmp_path, path, reason):
    fw = firewall(
        tmp_path,
        """
mode: audit_only
typo_detection: {enabled: false}
blocked_patterns:
  - {pattern: a, reason: A, is_prefix_match: true}
  - {pattern: a.b, reason: AB, is_prefix_match: true}
  - {pattern: a.b.c, reason: ABC}
  - {pattern: dup, reason: first, is_prefix_match: true}
  - {pattern: dup, reason: second}
  - {pattern: café, reason: C, is_prefix_match: true}
""",
    )
    r = fw.check_import(path)
    if reason is None:
        assert r["status"] == "unknown"
    else:
        assert r["status"] == "blocked" and r["reason"].endswith(f": {reason}")


def test_empty_prefix_pattern_blocks_everything(tmp_path):
    fw = firewall(tmp_path, "mode: audit_only\nblocked_patterns: [{pattern: '', reason: all, is_prefix_match: true}]\n")
    assert fw.check_import("os")["reason"] == "Package 'os' blocked by pattern '': all"
    assert fw.check_import("")["status"] == "blocked"


@pytest.mark.parametrize(
    "typo_yaml, path, expected",
    [
        ("{}", "requestz", "typosquat:requests:1"),
        ("{enabled: false}", "reqeusts", "unknown"),  # even known typos
        ("{max_edit_distance: 0}", "requestz", "unknown"),
        ("{max_edit_distance: 3}", "rxqxxsts", "typosquat:requests:3"),
        ("{}", "rxqxxsts", "unknown"),
        ("{max_edit_distance: 18446744073709551615}", "zzzzzzzzzzzzzzzzzzzz", "typosquat:requests:20"),
        # Empty typos are skipped; a later group naming the same typo wins.
        ("{known_typos: [{actual: requests, typos: ['', reqeusts]}, {actual: numpy, typos: [reqeusts]}]}",
         "reqeusts", "typosquat:numpy:0"),
    ],
)
def test_typo_detection_settings(tmp_path, typo_yaml, path, expected):
    fw = firewall(tmp_path, f"allowed_packages: [requests]\ntypo_detection: {typo_yaml}\n")
    r = fw.check_import(path)
    got = r["status"] if r["status"] != "typosquat" else f"typosquat:{r['suggestion']}:{r['reason'].split(': ')[1][:-1]}"
    assert got == expected


def test_internal_prefixes_are_byte_prefixes(tmp_path):
    fw = firewall(tmp_path, "allowed_packages: [requests]\ninternal_prefixes: [corp, '']\n")
    # The empty prefix matches every path: nothing reaches the typo search.
    assert fw.check_import("reqeusts")["status"] == "unknown"
    assert fw.check_import("requests")["status"] == "allowed"


# ---- files that are rejected ---------------------------------------------------


REJECTED = {
    "only_version": ("version: '3.0'\n", "Policy error in 'config': No allowed packages in strict mode"),
    "empty": ("", "Policy error in 'config': No allowed packages in strict mode"),
    "comments_only": ("# nothing here\n", "Policy error in 'config': No allowed packages in strict mode"),
    "blank_entry": ("allowed_packages: [requests, '  ']\n",
                    "Policy error in 'config': allowed_packages contains empty or invalid entries"),
    "capitalised_mode": ("mode: Strict\nallowed_packages: [requests]\n", "YAML parse error: mode: "),
    "lower_case_severity": ("mode: audit_only\nblocked_patterns: [{pattern: x, reason: y, severity: high}]\n",
                            "YAML parse error: "),
    "missing_reason": ("mode: audit_only\nblocked_patterns: [{pattern: x}]\n",
                       "YAML parse error: blocked_patterns[0]: missing field `reason`"),
    "missing_typos": ("mode: audit_only\ntypo_detection: {known_typos: [{actual: x}]}\n", "YAML parse error: "),
    "list_expected": ("allowed_packages: requests\n", "YAML parse error: "),
    "null_list": ("allowed_packages:\n", "YAML parse error: "),
    "quoted_bool": ("mode: audit_only\natlas: {enabled: 'false'}\n", "YAML parse error: "),
    "yes_is_not_a_bool": ("mode: audit_only\natlas: {enabled: yes}\n", "YAML parse error: "),
    "negative_distance": ("mode: audit_only\ntypo_detection: {max_edit_distance: -1}\n", "YAML parse error: "),
    "distance_overflow": ("mode: audit_only\ntypo_detection: {max_edit_distance: 18446744073709551616}\n",
                          "YAML parse error: "),
    "duplicate_key": ("mode: audit_only\nmode: disabled\n", "YAML parse error: "),
    "two_documents": ("mode: audit_only\n---\nmode: audit_only\n", "YAML parse error: "),
    "top_level_list": ("- mode\n", "YAML parse error: "),
    "malformed": ("mode: [audit_only\n", "YAML parse error: "),
    "control_character": ("mode: audit_only\x00\n", "YAML parse error: "),
    "deep_flow_nesting": ("allowed_packages: " + "[" * 100_000 + "]" * 100_000, "YAML parse error: "),
    "deep_block_nesting": ("".join("  " * i + "k:\n" for i in range(2000)) + "  " * 2000 + "v\n", "YAML parse error: "),
    "recursive_alias": ("allowed_packages: &x [a, *x]\n", "YAML parse error: "),
    # A million typo texts from a few kilobytes of aliases.
    "alias_bomb": (
        "t: &t [" + ",".join(["x"] * 1000) + "]\ng: &g {actual: q, typos: *t}\n"
        + "mode: audit_only\ntypo_detection: {known_typos: [" + ",".join(["*g"] * 1000) + "]}\n",
        "YAML parse error: typo_detection.known_typos[",
    ),
    "too_many_nodes": ("mode: audit_only\nallowed_packages: [" + ",".join(["p"] * 300_000) + "]\n",
                       "YAML parse error: "),
}


@pytest.mark.parametrize("name", sorted(REJECTED))
def test_rejected_file_falls_back_to_defaults(tmp_path, name):
    text, _ = REJECTED[name]
    fw = firewall(tmp_path, text)
    assert uses_defaults(fw)
    assert fw.policy_mode == "strict"
    assert fw.check_import("os.system")["status"] == "blocked"
    # The report looks at the file's presence, not at what was loaded.
    assert fw.get_policy_info()["config_source"] == "file"


@pytest.mark.parametrize(
    "setup",
    ["missing", "not_utf8", "directory", "fifo", "oversized"],
)
def test_unreadable_file_falls_back_to_defaults(tmp_path, setup):
    if setup == "not_utf8":
        project(tmp_path, raw=b"mode: audit_only\n# \xff\xfe\n")
    elif setup == "directory":
        (tmp_path / ".norvo" / "firewall.yaml").mkdir(parents=True)
    elif setup == "fifo":  # a pipe nobody writes to must not hang the constructor
        (tmp_path / ".norvo").mkdir()
        os.mkfifo(tmp_path / ".norvo" / "firewall.yaml")
    elif setup == "oversized":
        (tmp_path / ".norvo").mkdir()
        with open(tmp_path / ".norvo" / "firewall.yaml", "wb") as f:
            f.truncate((64 << 20) + 1)
    fw = nn.Firewall(str(tmp_path))
    assert uses_defaults(fw)
    expected_source = "production_defaults" if setup == "missing" else "file"
    assert fw.list_rules()["config_source"] == expected_source


def test_root_with_nul_byte(tmp_path):
    project(tmp_path, "mode: audit_only\n")
    fw = nn.Firewall(str(tmp_path) + "\0/elsewhere")
    assert uses_defaults(fw)  # never truncated to the real directory
    assert fw.get_policy_info()["config_source"] == "production_defaults"


# ---- the live config_source report -----------------------------------------------


def test_config_source_follows_the_file_but_decisions_do_not(tmp_path):
    root = project(tmp_path, "mode: audit_only\nallowed_packages: [torch]\n")
    policy_file = tmp_path / ".norvo" / "firewall.yaml"
    fw = nn.Firewall(root)
    assert fw.check_import("torch")["allowed"] is True
    policy_file.unlink()
    assert (fw.get_policy_info()["config_source"], fw.get_policy_info()["config_path"]) == ("production_defaults", "")
    assert fw.check_import("torch")["allowed"] is True and fw.policy_mode == "audit_only"


def test_policy_written_later_is_reported_but_not_used(tmp_path):
    fw = nn.Firewall(str(tmp_path))
    assert fw.list_rules()["config_source"] == "production_defaults"
    project(tmp_path, "mode: audit_only\nallowed_packages: [torch]\n")
    rules = fw.list_rules()
    assert (rules["config_source"], rules["config_path"]) == ("file", str(tmp_path / ".norvo" / "firewall.yaml"))
    assert fw.check_import("torch")["status"] == "unknown"
    assert nn.Firewall(str(tmp_path)).check_import("torch")["allowed"] is True
