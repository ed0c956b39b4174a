"""Vormo model compiler: parses a Vormo model file and its data file, checks them, and
returns the compiled model as plain dictionaries and lists.

Usage::

    from vormo.vormo_kernel import VormoCompiler
    compiled = VormoCompiler().compile_model(model_code, data_code)

``compile_model`` takes the two texts (not paths). It either returns the compiled model or raises
exactly one error for the first fault it finds:

* ``VormoSyntaxError`` (a ``SyntaxError``) for text that does not follow the grammar. Its text names
  the file ("model file" or "data file"), the line and column, what was expected and what was found,
  and for the habits of other modelling languages and of Python a "write ... instead" hint with the
  Vormo form. A statement that lacks its ';' is reported just after its last token, as
  "line 3: missing ';' after the declaration of 'cap'" ("line 3 of the data file: ..." in data).
  Attributes: ``source`` ("model" or "data"), ``lineno``, ``offset`` (column, 1-based),
  ``expected``, ``found``, ``hint`` ("" when there is none).
* ``SemanticError`` (from ``vormo.faultnote``) for a well-formed text that does not make sense:
  undeclared names, missing or undeclared data items, values of the wrong shape or type, wrong
  number of subscripts, decision variables where only data may stand, products of two decision
  variables, duplicate declarations or labels, subscripts outside their index set, values out of
  range (integers beyond 10^40 in size, numbers beyond the range of a float, range bounds beyond
  2^53, results such as infinity - infinity). ``lineno`` is
  the line in the model file, or in the data file when the message says "in the data file".

The compiler keeps no state between calls, never reads or writes files and never prints.

The language in brief (see "Vormo grammar.md" for the full reference)::

    tuple Arc { string from; string to; float cost; }
    int n = ...;                      float a;               // data from the data file
    range T = 1..n;                   {string} P = ...;      {Arc} Arcs = ...;
    float c[P] = ...;                 float w[i in T] = 2*i; // generic inline array
    {string} Q = P diff {"b"};        int nxt[t in T] = t mod n + 1;
    dvar float+ x[P] in 0..100;       dexpr float total = sum(p in P) c[p] * x[p];
    dvar float y[p in P] in 0..c[p];  float d[t in T] = t > 1 ? w[t - 1] : 0;
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
* set:         {"type": "set", "element_type": "int"|"float"|"string",
                "source": "inline"|"data"|"expression", "elements": [expr, ...]} (inline literal),
                {"value": [plain values]} (data file), or {"expr": set_expr, "value": [...]}
                (computed; "value" is missing when it is too large to compute)
* tuple set:   {"type": "set_of_tuples", "tuple_type": "Arc", "source": ...,
                "elements": [tuple_literal, ...]} or {"value": [[field values], ...]} or
                {"expr": set_expr, "value": [...]}
* data:        {"type": "parameter", "value_type": "int"|"float"|"string"|"boolean",
                "indices": [index, ...], "source": "data"|"inline"|"generic", "expr": expr or None}
  where index is {"set": "P"} or, for generic arrays, {"var": "i", "set": "P"}; "expr" is the
  initializer: an expression, an array literal {"type": "array_literal", "elements": [...]}, or None
  for data from the data file.
* decision variable: {"type": "dvar", "var_type": "float"|"float+"|"int"|"int+"|"boolean",
                "indices": [{"set": "P"}, ...] or [{"var": "p", "set": "P"}, ...],
                "bounds": {"low": expr, "high": expr} or None}; with named indices the bounds may
                use them (dvar float f[a in Arcs] in 0..cap[a]), one pair of bounds per element
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
* {"type": "binop", "op": "+"|"-"|"*"|"/"|"mod"|"div", "left": expr, "right": expr}
  (mod and div of integer data: div rounds down, mod has the sign of the divisor)
* {"type": "conditional", "condition": expr, "then": expr, "else": expr}      c ? a : b
* {"type": "unary", "op": "-"|"!", "operand": expr}
* {"type": "compare", "op": "<"|"<="|">"|">="|"=="|"!=", "left": expr, "right": expr}
* {"type": "logical", "op": "&&"|"||", "left": expr, "right": expr}
* {"type": "in", "element": expr, "set": "Arcs"}                    <i, j> in Arcs
* {"type": "in_range", "element": expr, "low": expr, "high": expr}  t in 2..n
* {"type": "tuple_literal", "elements": [expr, ...]}
* {"type": "aggregate", "op": "sum"|"min"|"max", "iterators": [...], "filter": expr or None,
   "body": expr}
* {"type": "call", "name": "abs"|"card"|"min"|"max"|"floor"|"ceil"|"round", "args": [expr, ...]}
  (round takes halves away from zero)
* {"type": "range_expr", "low": expr, "high": expr}                 lo..hi (in iterators)
* iterator: {"type": "iterator", "var": "i", "set": expr} or
            {"type": "iterator", "pattern": ["i", "j"], "set": expr}   <i, j> in Arcs
* set_expr (right of a set declaration): {"type": "name", "name": "Cities"},
  {"type": "set_op", "op": "union"|"inter"|"diff", "left": set_expr, "right": set_expr},
  {"type": "as_set", "range": range_expr or name}                   asSet(1..n)
  {"type": "set_literal", "elements": [expr, ...]}                  {1, 2}
  {"type": "set_filter", "element": expr, "iterators": [...], "filter": expr or None}
                                                                    {c | c in C: pop[c] >= 10}

Data dict: every data item, from the data file or computed inline, as plain values: numbers
(boolean as 0/1), strings, lists for sets (in their order) and arrays (nested, one level per index,
in the order of the index sets), lists of field values for the members of tuple sets.
Inline data too large to compute within the evaluation budget (a million steps) is left out of the
data dict, and subscripts that would need it are not checked.
"""

import math
import re
import sys

from .faultnote import SemanticError

__all__ = ["VormoCompiler", "VormoSyntaxError", "SemanticError"]

# ----------------------------------------------------------------------------------------------
# Limits that keep hostile input from exhausting the stack or the clock.
# ----------------------------------------------------------------------------------------------
MAX_NESTING = 40             # parentheses, brackets, blocks, unary operators, aggregates
MAX_EXPRESSION_DEPTH = 200   # depth of an expression tree (long + chains count too)
MAX_ITERATORS = 12           # loop variables in one forall/sum/min/max
DATA_BUDGET = 1_000_000      # evaluation steps for computing inline data, per call
SUBSCRIPT_BUDGET = 300_000   # evaluation steps for checking subscripts against the data, per call
MAXINT = 2 ** 31 - 1
# Integers in data stay within +-10^40 (the largest a 40-digit literal writes), so that no chain of
# products can make numbers whose size, not their count, takes the time.
INT_LIMIT = 10 ** 40
INT_LIMIT_TEXT = "10^40 in size, the largest integer the compiler allows"
# Bounds of ranges stay within +-2^53, the integers a float holds exactly.
RANGE_LIMIT = 2 ** 53

SCALAR_TYPES = ("int", "float", "string", "boolean")
# Tokens that can start an expression.
EXPRESSION_STARTS = frozenset(["NAME", "NUMBER", "STRING", "(", "-", "<"])
# Words that start a statement of a model: text after a statement that lacks its ';'.
STATEMENT_WORDS = frozenset("int float string boolean range tuple dvar dexpr minimize maximize "
                            "subject forall".split())
RESERVED_WORDS = frozenset(
    "int float string boolean range tuple dvar dexpr minimize maximize subject forall "
    "sum min max abs card in maxint infinity mod div floor ceil round union inter diff asSet".split())
# Functions of one data argument, and the operators between sets.
ONE_ARGUMENT_CALLS = ("abs", "card", "floor", "ceil", "round")
SET_OPERATORS = ("union", "inter", "diff")


class VormoSyntaxError(SyntaxError):
    """Text that does not follow the Vormo grammar, in the model file or in the data file."""

    def __init__(self, source, lineno, column, expected, found, hint="", text=None):
        file_name = "model file" if source == "model" else "data file"
        if text is None:
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
        self.hint = hint

    def __str__(self):
        return self.msg


# ----------------------------------------------------------------------------------------------
# Lexer
# ----------------------------------------------------------------------------------------------
class Token:
    """One lexical unit: kind is NAME, NUMBER, NUMBERS, STRING, an operator text, or EOF; start
    and stop are its offsets in the text."""
    __slots__ = ("kind", "value", "line", "col", "start", "stop")

    def __init__(self, kind, value, line, col, start, stop):
        self.kind, self.value, self.line, self.col = kind, value, line, col
        self.start, self.stop = start, stop

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
             "+", "-", "*", "/", "(", ")", "[", "]", "{", "}", "<", ">", ",", ";", ":", "=", "!", ".",
             "?", "|")

# Numbers are ASCII digits only: other Unicode digits (superscripts, circled or Arabic-Indic
# digits) are not numbers and not parts of names.
_NUMBER = r"[0-9]+(?:\.[0-9]+)?(?:[eE][+-]?[0-9]+)?"
_TOKEN = re.compile(
    r"(?P<blank>[ \t\r\f\v\n]+)"
    r"|(?P<comment>//[^\n]*)"
    r"|(?P<block>/\*)"
    rf"|(?P<number>{_NUMBER})"
    r"|(?P<name>[^\W\d]\w*)"
    r'|(?P<string>")'
    r"|(?P<op>" + "|".join(re.escape(op) for op in OPERATORS) + ")")
_STRING_BODY = re.compile(r'((?:[^"\\\n]|\\["\\nt]|\\(?!["\\nt]))*+)"')
_ESCAPE = re.compile(r'\\(["\\nt])')
_ESCAPED = {"n": "\n", "t": "\t", '"': '"', "\\": "\\"}
# A flat list of plain numbers in brackets or braces, as data files hold them by the million:
# read in one match, without a token per number. Anything else (comments, a blank after a minus
# sign, strings, nesting) goes the ordinary way, one token at a time.
_SEP = r"[ \t\r\n]*+"
_NUMBER_LIST = re.compile(
    rf"\[{_SEP}(?:-?{_NUMBER}(?:{_SEP},{_SEP}-?{_NUMBER})*+{_SEP})?+\]"
    rf"|\{{{_SEP}(?:-?{_NUMBER}(?:{_SEP},{_SEP}-?{_NUMBER})*+{_SEP})?+\}}")
_HAS_DIGIT = re.compile(r"[0-9]")
_FLOAT_MARK = re.compile(r"[.eE]")
MAX_NUMBER_CHARS = 40
FLOAT_MAX = sys.float_info.max


def _is_name_char(c):
    return c == "_" or c.isalpha() or "0" <= c <= "9"


def _number_value(literal):
    return float(literal) if _FLOAT_MARK.search(literal) else int(literal)


def _too_large_literal(source, literal, line):
    where = "in the data file, " if source == "data" else ""
    return SemanticError(f"{where}the number {literal} is too large for a float (at most about "
                         f"{FLOAT_MAX:.3g}); write a smaller number", line)


