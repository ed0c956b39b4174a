"""Deeply nested or self-referencing input to the recursive helpers is a RecursionError, never a
crash, however far a program raises the host's recursion limit, and on small thread stacks too.
Each case runs in a child process so that a crash fails the test instead of ending the run."""

import subprocess
import sys
import textwrap

import pytest

PRELUDE = textwrap.dedent("""
    import sys, threading
    from vormo.emitcore import SciPyCodeGeneratorBase as Base
    from vormo.tuplefold import TupleSetHelper as Helper

    def nested_list(depth):
        x = []
        for _ in range(depth):
            x = [x]
        return x

    def nested_literal(depth):
        e = [{"type": "number", "value": 1}]
        for _ in range(depth):
            e = [{"type": "tuple_literal", "elements": e}]
        return e

    def nested_decl(depth):
        inner = {"elements": [1]}
        for _ in range(depth):
            inner = {"elements": [inner]}
        return {"declarations": [{"name": "S", "type": "set", "elements": [inner]}]}

    def looped_literal():
        elements = []
        elements.append({"type": "tuple_literal", "elements": elements})
        return elements

    def looped_list():
        x = []
        x.append(x)
        return x

    CALLS = {
        "normalize_index": lambda d: Base.normalize_index(nested_list(d)),
        "normalize_index via instance": lambda d: Base({})._normalize_index(nested_list(d)),
        "tuple_key": lambda d: Base({})._tuple_key(nested_literal(d)),
        "tuple_key looped": lambda d: Base({})._tuple_key(looped_literal()),
        "to_tuple_recursive": lambda d: Helper._to_tuple_recursive(nested_list(d)),
        "to_tuple_recursive looped": lambda d: Helper._to_tuple_recursive(looped_list()),
        "get_tuple_set": lambda d: Helper.get_tuple_set(nested_decl(d), {}, "S"),
    }

    def outcome(name, depth):
        try:
            CALLS[name](depth)
            return "ok"
        except RecursionError:
            return "RecursionError"
""")

CALLS = ["normalize_index", "normalize_index via instance", "tuple_key", "tuple_key looped",
         "to_tuple_recursive", "to_tuple_recursive looped", "get_tuple_set"]


def run_child(body):
    proc = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body)], capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, f"child ended with {proc.returncode}: {proc.stderr[-2000:]}"
    return proc.stdout.split()


@pytest.mark.parametrize("name", CALLS)
def test_depth_beyond_any_stack_under_a_raised_limit(name):
    # the deep call fails cleanly, and afterwards ordinary nesting still works (nothing leaked)
    assert run_child(f"""
        sys.setrecursionlimit(10**6)
        print(outcome({name!r}, 10**5))
        print(outcome({name!r}, 10**5))
        print(outcome({name!r}, 200) if "looped" not in {name!r} else "ok")
    """) == ["RecursionError", "RecursionError", "ok"]


@pytest.mark.parametrize("name", CALLS)
def test_small_thread_stack(name):
    assert run_child(f"""
        sys.setrecursionlimit(10**6)
        threading.stack_size(512 * 1024)
        result = []
        t = threading.Thread(target=lambda: result.append(outcome({name!r}, 10**5)))
        t.start()
        t.join()
        print(result[0] if result else "no result")
    """) == ["RecursionError"]


@pytest.mark.parametrize("name", [c for c in CALLS if "looped" not in c])
def test_default_limit_keeps_ordinary_depths(name):
    # depths a model may really have are unaffected; the host's own limit still applies
    assert run_child(f"""
        print(outcome({name!r}, 500))
        print(outcome({name!r}, 5000))
    """) == ["ok", "RecursionError"]


