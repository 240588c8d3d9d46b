#!/bin/sh
# The tool on the emulated bus without --sim: a capture equals, byte for byte, the same capture on
# the simulated board, and the demo runs on the attached (emulated) board.
# Usage: capture_matches_sim.sh TOOL RUNNER
set -eu
tool=$1
runner=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
"$tool" --sim capture -n 262144 -o sim.bin -q
"$runner" -- "$tool" capture -n 262144 -o emulated.bin -q
cmp sim.bin emulated.bin
"$runner" -- "$tool" demo >demo.txt
grep -q "demo on an attached board" demo.txt
grep -q "ports closed" demo.txt
echo "the capture through the emulated bus equals the simulated board's; the demo ran on it"
