"""Vormo model compiler: parses a Vormo model file and its data file, checks them, and
returns the compiled model as plain dictionaries and lists.

Usage::

    from vormo.vormo_kernel import VormoCompiler
    compiled = VormoCompiler().compile_model(model_code, data_code)

``compile_model`` takes the two texts (not paths). It either returns the compiled model or raises
exactly one error for the first fault it finds:

* ``VormoSyntaxError`` (a ``SyntaxError``) for text that does not follow the grammar. Its text names
  the file ("model file" or "data file"), the line and column, what was expected and what was found.
  Attributes: ``source`` ("model" or "data"), ``lineno``, ``offset`` (column, 1-based),
  ``expected``, ``found``.
* ``SemanticError`` (from ``vormo.faultnote``) for a well-formed text that does not make sense:
  undeclared names, missing or undeclared data items, values of the wrong shape or type, wrong
  number of subscripts, decision variables where only data may stand, products of two decision
  variables, duplicate declarations or labels, subscripts outside their index set. ``lineno`` is
  the line in the model file, or in the data file when the message says "in the data file".

The compiler keeps no state between calls, never reads or writes files and never prints.

The language in brief (see "Vormo grammar.md" for the full reference)::

    tuple Arc { string from; string to; float cost; }
    int n = ...;                      float a;               // data from the data file
    range T = 1..n;                   {string} P = ...;      {Arc} Arcs = ...;
    float c[P] = ...;                 float w[i in T] = 2*i; // generic inline array
    dvar float+ x[P] in 0..100;       dexpr float total = sum(p in P) c[p] * x[p];
    minimize cost: total;
    subject to {
      forall(t in T: t > 1) link: x["a"] <= a * t;
    }

Shapes of the compiled model (every value is a plain dict, list, str, int or float)::

    {"declarations": [decl, ...], "objective": objective or None,
     "constraints": [constraint, ...], "data": {name: value, ...}}

Declarations (all have "name", "type" and "lineno"):

* tuple type:  {"type": "tuple", "fields": [{"name": "from", "type": "string"}, ...]}
* range:       {"type": "range", "start": expr, "end": expr, "low": int, "high": int}
* set:         {"type": "set", "element_type": "int"|"float"|"string", "source": "inline"|"data",
                "elements": [expr, ...]} (inline literal) or {"value": [plain values]} (data file)
* tuple set:   {"type": "set_of_tuples", "tuple_type": "Arc", "source": ...,
                "elements": [tuple_literal, ...]} or {"value": [[field values], ...]}
* data:        {"type": "parameter", "value_type": "int"|"float"|"string"|"boolean",
                "indices": [index, ...], "source": "data"|"inline"|"generic", "expr": expr or None}
  where index is {"set": "P"} or, for generic arrays, {"var": "i", "set": "P"}; "expr" is the
  initializer: an expression, an array literal {"type": "array_literal", "elements": [...]}, or None
  for data from the data file.
* decision variable: {"type": "dvar", "var_type": "float"|"float+"|"int"|"int+"|"boolean",
                "indices": [{"set": "P"}, ...], "bounds": {"low": expr, "high": expr} or None}
* decision expression: {"type": "dexpr", "value_type": "float"|"int", "indices": [...], "expr": expr}

Objective: {"type": "objective", "sense": "minimize"|"maximize", "label": str or None, "expr": expr,
"lineno": int}.

Constraints: {"type": "constraint", "label": str or None, "op": "<="|">="|"==", "left": expr,
"right": expr, "lineno": int}, {"type": "forall", "iterators": [...], "filter": expr or None,
"body": [constraint, ...], "lineno": int} and {"type": "block", "body": [...], "lineno": int}.

Expressions:

* {"type": "number", "value": 3}, {"type": "string", "value": "a"}, {"type": "name", "name": "i"}
* {"type": "constant", "name": "maxint"|"infinity"}
* {"type": "indexed", "name": "x", "indices": [expr, ...]}          x[i][j]
* {"type": "field", "base": expr, "field": "cost"}                  a.cost
* {"type": "binop", "op": "+"|"-"|"*"|"/", "left": expr, "right": expr}
* {"type": "unary", "op": "-"|"!", "operand": expr}
* {"type": "compare", "op": "<"|"<="|">"|">="|"=="|"!=", "left": expr, "right": expr}
* {"type": "logical", "op": "&&"|"||", "left": expr, "right": expr}
* {"type": "in", "element": expr, "set": "Arcs"}                    <i, j> in Arcs
* {"type": "tuple_literal", "elements": [expr, ...]}
* {"type": "aggregate", "op": "sum"|"min"|"max", "iterators": [...], "filter": expr or None,
   "body": expr}
* {"type": "call", "name": "abs"|"card"|"min"|"max", "args": [expr, ...]}
* {"type": "range_expr", "low": expr, "high": expr}                 lo..hi (in iterators)
* iterator: {"type": "iterator", "var": "i", "set": expr} or
            {"type": "iterator", "pattern": ["i", "j"], "set": expr}   <i, j> in Arcs

Data dict: every data item, from the data file or computed inline, as plain values: numbers
(boolean as 0/1), strings, lists for sets (in their order) and arrays (nested, one level per index,
in the order of the index sets), lists of field values for the members of tuple sets.
"""

