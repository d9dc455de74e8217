"""Ignore files as the project walk honours them.

The core table runs real `git check-ignore` on the same tree and asserts that
the walk keeps exactly the files git does not ignore. The walk is observed
through `glob_python_files("*")`, which lists every discovered file (all
fixture files are .py files outside the built-in ignored directories and the
security policy's reach).
"""
import os
import subprocess

import pytest

from norvo import norvo_native as nn

FILES = [
    "a.py", "A.py", "b.py", "keep.py", "lib.py", "tmp_1.py", "tmp_a.py", "tmp_*.py",
    "#hash.py", "!bang.py", "sp ace.py",
    "sub/a.py", "sub/b.py", "sub/deep/c.py", "sub/deep/a.py",
    "src/sub/a.py",
    "docs/x.py", "docs/sub/y.py",
    "x/lib.py/inner.py",
    "d/e.py", "d /e.py",
    "logs/2024/z.py",
]


def write(root, rel, content=b""):
    path = os.path.join(os.fsencode(root), rel if isinstance(rel, bytes) else os.fsencode(rel))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(content.encode() if isinstance(content, str) else content)


def listed(root):
    return set(nn.Atlas(str(root)).glob_python_files("*", 100000))


@pytest.fixture
def home(tmp_path, monkeypatch):
    """An empty HOME for git and for the walk, so the user's own git
    configuration cannot change the answers."""
    h = tmp_path / "home"
    h.mkdir()
    monkeypatch.setenv("HOME", str(h))
    monkeypatch.delenv("XDG_CONFIG_HOME", raising=False)
    monkeypatch.delenv("GIT_CONFIG_GLOBAL", raising=False)
    monkeypatch.setenv("GIT_CONFIG_NOSYSTEM", "1")
    return h


def git(repo, *args, input=None):
    return subprocess.run(["git", "-C", str(repo), *args], input=input, capture_output=True, check=False)


def git_ignored(repo, paths):
    """The subset of `paths` (bytes, relative to the repository) that git ignores."""
    proc = git(repo, "check-ignore", "--no-index", "-z", "--stdin", input=b"\0".join(paths) + b"\0")
    assert proc.returncode in (0, 1), proc.stderr
    return {p for p in proc.stdout.split(b"\0") if p}


def text(p):
    return p.decode("utf-8", "replace")


CASES = [
    ("star_then_negation", {".gitignore": "*.py\n!keep.py\n"}),
    ("leading_slash_anchors", {".gitignore": "/a.py\n"}),
    ("inner_slash_anchors", {".gitignore": "sub/a.py\n"}),
    ("plain_name_matches_at_any_depth", {".gitignore": "a.py\n"}),
    ("trailing_slash_matches_directories_only", {".gitignore": "lib.py/\ndocs/\n"}),
    ("dir_pattern_with_wildcard", {".gitignore": "s*/\n"}),
    ("dir_only_with_inner_slash", {".gitignore": "sub/deep/\n"}),
    ("leading_double_star", {".gitignore": "**/deep\n**/sub/b.py\n"}),
    ("middle_double_star", {".gitignore": "docs/**/y.py\n"}),
    ("trailing_double_star", {".gitignore": "docs/**\n"}),
    ("double_star_glued_to_text_is_a_star", {".gitignore": "a**.py\n"}),
    ("literal_head_then_double_star", {".gitignore": "su**/a.py\n"}),
    ("star_stops_at_slash", {".gitignore": "docs/*.py\n"}),
    ("question_mark", {".gitignore": "tmp_?.py\n"}),
    ("range_class", {".gitignore": "tmp_[0-9].py\n"}),
    ("negated_class_bang", {".gitignore": "tmp_[!0-9].py\n"}),
    ("negated_class_caret", {".gitignore": "tmp_[^0-9].py\n"}),
    ("posix_class", {".gitignore": "tmp_[[:alpha:]].py\n"}),
    ("class_never_matches_slash", {".gitignore": "docs[/]x.py\n"}),
    ("unclosed_class_never_matches", {".gitignore": "tmp_[1.py\nb.py\n"}),
    ("escaped_hash_and_bang", {".gitignore": "\\#hash.py\n\\!bang.py\n"}),
    ("escaped_star", {".gitignore": "tmp_\\*.py\n"}),
    ("comments_and_blank_lines", {".gitignore": "# a.py\n\n   \nb.py\n"}),
    ("trailing_spaces_trimmed_unless_escaped", {".gitignore": "a.py   \nd\\ \n"}),
    ("unescaped_trailing_space_trimmed", {".gitignore": "d \n"}),
    ("space_inside_pattern", {".gitignore": "sp ace.py\n"}),
    ("crlf_line_ends", {".gitignore": "a.py\r\nb.py\r\n"}),
    ("byte_order_mark", {".gitignore": "\ufeffa.py\n"}),
    ("case_sensitive", {".gitignore": "A.py\n"}),
    ("last_matching_line_wins", {".gitignore": "a.py\n!a.py\nb.py\n!b.py\nb.py\n"}),
    ("excluded_dir_cannot_be_reentered", {".gitignore": "docs/\n!docs/x.py\n"}),
    ("dir_contents_then_subdir_back", {".gitignore": "docs/*\n!docs/sub/\n"}),
    ("everything_but_dirs_and_python", {".gitignore": "*\n!*/\n!*.py\nsub/*\n"}),
    ("nested_file_reincludes", {".gitignore": "*.py\n", "sub/.gitignore": "!a.py\n"}),
    ("nested_file_anchors_to_its_dir", {"sub/.gitignore": "/a.py\ndeep/\n"}),
    ("nested_deeper_file_wins", {"sub/.gitignore": "c.py\n", "sub/deep/.gitignore": "!c.py\n"}),
    ("info_exclude", {".git/info/exclude": "b.py\n"}),
    ("gitignore_negation_beats_info_exclude", {".git/info/exclude": "*.py\n", ".gitignore": "!a.py\n"}),
    ("global_excludes_from_gitconfig",
     {"~/.gitconfig": "[core]\n\texcludesFile = ~/global-ignore\n", "~/global-ignore": "keep.py\nlogs/\n"}),
    ("global_excludes_quoted_with_comments",
     {"~/.gitconfig": '[user]\n\tname = someone\n[core]  # note\n\texcludesfile = "~/my ignore" ; why\n',
      "~/my ignore": "b.py\n"}),
    ("global_excludes_xdg_default", {"~/.config/git/ignore": "tmp_*\n"}),
    ("global_anchored_to_repository_top", {"~/.config/git/ignore": "/a.py\n"}),
    ("repository_rules_beat_global", {"~/.config/git/ignore": "*.py\n", ".gitignore": "!keep.py\n"}),
    ("home_gitconfig_beats_xdg_config",
     {"~/.config/git/config": "[core]\nexcludesFile = ~/one\n", "~/.gitconfig": "[core]\nexcludesFile = ~/two\n",
      "~/one": "a.py\n", "~/two": "b.py\n"}),
]