def tokenize(text, source, start=0, line=1, line_start=0, number_lists=False):
    """Yield the tokens of text with 1-based line and column; comments and blanks are skipped.

    After the last token the EOF token repeats forever. With number_lists, a bracketed or braced
    list of plain numbers comes as one NUMBERS token whose value is (numbers, whether one is written as a float,
    offset, line start), offset being where the list starts in text.
    """
    i, n = start, len(text)
    match = _TOKEN.match

    def fail(expected, found, hint="", at=None):
        column = (i if at is None else at) - line_start + 1
        raise VormoSyntaxError(source, line, column, expected, found, hint)

    while i < n:
        m = match(text, i)
        if m is None:
            fail("a name, number, string or operator", f"the character {text[i]!r}")
        kind = m.lastgroup
        end = m.end()
        if kind == "blank" or kind == "comment":
            if kind == "blank":
                newlines = text.count("\n", i, end)
                if newlines:
                    line += newlines
                    line_start = text.rfind("\n", i, end) + 1
            i = end
            continue
        col = i - line_start + 1
        if kind == "op":
            op = m.group()
            if number_lists and op in "[{":
                listed = _NUMBER_LIST.match(text, i)
                if listed is not None:
                    numbers = _numbers_of_list(text, i + 1, listed.end() - 1)
                    if numbers is not None:
                        yield Token("NUMBERS", (*numbers, i, line_start), line, col, i,
                                    listed.end())
                        end = listed.end()
                        newlines = text.count("\n", i, end)
                        if newlines:
                            line += newlines
                            line_start = text.rfind("\n", i, end) + 1
                        i = end
                        continue
            yield Token(op, op, line, col, i, end)
        elif kind == "number":
            literal = m.group()
            if len(literal) > MAX_NUMBER_CHARS:
                fail(f"a number of at most {MAX_NUMBER_CHARS} characters",
                     f"a number of {len(literal)} characters")
            value = _number_value(literal)
            if value == float("inf"):
                raise _too_large_literal(source, literal, line)
            yield Token("NUMBER", value, line, col, i, end)
        elif kind == "name":
            name = m.group()
            if not name.isascii():
                if not (name[0] == "_" or name[0].isalpha()):
                    fail("a name, number, string or operator", f"the character {name[0]!r}")
                k = 1
                while k < len(name) and _is_name_char(name[k]):
                    k += 1
                name = name[:k]
                end = i + k
            yield Token("NAME", name, line, col, i, end)
        elif kind == "string":
            body = _STRING_BODY.match(text, end)
            if body is None:
                stop = text.find("\n", end)
                fail("a closing '\"' for the string", "the end of the line",
                     "strings must end on the line where they start", at=n if stop < 0 else stop)
            value = body.group(1)
            if "\\" in value:
                value = _ESCAPE.sub(lambda e: _ESCAPED[e.group(1)], value)
            end = body.end()
            yield Token("STRING", value, line, col, i, end)
        else:  # block comment
            close = text.find("*/", end)
            if close < 0:
                fail("'*/' to close the comment", "the end of the file")
            newlines = text.count("\n", i, close)
            if newlines:
                line += newlines
                line_start = text.rfind("\n", i, close) + 1
            end = close + 2
        i = end
    eof = Token("EOF", None, line, i - line_start + 1, i, i)
    while True:
        yield eof


def _numbers_of_list(text, start, stop):
    """The numbers between start and stop (a list already matched by _NUMBER_LIST) and whether
    one of them is written as a float; None when one needs the ordinary path (a literal too
    long, or too large for a float)."""
    if _HAS_DIGIT.search(text, start, stop) is None:
        return [], False
    numbers, floats = [], False
    pos, chunk = start, 1 << 16
    while pos < stop:  # in pieces of about 64 KB, so that the split texts stay small
        cut = stop if stop - pos <= chunk else text.find(",", pos + chunk, stop)
        if cut < 0:
            cut = stop
        piece = text[pos:cut]
        parts = piece.split(",")
        if max(map(len, parts)) > MAX_NUMBER_CHARS and any(
                len(p.strip().lstrip("-")) > MAX_NUMBER_CHARS for p in parts):
            return None
        exponent = "e" in piece or "E" in piece
        if "." not in piece and not exponent:
            numbers.extend(map(int, parts))
        elif not exponent and piece.count(".") == len(parts):
            numbers.extend(map(float, parts))
            floats = True
        else:
            numbers.extend([float(p) if "." in p or "e" in p or "E" in p else int(p) for p in parts])
            floats = True
        pos = cut + 1
    if floats and (float("inf") in numbers or float("-inf") in numbers):
        return None
    return numbers, floats


# ----------------------------------------------------------------------------------------------
# Parser base: token cursor, error reporting, nesting guard
# ----------------------------------------------------------------------------------------------
class _ParserBase:
    def __init__(self, text, source, **start):
        self.source = source
        self.text = text
        self.stream = tokenize(text, source, **start)
        self.tok = next(self.stream)
        self.prev = None
        self.ahead = []
        self.nesting = 0

    def peek(self, ahead=1):
        while len(self.ahead) < ahead:
            self.ahead.append(next(self.stream))
        return self.ahead[ahead - 1]

    def at(self, kind, value=None):
        t = self.tok
        if value is not None:
            return t.kind == "NAME" and t.value == value
        return t.kind == kind

    def advance(self):
        t = self.tok
        if t.kind != "EOF":
            self.prev = t
            self.tok = self.ahead.pop(0) if self.ahead else next(self.stream)
        return t

    def fail(self, expected, token=None, hint=""):
        t = token or self.tok
        raise VormoSyntaxError(self.source, t.line, t.col, expected, t.describe(), hint)

    def expect(self, kind, expected=None, hint=""):
        if self.tok.kind != kind:
            if kind == ";" and self.semicolon_missing():
                self.fail_missing_semicolon(expected or "';'")
            self.fail(expected or f"'{kind}'", hint=hint)
        return self.advance()

    def semicolon_missing(self):
        """A statement ended without ';' when what follows is on a later line, is the end of the
        file or of a block, or starts a new statement."""
        t, prev = self.tok, self.prev
        if prev is None:
            return False
        if t.kind == "EOF" or t.line > prev.line + self.text.count("\n", prev.start, prev.stop):
            return True
        if self.source == "data":
            return t.kind == "NAME" and self.peek().kind == "="
        return t.kind == "}" or (t.kind == "NAME" and t.value in STATEMENT_WORDS)

    def fail_missing_semicolon(self, expected):
        """Report the missing ';' just after the last token of the statement."""
        stop = self.prev.stop
        line = self.prev.line + self.text.count("\n", self.prev.start, stop)
        column = stop - (self.text.rfind("\n", 0, stop) + 1) + 1
        where = "" if self.source == "model" else " of the data file"
        raise VormoSyntaxError(self.source, line, column, expected, self.tok.describe(),
                               text=f"line {line}{where}: missing {expected}")

    def fragment(self, start, stop, limit=70):
        """Source text between two offsets on one line, blanks collapsed, shortened."""
        text = " ".join(self.text[start:stop].split())
        return text if len(text) <= limit else text[:limit - 3] + "..."

    def rest_of_statement(self, start):
        """Source text from start to the next ';' (or the end of the line), without the ';'."""
        stop = self.text.find(";", start, start + 400)
        if stop < 0:
            stop = self.text.find("\n", start)
            stop = len(self.text) if stop < 0 else stop
        return self.fragment(start, stop)

    def fail_with_hint(self, error, hint):
        """error again, with a hint added."""
        if not hint or error.hint:
            raise error
        raise VormoSyntaxError(error.source, error.lineno, error.offset, error.expected, error.found,
                               hint) from None

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
# Model parser, in four layers: hints, expressions, declarations, model structure
# ----------------------------------------------------------------------------------------------
class _HintWriter(_ParserBase):
    """'write ... instead' hints for the habits of other modelling languages and of Python.

    Hints read ahead in the raw text (scan never fails), so that a finding can show the whole
    statement in its Vormo form."""

    def scan(self, token, limit=60):
        """Up to limit tokens of the text from token on (for hints; never fails)."""
        tokens = []
        try:
            for t in tokenize(self.text, "model", start=token.start, line=token.line,
                              line_start=token.start - token.col + 1):
                if t.kind == "EOF" or len(tokens) == limit:
                    break
                tokens.append(t)
        except (VormoSyntaxError, SemanticError):
            pass
        return tokens

    def closing(self, tokens, k):
        """Index of the bracket that closes tokens[k], or None."""
        pairs = {"(": ")", "[": "]", "{": "}"}
        depth = 0
        for j in range(k, len(tokens)):
            if tokens[j].kind in pairs:
                depth += 1
            elif tokens[j].kind in pairs.values():
                depth -= 1
                if depth == 0:
                    return j
        return None

    def index_sets(self, tokens, k):
        """'[A][B]' from index sets written {A, B}, [A], {i in A} or (A) at tokens[k], and the
        index after them; ('', k) when there are none."""
        if k >= len(tokens) or tokens[k].kind not in ("{", "[", "("):
            return "", k
        close = self.closing(tokens, k)
        if close is None:
            return "", k
        sets, inside = [], tokens[k + 1:close]
        for j, t in enumerate(inside):
            if t.kind == "NAME" and not (j + 1 < len(inside) and inside[j + 1].value == "in") \
                    and t.value != "in" and (j == 0 or inside[j - 1].kind in (",", "NAME")):
                sets.append(t.value)
        return "".join(f"[{name}]" for name in sets), close + 1

    def statement_hint(self):
        """A 'write ... instead' hint for a word of another language where a statement is due."""
        t = self.tok
        tokens = self.scan(t)
        word = t.value if t.kind == "NAME" else t.kind
        nxt = tokens[1] if len(tokens) > 1 else None
        name = nxt.value if nxt is not None and nxt.kind == "NAME" else None
        rest = self.rest_of_statement(t.stop)
        if word == "set":
            return f"write {{string}} {name or 'S'} = ...; instead (or {{int}} for a set of numbers)"
        if word == "param":
            dims, _ = self.index_sets(tokens, 2)
            return (f"write float {name or 'p'}{dims} = ...; instead (data are declared with their "
                    "type: int, float, string or boolean)")
        if word == "var":
            dims, _ = self.index_sets(tokens, 2)
            words = {u.value for u in tokens if u.kind == "NAME"}
            lower = any(u.kind == ">=" for u in tokens) and "0" in rest.split(">=")[-1][:3]
            vtype = ("boolean" if "binary" in words else "int" if "integer" in words else "float") + \
                ("+" if lower and "binary" not in words else "")
            return f"write dvar {vtype} {name or 'x'}{dims}; instead"
        if word in ("integer", "binary"):
            vtype = "int" if word == "integer" else "boolean"
            return f"write dvar {vtype} {name or 'x'}; instead"
        if word in ("st", "s") and (word == "st" or rest.startswith(".t.")):
            return "write the constraints inside one block instead: subject to { ... }"
        if word in ("minimise", "maximise"):
            return f"write {word[:-3]}ize instead"
        if word in ("min", "max"):
            sense = "minimize" if word == "min" else "maximize"
            named = re.match(r"(\w+)\s*[:=]\s*(.*)", rest.lstrip(":").strip())
            objective = f"{named[1]}: {named[2]}" if named else rest.lstrip(":").strip()
            return f"write {sense} {objective}; instead"
        if word in ("solve", "display", "print", "printf"):
            return (f"remove the {word} statement: a Vormo model holds only declarations, one "
                    "objective and subject to { ... }")
        if name is None and nxt is not None and nxt.kind == "{":
            return ("remove the script block: a Vormo model holds only declarations, one objective "
                    "and subject to { ... }")
        if word == "forall" or (nxt is not None and nxt.kind == ":" and t.kind == "NAME"):
            return f"write subject to {{ {self.rest_of_statement(t.start)}; }} instead"
        return ""

    def comprehension_hint(self, word, open_tok):
        """'write sum(i in I) ... instead' for a Python comprehension sum(body for i in I if f)."""
        tokens = self.scan(open_tok, limit=400)
        close = self.closing(tokens, 0)
        if close is None:
            return ""
        depth, marks = 0, []
        for t in tokens[1:close]:
            if t.kind in ("(", "[", "{"):
                depth += 1
            elif t.kind in (")", "]", "}"):
                depth -= 1
            elif depth == 0 and t.kind == "NAME" and t.value in ("for", "if"):
                marks.append(t)
        if not marks or marks[0].value != "for":
            return ""
        body = self.fragment(open_tok.stop, marks[0].start)
        iterators, condition = [], ""
        ends = marks[1:] + [tokens[close]]
        for mark, end in zip(marks, ends):
            piece = self.fragment(mark.stop, end.start)
            if mark.value == "for":
                head, _, domain = piece.partition(" in ")
                head = head.strip()
                if head.startswith("(") and head.endswith(")"):
                    head = "<" + head[1:-1] + ">"
                iterators.append(f"{head} in {domain.strip()}")
            else:
                condition = piece
        if "+" in body or "-" in body:
            body = f"({body})"
        return (f"write {word}({', '.join(iterators)}{': ' + condition if condition else ''}) "
                f"{body} instead")

    def braces_hint(self, word):
        """'write sum(i in I) instead' for sum{i in I} or forall{i in I}."""
        tokens = self.scan(self.tok)
        close = self.closing(tokens, 0)
        if close is None:
            return ""
        inner = self.fragment(tokens[0].stop, tokens[close].start)
        inner = re.sub(r"^\(\s*([^()]*?)\s*\)\s+in\b", r"<\1> in", inner)
        return f"write {word}({inner}) instead"

    def operator_hint(self, first, left, op, label):
        """'write ... instead' for =, =<, =>, <, > in a constraint and for a label without ':'."""
        left_text = self.fragment(first.start, self.prev.stop)
        if op.kind in EXPRESSION_STARTS and left.get("type") == "name" and label is None:
            return (f"write {left['name']}: {self.rest_of_statement(op.start)}; instead (a label "
                    "takes ':')")
        if op.kind not in ("=", "<", ">"):
            return ""
        after = self.peek()
        right_start = op.stop
        good = {"=": "==", "<": "<=", ">": ">="}[op.kind]
        if op.kind == "=" and after.kind in ("<", ">") and after.start == op.stop:
            good = after.kind + "="
            right_start = after.stop
        text = f"{left_text} {good} {self.rest_of_statement(right_start)};"
        if good == "==":
            return f"write {text} instead (an equality constraint takes '==')"
        if op.kind in ("<", ">"):
            return f"write {text} instead (constraints take no strict inequalities)"
        return f"write {text} instead"

    def dvar_bound_hint(self, var_type, name, indices):
        """'write dvar float+ x[P]; instead' for a bound written as >= 0 or <= u after a dvar."""
        op = self.tok
        tokens = self.scan(op)
        stop = next((t for t in tokens if t.kind in (";", "<=", ">=", "<", ">") and t is not tokens[0]),
                    None)
        if stop is None or len(tokens) < 2:
            return ""
        bound = self.fragment(tokens[1].start, stop.start)
        dims = "".join(f"[{i['set']}]" for i in indices)
        base = var_type.rstrip("+")
        if op.kind in (">=", ">"):
            if bound == "0":
                return f"write dvar {base}+ {name}{dims}; instead"
            return f"write dvar {base} {name}{dims} in {bound}..infinity; instead"
        low = "0" if var_type.endswith("+") else "-infinity"
        return f"write dvar {base} {name}{dims} in {low}..{bound}; instead"


