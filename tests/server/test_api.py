"""`vrx5200 --sim serve` against its API: every route, what the answers hold, how refusals look
and that a refused request changes nothing."""

import io
import json
import math
import re
import signal
import socket
import threading
import time
from pathlib import Path

import numpy as np
import pytest

from vrx5200 import core
from vrx5200.analysis import metrics as core_metrics
from serving import TOKEN, TOP, Server, captured, raw_exchange, refused, tool_path

TOOL = tool_path()

# Every route the tests here use, as the API description must list them.
ROUTES = [
    ("get", "/"), ("get", "/panel/{file}"),
    ("get", "/api/v1"), ("get", "/api/v1/openapi.json"), ("get", "/api/v1/boards"),
    ("post", "/api/v1/boards/{key}/open"), ("post", "/api/v1/boards/{key}/close"),
    ("get", "/api/v1/board"), ("get", "/api/v1/registers/{address}"),
    ("put", "/api/v1/registers/{address}"), ("post", "/api/v1/capture"),
    ("get", "/api/v1/captures"), ("get", "/api/v1/captures/{id}"),
    ("get", "/api/v1/captures/{id}/spectrum"), ("post", "/api/v1/play"),
    ("post", "/api/v1/fpga"), ("get", "/api/v1/events"), ("get", "/api/v1/jobs"),
    ("post", "/api/v1/jobs/{id}/cancel"), ("post", "/api/v1/sim"),
    ("get", "/api/v1/sim/playback"), ("get", "/api/v1/status"), ("post", "/api/v1/session"),
    ("get", "/api/v1/boards/{key}"), ("get", "/api/v1/boards/{key}/board"),
    ("post", "/api/v1/boards/{key}/capture"), ("get", "/api/v1/boards/{key}/captures/{id}"),
    ("get", "/api/v1/boards/{key}/events"), ("post", "/api/v1/boards/{key}/play"),
    ("put", "/api/v1/boards/{key}/registers/{address}"), ("post", "/api/v1/boards/{key}/fpga"),
    ("get", "/api/v1/boards/{key}/jobs"), ("post", "/api/v1/boards/{key}/sim"),
]

METRICS = ["snr_db", "sinad_db", "sfdr_dbc", "thd_dbc", "enob", "fundamental_dbfs",
           "fundamental_hz", "fundamental_cycles", "noise_floor_dbfs", "worst_spur_hz",
           "harmonics"]


def state(s):
    """What the requests under test could change, as seen through the API."""
    return {"captures": [c["id"] for c in s.json("GET", "/api/v1/captures")],
            "register 5": s.json("GET", "/api/v1/registers/5")["value"],
            "playback": s.raw("/api/v1/sim/playback?first=0&count=64"),
            "jobs": s.json("GET", "/api/v1/jobs"),
            "boards": s.json("GET", "/api/v1/boards")}


def play_words(s, words, **query):
    query = "&".join(f"{k}={v}" for k, v in query.items())
    return s.json("POST", "/api/v1/play" + ("?" + query if query else ""),
                  np.asarray(words, dtype="<i2").tobytes(),
                  headers={"Content-Type": "application/octet-stream"})


# ---- version, boards, registers ----
def test_version_description(server):
    description = server.json("GET", "/api/v1")
    cmake = (TOP / "CMakeLists.txt").read_text()
    version = re.search(r"project\(vrx5200\s+VERSION\s+([0-9.]+)", cmake).group(1)
    assert description["api"] == 1
    assert description["version"] == version
    assert isinstance(description["library"], str) and description["library"]
    assert description["simulated"] is True


def test_open_close_and_discovery_agree(sim):
    boards = sim.json("GET", "/api/v1/boards")
    assert isinstance(boards, list) and len(boards) == 1
    assert {"number", "key", "open"} <= set(boards[0])
    key = boards[0]["key"]
    assert len(key) == 8 and boards[0]["number"] == 0

    sim.json("POST", f"/api/v1/boards/{key}/close")
    assert sim.json("GET", "/api/v1/boards")[0]["open"] is False
    refused(sim.request("GET", "/api/v1/board"), 409)

    info = sim.json("POST", f"/api/v1/boards/{key}/open")
    assert info["key"] == key and info["open"] is True and info["simulated"] is True
    assert (info["family_id"], info["firmware_version"]) == (0x52, 0x13)
    use = info.pop("use")
    assert info.pop("uses") == 1
    assert sim.json("GET", "/api/v1/board") == info == sim.json("GET", f"/api/v1/boards/{key}")
    assert sim.json("GET", "/api/v1/boards")[0]["open"] is True

    # Any board operation opens the board when none is open.
    assert sim.json("POST", f"/api/v1/boards/{key}/close", {"use": use}) == {"open": False,
                                                                              "uses": 0}
    assert sim.json("GET", "/api/v1/registers/14")["value"] == 0x13
    assert sim.json("GET", "/api/v1/board")["open"] is True


