"""The measurement core through the package, against independent implementations: its spectrum
against scipy.signal.periodogram with the same window, its single-tone metrics against the numpy
implementation the package used before (numpy_oracle.py), and its other analyses on signals of
known answer."""

import math
import os
import sys

import numpy as np
import pytest
from scipy import signal

from vrx5200 import core
from vrx5200.analysis import AnalysisError, metrics, spectrum

sys.path.insert(0, os.path.dirname(__file__))
import numpy_oracle  # noqa: E402

N = 65536
FULL = 32768.0
SCIPY_WINDOWS = {"rectangular": "boxcar", "hann": "hann", "blackmanharris": "blackmanharris",
                 "blackmanharris7": ("general_cosine", numpy_oracle.BH7)}


def capture(cycles=1021.0, amplitude=20000.0, noise_rms=2.0, harmonics=((2, -62.0), (3, -71.0)),
            seed=5):
    rng = np.random.default_rng(seed)
    t = np.arange(N)
    x = amplitude * np.sin(2 * np.pi * cycles * t / N + 0.3)
    for order, dbc in harmonics:
        x += amplitude * 10 ** (dbc / 20) * np.sin(2 * np.pi * order * cycles * t / N + order)
    x += rng.normal(0.0, noise_rms, N)
    return np.clip(np.round(x), -32768, 32767).astype(np.int16)


@pytest.mark.parametrize("window", list(SCIPY_WINDOWS))
@pytest.mark.parametrize("cycles", [1021.0, 3000.37])
def test_spectrum_agrees_with_scipy_periodogram(window, cycles):
    codes = capture(cycles=cycles)
    ours = spectrum(codes, window=window).power
    x = codes.astype(np.float64)
    _, density = signal.periodogram(x, fs=1.0, window=SCIPY_WINDOWS[window], detrend=False,
                                    scaling="density")
    # scipy's density per unit of the sample rate, one-sided: times the bin width 1/N it is the
    # power per bin. Single-precision transform: every bin within 1e-6 of the largest.
    reference = density / N
    np.testing.assert_allclose(ours, reference, rtol=0, atol=1e-6 * reference.max())
    assert ours.sum() == pytest.approx(reference.sum(), rel=1e-6)


@pytest.mark.parametrize("window", ["rectangular", "hann", "blackmanharris", "blackmanharris7"])
@pytest.mark.parametrize("noise_rms, harmonics", [(2.0, ((2, -62.0), (3, -71.0))),
                                                  (30.0, ((2, -50.0), (5, -56.0))),
                                                  (0.5, ())])
def test_metrics_agree_with_the_numpy_implementation(window, noise_rms, harmonics):
    codes = capture(noise_rms=noise_rms, harmonics=harmonics)
    ours = metrics(codes, window=window, rate_hz=100e6)
    theirs = numpy_oracle.metrics(codes, window=window, rate_hz=100e6)
    assert ours.fundamental_bin == theirs.fundamental_bin
    for name in ("fundamental_dbfs", "snr_db", "sinad_db", "noise_floor_dbfs"):
        assert getattr(ours, name) == pytest.approx(getattr(theirs, name), abs=0.01), name
    assert ours.enob == pytest.approx(theirs.enob, abs=0.002)
    assert ours.harmonic_orders == theirs.harmonic_orders
    assert ours.harmonic_bins == theirs.harmonic_bins
    # A harmonic's power agrees to 0.01 dB, or, where it lies in the noise near -130 dBc, to
    # 1e-12 of the fundamental's power: the single-precision transform's own resolution.
    assert np.allclose(10 ** (np.array(ours.harmonic_dbc) / 10),
                       10 ** (np.array(theirs.harmonic_dbc) / 10), rtol=0.0023, atol=1e-12)
    if harmonics:
        assert ours.thd_dbc == pytest.approx(theirs.thd_dbc, abs=0.01)
        # A harmonic is the worst spur: its lobe's power and the oracle's peak-bin ratio agree
        # for a coherent tone, whose harmonics have the fundamental's shape.
        assert ours.worst_spur_kind == "harmonic"
        assert ours.sfdr_dbc == pytest.approx(theirs.sfdr_dbc, abs=0.02)
    assert ours.as_dict()["nsd_dbfs_hz"] == pytest.approx(
        ours.noise_floor_dbfs - 10 * math.log10(100e6 / N), abs=1e-9)


