"""Every command the README shows, run in the README's order in one folder, with the real client
library talking to a fake service on 127.0.0.1. A README command without a check here fails."""

import importlib.util
import json
import os
import pathlib
import re
import shlex
import subprocess
import sys
import tomllib

import pytest

from servers import ollama_tags, openai_models, openai_response
from servers import fake_server, ollama_server, openai_server  # noqa: F401 - fixtures
from vormo import replay

CHECKOUT = pathlib.Path(__file__).resolve().parent.parent
README = (CHECKOUT / "README.md").read_text()
PYPROJECT = tomllib.loads((CHECKOUT / "pyproject.toml").read_text())
REPLIES = replay.load_conversation()["replies"]


def readme_commands():
    blocks = re.findall(r"^```sh\n(.*?)^```", README, re.S | re.M)
    return [line.strip() for block in blocks for line in block.splitlines()
            if line.strip() and not line.lstrip().startswith("#")]


def extras_of(command):
    return set(re.search(r"\.\[([a-z,]+)\]", command).group(1).split(","))


class Walk:
    def __init__(self, tmp_path, fake_server):
        self.dir = tmp_path
        self.fake_server = fake_server
        self.env = {**os.environ, "HF_HUB_OFFLINE": "1", "OPENAI_API_KEY": "sk-test-readme",
                    "HF_HOME": str(tmp_path / "hf")}
        self.env.pop("OPENAI_BASE_URL", None)
        (tmp_path / "problem.txt").write_text("A bakery bakes four products within oven, baker and flour limits.")

    def vormo(self, command, *replies, models=None):
        server = self.fake_server()
        if replies:
            server.script("POST", "/v1/responses", *replies)
        if models:
            server.script("GET", "/v1/models", openai_models(models))
        env = dict(self.env, OPENAI_BASE_URL=server.url + "/v1")
        argv = shlex.split(command)
        executable = [sys.executable, "-m", "vormo"] if argv[0] == "vormo" else \
            [str(pathlib.Path(sys.executable).parent / argv[0])]
        done = subprocess.run(executable + argv[1:], cwd=self.dir, env=env, capture_output=True, text=True,
                              timeout=300)
        return done, server


def recorded(number, **usage):
    r = REPLIES[number - 1]
    return openai_response(r["text"], input_tokens=r["input_tokens"], output_tokens=r["output_tokens"])


