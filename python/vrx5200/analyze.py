"""Prints the figures of capture files, as ``vrx5200 analyze`` does, and optionally plots the
spectrum.

    python3 -m vrx5200.analyze capture.bin --rate 250M --plot spectrum.png
    python3 -m vrx5200.analyze capture.npy --json --strict
    python3 -m vrx5200.analyze a.npy b.npy --average
    python3 -m vrx5200.analyze ramp.bin --linearity ramp --bits 12

The options, the lines, the JSON keys, the warnings and the exit status are the tool's: 0
success (warnings, which go to standard error or into the JSON object, included); 1 the analysis
cannot measure the record, or the analysis library is missing; 2 a bad command line; 3 a file
that cannot be read or holds no samples the analysis can take; 4 warnings with --strict. Errors
are one line on standard error. The plot replaces a file already there only once it is written
whole.
"""

from __future__ import annotations

import argparse
import io
import json
import math
import os
import re
import sys
from typing import NamedTuple, Optional

import numpy as np

from . import _sigmf, core
from ._files import save_figure, tagged
from .analysis import _check_bits, averaged_metrics, format_hz, metrics, spectrum_figure

_PREFIXES = {"": 1.0, "k": 1e3, "K": 1e3, "M": 1e6, "G": 1e9}
EXIT_FAILURE, EXIT_USAGE, EXIT_FILE, EXIT_WARNINGS = 1, 2, 3, 4
_NPY_MAGIC = b"\x93NUMPY"
# The core's refusals by exit status: the command line's values, samples the analysis cannot
# take; all others are records it cannot measure (1).
_USAGE_CODES = {3, 4, 5, 6, 7, 8, 9, 27, 31}
_FILE_CODES = {2, 24, 25, 30}
_PRODUCTS = ("f2-f1", "f1+f2", "2f1-f2", "2f2-f1", "2f1+f2", "2f2+f1")


def parse_rate(text: str) -> float:
    """A sample rate in Hz from "250M", "1.5G", "100k", "250MHz" or "2.5e8"."""
    value = _hertz(text)
    if value is None or not 1 <= value <= 100e9:
        raise ValueError(f"bad sample rate {text!r} (1 Hz to 100 GHz, with k, M or G: 250M)")
    return value


def _hertz(text: str):
    """A positive number of Hz with an optional k, M or G and Hz, as the tool reads them."""
    match = re.fullmatch(r"((?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?)([kKMG]?)(?:Hz|hz)?",
                         text)
    if not match:
        return None
    value = float(match.group(1)) * _PREFIXES[match.group(2)]
    return value if math.isfinite(value) and value > 0 else None


class _Failure(Exception):
    """A clean one-line error and its exit status."""

    def __init__(self, message: str, code: int = EXIT_FAILURE):
        super().__init__(message)
        self.code = code


def _say(text: str) -> None:
    """Prints a line of the answer; a standard output that cannot take it is an error."""
    try:
        sys.stdout.write(text + "\n")
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except OSError as error:
        _drop_stdout()
        raise _Failure(f"cannot write to standard output: {error.strerror or error}",
                       EXIT_FILE) from None


def _drop_stdout() -> None:
    """Points standard output at the null device, so that what is still buffered for it is not
    written (and its failure not reported) once more at exit."""
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)
    except (OSError, ValueError, AttributeError):
        pass


# ---- input ----------------------------------------------------------------------------------

def _read_all(path: str) -> bytes:
    try:
        if path == "-":
            return sys.stdin.buffer.read()
        with open(path, "rb") as f:
            return f.read()
    except OSError as error:
        raise _Failure(f"cannot read \"{path}\": {error.strerror or error}", EXIT_FILE) from None


