import pytest

from fakehq import FakeHQ


@pytest.fixture
def hq():
    """A running fake HQ server (default set-up answers), stopped afterwards."""
    with FakeHQ() as server:
        yield server
