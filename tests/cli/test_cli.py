import io
import json
import os
import pty
import re
import resource
import signal
import struct
import subprocess
import time

import pytest

SAMPLE = b"the cat sat on the mat.\nthe cat ate the rat.\n\n  a hat, a bat\tand a vat \n"


def write(tmp_path, name, data):
    path = tmp_path / name
    path.write_bytes(data if isinstance(data, bytes) else data.encode())
    return path


def ok(result):
    assert result.returncode == 0, result.stderr.decode()
    return result


def train_merges(run, tmp_path, data, vocab, *extra):
    write(tmp_path, "in.txt", data)
    ok(run("train", "--vocab-size", vocab, *extra, "in.txt", "-o", "m.json"))
    return json.loads((tmp_path / "m.json").read_text())


def npy_file(descr, shape, data=b"", version=1, header=None):
    """A .npy file written by hand, as numpy.save lays it out; `header` replaces the dict."""
    if header is None:
        header = f"{{'descr': {descr!r}, 'fortran_order': False, 'shape': {shape!r}, }}"
    length = "<H" if version == 1 else "<I"
    pad = -(8 + struct.calcsize(length) + len(header) + 1) % 64
    text = header.encode() + b" " * pad + b"\n"
    return b"\x93NUMPY" + bytes([version, 0]) + struct.pack(length, len(text)) + text + data


# --- round trips ---------------------------------------------------------


@pytest.mark.parametrize("split", ["none", "words", "lines"])
@pytest.mark.parametrize(
    "data",
    [
        SAMPLE,
        bytes(range(256)) * 3 + b"\x00\xff\x00\xff",
        b"x",
        b" \t\n \n\n",
        b"no trailing newline  ",
        b"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\n",
    ],
    ids=["text", "all-bytes", "one-byte", "whitespace", "no-newline", "repeats"],
)
def test_decode_of_encode_gives_back_the_bytes(run, tmp_path, data, split):
    write(tmp_path, "in.txt", data)
    ok(run("train", "--vocab-size", 300, "--split", split, "in.txt", "-o", "m.json"))
    ok(run("encode", "--merges", "m.json", "--split", split, "in.txt", "-o", "tokens.txt"))
    ok(run("decode", "--merges", "m.json", "--output-format", "bytes", "tokens.txt", "-o", "back.bin"))
    assert (tmp_path / "back.bin").read_bytes() == data


def test_several_files_are_one_input_in_order(run, tmp_path):
    write(tmp_path, "a.txt", b"hello hello ")
    write(tmp_path, "b.txt", b"world world\n")
    ok(run("train", "--vocab-size", 30, "a.txt", "b.txt", "-o", "m.json"))
    tokens = ok(run("encode", "--merges", "m.json", "a.txt", "b.txt")).stdout
    back = ok(run("decode", "--merges", "m.json", "--output-format", "bytes", "-", stdin=tokens)).stdout
    assert back == b"hello hello world world\n"


def test_ints_round_trip_keeps_negative_and_extreme_units(run, tmp_path):
    units = [-2147483648, 7, 7, -1, 7, 7, 2147483600, -1, 7, 7, 0]
    write(tmp_path, "u.txt", "\n".join(map(str, units[:5])) + "\n\t" + " ".join(map(str, units[5:])))
    ok(run("train", "--vocab-size", 8, "--input-format", "ints", "u.txt", "-o", "m.json"))
    tokens = ok(run("encode", "--merges", "m.json", "--input-format", "ints", "u.txt")).stdout
    assert len(tokens.split()) < len(units)
    back = ok(run("decode", "--merges", "m.json", "-", stdin=tokens)).stdout
    assert back == (" ".join(map(str, units)) + "\n").encode()


# --- what training learns ------------------------------------------------


@pytest.mark.parametrize(
    "text, vocab, expected",
    [
        ("1 2 1 2 3", 4, [[[1, 2], 4]]),
        ("5 5 5 5", 5, [[[5, 5], 6], [[6, 6], 7]]),  # stops early: no pairs left
        ("-5 -3 -5 -3", 3, [[[-5, -3], -2]]),
        ("+7", 2, []),
    ],
)
def test_merge_file_lists_merges_in_learning_order(run, tmp_path, text, vocab, expected):
    assert train_merges(run, tmp_path, text, vocab, "--input-format", "ints") == expected