def _npy(path: str, data: bytes, column):
    """The samples of a .npy file: 16-bit words (uint16, and whether '<u2') or float64 values."""
    name = f'"{path}"'
    stream = io.BytesIO(data)
    try:
        version = np.lib.format.read_magic(stream)
        if version not in ((1, 0), (2, 0), (3, 0)):
            raise ValueError(f"format version {version[0]} is not read here")
        reader = (np.lib.format.read_array_header_1_0 if version == (1, 0)
                  else np.lib.format.read_array_header_2_0)
        shape, fortran, dtype = reader(stream)
    except ValueError as error:
        raise _Failure(f"{name}: not a readable .npy file ({error})", EXIT_FILE) from None
    accepted = ("<i2", "<u2", "<i4", "<u4", "<f4", "<f8")
    descr = dtype.str if dtype.str[0] != "|" else dtype.str
    if descr not in accepted:
        raise _Failure(f"{name} holds '{descr}' values; analyze reads '<i2' and '<u2' words, "
                       f"and '<i4', '<u4', '<f4' and '<f8' values in codes", EXIT_FILE)
    if len(shape) not in (1, 2):
        raise _Failure(f"{name} holds a {len(shape)}-D array; a capture is one row of samples, "
                       f"or a column of a 2-D array (--column)", EXIT_FILE)
    if len(shape) == 2 and column is None:
        raise _Failure(f"{name} holds a {shape[0]} x {shape[1]} array: name the column to "
                       f"analyse (--column 0 to {max(shape[1] - 1, 0)})", EXIT_USAGE)
    if len(shape) == 1 and column is not None:
        raise _Failure(f"--column {column}: {name} holds one row, not columns", EXIT_USAGE)
    if len(shape) == 2 and column >= shape[1]:
        raise _Failure(f"--column {column}: {name} has {shape[1]} columns", EXIT_USAGE)
    offset = stream.tell()
    count = int(np.prod(shape))
    held = len(data) - offset
    if held != count * dtype.itemsize:
        dims = f"{shape[0]}" + (f" x {shape[1]}" if len(shape) == 2 else "")
        raise _Failure(f"{name} holds {held} bytes of data where its header claims {dims} "
                       f"samples of {dtype.itemsize} bytes", EXIT_FILE)
    array = np.frombuffer(data, dtype=dtype, count=count, offset=offset)
    if len(shape) == 2:
        array = array.reshape(shape, order="F" if fortran else "C")[:, column]
    if dtype.itemsize == 2:
        return np.ascontiguousarray(array).view(np.uint16), descr == "<u2"
    return np.ascontiguousarray(array, dtype=np.float64), False


def _csv(path: str, data: bytes) -> np.ndarray:
    words = []
    for number, line in enumerate(data.decode("latin-1").split("\n"), 1):
        text = line.rstrip(" \r\t")
        if not line or line == "\r":
            continue
        match = re.fullmatch(r"\s*[+-]?[0-9]+", text)
        value = int(text) if match else None
        if value is None or not -32768 <= value <= 65535:
            raise _Failure(f"\"{path}\" line {number} is not a 16-bit sample", EXIT_FILE)
        words.append(value & 0xFFFF)
    return np.array(words, dtype=np.uint16)


class Input(NamedTuple):
    """A file's samples as analyze reads them, and what a SigMF recording says of them."""
    samples: np.ndarray  # uint16 words or float64 values
    unsigned: bool  # a '<u2' .npy file, a ru16_le or ru8 recording: offset binary unless told
    rate_hz: Optional[float] = None  # a recording's rate
    bits: Optional[int] = None  # the bits a recording's 8-bit type holds
    fractions: bool = False  # values in fractions of full scale (rf32_le, rf64_le)
    evenly_spaced: bool = True  # False: a recording says its samples are unevenly spaced


def _recording(path: str, data=None) -> Input:
    """The samples of a SigMF recording of a real datatype: 16-bit words, 8-bit codes (of 8
    bits unless told) and 32-bit integers as values in codes, floats as fractions of full
    scale."""
    try:
        r = _sigmf.read(path, by_name=path != "-" and _sigmf.part(path) is None, data=data)
    except OSError as error:
        raise _Failure(f"cannot open \"{error.filename or path}\": "
                       f"{error.strerror or error}", EXIT_FILE) from None
    except ValueError as error:
        raise _Failure(str(error), EXIT_FILE) from None
    name = f'"{path}"'
    if r.datatype.startswith("c"):
        raise _Failure(f"{name} holds complex samples ({r.datatype}); analyze takes real ones",
                       EXIT_FILE)
    if r.datatype not in _sigmf.DATATYPES:
        raise _Failure(f"{name} holds {r.datatype} samples; analyze reads ri16_le, ru16_le, ri8, "
                       f"ru8, ri32_le, rf32_le and rf64_le", EXIT_FILE)
    dtype = np.dtype(_sigmf.DATATYPES[r.datatype])
    if len(r.data) % dtype.itemsize:
        raise _Failure(f"{name} ends part-way through a sample", EXIT_FILE)
    values = np.frombuffer(r.data, dtype=dtype)
    unsigned = r.datatype[1] == "u"
    if dtype.itemsize == 2:
        return Input(values.astype(np.uint16), unsigned, r.rate_hz,
                     evenly_spaced=r.evenly_spaced)
    return Input(values.astype(np.float64), unsigned, r.rate_hz,
                 8 if dtype.itemsize == 1 else None, r.datatype[1] == "f", r.evenly_spaced)


