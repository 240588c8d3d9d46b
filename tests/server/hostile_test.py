"""Hostile clients against `vrx5200 --sim serve`, on loopback, bounded in count and time.

While 150 slow connections trickle a header line a second (from three addresses of the loopback
range, 50 each) and one client floods 8 MiB of header lines again and again (from a fourth), an
authenticated client on 127.0.0.1 captures 64 Ki samples every half second: every capture must
answer within 3 s, and the server's memory (its own and its workers') stay within 40 MB of what
it was before. The slow connections must be cut once their head is late, and one address may
not hold more than its share of connections. Requests without the token get no data, and a
second server on the same port is refused. On the SCPI socket meanwhile, 40 connections from one
address overrun the message bound, ask without reading their answers or just hold: the socket
keeps at most its 16 connections, and a client that gave its token first measures every half
second within the same bound.

    python3 tests/server/hostile_test.py [--seconds 12]     (exit 0 when every bound holds)
"""

import argparse
import http.client
import json
import os
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from serving import Server, tool_path  # noqa: E402

SLOW_ADDRESSES = ["127.0.0.11", "127.0.0.12", "127.0.0.13"]
SLOW_EACH = 50
FLOOD_ADDRESS = "127.0.0.21"
FLOOD_BYTES = 8 << 20
CROWD_ADDRESS = "127.0.0.31"  # opens more connections than one address may hold
CROWD = 80
SCPI_ADDRESS = "127.0.0.41"
SCPI_CROWD = 40
SCPI_MAX_CONNECTIONS = 16
CAPTURE_BOUND_S = 3.0
MEMORY_BOUND_MB = 40.0


def rss_mb(pid):
    """Resident memory of a process and its children (the board workers), in MB."""
    total = 0
    pids = [pid]
    try:
        children = Path(f"/proc/{pid}/task/{pid}/children").read_text().split()
        pids += [int(c) for c in children]
    except OSError:
        pass
    for p in pids:
        try:
            for line in Path(f"/proc/{p}/status").read_text().splitlines():
                if line.startswith("VmRSS:"):
                    total += int(line.split()[1])
        except OSError:
            pass
    return total / 1024


def connect_from(address, port, timeout=5.0):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(timeout)
    s.bind((address, 0))
    s.connect(("127.0.0.1", port))
    return s


def slow_client(address, port, stop, report):
    """One connection trickling a header line a second; notes when the server cut it."""
    try:
        s = connect_from(address, port)
    except OSError:
        report["refused"] += 1
        return
    started = time.monotonic()
    s.settimeout(1.0)
    try:
        s.sendall(b"GET /api/v1/captures HTTP/1.1\r\nHost: 127.0.0.1\r\n")
        while not stop.is_set():
            try:
                if s.recv(4096) == b"":
                    break  # closed by the server
            except socket.timeout:
                s.sendall(b"X-Slow: still here\r\n")
            else:
                continue  # an answer (none is expected before the head is done)
        else:
            return
    except OSError:
        pass
    finally:
        s.close()
    report["cut_after_s"].append(time.monotonic() - started)


def flooder(port, stop, report):
    """8 MiB of header lines on one connection, again and again until stopped."""
    line = b"X-Flood: " + b"f" * 1000 + b"\r\n"
    while not stop.is_set():
        try:
            s = connect_from(FLOOD_ADDRESS, port)
        except OSError:
            time.sleep(0.05)
            continue
        sent = 0
        try:
            s.sendall(b"GET /api/v1/captures HTTP/1.1\r\nHost: 127.0.0.1\r\n")
            while sent < FLOOD_BYTES and not stop.is_set():
                s.sendall(line)
                sent += len(line)
        except OSError:
            pass
        report["floods"] += 1
        report["most_taken"] = max(report["most_taken"], sent)
        try:
            s.settimeout(1)
            report["answers"].add(s.recv(64).split(b"\r\n")[0].decode("latin-1"))
        except OSError:
            pass
        s.close()


def crowd(port, stop, report):
    """More connections from one address than it may hold: how many stay open."""
    sockets = []
    for _ in range(CROWD):
        try:
            sockets.append(connect_from(CROWD_ADDRESS, port))
        except OSError:
            pass
    time.sleep(0.5)
    held = 0
    for s in sockets:
        s.setblocking(False)
        try:
            held += s.recv(1) != b""  # data (none expected) or a close
        except BlockingIOError:
            held += 1  # still open
        except OSError:
            pass
    report["crowd_held"] = held
    stop.wait()
    for s in sockets:
        s.close()


