"""Single-tone analysis of ADC captures, as IEEE Std 1241 defines the quantities.

The arithmetic is the measurement core's (``libvrx5200analysis.so``, :mod:`vrx5200.core`): from
raw codes (two's complement or offset binary, ``bits`` wide; full scale is the declared bit
count, never the record's peak) a windowed power spectrum is formed, the fundamental found as the
largest component above DC (or taken as given), the harmonics located where they alias to, and
the rest taken as noise. A component's power is the sum of its window's main lobe (1, 2, 4 or 7
bins each side for the rectangular, Hann, 4-term and 7-term Blackman-Harris windows). The
metrics:

* SNR  = 10 log10(P_signal / P_noise), the noise excluding DC and the harmonics, its power in
  the bins set aside for signal, DC and harmonics estimated from the average noise bin;
* THD  = 10 log10(sum of harmonic powers / P_signal), in dBc;
* SINAD = 10 log10(P_signal / (P_noise + harmonic powers));
* SFDR = 10 log10(P_signal / P_spur), the spur the largest bin outside DC and the fundamental,
  its power its lobe's (a harmonic's when it lies in one), in dBc; the spur is named;
* ENOB = log2(FSR / (NAD_rms * sqrt(12))), FSR = 2**bits codes, NAD_rms the RMS of noise and
  distortion in codes;
* noise floor = the average noise power per bin relative to a full-scale sine, in dBFS; with the
  sample rate, the noise spectral density in dBFS/Hz.

The transform is single precision (its rounding lies about 137 dB below a full-scale tone: SNR
and SFDR up to about 115 dB read true to 0.05 dB); the sums are double precision. Codes may be
given as int16 values or uint16 raw codes (as :meth:`vrx5200.Board.capture` and
:func:`vrx5200.load_capture` return them): only their low ``bits`` bits count. Their format
(``offset_binary``) is, unless given, the one the array carries (:class:`vrx5200.CaptureArray`:
offset binary for a '<u2' .npy file or an offset-binary capture), else two's complement; so
``metrics(load_capture(path))`` gives the figures ``vrx5200 analyze path`` prints. Refusals
raise :class:`vrx5200.core.AnalysisError`, a ValueError.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Optional

import numpy as np

from . import core
from ._files import code_format, save_figure
from .core import (AnalysisError, code_density, coherent_frequency, generate_pattern, sine_fit,
                   two_tone)

__all__ = ["Spectrum", "Metrics", "AnalysisError", "codes_to_values", "spectrum", "metrics",
           "spectrum_figure", "plot_spectrum", "format_hz", "two_tone", "sine_fit",
           "code_density", "coherent_frequency", "generate_pattern", "WINDOWS"]

WINDOWS = tuple(core.WINDOWS)


def _check_bits(bits: int) -> None:
    if not isinstance(bits, (int, np.integer)) or not 1 <= bits <= 32:
        raise ValueError(f"bits must be an integer from 1 to 32, not {bits!r}")


def format_hz(hz: float) -> str:
    """A frequency with an SI prefix: 3.895 MHz."""
    for scale, prefix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if abs(hz) >= scale:
            return f"{hz / scale:.6g} {prefix}Hz"
    return f"{hz:.6g} Hz"


def codes_to_values(codes: np.ndarray, bits: int = 16,
                    offset_binary: Optional[bool] = None) -> np.ndarray:
    """Raw ADC codes as signed values in codes: offset binary has 2**(bits-1) subtracted, two's
    complement is sign-extended from bit ``bits``-1."""
    _check_bits(bits)
    raw = np.asarray(codes).astype(np.int64) & ((1 << bits) - 1)
    if code_format(codes, offset_binary):
        return (raw - (1 << (bits - 1))).astype(np.float64)
    return np.where(raw >= (1 << (bits - 1)), raw - (1 << bits), raw).astype(np.float64)


@dataclass
class Spectrum:
    """One-sided power spectrum in codes squared per bin: a component's bins sum to its power
    (A**2 / 2 for a sine of amplitude A), and all bins to the signal's power (Parseval).

    A tone's peak bin therefore reads its power divided by the window's equivalent noise
    bandwidth (:attr:`enbw_bins`); :meth:`tone_dbfs` is the same spectrum scaled so that a
    tone's peak reads its power instead. ``codes`` is the capture it was made from (the same
    array, not a copy), for :func:`metrics`.
    """

    power: np.ndarray
    n: int
    bits: int
    window: str
    codes: Optional[np.ndarray] = field(default=None, repr=False)
    offset_binary: bool = False

    @property
    def full_scale_power(self) -> float:
        return (2.0 ** (self.bits - 1)) ** 2 / 2

    @property
    def enbw_bins(self) -> float:
        """The window's equivalent noise bandwidth in bins: n sum(w**2) / sum(w)**2."""
        return core.window_info(self.window).enbw_bins

    def dbfs(self) -> np.ndarray:
        """Power per bin in dBFS (noise reads true; a tone reads low by the ENBW)."""
        return 10 * np.log10(np.maximum(self.power, 1e-30) / self.full_scale_power)

    def tone_dbfs(self) -> np.ndarray:
        """The power spectrum in dBFS: a coherent tone's peak bin reads the tone's power (a
        full-scale sine 0 dBFS); noise reads its power per bin times the ENBW."""
        return self.dbfs() + 10 * np.log10(self.enbw_bins)


