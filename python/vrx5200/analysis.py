"""Single-tone analysis of ADC captures, as IEEE Std 1241 defines the quantities.

The arithmetic is the measurement core's (``libvrx5200analysis.so``, :mod:`vrx5200.core`): from
raw codes (two's complement or offset binary, ``bits`` wide; full scale is the declared bit
count, never the record's peak) the fundamental is found as the largest component above DC (or
taken as given), fitted to the whole record in double precision and, by default (method 'fit'),
subtracted before the window, so that a tone between bins reads true in any window; the
harmonics are located where they alias to, and the rest of the windowed spectrum is noise. A
component's power is its fitted power plus its window's main lobe (1, 2, 4 or 7 bins each side
for the rectangular, Hann, 4-term and 7-term Blackman-Harris windows). The metrics:

* SNR  = 10 log10(P_signal / P_noise), the noise excluding DC and the harmonics, its power in
  the bins set aside for signal, DC and harmonics estimated from the average noise bin; beside
  it in dBFS, a full-scale sine's power over the noise;
* THD  = 10 log10(sum of harmonic powers / P_signal), in dBc;
* SINAD = 10 log10(P_signal / (P_noise + harmonic powers));
* SFDR = 10 log10(P_signal / P_spur), the spur the largest bin outside DC and the fundamental,
  its power its lobe's (a harmonic's when it lies in one), in dBc; the spur is named;
* ENOB = log2(FSR / (NAD_rms * sqrt(12))), FSR = 2**bits codes, NAD_rms the RMS of noise and
  distortion in codes;
* noise floor = the average noise power per bin relative to a full-scale sine, in dBFS; with the
  sample rate, the noise spectral density in dBFS/Hz.

A figure the core cannot stand behind is NaN (None in :meth:`Metrics.as_dict`) and a warning in
:attr:`Metrics.warnings` says why: a clipped record, samples beyond the declared bits, no tone or
one inside the DC lobe, harmonics folding onto the fundamental, leakage or the arithmetic's floor
reaching the noise, ENOB above the declared bits. Codes may be given as int16 values or uint16
raw codes (as :meth:`vrx5200.Board.capture` and :func:`vrx5200.load_capture` return them): only
their low ``bits`` bits count; float64 values are values in codes. Their format
(``offset_binary``) is, unless given, the one the array carries (:class:`vrx5200.CaptureArray`:
offset binary for a '<u2' .npy file or an offset-binary capture), else two's complement; so
``metrics(load_capture(path))`` gives the figures ``vrx5200 analyze path`` prints. Refusals
raise :class:`vrx5200.core.AnalysisError`, a ValueError.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Optional, Sequence

import numpy as np

from . import core
from ._files import code_format, save_figure
from .core import (AnalysisError, code_density, coherent_frequency, generate_pattern, sine_fit,
                   two_tone)

__all__ = ["Spectrum", "Metrics", "AnalysisError", "codes_to_values", "spectrum", "metrics",
           "averaged_metrics",
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
    return float(value) if value is not None and math.isfinite(value) else None


def _figure(value: float, unit: str) -> str:
    """A figure with two decimals and its unit, or "withheld" (as the tool prints it)."""
    return f"{value:.2f} {unit}" if value is not None and math.isfinite(value) else "withheld"


@dataclass
class Metrics:
    """The single-tone metrics, with the warnings of the analysis.

    A figure the core cannot stand behind (a clipped or toneless record, a harmonic folding onto
    the fundamental, noise at the arithmetic's floor, ...) is NaN, and :attr:`warnings` (a list
    of ``{"code", "message"}``) says why; the fundamental's bin is None when no tone was found.
    ``thd_dbc`` is NaN when no harmonic falls clear of DC and the fundamental; ``rate_hz`` (when
    known) gives the frequencies in Hz and ``nsd_dbfs_hz``. ``worst_spur_kind`` is "harmonic"
    (of order ``worst_spur_order``) or "other". ``method`` is "fit" (the tone fitted and
    subtracted before the window, the default) or "spectrum". :meth:`as_dict` and :meth:`lines`
    give the keys and lines of ``vrx5200 analyze`` (``--json`` and text) to the digit."""

    fundamental_bin: Optional[int]
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
    worst_spur_bin: Optional[int] = 0
    worst_spur_kind: Optional[str] = "other"
    worst_spur_order: Optional[int] = 0
    worst_spur_cycles: float = 0.0
    noise_dbfs: float = math.nan
    nsd_dbfs_hz: Optional[float] = None
    dc_codes: float = 0.0
    window: str = "blackmanharris"
    lobe_half_width: int = 0
    bits: int = 16
    offset_binary: bool = False
    method: str = "fit"
    records: int = 1
    snr_dbfs: float = math.nan
    worst_spur_dbfs: float = math.nan
    worst_spur_tone: Optional[str] = None
    clipped_samples: int = 0
    out_of_range_samples: int = 0
    harmonics: list = field(default_factory=list)  # every order located, as in as_dict()
    band: dict = field(default_factory=dict)
    band_given: bool = False
    thd_measured: bool = False
    tones: list = field(default_factory=list)
    warnings: list = field(default_factory=list)

    @property
    def enob_bits(self) -> float:
        return self.enob

    def _hz(self, cycles: Optional[float]) -> Optional[float]:
        if self.rate_hz is None or not self.n or cycles is None or not math.isfinite(cycles):
            return None
        return cycles * self.rate_hz / self.n

    @property
    def fundamental_hz(self) -> Optional[float]:
        """The fundamental's fitted frequency in Hz (None without a rate or a tone)."""
        return self._hz(self.fundamental_cycles) if self.fundamental_bin is not None else None

    @property
    def worst_spur_hz(self) -> Optional[float]:
        return self._hz(self.worst_spur_cycles) if self.worst_spur_bin is not None else None

    def lines(self) -> list:
        """The figures in lines, as ``vrx5200 analyze`` prints them after its file line."""
        out = [f"method: {self.method}, {self.window} window"]
        if self.fundamental_bin is not None:
            where = f"bin {self.fundamental_bin}"
            if self.fundamental_hz is not None:
                where += f" ({format_hz(self.fundamental_hz)})"
            out.append(f"fundamental: {where}, {_figure(self.fundamental_dbfs, 'dBFS')}")
        else:
            out.append("fundamental: withheld")
        snr = f"SNR:   {_figure(self.snr_db, 'dB')}"
        if math.isfinite(self.snr_dbfs):
            snr += f" ({_figure(self.snr_dbfs, 'dBFS')})"
        out.append(snr)
        out.append(f"SINAD: {_figure(self.sinad_db, 'dB')}")
        sfdr = f"SFDR:  {_figure(self.sfdr_dbc, 'dBc')}"
        if self.worst_spur_bin is not None:
            sfdr += f" (worst spur: bin {self.worst_spur_bin}"
            if self.worst_spur_hz is not None:
                sfdr += f", {format_hz(self.worst_spur_hz)}"
            if self.worst_spur_tone is not None:
                sfdr += f", tone {self.worst_spur_tone}"
            elif self.worst_spur_kind == "harmonic":
                sfdr += f", harmonic {self.worst_spur_order}"
            else:
                sfdr += ", not a harmonic"
            sfdr += ")"
        out.append(sfdr)
        out.append("THD:   " + ("n/a (no harmonic clear)"
                                if self.fundamental_bin is not None and not self.thd_measured
                                else _figure(self.thd_dbc, "dBc")))
        out.append(f"ENOB:  {_figure(self.enob, 'bits')}")
        out.append(f"noise floor: {_figure(self.noise_floor_dbfs, 'dBFS per bin')}")
        if self.rate_hz is not None:
            out.append(f"noise spectral density: {_figure(self.nsd_dbfs_hz, 'dBFS/Hz')}")
        if self.band_given:
            low, high = self.band["low_cycles"], self.band["high_cycles"]
            band = f"band: bins {low:.6g} to {high:.6g}"
            if self.rate_hz is not None:
                band += f" ({format_hz(self._hz(low))} to {format_hz(self._hz(high))})"
            out.append(band)
        for t in self.tones:
            line = f"tone {t['name']}: "
            if any(w["code"] == "uneven_samples" for w in self.warnings):
                line += "withheld"
            elif not t["counted"]:
                line += "not measured (in the lobe of DC or the fundamental, or outside the band)"
            else:
                line += f"bin {t['bin']}"
                if self.rate_hz is not None:
                    line += f" ({format_hz(self._hz(t['cycles']))})"
                line += (f", {_figure(t['power_dbfs'], 'dBFS')}, "
                         f"{_figure(t['level_dbc'], 'dBc')}")
            if t["action"] == "exclude":
                line += ", excluded"
            out.append(line)
        return out

    def as_dict(self) -> dict:
        """The metrics under the keys of ``vrx5200 analyze --json`` (but ``file``): every key
        present, None where a figure is withheld or does not apply (Hz without a rate)."""
        tone = self.fundamental_bin is not None
        spur = self.worst_spur_bin is not None
        return {
            "samples": self.n, "records": self.records, "bits": self.bits,
            "offset_binary": self.offset_binary, "window": self.window, "method": self.method,
            "rate_hz": _number(self.rate_hz),
            "fundamental_bin": self.fundamental_bin,
            "fundamental_cycles": _number(self.fundamental_cycles) if tone else None,
            "fundamental_hz": self.fundamental_hz,
            "fundamental_dbfs": _number(self.fundamental_dbfs),
            "snr_db": _number(self.snr_db), "snr_dbfs": _number(self.snr_dbfs),
            "sinad_db": _number(self.sinad_db), "sfdr_dbc": _number(self.sfdr_dbc),
            "thd_dbc": _number(self.thd_dbc), "enob": _number(self.enob),
            "enob_bits": _number(self.enob), "noise_floor_dbfs": _number(self.noise_floor_dbfs),
            "noise_dbfs": _number(self.noise_dbfs), "nsd_dbfs_hz": _number(self.nsd_dbfs_hz),
            "dc_codes": _number(self.dc_codes), "clipped_samples": self.clipped_samples,
            "out_of_range_samples": self.out_of_range_samples,
            "worst_spur": {"bin": self.worst_spur_bin,
                           "cycles": _number(self.worst_spur_cycles) if spur else None,
                           "frequency_hz": self.worst_spur_hz,
                           "dbfs": _number(self.worst_spur_dbfs) if spur else None,
                           "kind": self.worst_spur_kind, "order": self.worst_spur_order,
                           "tone": self.worst_spur_tone},
            "worst_spur_hz": self.worst_spur_hz,
            "worst_spur_dbfs": _number(self.worst_spur_dbfs) if spur else None,
            "harmonics": [dict(h) for h in self.harmonics],
            "band": dict(self.band),
            "tones": [dict(t) for t in self.tones],
            "warnings": [dict(w) for w in self.warnings],
        }


