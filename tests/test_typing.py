"""The shipped type stubs: a typed usage example passes mypy --strict, and misuse is caught."""

import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("mypy")

HERE = pathlib.Path(__file__).resolve().parent


def mypy(path, tmp_path):
    # Run from an empty folder so that only the installed package (with its stubs) is seen.
    out = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                          "--cache-dir", str(tmp_path / "cache"), str(path)],
                         cwd=tmp_path, capture_output=True, text=True, timeout=300)
    return out.returncode, out.stdout + out.stderr


def test_command_line_modules_pass_strict_checking(tmp_path):
    out = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir",
                          str(tmp_path / "cache"), "-m", "vormo.cli", "-m", "vormo.replay", "-m", "vormo.__main__",
                          "-m", "vormo.candidates"],
                         cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr


def test_typed_usage_example_passes_strict_checking(tmp_path):
    status, report = mypy(HERE / "typed_usage.py", tmp_path)
    assert status == 0, report


# Each line is a mistake the stubs must reveal.
MISUSES = [
    'modelsmith.generative_solve(1, "a.mod", "a.dat")',
    'modelsmith.generative_solve("p", "a.mod", "a.dat", temperature="warm")',
    'modelsmith.generative_solve("p", "a.mod", "a.dat", mode="bnf")',
    'x: int = modelsmith.generative_solve("p", "a.mod", "a.dat")',
    'modelsmith.generative_solve("p", "a.mod", "a.dat", return_statistics=True).upper()',
    'modelsmith.generative_feedback("q", "a.mod")',
    'modelsmith.list_models(llm_provider=3)',
    'y: str = modelsmith.list_ollama_models()',
    'nearfind.rank_problem_descriptions("q", top_k="3")',
    'tokenledger.estimate_costs(None, {})',
    'VormoCompiler().compile_model(b"m", "d")',
    'modelsmith.LLMProvider.OPENAI.value + 1',
    'modelsmith.Grammar.BNF.value.upper()',
    'replay.ReplayServer([], port="80")',
    'runner.solve_files("a.mod", "a.dat", time_limit="60")',
]


def test_every_misuse_is_reported(tmp_path):
    header = ("from vormo import cli, modelsmith, nearfind, replay, runner, tokenledger\n"
              "from vormo.vormo_kernel import VormoCompiler\n")
    source = tmp_path / "misuse.py"
    source.write_text(header + "".join(f"def case{i}() -> None:\n    {line}\n" for i, line in enumerate(MISUSES)))
    status, report = mypy(source, tmp_path)
    assert status == 1, report
    flagged = {int(line.split(":")[1]) for line in report.splitlines() if ": error:" in line}
    missed = [line for i, line in enumerate(MISUSES) if 4 + 2 * i not in flagged]
    assert missed == [], report
