"""The measurement core (``libvrx5200analysis.so``) through ctypes.

The C library does the arithmetic: windowed power spectra, the IEEE Std 1241 single-tone and
two-tone figures, sine fits, the code-density test, coherent frequencies and DAC patterns (IEEE
Std 1658 terms). This module hands it numpy arrays without copying them (C-contiguous int16,
uint16 or float64 arrays are passed as they are; anything else is converted once) and turns its
records into Python objects. Every refusal raises :class:`AnalysisError`, a ValueError naming the
core's result code and what it means.

``offset_binary`` (the codes' format) defaults to the array's own: offset binary for a
:class:`vrx5200.CaptureArray` that says so (a '<u2' .npy file read by
:func:`vrx5200.load_capture`, an offset-binary capture), else two's complement.

The library is looked for as the board library is (:func:`vrx5200.load_library`): in
``VRX5200_LIBRARY_DIR``, beside the package, by the system's search, and in a source checkout's
``build/``. Analyzers (the transform's plan and work memory for one record length) are kept per
thread and reused.
"""

from __future__ import annotations

import ctypes
import math
import os
import threading
from dataclasses import dataclass, field
from typing import Optional, Sequence

import numpy as np

from ._files import code_format

__all__ = ["AnalysisError", "WINDOWS", "METHODS", "SHAPES", "load_analysis_library",
           "window_info", "power_spectrum", "single_tone", "tone_analysis", "average",
           "warnings_of", "two_tone", "sine_fit", "code_density", "linearity",
           "coherent_frequency", "generate_pattern", "TwoTone", "SineFit", "CodeDensity",
           "Linearity", "Pattern"]

LIBRARY_NAME = "libvrx5200analysis.so"
VERSION = 1  # the record layout this module mirrors (VRX5200_ANALYSIS_VERSION)

# Window names and their numbers in the core; 'blackmanharris' is the 4-term window.
WINDOWS = {"rectangular": 0, "hann": 1, "blackmanharris": 2, "blackmanharris7": 3}
# Single-tone methods (the tool's --method): the tone fitted and subtracted before the window
# (the default), or the windowed spectrum of the record as it is.
METHODS = {"fit": 2, "spectrum": 1}
# What a named tone's lobe is for: measured and named, kept in (identify) or taken out of
# (exclude) the noise and the spurs.
TONE_ACTIONS = {"identify": 0, "exclude": 1}
# The input's shape for the code-density test; auto: detected from the histogram.
SHAPES = {"auto": 0, "sine": 1, "ramp": 2}
MAX_NAMED_TONES = 16
WARN_ENOB_ABOVE_BITS = 1 << 7
WARN_UNEVEN_SAMPLES = 1 << 11  # set by front ends from a capture's lane list
WARN_ALL = 0xFFF
_SAMPLES = {np.dtype(np.int16): 0, np.dtype(np.uint16): 1, np.dtype(np.float64): 2}
_KINDS = {"tone": 0, "multitone": 1, "ramp": 2, "noise": 3}
_PHASES = {"schroeder": 0, "newman": 1}

_i32, _u32, _u64, _f64 = ctypes.c_int32, ctypes.c_uint32, ctypes.c_uint64, ctypes.c_double


class AnalysisError(ValueError):
    """The core refused an analysis. ``code`` is its result code, ``meaning`` what the code
    means."""

    def __init__(self, what: str, code: int, meaning: str):
        self.what = what
        self.code = code
        self.meaning = meaning
        super().__init__(f"{what}: {meaning} (analysis result {code})")


class WindowInfo(ctypes.Structure):
    _fields_ = [("version", _u32), ("lobe_half_width_bins", _i32), ("coherent_gain", _f64),
                ("enbw_bins", _f64), ("peak_side_lobe_db", _f64)]


class ToneConfig(ctypes.Structure):
    _fields_ = [("bits", _i32), ("code_format", _i32), ("window", _i32), ("harmonics", _i32),
                ("lobe_half_width", _i32), ("reserved", _i32), ("rate_hz", _f64),
                ("fundamental_cycles", _f64)]


class ToneRecord(ctypes.Structure):
    _fields_ = [("order", _i32), ("counted", _i32), ("bin", _u64), ("cycles", _f64),
                ("frequency_hz", _f64), ("power_dbfs", _f64), ("level_dbc", _f64)]


