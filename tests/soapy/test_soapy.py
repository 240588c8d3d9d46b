"""The SoapySDR module as its users meet it: SoapySDRUtil and SoapySDR's Python bindings, on the
simulated board (and on the emulated USB bus, where the build has it).

CTest sets SOAPY_SDR_PLUGIN_PATH (the module in the build tree), VRX5200_TOOL, PYTHONPATH (the
vrx5200 package, for successive captures in one process) and, with the emulated bus,
VRX5200_RUN_EMULATED.
"""
import os
import subprocess
import sys
import time

import numpy as np
import pytest
import SoapySDR
from SoapySDR import (SOAPY_SDR_CF32, SOAPY_SDR_CS16, SOAPY_SDR_END_BURST, SOAPY_SDR_NOT_SUPPORTED,
                      SOAPY_SDR_OVERFLOW, SOAPY_SDR_RX, SOAPY_SDR_STREAM_ERROR, SOAPY_SDR_TIMEOUT,
                      SOAPY_SDR_TX)

TOOL = os.environ["VRX5200_TOOL"]
SIM = "driver=vrx5200,sim=1"


def tool_capture(tmp_path, n, *args):
    """The first capture of a fresh simulated board, as `vrx5200 capture` writes it."""
    out = tmp_path / "tool.bin"
    subprocess.run([TOOL, "--sim", "capture", "-n", str(n), "-o", str(out), "-q", *args],
                   check=True)
    return np.fromfile(out, np.int16)


def buffer(fmt, n):
    return np.zeros((n, 2), np.int16) if fmt == SOAPY_SDR_CS16 else np.zeros(n, np.complex64)


def read_burst(dev, stream, fmt, n):
    """A burst of n samples, as the stream delivers it; the last read carries END_BURST."""
    buf = buffer(fmt, n)
    assert dev.activateStream(stream, SOAPY_SDR_END_BURST, 0, n) == 0
    got, flags = 0, 0
    while got < n:
        r = dev.readStream(stream, [buf[got:]], n - got, timeoutUs=5_000_000)
        assert r.ret > 0, r
        assert not flags & SOAPY_SDR_END_BURST, "samples after the burst's end"
        got, flags = got + r.ret, r.flags
    assert flags & SOAPY_SDR_END_BURST
    # The burst is over: the stream times out (and takes the time-out to say so).
    start = time.monotonic()
    assert dev.readStream(stream, [buffer(fmt, 1)], 1, timeoutUs=50_000).ret == SOAPY_SDR_TIMEOUT
    assert time.monotonic() - start >= 0.04
    return buf


def codes(fmt, buf):
    """The ADC codes of a stream buffer, checking the format's rules (Q = 0, CF32 = code/32768)."""
    if fmt == SOAPY_SDR_CS16:
        assert not buf[:, 1].any()
        return buf[:, 0]
    assert not buf.imag.any()
    scaled = buf.real * 32768
    assert np.array_equal(scaled, np.round(scaled)) and np.abs(buf.real).max() <= 1.0
    return scaled.astype(np.int16)


def test_soapysdrutil_finds_and_probes_the_simulated_board():
    env = dict(os.environ)
    finds = [subprocess.run(["SoapySDRUtil", "--find=driver=vrx5200,sim=1"], env=env, check=True,
                            capture_output=True, text=True).stdout for _ in range(2)]
    assert finds[0] == finds[1] and "serial = SIM00001" in finds[0], finds
    probe = subprocess.run(["SoapySDRUtil", "--probe=" + SIM], env=env, check=True,
                           capture_output=True, text=True).stdout
    for line in ["driver=vrx5200", "hardware=VRX5200", "serial_key=SIM00001", "family_id=0x52",
                 "Channels: 1 Rx, 1 Tx", "Stream formats: CS16, CF32",
                 "Native format: CS16 [full-scale=32768]", "Registers: FPGA"]:
        assert line in probe, probe


# Each row: stream format, burst samples, stream arguments, the tool's options for the same.
BURSTS = [
    (SOAPY_SDR_CS16, 1 << 20, {}, []),
    (SOAPY_SDR_CF32, 65536, {}, []),
    (SOAPY_SDR_CS16, 65536, {"lanes": "2,1", "ops": "and:0x3FFF"}, ["--lanes", "2,1", "--ops", "2:0x3FFF"]),
    (SOAPY_SDR_CS16, 1000, {"lanes": "1,0"}, ["--lanes", "1,0"]),  # not a multiple of 32
    (SOAPY_SDR_CF32, 70000, {"lanes": "3,1,2", "ops": "shift:-2,xor:0x8000"},
     ["--lanes", "3,1,2", "--ops", "0:-2,1:0x8000"]),  # a frame carried across blocks
]