from .faultnote import SemanticError

__all__ = ["VormoCompiler", "VormoSyntaxError", "SemanticError"]

# ----------------------------------------------------------------------------------------------
# Limits that keep hostile input from exhausting the stack or the clock.
# ----------------------------------------------------------------------------------------------
MAX_NESTING = 40          # parentheses, brackets, blocks, unary operators, aggregates
MAX_EXPRESSION_DEPTH = 200  # depth of an expression tree (long + chains count too)
EVALUATION_BUDGET = 300_000  # evaluation steps spent on data and subscript checks per call
MAXINT = 2 ** 31 - 1

SCALAR_TYPES = ("int", "float", "string", "boolean")
RESERVED_WORDS = frozenset(
    "int float string boolean range tuple dvar dexpr minimize maximize subject forall "
    "sum min max abs card in maxint infinity".split())


class VormoSyntaxError(SyntaxError):
    """Text that does not follow the Vormo grammar, in the model file or in the data file."""

    def __init__(self, source, lineno, column, expected, found, hint=""):
        file_name = "model file" if source == "model" else "data file"
        text = f"line {lineno}, column {column} of the {file_name}: expected {expected}, found {found}"
        if hint:
            text += f"; {hint}"
        super().__init__(text)
        self.msg = text
        self.source = source
        self.filename = file_name
        self.lineno = lineno
        self.offset = column
        self.expected = expected
        self.found = found

    def __str__(self):
        return self.msg


# ----------------------------------------------------------------------------------------------
# Lexer
# ----------------------------------------------------------------------------------------------
class Token:
    """One lexical unit: kind is NAME, NUMBER, STRING, an operator text, or EOF."""
    __slots__ = ("kind", "value", "line", "col")

    def __init__(self, kind, value, line, col):
        self.kind, self.value, self.line, self.col = kind, value, line, col

    def describe(self):
        if self.kind == "EOF":
            return "the end of the file"
        if self.kind == "STRING":
            return f'the string "{self.value}"'
        if self.kind == "NUMBER":
            return f"the number {self.value}"
        if self.kind == "NAME":
            return f"'{self.value}'"
        return f"'{self.kind}'"


OPERATORS = ("...", "..", "<=", ">=", "==", "!=", "&&", "||",
             "+", "-", "*", "/", "(", ")", "[", "]", "{", "}", "<", ">", ",", ";", ":", "=", "!", ".")