# Each split trains on its own path (one sequence, counted pieces, and with
# -vv every piece): the cap must reach all three.
@pytest.mark.parametrize("extra", [["--split", "none"], ["--split", "words"], ["--split", "words", "-vv"]])
@pytest.mark.parametrize("cap, merges", [(1, 0), (2, 1), (4, 2), (8, 3)])
def test_max_token_length_caps_every_training_path(run, tmp_path, extra, cap, merges):
    expected = [[[5, 5], 6], [[6, 6], 7], [[7, 7], 8]][:merges]
    assert train_merges(run, tmp_path, "5 " * 8, 10, "--input-format", "ints", "--max-token-length", cap, *extra) == expected


@pytest.mark.parametrize(
    "data, split, expected",
    [
        # Whole input: pairs run across the newlines.
        (b"ab\nab\n", "none", [[[97, 98], 99], [[99, 10], 100], [[100, 100], 101]]),
        (b"ab\nab\n", "lines", [[[97, 98], 99], [[99, 10], 100]]),
        (b"ab ab", "none", [[[97, 98], 99], [[32, 99], 100], [[99, 100], 101]]),
        (b"ab ab", "words", [[[97, 98], 99], [[99, 32], 100]]),
    ],
)
def test_split_keeps_pairs_inside_pieces(run, tmp_path, data, split, expected):
    assert train_merges(run, tmp_path, data, 100, "--split", split) == expected


def test_merge_file_loads_into_the_python_merge_list_shape(run, tmp_path):
    train_merges(run, tmp_path, SAMPLE, 40)
    with open(tmp_path / "m.json") as f:
        merges = [((l, r), i) for (l, r), i in json.load(f)]
    assert merges and all(isinstance(i, int) for (_, i) in merges)


def test_encode_writes_ints_on_one_line(run, tmp_path):
    write(tmp_path, "m.json", "[[[97, 98], 300]]")
    write(tmp_path, "in.txt", b"abcab")
    assert ok(run("encode", "--merges", "m.json", "in.txt")).stdout == b"300 99 300\n"
    write(tmp_path, "empty.txt", b"")
    write(tmp_path, "empty.npy", npy_file("<i4", (0,)))
    assert ok(run("encode", "--merges", "m.json", "empty.txt", "empty.npy")).stdout == b""


@pytest.mark.parametrize(
    "split, expected",
    [
        ("none", b"97 98 300 301 98 10 97 98\n"),
        ("words", b"97 98 32 97 98 97 98 10 97 98\n"),
        ("lines", b"97 98 300 98 97 98 10 97 98\n"),  # "ab ab" ends its file: no pair with the next
    ],
)
def test_encode_merges_only_inside_pieces(run, tmp_path, split, expected):
    write(tmp_path, "m.json", "[[[32, 97], 300], [[98, 97], 301]]")
    write(tmp_path, "a.txt", b"ab ab")
    write(tmp_path, "b.txt", b"ab\nab")
    assert ok(run("encode", "--merges", "m.json", "--split", split, "a.txt", "b.txt")).stdout == expected


# --- binary arrays -------------------------------------------------------

# Whitespace units for the splits and units at the edges of the 32-bit range;
# each binary type holds those within its own range.
BINARY_UNITS = [5, 5, 7, 32, -2**31, 5, 5, 7, 10, 2**31 - 100, 5, 5, 32, 32, 200, 7, 5, 5, 9, 10, -3, 5, 5, 7, 300, 5]


BINARY_FORMS = [
    ("u.i32", "<i4", None, ["--input-format", "i32"], "none"),
    ("-", "<i4", None, ["--input-format", "i32"], "words"),
    ("u.i32", "<i4", None, ["--input-format", "i32"], "lines"),
    ("u.npy", "<i4", (1, 0), [], "none"),  # named .npy: no option needed
    ("u.bin", ">i4", (2, 0), ["--input-format", "npy"], "words"),
    ("-", ">i8", (3, 0), ["--input-format", "npy"], "lines"),
    ("u.npy", "<u8", (1, 0), [], "words"),
    ("u.npy", ">u4", (1, 0), [], "none"),
    ("u.npy", "<i2", (1, 0), [], "lines"),
    ("u.npy", ">u2", (1, 0), [], "words"),
    ("u.npy", "|i1", (1, 0), [], "words"),
    ("u.npy", "|u1", (1, 0), [], "lines"),
]


