"""The server under faults: a client gone mid-capture, the board unplugged mid-job, no space
left for an upload. Each time the server answers what happened and keeps serving."""

import json
import os
import resource
import socket
import threading
import time

import numpy as np
import pytest

from serving import Server, captured, refused, tool_path

TOOL = tool_path()


def wait_idle(s, timeout=30.0):
    deadline = time.monotonic() + timeout
    while s.json("GET", "/api/v1/jobs"):
        assert time.monotonic() < deadline, "jobs still queued or running"
        time.sleep(0.02)


def test_a_client_gone_takes_its_waiting_job_with_it(sim):
    reference = captured(sim, {"samples": 65536})[1]
    before = {c["id"] for c in sim.json("GET", "/api/v1/captures")}
    # Three long captures keep the board busy; a fourth client asks for one and leaves.
    answers = []
    threads = [threading.Thread(target=lambda: answers.append(sim.json(
        "POST", "/api/v1/capture", {"samples": 16777216})["id"])) for _ in range(3)]
    for t in threads:
        t.start()
    while len([j for j in sim.json("GET", "/api/v1/jobs") if j["kind"] == "capture"]) < 3:
        time.sleep(0.005)
    body = json.dumps({"samples": 16777216}).encode()
    with socket.create_connection((sim.host, sim.port)) as sock:
        sock.sendall(f"POST /api/v1/capture HTTP/1.1\r\nHost: {sim.host}:{sim.port}\r\n"
                     f"Authorization: Bearer {sim.token}\r\n"
                     f"Content-Type: application/json\r\nContent-Length: {len(body)}\r\n\r\n"
                     .encode() + body)
        while len(sim.json("GET", "/api/v1/jobs")) < 4 and any(t.is_alive() for t in threads):
            time.sleep(0.005)
    # Other clients are served meanwhile and after, with the right samples.
    assert sim.json("GET", "/api/v1")["api"] == 1
    for t in threads:
        t.join(60)
    wait_idle(sim, timeout=10)
    # The three captures were kept; the fourth was dropped from the queue, never taken.
    new = {c["id"] for c in sim.json("GET", "/api/v1/captures")} - before
    assert new == set(answers) and len(new) == 3
    assert np.array_equal(captured(sim, {"samples": 65536})[1], reference)


def test_a_client_gone_mid_download_leaves_the_server_serving(sim):
    answer = sim.json("POST", "/api/v1/capture", {"samples": 16777216})
    with socket.create_connection((sim.host, sim.port)) as sock:
        sock.sendall(f"GET /api/v1/captures/{answer['id']} HTTP/1.1\r\n"
                     f"Authorization: Bearer {sim.token}\r\n"
                     f"Host: {sim.host}:{sim.port}\r\n\r\n".encode())
        sock.recv(4096)
    assert len(sim.raw(f"/api/v1/captures/{answer['id']}")) == 2 * 16777216


@pytest.mark.parametrize("blocks", [1, 3])
def test_a_board_unplugged_mid_capture_fails_with_the_library_code(sim, blocks):
    reference = captured(sim, {"samples": 65536})[1]
    before = sim.json("GET", "/api/v1/captures")
    sim.json("POST", "/api/v1/sim", {"unplug_after_blocks": blocks})
    try:
        error = refused(sim.request("POST", "/api/v1/capture", {"samples": 8 * 65536}), 502)
        assert isinstance(error["code"], int) and error["code"] != 0
        assert isinstance(error["meaning"], str) and error["meaning"]
        assert sim.json("GET", "/api/v1/captures") == before
        # Unplugged, the board keeps failing; plugged back in, it captures as before.
        refused(sim.request("POST", "/api/v1/capture", {"samples": 65536}), (409, 502))
    finally:
        sim.json("POST", "/api/v1/sim", {"plugged": True})
    assert np.array_equal(captured(sim, {"samples": 65536})[1], reference)
    assert sim.json("GET", "/api/v1/registers/14")["value"] == 0x13


def test_plugging_in_a_plugged_board_changes_nothing(sim):
    reference = captured(sim, {"samples": 4096})[1]
    sim.json("POST", "/api/v1/sim", {"plugged": True})
    assert sim.json("PUT", "/api/v1/registers/12", {"value": 0x3C})["value"] == 0x3C
    assert np.array_equal(captured(sim, {"samples": 4096})[1], reference)


def test_after_an_unplug_every_job_works_again_and_an_armed_fault_strikes_once(sim):
    image = bytes(range(256)) * 64
    fpga = {"Content-Type": "application/octet-stream"}
    assert sim.json("POST", "/api/v1/fpga", image, headers=fpga)["result"] == 20
    sim.json("POST", "/api/v1/sim", {"plugged": False})
    sim.json("POST", "/api/v1/sim", {"plugged": True})
    assert sim.json("POST", "/api/v1/fpga", image, headers=fpga)["result"] == 20
    # A fault armed for a job that ended before it struck does not wait for a later one.
    sim.json("POST", "/api/v1/sim", {"unplug_after_blocks": 5})
    captured(sim, {"samples": 65536})
    captured(sim, {"samples": 8 * 65536})


def test_a_refused_open_leaves_the_open_board_open(sim):
    captured(sim, {"samples": 4096})
    refused(sim.request("POST", "/api/v1/boards/NOBOARD1/open"), 404)
    assert sim.json("GET", "/api/v1/board")["open"] is True


def small_files():
    resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))


def test_an_upload_with_no_space_left_answers_507(tmp_path):
    uploads = tmp_path / "uploads"
    uploads.mkdir()
    s = Server(TOOL, args=["--upload-dir", str(uploads)], preexec_fn=small_files)
    try:
        octets = {"Content-Type": "application/octet-stream"}
        refused(s.request("POST", "/api/v1/fpga", os.urandom(2 << 20), headers=octets), 507)
        # Nothing half-written is left behind.
        assert [p for p in uploads.rglob("*") if not p.is_dir()] == []
        assert s.alive()
        assert s.json("GET", "/api/v1")["api"] == 1
        answer = s.json("POST", "/api/v1/fpga", os.urandom(4096), headers=octets)
        assert answer["result"] == 20
        assert captured(s, {"samples": 4096})[1].size == 4096
    finally:
        s.stop()
