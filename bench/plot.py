"""Growth-rate plots: training and encoding time against input size, log-log,
for the fast engine, the literal engine and the tokenizers peer.

    /usr/bin/python3 bench/plot.py [--out docs]   (needs python3-matplotlib)

Inputs are prefixes of the Python standard library corpus. pairfuse learns
MERGES merges on each prefix (one sequence); the peer trains on the same
prefix file with its byte-level pre-tokenizer (and learns as many merges as
it decides) and encodes the prefix's lines with its first MERGES merges.
"""

import argparse
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run as bench  # noqa: E402

MERGES = 1000
SIZES = [62_500, 125_000, 250_000, 500_000, 1_000_000, 2_000_000, 4_000_000, 0]
LITERAL_LIMIT = 1_000_000


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", default=os.path.join(bench.ROOT, "docs"))
    parser.add_argument("--runs", type=int, default=1)
    args = parser.parse_args()
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    tmp = tempfile.mkdtemp(prefix="pairfuse-plot-")
    corpus = os.path.join(tmp, "corpus.bin")
    total = bench.write_corpus(corpus)
    series = {k: ([], []) for k in ("fit", "fit-literal", "peer-train", "encode", "encode-literal", "peer-encode")}
    for limit in SIZES:
        size = limit or total
        prefix = os.path.join(tmp, f"prefix-{size}.bin")
        with open(corpus, "rb") as src, open(prefix, "wb") as dst:
            dst.write(src.read(size))
        for mode in ("fit", "encode") + (("fit-literal", "encode-literal") if size <= LITERAL_LIMIT else ()):
            figures, _ = bench.run([bench.ENGINE_BENCH, mode, prefix, "0", str(MERGES), "--runs", str(args.runs)])
            series[mode][0].append(size)
            series[mode][1].append(figures["seconds"])
        trained = os.path.join(tmp, f"peer-{size}.json")
        peer_train, _ = bench.peer("train", prefix, trained)
        peer_encode, _ = bench.peer("encode", prefix, trained, str(MERGES))
        for key, figures in (("peer-train", peer_train), ("peer-encode", peer_encode)):
            series[key][0].append(size)
            series[key][1].append(figures["seconds"])
        print(f"{size:>10} bytes: " + ", ".join(f"{k} {v[1][-1]:.3f}s" for k, v in series.items() if v[0] and v[0][-1] == size),
              file=sys.stderr)

    os.makedirs(args.out, exist_ok=True)
    labels = {"fit": "pairfuse fit (fast)", "fit-literal": "pairfuse literal fit", "peer-train": "tokenizers train",
              "encode": "pairfuse encode (fast)", "encode-literal": "pairfuse literal encode",
              "peer-encode": "tokenizers encode (lines)"}
    for name, keys, title in (("training.png", ("fit", "fit-literal", "peer-train"), f"Training, {MERGES} merges"),
                              ("encoding.png", ("encode", "encode-literal", "peer-encode"),
                               f"Encoding with {MERGES} merges")):
        fig, ax = plt.subplots(figsize=(6.4, 4.4), dpi=110)
        for key, style in zip(keys, ("o-", "s--", "^:")):
            xs, ys = series[key]
            ax.plot(xs, ys, style, label=labels[key])
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("input size (bytes of Python stdlib sources)")
        ax.set_ylabel("seconds")
        ax.set_title(title)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
        fig.tight_layout()
        fig.savefig(os.path.join(args.out, name))
        print(os.path.join(args.out, name))


if __name__ == "__main__":
    main()