@pytest.mark.parametrize("rules", [c[1] for c in CASES], ids=[c[0] for c in CASES])
def test_walk_agrees_with_git(tmp_path, home, rules):
    repo = tmp_path / "repo"
    repo.mkdir()
    assert git(repo, "init", "-q").returncode == 0
    for f in FILES:
        write(repo, f)
    for rel, content in rules.items():
        if rel.startswith("~/"):
            write(home, rel[2:], content)
        else:
            write(repo, rel, content)

    paths = [os.fsencode(f) for f in FILES]
    expected = {text(p) for p in set(paths) - git_ignored(repo, paths)}
    assert listed(repo) == expected


def test_walk_below_repository_top_agrees_with_git(tmp_path, home):
    # The project is a sub-directory of a repository: the repository's files
    # above it still apply, relative to their own directories.
    repo = tmp_path / "repo"
    repo.mkdir()
    git(repo, "init", "-q")
    for f in FILES:
        write(repo, "proj/" + f)
    write(repo, ".gitignore", "/proj/b.py\ndeep\n")
    write(repo, ".git/info/exclude", "proj/docs/*.py\n")
    paths = [os.fsencode("proj/" + f) for f in FILES]
    kept = set(paths) - git_ignored(repo, paths)
    assert listed(repo / "proj") == {text(p)[len("proj/"):] for p in kept}
    assert "b.py" not in listed(repo / "proj") and "sub/b.py" in listed(repo / "proj")


def test_non_utf8_names_agree_with_git(tmp_path, home):
    repo = tmp_path / "repo"
    repo.mkdir()
    git(repo, "init", "-q")
    names = [b"caf\xe9.py", b"caf\xe8.py", b"ok.py", b"d\xff/x.py"]
    for n in names:
        write(repo, n)
    write(repo, ".gitignore", b"caf\xe9.py\nd?/\n")
    kept = set(names) - git_ignored(repo, names)
    assert kept == {b"caf\xe8.py", b"ok.py"}
    assert listed(repo) == {text(p) for p in kept}


# ---- rules beyond git's own files ----------------------------------------------


def make(root, files):
    for rel, content in files.items():
        write(root, rel, content)


def test_gitignore_is_used_only_inside_a_repository(tmp_path, home):
    make(tmp_path, {".gitignore": "a.py\n", ".ignore": "b.py\n", "a.py": "", "b.py": "", "c.py": ""})
    assert listed(tmp_path) == {"a.py", "c.py"}


def test_jj_directory_marks_a_repository(tmp_path, home):
    make(tmp_path, {".gitignore": "a.py\n", "a.py": "", "c.py": ""})
    (tmp_path / ".jj").mkdir()
    assert listed(tmp_path) == {"c.py"}


