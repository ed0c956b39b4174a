"""Fixtures shared by the LLM-access tests."""

import time

import pytest

import vormo.modelsmith as ms


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
