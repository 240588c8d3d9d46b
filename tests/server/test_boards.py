"""Every board of the host at once: a server of two simulated boards, each in its worker process,
its routes under /api/v1/boards/{key}/ and the default board's without the prefix; a client's
close ends its own use only."""

import threading

import pytest

from serving import TOKEN, Server, refused, tool_path

TOOL = tool_path()
KEYS = ["SIM00001", "SIM00002"]


@pytest.fixture(scope="module")
def two():
    s = Server(TOOL, token=TOKEN, boards=2)
    yield s
    s.stop()


def board_path(key, tail):
    return f"/api/v1/boards/{key}{tail}" if key else f"/api/v1{tail}"


def test_the_boards_are_listed_and_the_default_is_the_first_or_the_one_named(two):
    boards = two.json("GET", "/api/v1/boards")
    assert [b["key"] for b in boards] == KEYS
    assert [b["default"] for b in boards] == [True, False]
    s = Server(TOOL, token=TOKEN, boards=2, args=["--board", KEYS[1]])
    try:
        assert [b["default"] for b in s.json("GET", "/api/v1/boards")] == [False, True]
        assert s.json("POST", "/api/v1/capture", {"samples": 64})["board"] == KEYS[1]
    finally:
        s.stop()


@pytest.mark.parametrize("key", ["", *KEYS])
def test_each_board_keeps_its_own_state(two, key):
    # Distinct values on each board, then each read back through its own routes.
    values = {k: 0x30 + i for i, k in enumerate(KEYS)}
    for k, v in values.items():
        two.json("PUT", board_path(k, "/registers/5"), {"value": v})
        two.json("POST", board_path(k, "/sim"),
                 {"capture_step": 0, "signal": {"cycles": 101 + 100 * values[k], "amplitude":
                                                10000.0, "noise_rms": 1.0, "seed": 1}})
    expected = key or KEYS[0]  # no prefix: the default board
    assert two.json("GET", board_path(key, "/registers/5"))["value"] == values[expected]
    answer = two.json("POST", board_path(key, "/capture"), {"samples": 65536})
    assert answer["board"] == expected
    assert round(answer["metrics"]["fundamental_cycles"]) == 101 + 100 * values[expected]
    # Its capture is listed and fetched through its board only.
    listed = [c["id"] for c in two.json("GET", board_path(key, "/captures"))]
    assert answer["id"] in listed
    other = KEYS[1] if expected == KEYS[0] else KEYS[0]
    assert answer["id"] not in [c["id"] for c in two.json("GET", board_path(other, "/captures"))]
    refused(two.request("GET", board_path(other, f"/captures/{answer['id']}")), 404)
    data = two.raw(board_path(key, f"/captures/{answer['id']}"))
    assert len(data) == 2 * 65536
    info = two.json("GET", board_path(key, "/board"))
    assert info["key"] == expected and info["open"] is True


def test_an_unknown_board_is_not_found(two):
    for tail in ("/registers/5", "/capture", "/board", "/events", "/jobs"):
        refused(two.request("GET" if tail != "/capture" else "POST",
                            board_path("SIM00009", tail),
                            {"samples": 64} if tail == "/capture" else None), (404, 405))


def test_a_close_ends_its_own_use_only(two):
    key = KEYS[1]
    first = two.json("POST", f"/api/v1/boards/{key}/open")
    second = two.json("POST", f"/api/v1/boards/{key}/open")
    assert first["use"] != second["use"] and second["uses"] == 2
    # Without a use, and with one that is not anyone's, nothing closes.
    refused(two.request("POST", f"/api/v1/boards/{key}/close"), 409)
    refused(two.request("POST", f"/api/v1/boards/{key}/close", {"use": 999999}), 404)
    assert two.json("POST", f"/api/v1/boards/{key}/close", {"use": first["use"]}) == \
        {"open": True, "uses": 1}
    assert two.json("GET", board_path(key, "/registers/14"))["value"] == 0x13
    refused(two.request("POST", f"/api/v1/boards/{key}/close", {"use": first["use"]}), 404)
    assert two.json("POST", f"/api/v1/boards/{key}/close", {"use": second["use"]}) == \
        {"open": False, "uses": 0}
    assert [b["open"] for b in two.json("GET", "/api/v1/boards") if b["key"] == key] == [False]
    # The other board was never touched.
    assert two.json("GET", board_path(KEYS[0], "/board"))["open"] is True


def test_captures_on_two_boards_run_side_by_side_without_overlap(two):
    before = two.json("GET", "/api/v1/status")
    answers = {}

    def capture(key):
        answers[key] = two.json("POST", board_path(key, "/capture"), {"samples": 1 << 20})

    threads = [threading.Thread(target=capture, args=(k,)) for k in KEYS for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    after = two.json("GET", "/api/v1/status")
    for k in KEYS:
        assert answers[k]["samples"] == 1 << 20 and answers[k]["board"] == k
        assert after["boards"][k]["overlapping_calls"] == 0
        assert after["boards"][k]["library_calls"] >= before["boards"][k]["library_calls"] + 2
