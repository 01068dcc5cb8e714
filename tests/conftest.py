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
