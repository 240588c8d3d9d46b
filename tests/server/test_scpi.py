"""The SCPI socket of `vrx5200 --sim serve --scpi` through PyVISA (pyvisa-py, a raw socket
resource with newline termination), as a lab's test sequence meets it: the common commands and
the error queue, the token, compound messages, a capture fetched as a definite-length block and
the figures of MEASure, each equal to what the HTTP side gives for the same settings."""

import os
import re
import socket
import subprocess
import sys
import threading

import pytest

from serving import TOP, TOKEN, Server, captured, tool_path

pyvisa = pytest.importorskip(
    "pyvisa", reason="PyVISA is not installed (Debian: python3-pyvisa python3-pyvisa-py)")
pytest.importorskip("pyvisa_py", reason="pyvisa-py is not installed (python3-pyvisa-py)")
np = pytest.importorskip("numpy")

TOOL = tool_path()
SIGNAL = {"loopback": {"on": False}, "capture_step": 0,
          "signal": {"cycles": 997, "amplitude": 20000.0, "noise_rms": 3.0, "seed": 5}}


@pytest.fixture(scope="module")
def served():
    s = Server(TOOL, token=TOKEN, args=["--scpi", "127.0.0.1:0"])
    found = [m for line in s.output if (m := re.search(r"SCPI on (TCPIP::\S+::SOCKET)", line))]
    assert found, s.output
    s.resource = found[0].group(1)
    yield s
    s.stop()


@pytest.fixture(scope="module")
def visa():
    return pyvisa.ResourceManager("@py")


def connect(served, visa, token=True):
    inst = visa.open_resource(served.resource, read_termination="\n", write_termination="\n",
                              timeout=30000)
    if token:
        inst.write(f'SYSTem:TOKen "{TOKEN}"')
    return inst


@pytest.fixture
def inst(served, visa):
    served.json("POST", "/api/v1/sim", SIGNAL)
    i = connect(served, visa)
    i.write("*RST;*CLS")
    yield i
    i.close()
    assert served.alive(), served.output


def errors(inst):
    """Every entry of the error queue, oldest first."""
    out = []
    while not (e := inst.query("SYST:ERR?")).startswith("0,"):
        out.append(e)
    return out


def test_identity_and_an_unknown_command(served, visa):
    inst = connect(served, visa, token=False)
    try:
        version = served.json("GET", "/api/v1")["version"]
        assert inst.query("*IDN?") == f"vrx5200,VRX5200,SIM00001,{version}"
        inst.write("FOO:BAR 1")
        assert inst.query("*ESR?") == "32"  # a command error
        assert inst.query("SYSTem:ERRor:NEXT?") == '-113,"Undefined header"'
        assert inst.query("syst:err?") == '0,"No error"'
        assert inst.query("*OPC?") == "1"
    finally:
        inst.close()


def test_every_other_command_needs_the_token(served, visa):
    inst = connect(served, visa, token=False)
    try:
        inst.write("CAPT:POIN 4096;*RST")
        inst.write('SYST:TOK "not-the-token-0123456789abcdef0123"')
        assert errors(inst) == ['-203,"Command protected;send SYSTem:TOKen ""TOKEN"" first"'] * 2 \
            + ['-203,"Command protected;wrong token"']
        inst.write(f'SYST:TOK "{TOKEN}"')
        assert inst.query("CAPT:POIN?;*STB?") == "65536;0"
    finally:
        inst.close()


def test_compound_messages_and_the_path_rule(inst):
    # After ';' a header continues at the last one's path, ':' starts at the root, and a
    # message's answers come back in one line.
    assert inst.query("SENS:CAPT:POIN 4096;RATE 1E8;:CAPT:POIN?;RATE?;*OPC?;"
                      ":CAPT:REG6 #H1F;REG6?") == "4096;100000000;1;31"
    assert inst.query("capture:lanes 0,1;lan?;:capt:srat?") == "0,1;50000000"


