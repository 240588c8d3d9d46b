"""Files the package writes are replaced only by complete ones, whatever stops the writing; and
the package agrees with the `vrx5200` tool on the same files (figures, patterns, conversions)."""

import json
import os
import resource
import signal
import subprocess
import sys
from contextlib import contextmanager

import numpy as np
import pytest

import vrx5200
from vrx5200.analysis import metrics, plot_spectrum
from vrx5200.core import generate_pattern

PREVIOUS = b"the user's previous file, to be kept byte for byte"
BLOCK = 65536  # samples per read-back call
N = 4 * BLOCK


@contextmanager
def disk_full_after(limit):
    """Every write past ``limit`` bytes of a file fails (EFBIG), as on a disk that fills."""
    saved = resource.getrlimit(resource.RLIMIT_FSIZE)
    handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, saved[1]))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, saved)
        signal.signal(signal.SIGXFSZ, handler)


class InterruptedLibrary:
    """The board library, with Ctrl-C arriving after the first block of a file read-back."""

    def __init__(self, lib):
        self._lib, self._calls = lib, 0

    def __getattr__(self, name):
        function = getattr(self._lib, name)
        if name != "VRX5200BrdCtrl_Read_DDR_to_File":
            return function

        def read_back(*args):
            self._calls += 1
            if self._calls == 2:
                raise KeyboardInterrupt
            return function(*args)
        return read_back


def tone():
    t = np.arange(8192)
    return np.round(20000 * np.sin(2 * np.pi * 101 * t / 8192)).astype(np.int16)


WRITERS = {
    "local capture": lambda board, path, **kw: board.capture_to_file(path, N, **kw),
    "plot": lambda board, path: plot_spectrum(tone(), path),
    "pattern": lambda board, path: generate_pattern("tone", BLOCK, cycles=31, path=path),
}


# writer, file name, what stops it (None: nothing), keep_partial
@pytest.mark.parametrize("writer, name, failure, keep", [
    ("local capture", "keep.bin", None, False),
    ("local capture", "keep.npy", None, False),
    ("local capture", "keep.csv", None, False),
    ("local capture", "keep.bin", "disk full", False),
    ("local capture", "keep.npy", "disk full", False),
    ("local capture", "keep.bin", "disk full", True),
    ("local capture", "keep.npy", "disk full", True),
    ("local capture", "keep.npy", "interrupt", False),
    ("local capture", "keep.bin", "interrupt", True),
    ("local capture", "keep.npy", "interrupt", True),
    ("plot", "keep.png", None, False),
    ("plot", "keep.png", "disk full", False),
    ("plot", "keep.svg", "disk full", False),
    ("pattern", "keep.bin", None, False),
    ("pattern", "keep.bin", "disk full", False),
])
def test_a_file_is_replaced_only_by_a_complete_one(local_board, tmp_path, writer, name, failure,
                                                   keep):
    target = tmp_path / name
    target.write_bytes(PREVIOUS)
    kw = {"keep_partial": True} if keep else {}
    if failure == "interrupt":
        local_board.lib = InterruptedLibrary(local_board.lib)
    try:
        if failure is None:
            WRITERS[writer](local_board, str(target), **kw)
        elif failure == "disk full":
            # Kept samples: the disk fills part-way through the second block.
            limit = 3 * BLOCK if keep else 8192
            with disk_full_after(limit), pytest.raises((OSError, ValueError, vrx5200.VRX5200Error)):
                WRITERS[writer](local_board, str(target), **kw)
        else:
            with pytest.raises(KeyboardInterrupt):
                WRITERS[writer](local_board, str(target), **kw)
    finally:
        local_board.lib = vrx5200.load_library(simulated=True)
    partial = tmp_path / name.replace(".", ".partial.")
    assert sorted(os.listdir(tmp_path)) == sorted([name] + ([partial.name] if keep else []))
    if failure is not None:
        assert target.read_bytes() == PREVIOUS
    else:
        assert target.read_bytes() != PREVIOUS
        if writer == "local capture":
            assert vrx5200.load_capture(target).size == N
    if keep:  # the block read whole before the failure, a .npy header counting it
        assert vrx5200.load_capture(partial).size == BLOCK
        if name.endswith(".npy"):
            assert np.load(partial).shape == (BLOCK,)


@pytest.mark.parametrize("device, fails", [("/dev/full", True), ("/dev/null", False)])
@pytest.mark.parametrize("writer", list(WRITERS))
def test_devices_are_written_in_place_with_their_errors(local_board, writer, device, fails):
    if fails:
        with pytest.raises((OSError, ValueError, vrx5200.VRX5200Error)):
            WRITERS[writer](local_board, device)
    else:
        WRITERS[writer](local_board, device)


