"""Capture files: read back (raw 16-bit little-endian words, decimal text, numpy .npy, SigMF
recordings) and written so that a failure cannot destroy what the user had.

Every file the package writes goes to a temporary file beside its target (``.NAME.XXXX.tmp``)
and is renamed over the target only once complete; a failure or an interruption removes the
temporary and leaves an existing target byte for byte as it was. A target that exists and is
not a regular file (``/dev/stdout``, ``/dev/null``, a named pipe) is written in place, every
write error still raised.
"""

from __future__ import annotations

import errno
import io
import os
import secrets
import stat
import tempfile
import warnings
from typing import Iterable, Optional

import numpy as np

_FORMATS = ("raw", "csv", "npy", "sigmf")
_NPY_MAGIC = b"\x93NUMPY"


class CaptureArray(np.ndarray):
    """Capture samples that know their code format: ``offset_binary`` says how the analysis
    (:func:`vrx5200.analysis.metrics` and the rest) reads them unless told otherwise.

    :func:`load_capture` and :meth:`vrx5200.Board.capture` return these. Slices and views keep
    the code format; arithmetic and reductions give plain numpy arrays and numbers.
    ``sample_rate`` is the rate a SigMF recording gives (None otherwise), which the analysis
    takes unless told; a slice or view does not keep it (it may not be the slice's rate).
    ``evenly_spaced`` is False for a recording that says its samples are not evenly spaced in
    time (a lane list that reorders lanes or keeps them unevenly): the analysis then withholds
    every spectral figure; slices and views keep it.
    """

    offset_binary = False
    sample_rate: Optional[float] = None
    evenly_spaced = True

    def __array_finalize__(self, obj):
        self.offset_binary = getattr(obj, "offset_binary", False)
        self.sample_rate = None
        self.evenly_spaced = getattr(obj, "evenly_spaced", True)

    def __array_wrap__(self, out_arr, context=None, *args, **kwargs):
        out = np.asarray(out_arr)
        return out[()] if out.ndim == 0 else out


def tagged(codes: np.ndarray, offset_binary: bool) -> CaptureArray:
    """``codes`` (a view, no copy) as a :class:`CaptureArray` of the given code format."""
    array = codes.view(CaptureArray)
    array.offset_binary = bool(offset_binary)
    return array


def code_format(codes, offset_binary: Optional[bool]) -> bool:
    """Whether ``codes`` are offset binary: as told, else as the array says (a
    :class:`CaptureArray`), else two's complement."""
    if offset_binary is None:
        return bool(getattr(codes, "offset_binary", False))
    return bool(offset_binary)


# ---- reading ----------------------------------------------------------------------------------

def _format_of(path, head: bytes) -> str:
    """npy by its signature whatever the file's name; else by the extension, as the tool and
    :func:`output_format` name them (a capture written to NAME.txt is raw, and reads back so)."""
    extension = os.path.splitext(os.fspath(path))[1].lower()
    if head == _NPY_MAGIC or extension == ".npy":
        return "npy"
    if extension in (".sigmf-meta", ".sigmf-data", ".sigmf"):
        return "sigmf"
    if extension == ".csv":
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


def _npy_codes(path) -> tuple:
    """The words of a .npy file of one row of 16-bit integers, and whether they are unsigned;
    ValueError naming the file for anything else (its header is checked before its data is
    read, and must describe exactly the bytes that follow it)."""
    with open(path, "rb") as f:
        if f.read(6) != _NPY_MAGIC:
            raise ValueError(f"{path}: not a numpy .npy file")
        f.seek(0)
        try:
            version = np.lib.format.read_magic(f)
            if version == (1, 0):
                shape, _, dtype = np.lib.format.read_array_header_1_0(f)
            elif version == (2, 0):
                shape, _, dtype = np.lib.format.read_array_header_2_0(f)
            else:
                raise ValueError(f"format version {version[0]}.{version[1]} is not read here")
        except ValueError as error:
            raise ValueError(f"{path}: not a readable .npy file ({error})") from None
        offset = f.tell()
    if dtype.kind not in "iu" or dtype.itemsize != 2 or len(shape) != 1:
        raise ValueError(f"{path}: an array of {shape} {dtype}; a 1-D array of 16-bit integers "
                         f"('<i2' or '<u2') expected")
    held = os.path.getsize(path) - offset
    if held != 2 * shape[0]:
        raise ValueError(f"{path}: its header says {shape[0]} samples, but {held} bytes of data "
                         f"follow it, not {2 * shape[0]}")
    array = np.fromfile(path, dtype=dtype, count=shape[0], offset=offset)
    return array.astype(dtype.newbyteorder("="), copy=False).view(np.uint16), dtype.kind == "u"


