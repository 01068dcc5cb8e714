import pytest

from fakehq import FakeHQ


@pytest.fixture
def hq():
    """A running fake HQ server (default set-up answers), stopped afterwards."""
    with FakeHQ() as server:
        yield server


@pytest.fixture(scope="module")
def served_client():
    """(server, connected TdxClient) shared by the tests of one module; replies are FIFO."""
    from pelmora._core import TdxClient

    with FakeHQ() as server:
        client = TdxClient()
        client.connect("127.0.0.1", server.port)
        yield server, client
        client.disconnect()