def read_input(path: str, format=None, column=None) -> Input:
    """The samples of a capture file as ``vrx5200 analyze`` reads them, with a SigMF
    recording's rate (see :func:`read_samples`)."""
    recording = format == "sigmf" or (format is None and _sigmf.part(path) is not None)
    if recording:
        if column is not None:
            raise _Failure(f"--column names a column of a 2-D .npy array; \"{path}\" is a SigMF "
                           f"recording", EXIT_USAGE)
        return _recording(path, _read_all(path) if path == "-" else None)
    data = _read_all(path)
    extension = os.path.splitext(path)[1].lower()
    kind = format or ("npy" if data[:6] == _NPY_MAGIC or extension == ".npy"
                      else "csv" if extension == ".csv" else "raw")
    if kind != "npy" and column is not None:
        raise _Failure(f"--column names a column of a 2-D .npy array; \"{path}\" is {kind}",
                       EXIT_USAGE)
    if kind == "npy":
        if data[:6] != _NPY_MAGIC:
            raise _Failure(f"\"{path}\" is not a .npy file", EXIT_FILE)
        return Input(*_npy(path, data, column))
    if kind == "csv":
        return Input(_csv(path, data), False)
    if len(data) % 2:
        raise _Failure(f"\"{path}\" ends part-way through a sample", EXIT_FILE)
    return Input(np.frombuffer(data, dtype="<u2").astype(np.uint16), False)


def read_samples(path: str, format=None, column=None):
    """The samples of a capture file as ``vrx5200 analyze`` reads them: ``(array, unsigned)``,
    a uint16 array of words (raw, CSV, '<i2' and '<u2' .npy, ri16_le and ru16_le recordings) or
    a float64 array of values in codes (.npy of '<i4', '<u4', '<f4', '<f8'; recordings of
    other real types); ``unsigned`` for a '<u2' file or a recording of unsigned samples. A .npy
    file is known by its magic string whatever its name, a SigMF recording (NAME.sigmf-meta,
    NAME.sigmf-data, a .sigmf archive) by its suffix or ``format="sigmf"``; "-" is standard
    input."""
    read = read_input(path, format, column)
    return read.samples, read.unsigned


# ---- analyses -------------------------------------------------------------------------------

def _analysis(what: str, call):
    """Runs an analysis; the core's refusals as failures with the tool's exit status."""
    try:
        return call()
    except core.AnalysisError as error:
        code = (EXIT_USAGE if error.code in _USAGE_CODES else
                EXIT_FILE if error.code in _FILE_CODES else EXIT_FAILURE)
        raise _Failure(f"{what}: {error.meaning}", code) from None


def _figure(value, decimals: int, unit: str) -> str:
    if value is None or not math.isfinite(value):
        return "withheld"
    return f"{value:.{decimals}f}" + (f" {unit}" if unit else "")


def _files_label(files) -> str:
    return files[0] if len(files) == 1 else f"{files[0]} and {len(files) - 1} more"


def _cycles(text: str, what: str, rate, n: int) -> float:
    """A frequency as --fundamental, --band and --tone take it: Hz (with k, M or G; needs the
    rate) or bins ("2064bin"), in cycles per record of n samples."""
    for unit in ("bins", "bin"):
        if len(text) > len(unit) and text.endswith(unit):
            number = text[:-len(unit)]
            if not re.fullmatch(r"-?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?", number) \
                    or not math.isfinite(float(number)) or float(number) < 0:
                raise _Failure(f"{what} \"{text}\": a number of bins, 0 or more", EXIT_USAGE)
            return float(number)
    hz = 0.0 if text == "0" else _hertz(text)
    if hz is None:
        raise _Failure(f"{what} \"{text}\": a frequency in Hz (with k, M or G) or in bins "
                       f"(2064bin)", EXIT_USAGE)
    if rate is None:
        raise _Failure(f"{what} \"{text}\": a frequency in Hz needs --rate; or give it in bins "
                       f"(2064bin)", EXIT_USAGE)
    return hz * n / rate


