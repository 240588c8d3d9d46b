"""Single-tone analysis of ADC captures, as IEEE Std 1241 defines the quantities.

From raw codes (two's complement or offset binary, ``bits`` wide) a windowed power spectrum is
formed, the fundamental found as the largest component above DC, the first harmonics located
where they alias to, and the rest taken as noise. The metrics:

* SNR  = 10 log10(P_signal / P_noise), the noise excluding DC and the harmonics, its power in
  the bins set aside for signal, DC and harmonics estimated from the average noise bin;
* THD  = 10 log10(sum of harmonic powers / P_signal), in dBc;
* SINAD = 10 log10(P_signal / (P_noise + harmonic powers));
* SFDR = 10 log10(P_signal peak / largest other spectral peak), in dBc;
* ENOB = log2(FSR / (NAD_rms * sqrt(12))), FSR = 2**bits codes, NAD_rms the RMS of noise and
  distortion in codes;
* noise floor = the average noise power per bin relative to a full-scale sine, in dBFS.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Optional

import numpy as np

__all__ = ["Spectrum", "Metrics", "codes_to_values", "spectrum", "metrics", "plot_spectrum"]

# Half-width in bins of each window's main lobe: the bins a component spreads over.
_WINDOWS = {"rectangular": 1, "hann": 2, "blackmanharris": 4}


def codes_to_values(codes: np.ndarray, bits: int = 16, offset_binary: bool = False) -> np.ndarray:
    """Raw ADC codes as signed values in codes: offset binary has 2**(bits-1) subtracted, two's
    complement is sign-extended from bit ``bits``-1."""
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
    raise ValueError(f"unknown window {name!r} (one of {sorted(_WINDOWS)})")


@dataclass
class Spectrum:
    """One-sided power spectrum in codes squared per bin: a component's bins sum to its power
    (A**2 / 2 for a sine of amplitude A), and all bins to the signal's power (Parseval)."""

    power: np.ndarray
    n: int
    bits: int
    window: str

    @property
    def full_scale_power(self) -> float:
        return (2.0 ** (self.bits - 1)) ** 2 / 2

    def dbfs(self) -> np.ndarray:
        return 10 * np.log10(np.maximum(self.power, 1e-30) / self.full_scale_power)


def spectrum(codes: np.ndarray, bits: int = 16, offset_binary: bool = False,
             window: str = "blackmanharris") -> Spectrum:
    """The windowed one-sided power spectrum of a capture."""
    x = codes_to_values(codes, bits, offset_binary)
    n = x.size
    w = _window(window, n)
    power = np.abs(np.fft.rfft(x * w)) ** 2 / (n * np.sum(w ** 2))
    power[1:] *= 2
    if n % 2 == 0:
        power[-1] /= 2
    return Spectrum(power, n, bits, window)


@dataclass
class Metrics:
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

    def lines(self) -> list:
        return [
            f"fundamental: bin {self.fundamental_bin}, {self.fundamental_dbfs:.2f} dBFS",
            f"SNR:   {self.snr_db:.2f} dB",
            f"SINAD: {self.sinad_db:.2f} dB",
            f"SFDR:  {self.sfdr_dbc:.2f} dBc",
            f"THD:   {self.thd_dbc:.2f} dBc",
            f"ENOB:  {self.enob:.2f} bits",
            f"noise floor: {self.noise_floor_dbfs:.2f} dBFS per bin",
        ]


def _band(center: int, half: int, bins: int) -> range:
    return range(max(center - half, 0), min(center + half, bins - 1) + 1)


def _alias(k: int, n: int) -> int:
    k %= n
    return n - k if k > n // 2 else k


def metrics(codes_or_spectrum, bits: int = 16, offset_binary: bool = False,
            window: str = "blackmanharris", harmonics: int = 5,
            fundamental_bin: Optional[int] = None) -> Metrics:
    """The single-tone metrics of a capture (or of a spectrum already formed)."""
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

    harmonic_bins, harmonic_powers, harmonic_bands = [], [], set()
    for h in range(2, harmonics + 1):
        k = _alias(h * fundamental_bin, s.n)
        band = set(_band(k, half, bins))
        if band & (dc | signal_band | harmonic_bands):
            continue  # falls on DC, the fundamental or a lower harmonic
        harmonic_bins.append(k)
        harmonic_powers.append(float(np.sum(p[list(band)])))
        harmonic_bands |= band

    noise_bins = [k for k in range(bins) if k not in dc | signal_band | harmonic_bands]
    noise_per_bin = float(np.mean(p[noise_bins]))
    # The noise in the bins set aside is estimated from the average noise bin.
    noise = noise_per_bin * (bins - len(dc))
    distortion = float(np.sum(harmonic_powers))

    others = p.copy()
    others[list(dc | signal_band)] = 0
    sfdr = 10 * np.log10(p[fundamental_bin] / max(float(np.max(others)), 1e-30))
    nad_rms = np.sqrt(noise + distortion)
    return Metrics(
        fundamental_bin=fundamental_bin,
        fundamental_dbfs=10 * np.log10(signal / s.full_scale_power),
        snr_db=10 * np.log10(signal / noise),
        sinad_db=10 * np.log10(signal / (noise + distortion)),
        sfdr_dbc=float(sfdr),
        thd_dbc=10 * np.log10(max(distortion, 1e-30) / signal),
        enob=float(np.log2(2.0 ** s.bits / (nad_rms * np.sqrt(12)))),
        noise_floor_dbfs=10 * np.log10(noise_per_bin / s.full_scale_power),
        harmonic_bins=harmonic_bins,
        harmonic_dbc=[10 * np.log10(max(ph, 1e-30) / signal) for ph in harmonic_powers],
    )


def plot_spectrum(codes: np.ndarray, path: str, bits: int = 16, offset_binary: bool = False,
                  window: str = "blackmanharris", harmonics: int = 5,
                  title: str = "VRX5200 capture") -> Metrics:
    """Writes a PNG of the spectrum in dBFS with the fundamental and the harmonics marked and
    the metrics written in; returns the metrics."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    s = spectrum(codes, bits, offset_binary, window)
    m = metrics(s, harmonics=harmonics)
    db = s.dbfs()
    frequency = np.arange(db.size) / s.n
    fig, ax = plt.subplots(figsize=(10, 5.5))
    ax.plot(frequency, db, linewidth=0.6, color="tab:blue")
    ax.plot(frequency[m.fundamental_bin], db[m.fundamental_bin], "o", color="tab:red",
            label="fundamental")
    for i, k in enumerate(m.harmonic_bins):
        ax.plot(frequency[k], db[k], "v", color="tab:orange", label="harmonics" if i == 0 else None)
        ax.annotate(str(i + 2), (frequency[k], db[k]), textcoords="offset points", xytext=(0, 6),
                    ha="center", fontsize=8)
    ax.axhline(m.noise_floor_dbfs, color="gray", linestyle=":", linewidth=0.8, label="noise floor")
    ax.set_xlabel("frequency (fraction of the sample rate)")
    ax.set_ylabel("power (dBFS)")
    ax.set_title(f"{title}: {s.n} samples, {s.window} window")
    ax.set_xlim(0, 0.5)
    ax.set_ylim(max(float(np.min(db[1:])) - 5, -200), 5)
    ax.grid(True, linewidth=0.3)
    ax.legend(loc="upper right", fontsize=8)
    ax.text(0.985, 0.80, "\n".join(m.lines()), transform=ax.transAxes, fontsize=8,
            family="monospace", va="top", ha="right",
            bbox=dict(boxstyle="round", facecolor="white", alpha=0.85))
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return m
