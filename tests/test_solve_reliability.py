"""The solve path under hostile and careless input: honest statuses, bounded work, a child that
goes when its parent is told to, failures that say what to do."""

import json
import math
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from vormo import emitselect, emitsparse, runner
from vormo.faultnote import SemanticError
from vormo.vormo_kernel import VormoCompiler

pytest.importorskip("numpy")
pytest.importorskip("scipy.optimize")


def script_of(model, data="", **fields):
    compiled = VormoCompiler().compile_model(model, data)
    generator = emitselect.SciPyCodeGenerator(compiled, compiled.get("data"), "csc")
    for name, value in fields.items():
        setattr(generator, name, value)
    return generator.generate_code()


def cli(*argv, env=None, cwd=None):
    full_env = dict(os.environ, **(env or {}))
    return subprocess.run([sys.executable, "-m", "vormo", *argv], cwd=cwd, env=full_env, capture_output=True,
                          text=True, timeout=300)


# ----------------------------------------------------------------------------------------------
# Values the solver would refuse or misread are findings that name the row and its line


_X = "dvar float+ x;\ndvar float+ y in 0..5;\n"


@pytest.mark.parametrize("body, line, words", [
    ("minimize v: x;\nsubject to { big: 1e15 * x >= 1; }", 4, "coefficient of x in constraint big is 1e+15"),
    ("minimize v: x;\nsubject to { big: -2e16 * y + x >= 1; }", 4, "coefficient of y in constraint big is -2e+16"),
    ("minimize v: x;\nsubject to { inf: infinity * x >= 1; }", 4, "coefficient of x in constraint inf is infinity"),
    ("minimize v: x;\nsubject to { forall(i in 1..2) x >= i * infinity; }", 4,
     "right-hand side of constraint c4[1] is infinity"),
    ("minimize v: x;\nsubject to { hi: x + y <= -infinity; }", 4, "right-hand side of constraint hi is -infinity"),
    ("minimize v: x;\nsubject to { eq: x == infinity; }", 4, "which no solution can meet"),
    ("minimize v: x;\nsubject to { far: x >= 1e20; }", 4, "right-hand side of constraint far is 1e+20"),
    ("minimize v: x + infinity;", 3, "constant term of the objective 'v' is infinity"),
    ("minimize v: 1e20 * y;", 3, "coefficient of y in the objective 'v' is 1e+20"),
    ("maximize -infinity * y;", 3, "coefficient of y in the objective is -infinity"),
    ("dvar float z in infinity..5;\nminimize v: x;", 3, "lower bound of 'z' is infinity"),
    ("dvar float z in 0..1e21;\nminimize v: x;", 3, "upper bound of 'z' is 1e+21"),
])
def test_out_of_range_values_are_findings_with_the_row_and_line(body, line, words):
    with pytest.raises(SemanticError) as info:
        script_of(_X + body)
    assert words in info.value.message
    assert info.value.lineno == line


def test_infinite_bounds_on_the_open_side_stay_allowed():
    script = script_of(_X + "minimize v: x;\nsubject to { a: x <= infinity; b: x >= -infinity; c: x >= 1; }")
    namespace = {"__name__": "build"}
    exec(compile(script, "<script>", "exec"), namespace)
    assert namespace["ROWS"][:2] == [[-math.inf, math.inf, [0, 1.0]], [-math.inf, math.inf, [0, 1.0]]]


def test_a_model_the_solver_refuses_is_an_error_not_infeasible():
    # Past the generator's checks (a script edited by hand): HiGHS says "Model error", which
    # is no statement about feasibility.
    script = script_of(_X + "minimize v: x;\nsubject to { c: 3 * x >= 1; }")
    assert "[0, 3.0]" in script
    result = runner.run_script(script.replace("[0, 3.0]", "[0, 1e+16]"), time_limit=20)
    assert result["status"] == "error"
    assert "Model error" in result["message"]


def test_findings_reach_the_runner_as_compile_errors():
    result = runner.solve_texts(_X + "minimize v: x;\nsubject to { big: 1e15 * x >= 1; }", "", time_limit=20)
    assert result["status"] == "compile_error"
    assert result["message"].startswith("Semantic Error (Line 4): the coefficient of x in constraint big")


# ----------------------------------------------------------------------------------------------
# Bounded generation