def _tone_request(args, rate, n: int) -> dict:
    """metrics()' arguments of the command line, for records of n samples."""
    kw = dict(bits=args.bits, offset_binary=args.code_format == "offset", window=args.window,
              harmonics=args.harmonics, rate_hz=rate, method=args.method)
    if args.fundamental is not None:
        kw["fundamental_bin"] = _cycles(args.fundamental, "--fundamental", rate, n)
        if kw["fundamental_bin"] <= 0:
            raise _Failure("--fundamental must lie above DC", EXIT_USAGE)
    if args.band is not None:
        if ":" not in args.band:
            raise _Failure(f"--band \"{args.band}\": LOW:HIGH", EXIT_USAGE)
        low, high = args.band.split(":", 1)
        band = (_cycles(low, "--band", rate, n), _cycles(high, "--band", rate, n))
        if not band[0] < band[1]:
            raise _Failure(f"--band \"{args.band}\": the low end must lie below the high end",
                           EXIT_USAGE)
        kw["band"] = band
    if len(args.tone) > core.MAX_NAMED_TONES:
        raise _Failure(f"at most {core.MAX_NAMED_TONES} --tone", EXIT_USAGE)
    tones = []
    for spec in args.tone:
        name, eq, frequency = spec.partition("=")
        if not eq or not name:
            raise _Failure(f"--tone \"{spec}\": NAME=FREQUENCY[:exclude]", EXIT_USAGE)
        action = "identify"
        if ":" in frequency:
            frequency, action = frequency.split(":", 1)
            if action not in ("exclude", "identify"):
                raise _Failure(f"--tone \"{spec}\": the action is exclude or identify",
                               EXIT_USAGE)
        tones.append((name, _cycles(frequency, "--tone", rate, n), action))
    kw["tones"] = tones
    return kw


def _finish(args, warnings) -> int:
    """The answer's end: the warnings in lines on standard error, and the exit status."""
    if not args.json:
        sys.stdout.flush()
        for w in warnings:
            print(f"analyze: warning: {w['code']}: {w['message']}", file=sys.stderr)
    return EXIT_WARNINGS if args.strict and warnings else 0


def _record_warnings(args, samples, keep: int) -> list:
    """Clipping and samples beyond the declared bits, as a single-tone analysis finds them."""
    try:
        _, q, _ = core.tone_analysis(samples, args.bits, args.code_format == "offset")
    except core.AnalysisError:
        return []
    return core.warnings_of(q.warnings & keep)


def _single_tone(args, files, samples, rate, even: bool = True) -> int:
    per = args.average or 1
    records = []
    for path, s in zip(files, samples):
        if s.size % per:
            raise _Failure(f"--average {per}: \"{path}\" holds {s.size} samples, which do not "
                           f"cut into {per} records", EXIT_USAGE)
        records.extend(np.split(s, per) if per > 1 else [s])
    n = records[0].size
    for r in records[1:]:
        if r.size != n:
            raise _Failure(f"records of {n} and {r.size} samples: averaged records must be of "
                           f"one length", EXIT_USAGE)
    kw = _tone_request(args, rate, n)
    kw["evenly_spaced"] = even
    figure = None
    if args.average:
        m = _analysis("averaging", lambda: averaged_metrics(records, **kw))
    elif args.plot:
        try:
            figure, m = _analysis(f"analysis of \"{files[0]}\"",
                                  lambda: spectrum_figure(records[0], **kw))
        except ImportError:
            raise _Failure("--plot needs matplotlib (Debian: python3-matplotlib)") from None
    else:
        m = _analysis(f"analysis of \"{files[0]}\"", lambda: metrics(records[0], **kw))
    if figure is not None:
        try:
            save_figure(figure, args.plot)
        except (OSError, ValueError) as error:
            reason = getattr(error, "strerror", None) or error
            raise _Failure(f"cannot write the plot {args.plot}: {reason}", EXIT_FILE) from None
    if args.json:
        report = {"file": files[0]}
        report.update(m.as_dict())
        if args.plot:
            report["plot"] = args.plot
        _say(json.dumps(report, indent=2, allow_nan=False))
        return _finish(args, m.warnings)
    head = (f"{_files_label(files)}: {m.records} records of {n} samples averaged"
            if m.records > 1 else f"{files[0]}: {n} samples")
    _say("\n".join([head] + m.lines()))
    if args.plot:
        _say(f"spectrum written to {args.plot}")
    return _finish(args, m.warnings)


