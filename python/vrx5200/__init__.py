"""The VRX5200 ADC/DAC evaluation board from Python.

A thin layer over the control library (``libvrx5200.so`` for attached boards,
``libvrx5200sim.so`` for the simulated board) through ctypes: no compile step. Captures land
straight in numpy arrays (the library writes into the array's own buffer), and every failing
call raises :class:`VRX5200Error` naming its result code and what the code means.

>>> import vrx5200
>>> with vrx5200.Board(simulated=True) as board:
...     samples = board.capture(65536)   # int16: two's complement values

Samples are 16-bit words. For a two's complement ADC they come as ``int16`` values; raw codes
(``uint16``, the words exactly as the board delivered them) on request with ``raw=True``, and
always for offset-binary sessions (``offset_binary=True``). :func:`load_capture` reads capture
files back by the same rule. Both return a :class:`CaptureArray`, which carries its code format
to the analysis (:mod:`vrx5200.analysis`).

Every file the package writes (captures, plots, patterns) replaces its target only once it is
complete: a failure or an interruption leaves an existing file as it was.
"""

from __future__ import annotations

import ctypes
import operator
import os
import re
import time
from pathlib import Path
from typing import Iterable, Optional, Sequence

import numpy as np

from . import _files, _sigmf
from ._files import CaptureArray, load_capture
from ._version import __version__

__all__ = [
    "__version__",
    "VRX5200Error",
    "Board",
    "CaptureArray",
    "find_boards",
    "convert_samples",
    "load_capture",
    "load_library",
    "result_text",
]

_RESULT_TEXTS = {
    0: "success",
    2: "a port among ports 0 to 2 failed to open or to be set up",
    4: "the pattern length or start offset gives no valid board-memory address",
    6: "a bulk read of a data port failed during the read-back",
    8: "a read from a port did not deliver exactly the bytes requested",
    9: "the board did not answer within 10,000 ms",
    10: "a write to a port accepted fewer bytes than given",
    18: "the capture length is not a positive multiple of 32",
    19: "no USB device found, or the device list could not be read",
    20: "the FPGA configuration ran to its end",
    101: "no board is selected, or the board number is out of range",
    102: "the capture did not finish within the time limit",
    103: "no board selected or no session of the kind needed is configured",
    104: "a session of the other kind (ADC or DAC) is configured",
    105: "a DAC session is configured; configure an ADC session to capture",
    106: "no capture has been started, or it has been read completely",
    107: "a file failed to open",
    108: "an argument is invalid (null pointer or value out of range)",
    109: "the JTAG chain names a part that is not in the device table",
    110: "the JTAG chain verification failed",
    111: "the programming file cannot be opened",
    112: "a file could not be read or written completely",
    113: "the FPGA status check failed on all three attempts",
}

_CONVERT_TEXTS = {
    -1: "the file has several columns but no delimiter character in it",
    -2: "an argument is invalid (lane map, lane count or column count)",
    -3: "the input file cannot be opened",
    -4: "the output file cannot be created",
    -5: "a line holds only delimiter characters",
    -6: "the input could not be read or the output not be written completely",
}


def result_text(code: int) -> str:
    """What a result code of the library means, in one sentence."""
    if code in _RESULT_TEXTS:
        return _RESULT_TEXTS[code]
    if code in _CONVERT_TEXTS:
        return _CONVERT_TEXTS[code]
    if 0 < code < 100:
        return "the USB driver reported a failure (driver status)"
    return "unknown result code"


class VRX5200Error(RuntimeError):
    """A library call failed. ``code`` is its result code, ``meaning`` what the code means."""

    def __init__(self, what: str, code: int):
        self.what = what
        self.code = code
        self.meaning = result_text(code)
        super().__init__(f"{what} failed: result {code} ({self.meaning})")


class ADCSessionParams(ctypes.Structure):
    _fields_ = [
        ("Rate_Factor", ctypes.c_int32),
        ("Pattern_Count", ctypes.c_int32),
        ("Step_Select", ctypes.c_int32),
        ("Half_Rate_Mode", ctypes.c_int32),
        ("Rate", ctypes.c_double),
        ("Pattern_Match", ctypes.c_uint8),
        ("Register_1_Value", ctypes.c_uint8),
        ("Register_6_Value", ctypes.c_uint8),
        ("Register_7_Value", ctypes.c_uint8),
        ("Reserved", ctypes.c_uint8 * 4),
    ]