def _metrics_of(r, q, n: int, bits: int, offset_binary: bool, window: str, harmonics: int,
                rate_hz: Optional[float], options, names=()) -> Metrics:
    """Metrics from the core's single-tone records (result and quality)."""
    m = Metrics(fundamental_bin=None, fundamental_dbfs=r.fundamental_dbfs, snr_db=r.snr_db,
                sinad_db=r.sinad_db, sfdr_dbc=r.sfdr_dbc, thd_dbc=math.nan, enob=r.enob_bits,
                noise_floor_dbfs=r.noise_floor_dbfs, n=n,
                rate_hz=float(rate_hz) if rate_hz else None, bits=bits,
                offset_binary=bool(offset_binary), window=window,
                method="spectrum" if q.method == core.METHODS["spectrum"] else "fit",
                records=int(q.records), snr_dbfs=q.snr_dbfs, noise_dbfs=r.noise_dbfs,
                dc_codes=r.dc_codes, lobe_half_width=r.lobe_half_width,
                clipped_samples=int(q.clipped_samples),
                out_of_range_samples=int(q.out_of_range_samples),
                warnings=core.warnings_of(q.warnings))
    m.nsd_dbfs_hz = r.nsd_dbfs_hz if m.rate_hz is not None else None
    tone = math.isfinite(r.fundamental_dbfs)
    if tone:
        m.fundamental_bin = int(r.tones[0].bin)
        m.fundamental_cycles = r.tones[0].cycles
        m.thd_dbc = r.thd_dbc if r.thd_measured else math.nan
        m.thd_measured = bool(r.thd_measured)
    spur = tone and math.isfinite(r.worst_spur_dbfs)
    m.worst_spur_bin = int(r.worst_spur_bin) if spur else None
    m.worst_spur_cycles = r.worst_spur_cycles if spur else math.nan
    m.worst_spur_dbfs = r.worst_spur_dbfs if spur else math.nan
    m.worst_spur_kind = ("harmonic" if r.worst_spur_kind == 1 else "other") if spur else None
    m.worst_spur_order = int(r.worst_spur_order) if spur else None

    def name(i):
        return names[i] if i < len(names) else f"tone {i + 1}"

    m.worst_spur_tone = name(q.worst_spur_named - 1) if spur and q.worst_spur_named > 0 else None
    for h in range(2, min(harmonics, 25) + 1):
        t = r.tones[h - 1]
        if t.order != h:
            continue
        counted = bool(t.counted)
        m.harmonics.append({"order": h, "bin": int(t.bin), "cycles": _number(t.cycles),
                            "frequency_hz": m._hz(t.cycles), "counted": counted,
                            "level_dbc": _number(t.level_dbc) if counted else None,
                            "power_dbfs": _number(t.power_dbfs) if counted else None})
        if counted and tone and r.thd_measured:
            m.harmonic_orders.append(h)
            m.harmonic_bins.append(int(t.bin))
            m.harmonic_dbc.append(t.level_dbc)
    m.band = {"low_cycles": _number(q.band_low_cycles), "high_cycles": _number(q.band_high_cycles),
              "low_hz": m._hz(q.band_low_cycles), "high_hz": m._hz(q.band_high_cycles),
              "bins": int(q.band_bins)}
    m.band_given = options is not None and (options.band_low_cycles != 0
                                            or options.band_high_cycles != 0)
    for i in range(min(q.named_count, core.MAX_NAMED_TONES)):
        t = q.named[i]
        counted = bool(t.counted)
        m.tones.append({"name": name(i),
                        "action": "exclude" if options.named[i].action == 1 else "identify",
                        "bin": int(t.bin), "cycles": _number(t.cycles),
                        "frequency_hz": m._hz(t.cycles), "counted": counted,
                        "power_dbfs": _number(t.power_dbfs) if counted else None,
                        "level_dbc": _number(t.level_dbc) if counted else None})
    return m


