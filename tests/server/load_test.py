"""Load on `vrx5200 --sim serve`: concurrent clients, each on its own kept-alive connection and
each on one of the server's boards in turn, make captures, register reads and plays for a
bounded time. Every answer is checked (every capture's samples against the record the board was
set up to give, every register against the value it holds); the server's own count of
overlapping library calls of each board (GET /api/v1/status) must not grow, and a watcher polls
each board's job list to see that never two of its jobs run at once. The latency of each kind
(median, 99th percentile) and the throughput are reported.

As a script (starts a server of --boards simulated boards with $VRX5200_TOOL unless --url names
one; the token from VRX5200_TOKEN for a server of one's own):
    python3 tests/server/load_test.py [--seconds 5] [--clients 8] [--boards 2] [--url URL]
Under pytest: one short run ($VRX5200_LOAD_SECONDS, default 2 s).
"""

import argparse
import http.client
import json
import os
import sys
import threading
import time
import urllib.parse
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from serving import Server, tool_path  # noqa: E402

SIZES = (4096, 65536)  # samples per capture, taken in turn
PATTERN_WORDS = 4096
REGISTERS = {11: 0x52, 12: 0x3C, 13: 0x5A, 14: 0x13, 15: 0xA5}  # read-only or set below
SIGNAL = {"cycles": 1021, "amplitude": 25000.0, "noise_rms": 3.0, "seed": 7}


class Client:
    """One connection to the server."""

    def __init__(self, host, port, token):
        self.connection = http.client.HTTPConnection(host, port, timeout=60)
        self.headers = {"Authorization": f"Bearer {token}"} if token else {}
        self.requests = 0

    def call(self, method, path, body=None, kind="application/json"):
        headers = dict(self.headers)
        if body is not None:
            if not isinstance(body, bytes):
                body = json.dumps(body).encode()
            headers["Content-Type"] = kind
        self.requests += 1
        self.connection.request(method, path, body=body, headers=headers)
        response = self.connection.getresponse()
        data = response.read()
        if response.status != 200:
            raise RuntimeError(f"{method} {path}: HTTP {response.status} {data[:200]!r}")
        return data

    def close(self):
        self.connection.close()


def prepare(client, base):
    """The board at ``base`` set up for checkable answers; returns the expected record (int16
    bytes)."""
    client.call("POST", f"{base}/sim", {"plugged": True, "loopback": {"on": False},
                                        "capture_step": 0, "signal": SIGNAL})
    for address, value in REGISTERS.items():
        if address not in (11, 14):
            client.call("PUT", f"{base}/registers/{address}", {"value": value})
    answer = json.loads(client.call("POST", f"{base}/capture", {"samples": max(SIZES)}))
    return client.call("GET", f"{base}/captures/{answer['id']}")


