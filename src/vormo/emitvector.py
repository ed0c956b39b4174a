"""Array unroll of the commonest model shapes for the sparse solver-script generator.

A constraint family ``forall(i in I, j in J: filter) label: lhs <= rhs`` (foralls nested one
inside the other included) and the objective are unrolled here in one go with numpy whenever
they are built from what arrays express directly: sums over products of declared sets, of
constant ranges and of tuple sets (patterns included), with or without a filter; coefficients
that are literals, loop variables and parameters (subscripted by loop variables, by offsets of
them, or by any expression of data) joined by + - * / and unary minus; filters of comparisons and
logical operators; and variables subscripted the same way.

The outcome is the same as the closure unroll of ``emitsparse`` to the last bit: the same rows in
the same order, the same terms in each row in the same order, the same coefficients (every product
and sum is taken in the same order on the same IEEE doubles) and the same names. Whatever this
module cannot reproduce exactly (decision expressions, a column named twice in one row, an
integer beyond 2**53, a subscript outside its set, a number out of the solver's range, missing
data...) makes it give up on that family (``_NoVector``), and the closure unroll does the family,
finding included. numpy is imported inside the operations only.
"""

import itertools
import math

from .faultnote import SemanticError

__all__ = ["VectorUnroll", "BlockRows"]

# Integers up to this size convert to doubles exactly: beyond it, array arithmetic could round
# where Python's integers do not.
_EXACT = 2 ** 53


class _NoVector(Exception):
    """This expression or family is left to the closure unroll."""


def _numpy():
    try:
        import numpy
    except ImportError:
        return None
    return numpy


class _Column:
    """A loop variable over a frame: its values, and its positions in a declared set when it
    runs over one."""

    __slots__ = ("values", "set_name", "positions")

    def __init__(self, values, set_name=None, positions=None):
        self.values, self.set_name, self.positions = values, set_name, positions


class _Frame:
    """The bindings of the enclosing loops, one entry per binding: the row it belongs to, every
    loop variable's column, and its path: the sort key of the entry's place in the order the
    closure unroll walks the expression (row, then per enclosing sum the sum's number in the walk
    and the entry's place among that sum's bindings)."""

    __slots__ = ("size", "row", "vars", "level", "path")

    def __init__(self, size, row, variables, level, path=None):
        self.size, self.row, self.vars, self.level = size, row, variables, level
        self.path = (row,) if path is None else path

    def take(self, keep):
        """The frame restricted to the entries keep selects (a boolean mask)."""
        variables = {name: _Column(col.values[keep], col.set_name,
                                   None if col.positions is None else col.positions[keep])
                     for name, col in self.vars.items()}
        row = self.row[keep]
        path = tuple(p[keep] if hasattr(p, "shape") else p for p in self.path)
        return _Frame(len(row), row, variables, self.level, path)


class _Sink:
    """What a linear expression adds up to over a frame: its terms as (path, column, coefficient,
    dead) arrays, the rows' constants, and the counter that numbers the terms and sums in the
    order of the walk."""

    def __init__(self, constant):
        self.parts, self.constant, self.counter = [], constant, 0

    def number(self):
        self.counter += 1
        return self.counter


class BlockRows:
    """The rows of one constraint family unrolled as arrays, read as the closure unroll's rows:
    (name, loop members, right-hand side, [column, coefficient, ...]) per row."""

    def __init__(self, names, index, rhs, indptr, cols, coefs):
        self.names, self.index = names, index
        self.rhs, self.indptr, self.cols, self.coefs = rhs, indptr, cols, coefs

    def __len__(self):
        return len(self.names)

    @property
    def nonzeros(self):
        return int(self.indptr[-1])

    def __iter__(self):
        cols, coefs = self.cols.tolist(), self.coefs.tolist()
        bounds = self.indptr.tolist()
        for r, (name, index, rhs) in enumerate(zip(self.names, self.index, self.rhs.tolist())):
            start, end = bounds[r], bounds[r + 1]
            flat = [None] * (2 * (end - start))
            flat[0::2] = cols[start:end]
            flat[1::2] = coefs[start:end]
            yield name, index, rhs, flat

    def json_lines(self):
        """Each row as the JSON text json.dumps makes of it."""
        import json

        dumps = json.dumps
        texts = pair_texts(self.cols, self.coefs)
        bounds = self.indptr.tolist()
        return [f"[{dumps(name)}, {dumps(index)}, {dumps(rhs)}, [{', '.join(texts[2 * start:2 * end])}]]"
                for name, index, rhs, start, end in zip(self.names, self.index, self.rhs.tolist(), bounds,
                                                        bounds[1:])]

    def __getitem__(self, r):
        if not -len(self) <= r < len(self):
            raise IndexError(r)
        r %= len(self)
        start, end = int(self.indptr[r]), int(self.indptr[r + 1])
        flat = [None] * (2 * (end - start))
        flat[0::2] = self.cols[start:end].tolist()
        flat[1::2] = self.coefs[start:end].tolist()
        return self.names[r], self.index[r], float(self.rhs[r]), flat