def load_capture(path, format: Optional[str] = None, raw: bool = False,
                 offset_binary: Optional[bool] = None) -> CaptureArray:
    """Reads a capture file back into the array :meth:`Board.capture` would have returned.

    ``format`` is ``"raw"`` (16-bit little-endian words, as ``vrx5200 capture -o`` writes),
    ``"csv"`` (one decimal per line: signed values of a two's complement capture, 0 to 65535 of
    an offset-binary one, as the tool's CSV output), ``"npy"`` (a 1-D array of dtype '<i2' or
    '<u2', as numpy.save writes) or ``"sigmf"`` (a SigMF recording of ``ri16_le`` or
    ``ru16_le`` samples: NAME.sigmf-meta, NAME.sigmf-data, NAME itself, or a .sigmf archive of
    one recording; its rate becomes the array's ``sample_rate``). By default a file that starts
    with the .npy signature is npy whatever its name; otherwise ``.npy`` files are npy, ``.csv``
    files CSV, ``.sigmf-meta``, ``.sigmf-data`` and ``.sigmf`` files SigMF (in any case), all
    others raw (as the tool and :meth:`Board.capture_to_file` write them; a text file of decimal
    samples of another name, ``samples.txt`` say, reads with ``format="csv"``).

    ``offset_binary``: the codes' format. By default it is the file's: a '<u2' .npy file holds
    offset-binary codes (as ``vrx5200 capture --offset-binary -O npy`` saves them, and as
    ``vrx5200 analyze`` reads them), everything else two's complement. To save raw codes of a
    two's complement capture so that they read back as such, save them as '<i2'
    (``np.save(path, codes.view(np.int16))``), or load them with ``offset_binary=False``.

    Returns a :class:`CaptureArray` that carries its code format to the analysis: int16 two's
    complement values; uint16 raw codes with ``raw=True`` or for offset-binary codes. Nothing is
    rounded, wrapped or flattened: a file that does not hold one row of 16-bit samples (a 2-D or
    a 32-bit .npy array, a header that does not match its data) raises ValueError.
    """
    from . import _sigmf
    if format == "sigmf" or (format is None and _sigmf.part(path)):
        recording = _sigmf.read(path, by_name=_sigmf.part(path) is None)
        if recording.datatype not in ("ri16_le", "ru16_le"):
            raise ValueError(f"{path}: {recording.datatype} samples; a recording of 16-bit "
                             f"samples (ri16_le or ru16_le) expected")
        if len(recording.data) % 2:
            raise ValueError(f"{path}: its dataset ends part-way through a sample")
        unsigned = recording.datatype == "ru16_le"
        offset = unsigned if offset_binary is None else bool(offset_binary)
        codes = np.frombuffer(recording.data, dtype="<u2").astype(np.uint16)
        array = tagged(codes.view(np.uint16 if raw or offset else np.int16), offset)
        array.sample_rate = recording.rate_hz
        array.evenly_spaced = recording.evenly_spaced
        return array
    with open(path, "rb") as f:  # OSError for a missing file or a directory
        head = f.read(6)
    kind = format or _format_of(path, head)
    if kind not in _FORMATS:
        raise ValueError(f"unknown capture format {kind!r} (one of {', '.join(_FORMATS)})")
    unsigned = False
    if kind == "raw":
        size = os.path.getsize(path)
        if size % 2:
            raise ValueError(f"{path}: {size} bytes, not a whole number of 16-bit samples")
        codes = np.fromfile(path, dtype="<u2").astype(np.uint16, copy=False)
    elif kind == "csv":
        codes = _text_codes(path, bool(offset_binary))
    else:
        codes, unsigned = _npy_codes(path)
    offset = unsigned if offset_binary is None else bool(offset_binary)
    return tagged(codes.view(np.uint16 if raw or offset else np.int16), offset)


# ---- writing ----------------------------------------------------------------------------------

