"""The array unroll of the sparse generator against the closure unroll: same scripts byte for byte,
same tables, same solutions, same findings; and the compact tables of a namespace build."""

import json
import subprocess
import sys

import pytest

from vormo import emitvector, sparseproblem
from vormo.emitsparse import SciPyCSCCodeGenerator
from vormo.faultnote import SemanticError
from vormo.sparsetables import ColumnKeys, ColumnNames, RowTable
from vormo.vormo_kernel import VormoCompiler

np = pytest.importorskip("numpy")
pytest.importorskip("scipy")

TRANSPORT = """
{string} S = ...; {string} T = ...;
float supply[S] = ...; float demand[T] = ...; float cost[S][T] = ...;
dvar float+ ship[S][T];
minimize total: sum(s in S, t in T) cost[s][t] * ship[s][t];
subject to {
  forall(s in S) out: sum(t in T) ship[s][t] <= supply[s];
  forall(t in T) need: sum(s in S) ship[s][t] >= demand[t];
}
"""
TRANSPORT_DATA = """
S = {"a", "b", "c"}; T = {"x", "y"};
supply = [10, 20, 15]; demand = [12, 18];
cost = [[4, 6], [5, 0], [7, 3]];
"""

PLANNING = """
int n = ...; range P = 1..n; range Q = 2..n;
float dem[P] = ...; float cap = ...; float unit[P] = ...;
dvar float+ make[t in P] in dem[t] / 4..cap + t; dvar float+ stock[P] in 0..cap;
minimize cost: sum(t in P) (unit[t] * make[t] + 0.5 * stock[t]);
subject to {
  first: stock[1] == make[1] - dem[1];
  forall(t in Q) balance: stock[t] == stock[t - 1] + make[t] - dem[t];
  forall(t in 2..n) limit: make[t] - make[t - 1] <= cap / 2;
}
"""
PLANNING_DATA = "n = 6; dem = [3, 5, 2, 8, 1, 4]; cap = 9; unit = [1, 2, 1.5, 2, 3, 1];"

GRID = """
int n = ...; range I = 1..n; range K = 1..2;
float w[I][I][K] = ...;
dvar float y[i in I][j in I][k in K] in -5..i + j;
maximize value: sum(i in I, j in I, k in K) w[i][j][k] * y[i][j][k];
subject to {
  forall(i in I, j in I: i < j) pair: sum(k in K) (y[i][j][k] + 2 * y[j][i][k]) <= i + j;
  forall(i in I, k in K: i != 2 && k == 1) diag: 3 * y[i][i][k] / 4 - 1 >= -2 * i;
  cross: sum(i in I, j in I: i == j || i + 1 == j) (i - j) * y[i][j][1] <= 7;
}
"""
GRID_DATA = "n = 4; w = [" + ", ".join(
    "[" + ", ".join(f"[{(i * 7 + j * 3) % 5 - 2}, {(i + j) % 3}]" for j in range(4)) + "]"
    for i in range(4)) + "];"

ARCS = """
{string} Nodes = ...;
tuple Arc { string src; string dst; }
{Arc} Arcs = ...;
float cap[Arcs] = ...; float net[Nodes] = ...; float price[Arcs] = ...;
dvar float+ flow[a in Arcs] in 0..price[a] * 4;
minimize cost: sum(a in Arcs) price[a] * flow[a];
subject to {
  forall(a in Arcs) limit: flow[a] <= cap[a];
  forall(n in Nodes) keep: sum(<i, j> in Arcs: j == n) flow[<i, j>] - sum(<i, j> in Arcs: i == n) flow[<i, j>] == net[n];
  forall(<i, j> in Arcs: i != "s") tail: flow[<i, j>] >= 0.5;
}
"""
ARCS_DATA = """
Nodes = {"s", "m", "t"};
Arcs = {<"s", "m">, <"m", "t">, <"s", "t">};
cap = [4, 5, 2]; net = [-6, 0, 6]; price = [1, 1, 3];
"""