def pair_texts(cols, coefs):
    """The JSON texts of [column, coefficient, ...] item by item, from the arrays: each distinct
    coefficient written once (finite floats: the JSON text is Python's repr)."""
    np = _numpy()
    texts = [None] * (2 * len(cols))
    texts[0::2] = map(str, cols.tolist())
    if len(coefs):
        distinct, which = np.unique(coefs, return_inverse=True)
        written = np.empty(len(distinct), dtype=object)
        written[:] = [repr(v) for v in distinct.tolist()]
        texts[1::2] = written[which.reshape(-1)].tolist()
    return texts


class _VectorLinear:
    """The objective unrolled as arrays, read as the closure unroll's accumulator."""

    def __init__(self, cols, coefs, constant):
        self.cols, self.coefs, self.constant = cols, coefs, constant

    @property
    def terms(self):
        return _Terms(self.cols, self.coefs)


class _Terms:
    """column -> coefficient of an array objective, in order (the read side of a dict)."""

    def __init__(self, cols, coefs):
        self.cols, self.coefs = cols, coefs

    def __len__(self):
        return len(self.cols)

    def items(self):
        return zip(self.cols.tolist(), self.coefs.tolist())

    def values(self):
        return self.coefs.tolist()


class VectorUnroll:
    """The array unroll, a part of SciPyCSCCodeGenerator (it reads the generator's domains,
    symbols, data and variable blocks, and fills its families like the closure unroll does)."""

    # Set to False on a generator (or the class) to unroll everything with closures.
    vectorize = True

    def _v_ready(self):
        if not self.vectorize:
            return None
        return _numpy()

    # ------------------------------------------------------------------------------------------
    # Entry points: a top-level constraint item and the objective

    def _v_item(self, item):
        """Unroll a top-level constraint item with arrays; False when it is left to the closures."""
        np = self._v_ready()
        if np is None:
            return False
        line = self._line
        try:
            with np.errstate(all="ignore"):
                plan = self._v_plan(np, item)
            self._v_commit(np, *plan)
        except _NoVector:
            self._line = line
            return False
        except (SemanticError, ArithmeticError, TypeError, ValueError, LookupError, MemoryError):
            self._line = line
            return False
        self._line = line  # where the closure unroll leaves it after the item
        self._vector_items += 1
        return True

    def _v_objective(self, node):
        """(cols, coefs, constant, live count) of the objective's expression, or None."""
        np = self._v_ready()
        if np is None:
            return None
        try:
            with np.errstate(all="ignore"):
                frame = _Frame(1, np.zeros(1, np.int64), {}, 0)
                sink = _Sink(np.zeros(1))
                self._v_linear(np, node, frame, 1.0, None, sink)
                constant = sink.constant
                row, cols, coefs, count = self._v_gather(np, sink.parts)
                if not math.isfinite(constant[0]) or np.any(~(np.abs(coefs) < self._v_limits()[1])):
                    raise _NoVector
        except (_NoVector, SemanticError, ArithmeticError, TypeError, ValueError, LookupError, MemoryError):
            return None
        self._vector_items += 1
        return _VectorLinear(cols, coefs, float(constant[0])), count

    def _v_element_bounds(self, decl, low, high):
        """(low, high) of every element of a variable whose bounds name its indices, as the
        closure unroll's _element_bounds gives them (ints stay ints, a tie keeps the domain's
        bound), or None."""
        np = self._v_ready()
        if np is None:
            return None
        try:
            with np.errstate(all="ignore"):
                pairs = self._v_bounds(np, decl, low, high)
        except (_NoVector, SemanticError, ArithmeticError, TypeError, ValueError, LookupError, MemoryError):
            return None
        self._vector_items += 1
        return pairs

    def _v_bounds(self, np, decl, low, high):
        name = decl["name"]
        # An index without a name gets one no model can write.
        iterators = [{"var": index.get("var") or f" {k}", "set": {"type": "name", "name": set_name}}
                     for k, (index, set_name) in enumerate(zip(decl["indices"], self._dims[name]))]
        frame, _, _ = self._v_bind(np, _Frame(1, np.zeros(1, np.int64), {}, 0), iterators, None, rows=True)
        bound = self._v_limits()[1]
        sides = []
        for side, node, limit in (("lower", decl["bounds"]["low"], low), ("upper", decl["bounds"]["high"], high)):
            raw = self._v_value(np, node, frame)
            if isinstance(raw, bool) or getattr(raw, "dtype", None) == bool:
                raise _NoVector
            values = np.broadcast_to(self._v_number(np, raw, frame.size), (frame.size,))
            bad = np.isnan(values) | (np.isfinite(values) & (np.abs(values) >= bound))
            bad |= values == (np.inf if side == "lower" else -np.inf)
            if bad.any():
                raise _NoVector  # the closure unroll's finding
            listed = values.tolist()
            if side == "lower":  # max(limit, value) and min(limit, value) as Python picks them
                sides.append([v if v > limit else limit for v in listed])
            else:
                sides.append([v if v < limit else limit for v in listed])
        return list(zip(*sides))

    def _v_limits(self):
        from . import emitsparse

        return emitsparse.COEFFICIENT_LIMIT, emitsparse.BOUND_LIMIT, emitsparse.MAX_ROWS, \
            emitsparse.MAX_NONZEROS

    # ------------------------------------------------------------------------------------------
    # A constraint family

    def _v_plan(self, np, item):
        """Everything a family's rows need, computed without touching the generator's state."""
        loops = []
        while item.get("type") == "forall":
            body = item.get("body") or []
            if len(body) != 1:
                raise _NoVector
            loops.append(item)
            item = body[0]
        if item.get("type") != "constraint" or item.get("op") not in ("<=", ">=", "=="):
            raise _NoVector
        frame = _Frame(1, np.zeros(1, np.int64), {}, 0)
        members = []  # per forall iterator: (members, position per row, pattern width or None)
        for loop in loops:
            frame, taken, origin = self._v_bind(np, frame, loop["iterators"], loop.get("filter"), rows=True)
            members = [(m, positions[origin], width) for m, positions, width in members] + taken
        self._line = item.get("lineno", self._line)
        size = frame.size
        sink = _Sink(np.zeros(size))
        self._v_linear(np, item["left"], frame, 1.0, None, sink)
        self._v_linear(np, item["right"], frame, -1.0, None, sink)
        constant = sink.constant
        row, cols, coefs, _ = self._v_gather(np, sink.parts)
        keep = coefs != 0
        row, cols, coefs = row[keep], cols[keep], coefs[keep]
        limit, bound, max_rows, max_nonzeros = self._v_limits()
        if np.any(~(np.abs(coefs) < limit)):
            raise _NoVector
        rhs = -constant
        op = item["op"]
        if np.any(np.isnan(rhs)) or np.any(np.isinf(rhs) & ((rhs > 0) if op != "<=" else False)) \
                or np.any(np.isinf(rhs) & ((rhs < 0) if op != ">=" else False)) \
                or np.any(np.isfinite(rhs) & (np.abs(rhs) >= bound)):
            raise _NoVector
        if self._row_count + size > max_rows or self._nonzeros + len(cols) > max_nonzeros:
            raise _NoVector
        indptr = np.zeros(size + 1, np.int64)
        np.cumsum(np.bincount(row, minlength=size), out=indptr[1:])
        return item, members, size, rhs, indptr, cols, coefs

    def _v_commit(self, np, item, members, size, rhs, indptr, cols, coefs):
        if not size:
            return
        family = {"label": item.get("label"), "line": item.get("lineno"), "op": item["op"], "rows": None}
        self._family_of[id(item)] = family
        self._families.append(family)
        names = self._v_row_names(np, family, members, size)
        if names is None:  # a name met before: the closure unroll's numbering (name#2, ...)
            names = []
            for entry in _loop_members(members, size, plain=False):
                self._index = entry
                names.append(self._row_name(family))
            self._index = []
        self._row_count += size
        self._count_nonzeros(len(cols))
        family["rows"] = BlockRows(names, _loop_members(members, size, plain=True), rhs, indptr, cols, coefs)

    def _v_row_names(self, np, family, members, size):
        """The rows' names, each member's subscript text made once; None when a name was given
        before (in this family or another)."""
        from .emitsparse import _subscript_text

        base = str(self._row_base(family))
        columns = []
        for values, positions, width in members:
            used, inverse = np.unique(positions, return_inverse=True)
            texts = np.empty(len(used), dtype=object)
            texts[:] = ["[" + _subscript_text(values[p] if width is None else tuple(values[p])) + "]"
                        for p in used.tolist()]
            columns.append(texts[inverse.reshape(-1)].tolist())
        names = list(map("".join, zip(itertools.repeat(base), *columns))) if columns else [base] * size
        fresh = set(names)
        if len(fresh) != len(names) or not self._row_names.isdisjoint(fresh):
            return None
        self._row_names.update(fresh)
        return names

    # ------------------------------------------------------------------------------------------
    # Loops

    def _v_domain(self, np, node, frame):
        """(members, value array, set name or None) of a loop's domain that does not depend on
        the enclosing loops."""
        kind = node.get("type") if isinstance(node, dict) else None
        if kind == "name" and node.get("name") in self._domains:
            name = node["name"]
            domain = self._domains[name]
            if domain.positions is not None and len(domain.positions) != len(domain.members):
                raise _NoVector  # a member written twice
            return domain.members, self._v_members(np, name), name
        if kind == "range_expr":
            if self._v_mentions(node, frame):
                raise _NoVector
            low, high = self._value(node["low"], {}), self._value(node["high"], {})
            for bound in (low, high):
                if isinstance(bound, bool) or not isinstance(bound, int):
                    raise _NoVector
            members = range(low, high + 1)
            return members, np.arange(low, high + 1, dtype=np.int64) if len(members) else \
                np.zeros(0, np.int64), None
        raise _NoVector

    def _v_mentions(self, node, frame):
        """True when node names a loop variable of the frame (or anything not declared)."""
        if isinstance(node, dict):
            if node.get("type") == "name" and (node.get("name") in frame.vars
                                               or node.get("name") not in self._symbols):
                return True
            return any(self._v_mentions(v, frame) for v in node.values() if isinstance(v, (dict, list)))
        if isinstance(node, list):
            return any(self._v_mentions(v, frame) for v in node)
        return False

    def _v_members(self, np, set_name):
        """The members of a declared set or range as an array (ints, floats or objects)."""
        cache = self._v_member_arrays
        found = cache.get(set_name)
        if found is None:
            domain = self._domains[set_name]
            if domain.positions is None:
                found = np.arange(domain.low, domain.high + 1, dtype=np.int64)
            else:
                found = _array_of(np, domain.members)
            cache[set_name] = found
        return found

    def _v_bind(self, np, frame, iterators, condition, rows=False, number=None):
        """The frame extended by the product of the iterators' domains (in the order the loops
        run), filtered by the condition, with: per iterator (members, positions, pattern width or
        None) of every entry, and for every entry the entry of the outer frame it extends. With
        rows, each binding becomes a row of its own."""
        domains = []
        for it in iterators:
            members, values, set_name = self._v_domain(np, it.get("set"), frame)
            names = [it["var"]] if it.get("pattern") is None else list(it["pattern"])
            if any(name in self._symbols for name in names):
                raise _NoVector  # a loop variable hiding a declared name
            domains.append((it, members, values, set_name))
        sizes = [len(d[1]) for d in domains]
        count = math.prod(sizes)
        outer = frame.size
        grids = np.indices(sizes, dtype=np.int64).reshape(len(sizes), -1) if sizes else \
            np.zeros((0, 1), np.int64)
        origin = np.repeat(np.arange(outer, dtype=np.int64), count)
        variables = {name: _Column(col.values[origin], col.set_name,
                                   None if col.positions is None else col.positions[origin])
                     for name, col in frame.vars.items()}
        row = frame.row[origin]
        taken = []
        for k, (it, members, values, set_name) in enumerate(domains):
            positions = np.tile(grids[k], outer)
            pattern = it.get("pattern")
            if pattern is None:
                variables[it["var"]] = _Column(values[positions], set_name, positions)
                taken.append((members, positions, None))
            else:
                fields = self._v_fields(np, members, len(pattern))
                for name, field in zip(pattern, fields):
                    variables[name] = _Column(field[positions])
                taken.append((members, positions, len(pattern)))
        size = outer * count
        if rows:
            row = np.arange(size, dtype=np.int64)
            path = None
        else:
            path = tuple(p[origin] if hasattr(p, "shape") else p for p in frame.path) + \
                (number, np.arange(size, dtype=np.int64))
        extended = _Frame(size, row, variables, 0 if rows else frame.level + 1, path)
        if condition is not None:
            keep = self._v_truth(np, self._v_value(np, condition, extended), size)
            extended = extended.take(keep)
            if rows:
                extended.row = np.arange(extended.size, dtype=np.int64)
                extended.path = (extended.row,)
            taken = [(members, positions[keep], width) for members, positions, width in taken]
            origin = origin[keep]
        return extended, taken, origin

    def _v_fields(self, np, members, width):
        """The field arrays of the members of a tuple set bound to a pattern of width fields."""
        for member in members:
            if not isinstance(member, tuple) or len(member) != width:
                raise _NoVector  # the closure unroll names the member that does not fit
        return [_array_of(np, [member[k] for member in members]) for k in range(width)]

    # ------------------------------------------------------------------------------------------
    # Linear expressions

    def _v_linear(self, np, node, frame, scale, dead, sink):
        """Add scale * node over the frame to the sink: terms with their paths, constants to
        the rows' constants. dead marks the entries a zero factor has struck out (None: none)."""
        if not self._uses_variables(node):
            if frame.level != 0:
                raise _NoVector  # a constant inside a sum
            value = self._v_number(np, self._v_value(np, node, frame), frame.size)
            constant = sink.constant
            added = constant + scale * value
            sink.constant = added if dead is None else np.where(dead, constant, added)
            return
        kind = node.get("type")
        if kind in ("name", "indexed"):
            if self._symbols.get(node.get("name"), (None,))[0] != "dvar" or node["name"] in frame.vars:
                raise _NoVector
            cols = self._v_column(np, node, frame)
            coefs = np.broadcast_to(np.asarray(scale, dtype=float), (frame.size,))
            sink.parts.append((frame.path + (sink.number(),), cols, 0.0 + coefs, dead))
            return
        if kind == "binop":
            op, left, right = node.get("op"), node["left"], node["right"]
            if op in ("+", "-"):
                self._v_linear(np, left, frame, scale, dead, sink)
                sign = 1.0 if op == "+" else -1.0
                return self._v_linear(np, right, frame, sign * scale, dead, sink)
            if op == "*":
                if self._uses_variables(left) and self._uses_variables(right):
                    raise _NoVector
                if self._uses_variables(left):
                    left, right = right, left
                factor = self._v_number(np, self._v_value(np, left, frame), frame.size)
                zero = np.broadcast_to(np.asarray(factor) == 0, (frame.size,))
                dead = zero if dead is None else dead | zero
                return self._v_linear(np, right, frame, scale * factor, dead, sink)
            if op == "/":
                if self._uses_variables(right):
                    raise _NoVector
                divisor = self._v_number(np, self._v_value(np, right, frame), frame.size)
                live = np.ones(frame.size, bool) if dead is None else ~dead
                if np.any((divisor == 0) & live):
                    raise _NoVector
                divisor = np.where(divisor == 0, 1.0, divisor)
                return self._v_linear(np, left, frame, scale / divisor, dead, sink)
            raise _NoVector
        if kind == "unary" and node.get("op") == "-":
            return self._v_linear(np, node["operand"], frame, -scale, dead, sink)
        if kind == "aggregate" and node.get("op") == "sum":
            inner, _, origin = self._v_bind(np, frame, node["iterators"], node.get("filter"),
                                            number=sink.number())
            scale = np.broadcast_to(np.asarray(scale, dtype=float), (frame.size,))[origin]
            dead = None if dead is None else dead[origin]
            return self._v_linear(np, node["body"], inner, scale, dead, sink)
        raise _NoVector

    def _v_gather(self, np, parts):
        """The live terms of every row, row by row in the order of the walk: (row, column,
        coefficient, count of live terms); a column twice in a row, or a term whose coefficient
        underflowed to zero, is left to the closure unroll."""
        if not parts:
            empty = np.zeros(0, np.int64)
            return empty, empty, np.zeros(0), 0
        depth = max(len(p[0]) for p in parts)
        keys = []
        for k in range(depth):
            keys.append(np.concatenate([np.broadcast_to(p[0][k] if k < len(p[0]) else 0, (len(p[1]),))
                                        for p in parts]))
        cols = np.concatenate([p[1] for p in parts])
        coefs = np.concatenate([np.broadcast_to(np.asarray(p[2], dtype=float), (len(p[1]),)) for p in parts])
        dead = np.concatenate([np.zeros(len(p[1]), bool) if p[3] is None else p[3] for p in parts])
        if len(parts) > 1:
            # One part comes in the order of the walk already; several are merged into it.
            order = np.lexsort(keys[::-1])
            keys[0], cols, coefs, dead = keys[0][order], cols[order], coefs[order], dead[order]
        live = ~dead
        row, cols, coefs = keys[0][live], cols[live], coefs[live]
        if np.any(coefs == 0):
            raise _NoVector
        rising = (cols[1:] > cols[:-1]) | (row[1:] != row[:-1])
        if len(cols) > 1 and not rising.all():
            # Columns not rising along each row (the usual order): look for one named twice.
            pairs = row * (int(cols.max()) + 1) + cols
            pairs.sort()
            if np.any(pairs[1:] == pairs[:-1]):
                raise _NoVector
        return row, cols, coefs, len(cols)

    def _v_column(self, np, node, frame):
        name = node["name"]
        dims = self._dims[name]
        indices = node.get("indices") or []
        if len(indices) != len(dims):
            raise _NoVector
        first = self._first_column[name]
        column = np.full(frame.size, first, dtype=np.int64)
        stride = 1
        for set_name, index in reversed(list(zip(dims, indices))):
            column += stride * self._v_positions(np, index, set_name, frame)
            stride *= len(self._domains[set_name])
        return column

    # ------------------------------------------------------------------------------------------
    # Expressions of data

    def _v_positions(self, np, node, set_name, frame):
        """Positions in the declared set of the node's values over the frame (every one a member)."""
        if isinstance(node, dict) and node.get("type") == "name":
            col = frame.vars.get(node.get("name"))
            if col is not None and col.set_name == set_name and col.positions is not None:
                return col.positions
        values = self._v_value(np, node, frame)
        if isinstance(values, bool) or getattr(values, "dtype", None) == bool:
            raise _NoVector  # a truth value is no member
        domain = self._domains[set_name]
        if domain.positions is None:
            values = np.broadcast_to(self._v_number(np, values, frame.size), (frame.size,))
            if values.dtype.kind == "f":
                if not np.all(np.isfinite(values) & (values == np.floor(values))):
                    raise _NoVector
                values = values.astype(np.int64)
            positions = values - domain.low
            if np.any((positions < 0) | (positions >= len(domain))):
                raise _NoVector
            return positions.astype(np.int64)
        table = domain.positions
        if not isinstance(values, np.ndarray):
            found = table.get(values)
            if found is None:
                raise _NoVector
            return np.full(frame.size, found, dtype=np.int64)
        positions = np.fromiter((table.get(v, -1) for v in values.tolist()), np.int64, len(values))
        if np.any(positions < 0):
            raise _NoVector
        return positions

    def _v_value(self, np, node, frame):
        """The node's value over the frame: an array of one value per entry, or one Python value
        the same for all."""
        kind = node.get("type") if isinstance(node, dict) else None
        if kind in ("number", "string"):
            return _scalar(node["value"])
        if kind == "constant":
            return _scalar(self._value(node, {}))
        if kind == "name":
            col = frame.vars.get(node.get("name"))
            if col is not None:
                return col.values
            if self._symbols.get(node.get("name"), (None,))[0] != "parameter":
                raise _NoVector
            return _scalar(self._value(node, {}))
        if kind == "indexed":
            return self._v_parameter(np, node, frame)
        if kind == "binop":
            op = node.get("op")
            if op not in ("+", "-", "*", "/"):
                raise _NoVector
            left = self._v_number(np, self._v_value(np, node["left"], frame), frame.size)
            right = self._v_number(np, self._v_value(np, node["right"], frame), frame.size)
            if op == "/":
                if np.any(right == 0):
                    raise _NoVector
                if not isinstance(left, np.ndarray) and not isinstance(right, np.ndarray):
                    return left / right  # Python's own division of two numbers
                return np.asarray(left, dtype=float) / right
            result = left + right if op == "+" else left - right if op == "-" else left * right
            if isinstance(result, np.ndarray) and result.dtype.kind == "i":
                check = np.asarray(left, dtype=float)
                check = check + right if op == "+" else check - right if op == "-" else check * right
                if np.any(~(np.abs(check) < _EXACT)):
                    raise _NoVector
            return result
        if kind == "unary":
            operand = self._v_value(np, node["operand"], frame)
            if node.get("op") == "-":
                return -self._v_number(np, operand, frame.size)
            if node.get("op") == "!":
                return (~self._v_truth(np, operand, frame.size)).astype(np.int64)
            raise _NoVector
        if kind == "compare":
            return self._v_compare(np, node, frame).astype(np.int64)
        if kind == "logical":
            left = self._v_truth(np, self._v_value(np, node["left"], frame), frame.size)
            right = self._v_truth(np, self._v_value(np, node["right"], frame), frame.size)
            if node.get("op") == "&&":
                return (left & right).astype(np.int64)
            if node.get("op") == "||":
                return (left | right).astype(np.int64)
        if kind == "tuple_literal":
            # <i, j> of loop variables and plain literals: the tuples themselves, as the closure
            # unroll makes them (a member of a tuple set compares equal to the tuple of its fields).
            parts = []
            for element in node.get("elements") or []:
                if not isinstance(element, dict) or not (
                        element.get("type") == "name" and element.get("name") in frame.vars
                        or element.get("type") == "string"
                        or element.get("type") == "number" and type(element.get("value")) is int):
                    raise _NoVector
                value = self._v_value(np, element, frame)
                parts.append(value.tolist() if isinstance(value, np.ndarray)
                             else [value] * frame.size)
            return np.fromiter(zip(*parts), dtype=object, count=frame.size)
        raise _NoVector

    def _v_parameter(self, np, node, frame):
        name = node.get("name")
        if name in frame.vars or self._symbols.get(name, (None,))[0] != "parameter":
            raise _NoVector
        dims = self._dims[name]
        indices = node.get("indices") or []
        if len(indices) != len(dims):
            raise _NoVector
        table = self._v_parameter_array(np, name, dims)
        positions = tuple(np.broadcast_to(self._v_positions(np, index, set_name, frame), (frame.size,))
                          for set_name, index in zip(dims, indices))
        return table[positions]

    def _v_parameter_array(self, np, name, dims):
        """The parameter's values as an array shaped by its index sets (ints or floats only)."""
        found = self._v_parameters.get(name, _MISSING)
        if found is _MISSING:
            found = None
            value = self._whole_value(name, self._symbols[name][1])
            shape = tuple(len(self._domains[s]) for s in dims)
            if isinstance(value, (list, tuple)):
                try:
                    array = np.array(value)
                except (ValueError, TypeError, OverflowError):
                    array = None
                if array is not None and array.dtype.kind in "bif" and array.size == math.prod(shape):
                    if array.dtype.kind == "b":
                        array = array.astype(np.int64)
                    if array.shape == shape or (len(shape) > 1 and array.ndim == 1):
                        array = array.reshape(shape)
                        if array.dtype.kind == "f" or not np.any(np.abs(array) >= _EXACT):
                            found = array
            self._v_parameters[name] = found
        if found is None:
            raise _NoVector
        return found

    def _v_number(self, np, value, size):
        """value as numbers (an int64 or float64 array, or a Python number)."""
        if isinstance(value, np.ndarray):
            if value.dtype.kind in "if":
                return value
            if value.dtype.kind == "b":
                return value.astype(np.int64)
            raise _NoVector
        if isinstance(value, bool):
            return int(value)
        if isinstance(value, int):
            if abs(value) >= _EXACT:
                raise _NoVector
            return value
        if isinstance(value, float):
            return value
        raise _NoVector

    def _v_truth(self, np, value, size):
        if isinstance(value, np.ndarray):
            if value.dtype.kind in "bif":
                return np.broadcast_to(value != 0, (size,))
            raise _NoVector
        return np.full(size, bool(value))

    def _v_compare(self, np, node, frame):
        left, right = self._v_value(np, node["left"], frame), self._v_value(np, node["right"], frame)
        op = node.get("op")
        if op not in ("==", "!=", "<", "<=", ">", ">="):
            raise _NoVector
        numeric = [_is_numeric(np, v) for v in (left, right)]
        if numeric[0] != numeric[1]:
            if op in ("==", "!="):
                return np.full(frame.size, op == "!=")  # a number never equals a text
            raise _NoVector
        if numeric[0]:
            left, right = self._v_number(np, left, frame.size), self._v_number(np, right, frame.size)
        else:
            left, right = _objects(np, left), _objects(np, right)
        result = {"==": np.equal, "!=": np.not_equal, "<": np.less, "<=": np.less_equal,
                  ">": np.greater, ">=": np.greater_equal}[op](left, right)
        return np.broadcast_to(np.asarray(result, dtype=bool), (frame.size,))


