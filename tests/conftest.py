import pytest

from fakehq import FakeHQ
from pelmora import TdxClient


@pytest.fixture
def hq():
    """A running fake HQ server (default set-up answers), stopped afterwards."""
    with FakeHQ() as server:
        yield server


@pytest.fixture
def client(hq):
    """A TdxClient connected to the `hq` fake server, disconnected afterwards."""
    c = TdxClient()
    assert c.connect("127.0.0.1", hq.port) is True
    yield c
    c.disconnect()


@pytest.fixture(scope="module")
def served_client():
    """(server, connected TdxClient) shared by the tests of one module; replies are FIFO."""
    with FakeHQ() as server:
        client = TdxClient()
        client.connect("127.0.0.1", server.port)
        yield server, client
        client.disconnect()


SIM_SEED, SIM_FILL = 7, 1100  # 1106 securities a market: two list pages


@pytest.fixture(scope="session")
def sim(tmp_path_factory):
    """The simulated HQ server of pelmora.testing in a child process, for the whole session;
    `sim.log_path` names the file to which it appends every request (hex, one a line)."""
    from pelmora.testing import SimulatedServer
    log = tmp_path_factory.mktemp("sim") / "requests.log"
    with SimulatedServer(seed=SIM_SEED, fill=SIM_FILL, log=log) as server:
        server.log_path = log
        yield server


@pytest.fixture(scope="session")
def sim_market():
    """The simulated server's market, built in this process (the same data, by the seed)."""
    from pelmora.testing import SimulatedMarket
    return SimulatedMarket(seed=SIM_SEED, fill=SIM_FILL)


@pytest.fixture
def sim_client(sim):
    c = TdxClient()
    c.connect(sim.host, sim.port)
    yield c
    c.disconnect()