class DACSessionParams(ctypes.Structure):
    _fields_ = [
        ("Rate", ctypes.c_double),
        ("Rate_Factor_1", ctypes.c_int32),
        ("Rate_Factor_2", ctypes.c_int32),
        ("Rate_Divisor", ctypes.c_int32),
        ("Spare_Word", ctypes.c_uint32),
        ("Control_Byte_1", ctypes.c_uint8),
        ("Control_Byte_2", ctypes.c_uint8),
        ("Reserved", ctypes.c_uint8 * 6),
    ]


assert ctypes.sizeof(ADCSessionParams) == 32 and ctypes.sizeof(DACSessionParams) == 32

_i32 = ctypes.c_int32
_pi32 = ctypes.POINTER(ctypes.c_int32)
_pu16 = ctypes.POINTER(ctypes.c_uint16)
_pu32 = ctypes.POINTER(ctypes.c_uint32)
_SIGNATURES = {
    "Get_DLL_Version": [_pi32, _pi32],
    "Close_Session": [],
    "Open_VRX5200_Ports": [_i32, _i32],
    "Get_VRX5200_EVM": [_pi32, ctypes.c_char_p, _pi32],
    "InitVRX5200_EVM": [ctypes.c_char_p, _pi32, _pi32],
    "Read_Register": [ctypes.c_uint8, _pi32],
    "Write_Register": [ctypes.c_uint8, ctypes.c_uint8, _pi32],
    "Check_ADC_Busy": [_pi32],
    "Get_Family_ID": [ctypes.POINTER(ctypes.c_uint8)],
    "Get_Firmware_version": [ctypes.POINTER(ctypes.c_uint8)],
    "Configure_VRX5200_ADC_Session": [ctypes.POINTER(ADCSessionParams)],
    "Start_ADC_to_DDR": [_i32, _pi32, _i32, _i32, _i32],
    "Read_DDR_to_Array": [_pu16, _pu32, ctypes.c_uint32, _pi32, _pi32, _pi32, _pi32, _pi32],
    "Read_DDR_to_File": [ctypes.c_char_p, _pu32, _pu16, _pi32, _i32, _pi32, _pi32, _i32,
                         ctypes.c_uint32, _pi32, _pi32, _pi32, _pi32, _pi32],
    "Configure_VRX5200_DAC_Session": [ctypes.POINTER(DACSessionParams)],
    "Start_DDR_to_DAC": [ctypes.c_uint32, _i32],
    "Write_DDR_from_Array": [ctypes.c_void_p, _i32, _i32, _pi32, ctypes.c_uint32, _pi32],
    "Write_DDR_from_File": [ctypes.c_char_p, _i32, _i32, _pi32],
    "Write_to_DAC": [ctypes.c_uint32, ctypes.c_void_p],
    "Offset_BinRep": [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, _pi32, _pi32, _i32, _i32],
    "Twos_Complement": [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, _pi32, _pi32, _i32, _i32],
    "Load_Firmware": [ctypes.c_char_p],
}

_libraries: dict = {}


def _candidates(name: str) -> list:
    """The files to try before the system's search, in order."""
    here = Path(__file__).resolve().parent
    found = []
    if os.environ.get("VRX5200_LIBRARY_DIR"):
        found.append(Path(os.environ["VRX5200_LIBRARY_DIR"]) / name)
    found += [here / name, here.parent / name]
    return found


def _checkout_build(name: str) -> Optional[Path]:
    """In a source checkout (the package run from ``python/``), the ``build/`` folder's library."""
    here = Path(__file__).resolve().parent
    top = here.parent.parent
    if here.parent.name == "python" and (top / "CMakeLists.txt").is_file():
        return top / "build" / name
    return None