@pytest.mark.parametrize("name, dtype, version, flags, split", BINARY_FORMS,
                         ids=[f"{name}-{dtype}-{split}" for name, dtype, _, _, split in BINARY_FORMS])
def test_binary_arrays_read_as_the_same_ints(run, tmp_path, name, dtype, version, flags, split):
    np = pytest.importorskip("numpy")
    info = np.iinfo(dtype)
    units = [u for u in BINARY_UNITS if info.min <= u <= info.max]

    def read_as_binary(values, *args):
        array = np.array(values, dtype=dtype)
        if version is None:
            data = array.tobytes()
        else:
            buffer = io.BytesIO()
            np.lib.format.write_array(buffer, array, version=version)
            data = buffer.getvalue()
        if name != "-":
            write(tmp_path, name, data)
        return ok(run(*args, *flags, name, stdin=data)).stdout

    vocab = len(set(units)) + 8
    write(tmp_path, "u.txt", " ".join(map(str, units)))
    ok(run("train", "--vocab-size", vocab, "--split", split, "--input-format", "ints", "u.txt", "-o", "m.json"))
    tokens = ok(run("encode", "--merges", "m.json", "--split", split, "--input-format", "ints", "u.txt")).stdout
    assert len(tokens.split()) < len(units)

    merges = read_as_binary(units, "train", "--vocab-size", vocab, "--split", split)
    assert merges == (tmp_path / "m.json").read_bytes()
    assert read_as_binary(units, "encode", "--merges", "m.json", "--split", split) == tokens
    back = read_as_binary([int(t) for t in tokens.split()], "decode", "--merges", "m.json")
    assert back == (" ".join(map(str, units)) + "\n").encode()


# Bytes files become units beside the arrays: the pieces are counted as units.
@pytest.mark.parametrize("split", ["none", "words"])
def test_npy_files_mix_with_files_of_the_default_format(run, tmp_path, split):
    write(tmp_path, "a.txt", b"ab ab ")
    write(tmp_path, "b.npy", npy_file("<i8", (6,), struct.pack("<6q", 97, 98, 32, 300, 97, 98)))
    write(tmp_path, "a.ints", "97 98 32 97 98 32")
    write(tmp_path, "b.ints", "97 98 32 300 97 98")
    mixed = ok(run("train", "--vocab-size", 310, "--split", split, "a.txt", "b.npy")).stdout
    ints = ok(run("train", "--vocab-size", 310, "--split", split, "--input-format", "ints", "a.ints", "b.ints")).stdout
    assert mixed == ints


# --- failures ------------------------------------------------------------

MERGES = "[[[97, 98], 300]]"


@pytest.mark.parametrize(
    "files, args, message",
    [
        ({}, ["train", "--vocab-size", 9, "nope.txt"], "cannot open 'nope.txt': No such file or directory"),
        ({"d/x": ""}, ["train", "--vocab-size", 9, "d"], "cannot read 'd': Is a directory"),
        ({"e.txt": ""}, ["train", "--vocab-size", 9, "e.txt"], "nothing to train on"),
        ({"i.txt": "1 2\n3 x4 5"}, ["train", "--vocab-size", 9, "--input-format", "ints", "i.txt"],
         "i.txt:2: 'x4' is not an integer"),
        ({"i.txt": "1 2.5"}, ["train", "--vocab-size", 9, "--input-format", "ints", "i.txt"],
         "i.txt:1: '2.5' is not an integer"),
        ({"i.txt": "2147483648"}, ["train", "--vocab-size", 9, "--input-format", "ints", "i.txt"],
         "i.txt:1: 2147483648 is outside the 32-bit range"),
        ({"i.txt": "\n-2147483649"}, ["train", "--vocab-size", 9, "--input-format", "ints", "i.txt"],
         "i.txt:2: -2147483649 is outside the 32-bit range"),
        ({"a.txt": "abcd"}, ["train", "--vocab-size", 3, "a.txt"],
         "Target vocab size (3) must be greater than the initial vocab size (4)."),
        ({"m.json": "[[[1, 2], 3], [[3, 4], 1]]", "t.txt": "1"}, ["decode", "--merges", "m.json", "t.txt"],
         "m.json: Merge table has a cycle: token 1 expands into itself."),
        ({"m.json": MERGES, "t.txt": "300 256"},
         ["decode", "--merges", "m.json", "--output-format", "bytes", "t.txt"],
         "unit 256 at position 2 does not fit in a byte"),
        ({"a.txt": "ab"}, ["encode", "--merges", "missing.json", "a.txt"], "cannot open 'missing.json'"),
        ({"a.txt": "ab"}, ["train", "--vocab-size", 9, "a.txt", "-o", "no/such/dir/m.json"],
         "cannot write 'no/such/dir/m.json': No such file or directory"),
    ],
)
def test_bad_input_is_one_error_line_and_status_1(run, tmp_path, files, args, message):
    for name, content in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        write(tmp_path, name, content)
    assert_one_error_line(run(*args), message)


