import os
import sys
from pathlib import Path

import pytest

# The package from the source tree, and its library from the build tree beside it.
HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))

# The server tests' launcher: `vrx5200 --sim serve` on a free loopback port.
SERVING = HERE.parents[1] / "tests" / "server"


@pytest.fixture(scope="session")
def served():
    """A `vrx5200 --sim serve` of the built tool ($VRX5200_TOOL, else the tool beside
    $VRX5200_LIBRARY_DIR's libraries, else the checkout's build); skipped without one."""
    if not (SERVING / "serving.py").is_file():
        pytest.skip("no server launcher (tests/server/serving.py) beside the package")
    sys.path.insert(0, str(SERVING))
    from serving import Server, tool_path
    tool = tool_path()
    if not tool.is_file():
        pytest.skip(f"no tool at {tool} to serve the board (set VRX5200_TOOL)")
    server = Server(tool)
    # The token it made, for the remote boards of the tests (as a user's VRX5200_TOKEN).
    os.environ["VRX5200_TOKEN"] = server.token
    yield server
    server.stop()
    os.environ.pop("VRX5200_TOKEN", None)


@pytest.fixture(scope="session")
def tool():
    """The built `vrx5200` tool (as `served` finds it); skipped without one."""
    if not (SERVING / "serving.py").is_file():
        pytest.skip("no tests/server/serving.py beside the package to find the tool")
    sys.path.insert(0, str(SERVING))
    from serving import tool_path
    path = tool_path()
    if not path.is_file():
        pytest.skip(f"no tool at {path} (set VRX5200_TOOL)")
    return path


@pytest.fixture
def local_board():
    import vrx5200
    with vrx5200.Board(simulated=True) as b:
        yield b


@pytest.fixture(params=["local", "remote"])
def board(request):
    """The simulated board, in this process and through `vrx5200 serve` (one test, two paths:
    the same calls on vrx5200.Board(simulated=True) and on vrx5200.Board(url))."""
    import vrx5200
    if request.param == "local":
        with vrx5200.Board(simulated=True) as b:
            yield b
    else:
        url = request.getfixturevalue("served").url
        with vrx5200.Board(url, simulated=True, timeout=float(
                os.environ.get("VRX5200_REMOTE_TIMEOUT", "60"))) as b:
            yield b