def _open_library(name: str, path: Optional[str] = None, hint: str = "") -> ctypes.CDLL:
    """Opens ``path``, else the first of _candidates(name), the system's search, the checkout's
    build (the order load_library documents); the error names the places tried."""
    if path:
        return ctypes.CDLL(str(path))
    tried = _candidates(name)
    for candidate in tried:
        if candidate.exists():
            return ctypes.CDLL(str(candidate))
    try:
        return ctypes.CDLL(name)
    except OSError as error:
        checkout = _checkout_build(name)
        if checkout is not None and checkout.exists():
            return ctypes.CDLL(str(checkout))
        places = ", ".join(str(p.parent) for p in tried)
        raise OSError(f"cannot load {name}: not in {places}, nor found by the system ({error}); "
                      f"set VRX5200_LIBRARY_DIR to the folder holding it{hint}") from None


def load_library(simulated: bool = False, path: Optional[str] = None) -> ctypes.CDLL:
    """The control library: ``libvrx5200sim.so`` (simulated board) or ``libvrx5200.so``.

    Loaded from ``path`` when given; else looked for in the directory named by the environment
    variable ``VRX5200_LIBRARY_DIR``, beside the package (in its folder, then in the folder
    holding it), then by the system's library search (``ld.so``: ``LD_LIBRARY_PATH``, the
    ldconfig cache); run from a source checkout, last of all in the checkout's ``build/``.
    Loaded once per process.
    """
    if simulated:
        _check_simulated_boards()
    name = "libvrx5200sim.so" if simulated else "libvrx5200.so"
    key = path or name
    if key in _libraries:
        return _libraries[key]
    lib = _open_library(name, path,
                        "" if simulated else "; for the simulated board use simulated=True")
    for export, args in _SIGNATURES.items():
        function = getattr(lib, "VRX5200BrdCtrl_" + export)
        function.argtypes = args
        function.restype = ctypes.c_int32
    if simulated:
        lib.VRXSim_Set_Signal.argtypes = [_i32, ctypes.c_uint32, ctypes.c_double, ctypes.c_double,
                                          ctypes.c_uint32]
        lib.VRXSim_Read_Playback.argtypes = [_i32, ctypes.c_uint32, ctypes.c_uint32, _pu16]
        lib.VRXSim_Set_Capture_Step.argtypes = [_i32, ctypes.c_uint32]
        lib.VRXSim_Set_Loopback.argtypes = [_i32, _i32, ctypes.c_double, ctypes.c_double,
                                            ctypes.c_double, ctypes.POINTER(ctypes.c_double),
                                            _i32, ctypes.c_uint32]
    _libraries[key] = lib
    return lib


def _check_simulated_boards() -> None:
    """The simulated bench offers as many boards as VRX5200_SIM_BOARDS says, 1 to 16, and quietly
    one for anything else: a number it would not honour is refused here, as the tool does."""
    text = os.environ.get("VRX5200_SIM_BOARDS", "")
    if text and not (re.fullmatch(r"\s*[+-]?[0-9]+", text) and 1 <= int(text) <= 16):
        raise ValueError(f"bad number of simulated boards (VRX5200_SIM_BOARDS): \"{text}\" "
                         "(a whole number from 1 to 16)")


def _check(what: str, code: int, success: int = 0) -> None:
    if code != success:
        raise VRX5200Error(what, code)


def _discover(lib: ctypes.CDLL) -> list:
    count, length = _i32(0), _i32(0)
    keys = ctypes.create_string_buffer(901)
    code = lib.VRX5200BrdCtrl_Get_VRX5200_EVM(ctypes.byref(count), keys, ctypes.byref(length))
    if code == 19:
        return []
    _check("discovery", code)
    return [key for key in keys.value.decode().split(",") if key][: count.value]


def find_boards(simulated: bool = False, library: Optional[str] = None) -> list:
    """The serial keys of the boards found, in board-number order."""
    return _discover(load_library(simulated, library))


def _int32_array(values: Iterable[int]) -> ctypes.Array:
    values = list(values)
    return (ctypes.c_int32 * max(1, len(values)))(*values)


def _integer_in(value, what: str, low: int, high: int) -> int:
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{what} must be an integer, not {type(value).__name__}") from None
    if not low <= number <= high:
        raise ValueError(f"{what} {number} out of range ({low} to {high})")
    return number


