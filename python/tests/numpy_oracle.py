"""The single-tone analysis as the package did it in numpy before the measurement core: the test
oracle the core is compared with (python/tests/test_core.py). Kept as it was, apart from the
7-term Blackman-Harris window added beside the others."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Optional

import numpy as np


BH7 = (0.27105140069342, 0.43329793923448, 0.21812299954311, 0.06592544638803,
       0.01081174209837, 0.00077658482522, 0.00001388721735)

# Half-width in bins of each window's main lobe: the bins a component spreads over.
_WINDOWS = {"rectangular": 1, "hann": 2, "blackmanharris": 4, "blackmanharris7": 7}


def _check_bits(bits: int) -> None:
    if not isinstance(bits, (int, np.integer)) or not 2 <= bits <= 32:
        raise ValueError(f"bits must be an integer from 2 to 32, not {bits!r}")


def format_hz(hz: float) -> str:
    """A frequency with an SI prefix: 3.895 MHz."""
    for scale, prefix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if abs(hz) >= scale:
            return f"{hz / scale:.6g} {prefix}Hz"
    return f"{hz:.6g} Hz"


def codes_to_values(codes: np.ndarray, bits: int = 16, offset_binary: bool = False) -> np.ndarray:
    """Raw ADC codes as signed values in codes: offset binary has 2**(bits-1) subtracted, two's
    complement is sign-extended from bit ``bits``-1."""
    _check_bits(bits)
    raw = np.asarray(codes).astype(np.int64) & ((1 << bits) - 1)
    if offset_binary:
        return (raw - (1 << (bits - 1))).astype(np.float64)
    return np.where(raw >= (1 << (bits - 1)), raw - (1 << bits), raw).astype(np.float64)


def _window(name: str, n: int) -> np.ndarray:
    if name == "rectangular":
        return np.ones(n)
    k = np.arange(n) / n
    if name == "hann":
        return 0.5 - 0.5 * np.cos(2 * np.pi * k)
    if name == "blackmanharris":
        a = (0.35875, 0.48829, 0.14128, 0.01168)
        return (a[0] - a[1] * np.cos(2 * np.pi * k) + a[2] * np.cos(4 * np.pi * k)
                - a[3] * np.cos(6 * np.pi * k))
    if name == "blackmanharris7":
        a = BH7
        return sum((-1) ** j * a[j] * np.cos(2 * np.pi * j * k) for j in range(7))
    raise ValueError(f"unknown window {name!r} (one of {sorted(_WINDOWS)})")


@dataclass
class Spectrum:
    """One-sided power spectrum in codes squared per bin: a component's bins sum to its power
    (A**2 / 2 for a sine of amplitude A), and all bins to the signal's power (Parseval).

    A tone's peak bin therefore reads its power divided by the window's equivalent noise
    bandwidth (:attr:`enbw_bins`); :meth:`tone_dbfs` is the same spectrum scaled so that a
    tone's peak reads its power instead.
    """

    power: np.ndarray
    n: int
    bits: int
    window: str

    @property
    def full_scale_power(self) -> float:
        return (2.0 ** (self.bits - 1)) ** 2 / 2

    @property
    def enbw_bins(self) -> float:
        """The window's equivalent noise bandwidth in bins: n sum(w**2) / sum(w)**2."""
        w = _window(self.window, self.n)
        return float(self.n * np.sum(w ** 2) / np.sum(w) ** 2)

    def dbfs(self) -> np.ndarray:
        """Power per bin in dBFS (noise reads true; a tone reads low by the ENBW)."""
        return 10 * np.log10(np.maximum(self.power, 1e-30) / self.full_scale_power)

    def tone_dbfs(self) -> np.ndarray:
        """The power spectrum in dBFS: a coherent tone's peak bin reads the tone's power (a
        full-scale sine 0 dBFS); noise reads its power per bin times the ENBW."""
        return self.dbfs() + 10 * np.log10(self.enbw_bins)


