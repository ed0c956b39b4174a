"""The solver's child solves with HiGHS directly (``highspy``) when it is installed.

``solve(problem, time_limit)`` solves a ``SparseProblem`` (``vormo.sparseproblem``; its array
fields are read through ``numpy.asarray``, so lists serve as well) and returns an ``Outcome``:
the fields of scipy.optimize.milp's result that the solver script's ``solve_report`` reads, with
the same numbers and words (``status`` 0 optimal, 1 time or iteration limit, 2 infeasible or
refused, 3 unbounded, 4 anything else; ``message``; ``x``; ``fun`` of the minimised
``SENSE * objective`` without its constant; ``mip_gap`` and ``mip_dual_bound`` likewise), plus
``highs``: the solved instance, holding the model in its own sense (maximised when it maximises,
without the objective's constant), whose basis an explanation reads without solving again.

``feasibility(problem, time_limit)`` solves the problem without its objective, for when HiGHS
cannot tell an unbounded problem from an infeasible one. ``instance(...)`` builds a quiet
``highspy.Highs`` holding given arrays; ``vormo.insight`` builds its own models with it.

numpy and highspy are imported by the operations, never when this module loads.
"""

__all__ = ["Outcome", "solve", "feasibility", "instance", "model_status_code", "available"]

# What scipy.optimize.milp says for each HiGHS model status (name -> its status number and the
# start of its message); any other status is 4 with "The HiGHS status code was not recognized. ".
_SCIPY_STATUS = {
    "kNotset": (4, ""), "kLoadError": (4, ""), "kModelError": (2, ""), "kPresolveError": (4, ""),
    "kSolveError": (4, ""), "kPostsolveError": (4, ""), "kModelEmpty": (4, ""),
    "kObjectiveBound": (4, ""), "kObjectiveTarget": (4, ""),
    "kOptimal": (0, "Optimization terminated successfully. "),
    "kTimeLimit": (1, "Time limit reached. "), "kIterationLimit": (1, "Iteration limit reached. "),
    "kInfeasible": (2, "The problem is infeasible. "), "kUnbounded": (3, "The problem is unbounded. "),
    "kUnboundedOrInfeasible": (4, "The problem is unbounded or infeasible. "),
}
_UNRECOGNISED = (4, "The HiGHS status code was not recognized. ")
# A MILP stopped by one of these limits still has a point when it found an integer solution.
_LIMITS = ("kTimeLimit", "kIterationLimit", "kSolutionLimit")
# The refusal scipy's milp gives an objective with a non-finite coefficient, word for word.
_NONFINITE_COST = "`c` must be a one-dimensional array of finite numbers with at least one element."


class Outcome:
    """A solve's result: scipy.optimize.milp's fields (see the module text) and the instance."""

    __slots__ = ("status", "message", "x", "fun", "mip_gap", "mip_dual_bound", "highs", "model_status")

    def __init__(self, status, message, x=None, fun=None, mip_gap=None, mip_dual_bound=None, highs=None,
                 model_status=None):
        self.status, self.message, self.x, self.fun = status, message, x, fun
        self.mip_gap, self.mip_dual_bound, self.highs = mip_gap, mip_dual_bound, highs
        self.model_status = model_status

    @property
    def success(self):
        return self.status == 0

    def __repr__(self):
        return f"<Outcome status={self.status} message={self.message!r}>"


def available():
    """True when highspy can be imported."""
    try:
        import highspy  # noqa: F401
    except ImportError:
        return False
    return True


def model_status_code(model_status):
    """(scipy's status number, the start of its message) for a HiGHS model status."""
    return _SCIPY_STATUS.get(getattr(model_status, "name", None), _UNRECOGNISED)


def _message(model_status, text):
    prefix = model_status_code(model_status)[1]
    return f"{prefix}(HiGHS Status {int(model_status)}: {text})"


