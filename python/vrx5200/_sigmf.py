"""Captures as SigMF recordings, as the ``vrx5200`` tool writes and reads them.

A recording NAME is ``NAME.sigmf-data`` (the samples alone: ``ri16_le``, or ``ru16_le`` for
offset-binary codes) and ``NAME.sigmf-meta`` (JSON: the datatype, the rate when it is known, the
board, the recorder, when the capture began, and the single-tone figures of the samples as an
annotation in the ``vrx5200`` namespace). A SigMF archive (``.sigmf``) is a tar of such files.
Both files of a recording are written beside their targets and take their names together: a
failure leaves both as they were.
"""

from __future__ import annotations

import contextlib
import io
import json
import os
import tarfile
import time
from typing import NamedTuple, Optional

import numpy as np

from ._files import Replacement

SIGMF_VERSION = "1.2.0"
NAMESPACE = "vrx5200"
# The real datatypes read, as numpy types.
DATATYPES = {"ri16_le": "<i2", "ru16_le": "<u2", "ri8": "i1", "ru8": "u1", "ri32_le": "<i4",
             "rf32_le": "<f4", "rf64_le": "<f8"}


def part(path) -> Optional[str]:
    """"meta", "data" or "archive" by the path's suffix (in any case); None otherwise."""
    name = os.fspath(path).lower()
    for suffix, kind in ((".sigmf-meta", "meta"), (".sigmf-data", "data"), (".sigmf", "archive")):
        if name.endswith(suffix):
            return kind
    return None


def base(path) -> str:
    """A recording's name: the path without .sigmf-meta or .sigmf-data."""
    path = os.fspath(path)
    return path[:-len(".sigmf-meta")] if part(path) in ("meta", "data") else path


def _sibling(path: str) -> str:
    """The recording's other file, its suffix in the case it had."""
    want = "meta" if path[-4].lower() == "d" else "data"
    return path[:-4] + "".join(w.upper() if c.isupper() else w for c, w in zip(path[-4:], want))


class Recording(NamedTuple):
    datatype: str
    rate_hz: Optional[float]
    data: bytes
    evenly_spaced: bool = True  # False: the meta says vrx5200:evenly_spaced false


def _parse_meta(name: str, text: bytes) -> tuple:
    """The datatype, rate and even spacing of a recording's metadata; ValueError when it is
    not one whose samples can be taken (as the tool refuses it)."""
    where = f'"{name}"'
    try:
        meta = json.loads(text)
    except ValueError:
        raise ValueError(f"{where} is not JSON") from None
    glob = meta.get("global") if isinstance(meta, dict) else None
    if not isinstance(glob, dict):
        raise ValueError(f'{where} is not SigMF metadata (no "global" object)')
    datatype = glob.get("core:datatype")
    if not isinstance(datatype, str):
        raise ValueError(f"{where} gives no core:datatype")
    rate = None
    if "core:sample_rate" in glob:
        value = glob["core:sample_rate"]
        ok = isinstance(value, (int, float)) and not isinstance(value, bool) and 1 <= value <= 100e9
        if not ok:
            raise ValueError(f"{where}: core:sample_rate {json.dumps(value)} is not a rate "
                             f"(1 Hz to 100 GHz)")
        rate = float(value)
    if glob.get("core:num_channels", 1) != 1:
        raise ValueError(f"{where} holds {json.dumps(glob['core:num_channels'])} channels; "
                         f"analyze takes a recording of one")
    if "core:dataset" in glob:
        raise ValueError(f"{where} describes another dataset file (core:dataset); analyze reads "
                         f"NAME.sigmf-data")
    if glob.get("core:trailing_bytes", 0) != 0:
        raise ValueError(f"{where} has trailing bytes after its samples; analyze reads "
                         f"conforming datasets")
    for capture in meta.get("captures") or ():
        if isinstance(capture, dict) and capture.get("core:header_bytes", 0) != 0:
            raise ValueError(f"{where} has header bytes in its dataset; analyze reads conforming "
                             f"datasets")
    return datatype.lower(), rate, glob.get(f"{NAMESPACE}:evenly_spaced") is not False


