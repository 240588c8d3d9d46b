#!/usr/bin/env bash
# The module as `cmake --install` lays it out: installed into a staging prefix, SoapySDR finds it
# there (SOAPY_SDR_PLUGIN_PATH stands in for the prefix's place in SoapySDR's search), and it runs
# the staged worker on the staged library. Usage: install_check.sh BUILD_DIR PYTHON
set -euo pipefail
build=$1
python=$2
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cmake --install "$build" --prefix "$stage/prefix" >/dev/null
module=$(find "$stage/prefix" -name libvrx5200Support.so)
case "$module" in
  */SoapySDR/modules0.8/libvrx5200Support.so) ;;
  *) echo "the module is not where SoapySDR looks: ${module:-nowhere}"; exit 1 ;;
esac
export SOAPY_SDR_PLUGIN_PATH=$(dirname "$module")
found=$(SoapySDRUtil --find="driver=vrx5200,sim=1")
grep -q "serial = SIM00001" <<<"$found" || { echo "$found"; exit 1; }
"$python" - "$stage/prefix" <<'PY'
import os, sys, numpy as np, SoapySDR
from SoapySDR import SOAPY_SDR_RX, SOAPY_SDR_CS16, SOAPY_SDR_END_BURST
dev = SoapySDR.Device("driver=vrx5200,sim=1")
info = dev.getHardwareInfo()
worker = os.readlink(f"/proc/{info['worker_pid']}/exe")
assert worker.startswith(sys.argv[1]) and info["library"].startswith(sys.argv[1]), (worker, info)
stream = dev.setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16)
dev.activateStream(stream, SOAPY_SDR_END_BURST, 0, 4096)
buf = np.zeros((4096, 2), np.int16)
assert dev.readStream(stream, [buf], 4096, timeoutUs=5_000_000).ret == 4096
dev.closeStream(stream)
print("installed module: worker", worker, "library", info["library"])
PY