def _options(method, band, tones):
    """The core's options of metrics()' arguments, and the named tones' names."""
    tones = list(tones or ())
    options = core.tone_options(method, band, [(t[1], t[2] if len(t) > 2 else "identify")
                                               for t in tones])
    return options, [str(t[0]) for t in tones]


def _evenly_spaced(codes, told: Optional[bool]) -> bool:
    """As told, else as a :class:`CaptureArray` says (a recording of a lane list that reorders
    lanes or keeps them unevenly is not), else evenly spaced."""
    return bool(told) if told is not None else bool(getattr(codes, "evenly_spaced", True))


def _analyse(codes, bits, offset_binary, window, harmonics, fundamental_bin, rate_hz,
             with_spectrum, method=None, band=None, tones=(), evenly_spaced=None):
    _check_bits(bits)
    offset_binary = code_format(codes, offset_binary)
    if rate_hz is None:  # a recording's rate, as load_capture() read it
        rate_hz = getattr(codes, "sample_rate", None)
    if rate_hz is not None and not (math.isfinite(rate_hz) and rate_hz > 0):
        raise ValueError(f"the sample rate must be a positive number of Hz, not {rate_hz}")
    options, names = _options(method, band, tones)
    r, q, power = core.tone_analysis(codes, bits, offset_binary, window, harmonics, rate_hz,
                                     fundamental_bin, options, spectrum=with_spectrum)
    if not _evenly_spaced(codes, evenly_spaced):
        core.withhold_spectral(r, q)
    m = _metrics_of(r, q, int(r.samples), bits, offset_binary, window, harmonics, rate_hz,
                    options, names)
    return m, power