class ToneResult(ctypes.Structure):
    _fields_ = [("version", _u32), ("harmonics_counted", _i32), ("samples", _u64),
                ("window", _i32), ("lobe_half_width", _i32), ("enbw_bins", _f64),
                ("coherent_gain", _f64), ("fundamental_dbfs", _f64),
                ("fundamental_amplitude_codes", _f64), ("snr_db", _f64), ("sinad_db", _f64),
                ("thd_dbc", _f64), ("thd_measured", _i32), ("worst_spur_kind", _i32),
                ("worst_spur_order", _i32), ("reserved", _i32), ("worst_spur_bin", _u64),
                ("worst_spur_cycles", _f64), ("worst_spur_hz", _f64), ("worst_spur_dbfs", _f64),
                ("sfdr_dbc", _f64), ("enob_bits", _f64), ("noise_dbfs", _f64),
                ("noise_floor_dbfs", _f64), ("nsd_dbfs_hz", _f64), ("dc_codes", _f64),
                ("noise_bins", _u64), ("tones", ToneRecord * 25)]


class TwoToneConfig(ctypes.Structure):
    _fields_ = [("bits", _i32), ("code_format", _i32), ("window", _i32), ("lobe_half_width", _i32),
                ("rate_hz", _f64), ("tone1_cycles", _f64), ("tone2_cycles", _f64)]


class TwoToneResult(ctypes.Structure):
    _fields_ = [("version", _u32), ("lobe_half_width", _i32), ("samples", _u64),
                ("tones", ToneRecord * 2), ("products", ToneRecord * 6), ("imd2_dbc", _f64),
                ("imd3_dbc", _f64), ("imd2_measured", _i32), ("imd3_measured", _i32),
                ("noise_floor_dbfs", _f64)]


class FitConfig(ctypes.Structure):
    _fields_ = [("bits", _i32), ("code_format", _i32), ("parameters", _i32),
                ("max_iterations", _i32), ("rate_hz", _f64), ("frequency_cycles", _f64)]


class FitResult(ctypes.Structure):
    _fields_ = [("version", _u32), ("iterations", _i32), ("samples", _u64),
                ("amplitude_codes", _f64), ("frequency_cycles", _f64), ("frequency_hz", _f64),
                ("phase_rad", _f64), ("offset_codes", _f64), ("residual_rms_codes", _f64),
                ("sinad_db", _f64), ("enob_bits", _f64)]


class CodeDensityResult(ctypes.Structure):
    _fields_ = [("version", _u32), ("bits", _i32), ("samples", _u64), ("first_code", _u32),
                ("last_code", _u32), ("missing_codes", _u32), ("reserved", _u32),
                ("dnl_min_lsb", _f64), ("dnl_max_lsb", _f64), ("inl_min_lsb", _f64),
                ("inl_max_lsb", _f64)]


class NamedTone(ctypes.Structure):
    _fields_ = [("cycles", _f64), ("action", _i32), ("reserved", _i32)]


class ToneOptions(ctypes.Structure):
    _fields_ = [("version", _u32), ("method", _i32), ("band_low_cycles", _f64),
                ("band_high_cycles", _f64), ("named_count", _u32), ("reserved", _u32),
                ("named", NamedTone * 16)]


class ToneQuality(ctypes.Structure):
    _fields_ = [("version", _u32), ("warnings", _u32), ("method", _i32),
                ("harmonics_subtracted", _i32), ("records", _u64), ("clipped_samples", _u64),
                ("out_of_range_samples", _u64), ("snr_dbfs", _f64), ("fit_amplitude_codes", _f64),
                ("fit_cycles", _f64), ("fit_phase_rad", _f64), ("fit_offset_codes", _f64),
                ("floor_dbfs", _f64), ("leakage_dbfs", _f64), ("band_low_cycles", _f64),
                ("band_high_cycles", _f64), ("band_bins", _u64), ("worst_spur_named", _i32),
                ("named_count", _u32), ("named", ToneRecord * 16)]


class LinearityResult(ctypes.Structure):
    _fields_ = [("version", _u32), ("bits", _i32), ("samples", _u64), ("shape", _i32),
                ("warnings", _u32), ("first_code", _u32), ("last_code", _u32),
                ("missing_codes", _u32), ("reserved", _u32), ("out_of_range_samples", _u64),
                ("dnl_min_lsb", _f64), ("dnl_max_lsb", _f64), ("inl_end_point_min_lsb", _f64),
                ("inl_end_point_max_lsb", _f64), ("inl_best_fit_min_lsb", _f64),
                ("inl_best_fit_max_lsb", _f64), ("sine_fit_rms_lsb", _f64),
                ("ramp_fit_rms_lsb", _f64)]


class SignalConfig(ctypes.Structure):
    _fields_ = [("kind", _i32), ("bits", _i32), ("code_format", _i32), ("phases", _i32),
                ("amplitude_dbfs", _f64), ("phase_rad", _f64), ("cycles", _u64),
                ("tone_cycles", ctypes.POINTER(_u64)), ("tone_count", _u32), ("reserved", _u32),
                ("seed", _u64)]