def read(path, by_name: bool = False, data: Optional[bytes] = None) -> Recording:
    """The recording ``path`` names: NAME.sigmf-meta or NAME.sigmf-data (the other file beside
    it), NAME itself with ``by_name`` (unless NAME is a file: then an archive), or a .sigmf
    archive of one recording (``data``: the archive's bytes, read already). OSError for a file
    that cannot be read, ValueError for one that is not a recording as the tool reads it."""
    path = os.fspath(path)
    kind = None if by_name else part(path)
    if by_name and os.path.isfile(path):
        kind = "archive"
    elif by_name:
        kind = "name"
    if kind in ("meta", "data", "name"):
        named = {"meta": (path, _sibling(path)), "data": (_sibling(path), path),
                 "name": (path + ".sigmf-meta", path + ".sigmf-data")}
        meta, dataset = named[kind]
        with open(meta, "rb") as f:
            datatype, rate, even = _parse_meta(meta, f.read())
        with open(dataset, "rb") as f:
            return Recording(datatype, rate, f.read(), even)
    if data is None:
        with open(path, "rb") as f:
            data = f.read()
    try:
        archive = tarfile.open(fileobj=io.BytesIO(data), mode="r:")
        members = {m.name: m for m in archive.getmembers() if m.isfile()}
    except tarfile.TarError:
        raise ValueError(f'"{path}" is not a tar archive') from None
    metas = [name for name in members if part(name) == "meta"]
    if len(metas) != 1:
        raise ValueError(f'"{path}" holds {len(metas)} SigMF recordings; analyze takes an archive '
                         f'of one')
    datatype, rate, even = _parse_meta(f"{path}: {metas[0]}",
                                       archive.extractfile(metas[0]).read())
    dataset = _sibling(metas[0])
    if dataset not in members:
        raise ValueError(f'"{path}" holds no {dataset} beside {metas[0]}')
    return Recording(datatype, rate, archive.extractfile(dataset).read(), even)


# ---- writing ----------------------------------------------------------------------------------

