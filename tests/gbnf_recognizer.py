"""A small GBNF reader and a character-level Earley recognizer.

The GBNF notation is the one local LLM servers use for grammar-constrained
decoding:

    name ::= alternative | alternative     # comment
    literal "ab\\n", character classes [a-z_] and [^"\\n], any character ".",
    grouping ( ... ), repetition * + ? and {m}, {m,}, {m,n}

Rule names are letters, digits and '-'.  A rule ends at the end of its line
unless the line ends inside parentheses or right after '|', the same reading
the servers apply, so a file that loads here also loads there.  The reader
also rejects what those servers reject at load time: references to undefined
rules, a missing ``root`` rule and left recursion.

The recognizer turns the rules into plain BNF over single characters
(repetitions become left-recursive helper rules, which Earley handles in
constant space per position) and runs an Earley recognizer with
precomputed nullable symbols and prediction closures.  Right recursion
written in a grammar stays quadratic (there is no Leo optimisation), which is
fine for the inputs of the test suite.
"""

from __future__ import annotations

from dataclasses import dataclass, field

__all__ = [
    "GBNFError",
    "Grammar",
    "Recognizer",
    "RecognitionResult",
    "count_readings",
    "parse_gbnf",
]


class GBNFError(ValueError):
    """A fault in a GBNF grammar text."""


# ---------------------------------------------------------------------------
# Grammar syntax tree
# ---------------------------------------------------------------------------
# Nodes are tuples:
#   ("chars", ranges, negated)   ranges: tuple of (lo, hi) code points
#   ("lit", text)                a literal string
#   ("ref", name)
#   ("seq", [node, ...])
#   ("alt", [node, ...])
#   ("rep", node, min, max)      max None = unbounded


@dataclass
class Grammar:
    rules: dict                      # name -> node
    order: list = field(default_factory=list)   # names in file order
    lines: dict = field(default_factory=dict)   # name -> line of definition

    def references(self):
        """Map of rule name -> set of rule names it refers to."""
        return {name: set(_refs(node)) for name, node in self.rules.items()}


def _refs(node):
    kind = node[0]
    if kind == "ref":
        yield node[1]
    elif kind in ("seq", "alt"):
        for child in node[1]:
            yield from _refs(child)
    elif kind == "rep":
        yield from _refs(node[1])


# ---------------------------------------------------------------------------
# Reader
# ---------------------------------------------------------------------------

_ESCAPES = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"', "[": "[", "]": "]"}


def _is_word_char(c):
    return c.isascii() and (c.isalnum() or c == "-")


