"""A board served by ``vrx5200 serve``, over HTTP: the methods and properties of a local
:class:`vrx5200.Board`, so a script moves between a local and a remote board by one string.

>>> import vrx5200
>>> with vrx5200.Board("http://bench-pc:8520", key="SIM00002") as board:   # VRX5200_TOKEN set
...     samples = board.capture(65536)      # int16, as from a local board
...     board.last_metrics["snr_db"]        # the server's figures of that capture

The token goes in an ``Authorization: Bearer`` header, never in an address: from ``token=``,
else the address's ``#token=`` (the panel's link), else the file ``token_file=`` names, else
``VRX5200_TOKEN``, else the file ``VRX5200_TOKEN_FILE`` names. Standard library HTTP only (one kept-alive
connection per board object). Every failure comes
back as a :class:`RemoteError` (a :class:`vrx5200.VRX5200Error`): the server's sentence, the
library's result code when the board or the library failed, and the HTTP status; a server that
does not answer in time gives one too, never a hang. Bad arguments raise ValueError before
anything is sent, as with a local board.
"""

from __future__ import annotations

import http.client
import json
import operator
import os
import socket
import threading
import time
import urllib.parse
from typing import Optional, Sequence

import numpy as np

from . import (VRX5200Error, __version__, _files, _integer_in, _pattern_words, _sigmf,
               result_text)

__all__ = ["API", "RemoteBoard", "RemoteError"]

API = 1  # the major version of the HTTP API this module speaks

_ADC_SESSION = ("rate", "rate_factor", "step_select", "half_rate_mode", "register_1",
                "register_6", "register_7")


class RemoteError(VRX5200Error):
    """A request to the server failed.

    ``error`` is the server's sentence (or what went wrong on the way), ``code`` the library's
    result code when the board or the library failed (else None), ``meaning`` what the code
    means, ``status`` the HTTP status (None when no answer came).
    """

    def __init__(self, what: str, error: str, code: Optional[int] = None,
                 meaning: Optional[str] = None, status: Optional[int] = None):
        self.what = what
        self.error = error
        self.code = code
        self.meaning = meaning if meaning or code is None else result_text(code)
        self.status = status
        text = f"{what} failed: {error}"
        if code is not None:
            text += f" (result {code}: {self.meaning})"
        if status is not None:
            text += f" [HTTP {status}]"
        RuntimeError.__init__(self, text)


def _number(value, what: str) -> float:
    """A finite real number for a query or a JSON body."""
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise ValueError(f"{what} must be a number, not {type(value).__name__}")
    number = float(value)
    if not np.isfinite(number):
        raise ValueError(f"{what} must be finite, not {number}")
    return number


def _integer(value, what: str) -> int:
    try:
        return operator.index(value)
    except TypeError:
        raise ValueError(f"{what} must be an integer, not {type(value).__name__}") from None


def _session_fields(session: dict) -> dict:
    """An ADC session's keyword arguments as the capture body's fields."""
    unknown = sorted(set(session) - set(_ADC_SESSION))
    if unknown:
        raise ValueError(f"unknown ADC session parameter(s): {', '.join(unknown)}")
    return {name: (_number(value, name) if name == "rate" else _integer(value, name))
            for name, value in session.items()}