def assert_one_error_line(result, message):
    assert result.returncode == 1
    [line] = result.stderr.decode().splitlines()  # the engine's own errors too: no second report
    assert line.startswith("pairfuse: error: ")
    assert message in line
    assert result.stdout == b""


BAD_BINARY = [
    ("odd.i32", bytes(7), "odd.i32: 7 bytes is not a whole number of 4-byte units"),
    ("t.npy", b"1 2 3\n", "t.npy: not a .npy file"),
    ("v.npy", npy_file("<i4", (0,), version=4), "v.npy: .npy format version 4.0 is not one this reads"),
    ("h.npy", npy_file("<i4", (1,), bytes(4))[:30], "h.npy: truncated .npy file: it ends in its header"),
    ("k.npy", npy_file(None, None, header="{'descr': '<i4', 'shape': (1,)}"),
     "k.npy: malformed .npy header: it needs the keys"),
    ("q.npy", npy_file(None, None, header="{'descr': '<i4', 'fortran_order': False, 'shape': (1,)"),
     "q.npy: malformed .npy header: expected '}'"),
    ("f.npy", npy_file("<f8", (1,), bytes(8)), "f.npy: .npy dtype '<f8' is not an integer type"),
    ("s.npy", npy_file([("a", "<i4")], (1,), bytes(4)), "s.npy: .npy dtype is structured"),
    ("m.npy", npy_file("<i4", (2, 2), bytes(16)), "m.npy: .npy array of shape (2, 2) is not one-dimensional"),
    ("d.npy", npy_file("<i4", (3,), bytes(8)), "d.npy: truncated .npy file: 3 elements of 4 bytes"),
    ("x.npy", npy_file("<i4", (1,), bytes(8)), "x.npy: 4 bytes after the .npy array's data"),
    ("u.npy", npy_file("<u4", (2,), struct.pack("<2I", 7, 2**31)),
     "u.npy: element 1 (2147483648) is outside the 32-bit range"),
    ("n.npy", npy_file(">i8", (1,), struct.pack(">q", -2**31 - 1)),
     "n.npy: element 0 (-2147483649) is outside the 32-bit range"),
]


@pytest.mark.parametrize("name, data, message", BAD_BINARY, ids=[name for name, _, _ in BAD_BINARY])
def test_malformed_binary_input_is_one_error_line_and_status_1(run, tmp_path, name, data, message):
    write(tmp_path, name, data)
    flags = ["--input-format", "i32"] if name.endswith(".i32") else []
    assert_one_error_line(run("train", "--vocab-size", 9, *flags, name), message)