def test_remote_capture_files_are_replaced_only_when_complete(served, tmp_path):
    target = tmp_path / "keep.npy"
    target.write_bytes(PREVIOUS)
    with vrx5200.Board(served.url, simulated=True) as board:
        with disk_full_after(8192), pytest.raises(OSError):
            board.capture_to_file(str(target), N)
        assert target.read_bytes() == PREVIOUS and os.listdir(tmp_path) == ["keep.npy"]
        with pytest.raises(OSError):
            board.capture_to_file("/dev/full", N)
        assert board.capture_to_file(str(target), N, offset_binary=True) == N
    assert np.load(target).dtype == np.dtype("<u2") and np.load(target).shape == (N,)


def _tone(n=65536, cycles=1021.0, amplitude=20000.0, noise=3.0, seed=1, harmonics=()):
    t = np.arange(n)
    x = amplitude * np.sin(2 * np.pi * cycles * t / n)
    for order, dbc in harmonics:
        x += amplitude * 10 ** (dbc / 20) * np.sin(2 * np.pi * order * cycles * t / n)
    return x + np.random.default_rng(seed).normal(0, noise, n)


def _words(x):
    return np.clip(np.round(x), -32768, 32767).astype(np.int16)


# name: (file name, what it holds, analyze's arguments, exit status, warning codes[, a check of
# the answer]). The tool
# (as a process), `python -m vrx5200.analyze` and, for one record, metrics(load_capture()) must
# agree on every figure, line and warning, and on the exit status.
AGREEMENT = {
    "coherent": ("c.npy", lambda: _words(_tone(harmonics=((2, -70), (3, -75)))),
                 ["--rate", "250M"], 0, []),
    "between bins": ("b.bin", lambda: _words(_tone(cycles=1021.37)), [], 0, []),
    "offset binary": ("o.npy", lambda: _words(_tone()).view(np.uint16) ^ 0x8000, [], 0, [],
                      lambda a: a["snr_db"] > 70),
    "raw codes of twos read as offset": ("r.npy", lambda: _words(_tone()).view(np.uint16), [],
                                         0, None, lambda a: not a["snr_db"] or a["snr_db"] < 10),
    "clipped": ("k.npy", lambda: _words(_tone(amplitude=40000.0)), [], 0, ["clipped"]),
    "clipped, strict": ("k.npy", lambda: _words(_tone(amplitude=40000.0)), ["--strict"], 4,
                        ["clipped"]),
    "no tone": ("z.npy", lambda: _words(_tone(amplitude=0.0)), [], 0, ["no_tone"]),
    "tone in the DC lobe": ("d.npy", lambda: _words(_tone(cycles=3)), [], 0,
                            ["tone_in_dc_lobe"]),
    "folding harmonics": ("f.npy", lambda: _words(_tone(cycles=16384, harmonics=((3, -60),))),
                          [], 0, ["harmonic_on_tone"]),
    "16-bit data as 12": ("w.npy", lambda: _words(_tone()), ["--bits", "12"], 0,
                          ["out_of_range"]),
    "doubles between bins": ("v.npy", lambda: _tone(cycles=1021.37), ["--bits", "20"], 0, []),
    "named tones and a band": ("c.npy", lambda: _words(_tone(harmonics=((2, -70),))),
                               ["--tone", "h2=2042bin:exclude", "--tone", "clk=5000bin",
                                "--band", "100bin:30000bin", "--method", "spectrum"], 0, []),
    "averaged": ("c.npy", lambda: _words(_tone()), ["--average", "4"], 0, []),
    "sine fit": ("b.bin", lambda: _words(_tone(cycles=1021.37)), ["--sine-fit"], 0, []),
    "two tones": ("t.npy", lambda: _words(_tone(amplitude=12000.0) +
                                          _tone(cycles=1503, amplitude=12000.0, seed=2)),
                  ["--two-tone"], 0, []),
    "ramp": ("ramp.bin", lambda: (np.arange(65536) % 4096 - 2048).astype(np.int16),
             ["--linearity", "--bits", "12"], 0, []),
    "2-D without a column": ("m.npy", lambda: np.stack([_words(_tone())] * 2, 1), [], 2, None),
    "2-D column 1": ("m.npy", lambda: np.stack([_words(_tone(amplitude=0.0)), _words(_tone())], 1),
                     ["--column", "1"], 0, []),
    "truncated": ("cut.npy", lambda: _words(_tone()), [], 3, None),
    # Formats by their suffix in any case; .txt is no CSV (a capture written to it is raw).
    "CSV in capitals": ("C.CSV", lambda: _words(_tone(cycles=1021.37)), [], 0, []),
    "npy in capitals": ("U.NPY", lambda: _words(_tone()), [], 0, []),
    "raw named .txt": ("r.txt", lambda: _words(_tone(cycles=1021.37)), [], 0, []),
    "pipe": ("-", lambda: _words(_tone(cycles=1021.37)), [], 0, []),
    "/dev/stdin": ("/dev/stdin", lambda: _words(_tone(cycles=1021.37)), [], 0, []),
    "NaN": ("nan.npy", lambda: np.full(4096, np.nan), [], 3, None),
    "one sample": ("one.bin", lambda: np.zeros(1, np.int16), [], 3, None),
    "empty": ("empty.bin", lambda: np.zeros(0, np.int16), [], 3, None),
    "constant": ("flat.bin", lambda: np.full(4096, 7, np.int16), [], 1, None),
    "bits 33": ("c.npy", lambda: _words(_tone()), ["--bits", "33"], 2, None),
    "bits 0": ("c.npy", lambda: _words(_tone()), ["--bits", "0"], 2, None),
    "rate 0": ("c.npy", lambda: _words(_tone()), ["--rate", "0"], 2, None),
    "rate nan": ("c.npy", lambda: _words(_tone()), ["--rate", "nan"], 2, None),
    "a directory": (".", None, [], 3, None),
}


