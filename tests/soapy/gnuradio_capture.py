"""A GNU Radio flowgraph captures from the simulated board through GNU Radio's Soapy source block.

The block activates the stream with no flags: back-to-back captures, each join an overflow. The
flowgraph takes two captures' worth of samples; the first capture must be the tool's, scaled to
+-1.0. Exits 77 (a skip, said on standard output) where GNU Radio is not installed.
"""
import os
import subprocess
import sys
import tempfile

import numpy as np

try:
    from gnuradio import blocks, gr, soapy
except ImportError as e:
    print(f"skipped: GNU Radio with its Soapy blocks is not installed ({e}); "
          "VRX5200_GNURADIO=1 ./setup installs it")
    sys.exit(77)

CAPTURE = 65536


def main():
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "tool.bin")
        subprocess.run([os.environ["VRX5200_TOOL"], "--sim", "capture", "-n", str(CAPTURE),
                        "-o", path, "-q"], check=True)
        expected = np.fromfile(path, np.int16) / 32768.0

    top = gr.top_block()
    # device, type, channels, device arguments, stream arguments, tune and other settings
    source = soapy.source("driver=vrx5200", "fc32", 1, "sim=1",
                          f"capture_length={CAPTURE}", [""], [""])
    source.set_sample_rate(0, 250e6)
    head = blocks.head(gr.sizeof_gr_complex, 2 * CAPTURE)
    sink = blocks.vector_sink_c()
    top.connect(source, head, sink)
    top.run()

    samples = np.array(sink.data(), np.complex64)
    assert samples.size == 2 * CAPTURE, samples.size
    assert not samples.imag.any()
    assert np.array_equal(samples.real[:CAPTURE], expected.astype(np.float32))
    # The second capture is another stretch of the board's signal, not a repeat.
    assert not np.array_equal(samples.real[CAPTURE:], samples.real[:CAPTURE])
    print(f"GNU Radio {gr.version()}: {samples.size} samples through the Soapy source, "
          "the first capture as the tool's")
    return 0


if __name__ == "__main__":
    sys.exit(main())