def _two_tone(args, path, s, rate) -> int:
    n = s.size
    r = _analysis("two-tone analysis", lambda: core.two_tone(
        s, args.bits, args.code_format == "offset", args.window, rate))
    warnings = _record_warnings(args, s, 0b11)
    # where the components are (lobe centroids and their aliases), not their nearest bins
    hz = (lambda cycles: cycles * rate / n) if rate is not None else None
    if args.json:
        report = {"file": path, "samples": n, "tone1_bin": r.tones[0]["bin"],
                  "tone2_bin": r.tones[1]["bin"], "tone1_dbfs": r.tones[0].get("power_dbfs"),
                  "tone2_dbfs": r.tones[1].get("power_dbfs")}
        if hz:
            report.update(rate_hz=rate, tone1_hz=hz(r.tones[0]["cycles"]),
                          tone2_hz=hz(r.tones[1]["cycles"]))
        products = []
        for name, p in zip(_PRODUCTS, r.products):
            one = {"product": name, "order": p["order"], "bin": p["bin"],
                   "counted": p["counted"], "level_dbc": p.get("level_dbc")}
            if hz:
                one["frequency_hz"] = hz(p["cycles"])
            products.append(one)
        report.update(products=products, imd2_dbc=_number(r.imd2_dbc),
                      imd3_dbc=_number(r.imd3_dbc), noise_floor_dbfs=_number(r.noise_floor_dbfs),
                      warnings=warnings)
        _say(json.dumps(report, indent=2, allow_nan=False))
        return _finish(args, warnings)
    lines = [f"{path}: {n} samples"]
    for i, t in enumerate(r.tones):
        lines.append(f"tone {i + 1}: bin {t['bin']}, {_figure(t.get('power_dbfs'), 2, 'dBFS')}")
    lines.append(f"IMD2:  {_figure(r.imd2_dbc, 2, 'dBc') if math.isfinite(r.imd2_dbc) else 'n/a'}")
    lines.append(f"IMD3:  {_figure(r.imd3_dbc, 2, 'dBc') if math.isfinite(r.imd3_dbc) else 'n/a'}")
    for name, p in zip(_PRODUCTS, r.products):
        at = f"bin {p['bin']}" + (f" ({format_hz(hz(p['cycles']))})" if hz else "")
        level = (_figure(p["level_dbc"], 2, "dBc") if p["counted"]
                 else "not counted (in a tone's lobe)")
        lines.append(f"  {name:<6} {at}, {level}")
    _say("\n".join(lines))
    return _finish(args, warnings)


def _number(value):
    return float(value) if value is not None and math.isfinite(value) else None


def _sine_fit(args, path, s, rate) -> int:
    n = s.size
    start = None
    if args.fundamental is not None:
        start = _cycles(args.fundamental, "--fundamental", rate, n)
    elif args.sine_fit == 3:
        raise _Failure("--sine-fit 3 fits at a known frequency: give it with --fundamental",
                       EXIT_USAGE)
    f = _analysis("sine fit", lambda: core.sine_fit(
        s, args.bits, args.code_format == "offset", args.sine_fit, start, rate))
    warnings = _record_warnings(args, s, 0b111)
    enob = f.enob_bits
    if math.isfinite(enob) and enob > args.bits + 0.1:
        warnings = sorted(warnings + core.warnings_of(core.WARN_ENOB_ABOVE_BITS),
                          key=lambda w: _WARNING_ORDER.index(w["code"]))
        enob = math.nan
    amplitude_dbfs = 20 * math.log10(f.amplitude_codes / 2.0 ** (args.bits - 1)) \
        if f.amplitude_codes > 0 else math.nan
    hz = f.frequency_cycles * rate / n if rate is not None else None
    if args.json:
        report = {"file": path, "samples": n, "bits": args.bits,
                  "offset_binary": args.code_format == "offset", "parameters": args.sine_fit,
                  "iterations": f.iterations, "rate_hz": rate,
                  "amplitude_codes": _number(f.amplitude_codes),
                  "amplitude_dbfs": _number(amplitude_dbfs),
                  "frequency_cycles": _number(f.frequency_cycles), "frequency_hz": hz,
                  "phase_rad": _number(f.phase_rad), "offset_codes": _number(f.offset_codes),
                  "residual_rms_codes": _number(f.residual_rms_codes),
                  "sinad_db": _number(f.sinad_db), "enob": _number(enob),
                  "enob_bits": _number(enob), "warnings": warnings}
        _say(json.dumps(report, indent=2, allow_nan=False))
        return _finish(args, warnings)
    _say("\n".join([
        f"{path}: {n} samples",
        f"sine fit: {args.sine_fit} parameters, {f.iterations} iterations",
        f"amplitude: {_figure(f.amplitude_codes, 2, 'codes')} "
        f"({_figure(amplitude_dbfs, 2, 'dBFS')})",
        f"frequency: {f.frequency_cycles:.6f} cycles per record"
        + (f" ({format_hz(hz)})" if hz is not None else ""),
        f"phase: {_figure(f.phase_rad, 6, 'rad')}",
        f"offset: {_figure(f.offset_codes, 2, 'codes')}",
        f"residual: {_figure(f.residual_rms_codes, 2, 'codes')} RMS",
        f"SINAD: {_figure(f.sinad_db, 2, 'dB')}",
        f"ENOB:  {_figure(enob, 2, 'bits')}"]))
    return _finish(args, warnings)


