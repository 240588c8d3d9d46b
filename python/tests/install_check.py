"""Installs the package with pip into a new virtual environment and uses it as installed.

    python3 install_check.py PACKAGE_DIR PROJECT_VERSION

The environment sees the system's packages (Debian's numpy); nothing is fetched. The library
comes from VRX5200_LIBRARY_DIR. Exits 77 (skipped) when venv, pip or the build backend is
missing.
"""

import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

SKIP = 77

USE = r"""
import sys
from pathlib import Path
import numpy as np
import vrx5200
from vrx5200.analysis import metrics

assert Path(vrx5200.__file__).resolve().is_relative_to(Path(sys.prefix).resolve()), vrx5200.__file__
assert vrx5200.__version__ == sys.argv[1], (vrx5200.__version__, sys.argv[1])
library = vrx5200.load_library(simulated=True)._name
assert Path(library).parent.resolve() == Path(sys.argv[2]), library
with vrx5200.Board(simulated=True) as board:
    board.set_simulated_signal(cycles=1021, amplitude=29000.0, noise_rms=3.0)
    samples = board.capture(65536)
assert samples.dtype == np.int16
m = metrics(samples)
assert m.fundamental_bin == 1021 and abs(m.snr_db - 76.66) < 0.3, m
np.save(sys.argv[3], samples)
"""


def skip(why: str) -> int:
    print(f"skipped: {why}")
    return SKIP


def run(*command, **kw):
    return subprocess.run([str(c) for c in command], capture_output=True, text=True, **kw)


def main() -> int:
    source, version = Path(sys.argv[1]), sys.argv[2]
    libraries = os.environ.get("VRX5200_LIBRARY_DIR")
    if not libraries:
        print("VRX5200_LIBRARY_DIR is not set")
        return 1
    for module, package in (("venv", "python3-venv"), ("ensurepip", "python3-venv"),
                            ("pip", "python3-pip"), ("setuptools", "python3-setuptools"),
                            ("wheel", "python3-wheel")):
        if run(sys.executable, "-c", f"import {module}").returncode != 0:
            return skip(f"no {module} for {sys.executable} (Debian: {package})")
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        # Built from a copy: the build leaves nothing in the source tree.
        shutil.copytree(source, tmp / "src", ignore=shutil.ignore_patterns("__pycache__", "tests",
                                                                           "build", "*.egg-info"))
        made = run(sys.executable, "-m", "venv", "--system-site-packages", tmp / "venv")
        if made.returncode != 0:
            return skip(f"python3 -m venv fails: {made.stderr.strip().splitlines()[-1:]}")
        python = tmp / "venv" / "bin" / "python"
        env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
        env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
        installed = run(python, "-m", "pip", "install", "--no-build-isolation", "--no-index",
                        "--no-cache-dir", tmp / "src", env=env, cwd=tmp)
        if installed.returncode != 0:
            print(installed.stdout, installed.stderr)
            return 1
        capture = tmp / "capture.npy"
        used = run(python, "-c", USE, version, Path(libraries).resolve(), capture, env=env, cwd=tmp)
        if used.returncode != 0:
            print(used.stdout, used.stderr)
            return 1
        # The command line, as a module and as the installed script.
        for command in ([python, "-m", "vrx5200.analyze"], [tmp / "venv" / "bin" / "vrx5200-analyze"]):
            analyzed = run(*command, capture, "--json", env=env, cwd=tmp)
            if analyzed.returncode != 0 or '"snr_db"' not in analyzed.stdout:
                print(command, analyzed.stdout, analyzed.stderr)
                return 1
        print(f"vrx5200 {version} installed with pip and used from {tmp / 'venv'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