@pytest.mark.parametrize(
    "text, where, what",
    [
        ("", "1:1", "expected '[' opening the list of merges, found the end of the file"),
        ("{}", "1:1", "found '{'"),
        ("[[[1, 2], 3]", "1:13", "expected ',' or ']' after a merge"),
        ("[\n  [[1, 2, 3], 4]\n]", "2:9", "expected ']' closing a pair"),
        ("[[1, 2], 3]", "1:3", "expected '[' opening the pair"),
        ("[[[1, 2], 3.5]]", "1:11", "not a fraction or exponent"),
        ("[[[1, 2], 1e3]]", "1:11", "not a fraction or exponent"),
        ("[[[1, 2], \"3\"]]", "1:11", "expected an integer, found '\"'"),
        ("[[[1, 2], 2147483648]]", "1:11", "2147483648 is outside the 32-bit range"),
        ("[[[01, 2], 3]]", "1:4", "leading zeros"),
        ("[] []", "1:4", "expected the end of the file"),
        ("[[[1, 2], 3],]", "1:14", "expected '[' opening a merge"),
    ],
)
def test_malformed_merge_file_names_line_and_column(run, tmp_path, text, where, what):
    write(tmp_path, "m.json", text)
    write(tmp_path, "a.txt", "ab")
    result = run("encode", "--merges", "m.json", "a.txt")
    assert result.returncode == 1
    message = result.stderr.decode()
    assert message.startswith(f"pairfuse: error: m.json:{where}: malformed merge file: ")
    assert what in message


def test_merge_file_accepts_any_json_spacing_and_repeated_pairs(run, tmp_path):
    # A repeated pair keeps its last id, as in the Python merge list.
    write(tmp_path, "m.json", '\r\n[ [ [97,98] ,\t5000 ] , [[97, 98], 300],[[300,99],-7]]  \n')
    write(tmp_path, "a.txt", "abcab")
    assert ok(run("encode", "--merges", "m.json", "a.txt")).stdout == b"-7 300\n"


@pytest.mark.parametrize(
    "args, message",
    [
        ([], "missing command"),
        (["fit", "a.txt"], "unknown command 'fit'"),
        (["train", "a.txt"], "--vocab-size is required"),
        (["train", "--vocab-size", "-3", "a.txt"], "'-3' is not a whole number"),
        (["train", "--vocab-size=12x", "a.txt"], "'12x' is not a whole number"),
        (["train", "--vocab-size", "9", "--max-token-length", "0", "a.txt"], "--max-token-length: must be at least 1"),
        (["encode", "--merges", "m.json", "--max-token-length", "3", "a.txt"], "'encode' does not take --max-token-length"),
        (["train", "--vocab-size", "9"], "no input files"),
        (["train", "--vocab-size", "9", "--merges", "m.json", "a.txt"], "'train' does not take --merges"),
        (["decode", "--merges", "m.json", "--split", "words", "a.txt"], "'decode' does not take --split"),
        (["encode", "--merges", "m.json", "--input-format", "utf8", "a.txt"], "'utf8' is not a format"),
        (["decode", "--merges", "m.json", "--output-format", "npy", "t.txt"], "'npy' is not an output format"),
        (["encode", "--merges"], "--merges needs a value"),
        (["train", "--vocab-size", "9", "-q", "-v", "a.txt"], "exclude each other"),
        (["train", "--vocab-size", "9", "--colour", "a.txt"], "unknown option '--colour'"),
    ],
)
def test_bad_command_line_is_status_2(run, args, message):
    result = run(*args)
    assert result.returncode == 2
    assert message in result.stderr.decode()
    assert "--help' for more information" in result.stderr.decode()


@pytest.mark.parametrize("existing", [None, b"old merges\n"])
@pytest.mark.parametrize(
    "args",
    [
        ["train", "--vocab-size", 2, "in.txt"],  # vocabulary too small
        ["train", "--vocab-size", 99, "--input-format", "ints", "in.txt"],  # not integers
        ["decode", "--merges", "cycle.json", "in.txt"],
        ["encode", "--merges", "missing.json", "in.txt"],
    ],
)
def test_failed_command_leaves_output_untouched(run, tmp_path, args, existing):
    write(tmp_path, "in.txt", "1 2 x")
    write(tmp_path, "cycle.json", "[[[1, 2], 3], [[3, 4], 1]]")
    out = tmp_path / "out.txt"
    if existing is not None:
        out.write_bytes(existing)
    before = sorted(os.listdir(tmp_path))
    assert run(*args, "-o", "out.txt").returncode == 1
    assert sorted(os.listdir(tmp_path)) == before  # no temporary file left either
    assert (out.read_bytes() if out.exists() else None) == existing


