"""The benchmark table: pairfuse against its literal engine and against the
Hugging Face tokenizers trainer, on the Python standard library sources.

    /usr/bin/python3 bench/run.py [--runs N] [--skip-literal] [--skip-peer] [--skip-pypy]

Expects the builds of scripts/build (build/cpython, build/pypy). Installs the
peer with npm into build/peer. Every figure is the median of --runs runs
(default 3); peak memory is the child process's maximum resident size.
A "get_counts pass", the yardstick of some rows, is the median of at least 21
warm passes (engine_bench), timed in the same process as the fit it measures
(row 2) or just after the encoding it measures (4c).
"""

import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ENGINE_BENCH = os.path.join(ROOT, "build", "cpython", "bench", "engine_bench")
MODULE_DIRS = {"cpython": os.path.join(ROOT, "build", "cpython", "src", "python_bindings"),
               "pypy": os.path.join(ROOT, "build", "pypy", "src", "python_bindings")}
INTERPRETERS = {"cpython": "/usr/bin/python3", "pypy": "pypy3"}
sys.path.insert(0, os.path.join(ROOT, "tools"))
from corpus import corpus_bytes, corpus_files  # noqa: E402

PEER_DIR = os.path.join(ROOT, "build", "peer")
PEER_VERSION = "0.23.2"
PEER_MERGES = 29_828  # what the peer learns on this corpus; it cannot be told a size


def run(cmd, env=None):
    """Runs cmd, returns (parsed JSON of its last stdout line, peak RSS in MB)."""
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, env=env, text=True)
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise SystemExit(f"failed ({proc.returncode}): {' '.join(cmd)}")
    return json.loads(out.strip().splitlines()[-1]), usage.ru_maxrss / 1024


def python_row_script(interp, script, *args, threads=None):
    env = dict(os.environ, PYTHONPATH=MODULE_DIRS[interp])
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    return run([INTERPRETERS[interp], os.path.join(ROOT, "bench", script), *args], env)


def python_row(interp, corpus, row, merges, runs, *extra, threads=None):
    return python_row_script(interp, "python_rows.py", corpus, row, str(merges), str(runs), *extra, threads=threads)


def interpreter_rows(add, corpus, runs, tmp, with_pypy):
    """PyPy against CPython on the words, one worker thread, so that the
    figures compare what the interpreters add, side by side in one run.
    These rows are ratios of calls of about half a second, whose times swing
    by a fifth from run to run on a shared machine: five runs at least."""
    runs = max(runs, 5)
    table = os.path.join(tmp, "words-table.json")
    c, _ = python_row("cpython", corpus, "words-calls", PEER_MERGES, runs, table, threads=1)
    _, c_rss = python_row("cpython", corpus, "words-round-trip", table, 1, threads=1)

    def ratio(a, b):
        return f"{a:.2f} s / {b:.2f} s = {a / b:.2f}x"

    add("7a. CPython: decode_concurrent_py(words, []) / [list(w) for w in words], collector paused",
        ratio(c["decode_empty_seconds"], c["lists_paused_seconds"]), "<= 1.2x")
    add("7b. CPython: fit_concurrent_py(words, distinct + 1) / the same lists",
        ratio(c["fit_one_seconds"], c["lists_paused_seconds"]), "<= 1.5x")
    if "numpy_decode_seconds" in c:
        add("7c. CPython: decode_py of 1,000,000 NumPy int32 / of the same list",
            f"{c['numpy_decode_seconds'] * 1000:.1f} ms / {c['list_decode_seconds'] * 1000:.1f} ms = "
            f"{c['numpy_decode_seconds'] / c['list_decode_seconds']:.2f}x", "<= 1x")
    if not with_pypy:
        return
    p, _ = python_row("pypy", corpus, "words-calls", PEER_MERGES, runs, threads=1)
    _, p_rss = python_row("pypy", corpus, "words-round-trip", table, 1, threads=1)
    for key, call in (("fit", "fit_concurrent_py"), ("encode", "encode_concurrent_py"),
                      ("decode", "decode_concurrent_py")):
        add(f"7d. PyPy / CPython: {call} on the words, one thread",
            ratio(p[key + "_seconds"], c[key + "_seconds"]), "<= 1.5x")
    add("7e. PyPy: plain-Python decoder / decode_concurrent_py",
        f"{p['plain_decode_seconds']:.2f} s / {p['decode_seconds']:.2f} s = "
        f"{p['plain_decode_seconds'] / p['decode_seconds']:.1f}x", ">= 3x")
    for key, call in (("encode", "encode_concurrent_py"), ("decode", "decode_concurrent_py")):
        add(f"7f. PyPy: {call} / PyPy's own [list(w) for w in words]",
            ratio(p[key + "_seconds"], p["lists_seconds"]), "<= 2x")
    add("7g. peak memory of encode + decode of the words, PyPy / CPython",
        f"{p_rss:.0f} MB / {c_rss:.0f} MB = {p_rss / c_rss:.2f}x", "<= 1.5x")