@pytest.mark.parametrize("address, value", [(5, 0x42), (15, 255), (0, 0), (7, 0x81)])
def test_register_write_then_read(sim, address, value):
    written = sim.json("PUT", f"/api/v1/registers/{address}", {"value": value})
    assert written["address"] == address and written["value"] == value
    assert isinstance(written["status"], int)
    assert sim.json("GET", f"/api/v1/registers/{address}") == {"address": address,
                                                                "value": value}


# ---- captures ----
def test_capture_answer_describes_its_samples(sim):
    answer, samples = captured(sim, {"samples": 65536, "rate": 125e6})
    assert answer["samples"] == samples.size == 65536
    assert answer["rate_hz"] == 125e6 and answer["elapsed_ms"] >= 0
    summary = answer["summary"]
    assert (summary["min"], summary["max"]) == (samples.min(), samples.max())
    assert summary["mean"] == pytest.approx(samples.mean(), abs=1e-6)
    assert summary["rms"] == pytest.approx(np.sqrt(np.mean(samples.astype(float) ** 2)),
                                           rel=1e-9)
    m = answer["metrics"]
    assert set(METRICS) <= set(m)
    # The sim fixture's signal: amplitude 20,000, noise 3 codes RMS, 997 cycles.
    assert m["fundamental_cycles"] == pytest.approx(997, abs=0.01)
    assert m["fundamental_hz"] == pytest.approx(997 * 125e6 / 65536, rel=1e-6)
    assert m["window"] == "blackmanharris"  # named as requests name it
    assert m["snr_db"] == pytest.approx(10 * math.log10(20000 ** 2 / 2 / (9 + 1 / 12)), abs=0.3)
    # ENOB against the declared full scale: a tone below it loses its distance in bits.
    assert m["enob"] == pytest.approx((m["sinad_db"] - 1.76 - m["fundamental_dbfs"]) / 6.02,
                                      abs=0.01)
    assert m["sfdr_dbc"] > 80
    assert "spectrum" not in answer or answer["spectrum"] is None
    listed = [c for c in sim.json("GET", "/api/v1/captures") if c["id"] == answer["id"]]
    assert [(c["samples"], c["rate_hz"]) for c in listed] == [(65536, 125e6)]


@pytest.mark.parametrize("body, local", [
    ({"samples": 65536}, lambda b, path: b.capture(65536)),
    ({"samples": 4096, "offset_binary": True},
     lambda b, path: b.capture(4096, offset_binary=True)),
    ({"samples": 4096, "lanes": [2, 1], "ops": [[2, 0x0FFF]]},
     lambda b, path: b.capture_to_file(path, 4096, lanes=(2, 1), ops=((2, 0x0FFF),))),
    ({"samples": 8192, "lanes": [1, 2, 3, 4]},
     lambda b, path: b.capture_to_file(path, 8192, lanes=(1, 2, 3, 4))),
])
def test_captured_samples_are_the_local_boards(sim, local_board, tmp_path, body, local):
    local_board.set_simulated_signal(cycles=997, amplitude=20000.0, noise_rms=3.0, seed=5)
    local_board.set_simulated_capture_step(0)
    path = tmp_path / "local.bin"
    result = local(local_board, str(path))
    expected = path.read_bytes() if path.exists() else result.astype("<u2").tobytes()
    answer = sim.json("POST", "/api/v1/capture", body)
    assert answer["samples"] * 2 == len(expected)
    assert sim.raw(f"/api/v1/captures/{answer['id']}") == expected


@pytest.mark.parametrize("window, harmonics", [("blackmanharris", 5), ("hann", 3),
                                               ("rectangular", 7), ("blackmanharris7", 2)])
def test_metrics_are_the_cores_figures_of_the_samples(sim, window, harmonics):
    sim.json("POST", "/api/v1/sim", {"signal": {"cycles": 1024 + 5, "amplitude": 30000.0,
                                                "noise_rms": 2.0, "seed": 9}})
    answer, samples = captured(sim, {"samples": 65536, "window": window,
                                     "harmonics": harmonics, "rate": 200e6})
    m, ref = answer["metrics"], core_metrics(samples, window=window, harmonics=harmonics,
                                             rate_hz=200e6)
    # The keys, figures, nulls and warnings of `vrx5200 analyze --json`, to the last digit.
    assert m == ref.as_dict() and m["warnings"] == [] and m["method"] == "fit"


