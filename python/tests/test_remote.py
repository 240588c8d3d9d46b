"""vrx5200.Board(url): what is particular to a board over HTTP. Against small stand-in servers
(versions, time-outs, refusals, kept-alive connections, the token) and, when the tool is built,
against `vrx5200 --sim serve` (figures of a capture, the kept ADC session, FPGA transcripts)."""

import json
import os
import socket
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import numpy as np
import pytest

import vrx5200
from vrx5200.remote import RemoteBoard, RemoteError

VERSION = {"api": 1, "version": "0.1.0", "library": "0.1", "simulated": True}
BOARDS = [{"number": 0, "key": "SIM00001", "open": False}]
INFO = {"key": "SIM00001", "number": 0, "open": True, "family_id": 0x52,
        "firmware_version": 0x13, "busy": False, "simulated": True}


class StandIn:
    """A tiny HTTP server: answers[(method, path)] is (status, JSON or bytes) or a callable of
    the handler; every request is kept in ``seen`` as (method, path, headers, body)."""

    def __init__(self, answers, close_after_each=False):
        self.answers = {("GET", "/api/v1"): (200, VERSION),
                        ("GET", "/api/v1/boards"): (200, BOARDS),
                        ("POST", "/api/v1/boards/SIM00001/open"): (200, INFO),
                        ("POST", "/api/v1/boards/SIM00001/close"): (200, {"open": False}),
                        **answers}
        self.seen = []
        stand_in = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def answer(self):
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length) if length else b""
                path = self.path.split("?")[0]
                stand_in.seen.append((self.command, self.path, dict(self.headers), body))
                found = stand_in.answers.get((self.command, path), (404, {"error": "no route",
                                                                          "code": None,
                                                                          "meaning": None}))
                if callable(found):
                    return found(self)
                status, content = found
                data = content if isinstance(content, bytes) else json.dumps(content).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/octet-stream"
                                 if isinstance(content, bytes) else "application/json")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)
                if close_after_each:  # closes without saying so first
                    self.close_connection = True

            do_GET = do_POST = do_PUT = answer

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


@pytest.fixture
def stand_in(request):
    servers = []

    def make(answers=(), **kw):
        servers.append(StandIn(dict(answers), **kw))
        return servers[-1]
    yield make
    for s in servers:
        s.close()


@pytest.mark.parametrize("key", ["http://127.0.0.1:9", "https://bench:8520/", "HTTP://x:1"])
def test_an_address_makes_a_remote_board(key):
    board = vrx5200.Board(key, token="T")
    assert isinstance(board, RemoteBoard) and not board.is_open
    assert isinstance(vrx5200.Board("SIM00001", simulated=True), vrx5200.Board)


@pytest.mark.parametrize("named, remote, simulated", [
    ("http://127.0.0.1:9", True, None), ("sim:", False, True), ("SIM00001", False, False)])
def test_the_environment_names_the_board_when_the_script_does_not(monkeypatch, named, remote,
                                                                  simulated):
    monkeypatch.setenv("VRX5200_BOARD", named)
    board = vrx5200.Board()
    assert isinstance(board, RemoteBoard) == remote
    if not remote:
        assert board.simulated == simulated
    # A script's own choice wins over the environment.
    assert not isinstance(vrx5200.Board(simulated=True), RemoteBoard)


@pytest.mark.parametrize("answer, says", [
    ((200, dict(VERSION, api=2)), "API 2"),
    ((200, {"hello": "world"}), "does not describe a vrx5200 API"),
    ((404, b"<html>not here</html>"), "HTTP 404"),
])
def test_a_server_that_does_not_speak_this_api_is_refused(stand_in, answer, says):
    s = stand_in({("GET", "/api/v1"): answer})
    with pytest.raises(RemoteError, match=says):
        vrx5200.Board(s.url).open()
    assert [(m, p) for m, p, *_ in s.seen] == [("GET", "/api/v1")]


def silent(handler):
    time.sleep(3)


def headers_only(handler):
    handler.send_response(200)
    handler.send_header("Content-Length", "100")
    handler.end_headers()
    handler.wfile.flush()
    time.sleep(3)


