"""Fixtures of the server tests: `vrx5200 --sim serve` on a free loopback port, the package from
the source tree, and the local simulated board for comparison.

The tool is $VRX5200_TOOL (default: the checkout's build/tools/vrx5200); its libraries are taken
from the build folder above it unless $VRX5200_LIBRARY_DIR names another.
"""

import os
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parents[1] / "python"))

from serving import TOKEN, Server, library_dir, tool_path  # noqa: E402

TOOL = tool_path()
os.environ.setdefault("VRX5200_LIBRARY_DIR", library_dir(TOOL))


def pytest_collection_modifyitems(config, items):
    if not TOOL.is_file():
        skip = pytest.mark.skip(reason=f"no tool at {TOOL} (set VRX5200_TOOL)")
        for item in items:
            if Path(str(item.fspath)).parent == HERE:
                item.add_marker(skip)


@pytest.fixture(scope="session")
def server():
    """The simulated board's server, no token; the sim set back to a known state per test by
    ``sim``."""
    s = Server(TOOL)
    yield s
    s.stop()  # its exit status on a signal: test_the_server_stops_cleanly_on_a_signal


@pytest.fixture(scope="session")
def token_server():
    s = Server(TOOL, token=TOKEN)
    assert s.token == TOKEN, s.output  # the token in force is told first
    yield s
    s.stop()  # its exit status on a signal: test_the_server_stops_cleanly_on_a_signal


@pytest.fixture
def sim(server):
    """The server's simulated board with its loopback off and a known signal that does not move
    from capture to capture; the server's ``request``/``json`` for the test."""
    server.json("POST", "/api/v1/sim", {
        "loopback": {"on": False}, "capture_step": 0,
        "signal": {"cycles": 997, "amplitude": 20000.0, "noise_rms": 3.0, "seed": 5}})
    yield server
    assert server.alive(), server.output


@pytest.fixture
def local_board():
    """The simulated board in this process (the library the server uses)."""
    import vrx5200
    with vrx5200.Board(simulated=True) as board:
        yield board
        board.set_simulated_capture_step(4099)
        board.set_simulated_loopback(False)
