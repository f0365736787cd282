#!/usr/bin/env python3
"""Big and degenerate inputs: peak memory per unit, and no quadratic blow-up.

    python3 bench/big_inputs.py                 # both parts, CPython module in build/cpython
    python3 bench/big_inputs.py memory --units 50000000
    python3 bench/big_inputs.py shapes --units 1000000 --limit 300
    python3 bench/big_inputs.py --python pypy3 --module-dir build/pypy/src/python_bindings

memory: 50,000,000 units (text: the standard library's sources, repeated, cut
into lines) through fit_concurrent_py, encode_concurrent_py and
decode_concurrent_py, each in a fresh interpreter. The input is a list of
bytes objects (about 1 byte per unit plus ~37 bytes per line in Python, where
a list of ints would cost 36 bytes per unit), and decode's input is a list of
array('i') (4 bytes per token), so the figures show the module's own cost. For
each call:

    input    resident bytes per unit taken by the Python input
    peak     (peak resident size - resident size before the call) per unit
    result   bytes per unit of the Python objects returned (lists, tuples, ints;
             ints up to 256 are shared and count nothing)
    engine   peak - result: what the call needed beyond its Python result,
             roughly the engine's vectors and tables and the converted input

shapes: 1,000,000 equal units, alternating units and all-distinct units
through every function (training with no size limit, until no pair is left;
encoding and decoding with that learned table), one fresh interpreter per
call, with a time limit; an engine that recounts everything per merge shows
up here as a timeout.

Not a test: nothing is asserted, figures are printed.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import textwrap
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

PRELUDE = textwrap.dedent(
    """
    import array, gc, json, os, resource, sys, sysconfig, time
    import pairfuse

    def resident():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    def peak():
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

    def corpus_lines(total):
        # The standard library's sources, repeated, as a list of bytes lines.
        root = sysconfig.get_paths()["stdlib"]
        text = []
        size = 0
        for dirpath, _, files in sorted(os.walk(root)):
            for name in sorted(files):
                if name.endswith(".py"):
                    with open(os.path.join(dirpath, name), "rb") as f:
                        data = f.read()
                    text.append(data)
                    size += len(data)
            if size > 64 << 20:
                break
        blob = b"".join(text)
        lines = [line for line in blob.splitlines(keepends=True) if line]
        out, units, i = [], 0, 0
        while units < total:
            line = lines[i % len(lines)][: total - units]
            out.append(line)
            units += len(line)
            i += 1
        return out

    def python_size(obj):
        # Bytes of the Python objects a result is made of; ints from -5 to 256
        # are shared and cost nothing.
        if isinstance(obj, (list, tuple)):
            return sys.getsizeof(obj) + sum(python_size(item) for item in obj)
        if isinstance(obj, int):
            return 0 if -5 <= obj <= 256 else sys.getsizeof(obj)
        return sys.getsizeof(obj)

    def write_sequences(path, sequences):
        # Lengths (int64), then the concatenated items as int32 (itemsize 4) or bytes.
        lengths = array.array("q", map(len, sequences))
        with open(path, "wb") as f:
            f.write(len(lengths).to_bytes(8, "little"))
            f.write(lengths.tobytes())
            for seq in sequences:
                f.write(seq if isinstance(seq, bytes) else array.array("i", seq).tobytes())

    def read_sequences(path, typecode):
        with open(path, "rb") as f:
            lengths = array.array("q")
            lengths.frombytes(f.read(int.from_bytes(f.read(8), "little") * 8))
            blob = f.read()
        flat = blob if typecode is None else array.array(typecode, blob)
        del blob
        out, at = [], 0
        for n in lengths:
            out.append(flat[at : at + n])
            at += n
        return out
    """
)

MEMORY_CHILD = PRELUDE + textwrap.dedent(
    """
    name, total, folder = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    with open(os.path.join(folder, "merges.json")) as f:
        merges = [((l, r), i) for (l, r), i in json.load(f)]
    gc.collect()
    base = resident()
    if name == "decode_concurrent_py":
        arg = read_sequences(os.path.join(folder, "tokens.bin"), "i")
        units = total  # decoded units
    else:
        arg = read_sequences(os.path.join(folder, "lines.bin"), None)
        units = sum(map(len, arg))
    gc.collect()
    before = resident()
    start = time.perf_counter()
    if name == "fit_concurrent_py":
        result = pairfuse.fit_concurrent_py(arg, 256 + len(merges))
    elif name == "encode_concurrent_py":
        result = pairfuse.encode_concurrent_py(arg, merges)
    else:
        result = pairfuse.decode_concurrent_py(arg, merges)
    seconds = time.perf_counter() - start
    print(json.dumps({"units": units, "sequences": len(arg), "input": before - base, "peak": peak() - before,
                      "result": python_size(result), "seconds": seconds, "peak_total": peak()}))
    """
)

PREPARE_CHILD = PRELUDE + textwrap.dedent(
    """
    total, merge_count, folder = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    lines = corpus_lines(total)
    write_sequences(os.path.join(folder, "lines.bin"), lines)
    # The table is learned from the first tenth, as a real tokenizer would be.
    sample = lines[: max(1, len(lines) // 10)]
    _, merges = pairfuse.fit_concurrent_py(sample, 256 + merge_count)
    with open(os.path.join(folder, "merges.json"), "w") as f:
        json.dump(merges, f)
    tokens = []
    for at in range(0, len(lines), 100000):
        tokens += [array.array("i", seq) for seq in pairfuse.encode_concurrent_py(lines[at : at + 100000], merges)]
    write_sequences(os.path.join(folder, "tokens.bin"), tokens)
    """
)

SHAPE_CHILD = PRELUDE + textwrap.dedent(
    """
    shape, name, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
    if shape == "equal":
        units = [7] * n
    elif shape == "alternating":
        units = [1, 2] * (n // 2)
    else:
        units = list(range(n))
    everything = 2**64 - 1  # train until no pair is left
    needs_table = name.startswith(("encode", "decode"))
    if needs_table:
        tokens, merges = pairfuse.fit_py(units, everything)
    start = time.perf_counter()
    if name == "fit_py":
        out = pairfuse.fit_py(units, everything)[0]
    elif name == "fit_concurrent_py":
        out = pairfuse.fit_concurrent_py([units], everything)[0][0]
    elif name == "encode_py":
        out = pairfuse.encode_py(units, merges)
    elif name == "encode_concurrent_py":
        out = pairfuse.encode_concurrent_py([units], merges)[0]
    elif name == "decode_py":
        out = pairfuse.decode_py(tokens, merges)
    else:
        out = pairfuse.decode_concurrent_py([tokens], merges)[0]
    seconds = time.perf_counter() - start
    print(json.dumps({"seconds": seconds, "out": len(out), "merges": len(merges) if needs_table else None}))
    """
)

FUNCTIONS = ["fit_py", "fit_concurrent_py", "encode_py", "encode_concurrent_py", "decode_py", "decode_concurrent_py"]


def child(args, code, *argv, timeout=None):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.abspath(args.module_dir), os.environ.get("PYTHONPATH", "")]))
    result = subprocess.run([args.python, "-c", code, *map(str, argv)], env=env, capture_output=True, text=True,
                            timeout=timeout, check=False)
    if result.returncode != 0:
        raise RuntimeError(result.stderr[-3000:])
    return json.loads(result.stdout.strip().splitlines()[-1]) if result.stdout.strip() else None


def memory(args):
    print(f"== memory: {args.units:,} units, table of {args.merges} merges, {args.python}")
    with tempfile.TemporaryDirectory() as tmp:
        start = time.perf_counter()
        child(args, PREPARE_CHILD, args.units, args.merges, tmp)
        print(f"   (prepared table and encoded tokens in {time.perf_counter() - start:.0f} s)")
        header = f"   {'function':22} {'sequences':>10} {'seconds':>8} {'input':>7} {'peak':>7} {'result':>7} {'engine':>7}   bytes/unit"
        print(header)
        for name in ["fit_concurrent_py", "encode_concurrent_py", "decode_concurrent_py"]:
            r = child(args, MEMORY_CHILD, name, args.units, tmp)
            u = r["units"]
            print(f"   {name:22} {r['sequences']:>10,} {r['seconds']:>8.1f} {r['input'] / u:>7.2f} {r['peak'] / u:>7.2f} "
                  f"{r['result'] / u:>7.2f} {(r['peak'] - r['result']) / u:>7.2f}   (peak process size {r['peak_total'] / 2**30:.2f} GiB)")


def shapes(args):
    print(f"== shapes: {args.units:,} units, training until no pair is left; seconds per call (limit {args.limit} s)")
    print(f"   {'shape':12}" + "".join(f"{name:>22}" for name in FUNCTIONS))
    for shape in ["equal", "alternating", "distinct"]:
        cells = []
        for name in FUNCTIONS:
            try:
                r = child(args, SHAPE_CHILD, shape, name, args.units, timeout=args.limit)
                cells.append(f"{r['seconds']:.3f}")
            except subprocess.TimeoutExpired:
                cells.append(f"> {args.limit}")
            except RuntimeError as error:
                cells.append("error")
                print(error, file=sys.stderr)
        print(f"   {shape:12}" + "".join(f"{c:>22}" for c in cells), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("part", nargs="?", choices=["memory", "shapes", "all"], default="all")
    parser.add_argument("--units", type=int, help="units per input (default 50,000,000 for memory, 1,000,000 for shapes)")
    parser.add_argument("--merges", type=int, default=1000, help="merges learned for the memory part")
    parser.add_argument("--limit", type=int, default=300, help="seconds allowed per call in the shapes part")
    parser.add_argument("--python", default="/usr/bin/python3")
    parser.add_argument("--module-dir", default=os.path.join(REPO, "build", "cpython", "src", "python_bindings"))
    args = parser.parse_args()
    units = args.units
    if args.part in ("memory", "all"):
        args.units = units or 50_000_000
        memory(args)
    if args.part in ("shapes", "all"):
        args.units = units or 1_000_000
        shapes(args)


if __name__ == "__main__":
    main()