@pytest.mark.parametrize("budget, value, words", [
    ("MAX_COLUMNS", 5, "the variables up to 'y' make 6 columns, more than the 5"),
    ("MAX_ROWS", 2, "more than 2 constraint rows"),
    ("MAX_NONZEROS", 4, "more than 4 non-zero coefficients"),
])
def test_size_budgets_give_a_finding(monkeypatch, budget, value, words):
    monkeypatch.setattr(emitsparse, budget, value)
    with pytest.raises(SemanticError, match=words):
        script_of("range R = 1..3;\ndvar float+ x[R];\ndvar float+ y[R];\nminimize v: sum(r in R) x[r];\n"
                  "subject to { forall(r in R) x[r] + y[r] >= 1; }")


def test_a_fifty_million_column_model_is_a_finding_not_a_memory_error():
    result = runner.solve_texts("range R = 1..50000000;\ndvar float+ x[R];\nminimize v: x[1];", "", time_limit=60)
    assert result["status"] == "compile_error"
    assert "50,000,000 columns" in result["message"] and "Line 2" in result["message"]


def test_the_time_limit_covers_building_the_problem():
    # A hundred million loop steps: far longer than the one second the run may take.
    model = "dvar float+ x;\nminimize v: x;\nsubject to {\n  forall(i in 1..100000000: i < 0) x <= 1;\n}\n"
    result = runner.solve_texts(model, "", time_limit=1)
    assert result["status"] == "time_limit"
    assert "building the problem did not finish within the time limit of 1 seconds" in result["message"]


@pytest.mark.parametrize("depth", [60, 500])
def test_deep_dexpr_chains_solve(depth):
    chain = "".join(f"dexpr float d{k} = d{k - 1} + 1;\n" for k in range(1, depth))
    model = f"dvar float+ x;\ndexpr float d0 = 2 * x;\n{chain}minimize v: d{depth - 1};\nsubject to {{ x >= 2; }}\n"
    result = runner.solve_texts(model, "", time_limit=60)
    assert result["status"] == "optimal"
    assert result["objective"] == pytest.approx(4 + depth - 1)


def test_a_dexpr_cycle_deeper_than_the_stack_is_still_a_finding():
    names = [f"d{k}" for k in range(120)]
    decls = "".join(f"dexpr float {a} = {b} + 1;\n" for a, b in zip(names, names[1:] + names[:1]))
    compiled = VormoCompiler().compile_model("dvar float+ x;\ndexpr float d0 = x;\nminimize v: x;", "")
    # The compiler refuses a forward reference; a hand-made tree can still hold a cycle.
    template = next(d for d in compiled["declarations"] if d["type"] == "dexpr")
    compiled["declarations"] = [d for d in compiled["declarations"] if d["type"] != "dexpr"]
    for k, (a, b) in enumerate(zip(names, names[1:] + names[:1])):
        compiled["declarations"].append(dict(template, name=a, lineno=3 + k, expr={
            "type": "binop", "op": "+", "left": {"type": "name", "name": b}, "right": {"type": "number", "value": 1}}))
    compiled["objective"]["expr"] = {"type": "name", "name": "d0"}
    assert decls  # the cycle as a model would write it
    with pytest.raises(SemanticError, match="refers to itself"):
        emitselect.SciPyCodeGenerator(compiled, compiled.get("data"), "csc").generate_code()


# ----------------------------------------------------------------------------------------------
# The child: its failures, its time-out, its time limit


def test_a_child_that_cannot_start_still_gives_a_result_with_its_last_error_line(monkeypatch):
    monkeypatch.setattr(runner, "CHILD_MODULE", "vormo.no_such_child")
    result = runner.solve_texts("dvar float+ x;\nminimize v: x;", "", time_limit=5)
    assert result["status"] == "error"
    assert result["message"].splitlines()[0].endswith("No module named vormo.no_such_child")


def test_a_failing_script_shows_the_last_line_of_its_traceback():
    script = "def inner():\n    raise RuntimeError('the real cause')\n\ninner()\n"
    result = runner.run_script(script, time_limit=10)
    first = result["message"].splitlines()[0]
    assert first.endswith("RuntimeError: the real cause") and "Traceback" not in first


def test_the_child_gets_a_grace_period_beyond_the_solvers_limit(monkeypatch):
    monkeypatch.setattr(runner, "GRACE_SECONDS", 30)
    # Longer than the solver's limit, well within the limit plus the grace period.
    result = runner.run_script("import time; time.sleep(1.5); print('{\"status\": \"optimal\"}')", time_limit=0.2)
    assert result["status"] == "optimal"


@pytest.mark.parametrize("limit, error", [
    (0, ValueError), (-3, ValueError), (float("nan"), ValueError), (float("inf"), ValueError),
    ("5", TypeError), (True, TypeError),
])
def test_run_script_checks_its_time_limit(limit, error):
    with pytest.raises(error, match="time_limit must be a"):
        runner.run_script("print('{\"status\": \"optimal\"}')", time_limit=limit)