_WARNING_ORDER = ("clipped", "out_of_range", "no_tone", "tone_in_dc_lobe", "harmonic_on_tone",
                  "leakage_limited", "precision_limited", "enob_above_bits", "records_differ",
                  "named_tone_hidden", "few_counts", "uneven_samples")


def _linearity(args, files, samples) -> int:
    shape = args.linearity or "auto"
    lin = _analysis("code-density test", lambda: core.linearity(
        samples, args.bits, args.code_format == "offset", shape))
    r = lin.result
    warnings = core.warnings_of(r.warnings)
    if args.json:
        report = {"file": files[0], "records": len(samples), "samples": int(r.samples),
                  "bits": args.bits, "offset_binary": args.code_format == "offset",
                  "shape": lin.shape, "shape_detected": shape == "auto",
                  "first_code": r.first_code, "last_code": r.last_code,
                  "missing_codes": r.missing_codes,
                  "dnl_min_lsb": _number(r.dnl_min_lsb), "dnl_max_lsb": _number(r.dnl_max_lsb),
                  "inl_min_lsb": _number(r.inl_end_point_min_lsb),
                  "inl_max_lsb": _number(r.inl_end_point_max_lsb),
                  "inl_end_point_min_lsb": _number(r.inl_end_point_min_lsb),
                  "inl_end_point_max_lsb": _number(r.inl_end_point_max_lsb),
                  "inl_best_fit_min_lsb": _number(r.inl_best_fit_min_lsb),
                  "inl_best_fit_max_lsb": _number(r.inl_best_fit_max_lsb),
                  "sine_fit_rms_lsb": _number(r.sine_fit_rms_lsb),
                  "ramp_fit_rms_lsb": _number(r.ramp_fit_rms_lsb),
                  "out_of_range_samples": int(r.out_of_range_samples),
                  "missing": lin.missing_codes, "warnings": warnings}
        _say(json.dumps(report, indent=2, allow_nan=False))
        return _finish(args, warnings)

    def lsb(v):
        return _figure(v, 2, "")

    _say("\n".join([
        f"{_files_label(files)}: {r.samples} samples, codes {r.first_code} to {r.last_code}, "
        f"{r.missing_codes} missing",
        f"shape: {lin.shape} ({'detected' if shape == 'auto' else 'given'})",
        f"DNL: {lsb(r.dnl_min_lsb)} to {lsb(r.dnl_max_lsb)} LSB",
        f"INL: {lsb(r.inl_end_point_min_lsb)} to {lsb(r.inl_end_point_max_lsb)} LSB end point, "
        f"{lsb(r.inl_best_fit_min_lsb)} to {lsb(r.inl_best_fit_max_lsb)} LSB best fit"]))
    return _finish(args, warnings)


def _check_plot_name(path: str) -> None:
    """Refuses, before anything is read, a plot that would go to no file or in no format
    matplotlib writes ("-" is no file here: standard output carries the figures)."""
    if path == "-":
        raise _Failure("--plot -: the plot goes to a file; standard output carries the figures",
                       EXIT_USAGE)
    kind = os.path.splitext(path)[1][1:].lower()
    try:
        from matplotlib.backend_bases import FigureCanvasBase
    except ImportError:
        return  # said when the plot is drawn
    formats = FigureCanvasBase.get_supported_filetypes()
    if kind and kind not in formats:
        raise _Failure(f"--plot {path}: no plot is written as '.{kind}' (one of "
                       f"{', '.join(sorted(formats))}; PNG without an extension)", EXIT_USAGE)