def instance(cost, col_lower, col_upper, A, row_lower, row_upper, *, sense=1, integer=None,
             time_limit=None, presolve=True):
    """A quiet HiGHS instance holding min (sense 1) or max (sense -1) cost.x subject to
    row_lower <= A x <= row_upper (A a scipy.sparse matrix) and col_lower <= x <= col_upper, with
    the columns where ``integer`` is true integer; and whether HiGHS accepted the model."""
    import highspy
    import numpy as np
    from scipy.sparse import csr_array

    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    if not presolve:
        h.setOptionValue("presolve", "off")
    if time_limit is not None:
        h.setOptionValue("time_limit", float(time_limit))
    n = len(col_lower)
    A = A if isinstance(A, csr_array) else csr_array(A)
    kinds = np.zeros(n, dtype=np.int32)
    if integer is not None:
        kinds[np.asarray(integer).reshape(-1) != 0] = int(highspy.HighsVarType.kInteger)
    # The arrays go to HiGHS as they are, without a model object of its own in between.
    accepted = h.passModel(
        n, A.shape[0], A.nnz, int(highspy.MatrixFormat.kRowwise), -1 if sense == -1 else 1, 0.0,
        np.asarray(cost, dtype=float), np.asarray(col_lower, dtype=float), np.asarray(col_upper, dtype=float),
        np.asarray(row_lower, dtype=float), np.asarray(row_upper, dtype=float), A.indptr.astype(np.int32, copy=False),
        A.indices.astype(np.int32, copy=False), np.asarray(A.data, dtype=float), kinds) != highspy.HighsStatus.kError
    return h, accepted


def _problem_arrays(problem):
    """c (the objective as written), bounds, integrality, A and row bounds of problem; a problem
    without columns gets one fixed at zero, as the solver script gives scipy's milp."""
    import numpy as np
    from scipy.sparse import csr_array

    n = len(problem.names)
    if n == 0:
        m = len(np.asarray(problem.row_lower))
        return (np.zeros(1), np.zeros(1), np.zeros(1), np.zeros(1, dtype=np.uint8), csr_array((m, 1)),
                problem.row_lower, problem.row_upper)
    integrality = getattr(problem, "integrality", None)
    return (np.asarray(problem.c, dtype=float).reshape(-1), problem.col_lower, problem.col_upper,
            np.zeros(n, dtype=np.uint8) if integrality is None else np.asarray(integrality), problem.A,
            problem.row_lower, problem.row_upper)


def solve(problem, time_limit):
    """Solve problem with HiGHS within time_limit seconds; the Outcome (see the module text).

    Raises ValueError, with scipy's words, for an objective with a non-finite coefficient, as
    scipy's milp does; the solver script reports that as an error."""
    import numpy as np

    sense = int(problem.sense or 0)
    c, col_lower, col_upper, integrality, A, row_lower, row_upper = _problem_arrays(problem)
    if not np.isfinite(sense * c).all():
        raise ValueError(_NONFINITE_COST)
    return _run(c if sense else np.zeros(len(c)), sense or 1, col_lower, col_upper, integrality, A, row_lower,
                row_upper, time_limit)


def feasibility(problem, time_limit):
    """The Outcome of solving problem without its objective."""
    import numpy as np

    c, col_lower, col_upper, integrality, A, row_lower, row_upper = _problem_arrays(problem)
    return _run(np.zeros(len(c)), 1, col_lower, col_upper, integrality, A, row_lower, row_upper, time_limit)


def _run(cost, sense, col_lower, col_upper, integrality, A, row_lower, row_upper, time_limit):
    import highspy
    import numpy as np

    Status = highspy.HighsModelStatus
    h, accepted = instance(cost, col_lower, col_upper, A, row_lower, row_upper, sense=sense, integer=integrality,
                           time_limit=time_limit)
    if not accepted:
        return _failed(h, Status.kModelError, h.modelStatusToString(Status.kModelError))
    if h.run() == highspy.HighsStatus.kError:
        status = h.getModelStatus()
        return _failed(h, status, h.modelStatusToString(status))
    status = h.getModelStatus()
    info = h.getInfo()
    mip = bool(np.asarray(integrality).any())
    if mip:
        # A MILP stopped by a limit still has a point when it found an integer solution.
        failed = status.name not in ("kOptimal",) + _LIMITS or (
            status.name in _LIMITS and info.objective_function_value == highspy.kHighsInf)
    else:
        failed = status != Status.kOptimal
    if failed:
        return _failed(h, status, f"model_status is {h.modelStatusToString(status)}; primal_status is "
                                  f"{h.solutionStatusToString(info.primal_solution_status)}")
    x = np.asarray(h.getSolution().col_value, dtype=float)
    # HiGHS holds the model in its own sense; scipy's figures are of the minimised objective.
    outcome = Outcome(model_status_code(status)[0], _message(status, h.modelStatusToString(status)), x=x,
                      fun=sense * float(info.objective_function_value), highs=h, model_status=status.name)
    if mip:
        outcome.mip_gap = float(info.mip_gap)
        outcome.mip_dual_bound = sense * float(info.mip_dual_bound)
    return outcome


def _failed(h, status, text):
    return Outcome(model_status_code(status)[0], _message(status, text), highs=h, model_status=status.name)