class _ExpressionParser(_HintWriter):
    """Expressions, iterators and the syntax-tree nodes they build.

    Expression nodes carry no line numbers themselves; ``lines`` maps id(node) to the line where
    the node starts, for error messages, and ``depths`` the depth of every inner node.
    """

    def __init__(self, text):
        super().__init__(text, "model")
        self.lines = {}
        self.depths = {}

    def node(self, token, **fields):
        """Make an expression node that starts at token; track its depth in the tree (a node
        missing from depths is a leaf, of depth 1)."""
        n = fields
        self.lines[id(n)] = token.line
        depths = self.depths
        depth = 1
        for v in fields.values():
            if type(v) is dict:
                d = depths.get(id(v), 1)
                if d > depth:
                    depth = d
            elif type(v) is list:
                for item in v:
                    if type(item) is dict:
                        d = depths.get(id(item), 1)
                        if d > depth:
                            depth = d
        depth += 1
        if depth > MAX_EXPRESSION_DEPTH:
            self.fail(f"an expression at most {MAX_EXPRESSION_DEPTH} levels deep", token,
                      "split the expression into several dexpr declarations")
        depths[id(n)] = depth
        return n

    def leaf(self, token, **fields):
        """Make an expression node without children (depth 1)."""
        self.lines[id(fields)] = token.line
        return fields

    def parse_iteration(self):
        """Parse 'i in I, <a, b> in Arcs : filter )' after an opening parenthesis."""
        iterators = [self.parse_iterator()]
        while self.at(","):
            self.advance()
            if len(iterators) == MAX_ITERATORS:
                self.fail(f"at most {MAX_ITERATORS} loop variables in one iteration",
                          hint="nest loops instead")
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

    def parse_expression(self):
        """Full expression: conditionals, logical operators, comparisons and membership (filters,
        data)."""
        t = self.tok
        condition = self.parse_or()
        if not self.at("?"):
            return condition
        self.advance()
        self.enter()
        then = self.parse_or()
        self.expect(":", "':' between the two values of the conditional cond ? a : b")
        otherwise = self.parse_expression()
        self.leave()
        return self.node(t, **{"type": "conditional", "condition": condition, "then": then,
                               "else": otherwise})

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
            if self.tok.kind == "NAME" and self.peek().kind != ".." and self.tok.value not in RESERVED_WORDS:
                set_name = self.expect_name("the name of a set, or lo..hi, after 'in'").value
                return self.node(t, type="in", element=left, set=set_name)
            low = self.parse_additive()
            self.expect("..", "'..' after the lower bound, or the name of a set, after 'in'")
            return self.node(t, type="in_range", element=left, low=low, high=self.parse_additive())
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
        while self.tok.kind in ("*", "/") or (self.tok.kind == "NAME" and self.tok.value in ("mod", "div")):
            t = self.advance()
            op = t.value if t.kind == "NAME" else t.kind
            left = self.node(t, type="binop", op=op, left=left, right=self.parse_unary())
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
            return self.leaf(t, type="number", value=t.value)
        if t.kind == "STRING":
            self.advance()
            return self.leaf(t, type="string", value=t.value)
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
                return self.leaf(t, type="constant", name=word)
            if word == "sum" or (word in ("min", "max") and self.peek().kind == "(" and (
                    self.peek(2).kind == "<" or
                    (self.peek(2).kind == "NAME" and self.peek(3).kind == "NAME"
                     and self.peek(3).value == "in"))):
                return self.parse_aggregate()
            if word in ONE_ARGUMENT_CALLS or word in ("min", "max"):
                return self.parse_call()
            if word == "asSet":
                self.fail("a value, a name or '('", hint="asSet(lo..hi) makes a set; it stands in a set "
                          "declaration, e.g. {int} Days = asSet(1..n);")
            if word in RESERVED_WORDS:
                self.fail("a value, a name or '('", hint=f"'{word}' is a reserved word")
            self.advance()
            return self.leaf(t, type="name", name=word)
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
        if self.tok.kind == "{":
            self.fail(f"'(' after '{t.value}'", hint=self.braces_hint(t.value))
        open_tok = self.expect("(", f"'(' after '{t.value}'")
        self.enter()
        try:
            iterators, filt = self.parse_iteration()
        except VormoSyntaxError as error:
            self.fail_with_hint(error, self.comprehension_hint(t.value, open_tok))
        body = self.parse_multiplicative()
        self.leave()
        return self.node(t, type="aggregate", op=t.value, iterators=iterators, filter=filt, body=body)

    def parse_call(self):
        t = self.advance()
        open_tok = self.expect("(", f"'(' after '{t.value}'")
        self.enter()
        args = [self.parse_additive()]
        while self.at(","):
            self.advance()
            args.append(self.parse_additive())
        if self.at("NAME", "for"):
            self.fail(f"')' to close '{t.value}('", hint=self.comprehension_hint(t.value, open_tok))
        self.expect(")", f"')' to close '{t.value}('")
        self.leave()
        wanted = (1, 1) if t.value in ONE_ARGUMENT_CALLS else (2, 10 ** 9)
        if not wanted[0] <= len(args) <= wanted[1]:
            count = "one argument" if wanted[0] == 1 else "at least two arguments"
            raise VormoSyntaxError("model", t.line, t.col, f"{count} for '{t.value}'",
                                   f"{len(args)} argument(s)",
                                   "for an aggregate write e.g. max(i in I) c[i]" if wanted[0] == 2 else "")
        return self.node(t, type="call", name=t.value, args=args)


class _DeclarationParser(_ExpressionParser):
    """Declarations: tuple types, ranges, sets, data, decision variables and expressions."""

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
            else:
                expr = self.parse_set_expression()
                if expr["type"] == "set_literal":
                    decl["source"] = "inline"
                    decl["elements"] = expr["elements"]
                else:
                    decl["source"] = "expression"
                    decl["expr"] = expr
        self.expect(";", "';' after the set declaration")
        return decl

    def parse_set_expression(self):
        """Set terms joined by union, inter and diff, from left to right."""
        left = self.parse_set_term()
        while self.tok.kind == "NAME" and self.tok.value in SET_OPERATORS:
            t = self.advance()
            left = self.node(t, type="set_op", op=t.value, left=left, right=self.parse_set_term())
        return left

    def parse_set_term(self):
        """A set name, {members}, {expr | iterators: filter}, asSet(lo..hi) or (set expression)."""
        t = self.tok
        if t.kind == "{":
            return self.parse_set_literal()
        if t.kind == "(":
            self.advance()
            self.enter()
            inner = self.parse_set_expression()
            self.leave()
            self.expect(")", "')' to close the parenthesis")
            return inner
        if self.at("NAME", "asSet"):
            self.advance()
            self.expect("(", "'(' after 'asSet'")
            self.enter()
            low = self.parse_additive()
            if self.at(".."):
                self.advance()
                source = self.node(t, type="range_expr", low=low, high=self.parse_additive())
            elif low["type"] == "name":
                source = low
            else:
                self.fail("'..' and the upper bound, e.g. asSet(1..n)")
            self.leave()
            self.expect(")", "')' to close 'asSet('")
            return self.node(t, type="as_set", range=source)
        if t.kind == "NAME" and t.value not in RESERVED_WORDS:
            self.advance()
            return self.leaf(t, type="name", name=t.value)
        hint = ""
        if t.kind in ("NUMBER", "NAME", "-", "("):
            rest = self.rest_of_statement(t.start)
            if ".." in rest and "..." not in rest:
                hint = f"write asSet({rest}) instead"
        self.fail("'...', a set literal such as {1, 2, 3} or a set expression", hint=hint)

    def parse_set_literal(self):
        """{a, b, c} or the members of a filtered set, {expr | iterators: filter}."""
        t = self.expect("{")
        self.enter()
        items = []
        while not self.at("}"):
            items.append(self.parse_additive())
            if len(items) == 1 and self.at("|"):
                self.advance()
                iterators = [self.parse_iterator()]
                while self.at(","):
                    self.advance()
                    if len(iterators) == MAX_ITERATORS:
                        self.fail(f"at most {MAX_ITERATORS} loop variables in one iteration")
                    iterators.append(self.parse_iterator())
                filt = None
                if self.at(":"):
                    self.advance()
                    filt = self.parse_expression()
                self.expect("}", "'}' to close the set" if filt else "',', ':' or '}' in the set")
                self.leave()
                return self.node(t, type="set_filter", element=items[0], iterators=iterators,
                                 filter=filt)
            if not self.at("}"):
                self.expect(",", "',' or '}' in the set literal")
        self.advance()
        self.leave()
        return self.node(t, type="set_literal", elements=items)

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
        if not self.ahead:
            listed = self.number_list()
            if listed is not None:
                return listed
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

    def number_list(self):
        """An array literal of plain non-negative numbers, read in one match (as data lists are);
        None when the literal needs the ordinary path."""
        t = self.tok
        listed = _NUMBER_LIST.match(self.text, t.start)
        if listed is None or self.text[t.start] != "[":
            return None
        stop = listed.end()
        if "-" in self.text[t.start:stop].replace("e-", "").replace("E-", ""):
            return None  # a minus sign is an operator in models
        numbers = _numbers_of_list(self.text, t.start + 1, stop - 1)
        if numbers is None:
            return None
        self.enter()
        self.leave()
        pieces = self.text[t.start + 1:stop - 1].split(",") if numbers[0] else []
        lines, line = self.lines, t.line
        items = []
        for value, piece in zip(numbers[0], pieces):
            n = {"type": "number", "value": value}
            lines[id(n)] = line + piece.count("\n", 0, len(piece) - len(piece.lstrip()))
            line += piece.count("\n")
            items.append(n)
        node = self.node(t, type="array_literal", elements=items)
        # Carry on reading after the list, as if its tokens had been read one by one.
        end_line = t.line + self.text.count("\n", t.start, stop)
        line_start = self.text.rfind("\n", 0, stop) + 1
        self.prev = Token("]", "]", end_line, stop - line_start, stop - 1, stop)
        self.stream = tokenize(self.text, "model", start=stop, line=end_line, line_start=line_start)
        self.tok = next(self.stream)
        return node

    def parse_dvar(self):
        start = self.advance()
        vt = self.tok
        if not (vt.kind == "NAME" and vt.value in ("float", "int", "boolean")):
            other = {"integer": "int", "binary": "boolean", "bool": "boolean", "real": "float",
                     "continuous": "float", "num": "float", "double": "float"}
            hint = ""
            if vt.kind == "NAME" and vt.value in other:
                hint = f"write dvar {other[vt.value]} instead of dvar {vt.value}"
            self.fail("the variable type (float, float+, int, int+ or boolean)", hint=hint)
        self.advance()
        var_type = vt.value
        if self.at("+") and var_type != "boolean":
            self.advance()
            var_type += "+"
        name = self.expect_name("the name of the decision variable").value
        indices = self.parse_indices(True, "a decision variable")
        bounds = None
        if self.at("NAME", "in"):
            self.advance()
            low = self.parse_additive()
            self.expect("..", "'..' between the bounds of the decision variable")
            high = self.parse_additive()
            bounds = {"low": low, "high": high}
        if self.tok.kind in (">=", "<=", ">", "<") and bounds is None:
            self.fail("';' after the declaration of '" + name + "'",
                      hint=self.dvar_bound_hint(var_type, name, indices))
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


