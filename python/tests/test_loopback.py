"""Loopback on the simulated board, end to end: a sine generated here, played, captured back
through the board's converter model, and analysed with the package's metrics."""

import ctypes

import numpy as np
import pytest

import vrx5200
from vrx5200.analysis import metrics

NOISE, GAIN, OFFSET = 4.0, 0.9, 25.0
LEVELS = (-55.0, -60.0, -65.0, -70.0)  # harmonics 2 to 5, dBc of a full-scale sine


@pytest.fixture
def board():
    with vrx5200.Board(simulated=True) as b:
        b.lib.VRXSim_Set_Loopback.argtypes = [
            ctypes.c_int32, ctypes.c_int32, ctypes.c_double, ctypes.c_double, ctypes.c_double,
            ctypes.POINTER(ctypes.c_double), ctypes.c_int32, ctypes.c_uint32]
        try:
            yield b
        finally:
            # The other tests expect the synthetic signal.
            assert b.lib.VRXSim_Set_Loopback(0, 0, 0.0, 0.0, 0.0, None, 0, 0) == 0


def test_generate_play_capture_analyse(board):
    levels = (ctypes.c_double * 4)(*LEVELS)
    assert board.lib.VRXSim_Set_Loopback(0, 1, NOISE, GAIN, OFFSET, levels, 4, 11) == 0
    # 129 cycles in 4,096 words at full scale, captured as 65,536 samples: bin 16 * 129.
    words = np.round(32767 * np.sin(2 * np.pi * 129 * np.arange(4096) / 4096)).astype(np.int16)
    board.play(words)
    result = metrics(board.capture(65536), window="rectangular")

    assert result.fundamental_bin == 16 * 129
    assert result.harmonic_orders == [2, 3, 4, 5]
    assert result.harmonic_dbc == pytest.approx(LEVELS, abs=0.2)
    assert result.thd_dbc == pytest.approx(10 * np.log10(np.sum(10 ** (np.array(LEVELS) / 10))),
                                           abs=0.1)
    # Besides the tone: the noise, and the DAC's (through the gain) and the ADC's rounding.
    noise_power = NOISE ** 2 + (GAIN ** 2 + 1) / 12
    assert result.snr_db == pytest.approx(10 * np.log10((GAIN * 32767) ** 2 / 2 / noise_power),
                                          abs=0.2)
