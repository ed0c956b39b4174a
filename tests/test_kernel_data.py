"""Lists of plain numbers (in data files, and array literals in models) are read in one piece,
with the same values, types, syntax trees and faults as when every number is read as a token of
its own."""
import re

import pytest

from vormo import vormo_kernel
from vormo.vormo_kernel import SemanticError, VormoCompiler, VormoSyntaxError

ARRAY = "range I = 1..{n};\n{vtype} a[I] = ...;\n"
MATRIX = "range I = 1..2;\nrange J = 1..3;\n{vtype} m[I][J] = ...;\n"
SET = "{{{vtype}}} S = ...;\n"

# (model, data): every kind of list the one-piece reading takes or hands back.
CASES = {
    "floats": (ARRAY.format(n=4, vtype="float"), "a = [1.5, -2.25, 3.0, 0.125];\n"),
    "ints stay ints among floats": (ARRAY.format(n=4, vtype="float"), "a = [1, 2.5, -3, 4e2];\n"),
    "exponents": (ARRAY.format(n=3, vtype="float"), "a = [1e-6, 2.5E3, -7e+2];\n"),
    "ints over lines": (ARRAY.format(n=3, vtype="int"), "a = [\n  1,\n  -2,\n  3\n];\n"),
    "int written as float": (ARRAY.format(n=3, vtype="int"), "a = [1, 2.0, -3e0];\n"),
    "int given a fraction": (ARRAY.format(n=3, vtype="int"), "a = [1,\n 2,\n 2.5];\n"),
    "int beyond the limit": (ARRAY.format(n=2, vtype="int"), "a = [1,\n 1e41];\n"),
    "boolean": (ARRAY.format(n=3, vtype="boolean"), "a = [1, 0, 1.0];\n"),
    "boolean given 2": (ARRAY.format(n=3, vtype="boolean"), "a = [1,\n 0,\n 2];\n"),
    "strings given numbers": (ARRAY.format(n=2, vtype="string"), "a = [1,\n 2];\n"),
    "too few values": (ARRAY.format(n=3, vtype="float"), "a = [1, 2];\n"),
    "too many values": (ARRAY.format(n=1, vtype="float"), "\na = [1, 2];\n"),
    "empty": (ARRAY.format(n=0, vtype="float"), "a = [ ];\n"),
    "matrix": (MATRIX.format(vtype="int"), "m = [[1, 2, 3],\n     [4, 5, 6]];\n"),
    "matrix row too short": (MATRIX.format(vtype="int"), "m = [[1, 2, 3],\n     [4, 5]];\n"),
    "flat list for a matrix": (MATRIX.format(vtype="int"), "m = [1,\n 2];\n"),
    "list for a scalar": ("float a = ...;\n", "a = [1, 2];\n"),
    "set of ints": (SET.format(vtype="int"), "S = {3, 1, 2};\n"),
    "set of floats": (SET.format(vtype="float"), "S = {3, 1.5, -2};\n"),
    "set with a repeated member": (SET.format(vtype="int"), "S = {1,\n 2,\n 2.0};\n"),
    "set of strings given numbers": (SET.format(vtype="string"), "S = {1, 2};\n"),
    "set given for an array": (ARRAY.format(n=2, vtype="float"), "a = {1, 2};\n"),
    "array given for a set": (SET.format(vtype="int"), "S = [1, 2];\n"),
    "tuple set given numbers": ("tuple T { int a; int b; }\n{T} S = ...;\n", "S = {1, 2};\n"),
    "list inside a tuple": ("tuple T { int a; int b; }\n{T} S = ...;\n", "S = {<1, [2, 3]>};\n"),
    "blank after a minus sign": (ARRAY.format(n=2, vtype="float"), "a = [1, -  2];\n"),
    "comment inside": (ARRAY.format(n=2, vtype="float"), "a = [1, // first\n 2 /* second */];\n"),
    "literal of 41 digits": (ARRAY.format(n=2, vtype="float"), "a = [1, " + "9" * 41 + "];\n"),
    "literal of 40 digits": (ARRAY.format(n=2, vtype="float"), "a = [1, -" + "9" * 40 + "];\n"),
    "float too large": (ARRAY.format(n=2, vtype="float"), "a = [1,\n 1e999];\n"),
    "trailing comma": (ARRAY.format(n=2, vtype="float"), "a = [1, 2,];\n"),
    "missing comma": (ARRAY.format(n=2, vtype="float"), "a = [1 2];\n"),
    "plus sign": (ARRAY.format(n=2, vtype="float"), "a = [1, +2];\n"),
    "leading dot": (ARRAY.format(n=2, vtype="float"), "a = [1, .5];\n"),
    "trailing dot": (ARRAY.format(n=2, vtype="float"), "a = [1, 5.];\n"),
    "underscore in a number": (ARRAY.format(n=2, vtype="int"), "a = [1, 1_000];\n"),
    "superscript digit": (ARRAY.format(n=2, vtype="int"), "a = [1, \u00b2];\n"),
    "Arabic-Indic digit": (ARRAY.format(n=2, vtype="int"), "a = [1, \u0663];\n"),
    "unclosed": (ARRAY.format(n=2, vtype="float"), "a = [1, 2;\n"),
    "model literal": ("range I = 1..4;\nfloat a[I] = [1, 2.5, 3e2, 4e-1];\n", ""),
    "model literal with a fault": ("range I = 1..3;\nint a[I] = [1,\n  2,\n  2.5];\n", ""),
    "model literal matrix": ("range I = 1..2;\nint m[I][I] = [[1, 2],\n  [3, 4]];\n", ""),
    "model literal with minus": ("range I = 1..2;\nfloat a[I] = [1, -2];\n", ""),
    "model literal without ';'": ("range I = 1..2;\nfloat a[I] = [1,\n 2]\nfloat b = 1;\n", ""),
    "model literal then more": ("range I = 1..2;\nfloat a[I] = [1, 2];\ndvar float x[I];\n"
                                "minimize sum(i in I) a[i] * x[i];\n", ""),
    "model literal too long": ("range I = 1..2;\nfloat a[I] = [1, 2, 3];\n", ""),
    "nesting beyond the limit": (ARRAY.format(n=1, vtype="float"), "a = " + "[" * 40 + "1" + "]" * 40 + ";\n"),
}