class _Reader:
    def __init__(self, text):
        self.text = text
        self.n = len(text)

    def where(self, pos):
        line = self.text.count("\n", 0, pos) + 1
        col = pos - (self.text.rfind("\n", 0, pos) + 1) + 1
        return f"line {line}, column {col}"

    def fail(self, pos, msg):
        raise GBNFError(f"{msg} at {self.where(pos)}")

    def space(self, pos, newline_ok):
        t, n = self.text, self.n
        while pos < n:
            c = t[pos]
            if c in " \t":
                pos += 1
            elif c == "#":
                while pos < n and t[pos] not in "\r\n":
                    pos += 1
            elif newline_ok and c in "\r\n":
                pos += 1
            else:
                break
        return pos

    def name(self, pos):
        end = pos
        while end < self.n and _is_word_char(self.text[end]):
            end += 1
        if end == pos:
            self.fail(pos, "expecting a rule name")
        return self.text[pos:end], end

    def char(self, pos):
        """One (possibly escaped) character -> (code point, new pos)."""
        t = self.text
        if pos >= self.n:
            self.fail(pos, "unexpected end of input")
        c = t[pos]
        if c != "\\":
            return ord(c), pos + 1
        if pos + 1 >= self.n:
            self.fail(pos, "unfinished escape")
        e = t[pos + 1]
        if e in _ESCAPES:
            return ord(_ESCAPES[e]), pos + 2
        width = {"x": 2, "u": 4, "U": 8}.get(e)
        if width is None:
            self.fail(pos, f"unknown escape '\\{e}'")
        digits = t[pos + 2:pos + 2 + width]
        if len(digits) != width or any(d not in "0123456789abcdefABCDEF" for d in digits):
            self.fail(pos, f"expecting {width} hex digits after '\\{e}'")
        return int(digits, 16), pos + 2 + width

    def integer(self, pos):
        end = pos
        while end < self.n and self.text[end].isdigit():
            end += 1
        if end == pos:
            self.fail(pos, "expecting a number")
        return int(self.text[pos:end]), end

    def sequence(self, pos, nested):
        items = []
        t = self.text
        while pos < self.n:
            c = t[pos]
            if c == '"':
                pos += 1
                chars = []
                while True:
                    if pos >= self.n or t[pos] in "\r\n":
                        self.fail(pos, "unterminated literal")
                    if t[pos] == '"':
                        break
                    cp, pos = self.char(pos)
                    chars.append(chr(cp))
                pos += 1
                items.append(("lit", "".join(chars)))
            elif c == "[":
                pos += 1
                negated = pos < self.n and t[pos] == "^"
                if negated:
                    pos += 1
                ranges = []
                while True:
                    if pos >= self.n or t[pos] in "\r\n":
                        self.fail(pos, "unterminated character class")
                    if t[pos] == "]":
                        break
                    lo, pos = self.char(pos)
                    hi = lo
                    if pos + 1 < self.n and t[pos] == "-" and t[pos + 1] not in "]\r\n":
                        hi, pos = self.char(pos + 1)
                        if hi < lo:
                            self.fail(pos, "inverted character range")
                    ranges.append((lo, hi))
                pos += 1
                items.append(("chars", _merge_ranges(ranges), negated))
            elif _is_word_char(c):
                name, pos = self.name(pos)
                items.append(("ref", name))
            elif c == "(":
                pos = self.space(pos + 1, True)
                node, pos = self.alternates(pos, True)
                if pos >= self.n or t[pos] != ")":
                    self.fail(pos, "expecting ')'")
                pos += 1
                items.append(node)
            elif c == ".":
                pos += 1
                items.append(("chars", (), True))
            elif c in "*+?":
                if not items:
                    self.fail(pos, f"'{c}' without a preceding element")
                lo, hi = {"*": (0, None), "+": (1, None), "?": (0, 1)}[c]
                items[-1] = ("rep", items[-1], lo, hi)
                pos += 1
            elif c == "{":
                if not items:
                    self.fail(pos, "'{' without a preceding element")
                pos = self.space(pos + 1, nested)
                lo, pos = self.integer(pos)
                pos = self.space(pos, nested)
                hi = lo
                if pos < self.n and t[pos] == ",":
                    pos = self.space(pos + 1, nested)
                    if pos < self.n and t[pos].isdigit():
                        hi, pos = self.integer(pos)
                        if hi < lo:
                            self.fail(pos, "repetition maximum below minimum")
                    else:
                        hi = None
                    pos = self.space(pos, nested)
                if pos >= self.n or t[pos] != "}":
                    self.fail(pos, "expecting '}'")
                pos += 1
                items[-1] = ("rep", items[-1], lo, hi)
            else:
                break
            pos = self.space(pos, nested)
        return ("seq", items), pos

    def alternates(self, pos, nested):
        alts = []
        seq, pos = self.sequence(pos, nested)
        alts.append(seq)
        while pos < self.n and self.text[pos] == "|":
            pos = self.space(pos + 1, True)
            seq, pos = self.sequence(pos, nested)
            alts.append(seq)
        return ("alt", alts), pos

    def grammar(self):
        g = Grammar(rules={})
        pos = self.space(0, True)
        while pos < self.n:
            start = pos
            name, pos = self.name(pos)
            pos = self.space(pos, False)
            if not self.text.startswith("::=", pos):
                self.fail(pos, "expecting '::='")
            pos = self.space(pos + 3, True)
            node, pos = self.alternates(pos, False)
            if pos < self.n:
                if self.text[pos] == "\r":
                    pos += 2 if self.text.startswith("\r\n", pos) else 1
                elif self.text[pos] == "\n":
                    pos += 1
                else:
                    self.fail(pos, f"unexpected {self.text[pos]!r}, expecting end of rule")
            if name in g.rules:
                self.fail(start, f"rule '{name}' defined twice")
            g.rules[name] = node
            g.order.append(name)
            g.lines[name] = self.text.count("\n", 0, start) + 1
            pos = self.space(pos, True)
        return g