@pytest.mark.parametrize("text, outcome", [
    ('"[" * 10**5 + "]" * 10**5', "JSONDecodeError RecursionError"),
    ("'Reply: {\"a\": ' + '[' * 10**5 + ']' * 10**5 + '}'", "JSONDecodeError RecursionError"),
    ("'{\"a\": ' + '{' * 10**5", "JSONDecodeError RecursionError"),
    ("'{\"a\": ' + '[' * 2000 + ']' * 2000 + '}'", "dict"),
    ("'{\"a\": \"' + '[{' * 10**5 + '\"}'", "dict"),
    # an escaped quote keeps the brackets inside the string; an escaped backslash does not
    (r"""'{"a": "\\"' + '[' * 10**5 + '"}'""", "dict"),
    (r"""'{"a": "\\\\"' + '[' * 10**5 + '"}'""", "JSONDecodeError RecursionError"),    # a syntax error before the depth: the nesting is still what the reply is refused for
    ("'{\"a\": 1,, ' + '[' * 10**5 + ']' * 10**5 + '}'", "JSONDecodeError RecursionError"),
    ("'{\"a\": [1,,' + '[' * 10**5", "JSONDecodeError RecursionError"),
    # within the bound, the decoder's own error for the syntax
    ("'{\"a\": ' + '[' * 2000 + '1,]' + ']' * 1999 + '}'", "JSONDecodeError NoneType"),
    # exactly at the bound and one past it, bare and in prose
    ("'{\"a\": ' + '[' * 2999 + ']' * 2999 + '}'", "dict"),
    ("'{\"a\": ' + '[' * 3000 + ']' * 3000 + '}'", "JSONDecodeError RecursionError"),
    ("'Reply: {\"a\": ' + '[' * 2999 + ']' * 2999 + '} ok'", "dict"),
    ("'Reply: {\"a\": ' + '[' * 3000 + ']' * 3000 + '} ok'", "JSONDecodeError RecursionError"),
])
@pytest.mark.parametrize("decoder", ["as shipped", "json.loads replaced by a wrapper"])
def test_reply_nesting_under_a_raised_limit(text, outcome, decoder):
    # the host's decoder would recurse once per level with nothing but the raised limit to stop it;
    # a replaced json.loads is handed only what the nesting scan lets through
    assert run_child(f"""
        import json
        import vormo.modelsmith as ms
        if {decoder!r} != "as shipped":
            real = json.loads
            json.loads = lambda s: real(s)
        sys.setrecursionlimit(10**6)
        try:
            value = ms._json_loads_relaxed({text})
            print(type(value).__name__)
        except json.JSONDecodeError as e:
            print(type(e).__name__, type(e.__cause__).__name__)
    """) == outcome.split()


def test_brackets_inside_strings_do_not_count():
    import vormo.modelsmith as ms

    text = '{"a": "' + "[" * 5000 + '\\"' + "{" * 5000 + '"}'
    assert ms._json_loads_relaxed(text) == {"a": "[" * 5000 + '"' + "{" * 5000}


@pytest.mark.parametrize("text, outcome", [
    ("'{\"a\": ' + '[' * 2999 + ']' * 2999 + '}'", "dict"),
    ("'Reply: {\"a\": ' + '[{\"b\": ' * 1499 + '[]' + '}]' * 1499 + '} ok'", "dict"),
    ("'{\"a\": ' + '[' * 10**5", "RecursionError"),
])
def test_reply_nesting_on_a_small_thread_stack(text, outcome):
    # replies the bound lets through are read without the C stack growing per level
    assert run_child(f"""
        import json
        import vormo.modelsmith as ms
        sys.setrecursionlimit(10**6)
        threading.stack_size(256 * 1024)
        result = []
        def read():
            try:
                result.append(type(ms._json_loads_relaxed({text})).__name__)
            except json.JSONDecodeError as e:
                result.append(type(e.__cause__).__name__)
        t = threading.Thread(target=read)
        t.start()
        t.join()
        print(result[0] if result else "no result")
    """) == [outcome]


def test_reply_nesting_stops_where_the_decoder_stops_under_the_default_limit():
    # read bare, a reply stops at the depth where the decoder's scanner called in its place stops;
    # read out of prose, where json.loads called in its place stops
    assert run_child("""
        import json
        import vormo.modelsmith as ms

        def document(depth):
            return '{"a": ' + '[' * depth + ']' * depth + '}'

        def first_refused(read):
            for depth in range(800, 1100):
                try:
                    read(document(depth))
                except (RecursionError, json.JSONDecodeError):
                    return depth

        scanner = json._default_decoder.scan_once
        print(first_refused(lambda t: scanner(t, 0)) == first_refused(lambda t: ms._json_loads_relaxed(t)))
        print(first_refused(lambda t: json.loads(t)) ==
              first_refused(lambda t: ms._json_loads_relaxed("Reply: " + t + " ok")))
        print(first_refused(json.loads) is not None)
    """) == ["True", "True", "True"]
