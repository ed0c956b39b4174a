import pytest

from vormo import emitcore
from vormo.emitcore import SciPyCodeGeneratorBase as Base
from vormo.faultnote import SemanticError

DECLS = {
    "declarations": [
        {"name": "x", "type": "dvar"},
        {"name": "x", "type": "float"},
        {"name": "S", "type": "set"},
    ]
}

FIELDS = [
    "ast", "data_dict", "scipy_code_lines", "indent_level", "var_names", "var_indices", "bounds", "c",
    "A_ub", "b_ub", "A_eq", "b_eq", "results_varname", "integrality", "tuple_types",
]


def test_constructor_sets_fields_in_order():
    data = {"a": 1}
    gen = Base(DECLS, data)
    assert list(vars(gen)) == FIELDS
    assert gen.ast is DECLS and gen.data_dict is data
    assert (gen.indent_level, gen.results_varname) == (0, "results")
    for name in FIELDS[2:]:
        if name not in ("indent_level", "results_varname"):
            assert getattr(gen, name) in ([], {})
    assert isinstance(gen.var_indices, dict) and isinstance(gen.tuple_types, dict)


@pytest.mark.parametrize("given", [None, {}, 0, ""])
def test_falsy_data_gives_a_fresh_dict(given):
    a, b = Base({}, given), Base({}, given)
    assert a.data_dict == {} and a.data_dict is not given and a.data_dict is not b.data_dict


def test_lists_are_not_shared_between_instances():
    a, b = Base({}), Base({})
    a.c.append(1)
    assert b.c == []


@pytest.mark.parametrize("level, prefix", [(0, ""), (1, "    "), (2, "        "), (-3, "")])
def test_indent_and_add_code_line(level, prefix):
    gen = Base({})
    gen.indent_level = level
    assert gen._indent() == prefix
    gen._add_code_line("x = 1")
    assert gen.scipy_code_lines == [prefix + "x = 1"]


def test_add_code_line_uses_the_instance_indent():
    class Tabbed(Base):
        def _indent(self):
            return "\t"

    gen = Tabbed({})
    gen._add_code_line("y")
    assert gen.scipy_code_lines == ["\ty"]
    assert gen._add_code_line("z") is None


@pytest.mark.parametrize(
    "method, message",
    [
        ("generate_code", "Subclasses must implement generate_code()"),
        ("_build_variables", "Subclasses must implement _build_variables()"),
        ("_build_objective", "Subclasses must implement _build_objective()"),
        ("_build_constraints", "Subclasses must implement _build_constraints()"),
    ],
)
def test_abstract_operations(method, message):
    with pytest.raises(NotImplementedError) as info:
        getattr(Base({}), method)()
    assert str(info.value) == message


@pytest.mark.parametrize(
    "name, decl_type, first, all_",
    [
        ("x", None, 0, [0, 1]),
        ("x", "float", 1, [1]),
        ("x", "set", None, []),
        ("S", "set", 2, [2]),
        ("nope", None, None, []),
    ],
)
def test_declaration_lookup(name, decl_type, first, all_):
    gen = Base(DECLS)
    decls = DECLS["declarations"]
    expected = None if first is None else decls[first]
    assert gen.find_declaration(name, decl_type) is expected
    assert gen._find_decl(name, decl_type) is expected
    found = gen.find_declarations(name, decl_type)
    assert found == [decls[i] for i in all_] and all(f is decls[i] for f, i in zip(found, all_))
    assert gen._find_decls(name, decl_type) == found


def test_lookup_without_declarations_and_with_missing_entries():
    gen = Base({})
    assert gen.find_declaration("x") is None and gen.find_declarations("x") == []
    # A declaration without "name" reads as None, so it matches a search for None.
    odd = Base({"declarations": [{"type": "set"}]})
    assert odd.find_declaration(None) == {"type": "set"}


def test_lookup_on_bad_trees_fails_with_host_errors():
    with pytest.raises(AttributeError):
        Base([]).find_declaration("x")
    with pytest.raises(AttributeError):
        Base({"declarations": ["x"]}).find_declarations("x")