@pytest.mark.parametrize("command, esr, stb", [
    ("*OPC", 1, 32 | 64),          # operation complete: summarised and requested
    ("FOO", 32, 4 | 32 | 64),      # command error; the queue holds it; summarised and requested
    ("CAPT:POIN 33", 16, 4),       # execution error: not enabled
    ("CAPT:POIN 32", 0, 0),
])
def test_errors_set_the_event_status_bit_of_their_class(inst, command, esr, stb):
    inst.write("*ESE 33;*SRE 32")  # command errors and operation complete summarised
    inst.write(command)
    assert inst.query("*STB?;*ESR?;*ESR?") == f"{stb};{esr};0"


@pytest.mark.parametrize("command, code", [
    ("CAPT:POIN 33", -224),        # not a multiple of 32
    ("CAPT:POIN 1E9", -222),
    ("CAPT:POIN", -109),
    ("CAPT:POIN 64,64", -108),
    ('CAPT:POIN "64"', -104),
    ("CAPT:RATE 64 MHZ", -138),    # a unit: no setting takes one
    ("CAPT:POIN 64 64", -103),
    (";;CAPT:POIN 64", -102),     # an empty command: the rest of the line is dropped
    ("CAPT:LAN 1,1", -224),        # a lane twice
    ("CAPT:REG3 1", -114),
    ("FORM:BORD UP", -224),
    ("CALC:WIND KAISER", -224),
    ("REG 16,0", -222),
    ("*ESE 256", -222),
])
def test_refused_settings_change_nothing(inst, command, code):
    settings = "CAPT:POIN?;LAN?;REG1?;:FORM:BORD?;:CALC:WIND?;*ESE?"
    before = inst.query(settings)
    inst.write(command)
    assert [int(e.split(",")[0]) for e in errors(inst)] == [code]
    assert inst.query(settings) == before


def test_a_capture_comes_as_a_block_equal_to_the_http_one(served, inst):
    inst.write("FETC?")  # nothing to fetch yet: no answer, and why in the queue
    assert [e.split(",")[0] for e in errors(inst)] == ["-230"]
    inst.write("CAPT:POIN 8192;LAN 0,1;:INIT")
    little = inst.query_binary_values("FETC?", datatype="h", container=np.array)
    inst.write("FORM:BORD NORM")
    big = inst.query_binary_values("FETCh:DATA?", datatype="h", is_big_endian=True,
                                   container=np.array)
    _, http = captured(served, {"samples": 8192, "lanes": [0, 1]})
    assert len(little) == 4096 and np.array_equal(little, http) and np.array_equal(big, http)
    assert errors(inst) == []


def test_the_readmes_session_runs_and_its_whole_read_gives_the_same_block(served):
    # The README's PyVISA session and its block read with the termination off, as a reader
    # copies them: the figures of one capture, and the same samples either way.
    readme = (TOP / "README.md").read_text()
    section = readme.split("### SCPI for test benches")[1].split("\n## ")[0]
    blocks = re.findall(r"```python\n(.*?)```", section, re.S)
    assert len(blocks) == 2, blocks
    script = "".join(blocks).replace("TCPIP::127.0.0.1::5025::SOCKET", served.resource) + \
        'again = board.query_binary_values("FETC?", datatype="h", container=np.array)\n' \
        'assert np.array_equal(fetch(board), again)\n' \
        'board.write("FORM:BORD NORM")\n' \
        'assert np.array_equal(fetch(board).byteswap(), again) and len(again) == 65536\n'
    served.json("POST", "/api/v1/sim", SIGNAL)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=120, env=dict(os.environ, VRX5200_TOKEN=TOKEN))
    assert run.returncode == 0, run.stderr
    identity, size, figures, error = run.stdout.splitlines()
    assert identity.startswith("vrx5200,VRX5200,SIM00001,") and size == "65536"
    snr, sinad, enob = map(float, figures.split(";"))
    assert sinad <= snr and 0 < enob < 16 and error == '0,"No error"'


