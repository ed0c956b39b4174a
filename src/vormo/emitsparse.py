"""Sparse (CSC) SciPy solver-script generator for compiled Vormo models.

``SciPyCSCCodeGenerator(ast, data_dict).generate_code()`` returns the text of a standalone Python
script. Run as ``python script.py`` it assembles the problem from (row, column, value) triplets into
``scipy.sparse.csc_array`` matrices, solves it with ``scipy.optimize.milp`` (HiGHS) and prints one
JSON object::

    {"status": "optimal" | "infeasible" | "unbounded" | "time_limit" | "error",
     "objective": <value in the model's own sense, or null>,
     "variables": {"x[Bread]": 3, "y[1][3]": 0.5, ...}}   # non-zero values only

plus "message", the solver's own words, when the status is not "optimal".

The generator unrolls the model here: every decision variable becomes a column, every constraint
instance a row. The commonest shapes (sums and foralls over products of index sets with
coefficients from the data) are unrolled with arrays in one go (``vormo.emitvector``, when numpy
is installed); everything else, and every finding, comes from the plain-Python unroll below,
which gives the same rows. The script holds only numbers and literals, so reading it shows
the problem the solver sees. Names and string data from the model reach the script only through
``repr`` (or JSON), so no model or data text can turn into code.

numpy is imported by the array unroll when it runs, scipy by the generated script only; neither
when this module loads.
"""

import array
import itertools
import json
import keyword
import math
import numbers
import operator
from collections.abc import Mapping, Sequence

from .emitcore import SciPyCodeGeneratorBase
from .emitvector import VectorUnroll, pair_texts
from .faultnote import SemanticError
from .sparsetables import ColumnNames
# floor, ceil and round as the compiler computes them, so that both agree on every value.
from .vormo_kernel import _rounded

__all__ = ["SciPyCSCCodeGenerator", "display_name"]

MAXINT = 2 ** 31 - 1
DEFAULT_TIME_LIMIT = 60

# Variable domains: (lower bound, upper bound, integer).
_DOMAINS = {
    "float": (-math.inf, math.inf, 0),
    "float+": (0.0, math.inf, 0),
    "int": (-math.inf, math.inf, 1),
    "int+": (0, math.inf, 1),
    "boolean": (0, 1, 1),
}

# Pairs written per line in the objective of the script, set members per line.
_PAIRS_PER_LINE = 8
_MEMBERS_PER_LINE = 16

# The size a script is built for: a model beyond these budgets gets a finding instead of
# exhausting the memory (read at each generation, so they can be changed on the module).
MAX_COLUMNS = 5_000_000
MAX_ROWS = 5_000_000
MAX_NONZEROS = 25_000_000
# HiGHS refuses matrix coefficients of this size or more, and reads bounds, right-hand sides and
# objective coefficients of BOUND_LIMIT or more as infinite.
COEFFICIENT_LIMIT = 1e15
BOUND_LIMIT = 1e20
_BOUND_RANGE = f"the solver reads a bound of {BOUND_LIMIT:g} or more as infinite"
# Decision expressions expanded inside one another on the interpreter's stack; a deeper chain is
# expanded bottom up from an explicit stack.
_DEXPR_NESTING = 40


_MISSING = object()


class _Deferred(Exception):
    """A decision expression nested too deep to expand on the stack: expand key first."""

    def __init__(self, key):
        super().__init__(key)
        self.key = key


class _Row(tuple):
    """A member of a tuple set: compares and hashes as its field values, knows its field names."""

    def __new__(cls, values, fields):
        row = super().__new__(cls, values)
        row.fields = fields
        return row


class _Linear:
    """Accumulator of a linear expression: column -> coefficient, plus a constant."""

    __slots__ = ("terms", "constant")

    def __init__(self):
        self.terms = {}
        self.constant = 0.0


class _Domain:
    """Members of a set or range, in order, with their positions."""

    __slots__ = ("members", "positions", "low", "high")

    def __init__(self, members=None, low=None, high=None):
        self.low, self.high = low, high
        if members is None:
            self.members = range(low, high + 1)
            self.positions = None
        else:
            self.members = members
            self.positions = {}
            for k, member in enumerate(members):
                self.positions.setdefault(member, k)

    def __len__(self):
        return len(self.members)

    def position(self, value):
        """Position of value in the domain, or None."""
        if self.positions is not None:
            try:
                return self.positions.get(value)
            except TypeError:  # an unhashable value is no member
                return None
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            return None
        if value != value or not (self.low <= value <= self.high) or int(value) != value:
            return None
        return int(value) - self.low


def _number_text(value):
    """Python literal of a number for the script."""
    if isinstance(value, bool):
        return str(int(value))
    if isinstance(value, int):
        return str(value)
    value = float(value)
    if math.isinf(value):
        return "INF" if value > 0 else "-INF"
    return repr(value)


def _json_number(value):
    """JSON text of a number as json.loads reads it (Infinity for an infinite bound)."""
    if isinstance(value, bool):
        return str(int(value))
    if isinstance(value, int):
        return str(value)
    value = float(value)
    if math.isfinite(value):
        return repr(value)  # the shortest round-trip form is also a JSON number
    return "NaN" if value != value else ("Infinity" if value > 0 else "-Infinity")


def _shown(value):
    """A number as a finding shows it: 1e+15, infinity, NaN."""
    if value != value:
        return "NaN"
    if math.isinf(value):
        return "infinity" if value > 0 else "-infinity"
    return f"{value:g}"


def _line_text(line):
    return str(line) if isinstance(line, int) and not isinstance(line, bool) else repr(line)


# A string subscript is shown bare (x[Bread]) unless a character would make the name ambiguous.
_AMBIGUOUS = set('[]<>",')


def _member_text(value):
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=False)
    if isinstance(value, float) and value.is_integer() and abs(value) < 1e15:
        return str(int(value))  # a float field holding 2.0 was written 2 in the data
    return _number_text(value) if isinstance(value, (int, float)) else repr(value)


def _subscript_text(value):
    if isinstance(value, tuple):
        return "<" + ",".join(_member_text(v) for v in value) + ">"
    if isinstance(value, str):
        if not value or _AMBIGUOUS.intersection(value) or not value.isprintable():
            return json.dumps(value, ensure_ascii=False)
        return value
    return _member_text(value)


def display_name(name, key):
    """Name of a variable with its subscripts as written in a model: x, x[Bread], y[1][3],
    flow[<"A","B">]."""
    return str(name) + "".join("[" + _subscript_text(k) + "]" for k in key)


