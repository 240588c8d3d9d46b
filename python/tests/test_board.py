"""The package against the simulated board library: discovery, identity, zero-copy captures,
capture files, playback, conversion, errors, and the analysis command line.

The board tests run twice (conftest's ``board``): on the simulated board in this process and on
the same board served by ``vrx5200 --sim serve`` (vrx5200.Board(url)); the ones about files and
the command line use the local board only."""

import json
import math
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import vrx5200
from vrx5200.analysis import metrics

PACKAGE = Path(vrx5200.__file__).resolve().parent


def test_finds_the_simulated_board():
    assert vrx5200.find_boards(simulated=True) == ["SIM00001"]


@pytest.mark.parametrize("boards", ["20", "0", "two", "1.5"])
def test_a_number_of_simulated_boards_the_bench_would_not_honour_is_refused(monkeypatch, boards):
    monkeypatch.setenv("VRX5200_SIM_BOARDS", boards)
    with pytest.raises(ValueError, match="VRX5200_SIM_BOARDS"):
        vrx5200.find_boards(simulated=True)


def test_identity_and_registers(board):
    assert board.key == "SIM00001"
    assert board.family_id == 0x52
    assert board.firmware_version == 0x13
    board.write_register(5, 0x42)
    assert board.read_register(0x0E) == 0x13
    board.write_register(15, 255)
    assert board.read_register(15) == 255


@pytest.mark.parametrize("call", [lambda b: b.write_register(5, 300),
                                  lambda b: b.write_register(5, -1),
                                  lambda b: b.write_register(16, 0),
                                  lambda b: b.read_register(16),
                                  lambda b: b.read_register(-1)])
def test_registers_out_of_range_are_refused(board, call):
    board.write_register(5, 0x42)
    with pytest.raises(ValueError, match="out of range"):
        call(board)
    assert board.read_register(5) == 0x42


def test_capture_lands_in_the_callers_array(board):
    out = np.zeros(8192, dtype=np.uint16)
    samples = board.capture(4096, out=out)
    assert np.shares_memory(samples, out)
    assert samples.size == 4096
    assert np.any(out[:4096] != 0) and np.all(out[4096:] == 0)


def test_capture_gives_twos_complement_values_or_raw_codes(board):
    board.set_simulated_signal(cycles=1024, amplitude=25000.0, noise_rms=2.0)  # 64 periods
    board.set_simulated_capture_step(0)  # every capture the same
    try:
        values = board.capture(4096)
        codes = board.capture(4096, raw=True)
        offset = board.capture(4096, offset_binary=True)
    finally:
        board.set_simulated_capture_step(4099)
    # A sine of amplitude 25,000 around 0: signed values, not codes 1 to 65535.
    assert values.dtype == np.int16
    assert abs(values.min() + 25000) < 20 and abs(values.max() - 25000) < 20
    assert abs(values.mean()) < 1
    assert codes.dtype == np.uint16 and np.array_equal(codes.view(np.int16), values)
    assert offset.dtype == np.uint16 and np.array_equal(offset, codes)


def test_capture_matches_the_configured_signal(board):
    board.set_simulated_signal(cycles=997, amplitude=25000.0, noise_rms=4.0, seed=11)
    m = metrics(board.capture(65536))
    expected = 10 * math.log10(25000.0 ** 2 / 2 / (16 + 1 / 12))
    assert m.fundamental_bin == 997
    assert abs(m.snr_db - expected) < 0.3
    assert m.sfdr_dbc > 90


def test_capture_to_file_with_lanes_and_operations(board, tmp_path):
    board.set_simulated_signal(cycles=101, amplitude=1000.0, noise_rms=2.0)
    board.set_simulated_capture_step(0)  # every capture the same
    try:
        plain = board.capture(4096).copy()
        path = tmp_path / "swapped.bin"
        assert board.capture_to_file(str(path), 4096, lanes=(2, 1), ops=((2, 0x0FFF),)) == 4096
        swapped = vrx5200.load_capture(path, raw=True)
        assert np.array_equal(swapped, plain.view(np.uint16).reshape(-1, 2)[:, ::-1].ravel() & 0x0FFF)
    finally:
        board.set_simulated_capture_step(4099)


