#!/usr/bin/python3
"""Single-tone analysis time and memory: the measurement core against numpy's rfft of the same
capture.

For each length (default 2^20, and 2^20 - 2 whose half is the prime 524287) makes an int16
capture of a -1 dBFS tone between bins (the case the core fits and subtracts; --coherent for a
whole number of cycles) with noise, then times, alternately so that all see the same state of
the machine: the core's whole single-tone analysis through ctypes (scan, fit, window, transform,
figures; the analyzer made once, as the Python package keeps it) with the default threads
(threads=0: two where the machine has two cores), on one thread and on two, and numpy's rfft
alone of the capture already converted to float64 (each in turn first, since the one after
numpy's finds the caches emptied). Prints the median of each and its ratio to numpy's rfft,
with the load average. It then runs itself again with glibc told to keep freed memory
(MALLOC_MMAP_THRESHOLD_, MALLOC_TRIM_THRESHOLD_), which spares numpy its page faults, and
measures in a fresh process per length the peak memory the core's analysis takes beyond the
capture (an analyzer made and freed), in bytes per sample.
Usage: analysis_vs_numpy.py [--lib path/to/libvrx5200analysis.so] [--runs N] [--coherent]
                            [--memory-lengths N,...] [lengths...]
"""
import argparse
import ctypes
import os
import statistics
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
KEEP_FREED = {"MALLOC_MMAP_THRESHOLD_": str(32 << 20), "MALLOC_TRIM_THRESHOLD_": str(1 << 40)}


class ToneConfig(ctypes.Structure):
    _fields_ = [("bits", ctypes.c_int32), ("code_format", ctypes.c_int32),
                ("window", ctypes.c_int32), ("harmonics", ctypes.c_int32),
                ("lobe_half_width", ctypes.c_int32), ("reserved", ctypes.c_int32),
                ("rate_hz", ctypes.c_double), ("fundamental_cycles", ctypes.c_double)]


def load(path):
    lib = ctypes.CDLL(path)
    lib.VRX5200Analysis_Create.argtypes = [ctypes.c_uint64, ctypes.c_int32,
                                           ctypes.POINTER(ctypes.c_void_p)]
    lib.VRX5200Analysis_Single_Tone.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int32,
                                                ctypes.c_uint64, ToneConfig, ctypes.c_void_p,
                                                ctypes.c_void_p]
    lib.VRX5200Analysis_Destroy.argtypes = [ctypes.c_void_p]
    return lib


def capture(n, coherent):
    rng = np.random.default_rng(1241)
    cycles = 16339 * (n >> 20 or 1) + (0 if coherent else 0.37)
    t = np.arange(n)
    return np.round(29000 * np.sin(2 * np.pi * cycles * t / n)
                    + rng.normal(0, 3, n)).astype(np.int16)


def timings(lib, n, runs, coherent):
    x = capture(n, coherent)
    as_float = x.astype(np.float64)
    config = ToneConfig(bits=16, window=2, harmonics=5)
    result = ctypes.create_string_buffer(4096)  # room for the result record
    entries = {}
    for threads in (0, 1, 2):
        analyzer = ctypes.c_void_p()
        assert lib.VRX5200Analysis_Create(n, threads, ctypes.byref(analyzer)) == 0

        def core(analyzer=analyzer):
            code = lib.VRX5200Analysis_Single_Tone(analyzer, x.ctypes.data, 0, n, config, result,
                                                   None)
            assert code == 0, code
        name = "core, default threads" if threads == 0 else \
            f"core, {threads} thread{'s' if threads > 1 else ''}"
        entries[name] = (core, [], analyzer)
    entries["numpy rfft alone (float64 in)"] = (lambda: np.fft.rfft(as_float), [], None)
    order = list(entries.values())
    for run in range(runs):  # alternating, so that all see the same machine, each in turn first
        for what, times, _ in order[run % len(order):] + order[:run % len(order)]:
            start = time.perf_counter()
            what()
            times.append(time.perf_counter() - start)
    for _, _, analyzer in entries.values():
        if analyzer is not None:
            lib.VRX5200Analysis_Destroy(analyzer)
    return {name: statistics.median(times) for name, (_, times, _) in entries.items()}


def status_bytes(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1]) * 1024
    return 0


def memory_child(lib_path, n):
    """Run in a fresh process: the peak resident set the analysis adds beyond the capture."""
    lib = load(lib_path)
    x = capture(n, False)
    with open("/proc/self/clear_refs", "w") as f:  # the peak set back to the present
        f.write("5")
    before = status_bytes("VmRSS:")
    analyzer = ctypes.c_void_p()
    assert lib.VRX5200Analysis_Create(n, 0, ctypes.byref(analyzer)) == 0
    result = ctypes.create_string_buffer(4096)
    config = ToneConfig(bits=16, window=2, harmonics=5)
    assert lib.VRX5200Analysis_Single_Tone(analyzer, x.ctypes.data, 0, n, config, result,
                                           None) == 0
    lib.VRX5200Analysis_Destroy(analyzer)
    print((status_bytes("VmHWM:") - before) / n)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("lengths", nargs="*", type=int, default=[1 << 20, (1 << 20) - 2])
    parser.add_argument("--lib", default=os.path.join(HERE, "..", "build",
                                                      "libvrx5200analysis.so"))
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--coherent", action="store_true")
    parser.add_argument("--memory-lengths", default=f"{1 << 20},{1 << 24},{(1 << 20) - 2},"
                                                    f"{(1 << 24) - 2},1000003,{(1 << 20) + 1},"
                                                    f"{(1 << 20) - 1},{(1 << 24) + 1}")
    parser.add_argument("--memory-child", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--timing-only", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        memory_child(args.lib, args.memory_child)
        return 0
    lib = load(args.lib)
    allocator = "glibc kept freed memory" if "MALLOC_TRIM_THRESHOLD_" in os.environ else \
        "glibc's default allocator"
    print(f"{allocator}; median of {args.runs} alternating runs (numpy {np.__version__}, "
          f"{os.cpu_count()} cores, tone {'coherent' if args.coherent else 'between bins'}, "
          f"load average {os.getloadavg()[0]:.1f}):")
    for n in args.lengths:
        medians = timings(lib, n, args.runs, args.coherent)
        reference = medians["numpy rfft alone (float64 in)"]
        print(f"  {n} int16 samples")
        for name, median in medians.items():
            print(f"    {name:32s} {median * 1e3:8.2f} ms  ({median / reference:.2f} x numpy's "
                  f"rfft)")
    if args.timing_only:
        return 0
    sys.stdout.flush()
    command = [sys.executable, os.path.abspath(__file__), "--lib", args.lib, "--runs",
               str(args.runs), "--timing-only"] + (["--coherent"] if args.coherent else []) + \
        [str(n) for n in args.lengths]
    subprocess.run(command, env={**os.environ, **KEEP_FREED}, check=True)
    print("peak memory of an analysis beyond the capture, bytes per sample:")
    for n in (int(v) for v in args.memory_lengths.split(",") if v):
        out = subprocess.run([sys.executable, os.path.abspath(__file__), "--lib", args.lib,
                              "--memory-child", str(n)], capture_output=True, text=True,
                             check=True)
        print(f"  {n:>9d} samples: {float(out.stdout):6.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