def tokenize(text, source):
    """Split text into tokens with 1-based line and column; comments and blanks are skipped."""
    tokens = []
    i, line, line_start, n = 0, 1, 0, len(text)

    def fail(expected, found, hint=""):
        raise VormoSyntaxError(source, line, i - line_start + 1, expected, found, hint)

    while i < n:
        ch = text[i]
        if ch == "\n":
            line += 1
            i += 1
            line_start = i
            continue
        if ch in " \t\r\f\v":
            i += 1
            continue
        if text.startswith("//", i):
            while i < n and text[i] != "\n":
                i += 1
            continue
        if text.startswith("/*", i):
            end = text.find("*/", i + 2)
            if end < 0:
                fail("'*/' to close the comment", "the end of the file")
            line += text.count("\n", i, end)
            newline = text.rfind("\n", i, end)
            if newline >= 0:
                line_start = newline + 1
            i = end + 2
            continue
        col = i - line_start + 1
        if ch.isdigit():
            start = i
            while i < n and text[i].isdigit():
                i += 1
            is_float = False
            if i + 1 < n and text[i] == "." and text[i + 1].isdigit():
                is_float = True
                i += 1
                while i < n and text[i].isdigit():
                    i += 1
            if i < n and text[i] in "eE":
                j = i + 1
                if j < n and text[j] in "+-":
                    j += 1
                if j < n and text[j].isdigit():
                    is_float = True
                    i = j
                    while i < n and text[i].isdigit():
                        i += 1
            literal = text[start:i]
            value = float(literal) if is_float else int(literal)
            tokens.append(Token("NUMBER", value, line, col))
            continue
        if ch.isalpha() or ch == "_":
            start = i
            while i < n and (text[i].isalnum() or text[i] == "_"):
                i += 1
            tokens.append(Token("NAME", text[start:i], line, col))
            continue
        if ch == '"':
            i += 1
            chars = []
            while True:
                if i >= n or text[i] == "\n":
                    fail("a closing '\"' for the string", "the end of the line",
                         "strings must end on the line where they start")
                c = text[i]
                if c == '"':
                    i += 1
                    break
                if c == "\\" and i + 1 < n and text[i + 1] in '"\\nt':
                    chars.append({"n": "\n", "t": "\t"}.get(text[i + 1], text[i + 1]))
                    i += 2
                    continue
                chars.append(c)
                i += 1
            tokens.append(Token("STRING", "".join(chars), line, col))
            continue
        for op in OPERATORS:
            if text.startswith(op, i):
                tokens.append(Token(op, op, line, col))
                i += len(op)
                break
        else:
            fail("a name, number, string or operator", f"the character {ch!r}")
    tokens.append(Token("EOF", None, line, i - line_start + 1))
    return tokens


# ----------------------------------------------------------------------------------------------
# Parser base: token cursor, error reporting, nesting guard
# ----------------------------------------------------------------------------------------------
class _ParserBase:
    def __init__(self, text, source):
        self.source = source
        self.tokens = tokenize(text, source)
        self.pos = 0
        self.nesting = 0

    @property
    def tok(self):
        return self.tokens[self.pos]

    def peek(self, ahead=1):
        return self.tokens[min(self.pos + ahead, len(self.tokens) - 1)]

    def at(self, kind, value=None):
        t = self.tokens[self.pos]
        if value is not None:
            return t.kind == "NAME" and t.value == value
        return t.kind == kind

    def advance(self):
        t = self.tokens[self.pos]
        if t.kind != "EOF":
            self.pos += 1
        return t

    def fail(self, expected, token=None, hint=""):
        t = token or self.tok
        raise VormoSyntaxError(self.source, t.line, t.col, expected, t.describe(), hint)

    def expect(self, kind, expected=None, hint=""):
        if self.tok.kind != kind:
            self.fail(expected or f"'{kind}'", hint=hint)
        return self.advance()

    def expect_word(self, word, expected=None):
        if not self.at("NAME", word):
            self.fail(expected or f"'{word}'")
        return self.advance()

    def expect_name(self, what="a name"):
        t = self.tok
        if t.kind != "NAME":
            self.fail(what)
        if t.value in RESERVED_WORDS:
            self.fail(what, hint=f"'{t.value}' is a reserved word and cannot be used as a name")
        return self.advance()

    def enter(self):
        self.nesting += 1
        if self.nesting > MAX_NESTING:
            self.fail(f"at most {MAX_NESTING} levels of nesting",
                      hint="split the construct into simpler parts")

    def leave(self):
        self.nesting -= 1