def test_capture_files_read_back(local_board, tmp_path):
    values = local_board.capture(4096).copy()
    codes = values.view(np.uint16)
    offset = codes ^ 0x8000  # the same signal from an offset-binary ADC
    values.tofile(tmp_path / "capture.bin")
    np.save(tmp_path / "signed.npy", values)
    np.save(tmp_path / "offset.npy", offset)  # '<u2': offset binary, as the tool saves it
    np.savetxt(tmp_path / "capture.csv", values, fmt="%d")
    np.savetxt(tmp_path / "offset.txt", offset, fmt="%d")  # as the tool's CSV writes it
    values.tofile(tmp_path / "capture.txt")  # capture -o capture.txt: raw, by its extension
    shutil.copy(tmp_path / "signed.npy", tmp_path / "signed.bin")  # .npy by its signature
    (tmp_path / "capture.dat").write_bytes((tmp_path / "capture.csv").read_bytes())
    # file, arguments: dtype, words, code format carried
    for name, kw, dtype, words, offset_binary in [
            ("capture.bin", {}, np.int16, codes, False),
            ("signed.npy", {}, np.int16, codes, False),
            ("signed.bin", {}, np.int16, codes, False),
            ("capture.csv", {}, np.int16, codes, False),
            ("capture.dat", {"format": "csv"}, np.int16, codes, False),
            ("capture.bin", {"raw": True}, np.uint16, codes, False),
            ("offset.npy", {}, np.uint16, offset, True),
            ("offset.npy", {"offset_binary": False}, np.int16, offset, False),  # told: it wins
            ("capture.txt", {}, np.int16, codes, False),
            ("offset.txt", {"offset_binary": True, "format": "csv"}, np.uint16, offset, True)]:
        loaded = vrx5200.load_capture(tmp_path / name, **kw)
        assert loaded.dtype == dtype and np.array_equal(loaded.view(np.uint16), words), name
        assert loaded.offset_binary is offset_binary, (name, kw)
    # The analysis reads a file's codes as the file says: both files are the same signal.
    m = metrics(vrx5200.load_capture(tmp_path / "offset.npy"))
    assert (m.snr_db, m.fundamental_dbfs) == (metrics(values).snr_db,
                                              metrics(values).fundamental_dbfs)


@pytest.mark.parametrize("name, content, kw", [
    ("odd.bin", b"\x01\x02\x03", {}),
    ("fraction.csv", b"1\n2.5\n", {}),
    ("wide.csv", b"1\n40000\n", {}),               # not two's complement 16-bit
    ("negative.csv", b"1\n-1\n", {"offset_binary": True}),
    ("columns.csv", b"1 2\n3 4\n", {}),
    ("words.npy", np.arange(64, dtype=np.int32), {}),
    ("rows.npy", np.zeros((2, 8192), dtype=np.int16), {}),  # not flattened
    ("short.npy", np.zeros(64, dtype=np.int16), {}),        # its header claims more
    ("capture.npy", b"\x01\x02" * 64, {}),          # raw words, not .npy
])
def test_capture_files_that_are_not_16_bit_samples_are_refused(tmp_path, name, content, kw):
    path = tmp_path / name
    if isinstance(content, np.ndarray):
        np.save(path, content)
        if name == "short.npy":
            path.write_bytes(path.read_bytes()[:-2])
    else:
        path.write_bytes(content)
    with pytest.raises(ValueError, match=re.escape(str(path))):
        vrx5200.load_capture(path, **kw)


def test_play_lands_in_the_boards_memory(board):
    pattern = (np.sin(np.arange(8192) * 2 * np.pi / 64) * 30000).astype(np.int16)
    board.play(pattern)
    assert np.array_equal(board.simulated_pattern(8192), pattern.view(np.uint16))


def test_play_takes_integers_that_fit(board):
    signed = [-32768, -1, 0, 1, 32767] + [100] * 59
    board.play(signed)  # a list
    assert np.array_equal(board.simulated_pattern(64), np.array(signed, np.int16).view(np.uint16))
    board.play(np.array(signed, dtype=np.int64))
    assert np.array_equal(board.simulated_pattern(64), np.array(signed, np.int16).view(np.uint16))
    codes = list(range(0, 65536, 1024))  # 64 raw codes, half of them above 32767
    board.play(codes, raw=True)
    assert list(board.simulated_pattern(64)) == codes
    board.play(np.array(codes[::-1], dtype=np.uint16))  # uint16 arrays are raw codes
    assert list(board.simulated_pattern(64)) == codes[::-1]


