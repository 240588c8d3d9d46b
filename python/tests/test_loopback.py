"""Loopback on the simulated board, end to end: a sine generated here, played, captured back
through the board's converter model, and analysed with the package's metrics; on the board in
this process and through `vrx5200 --sim serve`."""

import numpy as np
import pytest

from vrx5200.analysis import metrics

NOISE, GAIN, OFFSET = 4.0, 0.9, 25.0
LEVELS = (-55.0, -60.0, -65.0, -70.0)  # harmonics 2 to 5, dBc of a full-scale sine


@pytest.fixture
def looped(board):
    """conftest's board (local and served); the other tests expect the synthetic signal."""
    try:
        yield board
    finally:
        board.set_simulated_loopback(False)


def test_generate_play_capture_analyse(looped):
    board = looped
    board.set_simulated_loopback(True, NOISE, GAIN, OFFSET, LEVELS, seed=11)
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