def worker(number, host, port, token, deadline, expected, results, base):
    client = Client(host, port, token)
    latencies = {"capture": [], "register": [], "play": []}
    errors, plays = [], []
    step = 0
    try:
        while time.monotonic() < deadline:
            kind = ("capture", "register", "play")[(step + number) % 3]
            started = time.perf_counter()
            try:
                if kind == "capture":
                    n = SIZES[(step // 3) % len(SIZES)]
                    answer = json.loads(client.call("POST", f"{base}/capture", {"samples": n}))
                    data = client.call("GET", f"{base}/captures/{answer['id']}")
                    if answer["samples"] != n or data != expected[:2 * n]:
                        errors.append(f"capture {answer['id']}: not the expected record")
                elif kind == "register":
                    address = list(REGISTERS)[step % len(REGISTERS)]
                    value = json.loads(client.call("GET", f"{base}/registers/{address}"))
                    if value != {"address": address, "value": REGISTERS[address]}:
                        errors.append(f"register {address}: {value}")
                else:
                    word = 1000 * (number + 1) + step % 1000
                    words = np.full(PATTERN_WORDS, word, dtype="<i2").tobytes()
                    answer = json.loads(client.call("POST", f"{base}/play", words,
                                                    "application/octet-stream"))
                    if answer["words"] != PATTERN_WORDS or not answer["done"]:
                        errors.append(f"play: {answer}")
                    plays.append(word)
            except Exception as error:  # counted and reported, the client goes on
                errors.append(f"{kind}: {error}")
                client.close()
                client = Client(host, port, token)
            latencies[kind].append(time.perf_counter() - started)
            step += 1
    finally:
        client.close()
    results[number] = {"latencies": latencies, "errors": errors, "plays": plays,
                       "requests": client.requests, "base": base}


def watch_jobs(host, port, token, stop, seen, bases):
    """Polls each board's job list: the most jobs of one board running at once, and how many
    polls saw a job."""
    client = Client(host, port, token)
    try:
        while not stop.is_set():
            for base in bases:
                jobs = json.loads(client.call("GET", f"{base}/jobs"))
                running = sum(1 for job in jobs if job["state"] == "running")
                seen["max_running"] = max(seen["max_running"], running)
                seen["max_listed"] = max(seen["max_listed"], len(jobs))
                seen["polls"] += 1
                seen["busy_polls"] += bool(jobs)
    except Exception as error:
        seen["error"] = str(error)
    finally:
        client.close()


def run(url, token=None, clients=8, seconds=5.0):
    """The load run against every board of the server at ``url``; returns its report."""
    parts = urllib.parse.urlsplit(url)
    host, port = parts.hostname, parts.port
    setup = Client(host, port, token)
    keys = [b["key"] for b in json.loads(setup.call("GET", "/api/v1/boards"))]
    bases = [f"/api/v1/boards/{key}" for key in keys]
    expected = {base: prepare(setup, base) for base in bases}
    status_before = json.loads(setup.call("GET", "/api/v1/status"))
    results, seen = {}, {"max_running": 0, "max_listed": 0, "polls": 0, "busy_polls": 0}
    stop = threading.Event()
    watcher = threading.Thread(target=watch_jobs, args=(host, port, token, stop, seen, bases))
    watcher.start()
    started = time.monotonic()
    deadline = started + seconds
    threads = [threading.Thread(target=worker, args=(
        i, host, port, token, deadline, expected[bases[i % len(bases)]], results,
        bases[i % len(bases)])) for i in range(clients)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    elapsed = time.monotonic() - started
    stop.set()
    watcher.join()
    setup.close()
    setup = Client(host, port, token)  # the first one may have been closed while idle
    status_after = json.loads(setup.call("GET", "/api/v1/status"))
    report = {"clients": clients, "boards": keys, "seconds": elapsed, "kinds": {}, "jobs": seen,
              "errors": [e for r in results.values() for e in r["errors"]],
              "requests": sum(r["requests"] for r in results.values()), "per_board": {}}
    seen["library_calls"] = status_after["library_calls"] - status_before["library_calls"]
    for key, base in zip(keys, bases):
        after = status_after["boards"][key]
        before = status_before["boards"].get(key, {"library_calls": 0, "overlapping_calls": 0})
        report["per_board"][key] = {
            "library_calls": after["library_calls"] - before["library_calls"],
            "overlapping_calls": after["overlapping_calls"] - before["overlapping_calls"]}
        # The plays of a board ran one at a time: its memory holds one whole pattern, the last
        # one played there.
        memory = np.frombuffer(setup.call("GET", f"{base}/sim/playback?first=0&count="
                                                 f"{PATTERN_WORDS}"), dtype="<i2")
        played = {word for r in results.values() if r["base"] == base for word in r["plays"]}
        if played and not (np.all(memory == memory[0]) and int(memory[0]) in played):
            report["errors"].append(f"{key}: the playback memory is not one whole played "
                                    "pattern")
    setup.close()
    seen["overlapping_calls"] = sum(b["overlapping_calls"] for b in report["per_board"].values())
    if "error" in seen:
        report["errors"].append(f"job watcher: {seen['error']}")
    for kind in ("capture", "register", "play"):
        times = np.array([t for r in results.values() for t in r["latencies"][kind]])
        report["kinds"][kind] = {
            "count": int(times.size),
            "p50_ms": float(np.percentile(times, 50) * 1e3) if times.size else None,
            "p99_ms": float(np.percentile(times, 99) * 1e3) if times.size else None}
    report["operations_per_s"] = sum(k["count"] for k in report["kinds"].values()) / elapsed
    report["requests_per_s"] = report["requests"] / elapsed
    return report


def describe(report) -> str:
    lines = [f"{report['clients']} clients on {len(report['boards'])} board(s) for "
             f"{report['seconds']:.1f} s: "
             f"{report['operations_per_s']:.0f} operations/s, "
             f"{report['requests_per_s']:.0f} requests/s"]
    for kind, k in report["kinds"].items():
        if k["count"]:
            lines.append(f"  {kind:8} {k['count']:6} done, p50 {k['p50_ms']:7.2f} ms, "
                         f"p99 {k['p99_ms']:7.2f} ms")
    jobs = report["jobs"]
    for key, board in report["per_board"].items():
        lines.append(f"  {key}: {board['library_calls']} library calls, "
                     f"{board['overlapping_calls']} overlapping")
    lines.append(f"  jobs of one board: at most {jobs['max_running']} running and "
                 f"{jobs['max_listed']} listed at once ({jobs['busy_polls']} of {jobs['polls']} "
                 "polls saw jobs)")
    lines.append(f"  errors: {len(report['errors'])}")
    lines += [f"    {error}" for error in report["errors"][:20]]
    return "\n".join(lines)


def failures(report) -> list:
    found = list(report["errors"])
    if report["jobs"]["max_running"] > 1:
        found.append(f"{report['jobs']['max_running']} jobs ran at once")
    if report["jobs"]["overlapping_calls"]:
        found.append(f"{report['jobs']['overlapping_calls']} library calls overlapped")
    done = sum(k["count"] for k in report["kinds"].values())
    if report["jobs"]["library_calls"] < done:
        found.append(f"{done} operations but only {report['jobs']['library_calls']} jobs ran")
    for kind, k in report["kinds"].items():
        if not k["count"]:
            found.append(f"no {kind} was done")
    return found


def test_load():
    server = Server(tool_path(), boards=2)
    try:
        report = run(server.url, server.token, clients=8,
                     seconds=float(os.environ.get("VRX5200_LOAD_SECONDS", "2")))
    finally:
        server.stop()
    print(describe(report))
    assert not failures(report), describe(report)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float,
                        default=float(os.environ.get("VRX5200_LOAD_SECONDS", "5")))
    parser.add_argument("--clients", type=int, default=8)
    parser.add_argument("--boards", type=int, default=2,
                        help="simulated boards of the server started (default 2)")
    parser.add_argument("--url", help="a running server (else one is started)")
    parser.add_argument("--json", action="store_true", help="the report as JSON")
    args = parser.parse_args()
    server = None
    if args.url is None:
        server = Server(tool_path(), boards=args.boards)
        url, token = server.url, server.token
    else:
        url, token = args.url, os.environ.get("VRX5200_TOKEN")
    try:
        report = run(url, token, args.clients, args.seconds)
    finally:
        if server is not None:
            server.stop()
    print(json.dumps(report, indent=1) if args.json else describe(report))
    found = failures(report)
    for failure in found:
        print(f"load_test: {failure}", file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