def spectrum(codes: np.ndarray, bits: int = 16, offset_binary: Optional[bool] = None,
             window: str = "blackmanharris") -> Spectrum:
    """The windowed one-sided power spectrum of a capture."""
    _check_bits(bits)
    offset_binary = code_format(codes, offset_binary)
    power = core.power_spectrum(codes, bits, offset_binary, window)
    return Spectrum(power, int(np.asarray(codes).size), bits, window, codes, offset_binary)


def _number(value: float) -> Optional[float]:
    """A float for JSON: None where it is not finite."""
    return float(value) if math.isfinite(value) else None


@dataclass
class Metrics:
    """The single-tone metrics. ``thd_dbc`` is NaN when no harmonic falls clear of DC and the
    fundamental; ``rate_hz`` (when known) gives the frequencies in Hz and ``nsd_dbfs_hz``.
    ``worst_spur_kind`` is "harmonic" (of order ``worst_spur_order``) or "other"."""

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
    fundamental_cycles: float = 0.0
    worst_spur_bin: int = 0
    worst_spur_kind: str = "other"
    worst_spur_order: int = 0
    worst_spur_cycles: float = 0.0
    noise_dbfs: float = math.nan
    nsd_dbfs_hz: Optional[float] = None
    dc_codes: float = 0.0
    window: str = "blackmanharris"
    lobe_half_width: int = 0

    @property
    def enob_bits(self) -> float:
        return self.enob

    @property
    def fundamental_hz(self) -> Optional[float]:
        """The fundamental's bin in Hz (``fundamental_cycles`` holds its refined position)."""
        if self.rate_hz is None or not self.n:
            return None
        return self.fundamental_bin * self.rate_hz / self.n

    @property
    def worst_spur_hz(self) -> Optional[float]:
        if self.rate_hz is None or not self.n:
            return None
        return self.worst_spur_bin * self.rate_hz / self.n

    def lines(self) -> list:
        where = f"bin {self.fundamental_bin}"
        if self.fundamental_hz is not None:
            where += f" ({format_hz(self.fundamental_hz)})"
        thd = (f"{self.thd_dbc:.2f} dBc" if math.isfinite(self.thd_dbc)
               else "n/a (no harmonic clear)")
        spur = (f"harmonic {self.worst_spur_order}" if self.worst_spur_kind == "harmonic"
                else "not a harmonic")
        spur_at = f"bin {self.worst_spur_bin}"
        if self.worst_spur_hz is not None:
            spur_at += f", {format_hz(self.worst_spur_hz)}"
        out = [
            f"fundamental: {where}, {self.fundamental_dbfs:.2f} dBFS",
            f"SNR:   {self.snr_db:.2f} dB",
            f"SINAD: {self.sinad_db:.2f} dB",
            f"SFDR:  {self.sfdr_dbc:.2f} dBc (worst spur: {spur_at}, {spur})",
            f"THD:   {thd}",
            f"ENOB:  {self.enob:.2f} bits",
            f"noise floor: {self.noise_floor_dbfs:.2f} dBFS per bin",
        ]
        if self.nsd_dbfs_hz is not None:
            out.append(f"noise spectral density: {self.nsd_dbfs_hz:.2f} dBFS/Hz")
        return out

    def as_dict(self) -> dict:
        """The metrics under snake_case keys that carry their unit (non-finite values None);
        ``fundamental_hz``, ``worst_spur_hz``, ``nsd_dbfs_hz`` and each harmonic's
        ``frequency_hz`` only when the sample rate is known."""
        out = {"fundamental_bin": self.fundamental_bin}
        if self.fundamental_hz is not None:
            out["fundamental_hz"] = self.fundamental_hz
        out.update({
            "fundamental_cycles": _number(self.fundamental_cycles),
            "fundamental_dbfs": _number(self.fundamental_dbfs),
            "snr_db": _number(self.snr_db),
            "sinad_db": _number(self.sinad_db),
            "sfdr_dbc": _number(self.sfdr_dbc),
            "thd_dbc": _number(self.thd_dbc),
            "enob": _number(self.enob),
            "enob_bits": _number(self.enob),
            "noise_floor_dbfs": _number(self.noise_floor_dbfs),
            "noise_dbfs": _number(self.noise_dbfs),
            "worst_spur": {"bin": self.worst_spur_bin, "kind": self.worst_spur_kind,
                           "order": self.worst_spur_order},
            "harmonics": [],
        })
        if self.worst_spur_hz is not None:
            out["worst_spur"]["frequency_hz"] = self.worst_spur_hz
        if self.nsd_dbfs_hz is not None:
            out["nsd_dbfs_hz"] = _number(self.nsd_dbfs_hz)
        for order, k, dbc in zip(self.harmonic_orders, self.harmonic_bins, self.harmonic_dbc):
            harmonic = {"order": order, "bin": k, "level_dbc": _number(dbc)}
            if self.rate_hz is not None:
                harmonic["frequency_hz"] = k * self.rate_hz / self.n
            out["harmonics"].append(harmonic)
        return out