def _pattern_words(pattern, raw: Optional[bool]) -> np.ndarray:
    """A pattern as the uint16 words to upload, or ValueError: nothing is rounded, wrapped or
    reinterpreted."""
    array = np.asarray(pattern)
    if raw is None:
        raw = array.dtype == np.uint16
    low, high, kind = (0, 65535, "raw 16-bit codes") if raw else (
        -32768, 32767, "signed 16-bit values (raw codes 0 to 65535 with raw=True)")
    if array.dtype.kind not in "iu":
        raise ValueError(f"pattern must be integers, {kind}; got {array.dtype} values")
    flat = array.ravel()
    outside = np.flatnonzero((flat < low) | (flat > high))
    if outside.size:
        i = int(outside[0])
        raise ValueError(f"pattern value {flat[i]} at index {i} is outside {low} to {high} "
                         f"({kind}); {outside.size} of {flat.size} values are outside it")
    if raw:
        return np.ascontiguousarray(flat, dtype=np.uint16)
    return np.ascontiguousarray(flat, dtype=np.int16).view(np.uint16)


def _board_address(key: Optional[str], simulated: bool) -> Optional[str]:
    """The board asked for: the key given, else (unless the simulated board is asked for) the
    environment's VRX5200_BOARD: a serial key, "sim:" or a server's address."""
    if key is None and not simulated:
        return os.environ.get("VRX5200_BOARD") or None
    return key