@pytest.mark.parametrize(
    "idx, expected",
    [
        ([1, [2, 3]], (1, (2, 3))),
        ((1, [2, (3, [4])]), (1, (2, (3, (4,))))),
        ([], ()),
        ("ab", "ab"),
        (7, 7),
        ({"a": 1}, {"a": 1}),
    ],
)
def test_normalize_index(idx, expected):
    assert Base.normalize_index(idx) == expected
    assert Base({})._normalize_index(idx) == expected
    assert type(Base.normalize_index(idx)) is type(expected)


def test_normalize_index_accepts_derived_sequences_and_deep_nesting():
    class L(list):
        pass

    assert Base.normalize_index(L([1, L([2])])) == (1, (2,))
    deep = []
    for _ in range(100000):
        deep = [deep]
    with pytest.raises(RecursionError):
        Base.normalize_index(deep)


def test_overrides_are_called_through_the_instance():
    calls = []

    class Gen(Base):
        def find_declaration(self, name, decl_type=None):
            calls.append(("one", name, decl_type))
            return "first"

        def find_declarations(self, name, decl_type=None):
            calls.append(("all", name, decl_type))
            return ["all"]

        @staticmethod
        def normalize_index(idx):
            calls.append(("norm", idx))
            return "normalised"

    gen = Gen({}, {"d": 1})
    gen.extra = "kept"
    assert gen._find_decl("a", "t") == "first"
    assert gen._find_decls("b") == ["all"]
    assert gen._normalize_index([1]) == "normalised"
    assert calls == [("one", "a", "t"), ("all", "b", None), ("norm", [1])]
    assert (gen.extra, gen.data_dict) == ("kept", {"d": 1})


def name(n):
    return {"type": "name", "name": n}


@pytest.mark.parametrize(
    "elements, env, expected",
    [
        ([name("i"), {"type": "string", "value": "a"}], {"i": 4}, (4, "a")),
        ([name("i"), {"type": "string", "value": "a"}], None, ("i", "a")),
        ([{"type": "number", "value": 2.5}, 3], None, (2.5, 3)),
        ([{"type": "tuple_literal", "elements": [name("j"), {"type": "number", "value": 1}]}], {"j": "x"},
         (("x", 1),)),
        ([{"value": 9}], None, ({"value": 9},)),  # no "type": appended whole
        ([{"type": "other", "name": "q"}], None, ({"type": "other", "name": "q"},)),
        ([], None, ()),
    ],
)
def test_tuple_key(elements, env, expected):
    assert Base({})._tuple_key(elements, env) == expected


@pytest.mark.parametrize("element", [{"type": "name"}, {"type": "number"}, {"type": "string"},
                                     {"type": "tuple_literal"}])
def test_tuple_key_requires_the_entry_of_its_rule(element):
    with pytest.raises(KeyError):
        Base({})._tuple_key([element])