def metrics(codes_or_spectrum, bits: int = 16, offset_binary: Optional[bool] = None,
            window: str = "blackmanharris", harmonics: int = 5,
            fundamental_bin: Optional[float] = None, rate_hz: Optional[float] = None,
            method: Optional[str] = None, band: Optional[tuple] = None,
            tones: Sequence[tuple] = (), evenly_spaced: Optional[bool] = None) -> Metrics:
    """The single-tone metrics of a capture (or of the capture behind a :class:`Spectrum`,
    with its bits, code format and window), with their warnings.

    ``harmonics`` is the highest harmonic order counted (2 to 25); ``fundamental_bin`` the
    fundamental in cycles per record when it is known; ``rate_hz`` the sample rate, for
    frequencies in Hz (by default a recording's, as :func:`vrx5200.load_capture` gives it);
    ``method`` 'fit' (default: the tone fitted and subtracted, true between
    bins) or 'spectrum'; ``band`` (low, high) in cycles per record; ``tones`` named tones,
    ``(name, cycles)`` or ``(name, cycles, 'exclude')``; ``evenly_spaced`` False for samples
    not evenly spaced in time (a lane list that reorders lanes or keeps them unevenly; by
    default as a recording says, through :func:`vrx5200.load_capture`): every spectral figure
    is then withheld with the warning ``uneven_samples``. ValueError (:class:`AnalysisError`)
    when the capture has no answer: a constant record, too few samples for the window, a bit
    count out of range.
    """
    if isinstance(codes_or_spectrum, Spectrum):
        s = codes_or_spectrum
        if s.codes is None:
            raise ValueError("this spectrum holds no capture to measure; make it with spectrum()")
        codes_or_spectrum, bits, offset_binary, window = s.codes, s.bits, s.offset_binary, s.window
    m, _ = _analyse(codes_or_spectrum, bits, offset_binary, window, harmonics, fundamental_bin,
                    rate_hz, False, method, band, tones, evenly_spaced)
    return m