def _merge_ranges(ranges):
    out = []
    for lo, hi in sorted(ranges):
        if out and lo <= out[-1][1] + 1:
            out[-1] = (out[-1][0], max(out[-1][1], hi))
        else:
            out.append((lo, hi))
    return tuple(out)


def _nullable_node(node, nullable_rules):
    kind = node[0]
    if kind == "chars":
        return False
    if kind == "lit":
        return node[1] == ""
    if kind == "ref":
        return node[1] in nullable_rules
    if kind == "seq":
        return all(_nullable_node(c, nullable_rules) for c in node[1])
    if kind == "alt":
        return any(_nullable_node(c, nullable_rules) for c in node[1])
    if kind == "rep":
        return node[2] == 0 or _nullable_node(node[1], nullable_rules)
    raise AssertionError(kind)


def _left_refs(node, nullable_rules):
    """Rule names that may be entered without consuming a character first."""
    kind = node[0]
    if kind == "ref":
        return {node[1]}
    if kind == "seq":
        out = set()
        for child in node[1]:
            out |= _left_refs(child, nullable_rules)
            if not _nullable_node(child, nullable_rules):
                break
        return out
    if kind == "alt":
        out = set()
        for child in node[1]:
            out |= _left_refs(child, nullable_rules)
        return out
    if kind == "rep":
        return _left_refs(node[1], nullable_rules)
    return set()


def _check(g):
    for name, node in g.rules.items():
        for ref in _refs(node):
            if ref not in g.rules:
                raise GBNFError(f"rule '{name}' refers to undefined rule '{ref}'")
    if "root" not in g.rules:
        raise GBNFError("grammar has no 'root' rule")
    nullable = set()
    changed = True
    while changed:
        changed = False
        for name, node in g.rules.items():
            if name not in nullable and _nullable_node(node, nullable):
                nullable.add(name)
                changed = True
    left = {name: _left_refs(node, nullable) for name, node in g.rules.items()}
    for start in g.order:
        seen, stack = set(), list(left[start])
        while stack:
            cur = stack.pop()
            if cur == start:
                raise GBNFError(f"rule '{start}' is left-recursive")
            if cur not in seen:
                seen.add(cur)
                stack.extend(left[cur])


def parse_gbnf(text):
    """Read a GBNF grammar; raise GBNFError on any fault."""
    g = _Reader(text).grammar()
    _check(g)
    return g


# ---------------------------------------------------------------------------
# Conversion to character-level BNF
# ---------------------------------------------------------------------------