def held_by(pid, port, peer):
    """TCP connections the process `pid` holds open on its local `port` from the address `peer`,
    read from its descriptors and the kernel's table (connections still waiting in the listen
    queue are not the server's yet)."""
    inodes = set()
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            link = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            continue
        if link.startswith("socket:["):
            inodes.add(link[len("socket:["):-1])
    peer_hex = "".join(f"{int(b):02X}" for b in reversed(peer.split(".")))
    held = 0
    with open("/proc/net/tcp") as table:
        for line in table.readlines()[1:]:
            f = line.split()
            local, remote, inode = f[1], f[2], f[9]
            held += (inode in inodes and int(local.split(":")[1], 16) == port
                     and remote.split(":")[0] == peer_hex)
    return held


def scpi_attacker(port, stop, report, count_held):
    """More SCPI connections than the socket keeps: a third overrun a message's bound without
    end, a third ask *IDN? again and again without reading the answers, a third only hold.
    Notes how many of them the server holds at the end."""
    sockets = []
    for _ in range(SCPI_CROWD):
        try:
            s = connect_from(SCPI_ADDRESS, port)
            s.setblocking(False)
            sockets.append(s)
        except OSError:
            pass
    junk, questions = b"x" * 65536, b"*IDN?\n" * 4096
    while not stop.is_set():
        for k, s in enumerate(sockets):
            if k % 3 == 2:
                continue
            try:
                s.send(junk if k % 3 == 0 else questions)
            except OSError:
                pass  # full (not read) or closed
        time.sleep(0.01)
    report["held"] = count_held()
    for s in sockets:
        s.close()


class ScpiClient:
    """A client of the SCPI socket that gave its token: one message, one answer line."""

    def __init__(self, port, token):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.lines = self.socket.makefile("rb")
        self.socket.sendall(f'SYST:TOK "{token}"\n'.encode())
        assert self.query("*OPC?;SYST:ERR?") == '1;0,"No error"'

    def query(self, message):
        self.socket.sendall(message.encode() + b"\n")
        return self.lines.readline().decode().rstrip("\n")


def request(server, method, path, body=None, token=True, timeout=10.0):
    connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=timeout)
    headers = {"Content-Type": "application/json"} if body is not None else {}
    if token:
        headers["Authorization"] = f"Bearer {server.token}"
    try:
        connection.request(method, path, body=None if body is None else json.dumps(body),
                           headers=headers)
        response = connection.getresponse()
        return response.status, response.read()
    finally:
        connection.close()


