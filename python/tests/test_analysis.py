"""The single-tone metrics on synthetic tones of known SNR and harmonic levels, and the spectrum
against scipy.signal's periodogram."""

import math

import numpy as np
import pytest
from scipy import signal

from vrx5200.analysis import codes_to_values, metrics, plot_spectrum, spectrum

N = 65536


def tone(cycles=1021, amplitude=20000.0, noise_rms=0.0, harmonics=(), seed=3, quantize=True):
    rng = np.random.default_rng(seed)
    t = np.arange(N)
    x = amplitude * np.sin(2 * np.pi * cycles * t / N + 0.3)
    for order, dbc in harmonics:
        x += amplitude * 10 ** (dbc / 20) * np.sin(2 * np.pi * order * cycles * t / N + 1.1 * order)
    x += rng.normal(0.0, noise_rms, N)
    if quantize:
        x = np.round(x)
    return np.clip(x, -32768, 32767).astype(np.int16).view(np.uint16)


@pytest.mark.parametrize("window", ["blackmanharris", "hann", "rectangular"])
@pytest.mark.parametrize("noise_rms", [1.0, 10.0, 100.0])
def test_snr_of_a_coherent_tone(window, noise_rms):
    amplitude = 20000.0
    codes = tone(amplitude=amplitude, noise_rms=noise_rms)
    expected = 10 * math.log10((amplitude ** 2 / 2) / (noise_rms ** 2 + 1 / 12))
    m = metrics(codes, window=window)
    assert m.fundamental_bin == 1021
    assert abs(m.snr_db - expected) < 0.1
    assert abs(m.fundamental_dbfs - 20 * math.log10(amplitude / 32768)) < 0.1
    nad = math.sqrt(noise_rms ** 2 + 1 / 12)
    assert abs(m.enob - math.log2(65536 / (nad * math.sqrt(12)))) < 0.02


def test_harmonic_levels_thd_and_sfdr():
    codes = tone(noise_rms=1.0, harmonics=((2, -60.0), (3, -70.0)), quantize=True)
    m = metrics(codes)
    assert m.harmonic_bins[:2] == [2042, 3063]
    assert abs(m.harmonic_dbc[0] + 60) < 0.1
    assert abs(m.harmonic_dbc[1] + 70) < 0.1
    assert abs(m.thd_dbc - 10 * math.log10(1e-6 + 1e-7)) < 0.1
    assert abs(m.sfdr_dbc - 60) < 0.1
    assert m.sinad_db < m.snr_db


def test_harmonics_alias_around_the_nyquist_frequency():
    # 2 x 20011 cycles lies above N/2: the second harmonic folds to N - 40022.
    codes = tone(cycles=20011, noise_rms=1.0, harmonics=((2, -65.0),))
    m = metrics(codes)
    assert m.fundamental_bin == 20011
    assert m.harmonic_bins[0] == N - 2 * 20011
    assert abs(m.harmonic_dbc[0] + 65) < 0.1


def test_code_formats():
    assert list(codes_to_values(np.array([0x0000, 0x7FFF, 0x8000, 0xFFFF]))) == [0, 32767, -32768, -1]
    assert list(codes_to_values(np.array([0x0000, 0x8000, 0xFFFF]), offset_binary=True)) == [-32768, 0, 32767]
    assert list(codes_to_values(np.array([0x000, 0x7FF, 0x800, 0xFFF]), bits=12)) == [0, 2047, -2048, -1]
    twos = tone(noise_rms=2.0)
    offset = (twos.astype(np.int32) + 0x8000).astype(np.uint16)
    assert abs(metrics(twos).snr_db - metrics(offset, offset_binary=True).snr_db) < 1e-9


@pytest.mark.parametrize("window", ["blackmanharris", "hann"])
def test_spectrum_matches_scipy_periodogram(window):
    codes = tone(noise_rms=5.0)
    ours = spectrum(codes, window=window)
    x = codes_to_values(codes)
    _, density = signal.periodogram(x, fs=1.0, window=window, detrend=False, scaling="density")
    np.testing.assert_allclose(ours.power[1:-1], density[1:-1] / N, rtol=1e-9)
    # Parseval: the bins add up to the signal's power.
    assert abs(np.sum(spectrum(codes, window="rectangular").power) - np.mean(x ** 2)) < 1e-6 * np.mean(x ** 2)


def test_plot_marks_the_tone(tmp_path):
    path = tmp_path / "spectrum.png"
    m = plot_spectrum(tone(noise_rms=3.0, harmonics=((2, -80.0),)), str(path))
    assert path.stat().st_size > 10000
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert m.harmonic_bins[0] == 2042
