import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "..", "tools"), os.path.join(HERE, "..", "update"),
                os.path.join(HERE, "..", "package"), HERE]

import pytest  # noqa: E402

import e2e  # noqa: E402


@pytest.fixture(scope="session")
def server():
    served = e2e.Server(os.path.join(e2e.BUILD, "e2e-www"))
    yield served
    served.stop()


@pytest.fixture
def clean():
    """Every scenario starts on a machine without Brindlewick."""
    e2e.remove_installation()
    yield
    e2e.remove_installation()