def averaged_metrics(records, bits: int = 16, offset_binary: Optional[bool] = None,
                     window: str = "blackmanharris", harmonics: int = 5,
                     fundamental_bin: Optional[float] = None, rate_hz: Optional[float] = None,
                     method: Optional[str] = None, band: Optional[tuple] = None,
                     tones: Sequence[tuple] = (), evenly_spaced: Optional[bool] = None) -> Metrics:
    """The metrics of records of one length with their spectra averaged (the noise floor and
    the spurs averaged: their scatter falls as the square root of the records), as
    ``vrx5200 analyze --average`` gives them; the arguments as :func:`metrics` takes them."""
    _check_bits(bits)
    records = list(records)
    if not records:
        raise ValueError("no records to average")
    offset_binary = code_format(records[0], offset_binary)
    options, names = _options(method, band, tones)
    r, q = core.average(records, bits, offset_binary, window, harmonics, rate_hz,
                        fundamental_bin, options)
    if not all(_evenly_spaced(x, evenly_spaced) for x in records):
        core.withhold_spectral(r, q)
    return _metrics_of(r, q, int(r.samples), bits, offset_binary, window, harmonics, rate_hz,
                       options, names)


def _envelope(x: np.ndarray, y: np.ndarray, columns: int):
    """Per column of bins the least and the greatest y, as steps: each column's first x with
    its values, and the last x closing the last column."""
    starts = np.linspace(0, y.size, columns + 1).astype(np.int64)[:-1]
    low, high = np.minimum.reduceat(y, starts), np.maximum.reduceat(y, starts)
    return np.append(x[starts], x[-1]), np.append(low, low[-1]), np.append(high, high[-1])


def spectrum_figure(codes: np.ndarray, bits: int = 16, offset_binary: Optional[bool] = None,
                    window: str = "blackmanharris", harmonics: int = 5,
                    title: str = "VRX5200 capture", rate_hz: Optional[float] = None,
                    size=(10, 5.5), dpi: int = 110, fundamental_bin: Optional[float] = None,
                    method: Optional[str] = None, band: Optional[tuple] = None,
                    tones: Sequence[tuple] = (), evenly_spaced: Optional[bool] = None):
    """The spectrum plot as a matplotlib Figure, and the metrics: ``(figure, metrics)``.

    The trace is the power spectrum scaled for tones (left axis, dBFS: a tone's marker reads
    the level in the metrics box); the right axis reads the same trace as noise power per bin
    in dBFS (the left axis less the window's ENBW), where the noise floor line reads the
    metrics' noise floor. A spectrum of more bins than the figure has pixel columns is drawn as
    the least-to-greatest envelope of each column. With ``rate_hz`` the x axis is in Hz, else
    in fractions of the sample rate. The other arguments are :func:`metrics`'.
    """
    from matplotlib.figure import Figure
    from matplotlib.ticker import EngFormatter

    if not _evenly_spaced(codes, evenly_spaced):  # refused: no spectrum to stand behind
        why = core.warnings_of(core.WARN_UNEVEN_SAMPLES)[0]["message"]
        raise ValueError(f"no spectrum to draw: {why}")
    # One analysis gives both the metrics and the spectrum drawn.
    m, power = _analyse(codes, bits, offset_binary, window, harmonics, fundamental_bin, rate_hz,
                        True, method, band, tones)
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
    tone = m.fundamental_bin is not None  # withheld: no tone to mark
    if tone:
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
    marks = ([db[m.fundamental_bin]] if tone else []) + [db[k] for k in m.harmonic_bins]
    # Room below the noise for its usual dips; numerically empty bins (-387 dBFS) stay off scale.
    floor = noise_line if math.isfinite(noise_line) else float(np.median(db))
    bottom = min([floor - 40] + [y - 10 for y in marks])
    ax.set_ylim(max(bottom, -300), max([5.0] + [float(y) + 5 for y in marks]))
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