class _Connection:
    """One kept-alive HTTP connection to the server; requests from several threads take turns."""

    def __init__(self, url: str, token: Optional[str], timeout: float,
                 token_file: Optional[str] = None):
        parts = urllib.parse.urlsplit(url)
        if parts.scheme not in ("http", "https") or not parts.hostname:
            raise ValueError(f"not a server address: {url!r} (http://host:port)")
        fragment = urllib.parse.parse_qs(parts.fragment)
        query = urllib.parse.parse_qs(parts.query)
        # A front panel link (…/#token=T) carries the token too.
        token = token or (fragment.get("token") or query.get("token") or [None])[0]
        if not token and not token_file:
            token = os.environ.get("VRX5200_TOKEN")
            token_file = os.environ.get("VRX5200_TOKEN_FILE")
        if not token and token_file:
            with open(token_file, encoding="utf-8") as file:
                token = file.read().strip(" \t\n\v\f\r")  # both ends, as the server and the tool
        self.token = token or None
        self.https = parts.scheme == "https"
        self.host = parts.hostname
        self.port = parts.port or (443 if self.https else 80)
        self.prefix = parts.path.rstrip("/")
        self.url = f"{parts.scheme}://{parts.netloc.rsplit('@', 1)[-1]}{self.prefix}"
        self.timeout = timeout
        self._http: Optional[http.client.HTTPConnection] = None
        self._lock = threading.Lock()

    def close(self) -> None:
        with self._lock:
            self._drop()

    def _drop(self) -> None:
        if self._http is not None:
            self._http.close()
            self._http = None

    def _connect(self, timeout: float) -> http.client.HTTPConnection:
        kind = http.client.HTTPSConnection if self.https else http.client.HTTPConnection
        self._http = kind(self.host, self.port, timeout=timeout)
        self._http.connect()
        return self._http

    def request(self, what: str, method: str, path: str, body: Optional[bytes] = None,
                content_type: Optional[str] = None, query: Optional[dict] = None,
                timeout: Optional[float] = None) -> tuple:
        """Sends one request; returns (content type, body bytes) of a 2xx answer, else raises
        RemoteError."""
        timeout = self.timeout if timeout is None else timeout
        target = self.prefix + path
        if query:
            target += "?" + urllib.parse.urlencode(query)
        headers = {"Accept": "application/json, application/octet-stream"}
        if self.token:
            headers["Authorization"] = f"Bearer {self.token}"
        if body is not None:
            headers["Content-Type"] = content_type or "application/json"
        with self._lock:
            try:
                status, kind, data = self._exchange(method, target, body, headers, timeout)
            except (socket.timeout, TimeoutError):
                self._drop()
                raise RemoteError(what, f"no answer from {self.url} within {timeout:g} s") \
                    from None
            except (OSError, http.client.HTTPException) as error:
                self._drop()
                raise RemoteError(what, f"cannot talk to {self.url}: {error}") from None
        if 200 <= status < 300:
            return kind, data
        raise _refusal(what, status, kind, data)

    def _exchange(self, method, target, body, headers, timeout):
        """One round trip; once more on a new connection when a kept-alive one turns out to
        have been closed by the server before it read the request."""
        for attempt in (0, 1):
            reused = self._http is not None
            connection = self._http if reused else self._connect(timeout)
            connection.sock.settimeout(timeout)
            try:
                connection.request(method, target, body=body, headers=headers)
                response = connection.getresponse()
                data = response.read()
            except (http.client.RemoteDisconnected, ConnectionResetError, BrokenPipeError):
                self._drop()
                if reused and attempt == 0:
                    continue
                raise
            if response.will_close:
                self._drop()
            return response.status, response.getheader("Content-Type", ""), data
        raise AssertionError("unreachable")


def _refusal(what: str, status: int, kind: str, data: bytes) -> RemoteError:
    """The RemoteError for a 4xx/5xx answer: the server's error object, or what came instead."""
    try:
        answer = json.loads(data)
    except ValueError:
        answer = None
    if isinstance(answer, dict) and isinstance(answer.get("error"), str):
        code = answer.get("code")
        meaning = answer.get("meaning")
        return RemoteError(what, answer["error"], code if isinstance(code, int) else None,
                           meaning if isinstance(meaning, str) else None, status)
    text = data[:200].decode("utf-8", "replace").strip() or http.client.responses.get(status, "")
    return RemoteError(what, f"unexpected answer ({kind or 'no type'}): {text}", None, None,
                       status)


def _json(what: str, answer: tuple):
    kind, data = answer
    try:
        return json.loads(data)
    except ValueError:
        raise RemoteError(what, f"the answer is not JSON ({kind or 'no type'})") from None