class SignalResult(ctypes.Structure):
    _fields_ = [("version", _u32), ("reserved", _u32), ("words", _u64), ("clipped", _u64),
                ("peak_codes", _f64), ("rms_codes", _f64), ("crest_factor_db", _f64),
                ("tone_dbfs", _f64)]


# The C records' sizes (x86-64 and every other LP64 or ILP32 ABI with 8-byte-aligned doubles).
_SIZES = {WindowInfo: 32, ToneConfig: 40, ToneRecord: 48, ToneResult: 1384, TwoToneConfig: 40,
          TwoToneResult: 432, FitConfig: 32, FitResult: 80, CodeDensityResult: 64,
          SignalConfig: 64, SignalResult: 56, NamedTone: 16, ToneOptions: 288, ToneQuality: 896,
          LinearityResult: 112}

_vp = ctypes.c_void_p
_SIGNATURES = {
    "Window_Info": (_i32, [_i32, ctypes.POINTER(WindowInfo)]),
    "Create": (_i32, [_u64, _i32, ctypes.POINTER(_vp)]),
    "Destroy": (None, [_vp]),
    "Single_Tone": (_i32, [_vp, _vp, _i32, _u64, ToneConfig, ctypes.POINTER(ToneResult), _vp]),
    "Power_Spectrum": (_i32, [_vp, _vp, _i32, _u64, ToneConfig, _vp]),
    "Two_Tone": (_i32, [_vp, _vp, _i32, _u64, TwoToneConfig, ctypes.POINTER(TwoToneResult)]),
    "Sine_Fit": (_i32, [_vp, _i32, _u64, FitConfig, ctypes.POINTER(FitResult)]),
    "Code_Density": (_i32, [_vp, _i32, _u64, _i32, _i32, _vp, _vp,
                            ctypes.POINTER(CodeDensityResult)]),
    "Coherent_Frequency": (_i32, [_f64, _u64, _f64, ctypes.POINTER(_u64), ctypes.POINTER(_f64)]),
    "Generate": (_i32, [SignalConfig, _vp, _u64, ctypes.POINTER(SignalResult)]),
    "Generate_File": (_i32, [SignalConfig, ctypes.c_char_p, _u64, ctypes.POINTER(SignalResult)]),
    "Single_Tone_Ex": (_i32, [_vp, _vp, _i32, _u64, ctypes.POINTER(ToneConfig),
                              ctypes.POINTER(ToneOptions), ctypes.POINTER(ToneResult),
                              ctypes.POINTER(ToneQuality), _vp]),
    "Average_Create": (_i32, [_u64, ctypes.POINTER(ToneConfig), ctypes.POINTER(ToneOptions), _i32,
                              ctypes.POINTER(_vp)]),
    "Average_Add": (_i32, [_vp, _vp, _i32, _u64]),
    "Average_Result": (_i32, [_vp, ctypes.POINTER(ToneResult), ctypes.POINTER(ToneQuality), _vp]),
    "Average_Destroy": (None, [_vp]),
    "Histogram_Create": (_i32, [_i32, _i32, ctypes.POINTER(_vp)]),
    "Histogram_Add": (_i32, [_vp, _vp, _i32, _u64]),
    "Linearity": (_i32, [_vp, _i32, _vp, _vp, _vp, ctypes.POINTER(LinearityResult)]),
    "Histogram_Destroy": (None, [_vp]),
    "Warning_Code": (ctypes.c_char_p, [_u32]),
    "Warning_Text": (ctypes.c_char_p, [_u32]),
    "Result_Text": (ctypes.c_char_p, [_i32]),
    "Version": (_u32, []),
}

_library: Optional[ctypes.CDLL] = None
_library_lock = threading.Lock()


def load_analysis_library(path: Optional[str] = None) -> ctypes.CDLL:
    """The measurement core, loaded once per process: from ``path`` when given, else from
    ``VRX5200_LIBRARY_DIR``, beside the package, the system's search, or a source checkout's
    ``build/``. OSError when it is not found or is of another record layout."""
    global _library
    with _library_lock:
        if _library is not None and path is None:
            return _library
        from . import _open_library

        lib = _open_library(LIBRARY_NAME, path)
        for name, (restype, argtypes) in _SIGNATURES.items():
            function = getattr(lib, "VRX5200Analysis_" + name)
            function.restype = restype
            function.argtypes = argtypes
        version = lib.VRX5200Analysis_Version()
        if version != VERSION:
            raise OSError(f"{LIBRARY_NAME} has record layout {version}; this package reads "
                          f"layout {VERSION}")
        for structure, size in _SIZES.items():
            assert ctypes.sizeof(structure) == size, structure
        if path is None:
            _library = lib
        return lib


