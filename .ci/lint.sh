#!/usr/bin/env bash
# Formatting and lint of the whole tree: ruff (format and check) for Python, clang-format
# for the native sources, mypy for the stubs of the native modules (python/sarv/*.pyi; the
# tests check them against the built modules). Versions pinned: a new release must not fail an unchanged tree.
# To apply the formatting locally: the same tools with `ruff format .`, `ruff check --fix .`
# and `clang-format -i` on the files below.
set -euo pipefail
cd "$(dirname "$0")/.."

venv=.ci-lint-venv
python3 -m venv "$venv"
"$venv/bin/python" -m pip install --upgrade pip >/dev/null
"$venv/bin/pip" install -q "ruff==0.17.6" "clang-format==23.1.5" "mypy==1.19.1"

status=0
"$venv/bin/ruff" format --check . || status=1
"$venv/bin/ruff" check . || status=1
find src tests/native \( -name '*.cpp' -o -name '*.hpp' \) -print0 | sort -z |
  xargs -0 "$venv/bin/clang-format" --dry-run --Werror || status=1
MYPYPATH=python "$venv/bin/mypy" --strict --no-incremental --follow-imports=silent python/sarv/*.pyi || status=1
echo "lint: exit $status"
exit "$status"