class ModelParser(_DeclarationParser):
    """Recursive-descent parser of a model file; builds the declaration and constraint dicts.

    The statements of a model, the objective and the constraints; the layers below read the
    declarations and the expressions."""

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
                          "dexpr), an objective (minimize/maximize) or 'subject to'",
                          hint=self.statement_hint())
        if model["objectives"]:
            model["objective"] = model["objectives"][0]
        return model

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
        if label is None and expr.get("type") == "name" and (
                self.tok.kind in EXPRESSION_STARTS or self.tok.kind == "=") and not (
                self.tok.kind == "NAME" and self.tok.value in STATEMENT_WORDS):
            rest = self.rest_of_statement(self.tok.stop if self.tok.kind == "=" else self.tok.start)
            self.fail("';' after the objective", hint=f"write {start.value} {expr['name']}: {rest}; "
                      "instead (a name before the objective takes ':')")
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
            if self.tok.kind != "(":
                hint = ""
                if self.tok.kind == "{":
                    hint = self.braces_hint("forall")
                elif self.tok.kind == "NAME":
                    tokens = self.scan(self.tok, limit=4)
                    if len(tokens) >= 3 and tokens[1].value == "in" and tokens[2].kind == "NAME":
                        hint = f"write forall({tokens[0].value} in {tokens[2].value}) instead"
                self.fail("'(' after 'forall'", hint=hint)
            self.advance()
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
            self.fail("'<=', '>=' or '==' in the constraint",
                      hint=self.operator_hint(first, left, op, label))
        self.advance()
        right = self.parse_arithmetic()
        if self.tok.kind in ("<=", ">=", "==", "<", ">", "="):
            self.fail("';' after the constraint", hint="write a two-sided bound as two constraints")
        self.expect(";", "';' after the constraint")
        return {"type": "constraint", "label": label, "op": op.kind, "left": left, "right": right,
                "lineno": first.line}


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

    def __init__(self, text, number_lists=True, **start):
        super().__init__(text, "data", number_lists=number_lists, **start)

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
        if t.kind == "NUMBERS":
            # A list of plain numbers, read at once; kept as the list and where its text starts,
            # so that a fault inside it can be reported from the text (see slow_value).
            self.enter()
            self.leave()
            self.advance()
            numbers, floats, offset, line_start = t.value
            kind = "array" if self.text[offset] == "[" else "set"
            return {"kind": kind, "numbers": numbers, "floats": floats, "line": t.line,
                    "at": (offset, line_start)}
        if t.kind == "-" and self.peek().kind == "NUMBER":
            self.advance()
            return {"kind": "number", "value": -self.advance().value, "line": t.line}
        constant = self.peek() if t.kind == "-" else t
        if constant.kind == "NAME" and constant.value in ("infinity", "maxint"):
            sign = -1 if t.kind == "-" else 1
            if t.kind == "-":
                self.advance()
            self.advance()
            value = float("inf") if constant.value == "infinity" else MAXINT
            return {"kind": "number", "value": sign * value, "line": t.line}
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

    def slow_value(self, dv):
        """The value dv read from a number list, read again one token at a time, with a line
        for every member."""
        if "numbers" not in dv:
            return dv
        offset, line_start = dv["at"]
        again = DataParser(self.text, start=offset, line=dv["line"], line_start=line_start,
                           number_lists=False)
        again.nesting = self.nesting
        return again.parse_value()



# ----------------------------------------------------------------------------------------------
# Helpers for messages
# ----------------------------------------------------------------------------------------------
def expr_text(node, limit=60):
    """Short Vormo text of an expression, for error messages."""
    text = _expr_text(node)
    return text if len(text) <= limit else text[:limit - 3] + "..."


def _expr_text(n):
    kind = n.get("type")
    if kind == "number":
        return repr(n["value"]) if isinstance(n["value"], float) else str(n["value"])
    if kind == "string":
        return '"' + n["value"] + '"'
    if kind in ("name", "constant"):
        return n["name"]
    if kind == "indexed":
        return n["name"] + "".join("[" + _expr_text(i) + "]" for i in n["indices"])
    if kind == "field":
        return _expr_text(n["base"]) + "." + n["field"]
    if kind in ("binop", "compare", "logical"):
        return f"{_expr_text(n['left'])} {n['op']} {_expr_text(n['right'])}"
    if kind == "unary":
        return n["op"] + _expr_text(n["operand"])
    if kind == "in":
        return f"{_expr_text(n['element'])} in {n['set']}"
    if kind == "tuple_literal":
        return "<" + ", ".join(_expr_text(e) for e in n["elements"]) + ">"
    if kind == "aggregate":
        its = ", ".join(_expr_text(i) for i in n["iterators"])
        return f"{n['op']}({its}) {_expr_text(n['body'])}"
    if kind == "iterator":
        head = n["var"] if "var" in n else "<" + ", ".join(n["pattern"]) + ">"
        return f"{head} in {_expr_text(n['set'])}"
    if kind == "range_expr":
        return f"{_expr_text(n['low'])}..{_expr_text(n['high'])}"
    if kind == "call":
        return n["name"] + "(" + ", ".join(_expr_text(a) for a in n["args"]) + ")"
    if kind == "array_literal":
        return "[" + ", ".join(_expr_text(e) for e in n["elements"]) + "]"
    if kind == "conditional":
        return f"{_expr_text(n['condition'])} ? {_expr_text(n['then'])} : {_expr_text(n['else'])}"
    if kind == "in_range":
        return f"{_expr_text(n['element'])} in {_expr_text(n['low'])}..{_expr_text(n['high'])}"
    if kind == "set_op":
        return f"{_expr_text(n['left'])} {n['op']} {_expr_text(n['right'])}"
    if kind == "as_set":
        return f"asSet({_expr_text(n['range'])})"
    if kind == "set_literal":
        return "{" + ", ".join(_expr_text(e) for e in n["elements"]) + "}"
    if kind == "set_filter":
        its = ", ".join(_expr_text(i) for i in n["iterators"])
        condition = f": {_expr_text(n['filter'])}" if n["filter"] is not None else ""
        return "{" + f"{_expr_text(n['element'])} | {its}{condition}" + "}"
    return "?"


def value_text(value):
    """Vormo text of an evaluated value."""
    if isinstance(value, str):
        return '"' + value + '"'
    if isinstance(value, tuple):
        return "<" + ", ".join(value_text(v) for v in value) + ">"
    if isinstance(value, float):
        if value in (float("inf"), float("-inf")):
            return "infinity" if value > 0 else "-infinity"
        if value.is_integer() and abs(value) < 1e15:
            return str(int(value))
    return str(value)


def _described_data_value(dv):
    kind = dv["kind"]
    if kind == "number":
        return f"the number {value_text(dv['value'])}"
    if kind == "string":
        return f'the string "{dv["value"]}"'
    return {"set": "a set {...}", "array": "an array [...]", "tuple": "a tuple <...>"}[kind]


def _type_words(static_type):
    if static_type.startswith("tuple:"):
        return f"a tuple of type {static_type[6:]}"
    if static_type.startswith("tuple_literal/"):
        return f"a tuple of {static_type.split('/')[1]} fields"
    return {"number": "a number", "string": "a string"}.get(static_type, static_type)


def _members_words(static_type):
    """Plural words for the members of a set of the given static type."""
    if static_type.startswith("tuple:"):
        return f"tuples of type {static_type[6:]}"
    return {"number": "numbers", "string": "strings"}.get(static_type, static_type)


def _distinct(items):
    """items without repeats, each kept where it first occurs."""
    return list(dict.fromkeys(items))


def _rounded(name, value):
    """floor, ceil or round (halves away from zero) of a number; an int unless the value is
    infinite or beyond the integers a float holds exactly."""
    if type(value) is int or not math.isfinite(value) or abs(value) >= RANGE_LIMIT:
        return value
    if name == "floor":
        return math.floor(value)
    if name == "ceil":
        return math.ceil(value)
    low = math.floor(value)
    rest = value - low
    return low + 1 if rest > 0.5 or (rest == 0.5 and value > 0) else low


def _count(n, word):
    return f"{n} {word}" if n == 1 else f"{n} {word}s"


def _static_type(value_type):
    return "string" if value_type == "string" else "number"


# ----------------------------------------------------------------------------------------------
# Values used while checking data and subscripts
# ----------------------------------------------------------------------------------------------
class RangeValue:
    """The integers low..high of a range (empty when high < low)."""

    def __init__(self, low, high):
        self.low, self.high = low, high

    def __len__(self):
        return max(0, self.high - self.low + 1)

    def __iter__(self):
        return iter(range(self.low, self.high + 1))

    def position(self, value):
        if isinstance(value, float) and value.is_integer():
            value = int(value)
        if isinstance(value, int) and self.low <= value <= self.high:
            return value - self.low
        return None

    def describe(self):
        return f"{self.low}..{self.high}"


class SetValue:
    """The members of a set in their order; tuples are Python tuples."""

    def __init__(self, items):
        self.items = items
        self.positions = {}
        for k, item in enumerate(items):
            self.positions.setdefault(item, k)

    def __len__(self):
        return len(self.items)

    def __iter__(self):
        return iter(self.items)

    def position(self, value):
        try:
            return self.positions.get(value)
        except TypeError:
            return None

    def describe(self):
        shown = ", ".join(value_text(v) for v in self.items[:4])
        return "{" + shown + (", ...}" if len(self.items) > 4 else "}")


UNKNOWN = object()  # a data value left uncomputed because the evaluation budget ran out


class _NotConstant(Exception):
    """The expression depends on decision variables or on an uncomputed value."""


class _OutOfBudget(Exception):
    """The evaluation budget of this call is spent."""


class Symbol:
    """A declared name: kind is tuple_type, range, set, parameter, dvar or dexpr."""

    def __init__(self, kind, decl, dims=(), static_type="number", degree=0):
        self.kind, self.decl, self.dims = kind, decl, list(dims)
        self.static_type, self.degree = static_type, degree