def check(walk, command):
    words = shlex.split(command)
    while "=" in words[0]:
        name, value = words.pop(0).split("=", 1)
        walk.env[name] = value
        command = shlex.join(words)
    if words[:2] == ["bash", "scripts/main.sh"]:
        script = (CHECKOUT / "scripts/main.sh").read_text()
        install = re.search(r"pip install --quiet \"?(\.\[[a-z,]+\])", script).group(1)
        assert extras_of(install) == {"openai", "embeddings", "fastrank", "solve"}
        assert "vormo-setup-models" in script and re.search(r"/vormo\" demo", script)
        return
    if words[:2] == ["bash", "scripts/test.sh"]:
        assert "bash scripts/test.sh" in (CHECKOUT / ".ci/run").read_text()
        return
    if words[:2] == ["pip", "install"] and "torch" in words[2]:
        assert f"{words[2]}" in PYPROJECT["project"]["optional-dependencies"]["embeddings"]
        assert words[3:] == ["--index-url", "https://download.pytorch.org/whl/cpu"]
        return
    if words[:2] == ["pip", "install"]:
        assert extras_of(command) <= set(PYPROJECT["project"]["optional-dependencies"])
        return
    if words[0] == "vormo-nearfind":
        if importlib.util.find_spec("sentence_transformers") is None:
            pytest.skip("the embeddings extra is not installed")
        done, _ = walk.vormo(command)
        assert done.returncode == 0, done.stderr
        lines = done.stdout.splitlines()
        assert len(lines) == 10 and all(re.fullmatch(r"( \d|10)\. \S+\.txt  score=-?[01]\.\d{4}", line)
                                        for line in lines), done.stdout
        assert any("vehicle_routing" in line for line in lines[:3])
        return
    if words[0] == "vormo-setup-models":
        if importlib.util.find_spec("sentence_transformers") is None:
            pytest.skip("the embeddings extra is not installed")
        done, _ = walk.vormo(command)
        assert done.returncode == 0, done.stderr
        assert list((walk.dir / "hf").rglob("models--sentence-transformers--all-MiniLM-L6-v2"))
        return
    assert words[0] == "vormo", f"README command without a check: {command}"
    sub = words[1]
    if sub == "demo":
        done, _ = walk.vormo(command)
        assert done.returncode == 0, done.stderr
        assert "recorded" in done.stderr and "objective  706.5" in done.stdout
        if importlib.util.find_spec("sentence_transformers") is not None:
            assert "Found 3 few-shot candidates" in done.stderr   # the whole path, retrieval included
        assert "Loading weights" not in done.stderr and "Could not reach the Hub" not in done.stderr
        assert (walk.dir / "vormo-demo/bakery.mod").exists()
    elif sub == "solve" and "--candidates" in words:
        # Each candidate writes the corrected pair, which the alignment check accepts.
        server = walk.fake_server()
        server.script_with("POST", "/v1/responses", lambda rec: recorded(
            3 if b"Assess whether the generated Vormo model" in rec.body else 2))
        done = subprocess.run([sys.executable, "-m", "vormo", *words[1:]], cwd=walk.dir, capture_output=True,
                              text=True, timeout=300, env=dict(walk.env, OPENAI_BASE_URL=server.url + "/v1"))
        assert done.returncode == 0, done.stderr
        assert done.stdout.startswith("3 of 3 candidates agree on 706.5\n")
        assert (walk.dir / "out/plan.candidates/3/plan.mod").exists()
    elif sub == "solve" and "--json" in words:
        done, server = walk.vormo(command, recorded(2), openai_response("It matches the description."))
        assert done.returncode == 0, done.stderr
        record = json.loads(done.stdout)
        assert record["assessment"] == "It matches the description." and record["syntax_errors"] == []
        assert len(server.calls("POST", "/v1/responses")) == 2
    elif sub == "solve":
        done, server = walk.vormo(command, recorded(1), recorded(2), recorded(3))
        assert done.returncode == 0, done.stderr
        assert "objective  706.5" in done.stdout
    elif sub == "compile":
        done, _ = walk.vormo(command)
        assert done.returncode == 0 and done.stdout.startswith("OK: "), done.stderr
    elif sub == "run":
        done, _ = walk.vormo(command)
        assert done.returncode == 0 and "objective  706.5" in done.stdout, done.stderr
        if "--csv" in words:
            table = (walk.dir / words[words.index("--csv") + 1]).read_text().splitlines()
            assert table[0] == "variable,index1,value" and "bake,baguette,100" in table
    elif sub == "describe":
        done, _ = walk.vormo(command)
        assert done.returncode == 0 and "Constraints (" in done.stdout, done.stderr
    elif sub == "export":
        done, _ = walk.vormo(command)
        assert done.returncode == 0, done.stderr
        for option in ("--mps", "--lp"):
            target = walk.dir / words[words.index(option) + 1]
            assert target.exists() and pathlib.Path(f"{target}.names.json").exists()
    elif sub == "revise":
        original = (walk.dir / "out/plan.dat").read_text()
        revised = original.replace("[0, 100, 0, 0]", "[0, 150, 0, 0]")
        done, _ = walk.vormo(command, openai_response(json.dumps({"feedback": "Raised.", "revised_data": revised})))
        assert done.returncode == 0, done.stderr
        assert (walk.dir / "out/plan.v2.dat").read_text() == revised
        assert (walk.dir / "out/plan.dat").read_text() == original
        assert "+++ out/plan.v2.dat" in done.stdout and re.search(r"^before\s+optimal\s+706\.5$", done.stdout, re.M)
    elif sub == "feedback":
        revised = (walk.dir / "out/plan.dat").read_text().replace("[0, 100, 0, 0]", "[0, 150, 0, 0]")
        done, _ = walk.vormo(command, openai_response(json.dumps({"feedback": "Yes.", "revised_data": revised})))
        assert done.returncode == 0, done.stderr
        target = walk.dir / words[words.index("--write-revised") + 1] / "plan.dat"
        assert target.read_text() == revised
    elif sub == "models":
        done, _ = walk.vormo(command, models=["gpt-5", "gpt-4.1", "o3"])
        assert (done.returncode, done.stdout) == (0, "gpt-4.1\ngpt-5\n"), done.stderr
    elif sub == "rank":
        if importlib.util.find_spec("sentence_transformers") is None:
            pytest.skip("the embeddings extra is not installed")
        done, _ = walk.vormo(command)
        assert done.returncode == 0, done.stderr
        rows = done.stdout.splitlines()[2:]
        assert len(rows) == 3 and any("knapsack" in row for row in rows)
    elif sub == "cost":
        done, _ = walk.vormo(command + f" --pricing {CHECKOUT / 'pricing_table.md'}")
        assert done.returncode == 0 and re.search(r"^total\s+\$0\.0978$", done.stdout, re.M), done.stdout
    elif sub == "eval" and words[2] == "compare":
        done, _ = walk.vormo(command)
        assert done.returncode == 0, done.stderr
        rows = [row.split() for row in done.stdout.splitlines()]
        assert rows[1][:3] == ["air_crew_pairings", "ok", "2550"] and rows[1][3:5] == ["ok", "2550"]
    elif sub == "eval":
        done, server = walk.vormo(command, *starter_replies(2))
        assert done.returncode == 0, done.stderr
        assert re.search(r"^accuracy\s+100\.0%$", done.stdout, re.M), done.stdout
        assert len(server.calls("POST", "/v1/responses")) == 4
    else:
        raise AssertionError(f"README command without a check: {command}")


