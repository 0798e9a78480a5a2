#!/usr/bin/env bash
# The whole test suite on the interpreters users run that Debian 12 does not package:
# CPython 3.13, 3.14 and 3.15, from Debian testing, in a root made with debootstrap
# (.ci/forky_root.sh). Each gets a venv inside the root, an extension built there, and the
# suite twice: as sarv runs there by default (recording through sys.monitoring), then on
# the profile hook (SARV_MONITORING=0), the path taken when no sys.monitoring tool id is
# free. Any failure of either run on any of them fails the run. Warnings are errors in the
# 3.11 build (.ci/run, Debian 12's GCC 12); the root's newer GCC warns of more, shown but
# not fatal.
# SARV_FORKY_ROOT: the root to make or reuse (default: .ci-forky in the work tree, ignored
# by git). SARV_NEW_PYTHONS: the versions to run (default: 3.13 3.14 3.15).
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
root=$(realpath -m "${SARV_FORKY_ROOT:-.ci-forky}")
versions=${SARV_NEW_PYTHONS:-3.13 3.14 3.15}

# Known failures of the value encoder on these interpreters, left to its rewrite, as
# "--deselect TEST_ID" lines (none now).
KNOWN_ENCODER_FAILURES=()

release_root() {
  # The root's mounts go first: a later rm -rf of the work tree must not reach /dev.
  for mounted in "$root/dev" "$root/proc"; do
    if mountpoint -q "$mounted"; then umount -l "$mounted" || true; fi
  done
}
trap release_root EXIT

bash .ci/forky_root.sh "$root"

# The sources, copied in (the root must not see the work tree that holds it).
src=/work/sarv
rm -rf "${root:?}$src"
mkdir -p "$root$src"
tar -cf - --exclude=./.git --exclude=./build --exclude='./.ci-*' --exclude=./.sarv --exclude=./.hypothesis . |
  tar -xf - -C "$root$src"

status=0
for version in $versions; do
  echo "== CPython $version (Debian testing)"
  version_start=$SECONDS
  # (CI unset inside: the root has no browser, so the viewer's tests skip there; they run in
  # the 3.11 runs, where .ci/run installs Chromium)
  if ! chroot "$root" /usr/bin/env -u CI -u SARV_MONITORING version="$version" src="$src" bash -euo pipefail -c '
      cd "$src"
      venv=/opt/sarv-venv-$version
      "python$version" -m venv "$venv"
      . "$venv/bin/activate"
      python -m pip install --upgrade pip >/dev/null
      pip install ".[test]" -Cbuild-dir="build/py$version"
      failed=0
      echo "-- CPython $version, sys.monitoring (the default)"
      python -m pytest tests -q -p no:cacheprovider "$@" || failed=1
      echo "-- CPython $version, the profile hook (SARV_MONITORING=0)"
      SARV_MONITORING=0 python -m pytest tests -q -p no:cacheprovider "$@" || failed=1
      exit "$failed"
    ' bash "${KNOWN_ENCODER_FAILURES[@]}"; then
    echo "CPython $version: FAILED" >&2
    status=1
  fi
  echo "CPython $version: $((SECONDS - version_start)) s"
done
echo "new interpreters run: exit $status, $((SECONDS - start)) s"
exit "$status"