# ----------------------------------------------------------------------------------------------
# Semantic checks, in layers: evaluation of data, checks of expressions, data values,
# declarations, and the compilation that drives them (one instance per compile_model call)
# ----------------------------------------------------------------------------------------------
DATA_CONTEXTS = {
    "data": "cannot be used to compute the data '{subject}'; data initializers may use only data",
    "bound": "cannot be used in the bounds of '{subject}'; bounds may use only data",
    "filter": "cannot be used in a filter; a filter after ':' may use only data and loop variables",
    "subscript": "cannot be used as a subscript of '{subject}'; subscripts may use only data and "
                 "loop variables",
    "iteration": "cannot be used in the range of a loop; loop ranges may use only data",
}


class _Evaluation:
    """Values of data expressions, within the evaluation budget of the call.

    Works on the state of the compilation: symbols (name -> Symbol), values (name -> computed
    value or UNKNOWN), field_pos (id(field node) -> position), lines and budget.
    """

    def error(self, message, line):
        raise SemanticError(message, line)

    def line_of(self, node):
        return self.lines.get(id(node))

    def spend(self, steps=1):
        self.budget -= steps
        if self.budget < 0:
            raise _OutOfBudget()

    def evaluate_data(self, node, env):
        """Value of a data expression, or UNKNOWN once the evaluation budget is spent."""
        try:
            return self.evaluate(node, env)
        except (_OutOfBudget, _NotConstant):
            return UNKNOWN

    def evaluate(self, node, env):
        """Value of an expression of data and loop variables (env maps loop variables to values)."""
        self.spend()
        kind = node["type"]
        if kind in ("number", "string"):
            return node["value"]
        if kind == "constant":
            return MAXINT if node["name"] == "maxint" else float("inf")
        if kind in ("name", "indexed"):
            name = node["name"]
            if name in env:
                return env[name]
            sym = self.symbols[name]
            positions = [self.subscript_position(node, k, env) for k in range(len(sym.dims))]
            value = self.values.get(name, UNKNOWN) if sym.kind == "parameter" else UNKNOWN
            if value is UNKNOWN or None in positions:
                raise _NotConstant()
            for position in positions:
                value = value[position]
            return value
        if kind == "field":
            return self.evaluate(node["base"], env)[self.field_pos[id(node)]]
        if kind == "binop":
            left, right = self.evaluate(node["left"], env), self.evaluate(node["right"], env)
            op = node["op"]
            if op == "+":
                return self.bounded(left + right, node, (left, right))
            if op == "-":
                return self.bounded(left - right, node, (left, right))
            if op == "*":
                return self.bounded(left * right, node, (left, right))
            if op in ("mod", "div"):
                return self.bounded(self.integer_division(node, left, right), node, (left, right))
            if right == 0:
                self.error(f"'{expr_text(node)}' divides by zero; make sure the divisor is never 0",
                           self.line_of(node))
            return self.bounded(left / right, node, (left, right))
        if kind == "unary":
            value = self.evaluate(node["operand"], env)
            return -value if node["op"] == "-" else int(not value)
        if kind == "logical":
            left = self.evaluate(node["left"], env)
            if node["op"] == "&&":
                return int(bool(left) and bool(self.evaluate(node["right"], env)))
            return int(bool(left) or bool(self.evaluate(node["right"], env)))
        if kind == "compare":
            left, right = self.evaluate(node["left"], env), self.evaluate(node["right"], env)
            op = node["op"]
            if op == "==":
                return int(left == right)
            if op == "!=":
                return int(left != right)
            try:
                return int({"<": left < right, "<=": left <= right,
                            ">": left > right, ">=": left >= right}[op])
            except TypeError:
                self.error(f"'{expr_text(node)}' compares values of different types",
                           self.line_of(node))
        if kind == "conditional":
            chosen = node["then"] if self.evaluate(node["condition"], env) else node["else"]
            return self.evaluate(chosen, env)
        if kind == "in_range":
            element = self.evaluate(node["element"], env)
            return int(self.evaluate(node["low"], env) <= element <= self.evaluate(node["high"], env))
        if kind == "in":
            element = self.evaluate(node["element"], env)
            domain = self.values.get(node["set"], UNKNOWN)
            if domain is UNKNOWN:
                raise _NotConstant()
            return int(domain.position(element) is not None)
        if kind == "tuple_literal":
            return tuple(self.evaluate(e, env) for e in node["elements"])
        if kind == "aggregate":
            values = [self.evaluate(node["body"], inner)
                      for inner in self.bindings(node["iterators"], node["filter"], env)]
            if node["op"] == "sum":
                return self.bounded(sum(values), node, values)
            if not values:
                self.error(f"'{expr_text(node)}' runs over an empty set, so it has no "
                           f"{node['op']}imum", self.line_of(node))
            return min(values) if node["op"] == "min" else max(values)
        if kind == "call":
            name = node["name"]
            if name == "card":
                domain = self.values.get(node["args"][0]["name"], UNKNOWN)
                if domain is UNKNOWN:
                    raise _NotConstant()
                return len(domain)
            args = [self.evaluate(a, env) for a in node["args"]]
            if name == "abs":
                return abs(args[0])
            if name in ("floor", "ceil", "round"):
                return _rounded(name, args[0])
            return min(args) if name == "min" else max(args)
        raise _NotConstant()

    def integer_division(self, node, left, right):
        """left mod right or left div right, of integers: div rounds down and mod has the sign of
        the divisor, so that left == right * (left div right) + left mod right."""
        line = self.line_of(node)
        for side, value in (("left", left), ("right", right)):
            if not (type(value) is int or (type(value) is float and value.is_integer())):
                self.error(f"'{expr_text(node)}' needs integers on both sides of '{node['op']}', but "
                           f"'{expr_text(node[side])}' is {value_text(value)}", line)
        if right == 0:
            self.error(f"'{expr_text(node)}' divides by zero; make sure the divisor is never 0", line)
        left, right = int(left), int(right)
        return left // right if node["op"] == "div" else left % right

    def bounded(self, value, node, operands):
        """value, computed by node from operands, if it is within what data may hold: an integer
        beyond INT_LIMIT, a float overflow and a result that is not a number are faults."""
        if type(value) is int:
            if -INT_LIMIT <= value <= INT_LIMIT:
                return value
            self.error(f"'{expr_text(node)}' gives an integer beyond {INT_LIMIT_TEXT}; compute such "
                       "values as float data", self.line_of(node))
        if type(value) is float and not math.isfinite(value):
            if value != value:
                self.error(f"'{expr_text(node)}' has no numeric value (it computes e.g. infinity - "
                           "infinity or 0 * infinity)", self.line_of(node))
            if all(type(o) is not float or math.isfinite(o) for o in operands):
                self.error(f"'{expr_text(node)}' overflows the range of a float (at most about "
                           f"{FLOAT_MAX:.3g})", self.line_of(node))
        return value

    def integer_bound(self, value, what, line):
        """A range bound as an int; a bound that is not an integer or too large is a fault."""
        if not (isinstance(value, int) or (isinstance(value, float) and value.is_integer())):
            return None
        if abs(value) > RANGE_LIMIT:
            self.error(f"{what} is {value_text(value)}, beyond {RANGE_LIMIT} (2^53) in size, the "
                       "largest a range bound may be", line)
        return int(value)

    def subscript_position(self, node, k, env):
        """Position of the k-th subscript of node in its index set; None when not computable.

        A computable subscript outside the index set is a SemanticError.
        """
        sym = self.symbols[node["name"]]
        set_name = sym.dims[k]
        sub = node["indices"][k]
        try:
            value = self.evaluate(sub, env)
        except _NotConstant:
            return None
        domain = self.values.get(set_name, UNKNOWN)
        if domain is UNKNOWN:
            return None
        position = domain.position(value)
        if position is None:
            names = sorted(self.variables_in(sub) & set(env))
            binding = ", ".join(f"{n} = {value_text(env[n])}" for n in names)
            when = f" (when {binding})" if binding else ""
            hint = ("restrict the loop with a filter after ':' or fix the subscript" if binding
                    else "use a member of the index set")
            self.error(f"'{expr_text(node)}' uses the subscript {value_text(value)}{when}, which is not "
                       f"in the index set {set_name} = {domain.describe()} of '{node['name']}'; {hint}",
                       self.line_of(node))
        return position

    def variables_in(self, node):
        found = set()
        stack = [node]
        while stack:
            n = stack.pop()
            if isinstance(n, dict):
                if n.get("type") == "name":
                    found.add(n["name"])
                stack.extend(v for v in n.values() if isinstance(v, (dict, list)))
            elif isinstance(n, list):
                stack.extend(n)
        return found

    def bindings(self, iterators, filt, env):
        """Every assignment of the loop variables, in order, that passes the filter."""
        def extend(k, current):
            if k == len(iterators):
                if filt is None or self.evaluate(filt, current):
                    yield current
                return
            it = iterators[k]
            set_expr = it["set"]
            if set_expr["type"] == "range_expr":
                line = self.line_of(set_expr)
                what = f"a bound of the loop range '{expr_text(set_expr)}'"
                low, high = (self.integer_bound(self.evaluate(set_expr[key], current), what, line)
                             for key in ("low", "high"))
                if low is None or high is None:
                    self.error(f"the loop range '{expr_text(set_expr)}' needs integer bounds", line)
                domain = RangeValue(low, high)
            else:
                domain = self.values.get(set_expr["name"], UNKNOWN)
                if domain is UNKNOWN:
                    raise _NotConstant()
            for member in domain:
                self.spend()
                inner = dict(current)
                if "var" in it:
                    inner[it["var"]] = member
                else:
                    inner.update(zip(it["pattern"], member))
                yield from extend(k + 1, inner)
        return extend(0, env)