def starter_replies(count):
    """For the first cases of the shipped benchmark: the reference pair, then the alignment verdict."""
    refs = CHECKOUT / "tests" / "benchmark_refs"
    names = sorted(p.stem for p in refs.glob("*.mod"))[:count]
    verdict = openai_response(json.dumps({"aligned": True, "assessment": "It matches."}))
    return [reply for name in names for reply in (
        openai_response(json.dumps({"model": (refs / f"{name}.mod").read_text(),
                                    "data": (refs / f"{name}.dat").read_text()})), verdict)]


def test_readme_shows_the_two_set_up_commands_first():
    commands = readme_commands()
    assert commands[:2] == ["bash scripts/main.sh", "bash scripts/test.sh"]


def test_every_readme_command_runs(tmp_path, fake_server):
    pytest.importorskip("openai")
    pytest.importorskip("scipy")
    walk = Walk(tmp_path, fake_server)
    skipped = []
    for command in readme_commands():
        try:
            check(walk, command)
        except pytest.skip.Exception as reason:
            skipped.append(f"{command}: {reason}")
    if skipped:
        pytest.skip("; ".join(skipped))


def test_readme_python_examples_run(tmp_path, openai_server, ollama_server):
    if importlib.util.find_spec("sentence_transformers") is None:
        pytest.skip("the embeddings extra is not installed")
    pytest.importorskip("scipy")
    blocks = re.findall(r"^```python\n(.*?)^```", README, re.S | re.M)
    assert len(blocks) >= 4
    verdict = json.loads(REPLIES[2]["text"])
    openai_server.script("POST", "/v1/responses", recorded(2), recorded(3),
                         openai_response(json.dumps({"feedback": "The capacity rows are right."})))
    ollama_server.script("GET", "/api/tags", ollama_tags(["qwen2.5", "llama3:8b"]))
    (tmp_path / "pricing_table.md").write_text((CHECKOUT / "pricing_table.md").read_text())
    env = {**os.environ, "HF_HUB_OFFLINE": "1"}
    done = subprocess.run([sys.executable, "-c", "\n".join(blocks)], cwd=tmp_path, env=env, capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    out = done.stdout
    assert f"1 {verdict['assessment']} []" in out
    assert "Aligned ✓ Stopping." in out                       # progress=print
    assert "The capacity rows are right." in out
    assert "['llama3:8b', 'qwen2.5']\n['qwen2.5']\n" in out
    assert '{"a": 1}\n' in out
    assert re.search(r"^0\.\d{3} \S+\.txt ", out, re.M)
    assert re.search(r"'total_cost': 0\.09784\d*\}", out), out
    assert "optimal 706.5 {'bake[baguette]': 100" in out