@pytest.mark.parametrize(
    "args, output, what",
    [
        (["encode", "--merges", "m.json", "notes.txt"], "notes.txt", "the input file 'notes.txt'"),
        (["encode", "--merges", "m.json", "other.txt", "notes.txt"], "./notes.txt", "the input file 'notes.txt'"),
        (["train", "--vocab-size", 300, "notes.txt"], "link.txt", "the input file 'notes.txt'"),  # a hard link
        (["decode", "--merges", "m.json", "-", "tokens.txt"], "tokens.txt", "the input file 'tokens.txt'"),
        (["encode", "--merges", "m.json", "notes.txt"], "m.json", "the merge file 'm.json'"),
    ],
)
def test_output_over_an_input_is_refused(run, tmp_path, args, output, what):
    files = {"m.json": MERGES.encode(), "notes.txt": b"abab\n", "other.txt": b"ab", "tokens.txt": b"300\n"}
    for name, content in files.items():
        write(tmp_path, name, content)
    os.link(tmp_path / "notes.txt", tmp_path / "link.txt")
    result = run(*args, "-o", output)
    assert result.returncode == 2
    assert f"pairfuse: error: --output '{output}' is {what}" in result.stderr.decode()
    assert {name: (tmp_path / name).read_bytes() for name in files} == files
    assert sorted(os.listdir(tmp_path)) == sorted([*files, "link.txt"])


def _default_disposition(signal_number):
    """For preexec_fn: the child starts with `signal_number` unblocked and handled by default,
    whatever the test run inherited. A background job or nohup starts with SIGINT or SIGHUP
    ignored, and the program leaves a signal alone when it starts ignored."""

    def restore():
        signal.signal(signal_number, signal.SIG_DFL)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, [signal_number])

    return restore


def _catches(pid, signal_number):
    """Whether process `pid` has a handler installed for `signal_number`."""
    with open(f"/proc/{pid}/status") as f:
        caught = next(int(line.split()[1], 16) for line in f if line.startswith("SigCgt:"))
    return bool(caught >> (signal_number - 1) & 1)


@pytest.mark.parametrize("signal_number", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_interrupted_run_leaves_no_file(cli_path, tmp_path, signal_number):
    # Standard input held open keeps the program waiting with its temporary file created.
    proc = subprocess.Popen([cli_path, "train", "--vocab-size", "9", "-", "-o", "m.json"], cwd=tmp_path,
                            stdin=subprocess.PIPE, stderr=subprocess.PIPE,
                            preexec_fn=_default_disposition(signal_number))
    # The program installs its handler just after creating the file: a signal
    # sent in between would end it before it can clean up.
    deadline = time.monotonic() + 60
    while not (os.listdir(tmp_path) and _catches(proc.pid, signal_number)) and time.monotonic() < deadline:
        time.sleep(0.01)
    assert os.listdir(tmp_path), "no temporary file appeared"
    assert _catches(proc.pid, signal_number), "the program installed no handler for the signal"
    proc.send_signal(signal_number)
    assert proc.wait(timeout=60) == -signal_number
    proc.stdin.close()
    proc.stderr.close()
    assert os.listdir(tmp_path) == []


def test_output_file_replaces_existing_content(run, tmp_path):
    write(tmp_path, "in.txt", "1 2 1 2 3")
    write(tmp_path, "m.json", "stale content that is much longer than the new file\n" * 50)
    ok(run("train", "--vocab-size", 4, "--input-format", "ints", "in.txt", "-o", "m.json"))
    assert json.loads((tmp_path / "m.json").read_text()) == [[[1, 2], 4]]


def _limit_address_space():
    resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))


def test_running_out_of_memory_is_reported(run, tmp_path):
    # Token 41 stands for 2**40 units: far more than the limit allows.
    chain = [[[k, k], k + 1] for k in range(1, 41)]
    write(tmp_path, "m.json", json.dumps(chain))
    write(tmp_path, "t.txt", "41")
    result = run("decode", "--merges", "m.json", "t.txt", "-o", "out.txt", preexec_fn=_limit_address_space)
    assert result.returncode == 1
    assert result.stderr.decode().endswith("pairfuse: error: out of memory\n")
    assert not (tmp_path / "out.txt").exists()


# --- progress ------------------------------------------------------------