class _ExpressionChecks(_Evaluation):
    """Names, scopes and types of expressions: what may stand where."""

    def undeclared(self, name, line, node=None, scope=None, as_set=False, ctx=None):
        declared_line = self.declared_at.get(name)
        if ctx and len(ctx) > 1 and ctx[1] == name:
            self.error(f"'{name}' is used in its own initializer; compute it from other data", line)
        if declared_line is not None:
            self.error(f"'{name}' is used before its declaration on line {declared_line}; move the "
                       "declaration above its first use", line)
        if as_set:
            self.error(f"'{name}' is used as a set but not declared; declare it, e.g. "
                       f"{{string}} {name} = ...; or range {name} = 1..n;", line)
        if len(name) == 1 or (ctx and ctx[0] == "subscript" and scope and name[:1].islower()):
            self.error(f"'{name}' is used but not declared; bind it in the enclosing loop, e.g. "
                       f"forall({name} in I), or declare it as data", line)
        dims = ""
        for k, sub in enumerate(node.get("indices", []) if node else []):
            set_name = None
            if sub.get("type") == "name" and scope and sub["name"] in scope:
                set_name = scope[sub["name"]][1]
            dims += "[" + (set_name or "IJKLMN"[k % 6]) + "]"
        self.error(f"'{name}' is used but not declared; declare it, e.g. float {name}{dims} = ...;",
                   line)

    def require_declared_before(self, sym, line):
        """Objective and constraints may come before declarations in the text; names may not."""
        if line is not None and sym.decl["lineno"] > line:
            self.error(f"'{sym.decl['name']}' is used before its declaration on line "
                       f"{sym.decl['lineno']}; move the declaration above its first use", line)

    def new_loop_variable(self, var, scope, line):
        if var in scope:
            self.error(f"the loop variable '{var}' is already in use by an enclosing loop; choose "
                       "another name", line)
        if var in self.symbols or var in self.declared_at:
            self.error(f"the loop variable '{var}' has the name of a declared item; choose another "
                       "name", line)

    def bind_iterators(self, iterators, scope, line):
        """Check the iterators of forall/sum/min/max; return the scope inside the loop."""
        inner = dict(scope)
        for it in iterators:
            set_expr = it["set"]
            if set_expr["type"] == "range_expr":
                for bound in (set_expr["low"], set_expr["high"]):
                    self.require_number(bound, self.check_expr(bound, inner, ("iteration",)))
                member_type, set_name = "number", None
            else:
                set_name = set_expr["name"]
                if set_name in inner:
                    self.error(f"'{set_name}' is a loop variable, not a set; write e.g. i in I where "
                               "I is a range or set", line)
                sym = self.symbols.get(set_name)
                if sym is None:
                    self.undeclared(set_name, line, as_set=True)
                self.require_declared_before(sym, line)
                if sym.kind not in ("range", "set"):
                    self.error(f"'{set_name}' is not a range or set, so a loop cannot run over it; "
                               "write e.g. i in I where I is a range or set", line)
                member_type = sym.static_type
            if "var" in it:
                variables = [(it["var"], member_type, set_name)]
            else:
                pattern = it["pattern"]
                if not member_type.startswith("tuple:"):
                    self.error(f"the tuple pattern <{', '.join(pattern)}> needs a set of tuples, but "
                               f"'{_expr_text(set_expr)}' holds {_members_words(member_type)}", line)
                fields = self.symbols[member_type[6:]].decl["fields"]
                if len(pattern) != len(fields):
                    self.error(f"the tuple pattern <{', '.join(pattern)}> has {_count(len(pattern), 'name')} "
                               f"but tuple type {member_type[6:]} has {_count(len(fields), 'field')} "
                               f"({', '.join(f['name'] for f in fields)}); give one name per field", line)
                variables = [(v, _static_type(f["type"]), None) for v, f in zip(pattern, fields)]
            for var, var_type, var_set in variables:
                self.new_loop_variable(var, inner, line)
                inner[var] = (var_type, var_set)
        return inner

    def check_expr(self, node, scope, ctx):
        """Resolve names in an expression and return (degree, type).

        degree is 0 for data and 1 for expressions linear in the decision variables; type is
        "number", "string", "tuple:<TupleType>" or "tuple_literal/<arity>".
        ctx[0] says where the expression stands: "model" (objective, constraint, dexpr) or one of
        the data-only places in DATA_CONTEXTS.
        """
        kind = node["type"]
        line = self.lines.get(id(node))
        if kind in ("number", "constant"):
            return 0, "number"
        if kind == "string":
            return 0, "string"
        if kind in ("name", "indexed"):
            return self.check_name(node, scope, ctx)
        if kind == "field":
            _, t = self.check_expr(node["base"], scope, ctx)
            if not t.startswith("tuple:"):
                self.error(f"'{expr_text(node)}' reads the field '{node['field']}' of "
                           f"'{expr_text(node['base'])}', which is not a tuple; use a loop variable "
                           "over a set of tuples, e.g. sum(a in Arcs) a.cost", line)
            fields = self.symbols[t[6:]].decl["fields"]
            for k, field in enumerate(fields):
                if field["name"] == node["field"]:
                    self.field_pos[id(node)] = k
                    return 0, _static_type(field["type"])
            self.error(f"tuple type {t[6:]} has no field '{node['field']}'; its fields are "
                       f"{', '.join(f['name'] for f in fields)}", line)
        if kind == "binop":
            dl, tl = self.check_expr(node["left"], scope, ctx)
            dr, tr = self.check_expr(node["right"], scope, ctx)
            self.require_number(node["left"], (dl, tl))
            self.require_number(node["right"], (dr, tr))
            if node["op"] == "*" and dl and dr:
                self.error(f"'{expr_text(node)}' multiplies two decision variables, which makes the "
                           "model non-linear; one factor of a product must be data", line)
            if node["op"] == "/" and dr:
                self.error(f"'{expr_text(node)}' divides by a decision variable, which makes the "
                           "model non-linear; divide only by data", line)
            if node["op"] in ("mod", "div") and (dl or dr):
                self.error(f"'{expr_text(node)}' applies {node['op']} to a decision variable, which is "
                           "not linear; mod and div apply only to integer data", line)
            return max(dl, dr), "number"
        if kind == "unary":
            if node["op"] == "-":
                degree, t = self.check_expr(node["operand"], scope, ctx)
                self.require_number(node["operand"], (degree, t))
                return degree, "number"
            self.require_data(node["operand"], scope, ctx, "'!'")
            return 0, "number"
        if kind in ("compare", "logical"):
            left = self.require_data(node["left"], scope, ctx, f"the comparison '{expr_text(node)}'")
            right = self.require_data(node["right"], scope, ctx, f"the comparison '{expr_text(node)}'")
            if kind == "compare" and left != right and not self.compatible(left, right) \
                    and not self.compatible(right, left):
                self.error(f"'{expr_text(node)}' compares {_type_words(left)} with "
                           f"{_type_words(right)}; both sides must have the same type", line)
            return 0, "number"
        if kind == "conditional":
            self.require_data(node["condition"], scope, ctx, f"the condition of '{expr_text(node)}'")
            dt, tt = self.check_expr(node["then"], scope, ctx)
            de, te = self.check_expr(node["else"], scope, ctx)
            if tt != te and not self.compatible(tt, te) and not self.compatible(te, tt):
                self.error(f"'{expr_text(node)}' gives {_type_words(tt)} or {_type_words(te)}; both "
                           "values of a conditional must have the same type", line)
            return max(dt, de), tt
        if kind == "in_range":
            for part in ("element", "low", "high"):
                t = self.require_data(node[part], scope, ctx, f"'{expr_text(node)}'")
                self.require_type(node[part], t, "number", f"'{expr_text(node)}'")
            return 0, "number"
        if kind == "in":
            t = self.require_data(node["element"], scope, ctx, f"'{expr_text(node)}'")
            sym = self.symbols.get(node["set"])
            if sym is None:
                self.undeclared(node["set"], line, as_set=True)
            if sym.kind not in ("range", "set"):
                self.error(f"'{node['set']}' after 'in' is not a range or set", line)
            if not (t == sym.static_type or self.compatible(t, sym.static_type)):
                self.mismatch(node["element"], t, sym.static_type, f"the set {node['set']}", line)
            return 0, "number"
        if kind == "tuple_literal":
            for element in node["elements"]:
                self.require_data(element, scope, ctx, "a tuple")
            return 0, f"tuple_literal/{len(node['elements'])}"
        if kind == "aggregate":
            inner = self.bind_iterators(node["iterators"], scope, line)
            if node["filter"] is not None:
                self.check_expr(node["filter"], inner, ("filter",))
            degree, t = self.check_expr(node["body"], inner, ctx)
            self.require_number(node["body"], (degree, t))
            if degree and node["op"] != "sum":
                self.error(f"{node['op']}(...) over decision variables is not linear; use it over "
                           "data only, or bound the variables with constraints", line)
            return degree, "number"
        if kind == "call":
            name = node["name"]
            arg = node["args"][0]
            if name == "card":
                sym = self.symbols.get(arg.get("name")) if arg["type"] == "name" else None
                if arg["type"] == "name" and sym is None:
                    self.undeclared(arg["name"], line, as_set=True)
                if sym is None or sym.kind not in ("range", "set"):
                    self.error(f"card(...) needs the name of a range or set, not '{expr_text(arg)}'",
                               line)
                return 0, "number"
            for arg in node["args"]:
                degree, t = self.check_expr(arg, scope, ctx)
                self.require_number(arg, (degree, t))
                if degree:
                    self.error(f"{name}(...) applies only to data, but '{expr_text(arg)}' contains a "
                               "decision variable; model it with extra variables and constraints", line)
            return 0, "number"
        what = "an array literal [...]" if kind == "array_literal" else f"'{expr_text(node)}'"
        self.error(f"{what} cannot stand here", line)

    def check_name(self, node, scope, ctx):
        name = node["name"]
        indices = node.get("indices", [])
        line = self.lines.get(id(node))
        if name in scope:
            if indices:
                self.error(f"'{name}' is a loop variable and takes no subscript", line)
            return 0, scope[name][0]
        sym = self.symbols.get(name)
        if sym is None:
            self.undeclared(name, line, node, scope, ctx=ctx)
        self.require_declared_before(sym, line)
        if sym.kind in ("range", "set", "tuple_type"):
            what = {"range": "a range", "set": "a set", "tuple_type": "a tuple type"}[sym.kind]
            self.error(f"'{name}' is {what}, not a value; use it after 'in' (e.g. sum(i in {name}) ...)"
                       f"{' or in card(' + name + ')' if sym.kind != 'tuple_type' else ''}", line)
        dims = sym.dims
        if len(indices) != len(dims):
            if not dims:
                self.error(f"'{name}' is not indexed and takes no subscript; write {name}", line)
            letters = "".join(f"[{c}]" for c in "ijklmn"[:len(dims)])
            self.error(f"'{name}' has {_count(len(dims), 'index set')} "
                       f"({''.join('[' + d + ']' for d in dims)}) but is used with "
                       f"{_count(len(indices), 'subscript')}; write {name}{letters}", line)
        for sub, set_name in zip(indices, dims):
            degree, t = self.check_expr(sub, scope, ("subscript", name) if ctx[0] == "model" else ctx)
            if degree:
                self.error(f"'{expr_text(sub)}' uses a decision variable and " +
                           DATA_CONTEXTS["subscript"].format(subject=name), line)
            expected = self.symbols[set_name].static_type
            if not (t == expected or self.compatible(t, expected)):
                self.mismatch(sub, t, expected, f"the index set {set_name} of '{name}'", line)
        if sym.kind in ("dvar", "dexpr"):
            if ctx[0] != "model":
                what = "decision variable" if sym.kind == "dvar" else "decision expression"
                self.error(f"'{name}' is a {what} and " +
                           DATA_CONTEXTS[ctx[0]].format(subject=ctx[1] if len(ctx) > 1 else ""), line)
            return sym.degree, "number"
        return 0, sym.static_type

    def compatible(self, t, expected):
        """A tuple literal fits a tuple type with the same number of fields."""
        if t.startswith("tuple_literal/") and expected.startswith("tuple:"):
            return int(t.split("/")[1]) == len(self.symbols[expected[6:]].decl["fields"])
        return False

    def mismatch(self, node, t, expected, where, line):
        if t.startswith("tuple_literal/") and expected.startswith("tuple:"):
            fields = self.symbols[expected[6:]].decl["fields"]
            arity = int(t.split("/")[1])
            self.error(f"the tuple '{expr_text(node)}' has {_count(arity, 'field')} but {where} holds "
                       f"tuples of type {expected[6:]} with {_count(len(fields), 'field')} "
                       f"({', '.join(f['name'] for f in fields)})", line)
        self.error(f"'{expr_text(node)}' is {_type_words(t)}, but {where} holds "
                   f"{_members_words(expected)}", line)

    def require_data(self, node, scope, ctx, where):
        degree, t = self.check_expr(node, scope, ctx)
        if degree:
            self.error(f"{where} uses a decision variable; comparisons and filters may use only data",
                       self.line_of(node))
        return t

    def require_number(self, node, checked):
        self.require_type(node, checked[1], "number", "an arithmetic expression")

    def require_type(self, node, t, expected, where):
        if t != expected:
            hint = "; text values cannot be used in arithmetic" if t == "string" else ""
            self.error(f"'{expr_text(node)}' is {_type_words(t)}, but {where} needs "
                       f"{_type_words(expected)}{hint}", self.line_of(node))