@pytest.mark.parametrize("lanes, even", [([2, 1], False), ([1, 0, 0], False), ([0, 0, 1], False),
                                         ([1, 0], True)])
def test_samples_not_evenly_spaced_have_no_spectral_figures(sim, lanes, even):
    answer, samples = captured(sim, {"samples": 65536, "lanes": lanes, "spectrum": 64})
    m = answer["metrics"]
    # As the package withholds them for such samples, key for key; the kept capture's alike.
    assert m == core_metrics(samples, rate_hz=answer["rate_hz"] or None,
                             evenly_spaced=even).as_dict()
    assert sim.json("GET", f"/api/v1/captures/{answer['id']}/spectrum?points=64")["metrics"] == m
    assert [w["code"] for w in m["warnings"]] == ([] if even else ["uneven_samples"])
    assert all((m[k] is None) != even for k in METRICS if k != "harmonics")
    assert (m["harmonics"] != []) == even and (answer.get("spectrum") is not None) == even
    assert m["dc_codes"] == pytest.approx(samples.mean(), abs=1e-6)  # counting stands


def test_a_record_too_short_to_analyse_has_no_metrics(sim):
    answer, samples = captured(sim, {"samples": 32})
    assert samples.size == 32 and answer["metrics"] is None


@pytest.mark.parametrize("offset_binary, dtype", [(False, "<i2"), (True, "<u2")])
def test_npy_download(sim, offset_binary, dtype):
    answer = sim.json("POST", "/api/v1/capture", {"samples": 4096,
                                                  "offset_binary": offset_binary})
    raw = sim.raw(f"/api/v1/captures/{answer['id']}")
    array = np.load(io.BytesIO(sim.raw(f"/api/v1/captures/{answer['id']}?format=npy")))
    assert array.dtype == np.dtype(dtype) and array.shape == (4096,)
    assert array.tobytes() == raw


