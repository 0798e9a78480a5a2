"""The commit checked out in the working directory, for trace metadata.

`COMMIT_SHA` is read once, at import, from the git checkout that contains
the current working directory: the hash of HEAD's commit as lowercase hex
(40 characters, or 64 in a SHA-256 repository), or None. The files under
`.git` are read directly (no `git` process): HEAD, loose refs and
`packed-refs`, following `.git` files ("gitdir: ...") of worktrees and
submodules and the `commondir` of worktrees. Anything missing, unreadable or
malformed (an unborn branch, a reftable repository, garbage) gives None;
reading never raises.
"""

from __future__ import annotations

import os

__all__ = ["COMMIT_SHA", "read_commit_sha"]

_HEX = frozenset("0123456789abcdef")
_MAX_SMALL_FILE = 4096
_MAX_SYMREF_HOPS = 5


def _read_small(path: str) -> str | None:
    try:
        with open(path, "rb") as f:
            data = f.read(_MAX_SMALL_FILE + 1)
    except OSError:
        return None
    if len(data) > _MAX_SMALL_FILE:
        return None
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return None


def _as_sha(text: str | None) -> str | None:
    if text is None:
        return None
    text = text.strip().lower()
    if len(text) in (40, 64) and _HEX.issuperset(text):
        return text
    return None


def _find_git_dir(start: str) -> str | None:
    current = os.path.abspath(start)
    while True:
        candidate = os.path.join(current, ".git")
        if os.path.isdir(candidate):
            return candidate
        if os.path.isfile(candidate):
            # Worktrees and submodules: a file "gitdir: <path>", relative to
            # the directory holding it.
            content = _read_small(candidate)
            if content is None or not content.startswith("gitdir:"):
                return None
            target = content[len("gitdir:") :].strip()
            if not target:
                return None
            target = os.path.join(current, target)
            return target if os.path.isdir(target) else None
        parent = os.path.dirname(current)
        if parent == current:
            return None
        current = parent


def _common_dir(git_dir: str) -> str:
    content = _read_small(os.path.join(git_dir, "commondir"))
    if content is not None and content.strip():
        common = os.path.join(git_dir, content.strip())
        if os.path.isdir(common):
            return common
    return git_dir


def _valid_ref_name(ref: str) -> bool:
    if not ref.startswith("refs/"):
        return False
    parts = ref.split("/")
    return all(part and part not in (".", "..") for part in parts) and "\\" not in ref


def _packed_ref(common_dir: str, ref: str) -> str | None:
    path = os.path.join(common_dir, "packed-refs")
    try:
        with open(path, "rb") as f:
            for raw in f:
                line = raw.decode("utf-8", "replace").rstrip("\r\n")
                if not line or line[0] in "#^":
                    continue
                sha, _, name = line.partition(" ")
                if name == ref:
                    return _as_sha(sha)
    except OSError:
        return None
    return None


def _resolve(git_dir: str, common_dir: str, content: str | None) -> str | None:
    for _ in range(_MAX_SYMREF_HOPS):
        if content is None:
            return None
        content = content.strip()
        if not content.startswith("ref:"):
            return _as_sha(content)
        ref = content[len("ref:") :].strip()
        if not _valid_ref_name(ref):
            return None
        # Per-worktree refs live in the worktree's own directory, shared ones
        # in the common directory; a loose ref wins over a packed one.
        content = None
        for base in (git_dir, common_dir) if git_dir != common_dir else (git_dir,):
            content = _read_small(os.path.join(base, *ref.split("/")))
            if content is not None:
                break
        if content is None:
            return _packed_ref(common_dir, ref)
    return None


def read_commit_sha(path: str | os.PathLike | None = None) -> str | None:
    """HEAD's commit hash of the checkout containing `path` (default: the
    current directory), or None."""
    try:
        start = os.fspath(path) if path is not None else os.getcwd()
        git_dir = _find_git_dir(start)
        if git_dir is None:
            return None
        common_dir = _common_dir(git_dir)
        return _resolve(git_dir, common_dir, _read_small(os.path.join(git_dir, "HEAD")))
    except Exception:
        return None


COMMIT_SHA = read_commit_sha()