class Board:
    """One board: its four ports open for as long as the object is (a context manager).

    ``key`` chooses a board by serial key (default: the only one); ``simulated`` uses the
    simulated board. A server's address as ``key`` (``Board("http://host:8520", token=...)``)
    gives a :class:`vrx5200.remote.RemoteBoard`: the same methods, on a board served by
    ``vrx5200 serve``; ``"sim:"`` is the simulated board. Without a key, the environment's
    ``VRX5200_BOARD`` names the board the same ways, so a script runs unchanged on the simulated
    board, an attached one or a remote one.
    """

    def __new__(cls, *args, **kwargs):
        address = _board_address(args[0] if args else kwargs.get("key"),
                                 kwargs.get("simulated", False))
        if cls is Board and isinstance(address, str) and address[:8].lower().startswith(
                ("http://", "https://")):
            from .remote import RemoteBoard
            if not args:
                kwargs.pop("key", None)  # the address itself, given as key= or by the environment
            return RemoteBoard(address, *args[1:], **kwargs)
        return super().__new__(cls)

    def __init__(self, key: Optional[str] = None, simulated: bool = False,
                 library: Optional[str] = None):
        key = _board_address(key, simulated)
        if key is not None and key.startswith("sim:"):
            key, simulated = key[4:] or None, True
        self.lib = load_library(simulated, library)
        self.simulated = simulated
        self.key = key
        self.is_open = False

    # ---- session ----
    def open(self) -> "Board":
        keys = _discover(self.lib)
        if not keys:
            hint = "" if self.simulated else " (try simulated=True)"
            raise VRX5200Error("discovery: no board found" + hint, 19)
        if self.key is None:
            if len(keys) > 1:
                raise ValueError(f"several boards found {keys}; choose one with key=")
            number = 0
        elif self.key[:8] in keys:
            number = keys.index(self.key[:8])
        else:
            raise ValueError(f"no board with serial key {self.key!r}; found {keys}")
        _check("opening the ports", self.lib.VRX5200BrdCtrl_Open_VRX5200_Ports(number, len(keys)))
        self.key = keys[number]
        self.is_open = True
        return self

    def close(self) -> None:
        if self.is_open:
            self.is_open = False
            _check("closing the ports", self.lib.VRX5200BrdCtrl_Close_Session())

    def __enter__(self) -> "Board":
        return self.open()

    def __exit__(self, *exc) -> None:
        self.close()

    # ---- FPGA, registers and identity ----
    def load_firmware(self, path: str) -> None:
        """Loads a programming file into the FPGA (its transcript goes to the console)."""
        _check("FPGA configuration", self.lib.VRX5200BrdCtrl_Load_Firmware(os.fsencode(path)), 20)

    def read_register(self, address: int) -> int:
        """Reads FPGA register ``address`` (0 to 15)."""
        address = _integer_in(address, "register address", 0, 15)
        value = _i32(0)
        _check("register read", self.lib.VRX5200BrdCtrl_Read_Register(address, ctypes.byref(value)))
        return value.value

    def write_register(self, address: int, value: int) -> int:
        """Writes ``value`` (0 to 255) to FPGA register ``address`` (0 to 15); returns the
        board's reply byte."""
        address = _integer_in(address, "register address", 0, 15)
        value = _integer_in(value, "register value", 0, 255)
        status = _i32(0)
        _check("register write",
               self.lib.VRX5200BrdCtrl_Write_Register(address, value, ctypes.byref(status)))
        return status.value

    @property
    def family_id(self) -> int:
        value = ctypes.c_uint8(0)
        _check("family ID", self.lib.VRX5200BrdCtrl_Get_Family_ID(ctypes.byref(value)))
        return value.value

    @property
    def firmware_version(self) -> int:
        value = ctypes.c_uint8(0)
        _check("firmware version", self.lib.VRX5200BrdCtrl_Get_Firmware_version(ctypes.byref(value)))
        return value.value

    # ---- capture ----
    def configure_adc(self, rate: float = 250e6, rate_factor: int = 2, step_select: int = 0,
                      half_rate_mode: int = 0, register_1: int = 0, register_6: int = 0,
                      register_7: int = 0, patterns: Sequence[int] = ()) -> None:
        """Configures an ADC session (pattern-match mode when ``patterns`` are given)."""
        p = ADCSessionParams(Rate_Factor=rate_factor, Pattern_Count=len(patterns),
                             Step_Select=step_select, Half_Rate_Mode=half_rate_mode, Rate=rate,
                             Pattern_Match=1 if patterns else 0, Register_1_Value=register_1,
                             Register_6_Value=register_6, Register_7_Value=register_7)
        _check("ADC session", self.lib.VRX5200BrdCtrl_Configure_VRX5200_ADC_Session(ctypes.byref(p)))
        self._patterns = (ctypes.c_uint32 * max(1, len(patterns)))(*patterns)

    def capture(self, n: int, out: Optional[np.ndarray] = None, timeout_ms: int = 10000,
                patterns: Sequence[int] = (), raw: bool = False, offset_binary: bool = False,
                **session) -> np.ndarray:
        """Captures n samples (a multiple of 32), zero-copy: the library writes straight into
        the array's buffer (``out`` when given: C-contiguous int16 or uint16, at least n
        entries).

        Returns the samples as int16 two's complement values; as uint16 raw codes (the words
        as delivered) with ``raw=True`` or when the ADC's codes are offset binary
        (``offset_binary=True``). Either way a view of the same buffer, a :class:`CaptureArray`
        that tells the analysis its code format.
        """
        if out is None:
            out = np.empty(n, dtype=np.uint16)
        if out.dtype not in (np.uint16, np.int16) or not out.flags.c_contiguous or out.size < n:
            raise ValueError("out must be a C-contiguous int16 or uint16 array of at least n "
                             "entries")
        self.configure_adc(patterns=patterns, **session)
        _check("capture start", self.lib.VRX5200BrdCtrl_Start_ADC_to_DDR(n, None, 0, 0, 0))
        this_call, index, status, timed_out, more = (_i32(0) for _ in range(5))
        more.value = 1
        buffer = out.ctypes.data_as(_pu16)
        while more.value == 1:
            _check("read-back", self.lib.VRX5200BrdCtrl_Read_DDR_to_Array(
                buffer, self._patterns, timeout_ms, ctypes.byref(this_call), ctypes.byref(index),
                ctypes.byref(status), ctypes.byref(timed_out), ctypes.byref(more)))
            if timed_out.value:
                raise VRX5200Error("pattern match (no capture matched in time)", 102)
        return _files.tagged(out[:n].view(np.uint16 if raw or offset_binary else np.int16),
                             offset_binary)

    def capture_to_file(self, path: str, n: int, lanes: Sequence[int] = (1,),
                        ops: Sequence[tuple] = (), timeout_ms: int = 10000,
                        format: Optional[str] = None, offset_binary: bool = False,
                        keep_partial: bool = False, **session) -> int:
        """Captures n samples into a file, with a lane list and bit operations ((code, operand)
        pairs); returns the samples read from the board.

        The file is written as ``vrx5200 capture -o`` writes it: ``format`` "raw" (16-bit
        little-endian words), "npy" ('<i2', or '<u2' with ``offset_binary``), "csv" (one
        decimal per line) or "sigmf" (a recording: NAME.sigmf-data and NAME.sigmf-meta, with the
        board, the rate and the figures), by default from the extension (``.npy``, ``.csv``,
        ``.sigmf-meta`` and ``.sigmf-data``, anything else raw). It replaces ``path`` only once
        the capture is complete: a failed or interrupted capture leaves a file already there as
        it was, and keeps the samples read only with ``keep_partial=True``, as NAME.partial.EXT
        (keep.partial.npy, its header counting them; a recording's two files, both). A path that
        exists and is not a regular file (/dev/stdout, a named pipe) is written in place.
        """
        lane_list = _int32_array(lanes)
        codes = _int32_array(code for code, _ in ops)
        operands = _int32_array(operand for _, operand in ops)
        block = (ctypes.c_uint16 * (65536 + 14))()
        this_call, index, status, timed_out, more = (_i32(0) for _ in range(5))
        more.value = 1
        # A recording's description of the board is read before the capture starts.
        source = None
        if _files.output_format(path, format) == "sigmf":
            source = dict(board=self.key, family_id=self.family_id,
                          firmware_version=self.firmware_version,
                          rate_hz=_sigmf.capture_rate(lanes, **session),
                          evenly_spaced=_sigmf.capture_rate(lanes, **session) is not None,
                          recorder=f"vrx5200 Python package {__version__}", taken=time.time())
        # A file that cannot be made is found before the board is touched.
        target = _files.CaptureFile(path, format, offset_binary, keep_partial, source)
        try:
            self.configure_adc(**session)
            _check("capture start", self.lib.VRX5200BrdCtrl_Start_ADC_to_DDR(n, None, 0, 0, 0))
            # The library's file read-back writes the words block by block, into a temporary.
            raw_path = os.fsencode(target.raw_path)
            while more.value == 1:
                _check("read-back", self.lib.VRX5200BrdCtrl_Read_DDR_to_File(
                    raw_path, self._patterns, block, lane_list, len(lanes), codes, operands,
                    len(ops), timeout_ms, ctypes.byref(this_call), ctypes.byref(index),
                    ctypes.byref(status), ctypes.byref(timed_out), ctypes.byref(more)))
                if timed_out.value:
                    raise VRX5200Error("pattern match (no capture matched in time)", 102)
                # What a partial capture may keep: the blocks written whole (a block whose
                # write failed, on a full disk say, ends part-way).
                target.complete_bytes = os.path.getsize(target.raw_path)
            target.complete()
        except BaseException:
            target.fail()
            raise
        return index.value

    # ---- pattern ----
    def play(self, pattern: np.ndarray, rate: float = 100e6, rate_factor_1: int = 8,
             rate_factor_2: int = 1, rate_divisor: int = 1, control_byte_1: int = 0,
             control_byte_2: int = 0, start_offset: int = 0, raw: Optional[bool] = None) -> None:
        """Uploads a pattern and starts playback. Its length must be 32 or more with
        length mod 32 <= 3 (a multi-dimensional array is played in C order).

        The pattern is integers (an integer array or a list): signed values -32768 to 32767,
        uploaded as two's complement words; with ``raw=True`` raw codes 0 to 65535, uploaded as
        they are (offset binary, say). ``raw`` defaults to True for uint16 arrays, else False.
        Floats, bools and values outside the range raise ValueError before anything is sent.
        """
        words = _pattern_words(pattern, raw)
        p = DACSessionParams(Rate=rate, Rate_Factor_1=rate_factor_1, Rate_Factor_2=rate_factor_2,
                             Rate_Divisor=rate_divisor, Control_Byte_1=control_byte_1,
                             Control_Byte_2=control_byte_2)
        _check("DAC session", self.lib.VRX5200BrdCtrl_Configure_VRX5200_DAC_Session(ctypes.byref(p)))
        position, done = _i32(0), _i32(0)
        while done.value != 1:
            _check("pattern upload", self.lib.VRX5200BrdCtrl_Write_DDR_from_Array(
                words.ctypes.data, start_offset, 10000, ctypes.byref(position), words.size,
                ctypes.byref(done)))

    # ---- the simulated board ----
    def simulated_pattern(self, count: int, first: int = 0) -> np.ndarray:
        """The simulated board's playback memory: ``count`` words from word ``first``."""
        if not self.simulated:
            raise RuntimeError("only the simulated board's memory can be read back")
        words = np.empty(count, dtype=np.uint16)
        _check("reading the simulated memory",
               self.lib.VRXSim_Read_Playback(0, first, count, words.ctypes.data_as(_pu16)))
        return words

    def set_simulated_capture_step(self, step: int) -> None:
        """How far the simulated signal moves on from one capture to the next (0: no move)."""
        if not self.simulated:
            raise RuntimeError("only the simulated board's signal can be set")
        _check("setting the simulated capture step", self.lib.VRXSim_Set_Capture_Step(0, step))

    def set_simulated_signal(self, cycles: int, amplitude: float, noise_rms: float,
                             seed: int = 1) -> None:
        """The simulated ADC's signal: a coherent sine of ``cycles`` periods per 65,536 samples
        with Gaussian noise, in 16-bit two's complement codes."""
        if not self.simulated:
            raise RuntimeError("only the simulated board's signal can be set")
        _check("setting the simulated signal",
               self.lib.VRXSim_Set_Signal(0, cycles, amplitude, noise_rms, seed))

    def set_simulated_loopback(self, on: bool, noise_rms: float = 0.0, gain: float = 1.0,
                               offset: float = 0.0, harmonics_dbc: Sequence[float] = (),
                               seed: int = 1) -> None:
        """Wires the simulated DAC's output to its ADC (``on``): every capture then reads the
        played pattern through a converter model of the given noise (RMS codes), gain (ADC codes
        per DAC code), offset (codes) and harmonics (dBc of a full-scale sine, orders 2 to 5);
        off, the ADC reads its synthetic signal again."""
        if not self.simulated:
            raise RuntimeError("only the simulated board's loopback can be set")
        levels = (ctypes.c_double * max(1, len(harmonics_dbc)))(*harmonics_dbc)
        _check("setting the simulated loopback", self.lib.VRXSim_Set_Loopback(
            0, 1 if on else 0, noise_rms, gain, offset, levels, len(harmonics_dbc), seed))