class _DataValues:
    """Values of expressions of data: numbers, strings and tuples from literals, loop variables,
    parameters (whole from the data, or computed member by member), arithmetic (integer division
    and rounding among it), comparisons, tests and functions of data. _value interprets a node;
    _fast_value compiles the commonest kinds into closures for the linear expressions' hot path.

    A part of SciPyCSCCodeGenerator, which holds the state these methods read (see its _reset).
    """

    # ------------------------------------------------------------------------------------------
    # Expressions of data

    def _value(self, node, env):
        """Value of an expression of data and loop variables: number, string or tuple."""
        kind = node.get("type")
        if kind == "number" or kind == "string":
            return node["value"]
        if kind == "name":
            name = node["name"]
            if name in env:
                return env[name]
            return self._data(name, node, ())
        if kind == "indexed":
            name = node["name"]
            if name in env:
                raise self._error(f"the loop variable '{name}' takes no subscript")
            return self._data(name, node, [self._value(i, env) for i in node["indices"]])
        if kind == "binop":
            left, right = self._number(node["left"], env), self._number(node["right"], env)
            op = node["op"]
            if op == "+":
                return left + right
            if op == "-":
                return left - right
            if op == "*":
                return left * right
            if op == "/":
                if right == 0:
                    raise self._error("division by zero")
                return left / right
            if op in ("mod", "div"):
                return self._integer_division(op, left, right)
            raise self._at_line(self._unsupported_operator_error("arithmetic", op))
        if kind == "conditional":
            chosen = node["then"] if self._value(node["condition"], env) else node["else"]
            return self._value(chosen, env)
        if kind == "in_range":
            element = self._number(node["element"], env)
            return int(self._number(node["low"], env) <= element <= self._number(node["high"], env))
        if kind == "constant":
            name = node["name"]
            if name == "infinity":
                return math.inf
            if name == "maxint":
                return MAXINT
            raise self._at_line(self._unsupported_type_error("constant", name))
        if kind == "field":
            base = self._value(node["base"], env)
            fields = getattr(base, "fields", None)
            if fields is None or node["field"] not in fields:
                raise self._error(f"no field '{node['field']}' in {base!r}")
            return base[fields.index(node["field"])]
        if kind == "compare":
            return int(self._compare(node, env))
        if kind == "logical":
            left = bool(self._value(node["left"], env))
            if node["op"] == "&&":
                return int(left and bool(self._value(node["right"], env)))
            if node["op"] == "||":
                return int(left or bool(self._value(node["right"], env)))
            raise self._at_line(self._unsupported_operator_error("logical", node["op"]))
        if kind == "unary":
            if node["op"] == "-":
                return -self._number(node["operand"], env)
            if node["op"] == "!":
                return int(not self._value(node["operand"], env))
            raise self._at_line(self._unsupported_operator_error("unary", node["op"]))
        if kind == "in":
            domain = self._domains.get(node["set"])
            if domain is None:
                raise self._error(f"'{node['set']}' is not a declared range or set")
            return int(domain.position(self._value(node["element"], env)) is not None)
        if kind == "tuple_literal":
            elements = node["elements"]
            if all(self._is_literal_or_bound(e, env) for e in elements):
                return self._tuple_key(elements, env)
            return tuple(self._value(e, env) for e in elements)
        if kind == "aggregate":
            values = [self._number(node["body"], inner)
                      for inner in self._bindings(node["iterators"], node.get("filter"), env)]
            op = node["op"]
            if op == "sum":
                return sum(values)
            if op in ("min", "max"):
                if not values:
                    raise self._error(f"{op}(...) over an empty set")
                return min(values) if op == "min" else max(values)
            raise self._at_line(self._unsupported_operator_error("aggregate", op))
        if kind == "call":
            return self._call(node, env)
        if kind == "array_literal":
            return [self._value(e, env) for e in node["elements"]]
        raise self._at_line(self._unsupported_type_error("expression", kind))

    def _is_literal_or_bound(self, node, env):
        """True for a tuple element that _tuple_key reads as its value: a number, a string, a
        loop variable, or a tuple literal of such elements."""
        kind = node.get("type") if isinstance(node, dict) else None
        if kind in ("number", "string"):
            return True
        if kind == "name":
            return node["name"] in env
        if kind == "tuple_literal":
            return all(self._is_literal_or_bound(e, env) for e in node["elements"])
        return False

    def _number(self, node, env):
        return self._as_number(self._value(node, env))

    def _compare(self, node, env):
        left, right = self._value(node["left"], env), self._value(node["right"], env)
        op = node["op"]
        if op == "==":
            return left == right
        if op == "!=":
            return left != right
        try:
            if op == "<":
                return left < right
            if op == "<=":
                return left <= right
            if op == ">":
                return left > right
            if op == ">=":
                return left >= right
        except TypeError:
            raise self._error(f"cannot compare {left!r} with {right!r}") from None
        raise self._at_line(self._unsupported_operator_error("comparison", op))

    def _integer_division(self, op, left, right):
        """a mod b and a div b of integers: div rounds down, mod has the sign of b."""
        for value in (left, right):
            if not (isinstance(value, int) or (isinstance(value, float) and value.is_integer())):
                raise self._error(f"'{op}' needs integers, not {_shown(value)}")
        if right == 0:
            raise self._error("division by zero")
        left, right = int(left), int(right)
        return left // right if op == "div" else left % right

    def _call(self, node, env):
        name, args = node["name"], node["args"]
        if name == "card":
            set_name = args[0].get("name") if args and isinstance(args[0], dict) else None
            if set_name not in self._domains:
                raise self._error("card(...) needs the name of a range or set")
            return len(self._domains[set_name])
        values = [self._number(a, env) for a in args]
        if name == "abs" and len(values) == 1:
            return abs(values[0])
        if name in ("min", "max") and values:
            return min(values) if name == "min" else max(values)
        if name in ("floor", "ceil", "round") and len(values) == 1:
            return _rounded(name, values[0])
        raise self._at_line(self._unsupported_type_error("function", name))

    def _data(self, name, node, subscripts):
        """Value of a parameter, whole or at the given subscripts."""
        kind, decl = self._symbols.get(name, (None, None))
        if kind != "parameter":
            if kind in ("dvar", "dexpr"):
                raise self._error(f"the decision {'variable' if kind == 'dvar' else 'expression'} "
                                  f"'{name}' stands where only data may stand")
            raise self._error(f"'{name}' is not data")
        dims = self._dims[name]
        if len(subscripts) != len(dims):
            raise self._error(f"'{name}' takes {len(dims)} subscript(s), not {len(subscripts)}")
        positions = [self._position(name, set_name, value)
                     for set_name, value in zip(dims, subscripts)]
        value = self._whole_value(name, decl)
        if value is None:
            key = tuple(self._domains[s].members[p] for s, p in zip(dims, positions))
            return self._generic_value(name, decl, key)
        try:
            if len(positions) > 1 and value and isinstance(value[0], (int, float, str)):
                # A flat array in row-major order.
                flat = 0
                for set_name, position in zip(dims, positions):
                    flat = flat * len(self._domains[set_name]) + position
                return value[flat]
            for position in positions:
                value = value[position]
        except (IndexError, TypeError, KeyError):
            raise self._error(f"the data of '{name}' does not have the shape of its index sets "
                              f"{', '.join(dims)}") from None
        return value

    def _position(self, name, set_name, value):
        position = self._domains[set_name].position(self._normalize_index(value))
        if position is None:
            raise self._error(f"the subscript {_subscript_text(self._normalize_index(value))} of "
                              f"'{name}' is not in its index set {set_name}")
        return position

    def _whole_value(self, name, decl):
        """The parameter's value from the data, or None when it is computed member by member."""
        if name in self._values:
            return self._values[name]
        if name in self.data_dict:
            value = self.data_dict[name]
            if hasattr(value, "tolist"):
                value = value.tolist()
        elif decl.get("expr") is None:
            raise self._error(f"no data for '{name}'")
        elif not self._dims[name]:
            value = self._value(decl["expr"], {})
        elif decl["expr"].get("type") == "array_literal":
            value = self._value(decl["expr"], {})
        else:
            value = None
        self._values[name] = value
        return value

    def _generic_value(self, name, decl, key):
        cache_key = (name, key)
        if cache_key not in self._generic:
            env = {index["var"]: member for index, member in zip(decl["indices"], key)}
            self._generic[cache_key] = self._value(decl["expr"], env)
        return self._generic[cache_key]

    # ------------------------------------------------------------------------------------------
    # Compiled expressions of data

    def _key_of(self, indices):
        """key(env): the tuple of the subscripts' values. Subscripts that are loop variables (names
        no declaration uses) are read straight from env; a KeyError for a missing one sends the
        caller to its slow path, which reports it."""
        if indices and all(isinstance(i, dict) and i.get("type") == "name" and i.get("name") not in self._symbols
                           for i in indices):
            if len(indices) > 1:
                return operator.itemgetter(*[i["name"] for i in indices])  # a tuple already
            get = operator.itemgetter(indices[0]["name"])
            return lambda env: (get(env),)
        values = [self._fast_value(i) for i in indices]
        if len(values) == 1:
            first, = values
            return lambda env: (first(env),)
        if len(values) == 2:
            first, second = values
            return lambda env: (first(env), second(env))
        return lambda env: tuple([v(env) for v in values])

    def _fast_number(self, node):
        value_of = self._fast_value(node)

        def number(env):
            value = value_of(env)
            kind = type(value)
            if kind is int or kind is float:
                return value
            return self._as_number(value)
        return number

    def _fast_value(self, node):
        """value_of(env), the same as _value(node, env): compiled for literals, loop variables
        and subscripted parameters, _value itself for every other kind."""
        code = self._value_code.get(id(node))
        if code is not None:
            return code
        kind = node.get("type") if isinstance(node, dict) else None
        if kind in ("number", "string"):
            constant = node["value"]

            def code(env):
                return constant
        elif kind == "name":
            name = node["name"]

            def code(env):
                value = env.get(name, _MISSING)
                return self._data(name, node, ()) if value is _MISSING else value
        elif kind == "indexed" and self._symbols.get(node.get("name"), (None,))[0] == "parameter" \
                and len(node.get("indices") or ()) == len(self._dims.get(node["name"], ())):
            code = self._fast_parameter(node)
        else:
            def code(env):
                return self._value(node, env)
        self._value_code[id(node)] = code
        return code

    def _fast_parameter(self, node):
        name = node["name"]
        key_of = self._key_of(node["indices"])
        subscripts = [self._fast_value(i) for i in node["indices"]]
        # Member -> position per index set (a range of up to a million members gets a table too).
        tables = []
        for set_name in self._dims[name]:
            domain = self._domains[set_name]
            table = domain.positions
            if table is None and len(domain) <= 1_000_000:
                table = self._range_tables.get(set_name)
                if table is None:
                    table = self._range_tables[set_name] = dict(zip(domain.members, range(len(domain))))
            tables.append(table)
        whole = []  # the parameter's nested value, once known usable here

        def slow(env):
            values = [s(env) for s in subscripts]
            if name in env:
                raise self._error(f"the loop variable '{name}' takes no subscript")
            return self._data(name, node, values)

        def code(env):
            if not whole:
                value = self._whole_value(name, self._symbols[name][1]) if name not in env else None
                if not isinstance(value, (list, tuple)) or None in tables \
                        or (len(tables) > 1 and value and isinstance(value[0], (int, float, str))):
                    return slow(env)  # computed member by member, flat, or over a huge range
                whole.append(value)
            if name in env:
                return slow(env)
            value = whole[0]
            try:
                for table, member in zip(tables, key_of(env)):
                    value = value[table[member]]
            except (KeyError, IndexError, TypeError):
                return slow(env)
            return value
        return code

    def _as_number(self, value):
        if isinstance(value, bool):
            return int(value)
        if isinstance(value, (int, float)):
            return value
        # Numbers of other types (a compact array hands out its own scalars) as int or float.
        if isinstance(value, numbers.Integral):
            return int(value)
        if isinstance(value, numbers.Real):
            return float(value)
        raise self._error(f"{value!r} is not a number")


