"""Prints the single-tone metrics of a capture file and optionally plots its spectrum.

    python3 -m vrx5200.analyze capture.bin --plot spectrum.png
"""

from __future__ import annotations

import argparse
import sys

import numpy as np

from .analysis import metrics, plot_spectrum


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(
        prog="python3 -m vrx5200.analyze",
        description="SNR, SINAD, SFDR, THD, ENOB and noise floor of a raw 16-bit capture file "
                    "(IEEE Std 1241 single-tone analysis).")
    parser.add_argument("capture", help="raw 16-bit little-endian capture file (vrx5200 capture)")
    parser.add_argument("--bits", type=int, default=16, help="ADC resolution in bits (default 16)")
    parser.add_argument("--offset-binary", action="store_true",
                        help="codes are offset binary (default two's complement)")
    parser.add_argument("--window", default="blackmanharris",
                        choices=["blackmanharris", "hann", "rectangular"])
    parser.add_argument("--harmonics", type=int, default=5, help="harmonics counted (2 to N)")
    parser.add_argument("--plot", metavar="PNG", help="write the spectrum plot to this file")
    args = parser.parse_args(argv)
    try:
        codes = np.fromfile(args.capture, dtype="<u2")
    except OSError as error:
        print(f"analyze: cannot read {args.capture}: {error}", file=sys.stderr)
        return 1
    if codes.size < 64:
        print(f"analyze: {args.capture} holds {codes.size} samples; 64 or more are needed",
              file=sys.stderr)
        return 1
    kw = dict(bits=args.bits, offset_binary=args.offset_binary, window=args.window,
              harmonics=args.harmonics)
    m = plot_spectrum(codes, args.plot, **kw) if args.plot else metrics(codes, **kw)
    print(f"{args.capture}: {codes.size} samples")
    for line in m.lines():
        print(line)
    if args.plot:
        print(f"spectrum written to {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