@pytest.mark.parametrize(
    "files, expected",
    [
        # .norvoignore speaks first, then .ignore, then .gitignore.
        ({".gitignore": "*.py\n", ".norvoignore": "!a.py\n"}, {"a.py", "sub/a.py"}),
        ({".gitignore": "*.py\n", ".ignore": "!b.py\n"}, {"b.py"}),
        ({".ignore": "a.py\n", ".norvoignore": "!a.py\n"}, {"a.py", "b.py", "sub/a.py"}),
        # A deeper .gitignore does not override a shallower .norvoignore of a higher kind.
        ({".norvoignore": "sub/a.py\n", "sub/.gitignore": "!a.py\n"}, {"a.py", "b.py"}),
        # .ignore and .norvoignore in sub-directories, relative to their directory.
        ({"sub/.ignore": "/a.py\n"}, {"a.py", "b.py"}),
        ({"sub/.norvoignore": "a.py\n"}, {"a.py", "b.py"}),
    ],
)
def test_precedence_between_ignore_file_kinds(tmp_path, home, files, expected):
    git(tmp_path, "init", "-q")
    make(tmp_path, {"a.py": "", "b.py": "", "sub/a.py": "", **files})
    assert listed(tmp_path) == expected


def test_ignore_files_in_parents_of_the_root(tmp_path, home):
    outer = tmp_path / "outer"
    make(outer, {".ignore": "proj/skip.py\n", "proj/skip.py": "", "proj/keep.py": "", "proj/sub/skip.py": ""})
    make(outer, {".norvoignore": "drop_*.py\n", "proj/drop_me.py": ""})
    assert listed(outer / "proj") == {"keep.py", "sub/skip.py"}


def test_gitignore_above_the_repository_top_is_not_used(tmp_path, home):
    make(tmp_path, {".gitignore": "*.py\n", "repo/a.py": ""})
    git(tmp_path / "repo", "init", "-q")
    git(tmp_path, "init", "-q")  # even when the outer directory is a repository itself
    assert listed(tmp_path / "repo") == {"a.py"}


def test_git_worktree_file_locates_info_exclude(tmp_path, home):
    main = tmp_path / "main"
    main.mkdir()
    git(main, "init", "-q")
    write(main, "m.py")
    git(main, "add", "m.py")
    git(main, "-c", "user.name=t", "-c", "user.email=t@t", "commit", "-qm", "init")
    assert git(main, "worktree", "add", "-q", str(tmp_path / "wt")).returncode == 0
    write(main, ".git/info/exclude", "skip.py\n")
    make(tmp_path / "wt", {"skip.py": "", "keep.py": ""})
    assert listed(tmp_path / "wt") == {"m.py", "keep.py"}


def test_unreadable_ignore_files_are_dropped(tmp_path, home):
    git(tmp_path, "init", "-q")
    (tmp_path / ".ignore").mkdir()  # not a file: cannot be read as one
    make(tmp_path, {".gitignore": "a.py\n", "a.py": "", "b.py": ""})
    assert listed(tmp_path) == {"b.py"}


def test_missing_global_excludes_file_is_ignored(tmp_path, home):
    git(tmp_path, "init", "-q")
    make(home, {".gitconfig": "[core]\n\texcludesFile = ~/does-not-exist\n"})
    make(tmp_path, {"a.py": ""})
    assert listed(tmp_path) == {"a.py"}


# ---- random rules against git -------------------------------------------------------

FUZZ_FILES = [f"{d}{n}" for d in ["", "a/", "b/", "ab/", "a/b/", "b/a/", "x y/", "a/[b]/"]
              for n in ["a.py", "b.py", "ab.py", "ba.py", "[a].py", "a-b.py", "a b.py", "a*.py", "!a.py"]]
FUZZ_HEADS = ["", "", "", "/", "**/", "a/", "*/", "b/**/", "x y/", "\\!", "a/["]
FUZZ_TOKENS = ["a", "b", "ab", "*", "*", "**", "?", "[ab]", "[a-b]", "[!a]", "[^b]", "[]a]", "[a-]",
               "[[:alpha:]]", "[", "\\*", "\\[", "\\", " ", "-", "/", "!"]
FUZZ_TAILS = [".py", ".py", "*", "", "/", " ", "\\ ", ".py  ", "/**", "**"]


def random_rules(rng):
    lines = []
    for _ in range(rng.randint(1, 3)):
        body = "".join(rng.choice(FUZZ_TOKENS) for _ in range(rng.randint(1, 3)))
        line = rng.choice(FUZZ_HEADS) + body + rng.choice(FUZZ_TAILS)
        lines.append(("!" if rng.random() < 0.25 else "") + line)
    return "\n".join(lines) + "\n"


def test_random_rules_agree_with_git(tmp_path, home):
    import random

    rng = random.Random(20240607)
    repo = tmp_path / "repo"
    repo.mkdir()
    git(repo, "init", "-q")
    for f in FUZZ_FILES:
        write(repo, f)
    paths = [os.fsencode(f) for f in FUZZ_FILES]
    atlas = nn.Atlas(str(repo))  # every call walks afresh
    disagreements = []
    for _ in range(300):
        rules = random_rules(rng)
        write(repo, ".gitignore", rules)
        expected = {text(p) for p in set(paths) - git_ignored(repo, paths)}
        got = set(atlas.glob_python_files("*", 100000))
        if got != expected:
            disagreements.append((rules, sorted(got ^ expected)))
    assert disagreements == []