def _temporary_beside(final: str) -> str:
    """A new empty file beside ``final``, named for it (the umask's permissions)."""
    folder, name = os.path.split(final)
    for _ in range(100):
        candidate = os.path.join(folder, f".{name}.{secrets.token_hex(6)}.tmp")
        try:
            fd = os.open(candidate, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
        except FileExistsError:
            continue
        os.close(fd)
        return candidate
    raise FileExistsError(f"no free temporary name beside {final}")


class Replacement:
    """A file written whole or not at all: write ``path`` (a temporary beside the target, or
    the target itself when it exists and is not a regular file), then :meth:`commit` (renames it
    over the target) or :meth:`discard` (removes it). As a context manager it commits when the
    block completes and discards on any exception, KeyboardInterrupt included."""

    def __init__(self, target):
        self.target = os.fspath(target)
        self.final = os.path.realpath(self.target)  # a link's file is replaced, the link stays
        try:
            self.mode: Optional[int] = os.stat(self.final).st_mode
        except FileNotFoundError:
            self.mode = None
        self.in_place = self.mode is not None and not stat.S_ISREG(self.mode)
        if self.mode is not None and not self.in_place and not os.access(self.final, os.W_OK):
            # A file the user may not write is not replaced either.
            raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), self.target)
        self.path = self.final if self.in_place else _temporary_beside(self.final)
        self.done = False

    def commit(self) -> None:
        if self.done:
            return
        if not self.in_place:
            try:
                fd = os.open(self.path, os.O_RDONLY)
                try:
                    os.fsync(fd)  # on disk before it takes the target's name
                finally:
                    os.close(fd)
                if self.mode is not None:
                    os.chmod(self.path, stat.S_IMODE(self.mode))
                os.replace(self.path, self.final)
            except BaseException:
                self.discard()
                raise
        self.done = True

    def discard(self) -> None:
        if not self.in_place and not self.done:
            try:
                os.unlink(self.path)
            except FileNotFoundError:
                pass
        self.done = True

    def __enter__(self) -> "Replacement":
        return self

    def __exit__(self, kind, error, trace) -> None:
        if kind is None:
            self.commit()
        else:
            self.discard()


def partial_name(path) -> str:
    """Where an incomplete capture of ``path`` is kept: NAME.partial.EXT (keep.npy:
    keep.partial.npy), as the tool names it."""
    head, extension = os.path.splitext(os.fspath(path))
    return f"{head}.partial{extension}"


def save_figure(figure, path) -> None:
    """Saves a matplotlib figure to ``path`` whole or not at all, in the format its extension
    names (PNG without one)."""
    kind = os.path.splitext(os.fspath(path))[1][1:].lower() or None
    with Replacement(path) as out, open(out.path, "wb") as f:
        figure.savefig(f, format=kind)


def output_format(path, format: Optional[str] = None) -> str:
    """The format a capture is written in: ``format``, else as the tool chooses it from the
    file's extension (``.csv``, ``.npy``, ``.sigmf-meta`` and ``.sigmf-data`` a SigMF
    recording, anything else raw)."""
    kind = format or {".csv": "csv", ".npy": "npy", ".sigmf-meta": "sigmf",
                      ".sigmf-data": "sigmf"}.get(os.path.splitext(os.fspath(path))[1].lower(),
                                                  "raw")
    if kind not in _FORMATS:
        raise ValueError(f"unknown capture format {kind!r} (one of {', '.join(_FORMATS)})")
    return kind


def write_samples(f, chunks: Iterable[np.ndarray], count: int, kind: str,
                  offset_binary: bool) -> None:
    """Writes ``count`` samples, given as chunks of uint16 words, as the tool's capture output
    does: raw little-endian words; .npy '<i2' ('<u2' for offset binary) behind a header of
    ``count`` samples; CSV one decimal per line (signed, or codes 0 to 65535)."""
    if kind == "npy":
        header = io.BytesIO()
        np.lib.format.write_array_header_1_0(header, {
            "descr": "<u2" if offset_binary else "<i2", "fortran_order": False,
            "shape": (count,)})
        f.write(header.getvalue())
    for words in chunks:
        if kind == "csv":
            values = words if offset_binary else words.view(np.int16)
            f.write("".join(f"{v}\n" for v in values.tolist()).encode())
        else:
            f.write(words.astype("<u2", copy=False).tobytes())