def _lib() -> ctypes.CDLL:
    return _library if _library is not None else load_analysis_library()


def _check(what: str, code: int) -> None:
    if code != 0:
        meaning = _lib().VRX5200Analysis_Result_Text(code).decode()
        raise AnalysisError(what, code, meaning)


def _samples(codes) -> tuple:
    """The array the core reads, its sample type and length: int16, uint16 and float64 arrays as
    they are (made contiguous only when they are not), other integers as their low 16 bits, other
    numbers as float64."""
    array = np.asarray(codes)
    if array.ndim != 1:
        raise ValueError(f"a capture is a 1-D array of samples, not of shape {array.shape}")
    if array.dtype not in _SAMPLES:
        if array.dtype.kind in "iu":
            array = array.astype(np.int64) & 0xFFFF
            array = array.astype(np.uint16)
        elif array.dtype.kind in "fb":
            array = array.astype(np.float64)
        else:
            raise ValueError(f"samples must be numbers, not {array.dtype}")
    array = np.ascontiguousarray(array)
    return array, _SAMPLES[array.dtype], array.size


def _integer(value, what: str) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{what} must be an integer, not {value!r}")
    return int(value)


def _window(window: str) -> int:
    if window not in WINDOWS:
        raise ValueError(f"unknown window {window!r} (one of {', '.join(WINDOWS)})")
    return WINDOWS[window]


def _rate(rate_hz: Optional[float]) -> float:
    return 0.0 if rate_hz is None else float(rate_hz)


class _Analyzer:
    """An analyzer of the core for one record length, freed with the object."""

    def __init__(self, n: int):
        self.lib = _lib()
        self.n = n
        self.handle = ctypes.c_void_p()
        code = self.lib.VRX5200Analysis_Create(n, 0, ctypes.byref(self.handle))
        _check(f"analyzer for {n} samples", code)

    def __del__(self):
        if getattr(self, "handle", None) and self.handle.value:
            self.lib.VRX5200Analysis_Destroy(self.handle)
            self.handle = ctypes.c_void_p()


_local = threading.local()


def _analyzer(n: int) -> _Analyzer:
    """This thread's analyzer for n samples (the two lengths used last are kept)."""
    kept = getattr(_local, "analyzers", None)
    if kept is None:
        kept = _local.analyzers = []
    for a in kept:
        if a.n == n:
            return a
    a = _Analyzer(n)
    kept.insert(0, a)
    del kept[2:]
    return a


def window_info(window: str) -> WindowInfo:
    """A window's lobe half-width, coherent gain, ENBW and highest side lobe."""
    info = WindowInfo()
    code = _lib().VRX5200Analysis_Window_Info(_window(window), ctypes.byref(info))
    _check(f"window {window}", code)
    return info


def _tone_config(bits, offset_binary, window, harmonics=5, rate_hz=None, fundamental_cycles=None,
                 lobe_half_width=0) -> ToneConfig:
    return ToneConfig(bits=_integer(bits, "bits"), code_format=1 if offset_binary else 0,
                      window=_window(window), harmonics=_integer(harmonics, "harmonics"),
                      lobe_half_width=_integer(lobe_half_width, "lobe_half_width"),
                      rate_hz=_rate(rate_hz),
                      fundamental_cycles=float(fundamental_cycles or 0.0))


def power_spectrum(codes, bits: int = 16, offset_binary: Optional[bool] = None,
                   window: str = "blackmanharris", out: Optional[np.ndarray] = None) -> np.ndarray:
    """The one-sided windowed power spectrum (n//2 + 1 bins, codes squared per bin, the bins
    summing to the record's power). ``out``: a C-contiguous float64 array to fill."""
    array, kind, n = _samples(codes)
    out = _spectrum_out(out, n)
    config = _tone_config(bits, code_format(codes, offset_binary), window)
    analyzer = _analyzer(n) if n >= 16 else None
    _check(f"spectrum of {n} samples", _lib().VRX5200Analysis_Power_Spectrum(
        analyzer.handle if analyzer else None, array.ctypes.data, kind, n, config, out.ctypes.data))
    return out


