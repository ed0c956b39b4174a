"""vormo-nearfind's options: --help prints the usage and exits 0, an unknown option is refused with
the usage and exit 2 before any ranking, and "--" or a negative number leaves the rest as query."""

import os
import shutil
import subprocess
import sys

import pytest

from vormo import nearfind


@pytest.fixture
def ranked(monkeypatch):
    queries = []

    def rank(query, models_dir=None, top_k=10, model_name=None):
        queries.append(query)
        return [{"path": "/c/van.txt", "score": 0.5, "preview": "p"}]

    monkeypatch.setattr(nearfind, "rank_problem_descriptions", rank)
    return queries


# argv -> exit status, where the text goes, what it says, the query ranked (None: no ranking)
@pytest.mark.parametrize("argv, status, stream, says, query", [
    (["--help"], 0, "out", "usage: vormo-nearfind [-h] [--] QUERY...", None),
    (["-h"], 0, "out", "-h, --help  show this help and exit", None),
    (["pack", "--help"], 0, "out", "usage: vormo-nearfind", None),
    (["--top", "3", "van"], 2, "err", "vormo-nearfind: unknown option '--top'", None),
    (["van", "-k"], 2, "err", "usage: vormo-nearfind [-h] [--] QUERY...", None),
    (["--", "--help", "me"], 0, "out", " 1. /c/van.txt  score=0.5000", "--help me"),
    (["cool", "to", "-5", "degrees"], 0, "out", " 1. /c/van.txt", "cool to -5 degrees"),
    (["a", "-", "b"], 0, "out", " 1. /c/van.txt", "a - b"),
    (["--"], 1, "out", 'Usage: python rag "your problem description here"', None),
])
def test_options_before_the_query(ranked, capsys, argv, status, stream, says, query):
    assert nearfind.main(argv) == status
    out, err = capsys.readouterr()
    assert says in (out if stream == "out" else err)
    if stream == "err":
        assert out == ""
    assert ranked == ([] if query is None else [query])


def test_the_console_entry_prints_its_help():
    script = shutil.which("vormo-nearfind", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("the console entry is not installed next to this interpreter")
    done = subprocess.run([script, "--help"], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0 and done.stdout.startswith("usage: vormo-nearfind") and done.stderr == ""
    refused = subprocess.run([script, "--frobnicate"], capture_output=True, text=True, timeout=300)
    assert refused.returncode == 2 and refused.stdout == "" and "unknown option '--frobnicate'" in refused.stderr
