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
            with disk_full_after(8192), pytest.raises((OSError, ValueError, vrx5200.VRX5200Error)):
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
    if keep:  # the block read before the interruption, a .npy header counting it
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


FIGURES = ("fundamental_bin", "fundamental_dbfs", "snr_db", "sinad_db", "sfdr_dbc", "enob",
           "noise_floor_dbfs", "offset_binary")


def test_the_package_agrees_with_the_tool(tool, tmp_path):
    """The same file through `vrx5200 analyze --json`, `python -m vrx5200.analyze --json` and
    metrics(load_capture()); the tool's default noise pattern and two-column conversion."""
    values = tone()
    offset = values.view(np.uint16) ^ 0x8000
    files = {"offset.npy": lambda p: np.save(p, offset),       # '<u2': offset binary
             "twos.npy": lambda p: np.save(p, values),         # '<i2'
             "twos.bin": lambda p: values.astype("<i2").tofile(p),
             "raw_twos.npy": lambda p: np.save(p, values.view(np.uint16))}  # '<u2' too
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(vrx5200.__file__)))
    figures = {}
    for name, save in files.items():
        save(tmp_path / name)
        tool_run = subprocess.run([str(tool), "analyze", name, "--json"], cwd=tmp_path,
                                  capture_output=True, text=True)
        assert tool_run.returncode == 0, tool_run.stderr
        package_run = subprocess.run([sys.executable, "-m", "vrx5200.analyze", name, "--json"],
                                     cwd=tmp_path, capture_output=True, text=True, env=env)
        assert package_run.returncode == 0, package_run.stderr
        loaded = vrx5200.load_capture(tmp_path / name)
        from_api = dict(metrics(loaded).as_dict(), offset_binary=loaded.offset_binary)
        answers = [json.loads(tool_run.stdout), json.loads(package_run.stdout), from_api]
        for key in FIGURES:
            assert answers[0][key] == answers[1][key] == answers[2][key], (name, key)
        figures[name] = answers[0]
    # The same signal in either code format, and its raw codes read as offset binary (as the
    # tool reads a '<u2' file): nowhere near the tone.
    assert figures["offset.npy"]["snr_db"] == figures["twos.npy"]["snr_db"] > 70
    assert figures["raw_twos.npy"]["snr_db"] < 10

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