def test_progress_is_silent_without_a_terminal(run, tmp_path):
    write(tmp_path, "in.txt", SAMPLE)
    result = ok(run("train", "--vocab-size", 60, "in.txt", "-o", "m.json"))
    assert result.stderr == b""


@pytest.mark.parametrize(
    "flags, split, expected",
    [
        (["--verbose"], "none", [
            "INFO pairfuse::core: Performing 4 merges.",
            "INFO pairfuse::core: Merge 1/4: (5, 5) -> 6",
            "INFO pairfuse::core: Merge 2/4: (6, 6) -> 7",
            "INFO pairfuse::core: No pairs to merge.",
        ]),
        (["-v", "-v"], "none", [
            "INFO pairfuse::core: Performing 4 merges.",
            "DEBUG pairfuse::core: Initial units: [5, 5, 5, 5]",
            "INFO pairfuse::core: Merge 1/4: (5, 5) -> 6",
            "DEBUG pairfuse::core: Units: [6, 6]",
            "INFO pairfuse::core: Merge 2/4: (6, 6) -> 7",
            "DEBUG pairfuse::core: Units: [7]",
            "INFO pairfuse::core: No pairs to merge.",
        ]),
        (["-v"], "words", [
            "INFO pairfuse::concurrent: Performing 4 merges.",
            "INFO pairfuse::concurrent: Merge 1/4: (5, 5) -> 6",
            "INFO pairfuse::concurrent: Merge 2/4: (6, 6) -> 7",
            "INFO pairfuse::concurrent: No pairs to merge.",
        ]),
        (["--quiet"], "none", []),
    ],
)
def test_verbose_prints_the_training_records(run, tmp_path, flags, split, expected):
    write(tmp_path, "in.txt", "5 5 5 5")
    result = ok(run("train", "--vocab-size", 5, "--input-format", "ints", "--split", split, *flags, "in.txt"))
    assert result.stderr.decode().splitlines() == expected


def run_on_terminal(cli_path, cwd, *args):
    """Runs with standard error on a pseudo-terminal; returns (status, what the terminal got)."""
    master, slave = pty.openpty()
    proc = subprocess.Popen([cli_path, *map(str, args)], cwd=cwd, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=slave)
    os.close(slave)
    screen = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # EIO once the program has closed its end
            break
        if not chunk:
            break
        screen += chunk
    os.close(master)
    return proc.wait(timeout=120), screen.decode()


@pytest.mark.parametrize(
    "vocab, final",
    [
        (40, "Trained  ["),
        (100000, "(no pairs left; 99982 planned)"),
    ],
)
def test_terminal_shows_a_progress_bar(cli_path, tmp_path, vocab, final):
    write(tmp_path, "in.txt", SAMPLE)  # 18 distinct bytes
    status, screen = run_on_terminal(cli_path, tmp_path, "train", "--vocab-size", vocab, "in.txt", "-o", "m.json")
    assert status == 0
    merges = len(json.loads((tmp_path / "m.json").read_text()))
    frames = screen.replace("\r\n", "\n").split("\r")
    assert frames[1].startswith("Training [")  # first frame: nothing merged yet
    last = frames[-1].rstrip("\n").replace("\x1b[K", "")
    assert last.startswith("Trained  [") and f"] {merges} merges in " in last
    assert final in last
    assert screen.endswith("\n")


def test_progress_bar_counts_every_piece_not_only_distinct_ones(cli_path, tmp_path):
    # Most merges the input allows: its units less its pieces, repeats included.
    data = b"ab ab ab\nab "
    write(tmp_path, "a.txt", data)
    write(tmp_path, "b.txt", data)
    status, screen = run_on_terminal(cli_path, tmp_path, "train", "--vocab-size", 1000, "--split", "words",
                                     "a.txt", "b.txt", "-o", "m.json")
    assert status == 0
    bound = 2 * (len(data) - len(pieces_of(list(data), "words")))
    assert f" 0/{bound} merges" in screen.split("\r")[1]


def test_terminal_error_goes_below_the_bar(cli_path, tmp_path):
    write(tmp_path, "in.txt", SAMPLE)
    status, screen = run_on_terminal(cli_path, tmp_path, "train", "--vocab-size", 5, "in.txt")
    assert status == 1
    assert screen.replace("\r\n", "\n").splitlines()[-1].startswith("pairfuse: error: Target vocab size (5)")