_MISSING = object()


def _loop_members(members, size, plain):
    """Each row's loop members (a list per row): the member itself, or the tuple of its fields
    for a pattern; plain, with every tuple as a list (as JSON gives it back)."""
    from .emitsparse import _plain

    columns = []
    for values, positions, width in members:
        if width is not None:
            columns.append([(list if plain else tuple)(values[p]) for p in positions.tolist()])
        elif plain and any(isinstance(v, (tuple, list)) for v in values):
            columns.append([_plain(values[p]) for p in positions.tolist()])
        else:
            columns.append([values[p] for p in positions.tolist()])
    if not columns:
        return [[] for _ in range(size)]
    return [list(entry) for entry in zip(*columns)]


def _scalar(value):
    if isinstance(value, (bool, int, float, str)):
        return value
    raise _NoVector


def _is_numeric(np, value):
    if isinstance(value, np.ndarray):
        if value.dtype.kind in "bif":
            return True
        if value.dtype.kind == "O" and all(isinstance(v, str) for v in value.tolist()):
            return False
        raise _NoVector
    if isinstance(value, (bool, int, float)):
        return True
    if isinstance(value, str):
        return False
    raise _NoVector


def _objects(np, value):
    if isinstance(value, np.ndarray):
        return value
    return value  # a Python text compares with every entry of an object array


def _array_of(np, members):
    """The members as an array: int64 or float64 when every one is such a number (and exact),
    else an array of the objects themselves."""
    kinds = {type(m) for m in members}
    if kinds <= {int}:
        array = np.array(members, dtype=np.int64) if members else np.zeros(0, np.int64)
        if not len(array) or int(np.abs(array).max()) < _EXACT:
            return array
    elif kinds <= {float}:
        return np.array(members, dtype=float)
    array = np.empty(len(members), dtype=object)
    for k, member in enumerate(members):
        array[k] = member
    return array
