#!/usr/bin/env bash
# Builds the wheel offline with meson-python, installs it into a fresh venv and
# uses what it installed: the module, the type stubs and the pairfuse program.
# Everything happens in a temporary directory; exits non-zero on any failure.
#   PYTHON=/usr/bin/python3 tests/packaging/smoke_wheel.sh   (or PYTHON=pypy3 for a PyPy wheel)
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
python=${PYTHON:-/usr/bin/python3}
# mypy runs under CPython whichever interpreter the wheel is for.
mypy_python=${MYPY_PYTHON:-/usr/bin/python3}
work=$(mktemp -d)
# meson-python 0.12 leaves its native file in the source tree; remove it unless it was there before.
native_file="$root/.mesonpy-native-file.ini"
[ -e "$native_file" ] && keep_native_file=1 || keep_native_file=0
cleanup() {
  rm -rf "$work"
  [ "$keep_native_file" = 1 ] || rm -f "$native_file"
}
trap cleanup EXIT

step() { echo "== $*"; }

step "building the wheel with $python"
if ! (cd "$root" && "$python" -m pip wheel --no-build-isolation --no-deps --no-index \
        -w "$work/wheelhouse" .) >"$work/build.log" 2>&1; then
  cat "$work/build.log" >&2
  echo "wheel build failed" >&2
  exit 1
fi
wheel=$(echo "$work"/wheelhouse/pairfuse-*.whl)
echo "$(basename "$wheel")"

step "installing it into a fresh venv"
"$python" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install -q --no-index "$wheel"

# Run from the temporary directory so nothing is imported from the source tree.
cd "$work"

step "importing the installed module"
"$work/venv/bin/python" - <<'PY'
import pathlib
import sysconfig

import pairfuse

site = pathlib.Path(sysconfig.get_paths()["platlib"])
assert pathlib.Path(pairfuse.__file__).parent == site, pairfuse.__file__
assert pairfuse.fit_py([1, 2, 1, 2, 3], 4) == ([4, 4, 3], [((1, 2), 4)])
for stub in ("pairfuse-stubs/__init__.pyi", "pairfuse-stubs/py.typed"):
    assert (site / stub).is_file(), f"{stub} not installed"
print("fit_py([1, 2, 1, 2, 3], 4) ->", pairfuse.fit_py([1, 2, 1, 2, 3], 4))
try:
    import dask
    import dask.bag
except ImportError:
    print("dask not installed: pairfuse_dask not imported")
else:
    import pairfuse_dask
    assert pathlib.Path(pairfuse_dask.__file__).parent == site / "pairfuse_dask", pairfuse_dask.__file__
    assert pairfuse_dask.fit_weighted([[1, 2], [2, 3]], [3, 1], 4) == [((1, 2), 4)]
    with dask.config.set(scheduler="sync"):
        assert pairfuse_dask.fit(dask.bag.from_sequence([[1, 2], [1, 2], [2, 3]]), 4) == [((1, 2), 4)]
    print("pairfuse_dask.fit_weighted([[1, 2], [2, 3]], [3, 1], 4) ->", pairfuse_dask.fit_weighted([[1, 2], [2, 3]], [3, 1], 4))
PY

step "running the installed pairfuse program"
printf 'abab abab\nabba\n' >sample.txt
"$work/venv/bin/pairfuse" train --vocab-size 12 sample.txt -o merges.json
"$work/venv/bin/pairfuse" encode --merges merges.json sample.txt >tokens.txt
"$work/venv/bin/pairfuse" decode --merges merges.json --output-format bytes tokens.txt | cmp - sample.txt
"$work/venv/bin/python" -c '
import json, pairfuse
merges = [((l, r), i) for (l, r), i in json.load(open("merges.json"))]
assert pairfuse.encode_py(list(open("sample.txt", "rb").read()), merges) == [int(t) for t in open("tokens.txt").read().split()]
'

if "$mypy_python" -c 'import mypy' 2>/dev/null; then
  step "type-checking a caller against the installed stubs"
  cat >caller.py <<'PY'
import pairfuse
units, merges = pairfuse.fit_py([1, 2, 1, 2, 3], 4)
tokens: list[int] = pairfuse.encode_py(b"abc", merges)
PY
  "$mypy_python" -m mypy --python-executable "$work/venv/bin/python" --no-incremental --strict caller.py
  printf 'import pairfuse\npairfuse.encode_py("text", [])\n' >wrong.py
  if "$mypy_python" -m mypy --python-executable "$work/venv/bin/python" --no-incremental wrong.py >/dev/null; then
    echo "mypy accepted a str as units: the stubs were not used" >&2
    exit 1
  fi
else
  step "mypy not installed: stubs not type-checked"
fi

echo "wheel smoke test passed"