@pytest.mark.parametrize("behaviour", [silent, headers_only])
def test_no_answer_in_time_is_an_error_not_a_hang(stand_in, behaviour):
    s = stand_in({("GET", "/api/v1/registers/3"): behaviour})
    board = vrx5200.Board(s.url, timeout=0.5).open()
    started = time.monotonic()
    with pytest.raises(vrx5200.VRX5200Error, match="within 0.5 s") as error:
        board.read_register(3)
    assert time.monotonic() - started < 2
    assert error.value.status is None and error.value.code is None


def test_an_unreachable_server_is_an_error():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]  # nobody listens here once closed
    with pytest.raises(RemoteError, match="cannot talk to"):
        vrx5200.Board(f"http://127.0.0.1:{port}", timeout=2).open()


@pytest.mark.parametrize("status, body, code, says", [
    (502, {"error": "the board stopped answering", "code": 8,
           "meaning": "a read from a port did not deliver exactly the bytes requested"}, 8,
     "the board stopped answering"),
    (409, {"error": "cancelled", "code": None, "meaning": None}, None, "cancelled"),
    (503, {"error": "too many jobs waiting", "code": None, "meaning": None}, None, "too many"),
    (500, b"Internal Server Error", None, "Internal Server Error"),
])
def test_refusals_carry_the_servers_words_code_and_status(stand_in, status, body, code, says):
    s = stand_in({("POST", "/api/v1/capture"): (status, body)})
    board = vrx5200.Board(s.url).open()
    with pytest.raises(vrx5200.VRX5200Error, match=says) as error:
        board.capture(4096)
    assert (error.value.code, error.value.status) == (code, status)
    if code is not None:
        assert error.value.meaning == body["meaning"] and f"result {code}" in str(error.value)


@pytest.mark.parametrize("call, error", [
    (lambda b: b.read_register(16), ValueError),
    (lambda b: b.write_register(3, 256), ValueError),
    (lambda b: b.capture(100), vrx5200.VRX5200Error),
    (lambda b: b.capture(4096, out=np.zeros(4096, np.float32)), ValueError),
    (lambda b: b.capture(4096, patterns=[1, 2]), ValueError),
    (lambda b: b.capture(4096, rate="fast"), ValueError),
    (lambda b: b.capture(4096, sample_rate=1e6), ValueError),
    (lambda b: b.play(np.full(64, 0.5)), ValueError),
    (lambda b: b.play(np.zeros(64, np.int16), rate_factor_1=1.5), ValueError),
    (lambda b: b.set_simulated_signal(cycles=1.5, amplitude=1.0, noise_rms=0.0), ValueError),
])
def test_bad_arguments_are_refused_before_anything_is_sent(stand_in, call, error):
    s = stand_in()
    board = vrx5200.Board(s.url).open()
    sent = len(s.seen)
    with pytest.raises(error):
        call(board)
    assert len(s.seen) == sent


@pytest.mark.parametrize("make", [
    lambda url: vrx5200.Board(url, token="s3cret"),
    lambda url: vrx5200.Board(url + "/#token=s3cret"),
    lambda url: vrx5200.Board(url + "/?token=s3cret"),
])
def test_the_token_goes_with_every_request(stand_in, make):
    s = stand_in({("GET", "/api/v1/registers/3"): (200, {"address": 3, "value": 7})})
    with make(s.url) as board:
        assert board.read_register(3) == 7
    assert len(s.seen) == 5
    assert all(headers.get("Authorization") == "Bearer s3cret" for _, _, headers, _ in s.seen)
    assert all("token=" not in path for _, path, _, _ in s.seen)  # not in logs' URLs


def test_the_token_from_the_environment(stand_in, monkeypatch):
    monkeypatch.setenv("VRX5200_TOKEN", "from-env")
    s = stand_in()
    vrx5200.Board(s.url).open()
    assert s.seen[0][2].get("Authorization") == "Bearer from-env"


def test_a_connection_closed_by_the_server_is_opened_again(stand_in):
    s = stand_in({("GET", "/api/v1/registers/3"): (200, {"address": 3, "value": 7})},
                 close_after_each=True)
    board = vrx5200.Board(s.url).open()
    assert [board.read_register(3) for _ in range(5)] == [7] * 5


def test_simulated_must_match_what_is_served(stand_in):
    s = stand_in({("GET", "/api/v1"): (200, dict(VERSION, simulated=False))})
    with pytest.raises(ValueError, match="attached boards"):
        vrx5200.Board(s.url, simulated=True).open()
    board = vrx5200.Board(s.url).open()
    with pytest.raises(RuntimeError, match="simulated"):
        board.set_simulated_capture_step(0)