def _analyze(args) -> int:
    try:
        _check_bits(16 if args.bits is None else args.bits)
    except ValueError:
        raise _Failure(f"--bits {args.bits}: the ADC resolution is 1 to 16 bits for words, to "
                       f"32 for .npy values", EXIT_USAGE) from None
    if not 2 <= args.harmonics <= 25:
        raise _Failure(f"--harmonics {args.harmonics}: the highest harmonic order counted is 2 "
                       f"to 25", EXIT_USAGE)
    try:
        rate = parse_rate(args.rate) if args.rate is not None else None
    except ValueError as error:
        raise _Failure(f"--rate: {error}", EXIT_USAGE) from None
    if args.offset_binary:
        args.code_format = "offset"
    modes = [name for name, on in (("--two-tone", args.two_tone),
                                   ("--linearity", args.linearity is not None),
                                   ("--sine-fit", args.sine_fit is not None),
                                   ("--average", args.average is not None)) if on]
    if len(modes) > 1:
        raise _Failure(f"{modes[0]} excludes {modes[1]}", EXIT_USAGE)
    if args.plot and modes:
        raise _Failure(f"--plot draws the spectrum of one record; it excludes {modes[0]}",
                       EXIT_USAGE)
    if args.plot:
        _check_plot_name(args.plot)
    if args.linearity not in (None, "", "sine", "ramp"):
        raise _Failure(f"--linearity \"{args.linearity}\": the shape is sine or ramp (detected "
                       f"when not given)", EXIT_USAGE)
    if args.average is not None:
        if not re.fullmatch(r"[0-9]+", args.average) or not 1 <= int(args.average) <= 1 << 20:
            raise _Failure(f"--average \"{args.average}\": N records per file, 1 or more",
                           EXIT_USAGE)
        args.average = int(args.average)
    if args.sine_fit is not None:
        if args.sine_fit not in ("3", "4"):
            raise _Failure(f"--sine-fit {args.sine_fit}: 3 or 4 parameters", EXIT_USAGE)
        args.sine_fit = int(args.sine_fit)
    if len(args.capture) > 1 and args.linearity is None and args.average is None:
        raise _Failure("several files are analysed together with --average or --linearity",
                       EXIT_USAGE)
    if args.column is not None and args.column < 0:
        raise _Failure(f"--column {args.column}: a column number, 0 or more", EXIT_USAGE)
    try:
        core.load_analysis_library()
    except OSError as error:  # the message names the library, where it was looked for and how
        raise _Failure(str(error)) from None
    inputs = []
    for path in args.capture:
        inputs.append(read_input(path, args.format, args.column))
        if inputs[-1].samples.size == 0:
            raise _Failure(f"\"{path}\" holds no samples", EXIT_FILE)
    unsigned = inputs[0].unsigned
    # A recording's rate unless --rate; its 8-bit codes of 8 bits unless --bits; its
    # floating-point values in fractions of full scale.
    if rate is None:
        rate = inputs[0].rate_hz
    if args.bits is None:
        args.bits = inputs[0].bits or 16
    samples = [i.samples * 2.0 ** (args.bits - 1) if i.fractions else i.samples for i in inputs]
    # Unless told, the file's code format: offset binary for a '<u2' .npy file.
    if args.code_format is None:
        args.code_format = "offset" if unsigned else "twos"
    offset = args.code_format == "offset"
    samples = [tagged(s, offset) if s.dtype == np.uint16 else s for s in samples]
    if args.linearity is not None:
        return _linearity(args, args.capture, samples)
    even = all(i.evenly_spaced for i in inputs)
    if not inputs[0].evenly_spaced and (args.two_tone or args.sine_fit is not None or args.plot):
        # None of these has a figure that stands without even spacing: refused, as the core
        # refuses input that has no answer.
        why = core.warnings_of(core.WARN_UNEVEN_SAMPLES)[0]["message"]
        raise _Failure(f"\"{args.capture[0]}\": {why}", EXIT_FILE)
    if args.two_tone:
        return _two_tone(args, args.capture[0], samples[0], rate)
    if args.sine_fit is not None:
        return _sine_fit(args, args.capture[0], samples[0], rate)
    return _single_tone(args, args.capture, samples, rate, even)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(
        prog="python3 -m vrx5200.analyze",
        description="SNR, SINAD, SFDR, THD, ENOB and noise floor of capture files (IEEE Std 1241 "
                    "single-tone analysis, averaged over files with --average), two-tone IMD, "
                    "sine fit and code density: the figures of vrx5200 analyze.",
        epilog="Warnings (clipping, no tone, a withheld figure) go to standard error, or into "
               "the JSON object; they leave the exit status 0 unless --strict (then 4). Exit "
               "status: 1 the record cannot be measured, 2 bad command line, 3 a file cannot be "
               "read or holds no samples.")
    parser.add_argument("capture", nargs="+", help="capture file: raw 16-bit little-endian words "
                        "(vrx5200 capture -o), .csv (one decimal per line), .npy or a SigMF "
                        "recording (NAME.sigmf-meta, NAME.sigmf-data, NAME.sigmf); - for "
                        "standard input; several with --average or --linearity")
    parser.add_argument("-O", "--format",
                        choices=["raw", "csv", "npy", "sigmf", "offset", "twos"],
                        help="the file's format (default: npy for a file that starts as one, "
                             "else by its extension, raw otherwise), or the code format, as "
                             "--code-format")
    parser.add_argument("--column", type=int, help="the column of a 2-D .npy array to analyse")
    parser.add_argument("--bits", type=int,
                        help="ADC resolution in bits (default 16, 8 for an 8-bit recording; 1 to "
                             "16 for words, to 32 for .npy values)")
    parser.add_argument("--code-format", choices=["twos", "offset"],
                        help="the codes' format (default: offset for a '<u2' .npy file, else "
                             "twos)")
    parser.add_argument("--offset-binary", action="store_true", help="as --code-format offset")
    parser.add_argument("--window", default="blackmanharris",
                        choices=["blackmanharris", "blackmanharris7", "hann", "rectangular"],
                        help="blackmanharris: 4 terms (default); blackmanharris7: 7 terms, side "
                             "lobes near -180 dB; rectangular: coherent captures")
    parser.add_argument("--harmonics", type=int, default=5,
                        help="harmonics counted: orders 2 to N (default 5)")
    parser.add_argument("--rate", metavar="HZ",
                        help="sample rate, e.g. 250M, 1.5G, 100k: frequencies in Hz")
    parser.add_argument("--method", choices=["fit", "spectrum"],
                        help="fit: the tone fitted and subtracted before the window, true "
                             "between bins (default); spectrum: the record's own spectrum")
    parser.add_argument("--fundamental", metavar="FREQ",
                        help="the fundamental, in Hz (with --rate) or bins (2064bin)")
    parser.add_argument("--band", metavar="LOW:HIGH",
                        help="the analysis band, in Hz or bins (0:20M, 100bin:5000bin)")
    parser.add_argument("--tone", action="append", default=[], metavar="NAME=FREQ[:exclude]",
                        help="a tone to name in the answer (repeatable); :exclude takes it out "
                             "of the noise and spurs")
    parser.add_argument("--average", nargs="?", const="1", metavar="N",
                        help="average the spectra of the files (cut into N records each)")
    parser.add_argument("--two-tone", action="store_true", help="two-tone analysis: IMD2, IMD3")
    parser.add_argument("--linearity", nargs="?", const="", metavar="sine|ramp",
                        help="code density of a sine or ramp (detected when not given) over "
                             "the histogram of all the files: DNL, INL, missing codes")
    parser.add_argument("--sine-fit", nargs="?", const="4", metavar="3|4",
                        help="least-squares sine fit of 4 parameters (3: at --fundamental)")
    parser.add_argument("--strict", action="store_true",
                        help="exit 4 when the analysis gives any warning")
    parser.add_argument("--plot", metavar="PNG", help="write the spectrum plot to this file")
    parser.add_argument("--json", action="store_true",
                        help="print one JSON object (keys with units: snr_db, enob_bits, ...)")
    args = parser.parse_args(argv)
    if args.format in ("offset", "twos"):
        if args.code_format not in (None, args.format):
            parser.error(f"--format {args.format} and --code-format {args.code_format} disagree")
        args.code_format, args.format = args.format, None
    try:
        return _analyze(args)
    except _Failure as error:
        print(f"analyze: {error}", file=sys.stderr)
        return error.code
    except BrokenPipeError:  # the reader (head, say) has gone: no traceback for that
        _drop_stdout()
        return EXIT_FAILURE
    except KeyboardInterrupt:  # a plot being written is left out, the old one kept
        print("analyze: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