class _Compiled:
    """Plain BNF: nonterminals are ints >= 0, terminals are ~tid (< 0)."""

    def __init__(self, grammar, start):
        self.names = []          # nonterminal id -> display name
        self.ids = {}
        self.rules = []          # (lhs, rhs tuple)
        self.terms = []          # tid -> (ranges, negated)
        self._term_ids = {}
        for name in grammar.order:
            self._nt(name)
        top = self._fresh("<start>")
        self.rules.append((top, (self._nt(start),)))
        self.top = top
        for name in grammar.order:
            self._add_alternatives(self._nt(name), grammar.rules[name])

    def _nt(self, name):
        if name not in self.ids:
            self.ids[name] = len(self.names)
            self.names.append(name)
        return self.ids[name]

    def _fresh(self, hint):
        nid = len(self.names)
        self.names.append(hint)
        return nid

    def _term(self, ranges, negated):
        key = (ranges, negated)
        if key not in self._term_ids:
            self._term_ids[key] = len(self.terms)
            self.terms.append(key)
        return ~self._term_ids[key]

    def _add_alternatives(self, lhs, node):
        if node[0] == "alt":
            for alt in node[1]:
                self.rules.append((lhs, tuple(self._symbols(alt))))
        else:
            self.rules.append((lhs, tuple(self._symbols(node))))

    def _symbols(self, node):
        kind = node[0]
        if kind == "lit":
            return [self._term(((ord(c), ord(c)),), False) for c in node[1]]
        if kind == "chars":
            return [self._term(node[1], node[2])]
        if kind == "ref":
            return [self._nt(node[1])]
        if kind == "seq":
            out = []
            for child in node[1]:
                out.extend(self._symbols(child))
            return out
        if kind == "alt":
            if len(node[1]) == 1:
                return self._symbols(node[1][0])
            nid = self._fresh("<group>")
            self._add_alternatives(nid, node)
            return [nid]
        if kind == "rep":
            _, child, lo, hi = node
            body = self._symbols(child)
            out = body * lo
            if hi is None:
                # star ::= <empty> | star body   (left recursion: cheap for Earley)
                nid = self._fresh("<repeat>")
                self.rules.append((nid, ()))
                self.rules.append((nid, tuple([nid] + body)))
                out.append(nid)
            elif hi > lo:
                # opt_k ::= <empty> | body opt_(k-1), nested for the optional part
                tail = None
                for _ in range(hi - lo):
                    nid = self._fresh("<optional>")
                    self.rules.append((nid, ()))
                    self.rules.append((nid, tuple(body + ([tail] if tail is not None else []))))
                    tail = nid
                out.append(tail)
            return out
        raise AssertionError(kind)


def _describe_term(ranges, negated):
    def show(cp):
        c = chr(cp)
        return {"\n": "\\n", "\r": "\\r", "\t": "\\t"}.get(c, c)

    if not ranges and negated:
        return "any character"
    parts = "".join(show(lo) if lo == hi else f"{show(lo)}-{show(hi)}" for lo, hi in ranges)
    if not negated and len(ranges) == 1 and ranges[0][0] == ranges[0][1]:
        return repr(chr(ranges[0][0]))
    return f"[{'^' if negated else ''}{parts}]"


# ---------------------------------------------------------------------------
# Earley recognizer
# ---------------------------------------------------------------------------

@dataclass
class RecognitionResult:
    accepted: bool
    position: int          # characters consumed before the failure (len(text) if accepted)
    line: int
    column: int
    expected: list         # terminals that would have been accepted at the failure point

    def __bool__(self):
        return self.accepted

    def message(self):
        if self.accepted:
            return "accepted"
        return (f"rejected at line {self.line}, column {self.column}; "
                f"expected one of: {', '.join(self.expected) or 'end of input'}")