def convert_samples(input_file: str, output_dir: str = ".",
                    lane_map: Optional[Sequence[int]] = None, columns: int = 1,
                    delimiters: str = ",", offset_binary: bool = True,
                    multipliers: Optional[Sequence[int]] = None, simulated: bool = True,
                    library: Optional[str] = None) -> int:
    """Converts a text sample file into ``output_dir/DAC_test.bin``; returns the lines converted.

    ``lane_map`` defaults, as the tool's does, to each column's low byte then its high byte:
    -1, 1, -2, 2, ..., -C, C for C ``columns``. Needs no board; either library does it (the
    simulated one by default), and writes the file.
    """
    if lane_map is None:
        columns = _integer_in(columns, "column count", 1, 10)
        lane_map = [lane for c in range(1, columns + 1) for lane in (-c, c)]
    lib = load_library(simulated, library)
    table = _int32_array(multipliers if multipliers is not None else [1] * 4096)
    if len(table) < 4096:
        table = _int32_array(list(table) + [1] * (4096 - len(table)))
    convert = lib.VRX5200BrdCtrl_Offset_BinRep if offset_binary else lib.VRX5200BrdCtrl_Twos_Complement
    lines = convert(os.fsencode(input_file), delimiters.encode(), os.fsencode(output_dir), table,
                    _int32_array(lane_map), len(lane_map), columns)
    if lines < 0:
        raise VRX5200Error(f"converting {input_file}", lines)
    return lines