@pytest.mark.parametrize("fmt,n,args,tool_args", BURSTS)
def test_a_burst_is_the_tools_capture(tmp_path, fmt, n, args, tool_args):
    lanes = [int(v) for v in args.get("lanes", "1").split(",")]
    kept = sum(1 for v in lanes if v)
    # The tool's capture is long enough to hold the burst; the burst is its beginning.
    reference = tool_capture(tmp_path, (n * len(lanes) // kept + 31) // 32 * 32 + 64, *tool_args)
    dev = SoapySDR.Device(SIM)
    stream = dev.setupStream(SOAPY_SDR_RX, fmt, [0], args)
    try:
        got = codes(fmt, read_burst(dev, stream, fmt, n))
    finally:
        dev.closeStream(stream)
    assert np.array_equal(got, reference[:n])


def test_continuous_captures_join_with_an_overflow():
    sys.path.insert(0, os.environ["VRX5200_PYTHON_DIR"])
    import vrx5200
    with vrx5200.Board(simulated=True) as board:  # successive captures of a fresh board
        expected = [np.asarray(board.capture(4096)) for _ in range(3)]
    dev = SoapySDR.Device(SIM)
    stream = dev.setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16, [0], {"capture_length": "4096"})
    assert dev.activateStream(stream) == 0
    segments, current, returns = [], [], []
    buf = buffer(SOAPY_SDR_CS16, 3000)
    while len(segments) < 3:
        r = dev.readStream(stream, [buf], 3000, timeoutUs=5_000_000)
        returns.append(r.ret)
        assert not r.flags & SOAPY_SDR_END_BURST
        if r.ret == SOAPY_SDR_OVERFLOW:
            segments.append(np.concatenate(current))
            current = []
        else:
            assert r.ret > 0, r
            current.append(codes(SOAPY_SDR_CS16, buf[:r.ret]).copy())
    dev.closeStream(stream)  # without a deactivation first: the next stream starts clean
    stream = dev.setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16)
    assert read_burst(dev, stream, SOAPY_SDR_CS16, 4096).shape == (4096, 2)
    dev.closeStream(stream)
    # A read never runs across a join: each capture ends, then the overflow, then the next.
    assert returns[:6] == [3000, 1096, SOAPY_SDR_OVERFLOW, 3000, 1096, SOAPY_SDR_OVERFLOW]
    for got, want in zip(segments, expected):
        assert np.array_equal(got, want)


@pytest.mark.parametrize("fmt", [SOAPY_SDR_CS16, SOAPY_SDR_CF32])
def test_a_transmit_burst_is_played_over_and_over(fmt):
    pattern = np.arange(-32768, 32768, 16, dtype=np.int16)  # 4096 words
    dev = SoapySDR.Device(SIM)
    dev.writeSetting("sim_loopback", "true")  # the DAC wired to the ADC, ideally
    tx = dev.setupStream(SOAPY_SDR_TX, fmt)
    if fmt == SOAPY_SDR_CS16:
        samples = np.stack([pattern, np.full(4096, 1234, np.int16)], axis=1)  # Q is not played
    else:
        samples = (pattern / 32768 + 0.5j).astype(np.complex64)
    # In two writes: the burst ends with the second.
    assert dev.writeStream(tx, [samples[:1000]], 1000).ret == 1000
    assert dev.writeStream(tx, [samples[1000:]], 3096, SOAPY_SDR_END_BURST).ret == 3096
    dev.closeStream(tx)
    rx = dev.setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16)
    got = codes(SOAPY_SDR_CS16, read_burst(dev, rx, SOAPY_SDR_CS16, 8192))
    dev.closeStream(rx)
    assert np.array_equal(got, np.tile(pattern, 2))


def test_refusals_change_nothing(tmp_path):
    reference = tool_capture(tmp_path, 65536)
    dev = SoapySDR.Device(SIM)
    rx_rate = dev.getSampleRate(SOAPY_SDR_RX, 0)
    assert rx_rate == 250e6 and dev.getSampleRate(SOAPY_SDR_TX, 0) == 100e6
    # Each row: a call that must be refused.
    refused = [
        lambda: dev.writeSetting("r1", "256"),
        lambda: dev.writeSetting("rate_factor", "0"),
        lambda: dev.writeSetting("patterns", "0x1,zz"),
        lambda: dev.writeSetting("no_such_setting", "1"),
        lambda: dev.setSampleRate(SOAPY_SDR_RX, 0, 1e9),
        lambda: dev.setSampleRate(SOAPY_SDR_TX, 0, 1e3),
        lambda: dev.setFrequency(SOAPY_SDR_RX, 0, 1e6),
        lambda: dev.readRegister(16),
        lambda: dev.writeRegister(3, 256),
        lambda: dev.readRegister("SPI", 0),
        lambda: dev.setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16, [0], {"lanes": "1,1"}),
        lambda: dev.setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16, [0], {"ops": "rotate:3"}),
        lambda: dev.setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16, [0], {"capture_length": "100"}),
        lambda: dev.setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16, [0], {"gain": "3"}),
        lambda: dev.setupStream(SOAPY_SDR_RX, "CU8"),
        lambda: dev.setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16, [1]),
        lambda: dev.writeSetting("fpga", str(tmp_path / "missing.rbf")),
    ]
    for call in refused:
        with pytest.raises((ValueError, RuntimeError)):
            call()
    assert dev.getSampleRate(SOAPY_SDR_RX, 0) == rx_rate
    assert [dev.readSetting(k) for k in ("r1", "rate_factor", "patterns", "fpga")] == ["0", "2", "", ""]
    rx = dev.setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16)
    assert dev.activateStream(rx, SOAPY_SDR_END_BURST, 0, 0) == SOAPY_SDR_NOT_SUPPORTED
    # The board captures as if nothing had been asked: the tool's capture.
    assert np.array_equal(codes(SOAPY_SDR_CS16, read_burst(dev, rx, SOAPY_SDR_CS16, 65536)),
                          reference)
    # A transmit burst the board cannot play is not taken: the next one plays alone.
    dev.writeSetting("sim_loopback", "true")
    tx = dev.setupStream(SOAPY_SDR_TX, SOAPY_SDR_CS16)
    short = np.ones((31, 2), np.int16)
    assert dev.writeStream(tx, [short], 31, SOAPY_SDR_END_BURST).ret == SOAPY_SDR_STREAM_ERROR
    words = np.arange(64, dtype=np.int16) * 100
    assert dev.writeStream(tx, [np.stack([words, words], 1)], 64, SOAPY_SDR_END_BURST).ret == 64
    dev.closeStream(tx)
    assert np.array_equal(codes(SOAPY_SDR_CS16, read_burst(dev, rx, SOAPY_SDR_CS16, 256)),
                          np.tile(words, 4))
    dev.closeStream(rx)


