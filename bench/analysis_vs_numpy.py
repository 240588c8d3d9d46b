#!/usr/bin/python3
"""Single-tone analysis time: the measurement core against numpy's rfft of the same capture.

Makes a 1 Mi-sample int16 capture (a coherent -1 dBFS tone with noise), then times, alternately
so that all see the same state of the machine: the core's whole single-tone analysis through
ctypes (window, transform, metrics; the analyzer made once, as the Python package keeps it),
numpy's rfft alone of the capture already converted to float64, the same with the conversion, and
the package's former numpy analysis (python/tests/numpy_oracle.py) when it is at hand. Prints the
median of the runs of each.
Usage: analysis_vs_numpy.py [path/to/libvrx5200analysis.so] [samples] [runs]
"""
import ctypes
import os
import statistics
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
RUNS = 15


class ToneConfig(ctypes.Structure):
    _fields_ = [("bits", ctypes.c_int32), ("code_format", ctypes.c_int32),
                ("window", ctypes.c_int32), ("harmonics", ctypes.c_int32),
                ("lobe_half_width", ctypes.c_int32), ("reserved", ctypes.c_int32),
                ("rate_hz", ctypes.c_double), ("fundamental_cycles", ctypes.c_double)]


def main():
    lib_path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build",
                                                                  "libvrx5200analysis.so")
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 1 << 20
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else RUNS
    lib = ctypes.CDLL(lib_path)
    lib.VRX5200Analysis_Create.argtypes = [ctypes.c_uint64, ctypes.c_int32,
                                           ctypes.POINTER(ctypes.c_void_p)]
    lib.VRX5200Analysis_Single_Tone.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int32,
                                                ctypes.c_uint64, ToneConfig, ctypes.c_void_p,
                                                ctypes.c_void_p]
    lib.VRX5200Analysis_Destroy.argtypes = [ctypes.c_void_p]
    result = ctypes.create_string_buffer(4096)  # room for the result record

    rng = np.random.default_rng(1241)
    t = np.arange(n)
    capture = np.round(29000 * np.sin(2 * np.pi * 16339 * (n >> 20 or 1) * t / n)
                       + rng.normal(0, 3, n)).astype(np.int16)
    as_float = capture.astype(np.float64)

    oracle = None
    try:
        sys.path.insert(0, os.path.join(HERE, "..", "python", "tests"))
        import numpy_oracle as oracle
    except ImportError:
        pass

    config = ToneConfig(bits=16, window=2, harmonics=5)
    timings = {}
    for threads in (1, 2):
        analyzer = ctypes.c_void_p()
        assert lib.VRX5200Analysis_Create(n, threads, ctypes.byref(analyzer)) == 0
        timings[f"core, {threads} thread{'s' if threads > 1 else ''}"] = (analyzer, [])

    def core(analyzer):
        code = lib.VRX5200Analysis_Single_Tone(analyzer, capture.ctypes.data, 0, n, config,
                                               result, None)
        assert code == 0, code

    timings["numpy rfft alone (float64 in)"] = (lambda: np.fft.rfft(as_float), [])
    timings["numpy astype + rfft"] = (lambda: np.fft.rfft(capture.astype(np.float64)), [])
    if oracle is not None:
        timings["former numpy analysis"] = (lambda: oracle.metrics(capture), [])
    for _ in range(runs):  # alternating, so that all see the same machine
        for name, (what, times) in timings.items():
            start = time.perf_counter()
            if name.startswith("core"):
                core(what)
            else:
                what()
            times.append(time.perf_counter() - start)
    for name, (what, _) in timings.items():
        if name.startswith("core"):
            lib.VRX5200Analysis_Destroy(what)

    print(f"{n} int16 samples, median of {runs} alternating runs "
          f"(numpy {np.__version__}, {os.cpu_count()} cores):")
    reference = statistics.median(timings["numpy rfft alone (float64 in)"][1])
    for name, (_, times) in timings.items():
        median = statistics.median(times)
        print(f"  {name:32s} {median * 1e3:8.2f} ms  ({median / reference:.2f} x numpy's rfft)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