class _DataValues(_ExpressionChecks):
    """Values of the data file and of array literals, checked against their declarations."""

    def take_file_data(self, decl):
        name = decl["name"]
        if name not in self.file_data:
            shape = "<value>"
            if decl["type"] == "set":
                shape = "{...}"
            elif decl["type"] == "set_of_tuples":
                shape = "{<...>, <...>}"
            elif decl.get("indices"):
                shape = "[" * len(decl["indices"]) + "..." + "]" * len(decl["indices"])
            self.error(f"'{name}' takes its value from the data file, but the data file does not set "
                       f"it; add {name} = {shape}; to the data file", decl["lineno"])
        return self.file_data.pop(name)

    def check_leftover_data(self):
        for name, (dv, line) in self.file_data.items():
            sym = self.symbols.get(name)
            if sym is None:
                self.error(f"in the data file, '{name}' is set but the model does not declare it; "
                           f"declare it in the model (e.g. float {name} = ...;) or remove it", line)
            if sym.kind in ("dvar", "dexpr"):
                self.error(f"in the data file, '{name}' is set but it is a decision "
                           f"{'variable' if sym.kind == 'dvar' else 'expression'} of the model; "
                           "the data file may set only data items", line)
            self.error(f"in the data file, '{name}' is set but the model already gives its value on "
                       f"line {sym.decl['lineno']}; remove it from the data file or declare it with "
                       "= ...; in the model", line)

    def convert_file_array(self, dv, dims, vtype, name, path):
        if not dims:
            if dv["kind"] in ("set", "array", "tuple"):
                self.error(f"in the data file, '{name}{path}' needs a single {vtype} value, but has "
                           f"{_described_data_value(dv)}", dv["line"])
            return self.coerce(dv["value"], vtype, f"in the data file, '{name}{path}'", dv["line"])
        domain = self.values[dims[0]]
        if dv["kind"] != "array":
            count = "" if domain is UNKNOWN else f"{len(domain)} "
            self.error(f"in the data file, '{name}{path}' needs an array [...] of {count}values, one per "
                       f"member of {dims[0]}, but has {_described_data_value(dv)}", dv["line"])
        if domain is UNKNOWN:
            return UNKNOWN
        if "numbers" in dv:
            count = len(dv["numbers"])
            if len(dims) == 1 and count == len(domain):
                numbers = self.fast_numbers(dv, vtype)
                if numbers is not None:
                    return numbers
            if count == len(domain):
                dv = self.data_parser.slow_value(dv)
        items = dv.get("items", dv.get("numbers"))
        if len(items) != len(domain):
            self.error(f"in the data file, '{name}{path}' has {len(items)} values but its index set "
                       f"{dims[0]} has {len(domain)} members; give exactly {len(domain)} values",
                       dv["line"])
        return [self.convert_file_array(item, dims[1:], vtype, name, f"{path}[{value_text(member)}]")
                for item, member in zip(items, domain)]

    def convert_literal_array(self, node, dims, vtype, name, path):
        line = self.lines.get(id(node))
        if not dims:
            if node["type"] == "array_literal":
                self.error(f"'{name}{path}' needs a single {vtype} value, but the array literal has "
                           "more levels of [...] than the declaration has index sets", line)
            degree, t = self.check_expr(node, {}, ("data", name))
            self.require_type(node, t, _static_type(vtype), f"the data '{name}'")
            value = self.evaluate_data(node, {})
            return value if value is UNKNOWN else self.coerce(value, vtype, f"'{name}{path}'", line)
        domain = self.values[dims[0]]
        if node["type"] != "array_literal":
            self.error(f"'{name}{path}' needs an array [...] with one value per member of {dims[0]}, "
                       f"but has '{expr_text(node)}'", line)
        if domain is UNKNOWN:
            return UNKNOWN
        items = node["elements"]
        if len(items) != len(domain):
            self.error(f"the array literal of '{name}{path}' has {len(items)} values but its index set "
                       f"{dims[0]} has {len(domain)} members; give exactly {len(domain)} values", line)
        if len(dims) == 1 and all(item["type"] == "number" for item in items):
            # Plain numbers take no evaluation: checked all at once, or one by one on a fault.
            values = [item["value"] for item in items]
            numbers = self.fast_numbers(
                {"numbers": values, "floats": any(type(v) is float for v in values)}, vtype)
            if numbers is not None:
                return numbers
        result = []
        for item, member in zip(items, domain):
            value = self.convert_literal_array(item, dims[1:], vtype, name,
                                               f"{path}[{value_text(member)}]")
            if value is UNKNOWN:
                return UNKNOWN
            result.append(value)
        return result

    def fast_numbers(self, dv, vtype):
        """The numbers of dv (a number list of the data file) as values of vtype, or None when
        one of them does not fit; the slow path then reports that one."""
        numbers = dv["numbers"]
        if vtype == "string":
            return None
        if vtype == "float":
            return numbers
        if dv["floats"]:
            if not all(v.is_integer() and abs(v) <= INT_LIMIT for v in numbers if type(v) is float):
                return None
            numbers = [int(v) for v in numbers]
        if vtype == "boolean" and not set(numbers) <= {0, 1}:
            return None
        return numbers

    def coerce(self, value, vtype, what, line):
        """Check one scalar value against a declared type; return it in its plain form."""
        if isinstance(value, dict):  # a set or array from the data file
            self.error(f"{what} needs a single {vtype} value, but is {_described_data_value(value)}",
                       line)
        if vtype == "string":
            if not isinstance(value, str):
                self.error(f"{what} needs a string in double quotes, but is {value_text(value)}", line)
            return value
        if isinstance(value, str):
            self.error(f"{what} needs a number, but is the string \"{value}\"; write the number "
                       "without quotes", line)
        if isinstance(value, tuple):
            self.error(f"{what} needs a number, but is the tuple {value_text(value)}", line)
        if vtype in ("int", "boolean"):
            if isinstance(value, float) and not value.is_integer():
                self.error(f"{what} needs an integer ({vtype}), but is {value_text(value)}", line)
            if abs(value) > INT_LIMIT and value == value:
                self.error(f"{what} needs an integer ({vtype}), but {value_text(value)} is beyond "
                           f"{INT_LIMIT_TEXT}", line)
            value = int(value) if value == value and abs(value) != float("inf") else value
            if vtype == "boolean" and value not in (0, 1):
                self.error(f"{what} is boolean and must be 0 or 1, but is {value_text(value)}", line)
        return value

    def plain(self, value):
        """Evaluated value to plain lists for the data dict (tuples become lists)."""
        if isinstance(value, SetValue):
            return [self.plain(v) for v in value.items]
        if isinstance(value, tuple):
            return [self.plain(v) for v in value]
        return value

    def plain_data(self, dv):
        """A data-file value as Python: numbers, strings, tuples; sets and arrays stay marked."""
        kind = dv["kind"]
        if kind == "tuple":
            return tuple(self.plain_data(i) for i in dv["items"])
        if kind in ("number", "string"):
            return dv["value"]
        return dv  # a set or array where a single value is due; coerce reports it

    def unique_set(self, items, name, line, where):
        seen = set()
        for item in items:
            if item in seen:
                self.error(f"{where}the set '{name}' lists {value_text(item)} twice; list each member "
                           "once", line)
            seen.add(item)
        return SetValue(items)


class _SetExpressions(_DataValues):
    """Sets computed in their declaration: union, inter and diff of sets, asSet(lo..hi), literal
    members and filtered sets {expr | iterators: filter}."""

    def check_set_expr(self, node, member_type, name):
        """Check that every part of the set expression of the set name holds members of
        member_type (the declared element type) and uses only data."""
        kind = node["type"]
        line = self.line_of(node)
        if kind == "set_op":
            self.check_set_expr(node["left"], member_type, name)
            self.check_set_expr(node["right"], member_type, name)
            return
        if kind == "set_literal":
            for element in node["elements"]:
                self.check_member(element, {}, member_type, name)
            return
        if kind == "set_filter":
            inner = self.bind_iterators(node["iterators"], {}, line)
            if node["filter"] is not None:
                self.check_expr(node["filter"], inner, ("filter",))
            self.check_member(node["element"], inner, member_type, name)
            return
        source = node["range"] if kind == "as_set" else node
        if source["type"] == "range_expr":
            for bound in (source["low"], source["high"]):
                self.require_number(bound, self.check_expr(bound, {}, ("data", name)))
            held = "number"
        else:
            sym = self.symbols.get(source["name"])
            if sym is None:
                self.undeclared(source["name"], line, as_set=True, ctx=("data", name))
            if sym.kind not in ("range", "set"):
                self.error(f"'{source['name']}' is not a range or set, so it cannot stand in the set "
                           f"expression of '{name}'", line)
            held = sym.static_type
        if held != member_type:
            self.error(f"the set '{name}' holds {_members_words(member_type)}, but "
                       f"'{expr_text(node)}' holds {_members_words(held)}; a set expression combines "
                       "sets of the same kind", line)

    def check_member(self, node, scope, member_type, name):
        degree, t = self.check_expr(node, scope, ("data", name))
        if t != member_type and not self.compatible(t, member_type):
            self.error(f"the set '{name}' holds {_members_words(member_type)}, but "
                       f"'{expr_text(node)}' is {_type_words(t)}", self.line_of(node))

    def evaluate_set(self, node, name):
        """The members of a set expression, in order (left operand first)."""
        kind = node["type"]
        if kind == "set_op":
            left = self.evaluate_set(node["left"], name)
            right = self.evaluate_set(node["right"], name)
            self.spend(len(left) + len(right))
            if node["op"] == "union":
                return _distinct(left + right)
            found = set(right)
            keep = node["op"] == "inter"
            return [m for m in left if (m in found) == keep]
        if kind == "set_literal":
            members = [self.evaluate(e, {}) for e in node["elements"]]
            self.unique_set(members, name, self.line_of(node), "")
            return members
        if kind == "set_filter":
            return _distinct([self.evaluate(node["element"], env)
                              for env in self.bindings(node["iterators"], node["filter"], {})])
        source = node["range"] if kind == "as_set" else node
        if source["type"] == "range_expr":
            line = self.line_of(source)
            what = f"a bound of '{expr_text(source)}'"
            low, high = (self.integer_bound(self.evaluate(source[key], {}), what, line)
                         for key in ("low", "high"))
            if low is None or high is None:
                self.error(f"'{expr_text(node)}' needs integer bounds", line)
            domain = RangeValue(low, high)
        else:
            domain = self.values.get(source["name"], UNKNOWN)
            if domain is UNKNOWN:
                raise _NotConstant()
        self.spend(len(domain))
        return list(domain)