def test_arrays_are_handed_over_without_copies():
    for dtype in (np.int16, np.uint16, np.float64):
        x = np.zeros(1024, dtype=dtype)
        assert core._samples(x)[0] is x
    strided = np.zeros(2048, dtype=np.int16)[::2]
    assert not np.shares_memory(core._samples(strided)[0], strided)  # made contiguous once


def test_refusals_name_the_core_result():
    with pytest.raises(AnalysisError) as info:
        metrics(np.full(4096, 7, dtype=np.int16))
    assert info.value.code == 10 and "no tone" in info.value.meaning
    with pytest.raises(ValueError, match="bit count"):
        metrics(capture(), bits=17)  # more than a 16-bit word holds
    # A prime length takes Bluestein's way and reads as any other.
    assert metrics(capture()[:4099], window="blackmanharris7").snr_db == pytest.approx(
        metrics(capture()[:4096], window="blackmanharris7").snr_db, abs=0.3)
    with pytest.raises(ValueError, match="too short"):
        metrics(capture()[:32], window="blackmanharris7")


def test_patterns_two_tones_fits_and_code_density():
    # A -3 dBFS tone pattern reads -3 dBFS; its file holds the same words little-endian.
    cycles, hz = core.coherent_frequency(250e6, N, 10e6)
    assert hz == cycles * 250e6 / N and cycles == 2621
    pattern = core.generate_pattern("tone", N, amplitude_dbfs=-3.0, cycles=cycles)
    assert pattern.clipped == 0
    m = metrics(pattern.words, window="rectangular")
    assert m.fundamental_bin == cycles and m.fundamental_dbfs == pytest.approx(-3.0, abs=0.001)

    # Two tones with a third-order product at 2 f1 - f2, -70 dBc of both tones' power.
    t = np.arange(N)
    x = 8000 * np.cos(2 * np.pi * 5003 * t / N) + 8000 * np.cos(2 * np.pi * 5501 * t / N)
    x += math.sqrt(2 * 64e6 * 10 ** (-70 / 10)) * np.cos(2 * np.pi * 4505 * t / N)
    r = core.two_tone(x, window="blackmanharris7", rate_hz=1e6)
    assert [p["cycles"] for p in r.products[:3]] == pytest.approx([498, 10504, 4505])
    assert r.products[2]["level_dbc"] == pytest.approx(-70.0, abs=0.05)

    fit = core.sine_fit(x[:4096] * 0 + 1000 * np.cos(2 * np.pi * 12.25 * t[:4096] / 4096 + 0.5),
                        parameters=4)
    assert fit.frequency_cycles == pytest.approx(12.25, rel=1e-9)
    assert fit.amplitude_codes == pytest.approx(1000, rel=1e-9)
    assert fit.phase_rad == pytest.approx(0.5, abs=1e-9)

    # An ideal 10-bit converter under a coherent, slightly overdriving sine: DNL and INL near 0.
    phase = 2 * np.pi * 65537 * np.arange(1 << 20) / (1 << 20)
    codes = np.clip(np.floor(512.3 + 520 * np.sin(phase)), 0, 1023).astype(np.uint16)
    d = core.code_density(codes, 10, offset_binary=True)
    assert d.first_code == 0 and d.last_code == 1023 and d.missing_codes == []
    extremes = (d.dnl_min_lsb, d.dnl_max_lsb, d.inl_min_lsb, d.inl_max_lsb)
    assert max(abs(v) for v in extremes) < 0.05


def test_pattern_file(tmp_path):
    path = tmp_path / "pattern.bin"
    kw = dict(tone_cycles=[11, 29, 47], offset_binary=True)
    words = core.generate_pattern("multitone", 4096, **kw).words
    core.generate_pattern("multitone", 4096, path=str(path), **kw)
    assert np.array_equal(np.fromfile(path, dtype="<u2"), words)
    # Noise starts where no word clips, as the tool's does; louder, it clips.
    assert core.generate_pattern("noise", 65536, seed=1).clipped == 0
    assert core.generate_pattern("noise", 65536, seed=1, amplitude_dbfs=-1).clipped > 0
