#!/usr/bin/python3
"""Sample-file conversion throughput: the library against the same conversion done with numpy.

Writes a text file of 10 million lines of two comma-separated columns, converts it with
VRX5200BrdCtrl_Offset_BinRep (lane map -1, +1, -2, +2) and with numpy (loadtxt, scaling,
astype, tofile), checks that both outputs are byte-identical, and prints both throughputs in MB
of text per second. The two run alternately, several times each, so that both see the same
state of the machine; the figures are the medians of those runs.
Usage: convert_vs_numpy.py [path/to/libvrx5200sim.so] [lines] [runs]
"""
import ctypes
import os
import statistics
import sys
import tempfile
import time

import numpy as np

RUNS = 5


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    lib_path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "build", "libvrx5200sim.so")
    lines = int(sys.argv[2]) if len(sys.argv) > 2 else 10_000_000
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else RUNS
    lib = ctypes.CDLL(lib_path)
    convert = lib.VRX5200BrdCtrl_Offset_BinRep
    convert.restype = ctypes.c_int32
    int_array = ctypes.POINTER(ctypes.c_int32)
    convert.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, int_array, int_array,
                        ctypes.c_int32, ctypes.c_int32]

    with tempfile.TemporaryDirectory() as work:
        text_path = os.path.join(work, "samples.txt")
        rng = np.random.default_rng(1241)
        values = rng.integers(-32768, 32768, size=(lines, 2), dtype=np.int32)
        np.savetxt(text_path, values, fmt="%d", delimiter=",")
        size_mb = os.path.getsize(text_path) / 1e6

        lane_map = (ctypes.c_int32 * 4)(-1, 1, -2, 2)
        multipliers = (ctypes.c_int32 * 4096)(*([1] * 4096))
        ours_dir = os.path.join(work, "ours")
        os.mkdir(ours_dir)
        ours_runs, numpy_runs = [], []
        numpy_path = os.path.join(work, "numpy.bin")
        for _ in range(runs):  # alternating, so that both see the same machine
            start = time.perf_counter()
            result = convert(text_path.encode(), b",", ours_dir.encode(), multipliers, lane_map,
                             4, 2)
            ours_runs.append(time.perf_counter() - start)
            if result != lines:
                sys.exit(f"conversion returned {result}, expected {lines}")

            start = time.perf_counter()
            data = np.loadtxt(text_path, delimiter=",", dtype=np.int32)
            data = data * 1 + 0x8000  # per-line scaling (all ones here), then offset binary
            data.astype("<u2").tofile(numpy_path)
            numpy_runs.append(time.perf_counter() - start)

        with open(os.path.join(ours_dir, "DAC_test.bin"), "rb") as a, open(numpy_path, "rb") as b:
            identical = a.read() == b.read()

    print(f"text: {size_mb:.1f} MB, {lines} lines of two columns")
    ours_s = statistics.median(ours_runs)
    numpy_s = statistics.median(numpy_runs)
    print("runs (library / numpy, s): " +
          ", ".join(f"{a:.3f}/{b:.3f}" for a, b in zip(ours_runs, numpy_runs)))
    print(f"median of {runs} runs each:")
    print(f"library: {ours_s:.3f} s, {size_mb / ours_s:.1f} MB/s")
    print(f"numpy:   {numpy_s:.3f} s, {size_mb / numpy_s:.1f} MB/s")
    paired = statistics.median(b / a for a, b in zip(ours_runs, numpy_runs))
    print(f"speed-up: {numpy_s / ours_s:.2f}x (median of the side-by-side ratios {paired:.2f}x), "
          f"outputs byte-identical: {identical}")
    return 0 if identical else 1


if __name__ == "__main__":
    sys.exit(main())