def _spectrum_out(out: Optional[np.ndarray], n: int) -> np.ndarray:
    if out is None:
        return np.empty(n // 2 + 1)
    if out.dtype != np.float64 or not out.flags.c_contiguous or out.size < n // 2 + 1:
        raise ValueError(f"out must be a C-contiguous float64 array of {n // 2 + 1} or more")
    return out


def single_tone(codes, bits: int = 16, offset_binary: Optional[bool] = None,
                window: str = "blackmanharris", harmonics: int = 5,
                rate_hz: Optional[float] = None, fundamental_cycles: Optional[float] = None,
                lobe_half_width: int = 0, spectrum: bool = False) -> tuple:
    """The core's single-tone record (:class:`ToneResult`), and the power spectrum when
    ``spectrum`` is true (else None): ``(result, power)``."""
    array, kind, n = _samples(codes)
    config = _tone_config(bits, code_format(codes, offset_binary), window, harmonics, rate_hz,
                          fundamental_cycles, lobe_half_width)
    power = np.empty(n // 2 + 1) if spectrum else None
    result = ToneResult()
    analyzer = _analyzer(n) if n >= 16 else None
    _check(f"single-tone analysis of {n} samples (bits {config.bits}, {window} window)",
           _lib().VRX5200Analysis_Single_Tone(
               analyzer.handle if analyzer else None, array.ctypes.data, kind, n, config,
               ctypes.byref(result), power.ctypes.data if power is not None else None))
    return result, power


def _record(r: ToneRecord, rate_hz) -> dict:
    out = {"order": r.order, "counted": bool(r.counted), "bin": r.bin, "cycles": r.cycles}
    if rate_hz:
        out["frequency_hz"] = r.frequency_hz
    if r.counted:
        out["power_dbfs"] = r.power_dbfs
        out["level_dbc"] = r.level_dbc
    return out


@dataclass
class TwoTone:
    """Two-tone intermodulation: the tones and the products f2-f1, f1+f2 (order 2), 2f1-f2,
    2f2-f1, 2f1+f2, 2f2+f1 (order 3), levels in dBc against both tones' total power;
    ``imd2_dbc``/``imd3_dbc`` NaN when no product of that order is clear of the tones."""

    tones: list
    products: list
    imd2_dbc: float
    imd3_dbc: float
    noise_floor_dbfs: float


def two_tone(codes, bits: int = 16, offset_binary: Optional[bool] = None,
             window: str = "blackmanharris", rate_hz: Optional[float] = None,
             tones: Optional[Sequence[float]] = None, lobe_half_width: int = 0) -> TwoTone:
    """IMD2 and IMD3 of a two-tone capture (the two largest components, or ``tones`` in cycles
    per record)."""
    array, kind, n = _samples(codes)
    t1, t2 = (0.0, 0.0) if tones is None else (float(tones[0]), float(tones[1]))
    config = TwoToneConfig(bits=_integer(bits, "bits"),
                           code_format=1 if code_format(codes, offset_binary) else 0,
                           window=_window(window),
                           lobe_half_width=_integer(lobe_half_width, "lobe_half_width"),
                           rate_hz=_rate(rate_hz), tone1_cycles=t1, tone2_cycles=t2)
    r = TwoToneResult()
    analyzer = _analyzer(n) if n >= 16 else None
    _check(f"two-tone analysis of {n} samples", _lib().VRX5200Analysis_Two_Tone(
        analyzer.handle if analyzer else None, array.ctypes.data, kind, n, config, ctypes.byref(r)))
    return TwoTone(tones=[_record(t, rate_hz) for t in r.tones],
                   products=[_record(p, rate_hz) for p in r.products],
                   imd2_dbc=r.imd2_dbc if r.imd2_measured else math.nan,
                   imd3_dbc=r.imd3_dbc if r.imd3_measured else math.nan,
                   noise_floor_dbfs=r.noise_floor_dbfs)


@dataclass
class SineFit:
    """A least-squares sine: amplitude cos(2 pi frequency_cycles i / n + phase) + offset."""

    amplitude_codes: float
    frequency_cycles: float
    frequency_hz: Optional[float]
    phase_rad: float
    offset_codes: float
    residual_rms_codes: float
    sinad_db: float
    enob_bits: float
    iterations: int


def sine_fit(codes, bits: int = 16, offset_binary: Optional[bool] = None, parameters: int = 4,
             frequency_cycles: Optional[float] = None, rate_hz: Optional[float] = None,
             max_iterations: int = 0) -> SineFit:
    """IEEE Std 1241 sine fit: three parameters at ``frequency_cycles`` (cycles per record), or
    four with the frequency fitted (started there, or at the spectrum's largest component)."""
    array, kind, n = _samples(codes)
    config = FitConfig(bits=_integer(bits, "bits"),
                       code_format=1 if code_format(codes, offset_binary) else 0,
                       parameters=_integer(parameters, "parameters"),
                       max_iterations=_integer(max_iterations, "max_iterations"),
                       rate_hz=_rate(rate_hz),
                       frequency_cycles=float(frequency_cycles or 0.0))
    r = FitResult()
    _check(f"{parameters}-parameter sine fit of {n} samples",
           _lib().VRX5200Analysis_Sine_Fit(array.ctypes.data, kind, n, config, ctypes.byref(r)))
    return SineFit(r.amplitude_codes, r.frequency_cycles, r.frequency_hz if rate_hz else None,
                   r.phase_rad, r.offset_codes, r.residual_rms_codes, r.sinad_db, r.enob_bits,
                   r.iterations)


@dataclass
class CodeDensity:
    """Code-density test of a sine: DNL and INL per code (offset-binary order, 2**bits entries,
    0 outside ``first_code``..``last_code``), missing codes."""

    dnl_lsb: np.ndarray
    inl_lsb: np.ndarray
    first_code: int
    last_code: int
    missing_codes: list = field(default_factory=list)
    dnl_min_lsb: float = 0.0
    dnl_max_lsb: float = 0.0
    inl_min_lsb: float = 0.0
    inl_max_lsb: float = 0.0


def code_density(codes, bits: int, offset_binary: Optional[bool] = None) -> CodeDensity:
    """DNL, INL and missing codes from the histogram of a sine's codes (int16 or uint16)."""
    array, kind, n = _samples(codes)
    bits = _integer(bits, "bits")
    size = 1 << max(0, min(bits, 16))
    dnl, inl = np.zeros(size), np.zeros(size)
    r = CodeDensityResult()
    _check(f"code density of {n} samples", _lib().VRX5200Analysis_Code_Density(
        array.ctypes.data, kind, n, bits, 1 if code_format(codes, offset_binary) else 0,
        dnl.ctypes.data,
        inl.ctypes.data, ctypes.byref(r)))
    inside = np.arange(r.first_code + 1, r.last_code)
    missing = [int(k) for k in inside[dnl[inside] == -1.0]]
    return CodeDensity(dnl, inl, r.first_code, r.last_code, missing, r.dnl_min_lsb, r.dnl_max_lsb,
                       r.inl_min_lsb, r.inl_max_lsb)


def warnings_of(flags: int) -> list:
    """The warnings of a set of the core's warning flags, lowest flag first: a list of
    ``{"code": ..., "message": ...}`` (the core's stable short code and its sentence)."""
    lib = _lib()
    return [{"code": lib.VRX5200Analysis_Warning_Code(1 << b).decode(),
             "message": lib.VRX5200Analysis_Warning_Text(1 << b).decode()}
            for b in range(32) if flags & (1 << b)]


def withhold_spectral(result, quality) -> None:
    """Withholds (NaN) every figure of a single-tone analysis that rests on the samples being
    evenly spaced in time, and sets WARN_UNEVEN_SAMPLES in place of the core's spectral
    warnings; what counts samples (DC, clipped and out-of-range samples) stands. The core cannot
    see the spacing: front ends call this for samples of a lane list that reorders lanes or
    keeps them unevenly, as the tool does."""
    nan = math.nan
    r, q = result, quality
    for name in ("fundamental_dbfs", "fundamental_amplitude_codes", "snr_db", "sinad_db",
                 "thd_dbc", "sfdr_dbc", "enob_bits", "noise_dbfs", "noise_floor_dbfs",
                 "nsd_dbfs_hz", "worst_spur_cycles", "worst_spur_hz", "worst_spur_dbfs"):
        setattr(r, name, nan)
    r.thd_measured = 0
    for i in range(len(r.tones)):
        r.tones[i] = ToneRecord()
    for name in ("snr_dbfs", "fit_amplitude_codes", "fit_cycles", "fit_phase_rad",
                 "fit_offset_codes", "leakage_dbfs"):
        setattr(q, name, nan)
    q.worst_spur_named = 0
    for i in range(min(q.named_count, MAX_NAMED_TONES)):
        q.named[i].counted = 0
        q.named[i].power_dbfs = q.named[i].level_dbc = nan
    q.warnings = (q.warnings & 0b11) | WARN_UNEVEN_SAMPLES  # clipped, out_of_range stand


def tone_options(method: Optional[str] = None, band: Optional[Sequence[float]] = None,
                 tones: Sequence[tuple] = ()) -> ToneOptions:
    """The core's options record: ``method`` 'fit' or 'spectrum' (None: the core's default,
    fit); ``band`` (low, high) in cycles per record (None: DC to n/2); ``tones`` a sequence of
    (cycles, action) with action 'identify' or 'exclude'."""
    o = ToneOptions(version=VERSION)
    if method is not None:
        if method not in METHODS:
            raise ValueError(f"unknown method {method!r} (one of {', '.join(METHODS)})")
        o.method = METHODS[method]
    if band is not None:
        o.band_low_cycles, o.band_high_cycles = float(band[0]), float(band[1])
    if len(tones) > MAX_NAMED_TONES:
        raise ValueError(f"{len(tones)} named tones; at most {MAX_NAMED_TONES}")
    for i, (cycles, action) in enumerate(tones):
        if action not in TONE_ACTIONS:
            raise ValueError(f"unknown tone action {action!r} (identify or exclude)")
        o.named[i].cycles = float(cycles)
        o.named[i].action = TONE_ACTIONS[action]
    o.named_count = len(tones)
    return o


def tone_analysis(codes, bits: int = 16, offset_binary: Optional[bool] = None,
                  window: str = "blackmanharris", harmonics: int = 5,
                  rate_hz: Optional[float] = None, fundamental_cycles: Optional[float] = None,
                  options: Optional[ToneOptions] = None, spectrum: bool = False) -> tuple:
    """Single-tone analysis with its warnings: the core's records ``(result, quality, power)``
    (:class:`ToneResult`, :class:`ToneQuality`; power None unless ``spectrum``). Figures the
    core withholds are NaN, and ``quality.warnings`` says why (:func:`warnings_of`)."""
    array, kind, n = _samples(codes)
    config = _tone_config(bits, code_format(codes, offset_binary), window, harmonics, rate_hz,
                          fundamental_cycles)
    power = np.empty(n // 2 + 1) if spectrum else None
    result, quality = ToneResult(), ToneQuality()
    analyzer = _analyzer(n) if n >= 16 else None
    _check(f"single-tone analysis of {n} samples (bits {config.bits}, {window} window)",
           _lib().VRX5200Analysis_Single_Tone_Ex(
               analyzer.handle if analyzer else None, array.ctypes.data, kind, n,
               ctypes.byref(config), ctypes.byref(options) if options is not None else None,
               ctypes.byref(result), ctypes.byref(quality),
               power.ctypes.data if power is not None else None))
    return result, quality, power


def average(records, bits: int = 16, offset_binary: Optional[bool] = None,
            window: str = "blackmanharris", harmonics: int = 5,
            rate_hz: Optional[float] = None, fundamental_cycles: Optional[float] = None,
            options: Optional[ToneOptions] = None) -> tuple:
    """Single-tone analysis of the average of the records' spectra (records of one length):
    ``(result, quality)`` as :func:`tone_analysis` gives them, ``quality.records`` the records
    averaged."""
    records = list(records)
    if not records:
        raise ValueError("no records to average")
    lib = _lib()
    first, _, n = _samples(records[0])
    config = _tone_config(bits, code_format(records[0], offset_binary), window, harmonics,
                          rate_hz, fundamental_cycles)
    handle = ctypes.c_void_p()
    _check(f"averager of {n}-sample records", lib.VRX5200Analysis_Average_Create(
        n, ctypes.byref(config), ctypes.byref(options) if options is not None else None, 0,
        ctypes.byref(handle)))
    try:
        for i, record in enumerate(records):
            array, kind, count = _samples(record)
            _check(f"record {i + 1} of {len(records)} ({count} samples)",
                   lib.VRX5200Analysis_Average_Add(handle, array.ctypes.data, kind, count))
        result, quality = ToneResult(), ToneQuality()
        _check(f"average of {len(records)} records", lib.VRX5200Analysis_Average_Result(
            handle, ctypes.byref(result), ctypes.byref(quality), None))
        return result, quality
    finally:
        lib.VRX5200Analysis_Average_Destroy(handle)


@dataclass
class Linearity:
    """The code-density test of a histogram summed over records: DNL, end-point and best-fit
    INL per code (offset-binary order, 2**bits entries, 0 outside the codes measured), the shape
    used ('sine' or 'ramp'), missing codes and the core's record (:class:`LinearityResult`)."""

    shape: str
    dnl_lsb: np.ndarray
    inl_end_point_lsb: np.ndarray
    inl_best_fit_lsb: np.ndarray
    missing_codes: list
    result: LinearityResult


def linearity(records, bits: int, offset_binary: Optional[bool] = None,
              shape: str = "auto") -> Linearity:
    """DNL, INL (end-point and best fit) and missing codes of a ramp or a sine (``shape``
    'sine', 'ramp' or 'auto': detected, refused when neither), from the histogram of the codes
    of all ``records`` (int16 or uint16 arrays, e.g. several files of one converter)."""
    if shape not in SHAPES:
        raise ValueError(f"unknown shape {shape!r} (one of {', '.join(SHAPES)})")
    records = list(records)
    if not records:
        raise ValueError("no records to measure")
    lib = _lib()
    bits = _integer(bits, "bits")
    handle = ctypes.c_void_p()
    _check(f"histogram of {bits}-bit codes", lib.VRX5200Analysis_Histogram_Create(
        bits, 1 if code_format(records[0], offset_binary) else 0, ctypes.byref(handle)))
    try:
        for i, record in enumerate(records):
            array, kind, count = _samples(record)
            _check(f"histogram of record {i + 1} ({count} samples)",
                   lib.VRX5200Analysis_Histogram_Add(handle, array.ctypes.data, kind, count))
        size = 1 << bits
        dnl, end_point, best_fit = np.zeros(size), np.zeros(size), np.zeros(size)
        r = LinearityResult()
        _check("code-density test", lib.VRX5200Analysis_Linearity(
            handle, SHAPES[shape], dnl.ctypes.data, end_point.ctypes.data, best_fit.ctypes.data,
            ctypes.byref(r)))
    finally:
        lib.VRX5200Analysis_Histogram_Destroy(handle)
    inside = np.arange(r.first_code + 1, r.last_code)
    missing = [int(k) for k in inside[dnl[inside] == -1.0]]
    return Linearity("sine" if r.shape == SHAPES["sine"] else "ramp", dnl, end_point, best_fit,
                     missing, r)


def coherent_frequency(rate_hz: float, n: int, wanted_hz: float) -> tuple:
    """The frequency nearest ``wanted_hz`` with a prime number of cycles in n samples (no common
    factor with n): ``(cycles, frequency_hz)``."""
    cycles, hz = _u64(), _f64()
    _check(f"coherent frequency near {wanted_hz} Hz", _lib().VRX5200Analysis_Coherent_Frequency(
        float(rate_hz), _integer(n, "n"), float(wanted_hz), ctypes.byref(cycles), ctypes.byref(hz)))
    return cycles.value, hz.value


@dataclass
class Pattern:
    """A DAC pattern: ``words`` (uint16, as uploaded; None when written to a file) and figures
    of what was written."""

    words: Optional[np.ndarray]
    clipped: int
    peak_codes: float
    rms_codes: float
    crest_factor_db: float
    tone_dbfs: float


def generate_pattern(kind: str, n: int, bits: int = 16, offset_binary: bool = False,
                     amplitude_dbfs: Optional[float] = None, cycles: int = 0,
                     tone_cycles: Sequence[int] = (), phases: str = "schroeder",
                     phase_rad: float = 0.0, seed: int = 1, path: Optional[str] = None) -> Pattern:
    """A DAC pattern of n words: ``kind`` 'tone' (``cycles`` per pattern, ``phase_rad``),
    'multitone' (``tone_cycles``, Schroeder or Newman ``phases``, the pattern's peak at
    ``amplitude_dbfs``), 'ramp' (``cycles`` ramps) or 'noise' (seeded, RMS as a sine of
    ``amplitude_dbfs``; ``seed`` 1 unless given, as ``vrx5200 generate noise``: the same
    pattern). ``amplitude_dbfs`` is -1 unless given, and -12 for noise, where no word clips (at
    -1 dBFS one word in nine would). Written straight into a uint16 array, or to the binary
    pattern file ``path`` (16-bit little-endian words), which replaces a file already there only
    once complete."""
    if kind not in _KINDS:
        raise ValueError(f"unknown pattern kind {kind!r} (one of {', '.join(_KINDS)})")
    if phases not in _PHASES:
        raise ValueError(f"unknown phases {phases!r} (one of {', '.join(_PHASES)})")
    n = _integer(n, "n")
    if amplitude_dbfs is None:
        amplitude_dbfs = -12.0 if kind == "noise" else -1.0
    tones = np.ascontiguousarray([_integer(c, "tone cycles") for c in tone_cycles], dtype=np.uint64)
    config = SignalConfig(kind=_KINDS[kind], bits=_integer(bits, "bits"),
                          code_format=1 if offset_binary else 0, phases=_PHASES[phases],
                          amplitude_dbfs=float(amplitude_dbfs), phase_rad=float(phase_rad),
                          cycles=_integer(cycles, "cycles"),
                          tone_cycles=tones.ctypes.data_as(ctypes.POINTER(_u64)),
                          tone_count=tones.size, seed=_integer(seed, "seed") & (2 ** 64 - 1))
    r = SignalResult()
    if path is not None:
        words = None
        _check(f"{kind} pattern file {path}", _lib().VRX5200Analysis_Generate_File(
            config, os.fsencode(path), n, ctypes.byref(r)))
    else:
        if n < 0:
            raise ValueError(f"a pattern of {n} words")
        words = np.empty(n, dtype=np.uint16)
        _check(f"{kind} pattern of {n} words", _lib().VRX5200Analysis_Generate(
            config, words.ctypes.data, n, ctypes.byref(r)))
    return Pattern(words, r.clipped, r.peak_codes, r.rms_codes, r.crest_factor_db, r.tone_dbfs)