def run(seconds):
    server = Server(tool_path(), args=["--scpi", "127.0.0.1:0"])
    scpi_port = int(next(line for line in server.output if "SCPI on" in line).split("::")[2])
    failures, lines = [], []
    try:
        # Warm: the board open, a capture analysed, then the memory to compare with.
        for _ in range(3):
            assert request(server, "POST", "/api/v1/capture", {"samples": 65536})[0] == 200
        time.sleep(0.5)
        base_mb = rss_mb(server.process.pid)
        kept = json.loads(request(server, "GET", "/api/v1/captures")[1])
        instrument = ScpiClient(scpi_port, server.token)

        stop = threading.Event()
        slow = {"refused": 0, "cut_after_s": []}
        flood = {"floods": 0, "most_taken": 0, "answers": set()}
        crowded = {"crowd_held": None}
        scpi_crowd = {"held": None}
        threads = [threading.Thread(target=slow_client, args=(a, server.port, stop, slow))
                   for a in SLOW_ADDRESSES for _ in range(SLOW_EACH)]
        threads.append(threading.Thread(target=flooder, args=(server.port, stop, flood)))
        threads.append(threading.Thread(target=crowd, args=(server.port, stop, crowded)))
        threads.append(threading.Thread(
            target=scpi_attacker,
            args=(scpi_port, stop, scpi_crowd,
                  lambda: held_by(server.process.pid, scpi_port, SCPI_ADDRESS))))
        for t in threads:
            t.start()
        time.sleep(1.0)  # every attacker connected

        latencies, scpi_latencies, peak_mb, errors, denied = [], [], base_mb, [], []
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            started = time.monotonic()
            try:
                status, body = request(server, "POST", "/api/v1/capture", {"samples": 65536})
                if status != 200 or json.loads(body)["samples"] != 65536:
                    errors.append(f"capture: HTTP {status} {body[:100]!r}")
            except OSError as error:
                errors.append(f"capture: {error}")
            latencies.append(time.monotonic() - started)
            measured = time.monotonic()
            try:
                float(instrument.query("MEAS:SNR?"))
            except (OSError, ValueError) as error:
                errors.append(f"SCPI measure: {error}")
            scpi_latencies.append(time.monotonic() - measured)
            # No token, no data.
            for method, path, body in (("GET", "/api/v1/captures", None),
                                       ("GET", f"/api/v1/captures/{kept[0]['id']}", None),
                                       ("POST", "/api/v1/capture", {"samples": 64})):
                status, data = request(server, method, path, body, token=False)
                denied.append(status == 401 and b"error" in data and len(data) < 1000)
            peak_mb = max(peak_mb, rss_mb(server.process.pid))
            time.sleep(max(0.0, 0.5 - (time.monotonic() - started)))
        stop.set()
        for t in threads:
            t.join(30)

        # A second server on this port.
        second = subprocess.run([str(server.tool), "--sim", "serve", "--listen",
                                 f"127.0.0.1:{server.port}"], capture_output=True, text=True,
                                timeout=20, stdin=subprocess.DEVNULL)
        after = json.loads(request(server, "GET", "/api/v1/captures")[1])
        unauthorised_kept = [c for c in after if c["samples"] == 64]

        worst = max(latencies)
        cut = sorted(slow["cut_after_s"])
        lines += [
            f"{len(latencies)} captures of 64 Ki under attack: worst {worst:.2f} s, "
            f"median {sorted(latencies)[len(latencies) // 2]:.3f} s (bound {CAPTURE_BOUND_S} s)",
            f"memory (server and workers): {base_mb:.1f} MB before, {peak_mb:.1f} MB at most "
            f"(+{peak_mb - base_mb:.1f} MB, bound {MEMORY_BOUND_MB:.0f} MB)",
            f"slow connections: {len(SLOW_ADDRESSES) * SLOW_EACH} from "
            f"{len(SLOW_ADDRESSES)} addresses, {slow['refused']} refused, {len(cut)} cut "
            f"after {cut[0] if cut else 0:.1f} to {cut[-1] if cut else 0:.1f} s",
            f"floods: {flood['floods']} of 8 MiB, at most {flood['most_taken'] >> 10} KiB "
            f"taken before the answer {sorted(flood['answers'])}",
            f"one address opening {CROWD} connections: {crowded['crowd_held']} held",
            f"{len(scpi_latencies)} SCPI measurements of 64 Ki beside {SCPI_CROWD} hostile SCPI "
            f"connections: worst {max(scpi_latencies):.2f} s; {scpi_crowd['held']} of them held",
            f"requests without the token: {sum(denied)} of {len(denied)} refused with 401 "
            "and no data",
            f"a second server on the port: exit {second.returncode}, "
            f"{second.stderr.strip()!r}",
        ]
        if errors:
            failures += errors[:10]
        if worst > CAPTURE_BOUND_S or max(scpi_latencies) > CAPTURE_BOUND_S:
            failures.append(f"a capture took {max(worst, max(scpi_latencies)):.2f} s")
        if scpi_crowd["held"] is None or scpi_crowd["held"] >= SCPI_MAX_CONNECTIONS:
            failures.append(f"the SCPI socket held {scpi_crowd['held']} hostile connections "
                            "beside the client with the token")
        if peak_mb - base_mb > MEMORY_BOUND_MB:
            failures.append(f"the memory grew by {peak_mb - base_mb:.1f} MB")
        if len(cut) < len(SLOW_ADDRESSES) * SLOW_EACH - slow["refused"] or \
                (cut and cut[-1] > 15):
            failures.append("slow connections were not cut in time")
        if flood["most_taken"] >= FLOOD_BYTES:
            failures.append("a flood of 8 MiB of headers was taken whole")
        if crowded["crowd_held"] is None or crowded["crowd_held"] > 64:
            failures.append(f"one address held {crowded['crowd_held']} connections")
        if not all(denied) or unauthorised_kept:
            failures.append("a request without the token was answered")
        if second.returncode != 3 or "in use" not in second.stderr:
            failures.append("a second server on the port was not refused")
        if not server.alive():
            failures.append("the server died")
    finally:
        server.stop()
    return lines, failures


def test_hostile_clients():
    lines, failures = run(float(os.environ.get("VRX5200_HOSTILE_SECONDS", "12")))
    print("\n".join(lines))
    assert not failures, "\n".join(lines + failures)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=12.0,
                        help="how long the attack lasts (default 12: past the 10 s head "
                             "deadline)")
    args = parser.parse_args()
    lines, failures = run(args.seconds)
    print("\n".join(lines))
    for failure in failures:
        print(f"hostile_test: {failure}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
