"""Fixtures shared by the LLM-access tests."""

import os
import tempfile
import time

import pytest

import vormo.modelsmith as ms

# The command line keeps the worked examples' embeddings in a cache folder; the tests (and the
# processes they start) use one of their own instead of the user's.
os.environ.setdefault("VORMO_CACHE_DIR", tempfile.mkdtemp(prefix="vormo-test-cache-"))


@pytest.fixture
def lines(monkeypatch):
    """Progress lines as reported through the module's reporter."""
    seen = []
    monkeypatch.setattr(ms, "_notify", lambda progress, msg: seen.append(msg), raising=False)
    return seen


@pytest.fixture
def sleeps(monkeypatch):
    """The waits asked of time.sleep (ours and a vendor library's own), none of them taken."""
    asked = []
    monkeypatch.setattr(time, "sleep", asked.append)
    return asked
