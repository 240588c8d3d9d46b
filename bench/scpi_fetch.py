#!/usr/bin/env python3
"""How fast the SCPI socket of `vrx5200 --sim serve --scpi` serves PyVISA (pyvisa-py): a capture
of N samples (INITiate), its samples fetched as one definite-length block (FETCh?, with
pyvisa-py's default read size, with 1 MiB reads, and read whole with the termination character
off as the README shows), a capture with its block (READ?), a capture
with its SNR (MEASure:SNR?); and the same block on a plain socket (what the server takes, without
pyvisa-py's reading) beside the HTTP download of the same capture. Medians of the runs.

Usage: bench/scpi_fetch.py [path/to/vrx5200] [samples] [runs]
"""
import http.client
import os
import re
import socket
import statistics
import subprocess
import sys
import time

import numpy as np
import pyvisa
from pyvisa.constants import ResourceAttribute

TOKEN = "bench-scpi-fetch-0123456789abcdef0123"


def main():
    tool = sys.argv[1] if len(sys.argv) > 1 else "build/tools/vrx5200"
    samples = int(sys.argv[2]) if len(sys.argv) > 2 else 1 << 20
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 9
    server = subprocess.Popen([tool, "--sim", "serve", "--listen", "127.0.0.1:0", "--scpi",
                               "127.0.0.1:0"], stdout=subprocess.PIPE, text=True,
                              env=dict(os.environ, VRX5200_TOKEN=TOKEN))
    try:
        resource = re.search(r"(TCPIP::\S+::SOCKET)", server.stdout.readline()).group(1)
        http_port = int(server.stdout.readline().rsplit(":", 1)[1].strip("/\n"))
        inst = pyvisa.ResourceManager("@py").open_resource(
            resource, read_termination="\n", write_termination="\n", timeout=60000)
        inst.write(f'SYST:TOK "{TOKEN}";:CAPT:POIN {samples}')

        def timed(f):
            times = []
            for _ in range(runs):
                started = time.perf_counter()
                f()
                times.append(time.perf_counter() - started)
            return statistics.median(times) * 1000

        def fetch():
            block = inst.query_binary_values("FETC?", datatype="h", container=np.array)
            assert len(block) == samples

        def http_download(capture_id):
            connection = http.client.HTTPConnection("127.0.0.1", http_port)
            connection.request("GET", f"/api/v1/captures/{capture_id}",
                               headers={"Authorization": f"Bearer {TOKEN}"})
            assert len(connection.getresponse().read()) == 2 * samples
            connection.close()

        def fetch_whole():
            # The README's way: pyvisa-py ends a read at every newline byte of the samples while
            # the termination character is on.
            inst.write("FETC?")
            inst.set_visa_attribute(ResourceAttribute.termchar_enabled, False)
            try:
                digits = int(inst.read_bytes(2)[1:])
                size = int(inst.read_bytes(digits))
                block = inst.read_bytes(size + 1, chunk_size=size + 1)
            finally:
                inst.set_visa_attribute(ResourceAttribute.termchar_enabled, True)
            assert len(np.frombuffer(block, "<i2", size // 2)) == samples

        rows = [("INIT (capture) and *OPC?", timed(lambda: inst.query("INIT;*OPC?")))]
        rows.append(("FETC? (pyvisa-py's 20 KiB reads)", timed(fetch)))
        inst.chunk_size = 1 << 20
        rows.append(("FETC? (1 MiB reads)", timed(fetch)))
        rows.append(("FETC? (termination off, read whole)", timed(fetch_whole)))
        rows.append(("READ? (capture and block)", timed(
            lambda: inst.query_binary_values("READ?", datatype="h", container=np.array))))
        rows.append(("MEAS:SNR? (capture and analysis)", timed(lambda: inst.query("MEAS:SNR?"))))
        host, port = resource.split("::")[1:3]
        plain = socket.create_connection((host, int(port)))
        answers = plain.makefile("rb")
        plain.sendall(f'SYST:TOK "{TOKEN}";:CAPT:POIN {samples};:INIT;*OPC?\n'.encode())
        answers.readline()

        def plain_fetch():
            plain.sendall(b"FETC?\n")
            digits = int(answers.read(2)[1:])
            assert len(answers.read(int(answers.read(digits))) + answers.readline()) == 2 * samples + 1

        rows.append(("FETC? on a plain socket", timed(plain_fetch)))
        connection = http.client.HTTPConnection("127.0.0.1", http_port)
        connection.request("POST", "/api/v1/capture", f'{{"samples": {samples}}}',
                           {"Authorization": f"Bearer {TOKEN}",
                            "Content-Type": "application/json"})
        capture_id = int(re.search(rb'"id":(\d+)', connection.getresponse().read()).group(1))
        rows.append(("HTTP download of the same size", timed(lambda: http_download(capture_id))))
        print(f"{samples} samples ({2 * samples / 1048576:g} MiB), median of {runs} runs:")
        for name, ms in rows:
            print(f"  {name:36s} {ms:8.1f} ms")
    finally:
        server.terminate()
        server.wait(10)


if __name__ == "__main__":
    main()