class Recognizer:
    """Earley recognizer for a GBNF grammar over characters."""

    def __init__(self, grammar, start="root"):
        if isinstance(grammar, str):
            grammar = parse_gbnf(grammar)
        if start not in grammar.rules:
            raise GBNFError(f"no rule named '{start}'")
        bnf = _Compiled(grammar, start)
        self._bnf = bnf
        n_nt = len(bnf.names)

        # Dotted rules: one id per (rule, dot).  next_sym[d] is the symbol
        # after the dot (None when the rule is complete); d + 1 is the dotted
        # rule with the dot moved past it.
        next_sym, lhs_of = [], []
        first_dot = []
        by_lhs = [[] for _ in range(n_nt)]
        for lhs, rhs in bnf.rules:
            first_dot.append(len(next_sym))
            by_lhs[lhs].append((len(next_sym), rhs))
            for sym in rhs:
                next_sym.append(sym)
                lhs_of.append(lhs)
            next_sym.append(None)
            lhs_of.append(lhs)
        self._next = next_sym
        self._lhs = lhs_of

        nullable = [False] * n_nt
        changed = True
        while changed:
            changed = False
            for lhs, rhs in bnf.rules:
                if not nullable[lhs] and all(s >= 0 and nullable[s] for s in rhs):
                    nullable[lhs] = changed = True
        self._nullable = nullable

        # Items a prediction of nonterminal M adds at the current position:
        # every rule of M with the dot at 0, and moved past a nullable prefix.
        own_wait = [[] for _ in range(n_nt)]
        own_scan = [[] for _ in range(n_nt)]
        for m in range(n_nt):
            for d0, rhs in by_lhs[m]:
                for k, sym in enumerate(rhs):
                    if sym >= 0:
                        own_wait[m].append((sym, d0 + k))
                        if not nullable[sym]:
                            break
                    else:
                        own_scan[m].append((~sym, d0 + k))
                        break
        # Prediction closure: every nonterminal predicted along with M.
        closure = []
        for m in range(n_nt):
            seen, stack = [m], [m]
            mark = {m}
            while stack:
                cur = stack.pop()
                for sym, _ in own_wait[cur]:
                    if sym not in mark:
                        mark.add(sym)
                        seen.append(sym)
                        stack.append(sym)
            closure.append(seen)
        self._own_wait = own_wait
        self._own_scan = own_scan
        self._closure = closure

        self._terms = bnf.terms
        self._char_terms = {}

    def _matching(self, ch):
        """Set of terminal ids that accept character ch (cached per character)."""
        hit = self._char_terms.get(ch)
        if hit is None:
            cp = ord(ch)
            hit = set()
            for tid, (ranges, negated) in enumerate(self._terms):
                inside = any(lo <= cp <= hi for lo, hi in ranges)
                if inside != negated:
                    hit.add(tid)
            hit = frozenset(hit)
            self._char_terms[ch] = hit
        return hit

    def recognize(self, text):
        """Return a RecognitionResult for text (truthy when accepted)."""
        next_sym, lhs_of, nullable = self._next, self._lhs, self._nullable
        own_wait, own_scan, closure = self._own_wait, self._own_scan, self._closure
        top = self._bnf.top
        n = len(text)
        stride = n + 1
        waiting = []            # position -> {nonterminal: [(dotted, origin)]}
        work = []               # items (dotted, origin) entering the current set
        seen = set()
        accepted = False
        scan = {}

        for i in range(n + 1):
            wait_i = {}
            scan = {}
            predicted = set()
            done = set()
            waiting.append(wait_i)

            def predict(sym):
                for m in closure[sym]:
                    if m in predicted:
                        continue
                    predicted.add(m)
                    for s, d in own_wait[m]:
                        lst = wait_i.get(s)
                        if lst is None:
                            wait_i[s] = [(d, i)]
                        else:
                            lst.append((d, i))
                    for t, d in own_scan[m]:
                        lst = scan.get(t)
                        if lst is None:
                            scan[t] = [(d, i)]
                        else:
                            lst.append((d, i))

            if i == 0:
                predict(top)
                if nullable[top] and n == 0:
                    accepted = True

            k = 0
            while k < len(work):
                d, org = work[k]
                k += 1
                sym = next_sym[d]
                if sym is None:
                    a = lhs_of[d]
                    key = a * stride + org
                    if key in done:
                        continue
                    done.add(key)
                    if a == top and org == 0 and i == n:
                        accepted = True
                    for d2, o2 in waiting[org].get(a, ()):
                        key = (d2 + 1) * stride + o2
                        if key not in seen:
                            seen.add(key)
                            work.append((d2 + 1, o2))
                elif sym >= 0:
                    lst = wait_i.get(sym)
                    if lst is None:
                        wait_i[sym] = [(d, org)]
                    else:
                        lst.append((d, org))
                    if sym not in predicted:
                        predict(sym)
                    if nullable[sym]:
                        key = (d + 1) * stride + org
                        if key not in seen:
                            seen.add(key)
                            work.append((d + 1, org))
                else:
                    lst = scan.get(~sym)
                    if lst is None:
                        scan[~sym] = [(d, org)]
                    else:
                        lst.append((d, org))

            if i == n:
                break
            hits = self._matching(text[i])
            work = []
            seen = set()
            for t, items in scan.items():
                if t in hits:
                    for d, org in items:
                        key = (d + 1) * stride + org
                        if key not in seen:
                            seen.add(key)
                            work.append((d + 1, org))
            if not work:
                return self._result(text, i, scan)
        if accepted:
            line, col = _line_col(text, n)
            return RecognitionResult(True, n, line, col, [])
        return self._result(text, n, scan)

    def accepts(self, text):
        return bool(self.recognize(text))

    def _result(self, text, pos, scan):
        line, col = _line_col(text, pos)
        expected = sorted({_describe_term(*self._terms[t]) for t in scan})
        return RecognitionResult(False, pos, line, col, expected)


