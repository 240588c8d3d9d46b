"""Starts and stops `vrx5200 serve` for the tests, and speaks plain HTTP to it.

Used by tests/server/ and by python/tests/ (the board tests through a server). Standard library
only, so it also runs where pytest is not installed (load_test.py as a script).
"""

import http.client
import json
import os
import queue
import signal
import socket
import subprocess
import threading
import time
import urllib.parse
from pathlib import Path

TOP = Path(__file__).resolve().parents[2]
# The token of the servers started with one (given in VRX5200_TOKEN, never on the command line;
# a server started without one makes its own and prints it in the panel's address).
TOKEN = "t0ken-for-the-tests-0123456789abcdef"


def tool_path() -> Path:
    """The tool to test: $VRX5200_TOOL, else the tool of the build whose libraries the Python
    package uses ($VRX5200_LIBRARY_DIR/tools), else the checkout's build/."""
    if os.environ.get("VRX5200_TOOL"):
        return Path(os.environ["VRX5200_TOOL"])
    if os.environ.get("VRX5200_LIBRARY_DIR"):
        return Path(os.environ["VRX5200_LIBRARY_DIR"]) / "tools" / "vrx5200"
    return TOP / "build" / "tools" / "vrx5200"


def library_dir(tool: Path) -> str:
    """The build folder holding the tool's libraries (for the local simulated Board)."""
    return os.environ.get("VRX5200_LIBRARY_DIR") or str(Path(tool).resolve().parent.parent)


class Server:
    """One `vrx5200 [--sim] serve --listen 127.0.0.1:0` process: its URL, token and output.
    ``host`` and ``port`` are where to connect (loopback for a server on every address);
    ``boards``: the simulated bench's boards (VRX5200_SIM_BOARDS); ``env``: more environment."""

    def __init__(self, tool=None, sim=True, token=None, listen="127.0.0.1:0", args=(),
                 preexec_fn=None, start_timeout=20.0, boards=None, env=None):
        self.tool = Path(tool or tool_path())
        command = [str(self.tool)] + (["--sim"] if sim else []) + ["serve", "--listen", listen]
        command += list(args)
        self.command = command
        environment = {k: v for k, v in os.environ.items() if not k.startswith("VRX5200_TOKEN")}
        if token:
            environment["VRX5200_TOKEN"] = token
        if boards:
            environment["VRX5200_SIM_BOARDS"] = str(boards)
        environment.update(env or {})
        self.output: list = []  # every line the server printed, stdout and stderr
        self.token = token  # a token the server makes is read from its output
        self.panel = None  # the panel's address with the token, when the server made it
        self.url = None
        self._lines: queue.Queue = queue.Queue()
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        stdin=subprocess.DEVNULL, preexec_fn=preexec_fn,
                                        env=environment)
        for stream in (self.process.stdout, self.process.stderr):
            threading.Thread(target=self._drain, args=(stream,), daemon=True).start()
        deadline = time.monotonic() + start_timeout
        while self.url is None or self.token is None:
            try:
                line = self._lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                self.stop()
                raise RuntimeError(f"{' '.join(command)}: no 'listening' line in "
                                   f"{start_timeout:g} s; output: {self.output}") from None
            if line is None:
                if self.process.poll() is not None:
                    raise RuntimeError(f"{' '.join(command)} exited "
                                       f"({self.process.returncode}): {self.output}")
                continue
            if line.startswith("vrx5200: listening on "):
                self.url = line.split(" on ", 1)[1].strip().rstrip("/")
                if self.token:
                    break
            elif line.startswith("vrx5200: open the panel at "):
                self.panel = line.rsplit(" ", 1)[1].strip()
                self.token = self.panel.split("#token=", 1)[1]
        parts = urllib.parse.urlsplit(self.url)
        self.host, self.port = parts.hostname, parts.port
        if self.host in ("0.0.0.0", "::", "[::]"):
            self.host = "127.0.0.1"

    def _drain(self, stream):
        for raw in stream:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            self.output.append(line)
            self._lines.put(line)
        self._lines.put(None)

    def alive(self) -> bool:
        return self.process.poll() is None

    def stop(self, sig=signal.SIGTERM, timeout=10.0):
        """Stops the server; returns its exit status."""
        if self.process.poll() is None:
            self.process.send_signal(sig)
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        return self.process.returncode

    # ---- HTTP ----
    def request(self, method, path, body=None, headers=None, token=True, timeout=60.0):
        """One request on a new connection: (status, headers dict with lower-case names,
        body bytes). A dict or list body goes as JSON; token=True sends the server's token,
        a string sends that one, None none."""
        headers = dict(headers or {})
        if token is True:
            token = self.token
        if token:
            headers.setdefault("Authorization", f"Bearer {token}")
        if isinstance(body, (dict, list)):
            body = json.dumps(body).encode()
            headers.setdefault("Content-Type", "application/json")
        elif isinstance(body, str):
            body = body.encode()
            headers.setdefault("Content-Type", "application/json")
        if self.url.startswith("https:"):
            import ssl
            connection = http.client.HTTPSConnection(
                self.host, self.port, timeout=timeout, context=ssl._create_unverified_context())
        else:
            connection = http.client.HTTPConnection(self.host, self.port, timeout=timeout)
        try:
            connection.request(method, path, body=body, headers=headers)
            response = connection.getresponse()
            data = response.read()
            return (response.status, {k.lower(): v for k, v in response.getheaders()}, data)
        finally:
            connection.close()

    def json(self, method, path, body=None, expect=200, **kw):
        """The JSON answer of a request that must answer ``expect``."""
        status, headers, data = self.request(method, path, body, **kw)
        if status != expect:
            raise AssertionError(f"{method} {path}: HTTP {status}, {expect} expected: "
                                 f"{data[:300]!r}")
        return json.loads(data)

    def raw(self, path, expect=200, **kw):
        status, headers, data = self.request("GET", path, **kw)
        if status != expect:
            raise AssertionError(f"GET {path}: HTTP {status}, {expect} expected: {data[:300]!r}")
        return data


def refused(answer, status):
    """Checks what every refusal holds: the status (or one of a tuple), a JSON error object
    {error, code, meaning}, no CORS header. Returns the error object."""
    got, headers, data = answer
    wanted = status if isinstance(status, tuple) else (status,)
    assert got in wanted, (got, data[:300])
    assert headers.get("content-type", "").startswith("application/json"), headers
    body = json.loads(data)
    assert isinstance(body["error"], str) and body["error"], body
    assert "code" in body and "meaning" in body, body
    assert "access-control-allow-origin" not in headers
    return body


def captured(s, body):
    """POST /api/v1/capture with ``body``: the answer and the delivered samples (int16)."""
    import numpy as np
    answer = s.json("POST", "/api/v1/capture", body)
    data = s.raw(f"/api/v1/captures/{answer['id']}")
    return answer, np.frombuffer(data, dtype="<i2")


def raw_exchange(host, port, data: bytes, timeout=10.0) -> bytes:
    """Sends bytes on a new socket and reads until the server closes it (or the time is up)."""
    with socket.create_connection((host, port), timeout=timeout) as s:
        s.sendall(data)
        chunks = []
        try:
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                chunks.append(chunk)
                head = b"".join(chunks)
                # One answer is enough: stop at the end of its body.
                if b"\r\n\r\n" in head:
                    top, _, rest = head.partition(b"\r\n\r\n")
                    for line in top.split(b"\r\n")[1:]:
                        name, _, value = line.partition(b":")
                        if name.strip().lower() == b"content-length":
                            if len(rest) >= int(value):
                                return head
        except socket.timeout:
            pass
        return b"".join(chunks)