def spectrum(codes: np.ndarray, bits: int = 16, offset_binary: bool = False,
             window: str = "blackmanharris") -> Spectrum:
    """The windowed one-sided power spectrum of a capture."""
    x = codes_to_values(codes, bits, offset_binary)
    if x.ndim != 1 or x.size < 2:
        raise ValueError(f"a capture is a 1-D array of 2 or more samples, not {x.shape}")
    n = x.size
    w = _window(window, n)
    power = np.abs(np.fft.rfft(x * w)) ** 2 / (n * np.sum(w ** 2))
    power[1:] *= 2
    if n % 2 == 0:
        power[-1] /= 2
    return Spectrum(power, n, bits, window)


def _number(value: float) -> Optional[float]:
    """A float for JSON: None where it is not finite."""
    return float(value) if math.isfinite(value) else None


@dataclass
class Metrics:
    """The single-tone metrics. ``thd_dbc`` is NaN when no harmonic falls clear of DC and the
    fundamental; ``rate_hz`` (when known) gives the frequencies in Hz."""

    fundamental_bin: int
    fundamental_dbfs: float
    snr_db: float
    sinad_db: float
    sfdr_dbc: float
    thd_dbc: float
    enob: float
    noise_floor_dbfs: float
    harmonic_bins: list = field(default_factory=list)
    harmonic_dbc: list = field(default_factory=list)
    harmonic_orders: list = field(default_factory=list)
    n: int = 0
    rate_hz: Optional[float] = None

    @property
    def fundamental_hz(self) -> Optional[float]:
        if self.rate_hz is None or not self.n:
            return None
        return self.fundamental_bin * self.rate_hz / self.n

    def lines(self) -> list:
        where = f"bin {self.fundamental_bin}"
        if self.fundamental_hz is not None:
            where += f" ({format_hz(self.fundamental_hz)})"
        thd = (f"{self.thd_dbc:.2f} dBc" if math.isfinite(self.thd_dbc)
               else "n/a (no harmonic clear)")
        return [
            f"fundamental: {where}, {self.fundamental_dbfs:.2f} dBFS",
            f"SNR:   {self.snr_db:.2f} dB",
            f"SINAD: {self.sinad_db:.2f} dB",
            f"SFDR:  {self.sfdr_dbc:.2f} dBc",
            f"THD:   {thd}",
            f"ENOB:  {self.enob:.2f} bits",
            f"noise floor: {self.noise_floor_dbfs:.2f} dBFS per bin",
        ]

    def as_dict(self) -> dict:
        """The metrics under snake_case keys that carry their unit (non-finite values None);
        ``fundamental_hz`` and each harmonic's ``frequency_hz`` only when the sample rate is
        known."""
        out = {"fundamental_bin": self.fundamental_bin}
        if self.fundamental_hz is not None:
            out["fundamental_hz"] = self.fundamental_hz
        out.update({
            "fundamental_dbfs": _number(self.fundamental_dbfs),
            "snr_db": _number(self.snr_db),
            "sinad_db": _number(self.sinad_db),
            "sfdr_dbc": _number(self.sfdr_dbc),
            "thd_dbc": _number(self.thd_dbc),
            "enob_bits": _number(self.enob),
            "noise_floor_dbfs": _number(self.noise_floor_dbfs),
            "harmonics": [],
        })
        for order, k, dbc in zip(self.harmonic_orders, self.harmonic_bins, self.harmonic_dbc):
            harmonic = {"order": order, "bin": k, "level_dbc": _number(dbc)}
            if self.rate_hz is not None:
                harmonic["frequency_hz"] = k * self.rate_hz / self.n
            out["harmonics"].append(harmonic)
        return out


def _band(center: int, half: int, bins: int) -> range:
    return range(max(center - half, 0), min(center + half, bins - 1) + 1)


def _alias(k: int, n: int) -> int:
    k %= n
    return n - k if k > n // 2 else k


