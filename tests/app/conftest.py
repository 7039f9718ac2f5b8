import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "..", "tools"), os.path.join(HERE, "..", "update"),
                os.path.join(HERE, "..", "package"), HERE]

import pytest  # noqa: E402

import e2e  # noqa: E402


@pytest.fixture(scope="session", autouse=True)
def wine_session():
    """The end-to-end tests have a prefix and a display of their own, since they change
    the prefix's settings (display scale, proxy, known folders) and look windows up by
    class. The crash tests end every process of theirs and start sessions themselves."""
    if e2e.PREFIX.endswith("crash-prefix"):
        yield
        return
    xvfb = e2e.start_display()
    desktop_user = e2e.start_wine_session()
    e2e.trust_test_ca()
    yield
    desktop_user.kill()
    e2e.end_wine_session()
    xvfb.terminate()  # so that it removes its socket and lock
    xvfb.wait()


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