DEXPR = """
{string} I = ...; {string} J = ...;
float c[I][J] = ...; float cap[I] = ...;
dvar float+ x[I][J];
dexpr float load[i in I] = sum(j in J) x[i][j];
maximize total: sum(i in I) load[i] - sum(i in I, j in J) c[i][j] * x[i][j];
subject to {
  forall(i in I) room: load[i] <= cap[i];
  forall(i in I) twice: x[i]["p"] + sum(j in J: j == "p") x[i][j] <= 3;
  forall(j in J) spread: sum(i in I) x[i][j] <= 4;
}
"""
DEXPR_DATA = 'I = {"u", "v"}; J = {"p", "q"}; c = [[1, 2], [0, 1]]; cap = [5, 6];'

SCALES = """
range I = 1..4;
float a[I] = ...; float b = ...; int k[I] = ...;
dvar float x[I] in -10..10; dvar float z;
minimize obj: -2 * sum(i in I) (a[i] / 4 * x[i]) + z / b + 3;
subject to {
  forall(i in I) scaled: 2 * (a[i] * x[i] - k[i] * z) / b <= 1 + a[i] - (k[i] mod 3);
  forall(i in I) mixed: -(x[i] - b * z) >= -b - a[i] * k[i];
  forall(i in I: a[i] >= 0) zero: 0 * x[i] + (a[i] - a[i]) * z + x[i] <= 10;
  bound: z <= 20;
}
"""
SCALES_DATA = "a = [1.5, -0.25, 0, 3]; b = 8; k = [1, 2, 3, 4];"

# shape -> (model, data, the number of constraint items and objectives the array unroll takes)
SHAPES = {
    "two sets, a sum per row, objective": (TRANSPORT, TRANSPORT_DATA, 3),
    "offsets in ranges, range loops, per-element bounds": (PLANNING, PLANNING_DATA, 5),
    "three sets, filters, division, row members in terms": (GRID, GRID_DATA, 5),
    "tuple sets and patterns": (ARCS, ARCS_DATA, 5),
    "dexprs and a column twice in a row fall back": (DEXPR, DEXPR_DATA, 1),
    "scale factors, zero factors, mod falls back": (SCALES, SCALES_DATA, 4),
    "unlabelled rows of one line numbered apart": (
        TRANSPORT.replace("subject to {", "subject to {\n  forall(s in S) sum(t in T) ship[s][t] >= 0; "
                                          "forall(s in S) sum(t in T) ship[s][t] <= 99;"), TRANSPORT_DATA, 5),
}


def _generator(model, data, vectorize, tamper=None):
    compiled = VormoCompiler().compile_model(model, data)
    if tamper is not None:
        tamper(compiled["data"])  # data the compiler would not let through
    generator = SciPyCSCCodeGenerator(compiled, compiled["data"])
    generator.vectorize = vectorize
    return generator


def _outcome(model, data, vectorize, what, tamper=None):
    generator = _generator(model, data, vectorize, tamper)
    try:
        return generator, (generator.generate_code() if what == "script" else generator.build_namespace())
    except SemanticError as error:
        return generator, ("finding", error.message, error.lineno)


def _listed(name, table):
    if hasattr(table, "tolist"):
        table = table.tolist()
    elif not isinstance(table, (list, dict, str, int, float, type(None))):
        table = list(table)
    if name in ("LOWER", "UPPER", "OBJECTIVE", "INTEGER"):
        table = [float(v) for v in table]
    return json.dumps(table)


TABLES = ("NAMES", "COLUMNS", "LOWER", "UPPER", "INTEGER", "SENSE", "OBJECTIVE_NAME",
          "OBJECTIVE_CONSTANT", "OBJECTIVE", "ROWS", "ROW_INFO", "DEXPRS", "TIME_LIMIT")


@pytest.mark.parametrize("model, data, vectorised", SHAPES.values(), ids=SHAPES.keys())
def test_array_unroll_writes_the_closure_unrolls_script(model, data, vectorised):
    fast, script = _outcome(model, data, True, "script")
    slow, expected = _outcome(model, data, False, "script")
    assert script == expected
    assert fast._vector_items == vectorised and slow._vector_items == 0


@pytest.mark.parametrize("model, data, vectorised", SHAPES.values(), ids=SHAPES.keys())
def test_array_unroll_builds_the_closure_unrolls_tables_and_solution(model, data, vectorised):
    _, compact = _outcome(model, data, True, "namespace")
    _, plain = _outcome(model, data, False, "namespace")
    assert isinstance(compact["ROWS"], RowTable) and isinstance(plain["ROWS"], list)
    for name in TABLES:
        assert _listed(name, compact[name]) == _listed(name, plain[name]), name
    report, _ = compact["solve"]()
    assert report == plain["solve"]()[0]
    assert report["status"] == "optimal"