@pytest.mark.parametrize("case", AGREEMENT)
def test_the_package_agrees_with_the_tool(tool, tmp_path, case):
    name, make, args, status, warnings, *check = AGREEMENT[case]
    piped = name in ("-", "/dev/stdin")
    path = tmp_path / ("piped.npy" if piped else name)
    if make is not None:
        data = make()
        if name.lower().endswith(".npy") or piped:
            with open(path, "wb") as f:  # as named (np.save would add ".npy" to U.NPY)
                np.save(f, data)
        elif name.lower().endswith(".csv"):
            np.savetxt(path, data, fmt="%d")
        else:
            data.tofile(path)
        if case == "truncated":
            path.write_bytes(path.read_bytes()[:-10])
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(vrx5200.__file__)))
    answers = []
    for command in ([str(tool), "analyze"], [sys.executable, "-m", "vrx5200.analyze"]):
        runs = []
        for form in ([], ["--json"]):
            with open(path if piped else os.devnull, "rb") as stdin:
                runs.append(subprocess.run(command + [name] + args + form, cwd=tmp_path,
                                           stdin=stdin, capture_output=True, text=True, env=env))
        answers.append(runs)
    (tool_text, tool_json), (package_text, package_json) = answers
    for run in (tool_text, tool_json, package_text, package_json):
        assert run.returncode == status, (case, run.args, run.stderr)
    if status not in (0, 4):
        for run in answers[0] + answers[1]:
            assert run.stdout == "" and run.stderr, (case, run.stderr)
        return
    # The same lines to the digit; the same warnings on standard error.
    assert tool_text.stdout == package_text.stdout, case
    assert tool_text.stderr.replace("vrx5200: ", "") == \
        package_text.stderr.replace("analyze: ", ""), case
    tool_answer, package_answer = json.loads(tool_json.stdout), json.loads(package_json.stdout)
    assert tool_answer == package_answer, case
    assert tool_json.stderr == package_json.stderr == ""
    if warnings is not None:
        assert [w["code"] for w in tool_answer["warnings"]] == warnings, case
    assert all(c(tool_answer) for c in check), case
    if "--sine-fit" in args or "--two-tone" in args or "--linearity" in args or \
            "--average" in args or piped:
        return
    # The API gives the same figures of the file as loaded.
    kwargs = {"bits": int(args[args.index("--bits") + 1])} if "--bits" in args else {}
    if "--rate" in args:
        kwargs["rate_hz"] = 250e6
    if data.ndim == 1 and data.dtype.itemsize == 2 and "--tone" not in args:
        from_api = metrics(vrx5200.load_capture(path), **kwargs).as_dict()
        assert dict(from_api, file=name) == tool_answer, case


def test_the_packages_patterns_and_conversions_are_the_tools(tool, tmp_path):
    # The default noise pattern, and the default lane map of two columns.
    assert subprocess.run([str(tool), "generate", "noise", "-n", "4096", "-o", "noise.bin"],
                          cwd=tmp_path, capture_output=True).returncode == 0
    assert generate_pattern("noise", 4096).words.astype("<u2").tobytes() == \
        (tmp_path / "noise.bin").read_bytes()
    (tmp_path / "iq.txt").write_text("100,-200\n-100,3\n7,32767\n")
    for folder in ("tool", "package"):
        (tmp_path / folder).mkdir()
    assert subprocess.run([str(tool), "convert", "iq.txt", "--columns", "2", "-d", "tool"],
                          cwd=tmp_path, capture_output=True).returncode == 0
    assert vrx5200.convert_samples(str(tmp_path / "iq.txt"), str(tmp_path / "package"),
                                   columns=2) == 3
    assert (tmp_path / "tool" / "DAC_test.bin").read_bytes() == \
        (tmp_path / "package" / "DAC_test.bin").read_bytes()