def test_a_time_limit_of_a_billion_seconds_is_accepted():
    result = runner.solve_texts("dvar float+ x;\nminimize v: x;\nsubject to { x >= 1; }", "", time_limit=1e9)
    assert result["status"] == "optimal" and result["objective"] == 1


@pytest.mark.parametrize("limit, code, words", [
    ("1e9", 0, "optimal"), ("1e999", 2, "error: time_limit must be a positive"),
    ("nan", 2, "error: time_limit must be a positive"), ("0", 2, "error: time_limit must be a positive"),
])
def test_cli_time_limit_range(tmp_path, limit, code, words):
    (tmp_path / "m.mod").write_text("dvar float+ x;\nminimize v: x;\nsubject to { x >= 1; }\n")
    (tmp_path / "m.dat").write_text("")
    done = cli("run", "m.mod", "m.dat", "--time-limit", limit, cwd=tmp_path)
    assert done.returncode == code, done.stderr
    assert "Traceback" not in done.stderr and "OverflowError" not in done.stderr
    assert words in done.stdout + done.stderr


def test_without_numpy_the_command_names_the_extra(tmp_path):
    fake = tmp_path / "shadow" / "numpy"
    fake.mkdir(parents=True)
    (fake / "__init__.py").write_text("raise ModuleNotFoundError(\"No module named 'numpy'\", name='numpy')\n")
    (tmp_path / "m.mod").write_text("dvar float+ x;\nminimize v: x;\n")
    (tmp_path / "m.dat").write_text("")
    done = cli("run", "m.mod", "m.dat", cwd=tmp_path,
               env={"PYTHONPATH": os.pathsep.join([str(tmp_path / "shadow"), os.environ.get("PYTHONPATH", "")])})
    assert done.returncode == 2
    assert "pip install 'vormo[solve]'" in done.stderr and "Traceback" not in done.stderr


def _children_in(folder):
    """Processes whose command line names folder."""
    found = []
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                if str(folder) in (entry / "cmdline").read_bytes().decode(errors="replace"):
                    found.append(int(entry.name))
            except OSError:
                pass
    return found


@pytest.mark.skipif(not Path("/proc/self/cmdline").exists(), reason="needs /proc")
def test_sigterm_ends_the_child_and_removes_its_folder(tmp_path):
    temp = tmp_path / "tmp"
    temp.mkdir()
    (tmp_path / "m.mod").write_text("dvar float+ x;\nminimize v: x;\nsubject to {\n"
                                    "  forall(i in 1..1000000000: i < 0) x <= 1;\n}\n")
    (tmp_path / "m.dat").write_text("")
    parent = subprocess.Popen([sys.executable, "-m", "vormo", "run", "m.mod", "m.dat", "--time-limit", "600"],
                              cwd=tmp_path, env=dict(os.environ, TMPDIR=str(temp)), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
    try:
        folder = None
        for _ in range(600):  # until the child runs in its folder
            folders = list(temp.glob("vormo-solve-*"))
            if folders and _children_in(folders[0]):
                folder = folders[0]
                break
            time.sleep(0.05)
        assert folder is not None
        parent.send_signal(signal.SIGTERM)
        _, err = parent.communicate(timeout=60)
    finally:
        if parent.poll() is None:
            parent.kill()
    assert parent.returncode == 128 + signal.SIGTERM, err
    assert not folder.exists()
    left = _children_in(folder)
    assert left == [], [Path(f"/proc/{p}/cmdline").read_bytes() for p in left]


# ----------------------------------------------------------------------------------------------
# The result variable


@pytest.mark.parametrize("name", ["json", "print", "status", "variables", "NAMES", "ROWS", "milp", "np",
                                  "solve", "math", "itertools", "add_rows", "report", "float", "__name__"])
def test_results_name_refuses_the_scripts_own_names(name):
    with pytest.raises(ValueError, match="the solver script itself uses"):
        script_of("dvar float+ x;\nminimize v: x;", results_varname=name)


@pytest.mark.parametrize("name", ["outcome", "results", "milp_result"])
def test_results_name_of_the_users_choice_solves(name):
    namespace = {"__name__": "build"}
    exec(compile(script_of("dvar float+ x;\nminimize v: x + 1;", results_varname=name), "<script>", "exec"),
         namespace)
    report, outcome = namespace["solve"]()
    assert report["objective"] == 1 and outcome.status == 0
    assert json.dumps(report)