@pytest.mark.parametrize("call, outcome", [
    (lambda g: g._tuple_key([name("i")], {"i": 1}), (1,)),
    (lambda g: g._tuple_key(elements=[name("i")], env={"i": 2}), (2,)),
    (lambda g: g._tuple_key([name("i")], env={"i": 3}), (3,)),
    (lambda g: g._tuple_key(iter([name("i"), 5])), ("i", 5)),
    (lambda g: g._tuple_key((x for x in [{"type": "number", "value": 7}])), (7,)),
    (lambda g: Base._tuple_key(g, [4]), (4,)),
    (lambda g: g._tuple_key(), "_tuple_key() missing 1 required positional argument: 'elements'"),
    (lambda g: g._tuple_key([], {}, 1), "_tuple_key() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda g: g._tuple_key([], elements=[]), "_tuple_key() got multiple values for argument 'elements'"),
    (lambda g: g._tuple_key([], envs={}), "_tuple_key() got an unexpected keyword argument 'envs'"),
    (lambda g: g._tuple_key(5), "'int' object is not iterable"),
])
def test_tuple_key_is_called_like_a_method_written_in_python(call, outcome):
    if isinstance(outcome, str):
        with pytest.raises(TypeError) as info:
            call(Base({}))
        assert str(info.value) == outcome
    else:
        assert call(Base({})) == outcome


def test_tuple_key_hands_one_env_to_every_nested_key():
    seen = []

    class Gen(Base):
        def _tuple_key(self, elements, env=None):
            seen.append(env)
            return super()._tuple_key(elements, env)

    literal = {"type": "tuple_literal", "elements": [name("k")]}
    assert Gen({})._tuple_key([literal, literal]) == (("k",), ("k",))
    assert seen[0] is None and seen[1] == {} and seen[1] is seen[2]


class Kind(str):
    """A "type" entry that is a derived text with its own idea of equality (case-blind)."""

    def __eq__(self, other):
        return str.__eq__(self.lower(), other)

    __hash__ = str.__hash__


class Lenient(dict):
    def get(self, key, default=None):
        return "number" if key == "type" else super().get(key, default)


@pytest.mark.parametrize("element, component", [
    ({"type": Kind("NAME"), "name": "n"}, "n"),                                # its __eq__ decides
    ({"type": "NAME", "name": "n"}, {"type": "NAME", "name": "n"}),            # a plain text compares exactly
    (Lenient(value=8), 8),                                                     # a derived dict's own get decides
])
def test_tuple_key_reads_kinds_as_the_host_compares_them(element, component):
    got = Base({})._tuple_key([element])[0]
    assert got == component


def test_tuple_key_recurses_through_the_instance():
    class Gen(Base):
        def _tuple_key(self, elements, env=None):
            if elements == ["inner"]:
                return "overridden"
            return super()._tuple_key(elements, env)

    key = Gen({})._tuple_key([{"type": "tuple_literal", "elements": ["inner"]}])
    assert key == ("overridden",)


@pytest.mark.parametrize(
    "maker, args, message",
    [
        ("_unsupported_type_error", ("expression", {"type": "call"}), "Unsupported expression type: {'type': 'call'}"),
        ("_unsupported_type_error", ("c", "v"), "Unsupported c type: v"),
        ("_unsupported_operator_error", ("binary", "**"), "Unsupported binary operator: '**'"),
        ("_unsupported_operator_error", (1, None), "Unsupported 1 operator: 'None'"),
    ],
)
def test_error_makers_return_without_raising(maker, args, message):
    err = getattr(Base, maker)(*args)
    assert type(err) is SemanticError
    assert (err.message, err.lineno, str(err)) == (message, None, "Semantic Error: " + message)
    assert getattr(Base({}), maker)(*args).message == message


def test_error_makers_use_the_bound_error_type(monkeypatch):
    class Other(Exception):
        pass

    monkeypatch.setattr(emitcore, "SemanticError", Other)
    assert type(Base._unsupported_type_error("a", "b")) is Other


def test_class_shape():
    assert Base.__bases__ == (object,)
    assert Base.__module__ == "vormo.emitcore" and Base.__qualname__ == "SciPyCodeGeneratorBase"
    assert Base.__doc__ == (
        "\n    Abstract base class for SciPy code generators.\n    Subclasses must implement the required methods.\n    "
    )
    assert isinstance(Base.__dict__["normalize_index"], staticmethod)
    assert isinstance(Base.__dict__["_unsupported_type_error"], staticmethod)
    assert emitcore.SemanticError is SemanticError


def test_concrete_subclass_round_trip():
    class Tiny(Base):
        def generate_code(self):
            self._build_variables()
            self._build_objective()
            self._build_constraints()
            return "\n".join(self.scipy_code_lines)

        def _build_variables(self):
            self.var_names.append("x")
            self._add_code_line("x = 0")

        def _build_objective(self):
            self.indent_level += 1
            self._add_code_line("c = [1]")
            self.indent_level -= 1

        def _build_constraints(self):
            self._add_code_line("# none")

    assert Tiny({}).generate_code() == "x = 0\n    c = [1]\n# none"