def _metrics_of(r, n: int, window: str, rate_hz: Optional[float]) -> Metrics:
    """Metrics from the core's single-tone record."""
    counted = [r.tones[h] for h in range(1, 25) if r.tones[h].order and r.tones[h].counted]
    return Metrics(
        fundamental_bin=int(r.tones[0].bin),
        fundamental_dbfs=r.fundamental_dbfs,
        snr_db=r.snr_db,
        sinad_db=r.sinad_db,
        sfdr_dbc=r.sfdr_dbc,
        thd_dbc=r.thd_dbc if r.thd_measured else math.nan,
        enob=r.enob_bits,
        noise_floor_dbfs=r.noise_floor_dbfs,
        harmonic_bins=[int(t.bin) for t in counted],
        harmonic_dbc=[t.level_dbc for t in counted],
        harmonic_orders=[t.order for t in counted],
        n=n,
        rate_hz=float(rate_hz) if rate_hz is not None else None,
        fundamental_cycles=r.tones[0].cycles,
        worst_spur_bin=int(r.worst_spur_bin),
        worst_spur_kind="harmonic" if r.worst_spur_kind == 1 else "other",
        worst_spur_order=r.worst_spur_order,
        worst_spur_cycles=r.worst_spur_cycles,
        noise_dbfs=r.noise_dbfs,
        nsd_dbfs_hz=r.nsd_dbfs_hz if rate_hz is not None else None,
        dc_codes=r.dc_codes,
        window=window,
        lobe_half_width=r.lobe_half_width,
    )


def _analyse(codes, bits, offset_binary, window, harmonics, fundamental_bin, rate_hz,
             with_spectrum):
    _check_bits(bits)
    offset_binary = code_format(codes, offset_binary)
    if rate_hz is not None and not (math.isfinite(rate_hz) and rate_hz > 0):
        raise ValueError(f"the sample rate must be a positive number of Hz, not {rate_hz}")
    r, power = core.single_tone(codes, bits, offset_binary, window, harmonics, rate_hz,
                                fundamental_bin, spectrum=with_spectrum)
    n = int(r.samples)
    return _metrics_of(r, n, window, rate_hz), power


def metrics(codes_or_spectrum, bits: int = 16, offset_binary: Optional[bool] = None,
            window: str = "blackmanharris", harmonics: int = 5,
            fundamental_bin: Optional[int] = None, rate_hz: Optional[float] = None) -> Metrics:
    """The single-tone metrics of a capture (or of the capture behind a :class:`Spectrum`,
    with its bits, code format and window).

    ``harmonics`` is the highest harmonic order counted (2 to 25); ``fundamental_bin`` the
    fundamental in cycles per record when it is known; ``rate_hz`` the sample rate, for
    frequencies in Hz. ValueError (:class:`AnalysisError`) when the capture has no answer: no
    power above DC, too few samples for the window, a bit count out of range.
    """
    if isinstance(codes_or_spectrum, Spectrum):
        s = codes_or_spectrum
        if s.codes is None:
            raise ValueError("this spectrum holds no capture to measure; make it with spectrum()")
        codes_or_spectrum, bits, offset_binary, window = s.codes, s.bits, s.offset_binary, s.window
    m, _ = _analyse(codes_or_spectrum, bits, offset_binary, window, harmonics, fundamental_bin,
                    rate_hz, False)
    return m


def _envelope(x: np.ndarray, y: np.ndarray, columns: int):
    """Per column of bins the least and the greatest y, as steps: each column's first x with
    its values, and the last x closing the last column."""
    starts = np.linspace(0, y.size, columns + 1).astype(np.int64)[:-1]
    low, high = np.minimum.reduceat(y, starts), np.maximum.reduceat(y, starts)
    return np.append(x[starts], x[-1]), np.append(low, low[-1]), np.append(high, high[-1])