def _drop(name):
    return lambda data: data.pop(name)


def _shorten(name):
    return lambda data: data.__setitem__(name, list(data[name])[:-1])


# Faults in the data: the array unroll gives the family up and the finding is the closure unroll's.
FINDINGS = {
    "missing parameter": (TRANSPORT, TRANSPORT_DATA, _drop("supply"), "no data for 'supply'"),
    "missing parameter in the objective": (TRANSPORT, TRANSPORT_DATA, _drop("cost"), "no data for 'cost'"),
    "parameter shorter than its set": (TRANSPORT, TRANSPORT_DATA, _shorten("demand"), "shape"),
    "coefficient beyond the solver's range": (TRANSPORT, TRANSPORT_DATA.replace("[5, 0]", "[5, 1e300]"),
                                              None, "coefficient"),
    "infinite right-hand side": (SCALES.replace("bound: z <= 20;", "bound: z >= b / 1e-320;"),
                                 SCALES_DATA, None, "right-hand side"),
    "right-hand side beyond the bound range": (SCALES.replace("1 + a[i]", "1e25 + a[i]"), SCALES_DATA, None,
                                               "right-hand side"),
    "row coefficient beyond the solver's range": (
        TRANSPORT.replace("out: sum(t in T) ship", "out: sum(t in T) cost[s][t] * ship"),
        TRANSPORT_DATA.replace("[5, 0]", "[5, 2e15]"), None, "coefficient"),
    "per-element bound beyond the bound range": (PLANNING.replace("cap + t;", "cap * 1e20 + t;"), PLANNING_DATA,
                                                  None, "upper bound"),
    "objective coefficient beyond the bound range": (TRANSPORT, TRANSPORT_DATA.replace("[7, 3]", "[7, 1e21]"),
                                                      None, "objective"),
}


@pytest.mark.parametrize("model, data, tamper, words", FINDINGS.values(), ids=FINDINGS.keys())
@pytest.mark.parametrize("what", ["script", "namespace"])
def test_a_fault_in_the_data_gives_the_closure_unrolls_finding(model, data, tamper, words, what):
    _, finding = _outcome(model, data, True, what, tamper)
    _, expected = _outcome(model, data, False, what, tamper)
    assert finding[0] == "finding" and words in finding[1]
    assert finding == expected


def test_without_numpy_the_closure_unroll_writes_the_same_script(monkeypatch):
    _, expected = _outcome(TRANSPORT, TRANSPORT_DATA, True, "script")
    monkeypatch.setattr(emitvector, "_numpy", lambda: None)
    generator, script = _outcome(TRANSPORT, TRANSPORT_DATA, True, "script")
    assert script == expected and generator._vector_items == 0
    _, namespace = _outcome(TRANSPORT, TRANSPORT_DATA, True, "namespace")
    assert isinstance(namespace["ROWS"], list) and isinstance(namespace["NAMES"], list)


def test_loading_the_generator_imports_no_numpy():
    code = "import sys, vormo.emitsparse, vormo.sparsetables; print('numpy' in sys.modules)"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout.strip() == "False"


def _square(n):
    """A transportation model of the 1000 x 1000 benchmark's shape, n x n."""
    names = ", ".join(f'"N{k}"' for k in range(n))
    cost = ", ".join("[" + ", ".join(str(1 + (i * 7 + j * 13) % 17) for j in range(n)) + "]" for i in range(n))
    return (TRANSPORT, f"S = {{{names}}}; T = {{{names}}}; supply = {[30] * n}; demand = {[20] * n}; "
                       f"cost = [{cost}];")