def _words(what: str, answer: tuple, count: int) -> np.ndarray:
    """An octet-stream answer as ``count`` native uint16 words."""
    data = answer[1]
    if len(data) != 2 * count:
        raise RemoteError(what, f"{len(data)} bytes came, {2 * count} expected")
    return np.frombuffer(data, dtype="<u2").astype(np.uint16)


class RemoteBoard:
    """A board of a ``vrx5200 serve`` server at ``url`` (``http://host:port``).

    ``token``: the server's access token (else from the URL's ``#token=`` or ``?token=``, else
    from the file ``token_file``, else the environment variable ``VRX5200_TOKEN``, else the file
    ``VRX5200_TOKEN_FILE`` names). ``timeout``: seconds to wait for an answer (a capture waits
    its own ``timeout_ms`` longer). ``key`` chooses one of the server's boards (default: the
    only one); ``simulated``, when given, must match what the server serves.
    ``vrx5200.Board(url, ...)`` makes one of these.

    Several clients may use one board: :meth:`open` takes a use of it and :meth:`close` ends
    that use only; the server closes the board's ports when the last use ends.
    """

    def __init__(self, url: str, token: Optional[str] = None, timeout: float = 30.0,
                 key: Optional[str] = None, simulated: Optional[bool] = None,
                 token_file: Optional[str] = None):
        self.timeout = _number(timeout, "timeout")
        if self.timeout <= 0:
            raise ValueError(f"timeout must be positive, not {timeout}")
        self._http = _Connection(url, token, self.timeout, token_file)
        self.url = self._http.url
        self.key = key
        self.is_open = False
        self._use: Optional[int] = None  # this client's use of the board, from open to close
        # The board's routes: the one named by key=, else the server's default board (until
        # opened: then the board opened, on a server of several boards).
        self._base = "/api/v1" if key is None else \
            f"/api/v1/boards/{urllib.parse.quote(key[:8], safe='')}"
        self.simulated = simulated
        self.server: Optional[dict] = None  # the server's version description
        self.last_capture: Optional[dict] = None  # the last capture's answer (id, summary, ...)
        self.last_metrics: Optional[dict] = None  # and its figures (None: not analysable)
        self.last_transcript: list = []  # the last FPGA configuration's transcript
        self._session: dict = {}

    def __repr__(self) -> str:
        state = "open" if self.is_open else "closed"
        return f"<RemoteBoard {self.key or '?'} at {self.url} ({state})>"

    def _request(self, what, method, path, **kw):
        return self._http.request(what, method, path, **kw)

    def _json(self, what, method, path, body=None, **kw):
        data = None if body is None else json.dumps(body).encode()
        return _json(what, self._request(what, method, "/api/v1" + path, body=data, **kw))

    def _board_json(self, what, method, path, body=None, **kw):
        """A request to a route of this board (``path`` after its prefix)."""
        data = None if body is None else json.dumps(body).encode()
        return _json(what, self._request(what, method, self._base + path, body=data, **kw))

    # ---- session ----
    def open(self) -> "RemoteBoard":
        if self.is_open:
            return self  # one use per object
        if self.server is None:
            self._check_server()
        boards = self._json("discovery", "GET", "/boards")
        keys = [board["key"] for board in boards]
        if not keys:
            raise RemoteError("discovery", f"the server at {self.url} has no board", 19)
        if self.key is None:
            if len(keys) > 1:
                raise ValueError(f"several boards served {keys}; choose one with key=")
            key = keys[0]
        elif self.key[:8] in keys:
            key = self.key[:8]
        else:
            raise ValueError(f"no board with serial key {self.key!r} at {self.url}; "
                             f"found {keys}")
        info = self._json("opening the board", "POST",
                          f"/boards/{urllib.parse.quote(key, safe='')}/open")
        self.key = info.get("key", key)
        self._use = info.get("use")
        # A server of several boards names each in its routes; an older one serves one board.
        if "board-routes" in (self.server.get("features") or ()):
            self._base = f"/api/v1/boards/{urllib.parse.quote(self.key, safe='')}"
        else:
            self._base = "/api/v1"
        self.is_open = True
        return self

    def _check_server(self) -> None:
        description = self._json("asking the server's version", "GET", "")
        api = description.get("api") if isinstance(description, dict) else None
        if not isinstance(api, int):
            raise RemoteError("asking the server's version",
                              f"{self.url} does not describe a vrx5200 API")
        if api > API:
            raise RemoteError("asking the server's version",
                              f"the server speaks API {api}, this package API {API}: "
                              f"update the vrx5200 package to use it")
        served = bool(description.get("simulated"))
        if self.simulated is not None and bool(self.simulated) != served:
            kinds = {True: "the simulated board", False: "attached boards"}
            raise ValueError(f"the server at {self.url} serves {kinds[served]}, "
                             f"not {kinds[bool(self.simulated)]}")
        self.simulated = served
        self.server = description

    def close(self) -> None:
        """Ends this client's use of the board: the server closes the board's ports when no
        other client uses it (the next request from anyone opens it again)."""
        if self.is_open:
            self.is_open = False
            use, self._use = self._use, None
            try:
                self._json("closing the board", "POST",
                           f"/boards/{urllib.parse.quote(self.key, safe='')}/close",
                           None if use is None else {"use": use})
            finally:
                self._http.close()

    def __enter__(self) -> "RemoteBoard":
        return self.open()

    def __exit__(self, *exc) -> None:
        self.close()

    # ---- FPGA, registers and identity ----
    def load_firmware(self, path: str) -> None:
        """Sends a programming file to the server, which loads it into the FPGA (the transcript
        goes to the console, as from a local board, and stays in ``last_transcript``)."""
        with open(path, "rb") as file:
            data = file.read()
        try:
            answer = _json("FPGA configuration", self._request(
                "FPGA configuration", "POST", self._base + "/fpga", body=data,
                content_type="application/octet-stream",
                timeout=self.timeout + len(data) / 1e5))
        except RemoteError:
            self.last_transcript = []
            raise
        self.last_transcript = list(answer.get("transcript") or [])
        for line in self.last_transcript:
            print(line)

    def read_register(self, address: int) -> int:
        """Reads FPGA register ``address`` (0 to 15)."""
        address = _integer_in(address, "register address", 0, 15)
        return self._board_json("register read", "GET", f"/registers/{address}")["value"]

    def write_register(self, address: int, value: int) -> int:
        """Writes ``value`` (0 to 255) to FPGA register ``address`` (0 to 15); returns the
        board's reply byte."""
        address = _integer_in(address, "register address", 0, 15)
        value = _integer_in(value, "register value", 0, 255)
        return self._board_json("register write", "PUT", f"/registers/{address}",
                                {"value": value})["status"]

    def info(self) -> dict:
        """The open board's description: key, number, family_id, firmware_version, busy, ..."""
        return self._board_json("board information", "GET", "/board")

    @property
    def family_id(self) -> int:
        return self.info()["family_id"]

    @property
    def firmware_version(self) -> int:
        return self.info()["firmware_version"]

    # ---- capture ----
    def configure_adc(self, rate: float = 250e6, rate_factor: int = 2, step_select: int = 0,
                      half_rate_mode: int = 0, register_1: int = 0, register_6: int = 0,
                      register_7: int = 0, patterns: Sequence[int] = ()) -> None:
        """The ADC session of the captures to come: kept here and sent with each capture (a
        capture's own session arguments take precedence)."""
        if len(patterns):
            raise ValueError("pattern-match captures are not served; capture without patterns")
        self._session = _session_fields(dict(
            rate=rate, rate_factor=rate_factor, step_select=step_select,
            half_rate_mode=half_rate_mode, register_1=register_1, register_6=register_6,
            register_7=register_7))

    def _capture(self, what: str, n: int, timeout_ms: int, fields: dict, session: dict) -> tuple:
        """Runs one capture on the server; returns (answer, samples as uint16 words)."""
        n = _integer(n, "n")
        if n <= 0 or n % 32:
            raise VRX5200Error("capture start", 18)
        timeout_ms = _integer(timeout_ms, "timeout_ms")
        body = {**self._session, **_session_fields(session), **fields, "samples": n,
                "timeout_ms": timeout_ms}
        data = json.dumps(body).encode()
        answer = _json(what, self._request(what, "POST", self._base + "/capture", body=data,
                                           timeout=self.timeout + max(timeout_ms, 0) / 1000))
        self.last_capture = answer
        self.last_metrics = answer.get("metrics")
        count = answer["samples"]
        words = _words(what, self._request(
            what, "GET", f"{self._base}/captures/{answer['id']}",
            timeout=self.timeout + count / 5e6), count)
        return answer, words

    def capture(self, n: int, out: Optional[np.ndarray] = None, timeout_ms: int = 10000,
                patterns: Sequence[int] = (), raw: bool = False, offset_binary: bool = False,
                **session) -> np.ndarray:
        """Captures n samples (a multiple of 32) into ``out`` (when given: C-contiguous int16 or
        uint16, at least n entries) or a new array.

        Returns the samples as int16 two's complement values; as uint16 raw codes with
        ``raw=True`` or for offset-binary ADC codes (``offset_binary=True``): a view of ``out``
        when given. The server's figures of the record are in ``last_metrics``.
        """
        if out is not None and (out.dtype not in (np.uint16, np.int16)
                                or not out.flags.c_contiguous or out.size < n):
            raise ValueError("out must be a C-contiguous int16 or uint16 array of at least n "
                             "entries")
        if len(patterns):
            raise ValueError("pattern-match captures are not served; capture without patterns")
        answer, words = self._capture("capture", n, timeout_ms,
                                      {"offset_binary": bool(offset_binary)}, session)
        if words.size != n:
            raise RemoteError("capture", f"{words.size} samples came, {n} asked for")
        if out is None:
            out = words
        else:
            out.reshape(-1).view(np.uint16)[:n] = words
        return _files.tagged(
            out.reshape(-1)[:n].view(np.uint16 if raw or offset_binary else np.int16),
            offset_binary)

    def capture_to_file(self, path: str, n: int, lanes: Sequence[int] = (1,),
                        ops: Sequence[tuple] = (), timeout_ms: int = 10000,
                        format: Optional[str] = None, offset_binary: bool = False,
                        keep_partial: bool = False, **session) -> int:
        """Captures n samples into a file, with a lane list and bit operations ((code,
        operand) pairs); returns the samples read from the board. The file's format and its
        replacement only once complete are those of :meth:`vrx5200.Board.capture_to_file`; the
        server hands over a capture whole or not at all, so ``keep_partial`` never has samples
        to keep."""
        kind = _files.output_format(path, format)
        fields = {"lanes": [_integer(lane, "lane") for lane in lanes],
                  "ops": [[_integer(code, "operation code"), _integer(operand, "operand")]
                          for code, operand in ops]}
        identity = self.info() if kind == "sigmf" else {}
        taken = time.time()
        answer, words = self._capture("capture", n, timeout_ms, fields, session)
        if kind == "sigmf":
            _sigmf.write(path, words, offset_binary, board=self.key,
                         family_id=identity.get("family_id"),
                         firmware_version=identity.get("firmware_version"),
                         rate_hz=answer.get("rate_hz") or None,
                         evenly_spaced=_sigmf.capture_rate(lanes) is not None,
                         recorder=f"vrx5200 Python package {__version__}", taken=taken)
            return n
        with _files.Replacement(path) as out, open(out.path, "wb") as file:
            _files.write_samples(file, [words], words.size, kind, offset_binary)
        return n

    # ---- pattern ----
    def play(self, pattern: np.ndarray, rate: float = 100e6, rate_factor_1: int = 8,
             rate_factor_2: int = 1, rate_divisor: int = 1, control_byte_1: int = 0,
             control_byte_2: int = 0, start_offset: int = 0, raw: Optional[bool] = None,
             loopback: Optional[bool] = None) -> None:
        """Uploads a pattern and starts playback, as :meth:`vrx5200.Board.play` does (the same
        integers are taken and refused). ``loopback`` (simulated board only) wires the DAC to
        the ADC (True) or not (False); None leaves the wiring as it is."""
        words = _pattern_words(pattern, raw)
        if words.size < 32 or words.size % 32 > 3 or words.size > 1 << 29:
            raise VRX5200Error("pattern upload", 4)  # as the library answers such a length
        query = {"rate": repr(_number(rate, "rate"))}
        for name, value in (("rate_factor_1", rate_factor_1), ("rate_factor_2", rate_factor_2),
                            ("rate_divisor", rate_divisor), ("control_byte_1", control_byte_1),
                            ("control_byte_2", control_byte_2), ("start_offset", start_offset)):
            query[name] = str(_integer(value, name))
        if loopback is not None:
            query["loopback"] = "1" if loopback else "0"
        self._request("pattern upload", "POST", self._base + "/play",
                      body=words.astype("<u2").tobytes(),
                      content_type="application/octet-stream", query=query,
                      timeout=self.timeout + words.size / 1e6)

    # ---- the simulated board ----
    def _need_simulated(self, what: str) -> None:
        if self.server is None:
            self._check_server()
        if not self.simulated:
            raise RuntimeError(f"only the simulated board's {what}")

    def _sim(self, what: str, settings: dict) -> None:
        self._board_json(what, "POST", "/sim", settings)

    def simulated_pattern(self, count: int, first: int = 0) -> np.ndarray:
        """The simulated board's playback memory: ``count`` words from word ``first``."""
        self._need_simulated("memory can be read back")
        count, first = _integer(count, "count"), _integer(first, "first")
        if count < 0 or first < 0:
            raise ValueError(f"count {count} and first {first} must not be negative")
        what = "reading the simulated memory"
        answer = self._request(what, "GET", self._base + "/sim/playback",
                               query={"first": first, "count": count})
        return _words(what, answer, count)

    def set_simulated_capture_step(self, step: int) -> None:
        """How far the simulated signal moves on from one capture to the next (0: no move)."""
        self._need_simulated("signal can be set")
        self._sim("setting the simulated capture step",
                  {"capture_step": _integer(step, "capture step")})

    def set_simulated_signal(self, cycles: int, amplitude: float, noise_rms: float,
                             seed: int = 1) -> None:
        """The simulated ADC's signal: a coherent sine of ``cycles`` periods per 65,536 samples
        with Gaussian noise, in 16-bit two's complement codes."""
        self._need_simulated("signal can be set")
        self._sim("setting the simulated signal", {"signal": {
            "cycles": _integer(cycles, "cycles"), "amplitude": _number(amplitude, "amplitude"),
            "noise_rms": _number(noise_rms, "noise_rms"), "seed": _integer(seed, "seed")}})

    def set_simulated_loopback(self, on: bool, noise_rms: float = 0.0, gain: float = 1.0,
                               offset: float = 0.0, harmonics_dbc: Sequence[float] = (),
                               seed: int = 1) -> None:
        """Wires the simulated DAC's output to its ADC through a converter model (``on``), or
        back to the synthetic signal: as :meth:`vrx5200.Board.set_simulated_loopback`."""
        self._need_simulated("loopback can be set")
        loopback = {"on": bool(on)}
        if on:
            loopback.update(noise_rms=_number(noise_rms, "noise_rms"), gain=_number(gain, "gain"),
                            offset=_number(offset, "offset"),
                            harmonics_dbc=[_number(level, "harmonic level")
                                           for level in harmonics_dbc],
                            seed=_integer(seed, "seed"))
        self._sim("setting the simulated loopback", {"loopback": loopback})