def _raw_chunks(path, words: int = 1 << 20):
    with open(path, "rb") as f:
        while True:
            data = f.read(2 * words)
            if not data:
                return
            yield np.frombuffer(data, dtype="<u2").astype(np.uint16, copy=False)


class CaptureFile:
    """A capture file read back block by block: the board library's file read-back writes raw
    words to ``raw_path``; :meth:`complete` makes the file of the format asked for and puts it
    in place; :meth:`fail` removes every temporary and, with ``keep_partial``, keeps the samples
    read as NAME.partial.EXT (a .npy header counting them). A SigMF recording (NAME.sigmf-data
    and NAME.sigmf-meta, its metadata made of ``source``: the board and the rate) takes both its
    names together; a partial one is NAME.partial.sigmf-data and NAME.partial.sigmf-meta. A
    partial capture keeps the blocks written whole (``complete_bytes``, which the capture sets
    after each block)."""

    def __init__(self, path, format: Optional[str], offset_binary: bool, keep_partial: bool,
                 source: Optional[dict] = None):
        from . import _sigmf
        self.kind = output_format(path, format)
        self.offset_binary = offset_binary
        self.keep_partial = keep_partial
        self.source = dict(source or {})
        self.complete_bytes = 0  # of the raw words: the blocks read back and written whole
        self.meta = None
        if self.kind == "sigmf":
            name = _sigmf.base(path)
            self.output = Replacement(name + ".sigmf-data")
            try:
                self.meta = Replacement(name + ".sigmf-meta")
            except BaseException:
                self.output.discard()
                raise
        else:
            self.output = Replacement(path)
        if self.kind == "raw" or (self.kind == "sigmf" and not self.output.in_place):
            self.raw_path = self.output.path
        elif self.output.in_place:
            fd, self.raw_path = tempfile.mkstemp(suffix=".raw")
            os.close(fd)
        else:
            try:
                self.raw_path = _temporary_beside(self.output.final)
            except BaseException:
                self.discard()
                raise

    def discard(self) -> None:
        self.output.discard()
        if self.meta is not None:
            self.meta.discard()

    def _convert_into(self, destination: str) -> None:
        count = os.path.getsize(self.raw_path) // 2
        with open(destination, "wb") as f:
            write_samples(f, _raw_chunks(self.raw_path), count, self.kind, self.offset_binary)

    def _describe(self, destination: str, partial: bool) -> None:
        from . import _sigmf
        words = np.fromfile(self.raw_path, dtype="<u2").astype(np.uint16, copy=False)
        source = dict(self.source)
        if partial:
            source["description"] = (f"VRX5200 ADC capture that did not complete: its first "
                                     f"{words.size} samples")
        with open(destination, "w", encoding="utf-8") as f:
            f.write(_sigmf.meta(words, self.offset_binary, **source))

    def _remove_raw(self) -> None:
        if self.raw_path != self.output.path:
            try:
                os.unlink(self.raw_path)
            except FileNotFoundError:
                pass

    def complete(self) -> None:
        from . import _sigmf
        try:
            if self.kind == "sigmf":
                self._describe(self.meta.path, partial=False)
            if self.raw_path != self.output.path:
                self._convert_into(self.output.path)
        finally:
            self._remove_raw()
        if self.kind == "sigmf":
            _sigmf.commit_both(self.output, self.meta)
        else:
            self.output.commit()

    def fail(self) -> None:
        try:
            if self.keep_partial and not self.output.in_place and self.complete_bytes >= 2:
                try:
                    os.truncate(self.raw_path, self.complete_bytes)
                    self._keep_partial()
                except Exception as error:  # the capture's own failure is the one to report
                    warnings.warn(f"the samples read could not be kept: {error}")
        finally:
            self._remove_raw()
            self.discard()

    def _keep_partial(self) -> None:
        from . import _sigmf
        name = partial_name(self.output.target)
        if self.kind == "sigmf":
            with _sigmf.replacing(_sigmf.base(name)) as (data, meta):
                self._describe(meta.path, partial=True)
                os.replace(self.raw_path, data.path)
            return
        with Replacement(name) as partial:
            if self.kind == "raw":
                os.replace(self.raw_path, partial.path)
            else:
                self._convert_into(partial.path)