# ----------------------------------------------------------------------------------------------
# Model parser
# ----------------------------------------------------------------------------------------------
class ModelParser(_ParserBase):
    """Recursive-descent parser of a model file; builds the declaration and constraint dicts.

    Expression nodes carry no line numbers themselves; ``lines`` maps id(node) to the line where
    the node starts, for error messages.
    """

    def __init__(self, text):
        super().__init__(text, "model")
        self.lines = {}
        self.depths = {}

    def node(self, token, **fields):
        """Make an expression node that starts at token; track its depth in the tree."""
        n = dict(fields)
        self.lines[id(n)] = token.line
        depth = 1 + max((self.depths.get(id(v), 0) for v in fields.values() if isinstance(v, dict)),
                        default=0)
        for v in fields.values():
            if isinstance(v, list):
                for item in v:
                    if isinstance(item, dict):
                        depth = max(depth, 1 + self.depths.get(id(item), 0))
        if depth > MAX_EXPRESSION_DEPTH:
            self.fail(f"an expression at most {MAX_EXPRESSION_DEPTH} levels deep", token,
                      "split the expression into several dexpr declarations")
        self.depths[id(n)] = depth
        return n

    # -- model structure ------------------------------------------------------------------------
    def parse_model(self):
        model = {"declarations": [], "objective": None, "constraints": [], "objectives": []}
        while not self.at("EOF"):
            t = self.tok
            word = t.value if t.kind == "NAME" else None
            if word == "tuple":
                model["declarations"].append(self.parse_tuple_type())
            elif word == "range":
                model["declarations"].append(self.parse_range())
            elif t.kind == "{":
                model["declarations"].append(self.parse_set_declaration())
            elif word in SCALAR_TYPES:
                model["declarations"].append(self.parse_data_declaration())
            elif word == "dvar":
                model["declarations"].append(self.parse_dvar())
            elif word == "dexpr":
                model["declarations"].append(self.parse_dexpr())
            elif word in ("minimize", "maximize"):
                model["objectives"].append(self.parse_objective())
            elif word == "subject":
                self.advance()
                self.expect_word("to", "'to' after 'subject'")
                model["constraints"].extend(self.parse_block("'subject to'"))
            else:
                self.fail("a declaration (int, float, string, boolean, range, tuple, {set}, dvar, "
                          "dexpr), an objective (minimize/maximize) or 'subject to'")
        if model["objectives"]:
            model["objective"] = model["objectives"][0]
        return model

    def parse_tuple_type(self):
        start = self.advance()
        name = self.expect_name("the name of the tuple type").value
        self.expect("{", "'{' to open the fields of the tuple type")
        fields = []
        while not self.at("}"):
            ft = self.tok
            if not (ft.kind == "NAME" and ft.value in SCALAR_TYPES):
                self.fail("a field type (int, float, string or boolean) or '}'")
            self.advance()
            fname = self.expect_name("the name of the tuple field")
            fields.append({"name": fname.value, "type": ft.value, "lineno": fname.line})
            self.expect(";", "';' after the tuple field")
        if not fields:
            self.fail("at least one field in the tuple type")
        self.advance()
        if self.at(";"):
            self.advance()
        return {"name": name, "type": "tuple", "lineno": start.line, "fields": fields}

    def parse_range(self):
        start = self.advance()
        name = self.expect_name("the name of the range").value
        self.expect("=", "'=' after the range name", "write e.g. range I = 1..n;")
        low = self.parse_additive()
        self.expect("..", "'..' between the bounds of the range")
        high = self.parse_additive()
        self.expect(";", "';' after the range declaration")
        return {"name": name, "type": "range", "lineno": start.line, "start": low, "end": high}

    def parse_set_declaration(self):
        start = self.advance()
        et = self.tok
        if et.kind != "NAME" or et.value == "boolean" or (
                et.value in RESERVED_WORDS and et.value not in SCALAR_TYPES):
            self.fail("the element type of the set (int, float, string or a tuple type name)")
        self.advance()
        self.expect("}", "'}' after the element type of the set")
        name = self.expect_name("the name of the set").value
        decl = {"name": name, "type": "set", "lineno": start.line}
        if et.value in SCALAR_TYPES:
            decl["element_type"] = et.value
        else:
            decl["type"] = "set_of_tuples"
            decl["tuple_type"] = et.value
        decl["source"] = "data"
        if self.at("="):
            self.advance()
            if self.at("..."):
                self.advance()
            elif self.at("{"):
                decl["source"] = "inline"
                decl["elements"] = self.parse_set_literal()
            else:
                self.fail("'...' or a set literal such as {1, 2, 3}")
        self.expect(";", "';' after the set declaration")
        return decl

    def parse_set_literal(self):
        self.expect("{")
        items = []
        while not self.at("}"):
            items.append(self.parse_additive())
            if not self.at("}"):
                self.expect(",", "',' or '}' in the set literal")
        self.advance()
        return items

    def parse_indices(self, allow_generic, what):
        """Parse [S] or [i in S] groups after a declared name."""
        indices = []
        while self.at("["):
            self.advance()
            first = self.expect_name("the name of an index set" +
                                     (" or a generic index such as i in I" if allow_generic else ""))
            if self.at("NAME", "in"):
                if not allow_generic:
                    self.fail("']'", hint=f"{what} takes index sets only, e.g. [I]")
                self.advance()
                set_name = self.expect_name("the name of the index set after 'in'").value
                indices.append({"var": first.value, "set": set_name})
            else:
                indices.append({"set": first.value})
            self.expect("]", "']' after the index set",
                        "give one index set per bracket pair, e.g. [I][J]")
        kinds = {"var" in idx for idx in indices}
        if len(kinds) > 1:
            self.fail("the same index form in every bracket",
                      hint="either [I][J] or [i in I][j in J]")
        return indices

    def parse_data_declaration(self):
        start = self.advance()
        name = self.expect_name("the name of the data item").value
        indices = self.parse_indices(True, "a data array")
        decl = {"name": name, "type": "parameter", "lineno": start.line, "value_type": start.value,
                "indices": indices, "source": "data", "expr": None}
        generic = bool(indices) and "var" in indices[0]
        if self.at("="):
            self.advance()
            if self.at("..."):
                if generic:
                    self.fail("an expression for the generic array", hint="e.g. float w[i in I] = 2*i;")
                self.advance()
            elif self.at("[") and not generic:
                decl["source"] = "inline"
                decl["expr"] = self.parse_array_literal()
            else:
                if indices and not generic:
                    self.fail("'...' or an array literal [...]",
                              hint=f"to compute the values write {name}[i in {indices[0]['set']}] = ...")
                decl["source"] = "generic" if generic else "inline"
                decl["expr"] = self.parse_expression()
        elif generic:
            self.fail("'=' and an expression for the generic array")
        self.expect(";", f"';' after the declaration of '{name}'")
        return decl

    def parse_array_literal(self):
        t = self.expect("[")
        self.enter()
        items = []
        while not self.at("]"):
            items.append(self.parse_array_literal() if self.at("[") else self.parse_additive())
            if not self.at("]"):
                self.expect(",", "',' or ']' in the array literal")
        self.advance()
        self.leave()
        return self.node(t, type="array_literal", elements=items)

    def parse_dvar(self):
        start = self.advance()
        vt = self.tok
        if not (vt.kind == "NAME" and vt.value in ("float", "int", "boolean")):
            self.fail("the variable type (float, float+, int, int+ or boolean)")
        self.advance()
        var_type = vt.value
        if self.at("+") and var_type != "boolean":
            self.advance()
            var_type += "+"
        name = self.expect_name("the name of the decision variable").value
        indices = self.parse_indices(False, "a decision variable")
        bounds = None
        if self.at("NAME", "in"):
            self.advance()
            low = self.parse_additive()
            self.expect("..", "'..' between the bounds of the decision variable")
            high = self.parse_additive()
            bounds = {"low": low, "high": high}
        self.expect(";", f"';' after the declaration of '{name}'")
        return {"name": name, "type": "dvar", "lineno": start.line, "var_type": var_type,
                "indices": indices, "bounds": bounds}

    def parse_dexpr(self):
        start = self.advance()
        vt = self.tok
        if not (vt.kind == "NAME" and vt.value in ("float", "int")):
            self.fail("the type of the decision expression (float or int)")
        self.advance()
        name = self.expect_name("the name of the decision expression").value
        indices = self.parse_indices(True, "a decision expression")
        if indices and "var" not in indices[0]:
            self.fail("a generic index such as [i in I]", hint=f"write dexpr float {name}[i in I] = ...;")
        self.expect("=", f"'=' and the expression defining '{name}'")
        expr = self.parse_expression()
        self.expect(";", f"';' after the declaration of '{name}'")
        return {"name": name, "type": "dexpr", "lineno": start.line, "value_type": vt.value,
                "indices": indices, "expr": expr}

    def parse_label(self):
        """A label is a name followed by ':' (a line break may follow the colon)."""
        if self.tok.kind == "NAME" and self.peek().kind == ":" and self.tok.value not in RESERVED_WORDS:
            label = self.advance().value
            self.advance()
            return label
        return None

    def parse_objective(self):
        start = self.advance()
        label = self.parse_label()
        expr = self.parse_arithmetic()
        self.expect(";", "';' after the objective")
        return {"type": "objective", "sense": start.value, "label": label, "expr": expr,
                "lineno": start.line}

    def parse_block(self, owner):
        open_tok = self.expect("{", f"'{{' to open the constraints of {owner}")
        self.enter()
        body = []
        while not self.at("}"):
            if self.at("EOF"):
                self.fail(f"'}}' to close the block opened on line {open_tok.line}")
            body.append(self.parse_constraint())
        self.advance()
        self.leave()
        return body

    def parse_constraint(self):
        t = self.tok
        if self.at("NAME", "forall"):
            self.advance()
            self.expect("(", "'(' after 'forall'")
            iterators, filt = self.parse_iteration()
            self.enter()
            body = self.parse_block("forall") if self.at("{") else [self.parse_constraint()]
            self.leave()
            return {"type": "forall", "iterators": iterators, "filter": filt, "body": body,
                    "lineno": t.line}
        if self.at("{"):
            return {"type": "block", "body": self.parse_block("the block"), "lineno": t.line}
        label = self.parse_label()
        if label is not None and (self.at("NAME", "forall") or self.at("{")):
            self.fail("a constraint after the label", hint="put the label inside forall, e.g. "
                      "forall(i in I) cap: x[i] <= c[i];")
        first = self.tok
        left = self.parse_arithmetic()
        op = self.tok
        if op.kind not in ("<=", ">=", "=="):
            hint = ""
            if op.kind in ("<", ">"):
                hint = "strict inequalities are not allowed in constraints; use <= or >="
            elif op.kind == "=":
                hint = "write '==' for an equality constraint"
            self.fail("'<=', '>=' or '==' in the constraint", hint=hint)
        self.advance()
        right = self.parse_arithmetic()
        if self.tok.kind in ("<=", ">=", "==", "<", ">", "="):
            self.fail("';' after the constraint", hint="write a two-sided bound as two constraints")
        self.expect(";", "';' after the constraint")
        return {"type": "constraint", "label": label, "op": op.kind, "left": left, "right": right,
                "lineno": first.line}

    # -- iterators ------------------------------------------------------------------------------
    def parse_iteration(self):
        """Parse 'i in I, <a, b> in Arcs : filter )' after an opening parenthesis."""
        iterators = [self.parse_iterator()]
        while self.at(","):
            self.advance()
            iterators.append(self.parse_iterator())
        filt = None
        if self.at(":"):
            self.advance()
            filt = self.parse_expression()
        self.expect(")", "')' to close the iteration" if filt else "',', ':' or ')' in the iteration")
        return iterators, filt

    def parse_iterator(self):
        t = self.tok
        if self.at("<"):
            self.advance()
            pattern = [self.expect_name("a loop variable name in the tuple pattern").value]
            while self.at(","):
                self.advance()
                pattern.append(self.expect_name("a loop variable name in the tuple pattern").value)
            self.expect(">", "'>' to close the tuple pattern")
            fields = {"pattern": pattern}
        else:
            fields = {"var": self.expect_name("a loop variable such as i, or a tuple pattern <i, j>").value}
        self.expect_word("in", "'in' after the loop variable")
        set_start = self.tok
        low = self.parse_additive()
        if self.at(".."):
            self.advance()
            high = self.parse_additive()
            set_expr = self.node(set_start, type="range_expr", low=low, high=high)
        elif low.get("type") == "name":
            set_expr = low
        else:
            self.fail("the name of a set or range, or lo..hi", set_start)
        return self.node(t, type="iterator", **fields, set=set_expr)

    # -- expressions ----------------------------------------------------------------------------
    def parse_expression(self):
        """Full expression: logical operators, comparisons and membership (filters, data)."""
        return self.parse_or()

    def parse_or(self):
        left = self.parse_and()
        while self.at("||"):
            t = self.advance()
            left = self.node(t, type="logical", op="||", left=left, right=self.parse_and())
        return left

    def parse_and(self):
        left = self.parse_not()
        while self.at("&&"):
            t = self.advance()
            left = self.node(t, type="logical", op="&&", left=left, right=self.parse_not())
        return left

    def parse_not(self):
        if self.at("!"):
            t = self.advance()
            self.enter()
            operand = self.parse_not()
            self.leave()
            return self.node(t, type="unary", op="!", operand=operand)
        return self.parse_comparison()

    def parse_comparison(self):
        t = self.tok
        left = self.parse_additive()
        if self.tok.kind in ("<", "<=", ">", ">=", "==", "!="):
            op = self.advance().kind
            return self.node(t, type="compare", op=op, left=left, right=self.parse_additive())
        if self.at("NAME", "in"):
            self.advance()
            set_name = self.expect_name("the name of a set after 'in'").value
            return self.node(t, type="in", element=left, set=set_name)
        return left

    def parse_arithmetic(self):
        """Arithmetic expression only (objective and constraint sides)."""
        return self.parse_additive()

    def parse_additive(self):
        left = self.parse_multiplicative()
        while self.tok.kind in ("+", "-"):
            t = self.advance()
            left = self.node(t, type="binop", op=t.kind, left=left, right=self.parse_multiplicative())
        return left

    def parse_multiplicative(self):
        left = self.parse_unary()
        while self.tok.kind in ("*", "/"):
            t = self.advance()
            left = self.node(t, type="binop", op=t.kind, left=left, right=self.parse_unary())
        return left

    def parse_unary(self):
        if self.at("-"):
            t = self.advance()
            self.enter()
            operand = self.parse_unary()
            self.leave()
            return self.node(t, type="unary", op="-", operand=operand)
        return self.parse_postfix()

    def parse_postfix(self):
        t = self.tok
        expr = self.parse_primary()
        while self.tok.kind in ("[", "."):
            if self.at("["):
                if expr.get("type") != "name":
                    self.fail("an operator or ';'", hint="only declared names can be subscripted")
                indices = []
                while self.at("["):
                    self.advance()
                    self.enter()
                    indices.append(self.parse_additive())
                    self.leave()
                    self.expect("]", "']' after the subscript",
                                "write one subscript per bracket pair, e.g. x[i][j]")
                expr = self.node(t, type="indexed", name=expr["name"], indices=indices)
            else:
                self.advance()
                field = self.expect_name("a tuple field name after '.'").value
                expr = self.node(t, type="field", base=expr, field=field)
        return expr

    def parse_primary(self):
        t = self.tok
        if t.kind == "NUMBER":
            self.advance()
            return self.node(t, type="number", value=t.value)
        if t.kind == "STRING":
            self.advance()
            return self.node(t, type="string", value=t.value)
        if t.kind == "(":
            self.advance()
            self.enter()
            inner = self.parse_expression()
            self.leave()
            self.expect(")", "')' to close the parenthesis")
            return inner
        if t.kind == "<":
            return self.parse_tuple_literal()
        if t.kind == "NAME":
            word = t.value
            if word in ("maxint", "infinity"):
                self.advance()
                return self.node(t, type="constant", name=word)
            if word == "sum" or (word in ("min", "max") and self.peek().kind == "(" and (
                    self.peek(2).kind == "<" or
                    (self.peek(2).kind == "NAME" and self.peek(3).kind == "NAME"
                     and self.peek(3).value == "in"))):
                return self.parse_aggregate()
            if word in ("abs", "card", "min", "max"):
                return self.parse_call()
            if word in RESERVED_WORDS:
                self.fail("a value, a name or '('", hint=f"'{word}' is a reserved word")
            self.advance()
            return self.node(t, type="name", name=word)
        self.fail("a value, a name or '('")

    def parse_tuple_literal(self):
        t = self.advance()
        self.enter()
        elements = [self.parse_additive()]
        while self.at(","):
            self.advance()
            elements.append(self.parse_additive())
        self.expect(">", "',' or '>' in the tuple")
        self.leave()
        return self.node(t, type="tuple_literal", elements=elements)

    def parse_aggregate(self):
        t = self.advance()
        self.expect("(", f"'(' after '{t.value}'")
        self.enter()
        iterators, filt = self.parse_iteration()
        body = self.parse_multiplicative()
        self.leave()
        return self.node(t, type="aggregate", op=t.value, iterators=iterators, filter=filt, body=body)

    def parse_call(self):
        t = self.advance()
        self.expect("(", f"'(' after '{t.value}'")
        self.enter()
        args = [self.parse_additive()]
        while self.at(","):
            self.advance()
            args.append(self.parse_additive())
        self.expect(")", f"')' to close '{t.value}('")
        self.leave()
        wanted = {"abs": (1, 1), "card": (1, 1)}.get(t.value, (2, 10 ** 9))
        if not wanted[0] <= len(args) <= wanted[1]:
            count = "one argument" if wanted[0] == 1 else "at least two arguments"
            raise VormoSyntaxError("model", t.line, t.col, f"{count} for '{t.value}'",
                                   f"{len(args)} argument(s)",
                                   "for an aggregate write e.g. max(i in I) c[i]" if wanted[0] == 2 else "")
        return self.node(t, type="call", name=t.value, args=args)


