#!/usr/bin/env bash
# The whole test suite on a second, different interpreter: Debian's debug build of Python
# 3.11 (python3.11d, built with Py_DEBUG), which checks reference counts and the use of the
# C API as the extension runs, and offers sys.gettotalrefcount to the leak tests. Debian 12
# has no newer Python than 3.11. The extension is built from source against its headers;
# msgpack's release wheel loads in it (debug and release builds share one ABI since 3.8).
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS

interpreter=/usr/bin/python3.11d
if [ ! -x "$interpreter" ] || [ ! -e /usr/include/python3.11d/Python.h ] || \
   ! "$interpreter" -c 'import ensurepip' 2>/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends python3.11-dbg python3.11-venv
fi
"$interpreter" -c 'import sys; assert hasattr(sys, "gettotalrefcount"), "not a debug build"; print(sys.version)'

venv=.ci-dbg-venv
"$interpreter" -m venv "$venv"
# shellcheck disable=SC1091
source "$venv/bin/activate"
python -m pip install --upgrade pip >/dev/null
# Debian's python3.11d headers are symbolic links into the release ones, and GCC resolves
# system-header links before it looks for "pyconfig.h" beside them: without this flag the
# extension would silently be compiled with the release configuration (no Py_DEBUG).
export CXXFLAGS="${CXXFLAGS:-} -fno-canonical-system-headers"
# msgpack from source too: a release-built extension leaves sys.gettotalrefcount drifting.
pip install --no-binary msgpack ".[test]" -Cbuild-dir=build/dbg
# (sarv's modules are small files handing over to the core library, which holds the code)
site="$venv"/lib/python3.11/site-packages
for file in "$site"/sarv/libsarv_core.so "$site"/msgpack/_cmsgpack.cpython-311d-*.so; do
  # (grep reads everything: with -q, nm could die of a closed pipe and fail the pipeline)
  if ! nm -D "$file" | grep ' U _Py_RefTotal' >/dev/null; then
    echo "$file was not compiled for the debug interpreter" >&2
    exit 1
  fi
done

status=0
python -X faulthandler -m pytest tests -q -p no:cacheprovider || status=$?
echo "debug interpreter run: exit $status, $((SECONDS - start)) s"
exit "$status"