def _datetime(seconds: float) -> str:
    ms = int(round(seconds * 1000))
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(ms // 1000)) + f".{ms % 1000:03d}Z"


def meta(words: np.ndarray, offset_binary: bool, rate_hz: Optional[float] = None,
         board: Optional[str] = None, family_id: Optional[int] = None,
         firmware_version: Optional[int] = None, recorder: str = "",
         taken: Optional[float] = None, description: Optional[str] = None,
         evenly_spaced: bool = True) -> str:
    """The metadata of a capture's 16-bit words as the tool writes it: the figures of
    ``vrx5200 analyze --json`` with its defaults in the annotation (the core's reason in
    core:comment when it refuses the samples)."""
    from . import analysis, core
    from ._files import tagged
    words = np.asarray(words, dtype=np.uint16)
    hw = "VRX5200 evaluation board" + (f" {board}" if board else "")
    if family_id is not None and firmware_version is not None:
        hw += f" (family 0x{family_id:02X}, firmware 0x{firmware_version:02X})"
    glob = {
        "core:datatype": "ru16_le" if offset_binary else "ri16_le",
        **({"core:sample_rate": float(rate_hz)} if rate_hz else {}),
        "core:version": SIGMF_VERSION, "core:num_channels": 1,
        "core:description": description or "VRX5200 ADC capture: 16-bit codes, " + (
            "offset binary" if offset_binary else "two's complement"),
        "core:hw": hw, "core:recorder": recorder,
        "core:extensions": [{"name": NAMESPACE, "version": "1.0.0", "optional": True}],
    }
    if board:
        glob[f"{NAMESPACE}:board"] = board
    if family_id is not None:
        glob[f"{NAMESPACE}:family_id"] = family_id
    if firmware_version is not None:
        glob[f"{NAMESPACE}:firmware_version"] = firmware_version
    glob[f"{NAMESPACE}:offset_binary"] = bool(offset_binary)
    if not evenly_spaced:
        glob[f"{NAMESPACE}:evenly_spaced"] = False
    capture = {"core:sample_start": 0}
    if taken:
        capture["core:datetime"] = _datetime(taken)
    annotation = {"core:sample_start": 0, "core:sample_count": int(words.size),
                  "core:generator": recorder}
    try:
        codes = tagged(words.view(np.uint16 if offset_binary else np.int16), offset_binary)
        figures = analysis.metrics(codes, rate_hz=rate_hz or None,
                                   evenly_spaced=evenly_spaced).as_dict()
        annotation["core:label"] = "single-tone figures"
        annotation.update({f"{NAMESPACE}:{k}": v for k, v in figures.items()})
    except core.AnalysisError as error:
        annotation["core:comment"] = f"no single-tone figures: {error.meaning}"
    return json.dumps({"global": glob, "captures": [capture], "annotations": [annotation]},
                      indent=2, allow_nan=False) + "\n"


def capture_rate(lanes, rate: float = 250e6, rate_factor: int = 2, half_rate_mode: int = 0,
                 register_1: int = 0, block: int = 65536, **_) -> Optional[float]:
    """The sample rate of a capture's output as the tool gives it: rate_factor * rate / 2,
    halved in half-rate mode with an odd register 1, over the lane list's decimation; None
    when the lane list leaves the output unevenly spaced."""
    board = rate_factor * rate / 2
    if half_rate_mode == 1 and register_1 & 1:
        board /= 2
    lanes = list(lanes)
    if lanes == list(range(1, len(lanes) + 1)):
        return board
    if sum(1 for lane in lanes if lane) == 1 and block % len(lanes) == 0:
        return board / len(lanes)
    return None


def commit_both(first: Replacement, second: Replacement) -> None:
    """Commits two files that belong together: both take their names, or neither target changes.
    The first's old file stays linked under a name of its own until the second has taken its
    place, so that a second commit that fails puts it back (a first target that did not exist
    is removed again); where no such link can be made, a failing second commit leaves the
    first's new file, and the error says so."""
    backup = None
    if not first.in_place and first.mode is not None:
        folder, name = os.path.split(first.final)
        for _ in range(100):
            candidate = os.path.join(folder, f".{name}.{os.urandom(6).hex()}.old")
            try:
                os.link(first.final, candidate)
                backup = candidate
                break
            except FileExistsError:
                continue
            except OSError:
                break
    try:
        try:
            first.commit()
        except BaseException:
            second.discard()
            raise
        try:
            second.commit()
        except BaseException as error:
            if first.in_place:
                raise
            if backup is not None:
                os.replace(backup, first.final)
                backup = None
            elif first.mode is None:
                os.unlink(first.final)
            else:
                error.args = error.args + (f"{first.target} holds the new data (its old file "
                                           f"could not be kept aside)",)
            raise
    finally:
        if backup is not None:
            os.unlink(backup)


@contextlib.contextmanager
def replacing(name: str):
    """The temporaries (data, metadata) of the recording NAME: both committed together when the
    block ends (commit_both), both discarded when it raises."""
    data = Replacement(name + ".sigmf-data")
    try:
        description = Replacement(name + ".sigmf-meta")
    except BaseException:
        data.discard()
        raise
    try:
        yield data, description
    except BaseException:
        data.discard()
        description.discard()
        raise
    commit_both(data, description)


def write(path, words: np.ndarray, offset_binary: bool, **source) -> None:
    """Writes the recording ``path`` names (NAME, NAME.sigmf-meta or NAME.sigmf-data) of
    ``words``, both files whole or neither."""
    with replacing(base(path)) as (data, description):
        with open(data.path, "wb") as f:
            f.write(np.asarray(words, dtype=np.uint16).astype("<u2", copy=False).tobytes())
        with open(description.path, "w", encoding="utf-8") as f:
            f.write(meta(words, offset_binary, **source))
