"""Prints the single-tone metrics of a capture file and optionally plots its spectrum.

    python3 -m vrx5200.analyze capture.bin --rate 250M --plot spectrum.png
    python3 -m vrx5200.analyze capture.npy --json

Errors (unreadable input, a capture with no tone, bad values, an unwritable plot or output, a
missing analysis library) are one line on standard error and exit status 1. The plot replaces a
file already there only once it is written whole.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import re
import sys

from . import core
from ._files import load_capture, save_figure
from .analysis import metrics, spectrum_figure

_PREFIXES = {"": 1.0, "k": 1e3, "K": 1e3, "M": 1e6, "G": 1e9}


def parse_rate(text: str) -> float:
    """A sample rate in Hz from "250M", "1.5G", "100k", "250MHz" or "2.5e8"."""
    match = re.fullmatch(r"\s*([0-9.]+(?:[eE][+-]?[0-9]+)?)\s*([kKMG]?)(?:Hz)?\s*", text)
    try:
        value = float(match.group(1)) * _PREFIXES[match.group(2)] if match else math.nan
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value > 0):
        raise ValueError(f"bad sample rate {text!r} (a positive number of Hz, with k, M or G: "
                         f"250M)")
    return value


class _Failure(Exception):
    """A clean one-line error: the user's input, not the program, is at fault."""


def _say(text: str) -> None:
    """Prints a line of the answer; a standard output that cannot take it is an error."""
    try:
        sys.stdout.write(text + "\n")
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except OSError as error:
        _drop_stdout()
        raise _Failure(f"cannot write to standard output: {error.strerror or error}") from None


def _drop_stdout() -> None:
    """Points standard output at the null device, so that what is still buffered for it is not
    written (and its failure not reported) once more at exit."""
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)
    except (OSError, ValueError, AttributeError):
        pass


def _analyze(args) -> int:
    if not 2 <= args.bits <= 16:
        raise _Failure(f"--bits {args.bits}: the ADC resolution is 2 to 16 bits")
    if args.harmonics < 2:
        raise _Failure(f"--harmonics {args.harmonics}: the highest harmonic order counted is 2 "
                       f"or more")
    try:
        rate = parse_rate(args.rate) if args.rate is not None else None
    except ValueError as error:
        raise _Failure(f"--rate: {error}") from None
    if args.offset_binary:
        args.code_format = "offset"
    try:
        core.load_analysis_library()
    except OSError as error:  # the message names the library, where it was looked for and how
        raise _Failure(str(error)) from None
    try:
        # Unless told, the file's code format: offset binary for a '<u2' .npy file.
        codes = load_capture(args.capture, format=args.format, raw=True,
                             offset_binary=None if args.code_format is None
                             else args.code_format == "offset")
    except OSError as error:
        raise _Failure(f"cannot read {args.capture}: {error.strerror or error}") from None
    except ValueError as error:  # the message names the file
        raise _Failure(str(error)) from None
    args.offset_binary = codes.offset_binary
    if codes.size < 64:
        raise _Failure(f"{args.capture} holds {codes.size} samples; 64 or more are needed")
    kw = dict(bits=args.bits, offset_binary=args.offset_binary, window=args.window,
              harmonics=args.harmonics, rate_hz=rate)
    try:
        if args.plot:
            figure, m = spectrum_figure(codes, **kw)
        else:
            m = metrics(codes, **kw)
    except ImportError:
        raise _Failure("--plot needs matplotlib (Debian: python3-matplotlib)") from None
    except ValueError as error:
        raise _Failure(f"{args.capture}: {error}") from None
    if args.plot:
        try:
            save_figure(figure, args.plot)
        except (OSError, ValueError) as error:
            reason = getattr(error, "strerror", None) or error
            raise _Failure(f"cannot write the plot {args.plot}: {reason}") from None

    if args.json:
        report = {"file": args.capture, "samples": int(codes.size), "bits": args.bits,
                  "offset_binary": args.offset_binary, "window": args.window}
        if rate is not None:
            report["rate_hz"] = rate
        report.update(m.as_dict())
        if args.plot:
            report["plot"] = args.plot
        _say(json.dumps(report, indent=2, allow_nan=False))
        return 0
    _say("\n".join([f"{args.capture}: {codes.size} samples"] + m.lines()))
    if args.plot:
        _say(f"spectrum written to {args.plot}")
    return 0


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(
        prog="python3 -m vrx5200.analyze",
        description="SNR, SINAD, SFDR, THD, ENOB and noise floor of a capture file "
                    "(IEEE Std 1241 single-tone analysis).")
    parser.add_argument("capture", help="capture file: raw 16-bit little-endian words "
                        "(vrx5200 capture -o), .csv/.txt (one decimal per line) or .npy")
    parser.add_argument("--format", choices=["raw", "csv", "npy", "offset", "twos"],
                        help="the file's format (default: from its extension; raw otherwise), "
                             "or the code format, as --code-format")
    parser.add_argument("--bits", type=int, default=16, help="ADC resolution in bits (default 16)")
    parser.add_argument("--code-format", choices=["twos", "offset"],
                        help="the codes' format (default: offset for a '<u2' .npy file, else "
                             "twos)")
    parser.add_argument("--offset-binary", action="store_true", help="as --code-format offset")
    parser.add_argument("--window", default="blackmanharris",
                        choices=["blackmanharris", "blackmanharris7", "hann", "rectangular"],
                        help="blackmanharris: 4 terms (default); blackmanharris7: 7 terms, side "
                             "lobes near -180 dB; rectangular: coherent captures")
    parser.add_argument("--harmonics", type=int, default=5,
                        help="harmonics counted: orders 2 to N (default 5)")
    parser.add_argument("--rate", metavar="HZ",
                        help="sample rate, e.g. 250M, 1.5G, 100k: frequencies in Hz")
    parser.add_argument("--plot", metavar="PNG", help="write the spectrum plot to this file")
    parser.add_argument("--json", action="store_true",
                        help="print one JSON object (keys with units: snr_db, enob_bits, ...)")
    args = parser.parse_args(argv)
    if args.format in ("offset", "twos"):
        if args.code_format not in (None, args.format):
            parser.error(f"--format {args.format} and --code-format {args.code_format} disagree")
        args.code_format, args.format = args.format, None
    try:
        return _analyze(args)
    except _Failure as error:
        print(f"analyze: {error}", file=sys.stderr)
        return 1
    except BrokenPipeError:  # the reader (head, say) has gone: no traceback for that
        _drop_stdout()
        return 1
    except KeyboardInterrupt:  # a plot being written is left out, the old one kept
        print("analyze: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