# ----------------------------------------------------------------------------------------------
# Data-file parser
# ----------------------------------------------------------------------------------------------
class DataParser(_ParserBase):
    """Parser of a data file: a list of items  name = value;  with values

        value := ['-'] number | string | '{' [value {',' value}] '}'   (set)
               | '[' [value {',' value}] ']'   (array, nested for more dimensions)
               | '<' value {',' value} '>'     (tuple)

    Returns a list of (name, value, line); a value is a dict with "kind" ("number", "string",
    "set", "array", "tuple"), "value" or "items", and the "line" where it starts.
    """

    def __init__(self, text):
        super().__init__(text, "data")

    def parse_data(self):
        items = []
        while not self.at("EOF"):
            name = self.expect_name("the name of a data item")
            self.expect("=", f"'=' after '{name.value}'")
            value = self.parse_value()
            self.expect(";", f"';' after the value of '{name.value}'")
            items.append((name.value, value, name.line))
        return items

    def parse_value(self):
        t = self.tok
        if t.kind == "-" and self.peek().kind == "NUMBER":
            self.advance()
            return {"kind": "number", "value": -self.advance().value, "line": t.line}
        if t.kind == "NUMBER":
            self.advance()
            return {"kind": "number", "value": t.value, "line": t.line}
        if t.kind == "STRING":
            self.advance()
            return {"kind": "string", "value": t.value, "line": t.line}
        closers = {"{": ("}", "set"), "[": ("]", "array"), "<": (">", "tuple")}
        if t.kind in closers:
            close, kind = closers[t.kind]
            self.advance()
            self.enter()
            items = []
            while not self.at(close):
                items.append(self.parse_value())
                if not self.at(close):
                    self.expect(",", f"',' or '{close}'")
            self.advance()
            self.leave()
            if kind == "tuple" and not items:
                self.fail("at least one field in the tuple", t)
            return {"kind": kind, "items": items, "line": t.line}
        hint = ""
        if t.kind == "NAME":
            hint = "text values must be in double quotes, e.g. \"" + str(t.value) + "\""
        elif t.kind == "-":
            hint = "a minus sign must be followed by a number"
        self.fail("a number, a \"string\", a set {...}, an array [...] or a tuple <...>", hint=hint)


class VormoCompiler:
    """Compiles a Vormo model and its data file; see the module documentation for the result."""

    def compile_model(self, model_code, data_code):
        model = ModelParser(model_code).parse_model()
        DataParser(data_code).parse_data()
        del model["objectives"]
        model["data"] = {}
        return model