def test_scpi_and_http_share_the_boards_queue(served, inst):
    # Captures from both sides at once take their turns on the board: none overlaps another.
    def http_captures():
        for _ in range(6):
            served.json("POST", "/api/v1/capture", {"samples": 32768})

    before = served.json("GET", "/api/v1/status")["boards"]["SIM00001"]
    other = threading.Thread(target=http_captures)
    other.start()
    inst.write("CAPT:POIN 32768")
    blocks = [inst.query_binary_values("READ?", datatype="h", container=np.array)
              for _ in range(6)]
    other.join()
    after = served.json("GET", "/api/v1/status")["boards"]["SIM00001"]
    assert all(len(b) == 32768 for b in blocks)
    assert after["library_calls"] > before["library_calls"]
    assert after["overlapping_calls"] == before["overlapping_calls"] == 0


def test_measure_answers_the_http_figures(served, inst):
    answer, _ = captured(served, {"samples": 16384})
    inst.write("CAPT:POIN 16384")
    got = inst.query("MEAS:SNR?;SINAD?;SFDR?;:FETC:THD?;ENOB?").split(";")
    # A figure the analysis withholds is SCPI's NaN, with an error saying why.
    wanted = [answer["metrics"][k] for k in ("snr_db", "sinad_db", "sfdr_dbc", "thd_dbc", "enob")]
    assert [float(x) for x in got] == [9.91e37 if w is None else w for w in wanted]
    assert len(errors(inst)) == wanted.count(None)
    # A record with no tone to measure: SCPI's NaN, and why in the queue.
    served.json("POST", "/api/v1/sim", {"signal": {"amplitude": 0.0, "noise_rms": 0.0}})
    assert inst.query("MEAS:SNR?") == "9.91E37"
    assert [e.split(",")[0] for e in errors(inst)] == ["-231"]


@pytest.mark.parametrize("lanes, even", [("2,1", False), ("1,0,0", False), ("0,1", True)])
def test_measure_withholds_the_figures_of_samples_not_evenly_spaced(inst, lanes, even):
    inst.write(f"CAPT:POIN 16384;LAN {lanes}")
    got = [float(x) for x in inst.query("MEAS:SNR?;:FETC:SFDR?;ENOB?").split(";")]
    withheld = [e for e in errors(inst) if "not evenly spaced" in e]
    assert [x == 9.91e37 for x in got] == [not even] * 3
    assert [e.split(",")[0] for e in withheld] == ([] if even else ["-231"] * 3)


def test_registers_are_the_boards(served, inst):
    assert inst.query("REG 5,171;REG? 5;:REGister:VALue? 5") == "171;171"
    assert served.json("GET", "/api/v1/registers/5")["value"] == 171
    served.json("PUT", "/api/v1/registers/5", {"value": 0x42})
    assert inst.query("REG? 5") == "66"


def test_the_queue_and_the_input_are_bounded(inst):
    for _ in range(40):
        inst.write("NOPE")
    assert inst.query("SYST:ERR:COUN?") == "32"
    listed = errors(inst)
    assert len(listed) == 32 and listed[-1] == '-350,"Queue overflow"'
    inst.write("*ESE " + "0" * 70000)  # past 64 KiB: dropped whole
    assert errors(inst) == ['-223,"Too much data;a message is at most 65536 bytes"']
    assert inst.query("*ESE?") == "0"


def test_a_browser_request_is_not_taken_for_commands(served):
    host, port = served.resource.split("::")[1:3]
    with socket.create_connection((host, int(port)), timeout=10) as s:
        s.sendall(b"POST / HTTP/1.1\nHost: x\n\n*IDN?\n")
        assert s.recv(100) == b""


@pytest.mark.parametrize("address, status, words", [
    ("{port}", 3, "cannot listen for SCPI"),  # in use: refused, never shared
    ("127.0.0.1:{port}", 3, "cannot listen for SCPI"),
    ("70000", 2, "bad SCPI address"),
    ("::1:5025", 2, "bad SCPI address"),  # IPv6 needs its brackets
])
def test_an_address_that_cannot_be_had_is_refused(served, address, status, words):
    port = served.resource.split("::")[2]
    done = subprocess.run([str(TOOL), "--sim", "serve", "--listen", "127.0.0.1:0", "--scpi",
                           address.format(port=port)], capture_output=True, text=True, timeout=30)
    assert done.returncode == status and words in done.stderr, done.stderr