def test_a_namespace_build_holds_compact_tables_that_read_as_the_lists():
    model, data = _square(7)
    generator = _generator(model, data, True)
    namespace = generator.build_namespace()
    plain = _generator(model, data, False).build_namespace()
    names, columns, rows = namespace["NAMES"], namespace["COLUMNS"], namespace["ROWS"]
    assert isinstance(names, ColumnNames) and isinstance(columns, ColumnKeys) and isinstance(rows, RowTable)
    assert isinstance(namespace["LOWER"], np.ndarray) and isinstance(namespace["OBJECTIVE"], np.ndarray)
    assert generator._vector_items == 3
    assert len(names) == 49 and names[0] == "ship[N0][N0]" and names[-1] == "ship[N6][N6]"
    assert names[8] == plain["NAMES"][8] == "ship[N1][N1]"
    assert names[5:12] == plain["NAMES"][5:12] and names[::9] == plain["NAMES"][::9]
    assert columns[10] == ["ship", ["N1", "N3"]] and list(columns) == plain["COLUMNS"]
    assert names == plain["NAMES"]
    with pytest.raises(IndexError):
        names[49]
    assert len(rows) == 14 and rows[3] == plain["ROWS"][3] and rows[-1] == plain["ROWS"][-1]
    assert list(rows) == plain["ROWS"]
    data, indices, indptr = rows.csr
    assert indices.dtype == indptr.dtype == np.int32 and indptr.tolist() == list(range(0, 14 * 7 + 1, 7))


def test_the_problem_of_a_compact_namespace_is_the_problem_of_the_lists():
    model, data = _square(5)
    namespace = _generator(model, data, True).build_namespace()
    compact = sparseproblem.from_namespace(namespace)
    plain = sparseproblem.from_namespace(_generator(model, data, False).build_namespace())
    assert isinstance(compact.names, ColumnNames) and compact.names == plain.names
    # The solver gets the built arrays themselves: a million columns are not copied on the way.
    for array, built in ((compact.A.indices, namespace["ROWS"].csr[1]), (compact.A.indptr, namespace["ROWS"].csr[2]),
                         (compact.col_lower, namespace["LOWER"]), (compact.col_upper, namespace["UPPER"])):
        assert np.shares_memory(array, built)
    assert (compact.A != plain.A).nnz == 0 and compact.A.shape == plain.A.shape
    for field in ("c", "col_lower", "col_upper", "integrality", "row_lower", "row_upper"):
        assert getattr(compact, field).tolist() == getattr(plain, field).tolist(), field
    assert compact.row_info == plain.row_info


def test_the_base_fields_are_made_when_read():
    generator = _generator(TRANSPORT, TRANSPORT_DATA, True)
    generator.generate_code()
    slow = _generator(TRANSPORT, TRANSPORT_DATA, False)
    slow.generate_code()
    assert list(generator.A_ub) == list(slow.A_ub) and len(generator.A_ub) == 5
    assert list(generator.b_ub) == [10, 20, 15, -12, -18]
    assert dict(generator.var_indices) == dict(slow.var_indices)
    assert generator.var_indices[("ship", ("b", "y"))] == 3
    assert generator.c == slow.c == [4.0, 6.0, 5.0, 0.0, 7.0, 3.0]


def _consumers(compiled, compact, monkeypatch):
    """What the child's consumers make of a namespace build: the report with its entries, the
    explanation (or diagnosis) and the exported names."""
    from vormo import export, insight
    from vormo.tables import add_entries

    with monkeypatch.context() as patch:
        if not compact:
            patch.setattr(emitvector, "_numpy", lambda: None)
        namespace = SciPyCSCCodeGenerator(compiled, compiled["data"]).build_namespace()
    assert isinstance(namespace["ROWS"], RowTable) == compact
    report, outcome = namespace["solve"]()
    add_entries(report, namespace, outcome)
    problem = sparseproblem.from_namespace(namespace)
    solution = dict(report, x=None if outcome.x is None else outcome.x.tolist())
    hook = insight.explain if report["status"] == "optimal" else insight.diagnose
    names = export.make_names(problem)
    return json.dumps([report, hook(problem, solution), names.records, names.columns, names.rows], default=str)


CORPUS = ["transportation/transportation", "sports_scheduling/league_round_robin", "lot_sizing/snack_lines",
          "assignment/fair_volunteers", "transshipment/transshipment", "maximum_flow/stadium_evacuation"]


@pytest.mark.parametrize("example", CORPUS)
def test_the_consumers_read_the_compact_tables_as_the_lists(example, monkeypatch):
    from pathlib import Path

    import vormo

    path = Path(vormo.__file__).parent / "vormo_models" / f"{example}.mod"
    compiled = VormoCompiler().compile_model(path.read_text(), path.with_suffix(".dat").read_text())
    assert _consumers(compiled, True, monkeypatch) == _consumers(compiled, False, monkeypatch)