class _LinearCompiler:
    """Linear expressions over decision variables: compiled once per node into closures that add
    scale * expression to a _Linear accumulator, columns of variables at their subscripts, and
    decision expressions expanded (and cached) per instance, bottom up from an explicit stack when
    they nest too deep.

    A part of SciPyCSCCodeGenerator, which holds the state these methods read (see its _reset).
    """

    # ------------------------------------------------------------------------------------------
    # Linear expressions
    #
    # _value above is the one place that knows what an expression of data means, one branch per
    # node kind. Linear expressions (those that hold decision variables) are compiled once per
    # node into closures f(env, scale, acc) that add scale * expression to the _Linear acc: one
    # _l_<kind> method per node kind that may hold variables linearly (name, indexed, binop,
    # unary, aggregate); any other kind over variables is a finding. Constant parts and
    # subscripts run through _fast_value, which compiles the commonest data kinds (literals, loop
    # variables, subscripted parameters) and leaves every other kind to _value. A model
    # therefore costs one closure call per term instead of one interpretation per node.

    def _uses_variables(self, node):
        """True when the expression refers to a decision variable or decision expression."""
        found = self._has_vars.get(id(node))
        if found is None:
            found = False
            if isinstance(node, dict):
                kind = node.get("type")
                if kind in ("name", "indexed") and \
                        self._symbols.get(node.get("name"), ("",))[0] in ("dvar", "dexpr"):
                    found = True
                else:
                    found = any(self._uses_variables(v) for k, v in node.items()
                                if isinstance(v, (dict, list)))
            elif isinstance(node, list):
                found = any(self._uses_variables(v) for v in node)
            self._has_vars[id(node)] = found
        return found

    def _expand(self, node, env, scale, acc):
        """Add scale * node to the linear accumulator acc."""
        self._linear(node)(env, scale, acc)

    def _linear(self, node):
        code = self._linear_code.get(id(node))
        if code is None:
            if self._uses_variables(node):
                maker = getattr(self, f"_l_{node.get('type')}", None)
                code = maker(node) if maker is not None else self._nonlinear(node)
            else:
                number = self._fast_number(node)

                def code(env, scale, acc):
                    acc.constant += scale * number(env)
            self._linear_code[id(node)] = code
        return code

    def _raiser(self, message):
        def code(*args):
            raise self._error(message)
        return code

    def _nonlinear(self, node):
        kind = node.get("type")
        what = {"aggregate": f"{node.get('op')}(...)", "call": f"{node.get('name')}(...)",
                "unary": f"'{node.get('op')}'"}.get(kind, kind)
        return self._raiser(f"{what} over decision variables cannot be translated into a linear program")

    def _l_name(self, node):
        name = node["name"]
        kind = self._symbols.get(name, (None,))[0]
        if kind == "dexpr":
            def code(env, scale, acc):
                if name in env:
                    acc.constant += scale * self._number(node, env)
                    return
                terms, constant = self._dexpr(node, env)
                mine = acc.terms
                for column, coefficient in terms.items():
                    mine[column] = mine.get(column, 0.0) + scale * coefficient
                acc.constant += scale * constant
            return code
        if kind != "dvar":
            return self._nonlinear(node)
        columns = self._columns_of[name]
        key_of = self._key_of(node.get("indices") or [])

        def other(env, scale, acc):
            """A loop variable of the same name, or subscripts outside the index sets."""
            if name in env:
                acc.constant += scale * self._number(node, env)
                return
            column = self._column(node, env)
            acc.terms[column] = acc.terms.get(column, 0.0) + scale

        def code(env, scale, acc):
            try:
                column = columns[key_of(env)]
            except (KeyError, TypeError):
                return other(env, scale, acc)
            if name in env:
                return other(env, scale, acc)
            terms = acc.terms
            terms[column] = terms.get(column, 0.0) + scale
        return code

    _l_indexed = _l_name

    def _l_binop(self, node):
        op, left, right = node.get("op"), node["left"], node["right"]
        if op in ("+", "-"):
            first, second = self._linear(left), self._linear(right)
            sign = 1.0 if op == "+" else -1.0

            def code(env, scale, acc):
                first(env, scale, acc)
                second(env, sign * scale, acc)
            return code
        if op == "*":
            if self._uses_variables(left) and self._uses_variables(right):
                return self._raiser("a product of two decision variables is not linear")
            if self._uses_variables(left):
                left, right = right, left
            factor_of, term = self._fast_number(left), self._linear(right)
            if right.get("type") in ("name", "indexed") and self._symbols.get(right["name"], ("",))[0] == "dvar":
                # coefficient * variable, the commonest term of all: the variable's lookup inline
                # (term itself handles what the fast lookup does not).
                name, columns = right["name"], self._columns_of[right["name"]]
                key_of = self._key_of(right.get("indices") or [])

                def code(env, scale, acc):
                    factor = factor_of(env)
                    if factor != 0:
                        try:
                            column = columns[key_of(env)]
                        except (KeyError, TypeError):
                            return term(env, scale * factor, acc)
                        if name in env:
                            return term(env, scale * factor, acc)
                        terms = acc.terms
                        terms[column] = terms.get(column, 0.0) + scale * factor
                return code

            def code(env, scale, acc):
                factor = factor_of(env)
                if factor != 0:
                    term(env, scale * factor, acc)
            return code
        if op == "/":
            if self._uses_variables(right):
                return self._raiser("a division by a decision variable is not linear")
            divisor_of, term = self._fast_number(right), self._linear(left)

            def code(env, scale, acc):
                divisor = divisor_of(env)
                if divisor == 0:
                    raise self._error("division by zero")
                term(env, scale / divisor, acc)
            return code
        error = self._unsupported_operator_error("arithmetic", op)
        return self._raiser(error.message)

    def _l_conditional(self, node):
        condition = self._fast_value(node["condition"])
        then, otherwise = self._linear(node["then"]), self._linear(node["else"])

        def code(env, scale, acc):
            (then if condition(env) else otherwise)(env, scale, acc)
        return code

    def _l_unary(self, node):
        if node.get("op") != "-":
            return self._nonlinear(node)
        term = self._linear(node["operand"])

        def code(env, scale, acc):
            term(env, -scale, acc)
        return code

    def _l_aggregate(self, node):
        if node.get("op") != "sum" or not self._uses_variables(node["body"]):
            return self._nonlinear(node)
        body = self._linear(node["body"])
        each = self._looper(node["iterators"], node.get("filter"))

        def code(env, scale, acc):
            each(env, body, scale, acc)
        return code

    def _looper(self, iterators, condition):
        """each(env, fn, *args): fn(scope, *args) for every binding of the loop variables that passes the
        condition (the same bindings as _bindings, without a generator per level when every
        domain is a declared set or range)."""
        test = None if condition is None else self._fast_value(condition)
        plain = all(it.get("pattern") is None and isinstance(it.get("set"), dict)
                    and it["set"].get("type") == "name" and it["set"].get("name") in self._domains
                    for it in iterators)
        if not plain:
            def each(env, fn, *args):
                for scope in self._bindings(iterators, condition, env):
                    fn(scope, *args)
            return each
        names = [it["var"] for it in iterators]
        domains = [self._domains[it["set"]["name"]].members for it in iterators]
        if len(names) == 1:
            var, members = names[0], domains[0]

            def each(env, fn, *args):
                scope = dict(env)
                for member in members:
                    scope[var] = member
                    if test is None or test(scope):
                        fn(scope, *args)
            return each

        def each(env, fn, *args):
            scope = dict(env)
            for combination in itertools.product(*domains):
                scope.update(zip(names, combination))
                if test is None or test(scope):
                    fn(scope, *args)
        return each

    # ------------------------------------------------------------------------------------------
    # Columns and decision expressions

    def _subscripts(self, node, env):
        # Subscript values are numbers, strings and tuples: already usable as keys.
        return tuple([self._fast_value(i)(env) for i in node.get("indices") or ()])

    def _column(self, node, env):
        key = self._subscripts(node, env)
        column = self._columns_of[node["name"]].get(key)
        if column is None:
            dims = self._dims[node["name"]]
            if len(key) != len(dims):
                raise self._error(f"'{node['name']}' takes {len(dims)} subscript(s), not {len(key)}")
            raise self._error(f"{display_name(node['name'], key)} is outside the index sets of "
                              f"'{node['name']}'")
        return column

    def _dexpr(self, node, env):
        """(terms, constant) of a decision expression at the subscripts of node."""
        return self._dexpr_at(node["name"], self._subscripts(node, env))

    def _dexpr_at(self, name, key):
        found = self._dexprs.get((name, key))
        if found is not None:
            return found
        indices = self._symbols[name][1].get("indices") or []
        if len(key) != len(indices):
            raise self._error(f"'{name}' takes {len(indices)} subscript(s), not {len(key)}")
        for set_name, value in zip(self._dims[name], key):
            self._position(name, set_name, value)
        if self._depth >= _DEXPR_NESTING:
            # Deeper chains are expanded from the bottom up (see _settled), not on the stack.
            raise _Deferred((name, key))
        return self._expand_dexpr(name, key)

    def _expand_dexpr(self, name, key):
        cache_key = (name, key)
        decl = self._symbols[name][1]
        if cache_key in self._expanding:
            raise self._error(f"the decision expression '{name}' refers to itself", decl.get("lineno"))
        inner = {index["var"]: value for index, value in zip(decl.get("indices") or [], key)}
        linear = _Linear()
        used_at, self._line = self._line, decl.get("lineno", self._line)
        self._expanding.add(cache_key)
        self._depth += 1
        try:
            self._expand(decl["expr"], inner, 1.0, linear)
        finally:
            self._depth -= 1
            self._expanding.discard(cache_key)
            self._line = used_at
        self._dexprs[cache_key] = found = (linear.terms, linear.constant)
        return found

    def _settled(self, work):
        """work(), after expanding on an explicit stack the decision expressions nested too deep
        for the interpreter's stack: a chain of hundreds of dexprs is expanded bottom up."""
        while True:
            try:
                return work()
            except _Deferred as deferred:
                self._settle(deferred.key)

    def _settle(self, key):
        stack = [key]
        saved = self._depth, self._expanding, self._line
        try:
            while stack:
                top = stack[-1]
                if top in self._dexprs:
                    stack.pop()
                    continue
                self._depth, self._expanding = 0, set()
                try:
                    self._expand_dexpr(*top)
                except _Deferred as deferred:
                    if deferred.key in stack:
                        name = deferred.key[0]
                        raise self._error(f"the decision expression '{name}' refers to itself",
                                          self._symbols[name][1].get("lineno")) from None
                    stack.append(deferred.key)
        finally:
            self._depth, self._expanding, self._line = saved