@pytest.mark.parametrize("points", [1, 100, 1024, 40000])
def test_spectrum_points_are_the_peaks_of_their_spans(sim, points):
    n, rate = 65536, 250e6
    answer, samples = captured(sim, {"samples": n, "spectrum": points})
    fetched = sim.json("GET", f"/api/v1/captures/{answer['id']}/spectrum?points={points}")
    assert fetched["metrics"] == answer["metrics"]
    for spectrum in (answer["spectrum"], fetched):
        f, dbfs = np.array(spectrum["frequency_hz"]), np.array(spectrum["dbfs"], dtype=float)
        assert spectrum["bin_hz"] == pytest.approx(rate / n)
        assert 1 <= f.size == dbfs.size <= points
        assert f.size == min(points, n // 2 + 1)
        assert np.all(np.diff(f) > 0) and f[0] >= 0 and f[-1] <= rate / 2
        # The tone's peak survives any decimation, at its level and (within a span) its place.
        peak = int(np.argmax(dbfs))
        assert dbfs[peak] == pytest.approx(answer["metrics"]["fundamental_dbfs"], abs=0.2)
        span = rate / 2 / f.size
        assert abs(f[peak] - answer["metrics"]["fundamental_hz"]) <= span + rate / n


def test_only_the_last_256_captures_are_kept(sim):
    ids = [sim.json("POST", "/api/v1/capture", {"samples": 32})["id"] for _ in range(257)]
    assert len(set(ids)) == 257
    kept = [c["id"] for c in sim.json("GET", "/api/v1/captures")]
    assert sorted(kept) == sorted(ids[1:])
    refused(sim.request("GET", f"/api/v1/captures/{ids[0]}"), 404)
    assert len(sim.raw(f"/api/v1/captures/{ids[1]}")) == 64


# ---- playback ----
@pytest.mark.parametrize("length", [64, 4096 + 3, 65536])
def test_played_words_land_in_playback_memory(sim, length):
    words = np.random.default_rng(length).integers(-32768, 32768, length).astype(np.int16)
    answer = play_words(sim, words, rate=100e6, rate_factor_1=8)
    assert answer["words"] == length and answer["done"] is True
    memory = sim.raw(f"/api/v1/sim/playback?first=0&count={length}")
    assert memory == words.astype("<i2").tobytes()


@pytest.mark.parametrize("body, kind, tones", [
    ({"kind": "tone", "words": 4096, "cycles": 129, "amplitude_dbfs": -1}, "tone", [129]),
    ({"kind": "tone", "words": 65536, "cycles": 1001, "amplitude_dbfs": -6}, "tone", [1001]),
    ({"kind": "multitone", "words": 8192, "tones": [101, 211, 307], "amplitude_dbfs": -3},
     "multitone", [101, 211, 307]),
])
def test_generated_patterns_are_the_cores(sim, body, kind, tones):
    answer = sim.json("POST", "/api/v1/play", body)
    assert answer["words"] == body["words"] and answer["done"] is True
    memory = np.frombuffer(sim.raw(f"/api/v1/sim/playback?first=0&count={body['words']}"),
                           dtype="<i2")
    spectrum = np.abs(np.fft.rfft(memory.astype(float)))
    assert sorted(np.argsort(spectrum)[-len(tones):]) == tones
    expected = core.generate_pattern(kind, body["words"], amplitude_dbfs=body["amplitude_dbfs"],
                                     cycles=tones[0] if kind == "tone" else 0,
                                     tone_cycles=tones if kind == "multitone" else ())
    assert np.array_equal(memory.view(np.uint16), expected.words)


@pytest.mark.parametrize("cycles, amplitude_dbfs", [(129, -1.0), (1001, -6.0), (7, -20.0)])
def test_a_played_tone_comes_back_through_the_loopback(sim, cycles, amplitude_dbfs):
    sim.json("POST", "/api/v1/sim", {"loopback": {"on": True, "noise_rms": 2.0, "gain": 1.0,
                                                  "offset": 0.0, "harmonics_dbc": [],
                                                  "seed": 3}})
    sim.json("POST", "/api/v1/play", {"kind": "tone", "words": 4096, "cycles": cycles,
                                      "amplitude_dbfs": amplitude_dbfs, "loopback": True})
    m = sim.json("POST", "/api/v1/capture", {"samples": 65536, "rate": 250e6})["metrics"]
    # 4,096 words read again and again: 16 times the cycles in 65,536 samples.
    assert m["fundamental_cycles"] == pytest.approx(16 * cycles, abs=0.01)
    assert m["fundamental_hz"] == pytest.approx(16 * cycles * 250e6 / 65536)
    assert m["fundamental_dbfs"] == pytest.approx(amplitude_dbfs, abs=0.05)


# ---- FPGA ----
def test_fpga_upload_configures_and_tells_its_transcript(sim):
    answer = sim.json("POST", "/api/v1/fpga", bytes(range(256)) * 64,
                      headers={"Content-Type": "application/octet-stream"})
    assert answer["result"] == 20
    assert any(line.startswith("Info: ") for line in answer["transcript"])
    assert any("16384" in line for line in answer["transcript"])  # the file's size
    assert sim.json("GET", "/api/v1/registers/14")["value"] == 0x13


# ---- jobs and events ----
def test_a_cancelled_capture_answers_409_and_is_not_kept(sim):
    for attempt in range(5):  # the capture may end before the cancel reaches it: try again
        before = [c["id"] for c in sim.json("GET", "/api/v1/captures")]
        result = {}
        thread = threading.Thread(target=lambda: result.update(answer=sim.request(
            "POST", "/api/v1/capture", {"samples": 16777216})))
        thread.start()
        job = None
        while job is None and thread.is_alive():
            job = next((j for j in sim.json("GET", "/api/v1/jobs") if j["kind"] == "capture"),
                       None)
        cancel = sim.request("POST", f"/api/v1/jobs/{job['id']}/cancel") if job else None
        thread.join(60)
        if cancel is not None and cancel[0] == 200:
            break
    else:
        pytest.fail("no capture could be cancelled in 5 tries")
    assert json.loads(cancel[2]) == {"id": job["id"], "cancelled": True}
    assert refused(result["answer"], 409)["error"] == "cancelled"
    assert [c["id"] for c in sim.json("GET", "/api/v1/captures")] == before
    assert sim.json("GET", "/api/v1/jobs") == []
    refused(sim.request("POST", f"/api/v1/jobs/{job['id']}/cancel"), (404, 409))
    assert captured(sim, {"samples": 4096})[1].size == 4096


def test_every_job_is_counted_and_none_overlapped(sim):
    before = sim.json("GET", "/api/v1/status")
    sim.json("POST", "/api/v1/capture", {"samples": 4096})
    sim.json("GET", "/api/v1/registers/14")
    after = sim.json("GET", "/api/v1/status")
    assert after["library_calls"] >= before["library_calls"] + 2
    assert after["overlapping_calls"] == before["overlapping_calls"] == 0


class EventStream:
    """GET /api/v1/events on a raw socket, read by a thread: the (event, data) pairs so far."""

    def __init__(self, s, path="/api/v1/events", credentials=None):
        self.events, self.headers = [], None
        self._stop = threading.Event()
        self._sock = socket.create_connection((s.host, s.port), timeout=0.2)
        credentials = f"Authorization: Bearer {s.token}" if credentials is None else credentials
        self._sock.sendall(f"GET {path} HTTP/1.1\r\nHost: {s.host}:{s.port}\r\n"
                           f"Accept: text/event-stream\r\n{credentials}\r\n\r\n".encode())
        self._thread = threading.Thread(target=self._read, daemon=True)
        self._thread.start()

    def close(self):
        self._stop.set()
        self._thread.join(5)
        self._sock.close()

    def _read(self):
        raw, text, chunked = b"", "", False
        while not self._stop.is_set():
            try:
                chunk = self._sock.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                break
            raw += chunk
            if self.headers is None:
                if b"\r\n\r\n" not in raw:
                    continue
                top, raw = raw.split(b"\r\n\r\n", 1)
                self.headers = top.decode("latin-1")
                chunked = "transfer-encoding: chunked" in self.headers.lower()
            body = b""
            if chunked:
                while b"\r\n" in raw:
                    size_line, rest = raw.split(b"\r\n", 1)
                    size = int(size_line.split(b";")[0], 16)
                    if len(rest) < size + 2:
                        break
                    body, raw = body + rest[:size], rest[size + 2:]
            else:
                body, raw = raw, b""
            text = (text + body.decode()).replace("\r\n", "\n")
            while "\n\n" in text:
                block, text = text.split("\n\n", 1)
                fields = {}
                for line in block.split("\n"):
                    if line and not line.startswith(":"):
                        name, _, value = line.partition(":")
                        fields[name] = fields.get(name, "") + value.lstrip(" ")
                if "data" in fields:
                    self.events.append((fields.get("event", "message"),
                                        json.loads(fields["data"])))


def wait_for(condition, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "waited in vain"
        time.sleep(0.01)


def test_events_follow_a_job_and_the_board(sim):
    stream = EventStream(sim)
    try:
        wait_for(lambda: stream.headers is not None)
        key = sim.json("GET", "/api/v1/boards")[0]["key"]
        sim.json("POST", f"/api/v1/boards/{key}/close")
        sim.json("POST", f"/api/v1/boards/{key}/open")
        sim.json("POST", "/api/v1/capture", {"samples": 1 << 20})
        wait_for(lambda: any(kind == "job" and data["kind"] == "capture"
                             and data["state"] == "done" for kind, data in stream.events))
    finally:
        stream.close()
    assert stream.headers.startswith("HTTP/1.1 200")
    assert "text/event-stream" in stream.headers.lower()
    events = stream.events
    assert [data["open"] for kind, data in events if kind == "board"][-2:] == [False, True]
    jobs = [data for kind, data in events if kind == "job" and data["kind"] == "capture"]
    assert jobs, events
    mine = [j for j in jobs if j["id"] == jobs[-1]["id"]]
    assert mine[-1]["state"] == "done" and mine[-1]["progress"] == 1
    assert {j["state"] for j in mine} <= {"queued", "running", "done"}
    progress = [j["progress"] for j in mine]
    assert progress == sorted(progress) and all(0 <= p <= 1 for p in progress)


# ---- the API description ----
def test_api_description_is_the_file_and_lists_every_route(server):
    served = server.raw("/api/v1/openapi.json")
    assert served == (TOP / "server" / "openapi.json").read_bytes()
    document = json.loads(served)
    assert document["openapi"] == "3.0.3"
    for method, route in ROUTES:
        assert method in document["paths"].get(route, {}), (method, route)
    assert document["components"]["securitySchemes"]["bearer"]["scheme"] == "bearer"
    # Every reference names something the document holds.
    for ref in re.findall(r'"\$ref": "#/([^"]+)"', served.decode()):
        node = document
        for name in ref.split("/"):
            node = node[name]


def test_front_panel_is_served(server):
    status, headers, page = server.request("GET", "/")
    assert status == 200 and headers["content-type"].startswith("text/html")
    for name in ("panel.js", "panel.css"):
        status, headers, data = server.request("GET", f"/panel/{name}")
        assert status == 200 and data, name
    refused(server.request("GET", "/panel/../CMakeLists.txt"), (400, 403, 404))


# ---- refusals ----
JSON = {"Content-Type": "application/json"}
OCTETS = {"Content-Type": "application/octet-stream"}


@pytest.mark.parametrize("method, path, body, headers, status", [
    ("POST", "/api/v1/capture", '{"samples": ', JSON, 400),
    ("POST", "/api/v1/capture", "[4096]", JSON, 400),
    ("POST", "/api/v1/capture", {}, JSON, 400),
    ("POST", "/api/v1/capture", {"samples": "4096"}, JSON, 400),
    ("POST", "/api/v1/capture", {"samples": 4096.5}, JSON, 400),
    ("POST", "/api/v1/capture", {"samples": 100}, JSON, 400),
    ("POST", "/api/v1/capture", {"samples": 0}, JSON, 400),
    ("POST", "/api/v1/capture", {"samples": -4096}, JSON, 400),
    ("POST", "/api/v1/capture", {"samples": 16777216 + 32}, JSON, 400),
    ("POST", "/api/v1/capture", {"samples": 4096, "lanes": "1"}, JSON, 400),
    ("POST", "/api/v1/capture", {"samples": 4096, "ops": [[1]]}, JSON, 400),
    ("POST", "/api/v1/capture", {"samples": 4096, "rate": "fast"}, JSON, 400),
    ("POST", "/api/v1/capture", {"samples": 4096, "register_1": 256}, JSON, 400),
    ("POST", "/api/v1/capture", {"samples": 4096, "window": "square"}, JSON, 400),
    ("POST", "/api/v1/capture", {"samples": 4096, "spectrum": -1}, JSON, 400),
    ("POST", "/api/v1/capture", {"samples": 4096, "offset_binary": "no"}, JSON, 400),
    ("PUT", "/api/v1/registers/5", {"value": 256}, JSON, 400),
    ("PUT", "/api/v1/registers/5", {"value": -1}, JSON, 400),
    ("PUT", "/api/v1/registers/5", {"value": "9"}, JSON, 400),
    ("PUT", "/api/v1/registers/5", {"value": 9.5}, JSON, 400),
    ("PUT", "/api/v1/registers/5", {}, JSON, 400),
    ("PUT", "/api/v1/registers/5", "nine", JSON, 400),
    ("PUT", "/api/v1/registers/16", {"value": 9}, JSON, (400, 404)),
    ("GET", "/api/v1/registers/16", None, {}, (400, 404)),
    ("GET", "/api/v1/registers/five", None, {}, (400, 404)),
    ("POST", "/api/v1/play", {"kind": "square", "words": 64}, JSON, 400),
    ("POST", "/api/v1/play", {"kind": "tone", "words": "many"}, JSON, 400),
    ("POST", "/api/v1/play", {"kind": "tone", "words": 4096, "cycles": 7, "loopback": "on"},
     JSON, 400),
    ("POST", "/api/v1/play", {"kind": "multitone", "words": 4096, "tones": "7, 9"}, JSON, 400),
    ("POST", "/api/v1/play?rate=fast", b"\x01\x00" * 64, OCTETS, 400),
    ("POST", "/api/v1/play?rate_factor_1=eight", b"\x01\x00" * 64, OCTETS, 400),
    ("POST", "/api/v1/play", b"\x01" * 129, OCTETS, 400),
    ("POST", "/api/v1/sim", {"capture_step": -1}, JSON, 400),
    ("POST", "/api/v1/sim", {"signal": {"cycles": "many"}}, JSON, 400),
    ("POST", "/api/v1/sim", {"plugged": "yes"}, JSON, 400),
    ("POST", "/api/v1/sim", '{"plugged": tru', JSON, 400),
    ("GET", "/api/v1/sim/playback?first=0&count=lots", None, {}, 400),
    ("GET", "/api/v1/captures/99999999", None, {}, 404),
    ("GET", "/api/v1/captures/99999999/spectrum", None, {}, 404),
    ("GET", "/api/v1/captures/latest", None, {}, (400, 404)),
    ("GET", "/api/v1/nothing", None, {}, 404),
    ("GET", "/api/v2", None, {}, 404),
    ("POST", "/api/v1/boards/NOBOARD1/open", None, {}, 404),
    ("POST", "/api/v1/jobs/99999999/cancel", None, {}, 404),
    ("DELETE", "/api/v1/capture", None, {}, 405),
    ("GET", "/api/v1/capture", None, {}, 405),
    ("POST", "/api/v1/captures", None, {}, 405),
    ("DELETE", "/api/v1/registers/5", None, {}, 405),
    ("PUT", "/api/v1/registers/5", {"value": 9}, {"Origin": "http://elsewhere.example"}, 403),
    ("POST", "/api/v1/capture", {"samples": 4096}, {"Origin": "null"}, 403),
    ("POST", "/api/v1/play", {"kind": "tone", "words": 64, "cycles": 1},
     {"Origin": "https://elsewhere.example"}, 403),
])
def test_bad_requests_are_refused_and_change_nothing(sim, method, path, body, headers, status):
    sim.json("PUT", "/api/v1/registers/5", {"value": 0x42})
    play_words(sim, np.full(64, 7))
    before = state(sim)
    refused(sim.request(method, path, body, headers=headers), status)
    assert state(sim) == before


def test_refused_sim_settings_change_nothing(sim):
    reference = captured(sim, {"samples": 4096})[1]
    refused(sim.request("POST", "/api/v1/sim", {
        "signal": {"cycles": 50, "amplitude": 100.0, "noise_rms": 0.0, "seed": 1},
        "capture_step": -5}), 400)
    refused(sim.request("POST", "/api/v1/sim", {
        "signal": {"cycles": 50, "amplitude": 100.0, "noise_rms": 0.0, "seed": 1},
        "loopback": {"on": "yes"}}), 400)
    assert np.array_equal(captured(sim, {"samples": 4096})[1], reference)


@pytest.mark.parametrize("path, kind", [("/api/v1/capture", "application/json"),
                                        ("/api/v1/play", "application/octet-stream"),
                                        ("/api/v1/fpga", "application/octet-stream"),
                                        ("/api/v1/registers/5", "application/json")])
def test_oversized_bodies_are_refused_from_their_length(sim, path, kind):
    before = state(sim)
    method = "PUT" if "registers" in path else "POST"
    head = (f"{method} {path} HTTP/1.1\r\nHost: {sim.host}:{sim.port}\r\n"
            f"Content-Type: {kind}\r\nContent-Length: {1 << 40}\r\n\r\n").encode()
    answer = raw_exchange(sim.host, sim.port, head + b"{" * 1024)
    top, _, data = answer.partition(b"\r\n\r\n")
    assert top.startswith(b"HTTP/1.1 413"), answer[:200]
    headers = dict(line.decode().lower().split(": ", 1) for line in top.split(b"\r\n")[1:])
    refused((413, headers, data), 413)
    assert state(sim) == before


@pytest.mark.parametrize("headers", [
    {"Host": "127.attacker.example:{port}"},      # a rebound name that looks like loopback
    {"Host": "127.0.0.1.attacker.example:{port}"},
    {"Sec-Fetch-Site": "cross-site"},              # another site's <img> or <script>: no Origin
    {"Sec-Fetch-Site": "same-site"},               # another port of this machine
    {"Transfer-Encoding": "chunked"},              # a body of no stated length
])
def test_requests_from_elsewhere_are_refused_and_change_nothing(sim, headers):
    sim.json("PUT", "/api/v1/registers/5", {"value": 0x42})
    before = state(sim)
    headers = {k: v.format(port=sim.port, other=sim.port + 1) for k, v in headers.items()}
    head = "".join(f"{k}: {v}\r\n" for k, v in {"Host": f"{sim.host}:{sim.port}",
                                                  **headers}.items())
    body = b'{"value": 9}'
    body = (b"%x\r\n%s\r\n0\r\n\r\n" % (len(body), body) if "Transfer-Encoding" in headers
            else body)
    length = "" if "Transfer-Encoding" in headers else f"Content-Length: {len(body)}\r\n"
    answer = raw_exchange(sim.host, sim.port, (
        f"PUT /api/v1/registers/5 HTTP/1.1\r\n{head}{length}"
        "Content-Type: application/json\r\nConnection: close\r\n\r\n").encode() + body)
    assert answer.split(b" ", 2)[1] in (b"403", b"411"), answer[:200]
    assert state(sim) == before


def test_a_post_without_a_length_is_told_what_it_lacks(sim):
    answer = raw_exchange(sim.host, sim.port, (
        f"POST /api/v1/boards/SIM00001/open HTTP/1.1\r\nHost: {sim.host}:{sim.port}\r\n"
        "Connection: close\r\n\r\n").encode())
    top, _, data = answer.partition(b"\r\n\r\n")
    assert top.startswith(b"HTTP/1.1 411"), answer[:200]
    assert "Content-Length" in json.loads(data)["error"]


def test_origin_of_the_servers_own_page_is_welcome(sim):
    host = f"{sim.host}:{sim.port}"
    assert sim.request("GET", "/api/v1/captures", headers={"Origin": f"http://{host}"})[0] == 200
    refused(sim.request("GET", "/api/v1/captures",
                        headers={"Origin": f"http://{sim.host}:{sim.port + 1}"}), 403)


@pytest.mark.parametrize("path, token, status", [
    ("/api/v1", None, 401),
    ("/api/v1", "wrong", 401),
    ("/api/v1", TOKEN, 200),
    ("/api/v1/boards", TOKEN + "x", 401),
    # Never in an address: a token there would sit in histories and logs.
    ("/api/v1/captures?token=" + TOKEN, None, 401),
    ("/api/v1/openapi.json?token=", None, 401),
])
def test_token_is_required(token_server, path, token, status):
    answer = token_server.request("GET", path, token=token)
    if status == 200:
        assert answer[0] == 200
    else:
        refused(answer, status)


def test_the_event_stream_takes_the_bearer_or_the_cookie_never_a_query(token_server):
    cookie = session_cookie(token_server)
    for credentials, status in [(f"Authorization: Bearer {TOKEN}", b"200"),
                                (f"Cookie: {cookie}", b"200"), ("", b"401")]:
        path = "/api/v1/events" + ("" if credentials else f"?token={TOKEN}")
        stream = EventStream(token_server, path, credentials)
        try:
            wait_for(lambda: stream.headers is not None)
            assert stream.headers.split(" ")[1].encode() == status, stream.headers
        finally:
            stream.close()


def session_cookie(s, token=None):
    """The page's trade: the token for a cookie ("name=value")."""
    status, headers, body = s.request("POST", "/api/v1/session", token=token or s.token)
    assert status == 200, body
    return headers["set-cookie"].split(";")[0]


def test_the_page_trades_the_token_for_a_strict_cookie(token_server):
    status, headers, _ = token_server.request("POST", "/api/v1/session")
    attributes = [a.strip() for a in headers["set-cookie"].split(";")]
    name, _, value = attributes[0].partition("=")
    assert name == f"vrx5200_{token_server.port}" and len(value) >= 32 and TOKEN not in value
    assert {"HttpOnly", "SameSite=Strict", "Path=/"} <= set(attributes)
    cookie = {"Cookie": attributes[0]}
    assert token_server.json("GET", "/api/v1/registers/14", headers=cookie, token=None)["value"]
    for wrong in (f"{name}={value[:-1]}x", f"{name}={TOKEN}"):
        refused(token_server.request("GET", "/api/v1/board", headers={"Cookie": wrong},
                                     token=None), 401)
    refused(token_server.request("POST", "/api/v1/session", token="wrong"), 401)


def test_the_page_loads_without_the_token_and_asks_for_it(token_server):
    # The page takes the token from its URL's fragment, which browsers do not send: the page's
    # files come without it, the board's data only with it.
    for path in ("/", "/panel/panel.js"):
        assert token_server.request("GET", path, token=None)[0] == 200
    refused(token_server.request("GET", "/api/v1/board", token=None), 401)


def test_a_write_without_the_token_changes_nothing(token_server):
    token_server.json("PUT", "/api/v1/registers/5", {"value": 0x11})
    for token in (None, "wrong", "Bearer " + TOKEN):
        refused(token_server.request("PUT", "/api/v1/registers/5", {"value": 0x22},
                                     token=token), 401)
    refused(token_server.request("PUT", "/api/v1/registers/5?token=nope", {"value": 0x22},
                                 token=None), 401)
    assert token_server.json("GET", "/api/v1/registers/5")["value"] == 0x11


@pytest.mark.parametrize("listen", ["127.0.0.1:0", "0.0.0.0:0"])
def test_a_server_given_no_token_makes_one_and_tells_it_once(listen):
    s = Server(TOOL, listen=listen)
    try:
        # 192 bits in hex, told in the panel's address only, after the address it listens on.
        assert len(s.token) == 48 and int(s.token, 16) >= 0
        told = [line for line in s.output if s.token in line]
        panel = s.url if listen.startswith("127.") else f"http://{socket.gethostname()}:{s.port}"
        assert told == [f"vrx5200: open the panel at {panel}/#token={s.token}"]
        assert s.output.index(told[0]) > next(i for i, line in enumerate(s.output)
                                              if "listening on" in line)
        refused(s.request("GET", "/api/v1", token=None), 401)
        assert s.json("GET", "/api/v1")["api"] == 1
    finally:
        s.stop()


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_the_server_stops_cleanly_on_a_signal(sig):
    s = Server(TOOL)
    assert s.json("GET", "/api/v1")["api"] == 1
    assert s.stop(sig) == 0


# ---- a server without boards ----
def test_a_server_without_boards_answers_409():
    library = Path(TOOL).resolve().parents[1] / "libvrx5200.so"
    if not library.exists():
        pytest.skip("no attached-board library built")
    s = Server(TOOL, sim=False)
    try:
        assert s.json("GET", "/api/v1")["simulated"] is False
        assert s.json("GET", "/api/v1/boards") == []
        for method, path, body in [("GET", "/api/v1/board", None),
                                   ("GET", "/api/v1/registers/5", None),
                                   ("POST", "/api/v1/capture", {"samples": 4096}),
                                   ("POST", "/api/v1/sim", {"capture_step": 0}),
                                   ("GET", "/api/v1/sim/playback?first=0&count=4", None)]:
            refused(s.request(method, path, body), 409)
    finally:
        s.stop()
