#!/usr/bin/env python3
"""How fast `vrx5200 --sim serve` answers: a 64 Ki capture with its figures and a 2048-point
spectrum (what the front panel asks for, end to end over HTTP), continuous 16 Ki captures on one
connection (spectra per second), 1 Mi-sample captures on one board and on two boards side by side
(each in its worker process: the pair should take well under twice one), and the server's CPU
while idle.

Usage: bench/serve_latency.py [path/to/vrx5200] [runs]
"""
import http.client
import json
import os
import statistics
import subprocess
import sys
import threading
import time

TOKEN = "bench-serve-latency-0123456789abcdef"


def server(tool):
    env = dict(os.environ, VRX5200_TOKEN=TOKEN, VRX5200_SIM_BOARDS="2")
    p = subprocess.Popen([tool, "--sim", "serve", "--listen", "127.0.0.1:0"],
                         stdout=subprocess.PIPE, text=True, env=env)
    line = p.stdout.readline()
    if "listening on http://" not in line:
        p.kill()
        sys.exit(f"the server did not start: {line!r}")
    host_port = line.split("http://")[1].strip().rstrip("/")
    host, port = host_port.rsplit(":", 1)
    return p, host, int(port)


def capture(conn, samples, spectrum, board=None):
    body = json.dumps({"samples": samples, "spectrum": spectrum})
    path = f"/api/v1/boards/{board}/capture" if board else "/api/v1/capture"
    conn.request("POST", path, body, {"Content-Type": "application/json",
                                      "Authorization": f"Bearer {TOKEN}"})
    r = conn.getresponse()
    data = r.read()
    if r.status != 200:
        sys.exit(f"capture failed: {r.status} {data[:200]!r}")
    return json.loads(data)


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def side_by_side(host, port, boards, rounds=20):
    """1 Mi-sample captures on the first board alone, then on every board at once, taken in
    turn (so that both see the same machine): the best time (s) of each."""
    conns = {b: http.client.HTTPConnection(host, port, timeout=60) for b in boards}
    for b in boards:
        capture(conns[b], 1 << 20, 0, b)  # each worker up, its analyzer made
    best = {1: float("inf"), len(boards): float("inf")}
    for _ in range(rounds):
        for group in (boards[:1], boards):
            threads = [threading.Thread(target=capture, args=(conns[b], 1 << 20, 0, b))
                       for b in group]
            t = time.perf_counter()
            for th in threads:
                th.start()
            for th in threads:
                th.join()
            best[len(group)] = min(best[len(group)], time.perf_counter() - t)
    return best[1], best[len(boards)]


def spin(_=None):
    x = 0
    for i in range(3_000_000):
        x += i
    return x


def machine_parallelism():
    """How much longer two processes busy on the CPU take than one, on this machine now (1.0 on
    two free cores; 2.0 when only one core's worth is to be had): the bound of any overlap."""
    import multiprocessing
    with multiprocessing.Pool(2) as pool:
        pool.map(spin, range(2))
        one = two = float("inf")
        for _ in range(3):
            t = time.perf_counter()
            pool.map(spin, range(1))
            one = min(one, time.perf_counter() - t)
            t = time.perf_counter()
            pool.map(spin, range(2))
            two = min(two, time.perf_counter() - t)
    return two / one


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    tool = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "build", "tools",
                                                               "vrx5200")
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    p, host, port = server(tool)
    try:
        conn = http.client.HTTPConnection(host, port, timeout=30)
        capture(conn, 65536, 2048)  # the first opens the board
        times = []
        for _ in range(runs):
            t = time.perf_counter()
            capture(conn, 65536, 2048)
            times.append((time.perf_counter() - t) * 1000)
        times.sort()
        p99 = times[min(len(times) - 1, int(len(times) * 0.99))]
        print(f"64 Ki capture + figures + 2048-point spectrum: p50 {statistics.median(times):.1f} ms"
              f", p99 {p99:.1f} ms ({runs} runs)")
        count, start = 0, time.perf_counter()
        while time.perf_counter() - start < 3:
            capture(conn, 16384, 2048)
            count += 1
        rate = count / (time.perf_counter() - start)
        print(f"continuous 16 Ki captures with spectra: {rate:.0f} per second")
        one, two = side_by_side(host, port, ["SIM00001", "SIM00002"])
        print(f"1 Mi-sample capture with its figures: {one * 1000:.0f} ms on one board, "
              f"{two * 1000:.0f} ms for one on each of two boards at once ({two / one:.2f}x; "
              f"two CPU-bound processes take {machine_parallelism():.2f}x one here now)")
        before = cpu_seconds(p.pid)
        time.sleep(5)
        idle = (cpu_seconds(p.pid) - before) / 5 * 100
        print(f"idle server: {idle:.2f} % of one core over 5 s")
    finally:
        p.terminate()
        p.wait(timeout=10)


if __name__ == "__main__":
    main()
