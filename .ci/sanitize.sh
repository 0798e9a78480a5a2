#!/usr/bin/env bash
# The whole test suite against an AddressSanitizer + UndefinedBehaviorSanitizer build of the
# extensions. The interpreter is not instrumented, so the sanitizer runtimes are preloaded
# into it (and into every subprocess the tests start, which inherit the environment).
# Any report fails the run: the runtimes halt on the first error, and every report is also
# written to a log directory that must stay empty (a subprocess that dies of a report inside
# a test that expects a failing subprocess would otherwise go unnoticed).
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS

venv=.ci-asan-venv
python3 -m venv "$venv"
# shellcheck disable=SC1091
source "$venv/bin/activate"
python -m pip install --upgrade pip >/dev/null
pip install ".[test]" -Ccmake.define.SARV_SANITIZE=ON -Cbuild-dir=build/asan

logs=$(mktemp -d "${TMPDIR:-/tmp}/sarv-sanitizer-logs.XXXXXX")
runtimes="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
for lib in $runtimes; do
  [ -e "$lib" ] || { echo "sanitizer runtime not found: $lib" >&2; exit 1; }
done

status=0
# detect_leaks=0: the interpreter itself leaks at exit; leaks are checked by tests/test_leaks.py.
# PYTHONMALLOC=malloc: every Python object goes through the sanitizer's allocator, so a
# reference-count mistake that frees an object still in use is caught at its next use.
LD_PRELOAD="$runtimes" \
PYTHONMALLOC=malloc \
ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:exitcode=86:log_path=$logs/asan" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=87:log_path=$logs/ubsan" \
  python -m pytest tests -q -p no:cacheprovider || status=$?

reports=$(find "$logs" -maxdepth 1 -type f \( -name 'asan*' -o -name 'ubsan*' \) | sort)
if [ -n "$reports" ]; then
  echo "sanitizer reports:" >&2
  for report in $reports; do
    echo "== $report" >&2
    cat "$report" >&2
  done
  status=1
fi
rm -rf "$logs"
echo "sanitizer run: exit $status, $((SECONDS - start)) s"
exit "$status"