@pytest.mark.parametrize("pattern, raw", [
    (np.full(64, 1.0), None),                       # floats, even whole ones
    (np.full(64, 1.7), None),
    ([1.5] * 64, None),
    (np.ones(64, dtype=np.float16), None),          # 2 bytes, but not integers
    ([True] * 64, None),
    (np.full(64, 70000, dtype=np.int32), None),
    (np.full(64, 40000, dtype=np.int32), None),     # a raw code, not a signed value
    (np.full(64, 70000, dtype=np.int32), True),
    (np.full(64, -1, dtype=np.int32), True),
    (np.full(64, 40000, dtype=np.uint16), False),
])
def test_play_refuses_what_does_not_fit_and_sends_nothing(board, pattern, raw):
    board.play(np.full(64, 7, dtype=np.int16))
    with pytest.raises(ValueError, match="pattern"):
        board.play(pattern, raw=raw)
    assert np.all(board.simulated_pattern(64) == 7)


def test_errors_name_their_code(board):
    with pytest.raises(vrx5200.VRX5200Error) as error:
        board.capture(100)
    assert error.value.code == 18
    assert "multiple of 32" in str(error.value)
    with pytest.raises(vrx5200.VRX5200Error) as error:
        board.play(np.zeros(36, dtype=np.uint16))
    assert error.value.code == 4


def test_convert_samples(tmp_path):
    text = tmp_path / "samples.txt"
    text.write_text("100\n-100\n")
    assert vrx5200.convert_samples(str(text), str(tmp_path)) == 2
    assert (tmp_path / "DAC_test.bin").read_bytes() == bytes([0x64, 0x80, 0x9C, 0x7F])
    # Two columns: each line's first column, then its second, each low byte first.
    text.write_text("100,-200\n-100,3\n")
    assert vrx5200.convert_samples(str(text), str(tmp_path), columns=2) == 2
    assert (tmp_path / "DAC_test.bin").read_bytes() == bytes(
        [0x64, 0x80, 0x38, 0x7F, 0x9C, 0x7F, 0x03, 0x80])
    with pytest.raises(vrx5200.VRX5200Error) as error:
        vrx5200.convert_samples(str(tmp_path / "missing.txt"), str(tmp_path))
    assert error.value.code == -3


def analyze(*args, stdout=subprocess.PIPE, **env):
    env = dict(os.environ, PYTHONPATH=str(PACKAGE.parent), **env)
    return subprocess.run([sys.executable, "-m", "vrx5200.analyze", *map(str, args)],
                          stdout=stdout, stderr=subprocess.PIPE, text=True, env=env)


def test_analyze_command_line(local_board, tmp_path):
    local_board.set_simulated_signal(cycles=1021, amplitude=29000.0, noise_rms=3.0)
    capture = tmp_path / "capture.bin"
    local_board.capture(65536).tofile(capture)
    plot = tmp_path / "spectrum.png"
    result = analyze(capture, "--plot", plot)
    assert result.returncode == 0, result.stderr
    assert "SNR:" in result.stdout and "ENOB:" in result.stdout
    assert plot.stat().st_size > 10000
    bad = analyze(tmp_path / "none.bin")
    assert bad.returncode == 3 and "cannot read" in bad.stderr


def test_analyze_json(local_board, tmp_path):
    local_board.set_simulated_signal(cycles=1021, amplitude=29000.0, noise_rms=3.0)
    capture = tmp_path / "capture.npy"
    np.save(capture, local_board.capture(65536))
    result = analyze(capture, "--json", "--rate", "250M")
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    expected_snr = 10 * math.log10(29000.0 ** 2 / 2 / (9 + 1 / 12))
    assert abs(report["snr_db"] - expected_snr) < 0.3
    assert report["fundamental_bin"] == 1021
    # the fitted frequency moves with the noise the simulated board's stream has reached (by about
    # a millionth of a bin after other tests ran): 1e-5 of a bin still tells the bin's frequency
    bin_hz = 250e6 / 65536
    assert report["fundamental_hz"] == pytest.approx(1021 * bin_hz, abs=1e-5 * bin_hz)
    assert abs(report["fundamental_dbfs"] - 20 * math.log10(29000 / 32768)) < 0.05
    assert {"sinad_db", "sfdr_dbc", "thd_dbc", "enob_bits", "noise_floor_dbfs", "rate_hz",
            "samples", "harmonics"} <= set(report)
    assert report["harmonics"][0]["order"] == 2 and report["harmonics"][0]["bin"] == 2042
    assert json.loads(analyze(capture, "--json").stdout)["fundamental_hz"] is None


