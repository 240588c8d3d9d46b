"""The package against the simulated board library: discovery, identity, zero-copy captures,
capture files, playback, conversion, errors, and the analysis command line."""

import math
import os
import subprocess
import sys

import numpy as np
import pytest

import vrx5200
from vrx5200.analysis import metrics


@pytest.fixture
def board():
    with vrx5200.Board(simulated=True) as b:
        yield b


def test_finds_the_simulated_board():
    assert vrx5200.find_boards(simulated=True) == ["SIM00001"]


def test_identity_and_registers(board):
    assert board.key == "SIM00001"
    assert board.family_id == 0x52
    assert board.firmware_version == 0x13
    board.write_register(5, 0x42)
    assert board.read_register(0x0E) == 0x13


def test_capture_lands_in_the_callers_array(board):
    out = np.zeros(8192, dtype=np.uint16)
    samples = board.capture(4096, out=out)
    assert np.shares_memory(samples, out)
    assert samples.size == 4096
    assert np.any(out[:4096] != 0) and np.all(out[4096:] == 0)


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
        swapped = np.fromfile(path, dtype="<u2")
        assert np.array_equal(swapped, plain.reshape(-1, 2)[:, ::-1].ravel() & 0x0FFF)
    finally:
        board.set_simulated_capture_step(4099)


def test_play_lands_in_the_boards_memory(board):
    pattern = (np.sin(np.arange(8192) * 2 * np.pi / 64) * 30000).astype(np.int16)
    board.play(pattern)
    assert np.array_equal(board.simulated_pattern(8192), pattern.view(np.uint16))


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
    with pytest.raises(vrx5200.VRX5200Error) as error:
        vrx5200.convert_samples(str(tmp_path / "missing.txt"), str(tmp_path))
    assert error.value.code == -3


def test_analyze_command_line(board, tmp_path):
    board.set_simulated_signal(cycles=1021, amplitude=29000.0, noise_rms=3.0)
    capture = tmp_path / "capture.bin"
    board.capture(65536).tofile(capture)
    plot = tmp_path / "spectrum.png"
    env = dict(os.environ, PYTHONPATH=os.path.join(os.path.dirname(__file__), ".."))
    result = subprocess.run([sys.executable, "-m", "vrx5200.analyze", str(capture), "--plot", str(plot)],
                            capture_output=True, text=True, env=env, check=True)
    assert "SNR:" in result.stdout and "ENOB:" in result.stdout
    assert plot.stat().st_size > 10000
    bad = subprocess.run([sys.executable, "-m", "vrx5200.analyze", str(tmp_path / "none.bin")],
                         capture_output=True, text=True, env=env)
    assert bad.returncode != 0 and "cannot read" in bad.stderr