def outcome(model, data):
    """The compiled model with the types of its numbers, or the fault with its place."""
    try:
        return "compiled", repr(VormoCompiler().compile_model(model, data))
    except (VormoSyntaxError, SemanticError) as error:
        return type(error).__name__, str(error), error.lineno


@pytest.mark.parametrize("model, data", list(CASES.values()), ids=list(CASES))
def test_number_lists_read_as_one_piece_or_token_by_token_agree(model, data, monkeypatch):
    whole = outcome(model, data)
    monkeypatch.setattr(vormo_kernel, "_NUMBER_LIST", re.compile(r"(?!)"))  # never matches
    assert whole == outcome(model, data)


def test_fault_in_a_long_list_names_its_line():
    values = [str(k) for k in range(10_000)]
    values[7_777] = "7.5"
    data = "a = [" + ",\n".join(values) + "];\n"
    with pytest.raises(SemanticError) as caught:
        VormoCompiler().compile_model(ARRAY.format(n=10_000, vtype="int"), data)
    assert caught.value.lineno == 7_778
    assert "'a[7778]' needs an integer (int), but is 7.5" in caught.value.message


def test_large_lists_keep_their_values_and_order():
    n = 200_000
    floats = [k / 8 - 3 for k in range(n)]
    ints = [(k * 7919) % 1_000_003 - 500_000 for k in range(n)]
    model = f"range I = 1..{n};\nfloat f[I] = ...;\nint g[I] = ...;\n{{int}} S = ...;\n"
    data = (f"f = [{', '.join(map(repr, floats))}];\ng = [{', '.join(map(str, ints))}];\n"
            f"S = {{{', '.join(map(str, range(n, 0, -1)))}}};\nh = [1];\n")
    with pytest.raises(SemanticError, match="'h' is set but the model does not declare it") as caught:
        VormoCompiler().compile_model(model, data)
    assert caught.value.lineno == 4
    compiled = VormoCompiler().compile_model(model, data.replace("h = [1];\n", ""))["data"]
    assert compiled["f"] == floats and compiled["g"] == ints
    assert compiled["S"] == list(range(n, 0, -1))
    assert {type(v) for v in compiled["f"]} == {float} and {type(v) for v in compiled["g"]} == {int}