# Exit status as the tool's: 1 a record the analysis cannot measure, 2 the command line, 3 files.
@pytest.mark.parametrize("args, says, status", [
    (["zeros.bin"], "no tone", 1),
    (["capture.bin", "--bits", "0"], "--bits 0", 2),
    (["capture.bin", "--harmonics", "0"], "--harmonics 0", 2),
    (["capture.bin", "--rate", "fast"], "--rate", 2),
    (["capture.bin", "--plot", "missing/spectrum.png"], "cannot write the plot", 3),
    (["capture.bin", "--plot", "/dev/full"], "cannot write the plot /dev/full", 3),
    (["capture.bin", "--plot", "-"], "--plot -: the plot goes to a file", 2),
    (["capture.bin", "--plot", "spectrum.foo"], "no plot is written as '.foo'", 2),
    (["capture.bin", "--json", ">/dev/full"], "cannot write to standard output", 3),
    (["capture.bin", "--format", "npy"], "is not a .npy file", 3),
    (["folder.bin"], "cannot read", 3),
])
def test_analyze_errors_are_one_line(tmp_path, args, says, status):
    t = np.arange(4096)
    np.round(20000 * np.sin(2 * np.pi * 101 * t / 4096)).astype("<i2").tofile(tmp_path / "capture.bin")
    np.zeros(4096, dtype="<u2").tofile(tmp_path / "zeros.bin")
    (tmp_path / "folder.bin").mkdir()
    full = ">/dev/full" in args
    args = [str(tmp_path / a) if a.endswith((".bin", ".png")) and not a.startswith("/") else a
            for a in args if a != ">/dev/full"]
    with open("/dev/full" if full else os.devnull, "w") as out:
        result = analyze(*args, stdout=out if full else subprocess.PIPE)
    assert result.returncode == status
    assert result.stdout in ("", None)
    assert result.stderr.startswith("analyze: ") and result.stderr.count("\n") == 1
    assert says in result.stderr


def test_version_is_the_projects():
    cmake = (PACKAGE.parents[1] / "CMakeLists.txt").read_text()
    version = re.search(r"project\(vrx5200\s+VERSION\s+([0-9.]+)", cmake).group(1)
    assert vrx5200.__version__ == version


def test_library_lookup_order(tmp_path):
    """VRX5200_LIBRARY_DIR, then beside the package, then the system's search."""
    library = Path(vrx5200.load_library(simulated=True)._name).resolve()
    site = tmp_path / "site"
    shutil.copytree(PACKAGE, site / "vrx5200", ignore=shutil.ignore_patterns("__pycache__"))
    (site / "vrx5200" / library.name).symlink_to(library)
    named = tmp_path / "named"
    named.mkdir()
    (named / library.name).symlink_to(library)

    def loaded(**env):
        run_env = {k: v for k, v in os.environ.items() if k not in ("VRX5200_LIBRARY_DIR", "LD_LIBRARY_PATH")}
        run_env.update(env, PYTHONPATH=str(site))
        return subprocess.run(
            [sys.executable, "-c", "import vrx5200; print(vrx5200.load_library(simulated=True)._name)"],
            capture_output=True, text=True, env=run_env, cwd=tmp_path)

    assert loaded(VRX5200_LIBRARY_DIR=str(named)).stdout.strip() == str(named / library.name)
    assert loaded().stdout.strip() == str(site / "vrx5200" / library.name)
    (site / "vrx5200" / library.name).unlink()
    assert loaded(LD_LIBRARY_PATH=str(library.parent)).stdout.strip() == library.name
    missing = loaded()
    assert missing.returncode != 0 and "VRX5200_LIBRARY_DIR" in missing.stderr
    # The analysis command without its library: one line naming it and how to point at it.
    capture = tmp_path / "capture.bin"
    np.zeros(4096, dtype="<i2").tofile(capture)
    env = {k: v for k, v in os.environ.items()
           if k not in ("VRX5200_LIBRARY_DIR", "LD_LIBRARY_PATH")}
    result = subprocess.run([sys.executable, "-m", "vrx5200.analyze", str(capture)], cwd=tmp_path,
                            capture_output=True, text=True, env=dict(env, PYTHONPATH=str(site)))
    assert result.returncode == 1 and result.stderr.count("\n") == 1, result.stderr
    assert "libvrx5200analysis.so" in result.stderr and "VRX5200_LIBRARY_DIR" in result.stderr