def peer(*args):
    if not os.path.exists(os.path.join(PEER_DIR, "node_modules", "tokenizers")):
        os.makedirs(PEER_DIR, exist_ok=True)
        subprocess.run(["npm", "install", "--silent", "--prefix", PEER_DIR, f"tokenizers@{PEER_VERSION}"],
                       check=True, stdout=subprocess.DEVNULL)
    env = dict(os.environ, NODE_PATH=os.path.join(PEER_DIR, "node_modules"))
    return run(["node", os.path.join(ROOT, "bench", "peer_tokenizers.js"), *args], env)


def median_of(runs, fn):
    results = sorted((fn() for _ in range(runs)), key=lambda r: r[0]["seconds"])
    return results[len(results) // 2]


def write_corpus(path):
    """Writes the corpus to `path` and returns a line naming it: the standard
    library differs from machine to machine, so figures are comparable only
    for the same files, bytes and hash."""
    files = corpus_files()
    data = corpus_bytes()
    with open(path, "wb") as out:
        out.write(data)
    digest = hashlib.sha256(data).hexdigest()[:16]
    return len(data), f"corpus: {len(files):,} files, {len(data):,} bytes, sha256 {digest}"


def cli_rows(corpus, runs, add):
    """The command-line tool training on the corpus's words, bytes as units:
    time and peak memory with 30,000 merges, and with one (all overhead)."""
    cli = os.path.join(ROOT, "build", "cpython", "tools", "cli", "pairfuse")
    merges_path = corpus + ".merges.json"

    def train(vocab):
        start = time.perf_counter()
        proc = subprocess.Popen([cli, "train", "--split", "words", "--vocab-size", str(vocab), corpus,
                                 "-o", merges_path])
        _, status, usage = os.wait4(proc.pid, 0)
        if os.waitstatus_to_exitcode(status) != 0:
            raise SystemExit(f"failed: {cli} train --vocab-size {vocab}")
        return {"seconds": time.perf_counter() - start}, usage.ru_maxrss / 1024

    peaks = {}
    for number, vocab, label, target in (("8a", 30_000, "vocab 30,000", "<= 0.85 s, <= 90 MB"),
                                         ("8b", 173, "vocab 173: one merge", "<= 0.2 s")):
        result, rss = median_of(runs, lambda: train(vocab))
        peaks[number] = rss
        add(f"{number}. pairfuse train --split words, {label}", f"{result['seconds']:.2f} s, {rss:.0f} MB peak",
            target)
    return peaks["8a"]


def sentencepiece_model(corpus):
    """The peer's 30,000-piece BPE model of the corpus, trained once and kept
    in the build folder (named by the corpus's hash, which differs from one
    machine's standard library to the next's); None without spm_train."""
    if shutil.which("spm_train") is None:
        return None
    with open(corpus, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()[:12]
    prefix = os.path.join(PEER_DIR, f"spm-bpe-30000-{digest}")
    if not os.path.exists(prefix + ".model"):
        os.makedirs(PEER_DIR, exist_ok=True)
        subprocess.run(["spm_train", f"--input={corpus}", f"--model_prefix={prefix}", "--model_type=bpe",
                        "--vocab_size=30000", "--byte_fallback=true", "--character_coverage=1.0",
                        "--minloglevel=2"], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return prefix + ".model"


def per_call_rows(corpus, runs, add, with_pypy):
    """One call per short line (bench/per_call_rows.py), with the table the
    command-line tool learns on the words, against SentencePiece's Python
    module (CPython), side by side in one run."""
    cli = os.path.join(ROOT, "build", "cpython", "tools", "cli", "pairfuse")
    merges = corpus + ".per-call-merges.json"
    subprocess.run([cli, "train", "--split", "words", "--vocab-size", "30000", "-q", corpus, "-o", merges], check=True)
    model = sentencepiece_model(corpus)
    runs = max(runs, 5)
    extra = [model] if model else []
    c, _ = python_row_script("cpython", "per_call_rows.py", corpus, merges, str(runs), *extra)
    p = python_row_script("pypy", "per_call_rows.py", corpus, merges, str(runs))[0] if with_pypy else None

    def us(value):
        return f"{value:.1f} us"

    def versus(ours, theirs):
        return f"{us(ours)} / {us(theirs)} = {ours / theirs:.2f}x"

    table = f"{c['merges']:,} merges"
    if "peer_encode_us" in c:
        add(f"10a. CPython encode_py per call, {table} / SentencePiece encode", versus(c["encode_us"], c["peer_encode_us"]),
            "<= 1.0x")
        add("10b. CPython decode_py per call / SentencePiece decode", versus(c["decode_us"], c["peer_decode_us"]), "<= 2.0x")
        add("10b. CPython decode_py([t]) one token / SentencePiece decode of a line (of one token: "
            f"{us(c['peer_decode_one_us'])})", versus(c["decode_one_us"], c["peer_decode_us"]), "<= 2.0x")
        if p:
            add("10c. PyPy encode_py per call / SentencePiece encode (CPython)",
                versus(p["encode_us"], c["peer_encode_us"]), "<= 4x")
            add("10c. PyPy decode_py per call / SentencePiece decode (CPython)",
                versus(p["decode_us"], c["peer_decode_us"]), "<= 10x")
        add("10d. CPython encode_concurrent_py of 64 lines / 64 SentencePiece encodes",
            versus(c["encode_64_us"], 64 * c["peer_encode_us"]), "<= 0.3x")
        add("10d. CPython decode_concurrent_py of 64 lines / 64 SentencePiece decodes",
            versus(c["decode_64_us"], 64 * c["peer_decode_us"]), "<= 1.0x")
    else:
        add(f"10a. CPython encode_py / decode_py per call, {table} (no SentencePiece)",
            f"{us(c['encode_us'])} / {us(c['decode_us'])}")
    add(f"10e. CPython encode_py per call: {table} / its first 1,000", versus(c["encode_us"], c["encode_first_1000_us"]),
        "<= 2x")
    for name, call in (("encode", "encode_py"), ("decode", "decode_py")):
        add(f"10f. CPython {call}, a new table every call / Python iterating it (for (l, r), i in merges)",
            versus(c[f"cold_{name}_us"], c["iterate_us"]), "<= 1.0x")
    if p:
        add("10g. PyPy encode_py / decode_py per call; a new table every call / PyPy iterating it",
            f"{us(p['encode_us'])} / {us(p['decode_us'])}; {versus(p['cold_encode_us'], p['iterate_us'])} and "
            f"{versus(p['cold_decode_us'], p['iterate_us'])}")


def tokenizer_rows(runs, add, with_pypy, peer_mb_per_s=None, cli_peak_mb=None):
    """pairfuse_tokenizer (bench/tokenizer_rows.py) on the words, 29,828
    merges: typed results against the module's lists, two threads against
    one, streaming training against training on a list (and, given row 8a's
    peak, against the command-line tool's memory)."""
    c, _ = python_row_script("cpython", "tokenizer_rows.py", str(runs))
    p = python_row_script("pypy", "tokenizer_rows.py", str(runs))[0] if with_pypy else None
    words_mb = c["words_bytes"] / 1e6

    def versus(ours, theirs):
        return f"{ours:.3f} s / {theirs:.3f} s = {theirs / ours:.2f}x faster"

    encode = versus(c["encode_batch_s"], c["encode_concurrent_py_s"])
    if peer_mb_per_s:
        encode += f"; {words_mb / c['encode_batch_s']:.1f} MB/s = {words_mb / c['encode_batch_s'] / peer_mb_per_s:.1f}x tokenizers (row 4a)"
    add("11a. CPython Tokenizer.encode_batch / encode_concurrent_py of the words", encode, ">= 2.5x; >= 10x tokenizers")
    add("11a. CPython Tokenizer.decode_batch / decode_concurrent_py", versus(c["decode_batch_s"], c["decode_concurrent_py_s"]),
        ">= 2.5x")
    if p:
        add("11a. PyPy Tokenizer.encode_batch / decode_batch against the module's calls",
            f"{p['encode_speedup']:.2f}x / {p['decode_speedup']:.2f}x faster")
    add(f"11b. CPython Tokenizer.encode of {c['pieces_4k']:,} 4 KB pieces, 2 threads against 1 (hashlib on this machine)",
        f"{c['two_thread_speedup']:.2f}x ({c['machine_two_thread_speedup']:.2f}x)", ">= 1.6x")
    train = c["train"]
    add("11c. CPython Tokenizer.train on a generator / fit_concurrent_py on the list",
        f"{train['stream']['seconds']:.2f} s, {train['stream']['peak_rss_mb']:.0f} MB peak / "
        f"{train['list']['seconds']:.2f} s, {train['list']['peak_rss_mb']:.0f} MB peak; the process before training: "
        f"{train['baseline']['peak_rss_mb']:.0f} MB"
        + (f"; budget 1.3 x {cli_peak_mb:.0f} + {train['baseline']['peak_rss_mb']:.0f} = "
           f"{1.3 * cli_peak_mb + train['baseline']['peak_rss_mb']:.0f} MB" if cli_peak_mb else ""),
        "time <= 1x; memory <= 1.3x row 8a + before training")
    if "capped" in train:
        add("11d. CPython Tokenizer.train, max_token_length=4 / uncapped",
            f"{train['capped']['seconds']:.2f} s / {train['stream']['seconds']:.2f} s", "<= 1x")


def dask_rows(corpus, runs, add):
    """pairfuse_dask on a local cluster of 2 worker processes against one
    process (bench/dask_rows.py); CPython only, where Dask is installed."""
    env = dict(os.environ, PYTHONPATH=MODULE_DIRS["cpython"])
    d, _ = run([INTERPRETERS["cpython"], os.path.join(ROOT, "bench", "dask_rows.py"), corpus,
                str(30_000), str(runs)], env)
    add("9a. pairfuse_dask.fit on words, 2 worker processes, vs fit_concurrent_py",
        f"{d['fit_seconds']:.2f} s vs {d['single_fit_seconds']:.2f} s = "
        f"{d['fit_seconds'] / d['single_fit_seconds']:.2f}x", "<= 2x")
    add("9b. bytes the client process receives during that fit",
        f"{d['fit_client_received_bytes'] / 1e6:.1f} MB at most", "<= 5 MB")
    add("9c. pairfuse_dask.encode then decode, kept on the workers, vs the one-process calls",
        f"{d['encode_decode_seconds']:.2f} s vs {d['single_encode_decode_seconds']:.2f} s = "
        f"{d['encode_decode_seconds'] / d['single_encode_decode_seconds']:.1f}x", "<= 2x")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--skip-literal", action="store_true")
    parser.add_argument("--skip-peer", action="store_true")
    parser.add_argument("--skip-pypy", action="store_true")
    parser.add_argument("--only-per-call", action="store_true", help="only rows 10, the per-call rows")
    parser.add_argument("--only-tokenizer", action="store_true", help="only rows 11, pairfuse_tokenizer (with rows 8, its memory budget)")
    args = parser.parse_args()
    runs = args.runs

    tmp = tempfile.mkdtemp(prefix="pairfuse-bench-")
    corpus = os.path.join(tmp, "corpus.bin")
    size, corpus_line = write_corpus(corpus)
    print(corpus_line, file=sys.stderr)
    mb = size / 1e6
    rows = []

    def add(name, figure, target="", note=""):
        rows.append((name, figure, target, note))
        print(f"  {name}: {figure} {note}", file=sys.stderr)

    if args.only_tokenizer:
        tokenizer_rows(runs, add, not args.skip_pypy, cli_peak_mb=cli_rows(corpus, runs, add))
        print_table(rows, runs, corpus_line)
        return
    if args.only_per_call:
        per_call_rows(corpus, runs, add, not args.skip_pypy)
        print_table(rows, runs, corpus_line)
        return

    # 1. fast against literal training.
    fast_1m, _ = run([ENGINE_BENCH, "fit", corpus, "1000000", "2000", "--runs", str(runs)])
    if not args.skip_literal:
        literal_1m, _ = run([ENGINE_BENCH, "fit-literal", corpus, "1000000", "2000", "--runs", str(runs)])
        add("1. fit, 1,000,000 bytes, 2,000 merges: fast vs literal",
            f"{fast_1m['seconds']:.3f} s vs {literal_1m['seconds']:.1f} s = "
            f"{literal_1m['seconds'] / fast_1m['seconds']:.0f}x", ">= 100x")
    else:
        add("1. fit, 1,000,000 bytes, 2,000 merges (fast)", f"{fast_1m['seconds']:.3f} s", ">= 100x vs literal")

    # 2. the whole corpus as one sequence.
    whole, whole_rss = run([ENGINE_BENCH, "fit", corpus, "0", "32000", "--runs", str(runs)])
    add(f"2. fit, whole corpus ({mb:.1f} MB) as one sequence, 32,000 merges",
        f"{whole['seconds']:.2f} s, {whole_rss:.0f} MB peak, "
        f"{whole['seconds'] / whole['pass_seconds']:.1f} get_counts passes "
        f"(one pass {whole['pass_seconds'] * 1000:.0f} ms)", "< 40 passes")

    # 3. training on words against the peer.
    ours3, ours3_rss = python_row("cpython", corpus, "fit-words", PEER_MERGES, runs)
    if not args.skip_peer:
        trained = os.path.join(tmp, "peer.json")
        theirs3, theirs3_rss = median_of(runs, lambda: peer("train", corpus, trained))
        add(f"3. fit_concurrent_py on words, {PEER_MERGES:,} merges vs tokenizers {PEER_VERSION}",
            f"{ours3['seconds']:.2f} s ({ours3_rss:.0f} MB) vs {theirs3['seconds']:.2f} s ({theirs3_rss:.0f} MB) = "
            f"{theirs3['seconds'] / ours3['seconds']:.2f}x", ">= 1.5x")
    else:
        add(f"3. fit_concurrent_py on words, {PEER_MERGES:,} merges", f"{ours3['seconds']:.2f} s")

    # 4. encoding.
    batch, _ = python_row("cpython", corpus, "batch", 8000, runs)
    ours4 = mb / batch["encode_seconds"]
    theirs4 = None
    if not args.skip_peer:
        theirs4, _ = median_of(runs, lambda: peer("encode", corpus, trained, "8000"))
        add("4a. encode_concurrent_py of the words, 8,000 merges vs tokenizers (lines)",
            f"{ours4:.1f} MB/s vs {theirs4['mb_per_s']:.1f} MB/s = {ours4 / theirs4['mb_per_s']:.1f}x", ">= 2x")
    else:
        add("4a. encode_concurrent_py of the words, 8,000 merges", f"{ours4:.1f} MB/s")
    one, _ = python_row("cpython", corpus, "encode-one", 8000, runs)
    add("4b. encode_py of the whole corpus as one sequence, 8,000 merges", f"{mb / one['seconds']:.1f} MB/s")
    synth, _ = python_row("cpython", corpus, "encode-synthetic", 8000, runs)
    for name, label in (("run", "a a a ..."), ("letters", "random letters")):
        base, _ = run([ENGINE_BENCH, "counts", f"{corpus}.{name}", "0", "--runs", str(runs)])
        add(f"4c. encode_py of 1,000,000 units {label}",
            f"{synth[name + '_seconds'] * 1000:.0f} ms = {synth[name + '_seconds'] / base['seconds']:.1f} "
            f"get_counts passes", "< 20 passes")

    # 5. decoding.
    add("5. decode_concurrent_py of the encoded words", f"{mb / batch['decode_seconds']:.1f} MB/s of output")

    # 6. PyPy, and the cost of the boundary.
    conv, _ = python_row("cpython", corpus, "convert", "-", runs)
    add("6a. CPython: 1,000,000-int list through decode_py (in and out) vs array.array('i', list)",
        f"{conv['boundary_seconds'] * 1000:.1f} ms vs {conv['array_seconds'] * 1000:.1f} ms")
    if not args.skip_pypy:
        p3, _ = python_row("pypy", corpus, "fit-words", PEER_MERGES, runs)
        add(f"6b. PyPy: fit_concurrent_py on words, {PEER_MERGES:,} merges", f"{p3['seconds']:.2f} s")
        pb, _ = python_row("pypy", corpus, "batch", 8000, runs)
        add("6c. PyPy: encode_concurrent_py / decode_concurrent_py of the words",
            f"{mb / pb['encode_seconds']:.1f} MB/s / {mb / pb['decode_seconds']:.1f} MB/s")
        po, _ = python_row("pypy", corpus, "encode-one", 8000, runs)
        add("6d. PyPy: encode_py of the whole corpus", f"{mb / po['seconds']:.1f} MB/s")
        pc, _ = python_row("pypy", corpus, "convert", "-", runs)
        add("6e. PyPy: 1,000,000-int list through decode_py vs array.array('i', list)",
            f"{pc['boundary_seconds'] * 1000:.1f} ms vs {pc['array_seconds'] * 1000:.1f} ms")

    # 7. what each interpreter adds to a batch call.
    interpreter_rows(add, corpus, runs, tmp, not args.skip_pypy)
    cli_peak_mb = cli_rows(corpus, runs, add)
    dask_rows(corpus, runs, add)
    per_call_rows(corpus, runs, add, not args.skip_pypy)
    # 11. the tokenizer package; its encoding against the peer's (row 4a, on lines).
    tokenizer_rows(runs, add, not args.skip_pypy, theirs4["mb_per_s"] if theirs4 else None, cli_peak_mb)

    print_table(rows, runs, corpus_line)


def print_table(rows, runs, corpus_line):
    print(corpus_line)
    print()
    print(f"| benchmark (median of {runs}; rows 7 and 10: of {max(runs, 5)}) | figure | target |")
    print("|---|---|---|")
    for name, figure, target, _ in rows:
        print(f"| {name} | {figure} | {target} |")


if __name__ == "__main__":
    main()
