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
trap 'rm -rf "$work"' EXIT

step() { echo "== $*"; }

step "building the wheel with $python"
wheel=$("$root/scripts/wheel" "$python" "$work/wheelhouse")
echo "$(basename "$wheel"), $(du -k "$wheel" | cut -f1) KiB"

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

site=$("$work/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
libs="$site/pairfuse.libs"
program="$work/venv/bin/pairfuse"
binaries=("$site"/pairfuse.*.so "$site"/pairfuse_dask/_engine.*.so "$site"/pairfuse_tokenizer/_native.*.so "$program")

step "every library the loader finds comes from the wheel or the C/C++ runtime"
runtime='^(linux-vdso\.so\.1|libc\.so\.6|libm\.so\.6|libstdc\+\+\.so\.6|libgcc_s\.so\.1|libpthread\.so\.0|libdl\.so\.2|/lib64/ld-linux-x86-64\.so\.2)$'
for binary in "${binaries[@]}"; do
  while read -r name arrow path _; do
    [ -n "$name" ] || continue
    if [[ "$name" =~ $runtime ]]; then continue; fi
    if [ "$arrow" = "=>" ] && [ "$(dirname "$(readlink -f "$path")")" = "$(readlink -f "$libs")" ]; then continue; fi
    echo "$(basename "$binary") loads $name from ${path:-?}, outside the wheel" >&2
    exit 1
  done < <(ldd "$binary")
done
# What the loader actually opens while the module works, oneTBB's own
# dlopen of its allocator included.
LD_DEBUG=libs "$work/venv/bin/python" -c '
import pairfuse
assert pairfuse.encode_concurrent_py([[1, 2, 1, 2]] * 20000, [((1, 2), 3)])[0] == [3, 3]' 2>"$work/loader.log"
if grep -E 'calling init: .*(tbb|fmt|absl)' "$work/loader.log" | grep -v -F "$(readlink -f "$libs")/"; then
  echo "a library of oneTBB, fmt or abseil was loaded from outside the wheel" >&2
  exit 1
fi
grep -E 'calling init: .*tbb' "$work/loader.log" | sed 's/.*calling init: /  loaded /'

step "round trip with the system's oneTBB, fmt and abseil out of reach"
hidden=()
for f in /usr/lib/x86_64-linux-gnu/libtbb*.so.* /usr/lib/x86_64-linux-gnu/libfmt.so.* /usr/lib/x86_64-linux-gnu/libabsl_*.so.*; do
  [ -f "$f" ] && [ ! -L "$f" ] && hidden+=("$f")
done
cat >round_trip.py <<'PY'
import pairfuse
units = list(b"abracadabra abracadabra")
tokens, merges = pairfuse.fit_py(units, 40)
assert pairfuse.decode_py(pairfuse.encode_py(units, merges), merges) == units
assert pairfuse.decode_concurrent_py(pairfuse.encode_concurrent_py([units] * 3000, merges), merges)[0] == units
from pairfuse_tokenizer import Tokenizer
tokenizer = Tokenizer.train(iter([bytes(units)] * 3), 40)
assert tokenizer.merges == merges
assert list(tokenizer.decode(tokenizer.encode(bytes(units)))) == units
print("round trip ok:", len(merges), "merges")
PY
# A private mount namespace (root, as in CI) in which each of the system's
# copies is replaced by an empty file: loading one would fail.
cat >hide_and_run.sh <<SH
set -e
for f in "\$@"; do mount --bind /dev/null "\$f"; done
if "$work/venv/bin/python" -c 'import ctypes; ctypes.CDLL("libtbb.so.12")' 2>/dev/null; then
  echo "the system's oneTBB is still loadable: hiding it failed" >&2
  exit 1
fi
"$work/venv/bin/python" round_trip.py
printf 'ab ab\n' >hidden.txt
"$program" train --vocab-size 6 -q hidden.txt -o hidden.json
"$program" encode --merges hidden.json hidden.txt >/dev/null
SH
if unshare --mount true 2>/dev/null; then
  unshare --mount bash hide_and_run.sh "${hidden[@]}"
  echo "  ${#hidden[@]} system libraries hidden"
else
  echo "  no private mount namespace here (not root?): only the loader's report was checked"
fi

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
from pairfuse_tokenizer import Tokenizer
values, offsets = Tokenizer(merges).encode_batch([b"abc", b"ab"])
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
