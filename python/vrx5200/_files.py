"""Capture files read back: raw 16-bit little-endian words, decimal text, numpy .npy."""

from __future__ import annotations

import os
from typing import Optional

import numpy as np

_FORMATS = ("raw", "csv", "npy")


def _format_of(path: str) -> str:
    extension = os.path.splitext(os.fspath(path))[1].lower()
    if extension == ".npy":
        return "npy"
    if extension in (".csv", ".txt"):
        return "csv"
    return "raw"


def _text_codes(path, offset_binary: bool) -> np.ndarray:
    # Read as floats (exact for 16-bit values) so that a fraction is seen, not truncated.
    try:
        numbers = np.loadtxt(path, dtype=np.float64, ndmin=1, comments="#")
    except ValueError as error:
        raise ValueError(f"{path}: not one integer per line ({error})") from None
    if numbers.ndim != 1:
        raise ValueError(f"{path}: {numbers.shape[1]} columns; one value per line expected")
    fractional = np.flatnonzero(~np.isfinite(numbers) | (numbers != np.round(numbers)))
    if fractional.size:
        i = int(fractional[0])
        raise ValueError(f"{path}: value {numbers[i]} on data line {i + 1} is not an integer")
    values = numbers.astype(np.int64)
    low, high = (0, 65535) if offset_binary else (-32768, 32767)
    outside = np.flatnonzero((values < low) | (values > high))
    if outside.size:
        i = int(outside[0])
        hint = "" if offset_binary else "; offset-binary samples? use offset_binary=True"
        raise ValueError(f"{path}: value {values[i]} on data line {i + 1} is outside {low} to "
                         f"{high}{hint}")
    return (values & 0xFFFF).astype(np.uint16)


def load_capture(path, format: Optional[str] = None, raw: bool = False,
                 offset_binary: bool = False) -> np.ndarray:
    """Reads a capture file back into the array :meth:`Board.capture` would have returned.

    ``format`` is ``"raw"`` (16-bit little-endian words, as ``vrx5200 capture -o`` writes),
    ``"csv"`` (one decimal per line: signed values of a two's complement capture, 0 to 65535 of
    an offset-binary one, as the tool's CSV output) or ``"npy"`` (a 1-D array of dtype '<i2' or
    '<u2', as numpy.save writes); by default ``.npy`` files are npy, ``.csv`` and ``.txt`` files
    CSV, all others raw.

    Returns int16 two's complement values; uint16 raw codes with ``raw=True`` or for
    offset-binary captures (``offset_binary=True``). Nothing is rounded or wrapped: a file that
    does not hold 16-bit samples raises ValueError.
    """
    kind = format or _format_of(path)
    if kind not in _FORMATS:
        raise ValueError(f"unknown capture format {kind!r} (one of {', '.join(_FORMATS)})")
    if kind == "raw":
        size = os.path.getsize(path)
        if size % 2:
            raise ValueError(f"{path}: {size} bytes, not a whole number of 16-bit samples")
        codes = np.fromfile(path, dtype="<u2").astype(np.uint16, copy=False)
    elif kind == "csv":
        codes = _text_codes(path, offset_binary)
    else:
        with open(path, "rb") as f:
            if f.read(6) != b"\x93NUMPY":
                raise ValueError(f"{path}: not a numpy .npy file")
        try:
            array = np.load(path, allow_pickle=False)
        except ValueError as error:
            raise ValueError(f"{path}: {error}") from None
        if array.dtype.kind not in "iu" or array.dtype.itemsize != 2 or array.ndim != 1:
            raise ValueError(f"{path}: an array of {array.shape} {array.dtype}; a 1-D array of "
                             f"16-bit integers ('<i2' or '<u2') expected")
        codes = array.astype(array.dtype.newbyteorder("="), copy=False).view(np.uint16)
    return codes.view(np.uint16 if raw or offset_binary else np.int16)