def _db(numerator: float, denominator: float) -> float:
    """10 log10 of a power ratio, +-inf at the ends rather than a division error."""
    if denominator <= 0:
        return math.inf
    if numerator <= 0:
        return -math.inf
    return 10 * math.log10(numerator / denominator)


def metrics(codes_or_spectrum, bits: int = 16, offset_binary: bool = False,
            window: str = "blackmanharris", harmonics: int = 5,
            fundamental_bin: Optional[int] = None, rate_hz: Optional[float] = None) -> Metrics:
    """The single-tone metrics of a capture (or of a spectrum already formed).

    ``harmonics`` is the highest harmonic order counted (2 or more); ``rate_hz`` the sample
    rate, for frequencies in Hz. ValueError when the capture holds no power above DC.
    """
    if harmonics < 2:
        raise ValueError(f"harmonics is the highest harmonic order counted: 2 or more, "
                         f"not {harmonics}")
    if rate_hz is not None and not (math.isfinite(rate_hz) and rate_hz > 0):
        raise ValueError(f"the sample rate must be a positive number of Hz, not {rate_hz}")
    s = codes_or_spectrum if isinstance(codes_or_spectrum, Spectrum) else spectrum(
        codes_or_spectrum, bits, offset_binary, window)
    p = s.power
    bins = p.size
    half = _WINDOWS[s.window]
    dc = set(_band(0, half, bins))
    if fundamental_bin is None:
        candidates = p.copy()
        candidates[list(dc)] = 0
        fundamental_bin = int(np.argmax(candidates))
    signal_band = set(_band(fundamental_bin, half, bins))
    signal = float(np.sum(p[list(signal_band)]))
    if not signal > 0:
        raise ValueError("no tone: the capture holds no power above DC (constant samples?)")

    harmonic_orders, harmonic_bins, harmonic_powers, harmonic_bands = [], [], [], set()
    for h in range(2, harmonics + 1):
        k = _alias(h * fundamental_bin, s.n)
        band = set(_band(k, half, bins))
        if band & (dc | signal_band | harmonic_bands):
            continue  # falls on DC, the fundamental or a lower harmonic
        harmonic_orders.append(h)
        harmonic_bins.append(k)
        harmonic_powers.append(float(np.sum(p[list(band)])))
        harmonic_bands |= band

    noise_bins = [k for k in range(bins) if k not in dc | signal_band | harmonic_bands]
    if not noise_bins:
        raise ValueError(f"{s.n} samples leave no noise bins beside DC, the tone and its "
                         f"harmonics")
    noise_per_bin = float(np.mean(p[noise_bins]))
    # The noise in the bins set aside is estimated from the average noise bin.
    noise = noise_per_bin * (bins - len(dc))
    distortion = float(np.sum(harmonic_powers))

    others = p.copy()
    others[list(dc | signal_band)] = 0
    sfdr = 10 * np.log10(p[fundamental_bin] / max(float(np.max(others)), 1e-30))
    nad_rms = math.sqrt(noise + distortion)
    return Metrics(
        fundamental_bin=fundamental_bin,
        fundamental_dbfs=_db(signal, s.full_scale_power),
        snr_db=_db(signal, noise),
        sinad_db=_db(signal, noise + distortion),
        sfdr_dbc=float(sfdr),
        thd_dbc=10 * math.log10(max(distortion, 1e-30) / signal) if harmonic_bins else math.nan,
        enob=math.log2(2.0 ** s.bits / (nad_rms * math.sqrt(12))) if nad_rms > 0 else math.inf,
        noise_floor_dbfs=_db(noise_per_bin, s.full_scale_power),
        harmonic_bins=harmonic_bins,
        harmonic_dbc=[10 * math.log10(max(ph, 1e-30) / signal) for ph in harmonic_powers],
        harmonic_orders=harmonic_orders,
        n=s.n,
        rate_hz=float(rate_hz) if rate_hz is not None else None,
    )
