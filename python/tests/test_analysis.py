"""The single-tone metrics on synthetic tones of known SNR and harmonic levels, and the spectrum
against scipy.signal's periodogram."""

import math

import numpy as np
import pytest
from scipy import signal

from vrx5200.analysis import codes_to_values, metrics, plot_spectrum, spectrum, spectrum_figure
from vrx5200.analyze import parse_rate

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
    # The core's transform is single precision: every bin within 1e-6 of the largest.
    reference = density[1:-1] / N
    np.testing.assert_allclose(ours.power[1:-1], reference, rtol=0, atol=1e-6 * reference.max())
    # Parseval: the bins add up to the signal's power.
    assert abs(np.sum(spectrum(codes, window="rectangular").power) - np.mean(x ** 2)) < 1e-6 * np.mean(x ** 2)


def test_plot_marks_the_tone(tmp_path):
    path = tmp_path / "spectrum.png"
    m = plot_spectrum(tone(noise_rms=3.0, harmonics=((2, -80.0),)), str(path))
    assert path.stat().st_size > 10000
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert m.harmonic_bins[0] == 2042


# Blackman-Harris (4 terms): ENBW = n sum(w**2) / sum(w)**2 = (a0**2 + (a1**2 + a2**2 + a3**2) / 2) / a0**2.
_BH = (0.35875, 0.48829, 0.14128, 0.01168)
BH_ENBW = (_BH[0] ** 2 + sum(a * a for a in _BH[1:]) / 2) / _BH[0] ** 2


@pytest.mark.parametrize("window, enbw", [("rectangular", 1.0), ("hann", 1.5), ("blackmanharris", BH_ENBW)])
def test_tone_scale_reads_a_coherent_tones_level(window, enbw):
    s = spectrum(tone(amplitude=20000.0), window=window)
    assert abs(s.enbw_bins - enbw) < 1e-9
    assert abs(s.tone_dbfs()[1021] - 20 * math.log10(20000 / 32768)) < 0.001
    # Per bin (Parseval) the tone reads low by the window's ENBW.
    assert abs(s.tone_dbfs()[1021] - s.dbfs()[1021] - 10 * math.log10(enbw)) < 1e-9


def drawn(fig, label):
    ax = fig.axes[0]
    return next(line for line in ax.get_lines() if line.get_label().startswith(label))


def test_plot_marks_the_tone_at_its_level_and_the_noise_per_bin():
    noise_rms, rate = 3.0, 250e6
    fig, m = spectrum_figure(tone(amplitude=20000.0, noise_rms=noise_rms), rate_hz=rate)
    marker = drawn(fig, "fundamental")
    assert marker.get_xdata()[0] == 1021 * rate / N  # Hz
    assert abs(marker.get_ydata()[0] - m.fundamental_dbfs) < 0.01
    assert abs(m.fundamental_dbfs - 20 * math.log10(20000 / 32768)) < 0.01
    # The right axis reads the trace as noise per bin: there the floor line is the metrics'
    # noise floor, (noise_rms**2 + 1/12) spread over N/2 bins.
    floor = drawn(fig, "noise floor").get_ydata()[0]
    assert abs(floor - 10 * math.log10(BH_ENBW) - m.noise_floor_dbfs) < 1e-9
    per_bin = (noise_rms ** 2 + 1 / 12) / (N / 2)
    assert abs(m.noise_floor_dbfs - 10 * math.log10(per_bin / (32768 ** 2 / 2))) < 0.1
    assert "Hz" in fig.axes[0].xaxis.get_major_formatter().format_data(1e6)


def test_a_large_spectrum_is_drawn_as_an_envelope_per_pixel_column():
    n = 1 << 20
    rng = np.random.default_rng(5)
    x = np.round(20000 * np.sin(2 * np.pi * 16339 * np.arange(n) / n) + rng.normal(0, 3, n))
    fig, m = spectrum_figure(x.astype(np.int16))
    columns = int(fig.get_figwidth() * fig.dpi)
    ax = fig.axes[0]
    points = sum(len(line.get_xdata()) for line in ax.get_lines())
    points += sum(len(path.vertices) for c in ax.collections for path in c.get_paths())
    assert points < 8 * columns  # not half a million
    # The envelope keeps the tone's peak.
    highest = max(float(np.max(line.get_ydata())) for line in ax.get_lines()
                  if not line.get_label().startswith("fundamental"))
    assert abs(highest - m.fundamental_dbfs) < 0.01


def test_what_has_no_answer_is_refused():
    with pytest.raises(ValueError, match="no tone"):
        metrics(np.zeros(4096, dtype=np.int16))
    with pytest.raises(ValueError, match="harmonic"):
        metrics(tone(noise_rms=1.0), harmonics=1)
    with pytest.raises(ValueError, match="bits"):
        metrics(tone(noise_rms=1.0), bits=0)


@pytest.mark.parametrize("text, hz", [("250M", 250e6), ("1.5G", 1.5e9), ("100k", 1e5),
                                      ("250MHz", 250e6), ("2.5e8", 2.5e8), ("96000", 96e3)])
def test_rates(text, hz):
    assert parse_rate(text) == hz


@pytest.mark.parametrize("text", ["", "0", "-5M", "250m", "fast", "1e400"])
def test_bad_rates(text):
    with pytest.raises(ValueError):
        parse_rate(text)
