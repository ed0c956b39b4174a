import pytest

from vormo.tuplefold import TupleSetHelper as H


def lit(*elements):
    return {"type": "tuple_literal", "elements": list(elements)}


@pytest.mark.parametrize(
    "val, expected",
    [
        ([1, [2, 3]], (1, (2, 3))),
        ((1, (2,)), (1, (2,))),
        (lit(1, [2, 3], lit("a")), (1, (2, 3), ("a",))),
        ({"value": [1]}, {"value": [1]}),  # a dict without "elements" stays as it is
        ("ab", "ab"),
        (5, 5),
        ([], ()),
    ],
)
def test_to_tuple_recursive(val, expected):
    assert H._to_tuple_recursive(val) == expected


def test_to_tuple_recursive_deep_input_is_a_recursion_error():
    deep = []
    for _ in range(100000):
        deep = [deep]
    with pytest.raises(RecursionError):
        H._to_tuple_recursive(deep)


AST = {
    "declarations": [
        {"name": "Arcs", "type": "float", "elements": [[9, 9]]},  # wrong type: ignored
        {"name": "Arcs", "type": "set_of_tuples"},  # neither elements nor value: skipped
        {"name": "Arcs", "type": "set_of_tuples", "value": [lit("a", "b"), lit("b", "c")]},
        {"name": "S", "type": "set", "elements": [1, 2, 2]},
    ]
}


@pytest.mark.parametrize(
    "data, name, expected",
    [
        ({"T": {"elements": [[1, 2], [3, 4]]}}, "T", [(1, 2), (3, 4)]),
        ({"T": {"value": [[1, 2]]}}, "T", [(1, 2)]),
        ({"T": {"elements": [[1]], "value": [[2]]}}, "T", [(1,)]),
        ({"T": [lit(1, [2, 3])]}, "T", [(1, (2, 3))]),
        ({"T": ((1, 2),)}, "T", []),  # a tuple value is not used; no declaration either
        ({"T": 3}, "T", []),
        ({}, "Arcs", [("a", "b"), ("b", "c")]),
        ({"Arcs": ((1, 2),)}, "Arcs", [("a", "b"), ("b", "c")]),  # unusable data falls back
        ({"Arcs": [[1, 2]]}, "Arcs", [(1, 2)]),  # usable data wins over the declaration
        ({}, "S", [1, 2, 2]),  # order and duplicates kept
        ({}, "missing", []),
    ],
)
def test_get_tuple_set(data, name, expected):
    assert H.get_tuple_set(AST, data, name) == expected
    assert H.get_tuple_set(ast=AST, data_dict=data, set_name=name) == expected


def test_tree_without_declarations():
    assert H.get_tuple_set({}, {}, "x") == []


@pytest.mark.parametrize(
    "ast, data",
    [
        ({}, None),  # `in` on None
        ({"declarations": ["not a dict"]}, {}),
        ({}, {"T": {"elements": 5}}),  # not iterable
    ],
)
def test_bad_shapes_fail_with_host_errors(ast, data):
    with pytest.raises((TypeError, AttributeError)):
        H.get_tuple_set(ast, data, "T")


def test_class_shape_and_subclassing():
    assert H.__module__ == "vormo.tuplefold" and H.__qualname__ == "TupleSetHelper"
    assert H.__bases__ == (object,)

    class Mine(H):
        pass

    assert Mine.get_tuple_set({}, {"a": [[1]]}, "a") == [(1,)]
    assert H().get_tuple_set({}, {"a": [[1]]}, "a") == [(1,)]