class _Declarations(_SetExpressions):
    """Each kind of declaration: its checks, its symbol and its computed value."""

    def declare_tuple(self, decl):
        seen = set()
        for field in decl["fields"]:
            if field["name"] in seen:
                self.error(f"tuple type '{decl['name']}' has two fields named '{field['name']}'; "
                           "rename one", field["lineno"])
            seen.add(field["name"])
        for field in decl["fields"]:
            del field["lineno"]
        self.symbols[decl["name"]] = Symbol("tuple_type", decl, static_type="tuple:" + decl["name"])

    def declare_range(self, decl):
        ctx = ("data", decl["name"])
        bounds = []
        for key in ("start", "end"):
            node = decl[key]
            self.require_number(node, self.check_expr(node, {}, ctx))
            value = self.evaluate_data(node, {})
            if value is not UNKNOWN:
                bound = self.integer_bound(value, f"the bound '{expr_text(node)}' of range "
                                                  f"'{decl['name']}'", decl["lineno"])
                if bound is None:
                    self.error(f"the bounds of range '{decl['name']}' must be integers, but "
                               f"'{expr_text(node)}' is {value_text(value)}", decl["lineno"])
                value = bound
            bounds.append(value)
        if UNKNOWN in bounds:
            self.values[decl["name"]] = UNKNOWN
        else:
            decl["low"], decl["high"] = bounds
            self.values[decl["name"]] = RangeValue(*bounds)
        self.symbols[decl["name"]] = Symbol("range", decl, static_type="number")

    def declare_set(self, decl):
        element_type = decl["element_type"]
        self.bind_set(decl, _static_type(element_type), lambda v, what, line: self.coerce(
            v, element_type, what, line))

    def declare_set_of_tuples(self, decl):
        type_name = decl["tuple_type"]
        sym = self.symbols.get(type_name)
        if sym is None or sym.kind != "tuple_type":
            hint = f"declare it first, e.g. tuple {type_name} {{ string a; float b; }}"
            if sym is not None:
                hint = "the element type of a set must be int, float, string or a tuple type"
            self.error(f"'{type_name}' in {{{type_name}}} {decl['name']} is not a tuple type; {hint}",
                       decl["lineno"])
        fields = sym.decl["fields"]

        def coerce_tuple(value, what, line):
            if not isinstance(value, tuple):
                self.error(f"{what} must be a tuple <...> of type {type_name}", line)
            if len(value) != len(fields):
                self.error(f"{what} has {_count(len(value), 'field')} but tuple type {type_name} has "
                           f"{len(fields)} ({', '.join(f['name'] for f in fields)})", line)
            where = "in the data file, " if what.startswith("in the data file, ") else ""
            member = what[len(where):]
            return tuple(self.coerce(v, f["type"], f"{where}field '{f['name']}' of {member}", line)
                         for v, f in zip(value, fields))

        self.bind_set(decl, "tuple:" + type_name, coerce_tuple)

    def bind_set(self, decl, member_type, coerce):
        name = decl["name"]
        if decl["source"] == "inline":
            items = []
            for node in decl["elements"]:
                line = self.line_of(node)
                degree, t = self.check_expr(node, {}, ("data", name))
                if t != member_type and not self.compatible(t, member_type):
                    self.error(f"the set '{name}' holds {_members_words(member_type)}, but "
                               f"'{expr_text(node)}' is {_type_words(t)}", line)
                value = self.evaluate_data(node, {})
                if value is UNKNOWN:
                    items = UNKNOWN
                    break
                items.append(coerce(value, f"the member {expr_text(node)} of '{name}'", line))
            value = UNKNOWN if items is UNKNOWN else self.unique_set(items, name, decl["lineno"], "")
        elif decl["source"] == "expression":
            self.check_set_expr(decl["expr"], member_type, name)
            try:
                members = self.evaluate_set(decl["expr"], name)
            except (_NotConstant, _OutOfBudget):
                value = UNKNOWN
            else:
                what = f"a member of '{name}'"
                value = SetValue(_distinct([coerce(v, what, decl["lineno"]) for v in members]))
                decl["value"] = self.plain(value)
        else:
            dv, line = self.take_file_data(decl)
            if dv["kind"] != "set":
                self.error(f"in the data file, '{name}' is a set and needs braces {{...}}, but has "
                           f"{_described_data_value(dv)}", dv["line"])
            items = None
            if "numbers" in dv and decl["type"] == "set":
                items = self.fast_numbers(dv, decl["element_type"])
            if items is None:
                dv = self.data_parser.slow_value(dv)
                items = [coerce(self.plain_data(m), f"in the data file, a member of '{name}'",
                                m["line"]) for m in dv["items"]]
            value = self.unique_set(items, name, dv["line"], "in the data file, ")
            decl["value"] = self.plain(value)
        self.values[name] = value
        if value is not UNKNOWN:
            self.data[name] = self.plain(value)
        self.symbols[name] = Symbol("set", decl, static_type=member_type)

    def index_sets(self, decl):
        """Resolve the index sets of an array declaration to (set name, value) pairs."""
        dims = []
        for index in decl["indices"]:
            set_name = index["set"]
            sym = self.symbols.get(set_name)
            if sym is None:
                self.undeclared(set_name, decl["lineno"], as_set=True)
            if sym.kind not in ("range", "set"):
                self.error(f"'{decl['name']}' is indexed by '{set_name}', which is not a range or set; "
                           f"index it by a range (range I = 1..n;) or a set ({{string}} I = ...;)",
                           decl["lineno"])
            dims.append(set_name)
        return dims

    def generic_scope(self, decl, dims):
        scope = {}
        for index, set_name in zip(decl["indices"], dims):
            self.new_loop_variable(index["var"], scope, decl["lineno"])
            scope[index["var"]] = (self.symbols[set_name].static_type, set_name)
        return scope

    def declare_parameter(self, decl):
        name, vtype = decl["name"], decl["value_type"]
        dims = self.index_sets(decl)
        source = decl["source"]
        if source == "data":
            dv, _ = self.take_file_data(decl)
            value = self.convert_file_array(dv, dims, vtype, name, "")
        elif source == "inline" and decl["expr"]["type"] == "array_literal":
            value = self.convert_literal_array(decl["expr"], dims, vtype, name, "")
        else:
            scope = self.generic_scope(decl, dims) if dims else {}
            node = decl["expr"]
            degree, t = self.check_expr(node, scope, ("data", name))
            self.require_type(node, t, _static_type(vtype), f"the data '{name}'")
            try:
                value = self.fill_generic(decl, dims, 0, {})
            except _OutOfBudget:
                value = UNKNOWN
        self.values[name] = value
        if value is not UNKNOWN:
            self.data[name] = value
        self.symbols[name] = Symbol("parameter", decl, dims, _static_type(vtype))

    def fill_generic(self, decl, dims, k, env):
        if k == len(dims):
            value = self.evaluate_data(decl["expr"], env)
            if value is UNKNOWN:
                return UNKNOWN
            return self.coerce(value, decl["value_type"], f"the value of '{decl['name']}'",
                               decl["lineno"])
        domain = self.values[dims[k]]
        if domain is UNKNOWN:
            return UNKNOWN
        var = decl["indices"][k]["var"]
        result = []
        self.spend(len(domain))
        for member in domain:
            item = self.fill_generic(decl, dims, k + 1, {**env, var: member})
            if item is UNKNOWN:
                return UNKNOWN
            result.append(item)
        return result

    def declare_dvar(self, decl):
        dims = self.index_sets(decl)
        generic = bool(dims) and "var" in decl["indices"][0]
        scope = self.generic_scope(decl, dims) if generic else {}
        if decl["bounds"]:
            for key in ("low", "high"):
                node = decl["bounds"][key]
                self.require_number(node, self.check_expr(node, scope, ("bound", decl["name"])))
        self.symbols[decl["name"]] = Symbol("dvar", decl, dims, degree=1)

    def declare_dexpr(self, decl):
        dims = self.index_sets(decl)
        scope = self.generic_scope(decl, dims)
        degree, t = self.check_expr(decl["expr"], scope, ("model",))
        self.require_number(decl["expr"], (degree, t))
        self.symbols[decl["name"]] = Symbol("dexpr", decl, dims, degree=degree)


class _Compilation(_Declarations):
    """Checks one parsed model against its data file and computes the data dict: the
    declarations in order, then the objective and the constraints, then their subscripts."""

    def __init__(self, model_code, data_code):
        parser = ModelParser(model_code)
        self.model = parser.parse_model()
        self.lines = parser.lines
        self.data_parser = DataParser(data_code)
        self.data_items = self.data_parser.parse_data()
        self.symbols = {}
        self.values = {}
        self.data = {}
        self.declared_at = {}
        self.labels = {}
        self.field_pos = {}
        self.file_data = {}
        self.budget = 0

    def run(self):
        for decl in self.model["declarations"]:
            self.declared_at.setdefault(decl["name"], decl["lineno"])
        for name, value, line in self.data_items:
            if name in self.file_data:
                self.error(f"in the data file, '{name}' is set twice (first on line "
                           f"{self.file_data[name][1]}); keep one of the two", line)
            self.file_data[name] = (value, line)
        self.budget = DATA_BUDGET
        for decl in self.model["declarations"]:
            if decl["name"] in self.symbols:
                self.error(f"'{decl['name']}' is declared twice (first on line "
                           f"{self.symbols[decl['name']].decl['lineno']}); rename or remove one of them",
                           decl["lineno"])
            getattr(self, "declare_" + decl["type"])(decl)
        self.check_leftover_data()
        objectives = self.model.pop("objectives")
        if len(objectives) > 1:
            self.error("the model has a second objective; keep exactly one minimize or maximize",
                       objectives[1]["lineno"])
        objective = self.model["objective"]
        if objective:
            self.add_label(objective["label"], objective["lineno"])
            self.require_number(objective["expr"], self.check_expr(objective["expr"], {}, ("model",)))
        for statement in self.model["constraints"]:
            self.check_statement(statement, {})
        self.budget = SUBSCRIPT_BUDGET
        try:
            self.check_all_subscripts()
        except _OutOfBudget:
            pass
        self.model["data"] = self.data
        return self.model

    def add_label(self, label, line):
        if label is None:
            return
        if label in self.labels:
            self.error(f"the label '{label}' is used twice (first on line {self.labels[label]}); "
                       "give each objective and constraint its own label", line)
        self.labels[label] = line

    def check_statement(self, statement, scope):
        kind = statement["type"]
        if kind == "forall":
            inner = self.bind_iterators(statement["iterators"], scope, statement["lineno"])
            if statement["filter"] is not None:
                self.check_expr(statement["filter"], inner, ("filter",))
            for child in statement["body"]:
                self.check_statement(child, inner)
        elif kind == "block":
            for child in statement["body"]:
                self.check_statement(child, scope)
        else:
            self.add_label(statement["label"], statement["lineno"])
            for side in ("left", "right"):
                node = statement[side]
                self.require_number(node, self.check_expr(node, scope, ("model",)))

    def check_all_subscripts(self):
        """Check every computable subscript of dexprs, objective and constraints against the data."""
        for decl in self.model["declarations"]:
            if decl["type"] == "dexpr":
                self.check_generic_subscripts(decl, [decl["expr"]])
            elif decl["type"] == "dvar" and decl["bounds"]:
                self.check_generic_subscripts(decl, [decl["bounds"]["low"], decl["bounds"]["high"]])
        if self.model["objective"]:
            try:
                self.walk_subscripts(self.model["objective"]["expr"], {})
            except _NotConstant:
                pass
        for statement in self.model["constraints"]:
            self.walk_statement(statement, {})

    def check_generic_subscripts(self, decl, nodes):
        """Subscripts of nodes for every member of the generic indices [i in I] of decl."""
        iterators = [{"type": "iterator", "var": i["var"], "set": {"type": "name", "name": i["set"]}}
                     for i in decl["indices"] if "var" in i]
        try:
            for env in self.bindings(iterators, None, {}):
                for node in nodes:
                    self.walk_subscripts(node, env)
        except _NotConstant:
            pass

    def walk_statement(self, statement, env):
        try:
            if statement["type"] == "forall":
                for inner in self.bindings(statement["iterators"], statement["filter"], env):
                    for child in statement["body"]:
                        self.walk_statement(child, inner)
            elif statement["type"] == "block":
                for child in statement["body"]:
                    self.walk_statement(child, env)
            else:
                self.walk_subscripts(statement["left"], env)
                self.walk_subscripts(statement["right"], env)
        except _NotConstant:
            pass

    def walk_subscripts(self, node, env):
        self.spend()
        kind = node["type"]
        if kind == "aggregate":
            for inner in self.bindings(node["iterators"], node["filter"], env):
                self.walk_subscripts(node["body"], inner)
            return
        if kind == "conditional":  # only the branch the condition takes
            self.walk_subscripts(node["condition"], env)
            chosen = node["then"] if self.evaluate(node["condition"], env) else node["else"]
            self.walk_subscripts(chosen, env)
            return
        if kind == "indexed" and node["name"] not in env:
            for k, sub in enumerate(node["indices"]):
                self.walk_subscripts(sub, env)
                self.subscript_position(node, k, env)
            return
        for value in node.values():
            if isinstance(value, dict) and "type" in value:
                self.walk_subscripts(value, env)
            elif isinstance(value, list):
                for item in value:
                    if isinstance(item, dict) and "type" in item:
                        self.walk_subscripts(item, env)


class VormoCompiler:
    """Compiles a Vormo model and its data file; see the module documentation for the result.

    Every call parses and checks afresh; an instance holds no state.
    """

    def compile_model(self, model_code, data_code):
        """Parse and check model_code against data_code; return the compiled model.

        Raises VormoSyntaxError or SemanticError for the first fault found.
        """
        for what, text in (("model_code", model_code), ("data_code", data_code)):
            if not isinstance(text, str):
                raise TypeError(f"{what} must be the text of the file, not {type(text).__name__}")
        try:
            return _Compilation(model_code, data_code).run()
        except RecursionError:
            raise VormoSyntaxError("model", 1, 1, "a less deeply nested model",
                                   "nesting beyond what the compiler can follow",
                                   "split long or nested expressions into parts") from None