def test_quiet_terminal_shows_nothing(cli_path, tmp_path):
    write(tmp_path, "in.txt", SAMPLE)
    status, screen = run_on_terminal(cli_path, tmp_path, "train", "-q", "--vocab-size", 40, "in.txt", "-o", "m.json")
    assert (status, screen) == (0, "")


# --- agreement with the Python module --------------------------------------


SPACE_UNITS = frozenset([9, 10, 11, 12, 13, 32])


def pieces_of(units, split):
    """The pieces the program cuts from one file's units (tools/cli/README.md)."""
    pieces, start = [], 0
    for i, unit in enumerate(units):
        if split == "lines":
            ends = unit == 10
        else:
            ends = unit in SPACE_UNITS and (i + 1 == len(units) or units[i + 1] not in SPACE_UNITS)
        if ends:
            pieces.append(units[start:i + 1])
            start = i + 1
    if start < len(units):
        pieces.append(units[start:])
    return pieces


# Pieces repeat within and across files, and a file ending inside a word
# must not run into the next file's first piece.
@pytest.mark.parametrize(
    "files, split, extra",
    [
        ([b"the cat the", b"the cat sat\n\tthe "], "words", []),
        ([b"  ab ab", b"ab ab\r\n", b"", b"ab"], "words", []),
        ([b"ab\nab\ncd", b"ab\n\nab\ncd"], "lines", []),
        ([b"the cat the", b"the cat"], "words", ["-v", "-v"]),  # trains on the pieces themselves
        (["1 2 3 32 1 2", "1 2 3 32 1 2 9 -7\n1 2"], "words", ["--input-format", "ints"]),
        (["5 6 10 5 6 10 5", "6 10 5 6 10 -1 10"], "lines", ["--input-format", "ints"]),
    ],
)
def test_training_on_pieces_of_several_files_agrees_with_the_module(run, tmp_path, module, files, split, extra):
    names, pieces = [], []
    for k, data in enumerate(files):
        names.append(write(tmp_path, f"{k}.txt", data).name)
        units = list(data) if isinstance(data, bytes) else [int(t) for t in data.split()]
        pieces += pieces_of(units, split)
    vocab = len({u for piece in pieces for u in piece}) + 12
    ok(run("train", "--vocab-size", vocab, "--split", split, *extra, *names, "-o", "m.json"))
    merges = [((l, r), i) for (l, r), i in json.loads((tmp_path / "m.json").read_text())]
    assert merges == module.fit_concurrent_py(pieces, vocab)[1]


# A file of several MiB is counted in chunks on the worker pool. Each piece's
# smallest pair is its second one, which the middle of the 9 MB file cuts
# through: a chunk cut inside a piece would lose that pair once, and the
# pieces' next pair would be merged first.
@pytest.mark.parametrize("split", ["words", "lines"])
def test_file_counted_in_chunks_learns_what_its_pieces_teach(run, tmp_path, split):
    piece = b"b\x01\x02 \n"
    learned = []
    for copies in (3, 1_800_001):
        write(tmp_path, "in.txt", piece * copies)
        ok(run("train", "--vocab-size", 20, "--split", split, "in.txt", "-o", "m.json"))
        learned.append(json.loads((tmp_path / "m.json").read_text()))
    assert learned[1] == learned[0]
    assert learned[0][0] == [[1, 2], 99]


@pytest.mark.parametrize("split", ["none", "words"])
def test_training_and_encoding_agree_with_the_module(run, tmp_path, module, split):
    merges_list = train_merges(run, tmp_path, SAMPLE, 60, "--split", split)
    merges = [((l, r), i) for (l, r), i in merges_list]
    if split == "none":
        assert merges == module.fit_py(list(SAMPLE), 60)[1]
        tokens = ok(run("encode", "--merges", "m.json", "in.txt")).stdout.split()
        assert [int(t) for t in tokens] == module.encode_py(list(SAMPLE), merges)
    else:
        # Same pieces as the program cuts: each word with the whitespace after it.
        words = [list(w) for w in re.findall(rb"\s+|\S+\s*", SAMPLE)]
        assert merges == module.fit_concurrent_py(words, 60)[1]