def test_registers_identity_and_fpga_load(tmp_path):
    image = tmp_path / "fpga.rbf"
    image.write_bytes(os.urandom(65536))
    dev = SoapySDR.Device(SIM)
    info = dev.getHardwareInfo()
    assert (info["serial_key"], info["family_id"], info["simulated"]) == ("SIM00001", "0x52", "true")
    assert dev.readRegister(0x0B) == 0x52 and dev.readRegister("FPGA", 0x0E) == 0x13
    dev.writeRegister(5, 0x42)
    assert dev.readRegister(5) == 0x42
    dev.writeSetting("fpga", str(image))
    assert dev.readSetting("fpga") == str(image)
    for key, value in [("rate_factor", "4"), ("patterns", "0x00010002"), ("timeout_ms", "500")]:
        dev.writeSetting(key, value)
        assert dev.readSetting(key) == (value if key != "patterns" else "0x00010002")
    assert dev.getSampleRate(SOAPY_SDR_RX, 0) == 500e6  # rate_factor x rate / 2
    # The worker holds the board; unmaking the device ends it.
    pid = int(info["worker_pid"])
    del dev
    for _ in range(200):
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            break
        time.sleep(0.01)
    else:
        pytest.fail("the worker outlived its device")


EMULATED = os.environ.get("VRX5200_RUN_EMULATED")

TWO_BOARDS = r"""
import sys, numpy as np, SoapySDR
from SoapySDR import SOAPY_SDR_RX, SOAPY_SDR_CS16, SOAPY_SDR_END_BURST
reference = np.fromfile(sys.argv[1], np.int16)
devices = [SoapySDR.Device("driver=vrx5200,serial=" + key) for key in ("EMU00001", "EMU00002")]
pids = {d.getHardwareInfo()["worker_pid"] for d in devices}
assert len(pids) == 2, pids
streams = [d.setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16) for d in devices]
bufs = [np.zeros((65536, 2), np.int16) for _ in devices]
got = [0, 0]
for d, s in zip(devices, streams):
    assert d.activateStream(s, SOAPY_SDR_END_BURST, 0, 65536) == 0
while min(got) < 65536:  # both read back at once, a block from each in turn
    for i, (d, s) in enumerate(zip(devices, streams)):
        if got[i] < 65536:
            r = d.readStream(s, [bufs[i][got[i]:]], 65536 - got[i], timeoutUs=10_000_000)
            assert r.ret > 0, r
            got[i] += r.ret
for d, s, b in zip(devices, streams, bufs):
    d.closeStream(s)
    assert np.array_equal(b[:, 0], reference)
print("two boards apart")
"""


@pytest.mark.skipif(not EMULATED, reason="no emulated USB bus in this build")
def test_two_boards_in_one_process_and_a_busy_board_is_listed(tmp_path):
    reference = tool_capture(tmp_path, 65536)
    (tmp_path / "ref.bin").write_bytes(reference.tobytes())
    run = subprocess.run([EMULATED, "--boards", "2", "--", sys.executable, "-c", TWO_BOARDS,
                          str(tmp_path / "ref.bin")], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0 and "two boards apart" in run.stdout, run.stdout + run.stderr
    # Discovery opens nothing: a board another program holds is listed all the same.
    find = subprocess.run([EMULATED, "--busy", "--", "SoapySDRUtil", "--find=driver=vrx5200"],
                          capture_output=True, text=True, timeout=60)
    assert "serial = EMU00001" in find.stdout, find.stdout + find.stderr