def spectrum_figure(codes: np.ndarray, bits: int = 16, offset_binary: Optional[bool] = None,
                    window: str = "blackmanharris", harmonics: int = 5,
                    title: str = "VRX5200 capture", rate_hz: Optional[float] = None,
                    size=(10, 5.5), dpi: int = 110):
    """The spectrum plot as a matplotlib Figure, and the metrics: ``(figure, metrics)``.

    The trace is the power spectrum scaled for tones (left axis, dBFS: a tone's marker reads
    the level in the metrics box); the right axis reads the same trace as noise power per bin
    in dBFS (the left axis less the window's ENBW), where the noise floor line reads the
    metrics' noise floor. A spectrum of more bins than the figure has pixel columns is drawn as
    the least-to-greatest envelope of each column. With ``rate_hz`` the x axis is in Hz, else
    in fractions of the sample rate.
    """
    from matplotlib.figure import Figure
    from matplotlib.ticker import EngFormatter

    # One analysis gives both the metrics and the spectrum drawn.
    m, power = _analyse(codes, bits, offset_binary, window, harmonics, None, rate_hz, True)
    s = Spectrum(power, m.n, bits, window, codes, code_format(codes, offset_binary))
    db = s.tone_dbfs()
    enbw_db = 10 * math.log10(s.enbw_bins)
    frequency = np.arange(db.size) * ((rate_hz or 1.0) / s.n)

    fig = Figure(figsize=size, dpi=dpi)
    ax = fig.add_subplot()
    columns = int(size[0] * dpi)
    if db.size > 2 * columns:
        x, low, high = _envelope(frequency, db, columns)
        ax.fill_between(x, low, high, step="post", color="#a6c8e6", linewidth=0)
        ax.step(x, high, where="post", color="tab:blue", linewidth=0.6)
    else:
        ax.plot(frequency, db, linewidth=0.6, color="tab:blue")
    ax.plot(frequency[m.fundamental_bin], db[m.fundamental_bin], "o", color="tab:red",
            label="fundamental")
    for i, (order, k) in enumerate(zip(m.harmonic_orders, m.harmonic_bins)):
        ax.plot(frequency[k], db[k], "v", color="tab:orange", label="harmonics" if i == 0 else None)
        ax.annotate(str(order), (frequency[k], db[k]), textcoords="offset points", xytext=(0, 6),
                    ha="center", fontsize=8)
    noise_line = m.noise_floor_dbfs + enbw_db
    if math.isfinite(noise_line):
        ax.axhline(noise_line, color="black", linestyle="--", linewidth=0.8, zorder=3,
                   label="noise floor (per bin, right axis)")
    if rate_hz:
        ax.xaxis.set_major_formatter(EngFormatter(unit="Hz"))
        ax.set_xlabel(f"frequency (sample rate {format_hz(rate_hz)})")
        ax.set_xlim(0, rate_hz / 2)
    else:
        ax.set_xlabel("frequency (fraction of the sample rate)")
        ax.set_xlim(0, 0.5)
    ax.set_ylabel("dBFS (tones)")
    right = ax.secondary_yaxis("right", functions=(lambda y: y - enbw_db, lambda y: y + enbw_db))
    right.set_ylabel(f"noise per bin (dBFS; window ENBW {s.enbw_bins:.2f} bins)")
    ax.set_title(f"{title}: {s.n} samples, {s.window} window")
    marks = [db[m.fundamental_bin]] + [db[k] for k in m.harmonic_bins]
    # Room below the noise for its usual dips; numerically empty bins (-387 dBFS) stay off scale.
    floor = noise_line if math.isfinite(noise_line) else float(np.median(db))
    bottom = min([floor - 40] + [y - 10 for y in marks])
    ax.set_ylim(max(bottom, -300), max(5.0, float(db[m.fundamental_bin]) + 5))
    ax.grid(True, linewidth=0.3)
    ax.legend(loc="upper right", fontsize=8)
    ax.text(0.985, 0.80, "\n".join(m.lines()), transform=ax.transAxes, fontsize=8,
            family="monospace", va="top", ha="right",
            bbox=dict(boxstyle="round", facecolor="white", alpha=0.85))
    fig.tight_layout()
    return fig, m


def plot_spectrum(codes: np.ndarray, path: str, bits: int = 16,
                  offset_binary: Optional[bool] = None, window: str = "blackmanharris",
                  harmonics: int = 5, title: str = "VRX5200 capture",
                  rate_hz: Optional[float] = None) -> Metrics:
    """Writes the spectrum plot of :func:`spectrum_figure` to ``path`` (PNG, or the format its
    extension names); returns the metrics. The plot replaces a file already at ``path`` only
    once it is written whole."""
    fig, m = spectrum_figure(codes, bits, offset_binary, window, harmonics, title, rate_hz)
    save_figure(fig, path)
    return m