class _ModelBuild:
    """The unrolled problem: declarations read into index domains, one column per variable
    instance (with per-element bounds), the objective, one row per constraint instance in its
    family, the decision expressions' table, the base class's problem fields, the loops' bindings,
    and the checks that keep the problem within the size budgets and the solver's number ranges.

    A part of SciPyCSCCodeGenerator, which holds the state these methods fill (see its _reset).
    """

    def _count_nonzeros(self, count):
        self._nonzeros += count
        if self._nonzeros > MAX_NONZEROS:
            raise self._error(f"the model has more than {MAX_NONZEROS:,} non-zero coefficients, more "
                              "than a solver script is built for; solve a smaller instance")

    # ------------------------------------------------------------------------------------------
    # Declarations

    def _read_declarations(self):
        if not isinstance(self.ast, dict):
            raise self._error(f"the compiled model must be a dictionary, not {type(self.ast).__name__}")
        for decl in self.ast.get("declarations") or []:
            self._line = decl.get("lineno")
            kind, name = decl.get("type"), decl.get("name")
            if self._find_decl(name) is not decl:
                continue  # a second declaration of a name: the first one counts
            if kind == "tuple":
                self.tuple_types[name] = [f["name"] for f in decl.get("fields", [])]
            elif kind == "range":
                self._domains[name] = self._range_domain(decl)
            elif kind in ("set", "set_of_tuples"):
                self._domains[name] = self._set_domain(decl)
            elif kind in ("parameter", "dexpr", "dvar"):
                self._dims[name] = [self._index_set(index) for index in decl.get("indices") or []]
            else:
                raise self._at_line(self._unsupported_type_error("declaration", kind))
            self._symbols[name] = (kind, decl)

    def _index_set(self, index):
        set_name = index.get("set")
        if set_name not in self._domains:
            raise self._error(f"index set '{set_name}' is not a declared range or set")
        return set_name

    def _range_domain(self, decl):
        bounds = []
        for computed, written in (("low", "start"), ("high", "end")):
            value = decl.get(computed)
            if value is None:
                value = self._value(decl[written], {})
            if isinstance(value, bool) or not isinstance(value, (int, float)) or value != value \
                    or math.isinf(value) or int(value) != value:
                raise self._error(f"the bounds of range '{decl['name']}' must be integers, not {value!r}")
            bounds.append(int(value))
        return _Domain(low=bounds[0], high=bounds[1])

    def _set_domain(self, decl):
        name = decl["name"]
        if name in self.data_dict:
            items = self.data_dict[name]
        elif "value" in decl:
            items = decl["value"]
        elif decl.get("source") == "expression":
            raise self._error(f"the set '{name}' is too large to compute; solve a smaller instance")
        else:
            items = [self._value(node, {}) for node in decl.get("elements") or []]
        if hasattr(items, "tolist"):
            items = items.tolist()
        if decl["type"] == "set_of_tuples":
            fields = self.tuple_types.get(decl.get("tuple_type"))
            if fields is None:
                raise self._error(f"'{decl.get('tuple_type')}' in the set '{name}' is not a tuple type")
            members = []
            for item in items:
                values = self._normalize_index(item)
                if not isinstance(values, tuple) or len(values) != len(fields):
                    raise self._error(f"a member of the set '{name}' does not have the "
                                      f"{len(fields)} fields of its tuple type")
                members.append(_Row(values, fields))
            return _Domain(members)
        return _Domain([self._normalize_index(item) for item in items])

    # ------------------------------------------------------------------------------------------
    # Variables, objective, constraints

    def _build_variables(self):
        """One column per decision variable instance, in declaration and subscript order."""
        for decl in self.ast.get("declarations") or []:
            if decl.get("type") != "dvar" or self._find_decl(decl.get("name")) is not decl:
                continue
            self._line = decl.get("lineno")
            name, var_type = decl["name"], decl.get("var_type")
            if var_type not in _DOMAINS:
                raise self._at_line(self._unsupported_type_error("variable", var_type))
            low, high, integer = _DOMAINS[var_type]
            bounds = decl.get("bounds")
            per_element = bool(bounds) and any("var" in i for i in decl.get("indices") or [])
            if bounds and not per_element:
                low = max(low, self._bound(bounds["low"], name, "lower"))
                high = min(high, self._bound(bounds["high"], name, "upper"))
            first = len(self.bounds)
            domains = [self._domains[s].members for s in self._dims[name]]
            count = math.prod(map(len, domains))
            if first + count > MAX_COLUMNS:
                raise self._error(f"the variables up to '{name}' make {first + count:,} columns, more than "
                                  f"the {MAX_COLUMNS:,} a solver script is built for; solve a smaller "
                                  "instance")
            texts = [["[" + _subscript_text(m) + "]" for m in members] for members in domains]
            self._first_column[name] = first
            self._name_blocks.append((name, texts, first))
            if per_element:
                self.bounds.extend(self._element_bounds(decl, domains, low, high))
            else:
                self.bounds.extend([(low, high)] * count)
                self._shared_bounds[first] = (low, high)
            self.integrality.extend([integer] * count)
            self._variable_blocks.append((decl, first, count))
            self.var_names = ColumnNames(self._name_blocks)

    def _element_bounds(self, decl, domains, low, high):
        """(low, high) of every element of a variable whose bounds name its indices, in column
        order, within the bounds of its domain."""
        pairs = self._v_element_bounds(decl, low, high)
        if pairs is not None:
            return pairs  # unrolled with arrays
        names = [index.get("var") for index in decl["indices"]]
        bounds, name = decl["bounds"], decl["name"]
        pairs = []
        for key in itertools.product(*domains):
            env = {var: member for var, member in zip(names, key) if var}
            pairs.append((max(low, self._bound(bounds["low"], name, "lower", env)),
                          min(high, self._bound(bounds["high"], name, "upper", env))))
        return pairs

    def _bound(self, node, name, side, env=None):
        value = self._value(node, env or {})
        if isinstance(value, bool) or not isinstance(value, (int, float)) or value != value:
            raise self._error(f"the {side} bound of '{name}' must be a number, not {value!r}")
        if value == (math.inf if side == "lower" else -math.inf):
            raise self._error(f"the {side} bound of '{name}' is {_shown(value)}, which no value "
                              "can meet")
        if math.isfinite(value) and abs(value) >= BOUND_LIMIT:
            raise self._error(f"the {side} bound of '{name}' is {value:g}; {_BOUND_RANGE}")
        return value

    def _build_objective(self):
        objective = self.ast.get("objective")
        self.c = [0.0] * len(self.var_names)
        if not objective:
            return
        self._line = objective.get("lineno")
        sense = {"minimize": 1, "maximize": -1}.get(objective.get("sense"))
        if sense is None:
            raise self._at_line(self._unsupported_type_error("objective sense", objective.get("sense")))
        label = objective.get("label")
        vectorised = self._v_objective(objective["expr"])
        if vectorised is not None:
            linear, count = vectorised
            self._set_objective_columns(linear.cols, linear.coefs)
            self._count_nonzeros(count)
            self._objective = (sense, label, self._line, linear)
            return
        linear = _Linear()
        self._settled(lambda: self._expand(objective["expr"], {}, 1.0, linear))
        what = f"the objective '{label}'" if label else "the objective"
        for column, coefficient in linear.terms.items():
            if not -BOUND_LIMIT < coefficient < BOUND_LIMIT:
                raise self._error(f"the coefficient of {self.var_names[column]} in {what} is "
                                  f"{_shown(coefficient)}; the solver takes coefficients of "
                                  f"{BOUND_LIMIT:g} or more as infinite")
            self.c[column] = coefficient
        if not math.isfinite(linear.constant):
            raise self._error(f"the constant term of {what} is {_shown(linear.constant)}, so no "
                              "solution has a finite objective")
        self._count_nonzeros(len(linear.terms))
        self._objective = (sense, label, self._line, linear)

    def _set_objective_columns(self, cols, coefs):
        """The dense objective c from the array objective (a list, or an array in a compact build)."""
        import numpy as np

        c = np.zeros(len(self.bounds))
        c[cols] = coefs
        self.c = c if self._compact else c.tolist()

    def _build_constraints(self):
        self._collect(self.ast.get("constraints") or [], {})

    def _collect(self, items, env):
        for item in items:
            kind = item.get("type")
            self._line = item.get("lineno", self._line)
            if kind in ("constraint", "forall") and not env and not self._index and self._v_item(item):
                continue  # unrolled with arrays
            if kind == "constraint":
                self._add_row(item, env)
            elif kind == "forall":
                line, index = self._line, self._index
                iterators = item["iterators"]
                for inner in self._bindings(iterators, item.get("filter"), env):
                    self._index = index + [inner[it["var"]] if it.get("pattern") is None
                                           else tuple(inner[p] for p in it["pattern"])
                                           for it in iterators]
                    self._collect(item["body"], inner)
                    self._line = line
                self._index = index
            elif kind == "block":
                self._collect(item["body"], env)
            else:
                raise self._at_line(self._unsupported_type_error("constraint", kind))

    def _add_row(self, item, env):
        op = item.get("op")
        if op not in ("<=", ">=", "=="):
            raise self._at_line(self._unsupported_operator_error("constraint", op))
        linear = _Linear()

        def expand():
            linear.terms.clear()
            linear.constant = 0.0
            self._expand(item["left"], env, 1.0, linear)
            self._expand(item["right"], env, -1.0, linear)
        self._settled(expand)
        family = self._family_of.get(id(item))
        if family is None:
            family = {"label": item.get("label"), "line": item.get("lineno"), "op": op, "rows": []}
            self._family_of[id(item)] = family
            self._families.append(family)
        name = self._row_name(family)
        flat = []
        for column, coefficient in linear.terms.items():
            if coefficient != 0:
                if not -COEFFICIENT_LIMIT < coefficient < COEFFICIENT_LIMIT:
                    raise self._error(f"the coefficient of {self.var_names[column]} in constraint "
                                      f"{name} is {_shown(coefficient)}; the solver accepts "
                                      f"coefficients below {COEFFICIENT_LIMIT:g} in size")
                flat += (column, coefficient)
        rhs = -linear.constant
        if rhs != rhs:
            raise self._error(f"the right-hand side of constraint {name} is not a number (NaN)")
        if rhs == math.inf and op != "<=" or rhs == -math.inf and op != ">=":
            raise self._error(f"the right-hand side of constraint {name} is {_shown(rhs)}, "
                              "which no solution can meet")
        if math.isfinite(rhs) and abs(rhs) >= BOUND_LIMIT:
            raise self._error(f"the right-hand side of constraint {name} is {rhs:g}; {_BOUND_RANGE}")
        self._row_count += 1
        if self._row_count > MAX_ROWS:
            raise self._error(f"the model has more than {MAX_ROWS:,} constraint rows, more than a "
                              "solver script is built for; solve a smaller instance")
        self._count_nonzeros(len(flat) // 2)
        family["rows"].append((name, list(self._index), rhs, flat))

    def _row_name(self, family):
        """Unique display name of the next row of a family: its label, or c<line> for an
        unlabelled constraint, with the members of the enclosing loops as subscripts."""
        name = display_name(self._row_base(family), self._index)
        if name in self._row_names:
            k = 2
            while f"{name}#{k}" in self._row_names:
                k += 1
            name = f"{name}#{k}"
        self._row_names.add(name)
        return name

    def _row_base(self, family):
        line = family["line"]
        return family["label"] or (f"c{line}" if isinstance(line, int) else f"c{len(self._families)}")

    def _build_dexprs(self):
        """Every instance of every decision expression, for the script's DEXPRS table."""
        for decl in self.ast.get("declarations") or []:
            if decl.get("type") != "dexpr" or self._find_decl(decl.get("name")) is not decl:
                continue
            name = decl["name"]
            self._line = decl.get("lineno")
            domains = [self._domains[s].members for s in self._dims[name]]
            for key in itertools.product(*domains):
                terms, constant = self._settled(lambda: self._dexpr_at(name, key))
                shown = display_name(name, key)
                if not math.isfinite(constant) or any(not math.isfinite(c) for c in terms.values()):
                    raise self._error(f"the decision expression {shown} has a coefficient or constant "
                                      "that is not a finite number", decl.get("lineno"))
                flat = []
                for column, coefficient in terms.items():
                    if coefficient != 0:
                        flat += (column, coefficient)
                self._count_nonzeros(len(flat) // 2)
                self._dexpr_rows.append([shown, constant, flat])

    def _fill_base_fields(self):
        """The base class's problem fields (var_indices, A_ub, b_ub, A_eq, b_eq), made when one
        of them is first read: the script needs none of them."""
        self._base_fields = None
        for field in _BASE_FIELDS:
            setattr(self, field, (_LaterMap if field == "var_indices" else _LaterList)(self, field))

    def _base_field(self, field):
        if self._base_fields is None:
            for name in _BASE_FIELDS:
                setattr(self, name, {} if name == "var_indices" else [])
            self._fill_base_fields_now()
            self._base_fields = {name: getattr(self, name) for name in _BASE_FIELDS}
        return self._base_fields[field]

    def _fill_base_fields_now(self):
        """The base class's problem fields, in the linear-programming routine's own form: every
        '>=' row negated into A_ub @ x <= b_ub, every '==' row in A_eq @ x == b_eq."""
        for decl, first, count in self._variable_blocks:
            name = decl["name"]
            keys = itertools.product(*[self._domains[s].members for s in self._dims[name]])
            self.var_indices.update(zip(zip(itertools.repeat(name), keys), range(first, first + count)))
        for family in self._families:
            op = family["op"]
            rows = family["rows"]
            if hasattr(rows, "indptr"):
                self._fill_block(op, rows)
                continue
            for _, _, rhs, flat in rows:
                if op == "==":
                    self.A_eq.append(list(zip(flat[0::2], flat[1::2])))
                    self.b_eq.append(rhs)
                elif op == "<=":
                    self.A_ub.append(list(zip(flat[0::2], flat[1::2])))
                    self.b_ub.append(rhs)
                else:
                    self.A_ub.append(list(zip(flat[0::2], map(operator.neg, flat[1::2]))))
                    self.b_ub.append(-rhs)

    def _fill_block(self, op, rows):
        """_fill_base_fields for the rows of a family unrolled as arrays."""
        coefs = rows.coefs if op != ">=" else -rows.coefs
        cols, coefs, bounds = rows.cols.tolist(), coefs.tolist(), rows.indptr.tolist()
        rhs = rows.rhs.tolist() if op != ">=" else (-rows.rhs).tolist()
        matrix, right = (self.A_eq, self.b_eq) if op == "==" else (self.A_ub, self.b_ub)
        matrix.extend(list(zip(cols[start:end], coefs[start:end])) for start, end in zip(bounds, bounds[1:]))
        right.extend(rhs)

    # ------------------------------------------------------------------------------------------
    # Loops

    def _bindings(self, iterators, condition, env):
        """Every assignment of the loop variables that passes the condition, in order.

        One scope dictionary is updated in place and yielded for each assignment; a caller uses
        it before asking for the next one and keeps no reference to it.
        """
        scope = dict(env)
        last = len(iterators)

        def extend(k):
            if k == last:
                if condition is None or self._value(condition, scope):
                    yield scope
                return
            iterator = iterators[k]
            pattern = iterator.get("pattern")
            for member in self._iteration_domain(iterator["set"], scope):
                if pattern is None:
                    scope[iterator["var"]] = member
                elif isinstance(member, tuple) and len(member) == len(pattern):
                    scope.update(zip(pattern, member))
                else:
                    raise self._error(f"the pattern <{', '.join(pattern)}> does not match the "
                                      f"member {_subscript_text(member)}")
                yield from extend(k + 1)
        return extend(0)

    def _iteration_domain(self, node, env):
        kind = node.get("type")
        if kind == "range_expr":
            low, high = self._value(node["low"], env), self._value(node["high"], env)
            for bound in (low, high):
                if isinstance(bound, bool) or not isinstance(bound, (int, float)) \
                        or bound != bound or math.isinf(bound) or int(bound) != bound:
                    raise self._error(f"a loop range needs integer bounds, not {bound!r}")
            return range(int(low), int(high) + 1)
        if kind == "name" and node["name"] in self._domains:
            return self._domains[node["name"]].members
        raise self._at_line(self._unsupported_type_error("loop domain", kind))


class _ScriptWriter:
    """The solver script from the built problem: its header, the helper and solve templates, and
    the tables (sets, variables, objective, rows, decision expressions) written as JSON lines; and
    the same tables as values for a namespace built without the script's text.

    A part of SciPyCSCCodeGenerator, which holds the built problem these methods read.
    """

    def _tables(self, whole=True):
        """The script's tables as they are after its build (tuples as the lists JSON makes);
        not whole, only those that do not grow with the columns and rows."""
        if self._objective:
            sense, label, _, linear = self._objective
            constant = float(linear.constant)
        else:
            sense, label, constant, linear = 0, None, 0.0, None
        tables = {
            "SENSE": sense, "OBJECTIVE_NAME": str(label) if label else None,
            "OBJECTIVE_CONSTANT": constant, "DEXPRS": [list(entry) for entry in self._dexpr_rows],
            "TIME_LIMIT": float(self.time_limit),
        }
        if not whole:
            return tables
        columns = []
        for decl, first, count in self._variable_blocks:
            name = decl["name"]
            domains = [[_plain(m) for m in self._domains[s].members] for s in self._dims[name]]
            columns.extend([name, list(key)] for key in itertools.product(*domains))
        rows, info = [], []
        for family in self._families:
            op, label, line = family["op"], family["label"], family["line"]
            label = str(label) if label else None
            line = line if _is_int(line) else None
            for name, index, rhs, flat in family["rows"]:
                rows.append([-math.inf if op == "<=" else rhs, math.inf if op == ">=" else rhs, flat])
                info.append([name, label, line, _plain(index)])
        objective = _objective_flat(linear) if linear is not None else []
        tables.update({
            "NAMES": list(self.var_names), "COLUMNS": columns,
            "LOWER": [low for low, _ in self.bounds], "UPPER": [high for _, high in self.bounds],
            "INTEGER": self.integrality, "OBJECTIVE": objective, "ROWS": rows, "ROW_INFO": info,
        })
        return tables

    def _compact_tables(self):
        """The same tables in compact form (numpy at hand): names and keys of the columns made
        when asked, bounds and kinds as arrays, the objective as one array of column, coefficient
        pairs, the rows as CSR arrays (see vormo.sparsetables)."""
        import numpy as np

        from .sparsetables import ColumnKeys, ColumnNames, RowTable

        n = len(self.bounds)
        lower, upper = np.empty(n), np.empty(n)
        integer = array.array("B", bytes(n))  # iterates as ints, reads as an array without a copy
        keys = []
        for decl, first, count in self._variable_blocks:
            name = decl["name"]
            keys.append((name, [[_plain(m) for m in self._domains[s].members] for s in self._dims[name]],
                         first))
            shared = self._shared_bounds.get(first)
            if shared is not None:
                lower[first:first + count], upper[first:first + count] = shared
            else:
                block = self.bounds[first:first + count]
                lower[first:first + count] = [low for low, _ in block]
                upper[first:first + count] = [high for _, high in block]
            if count and self.integrality[first]:
                integer[first:first + count] = array.array("B", b"\x01" * count)
        lows, highs, datas, indices, counts, info = [], [], [], [], [], []
        for family in self._families:
            op, label, line = family["op"], family["label"], family["line"]
            label = str(label) if label else None
            line = line if _is_int(line) else None
            rows = family["rows"]
            if hasattr(rows, "indptr"):  # loop members listed plain already
                rhs, names, members = rows.rhs, rows.names, rows.index
                counts.append(np.diff(rows.indptr))
                indices.append(rows.cols)
                datas.append(rows.coefs)
            else:
                rhs = np.array([row[2] for row in rows], dtype=float)
                names, members = [row[0] for row in rows], [_plain(row[1]) for row in rows]
                counts.append(np.array([len(row[3]) // 2 for row in rows], dtype=np.int64))
                flat = np.fromiter(itertools.chain.from_iterable(row[3] for row in rows), float,
                                   int(counts[-1].sum()) * 2)
                indices.append(flat[0::2].astype(np.int64))
                datas.append(flat[1::2])
            lows.append(np.full(len(rhs), -math.inf) if op == "<=" else rhs)
            highs.append(np.full(len(rhs), math.inf) if op == ">=" else rhs)
            info.extend([name, label, line, index] for name, index in zip(names, members))

        def joined(parts, dtype):
            return np.concatenate(parts).astype(dtype, copy=False) if parts else np.zeros(0, dtype)

        # 32-bit positions whenever they fit: what the solver takes as it is, without a copy.
        nonzeros = int(sum(int(c.sum()) for c in counts))
        position = np.int32 if max(nonzeros, len(self.var_names)) < 2**31 - 1 else np.int64
        indptr = np.zeros(len(info) + 1, position)
        np.cumsum(joined(counts, np.int64), out=indptr[1:])
        tables = self._tables(whole=False)
        objective = np.zeros(0)
        if self._objective:
            linear = self._objective[3]
            if isinstance(linear, _Linear):
                flat = [v for column, coefficient in linear.terms.items() if coefficient != 0
                        for v in (column, coefficient)]
                objective = np.array(flat, dtype=float)
            else:
                objective = np.empty(2 * len(linear.cols))
                objective[0::2], objective[1::2] = linear.cols, linear.coefs
        tables.update({
            "NAMES": ColumnNames(self._name_blocks), "COLUMNS": ColumnKeys(keys),
            "LOWER": lower, "UPPER": upper, "INTEGER": integer, "OBJECTIVE": objective,
            "ROWS": RowTable(joined(lows, float), joined(highs, float), joined(datas, float),
                             joined(indices, position), indptr),
            "ROW_INFO": info,
        })
        return tables

    # ------------------------------------------------------------------------------------------
    # Script text

    def _write_script(self):
        add = self._add_code_line
        n_rows = sum(len(family["rows"]) for family in self._families)
        nonzeros = sum(_family_nonzeros(family) for family in self._families)
        title = repr(self.model_name) if self.model_name is not None else "(unnamed)"
        if self._objective:
            sense, label, _, _ = self._objective
            goal = f"{'maximize' if sense < 0 else 'minimize'} {repr(label) if label else 'the objective'}"
        else:
            goal = "find a feasible point (no objective)"
        add(f"# Solver script for the Vormo model {title}")
        add(f"# Goal: {goal} over {len(self.var_names)} variables, subject to "
            f"{n_rows} constraint rows with {nonzeros} non-zero coefficients.")
        for line in _SCRIPT_HELPERS.split("\n"):
            add(line)
        add(f"TIME_LIMIT = {_number_text(float(self.time_limit))}  # seconds")
        add("")
        self._write_variables()
        self._write_objective()
        self._write_rows()
        self._write_dexprs()
        for line in _SCRIPT_SOLVE.replace("RESULTS", self.results_varname).split("\n"):
            add(line)

    # The bulky tables (names, objective, rows) are written as JSON text, one entry per line,
    # inside raw triple-quoted strings that json.loads reads: the script stays readable line by
    # line and loads in time linear in its size, where Python literals of that size would make the
    # interpreter's compiler the slowest part of a run. JSON written with ensure_ascii holds no
    # line break, no non-ASCII character and no unescaped '"', so no text can end the string.
    # Terms are flat [column, coefficient, column, coefficient, ...] lists: one list per row
    # rather than one per term keeps the loading cheap.

    def _json_call(self, prefix, lines, suffix):
        """Write prefix, the JSON list of the entry lines read by json.loads, then suffix."""
        add = self._add_code_line
        if not lines:
            add(f"{prefix}[]{suffix}")
            return
        add(prefix + 'json.loads(r"""[')
        for line in lines[:-1]:
            add(line + ",")
        add(lines[-1])
        add(']""")' + suffix)

    def _json(self, value, what, line):
        try:
            return json.dumps(value, allow_nan=False)
        except (TypeError, ValueError):
            raise self._error(f"{what} cannot be written into the solver script: a value in it is "
                              "not a finite number, a string or a tuple of them", line) from None

    def _write_variables(self):
        add = self._add_code_line
        add("# Index sets of the variables, members in order (a tuple is the list of its fields).")
        written = set()
        for decl, _, _ in self._variable_blocks:
            for set_name in self._dims[decl["name"]]:
                if set_name in written:
                    continue
                written.add(set_name)
                domain = self._domains[set_name]
                if domain.positions is None:
                    add(f"SETS[{set_name!r}] = list(range({domain.low}, {domain.high + 1}))")
                    continue
                members = list(domain.members)
                line = self._symbols.get(set_name, (None, {}))[1].get("lineno")
                self._json_call(f"SETS[{set_name!r}] = ", [
                    self._json(members[k:k + _MEMBERS_PER_LINE], f"the set '{set_name}'", line)[1:-1]
                    for k in range(0, len(members), _MEMBERS_PER_LINE)], "")
        add("")
        add("# Decision variables, in column order: per declaration its index sets, the names of its")
        add("# columns, the bounds they share (or lists of one bound per column) and their kind")
        add("# (1 integer, 0 continuous).")
        for decl, first, count in self._variable_blocks:
            name = decl["name"]
            columns = f"column {first}" if count == 1 else f"columns {first} to {first + count - 1}"
            add(f"# {name!r}: {decl.get('var_type')!r}, model line {_line_text(decl.get('lineno'))}, "
                f"{columns}")
            low, high = self._bounds_text(first, count)
            kind = self.integrality[first] if count else 0
            # One name a line; '", "' occurs in JSON only between two strings of a list.
            names = json.dumps(self.var_names[first:first + count])[1:-1].replace('", "', '",\n"')
            self._json_call(f"add_variables({name!r}, {self._dims[name]!r}, ", [names] if count else [],
                            f", {low}, {high}, {kind})")
            add("")

    def _bounds_text(self, first, count):
        """Lower and upper bound of a block of columns as script text: two numbers when the
        columns share them, else two lists (json.loads), one bound per column."""
        block = self.bounds[first:first + count] or [(0, 0)]
        if all(pair == block[0] for pair in block):
            return _number_text(block[0][0]), _number_text(block[0][1])
        return tuple("json.loads(" + repr("[" + ", ".join(_json_number(pair[k]) for pair in block) + "]")
                     + ")" for k in (0, 1))

    def _write_objective(self):
        add = self._add_code_line
        if self._objective:
            sense, label, line, linear = self._objective
            name = repr(label) if label else "(unlabelled)"
            add(f"# Objective {name}, model line {_line_text(line)}: "
                f"{'maximize' if sense < 0 else 'minimize'} the sum of coefficient times column,")
            add("# listed as column, coefficient pairs, plus the constant.")
            add(f"SENSE = {sense}")
            add(f"OBJECTIVE_NAME = {_label_text(label)}")
            add(f"OBJECTIVE_CONSTANT = {_number_text(float(linear.constant))}")
            flat = linear
        else:
            add("# No objective: any point that satisfies the constraints will do.")
            add("SENSE = 0")
            add("OBJECTIVE_NAME = None")
            add("OBJECTIVE_CONSTANT = 0.0")
            flat = None
        if flat is None:
            items = []
        elif hasattr(flat, "cols"):
            items = pair_texts(flat.cols, flat.coefs)
        else:
            # One JSON text cut into lines of _PAIRS_PER_LINE pairs (numbers hold no ", ").
            flat = _objective_flat(flat)
            items = json.dumps(flat)[1:-1].split(", ") if flat else []
        step = 2 * _PAIRS_PER_LINE
        self._json_call("OBJECTIVE = ", [", ".join(items[k:k + step]) for k in range(0, len(items), step)], "")
        add("")

    def _write_rows(self):
        add = self._add_code_line
        add("# Constraint rows, one call per constraint. Each row is [name, members of the enclosing")
        add("# loops, right-hand side, [column, coefficient, column, coefficient, ...]]; the sense")
        add("# says whether the sum is <=, >= or == the right-hand side.")
        dumps = json.dumps
        for family in self._families:
            label, line = family["label"], family["line"]
            add("")
            add(f"# Constraint {repr(label) if label else '(unlabelled)'}, model line {_line_text(line)}: "
                f"{len(family['rows'])} row(s)")
            rows = family["rows"]
            lines = rows.json_lines() if hasattr(rows, "json_lines") else [dumps(row) for row in rows]
            self._json_call(f"add_rows({_label_text(label)}, {line if _is_int(line) else None}, "
                            f"{family['op']!r}, ", lines, ")")
        add("")

    def _write_dexprs(self):
        add = self._add_code_line
        add("# Decision expressions, one entry per instance: [name, constant, [column, coefficient, ...]].")
        self._json_call("DEXPRS = ", [json.dumps(entry) for entry in self._dexpr_rows], "")
        add("")


class SciPyCSCCodeGenerator(_ModelBuild, VectorUnroll, _LinearCompiler, _DataValues, _ScriptWriter,
                            SciPyCodeGeneratorBase):
    """Concrete generator for the mode ``"csc"``: a standalone sparse SciPy script.

    ``model_name`` (optional) names the model in the script's header; ``time_limit`` (seconds)
    is the solver's time limit written into the script.

    The work is shared by its parts: _ModelBuild unrolls the model into columns and rows,
    _LinearCompiler compiles the linear expressions, _DataValues evaluates expressions of data and
    _ScriptWriter writes the script. This class owns the settings, the state (_reset), the order
    of the work and the findings' line numbers.
    """

    def __init__(self, ast, data_dict=None, model_name=None, time_limit=DEFAULT_TIME_LIMIT):
        super().__init__(ast, data_dict)
        self.model_name = model_name
        self.time_limit = time_limit

    # ------------------------------------------------------------------------------------------
    # Driver

    def generate_code(self):
        """Text of the solver script for the model."""
        self._check_settings()
        self._build()
        self._fill_base_fields()
        self._write_script()
        return "\n".join(self.scipy_code_lines) + "\n"

    def build_namespace(self, run_name="vormo_problem"):
        """The namespace the solver script would hold after building under run_name, made
        without writing and reading the script's text: its tables (NAMES, COLUMNS, ROWS, ...)
        and its functions (solve() among them). The runner's child solves from it."""
        self._check_settings()
        compact = self._v_ready() is not None
        self._build(compact=compact)
        namespace = {"__name__": run_name}
        exec(compile(_SCRIPT_HELPERS, "<solver script helpers>", "exec"), namespace)
        namespace.update(self._compact_tables() if compact else self._tables())
        exec(compile(_SCRIPT_SOLVE.replace("RESULTS", self.results_varname), "<solver script>", "exec"),
             namespace)
        return namespace

    def _check_settings(self):
        name = self.results_varname
        if not (isinstance(name, str) and name.isidentifier() and not keyword.iskeyword(name)):
            raise ValueError(f"results_varname must be a Python identifier, not {name!r}")
        if name in script_names():
            raise ValueError(f"results_varname {name!r} is a name the solver script itself uses")
        limit = self.time_limit
        if isinstance(limit, bool) or not isinstance(limit, (int, float)) or not limit > 0 \
                or limit == math.inf:
            raise ValueError(f"time_limit must be a positive number of seconds, not {limit!r}")

    def _build(self, compact=False):
        self._reset()
        self._compact = compact   # a build for a namespace of compact tables
        self._read_declarations()
        self._build_variables()
        self._build_objective()
        self._build_constraints()
        self._build_dexprs()

    def _reset(self):
        self.scipy_code_lines = []
        self.indent_level = 0
        for field in ("var_names", "bounds", "c", "A_ub", "b_ub", "A_eq", "b_eq", "integrality"):
            setattr(self, field, [])
        self.var_indices = {}
        self.tuple_types = {}
        self._line = None
        self._symbols = {}        # name -> (kind, declaration)
        self._domains = {}        # set or range name -> _Domain
        self._dims = {}           # array name -> [set names]
        self._values = {}         # parameter name -> whole value (nested lists or scalar)
        self._generic = {}        # (parameter name, key) -> value computed here
        self._dexprs = {}         # (dexpr name, key) -> (terms, constant)
        self._expanding = set()   # decision expressions being expanded, innermost last
        self._depth = 0           # decision expressions expanded inside one another
        self._has_vars = {}       # id(node) -> bool
        self._linear_code = {}    # id(node) -> compiled linear expression
        self._value_code = {}     # id(node) -> compiled value of data
        self._columns_of = _ColumnMaps(self)  # variable name -> {subscripts: column}, made when asked
        self._first_column = {}   # variable name -> its first column
        self._name_blocks = []    # (variable name, [subscript texts per index set], first column)
        self._shared_bounds = {}  # first column of a block -> (low, high) all its columns share
        self._v_member_arrays = {}  # set name -> its members as an array (array unroll)
        self._v_parameters = {}   # parameter name -> its values as an array, or None
        self._vector_items = 0    # constraint items and objectives unrolled with arrays
        self._compact = False
        self._range_tables = {}   # range name -> {member: position}
        self._variable_blocks = []  # (declaration, first column, column count)
        self._families = []       # constraint families in order of first row
        self._family_of = {}      # id(constraint) -> family record
        self._row_names = set()   # names given to rows so far
        self._row_count = 0
        self._nonzeros = 0
        self._index = []          # members bound by the enclosing forall loops
        self._objective = None    # (sense, label, line, _Linear)
        self._dexpr_rows = []     # [name, constant, terms] per decision expression instance

    def _error(self, message, line=None):
        return SemanticError(message, self._line if line is None else line)

    def _at_line(self, error, line=None):
        """The same message as error, with the line of the statement at hand."""
        return self._error(error.message, line)


_BASE_FIELDS = ("var_indices", "A_ub", "b_ub", "A_eq", "b_eq")


class _LaterList(Sequence):
    """A list field of the base class, made (with its siblings) when first read."""

    def __init__(self, generator, field):
        self._generator, self._field = generator, field

    def _list(self):
        return self._generator._base_field(self._field)

    def __len__(self):
        return len(self._list())

    def __getitem__(self, k):
        return self._list()[k]

    def __iter__(self):
        return iter(self._list())

    def __eq__(self, other):
        return self._list() == (list(other) if isinstance(other, Sequence) else other)

    __hash__ = None

    def __repr__(self):
        return repr(self._list())


class _LaterMap(Mapping):
    """The base class's var_indices, made (with its siblings) when first read."""

    def __init__(self, generator, field):
        self._generator, self._field = generator, field

    def _dict(self):
        return self._generator._base_field(self._field)

    def __getitem__(self, key):
        return self._dict()[key]

    def __iter__(self):
        return iter(self._dict())

    def __len__(self):
        return len(self._dict())

    def __repr__(self):
        return repr(self._dict())


class _ColumnMaps(dict):
    """variable name -> {subscripts: column}, each map made when first asked for (the closure
    unroll's lookups; the array unroll computes columns from positions and needs none)."""

    def __init__(self, generator):
        super().__init__()
        self._generator = generator

    def __missing__(self, name):
        generator = self._generator
        if name not in generator._first_column:
            raise KeyError(name)
        first = generator._first_column[name]
        domains = [generator._domains[s].members for s in generator._dims[name]]
        count = math.prod(map(len, domains))
        columns = self[name] = dict(zip(itertools.product(*domains), range(first, first + count)))
        return columns


def _objective_flat(linear):
    """[column, coefficient, ...] of the objective's non-zero terms, in order."""
    cols = getattr(linear, "cols", None)
    if cols is not None:  # unrolled as arrays: no zero among the coefficients
        flat = [None] * (2 * len(cols))
        flat[0::2], flat[1::2] = cols.tolist(), linear.coefs.tolist()
        return flat
    flat = []
    for column, coefficient in linear.terms.items():
        if coefficient != 0:
            flat += (column, coefficient)
    return flat


def _family_nonzeros(family):
    rows = family["rows"]
    found = getattr(rows, "nonzeros", None)
    if found is not None:
        return found
    return sum(len(row[3]) for row in rows) // 2


def _plain(value):
    """value with every tuple as a list, as JSON gives it back."""
    if isinstance(value, (tuple, list)):
        return [_plain(v) for v in value]
    return value


def _is_int(value):
    return isinstance(value, int) and not isinstance(value, bool)


def _label_text(label):
    return repr(str(label)) if label else "None"


def script_names():
    """Names the solver script defines or uses itself; the result variable must be none of them."""
    global _SCRIPT_NAMES
    if _SCRIPT_NAMES is None:
        import ast

        names = set(_TABLE_NAMES)
        for node in ast.walk(ast.parse(_SCRIPT_HELPERS + _SCRIPT_SOLVE)):
            if isinstance(node, ast.Name):
                names.add(node.id)
            elif isinstance(node, (ast.FunctionDef, ast.ClassDef)):
                names.add(node.name)
            elif isinstance(node, ast.arg):
                names.add(node.arg)
            elif isinstance(node, ast.alias):
                names.add((node.asname or node.name).split(".")[0])
        names.discard("RESULTS")
        _SCRIPT_NAMES = frozenset(names)
    return _SCRIPT_NAMES


_SCRIPT_NAMES = None
# The tables a built script holds in its namespace.
_TABLE_NAMES = ("NAMES", "COLUMNS", "LOWER", "UPPER", "INTEGER", "SENSE", "OBJECTIVE_NAME",
                "OBJECTIVE_CONSTANT", "OBJECTIVE", "ROWS", "ROW_INFO", "DEXPRS", "TIME_LIMIT", "SETS")

# Script text before the model's tables: what the script does, imports and the two table helpers.
_SCRIPT_HELPERS = '''# Run as `python <this file>`, it assembles the problem into sparse matrices, solves it with
# scipy.optimize.milp (HiGHS) and prints one JSON object with the status, the objective (in the
# model's own sense) and the non-zero variable values. Run under another name, e.g.
# runpy.run_path(path, run_name="problem"), it only builds these tables and solves nothing:
#   NAMES, COLUMNS, LOWER, UPPER, INTEGER  per column: display name, [variable, [subscripts]],
#                                          bounds, 1 for an integer column
#   SENSE                                  1 minimise, -1 maximise, 0 no objective
#   OBJECTIVE_NAME, OBJECTIVE_CONSTANT     the objective's label and constant term
#   OBJECTIVE                              [column, coefficient, ...] in the model's own sense
#   ROWS                                   per row [lower, upper, [column, coefficient, ...]]
#   ROW_INFO                               per row [name, label, model line, loop members]
#   DEXPRS                                 per decision expression [name, constant, [column, ...]]
#   TIME_LIMIT                             the solver's time limit in seconds
import itertools
import json
import math

INF = math.inf
NAMES, COLUMNS, LOWER, UPPER, INTEGER = [], [], [], [], []
ROWS, ROW_INFO, DEXPRS = [], [], []
SETS = {}


def add_variables(name, sets, names, lower, upper, integer):
    """Columns of one declaration, one per member of the product of its index sets, in order."""
    NAMES.extend(names)
    COLUMNS.extend([name, list(key)] for key in itertools.product(*[SETS[s] for s in sets]))
    LOWER.extend(lower if isinstance(lower, list) else [lower] * len(names))
    UPPER.extend(upper if isinstance(upper, list) else [upper] * len(names))
    INTEGER.extend([integer] * len(names))


def add_rows(label, line, sense, rows):
    """Rows of one constraint: [name, loop members, right-hand side, [column, coefficient, ...]]."""
    for name, members, rhs, terms in rows:
        ROWS.append([-INF if sense == "<=" else rhs, INF if sense == ">=" else rhs, terms])
        ROW_INFO.append([name, label, line, members])

'''

# Script text after the tables: the solve, and the report as JSON when run as a program. RESULTS
# is replaced by the name of the result variable.
_SCRIPT_SOLVE = '''
def solve():
    """Solve with scipy.optimize.milp (HiGHS); return the report and the solver's result."""
    import numpy as np
    from scipy.optimize import Bounds, LinearConstraint, milp
    from scipy.sparse import csc_array, csr_array

    n = len(NAMES)
    lower, upper, kinds = LOWER, UPPER, INTEGER
    if n == 0:
        # milp needs at least one column: a model without variables gets one fixed at zero.
        n, lower, upper, kinds = 1, [0.0], [0.0], [0]
    c = np.zeros(n)
    np.add.at(c, np.asarray(OBJECTIVE[0::2], dtype=np.int64), np.asarray(OBJECTIVE[1::2], dtype=float))
    bounds = Bounds(np.array(lower, dtype=float), np.array(upper, dtype=float))
    integrality = np.array(kinds, dtype=np.uint8)
    constraints = []
    if ROWS:
        arrays = getattr(ROWS, "csr", None)  # rows held as arrays already (a compact build)
        if arrays is None:
            counts = np.fromiter((len(terms) // 2 for _, _, terms in ROWS), np.int64, len(ROWS))
            flat = np.fromiter(itertools.chain.from_iterable(terms for _, _, terms in ROWS), float,
                               int(counts.sum()) * 2)
            starts = np.concatenate(([0], np.cumsum(counts)))
            arrays = (flat[1::2], flat[0::2].astype(np.int64), starts)
            row_lower = np.array([row[0] for row in ROWS], dtype=float)
            row_upper = np.array([row[1] for row in ROWS], dtype=float)
        else:
            row_lower, row_upper = ROWS.lower, ROWS.upper
        # Rows come row by row; HiGHS takes the matrix column by column.
        A = csc_array(csr_array(arrays, shape=(len(ROWS), n)))
        constraints.append(LinearConstraint(A, row_lower, row_upper))
    try:
        RESULTS = milp(SENSE * c, integrality=integrality, bounds=bounds, constraints=constraints,
                       options={"time_limit": TIME_LIMIT})
    except ValueError as error:  # a problem the solver's interface refuses outright
        return {"status": "error", "objective": None, "variables": {}, "message": str(error)}, None

    def feasibility():
        return milp(np.zeros(n), integrality=integrality, bounds=bounds, constraints=constraints,
                    options={"time_limit": TIME_LIMIT})

    return solve_report(RESULTS, feasibility), RESULTS


def solve_report(RESULTS, feasibility):
    """The report of a solver result with the fields of scipy.optimize.milp's (status, message,
    x, fun of the minimised SENSE * objective); feasibility() solves the problem without its
    objective, for when HiGHS cannot tell an unbounded problem from an infeasible one."""
    status = {0: "optimal", 1: "time_limit", 2: "infeasible", 3: "unbounded"}.get(RESULTS.status, "error")
    message = RESULTS.message
    if "Model error" in message:
        # HiGHS refused the problem (a coefficient or bound out of its range): that says nothing
        # about feasibility.
        status = "error"
    elif RESULTS.status == 4 and "unbounded or infeasible" in message:
        # HiGHS could not tell the two apart; the same problem without its objective can.
        status = {0: "unbounded", 2: "infeasible"}.get(feasibility().status, status)
    objective = None
    variables = {}
    if RESULTS.x is not None:
        if SENSE:
            objective = float(SENSE * RESULTS.fun + OBJECTIVE_CONSTANT)
            if not math.isfinite(objective):
                status, objective = "error", None
                message = "the objective at the solver's point is not a finite number"
        for name, integer, value in zip(NAMES, INTEGER, RESULTS.x.tolist()):
            value = int(round(value)) if integer else value
            if abs(value) > 1e-9:
                variables[name] = value
    report = {"status": status, "objective": objective, "variables": variables}
    if status != "optimal":
        report["message"] = message
    return report


if __name__ == "__main__":
    print(json.dumps(solve()[0]))'''