def _line_col(text, pos):
    line = text.count("\n", 0, pos) + 1
    col = pos - (text.rfind("\n", 0, pos) + 1) + 1
    return line, col


def count_readings(recognizer, text, limit=1000):
    """Number of distinct derivations of text from the start rule (capped at limit).

    Meant for short texts: it explores every span by memoised recursion, so it is much
    slower than recognize().  A result above 1 means the grammar reads the text in more
    than one way.
    """
    import sys

    bnf = recognizer._bnf
    rules_of = {}
    for lhs, rhs in bnf.rules:
        rules_of.setdefault(lhs, []).append(rhs)
    terms = bnf.terms
    n = len(text)

    def matches(tid, i):
        if i >= n:
            return False
        ranges, negated = terms[tid]
        cp = ord(text[i])
        return any(lo <= cp <= hi for lo, hi in ranges) != negated

    memo_sym = {}
    memo_seq = {}

    def add(acc, end, count):
        acc[end] = min(limit, acc.get(end, 0) + count)

    def seq_ends(rhs, k, i):
        key = (rhs, k, i)
        hit = memo_seq.get(key)
        if hit is not None:
            return hit
        if k == len(rhs):
            out = {i: 1}
        else:
            sym = rhs[k]
            out = {}
            if sym < 0:
                if matches(~sym, i):
                    out = seq_ends(rhs, k + 1, i + 1)
            else:
                for e, c in sym_ends(sym, i).items():
                    for e2, c2 in seq_ends(rhs, k + 1, e).items():
                        add(out, e2, c * c2)
        memo_seq[key] = out
        return out

    def sym_ends(sym, i):
        key = (sym, i)
        hit = memo_sym.get(key)
        if hit is not None:
            return hit
        alts = rules_of.get(sym, [])
        if bnf.names[sym] == "<repeat>":
            # star ::= <empty> | star body: iterate the body from each reached end
            body = next(r[1:] for r in alts if r)
            out, frontier = {i: 1}, {i: 1}
            while frontier:
                nxt = {}
                for e, c in frontier.items():
                    for e2, c2 in seq_ends(body, 0, e).items():
                        if e2 == e:
                            raise ValueError("repetition of an empty-matching body")
                        add(nxt, e2, c * c2)
                for e, c in nxt.items():
                    add(out, e, c)
                frontier = nxt
        else:
            memo_sym[key] = {}          # guards against left recursion through a cycle
            out = {}
            for rhs in alts:
                for e, c in seq_ends(rhs, 0, i).items():
                    add(out, e, c)
        memo_sym[key] = out
        return out

    old = sys.getrecursionlimit()
    sys.setrecursionlimit(max(old, 20000))
    try:
        return sym_ends(bnf.top, 0).get(n, 0)
    finally:
        sys.setrecursionlimit(old)