def test_several_boards_need_a_key(stand_in):
    two = BOARDS + [{"number": 1, "key": "SIM00002", "open": False}]
    s = stand_in({("GET", "/api/v1/boards"): (200, two),
                  ("POST", "/api/v1/boards/SIM00002/open"): (200, dict(INFO, key="SIM00002",
                                                                       number=1)),
                  ("POST", "/api/v1/boards/SIM00002/close"): (200, {"open": False})})
    with pytest.raises(ValueError, match="several boards"):
        vrx5200.Board(s.url).open()
    with pytest.raises(ValueError, match="no board with serial key"):
        vrx5200.Board(s.url, key="SIM00003").open()
    with vrx5200.Board(s.url, key="SIM00002") as board:
        assert board.key == "SIM00002"


# ---- through `vrx5200 --sim serve` ----
@pytest.fixture
def remote(served):
    with vrx5200.Board(served.url) as board:
        board.set_simulated_capture_step(0)
        yield board
        board.set_simulated_capture_step(4099)


def test_a_capture_leaves_its_figures(remote):
    remote.set_simulated_signal(cycles=1001, amplitude=20000.0, noise_rms=2.0, seed=3)
    samples = remote.capture(65536, rate=100e6)
    m = remote.last_metrics
    assert m["fundamental_cycles"] == pytest.approx(1001, abs=0.01)
    assert m["fundamental_hz"] == pytest.approx(1001 * 100e6 / 65536)
    assert remote.last_capture["summary"]["max"] == samples.max()


def test_the_configured_adc_session_goes_with_the_captures(remote):
    remote.configure_adc(rate=160e6)
    remote.capture(4096)
    assert remote.last_capture["rate_hz"] == 160e6
    remote.capture(4096, rate=80e6)  # a capture's own arguments take precedence
    assert remote.last_capture["rate_hz"] == 80e6
    remote.capture(4096)
    assert remote.last_capture["rate_hz"] == 160e6


def test_a_remote_capture_is_the_local_one(remote, local_board):
    for b in (remote, local_board):
        b.set_simulated_signal(cycles=333, amplitude=12000.0, noise_rms=5.0, seed=21)
        b.set_simulated_capture_step(0)
    try:
        assert np.array_equal(remote.capture(1 << 20), local_board.capture(1 << 20))
    finally:
        local_board.set_simulated_capture_step(4099)


def test_load_firmware_uploads_the_file_and_tells_its_transcript(remote, tmp_path, capsys):
    path = tmp_path / "design.rbf"
    path.write_bytes(os.urandom(5000))
    remote.load_firmware(str(path))
    printed = capsys.readouterr().out
    assert "Info: Programming file size: 5000" in printed
    assert remote.last_transcript and all(line in printed for line in remote.last_transcript)
    with pytest.raises(FileNotFoundError):
        remote.load_firmware(str(tmp_path / "missing.rbf"))


def test_the_board_opens_again_after_a_close(served):
    board = vrx5200.Board(served.url).open()
    board.close()
    assert not board.is_open
    with board:
        assert board.read_register(14) == 0x13


def test_key_chooses_the_board_and_close_ends_this_clients_use_only(tool, tmp_path):
    from serving import Server
    s = Server(tool, boards=2)
    try:
        token_file = tmp_path / "token"
        token_file.write_text(" " + s.token + "\n")
        one = vrx5200.Board(s.url, key="SIM00001", token=s.token).open()
        two = vrx5200.Board(s.url, key="SIM00002", token_file=str(token_file)).open()
        other = vrx5200.Board(s.url, key="SIM00002", token=s.token).open()
        one.write_register(5, 0x11)
        two.write_register(5, 0x22)
        # Not opened, a board named by key is still that board, never the default one.
        unopened = vrx5200.Board(s.url, key="SIM00002", token=s.token)
        assert unopened.read_register(5) == 0x22
        assert unopened.capture(64).size == 64 and unopened.last_capture["board"] == "SIM00002"
        two.close()
        # Another client's board stays open, as it was.
        assert other.info()["open"] is True
        assert (one.read_register(5), other.read_register(5)) == (0x11, 0x22)
        other.close()
        one.close()
        assert [b["open"] for b in json.loads(s.raw("/api/v1/boards"))] == [False, False]
    finally:
        s.stop()
